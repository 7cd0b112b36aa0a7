// Write requests: DispatchWrite, the write queue and its worker, which sends each write as one
// bulk-OUT transfer of at most 4096 bytes under the write total timeout, the statistics and
// transmit events of finished writes, and the cancellation of queued writes and of the
// transfer in flight.
//
// DispatchWrite runs in the caller's thread at PASSIVE_LEVEL; WriteWorker on the delayed work
// queue at PASSIVE_LEVEL, one instance per device, so writes reach the device one at a time in
// arrival order. DeviceLock guards the queue, its Cancelled flags, WriteWorkerBusy and
// PendingWriteLength. A queued write has no cancel routine: DispatchWrite completes the writes
// it does not queue, the worker every write it takes.
#include "../kdxlusb.h"

#define KDX_WRITE_MAXIMUM 4096        // bytes of one write
#define KDX_READ_RECOVERY_DELAY 10    // ms between two looks at a read recovery
#define KDX_READ_RECOVERY_DELAYS 102  // looks before the write is sent anyway

// Appends a write to the write queue. DeviceLock is held.
_Use_decl_annotations_ NTSTATUS QueueWriteRequest(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    return AppendQueueEntry(&DeviceExtension->WriteQueueHead, Irp);
}

// True once the handle has been cleaned up, or its close has begun: both set the receive buffer
// size to 0 while the port is still open, and only the close may follow. A write then is
// cancelled, as cleanup cancels the writes it finds, and nothing reaches the device.
static BOOLEAN PortShuttingDown(PDEVICE_EXTENSION Extension)
{
    return ReadULong(&Extension->ReceiveBufferSize) == 0;
}

// The checks of a new write. Returns STATUS_PENDING when the write is to be queued, else the
// status to complete it with (0 bytes). A device that accepts requests has a bulk-OUT pipe:
// its start succeeded only with one.
static NTSTATUS AdmitWrite(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (!CanAcceptRequests(DeviceObject)) {
        CancelWaitOnMask(Extension);
        return STATUS_DELETE_PENDING;
    }
    if (ReadFlag(&Extension->PortOpen) != 1) {
        return STATUS_ACCESS_DENIED;
    }
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length > KDX_WRITE_MAXIMUM) {
        return STATUS_INVALID_PARAMETER;
    }
    if (PortShuttingDown(Extension) || IsCancelRequested(Irp)) {
        return STATUS_CANCELLED;
    }
    return STATUS_PENDING;
}

// IRP_MJ_WRITE, at PASSIVE_LEVEL: completes a write that is refused here; queues any other,
// a zero-length one included, for the write worker, which completes it and drops its I/O
// reference.
_Use_decl_annotations_ NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    IncrementIoCount(DeviceObject);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitWrite(DeviceObject, extension, Irp);
    if (status == STATUS_PENDING) {
        status =
            QueueForWorker(extension, Irp, &extension->WriteQueueHead, &extension->WriteWorkerBusy,
                           QueueWriteRequest, extension->WriteWorkItem);
        if (status == STATUS_PENDING) {
            return status;
        }
    }
    CompleteRequest(Irp, status, 0);
    DecrementIoCount(DeviceObject);
    return status;
}

// Takes the next write off the queue for the worker, or finds the queue empty and marks the
// worker idle (returning NULL).
static PIRP TakeNextWrite(PDEVICE_EXTENSION Extension, PULONG Cancelled)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    Extension->WriteWorkerBusy = 1;
    PIRP irp = TakeQueueEntry(&Extension->WriteQueueHead, Cancelled);
    if (irp == NULL) {
        Extension->WriteWorkerBusy = 0;
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return irp;
}

static VOID SetPendingWriteLength(PDEVICE_EXTENSION Extension, ULONG Length)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    Extension->PendingWriteLength = Length;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
}

