#include "wave/wave_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/bytes.h"

namespace pulsemill {

namespace {

bool readExactly(std::FILE* file, void* buffer, std::size_t count) {
  return std::fread(buffer, 1, count, file) == count;
}

// Little-endian fields; false when the file ends inside the field.
bool readLe32(std::FILE* file, std::uint32_t& value) {
  std::uint8_t b[4];
  if (!readExactly(file, b, 4)) return false;
  value = le32(b);
  return true;
}

bool readLe16(std::FILE* file, std::uint32_t& value) {
  std::uint8_t b[2];
  if (!readExactly(file, b, 2)) return false;
  value = le16(b);
  return true;
}

// True when `file` has no byte left; the next byte, if any, stays unread.
bool atEnd(std::FILE* file) {
  const int c = std::fgetc(file);
  if (c == EOF) return true;
  std::ungetc(c, file);
  return false;
}

// A data chunk of size 0: the following bytes (up to a chunk header's
// eight, kept in info.pending) are a streamed file's samples unless there
// are none or they read as the next chunk's header.
bool streamedAfterEmptyData(std::FILE* file, WaveInfo& info) {
  std::uint8_t h[8];
  const std::size_t got = std::fread(h, 1, sizeof h, file);
  std::uint64_t left = UINT64_MAX;
  struct stat st;
  if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && info.dataOffset >= 0)
    left = static_cast<std::uint64_t>(st.st_size) - std::min<std::uint64_t>(
               static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(info.dataOffset) + 8);
  if (got == 0 || (got == sizeof h && isChunkHeader(h, left))) return false;
  info.pending.assign(h, h + got);
  return true;
}

// The fixed format fields after "WAVEfmt ", each reported as it is read.
Status readFormatFields(std::FILE* file, WaveInfo& info, Report& report) {
  std::uint32_t fmtSize, formatTag, channels, unused;
  if (!readLe32(file, fmtSize)) return readFailure(file);
  report.out("[WAVEfmt ] (%lu bytes)\n", static_cast<unsigned long>(fmtSize));
  if (fmtSize != 16) return StatusCode::FmtLength;
  if (!readLe16(file, formatTag)) return readFailure(file);
  report.out("  Data type = %u (1 = PCM)\n", formatTag);
  if (!readLe16(file, channels)) return readFailure(file);
  report.out("  Number of channels = %u (1 = mono, 2 = stereo)\n", channels);
  if (channels != 2) return StatusCode::Channels;
  if (!readLe32(file, info.sampleRate)) return readFailure(file);
  report.out("  Sampling rate = %luHz\n", static_cast<unsigned long>(info.sampleRate));
  if (info.sampleRate == 0 || info.sampleRate > kMaxInputSampleRate) return StatusCode::SampleRate;
  if (!readLe32(file, unused)) return readFailure(file);  // average byte rate
  if (!readLe16(file, info.blockAlign)) return readFailure(file);
  report.out("  Bytes per sample = %u\n", static_cast<unsigned>(info.blockAlign));
  if (info.blockAlign != 4 && info.blockAlign != 6) return StatusCode::BlockAlign;
  // Bits per sample: the width follows from the block align.
  if (!readLe16(file, unused)) return readFailure(file);
  return Status();
}

}  // namespace

bool isChunkHeader(const std::uint8_t h[8], std::uint64_t bytesLeft) {
  for (int i = 0; i < 4; ++i)
    if (h[i] < 0x20 || h[i] > 0x7E) return false;
  const std::uint32_t size = le32(h + 4);
  return bytesLeft == UINT64_MAX ? size < 0x80000000u : size <= bytesLeft;
}

Status readWaveHeader(std::FILE* file, WaveInfo& info, Report& report) {
  std::uint8_t magic[4];
  if (!readExactly(file, magic, 4)) return Status(StatusCode::HeaderShort).because(streamReason(file));
  return readWaveHeader(file, magic, info, report);
}

