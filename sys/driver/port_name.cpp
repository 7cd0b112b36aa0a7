// Port naming: the port name ("VLT<n>" for the numbered product, "KD" for any other), its
// PortName value in the device's hardware key, the "\DosDevices\" link to the device object,
// and the device interface, enabled while the port is named.
//
// A device that accepts line settings, the mode for standard serial programs, is also listed
// where those programs look for serial ports: HARDWARE\DEVICEMAP\SERIALCOMM, the device
// object's name as value name and the port name as REG_SZ data, while the port is named.
//
// Both routines run at PASSIVE_LEVEL in the thread of a start, stop or removal request, never
// for one device at the same time; they take no lock. DeviceName and InterfaceName stay with
// the device until removal, so a start after a stop names the port again with them.
#include "../kdxlusb.h"

static const WCHAR PortNameValue[] = KDX_TEXT("PortName");
static const SIZE_T PortNameValueBufferSize = 20;

// Builds the port name into an empty counted string with room to spare.
static VOID BuildPortName(PDEVICE_EXTENSION Extension, PUNICODE_STRING PortName)
{
    if (Extension->ProductId == KDX_PRODUCT_NUMBERED_PORT) {
        WCHAR numberBuffer[24];
        UNICODE_STRING numberText = {0, sizeof(numberBuffer), numberBuffer};
        RtlIntegerToUnicodeString(Extension->PortNumber, 10, &numberText);
        RtlAppendUnicodeToString(PortName, KDX_TEXT("VLT"));
        RtlAppendUnicodeStringToString(PortName, &numberText);
    } else {
        RtlAppendUnicodeToString(PortName, KDX_TEXT("KD"));
    }
}

// Writes PortName (REG_SZ, with its terminating zero) into the open hardware key. When the
// value name cannot be allocated the value is not written and naming goes on.
static VOID WritePortNameValue(HANDLE Key, PUNICODE_STRING PortName)
{
    PWSTR valueBuffer = (PWSTR)ExAllocatePool(NonPagedPool, PortNameValueBufferSize);
    if (valueBuffer == NULL) {
        return;
    }
    RtlZeroMemory(valueBuffer, PortNameValueBufferSize);
    UNICODE_STRING valueName = {0, (USHORT)PortNameValueBufferSize, valueBuffer};
    RtlAppendUnicodeToString(&valueName, PortNameValue);
    ZwSetValueKey(Key, &valueName, 0, REG_SZ, PortName->Buffer, PortName->Length + sizeof(WCHAR));
    ExFreePool(valueBuffer);
}

static const WCHAR SerialCommKey[] = KDX_TEXT("SERIALCOMM");

// Lists the named port under SERIALCOMM when the device accepts line settings. A value that
// cannot be written leaves the port unlisted; naming goes on. DeviceName ends with a zero.
static VOID ListSerialPort(PDEVICE_EXTENSION Extension, PUNICODE_STRING PortName)
{
    if (ReadFlag(&Extension->AcceptLineSettings) == 0 || Extension->DeviceName.Buffer == NULL) {
        return;
    }
    NTSTATUS status =
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Extension->DeviceName.Buffer,
                              REG_SZ, PortName->Buffer, PortName->Length + sizeof(WCHAR));
    Extension->SerialCommListed = NT_SUCCESS(status) ? 1 : 0;
}

// Removes the port's SERIALCOMM value, if it was written.
static VOID UnlistSerialPort(PDEVICE_EXTENSION Extension)
{
    if (Extension->SerialCommListed) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Extension->DeviceName.Buffer);
        Extension->SerialCommListed = 0;
    }
}

