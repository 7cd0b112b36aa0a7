// A device going away: the bus's answers once a device is pulled out, and the Plug and Play
// manager's sequences for stop, restart, removal, surprise removal and unplug, with the
// removal of a surprise-removed device held back until its last handle is closed.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "support/bus_client.h"

using namespace hosttest;

namespace {

// ---------------------------------------------------------------------------------------------
// The bus
// ---------------------------------------------------------------------------------------------
class VanishedDevice : public BusTest {};

TEST_P(VanishedDevice, FailsWaitingAndNewTransfersAsGoneAndReadsDisconnected)
{
    device.HoldOut(true);
    auto in = client.In(64);
    auto out = client.Out(Bytes(8));
    ASSERT_EQ(STATUS_PENDING, in->returned);
    ASSERT_EQ(STATUS_PENDING, out->returned);

    device.Vanish();
    for (BulkTransfer* transfer : {in.get(), out.get()}) {
        EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, transfer->Wait());
        EXPECT_EQ(USBD_STATUS_DEVICE_GONE, transfer->usbdStatus());
        EXPECT_EQ(0u, transfer->length());
    }
    host::Ticks now = client.host.Now();
    auto late = client.In(64);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, late->Wait());
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, late->usbdStatus());
    EXPECT_EQ(now, late->completedAt) << "a transfer to a gone device fails at once";
    device.OfferIn(Bytes(4));
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, client.In(64)->Wait()) << "offered bytes never arrive";

    ULONG word = 0;
    EXPECT_EQ(STATUS_SUCCESS, client.PortStatus(&word));
    EXPECT_EQ(0u, word & USBD_PORT_CONNECTED);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, client.ResetPort());
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, client.ResetPipe(client.inPipe))
        << "no other URB reaches it either";
}

TEST(VanishedDeviceOnATimedBus, LosesATransferStillInFlight)
{
    host::DeviceModel model = Serial(false);
    model.busSpeed = host::BusSpeed::Full;
    BusClient timed(model);
    auto out = timed.Out(Bytes(4096));  // 64 packets: several frames on the bus
    timed.device->Vanish();
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, out->Wait());
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, out->usbdStatus());
    EXPECT_TRUE(timed.device->TakeOutTransfers().empty());
}

TEST_P(VanishedDevice, UnplugDeletesThePhysicalDeviceObjectAfterTheRemoval)
{
    PDEVICE_OBJECT physicalDevice = client.physicalDevice;
    std::u16string name = host::RecordOf(physicalDevice)->name;
    EXPECT_EQ(STATUS_SUCCESS, client.host.pnp().Unplug(physicalDevice));
    EXPECT_TRUE(client.host.pnp().Removed(physicalDevice)) << "no handle: the removal at once";
    EXPECT_TRUE(device.gone());
    EXPECT_EQ(nullptr, device.physicalDevice);
    EXPECT_EQ(nullptr, client.host.objects().FindDevice(name));
}

INSTANTIATE_TEST_SUITE_P(Bus, VanishedDevice, testing::Bool(), BusModeName);

// ---------------------------------------------------------------------------------------------
// The Plug and Play manager's sequences, seen by a small function driver
// ---------------------------------------------------------------------------------------------

// A function driver that names its device "\Device\PnpTest0" with the link "PNPTEST0", records
// every request, passes Plug and Play requests down, and detaches and deletes its device at
// removal. A query or a start can be made to fail.
struct RecordingDriver {
    std::vector<std::pair<UCHAR, UCHAR>> seen;  // major, minor
    bool failQueries = false;
    bool failStart = false;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;

    static RecordingDriver* current;

    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        for (auto& routine : driver->MajorFunction) routine = Dispatch;
        driver->DriverExtension->AddDevice = AddDevice;
        driver->DriverUnload = TestUnload;
        return STATUS_SUCCESS;
    }

    static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
    {
        UNICODE_STRING name, link;
        RtlInitUnicodeString(&name, u"\\Device\\PnpTest0");
        RtlInitUnicodeString(&link, u"\\DosDevices\\PNPTEST0");
        NTSTATUS status =
            IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &current->device);
        if (!NT_SUCCESS(status)) return status;
        current->lower = IoAttachDeviceToDeviceStack(current->device, physicalDevice);
        IoCreateSymbolicLink(&link, &name);
        current->device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
        return STATUS_SUCCESS;
    }

    static NTSTATUS Complete(PIRP irp, NTSTATUS status)
    {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        current->seen.emplace_back(stack->MajorFunction, stack->MinorFunction);
        if (stack->MajorFunction != IRP_MJ_PNP) return Complete(irp, STATUS_SUCCESS);
        UCHAR minor = stack->MinorFunction;
        if ((minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE) &&
            current->failQueries) {
            return Complete(irp, STATUS_DEVICE_BUSY);
        }
        if (minor == IRP_MN_START_DEVICE && current->failStart) {
            return Complete(irp, STATUS_UNSUCCESSFUL);
        }
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(current->lower, irp);
        if (minor == IRP_MN_REMOVE_DEVICE) {
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, u"\\DosDevices\\PNPTEST0");
            IoDeleteSymbolicLink(&link);
            IoDetachDevice(current->lower);
            IoDeleteDevice(current->device);
        }
        return status;
    }

    // The minor functions of the Plug and Play requests seen since the last call.
    std::vector<UCHAR> TakePnp()
    {
        std::vector<UCHAR> minors;
        for (auto [major, minor] : seen) {
            if (major == IRP_MJ_PNP) minors.push_back(minor);
        }
        seen.clear();
        return minors;
    }
};

