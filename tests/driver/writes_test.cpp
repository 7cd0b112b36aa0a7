// Writes as an application and the device see them: one bulk-OUT transfer per write of at most
// 4096 bytes, a zero-length packet after whole packets, the write total timeout with its floor
// and cap, arrival order, the transmit statistics and the purge of queued writes.
#include <gtest/gtest.h>

#include "support/data_fixture.h"

using namespace kdxtest;

namespace {

class Writes : public DataPathTest {
protected:
    // A write that the device holds until the driver gives up on it: its status, and the
    // virtual time it took.
    host::IoResult HeldWrite(const std::vector<UCHAR>& bytes, host::Ticks* elapsed)
    {
        usb->HoldOut(true);
        host::Ticks start = host.Now();
        host::IoResult result = Write(bytes);
        *elapsed = host.Now() - start;
        usb->HoldOut(false);
        return result;
    }
    void ExpectWriteTimedOutAfter(const host::IoResult& result, host::Ticks elapsed,
                                  host::Ticks low, host::Ticks high)
    {
        ExpectTimedOutAfter(result, elapsed, low, high);
        EXPECT_EQ(Transfers{}, usb->TakeOutTransfers())
            << "the cancelled transfer reached the device";
    }
};

TEST_P(Writes, FourKilobytesGoOutAsOneTransferWithItsZeroLengthPacket)
{
    std::vector<UCHAR> bytes = Pattern(4096, 3);
    host::IoResult result = Write(bytes);
    EXPECT_EQ(STATUS_SUCCESS, result.status) << Hex(result.status);
    EXPECT_EQ(4096u, result.information);
    EXPECT_EQ((Transfers{bytes, {}}), usb->TakeOutTransfers());
}

TEST_P(Writes, AWriteAbove4096BytesIsRefusedAtOnceAndNotSent)
{
    host::OutstandingRequest write = StartWrite(Pattern(4097));
    ASSERT_TRUE(write.Completed()) << "the oversized write was queued";
    host::IoResult result = write.Wait();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, result.status) << Hex(result.status);
    EXPECT_EQ(0u, result.information);
    Settle();
    EXPECT_EQ(Transfers{}, usb->TakeOutTransfers());
}

TEST_P(Writes, AZeroLengthWriteSucceedsAndSendsNothing)
{
    host::IoResult result = Write({});
    EXPECT_EQ(STATUS_SUCCESS, result.status) << Hex(result.status);
    EXPECT_EQ(0u, result.information);
    Settle();
    EXPECT_EQ(Transfers{}, usb->TakeOutTransfers());
    EXPECT_TRUE(WaitUntil([&] { return PendingIn() == 1; }))
        << "only the pump's read of the open is with the device";
}

TEST_P(Writes, OnePacketIsFollowedByAZeroLengthPacketAndOneByteMoreIsNot)
{
    host::IoResult packet = Write(Pattern(kPacket));
    EXPECT_EQ(STATUS_SUCCESS, packet.status) << Hex(packet.status);
    EXPECT_EQ(kPacket, packet.information) << "the data leg's length, not the packet's";
    EXPECT_EQ((Transfers{Pattern(kPacket), {}}), usb->TakeOutTransfers());

    host::IoResult more = Write(Pattern(kPacket + 1));
    EXPECT_EQ(STATUS_SUCCESS, more.status) << Hex(more.status);
    EXPECT_EQ(kPacket + 1, more.information);
    EXPECT_EQ((Transfers{Pattern(kPacket + 1)}), usb->TakeOutTransfers());
}

TEST_P(Writes, WithBothTimeoutsZeroAHeldWriteTimesOutAfterSixSeconds)
{
    SetWriteTimeouts(0, 0);
    host::Ticks elapsed = 0;
    host::IoResult result = HeldWrite(Pattern(10), &elapsed);
    ExpectWriteTimedOutAfter(result, elapsed, 6 * kSecond, 7 * kSecond);
}

TEST_P(Writes, AShortComputedTimeoutIsRaisedTo100Ms)
{
    SetWriteTimeouts(2, 20);  // 2 ms a byte for 10 bytes, plus 20: 40 ms
    host::Ticks elapsed = 0;
    host::IoResult result = HeldWrite(Pattern(10), &elapsed);
    ExpectWriteTimedOutAfter(result, elapsed, 100 * kMillisecond, kSecond);
}

TEST_P(Writes, ALongComputedTimeoutIsCutTo6000Ms)
{
    SetWriteTimeouts(10, 0);  // 10 ms a byte for 1000 bytes: 10 s
    host::Ticks elapsed = 0;
    host::IoResult result = HeldWrite(Pattern(1000), &elapsed);
    ExpectWriteTimedOutAfter(result, elapsed, 6 * kSecond, 7 * kSecond);
}

