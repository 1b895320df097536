// Start-up: rate resolution, the diagnostic prefix, and runs of the built
// program up to its parameter line (open failures, same-file refusal,
// rejected headers, usage).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "app/rate_choice.h"
#include "app/run_driver.h"
#include "timing_line.h"
#include "base/kernel_isa.h"
#include "test_support.h"

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::fileExists;
using testsupport::readFileBytes;
using testsupport::runProgram;

namespace {

const int kGivenTaps[] = {2048, 4096, 8192, 16384, 32768, 65536};

struct RateRow {
  std::vector<std::uint32_t> rates;
  int requested;
  int dsdRate;
  int ratio;
  int defaultTaps;
  int tapFloor;  // a given T below this is raised to it (0: T is used unchanged)
};

// One row per line of the rate table; "any other" rates are represented by
// the common rates and by neighbours of the special ones.
const std::vector<std::uint32_t> kSpecial4x = {176400, 192000};
const std::vector<std::uint32_t> kSpecial2x = {88200, 96000};
const std::vector<std::uint32_t> kOther = {44100, 48000, 8000, 22050, 32000, 88201,
                                           95999, 176399, 192001, 352800, 384000, 8388607};

const RateRow kRateTable[] = {
    {kSpecial4x, 64, 256, 64, 4096, 0},    {kSpecial4x, 128, 256, 64, 4096, 0},
    {kSpecial4x, 256, 256, 64, 4096, 0},   {kSpecial2x, 64, 128, 64, 32768, 0},
    {kSpecial2x, 128, 128, 64, 32768, 0},  {kSpecial2x, 256, 256, 128, 32768, 0},
    {kOther, 64, 64, 64, 32768, 0},        {kOther, 128, 128, 128, 32768, 4096},
    {kOther, 256, 256, 256, 32768, 8192},
    // DSD512 keeps the DSD256 row's taps per phase, with a floor of 32 per phase.
    {kSpecial4x, 512, 512, 128, 8192, 4096}, {kSpecial2x, 512, 512, 256, 65536, 8192},
    {kOther, 512, 512, 512, 65536, 16384},
};

// A stereo file from the generator, `frames` frames of a quiet sine.
std::string makeWave(const TempDir& dir, const std::string& name, std::uint32_t rate, int bits,
                     int frames) {
  const std::string path = dir.file(name);
  RunResult r = runProgram(WAVEGEN_BINARY,
                           {path, "--rate", std::to_string(rate), "--bits", std::to_string(bits),
                            "--frames", std::to_string(frames), "--both", "sine:440:-20"});
  if (r.exitStatus != 0) ADD_FAILURE() << "wavegen failed: " << r.err;
  return path;
}

// The header report of a generator file (format chunk, then data).
std::string headerReport(std::uint32_t rate, int bits, int frames) {
  const unsigned blockAlign = bits == 16 ? 4 : 6;
  const unsigned long dataSize = static_cast<unsigned long>(frames) * blockAlign;
  return "[RIFF] (" + std::to_string(36 + dataSize) + " bytes)\n" +
         "[WAVEfmt ] (16 bytes)\n"
         "  Data type = 1 (1 = PCM)\n"
         "  Number of channels = 2 (1 = mono, 2 = stereo)\n"
         "  Sampling rate = " + std::to_string(rate) + "Hz\n" +
         "  Bytes per sample = " + std::to_string(blockAlign) + "\n" +
         "[data] (" + std::to_string(dataSize) + " bytes)\n";
}

const char kUsageFirstLine[] = "Pulsemill  - Version1.5 - \n";

}  // namespace

