// Tags within their bounds: the rendered ID3v2.4 tag leaves out what would
// exceed them, with a warning each; a compressed ID3 frame that expands past
// them is dropped before anything inflates it; texts in Latin-1 (INFO,
// Vorbis comments) reach the DSF tag; and an APE tag written by mutagen
// gives its text fields, every value of a field kept. A GNU-style DSDIFF
// output carries the tags where its readers look for them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tags/tags.h"
#include "test_support.h"

namespace {

using testsupport::Bytes;
using testsupport::RunResult;
using testsupport::TempDir;

// The 28-bit size in four bytes of seven bits each at `at`.
std::uint32_t syncsafe(const Bytes& b, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    EXPECT_LT(b.at(i), 0x80) << "byte " << i;
    v = (v << 7) | b.at(i);
  }
  return v;
}

std::string warning(const std::string& what, std::size_t bytes, const std::string& why) {
  return "pulsemill: tag: " + what + " of " + std::to_string(bytes) + " bytes left out (" + why +
         ")\n";
}

// Texts and pictures over their bounds, and pictures that together exceed
// the whole tag's: the tag keeps the rest in order and the settings, and its
// syncsafe sizes add up.
TEST(TagBounds, RenderLeavesOutWhatExceedsTheBounds) {
  pulsemill::TagSet tags;
  tags.title = "Title";
  tags.comment.assign(pulsemill::kMaxTagTextBytes, 'c');
  for (std::size_t mib : {17, 15, 15, 15}) {
    tags.pictures.push_back({"image/png", 3, "p", Bytes(mib << 20, 0xA5)});
    tags.pictures.back().data[0] = static_cast<std::uint8_t>(tags.pictures.size());
  }
  pulsemill::CapturedReport report;
  const Bytes tag = pulsemill::renderId3v2Tag(tags, "settings", report);
  const std::size_t body = 4 + 9 + 1;  // a picture frame's body besides the image
  EXPECT_EQ(warning("COMM text", pulsemill::kMaxTagTextBytes + 5, "over 1 MiB") +
                warning("picture", body + (17 << 20), "over 16 MiB") +
                warning("picture", body + (15 << 20), "tag over 32 MiB"),
            report.standardError());

  ASSERT_LE(tag.size(), pulsemill::kMaxTagBytes);
  EXPECT_EQ(Bytes({'I', 'D', '3', 4, 0, 0}), Bytes(tag.begin(), tag.begin() + 6));
  EXPECT_EQ(tag.size() - 10, syncsafe(tag, 6));
  std::vector<std::string> frames;
  std::size_t at = 10;
  while (at + 10 <= tag.size() && tag[at] != 0) {
    std::string id(tag.begin() + at, tag.begin() + at + 4);
    const std::uint32_t size = syncsafe(tag, at + 4);
    ASSERT_LE(at + 10 + size, tag.size());
    if (id == "APIC") id += std::to_string(tag.at(at + 10 + body));  // the picture's number
    frames.push_back(id + " " + std::to_string(size));
    at += 10 + size;
  }
  EXPECT_EQ(std::vector<std::string>({"TIT2 6", "APIC2 " + std::to_string(body + (15 << 20)),
                                      "APIC3 " + std::to_string(body + (15 << 20)), "TSSE 9"}),
            frames);
  EXPECT_TRUE(std::all_of(tag.begin() + at, tag.end(), [](std::uint8_t b) { return b == 0; }));
}

// A run of the converter whose peak memory (KiB) goes into dir/rss.
RunResult measured(const TempDir& dir, const std::string& rss, std::vector<std::string> args) {
  args.insert(args.begin(), {"-f", "%M", "-o", dir.file(rss), PULSEMILL_BINARY});
  return testsupport::runProgram("/usr/bin/time", args, dir.path());
}

