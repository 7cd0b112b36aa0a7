// Simulated USB devices: the descriptors a device model reports (see usb_device.h).
#include "usb_device.h"

#include <cstdio>
#include <cstring>

#include "verifier.h"

namespace host {

namespace {

void Put16(std::vector<UCHAR>& bytes, USHORT value)
{
    bytes.push_back(UCHAR(value & 0xFF));
    bytes.push_back(UCHAR(value >> 8));
}

// Vendor-specific descriptors that fill a configuration up to a chosen total length. They sit
// between the configuration descriptor and the first interface, where class and vendor
// descriptors may appear, so a reader that stops early misses the interfaces.
void AppendPadding(std::vector<UCHAR>& bytes, size_t length)
{
    while (length >= 2) {
        size_t chunk = length > 255 ? 255 : length;
        if (length - chunk == 1) chunk--;  // never leave a remainder too short for a descriptor
        bytes.push_back(UCHAR(chunk));
        bytes.push_back(0x41);  // vendor-specific descriptor type
        bytes.insert(bytes.end(), chunk - 2, 0x5A);
        length -= chunk;
    }
}

size_t InterfaceBytes(const InterfaceModel& interface)
{
    return sizeof(USB_INTERFACE_DESCRIPTOR) +
           interface.endpoints.size() * sizeof(USB_ENDPOINT_DESCRIPTOR);
}

}  // namespace

DeviceModel DeviceModel::SerialAdapter(USHORT vendorId, USHORT productId, USHORT packetSize)
{
    DeviceModel model;
    model.vendorId = vendorId;
    model.productId = productId;
    InterfaceModel interface;
    interface.endpoints.push_back(EndpointModel{UsbdPipeTypeBulk, true, 0, packetSize, 0});
    interface.endpoints.push_back(EndpointModel{UsbdPipeTypeBulk, false, 0, packetSize, 0});
    model.interfaces.push_back(interface);
    return model;
}

DeviceModel::RegistryValue DeviceModel::RegistryValue::Dword(std::u16string name, ULONG value)
{
    std::vector<UCHAR> data(sizeof(ULONG));
    memcpy(data.data(), &value, sizeof(ULONG));
    return RegistryValue{std::move(name), REG_DWORD, std::move(data)};
}

DeviceModel DeviceModel::WithEndpointNumbers() const
{
    DeviceModel resolved = *this;
    UCHAR nextIn = 1, nextOut = 1;
    for (InterfaceModel& interface : resolved.interfaces) {
        for (EndpointModel& endpoint : interface.endpoints) {
            if (endpoint.number == 0) endpoint.number = endpoint.in ? nextIn++ : nextOut++;
            if (endpoint.type == UsbdPipeTypeBulk && busSpeed != BusSpeed::Unlimited) {
                endpoint.maxPacketSize = busSpeed == BusSpeed::High ? 512 : 64;
            }
            if (endpoint.number > 15) {
                ReportViolation(Rule::NotEmulated,
                                "A device model with more than 15 endpoints of one direction.");
            }
        }
    }
    return resolved;
}

std::vector<UCHAR> DeviceDescriptorOf(const DeviceModel& model)
{
    std::vector<UCHAR> bytes;
    bytes.push_back(sizeof(USB_DEVICE_DESCRIPTOR));
    bytes.push_back(USB_DEVICE_DESCRIPTOR_TYPE);
    Put16(bytes, 0x0200);  // bcdUSB
    bytes.push_back(0);    // class, subclass, protocol: per interface
    bytes.push_back(0);
    bytes.push_back(0);
    bytes.push_back(64);  // bMaxPacketSize0
    Put16(bytes, model.vendorId);
    Put16(bytes, model.productId);
    Put16(bytes, model.deviceRelease);
    bytes.push_back(0);  // no strings
    bytes.push_back(0);
    bytes.push_back(0);
    bytes.push_back(1);  // one configuration
    return bytes;
}

std::vector<UCHAR> ConfigurationDescriptorOf(const DeviceModel& model)
{
    size_t natural = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    std::vector<UCHAR> distinctNumbers;
    for (const InterfaceModel& interface : model.interfaces) {
        natural += InterfaceBytes(interface);
        bool seen = false;
        for (UCHAR number : distinctNumbers) seen |= number == interface.number;
        if (!seen) distinctNumbers.push_back(interface.number);
    }
    size_t padding = model.paddedTotalLength > natural ? model.paddedTotalLength - natural : 0;
    size_t total = natural + padding;
    if (total > 0xFFFF) ReportViolation(Rule::NotEmulated, "A configuration over 65535 bytes.");

    std::vector<UCHAR> bytes;
    bytes.push_back(sizeof(USB_CONFIGURATION_DESCRIPTOR));
    bytes.push_back(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    Put16(bytes, model.reportedTotalLength.value_or(USHORT(total)));
    bytes.push_back(model.reportedInterfaceCount.value_or(UCHAR(distinctNumbers.size())));
    bytes.push_back(1);  // bConfigurationValue
    bytes.push_back(0);  // iConfiguration
    bytes.push_back(UCHAR(0x80 | (model.remoteWake ? 0x20 : 0)));
    bytes.push_back(50);  // 100 mA
    AppendPadding(bytes, padding);

    for (const InterfaceModel& interface : model.WithEndpointNumbers().interfaces) {
        bytes.push_back(sizeof(USB_INTERFACE_DESCRIPTOR));
        bytes.push_back(USB_INTERFACE_DESCRIPTOR_TYPE);
        bytes.push_back(interface.number);
        bytes.push_back(interface.alternateSetting);
        bytes.push_back(UCHAR(interface.endpoints.size()));
        bytes.push_back(interface.interfaceClass);
        bytes.push_back(interface.interfaceSubClass);
        bytes.push_back(interface.interfaceProtocol);
        bytes.push_back(0);
        for (const EndpointModel& endpoint : interface.endpoints) {
            bytes.push_back(sizeof(USB_ENDPOINT_DESCRIPTOR));
            bytes.push_back(USB_ENDPOINT_DESCRIPTOR_TYPE);
            bytes.push_back(UCHAR(endpoint.number | (endpoint.in ? 0x80 : 0)));
            bytes.push_back(endpoint.type == UsbdPipeTypeInterrupt ? USB_ENDPOINT_TYPE_INTERRUPT
                                                                   : USB_ENDPOINT_TYPE_BULK);
            Put16(bytes, endpoint.maxPacketSize);
            bytes.push_back(endpoint.type == UsbdPipeTypeInterrupt && endpoint.interval == 0
                                ? 1
                                : endpoint.interval);
        }
    }
    return bytes;
}

std::vector<InterfaceModel> InterfacesOfConfiguration(const std::vector<UCHAR>& bytes)
{
    std::vector<InterfaceModel> interfaces;
    for (size_t at = 0; at + 2 <= bytes.size();) {
        size_t length = bytes[at];
        if (length < 2 || at + length > bytes.size()) break;
        const UCHAR* d = &bytes[at];
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            InterfaceModel interface;
            interface.number = d[2];
            interface.alternateSetting = d[3];
            interface.interfaceClass = d[5];
            interface.interfaceSubClass = d[6];
            interface.interfaceProtocol = d[7];
            interfaces.push_back(interface);
        } else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   length >= sizeof(USB_ENDPOINT_DESCRIPTOR) && !interfaces.empty()) {
            EndpointModel endpoint;
            endpoint.type = USBD_PIPE_TYPE(d[3] & 3);  // control, isochronous, bulk, interrupt
            endpoint.in = (d[2] & 0x80) != 0;
            endpoint.number = UCHAR(d[2] & 0x0F);
            endpoint.maxPacketSize = USHORT(d[4] | d[5] << 8);
            endpoint.interval = d[6];
            interfaces.back().endpoints.push_back(endpoint);
        }
        at += length;
    }
    return interfaces;
}

std::string UsbRequest::Describe() const
{
    char text[160];
    switch (kind) {
    case Kind::GetDescriptor:
        snprintf(text, sizeof(text), "get-descriptor type %u, %u bytes asked, %u returned",
                 descriptorType, requestedLength, transferredLength);
        return text;
    case Kind::SelectConfiguration: {
        std::string result = "select-configuration, maximum transfer sizes";
        for (const auto& pipes : maximumTransferSizes) {
            result += " [";
            for (size_t i = 0; i < pipes.size(); i++) {
                result += (i != 0 ? " " : "") + std::to_string(pipes[i]);
            }
            result += "]";
        }
        return result;
    }
    case Kind::Deconfigure:
        return "select-configuration NULL (deconfigure)";
    case Kind::ResetPipe:
        snprintf(text, sizeof(text), "reset pipe 0x%02X", endpointAddress);
        return text;
    case Kind::GetPortStatus:
        return "get port status";
    case Kind::ResetPort:
        return "reset port";
    }
    return "?";
}

}  // namespace host
