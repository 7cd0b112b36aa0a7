// The bus-time model in virtual time: a transfer completes at the end of the frame that carries
// its last packet; a frame carries at most 13 bulk packets of 512 bytes every 125 us on a
// high-speed bus and 19 of 64 bytes every millisecond on a full-speed bus, shared by both
// directions; a transfer in flight can still be cancelled.
#include <gtest/gtest.h>

#include "support/bus_client.h"

using namespace hosttest;

namespace {

constexpr host::Ticks kMicroframe = 1250;  // 125 us
constexpr host::Ticks kFrame = host::kTicksPerMillisecond;

host::DeviceModel Timed(host::BusSpeed speed, bool echo = false)
{
    host::DeviceModel model = Serial(false);
    model.busSpeed = speed;
    model.echo = echo;
    return model;
}

class BusTime : public testing::Test {
protected:
    // The end of the frame holding `time`, plus `more` frames.
    static host::Ticks FrameEnd(host::Ticks time, host::Ticks frame, int more = 0)
    {
        return (time / frame + 1 + more) * frame;
    }
};

TEST_F(BusTime, HighSpeedTransfersEndWithTheMicroframeOfTheirLastPacket)
{
    BusClient client(Timed(host::BusSpeed::High));
    EXPECT_EQ(512, client.inPacketSize) << "a high-speed bulk endpoint";
    struct Case {
        size_t bytes;
        int extraFrames;
    } cases[] = {{0, 0}, {1, 0}, {2048, 0}, {13 * 512, 0}, {13 * 512 + 1, 1}, {40 * 512, 3}};
    for (const Case& c : cases) {
        client.host.Sleep(kMicroframe);  // a fresh microframe
        host::Ticks start = client.host.Now();
        auto transfer = client.Out(Bytes(c.bytes));
        EXPECT_EQ(STATUS_PENDING, transfer->returned) << c.bytes << " bytes";
        EXPECT_EQ(STATUS_SUCCESS, transfer->Wait()) << c.bytes << " bytes";
        EXPECT_EQ(FrameEnd(start, kMicroframe, c.extraFrames), transfer->completedAt)
            << c.bytes << " bytes submitted at " << start;
        EXPECT_EQ(DISPATCH_LEVEL, transfer->completionIrql);
    }
}

TEST_F(BusTime, FullSpeedTransfersEndWithTheFrameOfTheirLastPacket)
{
    BusClient client(Timed(host::BusSpeed::Full));
    EXPECT_EQ(64, client.inPacketSize);
    struct Case {
        size_t bytes;
        int extraFrames;
    } cases[] = {{1, 0}, {19 * 64, 0}, {2048, 1}, {4096, 3}};
    for (const Case& c : cases) {
        client.host.Sleep(kFrame);
        host::Ticks start = client.host.Now();
        auto transfer = client.Out(Bytes(c.bytes));
        EXPECT_EQ(STATUS_SUCCESS, transfer->Wait()) << c.bytes << " bytes";
        EXPECT_EQ(FrameEnd(start, kFrame, c.extraFrames), transfer->completedAt)
            << c.bytes << " bytes submitted at " << start;
    }
}

TEST_F(BusTime, BothDirectionsShareEachFramesPackets)
{
    BusClient client(Timed(host::BusSpeed::High));
    client.host.Sleep(kMicroframe);
    host::Ticks start = client.host.Now();
    client.device->OfferIn(Bytes(4096));  // 8 packets
    auto out = client.Out(Bytes(4096));   // 8 packets: all in the first microframe
    auto in = client.In(4096);            // 5 packets left there, 3 in the next
    EXPECT_EQ(STATUS_SUCCESS, out->Wait());
    EXPECT_EQ(STATUS_SUCCESS, in->Wait());
    EXPECT_EQ(FrameEnd(start, kMicroframe), out->completedAt);
    EXPECT_EQ(FrameEnd(start, kMicroframe, 1), in->completedAt);
    EXPECT_EQ(Bytes(4096), in->Received());
}

TEST_F(BusTime, AnEchoRoundTripTakesTwoMicroframesForTwoKilobytes)
{
    BusClient client(Timed(host::BusSpeed::High, true));
    client.host.Sleep(kMicroframe);
    host::Ticks start = client.host.Now();
    auto in = client.In(2048);
    auto out = client.Out(Bytes(2048, 9));
    EXPECT_EQ(STATUS_SUCCESS, in->Wait());
    EXPECT_EQ(FrameEnd(start, kMicroframe), out->completedAt) << "the OUT leg";
    EXPECT_EQ(FrameEnd(start, kMicroframe, 1), in->completedAt)
        << "the echo starts when the OUT transfer has arrived";
    EXPECT_EQ(Bytes(2048, 9), in->Received());
}

TEST_F(BusTime, ATransferInFlightCanBeCancelled)
{
    BusClient client(Timed(host::BusSpeed::Full));
    auto out = client.Out(Bytes(4096));  // four frames
    EXPECT_EQ(1u, client.device->PendingTransfers(host::Direction::Out));
    EXPECT_TRUE(IoCancelIrp(out->irp));
    EXPECT_EQ(STATUS_CANCELLED, out->Wait());
    EXPECT_EQ(USBD_STATUS_CANCELED, out->usbdStatus());
    EXPECT_TRUE(client.device->TakeOutTransfers().empty()) << "it never arrived";
    auto next = client.Out(Bytes(1));
    EXPECT_EQ(STATUS_SUCCESS, next->Wait()) << "the timer goes on serving the bus";
}

}  // namespace
