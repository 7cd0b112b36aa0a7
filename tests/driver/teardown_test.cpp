// Stop, surprise removal and removal: what each gives back (numbers, names, buffers, the
// device object), what a stop keeps for the start after it, and removals of devices whose
// start failed or never came.
#include <gtest/gtest.h>

#include "support/driver_fixture.h"
#include "support/port_requests.h"

using namespace kdxtest;

namespace {

constexpr size_t kDriverWideBlocks = 2;  // the scratch buffer and the instance lock block

class Teardown : public BusModeTest {
protected:
    ULONG TakeInstanceNumber()
    {
        return AsDriver([] { return AllocateInstanceNumber(); });
    }
    ULONG TakePortNumber(ULONG instance)
    {
        return AsDriver([instance] { return AllocatePortNumber(instance); });
    }
    size_t DriverPoolBlocks() { return host.pool().OutstandingBlocks(host.driver()).count; }

    // Writes through the port and reads the echo back.
    void ExpectEchoThrough(const std::u16string& port)
    {
        host::OpenResult open = host.app().Open(port);
        ASSERT_EQ(STATUS_SUCCESS, open.status) << "opening " << Text(port);
        host::IoResult written = host.app().Write(open.handle, Bytes("ping"));
        EXPECT_EQ(STATUS_SUCCESS, written.status) << Hex(written.status);
        EXPECT_EQ(4u, written.information);
        host::IoResult read = host.app().Read(open.handle, 4);
        EXPECT_EQ(STATUS_SUCCESS, read.status) << Hex(read.status);
        EXPECT_EQ(Bytes("ping"), read.output);
        EXPECT_EQ(STATUS_SUCCESS, host.app().Close(open.handle));
    }

    host::DeviceModel EchoAdapter(USHORT product)
    {
        host::DeviceModel adapter = Adapter(product);
        adapter.echo = true;
        return adapter;
    }
};

TEST_P(Teardown, RemovalGivesBackTheNumbersTheNameTheBuffersAndTheDeviceObject)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugFiltered(Adapter(kNumberedProduct), &filter);
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    ASSERT_GT(DriverPoolBlocks(), kDriverWideBlocks);

    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Remove(plugged.physicalDevice));

    std::vector<LowerFilter::Seen> seen = filter->SeenRequests(IRP_MJ_PNP);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, seen.back().minor);
    EXPECT_EQ(STATUS_SUCCESS, seen.back().status) << "the removal goes down as a success";
    EXPECT_EQ(2, seen.back().portIoCount)
        << "the removal's own reference and the base one; the base one is left at deletion";
    EXPECT_EQ(0u, host.objects().DeviceCount(host.driver()));
    EXPECT_EQ(kDriverWideBlocks, DriverPoolBlocks())
        << host.pool().OutstandingBlocks(host.driver()).listing;
    EXPECT_EQ("", LinkTarget(u"\\DosDevices\\VLT0"));
    EXPECT_FALSE(InterfaceEnabled(plugged.physicalDevice));
    EXPECT_EQ(0u, TakeInstanceNumber()) << "the instance number came back";
    EXPECT_EQ(0u, TakePortNumber(0)) << "the port number came back";
    host.UnloadDriver();
}

TEST_P(Teardown, SurpriseRemovalGivesThePortNumberBackAndTheRemovalTheInstanceNumberOnce)
{
    Plugged first = Plug(Adapter(kNumberedProduct));   // instance 0, VLT0
    Plugged second = Plug(Adapter(kNumberedProduct));  // instance 1, VLT1
    ASSERT_EQ(STATUS_SUCCESS, first.startStatus);
    ASSERT_EQ(STATUS_SUCCESS, second.startStatus);
    host::OpenResult open = host.app().Open(u"VLT0");
    ASSERT_EQ(STATUS_SUCCESS, open.status);

    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Unplug(first.physicalDevice));
    EXPECT_TRUE(host.pnp().RemovalWaiting(first.physicalDevice)) << "a handle is still open";
    EXPECT_EQ("", LinkTarget(u"\\DosDevices\\VLT0")) << "the name goes at surprise removal";
    // The port number goes with the name; the instance number names the device object that
    // the open handle still holds.
    EXPECT_EQ(0u, TakePortNumber(5));
    EXPECT_EQ(2u, TakeInstanceNumber());

    EXPECT_EQ(STATUS_SUCCESS, host.app().Close(open.handle));
    EXPECT_TRUE(host.pnp().Removed(first.physicalDevice)) << "the last close lets the removal go";
    EXPECT_EQ(1u, host.objects().DeviceCount(host.driver()));
    EXPECT_EQ(0u, TakeInstanceNumber()) << "the deletion gave instance 0 back";
    EXPECT_EQ(3u, TakeInstanceNumber()) << "and nothing else";
    EXPECT_EQ(2u, TakePortNumber(6)) << "port 0 is still someone else's";

    host.pnp().Unplug(second.physicalDevice);
    EXPECT_EQ(0u, host.objects().DeviceCount(host.driver()));
    EXPECT_EQ(1u, TakePortNumber(7)) << "the second device gave its port back";
    EXPECT_EQ(1u, TakeInstanceNumber()) << "and its instance number";
}

