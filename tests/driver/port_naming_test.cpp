// Port naming: the PortName value, the DOS device link and the enabled interface that a start
// leaves, the names of the numbered product and of every other product, and naming failures.
#include <gtest/gtest.h>

#include "support/driver_fixture.h"

using namespace kdxtest;

namespace {

class PortNaming : public DriverTest {};

TEST_F(PortNaming, TheFirstNumberedDeviceIsVLT0WithItsValueLinkAndInterface)
{
    Plugged plugged = Plug(Adapter(kNumberedProduct));
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    PDEVICE_EXTENSION extension = Extension(plugged);
    EXPECT_EQ("VLT0", PortNameValue(plugged.physicalDevice));
    EXPECT_EQ("\\Device\\KDX_LUSB0", LinkTarget(u"\\DosDevices\\VLT0"));
    EXPECT_EQ(plugged.functionDevice, host.objects().FindDevice(u"\\??\\VLT0"));
    EXPECT_EQ("\\DosDevices\\VLT0", Text(extension->SymbolicLinkName));
    EXPECT_EQ(1, extension->SymbolicLinkCreated);
    EXPECT_EQ(1, extension->DeviceNameOwned);
    EXPECT_TRUE(InterfaceEnabled(plugged.physicalDevice));
    EXPECT_EQ(0u, host.Summary().registryHandles) << "the hardware key is closed again";
}

TEST_F(PortNaming, TheNumberInTheNameIsThePortNumberNotTheInstanceNumber)
{
    Plug(Adapter(kOtherProduct));  // instance 0, named KD
    for (ULONG port = 0; port < 16; port++) {
        Plugged plugged = Plug(Adapter(kNumberedProduct));
        ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus) << "port " << port;
        EXPECT_EQ("VLT" + std::to_string(port), PortNameValue(plugged.physicalDevice));
    }
    EXPECT_EQ("\\Device\\KDX_LUSB1", LinkTarget(u"\\DosDevices\\VLT0"));
    EXPECT_EQ("\\Device\\KDX_LUSB16", LinkTarget(u"\\DosDevices\\VLT15"));
}

TEST_F(PortNaming, AnotherProductIsNamedKDAndASecondOneFailsOnTheTakenLink)
{
    Plugged first = Plug(Adapter(kOtherProduct));
    ASSERT_EQ(STATUS_SUCCESS, first.startStatus);
    EXPECT_EQ("KD", PortNameValue(first.physicalDevice));
    EXPECT_EQ("\\Device\\KDX_LUSB0", LinkTarget(u"\\DosDevices\\KD"));

    Plugged second = Plug(Adapter(kOtherProduct));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, second.startStatus);
    EXPECT_EQ("KD", PortNameValue(second.physicalDevice)) << "written before the link failed";
    EXPECT_EQ("\\Device\\KDX_LUSB0", LinkTarget(u"\\DosDevices\\KD")) << "the first keeps it";
    EXPECT_FALSE(InterfaceEnabled(second.physicalDevice));
    PDEVICE_EXTENSION extension = Extension(second);
    EXPECT_EQ(0, extension->SymbolicLinkCreated);
    EXPECT_EQ(nullptr, extension->SymbolicLinkName.Buffer);
    EXPECT_EQ(1, extension->PortConfigured) << "the teardown undoes what naming made";
    EXPECT_EQ(0, extension->Started);
}

TEST_F(PortNaming, AHardwareKeyThatCannotBeOpenedFailsTheStartWithNothingNamed)
{
    host::DeviceModel adapter = Adapter(kNumberedProduct);
    adapter.registryKeyFails = true;
    Plugged plugged = Plug(adapter);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, plugged.startStatus);
    EXPECT_EQ("", PortNameValue(plugged.physicalDevice));
    EXPECT_TRUE(host.objects().SymbolicLinks().empty());
    EXPECT_FALSE(InterfaceEnabled(plugged.physicalDevice));
    EXPECT_EQ(1, Extension(plugged)->PortConfigured);
}

TEST_F(PortNaming, AnInterfaceFoundEnabledAlreadyStillNamesThePort)
{
    Plugged plugged = Add(Adapter(kNumberedProduct));
    std::u16string interface = host::Widen(Text(Extension(plugged)->InterfaceName));
    ASSERT_EQ(STATUS_SUCCESS, host.objects().SetInterfaceState(interface, true));
    // Enabling it again answers with an informational status, which is no failure.
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().SendPnp(plugged.physicalDevice, IRP_MN_START_DEVICE));
    EXPECT_EQ("\\Device\\KDX_LUSB0", LinkTarget(u"\\DosDevices\\VLT0"));
    EXPECT_EQ(1, Extension(plugged)->SymbolicLinkCreated);
    EXPECT_TRUE(InterfaceEnabled(plugged.physicalDevice));
}

