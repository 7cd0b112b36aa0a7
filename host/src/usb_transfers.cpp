// The bulk pipes of the simulated bus: URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER as a host
// controller serves it, and the device's side of the pipes (see usb_bus.h).
//
// Transfers that cannot end when they are submitted wait in a queue per direction with a
// cancel routine set: IN transfers until the device has packets, OUT transfers while the device
// holds them. A transfer ends at a short packet or a full buffer (IN), when the device accepts it
// (OUT), or with a fault. Every transfer that ends after its dispatch routine returned completes
// from a DPC. On a timed bus a transfer that ended well stays in flight, still cancellable,
// until the end of the frame that carries its last packet.
//
// The queues are changed holding the global cancel spin lock and then the device's mutex, so
// that a transfer whose Cancel flag is clear cannot be entering its cancel routine; a transfer
// whose Cancel flag is set belongs to its cancel routine, which takes the same two locks.
#include <usbioctl.h>

#include <algorithm>

#include "usb_bus.h"

namespace host {

namespace {

size_t Index(Direction direction) { return direction == Direction::In ? 0 : 1; }

// The cancel spin lock, then a device's mutex. While the mutex is held the thread is not
// preempted by the schedule explorer: the kernel routines called under it (IoSetCancelRoutine,
// the queuing of completions) are preemption points, and a thread that took the baton there
// would block on the mutex, outside host waits, for good.
class TransferLock {
public:
    explicit TransferLock(std::mutex& mutex) : mutex_(mutex)
    {
        IoAcquireCancelSpinLock(&irql_);
        mutex_.lock();
        CurrentThread().unpreemptibleSections++;
    }
    ~TransferLock()
    {
        CurrentThread().unpreemptibleSections--;
        mutex_.unlock();
        IoReleaseCancelSpinLock(irql_);
    }
    TransferLock(const TransferLock&) = delete;
    TransferLock& operator=(const TransferLock&) = delete;

private:
    std::mutex& mutex_;
    KIRQL irql_ = PASSIVE_LEVEL;
};

}  // namespace

void UsbDevice::InitializeDataPaths(PDRIVER_OBJECT bus)
{
    busDriver_ = bus;
    if (model.busSpeed != BusSpeed::Unlimited) schedule_.emplace(model.busSpeed);
    DriverContext context(bus);
    KeInitializeTimer(&busTimer_);
    KeInitializeDpc(&busTimerDpc_, BusTimeDpc, this);
}

std::deque<UsbDevice::Transfer>& UsbDevice::Queue(Direction direction)
{
    return direction == Direction::In ? waitingIn_ : waitingOut_;
}

// ---------------------------------------------------------------------------------------------
// The host controller's side
// ---------------------------------------------------------------------------------------------
NTSTATUS UsbBus::BulkTransfer(UsbDevice& device, PIRP irp, UsbDevice::BulkUrb& urb)
{
    if (urb.TransferBufferMDL != nullptr || urb.UrbLink != nullptr) {
        ReportViolation(Rule::NotEmulated, "A bulk transfer with an MDL or a linked URB.");
    }
    UsbDevice::Pipe* pipe;
    {
        std::lock_guard<std::mutex> guard(device.mutex_);
        pipe = device.FindPipe(urb.PipeHandle);
    }
    USBD_STATUS usbdStatus = USBD_STATUS_INVALID_PIPE_HANDLE;
    if (pipe != nullptr) {
        if (pipe->type != UsbdPipeTypeBulk) {
            ReportViolation(Rule::NotEmulated, "A transfer on an interrupt pipe.");
        }
        // The direction flag must match the endpoint, a buffer must be there for the length,
        // and an IN transfer needs room for at least one packet.
        bool in = (pipe->endpointAddress & 0x80) != 0;
        bool flaggedIn = (urb.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (urb.Hdr.Length >= sizeof(urb) && in == flaggedIn &&
            (urb.TransferBuffer != nullptr || urb.TransferBufferLength == 0) &&
            (!in || urb.TransferBufferLength != 0)) {
            return device.Submit(irp, urb, *pipe, in ? Direction::In : Direction::Out);
        }
        usbdStatus = USBD_STATUS_INVALID_PARAMETER;
    }
    urb.Hdr.Status = usbdStatus;
    urb.TransferBufferLength = 0;
    irp->IoStatus.Information = 0;
    return Finish(device, irp, STATUS_INVALID_PARAMETER);
}

// Queues the transfer and serves its direction. In the immediate mode a transfer that ends at
// once completes inside this call; any other completes later from a DPC.
NTSTATUS UsbDevice::Submit(PIRP irp, BulkUrb& urb, Pipe& pipe, Direction direction)
{
    Transfer transfer;
    transfer.irp = irp;
    transfer.urb = &urb;
    transfer.pipe = &pipe;
    transfer.direction = direction;
    bool atOnce = !model.asynchronous && !schedule_;
    irp->IoStatus.Information = 0;
    Completions done;
    bool pending = true;
    {
        TransferLock lock(mutex_);
        if (!atOnce) IoMarkIrpPending(irp);
        if (irp->Cancel) {  // cancelled on its way down, before it had a cancel routine
            urb.Hdr.Status = USBD_STATUS_CANCELED;
            urb.TransferBufferLength = 0;
            irp->IoStatus.Status = STATUS_CANCELLED;
            done.push_back(irp);
        } else {
            IoSetCancelRoutine(irp, CancelTransfer);
            Queue(direction).push_back(transfer);
            ServeLocked(direction, done);
        }
        auto self = std::find(done.begin(), done.end(), irp);
        if (atOnce && self != done.end()) {
            done.erase(self);
            pending = false;
        } else if (atOnce) {
            IoMarkIrpPending(irp);
        }
        CompleteLater(done);
    }
    if (pending) return STATUS_PENDING;
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Ends every transfer of the direction that can end now, in order.
void UsbDevice::ServeLocked(Direction direction, Completions& done)
{
    std::deque<Transfer>& queue = Queue(direction);
    Fault& fault = faults_[Index(direction)];
    for (size_t i = 0; i < queue.size();) {
        Transfer& transfer = queue[i];
        if (transfer.irp->Cancel) {  // its cancel routine takes it
            i++;
            continue;
        }
        NTSTATUS status = STATUS_SUCCESS;
        USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
        if (!model.connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
            usbdStatus = USBD_STATUS_DEVICE_GONE;
        } else if (!model.enabled) {
            status = STATUS_UNSUCCESSFUL;
            usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
        } else if (transfer.pipe->stalled) {
            status = STATUS_UNSUCCESSFUL;
            usbdStatus = USBD_STATUS_STALL_PID;
        } else if (fault.remaining > 0) {
            fault.remaining--;
            status = fault.status;
            usbdStatus = fault.usbdStatus;
            if (usbdStatus == USBD_STATUS_STALL_PID) transfer.pipe->stalled = true;
        } else if (direction == Direction::In ? !ServeInLocked(transfer) : model.holdOut) {
            break;  // the transfers behind it wait too
        } else {
            status = transfer.status;
            usbdStatus = transfer.usbdStatus;
        }
        Transfer ended = transfer;
        queue.erase(queue.begin() + ptrdiff_t(i));
        EndLocked(ended, status, usbdStatus, done);
    }
}

// Moves the device's packets into an IN transfer; true when the transfer ends: at a short
// packet (zero-length included), a full buffer, or a packet larger than the room left (the
// device babbles: a data overrun). Without USBD_SHORT_TRANSFER_OK a short packet that leaves
// the buffer unfilled is an error, as host controllers report it, with the bytes received.
bool UsbDevice::ServeInLocked(Transfer& transfer)
{
    ULONG length = transfer.urb->TransferBufferLength;
    auto* buffer = static_cast<PUCHAR>(transfer.urb->TransferBuffer);
    while (!inPackets_.empty()) {
        std::vector<UCHAR> packet = std::move(inPackets_.front());
        inPackets_.pop_front();
        inBytes_ -= packet.size();
        transfer.packets++;
        ULONG room = length - transfer.transferred;
        ULONG size = ULONG(packet.size());
        if (size > room) {
            memcpy(buffer + transfer.transferred, packet.data(), room);
            transfer.transferred = length;
            transfer.status = STATUS_UNSUCCESSFUL;
            transfer.usbdStatus = USBD_STATUS_DATA_OVERRUN;
            return true;
        }
        memcpy(buffer + transfer.transferred, packet.data(), size);
        transfer.transferred += size;
        if (transfer.transferred == length) return true;
        if (size < transfer.pipe->maximumPacketSize) {
            if ((transfer.urb->TransferFlags & USBD_SHORT_TRANSFER_OK) == 0) {
                transfer.status = STATUS_UNSUCCESSFUL;
                transfer.usbdStatus = USBD_STATUS_ERROR_SHORT_TRANSFER;
            }
            return true;
        }
    }
    return false;
}

// A transfer has ended with a status. On a timed bus one that succeeded first takes its packets'
// place on the bus and completes at the end of its last frame.
void UsbDevice::EndLocked(Transfer transfer, NTSTATUS status, USBD_STATUS usbdStatus,
                          Completions& done)
{
    transfer.status = status;
    transfer.usbdStatus = usbdStatus;
    if (schedule_ && NT_SUCCESS(status)) {
        if (transfer.direction == Direction::Out) {
            ULONG size = transfer.pipe->maximumPacketSize;
            transfer.packets = (transfer.urb->TransferBufferLength + size - 1) / size;
        }
        transfer.due = schedule_->Place(Scheduler::Instance().Now(), transfer.packets);
        inFlight_.push_back(transfer);
        ArmTimerLocked(transfer.due);
        return;
    }
    DeliverLocked(transfer, done);
}

// Fills in the URB and the IRP's status for completion. An OUT transfer that succeeded is the
// device's now: it is recorded, and echoed when the echo is on.
void UsbDevice::DeliverLocked(Transfer& transfer, Completions& done)
{
    IoSetCancelRoutine(transfer.irp, nullptr);
    BulkUrb& urb = *transfer.urb;
    bool echoed = false;
    if (transfer.direction == Direction::Out) {
        if (NT_SUCCESS(transfer.status)) {
            auto* bytes = static_cast<const UCHAR*>(urb.TransferBuffer);
            std::vector<UCHAR> data(bytes, bytes + urb.TransferBufferLength);
            if (model.echo) {
                if (data.empty()) inPackets_.emplace_back();
                QueuePacketsLocked(data);
                echoed = true;
            }
            outTransfers_.push_back(std::move(data));
        } else {
            urb.TransferBufferLength = 0;
        }
    } else {
        urb.TransferBufferLength = transfer.transferred;
    }
    urb.Hdr.Status = transfer.usbdStatus;
    transfer.irp->IoStatus.Status = transfer.status;
    done.push_back(transfer.irp);
    if (echoed) ServeLocked(Direction::In, done);
}

void UsbDevice::QueuePacketsLocked(const std::vector<UCHAR>& bytes)
{
    size_t size = 64;
    for (const InterfaceModel& interface : model.interfaces) {
        for (const EndpointModel& endpoint : interface.endpoints) {
            if (endpoint.in && endpoint.type == UsbdPipeTypeBulk) {
                size = endpoint.maxPacketSize;
                break;
            }
        }
    }
    for (size_t offset = 0; offset < bytes.size(); offset += size) {
        size_t end = std::min(bytes.size(), offset + size);
        inPackets_.emplace_back(bytes.begin() + ptrdiff_t(offset), bytes.begin() + ptrdiff_t(end));
    }
    inBytes_ += bytes.size();
}

void UsbDevice::CompleteLater(Completions& done)
{
    for (PIRP irp : done) {
        Kernel::Current().deferred.QueueSystemDpc(
            busDriver_, [irp] { IofCompleteRequest(irp, IO_NO_INCREMENT); });
    }
    done.clear();
}

void UsbDevice::ArmTimerLocked(Ticks due)
{
    if (due >= timerDue_) return;
    timerDue_ = due;
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = Scheduler::kSystemTimeEpoch + due;
    DriverContext context(busDriver_);
    KeSetTimer(&busTimer_, dueTime, &busTimerDpc_);
}

// Completes the transfers in flight whose frame has ended.
VOID UsbDevice::BusTimeDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto& device = *static_cast<UsbDevice*>(context);
    Completions done;
    {
        TransferLock lock(device.mutex_);
        device.timerDue_ = kForever;
        Ticks now = Scheduler::Instance().Now();
        for (size_t i = 0; i < device.inFlight_.size();) {
            Transfer& transfer = device.inFlight_[i];
            if (transfer.due > now) {
                device.ArmTimerLocked(transfer.due);
                i++;
            } else if (transfer.irp->Cancel) {
                i++;
            } else {
                Transfer ended = transfer;
                device.inFlight_.erase(device.inFlight_.begin() + ptrdiff_t(i));
                device.DeliverLocked(ended, done);
            }
        }
    }
    for (PIRP irp : done) IofCompleteRequest(irp, IO_NO_INCREMENT);
}

bool UsbDevice::RemoveLocked(PIRP irp, Transfer* removed)
{
    for (std::deque<Transfer>* queue : {&waitingIn_, &waitingOut_, &inFlight_}) {
        for (auto it = queue->begin(); it != queue->end(); ++it) {
            if (it->irp == irp) {
                *removed = *it;
                queue->erase(it);
                return true;
            }
        }
    }
    return false;
}

// The cancel routine of every transfer the bus holds: the transfer completes from a DPC with
// STATUS_CANCELLED and USBD_STATUS_CANCELED. Bytes an IN transfer had received are lost.
VOID UsbDevice::CancelTransfer(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    UsbDevice& device = DeviceFromObject(deviceObject);
    Transfer removed;
    bool found;
    {
        std::lock_guard<std::mutex> guard(device.mutex_);
        found = device.RemoveLocked(irp, &removed);
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (!found) ReportViolation(Rule::NotEmulated, "The bus lost a transfer it was cancelling.");
    removed.urb->Hdr.Status = USBD_STATUS_CANCELED;
    removed.urb->TransferBufferLength = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    Completions done{irp};
    device.CompleteLater(done);
}

// ---------------------------------------------------------------------------------------------
// The device's side
// ---------------------------------------------------------------------------------------------
void UsbDevice::ServeAndComplete(Direction direction)
{
    TransferLock lock(mutex_);
    Completions done;
    ServeLocked(direction, done);
    CompleteLater(done);
}

void UsbDevice::OfferIn(const std::vector<UCHAR>& bytes)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        QueuePacketsLocked(bytes);
    }
    ServeAndComplete(Direction::In);
}

void UsbDevice::OfferZeroLengthIn()
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        inPackets_.emplace_back();
    }
    ServeAndComplete(Direction::In);
}

