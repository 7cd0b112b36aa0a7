// Routines whose behaviour comes with later work. Each dispatch routine refuses its request as
// an invalid device request, as the I/O manager's default routine would, until its own file
// replaces it here.
#include "kdxlusb.h"

static NTSTATUS RefuseRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
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
