// DSDIFF container: the fixed 130-byte header and its two size fields.
//
// Conventions: all numbers big-endian; chunk sizes are unsigned 64-bit and
// count the bytes after the chunk's 12-byte ID and size. Write failures of
// the guarded fields end the run through failWrite.
#pragma once

#include <cstdint>
#include <cstdio>

namespace pulsemill {

constexpr int kDsdiffHeaderSize = 130;        // header bytes before the sound data
constexpr std::uint64_t kDsdiffFormOverhead = 118;  // form content ahead of the data

// The header with both sizes 0 and `dsdSampleRate` (Hz) at offset 60.
void fillDsdiffHeader(std::uint8_t header[kDsdiffHeaderSize],
                      std::uint32_t dsdSampleRate);

// Writes the header at the stream's start; leaves the stream at offset 130.
void writeDsdiffHeader(std::FILE* out, std::uint32_t dsdSampleRate);

// Rewrites the form size (dataBytes + 118) at offset 4 and the sound data
// size at offset 122; leaves the stream at offset 130. A failed seek or write
// ends the run through failWrite.
void patchDsdiffSizes(std::FILE* out, std::uint64_t dataBytes);

}  // namespace pulsemill
