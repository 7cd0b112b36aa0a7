// A long echo stream through the whole data path: writes and reads of mixed sizes, some reads
// cancelled and some timed out along the way, and every byte written comes back once, in
// order.
#include <gtest/gtest.h>

#include "support/data_fixture.h"

using namespace kdxtest;

namespace {

class DataIntegrity : public DataPathTest {
protected:
    host::DeviceModel Model() const override
    {
        host::DeviceModel model = Adapter(kNumberedProduct);
        model.echo = true;
        model.busSpeed = Speed();
        return model;
    }
    virtual host::BusSpeed Speed() const { return host::BusSpeed::Unlimited; }

    // A deterministic generator of sizes and choices.
    ULONG Next(ULONG bound)
    {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return ULONG((state_ >> 33) % bound);
    }

    void Take(const host::IoResult& result, const char* what)
    {
        EXPECT_TRUE(result.status == STATUS_SUCCESS || result.status == STATUS_TIMEOUT ||
                    result.status == STATUS_CANCELLED)
            << what << ": " << Hex(result.status);
        if (result.status == STATUS_CANCELLED) {
            EXPECT_EQ(0u, result.information) << what << " was cancelled with bytes";
        }
        received.insert(received.end(), result.output.begin(), result.output.end());
    }

    // Reads until every byte written has come back; false when a read came back empty-handed
    // too often.
    bool Drain()
    {
        for (int reads = 0; received.size() < written.size(); reads++) {
            if (reads == 1000) return false;
            Take(Read(4096), "a draining read");
        }
        return true;
    }

    void RunEchoStream();

    // A read on a drained stream: it ends by its timeout or, with `cancel`, is cancelled once
    // it waits for data. The echo of the zero-length packet after a write of whole packets
    // that ended at a 2048-byte boundary is an empty bulk-IN transfer of its own and may still
    // be on its way: a read that it ends, with no bytes, is followed by another.
    host::IoResult IdleRead(bool cancel)
    {
        host::IoResult result;
        for (int tries = 0; tries < 2; tries++) {
            host::OutstandingRequest read = StartRead(1 + Next(4096));
            if (cancel) {
                EXPECT_TRUE(WaitUntil([&] { return read.Completed() || CurrentRead() != nullptr; }))
                    << "the read neither waits nor ended";
                read.Cancel();
            }
            result = read.Wait();
            if (result.status != STATUS_SUCCESS || result.information != 0) break;
        }
        return result;
    }

    std::vector<UCHAR> written;
    std::vector<UCHAR> received;

private:
    uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

// Writes of 1 to 4096 bytes, each followed by up to two reads of 1 to 4096 bytes, one in six
// of them cancelled at once, and now and then, with the stream drained, a waiting read
// cancelled and a read that times out; then every byte written must have come back once, in
// order.
void DataIntegrity::RunEchoStream()
{
    const SERIAL_TIMEOUTS shortRead = ReadTimeouts(0, 0, 200);
    SetTimeouts(shortRead);
    int cancelledReads = 0;
    int timedOutReads = 0;
    for (int round = 0; round < 120; round++) {
        std::vector<UCHAR> chunk(1 + Next(4096));
        for (UCHAR& byte : chunk) byte = UCHAR(Next(256));
        host::IoResult write = Write(chunk);
        ASSERT_EQ(STATUS_SUCCESS, write.status) << "round " << round << ": " << Hex(write.status);
        ASSERT_EQ(chunk.size(), write.information) << "round " << round;
        written.insert(written.end(), chunk.begin(), chunk.end());

        for (ULONG reads = Next(3); reads > 0; reads--) {
            ULONG length = 1 + Next(4096);
            if (Next(6) == 0) {
                host::OutstandingRequest read = StartRead(length);
                read.Cancel();
                host::IoResult result = read.Wait();
                cancelledReads += result.status == STATUS_CANCELLED;
                Take(result, "a cancelled read");
            } else {
                host::IoResult result = Read(length);
                timedOutReads += result.status == STATUS_TIMEOUT;
                Take(result, "a read");
            }
        }
        if (Next(10) == 0) {
            // With the stream drained, a read waits for nothing: one is cancelled once it
            // waits (for up to 60 s), another times out empty.
            ASSERT_TRUE(Drain()) << "round " << round;
            SetTimeouts(ReadTimeouts(0, 0, 0));
            host::IoResult cancelled = IdleRead(true);
            EXPECT_EQ(STATUS_CANCELLED, cancelled.status)
                << "round " << round << ": " << Hex(cancelled.status);
            cancelledReads += cancelled.status == STATUS_CANCELLED;
            Take(cancelled, "a waiting read cancelled");

            SetTimeouts(shortRead);
            host::IoResult idle = IdleRead(false);
            EXPECT_EQ(STATUS_TIMEOUT, idle.status) << "round " << round << ": " << Hex(idle.status);
            EXPECT_EQ(0u, idle.information) << "round " << round << ": bytes beyond the stream";
            timedOutReads += idle.status == STATUS_TIMEOUT;
            Take(idle, "an idle read");
        }
    }
    ASSERT_TRUE(Drain());

    ASSERT_EQ(written.size(), received.size());
    size_t mismatch = 0;
    while (mismatch < written.size() && written[mismatch] == received[mismatch]) mismatch++;
    EXPECT_EQ(written.size(), mismatch) << "the streams differ from byte " << mismatch;
    EXPECT_GT(cancelledReads, 0) << "no read was cancelled on the way";
    EXPECT_GT(timedOutReads, 0) << "no read timed out on the way";
    // A read may take bytes the pump has appended before the pump's delivery step counts
    // them: the count catches up once that step has run.
    EXPECT_EQ(written.size(), Stats().TransmittedCount);
    EXPECT_TRUE(WaitUntil([&] { return Stats().ReceivedCount == written.size(); }, kSecond))
        << "received " << Stats().ReceivedCount << " of " << written.size() << " bytes";
}

TEST_P(DataIntegrity, AnEchoStreamOfMixedSizesComesBackCompleteAndInOrder) { RunEchoStream(); }

KDX_FOR_BOTH_BUS_MODES(DataIntegrity);

// The same stream on a full-speed bus, where transfers take bus time frame by frame and the
// two directions share the frames.
class DataIntegrityOnAFullSpeedBus : public DataIntegrity {
protected:
    host::BusSpeed Speed() const override { return host::BusSpeed::Full; }
};

TEST_P(DataIntegrityOnAFullSpeedBus, AnEchoStreamOfMixedSizesComesBackCompleteAndInOrder)
{
    RunEchoStream();
}

KDX_FOR_BOTH_BUS_MODES(DataIntegrityOnAFullSpeedBus);

}  // namespace
