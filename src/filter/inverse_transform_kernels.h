// Per-ISA kernels of the filter's inverse transform (internal to filter/).
#pragma once

#include <cstdint>

namespace pulsemill {

// Outputs per pass of the x86-64-v4 kernel.
constexpr int kTransformOutputsPerPassV4 = 64;

// t[i] for i in [first, first + kTransformOutputsPerPassV4), i <= n/2 stored, the rest computed and
// dropped: each lane sums ct[(i * j) mod n] * response[j] in increasing j,
// one multiply then one add, and divides by n. n is a power of two.
void inverseTransformPassX86_64_V4(const double* cosTable, const double* response, double* t,
                                   std::uint32_t n, std::uint32_t first);

}  // namespace pulsemill
