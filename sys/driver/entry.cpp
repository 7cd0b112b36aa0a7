// Driver entry and unload, and the driver-wide tables that hand out instance and port numbers.
//
// DriverEntry and DriverUnload run at PASSIVE_LEVEL in the system thread that loads the
// driver. The table routines run at up to DISPATCH_LEVEL; InstanceTableLock guards both tables
// and is held only for one scan or one release, never while another lock is held.
#include "../kdxlusb.h"

// The instance lock block: the driver's one global spin lock followed by the instance table.
// Entry i is 1 from the creation of the device object with instance number i until that
// device object is deleted.
typedef struct _INSTANCE_LOCK_BLOCK {
    KSPIN_LOCK InstanceTableLock;
    UCHAR InstanceTable[KDX_INSTANCE_TABLE_SIZE];
} INSTANCE_LOCK_BLOCK, *PINSTANCE_LOCK_BLOCK;

static_assert(FIELD_OFFSET(INSTANCE_LOCK_BLOCK, InstanceTable) == 8, "lock precedes the table");
static const SIZE_T InstanceLockBlockSize = 26;

PUCHAR ReceiveScratchBuffer;
static PINSTANCE_LOCK_BLOCK InstanceLockBlock;

// Port table: entry p is 0 when port number p is free, otherwise the instance number of the
// product-0x005B device that holds it, plus 1. Guarded by InstanceTableLock.
static UCHAR PortTable[KDX_PORT_TABLE_SIZE];

static VOID InstallDispatchTable(PDRIVER_OBJECT DriverObject)
{
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchQueryInformation;
    DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchSetInformation;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlushBuffers;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
}

// Allocates the scratch buffer and the instance lock block and installs the dispatch table.
// When an allocation fails, nothing stays allocated and the load fails, so the system unloads
// a driver that could never add a device.
_Use_decl_annotations_ extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                       PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    ReceiveScratchBuffer = (PUCHAR)ExAllocatePool(NonPagedPool, KDX_RECEIVE_SCRATCH_SIZE);
    if (ReceiveScratchBuffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InstanceLockBlock = (PINSTANCE_LOCK_BLOCK)ExAllocatePool(NonPagedPool, InstanceLockBlockSize);
    if (InstanceLockBlock == NULL) {
        ExFreePool(ReceiveScratchBuffer);
        ReceiveScratchBuffer = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    InstallDispatchTable(DriverObject);

    RtlZeroMemory(InstanceLockBlock, InstanceLockBlockSize);
    RtlZeroMemory(PortTable, sizeof(PortTable));
    KeInitializeSpinLock(&InstanceLockBlock->InstanceTableLock);
    return STATUS_SUCCESS;
}

// Gives the global blocks back; every device object is gone by now.
_Use_decl_annotations_ VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);

    if (ReceiveScratchBuffer != NULL) {
        ExFreePool(ReceiveScratchBuffer);
        ReceiveScratchBuffer = NULL;
    }
    if (InstanceLockBlock != NULL) {
        ExFreePool(InstanceLockBlock);
        InstanceLockBlock = NULL;
    }
}

// Takes the lowest free instance number. When all are taken the result is 18, which marks no
// entry: such a device still gets a device object, named with 18.
ULONG AllocateInstanceNumber(void)
{
    ULONG number = KDX_INSTANCE_TABLE_SIZE;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&InstanceLockBlock->InstanceTableLock);
    for (ULONG i = 0; i < KDX_INSTANCE_TABLE_SIZE; i++) {
        if (InstanceLockBlock->InstanceTable[i] == 0) {
            InstanceLockBlock->InstanceTable[i] = 1;
            number = i;
            break;
        }
    }
    KeReleaseSpinLock(&InstanceLockBlock->InstanceTableLock, oldIrql);
    return number;
}

// Takes the lowest free port number for a product-0x005B device and records its instance
// number in the entry. When all are taken the result is 16, which marks no entry.
ULONG AllocatePortNumber(ULONG InstanceNumber)
{
    ULONG number = KDX_PORT_TABLE_SIZE;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&InstanceLockBlock->InstanceTableLock);
    for (ULONG i = 0; i < KDX_PORT_TABLE_SIZE; i++) {
        if (PortTable[i] == 0) {
            PortTable[i] = (UCHAR)(InstanceNumber + 1);
            number = i;
            break;
        }
    }
    KeReleaseSpinLock(&InstanceLockBlock->InstanceTableLock, oldIrql);
    return number;
}

// Gives back the port number of a product-0x005B device whose port name is gone, while its
// instance number (the name of its device object, which may outlive the port) stays taken. An
// entry that does not record InstanceNumber is not the device's and is left alone; a
// PortNumber of 16 (the device started while the port table was full) has no entry.
_Use_decl_annotations_ VOID ReleasePortNumber(ULONG PortNumber, ULONG InstanceNumber)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&InstanceLockBlock->InstanceTableLock);
    if (PortNumber < KDX_PORT_TABLE_SIZE && PortTable[PortNumber] == (UCHAR)(InstanceNumber + 1)) {
        PortTable[PortNumber] = 0;
    }
    KeReleaseSpinLock(&InstanceLockBlock->InstanceTableLock, oldIrql);
}

// Gives an instance number back once the device object it names is gone (or was never made).
// Number 18 (all were taken when the device was added) has no entry and frees nothing.
_Use_decl_annotations_ VOID ReleaseInstanceNumber(ULONG InstanceNumber)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&InstanceLockBlock->InstanceTableLock);
    if (InstanceNumber < KDX_INSTANCE_TABLE_SIZE) {
        InstanceLockBlock->InstanceTable[InstanceNumber] = 0;
    }
    KeReleaseSpinLock(&InstanceLockBlock->InstanceTableLock, oldIrql);
}
