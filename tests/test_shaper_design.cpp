// Noise-shaper design: the pattern table, the coefficients in their fixed
// evaluation order, the debug console lines and the plotting script.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <complex>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "base/diagnostics.h"
#include "shaper/rate_shaper.h"
#include "shaper/shaper_design.h"
#include "test_support.h"

namespace {

using pulsemill::Diagnostics;
using pulsemill::ShaperCoefficients;

struct Row {
  int number;
  double zero1, zero2, zero3;
  const char* line;
};

const Row kRows[] = {
    {1, 0.94, 0.73, 0.41, "NoiseShaper param Zero1=0.94, Zero2=0.73, Zero3=0.41\n\n"},
    {2, 0.95, 0.74, 0.42, "NoiseShaper param Zero1=0.95, Zero2=0.74, Zero3=0.42\n\n"},
    {3, 0.96, 0.76, 0.43, "NoiseShaper param Zero1=0.96, Zero2=0.76, Zero3=0.43\n\n"},
    {4, 0.97, 0.77, 0.43, "NoiseShaper param Zero1=0.97, Zero2=0.77, Zero3=0.43\n\n"},
    {5, 0.98, 0.78, 0.44, "NoiseShaper param Zero1=0.98, Zero2=0.78, Zero3=0.44\n\n"},
};

// Every pattern's coefficients, bit for bit (the modulator's output depends
// on every last bit): forward per pattern; feedback, -0.85^k times the
// binomial coefficients, the same for all.
const double kForward[5][7] = {
    {0x1.0bd29aca89224p+0, -0x1.73bd154f5b3aap+2, 0x1.aef56fdbb207p+3, -0x1.0b10dccb081e2p+4,
     0x1.75382638983bbp+3, -0x1.16caed71a37acp+2, 0x1.5bdd51e3f8629p-1},
    {0x1.0bcbfd5f41174p+0, -0x1.73b4d188e7f42p+2, 0x1.aeed2c9502b78p+3, -0x1.0b0cbb27b0766p+4,
     0x1.753404555e987p+3, -0x1.16c94616d178p+2, 0x1.5bdd51e3f8629p-1},
    {0x1.0bc2e56c0666p+0, -0x1.73a9750bbd03ap+2, 0x1.aee1d0d1316p+3, -0x1.0b070d45c7caap+4,
     0x1.752e5616c9203p+3, -0x1.16c7001a02cbcp+2, 0x1.5bdd51e3f8629p-1},
    {0x1.0bbd6f1f7aaccp+0, -0x1.73a2a1f31893ap+2, 0x1.aedafe1c08f7cp+3, -0x1.0b03a3eb33968p+4,
     0x1.752aec8a76e83p+3, -0x1.16c5a286dfdd6p+2, 0x1.5bdd51e3f8629p-1},
    {0x1.0bb688fd6cb88p+0, -0x1.739a036aba902p+2, 0x1.aed26024b1808p+3, -0x1.0aff54ef87daep+4,
     0x1.75269d4647e67p+3, -0x1.16c3e8fe5c606p+2, 0x1.5bdd51e3f8629p-1},
};
const double kFeedback[7] = {0x1.7cccccccccccdp+2,  -0x1.e5851eb851eb7p+3, 0x1.57e8f5c28f5c2p+4,
                             -0x1.2452d0e560418p+4, 0x1.2a2b8327674d1p+3,  -0x1.51ed0c1b97353p+1,
                             0x1.48455c380f3aep-2};

ShaperCoefficients expectedDesign(int patternIndex) {
  ShaperCoefficients c;
  for (int k = 0; k < 7; ++k) {
    c.forward[k] = kForward[patternIndex][k];
    c.feedback[k] = kFeedback[k];
  }
  return c;
}

ShaperCoefficients design(const Row& row, const Diagnostics& diagnostics = Diagnostics()) {
  ShaperCoefficients c;
  pulsemill::designNoiseShaper(row.zero1, row.zero2, row.zero3, 0.85, c, 64, diagnostics);
  return c;
}

bool sameCoefficients(const ShaperCoefficients& a, const ShaperCoefficients& b) {
  return std::memcmp(a.forward, b.forward, sizeof a.forward) == 0 &&
         std::memcmp(a.feedback, b.feedback, sizeof a.feedback) == 0;
}

// Pattern 2 with the debug switch: the console lines and the script text.
const char kPattern2DebugLines[] =
    "Theta1 = 0.046633015951723\n"
    "Theta2 = 0.036324665057132\n"
    "Theta3 = 0.020616701789183\n"
    "s1 = 1.997825755882281\n"
    "s2 = 1.998680663788013\n"
    "s3 = 1.999574966662634\n"
    "A: -6.99608139,+20.98041129,-34.96082692,+34.96082692,-20.98041129,+6.99608139,-1.00000000\n"
    "B: -5.95000000,+15.17250000,-21.49437500,+18.27021875,-9.31781156,+2.64004661,-0.32057709\n"
    "\n";

const char* const kPattern2Script[] = {
    "z=%z;",
    "H1=(1-z^(-1))*(1-1.99782576*z^(-1)+z^(-2))*(1-1.99868066*z^(-1)+z^(-2))*(1-1.99957497*z^(-1)+z^(-2));",
    "H=(1-6.996081386332927*z^(-1)+20.980411285111742*z^(-2)-34.960826922451353*z^(-3)"
    "+34.960826922451353*z^(-4)-20.980411285111742*z^(-5)+6.996081386332927*z^(-6)"
    "-1.000000000000000*z^(-7));",
    "D=(1-5.950000000000000*z^(-1)+15.172499999999998*z^(-2)-21.494374999999998*z^(-3)"
    "+18.270218749999998*z^(-4)-9.317811562499999*z^(-5)+2.640046609375000*z^(-6)"
    "-0.320577088281250*z^(-7));",
    "sys=syslin(\"d\",H1/D);",
    "clf();f1=scf(0);plzr(sys);f1=scf(1);gainplot(sys,1e-3,1e-1,0.001);",
    "f1=scf(0);",
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// ---------------------------------------------------------------------------

TEST(ShaperPatternTable, EachNumberSelectsItsRowAndPrintsItsLine) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.number);
    const pulsemill::ShaperPattern& pattern = pulsemill::selectShaperPattern(row.number);
    EXPECT_EQ(row.number, pattern.number);
    EXPECT_EQ(row.zero1, pattern.zero1);
    EXPECT_EQ(row.zero2, pattern.zero2);
    EXPECT_EQ(row.zero3, pattern.zero3);
    EXPECT_EQ(0.85, pattern.pole);
    EXPECT_EQ(64, pattern.angleDivisor);
    EXPECT_STREQ(row.line, pattern.line);
    // The run's design from the record is the design of the row's values.
    EXPECT_TRUE(sameCoefficients(design(row), pulsemill::designShaper(pattern, Diagnostics())));
  }
}

