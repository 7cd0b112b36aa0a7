// Bulk-IN transfers on the simulated bus, sent straight to the physical device object: a
// transfer waits until the device has packets and ends at a short packet, a zero-length packet
// or a full buffer; packets are taken in order across transfers; a short packet without
// USBD_SHORT_TRANSFER_OK and a packet larger than the room left are errors.
#include <gtest/gtest.h>

#include "support/bus_client.h"

using namespace hosttest;

namespace {

class BulkIn : public BusTest {};

TEST_P(BulkIn, WaitsUntilTheDeviceHasDataThenCompletesFromADpc)
{
    auto transfer = client.In(2048);
    EXPECT_EQ(STATUS_PENDING, transfer->returned);
    client.host.Sleep(host::Milliseconds(50));
    EXPECT_FALSE(transfer->Completed()) << "no data, no completion";
    EXPECT_EQ(1u, device.PendingTransfers(host::Direction::In));

    device.OfferIn(Bytes(10));
    EXPECT_EQ(STATUS_SUCCESS, transfer->Wait());
    EXPECT_EQ(USBD_STATUS_SUCCESS, transfer->usbdStatus());
    EXPECT_EQ(Bytes(10), transfer->Received());
    EXPECT_EQ(DISPATCH_LEVEL, transfer->completionIrql);
    EXPECT_FALSE(transfer->completedInDispatch);
    EXPECT_EQ(0u, device.PendingTransfers(host::Direction::In));
}

TEST_P(BulkIn, DataAlreadyOfferedCompletesInTheDispatchCallOnlyInTheImmediateMode)
{
    device.OfferIn(Bytes(3));
    EXPECT_EQ(3u, device.QueuedInBytes());
    auto transfer = client.In(64);
    bool immediate = !GetParam();
    EXPECT_EQ(immediate ? STATUS_SUCCESS : STATUS_PENDING, transfer->returned);
    EXPECT_EQ(STATUS_SUCCESS, transfer->Wait());
    if (immediate) {
        EXPECT_TRUE(transfer->completedInDispatch);
    }
    EXPECT_EQ(immediate ? PASSIVE_LEVEL : DISPATCH_LEVEL, transfer->completionIrql);
    EXPECT_EQ(Bytes(3), transfer->Received());
    EXPECT_EQ(0u, device.QueuedInBytes());
}

TEST_P(BulkIn, AShortPacketEndsTheTransferAfterTheFullOnesBeforeIt)
{
    auto transfer = client.In(2048);
    device.OfferIn(Bytes(64 * 3 + 5));  // three full packets and a short one
    EXPECT_EQ(STATUS_SUCCESS, transfer->Wait());
    EXPECT_EQ(Bytes(64 * 3 + 5), transfer->Received());
}

TEST_P(BulkIn, FullPacketsKeepTheTransferWaitingUntilItsBufferIsFull)
{
    auto transfer = client.In(256);
    device.OfferIn(Bytes(128));  // two full packets: the device may send more
    client.host.Sleep(host::Milliseconds(10));
    EXPECT_FALSE(transfer->Completed()) << "full packets do not end a transfer";
    device.OfferIn(Bytes(192, 128));  // fills the buffer with one packet to spare
    EXPECT_EQ(STATUS_SUCCESS, transfer->Wait());
    EXPECT_EQ(Bytes(256), transfer->Received());
    EXPECT_EQ(64u, device.QueuedInBytes()) << "the packet after a full buffer stays queued";
}

TEST_P(BulkIn, AZeroLengthPacketCompletesWithNoBytes)
{
    auto transfer = client.In(2048);
    device.OfferZeroLengthIn();
    EXPECT_EQ(STATUS_SUCCESS, transfer->Wait());
    EXPECT_EQ(0u, transfer->length());

    device.OfferIn(Bytes(64));
    device.OfferZeroLengthIn();  // ends a transfer of whole packets
    auto next = client.In(2048);
    EXPECT_EQ(STATUS_SUCCESS, next->Wait());
    EXPECT_EQ(Bytes(64), next->Received());
}

TEST_P(BulkIn, DataSplitAcrossTransfersStaysInOrder)
{
    auto first = client.In(128);
    auto second = client.In(128);
    auto third = client.In(128);
    std::vector<UCHAR> offered = Bytes(300);  // 64 64 | 64 64 | 44
    device.OfferIn(offered);
    EXPECT_EQ(STATUS_SUCCESS, first->Wait());
    EXPECT_EQ(STATUS_SUCCESS, second->Wait());
    EXPECT_EQ(STATUS_SUCCESS, third->Wait());
    std::vector<UCHAR> received = first->Received();
    for (auto* transfer : {second.get(), third.get()}) {
        std::vector<UCHAR> more = transfer->Received();
        received.insert(received.end(), more.begin(), more.end());
    }
    EXPECT_EQ(offered, received);
    EXPECT_EQ(44u, third->length());
}

TEST_P(BulkIn, AShortPacketWithoutShortTransferOkIsAnErrorThatKeepsItsBytes)
{
    auto transfer = client.In(2048, USBD_TRANSFER_DIRECTION_IN);
    device.OfferIn(Bytes(70));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, transfer->Wait());
    EXPECT_EQ(USBD_STATUS_ERROR_SHORT_TRANSFER, transfer->usbdStatus());
    EXPECT_EQ(Bytes(70), transfer->Received());

