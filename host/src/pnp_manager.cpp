// The Plug and Play and power managers (see pnp_manager.h).
#include "pnp_manager.h"

#include "application.h"

using namespace host;

namespace host {

PnpManager::Plugged PnpManager::Plug(const DeviceModel& model, PDRIVER_OBJECT functionDriver)
{
    Plugged plugged;
    plugged.device = &bus_.Connect(model);
    {
        // A new physical device object may have the address of one removed before.
        std::lock_guard<std::mutex> guard(mutex_);
        states_.erase(plugged.device->physicalDevice);
    }
    plugged.physicalDevice = plugged.device->physicalDevice;
    PDRIVER_ADD_DEVICE addDevice = functionDriver->DriverExtension->AddDevice;
    plugged.addStatus = CallAsDriver(functionDriver, "AddDevice", [&] {
        return addDevice(functionDriver, plugged.physicalDevice);
    });
    if (!NT_SUCCESS(plugged.addStatus)) return plugged;
    CheckAddedDevices(plugged.physicalDevice, functionDriver);
    plugged.functionDevice = IoGetAttachedDevice(plugged.physicalDevice);
    plugged.startStatus = SendPnp(plugged.physicalDevice, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(plugged.startStatus) && removeAfterFailedStart_) {
        SendRemove(plugged.physicalDevice);
        plugged.functionDevice = nullptr;
    }
    return plugged;
}

PDEVICE_OBJECT StackBottom(PDEVICE_OBJECT device)
{
    while (RecordOf(device)->attachedTo != nullptr) device = RecordOf(device)->attachedTo;
    return device;
}

NTSTATUS PnpManager::Stop(PDEVICE_OBJECT physicalDevice, bool query)
{
    if (query) {
        NTSTATUS status = SendPnp(physicalDevice, IRP_MN_QUERY_STOP_DEVICE);
        if (!NT_SUCCESS(status)) {
            SendPnp(physicalDevice, IRP_MN_CANCEL_STOP_DEVICE);
            return status;
        }
    }
    return SendPnp(physicalDevice, IRP_MN_STOP_DEVICE);
}

NTSTATUS PnpManager::Start(PDEVICE_OBJECT physicalDevice)
{
    NTSTATUS status = SendPnp(physicalDevice, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) SendRemove(physicalDevice);
    return status;
}

NTSTATUS PnpManager::Remove(PDEVICE_OBJECT physicalDevice)
{
    NTSTATUS status = SendPnp(physicalDevice, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(physicalDevice, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    SendRemove(physicalDevice);
    return status;
}

NTSTATUS PnpManager::SurpriseRemove(PDEVICE_OBJECT physicalDevice)
{
    NTSTATUS status = SendPnp(physicalDevice, IRP_MN_SURPRISE_REMOVAL);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        states_[physicalDevice].removalWaits = true;
    }
    RemoveWhenClosed(physicalDevice);
    return status;
}

NTSTATUS PnpManager::Unplug(PDEVICE_OBJECT physicalDevice)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        states_[physicalDevice].unplugged = true;
    }
    DeviceFromObject(physicalDevice).Vanish();
    return SurpriseRemove(physicalDevice);
}

// Sends the removal that waits for the device's handles once none is open.
void PnpManager::RemoveWhenClosed(PDEVICE_OBJECT physicalDevice)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!states_[physicalDevice].removalWaits) return;
    }
    if (Kernel::Current().app->OpenHandleCount(physicalDevice) != 0) return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        DeviceState& state = states_[physicalDevice];
        if (!state.removalWaits) return;  // sent by another thread meanwhile
        state.removalWaits = false;
    }
    SendRemove(physicalDevice);
}

NTSTATUS PnpManager::SendRemove(PDEVICE_OBJECT physicalDevice)
{
    NTSTATUS status = SendPnp(physicalDevice, IRP_MN_REMOVE_DEVICE);
    bool unplugged;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        DeviceState& state = states_[physicalDevice];
        state.removed = true;
        state.removalWaits = false;
        unplugged = state.unplugged;
    }
    if (unplugged) bus_.Delete(DeviceFromObject(physicalDevice));
    return status;
}

void PnpManager::HandleClosed(PDEVICE_OBJECT device) { RemoveWhenClosed(StackBottom(device)); }

