// Interpolation filter design: the sampled ideal response, its inverse
// transform into the centred kernel, the Kaiser-type window and the
// diagnostic gain response with the three dump files.
//
// The design of N = 2048 taps for 44100 Hz x 64 with alpha 10 is the one the
// exact values below are computed for; its three dump files are pinned by
// SHA-256.

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/diagnostics.h"
#include "filter/filter_design.h"
#include "filter/gain_response.h"
#include "filter/ideal_response.h"
#include "filter/kaiser_window.h"
#include "test_support.h"

namespace {

using testsupport::ThreadCount;

using pulsemill::Diagnostics;
using pulsemill::DiagnosticFile;
using pulsemill::StatusCode;

const Diagnostics kNoDiagnostics;
const pulsemill::KernelIsa kBestIsa = pulsemill::bestKernelIsa();

constexpr std::int32_t kRate44k64 = 44100 * 64;  // 2822400 Hz

std::vector<double> idealResponse(std::int32_t outputRate, std::int32_t upperEdge, int n) {
  std::vector<double> response(n, 0.0);
  pulsemill::buildIdealResponse(outputRate, 0, upperEdge, response.data(), n);
  return response;
}

// Unwindowed kernel for 44100 Hz input at the given ratio.
std::vector<double> unwindowedKernel(int ratio, int n) {
  std::vector<double> response = idealResponse(44100 * ratio, 22050, n);
  std::vector<double> kernel(n, 0.0);
  EXPECT_TRUE(pulsemill::computeImpulseResponse(response.data(), kernel.data(), n, kBestIsa,
                                                kNoDiagnostics).ok());
  return kernel;
}

std::vector<double> finalKernel(int ratio, int n, double alpha) {
  std::vector<double> kernel = unwindowedKernel(ratio, n);
  EXPECT_TRUE(pulsemill::applyKaiserWindow(kernel.data(), alpha, n, kNoDiagnostics).ok());
  return kernel;
}

// The described series, written out here: sum of ((x/2)^k / k!)^2 for
// k >= 1 with the absolute stopping test (and the stop on a non-finite sum).
double seriesReference(double x, int* passes = nullptr) {
  double sum = 0.0, term = 1.0, k = 0.0, last = 0.5;
  int count = 0;
  while (last > 1e-12 || last < -1e-12) {
    double q = x * 0.5;
    k = k + 1.0;
    q = q / k;
    term = term * q;
    last = term * term;
    sum = sum + last;
    ++count;
    if (!std::isfinite(sum)) break;
  }
  if (passes) *passes = count;
  return sum;
}

std::string formatLines(const double* values, int count) {
  std::string text;
  char line[64];
  for (int i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line, "%3.12lf\n", values[i]);
    text += line;
  }
  return text;
}

