// The simulated USB bus driver (see usb_bus.h). Its dispatch routines run as the bus
// driver's code, so the I/O manager's ownership checks hold for it as for any driver.
#include "usb_bus.h"

#include <usbioctl.h>

#include <cstdio>

using namespace host;

namespace host {

UsbDevice& DeviceFromObject(PDEVICE_OBJECT physicalDevice)
{
    return **static_cast<UsbDevice**>(physicalDevice->DeviceExtension);
}

namespace {

std::u16string HexWord(USHORT value)
{
    char text[8];
    snprintf(text, sizeof(text), "%04X", value);
    return Widen(text);
}

std::u16string DeviceId(const DeviceModel& model)
{
    return u"USB\\VID_" + HexWord(model.vendorId) + u"&PID_" + HexWord(model.productId);
}

// A string, or a list of strings each ending in a zero and the list in one more, in paged
// pool for the requester to free.
ULONG_PTR PoolStrings(const std::vector<std::u16string>& strings, bool multi)
{
    std::u16string joined;
    for (const std::u16string& text : strings) {
        joined += text;
        joined += u'\0';
    }
    if (multi) joined += u'\0';
    size_t bytes = joined.size() * sizeof(WCHAR);
    void* buffer = Kernel::Current().pool.Allocate(PagedPool, bytes, CallSite{"", 0, "usbhub"});
    if (buffer != nullptr) memcpy(buffer, joined.data(), bytes);
    return reinterpret_cast<ULONG_PTR>(buffer);
}

}  // namespace

bool UsbDevice::configured() const
{
    HostLockGuard guard(mutex_);
    return configured_;
}

DEVICE_POWER_STATE UsbDevice::powerState() const
{
    HostLockGuard guard(mutex_);
    return powerState_;
}

std::vector<UsbRequest> UsbDevice::Requests() const
{
    HostLockGuard guard(mutex_);
    return requests_;
}

void UsbDevice::ClearRequests()
{
    HostLockGuard guard(mutex_);
    requests_.clear();
}

void UsbDevice::Log(const UsbRequest& request)
{
    HostLockGuard guard(mutex_);
    requests_.push_back(request);
}

UsbDevice::Pipe* UsbDevice::FindPipe(USBD_PIPE_HANDLE handle)
{
    for (auto& pipe : pipes_) {
        if (pipe.get() == handle) return pipe.get();
    }
    return nullptr;
}

UsbBus::UsbBus()
{
    driver_.Type = 4;
    driver_.Size = sizeof(DRIVER_OBJECT);
    driver_.DriverExtension = &driverExtension_;
    driverExtension_.DriverObject = &driver_;
    driver_.DriverName.Buffer = driverName_.data();
    driver_.DriverName.Length = USHORT(driverName_.size() * sizeof(WCHAR));
    driver_.DriverName.MaximumLength = driver_.DriverName.Length;
    for (auto& routine : driver_.MajorFunction) routine = nullptr;
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    driver_.MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver_.MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver_.MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
}

UsbBus::~UsbBus() = default;

UsbDevice& UsbBus::Connect(const DeviceModel& model)
{
    auto device = std::make_unique<UsbDevice>();
    if (model.configurationDescriptorBytes) {
        device->model = model;
        device->model.interfaces = InterfacesOfConfiguration(*model.configurationDescriptorBytes);
        device->configurationDescriptor = *model.configurationDescriptorBytes;
    } else {
        device->model = model.WithEndpointNumbers();
        device->configurationDescriptor = ConfigurationDescriptorOf(model);
    }
    device->deviceDescriptor = model.deviceDescriptorBytes.value_or(DeviceDescriptorOf(model));
    HostLockGuard guard(mutex_);
    device->port = nextPort_++;
    std::u16string name = u"\\Device\\USBPDO-" + Widen(std::to_string(device->port - 1));
    PDEVICE_OBJECT pdo = nullptr;
    // NOLINTNEXTLINE(bugprone-sizeof-expression): the PDO's extension holds the device's pointer.
    NTSTATUS status = Kernel::Current().objects.CreateDevice(&driver_, sizeof(UsbDevice*), &name,
                                                             FILE_DEVICE_UNKNOWN,
                                                             FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status)) ReportViolation(Rule::NotEmulated, "The bus ran out of names.");
    *static_cast<UsbDevice**>(pdo->DeviceExtension) = device.get();
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    DeviceRecord* record = RecordOf(pdo);
    record->isPhysical = true;
    record->refusesAttach = model.refusesAttach;
    record->failRegistryOpen = model.registryKeyFails;
    for (const auto& value : model.hardwareKeyValues) {
        Kernel::Current().objects.WriteRegistryValue(pdo, value.name, value.type, value.data);
    }
    record->instancePath =
        DeviceId(model) + u"\\5&1C2B3A4D&0&" + Widen(std::to_string(device->port));
    device->physicalDevice = pdo;
    device->InitializeDataPaths(&driver_);
    devices_.push_back(std::move(device));
    return *devices_.back();
}

