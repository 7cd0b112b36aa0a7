// Verifier spin-lock rules across threads and code paths: locks taken in orders that form a
// cycle (a deadlock waiting for the right timing), and a thread spinning on a lock whose
// holder never lets go.
#include <gtest/gtest.h>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

void TakeInOrder(PKSPIN_LOCK first, PKSPIN_LOCK second)
{
    KIRQL old = KeAcquireSpinLockRaiseToDpc(first);
    KeAcquireSpinLockAtDpcLevel(second);
    KeReleaseSpinLockFromDpcLevel(second);
    KeReleaseSpinLock(first, old);
}

KSPIN_LOCK g_deviceLock;

// A cancel routine that takes the driver's lock while the cancel lock is held.
VOID CancelUnderDeviceLock(PDEVICE_OBJECT, PIRP irp)
{
    KeAcquireSpinLockAtDpcLevel(&g_deviceLock);
    KeReleaseSpinLockFromDpcLevel(&g_deviceLock);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

KSPIN_LOCK g_heldLock;
VOID SpinningDpc(PKDPC, PVOID, PVOID, PVOID)
{
    KeAcquireSpinLockAtDpcLevel(&g_heldLock);
    KeReleaseSpinLockFromDpcLevel(&g_heldLock);
}

}  // namespace

TEST(LockOrderDeathTest, TwoLocksTakenInOppositeOrders)
{
    host::Host host;
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    TakeInOrder(&a, &b);
    EXPECT_DEATH(
        TakeInOrder(&b, &a),
        "HOST VERIFIER: SPIN_LOCK_ORDER_DEADLOCK(.|\n)*main took 0x[0-9a-f]+ at TakeInOrder "
        "\\(lock_order_test.cpp:[0-9]+\\), then 0x[0-9a-f]+ at TakeInOrder "
        "\\(lock_order_test.cpp:[0-9]+\\)\nbut the locks were also taken in the opposite "
        "order:\n  main took");
}

TEST(LockOrderDeathTest, ThreeLocksClosingACycle)
{
    host::Host host;
    KSPIN_LOCK a, b, c;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KeInitializeSpinLock(&c);
    TakeInOrder(&a, &b);
    TakeInOrder(&b, &c);
    // The report lists both edges of the path a -> b -> c that the new edge c -> a closes.
    EXPECT_DEATH(TakeInOrder(&c, &a),
                 "SPIN_LOCK_ORDER_DEADLOCK(.|\n)*opposite order:\n  main took [^\n]*\n  main "
                 "took [^\n]*\n\nThread");
}

TEST(LockOrderDeathTest, CancelRoutineTakesALockTheDriverHoldsWhenTakingTheCancelLock)
{
    DeviceStack stack;
    KeInitializeSpinLock(&g_deviceLock);
    PIRP parked = nullptr;
    stack.onLower = [&](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&g_deviceLock);
        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelUnderDeviceLock);
        parked = irp;
        IoReleaseCancelSpinLock(cancelIrql);
        KeReleaseSpinLock(&g_deviceLock, old);
        return STATUS_PENDING;
    };
    EXPECT_DEATH((SendIoctl(stack.lower), IoCancelIrp(parked)),
                 "HOST VERIFIER: SPIN_LOCK_ORDER_DEADLOCK(.|\n)*took 0x[0-9a-f]+ at IoCancelIrp, "
                 "then 0x[0-9a-f]+ at CancelUnderDeviceLock(.|\n)*opposite order:\n  main took "
                 "0x[0-9a-f]+ at operator\\(\\) \\(lock_order_test.cpp:[0-9]+\\), then "
                 "0x[0-9a-f]+ at operator\\(\\)");
}

TEST(LockOrderDeathTest, ThreadSpinningOnALockItsHolderKeeps)
{
    host::Host host;
    KeInitializeSpinLock(&g_heldLock);
    static KDPC dpc;
    KeInitializeDpc(&dpc, SpinningDpc, nullptr);
    EXPECT_DEATH(
        {
            KeAcquireSpinLockRaiseToDpc(&g_heldLock);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            host.Sleep(host::Milliseconds(60000));
        },
        "HOST VERIFIER: SPIN_LOCK_HANG(.|\n)*on spin lock 0x[0-9a-f]+, held by main, taken at "
        "TestBody \\(lock_order_test.cpp:[0-9]+\\)(.|\n)*Thread: dpc");
}

TEST(LockOrder, SameOrderOnEveryThreadIsNoDeadlock)
{
    host::Host host;
    static KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    static KDPC dpc;
    static KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID, PVOID, PVOID) {
            TakeInOrder(&a, &b);
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        },
        nullptr);
    TakeInOrder(&a, &b);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(STATUS_SUCCESS, WaitMs(&done, 1000)) << "the DPC took both locks";
    TakeInOrder(&a, &b);
}

TEST(LockOrder, InitialisingALockForgetsTheOrderItWasTakenIn)
{
    host::Host host;
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    TakeInOrder(&a, &b);
    // The memory of `b` now holds another lock, which this code takes before `a`.
    KeInitializeSpinLock(&b);
    TakeInOrder(&b, &a);
    EXPECT_EQ(0u, a | b) << "both locks are free again";
}