TEST_P(Writes, AWriteAfterATimedOutOneIsSentNormally)
{
    SetWriteTimeouts(0, 100);
    host::Ticks elapsed = 0;
    host::IoResult timedOut = HeldWrite(Pattern(10), &elapsed);
    ExpectWriteTimedOutAfter(timedOut, elapsed, 100 * kMillisecond, kSecond);
    host::IoResult next = Write(Pattern(7, 9));
    EXPECT_EQ(STATUS_SUCCESS, next.status) << Hex(next.status);
    EXPECT_EQ((Transfers{Pattern(7, 9)}), usb->TakeOutTransfers());
}

TEST_P(Writes, TheCommStatusCountsTheWriteInFlightAsQueuedOutput)
{
    auto amountOut = [&] {
        SERIAL_STATUS status{};
        host::IoResult result = Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(status));
        EXPECT_EQ(STATUS_SUCCESS, result.status) << Hex(result.status);
        if (result.output.size() >= sizeof(status)) {
            memcpy(&status, result.output.data(), sizeof(status));
        }
        return status.AmountInOutQueue;
    };
    EXPECT_EQ(0u, amountOut());
    usb->HoldOut(true);
    host::OutstandingRequest write = StartWrite(Pattern(300));
    ASSERT_TRUE(WaitUntil([&] { return PendingOut() == 1; })) << "the write was not sent";
    EXPECT_EQ(300u, amountOut());
    usb->HoldOut(false);
    EXPECT_EQ(STATUS_SUCCESS, write.Wait().status);
    EXPECT_EQ(0u, amountOut());
}

TEST_P(Writes, TwoWritesBackToBackReachTheDeviceInOrderEachAsItsOwnTransfer)
{
    host::OutstandingRequest first = StartWrite(Pattern(100, 1));
    host::OutstandingRequest second = StartWrite(Pattern(30, 200));
    host::IoResult a = first.Wait();
    host::IoResult b = second.Wait();
    EXPECT_EQ(STATUS_SUCCESS, a.status) << Hex(a.status);
    EXPECT_EQ(STATUS_SUCCESS, b.status) << Hex(b.status);
    EXPECT_EQ((Transfers{Pattern(100, 1), Pattern(30, 200)}), usb->TakeOutTransfers());
}

TEST_P(Writes, TheTransmittedCountGrowsByExactlyTheBytesOfSuccessfulWrites)
{
    ULONG before = Stats().TransmittedCount;
    EXPECT_EQ(STATUS_SUCCESS, Write(Pattern(10)).status);
    EXPECT_EQ(STATUS_SUCCESS, Write(Pattern(kPacket)).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Write(Pattern(4097)).status);
    EXPECT_EQ(STATUS_SUCCESS, Write({}).status);
    SetWriteTimeouts(0, 100);
    host::Ticks elapsed = 0;
    EXPECT_EQ(STATUS_TIMEOUT, HeldWrite(Pattern(20), &elapsed).status);
    EXPECT_EQ(before + 10 + kPacket, Stats().TransmittedCount);
}

TEST_P(Writes, APurgeCancelsTheQueuedWritesWhileTheOneInFlightGoesOn)
{
    usb->HoldOut(true);
    host::OutstandingRequest inFlight = StartWrite(Pattern(10, 1));
    ASSERT_TRUE(WaitUntil([&] { return PendingOut() == 1; })) << "the first write was not sent";
    host::OutstandingRequest second = StartWrite(Pattern(10, 2));
    host::OutstandingRequest third = StartWrite(Pattern(10, 3));
    EXPECT_EQ(STATUS_SUCCESS, Purge(SERIAL_PURGE_TXCLEAR));
    usb->HoldOut(false);

    host::IoResult sent = inFlight.Wait();
    EXPECT_EQ(STATUS_SUCCESS, sent.status) << Hex(sent.status);
    EXPECT_EQ(10u, sent.information);
    for (host::OutstandingRequest* queued : {&second, &third}) {
        host::IoResult result = queued->Wait();
        EXPECT_EQ(STATUS_CANCELLED, result.status) << Hex(result.status);
        EXPECT_EQ(0u, result.information);
    }
    EXPECT_EQ((Transfers{Pattern(10, 1)}), usb->TakeOutTransfers());
}

KDX_FOR_BOTH_BUS_MODES(Writes);

// A device whose bulk-OUT endpoint reports a maximum packet size of 0.
class WritesToAZeroPacketPipe : public DataPathTest {
protected:
    host::DeviceModel Model() const override
    {
        host::DeviceModel model = Adapter(kNumberedProduct);
        for (host::EndpointModel& endpoint : model.interfaces[0].endpoints) {
            if (!endpoint.in) endpoint.maxPacketSize = 0;
        }
        return model;
    }
};

TEST_P(WritesToAZeroPacketPipe, NoZeroLengthPacketFollowsAnyWrite)
{
    ASSERT_EQ(
        0, extension->InterfaceInformation->Pipes[extension->BulkOutPipeIndex].MaximumPacketSize);
    for (ULONG length : {ULONG(kPacket), 1u, 512u}) {
        host::IoResult result = Write(Pattern(length));
        EXPECT_EQ(STATUS_SUCCESS, result.status) << length << " bytes: " << Hex(result.status);
        EXPECT_EQ((Transfers{Pattern(length)}), usb->TakeOutTransfers()) << length << " bytes";
    }
}

