/* kdxbus.sys: the test rig's simulated USB bus, a root-enumerated kernel-mode bus driver.
 *
 * It attaches to the root device that the rig's installer creates, reports one child PDO per
 * device that a test plugs in through its control device, and answers the USB internal
 * requests that a function driver sends to such a PDO: descriptors, configuration selection,
 * port status and reset, pipe reset and abort, and bulk transfers. A bulk-IN transfer returns
 * offered bytes at once or waits for them (cancellable); a bulk-OUT transfer is recorded for
 * the test to read back, completes at once unless the test holds it, and with echo on its
 * bytes come back on the bulk-IN pipe.
 *
 * Under Wine it also wraps two dispatch routines of the function driver kdxlusb, without
 * changing its image, for what Wine does differently from Windows; see WrapFunctionDriver. */
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
#include <ntimage.h>

#include "kdxbus_control.h"

NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING, ULONG, PACCESS_STATE, ACCESS_MASK,
                                       POBJECT_TYPE, KPROCESSOR_MODE, PVOID, PVOID*);
__declspec(dllimport) extern POBJECT_TYPE* IoDriverObjectType;

#define KDXBUS_TAG 0x6278644B /* 'Kdxb' in a pool dump */

typedef enum { KindBus, KindChild, KindControl } DEVICE_KIND;

typedef struct _PIPE {
    UCHAR Endpoint;
} PIPE;

typedef struct _CHILD {
    PDEVICE_OBJECT Pdo; /* null while the slot is free */
    USHORT ProductId;
    USHORT MaxPacketSize;
    ULONG InstanceId;
    BOOLEAN Present; /* plugged in; reported in the bus relations */
    BOOLEAN Configured;
    BOOLEAN Echo;
    BOOLEAN HoldOut;
    PIPE Pipes[2]; /* 0: bulk IN (0x81), 1: bulk OUT (0x02) */
    UCHAR* In;     /* ring of offered bytes */
    ULONG InHead;
    ULONG InCount;
    UCHAR* OutLog; /* records: ULONG length, then the bytes */
    ULONG OutLogUsed;
    LIST_ENTRY PendingIn;
    LIST_ENTRY PendingOut;
    ULONG FailIn, FailOut;
    NTSTATUS FailInStatus, FailOutStatus;
    USBD_STATUS FailInUsbd, FailOutUsbd;
    KDXBUS_STATE Counters;
} CHILD;

typedef struct _EXTENSION {
    DEVICE_KIND Kind;
    ULONG Slot;                  /* children */
    PDEVICE_OBJECT Lower;        /* the bus */
} EXTENSION;

static KSPIN_LOCK BusLock; /* guards Children and every CHILD */
static CHILD Children[KDXBUS_MAX_DEVICES];
static PDEVICE_OBJECT BusFdo;
static PDEVICE_OBJECT BusPdo;
static PDEVICE_OBJECT ControlDevice;
static PDRIVER_OBJECT BusDriver;

static PDRIVER_DISPATCH FunctionCreate;
static PDRIVER_DISPATCH FunctionPnp;
static PDRIVER_OBJECT FunctionDriver;

static EXTENSION* Ext(PDEVICE_OBJECT device)
{
    return (EXTENSION*)device->DeviceExtension;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ------------------------------------------------------------------------------------------ */
/* Bulk transfers                                                                             */
/* ------------------------------------------------------------------------------------------ */

static PURB UrbOf(PIRP irp)
{
    return (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
}

static VOID FinishTransfer(PIRP irp, NTSTATUS status, USBD_STATUS usbd, ULONG length)
{
    PURB urb = UrbOf(irp);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    urb->UrbHeader.Status = usbd;
    Complete(irp, status, 0);
}

static VOID CancelTransfer(PDEVICE_OBJECT device, PIRP irp)
{
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&BusLock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&BusLock, irql);
    FinishTransfer(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
}

/* Queues a transfer with its cancel routine; BusLock is held. False when it was cancelled
 * already: the caller completes it. */
static BOOLEAN QueueTransfer(LIST_ENTRY* queue, PIRP irp)
{
    IoSetCancelRoutine(irp, CancelTransfer);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) return FALSE;
    IoMarkIrpPending(irp);
    InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
    return TRUE;
}

/* Takes the first queued transfer whose cancel routine has not started; BusLock is held. */
static PIRP DequeueTransfer(LIST_ENTRY* queue)
{
    LIST_ENTRY* entry;
    for (entry = queue->Flink; entry != queue; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(entry);
            return irp;
        }
    }
    return NULL;
}

/* Copies up to `length` offered bytes into `buffer`; BusLock is held. */
static ULONG TakeIn(CHILD* child, UCHAR* buffer, ULONG length)
{
    ULONG taken = 0;
    while (taken < length && child->InCount > 0) {
        buffer[taken++] = child->In[child->InHead];
        child->InHead = (child->InHead + 1) % KDXBUS_IN_CAPACITY;
        child->InCount--;
    }
    return taken;
}

static ULONG PutIn(CHILD* child, const UCHAR* bytes, ULONG length)
{
    ULONG put = 0;
    while (put < length && child->InCount < KDXBUS_IN_CAPACITY) {
        child->In[(child->InHead + child->InCount) % KDXBUS_IN_CAPACITY] = bytes[put++];
        child->InCount++;
    }
    return put;
}

/* A list of requests to complete once BusLock is released. */
typedef struct _DONE {
    PIRP Irp[16];
    NTSTATUS Status[16];
    USBD_STATUS Usbd[16];
    ULONG Length[16];
    ULONG Count;
} DONE;

static VOID Defer(DONE* done, PIRP irp, NTSTATUS status, USBD_STATUS usbd, ULONG length)
{
    done->Irp[done->Count] = irp;
    done->Status[done->Count] = status;
    done->Usbd[done->Count] = usbd;
    done->Length[done->Count] = length;
    done->Count++;
}

