// Waits and the virtual clock: a timeout ends at exactly its deadline, a zero timeout polls,
// a delay moves the clock by its interval, a wait ends when another host thread signals, and a
// wait until idle ends once the rest of the host is blocked.
#include <gtest/gtest.h>

#include "support/test_driver.h"

using namespace hosttest;
using host::Milliseconds;

TEST(TimedWait, SixtySecondTimeoutEndsAfterExactlySixtySecondsOfVirtualTime)
{
    host::Host host;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    host.Sleep(Milliseconds(7));
    host::Ticks start = host.Now();
    EXPECT_EQ(STATUS_TIMEOUT, WaitMs(&event, 60000));
    EXPECT_EQ(60 * host::kTicksPerSecond, host.Now() - start) << "virtual time spent waiting";
}

TEST(TimedWait, ZeroTimeoutPollsWithoutMovingTheClockAtAnyIrql)
{
    host::Host host;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    host::Ticks start = host.Now();
    EXPECT_EQ(STATUS_TIMEOUT, WaitMs(&event, 0)) << "not signalled";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS atDispatch = WaitMs(&event, 0);
    KeLowerIrql(old);
    EXPECT_EQ(STATUS_SUCCESS, atDispatch) << "signalled, polled at DISPATCH_LEVEL";
    EXPECT_EQ(start, host.Now());
}

TEST(DelayExecution, MovesTheClockByItsInterval)
{
    host::Host host;
    ULONGLONG start = KeQueryInterruptTime();
    LARGE_INTEGER interval = RelativeMs(30);
    EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &interval));
    EXPECT_EQ(ULONGLONG(Milliseconds(30)), KeQueryInterruptTime() - start);
}

namespace {

// A work item that delays and then sets an event.
struct DelayedSetter {
    WORK_QUEUE_ITEM item;
    KEVENT event;
    static VOID Run(PVOID parameter)
    {
        LARGE_INTEGER interval = RelativeMs(5000);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        KeSetEvent(&static_cast<DelayedSetter*>(parameter)->event, IO_NO_INCREMENT, FALSE);
    }
};

}  // namespace

TEST(Wait, EndsWhenAWorkItemSetsTheEvent)
{
    host::Host host;
    DelayedSetter setter;
    KeInitializeEvent(&setter.event, SynchronizationEvent, FALSE);
    ExInitializeWorkItem(&setter.item, DelayedSetter::Run, &setter);
    host::Ticks start = host.Now();
    ExQueueWorkItem(&setter.item, DelayedWorkQueue);
    EXPECT_EQ(STATUS_SUCCESS, WaitMs(&setter.event, 60000));
    EXPECT_EQ(Milliseconds(5000), host.Now() - start) << "the wait ended when the item set it";
}

namespace {

// Two work items: one sets its event at once, the other only after a delay of 5 s.
struct QuickAndDelayed {
    WORK_QUEUE_ITEM quickItem;
    KEVENT quick;
    DelayedSetter delayed;

    QuickAndDelayed()
    {
        KeInitializeEvent(&quick, NotificationEvent, FALSE);
        KeInitializeEvent(&delayed.event, NotificationEvent, FALSE);
        ExInitializeWorkItem(&quickItem, SetQuick, this);
        ExInitializeWorkItem(&delayed.item, DelayedSetter::Run, &delayed);
    }
    void Queue()
    {
        ExQueueWorkItem(&quickItem, DelayedWorkQueue);
        ExQueueWorkItem(&delayed.item, DelayedWorkQueue);
    }
    static VOID SetQuick(PVOID parameter)
    {
        KeSetEvent(&static_cast<QuickAndDelayed*>(parameter)->quick, IO_NO_INCREMENT, FALSE);
    }
};

// Runs the two items until idle and checks that the quick one has run, the delayed one waits
// and the clock stood still; then lets the delayed one finish.
void ExpectIdleAfterTheQuickItem(host::Host& host, const std::string& run)
{
    QuickAndDelayed items;
    host::Ticks start = host.Now();
    items.Queue();
    host.RunUntilIdle();
    EXPECT_EQ(1, KeReadStateEvent(&items.quick)) << run << ": the quick item has not run";
    EXPECT_EQ(0, KeReadStateEvent(&items.delayed.event)) << run << ": the delay did not hold";
    if (host::Scheduler::Instance().mode() == host::ClockMode::Virtual) {
        EXPECT_EQ(start, host.Now()) << run << ": the clock moved while running until idle";
    }
    EXPECT_EQ(STATUS_SUCCESS, WaitMs(&items.delayed.event, 60000)) << run;
}

}  // namespace

TEST(RunUntilIdle, EndsOnceWhatWasSetOffHasRunWithoutMovingTheClock)
{
    host::Host host;
    ExpectIdleAfterTheQuickItem(host, "virtual time");
}

TEST(RunUntilIdle, EndsTheSameWayUnderEverySchedule)
{
    for (uint64_t seed = 1; seed <= 20; seed++) {
        host::HostOptions options;
        options.schedule = host::ScheduleOptions();
        options.schedule.seed = seed;
        host::Host host(options);
        ExpectIdleAfterTheQuickItem(host, "seed " + std::to_string(seed));
    }
}

TEST(RunUntilIdle, EndsInRealTimeOnceTheWorkHasRun)
{
    host::HostOptions options;
    options.clock = host::ClockMode::Real;
    options.schedule = host::ScheduleOptions();
    host::Host host(options);
    QuickAndDelayed items;
    ExQueueWorkItem(&items.quickItem, DelayedWorkQueue);
    host.RunUntilIdle();
    EXPECT_EQ(1, KeReadStateEvent(&items.quick)) << "the quick item has not run";
}
