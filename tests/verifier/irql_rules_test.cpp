// Verifier IRQL rules: waits, paged pool and paged code at DISPATCH_LEVEL, spin-lock misuse,
// IRQL changes in the wrong direction, and routines that return at another IRQL. Each stops
// the host with a report naming the rule, the thread and its IRQL.
#include <gtest/gtest.h>

#include <functional>

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
    auto sendAtHighLevel = [&] {
        IoctlRequest request(stack.lower, kBufferedIoctl, nullptr, 0, nullptr, 0);
        RaiseTo(HIGH_LEVEL);
        request.Send();
    };
    EXPECT_DEATH(sendAtHighLevel(), "HOST VERIFIER: IRQL_CALL_DRIVER_ABOVE_DISPATCH_LEVEL");
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

namespace {

VOID NothingQueued(PVOID) {}

// A kernel routine called at an IRQL above its documented maximum.
struct AboveMaximum {
    const char* routine;
    KIRQL irql;
    KIRQL maximum;
    std::function<void()> call;
};

}  // namespace

TEST(IrqlRuleDeathTest, RoutinesCalledAboveTheirDocumentedMaximum)
{
    host::Host host;
    UNICODE_STRING text{0, 0, nullptr};
    const GUID anyInterface{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    static WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, NothingQueued, nullptr);
    const AboveMaximum cases[] = {
        {"IoCreateDevice", APC_LEVEL, PASSIVE_LEVEL,
         [] {
             PDEVICE_OBJECT device;
             IoCreateDevice(nullptr, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         }},
        {"IoDeleteDevice", DISPATCH_LEVEL, PASSIVE_LEVEL, [] { IoDeleteDevice(nullptr); }},
        {"IoCreateSymbolicLink", APC_LEVEL, PASSIVE_LEVEL,
         [&] { IoCreateSymbolicLink(&text, &text); }},
        {"IoDeleteSymbolicLink", APC_LEVEL, PASSIVE_LEVEL, [&] { IoDeleteSymbolicLink(&text); }},
        {"IoRegisterDeviceInterface", APC_LEVEL, PASSIVE_LEVEL,
         [&] { IoRegisterDeviceInterface(nullptr, &anyInterface, nullptr, &text); }},
        {"IoSetDeviceInterfaceState", APC_LEVEL, PASSIVE_LEVEL,
         [&] { IoSetDeviceInterfaceState(&text, TRUE); }},
        {"IoOpenDeviceRegistryKey", APC_LEVEL, PASSIVE_LEVEL,
         [] {
             HANDLE key;
             IoOpenDeviceRegistryKey(nullptr, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
         }},
        {"ZwSetValueKey", APC_LEVEL, PASSIVE_LEVEL,
         [&] { ZwSetValueKey(nullptr, &text, 0, REG_DWORD, nullptr, 0); }},
        {"ZwQueryValueKey", APC_LEVEL, PASSIVE_LEVEL,
         [&] {
             ULONG length;
             ZwQueryValueKey(nullptr, &text, KeyValuePartialInformation, nullptr, 0, &length);
         }},
        {"ZwClose", APC_LEVEL, PASSIVE_LEVEL, [] { ZwClose(nullptr); }},
        {"IoBuildDeviceIoControlRequest", APC_LEVEL, PASSIVE_LEVEL,
         [] {
             IO_STATUS_BLOCK iosb;
             IoBuildDeviceIoControlRequest(kBufferedIoctl, nullptr, nullptr, 0, nullptr, 0, FALSE,
                                           nullptr, &iosb);
         }},
        {"RtlIntegerToUnicodeString", APC_LEVEL, PASSIVE_LEVEL,
         [&] { RtlIntegerToUnicodeString(7, 10, &text); }},
        {"RtlEqualUnicodeString", APC_LEVEL, PASSIVE_LEVEL,
         [&] { RtlEqualUnicodeString(&text, &text, TRUE); }},
        {"RtlFreeUnicodeString", DISPATCH_LEVEL, APC_LEVEL, [&] { RtlFreeUnicodeString(&text); }},
        {"KeSetEvent", HIGH_LEVEL, DISPATCH_LEVEL,
         [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }},
        {"IoCancelIrp", HIGH_LEVEL, DISPATCH_LEVEL, [] { IoCancelIrp(nullptr); }},
        {"ExQueueWorkItem", HIGH_LEVEL, DISPATCH_LEVEL,
         [] { ExQueueWorkItem(&item, DelayedWorkQueue); }},
        {"KeFlushQueuedDpcs", DISPATCH_LEVEL, PASSIVE_LEVEL, [] { KeFlushQueuedDpcs(); }},
    };
    for (const AboveMaximum& c : cases) {
        std::string expected = std::string("HOST VERIFIER: IRQL_ROUTINE_ABOVE_MAXIMUM(.|\n)*") +
                               c.routine + " called at IRQL " + std::to_string(c.irql) +
                               "; its maximum is " + std::to_string(c.maximum);
        EXPECT_DEATH((RaiseTo(c.irql), c.call()), expected) << c.routine;
    }
}

TEST(IrqlRuleDeathTest, PagedPoolFreedAtDispatchLevel)
{
    host::Host host;
    PVOID block = ExAllocatePool(PagedPool, 24);
    EXPECT_DEATH((RaiseTo(DISPATCH_LEVEL), ExFreePool(block)),
                 "HOST VERIFIER: IRQL_PAGED_POOL_FREED_AT_DISPATCH_LEVEL(.|\n)*24 bytes of paged "
                 "pool, allocated by TestBody \\(irql_rules_test.cpp:[0-9]+\\), freed by TestBody "
                 "\\(irql_rules_test.cpp:[0-9]+\\) at IRQL 2");
    ExFreePool(block);
}

TEST(IrqlRuleDeathTest, SpinLockAcquiredAtDpcLevelFromPassiveLevel)
{
    host::Host host;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(KeAcquireSpinLockAtDpcLevel(&lock),
                 "HOST VERIFIER: SPIN_LOCK_ACQUIRED_BELOW_DISPATCH_LEVEL(.|\n)*at IRQL 0 by "
                 "TestBody \\(irql_rules_test.cpp:[0-9]+\\)");
}

TEST(IrqlRuleDeathTest, IrqlLoweredBelowDispatchLevelWhileHoldingASpinLock)
{
    host::Host host;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH((KeAcquireSpinLockRaiseToDpc(&lock), KeLowerIrql(PASSIVE_LEVEL)),
                 "HOST VERIFIER: IRQL_LOWERED_WITH_SPIN_LOCK_HELD(.|\n)*KeLowerIrql lowers the "
                 "IRQL to 0 while holding:\n  spin lock 0x[0-9a-f]+ taken at TestBody "
                 "\\(irql_rules_test.cpp:[0-9]+\\)");
}

TEST(IrqlRuleDeathTest, OneSpinLockReleasedToPassiveLevelWhileAnotherIsHeld)
{
    host::Host host;
    KSPIN_LOCK outer, inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    auto releaseOutOfOrder = [&] {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&outer);
        KeAcquireSpinLockAtDpcLevel(&inner);
        KeReleaseSpinLock(&outer, old);
    };
    EXPECT_DEATH(
        releaseOutOfOrder(),
        "HOST VERIFIER: IRQL_LOWERED_WITH_SPIN_LOCK_HELD(.|\n)*KeReleaseSpinLock\\(0x[0-9a-f]+\\) "
        "lowers the IRQL to 0 while holding:\n  spin lock 0x[0-9a-f]+ taken at "
        "operator\\(\\) \\(irql_rules_test.cpp:[0-9]+\\)");
}

TEST(IrqlRuleDeathTest, WaitWhileHoldingASpinLockIsReportedBeforeTheIrql)
{
    host::Host host;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeInitializeEvent(&g_never, NotificationEvent, FALSE);
    EXPECT_DEATH((KeAcquireSpinLockRaiseToDpc(&lock), WaitMs(&g_never, 10)),
                 "HOST VERIFIER: SPIN_LOCK_HELD_DURING_WAIT(.|\n)*KeWaitForSingleObject at IRQL 2 "
                 "while holding:\n  spin lock 0x[0-9a-f]+ taken at TestBody "
                 "\\(irql_rules_test.cpp:[0-9]+\\)");
    LARGE_INTEGER interval = RelativeMs(5);
    EXPECT_DEATH(
        (KeAcquireSpinLockRaiseToDpc(&lock), KeDelayExecutionThread(KernelMode, FALSE, &interval)),
        "HOST VERIFIER: SPIN_LOCK_HELD_DURING_WAIT(.|\n)*KeDelayExecutionThread");
}

TEST(IrqlRuleDeathTest, DispatchRoutineReturnsHoldingASpinLock)
{
    DeviceStack stack;
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    stack.onLower = [](PDEVICE_OBJECT, PIRP irp) {
        KeAcquireSpinLockRaiseToDpc(&lock);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_DEATH(SendIoctl(stack.lower),
                 "HOST VERIFIER: SPIN_LOCK_HELD_AT_RETURN(.|\n)*dispatch routine returned "
                 "holding:\n  spin lock 0x[0-9a-f]+ taken at operator\\(\\) "
                 "\\(irql_rules_test.cpp:[0-9]+\\)(.|\n)*running code of \\\\Driver\\\\lowerdrv");
}

TEST(IrqlRuleDeathTest, CancelRoutineReturnsHoldingASpinLockOfItsOwn)
{
    DeviceStack stack;
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    PIRP parked = nullptr;
    stack.onLower = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
            IoReleaseCancelSpinLock(cancelled->CancelIrql);
            KeAcquireSpinLockRaiseToDpc(&lock);
        });
        parked = irp;
        return STATUS_PENDING;
    };
    EXPECT_DEATH((SendIoctl(stack.lower), IoCancelIrp(parked)),
                 "HOST VERIFIER: SPIN_LOCK_HELD_AT_RETURN(.|\n)*cancel routine returned "
                 "holding:\n  spin lock 0x[0-9a-f]+ taken at operator\\(\\)");
}