static VOID FinishDeferred(DONE* done)
{
    ULONG i;
    for (i = 0; i < done->Count; i++) {
        FinishTransfer(done->Irp[i], done->Status[i], done->Usbd[i], done->Length[i]);
    }
    done->Count = 0;
}

/* Hands offered bytes to waiting bulk-IN transfers; BusLock is held. */
static VOID ServePendingIn(CHILD* child, DONE* done)
{
    while (child->InCount > 0 && done->Count < 16) {
        PIRP irp = DequeueTransfer(&child->PendingIn);
        struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb;
        if (irp == NULL) return;
        urb = &UrbOf(irp)->UrbBulkOrInterruptTransfer;
        Defer(done, irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
              TakeIn(child, (UCHAR*)urb->TransferBuffer, urb->TransferBufferLength));
        child->Counters.PendingIn--;
    }
}

/* Ends up to *count waiting transfers of a queue with a status; BusLock is held. */
static VOID EndSomePending(CHILD* child, LIST_ENTRY* queue, ULONG* count, NTSTATUS status,
                           USBD_STATUS usbd, DONE* done)
{
    PIRP irp;
    while (*count > 0 && done->Count < 16 && (irp = DequeueTransfer(queue)) != NULL) {
        (*count)--;
        Defer(done, irp, status, usbd, 0);
        if (queue == &child->PendingIn) {
            child->Counters.PendingIn--;
        } else {
            child->Counters.PendingOut--;
        }
    }
}

/* Ends every waiting transfer of a queue (as many as `done` has room for); BusLock is held. */
static VOID EndPending(CHILD* child, LIST_ENTRY* queue, NTSTATUS status, USBD_STATUS usbd,
                       DONE* done)
{
    ULONG all = 0xFFFFFFFF;
    EndSomePending(child, queue, &all, status, usbd, done);
}

static VOID RecordOut(CHILD* child, const UCHAR* bytes, ULONG length)
{
    if (child->OutLogUsed + sizeof(ULONG) + length <= KDXBUS_OUT_LOG_CAPACITY) {
        RtlCopyMemory(child->OutLog + child->OutLogUsed, &length, sizeof(ULONG));
        RtlCopyMemory(child->OutLog + child->OutLogUsed + sizeof(ULONG), bytes, length);
        child->OutLogUsed += sizeof(ULONG) + length;
    }
    child->Counters.OutTransfers++;
    if (child->Echo) PutIn(child, bytes, length);
}

static NTSTATUS BulkTransfer(CHILD* child, PIRP irp)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &UrbOf(irp)->UrbBulkOrInterruptTransfer;
    PIPE* pipe = (PIPE*)urb->PipeHandle;
    DONE done;
    KIRQL irql;
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    ULONG length = 0;
    BOOLEAN in;

    done.Count = 0;
    if (pipe != &child->Pipes[0] && pipe != &child->Pipes[1]) {
        FinishTransfer(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, 0);
        return STATUS_INVALID_PARAMETER;
    }
    if (urb->TransferBuffer == NULL && urb->TransferBufferLength != 0) {
        FinishTransfer(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    in = pipe == &child->Pipes[0];
    KeAcquireSpinLock(&BusLock, &irql);
    if (!child->Present) {
        status = STATUS_DEVICE_NOT_CONNECTED;
        usbd = USBD_STATUS_DEVICE_GONE;
    } else if (in && child->FailIn > 0) {
        child->FailIn--;
        status = child->FailInStatus;
        usbd = child->FailInUsbd;
    } else if (!in && child->FailOut > 0) {
        child->FailOut--;
        status = child->FailOutStatus;
        usbd = child->FailOutUsbd;
    } else if (in) {
        if (child->InCount > 0) {
            length = TakeIn(child, (UCHAR*)urb->TransferBuffer, urb->TransferBufferLength);
            status = STATUS_SUCCESS;
        } else if (QueueTransfer(&child->PendingIn, irp)) {
            child->Counters.PendingIn++;
        } else {
            status = STATUS_CANCELLED;
            usbd = USBD_STATUS_CANCELED;
        }
    } else {
        RecordOut(child, (const UCHAR*)urb->TransferBuffer, urb->TransferBufferLength);
        length = urb->TransferBufferLength;
        status = STATUS_SUCCESS;
        if (child->HoldOut) {
            if (QueueTransfer(&child->PendingOut, irp)) {
                child->Counters.PendingOut++;
                status = STATUS_PENDING;
            } else {
                status = STATUS_CANCELLED;
                usbd = USBD_STATUS_CANCELED;
                length = 0;
            }
        }
        ServePendingIn(child, &done);
    }
    KeReleaseSpinLock(&BusLock, irql);
    FinishDeferred(&done);
    if (status != STATUS_PENDING) FinishTransfer(irp, status, usbd, length);
    return status;
}

/* ------------------------------------------------------------------------------------------ */
/* Descriptors, configuration and port requests                                               */
/* ------------------------------------------------------------------------------------------ */

static ULONG BuildDescriptor(CHILD* child, UCHAR type, UCHAR* out)
{
    USHORT packet = child->MaxPacketSize;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
        UCHAR device[18] = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0, 0, 0, 64, 0x00, 0x00,
                            (UCHAR)child->ProductId, (UCHAR)(child->ProductId >> 8), 0x00, 0x01,
                            0, 0, 0, 1};
        RtlCopyMemory(out, device, sizeof(device));
        return sizeof(device);
    } else {
        UCHAR configuration[32] = {
            9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 32, 0, 1, 1, 0, 0x80, 50,
            9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2, 0xFF, 0, 0, 0,
            7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_BULK, (UCHAR)packet,
            (UCHAR)(packet >> 8), 0,
            7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, USB_ENDPOINT_TYPE_BULK, (UCHAR)packet,
            (UCHAR)(packet >> 8), 0};
        RtlCopyMemory(out, configuration, sizeof(configuration));
        return sizeof(configuration);
    }
}