// RemovePortName as the teardown will call it, and CreatePortName as a start after a stop.
TEST_F(PortNaming, RemovingTheNameKeepsTheDeviceAndInterfaceNamesSoThePortCanBeNamedAgain)
{
    Plugged plugged = Plug(Adapter(kNumberedProduct));
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    PDEVICE_EXTENSION extension = Extension(plugged);
    std::string interfaceName = Text(extension->InterfaceName);

    AsDriver([&] { RemovePortName(extension); });
    EXPECT_FALSE(InterfaceEnabled(plugged.physicalDevice));
    EXPECT_EQ("", LinkTarget(u"\\DosDevices\\VLT0"));
    EXPECT_EQ(0, extension->SymbolicLinkCreated);
    EXPECT_EQ(nullptr, extension->SymbolicLinkName.Buffer);
    EXPECT_EQ("\\Device\\KDX_LUSB0", Text(extension->DeviceName));
    EXPECT_EQ(interfaceName, Text(extension->InterfaceName));

    size_t blocks = host.Summary().poolBlocks;
    AsDriver([&] { RemovePortName(extension); });
    EXPECT_EQ(blocks, host.Summary().poolBlocks) << "a second removal frees nothing";
    EXPECT_EQ("\\Device\\KDX_LUSB0", Text(extension->DeviceName));

    EXPECT_EQ(STATUS_SUCCESS, AsDriver([&] { return CreatePortName(extension); }));
    EXPECT_EQ("\\Device\\KDX_LUSB0", LinkTarget(u"\\DosDevices\\VLT0"));
    EXPECT_TRUE(InterfaceEnabled(plugged.physicalDevice));
}

// A device that accepts line settings is listed where programs look for serial ports
// (HARDWARE\DEVICEMAP\SERIALCOMM: device name = port name) while its port is named; the
// listing goes at a stop, a surprise removal and a removal. A device without the value is
// never listed.
TEST_F(PortNaming, AcceptingDevicesAreListedUnderSerialCommWhileTheirPortIsNamed)
{
    auto listed = [&] {
        std::string text;
        for (const auto& value : host.objects().DeviceMapValues(u"SERIALCOMM")) {
            std::u16string data(value.data.size() / 2, u'\0');
            memcpy(data.data(), value.data.data(), data.size() * 2);
            std::string shown = host::Narrow(data);
            size_t zero = shown.find('\0');
            if (zero != std::string::npos) shown.replace(zero, 1, "(0)");
            text += host::Narrow(value.name) + "=" + shown + ";";
        }
        return text;
    };
    host::DeviceModel accepting = Adapter(kNumberedProduct);
    accepting.hardwareKeyValues = {
        host::DeviceModel::RegistryValue::Dword(u"AcceptLineSettings", 1)};
    host::DeviceModel other = accepting;
    other.productId = kOtherProduct;
    Plugged plain = Plug(Adapter(kNumberedProduct));
    Plugged first = Plug(accepting);
    Plugged second = Plug(other);
    ASSERT_EQ(STATUS_SUCCESS, second.startStatus);
    EXPECT_EQ("\\Device\\KDX_LUSB1=VLT1(0);\\Device\\KDX_LUSB2=KD(0);", listed())
        << "REG_SZ with its terminating zero";

    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Stop(first.physicalDevice, false));
    EXPECT_EQ("\\Device\\KDX_LUSB2=KD(0);", listed()) << "after a stop";
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Start(first.physicalDevice));
    EXPECT_EQ("\\Device\\KDX_LUSB1=VLT1(0);\\Device\\KDX_LUSB2=KD(0);", listed())
        << "after the restart";
    host.pnp().Unplug(first.physicalDevice);
    EXPECT_EQ("\\Device\\KDX_LUSB2=KD(0);", listed()) << "after the unplug";
    EXPECT_EQ(STATUS_SUCCESS, host.pnp().Remove(second.physicalDevice));
    EXPECT_EQ("", listed()) << "after the removal";
    EXPECT_EQ(STATUS_SUCCESS, plain.startStatus);
}

}  // namespace
