// The simulated USB bus driver: one physical device object per plugged device, answering the
// internal USB requests, the Plug and Play and power requests that a hub's physical device
// object answers, and system control. Each request completes at once or is pended and
// completed later from a DPC, as the device model chooses.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "kernel.h"
#include "usb_device.h"

namespace host {

class UsbBus;

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

private:
    friend class UsbBus;
    void Log(const UsbRequest& request);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);

    mutable std::mutex mutex_;
    bool configured_ = false;
    std::vector<std::unique_ptr<Pipe>> pipes_;  // a pipe's handle is its address here
    std::vector<UsbRequest> requests_;
    DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
};

class UsbBus {
public:
    UsbBus();
    ~UsbBus();

    PDRIVER_OBJECT driver() { return &driver_; }

    // A device is connected to a free port: the bus creates its physical device object.
    UsbDevice& Connect(const DeviceModel& model);
    UsbDevice* DeviceOf(PDEVICE_OBJECT physicalDevice);

private:
    static NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS Finish(UsbDevice& device, PIRP irp, NTSTATUS status);

    NTSTATUS SubmitUrb(UsbDevice& device, PURB urb);
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