static NTSTATUS GetDescriptor(CHILD* child, struct _URB_CONTROL_DESCRIPTOR_REQUEST* request)
{
    UCHAR descriptor[32];
    ULONG length;
    if (request->TransferBuffer == NULL) {
        request->Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    if (request->DescriptorType != USB_DEVICE_DESCRIPTOR_TYPE &&
        !(request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request->Index == 0)) {
        request->TransferBufferLength = 0;
        request->Hdr.Status = USBD_STATUS_STALL_PID;
        return STATUS_UNSUCCESSFUL;
    }
    length = BuildDescriptor(child, request->DescriptorType, descriptor);
    if (length > request->TransferBufferLength) length = request->TransferBufferLength;
    RtlCopyMemory(request->TransferBuffer, descriptor, length);
    request->TransferBufferLength = length;
    request->Hdr.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

static NTSTATUS SelectConfiguration(CHILD* child, struct _URB_SELECT_CONFIGURATION* request)
{
    PUSBD_INTERFACE_INFORMATION information = &request->Interface;
    ULONG i;
    if (request->ConfigurationDescriptor == NULL) {
        child->Configured = FALSE;
        request->Hdr.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    if (information->InterfaceNumber != 0 || information->NumberOfPipes != 2) {
        request->Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    information->Class = 0xFF;
    information->SubClass = 0;
    information->Protocol = 0;
    information->InterfaceHandle = child;
    for (i = 0; i < 2; i++) {
        PUSBD_PIPE_INFORMATION pipe = &information->Pipes[i];
        pipe->EndpointAddress = child->Pipes[i].Endpoint;
        pipe->MaximumPacketSize = child->MaxPacketSize;
        pipe->Interval = 0;
        pipe->PipeType = UsbdPipeTypeBulk;
        pipe->PipeHandle = &child->Pipes[i];
    }
    request->ConfigurationHandle = child;
    request->Hdr.Status = USBD_STATUS_SUCCESS;
    child->Configured = TRUE;
    return STATUS_SUCCESS;
}

static NTSTATUS AbortPipe(CHILD* child, struct _URB_PIPE_REQUEST* request)
{
    DONE done;
    KIRQL irql;
    done.Count = 0;
    KeAcquireSpinLock(&BusLock, &irql);
    if (request->PipeHandle == &child->Pipes[0]) {
        EndPending(child, &child->PendingIn, STATUS_CANCELLED, USBD_STATUS_CANCELED, &done);
    } else {
        EndPending(child, &child->PendingOut, STATUS_CANCELLED, USBD_STATUS_CANCELED, &done);
    }
    KeReleaseSpinLock(&BusLock, irql);
    FinishDeferred(&done);
    request->Hdr.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

static NTSTATUS ChildInternalControl(CHILD* child, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PURB urb = (PURB)stack->Parameters.Others.Argument1;
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            return BulkTransfer(child, irp);
        }
        if (!child->Present) {
            urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
            return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        }
        switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            status = GetDescriptor(child, &urb->UrbControlDescriptorRequest);
            break;
        case URB_FUNCTION_SELECT_CONFIGURATION:
            status = SelectConfiguration(child, &urb->UrbSelectConfiguration);
            break;
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
            InterlockedIncrement((LONG*)&child->Counters.PipeResets);
            urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
            status = STATUS_SUCCESS;
            break;
        case URB_FUNCTION_ABORT_PIPE:
            status = AbortPipe(child, &urb->UrbPipeRequest);
            break;
        default:
            urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
            status = STATUS_NOT_SUPPORTED;
        }
        return Complete(irp, status, 0);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        InterlockedIncrement((LONG*)&child->Counters.PortStatusQueries);
        *(PULONG)stack->Parameters.Others.Argument1 =
            child->Present ? USBD_PORT_CONNECTED | USBD_PORT_ENABLED : 0;
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        InterlockedIncrement((LONG*)&child->Counters.PortResets);
        return Complete(irp, child->Present ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE, 0);
    default:
        return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    }
}

/* ------------------------------------------------------------------------------------------ */
/* Plug and Play                                                                              */
/* ------------------------------------------------------------------------------------------ */

/* Formats "USB\VID_0000&PID_xxxx" and the like without a C runtime: `prefix`, then `value` in
 * `digits` hex digits (0: decimal), then `suffix`. Returns the characters written. */
static SIZE_T FormatId(PWCHAR out, const WCHAR* prefix, ULONG value, ULONG digits,
                       const WCHAR* suffix)
{
    static const WCHAR hex[] = L"0123456789ABCDEF";
    SIZE_T n = 0;
    WCHAR reversed[12];
    ULONG count = 0;
    while (*prefix != 0) out[n++] = *prefix++;
    if (digits != 0) {
        while (digits-- > 0) out[n++] = hex[(value >> (4 * digits)) & 0xF];
    } else {
        do {
            reversed[count++] = (WCHAR)(L'0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) out[n++] = reversed[--count];
    }
    while (*suffix != 0) out[n++] = *suffix++;
    out[n] = 0;
    return n;
}

static SIZE_T TextLength(const WCHAR* text)
{
    SIZE_T n = 0;
    while (text[n] != 0) n++;
    return n;
}

/* Pool text for the PnP manager, which frees it: `text` with `extra` zeros after it. */
static PWCHAR PoolText(const WCHAR* text, ULONG extra)
{
    SIZE_T length = TextLength(text);
    PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, (length + extra) * sizeof(WCHAR),
                                                KDXBUS_TAG);
    if (copy == NULL) return NULL;
    RtlZeroMemory(copy, (length + extra) * sizeof(WCHAR));
    RtlCopyMemory(copy, text, length * sizeof(WCHAR));
    return copy;
}

static NTSTATUS QueryId(CHILD* child, ULONG slot, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    WCHAR id[64];
    PWCHAR text = NULL;
    switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        FormatId(id, L"USB\\VID_0000&PID_", child->ProductId, 4, L"");
        text = PoolText(id, 1);
        break;
    case BusQueryHardwareIDs: {
        /* A multi-string: the ID with the revision, then without. */
        SIZE_T first = FormatId(id, L"USB\\VID_0000&PID_", child->ProductId, 4, L"&REV_0100") + 1;
        SIZE_T total = first + FormatId(id + first, L"USB\\VID_0000&PID_", child->ProductId, 4, L"") + 2;
        text = (PWCHAR)ExAllocatePoolWithTag(PagedPool, total * sizeof(WCHAR), KDXBUS_TAG);
        if (text != NULL) {
            RtlZeroMemory(text, total * sizeof(WCHAR));
            RtlCopyMemory(text, id, (total - 2) * sizeof(WCHAR));
        }
        break;
    }
    case BusQueryCompatibleIDs:
        text = PoolText(L"USB\\Class_FF&SubClass_00&Prot_00", 2);
        break;
    case BusQueryInstanceID:
        FormatId(id, L"", child->InstanceId != 0 ? child->InstanceId : slot + 1, 0, L"");
        text = PoolText(id, 1);
        break;
    default:
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    if (text == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)text);
}

/* Fails what waits on a device that is gone. */
static VOID EndAllTransfers(CHILD* child)
{
    DONE done;
    KIRQL irql;
    do {
        done.Count = 0;
        KeAcquireSpinLock(&BusLock, &irql);
        EndPending(child, &child->PendingIn, STATUS_DEVICE_NOT_CONNECTED,
                   USBD_STATUS_DEVICE_GONE, &done);
        EndPending(child, &child->PendingOut, STATUS_DEVICE_NOT_CONNECTED,
                   USBD_STATUS_DEVICE_GONE, &done);
        KeReleaseSpinLock(&BusLock, irql);
        FinishDeferred(&done);
    } while (done.Count != 0);
}

static VOID FreeChild(CHILD* child)
{
    if (child->In != NULL) ExFreePoolWithTag(child->In, KDXBUS_TAG);
    if (child->OutLog != NULL) ExFreePoolWithTag(child->OutLog, KDXBUS_TAG);
    RtlZeroMemory(child, sizeof(*child));
}

static NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG slot = Ext(device)->Slot;
    CHILD* child = &Children[slot];
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        return QueryId(child, slot, irp);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        ULONG i;
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = TRUE;
        caps->UniqueID = FALSE;
        caps->Address = slot + 1;
        caps->UINumber = slot + 1;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (i = PowerSystemSleeping1; i < PowerSystemMaximum; i++) {
            caps->DeviceState[i] = PowerDeviceD3;
        }
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
                PagedPool, sizeof(DEVICE_RELATIONS), KDXBUS_TAG);
            if (relations == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            relations->Count = 1;
            relations->Objects[0] = device;
            ObReferenceObject(device);
            return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)relations);
        }
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            PWCHAR text = PoolText(L"kdxbus simulated USB serial device", 1);
            if (text == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)text);
        }
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_SURPRISE_REMOVAL:
        EndAllTransfers(child);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE: {
        KIRQL irql;
        BOOLEAN gone;
        EndAllTransfers(child);
        KeAcquireSpinLock(&BusLock, &irql);
        gone = !child->Present;
        KeReleaseSpinLock(&BusLock, irql);
        Complete(irp, STATUS_SUCCESS, 0);
        if (gone) {
            /* Only a device that was pulled out goes away; a disabled one stays reported. */
            FreeChild(child);
            IoDeleteDevice(device);
        }
        return STATUS_SUCCESS;
    }
    default:
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

