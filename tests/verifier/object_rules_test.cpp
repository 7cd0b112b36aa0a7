// Verifier object rules: work items, timers, DPCs and events misused, pool double frees and
// unknown blocks, freed buffers and malformed strings handed to the kernel, bad handles,
// devices deleted while attached, cancel routines that keep the cancel lock, what the host
// does not emulate, failed assertions, and a host whose every thread waits forever.
#include <gtest/gtest.h>

#include <cstring>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

VOID NothingToDo(PVOID) {}
VOID NothingDpc(PKDPC, PVOID, PVOID, PVOID) {}
VOID CancelKeepingTheLock(PDEVICE_OBJECT, PIRP) {}

}  // namespace

TEST(ObjectRuleDeathTest, WorkItemQueuedWhileStillQueued)
{
    host::Host host;
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, NothingToDo, nullptr);
    // A worker may take the item between the two calls, which then both succeed; the next
    // attempt tries again. In practice the first attempt finds it still queued.
    auto queueTwice = [&] {
        for (int attempt = 0; attempt < 1000; attempt++) {
            ExQueueWorkItem(&item, DelayedWorkQueue);
            ExQueueWorkItem(&item, DelayedWorkQueue);
            host.Sleep(host::Milliseconds(1));
        }
    };
    EXPECT_DEATH(queueTwice(), "HOST VERIFIER: WORK_ITEM_ALREADY_QUEUED");
}

TEST(ObjectRuleDeathTest, TimerInitialisedAgainWhileSet)
{
    host::Host host;
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_DEATH((KeSetTimer(&timer, RelativeMs(100), nullptr), KeInitializeTimer(&timer)),
                 "HOST VERIFIER: TIMER_REINITIALIZED_WHILE_SET");
}

TEST(ObjectRuleDeathTest, DpcInitialisedAgainWhileQueued)
{
    host::Host host;
    KDPC dpc;
    KeInitializeDpc(&dpc, NothingDpc, nullptr);
    DpcGate gate;
    EXPECT_DEATH((gate.Close(), KeInsertQueueDpc(&dpc, nullptr, nullptr),
                  KeInitializeDpc(&dpc, NothingDpc, nullptr)),
                 "HOST VERIFIER: DPC_REINITIALIZED_WHILE_QUEUED");
}

TEST(ObjectRuleDeathTest, EventUsedBeforeInitialisation)
{
    host::Host host;
    KEVENT event;
    memset(&event, 0, sizeof(event));
    EXPECT_DEATH(KeSetEvent(&event, IO_NO_INCREMENT, FALSE),
                 "HOST VERIFIER: DISPATCHER_OBJECT_NOT_INITIALIZED(.|\n)*KeSetEvent");
}

TEST(ObjectRuleDeathTest, PoolBlockFreedTwice)
{
    host::Host host;
    PVOID block = nullptr;
    EXPECT_DEATH((block = ExAllocatePool(NonPagedPool, 8), ExFreePool(block), ExFreePool(block)),
                 "HOST VERIFIER: POOL_DOUBLE_FREE(.|\n)*allocated by TestBody "
                 "\\(object_rules_test.cpp:[0-9]+\\) and is already free");
}

TEST(ObjectRuleDeathTest, FreeOfAnAddressThePoolNeverGave)
{
    host::Host host;
    char local[16];
    EXPECT_DEATH(ExFreePool(local), "HOST VERIFIER: POOL_FREE_UNKNOWN_BLOCK");
}

TEST(ObjectRuleDeathTest, FreedBufferPassedToIoCreateSymbolicLink)
{
    host::Host host;
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&target, u"\\Device\\KdxSerial0");
    auto createFromFreedName = [&] {
        link.Buffer = static_cast<PWSTR>(ExAllocatePool(PagedPool, 32));
        memcpy(link.Buffer, u"\\DosDevices\\COM1", 32);  // 16 characters
        link.Length = link.MaximumLength = 32;
        ExFreePool(link.Buffer);
        IoCreateSymbolicLink(&link, &target);
    };
    EXPECT_DEATH(createFromFreedName(),
                 "HOST VERIFIER: POOL_BUFFER_USE_AFTER_FREE(.|\n)*IoCreateSymbolicLink");
}

TEST(ObjectRuleDeathTest, ZwCloseOfAHandleThatIsNotOpen)
{
    host::Host host;
    EXPECT_DEATH(ZwClose(reinterpret_cast<HANDLE>(0x1234)),
                 "HOST VERIFIER: INVALID_KERNEL_HANDLE(.|\n)*ZwClose was given 0x1234");
}

TEST(ObjectRuleDeathTest, StringWithOddLength)
{
    host::Host host;
    WCHAR text[] = u"\\DosDevices\\COM1";
    UNICODE_STRING link{7, 34, text};
    UNICODE_STRING target;
    RtlInitUnicodeString(&target, u"\\Device\\KdxSerial0");
    EXPECT_DEATH(IoCreateSymbolicLink(&link, &target),
                 "HOST VERIFIER: INVALID_UNICODE_STRING(.|\n)*Length 7, MaximumLength 34");
}

