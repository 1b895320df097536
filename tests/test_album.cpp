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
// whole otherwise (the same bytes again). A track that cannot be read
// fails the album: every track says so, and no output is left.
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

  ASSERT_EQ(0, testsupport::runShell("cd '" + dir.path() + "' && head -c 6000 album/2.wav > cut.wav && "
                                     "mv cut.wav album/2.wav && rm album/*.dsf"));
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
}

}  // namespace
