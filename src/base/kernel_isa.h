// Instruction-set variants of the hot kernels (the interpolator and the
// filter design's transform). The portable variant is always built and
// always runs; the others run only where the CPU supports them. The variant
// is chosen once at start-up and handed to every stage that has kernels; no
// output bit depends on it.
#pragma once

#include <string>
#include <vector>

#include "base/status.h"

namespace pulsemill {

enum class KernelIsa {
  Generic,    // any x86-64 (SSE2)
  X86_64_V3,  // AVX2 level
  X86_64_V4,  // AVX-512 level (F, VL, BW, DQ, CD), 512-bit vectors
  X86_64_V4_256,  // the same level with 256-bit vectors in its 32 registers
};

bool isaSupported(KernelIsa isa);
KernelIsa bestKernelIsa();  // the widest variant the CPU supports
const char* isaName(KernelIsa isa);  // "generic", "x86-64-v3", "x86-64-v4"
std::string supportedIsaNames();     // " generic x86-64-v3 ...": each the CPU runs

// The variants the CPU runs, the portable one first.
std::vector<KernelIsa> supportedIsas();

// The variant PULSEMILL_ISA names (`override`, the variable's value, or null
// when it is unset or empty): `forced` is set and true then. Unset or empty,
// `forced` is false and `isa` the widest variant by features (the caller
// may then choose among supportedIsas() by measurement). A name that is not
// a variant gives IsaUnknown, a variant the CPU cannot run IsaUnsupported;
// both carry the value as detail.
Status chooseKernelIsa(const char* override, KernelIsa& isa, bool& forced);

}  // namespace pulsemill
