// kdxlusb: the driver's shared header.
//
// The device extension, the records shared between subsystems, and the routines that cross
// source files, grouped under a banner per file. Each group of extension fields names the
// lock that guards it.
#pragma once

#include "platform.h"

// ---------------------------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------------------------
#define KDX_PRODUCT_NUMBERED_PORT 0x005B  // product with "VLT<n>" names and port resets
#define KDX_PRODUCT_OTHER 78              // any product but the numbered one, for releases

#define KDX_INSTANCE_TABLE_SIZE 18      // instance numbers 0..17; 18 means "table full"
#define KDX_PORT_TABLE_SIZE 16          // port numbers 0..15; 16 means "table full"
#define KDX_RECEIVE_SCRATCH_SIZE 4112   // driver-wide scratch buffer of the read path
#define KDX_TRANSFER_SLOT_COUNT 16      // one transfer slot per pipe index 0..15
#define KDX_RECEIVE_BUFFER_SIZE 6144    // receive buffer in the device extension
#define KDX_MAXIMUM_TRANSFER_SIZE 4096  // given to every pipe at configuration
#define KDX_NAME_BUFFER_SIZE 522        // counted name of at most 520 bytes plus a zero

// ---------------------------------------------------------------------------------------------
// Shared records
// ---------------------------------------------------------------------------------------------

// The record of the bulk transfer in flight in one transfer slot.
typedef struct _TRANSFER_SLOT {
    PIRP Irp;
    KEVENT CancelDoneEvent;  // set by whoever cancels the transfer, right after IoCancelIrp
    ULONG CancelRequested;   // set by whoever cancels the transfer, before IoCancelIrp
} TRANSFER_SLOT, *PTRANSFER_SLOT;

// One read or write job with its bulk-transfer URB.
typedef struct _TRANSFER_CONTEXT {
    PIRP Irp;  // the write request served; NULL for the receive pump
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    ULONG Direction;  // KDX_DIRECTION_READ or KDX_DIRECTION_WRITE
    ULONG SlotIndex;  // always equal to PipeIndex
    PVOID Buffer;
    ULONG Length;
    PUSBD_INTERFACE_INFORMATION InterfaceInformation;
    ULONG PipeIndex;
    // A write's data leg reached the device and a zero-length packet followed it: set by the
    // completion of that packet, whatever its own status. Only the write's submitter reads it.
    BOOLEAN DataLegDelivered;
} TRANSFER_CONTEXT, *PTRANSFER_CONTEXT;

#define KDX_DIRECTION_READ 1
#define KDX_DIRECTION_WRITE 2

// An entry of the read queue or the write queue.
typedef struct _QUEUE_ENTRY {
    struct _QUEUE_ENTRY* Next;
    ULONG Cancelled;
    PIRP Irp;
} QUEUE_ENTRY, *PQUEUE_ENTRY;