void UsbBus::Delete(UsbDevice& device)
{
    PDEVICE_OBJECT physicalDevice = device.physicalDevice;
    Kernel::Current().objects.RemoveInterfacesOf(physicalDevice);
    {
        DriverContext bus(&driver_);
        IoDeleteDevice(physicalDevice);
    }
    std::lock_guard<std::mutex> guard(mutex_);
    device.physicalDevice = nullptr;
}

UsbDevice* UsbBus::DeviceOf(PDEVICE_OBJECT physicalDevice)
{
    HostLockGuard guard(mutex_);
    for (auto& device : devices_) {
        if (device->physicalDevice == physicalDevice) return device.get();
    }
    return nullptr;
}

std::vector<PDEVICE_OBJECT> UsbBus::PresentDevices()
{
    HostLockGuard guard(mutex_);
    std::vector<PDEVICE_OBJECT> present;
    for (auto& device : devices_) {
        if (device->physicalDevice != nullptr) present.push_back(device->physicalDevice);
    }
    return present;
}

// Completes at once, or marks the request pending and completes it from a DPC.
NTSTATUS UsbBus::Finish(UsbDevice& device, PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    if (!device.model.asynchronous) {
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(irp);
    Kernel::Current().deferred.QueueSystemDpc(Kernel::Current().bus->driver(),
                                              [irp] { IofCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
}

// ---------------------------------------------------------------------------------------------
// Internal device control: URBs and port requests
// ---------------------------------------------------------------------------------------------
NTSTATUS UsbBus::DispatchInternalDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    UsbBus& bus = *Kernel::Current().bus;
    UsbDevice& device = DeviceFromObject(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            return bus.BulkTransfer(device, irp, urb->UrbBulkOrInterruptTransfer);
        }
        if (device.gone()) {  // a device that was pulled out answers nothing
            urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
            status = STATUS_DEVICE_NOT_CONNECTED;
            break;
        }
        status = bus.SubmitUrb(device, urb);
        break;
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* word = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        {
            HostLockGuard guard(device.mutex_);
            status = device.model.portStatusFails ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
            if (NT_SUCCESS(status)) {
                *word = (device.model.connected ? USBD_PORT_CONNECTED : 0) |
                        (device.model.enabled ? USBD_PORT_ENABLED : 0);
            }
        }
        UsbRequest request{UsbRequest::Kind::GetPortStatus};
        request.status = status;
        device.Log(request);
        break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
        // A port reset that succeeds enables the port again and resets the device, which
        // clears its halted endpoints.
        {
            HostLockGuard guard(device.mutex_);
            device.resets_.port++;
            status = !device.model.connected       ? STATUS_NO_SUCH_DEVICE
                     : device.model.resetPortFails ? STATUS_UNSUCCESSFUL
                                                   : STATUS_SUCCESS;
            if (NT_SUCCESS(status)) {
                device.model.enabled = true;
                for (auto& pipe : device.pipes_) pipe->stalled = false;
            }
        }
        UsbRequest request{UsbRequest::Kind::ResetPort};
        request.status = status;
        device.Log(request);
        break;
    }
    default:
        ReportViolation(Rule::NotEmulated,
                        "Internal device-control code " +
                            Hex(uint64_t(stack->Parameters.DeviceIoControl.IoControlCode)) +
                            " sent to the USB bus.");
    }
    irp->IoStatus.Information = 0;
    return Finish(device, irp, status);
}

