// Waits and the virtual clock: a timeout ends at exactly its deadline, a zero timeout polls,
// a delay moves the clock by its interval, and a wait ends when another host thread signals.
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