TEST_P(Teardown, APortRepluggedWhileProgramsHoldTheOldOnesWorksAtOnceGenerationAfterGeneration)
{
    std::vector<host::Handle> held;
    for (int generation = 0; generation < 3; generation++) {
        SCOPED_TRACE("generation " + std::to_string(generation));
        Plugged plugged = Plug(EchoAdapter(kNumberedProduct));
        ASSERT_EQ(STATUS_SUCCESS, plugged.addStatus) << Hex(plugged.addStatus);
        ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus) << Hex(plugged.startStatus);
        EXPECT_EQ("\\Device\\KDX_LUSB" + std::to_string(generation),
                  LinkTarget(u"\\DosDevices\\VLT0"));
        host::OpenResult open = host.app().Open(u"VLT0");
        ASSERT_EQ(STATUS_SUCCESS, open.status);
        EXPECT_EQ(STATUS_SUCCESS, host.app().Write(open.handle, Bytes("ping")).status);
        EXPECT_EQ(Bytes("ping"), host.app().Read(open.handle, 4).output);
        held.push_back(open.handle);

        EXPECT_EQ(STATUS_SUCCESS, host.pnp().Unplug(plugged.physicalDevice));
        EXPECT_EQ(STATUS_DELETE_PENDING, host.app().Write(open.handle, Bytes("late")).status);
        host::IoResult read = host.app().Read(open.handle, 4);
        EXPECT_EQ(STATUS_SUCCESS, read.status) << Hex(read.status);
        EXPECT_EQ(0u, read.information);
    }
    for (host::Handle handle : held) EXPECT_EQ(STATUS_SUCCESS, host.app().Close(handle));
    EXPECT_EQ(0u, host.objects().DeviceCount(host.driver())) << "every removal followed its close";
    Plug(EchoAdapter(kNumberedProduct));
    EXPECT_EQ("\\Device\\KDX_LUSB0", LinkTarget(u"\\DosDevices\\VLT0")) << "the numbers came back";
    ExpectEchoThrough(u"VLT0");
}

TEST_P(Teardown, AStopKeepsNumbersAndBuffersAndTheStartAfterItNamesThePortAgain)
{
    Plugged plugged = Plug(EchoAdapter(kNumberedProduct));
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    PDEVICE_EXTENSION extension = Extension(plugged);
    ExpectEchoThrough(u"VLT0");

    EXPECT_EQ(STATUS_NOT_SUPPORTED, host.pnp().Stop(plugged.physicalDevice))
        << "the query-stop keeps the status it arrived with";
    EXPECT_EQ(0, extension->StopPending) << "cancel-stop followed the failed query";
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Stop(plugged.physicalDevice, false));
    EXPECT_EQ(0, extension->Started);
    EXPECT_FALSE(plugged.device->configured()) << Log(*plugged.device);
    EXPECT_EQ("", LinkTarget(u"\\DosDevices\\VLT0"));
    EXPECT_FALSE(InterfaceEnabled(plugged.physicalDevice));
    EXPECT_EQ(0u, extension->PortNumber);
    EXPECT_NE(nullptr, extension->DeviceDescriptor);
    EXPECT_NE(nullptr, extension->ConfigurationDescriptor);
    EXPECT_NE(nullptr, extension->InterfaceInformation);
    EXPECT_EQ(1, extension->IoCount);
    EXPECT_EQ(1u, TakeInstanceNumber()) << "instance 0 stays taken";
    EXPECT_EQ(1u, TakePortNumber(1)) << "port 0 stays taken";

    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Start(plugged.physicalDevice));
    EXPECT_EQ(0u, extension->PortNumber) << "the restart keeps its port number";
    EXPECT_EQ("\\Device\\KDX_LUSB0", LinkTarget(u"\\DosDevices\\VLT0"));
    EXPECT_TRUE(InterfaceEnabled(plugged.physicalDevice));
    ExpectEchoThrough(u"VLT0");

    host.pnp().Unplug(plugged.physicalDevice);
    EXPECT_EQ(0u, TakePortNumber(2)) << "port 0 came back once";
    EXPECT_EQ(2u, TakePortNumber(3)) << "and port 1 was not given back by the removal";
}

