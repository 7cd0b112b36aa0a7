// Open, close and cleanup of the port: one open at a time, refused opens that change nothing,
// the port reset of product 0x005B, the per-open state, the receive pump's landing buffer and
// the requests that follow a close.
#include <gtest/gtest.h>

#include <atomic>

#include "support/port_fixture.h"

using namespace kdxtest;

namespace {

class OpenCloseTest : public PortTest {
protected:
    host::Pool::Outstanding DriverPool() { return host.pool().OutstandingBlocks(host.driver()); }

    // A close of the port that runs on a thread of its own.
    struct BackgroundClose {
        std::unique_ptr<host::HostThread> thread;
        std::thread handle;
        std::atomic<NTSTATUS> status{STATUS_PENDING};
    };
    void StartClose(BackgroundClose& close, host::Handle handle)
    {
        close.handle = host::Scheduler::Instance().Spawn(
            "close", [this, &close, handle] { close.status = app().Close(handle); }, &close.thread);
    }
    void FinishClose(BackgroundClose& close)
    {
        host::Scheduler::Instance().Join(close.handle, *close.thread);
    }
};

TEST_P(OpenCloseTest, ASecondOpenIsDeniedAndTheFirstHandleKeepsWorking)
{
    PlugPort(kNumberedProduct);
    host::Handle first = Open();
    SetWaitMask(first, SERIAL_EV_TXEMPTY);
    host::OutstandingRequest wait = StartWait(first);
    ULONG resets = Device().Resets().port;

    host::OpenResult second = TryOpen();
    EXPECT_EQ(STATUS_ACCESS_DENIED, second.status);
    EXPECT_EQ(nullptr, second.handle);
    EXPECT_EQ(1, PortExtension()->OpenCount) << "the refused open backed out";
    EXPECT_EQ(resets, Device().Resets().port) << "no port reset for a refused open";

    EXPECT_EQ(9600u, Get<ULONG>(first, IOCTL_SERIAL_GET_BAUD_RATE)) << "the first handle";
    EXPECT_EQ(ULONG(SERIAL_EV_TXEMPTY), Get<ULONG>(first, IOCTL_SERIAL_GET_WAIT_MASK));
    EXPECT_FALSE(wait.Completed()) << "the first handle's wait";
    host::IoResult written = app().Write(first, {1, 2, 3});
    EXPECT_EQ(STATUS_SUCCESS, written.status);
    EXPECT_EQ(3u, written.information);
    host::IoResult waited = wait.Wait();
    EXPECT_EQ(STATUS_SUCCESS, waited.status) << "the wait still belongs to the port";
    EXPECT_EQ(3u, Get<SERIALPERF_STATS>(first, IOCTL_SERIAL_GET_STATS).TransmittedCount);
    EXPECT_EQ(STATUS_SUCCESS, app().Close(first));

    host::Handle again = Open();
    EXPECT_NE(nullptr, again) << "the port is free again after the first handle's close";
    app().Close(again);
}

// An application that opens the port the moment its interface arrives, before the start
// request has even returned, gets the port: the name never appears ahead of a device that
// accepts requests.
TEST_P(OpenCloseTest, AnOpenAsSoonAsThePortNameAppearsSucceeds)
{
    for (USHORT product : {kNumberedProduct, kOtherProduct}) {
        SCOPED_TRACE(product == kNumberedProduct ? "VLT" : "KD");
        std::vector<host::OpenResult> opens;
        host.objects().OnInterfaceArrival([&](const host::InterfaceRecord& arrived) {
            std::string name = PortNameValue(arrived.physicalDevice);
            opens.push_back(app().Open(u"\\\\.\\" + host::Widen(name)));
        });
        PlugPort(product);
        host.objects().OnInterfaceArrival(nullptr);

        ASSERT_EQ(1u, opens.size()) << "one arrival for the one port";
        EXPECT_EQ(STATUS_SUCCESS, opens[0].status) << "open at the interface's arrival";
        ASSERT_NE(nullptr, opens[0].handle);
        host::IoResult written = app().Write(opens[0].handle, {7});
        EXPECT_EQ(STATUS_SUCCESS, written.status) << "the early handle works once started";
        EXPECT_EQ(STATUS_SUCCESS, app().Close(opens[0].handle));
    }
}

TEST_P(OpenCloseTest, AnOpenAsADirectoryIsRefusedAndChangesNothing)
{
    PlugPort(kOtherProduct);
    host::OpenResult directory = TryOpen(FILE_DIRECTORY_FILE);
    EXPECT_EQ(STATUS_NOT_A_DIRECTORY, directory.status);
    EXPECT_EQ(0, PortExtension()->OpenCount);
    EXPECT_EQ(0, PortExtension()->HandleOpen);
    EXPECT_EQ(0, PortExtension()->PortOpen);
    EXPECT_EQ(STATUS_ACCESS_DENIED, ControlWithoutHandle(IOCTL_SERIAL_SET_BREAK_ON))
        << "the port stays closed";

    host::Handle handle = Open();
    EXPECT_EQ(STATUS_SUCCESS, app().Close(handle));
}

TEST_P(OpenCloseTest, ACloseWithoutAnAdmittedOpenIsAnInvalidDeviceRequest)
{
    PlugPort(kNumberedProduct);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              SendRequest(port.physicalDevice, IRP_MJ_CLOSE, 0, STATUS_SUCCESS));
    EXPECT_EQ(0, PortExtension()->OpenCount);
    EXPECT_EQ(0u, Device().Resets().port) << "a refused close resets nothing";

