// Interpolation kernel body, compiled once per instruction-set variant.
//
// The including file defines, inside its own namespace:
//   VecD        the target's vector of kLanes doubles, with the inline
//               operations zeroVec, loadVec / storeVec (unaligned),
//               broadcastVec (from memory), mulVec, addVec and mulByTap
//               (a vector times one tap read from memory: the variant
//               decides whether the tap is broadcast once per phase into a
//               register or read by every multiply),
//   kLanes      doubles per vector,
//   kAccPerPhase accumulator vectors per phase (frames per pass =
//               kLanes * kAccPerPhase <= kFramePadding),
//   kPhasesPerPass phases accumulated together (a divisor of kPhaseGroup;
//               kPhasesPerPass * kAccPerPhase accumulators plus kAccPerPhase
//               frame vectors and one tap must fit the register file),
// and then includes this file. Nothing here may be shared between variants
// (everything is in the includer's namespace and has internal linkage).
//
// Contract: see InterpolateFn in interpolator.h. Each lane holds one frame q
// and one phase p and keeps its own sum over m = 0 .. paddedTaps-1 in
// increasing m, one multiply then one add per tap (no fused multiply-add),
// starting from +0.0 -- exactly the order of the scalar formula.

static void interpolateKernel(const double* taps, int paddedTaps, int ratio,
                              const double* frames, int q0, int q1, double gain,
                              double* out) {
  constexpr int kFramesPerPass = kLanes * kAccPerPhase;
  static_assert(kFramesPerPass <= kFramePadding, "pass reads past the padding");
  const int groups = ratio / kPhaseGroup;
  const VecD gainVec = broadcastVec(&gain);

  for (int q = q0; q < q1; q += kFramesPerPass) {
    const int framesHere = q1 - q < kFramesPerPass ? q1 - q : kFramesPerPass;
    const double* window = frames + q;
    for (int g = 0; g < groups; ++g) {
      const double* groupTaps = taps + static_cast<std::size_t>(g) * paddedTaps * kPhaseGroup;
      alignas(64) double tile[kPhaseGroup][kFramesPerPass];
      for (int first = 0; first < kPhaseGroup; first += kPhasesPerPass) {
        VecD acc[kPhasesPerPass][kAccPerPhase];
#pragma GCC unroll 8
        for (int p = 0; p < kPhasesPerPass; ++p)
#pragma GCC unroll 4
          for (int a = 0; a < kAccPerPhase; ++a) acc[p][a] = zeroVec();

        // The one loop worth tuning: every frame vector is loaded once and
        // shared by the phases of the pass, each tap broadcast once.
        for (int m = 0; m < paddedTaps; ++m) {
          VecD x[kAccPerPhase];
#pragma GCC unroll 4
          for (int a = 0; a < kAccPerPhase; ++a) x[a] = loadVec(window + m + a * kLanes);
          const double* tapRow = groupTaps + static_cast<std::size_t>(m) * kPhaseGroup + first;
#pragma GCC unroll 8
          for (int p = 0; p < kPhasesPerPass; ++p) {
#pragma GCC unroll 4
            for (int a = 0; a < kAccPerPhase; ++a) {
              const VecD product = mulByTap(x[a], tapRow + p);
              acc[p][a] = addVec(acc[p][a], product);
            }
          }
        }
        for (int p = 0; p < kPhasesPerPass; ++p)
          for (int a = 0; a < kAccPerPhase; ++a)
            storeVec(&tile[first + p][a * kLanes], mulVec(acc[p][a], gainVec));
      }

      // Put the scaled outputs in time order: frame f's phases g*8 .. g*8+7
      // are eight consecutive outputs.
      double* dst = out + static_cast<std::size_t>(q) * ratio + g * kPhaseGroup;
      for (int f = 0; f < framesHere; ++f) {
        double* row = dst + static_cast<std::size_t>(f) * ratio;
        for (int p = 0; p < kPhaseGroup; ++p) row[p] = tile[p][f];
      }
    }
  }
}
