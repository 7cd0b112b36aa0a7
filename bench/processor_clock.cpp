// The processor's clock as this machine runs it, for turning instruction counts into time
// (tools/driver-cost.sh): a chain of register-to-register additions where each needs the result
// of the one before, so that the processor retires exactly one of them per cycle. (Additions of
// an immediate would not do: recent cores fold chains of those at register renaming and retire
// several a cycle.) The counter GHz is additions per nanosecond of the thread's CPU time, that
// is cycles per nanosecond.
#include <benchmark/benchmark.h>

#include <stdint.h>

namespace {

void ProcessorClock(benchmark::State& state)
{
#if defined(__x86_64__)
    constexpr int64_t kTurns = 1 << 16;  // 16 additions a turn; the loop's own count runs beside
    uint64_t one = 1;
    benchmark::DoNotOptimize(one);
    for (auto _ : state) {
        uint64_t value = 0;
        for (int64_t turn = 0; turn < kTurns; turn++) {
            asm volatile(".rept 16\n\taddq %1, %0\n\t.endr" : "+r"(value) : "r"(one));
        }
        benchmark::DoNotOptimize(value);
    }
    state.counters["GHz"] = benchmark::Counter(double(state.iterations()) * kTurns * 16 / 1e9,
                                               benchmark::Counter::kIsRate);
#else
    state.SkipWithError("the dependent-addition loop is written for x86-64");
#endif
}
BENCHMARK(ProcessorClock);

}  // namespace
