// Beyond DSD256 and the fixed shaper patterns: DSD512 files read by
// independent readers (ffmpeg, mutagen), the rate shaper's noise floors and
// stability measured on the one-bit stream (tools/shaper_floor feeds a
// double-precision tone through the run's filter and modulator; the report
// tool's double-precision decoder measures it), and aligned output.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::runProgram;

namespace {

const char kPython[] = "/usr/bin/python3";

// The left channel's figures `names` in the report on `dsd` with `more`.
std::map<std::string, double> reportOn(const std::string& dsd, const std::vector<std::string>& more,
                                       const std::vector<std::string>& names) {
  std::vector<std::string> args = {dsd};
  args.insert(args.end(), more.begin(), more.end());
  const std::string out = testsupport::runReport(args);
  std::map<std::string, double> figures;
  for (const std::string& name : names) figures[name] = testsupport::reportFigure(out, "left", name);
  return figures;
}

// "+-60 dBFS ok|clip" lines of a sweep: level -> clipped.
std::map<int, bool> sweep(const std::string& multiple, const std::string& shaper) {
  const RunResult r =
      runProgram(SHAPER_FLOOR_BINARY, {"sweep", multiple, shaper, "--seconds", "1"});
  EXPECT_EQ(0, r.exitStatus) << r.err;
  std::map<int, bool> clipped;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    int level = 0;
    char word[16] = {};
    if (std::sscanf(line.c_str(), "%d dBFS %15s", &level, word) == 2)
      clipped[level] = std::string(word) != "ok";
  }
  EXPECT_EQ(61u, clipped.size()) << r.out;
  return clipped;
}

}  // namespace

// Both rate families at 512 times: the containers carry the rate, ffmpeg
// decodes each tone on its own channel at its level, mutagen reads the DSF
// rate and the settings frame.
TEST(Dsd512E2E, ReadByFfmpegAndMutagenInBothFamilies) {
  TempDir dir;
  for (const int family : {44100, 48000}) {
    SCOPED_TRACE(family);
    testsupport::makeWave(dir, "in.wav", family, 24, family / 4, "sine:1000:-6", "sine:1500:-10");
    for (const char* out : {"out.dff", "out.dsf"}) {
      const RunResult run = testsupport::convertIn(dir, {"in.wav", out, "/DSD512", "/t:16384"});
      ASSERT_EQ(0, run.exitStatus) << run.err;
      EXPECT_NE(std::string::npos, run.out.find("DSD512: Oversample[512] Sample[1024] Tap[16384]"));
      EXPECT_NE(std::string::npos, run.out.find("NoiseShaper design for " +
                                                std::to_string(family * 512) + " Hz, band 60000 Hz\n\n"));
      // ffmpeg gives DSD streams as bytes: the rate it reports is 1/8 of the bit rate.
      const RunResult probe = runProgram("/usr/bin/ffprobe", {"-v", "error", "-show_entries",
                                                              "stream=sample_rate", "-of", "csv=p=0",
                                                              dir.file(out)});
      EXPECT_EQ(std::to_string(family * 64) + "\n", probe.out);
      const std::string decoded = dir.file("dec.wav");
      ASSERT_EQ(0, runProgram("/usr/bin/ffmpeg", {"-nostdin", "-v", "error", "-y", "-i", dir.file(out),
                                                  "-ar", "88200", "-c:a", "pcm_s32le", decoded})
                       .exitStatus);
      const RunResult tones = runProgram(
          kPython, {std::string(PULSEMILL_SOURCE_DIR) + "/tests/tone_measure.py", PULSEMILL_TOOLS_DIR,
                    decoded, "--freq", "1000", "--freq-right", "1500", "--skip", "0.05", "--length",
                    "0.15"});
      double level[2] = {};
      ASSERT_EQ(2, std::sscanf(tones.out.c_str(), "channel 0 freq %*f level_dbfs %lf snr_db %*f mean %*f "
                                                  "channel 1 freq %*f level_dbfs %lf",
                               &level[0], &level[1]))
          << tones.out << tones.err;
      EXPECT_NEAR(-6.0 - 6.02, level[0], 0.5);  // full scale lands at 50% modulation
      EXPECT_NEAR(-10.0 - 6.02, level[1], 0.5);
    }
    // The GNU-style line: --shaper is ignored with a warning, --align ends the settings.
    const RunResult gnu = runProgram(PULSEMILL_BINARY, {"--rate", "512", "--taps", "16384", "--align",
                                                        "--shaper", "3", "-q", "-f", "-o", "gnu.dsf", "in.wav"},
                                     dir.path());
    ASSERT_EQ(0, gnu.exitStatus) << gnu.err;
    EXPECT_EQ(0u, gnu.err.find("pulsemill: --shaper 3 is ignored: the rate shaper has no patterns\n"));
    const RunResult tags = runProgram(
        kPython, {"-c",
                  "import sys, mutagen.dsf\nfor p in sys.argv[1:]:\n  f = mutagen.dsf.DSF(p)\n"
                  "  print(f.info.sample_rate, f.tags['TSSE'].text[0])",
                  dir.file("out.dsf"), dir.file("gnu.dsf")});
    const std::string settings = std::to_string(family * 512) + " Pulsemill 1.5 DSD512 16384 taps k10 q60000 n0";
    EXPECT_EQ(settings + "\n" + settings + " a\n", tags.out) << tags.err;
  }
}

