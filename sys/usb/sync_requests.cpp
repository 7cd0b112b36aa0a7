// Synchronous requests to the USB bus driver: one URB sent and waited for, a pipe reset, the
// port status, a port reset, and the completion routine that hands a forwarded request back
// to the routine waiting for it.
//
// The request routines run at PASSIVE_LEVEL in their caller's thread and block until the bus
// driver below has completed the request. Every request is an internal device-control request
// to LowerDeviceObject, built with IoBuildDeviceIoControlRequest: the I/O manager frees the
// request when it completes, and fills the status block and sets the event of one that pended.
#include "../kdxlusb.h"

// Sends one internal device-control request with Argument1 and waits for it. The result is the
// final status: the status block's after a wait, otherwise what IofCallDriver returned, since
// the status block and the event are promised only for a request that pended. When the request
// cannot be built, nothing is sent and the result is STATUS_INSUFFICIENT_RESOURCES.
static NTSTATUS SendInternalRequest(PDEVICE_EXTENSION Extension, ULONG IoControlCode,
                                    PVOID Argument1)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Extension->LowerDeviceObject, NULL, 0,
                                             NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument1;
    NTSTATUS status = IofCallDriver(Extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

// Sends a URB that the caller built and owns and returns the request's final status; the
// URB's header keeps the USBD status. Holds an I/O reference for the whole exchange, so that a
// removal waiting for the I/O count waits for it.
_Use_decl_annotations_ NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    IncrementIoCount(DeviceObject);
    NTSTATUS status =
        SendInternalRequest(GetDeviceExtension(DeviceObject), IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
    DecrementIoCount(DeviceObject);
    return status;
}

// Resets a pipe and clears its stall. Right after a port reset of the same recovery episode
// nothing is sent: the port reset has reset every pipe already.
_Use_decl_annotations_ NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject,
                                          PUSBD_PIPE_INFORMATION PipeInformation)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
    BOOLEAN portReset = extension->PortResetActive != 0;
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    if (portReset) {
        return STATUS_SUCCESS;
    }
    const USHORT urbSize = sizeof(struct _URB_PIPE_REQUEST);
    PURB urb = (PURB)ExAllocatePool(NonPagedPool, urbSize);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, urbSize);
    urb->UrbHeader.Length = urbSize;
    urb->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb->UrbPipeRequest.PipeHandle = PipeInformation->PipeHandle;
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}

// Reads the port status word (USBD_PORT_ENABLED, USBD_PORT_CONNECTED); it stays 0 when the
// request fails. The caller holds an I/O reference.
_Use_decl_annotations_ NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus)
{
    *PortStatus = 0;
    return SendInternalRequest(GetDeviceExtension(DeviceObject), IOCTL_INTERNAL_USB_GET_PORT_STATUS,
                               PortStatus);
}

// Resets the USB port once per recovery episode: PortResetActive stays set after a successful
// reset until the next bulk transfer is prepared, and is cleared again when the reset fails so
// that a later recovery may try again. The caller holds an I/O reference.
_Use_decl_annotations_ NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    // The pump's and the write worker's recoveries may both get here: one of them resets.
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
    BOOLEAN alreadyReset = extension->PortResetActive != 0;
    extension->PortResetActive = 1;
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    if (alreadyReset) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = SendInternalRequest(extension, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
    if (status != STATUS_SUCCESS) {
        ForgetPortReset(extension);
    }
    return status;
}

// Ends the recovery episode's port reset, so that the next ResetPort resets the port again.
_Use_decl_annotations_ VOID ForgetPortReset(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DeviceLock);
    DeviceExtension->PortResetActive = 0;
    KeReleaseSpinLock(&DeviceExtension->DeviceLock, oldIrql);
}

// Resets the port while the device is connected; a port that reads disconnected, or whose
// status query fails, marks the device gone instead. Only the connected bit decides. A query
// that could not be built for lack of memory does neither.
_Use_decl_annotations_ VOID ResetPortIfConnected(PDEVICE_OBJECT DeviceObject)
{
    ULONG portStatus;
    NTSTATUS status = GetPortStatus(DeviceObject, &portStatus);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        return;  // no memory to ask: a shortage of memory is no unplug, and nothing is reset
    }
    if (!NT_SUCCESS(status) || (portStatus & USBD_PORT_CONNECTED) == 0) {
        WriteFlag(&GetDeviceExtension(DeviceObject)->DeviceGone, 1);
        return;
    }
    ResetPort(DeviceObject);
}

// Completion routine of a request forwarded down the stack by a routine that waits for it:
// sets the waiter's event (Context) and stops completion, so the waiter owns the request again.
_Use_decl_annotations_ NTSTATUS SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                      PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
