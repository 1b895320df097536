// An independent reader: ffmpeg decodes the produced DSDIFF files back to
// PCM, and the report tool's measure (tools/pulsemill_report.py: numpy and
// scipy, Kaiser-windowed FFT) finds the tones in them. This checks what no byte comparison with our own
// output can: that the bit stream is a DSD signal carrying the input, with
// left and right in their places, the right polarity and level, and the
// noise shaped out of the audio band. The report tool's own double-precision
// decoder is checked here too, against ffmpeg.
//
// ffmpeg and Debian's /usr/bin/python3 with python3-numpy and python3-scipy
// are required; without them these tests fail (CI installs them).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::fileExists;
using testsupport::reportFigure;
using testsupport::runProgram;

namespace {

const char kPython[] = "/usr/bin/python3";
const std::string kReport = std::string(PULSEMILL_TOOLS_DIR) + "/pulsemill_report.py";
// The tests' tone measure, built on the report tool's analysis.
const std::string kToneMeasure = std::string(PULSEMILL_SOURCE_DIR) + "/tests/tone_measure.py";

// Decoded tone level in dBFS for a tone of `toneDbfs` (relative to the
// 24-bit integer full scale 8388607) converted with ratio L and offset n.
// The converter maps a sample word u to u / 16777215, so full scale comes
// out at 8388607 / 16777215, about 0.5 (-6.02 dB); the interpolator scales
// by (L + n) / L relative to unity gain; and ffmpeg's DSD decoder (then its
// resampler to 88200 Hz) maps a one-bit stream of +-1 to +-full scale with
// unity gain in the audio band: measured within 0.01 dB of this formula at
// all three rates, e.g. a -6 dBFS tone at DSD64, offset -16, decodes at
// -14.519 dBFS = -6 - 6.021 - 2.499.
double expectedDecodedDb(double toneDbfs, int ratio, int offset) {
  return toneDbfs + 20.0 * std::log10(8388607.0 / 16777215.0) +
         20.0 * std::log10(static_cast<double>(ratio + offset) / ratio);
}

struct ChannelMeasure {
  double levelDbfs = 0.0;
  double snrDb = 0.0;
  double mean = 0.0;  // DC, as a fraction of full scale
};

std::string findFfmpeg() {
  if (fileExists("/usr/bin/ffmpeg")) return "/usr/bin/ffmpeg";
  RunResult r = runProgram("/bin/sh", {"-c", "command -v ffmpeg"});
  std::string path = r.out.substr(0, r.out.find('\n'));
  return r.exitStatus == 0 ? path : "";
}

class DecodedByFfmpeg : public ::testing::Test {
 protected:
  void SetUp() override {
    ffmpeg_ = findFfmpeg();
    ASSERT_FALSE(ffmpeg_.empty()) << "ffmpeg not found: install Debian's ffmpeg";
    RunResult py = runProgram(kPython, {"-c", "import numpy, scipy.signal, scipy.io.wavfile"});
    ASSERT_EQ(py.exitStatus, 0) << kPython << " with numpy and scipy is needed "
                                << "(Debian: python3-numpy python3-scipy): " << py.err;
  }

  void generate(const std::string& name, const std::vector<std::string>& signal) {
    std::vector<std::string> args = {dir_.file(name), "--rate", "44100", "--bits", "24",
                                     "--seconds", "0.6"};
    args.insert(args.end(), signal.begin(), signal.end());
    RunResult r = runProgram(WAVEGEN_BINARY, args);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  }

  // Converts in.wav with `options`, decodes the result with ffmpeg to
  // 32-bit PCM at 88200 Hz.
  void convertAndDecode(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"in.wav", "out.dff"};
    args.insert(args.end(), options.begin(), options.end());
    RunResult c = runProgram(PULSEMILL_BINARY, args, dir_.path());
    ASSERT_EQ(c.exitStatus, 0) << c.err;
    RunResult d = runProgram(ffmpeg_, {"-nostdin", "-v", "error", "-y", "-i", dir_.file("out.dff"),
                                       "-ar", "88200", "-c:a", "pcm_s32le", dir_.file("dec.wav")});
    ASSERT_EQ(d.exitStatus, 0) << d.err;
  }

  // music.wav, a music-like 24-bit file of 1.5 s, converted at DSD64
  // (/t:4096) to music.dff and music.dsf.
  void makeMusic() {
    testsupport::makeWave(dir_, "music.wav", 44100, 24, 66150, "sine:440:-8+sine:3300:-20+noise:-40",
                          "sine:523:-9+sine:2500:-22+noise:-40");
    for (const char* out : {"music.dff", "music.dsf"}) {
      RunResult c = runProgram(PULSEMILL_BINARY, {"music.wav", out, "/DSD64", "/t:4096"}, dir_.path());
      ASSERT_EQ(0, c.exitStatus) << c.err;
    }
  }