NTSTATUS UsbBus::SubmitUrb(UsbDevice& device, PURB urb)
{
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(device, urb->UrbControlDescriptorRequest);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(device, urb->UrbSelectConfiguration);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return ResetPipe(device, urb->UrbPipeRequest);
    default:
        ReportViolation(
            Rule::NotEmulated,
            "URB function " + Hex(uint64_t(urb->UrbHeader.Function)) + " sent to the USB bus.");
    }
}

NTSTATUS UsbBus::GetDescriptor(UsbDevice& device, struct _URB_CONTROL_DESCRIPTOR_REQUEST& request)
{
    UsbRequest entry{UsbRequest::Kind::GetDescriptor};
    entry.descriptorType = request.DescriptorType;
    entry.requestedLength = request.TransferBufferLength;
    const std::vector<UCHAR>* source = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    if (request.TransferBuffer == nullptr) {
        status = STATUS_INVALID_PARAMETER;
        usbdStatus = USBD_STATUS_INVALID_PARAMETER;
    } else if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        source = &device.deviceDescriptor;
        status = device.model.deviceDescriptorStatus;
        if (!NT_SUCCESS(status)) usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
    } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
        source = &device.configurationDescriptor;
    } else {
        status = STATUS_UNSUCCESSFUL;  // the device stalls requests it does not know
        usbdStatus = USBD_STATUS_STALL_PID;
    }
    ULONG transferred = 0;
    if (NT_SUCCESS(status)) {
        transferred = ULONG(source->size());
        if (transferred > request.TransferBufferLength) transferred = request.TransferBufferLength;
        if (source == &device.configurationDescriptor &&
            device.model.configurationTransfersNothing) {
            transferred = 0;
        }
        if (transferred != 0) memcpy(request.TransferBuffer, source->data(), transferred);
    }
    request.TransferBufferLength = transferred;
    request.Hdr.Status = usbdStatus;
    entry.transferredLength = transferred;
    entry.status = status;
    entry.usbdStatus = usbdStatus;
    device.Log(entry);
    return status;
}

