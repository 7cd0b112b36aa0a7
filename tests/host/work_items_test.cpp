// Work items: they run at PASSIVE_LEVEL with their parameter, may queue themselves again, and
// items that block each get a worker thread of their own; a delayed work queue made slow starts
// its items late.
#include <gtest/gtest.h>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

struct Item {
    WORK_QUEUE_ITEM item;
    KEVENT done;
    KIRQL irql = HIGH_LEVEL;
    PVOID parameter = nullptr;
    int runs = 0;
    int wantedRuns = 1;
    PKEVENT release = nullptr;  // blocks on it when set

    Item()
    {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        ExInitializeWorkItem(&item, Run, this);
    }
    static VOID Run(PVOID parameter)
    {
        auto* self = static_cast<Item*>(parameter);
        self->irql = KeGetCurrentIrql();
        self->parameter = parameter;
        if (++self->runs < self->wantedRuns) {
            ExQueueWorkItem(&self->item, DelayedWorkQueue);
            return;
        }
        PKEVENT release = self->release;  // the test may end once `done` is set
        KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
        if (release != nullptr) {
            KeWaitForSingleObject(release, Executive, KernelMode, FALSE, nullptr);
        }
    }
};

}  // namespace

TEST(WorkItem, RunsAtPassiveLevelWithItsParameter)
{
    host::Host host;
    Item item;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queueing is allowed at DISPATCH_LEVEL
    ExQueueWorkItem(&item.item, DelayedWorkQueue);
    KeLowerIrql(old);
    ASSERT_EQ(STATUS_SUCCESS, WaitMs(&item.done, 1000));
    EXPECT_EQ(PASSIVE_LEVEL, item.irql);
    EXPECT_EQ(&item, item.parameter);
    EXPECT_EQ(1, item.runs);
}

TEST(WorkItem, CanQueueItselfAgainFromItsRoutine)
{
    host::Host host;
    Item item;
    item.wantedRuns = 4;
    ExQueueWorkItem(&item.item, CriticalWorkQueue);
    ASSERT_EQ(STATUS_SUCCESS, WaitMs(&item.done, 1000));
    host.Sleep(host::Milliseconds(10));
    EXPECT_EQ(4, item.runs) << "runs of an item that queued itself three times";
}

TEST(WorkItem, SeveralBlockingItemsEachGetAWorker)
{
    host::Host host;
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    Item items[4];
    for (Item& item : items) {
        item.release = &release;
        ExQueueWorkItem(&item.item, DelayedWorkQueue);
    }
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(STATUS_SUCCESS, WaitMs(&items[i].done, 1000))
            << "item " << i << " runs while the items before it block";
    }
    EXPECT_GE(host.deferred().WorkerThreadCount(), 4u);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    host.Sleep(host::Milliseconds(10));  // the items return before the host goes
}

TEST(WorkItem, ADelayedWorkQueueStartsItsItemsLateAndInOrderAndTheOtherQueuesAtOnce)
{
    host::Host host;
    host.deferred().SetDelayedWorkStartDelay(host::Milliseconds(3000));
    Item first, second, critical;
    host::Ticks queued = host.Now();
    ExQueueWorkItem(&first.item, DelayedWorkQueue);
    host.Sleep(host::Milliseconds(500));
    ExQueueWorkItem(&second.item, DelayedWorkQueue);
    ExQueueWorkItem(&critical.item, CriticalWorkQueue);
    ASSERT_EQ(STATUS_SUCCESS, WaitMs(&critical.done, 100)) << "a critical item waited";
    EXPECT_EQ(STATUS_TIMEOUT, WaitMs(&first.done, 2400)) << "started before its delay was up";
    ASSERT_EQ(STATUS_SUCCESS, WaitMs(&first.done, 200));
    EXPECT_GE(host.Now() - queued, host::Milliseconds(3000)) << "the first item's start";
    EXPECT_EQ(0, second.runs) << "the second item, queued 500 ms later, started with the first";
    ASSERT_EQ(STATUS_SUCCESS, WaitMs(&second.done, 1000));

    host.deferred().SetDelayedWorkStartDelay(0);
    Item prompt;
    ExQueueWorkItem(&prompt.item, DelayedWorkQueue);
    EXPECT_EQ(STATUS_SUCCESS, WaitMs(&prompt.done, 10)) << "with the delay off again";
}