  // Measures the tone `leftHz` on the left and `rightHz` on the right
  // channel of the decoded file: 0.4 s from 0.1 s on.
  void analyze(double leftHz, double rightHz, ChannelMeasure (&m)[2]) {
    RunResult r = runProgram(kPython, {kToneMeasure, PULSEMILL_TOOLS_DIR, dir_.file("dec.wav"), "--freq",
                                       std::to_string(leftHz), "--freq-right",
                                       std::to_string(rightHz), "--skip", "0.1", "--length", "0.4"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::istringstream lines(r.out);
    for (int ch = 0; ch < 2; ++ch) {
      std::string line;
      ASSERT_TRUE(std::getline(lines, line)) << r.out;
      int channel = -1;
      double freq = 0.0;
      ASSERT_EQ(std::sscanf(line.c_str(), "channel %d freq %lf level_dbfs %lf snr_db %lf mean %lf",
                            &channel, &freq, &m[ch].levelDbfs, &m[ch].snrDb, &m[ch].mean),
                5)
          << line;
      ASSERT_EQ(channel, ch);
    }
  }

  TempDir dir_;
  std::string ffmpeg_;
};

struct RateCase {
  const char* option;
  int ratio;
  int offset;
};

// Offsets other than 0 check that the interpolation gain reaches the level.
// /t:4096 keeps the runs short (DSD256 at 44.1 kHz raises it to 8192 taps).
const RateCase kLevelRates[] = {{"/DSD64", 64, -16}, {"/DSD128", 128, 0}, {"/DSD256", 256, 16}};

struct SnrCase {
  const char* option;
  int ratio;
  double floorDb;  // a little below the figure measured on a correct build
};

const SnrCase kSnrRates[] = {{"/DSD64", 64, 119.5}, {"/DSD128", 128, 123.0}, {"/DSD256", 256, 125.0}};

}  // namespace

// Left: 1 kHz at -6 dBFS over a positive DC of 2^20; right: 1.5 kHz at
// -10 dBFS over a negative DC of 2^20. Each tone must come out on its own
// channel at the expected level (0.5 dB), the other channel's tone must be
// absent, and the DC must keep its sign and size (polarity: a converter
// that inverts the bits would flip both).
TEST_F(DecodedByFfmpeg, TonesKeepTheirChannelLevelAndPolarity) {
  generate("in.wav", {"--left", "sine:1000:-6+const:1048576", "--right", "sine:1500:-10+const:-1048576"});
  for (const RateCase& rc : kLevelRates) {
    SCOPED_TRACE(rc.option);
    const std::string offset = "/n:" + std::to_string(rc.offset);
    convertAndDecode({rc.option, "/t:4096", offset});
    ChannelMeasure own[2], other[2];
    analyze(1000.0, 1500.0, own);
    analyze(1500.0, 1000.0, other);

    const double gain = static_cast<double>(rc.ratio + rc.offset) / rc.ratio;
    EXPECT_NEAR(own[0].levelDbfs, expectedDecodedDb(-6.0, rc.ratio, rc.offset), 0.5);
    EXPECT_NEAR(own[1].levelDbfs, expectedDecodedDb(-10.0, rc.ratio, rc.offset), 0.5);
    EXPECT_LT(other[0].levelDbfs, -120.0) << "1.5 kHz leaks into the left channel";
    EXPECT_LT(other[1].levelDbfs, -120.0) << "1 kHz leaks into the right channel";

    const double expectedDc = 1048576.0 / 16777215.0 * gain;
    EXPECT_GT(own[0].mean, 0.0);
    EXPECT_LT(own[1].mean, 0.0);
    EXPECT_NEAR(20.0 * std::log10(own[0].mean / expectedDc), 0.0, 0.5);
    EXPECT_NEAR(20.0 * std::log10(-own[1].mean / expectedDc), 0.0, 0.5);
  }
}

// In-band (20 Hz - 20 kHz) SNR of a -6 dBFS 1 kHz 24-bit tone after
// decoding, at offset 0; everything in the band but the tone's own bins
// counts as noise. Measured on a correct build with /t:4096: DSD64
// 121.8 dB, DSD128 125.4 dB, DSD256 127.5 dB (default taps: 122.1, 125.1,
// 127.5). Shaper zeros that are off by rounding give about 100 dB; a
// broken modulator or bit packing far less. The report tool on the DSD file
// itself (its exact decoder) finds the same tone 6.02 dB higher (dB SA-CD)
// and at least that SNR (its noise leaves out the harmonics too), and draws
// a picture.
TEST_F(DecodedByFfmpeg, InBandSnrOfMinus6dBFsTone) {
  generate("in.wav", {"--both", "sine:1000:-6"});
  for (const SnrCase& sc : kSnrRates) {
    SCOPED_TRACE(sc.option);
    convertAndDecode({sc.option, "/t:4096"});
    ChannelMeasure m[2];
    analyze(1000.0, 1000.0, m);
    for (int ch = 0; ch < 2; ++ch) {
      std::printf("[ SNR      ] %s %s: %.2f dB at %.3f dBFS\n", sc.option, ch ? "right" : "left",
                  m[ch].snrDb, m[ch].levelDbfs);
      RecordProperty(std::string(sc.option + 1) + (ch ? "_right" : "_left") + "_snr_db",
                     std::to_string(m[ch].snrDb));
      EXPECT_GE(m[ch].snrDb, sc.floorDb);
      EXPECT_NEAR(m[ch].levelDbfs, expectedDecodedDb(-6.0, sc.ratio, 0), 0.5);
    }
    const std::string figures = testsupport::runReport({dir_.file("out.dff"), "--start", "0.1", "--seconds", "0.4",
                                        "--png", dir_.file("out.png")});
    for (const char* ch : {"left", "right"}) {
      EXPECT_NEAR(reportFigure(figures, ch, "tone_freq"), 1000.0, 0.5);
      EXPECT_NEAR(reportFigure(figures, ch, "tone_level"),
                  expectedDecodedDb(-6.0, sc.ratio, 0) + 6.0206, 1.0);
      EXPECT_GE(reportFigure(figures, ch, "snr"), sc.floorDb);
    }
    // A PNG of 1000 x 640 pixels.
    const std::vector<std::uint8_t> png = testsupport::readFileBytes(dir_.file("out.png"));
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(std::string("\x89PNG\r\n\x1a\n"), std::string(png.begin(), png.begin() + 8));
    auto be32 = [&](std::size_t at) { return png[at] << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3]; };
    EXPECT_EQ(1000, be32(16));
    EXPECT_EQ(640, be32(20));
  }
  // Anything but DSDIFF or DSF is refused in one line.
  RunResult refused = runProgram(kPython, {kReport, dir_.file("in.wav")});
  EXPECT_EQ(1, refused.exitStatus);
  EXPECT_EQ("pulsemill-report: " + dir_.file("in.wav") + " is not a DSDIFF or DSF file\n",
            refused.err);
}