static NTSTATUS ReportChildren(PIRP irp)
{
    PDEVICE_RELATIONS relations;
    ULONG count = 0, i;
    KIRQL irql;
    relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS) + KDXBUS_MAX_DEVICES * sizeof(PDEVICE_OBJECT),
        KDXBUS_TAG);
    if (relations == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    KeAcquireSpinLock(&BusLock, &irql);
    for (i = 0; i < KDXBUS_MAX_DEVICES; i++) {
        if (Children[i].Pdo != NULL && Children[i].Present) {
            relations->Objects[count++] = Children[i].Pdo;
            ObReferenceObject(Children[i].Pdo);
        }
    }
    KeReleaseSpinLock(&BusLock, irql);
    relations->Count = count;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = (ULONG_PTR)relations;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Ext(BusFdo)->Lower, irp);
}

static NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = Ext(device)->Lower;
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return ReportChildren(irp);
        break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        UNICODE_STRING link;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        RtlInitUnicodeString(&link, KDXBUS_CONTROL_LINK);
        IoDeleteSymbolicLink(&link);
        if (ControlDevice != NULL) IoDeleteDevice(ControlDevice);
        ControlDevice = NULL;
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        BusFdo = NULL;
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

/* ------------------------------------------------------------------------------------------ */
/* Wrapping the function driver under Wine                                                     */
/* ------------------------------------------------------------------------------------------ */

/* The child whose device stack holds `device`, or -1. */
static LONG SlotOfStack(PDEVICE_OBJECT device)
{
    ULONG i;
    for (i = 0; i < KDXBUS_MAX_DEVICES; i++) {
        PDEVICE_OBJECT above = Children[i].Pdo;
        while (above != NULL) {
            if (above == device) return (LONG)i;
            above = above->AttachedDevice;
        }
    }
    return -1;
}

