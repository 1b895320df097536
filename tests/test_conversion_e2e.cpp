// End-to-end runs of the built converter on generated and hand-made WAVE
// files: the DSDIFF file byte for byte, the console text of whole runs,
// short and odd data chunks, read errors, clips with and without retries,
// the output error, extreme sample words, thread-count independence and
// output through a link to a device.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"
#include "timing_line.h"

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::fileExists;
using testsupport::readFileBytes;
using testsupport::reduceTimingLines;
using testsupport::runProgram;
using testsupport::writeFileBytes;

namespace {

using testsupport::Bytes;
using testsupport::putBe;
using testsupport::putLe;
using testsupport::putText;


constexpr std::size_t kHeaderSize = 130;
constexpr std::size_t kWaveHeaderSize = 44;  // generator files: RIFF, fmt, data header
const char kClipMessage[] = "DSD Clip Error. Set normalize offset, please. \n";
const char kRetryLine[] = "Retry again to set normalize offset -1 position.\n";
const char kStartLine[] = "Start Conversion... take a rest, please.\n";
const char kPattern2Line[] = "NoiseShaper param Zero1=0.95, Zero2=0.74, Zero3=0.42\n";


std::uint64_t readBe(const Bytes& bytes, std::size_t offset, int count) {
  std::uint64_t v = 0;
  for (int i = 0; i < count; ++i) v = (v << 8) | bytes.at(offset + i);
  return v;
}

// A stereo WAVE file with a plain format chunk and `data` as its samples.
Bytes waveFile(std::uint32_t rate, int bits, const Bytes& data) {
  testsupport::WaveFormat f;
  f.rate = rate;
  f.bits = static_cast<unsigned>(bits);
  f.blockAlign = f.bits / 8 * 2;
  return testsupport::waveFile(f, {}, data);
}

// The sample bytes of a file made by the generator.
Bytes waveData(const std::string& path) {
  Bytes all = readFileBytes(path);
  EXPECT_GE(all.size(), kWaveHeaderSize);
  return Bytes(all.begin() + kWaveHeaderSize, all.end());
}

// Runs the generator; `signal` is the rest of its command line.
void generate(const std::string& path, std::uint32_t rate, int bits, const std::string& length,
              const std::vector<std::string>& signal) {
  std::vector<std::string> args = {path, "--rate", std::to_string(rate), "--bits",
                                   std::to_string(bits)};
  const bool isFrames = length.rfind("frames:", 0) == 0;
  args.push_back(isFrames ? "--frames" : "--seconds");
  args.push_back(isFrames ? length.substr(7) : length);
  args.insert(args.end(), signal.begin(), signal.end());
  RunResult r = runProgram(WAVEGEN_BINARY, args);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
}

RunResult convert(const TempDir& dir, const std::vector<std::string>& args,
                  const std::string& threads = "") {
  std::vector<std::string> env;
  if (!threads.empty()) env.push_back("OMP_NUM_THREADS=" + threads);
  return runProgram(PULSEMILL_BINARY, args, dir.path(), env);
}

// The DSDIFF header for a stream at `rate` Hz with `dataBytes` of DSD data,
// laid out chunk by chunk.
Bytes dsdiffHeader(std::uint32_t rate, std::uint64_t dataBytes) {
  Bytes h;
  putText(h, "FRM8");
  putBe(h, dataBytes + 118, 8);
  putText(h, "DSD FVER");
  putBe(h, 4, 8);
  h.insert(h.end(), {1, 4, 0, 0});
  putText(h, "PROP");
  putBe(h, 74, 8);
  putText(h, "SND FS  ");
  putBe(h, 4, 8);
  putBe(h, rate, 4);
  putText(h, "CHNL");
  putBe(h, 10, 8);
  putBe(h, 2, 2);
  putText(h, "SLFTSRGTCMPR");
  putBe(h, 20, 8);
  putText(h, "DSD ");
  h.push_back(14);
  putText(h, "not compressed");
  h.push_back(0);
  putText(h, "DSD ");
  putBe(h, dataBytes, 8);
  return h;
}

Bytes headerOf(const Bytes& file) {
  return Bytes(file.begin(), file.begin() + std::min(file.size(), kHeaderSize));
}

// Console text of a run up to and including the empty line after the shaper
// pattern line, for a file whose data chunk follows the format chunk.
std::string preamble(const std::string& name, std::uint32_t rate, int bits, std::uint32_t dataSize,
                     const std::string& parameterLine) {
  const int align = bits / 8 * 2;
  return "finename = '" + name + "'\n" + "[RIFF] (" + std::to_string(36 + dataSize) +
         " bytes)\n[WAVEfmt ] (16 bytes)\n  Data type = 1 (1 = PCM)\n"
         "  Number of channels = 2 (1 = mono, 2 = stereo)\n  Sampling rate = " +
         std::to_string(rate) + "Hz\n  Bytes per sample = " + std::to_string(align) +
         "\n[data] (" + std::to_string(dataSize) + " bytes)\n\n" + parameterLine + "\n" +
         kPattern2Line + "\n";
}

std::string normalizeLine(long long gain, int coefCount) {
  return "<normalize = " + std::to_string(gain) + ".000000 coefcount = " +
         std::to_string(coefCount) + ">\n";
}

// The console text from the start line to the end of a successful attempt.
std::string successfulAttempt(long long gain, int coefCount, int dots, std::uint64_t dsdBytes,
                              std::uint32_t dataSize) {
  return kStartLine + normalizeLine(gain, coefCount) + std::string(dots, '.') +
         "\n<Write Data Size = " + std::to_string(dsdBytes) + ">\nEnd Conversion.\n" +
         "<timing line> " + std::to_string(dataSize) + " Bytes\n";
}

std::size_t countOf(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
    ++n;
  return n;
}

std::string repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

// Interleaved integer samples as little-endian PCM bytes of `bits` each.
Bytes pcmBytes(int bits, const std::vector<std::int32_t>& samples) {
  Bytes out;
  for (std::int32_t s : samples) putLe(out, static_cast<std::uint32_t>(s), bits / 8);
  return out;
}

std::vector<std::int32_t> samples16(const Bytes& data) {
  std::vector<std::int32_t> s;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2)
    s.push_back(static_cast<std::int16_t>(data[i] | (data[i + 1] << 8)));
  return s;
}

}  // namespace

