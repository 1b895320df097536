// Command line: argument count, option classification, value reading and
// mapping, output-name derivation, the usage text and names in the
// "pulsemill: ..." lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/gnu_command_line.h"

using pulsemill::RunSettings;

namespace {

const char kUsage[] =
    "Pulsemill  - Version1.5 - \n"
    "pulsemill.exe infile <outfile> </DSD256> </r> </t:32768> </k:10> </p:5>\n"
    " <..> option paramater is follow.\n"
    " </DSD oversample> /DSD64 or /DSD128 or /DSD256(default)\n"
    " </r: Retry again to set normalize offset -1 position until 10 times>\n"
    " </n: normalize offset> -1...-N or 1...N number\n"
    " </k: Kaiser Window Alpha Value> ex /k:4../k:16 /k:10(default)\n"
    " </t: tap count> /t:2048 or /t:4096 or /t:8192 or /t:16384 or /t:32768(default) /t:65536\n"
    " </p: 7Th Noise Shaper pattern number> 1...5 number\n"
    "   1 = NoiseShaper param Zero1=0.94, Zero2=0.73, Zero3=0.41\n"
    "   2 = NoiseShaper param Zero1=0.95, Zero2=0.74, Zero3=0.42(degfault)\n"
    "   3 = NoiseShaper param Zero1=0.96, Zero2=0.76, Zero3=0.43\n"
    "   4 = NoiseShaper param Zero1=0.97, Zero2=0.77, Zero3=0.43\n"
    "   5 = NoiseShaper param Zero1=0.98, Zero2=0.78, Zero3=0.44\n"
    "ex. pulsemill.exe \"c:\\data\\aaa.wav\" /p:5\n";

struct ParseOutcome {
  bool accepted = false;
  pulsemill::StatusCode code = pulsemill::StatusCode::Ok;
  RunSettings settings;
  std::string printed;  // standard output during the parse
  std::string errors;   // standard error
};

// Runs the parser on the user arguments (argv[0] is supplied here) with a
// settings record that does not start from the defaults, so the parser must
// set every default itself.
ParseOutcome parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"pulsemill"};
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  ParseOutcome out;
  out.settings.inputPath = "stale";
  out.settings.outputPath = "stale";
  out.settings.dsdRate = 1;
  out.settings.tapCount = 1;
  out.settings.kaiserAlpha = 1.5;
  out.settings.blockFrames = 1;
  out.settings.shaperPreset = 99;
  out.settings.normalizeOffset = 99;
  out.settings.retryOnClip = true;
  out.settings.debugDumps = true;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const pulsemill::Status status =
      pulsemill::parseCommandLine(static_cast<int>(argv.size() - 1), argv.data(), out.settings);
  out.accepted = status.ok();
  out.code = status.code();
  EXPECT_EQ(out.accepted ? 0 : 1, status.exitStatus());
  out.printed = testing::internal::GetCapturedStdout();  // the parse itself prints nothing
  out.errors = testing::internal::GetCapturedStderr();
  pulsemill::CapturedReport report;
  status.report(report);  // as the run reports it
  out.printed += report.standardOutput();
  out.errors += report.standardError();
  return out;
}

std::string describe(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& a : args) text += "[" + a + "] ";
  return text;
}

void expectSameSettings(const RunSettings& want, const RunSettings& got) {
  EXPECT_EQ(want.inputPath, got.inputPath);
  EXPECT_EQ(want.outputPath, got.outputPath);
  EXPECT_EQ(want.dsdRate, got.dsdRate);
  EXPECT_EQ(want.tapCount, got.tapCount);
  EXPECT_EQ(want.kaiserAlpha, got.kaiserAlpha);
  EXPECT_EQ(want.blockFrames, got.blockFrames);
  EXPECT_EQ(want.shaperPreset, got.shaperPreset);
  EXPECT_EQ(want.normalizeOffset, got.normalizeOffset);
  EXPECT_EQ(want.retryOnClip, got.retryOnClip);
  EXPECT_EQ(want.debugDumps, got.debugDumps);
  EXPECT_EQ(want.rateShaper, got.rateShaper);
  EXPECT_EQ(want.alignOutput, got.alignOutput);
}

