// Open, close and cleanup. The port is exclusive: DispatchCreate admits one open, gives the
// receive pump its landing buffer, resets the per-open state and starts the pump, so that
// what the device sends is fetched whether or not the program reads. Cleanup and close stop all
// data movement: they cancel the queued reads and writes, stop the receive pump, cancel the
// bulk transfers in flight and the pending wait-on-mask request, and wait until the workers
// are idle; close also gives the port up. Product 0x005B has its USB port reset at open and
// close. StopReceivePump and WaitForWorkersIdle also serve the stop and removal paths.
//
// The dispatch routines run at PASSIVE_LEVEL in the caller's thread, complete their request
// themselves and block: on TransferCancelGate, on the pump's end and in 100 ms polls.
#include "../kdxlusb.h"

#define KDX_LANDING_BUFFER_SIZE 4096  // the receive pump's landing buffer, per open
#define KDX_QUIESCE_SLOT_WAITS 32     // 100 ms samples of the IN slot before it is cancelled
#define KDX_IDLE_POLLS 61             // 100 ms polls of the workers before giving up
// Polls while the write worker is still busy: as long as one write can take, that is the wait
// for a read recovery (1.02 s), the transfer under its write timeout (at most 6 s), the recovery
// requests after it, and the wait for the receive pump's start (2 s).
#define KDX_WRITE_IDLE_POLLS 100
#define KDX_IDLE_POLL 100             // ms
#define KDX_GONE_STOP_DELAY 100       // ms between stopping the pump and aborting the reads
#define KDX_CLOSE_RESET_DELAY 20      // ms after the port reset of a close

// Tells the receive pump to end: it will not read again, and a pump waiting for room in the
// receive buffer wakes up to see it. Up to DISPATCH_LEVEL.
_Use_decl_annotations_ VOID StopReceivePump(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    WriteULong(&DeviceExtension->ReceiveBufferSize, 0);
    DeviceExtension->ReceivePumpStopRequested = 1;
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
    KeSetEvent(&DeviceExtension->ReceiveSpaceEvent, 1, FALSE);
}

// Polls every 100 ms until both queues are empty, both workers idle and the pump ended (its
// item, if queued, run): at most 61 times, and while the write worker is still busy with a
// write, as long as that write can take (100 polls in all), so that a worker still inside its
// transfer is never left to the next open. After the 61st poll wakes a read worker that waits
// for data, so that it sees the port going down. TRUE when the port went idle. PASSIVE_LEVEL.
_Use_decl_annotations_ BOOLEAN WaitForWorkersIdle(PDEVICE_EXTENSION DeviceExtension)
{
    for (ULONG polls = 1;; polls++) {
        WaitMilliseconds(KDX_IDLE_POLL);
        // The workers and the pump change these under DeviceLock; the lock is held for the
        // look only.
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
        BOOLEAN writing =
            DeviceExtension->WriteQueueHead != NULL || DeviceExtension->WriteWorkerBusy != 0;
        BOOLEAN busy = writing || DeviceExtension->ReadWorkerBusy != 0 ||
                       DeviceExtension->ReadQueueHead != NULL ||
                       DeviceExtension->ReceivePumpRunning != 0 ||
                       DeviceExtension->ReceivePumpItemQueued != 0;
        KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
        if (!busy) {
            return TRUE;
        }
        if (polls == KDX_IDLE_POLLS) {
            KeSetEvent(&DeviceExtension->ReceiveDeliveredEvent, 1, FALSE);
        }
        if (polls >= KDX_IDLE_POLLS && (!writing || polls >= KDX_WRITE_IDLE_POLLS)) {
            return FALSE;
        }
    }
}

static VOID SetReceiveBufferSize(PDEVICE_EXTENSION Extension, ULONG Size)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    WriteULong(&Extension->ReceiveBufferSize, Size);
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
}

// Lets the next read or write worker queue the receive pump again (StartReceivePump).
static VOID AllowPumpStart(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    Extension->ReceivePumpQueued = 0;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
}

// Waits until a receive pump of an earlier open has ended, or its item, still queued, has run:
// that pump uses the landing buffer until it ends. It is told to stop first, and its read in
// flight is cancelled under TransferCancelGate. PASSIVE_LEVEL.
static VOID EndEarlierPump(PDEVICE_EXTENSION Extension)
{
    if (!IsReceivePumpOutstanding(Extension)) {
        return;
    }
    StopReceivePump(Extension);
    KeWaitForSingleObject(&Extension->TransferCancelGate, Executive, KernelMode, FALSE, NULL);
    WaitForReceivePumpIdle(Extension);
    KeSetEvent(&Extension->TransferCancelGate, 1, FALSE);
}

