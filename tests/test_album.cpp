// Album mode: the tracks of a folder converted as one stream, cut at their
// own lengths, at one gain, written and resumed as a whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testsupport::Bytes;
using testsupport::RunResult;
using testsupport::TempDir;

// Track lengths in frames: a few pipeline blocks and a part, one shorter
// than the filter's half length (16 frames at both rates tested), one
// frame, and the rest.
constexpr int kTrackFrames[] = {1500, 10, 1, 4000};
constexpr int kWholeFrames = 9000;

// dir/whole.wav (24-bit, 44.1 kHz: a quiet part, then `loudEnd` frames of
// a sine at full scale) cut into album/tNN.flac with reversed file names
// for their track numbers ("05-...": track 1), each titled "Track N".
void makeAlbum(const TempDir& dir, int loudEnd) {
  std::filesystem::create_directories(dir.file("album"));
  testsupport::makeWave(dir, "quiet.wav", 44100, 24, kWholeFrames - loudEnd, "sine:1000:-6+noise:-40",
                        "sine:440:-10+noise:-40");
  testsupport::makeWave(dir, "loud.wav", 44100, 24, loudEnd, "sine:997:0", "sine:997:0");
  std::string script = "cd '" + dir.path() + "' && sox quiet.wav loud.wav whole.wav";
  int start = 0;
  for (int k = 0; k < 5; ++k) {
    const std::string length = k < 4 ? std::to_string(kTrackFrames[k]) + "s" : "";
    const std::string n = std::to_string(k + 1);
    script += " && sox whole.wav t.wav trim " + std::to_string(start) + "s " + length +
              " && flac -s -f -T TRACKNUMBER=" + n + " -T 'TITLE=Track " + n + "' -o album/0" +
              std::to_string(5 - k) + "-t" + n + ".flac t.wav";
    if (k < 4) start += kTrackFrames[k];
  }
  ASSERT_EQ(0, testsupport::runShell(script));
}

// The gain the summary states for the album "album".
std::string albumGain(const std::string& err) {
  const std::string key = "pulsemill: album album: 5 tracks at ";
  const std::size_t at = err.find(key);
  if (at == std::string::npos) return "missing";
  return err.substr(at + key.size(), err.find(" dB", at) - at - key.size());
}

// At DSD64 into DSDIFF at a given gain, and at DSD128 into DSF at the
// automatic gain that the loud last track lowers for the whole album: the
// tracks' sound data joined are bit for bit the whole converted with
// --align at the album's gain; every track holds exactly its frames x ratio
// samples (ffmpeg decodes DSF to that length) and its own tags; a file at
// another rate is converted on its own.
TEST(AlbumE2E, TracksJoinBitForBitIntoTheWholeStream) {
  const struct {
    const char *rate, *taps, *format;
    std::vector<std::string> gain;
    int loudFrames, ratio;
  } cases[] = {{"64", "2048", "dff", {"--gain", "0"}, 0, 64},
               {"128", "4096", "dsf", {}, 2000, 128}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    TempDir dir;
    makeAlbum(dir, c.loudFrames);
    testsupport::makeWave(dir, "album/06-other.wav", 48000, 16, 500, "sine:1000:-6", "silence");
    std::vector<std::string> args = {"--album", "--rate", c.rate, "--taps", c.taps, "--format", c.format,
                                     "-d", "out", "album"};
    args.insert(args.end(), c.gain.begin(), c.gain.end());
    RunResult r = testsupport::convertIn(dir, args, "2");
    ASSERT_EQ(0, r.exitStatus) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("pulsemill: album/06-other.wav: 48000 Hz, not the album's "
                                            "44100 Hz: converted on its own\n")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("6 files (5 in 1 album): 6 converted")) << r.err;
    const std::string gain = albumGain(r.err);
    if (c.loudFrames > 0) {
      EXPECT_NE("0", gain) << r.err;
    }

    r = testsupport::convertIn(dir, {"--align", "--rate", c.rate, "--taps", c.taps, "--format", c.format,
                                     "--gain", gain, "-o", std::string("whole.") + c.format, "whole.wav"});
    ASSERT_EQ(0, r.exitStatus) << r.err;
    Bytes joined;
    int frames[5] = {kTrackFrames[0], kTrackFrames[1], kTrackFrames[2], kTrackFrames[3],
                     kWholeFrames - 5511};
    for (int k = 1; k <= 5; ++k) {
      const std::string track = dir.file("out/0" + std::to_string(6 - k) + "-t" + std::to_string(k) + "." +
                                         c.format);
      const Bytes data = testsupport::dsdSoundData(track);
      EXPECT_EQ(static_cast<std::size_t>(frames[k - 1]) * c.ratio / 4, data.size()) << track;
      joined.insert(joined.end(), data.begin(), data.end());
      const std::string tags = testsupport::id3TagsByMutagen(track);
      EXPECT_NE(std::string::npos, tags.find("TIT2 Track " + std::to_string(k) + "\n")) << tags;
      EXPECT_NE(std::string::npos, tags.find(std::string(c.loudFrames > 0 ? " g" + gain + " auto" : "") +
                                             " album a\n")) << tags;
      if (std::string(c.format) != "dsf") continue;
      // ffmpeg decodes DSD to PCM at an eighth of its rate: ratio / 8 frames of 4 bytes per input frame.
      ASSERT_EQ(0, testsupport::runShell("ffmpeg -nostdin -v error -i '" + track + "' -f s16le -y '" +
                                         dir.file("decoded.raw") + "'"));
      EXPECT_EQ(static_cast<std::size_t>(frames[k - 1]) * c.ratio / 2,
                testsupport::readFileBytes(dir.file("decoded.raw")).size()) << track;
    }
    EXPECT_TRUE(joined == testsupport::dsdSoundData(dir.file(std::string("whole.") + c.format)));
  }
}

