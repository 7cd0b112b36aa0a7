// Cancelling transfers the bus holds: a waiting IN transfer and a held OUT transfer carry a
// cancel routine, and IoCancelIrp completes them from a DPC with STATUS_CANCELLED and
// USBD_STATUS_CANCELED; the transfers behind them are served as before.
#include <gtest/gtest.h>

#include "support/bus_client.h"

using namespace hosttest;

namespace {

class TransferCancel : public BusTest {};

TEST_P(TransferCancel, AWaitingInTransferCompletesCancelledFromADpc)
{
    auto transfer = client.In(2048);
    ASSERT_EQ(STATUS_PENDING, transfer->returned);
    EXPECT_NE(nullptr, transfer->irp->CancelRoutine) << "a waiting transfer is cancellable";
    EXPECT_TRUE(IoCancelIrp(transfer->irp));
    EXPECT_EQ(STATUS_CANCELLED, transfer->Wait());
    EXPECT_EQ(USBD_STATUS_CANCELED, transfer->usbdStatus());
    EXPECT_EQ(0u, transfer->length());
    EXPECT_EQ(DISPATCH_LEVEL, transfer->completionIrql);
    EXPECT_EQ(0u, device.PendingTransfers(host::Direction::In));

    device.OfferIn(Bytes(4));
    EXPECT_EQ(4u, device.QueuedInBytes()) << "the cancelled transfer took nothing";
    auto next = client.In(2048);
    EXPECT_EQ(STATUS_SUCCESS, next->Wait());
    EXPECT_EQ(Bytes(4), next->Received());
}

TEST_P(TransferCancel, AHeldOutTransferCompletesCancelledAndIsNotRecorded)
{
    device.HoldOut(true);
    auto first = client.Out(Bytes(3));
    auto second = client.Out(Bytes(6));
    EXPECT_TRUE(IoCancelIrp(first->irp));
    EXPECT_EQ(STATUS_CANCELLED, first->Wait());
    EXPECT_EQ(USBD_STATUS_CANCELED, first->usbdStatus());
    EXPECT_EQ(DISPATCH_LEVEL, first->completionIrql);
    EXPECT_FALSE(second->Completed()) << "the transfer behind it is still held";

    device.HoldOut(false);
    EXPECT_EQ(STATUS_SUCCESS, second->Wait());
    std::vector<std::vector<UCHAR>> expected = {Bytes(6)};
    EXPECT_EQ(expected, device.TakeOutTransfers());
}

TEST_P(TransferCancel, CancellingTheFirstOfSeveralWaitingTransfersPassesTheDataOn)
{
    auto first = client.In(64);
    auto second = client.In(64);
    EXPECT_TRUE(IoCancelIrp(first->irp));
    EXPECT_EQ(STATUS_CANCELLED, first->Wait());
    device.OfferIn(Bytes(9));
    EXPECT_EQ(STATUS_SUCCESS, second->Wait());
    EXPECT_EQ(Bytes(9), second->Received());
}

INSTANTIATE_TEST_SUITE_P(Bus, TransferCancel, testing::Bool(), BusModeName);

}  // namespace
