// FLAC input, with files made here by the flac encoder from generated WAVE
// files: the same output as the WAVE file at every depth and common rate,
// the report, the refusals, damaged, truncated and unknown-length streams,
// cuts inside frames and tags after the last one, a FIFO input with a clip
// retry, and the Vorbis comments in a DSF tag.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "timing_line.h"

namespace {

using testsupport::Bytes;
using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::fileExists;
using testsupport::readFileBytes;
using testsupport::runProgram;

// A generated WAVE file `name`.wav and its encoding `name`.flac (extra
// encoder options in `flacOptions`).
void makePair(const TempDir& dir, const std::string& name, int rate, int bits, int frames,
              const std::string& left = "sine:1000:-6+noise:-50",
              const std::string& flacOptions = "") {
  testsupport::makeWave(dir, name + ".wav", rate, bits, frames, left, "sine:440:-10");
  ASSERT_EQ(0, testsupport::runShell("cd '" + dir.path() + "' && flac -s -f " + flacOptions +
                                     " -o " + name + ".flac " + name + ".wav"));
}

RunResult convert(const TempDir& dir, const std::vector<std::string>& args,
                  const std::string& threads = "2") {
  return testsupport::convertIn(dir, args, threads);
}

// The console text from the parameter line on (the header reports differ).
std::string fromParameterLine(const RunResult& r) {
  const std::string out = testsupport::reduceTimingLines(r.out);
  const std::size_t at = out.find("\nDSD");
  return at == std::string::npos ? out : out.substr(at);
}

std::string report(const TempDir& dir, const std::string& flac, int rate, int bits,
                   const std::string& frames) {
  return "finename = '" + flac + "'\n[fLaC] (" +
         std::to_string(readFileBytes(dir.file(flac)).size()) +
         " bytes)\n  Number of channels = 2 (1 = mono, 2 = stereo)\n  Sampling rate = " +
         std::to_string(rate) + "Hz\n  Bits per sample = " + std::to_string(bits) +
         "\n  Total frames = " + frames + "\n";
}

// Each audio frame's position and size in bytes, by the flac tool's analysis.
std::vector<std::pair<std::size_t, std::size_t>> frameSpans(const TempDir& dir,
                                                            const std::string& flac) {
  const std::string analyse = "flac -s -a -o - " + flac +
      " | sed -n 's/^frame=.*offset=\\([0-9]*\\).bits=\\([0-9]*\\).*/\\1 \\2/p'";
  std::istringstream lines(runProgram("/bin/sh", {"-c", analyse}, dir.path()).out);
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  for (std::size_t offset, bits; lines >> offset >> bits;) spans.emplace_back(offset, bits / 8);
  return spans;
}

// An APEv2 tag: header, one item (Title=Hi), footer.
Bytes apeTag() {
  Bytes tag;
  for (const std::uint32_t flags : {0xA0000000u, 0x80000000u}) {  // bit 31: with a header
    if (flags == 0x80000000u)  // the item: value size, flags, key, value
      testsupport::putText(tag, std::string("\2\0\0\0\0\0\0\0Title\0Hi", 16));
    testsupport::putText(tag, "APETAGEX");
    for (const std::uint32_t field : {2000u, 16u + 32u, 1u, flags})  // version, size, items
      testsupport::putLe(tag, field, 4);
    testsupport::putLe(tag, 0, 8);
  }
  return tag;
}

TEST(FlacE2E, SameOutputAsTheWaveItWasMadeFrom) {
  const struct {
    int rate, bits;
    const char* rateOption;
  } cases[] = {{44100, 16, "/DSD64"}, {48000, 24, "/DSD128"}, {88200, 16, "/DSD64"},
               {96000, 24, "/DSD256"}};
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.bits) + " bits");
    makePair(dir, "in", c.rate, c.bits, 5000);
    RunResult wave = convert(dir, {"in.wav", "wave.dff", c.rateOption, "/t:4096", "/s:512"});
    ASSERT_EQ(0, wave.exitStatus) << wave.err;
    for (const char* threads : {"1", "2"}) {
      RunResult flac = convert(dir, {"in.flac", "flac.dff", c.rateOption, "/t:4096", "/s:512"},
                               threads);
      ASSERT_EQ(0, flac.exitStatus) << flac.err;
      EXPECT_EQ(0u, flac.out.find(report(dir, "in.flac", c.rate, c.bits, "5000"))) << flac.out;
      EXPECT_EQ(fromParameterLine(wave), fromParameterLine(flac));
      EXPECT_EQ(readFileBytes(dir.file("wave.dff")), readFileBytes(dir.file("flac.dff")));
    }
  }
  // DSF: the same file but for the tag (the WAVE has none, the FLAC the
  // encoder's vendor string only, so both carry TSSE alone).
  ASSERT_EQ(0, convert(dir, {"in.wav", "wave.dsf", "/t:4096"}).exitStatus);
  ASSERT_EQ(0, convert(dir, {"in.flac", "flac.dsf", "/t:4096"}).exitStatus);
  EXPECT_EQ(readFileBytes(dir.file("wave.dsf")), readFileBytes(dir.file("flac.dsf")));
}