KDX_FOR_BOTH_BUS_MODES(WritesToAZeroPacketPipe);

// A lower driver that completes each bulk-OUT data leg at once, without passing it on, while
// the zero-length packet that follows goes on to the device.
class WritesBelowAQuickFilter : public DataPathTest {
protected:
    void SetUp() override
    {
        DataPathTest::SetUp();
        if (HasFatalFailure()) return;
        filter->answer = [](PIRP irp) -> std::optional<NTSTATUS> {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
                stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
                return std::nullopt;
            }
            PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
                (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0 ||
                urb->UrbBulkOrInterruptTransfer.TransferBufferLength == 0) {
                return std::nullopt;
            }
            urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
            return STATUS_SUCCESS;
        };
    }
    bool UsesLowerFilter() const override { return true; }
};

TEST_P(WritesBelowAQuickFilter, AWriteWaitsForItsZeroLengthPacketEvenWhenTheDataLegCameBackAtOnce)
{
    usb->HoldOut(true);
    host::OutstandingRequest write = StartWrite(Pattern(kPacket));
    ASSERT_TRUE(WaitUntil([&] { return usb->PendingTransfers(host::Direction::Out) == 1; }))
        << "the zero-length packet never reached the device";
    Settle();
    EXPECT_FALSE(write.Completed()) << "completed while its zero-length packet was still out";

    usb->HoldOut(false);
    host::IoResult result = write.Wait();
    EXPECT_EQ(STATUS_SUCCESS, result.status) << Hex(result.status);
    EXPECT_EQ(kPacket, result.information) << "the data leg's length";
    EXPECT_EQ((Transfers{{}}), usb->TakeOutTransfers()) << "only the packet reached the device";
}

TEST_P(WritesBelowAQuickFilter, AZeroLengthPacketTheDeviceNeverTakesEndsWithTheWriteTimeout)
{
    SetWriteTimeouts(0, 500);
    usb->HoldOut(true);
    host::Ticks start = host.Now();
    host::IoResult result = Write(Pattern(kPacket));
    host::Ticks elapsed = host.Now() - start;
    usb->HoldOut(false);
    EXPECT_EQ(STATUS_TIMEOUT, result.status) << Hex(result.status);
    EXPECT_EQ(kPacket, result.information) << "the data leg reached the device";
    EXPECT_GE(elapsed, host::Milliseconds(500));
    EXPECT_LT(elapsed, host::Milliseconds(600));
}

KDX_FOR_BOTH_BUS_MODES(WritesBelowAQuickFilter);

// The write timer's DPC cannot cancel while another canceller holds the transfer cancel gate;
// it tries again shortly, so that the held write still ends by its timeout once the gate is
// free. The test holds the gate as a canceller does.
TEST_P(Writes, AWriteTimeoutThatFindsTheCancelGateHeldEndsTheWriteOnceTheGateIsFree)
{
    SetWriteTimeouts(0, 100);
    usb->HoldOut(true);
    AsDriver([&] {
        KeWaitForSingleObject(&extension->TransferCancelGate, Executive, KernelMode, FALSE,
                              nullptr);
    });
    host::OutstandingRequest write = StartWrite(Pattern(10));
    EXPECT_TRUE(WaitUntil([&] { return PendingOut() == 1; })) << "the write was not sent";
    Settle(300 * kMillisecond);
    EXPECT_FALSE(write.Completed()) << "cancelled while another canceller held the gate";

    host::Ticks released = host.Now();
    AsDriver([&] { KeSetEvent(&extension->TransferCancelGate, 1, FALSE); });
    ASSERT_TRUE(WaitUntil([&] { return write.Completed(); }, kSecond))
        << "the timeout gave up on the write";
    EXPECT_LT(host.Now() - released, 50 * kMillisecond);
    EXPECT_EQ(STATUS_TIMEOUT, write.Wait().status);
    usb->HoldOut(false);
}

// The zero-length packet is the write's last leg: when it fails, the write fails with its
// status, and reports the data leg's bytes, which reached the device, so that a program does
// not send them again.
TEST_P(WritesBelowAQuickFilter, AZeroLengthPacketThatFailsFailsTheWriteWithItsStatus)
{
    usb->FailNext(host::Direction::Out, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN);
    host::IoResult result = Write(Pattern(kPacket));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, result.status) << Hex(result.status);
    EXPECT_EQ(kPacket, result.information) << "the data leg reached the device";
}

// The write timer runs only while the bus keeps a write: a write that the bus completes at
// once never sets it, one that pends sets it once.
TEST_P(Writes, OnlyAWriteTheBusKeepsSetsTheWriteTimer)
{
    uint64_t before = host.deferred().TimesSet(&extension->WriteTimer);
    EXPECT_EQ(STATUS_SUCCESS, Write(Pattern(10)).status);
    bool busKeepsIt = GetParam();
    EXPECT_EQ(before + (busKeepsIt ? 1 : 0), host.deferred().TimesSet(&extension->WriteTimer));
}

}  // namespace
