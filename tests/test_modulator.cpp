// Sigma-delta modulator: decisions, bit packing, overload detection and the
// state carried across calls, checked against a plain per-sample loop of the
// described arithmetic.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "shaper/modulator.h"
#include "shaper/rate_shaper.h"
#include "shaper/shaper_design.h"

namespace {

using pulsemill::ShaperCoefficients;
using pulsemill::ShaperState;
using pulsemill::StatusCode;

constexpr std::uint8_t kUntouched = 0xA5;
constexpr std::uint32_t kCountUntouched = 0xDEADBEEF;

ShaperCoefficients patternCoefficients(int number) {
  testing::internal::CaptureStdout();
  const pulsemill::ShaperPattern& p = pulsemill::selectShaperPattern(number);
  testing::internal::GetCapturedStdout();
  return pulsemill::designShaper(p, pulsemill::Diagnostics());
}

// One channel's step written out plainly: quantiser input, decision, feedback sum
// over the old state, shift, new state. Returns the decision bit.
bool referenceStep(const double* forward, const double* feedback, double* s, double x) {
  double v = forward[0] * s[0];
  for (int k = 1; k < 7; ++k) {
    const double term = forward[k] * s[k];
    v = v + term;
  }
  v = v + x;
  const bool plus = v >= 0;  // NaN compares false: -1
  const double y = plus ? 1.0 : -1.0;
  double f = feedback[0] * s[0];
  for (int k = 1; k < 7; ++k) {
    const double term = feedback[k] * s[k];
    f = f + term;
  }
  for (int k = 6; k > 0; --k) s[k] = s[k - 1];
  s[0] = (v - y) + f;
  return plus;
}

struct ReferenceRun {
  StatusCode result = StatusCode::Ok;
  std::uint32_t count = kCountUntouched;
  int processed = 0;  // samples consumed
};

ReferenceRun referenceModulate(const ShaperCoefficients& c, ShaperState& left, const double* xl,
                               ShaperState& right, const double* xr, int sampleCount,
                               std::uint8_t* out) {
  static const std::uint8_t mask[8] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};
  ReferenceRun run;
  std::uint32_t pos = 0;
  for (int i = 0; i < sampleCount; ++i) {
    const int r = i % 8;
    if (r == 0) out[pos] = out[pos + 1] = 0;
    if (referenceStep(c.forward, c.feedback, left.delay, xl[i])) out[pos] |= mask[r];
    if (referenceStep(c.forward, c.feedback, right.delay, xr[i])) out[pos + 1] |= mask[r];
    run.processed = i + 1;
    if (r == 7) {
      if (out[pos] == 0x00 && out[pos + 1] == 0x00) {
        run.result = StatusCode::DsdOutput;
        return run;
      }
      if (out[pos] == 0xFF || out[pos + 1] == 0xFF) {
        run.result = StatusCode::Clip;
        return run;
      }
      pos += 2;
    }
  }
  run.count = pos;
  return run;
}

bool sameState(const ShaperState& a, const ShaperState& b) {
  return std::memcmp(a.delay, b.delay, sizeof a.delay) == 0;
}

bool allZero(const ShaperState& s) {
  for (double v : s.delay)
    if (v != 0.0) return false;
  return true;
}

struct Block {
  std::vector<std::uint8_t> bytes;
  std::uint32_t count = kCountUntouched;
  StatusCode result = StatusCode::Usage;  // not a modulator result
};

Block modulate(const ShaperCoefficients& c, ShaperState& left, const std::vector<double>& xl,
               ShaperState& right, const std::vector<double>& xr, size_t extraBytes = 4,
               const pulsemill::OverloadGuard* guard = nullptr) {
  const int n = static_cast<int>(xl.size());
  Block b;
  b.bytes.assign(2 * ((n + 7) / 8) + extraBytes, kUntouched);
  b.result = pulsemill::modulateBlock(c.forward, c.feedback, left, xl.data(), right, xr.data(), n,
                                      b.bytes.data(), b.count, guard).code();
  return b;
}

std::vector<double> constant(int n, double v) { return std::vector<double>(n, v); }

