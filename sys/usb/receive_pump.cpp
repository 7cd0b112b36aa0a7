// The receive pump: while the port is open it keeps one 2048-byte bulk-IN read in flight,
// appends what arrives to the receive buffer and hands every result to DeliverReceivedData.
// It waits while the receive buffer holds more than 4096 bytes, and ends when the port is
// closed or stopped, when the device is gone, or on a fatal read status. The open starts it; a
// pump that ended on a fatal status with the device present is started again by the next read
// or write.
//
// The pump is a work item on the delayed work queue, at PASSIVE_LEVEL, one instance per device;
// from the moment its item is queued until it has run it holds an I/O reference and counts as
// outstanding (ReceivePumpItemQueued, then ReceivePumpRunning), so that the close, the next open
// and the removal wait for it even before a worker thread has taken it. It never holds
// DeviceLock across a USB request, a wait or a delay.
#include "../kdxlusb.h"

#define KDX_PUMP_READ_LENGTH 2048       // bytes asked for by every bulk-IN read
#define KDX_PUMP_RESUME_LEVEL 4096      // the pump reads only while at most this much is buffered
#define KDX_PUMP_START_WAIT 2000        // ms a starter waits for the pump to start
#define KDX_WRITE_RECOVERY_DELAY 20     // ms between two looks at a write recovery
#define KDX_WRITE_RECOVERY_DELAYS 52    // looks before the pump reads anyway
#define KDX_PUMP_IDLE_POLL 100          // ms between two cancels of a stopping pump's read

// Sets ReceivePumpIdleEvent when neither a pump runs nor its item is queued. DeviceLock is held,
// so that the event always agrees with the two flags.
static VOID SignalPumpIdleLocked(PDEVICE_EXTENSION Extension)
{
    if (Extension->ReceivePumpRunning == 0 && Extension->ReceivePumpItemQueued == 0) {
        KeSetEvent(&Extension->ReceivePumpIdleEvent, 1, FALSE);
    }
}

// The work-item routine of ReceivePumpWorkItem (Parameter is the device object): runs the pump
// unless one already runs, tested and marked in one hold of DeviceLock, and drops the I/O
// reference that the starter took for the item. The extension is not touched after that.
_Use_decl_annotations_ VOID ReceivePumpWorker(PVOID Parameter)
{
    PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)Parameter;
    PDEVICE_EXTENSION extension = GetDeviceExtension(deviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
    extension->ReceivePumpItemQueued = 0;
    BOOLEAN running = extension->ReceivePumpRunning != 0;
    extension->ReceivePumpRunning = 1;
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);

    if (!running) {
        RunReceivePump(deviceObject, extension, extension->BulkInPipeIndex);
        oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
        extension->ReceivePumpRunning = 0;
        // A pump that ended on its own kept the landing buffer: the next read or write worker
        // starts it again. Allowed in the hold that ends this run, so that the item it queues
        // never finds this run still marked.
        if (extension->ReceiveLandingBuffer != NULL && extension->ReceivePumpStopRequested == 0 &&
            ReadULong(&extension->ReceiveBufferSize) != 0) {
            extension->ReceivePumpQueued = 0;
        }
        SignalPumpIdleLocked(extension);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    }
    DecrementIoCount(deviceObject);
}

// True while ReceivePumpWorker runs the pump loop; read under DeviceLock, which the pump
// holds when it sets and clears the flag. Up to DISPATCH_LEVEL.
_Use_decl_annotations_ BOOLEAN IsReceivePumpRunning(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    BOOLEAN running = DeviceExtension->ReceivePumpRunning != 0;
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
    return running;
}

// True while the pump's item is queued or the pump runs; read under DeviceLock. Up to
// DISPATCH_LEVEL.
_Use_decl_annotations_ BOOLEAN IsReceivePumpOutstanding(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    BOOLEAN outstanding =
        DeviceExtension->ReceivePumpRunning != 0 || DeviceExtension->ReceivePumpItemQueued != 0;
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
    return outstanding;
}

