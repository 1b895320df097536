// RIFF/WAVE input: the header reader and the PCM source over the samples.
//
// Conventions: all header fields are little-endian and assembled byte by
// byte. The header report goes to standard output as the header is read.
// The reader never seeks: it reaches the sample data by reading every byte
// before it, so it also works on pipes and memory streams. Only going back
// for a retry needs a seekable input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/report.h"
#include "base/status.h"
#include "convert/pcm_source.h"

namespace pulsemill {

struct WaveInfo {
  std::uint64_t dataSize = 0;   // size field of the "data" chunk, bytes (< 2^32)
  // A streamed file's data chunk: its size 0xFFFFFFFF, or 0 with bytes
  // following that are no chunk header (a writer that could not go back to
  // fill it in). Its samples run to the end of the file or stream; a short
  // last frame is the end.
  bool toEnd = false;
  std::vector<std::uint8_t> pending;  // a streamed chunk's first bytes, read to tell it
  std::uint32_t sampleRate = 0; // Hz, 1 .. 8388607 once accepted
  std::uint32_t blockAlign = 0; // bytes per stereo frame: 4 (16-bit) or 6 (24-bit)
  std::int64_t dataOffset = 0;  // stream position of the first sample byte (-1: unknown)
};

// True when the 8 bytes at `h` read as a chunk header: four printable
// ASCII characters and a size that fits in `bytesLeft` (the bytes after
// the header; for a pipe, pass UINT64_MAX: any size below 2^31 fits).
bool isChunkHeader(const std::uint8_t h[8], std::uint64_t bytesLeft);

// Validates the header, prints its report and leaves `file` at the first
// sample byte. Ok with `info` complete; otherwise the reason, printed after
// the report lines read so far: HeaderShort, NotRiff, NotWaveFmt, FmtLength,
// Channels, SampleRate, BlockAlign or NoDataChunk, or ReadFatal when the file
// ends inside a fixed field.
Status readWaveHeader(std::FILE* file, WaveInfo& info, Report& report);

// The same after the caller has read the stream's first four bytes
// (`magic`) itself, to tell the input formats apart.
Status readWaveHeader(std::FILE* file, const std::uint8_t magic[4], WaveInfo& info,
                      Report& report);

// The samples of an accepted WAVE file as a PCM source: blocks of up to the
// asked frames, the last one shorter; a trailing incomplete frame is read
// but not decoded. A file that ends before its data chunk does gives
// PcmRead, as does a rewind on an input that cannot seek. A streamed data
// chunk (WaveInfo::toEnd) is read to the end of the input; its length is
// then unknown until read (totalFrames() 0) and the timing line reports
// the bytes read.
class WaveSource : public PcmSource {
 public:
  // `file` stays open, at the first sample byte, for the source's lifetime.
  WaveSource(std::FILE* file, const WaveInfo& info) : file_(file), info_(info) {}

  std::uint32_t sampleRate() const override { return info_.sampleRate; }
  bool hasMore() const override { return info_.toEnd ? !ended_ : bytesRead_ < info_.dataSize; }
  Status read(int maxFrames, double* left, double* right, int& frames) override;
  Status rewind() override;
  std::uint64_t reportedBytes() const override { return info_.toEnd ? bytesRead_ : info_.dataSize; }
  std::uint64_t totalFrames() const override {
    return info_.toEnd ? 0 : info_.dataSize / info_.blockAlign;
  }

 private:
  std::FILE* file_;
  WaveInfo info_;
  std::uint64_t bytesRead_ = 0;  // 64-bit: the short-block test cannot wrap
  std::size_t pendingTaken_ = 0;  // of info_.pending, handed out before the stream's bytes
  bool ended_ = false;           // a streamed chunk: the input has ended
  std::vector<std::uint8_t> block_;  // one block's bytes; grows once
};

}  // namespace pulsemill
