#include "resample/interpolator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "resample/interpolator_kernels.h"

namespace pulsemill {

void AlignedDoubles::Free::operator()(double* p) const { std::free(p); }

bool AlignedDoubles::allocate(std::size_t count) {
  constexpr std::size_t kAlign = 64;
  std::size_t bytes = (count * sizeof(double) + kAlign - 1) / kAlign * kAlign;
  double* p = static_cast<double*>(std::aligned_alloc(kAlign, bytes > 0 ? bytes : kAlign));
  data.reset(p);
  size = p != nullptr ? count : 0;
  if (p == nullptr) return false;
  std::memset(p, 0, bytes);
  return true;
}

static InterpolateFn kernelFor(KernelIsa isa) {
  switch (isa) {
    case KernelIsa::X86_64_V4: return interpolateKernelX86_64_V4;
    case KernelIsa::X86_64_V4_256: return interpolateKernelX86_64_V4_256;
    case KernelIsa::X86_64_V3: return interpolateKernelX86_64_V3;
    case KernelIsa::Generic: break;
  }
  return interpolateKernelGeneric;
}

Status layoutPhaseKernel(const double* kernel, int tapCount, int ratio, KernelIsa isa,
                         PhaseKernel& out) {
  out.ratio = ratio;
  out.tapCount = tapCount;
  out.tapsPerPhase = tapCount / ratio;
  out.paddedTaps = out.tapsPerPhase + 1;
  out.isa = isaSupported(isa) ? isa : KernelIsa::Generic;
  out.kernel = kernelFor(out.isa);
  const int m = out.tapsPerPhase;
  const int padded = out.paddedTaps;
  if (!out.taps.allocate(static_cast<std::size_t>(ratio) * padded)) return StatusCode::OutOfMemory;
  double* taps = out.taps.get();
  // Output q*L + p meets frames q .. q+M-1 (p = 0) or q+1 .. q+M (p > 0);
  // both are read as frames q .. q+M against M+1 taps, the unused end a zero.
  for (int p = 0; p < ratio; ++p) {
    double* base = taps + static_cast<std::size_t>(p / kPhaseGroup) * padded * kPhaseGroup +
                   p % kPhaseGroup;
    for (int k = 0; k < m; ++k) {
      int slot = p == 0 ? k : k + 1;
      int f = (ratio - p) % ratio + k * ratio;
      base[static_cast<std::size_t>(slot) * kPhaseGroup] = kernel[f];
    }
  }
  return Status();
}

Status initUpsampleBuffer(UpsampleBuffer& buffer, const PhaseKernel& kernel, int blockFrames) {
  buffer.historyFrames = kernel.tapsPerPhase;
  if (!buffer.frames.allocate(static_cast<std::size_t>(kernel.tapsPerPhase) + blockFrames +
                              kFramePadding + 1))
    return StatusCode::OutOfMemory;
  return Status();
}

KernelIsa fastestKernelIsa(const double* kernel, int tapCount, int ratio,
                           const std::vector<KernelIsa>& candidates) {
  if (candidates.size() < 2) return candidates.empty() ? KernelIsa::Generic : candidates.front();
  // About two million multiply-adds per timing, in whole passes of every
  // variant (24 frames), from 24 to 960 frames.
  const int perFrame = tapCount + ratio;
  const int frames = std::clamp((2000000 / perFrame + 23) / 24 * 24, 24, 960);
  constexpr int kRounds = 7;

  std::vector<PhaseKernel> layouts(candidates.size());
  UpsampleBuffer in;
  AlignedDoubles out;
  // Without the memory to measure, the widest variant (the last) runs.
  for (std::size_t c = 0; c < candidates.size(); ++c)
    if (!layoutPhaseKernel(kernel, tapCount, ratio, candidates[c], layouts[c]).ok())
      return candidates.back();
  if (!initUpsampleBuffer(in, layouts[0], frames).ok() ||
      !out.allocate(static_cast<std::size_t>(frames) * ratio))
    return candidates.back();
  for (int k = 0; k < in.historyFrames + frames; ++k) in.frames.get()[k] = 0.25 * std::sin(0.01 * k);

  // Rounds over the candidates; in each, a candidate runs once untimed to
  // bring its taps into the cache (as they stay there during a run, shared
  // by the channels and the blocks), then once timed.
  std::vector<std::vector<double>> seconds(candidates.size());
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t c = 0; c < candidates.size(); ++c) {
      interpolateFrames(layouts[c], in, 0, frames, 1.0, out.get());
      const auto start = std::chrono::steady_clock::now();
      interpolateFrames(layouts[c], in, 0, frames, 1.0, out.get());
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      seconds[c].push_back(took.count());
    }
  }
  std::size_t best = 0;
  double bestMedian = 0.0;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    std::nth_element(seconds[c].begin(), seconds[c].begin() + kRounds / 2, seconds[c].end());
    const double median = seconds[c][kRounds / 2];
    if (c == 0 || median < bestMedian) {
      best = c;
      bestMedian = median;
    }
  }
  return candidates[best];
}

void interpolateFrames(const PhaseKernel& kernel, const UpsampleBuffer& in, int q0, int q1,
                       double gain, double* out) {
  // The kernels read up to kFramePadding - 1 frames past q1 plus the taps of
  // one phase; a range outside the buffer is a programming error, checked
  // once per call (not per output) in every build.
  const std::size_t lastRead = static_cast<std::size_t>(q1) + kFramePadding + kernel.paddedTaps - 2;
  if (q0 < 0 || q1 < q0 || lastRead >= in.frames.size) {
    std::fprintf(stderr, "interpolateFrames: frames %d..%d outside the buffer\n", q0, q1);
    std::abort();
  }
  kernel.kernel(kernel.taps.get(), kernel.paddedTaps, kernel.ratio, in.frames.get(), q0, q1, gain,
                out);
}

void handOverHistory(const UpsampleBuffer& from, int n, UpsampleBuffer& to) {
  // memmove: in place, the newest frames overlap the history they replace.
  std::memmove(to.frames.get(), from.frames.get() + n,
               static_cast<std::size_t>(from.historyFrames) * sizeof(double));
}

namespace {

// A run of frames of one channel: a multiple of every variant's frames per
// pass, and small enough to balance two threads.
constexpr int kItemFrames = 48;

int itemsPerChannel(int n) { return (n + kItemFrames - 1) / kItemFrames; }

}  // namespace

int interpolationItems(int n) { return 2 * itemsPerChannel(n); }

void interpolateItem(const PhaseKernel& kernel, const UpsampleBuffer& inLeft,
                     const UpsampleBuffer& inRight, int n, int item, double gain,
                     double* upLeft, double* upRight) {
  const int perChannel = itemsPerChannel(n);
  const bool left = item < perChannel;
  const int q0 = (left ? item : item - perChannel) * kItemFrames;
  const int q1 = q0 + kItemFrames < n ? q0 + kItemFrames : n;
  interpolateFrames(kernel, left ? inLeft : inRight, q0, q1, gain, left ? upLeft : upRight);
}

}  // namespace pulsemill
