// The application side of the I/O manager, through a small test driver's named device: opens by
// DOS name with a new file object, cleanup and close on that file object, reads, writes and
// device control with buffered and neither I/O, requests left outstanding, waited on in virtual
// time and cancelled as CancelIo does.
#include <gtest/gtest.h>

#include "support/bus_client.h"
#include "support/test_port.h"

using namespace hosttest;

namespace {

constexpr ULONG kNeitherIoctlCode = kNeitherIoctl;

// A dispatch routine that completes requests of `major` with `status` and `information`,
// running `look` first, and every other request with STATUS_SUCCESS.
DispatchHandler CompleteWith(UCHAR major, NTSTATUS status, ULONG_PTR information = 0,
                             std::function<void(PIRP)> look = nullptr)
{
    return [=](PDEVICE_OBJECT, PIRP irp) {
        NTSTATUS result = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == major) {
            if (look) look(irp);
            result = status;
            irp->IoStatus.Information = information;
        }
        irp->IoStatus.Status = result;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return result;
    };
}

PIRP g_parked = nullptr;

VOID CancelParked(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_parked = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Reads pend (with the cancel routine above when `cancellable`); other requests succeed.
DispatchHandler ParkReads(bool cancellable)
{
    return [cancellable](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        IoMarkIrpPending(irp);
        g_parked = irp;
        if (cancellable) IoSetCancelRoutine(irp, CancelParked);
        return STATUS_PENDING;
    };
}

// The test driver's DPC that completes the parked read with three bytes.
VOID CompleteParkedRead(PKDPC, PVOID, PVOID, PVOID)
{
    PIRP irp = g_parked;
    g_parked = nullptr;
    memcpy(irp->AssociatedIrp.SystemBuffer, "abc", 3);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 3;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

class Application : public testing::Test {
protected:
    void SetUp() override { g_parked = nullptr; }

    host::Handle OpenPort()
    {
        host::OpenResult opened = port.app.Open(u"\\DosDevices\\TEST0");
        EXPECT_EQ(STATUS_SUCCESS, opened.status);
        return opened.handle;
    }

    TestPort port;
};

TEST_F(Application, OpenByDosNameSendsCreateWithANewFileObjectAndCloseSendsCleanupThenClose)
{
    host::OpenResult opened = port.app.Open(u"\\DosDevices\\TEST0");
    ASSERT_EQ(STATUS_SUCCESS, opened.status);
    ASSERT_NE(nullptr, opened.handle);
    EXPECT_EQ(port.device, opened.handle->DeviceObject) << "the link's target";
    EXPECT_EQ(STATUS_SUCCESS, port.app.Close(opened.handle));

    std::vector<UCHAR> expected = {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    EXPECT_EQ(expected, port.Majors());
    for (const TestPort::Seen& request : port.seen) {
        EXPECT_EQ(opened.handle, request.file) << "major " << int(request.major);
        EXPECT_EQ(PASSIVE_LEVEL, request.irql) << "major " << int(request.major);
        EXPECT_EQ(UserMode, request.mode) << "major " << int(request.major);
    }
    EXPECT_NE(0u, port.seen[0].flags & IRP_CREATE_OPERATION);
    EXPECT_NE(0u, port.seen[2].flags & IRP_CLOSE_OPERATION);

    host::OpenResult win32 = port.app.Open(u"\\\\.\\TEST0");
    host::OpenResult bare = port.app.Open(u"test0");
    EXPECT_EQ(STATUS_SUCCESS, win32.status);
    EXPECT_EQ(STATUS_SUCCESS, bare.status);
    EXPECT_NE(win32.handle, bare.handle) << "each open has a file object of its own";
    EXPECT_NE(opened.handle, win32.handle);
    port.app.Close(win32.handle);
    port.app.Close(bare.handle);
}

TEST_F(Application, AnUnknownNameFailsWithoutARequest)
{
    host::OpenResult opened = port.app.Open(u"\\DosDevices\\TEST9");
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, opened.status);
    EXPECT_EQ(nullptr, opened.handle);
    EXPECT_TRUE(port.seen.empty());
}

TEST_F(Application, AFailedCreateGivesNoHandleAndTheCreateCarriesItsOptions)
{
    ULONG options = 0;
    port.onRequest = CompleteWith(IRP_MJ_CREATE, STATUS_NOT_A_DIRECTORY, 0, [&](PIRP irp) {
        options = IoGetCurrentIrpStackLocation(irp)->Parameters.Create.Options;
    });
    host::OpenResult opened = port.app.Open(u"TEST0", FILE_DIRECTORY_FILE);
    EXPECT_EQ(STATUS_NOT_A_DIRECTORY, opened.status);
    EXPECT_EQ(nullptr, opened.handle);
    EXPECT_EQ(ULONG(FILE_DIRECTORY_FILE), options & 0x00FFFFFF);
    EXPECT_EQ(ULONG(FILE_OPEN), options >> 24) << "the disposition";
    EXPECT_EQ(1u, port.seen.size()) << "no cleanup or close for a failed open";
}

TEST_F(Application, CloseReturnsTheStatusOfTheCloseRequest)
{
    host::Handle handle = OpenPort();
    port.onRequest = CompleteWith(IRP_MJ_CLOSE, STATUS_DEVICE_BUSY);
    EXPECT_EQ(STATUS_DEVICE_BUSY, port.app.Close(handle));
}

TEST_F(Application, ReadReturnsTheInformationBytesOfTheSystemBuffer)
{
    host::Handle handle = OpenPort();
    ULONG length = 0;
    PVOID userBuffer = nullptr;
    port.onRequest = CompleteWith(IRP_MJ_READ, STATUS_SUCCESS, 6, [&](PIRP irp) {
        length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        userBuffer = irp->UserBuffer;
        memcpy(irp->AssociatedIrp.SystemBuffer, "serial", 6);
    });
    host::IoResult result = port.app.Read(handle, 10);
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(6u, result.information);
    EXPECT_EQ(std::vector<UCHAR>({'s', 'e', 'r', 'i', 'a', 'l'}), result.output);
    EXPECT_EQ(10u, length);
    EXPECT_NE(nullptr, userBuffer);
    EXPECT_NE(0u, port.seen.back().flags & IRP_BUFFERED_IO);

    port.onRequest = CompleteWith(IRP_MJ_READ, STATUS_DEVICE_DATA_ERROR, 6);
    result = port.app.Read(handle, 10);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, result.status);
    EXPECT_TRUE(result.output.empty()) << "nothing is copied back for an error";
    port.app.Close(handle);
}

TEST_F(Application, WriteHandsTheBytesInTheSystemBuffer)
{
    host::Handle handle = OpenPort();
    std::vector<UCHAR> arrived;
    port.onRequest = CompleteWith(IRP_MJ_WRITE, STATUS_SUCCESS, 5, [&](PIRP irp) {
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        auto* bytes = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
        arrived.assign(bytes, bytes + length);
    });
    host::IoResult result = port.app.Write(handle, Bytes(5, 40));
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(5u, result.information);
    EXPECT_EQ(Bytes(5, 40), arrived);
    EXPECT_TRUE(result.output.empty());
    port.app.Close(handle);
}

TEST_F(Application, BufferedDeviceControlCopiesTheInputInAndInformationBytesBack)
{
    host::Handle handle = OpenPort();
    ULONG inputLength = 0, outputLength = 0, code = 0;
    std::vector<UCHAR> input;
    port.onRequest = CompleteWith(IRP_MJ_DEVICE_CONTROL, STATUS_SUCCESS, 5, [&](PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        code = stack->Parameters.DeviceIoControl.IoControlCode;
        inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        auto* bytes = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
        input.assign(bytes, bytes + inputLength);
        memcpy(bytes, "12345678", 8);  // the system buffer is as long as the longer side
    });
    host::IoResult result = port.app.DeviceControl(handle, kBufferedIoctl, Bytes(4, 1), 8);
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(kBufferedIoctl, code);
    EXPECT_EQ(4u, inputLength);
    EXPECT_EQ(8u, outputLength);
    EXPECT_EQ(Bytes(4, 1), input);
    EXPECT_EQ(std::vector<UCHAR>({'1', '2', '3', '4', '5'}), result.output) << "Information bytes";
    port.app.Close(handle);
}

TEST(ApplicationWithoutBufferedIo, ReadsWritesAndDeviceControlPassTheCallersBuffers)
{
    TestPort neither(0);
    host::Handle handle = neither.app.Open(u"TEST0").handle;
    PVOID systemBuffer = &handle;
    std::vector<UCHAR> written;
    neither.onRequest = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        irp->IoStatus.Information = 3;
        if (stack->MajorFunction == IRP_MJ_READ) {
            systemBuffer = irp->AssociatedIrp.SystemBuffer;
            memcpy(irp->UserBuffer, "xyz", 3);
        } else if (stack->MajorFunction == IRP_MJ_WRITE) {
            auto* bytes = static_cast<PUCHAR>(irp->UserBuffer);
            written.assign(bytes, bytes + stack->Parameters.Write.Length);
        } else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            auto* input = static_cast<PUCHAR>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
            memcpy(irp->UserBuffer, input, 3);
        } else {
            irp->IoStatus.Information = 0;
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(std::vector<UCHAR>({'x', 'y', 'z'}), neither.app.Read(handle, 4).output);
    EXPECT_EQ(nullptr, systemBuffer) << "no system buffer without DO_BUFFERED_IO";
    EXPECT_EQ(3u, neither.app.Write(handle, Bytes(3, 7)).information);
    EXPECT_EQ(Bytes(3, 7), written);
    EXPECT_EQ(Bytes(3, 9),
              neither.app.DeviceControl(handle, kNeitherIoctlCode, Bytes(3, 9), 3).output);
    neither.app.Close(handle);
}

TEST_F(Application, AnOutstandingRequestCompletesWhenTheDriverDoesWhileVirtualTimeMoves)
{
    host::Handle handle = OpenPort();
    port.onRequest = ParkReads(false);
    KTIMER timer;
    KDPC dpc;
    RunAs(port.driver, [&] {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, CompleteParkedRead, nullptr);
    });
    host::OutstandingRequest read = port.app.StartRead(handle, 16);
    EXPECT_FALSE(read.Completed());
    EXPECT_EQ(1u, port.app.OutstandingCount());
    EXPECT_EQ(1u, port.host.io().OutstandingIrps().count) << "the I/O manager tracks it";

    host::Ticks start = port.host.Now();
    RunAs(port.driver, [&] { KeSetTimer(&timer, RelativeMs(500), &dpc); });
    host::IoResult result = read.Wait();
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(std::vector<UCHAR>({'a', 'b', 'c'}), result.output);
    EXPECT_EQ(start + host::Milliseconds(500), port.host.Now()) << "the wait let time move";
    EXPECT_TRUE(read.Completed());
    EXPECT_FALSE(read.Cancel()) << "a completed request is not cancelled";
    EXPECT_EQ(0u, port.app.OutstandingCount());
    port.app.Close(handle);
}