// Inputs below 44.1 kHz, made by sox and read back by mutagen: GNU-style
// --rate N reaches N x 44.1 kHz (ratio 128 from 22.05 kHz; from 11.025 kHz
// --rate 256 would need ratio 1024, so ratio 512 gives DSD128 with one
// warning line), while the slash grammar keeps ratio N.
TEST(LowRateE2E, GnuStyleReachesTheFamilyRate) {
  const struct {
    int rate;
    std::vector<std::string> args;
    int ratio;
    const char* label;    // of the TSSE frame
    std::string warning;  // the whole of standard error, but the batch's own lines
  } runs[] = {
      {22050, {"--rate", "64", "--taps", "2048", "-o", "out.dsf", "in.wav"}, 128, "DSD64 4096 taps", ""},
      {22050, {"in.wav", "out.dsf", "/DSD64", "/t:2048"}, 64, "DSD64 2048 taps", ""},
      {11025, {"--rate", "256", "--taps", "2048", "-q", "-o", "out.dsf", "in.wav"}, 512,
       "DSD128 16384 taps",
       "pulsemill: in.wav: DSD256 asked, DSD128 given (11025 Hz input: ratio 512 at most)\n"},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.args[0]);
    TempDir dir;
    const int frames = run.rate / 10;
    ASSERT_EQ(0, runProgram("/usr/bin/sox", {"-r", std::to_string(run.rate), "-c", "2", "-n", "-b", "16",
                                             "in.wav", "synth", std::to_string(frames) + "s", "sine", "440", "gain", "-6"},
                            dir.path()).exitStatus);
    const RunResult r = testsupport::convertIn(dir, run.args);
    ASSERT_EQ(0, r.exitStatus) << r.err;
    std::string warnings;  // the lines that are not the batch's per-file and summary lines
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);)
      if (line.find(" files: ") == std::string::npos && line.find("] in.wav -> ") == std::string::npos)
        warnings += line + "\n";
    EXPECT_EQ(run.warning, warnings);
    const RunResult read = runProgram(
        kPython, {"-c",
                  "import sys, mutagen.dsf\nf = mutagen.dsf.DSF(sys.argv[1])\n"
                  "print(f.info.sample_rate, round(f.info.length * f.info.sample_rate), "
                  "f.tags['TSSE'].text[0])",
                  dir.file("out.dsf")});
    EXPECT_EQ(std::to_string(run.rate * run.ratio) + " " + std::to_string(frames * run.ratio) +
                  " Pulsemill 1.5 " + run.label + " k10 p2 n0\n",
              read.out)
        << read.err;
  }
}

// The rate shaper's in-band SNR for a -6 dBFS tone, each a few dB under
// what it measures (DSD128 162.8 dB with 8192 taps, DSD256 172.0 dB; the
// fixed pattern gives 125.6 and 128.1), its 20-50 kHz noise at DSD256 under
// the fixed pattern's there (-147 against -137 dB), and no overload at any
// level from -60 to 0 dBFS where the fixed pattern at DSD64 has none.
TEST(RateShaperE2E, FloorsAndStability) {
  TempDir dir;
  const struct {
    const char* multiple;
    const char* shaper;
    const char* taps;
    double snrFloor;
  } tones[] = {{"128", "rate", "8192", 158.0}, {"256", "rate", "32768", 168.0},
               {"256", "fixed", "32768", 125.0}};
  std::map<std::string, double> noise2050;
  for (const auto& t : tones) {
    SCOPED_TRACE(std::string(t.multiple) + " " + t.shaper);
    const std::string out = dir.file(std::string(t.shaper) + t.multiple + ".dff");
    ASSERT_EQ(0, runProgram(SHAPER_FLOOR_BINARY, {"tone", t.multiple, t.shaper, out, "--seconds",
                                                  "1.2", "--taps", t.taps})
                     .exitStatus);
    std::map<std::string, double> f =
        reportOn(out, {"--start", "0.1", "--seconds", "1"}, {"snr", "noise_20k_50k"});
    EXPECT_GE(f["snr"], t.snrFloor);
    noise2050[t.shaper] = f["noise_20k_50k"];
  }
  EXPECT_LT(noise2050["rate"], noise2050["fixed"] - 5.0);

  const std::map<int, bool> fixed = sweep("64", "fixed");
  const std::map<int, bool> rate = sweep("256", "rate");
  for (const auto& [level, clipped] : fixed) {
    if (!clipped) {
      EXPECT_FALSE(rate.at(level)) << level << " dBFS";
    }
  }
}