/* Wine 8.0 sends IRP_MN_QUERY_ID to the top of a new device stack from
 * IoRegisterDeviceInterface and IoOpenDeviceRegistryKey while AddDevice runs; Windows asks
 * only the PDO, and kdxlusb answers the query itself with STATUS_NOT_IMPLEMENTED, so AddDevice
 * would fail. Identity queries on our children's stacks go straight to the PDO. */
static NTSTATUS WrappedPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_QUERY_ID) {
        LONG slot = SlotOfStack(device);
        if (slot >= 0 && Children[slot].Pdo != device) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(Children[slot].Pdo, irp);
        }
    }
    return FunctionPnp(device, irp);
}

/* Records the status of each open, which Wine's CreateFile does not pass on. */
static NTSTATUS WrappedCreate(PDEVICE_OBJECT device, PIRP irp)
{
    NTSTATUS status = FunctionCreate(device, irp);
    LONG slot = SlotOfStack(device);
    if (slot >= 0) {
        KDXBUS_STATE* counters = &Children[slot].Counters;
        KIRQL irql;
        KeAcquireSpinLock(&BusLock, &irql);
        if (counters->CreateCount >= KDXBUS_CREATE_HISTORY) {
            RtlMoveMemory(&counters->CreateStatus[0], &counters->CreateStatus[1],
                          (KDXBUS_CREATE_HISTORY - 1) * sizeof(LONG));
            counters->CreateStatus[KDXBUS_CREATE_HISTORY - 1] = status;
        } else {
            counters->CreateStatus[counters->CreateCount] = status;
        }
        counters->CreateCount++;
        KeReleaseSpinLock(&BusLock, irql);
    }
    return status;
}

/* Kernel routines that kdxlusb imports and that Wine 8.0 lacks or runs differently from
 * Windows. The rig supplies them in the loaded driver's import table (the file on disk is not
 * touched), with the behaviour Windows documents:
 * - ExQueueWorkItem, KeReadStateTimer and KeRemoveQueueDpc are stubs in Wine 8.0 that abort
 *   the process when called, and its KeFlushQueuedDpcs returns at once (and could not know
 *   of the rig's DPCs anyway);
 * - Wine's KeSetTimer, called from the timer's own DPC (as the driver re-arms a timer that
 *   fired before its due time), waits for that DPC to return and so for itself, forever; and
 *   its KeCancelTimer waits for a running DPC, which Windows never does.
 * The rig's timers run their DPCs on one system thread of the rig's, in due order. */
static VOID NTAPI RunWorkItem(PVOID context)
{
    PWORK_QUEUE_ITEM item = (PWORK_QUEUE_ITEM)context;
    /* The routine may free its item: nothing of it is read after the call. */
    item->WorkerRoutine(item->Parameter);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* Each item runs on a system thread of its own, as on a work queue with a free worker. */
static VOID NTAPI RigExQueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE type)
{
    HANDLE thread;
    (void)type;
    if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, RunWorkItem,
                                        item))) {
        ZwClose(thread);
    } else {
        DbgPrint("kdxbus: no thread for a work item\n");
    }
}

#define RIG_QUEUED_DPCS 32

static KSPIN_LOCK TimerLock;     /* guards ArmedTimers and QueuedDpcs */
static LIST_ENTRY ArmedTimers;   /* through KTIMER.TimerListEntry */
static PKDPC QueuedDpcs[RIG_QUEUED_DPCS];
static KEVENT TimerWake;
static volatile LONG DpcRounds; /* rounds of the timer thread that ran the DPCs then queued */

static BOOLEAN TimerArmedLocked(PKTIMER timer)
{
    LIST_ENTRY* entry;
    for (entry = ArmedTimers.Flink; entry != &ArmedTimers; entry = entry->Flink) {
        if (entry == &timer->TimerListEntry) return TRUE;
    }
    return FALSE;
}

static BOOLEAN NTAPI RigKeCancelTimer(PKTIMER timer)
{
    KIRQL irql;
    BOOLEAN armed;
    KeAcquireSpinLock(&TimerLock, &irql);
    armed = TimerArmedLocked(timer);
    if (armed) RemoveEntryList(&timer->TimerListEntry);
    KeReleaseSpinLock(&TimerLock, irql);
    return armed;
}

static BOOLEAN NTAPI RigKeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc)
{
    KIRQL irql;
    BOOLEAN armed;
    ULONGLONG due;
    if (dueTime.QuadPart < 0) {
        due = KeQueryInterruptTime() + (ULONGLONG)(-dueTime.QuadPart);
    } else {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        due = KeQueryInterruptTime() +
              (dueTime.QuadPart > now.QuadPart ? (ULONGLONG)(dueTime.QuadPart - now.QuadPart) : 0);
    }
    KeAcquireSpinLock(&TimerLock, &irql);
    armed = TimerArmedLocked(timer);
    if (armed) RemoveEntryList(&timer->TimerListEntry);
    timer->DueTime.QuadPart = due;
    timer->Dpc = dpc;
    timer->Header.SignalState = 0;
    InsertTailList(&ArmedTimers, &timer->TimerListEntry);
    KeReleaseSpinLock(&TimerLock, irql);
    KeSetEvent(&TimerWake, IO_NO_INCREMENT, FALSE);
    return armed;
}

static BOOLEAN NTAPI RigKeReadStateTimer(PKTIMER timer)
{
    return timer->Header.SignalState != 0;
}

static BOOLEAN NTAPI RigKeRemoveQueueDpc(PKDPC dpc)
{
    KIRQL irql;
    BOOLEAN queued = FALSE;
    ULONG i;
    KeAcquireSpinLock(&TimerLock, &irql);
    for (i = 0; i < RIG_QUEUED_DPCS; i++) {
        if (QueuedDpcs[i] == dpc) {
            QueuedDpcs[i] = NULL;
            queued = TRUE;
        }
    }
    KeReleaseSpinLock(&TimerLock, irql);
    return queued;
}

