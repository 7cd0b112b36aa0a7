// IofCompleteRequest through a two-driver stack: completion routines run bottom-up when their
// invoke flags match, STATUS_MORE_PROCESSING_REQUIRED stops completion and gives the IRP back,
// and PendingReturned reaches the caller.
#include <gtest/gtest.h>

#include <vector>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

struct CompletionCall {
    int id;
    PDEVICE_OBJECT device;
    BOOLEAN pendingReturned;
    KIRQL irql;
};

// A logging completion routine's context: what it returns, and whether it propagates the
// pending flag (as a routine with a stack location of its own must).
struct Completion {
    std::vector<CompletionCall>* log;
    int id;
    NTSTATUS result;
    bool propagatePending;
    PKEVENT signal = nullptr;
};

NTSTATUS LoggingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* completion = static_cast<Completion*>(context);
    completion->log->push_back({completion->id, device, irp->PendingReturned, KeGetCurrentIrql()});
    if (completion->propagatePending && irp->PendingReturned) IoMarkIrpPending(irp);
    NTSTATUS result = completion->result;  // the test may end once `signal` is set
    if (completion->signal != nullptr) KeSetEvent(completion->signal, IO_NO_INCREMENT, FALSE);
    return result;
}

// The upper driver passes each request down with `routine` (if any) as completion routine.
DispatchHandler PassDown(DeviceStack& stack, Completion* routine, BOOLEAN onSuccess = TRUE,
                         BOOLEAN onError = TRUE, BOOLEAN onCancel = TRUE)
{
    return [=, &stack](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (routine != nullptr) {
            IoSetCompletionRoutine(irp, LoggingCompletion, routine, onSuccess, onError, onCancel);
        }
        return IoCallDriver(stack.attachedTo, irp);
    };
}

// An IRP the test allocates for the stack, with its own completion routine, which keeps the
// IRP, at the upper driver's location, as a driver that allocates IRPs does.
PIRP AllocateWithRoutine(DeviceStack& stack, Completion* allocatorRoutine)
{
    PIRP irp = IoAllocateIrp(stack.upper->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, LoggingCompletion, allocatorRoutine, TRUE, TRUE, TRUE);
    return irp;
}

}  // namespace

TEST(Completion, RoutinesRunBottomUpWithTheirOwnDevices)
{
    DeviceStack stack;
    std::vector<CompletionCall> log;
    Completion allocatorRoutine{&log, 1, STATUS_MORE_PROCESSING_REQUIRED, false};
    Completion upperRoutine{&log, 2, STATUS_SUCCESS, true};
    stack.onUpper = PassDown(stack, &upperRoutine);
    PIRP irp = AllocateWithRoutine(stack, &allocatorRoutine);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(stack.upper, irp));
    ASSERT_EQ(2u, log.size()) << "completion routines called";
    EXPECT_EQ(2, log[0].id) << "the upper driver's routine runs first";
    EXPECT_EQ(stack.upper, log[0].device) << "the upper driver's routine gets its device";
    EXPECT_EQ(1, log[1].id) << "the allocator's routine runs last";
    EXPECT_EQ(nullptr, log[1].device) << "the allocator has no stack location of its own";
    EXPECT_EQ(STATUS_SUCCESS, irp->IoStatus.Status) << "status set by the lower driver";
    IoFreeIrp(irp);
}

