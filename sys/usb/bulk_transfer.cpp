// Bulk transfer engine: one bulk URB sent in an IRP of the driver's own and waited for, the
// transfer slots through which other paths cancel a transfer in flight, the write timeout with
// its DPC, and the zero-length packet after a write of whole packets.
//
// The submitters run at PASSIVE_LEVEL in work items (the receive pump, the write worker); the
// completion routines and WriteTimeoutDpc run at up to DISPATCH_LEVEL.
//
// Lifetime of a transfer record and its IRP. The submitter allocates both and is the only one
// that frees them. A canceller (AbortBulkInTransfer, AbortBulkOutTransfer, the close and
// cleanup quiesce, the teardown, WriteTimeoutDpc) claims a transfer under DeviceLock: only
// while the slot is active, and only a transfer nobody claimed before. The claim initialises
// CancelDoneEvent and sets CancelRequested; the canceller then calls IoCancelIrp, clears the
// slot entry if it still names the record, and sets CancelDoneEvent, after which it never
// touches the record again. The submitter marks the slot idle under DeviceLock and reads
// CancelRequested in the same hold: if the transfer was claimed, it waits for CancelDoneEvent
// before it frees anything. So either the canceller sees the slot idle and does nothing, or
// the submitter waits until the canceller is done.
#include "../kdxlusb.h"

#define KDX_WRITE_TIMEOUT_DEFAULT 6000  // ms, when neither write timeout term is in force
#define KDX_WRITE_TIMEOUT_MINIMUM 100   // ms
#define KDX_WRITE_TIMEOUT_MAXIMUM 6000  // ms
#define KDX_WRITE_TIMEOUT_RETRY 10      // ms before WriteTimeoutDpc tries a busy gate again
#define KDX_SLOT_POLL_INTERVAL 100      // ms between two samples of a transfer slot
#define KDX_MILLISECOND (-10000LL)      // one millisecond as a relative kernel time

// Puts the bulk URB into the IRP's next stack location, the bus driver's.
static VOID SetUrbRequest(PIRP Irp, PURB Urb)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
}

// Allocates the transfer record and the IRP, whose top stack location is the driver's own (the
// completion routine receives the device object from there), and registers the transfer in
// its slot. Takes the I/O reference that FinishTransfer drops. On failure nothing is left
// behind and no slot is touched.
static NTSTATUS PrepareTransfer(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG SlotIndex,
                                PFILE_OBJECT FileObject, PTRANSFER_SLOT* Record)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    *Record = NULL;
    if (SlotIndex >= KDX_TRANSFER_SLOT_COUNT) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PTRANSFER_SLOT record = (PTRANSFER_SLOT)ExAllocatePool(NonPagedPool, sizeof(TRANSFER_SLOT));
    if (record == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(record, sizeof(TRANSFER_SLOT));
    IncrementIoCount(DeviceObject);
    PIRP irp = IoAllocateIrp((CCHAR)(extension->LowerDeviceObject->StackSize + 1), FALSE);
    if (irp == NULL) {
        ExFreePool(record);
        DecrementIoCount(DeviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
    own->DeviceObject = DeviceObject;
    own->FileObject = FileObject;
    SetUrbRequest(irp, Urb);

    record->Irp = irp;
    WriteSlot(&extension->TransferSlots[SlotIndex], record);
    SetTransferActive(DeviceObject, SlotIndex, 1);
    *Record = record;
    return STATUS_SUCCESS;
}

// Ends a transfer whose IRP has come back: marks the slot idle (and, for a timed transfer,
// stops the write timer) in one DeviceLock hold, waits for a canceller that claimed the
// transfer to be done with it, clears the slot entry unless it already names another transfer,
// frees the IRP and the record, and drops the I/O reference.
static VOID FinishTransfer(PDEVICE_OBJECT DeviceObject, ULONG SlotIndex, PTRANSFER_SLOT Record,
                           BOOLEAN Timed)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
    if (Timed) {
        if (!KeReadStateTimer(&extension->WriteTimer)) {
            KeCancelTimer(&extension->WriteTimer);
        }
        extension->WriteTimerArmed = 0;
    }
    extension->TransferActive[SlotIndex] = 0;
    BOOLEAN claimed = Record->CancelRequested != 0;
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);

    if (claimed) {
        KeWaitForSingleObject(&Record->CancelDoneEvent, Executive, KernelMode, FALSE, NULL);
    }
    InterlockedCompareExchangePointer((PVOID volatile*)&extension->TransferSlots[SlotIndex], NULL,
                                      Record);
    IoFreeIrp(Record->Irp);
    ExFreePool(Record);
    DecrementIoCount(DeviceObject);
}