TEST(ShaperPatternTable, OtherNumbersSelectPattern2) {
  for (int number : {0, 2, -1, 9, 6, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(number);
    const pulsemill::ShaperPattern& pattern = pulsemill::selectShaperPattern(number);
    EXPECT_STREQ(kRows[1].line, pattern.line);
    EXPECT_EQ(2, pattern.number);
    EXPECT_EQ(0.95, pattern.zero1);
    EXPECT_EQ(0.74, pattern.zero2);
    EXPECT_EQ(0.42, pattern.zero3);
  }
}

TEST(ShaperDesign, Pattern2MatchesTheWorkedValues) {
  const ShaperCoefficients c = design(kRows[1]);
  const double forward[7] = {1.0460813863, -5.8079112851, 13.4664519225, -16.6906081725,
                             11.6625997226, -4.3560347770, 0.6794229117};
  const double feedback[7] = {5.95, -15.1725, 21.494375, -18.27021875,
                              9.3178115625, -2.640046609375, 0.32057708828125};
  for (int k = 0; k < 7; ++k) {
    EXPECT_NEAR(forward[k], c.forward[k], 5e-11) << k;  // printed to 10 decimals
    EXPECT_NEAR(feedback[k], c.feedback[k], 1e-13) << k;  // exact decimals up to rounding
  }
  const double h[7] = {-6.99608139, 20.98041129, -34.96082692, 34.96082692,
                       -20.98041129, 6.99608139, -1.0};
  for (int k = 0; k < 7; ++k) {
    // h and b as the modulator sees them: b = -feedback, h = b - forward.
    const double b = -c.feedback[k];
    EXPECT_NEAR(h[k], b - c.forward[k], 5e-9) << k;
  }
}

TEST(ShaperDesign, AllPatternsBitExact) {
  const ShaperCoefficients first = design(kRows[0]);
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.number);
    const ShaperCoefficients c = design(row);
    EXPECT_TRUE(sameCoefficients(expectedDesign(row.number - 1), c));
    // The pole alone decides feedback and forward[6] = 1 - p^7.
    EXPECT_EQ(0, std::memcmp(first.feedback, c.feedback, sizeof c.feedback));
    EXPECT_EQ(first.forward[6], c.forward[6]);
    EXPECT_NEAR(0.6794229117, c.forward[6], 5e-11);
  }
}