// True when the pump may run: the port is open for it, it has a landing buffer, and the pipe
// is a bulk-IN pipe.
static BOOLEAN PumpCanRun(PDEVICE_EXTENSION Extension, ULONG PipeIndex)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    BOOLEAN ready =
        ReadULong(&Extension->ReceiveBufferSize) != 0 && Extension->ReceiveLandingBuffer != NULL;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    PUSBD_INTERFACE_INFORMATION information = Extension->InterfaceInformation;
    if (!ready || information == NULL || PipeIndex >= information->NumberOfPipes) {
        return FALSE;
    }
    PUSBD_PIPE_INFORMATION pipe = &information->Pipes[PipeIndex];
    return pipe->PipeType == UsbdPipeTypeBulk && USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress);
}

// Takes the pump's transfer context for this run and records it in ReceiveTransferContext.
static PTRANSFER_CONTEXT CreatePumpContext(PDEVICE_EXTENSION Extension, ULONG PipeIndex)
{
    PTRANSFER_CONTEXT context =
        (PTRANSFER_CONTEXT)ExAllocatePool(NonPagedPool, sizeof(TRANSFER_CONTEXT));
    if (context == NULL) {
        return NULL;
    }
    RtlZeroMemory(context, sizeof(TRANSFER_CONTEXT));
    context->InterfaceInformation = Extension->InterfaceInformation;
    context->PipeIndex = PipeIndex;
    context->SlotIndex = PipeIndex;
    context->Direction = KDX_DIRECTION_READ;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    Extension->ReceiveTransferContext = context;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return context;
}

// Back-pressure: waits while more than 4096 bytes are buffered. FALSE when the pump is asked
// to stop. The event is reset before the buffer is looked at, so that a reader that makes room
// after the look always leaves the event set for the wait.
static BOOLEAN WaitForReceiveSpace(PDEVICE_EXTENSION Extension)
{
    for (;;) {
        KeResetEvent(&Extension->ReceiveSpaceEvent);
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
        BOOLEAN stop = Extension->ReceivePumpStopRequested != 0;
        BOOLEAN full = Extension->ReceiveCount > KDX_PUMP_RESUME_LEVEL;
        KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
        if (stop) {
            return FALSE;
        }
        if (!full) {
            return TRUE;
        }
        KeWaitForSingleObject(&Extension->ReceiveSpaceEvent, Executive, KernelMode, FALSE, NULL);
    }
}

// Statuses of a read that end the pump.
static BOOLEAN IsFatalReadStatus(NTSTATUS Status)
{
    return Status == STATUS_PORT_DISCONNECTED || Status == STATUS_DEVICE_NOT_CONNECTED ||
           Status == STATUS_INVALID_DEVICE_REQUEST || Status == STATUS_INSUFFICIENT_RESOURCES;
}

// Appends the bytes of the last read to the receive buffer, never beyond its end (the pump reads
// only while at most 4096 bytes are buffered, so nothing is cut unless that rule was broken);
// returns how many.
static ULONG AppendReceivedData(PDEVICE_EXTENSION Extension, PTRANSFER_CONTEXT Context)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    ULONG count = Extension->LastReadLength;
    if (count > KDX_PUMP_READ_LENGTH) {
        count = KDX_PUMP_READ_LENGTH;
    }
    ULONG room = Extension->ReceiveCount < KDX_RECEIVE_BUFFER_SIZE
                     ? KDX_RECEIVE_BUFFER_SIZE - Extension->ReceiveCount
                     : 0;
    if (count > room) {
        count = room;
    }
    if (count != 0) {
        RtlCopyMemory(&Extension->ReceiveBuffer[Extension->ReceiveCount], Context->Buffer, count);
        Extension->ReceiveCount += count;
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return count;
}

