// The receive buffer and data delivery: the bytes that the receive pump read and no read took
// yet, the one routine that takes them out, the delivery step that the pump (after every read
// and at its end), the read worker (on its refusal path) and ReadTimeoutDpc run, and the read
// timer's cancellation.
//
// DeviceLock guards ReceiveCount, ReceiveBuffer, EventHistory, CurrentReadIrp and the read
// timer state. The current read is completed by exactly one party, the one that takes its
// cancel routine away under the cancel spin lock: the delivery here (ClaimCurrentRead, with
// DeviceLock held: DeviceLock, then the cancel spin lock) or the I/O manager, which calls
// CancelCurrentRead. A delivery that loses that race leaves its bytes in the buffer.
#include "../kdxlusb.h"

#define KDX_READ_MAXIMUM 4096  // bytes one read takes at most

// Moves up to Length bytes (at most 4096) from the front of the receive buffer into the
// request's system buffer, moves the rest to the front in place, and wakes a pump that waits
// for room. Returns the bytes moved; the caller sets the request's Information and Status.
// DeviceLock is held, so this runs at DISPATCH_LEVEL.
_Use_decl_annotations_ ULONG CopyFromReceiveBuffer(PDEVICE_EXTENSION DeviceExtension, PIRP Irp,
                                                   ULONG Length)
{
    ULONG count = Length;
    if (count > KDX_READ_MAXIMUM) {
        count = KDX_READ_MAXIMUM;
    }
    if (count > DeviceExtension->ReceiveCount) {
        count = DeviceExtension->ReceiveCount;
    }
    DeviceExtension->ReceiveCount -= count;
    if (count != 0) {
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, DeviceExtension->ReceiveBuffer, count);
    }
    if (DeviceExtension->ReceiveCount != 0) {
        RtlMoveMemory(DeviceExtension->ReceiveBuffer, &DeviceExtension->ReceiveBuffer[count],
                      DeviceExtension->ReceiveCount);
    }
    KeSetEvent(&DeviceExtension->ReceiveSpaceEvent, 1, FALSE);
    return count;
}

// Takes the current read for completion: clears its cancel routine under the cancel spin lock
// and, when that succeeds, forgets it as the current read. Returns NULL when there is no
// current read or when the I/O manager is cancelling it (CancelCurrentRead then completes it
// and forgets it). DeviceLock is held.
_Use_decl_annotations_ PIRP ClaimCurrentRead(PDEVICE_EXTENSION DeviceExtension)
{
    PIRP irp = DeviceExtension->CurrentReadIrp;
    if (irp == NULL) {
        return NULL;
    }
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PDRIVER_CANCEL cancelRoutine = IoSetCancelRoutine(irp, NULL);
    IoReleaseCancelSpinLock(cancelIrql);
    if (cancelRoutine == NULL) {
        return NULL;
    }
    DeviceExtension->CurrentReadIrp = NULL;
    return irp;
}

// Wakes a read worker that waits for data on the current read, so that it looks at the port's
// state again; the shut-downs call it once reads are refused. Takes DeviceLock, as a worker may
// be making its read current or a delivery taking it at the same time.
_Use_decl_annotations_ VOID WakeCurrentReadWorker(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    BOOLEAN waiting = DeviceExtension->CurrentReadIrp != NULL;
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
    if (waiting) {
        KeSetEvent(&DeviceExtension->ReceiveDeliveredEvent, 1, FALSE);
    }
}

