// Serial device-control requests. There is no UART behind the port: requests that only report
// are answered from the serial state (9600 baud, 8 data bits, no parity, one stop bit, DTR and
// RTS off, modem status 0 until something is set); requests that would change the line, the
// handshake lines, the special characters or the flow control are validated and refused with
// STATUS_UNSUCCESSFUL; the timeouts, the wait mask, the statistics, purging and wait-on-mask
// are real.
//
// A device whose hardware key holds AcceptLineSettings = 1 accepts the line requests instead,
// after the same validation: the settings are remembered and reported back, DTR and RTS
// follow their requests, the modem status shows a connected line (CTS, DSR, carrier detect),
// and nothing changes how data moves. This lets programs that configure a port before they
// use it open this one.
//
// DispatchDeviceControl runs each request at DISPATCH_LEVEL from entry to completion, so it
// never waits; multi-field records are read and written under DeviceLock. A wait-on-mask
// request is left pending, under the cancel spin lock, for io/wait_mask.cpp to complete.
#include "../kdxlusb.h"

#define KDX_CONNECTED_LINE (SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE)
#define KDX_QUEUE_SIZE_MAXIMUM 4096
#define KDX_WAIT_MASK_VALID 0x1FFF  // SERIAL_EV_RXCHAR up to SERIAL_EV_EVENT2
#define KDX_PURGE_VALID                                                            \
    (SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR |          \
     SERIAL_PURGE_RXCLEAR)

// The request's buffer lengths and system buffer.
typedef struct _SERIAL_REQUEST {
    PIRP Irp;
    ULONG InputLength;
    ULONG OutputLength;
    PVOID Buffer;
} SERIAL_REQUEST, *PSERIAL_REQUEST;

// A request that changes something the port does not have: STATUS_UNSUCCESSFUL once its
// buffer is long enough.
static NTSTATUS Refuse(ULONG Length, ULONG Minimum)
{
    return Length < Minimum ? STATUS_BUFFER_TOO_SMALL : STATUS_UNSUCCESSFUL;
}