// The landing buffer of a new open, once no pump of an earlier one is left. Nothing that a
// worker still busy from an earlier open owns is reset: its queue, its busy flag and the pump
// flags stay theirs, and requests of this open queue behind it. Until ResetOpenState allows it
// again, no worker may queue the pump. A block left by an open whose pump never ran is released
// before the new one is taken.
static NTSTATUS PrepareReceiving(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    Extension->ReceivePumpQueued = 1;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    EndEarlierPump(Extension);

    oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    // A surprise removal may clear the size at the same moment: both take DeviceLock.
    WriteULong(&Extension->ReceiveBufferSize, KDX_LANDING_BUFFER_SIZE);
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);

    ReleaseLandingBuffer(Extension);
    PUCHAR buffer = (PUCHAR)ExAllocatePool(NonPagedPool, KDX_LANDING_BUFFER_SIZE);
    oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    Extension->ReceiveLandingBuffer = buffer;
    if (buffer == NULL) {
        WriteULong(&Extension->ReceiveBufferSize, 0);
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return buffer != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// The per-open resets of the buffer pointer, the limits, the counters and the masks, and the
// opening of the port. The write in flight of a write worker still busy from an earlier open
// keeps its zero-length-packet state and its length.
static VOID ResetOpenState(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    Extension->ReceiveReadBuffer = Extension->ReceiveLandingBuffer;
    Extension->ReceivePumpStopRequested = 0;
    Extension->HandFlow.XonLimit = KDX_LANDING_BUFFER_SIZE >> 1;
    Extension->HandFlow.XoffLimit = KDX_LANDING_BUFFER_SIZE >> 3;
    if (Extension->WriteWorkerBusy == 0) {
        Extension->ZlpPending = 0;
        Extension->PendingWriteLength = 0;
    }
    Extension->ReceiveCount = 0;
    Extension->EventHistory = 0;
    WriteULong(&Extension->WaitMask, 0);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    Extension->WaitOnMaskIrp = NULL;
    Extension->WaitOnMaskRefused = 0;
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);

    RtlZeroMemory(&Extension->PerfStats, sizeof(SERIALPERF_STATS));
    WriteFlag(&Extension->PortOpen, 1);
    if (Extension->ProductId == KDX_PRODUCT_NUMBERED_PORT) {
        ForgetPortReset(Extension);
        ResetPortIfConnected(DeviceObject);
    }
    KeResetEvent(&Extension->ReceiveDeliveredEvent);
    AllowPumpStart(Extension);
}

// Admits an open that got OpenCount to 1, unless it asks for a directory or a close of the
// previous open is still under way. On failure the open's state is undone.
static NTSTATUS AdmitOpen(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_ACCESS_DENIED;
    if ((stack->Parameters.Create.Options & FILE_DIRECTORY_FILE) != 0) {
        status = STATUS_NOT_A_DIRECTORY;
    } else if (!ReadFlag(&Extension->HandleOpen)) {
        WriteFlag(&Extension->HandleOpen, 1);
        Extension->OpenFileObject = stack->FileObject;
        status = PrepareReceiving(Extension);
        if (NT_SUCCESS(status)) {
            ResetOpenState(DeviceObject, Extension);
            // The device's bytes are fetched from the open on, whether or not anyone reads.
            StartReceivePump(Extension);
            return STATUS_SUCCESS;
        }
        ReleaseLandingBuffer(Extension);
        WriteULong(&Extension->ReceiveBufferSize, 0);
        WriteFlag(&Extension->HandleOpen, 0);
    }
    InterlockedDecrement(&Extension->OpenCount);
    return status;
}

// IRP_MJ_CREATE: admits one open of the port at a time. Refused at once while the device
// cannot accept requests. The I/O reference is taken before the device's state is looked at:
// a query-remove that marks the device after this open has looked then waits for the open to
// finish, and sees its handle.
_Use_decl_annotations_ NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    IncrementIoCount(DeviceObject);
    if (!CanAcceptRequests(DeviceObject)) {
        CancelWaitOnMask(extension);
        CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
        DecrementIoCount(DeviceObject);
        return STATUS_DELETE_PENDING;
    }
    NTSTATUS status;
    if (InterlockedIncrement(&extension->OpenCount) > 1) {
        InterlockedDecrement(&extension->OpenCount);
        status = STATUS_ACCESS_DENIED;
    } else {
        status = AdmitOpen(DeviceObject, extension, Irp);
    }
    CompleteRequest(Irp, status, 0);
    DecrementIoCount(DeviceObject);
    return status;
}

// Stops all data movement of a port whose device can still accept requests: the queued writes
// and reads are cancelled, the receive pump is stopped and its read in flight cancelled once
// the IN slot has settled, and the write in flight is cancelled, all under
// TransferCancelGate. Returns once the pump has ended.
static VOID QuiescePort(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    CancelQueuedWrites(DeviceObject, FALSE);
    CancelQueuedReads(DeviceObject, FALSE);
    CancelReadTimer(Extension);
    KeWaitForSingleObject(&Extension->TransferCancelGate, Executive, KernelMode, FALSE, NULL);
    PTRANSFER_SLOT sample =
        WatchTransferSlot(Extension, Extension->BulkInPipeIndex, KDX_QUIESCE_SLOT_WAITS);
    StopReceivePump(Extension);
    SetReceiveBufferSize(Extension, 0);
    if (sample != NULL) {
        CancelSlotTransfer(Extension, Extension->BulkInPipeIndex, sample, NULL);
    }
    WaitForReceivePumpIdle(Extension);
    StopWriteTimer(Extension);
    CancelSlotTransfer(Extension, Extension->BulkOutPipeIndex, NULL, NULL);
    KeSetEvent(&Extension->TransferCancelGate, 1, FALSE);
}

