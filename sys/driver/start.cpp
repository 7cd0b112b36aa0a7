// Device start: the device descriptor, the whole configuration descriptor, the selection of
// the first configuration with every pipe's maximum transfer size, the bulk pipes of the
// first interface, the port number of the numbered product, and finally the serial defaults
// and the port name.
//
// Runs in the thread of the start request at PASSIVE_LEVEL; no other request reaches the
// device while Started is 0. It blocks in every request to the bus driver.
#include "../kdxlusb.h"

#define KDX_FIRST_CONFIGURATION_READ 521  // bytes asked for first; more when wTotalLength says so

static const USHORT DescriptorUrbSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);

// Fills a zeroed get-descriptor request for descriptor index 0 of the given type.
static VOID BuildDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length)
{
    RtlZeroMemory(Urb, DescriptorUrbSize);
    Urb->UrbHeader.Length = DescriptorUrbSize;
    Urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Urb->UrbControlDescriptorRequest.TransferBuffer = Buffer;
    Urb->UrbControlDescriptorRequest.TransferBufferLength = Length;
    Urb->UrbControlDescriptorRequest.DescriptorType = DescriptorType;
}

static VOID FreeAndClear(PVOID* Buffer)
{
    if (*Buffer != NULL) {
        ExFreePool(*Buffer);
        *Buffer = NULL;
    }
}

// A start after a stop reads everything again: what the previous start found goes first.
static VOID ForgetPreviousStart(PDEVICE_EXTENSION Extension)
{
    FreeAndClear((PVOID*)&Extension->DeviceDescriptor);
    FreeAndClear((PVOID*)&Extension->ConfigurationDescriptor);
    FreeAndClear((PVOID*)&Extension->InterfaceInformation);
    Extension->BulkInPipeCount = 0;
    Extension->BulkOutPipeCount = 0;
}

// Reads the 18-byte device descriptor into DeviceDescriptor and takes the product ID from it.
// AllocationFailed tells a start that could not even build the request, which ends at once,
// from one whose request failed.
static NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PBOOLEAN AllocationFailed)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    PURB urb = (PURB)ExAllocatePool(NonPagedPool, DescriptorUrbSize);
    PUSB_DEVICE_DESCRIPTOR descriptor =
        (PUSB_DEVICE_DESCRIPTOR)ExAllocatePool(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR));
    *AllocationFailed = urb == NULL || descriptor == NULL;
    if (*AllocationFailed) {
        FreeAndClear((PVOID*)&urb);
        FreeAndClear((PVOID*)&descriptor);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A device that returns fewer bytes leaves zeros, never stale pool, in the product ID.
    RtlZeroMemory(descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor,
                           sizeof(USB_DEVICE_DESCRIPTOR));
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        extension->ProductId = descriptor->idProduct;
        extension->DeviceDescriptor = descriptor;
    } else {
        ExFreePool(descriptor);
    }
    ExFreePool(urb);
    return status;
}

// Starts the device; the result becomes the status of the start request. Started is set
// only on success (from just before the port is named), so a device that failed to start
// refuses every request.
_Use_decl_annotations_ NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    ForgetPreviousStart(extension);

    BOOLEAN allocationFailed;
    NTSTATUS status = ReadDeviceDescriptor(DeviceObject, &allocationFailed);
    if (allocationFailed) {
        return status;  // nothing was asked of the device, and no port number is taken
    }
    if (NT_SUCCESS(status)) {
        status = ReadConfiguration(DeviceObject);
    }
    // A start after a stop keeps the port number of the first start: a stop gives no number
    // back, so taking another would leak the first and rename the port.
    if (extension->ProductId == KDX_PRODUCT_NUMBERED_PORT && !extension->PortNumberHeld) {
        extension->PortNumber = AllocatePortNumber(extension->InstanceNumber);
        extension->PortNumberHeld = 1;
    }
    extension->PortConfigured = 0;
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Both bulk pipes are needed, and each must have a transfer slot (pipe index 0 to 15).
    if (extension->BulkInPipeCount == 0 || extension->BulkOutPipeCount == 0 ||
        extension->BulkInPipeIndex >= KDX_TRANSFER_SLOT_COUNT ||
        extension->BulkOutPipeIndex >= KDX_TRANSFER_SLOT_COUNT) {
        return STATUS_UNSUCCESSFUL;
    }
    // From here the teardown undoes what naming made, even when it fails.
    extension->PortConfigured = 1;
    status = InitializePortSettings(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return STATUS_UNSUCCESSFUL;
    }
    WriteFlag(&extension->Started, 1);
    return status;
}

