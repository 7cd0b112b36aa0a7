// The synchronous requests to the bus, called as the driver's recovery and open paths will call
// them, on a started device at PASSIVE_LEVEL: one URB, the port status, a port reset once per
// recovery episode, a pipe reset, and the device marked gone when its port no longer answers.
#include <gtest/gtest.h>

#include "support/driver_fixture.h"

using namespace kdxtest;
using Kind = host::UsbRequest::Kind;

namespace {

class SyncRequests : public BusModeTest {
protected:
    void SetUp() override
    {
        BusModeTest::SetUp();
        plugged = Plug(Adapter(kNumberedProduct));
        ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
        device = plugged.functionDevice;
        extension = Extension(plugged);
        usb = plugged.device;
        usb->ClearRequests();
    }
    host::DeviceModel& Faults() { return usb->model; }  // the device's state from now on
    size_t Sent(Kind kind) { return RequestsOf(*usb, kind).size(); }

    NTSTATUS PortStatus(ULONG* word)
    {
        *word = 0xFFFFFFFF;
        return AsDriver([&] { return GetPortStatus(device, word); });
    }
    NTSTATUS Reset()
    {
        return AsDriver([&] { return ResetPort(device); });
    }
    void ResetIfConnected()
    {
        AsDriver([&] { ResetPortIfConnected(device); });
    }
    NTSTATUS ResetBulkInPipe()
    {
        PUSBD_PIPE_INFORMATION pipe =
            &extension->InterfaceInformation->Pipes[extension->BulkInPipeIndex];
        return AsDriver([&] { return ResetPipe(device, pipe); });
    }

    Plugged plugged;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_EXTENSION extension = nullptr;
    host::UsbDevice* usb = nullptr;
};

TEST_P(SyncRequests, SubmitUrbSyncReturnsTheRequestStatusAndLeavesTheUsbdStatusInTheUrb)
{
    USB_DEVICE_DESCRIPTOR descriptor{};
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbControlDescriptorRequest.TransferBuffer = &descriptor;
    urb.UrbControlDescriptorRequest.TransferBufferLength = sizeof(descriptor);
    urb.UrbControlDescriptorRequest.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    EXPECT_EQ(STATUS_SUCCESS, AsDriver([&] { return SubmitUrbSync(device, &urb); }));
    EXPECT_EQ(kNumberedProduct, descriptor.idProduct);
    EXPECT_EQ(sizeof(descriptor), urb.UrbControlDescriptorRequest.TransferBufferLength);

    Faults().deviceDescriptorStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, AsDriver([&] { return SubmitUrbSync(device, &urb); }));
    EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, urb.UrbHeader.Status);
    EXPECT_EQ(2u, Sent(Kind::GetDescriptor));
    EXPECT_EQ(1, extension->IoCount) << "each exchange dropped its reference";
}

TEST_P(SyncRequests, NothingIsSentWhenTheRequestCannotBeBuilt)
{
    host.pool().FailAllocationsFrom("SendInternalRequest");
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AsDriver([&] { return SubmitUrbSync(device, &urb); }));
    EXPECT_EQ(1, extension->IoCount) << "SubmitUrbSync dropped its reference";

    ULONG word;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PortStatus(&word));
    EXPECT_EQ(0u, word);

    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Reset());
    EXPECT_EQ(0, extension->PortResetActive) << "a later recovery may try again";
    EXPECT_TRUE(usb->Requests().empty()) << Log(*usb);
}

TEST_P(SyncRequests, GetPortStatusReadsTheWordAndLeavesZeroWhenTheQueryFails)
{
    ULONG word;
    EXPECT_EQ(STATUS_SUCCESS, PortStatus(&word));
    EXPECT_EQ(ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED), word);
    Faults().enabled = false;
    EXPECT_EQ(STATUS_SUCCESS, PortStatus(&word));
    EXPECT_EQ(ULONG(USBD_PORT_CONNECTED), word);
    Faults().portStatusFails = true;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, PortStatus(&word));
    EXPECT_EQ(0u, word);
}

TEST_P(SyncRequests, APortIsResetOncePerEpisodeAndAgainAfterAFailedReset)
{
    EXPECT_EQ(STATUS_SUCCESS, Reset());
    EXPECT_EQ(STATUS_SUCCESS, Reset());
    EXPECT_EQ(1u, Sent(Kind::ResetPort)) << Log(*usb);
    EXPECT_EQ(1, extension->PortResetActive);

    extension->PortResetActive = 0;  // the next bulk transfer ends the episode
    Faults().resetPortFails = true;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Reset());
    EXPECT_EQ(0, extension->PortResetActive);
    Faults().resetPortFails = false;
    EXPECT_EQ(STATUS_SUCCESS, Reset());
    EXPECT_EQ(3u, Sent(Kind::ResetPort)) << Log(*usb);
}

TEST_P(SyncRequests, TwoResetsOfAConnectedPortSendOnePortReset)
{
    ResetIfConnected();
    ResetIfConnected();
    EXPECT_EQ(2u, Sent(Kind::GetPortStatus)) << Log(*usb);
    EXPECT_EQ(1u, Sent(Kind::ResetPort)) << Log(*usb);
    EXPECT_EQ(0, extension->DeviceGone);
}

