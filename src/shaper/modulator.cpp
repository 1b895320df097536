#include "shaper/modulator.h"

#include <emmintrin.h>


namespace pulsemill {

namespace {

// Both channels run in the two lanes of one SSE2 vector (lane 0 left, lane 1
// right), each lane with exactly the scalar arithmetic:
//   v  = ((f0*s0 + f1*s1) + ... + f6*s6) + x
//   y  = v >= 0 ? +1 : -1      (a NaN compares false: -1)
//   s' = (v - y) + (((b0*s0 + b1*s1) + ... + b6*s6))
// and, guarded, a channel whose s' is beyond +-limit (or not a number)
// restarts: its whole state becomes 0.
// The loop is one long dependency chain per sample (s0 -> v -> s0'); both
// candidates (v - 1) + f and (v + 1) + f are formed while the comparison
// resolves, then selected
// (v - (-1) is exactly v + 1), so the comparison runs beside the two adds
// instead of ahead of them. No call and no allocation per sample.
template <bool kGuarded>
Status modulateLoop(const double* forward, const double* feedback, ShaperState& leftState,
                    const double* leftSamples, ShaperState& rightState,
                    const double* rightSamples, int sampleCount, const OverloadGuard& guard,
                    std::uint8_t* outBytes, std::uint32_t& outByteCount) {
  __m128d f[7], b[7], s[7];
  for (int k = 0; k < 7; ++k) {
    f[k] = _mm_set1_pd(forward[k]);
    b[k] = _mm_set1_pd(feedback[k]);
    s[k] = _mm_set_pd(rightState.delay[k], leftState.delay[k]);
  }
  const __m128d zero = _mm_setzero_pd();
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d upper = _mm_set1_pd(guard.limit);
  const __m128d lower = _mm_set1_pd(-guard.limit);
  std::uint64_t leftCalm = leftState.calm, rightCalm = rightState.calm;
  bool overloaded = false;
  // A restart soon after the previous one: the input holds the loop beyond
  // its range.
  auto restartChannel = [&](bool restarted, std::uint64_t& calm, std::uint64_t& restarts) {
    if (!restarted) return;
    if (calm <= guard.minCalmSamples) overloaded = true;
    calm = 0;
    ++restarts;
  };

  auto storeStates = [&] {
    for (int k = 0; k < 7; ++k) {
      _mm_storel_pd(&leftState.delay[k], s[k]);
      _mm_storeh_pd(&rightState.delay[k], s[k]);
    }
    leftState.calm = leftCalm;
    rightState.calm = rightCalm;
  };

  std::uint32_t pos = 0;
  unsigned leftByte = 0, rightByte = 0;
  StatusCode result = StatusCode::Ok;
  int i = 0;
  for (; i < sampleCount; ++i) {
    const __m128d x = _mm_set_pd(rightSamples[i], leftSamples[i]);
    __m128d v = _mm_mul_pd(f[0], s[0]);
    for (int k = 1; k < 7; ++k) v = _mm_add_pd(v, _mm_mul_pd(f[k], s[k]));
    v = _mm_add_pd(v, x);
    __m128d fb = _mm_mul_pd(b[0], s[0]);
    for (int k = 1; k < 7; ++k) fb = _mm_add_pd(fb, _mm_mul_pd(b[k], s[k]));

    const __m128d positive = _mm_cmpge_pd(v, zero);
    const __m128d nextIfPlus = _mm_add_pd(_mm_sub_pd(v, one), fb);   // y = +1
    const __m128d nextIfMinus = _mm_add_pd(_mm_add_pd(v, one), fb);  // y = -1
    for (int k = 6; k > 0; --k) s[k] = s[k - 1];
    s[0] = _mm_or_pd(_mm_and_pd(positive, nextIfPlus), _mm_andnot_pd(positive, nextIfMinus));
    if (kGuarded) {
      // |s'| above the limit, or not a number: that channel's loop starts
      // again from rest. Rare, so a branch, off the chain while predicted.
      const __m128d outside = _mm_or_pd(_mm_cmpnle_pd(s[0], upper), _mm_cmpnge_pd(s[0], lower));
      const int restart = _mm_movemask_pd(outside);
      ++leftCalm;
      ++rightCalm;
      if (restart != 0) {
        for (int k = 0; k < 7; ++k) s[k] = _mm_andnot_pd(outside, s[k]);
        restartChannel(restart & 1, leftCalm, leftState.restarts);
        restartChannel(restart & 2, rightCalm, rightState.restarts);
      }
    }

    const int decisions = _mm_movemask_pd(positive);
    leftByte = (leftByte << 1) | (decisions & 1);
    rightByte = (rightByte << 1) | ((decisions >> 1) & 1);
    if ((i & 7) == 7) {
      outBytes[pos] = static_cast<std::uint8_t>(leftByte);
      outBytes[pos + 1] = static_cast<std::uint8_t>(rightByte);
      if (kGuarded) {
        if (overloaded) {
          result = StatusCode::Clip;
          break;
        }
      } else {
        if (leftByte == 0x00 && rightByte == 0x00) {
          result = StatusCode::DsdOutput;
          break;
        }
        // A byte of eight equal decisions on one channel is an overload either way.
        if (leftByte == 0xFF || rightByte == 0xFF || leftByte == 0x00 || rightByte == 0x00) {
          result = StatusCode::Clip;
          break;
        }
      }
      pos += 2;
      leftByte = rightByte = 0;
    }
  }
  storeStates();
  if (result != StatusCode::Ok) return result;
  const int partial = sampleCount > 0 ? sampleCount & 7 : 0;
  if (partial != 0) {
    // Incomplete last group: packed from the top bit, neither tested nor counted.
    outBytes[pos] = static_cast<std::uint8_t>(leftByte << (8 - partial));
    outBytes[pos + 1] = static_cast<std::uint8_t>(rightByte << (8 - partial));
  }
  outByteCount = pos;
  return Status();
}

}  // namespace

Status modulateBlock(const double* forward, const double* feedback, ShaperState& leftState,
                     const double* leftSamples, ShaperState& rightState,
                     const double* rightSamples, int sampleCount, std::uint8_t* outBytes,
                     std::uint32_t& outByteCount, const OverloadGuard* guard) {
  if (guard != nullptr)
    return modulateLoop<true>(forward, feedback, leftState, leftSamples, rightState,
                              rightSamples, sampleCount, *guard, outBytes, outByteCount);
  return modulateLoop<false>(forward, feedback, leftState, leftSamples, rightState, rightSamples,
                             sampleCount, OverloadGuard{}, outBytes, outByteCount);
}

}  // namespace pulsemill