    auto exact = client.In(70, USBD_TRANSFER_DIRECTION_IN);
    device.OfferIn(Bytes(70));
    EXPECT_EQ(STATUS_SUCCESS, exact->Wait()) << "a short packet that fills the buffer is fine";
}

TEST_P(BulkIn, APacketLargerThanTheRoomLeftIsADataOverrun)
{
    auto transfer = client.In(100);
    device.OfferIn(Bytes(128));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, transfer->Wait());
    EXPECT_EQ(USBD_STATUS_DATA_OVERRUN, transfer->usbdStatus());
    EXPECT_EQ(Bytes(100), transfer->Received()) << "the bytes that fitted";
    EXPECT_EQ(0u, device.QueuedInBytes()) << "the babbling packet is gone";
}

TEST_P(BulkIn, BadRequestsFailAtOnceWithInvalidParameter)
{
    auto wrongDirection = client.In(64, USBD_SHORT_TRANSFER_OK);  // OUT flag on the IN pipe
    EXPECT_EQ(STATUS_INVALID_PARAMETER, wrongDirection->Wait());
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, wrongDirection->usbdStatus());

    auto empty = client.In(0);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, empty->Wait());

    BulkTransfer unknownPipe(client.physicalDevice, &client, USBD_TRANSFER_DIRECTION_IN,
                             std::vector<UCHAR>(64), 64);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, unknownPipe.Wait());
    EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, unknownPipe.usbdStatus());
    EXPECT_EQ(0u, device.PendingTransfers(host::Direction::In));
}

INSTANTIATE_TEST_SUITE_P(Bus, BulkIn, testing::Bool(), BusModeName);

TEST(BulkInPacketSizeZero, TheDeviceSendsWhatItHasAsOnePacketThatEndsTheTransfer)
{
    BusClient client(Serial(false, 0));
    ASSERT_EQ(0u, client.inPacketSize);
    auto first = client.In(2048);
    client.device->OfferIn(Bytes(300));
    EXPECT_EQ(STATUS_SUCCESS, first->Wait());
    EXPECT_EQ(Bytes(300), first->Received()) << "one packet, 300 bytes, ending the transfer";
    EXPECT_EQ(0u, client.device->QueuedInBytes());

    client.device->OfferIn(Bytes(5, 7));
    client.device->OfferIn(Bytes(3, 1));
    auto second = client.In(2048);
    EXPECT_EQ(STATUS_SUCCESS, second->Wait());
    EXPECT_EQ(Bytes(5, 7), second->Received()) << "each offer is a packet of its own";
    EXPECT_EQ(3u, client.device->QueuedInBytes());
}

}  // namespace
