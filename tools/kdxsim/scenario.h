// Scenarios: one command a line, run against the driver loaded in a host, each printing one
// result line; `expect` lines check the result of the command before them.
#pragma once

#include <cstdio>
#include <functional>
#include <istream>
#include <map>
#include <string>
#include <vector>

#include "host/host.h"
#include "words.h"

namespace kdxsim {

class Scenario {
public:
    Scenario(host::Host& host, FILE* out) : host_(host), out_(out) {}

    // Runs the lines of `input`; `source` names it in messages (a file name, "stdin", "demo").
    // Stops at the first malformed line, after reporting it on stderr; goes on after a failed
    // expect. Returns true when every line was well formed and every expect held.
    bool Run(std::istream& input, const std::string& source);

    // Closes the handles the scenario left open, as a program's end closes them, each with a
    // line: close H: STATUS (at the end).
    void CloseHandles();

    // Unplugs every device not yet removed, as its user pulls it out when done, each with a
    // line: unplug NAME: STATUS (at the end). Handles are closed by then, so the removal
    // follows each surprise removal at once.
    void UnplugDevices();

    // The closing lines: how many expects held, and each failure with its place.
    void PrintVerdict() const;

    // Devices plugged so far (those whose add-device failed included).
    size_t DevicesPlugged() const { return devices_.size(); }

    // The text of the commands, their keys and the scenario rules, for --help.
    static std::string Help();

private:
    struct Device {
        std::string name;
        host::PnpManager::Plugged plugged;  // pointers null once the device is gone
        bool unplugged = false;
        bool surprised = false;  // surprise-removed: the removal follows the last close
        bool gone = false;       // removed: its device objects are deleted
    };
    // A request started with `async R`; its kind decides how its completion reads.
    enum class RequestKind { Read, Write, WaitMask };
    struct Request {
        RequestKind kind;
        host::OutstandingRequest request;
    };

    std::string Execute(const Words& words);
    std::string Expect(const std::string& text, int line);
    // Lets every host thread run until all are blocked, without moving the clock.
    void Settle() { host_.RunUntilIdle(); }

    // Ports and their requests (port_commands.cpp).
    std::string Open(const Words& words);
    std::string Close(const Words& words);
    std::string Write(const Words& words);
    std::string Read(const Words& words);
    std::string WaitMask(const Words& words);
    std::string Wait(const Words& words);
    std::string Cancel(const Words& words);
    std::string SetTimeouts(const Words& words);
    std::string SetMask(const Words& words);
    std::string Purge(const Words& words);
    std::string Stats(const Words& words);
    std::string CommStatus(const Words& words);
    std::string Line(const Words& words);
    std::string LineState(const Words& words);
    std::string Ioctl(const Words& words);
    std::string Sleep(const Words& words);
    host::Handle HandleOf(const std::string& name) const;
    Request& FindRequest(const std::string& name);
    // The name R of a trailing "async R" at words[at] (free unless its request has completed),
    // or "" when the words end at `at`.
    std::string AsyncName(const Words& words, size_t at, const char* usage) const;
    // Sends the request `start` makes on the handle named by words[1], then as Finish does;
    // an "async R" may follow at words[asyncAt]. Returns the whole result line.
    using RequestStarter = std::function<host::OutstandingRequest(host::Handle)>;
    std::string StartRequest(const Words& words, size_t asyncAt, const char* usage,
                             RequestKind kind, const RequestStarter& start);
    // A request just sent: waited for, or with `async R` left outstanding as R unless it
    // completed at once. Returns the result after "NAME H: ".
    std::string Finish(RequestKind kind, host::OutstandingRequest request,
                       const std::string& asyncName);
    // How a completed request reads: its status, then written=, n= data= sum= or mask=.
    static std::string CompletionText(RequestKind kind, const host::IoResult& result);
    template <typename Record>
    std::string Query(const Words& words, ULONG code, std::string (*fields)(const Record& record));
    host::IoResult Control(const std::string& handle, ULONG code, const std::vector<UCHAR>& input,
                           ULONG outputLength);
    std::string ControlLine(const std::string& name, const std::string& handle, ULONG code,
                            const std::vector<UCHAR>& input);

    // The device's side of the bulk pipes (device_commands.cpp).
    std::string DeviceCommand(const Words& words);
    std::string Received(const Device& device);

    std::string Plug(const Words& words);
    std::string Pnp(const Words& words);

    // Unplug and the teardown sequences (removal_commands.cpp).
    std::string Unplug(const Words& words);
    NTSTATUS UnplugDevice(Device& device);
    // The status of a stop, start, remove or surprise sequence; "" for another action.
    std::string PnpSequence(Device& device, const std::string& action);
    std::string SendRemoval(Device& device);
    static void RefuseAfterSurprise(const Device& device);
    // Marks gone the surprise-removed devices whose removal has been sent since.
    void NoteRemovals();
    static void MarkGone(Device& device);

    std::string Power(const Words& words);
    std::string Ports() const;
    std::string SerialComm() const;
    std::string Registry(const Words& words);
    std::string Interfaces() const;
    std::string Requests(const Words& words);

    Device& Find(const std::string& name);
    // As Find, for a device not yet removed.
    Device& FindPresent(const std::string& name);
    std::string NameOf(PDEVICE_OBJECT physicalDevice) const;
    std::string PortOf(PDEVICE_OBJECT functionDevice) const;
    std::string ReportedPower(const Device& device) const;

    host::Host& host_;
    FILE* out_;
    std::vector<Device> devices_;  // in plug order
    std::map<std::string, host::Handle> handles_;
    std::map<std::string, Request> requests_;
    std::string lastResult_;       // the result line of the last command that was not an expect
    std::string source_;
    int expects_ = 0;
    std::vector<std::string> failures_;  // "<source>:<line>: <expect line>"
    std::string stoppedAt_;              // "<source>:<line>" of a malformed line
};

}  // namespace kdxsim
