// The driver under test in a host: a fixture that loads kdxlusb and plugs simulated devices,
// readers for what the driver leaves in the system (names, links, the PortName value,
// interfaces), a sender for requests that arrive with a chosen status, and a lower filter
// driver that sees every request the driver passes down to the bus.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"
#include "sys/kdxlusb.h"

namespace kdxtest {

constexpr USHORT kNumberedProduct = 0x005B;  // named VLT<n>
constexpr USHORT kOtherProduct = 0x0042;     // named KD

inline std::string Text(const std::u16string& text) { return host::Narrow(text); }
inline std::string Text(const UNICODE_STRING& text)
{
    if (text.Buffer == nullptr) return "<no buffer>";
    return Text(std::u16string(text.Buffer, text.Length / sizeof(WCHAR)));
}
inline std::string NameOf(PDEVICE_OBJECT device)
{
    return device == nullptr ? "<no device>" : Text(host::RecordOf(device)->name);
}

// A serial adapter (one bulk-IN and one bulk-OUT pipe) of the given product.
inline host::DeviceModel Adapter(USHORT productId, bool asynchronous = false)
{
    host::DeviceModel adapter = host::DeviceModel::SerialAdapter(0x1234, productId);
    adapter.asynchronous = asynchronous;
    return adapter;
}

inline host::EndpointModel Endpoint(USBD_PIPE_TYPE type, bool in)
{
    host::EndpointModel endpoint;
    endpoint.type = type;
    endpoint.in = in;
    return endpoint;
}

inline std::vector<host::UsbRequest> RequestsOf(const host::UsbDevice& device,
                                                host::UsbRequest::Kind kind)
{
    std::vector<host::UsbRequest> result;
    for (const host::UsbRequest& request : device.Requests()) {
        if (request.kind == kind) result.push_back(request);
    }
    return result;
}

// A device's request log, one request a line, for assertion messages.
inline std::string Log(const host::UsbDevice& device)
{
    std::string text;
    for (const host::UsbRequest& request : device.Requests()) text += "\n  " + request.Describe();
    return text.empty() ? " (no requests)" : text;
}

inline POWER_STATE DeviceState(DEVICE_POWER_STATE state)
{
    POWER_STATE power;
    power.DeviceState = state;
    return power;
}
inline POWER_STATE SystemState(SYSTEM_POWER_STATE state)
{
    POWER_STATE power;
    power.SystemState = state;
    return power;
}

// Sends one request to the top of the device's stack as a system component does (the WMI
// provider, or the PnP manager) and waits for it; it arrives with `status` and `information`.
inline NTSTATUS SendRequest(PDEVICE_OBJECT physicalDevice, UCHAR major, UCHAR minor,
                            NTSTATUS status, ULONG_PTR information = 0,
                            const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr)
{
    return host::Kernel::Current().pnp->Send(physicalDevice, major, minor, setup, nullptr, status,
                                             information);
}

// A lower filter driver's device between the bus's physical device object and the port's
// device object. It records each request that reaches it, with what the port's driver had done
// by then, and passes it to the bus unless `answer` completes it by returning a status.
class LowerFilter {
public:
    struct Seen {
        UCHAR major = 0;
        UCHAR minor = 0;
        NTSTATUS status = 0;  // the I/O status block on arrival
        ULONG_PTR information = 0;
        POWER_STATE_TYPE powerType = SystemPowerState;
        POWER_STATE powerState{};
        int startNextPowerCalls = 0;  // PoStartNextPowerIrp calls made for it so far
        size_t powerReports = 0;      // power states the port's device had reported so far
        LONG portIoCount = 0;         // the port's I/O count
        size_t order = 0;             // requests of any kind that arrived before it
    };
    // What the filter answers a request with instead of passing it on. The test may change it
    // while the port's workers send requests through the filter, so it is read under a lock.
    class Answer {
    public:
        using Routine = std::function<std::optional<NTSTATUS>(PIRP)>;
        Answer& operator=(Routine routine)
        {
            std::lock_guard<std::mutex> guard(mutex_);
            routine_ = std::move(routine);
            return *this;
        }
        std::optional<NTSTATUS> operator()(PIRP irp) const
        {
            Routine routine;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                routine = routine_;
            }
            return routine ? routine(irp) : std::nullopt;
        }

