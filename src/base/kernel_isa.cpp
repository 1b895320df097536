#include "base/kernel_isa.h"

#include <cstring>

namespace pulsemill {

namespace {

constexpr KernelIsa kAllIsas[] = {KernelIsa::Generic, KernelIsa::X86_64_V3, KernelIsa::X86_64_V4,
                                   KernelIsa::X86_64_V4_256};

// GCC knows the micro-architecture levels by name; clang 14 only the
// single features, so there the levels' vector features are tested.
bool cpuSupportsV3() {
#if defined(__clang__)
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
         __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
#else
  return __builtin_cpu_supports("x86-64-v3");
#endif
}

bool cpuSupportsV4() {
#if defined(__clang__)
  return cpuSupportsV3() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512cd");
#else
  return __builtin_cpu_supports("x86-64-v4");
#endif
}

}  // namespace

bool isaSupported(KernelIsa isa) {
  switch (isa) {
    case KernelIsa::Generic: return true;
    case KernelIsa::X86_64_V3: return cpuSupportsV3();
    case KernelIsa::X86_64_V4:
    case KernelIsa::X86_64_V4_256: return cpuSupportsV4();
  }
  return false;
}

KernelIsa bestKernelIsa() {
  if (isaSupported(KernelIsa::X86_64_V4)) return KernelIsa::X86_64_V4;
  if (isaSupported(KernelIsa::X86_64_V3)) return KernelIsa::X86_64_V3;
  return KernelIsa::Generic;
}

const char* isaName(KernelIsa isa) {
  switch (isa) {
    case KernelIsa::Generic: return "generic";
    case KernelIsa::X86_64_V3: return "x86-64-v3";
    case KernelIsa::X86_64_V4: return "x86-64-v4";
    case KernelIsa::X86_64_V4_256: return "x86-64-v4-256";
  }
  return "unknown";
}

std::vector<KernelIsa> supportedIsas() {
  std::vector<KernelIsa> isas;
  for (KernelIsa isa : kAllIsas)
    if (isaSupported(isa)) isas.push_back(isa);
  return isas;
}

std::string supportedIsaNames() {
  std::string names;
  for (KernelIsa isa : supportedIsas()) names += std::string(" ") + isaName(isa);
  return names;
}

Status chooseKernelIsa(const char* override, KernelIsa& isa, bool& forced) {
  forced = override != nullptr && *override != '\0';
  if (!forced) {
    isa = bestKernelIsa();
    return Status();
  }
  for (KernelIsa candidate : kAllIsas) {
    if (std::strcmp(override, isaName(candidate)) != 0) continue;
    if (!isaSupported(candidate)) return Status(StatusCode::IsaUnsupported, override);
    isa = candidate;
    return Status();
  }
  return Status(StatusCode::IsaUnknown, override);
}

}  // namespace pulsemill
