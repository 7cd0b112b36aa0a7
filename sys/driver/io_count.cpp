// I/O accounting: the I/O count with its two events, and the admission test.
//
// IoCountLock guards the count's events; the count itself changes with interlocked operations
// inside the lock, so a waiter that saw the count reach a value cannot miss its event.
// NoPendingIoEvent is signalled exactly while the count is 0 or 1 (only the base reference
// left), RemoveEvent exactly while it is 0. Both routines run at up to DISPATCH_LEVEL.
#include "../kdxlusb.h"

_Use_decl_annotations_ VOID IncrementIoCount(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->IoCountLock);
    if (extension->IoCount == 1) {
        KeClearEvent(&extension->NoPendingIoEvent);
    }
    if (extension->IoCount == 0) {
        KeClearEvent(&extension->RemoveEvent);
    }
    InterlockedIncrement(&extension->IoCount);
    KeReleaseSpinLock(&extension->IoCountLock, oldIrql);
}

// Drops one reference and returns the count after the drop.
_Use_decl_annotations_ LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->IoCountLock);
    LONG count = InterlockedDecrement(&extension->IoCount);
    if (count == 1) {
        KeSetEvent(&extension->NoPendingIoEvent, 1, FALSE);
    }
    if (count == 0) {
        KeSetEvent(&extension->RemoveEvent, 1, FALSE);
    }
    KeReleaseSpinLock(&extension->IoCountLock, oldIrql);
    return count;
}

// True when the device is started and neither stopping, being removed nor gone. The flags are
// read without a lock: a request admitted just before a flag changes is drained by the I/O
// count.
_Use_decl_annotations_ BOOLEAN CanAcceptRequests(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    return ReadFlag(&extension->Removed) == 0 && ReadFlag(&extension->Started) != 0 &&
           ReadFlag(&extension->RemovePending) == 0 && ReadFlag(&extension->StopPending) == 0 &&
           ReadFlag(&extension->DeviceGone) == 0;
}