// The rate shaper's guard and its one sample scale. It converts at 0 dB a
// limited master (seed 3) that the byte test refused at DSD64, where the
// rate shaper runs closest to its limit; a +6 dBFS float sine is a clip, a
// +2 dBFS one restarts the loop now and then; and a -6 dBFS float tone
// keeps its own floor at DSD256: THD+N, harmonics counted, under -151 dB
// (about -153.5 dB; the asymmetric scale gave -148.4 dB).
TEST(RateShaperE2E, GuardAndOneScale) {
  TempDir dir;
  ASSERT_EQ(0, testsupport::runShell("cd '" + dir.path() + "' && /usr/bin/python3 " PULSEMILL_TOOLS_DIR
                                     "/make_masters.py m --seconds 2 --seed 3"));
  testsupport::makeWave(dir, "hot.wav", 44100, 32, 13230, "sine:1000:6", "sine:1000:6");
  testsupport::makeWave(dir, "tone.wav", 44100, 32, 52920, "sine:1000:-6", "sine:1000:-6");
  testsupport::makeWave(dir, "over.wav", 44100, 32, 22050, "sine:1000:2", "sine:1000:2");

  RunResult r = testsupport::convertIn(dir, {"--rate", "64", "--shaper-design", "rate", "--taps", "2048",
                                             "-o", "limited.dsf", "m/limited.wav"});
  EXPECT_EQ(0, r.exitStatus) << r.err;
  EXPECT_EQ(0u, r.err.find("pulsemill: [1/1] m/limited.wav -> limited.dsf: converted, ")) << r.err;
  r = testsupport::convertIn(dir, {"hot.wav", "hot.dff", "/t:2048", "/q"});
  EXPECT_EQ(2, r.exitStatus) << r.out;
  EXPECT_FALSE(testsupport::fileExists(dir.file("hot.dff")));
  // +2 dBFS at DSD128: isolated restarts. An explicit gain keeps them and
  // says so; the automatic gain takes a lower gain instead.
  const std::vector<std::string> over = {"--rate", "128", "--shaper-design", "rate", "--taps", "2048",
                                         "-o", "over.dsf", "over.wav"};
  std::vector<std::string> args = over;
  args.insert(args.begin(), {"--gain", "0"});
  r = testsupport::convertIn(dir, args);
  EXPECT_EQ(0, r.exitStatus) << r.err;
  EXPECT_EQ(0u, r.err.find("pulsemill: over.wav: 2 brief overloads: the modulator restarted and "
                           "recovered\n")) << r.err;
  args = over;
  args.insert(args.begin(), "-f");
  r = testsupport::convertIn(dir, args);
  EXPECT_EQ(0, r.exitStatus) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(" dB (overload at 0 dB)")) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("brief overload")) << r.err;
  ASSERT_EQ(0, testsupport::convertIn(dir, {"tone.wav", "tone.dff", "/DSD256", "/q"}).exitStatus);
  EXPECT_LT(reportOn(dir.file("tone.dff"), {"--start", "0.1", "--seconds", "1"}, {"thd_n"})["thd_n"],
            -151.0);
}

