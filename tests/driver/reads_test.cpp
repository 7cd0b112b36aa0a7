// Reads as an application sees them: served from the receive buffer at once when bytes are
// there, otherwise waiting for the next bulk-IN transfer or the read total timeout; served in
// arrival order; cancelled by the caller or by a purge without losing buffered bytes.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/data_fixture.h"

using namespace kdxtest;

namespace {

class Reads : public DataPathTest {
protected:
    // A read of 10 bytes from a silent device under `timeouts`, with the pump already
    // running: its result, and the virtual time it took.
    host::IoResult ReadThatWaits(const SERIAL_TIMEOUTS& timeouts, host::Ticks* elapsed)
    {
        WaitForPump();
        SetTimeouts(timeouts);
        host::Ticks start = host.Now();
        host::IoResult result = Read(10);
        *elapsed = host.Now() - start;
        return result;
    }
    // A read of `length` bytes on a silent device under `timeouts`, once the read worker waits
    // for data for it.
    host::OutstandingRequest WaitingRead(const SERIAL_TIMEOUTS& timeouts, ULONG length)
    {
        WaitForPump();
        SetTimeouts(timeouts);
        host::OutstandingRequest read = StartRead(length);
        WaitUntilTheReadWorkerWaits();
        return read;
    }
    // `count` reads of `length` bytes on a silent device: the first waits for data, the
    // others are queued behind it.
    std::vector<host::OutstandingRequest> WaitingReads(size_t count, ULONG length)
    {
        WaitForPump();
        std::vector<host::OutstandingRequest> reads{StartRead(length)};
        WaitForCurrentRead();
        while (reads.size() < count) reads.push_back(StartRead(length));
        return reads;
    }
};

TEST_P(Reads, ThreeBufferedBytesAnswerAReadOfTenAtOnce)
{
    WaitForPump();
    DeviceSends(Pattern(3, 0x10));
    host::OutstandingRequest read = StartRead(10);
    ASSERT_TRUE(read.Completed()) << "the read waited although bytes were buffered";
    host::IoResult result = read.Wait();
    ExpectRead(result, Pattern(3, 0x10));
    EXPECT_EQ(0u, Buffered());
}

// A read of no bytes never waits for data and takes nothing, whether or not bytes are buffered.
TEST_P(Reads, AReadOfNoBytesCompletesAtOnceAndTakesNothing)
{
    WaitForPump();
    host::OutstandingRequest empty = StartRead(0);
    ASSERT_TRUE(empty.Completed()) << "a read of no bytes waited for data";
    ExpectRead(empty.Wait(), {});
    DeviceSends(Pattern(3, 0x10));
    ExpectRead(Read(0), {});
    EXPECT_EQ(3u, Buffered());
}

// The timeouts are those in force when the read is served: a read queued behind the waiting
// one and reached under MAXULONG/0/0 with nothing buffered returns at once too.
TEST_P(Reads, ImmediateReturnTimeoutsAnswerAtOnceWithNothingEvenBehindAWaitingRead)
{
    host::OutstandingRequest waiting = WaitingRead(ReadTimeouts(0, 0, 0), 8);
    host::OutstandingRequest queued = StartRead(8);

    SetTimeouts(ReadTimeouts(MAXULONG, 0, 0));
    host::OutstandingRequest immediate = StartRead(8);
    ASSERT_TRUE(immediate.Completed()) << "an immediate-return read waited";
    host::IoResult result = immediate.Wait();
    EXPECT_EQ(STATUS_SUCCESS, result.status) << Hex(result.status);
    EXPECT_EQ(0u, result.information);

    usb->OfferIn(Pattern(2, 0x30));
    host::IoResult first = waiting.Wait();
    ExpectRead(first, Pattern(2, 0x30));
    EXPECT_TRUE(WaitUntil([&] { return queued.Completed(); }, kSecond))
        << "the queued read waits for data";
    ExpectRead(queued.Wait(), {});
}

TEST_P(Reads, AWaitingReadCompletesAtTheNextBulkInTransferWithWhatArrived)
{
    WaitForPump();
    host::OutstandingRequest read = StartRead(100);
    WaitForCurrentRead();
    EXPECT_FALSE(read.Completed());
    usb->OfferIn(Pattern(5, 0x40));
    host::IoResult result = read.Wait();
    EXPECT_EQ(STATUS_SUCCESS, result.status) << Hex(result.status);
    EXPECT_EQ(Pattern(5, 0x40), result.output) << "fewer bytes than asked, at once";
}

TEST_P(Reads, AZeroLengthPacketCompletesAWaitingReadWithNoBytes)
{
    WaitForPump();
    host::OutstandingRequest read = StartRead(100);
    WaitForCurrentRead();
    usb->OfferZeroLengthIn();
    host::IoResult result = read.Wait();
    EXPECT_EQ(STATUS_SUCCESS, result.status) << Hex(result.status);
    EXPECT_EQ(0u, result.information);
    EXPECT_TRUE(WaitUntil([&] { return PendingIn() == 1; })) << "the pump went on reading";
}

TEST_P(Reads, AReadTakesAtMost4096BytesTheOldestFirstAndTheRestStaysInOrder)
{
    WaitForPump();
    std::vector<UCHAR> sent = Pattern(6144, 7);
    DeviceSends(std::vector<UCHAR>(sent.begin(), sent.begin() + 4096));
    DeviceSends(std::vector<UCHAR>(sent.begin() + 4096, sent.end()));

    host::IoResult first = Read(10000);
    EXPECT_EQ(STATUS_SUCCESS, first.status) << Hex(first.status);
    ASSERT_EQ(4096u, first.output.size());
    EXPECT_TRUE(std::equal(first.output.begin(), first.output.end(), sent.begin()));

    host::IoResult second = Read(10000);
    EXPECT_EQ(STATUS_SUCCESS, second.status) << Hex(second.status);
    ASSERT_EQ(2048u, second.output.size());
    EXPECT_TRUE(std::equal(second.output.begin(), second.output.end(), sent.begin() + 4096));
}

// The pump appends a read's bytes to the receive buffer and delivers them in a second step; a
// read timer that expires between the two finds the bytes buffered. The test appends them as
// the pump does, once the read worker waits, and lets the timer expire.
TEST_P(Reads, AReadThatTimesOutWithBytesBufferedCompletesWithThemAndTimeout)
{
    host::OutstandingRequest read = WaitingRead(ReadTimeouts(0, 0, 2000), 10);
    std::vector<UCHAR> appended = Pattern(5, 0x60);
    AsDriver([&] {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
        memcpy(&extension->ReceiveBuffer[extension->ReceiveCount], appended.data(), 5);
        extension->ReceiveCount += 5;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    });
    host::IoResult result = read.Wait();
    EXPECT_EQ(STATUS_TIMEOUT, result.status) << Hex(result.status);
    EXPECT_EQ(appended, result.output);
    EXPECT_EQ(0u, Buffered());
}

// The read timer's DPC disarms the timer and then, in a second step, delivers the timeout. A
// read that ends by data between the two steps lets the worker make the next read current
// with a timer of its own; the delivery of the earlier expiry must not end that read. The test
// delivers the stale timeout as the DPC's second step does.
TEST_P(Reads, AStaleTimerExpiryDoesNotEndTheNextRead)
{
    host::OutstandingRequest read = WaitingRead(ReadTimeouts(0, 0, 5000), 10);
    AsDriver([&] {
        KIRQL oldIrql;
        KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
        DeliverReceivedData(extension, nullptr, 0, STATUS_TIMEOUT, FALSE);
        KeSetEvent(&extension->ReceiveDeliveredEvent, 1, FALSE);
        KeLowerIrql(oldIrql);
    });
    Settle();
    EXPECT_FALSE(read.Completed()) << "ended by another read's timer: " << Hex(read.Wait().status);

    usb->OfferIn(Pattern(4, 0xE0));
    ExpectRead(read.Wait(), Pattern(4, 0xE0));
}

TEST_P(Reads, WithNoReadTimeoutsAWaitingReadTimesOutAfterSixtySeconds)
{
    host::Ticks elapsed = 0;
    host::IoResult result = ReadThatWaits(ReadTimeouts(0, 0, 0), &elapsed);
    ExpectTimedOutAfter(result, elapsed, 60 * kSecond, 65 * kSecond);
}

TEST_P(Reads, AnIntervalTimeoutOfTwentyAloneEndsAWaitingReadAfterAbout100Ms)
{
    host::Ticks elapsed = 0;
    host::IoResult result = ReadThatWaits(ReadTimeouts(20, 0, 0), &elapsed);
    ExpectTimedOutAfter(result, elapsed, 100 * kMillisecond, kSecond);
}

TEST_P(Reads, ReadsCompleteInTheOrderTheyArrived)
{
    std::vector<host::OutstandingRequest> reads = WaitingReads(3, 4);
    usb->OfferIn(Pattern(8, 0x70));
    host::IoResult a = reads[0].Wait();
    host::IoResult b = reads[1].Wait();
    EXPECT_EQ(Pattern(4, 0x70), a.output) << Hex(a.status);
    EXPECT_EQ(Pattern(4, 0x74), b.output) << Hex(b.status);
    EXPECT_FALSE(reads[2].Completed()) << "the third read had nothing left to take";

    WaitForCurrentRead();
    usb->OfferIn(Pattern(3, 0x78));
    host::IoResult c = reads[2].Wait();
    EXPECT_EQ(Pattern(3, 0x78), c.output) << Hex(c.status);
}

TEST_P(Reads, ACancelledReadEndsCancelledAndTheBytesAfterItGoToTheNextRead)
{
    WaitForPump();
    host::OutstandingRequest read = StartRead(10);
    WaitForCurrentRead();
    EXPECT_TRUE(read.Cancel());
    host::IoResult cancelled = read.Wait();
    EXPECT_EQ(STATUS_CANCELLED, cancelled.status) << Hex(cancelled.status);
    EXPECT_EQ(0u, cancelled.information);

    DeviceSends(Pattern(5, 0x80));
    host::IoResult next = Read(10);
    ExpectRead(next, Pattern(5, 0x80));
}

TEST_P(Reads, APurgeCancelsTheQueuedReadsButNotTheOneWaitingForData)
{
    std::vector<host::OutstandingRequest> reads = WaitingReads(3, 10);
    EXPECT_EQ(STATUS_SUCCESS, Purge(SERIAL_PURGE_RXCLEAR));
    Settle();
    EXPECT_FALSE(reads[0].Completed()) << "the purge ended the read that waits for data";

    usb->OfferIn(Pattern(3, 0x90));
    ExpectRead(reads[0].Wait(), Pattern(3, 0x90));
    for (size_t queued = 1; queued < reads.size(); queued++) {
        host::IoResult result = reads[queued].Wait();
        EXPECT_EQ(STATUS_CANCELLED, result.status) << Hex(result.status);
        EXPECT_EQ(0u, result.information);
    }
}

TEST_P(Reads, AReadCancelledWhileQueuedEndsOnlyWhenTheWorkerReachesIt)
{
    std::vector<host::OutstandingRequest> reads = WaitingReads(2, 4);
    EXPECT_FALSE(reads[1].Cancel()) << "a queued read has no cancel routine";
    Settle();
    EXPECT_FALSE(reads[1].Completed()) << "the cancelled read overtook the one in front of it";

    usb->OfferIn(Pattern(6, 0xB0));
    ExpectRead(reads[0].Wait(), Pattern(4, 0xB0));
    host::IoResult cancelled = reads[1].Wait();
    EXPECT_EQ(STATUS_CANCELLED, cancelled.status) << Hex(cancelled.status);
    EXPECT_EQ(0u, cancelled.information);
    ExpectRead(Read(10), Pattern(2, 0xB4));
}

TEST_P(Reads, APurgeOfTheReceiveBufferDiscardsWhatWasBuffered)
{
    WaitForPump();
    DeviceSends(Pattern(5, 0xC0));
    EXPECT_EQ(STATUS_SUCCESS, Purge(SERIAL_PURGE_RXABORT));
    EXPECT_EQ(0u, Buffered());
    SetTimeouts(ReadTimeouts(0, 0, 100));
    host::IoResult empty = Read(10);
    EXPECT_EQ(STATUS_TIMEOUT, empty.status) << Hex(empty.status);
    EXPECT_EQ(0u, empty.information);

    DeviceSends(Pattern(3, 0xD0));
    ExpectRead(Read(10), Pattern(3, 0xD0));
}

// A failed bulk-IN read that the pump goes on from (a data overrun: nothing to repair) brings
// no bytes: the read that waits for data stays waiting, and the next delivery ends it.
TEST_P(Reads, AReadWaitingThroughAFailedBulkInReadGetsTheNextDelivery)
{
    host::OutstandingRequest read = WaitingRead(ReadTimeouts(0, 0, 0), 10);
    PIRP waiting = CurrentRead();
    usb->FailNext(host::Direction::In, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN);
    ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 0; })) << "the IN read did not fail";
    ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 1; })) << "the pump did not go on";
    Settle();
    EXPECT_FALSE(read.Completed()) << "ended by the failed read: " << Hex(read.Wait().status);
    EXPECT_EQ(waiting, CurrentRead()) << "the read no longer waits for data";

    usb->OfferIn(Pattern(4, 0x21));
    ExpectRead(read.Wait(), Pattern(4, 0x21));
}