// Reads the whole configuration descriptor into ConfigurationDescriptor: first 521 bytes,
// then again with exactly wTotalLength bytes when the descriptor is longer, and selects it.
_Use_decl_annotations_ NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    PURB urb = (PURB)ExAllocatePool(NonPagedPool, DescriptorUrbSize);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG size = KDX_FIRST_CONFIGURATION_READ;
    for (;;) {
        extension->ConfigurationDescriptor =
            (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePool(NonPagedPool, size);
        if (extension->ConfigurationDescriptor == NULL) {
            ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        // Bytes the device does not send read as zeros, which end any walk of the descriptors.
        RtlZeroMemory(extension->ConfigurationDescriptor, size);
        BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                               extension->ConfigurationDescriptor, size);
        NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
        ULONG transferred = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (!NT_SUCCESS(status) || transferred < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            FreeAndClear((PVOID*)&extension->ConfigurationDescriptor);
            ExFreePool(urb);
            return STATUS_UNSUCCESSFUL;
        }
        ULONG totalLength = extension->ConfigurationDescriptor->wTotalLength;
        if (totalLength <= size) {
            break;
        }
        FreeAndClear((PVOID*)&extension->ConfigurationDescriptor);
        size = totalLength;
    }
    ExFreePool(urb);
    return SelectConfiguration(DeviceObject, extension->ConfigurationDescriptor);
}

// Records the bulk pipes of the first interface: for each direction the count, and the
// highest pipe index, which is the pipe used.
static VOID RecordBulkPipes(PDEVICE_EXTENSION Extension)
{
    PUSBD_INTERFACE_INFORMATION information = Extension->InterfaceInformation;
    for (ULONG i = 0; i < information->NumberOfPipes; i++) {
        PUSBD_PIPE_INFORMATION pipe = &information->Pipes[i];
        if (pipe->PipeType != UsbdPipeTypeBulk) {
            continue;
        }
        if (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress)) {
            Extension->BulkInPipeIndex = i;
            Extension->BulkInPipeCount++;
        } else {
            Extension->BulkOutPipeIndex = i;
            Extension->BulkOutPipeCount++;
        }
    }
}

// Keeps a copy of the first interface's information after selection and records its pipes.
static NTSTATUS KeepFirstInterface(PDEVICE_EXTENSION Extension,
                                   PUSBD_INTERFACE_INFORMATION Information)
{
    Extension->BulkOutPipeCount = 0;
    Extension->BulkInPipeCount = 0;
    Extension->InterfaceInformation = NULL;
    if (Information == NULL) {
        return STATUS_SUCCESS;  // no interface: the start fails at its pipe test
    }
    PUSBD_INTERFACE_INFORMATION copy =
        (PUSBD_INTERFACE_INFORMATION)ExAllocatePool(NonPagedPool, Information->Length);
    if (copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, Information, Information->Length);
    Extension->InterfaceInformation = copy;
    RecordBulkPipes(Extension);
    return STATUS_SUCCESS;
}

// Selects the configuration with every interface it holds, up to bNumInterfaces of them, each
// pipe with the device's maximum transfer size. A request that succeeds with a
// failing USBD status records no pipes; the start then fails at its pipe test.
_Use_decl_annotations_ NTSTATUS SelectConfiguration(
    PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    ULONG interfaceCount = ConfigurationDescriptor->bNumInterfaces;
    SIZE_T listSize = (interfaceCount + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY list =
        (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePool(PagedPool, listSize);
    if (list == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(list, listSize);

    // One entry per interface, in descriptor order, with its default alternate setting (an
    // interface is selected once, whatever alternate settings follow it). The list has room
    // for bNumInterfaces entries and the empty one that ends it.
    PVOID position = ConfigurationDescriptor;
    for (ULONG count = 0; count < interfaceCount; count++) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            ConfigurationDescriptor, position, -1, 0, -1, -1, -1);
        if (descriptor == NULL) {
            break;
        }
        list[count].InterfaceDescriptor = descriptor;
        position = (PUCHAR)descriptor + sizeof(USB_INTERFACE_DESCRIPTOR);
    }

    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb == NULL) {
        ExFreePool(list);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < interfaceCount && list[i].Interface != NULL; i++) {
        PUSBD_INTERFACE_INFORMATION information = list[i].Interface;
        for (ULONG pipe = 0; pipe < information->NumberOfPipes; pipe++) {
            information->Pipes[pipe].MaximumTransferSize = extension->MaximumTransferSize;
            information->Pipes[pipe].PipeFlags = 0;
        }
    }

    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
        status = KeepFirstInterface(extension, list[0].Interface);
    }
    ExFreePool(urb);
    ExFreePool(list);
    return status;
}