// Completes a read that ClaimCurrentRead took, with its Information already set. Called
// without DeviceLock, at up to DISPATCH_LEVEL.
_Use_decl_annotations_ VOID CompleteCurrentRead(PDEVICE_EXTENSION DeviceExtension, PIRP Irp,
                                                NTSTATUS Status)
{
    UNREFERENCED_PARAMETER(DeviceExtension);
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Disarms the read timer if it is armed. DeviceLock is held.
_Use_decl_annotations_ VOID StopReadTimerLocked(PDEVICE_EXTENSION DeviceExtension)
{
    if (DeviceExtension->ReadTimerSet == 1) {
        KeCancelTimer(&DeviceExtension->ReadTimer);
        DeviceExtension->ReadTimerSet = 0;
    }
}

// Disarms the read timer if it is armed. Up to DISPATCH_LEVEL; takes DeviceLock.
_Use_decl_annotations_ VOID CancelReadTimer(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    StopReadTimerLocked(DeviceExtension);
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
}

// Adds the events of one delivery to EventHistory: SERIAL_EV_RXCHAR for a read that brought
// bytes, SERIAL_EV_ERR for a failed read, a read timeout or the pump's end; each only when the
// wait mask holds it. Counts the received bytes. DeviceLock is held.
static VOID RecordReceiveEvents(PDEVICE_EXTENSION Extension, ULONG Count, BOOLEAN Success)
{
    ULONG waitMask = ReadULong(&Extension->WaitMask);
    if (Success) {
        Extension->PerfStats.ReceivedCount += Count;
        if (Count != 0 && (waitMask & SERIAL_EV_RXCHAR) != 0) {
            Extension->EventHistory |= SERIAL_EV_RXCHAR;
        }
    } else if ((waitMask & SERIAL_EV_ERR) != 0) {
        Extension->EventHistory |= SERIAL_EV_ERR;
    }
}

// Decides how a delivery ends the current read. TRUE with *ReadStatus set when the read is to
// be completed: a successful read completes it with STATUS_SUCCESS; after a failure, buffered
// bytes complete it (STATUS_TIMEOUT for a timeout, else STATUS_SUCCESS), a timeout completes it
// empty, and so does any failure when CompleteOnError is set (STATUS_UNSUCCESSFUL). FALSE when
// the read stays pending: its timer then keeps running. A timeout that comes before the due
// time of the current arming belongs to an earlier read (ReadTimeoutDpc delivers it after
// releasing DeviceLock, when the worker may have armed the timer for the next read) and ends
// nothing. DeviceLock is held.
static BOOLEAN DeliveryEndsRead(PDEVICE_EXTENSION Extension, BOOLEAN Success, NTSTATUS Status,
                                BOOLEAN CompleteOnError, NTSTATUS* ReadStatus)
{
    if (Status == STATUS_TIMEOUT && Extension->ReadTimerSet == 1 &&
        KeQueryInterruptTime() < Extension->ReadTimerDueTime) {
        return FALSE;
    }
    if (Success) {
        *ReadStatus = STATUS_SUCCESS;
    } else if (Extension->ReceiveCount != 0) {
        *ReadStatus = Status == STATUS_TIMEOUT ? STATUS_TIMEOUT : STATUS_SUCCESS;
    } else if (Status == STATUS_TIMEOUT) {
        *ReadStatus = STATUS_TIMEOUT;
    } else if (CompleteOnError) {
        *ReadStatus = STATUS_UNSUCCESSFUL;
    } else {
        return FALSE;
    }
    return TRUE;
}

// Delivers the result of one bulk-IN read (Count bytes just appended, the read's Status), a
// read timeout (STATUS_TIMEOUT) or the end of the pump (CompleteOnError): counts the bytes,
// raises the receive events for a pending wait-on-mask request, and completes the current read
// with what is buffered (at most its length and 4096 bytes). Data points at the bytes just
// appended; they are already in the receive buffer. Runs in the pump's and the read worker's
// threads and in ReadTimeoutDpc, at up to DISPATCH_LEVEL; takes DeviceLock and releases it
// before it signals the wait or completes the read.
_Use_decl_annotations_ VOID DeliverReceivedData(PDEVICE_EXTENSION DeviceExtension, PUCHAR Data,
                                                LONG Count, NTSTATUS Status,
                                                BOOLEAN CompleteOnError)
{
    UNREFERENCED_PARAMETER(Data);
    BOOLEAN success = NT_SUCCESS(Status) && Status != STATUS_TIMEOUT;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    RecordReceiveEvents(DeviceExtension, Count > 0 ? (ULONG)Count : 0, success);
    if (DeliverWaitEvents(DeviceExtension)) {
        KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
        SignalWaitEvents(DeviceExtension);
        oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    }

    NTSTATUS readStatus = STATUS_SUCCESS;
    PIRP irp = NULL;
    if (DeviceExtension->CurrentReadIrp == NULL ||
        DeliveryEndsRead(DeviceExtension, success, Status, CompleteOnError, &readStatus)) {
        // No read stays pending: the timer has nothing left to end.
        StopReadTimerLocked(DeviceExtension);
        irp = ClaimCurrentRead(DeviceExtension);
    }
    if (irp != NULL) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        irp->IoStatus.Information =
            DeviceExtension->ReceiveCount != 0
                ? CopyFromReceiveBuffer(DeviceExtension, irp, stack->Parameters.Read.Length)
                : 0;
    }
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
    if (irp != NULL) {
        CompleteCurrentRead(DeviceExtension, irp, readStatus);
    }
}
