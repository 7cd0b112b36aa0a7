// The options of the plug command: KEY=VALUE words turned into the description of a simulated
// device (host::DeviceModel), and their help text.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "host/host.h"

namespace kdxsim {

// A malformed scenario line; the message says what is wrong.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An unsigned number in `base` (16 accepts a 0x prefix) of at most `max`; throws
// ScenarioError otherwise.
unsigned long ParseNumber(const std::string& text, int base, unsigned long max);

// A word of two values: true for `yes`, false for `no`; throws ScenarioError otherwise.
bool Choose(const std::string& value, const char* yes, const char* no);

// Builds a device from plug options such as "pid=1234" or "endpoints=bulk-in,int-in*2". Keys
// not given keep their defaults: vendor 0x0000, product 0x005B, one interface with a bulk-in
// and a bulk-out pipe of 64 bytes, no faults, no values in the hardware key. Throws
// ScenarioError for an unknown key, a repeated key or a bad value.
host::DeviceModel ParseDeviceOptions(const std::vector<std::string>& options);

// One line per key, for --help.
std::string DeviceOptionsHelp();

}  // namespace kdxsim