// Defaults after "in.wav", changed by `edit`.
RunSettings expected(const std::function<void(RunSettings&)>& edit) {
  RunSettings s;
  s.inputPath = "in.wav";
  s.outputPath = "in.dff";
  s.dsdRate = 256;
  s.tapCount = 0;
  s.kaiserAlpha = 10.0;
  s.blockFrames = 1024;
  s.shaperPreset = 0;
  s.normalizeOffset = 0;
  s.retryOnClip = false;
  s.debugDumps = false;
  edit(s);
  return s;
}

const double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(CommandLine, ClassifiesEveryArgumentByTheFirstMatchingRule) {
  struct Case {
    std::vector<std::string> args;
    std::function<void(RunSettings&)> edit;
  };
  const std::vector<Case> cases = {
      {{"in.wav"}, [](RunSettings&) {}},
      // DSD rates: exact upper or lower case only; the last one wins.
      {{"in.wav", "/DSD64"}, [](RunSettings& s) { s.dsdRate = 64; }},
      {{"in.wav", "/dsd64"}, [](RunSettings& s) { s.dsdRate = 64; }},
      {{"in.wav", "/DSD128"}, [](RunSettings& s) { s.dsdRate = 128; }},
      {{"in.wav", "/dsd128"}, [](RunSettings& s) { s.dsdRate = 128; }},
      {{"in.wav", "/DSD512"}, [](RunSettings& s) { s.dsdRate = 512; }},
      {{"in.wav", "/dsd512", "/DSD64"}, [](RunSettings& s) { s.dsdRate = 64; }},
      {{"in.wav", "/DSD64", "/DSD256"}, [](RunSettings&) {}},
      {{"in.wav", "/dsd256", "/DSD64", "/DSD128"}, [](RunSettings& s) { s.dsdRate = 128; }},
      {{"in.wav", "out.dff", "/DSD64", "x", "/dsd128"}, [](RunSettings& s) {
         s.outputPath = "out.dff";
         s.dsdRate = 128;
       }},
      // Mixed case or extra characters match no option: position 2 makes
      // them the output name unless they are typos (see TyposNeverNameAFile),
      // position 3 or later ignores them.
      {{"in.wav", "out", "/DSD32", "/dSD128", "/DSD1280"}, [](RunSettings& s) { s.outputPath = "out"; }},
      // Prefix options in either case; the value may be empty.
      {{"in.wav", "/t:8192"}, [](RunSettings& s) { s.tapCount = 8192; }},
      {{"in.wav", "/T:16384"}, [](RunSettings& s) { s.tapCount = 16384; }},
      {{"in.wav", "/t:"}, [](RunSettings& s) { s.tapCount = 2048; }},
      {{"in.wav", "/S:2048"}, [](RunSettings& s) { s.blockFrames = 2048; }},
      {{"in.wav", "/s:"}, [](RunSettings& s) { s.blockFrames = 512; }},
      {{"in.wav", "/K:4.5"}, [](RunSettings& s) { s.kaiserAlpha = 4.5; }},
      {{"in.wav", "/k:"}, [](RunSettings& s) { s.kaiserAlpha = 8.0; }},
      {{"in.wav", "/p:9"}, [](RunSettings& s) { s.shaperPreset = 9; }},
      {{"in.wav", "/P:-4"}, [](RunSettings& s) { s.shaperPreset = -4; }},
      {{"in.wav", "/p:five"}, [](RunSettings& s) { s.shaperPreset = 0; }},
      {{"in.wav", "/n:-3"}, [](RunSettings& s) { s.normalizeOffset = -3; }},
      {{"in.wav", "/N:12"}, [](RunSettings& s) { s.normalizeOffset = 12; }},
      {{"in.wav", "/n:x"}, [](RunSettings&) {}},
      {{"in.wav", "/n:-99999999999"},
       [](RunSettings& s) { s.normalizeOffset = std::numeric_limits<std::int32_t>::min(); }},
      {{"in.wav", "/n:99999999999"},
       [](RunSettings& s) { s.normalizeOffset = std::numeric_limits<std::int32_t>::max(); }},
      // Later values override earlier ones, including with text.
      {{"in.wav", "/t:65536", "/t:4096"}, [](RunSettings& s) { s.tapCount = 4096; }},
      {{"in.wav", "/k:4", "/k:0"}, [](RunSettings& s) { s.kaiserAlpha = 8.0; }},
      {{"in.wav", "/p:3", "/p:x"}, [](RunSettings& s) { s.shaperPreset = 0; }},
      {{"in.wav", "/s:2048", "/s:513"}, [](RunSettings& s) { s.blockFrames = 1024; }},
      {{"in.wav", "/n:5", "/n:-1"}, [](RunSettings& s) { s.normalizeOffset = -1; }},
      // Switches: only the exact two-character forms.
      {{"in.wav", "/r"}, [](RunSettings& s) { s.retryOnClip = true; }},
      {{"in.wav", "/R"}, [](RunSettings& s) { s.retryOnClip = true; }},
      {{"in.wav", "/d"}, [](RunSettings& s) { s.debugDumps = true; }},
      {{"in.wav", "/D"}, [](RunSettings& s) { s.debugDumps = true; }},
      {{"in.wav", "/q", "/A"}, [](RunSettings& s) { s.rateShaper = s.alignOutput = true; }},
      {{"in.wav", "/Q", "/a"}, [](RunSettings& s) { s.rateShaper = s.alignOutput = true; }},
      {{"in.wav", "out", "/r5", "/dd", "/Rr", "/qq", "/aA"}, [](RunSettings& s) { s.outputPath = "out"; }},
      // A missing colon or another letter is no option.
      {{"in.wav", "out", "/t8192", "/k", "/q:1"}, [](RunSettings& s) { s.outputPath = "out"; }},
      // Position 2: an option leaves the derived name, a plain argument
      // replaces it as given (no extension added); position 3+ is ignored.
      {{"in.wav", "/r", "out"}, [](RunSettings& s) { s.retryOnClip = true; }},
      {{"in.wav", "out"}, [](RunSettings& s) { s.outputPath = "out"; }},
      {{"in.wav", "out.dff", "other.dff", "third"}, [](RunSettings& s) { s.outputPath = "out.dff"; }},
      // Options at any position after the input, all seven kinds together.
      {{"in.wav", "out.dff", "/DSD64", "/t:2048", "/k:7.25", "/s:600", "/p:4", "/n:-2", "/R"},
       [](RunSettings& s) {
         s.outputPath = "out.dff";
         s.dsdRate = 64;
         s.tapCount = 2048;
         s.kaiserAlpha = 7.25;
         s.blockFrames = 1024;
         s.shaperPreset = 4;
         s.normalizeOffset = -2;
         s.retryOnClip = true;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    ParseOutcome got = parse(c.args);
    ASSERT_TRUE(got.accepted);
    EXPECT_EQ("", got.printed);
    expectSameSettings(expected(c.edit), got.settings);
  }
}

// An argument shaped like an option that is none is refused where it would
// name a file, before a missing input's usage; so is, as the output, a name
// in the root folder without a DSD extension ("//NAME" names such a file).
// Later both are ignored with a warning. Paths are not shaped like options.
TEST(CommandLine, TyposNeverNameAFile) {
  enum Kind { kPath, kShaped, kInRoot };  // kInRoot: refused as the output only
  const struct {
    const char* arg;
    Kind kind;
  } cases[] = {
      {"/DSD65", kShaped}, {"/x", kShaped}, {"/t2048", kShaped}, {"/t8192", kShaped},
      {"/dsd", kShaped}, {"/out", kShaped}, {"/Dsd64", kShaped}, {"/d1", kShaped},
      {"/q:1.5", kShaped}, {"/DSD:64", kShaped}, {"/r:", kShaped}, {"/D:", kShaped},
      {"/x:5", kShaped}, {"-o", kShaped}, {"--dsf", kShaped}, {"-h", kShaped},
      {"/tmp/a.dff", kPath}, {"/a.dff", kPath}, {"/a.DSF", kPath}, {"//out", kPath},
      {"//t=2048", kPath}, {"./-o", kPath}, {"C:\\x\\a.wav", kPath}, {"-", kPath}, {"/", kPath},
      {"a-b", kPath}, {"/DSD64 ", kInRoot}, {"/t=2048", kInRoot}, {"/n=-3", kInRoot},
      {"/s=1024", kInRoot}, {"/DSD-64", kInRoot}, {"/DSD_64", kInRoot}, {"/dsd 64", kInRoot},
      {"/t.2048", kInRoot}, {"/q-", kInRoot}, {"/a.dff.x", kInRoot},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    EXPECT_EQ(c.kind == kShaped, pulsemill::isOptionShaped(c.arg));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"in.wav", c.arg}, std::vector<std::string>{c.arg, "out.dff"},
          std::vector<std::string>{c.arg, "/r"}}) {
      ParseOutcome got = parse(args);
      if (c.kind == kShaped || (c.kind == kInRoot && args[1] == c.arg)) {
        EXPECT_EQ(pulsemill::StatusCode::UnknownOption, got.code);
        EXPECT_EQ("", got.printed);
        EXPECT_EQ(std::string("pulsemill: unknown option '") + c.arg + "' (see pulsemill --help)\n",
                  got.errors);
      } else {
        EXPECT_TRUE(got.accepted);
        EXPECT_EQ(c.arg, args[0] == c.arg ? got.settings.inputPath : got.settings.outputPath);
      }
    }
    ParseOutcome later = parse({"in.wav", "out.dff", c.arg});
    EXPECT_TRUE(later.accepted);
    EXPECT_EQ(std::vector<std::string>{std::string("pulsemill: ignored argument '") + c.arg + "'\n"},
              later.settings.warnings);
  }
}

