// Driver entry and unload, and the driver-wide tables of instance and port numbers: what
// devices are named after, which number the next device gets, and what a release gives back.
#include <gtest/gtest.h>

#include "support/driver_fixture.h"

using namespace kdxtest;

namespace {

TEST(DriverEntry, UnloadGivesBackBothDriverWideBlocks)
{
    host::Host host;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver(DriverEntry));
    EXPECT_EQ(2u, host.Summary().poolBlocks) << "the scratch buffer and the instance lock block";
    host.UnloadDriver();  // the host stops the test if anything is left behind
    EXPECT_EQ(0u, host.Summary().poolBlocks);
}

class DriverEntryAllocation : public testing::TestWithParam<int> {};

TEST_P(DriverEntryAllocation, FailingFailsTheLoadWithNothingLeftAndALaterLoadSucceeds)
{
    host::Host host;
    RunEnder ender(host);
    host.pool().FailNthAllocation(GetParam());
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, host.LoadDriver(DriverEntry, "kdxlusb", &driver));
    EXPECT_EQ(nullptr, driver) << "a driver whose entry failed is gone";
    EXPECT_EQ(1u, host.Summary().failedAllocations);
    EXPECT_EQ(0u, host.Summary().poolBlocks) << "the first block is freed when the second fails";

    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver(DriverEntry));
    host::PnpManager::Plugged plugged = host.Plug(Adapter(kNumberedProduct));
    EXPECT_EQ(STATUS_SUCCESS, plugged.startStatus);
}

INSTANTIATE_TEST_SUITE_P(Failing, DriverEntryAllocation, testing::Values(1, 2),
                         [](const testing::TestParamInfo<int>& info) {
                             return info.param == 1 ? "ScratchBuffer" : "InstanceLockBlock";
                         });

class InstanceNumbers : public DriverTest {
protected:
    ULONG AllocateInstance()
    {
        return AsDriver([] { return AllocateInstanceNumber(); });
    }
    ULONG AllocatePort(ULONG instance)
    {
        return AsDriver([instance] { return AllocatePortNumber(instance); });
    }
    // What removal gives back: the port number of a numbered device when its port name goes,
    // the instance number when its device object goes.
    void ReleasePort(ULONG port, ULONG ownInstance)
    {
        AsDriver([=] { ReleasePortNumber(port, ownInstance); });
    }
    void Release(ULONG instance)
    {
        AsDriver([=] { ReleaseInstanceNumber(instance); });
    }
};

TEST_F(InstanceNumbers, NineteenthDeviceIsNamedWithEighteenAndATwentiethCannotBeAdded)
{
    for (ULONG i = 0; i < 19; i++) {
        Plugged plugged = Plug(Adapter(kOtherProduct));
        ASSERT_EQ(STATUS_SUCCESS, plugged.addStatus) << "device " << i;
        EXPECT_EQ("\\Device\\KDX_LUSB" + std::to_string(i), NameOf(plugged.functionDevice));
        EXPECT_EQ(i, Extension(plugged)->InstanceNumber);
    }
    size_t blocks = host.Summary().poolBlocks;
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Plug(Adapter(kOtherProduct)).addStatus)
        << "named with 18 again";
    EXPECT_EQ(19u, host.objects().DeviceCount(host.driver()));
    EXPECT_EQ(blocks, host.Summary().poolBlocks) << "the failed add freed its name";

    // Number 18 has no entry: giving it back frees no other number.
    Release(18);
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Plug(Adapter(kOtherProduct)).addStatus);
}

TEST_F(InstanceNumbers, TheLowestFreeNumberIsTakenFirst)
{
    for (ULONG i = 0; i < 5; i++) ASSERT_EQ(i, AllocateInstance());
    Release(3);
    EXPECT_EQ(3u, AllocateInstance()) << "3 was released while 4 is still held";
    EXPECT_EQ(5u, AllocateInstance());
}

TEST_F(InstanceNumbers, SixteenNumberedPortsThenThePortNumberIsSixteenWithoutAnEntry)
{
    for (ULONG i = 0; i < 16; i++) {
        Plugged plugged = Plug(Adapter(kNumberedProduct));
        ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus) << "device " << i;
        EXPECT_EQ(i, Extension(plugged)->PortNumber);
    }
    Plugged seventeenth = Plug(Adapter(kNumberedProduct));
    EXPECT_EQ(16u, Extension(seventeenth)->PortNumber);
    EXPECT_EQ(STATUS_SUCCESS, seventeenth.startStatus);
    EXPECT_EQ("\\Device\\KDX_LUSB16", LinkTarget(u"\\DosDevices\\VLT16"));

    Plugged eighteenth = Plug(Adapter(kNumberedProduct));
    EXPECT_EQ(16u, Extension(eighteenth)->PortNumber);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, eighteenth.startStatus) << "VLT16 is taken";
}

TEST_F(InstanceNumbers, ReleasingANumberedDevicesPortAndInstanceFreesBothAndNothingElse)
{
    // Ports 0 and 1, then instances 2 to 4 of another product: the next numbered device is
    // instance 5 on port 2.
    for (USHORT product :
         {kNumberedProduct, kNumberedProduct, kOtherProduct, kOtherProduct, kOtherProduct}) {
        Plug(Adapter(product));
    }
    PDEVICE_EXTENSION extension = Extension(Plug(Adapter(kNumberedProduct)));
    ASSERT_EQ(5u, extension->InstanceNumber);
    ASSERT_EQ(2u, extension->PortNumber);
    EXPECT_EQ("\\Device\\KDX_LUSB5", LinkTarget(u"\\DosDevices\\VLT2"));

    ReleasePort(extension->PortNumber, extension->InstanceNumber);
    Release(extension->InstanceNumber);
    EXPECT_EQ(5u, AllocateInstance());
    EXPECT_EQ(2u, AllocatePort(5));
    EXPECT_EQ(6u, AllocateInstance()) << "no other instance number was freed";
}

TEST_F(InstanceNumbers, ANumberedDeviceWithoutAPortEntryReleasesItsOwnInstanceNumberOnly)
{
    for (ULONG i = 0; i < 17; i++) ASSERT_EQ(i, AllocateInstance());
    for (ULONG i = 0; i < 16; i++) ASSERT_EQ(i, AllocatePort(i));
    ASSERT_EQ(16u, AllocatePort(16)) << "port table full";

    ReleasePort(16, 16);
    Release(16);
    EXPECT_EQ(16u, AllocateInstance());
    EXPECT_EQ(17u, AllocateInstance());
    EXPECT_EQ(16u, AllocatePort(17)) << "every port entry is still held";
}

TEST_F(InstanceNumbers, APortEntryIsFreedOnlyByTheInstanceItRecords)
{
    for (ULONG i = 0; i < 4; i++) ASSERT_EQ(i, AllocateInstance());
    ASSERT_EQ(0u, AllocatePort(2));

    ReleasePort(1, 3);  // port 1 was never taken
    ReleasePort(0, 3);  // port 0 is instance 2's
    EXPECT_EQ(1u, AllocatePort(3)) << "port 0 stayed taken";

    ReleasePort(0, 2);
    ASSERT_EQ(0u, AllocatePort(4)) << "another device takes the released port";
    ReleasePort(0, 2);  // the old device's port released a second time
    EXPECT_EQ(2u, AllocatePort(5)) << "the other device's port 0 stayed taken";
    EXPECT_EQ(4u, AllocateInstance()) << "no instance number was freed with a port";
}

}  // namespace
