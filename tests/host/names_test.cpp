// The object namespace: device names and symbolic links collide case-insensitively,
// "\DosDevices\X" is the same name as "\??\X", and a device interface of a physical device
// object has one link name and is enabled once.
#include <gtest/gtest.h>

#include <string>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

struct Names {
    host::Host host;
    PDRIVER_OBJECT driver = LoadTestDriver(host, "testdrv");

    NTSTATUS CreateNamed(PCWSTR name, PDEVICE_OBJECT* device)
    {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        return IoCreateDevice(driver, 0, &text, FILE_DEVICE_SERIAL_PORT, 0, FALSE, device);
    }
    NTSTATUS Link(PCWSTR link, PCWSTR target)
    {
        UNICODE_STRING linkText, targetText;
        RtlInitUnicodeString(&linkText, link);
        RtlInitUnicodeString(&targetText, target);
        return IoCreateSymbolicLink(&linkText, &targetText);
    }
    NTSTATUS Unlink(PCWSTR link)
    {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, link);
        return IoDeleteSymbolicLink(&text);
    }
};

}  // namespace

TEST(DeviceName, CreatingAnExistingNameFailsWithCollisionWhateverItsCase)
{
    Names names;
    PDEVICE_OBJECT first = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, names.CreateNamed(u"\\Device\\KdxSerial0", &first));
    PDEVICE_OBJECT second = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, names.CreateNamed(u"\\DEVICE\\kdxserial0", &second));
    EXPECT_EQ(nullptr, second) << "no device object on failure";
    EXPECT_EQ(1u, names.host.objects().DeviceCount(names.driver));
    IoDeleteDevice(first);
    EXPECT_EQ(STATUS_SUCCESS, names.CreateNamed(u"\\DEVICE\\kdxserial0", &second))
        << "a deleted device's name is free again";
    IoDeleteDevice(second);
}

TEST(SymbolicLink, DosDevicesAndQuestionMarksAreOneNameWhateverItsCase)
{
    Names names;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, names.CreateNamed(u"\\Device\\KdxSerial0", &device));
    ASSERT_EQ(STATUS_SUCCESS, names.Link(u"\\DosDevices\\COM7", u"\\Device\\KdxSerial0"));
    EXPECT_EQ(device, names.host.objects().FindDevice(u"\\??\\com7")) << "resolved via \\??\\";
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, names.Link(u"\\??\\com7", u"\\Device\\KdxSerial0"));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, names.Link(u"\\dosdevices\\Com7", u"\\Device\\X"));
    EXPECT_EQ(STATUS_SUCCESS, names.Unlink(u"\\??\\COM7")) << "deleted by its other spelling";
    EXPECT_EQ(nullptr, names.host.objects().FindDevice(u"\\DosDevices\\COM7"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, names.Unlink(u"\\DosDevices\\COM7"))
        << "deleting a link that is gone";
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, names.Unlink(u"\\DosDevices\\COM9"))
        << "deleting a link that never was";
    IoDeleteDevice(device);
}

TEST(SymbolicLink, LinksAndDevicesShareOneNamespace)
{
    Names names;
    PDEVICE_OBJECT device = nullptr, other = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, names.CreateNamed(u"\\Device\\KdxSerial3", &device));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, names.Link(u"\\device\\KDXSERIAL3", u"\\Device\\X"))
        << "a link cannot take a device's name";
    ASSERT_EQ(STATUS_SUCCESS, names.Link(u"\\DosDevices\\COM3", u"\\Device\\KdxSerial3"));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, names.CreateNamed(u"\\??\\Com3", &other))
        << "a device cannot take a link's name";
    EXPECT_EQ(STATUS_SUCCESS, names.Unlink(u"\\DosDevices\\COM3"));
    IoDeleteDevice(device);
}

TEST(DeviceInterface, RegisteringAgainGivesTheSameLinkWhichEnablesOnce)
{
    Names names;
    PDEVICE_OBJECT pdo =
        names.host.bus().Connect(host::DeviceModel::SerialAdapter(0x1234, 0x5678)).physicalDevice;
    UNICODE_STRING link{}, again{};
    RunAs(names.driver, [&] {
        EXPECT_EQ(STATUS_SUCCESS,
                  IoRegisterDeviceInterface(pdo, &kComPortInterface, nullptr, &link));
        EXPECT_EQ(STATUS_SUCCESS,
                  IoRegisterDeviceInterface(pdo, &kComPortInterface, nullptr, &again));
    });
    std::string name = host::Narrow(std::u16string(link.Buffer, link.Length / 2));
    EXPECT_EQ(0u, name.find("\\??\\USB#VID_1234&PID_5678#")) << name;
    EXPECT_NE(std::string::npos, name.find("#{86E0D1E0-8089-11D0-9CE4-08003E301F73}")) << name;
    EXPECT_TRUE(RtlEqualUnicodeString(&link, &again, FALSE)) << "registering again: " << name;

    names.host.pool().FailNthAllocation(1);  // enabling allocates on the system's side
    RunAs(names.driver, [&] {
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, IoSetDeviceInterfaceState(&link, TRUE));
    });
    EXPECT_EQ(0u, names.host.objects().EnabledInterfaceCount(names.driver));
    RunAs(names.driver, [&] {
        EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
        EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, IoSetDeviceInterfaceState(&link, TRUE))
            << "enabling an enabled interface";
    });
    EXPECT_EQ(1u, names.host.objects().EnabledInterfaceCount(names.driver));
    RunAs(names.driver, [&] {
        EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, FALSE));
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&link, FALSE))
            << "disabling a disabled interface";
        RtlFreeUnicodeString(&link);
        RtlFreeUnicodeString(&again);
    });
    EXPECT_EQ(0u, names.host.objects().EnabledInterfaceCount(names.driver));
}