int countLines(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += (c == '\n');
  return lines;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

int filesIn(const std::string& folder) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    (void)entry;
    ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------
// Ideal response

TEST(FilterDesignIdealResponse, BandEdgesFor44100x64With32768Taps) {
  const int n = 32768;
  // Pre-filled with a marker: every entry must be written.
  std::vector<double> response(n, 7.0);
  pulsemill::buildIdealResponse(kRate44k64, 0, 22050, response.data(), n);
  const double stop = std::pow(10.0, -10.0);
  EXPECT_EQ(stop, pulsemill::stopBandLevel());
  for (int j = 0; j < n; ++j) {
    // Entry 255 samples exactly 22050 Hz, which is not below the upper edge.
    const double expected = (j <= 254 || j >= 32513) ? 1.0 : stop;
    ASSERT_EQ(expected, response[j]) << "entry " << j;
  }
}

TEST(FilterDesignIdealResponse, PassCountAndMirrorFor2048Taps) {
  const int n = 2048;
  std::vector<double> response = idealResponse(kRate44k64, 22050, n);
  int pass = 0;
  for (int j = 0; j < n / 2; ++j) pass += (response[j] == 1.0);
  EXPECT_EQ(15, pass);  // N / (2 * ratio) - 1
  for (int j = 0; j < 15; ++j) EXPECT_EQ(1.0, response[j]) << j;
  // Entry N/2 - 1 samples R/2 exactly: stop band.
  EXPECT_EQ(pulsemill::stopBandLevel(), response[n / 2 - 1]);
  EXPECT_EQ(pulsemill::stopBandLevel(), response[15]);
  for (int j = 0; j < n; ++j) ASSERT_EQ(response[n - 1 - j], response[j]) << "mirror at " << j;
}

// ---------------------------------------------------------------------------
// Inverse transform and centring

TEST(FilterDesignImpulseResponse, KernelIsTheDirectCosineSumCentredSymmetric) {
  const int n = 2048;
  std::vector<double> response = idealResponse(kRate44k64, 22050, n);
  std::vector<double> kernel(n, 0.0);
  ASSERT_TRUE(pulsemill::computeImpulseResponse(response.data(), kernel.data(), n, kBestIsa,
                                                kNoDiagnostics).ok());

  // The transform written out: table, direct sum in increasing j, 1/N.
  std::vector<double> ct(n), t(n / 2 + 1);
  for (int k = 0; k < n; ++k) ct[k] = std::cos((k * 6.283185307179586) / n);
  for (int i = 0; i <= n / 2; ++i) {
    double sum = 0.0;
    for (int j = 0; j < n; ++j) {
      const std::uint32_t index = (static_cast<std::uint32_t>(i) * static_cast<std::uint32_t>(j)) % n;
      const double product = ct[index] * response[j];
      sum = sum + product;
    }
    t[i] = sum / static_cast<double>(n);
  }
  for (int d = 1; d < n / 2; ++d) {
    ASSERT_EQ(t[d], kernel[n / 2 - d]) << d;
    ASSERT_EQ(t[d], kernel[n / 2 + d]) << d;
  }
  EXPECT_EQ(t[0], kernel[n / 2]);
  EXPECT_EQ(t[n / 2], kernel[0]);

  // Centre: the plain sum of the response (cos 0 = 1 exactly) over N, that
  // is 30 / 2048 plus the stop-band samples; entry 0 is the alternating sum,
  // zero up to rounding; the taps sum to 1 up to rounding (a few ulps per tap).
  double sum = 0.0;
  for (double v : response) sum = sum + v;
  EXPECT_EQ(sum / n, kernel[n / 2]);
  EXPECT_NEAR(30.0 / n, kernel[n / 2], 1e-9);
  EXPECT_NEAR(0.0, kernel[0], 1e-15);
  double taps = 0.0;
  for (double v : kernel) taps += v;
  EXPECT_NEAR(1.0, taps, 1e-12);
}

TEST(FilterDesignTransform, CosineTableIsTheDescribedProduct) {
  for (int n : {2048, 65536}) {
    std::vector<double> table(n);
    pulsemill::fillCosineTable(table.data(), n);
    for (int k = 0; k < n; ++k) ASSERT_EQ(std::cos((k * 6.283185307179586) / n), table[k]) << n << " " << k;
  }
}

TEST(FilterDesignTransform, EveryVariantBitIdenticalToReferenceForAnyThreadCount) {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (int n : {2048, 8192}) {
    std::vector<double> table(n);
    pulsemill::fillCosineTable(table.data(), n);
    // A designed response, and a random one so that no structure hides a
    // misplaced term.
    std::vector<std::vector<double>> inputs;
    inputs.push_back(idealResponse(kRate44k64, 22050, n));
    std::vector<double> noise(n);
    for (double& v : noise) v = uniform(rng);
    inputs.push_back(noise);

    for (const auto& response : inputs) {
      std::vector<double> reference(n, -9.0);
      {
        ThreadCount threads(1);
        pulsemill::inverseTransformReference(table.data(), response.data(), reference.data(), n);
      }
      for (pulsemill::KernelIsa isa : testsupport::supportedIsas()) {
        for (int threadCount : {1, 2}) {
          SCOPED_TRACE(testing::Message() << "N " << n << ", threads " << threadCount << ", "
                                          << pulsemill::isaName(isa));
          ThreadCount threads(threadCount);
          std::vector<double> fast(n, -9.0);
          pulsemill::inverseTransform(table.data(), response.data(), fast.data(), n, isa);
          EXPECT_EQ(0, std::memcmp(reference.data(), fast.data(), (n / 2 + 1) * sizeof(double)));
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Bessel series and Kaiser window

TEST(FilterDesignKaiserSeries, WorkedValuesAndSymmetry) {
  int passes = 0;
  const double s10 = seriesReference(10.0, &passes);
  EXPECT_EQ(23, passes);
  EXPECT_EQ(s10, pulsemill::besselSeriesSum(10.0));
  EXPECT_NEAR(2814.7166284663, pulsemill::besselSeriesSum(10.0), 1e-9);

  // No constant term: S(0) is exactly 0 after its single pass.
  EXPECT_EQ(0.0, pulsemill::besselSeriesSum(0.0));
  for (double x : {1e-6, 0.3, 2.5, 10.0, 37.125, 700.0}) {
    EXPECT_EQ(pulsemill::besselSeriesSum(x), pulsemill::besselSeriesSum(-x)) << x;
    EXPECT_EQ(seriesReference(x), pulsemill::besselSeriesSum(x)) << x;
  }
}

TEST(FilterDesignKaiserSeries, OverflowingSeriesEnds) {
  // Would loop forever without the stop on a non-finite sum.
  const double big = pulsemill::besselSeriesSum(2000.0);
  EXPECT_TRUE(std::isinf(big) && big > 0) << big;
  EXPECT_TRUE(std::isinf(pulsemill::besselSeriesSum(800.0)));
  EXPECT_TRUE(std::isinf(pulsemill::besselSeriesSum(std::strtod("1e400", nullptr))));
  EXPECT_EQ(0.0, pulsemill::besselSeriesSum(1e-300));  // underflows
}

TEST(FilterDesignKaiserWindow, WindowValuesFor2048TapsAlpha10) {
  const int n = 2048;
  std::vector<double> w(n, 1.0);  // the window is what a kernel of ones becomes
  ASSERT_TRUE(pulsemill::applyKaiserWindow(w.data(), 10.0, n, kNoDiagnostics).ok());

  EXPECT_EQ(0.0, w[0]);
  EXPECT_EQ(0.0, w[n - 1]);
  EXPECT_NEAR(1.7560347871e-5, w[1], 5e-16);
  EXPECT_NEAR(1.7560347871e-5, w[n - 2], 5e-16);
  EXPECT_NEAR(0.9999988677, w[1023], 5e-11);
  EXPECT_EQ(w[1023], w[1024]);
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(w[i], w[n - 1 - i]) << i;  // symmetric about (N - 1) / 2
    ASSERT_LT(w[i], 1.0) << i;
  }

  // Every value from its formula: u, x, S(x) / S(alpha).
  const double d = seriesReference(10.0);
  const double c = static_cast<double>(n - 1) * 0.5;
  for (int i = 0; i < n; ++i) {
    const double u = (static_cast<double>(i) - c) / c;
    const double x = std::sqrt(1.0 - u * u) * 10.0;
    ASSERT_EQ(seriesReference(x) / d, w[i]) << i;
  }
}

TEST(FilterDesignKaiserWindow, WindowMultipliesTheKernelAsItStands) {
  const int n = 2048;
  std::vector<double> w(n, 1.0);
  ASSERT_TRUE(pulsemill::applyKaiserWindow(w.data(), 10.0, n, kNoDiagnostics).ok());
  const std::vector<double> raw = unwindowedKernel(64, n);
  std::vector<double> kernel = raw;
  ASSERT_TRUE(pulsemill::applyKaiserWindow(kernel.data(), 10.0, n, kNoDiagnostics).ok());
  for (int i = 0; i < n; ++i) ASSERT_EQ(w[i] * raw[i], kernel[i]) << i;
  EXPECT_EQ(0.0, kernel[0]);
  EXPECT_EQ(0.0, kernel[n - 1]);
  // The window's centre is half a tap before the kernel's: entry N/2 + d is
  // scaled by the window value of N/2 - 1 - d, so the result is not symmetric.
  EXPECT_NE(kernel[n / 2 - 5], kernel[n / 2 + 5]);

  std::vector<double> negative = raw;
  ASSERT_TRUE(pulsemill::applyKaiserWindow(negative.data(), -10.0, n, kNoDiagnostics).ok());
  EXPECT_TRUE(sameBits(kernel, negative));
}

TEST(FilterDesignKaiserWindow, TinyAlphaGivesTheParabola) {
  const int n = 2048;
  std::vector<double> w(n, 1.0);
  ASSERT_TRUE(pulsemill::applyKaiserWindow(w.data(), 1e-6, n, kNoDiagnostics).ok());
  const double c = (n - 1) * 0.5;
  for (int i = 0; i < n; ++i) {
    const double u = (i - c) / c;
    ASSERT_NEAR(1.0 - u * u, w[i], 1e-14) << i;
  }
  EXPECT_EQ(0.0, w[0]);
  EXPECT_EQ(0.0, w[n - 1]);
}

TEST(FilterDesignKaiserWindow, AlphaOutOfRangeLeavesKernelUntouched) {
  testsupport::TempDir dir;
  pulsemill::CapturedReport report;
  const Diagnostics diagnostics(dir.path() + "/X_", report);
  const int n = 2048;
  const std::vector<double> raw = unwindowedKernel(64, n);
  for (double alpha : {800.0, 2000.0, 1e-300, std::strtod("1e400", nullptr), -2000.0}) {
    SCOPED_TRACE(alpha);
    std::vector<double> kernel = raw;
    EXPECT_EQ(StatusCode::AlphaOutOfRange,
              pulsemill::applyKaiserWindow(kernel.data(), alpha, n, diagnostics).code());
    EXPECT_TRUE(sameBits(raw, kernel));
    EXPECT_FALSE(testsupport::fileExists(dir.file("X_KiaserFIRCoeff.txt")));
  }
  // Large but finite S(alpha) still windows.
  std::vector<double> kernel = raw;
  EXPECT_TRUE(pulsemill::applyKaiserWindow(kernel.data(), 700.0, n, kNoDiagnostics).ok());
  EXPECT_EQ(0.0, kernel[0]);
}

// ---------------------------------------------------------------------------
// Gain response

// One line of the response from its formula: the angle formed in degrees
// per sample and converted, then the two sums in increasing j.
double gainLineReference(const std::vector<double>& kernel, int i) {
  const int n = static_cast<int>(kernel.size());
  const double step = static_cast<double>(n) / 360.0;
  const double omega = ((((static_cast<double>(i) / step) * 2.0) * 3.141592653589793)) / 360.0;
  double re = 0.0, im = 0.0;
  for (int j = 0; j < n; ++j) {
    const double a = static_cast<double>(j) * omega;
    const double c = std::cos(a) * kernel[j];
    const double s = std::sin(a) * kernel[j];
    re = re + c;
    im = im + s;
  }
  const double power = im * im + re * re;
  return 10 * std::log10(power);
}

TEST(FilterDesignGainResponse, WorkedLinesFor2048TapsRatio64Alpha10) {
  const int n = 2048;
  const std::vector<double> kernel = finalKernel(64, n, 10.0);
  std::vector<double> gain(n / 2, 1.0);
  pulsemill::computeGainResponseValues(kernel.data(), n, gain.data());

  // File line k holds entry k - 1; one line per 1378.125 Hz.
  EXPECT_NEAR(-1.3e-5, gain[0], 0.5e-5);  // line 1, DC
  EXPECT_NEAR(-0.25, gain[13], 0.01);     // line 14, 17915.625 Hz
  EXPECT_NEAR(-6.02, gain[15], 0.005);    // line 16, half-height bin
  EXPECT_NEAR(-14.9, gain[16], 0.05);     // line 17, 22050 Hz
  EXPECT_NEAR(-103.0, gain[20], 1.0);     // line 21
  for (int i = 100; i < n / 2; ++i) ASSERT_LT(gain[i], -180.0) << i;
  EXPECT_NEAR(-200.0, gain[n / 2 - 1], 1.0);  // the 1e-10 stop-band samples

  // DC line: the squared tap sum in dB.
  double sum = 0.0;
  for (double v : kernel) sum = sum + v;
  EXPECT_NEAR(10 * std::log10(sum * sum), gain[0], 1e-9);

  for (int i : {0, 1, 13, 15, 16, 20, 511, 1023}) EXPECT_EQ(gainLineReference(kernel, i), gain[i]) << i;
}

// ---------------------------------------------------------------------------
// Dump files

TEST(FilterDesignDumps, NamesAndLineFormat) {
  testsupport::TempDir dir;
  pulsemill::CapturedReport report;
  const Diagnostics diagnostics(dir.path() + "/X_", report);
  EXPECT_EQ(dir.path() + "/X_CalcFIRCoeff.txt", diagnostics.fileName(DiagnosticFile::ImpulseResponse));
  EXPECT_EQ(dir.path() + "/X_KiaserFIRCoeff.txt", diagnostics.fileName(DiagnosticFile::WindowedKernel));
  EXPECT_EQ(dir.path() + "/X_FreqGain.txt", diagnostics.fileName(DiagnosticFile::GainResponse));
  EXPECT_EQ(dir.path() + "/X_7ThNoiseShaper.sce", diagnostics.fileName(DiagnosticFile::ShaperScript));

  const std::string name = dir.file("X_FreqGain.txt");
  testsupport::writeFileBytes(name, std::vector<std::uint8_t>(500, 'z'));  // replaced, not appended to
  const double values[] = {1.5, -0.25, 1e-13, -1e-13, 123.456, 0.0, -0.0, 3.0e5};
  diagnostics.dumpValues(DiagnosticFile::GainResponse, values, 8);
  kNoDiagnostics.dumpValues(DiagnosticFile::GainResponse, values, 1);  // disabled: nothing
  EXPECT_EQ(
      "1.500000000000\n-0.250000000000\n0.000000000000\n-0.000000000000\n"
      "123.456000000000\n0.000000000000\n-0.000000000000\n300000.000000000000\n",
      testsupport::readFileText(name));
}

// The run's design of N taps at 44.1 kHz x 64, alpha 10.
void designWith(const Diagnostics& diagnostics, int n, std::vector<double>& kernel) {
  ASSERT_TRUE(pulsemill::designInterpolationFilter({44100, 64, n, 10.0}, kBestIsa, diagnostics,
                                                   kernel).ok());
}

TEST(FilterDesignDumps, DebugDesignWritesTheThreeFiles) {
  testsupport::TempDir dir;
  const int n = 2048;
  std::vector<double> kernel;
  const std::vector<double> raw = unwindowedKernel(64, n);

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  pulsemill::CapturedReport report;
  designWith(Diagnostics(dir.path() + "/X_", report), n, kernel);
  EXPECT_EQ("", report.both());
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ("", testing::internal::GetCapturedStderr());

  EXPECT_TRUE(sameBits(kernel, finalKernel(64, n, 10.0)));  // diagnostics change no tap

  const std::string calc = testsupport::readFileText(dir.file("X_CalcFIRCoeff.txt"));
  const std::string kaiser = testsupport::readFileText(dir.file("X_KiaserFIRCoeff.txt"));
  const std::string gainText = testsupport::readFileText(dir.file("X_FreqGain.txt"));
  EXPECT_EQ(n, countLines(calc));
  EXPECT_EQ(n, countLines(kaiser));
  EXPECT_EQ(n / 2, countLines(gainText));
  EXPECT_EQ(formatLines(raw.data(), n), calc);
  EXPECT_EQ(formatLines(kernel.data(), n), kaiser);
  std::vector<double> gain(n / 2);
  pulsemill::computeGainResponseValues(kernel.data(), n, gain.data());
  EXPECT_EQ(formatLines(gain.data(), n / 2), gainText);
  // The end taps print as zero, signed or not.
  const std::string firstLine = kaiser.substr(0, kaiser.find('\n'));
  const std::string lastLine = kaiser.substr(kaiser.rfind('\n', kaiser.size() - 2) + 1);
  EXPECT_TRUE(firstLine == "0.000000000000" || firstLine == "-0.000000000000") << firstLine;
  EXPECT_TRUE(lastLine == "0.000000000000\n" || lastLine == "-0.000000000000\n") << lastLine;
  EXPECT_EQ(3, filesIn(dir.path()));

  // Known contents of this design's three files.
  EXPECT_EQ("08ac3ab1bdc11535a2d1af7410d43550b22b07ec0d8ba0f81bbc2776f846da59",
            testsupport::sha256OfFile(dir.file("X_CalcFIRCoeff.txt")));
  EXPECT_EQ("116f470bf6ddc7a4a5056ccc18c4221709eab5e7531c5291b543a58849fabdce",
            testsupport::sha256OfFile(dir.file("X_KiaserFIRCoeff.txt")));
  EXPECT_EQ("53b9aefb8a897ac3f0539261094c25edd41a51458af23a6dac8194e58153a12d",
            testsupport::sha256OfFile(dir.file("X_FreqGain.txt")));
}

TEST(FilterDesignDumps, NothingWrittenWithoutDebugFlag) {
  testsupport::TempDir dir;
  const int n = 2048;
  std::vector<double> kernel;
  designWith(kNoDiagnostics, n, kernel);
  EXPECT_TRUE(sameBits(kernel, finalKernel(64, n, 10.0)));
  EXPECT_EQ(0, filesIn(dir.path()));
}

TEST(FilterDesignDumps, MissingPrefixFolderIsSkippedSilently) {
  testsupport::TempDir dir;
  const int n = 2048;
  std::vector<double> kernel;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  pulsemill::CapturedReport report;
  designWith(Diagnostics(dir.path() + "/no-such-folder/X_", report), n, kernel);
  EXPECT_EQ("", report.both());
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_TRUE(sameBits(kernel, finalKernel(64, n, 10.0)));
  EXPECT_EQ(0, filesIn(dir.path()));
}

}  // namespace
