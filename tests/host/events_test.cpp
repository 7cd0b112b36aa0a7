// Kernel events: the states KeSetEvent, KeResetEvent and KeReadStateEvent report, and how many
// waiters a notification or a synchronization event releases.
#include <gtest/gtest.h>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

// Work items that each wait on `target` without a deadline and then set their `released`.
struct Waiters {
    struct Waiter {
        WORK_QUEUE_ITEM item;
        PKEVENT target;
        KEVENT released;
    } waiters[3];

    explicit Waiters(PKEVENT target)
    {
        for (Waiter& waiter : waiters) {
            waiter.target = target;
            KeInitializeEvent(&waiter.released, NotificationEvent, FALSE);
            ExInitializeWorkItem(&waiter.item, Run, &waiter);
            ExQueueWorkItem(&waiter.item, DelayedWorkQueue);
        }
    }
    static VOID Run(PVOID parameter)
    {
        auto* waiter = static_cast<Waiter*>(parameter);
        KeWaitForSingleObject(waiter->target, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&waiter->released, IO_NO_INCREMENT, FALSE);
    }
    int Released()
    {
        int count = 0;
        for (Waiter& waiter : waiters) count += KeReadStateEvent(&waiter.released) != 0;
        return count;
    }
};

}  // namespace

TEST(Event, SetAndResetReturnThePreviousState)
{
    host::Host host;
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        EXPECT_EQ(0, KeReadStateEvent(&event)) << "type " << type;
        EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE)) << "type " << type;
        EXPECT_NE(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE)) << "set again, type " << type;
        EXPECT_NE(0, KeReadStateEvent(&event)) << "type " << type;
        EXPECT_NE(0, KeResetEvent(&event)) << "reset while set, type " << type;
        EXPECT_EQ(0, KeResetEvent(&event)) << "reset while clear, type " << type;
        EXPECT_EQ(0, KeReadStateEvent(&event)) << "type " << type;
    }
}

TEST(NotificationEvent, ReleasesEveryWaiterAndStaysSignalled)
{
    host::Host host;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Waiters waiters(&event);
    host.Sleep(host::Milliseconds(10));  // returns once every waiter is blocked
    EXPECT_EQ(0, waiters.Released()) << "before KeSetEvent";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    host.Sleep(host::Milliseconds(10));
    EXPECT_EQ(3, waiters.Released()) << "after one KeSetEvent";
    EXPECT_NE(0, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_SUCCESS, WaitMs(&event, 0)) << "a later wait is satisfied at once";
}

TEST(SyncEvent, ReleasesExactlyOneWaiterAndResets)
{
    host::Host host;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    Waiters waiters(&event);
    host.Sleep(host::Milliseconds(10));
    for (int round = 1; round <= 3; round++) {
        EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE)) << "round " << round;
        host.Sleep(host::Milliseconds(10));  // the released waiter runs to its end meanwhile
        EXPECT_EQ(round, waiters.Released()) << "waiters released after " << round << " sets";
        EXPECT_EQ(0, KeReadStateEvent(&event)) << "the released wait consumed the signal";
    }
}

TEST(SyncEvent, SignalWithoutWaiterSatisfiesOneWait)
{
    host::Host host;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, WaitMs(&event, 0)) << "first poll";
    EXPECT_EQ(0, KeReadStateEvent(&event)) << "the satisfied wait reset the event";
    EXPECT_EQ(STATUS_TIMEOUT, WaitMs(&event, 0)) << "second poll";
}
