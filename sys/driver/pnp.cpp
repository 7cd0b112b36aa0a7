// Plug and Play dispatch: start (after the lower drivers), query-remove and query-stop with
// their cancels, stop, surprise removal and removal (their teardown is in teardown.cpp), the
// capabilities edit, the refused identity query, and the pass-through of everything else.
//
// Requests arrive one at a time per device, at PASSIVE_LEVEL, in a system thread that may
// block. Every path drops the request's I/O reference once it has completed the request or
// passed it on. A failing status that a request arrives with (STATUS_NOT_SUPPORTED in new
// requests) is never replaced with a success here; a request this driver does not handle goes
// to the bus driver with it unchanged.
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

// Passes the request down with the current stack location handed on, keeping the request's
// I/O reference; returns the lower driver's status.
static NTSTATUS SkipDownKeepingReference(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(GetDeviceExtension(DeviceObject)->LowerDeviceObject, Irp);
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

// With no handle open, marks a removal or a stop pending (Flag) and waits until every other
// request has finished (only the base reference left). An open admitted before the flag was set
// has finished by then: with its handle open the query is refused after all and the flag
// cleared again. Returns STATUS_SUCCESS, or STATUS_DEVICE_BUSY with the flag clear.
static NTSTATUS MarkPendingAndDrain(PDEVICE_OBJECT DeviceObject, PUCHAR Flag)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    if (ReadFlag(&extension->HandleOpen)) {
        return STATUS_DEVICE_BUSY;
    }
    WriteFlag(Flag, 1);
    DecrementIoCount(DeviceObject);
    KeWaitForSingleObject(&extension->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    IncrementIoCount(DeviceObject);
    if (ReadFlag(&extension->HandleOpen)) {
        WriteFlag(Flag, 0);
        return STATUS_DEVICE_BUSY;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    if (!extension->Started) {
        return SkipDown(DeviceObject, Irp);
    }
    NTSTATUS status = MarkPendingAndDrain(DeviceObject, &extension->RemovePending);
    if (!NT_SUCCESS(status)) {
        return CompletePnp(DeviceObject, Irp, status);
    }
    return CopyDown(DeviceObject, Irp);
}

// As query-remove, then a query-stop that arrived with a failure status is completed with it.
static NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS IncomingStatus)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    if (!extension->Started) {
        return SkipDown(DeviceObject, Irp);
    }
    NTSTATUS status = MarkPendingAndDrain(DeviceObject, &extension->StopPending);
    if (!NT_SUCCESS(status)) {
        return CompletePnp(DeviceObject, Irp, status);
    }
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
    WriteFlag(Flag, 0);
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

static VOID SetReceiveBufferSizeZero(PDEVICE_EXTENSION Extension, PKSPIN_LOCK Lock)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(Lock);
    WriteULong(&Extension->ReceiveBufferSize, 0);
    KeReleaseSpinLock(Lock, oldIrql);
}

static VOID RemovePortNameIfConfigured(PDEVICE_EXTENSION Extension)
{
    if (Extension->PortConfigured == 1) {
        RemovePortName(Extension);
        Extension->PortConfigured = 0;
    }
}

// Stops a started device for a later start: its data paths and its USB configuration go, and
// so does its port name; its numbers and start-up buffers stay. A stop may not fail: it goes
// down and the lower driver's answer is its result even when deconfiguring failed (a device
// that cannot stop refuses the query-stop instead).
static NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    if (extension->PortConfigured) {
        SetReceiveBufferSizeZero(extension, &extension->DeviceLock);
        WriteFlag(&extension->Started, 0);
        TeardownDataPath(DeviceObject);
    }
    DrainIoCount(DeviceObject, 2);
    UnconfigureDevice(DeviceObject);
    RemovePortNameIfConfigured(extension);
    WriteFlag(&extension->Started, 0);
    return CopyDown(DeviceObject, Irp);
}

// The device is gone: its data paths stop, its port name and its port number go; the instance
// number stays with the device object until the removal deletes it. The request's reference
// stays as the base reference that the removal drains.
static NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    WriteFlag(&extension->Removed, 1);
    if (extension->PortConfigured) {
        SetReceiveBufferSizeZero(extension, &extension->DeviceLock);
        TeardownDataPath(DeviceObject);
    }
    DrainIoCount(DeviceObject, 1);
    RemovePortNameIfConfigured(extension);
    ReleasePortNumberOnce(extension);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return SkipDownKeepingReference(DeviceObject, Irp);
}

// Removes the device, whatever came before (a surprise removal, a failed start, no start at
// all): tears down, passes the removal on, frees everything and deletes the device object,
// which gives its numbers back.
static NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->IoCountLock);
    WriteFlag(&extension->Removed, 1);
    WriteULong(&extension->ReceiveBufferSize, 0);
    KeReleaseSpinLock(&extension->IoCountLock, oldIrql);
    TeardownDataPath(DeviceObject);
    DrainIoCount(DeviceObject, 2);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = SkipDownKeepingReference(DeviceObject, Irp);
    RemovePortNameIfConfigured(extension);
    DeleteRemovedDevice(DeviceObject);
    return status;
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
        return HandleStop(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return HandleSurpriseRemoval(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return HandleRemove(DeviceObject, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return SkipDown(DeviceObject, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return HandleCapabilities(DeviceObject, Irp);
    case IRP_MN_QUERY_ID:
        return CompletePnp(DeviceObject, Irp, STATUS_NOT_IMPLEMENTED);
    default:
        // Not this driver's to answer: the bus driver sees it with the status it arrived with.
        return SkipDown(DeviceObject, Irp);
    }
}