TEST(ShaperDesign, CoefficientsRealiseTheNoiseTransferFunction) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.number);
    const ShaperCoefficients c = design(row);
    auto polynomial = [&](bool numerator, std::complex<double> z) {
      std::complex<double> sum = 1.0, zk = 1.0;
      for (int k = 0; k < 7; ++k) {
        zk /= z;
        const double b = -c.feedback[k];
        sum += (numerator ? b - c.forward[k] : b) * zk;
      }
      return sum;
    };
    // H1: zero at DC and on the unit circle at the pattern's three angles.
    EXPECT_LT(std::abs(polynomial(true, 1.0)), 1e-11);
    for (double zero : {row.zero1, row.zero2, row.zero3}) {
      const double theta = (M_PI / 64) * zero;
      EXPECT_LT(std::abs(polynomial(true, std::polar(1.0, theta))), 1e-10) << zero;
    }
    // H1 at Nyquist: 2 (2 + s1)(2 + s2)(2 + s3), sk = 2 cos(theta k), just
    // below 128.
    double nyquist = 2;
    for (double zero : {row.zero1, row.zero2, row.zero3})
      nyquist *= 2 + 2 * std::cos((M_PI / 64) * zero);
    EXPECT_NEAR(nyquist, std::abs(polynomial(true, -1.0)), 1e-10);
    EXPECT_GT(nyquist, 127.5);
    // D = (1 - 0.85 z^-1)^7.
    for (std::complex<double> z : {std::complex<double>(1.0), std::complex<double>(-1.0),
                                   std::polar(1.3, 0.7)}) {
      const std::complex<double> expected = std::pow(1.0 - 0.85 / z, 7);
      EXPECT_LT(std::abs(polynomial(false, z) - expected), 1e-12) << z;
    }
  }
}

TEST(ShaperDesign, NoOutputWithoutDebug) {
  testsupport::TempDir dir;
  pulsemill::CapturedReport report;
  const Diagnostics diagnostics(dir.path() + "/X_", report);
  const ShaperCoefficients c = design(kRows[1]);
  EXPECT_EQ("", report.both());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  EXPECT_TRUE(sameCoefficients(expectedDesign(1), c));
}

