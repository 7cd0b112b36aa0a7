// Verifier IRP rules: completing twice or with a pending status or a cancel routine set,
// passing down with a cancel routine, touching an IRP a lower driver holds, dispatch routines
// whose return does not match what they did, pending not propagated, IRPs completed past
// their allocator, stacks deeper than the IRP, the next power request started from a stack
// location that is no longer the driver's own, and an IRP touched after it was completed.
#include <gtest/gtest.h>

#include "support/test_driver.h"

using namespace hosttest;

namespace {

VOID UnusedCancel(PDEVICE_OBJECT, PIRP) {}
NTSTATUS ForgetToPropagate(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

// A dispatch routine that completes with `status` and returns `returned`.
DispatchHandler Complete(NTSTATUS status, NTSTATUS returned, bool markPending = false)
{
    return [=](PDEVICE_OBJECT, PIRP irp) {
        if (markPending) IoMarkIrpPending(irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return returned;
    };
}

// The upper driver passes each request down, with `routine` as completion routine if given.
DispatchHandler PassDown(DeviceStack& stack, PIO_COMPLETION_ROUTINE routine)
{
    return [&stack, routine](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (routine != nullptr) IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(stack.attachedTo, irp);
    };
}

// An IRP the test allocates and sends to the lower device.
PIRP AllocateAndSend(DeviceStack& stack)
{
    PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoCallDriver(stack.lower, irp);
    return irp;
}

}  // namespace

TEST(IrpRuleDeathTest, CompletedTwiceInOneDispatchRoutine)
{
    DeviceStack stack;
    stack.onLower = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_DEATH(SendIoctl(stack.lower),
                 "HOST VERIFIER: MULTIPLE_IRP_COMPLETE_REQUESTS(.|\n)*already freed");
}

TEST(IrpRuleDeathTest, CompletedWithPendingStatus)
{
    DeviceStack stack;
    stack.onLower = Complete(STATUS_PENDING, STATUS_PENDING);
    EXPECT_DEATH(SendIoctl(stack.lower), "HOST VERIFIER: IRP_COMPLETED_WITH_PENDING_STATUS");
}

TEST(IrpRuleDeathTest, CompletedWithCancelRoutineSet)
{
    DeviceStack stack;
    DispatchHandler complete = Complete(STATUS_SUCCESS, STATUS_SUCCESS);
    stack.onLower = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoSetCancelRoutine(irp, UnusedCancel);
        return complete(device, irp);
    };
    EXPECT_DEATH(SendIoctl(stack.lower), "HOST VERIFIER: IRP_COMPLETED_WITH_CANCEL_ROUTINE");
}

TEST(IrpRuleDeathTest, PassedDownWithCancelRoutineSet)
{
    DeviceStack stack;
    DispatchHandler passDown = PassDown(stack, nullptr);
    stack.onUpper = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoSetCancelRoutine(irp, UnusedCancel);
        return passDown(device, irp);
    };
    EXPECT_DEATH(SendIoctl(stack.upper), "HOST VERIFIER: IRP_PASSED_DOWN_WITH_CANCEL_ROUTINE");
}

TEST(IrpRuleDeathTest, CompletedByTheUpperDriverWhileTheLowerHoldsIt)
{
    DeviceStack stack;
    PIRP parked = nullptr;
    stack.onUpper = PassDown(stack, nullptr);
    stack.onLower = PendInto(&parked);
    auto completeInUpper = [&] {
        parked->IoStatus.Status = STATUS_CANCELLED;
        RunAs(stack.upperDriver, [&] { IoCompleteRequest(parked, IO_NO_INCREMENT); });
    };
    EXPECT_DEATH(
        (SendIoctl(stack.upper), completeInUpper()),
        "HOST VERIFIER: IRP_NOT_HELD_BY_CALLER(.|\n)*while \\\\Driver\\\\lowerdrv holds it");
}

TEST(IrpRuleDeathTest, FreedByItsAllocatorWhileTheLowerDriverHoldsIt)
{
    DeviceStack stack;
    PIRP parked = nullptr;
    stack.onLower = PendInto(&parked);
    EXPECT_DEATH(IoFreeIrp(AllocateAndSend(stack)),
                 "HOST VERIFIER: IRP_FREED_WHILE_HELD(.|\n)*freed by the system while "
                 "\\\\Driver\\\\lowerdrv holds it");
}

