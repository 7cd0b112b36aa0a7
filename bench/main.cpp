// kdxbench entry point: every benchmark in this directory registers itself with BENCHMARK().
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
