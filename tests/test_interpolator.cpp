// Polyphase interpolator: the compact frame layout with the per-phase kernel
// must give, bit for bit, the correlation over the zero-stuffed input (frames
// on a stride of L, zeros between) summed in increasing tap index, for every
// instruction-set variant the CPU runs, any thread count, any block size.

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "filter/filter_design.h"
#include "resample/interpolator.h"
#include "test_support.h"

namespace {

using testsupport::ThreadCount;
using testsupport::supportedIsas;

using pulsemill::KernelIsa;

constexpr double kSentinel = -12345.5;

// The final kernel for 44100 Hz input, as the run designs it.
std::vector<double> designedKernel(int ratio, int taps, double alpha) {
  std::vector<double> kernel;
  EXPECT_TRUE(pulsemill::designInterpolationFilter({44100, ratio, taps, alpha},
                                                   pulsemill::bestKernelIsa(),
                                                   pulsemill::Diagnostics(), kernel).ok());
  return kernel;
}

// Random taps: unlike a windowed kernel none is zero, so a tap met by the
// wrong frame cannot hide.
std::vector<double> randomKernel(int taps, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> kernel(taps);
  for (double& v : kernel) v = uniform(rng) / 16;
  return kernel;
}

// The interpolator written out plainly: one channel's input of T + s*L doubles,
// history frame j at entry j*L, block frame k at T + k*L, zeros elsewhere.
class ZeroStuffedChannel {
 public:
  ZeroStuffedChannel(int taps, int ratio, int blockFrames)
      : taps_(taps), ratio_(ratio), input_(taps + blockFrames * ratio, 0.0) {}

  void setFrame(int k, double v) { input_[taps_ + k * ratio_] = v; }

  // Sums of the block's n*L outputs (before the gain), then the history step.
  std::vector<double> run(const std::vector<double>& kernel, int n) {
    const int outputs = n * ratio_;
    std::vector<double> sums(outputs);
    for (int o = 0; o < outputs; ++o) {
      const int f0 = (ratio_ - o % ratio_) % ratio_;
      double sum = 0.0;
      for (int f = f0; f < taps_; f += ratio_) {
        const double product = input_[o + f] * kernel[f];
        sum = sum + product;
      }
      sums[o] = sum;
    }
    for (int m = 0; m < taps_; m += ratio_) input_[m] = input_[n * ratio_ + m];
    return sums;
  }