TEST(IrpRuleDeathTest, FreeingAnIrpTheIoManagerFrees)
{
    DeviceStack stack;
    EXPECT_DEATH(IoFreeIrp(IoctlRequest(stack.lower, kBufferedIoctl, nullptr, 0, nullptr, 0).irp),
                 "HOST VERIFIER: IRP_FREED_TWICE(.|\n)*the I/O manager frees it");
}

TEST(IrpRuleDeathTest, FreeingAnIrpTwice)
{
    host::Host host;
    PIRP irp = nullptr;
    EXPECT_DEATH((irp = IoAllocateIrp(1, FALSE), IoFreeIrp(irp), IoFreeIrp(irp)),
                 "HOST VERIFIER: IRP_FREED_TWICE(.|\n)*IoFreeIrp was given IRP 0x[0-9a-f]+, which "
                 "was already freed");
}

TEST(IrpRuleDeathTest, DispatchReturnsPendingWithoutMarkingTheIrp)
{
    DeviceStack stack;
    PIRP parked = nullptr;
    stack.onLower = [&](PDEVICE_OBJECT, PIRP irp) {
        parked = irp;
        return STATUS_PENDING;
    };
    EXPECT_DEATH(SendIoctl(stack.lower),
                 "HOST VERIFIER: IRP_PENDING_NOT_MARKED(.|\n)*\\\\Driver\\\\lowerdrv for major "
                 "function 0xe");
}

TEST(IrpRuleDeathTest, DispatchMarksPendingButReturnsAnotherStatus)
{
    DeviceStack stack;
    stack.onLower = Complete(STATUS_SUCCESS, STATUS_SUCCESS, true);
    EXPECT_DEATH(SendIoctl(stack.lower), "HOST VERIFIER: IRP_MARKED_PENDING_BUT_NOT_RETURNED");
}

TEST(IrpRuleDeathTest, DispatchReturnsAnotherStatusThanItCompletedWith)
{
    DeviceStack stack;
    stack.onLower = Complete(STATUS_SUCCESS, STATUS_UNSUCCESSFUL);
    EXPECT_DEATH(SendIoctl(stack.lower),
                 "HOST VERIFIER: IRP_DISPATCH_STATUS_MISMATCH(.|\n)*returned 0xc0000001 after "
                 "completing the IRP with 0x0");
}

TEST(IrpRuleDeathTest, DispatchAbandonsTheIrp)
{
    DeviceStack stack;
    stack.onLower = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
    EXPECT_DEATH(SendIoctl(stack.lower), "HOST VERIFIER: IRP_ABANDONED");
}

TEST(IrpRuleDeathTest, CompletionRoutineDropsPendingReturned)
{
    DeviceStack stack;
    PIRP parked = nullptr;
    stack.onUpper = PassDown(stack, ForgetToPropagate);
    stack.onLower = PendInto(&parked);
    EXPECT_DEATH((SendIoctl(stack.upper), stack.CompleteInLower(parked, STATUS_SUCCESS)),
                 "HOST VERIFIER: IRP_PENDING_NOT_PROPAGATED(.|\n)*of \\\\Driver\\\\upperdrv");
}

TEST(IrpRuleDeathTest, AllocatedIrpCompletedPastItsAllocator)
{
    DeviceStack stack;
    EXPECT_DEATH(AllocateAndSend(stack),
                 "HOST VERIFIER: IRP_COMPLETED_PAST_ALLOCATOR(.|\n)*allocated by AllocateAndSend "
                 "\\(irp_rules_test.cpp:[0-9]+\\)");
}

TEST(IrpRuleDeathTest, IrpBuiltForTheLowerDeviceSentToTheStack)
{
    DeviceStack stack;
    stack.onUpper = PassDown(stack, nullptr);
    // One stack location: enough for the lower device alone.
    EXPECT_DEATH(
        IoCallDriver(stack.upper,
                     IoctlRequest(stack.lower, kBufferedIoctl, nullptr, 0, nullptr, 0).irp),
        "HOST VERIFIER: NO_MORE_IRP_STACK_LOCATIONS(.|\n)*has 1 stack locations");
}

TEST(IrpRuleDeathTest, CancellingACompletedIrp)
{
    DeviceStack stack;
    EXPECT_DEATH(
        {
            IoctlRequest request(stack.lower, kBufferedIoctl, nullptr, 0, nullptr, 0);
            request.Send();
            IoCancelIrp(request.irp);
        },
        "HOST VERIFIER: NOT_AN_IRP(.|\n)*IoCancelIrp was given IRP 0x[0-9a-f]+, which was "
        "already freed");
}