    host::Handle handle = Open();
    EXPECT_EQ(STATUS_SUCCESS, app().Close(handle));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              SendRequest(port.physicalDevice, IRP_MJ_CLOSE, 0, STATUS_SUCCESS))
        << "a second close of the same open";
    EXPECT_EQ(0, PortExtension()->OpenCount) << "never below 0";

    host::Handle again = Open();
    EXPECT_NE(nullptr, again);
    EXPECT_EQ(1, PortExtension()->OpenCount);
    app().Close(again);

    // A close that reaches a stopped device ends no open either: after the start the port
    // opens, closes and opens again as before.
    ASSERT_EQ(STATUS_SUCCESS, host.pnp().Stop(port.physicalDevice, false));
    EXPECT_EQ(STATUS_SUCCESS, SendRequest(port.physicalDevice, IRP_MJ_CLOSE, 0, STATUS_SUCCESS));
    ASSERT_EQ(STATUS_SUCCESS, host.pnp().Start(port.physicalDevice));
    host::Handle afterStart = Open();
    ASSERT_NE(nullptr, afterStart);
    EXPECT_EQ(STATUS_SUCCESS, app().Close(afterStart));
    host::Handle next = Open();
    EXPECT_NE(nullptr, next) << "the port stayed open";
    if (next != nullptr) app().Close(next);
}

// The close of product 0x005B resets the USB port after the port's I/O has stopped; a lower
// filter holds that reset, so the close is certain to be still under way.
TEST_P(OpenCloseTest, AnOpenWhileACloseIsUnderWayIsDeniedAndTheSameOpenAfterItSucceeds)
{
    std::unique_ptr<LowerFilter> filter;
    PlugPort(kNumberedProduct, &filter);
    host::Handle handle = Open();

    KEVENT resetReached;
    KEVENT resetReleased;
    KeInitializeEvent(&resetReached, NotificationEvent, FALSE);
    KeInitializeEvent(&resetReleased, NotificationEvent, FALSE);
    filter->answer = [&](PIRP irp) -> std::optional<NTSTATUS> {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_RESET_PORT) {
            KeSetEvent(&resetReached, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&resetReleased, Executive, KernelMode, FALSE, nullptr);
        }
        return std::nullopt;
    };

    BackgroundClose close;
    StartClose(close, handle);
    KeWaitForSingleObject(&resetReached, Executive, KernelMode, FALSE, nullptr);
    host::OpenResult during = TryOpen();
    EXPECT_EQ(STATUS_ACCESS_DENIED, during.status) << "open while the close is still waiting";
    EXPECT_EQ(STATUS_PENDING, close.status.load()) << "the close has not completed";

    KeSetEvent(&resetReleased, IO_NO_INCREMENT, FALSE);
    FinishClose(close);
    EXPECT_EQ(STATUS_SUCCESS, close.status.load());
    filter->answer = nullptr;

    host::OpenResult after = TryOpen();
    EXPECT_EQ(STATUS_SUCCESS, after.status) << "the same open after the close";
    if (after.handle != nullptr) app().Close(after.handle);
}

