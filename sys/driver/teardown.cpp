// Device teardown: what stop, surprise removal and removal share (stopping the data paths and
// draining the I/O count), the deconfiguration of the USB device at stop, the abort of the
// bulk transfers in flight, and the freeing of everything a removed device still holds.
//
// Everything here runs in the Plug and Play manager's thread at PASSIVE_LEVEL and blocks: in
// the waits of the data paths' shut-down, on TransferCancelGate and on the I/O count.
#include "../kdxlusb.h"

#define KDX_TEARDOWN_STOP_DELAY 100  // ms between stopping the pump and aborting the transfers
#define KDX_QUIET_POLL 10            // ms between looks at the device's deferred work
#define KDX_QUIET_POLLS 200          // looks before the device object is deleted regardless

// Cancels the bulk transfers in flight under TransferCancelGate: the IN transfer first, then
// waits until the receive pump has ended, disarms the write timer and cancels the OUT
// transfer. Returns how many transfers IoCancelIrp reported cancelled (0 to 2).
_Use_decl_annotations_ UCHAR AbortBulkTransfers(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    UCHAR count = 0;
    BOOLEAN cancelled = FALSE;
    CancelReadTimer(extension);
    KeWaitForSingleObject(&extension->TransferCancelGate, Executive, KernelMode, FALSE, NULL);
    if (IsTransferActive(DeviceObject, extension->BulkInPipeIndex) &&
        CancelSlotTransfer(extension, extension->BulkInPipeIndex, NULL, &cancelled) && cancelled) {
        count++;
    }
    // The pump ends once its read is back; one it sends after the cancel is cancelled too.
    WaitForReceivePumpIdle(extension);
    StopWriteTimer(extension);
    if (CancelSlotTransfer(extension, extension->BulkOutPipeIndex, NULL, &cancelled) && cancelled) {
        count++;
    }
    KeSetEvent(&extension->TransferCancelGate, 1, FALSE);
    return count;
}

// Stops every data path of the device: the queued writes and reads are marked cancelled, the
// receive pump is told to end, the transfers in flight are aborted, the pending wait-on-mask
// request is cancelled and the workers are given time to finish. A read worker that waits for
// data is woken so that it sees the port going down.
_Use_decl_annotations_ VOID TeardownDataPath(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    CancelQueuedWrites(DeviceObject, FALSE);
    CancelQueuedReads(DeviceObject, FALSE);
    StopReceivePump(extension);
    WaitMilliseconds(KDX_TEARDOWN_STOP_DELAY);
    AbortBulkTransfers(DeviceObject);
    CancelWaitOnMask(extension);
    WakeCurrentReadWorker(extension);
    WaitForWorkersIdle(extension);
}

// Drops the Plug and Play request's own reference and the base reference, waits until nothing
// else holds one, and takes Retake references again.
_Use_decl_annotations_ VOID DrainIoCount(PDEVICE_OBJECT DeviceObject, ULONG Retake)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    DecrementIoCount(DeviceObject);
    DecrementIoCount(DeviceObject);
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
    for (ULONG i = 0; i < Retake; i++) {
        IncrementIoCount(DeviceObject);
    }
}

// Puts the USB device back into the unconfigured state: a select-configuration request
// without a configuration. Clears StopPending in any case, Started on success.
_Use_decl_annotations_ NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PURB urb = (PURB)ExAllocatePool(NonPagedPool, sizeof(struct _URB_SELECT_CONFIGURATION));
    if (urb != NULL) {
        RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
        urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
        status = SubmitUrbSync(DeviceObject, urb);
        ExFreePool(urb);
    }
    if (NT_SUCCESS(status)) {
        WriteFlag(&extension->Started, 0);
    }
    WriteFlag(&extension->StopPending, 0);
    return status;
}