TEST(ShaperDesignDebug, Pattern2ConsoleLinesAndScript) {
  testsupport::TempDir dir;
  pulsemill::CapturedReport report;
  const Diagnostics diagnostics(dir.path() + "/X_", report);
  const ShaperCoefficients c = design(kRows[1], diagnostics);
  EXPECT_EQ(kPattern2DebugLines, report.standardOutput());
  EXPECT_TRUE(sameCoefficients(design(kRows[1]), c));

  const std::string script = testsupport::readFileText(dir.file("X_7ThNoiseShaper.sce"));
  ASSERT_FALSE(script.empty());
  EXPECT_EQ('\n', script.back());
  const std::vector<std::string> lines = splitLines(script);
  ASSERT_EQ(7u, lines.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(kPattern2Script[i], lines[i]) << "line " << i + 1;

  // Written afresh on every design, not appended to.
  design(kRows[1], diagnostics);
  EXPECT_EQ(script, testsupport::readFileText(dir.file("X_7ThNoiseShaper.sce")));
}

TEST(ShaperDesignDebug, UncreatableScriptStillPrintsTheLines) {
  testsupport::TempDir dir;
  pulsemill::CapturedReport report;
  const Diagnostics diagnostics(dir.path() + "/no-such-folder/X_", report);
  const ShaperCoefficients c = design(kRows[1], diagnostics);
  EXPECT_EQ(kPattern2DebugLines, report.standardOutput());
  EXPECT_EQ("", report.standardError());
  EXPECT_TRUE(sameCoefficients(design(kRows[1]), c));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// The script's system definition must evaluate in the plotting package it is
// written for (the plotting lines need graphics and are left out).
// Every DSD64-512 rate of both families has its own row, other rates take
// the row below them (the first below all) with the band scaled; each
// row's realized NTF, N / D with D = 1 - sum feedback z^-k and N = D -
// sum forward z^-k, has its out-of-band gain at z = -1 and its zeros in the
// band (|NTF| at 1 kHz far down). With diagnostics the polynomials are shown.
TEST(RateShaper, RowsByRateAndTheirNoiseTransfer) {
  const struct {
    std::uint32_t outputRate, rowRate, band;
    double gain;
  } cases[] = {{2822400, 2822400, 20000, 1.45},   {3072000, 3072000, 20000, 1.45},
               {5644800, 5644800, 24000, 1.40},   {6144000, 6144000, 24000, 1.40},
               {11289600, 11289600, 40000, 1.35}, {12288000, 12288000, 40000, 1.35},
               {22579200, 22579200, 60000, 1.35}, {24576000, 24576000, 60000, 1.35},
               {8192000, 6144000, 32000, 1.40},   {1411200, 2822400, 10000, 1.45}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outputRate);
    const pulsemill::RateShaper& row = pulsemill::selectRateShaper(c.outputRate);
    EXPECT_EQ(c.rowRate, row.rate);
    EXPECT_EQ(c.band, pulsemill::rateShaperBand(row, c.outputRate));
    const auto ntf = [&](std::complex<double> z) {
      std::complex<double> d = 1.0, n = 1.0, power = 1.0;
      for (int k = 0; k < 7; ++k) {
        power /= z;
        d -= row.feedback[k] * power;
        n -= (row.feedback[k] + row.forward[k]) * power;
      }
      return n / d;
    };
    EXPECT_NEAR(c.gain, std::abs(ntf(-1.0)), 1e-6);
    EXPECT_LT(std::abs(ntf(std::polar(1.0, 2 * M_PI * 1000.0 / row.rate))), 1e-5);
  }
  pulsemill::CapturedReport report;
  testsupport::TempDir dir;
  pulsemill::rateShaperCoefficients(pulsemill::selectRateShaper(5644800),
                                    Diagnostics(dir.path() + "/X_", report));
  EXPECT_EQ(0u, report.standardOutput().find("A: -6.99"));
  EXPECT_TRUE(testsupport::fileExists(dir.file("X_7ThNoiseShaper.sce")));
}

TEST(ShaperScriptInScilab, SystemDefinitionRuns) {
  if (testsupport::runShell("command -v scilab-cli >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "scilab-cli is not installed (Debian package scilab-cli); "
                    "the script is not evaluated";
  }
  testsupport::TempDir dir;
  pulsemill::CapturedReport report;
  const Diagnostics diagnostics(dir.path() + "/X_", report);
  design(kRows[1], diagnostics);
  const std::vector<std::string> lines =
      splitLines(testsupport::readFileText(dir.file("X_7ThNoiseShaper.sce")));
  ASSERT_EQ(7u, lines.size());

  std::string check;
  for (int i = 0; i < 5; ++i) check += lines[i] + "\n";  // through sys=syslin("d",H1/D);
  // The system is the intended one: numerator zero at DC, a zero pair at
  // theta1, and the gain at Nyquist 2 (2 + s1)(2 + s2)(2 + s3) / 1.85^7.
  check +=
      "if abs(horner(H1, 1)) > 1e-9 then exit(3); end\n"
      "if abs(horner(sys, exp(%i*0.046633015951723))) > 1e-2 then exit(4); end\n"
      "if abs(abs(horner(sys, -1)) - 2*(2+1.99782576)*(2+1.99868066)*(2+1.99957497)/1.85^7) > 1e-6"
      " then exit(5); end\n";
  const std::string checkFile = dir.file("check.sce");
  testsupport::writeFileBytes(checkFile, std::vector<std::uint8_t>(check.begin(), check.end()));

  const testsupport::RunResult run = testsupport::runProgram(
      "/bin/sh", {"-c", "exec timeout 300 scilab-cli -nb -quit -f \"$0\"", checkFile}, dir.path());
  EXPECT_EQ(0, run.exitStatus) << run.out << run.err;
}

}  // namespace
