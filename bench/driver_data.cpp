// The driver's data paths against the bare bus: an echo round trip through an open port (write,
// the device echoes, read) in real time, beside the same bulk transfers made straight on the bus
// (bus_echo.cpp); the stream throughput that the bus-time model allows in virtual time, from the
// device to a reading application and from a writing application to the device, against the
// bus's ceiling; and the CPU cost of one 2048-byte read.
#include <benchmark/benchmark.h>

#include <time.h>

#include <vector>

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

host::DeviceModel Adapter(bool later, host::BusSpeed speed = host::BusSpeed::Unlimited)
{
    host::DeviceModel model = host::DeviceModel::SerialAdapter(0x1234, 0x005B);
    model.asynchronous = later;
    model.busSpeed = speed;
    return model;
}

// Arguments: the bytes of each leg, and 1 for the bus completing from DPCs.
void DriverEchoRoundTrip(benchmark::State& state)
{
    ULONG length = ULONG(state.range(0));
    host::DeviceModel model = Adapter(state.range(1) != 0);
    model.echo = true;
    OpenPort port(host::ClockMode::Real, model);
    if (!port.ok()) {
        state.SkipWithError("the port did not open");
        return;
    }
    std::vector<UCHAR> sent(length), received;
    for (ULONG i = 0; i < length; i++) sent[i] = UCHAR(i * 7);
    uint64_t round = 0;
    double cpu = ProcessCpuSeconds();
    for (auto _ : state) {
        if (++round % 256 == 0) port.device().TakeOutTransfers();
        if (!port.Write(sent) || !port.ReadExactly(length, &received)) {
            state.SkipWithError("a leg of the round trip failed");
            break;
        }
    }
    state.counters["process_cpu_us"] =
        (ProcessCpuSeconds() - cpu) * 1e6 / double(state.iterations());
    if (received != sent) state.SkipWithError("the echo changed the bytes");
    port.device().TakeOutTransfers();
    state.SetBytesProcessed(int64_t(state.iterations()) * length * 2);
}
BENCHMARK(DriverEchoRoundTrip)
    ->ArgNames({"bytes", "later"})
    ->ArgsProduct({{1, 2048, 4096}, {0, 1}})
    ->UseRealTime();

// One 2048-byte read served from data the device has just offered, with the bus completing at
// once: what the driver's read path costs on top of the bus's IN transfer (compare the CPU time
// with half of BusEchoRoundTrip/bytes:2048/later:0).
void DriverRead2048(benchmark::State& state)
{
    OpenPort port(host::ClockMode::Real, Adapter(false));
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

// A 1 MiB stream on a timed bus, in virtual time. The figures are counters: the stream's rate
// in MB/s of virtual time and its share of the bus's ceiling for bulk data (high speed: 13
// packets of 512 bytes per 125 us microframe; full speed: 19 packets of 64 bytes per 1 ms frame).
constexpr ULONG kStreamBytes = 1 << 20;

double Ceiling(host::BusSpeed speed)
{
    return speed == host::BusSpeed::High ? 13.0 * 512 / 125e-6 : 19.0 * 64 / 1e-3;
}

void Stream(benchmark::State& state, host::BusSpeed speed, bool toApplication)
{
    for (auto _ : state) {
        OpenPort port(host::ClockMode::Virtual, Adapter(true, speed));
        if (!port.ok()) {
            state.SkipWithError("the port did not open");
            return;
        }
        std::vector<UCHAR> block(4096, 0x33), received;
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
        state.counters["virtual_ms"] = seconds * 1000;
        port.device().TakeOutTransfers();
    }
}
BENCHMARK_CAPTURE(Stream, HighSpeedToApplication, host::BusSpeed::High, true)->Iterations(1);
BENCHMARK_CAPTURE(Stream, HighSpeedToDevice, host::BusSpeed::High, false)->Iterations(1);
BENCHMARK_CAPTURE(Stream, FullSpeedToApplication, host::BusSpeed::Full, true)->Iterations(1);
BENCHMARK_CAPTURE(Stream, FullSpeedToDevice, host::BusSpeed::Full, false)->Iterations(1);

}  // namespace