 private:
  int taps_, ratio_;
  std::vector<double> input_;
};

struct Case {
  int ratio, taps, blockFrames;
  std::vector<int> blocks;  // frames per call
};

struct Stream {
  std::vector<double> left, right;  // all frames of all blocks, in order
};

Stream randomStream(size_t frames, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(-0.5, 0.5);
  Stream s;
  for (size_t i = 0; i < frames; ++i) {
    s.left.push_back(uniform(rng));
    s.right.push_back(uniform(rng));
  }
  return s;
}

// Expected sums per block and channel, from the zero-stuffed evaluation.
struct Expected {
  std::vector<std::vector<double>> left, right;
};

Expected zeroStuffedSums(const Case& c, const std::vector<double>& kernel, const Stream& s) {
  ZeroStuffedChannel left(c.taps, c.ratio, c.blockFrames), right(c.taps, c.ratio, c.blockFrames);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Expected e;
  size_t at = 0;
  for (int n : c.blocks) {
    for (int k = 0; k < c.blockFrames; ++k) {
      // Frames past n are never read: fill them with NaN to prove it.
      left.setFrame(k, k < n ? s.left[at + k] : nan);
      right.setFrame(k, k < n ? s.right[at + k] : nan);
    }
    e.left.push_back(left.run(kernel, n));
    e.right.push_back(right.run(kernel, n));
    at += n;
  }
  return e;
}

// How blocks reach the interpolator: one buffer per channel through
// interpolateBlock, or the pipeline's way, two buffers per channel used
// alternately with the work items and the history handed over between them.
enum class Path { InPlace, Alternating };

// Runs the case through layoutPhaseKernel / initUpsampleBuffer and the path
// and compares every block with gain * sum, bit for bit.
void checkFastPath(const Case& c, const std::vector<double>& kernel, const Stream& s,
                   const Expected& e, KernelIsa isa, int threads, double gain, Path path) {
  SCOPED_TRACE(testing::Message() << "isa " << pulsemill::isaName(isa) << ", threads " << threads
                                  << ", gain " << gain
                                  << (path == Path::InPlace ? ", in place" : ", alternating"));
  ThreadCount threadCount(threads);
  pulsemill::PhaseKernel phases;
  ASSERT_TRUE(pulsemill::layoutPhaseKernel(kernel.data(), c.taps, c.ratio, isa, phases).ok());
  EXPECT_EQ(isa, phases.isa);
  EXPECT_EQ(c.taps / c.ratio, phases.tapsPerPhase);
  pulsemill::UpsampleBuffer buffers[2][2];  // [slot][channel]
  for (auto& slot : buffers)
    for (auto& buffer : slot)
      ASSERT_TRUE(pulsemill::initUpsampleBuffer(buffer, phases, c.blockFrames).ok());

  const size_t capacity = static_cast<size_t>(c.blockFrames) * c.ratio + 64;
  std::vector<double> upLeft(capacity), upRight(capacity);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  size_t at = 0;
  for (size_t b = 0; b < c.blocks.size(); ++b) {
    const int n = c.blocks[b];
    SCOPED_TRACE(testing::Message() << "block " << b << " of " << n << " frames");
    const int slot = path == Path::InPlace ? 0 : static_cast<int>(b % 2);
    pulsemill::UpsampleBuffer& inLeft = buffers[slot][0];
    pulsemill::UpsampleBuffer& inRight = buffers[slot][1];
    for (int k = 0; k < c.blockFrames; ++k) {
      inLeft.block()[k] = k < n ? s.left[at + k] : nan;
      inRight.block()[k] = k < n ? s.right[at + k] : nan;
    }
    std::fill(upLeft.begin(), upLeft.end(), kSentinel);
    std::fill(upRight.begin(), upRight.end(), kSentinel);
    if (path == Path::InPlace) {
      testsupport::interpolateBlock(upLeft.data(), upRight.data(), phases, inLeft, inRight, n, gain);
    } else {
      const int items = pulsemill::interpolationItems(n);
#pragma omp parallel for schedule(dynamic)
      for (int item = 0; item < items; ++item)
        pulsemill::interpolateItem(phases, inLeft, inRight, n, item, gain, upLeft.data(),
                                   upRight.data());
      pulsemill::handOverHistory(inLeft, n, buffers[slot ^ 1][0]);
      pulsemill::handOverHistory(inRight, n, buffers[slot ^ 1][1]);
    }

    const size_t outputs = static_cast<size_t>(n) * c.ratio;
    std::vector<double> wantLeft(outputs), wantRight(outputs);
    for (size_t o = 0; o < outputs; ++o) {
      wantLeft[o] = gain * e.left[b][o];
      wantRight[o] = gain * e.right[b][o];
    }
    ASSERT_EQ(0, std::memcmp(wantLeft.data(), upLeft.data(), outputs * sizeof(double)))
        << "left differs first at output "
        << std::mismatch(wantLeft.begin(), wantLeft.end(), upLeft.begin()).first - wantLeft.begin();
    ASSERT_EQ(0, std::memcmp(wantRight.data(), upRight.data(), outputs * sizeof(double)))
        << "right differs first at output "
        << std::mismatch(wantRight.begin(), wantRight.end(), upRight.begin()).first - wantRight.begin();
    for (size_t o = outputs; o < capacity; ++o) {
      ASSERT_EQ(kSentinel, upLeft[o]) << "written past the block at " << o;
      ASSERT_EQ(kSentinel, upRight[o]) << "written past the block at " << o;
    }
    at += n;
  }
}

void checkCase(const Case& c, const std::vector<double>& kernel, unsigned seed) {
  size_t frames = 0;
  for (int n : c.blocks) frames += n;
  const Stream s = randomStream(frames, seed);
  const Expected e = zeroStuffedSums(c, kernel, s);
  for (KernelIsa isa : supportedIsas())
    for (int threads : {1, 2})
      for (double gain : {static_cast<double>(c.ratio), static_cast<double>(c.ratio - 3)})
        for (Path path : {Path::InPlace, Path::Alternating})
          checkFastPath(c, kernel, s, e, isa, threads, gain, path);
}

// Full blocks, short blocks (1, 7, 8, L - 1, L + 1, fewer than T/L frames,
// not a multiple of L) and history carried through all of them.
std::vector<int> mixedBlocks(int ratio, int taps, int s) {
  const int m = taps / ratio;
  return {s, 1, 7, 8, ratio - 1, ratio + 1, std::max(1, m - 3), s, s - 5, s, 3};
}

// ---------------------------------------------------------------------------

TEST(InterpolatorBitExact, SupportedVariantsIncludeGenericAndBest) {
  const std::vector<KernelIsa> isas = supportedIsas();
  ASSERT_FALSE(isas.empty());
  EXPECT_EQ(KernelIsa::Generic, isas.front());
  EXPECT_TRUE(pulsemill::isaSupported(pulsemill::bestKernelIsa()));
  EXPECT_NE(isas.end(), std::find(isas.begin(), isas.end(), pulsemill::bestKernelIsa()));
  // The measured choice is one of the candidates, and a lone one is kept.
  const std::vector<double> kernel = randomKernel(2048, 7);
  const KernelIsa fastest = pulsemill::fastestKernelIsa(kernel.data(), 2048, 64, isas);
  EXPECT_NE(isas.end(), std::find(isas.begin(), isas.end(), fastest));
  EXPECT_EQ(isas.back(),
            pulsemill::fastestKernelIsa(kernel.data(), 2048, 64, {isas.back()}));
}

TEST(InterpolatorBitExact, Ratio64) {
  checkCase({64, 2048, 512, mixedBlocks(64, 2048, 512)}, randomKernel(2048, 1), 101);
  checkCase({64, 4096, 1024, mixedBlocks(64, 4096, 1024)}, randomKernel(4096, 2), 102);
}

TEST(InterpolatorBitExact, Ratio128) {
  checkCase({128, 2048, 1024, mixedBlocks(128, 2048, 1024)}, randomKernel(2048, 3), 103);
  checkCase({128, 4096, 512, mixedBlocks(128, 4096, 512)}, randomKernel(4096, 4), 104);
}

TEST(InterpolatorBitExact, Ratio256) {
  checkCase({256, 2048, 512, mixedBlocks(256, 2048, 512)}, randomKernel(2048, 5), 105);
  checkCase({256, 4096, 1024, mixedBlocks(256, 4096, 1024)}, randomKernel(4096, 6), 106);
}

TEST(InterpolatorBitExact, DesignedKernels) {
  checkCase({64, 2048, 512, {512, 512, 100}}, designedKernel(64, 2048, 10.0), 107);
  checkCase({256, 4096, 512, {512, 77, 512}}, designedKernel(256, 4096, 9.0), 108);
}

TEST(InterpolatorBitExact, LongKernelSingleBlock) {
  checkCase({64, 32768, 512, {512}}, designedKernel(64, 32768, 10.0), 109);
}

// ---------------------------------------------------------------------------

// A designed kernel laid out for `ratio`, with empty history on both
// channels and room for blocks of s frames.
struct Stereo {
  std::vector<double> kernel;
  pulsemill::PhaseKernel phases;
  pulsemill::UpsampleBuffer left, right;
  std::vector<double> upLeft, upRight;
};

void prepareStereo(Stereo& st, int ratio, int taps, int s) {
  st.kernel = designedKernel(ratio, taps, 10.0);
  ASSERT_TRUE(pulsemill::layoutPhaseKernel(st.kernel.data(), taps, ratio,
                                           pulsemill::bestKernelIsa(), st.phases).ok());
  ASSERT_TRUE(pulsemill::initUpsampleBuffer(st.left, st.phases, s).ok());
  ASSERT_TRUE(pulsemill::initUpsampleBuffer(st.right, st.phases, s).ok());
  st.upLeft.assign(static_cast<std::size_t>(s) * ratio, 0.0);
  st.upRight.assign(static_cast<std::size_t>(s) * ratio, 0.0);
}

void interpolate(Stereo& st, int n, double gain) {
  testsupport::interpolateBlock(st.upLeft.data(), st.upRight.data(), st.phases, st.left, st.right,
                              n, gain);
}

TEST(InterpolatorProperties, ConstantInputKeepsItsLevel) {
  const int ratio = 64, taps = 2048, s = 512;
  for (double gain : {64.0, 63.0}) {
    SCOPED_TRACE(gain);
    Stereo st;
    prepareStereo(st, ratio, taps, s);
    const double left = 0.37, right = -0.21;
    const double scale = gain / ratio;
    for (int block = 0; block < 3; ++block) {
      std::fill(st.left.block(), st.left.block() + s, left);
      std::fill(st.right.block(), st.right.block() + s, right);
      interpolate(st, s, gain);
      // After the run-in (outputs below T of the first block) every output
      // sees T/L frames; each phase of the kernel sums to 1/L within 2e-6.
      for (int o = block == 0 ? taps : 0; o < s * ratio; ++o) {
        ASSERT_NEAR(left * scale, st.upLeft[o], 2e-6 * std::fabs(left)) << block << " " << o;
        ASSERT_NEAR(right * scale, st.upRight[o], 2e-6 * std::fabs(right)) << block << " " << o;
      }
    }
  }
}

TEST(InterpolatorProperties, ImpulseTracesTheKernelBackwards) {
  const int ratio = 64, taps = 2048, s = 512;
  Stereo st;
  prepareStereo(st, ratio, taps, s);
  const std::vector<double>& kernel = st.kernel;
  const std::vector<double>& upLeft = st.upLeft;
  const std::vector<double>& upRight = st.upRight;
  const double v = 0.8, gain = 61.0;
  st.left.block()[0] = v;
  st.right.block()[0] = -v;
  interpolate(st, s, gain);

  EXPECT_EQ(0.0, upLeft[0]);
  for (int o = 1; o <= taps; ++o) {
    ASSERT_EQ(gain * (v * kernel[taps - o]), upLeft[o]) << o;
    ASSERT_EQ(gain * (-v * kernel[taps - o]), upRight[o]) << o;
  }
  for (int o = taps + 1; o < s * ratio; ++o) ASSERT_EQ(0.0, upLeft[o]) << o;
  // The peak lands T/2 outputs after the frame.
  EXPECT_EQ(taps / 2, std::max_element(upLeft.begin(), upLeft.end()) - upLeft.begin());

  // The impulse moves into the history and, one block later, is gone.
  std::fill(st.left.block(), st.left.block() + s, 0.0);
  std::fill(st.right.block(), st.right.block() + s, 0.0);
  interpolate(st, s, gain);
  for (int o = 0; o < s * ratio; ++o) ASSERT_EQ(0.0, upLeft[o]) << o;
}

TEST(InterpolatorProperties, ShortFirstBlockSeesTheImpulseInHistoryNext) {
  // An impulse in a 3-frame block continues in the next block from history:
  // output o of the second block is gain * v * kernel[T - 3L - o].
  const int ratio = 128, taps = 2048, s = 512;
  Stereo st;
  prepareStereo(st, ratio, taps, s);
  const std::vector<double>& kernel = st.kernel;
  const std::vector<double>& upLeft = st.upLeft;
  const std::vector<double>& upRight = st.upRight;
  const double v = 0.5, gain = 128.0;
  st.left.block()[0] = v;
  interpolate(st, 3, gain);
  st.left.block()[0] = st.left.block()[1] = st.left.block()[2] = 0.0;
  interpolate(st, 20, gain);
  const int shift = 3 * ratio;
  for (int o = 0; o < 20 * ratio; ++o) {
    const int f = taps - shift - o;
    const double want = f >= 1 ? gain * (v * kernel[f]) : 0.0;
    ASSERT_EQ(want, upLeft[o]) << o;
    ASSERT_EQ(0.0, upRight[o]) << o;
  }
}

}  // namespace
