#include "bench/bare_bus.h"

#include <usbdlib.h>
#include <usbioctl.h>

namespace bench {
namespace {

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an internal request to the physical device object and waits for it; returns its status.
NTSTATUS Send(PDEVICE_OBJECT device, ULONG code, PVOID argument)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument;
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS Transfer(PDEVICE_OBJECT device, USBD_PIPE_HANDLE pipe, bool in, PUCHAR buffer,
                  ULONG length, ULONG* transferred)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb.UrbBulkOrInterruptTransfer.TransferFlags =
        in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT;
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    NTSTATUS status = Send(device, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    *transferred = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    return status;
}

// Selects the device's configuration; finds its bulk pipes.
bool Configure(host::UsbDevice& device, USBD_PIPE_HANDLE* in, USBD_PIPE_HANDLE* out)
{
    auto* configuration =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device.configurationDescriptor.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    if (urb == nullptr) return false;
    bool selected = NT_SUCCESS(Send(device.physicalDevice, IOCTL_INTERNAL_USB_SUBMIT_URB, urb));
    PUSBD_INTERFACE_INFORMATION interface = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; selected && i < interface->NumberOfPipes; i++) {
        bool isIn = (interface->Pipes[i].EndpointAddress & 0x80) != 0;
        (isIn ? *in : *out) = interface->Pipes[i].PipeHandle;
    }
    ExFreePool(urb);
    return selected && *in != nullptr && *out != nullptr;
}

host::DeviceModel EchoingAdapter(bool later)
{
    host::DeviceModel model = Adapter(later);
    model.echo = true;
    return model;
}

}  // namespace

host::DeviceModel Adapter(bool later, host::BusSpeed speed)
{
    host::DeviceModel model = host::DeviceModel::SerialAdapter(0x1234, 0x005B);
    model.asynchronous = later;
    model.busSpeed = speed;
    return model;
}

std::vector<UCHAR> EchoPattern(ULONG length)
{
    std::vector<UCHAR> bytes(length);
    for (ULONG i = 0; i < length; i++) bytes[i] = UCHAR(i * 7);
    return bytes;
}

BareEchoDevice::BareEchoDevice(host::Host& host, bool later)
    : device_(host.bus().Connect(EchoingAdapter(later)))
{
    ok_ = Configure(device_, &in_, &out_);
}

bool BareEchoDevice::RoundTrip(const std::vector<UCHAR>& sent, std::vector<UCHAR>* received)
{
    // The device's record of OUT transfers is emptied now and then, as a test would.
    if (++rounds_ % 256 == 0) device_.TakeOutTransfers();
    ULONG length = ULONG(sent.size());
    received->resize(length);
    ULONG wrote = 0, read = 0;
    NTSTATUS outStatus = Transfer(device_.physicalDevice, out_, false,
                                  const_cast<PUCHAR>(sent.data()), length, &wrote);
    NTSTATUS inStatus =
        Transfer(device_.physicalDevice, in_, true, received->data(), length, &read);
    return NT_SUCCESS(outStatus) && NT_SUCCESS(inStatus) && wrote == length && read == length;
}

}  // namespace bench
