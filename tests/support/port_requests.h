// Requests an application makes of a kdxlusb port, as bytes in and out, for the teardown and
// unplug tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/host.h"

namespace kdxtest {

inline std::vector<UCHAR> Ulong(ULONG value)
{
    std::vector<UCHAR> bytes(sizeof(ULONG));
    memcpy(bytes.data(), &value, sizeof(value));
    return bytes;
}

inline std::vector<UCHAR> Bytes(const std::string& text)
{
    return std::vector<UCHAR>(text.begin(), text.end());
}

inline std::string Hex(NTSTATUS status)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", ULONG(status));
    return text;
}

// An open port handle and the requests made through it.
class PortClient {
public:
    PortClient(host::Application& app, host::Handle handle) : app_(app), handle_(handle) {}

    host::IoResult SetWaitMask(ULONG mask)
    {
        return app_.DeviceControl(handle_, IOCTL_SERIAL_SET_WAIT_MASK, Ulong(mask), 0);
    }
    host::OutstandingRequest StartWaitOnMask()
    {
        return app_.StartDeviceControl(handle_, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    }
    host::IoResult Purge(ULONG flags)
    {
        return app_.DeviceControl(handle_, IOCTL_SERIAL_PURGE, Ulong(flags), 0);
    }
    host::IoResult CommStatus()
    {
        return app_.DeviceControl(handle_, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    }
    host::IoResult SetTimeouts(const SERIAL_TIMEOUTS& timeouts)
    {
        std::vector<UCHAR> bytes(sizeof(timeouts));
        memcpy(bytes.data(), &timeouts, sizeof(timeouts));
        return app_.DeviceControl(handle_, IOCTL_SERIAL_SET_TIMEOUTS, bytes, 0);
    }

private:
    host::Application& app_;
    host::Handle handle_;
};

}  // namespace kdxtest
