// The simulated USB bus driver: one physical device object per plugged device, answering the
// internal USB requests, the Plug and Play and power requests that a hub's physical device
// object answers, and system control. Each request completes at once or is pended and
// completed later from a DPC, as the device model chooses.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "bus_schedule.h"
#include "kernel.h"
#include "usb_device.h"

namespace host {

class UsbBus;

enum class Direction { In, Out };

// Reset requests that reached a device, successful or not.
struct ResetCounts {
    ULONG pipeIn = 0;   // pipe resets of the bulk-IN pipe
    ULONG pipeOut = 0;  // pipe resets of the bulk-OUT pipe
    ULONG port = 0;
};

// A device on the bus: its model, its physical device object and its state.
class UsbDevice {
public:
    struct Pipe {
        UCHAR endpointAddress;
        USBD_PIPE_TYPE type;
        USHORT maximumPacketSize;
        ULONG maximumTransferSize;
        bool stalled = false;
    };

    DeviceModel model;
    PDEVICE_OBJECT physicalDevice = nullptr;
    ULONG port = 0;
    std::vector<UCHAR> deviceDescriptor;
    std::vector<UCHAR> configurationDescriptor;

    bool configured() const;
    DEVICE_POWER_STATE powerState() const;
    std::vector<UsbRequest> Requests() const;
    void ClearRequests();

    // The device's side of the bulk pipes, for tests, the simulator and benchmarks. Every call
    // is thread-safe and may complete waiting transfers (from a DPC).
    //
    // Bytes the device sends on its bulk-IN pipe, queued as packets of the pipe's size (the
    // last one short unless the bytes fill it); and one zero-length packet.
    void OfferIn(const std::vector<UCHAR>& bytes);
    void OfferZeroLengthIn();
    // The echo: what arrives on bulk-OUT is offered on bulk-IN, a zero-length transfer as a
    // zero-length packet.
    void SetEcho(bool on);
    // Holding OUT transfers: they wait, cancellable, until released (hold false).
    void HoldOut(bool hold);
    // The bulk-OUT transfers the device accepted since the last call, each with its bytes
    // (empty for a zero-length packet).
    std::vector<std::vector<UCHAR>> TakeOutTransfers();
    // Fails the next `count` transfers of a direction, waiting ones first, with `status` and
    // `usbdStatus`. USBD_STATUS_STALL_PID also halts the pipe: every transfer on it fails with
    // that status until the pipe (or the port) is reset.
    void FailNext(Direction direction, ULONG count, NTSTATUS status, USBD_STATUS usbdStatus);
    // The device is pulled out: every transfer the bus holds completes with
    // STATUS_DEVICE_NOT_CONNECTED and USBD_STATUS_DEVICE_GONE, later ones and every other URB
    // fail the same way at once, and the port reads disconnected. For good.
    void Vanish();
    bool gone() const;
    // The port as the hub reports it, at run time.
    void SetPortConnected(bool connected);
    void SetPortEnabled(bool enabled);
    void SetPortStatusFails(bool fails);
    ResetCounts Resets() const;
    // Transfers the bus holds for the device (waiting for data, held, or on a timed bus in
    // flight), and the IN bytes not yet taken by a transfer.
    size_t PendingTransfers(Direction direction) const;
    size_t QueuedInBytes() const;

private:
    friend class UsbBus;
    using BulkUrb = struct _URB_BULK_OR_INTERRUPT_TRANSFER;

    // A bulk transfer the bus holds.
    struct Transfer {
        PIRP irp = nullptr;
        BulkUrb* urb = nullptr;
        Pipe* pipe = nullptr;
        Direction direction = Direction::In;
        ULONG transferred = 0;  // IN bytes received so far
        ULONG packets = 0;      // packets it took on the bus
        NTSTATUS status = STATUS_SUCCESS;
        USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
        Ticks due = 0;  // timed bus: when it completes
    };
    struct Fault {
        ULONG remaining = 0;
        NTSTATUS status = STATUS_SUCCESS;
        USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    };
    // Completions decided under the mutex and made after it.
    using Completions = std::vector<PIRP>;

    void Log(const UsbRequest& request);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);

