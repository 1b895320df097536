// WAVE header reader: accepted and rejected headers with their exact report,
// the chunk loop (dumps, pad bytes, missing data chunk, truncation), the
// fatal short reads, and files written by sox and ffmpeg.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"
#include "wave/wave_reader.h"

using pulsemill::StatusCode;
using pulsemill::WaveInfo;
using testsupport::TempDir;

namespace {

// Little-endian byte builder for hand-made files.
struct Bytes {
  std::vector<std::uint8_t> v;
  Bytes& text(const std::string& s) {
    v.insert(v.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& le16(unsigned x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
    return *this;
  }
  Bytes& le32(std::uint32_t x) {
    le16(x & 0xFFFF);
    return le16(x >> 16);
  }
  Bytes& raw(const std::vector<std::uint8_t>& b) {
    v.insert(v.end(), b.begin(), b.end());
    return *this;
  }
  Bytes& chunk(const std::string& id, const std::vector<std::uint8_t>& body) {
    text(id).le32(static_cast<std::uint32_t>(body.size()));
    return raw(body);
  }
};

// A format chunk's fields; the RIFF size is a fixed 1000 here.
struct Format : testsupport::WaveFormat {
  Format() { riffSize = 1000; }
};

// RIFF header and format chunk (36 bytes for a 16-byte format chunk).
Bytes header(const Format& f = Format()) {
  Bytes b;
  b.raw(testsupport::waveHeader(f));
  return b;
}

// The report lines of header(f), up to the bytes-per-sample line.
std::string formatReport(const Format& f = Format()) {
  return "[RIFF] (" + std::to_string(f.riffSize) + " bytes)\n" + "[WAVEfmt ] (" +
         std::to_string(f.fmtSize) + " bytes)\n" + "  Data type = " + std::to_string(f.tag) +
         " (1 = PCM)\n" + "  Number of channels = " + std::to_string(f.channels) +
         " (1 = mono, 2 = stereo)\n" + "  Sampling rate = " + std::to_string(f.rate) + "Hz\n" +
         "  Bytes per sample = " + std::to_string(f.blockAlign) + "\n";
}

struct ReadOutcome {
  StatusCode code = StatusCode::Ok;
  long position = -1;   // stream position afterwards
  WaveInfo info;
  std::string out, err;
};

ReadOutcome readFrom(std::FILE* file) {
  ReadOutcome r;
  pulsemill::CapturedReport report;
  const pulsemill::Status status = pulsemill::readWaveHeader(file, r.info, report);
  r.position = std::ftell(file);
  std::fclose(file);
  status.report(report);  // as the run reports it: after the report lines
  r.code = status.code();
  r.err = report.standardError();
  r.out = report.standardOutput();
  return r;
}

ReadOutcome readBytes(const std::vector<std::uint8_t>& bytes) {
  std::FILE* file = std::tmpfile();
  EXPECT_NE(nullptr, file);
  if (!bytes.empty()) {
    EXPECT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), file));
  }
  std::rewind(file);
  return readFrom(file);
}

void expectAccepted(const ReadOutcome& r, std::uint64_t dataSize, std::uint32_t rate,
                    std::uint32_t blockAlign, std::int64_t dataOffset) {
  EXPECT_EQ(StatusCode::Ok, r.code);
  EXPECT_EQ(dataSize, r.info.dataSize);
  EXPECT_EQ(rate, r.info.sampleRate);
  EXPECT_EQ(blockAlign, r.info.blockAlign);
  EXPECT_EQ(dataOffset, r.info.dataOffset);
  EXPECT_EQ(dataOffset, r.position);
  EXPECT_EQ("", r.err);
}

void expectRejected(const ReadOutcome& r, const std::string& out) {
  EXPECT_NE(StatusCode::Ok, r.code);
  EXPECT_NE(StatusCode::ReadFatal, r.code);
  EXPECT_EQ(out, r.out);
  EXPECT_EQ("", r.err);
}

void expectFatal(const ReadOutcome& r, const std::string& out, long position) {
  EXPECT_EQ(StatusCode::ReadFatal, r.code);
  EXPECT_EQ(out, r.out);
  EXPECT_EQ(" read error : " + std::to_string(position) + "\n", r.err);
}

const std::vector<std::uint8_t> kFrames = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

}  // namespace