// An "id3 " chunk with a title, a compressed artist, and two compressed
// pictures of 100 MB: one declaring its size, one declaring 1000 bytes.
// Both pictures are left out uninflated, the rest kept, and the run takes
// no more memory than its DSDIFF twin plus 100 MB.
TEST(TagInputs, CompressedPicturesAreDroppedBeforeInflating) {
  const char* script = R"(import sys, struct, zlib
src, dst, v = sys.argv[1], sys.argv[2], int(sys.argv[3])
def ss(n): return bytes((n >> s) & 127 for s in (21, 14, 7, 0))
def frame(fid, raw, declared=None):
    flags, body = 0, raw
    if declared is not None:
        flags = 0x0080 if v == 3 else 0x0009
        body = (struct.pack('>I', declared) if v == 3 else ss(declared)) + zlib.compress(raw)
    size = struct.pack('>I', len(body)) if v == 3 else ss(len(body))
    return fid + size + struct.pack('>H', flags) + body
picture = b'\0image/png\0\3\0' + bytes(100000000)
frames = (frame(b'TIT2', b'\3Kept title') + frame(b'TPE1', b'\3Compressed artist', 18) +
          frame(b'APIC', picture, len(picture)) + frame(b'APIC', picture, 1000))
tag = b'ID3' + bytes((v, 0, 0)) + ss(len(frames)) + frames
w = bytearray(open(src, 'rb').read()) + b'id3 ' + struct.pack('<I', len(tag)) + tag
w[4:8] = struct.pack('<I', len(w) - 8)
open(dst, 'wb').write(w)
)";
  TempDir dir;
  testsupport::makeWave(dir, "plain.wav", 44100, 16, 4410, "sine:1000:-6", "silence");
  const RunResult twin = measured(dir, "dff.rss", {"plain.wav", "/DSD64", "/t:2048", "/n:-1"});
  ASSERT_EQ(0, twin.exitStatus) << twin.err;
  for (const char* version : {"3", "4"}) {
    SCOPED_TRACE(version);
    const RunResult made = testsupport::runProgram(
        "/usr/bin/python3", {"-c", script, dir.file("plain.wav"), dir.file("in.wav"), version});
    ASSERT_EQ(0, made.exitStatus) << made.err;
    const RunResult run =
        measured(dir, "dsf.rss", {"in.wav", "/dsf", "/DSD64", "/t:2048", "/n:-1"});
    ASSERT_EQ(0, run.exitStatus) << run.err;
    const std::size_t picture = 13 + 100000000;  // encoding, MIME type, type, description, image
    EXPECT_EQ(warning("compressed ID3 APIC frame", picture, "over 16 MiB") +
                  warning("compressed ID3 APIC frame", 1000, "expands to over 16 MiB"),
              run.err);
    EXPECT_EQ("TIT2 Kept title\nTPE1 Compressed artist\n"
              "TSSE Pulsemill 1.5 DSD64 2048 taps k10 p2 n-1\n",
              testsupport::id3TagsByMutagen(dir.file("in.dsf")));
    EXPECT_LE(std::stol(testsupport::readFileText(dir.file("dsf.rss"))),
              std::stol(testsupport::readFileText(dir.file("dff.rss"))) + 100 * 1024);
  }
}