/* Returns once every DPC queued at the call, and one running then, has run: a round of the
 * timer thread that was under way at the call may have missed the DPCs queued meanwhile, the
 * round after it runs them. */
static VOID NTAPI RigKeFlushQueuedDpcs(VOID)
{
    LONG start = InterlockedCompareExchange(&DpcRounds, 0, 0);
    LARGE_INTEGER poll;
    poll.QuadPart = -10000; /* 1 ms */
    while (InterlockedCompareExchange(&DpcRounds, 0, 0) - start < 2) {
        KeSetEvent(&TimerWake, IO_NO_INCREMENT, FALSE);
        KeDelayExecutionThread(KernelMode, FALSE, &poll);
    }
}

/* Signals the timers that are due and queues their DPCs; returns the 100 ns units until the
 * next one is due (at most a second). */
static ULONGLONG ExpireTimers(void)
{
    ULONGLONG now = KeQueryInterruptTime(), next = 10000000;
    LIST_ENTRY* entry;
    KIRQL irql;
    KeAcquireSpinLock(&TimerLock, &irql);
    for (entry = ArmedTimers.Flink; entry != &ArmedTimers;) {
        PKTIMER timer = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
        entry = entry->Flink;
        if (timer->DueTime.QuadPart <= now) {
            ULONG i;
            RemoveEntryList(&timer->TimerListEntry);
            timer->Header.SignalState = 1;
            for (i = 0; timer->Dpc != NULL && i < RIG_QUEUED_DPCS; i++) {
                if (QueuedDpcs[i] == timer->Dpc) break; /* queued already: once is enough */
                if (QueuedDpcs[i] == NULL) {
                    QueuedDpcs[i] = timer->Dpc;
                    break;
                }
            }
        } else if (timer->DueTime.QuadPart - now < next) {
            next = timer->DueTime.QuadPart - now;
        }
    }
    KeReleaseSpinLock(&TimerLock, irql);
    return next;
}

static PKDPC TakeQueuedDpc(void)
{
    PKDPC dpc = NULL;
    KIRQL irql;
    ULONG i;
    KeAcquireSpinLock(&TimerLock, &irql);
    for (i = 0; i < RIG_QUEUED_DPCS && dpc == NULL; i++) {
        dpc = QueuedDpcs[i];
        QueuedDpcs[i] = NULL;
    }
    KeReleaseSpinLock(&TimerLock, irql);
    return dpc;
}

static VOID NTAPI TimerThread(PVOID unused)
{
    (void)unused;
    for (;;) {
        LARGE_INTEGER timeout;
        PKDPC dpc;
        ULONGLONG next = ExpireTimers();
        while ((dpc = TakeQueuedDpc()) != NULL) {
            dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1,
                                 dpc->SystemArgument2);
        }
        InterlockedIncrement(&DpcRounds);
        timeout.QuadPart = -(LONGLONG)(next < 10000 ? 10000 : next);
        KeWaitForSingleObject(&TimerWake, Executive, KernelMode, FALSE, &timeout);
    }
}

static NTSTATUS StartTimerThread(void)
{
    HANDLE thread;
    NTSTATUS status;
    KeInitializeSpinLock(&TimerLock);
    InitializeListHead(&ArmedTimers);
    KeInitializeEvent(&TimerWake, SynchronizationEvent, FALSE);
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, TimerThread, NULL);
    if (NT_SUCCESS(status)) ZwClose(thread);
    return status;
}

/* The loaded image that contains `address`: the page with its headers, found downwards. */
static PUCHAR ImageBaseOf(PVOID address)
{
    PUCHAR page = (PUCHAR)((ULONG_PTR)address & ~(ULONG_PTR)0xFFF);
    ULONG pages;
    for (pages = 0; pages < 4096; pages++, page -= 0x1000) {
        PIMAGE_DOS_HEADER dos = (PIMAGE_DOS_HEADER)page;
        if (dos->e_magic == IMAGE_DOS_SIGNATURE && dos->e_lfanew > 0 && dos->e_lfanew < 0x1000 &&
            ((PIMAGE_NT_HEADERS)(page + dos->e_lfanew))->Signature == IMAGE_NT_SIGNATURE) {
            return page;
        }
    }
    return NULL;
}

static BOOLEAN NameIs(const char* name, const char* expected)
{
    while (*name != 0 && *name == *expected) {
        name++;
        expected++;
    }
    return *name == *expected;
}

static VOID SupplyMissingRoutines(PDRIVER_OBJECT driver)
{
    static const struct {
        const char* Name;
        PVOID Routine;
    } supplied[] = {{"ExQueueWorkItem", (PVOID)RigExQueueWorkItem},
                    {"KeReadStateTimer", (PVOID)RigKeReadStateTimer},
                    {"KeRemoveQueueDpc", (PVOID)RigKeRemoveQueueDpc},
                    {"KeFlushQueuedDpcs", (PVOID)RigKeFlushQueuedDpcs},
                    {"KeSetTimer", (PVOID)RigKeSetTimer},
                    {"KeCancelTimer", (PVOID)RigKeCancelTimer}};
    PUCHAR base = ImageBaseOf((PVOID)driver->DriverInit);
    PIMAGE_NT_HEADERS nt;
    PIMAGE_IMPORT_DESCRIPTOR import;
    ULONG directory;
    if (base == NULL) {
        DbgPrint("kdxbus: kdxlusb's image is not found\n");
        return;
    }
    nt = (PIMAGE_NT_HEADERS)(base + ((PIMAGE_DOS_HEADER)base)->e_lfanew);
    directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (import = (PIMAGE_IMPORT_DESCRIPTOR)(base + directory); directory != 0 && import->Name != 0;
         import++) {
        PIMAGE_THUNK_DATA names = (PIMAGE_THUNK_DATA)(base + import->OriginalFirstThunk);
        PIMAGE_THUNK_DATA routines = (PIMAGE_THUNK_DATA)(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, routines++) {
            ULONG i;
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            for (i = 0; i < sizeof(supplied) / sizeof(supplied[0]); i++) {
                const char* name =
                    (const char*)((PIMAGE_IMPORT_BY_NAME)(base + names->u1.AddressOfData))->Name;
                if (NameIs(name, supplied[i].Name)) {
                    routines->u1.Function = (ULONG_PTR)supplied[i].Routine;
                }
            }
        }
    }
}