TEST(Startup, RateTableRowByRow) {
  for (const RateRow& row : kRateTable) {
    for (std::uint32_t rate : row.rates) {
      SCOPED_TRACE("rate " + std::to_string(rate) + " /DSD" + std::to_string(row.requested));
      pulsemill::RateChoice c = pulsemill::resolveRateAndTaps(rate, row.requested, 0);
      EXPECT_EQ(row.dsdRate, c.dsdRate);
      EXPECT_EQ(row.ratio, c.oversampleRatio);
      EXPECT_EQ(row.defaultTaps, c.tapCount);
      for (int taps : kGivenTaps) {
        SCOPED_TRACE("T = " + std::to_string(taps));
        c = pulsemill::resolveRateAndTaps(rate, row.requested, taps);
        EXPECT_EQ(row.dsdRate, c.dsdRate);
        EXPECT_EQ(row.ratio, c.oversampleRatio);
        EXPECT_EQ(taps < row.tapFloor ? row.tapFloor : taps, c.tapCount);
        // The filter is split into `ratio` phases of equal length.
        EXPECT_EQ(0, c.tapCount % c.oversampleRatio);
      }
    }
  }
}

// GNU-style rates: below 44.1 kHz the ratio reaches the family's DSD rate
// (at most 512, with a warning); outside both families the slash rule with
// a warning; from 44.1 kHz up the slash rule itself.
TEST(Startup, FamilyRateRowByRow) {
  const struct {
    std::uint32_t rate;
    int requested, taps;  // taps 0: not given
    int dsdRate, ratio, tapCount;
    const char* warning;
  } rows[] = {
      {22050, 64, 0, 64, 128, 32768, ""},
      {22050, 64, 2048, 64, 128, 4096, ""},
      {22050, 256, 0, 256, 512, 65536, ""},
      {22050, 512, 2048, 256, 512, 16384,
       "DSD512 asked, DSD256 given (22050 Hz input: ratio 512 at most)"},
      {11025, 64, 0, 64, 256, 32768, ""},
      {11025, 128, 8192, 128, 512, 16384, ""},
      {11025, 256, 0, 128, 512, 65536,
       "DSD256 asked, DSD128 given (11025 Hz input: ratio 512 at most)"},
      {24000, 128, 0, 128, 256, 32768, ""},
      {12000, 64, 65536, 64, 256, 65536, ""},
      {12000, 512, 0, 128, 512, 65536,
       "DSD512 asked, DSD128 given (12000 Hz input: ratio 512 at most)"},
      {6000, 64, 0, 64, 512, 65536, ""},
      {32000, 128, 2048, 128, 128, 4096,
       "32000 Hz input gives 4096000 Hz DSD, not a standard DSD rate"},
      {37800, 64, 0, 64, 64, 32768, "37800 Hz input gives 2419200 Hz DSD, not a standard DSD rate"},
      {3000, 64, 0, 64, 64, 32768, "3000 Hz input gives 192000 Hz DSD, not a standard DSD rate"},
  };
  std::string warning;
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.rate) + " Hz, --rate " + std::to_string(row.requested));
    const pulsemill::RateChoice c =
        pulsemill::resolveFamilyRate(row.rate, row.requested, row.taps, warning);
    EXPECT_EQ(row.dsdRate, c.dsdRate);
    EXPECT_EQ(row.ratio, c.oversampleRatio);
    EXPECT_EQ(row.tapCount, c.tapCount);
    EXPECT_EQ(row.warning, warning);
  }
  pulsemill::RunSettings slash;  // the slash grammar keeps its rule, and says nothing
  slash.dsdRate = 64;
  EXPECT_EQ(64, pulsemill::resolveRunRate(slash, 22050, warning).oversampleRatio);
  EXPECT_EQ("", warning);
  for (const std::uint32_t rate : {44100u, 48000u, 88200u, 96000u, 176400u, 192000u, 352800u}) {
    for (const int requested : {64, 128, 256, 512}) {
      for (const int taps : {0, 2048}) {
        SCOPED_TRACE(std::to_string(rate) + " Hz, --rate " + std::to_string(requested));
        const pulsemill::RateChoice a = pulsemill::resolveFamilyRate(rate, requested, taps, warning);
        const pulsemill::RateChoice b = pulsemill::resolveRateAndTaps(rate, requested, taps);
        EXPECT_EQ(b.dsdRate, a.dsdRate);
        EXPECT_EQ(b.oversampleRatio, a.oversampleRatio);
        EXPECT_EQ(b.tapCount, a.tapCount);
        EXPECT_EQ("", warning);
      }
    }
  }
}

