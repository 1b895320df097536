// DSF output: the header's fields and 64-bit sizes, the same bit stream as
// the DSDIFF output of the same run (un-blocked and bit-reversed), clip
// retries and failures, and the input's tags read back by independent
// readers (mutagen for the tag, ffmpeg for the audio).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dsf/dsf_writer.h"
#include "test_support.h"
#include "timing_line.h"

namespace {

using testsupport::Bytes;
using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::fileExists;
using testsupport::readFileBytes;
using testsupport::runProgram;

std::uint64_t le(const Bytes& b, std::size_t at, int count) {
  std::uint64_t v = 0;
  for (int i = count - 1; i >= 0; --i) v = (v << 8) | b.at(at + i);
  return v;
}

// The header as the format lays it out, field by field.
Bytes expectedDsfHeader(std::uint32_t rate, std::uint64_t perChannel, std::uint64_t tag) {
  const std::uint64_t blocks = (perChannel + 4095) / 4096;
  const std::uint64_t data = blocks * 4096 * 2;
  Bytes h;
  testsupport::putText(h, "DSD ");
  testsupport::putLe(h, 28, 8);
  testsupport::putLe(h, 92 + data + tag, 8);
  testsupport::putLe(h, tag > 0 ? 92 + data : 0, 8);
  testsupport::putText(h, "fmt ");
  for (std::uint64_t v : {52ull}) testsupport::putLe(h, v, 8);
  for (std::uint64_t v : {1ull, 0ull, 2ull, 2ull, static_cast<unsigned long long>(rate), 1ull})
    testsupport::putLe(h, v, 4);
  testsupport::putLe(h, perChannel * 8, 8);
  testsupport::putLe(h, 4096, 4);
  testsupport::putLe(h, 0, 4);
  testsupport::putText(h, "data");
  testsupport::putLe(h, 12 + data, 8);
  return h;
}

TEST(DsfHeader, FieldsAndSixtyFourBitSizes) {
  const struct {
    std::uint32_t rate;
    std::uint64_t perChannel, tag;
  } cases[] = {{2822400, 0, 0}, {5644800, 4096, 1034}, {11289600, 4097, 20000},
               // 2^31 + 1 bytes per channel: more than 4 GiB of data and 2^34 samples
               {2822400, (1ull << 31) + 1, 1034}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.perChannel);
    Bytes header(pulsemill::kDsfHeaderSize, 0xEE);
    pulsemill::fillDsfHeader(header.data(), {c.rate, c.perChannel, c.tag});
    EXPECT_EQ(expectedDsfHeader(c.rate, c.perChannel, c.tag), header);
  }
}

// The DSF's sound data un-blocked and bit-reversed into the DSDIFF order
// (left byte, right byte, earliest sample in the most significant bit),
// after checking the header against the file and the padding.
Bytes dsdiffOrderOf(const Bytes& dsf, std::uint32_t rate) {
  const std::uint64_t perChannel = le(dsf, 64, 8) / 8;
  const std::uint64_t tagOffset = le(dsf, 20, 8);
  EXPECT_EQ(expectedDsfHeader(rate, perChannel, dsf.size() - tagOffset),
            Bytes(dsf.begin(), dsf.begin() + 92));
  EXPECT_EQ(Bytes({'I', 'D', '3', 4}), Bytes(dsf.begin() + tagOffset, dsf.begin() + tagOffset + 4));
  for (std::uint64_t i = perChannel; i % 4096 != 0; ++i) {
    const std::size_t block = 92 + (i / 4096) * 8192, at = i % 4096;
    EXPECT_EQ(0x96, dsf.at(block + at));
    EXPECT_EQ(0x96, dsf.at(block + 4096 + at));
  }
  return testsupport::dsfSoundData(dsf);
}

RunResult convert(const TempDir& dir, const std::vector<std::string>& args) {
  return testsupport::convertIn(dir, args);
}

void generate(const TempDir& dir, const std::string& name, int frames, const char* left,
              const char* right = "sine:440:-12+noise:-40") {
  testsupport::makeWave(dir, name, 44100, 16, frames, left, right);
}