// Gives the port number of the numbered product back once its port name is gone, at surprise
// removal or removal, whichever comes first: a device plugged in meanwhile may take it (and
// the name with it) while a program still holds the old device. The instance number names the
// device object, which lives until the last handle is closed and the removal deletes it; it
// goes back only then (DeleteRemovedDevice).
_Use_decl_annotations_ VOID ReleasePortNumberOnce(PDEVICE_EXTENSION DeviceExtension)
{
    if (DeviceExtension->PortNumberReleased || !DeviceExtension->PortNumberHeld ||
        DeviceExtension->ProductId != KDX_PRODUCT_NUMBERED_PORT) {
        return;
    }
    DeviceExtension->PortNumberReleased = 1;
    ReleasePortNumber(DeviceExtension->PortNumber, DeviceExtension->InstanceNumber);
}

static VOID FreeAndClear(PVOID* Buffer)
{
    if (*Buffer != NULL) {
        ExFreePool(*Buffer);
        *Buffer = NULL;
    }
}

// Frees whatever the device still holds from add-device, start and open, each block once:
// the names, the start-up buffers and a landing buffer that no close gave back.
static VOID FreeDeviceBuffers(PDEVICE_EXTENSION Extension)
{
    FreeAndClear((PVOID*)&Extension->DeviceName.Buffer);
    Extension->DeviceName.Length = Extension->DeviceName.MaximumLength = 0;
    FreeAndClear((PVOID*)&Extension->DeviceDescriptor);
    FreeAndClear((PVOID*)&Extension->InterfaceInformation);
    FreeAndClear((PVOID*)&Extension->ConfigurationDescriptor);
    FreeAndClear((PVOID*)&Extension->SymbolicLinkName.Buffer);
    Extension->SymbolicLinkName.Length = Extension->SymbolicLinkName.MaximumLength = 0;
    if (Extension->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&Extension->InterfaceName);
        Extension->InterfaceName.Buffer = NULL;
    }
    ReleaseLandingBuffer(Extension);
}

// True while a work item of the device may still be queued or running.
static BOOLEAN DeferredWorkPending(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    BOOLEAN pending = Extension->ReadWorkerBusy != 0 || Extension->WriteWorkerBusy != 0 ||
                      Extension->ReceivePumpRunning != 0 || Extension->ReceivePumpItemQueued != 0 ||
                      Extension->WaitCompletionQueued != 0;
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return pending;
}

// Makes sure no timer, DPC or work item refers to the extension any more, before its buffers
// are freed and the device object goes: both timers are disarmed with their flags cleared (so
// that a DPC running now sets neither again), their DPCs taken off the queue, and a DPC that
// runs at this moment waited for (KeFlushQueuedDpcs); then the work items are waited for. The
// last delay lets a routine that has just cleared its flag return.
static VOID QuietDeferredWork(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    Extension->ReadTimerSet = 0;
    Extension->WriteTimerArmed = 0;
    KeCancelTimer(&Extension->ReadTimer);
    KeCancelTimer(&Extension->WriteTimer);
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    KeRemoveQueueDpc(&Extension->ReadTimerDpc);
    KeRemoveQueueDpc(&Extension->WriteTimerDpc);
    KeFlushQueuedDpcs();
    for (ULONG polls = 0; polls < KDX_QUIET_POLLS && DeferredWorkPending(Extension); polls++) {
        WaitMilliseconds(KDX_QUIET_POLL);
    }
    WaitMilliseconds(KDX_QUIET_POLL);
}

// The end of a removal: quiets the deferred work that may still touch the device's buffers,
// then frees them, detaches the device and deletes it with only the base reference left, and
// gives its numbers back: its instance number only now that its name is gone with it. The
// extension is gone afterwards.
_Use_decl_annotations_ VOID DeleteRemovedDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    QuietDeferredWork(extension);
    FreeDeviceBuffers(extension);
    ReleasePortNumberOnce(extension);
    ULONG instanceNumber = extension->InstanceNumber;
    IoDetachDevice(extension->LowerDeviceObject);
    DecrementIoCount(DeviceObject);
    IoDeleteDevice(DeviceObject);
    ReleaseInstanceNumber(instanceNumber);
}
