// The Plug and Play and power managers (see pnp_manager.h).
#include "pnp_manager.h"

using namespace host;

namespace host {

PnpManager::Plugged PnpManager::Plug(const DeviceModel& model, PDRIVER_OBJECT functionDriver)
{
    Plugged plugged;
    plugged.device = &bus_.Connect(model);
    plugged.physicalDevice = plugged.device->physicalDevice;
    PDRIVER_ADD_DEVICE addDevice = functionDriver->DriverExtension->AddDevice;
    plugged.addStatus = CallAsDriver(functionDriver, "AddDevice", [&] {
        return addDevice(functionDriver, plugged.physicalDevice);
    });
    if (!NT_SUCCESS(plugged.addStatus)) return plugged;
    CheckAddedDevices(plugged.physicalDevice, functionDriver);
    plugged.functionDevice = IoGetAttachedDevice(plugged.physicalDevice);
    plugged.startStatus = SendPnp(plugged.physicalDevice, IRP_MN_START_DEVICE);
    return plugged;
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
                          ULONG_PTR arrivingInformation)
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
