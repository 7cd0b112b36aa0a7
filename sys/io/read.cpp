// Read requests: DispatchRead, the read queue and its worker, the current read (the one that
// waits for data) with its total timeout and cancel routine, and the cancellation of queued
// reads and of the bulk-IN transfer in flight. Also the queue entries shared with the write
// queue.
//
// DispatchRead runs in the caller's thread at PASSIVE_LEVEL; ReadWorker on the delayed work
// queue at PASSIVE_LEVEL, one instance per device, serving the queue in arrival order;
// ReadTimeoutDpc at DISPATCH_LEVEL; CancelCurrentRead with the cancel spin lock held. DeviceLock
// guards the queue, its Cancelled flags, ReadWorkerBusy, ReadWorkerIrp and CurrentReadIrp.
//
// Who completes a read: DispatchRead the ones it does not queue; the worker the queued ones it
// does not make current; a current read is completed either by the delivery step
// (DeliverReceivedData, on data, on the timeout or at the pump's end) or by CancelCurrentRead,
// whichever takes its cancel routine first. The worker learns of it by looking at
// CurrentReadIrp each time ReceiveDeliveredEvent wakes it; it never completes a current read.
#include "../kdxlusb.h"

#define KDX_READ_TIMEOUT_DEFAULT 60000  // ms when no read timeout term is in force
#define KDX_READ_TIMEOUT_MINIMUM 100    // ms
#define KDX_READ_TIMEOUT_MAXIMUM 60000  // ms
#define KDX_ABORT_SLOT_WAITS 52         // 100 ms samples of the IN slot before it is cancelled
#define KDX_DELIVERY_POLL 100           // ms between two looks at a pump that should deliver

// Appends Irp, in a new entry, at the tail of a queue: STATUS_SUCCESS, or
// STATUS_INSUFFICIENT_RESOURCES with nothing changed. DeviceLock is held.
NTSTATUS AppendQueueEntry(PQUEUE_ENTRY* Head, PIRP Irp)
{
    PQUEUE_ENTRY entry = (PQUEUE_ENTRY)ExAllocatePool(NonPagedPool, sizeof(QUEUE_ENTRY));
    if (entry == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    entry->Next = NULL;
    entry->Cancelled = 0;
    entry->Irp = Irp;
    PQUEUE_ENTRY* link = Head;
    while (*link != NULL) {
        link = &(*link)->Next;
    }
    *link = entry;
    return STATUS_SUCCESS;
}

// Queues a request for a worker (the read worker or the write worker): appends it with
// QueueRequest, marks it pending, and queues WorkItem when the worker was idle (its queue
// empty and Busy 0). Returns STATUS_PENDING, or STATUS_INSUFFICIENT_RESOURCES with the request
// not queued. PASSIVE_LEVEL; takes DeviceLock.
NTSTATUS QueueForWorker(PDEVICE_EXTENSION Extension, PIRP Irp, PQUEUE_ENTRY* Head,
                        const ULONG* Busy, NTSTATUS (*QueueRequest)(PDEVICE_EXTENSION, PIRP),
                        PWORK_QUEUE_ITEM WorkItem)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    BOOLEAN workerIdle = *Head == NULL && *Busy == 0;
    NTSTATUS status = QueueRequest(Extension, Irp);
    if (NT_SUCCESS(status)) {
        IoMarkIrpPending(Irp);
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (workerIdle) {
        ExQueueWorkItem(WorkItem, DelayedWorkQueue);
    }
    return STATUS_PENDING;
}

// Unlinks and frees the head entry of a queue and returns its request, or NULL for an empty
// queue; *Cancelled receives the entry's Cancelled flag. DeviceLock is held.
PIRP TakeQueueEntry(PQUEUE_ENTRY* Head, PULONG Cancelled)
{
    PQUEUE_ENTRY entry = *Head;
    if (entry == NULL) {
        return NULL;
    }
    *Head = entry->Next;
    *Cancelled = entry->Cancelled;
    PIRP irp = entry->Irp;
    ExFreePool(entry);
    return irp;
}

// Marks every entry of a queue cancelled; the worker completes them when it takes them.
// DeviceLock is held.
VOID MarkQueueCancelled(PQUEUE_ENTRY Head)
{
    for (PQUEUE_ENTRY entry = Head; entry != NULL; entry = entry->Next) {
        entry->Cancelled = 1;
    }
}

// Appends a read to the read queue. DeviceLock is held.
_Use_decl_annotations_ NTSTATUS QueueReadRequest(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    return AppendQueueEntry(&DeviceExtension->ReadQueueHead, Irp);
}

// The read total timeout in milliseconds, in wrapping 32-bit arithmetic: the interval value
// (0 and MAXULONG count as 0) plus the multiplier, times the requested length, plus the
// constant, each term of 0 or MAXULONG counting as absent; 60000 when it comes to 0; clamped
// to 100..60000.
ULONG ReadTotalTimeout(const SERIAL_TIMEOUTS* Timeouts, ULONG Length)
{
    ULONG interval = Timeouts->ReadIntervalTimeout;
    ULONG multiplier = Timeouts->ReadTotalTimeoutMultiplier;
    ULONG constant = Timeouts->ReadTotalTimeoutConstant;
    ULONG timeout = (interval == MAXULONG) ? 0 : interval;
    if (multiplier != 0 && multiplier != MAXULONG) {
        timeout = (timeout + multiplier) * Length;
    }
    if (constant != 0 && constant != MAXULONG) {
        timeout += constant;
    }
    if (timeout == 0) {
        timeout = KDX_READ_TIMEOUT_DEFAULT;
    }
    if (timeout < KDX_READ_TIMEOUT_MINIMUM) {
        return KDX_READ_TIMEOUT_MINIMUM;
    }
    return timeout > KDX_READ_TIMEOUT_MAXIMUM ? KDX_READ_TIMEOUT_MAXIMUM : timeout;
}

// The checks of a new read before the receive buffer is looked at. Returns STATUS_PENDING
// when the read goes on, else the status to complete it with (0 bytes). A device that accepts
// requests has a bulk-IN pipe: its start succeeded only with one.
static NTSTATUS AdmitRead(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (!CanAcceptRequests(DeviceObject)) {
        CancelWaitOnMask(Extension);
        return STATUS_SUCCESS;
    }
    if (ReadFlag(&Extension->PortOpen) != 1) {
        return STATUS_ACCESS_DENIED;
    }
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length == 0) {
        return STATUS_SUCCESS;
    }
    return STATUS_PENDING;
}