namespace {

// The upper driver passes each request down with its stack location copied or skipped, and
// returns STATUS_PENDING whatever the lower driver did.
DispatchHandler PassDownReturningPending(DeviceStack& stack, bool skip)
{
    return [&stack, skip](PDEVICE_OBJECT, PIRP irp) {
        if (skip) {
            IoSkipCurrentIrpStackLocation(irp);
        } else {
            IoCopyCurrentIrpStackLocationToNext(irp);
        }
        IoCallDriver(stack.attachedTo, irp);
        return STATUS_PENDING;
    };
}

// An allocator's completion routine that sends its IRP down once more without setting itself
// again, then keeps the IRP.
NTSTATUS ResendWithoutRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* stack = static_cast<DeviceStack*>(context);
    static bool resent = false;
    if (!resent) {
        resent = true;
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoCallDriver(stack->lower, irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS WaitingCompletion(PDEVICE_OBJECT, PIRP, PVOID)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    WaitMs(&never, 10);
    return STATUS_SUCCESS;
}

}  // namespace

TEST(IrpRuleDeathTest, PassedDownCompletedAtOnceAndPendingReturnedWithoutMark)
{
    DeviceStack stack;
    stack.onUpper = PassDownReturningPending(stack, false);
    EXPECT_DEATH(SendIoctl(stack.upper),
                 "HOST VERIFIER: IRP_PENDING_RETURNED_AFTER_COMPLETION(.|\n)*Dispatch routine of "
                 "\\\\Driver\\\\upperdrv(.|\n)*completed with 0x0 before the routine returned");
}

TEST(IrpRuleDeathTest, SkippedLocationCompletedAtOnceBlamesTheRoutineThatReturnedPending)
{
    DeviceStack stack;
    stack.onUpper = PassDownReturningPending(stack, true);
    EXPECT_DEATH(SendIoctl(stack.upper),
                 "HOST VERIFIER: IRP_PENDING_RETURNED_AFTER_COMPLETION(.|\n)*Dispatch routine of "
                 "\\\\Driver\\\\upperdrv");
}

TEST(IrpRuleDeathTest, AllocatedIrpResentWithoutItsCompletionRoutineCompletesPastItsAllocator)
{
    DeviceStack stack;
    auto sendTwice = [&] {
        PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, ResendWithoutRoutine, &stack, TRUE, TRUE, TRUE);
        IoCallDriver(stack.lower, irp);
    };
    EXPECT_DEATH(sendTwice(),
                 "HOST VERIFIER: IRP_COMPLETED_PAST_ALLOCATOR(.|\n)*allocated by operator\\(\\) "
                 "\\(irp_rules_test.cpp:[0-9]+\\)");
}

TEST(IrpRuleDeathTest, FreedWithACancelRoutineSet)
{
    host::Host host;
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetCancelRoutine(irp, UnusedCancel);
            IoFreeIrp(irp);
        },
        "HOST VERIFIER: IRP_FREED_WITH_CANCEL_ROUTINE(.|\n)*freed by the system with cancel "
        "routine 0x[0-9a-f]+");
}

TEST(IrpRuleDeathTest, BufferedRequestCompletedWithMoreInformationThanTheOutputBuffer)
{
    DeviceStack stack;
    stack.onLower = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 9;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    char input[16] = {};
    char output[8];
    EXPECT_DEATH(
        IoctlRequest(stack.lower, kBufferedIoctl, input, sizeof(input), output, sizeof(output))
            .Send(),
        "HOST VERIFIER: IRP_INFORMATION_EXCEEDS_OUTPUT_BUFFER(.|\n)*completed by "
        "\\\\Driver\\\\lowerdrv with status 0x0 and Information 9; the caller's output "
        "buffer 0x[0-9a-f]+ holds 8 bytes");
}

TEST(IrpRuleDeathTest, CompletionRoutineWaitsEvenAtPassiveLevel)
{
    DeviceStack stack;
    stack.onUpper = PassDown(stack, WaitingCompletion);
    EXPECT_DEATH(SendIoctl(stack.upper),
                 "HOST VERIFIER: COMPLETION_ROUTINE_WAITED(.|\n)*KeWaitForSingleObject in a "
                 "completion routine, at IRQL 0(.|\n)*running code of \\\\Driver\\\\upperdrv");
}