// Fills every interface information of the request: the interface handle and, for each pipe,
// the endpoint's data and a pipe handle. A null configuration deconfigures the device.
NTSTATUS UsbBus::SelectConfiguration(UsbDevice& device, struct _URB_SELECT_CONFIGURATION& request)
{
    if (request.ConfigurationDescriptor == nullptr) {
        {
            HostLockGuard guard(device.mutex_);
            device.configured_ = false;
            device.pipes_.clear();
        }
        request.Hdr.Status = USBD_STATUS_SUCCESS;
        device.Log(UsbRequest{UsbRequest::Kind::Deconfigure});
        return STATUS_SUCCESS;
    }
    UsbRequest entry{UsbRequest::Kind::SelectConfiguration};
    NTSTATUS status = device.model.selectConfigurationStatus;
    USBD_STATUS usbdStatus = device.model.selectConfigurationUsbdStatus;
    auto* start = reinterpret_cast<PUCHAR>(&request);
    PUCHAR end = start + request.Hdr.Length;
    auto* information = &request.Interface;
    std::vector<std::unique_ptr<UsbDevice::Pipe>> pipes;
    while (reinterpret_cast<PUCHAR>(information) + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <=
               end &&
           information->Length != 0) {
        const InterfaceModel* interfaceModel = nullptr;
        for (const InterfaceModel& candidate : device.model.interfaces) {
            if (candidate.number == information->InterfaceNumber &&
                candidate.alternateSetting == information->AlternateSetting) {
                interfaceModel = &candidate;
            }
        }
        // A configuration selects each interface once.
        bool repeated = false;
        for (const auto* earlier = &request.Interface; earlier != information;
             earlier = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(
                 reinterpret_cast<const UCHAR*>(earlier) + earlier->Length)) {
            repeated |= earlier->InterfaceNumber == information->InterfaceNumber;
        }
        if (interfaceModel == nullptr || repeated ||
            information->NumberOfPipes != interfaceModel->endpoints.size() ||
            reinterpret_cast<PUCHAR>(information) + information->Length > end) {
            status = STATUS_INVALID_PARAMETER;
            usbdStatus = USBD_STATUS_INVALID_PARAMETER;
            break;
        }
        information->Class = interfaceModel->interfaceClass;
        information->SubClass = interfaceModel->interfaceSubClass;
        information->Protocol = interfaceModel->interfaceProtocol;
        information->InterfaceHandle = information;
        std::vector<ULONG> sizes;
        for (ULONG i = 0; i < information->NumberOfPipes; i++) {
            const EndpointModel& endpoint = interfaceModel->endpoints[i];
            USBD_PIPE_INFORMATION& pipe = information->Pipes[i];
            pipe.EndpointAddress = UCHAR(endpoint.number | (endpoint.in ? 0x80 : 0));
            pipe.MaximumPacketSize = endpoint.maxPacketSize;
            pipe.Interval = endpoint.type == UsbdPipeTypeInterrupt && endpoint.interval == 0
                                ? 1
                                : endpoint.interval;
            pipe.PipeType = endpoint.type;
            auto record = std::make_unique<UsbDevice::Pipe>(
                UsbDevice::Pipe{pipe.EndpointAddress, endpoint.type, endpoint.maxPacketSize,
                                pipe.MaximumTransferSize});
            pipe.PipeHandle = record.get();
            sizes.push_back(pipe.MaximumTransferSize);
            pipes.push_back(std::move(record));
        }
        entry.maximumTransferSizes.push_back(sizes);
        information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
            reinterpret_cast<PUCHAR>(information) + information->Length);
    }
    if (NT_SUCCESS(status) && USBD_SUCCESS(usbdStatus)) {
        HostLockGuard guard(device.mutex_);
        device.configured_ = true;
        device.pipes_ = std::move(pipes);
        request.ConfigurationHandle = &device;
    }
    request.Hdr.Status = usbdStatus;
    entry.status = status;
    entry.usbdStatus = usbdStatus;
    device.Log(entry);
    return status;
}

NTSTATUS UsbBus::ResetPipe(UsbDevice& device, struct _URB_PIPE_REQUEST& request)
{
    UsbRequest entry{UsbRequest::Kind::ResetPipe};
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    {
        HostLockGuard guard(device.mutex_);
        UsbDevice::Pipe* pipe = device.FindPipe(request.PipeHandle);
        if (pipe == nullptr) {
            status = STATUS_INVALID_PARAMETER;
            usbdStatus = USBD_STATUS_INVALID_PIPE_HANDLE;
        } else {
            entry.endpointAddress = pipe->endpointAddress;
            if (pipe->type == UsbdPipeTypeBulk) {
                ((pipe->endpointAddress & 0x80) != 0 ? device.resets_.pipeIn
                                                     : device.resets_.pipeOut)++;
            }
            if (device.model.resetPipeFails) {
                status = STATUS_UNSUCCESSFUL;
                usbdStatus = USBD_STATUS_STALL_PID;
            } else {
                pipe->stalled = false;
            }
        }
    }
    request.Hdr.Status = usbdStatus;
    entry.status = status;
    entry.usbdStatus = usbdStatus;
    device.Log(entry);
    return status;
}

// ---------------------------------------------------------------------------------------------
// Plug and Play, as a hub answers it for a device's physical device object
// ---------------------------------------------------------------------------------------------
NTSTATUS UsbBus::DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    UsbBus& bus = *Kernel::Current().bus;
    UsbDevice& device = DeviceFromObject(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = bus.QueryCapabilities(device, stack->Parameters.DeviceCapabilities.Capabilities);
        break;
    case IRP_MN_QUERY_ID:
        status = bus.QueryId(device, stack->Parameters.QueryId.IdType, &information);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        status =
            bus.QueryRelations(device, stack->Parameters.QueryDeviceRelations.Type, &information);
        break;
    default:
        break;  // a request the bus does not answer keeps the status it came with
    }
    irp->IoStatus.Information = information;
    return Finish(device, irp, status);
}