// The pump's loop: one read per turn while the port is open and the pump may go on.
static VOID PumpReceivedData(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension,
                             PTRANSFER_CONTEXT Context)
{
    while (ReadFlag(&Extension->PortOpen)) {
        if (ReadULong(&Extension->ReceiveBufferSize) == 0 || !CanAcceptRequests(DeviceObject) ||
            !WaitForReceiveSpace(Extension)) {
            return;
        }
        Extension->LastReadLength = 0;
        Context->Length = KDX_PUMP_READ_LENGTH;
        Context->Buffer = Extension->ReceiveReadBuffer;
        NTSTATUS status = ReadBulkInOnce(DeviceObject, Extension, Context);
        if (!NT_SUCCESS(status) &&
            (IsFatalReadStatus(status) || ReadFlag(&Extension->DeviceGone))) {
            return;
        }
        ULONG count = NT_SUCCESS(status) ? AppendReceivedData(Extension, Context) : 0;
        DeliverReceivedData(Extension, (PUCHAR)Context->Buffer, (LONG)count, status, FALSE);
        KeSetEvent(&Extension->ReceiveDeliveredEvent, 1, FALSE);
    }
}

// Frees the landing buffer if there is one. Both pointers to it are cleared under DeviceLock
// first, so that of the pump's end, the close and the next open exactly one frees it.
_Use_decl_annotations_ VOID ReleaseLandingBuffer(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    PUCHAR buffer = DeviceExtension->ReceiveLandingBuffer;
    DeviceExtension->ReceiveLandingBuffer = NULL;
    DeviceExtension->ReceiveReadBuffer = NULL;
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
    if (buffer != NULL) {
        ExFreePool(buffer);
    }
}

// The pump's end. Stopped by a shut-down (close, cleanup, stop, removal: the stop flag is set),
// it discards the bytes no read took and cancels a pending wait-on-mask request. Ended on its
// own (the device found gone, a fatal read status), it keeps the bytes for the reads of this
// open, and a pending wait gets SERIAL_EV_ERR, when its mask holds it, before a wait that got
// nothing is cancelled. Either way the read that waits for data is ended with what is buffered
// (a pump that never got its context skips the wait and the read), the read worker is woken,
// and the context is freed. The landing buffer is freed too, unless the pump ended on its own
// with the device still there and the port open: it is kept for the restart by the next read
// or write, and the close or the next open frees it. The next open empties the buffer.
static VOID EndReceivePump(PDEVICE_EXTENSION Extension)
{
    BOOLEAN present =
        CanAcceptRequests(Extension->DeviceObject) && !ReadFlag(&Extension->DeviceGone);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    BOOLEAN stopped = Extension->ReceivePumpStopRequested != 0;
    if (stopped) {
        Extension->ReceiveCount = 0;
    }
    BOOLEAN restartable = !stopped && present && ReadFlag(&Extension->PortOpen) &&
                          ReadULong(&Extension->ReceiveBufferSize) != 0;
    PTRANSFER_CONTEXT context = Extension->ReceiveTransferContext;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    if (context != NULL) {
        if (stopped) {
            CancelWaitOnMask(Extension);
        }
        DeliverReceivedData(Extension, (PUCHAR)context->Buffer, 0, STATUS_INVALID_DEVICE_REQUEST,
                            TRUE);
        CancelUndeliveredWaitOnMask(Extension);
    }
    KeSetEvent(&Extension->ReceiveDeliveredEvent, 1, FALSE);
    if (!restartable) {
        ReleaseLandingBuffer(Extension);
    }
    oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    Extension->ReceiveTransferContext = NULL;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    if (context != NULL) {
        ExFreePool(context);
    }
}

// One run of the pump, from its start signal to its end sequence. PipeIndex is BulkInPipeIndex.
_Use_decl_annotations_ VOID RunReceivePump(PDEVICE_OBJECT DeviceObject,
                                           PDEVICE_EXTENSION DeviceExtension, ULONG PipeIndex)
{
    KeSetEvent(&DeviceExtension->ReceivePumpStartedEvent, 1, FALSE);
    DeviceExtension->ReceiveTransferContext = NULL;
    if (PumpCanRun(DeviceExtension, PipeIndex)) {
        PTRANSFER_CONTEXT context = CreatePumpContext(DeviceExtension, PipeIndex);
        if (context != NULL) {
            PumpReceivedData(DeviceObject, DeviceExtension, context);
        }
    }
    EndReceivePump(DeviceExtension);
}

