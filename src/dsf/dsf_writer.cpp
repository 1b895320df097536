#include "dsf/dsf_writer.h"

#include <cstring>
#include <vector>

namespace pulsemill {

namespace {

constexpr std::uint64_t kDsdChunkSize = 28;
constexpr std::uint64_t kFmtChunkSize = 52;
constexpr std::uint64_t kDataChunkHeader = 12;

void putLe(std::uint8_t* p, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Byte i with its bit order reversed: the core packs the earliest sample in
// the most significant bit, DSF in the least.
struct BitReversal {
  std::uint8_t table[256];
  constexpr BitReversal() : table() {
    for (int i = 0; i < 256; ++i) {
      int r = 0;
      for (int b = 0; b < 8; ++b) r |= ((i >> b) & 1) << (7 - b);
      table[i] = static_cast<std::uint8_t>(r);
    }
  }
};
constexpr BitReversal kReversed;

std::uint64_t wholeBlockBytes(std::uint64_t bytesPerChannel) {
  return (bytesPerChannel + kDsfBlockBytes - 1) / kDsfBlockBytes * kDsfBlockBytes;
}

}  // namespace

void fillDsfHeader(std::uint8_t header[kDsfHeaderSize], const DsfLayout& layout) {
  const std::uint64_t data = 2 * wholeBlockBytes(layout.bytesPerChannel);
  const std::uint64_t tagOffset = kDsfHeaderSize + data;
  std::memset(header, 0, kDsfHeaderSize);
  std::memcpy(header + 0, "DSD ", 4);
  putLe(header + 4, kDsdChunkSize, 8);
  putLe(header + 12, tagOffset + layout.tagBytes, 8);  // total file size
  putLe(header + 20, layout.tagBytes > 0 ? tagOffset : 0, 8);  // metadata offset, 0: none
  std::memcpy(header + 28, "fmt ", 4);
  putLe(header + 32, kFmtChunkSize, 8);
  putLe(header + 40, 1, 4);  // format version
  putLe(header + 44, 0, 4);  // format ID: raw DSD
  putLe(header + 48, 2, 4);  // channel type: stereo
  putLe(header + 52, 2, 4);  // channels
  putLe(header + 56, layout.dsdSampleRate, 4);
  putLe(header + 60, 1, 4);  // bits per sample
  putLe(header + 64, layout.bytesPerChannel * 8, 8);  // samples per channel
  putLe(header + 72, kDsfBlockBytes, 4);
  // 76 .. 79 reserved, zero
  std::memcpy(header + 80, "data", 4);
  putLe(header + 84, kDataChunkHeader + data, 8);
}

Status DsfSink::begin(std::uint32_t dsdSampleRate, std::uint64_t declaredBytes) {
  dsdSampleRate_ = dsdSampleRate;
  bytesPerChannel_ = 0;
  streamed_ = !file_.seekable();
  declaredPerChannel_ = declaredBytes / 2;
  filled_ = 0;
  std::uint8_t header[kDsfHeaderSize];
  fillDsfHeader(header, streamed_ ? DsfLayout{dsdSampleRate, declaredPerChannel_, tag_.size()}
                                  : DsfLayout{dsdSampleRate, 0, 0});
  if (!writeAll(file_.stream(), header, sizeof header)) return writeFailure(file_.stream());
  return Status();
}

Status DsfSink::writeBlocks() {
  if (!writeAll(file_.stream(), left_, kDsfBlockBytes) ||
      !writeAll(file_.stream(), right_, kDsfBlockBytes))
    return Status(StatusCode::DsdWrite).because(systemReason());
  filled_ = 0;
  return Status();
}

Status DsfSink::write(const std::uint8_t* bytes, std::size_t count) {
  if (streamed_ && bytesPerChannel_ + count / 2 > declaredPerChannel_)
    return streamLengthFailure(2 * bytesPerChannel_ + count, 2 * declaredPerChannel_);
  for (std::size_t i = 0; i + 1 < count; i += 2) {
    left_[filled_] = kReversed.table[bytes[i]];
    right_[filled_] = kReversed.table[bytes[i + 1]];
    if (++filled_ == kDsfBlockBytes) {
      Status status = writeBlocks();
      if (!status.ok()) return status;
    }
  }
  bytesPerChannel_ += count / 2;
  return Status();
}

Status DsfSink::finish() {
  if (streamed_ && bytesPerChannel_ != declaredPerChannel_)
    return streamLengthFailure(2 * bytesPerChannel_, 2 * declaredPerChannel_);
  std::FILE* out = file_.stream();
  if (filled_ > 0) {
    std::memset(left_ + filled_, kDsfSilence, kDsfBlockBytes - filled_);
    std::memset(right_ + filled_, kDsfSilence, kDsfBlockBytes - filled_);
    Status status = writeBlocks();
    if (!status.ok()) return status;
  }
  if (!tag_.empty() && !writeAll(out, tag_.data(), tag_.size())) return writeFailure(out);
  if (streamed_) return file_.flush();
  std::uint8_t header[kDsfHeaderSize];
  fillDsfHeader(header, {dsdSampleRate_, bytesPerChannel_, tag_.size()});
  if (std::fseek(out, 0, SEEK_SET) != 0 || !writeAll(out, header, sizeof header))
    return writeFailure(out);
  return file_.flush();
}

}  // namespace pulsemill
