// RIFF/WAVE header reader.
//
// Conventions: all header fields are little-endian and assembled byte by
// byte. The report goes to standard output; fatal short reads go through
// failRead (standard error, exit status 1). The reader never seeks: it
// reaches the sample data by reading every byte before it, so it also works
// on pipes and memory streams.
#pragma once

#include <cstdint>
#include <cstdio>

namespace pulsemill {

struct WaveInfo {
  std::uint64_t dataSize = 0;   // size field of the "data" chunk, bytes (< 2^32)
  std::uint32_t sampleRate = 0; // Hz, 1 .. 8388607 once accepted
  std::uint32_t blockAlign = 0; // bytes per stereo frame: 4 (16-bit) or 6 (24-bit)
  std::int64_t dataOffset = 0;  // stream position of the first sample byte
};

// Little-endian field readers; a short read calls failRead on `file`.
unsigned readLe32(std::FILE* file);
unsigned readLe16(std::FILE* file);

// Validates the header, prints its report and leaves `file` at the first
// sample byte. Returns 0 when accepted (`info` complete), 1 when rejected
// after a message on standard output. Fatal short reads inside fixed fields
// do not return (failRead).
int readWaveHeader(std::FILE* file, WaveInfo& info);

}  // namespace pulsemill