// True for the timeouts that ask a read to return at once with what is buffered:
// ReadIntervalTimeout MAXULONG and both total terms 0. DeviceLock is held.
static BOOLEAN ReturnsAtOnce(const SERIAL_TIMEOUTS* Timeouts)
{
    return Timeouts->ReadIntervalTimeout == MAXULONG && Timeouts->ReadTotalTimeoutMultiplier == 0 &&
           Timeouts->ReadTotalTimeoutConstant == 0;
}

// Serves a read at once when it need not wait: with the timeouts MAXULONG/0/0 and an empty
// buffer it returns 0 bytes; with bytes buffered and no other read queued or being served it
// takes them, so that reads still complete in arrival order. Returns STATUS_PENDING when the
// read must be queued; *Information receives the bytes copied.
static NTSTATUS ReadAtOnce(PDEVICE_EXTENSION Extension, PIRP Irp, PULONG_PTR Information)
{
    NTSTATUS status = STATUS_PENDING;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    if (ReturnsAtOnce(&Extension->Timeouts) && Extension->ReceiveCount == 0) {
        status = STATUS_SUCCESS;
    } else if (Extension->CurrentReadIrp == NULL && Extension->ReadWorkerIrp == NULL &&
               Extension->ReadQueueHead == NULL && Extension->ReceiveCount != 0) {
        *Information = CopyFromReceiveBuffer(
            Extension, Irp, IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length);
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return status;
}

// IRP_MJ_READ, at PASSIVE_LEVEL: completes the read here when it is refused, empty, or can be
// served from the receive buffer at once; otherwise queues it for the read worker, which then
// completes it (or makes it the current read) and drops its I/O reference.
_Use_decl_annotations_ NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    IncrementIoCount(DeviceObject);
    Irp->IoStatus.Information = 0;
    ULONG_PTR information = 0;
    NTSTATUS status = AdmitRead(DeviceObject, extension, Irp);
    if (status == STATUS_PENDING) {
        status = ReadAtOnce(extension, Irp, &information);
    }
    if (status == STATUS_PENDING && IsCancelRequested(Irp)) {
        status = STATUS_CANCELLED;
    }
    if (status == STATUS_PENDING) {
        status =
            QueueForWorker(extension, Irp, &extension->ReadQueueHead, &extension->ReadWorkerBusy,
                           QueueReadRequest, extension->ReadWorkItem);
        if (status == STATUS_PENDING) {
            return status;
        }
    }
    CompleteRequest(Irp, status, information);
    DecrementIoCount(DeviceObject);
    return status;
}