void UsbDevice::SetEcho(bool on)
{
    std::lock_guard<std::mutex> guard(mutex_);
    model.echo = on;
}

void UsbDevice::HoldOut(bool hold)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        model.holdOut = hold;
    }
    ServeAndComplete(Direction::Out);
}

std::vector<std::vector<UCHAR>> UsbDevice::TakeOutTransfers()
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::vector<UCHAR>> taken;
    taken.swap(outTransfers_);
    return taken;
}

void UsbDevice::FailNext(Direction direction, ULONG count, NTSTATUS status, USBD_STATUS usbdStatus)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        faults_[Index(direction)] = Fault{count, status, usbdStatus};
    }
    ServeAndComplete(direction);
}

void UsbDevice::SetPortConnected(bool connected)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        model.connected = connected;
    }
    ServeAndComplete(Direction::In);
    ServeAndComplete(Direction::Out);
}

void UsbDevice::SetPortEnabled(bool enabled)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        model.enabled = enabled;
    }
    ServeAndComplete(Direction::In);
    ServeAndComplete(Direction::Out);
}

void UsbDevice::SetPortStatusFails(bool fails)
{
    std::lock_guard<std::mutex> guard(mutex_);
    model.portStatusFails = fails;
}

ResetCounts UsbDevice::Resets() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return resets_;
}

size_t UsbDevice::PendingTransfers(Direction direction) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    size_t count = (direction == Direction::In ? waitingIn_ : waitingOut_).size();
    for (const Transfer& transfer : inFlight_) count += transfer.direction == direction;
    return count;
}

size_t UsbDevice::QueuedInBytes() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return inBytes_;
}

}  // namespace host
