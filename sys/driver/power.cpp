// Power and system-control dispatch. The driver does not manage the device's power: it
// reports device power states to the power manager as set-power requests pass, passes power
// requests to the bus driver, refuses power queries, and refuses every power request while
// the device cannot take requests. System-control requests all go down.
//
// DispatchPower runs at PASSIVE_LEVEL (the device is power-pageable); PowerUpCompletion may
// run at DISPATCH_LEVEL. Every path calls PoStartNextPowerIrp exactly once.
#include "../kdxlusb.h"

// Completes a power request here, with the I/O reference dropped.
static NTSTATUS CompletePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    PoStartNextPowerIrp(Irp);
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementIoCount(DeviceObject);
    return Status;
}

// Passes a power request down, handing the current stack location on or copying it, and
// returns the bus driver's status. The next power request is started while the current stack
// location is still this driver's own, before it is handed on.
static NTSTATUS PassPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Copy)
{
    PoStartNextPowerIrp(Irp);
    if (Copy) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
    } else {
        IoSkipCurrentIrpStackLocation(Irp);
    }
    NTSTATUS status = PoCallDriver(GetDeviceExtension(DeviceObject)->LowerDeviceObject, Irp);
    DecrementIoCount(DeviceObject);
    return status;
}

// Device set-power: a power-up is reported once the bus driver has finished it, in
// PowerUpCompletion, which also drops the I/O reference; any other state is reported before
// the request goes down.
static NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, PowerUpCompletion, DeviceObject, TRUE, TRUE, TRUE);
        return PoCallDriver(GetDeviceExtension(DeviceObject)->LowerDeviceObject, Irp);
    }
    PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
    return PassPowerDown(DeviceObject, Irp, FALSE);
}

_Use_decl_annotations_ NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IncrementIoCount(DeviceObject);
    if (!CanAcceptRequests(DeviceObject)) {
        CancelWaitOnMask(GetDeviceExtension(DeviceObject));
        return CompletePower(DeviceObject, Irp, STATUS_DELETE_PENDING);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState) {
            return PassPowerDown(DeviceObject, Irp, TRUE);
        }
        return SetDevicePower(DeviceObject, Irp);
    case IRP_MN_QUERY_POWER:
        return CompletePower(DeviceObject, Irp, STATUS_INVALID_DEVICE_STATE);
    default:
        return PassPowerDown(DeviceObject, Irp, FALSE);
    }
}

// Completion of a device power-up (Context is the device object): reports D0 to the power
// manager when the bus driver powered the device up, and lets the request complete with the
// bus driver's status, so that a failed power-up is never reported as a success.
_Use_decl_annotations_ NTSTATUS PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                  PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)Context;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        PoSetPowerState(deviceObject, stack->Parameters.Power.Type, stack->Parameters.Power.State);
    }
    PoStartNextPowerIrp(Irp);
    DecrementIoCount(deviceObject);
    return STATUS_SUCCESS;
}

// Passes every system-control (WMI) request down with STATUS_SUCCESS and no information set
// beforehand, also for a device that is not started.
_Use_decl_annotations_ NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IncrementIoCount(DeviceObject);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IofCallDriver(GetDeviceExtension(DeviceObject)->LowerDeviceObject, Irp);
    DecrementIoCount(DeviceObject);
    return status;
}