TEST(Startup, DebugPrefixNamesRateAndTaps) {
  EXPECT_EQ("C:\\TEMP\\DSD256_T32768_", pulsemill::formatDebugPrefix(256, 32768));
  EXPECT_EQ("C:\\TEMP\\DSD64_T2048_", pulsemill::formatDebugPrefix(64, 2048));
  EXPECT_EQ("C:\\TEMP\\DSD128_T65536_", pulsemill::formatDebugPrefix(128, 65536));
}

TEST(StartupRun, ProgramPrintsNameHeaderReportAndParameterLine) {
  const struct {
    std::uint32_t rate;
    int bits;
    std::vector<std::string> options;
    const char* parameterLine;
  } cases[] = {
      {44100, 16, {}, "DSD256: Oversample[256] Sample[1024] Tap[32768] KaiserAlpha[10.000000]"},
      {48000, 24, {"/DSD64", "/t:2048", "/k:0"},
       "DSD64: Oversample[64] Sample[1024] Tap[2048] KaiserAlpha[8.000000]"},
      {44100, 16, {"/DSD128", "/t:2048", "/s:513", "/k:4.5"},
       "DSD128: Oversample[128] Sample[1024] Tap[4096] KaiserAlpha[4.500000]"},
      {96000, 24, {"/dsd64", "/T:2048", "/S:100"},
       "DSD128: Oversample[64] Sample[512] Tap[2048] KaiserAlpha[10.000000]"},
      {192000, 16, {"/DSD64", "/s:4096"},
       "DSD256: Oversample[64] Sample[2048] Tap[4096] KaiserAlpha[10.000000]"},
  };
  const int frames = 300;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameterLine);
    TempDir dir;
    const std::string input = makeWave(dir, "in.wav", c.rate, c.bits, frames);
    std::vector<std::string> args{input};
    args.insert(args.end(), c.options.begin(), c.options.end());
    RunResult r = runProgram(PULSEMILL_BINARY, args);
    const std::string expected = "finename = '" + input + "'\n" +
                                 headerReport(c.rate, c.bits, frames) + "\n" +
                                 c.parameterLine + "\n";
    EXPECT_EQ(expected, r.out.substr(0, expected.size())) << r.out;
  }
}

TEST(StartupRun, InputThatCannotBeOpenedEndsWithStatusOne) {
  TempDir dir;
  const std::string missing = dir.file("missing.wav");
  RunResult r = runProgram(PULSEMILL_BINARY, {missing});
  EXPECT_EQ(1, r.exitStatus);
  EXPECT_EQ("Can not open " + missing + "\n", r.out);
  EXPECT_EQ("pulsemill: " + missing + ": No such file or directory\n", r.err);
  EXPECT_FALSE(fileExists(dir.file("missing.dff")));
}

TEST(StartupRun, OutputNamingTheInputIsRefused) {
  TempDir dir;
  const std::string input = makeWave(dir, "in.wav", 44100, 16, 1000);
  const std::vector<std::uint8_t> before = readFileBytes(input);
  ASSERT_EQ(0, symlink(input.c_str(), dir.file("soft.dff").c_str()));
  ASSERT_EQ(0, link(input.c_str(), dir.file("hard.dff").c_str()));

  const std::vector<std::string> outputs = {input, dir.path() + "/./in.wav",
                                            dir.file("soft.dff"), dir.file("hard.dff")};
  for (const std::string& output : outputs) {
    SCOPED_TRACE(output);
    RunResult r = runProgram(PULSEMILL_BINARY, {input, output, "/DSD64", "/t:2048"});
    EXPECT_EQ(1, r.exitStatus);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Input and output are the same file: " + output + "\n", r.err);
    EXPECT_EQ(before, readFileBytes(input));
  }
  // Also when the derived name is the input itself (input already named .dff).
  ASSERT_EQ(0, rename(input.c_str(), dir.file("in.dff").c_str()));
  RunResult r = runProgram(PULSEMILL_BINARY, {dir.file("in.dff")});
  EXPECT_EQ(1, r.exitStatus);
  EXPECT_EQ("Input and output are the same file: " + dir.file("in.dff") + "\n", r.err);
  EXPECT_EQ(before, readFileBytes(dir.file("in.dff")));
}

