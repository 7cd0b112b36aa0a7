// Device creation: the add-device routine, the named device object with its extension, and
// the capabilities query to the bus driver.
//
// AddDevice runs in the Plug and Play manager's thread at PASSIVE_LEVEL, before any request
// can reach the device (DO_DEVICE_INITIALIZING is cleared last). Nothing is sent to the USB
// device here; that happens at start.
#include "../kdxlusb.h"

// The device interface class registered for every port.
static const GUID PortInterfaceClassGuid = {
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// Undoes CreateDeviceObject for a device object that is not attached to a stack.
static VOID DeleteUnattachedDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    ReleaseInstanceNumber(extension->InstanceNumber);
    ExFreePool(extension->DeviceName.Buffer);
    extension->DeviceName.Buffer = NULL;
    IoDeleteDevice(DeviceObject);
}

// Creates the device object "\Device\KDX_LUSB<n>" with a zeroed extension, where n is a new
// instance number, and keeps a copy of the name in DeviceName. On failure the number is given
// back and the out value is null.
_Use_decl_annotations_ NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject,
                                                   PDEVICE_OBJECT* DeviceObject)
{
    *DeviceObject = NULL;
    PWSTR nameBuffer = (PWSTR)ExAllocatePool(NonPagedPool, KDX_NAME_BUFFER_SIZE);
    if (nameBuffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG number = AllocateInstanceNumber();

    RtlZeroMemory(nameBuffer, KDX_NAME_BUFFER_SIZE);
    UNICODE_STRING name = {0, KDX_NAME_BUFFER_SIZE - sizeof(WCHAR), nameBuffer};
    WCHAR numberBuffer[20];
    UNICODE_STRING numberText = {0, sizeof(numberBuffer), numberBuffer};
    RtlAppendUnicodeToString(&name, KDX_TEXT("\\Device\\KDX_LUSB"));
    RtlIntegerToUnicodeString(number, 10, &numberText);
    RtlAppendUnicodeStringToString(&name, &numberText);

    PDEVICE_OBJECT deviceObject;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &name, FILE_DEVICE_SERIAL_PORT,
                       FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        ReleaseInstanceNumber(number);
        ExFreePool(nameBuffer);
        return status;
    }

    PDEVICE_EXTENSION extension = GetDeviceExtension(deviceObject);
    RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
    USHORT nameSize = (USHORT)(name.Length + sizeof(WCHAR));
    extension->DeviceName.Buffer = (PWSTR)ExAllocatePool(NonPagedPool, nameSize);
    if (extension->DeviceName.Buffer == NULL) {
        ReleaseInstanceNumber(number);
        ExFreePool(nameBuffer);
        IoDeleteDevice(deviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    extension->InstanceNumber = number;
    extension->PortNumber = number;
    extension->DeviceName.MaximumLength = nameSize;
    RtlZeroMemory(extension->DeviceName.Buffer, nameSize);
    RtlCopyMemory(extension->DeviceName.Buffer, name.Buffer, name.Length);
    extension->DeviceName.Length = name.Length;
    extension->HandleOpen = 0;
    extension->PortOpen = 0;
    extension->SymbolicLinkCreated = 0;
    extension->DeviceObject = deviceObject;

    ExFreePool(nameBuffer);
    *DeviceObject = deviceObject;
    return STATUS_SUCCESS;
}

static VOID InitializeEventsAndLocks(PDEVICE_EXTENSION Extension)
{
    KeInitializeEvent(&Extension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Extension->NoPendingIoEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&Extension->TransferCancelGate, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&Extension->IoCountLock);
    KeInitializeEvent(&Extension->ReceivePumpIdleEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Extension->ReceivePumpStartedEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Extension->ReceiveSpaceEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Extension->ReceiveDeliveredEvent, SynchronizationEvent, FALSE);
    // The data-path timers are prepared once: a timer's DPC may still be queued when the
    // next read or write arms it again, and a queued DPC must not be initialised.
    KeInitializeTimer(&Extension->ReadTimer);
    KeInitializeDpc(&Extension->ReadTimerDpc, ReadTimeoutDpc, Extension);
    KeInitializeTimer(&Extension->WriteTimer);
    KeInitializeDpc(&Extension->WriteTimerDpc, WriteTimeoutDpc, Extension);
}

static VOID InitializeWorkItems(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT DeviceObject)
{
    Extension->ReceivePumpWorkItem = &Extension->ReceivePumpWorkQueueItem;
    ExInitializeWorkItem(Extension->ReceivePumpWorkItem, ReceivePumpWorker, DeviceObject);
    Extension->WriteWorkItem = &Extension->WriteWorkQueueItem;
    ExInitializeWorkItem(Extension->WriteWorkItem, WriteWorker, DeviceObject);
    Extension->ReadWorkItem = &Extension->ReadWorkQueueItem;
    ExInitializeWorkItem(Extension->ReadWorkItem, ReadWorker, DeviceObject);
    Extension->WaitMaskWorkItem = &Extension->WaitMaskWorkQueueItem;
    ExInitializeWorkItem(Extension->WaitMaskWorkItem, WaitMaskCompletionWorker, DeviceObject);
}

// Creates the device object, attaches it above the physical device object, registers the
// port's device interface and prepares the extension; takes the base I/O reference that keeps
// an idle device's count at 1. A failure leaves nothing behind: the device object is detached
// before it is deleted, and its instance number and name are given back.
_Use_decl_annotations_ NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject,
                                          PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT deviceObject;
    NTSTATUS status = CreateDeviceObject(DriverObject, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_EXTENSION extension = GetDeviceExtension(deviceObject);
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    if (extension->LowerDeviceObject == NULL) {
        // The physical device object is already going away.
        DeleteUnattachedDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &PortInterfaceClassGuid, NULL,
                                       &extension->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(extension->LowerDeviceObject);
        DeleteUnattachedDevice(deviceObject);
        return status;
    }

    extension->MaximumTransferSize = KDX_MAXIMUM_TRANSFER_SIZE;
    InitializeEventsAndLocks(extension);
    deviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    KeInitializeSpinLock(&extension->DeviceLock);
    InitializeWorkItems(extension, deviceObject);

    QueryCapabilities(PhysicalDeviceObject, &extension->DeviceCapabilities);

    POWER_STATE powerState;
    powerState.DeviceState = PowerDeviceD0;
    PoSetPowerState(deviceObject, DevicePowerState, powerState);

    IncrementIoCount(deviceObject);
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

// Asks the physical device object (directly, not through the attached stack) for the
// device's capabilities and waits for the answer. The record is prepared the usual way:
// Size and Version set, Address and UINumber unknown, and the request carries
// STATUS_NOT_SUPPORTED until a driver answers it.
_Use_decl_annotations_ NTSTATUS QueryCapabilities(PDEVICE_OBJECT PhysicalDeviceObject,
                                                  PDEVICE_CAPABILITIES Capabilities)
{
    PIRP irp = IoAllocateIrp(PhysicalDeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->Address = MAXULONG;
    Capabilities->UINumber = MAXULONG;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = Capabilities;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    IofCallDriver(PhysicalDeviceObject, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);

    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}