TEST(WaveReader, AcceptsPlainStereoHeaders) {
  const struct {
    unsigned tag, blockAlign, bits;
    std::uint32_t rate;
  } cases[] = {
      {1, 4, 16, 44100}, {1, 6, 24, 96000}, {3, 4, 32, 48000},  // tag and bits are not checked
      {0, 6, 16, 1},     {65534, 4, 0, 8388607},
  };
  for (const auto& c : cases) {
    Format f;
    f.tag = c.tag;
    f.blockAlign = c.blockAlign;
    f.bits = c.bits;
    f.rate = c.rate;
    SCOPED_TRACE(formatReport(f));
    ReadOutcome r = readBytes(header(f).chunk("data", kFrames).v);
    expectAccepted(r, kFrames.size(), c.rate, c.blockAlign, 44);
    EXPECT_EQ(formatReport(f) + "[data] (12 bytes)\n", r.out);
  }
}

TEST(WaveReader, SkipsChunksBeforeDataWithHexDump) {
  const struct {
    const char* name;
    std::vector<std::uint8_t> chunks;  // everything after the format chunk, before "data"
    std::string report;                // their report lines
  } cases[] = {
      {"LIST of 4 bytes", Bytes().chunk("LIST", {0x01, 0xab, 0x00, 0xff}).v,
       "[LIST] (4 bytes)\n01 ab 00 ff \n"},
      {"empty chunk", Bytes().chunk("fact", {}).v, "[fact] (0 bytes)\n\n"},
      {"two chunks", Bytes().chunk("JUNK", {0x10, 0x20}).chunk("bext", {0xfe, 0xdc, 0xba, 0x98}).v,
       "[JUNK] (2 bytes)\n10 20 \n[bext] (4 bytes)\nfe dc ba 98 \n"},
      // Odd size: a pad byte follows, read but not dumped.
      {"odd size", Bytes().chunk("odd ", {0x0a, 0x0b, 0x0c}).raw({0xee}).v,
       "[odd ] (3 bytes)\n0a 0b 0c \n"},
      // IDs are printed up to a NUL byte.
      {"NUL in ID", Bytes().text(std::string("ab\0c", 4)).le32(1).raw({0x7f, 0x00}).v,
       "[ab] (1 bytes)\n7f \n"},
      {"NUL first", Bytes().text(std::string("\0xyz", 4)).le32(2).raw({0x00, 0x01}).v,
       "[] (2 bytes)\n00 01 \n"},
      // Upper-case DATA is just another chunk.
      {"DATA", Bytes().chunk("DATA", {0x05, 0x06}).v, "[DATA] (2 bytes)\n05 06 \n"},
      // Negative as signed: no dump, no pad, next header right after the size.
      {"size 0xFFFFFFFF", Bytes().text("neg ").le32(0xFFFFFFFFu).v,
       "[neg ] (4294967295 bytes)\n\n"},
      {"size 0x80000001", Bytes().text("neg ").le32(0x80000001u).v,
       "[neg ] (2147483649 bytes)\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReadOutcome r = readBytes(header().raw(c.chunks).chunk("data", kFrames).v);
    const std::int64_t offset = 36 + static_cast<std::int64_t>(c.chunks.size()) + 8;
    expectAccepted(r, kFrames.size(), 44100, 4, offset);
    EXPECT_EQ(formatReport() + c.report + "[data] (12 bytes)\n", r.out);
  }
}

TEST(WaveReader, MissingDataChunkIsRejected) {
  const struct {
    const char* name;
    std::vector<std::uint8_t> tail;  // after the format chunk
    std::string report;
  } cases[] = {
      {"ends after format chunk", {}, ""},
      {"partial chunk ID", {'d', 'a'}, ""},
      {"only other chunks", Bytes().chunk("LIST", {0x61, 0x62}).v, "[LIST] (2 bytes)\n61 62 \n"},
      {"data size as upper-case DATA", Bytes().chunk("DATA", kFrames).v,
       "[DATA] (12 bytes)\n01 02 03 04 05 06 07 08 09 0a 0b 0c \n"},
      // A body running past the end: only the bytes that exist are dumped.
      {"truncated body", Bytes().text("LIST").le32(100).raw({0x01, 0x02, 0x03}).v,
       "[LIST] (100 bytes)\n01 02 03 \n"},
      {"huge truncated body", Bytes().text("LIST").le32(0x7FFFFFFF).raw({0xaa}).v,
       "[LIST] (2147483647 bytes)\naa \n"},
      {"truncated, no byte", Bytes().text("LIST").le32(8).v, "[LIST] (8 bytes)\n\n"},
      {"odd chunk, pad byte missing", Bytes().chunk("odd ", {0x01}).v, "[odd ] (1 bytes)\n01 \n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReadOutcome r = readBytes(header().raw(c.tail).v);
    expectRejected(r, formatReport() + c.report + "No data chunk\n");
  }
}

TEST(WaveReader, RejectsUnsupportedHeaders) {
  Format mono;
  mono.channels = 1;
  Format six;
  six.channels = 6;
  Format fmt18;
  fmt18.fmtSize = 18;
  Format fmt40;
  fmt40.fmtSize = 40;
  const std::string fmtLines18 = "[RIFF] (1000 bytes)\n[WAVEfmt ] (18 bytes)\n";
  const std::string fmtLines40 = "[RIFF] (1000 bytes)\n[WAVEfmt ] (40 bytes)\n";
  const struct {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string out;
  } cases[] = {
      {"empty", {}, "Read error\n"},
      {"1 byte", {'R'}, "Read error\n"},
      {"3 bytes", {'R', 'I', 'F'}, "Read error\n"},
      {"RIFX", Bytes().text("RIFX").le32(4).text("WAVEfmt ").v, "Not a RIFF format\n"},
      {"riff", Bytes().text("riff").le32(4).text("WAVEfmt ").v, "Not a RIFF format\n"},
      {"nothing after RIFF size", Bytes().text("RIFF").le32(7).v, "[RIFF] (7 bytes)\nRead error\n"},
      {"7 bytes after RIFF size", Bytes().text("RIFF").le32(7).text("WAVEfmt").v,
       "[RIFF] (7 bytes)\nRead error\n"},
      {"JUNK before fmt", Bytes().text("RIFF").le32(50).text("WAVEJUNK").le32(4).v,
       "[RIFF] (50 bytes)\nNot a WAVEfmt format\n"},
      {"fmt without blank", Bytes().text("RIFF").le32(50).text(std::string("WAVEfmt\0", 8)).v,
       "[RIFF] (50 bytes)\nNot a WAVEfmt format\n"},
      {"mono", header(mono).chunk("data", kFrames).v,
       formatReport(mono).substr(0, formatReport(mono).find("  Sampling")) +
           "Not Suppoer channels\n"},
      {"six channels", header(six).chunk("data", kFrames).v,
       formatReport(six).substr(0, formatReport(six).find("  Sampling")) +
           "Not Suppoer channels\n"},
      {"18-byte format chunk", header(fmt18).le16(0).chunk("data", kFrames).v,
       fmtLines18 + "Length of WAVEfmt must be 16\n"},
      {"40-byte format chunk", header(fmt40).raw(std::vector<std::uint8_t>(24, 0)).v,
       fmtLines40 + "Length of WAVEfmt must be 16\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expectRejected(readBytes(c.bytes), c.out);
  }
}

TEST(WaveReader, BlockAlignMustBeFourOrSix) {
  for (unsigned blockAlign : {0u, 1u, 2u, 3u, 5u, 7u, 8u, 12u, 65535u}) {
    Format f;
    f.blockAlign = blockAlign;
    SCOPED_TRACE(blockAlign);
    expectRejected(readBytes(header(f).chunk("data", kFrames).v),
                   formatReport(f) + "Bytes per sample must be 4 or 6\n");
  }
}

TEST(WaveReader, SampleRateMustBeOneTo8388607) {
  for (std::uint32_t rate : {0u, 8388608u, 8388609u, 4294967295u}) {
    Format f;
    f.rate = rate;
    f.blockAlign = 7;  // the rate is refused before the block align is looked at
    SCOPED_TRACE(rate);
    const std::string report = formatReport(f);
    expectRejected(readBytes(header(f).chunk("data", kFrames).v),
                   report.substr(0, report.find("  Bytes")) + "Sampling rate out of range\n");
  }
  for (std::uint32_t rate : {1u, 8388607u}) {
    Format f;
    f.rate = rate;
    SCOPED_TRACE(rate);
    expectAccepted(readBytes(header(f).chunk("data", kFrames).v), 12, rate, 4, 44);
  }
}

TEST(WaveReader, FileEndingInsideAFieldIsFatal) {
  const std::vector<std::uint8_t> full = header().chunk("data", kFrames).v;
  const std::string report = formatReport() + "[data] (12 bytes)\n";
  // Printed before the read that fails, by the length of the cut file.
  auto printedBefore = [&](std::size_t length) -> std::string {
    const struct {
      std::size_t after;  // the line is printed once this many bytes were read
      const char* prefix;
    } lines[] = {{8, "[RIFF]"},       {20, "[WAVEfmt "},      {22, "  Data type"},
                 {24, "  Number of"}, {28, "  Sampling rate"}, {34, "  Bytes per sample"}};
    std::size_t end = 0;
    for (const auto& l : lines)
      if (length >= l.after) end = report.find('\n', report.find(l.prefix)) + 1;
    return report.substr(0, end);
  };
  std::vector<std::size_t> cuts = {4, 5, 6, 7};  // inside the RIFF size
  for (std::size_t n = 16; n < 36; ++n) cuts.push_back(n);  // inside the format chunk
  for (std::size_t length : cuts) {
    SCOPED_TRACE("cut at " + std::to_string(length));
    std::vector<std::uint8_t> cut(full.begin(), full.begin() + length);
    expectFatal(readBytes(cut), printedBefore(length), static_cast<long>(length));
  }
  // Inside a chunk's size field, after a complete ID.
  for (std::size_t length : {40u, 41u, 43u}) {
    SCOPED_TRACE("cut at " + std::to_string(length));
    std::vector<std::uint8_t> cut(full.begin(), full.begin() + length);
    expectFatal(readBytes(cut), formatReport(), static_cast<long>(length));
  }
}

TEST(WaveReader, FatalReportersGiveThePosition) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(nullptr, file);
  std::fputs("0123456789", file);
  std::fseek(file, 7, SEEK_SET);
  const pulsemill::Status write = pulsemill::writeFailure(file);
  std::fseek(file, 3, SEEK_SET);
  const pulsemill::Status read = pulsemill::readFailure(file);
  std::fclose(file);
  pulsemill::CapturedReport report;
  write.report(report);
  read.report(report);
  EXPECT_EQ(" write error : 7\n read error : 3\n", report.both());
  EXPECT_EQ(1, write.exitStatus());
  EXPECT_EQ(1, read.exitStatus());
}

namespace {

// Runs `command` with OUT replaced by the path of `name` in `dir`. The tool
// must be installed: a missing tool fails the test.
std::string makeWithTool(const TempDir& dir, const std::string& tool, const std::string& name,
                         std::string command) {
  EXPECT_EQ(0, testsupport::runShell("command -v " + tool + " >/dev/null"))
      << tool << " is not installed";
  const std::string path = dir.file(name);
  command.replace(command.find("OUT"), 3, "'" + path + "'");
  EXPECT_EQ(0, testsupport::runShell(command + " >/dev/null 2>&1")) << command;
  return path;
}

ReadOutcome readFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    ADD_FAILURE() << "cannot open " << path;
    return ReadOutcome();
  }
  return readFrom(file);
}

const char kFfmpegSine[] =
    "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=f=1000:d=1 -ac 2 ";

}  // namespace

