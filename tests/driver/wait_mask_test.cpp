// Wait-on-mask: the events that complete a pending wait (received bytes, finished writes, read
// timeouts, the pump's end), when they are reported (at once on product 0x005B, 2 ms later on
// others, merged meanwhile; events with no wait pending to the next wait at once, those of the
// mask in force only), and the ways a wait ends otherwise: a new mask, a cancel, the handle's
// cleanup and close.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/port_fixture.h"

using namespace kdxtest;

namespace {

constexpr ULONG kNoWaitCompletes = 100;  // ms a wait is given to show that it stays pending

class WaitMaskTest : public PortTest {
protected:
    // The mask a completed wait reports; the wait must have succeeded with Information 4.
    ULONG Delivered(host::OutstandingRequest& wait, const char* what)
    {
        host::IoResult result = wait.Wait();
        EXPECT_EQ(STATUS_SUCCESS, result.status) << what;
        EXPECT_EQ(sizeof(ULONG), result.information) << what;
        return result.output.size() == sizeof(ULONG) ? As<ULONG>(result) : 0;
    }
    bool StaysPending(host::OutstandingRequest& wait)
    {
        host.Sleep(host::Milliseconds(kNoWaitCompletes));
        return !wait.Completed();
    }
    // Delivered, for a wait that must complete with no further event: within the time a wait
    // is given (the schedule explorer may hold a runnable thread longer; then it waits).
    ULONG DeliveredSoon(host::OutstandingRequest& wait, const char* what)
    {
        if (!host::Scheduler::Instance().exploring() && StaysPending(wait)) {
            ADD_FAILURE() << what << ": the wait stays pending";
            return 0;
        }
        return Delivered(wait, what);
    }
    // Opens the port with a wait pending for `mask` and a read that waits for data.
    struct Pending {
        host::OutstandingRequest wait;
        host::OutstandingRequest read;
    };
    Pending WaitWithAReadPending(USHORT product, ULONG mask)
    {
        OpenPort(product);
        SetWaitMask(portHandle, mask);
        Pending pending;
        pending.wait = StartWait(portHandle);
        pending.read = app().StartRead(portHandle, 16);
        EXPECT_TRUE(WaitUntilTheReadWaits()) << "the read waits for data";
        return pending;
    }
    void ExpectCancelled(host::OutstandingRequest& wait, const char* what)
    {
        host::IoResult result = wait.Wait();
        EXPECT_EQ(STATUS_CANCELLED, result.status) << what;
        EXPECT_EQ(0u, result.information) << what;
    }
};

TEST_P(WaitMaskTest, ReceivedBytesCompleteAnRxcharWaitOnTheNumberedProductAtOnce)
{
    auto [wait, read] = WaitWithAReadPending(kNumberedProduct, SERIAL_EV_RXCHAR);
    EXPECT_FALSE(wait.Completed()) << "before any byte arrived";

    Device().OfferIn({1, 2, 3, 4, 5});
    host::IoResult received = read.Wait();
    EXPECT_EQ(5u, received.information);
    EXPECT_TRUE(wait.Completed()) << "completed before the read that took the bytes";
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), Delivered(wait, "after 5 bytes"));
}

TEST_P(WaitMaskTest, ReceivedBytesCompleteAnRxcharWaitOnOtherProductsTwoMillisecondsLater)
{
    auto [wait, read] = WaitWithAReadPending(kOtherProduct, SERIAL_EV_RXCHAR);

    host::Ticks arrival = host.Now();
    Device().OfferIn({1, 2, 3, 4, 5});
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), Delivered(wait, "after 5 bytes"));
    EXPECT_GE(host.Now() - arrival, host::Milliseconds(2)) << "completed 2 ms after the delivery";
    EXPECT_EQ(5u, read.Wait().information);
}

