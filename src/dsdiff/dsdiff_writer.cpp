#include "dsdiff/dsdiff_writer.h"

#include <algorithm>
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
constexpr long kSoundChunkOffset = 118;  // the "DSD " sound chunk of an untagged file
constexpr long kDataSizeOffset = kSoundChunkOffset + 4;

Status patchBe64(std::FILE* out, long offset, std::uint64_t value) {
  std::uint8_t field[8];
  putBe64(field, value);
  if (std::fseek(out, offset, SEEK_SET) != 0 || !writeAll(out, field, sizeof field))
    return writeFailure(out);
  return Status();
}

// Patches the form size and the sound data size (the field at
// `dataSizeOffset`); leaves the stream after that field.
Status patchSizes(std::FILE* out, std::uint64_t formSize, long dataSizeOffset,
                  std::uint64_t dataBytes) {
  Status status = patchBe64(out, kFormSizeOffset, formSize);
  if (status.ok()) status = patchBe64(out, dataSizeOffset, dataBytes);
  return status;
}

// Writes a filled header of `size` bytes; leaves the stream after it.
Status writeHeader(std::FILE* out, const std::uint8_t* header, std::size_t size) {
  if (!writeAll(out, header, kRateOffset) || !writeAll(out, header + kRateOffset, 4) ||
      !writeAll(out, header + kRateOffset + 4, size - kRateOffset - 4))
    return writeFailure(out);
  return Status();
}

// The chunk `id` holding `body`: ID, size, body, and a zero pad byte when
// the body's size is odd.
std::vector<std::uint8_t> chunk(const char* id, const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> bytes(12 + body.size() + (body.size() & 1), 0);
  putId(bytes.data(), id);
  putBe64(bytes.data() + 4, body.size());
  std::copy(body.begin(), body.end(), bytes.begin() + 12);
  return bytes;
}

// A "DIAR" or "DITI" chunk: the text's byte count (32 bits), then the text.
std::vector<std::uint8_t> textChunk(const char* id, const std::string& text) {
  std::vector<std::uint8_t> body(4 + text.size());
  putBe32(body.data(), static_cast<std::uint32_t>(text.size()));
  std::copy(text.begin(), text.end(), body.begin() + 4);
  return chunk(id, body);
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
  return writeHeader(out, header, kDsdiffHeaderSize);
}

Status patchDsdiffSizes(std::FILE* out, std::uint64_t dataBytes) {
  return patchSizes(out, dataBytes + kDsdiffFormOverhead, kDataSizeOffset, dataBytes);
}

void DsdiffSink::setTags(const DsdiffTags& tags) {
  std::vector<std::uint8_t> info;
  for (const auto& [id, text] : {std::pair{"DIAR", &tags.artist}, {"DITI", &tags.title}}) {
    if (text->empty()) continue;
    const std::vector<std::uint8_t> bytes = textChunk(id, *text);
    info.insert(info.end(), bytes.begin(), bytes.end());
  }
  info_ = info.empty() ? info : chunk("DIIN", info);
  id3_ = tags.id3.empty() ? std::vector<std::uint8_t>() : chunk("ID3 ", tags.id3);
}

std::uint64_t DsdiffSink::formSize(std::uint64_t dataBytes) const {
  return kDsdiffFormOverhead + info_.size() + dataBytes + id3_.size();
}

Status DsdiffSink::begin(std::uint32_t dsdSampleRate, std::uint64_t declaredBytes) {
  dataBytes_ = 0;
  streamed_ = !file_.seekable();
  declaredBytes_ = declaredBytes;
  std::vector<std::uint8_t> header(kDsdiffHeaderSize);
  fillDsdiffHeader(header.data(), dsdSampleRate);
  header.insert(header.begin() + kSoundChunkOffset, info_.begin(), info_.end());
  if (streamed_) {
    putBe64(header.data() + kFormSizeOffset, formSize(declaredBytes));
    putBe64(header.data() + kDataSizeOffset + info_.size(), declaredBytes);
  }
  return writeHeader(file_.stream(), header.data(), header.size());
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
  std::FILE* out = file_.stream();
  // The sound data holds byte pairs: the "ID3 " chunk starts on an even offset.
  if (!id3_.empty() && !writeAll(out, id3_.data(), id3_.size())) return writeFailure(out);
  Status status = streamed_ ? Status()
                            : patchSizes(out, formSize(dataBytes_),
                                         kDataSizeOffset + static_cast<long>(info_.size()), dataBytes_);
  if (status.ok()) status = file_.flush();
  return status;
}

}  // namespace pulsemill
