// Scenarios: one command a line, run against the driver loaded in a host, each printing one
// result line; `expect` lines check the result of the command before them.
#pragma once

#include <cstdio>
#include <istream>
#include <string>
#include <vector>

#include "host/host.h"

namespace kdxsim {

class Scenario {
public:
    Scenario(host::Host& host, FILE* out) : host_(host), out_(out) {}

    // Runs the lines of `input`; `source` names it in messages (a file name, "stdin", "demo").
    // Stops at the first malformed line, after reporting it on stderr; goes on after a failed
    // expect. Returns true when every line was well formed and every expect held.
    bool Run(std::istream& input, const std::string& source);

    // The closing lines: how many expects held, and each failure with its place.
    void PrintVerdict() const;

    // Devices plugged so far (those whose add-device failed included).
    size_t DevicesPlugged() const { return devices_.size(); }

    // The text of the commands, their keys and the scenario rules, for --help.
    static std::string Help();

private:
    struct Device {
        std::string name;
        host::PnpManager::Plugged plugged;
    };
    using Words = std::vector<std::string>;

    std::string Execute(const Words& words);
    std::string Expect(const std::string& text, int line);

    std::string Plug(const Words& words);
    std::string Pnp(const Words& words);
    std::string Power(const Words& words);
    std::string Ports() const;
    std::string Registry(const Words& words);
    std::string Interfaces() const;
    std::string Requests(const Words& words);

    Device& Find(const std::string& name);
    std::string NameOf(PDEVICE_OBJECT physicalDevice) const;
    std::string PortOf(PDEVICE_OBJECT functionDevice) const;
    std::string ReportedPower(const Device& device) const;

    host::Host& host_;
    FILE* out_;
    std::vector<Device> devices_;  // in plug order
    std::string lastResult_;       // the result line of the last command that was not an expect
    std::string source_;
    int expects_ = 0;
    std::vector<std::string> failures_;  // "<source>:<line>: <expect line>"
    std::string stoppedAt_;              // "<source>:<line>" of a malformed line
};

}  // namespace kdxsim
