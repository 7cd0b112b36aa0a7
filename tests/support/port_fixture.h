// The port as an application uses it: a fixture that plugs an adapter and opens its port by
// name, device-control requests with typed records, requests sent without a handle, and the
// device's side of the data (waiting for what the bus holds, starting the receive pump).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host/src/application.h"
#include "support/driver_fixture.h"

namespace kdxtest {

// A record's bytes, as an application hands them to DeviceIoControl.
template <typename Record>
std::vector<UCHAR> Bytes(const Record& record)
{
    const UCHAR* first = reinterpret_cast<const UCHAR*>(&record);
    return std::vector<UCHAR>(first, first + sizeof(Record));
}

// A record read back from a request's output; a short output leaves the rest zero and fails
// the test.
template <typename Record>
Record As(const host::IoResult& result)
{
    Record record{};
    EXPECT_EQ(sizeof(Record), result.output.size()) << "bytes returned for the record";
    memcpy(&record, result.output.data(), std::min(sizeof(Record), result.output.size()));
    return record;
}

inline std::string Hex(ULONG value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

inline SERIAL_TIMEOUTS Timeouts(ULONG interval, ULONG multiplier, ULONG constant,
                                ULONG writeMultiplier = 0, ULONG writeConstant = 0)
{
    return SERIAL_TIMEOUTS{interval, multiplier, constant, writeMultiplier, writeConstant};
}

// A plugged adapter in either bus mode with its port opened through the application side.
class PortTest : public BusModeTest {
protected:
    host::Application& app() { return host.app(); }

    // Plugs an adapter of the product, with a lower filter below the port when `filter` is
    // given, and remembers it as the port's device.
    Plugged PlugPort(USHORT productId, std::unique_ptr<LowerFilter>* filter = nullptr)
    {
        port =
            filter != nullptr ? PlugFiltered(Adapter(productId), filter) : Plug(Adapter(productId));
        EXPECT_EQ(STATUS_SUCCESS, port.startStatus);
        portName = PortNameValue(port.physicalDevice);
        EXPECT_NE("", portName) << "the port has a name";
        return port;
    }
    // Plugs an adapter and opens its port as `portHandle`, which the test's end closes unless
    // the test closed it (ClosePort).
    void OpenPort(USHORT productId)
    {
        PlugPort(productId);
        portHandle = Open();
        ASSERT_NE(nullptr, portHandle);
    }
    NTSTATUS ClosePort()
    {
        host::Handle closing = portHandle;
        portHandle = nullptr;
        return app().Close(closing);
    }
    void TearDown() override
    {
        if (portHandle != nullptr) ClosePort();
        BusModeTest::TearDown();
    }

    PDEVICE_EXTENSION PortExtension() const { return Extension(port); }
    host::UsbDevice& Device() const { return *port.device; }

    host::OpenResult TryOpen(ULONG createOptions = 0)
    {
        return app().Open(u"\\\\.\\" + host::Widen(portName), createOptions);
    }
    // Opens the port; the test fails when it does not open.
    host::Handle Open()
    {
        host::OpenResult opened = TryOpen();
        EXPECT_EQ(STATUS_SUCCESS, opened.status) << "open of " << portName;
        return opened.handle;
    }

    host::IoResult Control(host::Handle handle, ULONG code, const std::vector<UCHAR>& input = {},
                           ULONG outputLength = 0)
    {
        return app().DeviceControl(handle, code, input, outputLength);
    }
    template <typename Record>
    Record Get(host::Handle handle, ULONG code)
    {
        host::IoResult result = Control(handle, code, {}, sizeof(Record));
        EXPECT_EQ(STATUS_SUCCESS, result.status) << "get request " << Hex(code);
        EXPECT_EQ(sizeof(Record), result.information) << "get request " << Hex(code);
        return As<Record>(result);
    }

    void SetTimeouts(host::Handle handle, const SERIAL_TIMEOUTS& timeouts)
    {
        EXPECT_EQ(STATUS_SUCCESS,
                  Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts)).status);
    }
    void SetWaitMask(host::Handle handle, ULONG mask)
    {
        host::IoResult result = Control(handle, IOCTL_SERIAL_SET_WAIT_MASK, Bytes(mask));
        EXPECT_EQ(STATUS_SUCCESS, result.status) << "wait mask " << Hex(mask);
    }
    host::OutstandingRequest StartWait(host::Handle handle)
    {
        return app().StartDeviceControl(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    }
    SERIAL_STATUS CommStatus(host::Handle handle)
    {
        return Get<SERIAL_STATUS>(handle, IOCTL_SERIAL_GET_COMMSTATUS);
    }

    // A device-control request that reaches the port without any open handle, as a system
    // component would send it; it carries no buffer, so only its stated lengths matter.
    NTSTATUS ControlWithoutHandle(ULONG code, ULONG inputLength = 0, ULONG outputLength = 0)
    {
        return SendRequest(port.physicalDevice, IRP_MJ_DEVICE_CONTROL, 0, STATUS_SUCCESS, 0,
                           [&](PIO_STACK_LOCATION stack) {
                               stack->Parameters.DeviceIoControl.IoControlCode = code;
                               stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
                               stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
                           });
    }

    // Waits in virtual time, 1 ms at a time and at most 10 s, until `done` holds.
    bool WaitUntil(const std::function<bool()>& done)
    {
        for (int waited = 0; waited < 10000; waited++) {
            if (done()) return true;
            host.Sleep(host::Milliseconds(1));
        }
        return done();
    }
    // Waits until the bus holds `count` transfers of the direction for the device.
    bool WaitForTransfers(host::Direction direction, size_t count)
    {
        return WaitUntil([&] { return Device().PendingTransfers(direction) == count; });
    }

    // The open started the pump; waits until its bulk-IN read is with the device.
    void WaitForReceivePump()
    {
        EXPECT_TRUE(WaitForTransfers(host::Direction::In, 1)) << "the pump's bulk-IN read";
    }
    // Waits until a read the port was given waits for data: it is the current read and the
    // read worker waits on ReceiveDeliveredEvent (the host links waiters under its scheduler
    // mutex), so bytes that arrive now complete it through the pump's delivery.
    bool WaitUntilTheReadWaits()
    {
        PDEVICE_EXTENSION extension = PortExtension();
        LIST_ENTRY* waiters = &extension->ReceiveDeliveredEvent.Header.WaitListHead;
        return WaitUntil([&] {
            KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
            PIRP current = extension->CurrentReadIrp;
            KeReleaseSpinLock(&extension->DeviceLock, irql);
            std::lock_guard<std::mutex> guard(host::Scheduler::Instance().mutex());
            return current != nullptr && waiters->Flink != waiters;
        });
    }

    // Bytes that arrive on the bulk-IN pipe, and the wait until the pump has taken `accepted`
    // of them (all unless the receive buffer fills) into the receive buffer and run its
    // delivery step for them, which counts them after they are buffered.
    void Receive(host::Handle handle, const std::vector<UCHAR>& bytes, ULONG accepted)
    {
        ULONG buffered = CommStatus(handle).AmountInInQueue;
        ULONG counted = Get<SERIALPERF_STATS>(handle, IOCTL_SERIAL_GET_STATS).ReceivedCount;
        Device().OfferIn(bytes);
        EXPECT_TRUE(WaitUntil([&] {
            return Get<SERIALPERF_STATS>(handle, IOCTL_SERIAL_GET_STATS).ReceivedCount ==
                   counted + accepted;
        })) << "bytes counted as received, wanted "
            << counted + accepted;
        EXPECT_EQ(buffered + accepted, CommStatus(handle).AmountInInQueue) << "bytes buffered";
    }

    Plugged port;
    std::string portName;
    host::Handle portHandle = nullptr;
};

}  // namespace kdxtest
