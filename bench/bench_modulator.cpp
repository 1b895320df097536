// Modulator throughput: modulateBlock on band-limited music-like signals
// peaking near +-0.4, blocks of 65536 samples per channel, both channels.
//
// Reported per sample step (one sample of each channel): ns/step, and an
// estimate of the core cycles per step. The clock rate is measured at start
// with a long dependent chain of integer adds (one cycle each on any current
// x86-64 core), timed in thread CPU time; /proc/cpuinfo "cpu MHz" is printed
// next to it for reference (on a virtual machine it is often the nominal
// rate, not the running one).
// The loop is single-threaded, so the counters use the thread's CPU time:
// on a shared machine that is far steadier than the wall time. The names
// ending in "s" after the value are the library's way of printing an
// inverted rate; read "ns/step=7.7s" as 7.7 ns per step.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "shaper/modulator.h"
#include "shaper/rate_shaper.h"
#include "shaper/shaper_design.h"

namespace {

constexpr int kBlock = 65536;

double clockGHz = 0.0;
pulsemill::ShaperCoefficients shaper;  // pattern 2, as a run without "/p:"

double threadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Runs `rounds` x 64 dependent register adds; returns the thread's CPU
// seconds (not wall: time spent descheduled on a busy machine must not count).
double timeAddChain(long rounds) {
  const double start = threadCpuSeconds();
#if defined(__x86_64__)
  // Register operands: some cores fold "add register, immediate" at rename,
  // which would break the one-cycle-per-add chain.
  std::uint64_t acc = 0;
  const std::uint64_t one = 1;
  long counter = rounds;
  asm volatile(
      "1:\n\t"
      ".rept 64\n\t"
      "addq %2, %0\n\t"
      ".endr\n\t"
      "decq %1\n\t"
      "jnz 1b\n\t"
      : "+r"(acc), "+r"(counter)
      : "r"(one)
      : "cc");
  benchmark::DoNotOptimize(acc);
#else
  (void)rounds;
#endif
  return threadCpuSeconds() - start;
}

// Median of several 64e6-add chains (a chain of ~25 ms each).
double measureClockGHz() {
  constexpr long kRounds = 1000000;  // 64e6 adds
  timeAddChain(kRounds);             // warm-up: let the core reach its running clock
  std::vector<double> rates;
  for (int k = 0; k < 9; ++k) rates.push_back(64.0 * kRounds / timeAddChain(kRounds) / 1e9);
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

std::string cpuinfoMHz() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("cpu MHz", 0) == 0) {
      auto colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown";
}

// One block of a periodic signal (every component a whole number of cycles
// per block, so repeating the block has no seam): three tones per channel and
// a dense multi-tone "noise" up to 20 kHz, scaled to peak at 0.4.
std::vector<double> makeSignal(int channel, double outputRate) {
  const double pi = 3.14159265358979323846;
  const double bin = outputRate / kBlock;  // Hz per cycle-per-block
  const int maxBin = static_cast<int>(20000.0 / bin);
  std::vector<double> x(kBlock, 0.0);
  const double toneHz[2][3] = {{440.0, 1975.0, 7040.0}, {523.25, 3135.0, 11000.0}};
  const double toneLevel[3] = {0.5, 0.2, 0.08};
  std::mt19937 random(777u + static_cast<unsigned>(channel));
  std::uniform_real_distribution<double> phase(0.0, 2 * pi);
  struct Part { double cycles, amplitude, phase; };
  std::vector<Part> list;
  for (int k = 0; k < 3; ++k)
    list.push_back({std::round(toneHz[channel][k] / bin), toneLevel[k], phase(random)});
  // Noise-like part: about 1/30 of the tones' level (around -30 dB).
  const int step = maxBin > 160 ? maxBin / 160 : 1;
  const double each = 0.5 * 0.03 / std::sqrt(maxBin / static_cast<double>(step));
  for (int c = 1; c <= maxBin; c += step) list.push_back({double(c), each * 1.414, phase(random)});
  for (const Part& p : list) {
    const double w = 2 * pi * p.cycles / kBlock;
    for (int i = 0; i < kBlock; ++i) x[i] += p.amplitude * std::sin(w * i + p.phase);
  }
  double peak = 0.0;
  for (double v : x) peak = std::max(peak, std::fabs(v));
  for (double& v : x) v *= 0.4 / peak;
  return x;
}

// Arguments: the ratio, and 0 for pattern 2 with the byte test or 1 for the
// rate shaper of that rate with its overload guard.
void BM_ModulateBlock(benchmark::State& state) {
  const int ratio = static_cast<int>(state.range(0));
  const double outputRate = 44100.0 * ratio;
  const std::vector<double> left = makeSignal(0, outputRate), right = makeSignal(1, outputRate);
  std::vector<std::uint8_t> bytes(2 * (kBlock / 8));
  pulsemill::ShaperState leftState, rightState;
  pulsemill::ShaperCoefficients coefficients = shaper;
  pulsemill::OverloadGuard guard;
  if (state.range(1) != 0) {
    const pulsemill::RateShaper& row = pulsemill::selectRateShaper(44100u * static_cast<unsigned>(ratio));
    coefficients = pulsemill::rateShaperCoefficients(row, pulsemill::Diagnostics());
    guard = pulsemill::rateShaperGuard(row, 44100u * static_cast<unsigned>(ratio));
  }
  for (auto _ : state) {
    std::uint32_t count = 0;
    const pulsemill::Status result = pulsemill::modulateBlock(
        coefficients.forward, coefficients.feedback, leftState, left.data(), rightState, right.data(),
        kBlock, bytes.data(), count, state.range(1) != 0 ? &guard : nullptr);
    if (!result.ok()) {
      state.SkipWithError(result.code() == pulsemill::StatusCode::Clip ? "clip" : "failed group");
      break;
    }
    benchmark::DoNotOptimize(bytes.data());
    benchmark::ClobberMemory();
  }
  const double steps = kBlock;
  state.counters["steps/s"] = benchmark::Counter(steps, benchmark::Counter::kIsIterationInvariantRate);
  // ns and cycles per step: the inverse of the rate, so invert the counter.
  state.counters["ns/step"] = benchmark::Counter(
      steps * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["cycles/step"] = benchmark::Counter(
      steps * 1e-9 / clockGHz, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ModulateBlock)
    ->ArgNames({"x", "guard"})
    ->Args({64, 0})
    ->Args({64, 1})
    ->Args({256, 0})
    ->Args({256, 1})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.5)
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const pulsemill::ShaperPattern& pattern = pulsemill::selectShaperPattern(2);
  shaper = pulsemill::designShaper(pattern, pulsemill::Diagnostics());
  clockGHz = measureClockGHz();
  char text[128];
  std::snprintf(text, sizeof text, "%.3f GHz (dependent integer-add chain timed in thread CPU time, median of 9)", clockGHz);
  benchmark::AddCustomContext("clock_estimate", text);
  benchmark::AddCustomContext("cpuinfo_cpu_MHz", cpuinfoMHz() + " (for reference, not used)");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