TEST_P(Teardown, RemovalAfterAFailedStartFreesWhatTheStartLeft)
{
    for (bool registryFails : {true, false}) {
        SCOPED_TRACE(registryFails ? "the port cannot be named" : "no bulk pipes");
        host::DeviceModel adapter = Adapter(kNumberedProduct);
        if (registryFails) {
            adapter.registryKeyFails = true;
        } else {
            adapter.interfaces[0].endpoints.pop_back();
        }
        host.pnp().SetRemoveAfterFailedStart(true);
        Plugged plugged = Plug(adapter);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, plugged.startStatus);
        EXPECT_TRUE(host.pnp().Removed(plugged.physicalDevice));
        EXPECT_EQ(0u, host.objects().DeviceCount(host.driver()));
        EXPECT_EQ(kDriverWideBlocks, DriverPoolBlocks())
            << host.pool().OutstandingBlocks(host.driver()).listing;
        EXPECT_TRUE(host.objects().SymbolicLinks().empty());
    }
    EXPECT_EQ(0u, TakeInstanceNumber());
    EXPECT_EQ(0u, TakePortNumber(0));
}

TEST_P(Teardown, RemovalFreesALandingBufferThatNoCloseGaveBack)
{
    Plugged plugged = Plug(Adapter(kNumberedProduct));
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    size_t blocks = DriverPoolBlocks();
    ASSERT_EQ(STATUS_SUCCESS, host.app().Open(u"VLT0").status);
    ASSERT_NE(nullptr, Extension(plugged)->ReceiveLandingBuffer);
    EXPECT_LT(blocks, DriverPoolBlocks()) << "the open took its landing buffer";

    // The removal alone, with the port still open (no close will come to give it back).
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().SendRemove(plugged.physicalDevice));
    EXPECT_EQ(kDriverWideBlocks, DriverPoolBlocks())
        << host.pool().OutstandingBlocks(host.driver()).listing;
    host.UnloadDriver();
}

TEST_P(Teardown, RemovalOfADeviceNeverStartedDeletesItWithNothingSentToTheDevice)
{
    Plugged plugged = Add(Adapter(kNumberedProduct));
    ASSERT_EQ(STATUS_SUCCESS, plugged.addStatus);
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Remove(plugged.physicalDevice));
    EXPECT_EQ(0u, host.objects().DeviceCount(host.driver()));
    EXPECT_EQ(kDriverWideBlocks, DriverPoolBlocks());
    EXPECT_TRUE(plugged.device->Requests().empty()) << Log(*plugged.device);
    EXPECT_EQ(0u, TakeInstanceNumber());
    EXPECT_EQ(0u, TakePortNumber(0)) << "no port number was ever taken";
    host.UnloadDriver();
}

