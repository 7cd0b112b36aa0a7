// Recovery after failed bulk transfers, as the device sees it: a stalled IN pipe is reset and
// the pump goes on, a device that does not respond gets one port reset, a data overrun gets
// nothing, a port that cannot be queried marks the device gone and every later request is
// refused, and a timed-out write resets a port that reads disabled.
#include <gtest/gtest.h>

#include <atomic>

#include "support/data_fixture.h"

using namespace kdxtest;

namespace {

class Recovery : public DataPathTest {
protected:
    void SetUp() override
    {
        DataPathTest::SetUp();
        if (HasFatalFailure()) return;
        atOpen = usb->Resets();  // the open of a numbered port resets the port
        filter->answer = [this](PIRP irp) -> std::optional<NTSTATUS> {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return std::nullopt;
            ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
            if (code == IOCTL_INTERNAL_USB_SUBMIT_URB && unpluggedAtPipeReset &&
                static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbHeader.Function ==
                    URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
                portDisconnected = true;
            }
            if (code != IOCTL_INTERNAL_USB_GET_PORT_STATUS ||
                (!portReadsDisabled && !portDisconnected)) {
                return std::nullopt;
            }
            *static_cast<PULONG>(stack->Parameters.Others.Argument1) =
                portDisconnected ? 0 : USBD_PORT_CONNECTED;
            return STATUS_SUCCESS;
        };
    }
    bool UsesLowerFilter() const override { return true; }

    // Resets since the port was opened.
    host::ResetCounts Resets() const
    {
        host::ResetCounts now = usb->Resets();
        return {now.pipeIn - atOpen.pipeIn, now.pipeOut - atOpen.pipeOut, now.port - atOpen.port};
    }
    // The pump's read in flight fails with `usbdStatus`; returns once the pump has a read in
    // flight again.
    void FailPumpRead(USBD_STATUS usbdStatus)
    {
        WaitForPump();
        usb->FailNext(host::Direction::In, 1, STATUS_UNSUCCESSFUL, usbdStatus);
        ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 1; }))
            << "the pump stopped after a failed read";
    }
    // The pump still delivers: bytes the device sends reach a read.
    void ExpectThePumpGoesOn()
    {
        usb->OfferIn(Pattern(6, 0xA0));
        host::IoResult result = Read(10);
        ExpectRead(result, Pattern(6, 0xA0));
    }
    std::string ResetsText() const
    {
        host::ResetCounts counts = Resets();
        return "since open: IN pipe " + std::to_string(counts.pipeIn) + ", OUT pipe " +
               std::to_string(counts.pipeOut) + ", port " + std::to_string(counts.port);
    }

    // The next transfer of `direction` (the pump's read, or a write) stalls, and the device is
    // pulled out as its pipe is reset.
    void ExpectGoneAfterPipeReset(host::Direction direction)
    {
        unpluggedAtPipeReset = true;
        WaitForPump();
        usb->FailNext(direction, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
        if (direction == host::Direction::Out) {
            host::IoResult failed = Write(Pattern(4));
            EXPECT_EQ(STATUS_UNSUCCESSFUL, failed.status) << Hex(failed.status);
            EXPECT_EQ(0u, failed.information);
        }
        ASSERT_TRUE(WaitUntil([&] { return extension->DeviceGone != 0; }));
        host::ResetCounts resets = Resets();
        EXPECT_EQ(direction == host::Direction::In ? 1u : 0u, resets.pipeIn) << ResetsText();
        EXPECT_EQ(direction == host::Direction::Out ? 1u : 0u, resets.pipeOut) << ResetsText();
        EXPECT_EQ(0u, resets.port) << "a port reset for a device that is gone: " << ResetsText();
        Settle();
        if (direction == host::Direction::In) {
            EXPECT_EQ(0u, PendingIn()) << "the pump read on from a device that is gone";
        }
        EXPECT_EQ(STATUS_DELETE_PENDING, Write(Pattern(4)).status);
        EXPECT_EQ(Transfers{}, usb->TakeOutTransfers());
    }

    host::ResetCounts atOpen;
    // The hub reports the port connected but no longer enabled, while the device still holds
    // the transfers it has.
    std::atomic<bool> portReadsDisabled{false};
    // The device is pulled out just as the driver resets a pipe: from then on the hub reports
    // the port disconnected.
    std::atomic<bool> unpluggedAtPipeReset{false};
    std::atomic<bool> portDisconnected{false};
};

TEST_P(Recovery, AStalledInPipeIsResetAndThePumpGoesOn)
{
    host::Ticks start = host.Now();
    FailPumpRead(USBD_STATUS_STALL_PID);
    EXPECT_GE(host.Now() - start, 100 * kMillisecond) << "no pause after the failed read";
    host::ResetCounts resets = Resets();
    EXPECT_EQ(1u, resets.pipeIn) << ResetsText();
    EXPECT_EQ(0u, resets.pipeOut) << ResetsText();
    EXPECT_EQ(0u, resets.port) << ResetsText();
    ExpectThePumpGoesOn();
}