    private:
        mutable std::mutex mutex_;
        Routine routine_;
    };
    Answer answer;

    LowerFilter(host::Host& host, PDEVICE_OBJECT physicalDevice) : host_(host)
    {
        PDRIVER_OBJECT driver = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, host.LoadDriver(FilterEntry, "lowerfilter", &driver));
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(FilterExtension), nullptr,
                                                 FILE_DEVICE_UNKNOWN, 0, FALSE, &device_));
        extension_ = static_cast<FilterExtension*>(device_->DeviceExtension);
        extension_->owner = this;
        device_->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
        lower_ = IoAttachDeviceToDeviceStack(device_, physicalDevice);
        extension_->lower = lower_;
    }
    // The filter's device stays in the stack until the device is removed; once the test's
    // observer is gone it only passes requests on.
    ~LowerFilter()
    {
        if (extension_ != nullptr) extension_->owner = nullptr;
    }

    std::vector<Seen> SeenRequests(UCHAR major) const
    {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<Seen> result;
        for (const Seen& seen : seen_) {
            if (seen.major == major) result.push_back(seen);
        }
        return result;
    }
    size_t SeenCount(UCHAR major, UCHAR minor) const
    {
        size_t count = 0;
        for (const Seen& seen : SeenRequests(major)) count += seen.minor == minor;
        return count;
    }
    void Forget()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        seen_.clear();
    }

private:
    static NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        for (auto& routine : driver->MajorFunction) routine = FilterDispatch;
        return STATUS_SUCCESS;
    }
    struct FilterExtension {
        LowerFilter* owner;    // the test's observer, null once it is gone
        PDEVICE_OBJECT lower;  // the device the filter passes requests to
    };

    static NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            // The removal reaches the filter after the port's driver let go of the stack: pass
            // it on, then leave the stack and delete the filter's device, as a filter does.
            PDEVICE_OBJECT lower = extension->lower;
            if (extension->owner != nullptr) {
                extension->owner->Record(device, irp);
                extension->owner->extension_ = nullptr;
            }
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            return status;
        }
        if (extension->owner != nullptr) return extension->owner->Dispatch(device, irp);
        IoSkipCurrentIrpStackLocation(irp);
        return stack->MajorFunction == IRP_MJ_POWER ? PoCallDriver(extension->lower, irp)
                                                     : IoCallDriver(extension->lower, irp);
    }

    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        Seen seen = Record(device, irp);
        if (std::optional<NTSTATUS> status = answer(irp)) {
            irp->IoStatus.Status = *status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return *status;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return seen.major == IRP_MJ_POWER ? PoCallDriver(lower_, irp) : IoCallDriver(lower_, irp);
    }

    Seen Record(PDEVICE_OBJECT device, PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        Seen seen;
        seen.major = stack->MajorFunction;
        seen.minor = stack->MinorFunction;
        seen.status = irp->IoStatus.Status;
        seen.information = irp->IoStatus.Information;
        if (seen.major == IRP_MJ_POWER) {
            seen.powerType = stack->Parameters.Power.Type;
            seen.powerState = stack->Parameters.Power.State;
            seen.startNextPowerCalls = host_.io().StartNextPowerIrpCount(irp);
        }
        if (PDEVICE_OBJECT port = device->AttachedDevice) {
            seen.powerReports = host_.objects().PowerStates(port).size();
            seen.portIoCount =
                __atomic_load_n(&GetDeviceExtension(port)->IoCount, __ATOMIC_ACQUIRE);
        }
        {
            std::lock_guard<std::mutex> guard(mutex_);
            seen.order = seen_.size();
            seen_.push_back(seen);
        }
        return seen;
    }

    host::Host& host_;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    FilterExtension* extension_ = nullptr;  // null once the filter's device is deleted
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
};