TEST(IrpRuleDeathTest, NextPowerIrpStartedAfterSkippingItsLocation)
{
    DeviceStack stack;
    stack.onUpper = [&stack](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        PoStartNextPowerIrp(irp);
        return PoCallDriver(stack.attachedTo, irp);
    };
    EXPECT_DEATH(SetPowerRequest(stack.upper).Send(),
                 "HOST VERIFIER: START_NEXT_POWER_IRP_NOT_AT_OWN_LOCATION(.|\n)*"
                 "PoStartNextPowerIrp by \\\\Driver\\\\upperdrv for IRP 0x[0-9a-f]+, held by "
                 "\\\\Driver\\\\upperdrv; the IRP has no current stack location \\(location 3 of "
                 "2\\): it was handed on already");
}

TEST(IrpRuleDeathTest, NextPowerIrpStartedAfterPassingItDown)
{
    DeviceStack stack;
    PIRP parked = nullptr;
    stack.onLower = PendInto(&parked);
    stack.onUpper = [&stack](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        NTSTATUS status = PoCallDriver(stack.attachedTo, irp);
        PoStartNextPowerIrp(irp);
        return status;
    };
    EXPECT_DEATH(SetPowerRequest(stack.upper).Send(),
                 "HOST VERIFIER: START_NEXT_POWER_IRP_NOT_AT_OWN_LOCATION(.|\n)*"
                 "by \\\\Driver\\\\upperdrv for IRP 0x[0-9a-f]+, held by \\\\Driver\\\\lowerdrv; "
                 "its current stack location is device 0x[0-9a-f]+'s, of \\\\Driver\\\\lowerdrv");
}

namespace {

// An allocator's completion routine that frees its IRP at once, as a driver above may.
NTSTATUS FreeAtCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// A dispatch routine that touches its request after completing it, in each way a driver may:
// the IRP is filled and poisoned from the completion on, and the access is reported with the
// completion site (under AddressSanitizer at once, otherwise when the routine returns).
TEST(IrpRuleDeathTest, IrpTouchedAfterItsCompletionInTheDispatchRoutine)
{
    struct Shape {
        const char* name;
        std::function<NTSTATUS(PIRP irp, PIO_STACK_LOCATION stack, char* buffer)> afterCompletion;
        bool freedByAllocator;
    };
    const Shape shapes[] = {
        {"reads the status",
         [](PIRP irp, PIO_STACK_LOCATION, char*) { return irp->IoStatus.Status; }, false},
        {"writes Information",
         [](PIRP irp, PIO_STACK_LOCATION, char*) {
             irp->IoStatus.Information = 4;
             return STATUS_SUCCESS;
         },
         false},
        {"writes its stack location",
         [](PIRP, PIO_STACK_LOCATION stack, char*) {
             stack->Parameters.DeviceIoControl.OutputBufferLength = 0;
             return STATUS_SUCCESS;
         },
         false},
        {"writes the system buffer",
         [](PIRP, PIO_STACK_LOCATION, char* buffer) {
             buffer[1] = 'x';
             return STATUS_SUCCESS;
         },
         false},
        {"writes Information of an IRP its allocator freed",
         [](PIRP irp, PIO_STACK_LOCATION, char*) {
             irp->IoStatus.Information = 4;
             return STATUS_SUCCESS;
         },
         true},
    };
#if defined(__SANITIZE_ADDRESS__)
    const std::string atOnce = "use-after-poison(.|\n)*";
#else
    const std::string atOnce = "HOST VERIFIER: IRP_ACCESSED_AFTER_COMPLETION(.|\n)*";
#endif
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        DeviceStack stack;
        stack.onLower = [&shape](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return shape.afterCompletion(irp, location, buffer);
        };
        char input[4] = {};
        char output[4];
        auto send = [&] {
            if (!shape.freedByAllocator) {
                IoctlRequest(stack.lower, kBufferedIoctl, input, 4, output, 4).Send();
                return;
            }
            PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, FreeAtCompletion, nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(stack.lower, irp);
        };
        std::string released = shape.freedByAllocator
                                   ? "freed by FreeAtCompletion \\(irp_rules_test.cpp:[0-9]+\\)"
                                   : "completed by operator\\(\\) \\(irp_rules_test.cpp:[0-9]+\\)";
        EXPECT_DEATH(send(), atOnce +
                                 "IRP 0x[0-9a-f]+, which was [a-z]+ "
                                 "\\(IRP_ACCESSED_AFTER_COMPLETION\\)(.|\n)*" +
                                 released);
    }
}
