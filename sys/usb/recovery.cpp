// Recovery after a failed bulk transfer: from the port status and the URB's USBD status,
// decide whether to do nothing, reset the pipe, reset the port, or mark the device gone.
//
// Each routine runs in its direction's worker thread (the receive pump or the write worker) at
// PASSIVE_LEVEL; the two directions may recover at the same time. ReadRecoveryActive and
// WriteRecoveryActive are written under DeviceLock; USB requests and delays are made without
// it. A transfer that was cancelled has already been disposed of by its submitter, once its
// canceller was done with it (usb/bulk_transfer.cpp).
#include "../kdxlusb.h"

#define KDX_READ_RECOVERY_PAUSE 100  // ms after a read failure that the pump goes on from

typedef enum _READ_RECOVERY_OUTCOME {
    ReadRecoveryPause,         // the failure is handled: pause, then report it
    ReadRecoveryGone,          // the port is disconnected: the device is gone
    ReadRecoveryNotConnected,  // a port reset found the device gone
} READ_RECOVERY_OUTCOME;

// True for a failing transfer status other than a cancellation whose USBD status is a halted
// transport error: 0xC0000000 to 0xC00000FF, except the overrun, underrun, not-accessed and
// FIFO statuses, which no reset cures.
_Use_decl_annotations_ BOOLEAN IsUsbTransportError(NTSTATUS Status, USBD_STATUS UsbdStatus)
{
    if (NT_SUCCESS(Status) || Status == STATUS_CANCELLED) {
        return FALSE;
    }
    ULONG usbd = (ULONG)UsbdStatus;
    if ((usbd & 0xC0000000u) != 0xC0000000u || usbd > 0xC00000FFu) {
        return FALSE;
    }
    switch (usbd) {
    case (ULONG)USBD_STATUS_DATA_OVERRUN:
    case (ULONG)USBD_STATUS_DATA_UNDERRUN:
    case (ULONG)USBD_STATUS_BUFFER_OVERRUN:
    case (ULONG)USBD_STATUS_BUFFER_UNDERRUN:
    case (ULONG)USBD_STATUS_NOT_ACCESSED:
    case (ULONG)USBD_STATUS_FIFO:
        return FALSE;
    default:
        return TRUE;
    }
}

// The USBD statuses that a pipe reset cures: a data toggle mismatch, a stall, a halted endpoint.
static BOOLEAN SelectsPipeReset(USBD_STATUS UsbdStatus)
{
    return UsbdStatus == USBD_STATUS_DATA_TOGGLE_MISMATCH || UsbdStatus == USBD_STATUS_STALL_PID ||
           UsbdStatus == USBD_STATUS_ENDPOINT_HALTED;
}

static VOID SetRecoveryFlag(PDEVICE_EXTENSION Extension, PUCHAR Flag, UCHAR Value)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    *Flag = Value;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
}

// Reads the port status; FALSE when the query fails or the port reads disconnected.
static BOOLEAN PortIsConnected(PDEVICE_EXTENSION Extension, PULONG PortStatus)
{
    NTSTATUS status = GetPortStatus(Extension->DeviceObject, PortStatus);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        // No memory to ask: the port is taken as it was, connected and enabled, so that a
        // shortage of memory never marks the device gone.
        *PortStatus = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
        return TRUE;
    }
    return NT_SUCCESS(status) && (*PortStatus & USBD_PORT_CONNECTED) != 0;
}

// Reads the port status; a port that is connected but not enabled gets a port reset. FALSE
// when the query fails or the port reads disconnected, and nothing is reset then.
static BOOLEAN CheckPort(PDEVICE_EXTENSION Extension)
{
    ULONG portStatus;
    if (!PortIsConnected(Extension, &portStatus)) {
        return FALSE;
    }
    if ((portStatus & USBD_PORT_ENABLED) == 0) {
        ResetPortIfConnected(Extension->DeviceObject);
    }
    return TRUE;
}

// Resets the pipe of a transport error that a pipe reset cures. TRUE when the reset
// succeeded; *Connected then tells whether the port still reads connected afterwards.
static BOOLEAN ResetFailedPipe(PDEVICE_EXTENSION Extension, PUSBD_PIPE_INFORMATION Pipe,
                               USBD_STATUS UsbdStatus, PBOOLEAN Connected)
{
    if (!SelectsPipeReset(UsbdStatus) || ResetPipe(Extension->DeviceObject, Pipe) != STATUS_SUCCESS) {
        return FALSE;
    }
    ULONG portStatus;
    *Connected = PortIsConnected(Extension, &portStatus);
    return TRUE;
}