// Latin-1 bytes where UTF-8 belongs, beside valid UTF-8, in a WAVE file's
// LIST/INFO chunk and in a FLAC file's Vorbis comments.
TEST(TagInputs, Latin1TextIsKept) {
  TempDir dir;
  testsupport::makeWave(dir, "info.wav", 44100, 16, 4410, "sine:1000:-6", "silence");
  Bytes info;
  testsupport::putText(info, "INFO");
  for (const std::string& field : {std::string("INAMBj\xf6rk"), std::string("IARTÄrtist"),
                                   std::string("ICMTcaf\xe9")}) {
    testsupport::putText(info, field.substr(0, 4));
    testsupport::putLe(info, field.size() - 3, 4);  // the text and its NUL
    testsupport::putText(info, field.substr(4) + std::string(field.size() % 2 ? 1 : 2, '\0'));
  }
  Bytes wave = testsupport::readFileBytes(dir.file("info.wav"));
  testsupport::putText(wave, "LIST");
  testsupport::putLe(wave, info.size(), 4);
  wave.insert(wave.end(), info.begin(), info.end());
  const Bytes riffSize = [&] { Bytes b; testsupport::putLe(b, wave.size() - 8, 4); return b; }();
  std::copy(riffSize.begin(), riffSize.end(), wave.begin() + 4);
  testsupport::writeFileBytes(dir.file("info.wav"), wave);

  // The flac tool takes UTF-8 only: '~' stands for the Latin-1 byte.
  ASSERT_EQ(0, testsupport::runShell("cd '" + dir.path() + "' && flac -s -T 'TITLE=Bj~rk' "
                                     "-T ARTIST=Ärtist -T 'COMMENT=caf~' -o vc.flac info.wav"));
  std::string flac = testsupport::readFileText(dir.file("vc.flac"));
  for (const auto& [text, latin1] : {std::pair{"TITLE=Bj~rk", '\xf6'}, {"COMMENT=caf~", '\xe9'}}) {
    const std::size_t at = flac.find(text);
    ASSERT_NE(std::string::npos, at);
    flac[flac.find('~', at)] = latin1;
  }
  testsupport::writeFileBytes(dir.file("vc.flac"), Bytes(flac.begin(), flac.end()));

  for (const char* input : {"info.wav", "vc.flac"}) {
    SCOPED_TRACE(input);
    const RunResult run =
        testsupport::convertIn(dir, {input, "out.dsf", "/DSD64", "/t:2048", "/n:-1"});
    ASSERT_EQ(0, run.exitStatus) << run.err;
    EXPECT_EQ("TIT2 Björk\nTPE1 Ärtist\nTSSE Pulsemill 1.5 DSD64 2048 taps k10 p2 n-1\n"
              "COMM café\n",
              testsupport::id3TagsByMutagen(dir.file("out.dsf")));
  }
}

// An APE tag by mutagen at the end of a file, then with an ID3v1 tag after
// it, then with a tag size reaching past the start of the file: the text
// fields by key in any case, both values of the artist in order, a binary
// item, an unknown key and a comment over the text bound left out (the
// comment with a warning); nothing from the damaged tag.
TEST(TagInputs, ApeTagGivesItsTextFields) {
  const char* script = R"(import sys, mutagen.apev2 as ape
open(sys.argv[1], 'wb').write(bytes(100))
t = ape.APEv2()
t['Title'] = 'Song'
t['Artist'] = ['A', 'B']
t['ALBUM ARTIST'] = 'Band'
t['year'] = '2024'
t['Track'] = '3/12'
t['Catalog'] = 'X1'
t['Cover Art (Front)'] = ape.APEValue(b'front.jpg\0' + bytes(64), ape.BINARY)
t['Comment'] = 'c' * (1 << 20 | 1)
t.save(sys.argv[1])
)";
  TempDir dir;
  const std::string path = dir.file("tagged.ape");
  const RunResult made = testsupport::runProgram("/usr/bin/python3", {"-c", script, path});
  ASSERT_EQ(0, made.exitStatus) << made.err;
  const Bytes ape = testsupport::readFileBytes(path);
  Bytes id3v1 = ape;
  testsupport::putText(id3v1, "TAG");
  id3v1.resize(ape.size() + 128, 0);
  Bytes damaged = ape;
  damaged.at(damaged.size() - 17) = 0x7F;  // the footer's tag size: its top byte
  const std::vector<std::string> fields = {"Song", std::string("A\0B", 3), "Band", "2024", "3/12"};
  for (const auto& [file, read] : {std::pair{ape, fields}, {id3v1, fields}, {damaged, {}}}) {
    SCOPED_TRACE(file.size());
    testsupport::writeFileBytes(path, file);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    pulsemill::CapturedReport report;
    const pulsemill::TagSet tags = pulsemill::readApeTags(fd, file.size(), report);
    close(fd);
    const std::vector<std::string> got = {tags.title, tags.artist, tags.albumArtist, tags.date,
                                          tags.track};
    EXPECT_EQ(read.empty() ? std::vector<std::string>(5) : read, got);
    EXPECT_EQ("", tags.album + tags.genre + tags.comment + tags.disc);
    EXPECT_TRUE(tags.pictures.empty());
    EXPECT_EQ(read.empty() ? "" : warning("APE Comment text", (1 << 20) + 1, "over 1 MiB"),
              report.standardError());
  }
}