// Resume skips an album only when every track is done, and converts it
// whole otherwise (the same bytes again). A track whose output is blocked
// or whose input cannot be read fails the album: every track says so, and
// nothing is written. A clip is the album's.
TEST(AlbumE2E, AnAlbumIsWrittenAndResumedWhole) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("album"));
  for (const char* name : {"album/1.wav", "album/2.wav", "album/3.wav"})
    testsupport::makeWave(dir, name, 44100, 16, 3000, "sine:1000:-6", "sine:500:-9");
  const std::vector<std::string> args = {"--album", "--rate", "64", "--taps", "2048", "album"};
  ASSERT_EQ(0, testsupport::convertIn(dir, args).exitStatus);
  const Bytes second = testsupport::readFileBytes(dir.file("album/2.dsf"));
  RunResult r = testsupport::convertIn(dir, args);
  EXPECT_NE(std::string::npos, r.err.find("0 converted (0 after a clip, 0 at a lower gain), 3 skipped")) << r.err;
  std::filesystem::remove(dir.file("album/3.dsf"));
  r = testsupport::convertIn(dir, args);
  EXPECT_NE(std::string::npos, r.err.find("3 converted")) << r.err;
  EXPECT_EQ(second, testsupport::readFileBytes(dir.file("album/2.dsf")));
  // A folder in the way of one track fails the album, the others kept as they were.
  testsupport::writeFileBytes(dir.file("album/2.dsf"), {'o', 'l', 'd'});
  std::filesystem::remove(dir.file("album/3.dsf"));
  std::filesystem::create_directories(dir.file("album/3.dsf"));
  r = testsupport::convertIn(dir, args);
  EXPECT_EQ(1, r.exitStatus) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("album/2.wav -> album/2.dsf: FAILED (album not converted: "
                                          "album/3.dsf: a folder is in the way at album/3.dsf)")) << r.err;
  EXPECT_EQ(Bytes({'o', 'l', 'd'}), testsupport::readFileBytes(dir.file("album/2.dsf")));

  ASSERT_EQ(0, testsupport::runShell("cd '" + dir.path() + "' && head -c 6000 album/2.wav > cut.wav && "
                                     "mv cut.wav album/2.wav && rm -r album/*.dsf"));
  r = testsupport::convertIn(dir, args);
  EXPECT_EQ(1, r.exitStatus) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("album/1.wav -> album/1.dsf: FAILED (album not converted: "
                                          "album/2.wav failed)")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("album/2.wav -> album/2.dsf: FAILED (unexpected end of file)"))
      << r.err;
  EXPECT_NE(std::string::npos, r.err.find("3 failed")) << r.err;
  for (const char* name : {"album/1.dsf", "album/2.dsf", "album/3.dsf"})
    EXPECT_FALSE(testsupport::fileExists(dir.file(name))) << name;
  EXPECT_TRUE(testsupport::temporaries(dir.path()).empty());
  // A clip is the album's, not one track's.
  std::filesystem::create_directories(dir.file("hot"));
  for (const char* name : {"hot/1.wav", "hot/2.wav"})
    testsupport::makeWave(dir, name, 44100, 16, 3000, "const:32767", "silence");
  r = testsupport::convertIn(dir, {"--album", "--rate", "64", "--taps", "2048", "--gain", "0", "hot"});
  EXPECT_EQ(2, r.exitStatus) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("2 clipped, 0 failed")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("pulsemill: clipped: album hot (offset 0)\n")) << r.err;
}