// Ends a host's run when the scope that made it ends: the handles left open are closed, the
// devices still plugged are pulled out, and the drivers without devices unloaded, with the
// verifier's checks (host::Host::EndRun).
class RunEnder {
public:
    explicit RunEnder(host::Host& host) : host_(host) {}
    ~RunEnder() { host_.EndRun(); }
    RunEnder(const RunEnder&) = delete;
    RunEnder& operator=(const RunEnder&) = delete;

private:
    host::Host& host_;
};

// A host with kdxlusb loaded. At the end of each test the devices still plugged are pulled
// out and the driver is unloaded, so every test ends with the removal and unload checks.
class DriverTest : public testing::Test {
protected:
    using Plugged = host::PnpManager::Plugged;

    void SetUp() override { ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver(DriverEntry)); }
    void TearDown() override { host.EndRun(); }

    // Plugs a device: add-device, then start.
    Plugged Plug(const host::DeviceModel& adapter) { return host.Plug(adapter); }

    // Connects a device and calls the add-device routine as the PnP manager does, with a
    // lower filter below the port's device when `filter` is given; no start.
    Plugged Add(const host::DeviceModel& adapter, std::unique_ptr<LowerFilter>* filter = nullptr)
    {
        Plugged plugged;
        plugged.device = &host.bus().Connect(adapter);
        plugged.physicalDevice = plugged.device->physicalDevice;
        if (filter != nullptr) {
            *filter = std::make_unique<LowerFilter>(host, plugged.physicalDevice);
        }
        PDRIVER_OBJECT driver = host.driver();
        plugged.addStatus = host::CallAsDriver(driver, "AddDevice", [&] {
            return driver->DriverExtension->AddDevice(driver, plugged.physicalDevice);
        });
        if (NT_SUCCESS(plugged.addStatus)) {
            host.pnp().CheckAddedDevices(plugged.physicalDevice, driver);
            plugged.functionDevice = IoGetAttachedDevice(plugged.physicalDevice);
        }
        return plugged;
    }

    // Add and start, with a lower filter below the port's device.
    Plugged PlugFiltered(const host::DeviceModel& adapter, std::unique_ptr<LowerFilter>* filter)
    {
        Plugged plugged = Add(adapter, filter);
        if (NT_SUCCESS(plugged.addStatus)) {
            plugged.startStatus = host.pnp().SendPnp(plugged.physicalDevice, IRP_MN_START_DEVICE);
        }
        return plugged;
    }

    static PDEVICE_EXTENSION Extension(const Plugged& plugged)
    {
        return GetDeviceExtension(plugged.functionDevice);
    }
    // Whether the receive pump runs, read under DeviceLock as the pump writes it.
    static bool ReceivePumpRunning(PDEVICE_EXTENSION extension)
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
        bool running = extension->ReceivePumpRunning != 0;
        KeReleaseSpinLock(&extension->DeviceLock, irql);
        return running;
    }

    // Whether a work item is queued and has not started yet: the host links a queued item to
    // itself and unlinks it, under its scheduler mutex, when a worker takes it.
    static bool WorkItemQueued(const WORK_QUEUE_ITEM& item)
    {
        std::lock_guard<std::mutex> guard(host::Scheduler::Instance().mutex());
        return item.List.Flink != nullptr;
    }

    // Runs driver code from the test thread as the driver's own.
    template <typename Call>
    auto AsDriver(Call&& call)
    {
        return host::CallAsDriver(host.driver(), "driver routine", std::forward<Call>(call));
    }

    // The PortName value in the device's hardware key: "" when absent; otherwise its text, with
    // a note when it is not REG_SZ or its data is not the text and one terminating zero.
    std::string PortNameValue(PDEVICE_OBJECT physicalDevice)
    {
        ULONG type = 0;
        std::vector<UCHAR> data;
        if (!host.objects().ReadRegistryValue(physicalDevice, u"PortName", &type, &data)) return "";
        std::u16string text(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
        std::string result = Text(text.substr(0, text.find(u'\0')));
        if (type != REG_SZ) result += " <type " + std::to_string(type) + ">";
        if (data.size() != (result.size() + 1) * sizeof(WCHAR) || text.back() != u'\0') {
            result += " <" + std::to_string(data.size()) + " bytes>";
        }
        return result;
    }

    // The target of a symbolic link, "" when there is no such link.
    std::string LinkTarget(const std::u16string& link)
    {
        std::u16string wanted = host::ObjectManager::CanonicalName(link);
        for (const auto& [name, target] : host.objects().SymbolicLinks()) {
            if (host::ObjectManager::CanonicalName(name) == wanted) return Text(target);
        }
        return "";
    }

    std::vector<host::InterfaceRecord> InterfacesOf(PDEVICE_OBJECT physicalDevice)
    {
        std::vector<host::InterfaceRecord> result;
        for (const host::InterfaceRecord& record : host.objects().Interfaces()) {
            if (record.physicalDevice == physicalDevice) result.push_back(record);
        }
        return result;
    }
    bool InterfaceEnabled(PDEVICE_OBJECT physicalDevice)
    {
        for (const host::InterfaceRecord& record : InterfacesOf(physicalDevice)) {
            if (record.enabled) return true;
        }
        return false;
    }

    host::Host host;
};