// ---------------------------------------------------------------------------------------------
// The device extension: all state of one port.
// ---------------------------------------------------------------------------------------------
typedef struct _DEVICE_EXTENSION {
    // Identity and start-up results. Written by add-device and start, which no request can
    // overlap; read without a lock afterwards.
    ULONG PortNumber;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    ULONG InstanceNumber;
    USHORT ProductId;
    PFILE_OBJECT OpenFileObject;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInformation;
    DEVICE_CAPABILITIES DeviceCapabilities;

    // I/O accounting, under IoCountLock (IoCount itself changes with interlocked operations).
    KEVENT RemoveEvent;
    KEVENT NoPendingIoEvent;
    KEVENT TransferCancelGate;  // lets one canceller at a time act on the transfer slots
    KSPIN_LOCK IoCountLock;
    volatile LONG IoCount;

    // Transfer slots: TransferActive under DeviceLock; the slot pointers follow the
    // TransferCancelGate protocol.
    UCHAR TransferActive[KDX_TRANSFER_SLOT_COUNT];
    PTRANSFER_SLOT TransferSlots[KDX_TRANSFER_SLOT_COUNT];

    // Plug and Play state: plain bytes written by the Plug and Play thread (Removed under
    // IoCountLock at removal), read without a lock.
    UCHAR Removed;
    UCHAR RemovePending;
    UCHAR StopPending;
    UCHAR Started;
    UCHAR PortConfigured;

    // USB configuration, written at start.
    ULONG MaximumTransferSize;
    ULONG BulkInPipeIndex;
    ULONG BulkOutPipeIndex;
    ULONG BulkInPipeCount;
    ULONG BulkOutPipeCount;

    UCHAR HandleOpen;  // written by open and close; read without a lock through ReadFlag

    // Receive pump, under DeviceLock.
    UCHAR ReceivePumpRunning;
    UCHAR ReceivePumpStopRequested;
    UCHAR ReceivePumpQueued;
    KEVENT ReceivePumpStartedEvent;
    KEVENT ReceivePumpIdleEvent;
    KEVENT ReceiveSpaceEvent;
    KEVENT ReceiveDeliveredEvent;
    ULONG LastReadLength;  // the pump's own: only the pump's thread uses it

    // The pump's work item, under DeviceLock: set when the item is queued, cleared when it
    // starts. A queued item holds an I/O reference until it has run, and ReceivePumpIdleEvent
    // is set exactly while neither this flag nor ReceivePumpRunning is (both change with it).
    UCHAR ReceivePumpItemQueued;

    UCHAR DeviceGone;  // only ever goes from 0 to 1

    // Work items: each pointer points to the WORK_QUEUE_ITEM stored right after it.
    PWORK_QUEUE_ITEM WriteWorkItem;
    WORK_QUEUE_ITEM WriteWorkQueueItem;
    PWORK_QUEUE_ITEM ReadWorkItem;
    WORK_QUEUE_ITEM ReadWorkQueueItem;
    PWORK_QUEUE_ITEM ReceivePumpWorkItem;
    WORK_QUEUE_ITEM ReceivePumpWorkQueueItem;
    PWORK_QUEUE_ITEM WaitMaskWorkItem;
    WORK_QUEUE_ITEM WaitMaskWorkQueueItem;
    UCHAR WaitCompletionQueued;  // under the cancel spin lock

    // Wait-on-mask requests are refused from the handle's cleanup until the next open. Under
    // the cancel spin lock.
    UCHAR WaitOnMaskRefused;

    // Recovery flags, under DeviceLock.
    UCHAR PortResetActive;
    UCHAR ReadRecoveryActive;
    UCHAR WriteRecoveryActive;

    // Read and write queues, under DeviceLock.
    PQUEUE_ENTRY ReadQueueHead;
    ULONG ReadWorkerBusy;
    PQUEUE_ENTRY WriteQueueHead;
    ULONG WriteWorkerBusy;

    // Timers of the data paths, initialised once by add-device. ReadTimerSet, WriteTimerArmed
    // and the due times (interrupt time, 100 ns units) are under DeviceLock; a DPC that runs
    // before its timer's due time belongs to an earlier arming and sets the timer again.
    KDPC ReadTimerDpc;
    KTIMER ReadTimer;
    UCHAR ReadTimerSet;
    KDPC WriteTimerDpc;
    KTIMER WriteTimer;
    UCHAR WriteTimerArmed;
    ULONGLONG ReadTimerDueTime;
    ULONGLONG WriteTimerDueTime;

    // Zero-length packet after a full-packet write.
    ULONG ZlpSavedLength;
    ULONG ZlpSavedUsbdStatus;
    UCHAR ZlpPending;

    PTRANSFER_CONTEXT ReceiveTransferContext;
    PTRANSFER_CONTEXT WriteTransferContext;

    // Names.
    UNICODE_STRING DeviceName;
    UNICODE_STRING SymbolicLinkName;
    PDEVICE_OBJECT DeviceObject;

    // Requests held by the driver: CurrentReadIrp and ReadWorkerIrp under DeviceLock (the
    // current read is made current with the cancel spin lock held too), WaitOnMaskIrp under
    // the cancel spin lock.
    PIRP CurrentReadIrp;
    PIRP ReadWorkerIrp;
    PIRP WaitOnMaskIrp;

    // Receive buffer, under DeviceLock.
    PUCHAR ReceiveLandingBuffer;
    PUCHAR ReceiveReadBuffer;
    ULONG ReceiveCount;
    UCHAR ReceiveBuffer[KDX_RECEIVE_BUFFER_SIZE];
    ULONG ReceiveBufferSize;

    // Serial state: multi-field records under DeviceLock.
    ULONG WaitMask;
    ULONG EventHistory;
    ULONG PendingWriteLength;
    ULONG SettableBaud;
    ULONG TxFifo;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    SERIALPERF_STATS PerfStats;
    UCHAR PortOpen;  // written by open and close; read without a lock through ReadFlag
    UCHAR RxFifo;

    // Line settings: refused unless the hardware key's AcceptLineSettings is 1 at start, then
    // accepted and remembered (under DeviceLock) with no effect on the data. Read at start by
    // the Plug and Play thread; read without a lock by the requests.
    UCHAR AcceptLineSettings;
    ULONG BaudRate;
    SERIAL_LINE_CONTROL LineControl;
    ULONG DtrRts;  // SERIAL_DTR_STATE and SERIAL_RTS_STATE

    // Port name state, written by the Plug and Play thread only. DeviceNameOwned is set while
    // the port's link refers to DeviceName; DeviceName and InterfaceName are kept until
    // removal, so that a start after a stop can name the port again.
    UCHAR SymbolicLinkCreated;
    UCHAR DeviceNameOwned;
    // Set while the port is listed under HARDWARE\DEVICEMAP\SERIALCOMM (AcceptLineSettings
    // on); written by the Plug and Play thread only, with the port name state.
    UCHAR SerialCommListed;

    KSPIN_LOCK DeviceLock;  // the extension's main lock
    UNICODE_STRING InterfaceName;
    LONG OpenCount;

    // Numbers, written by the Plug and Play thread only: PortNumberHeld is set once a start
    // has taken a port number (a start after a stop keeps it), PortNumberReleased once the
    // port number has been given back, with the port's name (it is given back once). The
    // instance number goes back when the device object is deleted.
    UCHAR PortNumberHeld;
    UCHAR PortNumberReleased;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// Flags and slot pointers that one context writes and others read without a lock, as the
// design allows (a reader may see the old value; the I/O count drains catch what slips by).
// Each is one aligned access, made atomic so that the compiler neither tears nor caches it and
// race detectors see it as intended; on x64 these are plain moves in both builds.
FORCEINLINE UCHAR ReadFlag(const volatile UCHAR* Flag)
{
    return __atomic_load_n(Flag, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WriteFlag(volatile UCHAR* Flag, UCHAR Value)
{
    __atomic_store_n(Flag, Value, __ATOMIC_RELEASE);
}
FORCEINLINE ULONG ReadULong(const volatile ULONG* Value)
{
    return __atomic_load_n(Value, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WriteULong(volatile ULONG* Target, ULONG Value)
{
    __atomic_store_n(Target, Value, __ATOMIC_RELEASE);
}
FORCEINLINE PTRANSFER_SLOT ReadSlot(PTRANSFER_SLOT volatile* Slot)
{
    return __atomic_load_n(Slot, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WriteSlot(PTRANSFER_SLOT volatile* Slot, PTRANSFER_SLOT Record)
{
    __atomic_store_n(Slot, Record, __ATOMIC_RELEASE);
}

FORCEINLINE PDEVICE_EXTENSION GetDeviceExtension(PDEVICE_OBJECT deviceObject)
{
    return (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
}

// ---------------------------------------------------------------------------------------------
// driver/entry.cpp: driver entry, unload and the instance and port tables
// ---------------------------------------------------------------------------------------------
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;

_IRQL_requires_max_(DISPATCH_LEVEL) ULONG AllocateInstanceNumber(void);
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG AllocatePortNumber(ULONG InstanceNumber);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ReleaseInstanceNumber(ULONG InstanceNumber);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ReleasePortNumber(ULONG PortNumber, ULONG InstanceNumber);

// The receive scratch buffer shared by all devices.
extern PUCHAR ReceiveScratchBuffer;

// ---------------------------------------------------------------------------------------------
// driver/io_count.cpp: I/O accounting and admission
// ---------------------------------------------------------------------------------------------
_IRQL_requires_max_(DISPATCH_LEVEL) VOID IncrementIoCount(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(DISPATCH_LEVEL) LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject);
BOOLEAN CanAcceptRequests(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------------------------
// driver/request.cpp: completing requests, delays
// ---------------------------------------------------------------------------------------------
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN IsCancelRequested(PIRP Irp);
_IRQL_requires_(PASSIVE_LEVEL) VOID WaitMilliseconds(ULONG Milliseconds);

// ---------------------------------------------------------------------------------------------
// driver/add_device.cpp: device creation
// ---------------------------------------------------------------------------------------------
DRIVER_ADD_DEVICE AddDevice;
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    QueryCapabilities(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_CAPABILITIES Capabilities);

// ---------------------------------------------------------------------------------------------
// driver/start.cpp: device start and USB configuration
// ---------------------------------------------------------------------------------------------
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                        PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);

// ---------------------------------------------------------------------------------------------
// driver/port_name.cpp: port naming and symbolic links
// ---------------------------------------------------------------------------------------------
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS CreatePortName(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_(PASSIVE_LEVEL) VOID RemovePortName(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------------------------
// driver/pnp.cpp: Plug and Play
// ---------------------------------------------------------------------------------------------
_Dispatch_type_(IRP_MJ_PNP) DRIVER_DISPATCH DispatchPnp;

// ---------------------------------------------------------------------------------------------
// driver/teardown.cpp: stop, surprise removal and removal
// ---------------------------------------------------------------------------------------------
_IRQL_requires_(PASSIVE_LEVEL) VOID TeardownDataPath(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_(PASSIVE_LEVEL) VOID DrainIoCount(PDEVICE_OBJECT DeviceObject, ULONG Retake);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_(PASSIVE_LEVEL) UCHAR AbortBulkTransfers(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ReleasePortNumberOnce(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_(PASSIVE_LEVEL) VOID DeleteRemovedDevice(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------------------------
// driver/power.cpp: power and system control
// ---------------------------------------------------------------------------------------------
_Dispatch_type_(IRP_MJ_POWER) DRIVER_DISPATCH DispatchPower;
_Dispatch_type_(IRP_MJ_SYSTEM_CONTROL) DRIVER_DISPATCH DispatchSystemControl;
IO_COMPLETION_ROUTINE PowerUpCompletion;

// ---------------------------------------------------------------------------------------------
// usb/sync_requests.cpp: synchronous requests to the USB bus driver
// ---------------------------------------------------------------------------------------------
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInformation);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_(PASSIVE_LEVEL) VOID ResetPortIfConnected(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ForgetPortReset(PDEVICE_EXTENSION DeviceExtension);
IO_COMPLETION_ROUTINE SignalEventCompletion;

// ---------------------------------------------------------------------------------------------
// usb/bulk_transfer.cpp: bulk transfers, their transfer slots, the write timeout and the
// zero-length packet
// ---------------------------------------------------------------------------------------------
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS SubmitBulkTransfer(PDEVICE_OBJECT DeviceObject, PURB Urb,
                                                           ULONG SlotIndex, PFILE_OBJECT FileObject);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SubmitBulkTransferWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG SlotIndex,
                                  PFILE_OBJECT FileObject);
IO_COMPLETION_ROUTINE TransferCompletion;
IO_COMPLETION_ROUTINE WriteTransferCompletion;
KDEFERRED_ROUTINE WriteTimeoutDpc;
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    SetTransferActive(PDEVICE_OBJECT DeviceObject, ULONG SlotIndex, UCHAR Active);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    IsTransferActive(PDEVICE_OBJECT DeviceObject, ULONG SlotIndex);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    CancelSlotTransfer(PDEVICE_EXTENSION DeviceExtension, ULONG SlotIndex, PTRANSFER_SLOT Sample,
                       PBOOLEAN IrpCancelled);
_IRQL_requires_(PASSIVE_LEVEL) PTRANSFER_SLOT
    WatchTransferSlot(PDEVICE_EXTENSION DeviceExtension, ULONG SlotIndex, ULONG MaximumWaits);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID StopWriteTimer(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------------------------
// usb/recovery.cpp: recovery after failed bulk transfers
// ---------------------------------------------------------------------------------------------
BOOLEAN IsUsbTransportError(NTSTATUS Status, USBD_STATUS UsbdStatus);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    RecoverReadError(PDEVICE_EXTENSION DeviceExtension, PTRANSFER_CONTEXT TransferContext,
                     NTSTATUS Status);
_IRQL_requires_(PASSIVE_LEVEL) VOID
    RecoverWriteError(PDEVICE_EXTENSION DeviceExtension, PTRANSFER_CONTEXT TransferContext,
                      NTSTATUS Status);
_IRQL_requires_(PASSIVE_LEVEL) VOID
    WaitOutRecovery(PDEVICE_EXTENSION DeviceExtension, PUCHAR RecoveryActive,
                    ULONG DelayMilliseconds, ULONG MaximumDelays);

// ---------------------------------------------------------------------------------------------
// usb/receive_pump.cpp: the receive pump
// ---------------------------------------------------------------------------------------------
WORKER_THREAD_ROUTINE ReceivePumpWorker;
_IRQL_requires_(PASSIVE_LEVEL) VOID
    RunReceivePump(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION DeviceExtension, ULONG PipeIndex);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    ReadBulkInOnce(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION DeviceExtension,
                   PTRANSFER_CONTEXT TransferContext);
_IRQL_requires_(PASSIVE_LEVEL) VOID StartReceivePump(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_(PASSIVE_LEVEL) VOID WaitForReceivePumpIdle(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN IsReceivePumpRunning(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    IsReceivePumpOutstanding(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ReleaseLandingBuffer(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------------------------
// serial/port_state.cpp: serial state and defaults
// ---------------------------------------------------------------------------------------------
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS InitializePortSettings(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------------------------
// serial/open_close.cpp: open, close and cleanup
// ---------------------------------------------------------------------------------------------
_Dispatch_type_(IRP_MJ_CREATE) DRIVER_DISPATCH DispatchCreate;
_Dispatch_type_(IRP_MJ_CLOSE) DRIVER_DISPATCH DispatchClose;
_Dispatch_type_(IRP_MJ_CLEANUP) DRIVER_DISPATCH DispatchCleanup;
_IRQL_requires_max_(DISPATCH_LEVEL) VOID StopReceivePump(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_(PASSIVE_LEVEL) BOOLEAN WaitForWorkersIdle(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------------------------
// serial/device_control.cpp: serial device-control requests
// ---------------------------------------------------------------------------------------------
_Dispatch_type_(IRP_MJ_DEVICE_CONTROL) DRIVER_DISPATCH DispatchDeviceControl;
_Requires_lock_held_(DeviceExtension->DeviceLock) BOOLEAN
    GetCommStatus(PDEVICE_EXTENSION DeviceExtension, PSERIAL_STATUS Status);

// ---------------------------------------------------------------------------------------------
// serial/minor_dispatch.cpp: internal serial requests, information and flush
// ---------------------------------------------------------------------------------------------
_Dispatch_type_(IRP_MJ_INTERNAL_DEVICE_CONTROL) DRIVER_DISPATCH DispatchInternalDeviceControl;
_Dispatch_type_(IRP_MJ_QUERY_INFORMATION) DRIVER_DISPATCH DispatchQueryInformation;
_Dispatch_type_(IRP_MJ_SET_INFORMATION) DRIVER_DISPATCH DispatchSetInformation;
_Dispatch_type_(IRP_MJ_FLUSH_BUFFERS) DRIVER_DISPATCH DispatchFlushBuffers;

// ---------------------------------------------------------------------------------------------
// io/read.cpp: read requests, the read queue and worker, the read timeout, and the queue
// entries shared with the write queue
// ---------------------------------------------------------------------------------------------
_Dispatch_type_(IRP_MJ_READ) DRIVER_DISPATCH DispatchRead;
WORKER_THREAD_ROUTINE ReadWorker;
KDEFERRED_ROUTINE ReadTimeoutDpc;
DRIVER_CANCEL CancelCurrentRead;
_Requires_lock_held_(DeviceExtension->DeviceLock) NTSTATUS
    QueueReadRequest(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    CancelQueuedReads(PDEVICE_OBJECT DeviceObject, BOOLEAN AbortTransfer);
_IRQL_requires_(PASSIVE_LEVEL) VOID AbortBulkInTransfer(PDEVICE_OBJECT DeviceObject);
ULONG ReadTotalTimeout(const SERIAL_TIMEOUTS* Timeouts, ULONG Length);
NTSTATUS AppendQueueEntry(PQUEUE_ENTRY* Head, PIRP Irp);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    QueueForWorker(PDEVICE_EXTENSION Extension, PIRP Irp, PQUEUE_ENTRY* Head, const ULONG* Busy,
                   NTSTATUS (*QueueRequest)(PDEVICE_EXTENSION, PIRP), PWORK_QUEUE_ITEM WorkItem);
PIRP TakeQueueEntry(PQUEUE_ENTRY* Head, PULONG Cancelled);
VOID MarkQueueCancelled(PQUEUE_ENTRY Head);

// ---------------------------------------------------------------------------------------------
// io/write.cpp: write requests, the write queue and worker
// ---------------------------------------------------------------------------------------------
_Dispatch_type_(IRP_MJ_WRITE) DRIVER_DISPATCH DispatchWrite;
WORKER_THREAD_ROUTINE WriteWorker;
_Requires_lock_held_(DeviceExtension->DeviceLock) NTSTATUS
    QueueWriteRequest(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    RunBulkJob(PDEVICE_EXTENSION DeviceExtension, PTRANSFER_CONTEXT Context);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    AccountWrittenData(PDEVICE_EXTENSION DeviceExtension, ULONG BytesWritten, NTSTATUS Status);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    CancelQueuedWrites(PDEVICE_OBJECT DeviceObject, BOOLEAN AbortTransfer);
_IRQL_requires_(PASSIVE_LEVEL) VOID AbortBulkOutTransfer(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------------------------
// io/receive_buffer.cpp: the receive buffer, data delivery and the current read
// ---------------------------------------------------------------------------------------------
_Requires_lock_held_(DeviceExtension->DeviceLock) ULONG
    CopyFromReceiveBuffer(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, ULONG Length);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    DeliverReceivedData(PDEVICE_EXTENSION DeviceExtension, PUCHAR Data, LONG Count,
                        NTSTATUS Status, BOOLEAN CompleteOnError);
_Requires_lock_held_(DeviceExtension->DeviceLock) PIRP
    ClaimCurrentRead(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    CompleteCurrentRead(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, NTSTATUS Status);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID WakeCurrentReadWorker(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID CancelReadTimer(PDEVICE_EXTENSION DeviceExtension);
_Requires_lock_held_(DeviceExtension->DeviceLock) VOID
    StopReadTimerLocked(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------------------------
// io/wait_mask.cpp: wait-on-mask and event delivery
// ---------------------------------------------------------------------------------------------
WORKER_THREAD_ROUTINE WaitMaskCompletionWorker;
_Requires_lock_held_(DeviceExtension->DeviceLock) BOOLEAN
    DeliverWaitEvents(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID SignalWaitEvents(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID CancelWaitOnMask(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    CancelUndeliveredWaitOnMask(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID RefuseWaitOnMask(PDEVICE_EXTENSION DeviceExtension);
DRIVER_CANCEL CancelWaitIrp;
