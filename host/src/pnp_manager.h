// The Plug and Play and power managers: plugging a device (the bus creates its physical
// device object, the function driver's add-device routine runs, the start request follows),
// and the Plug and Play and power requests they send on demand. Every request is a new IRP
// sent to the top of the device's stack in the calling thread, which waits for it; new IRPs
// carry STATUS_NOT_SUPPORTED in their status, as the real managers put there.
#pragma once

#include <functional>

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
    // given status and information, and returns its final status and information.
    NTSTATUS Send(PDEVICE_OBJECT physicalDevice, UCHAR major, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& setup, ULONG_PTR* information,
                  NTSTATUS arrivingStatus = STATUS_NOT_SUPPORTED,
                  ULONG_PTR arrivingInformation = 0);

private:
    UsbBus& bus_;
};

}  // namespace host