/* Loads kdxlusb (its service exists once its INF is installed) and wraps its dispatch
 * routines, before PnP calls its AddDevice for a child. A driver that PnP unloaded and loaded
 * again is wrapped again. */
static VOID WrapFunctionDriver(void)
{
    UNICODE_STRING service, name;
    PDRIVER_OBJECT driver = NULL;
    NTSTATUS status;
    RtlInitUnicodeString(&service, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kdxlusb");
    status = ZwLoadDriver(&service);
    if (!NT_SUCCESS(status) && status != STATUS_IMAGE_ALREADY_LOADED) {
        DbgPrint("kdxbus: kdxlusb does not load (0x%08lx)\n", status);
        return;
    }
    RtlInitUnicodeString(&name, L"\\Driver\\kdxlusb");
    status = ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, NULL, 0, *IoDriverObjectType,
                                     KernelMode, NULL, (PVOID*)&driver);
    if (!NT_SUCCESS(status)) {
        DbgPrint("kdxbus: no driver object for kdxlusb (0x%08lx)\n", status);
        return;
    }
    if (driver->MajorFunction[IRP_MJ_PNP] != WrappedPnp) {
        FunctionDriver = driver;
        FunctionPnp = driver->MajorFunction[IRP_MJ_PNP];
        FunctionCreate = driver->MajorFunction[IRP_MJ_CREATE];
        driver->MajorFunction[IRP_MJ_PNP] = WrappedPnp;
        driver->MajorFunction[IRP_MJ_CREATE] = WrappedCreate;
        SupplyMissingRoutines(driver);
    }
    ObDereferenceObject(driver);
}

/* ------------------------------------------------------------------------------------------ */
/* The control device                                                                         */
/* ------------------------------------------------------------------------------------------ */