// With "/d", a diagnostic file that would replace the input ends the run
// after the parameter line, before any file is written.
TEST(StartupRun, DiagnosticFileNamingTheInputIsRefused) {
  TempDir dir;
  const std::string wave = makeWave(dir, "in.wav", 44100, 16, 1000);
  const std::vector<std::uint8_t> before = readFileBytes(wave);
  for (const char* suffix :
       {"CalcFIRCoeff.txt", "KiaserFIRCoeff.txt", "FreqGain.txt", "7ThNoiseShaper.sce"}) {
    const std::string name = std::string("C:\\TEMP\\DSD64_T2048_") + suffix;
    SCOPED_TRACE(name);
    ASSERT_EQ(0, rename(wave.c_str(), dir.file(name).c_str()));
    RunResult r = runProgram(PULSEMILL_BINARY, {name, "/DSD64", "/t:2048", "/d"}, dir.path());
    EXPECT_EQ(1, r.exitStatus);
    EXPECT_EQ("finename = '" + name + "'\n" + headerReport(44100, 16, 1000) +
                  "\nDSD64: Oversample[64] Sample[1024] Tap[2048] KaiserAlpha[10.000000]\n",
              r.out);
    EXPECT_EQ("Input and output are the same file: " + name + "\n", r.err);
    EXPECT_EQ(before, readFileBytes(dir.file(name)));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()),
                               std::filesystem::directory_iterator()));
    ASSERT_EQ(0, rename(dir.file(name).c_str(), wave.c_str()));
  }
}

// PULSEMILL_ISA forces a kernel variant; a value that is not one, or one the
// CPU cannot run, ends the run before the input is even opened.
TEST(StartupRun, KernelVariantOverride) {
  for (const char* name :
       {"generic", "x86-64-v3", "x86-64-v4", "x86-64-v4-256", "avx512", "X86-64-V3", ""}) {
    SCOPED_TRACE(name);
    pulsemill::KernelIsa isa = pulsemill::KernelIsa::Generic;
    bool forced = false;
    const pulsemill::Status status = pulsemill::chooseKernelIsa(name, isa, forced);
    EXPECT_EQ(*name != '\0', forced);
    bool known = false;
    for (pulsemill::KernelIsa candidate :
         {pulsemill::KernelIsa::Generic, pulsemill::KernelIsa::X86_64_V3,
          pulsemill::KernelIsa::X86_64_V4, pulsemill::KernelIsa::X86_64_V4_256}) {
      if (std::string(name) != pulsemill::isaName(candidate)) continue;
      known = true;
      if (pulsemill::isaSupported(candidate)) {
        EXPECT_TRUE(status.ok());
        EXPECT_EQ(candidate, isa);
      } else {
        EXPECT_EQ(pulsemill::StatusCode::IsaUnsupported, status.code());
      }
    }
    if (*name == '\0') {
      EXPECT_TRUE(status.ok());  // empty: as if unset
      EXPECT_EQ(pulsemill::bestKernelIsa(), isa);
    } else if (!known) {
      EXPECT_EQ(pulsemill::StatusCode::IsaUnknown, status.code());
      EXPECT_EQ(name, status.detail());
    }
  }
  TempDir dir;
  RunResult r = runProgram(PULSEMILL_BINARY, {dir.file("missing.wav")}, "", {"PULSEMILL_ISA=avx512"});
  EXPECT_EQ(1, r.exitStatus);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("PULSEMILL_ISA=avx512 is not a kernel variant (generic, x86-64-v3, x86-64-v4, "
            "x86-64-v4-256)\n",
            r.err);
}