// The `bytes`-byte big-endian number at `at`.
std::uint64_t bigEndian(const Bytes& b, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | b.at(at + i);
  return v;
}

// A GNU-style DSDIFF output of a tagged FLAC file: its chunks fill the form
// in the order DIIN, sound, ID3; mutagen reads every frame of the ID3 chunk
// (the settings too), ffprobe the DIIN chunk's title and artist, ffmpeg
// decodes every sample, and the sound data is the slash grammar's.
TEST(TagOutputs, GnuStyleDsdiffCarriesTheTagsAroundItsSoundData) {
  TempDir dir;
  testsupport::makeWave(dir, "in.wav", 44100, 16, 4410, "sine:1000:-6", "silence");
  ASSERT_EQ(0, testsupport::runShell("cd '" + dir.path() + "' && flac -s -T TITLE=Tïtle -T ARTIST=A "
                                     "-T ARTIST=Bee -T ALBUM=Album -o in.flac in.wav"));
  for (const auto& args : {std::vector<std::string>{"--rate", "64", "--taps", "2048", "--format",
                                                    "dff", "-q", "in.flac"},
                           {"in.wav", "slash.dff", "/DSD64", "/t:2048"}}) {
    const RunResult run = testsupport::convertIn(dir, args);
    ASSERT_EQ(0, run.exitStatus) << run.err;
  }
  const Bytes tagged = testsupport::readFileBytes(dir.file("in.dff"));
  const auto chunks = testsupport::dsdiffChunks(tagged);
  std::vector<std::string> ids;
  for (const auto& chunk : chunks) ids.push_back(chunk.first);
  ASSERT_EQ(std::vector<std::string>({"FVER", "PROP", "DIIN", "DSD ", "ID3 "}), ids);
  EXPECT_EQ(tagged.size() - 12, bigEndian(tagged, 4, 8));
  EXPECT_EQ(testsupport::dsdiffChunks(testsupport::readFileBytes(dir.file("slash.dff"))).at(2), chunks.at(3));

  EXPECT_EQ("TIT2 Tïtle\nTPE1 A / Bee\nTALB Album\nTSSE Pulsemill 1.5 DSD64 2048 taps k10 p2 n0\n",
            testsupport::id3TagsByMutagen(dir.file("in.dff")));
  const RunResult probe = testsupport::runProgram(
      "/usr/bin/ffprobe", {"-v", "error", "-show_entries", "format_tags=title,artist", "-of",
                           "default=nw=1", dir.file("in.dff")});
  EXPECT_EQ("TAG:artist=A / Bee\nTAG:title=Tïtle\n", probe.out) << probe.err;
  // ffmpeg decodes DSD to PCM at an eighth of its rate: 8 frames per input frame.
  ASSERT_EQ(0, testsupport::runShell("cd '" + dir.path() + "' && ffmpeg -nostdin -v error -i in.dff "
                                     "-f s16le decoded.raw"));
  EXPECT_EQ(4410u * 8u * 4u, testsupport::readFileBytes(dir.file("decoded.raw")).size());
}

}  // namespace