TEST(ObjectRuleDeathTest, DeviceDeletedWhileAttached)
{
    DeviceStack stack;
    EXPECT_DEATH(IoDeleteDevice(stack.upper), "HOST VERIFIER: DEVICE_DELETED_WHILE_ATTACHED");
}

TEST(ObjectRuleDeathTest, CancelRoutineReturnsHoldingTheCancelLock)
{
    DeviceStack stack;
    PIRP parked = nullptr;
    stack.onLower = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelKeepingTheLock);
        parked = irp;
        return STATUS_PENDING;
    };
    EXPECT_DEATH((SendIoctl(stack.lower), IoCancelIrp(parked)),
                 "HOST VERIFIER: CANCEL_ROUTINE_KEPT_CANCEL_LOCK");
}

TEST(ObjectRuleDeathTest, SetEventWithWaitIsNotEmulated)
{
    host::Host host;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_DEATH(KeSetEvent(&event, IO_NO_INCREMENT, TRUE),
                 "HOST VERIFIER: NOT_EMULATED(.|\n)*Wait = TRUE");
}

TEST(ObjectRuleDeathTest, FailedAssertion)
{
    host::Host host;
    int openCount = 2;
    EXPECT_DEATH(ASSERT(openCount == 1),
                 "HOST VERIFIER: ASSERTION_FAILED(.|\n)*openCount == 1 at "
                 ".*object_rules_test.cpp:[0-9]+");
}

TEST(ObjectRuleDeathTest, EveryThreadWaitingWithoutDeadlineIsAHang)
{
    host::Host host;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_DEATH(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr),
                 "HOST VERIFIER: HOST_HANG(.|\n)*main \\(IRQL 0\\): "
                 "KeWaitForSingleObject\\(0x[0-9a-f]+\\) without timeout(.|\n)*dpc \\(IRQL 0\\): "
                 "idle DPC thread");
}

namespace {

constexpr ULONG kTag = 0x5844444B;  // 'KDDX'

NTSTATUS AddWithoutClearingInitializing(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    IoAttachDeviceToDeviceStack(device, physicalDevice);
    return STATUS_SUCCESS;
}

NTSTATUS AddingDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    driver->DriverExtension->AddDevice = AddWithoutClearingInitializing;
    return TestDriverEntry(driver, registryPath);
}

}  // namespace

TEST(ObjectRuleDeathTest, PoolBlockWrittenAfterItWasFreed)
{
    EXPECT_DEATH(
        {
            host::Host host;
            auto* block = static_cast<char*>(ExAllocatePool(NonPagedPool, 32));
            ExFreePool(block);
            block[5] = 1;
        },
        "(HOST VERIFIER: POOL_WRITE_AFTER_FREE(.|\n)*byte 5 changed|use-after-poison)(.|\n)*"
        "allocated by TestBody \\(object_rules_test.cpp:[0-9]+\\)\n  freed by TestBody "
        "\\(object_rules_test.cpp:[0-9]+\\)");
}

TEST(ObjectRuleDeathTest, IrpWrittenAfterItWasFreed)
{
    EXPECT_DEATH(
        {
            host::Host host;
            PIRP irp = IoAllocateIrp(2, FALSE);
            IoFreeIrp(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
        },
        "(HOST VERIFIER: IRP_ACCESSED_AFTER_COMPLETION(.|\n)*The IRP was written after the IRP "
        "was released \\(byte 48 changed|use-after-poison)(.|\n)*which was freed "
        "\\(IRP_ACCESSED_AFTER_COMPLETION\\).\n  allocated by TestBody "
        "\\(object_rules_test.cpp:[0-9]+\\)\n  freed by TestBody "
        "\\(object_rules_test.cpp:[0-9]+\\)");
}

// Without AddressSanitizer a read leaves the fill unchanged and goes unseen; with it, the read
// is reported at once, and the host adds the sites it knows to the report.
#if defined(__SANITIZE_ADDRESS__)
TEST(ObjectRuleDeathTest, FreedPoolAndIrpReadUnderAddressSanitizerAreReportedWithBothSites)
{
    auto readAfterFree = [](bool irp) {
        host::Host host;
        volatile char* freed = nullptr;
        if (irp) {
            PIRP request = IoAllocateIrp(2, FALSE);
            IoFreeIrp(request);
            freed = reinterpret_cast<volatile char*>(request);
        } else {
            freed = static_cast<volatile char*>(ExAllocatePool(NonPagedPool, 24));
            ExFreePool(const_cast<char*>(freed));
        }
        printf("read %d\n", freed[5]);
    };
    EXPECT_DEATH(readAfterFree(false),
                 "use-after-poison(.|\n)*HOST VERIFIER: address 0x[0-9a-f]+ lies in pool block "
                 "0x[0-9a-f]+ of 24 bytes, which was freed.\n  allocated by operator\\(\\) "
                 "\\(object_rules_test.cpp:[0-9]+\\)\n  freed by operator\\(\\) "
                 "\\(object_rules_test.cpp:[0-9]+\\)");
    EXPECT_DEATH(readAfterFree(true),
                 "use-after-poison(.|\n)*HOST VERIFIER: address 0x[0-9a-f]+ lies in IRP "
                 "0x[0-9a-f]+, which was freed \\(IRP_ACCESSED_AFTER_COMPLETION\\).\n  "
                 "allocated by operator\\(\\) "
                 "\\(object_rules_test.cpp:[0-9]+\\)\n  freed by operator\\(\\) "
                 "\\(object_rules_test.cpp:[0-9]+\\)");
}
#endif

TEST(ObjectRuleDeathTest, PoolFreedWithAnotherTagThanItWasAllocatedWith)
{
    host::Host host;
    EXPECT_DEATH(ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), kTag + 1),
                 "HOST VERIFIER: POOL_FREED_WITH_WRONG_TAG(.|\n)*with tag 0x5844444c; it was "
                 "allocated with 0x5844444b");
    EXPECT_DEATH(ExFreePoolWithTag(ExAllocatePool(NonPagedPool, 8), kTag),
                 "HOST VERIFIER: POOL_FREED_WITH_WRONG_TAG(.|\n)*allocated with 0x656e6f4e");
}