TEST(StartupRun, RejectedHeaderEndsAfterTheReasonWithoutOutput) {
  TempDir dir;
  // A mono file: the header report stops at the channel line.
  std::vector<std::uint8_t> mono = {'R', 'I', 'F', 'F', 40, 0, 0, 0, 'W', 'A', 'V', 'E',
                                    'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
                                    0x44, 0xAC, 0, 0, 0x88, 0x58, 1, 0, 2, 0, 16, 0,
                                    'd', 'a', 't', 'a', 4, 0, 0, 0, 1, 2, 3, 4};
  const std::string input = dir.file("mono.wav");
  testsupport::writeFileBytes(input, mono);
  RunResult r = runProgram(PULSEMILL_BINARY, {input});
  EXPECT_EQ(1, r.exitStatus);
  EXPECT_EQ("finename = '" + input + "'\n" +
                "[RIFF] (40 bytes)\n"
                "[WAVEfmt ] (16 bytes)\n"
                "  Data type = 1 (1 = PCM)\n"
                "  Number of channels = 1 (1 = mono, 2 = stereo)\n"
                "Not Suppoer channels\n",
            r.out);
  EXPECT_FALSE(fileExists(dir.file("mono.dff")));

  // A file cut inside the RIFF size: fatal read error on standard error.
  const std::string cut = dir.file("cut.wav");
  testsupport::writeFileBytes(cut, {'R', 'I', 'F', 'F', 1, 0});
  r = runProgram(PULSEMILL_BINARY, {cut});
  EXPECT_EQ(1, r.exitStatus);
  EXPECT_EQ("finename = '" + cut + "'\n", r.out);
  EXPECT_EQ(" read error : 6\npulsemill: " + cut + ": unexpected end of file\n", r.err);
  EXPECT_FALSE(fileExists(dir.file("cut.dff")));
}

TEST(StartupRun, WarningsGoToStandardErrorAndChangeNothingElse) {
  TempDir dir;
  testsupport::makeWave(dir, "in.wav", 44100, 16, 3000, "sine:1000:-6", "silence");
  RunResult plain = testsupport::convertIn(dir, {"in.wav", "a.dff", "/DSD64", "/t:2048"});
  RunResult warned = testsupport::convertIn(dir, {"in.wav", "b.dff", "/DSD64", "/t:x", "c.dff", "/z"});
  EXPECT_EQ(plain.exitStatus, warned.exitStatus);
  EXPECT_EQ(testsupport::reduceTimingLines(plain.out), testsupport::reduceTimingLines(warned.out));
  EXPECT_EQ("pulsemill: '/t:x' has no number; read as 2048\n"
            "pulsemill: ignored argument 'c.dff'\npulsemill: ignored argument '/z'\n",
            warned.err);
  EXPECT_EQ(testsupport::readFileBytes(dir.file("a.dff")), testsupport::readFileBytes(dir.file("b.dff")));
}

TEST(StartupRun, WrongArgumentsPrintUsageAndEndWithStatusOne) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"/r"},
      {"/DSD64", "out.dff"},
      {"a.wav", "b.dff", "/r", "/d", "/p:1", "/n:1", "/k:9", "/t:4096", "/s:512", "/DSD64"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.size());
    RunResult r = runProgram(PULSEMILL_BINARY, args);
    EXPECT_EQ(1, r.exitStatus);
    EXPECT_EQ(0u, r.out.find(kUsageFirstLine));
    EXPECT_EQ(15, std::count(r.out.begin(), r.out.end(), '\n'));
  }
}

// The automatic gain's next step: the peak an overloaded attempt saw
// brought to the stable level, on the 0.5 dB grid, at least a step lower,
// never below -12 dB.
TEST(AutomaticGain, NextStepFromThePeak) {
  EXPECT_EQ(-1.0, pulsemill::nextAutoGain(0.0, 0.5, 0.47));    // -0.54 dB -> -1
  EXPECT_EQ(-0.5, pulsemill::nextAutoGain(0.0, 0.47, 0.47));   // already there: one step
  EXPECT_EQ(-2.5, pulsemill::nextAutoGain(-2.0, 0.4, 0.47));   // below the level: one step
  EXPECT_EQ(-6.5, pulsemill::nextAutoGain(-1.0, 0.885, 0.47)); // -5.5 dB more -> -6.5
  EXPECT_EQ(-12.0, pulsemill::nextAutoGain(-11.5, 0.9, 0.47));
  EXPECT_EQ(-1.0, pulsemill::nextAutoGain(-0.5, 0.0, 0.47));   // nothing seen: one step
}
