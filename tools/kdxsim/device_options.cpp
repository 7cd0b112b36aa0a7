// The options of the plug command (see device_options.h). One table holds every key with its
// help text and the routine that applies its value, so the help never drifts from the parser.
#include "device_options.h"

#include <cctype>
#include <optional>
#include <set>
#include <sstream>

namespace kdxsim {

unsigned long ParseNumber(const std::string& text, int base, unsigned long max)
{
    std::string digits = text;
    if (base == 16 && (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0)) {
        digits = digits.substr(2);
    }
    size_t used = 0;
    unsigned long value = 0;
    bool parsed = !digits.empty() && isxdigit(static_cast<unsigned char>(digits[0]));
    if (parsed) {
        try {
            value = std::stoul(digits, &used, base);
        } catch (const std::exception&) {
            parsed = false;
        }
    }
    if (!parsed || used != digits.size() || value > max) {
        throw ScenarioError("\"" + text + "\" is not a " + (base == 16 ? "hex" : "decimal") +
                            " number up to " + std::to_string(max));
    }
    return value;
}

bool Choose(const std::string& value, const char* yes, const char* no)
{
    if (value == yes) return true;
    if (value == no) return false;
    throw ScenarioError("\"" + value + "\" is neither " + yes + " nor " + no);
}

namespace {

// What the options collect before the interfaces are laid out.
struct DeviceDraft {
    host::DeviceModel model;
    std::vector<host::EndpointModel> endpoints;  // interface 0, in pipe order
    unsigned interfaces = 1;
    unsigned alternates = 0;
    USHORT packetSize = 64;
    std::optional<UCHAR> interfaceClass;
};

USHORT Hex16(const std::string& text) { return USHORT(ParseNumber(text, 16, 0xFFFF)); }

// A fault key: "fail" turns the fault on, "ok" leaves the device well.
bool Fails(const std::string& value) { return Choose(value, "fail", "ok"); }

host::EndpointModel ParseEndpoint(const std::string& kind)
{
    host::EndpointModel endpoint;
    if (kind == "bulk-in" || kind == "bulk-out") {
        endpoint.type = UsbdPipeTypeBulk;
    } else if (kind == "int-in" || kind == "int-out") {
        endpoint.type = UsbdPipeTypeInterrupt;
    } else {
        throw ScenarioError("unknown endpoint \"" + kind +
                            "\" (bulk-in, bulk-out, int-in or int-out)");
    }
    endpoint.in = kind.compare(kind.size() - 3, 3, "-in") == 0;
    return endpoint;
}

// "bulk-in,int-in*3,bulk-out", or "none".
std::vector<host::EndpointModel> ParseEndpointList(const std::string& text)
{
    std::vector<host::EndpointModel> endpoints;
    if (text == "none") return endpoints;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        size_t star = item.find('*');
        unsigned long count = 1;
        if (star != std::string::npos) count = ParseNumber(item.substr(star + 1), 10, 15);
        if (count == 0) throw ScenarioError("\"" + item + "\" repeats an endpoint 0 times");
        host::EndpointModel endpoint = ParseEndpoint(item.substr(0, star));
        endpoints.insert(endpoints.end(), count, endpoint);
    }
    if (endpoints.empty()) throw ScenarioError("an empty endpoint list (write none)");
    return endpoints;
}

struct Key {
    const char* name;
    const char* value;
    const char* help;
    void (*apply)(DeviceDraft& draft, const std::string& value);
};

const Key kKeys[] = {
    {"vid", "HEX", "vendor ID, with or without 0x (default 0000)",
     [](DeviceDraft& d, const std::string& v) { d.model.vendorId = Hex16(v); }},
    {"pid", "HEX", "product ID (default 005B, the product with VLT<n>\nport names)",
     [](DeviceDraft& d, const std::string& v) { d.model.productId = Hex16(v); }},
    {"release", "HEX", "bcdDevice (default 0100)",
     [](DeviceDraft& d, const std::string& v) { d.model.deviceRelease = Hex16(v); }},
    {"packet", "N",
     "maximum packet size of the bulk endpoints, 0..1024\n"
     "(default 64); a device reporting 0 sends what it has\nas one packet",
     [](DeviceDraft& d, const std::string& v) { d.packetSize = USHORT(ParseNumber(v, 10, 1024)); }},
    {"endpoints", "LIST",
     "endpoints of interface 0 in pipe order, comma-separated:\n"
     "bulk-in, bulk-out, int-in or int-out, each optionally\n"
     "repeated as KIND*N (int-in*8); or none\n"
     "(default bulk-in,bulk-out)",
     [](DeviceDraft& d, const std::string& v) { d.endpoints = ParseEndpointList(v); }},
    {"interfaces", "N",
     "interfaces in the configuration, 0..15; interfaces 1..N-1\n"
     "have a bulk-in and a bulk-out endpoint (default 1)",
     [](DeviceDraft& d, const std::string& v) { d.interfaces = ParseNumber(v, 10, 15); }},
    {"alternates", "N", "extra alternate settings of interface 0, with its\nendpoints (default 0)",
     [](DeviceDraft& d, const std::string& v) { d.alternates = ParseNumber(v, 10, 15); }},
    {"class", "HEX", "interface class of every interface (default FF)",
     [](DeviceDraft& d, const std::string& v) {
         d.interfaceClass = UCHAR(ParseNumber(v, 16, 0xFF));
     }},
    {"total", "N",
     "pad the configuration descriptor with vendor descriptors\nto a wTotalLength of N",
     [](DeviceDraft& d, const std::string& v) {
         d.model.paddedTotalLength = USHORT(ParseNumber(v, 10, 0xFFFF));
     }},
    {"wtotal", "N", "a wTotalLength that lies: report N whatever the real length",
     [](DeviceDraft& d, const std::string& v) {
         d.model.reportedTotalLength = USHORT(ParseNumber(v, 10, 0xFFFF));
     }},
    {"numinterfaces", "N", "a bNumInterfaces that lies: report N, 0..255",
     [](DeviceDraft& d, const std::string& v) {
         d.model.reportedInterfaceCount = UCHAR(ParseNumber(v, 10, 0xFF));
     }},
    {"config", "empty|ok", "empty: the configuration descriptor request transfers\n0 bytes",
     [](DeviceDraft& d, const std::string& v) {
         d.model.configurationTransfersNothing = Choose(v, "empty", "ok");
     }},
    {"devdesc", "fail|ok", "the device descriptor request fails (STATUS_UNSUCCESSFUL)",
     [](DeviceDraft& d, const std::string& v) {
         d.model.deviceDescriptorStatus = Fails(v) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
     }},
    {"select", "fail|usbdfail|ok",
     "select-configuration fails: fail = STATUS_UNSUCCESSFUL;\n"
     "usbdfail = STATUS_SUCCESS with a failing USBD status\n"
     "(USBD_STATUS_NO_BANDWIDTH)",
     [](DeviceDraft& d, const std::string& v) {
         bool usbdOnly = v == "usbdfail";
         bool fails = usbdOnly || Fails(v);
         d.model.selectConfigurationStatus =
             fails && !usbdOnly ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
         d.model.selectConfigurationUsbdStatus =
             fails ? USBD_STATUS_NO_BANDWIDTH : USBD_STATUS_SUCCESS;
     }},
    {"port", "disconnected|disabled|ok", "the port status reads disconnected, or disabled",
     [](DeviceDraft& d, const std::string& v) {
         if (v != "disconnected" && v != "disabled" && v != "ok") {
             throw ScenarioError("\"" + v + "\" is not disconnected, disabled or ok");
         }
         d.model.connected = v != "disconnected";
         d.model.enabled = v == "ok";
     }},
    {"portstatus", "fail|ok", "the get-port-status request fails",
     [](DeviceDraft& d, const std::string& v) { d.model.portStatusFails = Fails(v); }},
    {"resetport", "fail|ok", "the reset-port request fails",
     [](DeviceDraft& d, const std::string& v) { d.model.resetPortFails = Fails(v); }},
    {"resetpipe", "fail|ok", "the reset-pipe request fails",
     [](DeviceDraft& d, const std::string& v) { d.model.resetPipeFails = Fails(v); }},
    {"caps", "fail|ok", "the bus fails the capabilities query",
     [](DeviceDraft& d, const std::string& v) { d.model.capabilitiesFail = Fails(v); }},
    {"registry", "fail|ok", "the device's hardware registry key cannot be opened",
     [](DeviceDraft& d, const std::string& v) { d.model.registryKeyFails = Fails(v); }},
    {"linesettings", "accept|refuse",
     "accept: the hardware key holds AcceptLineSettings = 1\n"
     "(REG_DWORD) when the driver starts, so the port takes\n"
     "the line settings, DTR and RTS; refuse: no such value,\n"
     "the line requests are refused (default)",
     [](DeviceDraft& d, const std::string& v) {
         if (Choose(v, "accept", "refuse")) {
             d.model.hardwareKeyValues.push_back(
                 host::DeviceModel::RegistryValue::Dword(u"AcceptLineSettings", 1));
         }
     }},
    {"attach", "fail|ok", "attaching to the device fails (it is already going\naway)",
     [](DeviceDraft& d, const std::string& v) { d.model.refusesAttach = Fails(v); }},
    {"wake", "on|off", "the configuration reports remote wake-up (default off)",
     [](DeviceDraft& d, const std::string& v) { d.model.remoteWake = Choose(v, "on", "off"); }},
    {"complete", "sync|async",
     "how the bus completes requests: at once, or pended and\n"
     "completed from a DPC (default sync)",
     [](DeviceDraft& d, const std::string& v) {
         d.model.asynchronous = Choose(v, "async", "sync");
     }},
};

// Lays out the interfaces: interface 0 with the chosen endpoints, then its alternate
// settings, then interfaces 1..N-1. Every endpoint is numbered here, and an alternate setting
// reuses the endpoint numbers of setting 0, as a real device does.
host::DeviceModel Build(DeviceDraft& draft)
{
    if (draft.interfaces == 0 && draft.alternates != 0) {
        throw ScenarioError("alternates need an interface");
    }
    std::vector<host::InterfaceModel> interfaces;
    for (unsigned number = 0; number < draft.interfaces; number++) {
        host::InterfaceModel interface;
        interface.number = UCHAR(number);
        interface.endpoints = number == 0
                                  ? draft.endpoints
                                  : std::vector<host::EndpointModel>{ParseEndpoint("bulk-in"),
                                                                    ParseEndpoint("bulk-out")};
        for (host::EndpointModel& endpoint : interface.endpoints) {
            if (endpoint.type == UsbdPipeTypeBulk) endpoint.maxPacketSize = draft.packetSize;
        }
        if (draft.interfaceClass) interface.interfaceClass = *draft.interfaceClass;
        interfaces.push_back(interface);
    }
    unsigned in = 0, out = 0;
    for (const host::InterfaceModel& interface : interfaces) {
        for (const host::EndpointModel& endpoint : interface.endpoints) (endpoint.in ? in : out)++;
    }
    if (in > 15 || out > 15) {
        throw ScenarioError("more than 15 endpoints of one direction (" + std::to_string(in) +
                            " in, " + std::to_string(out) + " out)");
    }
    draft.model.interfaces = interfaces;
    host::DeviceModel model = draft.model.WithEndpointNumbers();
    for (unsigned setting = draft.alternates; setting >= 1; setting--) {
        host::InterfaceModel alternate = model.interfaces[0];
        alternate.alternateSetting = UCHAR(setting);
        model.interfaces.insert(model.interfaces.begin() + 1, alternate);
    }
    return model;
}

}  // namespace

