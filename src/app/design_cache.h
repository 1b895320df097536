// Work a process's runs share: designed interpolation filters, kept per
// (input rate, ratio, taps, alpha), and the interpolator's kernel variant,
// measured once on the first filter. An album designs its filter once.
//
// Conventions: thread-safe; a run that writes diagnostic files designs its
// own filter (the files are part of its output) and leaves the cache alone.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <tuple>

#include "base/diagnostics.h"
#include "base/kernel_isa.h"
#include "base/status.h"
#include "filter/filter_design.h"
#include "resample/interpolator.h"

namespace pulsemill {

class DesignCache {
 public:
  // The design uses the variant `isa`; so does the interpolator when
  // `isaForced`, which otherwise runs the variant that measures fastest.
  DesignCache(KernelIsa isa, bool isaForced) : isa_(isa), isaForced_(isaForced) {}

  // The phase kernel of `filter`, designed on first use (with diagnostics,
  // always). OutOfMemory or AlphaOutOfRange from the design.
  Status phaseKernel(const FilterParams& filter, const Diagnostics& diagnostics,
                     std::shared_ptr<const PhaseKernel>& kernel);

 private:
  using Key = std::tuple<std::uint32_t, int, int, double>;  // rate, ratio, taps, alpha
  Status design(const FilterParams& filter, const Diagnostics& diagnostics,
                std::shared_ptr<const PhaseKernel>& kernel);

  const KernelIsa isa_;
  const bool isaForced_;
  std::mutex mutex_;
  bool measured_ = false;
  KernelIsa fastest_ = KernelIsa::Generic;
  std::map<Key, std::shared_ptr<const PhaseKernel>> kernels_;
};

}  // namespace pulsemill
