// DSF output: the 92-byte header, the sound data in blocks of 4096 bytes
// per channel, an ID3v2 tag at the end, and the DSD sink that writes a whole
// file.
//
// Conventions: all numbers little-endian; sizes and counts are unsigned
// 64-bit. The data is blocks of kDsfBlockBytes bytes per channel, the left
// block then the right block, each byte holding eight samples with the
// earliest in the least significant bit (the core's bytes bit-reversed).
// The last block of each channel is padded with DSD silence. A failed write
// of the header, the tag or a size is WriteFatal (with the stream position),
// a failed write of sound data DsdWrite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <cstdio>
#include <vector>

#include "base/files.h"
#include "base/status.h"
#include "convert/dsd_sink.h"

namespace pulsemill {

constexpr int kDsfHeaderSize = 92;       // "DSD " (28) + "fmt " (52) + "data" header (12)
constexpr int kDsfBlockBytes = 4096;     // bytes per channel per block
constexpr std::uint8_t kDsfSilence = 0x96;  // 0x69 (DSD silence) least significant bit first

// What the header's sizes follow from.
struct DsfLayout {
  std::uint32_t dsdSampleRate = 0;    // Hz
  std::uint64_t bytesPerChannel = 0;  // sound data of one channel, without padding
  std::uint64_t tagBytes = 0;         // the ID3v2 tag after the data
};

// The header for `layout`: total file size, metadata offset (the tag's, 0
// without one; every finished file here carries one), sample count per channel
// (8 x bytesPerChannel), data chunk size (12 + whole blocks of both
// channels).
void fillDsfHeader(std::uint8_t header[kDsfHeaderSize], const DsfLayout& layout);

// The DSF sink. The header is written at begin() with the sizes of an empty
// file and rewritten at finish(), after the padded last blocks and the tag.
// On a file that cannot seek it is written once, at begin(), with the sizes
// of the declared length and the tag already set: the bytes are those a
// seekable file ends with.
class DsfSink : public DsdSink {
 public:
  // `file` must outlive the sink; each begin() writes to its current stream.
  explicit DsfSink(OutputFile& file) : file_(file) {}

  // The ID3v2 tag written after the data of the files begun from now on.
  void setTag(std::vector<std::uint8_t> tag) { tag_ = std::move(tag); }

  Status begin(std::uint32_t dsdSampleRate, std::uint64_t declaredBytes) override;
  Status write(const std::uint8_t* bytes, std::size_t count) override;
  Status finish() override;

 private:
  Status writeBlocks();  // the two channel blocks, full or padded

  OutputFile& file_;
  std::vector<std::uint8_t> tag_;
  std::uint32_t dsdSampleRate_ = 0;
  std::uint64_t bytesPerChannel_ = 0;
  bool streamed_ = false;                // the file cannot seek: header written at begin()
  std::uint64_t declaredPerChannel_ = 0;  // the sound data of one channel that header gives
  int filled_ = 0;  // bytes per channel in the current blocks
  std::uint8_t left_[kDsfBlockBytes];
  std::uint8_t right_[kDsfBlockBytes];
};

}  // namespace pulsemill