// Copies the link name into SymbolicLinkName's own buffer and creates the link to the device
// object. On failure no link exists and SymbolicLinkName is empty.
static NTSTATUS CreateLink(PDEVICE_EXTENSION Extension, PUNICODE_STRING LinkName)
{
    USHORT size = (USHORT)(LinkName->Length + sizeof(WCHAR));
    Extension->SymbolicLinkName.Buffer = (PWSTR)ExAllocatePool(NonPagedPool, size);
    if (Extension->SymbolicLinkName.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Extension->SymbolicLinkName.MaximumLength = size;
    RtlZeroMemory(Extension->SymbolicLinkName.Buffer, size);
    RtlCopyMemory(Extension->SymbolicLinkName.Buffer, LinkName->Buffer, LinkName->Length);
    Extension->SymbolicLinkName.Length = LinkName->Length;

    NTSTATUS status = IoCreateSymbolicLink(&Extension->SymbolicLinkName, &Extension->DeviceName);
    if (!NT_SUCCESS(status)) {
        ExFreePool(Extension->SymbolicLinkName.Buffer);
        Extension->SymbolicLinkName.Buffer = NULL;
        Extension->SymbolicLinkName.Length = Extension->SymbolicLinkName.MaximumLength = 0;
    }
    return status;
}

// Deletes the port's link and frees its name.
static VOID DeleteLink(PDEVICE_EXTENSION Extension)
{
    if (Extension->SymbolicLinkCreated) {
        IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
        Extension->SymbolicLinkCreated = 0;
        Extension->DeviceNameOwned = 0;
    }
    if (Extension->SymbolicLinkName.Buffer != NULL) {
        ExFreePool(Extension->SymbolicLinkName.Buffer);
        Extension->SymbolicLinkName.Buffer = NULL;
        Extension->SymbolicLinkName.Length = Extension->SymbolicLinkName.MaximumLength = 0;
    }
}

// Names the port: PortName value, "\DosDevices\<port name>" link, interface enabled. A name
// that another device holds already (as "KD" for a second device of another product) fails
// with the link's status; the PortName value stays written then.
_Use_decl_annotations_ NTSTATUS CreatePortName(PDEVICE_EXTENSION DeviceExtension)
{
    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(DeviceExtension->PhysicalDeviceObject,
                                              PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PWSTR linkBuffer = (PWSTR)ExAllocatePool(NonPagedPool, KDX_NAME_BUFFER_SIZE);
    PWSTR portBuffer = (PWSTR)ExAllocatePool(PagedPool, KDX_NAME_BUFFER_SIZE);
    if (linkBuffer == NULL || portBuffer == NULL) {
        ZwClose(key);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto FreeWorkBuffers;
    }
    RtlZeroMemory(linkBuffer, KDX_NAME_BUFFER_SIZE);
    RtlZeroMemory(portBuffer, KDX_NAME_BUFFER_SIZE);

    {
        UNICODE_STRING portName = {0, KDX_NAME_BUFFER_SIZE - sizeof(WCHAR), portBuffer};
        BuildPortName(DeviceExtension, &portName);
        WritePortNameValue(key, &portName);
        ZwClose(key);

        UNICODE_STRING linkName = {0, KDX_NAME_BUFFER_SIZE - sizeof(WCHAR), linkBuffer};
        RtlAppendUnicodeToString(&linkName, KDX_TEXT("\\"));
        RtlAppendUnicodeToString(&linkName, KDX_TEXT("DosDevices"));
        RtlAppendUnicodeToString(&linkName, KDX_TEXT("\\"));
        RtlAppendUnicodeStringToString(&linkName, &portName);
        status = CreateLink(DeviceExtension, &linkName);
    }
    if (!NT_SUCCESS(status)) {
        goto FreeWorkBuffers;
    }
    DeviceExtension->SymbolicLinkCreated = 1;
    DeviceExtension->DeviceNameOwned = 1;

    status = IoSetDeviceInterfaceState(&DeviceExtension->InterfaceName, TRUE);
    if (!NT_SUCCESS(status)) {
        DeleteLink(DeviceExtension);
    } else {
        UNICODE_STRING portName;
        RtlInitUnicodeString(&portName, portBuffer);
        ListSerialPort(DeviceExtension, &portName);
        status = STATUS_SUCCESS;
    }

FreeWorkBuffers:
    if (linkBuffer != NULL) {
        ExFreePool(linkBuffer);
    }
    if (portBuffer != NULL) {
        ExFreePool(portBuffer);
    }
    return status;
}

// Undoes CreatePortName: removes the SERIALCOMM value, disables the interface and deletes the
// link, if the link exists. Safe to call when nothing or only part was created, and again
// after that.
_Use_decl_annotations_ VOID RemovePortName(PDEVICE_EXTENSION DeviceExtension)
{
    UnlistSerialPort(DeviceExtension);
    if (DeviceExtension->SymbolicLinkName.Buffer == NULL || !DeviceExtension->SymbolicLinkCreated) {
        return;
    }
    if (DeviceExtension->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&DeviceExtension->InterfaceName, FALSE);
    }
    DeleteLink(DeviceExtension);
}
