// Plug and Play dispatch: start (after the lower drivers), query-remove and query-stop with
// their cancels, the capabilities edit, the refused identity query, and the pass-through of
// everything else.
//
// Requests arrive one at a time per device, at PASSIVE_LEVEL, in a system thread that may
// block. Every path drops the request's I/O reference once it has completed the request or
// passed it on. A failing status that a request arrives with (STATUS_NOT_SUPPORTED in new
// requests) is never replaced with a success.
#include "../kdxlusb.h"

// Passes the request down with the current stack location handed on.
static NTSTATUS SkipDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IofCallDriver(GetDeviceExtension(DeviceObject)->LowerDeviceObject, Irp);
    DecrementIoCount(DeviceObject);
    return status;
}

// Passes the request down with the stack location copied and no completion routine.
static NTSTATUS CopyDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IofCallDriver(GetDeviceExtension(DeviceObject)->LowerDeviceObject, Irp);
    DecrementIoCount(DeviceObject);
    return status;
}

static NTSTATUS CompletePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    CompleteRequest(Irp, Status, Irp->IoStatus.Information);
    DecrementIoCount(DeviceObject);
    return Status;
}

// Copies a request down with a completion routine that hands it back, and waits until the
// lower drivers have finished it. The caller owns the request again afterwards.
static VOID ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(GetDeviceExtension(DeviceObject)->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
}

static NTSTATUS HandleStart(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ForwardAndWait(DeviceObject, Irp);
    return CompletePnp(DeviceObject, Irp, StartDevice(DeviceObject));
}

// With no handle open, marks the removal pending and waits until every other request has
// finished (only the base reference left) before passing the query on.
static NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    if (!extension->Started) {
        return SkipDown(DeviceObject, Irp);
    }
    if (extension->HandleOpen) {
        return CompletePnp(DeviceObject, Irp, STATUS_DEVICE_BUSY);
    }
    extension->RemovePending = 1;
    DecrementIoCount(DeviceObject);
    KeWaitForSingleObject(&extension->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    IncrementIoCount(DeviceObject);
    return CopyDown(DeviceObject, Irp);
}

static NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS IncomingStatus)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    if (!extension->Started) {
        return SkipDown(DeviceObject, Irp);
    }
    if (extension->HandleOpen) {
        return CompletePnp(DeviceObject, Irp, STATUS_DEVICE_BUSY);
    }
    extension->StopPending = 1;
    if (!NT_SUCCESS(IncomingStatus)) {
        return CompletePnp(DeviceObject, Irp, IncomingStatus);
    }
    return CopyDown(DeviceObject, Irp);
}

// Clears a pending removal or stop (Flag) of a started device and passes the cancel on.
static NTSTATUS HandleCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUCHAR Flag)
{
    if (!GetDeviceExtension(DeviceObject)->Started) {
        return SkipDown(DeviceObject, Irp);
    }
    *Flag = 0;
    return CopyDown(DeviceObject, Irp);
}

// Lets the bus driver fill the capabilities, then reports the device as removable and safe to
// remove by surprise, with no lock, eject or dock, and no wake-up, whatever the bus answered.
static NTSTATUS HandleCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return CompletePnp(DeviceObject, Irp, STATUS_UNSUCCESSFUL);
    }
    ForwardAndWait(DeviceObject, Irp);
    capabilities->LockSupported = 0;
    capabilities->EjectSupported = 0;
    capabilities->DockDevice = 0;
    capabilities->Removable = 1;
    capabilities->SurpriseRemovalOK = 1;
    capabilities->SystemWake = PowerSystemUnspecified;
    capabilities->DeviceWake = PowerDeviceUnspecified;
    return CompletePnp(DeviceObject, Irp, STATUS_SUCCESS);
}

static NTSTATUS PassDownUnlessFailed(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS IncomingStatus)
{
    if (!NT_SUCCESS(IncomingStatus)) {
        return CompletePnp(DeviceObject, Irp, IncomingStatus);
    }
    return CopyDown(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    IncrementIoCount(DeviceObject);
    NTSTATUS incomingStatus = Irp->IoStatus.Status;

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return HandleStart(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return HandleQueryRemove(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return HandleCancel(DeviceObject, Irp, &extension->RemovePending);
    case IRP_MN_QUERY_STOP_DEVICE:
        return HandleQueryStop(DeviceObject, Irp, incomingStatus);
    case IRP_MN_CANCEL_STOP_DEVICE:
        return HandleCancel(DeviceObject, Irp, &extension->StopPending);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        // The teardown sequences come with later work; until then these are refused.
        return CompletePnp(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return SkipDown(DeviceObject, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return HandleCapabilities(DeviceObject, Irp);
    case IRP_MN_QUERY_ID:
        return CompletePnp(DeviceObject, Irp, STATUS_NOT_IMPLEMENTED);
    default:
        return PassDownUnlessFailed(DeviceObject, Irp, incomingStatus);
    }
}
