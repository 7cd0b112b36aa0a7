// The host kernel's lifetime, driver loading and unloading, and the verifier summary.
#include "../host.h"

#include "application.h"
#include "pnp_manager.h"
#include "usb_bus.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

using namespace host;

namespace host {

namespace {

Kernel* g_current = nullptr;

// The I/O manager's routine for every major function that a driver does not serve.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    (void)deviceObject;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

struct DriverAllocation {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    std::u16string name;
    std::u16string registryPath;
};

}  // namespace

Kernel::Kernel()
{
    g_current = this;
    bus = std::make_unique<UsbBus>();
    pnp = std::make_unique<PnpManager>(*bus);
    app = std::make_unique<Application>();
}

Kernel::~Kernel()
{
    deferred.Stop();
    app.reset();
    pnp.reset();
    bus.reset();
}

Kernel& Kernel::Current()
{
    if (g_current == nullptr) {
        fputs("A kernel routine was called with no host running.\n", stderr);
        abort();
    }
    return *g_current;
}

Kernel* Kernel::CurrentOrNull() { return g_current; }

bool VerifierSummary::Clean() const
{
    return poolBlocks == 0 && deviceObjects == 0 && symbolicLinks == 0 && enabledInterfaces == 0 &&
           timersSet == 0 && dpcsQueued == 0 && workItems == 0 && registryHandles == 0 &&
           irpsOutstanding == 0;
}

std::string VerifierSummary::Format() const
{
    std::ostringstream out;
    out << "Verifier summary:\n"
        << "  pool allocations outstanding: " << poolBlocks << " (" << poolBytes << " bytes; "
        << poolAllocations << " made, " << failedAllocations << " failed on purpose)\n"
        << "  device objects:               " << deviceObjects << "\n"
        << "  timers set:                   " << timersSet << "\n"
        << "  DPCs queued:                  " << dpcsQueued << "\n"
        << "  work items queued or running: " << workItems << "\n"
        << "  IRPs outstanding:             " << irpsOutstanding << " (" << irpsAllocated
        << " allocated)\n"
        << "  symbolic links:               " << symbolicLinks << "\n"
        << "  device interfaces enabled:    " << enabledInterfaces << "\n"
        << "  registry handles open:        " << registryHandles << "\n"
        << "  completions under a spin lock: " << completionsUnderSpinLock << "\n"
        << "  result: " << (Clean() ? "nothing outstanding" : "resources outstanding") << "\n";
    return out.str();
}

Host::Host(HostOptions options) : options_(options)
{
    CurrentThread();  // the creating thread is a host thread from now on
    Counters().completionsUnderSpinLock = 0;
    if (options.schedule.seed != 0 && options.clock != ClockMode::Virtual) {
        ReportViolation(Rule::NotEmulated, "Exploring schedules needs the virtual clock.");
    }
    // The run starts before the kernel's own threads exist, so that they join its schedule.
    Scheduler::Instance().Reset(options.clock, options.schedule);
    kernel_ = std::make_unique<Kernel>();
}

Host::~Host()
{
    for (PDRIVER_OBJECT driver : drivers_) {
        CheckDevicesGone(driver, "when the host ended");
        CheckNothingLeftBehind(driver, "when the host ended");
    }
    kernel_.reset();
    Scheduler::Instance().Shutdown();
    g_current = nullptr;
    for (PDRIVER_OBJECT driver : drivers_) {
        delete CONTAINING_RECORD(driver, DriverAllocation, object);
    }
}

void Host::EndRun()
{
    for (host::Handle handle : kernel_->app->OpenHandles()) {
        if (kernel_->objects.DeviceExists(kernel_->app->DeviceOf(handle))) {
            kernel_->app->Close(handle);
        } else {
            kernel_->app->Abandon(handle);  // its device was removed under it
        }
    }
    for (PDEVICE_OBJECT physicalDevice : kernel_->bus->PresentDevices()) {
        kernel_->pnp->Unplug(physicalDevice);
    }
    std::vector<PDRIVER_OBJECT> loaded = drivers_;
    for (PDRIVER_OBJECT driver : loaded) {
        if (kernel_->objects.DeviceCount(driver) == 0) UnloadDriver(driver);
    }
}

PDRIVER_OBJECT Host::CreateDriverObject(const std::string& name)
{
    auto* allocation = new DriverAllocation();
    allocation->name = Widen("\\Driver\\" + name);
    allocation->registryPath =
        Widen("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name);
    PDRIVER_OBJECT driver = &allocation->object;
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &allocation->extension;
    allocation->extension.DriverObject = driver;
    driver->DriverName.Buffer = allocation->name.data();
    driver->DriverName.Length = USHORT(allocation->name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    for (auto& routine : driver->MajorFunction) routine = InvalidDeviceRequest;
    return driver;
}

void Host::DeleteDriverObject(PDRIVER_OBJECT driver)
{
    drivers_.erase(std::find(drivers_.begin(), drivers_.end(), driver));
    delete CONTAINING_RECORD(driver, DriverAllocation, object);
    if (driver == driver_) {
        lastDriver_ = driver_;
        driver_ = nullptr;
    }
}

NTSTATUS Host::LoadDriver(PDRIVER_INITIALIZE entry, const std::string& name, PDRIVER_OBJECT* loaded)
{
    PDRIVER_OBJECT driver = CreateDriverObject(name);
    drivers_.push_back(driver);
    if (driver_ == nullptr) driver_ = driver;
    auto* allocation = CONTAINING_RECORD(driver, DriverAllocation, object);
    UNICODE_STRING registryPath;
    registryPath.Buffer = allocation->registryPath.data();
    registryPath.Length = USHORT(allocation->registryPath.size() * sizeof(WCHAR));
    registryPath.MaximumLength = registryPath.Length;
    driver->DriverInit = entry;
    NTSTATUS status =
        CallAsDriver(driver, "DriverEntry", [&] { return entry(driver, &registryPath); });
    if (!NT_SUCCESS(status)) {
        CheckNothingLeftBehind(driver, "after a failed DriverEntry");
        DeleteDriverObject(driver);
        driver = nullptr;
    }
    if (loaded != nullptr) *loaded = driver;
    return status;
}

void Host::UnloadDriver(PDRIVER_OBJECT driver)
{
    if (driver == nullptr) driver = driver_;
    if (driver->DriverUnload != nullptr) {
        CallAsDriver(driver, "DriverUnload", [&] { driver->DriverUnload(driver); });
    }
    // A Plug and Play driver's devices are gone before it unloads; a driver that made its
    // devices itself deletes them in its unload routine.
    CheckDevicesGone(driver, "at unload");
    CheckNothingLeftBehind(driver, "at unload");
    DeleteDriverObject(driver);
}

void Host::CheckDevicesGone(PDRIVER_OBJECT driver, const char* when)
{
    if (kernel_->objects.DeviceCount(driver) == 0) return;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        if (!RecordOf(device)->deletePending || device->AttachedDevice == nullptr) continue;
        PDEVICE_OBJECT upper = device->AttachedDevice;
        ReportViolation(Rule::DeviceDeletedWithDeviceAttached,
                        "Device " + Hex(device) + " (" + Narrow(RecordOf(device)->name) +
                            ") of " + DriverName(driver) + " was deleted while device " +
                            Hex(upper) + " of " + DriverName(upper->DriverObject) +
                            " was attached above it, and that device never detached; it remains " +
                            when + ".");
    }
    std::ostringstream details;
    details << kernel_->objects.DeviceCount(driver) << " device objects of " << DriverName(driver)
            << " remain " << when << ":\n";
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        details << "  " << Hex(device) << " " << Narrow(RecordOf(device)->name) << "\n";
    }
    ReportViolation(Rule::UnloadDeviceObjectsLeft, details.str());
}

void Host::CheckNothingLeftBehind(PDRIVER_OBJECT driver, const char* when)
{
    std::string suffix = std::string(" ") + when + " (" + DriverName(driver) + ").";
    Pool::Outstanding blocks = kernel_->pool.OutstandingBlocks(driver);
    if (blocks.count != 0) {
        ReportViolation(Rule::UnloadPoolLeak, std::to_string(blocks.count) + " pool blocks (" +
                                                  std::to_string(blocks.bytes) +
                                                  " bytes) outstanding" + suffix + "\n" +
                                                  blocks.listing);
    }
    if (size_t links = kernel_->objects.SymbolicLinkCount(driver)) {
        ReportViolation(Rule::UnloadSymbolicLinksLeft,
                        std::to_string(links) + " symbolic links remain" + suffix);
    }
    if (size_t interfaces = kernel_->objects.EnabledInterfaceCount(driver)) {
        ReportViolation(Rule::UnloadInterfacesLeft,
                        std::to_string(interfaces) + " interfaces remain enabled" + suffix);
    }
    if (size_t handles = kernel_->objects.OpenHandleCount(driver)) {
        ReportViolation(Rule::UnloadRegistryHandlesLeft,
                        std::to_string(handles) + " registry handles remain open" + suffix);
    }
    std::vector<std::string> deviceMapValues = kernel_->objects.DeviceMapValuesOf(driver);
    if (!deviceMapValues.empty()) {
        std::string listing;
        for (const std::string& value : deviceMapValues) listing += "\n  " + value;
        ReportViolation(Rule::UnloadDeviceMapValuesLeft,
                        std::to_string(deviceMapValues.size()) +
                            " values remain under HARDWARE\\DEVICEMAP" + suffix + listing);
    }
    {
        std::unique_lock<std::mutex> lock(Scheduler::Instance().mutex());
        size_t timers = kernel_->deferred.SetTimerCount(driver);
        size_t dpcs = kernel_->deferred.QueuedDpcCount(driver);
        size_t items = kernel_->deferred.WorkItemCount(driver);
        lock.unlock();
        if (timers != 0) {
            ReportViolation(Rule::UnloadTimersLeft,
                            std::to_string(timers) + " timers set" + suffix);
        }
        if (dpcs != 0) {
            ReportViolation(Rule::UnloadDpcsLeft, std::to_string(dpcs) + " DPCs queued" + suffix);
        }
        if (items != 0) {
            ReportViolation(Rule::UnloadWorkItemsLeft,
                            std::to_string(items) + " work items queued or running" + suffix);
        }
    }
    IoManager::Outstanding irps = kernel_->io.OutstandingIrps(driver);
    if (irps.count != 0) {
        ReportViolation(Rule::IrpLeaked, std::to_string(irps.count) + " IRPs outstanding" + suffix +
                                             "\n" + irps.listing);
    }
}

VerifierSummary Host::Summary() const
{
    VerifierSummary summary;
    PDRIVER_OBJECT driver = driver_ != nullptr ? driver_ : lastDriver_;
    Pool::Outstanding blocks = kernel_->pool.OutstandingBlocks(driver);
    summary.poolBlocks = blocks.count;
    summary.poolBytes = blocks.bytes;
    summary.poolAllocations = kernel_->pool.TotalAllocations();
    summary.failedAllocations = kernel_->pool.FailedAllocations();
    summary.deviceObjects = kernel_->objects.DeviceCount(driver);
    summary.symbolicLinks = kernel_->objects.SymbolicLinkCount(driver);
    summary.enabledInterfaces = kernel_->objects.EnabledInterfaceCount(driver);
    summary.registryHandles = kernel_->objects.OpenHandleCount(driver);
    {
        std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
        summary.timersSet = kernel_->deferred.SetTimerCount(driver);
        summary.dpcsQueued = kernel_->deferred.QueuedDpcCount(driver);
        summary.workItems = kernel_->deferred.WorkItemCount(driver);
    }
    summary.irpsOutstanding = kernel_->io.OutstandingIrps().count;
    summary.irpsAllocated = kernel_->io.IrpsAllocated();
    summary.completionsUnderSpinLock = Counters().completionsUnderSpinLock;
    return summary;
}

void Host::Sleep(Ticks duration)
{
    WaitOn(nullptr, Scheduler::Instance().Now() + duration, "Host::Sleep");
}

void Host::RunUntilIdle()
{
    Scheduler& scheduler = Scheduler::Instance();
    std::unique_lock<std::mutex> lock(scheduler.mutex());
    WaitBlock wait;
    wait.thread = &CurrentThread();
    wait.untilIdle = true;
    wait.what = "Host::RunUntilIdle";
    scheduler.Block(wait, lock);
}

}  // namespace host