// Takes the next read off the queue for the worker, or finds the queue empty and marks the
// worker idle (returning NULL).
static PIRP TakeNextRead(PDEVICE_EXTENSION Extension, PULONG Cancelled)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    Extension->ReadWorkerBusy = 1;
    PIRP irp = TakeQueueEntry(&Extension->ReadQueueHead, Cancelled);
    Extension->ReadWorkerIrp = irp;
    if (irp == NULL) {
        Extension->ReadWorkerBusy = 0;
    } else {
        Extension->CurrentReadIrp = NULL;
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return irp;
}

// Arms the read timer for a current read of Length bytes unless it is armed already.
// DeviceLock is held.
static VOID ArmReadTimerLocked(PDEVICE_EXTENSION Extension, ULONG Length)
{
    if (Extension->ReadTimerSet == 0) {
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = -10000LL * ReadTotalTimeout(&Extension->Timeouts, Length);
        Extension->ReadTimerSet = 1;
        Extension->ReadTimerDueTime = KeQueryInterruptTime() - dueTime.QuadPart;
        KeSetTimer(&Extension->ReadTimer, dueTime, &Extension->ReadTimerDpc);
    }
}

// Makes a read the current read, with CancelCurrentRead as its cancel routine, unless it has
// been cancelled already (FALSE: the caller completes it as cancelled). Setting the routine
// and CurrentReadIrp in one hold of both locks means a delivery never sees the read without
// its routine, and a cancel never misses it. With ArmTimer the read timer is armed for its
// Length in the same hold of DeviceLock, so that a timeout the timer's DPC delivers late for
// an earlier read finds this read's own arming and leaves it alone. The caller reads Length
// before the read becomes current: from then on a delivery or a cancel may complete the read,
// and the worker must not touch it any more.
static BOOLEAN MakeCurrentRead(PDEVICE_EXTENSION Extension, PIRP Irp, BOOLEAN ArmTimer,
                               ULONG Length)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    BOOLEAN cancelled = Irp->Cancel;
    if (!cancelled) {
        IoSetCancelRoutine(Irp, CancelCurrentRead);
        Extension->CurrentReadIrp = Irp;
    }
    IoReleaseCancelSpinLock(cancelIrql);
    if (!cancelled && ArmTimer) {
        ArmReadTimerLocked(Extension, Length);
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return !cancelled;
}

