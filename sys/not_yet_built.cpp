// Routines whose behaviour comes with later work. Each dispatch routine refuses its request as
// an invalid device request, as the I/O manager's default routine would, until its own file
// replaces it here.
#include "kdxlusb.h"

static NTSTATUS RefuseRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

_Use_decl_annotations_ NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchFlushBuffers(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

// Work-item routines of the data paths. AddDevice prepares their work items, but nothing
// queues them until the data paths are built.
_Use_decl_annotations_ VOID ReadWorker(PVOID Parameter) { UNREFERENCED_PARAMETER(Parameter); }
_Use_decl_annotations_ VOID WriteWorker(PVOID Parameter) { UNREFERENCED_PARAMETER(Parameter); }
_Use_decl_annotations_ VOID ReceivePumpWorker(PVOID Parameter)
{
    UNREFERENCED_PARAMETER(Parameter);
}
_Use_decl_annotations_ VOID WaitMaskCompletionWorker(PVOID Parameter)
{
    UNREFERENCED_PARAMETER(Parameter);
}