// Works out how a failed bulk-IN read is repaired, making the pipe or port reset it calls for.
static READ_RECOVERY_OUTCOME RepairFailedRead(PDEVICE_EXTENSION Extension,
                                              PTRANSFER_CONTEXT Transfer, NTSTATUS Status)
{
    if (!CheckPort(Extension)) {
        return ReadRecoveryGone;
    }
    USBD_STATUS usbdStatus = Transfer->Urb.Hdr.Status;
    if (!IsUsbTransportError(Status, usbdStatus)) {
        return ReadRecoveryPause;
    }
    BOOLEAN connected;
    PUSBD_PIPE_INFORMATION pipe = &Transfer->InterfaceInformation->Pipes[Transfer->PipeIndex];
    if (ResetFailedPipe(Extension, pipe, usbdStatus, &connected)) {
        return connected ? ReadRecoveryPause : ReadRecoveryGone;
    }
    if (ReadFlag(&Extension->DeviceGone)) {
        return ReadRecoveryNotConnected;
    }
    ResetPortIfConnected(Extension->DeviceObject);
    return ReadFlag(&Extension->DeviceGone) ? ReadRecoveryNotConnected : ReadRecoveryPause;
}

// Handles a failed receive-pump read (Status is its failure) and returns the status the pump
// acts on: a cancelled read ends the pump (STATUS_DEVICE_NOT_CONNECTED) while the pump is being
// stopped and is otherwise handed back; a disconnected device gives STATUS_DEVICE_NOT_CONNECTED;
// any other failure is repaired and handed back after a 100 ms pause.
_Use_decl_annotations_ NTSTATUS RecoverReadError(PDEVICE_EXTENSION DeviceExtension,
                                                 PTRANSFER_CONTEXT TransferContext, NTSTATUS Status)
{
    if (Status == STATUS_CANCELLED) {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
        BOOLEAN stopping = DeviceExtension->ReceivePumpStopRequested != 0;
        KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
        return stopping ? STATUS_DEVICE_NOT_CONNECTED : STATUS_CANCELLED;
    }

    SetRecoveryFlag(DeviceExtension, &DeviceExtension->ReadRecoveryActive, 1);
    READ_RECOVERY_OUTCOME outcome = RepairFailedRead(DeviceExtension, TransferContext, Status);
    if (outcome == ReadRecoveryGone) {
        WriteFlag(&DeviceExtension->DeviceGone, 1);
    }
    SetRecoveryFlag(DeviceExtension, &DeviceExtension->ReadRecoveryActive, 0);
    if (outcome != ReadRecoveryPause) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    WaitMilliseconds(KDX_READ_RECOVERY_PAUSE);
    return Status;
}

// Repairs what a failed or cancelled write left behind. A cancellation (a timeout or an abort)
// only gets the port checks.
static VOID RepairFailedWrite(PDEVICE_EXTENSION Extension, PTRANSFER_CONTEXT Transfer,
                              NTSTATUS Status)
{
    if (!CheckPort(Extension)) {
        WriteFlag(&Extension->DeviceGone, 1);
        return;
    }
    USBD_STATUS usbdStatus = Transfer->Urb.Hdr.Status;
    if (Status == STATUS_CANCELLED || !IsUsbTransportError(Status, usbdStatus)) {
        return;
    }
    BOOLEAN connected;
    if (ResetFailedPipe(Extension,
                        &Extension->InterfaceInformation->Pipes[Extension->BulkOutPipeIndex],
                        usbdStatus, &connected)) {
        if (!connected) {
            WriteFlag(&Extension->DeviceGone, 1);
        }
        return;
    }
    if (!ReadFlag(&Extension->DeviceGone)) {
        ResetPortIfConnected(Extension->DeviceObject);
    }
}

// Handles a failed write transfer (Status is its failure); the write keeps its own status. No
// pause on this side.
_Use_decl_annotations_ VOID RecoverWriteError(PDEVICE_EXTENSION DeviceExtension,
                                              PTRANSFER_CONTEXT TransferContext, NTSTATUS Status)
{
    SetRecoveryFlag(DeviceExtension, &DeviceExtension->WriteRecoveryActive, 1);
    RepairFailedWrite(DeviceExtension, TransferContext, Status);
    SetRecoveryFlag(DeviceExtension, &DeviceExtension->WriteRecoveryActive, 0);
}

// Before a new bulk transfer: waits while the other direction's recovery runs (RecoveryActive),
// at most MaximumDelays delays of DelayMilliseconds, then clears that flag and PortResetActive,
// so that a port reset of the finished episode is not repeated. PASSIVE_LEVEL.
_Use_decl_annotations_ VOID WaitOutRecovery(PDEVICE_EXTENSION DeviceExtension,
                                            PUCHAR RecoveryActive, ULONG DelayMilliseconds,
                                            ULONG MaximumDelays)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    for (ULONG delays = 0; *RecoveryActive == 1 && delays < MaximumDelays; delays++) {
        KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
        WaitMilliseconds(DelayMilliseconds);
        oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    }
    *RecoveryActive = 0;
    DeviceExtension->PortResetActive = 0;
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
}
