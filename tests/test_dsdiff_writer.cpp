// DSDIFF container: the 130-byte header template, the rate field and the two
// 64-bit size fields patched at the end; a tagged file's chunks around the
// sound data.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dsdiff/dsdiff_writer.h"
#include "base/files.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using pulsemill::StatusCode;

void append(Bytes& out, const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(text[i]));
}

void appendBigEndian(Bytes& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The header laid out chunk by chunk from the format's layout.
Bytes expectedHeader(std::uint32_t rate, std::uint64_t dataBytes, bool patched) {
  Bytes h;
  append(h, "FRM8", 4);
  appendBigEndian(h, patched ? dataBytes + 118 : 0, 8);
  append(h, "DSD ", 4);
  append(h, "FVER", 4);
  appendBigEndian(h, 4, 8);
  h.insert(h.end(), {0x01, 0x04, 0x00, 0x00});
  append(h, "PROP", 4);
  appendBigEndian(h, 74, 8);
  append(h, "SND ", 4);
  append(h, "FS  ", 4);
  appendBigEndian(h, 4, 8);
  appendBigEndian(h, rate, 4);
  append(h, "CHNL", 4);
  appendBigEndian(h, 10, 8);
  appendBigEndian(h, 2, 2);
  append(h, "SLFT", 4);
  append(h, "SRGT", 4);
  append(h, "CMPR", 4);
  appendBigEndian(h, 20, 8);
  append(h, "DSD ", 4);
  h.push_back(14);
  append(h, "not compressed", 14);
  h.push_back(0);
  append(h, "DSD ", 4);
  appendBigEndian(h, patched ? dataBytes : 0, 8);
  return h;
}

Bytes filled(std::uint32_t rate) {
  Bytes header(pulsemill::kDsdiffHeaderSize, 0xEE);
  pulsemill::fillDsdiffHeader(header.data(), rate);
  return header;
}

Bytes slice(const Bytes& b, size_t from, size_t count) {
  return Bytes(b.begin() + from, b.begin() + from + count);
}

// Writes the header and `dataBytes` of payload (at most a few), patches with
// `patchCount` and returns the file.
Bytes writePatched(const std::string& path, std::uint32_t rate, const Bytes& payload,
                   std::uint64_t patchCount) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_NE(nullptr, f);
  if (!f) return {};
  EXPECT_TRUE(pulsemill::writeDsdiffHeader(f, rate).ok());
  EXPECT_EQ(130, std::ftell(f));
  if (!payload.empty()) std::fwrite(payload.data(), 1, payload.size(), f);
  EXPECT_TRUE(pulsemill::patchDsdiffSizes(f, patchCount).ok());
  EXPECT_EQ(130, std::ftell(f));
  std::fclose(f);
  return testsupport::readFileBytes(path);
}

// ---------------------------------------------------------------------------

TEST(DsdiffHeader, TemplateByteForByte) {
  const Bytes expected = expectedHeader(2822400, 0, false);
  ASSERT_EQ(130u, expected.size());
  EXPECT_EQ(expected, filled(2822400));

  // The fields the layout table gets wrong or that vary, at their offsets.
  const Bytes h = filled(2822400);
  EXPECT_EQ(Bytes({'F', 'S', ' ', ' '}), slice(h, 48, 4));
  EXPECT_EQ(Bytes({0, 0, 0, 0, 0, 0, 0, 4}), slice(h, 52, 8));  // "FS  " chunk size
  EXPECT_EQ(Bytes({0x00, 0x2B, 0x11, 0x00}), slice(h, 60, 4));  // 2822400 Hz
  EXPECT_EQ(Bytes(8, 0), slice(h, 4, 8));
  EXPECT_EQ(Bytes(8, 0), slice(h, 122, 8));
}

