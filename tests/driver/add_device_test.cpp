// Device creation: the named device object above the bus's physical device object, its
// interface and capabilities, and adds that fail without leaving anything behind.
#include <gtest/gtest.h>

#include "support/driver_fixture.h"

using namespace kdxtest;

namespace {

class AddDeviceTest : public DriverTest {};

TEST_F(AddDeviceTest, CreatesANamedSerialPortDeviceAttachedAboveTheBusDevice)
{
    Plugged plugged = Add(Adapter(kNumberedProduct));
    ASSERT_EQ(STATUS_SUCCESS, plugged.addStatus);
    PDEVICE_OBJECT device = plugged.functionDevice;
    PDEVICE_EXTENSION extension = Extension(plugged);

    EXPECT_EQ("\\Device\\KDX_LUSB0", NameOf(device));
    EXPECT_EQ("\\Device\\KDX_LUSB0", Text(extension->DeviceName));
    EXPECT_EQ(ULONG(FILE_DEVICE_SERIAL_PORT), device->DeviceType);
    EXPECT_EQ(ULONG(FILE_DEVICE_SECURE_OPEN), device->Characteristics);
    EXPECT_EQ(ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE),
              device->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING))
        << "flags 0x" << std::hex << device->Flags;
    EXPECT_EQ(device, plugged.physicalDevice->AttachedDevice);
    EXPECT_EQ(plugged.physicalDevice, extension->LowerDeviceObject);
    EXPECT_EQ(plugged.physicalDevice, extension->PhysicalDeviceObject);
    EXPECT_EQ(ULONG(KDX_MAXIMUM_TRANSFER_SIZE), extension->MaximumTransferSize);
    EXPECT_TRUE(plugged.device->Requests().empty())
        << "nothing goes to the device before start:" << Log(*plugged.device);

    std::vector<host::InterfaceRecord> interfaces = InterfacesOf(plugged.physicalDevice);
    ASSERT_EQ(1u, interfaces.size());
    const GUID portClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0, 0}};
    EXPECT_EQ(0, memcmp(&portClass, &interfaces[0].classGuid, sizeof(GUID)));
    EXPECT_FALSE(interfaces[0].enabled) << "enabled only once the port is named";
    EXPECT_EQ(Text(interfaces[0].linkName), Text(extension->InterfaceName));

    auto reported = host.objects().PowerStates(device);
    ASSERT_EQ(1u, reported.size());
    EXPECT_EQ(DevicePowerState, reported[0].first);
    EXPECT_EQ(PowerDeviceD0, reported[0].second.DeviceState);
}

TEST_F(AddDeviceTest, AsksTheBusForCapabilitiesWithAPreparedRecordButDoesNotNeedThem)
{
    Plugged plugged = Add(Adapter(kNumberedProduct));
    const DEVICE_CAPABILITIES& capabilities = Extension(plugged)->DeviceCapabilities;
    EXPECT_EQ(sizeof(DEVICE_CAPABILITIES), capabilities.Size);
    EXPECT_EQ(1, capabilities.Version);
    EXPECT_EQ(plugged.device->port, capabilities.Address) << "the bus refuses a bare record";

    host::DeviceModel adapter = Adapter(kNumberedProduct);
    adapter.capabilitiesFail = true;
    Plugged refused = Plug(adapter);
    EXPECT_EQ(STATUS_SUCCESS, refused.addStatus);
    EXPECT_EQ(STATUS_SUCCESS, refused.startStatus);
    EXPECT_EQ(MAXULONG, Extension(refused)->DeviceCapabilities.Address) << "left unknown";
}

