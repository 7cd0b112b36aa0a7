// The driver's data paths as an application and a device see them: a plugged adapter whose
// port is open, with readers, writers and device-control helpers on the application side, the
// simulated device's bulk pipes on the other, and waits in virtual time for what the driver
// does in its workers.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/driver_fixture.h"

namespace kdxtest {

constexpr host::Ticks kMillisecond = 10000;  // host ticks are 100 ns
constexpr host::Ticks kSecond = 1000 * kMillisecond;
constexpr ULONG kPacket = 64;  // the adapter's bulk packet size

// The bulk-OUT transfers a device accepted, each with its bytes.
using Transfers = std::vector<std::vector<UCHAR>>;

// `count` bytes that count up from `first`, wrapping, so that a lost, repeated or reordered
// byte shows.
inline std::vector<UCHAR> Pattern(size_t count, UCHAR first = 0)
{
    std::vector<UCHAR> bytes(count);
    for (size_t i = 0; i < count; i++) bytes[i] = UCHAR(first + i);
    return bytes;
}

inline std::string Hex(NTSTATUS status)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", unsigned(status));
    return text;
}

inline std::vector<UCHAR> AsBytes(const void* data, size_t size)
{
    auto bytes = static_cast<const UCHAR*>(data);
    return std::vector<UCHAR>(bytes, bytes + size);
}

inline SERIAL_TIMEOUTS ReadTimeouts(ULONG interval, ULONG multiplier, ULONG constant)
{
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = interval;
    timeouts.ReadTotalTimeoutMultiplier = multiplier;
    timeouts.ReadTotalTimeoutConstant = constant;
    return timeouts;
}

