// Verifier unload rules: a driver that unloads (or fails DriverEntry) leaving pool, device
// objects, symbolic links, enabled interfaces, registry handles, HARDWARE\DEVICEMAP values,
// set timers, queued DPCs, work items or IRPs behind stops the host with a report of what is left
// and where from.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

NTSTATUS LeakyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    ExAllocatePool(NonPagedPool, 40);
    return TestDriverEntry(driver, registryPath);
}

NTSTATUS FailingLeakyDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    ExAllocatePool(PagedPool, 24);
    return STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS DeviceKeepingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\KdxLeft0");
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    return TestDriverEntry(driver, registryPath);
}

NTSTATUS LinkKeepingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\COM8");
    RtlInitUnicodeString(&target, u"\\Device\\KdxSerial8");
    IoCreateSymbolicLink(&link, &target);
    return TestDriverEntry(driver, registryPath);
}

// Lists a port under SERIALCOMM, as a serial driver does while its port is named; with
// `deleteDevice` its device goes while the value still names it.
template <bool deleteDevice>
NTSTATUS SerialCommKeepingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\KdxLeft0");
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    WCHAR port[] = u"COM9";
    RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\KdxLeft0", REG_SZ,
                          port, sizeof(port));
    if (deleteDevice) {
        IoDeleteDevice(device);
    } else {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\KdxLeft0");
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\KdxLeft1", REG_SZ,
                              port, sizeof(port));
        IoDeleteDevice(device);
    }
    return TestDriverEntry(driver, registryPath);
}

KTIMER g_timer;
NTSTATUS TimerKeepingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    KeInitializeTimer(&g_timer);
    KeSetTimer(&g_timer, RelativeMs(10000), nullptr);
    return TestDriverEntry(driver, registryPath);
}

VOID NothingDpc(PKDPC, PVOID, PVOID, PVOID) {}
KDPC g_driverDpc;
NTSTATUS DpcOwningEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    KeInitializeDpc(&g_driverDpc, NothingDpc, nullptr);
    return TestDriverEntry(driver, registryPath);
}

// A system DPC that keeps the DPC thread busy (without raising the test's IRQL), so DPCs
// queued behind it stay queued.
std::atomic<bool> g_holdDpcThread{true};
VOID HoldingDpc(PKDPC, PVOID, PVOID, PVOID)
{
    while (g_holdDpcThread.load()) std::this_thread::yield();
}

WORK_QUEUE_ITEM g_item;
KEVENT g_itemStarted, g_itemRelease;
VOID BlockingItem(PVOID)
{
    KeSetEvent(&g_itemStarted, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&g_itemRelease, Executive, KernelMode, FALSE, nullptr);
}
NTSTATUS WorkQueueingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    KeInitializeEvent(&g_itemStarted, NotificationEvent, FALSE);
    KeInitializeEvent(&g_itemRelease, NotificationEvent, FALSE);
    ExInitializeWorkItem(&g_item, BlockingItem, nullptr);
    ExQueueWorkItem(&g_item, DelayedWorkQueue);
    return TestDriverEntry(driver, registryPath);
}

NTSTATUS IrpKeepingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    IoAllocateIrp(2, FALSE);
    return TestDriverEntry(driver, registryPath);
}

// Loads a test driver with `entry` and unloads it again.
void LoadAndUnload(host::Host& host, PDRIVER_INITIALIZE entry)
{
    host.UnloadDriver(LoadTestDriver(host, "testdrv", entry));
}

PDEVICE_OBJECT ConnectDevice(host::Host& host)
{
    return host.bus().Connect(host::DeviceModel::SerialAdapter(0x1234, 0x5678)).physicalDevice;
}

}  // namespace

TEST(UnloadRuleDeathTest, PoolLeakNamesTheAllocationsCallSite)
{
    host::Host host;
    EXPECT_DEATH(LoadAndUnload(host, LeakyDriverEntry),
                 "HOST VERIFIER: DRIVER_UNLOADED_WITHOUT_FREEING_POOL(.|\n)*1 pool blocks "
                 "\\(40 bytes\\) outstanding at unload(.|\n)*40 bytes of non-paged pool from "
                 "LeakyDriverEntry \\(unload_rules_test.cpp:[0-9]+\\)");
}

TEST(UnloadRuleDeathTest, FailedDriverEntryMustFreeWhatItAllocated)
{
    host::Host host;
    EXPECT_DEATH(host.LoadDriver(FailingLeakyDriverEntry, "testdrv"),
                 "HOST VERIFIER: DRIVER_UNLOADED_WITHOUT_FREEING_POOL(.|\n)*after a failed "
                 "DriverEntry(.|\n)*FailingLeakyDriverEntry");
}

TEST(UnloadRuleDeathTest, DeviceObjectLeftBehind)
{
    host::Host host;
    EXPECT_DEATH(LoadAndUnload(host, DeviceKeepingEntry),
                 "HOST VERIFIER: DRIVER_UNLOADED_WITH_DEVICE_OBJECTS(.|\n)*\\\\Device\\\\KdxLeft0");
}

TEST(UnloadRuleDeathTest, SymbolicLinkLeftBehind)
{
    host::Host host;
    EXPECT_DEATH(LoadAndUnload(host, LinkKeepingEntry),
                 "HOST VERIFIER: DRIVER_UNLOADED_WITH_SYMBOLIC_LINKS(.|\n)*1 symbolic links");
}

