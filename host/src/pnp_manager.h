// The Plug and Play and power managers: plugging a device (the bus creates its physical
// device object, the function driver's add-device routine runs, the start request follows),
// the sequences Windows runs to stop, restart and remove a device and after it is unplugged,
// and the Plug and Play and power requests they send on demand. Every request is a new IRP
// sent to the top of the device's stack in the calling thread, which waits for it; new IRPs
// carry STATUS_NOT_SUPPORTED in their status, as the real managers put there.
#pragma once

#include <functional>
#include <map>
#include <mutex>

#include "kernel.h"
#include "usb_bus.h"

namespace host {

class PnpManager {
public:
    struct Plugged {
        UsbDevice* device = nullptr;
        PDEVICE_OBJECT physicalDevice = nullptr;
        PDEVICE_OBJECT functionDevice = nullptr;  // the top of the stack, null when add failed
        NTSTATUS addStatus = STATUS_UNSUCCESSFUL;
        NTSTATUS startStatus = STATUS_UNSUCCESSFUL;  // only when the add succeeded
    };

    explicit PnpManager(UsbBus& bus) : bus_(bus) {}

    // Connects a device and brings it up with the function driver.
    Plugged Plug(const DeviceModel& model, PDRIVER_OBJECT functionDriver);

    // After a successful AddDevice: every device the function driver attached above the
    // physical device object must have DO_DEVICE_INITIALIZING cleared.
    void CheckAddedDevices(PDEVICE_OBJECT physicalDevice, PDRIVER_OBJECT functionDriver);

    // With `on`, Plug sends the removal that Windows sends after a failed start (off by
    // default, so that a failed start's state can be looked at).
    void SetRemoveAfterFailedStart(bool on) { removeAfterFailedStart_ = on; }

    // A stop: query-stop, then the stop when the query succeeded, otherwise cancel-stop; with
    // `query` false the stop alone. Returns the status of the last request sent.
    NTSTATUS Stop(PDEVICE_OBJECT physicalDevice, bool query = true);
    // A start (after a stop); a start that fails is followed by the removal.
    NTSTATUS Start(PDEVICE_OBJECT physicalDevice);
    // A removal as the user asks for it: query-remove, then the removal when the query
    // succeeded, otherwise cancel-remove. Returns the query's status.
    NTSTATUS Remove(PDEVICE_OBJECT physicalDevice);
    // A surprise removal. The removal follows at once when no handle of the device is open,
    // otherwise when the application closes the last one. Returns the surprise removal's status.
    NTSTATUS SurpriseRemove(PDEVICE_OBJECT physicalDevice);
    // The device is pulled out: the bus makes it gone (its transfers fail), then the surprise
    // removal and, in its time, the removal follow; the bus deletes the physical device object
    // after the removal. Returns the surprise removal's status.
    NTSTATUS Unplug(PDEVICE_OBJECT physicalDevice);
    // The removal request alone.
    NTSTATUS SendRemove(PDEVICE_OBJECT physicalDevice);

    // The application closed a handle of `device` (any device of a stack): a removal that
    // waited for the last handle is sent now.
    void HandleClosed(PDEVICE_OBJECT device);
    // True once the removal request has been sent for the device; true while a removal waits
    // for the device's handles to be closed.
    bool Removed(PDEVICE_OBJECT physicalDevice) const;
    bool RemovalWaiting(PDEVICE_OBJECT physicalDevice) const;

    // Sends one Plug and Play request; `setup` fills the stack location's parameters.
    NTSTATUS SendPnp(PDEVICE_OBJECT physicalDevice, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr,
                     ULONG_PTR* information = nullptr);
    // IRP_MN_QUERY_CAPABILITIES with a record prepared as the manager prepares it.
    NTSTATUS QueryCapabilities(PDEVICE_OBJECT physicalDevice, DEVICE_CAPABILITIES* capabilities);
    // IRP_MN_QUERY_ID; the returned string's pool buffer is freed here.
    NTSTATUS QueryId(PDEVICE_OBJECT physicalDevice, BUS_QUERY_ID_TYPE type, std::u16string* id);

    // Sends one power request (set-power, query-power, wait-wake or any other minor).
    NTSTATUS SendPower(PDEVICE_OBJECT physicalDevice, UCHAR minor, POWER_STATE_TYPE type,
                       POWER_STATE state);

    // Sends one request of any major function as a system component does, arriving with the
    // given status and information, and returns its final status and information; `prepare`
    // may set up the IRP itself (its system buffer, for instance).
    NTSTATUS Send(PDEVICE_OBJECT physicalDevice, UCHAR major, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& setup, ULONG_PTR* information,
                  NTSTATUS arrivingStatus = STATUS_NOT_SUPPORTED, ULONG_PTR arrivingInformation = 0,
                  const std::function<void(PIRP)>& prepare = nullptr);

private:
    struct DeviceState {
        bool removalWaits = false;  // surprise-removed, waiting for the last handle
        bool unplugged = false;
        bool removed = false;
    };
    void RemoveWhenClosed(PDEVICE_OBJECT physicalDevice);

    UsbBus& bus_;
    bool removeAfterFailedStart_ = false;
    mutable std::mutex mutex_;
    std::map<PDEVICE_OBJECT, DeviceState> states_;
};

// The physical device object at the bottom of a device's stack.
PDEVICE_OBJECT StackBottom(PDEVICE_OBJECT device);

}  // namespace host
