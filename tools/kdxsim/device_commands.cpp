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

// fail in|out STATUS [usbd=HEX] [times=N]: the next transfers of a direction fail.
std::string Fail(host::UsbDevice& usb, const Words& words)
{
    Require(words.size() >= 5, kDeviceUsage);
    host::Direction direction = ParseDirection(words[3]);
    NTSTATUS status = ParseStatus(words[4]);
    auto options = KeyValues(words, 5, {"usbd", "times"}, kDeviceUsage);
    auto usbdStatus = USBD_STATUS(
        options.count("usbd") ? ParseNumber(options["usbd"], 16, 0xFFFFFFFF) : USBD_STATUS_SUCCESS);
    unsigned long times =
        options.count("times") ? ParseNumber(options["times"], 10, 0xFFFFFFFF) : 1;
    usb.FailNext(direction, ULONG(times), status, usbdStatus);
    return words[3] + ": " + StatusName(status) + " usbd=" + HexNumber(ULONG(usbdStatus), 8) +
           " times=" + std::to_string(times);
}

// port connected=0|1 enabled=0|1, either key or both: the port as the hub reports it from now
// on. Returns the keys as given.
std::string Port(host::UsbDevice& usb, const Words& words)
{
    Require(words.size() >= 4, kDeviceUsage);
    auto options = KeyValues(words, 3, {"connected", "enabled"}, kDeviceUsage);
    std::string given;
    for (const auto& [key, value] : options) {
        bool on = ParseNumber(value, 10, 1) != 0;
        given += (given.empty() ? "" : " ") + key + "=" + (on ? "1" : "0");
    }
    if (options.count("connected")) usb.SetPortConnected(options["connected"] == "1");
    if (options.count("enabled")) usb.SetPortEnabled(options["enabled"] == "1");
    return given;
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