// Every "pulsemill: ..." line shows a name's control characters as C
// escapes, so that a name can neither split its line nor steer the
// terminal; a specified line ("Can not open NAME") keeps the name as given.
TEST(CommandLine, PulsemillLinesEscapeControlCharacters) {
  const struct {
    std::string raw, shown;
  } cases[] = {
      {"a\nb", "a\\nb"},
      {"t\tab", "t\\tab"},
      {"\033[2J", "\\033[2J"},
      {"\r\x01\x1f\x7f.", "\\x0d\\x01\\x1f\\x7f."},
      {"caf\xc3\xa9 \\ 'x'", "caf\xc3\xa9 \\ 'x'"},  // UTF-8 and backslashes as they are
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(c.shown, pulsemill::printableName(c.raw));
    EXPECT_EQ(std::vector<std::string>{"pulsemill: ignored argument '" + c.shown + "'\n"},
              parse({"in.wav", "out.dff", c.raw}).settings.warnings);
    EXPECT_EQ("pulsemill: unknown option '/q:" + c.shown + "' (see pulsemill --help)\n",
              parse({"in.wav", "/q:" + c.raw}).errors);
    pulsemill::CapturedReport opened, refused;
    pulsemill::Status(pulsemill::StatusCode::OpenFailed, c.raw)
        .because("Is a directory")
        .onFiles("", "")
        .report(opened);
    EXPECT_EQ("Can not open " + c.raw + "\n", opened.standardOutput());
    EXPECT_EQ("pulsemill: " + c.shown + ": Is a directory\n", opened.standardError());
    const char* gnu[] = {"pulsemill", "--rate", c.raw.c_str(), "in.wav"};
    pulsemill::BatchSettings settings;
    pulsemill::parseGnuCommandLine(4, gnu, settings).report(refused);
    EXPECT_EQ("pulsemill: --rate: " + c.shown + " is not 64, 128, 256 or 512\n",
              refused.standardError());
  }
}

