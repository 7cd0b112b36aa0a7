// The simulated bus driven directly, with no driver: an echoing adapter connected to a host's
// bus, configured, and used through IRPs that this code allocates, sends, waits for and frees
// as a driver would. The floor under the driver's own reads and writes (bus_echo.cpp, and
// beside each driver round trip in driver_data.cpp).
#pragma once
#include <vector>

#include "host/host.h"

namespace bench {

// The adapter every benchmark uses: product 0x005B, completing at once (`later` false) or
// from DPCs, on a bus of the given speed.
host::DeviceModel Adapter(bool later, host::BusSpeed speed = host::BusSpeed::Unlimited);

// `length` bytes that differ from their neighbours: what the echo benchmarks send.
std::vector<UCHAR> EchoPattern(ULONG length);

class BareEchoDevice {
public:
    // Connects an echoing Adapter(later) to the host's bus and selects its configuration; no
    // driver is attached to it.
    BareEchoDevice(host::Host& host, bool later);

    bool ok() const { return ok_; }

    // One round trip: a bulk-OUT transfer of `sent`, which the device echoes, then a bulk-IN
    // transfer of as many bytes into *received. False when a leg fails or comes up short.
    bool RoundTrip(const std::vector<UCHAR>& sent, std::vector<UCHAR>* received);

private:
    host::UsbDevice& device_;
    USBD_PIPE_HANDLE in_ = nullptr;
    USBD_PIPE_HANDLE out_ = nullptr;
    uint64_t rounds_ = 0;
    bool ok_ = false;
};

}  // namespace bench