TEST(DsdiffHeader, RateFieldIsTheOnlyRateDependentPart) {
  const Bytes a = filled(44100u * 64);
  const Bytes b = filled(48000u * 256);
  EXPECT_EQ(Bytes({0x00, 0xBB, 0x80, 0x00}), slice(b, 60, 4));  // 12288000 Hz
  EXPECT_EQ(expectedHeader(12288000, 0, false), b);
  const Bytes c = filled(0xFEDCBA98u);
  EXPECT_EQ(Bytes({0xFE, 0xDC, 0xBA, 0x98}), slice(c, 60, 4));
  for (int i = 0; i < 130; ++i) {
    if (i >= 60 && i < 64) continue;
    ASSERT_EQ(a[i], b[i]) << i;
    ASSERT_EQ(a[i], c[i]) << i;
  }
}

TEST(DsdiffHeader, WrittenHeaderEqualsTemplateAndIsUnpatched) {
  testsupport::TempDir dir;
  const std::string path = dir.file("out.dff");
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  ASSERT_TRUE(pulsemill::writeDsdiffHeader(f, 48000u * 256).ok());
  EXPECT_EQ(130, std::ftell(f));
  std::fclose(f);
  // Never patched: both sizes stay 0.
  EXPECT_EQ(expectedHeader(12288000, 0, false), testsupport::readFileBytes(path));
}

TEST(DsdiffSizes, ZeroDataGivesFormSize118AndA130ByteFile) {
  testsupport::TempDir dir;
  const Bytes file = writePatched(dir.file("out.dff"), 2822400, {}, 0);
  ASSERT_EQ(130u, file.size());
  EXPECT_EQ(Bytes({0, 0, 0, 0, 0, 0, 0, 0x76}), slice(file, 4, 8));
  EXPECT_EQ(Bytes(8, 0), slice(file, 122, 8));
  EXPECT_EQ(expectedHeader(2822400, 0, true), file);
}

TEST(DsdiffSizes, PatchKeepsTheDataAndTheRest) {
  testsupport::TempDir dir;
  const Bytes payload = {0x96, 0x96, 0x69, 0x69, 0x69, 0x69, 0x96, 0x96, 0x00, 0xFF};
  const Bytes file = writePatched(dir.file("out.dff"), 2822400, payload, payload.size());
  ASSERT_EQ(140u, file.size());
  Bytes expected = expectedHeader(2822400, payload.size(), true);
  expected.insert(expected.end(), payload.begin(), payload.end());
  EXPECT_EQ(expected, file);
  EXPECT_EQ(Bytes({0, 0, 0, 0, 0, 0, 0, 0x80}), slice(file, 4, 8));  // 10 + 118
}

TEST(DsdiffSizes, FullSixtyFourBitCounts) {
  testsupport::TempDir dir;
  {
    // 0xFFFFFF9B + 118 = 0x1_0000_0011: the carry reaches the upper half.
    const Bytes file = writePatched(dir.file("a.dff"), 2822400, {}, 0xFFFFFF9Bull);
    EXPECT_EQ(Bytes({0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x11}), slice(file, 4, 8));
    EXPECT_EQ(Bytes({0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x9B}), slice(file, 122, 8));
    EXPECT_EQ(expectedHeader(2822400, 0xFFFFFF9Bull, true), file);
  }
  {
    const Bytes file = writePatched(dir.file("b.dff"), 5644800, {}, 0x123456789ull);
    EXPECT_EQ(Bytes({0x00, 0x00, 0x00, 0x01, 0x23, 0x45, 0x67, 0xFF}), slice(file, 4, 8));
    EXPECT_EQ(Bytes({0x00, 0x00, 0x00, 0x01, 0x23, 0x45, 0x67, 0x89}), slice(file, 122, 8));
    EXPECT_EQ(expectedHeader(5644800, 0x123456789ull, true), file);
  }
  {
    // Patching twice leaves only the last count.
    const std::string path = dir.file("c.dff");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_TRUE(pulsemill::writeDsdiffHeader(f, 2822400).ok());
    ASSERT_TRUE(pulsemill::patchDsdiffSizes(f, 0xFFFFFFFFFFFFull).ok());
    ASSERT_TRUE(pulsemill::patchDsdiffSizes(f, 2).ok());
    std::fclose(f);
    EXPECT_EQ(expectedHeader(2822400, 2, true), testsupport::readFileBytes(path));
  }
}