// A bulk-IN read that fails with a status the pump cannot go on from ends the pump; the read
// then waiting ends with it. The device is still there, so the next read that has to wait
// starts the pump again and gets the bytes the device sends next.
TEST_P(Reads, AfterThePumpEndedOnItsOwnTheNextWaitingReadStartsItAgain)
{
    host::OutstandingRequest read = WaitingRead(ReadTimeouts(0, 0, 0), 10);
    usb->FailNext(host::Direction::In, 1, STATUS_INVALID_DEVICE_REQUEST,
                  USBD_STATUS_INVALID_PARAMETER);
    host::IoResult ended = read.Wait();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, ended.status) << Hex(ended.status);
    EXPECT_EQ(0u, ended.information);
    ASSERT_TRUE(WaitUntil([&] { return !ReceivePumpRunning(extension); })) << "the pump runs on";

    host::OutstandingRequest next = StartRead(4);
    ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 1; })) << "the pump was not started again";
    usb->OfferIn(Pattern(4, 0x31));
    ExpectRead(next.Wait(), Pattern(4, 0x31));
}

// A read that a failed bulk-IN read left current is cancelled; the read queued behind it then
// waits for data, and the cancel of the first must not have cleared it: it gets the bytes.
TEST_P(Reads, CancellingAReadLeftCurrentByAFailedInReadLeavesTheNextReadWaiting)
{
    std::vector<host::OutstandingRequest> reads = WaitingReads(2, 10);
    PIRP first = CurrentRead();
    usb->FailNext(host::Direction::In, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN);
    ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 0; })) << "the IN read did not fail";
    ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 1; })) << "the pump did not go on";
    ASSERT_EQ(first, CurrentRead()) << "the failed read ended the read that waited";

    EXPECT_TRUE(reads[0].Cancel());
    host::IoResult cancelled = reads[0].Wait();
    EXPECT_EQ(STATUS_CANCELLED, cancelled.status) << Hex(cancelled.status);
    ASSERT_TRUE(WaitUntil([&] { return CurrentRead() != nullptr && CurrentRead() != first; }))
        << "the queued read did not become the one that waits for data";
    Settle();

    usb->OfferIn(Pattern(3, 0x51));
    ExpectRead(reads[1].Wait(), Pattern(3, 0x51));
}

