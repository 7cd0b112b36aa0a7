// Verifier rules of the application side: a request on a handle that is closed or was never
// opened, a buffer shorter than the length the request states, and a driver that completes a
// read or buffered device control with more bytes than the caller's buffer holds.
#include <gtest/gtest.h>

#include "support/test_port.h"

using namespace hosttest;

namespace {

TEST(ApplicationRuleDeathTest, ARequestOnAClosedHandle)
{
    TestPort port;
    host::Handle handle = port.app.Open(u"TEST0").handle;
    port.app.Close(handle);
    EXPECT_DEATH(port.app.Read(handle, 4),
                 "HOST VERIFIER: HANDLE_NOT_OPEN(.|\n)*ReadFile on handle 0x[0-9a-f]+ "
                 "\\(\\\\\\?\\?\\\\TEST0\\), which was closed");
    EXPECT_DEATH(port.app.Close(handle), "HANDLE_NOT_OPEN(.|\n)*CloseHandle");
}

TEST(ApplicationRuleDeathTest, ARequestOnAHandleNeverOpened)
{
    TestPort port;
    FILE_OBJECT stranger{};
    EXPECT_DEATH(port.app.Write(&stranger, {1, 2}),
                 "HOST VERIFIER: HANDLE_NOT_OPEN(.|\n)*WriteFile on handle .*never opened");
}

TEST(ApplicationRuleDeathTest, ARequestOnAHandleWhoseDeviceWasDeleted)
{
    TestPort port;
    host::Handle handle = port.app.Open(u"TEST0").handle;
    EXPECT_DEATH(
        {
            RunAs(port.driver, [&] { IoDeleteDevice(port.device); });
            port.app.Read(handle, 4);
        },
        "HOST VERIFIER: NOT_EMULATED(.|\n)*ReadFile on handle .*TEST0\\), whose device object "
        "was deleted while the handle was open");
    port.app.Close(handle);
}

TEST(ApplicationRuleDeathTest, ABufferShorterThanTheRequestSays)
{
    TestPort port;
    host::Handle handle = port.app.Open(u"TEST0").handle;
    EXPECT_DEATH(port.app.Write(handle, {1, 2, 3, 4}, 10),
                 "HOST VERIFIER: BUFFER_SHORTER_THAN_REQUEST(.|\n)*WriteFile on "
                 ".*TEST0 states 10 bytes for a buffer of 4");
    EXPECT_DEATH(port.app.DeviceControl(handle, kBufferedIoctl, {1}, 0, 2),
                 "BUFFER_SHORTER_THAN_REQUEST(.|\n)*DeviceIoControl .* states 2 bytes");
    port.app.Close(handle);
}

TEST(ApplicationRuleDeathTest, AReadCompletedWithMoreBytesThanTheBufferHolds)
{
    TestPort port;
    host::Handle handle = port.app.Open(u"TEST0").handle;
    port.onRequest = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 8;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_DEATH(port.app.Read(handle, 4),
                 "HOST VERIFIER: IRP_INFORMATION_EXCEEDS_OUTPUT_BUFFER(.|\n)*ReadFile on .*TEST0 with a "
                 "buffer of 4 bytes was completed with Information 8");
    port.onRequest = nullptr;
    port.app.Close(handle);
}

TEST(ApplicationRuleDeathTest, AWaitForARequestTheDriverNeverCompletesIsAHang)
{
    TestPort port;
    host::Handle handle = port.app.Open(u"TEST0").handle;
    PIRP parked = nullptr;
    port.onRequest = PendInto(&parked);
    EXPECT_DEATH(port.app.Read(handle, 4),
                 "HOST VERIFIER: HOST_HANG(.|\n)*application: ReadFile on .*TEST0");
}

}  // namespace