TEST(ObjectRuleDeathTest, DeviceDeletedWhileAnotherStaysAttachedAboveIt)
{
    EXPECT_DEATH(
        {
            auto* stack = new DeviceStack();  // never torn down: the upper device stays
            IoDeleteDevice(stack->lower);
            stack->host.UnloadDriver(stack->lowerDriver);
        },
        "HOST VERIFIER: DEVICE_DELETED_WITH_DEVICE_ATTACHED(.|\n)*of \\\\Driver\\\\lowerdrv was "
        "deleted while device 0x[0-9a-f]+ of \\\\Driver\\\\upperdrv was attached above it");
}

// As a filter does in its removal: the lower device is deleted while the driver above is still
// attached, and goes when that driver detaches.
TEST(ObjectRules, ADeviceDeletedUnderAnAttachedDeviceGoesWhenItDetaches)
{
    host::Host host;
    PDRIVER_OBJECT lowerDriver = LoadTestDriver(host, "lowerdrv");
    PDRIVER_OBJECT upperDriver = LoadTestDriver(host, "upperdrv");
    PDEVICE_OBJECT lower = nullptr, upper = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower));
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(upperDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper));
    ASSERT_EQ(lower, IoAttachDeviceToDeviceStack(upper, lower));
    IoDeleteDevice(lower);
    EXPECT_EQ(1u, host.objects().DeviceCount(lowerDriver)) << "deferred while attached";
    IoDetachDevice(lower);
    EXPECT_EQ(0u, host.objects().DeviceCount(lowerDriver)) << "gone once the upper detached";
    IoDeleteDevice(upper);
    host.UnloadDriver(upperDriver);
    host.UnloadDriver(lowerDriver);
}

TEST(ObjectRuleDeathTest, AddDeviceLeavesItsDeviceInitializing)
{
    host::Host host;
    EXPECT_DEATH(
        {
            LoadTestDriver(host, "testdrv", AddingDriverEntry);
            host.Plug(host::DeviceModel::SerialAdapter(0x1234, 0x5678));
        },
        "HOST VERIFIER: DEVICE_STILL_INITIALIZING(.|\n)*AddDevice of \\\\Driver\\\\testdrv "
        "attached device 0x[0-9a-f]+ \\(\\) to physical device 0x[0-9a-f]+ "
        "\\(\\\\Device\\\\USBPDO-[0-9]+\\)");
}

// A device whose extension holds a timer and a DPC, of a test driver.
struct TimedDevice {
    KTIMER timer;
    KDPC dpc;
};

TEST(ObjectRuleDeathTest, DeviceDeletedWithATimerInItsExtensionStillSet)
{
    host::Host host;
    PDRIVER_OBJECT driver = LoadTestDriver(host, "timeddrv");
    auto create = [&] {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(TimedDevice), nullptr,
                                                 FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        auto* timed = static_cast<TimedDevice*>(device->DeviceExtension);
        KeInitializeTimer(&timed->timer);
        KeInitializeDpc(&timed->dpc, NothingDpc, nullptr);
        return std::make_pair(device, timed);
    };
    RunAs(driver, [&] {
        auto [device, timed] = create();
        KeSetTimer(&timed->timer, RelativeMs(1000), &timed->dpc);
        EXPECT_DEATH(
            IoDeleteDevice(device),
            "HOST VERIFIER: DEVICE_DELETED_WITH_DEFERRED_WORK(.|\n)*\\\\Driver\\\\timeddrv "
            "was deleted while:\n  timer 0x[0-9a-f]+ is set");
        KeCancelTimer(&timed->timer);
        IoDeleteDevice(device);  // with the timer cancelled the deletion is clean
    });
    host.UnloadDriver(driver);
}