// Takes and fills the transfer context of a write, which becomes WriteTransferContext. NULL
// when it cannot be allocated.
static PTRANSFER_CONTEXT CreateWriteContext(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PTRANSFER_CONTEXT context =
        (PTRANSFER_CONTEXT)ExAllocatePool(NonPagedPool, sizeof(TRANSFER_CONTEXT));
    Extension->WriteTransferContext = context;
    if (context == NULL) {
        return NULL;
    }
    RtlZeroMemory(context, sizeof(TRANSFER_CONTEXT));
    context->Direction = KDX_DIRECTION_WRITE;
    context->Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    context->Buffer = Irp->AssociatedIrp.SystemBuffer;
    context->Irp = Irp;
    context->SlotIndex = Extension->BulkOutPipeIndex;
    context->PipeIndex = Extension->BulkOutPipeIndex;
    context->InterfaceInformation = Extension->InterfaceInformation;
    return context;
}

// Sends a write that has its context: its transfer, the recovery after a failure, the
// accounting, and the start of the receive pump. Returns the write's status; a transfer that
// was cancelled (timed out or aborted) becomes STATUS_TIMEOUT.
static NTSTATUS SendWrite(PDEVICE_EXTENSION Extension, PTRANSFER_CONTEXT Context, PIRP Irp)
{
    SetPendingWriteLength(Extension, Context->Length);
    NTSTATUS status = RunBulkJob(Extension, Context);
    if (!NT_SUCCESS(status)) {
        RecoverWriteError(Extension, Context, status);
    }
    AccountWrittenData(Extension, (ULONG)Irp->IoStatus.Information, status);
    SetPendingWriteLength(Extension, 0);
    StartReceivePump(Extension);
    return status == STATUS_CANCELLED ? STATUS_TIMEOUT : status;
}

// Serves one write that the worker took off the queue and completes it; the caller drops its
// I/O reference. Every write finished here other than as cancelled is accounted, so that it
// raises its transmit events.
static VOID ServeWrite(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp,
                       ULONG Cancelled)
{
    NTSTATUS status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    if (!Cancelled && !CanAcceptRequests(DeviceObject)) {
        CancelWaitOnMask(Extension);
        status = STATUS_DELETE_PENDING;
        AccountWrittenData(Extension, 0, status);
    } else if (!Cancelled && ReadFlag(&Extension->PortOpen) != 1) {
        status = STATUS_ACCESS_DENIED;
        AccountWrittenData(Extension, 0, status);
    } else if (!Cancelled && !IsCancelRequested(Irp) && !PortShuttingDown(Extension)) {
        PTRANSFER_CONTEXT context = CreateWriteContext(Extension, Irp);
        if (context == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            AccountWrittenData(Extension, 0, status);
        } else if (context->Length == 0) {
            status = STATUS_SUCCESS;  // nothing is sent, and the pump is not started
            AccountWrittenData(Extension, 0, status);
        } else {
            status = SendWrite(Extension, context, Irp);
        }
        Extension->WriteTransferContext = NULL;
        if (context != NULL) {
            ExFreePool(context);
        }
    }
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
}

// The work-item routine of WriteWorkItem (Parameter is the device object): serves the write
// queue in order until it is empty.
_Use_decl_annotations_ VOID WriteWorker(PVOID Parameter)
{
    PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)Parameter;
    PDEVICE_EXTENSION extension = GetDeviceExtension(deviceObject);
    ULONG cancelled;
    for (PIRP irp = TakeNextWrite(extension, &cancelled); irp != NULL;
         irp = TakeNextWrite(extension, &cancelled)) {
        ServeWrite(deviceObject, extension, irp, cancelled);
        DecrementIoCount(deviceObject);
    }
}