// Forgets a current read that has been completed or is being cancelled; a later current read
// is never touched.
static VOID ForgetCurrentRead(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    if (Extension->CurrentReadIrp == Irp) {
        Extension->CurrentReadIrp = NULL;
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
}

// Why the worker refuses a read: the device can no longer accept requests (the pending
// wait-on-mask request is then cancelled), or the port is not open (after cleanup the receive
// buffer size is 0 as well). STATUS_SUCCESS when it is served.
static NTSTATUS ReadRefusal(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    if (!CanAcceptRequests(DeviceObject)) {
        CancelWaitOnMask(Extension);
        return STATUS_DELETE_PENDING;
    }
    if (ReadFlag(&Extension->PortOpen) != 1) {
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

// Ends a read that is refused, or whose wait the port's shut-down ends, through the delivery
// step: buffered bytes with STATUS_SUCCESS, otherwise STATUS_UNSUCCESSFUL; SERIAL_EV_ERR is
// raised when it is in the wait mask. The read is made current first if it is not yet, so
// that the delivery and a cancel agree on who completes it.
static VOID EndReadByDelivery(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Refusal,
                              BOOLEAN Current)
{
    if (!Current && !MakeCurrentRead(Extension, Irp, FALSE, 0)) {
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
        return;
    }
    DeliverReceivedData(Extension, NULL, 0, Refusal, TRUE);
    ForgetCurrentRead(Extension, Irp);
}

// Copies buffered bytes into a read that the worker has just taken, or, under the timeouts
// MAXULONG/0/0, completes it with nothing when nothing is buffered: such a read never waits,
// also when it was queued behind others. FALSE when the read must wait for data. The read has
// no cancel routine, so no one else can complete it meanwhile.
static BOOLEAN ReadBufferedBytes(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG_PTR information = 0;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    BOOLEAN buffered = Extension->ReceiveCount != 0;
    BOOLEAN served = buffered || ReturnsAtOnce(&Extension->Timeouts);
    if (buffered) {
        information = CopyFromReceiveBuffer(
            Extension, Irp, IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length);
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    if (served) {
        CompleteRequest(Irp, STATUS_SUCCESS, information);
    }
    return served;
}

// Waits until the current read has been completed: before the first wait and each time
// ReceiveDeliveredEvent wakes the worker, it looks whether the read is still current. A read that a failed bulk-IN read left
// pending stays current, for the next delivery, its timer or its cancel to end. A read still
// waiting when the port shuts down (the waits of close, cleanup and teardown end by setting the
// event) is ended through the delivery step.
static VOID WaitForCurrentRead(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    for (;;) {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
        BOOLEAN current = Extension->CurrentReadIrp == Irp;
        BOOLEAN closing = ReadULong(&Extension->ReceiveBufferSize) == 0;
        KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
        if (!current) {
            return;
        }
        NTSTATUS refusal = ReadRefusal(DeviceObject, Extension);
        if (refusal != STATUS_SUCCESS || closing) {
            EndReadByDelivery(Extension, Irp, refusal != STATUS_SUCCESS ? refusal : STATUS_CANCELLED,
                              TRUE);
            return;
        }
        KeWaitForSingleObject(&Extension->ReceiveDeliveredEvent, Executive, KernelMode, FALSE,
                              NULL);
    }
}

// Bytes that a delivery buffered between the worker's look at the buffer and the moment the
// read became current would otherwise wait for the next delivery: they go to the current read
// now, unless a delivery or a cancel has taken it meanwhile.
static VOID ServeCurrentReadFromBuffer(PDEVICE_EXTENSION Extension)
{
    PIRP irp = NULL;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    if (Extension->ReceiveCount != 0) {
        irp = ClaimCurrentRead(Extension);
    }
    if (irp != NULL) {
        irp->IoStatus.Information = CopyFromReceiveBuffer(
            Extension, irp, IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length);
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    if (irp != NULL) {
        CompleteCurrentRead(Extension, irp, STATUS_SUCCESS);
    }
}

// Serves one read that the worker took off the queue; the caller drops its I/O reference.
static VOID ServeRead(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp,
                      ULONG Cancelled)
{
    if (Cancelled) {
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
        return;
    }
    NTSTATUS refusal = ReadRefusal(DeviceObject, Extension);
    if (refusal != STATUS_SUCCESS) {
        Irp->IoStatus.Information = 0;
        EndReadByDelivery(Extension, Irp, refusal, FALSE);
        return;
    }
    if (IsCancelRequested(Irp)) {
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
        return;
    }
    if (ReadBufferedBytes(Extension, Irp)) {
        return;
    }
    StartReceivePump(Extension);
    KeResetEvent(&Extension->ReceiveDeliveredEvent);
    Irp->IoStatus.Status = STATUS_PENDING;
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    if (!MakeCurrentRead(Extension, Irp, TRUE, length)) {
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
        return;
    }
    ServeCurrentReadFromBuffer(Extension);
    WaitForCurrentRead(DeviceObject, Extension, Irp);
    CancelReadTimer(Extension);
    KeResetEvent(&Extension->ReceiveDeliveredEvent);
}

// The work-item routine of ReadWorkItem (Parameter is the device object): serves the read
// queue in order until it is empty. Each read's I/O reference is dropped once the read is
// finished with, whoever completed it.
_Use_decl_annotations_ VOID ReadWorker(PVOID Parameter)
{
    PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)Parameter;
    PDEVICE_EXTENSION extension = GetDeviceExtension(deviceObject);
    ULONG cancelled;
    for (PIRP irp = TakeNextRead(extension, &cancelled); irp != NULL;
         irp = TakeNextRead(extension, &cancelled)) {
        ServeRead(deviceObject, extension, irp, cancelled);
        DecrementIoCount(deviceObject);
    }
}

// The read timer's DPC (DeferredContext is the device extension), at DISPATCH_LEVEL: ends the
// current read with STATUS_TIMEOUT and what is buffered, and wakes the read worker. A DPC that
// runs before the due time of the latest arming belongs to an earlier one and sets the timer
// again for what is left; one that finds the timer disarmed does nothing.
_Use_decl_annotations_ VOID ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                           PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
    BOOLEAN expired = FALSE;
    if (extension->ReadTimerSet == 1) {
        ULONGLONG now = KeQueryInterruptTime();
        if (now < extension->ReadTimerDueTime) {
            LARGE_INTEGER dueTime;
            dueTime.QuadPart = -(LONGLONG)(extension->ReadTimerDueTime - now);
            KeSetTimer(&extension->ReadTimer, dueTime, &extension->ReadTimerDpc);
        } else {
            extension->ReadTimerSet = 0;
            expired = TRUE;
        }
    }
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    if (expired) {
        DeliverReceivedData(extension, NULL, 0, STATUS_TIMEOUT, FALSE);
        KeSetEvent(&extension->ReceiveDeliveredEvent, 1, FALSE);
    }
}

// Cancel routine of the current read, entered with the cancel spin lock held (the I/O manager
// has cleared the routine, so no delivery can claim the read any more): forgets the read
// unless a later read is current by now, wakes the read worker, and completes the read as
// cancelled. The wake is needed: a delivery that lost the claim to this cancel has already
// disarmed the read timer and may have woken the worker while the read was still current, so
// without it the worker would wait, with the reads queued behind it, until the device sends
// again.
_Use_decl_annotations_ VOID CancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    ForgetCurrentRead(extension, Irp);
    KeSetEvent(&extension->ReceiveDeliveredEvent, 1, FALSE);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

// Marks every queued read cancelled (the worker completes each when it takes it) and, with
// AbortTransfer, cancels the bulk-IN transfer in flight. The current read is not touched. At
// up to DISPATCH_LEVEL without AbortTransfer; PASSIVE_LEVEL with it.
_Use_decl_annotations_ VOID CancelQueuedReads(PDEVICE_OBJECT DeviceObject, BOOLEAN AbortTransfer)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
    MarkQueueCancelled(extension->ReadQueueHead);
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    if (AbortTransfer) {
        AbortBulkInTransfer(DeviceObject);
    }
}

// Waits until the pump has delivered the read that was just cancelled, or has ended. A read
// worker waiting for data may have taken that signal instead; it is passed on to it.
static VOID WaitForCancelledDelivery(PDEVICE_EXTENSION Extension)
{
    LARGE_INTEGER poll;
    poll.QuadPart = -10000LL * KDX_DELIVERY_POLL;
    while (KeWaitForSingleObject(&Extension->ReceiveDeliveredEvent, Executive, KernelMode, FALSE,
                                 &poll) != STATUS_SUCCESS) {
        if (!IsReceivePumpRunning(Extension)) {
            break;
        }
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    BOOLEAN workerBusy = Extension->ReadWorkerIrp != NULL;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    if (workerBusy) {
        KeSetEvent(&Extension->ReceiveDeliveredEvent, 1, FALSE);
    } else {
        KeResetEvent(&Extension->ReceiveDeliveredEvent);
    }
}

// Cancels the bulk-IN transfer in flight, once the IN slot has settled (two equal samples 100
// ms apart, at most 52 waits), and waits until the pump has delivered it. Holds
// TransferCancelGate throughout. PASSIVE_LEVEL.
_Use_decl_annotations_ VOID AbortBulkInTransfer(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    CancelReadTimer(extension);
    KeWaitForSingleObject(&extension->TransferCancelGate, Executive, KernelMode, FALSE, NULL);
    PTRANSFER_SLOT sample =
        WatchTransferSlot(extension, extension->BulkInPipeIndex, KDX_ABORT_SLOT_WAITS);
    if (sample != NULL && CancelSlotTransfer(extension, extension->BulkInPipeIndex, sample, NULL)) {
        WaitForCancelledDelivery(extension);
    }
    KeSetEvent(&extension->TransferCancelGate, 1, FALSE);
}