TEST(FlacE2E, RefusalsAndDamageLeaveNoOutput) {
  TempDir dir;
  ASSERT_EQ(0, testsupport::runShell("cd '" + dir.path() +
                                     "' && sox -n -b 16 -c 1 -r 44100 mono.wav synth 0.1 sine 440"
                                     " && flac -s mono.wav"));
  // (Other depths than 16 and 24 bits convert: see InputProbeE2E.)
  const struct {
    const char* file;
    const char* lastLine;
  } refused[] = {{"mono.flac", "FLAC with 1 channels is not supported: 2 are needed\n"}};
  for (const auto& r : refused) {
    RunResult run = convert(dir, {r.file, "out.dff"});
    EXPECT_EQ(1, run.exitStatus) << r.file;
    EXPECT_EQ(r.lastLine, run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1));
    EXPECT_FALSE(fileExists(dir.file("out.dff")));
  }

  makePair(dir, "good", 44100, 16, 44100);
  const Bytes good = readFileBytes(dir.file("good.flac"));
  Bytes flipped = good, badMd5 = good;
  flipped[good.size() / 2] ^= 0x10;
  badMd5[30] ^= 0x01;  // inside the STREAMINFO MD5 signature (bytes 26 .. 41)
  const struct {
    const char* name;
    Bytes bytes;
    const char* detail;
  } damaged[] = {{"flipped.flac", flipped, ""},
                 {"truncated.flac", Bytes(good.begin(), good.begin() + good.size() / 2), ""},
                 {"md5.flac", badMd5, "(MD5 signature mismatch)\n"}};
  for (const auto& d : damaged) {
    SCOPED_TRACE(d.name);
    testsupport::writeFileBytes(dir.file(d.name), d.bytes);
    RunResult run = convert(dir, {d.name, "out.dsf", "/DSD64", "/t:2048"});
    EXPECT_EQ(1, run.exitStatus);
    EXPECT_EQ(0u, run.err.find("FLAC File Read Error. (")) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(d.detail)) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(")\npulsemill: " + std::string(d.name) + ": ")) << run.err;
    EXPECT_EQ(std::string::npos, run.out.find("End Conversion.")) << run.out;
    EXPECT_FALSE(fileExists(dir.file("out.dsf")));
  }
}