// A serial event loop reads between its waits, and a program may write before it waits for
// SERIAL_EV_TXEMPTY: events that occur with no wait pending are kept for the next wait, which
// reports them at once (before its request returns on product 0x005B, 2 ms later on others)
// and clears them.
TEST_P(WaitMaskTest, EventsThatOccurredWithNoWaitPendingCompleteTheNextWaitAtOnce)
{
    for (USHORT product : {kNumberedProduct, kOtherProduct}) {
        SCOPED_TRACE("product " + Hex(product));
        OpenPort(product);
        SetWaitMask(portHandle, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
        EXPECT_EQ(STATUS_SUCCESS, app().Write(portHandle, {0x55}).status);  // TXEMPTY
        Receive(portHandle, {7}, 1);

        host::Ticks asked = host.Now();
        host::OutstandingRequest wait = StartWait(portHandle);
        if (product == kNumberedProduct) {
            EXPECT_TRUE(wait.Completed()) << "completed within its request";
        } else if (!host::Scheduler::Instance().exploring()) {
            EXPECT_FALSE(wait.Completed()) << "completed by the work item, not the request";
        }
        EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY),
                  DeliveredSoon(wait, "events from before the wait"));
        if (product == kOtherProduct) {
            EXPECT_GE(host.Now() - asked, host::Milliseconds(2)) << "completed 2 ms later";
        }

        wait = StartWait(portHandle);
        EXPECT_TRUE(StaysPending(wait)) << "the events reported are cleared";
        ClosePort();
    }
}

// A new mask keeps of the events that occurred only those it holds.
TEST_P(WaitMaskTest, ANewMaskKeepsOnlyTheEventsThatItHolds)
{
    OpenPort(kNumberedProduct);
    WaitForReceivePump();
    SetWaitMask(portHandle, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    EXPECT_EQ(STATUS_SUCCESS, app().Write(portHandle, {9}).status);
    Receive(portHandle, {7, 8}, 2);

    SetWaitMask(portHandle, SERIAL_EV_RXCHAR | SERIAL_EV_ERR);
    host::OutstandingRequest wait = StartWait(portHandle);
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), DeliveredSoon(wait, "the event that both masks hold"));

    Receive(portHandle, {1}, 1);
    SetWaitMask(portHandle, SERIAL_EV_TXEMPTY);
    wait = StartWait(portHandle);
    EXPECT_TRUE(StaysPending(wait)) << "an event that only the old mask holds";
}

TEST_P(WaitMaskTest, EveryFinishedWriteRaisesTxemptyAlsoAFailedOrTimedOutOne)
{
    for (USHORT product : {kNumberedProduct, kOtherProduct}) {
        SCOPED_TRACE("product " + Hex(product));
        OpenPort(product);
        SetTimeouts(portHandle, Timeouts(0, 0, 0, 0, 200));
        SetWaitMask(portHandle, SERIAL_EV_TXEMPTY);

        host::OutstandingRequest wait = StartWait(portHandle);
        EXPECT_EQ(STATUS_SUCCESS, app().Write(portHandle, {1, 2, 3}).status);
        EXPECT_EQ(ULONG(SERIAL_EV_TXEMPTY), Delivered(wait, "after a write"));

        wait = StartWait(portHandle);
        EXPECT_EQ(STATUS_SUCCESS, app().Write(portHandle, {}).status);
        EXPECT_EQ(ULONG(SERIAL_EV_TXEMPTY), Delivered(wait, "after an empty write"));

        wait = StartWait(portHandle);
        Device().HoldOut(true);
        host::IoResult timedOut = app().Write(portHandle, {4, 5});
        Device().HoldOut(false);
        EXPECT_EQ(STATUS_TIMEOUT, timedOut.status) << "a write the device never took";
        EXPECT_EQ(ULONG(SERIAL_EV_TXEMPTY), Delivered(wait, "after a timed-out write"));

        SetWaitMask(portHandle, SERIAL_EV_TXEMPTY | SERIAL_EV_ERR);
        wait = StartWait(portHandle);
        Device().FailNext(host::Direction::Out, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN);
        EXPECT_FALSE(NT_SUCCESS(app().Write(portHandle, {6}).status)) << "a failed write";
        EXPECT_EQ(ULONG(SERIAL_EV_TXEMPTY | SERIAL_EV_ERR),
                  Delivered(wait, "after a failed write"));
        ClosePort();
    }
}