// A chunk: ID, size, body, and a zero pad byte after an odd-sized body.
Bytes chunk(const char* id, const Bytes& body) {
  Bytes c;
  append(c, id, 4);
  appendBigEndian(c, body.size(), 8);
  c.insert(c.end(), body.begin(), body.end());
  if (body.size() % 2 != 0) c.push_back(0);
  return c;
}

// The sink writes the header, the blocks as they come and, at the end, the
// sizes of what it was given; a second begin() on a fresh file starts over.
// Tagged, a DIIN chunk (here a title alone) precedes the sound chunk and an
// ID3 chunk follows it, both odd-sized and padded, and the form counts them.
TEST(DsdiffSink, WholeFileThroughTheSink) {
  testsupport::TempDir dir;
  const Bytes payload = {0x96, 0x96, 0x69, 0x69, 0x69, 0x69, 0x96, 0x96, 0x00, 0xFF};
  const Bytes info = chunk("DIIN", chunk("DITI", {0, 0, 0, 3, 'a', 'b', 'c'}));
  const Bytes id3 = chunk("ID3 ", {'I', 'D', '3'});
  for (bool tagged : {false, true}) {
    SCOPED_TRACE(tagged);
    pulsemill::OutputFile output(dir.file("out.dff"));
    pulsemill::DsdiffSink sink(output);
    if (tagged) sink.setTags({"abc", "", {'I', 'D', '3'}});
    for (int attempt = 0; attempt < 2; ++attempt) {
      ASSERT_TRUE(output.create().ok());
      ASSERT_TRUE(sink.begin(5644800, 0).ok());
      ASSERT_TRUE(sink.write(payload.data(), 4).ok());
      ASSERT_TRUE(sink.write(payload.data() + 4, 6).ok());
      ASSERT_TRUE(sink.finish().ok());
      ASSERT_TRUE(output.commit().ok());
    }
    Bytes expected = expectedHeader(5644800, payload.size(), true);
    if (tagged) {
      expected.insert(expected.begin() + 118, info.begin(), info.end());
      Bytes form;
      appendBigEndian(form, 118 + 32 + payload.size() + 16, 8);
      std::copy(form.begin(), form.end(), expected.begin() + 4);
    }
    expected.insert(expected.end(), payload.begin(), payload.end());
    if (tagged) expected.insert(expected.end(), id3.begin(), id3.end());
    EXPECT_EQ(expected, testsupport::readFileBytes(dir.file("out.dff")));
  }
}

// A patch that cannot seek, or a header that cannot be written, is a write
// failure with the stream position, never a success.
TEST(DsdiffSizes, UnseekableStreamIsAWriteFailure) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  std::FILE* f = fdopen(fds[1], "wb");
  ASSERT_NE(nullptr, f);
  const pulsemill::Status status = pulsemill::patchDsdiffSizes(f, 16);
  EXPECT_EQ(StatusCode::WriteFatal, status.code());
  EXPECT_EQ("-1", status.detail());  // no position on a pipe
  std::fclose(f);
  close(fds[0]);
}

TEST(DsdiffSizes, FullDeviceIsAWriteFailure) {
  // An unbuffered stream on a device that refuses every byte.
  std::FILE* f = std::fopen("/dev/full", "wb");
  if (!f) GTEST_SKIP() << "/dev/full is not available";
  std::setvbuf(f, nullptr, _IONBF, 0);
  const pulsemill::Status status = pulsemill::writeDsdiffHeader(f, 2822400);
  std::fclose(f);
  EXPECT_EQ(StatusCode::WriteFatal, status.code());
  pulsemill::CapturedReport report;
  status.report(report);
  EXPECT_EQ(" write error : " + status.detail() + "\n", report.both());
}

}  // namespace