bool PnpManager::Removed(PDEVICE_OBJECT physicalDevice) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = states_.find(physicalDevice);
    return it != states_.end() && it->second.removed;
}

bool PnpManager::RemovalWaiting(PDEVICE_OBJECT physicalDevice) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = states_.find(physicalDevice);
    return it != states_.end() && it->second.removalWaits;
}

void PnpManager::CheckAddedDevices(PDEVICE_OBJECT physicalDevice, PDRIVER_OBJECT functionDriver)
{
    for (PDEVICE_OBJECT device = physicalDevice->AttachedDevice; device != nullptr;
         device = device->AttachedDevice) {
        if (device->DriverObject == functionDriver &&
            (device->Flags & DO_DEVICE_INITIALIZING) != 0) {
            ReportViolation(Rule::DeviceLeftInitializing,
                            "AddDevice of " + DriverName(functionDriver) + " attached device " +
                                Hex(device) + " (" + Narrow(RecordOf(device)->name) +
                                ") to physical device " + Hex(physicalDevice) + " (" +
                                Narrow(RecordOf(physicalDevice)->name) +
                                ") and returned with DO_DEVICE_INITIALIZING still set.");
        }
    }
}

NTSTATUS PnpManager::Send(PDEVICE_OBJECT physicalDevice, UCHAR major, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)>& setup,
                          ULONG_PTR* information, NTSTATUS arrivingStatus,
                          ULONG_PTR arrivingInformation, const std::function<void(PIRP)>& prepare)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(physicalDevice);
    DriverContext system(nullptr);
    PIRP irp = Kernel::Current().io.AllocateIrp(top->StackSize, IoManager::IrpKind::Threaded,
                                                CallSite{"", 0, "PnP manager"}, false);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK result{};
    irp->UserIosb = &result;
    irp->UserEvent = &done;
    irp->IoStatus.Status = arrivingStatus;
    irp->IoStatus.Information = arrivingInformation;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (setup) setup(next);
    if (prepare) prepare(irp);
    IofCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (information != nullptr) *information = result.Information;
    return result.Status;
}

NTSTATUS PnpManager::SendPnp(PDEVICE_OBJECT physicalDevice, UCHAR minor,
                             const std::function<void(PIO_STACK_LOCATION)>& setup,
                             ULONG_PTR* information)
{
    return Send(physicalDevice, IRP_MJ_PNP, minor, setup, information);
}

NTSTATUS PnpManager::QueryCapabilities(PDEVICE_OBJECT physicalDevice,
                                       DEVICE_CAPABILITIES* capabilities)
{
    memset(capabilities, 0, sizeof(*capabilities));
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = 1;
    capabilities->Address = MAXULONG;
    capabilities->UINumber = MAXULONG;
    return SendPnp(physicalDevice, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
    });
}

NTSTATUS PnpManager::QueryId(PDEVICE_OBJECT physicalDevice, BUS_QUERY_ID_TYPE type,
                             std::u16string* id)
{
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(
        physicalDevice, IRP_MN_QUERY_ID,
        [&](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = type; }, &information);
    id->clear();
    if (NT_SUCCESS(status) && information != 0) {
        auto* text = reinterpret_cast<const WCHAR*>(information);
        // A list of strings ends in an empty one; keep the separating zeros.
        size_t length = 0;
        while (text[length] != 0 ||
               (type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs ? text[length + 1] != 0
                                                                             : false)) {
            length++;
        }
        id->assign(text, length);
        Kernel::Current().pool.Free(reinterpret_cast<PVOID>(information),
                                    CallSite{"", 0, "PnP manager"});
    }
    return status;
}

NTSTATUS PnpManager::SendPower(PDEVICE_OBJECT physicalDevice, UCHAR minor, POWER_STATE_TYPE type,
                               POWER_STATE state)
{
    return Send(
        physicalDevice, IRP_MJ_POWER, minor,
        [&](PIO_STACK_LOCATION stack) {
            if (minor == IRP_MN_WAIT_WAKE) {
                stack->Parameters.WaitWake.PowerState = state.SystemState;
            } else {
                stack->Parameters.Power.Type = type;
                stack->Parameters.Power.State = state;
                stack->Parameters.Power.ShutdownType = PowerActionNone;
            }
        },
        nullptr);
}

}  // namespace host
