#include "wave/wave_reader.h"

#include <cstring>

#include "wave/fatal_io.h"

namespace pulsemill {

namespace {

// Highest sample rate whose products with the ratio (up to 256) and the tap
// count stay inside the 32-bit arithmetic of the rate handling.
constexpr std::uint32_t kMaxSampleRate = 8388607;

bool readExactly(std::FILE* file, void* buffer, std::size_t count) {
  return std::fread(buffer, 1, count, file) == count;
}

}  // namespace

unsigned readLe32(std::FILE* file) {
  unsigned char b[4];
  if (!readExactly(file, b, 4)) failRead(file);
  return static_cast<unsigned>(b[0]) | (static_cast<unsigned>(b[1]) << 8) |
         (static_cast<unsigned>(b[2]) << 16) | (static_cast<unsigned>(b[3]) << 24);
}

unsigned readLe16(std::FILE* file) {
  unsigned char b[2];
  if (!readExactly(file, b, 2)) failRead(file);
  return static_cast<unsigned>(b[0]) | (static_cast<unsigned>(b[1]) << 8);
}

int readWaveHeader(std::FILE* file, WaveInfo& info) {
  char riff[4];
  if (!readExactly(file, riff, 4)) {
    std::printf("Read error\n");
    return 1;
  }
  if (std::memcmp(riff, "RIFF", 4) != 0) {
    std::printf("Not a RIFF format\n");
    return 1;
  }
  unsigned long riffSize = readLe32(file);
  std::printf("[RIFF] (%lu bytes)\n", riffSize);

  char waveFmt[8];
  if (!readExactly(file, waveFmt, 8)) {
    std::printf("Read error\n");
    return 1;
  }
  if (std::memcmp(waveFmt, "WAVEfmt ", 8) != 0) {
    std::printf("Not a WAVEfmt format\n");
    return 1;
  }
  unsigned long fmtSize = readLe32(file);
  std::printf("[WAVEfmt ] (%lu bytes)\n", fmtSize);
  if (fmtSize != 16) {
    std::printf("Length of WAVEfmt must be 16\n");
    return 1;
  }
  unsigned formatTag = readLe16(file);
  std::printf("  Data type = %u (1 = PCM)\n", formatTag);
  unsigned channels = readLe16(file);
  std::printf("  Number of channels = %u (1 = mono, 2 = stereo)\n", channels);
  if (channels != 2) {
    std::printf("Not Suppoer channels\n");
    return 1;
  }
  info.sampleRate = readLe32(file);
  std::printf("  Sampling rate = %luHz\n", static_cast<unsigned long>(info.sampleRate));
  if (info.sampleRate == 0 || info.sampleRate > kMaxSampleRate) {
    std::printf("Sampling rate out of range\n");
    return 1;
  }
  readLe32(file);  // average byte rate, unused
  info.blockAlign = readLe16(file);
  std::printf("  Bytes per sample = %u\n", static_cast<unsigned>(info.blockAlign));
  if (info.blockAlign != 4 && info.blockAlign != 6) {
    std::printf("Bytes per sample must be 4 or 6\n");
    return 1;
  }
  readLe16(file);  // bits per sample: the width follows from the block align

  // Chunks up to "data": each skipped chunk's body is dumped in hex. Bodies of
  // odd size carry a pad byte, which is skipped without being dumped.
  for (;;) {
    char id[5] = {0, 0, 0, 0, 0};
    if (!readExactly(file, id, 4)) break;
    unsigned long chunkSize = readLe32(file);
    std::printf("[%s] (%lu bytes)\n", id, chunkSize);
    if (std::memcmp(id, "data", 4) == 0) {
      info.dataOffset = std::ftell(file);
      info.dataSize = chunkSize;
      return 0;
    }
    std::int32_t signedSize = static_cast<std::int32_t>(chunkSize);
    bool truncated = false;
    for (std::int32_t i = 0; i < signedSize; ++i) {
      int c = std::fgetc(file);
      if (c == EOF) {
        truncated = true;
        break;
      }
      std::printf("%02x ", static_cast<unsigned>(c));
    }
    std::printf("\n");
    if (truncated) break;
    if (signedSize > 0 && (signedSize & 1) != 0) std::fgetc(file);
  }
  std::printf("No data chunk\n");
  return 1;
}

}  // namespace pulsemill