TEST_P(WaitMaskTest, AFailedWriteRaisesErrAlsoWithoutTxemptyInTheMask)
{
    OpenPort(kOtherProduct);
    SetWaitMask(portHandle, SERIAL_EV_ERR);
    host::OutstandingRequest wait = StartWait(portHandle);
    EXPECT_EQ(STATUS_SUCCESS, app().Write(portHandle, {1}).status);
    EXPECT_TRUE(StaysPending(wait)) << "a successful write raises no ERR";
    Device().FailNext(host::Direction::Out, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, app().Write(portHandle, {2}).status);
    EXPECT_EQ(ULONG(SERIAL_EV_ERR), Delivered(wait, "after a failed write"));

    SetTimeouts(portHandle, Timeouts(0, 0, 0, 0, 200));
    wait = StartWait(portHandle);
    Device().HoldOut(true);
    EXPECT_EQ(STATUS_TIMEOUT, app().Write(portHandle, {3}).status);
    Device().HoldOut(false);
    ASSERT_TRUE(WaitUntil([&] { return wait.Completed(); })) << "a timed-out write raised no ERR";
    EXPECT_EQ(ULONG(SERIAL_EV_ERR), Delivered(wait, "after a timed-out write"));
}

// A write cancelled while it waits behind another is completed as cancelled and raises no
// event: the next wait reports only the byte that arrives after it.
TEST_P(WaitMaskTest, AWriteCompletedAsCancelledRaisesNoTxempty)
{
    for (USHORT product : {kNumberedProduct, kOtherProduct}) {
        SCOPED_TRACE("product " + Hex(product));
        OpenPort(product);
        SetWaitMask(portHandle, SERIAL_EV_TXEMPTY | SERIAL_EV_RXCHAR);
        Device().HoldOut(true);
        host::OutstandingRequest first = app().StartWrite(portHandle, {1});
        ASSERT_TRUE(WaitForTransfers(host::Direction::Out, 1));
        host::OutstandingRequest second = app().StartWrite(portHandle, {2});
        second.Cancel();  // queued: no cancel routine, the worker sees the request cancelled

        host::OutstandingRequest wait = StartWait(portHandle);
        Device().HoldOut(false);
        EXPECT_EQ(STATUS_SUCCESS, first.Wait().status);
        EXPECT_EQ(STATUS_CANCELLED, second.Wait().status);
        EXPECT_EQ(ULONG(SERIAL_EV_TXEMPTY), Delivered(wait, "after the first write"));

        wait = StartWait(portHandle);
        ASSERT_TRUE(WaitForTransfers(host::Direction::In, 1)) << "the pump's bulk-IN read";
        Device().OfferIn({3});
        EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), Delivered(wait, "after the cancelled write and a byte"));
        ClosePort();
    }
}

TEST_P(WaitMaskTest, AReadThatTimesOutRaisesErr)
{
    OpenPort(kOtherProduct);
    SetTimeouts(portHandle, Timeouts(0, 0, 200));
    SetWaitMask(portHandle, SERIAL_EV_ERR);
    host::OutstandingRequest wait = StartWait(portHandle);
    host::IoResult read = app().Read(portHandle, 10);
    EXPECT_EQ(STATUS_TIMEOUT, read.status);
    EXPECT_EQ(0u, read.information);
    EXPECT_EQ(ULONG(SERIAL_EV_ERR), Delivered(wait, "after the read timeout"));
}

TEST_P(WaitMaskTest, AFailedBulkInReadRaisesErr)
{
    for (USHORT product : {kNumberedProduct, kOtherProduct}) {
        SCOPED_TRACE("product " + Hex(product));
        OpenPort(product);
        WaitForReceivePump();
        SetWaitMask(portHandle, SERIAL_EV_ERR | SERIAL_EV_RXCHAR);
        host::OutstandingRequest wait = StartWait(portHandle);
        Device().FailNext(host::Direction::In, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN);
        EXPECT_EQ(ULONG(SERIAL_EV_ERR), Delivered(wait, "after a failed bulk-IN read"));

        wait = StartWait(portHandle);
        Device().OfferIn({1});
        EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), Delivered(wait, "the pump reads on"));
        ClosePort();
    }
}