// Aligned output (/a): the same length as without it, no delay against the
// source (the report's delay, its decoder's own subtracted), and the
// aligned outputs of two halves of a file, decoded and joined, match the
// aligned output of the whole outside half a filter either side of the
// join. Without /a the same checks find the filter's delay, 32768 taps / (2
// x 128) = 128 frames, and half B's ramp-in reaches past that window.
TEST(AlignedOutputE2E, NoDelayAndHalvesJoin) {
  TempDir dir;
  const int frames = 66150, half = 33075, delay = 128;  // 1.5 s: --compare needs 1.2 s
  testsupport::makeWave(dir, "whole.wav", 44100, 16, frames, "sine:440:-8+sine:3300:-20+noise:-40",
                        "sine:523:-9+sine:2500:-22+noise:-40");
  ASSERT_EQ(0, runProgram("/usr/bin/sox", {"whole.wav", "a.wav", "trim", "0", std::to_string(half) + "s"},
                          dir.path()).exitStatus);
  ASSERT_EQ(0, runProgram("/usr/bin/sox", {"whole.wav", "b.wav", "trim", std::to_string(half) + "s"},
                          dir.path()).exitStatus);
  for (const bool aligned : {true, false}) {
    SCOPED_TRACE(aligned ? "/a" : "without /a");
    const std::string tail = aligned ? "_a.dff" : ".dff";
    for (const char* part : {"whole", "a", "b"}) {
      std::vector<std::string> args = {std::string(part) + ".wav", part + tail, "/DSD128"};
      if (aligned) args.push_back("/a");
      ASSERT_EQ(0, testsupport::convertIn(dir, args).exitStatus);
    }
    // 130 header bytes, then frames x 64 bits per channel.
    EXPECT_EQ(130u + frames * 128 / 8 * 2, testsupport::readFileBytes(dir.file("whole" + tail)).size());
    const std::map<std::string, double> compared =
        reportOn(dir.file("whole" + tail), {"--compare", dir.file("whole.wav")}, {"delay"});
    EXPECT_NEAR(aligned ? 0.0 : delay / 44.1, compared.at("delay"), 0.1 / 44.1);  // ms

    const char* join =
        "import sys; sys.path.insert(0, sys.argv[1])\n"
        "import numpy as np\n"
        "from pulsemill_report import DsdFile, decode_exact_at\n"
        "def dec(path):\n"
        "    f = DsdFile(path); f.check()\n"
        "    return decode_exact_at(f.read, f.rate, 44100, 0, f.samples // 128)\n"
        "whole, a, b = (dec(p) for p in sys.argv[2:5])\n"
        "cut, d = a.shape[1], int(sys.argv[5])\n"
        "diff = np.hstack((a, b)) - whole\n"
        "keep = np.ones(whole.shape[1], bool); keep[cut - d:cut + d] = False\n"
        "db = lambda m: 10 * np.log10(np.mean(diff[:, m] ** 2) / np.mean(whole[:, m] ** 2))\n"
        "print(db(keep), db(~keep))\n";
    const RunResult r = runProgram(kPython, {"-c", join, PULSEMILL_TOOLS_DIR, dir.file("whole" + tail),
                                             dir.file("a" + tail), dir.file("b" + tail),
                                             std::to_string(delay)});
    ASSERT_EQ(0, r.exitStatus) << r.err;
    double outside = 0.0, inside = 0.0;
    ASSERT_EQ(2, std::sscanf(r.out.c_str(), "%lf %lf", &outside, &inside)) << r.out;
    // Outside the window only the two modulations' noise differs (-109 dB
    // measured); without /a the join spreads past it (-79 dB). Inside, the
    // halves lack each other's filter tails either way.
    if (aligned) {
      EXPECT_LT(outside, -100.0);
    } else {
      EXPECT_GT(outside, -90.0);
    }
    EXPECT_GT(inside, -50.0);
  }
}

// Aligned output is the plain output moved earlier by the filter's delay
// (here 4096 taps / (2 x 64) = 32 frames, 256 bytes per channel) and
// followed by the modulated flush, whatever the block size: for inputs
// shorter than the delay, of one frame and of none too.
TEST(ConversionE2EAligned, IsThePlainOutputMovedEarlier) {
  TempDir dir;
  const std::size_t header = 130, drop = 2 * 32 * 64 / 8;
  for (const int frames : {0, 1, 31, 1025}) {
    SCOPED_TRACE(frames);
    testsupport::makeWave(dir, "in.wav", 44100, 16, frames, "sine:1000:-6", "sine:1500:-10");
    std::vector<std::vector<std::uint8_t>> data;
    for (const std::vector<std::string>& more :
         {std::vector<std::string>{}, {"/a"}, {"/a", "/s:512"}, {"/a", "/s:2048"}}) {
      std::vector<std::string> args = {"in.wav", "out.dff", "/DSD64", "/t:4096"};
      args.insert(args.end(), more.begin(), more.end());
      ASSERT_EQ(0, testsupport::convertIn(dir, args).exitStatus);
      const std::vector<std::uint8_t> bytes = testsupport::readFileBytes(dir.file("out.dff"));
      ASSERT_EQ(header + frames * 64 / 8 * 2, bytes.size());
      data.emplace_back(bytes.begin() + header, bytes.end());
    }
    EXPECT_EQ(data[1], data[2]);
    EXPECT_EQ(data[1], data[3]);
    if (data[0].size() > drop) {
      EXPECT_TRUE(std::equal(data[0].begin() + drop, data[0].end(), data[1].begin()));
    }
  }
}
