// The simulated bus on its own, in real time, with no driver: an echo round trip made directly
// on the bus's physical device object. Each iteration submits a bulk-OUT transfer of N bytes,
// which the echo device loops back, then a bulk-IN transfer of N bytes that receives them, each
// in an IRP of its own allocated, sent, completed and freed as a driver does it. The figures are
// the floor under the driver's own read and write round trips, in both bus modes: completing at
// once inside the dispatch call, and completing later from the DPC thread.
#include <benchmark/benchmark.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <vector>

#include "host/host.h"

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
    bool selected =
        NT_SUCCESS(Send(device.physicalDevice, IOCTL_INTERNAL_USB_SUBMIT_URB, urb));
    PUSBD_INTERFACE_INFORMATION interface = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; selected && i < interface->NumberOfPipes; i++) {
        bool isIn = (interface->Pipes[i].EndpointAddress & 0x80) != 0;
        (isIn ? *in : *out) = interface->Pipes[i].PipeHandle;
    }
    ExFreePool(urb);
    return selected && *in != nullptr && *out != nullptr;
}

// Arguments: the bytes of each leg, and 1 for the bus completing from DPCs.
void BusEchoRoundTrip(benchmark::State& state)
{
    host::Host host(host::HostOptions{host::ClockMode::Real});
    ULONG length = ULONG(state.range(0));
    host::DeviceModel model = host::DeviceModel::SerialAdapter(0x1234, 0x005B);
    model.asynchronous = state.range(1) != 0;
    model.echo = true;
    host::UsbDevice& device = host.bus().Connect(model);
    USBD_PIPE_HANDLE in = nullptr, out = nullptr;
    if (!Configure(device, &in, &out)) {
        state.SkipWithError("the device could not be configured");
        return;
    }
    std::vector<UCHAR> sent(length), received(length);
    for (ULONG i = 0; i < length; i++) sent[i] = UCHAR(i * 7);
    uint64_t round = 0;
    for (auto _ : state) {
        // The device's record of OUT transfers is emptied now and then, as a test would.
        if (++round % 256 == 0) device.TakeOutTransfers();
        ULONG wrote = 0, read = 0;
        NTSTATUS outStatus = Transfer(device.physicalDevice, out, false, sent.data(), length, &wrote);
        NTSTATUS inStatus =
            Transfer(device.physicalDevice, in, true, received.data(), length, &read);
        if (!NT_SUCCESS(outStatus) || !NT_SUCCESS(inStatus) || wrote != length || read != length) {
            state.SkipWithError("a leg of the round trip failed");
            break;
        }
    }
    if (received != sent) state.SkipWithError("the echo changed the bytes");
    device.TakeOutTransfers();
    state.SetBytesProcessed(int64_t(state.iterations()) * length * 2);
}
BENCHMARK(BusEchoRoundTrip)
    ->ArgNames({"bytes", "later"})
    ->ArgsProduct({{1, 2048, 4096}, {0, 1}})
    ->UseRealTime();

}  // namespace