TEST_P(SyncRequests, AConnectedButDisabledPortIsStillReset)
{
    Faults().enabled = false;
    ResetIfConnected();
    EXPECT_EQ(1u, Sent(Kind::ResetPort)) << Log(*usb);
    EXPECT_EQ(0, extension->DeviceGone);
    EXPECT_TRUE(CanAcceptRequests(device));
}

TEST_P(SyncRequests, APortThatReadsDisconnectedOrCannotBeQueriedMarksTheDeviceGone)
{
    for (bool disconnected : {true, false}) {
        SCOPED_TRACE(disconnected ? "disconnected" : "status query fails");
        extension->DeviceGone = 0;
        Faults().connected = !disconnected;
        Faults().portStatusFails = !disconnected;
        ResetIfConnected();
        EXPECT_EQ(1, extension->DeviceGone);
        EXPECT_EQ(0u, Sent(Kind::ResetPort)) << Log(*usb);
        EXPECT_EQ(0, extension->PortResetActive);
        EXPECT_FALSE(CanAcceptRequests(device));
        EXPECT_EQ(STATUS_DELETE_PENDING,
                  host.pnp().SendPower(plugged.physicalDevice, IRP_MN_SET_POWER, DevicePowerState,
                                       DeviceState(PowerDeviceD3)))
            << "a gone device takes no more requests";
    }
}

TEST_P(SyncRequests, APortStatusQueryWithoutMemoryMarksNothingAndResetsNothing)
{
    host.pool().FailAllocationsFrom("SendInternalRequest");
    ResetIfConnected();
    host.pool().ClearFaults();
    EXPECT_EQ(0, extension->DeviceGone) << "a shortage of memory is no unplug";
    EXPECT_TRUE(CanAcceptRequests(device));
    EXPECT_TRUE(usb->Requests().empty()) << Log(*usb);
    EXPECT_EQ(0, extension->PortResetActive);
}

TEST_P(SyncRequests, APipeResetRightAfterAPortResetSendsNothing)
{
    EXPECT_EQ(STATUS_SUCCESS, ResetBulkInPipe());
    std::vector<host::UsbRequest> resets = RequestsOf(*usb, Kind::ResetPipe);
    ASSERT_EQ(1u, resets.size()) << Log(*usb);
    EXPECT_EQ(extension->InterfaceInformation->Pipes[extension->BulkInPipeIndex].EndpointAddress,
              resets[0].endpointAddress);

    ASSERT_EQ(STATUS_SUCCESS, Reset());
    EXPECT_EQ(STATUS_SUCCESS, ResetBulkInPipe());
    EXPECT_EQ(1u, Sent(Kind::ResetPipe)) << "the port reset reset every pipe:" << Log(*usb);

    extension->PortResetActive = 0;
    Faults().resetPipeFails = true;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, ResetBulkInPipe());
    host.pool().FailAllocationsFrom("ResetPipe");
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ResetBulkInPipe());
    EXPECT_EQ(2u, Sent(Kind::ResetPipe)) << Log(*usb);
    EXPECT_EQ(1, extension->IoCount);
}

// The status block and event of a request the bus completed at once are left to the caller, as
// the documentation allows: the statuses come from what the bus driver returned. (When the bus
// completes later, the request pends and the block holds them.)
TEST_P(SyncRequests, StatusesOfRequestsCompletedAtOnceAreWhatTheBusDriverReturned)
{
    host.io().SetStatusBlockOnlyWhenPending(true);
    ULONG word;
    EXPECT_EQ(STATUS_SUCCESS, PortStatus(&word));
    EXPECT_EQ(ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED), word);
    EXPECT_EQ(STATUS_SUCCESS, Reset());
    EXPECT_EQ(1, extension->PortResetActive) << "a successful reset starts the episode";

    extension->PortResetActive = 0;
    Faults().resetPortFails = true;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Reset());
    EXPECT_EQ(0, extension->PortResetActive);

    Faults().portStatusFails = true;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, PortStatus(&word));
    ResetIfConnected();
    EXPECT_EQ(1, extension->DeviceGone) << "a failing status query is no shortage of memory";
    EXPECT_EQ(2u, Sent(Kind::ResetPort)) << Log(*usb);

    Faults().resetPipeFails = true;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, ResetBulkInPipe()) << "a URB's status";
}

TEST_P(SyncRequests, ADeviceStartsWhenOnlyRequestsThatPendedGetTheirStatusBlock)
{
    host.io().SetStatusBlockOnlyWhenPending(true);
    Plugged second = Plug(Adapter(kNumberedProduct));
    EXPECT_EQ(STATUS_SUCCESS, second.startStatus) << Log(*second.device);

    host::DeviceModel noDescriptor = Adapter(kNumberedProduct);
    noDescriptor.deviceDescriptorStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, Plug(noDescriptor).startStatus);
}

KDX_FOR_BOTH_BUS_MODES(SyncRequests);

}  // namespace