RecordingDriver* RecordingDriver::current = nullptr;

class PnpSequences : public testing::Test {
protected:
    void SetUp() override
    {
        RecordingDriver::current = &recorder;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver(RecordingDriver::Entry, "pnptest"));
    }
    void TearDown() override { RecordingDriver::current = nullptr; }

    host::PnpManager::Plugged PlugOne()
    {
        host::PnpManager::Plugged plugged = host.Plug(Serial(false));
        recorder.TakePnp();
        return plugged;
    }

    host::Host host;
    RecordingDriver recorder;
};

using Minors = std::vector<UCHAR>;

TEST_F(PnpSequences, AStopFollowsASuccessfulQueryAndACancelAFailedOne)
{
    host::PnpManager::Plugged plugged = PlugOne();
    recorder.failQueries = true;
    EXPECT_EQ(STATUS_DEVICE_BUSY, host.pnp().Stop(plugged.physicalDevice));
    EXPECT_EQ((Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}), recorder.TakePnp());
    recorder.failQueries = false;
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Stop(plugged.physicalDevice));
    EXPECT_EQ((Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}), recorder.TakePnp());
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Stop(plugged.physicalDevice, false));
    EXPECT_EQ((Minors{IRP_MN_STOP_DEVICE}), recorder.TakePnp()) << "the stop alone";
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Start(plugged.physicalDevice));
    EXPECT_EQ((Minors{IRP_MN_START_DEVICE}), recorder.TakePnp());
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Remove(plugged.physicalDevice));
    host.UnloadDriver();
}

TEST_F(PnpSequences, ARemovalFollowsASuccessfulQueryAndACancelAFailedOne)
{
    host::PnpManager::Plugged plugged = PlugOne();
    recorder.failQueries = true;
    EXPECT_EQ(STATUS_DEVICE_BUSY, host.pnp().Remove(plugged.physicalDevice));
    EXPECT_EQ((Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}),
              recorder.TakePnp());
    EXPECT_FALSE(host.pnp().Removed(plugged.physicalDevice));
    recorder.failQueries = false;
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Remove(plugged.physicalDevice));
    EXPECT_EQ((Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}), recorder.TakePnp());
    EXPECT_TRUE(host.pnp().Removed(plugged.physicalDevice));
    EXPECT_NE(nullptr, plugged.device->physicalDevice) << "a device still plugged stays on the bus";
    host.UnloadDriver();
}

TEST_F(PnpSequences, AFailedStartIsFollowedByTheRemoval)
{
    recorder.failStart = true;
    host.pnp().SetRemoveAfterFailedStart(true);
    host::PnpManager::Plugged plugged = host.Plug(Serial(false));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, plugged.startStatus);
    EXPECT_EQ(nullptr, plugged.functionDevice);
    EXPECT_EQ((Minors{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}), recorder.TakePnp());
    host.UnloadDriver();
}

TEST_F(PnpSequences, AfterASurpriseRemovalTheRemovalWaitsForTheLastHandle)
{
    host::PnpManager::Plugged plugged = PlugOne();
    host::OpenResult first = host.app().Open(u"PNPTEST0");
    host::OpenResult second = host.app().Open(u"PNPTEST0");
    ASSERT_EQ(STATUS_SUCCESS, first.status);
    ASSERT_EQ(STATUS_SUCCESS, second.status);
    recorder.seen.clear();

    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Unplug(plugged.physicalDevice));
    EXPECT_EQ((Minors{IRP_MN_SURPRISE_REMOVAL}), recorder.TakePnp());
    EXPECT_TRUE(host.pnp().RemovalWaiting(plugged.physicalDevice));
    EXPECT_EQ(STATUS_SUCCESS, host.app().DeviceControl(first.handle, kBufferedIoctl, {}, 0).status)
        << "requests still reach the driver";
    EXPECT_EQ(STATUS_SUCCESS, host.app().Close(first.handle));
    EXPECT_EQ(Minors{}, recorder.TakePnp()) << "one handle is still open";
    EXPECT_EQ(STATUS_SUCCESS, host.app().Close(second.handle));
    EXPECT_EQ((Minors{IRP_MN_REMOVE_DEVICE}), recorder.TakePnp());
    EXPECT_FALSE(host.pnp().RemovalWaiting(plugged.physicalDevice));
    EXPECT_EQ(nullptr, plugged.device->physicalDevice) << "the bus deleted it after the removal";
    host.UnloadDriver();
}

TEST_F(PnpSequences, ASurpriseRemovalWithNoHandleOpenIsFollowedByTheRemovalAtOnce)
{
    host::PnpManager::Plugged plugged = PlugOne();
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().SurpriseRemove(plugged.physicalDevice));
    EXPECT_EQ((Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}), recorder.TakePnp());
    EXPECT_NE(nullptr, plugged.device->physicalDevice) << "not unplugged: the bus keeps it";
    host.UnloadDriver();
}

}  // namespace
