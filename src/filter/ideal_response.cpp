#include "filter/ideal_response.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>

#include "filter/inverse_transform_kernels.h"

namespace pulsemill {

double stopBandLevel() { return std::pow(10.0, -10.0); }

void buildIdealResponse(std::uint32_t outputRate, std::int32_t lowerEdge,
                        std::int32_t upperEdge, double* response,
                        std::int32_t tapCount) {
  const double stopLevel = stopBandLevel();
  const std::int32_t half = tapCount / 2;
  // Entry j samples the bin above it, (j + 1) * R / N; both edges are strict.
#pragma omp parallel for schedule(static)
  for (std::int32_t j = 0; j < half; ++j) {
    double f = (static_cast<double>(j + 1) * static_cast<double>(outputRate)) /
               static_cast<double>(tapCount);
    if (static_cast<double>(lowerEdge) > f) {
      response[j] = stopLevel;
    } else if (static_cast<double>(upperEdge) > f) {
      response[j] = 1.0;
    } else if (static_cast<double>(outputRate / 2) >= f) {
      response[j] = stopLevel;
    }
  }
#pragma omp parallel for schedule(static)
  for (std::int32_t j = half; j < tapCount; ++j) response[j] = response[tapCount - 1 - j];
}

void fillCosineTable(double* cosTable, std::int32_t tapCount) {
#pragma omp parallel for schedule(static)
  for (std::int32_t k = 0; k < tapCount; ++k) {
    cosTable[k] = std::cos((static_cast<double>(k) * 6.283185307179586) /
                           static_cast<double>(tapCount));
  }
}

void inverseTransformReference(const double* cosTable, const double* response,
                               double* t, std::int32_t tapCount) {
  const std::uint32_t n = static_cast<std::uint32_t>(tapCount);
  for (std::uint32_t i = 0; i <= n / 2; ++i) {
    double sum = 0.0;
    for (std::uint32_t j = 0; j < n; ++j) sum += cosTable[(i * j) % n] * response[j];
    t[i] = sum / static_cast<double>(tapCount);
  }
}

// The transform's sums are latency-bound chains of N multiply-adds each, so
// kOutputsPerPass outputs run interleaved, each still summed in increasing j
// with its own table index (i * j) mod N advanced by i per step.
void inverseTransform(const double* cosTable, const double* response, double* t,
                      std::int32_t tapCount, KernelIsa isa) {
  const std::uint32_t n = static_cast<std::uint32_t>(tapCount);
  if (n == 0 || (n & (n - 1)) != 0) {
    inverseTransformReference(cosTable, response, t, tapCount);
    return;
  }
  const std::uint32_t outputs = n / 2 + 1;
  // Both AVX-512 variants gather the table with 512-bit vectors: the
  // transform runs once per run and the gathers dominate it.
  if ((isa == KernelIsa::X86_64_V4 || isa == KernelIsa::X86_64_V4_256) && isaSupported(isa)) {
    const int passes = static_cast<int>((outputs + kTransformOutputsPerPassV4 - 1) /
                                        kTransformOutputsPerPassV4);
#pragma omp parallel for schedule(dynamic)
    for (int pass = 0; pass < passes; ++pass) {
      inverseTransformPassX86_64_V4(cosTable, response, t, n,
                                    static_cast<std::uint32_t>(pass) * kTransformOutputsPerPassV4);
    }
    return;
  }
  constexpr int kOutputsPerPass = 8;
  const std::uint32_t mask = n - 1;
  const int passes = static_cast<int>((outputs + kOutputsPerPass - 1) / kOutputsPerPass);
#pragma omp parallel for schedule(dynamic)
  for (int pass = 0; pass < passes; ++pass) {
    const std::uint32_t first = static_cast<std::uint32_t>(pass) * kOutputsPerPass;
    std::uint32_t step[kOutputsPerPass];
    std::uint32_t index[kOutputsPerPass];
    double sum[kOutputsPerPass];
    for (int r = 0; r < kOutputsPerPass; ++r) {
      step[r] = (first + static_cast<std::uint32_t>(r)) & mask;
      index[r] = 0;
      sum[r] = 0.0;
    }
    for (std::uint32_t j = 0; j < n; ++j) {
      const double x = response[j];
      for (int r = 0; r < kOutputsPerPass; ++r) {
        const double product = cosTable[index[r]] * x;
        sum[r] = sum[r] + product;
        index[r] = (index[r] + step[r]) & mask;
      }
    }
    for (int r = 0; r < kOutputsPerPass; ++r) {
      const std::uint32_t i = first + static_cast<std::uint32_t>(r);
      if (i < outputs) t[i] = sum[r] / static_cast<double>(tapCount);
    }
  }
}

Status computeImpulseResponse(const double* response, double* kernel, std::int32_t tapCount,
                              KernelIsa isa, const Diagnostics& diagnostics) {
  std::unique_ptr<double[]> cosTable(new (std::nothrow) double[tapCount]);
  std::unique_ptr<double[]> t(new (std::nothrow) double[tapCount]);
  if (!cosTable || !t) return StatusCode::OutOfMemory;
  fillCosineTable(cosTable.get(), tapCount);
  inverseTransform(cosTable.get(), response, t.get(), tapCount, isa);

  const std::int32_t half = tapCount / 2;
#pragma omp parallel for schedule(static)
  for (std::int32_t i = 0; i < half; ++i) kernel[i] = t[half - i];
#pragma omp parallel for schedule(static)
  for (std::int32_t i = half; i < tapCount; ++i) kernel[i] = t[i - half];

  diagnostics.dumpValues(DiagnosticFile::ImpulseResponse, kernel, tapCount);
  return Status();
}

}  // namespace pulsemill
