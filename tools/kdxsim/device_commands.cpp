// The device commands of a scenario: the simulated device's side of its bulk pipes (data it
// sends, what it received, its faults) and its port as the hub reports it.
#include "data_text.h"
#include "device_options.h"
#include "names.h"
#include "scenario.h"

namespace kdxsim {

namespace {

const char kDeviceUsage[] =
    "device NAME send DATA | zlp | echo on|off | received | fail in|out STATUS [usbd=HEX] "
    "[times=N] | hold out | release out | port connected=0|1 enabled=0|1 | portstatus fail|ok | "
    "resets";

host::Direction ParseDirection(const std::string& text)
{
    return Choose(text, "in", "out") ? host::Direction::In : host::Direction::Out;
}

// "KEY=0" or "KEY=1" when `word` starts with KEY=.
bool ParseFlag(const std::string& word, const std::string& key, bool* value)
{
    if (word.rfind(key + "=", 0) != 0) return false;
    *value = ParseNumber(word.substr(key.size() + 1), 10, 1) != 0;
    return true;
}

std::string Fail(host::UsbDevice& usb, const Words& words)
{
    Require(words.size() >= 5 && words.size() <= 7, kDeviceUsage);
    host::Direction direction = ParseDirection(words[3]);
    NTSTATUS status = ParseStatus(words[4]);
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    unsigned long times = 1;
    bool sawUsbd = false, sawTimes = false;
    for (size_t i = 5; i < words.size(); i++) {
        const std::string& option = words[i];
        if (option.rfind("usbd=", 0) == 0 && !sawUsbd) {
            usbdStatus = USBD_STATUS(ParseNumber(option.substr(5), 16, 0xFFFFFFFF));
            sawUsbd = true;
        } else if (option.rfind("times=", 0) == 0 && !sawTimes) {
            times = ParseNumber(option.substr(6), 10, 0xFFFFFFFF);
            sawTimes = true;
        } else {
            throw ScenarioError(std::string("usage: ") + kDeviceUsage);
        }
    }
    usb.FailNext(direction, ULONG(times), status, usbdStatus);
    return words[3] + ": " + StatusName(status) + " usbd=" + HexNumber(ULONG(usbdStatus), 8) +
           " times=" + std::to_string(times);
}

std::string Port(host::UsbDevice& usb, const Words& words)
{
    Require(words.size() == 4 || words.size() == 5, kDeviceUsage);
    bool connected = usb.model.connected, enabled = usb.model.enabled;
    bool sawConnected = false, sawEnabled = false;
    for (size_t i = 3; i < words.size(); i++) {
        if (!sawConnected && ParseFlag(words[i], "connected", &connected)) {
            sawConnected = true;
        } else if (!sawEnabled && ParseFlag(words[i], "enabled", &enabled)) {
            sawEnabled = true;
        } else {
            throw ScenarioError(std::string("usage: ") + kDeviceUsage);
        }
    }
    if (sawConnected) usb.SetPortConnected(connected);
    if (sawEnabled) usb.SetPortEnabled(enabled);
    return "connected=" + std::to_string(int(connected)) +
           " enabled=" + std::to_string(int(enabled));
}

}  // namespace

std::string Scenario::DeviceCommand(const Words& words)
{
    Require(words.size() >= 3, kDeviceUsage);
    Device& device = Find(words[1]);
    host::UsbDevice& usb = *device.plugged.device;
    const std::string& action = words[2];
    std::string line = "device " + device.name + " " + action;
    auto queued = [&usb] { return " queued=" + std::to_string(usb.QueuedInBytes()); };
    if (action == "send" && words.size() == 4) {
        Bytes data = ParseData(words[3]);
        usb.OfferIn(data);
        Settle();
        return line + ": " + DataText(data) + queued();
    }
    if (action == "zlp" && words.size() == 3) {
        usb.OfferZeroLengthIn();
        Settle();
        return line + ":" + queued();
    }
    if (action == "echo" && words.size() == 4) {
        usb.SetEcho(Choose(words[3], "on", "off"));
        Settle();
        return line + ": " + words[3];
    }
    if ((action == "hold" || action == "release") && words.size() == 4 && words[3] == "out") {
        usb.HoldOut(action == "hold");
        Settle();
        return line + " out: waiting=" + std::to_string(usb.PendingTransfers(host::Direction::Out));
    }
    if (action == "fail") return "device " + device.name + " fail " + Fail(usb, words);
    if (action == "port") {
        std::string state = Port(usb, words);
        Settle();
        return line + ": " + state;
    }
    if (action == "portstatus" && words.size() == 4) {
        usb.SetPortStatusFails(Choose(words[3], "fail", "ok"));
        return line + ": " + words[3];
    }
    if (action == "received" && words.size() == 3) return Received(device);
    if (action == "resets" && words.size() == 3) {
        host::ResetCounts resets = usb.Resets();
        return "resets " + device.name + ": pipe-in=" + std::to_string(resets.pipeIn) +
               " pipe-out=" + std::to_string(resets.pipeOut) +
               " port=" + std::to_string(resets.port);
    }
    throw ScenarioError(std::string("usage: ") + kDeviceUsage);
}

// Every OUT transfer since the last call: their count, their lengths, and their bytes.
std::string Scenario::Received(const Device& device)
{
    std::vector<std::vector<UCHAR>> transfers = device.plugged.device->TakeOutTransfers();
    Bytes all;
    std::string lengths;
    for (const std::vector<UCHAR>& transfer : transfers) {
        lengths += (lengths.empty() ? "" : ",") + std::to_string(transfer.size());
        all.insert(all.end(), transfer.begin(), transfer.end());
    }
    return "received " + device.name + ": " + std::to_string(transfers.size()) + " transfers [" +
           lengths + "] " + DataText(all);
}

}  // namespace kdxsim
