// Polyphase interpolator: raises a block of frames by the ratio L with the
// FIR kernel, keeping the filter history between blocks.
//
// Conventions: a frame is one sample of one channel at the input rate; an
// output is one sample at the DSD rate (L outputs per frame). Output o of a
// block is gain * (sum over the kernel taps f that meet a frame, in
// increasing f, of frame value * kernel[f]) -- the zero-stuffed correlation
// over T taps with only the T/L non-zero terms evaluated, in the same order.
//
// Memory layout (ours, not the zero-stuffed one): each channel keeps compact
// frames, history first. The kernel is re-laid once per run so that the taps
// of each phase are contiguous; output o = q*L + p reads frames q .. q + M of
// the buffer (M = T/L) against the M + 1 taps of phase p, one of which is a
// zero pad. Adding the padded zero product never changes a sum that starts at
// +0.0, so the bits equal the formula's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/kernel_isa.h"
#include "base/status.h"
#include "resample/interpolator_layout.h"

namespace pulsemill {

// Heap array of doubles aligned to a cache line, zero-filled.
struct AlignedDoubles {
  struct Free { void operator()(double* p) const; };
  std::unique_ptr<double[], Free> data;
  std::size_t size = 0;
  bool allocate(std::size_t count);  // false when out of memory
  double* get() const { return data.get(); }
};

// Kernel contract: writes out[q*ratio + p] for q0 <= q < q1 and all phases
// p, nothing else. Frames are read in passes of F = lanes x accumulators
// (the variant's frames per pass, at most kFramePadding), so the reads reach
// frames[q0 + roundUp(q1 - q0, F) + paddedTaps - 2]: up to kFramePadding - 1
// frames past q1 + paddedTaps - 2, which buffers hold as padding.
// `taps` is PhaseKernel::taps.
using InterpolateFn = void (*)(const double* taps, int paddedTaps, int ratio,
                               const double* frames, int q0, int q1,
                               double gain, double* out);

// The kernel re-laid per phase, built once per run.
struct PhaseKernel {
  int ratio = 0;        // L: 64, 128, 256 or 512
  int tapCount = 0;     // T, a multiple of L
  int tapsPerPhase = 0; // M = T / L (the printed "coefcount")
  int paddedTaps = 0;   // M + 1
  // [L / kPhaseGroup groups][paddedTaps][kPhaseGroup phases]: entry
  // (g, m, j) is the tap of phase p = g*8 + j that meets frame q + m.
  AlignedDoubles taps;
  KernelIsa isa = KernelIsa::Generic;
  InterpolateFn kernel = nullptr;  // variant chosen at layout time
};

// Lays out `kernel` (T taps) for ratio L with the variant `isa` (the
// portable one where the CPU cannot run it). OutOfMemory on failure.
Status layoutPhaseKernel(const double* kernel, int tapCount, int ratio,
                         KernelIsa isa, PhaseKernel& out);

// One channel's frames: M history frames (oldest first, zero at the start of
// an attempt), then the current block's frames, then kFramePadding.
struct UpsampleBuffer {
  AlignedDoubles frames;
  int historyFrames = 0;  // M
  double* block() const { return frames.get() + historyFrames; }
};

// The fastest of `candidates` (variants the CPU runs, the widest last) for
// `kernel` (T taps)
// at ratio L, by measurement: each lays the kernel out and interpolates
// some dozens of frames on the calling thread, round after round, and the
// lowest median time wins (a few milliseconds in all at the default taps).
// The output bits never depend on the choice, so a noisy measurement only
// costs speed. A single candidate is returned as it is.
KernelIsa fastestKernelIsa(const double* kernel, int tapCount, int ratio,
                           const std::vector<KernelIsa>& candidates);

// Allocates and zeroes a buffer for blocks of up to blockFrames frames.
// OutOfMemory on failure.
Status initUpsampleBuffer(UpsampleBuffer& buffer, const PhaseKernel& kernel,
                          int blockFrames);

// Outputs of frames [q0, q1) of one channel into out (indices q*L .. ).
void interpolateFrames(const PhaseKernel& kernel, const UpsampleBuffer& in,
                       int q0, int q1, double gain, double* out);

// A block of n frames splits into interpolationItems(n) independent work
// items (runs of frames of one channel) for a parallel loop;
// interpolateItem computes item `item` of that block into upLeft / upRight.
int interpolationItems(int n);
void interpolateItem(const PhaseKernel& kernel, const UpsampleBuffer& inLeft,
                     const UpsampleBuffer& inRight, int n, int item, double gain,
                     double* upLeft, double* upRight);

// The history handover between blocks: the newest M frames of `from`
// (its history and its n block frames) become the history of `to`, which
// may be `from` itself (one buffer) or the buffer of the next block (two
// buffers used alternately, as the pipelined conversion does: block b + 1
// is read into one while block b is interpolated from the other).
void handOverHistory(const UpsampleBuffer& from, int n, UpsampleBuffer& to);

}  // namespace pulsemill