// Every open and every close of product 0x005B resets the USB port, and the close completes
// no sooner than 20 ms after its reset.
TEST_P(OpenCloseTest, TheNumberedProductsPortIsResetAtEveryOpenAndClose)
{
    std::unique_ptr<LowerFilter> filter;
    PlugPort(kNumberedProduct, &filter);
    std::atomic<host::Ticks> lastReset{0};
    filter->answer = [&](PIRP irp) -> std::optional<NTSTATUS> {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_RESET_PORT) {
            lastReset = host.Now();
        }
        return std::nullopt;
    };
    ULONG before = Device().Resets().port;
    for (ULONG round = 0; round < 2; round++) {
        host::Handle handle = Open();
        EXPECT_EQ(before + 2 * round + 1, Device().Resets().port) << "after open " << round;
        app().Close(handle);
        EXPECT_EQ(before + 2 * round + 2, Device().Resets().port) << "after close " << round;
        EXPECT_GE(host.Now() - lastReset.load(), host::Milliseconds(20))
            << "the close completed that long after its reset, round " << round;
    }
    filter->answer = nullptr;
}

TEST_P(OpenCloseTest, OtherProductsHaveNoPortResetAtOpenOrClose)
{
    PlugPort(kOtherProduct);
    ULONG before = Device().Resets().port;
    host::Handle handle = Open();
    app().Close(handle);
    EXPECT_EQ(before, Device().Resets().port) << Log(Device());
}