// Every rate, last blocks that do and do not fill 4096 bytes per channel
// (8, 16 or 32 bytes per frame), one and many pipeline blocks.
TEST(DsfE2E, SameBitStreamAndConsoleAsDsdiff) {
  const struct {
    const char* rate;
    std::uint32_t hz;
    int frames;
  } cases[] = {{"/DSD64", 2822400, 512},   {"/DSD64", 2822400, 13001},
               {"/DSD128", 5644800, 256},  {"/DSD128", 5644800, 1000},
               {"/DSD256", 11289600, 128}, {"/DSD256", 11289600, 3000}};
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.rate) + " " + std::to_string(c.frames));
    generate(dir, "in.wav", c.frames, "sine:1000:-6");
    RunResult dff = convert(dir, {"in.wav", c.rate, "/t:2048"});
    RunResult dsf = convert(dir, {"in.wav", "/dsf", c.rate, "/t:2048"});
    ASSERT_EQ(0, dff.exitStatus) << dff.err;
    ASSERT_EQ(0, dsf.exitStatus) << dsf.err;
    EXPECT_EQ(testsupport::reduceTimingLines(dff.out), testsupport::reduceTimingLines(dsf.out));
    const Bytes dsdiff = readFileBytes(dir.file("in.dff"));
    EXPECT_EQ(Bytes(dsdiff.begin() + 130, dsdiff.end()),
              dsdiffOrderOf(readFileBytes(dir.file("in.dsf")), c.hz));
  }
}

// A clip retry starts the DSF afresh: the file equals a direct run at the
// offset that converted, tag included. A clip without retries, and a
// folder that cannot take the file, leave nothing.
TEST(DsfE2E, RetriesRewriteAndFailuresLeaveNothing) {
  TempDir dir;
  generate(dir, "in.wav", 13230, "sine:1000:0", "silence");
  RunResult retried = convert(dir, {"in.wav", "retried.DSF", "/DSD64", "/t:2048", "/n:1", "/r"});
  ASSERT_EQ(0, retried.exitStatus) << retried.err;
  RunResult direct = convert(dir, {"in.wav", "direct.dsf", "/DSD64", "/t:2048", "/n:-1"});
  ASSERT_EQ(0, direct.exitStatus) << direct.err;
  EXPECT_EQ(readFileBytes(dir.file("direct.dsf")), readFileBytes(dir.file("retried.DSF")));

  RunResult clipped = convert(dir, {"in.wav", "/DSD64", "/t:2048", "/dsf"});
  EXPECT_EQ(2, clipped.exitStatus);
  EXPECT_FALSE(fileExists(dir.file("in.dsf")));
  RunResult unwritable = convert(dir, {"in.wav", "no-such-folder/out.dsf", "/t:2048"});
  EXPECT_EQ(1, unwritable.exitStatus);
  EXPECT_EQ("Can not open no-such-folder/out.dsf\n",
            unwritable.out.substr(unwritable.out.rfind("Can not open")));
}

// Damaged tag chunks after the data are skipped without a word: the run
// reports and converts as its DSDIFF twin does, and the tag has TSSE alone.
TEST(DsfE2E, DamagedTagsAreSkipped) {
  TempDir dir;
  generate(dir, "in.wav", 4000, "sine:1000:-6");
  const Bytes clean = readFileBytes(dir.file("in.wav"));
  const Bytes damagedChunks[] = {
      // An ID3 header claiming far more than the chunk holds.
      {'i', 'd', '3', ' ', 14, 0, 0, 0, 'I', 'D', '3', 4, 0, 0, 0x7f, 0x7f, 0x7f, 0x7f, 'T', 'I'},
      // A LIST chunk whose size runs past the end of the file.
      {'L', 'I', 'S', 'T', 0xf0, 0xff, 0xff, 0xff, 'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M'},
  };
  for (const Bytes& chunk : damagedChunks) {
    Bytes file = clean;
    file.insert(file.end(), chunk.begin(), chunk.end());
    const std::uint64_t riffSize = file.size() - 8;
    for (int i = 0; i < 4; ++i) file[4 + i] = static_cast<std::uint8_t>(riffSize >> (8 * i));
    testsupport::writeFileBytes(dir.file("damaged.wav"), file);
    RunResult twin = convert(dir, {"damaged.wav", "/DSD64", "/t:2048"});
    RunResult run = convert(dir, {"damaged.wav", "/DSD64", "/t:2048", "/dsf"});
    ASSERT_EQ(0, run.exitStatus) << run.err;
    EXPECT_EQ("", run.err);
    EXPECT_EQ(testsupport::reduceTimingLines(twin.out), testsupport::reduceTimingLines(run.out));
    const Bytes dsdiff = readFileBytes(dir.file("damaged.dff"));
    const Bytes dsf = readFileBytes(dir.file("damaged.dsf"));
    EXPECT_EQ(Bytes(dsdiff.begin() + 130, dsdiff.end()), dsdiffOrderOf(dsf, 2822400));
    const std::string tag(dsf.begin() + le(dsf, 20, 8), dsf.end());
    EXPECT_NE(std::string::npos, tag.find("TSSE"));
    EXPECT_EQ(std::string::npos, tag.find("TIT2"));
  }
}