TEST(WaveReaderTools, ReadsFilesWrittenBySoxAndFfmpeg) {
  TempDir dir;
  const struct {
    const char* tool;
    const char* name;
    std::string command;
    std::uint32_t blockAlign;
    bool hasList;
  } cases[] = {
      {"sox", "sox16.wav", "sox -n -t wavpcm -b 16 -r 44100 -c 2 OUT synth 1 sine 1000", 4, false},
      {"sox", "sox24.wav", "sox -n -t wavpcm -b 24 -r 44100 -c 2 OUT synth 1 sine 1000", 6, false},
      {"ffmpeg", "ffmpeg16.wav", std::string(kFfmpegSine) + "-c:a pcm_s16le OUT", 4, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = makeWithTool(dir, c.tool, c.name, c.command);
    const std::uint64_t fileSize = testsupport::readFileBytes(path).size();
    ReadOutcome r = readFile(path);
    const std::uint64_t dataSize = 44100u * c.blockAlign;  // one second
    // The data chunk is the file's last chunk.
    expectAccepted(r, dataSize, 44100, c.blockAlign,
                   static_cast<std::int64_t>(fileSize - dataSize));
    EXPECT_EQ(0u, r.out.find("[RIFF] (" + std::to_string(fileSize - 8) + " bytes)\n"
                             "[WAVEfmt ] (16 bytes)\n"
                             "  Data type = 1 (1 = PCM)\n"
                             "  Number of channels = 2 (1 = mono, 2 = stereo)\n"
                             "  Sampling rate = 44100Hz\n"
                             "  Bytes per sample = " + std::to_string(c.blockAlign) + "\n"))
        << r.out;
    EXPECT_EQ(c.hasList, r.out.find("[LIST] (") != std::string::npos) << r.out;
    const std::string dataLine = "[data] (" + std::to_string(dataSize) + " bytes)\n";
    EXPECT_EQ(r.out.size() - dataLine.size(), r.out.rfind(dataLine)) << r.out;
  }
}

TEST(WaveReaderTools, RefusesFfmpegExtensibleTwentyFourBit) {
  TempDir dir;
  const std::string path = makeWithTool(dir, "ffmpeg", "ffmpeg24.wav",
                                        std::string(kFfmpegSine) + "-c:a pcm_s24le OUT");
  const std::uint64_t fileSize = testsupport::readFileBytes(path).size();
  expectRejected(readFile(path), "[RIFF] (" + std::to_string(fileSize - 8) + " bytes)\n" +
                                     "[WAVEfmt ] (40 bytes)\n" + "Length of WAVEfmt must be 16\n");
}
