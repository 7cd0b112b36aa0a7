// IoCancelIrp: a set cancel routine runs once, at DISPATCH_LEVEL, holding the cancel spin lock,
// with Irp->Cancel set and the routine cleared; without one IoCancelIrp returns FALSE.
#include <gtest/gtest.h>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

// What the cancel routine saw; cancel routines have no context argument.
struct CancelSeen {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
    bool heldCancelLock = false;
    BOOLEAN cancelFlag = FALSE;
    PDRIVER_CANCEL routineLeft = nullptr;
    KIRQL cancelIrql = HIGH_LEVEL;
} g_seen;

VOID ObservingCancel(PDEVICE_OBJECT device, PIRP irp)
{
    g_seen.calls++;
    g_seen.device = device;
    g_seen.irql = KeGetCurrentIrql();
    g_seen.heldCancelLock =
        host::HoldsSpinLock(host::CurrentThread(), host::Kernel::Current().io.CancelSpinLock());
    g_seen.cancelFlag = irp->Cancel;
    g_seen.routineLeft = irp->CancelRoutine;
    g_seen.cancelIrql = irp->CancelIrql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    // The driver completes the IRP later, from its queue.
}

}  // namespace

TEST(Cancel, WithCancelRoutineReturnsTrueAndRunsItOnceUnderTheCancelSpinLock)
{
    g_seen = CancelSeen();
    DeviceStack stack;
    PIRP parked = nullptr;
    stack.onLower = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, ObservingCancel);
        parked = irp;
        return STATUS_PENDING;
    };
    IoctlRequest request(stack.lower, kBufferedIoctl, nullptr, 0, nullptr, 0);
    ASSERT_EQ(STATUS_PENDING, request.Send());

    EXPECT_TRUE(IoCancelIrp(parked)) << "first cancel";
    EXPECT_FALSE(IoCancelIrp(parked)) << "second cancel: the routine is gone";
    EXPECT_EQ(1, g_seen.calls) << "cancel routine calls";
    EXPECT_EQ(stack.lower, g_seen.device) << "the device whose driver set the routine";
    EXPECT_EQ(DISPATCH_LEVEL, g_seen.irql);
    EXPECT_TRUE(g_seen.heldCancelLock) << "the routine is entered holding the cancel lock";
    EXPECT_TRUE(g_seen.cancelFlag) << "Irp->Cancel inside the routine";
    EXPECT_EQ(nullptr, g_seen.routineLeft) << "IoCancelIrp clears the routine first";
    EXPECT_EQ(PASSIVE_LEVEL, g_seen.cancelIrql) << "the IRQL IoCancelIrp was called at";
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql()) << "after IoCancelIrp";

    stack.CompleteInLower(parked, STATUS_CANCELLED);
    ASSERT_EQ(STATUS_SUCCESS, request.Wait());
    EXPECT_EQ(STATUS_CANCELLED, request.iosb.Status);
}

TEST(Cancel, WithoutCancelRoutineReturnsFalseButMarksTheIrp)
{
    DeviceStack stack;
    PIRP parked = nullptr;
    stack.onLower = PendInto(&parked);
    IoctlRequest request(stack.lower, kBufferedIoctl, nullptr, 0, nullptr, 0);
    ASSERT_EQ(STATUS_PENDING, request.Send());
    EXPECT_FALSE(IoCancelIrp(parked));
    EXPECT_TRUE(parked->Cancel) << "Irp->Cancel is set even without a routine";
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    EXPECT_FALSE(host::HoldsSpinLock(host::CurrentThread(), stack.host.io().CancelSpinLock()));
    stack.CompleteInLower(parked, STATUS_SUCCESS);
    ASSERT_EQ(STATUS_SUCCESS, request.Wait());
    EXPECT_EQ(STATUS_SUCCESS, request.iosb.Status) << "the driver still decides the outcome";
}
