// IoBuildDeviceIoControlRequest: how the I/O manager sets up the request for each transfer
// method, what it copies back, and how it finishes the request for its caller.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

// The request as the driver's dispatch routine saw it.
struct Seen {
    UCHAR major = 0xFF;
    ULONG code = 0;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    PVOID systemBuffer = nullptr;
    PVOID type3Input = nullptr;
    PVOID userBuffer = nullptr;
    std::string input;
};

// Records the request, writes `reply` into the system buffer and completes with `status`,
// the reply's length as information.
DispatchHandler Replying(Seen* seen, NTSTATUS status, std::string reply = "")
{
    return [=](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        seen->major = stack->MajorFunction;
        seen->code = stack->Parameters.DeviceIoControl.IoControlCode;
        seen->inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        seen->outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        seen->systemBuffer = irp->AssociatedIrp.SystemBuffer;
        seen->type3Input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        seen->userBuffer = irp->UserBuffer;
        if (seen->systemBuffer != nullptr) {
            seen->input.assign(static_cast<char*>(seen->systemBuffer), seen->inputLength);
            memcpy(seen->systemBuffer, reply.data(), reply.size());
        }
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = reply.size();
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

}  // namespace

TEST(Ioctl, BufferedInputIsCopiedInAndOutputCopiedBack)
{
    DeviceStack stack;
    Seen seen;
    stack.onLower = Replying(&seen, STATUS_SUCCESS, "reply-bytes");
    char input[8] = {'q', 'u', 'e', 's', 't', 'i', 'o', 'n'};
    char output[16];
    memset(output, '.', sizeof(output));
    IoctlRequest request(stack.lower, kBufferedIoctl, input, sizeof(input), output, 12);
    EXPECT_EQ(STATUS_SUCCESS, request.Send());

    EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, seen.major);
    EXPECT_EQ(kBufferedIoctl, seen.code);
    EXPECT_EQ(8u, seen.inputLength);
    EXPECT_EQ(12u, seen.outputLength);
    EXPECT_NE(static_cast<PVOID>(input), seen.systemBuffer) << "a buffer of the I/O manager";
    EXPECT_EQ("question", seen.input) << "input in the system buffer";
    EXPECT_EQ("reply-bytes.....", std::string(output, 16)) << "Information bytes copied back";
    EXPECT_EQ(STATUS_SUCCESS, request.iosb.Status) << "the caller's status block";
    EXPECT_EQ(11u, request.iosb.Information);
    EXPECT_NE(0, KeReadStateEvent(&request.event)) << "the caller's event";
    EXPECT_EQ(0u, stack.host.io().OutstandingIrps().count) << "the I/O manager freed the IRP";
}

TEST(Ioctl, OutputIsCopiedBackOnSuccessAndWarningButNotOnError)
{
    DeviceStack stack;
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, STATUS_INVALID_PARAMETER}) {
        Seen seen;
        stack.onLower = Replying(&seen, status, "data");
        char output[4] = {'.', '.', '.', '.'};
        IoctlRequest request(stack.lower, kBufferedIoctl, nullptr, 0, output, sizeof(output));
        EXPECT_EQ(status, request.Send());
        EXPECT_EQ(status, request.iosb.Status);
        EXPECT_EQ(NT_ERROR(status) ? "...." : "data", std::string(output, 4))
            << "output after status 0x" << std::hex << status;
    }
}

TEST(Ioctl, InternalRequestsGetTheInternalMajorFunction)
{
    DeviceStack stack;
    for (BOOLEAN internal : {TRUE, FALSE}) {
        Seen seen;
        stack.onLower = Replying(&seen, STATUS_SUCCESS);
        IoctlRequest request(stack.lower, kBufferedIoctl, nullptr, 0, nullptr, 0, internal);
        EXPECT_EQ(STATUS_SUCCESS, request.Send());
        EXPECT_EQ(internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, seen.major)
            << "internal = " << int(internal);
    }
}

TEST(Ioctl, MethodNeitherPassesTheCallersOwnBuffers)
{
    DeviceStack stack;
    Seen seen;
    stack.onLower = Replying(&seen, STATUS_SUCCESS);
    int input = 5, output = 0;
    IoctlRequest request(stack.lower, kNeitherIoctl, &input, sizeof(input), &output,
                         sizeof(output));
    EXPECT_EQ(STATUS_SUCCESS, request.Send());
    EXPECT_EQ(static_cast<PVOID>(&input), seen.type3Input) << "Type3InputBuffer";
    EXPECT_EQ(static_cast<PVOID>(&output), seen.userBuffer) << "UserBuffer";
    EXPECT_EQ(nullptr, seen.systemBuffer) << "nothing is buffered";
    EXPECT_EQ(sizeof(int), seen.inputLength);
    EXPECT_EQ(sizeof(int), seen.outputLength);
}

TEST(Ioctl, WithTheStatusBlockOnlyWhenPendingARequestCompletedAtOnceLeavesBlockAndEvent)
{
    DeviceStack stack;
    stack.host.io().SetStatusBlockOnlyWhenPending(true);
    Seen seen;
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_INVALID_PARAMETER}) {
        stack.onLower = Replying(&seen, status, "data");
        char output[4] = {'.', '.', '.', '.'};
        IoctlRequest request(stack.lower, kBufferedIoctl, nullptr, 0, output, sizeof(output));
        EXPECT_EQ(status, request.Send()) << "the caller's status";
        EXPECT_EQ(kUnfilledStatus, request.iosb.Status) << "after status 0x" << std::hex << status;
        EXPECT_EQ(0, KeReadStateEvent(&request.event)) << "after status 0x" << std::hex << status;
        EXPECT_EQ(NT_ERROR(status) ? "...." : "data", std::string(output, 4))
            << "output is still copied back";
    }

    PIRP parked = nullptr;
    stack.onLower = PendInto(&parked);
    IoctlRequest pended(stack.lower, kBufferedIoctl, nullptr, 0, nullptr, 0);
    ASSERT_EQ(STATUS_PENDING, pended.Send());
    stack.CompleteInLower(parked, STATUS_INVALID_PARAMETER);
    ASSERT_EQ(STATUS_SUCCESS, pended.Wait()) << "the event of a request that pended";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, pended.iosb.Status);
}