// A plugged adapter (both bus modes) whose port the test's application has open.
class DataPathTest : public BusModeTest {
protected:
    void SetUp() override
    {
        BusModeTest::SetUp();
        plugged = UsesLowerFilter() ? PlugFiltered(Model(), &filter) : Plug(Model());
        ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
        usb = plugged.device;
        extension = Extension(plugged);
        host::OpenResult opened = app().Open(u"VLT0");
        ASSERT_EQ(STATUS_SUCCESS, opened.status) << Hex(opened.status);
        handle = opened.handle;
    }
    void TearDown() override
    {
        if (handle != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, app().Close(handle));
            EXPECT_EQ(0u, app().OutstandingCount()) << "requests still outstanding after close";
        }
        BusModeTest::TearDown();
    }

    // The device a test plugs; a suite overrides it for another device.
    virtual host::DeviceModel Model() const { return Adapter(kNumberedProduct); }
    // Whether a lower filter (`filter`) sits between the port's device and the bus.
    virtual bool UsesLowerFilter() const { return false; }

    host::Application& app() { return host.app(); }

    host::IoResult Read(ULONG length) { return app().Read(handle, length); }
    host::OutstandingRequest StartRead(ULONG length) { return app().StartRead(handle, length); }
    host::IoResult Write(const std::vector<UCHAR>& bytes) { return app().Write(handle, bytes); }
    host::OutstandingRequest StartWrite(const std::vector<UCHAR>& bytes)
    {
        return app().StartWrite(handle, bytes);
    }

    host::IoResult Control(ULONG code, const std::vector<UCHAR>& input, ULONG outputLength = 0)
    {
        return app().DeviceControl(handle, code, input, outputLength);
    }
    void SetTimeouts(const SERIAL_TIMEOUTS& timeouts)
    {
        host::IoResult result =
            Control(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(&timeouts, sizeof(timeouts)));
        ASSERT_EQ(STATUS_SUCCESS, result.status) << Hex(result.status);
    }
    void SetWriteTimeouts(ULONG multiplier, ULONG constant)
    {
        SERIAL_TIMEOUTS timeouts{};
        timeouts.WriteTotalTimeoutMultiplier = multiplier;
        timeouts.WriteTotalTimeoutConstant = constant;
        SetTimeouts(timeouts);
    }
    NTSTATUS Purge(ULONG mask)
    {
        return Control(IOCTL_SERIAL_PURGE, AsBytes(&mask, sizeof(mask))).status;
    }
    SERIALPERF_STATS Stats()
    {
        SERIALPERF_STATS stats{};
        host::IoResult result = Control(IOCTL_SERIAL_GET_STATS, {}, sizeof(stats));
        EXPECT_EQ(STATUS_SUCCESS, result.status) << Hex(result.status);
        if (result.output.size() >= sizeof(stats))
            memcpy(&stats, result.output.data(), sizeof(stats));
        return stats;
    }

    // A read that succeeded with exactly `bytes`.
    static void ExpectRead(const host::IoResult& result, const std::vector<UCHAR>& bytes)
    {
        EXPECT_EQ(STATUS_SUCCESS, result.status) << Hex(result.status);
        EXPECT_EQ(bytes, result.output);
    }

    // A request that its timeout ended, with no bytes, `elapsed` after it was sent: at least
    // `low` and less than `high`.
    static void ExpectTimedOutAfter(const host::IoResult& result, host::Ticks elapsed,
                                    host::Ticks low, host::Ticks high)
    {
        EXPECT_EQ(STATUS_TIMEOUT, result.status) << Hex(result.status);
        EXPECT_EQ(0u, result.information);
        EXPECT_GE(elapsed, low) << "timed out after " << elapsed / kMillisecond << " ms";
        EXPECT_LT(elapsed, high) << "timed out after " << elapsed / kMillisecond << " ms";
    }

    // Waits in virtual time, 1 ms at a time, until `condition` holds or `limit` has passed;
    // returns whether it holds.
    bool WaitUntil(const std::function<bool()>& condition, host::Ticks limit = 120 * kSecond)
    {
        host::Ticks end = host.Now() + limit;
        while (!condition()) {
            if (host.Now() >= end) return false;
            host.Sleep(kMillisecond);
        }
        return true;
    }
    // Lets the driver's workers and the bus run on for a while.
    void Settle(host::Ticks duration = 500 * kMillisecond) { host.Sleep(duration); }

    // Reads driver state under DeviceLock, as the driver writes it.
    template <typename Read>
    auto UnderDeviceLock(Read&& read) const
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
        auto value = read();
        KeReleaseSpinLock(&extension->DeviceLock, irql);
        return value;
    }
    ULONG Buffered() const
    {
        return UnderDeviceLock([&] { return extension->ReceiveCount; });
    }
    size_t PendingIn() const { return usb->PendingTransfers(host::Direction::In); }
    size_t PendingOut() const { return usb->PendingTransfers(host::Direction::Out); }
    // The current read, the one that waits for data (null when none waits).
    PIRP CurrentRead() const
    {
        return UnderDeviceLock([&] { return extension->CurrentReadIrp; });
    }
    void WaitForCurrentRead()
    {
        ASSERT_TRUE(WaitUntil([&] { return CurrentRead() != nullptr; }))
            << "no read waits for data";
    }
    // Waits until the read worker itself waits for the current read's end (a thread is linked
    // into ReceiveDeliveredEvent's wait list): it has done all it does before that wait.
    void WaitUntilTheReadWorkerWaits()
    {
        LIST_ENTRY* waiters = &extension->ReceiveDeliveredEvent.Header.WaitListHead;
        ASSERT_TRUE(WaitUntil([&] {
            if (CurrentRead() == nullptr) return false;
            // The host links waiters under its scheduler mutex.
            std::lock_guard<std::mutex> guard(host::Scheduler::Instance().mutex());
            return waiters->Flink != waiters;
        })) << "the read worker does not wait for data";
    }

    // The pump runs from the open on; waits until its first bulk-IN read is with the bus.
    void WaitForPump()
    {
        ASSERT_TRUE(WaitUntil([&] { return PendingIn() == 1; })) << "no bulk-IN read in flight";
    }
    // The device sends `bytes` on its bulk-IN pipe, ended by a short or zero-length packet,
    // and the pump buffers them (no read may take them meanwhile). Unless the buffer is then
    // too full for it, the pump has also delivered them: its next read is with the bus.
    void DeviceSends(const std::vector<UCHAR>& bytes)
    {
        ULONG wanted = Buffered() + ULONG(bytes.size());
        usb->OfferIn(bytes);
        if (bytes.size() % kPacket == 0 && bytes.size() % 2048 != 0) usb->OfferZeroLengthIn();
        auto delivered = [&] {
            return Buffered() == wanted && (wanted > 4096 || PendingIn() == 1);
        };
        ASSERT_TRUE(WaitUntil(delivered))
            << "buffered " << Buffered() << " bytes, wanted " << wanted;
    }

    Plugged plugged;
    host::UsbDevice* usb = nullptr;
    PDEVICE_EXTENSION extension = nullptr;
    host::Handle handle = nullptr;
    std::unique_ptr<LowerFilter> filter;
};

}  // namespace kdxtest
