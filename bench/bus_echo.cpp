// The simulated bus on its own, in real time, in a host with no driver loaded: an echo round
// trip made directly on the bus's physical device object. Each iteration submits a bulk-OUT
// transfer of N bytes, which the echo device loops back, then a bulk-IN transfer of N bytes that
// receives them, each in an IRP of its own allocated, sent, completed and freed as a driver does
// it. In both bus modes: completing at once inside the dispatch call, and completing later from
// the DPC thread. DriverEchoRoundTrip (driver_data.cpp) makes the same round trips beside the
// driver's, in the driver's host.
#include <benchmark/benchmark.h>

#include "bench/bare_bus.h"

namespace {

// Arguments: the bytes of each leg, and 1 for the bus completing from DPCs.
void BusEchoRoundTrip(benchmark::State& state)
{
    host::Host host(host::HostOptions{host::ClockMode::Real});
    bench::BareEchoDevice bus(host, state.range(1) != 0);
    if (!bus.ok()) {
        state.SkipWithError("the device could not be configured");
        return;
    }
    ULONG length = ULONG(state.range(0));
    std::vector<UCHAR> sent = bench::EchoPattern(length), received;
    for (auto _ : state) {
        if (!bus.RoundTrip(sent, &received)) {
            state.SkipWithError("a leg of the round trip failed");
            break;
        }
    }
    if (received != sent) state.SkipWithError("the echo changed the bytes");
    state.SetBytesProcessed(int64_t(state.iterations()) * length * 2);
}
BENCHMARK(BusEchoRoundTrip)
    ->ArgNames({"bytes", "later"})
    ->ArgsProduct({{1, 2048, 4096}, {0, 1}})
    ->UseRealTime();

}  // namespace
