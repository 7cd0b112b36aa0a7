// What the verifier must let through: the legitimate variants of the patterns its rules
// catch. A report here would abort the test.
#include <gtest/gtest.h>

#include <vector>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

// An allocator's completion routine that sends its IRP once more (a follow-up transfer) and
// sets itself again before doing so, as it must; the second completion signals `done`.
struct FollowUp {
    DeviceStack* stack = nullptr;
    int calls = 0;
    KEVENT done;
};

NTSTATUS SendFollowUpOnce(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* followUp = static_cast<FollowUp*>(context);
    if (++followUp->calls == 1) {
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_WRITE;
        IoSetCompletionRoutine(irp, SendFollowUpOnce, followUp, TRUE, TRUE, TRUE);
        IoCallDriver(followUp->stack->lower, irp);
    } else {
        KeSetEvent(&followUp->done, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A lower driver that pends each request and completes it from its DPC.
struct DpcCompleter {
    KDPC dpc;
    PIRP irp = nullptr;
    KIRQL irqlSeen = PASSIVE_LEVEL;
};

VOID CompleteFromDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* completer = static_cast<DpcCompleter*>(context);
    completer->irqlSeen = KeGetCurrentIrql();
    completer->irp->IoStatus.Status = STATUS_SUCCESS;
    completer->irp->IoStatus.Information = 3;
    IoCompleteRequest(completer->irp, IO_NO_INCREMENT);
}

// A cancel routine that releases the cancel lock, then completes the request.
VOID CancelAndComplete(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Starts the next power request from its completion routine, where the current stack location
// is the driver's own again.
NTSTATUS StartNextPowerOnCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

// A completion routine that takes the IRP back for its dispatch routine: signals `context`
// (a KEVENT) and stops the completion.
NTSTATUS ReclaimForDispatch(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// The lower driver keeps the status it completes with in a local; the upper driver takes the
// IRP back with STATUS_MORE_PROCESSING_REQUIRED and may then read and change the IRP, its
// stack location and the system buffer until it completes the IRP itself.
TEST(CorrectDriver, TouchesAnIrpOnlyBeforeCompletingItOrAfterTakingItBack)
{
    DeviceStack stack;
    stack.onLower = [](PDEVICE_OBJECT, PIRP irp) {
        NTSTATUS status = STATUS_SUCCESS;
        static_cast<char*>(irp->AssociatedIrp.SystemBuffer)[0] = 'l';
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 1;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
    stack.onUpper = [&](PDEVICE_OBJECT, PIRP irp) {
        KEVENT back;
        KeInitializeEvent(&back, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, ReclaimForDispatch, &back, TRUE, TRUE, TRUE);
        IoCallDriver(stack.attachedTo, irp);
        KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
        auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        ULONG room =
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
        buffer[irp->IoStatus.Information] = 'u';
        irp->IoStatus.Information = room;
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
    char output[2] = {};
    IoctlRequest request(stack.upper, kBufferedIoctl, nullptr, 0, output, sizeof(output));
    EXPECT_EQ(STATUS_SUCCESS, request.Send());
    EXPECT_EQ(2u, request.iosb.Information);
    EXPECT_EQ(std::string("lu"), std::string(output, 2)) << "the output copied back";
}

TEST(CorrectDriver, ResendsItsAllocatedIrpWithItsCompletionRoutineSetAgain)
{
    DeviceStack stack;
    // The first request completes at once, inside the completion routine's first call; the
    // follow-up is completed later, after that call has returned.
    std::vector<UCHAR> majors;
    PIRP parked = nullptr;
    stack.onLower = [&](PDEVICE_OBJECT, PIRP irp) {
        majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        if (majors.size() == 2) return PendInto(&parked)(nullptr, irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    FollowUp followUp;
    followUp.stack = &stack;
    KeInitializeEvent(&followUp.done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, SendFollowUpOnce, &followUp, TRUE, TRUE, TRUE);
    IoCallDriver(stack.lower, irp);
    ASSERT_EQ(irp, parked) << "the follow-up waits in the lower driver";
    stack.CompleteInLower(parked, STATUS_SUCCESS);
    ASSERT_EQ(STATUS_SUCCESS, WaitMs(&followUp.done, 1000));
    EXPECT_EQ(2, followUp.calls) << "completion routine calls";
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_READ, IRP_MJ_WRITE}), majors) << "requests sent";
    IoFreeIrp(irp);
}

TEST(CorrectDriver, CompletesFromItsDpc)
{
    DeviceStack stack;
    DpcCompleter completer;
    RunAs(stack.lowerDriver, [&] { KeInitializeDpc(&completer.dpc, CompleteFromDpc, &completer); });
    stack.onLower = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        completer.irp = irp;
        KeInsertQueueDpc(&completer.dpc, nullptr, nullptr);
        return STATUS_PENDING;
    };
    char output[4];
    IoctlRequest request(stack.lower, kBufferedIoctl, nullptr, 0, output, sizeof(output));
    request.Send();
    ASSERT_EQ(STATUS_SUCCESS, request.Wait());
    EXPECT_EQ(STATUS_SUCCESS, request.iosb.Status);
    EXPECT_EQ(3u, request.iosb.Information);
    EXPECT_EQ(DISPATCH_LEVEL, completer.irqlSeen) << "IRQL of the DPC";
}

TEST(CorrectDriver, CancelRoutineReleasesTheCancelLockAndCompletes)
{
    DeviceStack stack;
    PIRP parked = nullptr;
    stack.onLower = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelAndComplete);
        parked = irp;
        return STATUS_PENDING;
    };
    IoctlRequest request(stack.lower, kBufferedIoctl, nullptr, 0, nullptr, 0);
    ASSERT_EQ(STATUS_PENDING, request.Send());
    EXPECT_TRUE(IoCancelIrp(parked)) << "a cancel routine was set";
    ASSERT_EQ(STATUS_SUCCESS, request.Wait());
    EXPECT_EQ(STATUS_CANCELLED, request.iosb.Status);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql()) << "IRQL after IoCancelIrp";
}

TEST(CorrectDriver, ReturnsPendingForAnIrpItMarkedBeforePassingItDown)
{
    DeviceStack stack;
    stack.onUpper = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoCallDriver(stack.attachedTo, irp);
        return STATUS_PENDING;
    };
    IoctlRequest request(stack.upper, kBufferedIoctl, nullptr, 0, nullptr, 0);
    EXPECT_EQ(STATUS_PENDING, request.Send());
    ASSERT_EQ(STATUS_SUCCESS, request.Wait());
    EXPECT_EQ(STATUS_SUCCESS, request.iosb.Status) << "completed by the lower driver";
}