// One bulk-IN read into the context's buffer, after a write recovery in progress has finished
// (or 1.04 s have passed). A failed read goes through RecoverReadError, whose status replaces
// the read's; a successful one leaves its byte count in LastReadLength.
_Use_decl_annotations_ NTSTATUS ReadBulkInOnce(PDEVICE_OBJECT DeviceObject,
                                               PDEVICE_EXTENSION DeviceExtension,
                                               PTRANSFER_CONTEXT TransferContext)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &TransferContext->Urb;
    RtlZeroMemory(urb, sizeof(*urb));
    urb->Hdr.Length = sizeof(*urb);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = TransferContext->InterfaceInformation->Pipes[TransferContext->PipeIndex].PipeHandle;
    urb->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb->TransferBufferLength = TransferContext->Length;
    urb->TransferBuffer = TransferContext->Buffer;

    WaitOutRecovery(DeviceExtension, &DeviceExtension->WriteRecoveryActive,
                    KDX_WRITE_RECOVERY_DELAY, KDX_WRITE_RECOVERY_DELAYS);
    NTSTATUS status = SubmitBulkTransfer(DeviceObject, (PURB)urb, TransferContext->SlotIndex,
                                         DeviceExtension->OpenFileObject);
    if (!NT_SUCCESS(status)) {
        return RecoverReadError(DeviceExtension, TransferContext, status);
    }
    DeviceExtension->LastReadLength = urb->TransferBufferLength;
    return status;
}

// Starts the pump: the open queues the work item and waits, at most 2 s, until the pump has
// started; the read and write workers call it again, which does nothing while the pump is
// queued or runs, or after it ended for good, and starts it again after it ended on its own
// with the device present. The item is never queued while it is still queued from before. The
// item counts as outstanding from here: it is marked queued, ReceivePumpIdleEvent is cleared
// in the same hold of DeviceLock, and it gets an I/O reference (the caller holds one of its
// own, so the count cannot be drained meanwhile). PASSIVE_LEVEL.
_Use_decl_annotations_ VOID StartReceivePump(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    BOOLEAN queue =
        DeviceExtension->ReceivePumpQueued == 0 && DeviceExtension->ReceivePumpItemQueued == 0;
    DeviceExtension->ReceivePumpQueued = 1;
    if (queue) {
        DeviceExtension->ReceivePumpItemQueued = 1;
        KeClearEvent(&DeviceExtension->ReceivePumpIdleEvent);
        KeClearEvent(&DeviceExtension->ReceivePumpStartedEvent);
    }
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
    if (!queue) {
        return;
    }
    IncrementIoCount(DeviceExtension->DeviceObject);
    ExQueueWorkItem(DeviceExtension->ReceivePumpWorkItem, DelayedWorkQueue);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * KDX_PUMP_START_WAIT;
    KeWaitForSingleObject(&DeviceExtension->ReceivePumpStartedEvent, Executive, KernelMode, FALSE,
                          &timeout);
}

// Waits until a pump that was asked to stop (StopReceivePump) has ended, and a pump item still
// queued has run (it then ends at once). A pump may have passed its stop check just before the
// request and sent one more read after the caller cancelled the last one; every 100 ms the read
// then in flight is cancelled too. The caller holds TransferCancelGate. PASSIVE_LEVEL.
_Use_decl_annotations_ VOID WaitForReceivePumpIdle(PDEVICE_EXTENSION DeviceExtension)
{
    LARGE_INTEGER poll;
    poll.QuadPart = -10000LL * KDX_PUMP_IDLE_POLL;
    while (IsReceivePumpOutstanding(DeviceExtension)) {
        if (KeWaitForSingleObject(&DeviceExtension->ReceivePumpIdleEvent, Executive, KernelMode,
                                  FALSE, &poll) == STATUS_SUCCESS) {
            return;
        }
        CancelSlotTransfer(DeviceExtension, DeviceExtension->BulkInPipeIndex, NULL, NULL);
    }
}