// A stream without a total length is converted to its end; one through a
// FIFO converts like the file, and its clip retry fails as a read error.
TEST(FlacE2E, UnknownLengthAndFifoInput) {
  TempDir dir;
  makePair(dir, "tone", 44100, 24, 7000);
  Bytes unknown = readFileBytes(dir.file("tone.flac"));
  unknown[21] &= 0xF0;  // the 36-bit total sample count: bytes 21 (low half) .. 25
  for (int i = 22; i < 26; ++i) unknown[i] = 0;
  testsupport::writeFileBytes(dir.file("unknown.flac"), unknown);
  RunResult wave = convert(dir, {"tone.wav", "wave.dff", "/DSD64", "/t:2048"});
  RunResult flac = convert(dir, {"unknown.flac", "flac.dff", "/DSD64", "/t:2048"});
  ASSERT_EQ(0, flac.exitStatus) << flac.err;
  EXPECT_EQ(0u, flac.out.find(report(dir, "unknown.flac", 44100, 24, "unknown")));
  EXPECT_EQ(fromParameterLine(wave), fromParameterLine(flac));
  EXPECT_EQ(readFileBytes(dir.file("wave.dff")), readFileBytes(dir.file("flac.dff")));

  ASSERT_EQ(0, testsupport::runShell("mkfifo '" + dir.file("fifo") + "'"));
  const std::string feed = "cat tone.flac > fifo & exec " + std::string(PULSEMILL_BINARY) +
                           " fifo piped.dff /DSD64 /t:2048";
  RunResult piped = runProgram("/bin/sh", {"-c", feed}, dir.path());
  ASSERT_EQ(0, piped.exitStatus) << piped.err;
  EXPECT_NE(std::string::npos, piped.out.find("[fLaC]\n  Number of channels = 2")) << piped.out;
  EXPECT_EQ(readFileBytes(dir.file("wave.dff")), readFileBytes(dir.file("piped.dff")));

  makePair(dir, "clip", 44100, 16, 8820, "const:32767");
  const std::string clipFeed = "cat clip.flac > fifo & exec " + std::string(PULSEMILL_BINARY) +
                               " fifo out.dff /DSD64 /t:2048 /r";
  RunResult retried = runProgram("/bin/sh", {"-c", clipFeed}, dir.path());
  EXPECT_EQ(1, retried.exitStatus);
  EXPECT_EQ("DSD Clip Error. Set normalize offset, please. \n"
            "FLAC File Read Error. (the input cannot go back to its start)\n"
            "pulsemill: fifo: Illegal seek\n",
            retried.err);
  EXPECT_FALSE(fileExists(dir.file("out.dff")));
}

// A stream with neither a total nor an MD5 signature, as ffmpeg writes it
// to a pipe: cut anywhere inside a frame it fails; with an ID3v1 or APEv2
// tag after its last frame (or both) it converts as without.
TEST(FlacE2E, CutInsideAFrameFailsWhereTrailingTagsConvert) {
  TempDir dir;
  testsupport::makeWave(dir, "in.wav", 44100, 16, 20000, "sine:1000:-6+noise:-50", "sine:440:-10");
  ASSERT_EQ(0, testsupport::runShell("cd '" + dir.path() + "' && ffmpeg -loglevel error "
                                     "-i in.wav -f flac pipe:1 > piped.flac"));
  const Bytes piped = readFileBytes(dir.file("piped.flac"));
  ASSERT_EQ(0, convert(dir, {"piped.flac", "whole.dff", "/DSD64", "/t:2048"}).exitStatus);
  const auto spans = frameSpans(dir, "piped.flac");
  ASSERT_GE(spans.size(), 4u);
  for (const auto& [offset, size] : spans) {
    for (const std::size_t cut : {offset + 1, offset + size / 2, offset + size - 1}) {
      SCOPED_TRACE("cut at " + std::to_string(cut));
      testsupport::writeFileBytes(dir.file("cut.flac"), Bytes(piped.begin(), piped.begin() + cut));
      std::remove(dir.file("cut.dff").c_str());
      RunResult run = convert(dir, {"cut.flac", "cut.dff", "/DSD64", "/t:2048"});
      EXPECT_EQ(1, run.exitStatus);
      EXPECT_EQ(0u, run.err.find("FLAC File Read Error. (")) << run.err;
      EXPECT_NE(std::string::npos, run.err.find("pulsemill: cut.flac: ")) << run.err;
      EXPECT_FALSE(fileExists(dir.file("cut.dff")));
    }
  }

  Bytes id3v1 = {'T', 'A', 'G'};
  id3v1.resize(128, 0);
  Bytes both = apeTag();
  both.insert(both.end(), id3v1.begin(), id3v1.end());
  for (const Bytes& trailer : {id3v1, apeTag(), both}) {
    SCOPED_TRACE(std::to_string(trailer.size()) + " bytes of tags");
    Bytes tagged = piped;
    tagged.insert(tagged.end(), trailer.begin(), trailer.end());
    testsupport::writeFileBytes(dir.file("tagged.flac"), tagged);
    RunResult run = convert(dir, {"tagged.flac", "tagged.dff", "/DSD64", "/t:2048"});
    ASSERT_EQ(0, run.exitStatus) << run.err;
    EXPECT_EQ(readFileBytes(dir.file("whole.dff")), readFileBytes(dir.file("tagged.dff")));
  }
}