// Sends a bulk URB on a pipe and waits, without a time limit, until the bus driver has
// completed it; returns the IRP's final status. The receive pump's read. PASSIVE_LEVEL.
_Use_decl_annotations_ NTSTATUS SubmitBulkTransfer(PDEVICE_OBJECT DeviceObject, PURB Urb,
                                                   ULONG SlotIndex, PFILE_OBJECT FileObject)
{
    PTRANSFER_SLOT record;
    NTSTATUS status = PrepareTransfer(DeviceObject, Urb, SlotIndex, FileObject, &record);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoSetCompletionRoutine(record->Irp, TransferCompletion, &event, TRUE, TRUE, TRUE);
    if (IofCallDriver(GetDeviceExtension(DeviceObject)->LowerDeviceObject, record->Irp) ==
        STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    status = record->Irp->IoStatus.Status;
    FinishTransfer(DeviceObject, SlotIndex, record, FALSE);
    return status;
}

// Completion of a bulk transfer: wakes the submitter (Context is its event) and stops
// completion, so that the submitter owns the IRP again and frees it.
_Use_decl_annotations_ NTSTATUS TransferCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                   PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The write total timeout in milliseconds, in wrapping 32-bit arithmetic: the multiplier per
// byte of the write in progress plus the constant, a term of 0 or MAXULONG counting as absent,
// and 6000 when both are absent. DeviceLock is held.
static ULONG WriteTotalTimeout(PDEVICE_EXTENSION Extension)
{
    ULONG multiplier = Extension->Timeouts.WriteTotalTimeoutMultiplier;
    ULONG constant = Extension->Timeouts.WriteTotalTimeoutConstant;
    PTRANSFER_CONTEXT transfer = Extension->WriteTransferContext;
    ULONG timeout = 0;
    if (multiplier != 0 && multiplier != MAXULONG) {
        timeout = multiplier * (transfer != NULL ? transfer->Length : 0);
    }
    if (constant != 0 && constant != MAXULONG) {
        timeout += constant;
    }
    return timeout != 0 ? timeout : KDX_WRITE_TIMEOUT_DEFAULT;
}

// Arms the write timer for the transfer that just went to the bus driver, clamped to 100..6000
// ms. A timer that is still armed is disarmed instead and this transfer runs untimed.
static VOID ArmWriteTimer(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    if (Extension->WriteTimerArmed == 0) {
        ULONG timeout = WriteTotalTimeout(Extension);
        if (timeout < KDX_WRITE_TIMEOUT_MINIMUM) {
            timeout = KDX_WRITE_TIMEOUT_MINIMUM;
        } else if (timeout > KDX_WRITE_TIMEOUT_MAXIMUM) {
            timeout = KDX_WRITE_TIMEOUT_MAXIMUM;
        }
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = KDX_MILLISECOND * timeout;
        Extension->WriteTimerArmed = 1;
        Extension->WriteTimerDueTime = KeQueryInterruptTime() - dueTime.QuadPart;
        KeSetTimer(&Extension->WriteTimer, dueTime, &Extension->WriteTimerDpc);
    } else {
        Extension->WriteTimerArmed = 0;
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
}

// Sends a bulk-OUT URB under the write total timeout and waits until the bus driver has
// completed it (with its zero-length packet, when one follows); returns the IRP's final
// status. A transfer that the timer ended returns STATUS_CANCELLED. The write worker's
// transfer, at PASSIVE_LEVEL. The timer is armed only when the bus driver keeps the IRP: the
// data leg pended, or it came back at once and its zero-length packet did not.
_Use_decl_annotations_ NTSTATUS SubmitBulkTransferWithTimeout(PDEVICE_OBJECT DeviceObject,
                                                              PURB Urb, ULONG SlotIndex,
                                                              PFILE_OBJECT FileObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    PTRANSFER_SLOT record;
    NTSTATUS status = PrepareTransfer(DeviceObject, Urb, SlotIndex, FileObject, &record);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoSetCompletionRoutine(record->Irp, WriteTransferCompletion, &event, TRUE, TRUE, TRUE);
    // The completion routine sets the event once, when the last leg is back; a data leg that
    // completed within the call may have sent its zero-length packet, which is still out.
    if (IofCallDriver(extension->LowerDeviceObject, record->Irp) == STATUS_PENDING ||
        KeReadStateEvent(&event) == 0) {
        ArmWriteTimer(extension);
    }
    // The timer ends this wait only by cancelling the IRP.
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = record->Irp->IoStatus.Status;
    FinishTransfer(DeviceObject, SlotIndex, record, TRUE);
    return status;
}

// True when a successfully sent data leg fills whole packets of the OUT pipe, so that a
// zero-length packet must end it. A pipe that reports a packet size of 0 never gets one, and
// neither does a transfer that is being cancelled.
static BOOLEAN NeedsZeroLengthPacket(PIRP Irp, struct _URB_BULK_OR_INTERRUPT_TRANSFER* Urb,
                                     PUSBD_PIPE_INFORMATION Pipe)
{
    return Irp->IoStatus.Status == STATUS_SUCCESS && !Irp->Cancel &&
           Urb->TransferBufferLength != 0 && Pipe->MaximumPacketSize != 0 &&
           Urb->TransferBufferLength % Pipe->MaximumPacketSize == 0;
}

// Turns the write's URB into a zero-length OUT transfer, remembering the data leg's length and
// USBD status, and sends the same IRP down again.
static VOID SendZeroLengthPacket(PDEVICE_EXTENSION Extension, PIRP Irp,
                                 struct _URB_BULK_OR_INTERRUPT_TRANSFER* Urb,
                                 PUSBD_PIPE_INFORMATION Pipe, PVOID Context)
{
    Extension->ZlpSavedLength = Urb->TransferBufferLength;
    Extension->ZlpSavedUsbdStatus = (ULONG)Urb->Hdr.Status;
    Extension->ZlpPending = 1;
    Urb->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    Urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Urb->PipeHandle = Pipe->PipeHandle;
    Urb->TransferFlags = 0;
    Urb->TransferBufferLength = 0;
    Urb->TransferBuffer = NULL;
    Urb->TransferBufferMDL = NULL;
    Urb->UrbLink = NULL;
    SetUrbRequest(Irp, (PURB)Urb);
    IoSetCompletionRoutine(Irp, WriteTransferCompletion, Context, TRUE, TRUE, TRUE);
    IofCallDriver(Extension->LowerDeviceObject, Irp);
}

// Completion of a write's transfer, at up to DISPATCH_LEVEL; Context is the submitter's event.
// A data leg of whole packets is followed by a zero-length packet in the same IRP; when that
// completes, the URB gets the data leg's length and USBD status back, while the IRP keeps the
// zero-length packet's status. Always stops completion: the submitter frees the IRP.
_Use_decl_annotations_ NTSTATUS WriteTransferCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                        PVOID Context)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    PTRANSFER_CONTEXT transfer = extension->WriteTransferContext;
    if (transfer != NULL) {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &transfer->Urb;
        PUSBD_PIPE_INFORMATION pipe =
            &extension->InterfaceInformation->Pipes[extension->BulkOutPipeIndex];
        if (NeedsZeroLengthPacket(Irp, urb, pipe)) {
            SendZeroLengthPacket(extension, Irp, urb, pipe, Context);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        if (extension->ZlpPending) {
            extension->ZlpPending = 0;
            urb->TransferBufferLength = extension->ZlpSavedLength;
            urb->Hdr.Status = (USBD_STATUS)extension->ZlpSavedUsbdStatus;
            transfer->DataLegDelivered = TRUE;
        }
    }
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Claims the transfer in flight in a slot for cancellation: only an active transfer that no
// one claimed before, and, when Sample is given, only if the slot still holds that record.
// While the slot is active the record is alive, since its submitter frees it only after
// marking the slot idle under the same lock. Returns the claimed record or NULL.
static PTRANSFER_SLOT ClaimSlotTransfer(PDEVICE_EXTENSION Extension, ULONG SlotIndex,
                                        PTRANSFER_SLOT Sample)
{
    if (SlotIndex >= KDX_TRANSFER_SLOT_COUNT || Extension->TransferActive[SlotIndex] == 0) {
        return NULL;
    }
    PTRANSFER_SLOT record = ReadSlot(&Extension->TransferSlots[SlotIndex]);
    if (record == NULL || (Sample != NULL && record != Sample) || record->Irp == NULL ||
        record->CancelRequested != 0) {
        return NULL;
    }
    KeInitializeEvent(&record->CancelDoneEvent, SynchronizationEvent, FALSE);
    record->CancelRequested = 1;
    return record;
}

// Cancels the transfer in flight in a slot through the cancel protocol (see the file header):
// claims it, cancels its IRP, clears the slot entry while it still names the record, and
// lets the submitter go on. Returns TRUE when a transfer was claimed; IrpCancelled (optional)
// receives IoCancelIrp's answer. The caller holds TransferCancelGate. Up to DISPATCH_LEVEL.
_Use_decl_annotations_ BOOLEAN CancelSlotTransfer(PDEVICE_EXTENSION DeviceExtension,
                                                  ULONG SlotIndex, PTRANSFER_SLOT Sample,
                                                  PBOOLEAN IrpCancelled)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    PTRANSFER_SLOT record = ClaimSlotTransfer(DeviceExtension, SlotIndex, Sample);
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
    if (IrpCancelled != NULL) {
        *IrpCancelled = FALSE;
    }
    if (record == NULL) {
        return FALSE;
    }
    BOOLEAN cancelled = IoCancelIrp(record->Irp);
    InterlockedCompareExchangePointer((PVOID volatile*)&DeviceExtension->TransferSlots[SlotIndex],
                                      NULL, record);
    KeSetEvent(&record->CancelDoneEvent, 1, FALSE);  // the record may be freed from here on
    if (IrpCancelled != NULL) {
        *IrpCancelled = cancelled;
    }
    return TRUE;
}

// Samples a slot every 100 ms until two successive samples agree or MaximumWaits waits have
// passed, and returns the last sample: the transfer a canceller should act on. PASSIVE_LEVEL.
_Use_decl_annotations_ PTRANSFER_SLOT WatchTransferSlot(PDEVICE_EXTENSION DeviceExtension,
                                                        ULONG SlotIndex, ULONG MaximumWaits)
{
    PTRANSFER_SLOT volatile* slot = &DeviceExtension->TransferSlots[SlotIndex];
    PTRANSFER_SLOT sample = ReadSlot(slot);
    for (ULONG waits = 0; waits < MaximumWaits; waits++) {
        WaitMilliseconds(KDX_SLOT_POLL_INTERVAL);
        PTRANSFER_SLOT next = ReadSlot(slot);
        if (next == sample) {
            break;
        }
        sample = next;
    }
    return sample;
}

// Disarms the write timer if it is armed. Up to DISPATCH_LEVEL; takes DeviceLock.
_Use_decl_annotations_ VOID StopWriteTimer(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    if (DeviceExtension->WriteTimerArmed == 1) {
        KeCancelTimer(&DeviceExtension->WriteTimer);
        DeviceExtension->WriteTimerArmed = 0;
    }
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
}

// Sets the write timer again, Milliseconds from now, while it is armed. DeviceLock is held.
static VOID RearmWriteTimer(PDEVICE_EXTENSION Extension, LONGLONG Milliseconds)
{
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = KDX_MILLISECOND * Milliseconds;
    KeSetTimer(&Extension->WriteTimer, dueTime, &Extension->WriteTimerDpc);
}

// Decides, under DeviceLock, what WriteTimeoutDpc does: nothing for a timer that was disarmed
// (the transfer ended or was aborted); set the timer again for what is left when the DPC
// belongs to an earlier arming and runs before this arming's due time; otherwise claim the OUT
// transfer and disarm. Returns the claimed record or NULL.
static PTRANSFER_SLOT ClaimTimedOutWrite(PDEVICE_EXTENSION Extension)
{
    PTRANSFER_SLOT record = NULL;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    if (Extension->WriteTimerArmed == 1) {
        ULONGLONG now = KeQueryInterruptTime();
        if (now < Extension->WriteTimerDueTime) {
            RearmWriteTimer(Extension, (LONGLONG)(Extension->WriteTimerDueTime - now) / 10000 + 1);
        } else if (Extension->WriteTransferContext != NULL) {
            record = ClaimSlotTransfer(Extension, Extension->WriteTransferContext->SlotIndex, NULL);
            if (record != NULL) {
                Extension->WriteTimerArmed = 0;
            }
        }
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return record;
}

// The write timer's DPC (DeferredContext is the device extension), at DISPATCH_LEVEL: cancels
// the write transfer that did not finish in time. The submitter completes nothing here: it
// gets the IRP back as cancelled, and it waits for CancelDoneEvent before it frees the record
// and the IRP, so both stay valid for IoCancelIrp.
//
// Like every canceller the DPC must hold TransferCancelGate, but it cannot wait for it at
// DISPATCH_LEVEL. It tries the gate with a zero timeout; when another canceller holds it, the
// DPC sets the timer again for 10 ms later and tries then. It releases the gate only when it
// took it, so cancellers stay mutually exclusive.
_Use_decl_annotations_ VOID WriteTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                            PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;

    LARGE_INTEGER noWait;
    noWait.QuadPart = 0;
    if (KeWaitForSingleObject(&extension->TransferCancelGate, Executive, KernelMode, FALSE,
                              &noWait) != STATUS_SUCCESS) {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
        if (extension->WriteTimerArmed == 1) {
            RearmWriteTimer(extension, KDX_WRITE_TIMEOUT_RETRY);
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return;
    }
    PTRANSFER_SLOT record = ClaimTimedOutWrite(extension);
    if (record != NULL) {
        IoCancelIrp(record->Irp);
        KeSetEvent(&record->CancelDoneEvent, 1, FALSE);  // the record may be freed from here on
    }
    KeSetEvent(&extension->TransferCancelGate, 1, FALSE);
}

// Marks a transfer slot as having (1) or not having (0) its IRP with the bus driver. A slot
// index of 16 or more is ignored. Up to DISPATCH_LEVEL; takes DeviceLock.
_Use_decl_annotations_ VOID SetTransferActive(PDEVICE_OBJECT DeviceObject, ULONG SlotIndex,
                                              UCHAR Active)
{
    if (SlotIndex >= KDX_TRANSFER_SLOT_COUNT) {
        return;
    }
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
    extension->TransferActive[SlotIndex] = Active;
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
}

// True while a slot's IRP is with the bus driver; FALSE for a slot index of 16 or more. Up to
// DISPATCH_LEVEL; takes DeviceLock.
_Use_decl_annotations_ BOOLEAN IsTransferActive(PDEVICE_OBJECT DeviceObject, ULONG SlotIndex)
{
    if (SlotIndex >= KDX_TRANSFER_SLOT_COUNT) {
        return FALSE;
    }
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
    BOOLEAN active = extension->TransferActive[SlotIndex] == 1;
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    return active;
}