TEST_F(Application, CancelRunsTheDriversCancelRoutine)
{
    host::Handle handle = OpenPort();
    port.onRequest = ParkReads(true);
    host::OutstandingRequest read = port.app.StartRead(handle, 16);
    ASSERT_NE(nullptr, g_parked);
    EXPECT_TRUE(read.Cancel());
    host::IoResult result = read.Wait();
    EXPECT_EQ(STATUS_CANCELLED, result.status);
    EXPECT_TRUE(result.output.empty());
    EXPECT_EQ(0u, port.host.io().OutstandingIrps().count) << "the IRP was freed";
    port.app.Close(handle);
}

TEST_F(Application, CancelWithoutACancelRoutineLeavesTheRequestToTheDriver)
{
    host::Handle handle = OpenPort();
    port.onRequest = ParkReads(false);
    host::OutstandingRequest read = port.app.StartRead(handle, 16);
    PIRP irp = g_parked;
    EXPECT_FALSE(read.Cancel());
    EXPECT_FALSE(read.Completed());
    EXPECT_TRUE(irp->Cancel) << "the driver can see the cancel";
    RunAs(port.driver, [&] { CompleteParkedRead(nullptr, nullptr, nullptr, nullptr); });
    EXPECT_EQ(STATUS_SUCCESS, read.Wait().status);
    port.app.Close(handle);
}

TEST_F(Application, CloseSendsCloseOnlyAfterTheHandlesLastRequestCompleted)
{
    host::Handle handle = OpenPort();
    port.onRequest = ParkReads(false);
    KTIMER timer;
    KDPC dpc;
    RunAs(port.driver, [&] {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, CompleteParkedRead, nullptr);
    });
    host::OutstandingRequest read = port.app.StartRead(handle, 16);
    RunAs(port.driver, [&] { KeSetTimer(&timer, RelativeMs(200), &dpc); });
    host::Ticks start = port.host.Now();
    EXPECT_EQ(STATUS_SUCCESS, port.app.Close(handle));
    EXPECT_EQ(start + host::Milliseconds(200), port.host.Now())
        << "close waited for the read that cleanup left outstanding";
    std::vector<UCHAR> expected = {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    EXPECT_EQ(expected, port.Majors());
    EXPECT_TRUE(read.Completed());
}

}  // namespace
