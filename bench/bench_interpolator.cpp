// Interpolator throughput: a block as the pipeline interpolates it (both
// channels' work items spread over the OpenMP threads) and interpolateFrames (one channel, the calling thread),
// 44.1 kHz input raised by 64 and by 256 with a designed 32768-tap kernel,
// blocks of 1024 frames, for every kernel variant this CPU supports.
//
// Counters: madd/s = multiply-adds per wall second (outputs x T/L per
// channel, summed over the channels computed); audio_s/s = seconds of
// 44.1 kHz audio per wall second; madd/cpu_s = multiply-adds per second of
// process CPU time.
// Times are wall times; the "CPU" column is the CPU time of the whole process
// (all threads), so on a busy shared machine CPU / wall shows how much of
// the two cores the run actually got.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "filter/filter_design.h"
#include "resample/interpolator.h"

namespace {

using pulsemill::KernelIsa;

constexpr int kInputRate = 44100;
constexpr int kTaps = 32768;
constexpr int kBlockFrames = 1024;
constexpr double kAlpha = 10.0;

// The windowed kernel of a run at this ratio, designed once per ratio.
const std::vector<double>& designedKernel(int ratio) {
  static std::map<int, std::vector<double>> cache;
  auto found = cache.find(ratio);
  if (found != cache.end()) return found->second;
  std::vector<double> kernel;
  if (!pulsemill::designInterpolationFilter({kInputRate, ratio, kTaps, kAlpha},
                                            pulsemill::bestKernelIsa(), pulsemill::Diagnostics(),
                                            kernel).ok()) {
    std::fprintf(stderr, "filter design failed\n");
    std::exit(1);
  }
  return cache.emplace(ratio, std::move(kernel)).first->second;
}

// Music-like frames in decoded units (full scale about +-0.5): a few tones
// and some white noise, different per channel.
void fillFrames(double* frames, std::size_t count, int channel) {
  std::mt19937 random(12345u + static_cast<unsigned>(channel));
  std::uniform_real_distribution<double> noise(-0.01, 0.01);
  const double pi = 3.14159265358979323846;
  const double f1 = channel == 0 ? 440.0 : 523.25, f2 = channel == 0 ? 1975.0 : 3135.0;
  for (std::size_t k = 0; k < count; ++k) {
    const double t = static_cast<double>(k) / kInputRate;
    frames[k] = 0.2 * std::sin(2 * pi * f1 * t) + 0.06 * std::sin(2 * pi * f2 * t) +
                0.02 * std::sin(2 * pi * 9000.0 * t) + noise(random);
  }
}

struct Setup {
  pulsemill::PhaseKernel kernel;
  pulsemill::UpsampleBuffer inLeft, inRight;
  pulsemill::AlignedDoubles upLeft, upRight;