TEST(CommandLine, ValuesWithoutANumberAreReadWithAWarning) {
  const struct {
    const char* arg;
    const char* readAs;  // nullptr: a number, no warning
  } cases[] = {
      {"/t:x", "2048"}, {"/T:", "2048"}, {"/t: +5", nullptr}, {"/s: ", "512"}, {"/s:-1", nullptr},
      {"/k:.5", nullptr}, {"/k:.", "8"}, {"/k:inf", "8"}, {"/k:-e3", "8"}, {"/p:five", "0 (pattern 2)"},
      {"/n:-x", "0"}, {"/N: -3", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    ParseOutcome got = parse({"in.wav", c.arg});
    ASSERT_TRUE(got.accepted);
    EXPECT_EQ("", got.printed + got.errors);
    std::vector<std::string> want;
    if (c.readAs != nullptr)
      want.push_back(std::string("pulsemill: '") + c.arg + "' has no number; read as " + c.readAs + "\n");
    EXPECT_EQ(want, got.settings.warnings);
  }
}

// The rate shaper (/q, and every DSD512 run) has no patterns: a "/p:" is
// ignored with a warning, whatever the order.
TEST(CommandLine, RateShaperIgnoresThePatternWithAWarning) {
  const struct {
    std::vector<std::string> args;
    bool warned;
  } cases[] = {{{"in.wav", "/p:3", "/q"}, true},
               {{"in.wav", "/DSD512", "/P:x"}, true},
               {{"in.wav", "/p:3", "/DSD512", "/DSD128"}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(describe(c.args));
    const ParseOutcome got = parse(c.args);
    ASSERT_TRUE(got.accepted);
    const std::string ignored = "pulsemill: '" + c.args[c.args[1] == "/DSD512" ? 2 : 1] +
                                "' is ignored: the rate shaper has no patterns\n";
    EXPECT_EQ(c.warned, std::find(got.settings.warnings.begin(), got.settings.warnings.end(),
                                  ignored) != got.settings.warnings.end());
  }
}

TEST(CommandLine, ArgumentCountOutsideOneToNinePrintsUsageAndFails) {
  const std::vector<std::string> nine = {"in.wav", "out.dff", "/DSD64", "/t:4096", "/k:9",
                                         "/s:512", "/p:1", "/n:1", "/r"};
  ParseOutcome ok = parse(nine);
  EXPECT_TRUE(ok.accepted);
  EXPECT_EQ("", ok.printed);
  EXPECT_EQ(64, ok.settings.dsdRate);
  EXPECT_TRUE(ok.settings.retryOnClip);

  std::vector<std::string> ten = nine;
  ten.push_back("/d");  // valid, but one too many
  std::vector<std::string> eleven = ten;
  eleven.push_back("extra");
  for (const auto& args : {std::vector<std::string>{}, ten, eleven}) {
    SCOPED_TRACE(describe(args));
    ParseOutcome got = parse(args);
    EXPECT_EQ(pulsemill::StatusCode::Usage, got.code);
    EXPECT_EQ(kUsage, got.printed);
  }
}

TEST(CommandLine, MissingInputNamePrintsUsageAndFails) {
  // The first argument is an option, so no input name is set.
  const std::vector<std::vector<std::string>> cases = {
      {"/r"}, {"/DSD64"}, {"/t:4096", "in.wav"}, {"/d", "out.dff", "in.wav"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(describe(args));
    ParseOutcome got = parse(args);
    EXPECT_FALSE(got.accepted);
    EXPECT_EQ(kUsage, got.printed);
  }
}

TEST(CommandLine, UsageTextIsExact) {
  EXPECT_STREQ(kUsage, pulsemill::usageText());
}

TEST(CommandLine, TapCountFollowsTableA) {
  const struct {
    const char* text;
    int tapCount;
  } cases[] = {
      {"2147483647", 65536}, {"99999999999", 65536}, {"100000", 65536}, {"65536", 65536},
      {"65535", 32768},      {"32768", 32768},       {"32767", 16384},  {"16384", 16384},
      {"16383", 8192},       {"8192", 8192},         {"8191", 4096},    {"5000", 4096},
      {"4096", 4096},        {"4095", 2048},         {"2048", 2048},    {"1", 2048},
      {"0", 2048},           {"-1", 2048},           {"-99999999999", 2048},
      {"abc", 2048},         {"", 2048},             {"16384.9", 16384},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.tapCount, pulsemill::mapTapCount(pulsemill::parseIntValue(c.text)));
    EXPECT_EQ(c.tapCount, parse({"in.wav", std::string("/t:") + c.text}).settings.tapCount);
  }
}

TEST(CommandLine, BlockFramesFollowTableB) {
  const struct {
    const char* text;
    int blockFrames;
  } cases[] = {
      {"2147483647", 2048}, {"4096", 2048}, {"2048", 2048}, {"2047", 1024}, {"1024", 1024},
      {"513", 1024},        {"512", 512},   {"100", 512},   {"0", 512},     {"-5000", 512},
      {"many", 512},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.blockFrames, pulsemill::mapBlockFrames(pulsemill::parseIntValue(c.text)));
    EXPECT_EQ(c.blockFrames, parse({"in.wav", std::string("/s:") + c.text}).settings.blockFrames);
  }
}

TEST(CommandLine, IntegerValuesReadDecimalAndClampToInt32) {
  const std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  const std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  const struct {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"123", 123},         {"+7", 7},           {"-7", -7},          {"  42", 42},
      {"\t\n\v\f\r 9", 9},  {"12abc", 12},       {"3 4", 3},          {"1.9", 1},
      {"007", 7},           {"", 0},             {"abc", 0},          {"-", 0},
      {"- 5", 0},           {"+-5", 0},          {"0x10", 0},         {"2147483647", kMax},
      {"2147483648", kMax}, {"99999999999999999999999999", kMax},    {"-2147483648", kMin},
      {"-2147483649", kMin}, {"-99999999999999999999999999", kMin},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    EXPECT_EQ(c.value, pulsemill::parseIntValue(c.text));
    ParseOutcome got = parse({"in.wav", std::string("/p:") + c.text,
                              std::string("/n:") + c.text});
    EXPECT_EQ(c.value, got.settings.shaperPreset);
    EXPECT_EQ(c.value, got.settings.normalizeOffset);
  }
}

