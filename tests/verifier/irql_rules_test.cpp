// Verifier IRQL rules: waits, paged pool and paged code at DISPATCH_LEVEL, spin-lock misuse,
// IRQL changes in the wrong direction, and routines that return at another IRQL. Each stops
// the host with a report naming the rule, the thread and its IRQL.
#include <gtest/gtest.h>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

void RaiseTo(KIRQL irql)
{
    KIRQL old;
    KeRaiseIrql(irql, &old);
}

KEVENT g_never;

VOID WaitingDpc(PKDPC, PVOID, PVOID, PVOID) { WaitMs(&g_never, 10); }
VOID PagedCodeDpc(PKDPC, PVOID, PVOID, PVOID) { PAGED_CODE(); }

// Queues a DPC as `owner`'s and waits, in a host wait, for it to stop the host.
void RunDpc(PKDEFERRED_ROUTINE routine, PDRIVER_OBJECT owner)
{
    static KDPC dpc;
    RunAs(owner, [&] { KeInitializeDpc(&dpc, routine, nullptr); });
    KeInitializeEvent(&g_never, NotificationEvent, FALSE);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    WaitMs(&g_never, 1000);
}

}  // namespace

TEST(IrqlRuleDeathTest, WaitWithTimeoutAtDispatchLevel)
{
    host::Host host;
    KeInitializeEvent(&g_never, NotificationEvent, FALSE);
    EXPECT_DEATH(
        (RaiseTo(DISPATCH_LEVEL), WaitMs(&g_never, 10)),
        "HOST VERIFIER: IRQL_WAIT_AT_DISPATCH_LEVEL(.|\n)*KeWaitForSingleObject at IRQL 2");
}

TEST(IrqlRuleDeathTest, ReportNamesTheThreadItsIrqlAndTheDriver)
{
    host::Host host;
    PDRIVER_OBJECT driver = LoadTestDriver(host, "testdrv");
    EXPECT_DEATH(RunDpc(WaitingDpc, driver),
                 "IRQL_WAIT_AT_DISPATCH_LEVEL(.|\n)*Thread: dpc, IRQL 2, running code of "
                 "\\\\Driver\\\\testdrv");
}

TEST(IrqlRuleDeathTest, PagedPoolAtDispatchLevel)
{
    host::Host host;
    EXPECT_DEATH((RaiseTo(DISPATCH_LEVEL), ExAllocatePool(PagedPool, 16)),
                 "HOST VERIFIER: IRQL_PAGED_POOL_AT_DISPATCH_LEVEL(.|\n)*16 bytes of paged pool "
                 "by TestBody \\(irql_rules_test.cpp:[0-9]+\\) at IRQL 2");
}

TEST(IrqlRuleDeathTest, PagedCodeInADpc)
{
    host::Host host;
    EXPECT_DEATH(RunDpc(PagedCodeDpc, nullptr),
                 "HOST VERIFIER: IRQL_PAGED_CODE_AT_DISPATCH_LEVEL(.|\n)*PagedCodeDpc");
}

TEST(IrqlRuleDeathTest, SpinLockReleasedAboveDispatchLevel)
{
    host::Host host;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            RaiseTo(HIGH_LEVEL);
            KeReleaseSpinLock(&lock, old);
        },
        "HOST VERIFIER: SPIN_LOCK_RELEASED_AT_WRONG_IRQL(.|\n)*released at IRQL 15");
}

TEST(IrqlRuleDeathTest, SpinLockReleasedWithoutBeingHeld)
{
    host::Host host;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH((RaiseTo(DISPATCH_LEVEL), KeReleaseSpinLockFromDpcLevel(&lock)),
                 "HOST VERIFIER: SPIN_LOCK_NOT_OWNED");
}

TEST(IrqlRuleDeathTest, SpinLockAcquiredTwiceByOneThread)
{
    host::Host host;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH((KeAcquireSpinLockRaiseToDpc(&lock), KeAcquireSpinLockAtDpcLevel(&lock)),
                 "HOST VERIFIER: SPIN_LOCK_ALREADY_OWNED");
}

TEST(IrqlRuleDeathTest, CallDriverAboveDispatchLevel)
{
    DeviceStack stack;
    EXPECT_DEATH((RaiseTo(HIGH_LEVEL), SendIoctl(stack.lower)),
                 "HOST VERIFIER: IRQL_CALL_DRIVER_ABOVE_DISPATCH_LEVEL");
}

TEST(IrqlRuleDeathTest, DispatchRoutineReturnsAtARaisedIrql)
{
    DeviceStack stack;
    stack.onLower = [](PDEVICE_OBJECT, PIRP irp) {
        KeRaiseIrqlToDpcLevel();
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_DEATH(SendIoctl(stack.lower),
                 "HOST VERIFIER: IRQL_NOT_RESTORED(.|\n)*dispatch routine entered at IRQL 0 "
                 "returned at IRQL 2(.|\n)*running code of \\\\Driver\\\\lowerdrv");
}

TEST(IrqlRuleDeathTest, RaiseToALowerIrql)
{
    host::Host host;
    EXPECT_DEATH((RaiseTo(DISPATCH_LEVEL), RaiseTo(PASSIVE_LEVEL)),
                 "HOST VERIFIER: IRQL_RAISED_BELOW_CURRENT");
}

TEST(IrqlRuleDeathTest, LowerToAHigherIrql)
{
    host::Host host;
    EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "HOST VERIFIER: IRQL_LOWERED_ABOVE_CURRENT");
}