  bool init(int ratio, KernelIsa isa) {
    const std::vector<double>& taps = designedKernel(ratio);
    if (!pulsemill::layoutPhaseKernel(taps.data(), kTaps, ratio, isa, kernel).ok()) return false;
    const std::size_t outputs = static_cast<std::size_t>(ratio) * kBlockFrames;
    if (!pulsemill::initUpsampleBuffer(inLeft, kernel, kBlockFrames).ok() ||
        !pulsemill::initUpsampleBuffer(inRight, kernel, kBlockFrames).ok() ||
        !upLeft.allocate(outputs) || !upRight.allocate(outputs))
      return false;
    // History and block both hold signal; after each history step the block
    // area keeps its (older) frames, which is just as good for timing.
    const std::size_t filled = static_cast<std::size_t>(inLeft.historyFrames) + kBlockFrames;
    fillFrames(inLeft.frames.get(), filled, 0);
    fillFrames(inRight.frames.get(), filled, 1);
    return true;
  }
};

double processCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// madd/cpu_s divides by the CPU time of all threads: the rate per busy core,
// which time spent descheduled on a shared machine does not dilute.
void setCounters(benchmark::State& state, int channels, double cpuSeconds) {
  const double madds = static_cast<double>(channels) * kBlockFrames * kTaps;  // n*L * T/L
  if (cpuSeconds > 0)
    state.counters["madd/cpu_s"] = madds * static_cast<double>(state.iterations()) / cpuSeconds;
  state.counters["madd/s"] = benchmark::Counter(madds, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["audio_s/s"] = benchmark::Counter(static_cast<double>(kBlockFrames) / kInputRate,
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

void runBlock(benchmark::State& state, int ratio, KernelIsa isa, int threads) {
  Setup s;
  if (!s.init(ratio, isa) || s.kernel.isa != isa) {
    state.SkipWithError("set-up failed");
    return;
  }
  omp_set_num_threads(threads);
  const double gain = ratio;
  const double cpuStart = processCpuSeconds();
  const int items = pulsemill::interpolationItems(kBlockFrames);
  for (auto _ : state) {
#pragma omp parallel for schedule(dynamic)
    for (int item = 0; item < items; ++item)
      pulsemill::interpolateItem(s.kernel, s.inLeft, s.inRight, kBlockFrames, item, gain,
                                 s.upLeft.get(), s.upRight.get());
    pulsemill::handOverHistory(s.inLeft, kBlockFrames, s.inLeft);
    pulsemill::handOverHistory(s.inRight, kBlockFrames, s.inRight);
    benchmark::DoNotOptimize(s.upLeft.get());
    benchmark::DoNotOptimize(s.upRight.get());
    benchmark::ClobberMemory();
  }
  setCounters(state, 2, processCpuSeconds() - cpuStart);
}

void runFrames(benchmark::State& state, int ratio, KernelIsa isa) {
  Setup s;
  if (!s.init(ratio, isa) || s.kernel.isa != isa) {
    state.SkipWithError("set-up failed");
    return;
  }
  const double gain = ratio;
  const double cpuStart = processCpuSeconds();
  for (auto _ : state) {
    pulsemill::interpolateFrames(s.kernel, s.inLeft, 0, kBlockFrames, gain, s.upLeft.get());
    benchmark::DoNotOptimize(s.upLeft.get());
    benchmark::ClobberMemory();
  }
  setCounters(state, 1, processCpuSeconds() - cpuStart);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string supported;
  for (KernelIsa isa : pulsemill::supportedIsas()) {
    const std::string name = pulsemill::isaName(isa);
    supported += (supported.empty() ? "" : " ") + name;
    for (int ratio : {64, 256}) {
      const std::string rate = "/x" + std::to_string(ratio);
      for (int threads : {1, 2}) {
        benchmark::RegisterBenchmark(
            ("block/" + name + rate + "/threads:" + std::to_string(threads)).c_str(),
            [=](benchmark::State& st) { runBlock(st, ratio, isa, threads); })
            ->UseRealTime()
            ->MeasureProcessCPUTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.5)
            ->Repetitions(5)
            ->DisplayAggregatesOnly(true);
      }
      benchmark::RegisterBenchmark(("interpolateFrames/" + name + rate + "/one_channel").c_str(),
                                   [=](benchmark::State& st) { runFrames(st, ratio, isa); })
          ->UseRealTime()
          ->MeasureProcessCPUTime()
          ->Unit(benchmark::kMillisecond)
          ->MinTime(0.5)
          ->Repetitions(5)
          ->DisplayAggregatesOnly(true);
    }
  }
  benchmark::AddCustomContext("interpolator_variants", supported);
  benchmark::AddCustomContext("widest_variant", pulsemill::isaName(pulsemill::bestKernelIsa()));
  const std::vector<double>& taps = designedKernel(64);
  benchmark::AddCustomContext(
      "measured_fastest_x64",
      pulsemill::isaName(pulsemill::fastestKernelIsa(taps.data(), kTaps, 64, pulsemill::supportedIsas())));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
