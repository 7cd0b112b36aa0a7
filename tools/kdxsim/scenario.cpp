// Scenarios (see scenario.h). Every command reaches the driver the way Windows would: through
// the PnP and power managers of the host; results are read back from the host's object
// namespace, registry and USB device logs.
#include "scenario.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "device_options.h"
#include "names.h"
#include "words.h"

namespace kdxsim {

namespace {

struct NamedMinor {
    const char* name;
    UCHAR minor;
};

const NamedMinor kPnpMinors[] = {
    {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE}, {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
    {"query-stop", IRP_MN_QUERY_STOP_DEVICE},     {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
    {"capabilities", IRP_MN_QUERY_CAPABILITIES},  {"query-id", IRP_MN_QUERY_ID},
};

UCHAR ParseMinor(const std::string& text)
{
    for (const NamedMinor& named : kPnpMinors) {
        if (text == named.name) return named.minor;
    }
    bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
    try {
        return UCHAR(ParseNumber(text, hex ? 16 : 10, 0xFF));
    } catch (const ScenarioError&) {
        throw ScenarioError("unknown minor function \"" + text +
                            "\" (stop, start, remove, surprise, query-remove, "
                            "cancel-remove, query-stop, cancel-stop, capabilities, query-id, "
                            "or a number up to 255)");
    }
}

// "S0".."S5" or "D0".."D3": the digit, when it is at most `highest`.
int ParseStateNumber(const std::string& text, char letter, int highest)
{
    if (text.size() != 2 || toupper(static_cast<unsigned char>(text[0])) != letter ||
        text[1] < '0' || text[1] > '0' + highest) {
        throw ScenarioError("\"" + text + "\" is not a state " + letter + "0.." + letter +
                            std::to_string(highest));
    }
    return text[1] - '0';
}

std::string CapabilitiesText(const DEVICE_CAPABILITIES& capabilities)
{
    char text[200];
    snprintf(text, sizeof(text),
             " Removable=%u SurpriseRemovalOK=%u LockSupported=%u EjectSupported=%u "
             "DockDevice=%u SystemWake=%d DeviceWake=%d",
             unsigned(capabilities.Removable), unsigned(capabilities.SurpriseRemovalOK),
             unsigned(capabilities.LockSupported), unsigned(capabilities.EjectSupported),
             unsigned(capabilities.DockDevice), int(capabilities.SystemWake),
             int(capabilities.DeviceWake));
    return text;
}

// Orders device names by their text and then their number, so that KDX_LUSB2 comes before
// KDX_LUSB10.
bool NaturalLess(const std::string& left, const std::string& right)
{
    auto split = [](const std::string& name) {
        size_t digits = name.find_last_not_of("0123456789") + 1;
        unsigned long number = strtoul(name.c_str() + digits, nullptr, 10);
        return std::make_pair(name.substr(0, digits), number);
    };
    return split(left) < split(right);
}

}  // namespace

bool Scenario::Run(std::istream& input, const std::string& source)
{
    source_ = source;
    int number = 0;
    for (std::string text; std::getline(input, text);) {
        number++;
        std::string line = Trim(StripComment(text));
        if (line.empty()) continue;
        std::string result;
        try {
            std::string command = line.substr(0, line.find_first_of(" \t"));
            if (command == "expect") {
                result = Expect(Trim(line.substr(command.size())), number);
            } else {
                // Every command starts once what the one before set off has run.
                Settle();
                result = Execute(SplitWords(line));
                lastResult_ = result;
                NoteRemovals();
            }
        } catch (const ScenarioError& error) {
            fflush(out_);
            fprintf(stderr, "kdxsim: %s:%d: %s\n  in: %s\n", source.c_str(), number, error.what(),
                    line.c_str());
            stoppedAt_ = source + ":" + std::to_string(number);
            return false;
        }
        fprintf(out_, "%s\n", result.c_str());
        fflush(out_);
    }
    return failures_.empty();
}

void Scenario::PrintVerdict() const
{
    if (!stoppedAt_.empty()) {
        fprintf(out_, "scenario %s: STOPPED at the malformed line %s\n", source_.c_str(),
                stoppedAt_.c_str());
    } else if (failures_.empty()) {
        fprintf(out_, "scenario %s: %d expects, all held\n", source_.c_str(), expects_);
    }
    if (failures_.empty()) return;
    fprintf(out_, "scenario %s: %zu of %d expects FAILED\n", source_.c_str(), failures_.size(),
            expects_);
    for (const std::string& failure : failures_) fprintf(out_, "  FAILED %s\n", failure.c_str());
}

std::string Scenario::Execute(const Words& words)
{
    const std::string& command = words[0];
    if (command == "plug") return Plug(words);
    if (command == "pnp") return Pnp(words);
    if (command == "unplug") return Unplug(words);
    if (command == "power") return Power(words);
    if (command == "registry") return Registry(words);
    if (command == "requests") return Requests(words);
    if (command == "ports") {
        Require(words.size() == 1, "ports");
        return Ports();
    }
    if (command == "serialcomm") {
        Require(words.size() == 1, "serialcomm");
        return SerialComm();
    }
    if (command == "interfaces") {
        Require(words.size() == 1, "interfaces");
        return Interfaces();
    }
    if (command == "open") return Open(words);
    if (command == "close") return Close(words);
    if (command == "write") return Write(words);
    if (command == "read") return Read(words);
    if (command == "waitmask") return WaitMask(words);
    if (command == "wait") return Wait(words);
    if (command == "cancel") return Cancel(words);
    if (command == "timeouts") return SetTimeouts(words);
    if (command == "mask") return SetMask(words);
    if (command == "purge") return Purge(words);
    if (command == "stats") return Stats(words);
    if (command == "commstatus") return CommStatus(words);
    if (command == "line") return Line(words);
    if (command == "linestate") return LineState(words);
    if (command == "ioctl") return Ioctl(words);
    if (command == "sleep") return Sleep(words);
    if (command == "device") return DeviceCommand(words);
    throw ScenarioError("unknown command \"" + command + "\" (see kdxsim --help)");
}

std::string Scenario::Expect(const std::string& text, int line)
{
    if (text.empty()) throw ScenarioError("usage: expect TEXT");
    expects_++;
    if (lastResult_.find(text) != std::string::npos) return "expect: ok";
    failures_.push_back(source_ + ":" + std::to_string(line) + ": expect " + text);
    return "expect: FAILED (line " + std::to_string(line) + "): wanted \"" + text + "\" in \"" +
           lastResult_ + "\"";
}

std::string Scenario::Plug(const Words& words)
{
    Require(words.size() >= 2, "plug NAME [KEY=VALUE ...]");
    const std::string& name = words[1];
    CheckName(name, "device");
    for (const Device& device : devices_) {
        if (device.name == name) throw ScenarioError("device name \"" + name + "\" is taken");
    }
    host::DeviceModel model = ParseDeviceOptions(Words(words.begin() + 2, words.end()));
    devices_.push_back(Device{name, host_.pnp().Plug(model, host_.driver())});
    const host::PnpManager::Plugged& plugged = devices_.back().plugged;

    std::string line = "plug " + name + ": ";
    if (!NT_SUCCESS(plugged.addStatus)) return line + StatusName(plugged.addStatus);
    line += StatusName(plugged.startStatus);
    std::string port = PortOf(plugged.functionDevice);
    if (!port.empty()) {
        line += " port=" + port;
    } else if (NT_SUCCESS(plugged.startStatus)) {
        line += " port=none";
    }
    return line + " device=" + DeviceObjectName(plugged.functionDevice);
}

std::string Scenario::Pnp(const Words& words)
{
    Require(words.size() == 3, "pnp NAME MINOR | pnp NAME stop|start|remove|surprise");
    Device& device = FindPresent(words[1]);
    std::string line = "pnp " + words[1] + " " + words[2] + ": ";
    std::string sequence = PnpSequence(device, words[2]);
    if (!sequence.empty()) return line + sequence;
    PDEVICE_OBJECT physicalDevice = device.plugged.physicalDevice;
    UCHAR minor = ParseMinor(words[2]);
    if (minor == IRP_MN_QUERY_CAPABILITIES) {
        DEVICE_CAPABILITIES capabilities;
        NTSTATUS status = host_.pnp().QueryCapabilities(physicalDevice, &capabilities);
        return line + StatusName(status) + CapabilitiesText(capabilities);
    }
    if (minor == IRP_MN_QUERY_ID) {
        std::u16string id;
        NTSTATUS status = host_.pnp().QueryId(physicalDevice, BusQueryDeviceID, &id);
        return line + StatusName(status) + (id.empty() ? "" : " id=" + host::Narrow(id));
    }
    if (minor == IRP_MN_SURPRISE_REMOVAL) return line + PnpSequence(device, "surprise");
    if (minor == IRP_MN_REMOVE_DEVICE) return line + SendRemoval(device);
    return line + StatusName(host_.pnp().SendPnp(physicalDevice, minor));
}

std::string Scenario::Power(const Words& words)
{
    const char* usage = "power NAME system S0..S5 | power NAME device D0..D3 | power NAME query";
    Require(words.size() >= 3, usage);
    const Device& device = FindPresent(words[1]);
    const std::string& kind = words[2];
    UCHAR minor = IRP_MN_SET_POWER;
    POWER_STATE_TYPE type = SystemPowerState;
    POWER_STATE state;
    if (kind == "query" && words.size() == 3) {
        minor = IRP_MN_QUERY_POWER;
        state.SystemState = PowerSystemWorking;
    } else if (kind == "system" && words.size() == 4) {
        state.SystemState =
            SYSTEM_POWER_STATE(PowerSystemWorking + ParseStateNumber(words[3], 'S', 5));
    } else if (kind == "device" && words.size() == 4) {
        type = DevicePowerState;
        state.DeviceState = DEVICE_POWER_STATE(PowerDeviceD0 + ParseStateNumber(words[3], 'D', 3));
    } else {
        throw ScenarioError(std::string("usage: ") + usage);
    }
    NTSTATUS status = host_.pnp().SendPower(device.plugged.physicalDevice, minor, type, state);
    std::string request = kind + (words.size() == 4 ? " " + words[3] : "");
    return "power " + device.name + " " + request + ": " + StatusName(status) +
           " reported=" + ReportedPower(device);
}

std::string Scenario::Ports() const
{
    std::vector<std::pair<std::string, std::string>> ports;  // (target, DOS name)
    for (const auto& [link, target] : host_.objects().SymbolicLinks()) {
        std::string dosName = DosName(link);
        if (!dosName.empty()) ports.emplace_back(host::Narrow(target), dosName);
    }
    std::sort(ports.begin(), ports.end(), [](const auto& left, const auto& right) {
        if (left.first != right.first) return NaturalLess(left.first, right.first);
        return left.second < right.second;
    });
    std::string line = "ports:";
    for (const auto& [target, dosName] : ports) line += " " + dosName + "=" + target;
    return ports.empty() ? line + " none" : line;
}

std::string Scenario::SerialComm() const
{
    std::vector<std::pair<std::string, std::string>> ports;  // (value name, data)
    for (const auto& value : host_.objects().DeviceMapValues(u"SERIALCOMM")) {
        std::string data;
        if (value.type != REG_SZ) {
            data = "(type " + std::to_string(value.type) + ")";
        } else {
            std::u16string text(value.data.size() / sizeof(char16_t), u'\0');
            memcpy(text.data(), value.data.data(), text.size() * sizeof(char16_t));
            text.resize(std::min(text.size(), text.find(u'\0')));
            data = host::Narrow(text);
        }
        ports.emplace_back(host::Narrow(value.name), data);
    }
    std::sort(ports.begin(), ports.end(), [](const auto& left, const auto& right) {
        return NaturalLess(left.first, right.first);
    });
    std::string line = "serialcomm:";
    for (const auto& [name, data] : ports) line += " " + name + "=" + data;
    return ports.empty() ? line + " none" : line;
}

std::string Scenario::Registry(const Words& words)
{
    Require(words.size() == 2, "registry NAME");
    const Device& device = FindPresent(words[1]);
    std::string line = "registry " + device.name + ": PortName";
    ULONG type = 0;
    std::vector<UCHAR> data;
    if (!host_.objects().ReadRegistryValue(device.plugged.physicalDevice, u"PortName", &type,
                                           &data)) {
        return line + " absent";
    }
    if (type != REG_SZ) return line + " of type " + std::to_string(type) + ", not REG_SZ";
    std::u16string value(data.size() / sizeof(char16_t), u'\0');
    memcpy(value.data(), data.data(), value.size() * sizeof(char16_t));
    value.resize(std::min(value.size(), value.find(u'\0')));
    return line + "=" + host::Narrow(value);
}

std::string Scenario::Interfaces() const
{
    std::vector<host::InterfaceRecord> interfaces = host_.objects().Interfaces();
    auto plugOrder = [this](PDEVICE_OBJECT physicalDevice) {
        size_t index = 0;
        while (index < devices_.size() &&
               devices_[index].plugged.physicalDevice != physicalDevice) {
            index++;
        }
        return index;
    };
    std::stable_sort(interfaces.begin(), interfaces.end(),
                     [&](const auto& left, const auto& right) {
                         return plugOrder(left.physicalDevice) < plugOrder(right.physicalDevice);
                     });
    std::string line = "interfaces:";
    bool any = false;
    for (const host::InterfaceRecord& interface : interfaces) {
        if (!interface.enabled) continue;
        line += " " + NameOf(interface.physicalDevice) + "=" + GuidText(interface.classGuid);
        any = true;
    }
    return any ? line : line + " none";
}

std::string Scenario::Requests(const Words& words)
{
    Require(words.size() == 2, "requests NAME");
    const Device& device = Find(words[1]);
    std::string line = "requests " + device.name + ":";
    std::vector<host::UsbRequest> requests = device.plugged.device->Requests();
    for (size_t i = 0; i < requests.size(); i++) {
        line += (i == 0 ? " " : "; ") + requests[i].Describe();
    }
    return requests.empty() ? line + " none" : line;
}

std::string Scenario::Help()
{
    return R"(A scenario is one command a line. '#' starts a comment, also after a command; blank
lines are ignored. Every command prints one result line. NAME is the scenario's handle for
a device, given once at plug (letters, digits, '_', '-', '.').

Commands:
  plug NAME [KEY=VALUE ...]
      Plugs a simulated device (keys below): the bus creates its physical device object,
      the driver's add-device routine runs and the start request follows. Prints
        plug NAME: <start status> port=VLT0 device=\Device\KDX_LUSB0
      port= is the DOS name whose link points at the device (absent when there is none;
      port=none when the start succeeded all the same); when add-device fails, the line
      shows only its status.
  unplug NAME
      The device is pulled out: it vanishes from the bus (its transfers fail as a vanished
      device's do), then the surprise removal is sent, and the removal follows at once when
      no handle of the port is open, otherwise when the last one is closed. Prints the
      surprise removal's status: unplug NAME: STATUS_SUCCESS
  pnp NAME stop | start | remove | surprise
      The sequences of the Plug and Play manager: stop sends the stop request itself (no
      query-stop), start a start (a failed start is followed by the removal), remove sends
      query-remove and, when it succeeds, the removal, otherwise cancel-remove (the line
      shows the query's status: STATUS_DEVICE_BUSY while the port is open), and surprise a
      surprise removal, its removal following as after unplug. Prints pnp NAME stop: STATUS
      and so on. Once removed, a device can no longer be named, but by device and requests.
  pnp NAME MINOR
      Sends one Plug and Play request and prints the status it completed with. MINOR is
      query-remove, cancel-remove, query-stop, cancel-stop, capabilities, query-id, or any
      minor function as a number (decimal or 0x hex). capabilities adds Removable,
      SurpriseRemovalOK, LockSupported, EjectSupported, DockDevice (0 or 1), SystemWake and
      DeviceWake (enum values); query-id asks for BusQueryDeviceID and adds id= when an
      identifier came back. The removal (2) is sent alone, after which the device is gone;
      a surprise removal (0x17) is sent as pnp NAME surprise sends it.
  power NAME system S0..S5      set-power for a system state (S0 working .. S5 shutdown)
  power NAME device D0..D3      set-power for a device state
  power NAME query              query-power for the working system state
      Each prints the status and reported=: the device power states the driver reported
      with PoSetPowerState for its device object, in order (D0..D3).
  ports           the DOS names present and the device each links to: VLT0=\Device\...
  registry NAME   the PortName value of the device's hardware key: PortName=VLT0, or absent
  serialcomm      the ports listed under HARDWARE\DEVICEMAP\SERIALCOMM, by device name:
                  \Device\KDX_LUSB0=VLT0, or none
  interfaces      the enabled device interfaces: NAME={class GUID}
  requests NAME   the requests the simulated device received, in order, separated by "; "

Ports and their requests, as a program makes them. H names an open handle, R a request left
outstanding; STATUS is the status the request completed with.
  open PORT [as H]          opens the port by its DOS name (VLT0, KD); the handle is H, or
                            PORT. Prints open H: STATUS
  close H                   cleanup, then close: close H: STATUS (the close's status)
  write H DATA [async R]    write H: STATUS written=N
  read H N [async R]        read H: STATUS n=K data="..." sum=0xHHHHHHHH
      With async R the request stays outstanding as R: write H: STATUS_PENDING as R, unless
      it completed at once, when the line is the completion's.
  wait R                    lets time run until R completes: R: STATUS and written=N,
                            n=K data="..." sum=..., or mask=0xHHHH, as fits its kind
  cancel R                  IoCancelIrp on R: cancel R: TRUE, or FALSE (it had completed)
  timeouts H RI RM RC WM WC set-timeouts (decimal ms): timeouts H: STATUS
  mask H HEX                set-wait-mask: mask H: STATUS
  purge H HEX               purge (1 TXABORT, 2 RXABORT, 4 TXCLEAR, 8 RXCLEAR): purge H: STATUS
  waitmask H [async R]      wait-on-mask: waitmask H: STATUS mask=0xHHHH, or
                            waitmask H: STATUS_PENDING as R
  stats H                   stats H: STATUS_SUCCESS rx=N tx=N (bytes received, transmitted)
  commstatus H              commstatus H: STATUS_SUCCESS inq=N outq=N
  line H [baud=N] [bits=N parity=P stop=S] [dtr=on|off] [rts=on|off]
                            the requests a program sends to set up the line, in this order:
                            set-baud-rate (decimal), set-line-control (bits=, parity= and
                            stop= together; P is none, odd, even, mark or space, S 1, 1.5 or
                            2), set-DTR or clear-DTR, set-RTS or clear-RTS; prints the status
                            of each request sent: line H: baud=STATUS linecontrol=STATUS
                            dtr=STATUS rts=STATUS
  linestate H               get-baud-rate, get-line-control, get-DTRRTS and get-modem-status:
                            linestate H: STATUS baud=9600 bits=8 parity=none stop=1 dtr=off
                            rts=off modem=0xHH (the modem status bits: 0x10 CTS, 0x20 DSR,
                            0x40 RI, 0x80 DCD); STATUS is the first failure's, if any, and
                            a failed request's fields are left out
  ioctl H CODE [in=HEX] [out=N]
                            any device-control request by its code (hex), with input bytes
                            (pairs of hex digits) and an output buffer of N bytes:
                            ioctl H 0x1B0050: STATUS info=N out=HEX (the bytes returned)

The simulated device's side of its bulk pipes and its port:
  device NAME send DATA     the device offers DATA on its bulk-IN pipe, in packets of its
                            size: device NAME send: n=K data="..." sum=... queued=N (the IN
                            bytes no transfer has taken yet)
  device NAME zlp           one zero-length IN packet: device NAME zlp: queued=N
  device NAME echo on|off   what arrives on bulk-OUT is offered back on bulk-IN
  device NAME received      every OUT transfer since the last received, zero-length ones as
                            0: received NAME: T transfers [len,len,...] n=N data="..." sum=...
  device NAME fail in|out STATUS [usbd=HEX] [times=N]
                            fails the next N transfers (default 1) of that direction with
                            STATUS (a STATUS_ name or 0x hex) and the USBD status HEX (default
                            0); usbd=C0000004 (a stall) halts the pipe until it is reset
  device NAME hold out | device NAME release out
                            OUT transfers wait, cancellable, until released; prints
                            device NAME hold out: waiting=N (the OUT transfers held)
  device NAME port connected=0|1 enabled=0|1
                            the port as the hub reports it from now on (either key or both)
  device NAME portstatus fail|ok
                            the get-port-status request fails, or works again
  device NAME resets        resets NAME: pipe-in=N pipe-out=N port=N (reset requests so far)

  sleep MS        lets MS milliseconds pass: sleep: now=T ms
  expect TEXT     holds when the result line of the last command before it (expects not
                  counted) contains TEXT, the rest of the line. Prints expect: ok, or
                  expect: FAILED (line N): wanted "TEXT" in "<that line>".

DATA is "text" with C escapes (\n \r \t \\ \" \0, \xHH with one or two hex digits,
octal \ooo), hex:0a0b0c, or bytes=N (N bytes, byte i being i mod 251). Data in a result
is n=K (the count), data="..." (at most 64 bytes, with C escapes and \xHH for bytes that
are not printable; ... after the quote when there are more) and sum=0xHHHHHHHH, the CRC-32
of all K bytes, as zlib computes it. A '#' inside a quoted string is not a comment.

Every command starts once what the commands before it set off has run as far as it can
without time passing, and a request that completes as a result of a command (a read served
by data the device sent, a write the device accepted) has completed before its line prints.

A failed expect is reported and the scenario goes on. A malformed line (an unknown command,
a missing or bad argument, an unknown or reused device name, an unknown handle or request
name, a removed device named by a request to it) is reported on stderr with its file and line
number and stops the scenario.

Plug keys:
)" + DeviceOptionsHelp();
}

Scenario::Device& Scenario::Find(const std::string& name)
{
    for (Device& device : devices_) {
        if (device.name == name) return device;
    }
    throw ScenarioError("no device named \"" + name + "\" was plugged");
}

// The scenario's name of a device, or the name of its function device object when the
// scenario did not plug it.
std::string Scenario::NameOf(PDEVICE_OBJECT physicalDevice) const
{
    for (const Device& device : devices_) {
        if (device.plugged.physicalDevice == physicalDevice) return device.name;
    }
    return DeviceObjectName(IoGetAttachedDevice(physicalDevice));
}

// The DOS name whose link points at the device's name, or an empty string.
std::string Scenario::PortOf(PDEVICE_OBJECT functionDevice) const
{
    std::u16string deviceName = host::RecordOf(functionDevice)->name;
    if (deviceName.empty()) return "";
    deviceName = host::ObjectManager::CanonicalName(deviceName);
    for (const auto& [link, target] : host_.objects().SymbolicLinks()) {
        if (host::ObjectManager::CanonicalName(target) == deviceName && !DosName(link).empty()) {
            return DosName(link);
        }
    }
    return "";
}

// The device power states the driver reported for its device object, in order.
std::string Scenario::ReportedPower(const Device& device) const
{
    if (device.plugged.functionDevice == nullptr) return "";
    std::string states;
    for (const auto& [type, state] : host_.objects().PowerStates(device.plugged.functionDevice)) {
        if (type != DevicePowerState) continue;
        states += (states.empty() ? "" : ",") + DeviceStateName(state.DeviceState);
    }
    return states;
}

}  // namespace kdxsim