TEST_P(Teardown, ADeviceOverTheFullPortTableGivesBackItsOwnInstanceNumber)
{
    std::vector<Plugged> devices;
    for (int i = 0; i < KDX_PORT_TABLE_SIZE + 1; i++) {
        devices.push_back(Plug(Adapter(kNumberedProduct)));
        ASSERT_EQ(STATUS_SUCCESS, devices.back().startStatus) << "device " << i;
    }
    PDEVICE_EXTENSION last = Extension(devices.back());
    ASSERT_EQ(ULONG(KDX_PORT_TABLE_SIZE), last->PortNumber);
    ASSERT_EQ(ULONG(KDX_PORT_TABLE_SIZE), last->InstanceNumber);
    EXPECT_EQ("\\Device\\KDX_LUSB16", LinkTarget(u"\\DosDevices\\VLT16"));

    host.pnp().Unplug(devices.back().physicalDevice);
    devices.pop_back();
    EXPECT_EQ(ULONG(KDX_PORT_TABLE_SIZE), TakeInstanceNumber()) << "its instance number";
    EXPECT_EQ(ULONG(KDX_PORT_TABLE_SIZE), TakePortNumber(17)) << "no port entry was freed";
    for (const Plugged& plugged : devices) host.pnp().Unplug(plugged.physicalDevice);
    EXPECT_EQ(0u, host.objects().DeviceCount(host.driver()));
}

TEST_P(Teardown, StopAndRestartWithTheHandleClosedBetweenKeepsThePortWorkingUnderItsName)
{
    Plugged plugged = Plug(EchoAdapter(kOtherProduct));
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    host::OpenResult open = host.app().Open(u"KD");
    ASSERT_EQ(STATUS_SUCCESS, open.status);
    EXPECT_EQ(STATUS_SUCCESS, host.app().Write(open.handle, Bytes("x")).status);
    EXPECT_EQ(Bytes("x"), host.app().Read(open.handle, 1).output)
        << "the echo, taken off the device";
    EXPECT_EQ(STATUS_SUCCESS, host.app().Close(open.handle));

    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Stop(plugged.physicalDevice, false));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, host.app().Open(u"KD").status);
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Start(plugged.physicalDevice));
    ExpectEchoThrough(u"KD");

    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Remove(plugged.physicalDevice));
    host.UnloadDriver();
}

TEST_P(Teardown, AStopWithThePortOpenEndsItsRequestsAndTheCloseAndARestartStillWork)
{
    Plugged plugged = Plug(EchoAdapter(kNumberedProduct));
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    host::OpenResult open = host.app().Open(u"VLT0");
    ASSERT_EQ(STATUS_SUCCESS, open.status);
    host::OutstandingRequest read = host.app().StartRead(open.handle, 8);
    plugged.device->HoldOut(true);
    host::OutstandingRequest write = host.app().StartWrite(open.handle, Bytes("held"));
    PortClient port(host.app(), open.handle);
    ASSERT_EQ(STATUS_SUCCESS, port.SetWaitMask(SERIAL_EV_TXEMPTY).status);
    host::OutstandingRequest wait = port.StartWaitOnMask();
    EXPECT_FALSE(read.Completed());
    EXPECT_FALSE(write.Completed());
    EXPECT_FALSE(wait.Completed());

    // The stop alone, as no query-stop succeeds with a handle open.
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Stop(plugged.physicalDevice, false));
    host::IoResult readResult = read.Wait();
    EXPECT_EQ(0u, readResult.information) << Hex(readResult.status);
    EXPECT_NE(STATUS_SUCCESS, write.Wait().status) << "the held write did not get through";
    EXPECT_NE(STATUS_PENDING, wait.Wait().status);
    EXPECT_EQ(STATUS_DELETE_PENDING, host.app().Write(open.handle, Bytes("late")).status);
    EXPECT_EQ(STATUS_SUCCESS, host.app().Close(open.handle));

    plugged.device->HoldOut(false);
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Start(plugged.physicalDevice));
    ExpectEchoThrough(u"VLT0");
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Remove(plugged.physicalDevice));
    host.UnloadDriver();
}

TEST_P(Teardown, QueryRemoveWithAHandleOpenIsCancelledAndThePortStaysUsable)
{
    Plugged plugged = Plug(EchoAdapter(kNumberedProduct));
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    host::OpenResult open = host.app().Open(u"VLT0");
    ASSERT_EQ(STATUS_SUCCESS, open.status);
    EXPECT_EQ(STATUS_DEVICE_BUSY, host.pnp().Remove(plugged.physicalDevice));
    EXPECT_FALSE(host.pnp().Removed(plugged.physicalDevice));
    EXPECT_EQ(STATUS_SUCCESS, host.app().Write(open.handle, Bytes("ok")).status);
    EXPECT_EQ(STATUS_SUCCESS, host.app().Close(open.handle));
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Remove(plugged.physicalDevice));
    host.UnloadDriver();
}