static NTSTATUS Plug(const KDXBUS_PLUG* plug, ULONG* slotOut)
{
    PDEVICE_OBJECT pdo;
    NTSTATUS status;
    KIRQL irql;
    ULONG slot;
    CHILD* child = NULL;

    WrapFunctionDriver();
    KeAcquireSpinLock(&BusLock, &irql);
    for (slot = 0; slot < KDXBUS_MAX_DEVICES; slot++) {
        if (Children[slot].Pdo == NULL && !Children[slot].Present) {
            child = &Children[slot];
            child->Present = TRUE; /* reserves the slot */
            break;
        }
    }
    KeReleaseSpinLock(&BusLock, irql);
    if (child == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    child->In = (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, KDXBUS_IN_CAPACITY, KDXBUS_TAG);
    child->OutLog =
        (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, KDXBUS_OUT_LOG_CAPACITY, KDXBUS_TAG);
    status = IoCreateDevice(BusDriver, sizeof(EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER,
                            FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE,
                            &pdo);
    if (child->In == NULL || child->OutLog == NULL || !NT_SUCCESS(status)) {
        if (NT_SUCCESS(status)) IoDeleteDevice(pdo);
        FreeChild(child);
        return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
    }
    Ext(pdo)->Kind = KindChild;
    Ext(pdo)->Slot = slot;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    child->ProductId = plug->ProductId;
    child->MaxPacketSize = plug->MaxPacketSize != 0 ? plug->MaxPacketSize : 64;
    child->InstanceId = plug->InstanceId;
    child->Pipes[0].Endpoint = 0x81;
    child->Pipes[1].Endpoint = 0x02;
    InitializeListHead(&child->PendingIn);
    InitializeListHead(&child->PendingOut);
    child->Counters.Present = 1;
    KeAcquireSpinLock(&BusLock, &irql);
    child->Pdo = pdo;
    KeReleaseSpinLock(&BusLock, irql);
    *slotOut = slot;
    IoInvalidateDeviceRelations(BusPdo, BusRelations);
    return STATUS_SUCCESS;
}

static CHILD* SlotChild(const void* input, ULONG length)
{
    ULONG slot;
    if (length < sizeof(ULONG)) return NULL;
    slot = *(const ULONG*)input;
    if (slot >= KDXBUS_MAX_DEVICES || Children[slot].Pdo == NULL) return NULL;
    return &Children[slot];
}

static NTSTATUS ControlDeviceControl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
    CHILD* child = SlotChild(buffer, inLength);
    DONE done;
    KIRQL irql;
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_SUCCESS;

    done.Count = 0;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KDXBUS_PLUG: {
        KDXBUS_PLUG plug;
        ULONG slot = 0;
        if (inLength < sizeof(plug) || outLength < sizeof(ULONG)) {
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        RtlCopyMemory(&plug, buffer, sizeof(plug));
        status = Plug(&plug, &slot);
        if (NT_SUCCESS(status)) {
            *(ULONG*)buffer = slot;
            information = sizeof(ULONG);
        }
        return Complete(irp, status, information);
    }
    case IOCTL_KDXBUS_UNPLUG:
        if (child == NULL) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        KeAcquireSpinLock(&BusLock, &irql);
        child->Present = FALSE;
        child->Counters.Present = 0;
        KeReleaseSpinLock(&BusLock, irql);
        EndAllTransfers(child);
        IoInvalidateDeviceRelations(BusPdo, BusRelations);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_KDXBUS_OFFER_IN: {
        ULONG put;
        if (child == NULL) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        KeAcquireSpinLock(&BusLock, &irql);
        put = PutIn(child, buffer + sizeof(ULONG), inLength - sizeof(ULONG));
        ServePendingIn(child, &done);
        KeReleaseSpinLock(&BusLock, irql);
        FinishDeferred(&done);
        return Complete(irp, put == inLength - sizeof(ULONG) ? STATUS_SUCCESS
                                                             : STATUS_BUFFER_OVERFLOW,
                        0);
    }
    case IOCTL_KDXBUS_TAKE_OUT:
        if (child == NULL) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        KeAcquireSpinLock(&BusLock, &irql);
        if (child->OutLogUsed > outLength) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            RtlCopyMemory(buffer, child->OutLog, child->OutLogUsed);
            information = child->OutLogUsed;
            child->OutLogUsed = 0;
        }
        KeReleaseSpinLock(&BusLock, irql);
        return Complete(irp, status, information);
    case IOCTL_KDXBUS_SET: {
        KDXBUS_SETTING setting;
        if (child == NULL || inLength < sizeof(setting)) {
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        RtlCopyMemory(&setting, buffer, sizeof(setting));
        KeAcquireSpinLock(&BusLock, &irql);
        if (setting.Kind == KdxBusEcho) {
            child->Echo = setting.Value != 0;
        } else if (setting.Kind == KdxBusHoldOut) {
            child->HoldOut = setting.Value != 0;
            if (!child->HoldOut) {
                EndPending(child, &child->PendingOut, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
                           &done);
            }
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
        KeReleaseSpinLock(&BusLock, irql);
        /* Released OUT transfers complete with the length they asked for. */
        {
            ULONG i;
            for (i = 0; i < done.Count; i++) {
                done.Length[i] = UrbOf(done.Irp[i])->UrbBulkOrInterruptTransfer.TransferBufferLength;
            }
        }
        FinishDeferred(&done);
        return Complete(irp, status, 0);
    }
    case IOCTL_KDXBUS_FAIL_NEXT: {
        KDXBUS_FAULT fault;
        if (child == NULL || inLength < sizeof(fault)) {
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        RtlCopyMemory(&fault, buffer, sizeof(fault));
        KeAcquireSpinLock(&BusLock, &irql);
        if (fault.In) {
            child->FailIn = fault.Count;
            child->FailInStatus = fault.Status;
            child->FailInUsbd = fault.UsbdStatus;
        } else {
            child->FailOut = fault.Count;
            child->FailOutStatus = fault.Status;
            child->FailOutUsbd = fault.UsbdStatus;
        }
        /* The transfers waiting now are the next ones to end: they fail first. */
        EndSomePending(child, fault.In ? &child->PendingIn : &child->PendingOut,
                       fault.In ? &child->FailIn : &child->FailOut, fault.Status,
                       fault.UsbdStatus, &done);
        KeReleaseSpinLock(&BusLock, irql);
        FinishDeferred(&done);
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_KDXBUS_QUERY:
        if (child == NULL || outLength < sizeof(KDXBUS_STATE)) {
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        KeAcquireSpinLock(&BusLock, &irql);
        child->Counters.Configured = child->Configured;
        child->Counters.InQueued = child->InCount;
        RtlCopyMemory(buffer, &child->Counters, sizeof(KDXBUS_STATE));
        KeReleaseSpinLock(&BusLock, irql);
        return Complete(irp, STATUS_SUCCESS, sizeof(KDXBUS_STATE));
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ------------------------------------------------------------------------------------------ */
/* Dispatch                                                                                   */
/* ------------------------------------------------------------------------------------------ */

static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXTENSION* extension = Ext(device);
    switch (extension->Kind) {
    case KindControl:
        switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
            return Complete(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_DEVICE_CONTROL:
            return ControlDeviceControl(irp);
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        }
    case KindChild:
        switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
            return ChildPnp(device, irp);
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return ChildInternalControl(&Children[extension->Slot], irp);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            if (stack->MinorFunction == IRP_MN_SET_POWER ||
                stack->MinorFunction == IRP_MN_QUERY_POWER) {
                return Complete(irp, STATUS_SUCCESS, 0);
            }
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        default:
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        }
    case KindBus:
    default:
        if (stack->MajorFunction == IRP_MJ_PNP) return BusPnp(device, irp);
        if (stack->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(extension->Lower, irp);
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(extension->Lower, irp);
    }
}

static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    UNICODE_STRING name, link;
    PDEVICE_OBJECT fdo, control;
    NTSTATUS status;
    if (BusFdo != NULL) return STATUS_DEVICE_ALREADY_ATTACHED; /* one bus per machine */
    status = IoCreateDevice(driver, sizeof(EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    RtlInitUnicodeString(&name, KDXBUS_CONTROL_DEVICE);
    status = IoCreateDevice(driver, sizeof(EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &control);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    RtlInitUnicodeString(&link, KDXBUS_CONTROL_LINK);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        IoDeleteDevice(fdo);
        return status;
    }
    Ext(control)->Kind = KindControl;
    control->Flags |= DO_BUFFERED_IO;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    Ext(fdo)->Kind = KindBus;
    Ext(fdo)->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    BusFdo = fdo;
    BusPdo = pdo;
    ControlDevice = control;
    return STATUS_SUCCESS;
}

static VOID Unload(PDRIVER_OBJECT driver)
{
    (void)driver;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    ULONG i;
    (void)registryPath;
    NTSTATUS status;
    KeInitializeSpinLock(&BusLock);
    status = StartTimerThread();
    if (!NT_SUCCESS(status)) return status;
    BusDriver = driver;
    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) driver->MajorFunction[i] = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