Status readWaveHeader(std::FILE* file, const std::uint8_t magic[4], WaveInfo& info,
                      Report& report) {
  if (std::memcmp(magic, "RIFF", 4) != 0) return StatusCode::NotRiff;
  std::uint32_t riffSize;
  if (!readLe32(file, riffSize)) return readFailure(file);
  report.out("[RIFF] (%lu bytes)\n", static_cast<unsigned long>(riffSize));

  char waveFmt[8];
  if (!readExactly(file, waveFmt, 8))
    return Status(StatusCode::HeaderShort).because(streamReason(file));
  if (std::memcmp(waveFmt, "WAVEfmt ", 8) != 0) return StatusCode::NotWaveFmt;
  Status status = readFormatFields(file, info, report);
  if (!status.ok()) return status;

  // Chunks up to "data": each skipped chunk's body is dumped in hex. Bodies of
  // odd size carry a pad byte, which is skipped without being dumped.
  for (;;) {
    char id[5] = {0, 0, 0, 0, 0};
    if (!readExactly(file, id, 4)) break;
    std::uint32_t chunkSize;
    if (!readLe32(file, chunkSize)) return readFailure(file);
    report.out("[%s] (%lu bytes)\n", id, static_cast<unsigned long>(chunkSize));
    if (std::memcmp(id, "data", 4) == 0) {
      info.dataOffset = std::ftell(file);
      info.dataSize = chunkSize;
      info.toEnd = chunkSize == 0xFFFFFFFFu || (chunkSize == 0 && streamedAfterEmptyData(file, info));
      return Status();
    }
    // A size with the top bit set reads as negative: nothing is dumped.
    const std::int32_t signedSize = static_cast<std::int32_t>(chunkSize);
    bool truncated = false;
    for (std::int32_t i = 0; i < signedSize; ++i) {
      int c = std::fgetc(file);
      if (c == EOF) {
        truncated = true;
        break;
      }
      report.out("%02x ", static_cast<unsigned>(c));
    }
    report.out("\n");
    if (truncated) break;
    if (signedSize > 0 && (signedSize & 1) != 0) std::fgetc(file);
  }
  return StatusCode::NoDataChunk;
}

Status WaveSource::read(int maxFrames, double* left, double* right, int& frames) {
  const std::uint64_t blockAlign = info_.blockAlign;
  std::uint64_t bytes = blockAlign * static_cast<std::uint64_t>(maxFrames);
  if (!info_.toEnd && bytesRead_ + bytes > info_.dataSize)
    bytes = info_.dataSize - bytesRead_;  // the last block
  if (block_.size() < bytes) block_.resize(blockAlign * static_cast<std::uint64_t>(maxFrames));
  std::size_t got = 0;
  while (pendingTaken_ < info_.pending.size() && got < bytes)
    block_[got++] = info_.pending[pendingTaken_++];
  got += std::fread(block_.data() + got, 1, bytes - got, file_);
  if (info_.toEnd) {
    // The input's end is the chunk's: a read error is still one.
    if (got != bytes && std::ferror(file_))
      return Status(StatusCode::PcmRead).because(streamReason(file_));
    ended_ = got != bytes || atEnd(file_);
    bytes = got - got % blockAlign;
  } else if (got != bytes) {
    bytesRead_ += bytes;
    return Status(StatusCode::PcmRead).because(streamReason(file_));
  }
  bytesRead_ += bytes;

  const int n = static_cast<int>(bytes / blockAlign);
  const std::uint8_t* pcm = block_.data();
  if (blockAlign == 6) {
    for (int k = 0; k < n; ++k, pcm += 6) {
      left[k] = unitsOnSourceScale(units24(le24(pcm)));
      right[k] = unitsOnSourceScale(units24(le24(pcm + 3)));
    }
  } else {
    for (int k = 0; k < n; ++k, pcm += 4) {
      left[k] = unitsOnSourceScale(units16(le16(pcm)));
      right[k] = unitsOnSourceScale(units16(le16(pcm + 2)));
    }
  }
  frames = n;
  return Status();
}

Status WaveSource::rewind() {
  // A pipe has no position to go back to.
  if (info_.dataOffset < 0) return Status(StatusCode::PcmRead).because(std::strerror(ESPIPE));
  if (std::fseek(file_, static_cast<long>(info_.dataOffset), SEEK_SET) != 0)
    return Status(StatusCode::PcmRead).because(systemReason());
  bytesRead_ = 0;
  ended_ = false;
  pendingTaken_ = info_.pending.size();  // the stream gives those bytes again from here
  return Status();
}

}  // namespace pulsemill
