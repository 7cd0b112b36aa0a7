// Completing a request: the one place where a final status goes into the I/O status block.
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