TEST_P(Recovery, ADeviceThatDoesNotRespondGetsOnePortReset)
{
    FailPumpRead(USBD_STATUS_DEV_NOT_RESPONDING);
    host::ResetCounts resets = Resets();
    EXPECT_EQ(1u, resets.port) << ResetsText();
    EXPECT_EQ(0u, resets.pipeIn + resets.pipeOut) << ResetsText();
    ExpectThePumpGoesOn();
}

TEST_P(Recovery, ADataOverrunResetsNothing)
{
    FailPumpRead(USBD_STATUS_DATA_OVERRUN);
    host::ResetCounts resets = Resets();
    EXPECT_EQ(0u, resets.port + resets.pipeIn + resets.pipeOut) << ResetsText();
    ExpectThePumpGoesOn();
}

TEST_P(Recovery, AFailedReadWhileNoPortStatusQueryCanBeBuiltLeavesTheDeviceInPlace)
{
    host.pool().FailAllocationsFrom("SendInternalRequest");
    FailPumpRead(USBD_STATUS_DEV_NOT_RESPONDING);
    host.pool().ClearFaults();
    EXPECT_EQ(0, extension->DeviceGone) << "a shortage of memory is no unplug";
    host::ResetCounts resets = Resets();
    EXPECT_EQ(0u, resets.port + resets.pipeIn + resets.pipeOut) << ResetsText();
    ExpectThePumpGoesOn();
}

TEST_P(Recovery, AFailingPortStatusQueryMarksTheDeviceGoneAndLaterRequestsAreRefused)
{
    WaitForPump();
    host::OutstandingRequest waiting = StartRead(10);
    WaitForCurrentRead();
    host::OutstandingRequest queued = StartRead(10);
    usb->SetPortStatusFails(true);
    usb->FailNext(host::Direction::In, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);

    host::IoResult ended = waiting.Wait();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, ended.status) << "the pump's end: " << Hex(ended.status);
    EXPECT_EQ(0u, ended.information);
    EXPECT_EQ(1, extension->DeviceGone);
    host::IoResult refused = queued.Wait();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, refused.status)
        << "the read queued behind it: " << Hex(refused.status);
    EXPECT_EQ(0u, refused.information);
    Settle();
    EXPECT_EQ(0u, PendingIn()) << "the pump read on from a device that is gone";

    host::IoResult read = Read(10);
    EXPECT_EQ(STATUS_SUCCESS, read.status) << Hex(read.status);
    EXPECT_EQ(0u, read.information);
    host::IoResult write = Write(Pattern(4));
    EXPECT_EQ(STATUS_DELETE_PENDING, write.status) << Hex(write.status);
    EXPECT_EQ(0u, write.information);
    host::IoResult timeouts = Control(IOCTL_SERIAL_GET_TIMEOUTS, {}, sizeof(SERIAL_TIMEOUTS));
    EXPECT_EQ(STATUS_ACCESS_DENIED, timeouts.status) << Hex(timeouts.status);

    host::IoResult status = Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    ExpectRead(status, std::vector<UCHAR>(sizeof(SERIAL_STATUS), 0));
    EXPECT_EQ(Transfers{}, usb->TakeOutTransfers());
}

TEST_P(Recovery, ATimedOutWriteResetsAPortThatReadsDisabledAndNothingOnAnEnabledOne)
{
    SetWriteTimeouts(0, 200);
    usb->HoldOut(true);
    EXPECT_EQ(STATUS_TIMEOUT, Write(Pattern(8)).status);
    Settle();
    EXPECT_EQ(0u, Resets().port) << "enabled port: " << ResetsText();

    portReadsDisabled = true;
    EXPECT_EQ(STATUS_TIMEOUT, Write(Pattern(8)).status);
    Settle();
    EXPECT_EQ(1u, Resets().port) << "disabled port: " << ResetsText();
    EXPECT_EQ(0u, Resets().pipeOut + Resets().pipeIn) << ResetsText();
    usb->HoldOut(false);
}

// A stalled pipe whose reset succeeds while the port then reads disconnected: the device is
// gone, on either side, and every later request is refused.
TEST_P(Recovery, AStalledInPipeWhosePortReadsDisconnectedAfterItsResetMarksTheDeviceGone)
{
    ExpectGoneAfterPipeReset(host::Direction::In);
}

TEST_P(Recovery, AStalledOutPipeWhosePortReadsDisconnectedAfterItsResetMarksTheDeviceGone)
{
    ExpectGoneAfterPipeReset(host::Direction::Out);
}

KDX_FOR_BOTH_BUS_MODES(Recovery);

}  // namespace
