// The receive pump as the device sees it: one bulk-IN read in flight from the open on, whether
// or not the port is read or written, and back-pressure once more than 4096 bytes wait in the
// receive buffer.
#include <gtest/gtest.h>

#include "support/data_fixture.h"

using namespace kdxtest;

namespace {

class ReceivePump : public DataPathTest {};

// A device that speaks first (a sensor, a logger): what it sends after the open waits in the
// receive buffer, in order, for a program that has neither read nor written yet.
TEST_P(ReceivePump, TheOpenStartsThePumpAndKeepsWhatTheDeviceSendsBeforeAnyRead)
{
    ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 1; })) << "no bulk-IN read after the open";
    DeviceSends(Pattern(5, 0x40));
    DeviceSends(Pattern(3, 0x60));
    Settle(5 * kSecond);
    EXPECT_EQ(8u, Buffered());
    EXPECT_EQ(1u, PendingIn()) << "the pump reads on";
    std::vector<UCHAR> sent = Pattern(5, 0x40);
    std::vector<UCHAR> second = Pattern(3, 0x60);
    sent.insert(sent.end(), second.begin(), second.end());
    EXPECT_EQ(sent, Read(20).output);
}

TEST_P(ReceivePump, WritesAndReadsKeepTheOnePumpOfTheOpen)
{
    EXPECT_EQ(STATUS_SUCCESS, Write({}).status);
    EXPECT_EQ(STATUS_SUCCESS, Write(Pattern(3)).status);
    ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 1; })) << "the pump of the open reads on";
    DeviceSends(Pattern(9, 0x20));
    EXPECT_EQ(9u, Stats().ReceivedCount) << "bytes count as received once delivered";
    EXPECT_EQ(Pattern(9, 0x20), Read(20).output);
}

TEST_P(ReceivePump, AWaitingReadGetsWhatThePumpFetchesNext)
{
    host::OutstandingRequest read = StartRead(10);
    ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 1; })) << "no bulk-IN read in flight";
    usb->OfferIn(Pattern(4, 0x30));
    EXPECT_EQ(Pattern(4, 0x30), read.Wait().output);
}

TEST_P(ReceivePump, ItStillReadsAt4096BufferedBytesAndWaitsAbove4096UntilAReadMakesRoom)
{
    WaitForPump();
    std::vector<UCHAR> sent = Pattern(4097, 1);
    DeviceSends(std::vector<UCHAR>(sent.begin(), sent.begin() + 4096));
    ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 1; })) << "no read at 4096 bytes";

    DeviceSends(std::vector<UCHAR>(sent.begin() + 4096, sent.end()));
    Settle(2 * kSecond);
    EXPECT_EQ(0u, PendingIn()) << "the pump read on with 4097 bytes buffered";
    usb->OfferIn(Pattern(5, 0x77));
    Settle();
    EXPECT_EQ(4097u, Buffered()) << "bytes came in while the buffer was full";

    host::IoResult first = Read(1);
    EXPECT_EQ(std::vector<UCHAR>{sent[0]}, first.output);
    ASSERT_TRUE(WaitUntil([&] { return Buffered() == 4101; }))
        << "the pump did not resume once a read made room: " << Buffered() << " bytes";

    std::vector<UCHAR> rest(sent.begin() + 1, sent.end());
    std::vector<UCHAR> tail = Pattern(5, 0x77);
    rest.insert(rest.end(), tail.begin(), tail.end());
    std::vector<UCHAR> got;
    while (got.size() < rest.size()) {
        host::IoResult result = Read(4096);
        ASSERT_EQ(STATUS_SUCCESS, result.status) << Hex(result.status);
        got.insert(got.end(), result.output.begin(), result.output.end());
    }
    EXPECT_EQ(rest, got);
}

TEST_P(ReceivePump, ClosingThePortEndsTheReadOfADeviceThatSendsNothing)
{
    WaitForPump();
    Settle(5 * kSecond);
    EXPECT_EQ(1u, PendingIn()) << "the read of a silent device stays in flight";
    EXPECT_EQ(STATUS_SUCCESS, app().Close(handle));
    handle = nullptr;
    EXPECT_EQ(0u, PendingIn()) << "the close left the bulk-IN read with the bus";
    EXPECT_FALSE(ReceivePumpRunning(extension));
    EXPECT_EQ(0u, app().OutstandingCount());
}

TEST_P(ReceivePump, ACloseWaitsForThePumpsItemStillQueuedAndTheReopenedPortPumpsAgain)
{
    host.deferred().SetDelayedWorkStartDelay(3 * kSecond);
    // The write's worker queues the pump and gives up waiting for its start after 2 s.
    EXPECT_EQ(STATUS_SUCCESS, Write(Pattern(3)).status);
    host.deferred().SetDelayedWorkStartDelay(0);
    EXPECT_EQ(STATUS_SUCCESS, app().Close(handle));
    handle = nullptr;
    EXPECT_FALSE(WorkItemQueued(extension->ReceivePumpWorkQueueItem))
        << "the closed port's pump is still queued";

    host::OpenResult reopened = app().Open(u"VLT0");
    ASSERT_EQ(STATUS_SUCCESS, reopened.status);
    handle = reopened.handle;
    EXPECT_EQ(STATUS_SUCCESS, Write(Pattern(3)).status);
    ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 1; })) << "no bulk-IN read in flight";
    DeviceSends(Pattern(5, 0x40));
    EXPECT_EQ(Pattern(5, 0x40), Read(5).output);
}

KDX_FOR_BOTH_BUS_MODES(ReceivePump);

}  // namespace
