// The port commands of a scenario: opening and closing ports by their DOS names, reads, writes
// and the serial device-control requests, each sent through the host's application side as a
// program's calls would be, and the outstanding requests they leave.
#include <ntddser.h>

#include <cstring>
#include <functional>

#include "data_text.h"
#include "device_options.h"
#include "names.h"
#include "scenario.h"

namespace kdxsim {

namespace {

constexpr unsigned long kLargestLength = 1UL << 24;

ULONG ParseUlong(const std::string& text, int base)
{
    return ULONG(ParseNumber(text, base, 0xFFFFFFFF));
}

template <typename Record>
std::vector<UCHAR> BytesOf(const Record& record)
{
    std::vector<UCHAR> bytes(sizeof(Record));
    memcpy(bytes.data(), &record, sizeof(Record));
    return bytes;
}

// The returned record, when the request succeeded and returned all of it.
template <typename Record>
bool Returned(const host::IoResult& result, Record* record)
{
    if (!NT_SUCCESS(result.status) || result.output.size() < sizeof(Record)) return false;
    memcpy(record, result.output.data(), sizeof(Record));
    return true;
}

// Parity and stop bits by name, indexed by their SERIAL_LINE_CONTROL values (NO_PARITY ..
// SPACE_PARITY, STOP_BIT_1 .. STOP_BITS_2).
const char* const kParityNames[] = {"none", "odd", "even", "mark", "space"};
const char* const kStopBitNames[] = {"1", "1.5", "2"};

template <size_t N>
UCHAR ParseNamed(const std::string& text, const char* const (&names)[N], const char* what)
{
    std::string choices;
    for (size_t i = 0; i < N; i++) {
        if (text == names[i]) return UCHAR(i);
        choices += std::string(i == 0 ? "" : i + 1 == N ? " or " : ", ") + names[i];
    }
    throw ScenarioError("\"" + text + "\" is not " + what + " (" + choices + ")");
}

// The name of a value, or its number when it has none.
template <size_t N>
std::string ValueName(UCHAR value, const char* const (&names)[N])
{
    return value < N ? names[value] : std::to_string(value);
}

std::string OnOff(bool on) { return on ? "on" : "off"; }

// A set request of the line command, named in its result by `label`.
struct LineRequest {
    const char* label;
    ULONG code;
    std::vector<UCHAR> input;
};

// The requests the line command's keys ask for, in the order a program setting up a port
// sends them. Every value is parsed before any request goes, so a bad one sends nothing.
std::vector<LineRequest> LineRequests(std::map<std::string, std::string>& options)
{
    size_t lineKeys = options.count("bits") + options.count("parity") + options.count("stop");
    if (lineKeys != 0 && lineKeys != 3) {
        throw ScenarioError("bits=, parity= and stop= go together (one line-control request)");
    }
    std::vector<LineRequest> requests;
    if (options.count("baud")) {
        SERIAL_BAUD_RATE rate{ParseUlong(options["baud"], 10)};
        requests.push_back({"baud", IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(rate)});
    }
    if (lineKeys == 3) {
        SERIAL_LINE_CONTROL control;
        control.WordLength = UCHAR(ParseNumber(options["bits"], 10, 0xFF));
        control.Parity = ParseNamed(options["parity"], kParityNames, "a parity");
        control.StopBits = ParseNamed(options["stop"], kStopBitNames, "a number of stop bits");
        requests.push_back({"linecontrol", IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(control)});
    }
    auto modemLine = [&](const char* key, ULONG set, ULONG clear) {
        if (options.count(key) == 0) return;
        bool on = Choose(options[key], "on", "off");
        requests.push_back({key, on ? set : clear, {}});
    };
    modemLine("dtr", IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR);
    modemLine("rts", IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS);
    return requests;
}

}  // namespace

host::Handle Scenario::HandleOf(const std::string& name) const
{
    auto it = handles_.find(name);
    if (it == handles_.end()) throw ScenarioError("no handle named \"" + name + "\" is open");
    return it->second;
}

std::string Scenario::CompletionText(RequestKind kind, const host::IoResult& result)
{
    std::string line = StatusName(result.status);
    if (kind == RequestKind::Write) return line + " written=" + std::to_string(result.information);
    if (kind == RequestKind::Read) return line + " " + DataText(result.output);
    ULONG mask = 0;
    if (result.output.size() >= sizeof(mask)) memcpy(&mask, result.output.data(), sizeof(mask));
    return line + " mask=" + HexNumber(mask, 4);
}

std::string Scenario::Finish(RequestKind kind, host::OutstandingRequest request,
                             const std::string& asyncName)
{
    if (asyncName.empty()) {
        host::IoResult result = request.Wait();
        Settle();
        return CompletionText(kind, result);
    }
    Settle();
    requests_.insert_or_assign(asyncName, Request{kind, request});
    if (!request.Completed()) return "STATUS_PENDING as " + asyncName;
    return CompletionText(kind, request.Wait());
}

std::string Scenario::AsyncName(const Words& words, size_t at, const char* usage) const
{
    if (words.size() == at) return "";
    Require(words.size() == at + 2 && words[at] == "async", usage);
    const std::string& name = words[at + 1];
    CheckName(name, "request");
    auto it = requests_.find(name);
    if (it != requests_.end() && !it->second.request.Completed()) {
        throw ScenarioError("request \"" + name + "\" is still outstanding");
    }
    return name;
}

std::string Scenario::Open(const Words& words)
{
    Require(words.size() == 2 || (words.size() == 4 && words[2] == "as"), "open PORT [as H]");
    const std::string& name = words.size() == 4 ? words[3] : words[1];
    CheckName(name, "handle");
    if (handles_.count(name) != 0) throw ScenarioError("handle \"" + name + "\" is open");
    host::OpenResult opened = host_.app().Open(host::Widen(words[1]));
    Settle();
    if (opened.handle != nullptr) handles_[name] = opened.handle;
    return "open " + name + ": " + StatusName(opened.status);
}

std::string Scenario::Close(const Words& words)
{
    Require(words.size() == 2, "close H");
    host::Handle handle = HandleOf(words[1]);
    handles_.erase(words[1]);
    NTSTATUS status = host_.app().Close(handle);
    Settle();
    return "close " + words[1] + ": " + StatusName(status);
}

void Scenario::CloseHandles()
{
    Settle();
    for (const auto& [name, handle] : handles_) {
        NTSTATUS status = host_.app().Close(handle);
        Settle();
        fprintf(out_, "close %s: %s (at the end)\n", name.c_str(), StatusName(status).c_str());
    }
    handles_.clear();
}

std::string Scenario::StartRequest(const Words& words, size_t asyncAt, const char* usage,
                                   RequestKind kind, const RequestStarter& start)
{
    host::Handle handle = HandleOf(words[1]);
    std::string asyncName = AsyncName(words, asyncAt, usage);
    return words[0] + " " + words[1] + ": " + Finish(kind, start(handle), asyncName);
}

std::string Scenario::Write(const Words& words)
{
    const char* usage = "write H DATA [async R]";
    Require(words.size() >= 3, usage);
    Bytes data = ParseData(words[2]);
    return StartRequest(words, 3, usage, RequestKind::Write,
                        [&](host::Handle handle) { return host_.app().StartWrite(handle, data); });
}

std::string Scenario::Read(const Words& words)
{
    const char* usage = "read H N [async R]";
    Require(words.size() >= 3, usage);
    ULONG length = ULONG(ParseNumber(words[2], 10, kLargestLength));
    return StartRequest(words, 3, usage, RequestKind::Read,
                        [&](host::Handle handle) { return host_.app().StartRead(handle, length); });
}

std::string Scenario::WaitMask(const Words& words)
{
    const char* usage = "waitmask H [async R]";
    Require(words.size() >= 2, usage);
    return StartRequest(words, 2, usage, RequestKind::WaitMask, [&](host::Handle handle) {
        return host_.app().StartDeviceControl(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    });
}

Scenario::Request& Scenario::FindRequest(const std::string& name)
{
    auto it = requests_.find(name);
    if (it == requests_.end()) throw ScenarioError("no request named \"" + name + "\"");
    return it->second;
}

std::string Scenario::Wait(const Words& words)
{
    Require(words.size() == 2, "wait R");
    Request& request = FindRequest(words[1]);
    host::IoResult result = request.request.Wait();
    Settle();
    return words[1] + ": " + CompletionText(request.kind, result);
}

std::string Scenario::Cancel(const Words& words)
{
    Require(words.size() == 2, "cancel R");
    BOOLEAN cancelled = FindRequest(words[1]).request.Cancel();
    Settle();
    return "cancel " + words[1] + ": " + (cancelled ? "TRUE" : "FALSE");
}

host::IoResult Scenario::Control(const std::string& handle, ULONG code,
                                 const std::vector<UCHAR>& input, ULONG outputLength)
{
    host::IoResult result =
        host_.app().StartDeviceControl(HandleOf(handle), code, input, outputLength).Wait();
    Settle();
    return result;
}

std::string Scenario::ControlLine(const std::string& name, const std::string& handle, ULONG code,
                                  const std::vector<UCHAR>& input)
{
    return name + " " + handle + ": " + StatusName(Control(handle, code, input, 0).status);
}

std::string Scenario::SetTimeouts(const Words& words)
{
    Require(words.size() == 7, "timeouts H RI RM RC WM WC");
    SERIAL_TIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = ParseUlong(words[2], 10);
    timeouts.ReadTotalTimeoutMultiplier = ParseUlong(words[3], 10);
    timeouts.ReadTotalTimeoutConstant = ParseUlong(words[4], 10);
    timeouts.WriteTotalTimeoutMultiplier = ParseUlong(words[5], 10);
    timeouts.WriteTotalTimeoutConstant = ParseUlong(words[6], 10);
    return ControlLine("timeouts", words[1], IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts));
}

std::string Scenario::SetMask(const Words& words)
{
    Require(words.size() == 3, "mask H HEX");
    HandleOf(words[1]);
    ULONG mask = ParseUlong(words[2], 16);
    return ControlLine("mask", words[1], IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(mask));
}

std::string Scenario::Purge(const Words& words)
{
    Require(words.size() == 3, "purge H HEX");
    HandleOf(words[1]);
    ULONG flags = ParseUlong(words[2], 16);
    return ControlLine("purge", words[1], IOCTL_SERIAL_PURGE, BytesOf(flags));
}

// NAME H: STATUS, then the fields of the record the query returned when it returned all of it.
template <typename Record>
std::string Scenario::Query(const Words& words, ULONG code,
                            std::string (*fields)(const Record& record))
{
    std::string usage = words[0] + " H";
    Require(words.size() == 2, usage.c_str());
    host::IoResult result = Control(words[1], code, {}, sizeof(Record));
    std::string line = words[0] + " " + words[1] + ": " + StatusName(result.status);
    Record record;
    return Returned(result, &record) ? line + " " + fields(record) : line;
}

std::string Scenario::Stats(const Words& words)
{
    return Query<SERIALPERF_STATS>(words, IOCTL_SERIAL_GET_STATS,
                                   [](const SERIALPERF_STATS& stats) {
                                       return "rx=" + std::to_string(stats.ReceivedCount) +
                                              " tx=" + std::to_string(stats.TransmittedCount);
                                   });
}

std::string Scenario::CommStatus(const Words& words)
{
    return Query<SERIAL_STATUS>(words, IOCTL_SERIAL_GET_COMMSTATUS,
                                [](const SERIAL_STATUS& status) {
                                    return "inq=" + std::to_string(status.AmountInInQueue) +
                                           " outq=" + std::to_string(status.AmountInOutQueue);
                                });
}

std::string Scenario::Line(const Words& words)
{
    const char* usage =
        "line H [baud=N] [bits=N parity=none|odd|even|mark|space stop=1|1.5|2] [dtr=on|off] "
        "[rts=on|off]";
    Require(words.size() >= 3, usage);
    HandleOf(words[1]);
    auto options = KeyValues(words, 2, {"baud", "bits", "parity", "stop", "dtr", "rts"}, usage);
    std::string line = "line " + words[1] + ":";
    for (const LineRequest& request : LineRequests(options)) {
        NTSTATUS status = Control(words[1], request.code, request.input, 0).status;
        line += std::string(" ") + request.label + "=" + StatusName(status);
    }
    return line;
}

std::string Scenario::LineState(const Words& words)
{
    Require(words.size() == 2, "linestate H");
    HandleOf(words[1]);
    NTSTATUS status = STATUS_SUCCESS;
    // Sends one get request; true when it returned its whole record. The line's status is the
    // first failure's.
    auto ask = [&](ULONG code, auto* record) {
        host::IoResult result = Control(words[1], code, {}, sizeof(*record));
        if (NT_SUCCESS(status)) status = result.status;
        return Returned(result, record);
    };
    std::string fields;
    ULONG baud = 0, lines = 0, modem = 0;
    SERIAL_LINE_CONTROL control;
    if (ask(IOCTL_SERIAL_GET_BAUD_RATE, &baud)) fields += " baud=" + std::to_string(baud);
    if (ask(IOCTL_SERIAL_GET_LINE_CONTROL, &control)) {
        fields += " bits=" + std::to_string(control.WordLength) +
                  " parity=" + ValueName(control.Parity, kParityNames) +
                  " stop=" + ValueName(control.StopBits, kStopBitNames);
    }
    if (ask(IOCTL_SERIAL_GET_DTRRTS, &lines)) {
        fields +=
            " dtr=" + OnOff(lines & SERIAL_DTR_STATE) + " rts=" + OnOff(lines & SERIAL_RTS_STATE);
    }
    if (ask(IOCTL_SERIAL_GET_MODEMSTATUS, &modem)) fields += " modem=" + HexNumber(modem, 2);
    return "linestate " + words[1] + ": " + StatusName(status) + fields;
}

std::string Scenario::Ioctl(const Words& words)
{
    const char* usage = "ioctl H CODE [in=HEX] [out=N]";
    Require(words.size() >= 3, usage);
    HandleOf(words[1]);
    ULONG code = ParseUlong(words[2], 16);
    auto options = KeyValues(words, 3, {"in", "out"}, usage);
    std::vector<UCHAR> input = options.count("in") ? ParseHexBytes(options["in"]) : Bytes();
    ULONG outputLength =
        options.count("out") ? ULONG(ParseNumber(options["out"], 10, kLargestLength)) : 0;
    host::IoResult result = Control(words[1], code, input, outputLength);
    return "ioctl " + words[1] + " " + HexNumber(code, 6) + ": " + StatusName(result.status) +
           " info=" + std::to_string(result.information) + " out=" + HexText(result.output);
}

std::string Scenario::Sleep(const Words& words)
{
    Require(words.size() == 2, "sleep MS");
    host_.Sleep(host::Milliseconds(int64_t(ParseNumber(words[1], 10, 0xFFFFFFFF))));
    Settle();
    return "sleep: now=" + std::to_string(host_.Now() / host::kTicksPerMillisecond) + " ms";
}

}  // namespace kdxsim