// A program changes its mask to release the thread that waits: any new mask, 0 or not, ends a
// pending wait as cancelled.
TEST_P(WaitMaskTest, AnyNewMaskEndsAPendingWaitAsCancelled)
{
    OpenPort(kNumberedProduct);
    for (ULONG next : {ULONG(SERIAL_EV_TXEMPTY), ULONG(0)}) {
        SCOPED_TRACE("new mask " + Hex(next));
        SetWaitMask(portHandle, SERIAL_EV_RXCHAR);
        host::OutstandingRequest wait = StartWait(portHandle);
        host::IoResult set = Control(portHandle, IOCTL_SERIAL_SET_WAIT_MASK, Bytes(next));
        EXPECT_EQ(STATUS_SUCCESS, set.status);
        EXPECT_EQ(4u, set.information);
        ASSERT_TRUE(wait.Completed()) << "the wait stays pending";
        ExpectCancelled(wait, "after the new mask");
    }
}

TEST_P(WaitMaskTest, ASecondWaitAndAWaitWithAnEmptyMaskAreInvalidAndLeaveThePendingOne)
{
    OpenPort(kOtherProduct);
    host::IoResult empty = Control(portHandle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, empty.status) << "the mask is 0 after the open";
    EXPECT_EQ(0u, empty.information);

    SetWaitMask(portHandle, SERIAL_EV_RXCHAR);
    host::OutstandingRequest wait = StartWait(portHandle);
    host::IoResult second = Control(portHandle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, second.status) << "a second wait";
    EXPECT_FALSE(wait.Completed()) << "the first wait is not disturbed";

    WaitForReceivePump();
    Device().OfferIn({1});
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), Delivered(wait, "the first wait"));
}

// Two deliveries before the 2 ms completion of a non-0x005B wait are reported together. Time
// cannot pass between them in the ordinary mode; under the schedule explorer the clock may
// jump past the 2 ms, and the second delivery's events then reach the next wait.
TEST_P(WaitMaskTest, DeliveriesWithinTheTwoMillisecondsAreReportedTogether)
{
    auto [wait, read] = WaitWithAReadPending(kOtherProduct, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);

    Device().OfferIn({1});
    EXPECT_EQ(1u, read.Wait().information);
    EXPECT_EQ(STATUS_SUCCESS, app().Write(portHandle, {2}).status);
    ULONG first = Delivered(wait, "after a byte and a write");
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), first & SERIAL_EV_RXCHAR) << "the first delivery's event";
    if (!host::Scheduler::Instance().exploring()) {
        EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY), first) << "merged";
    }
    if ((first & SERIAL_EV_TXEMPTY) == 0) {
        wait = StartWait(portHandle);
        EXPECT_EQ(ULONG(SERIAL_EV_TXEMPTY), Delivered(wait, "the write's event, not lost"));
    }
}

TEST_P(WaitMaskTest, ACancelledWaitCompletesCancelledOnceAndMakesRoomForTheNext)
{
    OpenPort(kNumberedProduct);
    SetWaitMask(portHandle, SERIAL_EV_RXCHAR);
    host::OutstandingRequest wait = StartWait(portHandle);
    EXPECT_TRUE(wait.Cancel()) << "a pending wait has a cancel routine";
    ExpectCancelled(wait, "after IoCancelIrp");
    EXPECT_FALSE(wait.Cancel()) << "a completed wait";

    host::OutstandingRequest next = StartWait(portHandle);
    EXPECT_TRUE(StaysPending(next)) << "accepted as the port's one wait";
    WaitForReceivePump();
    Device().OfferIn({1});
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), Delivered(next, "the next wait"));
}