KDX_FOR_BOTH_BUS_MODES(Reads);

struct TimeoutRow {
    ULONG interval, multiplier, constant, length, milliseconds;
};

TEST(ReadTotalTimeout, FollowsTheTableWithWrapAndTheFullRequestedLength)
{
    const TimeoutRow rows[] = {
        {0, 0, 0, 10, 60000},
        {MAXULONG, 0, 0, 10, 60000},
        {0, 10, 100, 50, 600},
        {20, 0, 0, 10, 100},
        {5, 2, 0, 10, 100},  // 70, raised to the floor
        {50, 10, 1000, 100, 7000},
        {0, 1000, 0, 4096, 60000},
        {0, 10, 0, 5000, 50000},                    // the length is not capped at 4096
        {0, 0x10000, 0, 0x10000, 60000},            // 2^32 wraps to 0, the default
        {0, 1, 200, MAXULONG, 199},                 // MAXULONG + 200 wraps to 199
        {MAXULONG, MAXULONG, MAXULONG, 10, 60000},  // every term absent
        {100, 0, 0, 10, 100},                       // the interval counts once, not per byte
    };
    for (const TimeoutRow& row : rows) {
        SERIAL_TIMEOUTS timeouts = ReadTimeouts(row.interval, row.multiplier, row.constant);
        EXPECT_EQ(row.milliseconds, ReadTotalTimeout(&timeouts, row.length))
            << "interval " << row.interval << " multiplier " << row.multiplier << " constant "
            << row.constant << " length " << row.length;
    }
}

