// Faults of the simulated bus and its port: the next N transfers of a direction fail with a
// chosen status; a stall halts the pipe until a pipe or port reset; resets are counted; the port
// can be disconnected or disabled at run time, and its status query can fail.
#include <gtest/gtest.h>

#include "support/bus_client.h"

using namespace hosttest;

namespace {

class TransferFaults : public BusTest {};

TEST_P(TransferFaults, TheNextTransfersOfADirectionFailThenTheOthersSucceed)
{
    device.FailNext(host::Direction::Out, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
    auto first = client.Out(Bytes(1));
    auto second = client.Out(Bytes(2));
    auto third = client.Out(Bytes(3));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, first->Wait());
    EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, first->usbdStatus());
    EXPECT_EQ(0u, first->length()) << "a failed OUT transfer moved nothing";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, second->Wait());
    EXPECT_EQ(STATUS_SUCCESS, third->Wait());
    std::vector<std::vector<UCHAR>> expected = {Bytes(3)};
    EXPECT_EQ(expected, device.TakeOutTransfers());

    auto in = client.In(64);
    EXPECT_EQ(STATUS_PENDING, in->returned) << "OUT faults leave IN alone";
    EXPECT_TRUE(IoCancelIrp(in->irp));
    EXPECT_EQ(STATUS_CANCELLED, in->Wait());
}

TEST_P(TransferFaults, AnInFaultFailsTheTransferAlreadyWaiting)
{
    auto waiting = client.In(2048);
    device.FailNext(host::Direction::In, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, waiting->Wait());
    EXPECT_EQ(USBD_STATUS_DATA_OVERRUN, waiting->usbdStatus());
    EXPECT_EQ(DISPATCH_LEVEL, waiting->completionIrql);
    device.OfferIn(Bytes(2));
    EXPECT_EQ(STATUS_SUCCESS, client.In(64)->Wait());
}

TEST_P(TransferFaults, AStallHaltsThePipeUntilItIsReset)
{
    device.FailNext(host::Direction::In, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    device.OfferIn(Bytes(5));
    for (int i = 0; i < 3; i++) {
        auto transfer = client.In(64);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, transfer->Wait()) << "transfer " << i;
        EXPECT_EQ(USBD_STATUS_STALL_PID, transfer->usbdStatus()) << "transfer " << i;
    }
    EXPECT_EQ(STATUS_SUCCESS, client.Out(Bytes(1))->Wait()) << "the OUT pipe is not halted";

    EXPECT_EQ(STATUS_SUCCESS, client.ResetPipe(client.inPipe));
    auto after = client.In(64);
    EXPECT_EQ(STATUS_SUCCESS, after->Wait());
    EXPECT_EQ(Bytes(5), after->Received()) << "the device's data survived the stall";
}

TEST_P(TransferFaults, APortResetAlsoClearsAStallAndEnablesThePort)
{
    device.FailNext(host::Direction::Out, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, client.Out(Bytes(1))->Wait());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, client.Out(Bytes(1))->Wait()) << "halted";
    device.SetPortEnabled(false);
    EXPECT_EQ(STATUS_SUCCESS, client.ResetPort());
    ULONG word = 0;
    EXPECT_EQ(STATUS_SUCCESS, client.PortStatus(&word));
    EXPECT_EQ(ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED), word);
    EXPECT_EQ(STATUS_SUCCESS, client.Out(Bytes(1))->Wait());
}

TEST_P(TransferFaults, PipeAndPortResetsAreCountedFailedOnesIncluded)
{
    EXPECT_EQ(STATUS_SUCCESS, client.ResetPipe(client.inPipe));
    EXPECT_EQ(STATUS_SUCCESS, client.ResetPipe(client.outPipe));
    EXPECT_EQ(STATUS_SUCCESS, client.ResetPipe(client.outPipe));
    device.model.resetPortFails = true;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, client.ResetPort());
    host::ResetCounts resets = device.Resets();
    EXPECT_EQ(1u, resets.pipeIn);
    EXPECT_EQ(2u, resets.pipeOut);
    EXPECT_EQ(1u, resets.port);
}

TEST_P(TransferFaults, PortChangesAtRunTimeShowInThePortStatusAndFailTransfers)
{
    ULONG word = 0;
    auto waiting = client.In(64);
    device.SetPortEnabled(false);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, waiting->Wait()) << "a disabled port fails waiting transfers";
    EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, waiting->usbdStatus());
    EXPECT_EQ(STATUS_SUCCESS, client.PortStatus(&word));
    EXPECT_EQ(ULONG(USBD_PORT_CONNECTED), word);

    device.SetPortConnected(false);
    EXPECT_EQ(STATUS_SUCCESS, client.PortStatus(&word));
    EXPECT_EQ(0u, word);
    auto gone = client.Out(Bytes(1));
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, gone->Wait());
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, gone->usbdStatus());
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, client.ResetPort());

    device.SetPortStatusFails(true);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, client.PortStatus(&word));
    device.SetPortStatusFails(false);
    device.SetPortConnected(true);
    device.SetPortEnabled(true);
    EXPECT_EQ(STATUS_SUCCESS, client.PortStatus(&word));
    EXPECT_EQ(ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED), word);
    EXPECT_EQ(STATUS_SUCCESS, client.Out(Bytes(1))->Wait());
}

INSTANTIATE_TEST_SUITE_P(Bus, TransferFaults, testing::Bool(), BusModeName);

}  // namespace