    // The data paths (usb_transfers.cpp); the methods ending in Locked run under mutex_.
    void InitializeDataPaths(PDRIVER_OBJECT bus);
    NTSTATUS Submit(PIRP irp, BulkUrb& urb, Pipe& pipe, Direction direction);
    std::deque<Transfer>& Queue(Direction direction);
    void ServeLocked(Direction direction, Completions& done);
    bool ServeInLocked(Transfer& transfer);
    void EndLocked(Transfer transfer, NTSTATUS status, USBD_STATUS usbdStatus, Completions& done);
    void DeliverLocked(Transfer& transfer, Completions& done);
    void ArmTimerLocked(Ticks due);
    void QueuePacketsLocked(const std::vector<UCHAR>& bytes);
    void CompleteLater(Completions& done);
    bool RemoveLocked(PIRP irp, Transfer* removed);
    void ServeAndComplete(Direction direction);
    static VOID CancelTransfer(PDEVICE_OBJECT deviceObject, PIRP irp);
    static VOID BusTimeDpc(PKDPC dpc, PVOID context, PVOID, PVOID);

    mutable std::mutex mutex_;
    bool gone_ = false;
    bool configured_ = false;
    std::vector<std::unique_ptr<Pipe>> pipes_;  // a pipe's handle is its address here
    std::vector<UsbRequest> requests_;
    DEVICE_POWER_STATE powerState_ = PowerDeviceD0;

    PDRIVER_OBJECT busDriver_ = nullptr;
    std::deque<Transfer> waitingIn_;   // IN transfers waiting for packets, in order
    std::deque<Transfer> waitingOut_;  // OUT transfers held by the device, in order
    std::deque<Transfer> inFlight_;    // timed bus: transfers by completion time
    std::deque<std::vector<UCHAR>> inPackets_;
    size_t inBytes_ = 0;
    std::vector<std::vector<UCHAR>> outTransfers_;
    Fault faults_[2];
    ResetCounts resets_;
    std::optional<BusSchedule> schedule_;
    KTIMER busTimer_{};
    KDPC busTimerDpc_{};
    Ticks timerDue_ = kForever;
};

UsbDevice& DeviceFromObject(PDEVICE_OBJECT physicalDevice);

class UsbBus {
public:
    UsbBus();
    ~UsbBus();

    PDRIVER_OBJECT driver() { return &driver_; }

    // A device is connected to a free port: the bus creates its physical device object.
    UsbDevice& Connect(const DeviceModel& model);
    UsbDevice* DeviceOf(PDEVICE_OBJECT physicalDevice);
    // The physical device objects of the devices still on the bus, in the order they came.
    std::vector<PDEVICE_OBJECT> PresentDevices();
    // After the removal of a device that is gone: its interfaces and its physical device object
    // are deleted. The UsbDevice stays for its request log, with no physical device object.
    void Delete(UsbDevice& device);

private:
    static NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS Finish(UsbDevice& device, PIRP irp, NTSTATUS status);

    NTSTATUS SubmitUrb(UsbDevice& device, PURB urb);
    NTSTATUS BulkTransfer(UsbDevice& device, PIRP irp, struct _URB_BULK_OR_INTERRUPT_TRANSFER& urb);
    NTSTATUS GetDescriptor(UsbDevice& device, struct _URB_CONTROL_DESCRIPTOR_REQUEST& request);
    NTSTATUS SelectConfiguration(UsbDevice& device, struct _URB_SELECT_CONFIGURATION& request);
    NTSTATUS ResetPipe(UsbDevice& device, struct _URB_PIPE_REQUEST& request);
    NTSTATUS QueryCapabilities(UsbDevice& device, PDEVICE_CAPABILITIES capabilities);
    NTSTATUS QueryId(UsbDevice& device, BUS_QUERY_ID_TYPE type, ULONG_PTR* information);
    NTSTATUS QueryRelations(UsbDevice& device, DEVICE_RELATION_TYPE type, ULONG_PTR* information);

    DRIVER_OBJECT driver_{};
    DRIVER_EXTENSION driverExtension_{};
    std::u16string driverName_ = u"\\Driver\\usbhub";
    std::mutex mutex_;
    std::vector<std::unique_ptr<UsbDevice>> devices_;
    ULONG nextPort_ = 1;
};

}  // namespace host
