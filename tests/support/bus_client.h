// A client of the simulated bus with no driver: a device connected to the bus and configured
// through its physical device object, and bulk transfers sent straight to it as internal
// device-control requests, each recording how and when it completed.
#pragma once

#include <usbdlib.h>
#include <usbioctl.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_driver.h"

namespace hosttest {

// One bulk URB in flight to the physical device object.
class BulkTransfer {
public:
    BulkTransfer(PDEVICE_OBJECT physicalDevice, USBD_PIPE_HANDLE pipe, ULONG flags,
                 std::vector<UCHAR> buffer, ULONG length)
        : buffer_(std::move(buffer))
    {
        urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.UrbHeader.Status = USBD_STATUS_PENDING;
        urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
        urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
        urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer_.empty() ? nullptr : buffer_.data();
        request_ = std::make_unique<IoctlRequest>(physicalDevice, IOCTL_INTERNAL_USB_SUBMIT_URB,
                                                  nullptr, 0, nullptr, 0, TRUE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request_->irp);
        next->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(request_->irp, Observe, this, TRUE, TRUE, TRUE);
        irp = request_->irp;
        sending_ = true;
        returned = request_->Send();
        sending_ = false;
    }
    BulkTransfer(const BulkTransfer&) = delete;
    BulkTransfer& operator=(const BulkTransfer&) = delete;

    // The request's final status, after a host wait (60 s of virtual time at most).
    NTSTATUS Wait()
    {
        EXPECT_EQ(STATUS_SUCCESS, request_->Wait()) << "the transfer never completed";
        return request_->iosb.Status;
    }
    bool Completed() { return KeReadStateEvent(&request_->event) != 0; }
    USBD_STATUS usbdStatus() const { return urb.UrbHeader.Status; }
    ULONG length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
    std::vector<UCHAR> Received() const
    {
        return std::vector<UCHAR>(buffer_.begin(), buffer_.begin() + length());
    }

    URB urb{};
    PIRP irp = nullptr;  // valid until it completes
    NTSTATUS returned = STATUS_PENDING;
    KIRQL completionIrql = HIGH_LEVEL;
    bool completedInDispatch = false;  // completed before the bus's dispatch routine returned
    host::Ticks completedAt = -1;

private:
    static NTSTATUS Observe(PDEVICE_OBJECT, PIRP, PVOID context)
    {
        auto* transfer = static_cast<BulkTransfer*>(context);
        transfer->completionIrql = KeGetCurrentIrql();
        transfer->completedInDispatch = transfer->sending_;
        transfer->completedAt = host::Scheduler::Instance().Now();
        return STATUS_SUCCESS;
    }

    std::vector<UCHAR> buffer_;
    std::unique_ptr<IoctlRequest> request_;
    bool sending_ = false;
};

// A device on the bus, configured, with its bulk pipes.
class BusClient {
public:
    explicit BusClient(const host::DeviceModel& model)
    {
        device = &host.bus().Connect(model);
        physicalDevice = device->physicalDevice;
        Configure();
    }

    // An IN transfer with room for `length` bytes.
    std::unique_ptr<BulkTransfer> In(ULONG length, ULONG flags = USBD_TRANSFER_DIRECTION_IN |
                                                                 USBD_SHORT_TRANSFER_OK)
    {
        return std::make_unique<BulkTransfer>(physicalDevice, inPipe, flags,
                                              std::vector<UCHAR>(length, 0xEE), length);
    }
    std::unique_ptr<BulkTransfer> Out(const std::vector<UCHAR>& bytes)
    {
        return std::make_unique<BulkTransfer>(physicalDevice, outPipe, USBD_TRANSFER_DIRECTION_OUT,
                                              bytes, ULONG(bytes.size()));
    }

    NTSTATUS ResetPipe(USBD_PIPE_HANDLE pipe)
    {
        URB urb{};
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
        urb.UrbPipeRequest.PipeHandle = pipe;
        return SendInternal(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    }
    NTSTATUS PortStatus(ULONG* word)
    {
        *word = 0xFFFFFFFF;
        return SendInternal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, word);
    }
    NTSTATUS ResetPort() { return SendInternal(IOCTL_INTERNAL_USB_RESET_PORT, nullptr); }

    host::Host host;
    host::UsbDevice* device = nullptr;
    PDEVICE_OBJECT physicalDevice = nullptr;
    USBD_PIPE_HANDLE inPipe = nullptr;
    USBD_PIPE_HANDLE outPipe = nullptr;
    USHORT inPacketSize = 0;

private:
    NTSTATUS SendInternal(ULONG code, PVOID argument)
    {
        IoctlRequest request(physicalDevice, code, nullptr, 0, nullptr, 0, TRUE);
        IoGetNextIrpStackLocation(request.irp)->Parameters.Others.Argument1 = argument;
        request.Send();
        EXPECT_EQ(STATUS_SUCCESS, request.Wait()) << "internal request " << code;
        return request.iosb.Status;
    }

    void Configure()
    {
        std::vector<UCHAR>& bytes = device->configurationDescriptor;
        auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {};
        list[0].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
        PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
        ASSERT_NE(nullptr, urb);
        ASSERT_EQ(STATUS_SUCCESS, SendInternal(IOCTL_INTERNAL_USB_SUBMIT_URB, urb));
        PUSBD_INTERFACE_INFORMATION interface = &urb->UrbSelectConfiguration.Interface;
        for (ULONG i = 0; i < interface->NumberOfPipes; i++) {
            USBD_PIPE_INFORMATION& pipe = interface->Pipes[i];
            if (pipe.PipeType != UsbdPipeTypeBulk) continue;
            if ((pipe.EndpointAddress & 0x80) != 0 && inPipe == nullptr) {
                inPipe = pipe.PipeHandle;
                inPacketSize = pipe.MaximumPacketSize;
            } else if ((pipe.EndpointAddress & 0x80) == 0 && outPipe == nullptr) {
                outPipe = pipe.PipeHandle;
            }
        }
        ExFreePool(urb);
    }
};

inline host::DeviceModel Serial(bool asynchronous, USHORT packetSize = 64)
{
    host::DeviceModel model = host::DeviceModel::SerialAdapter(0x1234, 0x005B, packetSize);
    model.asynchronous = asynchronous;
    return model;
}

// `count` bytes counting up from `first`.
inline std::vector<UCHAR> Bytes(size_t count, UCHAR first = 0)
{
    std::vector<UCHAR> bytes(count);
    for (size_t i = 0; i < count; i++) bytes[i] = UCHAR(first + i);
    return bytes;
}

inline std::string BusModeName(const testing::TestParamInfo<bool>& info)
{
    return info.param ? "BusCompletesLater" : "BusCompletesAtOnce";
}

// A suite run with the bus completing at once and with the bus completing from DPCs.
class BusTest : public testing::TestWithParam<bool> {
protected:
    BusTest() : client(Serial(GetParam())) {}
    BusClient client;
    host::UsbDevice& device = *client.device;
};

}  // namespace hosttest