// Tags written by ffmpeg (LIST/INFO) and by mutagen (an "id3 " chunk, which
// wins where both name a field, and carries a picture) come back from the
// DSF through mutagen; ffmpeg decodes the DSF to as many samples as the DSF
// file's DSDIFF twin.
TEST(DsfTags, ReadBackByMutagenAndDecodedByFfmpeg) {
  TempDir dir;
  generate(dir, "plain.wav", 22050, "sine:1000:-6");
  ASSERT_EQ(0, testsupport::runShell(
                   "cd '" + dir.path() + "' && ffmpeg -nostdin -loglevel error -i plain.wav "
                   "-metadata title='Info title' -metadata artist='Ärtist' -metadata album=Album "
                   "-metadata date=2024 -metadata genre=Jazz -metadata comment='A comment' "
                   "-metadata track=3 -c:a pcm_s16le -y tagged.wav"));
  const std::string addId3 =
      "import sys, mutagen.wave, mutagen.id3 as id3\n"
      "w = mutagen.wave.WAVE(sys.argv[1]); w.add_tags()\n"
      "w.tags.add(id3.TIT2(encoding=3, text='ID3 title'))\n"
      "w.tags.add(id3.TPE2(encoding=3, text='Album Artist'))\n"
      "w.tags.add(id3.TPOS(encoding=3, text='1/2'))\n"
      "w.tags.add(id3.APIC(encoding=3, mime='image/png', type=3, desc='cover',"
      " data=bytes(range(256)) * 4))\n"
      "w.save()\n";
  RunResult added = runProgram("/usr/bin/python3", {"-c", addId3, dir.file("tagged.wav")});
  ASSERT_EQ(0, added.exitStatus) << added.err;

  RunResult run = convert(dir, {"tagged.wav", "/DSD128", "/t:4096", "/k:9.5", "/p:7", "/dsf"});
  ASSERT_EQ(0, run.exitStatus) << run.err;
  testsupport::writeFileBytes(dir.file("cover.bin"), [] {
    Bytes b;
    for (int i = 0; i < 1024; ++i) b.push_back(static_cast<std::uint8_t>(i));
    return b;
  }());
  EXPECT_EQ("TIT2 ID3 title\nTPE1 Ärtist\nTALB Album\nTPE2 Album Artist\nTDRC 2024\nTRCK 3\n"
            "TPOS 1/2\nTCON Jazz\nTSSE Pulsemill 1.5 DSD128 4096 taps k9.5 p2 n0\n"
            "COMM A comment\nAPIC image/png 3 cover " +
                testsupport::sha256OfFile(dir.file("cover.bin")) + "\n",
            testsupport::id3TagsByMutagen(dir.file("tagged.dsf")));

  // The same samples without tags: identical sound, a tag with TSSE only.
  RunResult plain = convert(dir, {"plain.wav", "plain.dff", "/DSD128", "/t:4096", "/k:9.5", "/p:7"});
  ASSERT_EQ(0, plain.exitStatus) << plain.err;
  const Bytes dsdiff = readFileBytes(dir.file("plain.dff"));
  EXPECT_EQ(Bytes(dsdiff.begin() + 130, dsdiff.end()),
            dsdiffOrderOf(readFileBytes(dir.file("tagged.dsf")), 5644800));
  const std::string samples = "ffmpeg -nostdin -v error -i '" + dir.path() +
                              "/FILE' -f s16le -ac 2 - | wc -c > '" + dir.path() + "/FILE.n'";
  for (const char* name : {"plain.dff", "tagged.dsf"}) {
    std::string command = samples;
    for (std::size_t at; (at = command.find("FILE")) != std::string::npos;) command.replace(at, 4, name);
    ASSERT_EQ(0, testsupport::runShell(command)) << name;
  }
  EXPECT_EQ(testsupport::readFileText(dir.file("plain.dff.n")),
            testsupport::readFileText(dir.file("tagged.dsf.n")));
  EXPECT_NE("0\n", testsupport::readFileText(dir.file("plain.dff.n")));
}

}  // namespace