// The canonical run: one second of 44100 Hz 16-bit stereo, DSD64, 1024
// frames per block, default taps. 44 blocks (the last of 68 frames), one
// progress dot after block 26, 44100 x 64 / 8 x 2 = 705600 DSD bytes.
TEST(ConversionE2E, OneSecondAt44100Hz16BitToDsd64) {
  TempDir dir;
  generate(dir.file("in.wav"), 44100, 16, "1", {"--left", "sine:1000:-6", "--right", "sine:440:-12"});
  RunResult r = convert(dir, {"in.wav", "/DSD64", "/s:1024"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(reduceTimingLines(r.out),
            preamble("in.wav", 44100, 16, 176400,
                     "DSD64: Oversample[64] Sample[1024] Tap[32768] KaiserAlpha[10.000000]") +
                successfulAttempt(64, 512, 1, 705600, 176400));

  const Bytes dff = readFileBytes(dir.file("in.dff"));
  ASSERT_EQ(dff.size(), 130u + 705600u);
  EXPECT_EQ(readBe(dff, 4, 8), 705718u);
  EXPECT_EQ(readBe(dff, 122, 8), 705600u);
  EXPECT_EQ(readBe(dff, 60, 4), 0x002B1100u);  // 2822400 Hz
  EXPECT_EQ(headerOf(dff), dsdiffHeader(2822400, 705600));
}

// Blocks of 512, 1024 and 2048 frames cut the same second into 87, 44 and
// 22 blocks: three dots, one, none. The block size must not show in the
// DSD data, since the filter history and the modulator state carry over.
TEST(ConversionE2E, BlockSizeChangesOnlyTheProgressDots) {
  TempDir dir;
  generate(dir.file("in.wav"), 44100, 24, "1", {"--both", "sine:997:-8+noise:-40"});
  const struct { const char* option; int dots; } runs[] = {{"/s:512", 3}, {"/s:1024", 1}, {"/s:2048", 0}};
  Bytes first;
  for (const auto& run : runs) {
    SCOPED_TRACE(run.option);
    RunResult r = convert(dir, {"in.wav", "out.dff", "/DSD64", "/t:2048", run.option});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::string tail = "<normalize = 64.000000 coefcount = 32>\n" + std::string(run.dots, '.') +
                             "\n<Write Data Size = 705600>\nEnd Conversion.\n<timing line> 264600 Bytes\n";
    const std::string out = reduceTimingLines(r.out);
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    const Bytes dff = readFileBytes(dir.file("out.dff"));
    EXPECT_EQ(dff.size(), 130u + 705600u);
    if (first.empty()) first = dff;
    else EXPECT_TRUE(dff == first) << "output differs from the one with /s:512";
  }
}

// Nothing is flushed after the last frame and the filter only looks back:
// a short file converts to exactly the first L x frames samples per channel
// of a longer file that begins with the same frames. 300 frames are less
// than one block, so they make a single short block.
TEST(ConversionE2E, DataShorterThanOneBlockIsAPrefixOfTheLongerRun) {
  TempDir dir;
  const std::vector<std::string> signal = {"--left", "sine:1000:-6+noise:-30", "--right",
                                           "sine:3000:-10", "--seed", "7"};
  generate(dir.file("short.wav"), 44100, 24, "frames:300", signal);
  generate(dir.file("long.wav"), 44100, 24, "frames:3000", signal);

  RunResult r = convert(dir, {"short.wav", "short.dff", "/DSD128", "/t:4096", "/s:2048"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  // 300 frames x 128 samples / 8 bits x 2 channels.
  EXPECT_EQ(reduceTimingLines(r.out),
            preamble("short.wav", 44100, 24, 1800,
                     "DSD128: Oversample[128] Sample[2048] Tap[4096] KaiserAlpha[10.000000]") +
                successfulAttempt(128, 32, 0, 9600, 1800));
  ASSERT_EQ(convert(dir, {"long.wav", "long.dff", "/DSD128", "/t:4096", "/s:512"}).exitStatus, 0);

  const Bytes shortDff = readFileBytes(dir.file("short.dff"));
  const Bytes longDff = readFileBytes(dir.file("long.dff"));
  ASSERT_EQ(shortDff.size(), 130u + 9600u);
  ASSERT_EQ(longDff.size(), 130u + 96000u);
  EXPECT_EQ(headerOf(shortDff), dsdiffHeader(5644800, 9600));
  EXPECT_TRUE(Bytes(shortDff.begin() + 130, shortDff.end()) ==
              Bytes(longDff.begin() + 130, longDff.begin() + 130 + 9600));
}

// A data size that is not a multiple of the block align: the trailing
// partial frame is read (the byte figure counts it) but not converted, so
// the DSD data equals that of the whole frames alone.
TEST(ConversionE2E, TrailingPartialFrameIsReadButNotConverted) {
  for (int bits : {16, 24}) {
    SCOPED_TRACE(std::to_string(bits) + "-bit");
    TempDir dir;
    generate(dir.file("whole.wav"), 48000, bits, "frames:1500", {"--both", "sine:1000:-6"});
    Bytes data = waveData(dir.file("whole.wav"));
    const unsigned align = bits / 8 * 2;
    // Loud bytes that would change the output if they were decoded.
    Bytes odd = data;
    for (unsigned i = 0; i + 1 < align; ++i) odd.push_back(i % 2 ? 0x7F : 0xFF);
    Bytes file = waveFile(48000, bits, odd);
    file.push_back(0);  // pad byte of the odd-sized chunk
    writeFileBytes(dir.file("odd.wav"), file);

    RunResult whole = convert(dir, {"whole.wav", "whole.dff", "/DSD64", "/t:2048", "/s:512"});
    RunResult r = convert(dir, {"odd.wav", "odd.dff", "/DSD64", "/t:2048", "/s:512"});
    ASSERT_EQ(whole.exitStatus, 0) << whole.err;
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::uint32_t dataSize = static_cast<std::uint32_t>(odd.size());
    EXPECT_EQ(reduceTimingLines(r.out),
              preamble("odd.wav", 48000, bits, dataSize,
                       "DSD64: Oversample[64] Sample[512] Tap[2048] KaiserAlpha[10.000000]") +
                  successfulAttempt(64, 32, 0, 24000, dataSize));
    EXPECT_TRUE(readFileBytes(dir.file("odd.dff")) == readFileBytes(dir.file("whole.dff")));
  }
}

TEST(ConversionE2E, EmptyDataChunkGivesBareHeader) {
  TempDir dir;
  generate(dir.file("in.wav"), 44100, 16, "frames:0", {"--both", "silence"});
  RunResult r = convert(dir, {"in.wav", "/DSD64", "/t:2048"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(reduceTimingLines(r.out),
            preamble("in.wav", 44100, 16, 0,
                     "DSD64: Oversample[64] Sample[1024] Tap[2048] KaiserAlpha[10.000000]") +
                successfulAttempt(64, 32, 0, 0, 0));
  EXPECT_EQ(readFileBytes(dir.file("in.dff")), dsdiffHeader(2822400, 0));
}

// The data chunk claims more than the file holds: the block that cannot be
// filled is a read error, and the partial output is removed. Cut inside the
// third block, and right after the data chunk header.
TEST(ConversionE2E, FileShorterThanItsDataChunk) {
  for (std::size_t keptData : {2u * 4096u + 1000u, 0u}) {
    SCOPED_TRACE("data bytes present: " + std::to_string(keptData));
    TempDir dir;
    generate(dir.file("full.wav"), 44100, 16, "0.3", {"--both", "sine:1000:-6"});
    Bytes file = readFileBytes(dir.file("full.wav"));
    file.resize(kWaveHeaderSize + keptData);
    writeFileBytes(dir.file("in.wav"), file);
    RunResult r = convert(dir, {"in.wav", "/DSD64", "/t:2048"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "Wave File Read Error.\npulsemill: in.wav: unexpected end of file\n");
    EXPECT_EQ(r.out, preamble("in.wav", 44100, 16, 52920,
                              "DSD64: Oversample[64] Sample[1024] Tap[2048] KaiserAlpha[10.000000]") +
                         kStartLine + normalizeLine(64, 32));
    EXPECT_FALSE(fileExists(dir.file("in.dff")));
  }
}

// A full-scale sine on the left clips at gains of 64 and above and
// converts at 63 (offset -1); the right channel is silent, so the output
// error (both channels low at once) cannot interfere. 0.3 s at 1024 frames
// per block is 13 blocks: no progress dot.
class ConversionE2EClip : public ::testing::Test {
 protected:
  void SetUp() override {
    generate(dir.file("in.wav"), 44100, 16, "0.3", {"--left", "sine:1000:0", "--right", "silence"});
  }
  std::string preambleText() const {
    return preamble("in.wav", 44100, 16, 52920,
                    "DSD64: Oversample[64] Sample[1024] Tap[2048] KaiserAlpha[10.000000]");
  }
  // Console text of failed attempts at gains first, first - 1, ..., last,
  // each followed by a retry line when `retried`.
  static std::string clippedAttempts(long long first, long long last, bool retried) {
    std::string text;
    for (long long gain = first; gain >= last; --gain)
      text += kStartLine + normalizeLine(gain, 32) + (retried ? kRetryLine : "");
    return text;
  }
  TempDir dir;
};

TEST_F(ConversionE2EClip, WithoutRetryEndsWithStatus2AndNoOutput) {
  RunResult r = convert(dir, {"in.wav", "/DSD64", "/t:2048", "/n:0"});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err, kClipMessage);
  EXPECT_EQ(r.out, preambleText() + clippedAttempts(64, 64, false));
  EXPECT_FALSE(fileExists(dir.file("in.dff")));
}

TEST_F(ConversionE2EClip, RetriesUntilTheGainFitsAndMatchesADirectRun) {
  // Offsets 3, 2, 1, 0 clip; -1 converts.
  RunResult r = convert(dir, {"in.wav", "retried.dff", "/DSD64", "/t:2048", "/n:3", "/r"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, repeated(kClipMessage, 4));
  EXPECT_EQ(reduceTimingLines(r.out),
            preambleText() + clippedAttempts(67, 64, true) + successfulAttempt(63, 32, 0, 211680, 52920));

  RunResult direct = convert(dir, {"in.wav", "direct.dff", "/DSD64", "/t:2048", "/n:-1"});
  ASSERT_EQ(direct.exitStatus, 0) << direct.err;
  const Bytes retried = readFileBytes(dir.file("retried.dff"));
  EXPECT_EQ(retried.size(), 130u + 211680u);
  EXPECT_TRUE(retried == readFileBytes(dir.file("direct.dff")));
}

TEST_F(ConversionE2EClip, GivesUpAfterTenRetries) {
  // Offsets 10 down to 0 all clip: eleven attempts, ten retry lines.
  RunResult r = convert(dir, {"in.wav", "/DSD64", "/t:2048", "/n:10", "/r"});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err, repeated(kClipMessage, 11));
  EXPECT_EQ(r.out, preambleText() + clippedAttempts(74, 65, true) + clippedAttempts(64, 64, false));
  EXPECT_EQ(countOf(r.out, kStartLine), 11u);
  EXPECT_EQ(countOf(r.out, kRetryLine), 10u);
  EXPECT_FALSE(fileExists(dir.file("in.dff")));
}

// The gain L + offset and the offset lowered by each retry are 64-bit: at
// the limits of the 32-bit offset nothing wraps.
TEST_F(ConversionE2EClip, OffsetsAtTheIntegerLimits) {
  TempDir empty;
  generate(empty.file("in.wav"), 44100, 16, "frames:0", {"--both", "silence"});
  RunResult top = convert(empty, {"in.wav", "/DSD64", "/t:2048", "/n:2147483647"});
  EXPECT_EQ(top.exitStatus, 0) << top.err;
  EXPECT_NE(top.out.find(normalizeLine(2147483711LL, 32)), std::string::npos) << top.out;

  // A gain of about -2^31 inverts and overdrives the sine: every attempt
  // clips, and the offsets go on below the 32-bit minimum.
  RunResult bottom = convert(dir, {"in.wav", "/DSD64", "/t:2048", "/n:-2147483648", "/r"});
  EXPECT_EQ(bottom.exitStatus, 2);
  EXPECT_EQ(bottom.out, preambleText() + clippedAttempts(-2147483584LL, -2147483593LL, true) +
                            clippedAttempts(-2147483594LL, -2147483594LL, false));
}

// Full-scale negative input on both channels drives both bit streams low
// together: an output error, status 1 without /r; with /r it is retried
// like a clip (its line, the retry line, the offset one lower) until the
// lower gain converts it.
TEST(ConversionE2E, NegativeOverloadOnBothChannelsIsAnOutputError) {
  TempDir dir;
  generate(dir.file("in.wav"), 44100, 16, "0.3", {"--both", "const:-32768"});
  const std::string preambleLines =
      preamble("in.wav", 44100, 16, 52920,
               "DSD64: Oversample[64] Sample[1024] Tap[2048] KaiserAlpha[10.000000]") + kStartLine;
  RunResult once = convert(dir, {"in.wav", "/DSD64", "/t:2048"});
  EXPECT_EQ(once.exitStatus, 1);
  EXPECT_EQ(once.err, "DSD Output Error.\n");
  EXPECT_EQ(once.out, preambleLines + normalizeLine(64, 32));
  EXPECT_FALSE(fileExists(dir.file("in.dff")));
  RunResult r = convert(dir, {"in.wav", "/DSD64", "/t:2048", "/r"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::string out = preambleLines;
  for (int gain = 64; gain > 59; --gain)
    out += normalizeLine(gain, 32) + "Retry again to set normalize offset -1 position.\n" + kStartLine;
  EXPECT_EQ(r.err, repeated("DSD Output Error.\n", 5));
  EXPECT_EQ(0u, r.out.rfind(out + normalizeLine(59, 32), 0)) << r.out;
  EXPECT_TRUE(fileExists(dir.file("in.dff")));
}

// Sample decoding at the ends of the ranges, checked through pairs of files
// that must convert identically:
// - a 16-bit sample s is the 24-bit word s x 256: 0x8000 -> 0x800000,
//   0x7FFF -> 0x7FFF00, 0xFFFF (-1) -> 0xFFFF00 (-255/16777215);
// - the 24-bit words 0xFFFFFF and 0 both decode to exactly 0.0.
TEST(ConversionE2E, ExtremeSampleWordsDecodeExactly) {
  TempDir dir;
  auto convertOk = [&](const std::string& name) {
    RunResult r = convert(dir, {name + ".wav", name + ".dff", "/DSD64", "/t:2048", "/s:512", "/n:-16"});
    EXPECT_EQ(r.exitStatus, 0) << name << ": " << r.err;
    return readFileBytes(dir.file(name + ".dff"));
  };

  // 16-bit with isolated extremes and a stretch of -1, against its widening.
  generate(dir.file("base16.wav"), 44100, 16, "frames:6000",
           {"--left", "sine:1000:-12", "--right", "sine:2500:-14+noise:-40"});
  std::vector<std::int32_t> s16 = samples16(waveData(dir.file("base16.wav")));
  for (std::size_t f = 500; f < 5800; f += 700) {
    s16[2 * f] = 32767;
    s16[2 * f + 1] = -32768;
    s16[2 * f + 2] = -32768;
    s16[2 * f + 3] = 32767;
  }
  for (std::size_t f = 3000; f < 3400; ++f) s16[2 * f] = -1;
  std::vector<std::int32_t> s24;
  for (std::int32_t s : s16) s24.push_back(s * 256);
  writeFileBytes(dir.file("x16.wav"), waveFile(44100, 16, pcmBytes(16, s16)));
  writeFileBytes(dir.file("x24.wav"), waveFile(44100, 24, pcmBytes(24, s24)));
  const Bytes out16 = convertOk("x16");
  EXPECT_EQ(out16.size(), 130u + 96000u);
  EXPECT_TRUE(out16 == convertOk("x24")) << "16-bit input differs from its 24-bit widening";

  // 24-bit with 0x7FFFFF and 0x800000 spikes and a stretch of 0xFFFFFF,
  // against the same file with 0 in that stretch.
  std::vector<std::int32_t> withMinusOne = s24;
  for (std::size_t f = 250; f < 5800; f += 700) {
    withMinusOne[2 * f] = 0x7FFFFF;
    withMinusOne[2 * f + 1] = -0x800000;
  }
  std::vector<std::int32_t> withZero = withMinusOne;
  for (std::size_t f = 1000; f < 1600; ++f) {
    withMinusOne[2 * f] = -1;  // 0xFFFFFF
    withZero[2 * f] = 0;
  }
  writeFileBytes(dir.file("minus1.wav"), waveFile(44100, 24, pcmBytes(24, withMinusOne)));
  writeFileBytes(dir.file("zero.wav"), waveFile(44100, 24, pcmBytes(24, withZero)));
  const Bytes outMinusOne = convertOk("minus1");
  EXPECT_EQ(outMinusOne.size(), 130u + 96000u);
  EXPECT_TRUE(outMinusOne == convertOk("zero")) << "0xFFFFFF does not decode like 0";

  // All 0xFFFFFF against digital silence.
  generate(dir.file("allminus1.wav"), 44100, 24, "0.3", {"--both", "const:-1"});
  generate(dir.file("silence.wav"), 44100, 24, "0.3", {"--both", "silence"});
  EXPECT_TRUE(convertOk("allminus1") == convertOk("silence"));
}

// The worker-thread count must not change a single output bit, at each DSD
// rate (the parallel loops are in the filter design and the interpolator).
TEST(ConversionE2E, SameOutputWithOneAndTwoThreads) {
  TempDir dir;
  generate(dir.file("in.wav"), 44100, 24, "0.4",
           {"--left", "sine:1000:-6+noise:-20", "--right", "noise:-10", "--seed", "3"});
  for (const char* rate : {"/DSD64", "/DSD128", "/DSD256"}) {
    SCOPED_TRACE(rate);
    RunResult one = convert(dir, {"in.wav", "one.dff", rate, "/t:4096"}, "1");
    RunResult two = convert(dir, {"in.wav", "two.dff", rate, "/t:4096"}, "2");
    ASSERT_EQ(one.exitStatus, 0) << one.err;
    ASSERT_EQ(two.exitStatus, 0) << two.err;
    EXPECT_EQ(reduceTimingLines(one.out), reduceTimingLines(two.out));
    const Bytes a = readFileBytes(dir.file("one.dff"));
    EXPECT_GT(a.size(), 130u);
    EXPECT_TRUE(a == readFileBytes(dir.file("two.dff")));
  }
}

// Output to a device through a link: a successful run writes into it, and
// neither a failed run nor its retries remove the device or the link.
TEST(ConversionE2E, OutputThroughLinkToDeviceIsNeverDeleted) {
  TempDir dir;
  const std::string link = dir.file("sink.dff");
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
  auto deviceIntact = [&] {
    struct stat st;
    EXPECT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/null is no longer a character device";
    EXPECT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was removed";
  };

  generate(dir.file("good.wav"), 44100, 16, "0.3", {"--both", "sine:1000:-6"});
  RunResult ok = convert(dir, {"good.wav", "sink.dff", "/DSD64", "/t:2048"});
  EXPECT_EQ(ok.exitStatus, 0) << ok.err;
  EXPECT_NE(ok.out.find("<Write Data Size = 211680>"), std::string::npos);
  deviceIntact();

  generate(dir.file("clip.wav"), 44100, 16, "0.3", {"--left", "sine:1000:0", "--right", "silence"});
  RunResult clip = convert(dir, {"clip.wav", "sink.dff", "/DSD64", "/t:2048"});
  EXPECT_EQ(clip.exitStatus, 2);
  deviceIntact();

  // Offsets 1 and 0 clip, -1 converts: two failed attempts on the device.
  RunResult retried = convert(dir, {"clip.wav", "sink.dff", "/DSD64", "/t:2048", "/n:1", "/r"});
  EXPECT_EQ(retried.exitStatus, 0) << retried.err;
  EXPECT_EQ(countOf(retried.out, kRetryLine), 2u);
  deviceIntact();
}

namespace {

// A Kaiser alpha whose series overflows (above about 713, and 2000 where an
// unchecked series would never end) or underflows to zero has no window:
// the run stops after the design with a message, before any output exists.
TEST(ConversionE2E, KaiserAlphaOutOfRangeStopsBeforeTheOutput) {
  TempDir dir;
  generate(dir.file("in.wav"), 44100, 16, "frames:2048", {"--both", "sine:1000:-6"});
  for (const std::string alpha : {"/k:800", "/k:2000", "/k:1e-300", "/k:1e400", "/K:-2000"}) {
    SCOPED_TRACE(alpha);
    RunResult r = convert(dir, {"in.wav", "/DSD64", "/t:2048", alpha, "/d"});
    EXPECT_EQ(1, r.exitStatus);
    EXPECT_EQ("Kaiser alpha out of range\n", r.err);
    EXPECT_EQ(std::string::npos, r.out.find("NoiseShaper")) << r.out;
    EXPECT_FALSE(testsupport::fileExists(dir.file("in.dff")));
    // The unwindowed taps were dumped before the window failed; nothing after.
    EXPECT_TRUE(testsupport::fileExists(dir.file("C:\\TEMP\\DSD64_T2048_CalcFIRCoeff.txt")));
    EXPECT_FALSE(testsupport::fileExists(dir.file("C:\\TEMP\\DSD64_T2048_KiaserFIRCoeff.txt")));
  }
  // The largest alphas that still give a window convert normally.
  RunResult ok = convert(dir, {"in.wav", "/DSD64", "/t:2048", "/k:700"});
  EXPECT_EQ(0, ok.exitStatus) << ok.err;
}

}  // namespace

namespace {

// The pipeline modulates block b while it interpolates block b+1, yet the
// console must read as if blocks ran one after another: a clip in block 28
// comes after the dot of block 26 and nothing of a later block is printed.
TEST(ConversionE2E, LateClipIsReportedAfterTheDotsOfEarlierBlocks) {
  TempDir dir;
  const int blockFrames = 512, quietBlocks = 28;
  std::vector<std::int32_t> samples;
  for (int k = 0; k < (quietBlocks + 3) * blockFrames; ++k) {
    const bool burst = k >= quietBlocks * blockFrames;
    samples.push_back(burst ? 32767 : (k % 64) * 8 - 256);  // left
    samples.push_back(0);                                   // right
  }
  const Bytes data = pcmBytes(16, samples);
  writeFileBytes(dir.file("in.wav"), waveFile(44100, 16, data));
  for (const char* threads : {"1", "2"}) {
    SCOPED_TRACE(threads);
    RunResult r = convert(dir, {"in.wav", "/DSD64", "/t:2048", "/s:512"}, threads);
    EXPECT_EQ(2, r.exitStatus);
    EXPECT_EQ(kClipMessage, r.err);
    const std::string tail = std::string(kStartLine) + normalizeLine(64, 32) + ".";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(tail, r.out.substr(r.out.size() - tail.size())) << r.out;
    EXPECT_FALSE(fileExists(dir.file("in.dff")));
  }
}

}  // namespace
