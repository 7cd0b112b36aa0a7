// Bulk-OUT transfers on the simulated bus: each one the device accepts is recorded with its bytes
// (a zero-length packet as no bytes); a device that holds OUT transfers completes them only when
// released; the echo device offers what it receives back on bulk-IN.
#include <gtest/gtest.h>

#include "support/bus_client.h"

using namespace hosttest;

namespace {

class BulkOut : public BusTest {};

TEST_P(BulkOut, EveryTransferIsRecordedWithItsBytesZeroLengthOnesIncluded)
{
    auto data = client.Out(Bytes(100));
    auto zero = client.Out({});
    auto packet = client.Out(Bytes(64, 7));
    for (auto* transfer : {data.get(), zero.get(), packet.get()}) {
        EXPECT_EQ(STATUS_SUCCESS, transfer->Wait());
        EXPECT_EQ(USBD_STATUS_SUCCESS, transfer->usbdStatus());
    }
    EXPECT_EQ(100u, data->length()) << "TransferBufferLength: the bytes sent";
    EXPECT_EQ(0u, zero->length());
    std::vector<std::vector<UCHAR>> expected = {Bytes(100), {}, Bytes(64, 7)};
    EXPECT_EQ(expected, device.TakeOutTransfers());
    EXPECT_TRUE(device.TakeOutTransfers().empty()) << "each query returns what came since the last";
}

TEST_P(BulkOut, AnAcceptedTransferCompletesInTheDispatchCallOnlyInTheImmediateMode)
{
    auto transfer = client.Out(Bytes(8));
    EXPECT_EQ(STATUS_SUCCESS, transfer->Wait());
    if (GetParam()) {
        EXPECT_EQ(STATUS_PENDING, transfer->returned);
        EXPECT_EQ(DISPATCH_LEVEL, transfer->completionIrql);
    } else {
        EXPECT_EQ(STATUS_SUCCESS, transfer->returned);
        EXPECT_TRUE(transfer->completedInDispatch);
    }
}

TEST_P(BulkOut, HeldTransfersWaitUntilReleasedAndAreRecordedThenInOrder)
{
    device.HoldOut(true);
    auto first = client.Out(Bytes(5));
    auto second = client.Out({});
    EXPECT_EQ(STATUS_PENDING, first->returned);
    EXPECT_EQ(STATUS_PENDING, second->returned);
    client.host.Sleep(host::Milliseconds(100));
    EXPECT_FALSE(first->Completed());
    EXPECT_FALSE(second->Completed());
    EXPECT_EQ(2u, device.PendingTransfers(host::Direction::Out));
    EXPECT_TRUE(device.TakeOutTransfers().empty()) << "a held transfer is not the device's yet";

    device.HoldOut(false);
    EXPECT_EQ(STATUS_SUCCESS, first->Wait());
    EXPECT_EQ(STATUS_SUCCESS, second->Wait());
    EXPECT_EQ(DISPATCH_LEVEL, first->completionIrql);
    std::vector<std::vector<UCHAR>> expected = {Bytes(5), {}};
    EXPECT_EQ(expected, device.TakeOutTransfers());
}

TEST_P(BulkOut, TheEchoOffersWhatArrivesBackOnBulkIn)
{
    device.SetEcho(true);
    auto waiting = client.In(2048);
    auto out = client.Out(Bytes(100, 3));
    EXPECT_EQ(STATUS_SUCCESS, out->Wait());
    EXPECT_EQ(STATUS_SUCCESS, waiting->Wait());
    EXPECT_EQ(Bytes(100, 3), waiting->Received());

    // A transfer of whole packets comes back as whole packets; its zero-length packet ends it.
    EXPECT_EQ(STATUS_SUCCESS, client.Out(Bytes(128))->Wait());
    EXPECT_EQ(STATUS_SUCCESS, client.Out({})->Wait());
    auto whole = client.In(2048);
    EXPECT_EQ(STATUS_SUCCESS, whole->Wait());
    EXPECT_EQ(Bytes(128), whole->Received());

    device.SetEcho(false);
    EXPECT_EQ(STATUS_SUCCESS, client.Out(Bytes(10))->Wait());
    EXPECT_EQ(0u, device.QueuedInBytes()) << "no echo once switched off";
    EXPECT_EQ(4u, device.TakeOutTransfers().size()) << "echoed transfers are recorded too";
}

INSTANTIATE_TEST_SUITE_P(Bus, BulkOut, testing::Bool(), BusModeName);

}  // namespace