TEST_P(OpenCloseTest, StatisticsWaitMaskAndEventHistoryRestartAtEachOpenWhileTimeoutsSurvive)
{
    PlugPort(kNumberedProduct);
    host::Handle handle = Open();
    SERIAL_TIMEOUTS timeouts = Timeouts(5, 6, 700, 8, 900);
    SetTimeouts(handle, timeouts);
    SetWaitMask(handle, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    EXPECT_EQ(STATUS_SUCCESS, app().Write(handle, {0x55}).status);  // TXEMPTY stays in the history
    Receive(handle, {1, 2, 3}, 3);  // RXCHAR too, with no wait pending
    SERIALPERF_STATS stats = Get<SERIALPERF_STATS>(handle, IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(3u, stats.ReceivedCount);
    EXPECT_EQ(1u, stats.TransmittedCount);
    EXPECT_EQ(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY, PortExtension()->EventHistory);
    app().Close(handle);

    handle = Open();
    stats = Get<SERIALPERF_STATS>(handle, IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(0u, stats.ReceivedCount) << "after reopening";
    EXPECT_EQ(0u, stats.TransmittedCount) << "after reopening";
    EXPECT_EQ(0u, Get<ULONG>(handle, IOCTL_SERIAL_GET_WAIT_MASK)) << "after reopening";
    SERIAL_TIMEOUTS kept = Get<SERIAL_TIMEOUTS>(handle, IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(0, memcmp(&timeouts, &kept, sizeof(kept)))
        << "timeouts after reopening: " << kept.ReadIntervalTimeout << "/"
        << kept.ReadTotalTimeoutMultiplier << "/" << kept.ReadTotalTimeoutConstant << "/"
        << kept.WriteTotalTimeoutMultiplier << "/" << kept.WriteTotalTimeoutConstant;

    // Events of the previous open are not reported: the first wait sees only this write's.
    SetWaitMask(handle, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    host::OutstandingRequest wait = StartWait(handle);
    EXPECT_EQ(STATUS_SUCCESS, app().Write(handle, {9}).status);
    host::IoResult waited = wait.Wait();
    EXPECT_EQ(STATUS_SUCCESS, waited.status);
    EXPECT_EQ(SERIAL_EV_TXEMPTY, As<ULONG>(waited)) << "events of this open only";
    app().Close(handle);
}

TEST_P(OpenCloseTest, TheLandingBufferIsHeldWhileOpenAndReleasedByEveryClose)
{
    PlugPort(kOtherProduct);
    host::Pool::Outstanding plugged = DriverPool();

    host::Handle handle = Open();
    WaitForReceivePump();
    host::Pool::Outstanding open = DriverPool();
    EXPECT_LE(plugged.bytes + 4096, open.bytes) << "open with its pump" << open.listing;
    app().Close(handle);
    EXPECT_EQ(plugged.count, DriverPool().count) << "closed with the pump running:\n"
                                                 << DriverPool().listing;

    handle = Open();
    app().Close(handle);
    handle = Open();
    WaitForReceivePump();
    EXPECT_EQ(open.count, DriverPool().count) << "open, close, open: one buffer\n"
                                              << DriverPool().listing;
    app().Close(handle);
    EXPECT_EQ(plugged.count, DriverPool().count) << DriverPool().listing;
    EXPECT_EQ(plugged.bytes, DriverPool().bytes);
}

TEST_P(OpenCloseTest, ACloseEndsEveryRequestInProgressAndTheNextOpenStartsAfresh)
{
    PlugPort(kOtherProduct);
    host::Pool::Outstanding plugged = DriverPool();
    host::Handle handle = Open();
    SetWaitMask(handle, SERIAL_EV_RXCHAR);
    host::OutstandingRequest wait = StartWait(handle);
    host::OutstandingRequest read = app().StartRead(handle, 16);
    ASSERT_TRUE(WaitForTransfers(host::Direction::In, 1)) << "the pump's bulk-IN read";
    Device().HoldOut(true);
    host::OutstandingRequest held = app().StartWrite(handle, {1, 2});
    ASSERT_TRUE(WaitForTransfers(host::Direction::Out, 1)) << "the device holds the write";
    host::OutstandingRequest queued = app().StartWrite(handle, {3});

    EXPECT_EQ(STATUS_SUCCESS, app().Close(handle));
    EXPECT_EQ(0u, app().OutstandingCount()) << "every request of the handle completed";
    EXPECT_EQ(STATUS_CANCELLED, wait.Wait().status);
    EXPECT_EQ(0u, read.Wait().information);
    host::IoResult aborted = held.Wait();
    EXPECT_EQ(STATUS_TIMEOUT, aborted.status) << "the write the device held, its transfer aborted";
    EXPECT_EQ(0u, aborted.information);
    EXPECT_EQ(STATUS_CANCELLED, queued.Wait().status) << "the write behind it";
    EXPECT_EQ(0u, Device().PendingTransfers(host::Direction::In)) << "no bulk-IN read left";
    EXPECT_EQ(0u, Device().PendingTransfers(host::Direction::Out)) << "no bulk-OUT write left";
    EXPECT_EQ(plugged.count, DriverPool().count) << DriverPool().listing;
    EXPECT_EQ(1, PortExtension()->IoCount) << "no reference left behind";
    Device().HoldOut(false);
    Device().TakeOutTransfers();

    handle = Open();
    read = app().StartRead(handle, 16);
    ASSERT_TRUE(WaitForTransfers(host::Direction::In, 1)) << "a new pump";
    Device().OfferIn({4, 5, 6});
    host::IoResult received = read.Wait();
    EXPECT_EQ(STATUS_SUCCESS, received.status);
    EXPECT_EQ((std::vector<UCHAR>{4, 5, 6}), received.output);
    EXPECT_EQ(STATUS_SUCCESS, app().Write(handle, {7}).status);
    EXPECT_EQ(1u, Device().TakeOutTransfers().size()) << "only the new write reached the device";
    app().Close(handle);
}

// The pump stops reading while more than 4096 bytes are buffered; a close finds it waiting
// for room and still ends it.
TEST_P(OpenCloseTest, ACloseEndsAPumpThatWaitsForRoomInTheReceiveBuffer)
{
    PlugPort(kNumberedProduct);
    host::Pool::Outstanding plugged = DriverPool();
    host::Handle handle = Open();
    WaitForReceivePump();
    Receive(handle, std::vector<UCHAR>(8000, 0x33), 6144);
    EXPECT_EQ(8000u - 6144u, Device().QueuedInBytes()) << "left at the device";
    host.Sleep(host::Milliseconds(100));
    EXPECT_EQ(0u, Device().PendingTransfers(host::Direction::In)) << "the pump waits for room";

    EXPECT_EQ(STATUS_SUCCESS, app().Close(handle));
    EXPECT_EQ(plugged.count, DriverPool().count) << DriverPool().listing;
    EXPECT_FALSE(ReceivePumpRunning(PortExtension()));

    handle = Open();
    EXPECT_EQ(0u, CommStatus(handle).AmountInInQueue) << "the new open starts empty";
    app().Close(handle);
}

// A bulk-IN read that fails with STATUS_INVALID_DEVICE_REQUEST ends the pump; it keeps the
// landing buffer for its restart by the next read or write, and the close frees it.
TEST_P(OpenCloseTest, APumpThatEndsOnItsOwnKeepsTheLandingBufferUntilTheClose)
{
    PlugPort(kOtherProduct);
    host::Pool::Outstanding plugged = DriverPool();
    host::Handle handle = Open();
    SetWaitMask(handle, SERIAL_EV_RXCHAR | SERIAL_EV_ERR);
    WaitForReceivePump();
    host::OutstandingRequest wait = StartWait(handle);
    Device().FailNext(host::Direction::In, 1, STATUS_INVALID_DEVICE_REQUEST,
                      USBD_STATUS_DATA_OVERRUN);
    EXPECT_TRUE(WaitUntil([&] { return !ReceivePumpRunning(PortExtension()); }))
        << "the pump ended";
    EXPECT_NE(nullptr, PortExtension()->ReceiveLandingBuffer) << "kept for the restart";
    host::IoResult waited = wait.Wait();
    EXPECT_EQ(STATUS_SUCCESS, waited.status) << "the pump's end raises SERIAL_EV_ERR";

    EXPECT_EQ(STATUS_SUCCESS, app().Close(handle));
    EXPECT_EQ(plugged.count, DriverPool().count) << DriverPool().listing;
    handle = Open();
    EXPECT_NE(nullptr, PortExtension()->ReceiveLandingBuffer) << "a new buffer for the new open";
    app().Close(handle);
}

// Opens and closes with data moving both ways (the device echoes every write) and a read
// left waiting at the close: every request ends, and nothing of an open outlives its close.
TEST_P(OpenCloseTest, OpensAndClosesWithDataMovingLeaveNothingBehind)
{
    PlugPort(kNumberedProduct);
    Device().SetEcho(true);
    host::Pool::Outstanding plugged = DriverPool();
    for (int round = 0; round < 6; round++) {
        host::Handle handle = Open();
        SetTimeouts(handle, Timeouts(0, 0, 5000));
        host::OutstandingRequest read = app().StartRead(handle, 64);
        EXPECT_EQ(STATUS_SUCCESS, app().Write(handle, {1, 2, UCHAR(round)}).status);
        host::OutstandingRequest late = app().StartRead(handle, 64);
        EXPECT_EQ(STATUS_SUCCESS, app().Close(handle)) << "round " << round;
        EXPECT_TRUE(read.Completed()) << "round " << round;
        EXPECT_TRUE(late.Completed()) << "round " << round;
        EXPECT_EQ(plugged.count, DriverPool().count) << "round " << round << DriverPool().listing;
        EXPECT_EQ(1, PortExtension()->IoCount) << "round " << round;
    }
    Device().SetEcho(false);
}

TEST_P(OpenCloseTest, ALandingBufferThatCannotBeAllocatedFailsTheOpenAndLeavesThePortClosed)
{
    PlugPort(kNumberedProduct);
    host::Pool::Outstanding plugged = DriverPool();
    host.pool().FailAllocationsFrom("PrepareReceiving");
    host::OpenResult failed = TryOpen();
    host.pool().ClearFaults();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, failed.status);
    EXPECT_EQ(nullptr, failed.handle);
    EXPECT_EQ(0, PortExtension()->OpenCount);
    EXPECT_EQ(0, PortExtension()->HandleOpen);
    EXPECT_EQ(0, PortExtension()->PortOpen);
    EXPECT_EQ(0u, PortExtension()->ReceiveBufferSize);
    EXPECT_EQ(plugged.count, DriverPool().count) << DriverPool().listing;
    EXPECT_EQ(STATUS_ACCESS_DENIED, ControlWithoutHandle(IOCTL_SERIAL_SET_BREAK_ON));

    host::Handle handle = Open();
    EXPECT_NE(nullptr, handle) << "the next open succeeds";
    if (handle != nullptr) app().Close(handle);
}

TEST_P(OpenCloseTest, RequestsBeforeTheFirstOpenAndAfterTheCloseAreRefused)
{
    PlugPort(kOtherProduct);
    EXPECT_EQ(STATUS_ACCESS_DENIED, ControlWithoutHandle(IOCTL_SERIAL_SET_BREAK_ON))
        << "before the first open";
    EXPECT_EQ(STATUS_ACCESS_DENIED, ControlWithoutHandle(IOCTL_SERIAL_GET_BAUD_RATE, 0, 4))
        << "before the first open";
    host::Handle handle = Open();
    EXPECT_EQ(STATUS_SUCCESS, Control(handle, IOCTL_SERIAL_SET_BREAK_ON).status) << "while open";
    app().Close(handle);

    EXPECT_EQ(STATUS_ACCESS_DENIED, ControlWithoutHandle(IOCTL_SERIAL_SET_BREAK_ON));
    EXPECT_EQ(STATUS_ACCESS_DENIED, ControlWithoutHandle(IOCTL_SERIAL_GET_COMMSTATUS))
        << "the status query too, while the device itself is fine";
    EXPECT_EQ(STATUS_ACCESS_DENIED,
              SendRequest(port.physicalDevice, IRP_MJ_READ, 0, STATUS_SUCCESS))
        << "a read";
    EXPECT_EQ(STATUS_ACCESS_DENIED,
              SendRequest(port.physicalDevice, IRP_MJ_WRITE, 0, STATUS_SUCCESS))
        << "a write";
    EXPECT_EQ(1, PortExtension()->IoCount) << "no reference left behind";
}

KDX_FOR_BOTH_BUS_MODES(OpenCloseTest);

// A cleanup without its close yet (the I/O manager sends the close once the handle's last
// request is done) stops the port's I/O but keeps the port open for that close: the open
// state stays, the receive side is shut and the pump stopped, a read sent meanwhile is refused
// at once instead of waiting for a pump that cannot run, and a write is cancelled unsent.
TEST_P(OpenCloseTest, ACleanupAloneStopsThePortsIoAndKeepsItOpenForTheClose)
{
    OpenPort(kNumberedProduct);
    WaitForReceivePump();
    EXPECT_EQ(STATUS_SUCCESS, SendRequest(port.physicalDevice, IRP_MJ_CLEANUP, 0, STATUS_SUCCESS));
    PDEVICE_EXTENSION extension = PortExtension();
    EXPECT_EQ(1, extension->OpenCount);
    EXPECT_EQ(1, extension->HandleOpen);
    EXPECT_EQ(1, extension->PortOpen);
    EXPECT_EQ(0u, extension->ReceiveBufferSize);
    EXPECT_FALSE(ReceivePumpRunning(extension));
    EXPECT_EQ(0u, Device().PendingTransfers(host::Direction::In)) << "the pump reads on";

    host::Ticks start = host.Now();
    host::IoResult read = app().Read(portHandle, 10);
    EXPECT_FALSE(NT_SUCCESS(read.status)) << Hex(ULONG(read.status));
    EXPECT_EQ(0u, read.information);
    EXPECT_LT(host.Now() - start, host::Milliseconds(1000)) << "the read waited";
    EXPECT_EQ(STATUS_CANCELLED, app().Write(portHandle, {1, 2, 3}).status) << "a write";
    EXPECT_TRUE(Device().TakeOutTransfers().empty()) << "a write reached the device";
    EXPECT_EQ(STATUS_SUCCESS, ClosePort());
    EXPECT_EQ(1, extension->IoCount);
}

}  // namespace