// Stops all data movement of a port whose device is stopping or gone, through the abort
// routines.
static VOID AbortPortIo(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    CancelQueuedWrites(DeviceObject, TRUE);
    StopReceivePump(Extension);
    WaitMilliseconds(KDX_GONE_STOP_DELAY);
    CancelQueuedReads(DeviceObject, TRUE);
}

// The end of every shut-down: no pump may start, the pending wait-on-mask request is
// cancelled, a read worker that waits for data is woken so that it ends its read, and the
// workers are given time to finish.
static VOID FinishShutdown(PDEVICE_EXTENSION Extension)
{
    SetReceiveBufferSize(Extension, 0);
    CancelWaitOnMask(Extension);
    WakeCurrentReadWorker(Extension);
    WaitForWorkersIdle(Extension);
}

// Gives up the landing buffer of an open whose pump is not running (it never ran, or it ended
// and released it already); a pump still running releases it itself when it ends.
static VOID ReleaseIdleLandingBuffer(PDEVICE_EXTENSION Extension)
{
    if (!IsReceivePumpRunning(Extension)) {
        ReleaseLandingBuffer(Extension);
    }
}

// Gives back the admitted open, if there is one: a close that came without an open leaves the
// count at zero, so that the next open and its close count right.
static VOID ReleaseAdmittedOpen(PDEVICE_EXTENSION Extension)
{
    LONG count = InterlockedCompareExchange(&Extension->OpenCount, 0, 0);
    while (count > 0) {
        LONG seen = InterlockedCompareExchange(&Extension->OpenCount, count - 1, count);
        if (seen == count) {
            break;
        }
        count = seen;
    }
}

// Close of a port whose device is stopping or gone; it always succeeds, also without an open.
static VOID CloseAbortedPort(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    AbortPortIo(DeviceObject, Extension);
    ReleaseAdmittedOpen(Extension);
    WriteFlag(&Extension->HandleOpen, 0);
    WriteFlag(&Extension->PortOpen, 0);
    AllowPumpStart(Extension);
    FinishShutdown(Extension);
    ReleaseIdleLandingBuffer(Extension);
}

// Close of an open port: stops its I/O, closes it, resets the USB port of product 0x005B, and
// only then lets a new open in.
static VOID ClosePort(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    QuiescePort(DeviceObject, Extension);
    WriteFlag(&Extension->PortOpen, 0);
    WriteFlag(&Extension->HandleOpen, 0);
    FinishShutdown(Extension);
    if (Extension->ProductId == KDX_PRODUCT_NUMBERED_PORT) {
        ForgetPortReset(Extension);
        ResetPortIfConnected(DeviceObject);
        WaitMilliseconds(KDX_CLOSE_RESET_DELAY);
    }
    ReleaseIdleLandingBuffer(Extension);
    // The next open may begin as soon as the count drops, and its first read or write may
    // queue its pump at once: the pump is allowed to start again before that.
    AllowPumpStart(Extension);
    InterlockedDecrement(&Extension->OpenCount);
}

// True when no open is admitted; a count below zero is put back to zero, unless an open has
// moved it meanwhile.
static BOOLEAN OpenCountNotAboveZero(PDEVICE_EXTENSION Extension)
{
    LONG count = InterlockedCompareExchange(&Extension->OpenCount, 0, 0);
    if (count < 0) {
        InterlockedCompareExchange(&Extension->OpenCount, 0, count);
    }
    return count <= 0;
}

// IRP_MJ_CLOSE: stops the port's I/O and gives the port up. A close without an admitted open
// fails with STATUS_INVALID_DEVICE_REQUEST; one of a stopping or gone device always succeeds.
_Use_decl_annotations_ NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    IncrementIoCount(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    if (!CanAcceptRequests(DeviceObject)) {
        CloseAbortedPort(DeviceObject, extension);
    } else if (OpenCountNotAboveZero(extension)) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        ClosePort(DeviceObject, extension);
    }
    CompleteRequest(Irp, status, 0);
    DecrementIoCount(DeviceObject);
    return status;
}

// IRP_MJ_CLEANUP: stops the port's I/O like close, but keeps the port open for the close that
// follows; it does not look at which file object it is called for. Always succeeds.
_Use_decl_annotations_ NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    IncrementIoCount(DeviceObject);
    RefuseWaitOnMask(extension);  // until the next open: no pump is left to complete a wait
    if (!CanAcceptRequests(DeviceObject)) {
        AbortPortIo(DeviceObject, extension);
    } else {
        QuiescePort(DeviceObject, extension);
    }
    FinishShutdown(extension);
    AllowPumpStart(extension);
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    DecrementIoCount(DeviceObject);
    return STATUS_SUCCESS;
}