TEST_F(AddDeviceTest, AFailedAttachOrInterfaceRegistrationLeavesNothingAndFreesTheNumber)
{
    ASSERT_EQ(STATUS_SUCCESS, Plug(Adapter(kNumberedProduct)).startStatus);
    size_t blocks = host.Summary().poolBlocks;

    host::DeviceModel refusing = Adapter(kNumberedProduct);
    refusing.refusesAttach = true;  // the physical device object is going away
    Plugged refused = Plug(refusing);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, refused.addStatus);

    host.pool().FailAllocationsFrom("IoRegisterDeviceInterface");
    Plugged unregistered = Plug(Adapter(kNumberedProduct));
    host.pool().ClearFaults();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, unregistered.addStatus);
    EXPECT_EQ(nullptr, unregistered.physicalDevice->AttachedDevice) << "detached, then deleted";

    EXPECT_EQ(1u, host.objects().DeviceCount(host.driver()));
    EXPECT_EQ(blocks, host.Summary().poolBlocks) << "the device names are freed";
    Plugged next = Plug(Adapter(kNumberedProduct));
    EXPECT_EQ("\\Device\\KDX_LUSB1", NameOf(next.functionDevice)) << "number 1 was given back";
    EXPECT_EQ(STATUS_SUCCESS, next.startStatus);
}

// Fails each allocation of a device's bring-up in turn (the driver's pool blocks and the
// requests it allocates), then plugs a second device.
class BringUpAllocation : public testing::TestWithParam<bool> {};

TEST_P(BringUpAllocation, EachFailureFailsTheAddCleanlyOrTheStartOrOnlyLosesWhatIsOptional)
{
    bool sawAddFailure = false, sawStartFailure = false;
    int n = 1;
    for (; n < 100; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of the bring-up fails");
        host::Host host;
        RunEnder ender(host);
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver(DriverEntry));
        size_t entryBlocks = host.Summary().poolBlocks;
        host.pool().FailNthAllocation(n);
        host::PnpManager::Plugged plugged = host.Plug(Adapter(kNumberedProduct, GetParam()));
        host.pool().ClearFaults();
        if (host.Summary().failedAllocations == 0) break;  // the bring-up made fewer

        if (!NT_SUCCESS(plugged.addStatus)) {
            sawAddFailure = true;
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, plugged.addStatus);
            EXPECT_EQ(0u, host.objects().DeviceCount(host.driver()));
            EXPECT_EQ(nullptr, plugged.physicalDevice->AttachedDevice);
            EXPECT_EQ(entryBlocks, host.Summary().poolBlocks);
        } else if (!NT_SUCCESS(plugged.startStatus)) {
            sawStartFailure = true;
            EXPECT_TRUE(plugged.startStatus == STATUS_INSUFFICIENT_RESOURCES ||
                        plugged.startStatus == STATUS_UNSUCCESSFUL)
                << "start status 0x" << std::hex << plugged.startStatus;
            EXPECT_EQ(0, GetDeviceExtension(plugged.functionDevice)->Started);
            EXPECT_EQ(0u, host.Summary().symbolicLinks) << "the failed start left a port name";
        } else {
            // Only the capabilities request and the PortName value's name may be lost.
            ULONG type;
            std::vector<UCHAR> data;
            bool named =
                host.objects().ReadRegistryValue(plugged.physicalDevice, u"PortName", &type, &data);
            ULONG address = GetDeviceExtension(plugged.functionDevice)->DeviceCapabilities.Address;
            EXPECT_TRUE(!named || address != plugged.device->port)
                << "a start succeeded although an allocation failed";
        }

        host::PnpManager::Plugged next = host.Plug(Adapter(kNumberedProduct, GetParam()));
        EXPECT_EQ(NT_SUCCESS(plugged.addStatus) ? "\\Device\\KDX_LUSB1" : "\\Device\\KDX_LUSB0",
                  NameOf(next.functionDevice));
        EXPECT_EQ(STATUS_SUCCESS, next.startStatus);
    }
    EXPECT_LT(n, 100) << "the bring-up never ran out of allocations to fail";
    EXPECT_TRUE(sawAddFailure);
    EXPECT_TRUE(sawStartFailure);
}

KDX_FOR_BOTH_BUS_MODES(BringUpAllocation);

}  // namespace