host::DeviceModel ParseDeviceOptions(const std::vector<std::string>& options)
{
    DeviceDraft draft;
    draft.endpoints = ParseEndpointList("bulk-in,bulk-out");
    std::set<std::string> seen;
    for (const std::string& option : options) {
        size_t equals = option.find('=');
        if (equals == std::string::npos) {
            throw ScenarioError("\"" + option + "\" is not KEY=VALUE");
        }
        std::string name = option.substr(0, equals);
        const Key* key = nullptr;
        for (const Key& candidate : kKeys) {
            if (name == candidate.name) key = &candidate;
        }
        if (key == nullptr) throw ScenarioError("unknown plug key \"" + name + "\"");
        if (!seen.insert(name).second) throw ScenarioError("plug key \"" + name + "\" given twice");
        try {
            key->apply(draft, option.substr(equals + 1));
        } catch (const ScenarioError& error) {
            throw ScenarioError(name + ": " + error.what());
        }
    }
    return Build(draft);
}

std::string DeviceOptionsHelp()
{
    std::string help;
    for (const Key& key : kKeys) {
        std::string head = std::string("  ") + key.name + "=" + key.value;
        std::istringstream lines(key.help);
        std::string line;
        bool first = true;
        while (std::getline(lines, line)) {
            std::string column = first ? head : "";
            if (first && column.size() >= 30) {
                help += column + "\n";
                column.clear();
            }
            help += column + std::string(30 - column.size(), ' ') + line + "\n";
            first = false;
        }
    }
    return help;
}

}  // namespace kdxsim