// On products other than 0x005B a delivered wait is completed 2 ms later; a cancel in between
// ends it as cancelled and the completion finds nothing to complete. Under the schedule
// explorer the clock may reach the completion first.
TEST_P(WaitMaskTest, AWaitCancelledAfterItsDeliveryEndsOnceEitherWay)
{
    auto [wait, read] = WaitWithAReadPending(kOtherProduct, SERIAL_EV_RXCHAR);
    Device().OfferIn({1});
    EXPECT_EQ(1u, read.Wait().information);
    wait.Cancel();
    host::IoResult result = wait.Wait();
    if (!host::Scheduler::Instance().exploring()) {
        EXPECT_EQ(STATUS_CANCELLED, result.status) << "cancelled within the 2 ms";
    }
    if (result.status == STATUS_CANCELLED) {
        EXPECT_EQ(0u, result.information) << "a delivered mask is not reported";
    } else {
        EXPECT_EQ(STATUS_SUCCESS, result.status);
        EXPECT_EQ(4u, result.information);
    }
    host.Sleep(host::Milliseconds(10));  // the completion work item has run
    EXPECT_EQ(0u, app().OutstandingCount());

    host::OutstandingRequest next = StartWait(portHandle);
    Device().OfferIn({2});
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), Delivered(next, "a wait after it"));
}

// Waits issued against a running stream (the device echoes every write), some cancelled at
// once, some ended by a mask of 0, race the deliveries of both directions: each ends once,
// as served or as cancelled, and reports only the events of its mask.
TEST_P(WaitMaskTest, WaitsRacingAStreamOfDeliveriesEachEndOnce)
{
    for (USHORT product : {kNumberedProduct, kOtherProduct}) {
        SCOPED_TRACE("product " + Hex(product));
        OpenPort(product);
        Device().SetEcho(true);
        const ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
        for (int round = 0; round < 12; round++) {
            SetWaitMask(portHandle, mask);
            host::OutstandingRequest wait = StartWait(portHandle);
            host::OutstandingRequest write = app().StartWrite(portHandle, {UCHAR(round)});
            if (round % 3 == 1) wait.Cancel();
            if (round % 3 == 2) SetWaitMask(portHandle, 0);
            EXPECT_EQ(STATUS_SUCCESS, write.Wait().status) << "round " << round;
            host::IoResult result = wait.Wait();
            if (result.status == STATUS_CANCELLED) {
                EXPECT_NE(0, round % 3) << "a wait nobody cancelled, round " << round;
                EXPECT_EQ(0u, result.information) << "round " << round;
            } else {
                EXPECT_EQ(STATUS_SUCCESS, result.status) << "round " << round;
                ASSERT_EQ(4u, result.information) << "round " << round;
                ULONG events = As<ULONG>(result);
                EXPECT_NE(0u, events) << "round " << round;
                EXPECT_EQ(0u, events & ~mask) << "round " << round;
            }
        }
        Device().SetEcho(false);
        ClosePort();
        EXPECT_EQ(0u, app().OutstandingCount());
    }
}

TEST_P(WaitMaskTest, OnlyReceiveTransmitAndErrorEventsEverReachAWait)
{
    OpenPort(kNumberedProduct);
    WaitForReceivePump();
    SetWaitMask(portHandle, 0x1FFF);
    host::OutstandingRequest wait = StartWait(portHandle);
    Device().OfferIn({0x00, 0x11, 0x13, 0x0D, 0x1A});  // the event character is 0
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), Delivered(wait, "after bytes of every special kind"));
}

TEST_P(WaitMaskTest, ClosingTheHandleCancelsAPendingWait)
{
    OpenPort(kOtherProduct);
    SetWaitMask(portHandle, SERIAL_EV_RXCHAR);
    host::OutstandingRequest wait = StartWait(portHandle);
    EXPECT_EQ(STATUS_SUCCESS, ClosePort());
    ExpectCancelled(wait, "after the close");
}

// A wait that reaches the port after the handle's cleanup (one thread of a program waits while
// another closes) finds the pump stopped and nothing left to complete it: it is refused as
// cancelled. The next open takes waits again.
TEST_P(WaitMaskTest, AWaitAfterCleanupIsCancelledAtOnceUntilTheNextOpen)
{
    OpenPort(kOtherProduct);
    SetWaitMask(portHandle, SERIAL_EV_RXCHAR);
    EXPECT_EQ(STATUS_SUCCESS, SendRequest(port.physicalDevice, IRP_MJ_CLEANUP, 0, STATUS_SUCCESS));
    host::OutstandingRequest late = StartWait(portHandle);
    ASSERT_TRUE(late.Completed()) << "a wait after cleanup stays pending";
    ExpectCancelled(late, "a wait after cleanup");
    ClosePort();

    portHandle = Open();
    SetWaitMask(portHandle, SERIAL_EV_RXCHAR);
    host::OutstandingRequest wait = StartWait(portHandle);
    EXPECT_TRUE(StaysPending(wait)) << "a wait of the next open";
}

