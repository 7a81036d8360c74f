// The probe on the real flags register: a handful of instructions, here to
// show it is no part of a run's cost.
#include <benchmark/benchmark.h>

#include "probe.h"

static void BM_ProbeIdFlag(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ProbeIdFlag());
}
BENCHMARK(BM_ProbeIdFlag);
