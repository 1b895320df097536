#include "dsdiff/dsdiff_writer.h"

#include <cstring>

namespace pulsemill {

namespace {

void putBe64(std::uint8_t* p, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
}

void putBe32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

void putId(std::uint8_t* p, const char* id) { std::memcpy(p, id, 4); }

constexpr long kFormSizeOffset = 4;
constexpr long kRateOffset = 60;
constexpr long kDataSizeOffset = 122;

Status patchBe64(std::FILE* out, long offset, std::uint64_t value) {
  std::uint8_t field[8];
  putBe64(field, value);
  if (std::fseek(out, offset, SEEK_SET) != 0 || !writeAll(out, field, sizeof field))
    return writeFailure(out);
  return Status();
}

// Writes a filled header; leaves the stream at offset 130.
Status writeHeader(std::FILE* out, const std::uint8_t header[kDsdiffHeaderSize]) {
  if (!writeAll(out, header, kRateOffset) || !writeAll(out, header + kRateOffset, 4) ||
      !writeAll(out, header + kRateOffset + 4, kDsdiffHeaderSize - kRateOffset - 4))
    return writeFailure(out);
  return Status();
}

}  // namespace

void fillDsdiffHeader(std::uint8_t header[kDsdiffHeaderSize], std::uint32_t dsdSampleRate) {
  std::memset(header, 0, kDsdiffHeaderSize);
  putId(header + 0, "FRM8");     // form size at 4, patched at the end
  putId(header + 12, "DSD ");
  putId(header + 16, "FVER");
  putBe64(header + 20, 4);
  header[28] = 1;                // version 1.4.0.0
  header[29] = 4;
  putId(header + 32, "PROP");
  putBe64(header + 36, 74);      // 4 + FS (16) + CHNL (22) + CMPR (32)
  putId(header + 44, "SND ");
  putId(header + 48, "FS  ");
  putBe64(header + 52, 4);
  putBe32(header + kRateOffset, dsdSampleRate);
  putId(header + 64, "CHNL");
  putBe64(header + 68, 10);
  header[76] = 0;
  header[77] = 2;                // two channels
  putId(header + 78, "SLFT");
  putId(header + 82, "SRGT");
  putId(header + 86, "CMPR");
  putBe64(header + 90, 20);      // 4 + 1 + 14 + pad 1
  putId(header + 98, "DSD ");
  header[102] = 14;
  std::memcpy(header + 103, "not compressed", 14);
  header[117] = 0;               // pad to even length
  putId(header + 118, "DSD ");   // sound data size at 122, patched at the end
}

Status writeDsdiffHeader(std::FILE* out, std::uint32_t dsdSampleRate) {
  std::uint8_t header[kDsdiffHeaderSize];
  fillDsdiffHeader(header, dsdSampleRate);
  return writeHeader(out, header);
}

Status patchDsdiffSizes(std::FILE* out, std::uint64_t dataBytes) {
  Status status = patchBe64(out, kFormSizeOffset, dataBytes + kDsdiffFormOverhead);
  if (status.ok()) status = patchBe64(out, kDataSizeOffset, dataBytes);
  return status;
}

Status DsdiffSink::begin(std::uint32_t dsdSampleRate, std::uint64_t declaredBytes) {
  dataBytes_ = 0;
  streamed_ = !file_.seekable();
  declaredBytes_ = declaredBytes;
  std::uint8_t header[kDsdiffHeaderSize];
  fillDsdiffHeader(header, dsdSampleRate);
  if (streamed_) {
    putBe64(header + kFormSizeOffset, declaredBytes + kDsdiffFormOverhead);
    putBe64(header + kDataSizeOffset, declaredBytes);
  }
  return writeHeader(file_.stream(), header);
}

Status DsdiffSink::write(const std::uint8_t* bytes, std::size_t count) {
  if (streamed_ && dataBytes_ + count > declaredBytes_)
    return streamLengthFailure(dataBytes_ + count, declaredBytes_);
  if (!writeAll(file_.stream(), bytes, count))
    return Status(StatusCode::DsdWrite).because(systemReason());
  dataBytes_ += count;
  return Status();
}

Status DsdiffSink::finish() {
  if (streamed_ && dataBytes_ != declaredBytes_)
    return streamLengthFailure(dataBytes_, declaredBytes_);
  Status status = streamed_ ? Status() : patchDsdiffSizes(file_.stream(), dataBytes_);
  if (status.ok()) status = file_.flush();
  return status;
}

}  // namespace pulsemill