TEST(CorrectDriver, ReportsInformationForARequestWithoutOutputBuffer)
{
    DeviceStack stack;
    stack.onLower = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 16;  // bytes consumed; nothing is copied back
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    char input[16] = {};
    IoctlRequest request(stack.lower, kBufferedIoctl, input, sizeof(input), nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, request.Send());
    EXPECT_EQ(16u, request.iosb.Information);
}

TEST(CorrectDriver, FreesPoolWithTheTagItAllocatedWith)
{
    host::Host host;
    constexpr ULONG kTag = 0x5844444B;
    ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), kTag);
    ExFreePoolWithTag(ExAllocatePool(NonPagedPool, 8), 0x656E6F4E);  // 'None'
    ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, kTag));
    EXPECT_EQ(0u, host.pool().OutstandingBlocks().count) << host.pool().OutstandingBlocks().listing;
}

TEST(CorrectDriver, StartsTheNextPowerIrpBeforeHandingItOnOrInItsCompletionRoutine)
{
    DeviceStack stack;
    stack.onLower = [](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    for (bool onCompletion : {false, true}) {
        stack.onUpper = [&stack, onCompletion](PDEVICE_OBJECT, PIRP irp) {
            if (onCompletion) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, StartNextPowerOnCompletion, nullptr, TRUE, TRUE, TRUE);
            } else {
                PoStartNextPowerIrp(irp);
                IoSkipCurrentIrpStackLocation(irp);
            }
            return PoCallDriver(stack.attachedTo, irp);
        };
        SetPowerRequest request(stack.upper);
        EXPECT_EQ(STATUS_SUCCESS, request.Send())
            << (onCompletion ? "in the completion routine" : "before skipping");
    }
}
