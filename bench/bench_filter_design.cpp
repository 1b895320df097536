// Filter design throughput: the steps a run performs before any audio is
// converted (ideal response, inverse transform, Kaiser window), without the
// debug dumps, at the settings of a 44.1 kHz /DSD64 run (output rate
// 44100 * 64, pass band up to 22050 Hz, alpha 10).
//
// Reported as wall seconds per design. The plain reference transform is
// timed once at 32768 taps for comparison.
// Times are wall times; the "CPU" column is the CPU time of the whole process
// (all threads), so on a busy shared machine CPU / wall shows how much of
// the two cores the run actually got.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "filter/filter_design.h"
#include "filter/ideal_response.h"

namespace {

constexpr std::int32_t kOutputRate = 44100 * 64;
constexpr std::int32_t kUpperEdge = 44100 / 2;
constexpr double kAlpha = 10.0;
const pulsemill::KernelIsa kIsa = pulsemill::bestKernelIsa();

void BM_FilterDesign(benchmark::State& state) {
  const auto taps = static_cast<std::int32_t>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  omp_set_num_threads(threads);
  std::vector<double> kernel;
  for (auto _ : state) {
    if (!pulsemill::designInterpolationFilter({44100, 64, taps, kAlpha}, kIsa,
                                              pulsemill::Diagnostics(), kernel).ok()) {
      state.SkipWithError("design failed");
      break;
    }
    benchmark::DoNotOptimize(kernel.data());
    benchmark::ClobberMemory();
  }
  // Multiply-adds of the transform: (N/2 + 1) outputs of N terms each.
  const double madds = (taps / 2 + 1.0) * taps;
  state.counters["transform_madd/s"] =
      benchmark::Counter(madds, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["threads"] = threads;
}
BENCHMARK(BM_FilterDesign)
    ->ArgNames({"taps", "threads"})
    ->Args({32768, 1})
    ->Args({32768, 2})
    ->Args({65536, 1})
    ->Args({65536, 2})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(5)
    ->Repetitions(3)
    ->DisplayAggregatesOnly(true);

// The plain loop of the transform alone (one sequential sum per output).
void BM_ReferenceTransform(benchmark::State& state) {
  const auto taps = static_cast<std::int32_t>(state.range(0));
  std::vector<double> cosTable(taps), response(taps), t(taps / 2 + 1);
  pulsemill::fillCosineTable(cosTable.data(), taps);
  pulsemill::buildIdealResponse(kOutputRate, 0, kUpperEdge, response.data(), taps);
  for (auto _ : state) {
    pulsemill::inverseTransformReference(cosTable.data(), response.data(), t.data(), taps);
    benchmark::DoNotOptimize(t.data());
    benchmark::ClobberMemory();
  }
  const double madds = (taps / 2 + 1.0) * taps;
  state.counters["transform_madd/s"] =
      benchmark::Counter(madds, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReferenceTransform)
    ->ArgNames({"taps"})
    ->Arg(32768)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(1);

// The fast transform alone, for the same comparison.
void BM_FastTransform(benchmark::State& state) {
  const auto taps = static_cast<std::int32_t>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  omp_set_num_threads(threads);
  std::vector<double> cosTable(taps), response(taps), t(taps / 2 + 1);
  pulsemill::fillCosineTable(cosTable.data(), taps);
  pulsemill::buildIdealResponse(kOutputRate, 0, kUpperEdge, response.data(), taps);
  for (auto _ : state) {
    pulsemill::inverseTransform(cosTable.data(), response.data(), t.data(), taps, kIsa);
    benchmark::DoNotOptimize(t.data());
    benchmark::ClobberMemory();
  }
  const double madds = (taps / 2 + 1.0) * taps;
  state.counters["transform_madd/s"] =
      benchmark::Counter(madds, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FastTransform)
    ->ArgNames({"taps", "threads"})
    ->Args({32768, 1})
    ->Args({32768, 2})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