// Replies with one 32-bit value.
static NTSTATUS ReplyValue(PSERIAL_REQUEST Request, ULONG Value)
{
    if (Request->OutputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *(PULONG)Request->Buffer = Value;
    Request->Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// Replies with a copy of a record of the serial state, read under DeviceLock.
static NTSTATUS ReplyRecord(PDEVICE_EXTENSION Extension, PSERIAL_REQUEST Request,
                            const VOID* Record, ULONG Size)
{
    if (Request->OutputLength < Size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    RtlCopyMemory(Request->Buffer, Record, Size);
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);
    Request->Irp->IoStatus.Information = Size;
    return STATUS_SUCCESS;
}

static NTSTATUS SetQueueSize(PSERIAL_REQUEST Request)
{
    if (Request->InputLength < sizeof(SERIAL_QUEUE_SIZE)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PSERIAL_QUEUE_SIZE size = (PSERIAL_QUEUE_SIZE)Request->Buffer;
    return size->InSize <= KDX_QUEUE_SIZE_MAXIMUM && size->OutSize <= KDX_QUEUE_SIZE_MAXIMUM
               ? STATUS_SUCCESS
               : STATUS_UNSUCCESSFUL;
}

// The answer to a valid line request: remembered with the setting on (under DeviceLock, by
// `Store`), refused without it.
template <typename StoreValue>
static NTSTATUS AcceptOrRefuse(PDEVICE_EXTENSION Extension, StoreValue&& Store)
{
    if (ReadFlag(&Extension->AcceptLineSettings) == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    Store();
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);
    return STATUS_SUCCESS;
}

// Any rate but 0.
static NTSTATUS SetBaudRate(PDEVICE_EXTENSION Extension, PSERIAL_REQUEST Request)
{
    if (Request->InputLength < sizeof(SERIAL_BAUD_RATE)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG rate = ((PSERIAL_BAUD_RATE)Request->Buffer)->BaudRate;
    if (rate == 0 && ReadFlag(&Extension->AcceptLineSettings) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return AcceptOrRefuse(Extension, [&] { Extension->BaudRate = rate; });
}

// Validates a line control as a real port would.
static NTSTATUS SetLineControl(PDEVICE_EXTENSION Extension, PSERIAL_REQUEST Request)
{
    if (Request->InputLength < sizeof(SERIAL_LINE_CONTROL)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PSERIAL_LINE_CONTROL line = (PSERIAL_LINE_CONTROL)Request->Buffer;
    if (line->WordLength < 5 || line->WordLength > 8 || line->Parity > SPACE_PARITY) {
        return STATUS_INVALID_PARAMETER;
    }
    BOOLEAN stopBitsValid = line->StopBits == STOP_BIT_1 ||
                            (line->StopBits == STOP_BITS_1_5 && line->WordLength == 5) ||
                            (line->StopBits == STOP_BITS_2 && line->WordLength >= 6);
    if (!stopBitsValid) {
        return STATUS_INVALID_PARAMETER;
    }
    return AcceptOrRefuse(Extension, [&] { Extension->LineControl = *line; });
}

// Stores new timeouts, unless all three read terms are MAXULONG.
static NTSTATUS SetTimeouts(PDEVICE_EXTENSION Extension, PSERIAL_REQUEST Request)
{
    if (Request->InputLength < sizeof(SERIAL_TIMEOUTS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PSERIAL_TIMEOUTS timeouts = (PSERIAL_TIMEOUTS)Request->Buffer;
    if (timeouts->ReadIntervalTimeout == MAXULONG &&
        timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
        timeouts->ReadTotalTimeoutConstant == MAXULONG) {
        return STATUS_INVALID_PARAMETER;
    }
    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    Extension->Timeouts = *timeouts;
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);
    return STATUS_SUCCESS;
}

static NTSTATUS SetChars(PDEVICE_EXTENSION Extension, PSERIAL_REQUEST Request)
{
    if (Request->InputLength < sizeof(SERIAL_CHARS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PSERIAL_CHARS chars = (PSERIAL_CHARS)Request->Buffer;
    if (chars->XonChar == chars->XoffChar) {
        return STATUS_INVALID_PARAMETER;
    }
    return AcceptOrRefuse(Extension, [&] { Extension->SpecialChars = *chars; });
}

// Validates a handflow as a real port would; the limits are not examined.
static NTSTATUS SetHandFlow(PDEVICE_EXTENSION Extension, PSERIAL_REQUEST Request)
{
    if (Request->InputLength < sizeof(SERIAL_HANDFLOW)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PSERIAL_HANDFLOW handFlow = (PSERIAL_HANDFLOW)Request->Buffer;
    if ((handFlow->ControlHandShake & SERIAL_CONTROL_INVALID) != 0 ||
        (handFlow->FlowReplace & SERIAL_FLOW_INVALID) != 0 ||
        (handFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) {
        return STATUS_INVALID_PARAMETER;
    }
    return AcceptOrRefuse(Extension, [&] { Extension->HandFlow = *handFlow; });
}

// DTR and RTS follow their requests when line settings are accepted.
static NTSTATUS SetModemLine(PDEVICE_EXTENSION Extension, ULONG Line, BOOLEAN On)
{
    return AcceptOrRefuse(Extension, [&] {
        Extension->DtrRts = On ? (Extension->DtrRts | Line) : (Extension->DtrRts & ~Line);
    });
}

static NTSTATUS XoffCounter(PSERIAL_REQUEST Request)
{
    if (Request->InputLength < sizeof(SERIAL_XOFF_COUNTER)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return ((PSERIAL_XOFF_COUNTER)Request->Buffer)->Counter > 0 ? STATUS_SUCCESS
                                                                : STATUS_INVALID_PARAMETER;
}

// Stores a new wait mask and keeps of EventHistory only the events that it holds, both in one
// hold of DeviceLock, so that no delivery adds an event of the old mask afterwards. Then ends
// a pending wait-on-mask request as cancelled, whatever the new mask: a program changes its
// mask to release the thread that waits. The request reports the 4 bytes of its buffer
// (the mask) as returned, so an output buffer, when given, must hold them.
static NTSTATUS SetWaitMask(PDEVICE_EXTENSION Extension, PSERIAL_REQUEST Request)
{
    if (Request->InputLength < sizeof(ULONG) ||
        (Request->OutputLength != 0 && Request->OutputLength < sizeof(ULONG))) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG mask = *(PULONG)Request->Buffer;
    if ((mask & ~(ULONG)KDX_WAIT_MASK_VALID) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Request->Irp->IoStatus.Information = sizeof(ULONG);
    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    WriteULong(&Extension->WaitMask, mask);
    Extension->EventHistory &= mask;
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);
    CancelWaitOnMask(Extension);
    return STATUS_SUCCESS;
}

// Takes a wait-on-mask request. Refused while the wait mask is 0 or another wait is pending
// (STATUS_INVALID_PARAMETER), and after the handle's cleanup until the next open
// (STATUS_CANCELLED, as cleanup ends a wait that is pending). Events that occurred with no
// wait pending are reported at once: product 0x005B completes the request here with them;
// other products hold it with them stored, and WaitMaskWorkItem completes it 2 ms later, as
// after any delivery. Otherwise the request is held as the port's one pending wait, with
// CancelWaitIrp as its cancel routine, for io/wait_mask.cpp to complete: STATUS_PENDING with
// the request marked pending. DeviceLock is held from the look at EventHistory to the end of
// the install, so a delivery comes either before (and is reported now) or after it.
static NTSTATUS WaitOnMask(PDEVICE_EXTENSION Extension, PSERIAL_REQUEST Request)
{
    if (Request->OutputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PIRP irp = Request->Irp;
    NTSTATUS status = STATUS_PENDING;
    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (ReadULong(&Extension->WaitMask) == 0 || Extension->WaitOnMaskIrp != NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (Extension->WaitOnMaskRefused != 0 || irp->Cancel) {
        status = STATUS_CANCELLED;
    } else if (Extension->EventHistory != 0 && Extension->ProductId == KDX_PRODUCT_NUMBERED_PORT) {
        *(PULONG)Request->Buffer = Extension->EventHistory;
        Extension->EventHistory = 0;
        irp->IoStatus.Information = sizeof(ULONG);
        status = STATUS_SUCCESS;
    } else {
        // Marked pending before it becomes visible: it may be completed as soon as the locks
        // go.
        IoMarkIrpPending(irp);
        Extension->WaitOnMaskIrp = irp;
        irp->IoStatus.Status = STATUS_PENDING;
        IoSetCancelRoutine(irp, CancelWaitIrp);
    }
    IoReleaseCancelSpinLock(cancelIrql);
    BOOLEAN signal = status == STATUS_PENDING && DeliverWaitEvents(Extension);
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);
    if (signal) {
        SignalWaitEvents(Extension);
    }
    return status;
}

// Purges: the queued reads and, with SERIAL_PURGE_RXABORT, the buffered bytes (with
// SERIAL_PURGE_RXCLEAR too on a device that accepts line settings, as standard serial programs
// expect of a purge of the input); the queued writes. Transfers in flight go on.
static NTSTATUS Purge(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension,
                      PSERIAL_REQUEST Request)
{
    if (Request->InputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG mask = *(PULONG)Request->Buffer;
    if (mask == 0 || (mask & ~(ULONG)KDX_PURGE_VALID) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((mask & (SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR)) != 0) {
        CancelQueuedReads(DeviceObject, FALSE);
    }
    ULONG emptying = SERIAL_PURGE_RXABORT;
    if (ReadFlag(&Extension->AcceptLineSettings) != 0) {
        emptying |= SERIAL_PURGE_RXCLEAR;
    }
    if ((mask & emptying) != 0) {
        KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
        Extension->ReceiveCount = 0;
        KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);
        // A pump that waits for room would otherwise wait for a read that finds nothing.
        KeSetEvent(&Extension->ReceiveSpaceEvent, 1, FALSE);
    }
    if ((mask & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)) != 0) {
        CancelQueuedWrites(DeviceObject, FALSE);
    }
    return STATUS_SUCCESS;
}

// Fills the status record: no errors or hold reasons, the buffered bytes and the write in
// progress as the queue amounts. DeviceLock is held. Returns FALSE, which callers ignore.
_Use_decl_annotations_ BOOLEAN GetCommStatus(PDEVICE_EXTENSION DeviceExtension,
                                             PSERIAL_STATUS Status)
{
    RtlZeroMemory(Status, sizeof(SERIAL_STATUS));
    Status->AmountInInQueue = DeviceExtension->ReceiveCount;
    Status->AmountInOutQueue = DeviceExtension->PendingWriteLength;
    return FALSE;
}

static NTSTATUS ReplyCommStatus(PDEVICE_EXTENSION Extension, PSERIAL_REQUEST Request)
{
    if (Request->OutputLength < sizeof(SERIAL_STATUS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    GetCommStatus(Extension, (PSERIAL_STATUS)Request->Buffer);
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);
    Request->Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
    return STATUS_SUCCESS;
}

// Describes the port: what a serial port of this kind can be set to, and its queue sizes.
static NTSTATUS ReplyProperties(PDEVICE_EXTENSION Extension, PSERIAL_REQUEST Request)
{
    if (Request->OutputLength < sizeof(SERIAL_COMMPROP)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PSERIAL_COMMPROP properties = (PSERIAL_COMMPROP)Request->Buffer;
    RtlZeroMemory(properties, sizeof(SERIAL_COMMPROP));
    properties->PacketLength = sizeof(SERIAL_COMMPROP);
    properties->PacketVersion = 2;
    properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    properties->MaxBaud = SERIAL_BAUD_USER;
    properties->ProvSubType = SERIAL_SP_RS232;
    properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                   SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF |
                                   SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                   SERIAL_PCF_INTTIMEOUTS;
    properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                 SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                                 SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    properties->SettableData =
        SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |
                                     SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                     SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    properties->SettableBaud = Extension->SettableBaud;
    properties->CurrentRxQueue = ReadULong(&Extension->ReceiveBufferSize);
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);
    Request->Irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
    return STATUS_SUCCESS;
}

// Replies with one 32-bit value of the serial state, read under DeviceLock.
static NTSTATUS ReplyLockedValue(PDEVICE_EXTENSION Extension, PSERIAL_REQUEST Request,
                                 const ULONG* Value)
{
    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    ULONG value = *Value;
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);
    return ReplyValue(Request, value);
}

static NTSTATUS ClearStats(PDEVICE_EXTENSION Extension)
{
    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    RtlZeroMemory(&Extension->PerfStats, sizeof(SERIALPERF_STATS));
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);
    return STATUS_SUCCESS;
}

// The requests that report or change the serial state, or that are refused.
static NTSTATUS HandleStateRequest(PDEVICE_EXTENSION Extension, ULONG Code, PSERIAL_REQUEST Request)
{
    switch (Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return SetBaudRate(Extension, Request);
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        return Refuse(Request->InputLength, sizeof(ULONG));
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
    case IOCTL_SERIAL_LSRMST_INSERT:
        return Refuse(Request->InputLength, sizeof(UCHAR));
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        return Refuse(Request->OutputLength, sizeof(ULONG));
    case IOCTL_SERIAL_SET_DTR:
        return SetModemLine(Extension, SERIAL_DTR_STATE, TRUE);
    case IOCTL_SERIAL_CLR_DTR:
        return SetModemLine(Extension, SERIAL_DTR_STATE, FALSE);
    case IOCTL_SERIAL_SET_RTS:
        return SetModemLine(Extension, SERIAL_RTS_STATE, TRUE);
    case IOCTL_SERIAL_CLR_RTS:
        return SetModemLine(Extension, SERIAL_RTS_STATE, FALSE);
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
        // Nothing to do on a line without flow control.
        return ReadFlag(&Extension->AcceptLineSettings) != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_RESET_DEVICE:
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        return SetQueueSize(Request);
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return SetLineControl(Extension, Request);
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return SetTimeouts(Extension, Request);
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return ReplyRecord(Extension, Request, &Extension->Timeouts, sizeof(SERIAL_TIMEOUTS));
    case IOCTL_SERIAL_SET_CHARS:
        return SetChars(Extension, Request);
    case IOCTL_SERIAL_GET_CHARS:
        return ReplyRecord(Extension, Request, &Extension->SpecialChars, sizeof(SERIAL_CHARS));
    case IOCTL_SERIAL_SET_HANDFLOW:
        return SetHandFlow(Extension, Request);
    case IOCTL_SERIAL_GET_HANDFLOW:
        return ReplyRecord(Extension, Request, &Extension->HandFlow, sizeof(SERIAL_HANDFLOW));
    case IOCTL_SERIAL_XOFF_COUNTER:
        return XoffCounter(Request);
    case IOCTL_SERIAL_GET_STATS:
        return ReplyRecord(Extension, Request, &Extension->PerfStats, sizeof(SERIALPERF_STATS));
    case IOCTL_SERIAL_CLEAR_STATS:
        return ClearStats(Extension);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Every request of an open port, by control code.
static NTSTATUS HandleSerialRequest(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension,
                                    ULONG Code, PSERIAL_REQUEST Request)
{
    switch (Code) {
    case IOCTL_SERIAL_GET_BAUD_RATE:
        return ReplyLockedValue(Extension, Request, &Extension->BaudRate);
    case IOCTL_SERIAL_GET_DTRRTS:
        return ReplyLockedValue(Extension, Request, &Extension->DtrRts);
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        return ReplyValue(Request,
                          ReadFlag(&Extension->AcceptLineSettings) != 0 ? KDX_CONNECTED_LINE : 0);
    case IOCTL_SERIAL_CONFIG_SIZE:
        return ReplyValue(Request, 0);
    case IOCTL_SERIAL_GET_WAIT_MASK:
        return ReplyValue(Request, ReadULong(&Extension->WaitMask));
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return ReplyRecord(Extension, Request, &Extension->LineControl,
                           sizeof(SERIAL_LINE_CONTROL));
    case IOCTL_SERIAL_GET_COMMSTATUS:
        return ReplyCommStatus(Extension, Request);
    case IOCTL_SERIAL_GET_PROPERTIES:
        return ReplyProperties(Extension, Request);
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return SetWaitMask(Extension, Request);
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return WaitOnMask(Extension, Request);
    case IOCTL_SERIAL_PURGE:
        return Purge(DeviceObject, Extension, Request);
    default:
        return HandleStateRequest(Extension, Code, Request);
    }
}

// The one answer of a stopping, removed or gone device: an all-zero status record.
static NTSTATUS AnswerUnusableDevice(ULONG Code, PSERIAL_REQUEST Request)
{
    if (Code != IOCTL_SERIAL_GET_COMMSTATUS) {
        return STATUS_ACCESS_DENIED;
    }
    if (Request->OutputLength < sizeof(SERIAL_STATUS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory(Request->Buffer, sizeof(SERIAL_STATUS));
    Request->Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
    return STATUS_SUCCESS;
}

// IRP_MJ_DEVICE_CONTROL: raises to DISPATCH_LEVEL for the whole request, answers it and
// completes it here, except a wait-on-mask request that is held pending (it holds no I/O
// reference while it waits). A device that cannot accept requests first loses its pending
// wait-on-mask request.
_Use_decl_annotations_ NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KIRQL oldIrql = KeGetCurrentIrql();
    BOOLEAN raised = oldIrql < DISPATCH_LEVEL;
    if (raised) {
        KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    }
    IncrementIoCount(DeviceObject);
    Irp->IoStatus.Information = 0;

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    SERIAL_REQUEST request = {Irp, stack->Parameters.DeviceIoControl.InputBufferLength,
                              stack->Parameters.DeviceIoControl.OutputBufferLength,
                              Irp->AssociatedIrp.SystemBuffer};
    NTSTATUS status;
    if (!CanAcceptRequests(DeviceObject)) {
        CancelWaitOnMask(extension);
        status = AnswerUnusableDevice(code, &request);
    } else if (ReadFlag(&extension->PortOpen) != 1) {
        status = STATUS_ACCESS_DENIED;
    } else {
        status = HandleSerialRequest(DeviceObject, extension, code, &request);
    }
    if (status != STATUS_PENDING) {
        if (!NT_SUCCESS(status)) {
            Irp->IoStatus.Information = 0;
        }
        Irp->IoStatus.Status = status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    DecrementIoCount(DeviceObject);
    if (raised) {
        KeLowerIrql(oldIrql);
    }
    return status;
}