TEST_P(Teardown, ARemovalWaitsForWorkQueuedOnASlowWorkQueueThatHasNotStartedYet)
{
    // The receive pump that the open queued, and the completion of a wait-on-mask request that
    // the pump's delivery queued (for product 0x005B it is completed directly).
    for (USHORT product : {kNumberedProduct, kOtherProduct}) {
        SCOPED_TRACE(product == kNumberedProduct ? "the receive pump" : "a wait's completion");
        Plugged plugged = Plug(Adapter(product));
        ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
        if (product == kNumberedProduct) {
            // The open gives up waiting for the pump's start after 2 s.
            host.deferred().SetDelayedWorkStartDelay(host::Milliseconds(10000));
        }
        host::OpenResult open = host.app().Open(product == kNumberedProduct ? u"VLT0" : u"KD");
        ASSERT_EQ(STATUS_SUCCESS, open.status);
        PortClient port(host.app(), open.handle);
        host::OutstandingRequest wait;
        const WORK_QUEUE_ITEM* item;
        if (product == kOtherProduct) {
            EXPECT_EQ(STATUS_SUCCESS, host.app().Write(open.handle, Bytes("x")).status);
            EXPECT_EQ(STATUS_SUCCESS, port.SetWaitMask(SERIAL_EV_RXCHAR).status);
            wait = port.StartWaitOnMask();
            item = &Extension(plugged)->WaitMaskWorkQueueItem;
            host.deferred().SetDelayedWorkStartDelay(host::Milliseconds(10000));
            plugged.device->OfferIn(Bytes("y"));
        } else {
            item = &Extension(plugged)->ReceivePumpWorkQueueItem;
        }
        for (int ms = 0; ms < 1000 && !WorkItemQueued(*item); ms++) {
            host.Sleep(host::Milliseconds(1));
        }
        ASSERT_TRUE(WorkItemQueued(*item)) << "the item is queued";
        host.deferred().SetDelayedWorkStartDelay(0);

        EXPECT_EQ(STATUS_SUCCESS, host.pnp().Unplug(plugged.physicalDevice));
        EXPECT_EQ(STATUS_SUCCESS, host.app().Close(open.handle));
        // The host stops the test when a device object is deleted with its work item queued.
        EXPECT_EQ(0u, host.objects().DeviceCount(host.driver()));
        if (product == kOtherProduct) {
            EXPECT_NE(STATUS_PENDING, wait.Wait().status);
        }
    }
}

KDX_FOR_BOTH_BUS_MODES(Teardown);

// A removal that finds a request held inside the driver (a write the device holds) ends it
// and waits until it has finished before the device goes: when the removal passes the port's
// device, the write is complete and only the base reference and the removal's own are left,
// so the deletion leaves the base one.
TEST_P(Teardown, RemovalWaitsForAWriteTheDeviceHoldsBeforeItDeletesTheDevice)
{
    std::unique_ptr<LowerFilter> filter;
    Plugged plugged = PlugFiltered(Adapter(kNumberedProduct), &filter);
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    host::OpenResult open = host.app().Open(u"VLT0");
    ASSERT_EQ(STATUS_SUCCESS, open.status) << Hex(open.status);
    plugged.device->HoldOut(true);
    host::OutstandingRequest write = host.app().StartWrite(open.handle, Bytes("held"));
    for (int ms = 0; ms < 1000 && plugged.device->PendingTransfers(host::Direction::Out) == 0; ms++)
        host.Sleep(host::Milliseconds(1));
    ASSERT_EQ(1u, plugged.device->PendingTransfers(host::Direction::Out))
        << "the write was not sent";

    EXPECT_EQ(STATUS_SUCCESS, host.pnp().SendRemove(plugged.physicalDevice));
    std::vector<LowerFilter::Seen> seen = filter->SeenRequests(IRP_MJ_PNP);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, seen.back().minor);
    EXPECT_EQ(2, seen.back().portIoCount) << "a reference still held when the removal went on";
    EXPECT_TRUE(write.Completed());
    EXPECT_EQ(0u, host.objects().DeviceCount(host.driver()));
    host.app().Abandon(open.handle);
}

}  // namespace