TEST(Completion, InvokeFlagsChooseWhichOutcomesCallTheRoutine)
{
    struct Case {
        NTSTATUS status;
        bool cancel;
        BOOLEAN onSuccess, onError, onCancel;
        bool invoked;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
        {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {STATUS_DEVICE_DATA_ERROR, false, FALSE, TRUE, FALSE, true},
        {STATUS_DEVICE_DATA_ERROR, false, TRUE, FALSE, TRUE, false},
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
        {STATUS_CANCELLED, true, TRUE, FALSE, FALSE, false},
    };
    DeviceStack stack;
    PIRP parked = nullptr;
    stack.onLower = PendInto(&parked);
    for (const Case& c : cases) {
        std::vector<CompletionCall> log;
        Completion upperRoutine{&log, 2, STATUS_SUCCESS, true};
        stack.onUpper = PassDown(stack, &upperRoutine, c.onSuccess, c.onError, c.onCancel);
        IoctlRequest request(stack.upper, kBufferedIoctl, nullptr, 0, nullptr, 0);
        ASSERT_EQ(STATUS_PENDING, request.Send());
        if (c.cancel) {
            EXPECT_FALSE(IoCancelIrp(parked)) << "no cancel routine is set";
        }
        stack.CompleteInLower(parked, c.status);
        ASSERT_EQ(STATUS_SUCCESS, request.Wait());
        EXPECT_EQ(c.status, request.iosb.Status);
        EXPECT_EQ(c.invoked ? 1u : 0u, log.size())
            << "routine calls for status 0x" << std::hex << c.status << std::dec
            << (c.cancel ? " (cancelled)" : "") << " with flags success=" << int(c.onSuccess)
            << " error=" << int(c.onError) << " cancel=" << int(c.onCancel);
    }
}

namespace {

// The lower driver's side of an asynchronous request: a timer DPC completes the parked IRP.
struct TimedCompletion {
    KTIMER timer;
    KDPC dpc;
    PIRP irp = nullptr;

    static VOID Complete(PKDPC, PVOID context, PVOID, PVOID)
    {
        PIRP irp = static_cast<TimedCompletion*>(context)->irp;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 3;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
};

}  // namespace

TEST(Completion, MoreProcessingRequiredGivesTheIrpBackToTheUpperDriver)
{
    DeviceStack stack;
    TimedCompletion lowerWork;
    stack.onLower = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        lowerWork.irp = irp;
        KeInitializeTimer(&lowerWork.timer);
        KeInitializeDpc(&lowerWork.dpc, TimedCompletion::Complete, &lowerWork);
        KeSetTimer(&lowerWork.timer, RelativeMs(100), &lowerWork.dpc);
        return STATUS_PENDING;
    };
    std::vector<CompletionCall> log;
    KEVENT lowerDone;
    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
    Completion keep{&log, 2, STATUS_MORE_PROCESSING_REQUIRED, false, &lowerDone};
    IO_STATUS_BLOCK fromLower{};
    stack.onUpper = [&](PDEVICE_OBJECT device, PIRP irp) {
        if (PassDown(stack, &keep)(device, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, nullptr);
        }
        fromLower = irp->IoStatus;
        irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_BUSY;
    };
    host::Ticks start = stack.host.Now();
    IoctlRequest request(stack.upper, kBufferedIoctl, nullptr, 0, nullptr, 0);
    EXPECT_EQ(STATUS_DEVICE_BUSY, request.Send());
    EXPECT_EQ(host::Milliseconds(100), stack.host.Now() - start) << "the upper driver waited";
    ASSERT_EQ(1u, log.size()) << "calls of the upper driver's routine";
    EXPECT_EQ(DISPATCH_LEVEL, log[0].irql) << "a routine runs in its completer's context";
    EXPECT_EQ(STATUS_SUCCESS, fromLower.Status) << "status the upper driver got back";
    EXPECT_EQ(3u, fromLower.Information);
    EXPECT_EQ(STATUS_DEVICE_BUSY, request.iosb.Status) << "the second completion's status";
}

TEST(Completion, PendingReturnedReachesTheAllocatorOnlyWhenTheLowerDriverPended)
{
    enum Upper { SkipsItsLocation, CopiesWithoutRoutine, PropagatesInItsRoutine, Synchronous };
    DeviceStack stack;
    for (Upper mode :
         {SkipsItsLocation, CopiesWithoutRoutine, PropagatesInItsRoutine, Synchronous}) {
        std::vector<CompletionCall> log;
        Completion allocatorRoutine{&log, 1, STATUS_MORE_PROCESSING_REQUIRED, false};
        Completion upperRoutine{&log, 2, STATUS_SUCCESS, true};
        PIRP parked = nullptr;
        stack.onLower = mode == Synchronous ? DispatchHandler() : PendInto(&parked);
        stack.onUpper = PassDown(stack, mode == PropagatesInItsRoutine ? &upperRoutine : nullptr);
        if (mode == SkipsItsLocation) {
            stack.onUpper = [&](PDEVICE_OBJECT, PIRP irp) {
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(stack.attachedTo, irp);
            };
        }
        PIRP irp = AllocateWithRoutine(stack, &allocatorRoutine);
        NTSTATUS status = IoCallDriver(stack.upper, irp);
        if (parked != nullptr) stack.CompleteInLower(parked, STATUS_SUCCESS);
        EXPECT_EQ(mode == Synchronous ? STATUS_SUCCESS : STATUS_PENDING, status) << "mode " << mode;
        ASSERT_FALSE(log.empty()) << "mode " << mode;
        EXPECT_EQ(1, log.back().id) << "the allocator's routine runs last, mode " << mode;
        EXPECT_EQ(mode != Synchronous, log.back().pendingReturned) << "mode " << mode;
        IoFreeIrp(irp);
    }
}