// Sends the write of Context (the device's WriteTransferContext) as one bulk-OUT transfer of a
// non-paged copy of the data, once a read recovery in progress has finished (or about 1 s has
// passed). The write's Information receives the bytes the bus driver reports as sent, or 0
// when the transfer failed before its data reached the device. A zero-length packet that
// fails or times out after the data leg fails the write, but the data was delivered and is
// reported, so that a program does not send it twice. Returns the transfer's status.
// PASSIVE_LEVEL.
_Use_decl_annotations_ NTSTATUS RunBulkJob(PDEVICE_EXTENSION DeviceExtension,
                                           PTRANSFER_CONTEXT Context)
{
    PVOID copy = NULL;
    if (Context->Length != 0) {
        copy = ExAllocatePool(NonPagedPool, Context->Length);
        if (copy == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlCopyMemory(copy, Context->Buffer, Context->Length);
    }
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &Context->Urb;
    RtlZeroMemory(urb, sizeof(*urb));
    Context->DataLegDelivered = FALSE;
    urb->Hdr.Length = sizeof(*urb);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle =
        DeviceExtension->InterfaceInformation->Pipes[DeviceExtension->BulkOutPipeIndex].PipeHandle;
    urb->TransferFlags = 0;
    urb->TransferBufferLength = Context->Length;
    urb->TransferBuffer = copy;

    WaitOutRecovery(DeviceExtension, &DeviceExtension->ReadRecoveryActive,
                    KDX_READ_RECOVERY_DELAY, KDX_READ_RECOVERY_DELAYS);
    NTSTATUS status =
        SubmitBulkTransferWithTimeout(DeviceExtension->DeviceObject, (PURB)urb, Context->SlotIndex,
                                      DeviceExtension->OpenFileObject);
    Context->Irp->IoStatus.Information =
        NT_SUCCESS(status) || Context->DataLegDelivered ? urb->TransferBufferLength : 0;
    if (copy != NULL) {
        ExFreePool(copy);
    }
    return status;
}

// Counts a finished write's bytes and raises its transmit events: SERIAL_EV_TXEMPTY for every write,
// SERIAL_EV_ERR for a failed one, each only when the wait mask holds it, and hands them to a
// pending wait. Up to DISPATCH_LEVEL; takes DeviceLock and releases it before signalling.
_Use_decl_annotations_ VOID AccountWrittenData(PDEVICE_EXTENSION DeviceExtension, ULONG BytesWritten,
                                               NTSTATUS Status)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    ULONG waitMask = ReadULong(&DeviceExtension->WaitMask);
    BOOLEAN deliver = (waitMask & SERIAL_EV_TXEMPTY) != 0;
    if (!NT_SUCCESS(Status)) {
        if ((waitMask & SERIAL_EV_ERR) != 0) {
            DeviceExtension->EventHistory |= SERIAL_EV_ERR;
        }
        deliver = TRUE;
    }
    // A failed write counts the bytes that reached the device before its failure, if any.
    DeviceExtension->PerfStats.TransmittedCount += BytesWritten;
    if ((waitMask & SERIAL_EV_TXEMPTY) != 0) {
        DeviceExtension->EventHistory |= SERIAL_EV_TXEMPTY;
    }
    BOOLEAN signal = deliver && DeliverWaitEvents(DeviceExtension);
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
    if (signal) {
        SignalWaitEvents(DeviceExtension);
    }
}

// Marks every queued write cancelled (the worker completes each when it takes it) and, with
// AbortTransfer, cancels the transfer in flight. At up to DISPATCH_LEVEL without AbortTransfer;
// PASSIVE_LEVEL with it.
_Use_decl_annotations_ VOID CancelQueuedWrites(PDEVICE_OBJECT DeviceObject, BOOLEAN AbortTransfer)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
    MarkQueueCancelled(extension->WriteQueueHead);
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    if (AbortTransfer) {
        AbortBulkOutTransfer(DeviceObject);
    }
}

// Disarms the write timer and cancels the bulk-OUT transfer in flight without waiting for it
// to end; the write worker then finishes that write with STATUS_TIMEOUT. Holds
// TransferCancelGate while it cancels. PASSIVE_LEVEL.
_Use_decl_annotations_ VOID AbortBulkOutTransfer(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    StopWriteTimer(extension);
    KeWaitForSingleObject(&extension->TransferCancelGate, Executive, KernelMode, FALSE, NULL);
    CancelSlotTransfer(extension, extension->BulkOutPipeIndex, NULL, NULL);
    KeSetEvent(&extension->TransferCancelGate, 1, FALSE);
}