namespace {

KSPIN_LOCK g_kept;

VOID KeepsALockDpc(PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&g_kept); }

VOID KeepsALockWorkItem(PVOID)
{
    KIRQL old;
    KeAcquireSpinLock(&g_kept, &old);
}

}  // namespace

TEST(IrqlRuleDeathTest, CompletionRoutineReturnsHoldingASpinLock)
{
    DeviceStack stack;
    KeInitializeSpinLock(&g_kept);
    stack.onUpper = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
                KIRQL old;
                KeAcquireSpinLock(&g_kept, &old);
                return STATUS_SUCCESS;
            },
            nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(stack.attachedTo, irp);
    };
    EXPECT_DEATH(SendIoctl(stack.upper),
                 "HOST VERIFIER: SPIN_LOCK_HELD_AT_RETURN(.|\n)*completion routine returned "
                 "holding:\n  spin lock 0x[0-9a-f]+ taken at operator\\(\\) "
                 "\\(irql_rules_test.cpp:[0-9]+\\)(.|\n)*running code of \\\\Driver\\\\upperdrv");
}

TEST(IrqlRuleDeathTest, DpcRoutineReturnsHoldingASpinLock)
{
    host::Host host;
    PDRIVER_OBJECT driver = LoadTestDriver(host, "testdrv");
    KeInitializeSpinLock(&g_kept);
    EXPECT_DEATH(RunDpc(KeepsALockDpc, driver),
                 "HOST VERIFIER: SPIN_LOCK_HELD_AT_RETURN(.|\n)*DPC routine returned holding:\n  "
                 "spin lock 0x[0-9a-f]+ taken at KeepsALockDpc \\(irql_rules_test.cpp:[0-9]+\\)"
                 "(.|\n)*Thread: dpc, IRQL 2, running code of \\\\Driver\\\\testdrv");
}

TEST(IrqlRuleDeathTest, WorkItemRoutineReturnsHoldingASpinLock)
{
    host::Host host;
    PDRIVER_OBJECT driver = LoadTestDriver(host, "testdrv");
    KeInitializeSpinLock(&g_kept);
    static WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, KeepsALockWorkItem, nullptr);
    KeInitializeEvent(&g_never, NotificationEvent, FALSE);
    auto queueAndWait = [&] {
        RunAs(driver, [] { ExQueueWorkItem(&item, DelayedWorkQueue); });
        WaitMs(&g_never, 1000);
    };
    EXPECT_DEATH(queueAndWait(),
                 "HOST VERIFIER: SPIN_LOCK_HELD_AT_RETURN(.|\n)*work-item routine returned "
                 "holding:\n  spin lock 0x[0-9a-f]+ taken at KeepsALockWorkItem "
                 "\\(irql_rules_test.cpp:[0-9]+\\)(.|\n)*running code of \\\\Driver\\\\testdrv");
}
