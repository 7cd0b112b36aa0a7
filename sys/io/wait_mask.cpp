// Wait-on-mask: the one pending wait-on-mask request of a port, the step that hands the
// accumulated events to it, and the routines that complete or cancel it.
//
// WaitOnMaskIrp is set, cleared and its request completed under the system cancel spin lock;
// under that lock a set WaitOnMaskIrp always still has its cancel routine, because the cancel
// routine clears WaitOnMaskIrp before it releases the lock. EventHistory is under DeviceLock
// and holds only events of the wait mask (a new mask drops the others); events that occurred
// with no wait pending are reported to the next wait as soon as DeviceControl takes it.
// The delivery step runs with DeviceLock held and takes the cancel spin lock inside it (the
// allowed order), so the request cannot be completed or cancelled while its mask is stored.
// A request carries a delivered mask when its Information is 4; DeviceControl installs it with
// Information 0. These routines run at up to DISPATCH_LEVEL; CancelWaitOnMask may be called
// with DeviceLock held, since it takes only the cancel spin lock.
#include "../kdxlusb.h"

// Ends the pending wait-on-mask request, if any, as cancelled: through its cancel routine
// when it still has one, otherwise directly. With KeepDelivered a wait that holds a delivered
// mask is left for its completion, which is on its way.
static VOID EndPendingWait(PDEVICE_EXTENSION Extension, BOOLEAN KeepDelivered)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP irp = Extension->WaitOnMaskIrp;
    if (irp == NULL || (KeepDelivered && irp->IoStatus.Information == sizeof(ULONG))) {
        IoReleaseCancelSpinLock(cancelIrql);
        return;
    }
    irp->Cancel = TRUE;
    PDRIVER_CANCEL cancelRoutine = IoSetCancelRoutine(irp, NULL);
    if (cancelRoutine != NULL) {
        irp->CancelIrql = cancelIrql;
        cancelRoutine(Extension->DeviceObject, irp);  // releases the cancel spin lock
        return;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    Extension->WaitOnMaskIrp = NULL;
    IoReleaseCancelSpinLock(cancelIrql);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Ends the pending wait-on-mask request, if any, as cancelled.
_Use_decl_annotations_ VOID CancelWaitOnMask(PDEVICE_EXTENSION DeviceExtension)
{
    EndPendingWait(DeviceExtension, FALSE);
}

// Ends the pending wait-on-mask request as cancelled unless the delivery step has stored
// events in it: the receive pump's end first delivers SERIAL_EV_ERR, and a wait that got it
// (on products other than 0x005B still waiting for its completion) must report it.
_Use_decl_annotations_ VOID CancelUndeliveredWaitOnMask(PDEVICE_EXTENSION DeviceExtension)
{
    EndPendingWait(DeviceExtension, TRUE);
}

// Refuses every wait-on-mask request from now until the next open resets the flag: cleanup
// calls it before it cancels the pending wait, so a wait that comes after cleanup is not left
// pending with nothing to complete it. The flag is set under the cancel spin lock, under which
// DeviceControl looks at it and installs a wait.
_Use_decl_annotations_ VOID RefuseWaitOnMask(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    DeviceExtension->WaitOnMaskRefused = 1;
    IoReleaseCancelSpinLock(cancelIrql);
}

// Cancel routine of the pending wait-on-mask request; entered with the cancel spin lock held.
// An event mask already stored in the request's buffer is not reported.
_Use_decl_annotations_ VOID CancelWaitIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    extension->WaitOnMaskIrp = NULL;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
}

// The event delivery step, with DeviceLock held: when events have occurred and a wait is
// pending, stores them in the wait's buffer (merged with a mask delivered earlier that is not
// yet completed), marks the wait delivered and clears EventHistory. Returns TRUE when it
// stored a mask; the caller then releases DeviceLock and calls SignalWaitEvents.
_Use_decl_annotations_ BOOLEAN DeliverWaitEvents(PDEVICE_EXTENSION DeviceExtension)
{
    if (DeviceExtension->EventHistory == 0) {
        return FALSE;
    }
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP irp = DeviceExtension->WaitOnMaskIrp;
    if (irp != NULL) {
        PULONG mask = (PULONG)irp->AssociatedIrp.SystemBuffer;
        if (irp->IoStatus.Information == sizeof(ULONG)) {
            *mask |= DeviceExtension->EventHistory;
        } else {
            *mask = DeviceExtension->EventHistory;
        }
        irp->IoStatus.Information = sizeof(ULONG);
        DeviceExtension->EventHistory = 0;
    }
    IoReleaseCancelSpinLock(cancelIrql);
    return irp != NULL;
}

// Takes the pending wait for completion when a mask was delivered to it: clears its cancel
// routine and WaitOnMaskIrp and sets STATUS_SUCCESS. Returns NULL when there is no such wait.
// The cancel spin lock is held.
static PIRP TakeDeliveredWait(PDEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->WaitOnMaskIrp;
    if (irp == NULL || irp->IoStatus.Information != sizeof(ULONG) ||
        IoSetCancelRoutine(irp, NULL) == NULL) {
        return NULL;
    }
    Extension->WaitOnMaskIrp = NULL;
    irp->IoStatus.Status = STATUS_SUCCESS;
    return irp;
}

// Completes the wait that the delivery step served: at once for product 0x005B, otherwise from
// WaitMaskWorkItem 2 ms later. The work item is queued only when it is not queued already,
// tested and set under the cancel spin lock; a completion on its way carries every mask
// delivered until it runs. A queued item holds an I/O reference until it has run, so that a
// removal waits for it. Called without DeviceLock, at up to DISPATCH_LEVEL.
_Use_decl_annotations_ VOID SignalWaitEvents(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (DeviceExtension->ProductId == KDX_PRODUCT_NUMBERED_PORT) {
        PIRP irp = TakeDeliveredWait(DeviceExtension);
        IoReleaseCancelSpinLock(cancelIrql);
        if (irp != NULL) {
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        }
        return;
    }
    BOOLEAN queue = DeviceExtension->WaitCompletionQueued == 0;
    DeviceExtension->WaitCompletionQueued = 1;
    IoReleaseCancelSpinLock(cancelIrql);
    if (queue) {
        IncrementIoCount(DeviceExtension->DeviceObject);
        ExQueueWorkItem(DeviceExtension->WaitMaskWorkItem, DelayedWorkQueue);
    }
}

// The work-item routine of WaitMaskWorkItem (Parameter is the device object), at
// PASSIVE_LEVEL: after 2 ms completes the wait that holds a delivered mask, and any wait that
// got one meanwhile, then lets the next delivery queue the item again. A wait cancelled in the
// meantime is gone, and nothing is completed. Drops the item's I/O reference last.
_Use_decl_annotations_ VOID WaitMaskCompletionWorker(PVOID Parameter)
{
    PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)Parameter;
    PDEVICE_EXTENSION extension = GetDeviceExtension(deviceObject);
    WaitMilliseconds(2);

    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    for (PIRP irp = TakeDeliveredWait(extension); irp != NULL; irp = TakeDeliveredWait(extension)) {
        IoReleaseCancelSpinLock(cancelIrql);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        IoAcquireCancelSpinLock(&cancelIrql);
    }
    extension->WaitCompletionQueued = 0;
    IoReleaseCancelSpinLock(cancelIrql);
    DecrementIoCount(deviceObject);
}