// A FLAC file behind an ID3v2 tag (with and without the tag's footer),
// clipping at first: every retry starts the stream afresh (MD5 check
// included) and ends as the WAVE twin does.
TEST(FlacE2E, Id3PrefixedFileRetriesLikeItsWave) {
  TempDir dir;
  makePair(dir, "hot", 44100, 16, 13230, "sine:1000:0");
  RunResult wave = convert(dir, {"hot.wav", "wave.dff", "/DSD64", "/t:2048", "/n:1", "/r"});
  const Bytes flac = readFileBytes(dir.file("hot.flac"));
  for (const std::uint8_t flags : {0x00, 0x10}) {  // 0x10: a footer follows the tag
    SCOPED_TRACE("ID3v2 flags " + std::to_string(flags));
    Bytes tagged = {'I', 'D', '3', 4, 0, flags, 0, 0, 0, 20};  // 20 bytes of padding follow
    tagged.resize(30, 0);
    if (flags & 0x10) tagged.insert(tagged.end(), {'3', 'D', 'I', 4, 0, flags, 0, 0, 0, 20});
    tagged.insert(tagged.end(), flac.begin(), flac.end());
    testsupport::writeFileBytes(dir.file("tagged.flac"), tagged);
    RunResult run = convert(dir, {"tagged.flac", "flac.dff", "/DSD64", "/t:2048", "/n:1", "/r"});
    ASSERT_EQ(0, run.exitStatus) << run.err;
    EXPECT_EQ(wave.err, run.err);
    EXPECT_NE(std::string::npos, run.out.find("Retry again")) << run.out;
    EXPECT_EQ(fromParameterLine(wave), fromParameterLine(run));
    EXPECT_EQ(readFileBytes(dir.file("wave.dff")), readFileBytes(dir.file("flac.dff")));
  }
}

TEST(FlacTags, VorbisCommentsAndPictureReachTheDsfTag) {
  TempDir dir;
  testsupport::writeFileBytes(dir.file("cover.png"), Bytes(300, 0x5A));
  makePair(dir, "tagged", 48000, 16, 4800, "sine:1000:-6",
           "--tag=TITLE=Title --tag=ARTIST=Artist --tag=ALBUM=Album --tag=ALBUMARTIST=Band "
           "--tag=DATE=2023 --tag=TRACKNUMBER=4 --tag=DISCNUMBER=2 --tag=GENRE=Folk "
           "--tag=COMMENT=Note --picture='3|image/png|Front|10x30x24|cover.png'");
  RunResult run = convert(dir, {"tagged.flac", "/dsf", "/DSD64", "/t:2048", "/n:-1"});
  ASSERT_EQ(0, run.exitStatus) << run.err;
  EXPECT_EQ("TIT2 Title\nTPE1 Artist\nTALB Album\nTPE2 Band\nTDRC 2023\nTRCK 4\nTPOS 2\n"
            "TCON Folk\nTSSE Pulsemill 1.5 DSD64 2048 taps k10 p2 n-1\nCOMM Note\n"
            "APIC image/png 3 Front " + testsupport::sha256OfFile(dir.file("cover.png")) + "\n",
            testsupport::id3TagsByMutagen(dir.file("tagged.dsf")));
}

// A name given twice keeps both values, in order, in one ID3 text frame (a
// comment keeps its first), also where an ID3v2 tag comes before "fLaC".
TEST(FlacTags, SeveralValuesOfOneNameReachTheDsfTag) {
  TempDir dir;
  makePair(dir, "multi", 44100, 16, 4410, "sine:1000:-6",
           "-T ARTIST=A -T TITLE=Song -T ARTIST=B -T COMMENT=One -T COMMENT=Two");
  Bytes prefixed = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 20};  // 20 bytes of padding follow
  prefixed.resize(30, 0);
  const Bytes flac = readFileBytes(dir.file("multi.flac"));
  prefixed.insert(prefixed.end(), flac.begin(), flac.end());
  testsupport::writeFileBytes(dir.file("prefixed.flac"), prefixed);
  for (const char* input : {"multi.flac", "prefixed.flac"}) {
    SCOPED_TRACE(input);
    RunResult run = convert(dir, {input, "out.dsf", "/DSD64", "/t:2048"});
    ASSERT_EQ(0, run.exitStatus) << run.err;
    EXPECT_EQ("TIT2 Song\nTPE1 A / B\nTSSE Pulsemill 1.5 DSD64 2048 taps k10 p2 n0\nCOMM One\n",
              testsupport::id3TagsByMutagen(dir.file("out.dsf")));
  }
}

}  // namespace