TEST(UnloadRuleDeathTest, InterfaceLeftEnabled)
{
    host::Host host;
    PDEVICE_OBJECT pdo = ConnectDevice(host);
    static const GUID kInterface = {
        0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
    auto enableAndUnload = [&] {
        PDRIVER_OBJECT driver = LoadTestDriver(host, "testdrv");
        RunAs(driver, [&] {
            UNICODE_STRING link;
            IoRegisterDeviceInterface(pdo, &kInterface, nullptr, &link);
            IoSetDeviceInterfaceState(&link, TRUE);
            RtlFreeUnicodeString(&link);
        });
        host.UnloadDriver(driver);
    };
    EXPECT_DEATH(enableAndUnload(),
                 "HOST VERIFIER: DRIVER_UNLOADED_WITH_ENABLED_INTERFACES(.|\n)*1 interfaces");
}

TEST(UnloadRuleDeathTest, RegistryHandleLeftOpen)
{
    host::Host host;
    PDEVICE_OBJECT pdo = ConnectDevice(host);
    auto openAndUnload = [&] {
        PDRIVER_OBJECT driver = LoadTestDriver(host, "testdrv");
        HANDLE key;
        RunAs(driver,
              [&] { IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key); });
        host.UnloadDriver(driver);
    };
    EXPECT_DEATH(openAndUnload(),
                 "HOST VERIFIER: DRIVER_UNLOADED_WITH_OPEN_HANDLES(.|\n)*1 registry handles");
}

TEST(UnloadRuleDeathTest, DeviceMapValueLeftBehind)
{
    host::Host host;
    EXPECT_DEATH(LoadAndUnload(host, SerialCommKeepingEntry<true>),
                 "HOST VERIFIER: DEVICE_DELETED_WITH_DEVICEMAP_VALUE(.|\n)*SERIALCOMM\\\\"
                 "\\\\Device\\\\KdxLeft0 still names it");
    host::Host other;
    EXPECT_DEATH(LoadAndUnload(other, SerialCommKeepingEntry<false>),
                 "HOST VERIFIER: DRIVER_UNLOADED_WITH_DEVICEMAP_VALUES(.|\n)*1 values(.|\n)*"
                 "SERIALCOMM\\\\\\\\Device\\\\KdxLeft1");
}

TEST(UnloadRuleDeathTest, TimerLeftSet)
{
    host::Host host;
    EXPECT_DEATH(LoadAndUnload(host, TimerKeepingEntry),
                 "HOST VERIFIER: DRIVER_UNLOADED_WITH_TIMERS_SET");
}

TEST(UnloadRuleDeathTest, DpcLeftQueued)
{
    host::Host host;
    KDPC holder;
    KeInitializeDpc(&holder, HoldingDpc, nullptr);
    auto queueAndUnload = [&] {
        PDRIVER_OBJECT driver = LoadTestDriver(host, "testdrv", DpcOwningEntry);
        KeInsertQueueDpc(&holder, nullptr, nullptr);
        KeInsertQueueDpc(&g_driverDpc, nullptr, nullptr);
        host.UnloadDriver(driver);
        g_holdDpcThread = false;
    };
    EXPECT_DEATH(queueAndUnload(),
                 "HOST VERIFIER: DRIVER_UNLOADED_WITH_DPCS_QUEUED(.|\n)*1 DPCs queued");
}

TEST(UnloadRuleDeathTest, WorkItemStillRunning)
{
    host::Host host;
    auto queueAndUnload = [&] {
        PDRIVER_OBJECT driver = LoadTestDriver(host, "testdrv", WorkQueueingEntry);
        KeWaitForSingleObject(&g_itemStarted, Executive, KernelMode, FALSE, nullptr);
        host.UnloadDriver(driver);
    };
    EXPECT_DEATH(queueAndUnload(),
                 "HOST VERIFIER: DRIVER_UNLOADED_WITH_WORK_ITEMS(.|\n)*1 work items queued or "
                 "running");
}

TEST(UnloadRuleDeathTest, IrpNeverFreed)
{
    host::Host host;
    EXPECT_DEATH(LoadAndUnload(host, IrpKeepingEntry),
                 "HOST VERIFIER: IRP_LEAKED(.|\n)*from IrpKeepingEntry "
                 "\\(unload_rules_test.cpp:[0-9]+\\), held by \\\\Driver\\\\testdrv");
}

TEST(UnloadRuleDeathTest, DriverStillLoadedWhenTheHostEndsIsCheckedAsAtUnload)
{
    EXPECT_DEATH(
        {
            host::Host host;
            LoadTestDriver(host, "testdrv", LeakyDriverEntry);
        },
        "HOST VERIFIER: DRIVER_UNLOADED_WITHOUT_FREEING_POOL(.|\n)*outstanding when the host "
        "ended \\(\\\\Driver\\\\testdrv\\)(.|\n)*LeakyDriverEntry");
    EXPECT_DEATH(
        {
            host::Host host;
            LoadTestDriver(host, "testdrv", DeviceKeepingEntry);
        },
        "HOST VERIFIER: DRIVER_UNLOADED_WITH_DEVICE_OBJECTS(.|\n)*1 device objects of "
        "\\\\Driver\\\\testdrv remain when the host ended(.|\n)*\\\\Device\\\\KdxLeft0");
}

