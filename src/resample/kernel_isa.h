// Instruction-set levels of the hot kernels (the interpolator and the
// filter design's transform). The portable level is always built and always
// available; the others are used only where the CPU supports them, chosen
// once at set-up, never per call.
#pragma once

namespace pulsemill {

enum class KernelIsa {
  Generic,    // any x86-64 (SSE2)
  X86_64_V3,  // AVX2 level
  X86_64_V4,  // AVX-512 level (F, VL, BW, DQ, CD)
};

bool isaSupported(KernelIsa isa);
KernelIsa bestKernelIsa();  // the widest level the CPU supports
const char* isaName(KernelIsa isa);

}  // namespace pulsemill
