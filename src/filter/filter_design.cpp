#include "filter/filter_design.h"

#include <omp.h>

#include <new>

#include "filter/gain_response.h"
#include "filter/ideal_response.h"
#include "filter/kaiser_window.h"

namespace pulsemill {

namespace {

// The OpenMP team size of the calling thread's parallel loops, for a scope:
// the design's loops run with the run's budget, not the process's.
class TeamSize {
 public:
  explicit TeamSize(int threads) : saved_(omp_get_max_threads()) {
    if (threads > 0) omp_set_num_threads(threads);
  }
  ~TeamSize() { omp_set_num_threads(saved_); }
  TeamSize(const TeamSize&) = delete;
  TeamSize& operator=(const TeamSize&) = delete;

 private:
  int saved_;
};

}  // namespace

Status designInterpolationFilter(const FilterParams& filter, KernelIsa isa,
                                 const Diagnostics& diagnostics, std::vector<double>& taps) {
  const TeamSize team(filter.threads);
  const std::int32_t n = filter.tapCount;
  std::vector<double> response;
  try {
    response.assign(n, 0.0);
    taps.assign(n, 0.0);
  } catch (const std::bad_alloc&) {
    return StatusCode::OutOfMemory;
  }
  // Below 2^32 for every accepted rate (8388607 x 512).
  const std::uint32_t outputRate = filter.inputRate * static_cast<std::uint32_t>(filter.ratio);
  buildIdealResponse(outputRate, 0, static_cast<std::int32_t>(filter.inputRate / 2), response.data(),
                     n);
  Status status = computeImpulseResponse(response.data(), taps.data(), n, isa, diagnostics);
  if (status.ok()) status = applyKaiserWindow(taps.data(), filter.kaiserAlpha, n, diagnostics);
  if (status.ok()) computeGainResponse(taps.data(), n, diagnostics);
  return status;
}

}  // namespace pulsemill