// A suite run twice: with the bus completing every request at once, and with the bus pending
// every request and completing it later from a DPC.
class BusModeTest : public DriverTest, public testing::WithParamInterface<bool> {
protected:
    host::DeviceModel Adapter(USHORT productId) const
    {
        return kdxtest::Adapter(productId, GetParam());
    }
};

inline std::string BusModeName(const testing::TestParamInfo<bool>& info)
{
    return info.param ? "BusCompletesLater" : "BusCompletesAtOnce";
}

#define KDX_FOR_BOTH_BUS_MODES(suite) \
    INSTANTIATE_TEST_SUITE_P(Bus, suite, testing::Bool(), kdxtest::BusModeName)

// A port under the schedule explorer, for faults that only some interleavings show: a test
// runs its scenario once per seed (1 to `seeds`) on a host of its own with kdxlusb loaded and
// the port of an adapter of `product` open, and gets back what the scenario counted per seed.
// `schedule` gives the explorer's other knobs.
struct SeededPort {
    host::Host& host;
    host::UsbDevice& usb;
    PDEVICE_EXTENSION extension;
    host::Handle handle;
};

inline std::vector<uint64_t> CountPerSeed(uint64_t seeds, USHORT product,
                                          host::ScheduleOptions schedule,
                                          const std::function<uint64_t(SeededPort&)>& scenario)
{
    std::vector<uint64_t> counts;
    for (uint64_t seed = 1; seed <= seeds; seed++) {
        host::HostOptions options;
        options.schedule = schedule;
        options.schedule.seed = seed;
        host::Host host(options);
        EXPECT_EQ(STATUS_SUCCESS, host.LoadDriver(DriverEntry));
        host::PnpManager::Plugged plugged = host.Plug(Adapter(product));
        host::OpenResult opened = host.app().Open(product == kNumberedProduct ? u"VLT0" : u"KD");
        EXPECT_EQ(STATUS_SUCCESS, opened.status) << "seed " << seed;
        if (opened.status == STATUS_SUCCESS) {
            SeededPort port{host, *plugged.device, GetDeviceExtension(plugged.functionDevice),
                            opened.handle};
            counts.push_back(scenario(port));
        }
        host.EndRun();
    }
    return counts;
}

// How many seeds counted each value, for the test's output: "value: seeds, ...".
inline std::string Histogram(const std::vector<uint64_t>& counts)
{
    std::map<uint64_t, size_t> seeds;
    for (uint64_t count : counts) seeds[count]++;
    std::string text;
    for (const auto& [count, many] : seeds) {
        text += (text.empty() ? "" : ", ") + std::to_string(count) + ": " + std::to_string(many) +
                " seeds";
    }
    return text;
}

}  // namespace kdxtest