// A delivery that finds the waiting read being cancelled (the I/O manager has taken its cancel
// routine and not yet called it) leaves its bytes buffered: the cancel ends the read empty and
// the next read gets them. The test cancels as the I/O manager does, with the device's bytes
// arriving between its two steps.
TEST_P(Reads, BytesArrivingWhileTheWaitingReadIsBeingCancelledGoToTheNextRead)
{
    host::OutstandingRequest read = WaitingRead(ReadTimeouts(0, 0, 0), 10);
    PIRP irp = CurrentRead();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL cancel = IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    ASSERT_NE(nullptr, cancel) << "the waiting read has no cancel routine";

    usb->OfferIn(Pattern(5, 0x31));
    ASSERT_TRUE(WaitUntil([&] { return Stats().ReceivedCount == 5 && PendingIn() == 1; }))
        << "the pump did not deliver the bytes";
    EXPECT_EQ(5u, Buffered()) << "the bytes went with the read being cancelled";

    IoAcquireCancelSpinLock(&irql);
    irp->CancelIrql = irql;
    {
        host::DriverContext asDriver(host.driver());
        cancel(plugged.functionDevice, irp);
    }
    host::IoResult cancelled = read.Wait();
    EXPECT_EQ(STATUS_CANCELLED, cancelled.status) << Hex(cancelled.status);
    EXPECT_EQ(0u, cancelled.information);
    ExpectRead(Read(10), Pattern(5, 0x31));
}

