#include "app/design_cache.h"

#include <new>
#include <vector>

namespace pulsemill {

Status DesignCache::design(const FilterParams& filter, const Diagnostics& diagnostics,
                           std::shared_ptr<const PhaseKernel>& kernel) {
  std::vector<double> taps;
  Status status = designInterpolationFilter(filter, isa_, diagnostics, taps);
  if (!status.ok()) return status;
  if (!measured_) {
    fastest_ = isaForced_ ? isa_
                          : fastestKernelIsa(taps.data(), filter.tapCount, filter.ratio,
                                             supportedIsas());
    measured_ = true;
  }
  auto laidOut = std::make_shared<PhaseKernel>();
  status = layoutPhaseKernel(taps.data(), filter.tapCount, filter.ratio, fastest_, *laidOut);
  if (status.ok()) kernel = std::move(laidOut);
  return status;
}

Status DesignCache::phaseKernel(const FilterParams& filter, const Diagnostics& diagnostics,
                                std::shared_ptr<const PhaseKernel>& kernel) {
  // One design at a time: a second run that needs the same filter waits
  // for it rather than designing it again.
  std::lock_guard<std::mutex> lock(mutex_);
  if (diagnostics.enabled()) return design(filter, diagnostics, kernel);
  const Key key{filter.inputRate, filter.ratio, filter.tapCount, filter.kaiserAlpha};
  const auto found = kernels_.find(key);
  if (found != kernels_.end()) {
    kernel = found->second;
    return Status();
  }
  Status status = design(filter, diagnostics, kernel);
  if (status.ok()) kernels_.emplace(key, kernel);
  return status;
}

}  // namespace pulsemill
