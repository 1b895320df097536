// Reference runs: each case in tests/data/golden is a recorded run of the
// converter (input, arguments, console output, exit status and the SHA-256
// of every file left beside the input). The built program must reproduce
// each one exactly, with every kernel variant, with one thread and with two.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"
#include "timing_line.h"

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::readFileBytes;
using testsupport::readFileText;
using testsupport::reduceTimingLines;
using testsupport::runProgram;
using testsupport::sha256OfFile;
using testsupport::writeFileBytes;

namespace {

const std::string kGoldenDir = std::string(PULSEMILL_TEST_DATA) + "/golden";

struct GoldenCase {
  std::string name;
  std::vector<std::string> args;
  int exitStatus = -1;
  std::map<std::string, std::string> fileHashes;  // file name -> SHA-256
};

// Just enough JSON for cases.json: objects, arrays, strings with the usual
// escapes, and integers.
class CasesParser {
 public:
  explicit CasesParser(std::string text) : text_(std::move(text)) {}

  std::vector<GoldenCase> parse() {
    std::vector<GoldenCase> cases;
    expect('[');
    if (!tryConsume(']')) {
      do cases.push_back(parseCase());
      while (tryConsume(','));
      expect(']');
    }
    skipSpace();
    if (pos_ != text_.size()) fail("trailing text");
    return cases;
  }

 private:
  GoldenCase parseCase() {
    GoldenCase c;
    expect('{');
    do {
      const std::string key = parseString();
      expect(':');
      if (key == "name") {
        c.name = parseString();
      } else if (key == "args") {
        expect('[');
        if (!tryConsume(']')) {
          do c.args.push_back(parseString());
          while (tryConsume(','));
          expect(']');
        }
      } else if (key == "exit") {
        c.exitStatus = parseInteger();
      } else if (key == "files_sha256") {
        expect('{');
        if (!tryConsume('}')) {
          do {
            const std::string file = parseString();
            expect(':');
            c.fileHashes[file] = parseString();
          } while (tryConsume(','));
          expect('}');
        }
      } else {
        fail("unknown key '" + key + "'");
      }
    } while (tryConsume(','));
    expect('}');
    return c;
  }

  std::string parseString() {
    expect('"');
    std::string s;
    while (pos_ < text_.size() && text_[pos_] != '"') {
      char ch = text_[pos_++];
      if (ch == '\\') {
        if (pos_ >= text_.size()) fail("unterminated escape");
        char e = text_[pos_++];
        switch (e) {
          case '"': case '\\': case '/': s += e; break;
          case 'n': s += '\n'; break;
          case 't': s += '\t'; break;
          default: fail(std::string("unsupported escape \\") + e);
        }
      } else {
        s += ch;
      }
    }
    expect('"');
    return s;
  }

  int parseInteger() {
    skipSpace();
    std::size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    if (pos_ == start) fail("number expected");
    return std::stoi(text_.substr(start, pos_ - start));
  }

  void skipSpace() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  bool tryConsume(char ch) {
    skipSpace();
    if (pos_ < text_.size() && text_[pos_] == ch) {
      ++pos_;
      return true;
    }
    return false;
  }
  void expect(char ch) {
    if (!tryConsume(ch)) fail(std::string("'") + ch + "' expected");
  }
  [[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("cases.json, offset " + std::to_string(pos_) + ": " + what);
  }

  std::string text_;
  std::size_t pos_ = 0;
};

const std::vector<std::string> kCaseNames = {"dsd64_16bit_short_blocks",
                                             "dsd128_24bit_pattern4_offset", "dsd256_96k_defaults",
                                             "debug_dumps", "clip_retry"};

std::vector<GoldenCase> loadCases() {
  return CasesParser(readFileText(kGoldenDir + "/cases.json")).parse();
}

}  // namespace

TEST(GoldenRuns, CasesFileListsEveryRecordedRun) {
  const std::vector<GoldenCase> cases = loadCases();
  std::vector<std::string> names;
  for (const GoldenCase& c : cases) {
    names.push_back(c.name);
    EXPECT_FALSE(c.name.empty());
    EXPECT_FALSE(c.args.empty()) << c.name;
    EXPECT_FALSE(c.fileHashes.empty()) << c.name;
    EXPECT_FALSE(readFileBytes(kGoldenDir + "/" + c.name + "/in.wav").empty()) << c.name;
  }
  EXPECT_EQ(names, kCaseNames);
}

TEST(GoldenRuns, TimingLineReduction) {
  EXPECT_EQ(reduceTimingLines("x\n0 Minites 0.123 Seconds, 12000 Bytes, 97.56 KBytes/Sec \n"),
            "x\n<timing line> 12000 Bytes\n");
  EXPECT_EQ(reduceTimingLines("2 Minites 5.000 Seconds, -1 Bytes, -nan KBytes/Sec \n"),
            "<timing line> -1 Bytes\n");
  // Wrong shapes stay as they are.
  const char* wrong[] = {
      "0 Minutes 0.123 Seconds, 12000 Bytes, 97.56 KBytes/Sec \n",
      "0 Minites 0.12 Seconds, 12000 Bytes, 97.56 KBytes/Sec \n",
      "0 Minites 0.123 Seconds, 12000 Bytes, 97.56 KBytes/Sec\n",
      "0 Minites 0.123 Seconds, 12000 Bytes, 97.5 KBytes/Sec \n",
  };
  for (const char* line : wrong) EXPECT_EQ(reduceTimingLines(line), line);
}

class GoldenRunsCase : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenRunsCase, ReproducesRecordedRun) {
  const std::vector<GoldenCase> cases = loadCases();
  const GoldenCase* found = nullptr;
  for (const GoldenCase& c : cases)
    if (c.name == GetParam()) found = &c;
  ASSERT_NE(found, nullptr) << "no case " << GetParam() << " in cases.json";
  const GoldenCase& c = *found;
  const std::string caseDir = kGoldenDir + "/" + c.name;
  const std::string expectedOut = readFileText(caseDir + "/stdout.txt");
  const std::string expectedErr = readFileText(caseDir + "/stderr.txt");
  ASSERT_FALSE(expectedOut.empty());

  // Once per kernel variant the CPU runs, so every variant is covered end to
  // end, each with one and two threads.
  for (pulsemill::KernelIsa isa : testsupport::supportedIsas()) {
    for (const char* threads : {"1", "2"}) {
      const std::vector<std::string> env = {std::string("OMP_NUM_THREADS=") + threads,
                                            std::string("PULSEMILL_ISA=") + pulsemill::isaName(isa)};
      SCOPED_TRACE(env[0] + " " + env[1]);
      TempDir dir;
      writeFileBytes(dir.file("in.wav"), readFileBytes(caseDir + "/in.wav"));
      RunResult r = runProgram(PULSEMILL_BINARY, c.args, dir.path(), env);
      EXPECT_EQ(r.exitStatus, c.exitStatus);
      EXPECT_EQ(reduceTimingLines(r.out), expectedOut);
      EXPECT_EQ(r.err, expectedErr);
      for (const auto& [file, hash] : c.fileHashes) {
        const std::string path = dir.file(file);
        ASSERT_TRUE(testsupport::fileExists(path)) << file;
        EXPECT_EQ(sha256OfFile(path), hash) << file;
      }
      // Nothing else is left beside the input.
      std::set<std::string> expectedNames = {"in.wav"}, names;
      for (const auto& entry : c.fileHashes) expectedNames.insert(entry.first);
      for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.insert(entry.path().filename().string());
      EXPECT_EQ(names, expectedNames);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Golden, GoldenRunsCase,
                         ::testing::ValuesIn(kCaseNames),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });
