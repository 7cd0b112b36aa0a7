// Wait-on-mask: ending the one pending wait-on-mask request of a port.
//
// WaitOnMaskIrp is set, cleared and its request completed under the system cancel spin lock.
// These routines run at up to DISPATCH_LEVEL; CancelWaitOnMask may be called with DeviceLock
// held, since it takes only the cancel spin lock.
#include "../kdxlusb.h"

// Ends the pending wait-on-mask request, if any, as cancelled: through its cancel routine
// when it still has one, otherwise directly.
_Use_decl_annotations_ VOID CancelWaitOnMask(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP irp = DeviceExtension->WaitOnMaskIrp;
    if (irp == NULL) {
        IoReleaseCancelSpinLock(cancelIrql);
        return;
    }
    irp->Cancel = TRUE;
    PDRIVER_CANCEL cancelRoutine = IoSetCancelRoutine(irp, NULL);
    if (cancelRoutine != NULL) {
        irp->CancelIrql = cancelIrql;
        cancelRoutine(DeviceExtension->DeviceObject, irp);  // releases the cancel spin lock
        return;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    DeviceExtension->WaitOnMaskIrp = NULL;
    IoReleaseCancelSpinLock(cancelIrql);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
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