// Band-limited noise: white noise through a few one-pole low-passes, plus two
// tones, scaled to a peak of `peak`.
std::vector<double> bandLimitedSignal(int n, unsigned seed, double peak) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> x(n);
  double a = 0, b = 0, c = 0;
  for (int i = 0; i < n; ++i) {
    a += 0.01 * (normal(rng) - a);
    b += 0.01 * (a - b);
    c += 0.01 * (b - c);
    x[i] = 20 * c + 0.5 * std::sin(i * 0.0049) + 0.3 * std::sin(i * 0.0007 + seed);
  }
  double biggest = 0;
  for (double v : x) biggest = std::max(biggest, std::fabs(v));
  for (double& v : x) v *= peak / biggest;
  return x;
}

// ---------------------------------------------------------------------------

TEST(ModulatorEdgeCases, EmptyBlockTouchesNothing) {
  const ShaperCoefficients c = patternCoefficients(2);
  for (int n : {0, -8}) {
    ShaperState left, right;
    left.delay[3] = 0.25;
    std::uint8_t bytes[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
    std::uint32_t count = kCountUntouched;
    const double x[8] = {};
    EXPECT_TRUE(pulsemill::modulateBlock(c.forward, c.feedback, left, x, right, x, n, bytes, count).ok());
    EXPECT_EQ(0u, count);
    for (std::uint8_t b : bytes) EXPECT_EQ(kUntouched, b);
    EXPECT_EQ(0.25, left.delay[3]);
    EXPECT_TRUE(allZero(right));
  }
}

TEST(ModulatorEdgeCases, SilenceGivesTheSamePatternForEveryShaper) {
  for (int pattern = 1; pattern <= 5; ++pattern) {
    SCOPED_TRACE(pattern);
    const ShaperCoefficients c = patternCoefficients(pattern);
    ShaperState left, right;
    const Block b = modulate(c, left, constant(32, 0.0), right, constant(32, 0.0));
    EXPECT_EQ(StatusCode::Ok, b.result);
    EXPECT_EQ(8u, b.count);
    const std::vector<std::uint8_t> expected = {0x96, 0x96, 0x69, 0x69, 0x69, 0x69, 0x96, 0x96,
                                                kUntouched, kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(expected, b.bytes);
    EXPECT_TRUE(sameState(left, right));
  }
}

TEST(ModulatorEdgeCases, PositiveOverloadIsAClip) {
  const ShaperCoefficients c = patternCoefficients(2);
  {
    // Left +1.0, right silent: the left state stays zero, the first left
    // byte is 0xFF and the call stops after the eighth sample.
    ShaperState left, right;
    const Block b = modulate(c, left, constant(32, 1.0), right, constant(32, 0.0));
    EXPECT_EQ(StatusCode::Clip, b.result);
    EXPECT_EQ(kCountUntouched, b.count);
    EXPECT_EQ(0xFF, b.bytes[0]);
    EXPECT_EQ(0x96, b.bytes[1]);
    for (size_t i = 2; i < b.bytes.size(); ++i) EXPECT_EQ(kUntouched, b.bytes[i]) << i;
    EXPECT_TRUE(allZero(left));
    ShaperState refLeft, refRight;
    std::vector<std::uint8_t> refBytes(8);
    const std::vector<double> ones = constant(8, 1.0), zeros = constant(8, 0.0);
    referenceModulate(c, refLeft, ones.data(), refRight, zeros.data(), 8, refBytes.data());
    EXPECT_TRUE(sameState(refRight, right));
  }
  {
    // The same on both channels (a mono signal): still a clip.
    ShaperState left, right;
    const Block b = modulate(c, left, constant(16, 1.0), right, constant(16, 1.0));
    EXPECT_EQ(StatusCode::Clip, b.result);
    EXPECT_EQ(kCountUntouched, b.count);
    EXPECT_EQ(0xFF, b.bytes[0]);
    EXPECT_EQ(0xFF, b.bytes[1]);
  }
  {
    // Left 0x00 with right 0xFF: the 0x00 test needs both bytes, so a clip.
    ShaperState left, right;
    const Block b = modulate(c, left, constant(16, -1.0), right, constant(16, 1.0));
    EXPECT_EQ(StatusCode::Clip, b.result);
    EXPECT_EQ(0x00, b.bytes[0]);
    EXPECT_EQ(0xFF, b.bytes[1]);
    EXPECT_EQ(kCountUntouched, b.count);
  }
}

TEST(ModulatorEdgeCases, NegativeOverloadOnBothChannelsIsAnOutputError) {
  const ShaperCoefficients c = patternCoefficients(2);
  ShaperState left, right;
  const Block b = modulate(c, left, constant(24, -1.0), right, constant(24, -1.0));
  EXPECT_EQ(StatusCode::DsdOutput, b.result);
  EXPECT_EQ(kCountUntouched, b.count);
  EXPECT_EQ(0x00, b.bytes[0]);
  EXPECT_EQ(0x00, b.bytes[1]);
  EXPECT_EQ(kUntouched, b.bytes[2]);
  EXPECT_TRUE(allZero(left));
  EXPECT_TRUE(allZero(right));
}

// Eight -1 decisions on one channel are an overload, as eight +1 are: a
// clip, right after the first group.
TEST(ModulatorEdgeCases, NegativeOverloadOnOneChannelIsAClip) {
  const ShaperCoefficients c = patternCoefficients(2);
  ShaperState left, right;
  const Block b = modulate(c, left, constant(32, -1.0), right, constant(32, 0.0));
  EXPECT_EQ(StatusCode::Clip, b.result);
  EXPECT_EQ(kCountUntouched, b.count);
  const std::vector<std::uint8_t> expected = {0x00, 0x96, kUntouched, kUntouched, kUntouched, kUntouched,
                                              kUntouched, kUntouched, kUntouched, kUntouched, kUntouched,
                                              kUntouched};
  EXPECT_EQ(expected, b.bytes);
}

TEST(ModulatorEdgeCases, NotANumberCountsAsMinusOneAndSpreads) {
  const ShaperCoefficients c = patternCoefficients(2);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  {
    // Left NaN at sample 3: bit 0x10 stays clear, and from then on the left
    // state is NaN and every decision -1, so the second group's left byte
    // is 0x00: a clip. Right carries on as silence.
    std::vector<double> xl = constant(32, 0.0);
    xl[3] = nan;
    ShaperState left, right;
    const Block b = modulate(c, left, xl, right, constant(32, 0.0));
    EXPECT_EQ(StatusCode::Clip, b.result);
    EXPECT_EQ(kCountUntouched, b.count);
    const std::vector<std::uint8_t> expected = {0x80, 0x96, 0x00, 0x69, kUntouched, kUntouched,
                                                kUntouched, kUntouched, kUntouched, kUntouched,
                                                kUntouched, kUntouched};
    EXPECT_EQ(expected, b.bytes);
    for (double v : left.delay) EXPECT_TRUE(std::isnan(v));
  }
  {
    // NaN on both channels from the first sample: 0x00 on both, DsdOutput.
    std::vector<double> x = constant(16, 0.0);
    x[0] = nan;
    ShaperState left, right;
    const Block b = modulate(c, left, x, right, x);
    EXPECT_EQ(StatusCode::DsdOutput, b.result);
    EXPECT_EQ(0x00, b.bytes[0]);
    EXPECT_EQ(0x00, b.bytes[1]);
    EXPECT_EQ(kUntouched, b.bytes[2]);
  }
  {
    // Negative zero decides +1 like zero.
    ShaperState left, right;
    const Block b = modulate(c, left, constant(8, -0.0), right, constant(8, 0.0));
    EXPECT_EQ(0x96, b.bytes[0]);
  }
}

TEST(ModulatorEdgeCases, IncompleteLastGroupIsPackedButNotCounted) {
  const ShaperCoefficients c = patternCoefficients(2);
  const std::vector<double> xl = bandLimitedSignal(13, 7, 0.4), xr = bandLimitedSignal(13, 8, 0.4);
  ShaperState left, right, refLeft, refRight;
  const Block b = modulate(c, left, xl, right, xr);
  std::vector<std::uint8_t> ref(4);
  referenceModulate(c, refLeft, xl.data(), refRight, xr.data(), 13, ref.data());
  EXPECT_EQ(StatusCode::Ok, b.result);
  EXPECT_EQ(2u, b.count);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ref[i], b.bytes[i]) << i;
  EXPECT_EQ(0, b.bytes[2] & 0x07);  // samples 13 .. 15 never came
  EXPECT_EQ(0, b.bytes[3] & 0x07);
  EXPECT_EQ(kUntouched, b.bytes[4]);
  EXPECT_TRUE(sameState(refLeft, left));
  EXPECT_TRUE(sameState(refRight, right));
}

TEST(ModulatorEdgeCases, TwoCallsOfEightEqualOneOfSixteen) {
  const ShaperCoefficients c = patternCoefficients(3);
  const std::vector<double> xl = bandLimitedSignal(16, 1, 0.5), xr = bandLimitedSignal(16, 2, 0.5);
  ShaperState oneLeft, oneRight;
  const Block whole = modulate(c, oneLeft, xl, oneRight, xr, 0);
  ASSERT_EQ(StatusCode::Ok, whole.result);
  ASSERT_EQ(4u, whole.count);

  ShaperState left, right;
  std::vector<double> l1(xl.begin(), xl.begin() + 8), l2(xl.begin() + 8, xl.end());
  std::vector<double> r1(xr.begin(), xr.begin() + 8), r2(xr.begin() + 8, xr.end());
  const Block first = modulate(c, left, l1, right, r1, 0);
  const Block second = modulate(c, left, l2, right, r2, 0);
  ASSERT_EQ(StatusCode::Ok, first.result);
  ASSERT_EQ(StatusCode::Ok, second.result);
  EXPECT_EQ(2u, first.count);
  EXPECT_EQ(2u, second.count);
  std::vector<std::uint8_t> joined = first.bytes;
  joined.insert(joined.end(), second.bytes.begin(), second.bytes.end());
  EXPECT_EQ(whole.bytes, joined);
  EXPECT_TRUE(sameState(oneLeft, left));
  EXPECT_TRUE(sameState(oneRight, right));
}

TEST(ModulatorEdgeCases, FailingCallStopsAfterTheFailingGroup) {
  // A tone that rises into overload: some groups pass, then one clips.
  const ShaperCoefficients c = patternCoefficients(2);
  const int n = 4096;
  std::vector<double> xl(n), xr(n);
  for (int i = 0; i < n; ++i) {
    xl[i] = 0.3 * std::sin(i * 0.01) + (i > 1000 ? 1.2 : 0.0);
    xr[i] = 0.2 * std::sin(i * 0.013);
  }
  ShaperState refLeft, refRight;
  std::vector<std::uint8_t> ref(2 * n / 8, kUntouched);
  const ReferenceRun expected =
      referenceModulate(c, refLeft, xl.data(), refRight, xr.data(), n, ref.data());
  ASSERT_EQ(StatusCode::Clip, expected.result);
  ASSERT_GT(expected.processed, 1000);
  ASSERT_LT(expected.processed, n);
  ASSERT_EQ(0, expected.processed % 8);

  ShaperState left, right;
  const Block b = modulate(c, left, xl, right, xr, 0);
  EXPECT_EQ(StatusCode::Clip, b.result);
  EXPECT_EQ(kCountUntouched, b.count);
  EXPECT_TRUE(sameState(refLeft, left));
  EXPECT_TRUE(sameState(refRight, right));
  EXPECT_EQ(ref, b.bytes);  // the failing pair written, nothing after it
}

TEST(ModulatorReference, LongSignalBitExactForAnyBlockSplit) {
  const int n = 6144;
  for (int pattern : {1, 2, 5}) {
    SCOPED_TRACE(pattern);
    const ShaperCoefficients c = patternCoefficients(pattern);
    const std::vector<double> xl = bandLimitedSignal(n, 11 * pattern, 0.5);
    const std::vector<double> xr = bandLimitedSignal(n, 13 * pattern + 1, 0.5);

    ShaperState refLeft, refRight;
    std::vector<std::uint8_t> ref(2 * n / 8);
    const ReferenceRun expected =
        referenceModulate(c, refLeft, xl.data(), refRight, xr.data(), n, ref.data());
    ASSERT_EQ(StatusCode::Ok, expected.result);  // a realistic level never overloads
    ASSERT_EQ(static_cast<std::uint32_t>(2 * n / 8), expected.count);

    const std::vector<std::vector<int>> splits = {
        {n}, {8, n - 8}, {1024, 1024, 1024, 1024, 1024, 1024}, {64, 8, 2000, 72, 4000}};
    for (const auto& split : splits) {
      SCOPED_TRACE(testing::Message() << "split of " << split.size());
      ShaperState left, right;
      std::vector<std::uint8_t> bytes;
      int start = 0;
      for (int len : split) {
        std::vector<double> l(xl.begin() + start, xl.begin() + start + len);
        std::vector<double> r(xr.begin() + start, xr.begin() + start + len);
        const Block b = modulate(c, left, l, right, r, 0);
        ASSERT_EQ(StatusCode::Ok, b.result);
        ASSERT_EQ(static_cast<std::uint32_t>(len / 4), b.count);
        bytes.insert(bytes.end(), b.bytes.begin(), b.bytes.end());
        start += len;
      }
      ASSERT_EQ(n, start);
      EXPECT_EQ(ref, bytes);
      EXPECT_TRUE(sameState(refLeft, left));
      EXPECT_TRUE(sameState(refRight, right));
    }
  }
}

// The rate shaper's guard: no byte test (a full-scale stretch that holds a
// byte at 0xFF converts); until a restart, the decisions and states are the
// plain loop's; a channel that leaves the limit (here a NaN) restarts from
// rest while the other carries on, and a second restart within the calm
// span is a clip.
TEST(ModulatorGuard, RestartsAChannelGoneUnstableAndClipsASecondSoon) {
  const pulsemill::RateShaper& row = pulsemill::selectRateShaper(2822400);
  const ShaperCoefficients c = pulsemill::rateShaperCoefficients(row, pulsemill::Diagnostics());
  const pulsemill::OverloadGuard guard = pulsemill::rateShaperGuard(row, 2822400);
  EXPECT_EQ(2822u, guard.minCalmSamples);
  std::vector<double> x = bandLimitedSignal(4096, 7, 0.45);
  for (int i = 2000; i < 2024; ++i) x[i] = 0.7;  // above full scale: a byte of eight +1
  ShaperState left, right, refLeft, refRight;
  const Block b = modulate(c, left, x, right, x, 4, &guard);
  ASSERT_EQ(StatusCode::Ok, b.result);
  std::vector<std::uint8_t> expected(b.bytes.size(), kUntouched);
  for (int i = 0; i < 4096; ++i) {
    const bool bit = referenceStep(c.forward, c.feedback, refLeft.delay, x[i]);
    referenceStep(c.forward, c.feedback, refRight.delay, x[i]);
    if (i % 8 == 0) expected[i / 8 * 2] = expected[i / 8 * 2 + 1] = 0;
    if (bit) expected[i / 8 * 2] = expected[i / 8 * 2 + 1] |= 0x80 >> (i % 8);
  }
  EXPECT_EQ(expected, b.bytes);
  EXPECT_NE(b.bytes.end(), std::find(b.bytes.begin(), b.bytes.end(), 0xFF));
  ShaperState plainLeft, plainRight;
  EXPECT_EQ(StatusCode::Clip, modulate(c, plainLeft, x, plainRight, x).result);
  EXPECT_TRUE(sameState(refLeft, left));
  EXPECT_EQ(0u, left.restarts + right.restarts);

  std::vector<double> xl = constant(64, 0.1);
  xl[10] = std::numeric_limits<double>::quiet_NaN();
  const Block once = modulate(c, left, xl, right, constant(64, 0.1), 4, &guard);
  EXPECT_EQ(StatusCode::Ok, once.result);
  EXPECT_EQ(1u, left.restarts);
  EXPECT_EQ(0u, right.restarts);
  EXPECT_EQ(53u, left.calm);
  const Block twice = modulate(c, left, xl, right, constant(64, 0.1), 4, &guard);
  EXPECT_EQ(StatusCode::Clip, twice.result);
  EXPECT_EQ(kCountUntouched, twice.count);
  EXPECT_EQ(2u, left.restarts);
}

}  // namespace
