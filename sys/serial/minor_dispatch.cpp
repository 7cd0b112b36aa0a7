// The auxiliary dispatch routines: the internal serial requests that drivers stacked on the
// port send (saving and switching to basic settings, restoring them, wait-wake), and the
// file-style query-information, set-information and flush requests that the communication
// functions make of a port.
//
// None of them takes an I/O reference or looks at the device's state or the port's: each
// completes its request at once, at the caller's IRQL, so they answer even while the device is
// being removed or the port is closed. Only the internal settings requests change state, under
// DeviceLock.
#include "../kdxlusb.h"

// Saves the current settings into the caller's record, then switches to the basic settings:
// no timeouts and no FIFOs.
static NTSTATUS SaveAndApplyBasicSettings(PDEVICE_EXTENSION Extension, PIRP Irp,
                                          PULONG_PTR Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SERIAL_BASIC_SETTINGS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PSERIAL_BASIC_SETTINGS saved = (PSERIAL_BASIC_SETTINGS)Irp->AssociatedIrp.SystemBuffer;
    *Information = sizeof(SERIAL_BASIC_SETTINGS);
    // Saved and cleared in one hold, so that a concurrent set request is either saved whole
    // or kept whole.
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    saved->Timeouts = Extension->Timeouts;
    saved->HandFlow = Extension->HandFlow;
    saved->RxFifo = Extension->RxFifo;
    saved->TxFifo = Extension->TxFifo;
    RtlZeroMemory(&Extension->Timeouts, sizeof(SERIAL_TIMEOUTS));
    Extension->RxFifo = 0;
    Extension->TxFifo = 0;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return STATUS_SUCCESS;
}

// Takes the timeouts of a saved record back; its handflow and FIFO members are ignored and the
// FIFOs stay reported as 0.
static NTSTATUS RestoreSettings(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SERIAL_BASIC_SETTINGS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PSERIAL_BASIC_SETTINGS saved = (PSERIAL_BASIC_SETTINGS)Irp->AssociatedIrp.SystemBuffer;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->DeviceLock);
    Extension->Timeouts = saved->Timeouts;
    Extension->RxFifo = 0;
    Extension->TxFifo = 0;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return STATUS_SUCCESS;
}

// IRP_MJ_INTERNAL_DEVICE_CONTROL: the internal serial requests. Wait-wake is not supported; its
// cancel succeeds with nothing to cancel.
_Use_decl_annotations_ NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
        status = STATUS_NOT_SUPPORTED;
        break;
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
        status = STATUS_SUCCESS;
        break;
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
        status = SaveAndApplyBasicSettings(extension, Irp, &information);
        break;
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
        status = RestoreSettings(extension, Irp);
        break;
    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    return CompleteRequest(Irp, status, information);
}

// Zeroes a reply of Size bytes in the request's system buffer when the caller's buffer holds it.
static NTSTATUS ReplyZeroed(PIRP Irp, ULONG Size)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryFile.Length < Size) {
        return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlZeroMemory(Irp->AssociatedIrp.SystemBuffer, Size);
    return CompleteRequest(Irp, STATUS_SUCCESS, Size);
}

// IRP_MJ_QUERY_INFORMATION: a port is a file of no size at position 0. A buffer too short for
// the reply gets STATUS_BUFFER_TOO_SMALL with nothing written.
_Use_decl_annotations_ NTSTATUS DispatchQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation:
        return ReplyZeroed(Irp, sizeof(FILE_STANDARD_INFORMATION));
    case FilePositionInformation:
        return ReplyZeroed(Irp, sizeof(FILE_POSITION_INFORMATION));
    default:
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
}

// IRP_MJ_SET_INFORMATION: setting the end of file succeeds and changes nothing; nothing else
// can be set.
_Use_decl_annotations_ NTSTATUS DispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    FILE_INFORMATION_CLASS informationClass =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.SetFile.FileInformationClass;
    return CompleteRequest(
        Irp,
        informationClass == FileEndOfFileInformation ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER,
        0);
}

// IRP_MJ_FLUSH_BUFFERS: the driver buffers no written bytes (each write is sent before it
// completes), so there is nothing to flush.
_Use_decl_annotations_ NTSTATUS DispatchFlushBuffers(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
