// What both fuzz targets share: reading the fuzzer's bytes, the streams of bytes the device and
// the program send, the data checks, and the end of a run with the host's own checks. A check
// that fails prints what it found and aborts, as the verifier does, so that libFuzzer and the
// replay keep the input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host.h"
#include "sys/kdxlusb.h"

namespace kdxfuzz {

// The fuzzer's bytes, read front to back; past the end every read gives zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() { return uint16_t(U8() | U8() << 8); }
    uint32_t U32() { return uint32_t(U16() | uint32_t(U16()) << 16); }
    std::vector<UCHAR> Bytes(size_t count)
    {
        if (count > size_ - at_) count = at_ < size_ ? size_ - at_ : 0;
        std::vector<UCHAR> bytes(data_ + at_, data_ + at_ + count);
        at_ += count;
        return bytes;
    }
    std::vector<UCHAR> Rest() { return Bytes(size_); }
    template <typename T, size_t N>
    T Pick(const T (&table)[N])
    {
        return table[U8() % N];
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// KDX_FUZZ_TRACE=1 in the environment: the targets say what they do, on stderr.
inline bool Tracing()
{
    static const bool tracing = getenv("KDX_FUZZ_TRACE") != nullptr;
    return tracing;
}

[[noreturn]] inline void Fail(const std::string& what)
{
    fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    fflush(stderr);
    abort();
}

// Byte `position` of a stream, different for each salt, so that a byte repeated, lost or moved
// shows.
inline UCHAR StreamByte(uint64_t salt, uint64_t position)
{
    uint64_t x = (position + 1) * 0x9E3779B97F4A7C15ull ^ salt * 0xC2B2AE3D27D4EB4Full;
    x ^= x >> 29;
    return UCHAR((x * 0xBF58476D1CE4E5B9ull) >> 56);
}

// What one plugged device was sent and gave back, checked at the end of the run: the bytes the
// reads returned are the bytes the device offered, in order, with spans missing only when
// something that may drop received bytes happened (inDrops); and the device accepted, write
// after write, the first bytes of each write: exactly as many as it reported written when it
// succeeded (STATUS_SUCCESS), at least as many otherwise: a transfer that fails part-way may
// have delivered bytes that it cannot count.
struct Ledger {
    uint64_t salt = 0;
    std::vector<UCHAR> offered;  // offered on bulk-IN, in order
    std::vector<UCHAR> read;     // returned by reads, in completion order
    bool inDrops = false;        // a purge, a failed IN transfer, a close, a removal...
    uint64_t writeStream = 0;    // bytes of the program's stream handed out to writes
    struct Write {
        std::vector<UCHAR> bytes;
        size_t written;  // its Information
        bool succeeded;
    };
    std::vector<Write> writes;    // completed writes, in order
    std::vector<UCHAR> received;  // accepted on bulk-OUT, in order

    void Offer(host::UsbDevice& device, size_t count)
    {
        std::vector<UCHAR> bytes(count);
        for (size_t i = 0; i < count; i++) bytes[i] = StreamByte(salt, offered.size() + i);
        offered.insert(offered.end(), bytes.begin(), bytes.end());
        device.OfferIn(bytes);
    }
    std::vector<UCHAR> NextWrite(size_t count)
    {
        std::vector<UCHAR> bytes(count);
        for (size_t i = 0; i < count; i++) bytes[i] = StreamByte(~salt, writeStream + i);
        writeStream += count;
        return bytes;
    }
    void Take(host::UsbDevice& device)
    {
        for (const std::vector<UCHAR>& transfer : device.TakeOutTransfers()) {
            received.insert(received.end(), transfer.begin(), transfer.end());
        }
    }
    void Check(const std::string& name) const
    {
        size_t at = 0;
        for (size_t i = 0; i < read.size(); i++, at++) {
            while (at < offered.size() && offered[at] != read[i] && inDrops) at++;
            if (at >= offered.size() || offered[at] != read[i]) {
                Fail(name + ": read byte " + std::to_string(i) + " of " +
                     std::to_string(read.size()) + " is not the device's byte " +
                     std::to_string(at) + " of " + std::to_string(offered.size()) +
                     (inDrops ? " nor any later one" : " (nothing could drop bytes)"));
            }
        }
        std::vector<std::vector<bool>> tried(writes.size());
        if (!Sent(0, 0, tried)) {
            size_t reported = 0;
            for (const Write& write : writes) reported += write.written;
            Fail(name + ": the device accepted " + std::to_string(received.size()) +
                 " bytes on bulk-OUT, which are not the first bytes of each of the " +
                 std::to_string(writes.size()) + " writes (" + std::to_string(reported) +
                 " reported written)");
        }
    }

private:
    // Whether received[at...] is what writes[i...] may have delivered; `tried` remembers the
    // positions already ruled out for each write.
    bool Sent(size_t i, size_t at, std::vector<std::vector<bool>>& tried) const
    {
        if (i == writes.size()) return at == received.size();
        if (tried[i].size() <= at) tried[i].resize(received.size() + 1);
        if (tried[i][at]) return false;
        tried[i][at] = true;
        const Write& write = writes[i];
        if (at + write.written > received.size() ||
            !std::equal(write.bytes.begin(), write.bytes.begin() + write.written,
                        received.begin() + at)) {
            return false;
        }
        size_t most = write.succeeded ? write.written : write.bytes.size();
        for (size_t length = write.written;; length++) {
            if (Sent(i + 1, at + length, tried)) return true;
            if (length == most || at + length == received.size() ||
                received[at + length] != write.bytes[length]) {
                return false;
            }
        }
    }

public:
};

// The DOS name the port of a started device has, empty when it has none.
inline std::u16string PortLink(host::Host& host, PDEVICE_OBJECT functionDevice)
{
    if (functionDevice == nullptr) return u"";
    std::u16string target = host::RecordOf(functionDevice)->name;
    for (const auto& [name, linked] : host.objects().SymbolicLinks()) {
        if (linked == target && name.rfind(u"\\DosDevices\\", 0) == 0) return name;
    }
    return u"";
}

// Ends the run: every handle closed, devices removed but still on the bus taken off it (the
// PnP manager sends them nothing more), the rest pulled out, the driver unloaded with the
// verifier's checks; then nothing may be outstanding, neither in the host nor a request of the
// program.
inline void EndRun(host::Host& host)
{
    for (host::Handle handle : host.app().OpenHandles()) host.app().Close(handle);
    for (PDEVICE_OBJECT physicalDevice : host.bus().PresentDevices()) {
        if (!host.pnp().Removed(physicalDevice)) continue;
        host::UsbDevice& device = host::DeviceFromObject(physicalDevice);
        device.Vanish();
        host.bus().Delete(device);
    }
    host.EndRun();
    if (host.driver() != nullptr)
        Fail("the driver could not be unloaded\n" + host.Summary().Format());
    if (!host.Summary().Clean()) Fail("left outstanding\n" + host.Summary().Format());
    if (size_t left = host.app().OutstandingCount()) {
        Fail(std::to_string(left) + " requests of the program never completed");
    }
}

}  // namespace kdxfuzz