NTSTATUS UsbBus::QueryCapabilities(UsbDevice& device, PDEVICE_CAPABILITIES capabilities)
{
    if (device.model.capabilitiesFail) return STATUS_UNSUCCESSFUL;
    if (capabilities->Size < sizeof(DEVICE_CAPABILITIES) || capabilities->Version < 1) {
        return STATUS_UNSUCCESSFUL;
    }
    bool wake = device.model.remoteWake;
    capabilities->DeviceD1 = 1;
    capabilities->DeviceD2 = 1;
    capabilities->LockSupported = 0;
    capabilities->EjectSupported = 0;
    capabilities->Removable = 1;
    capabilities->DockDevice = 0;
    capabilities->UniqueID = 0;
    capabilities->SilentInstall = 0;
    capabilities->RawDeviceOK = 0;
    capabilities->SurpriseRemovalOK = 0;
    capabilities->WakeFromD0 = wake;
    capabilities->WakeFromD1 = wake;
    capabilities->WakeFromD2 = wake;
    capabilities->WakeFromD3 = 0;
    capabilities->Address = device.port;
    capabilities->UINumber = device.port;
    capabilities->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    capabilities->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    capabilities->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    capabilities->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    capabilities->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    capabilities->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    capabilities->SystemWake = wake ? PowerSystemSleeping3 : PowerSystemUnspecified;
    capabilities->DeviceWake = wake ? PowerDeviceD2 : PowerDeviceUnspecified;
    capabilities->D1Latency = capabilities->D2Latency = capabilities->D3Latency = 0;
    return STATUS_SUCCESS;
}

NTSTATUS UsbBus::QueryId(UsbDevice& device, BUS_QUERY_ID_TYPE type, ULONG_PTR* information)
{
    const DeviceModel& model = device.model;
    std::u16string id = DeviceId(model);
    std::u16string klass = u"USB\\Class_FF";
    if (!model.interfaces.empty()) {
        klass = u"USB\\Class_" + HexWord(model.interfaces[0].interfaceClass).substr(2);
    }
    switch (type) {
    case BusQueryDeviceID:
        *information = PoolStrings({id}, false);
        break;
    case BusQueryHardwareIDs:
        *information = PoolStrings({id + u"&REV_" + HexWord(model.deviceRelease), id}, true);
        break;
    case BusQueryCompatibleIDs:
        *information =
            PoolStrings({klass + u"&SubClass_00&Prot_00", klass + u"&SubClass_00", klass}, true);
        break;
    case BusQueryInstanceID:
        *information = PoolStrings({u"5&1C2B3A4D&0&" + Widen(std::to_string(device.port))}, false);
        break;
    default:
        return STATUS_NOT_SUPPORTED;
    }
    return *information != 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS UsbBus::QueryRelations(UsbDevice& device, DEVICE_RELATION_TYPE type,
                                ULONG_PTR* information)
{
    if (type != TargetDeviceRelation) return STATUS_NOT_SUPPORTED;
    auto* relations = static_cast<PDEVICE_RELATIONS>(Kernel::Current().pool.Allocate(
        PagedPool, sizeof(DEVICE_RELATIONS), CallSite{"", 0, "usbhub"}));
    if (relations == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    relations->Count = 1;
    relations->Objects[0] = device.physicalDevice;
    *information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Power and system control
// ---------------------------------------------------------------------------------------------
NTSTATUS UsbBus::DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    UsbDevice& device = DeviceFromObject(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState) {
            HostLockGuard guard(device.mutex_);
            device.powerState_ = stack->Parameters.Power.State.DeviceState;
        }
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_WAIT_WAKE:
        status = STATUS_NOT_SUPPORTED;  // the model never arms remote wake-up
        break;
    default:
        break;
    }
    PoStartNextPowerIrp(irp);
    return Finish(device, irp, status);
}

NTSTATUS UsbBus::DispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    // The hub is no WMI provider for its devices: the request keeps its status.
    return Finish(DeviceFromObject(deviceObject), irp, irp->IoStatus.Status);
}

}  // namespace host
