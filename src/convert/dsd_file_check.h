// What an existing DSD file holds, read back to decide whether a batch may
// skip it (each container's reader lives in its own format module:
// dsdiff/dsdiff_check.h, dsf/dsf_check.h).
#pragma once

#include <cstdint>
#include <string>

namespace pulsemill {

struct DsdFileCheck {
  std::string damage;                    // empty: a whole file; else what is wrong with it
  std::uint32_t sampleRate = 0;          // Hz, from the header
  std::uint64_t samplesPerChannel = 0;   // from the header; 0 when it cannot say (compressed)
};

}  // namespace pulsemill
