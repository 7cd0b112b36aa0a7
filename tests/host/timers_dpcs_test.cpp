// Kernel timers and DPCs: what KeSetTimer, KeCancelTimer, KeReadStateTimer, KeInsertQueueDpc
// and KeRemoveQueueDpc return, when, where and with what a DPC runs, and what KeFlushQueuedDpcs
// waits for.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "support/test_driver.h"

using namespace hosttest;
using host::Milliseconds;

namespace {

// What a DPC saw each time it ran.
struct DpcLog {
    struct Run {
        KIRQL irql;
        host::Ticks time;
        PVOID context;
        PVOID argument1;
        PVOID argument2;
    };
    std::vector<Run> runs;
    KDPC dpc;
    KEVENT ran;

    DpcLog()
    {
        KeInitializeDpc(&dpc, Record, this);
        KeInitializeEvent(&ran, SynchronizationEvent, FALSE);
    }
    static VOID Record(PKDPC, PVOID context, PVOID argument1, PVOID argument2)
    {
        auto* log = static_cast<DpcLog*>(context);
        log->runs.push_back({KeGetCurrentIrql(), host::Ticks(KeQueryInterruptTime()), context,
                             argument1, argument2});
        KeSetEvent(&log->ran, IO_NO_INCREMENT, FALSE);
    }
};

}  // namespace

TEST(Timer, SetAndCancelReturnWhetherTheTimerWasSet)
{
    host::Host host;
    KTIMER timer;
    DpcLog log;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeCancelTimer(&timer)) << "cancel before any set";
    EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(100), &log.dpc)) << "first set";
    EXPECT_TRUE(KeSetTimer(&timer, RelativeMs(100), &log.dpc)) << "set while set";
    host.Sleep(Milliseconds(50));
    EXPECT_TRUE(KeCancelTimer(&timer)) << "cancel while set";
    EXPECT_FALSE(KeCancelTimer(&timer)) << "cancel after cancel";
    host.Sleep(Milliseconds(1000));
    EXPECT_EQ(0u, log.runs.size()) << "runs of a cancelled timer's DPC";
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "a cancelled timer is not signalled";
}

TEST(Timer, ReadStateIsSignalledAfterExpiryUntilSetAgain)
{
    host::Host host;
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "initialised";
    KeSetTimer(&timer, RelativeMs(10), nullptr);
    host.Sleep(Milliseconds(9));
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "1 ms before it falls due";
    host.Sleep(Milliseconds(2));
    EXPECT_TRUE(KeReadStateTimer(&timer)) << "1 ms after it fell due";
    EXPECT_FALSE(KeCancelTimer(&timer)) << "an expired timer is no longer set";
    EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(10), nullptr)) << "setting an expired timer";
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "setting clears the signal";
    KeCancelTimer(&timer);
}

TEST(Dpc, TimerDpcRunsOnTimeAtDispatchLevelWithItsContext)
{
    host::Host host;
    KTIMER timer;
    DpcLog log;
    KeInitializeTimer(&timer);
    host.Sleep(Milliseconds(3));
    host::Ticks start = host.Now();
    KeSetTimer(&timer, RelativeMs(100), &log.dpc);
    EXPECT_TRUE(KeSetTimer(&timer, RelativeMs(250), &log.dpc)) << "moving the due time";
    ASSERT_EQ(STATUS_SUCCESS, WaitMs(&log.ran, 1000));
    host.Sleep(Milliseconds(500));
    ASSERT_EQ(1u, log.runs.size()) << "DPC runs";
    EXPECT_EQ(Milliseconds(250), log.runs[0].time - start) << "DPC time";
    EXPECT_EQ(DISPATCH_LEVEL, log.runs[0].irql);
    EXPECT_EQ(&log, log.runs[0].context);
}

TEST(Dpc, InsertReturnsFalseWhileQueuedAndRemoveDequeues)
{
    host::Host host;
    DpcLog queuedTwice, removed;
    int first = 1, second = 2, third = 3;
    DpcGate gate;
    gate.Close();
    EXPECT_TRUE(KeInsertQueueDpc(&queuedTwice.dpc, &first, &third)) << "first insert";
    EXPECT_FALSE(KeInsertQueueDpc(&queuedTwice.dpc, &second, nullptr)) << "insert while queued";
    EXPECT_TRUE(KeInsertQueueDpc(&removed.dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&removed.dpc)) << "removing a queued DPC";
    EXPECT_FALSE(KeRemoveQueueDpc(&removed.dpc)) << "removing it again";
    gate.Open();
    ASSERT_EQ(STATUS_SUCCESS, WaitMs(&queuedTwice.ran, 1000));
    host.Sleep(Milliseconds(10));
    ASSERT_EQ(1u, queuedTwice.runs.size()) << "runs of a DPC inserted twice";
    EXPECT_EQ(&first, queuedTwice.runs[0].argument1) << "the first insert's arguments";
    EXPECT_EQ(&third, queuedTwice.runs[0].argument2);
    EXPECT_EQ(DISPATCH_LEVEL, queuedTwice.runs[0].irql);
    EXPECT_EQ(0u, removed.runs.size()) << "runs of the removed DPC";
    EXPECT_TRUE(KeInsertQueueDpc(&queuedTwice.dpc, &second, nullptr)) << "insert after it ran";
    ASSERT_EQ(STATUS_SUCCESS, WaitMs(&queuedTwice.ran, 1000));
}

TEST(Dpc, FlushReturnsOnceTheDpcRunningAndTheOnesQueuedAtTheCallHaveRun)
{
    host::Host host;
    // A deferred call of the host's own that stays running until `release` is set, and a
    // driver DPC queued behind it.
    KEVENT release, running;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    KeInitializeEvent(&running, NotificationEvent, FALSE);
    bool heldRan = false;
    host.deferred().QueueSystemDpc(nullptr, [&] {
        KeSetEvent(&running, IO_NO_INCREMENT, FALSE);
        host::WaitOn(&release.Header, host::kForever, "a DPC held by the test");
        heldRan = true;
    });
    ASSERT_EQ(STATUS_SUCCESS, WaitMs(&running, 100));
    DpcLog behind;
    KeInsertQueueDpc(&behind.dpc, nullptr, nullptr);

    host::Scheduler& scheduler = host::Scheduler::Instance();
    std::atomic<bool> flushed{false};
    bool allRanAtReturn = false;
    std::unique_ptr<host::HostThread> flusherThread;
    std::thread flusher = scheduler.Spawn(
        "flusher",
        [&] {
            KeFlushQueuedDpcs();
            allRanAtReturn = heldRan && behind.runs.size() == 1;
            flushed = true;
        },
        &flusherThread);
    host.Sleep(Milliseconds(50));
    EXPECT_FALSE(flushed) << "the flush returned while a DPC was running";
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    scheduler.Join(flusher, *flusherThread);
    EXPECT_TRUE(allRanAtReturn) << "the flush returned before the DPCs queued at the call had run";
    KeFlushQueuedDpcs();  // with nothing queued or running it returns at once
}