// A pump that ends on its own (a fatal bulk-IN status) keeps what it buffered for the reads of
// the open, and a pending wait whose mask holds SERIAL_EV_ERR gets it instead of a cancel.
TEST_P(WaitMaskTest, WhenThePumpEndsOnItsOwnAWaitGetsErrAndTheBytesStayReadable)
{
    for (USHORT product : {kNumberedProduct, kOtherProduct}) {
        SCOPED_TRACE("product " + Hex(product));
        OpenPort(product);
        WaitForReceivePump();
        Receive(portHandle, {1, 2, 3}, 3);
        SetWaitMask(portHandle, SERIAL_EV_ERR);
        host::OutstandingRequest wait = StartWait(portHandle);
        Device().FailNext(host::Direction::In, 1, STATUS_INVALID_DEVICE_REQUEST,
                          USBD_STATUS_INVALID_PARAMETER);
        EXPECT_EQ(ULONG(SERIAL_EV_ERR), Delivered(wait, "at the pump's end"));

        SetTimeouts(portHandle, Timeouts(MAXULONG, 0, 0));
        host::IoResult read = app().Read(portHandle, 10);
        EXPECT_EQ(STATUS_SUCCESS, read.status);
        EXPECT_EQ((std::vector<UCHAR>{1, 2, 3}), read.output) << "the bytes buffered before";
        ClosePort();
    }
}

KDX_FOR_BOTH_BUS_MODES(WaitMaskTest);

// Two deliveries race for the wait-mask work item of a port whose waits complete from it: a
// write's TXEMPTY from the write worker and received bytes from the pump. Whichever comes
// first queues the item; the other finds it queued or the wait gone, so the item is queued
// once for each wait. Only some interleavings could queue it twice, so every seed of the
// schedule explorer runs the race a few times and counts the extra queueings; the output gives
// how many seeds counted how many. The clock moves only when every thread waits, so that the
// item's 2 ms cannot pass between the two deliveries; more priority changes than by default
// make the narrow race show under more seeds.
TEST(WaitMaskWorkItem, TwoDeliveriesRacingForItQueueItOnceUnderEverySeed)
{
    constexpr uint64_t kRounds = 4;
    host::ScheduleOptions schedule;
    schedule.jumpOneIn = 0;
    schedule.priorityChanges = 10;
    std::vector<uint64_t> extra = CountPerSeed(300, kOtherProduct, schedule, [](SeededPort& port) {
        host::Application& app = port.host.app();
        EXPECT_EQ(STATUS_SUCCESS, app.Write(port.handle, {0x55}).status) << "starts the pump";
        while (port.usb.PendingTransfers(host::Direction::In) != 1) port.host.Sleep(10000);
        ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
        EXPECT_EQ(
            STATUS_SUCCESS,
            app.DeviceControl(port.handle, IOCTL_SERIAL_SET_WAIT_MASK, Bytes(mask), 0).status);
        PWORK_QUEUE_ITEM item = port.extension->WaitMaskWorkItem;
        uint64_t before = port.host.deferred().TimesQueued(item);
        for (uint64_t round = 0; round < kRounds; round++) {
            host::OutstandingRequest wait =
                app.StartDeviceControl(port.handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
            port.usb.OfferIn({1});
            host::OutstandingRequest write = app.StartWrite(port.handle, {2});
            EXPECT_EQ(STATUS_SUCCESS, wait.Wait().status);
            EXPECT_EQ(STATUS_SUCCESS, write.Wait().status);
            port.host.Sleep(host::Milliseconds(10));
        }
        return port.host.deferred().TimesQueued(item) - before - kRounds;
    });
    printf("extra queueings of the wait-mask work item per seed: %s\n", Histogram(extra).c_str());
    EXPECT_EQ(extra.size(), size_t(std::count(extra.begin(), extra.end(), 0))) << Histogram(extra);
}

}  // namespace
