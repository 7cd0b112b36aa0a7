// Dispatch routines whose behaviour comes with later work. Each refuses its request as an
// invalid device request, as the I/O manager's default routine would, until its own file
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

_Use_decl_annotations_ NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject,
                                                              PIRP Irp)
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

_Use_decl_annotations_ NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

_Use_decl_annotations_ NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RefuseRequest(DeviceObject, Irp);
}

// Devices are not added yet: the add fails, so no device object is ever created.
_Use_decl_annotations_ NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject,
                                          PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(PhysicalDeviceObject);
    return STATUS_INVALID_DEVICE_REQUEST;
}