TEST(CommandLine, KaiserAlphaReadsDecimalOnlyAndZeroGivesEight) {
  const struct {
    const char* text;
    double read;   // the decimal reader's value
    double alpha;  // what "/k:" stores
  } cases[] = {
      {"4.5", 4.5, 4.5},         {"-3", -3.0, -3.0},       {" -3", -3.0, -3.0},
      {"+2.5", 2.5, 2.5},        {"16", 16.0, 16.0},       {".5", 0.5, 0.5},
      {"5.", 5.0, 5.0},          {"1e2", 100.0, 100.0},    {"-1E+2", -100.0, -100.0},
      {"2.5e-1", 0.25, 0.25},    {"1e", 1.0, 1.0},         {"1.5e3x", 1500.0, 1500.0},
      {"4.5abc", 4.5, 4.5},      {"0", 0.0, 8.0},          {"0.0", 0.0, 8.0},
      {"-0", 0.0, 8.0},          {"", 0.0, 8.0},           {"abc", 0.0, 8.0},
      {"inf", 0.0, 8.0},         {"-infinity", 0.0, 8.0},  {"nan", 0.0, 8.0},
      {"NAN", 0.0, 8.0},         {"0x10", 0.0, 8.0},       {"0x1p3", 0.0, 8.0},
      {"1e400", kInf, kInf},     {"-1e400", -kInf, -kInf}, {"1e-400", 0.0, 8.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    EXPECT_EQ(c.read, pulsemill::parseDecimalValue(c.text));
    EXPECT_EQ(c.alpha, parse({"in.wav", std::string("/k:") + c.text}).settings.kaiserAlpha);
  }
}

TEST(CommandLine, OutputNameIsStemOfInputPlusDff) {
  const struct {
    const char* input;
    const char* stem;
  } cases[] = {
      {"c:\\data\\aaa.wav", "c:\\data\\aaa"},
      {"aaa.b.wav", "aaa.b"},
      {"c:\\dir.x\\aaa", "c:\\dir.x\\aaa"},
      {"aaa", "aaa"},
      {"a.", "a"},
      {"c:aaa.wav", "c:aaa"},
      {".wav", ".wav"},           // a full stop at index 0 is no extension
      {"c:\\dir\\.wav", ""},      // nothing before the cut point
      {"c:\\dir\\", ""},
      {"x\\.a.b", "x\\.a"},
      // '/' separates directories like '\' and ':'.
      {"dir.x/aaa", "dir.x/aaa"},
      {"dir/aaa.wav", "dir/aaa"},
      {"/tmp/run.1/in.wav", "/tmp/run.1/in"},
      {"a.b\\c.d/e", "a.b\\c.d/e"},
      {"dir/.wav", ""},
      {"dir/", ""},
      {"/abs/in", "/abs/in"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(c.stem, pulsemill::deriveOutputStem(c.input));
    ParseOutcome got = parse({c.input});
    ASSERT_TRUE(got.accepted);
    EXPECT_EQ(c.input, got.settings.inputPath);
    EXPECT_EQ(std::string(c.stem) + ".dff", got.settings.outputPath);
  }
}

TEST(CommandLine, LongNamesAreKeptWhole) {
  const std::string dir(300, 'd');
  const std::string stem = dir + "/" + std::string(400, 'n');
  ParseOutcome derived = parse({stem + ".wav"});
  ASSERT_TRUE(derived.accepted);
  EXPECT_EQ(stem + ".wav", derived.settings.inputPath);
  EXPECT_EQ(stem + ".dff", derived.settings.outputPath);

  const std::string longOut(1000, 'o');
  ParseOutcome given = parse({"in.wav", longOut});
  ASSERT_TRUE(given.accepted);
  EXPECT_EQ(longOut, given.settings.outputPath);
}
