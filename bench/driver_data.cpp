// The driver's data paths against the bare bus: an echo round trip through an open port (write,
// the device echoes, read) in real time, side by side with the same bulk transfers made straight
// on the bus in the same run (bare_bus.h); the stream throughput that the bus-time model allows
// in virtual time, from the device to a reading application and from a writing application to
// the device, against the bus's ceiling; and one 2048-byte read, whose count of driver
// instructions tools/driver-cost.sh takes from the runs with a fixed number of iterations.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <vector>

#include "bench/bare_bus.h"
#include "host/host.h"
#include "sys/kdxlusb.h"

namespace {

// A host with the driver loaded and one echoing adapter plugged and opened as VLT0.
class OpenPort {
public:
    OpenPort(host::ClockMode clock, host::DeviceModel model) : host_(Options(clock))
    {
        ok_ = NT_SUCCESS(host_.LoadDriver(DriverEntry));
        if (!ok_) return;
        plugged_ = host_.Plug(model);
        ok_ = NT_SUCCESS(plugged_.startStatus);
        if (!ok_) return;
        host::OpenResult open = host_.app().Open(u"VLT0");
        handle_ = open.handle;
        ok_ = NT_SUCCESS(open.status);
        // Reads wait up to a minute for data and complete as soon as any is there.
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = 60000;
        std::vector<UCHAR> input(reinterpret_cast<UCHAR*>(&timeouts),
                                 reinterpret_cast<UCHAR*>(&timeouts) + sizeof(timeouts));
        ok_ = ok_ && NT_SUCCESS(
                         host_.app().DeviceControl(handle_, IOCTL_SERIAL_SET_TIMEOUTS, input, 0).status);
    }
    ~OpenPort() { host_.EndRun(); }

    bool ok() const { return ok_; }
    host::Host& host() { return host_; }
    host::UsbDevice& device() { return *plugged_.device; }

    // Reads until `length` bytes have come; false on a failed read.
    bool ReadExactly(ULONG length, std::vector<UCHAR>* into)
    {
        into->clear();
        while (into->size() < length) {
            host::IoResult read = host_.app().Read(handle_, ULONG(length - into->size()));
            if (!NT_SUCCESS(read.status)) return false;
            into->insert(into->end(), read.output.begin(), read.output.end());
        }
        return true;
    }
    bool Write(const std::vector<UCHAR>& bytes)
    {
        host::IoResult write = host_.app().Write(handle_, bytes);
        return NT_SUCCESS(write.status) && write.information == bytes.size();
    }

private:
    static host::HostOptions Options(host::ClockMode clock)
    {
        host::HostOptions options;
        options.clock = clock;
        options.schedule = host::ScheduleOptions();
        return options;
    }