// The report's comparison with the source: a music-like 24-bit file kept
// at its level, and the difference after alignment far below the music.
TEST_F(DecodedByFfmpeg, ReportComparesWithTheSource) {
  makeMusic();
  const std::string figures = testsupport::runReport({dir_.file("music.dff"), "--compare", dir_.file("music.wav")});
  for (const char* ch : {"left", "right"}) {
    EXPECT_NEAR(reportFigure(figures, ch, "level_difference"), 0.0, 0.1) << figures;
    EXPECT_LT(reportFigure(figures, ch, "residual"), -60.0) << figures;
  }
}

// The report's exact decoder: an ideal -6 dB sine comes out of it with the
// in-band noise of double precision and no delay (0.01 sample at 352.8
// kHz); on a converted file it finds ffmpeg's tone level, and with each
// decoder's own delay taken off (ffmpeg's a few microseconds, its own nil)
// both find the same file delay; a DSF file of the same bits reads alike.
TEST_F(DecodedByFfmpeg, ExactDecoderAgreesWithFfmpegLessItsDelay) {
  const std::string floor = testsupport::runReport({"--decoder-floor", "11289600", "--seconds", "0.5"});
  makeMusic();
  const std::string exact = testsupport::runReport({dir_.file("music.dff"), "--compare", dir_.file("music.wav")});
  const std::string ffmpeg = testsupport::runReport({dir_.file("music.dff"), "--compare", dir_.file("music.wav"),
                                     "--decoder", "ffmpeg"});
  const std::string dsf = testsupport::runReport({dir_.file("music.dsf"), "--compare", dir_.file("music.wav")});
  const double sample = 1e6 / 44100.0;  // us
  for (const char* ch : {"left", "right"}) {
    EXPECT_GT(reportFigure(floor, ch, "snr"), 170.0) << floor;
    EXPECT_NEAR(reportFigure(floor, ch, "decoder_delay"), 0.0, 0.01 * 1e6 / 352800.0);
    EXPECT_NEAR(reportFigure(exact, ch, "tone_level"), reportFigure(ffmpeg, ch, "tone_level"), 0.05);
    EXPECT_NEAR(reportFigure(exact, ch, "decoder_delay"), 0.0, 0.01 * sample) << exact;
    EXPECT_GT(reportFigure(ffmpeg, ch, "decoder_delay"), 5.0) << ffmpeg;
    EXPECT_LT(reportFigure(ffmpeg, ch, "decoder_delay"), 30.0) << ffmpeg;
    EXPECT_NEAR(reportFigure(exact, ch, "delay"), reportFigure(ffmpeg, ch, "delay"), sample / 1000.0);
  }
  EXPECT_EQ(exact.substr(exact.find('\n')), dsf.substr(dsf.find('\n')));
}