// A CUE sheet cuts its image into tracks at floor(position x rate / 75)
// (00:00:05 is frame 2940 at 44.1 kHz; before track 1's INDEX 01 and a
// pregap go to the track before), named and tagged by the sheet, the
// image's tags filling what it lacks; a .cue file wins over a sheet the
// image carries; a FLAC CUESHEET block cuts the same way, and a sheet of
// two FILEs joins them. The tracks join into the whole aligned stream;
// --no-cue converts the image whole.
TEST(AlbumE2E, ACueSheetCutsItsImageIntoTaggedTracks) {
  TempDir dir;
  testsupport::makeWave(dir, "whole.wav", 44100, 24, 9000, "sine:1000:-6+noise:-40", "sine:440:-10");
  const std::string sheet = "REM GENRE Jazz\nPERFORMER \"Band\"\nTITLE \"Live\"\n"
                            "FILE \"image.flac\" WAVE\n  TRACK 01 AUDIO\n    TITLE \"Intro: Live\"\n"
                            "    INDEX 01 00:00:02\n  TRACK 02 AUDIO\n    PERFORMER \"Guest\"\n"
                            "    INDEX 00 00:00:04\n    INDEX 01 00:00:05\n  TRACK 03 AUDIO\n"
                            "    INDEX 01 00:00:07\n";
  testsupport::writeFileBytes(dir.file("image.cue"), Bytes(sheet.begin(), sheet.end()));
  testsupport::writeFileBytes(dir.file("other.cue"), Bytes(sheet.begin(), sheet.begin() + 100));
  ASSERT_EQ(0, testsupport::runShell(
                   "cd '" + dir.path() + "' && flac -s -T DATE=2001 -T ARTIST=Nobody -T "
                   "'CUESHEET=FILE \"x.wav\" WAVE\n TRACK 01 AUDIO\n  INDEX 01 00:00:00' -o image.flac "
                   "whole.wav && sed 's/image.flac/x.wav/' image.cue > x.cue && flac -s --cuesheet=x.cue "
                   "-o block.flac whole.wav && rm x.cue && sox whole.wav a.wav trim 0s 5000s && "
                   "sox whole.wav b.wav trim 5000s"));
  // Two files joined: track 2's pregap lies in a.wav, its INDEX 01 in b.wav.
  const std::string two = "FILE \"a.wav\" WAVE\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n"
                          "  INDEX 00 00:00:08\nFILE \"b.wav\" WAVE\n  INDEX 01 00:00:01\n TRACK 03 AUDIO\n"
                          "  INDEX 01 00:00:04\n";
  testsupport::writeFileBytes(dir.file("two.cue"), Bytes(two.begin(), two.end()));
  const std::vector<std::string> args = {"--rate", "64", "--taps", "2048", "--gain", "0"};
  auto run = [&](std::vector<std::string> more) {
    more.insert(more.begin(), args.begin(), args.end());
    return testsupport::convertIn(dir, more);
  };
  RunResult r = run({"image.flac", "block.flac", "a.wav"});
  ASSERT_EQ(0, r.exitStatus) << r.err;
  ASSERT_EQ(0, run({"--align", "-o", "whole.dsf", "whole.wav"}).exitStatus);
  const Bytes whole = testsupport::dsdSoundData(dir.file("whole.dsf"));
  // Track starts: image.cue 0, 2940, 4116 (frames); the block's, CD frames of 588 samples;
  // two.cue 0, 5000 + 588, 5000 + 2352.
  const struct {
    const char* folder;
    std::vector<std::string> names;
    std::vector<std::size_t> frames;
  } images[] = {{"image", {"01 - Intro_ Live", "02 - Track 02", "03 - Track 03"}, {2940, 1176, 4884}},
                {"block", {"01 - Track 01", "02 - Track 02", "03 - Track 03"}, {2940, 1176, 4884}},
                {"two", {"01 - Track 01", "02 - Track 02", "03 - Track 03"}, {5588, 1764, 1648}}};
  for (const auto& image : images) {
    Bytes joined;
    for (std::size_t k = 0; k < image.names.size(); ++k) {
      const Bytes data = testsupport::dsdSoundData(dir.file(std::string(image.folder) + "/" +
                                                            image.names[k] + ".dsf"));
      EXPECT_EQ(image.frames[k] * 16, data.size()) << image.names[k];
      joined.insert(joined.end(), data.begin(), data.end());
    }
    EXPECT_TRUE(joined == whole) << image.folder;
  }
  EXPECT_EQ("TIT2 Intro: Live\nTPE1 Band\nTALB Live\nTPE2 Band\nTDRC 2001\nTRCK 1/3\nTCON Jazz\n"
            "TSSE Pulsemill 1.5 DSD64 2048 taps k10 p2 n0 album a\n",
            testsupport::id3TagsByMutagen(dir.file("image/01 - Intro_ Live.dsf")));
  EXPECT_NE(std::string::npos,
            testsupport::id3TagsByMutagen(dir.file("image/02 - Track 02.dsf")).find("TPE1 Guest\n"));
  // Resume checks each track against its own length: all whole, all skipped.
  r = run({"image.flac", "block.flac", "a.wav"});
  EXPECT_NE(std::string::npos, r.err.find("0 converted (0 after a clip, 0 at a lower gain), 9 skipped"))
      << r.err;
  r = run({"--no-cue", "image.flac"});
  EXPECT_EQ(0, r.exitStatus) << r.err;
  EXPECT_TRUE(testsupport::fileExists(dir.file("image.dsf")));
}