    host::Host host_;
    host::PnpManager::Plugged plugged_;
    host::Handle handle_ = nullptr;
    bool ok_ = false;
};

// CPU time of the whole process (every host thread: the caller, the workers, the DPC thread).
double ProcessCpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Seconds between two readings of the monotonic clock.
double Seconds(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// Round trips made straight on the bus after each run of as many through the driver.
constexpr uint64_t kBareBlock = 32;

// kBareBlock round trips on the bare device, timed together; the host is left idle before
// and after, so that neither the driver's work nor the bus's spills into the other's time.
bool TimeBareBlock(host::Host& host, bench::BareEchoDevice& bus, const std::vector<UCHAR>& sent,
                   std::vector<UCHAR>* received, double* seconds)
{
    host.RunUntilIdle();
    auto start = std::chrono::steady_clock::now();
    bool ok = true;
    for (uint64_t i = 0; ok && i < kBareBlock; i++) ok = bus.RoundTrip(sent, received);
    *seconds += Seconds(start, std::chrono::steady_clock::now());
    host.RunUntilIdle();
    return ok;
}

// Arguments: the bytes of each leg, and 1 for the bus completing from DPCs. Each iteration is
// one round trip through the driver (the benchmark's time); after every kBareBlock of them the
// same two bulk transfers are made as often straight on a second echoing device of the same
// bus, with no driver, so that both run in the same host under the same load. Counters, per
// round trip: driver_ns and bus_ns, driver_cost_ns (the difference) and ratio (driver over
// bus).
void DriverEchoRoundTrip(benchmark::State& state)
{
    ULONG length = ULONG(state.range(0));
    bool later = state.range(1) != 0;
    host::DeviceModel model = bench::Adapter(later);
    model.echo = true;
    OpenPort port(host::ClockMode::Real, model);
    if (!port.ok()) {
        state.SkipWithError("the port did not open");
        return;
    }
    bench::BareEchoDevice bus(port.host(), later);
    if (!bus.ok()) {
        state.SkipWithError("the bare device could not be configured");
        return;
    }
    std::vector<UCHAR> sent = bench::EchoPattern(length), received, busReceived;
    uint64_t round = 0, busRounds = 0;
    double driverSeconds = 0, busSeconds = 0;
    for (auto _ : state) {
        if (++round % 256 == 0) port.device().TakeOutTransfers();
        auto start = std::chrono::steady_clock::now();
        if (!port.Write(sent) || !port.ReadExactly(length, &received)) {
            state.SkipWithError("a leg of the round trip failed");
            return;
        }
        double seconds = Seconds(start, std::chrono::steady_clock::now());
        state.SetIterationTime(seconds);
        driverSeconds += seconds;
        if (round % kBareBlock == 0 || round == uint64_t(state.max_iterations)) {
            if (!TimeBareBlock(port.host(), bus, sent, &busReceived, &busSeconds)) {
                state.SkipWithError("a leg of the bare round trip failed");
                return;
            }
            busRounds += kBareBlock;
        }
    }
    if (received != sent || busReceived != sent) state.SkipWithError("the echo changed the bytes");
    double driverNs = driverSeconds * 1e9 / double(state.iterations());
    double busNs = busSeconds * 1e9 / double(busRounds);
    state.counters["driver_ns"] = driverNs;
    state.counters["bus_ns"] = busNs;
    state.counters["driver_cost_ns"] = driverNs - busNs;
    state.counters["ratio"] = driverNs / busNs;
    port.device().TakeOutTransfers();
    state.SetBytesProcessed(int64_t(state.iterations()) * length * 2);
}
BENCHMARK(DriverEchoRoundTrip)
    ->ArgNames({"bytes", "later"})
    ->ArgsProduct({{1, 2048, 4096}, {0, 1}})
    ->UseManualTime();

// One 2048-byte read served from data the device has just offered, with the bus completing at
// once: the pump's bulk-IN transfer and the application's read. process_cpu_us is the CPU time
// of every host thread per read, the host's thread hand-offs and bus included. The two runs of a
// fixed count are for tools/driver-cost.sh, which subtracts one from the other under callgrind
// so that the setup cancels out.
void DriverRead2048(benchmark::State& state)
{
    OpenPort port(host::ClockMode::Real, bench::Adapter(false));
    if (!port.ok()) {
        state.SkipWithError("the port did not open");
        return;
    }
    std::vector<UCHAR> offered(2048, 0x5A), received;
    double cpu = ProcessCpuSeconds();
    for (auto _ : state) {
        port.device().OfferIn(offered);
        if (!port.ReadExactly(2048, &received)) {
            state.SkipWithError("a read failed");
            break;
        }
    }
    state.counters["process_cpu_us"] =
        (ProcessCpuSeconds() - cpu) * 1e6 / double(state.iterations());
}
BENCHMARK(DriverRead2048);
BENCHMARK(DriverRead2048)->Iterations(200);
BENCHMARK(DriverRead2048)->Iterations(1200);

// A 1 MiB stream on a timed bus, in virtual time. The figures are counters: the stream's rate
// in MB/s of virtual time, its share of the bus's ceiling for bulk data (high speed: 13 packets
// of 512 bytes per 125 us microframe; full speed: 19 packets of 64 bytes per 1 ms frame), and
// its share of the ceiling that the driver's design allows (DesignCeiling).
constexpr ULONG kStreamBytes = 1 << 20;
constexpr ULONG kStreamWrite = 4096;  // bytes of each write of the stream to the device
constexpr ULONG kPumpRead = 2048;     // bytes of each bulk-IN read the driver keeps in flight

struct Bus {
    double frameSeconds;
    ULONG packetsPerFrame;
    ULONG packetBytes;
};

Bus BusOf(host::BusSpeed speed)
{
    return speed == host::BusSpeed::High ? Bus{125e-6, 13, 512} : Bus{1e-3, 19, 64};
}

double Ceiling(host::BusSpeed speed)
{
    Bus bus = BusOf(speed);
    return double(bus.packetsPerFrame) * bus.packetBytes / bus.frameSeconds;
}

// The rate of a design that has one transfer in flight at a time: a transfer ends with the
// frame that carries its last packet, and the next one, sent when it has completed, starts in
// the next frame. Reads are the pump's 2048-byte transfers. A write of whole packets is
// followed by its zero-length packet, a transfer of its own sent when the data has gone, so
// it takes one frame more.
double DesignCeiling(host::BusSpeed speed, bool toApplication)
{
    Bus bus = BusOf(speed);
    ULONG bytes = toApplication ? kPumpRead : kStreamWrite;
    ULONG packets = (bytes + bus.packetBytes - 1) / bus.packetBytes;
    ULONG frames = (packets + bus.packetsPerFrame - 1) / bus.packetsPerFrame;
    if (!toApplication && bytes % bus.packetBytes == 0) frames++;
    return bytes / (frames * bus.frameSeconds);
}

void Stream(benchmark::State& state, host::BusSpeed speed, bool toApplication)
{
    for (auto _ : state) {
        OpenPort port(host::ClockMode::Virtual, bench::Adapter(true, speed));
        if (!port.ok()) {
            state.SkipWithError("the port did not open");
            return;
        }
        std::vector<UCHAR> block(kStreamWrite, 0x33), received;
        host::Ticks start = port.host().Now();
        if (toApplication) {
            port.device().OfferIn(std::vector<UCHAR>(kStreamBytes, 0x33));
            if (!port.ReadExactly(kStreamBytes, &received)) {
                state.SkipWithError("a read failed");
                return;
            }
        } else {
            for (ULONG sent = 0; sent < kStreamBytes; sent += ULONG(block.size())) {
                if (!port.Write(block)) {
                    state.SkipWithError("a write failed");
                    return;
                }
            }
        }
        double seconds = double(port.host().Now() - start) / host::kTicksPerSecond;
        double rate = kStreamBytes / seconds;
        state.counters["MBps"] = rate / 1e6;
        state.counters["percent_of_bus"] = 100.0 * rate / Ceiling(speed);
        state.counters["design_MBps"] = DesignCeiling(speed, toApplication) / 1e6;
        state.counters["percent_of_design"] = 100.0 * rate / DesignCeiling(speed, toApplication);
        state.counters["virtual_ms"] = seconds * 1000;
        port.device().TakeOutTransfers();
    }
}
BENCHMARK_CAPTURE(Stream, HighSpeedToApplication, host::BusSpeed::High, true)->Iterations(1);
BENCHMARK_CAPTURE(Stream, HighSpeedToDevice, host::BusSpeed::High, false)->Iterations(1);
BENCHMARK_CAPTURE(Stream, FullSpeedToApplication, host::BusSpeed::Full, true)->Iterations(1);
BENCHMARK_CAPTURE(Stream, FullSpeedToDevice, host::BusSpeed::Full, false)->Iterations(1);

}  // namespace
