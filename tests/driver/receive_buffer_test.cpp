// The receive buffer as reads empty it: a full buffer (6144 bytes) read one byte first, the
// remaining 6143 bytes moved to the front in place, then read in pieces of assorted sizes,
// every byte in order; on two ports of two devices at once.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "support/data_fixture.h"

using namespace kdxtest;

namespace {

// Bytes from a generator seeded per port: no period a misplaced block could hide in.
std::vector<UCHAR> Noise(size_t count, uint32_t seed)
{
    std::vector<UCHAR> bytes(count);
    for (UCHAR& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = UCHAR(seed >> 24);
    }
    return bytes;
}

class ReceiveBuffer : public BusModeTest {
protected:
    struct Port {
        Plugged plugged;
        host::Handle handle = nullptr;
        std::vector<UCHAR> sent;
        std::vector<ULONG> asked;           // each read's length, in the order they were made
        std::vector<host::IoResult> reads;  // and its result
    };

    // Plugs a device, opens its port and starts its pump (the first write does).
    void Open(Port* port, const std::u16string& name)
    {
        port->plugged = Plug(Adapter(kNumberedProduct));
        ASSERT_EQ(STATUS_SUCCESS, port->plugged.startStatus);
        host::OpenResult opened = host.app().Open(name);
        ASSERT_EQ(STATUS_SUCCESS, opened.status) << Hex(opened.status);
        port->handle = opened.handle;
        host::IoResult written = host.app().Write(port->handle, {0x55});
        ASSERT_EQ(STATUS_SUCCESS, written.status) << Hex(written.status);
        ASSERT_TRUE(WaitUntil([&] {
            return port->plugged.device->PendingTransfers(host::Direction::In) == 1;
        })) << "no bulk-IN read in flight";
    }

    // The device sends 6144 bytes; waits until the pump has buffered all of them.
    void Fill(Port* port, uint32_t seed)
    {
        port->sent = Noise(KDX_RECEIVE_BUFFER_SIZE, seed);
        port->plugged.device->OfferIn(port->sent);
        ASSERT_TRUE(WaitUntil([&] { return Buffered(*port) == port->sent.size(); }))
            << "buffered " << Buffered(*port) << " bytes";
    }

    // Reads one byte, then the rest in pieces of assorted sizes (at most what is left, so
    // that every read is served from the buffer).
    void ReadAll(Port* port)
    {
        static const ULONG kPieces[] = {1, 700, 4096, 13, 2048, 1, 511, 5000, 64, 333};
        size_t left = port->sent.size();
        for (size_t i = 0; left != 0; i++) {
            ULONG length = ULONG(std::min<size_t>(kPieces[i % std::size(kPieces)], left));
            port->asked.push_back(length);
            port->reads.push_back(host.app().Read(port->handle, length));
            size_t got = port->reads.back().output.size();
            if (got == 0) return;  // reported by the caller
            left -= std::min(got, left);
        }
    }

    ULONG Buffered(const Port& port)
    {
        PDEVICE_EXTENSION extension = Extension(port.plugged);
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->DeviceLock);
        ULONG count = extension->ReceiveCount;
        KeReleaseSpinLock(&extension->DeviceLock, irql);
        return count;
    }

    bool WaitUntil(const std::function<bool()>& condition)
    {
        for (int ms = 0; ms < 10000; ms++) {
            if (condition()) return true;
            host.Sleep(kMillisecond);
        }
        return condition();
    }

    // Every read succeeded and took min(asked, 4096) bytes, and together they are the bytes
    // sent, in order.
    static void ExpectInOrder(const Port& port, const char* name)
    {
        std::vector<UCHAR> received;
        for (size_t i = 0; i < port.reads.size(); i++) {
            const host::IoResult& read = port.reads[i];
            EXPECT_EQ(STATUS_SUCCESS, read.status)
                << name << " read " << i << ": " << Hex(read.status);
            EXPECT_EQ(std::min<size_t>(port.asked[i], 4096), read.output.size())
                << name << " read " << i;
            received.insert(received.end(), read.output.begin(), read.output.end());
        }
        ASSERT_EQ(port.sent.size(), received.size())
            << name << ", in " << port.reads.size() << " reads";
        for (size_t i = 0; i < received.size(); i++) {
            ASSERT_EQ(int(port.sent[i]), int(received[i])) << name << ", byte " << i;
        }
    }
};

TEST_P(ReceiveBuffer, TwoPortsReadTheirFullBuffersInPiecesEveryByteInOrder)
{
    Port first, second;
    Open(&first, u"VLT0");
    Open(&second, u"VLT1");
    Fill(&first, 0x1234);
    Fill(&second, 0xBEEF);
    ASSERT_FALSE(HasFatalFailure());

    std::unique_ptr<host::HostThread> thread;
    std::thread reader = host::Scheduler::Instance().Spawn(
        "second port's reader", [&] { ReadAll(&second); }, &thread);
    ReadAll(&first);
    host::Scheduler::Instance().Join(reader, *thread);

    ExpectInOrder(first, "VLT0");
    ExpectInOrder(second, "VLT1");
    EXPECT_EQ(0u, Buffered(first));
    EXPECT_EQ(0u, Buffered(second));
    EXPECT_EQ(STATUS_SUCCESS, host.app().Close(first.handle));
    EXPECT_EQ(STATUS_SUCCESS, host.app().Close(second.handle));
}

KDX_FOR_BOTH_BUS_MODES(ReceiveBuffer);

}  // namespace
