// Layout constants shared by the interpolator and its per-ISA kernels. Kept
// free of library headers: the kernels are compiled for different targets
// and must not emit shared inline code.
#pragma once

namespace pulsemill {

// Phases handled together by every kernel variant; every ratio is a multiple.
constexpr int kPhaseGroup = 8;
// Frames a kernel may read past the last frame it is asked for (lanes of the
// last pass whose outputs are dropped). Frame buffers are padded by this.
constexpr int kFramePadding = 32;

}  // namespace pulsemill
