// Fuzzes the WAVE header reader with arbitrary bytes through a memory stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "wave/wave_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  bytes.push_back(0);  // fmemopen needs a non-empty buffer; the stream stops at `size`
  std::FILE* file = fmemopen(bytes.data(), size == 0 ? 1 : size, "rb");
  if (file == nullptr) return 0;
  if (size == 0) std::fgetc(file);  // an empty stream
  pulsemill::WaveInfo info;
  pulsemill::CapturedReport report;  // the header report is not what is tested
  const pulsemill::Status status = pulsemill::readWaveHeader(file, info, report);
  if (status.ok()) {
    // An accepted header leaves the stream inside the input, at a data chunk.
    if (info.dataOffset < 44 || static_cast<std::size_t>(info.dataOffset) > size) std::abort();
    if (info.blockAlign != 4 && info.blockAlign != 6) std::abort();
    if (info.sampleRate == 0 || info.sampleRate > 8388607) std::abort();
  } else if (status.exitStatus() != 1) {
    std::abort();  // a header never clips
  }
  std::fclose(file);
  return 0;
}