// A malformed sheet fails its image with one line naming the sheet and
// the line, and nothing is written.
TEST(AlbumE2E, MalformedSheetsAreRefusedByLine) {
  TempDir dir;
  testsupport::makeWave(dir, "a.wav", 44100, 16, 4410, "sine:1000:-6", "silence");
  const std::string head = "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n";
  const struct {
    std::string tail, reason;
  } cases[] = {
      {"    INDEX 01 00:00:08\n", "line 5: INDEX 01 00:00:08 lies past the end of a.wav (4410 samples)"},
      {"    INDEX 01 00:00:00\n", "line 5: INDEX 01 00:00:00 starts where the track on line 3 starts"},
      {"    INDEX 01 00:00:03\n    INDEX 00 00:00:02\n", "line 6: INDEX 00 after INDEX 01 of its track"},
      {"  TRACK 03 AUDIO\n    INDEX 01 00:00:01\n", "line 4: TRACK without INDEX 01"},
      {"    INDEX 01 00:00:75\n", "line 5: INDEX time '00:00:75' is not mm:ss:ff"},
      {"FILE \"b.wav\" WAVE\n    INDEX 01 00:00:01\n", "line 5: FILE \"b.wav\" is missing"},
  };
  for (const auto& c : cases) {
    const std::string text = head + c.tail;
    testsupport::writeFileBytes(dir.file("a.cue"), Bytes(text.begin(), text.end()));
    const RunResult r = testsupport::convertIn(dir, {"--rate", "64", "--taps", "2048", "-q", "a.wav"});
    EXPECT_EQ(1, r.exitStatus) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("a.wav -> a.dsf: FAILED (a.cue: " + c.reason + ")\n")) << r.err;
    EXPECT_FALSE(testsupport::fileExists(dir.file("a.dsf")) || testsupport::fileExists(dir.file("a")));
  }
}

}  // namespace
