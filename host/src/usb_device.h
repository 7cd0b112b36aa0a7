// Simulated USB devices: a device model built from a short description (identity,
// interfaces with their endpoints, and the faults the device or its port shows), the
// descriptors it reports, and the log of every request the driver sent it.
#pragma once

#include <usb.h>

#include <optional>
#include <string>
#include <vector>

namespace host {

// How long transfers take on the bus. Unlimited: a transfer completes as soon as the device has
// answered it. Full and High: the bus-time model of a full-speed bus (64-byte bulk packets,
// 1 ms frames, at most 19 bulk packets a frame) or a high-speed bus (512-byte bulk packets,
// 125 us microframes, at most 13 bulk packets a microframe); a transfer completes at the end
// of the frame that carries its last packet, and both directions share each frame's packets.
enum class BusSpeed { Unlimited, Full, High };

struct EndpointModel {
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    bool in = true;
    UCHAR number = 0;  // endpoint number 1..15; 0 picks the next free one
    USHORT maxPacketSize = 64;
    UCHAR interval = 0;
};

struct InterfaceModel {
    UCHAR number = 0;
    UCHAR alternateSetting = 0;
    UCHAR interfaceClass = 0xFF;
    UCHAR interfaceSubClass = 0;
    UCHAR interfaceProtocol = 0;
    std::vector<EndpointModel> endpoints;
};

struct DeviceModel {
    USHORT vendorId = 0x0000;
    USHORT productId = 0x005B;
    USHORT deviceRelease = 0x0100;
    std::vector<InterfaceModel> interfaces;  // in descriptor order, alternate settings included

    // Descriptor faults.
    std::optional<USHORT> reportedTotalLength;    // a wTotalLength that lies
    std::optional<UCHAR> reportedInterfaceCount;  // a bNumInterfaces that lies
    USHORT paddedTotalLength = 0;  // pad with vendor descriptors up to this wTotalLength
    bool configurationTransfersNothing = false;  // the descriptor request returns 0 bytes
    NTSTATUS deviceDescriptorStatus = STATUS_SUCCESS;
    NTSTATUS selectConfigurationStatus = STATUS_SUCCESS;
    USBD_STATUS selectConfigurationUsbdStatus = USBD_STATUS_SUCCESS;

    // Port and bus faults.
    bool connected = true;
    bool enabled = true;
    bool portStatusFails = false;
    bool resetPortFails = false;
    bool resetPipeFails = false;
    bool capabilitiesFail = false;
    bool registryKeyFails = false;  // the device's hardware key cannot be opened
    bool refusesAttach = false;     // the physical device object is already going away
    bool remoteWake = false;

    // Values its INF put into the device's hardware key before the driver starts.
    struct RegistryValue {
        std::u16string name;
        ULONG type;
        std::vector<UCHAR> data;
        static RegistryValue Dword(std::u16string name, ULONG value);
    };
    std::vector<RegistryValue> hardwareKeyValues;

    // Descriptors given as raw bytes (fuzzing a device that describes itself badly): when set,
    // the device answers the descriptor request with these bytes as they are, however short or
    // malformed, instead of descriptors built from the description above. The interfaces and
    // endpoints it can configure are then read from the configuration bytes
    // (InterfacesOfConfiguration), numbered as the bytes say.
    std::optional<std::vector<UCHAR>> deviceDescriptorBytes;
    std::optional<std::vector<UCHAR>> configurationDescriptorBytes;

    // How the bus completes this device's requests: at once, or pended and completed
    // later from a DPC.
    bool asynchronous = false;

    // The data paths at plug time (each can be changed at run time through UsbDevice).
    bool echo = false;     // what arrives on the bulk-OUT pipe is offered back on bulk-IN
    bool holdOut = false;  // bulk-OUT transfers wait until released or cancelled
    BusSpeed busSpeed = BusSpeed::Unlimited;

    // The same description with every endpoint numbered: endpoints without a number get the
    // next free one of their direction, from 1, in descriptor order. On a timed bus every bulk
    // endpoint also gets the bus's packet size.
    DeviceModel WithEndpointNumbers() const;

    // A device with one interface of a bulk-IN and a bulk-OUT pipe of the given packet size.
    static DeviceModel SerialAdapter(USHORT vendorId, USHORT productId, USHORT packetSize = 64);
};

// The descriptors a device model reports.
std::vector<UCHAR> DeviceDescriptorOf(const DeviceModel& model);
std::vector<UCHAR> ConfigurationDescriptorOf(const DeviceModel& model);

// The interface descriptors of a configuration's bytes, in order, each with the endpoint
// descriptors that follow it up to the next interface; the walk stops at a descriptor shorter
// than two bytes or running past the bytes (wTotalLength is not trusted).
std::vector<InterfaceModel> InterfacesOfConfiguration(const std::vector<UCHAR>& bytes);

// One request that reached a simulated device, with what the bus made of it.
struct UsbRequest {
    enum class Kind {
        GetDescriptor,
        SelectConfiguration,
        Deconfigure,
        ResetPipe,
        GetPortStatus,
        ResetPort,
    };
    explicit UsbRequest(Kind kind) : kind(kind) {}

    Kind kind;
    UCHAR descriptorType = 0;     // GetDescriptor
    ULONG requestedLength = 0;    // GetDescriptor
    ULONG transferredLength = 0;  // GetDescriptor
    // SelectConfiguration: per interface information, the MaximumTransferSize of each pipe.
    std::vector<std::vector<ULONG>> maximumTransferSizes;
    UCHAR endpointAddress = 0;  // ResetPipe
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;

    std::string Describe() const;
};

}  // namespace host