// A read queued before the read worker has taken it stays ahead of a later read: bytes that
// arrive between the two go to the first, not at once to the later one. Only a worker that
// starts late shows it, so every seed of the schedule explorer runs it; the bytes are appended
// as the pump does, from the test's thread, so that the pump's own thread need not run.
TEST(ReadsUnderTheExplorer, AReadQueuedBeforeTheWorkerTookItIsNotOvertaken)
{
    std::vector<uint64_t> overtaken = CountPerSeed(150, kNumberedProduct, {}, [](SeededPort& port) {
        host::Application& app = port.host.app();
        EXPECT_EQ(STATUS_SUCCESS, app.Write(port.handle, {0x55}).status) << "starts the pump";
        while (port.usb.PendingTransfers(host::Direction::In) != 1) port.host.Sleep(10000);
        host::OutstandingRequest first = app.StartRead(port.handle, 4);
        host::CallAsDriver(port.host.driver(), "append", [&] {
            KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port.extension->DeviceLock);
            memcpy(&port.extension->ReceiveBuffer[port.extension->ReceiveCount], "abcd", 4);
            port.extension->ReceiveCount += 4;
            KeReleaseSpinLock(&port.extension->DeviceLock, irql);
        });
        host::OutstandingRequest second = app.StartRead(port.handle, 4);
        uint64_t count = second.Completed() && !first.Completed() ? 1 : 0;
        port.usb.OfferIn(Pattern(4));
        EXPECT_EQ(STATUS_SUCCESS, first.Wait().status);
        EXPECT_EQ(STATUS_SUCCESS, second.Wait().status);
        return count;
    });
    printf("a later read overtook a queued one under %s\n", Histogram(overtaken).c_str());
    EXPECT_EQ(overtaken.size(), size_t(std::count(overtaken.begin(), overtaken.end(), 0)))
        << Histogram(overtaken);
}

}  // namespace
