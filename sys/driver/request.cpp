// Completing a request (the one place where a final status goes into the I/O status block),
// and the small helpers that requests share.
#include "../kdxlusb.h"

// Stores Status and Information, completes the request without a priority boost and returns
// Status, so that a dispatch routine can return what it completed the request with.
_Use_decl_annotations_ NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Waits Milliseconds in the calling thread (kernel mode, not alertable). PASSIVE_LEVEL.
_Use_decl_annotations_ VOID WaitMilliseconds(ULONG Milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -10000LL * Milliseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Reads a request's Cancel flag under the cancel spin lock, for a request that has no cancel
// routine: one that is queued is cancelled only when its worker takes it.
_Use_decl_annotations_ BOOLEAN IsCancelRequested(PIRP Irp)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    BOOLEAN cancelled = Irp->Cancel;
    IoReleaseCancelSpinLock(cancelIrql);
    return cancelled;
}
