// The GNU-style command line and the batch driver: option validation, and
// a folder of mixed files converted at once, end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/gnu_command_line.h"
#include "test_support.h"

namespace {

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::readFileBytes;

pulsemill::Status parse(std::vector<std::string> args, pulsemill::BatchSettings& settings) {
  args.insert(args.begin(), "pulsemill");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  return pulsemill::parseGnuCommandLine(static_cast<int>(argv.size()), argv.data(), settings);
}

TEST(GnuCommandLine, ValuesAreCheckedBeforeAnythingRuns) {
  TempDir dir;
  const std::string in = dir.file("a.wav");
  testsupport::writeFileBytes(in, {});
  const struct {
    std::vector<std::string> args;
    bool accepted;
    const char* refusal = nullptr;  // the line's text, where it is checked
  } cases[] = {
      {{"--rate", "128", in}, true},        {{"--rate", "1024", in}, false},
      {{"--rate", "512", in}, true},        {{"--align", in}, true},
      {{"--shaper-design", "rate", in}, true}, {{"--shaper-design", "q", in}, false},
      {{"--rate", "x", in}, false},         {{"--format", "dff", in}, true},
      {{"--format", "wav", in}, false},     {{"--taps", "4096", in}, true},
      {{"--taps", "5000", in}, false},      {{"--alpha", "4.5", in}, true},
      {{"--alpha", "0", in}, false},        {{"--shaper", "5", in}, true},
      {{"--shaper", "6", in}, false},       {{"--block", "2048", in}, true},
      {{"--block", "513", in}, false},      {{"--gain", "-6", in}, true},
      {{"--gain", "1", in}, false},         {{"--gain", "-25", in}, false},
      {{"-j", "auto", in}, true},           {{"-j", "0", in}, false},
      {{"--offset", "-3", in}, true},       {{"--offset", "1.5", in}, false},
      {{"-o", "x.dsf", in}, true},          {{"-o", "x.dsf", in, in}, false},
      {{"-o", "x.dff", "--format", "dsf", in}, false},
      {{"--retry", "/DSD64", in}, false},   {{"--bogus", in}, false},
      {{"--rate", "64"}, false},
      {{"--shaper-design", "fixed", in}, true}, {{"--shaper-design", "exact", in}, false},
      {{"--alpha", "0x10", in}, false},     {{"--offset", "-2147483649", in}, false},
      // Neither NaN, infinity nor an integer beyond its bounds gets through.
      {{"--alpha", "nan", in}, false, "--alpha: nan is not a finite number above 0"},
      {{"--alpha", "inf", in}, false, "--alpha: inf is not a finite number above 0"},
      {{"--gain", "nan", in}, false, "--gain: nan is not auto or a number from -24 to 0"},
      {{"--offset", "9223372036854775807", in}, false,
       "--offset: 9223372036854775807 is not a whole number from -2147483648 to 2147483647"},
      {{"--rate", "99999999999999999999", in}, false,
       "--rate: 99999999999999999999 is not 64, 128, 256 or 512"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    pulsemill::BatchSettings settings;
    const pulsemill::Status status = parse(c.args, settings);
    EXPECT_EQ(c.accepted, status.ok()) << status.detail();
    EXPECT_EQ(status.ok() ? pulsemill::StatusCode::Ok : pulsemill::StatusCode::BadOption, status.code());
    if (c.refusal != nullptr) {
      EXPECT_EQ(c.refusal, status.detail());
    }
  }
  pulsemill::BatchSettings settings;
  ASSERT_TRUE(parse({"--rate", "64", "--taps", "2048", "--gain", "-6", "-o", "b.DFF", in}, settings).ok());
  EXPECT_EQ(64, settings.run.dsdRate);
  EXPECT_EQ(2048, settings.run.tapCount);
  EXPECT_NEAR(0.501187, settings.run.gainFactor, 1e-6);
  EXPECT_FALSE(settings.dsf);
  ASSERT_TRUE(parse({"--rate", "512", "--shaper-design", "fixed", in}, settings).ok());
  EXPECT_EQ(std::vector<std::string>{"pulsemill: --shaper-design fixed is ignored: DSD512 uses "
                                     "the rate shaper\n"},
            settings.run.warnings);
}

// A small tree: two WAVE files and a FLAC file that convert, a damaged
// WAVE, and a file whose output exists already.
class BatchE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.file("album/cd2"));
    testsupport::makeWave(dir_, "album/a.wav", 44100, 16, 30000, "sine:1000:-6", "sine:440:-10");
    testsupport::makeWave(dir_, "album/cd2/b.wav", 48000, 24, 20000, "sine:700:-8", "silence");
    testsupport::makeWave(dir_, "c.wav", 44100, 16, 10000, "sine:300:-6", "sine:300:-6");
    testsupport::makeWave(dir_, "album/done.wav", 44100, 16, 5000, "sine:500:-6", "silence");
    ASSERT_EQ(0, testsupport::runShell("cd '" + dir_.path() + "' && flac -s c.wav -o album/cd2/c.flac"
                                       " && head -c 3000 album/a.wav > album/bad.wav"
                                       " && echo kept > album/done.dsf && echo notes > album/x.txt"));
  }
  RunResult batch(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--rate", "64", "--taps", "2048"};
    args.insert(args.end(), extra.begin(), extra.end());
    return testsupport::convertIn(dir_, args, "2");
  }
  TempDir dir_;
};

TEST_F(BatchE2E, FolderConvertsLikeSingleRunsAndReportsEachFile) {
  RunResult r = batch({"album"});
  EXPECT_EQ(1, r.exitStatus) << r.err;  // one file failed
  // done.dsf is no DSF file: converted again, saying why.
  EXPECT_NE(std::string::npos, r.err.find("5 files: 4 converted (0 after a clip, 0 at a lower gain), 0 skipped, 0 "
                                          "clipped, 1 failed")) << r.err;
  EXPECT_NE(std::string::npos,
            r.err.find("pulsemill: album/done.dsf: damaged (shorter than a DSF header): converted again\n"))
      << r.err;
  EXPECT_NE(std::string::npos, r.err.find("pulsemill: failed: album/bad.wav: unexpected end of file"))
      << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("x.txt")) << "listed only with -v";
  EXPECT_EQ("", r.out);
  EXPECT_FALSE(testsupport::fileExists(dir_.file("album/bad.dsf")));
  EXPECT_TRUE(testsupport::temporaries(dir_.path()).empty());
  // Each output is the slash grammar's single run of the same file.
  for (const char* name : {"album/a", "album/cd2/b", "album/cd2/c", "album/done"}) {
    SCOPED_TRACE(name);
    const std::string input = std::string(name) + (std::string(name).back() == 'c' ? ".flac" : ".wav");
    ASSERT_EQ(0, testsupport::convertIn(dir_, {input, "single.dsf", "/DSD64", "/t:2048"}, "2").exitStatus);
    EXPECT_EQ(readFileBytes(dir_.file("single.dsf")), readFileBytes(dir_.file(std::string(name) + ".dsf")));
  }
  // Again: everything done is skipped; with --force into another folder, replaced.
  r = batch({"-q", "album"});
  EXPECT_NE(std::string::npos, r.err.find("0 converted (0 after a clip, 0 at a lower gain), 4 skipped")) << r.err;
  // Asked for another rate, the existing files are named as made otherwise.
  r = testsupport::convertIn(dir_, {"--rate", "128", "album/cd2"}, "2");
  EXPECT_NE(std::string::npos, r.err.find("album/cd2/b.dsf: skipped: exists, made with other "
                                          "settings (Pulsemill 1.5 DSD64 2048 taps k10 p2 n0)"))
      << r.err;
  testsupport::writeFileBytes(dir_.file("album/cd2/b.dsf"), {'o', 'l', 'd'});
  r = batch({"-f", "album/cd2"});
  EXPECT_NE(std::string::npos, r.err.find("2 converted")) << r.err;
  EXPECT_NE(testsupport::Bytes({'o', 'l', 'd'}), readFileBytes(dir_.file("album/cd2/b.dsf")));
  r = batch({"-f", "--format", "dff", "-d", "out", "--diagnostics", "diag", "-v", "album/cd2",
             "-j", "1"});
  EXPECT_EQ(0, r.exitStatus) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("finename = 'album/cd2/b.wav'\n")) << r.err;  // -v
  EXPECT_TRUE(testsupport::fileExists(dir_.file("diag/b/KiaserFIRCoeff.txt")));
  EXPECT_TRUE(testsupport::fileExists(dir_.file("diag/c/7ThNoiseShaper.sce")));
  EXPECT_TRUE(testsupport::fileExists(dir_.file("out/b.dff")));
  EXPECT_TRUE(testsupport::fileExists(dir_.file("out/c.dff")));
}

// The default gain: a hard-clipped master (7% of its samples at full
// scale) that overloads at 0 dB converts at the lower gain the overload
// suggests, which the line, the summary and the TSSE state; from a pipe it
// cannot start again, and says so. A second run skips it (both automatic).
TEST_F(BatchE2E, AutomaticGainConvertsALoudMaster) {
  ASSERT_EQ(0, testsupport::runShell("cd '" + dir_.path() + "' && /usr/bin/python3 " PULSEMILL_TOOLS_DIR
                                     "/make_masters.py m --seconds 2"));
  RunResult r = batch({"m/clip7.wav"});
  EXPECT_EQ(0, r.exitStatus) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("m/clip7.wav -> m/clip7.dsf: converted at -1 dB (overload at "
                                          "0 dB)")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("1 converted (0 after a clip, 1 at a lower gain)")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("pulsemill: converted at -1 dB: m/clip7.wav\n")) << r.err;
  EXPECT_NE(std::string::npos, testsupport::id3TagsByMutagen(dir_.file("m/clip7.dsf"))
                                   .find("TSSE Pulsemill 1.5 DSD64 2048 taps k10 p2 n0 g-1 auto\n"));
  EXPECT_NE(std::string::npos, batch({"m/clip7.wav"}).err.find("skipped: exists\n"));
  r = testsupport::runProgram("/bin/sh", {"-c", "cat m/clip7.wav | " PULSEMILL_BINARY
                                          " --rate 64 --taps 2048 -o p.dsf /dev/stdin"}, dir_.path());
  EXPECT_EQ(2, r.exitStatus) << r.err;
  EXPECT_EQ(0u, r.err.find("pulsemill: /dev/stdin: cannot retry at a lower gain from a pipe; give "
                           "--gain\n")) << r.err;
}

TEST_F(BatchE2E, GainAvoidsAClipAndAnOffsetMustLeaveAGain) {
  std::filesystem::create_directories(dir_.file("hot"));
  testsupport::makeWave(dir_, "hot/hot.wav", 44100, 16, 3000, "const:32767", "silence");
  RunResult r = batch({"--gain", "0", "hot"});
  EXPECT_EQ(2, r.exitStatus) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("1 clipped")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("pulsemill: clipped: hot/hot.wav (offset 0)")) << r.err;
  r = batch({"--gain", "-12", "hot"});
  EXPECT_EQ(0, r.exitStatus) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("1 converted")) << r.err;
  r = batch({"-f", "--offset", "-64", "hot"});
  EXPECT_EQ(1, r.exitStatus) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("hot/hot.wav: --offset -64 leaves no gain at ratio 64")) << r.err;
}

TEST_F(BatchE2E, CollidingOutputsAndInterruptsLeaveNothing) {
  ASSERT_EQ(0, testsupport::runShell("cd '" + dir_.path() + "' && cp c.wav album/cd2/c.wav"));
  // Only the colliding input fails; the rest convert.
  RunResult r = batch({"album/cd2"});
  EXPECT_EQ(1, r.exitStatus);
  EXPECT_NE(std::string::npos, r.err.find("album/cd2/c.wav -> album/cd2/c.dsf: FAILED (would write the "
                                          "same output as album/cd2/c.flac)")) << r.err;
  EXPECT_TRUE(testsupport::fileExists(dir_.file("album/cd2/b.dsf")));

  // A long batch interrupted while it writes: no output, no temporary file.
  std::filesystem::create_directories(dir_.file("long"));
  testsupport::makeWave(dir_, "long/l1.wav", 44100, 16, 441000, "sine:1000:-6", "silence");
  testsupport::makeWave(dir_, "long/l2.wav", 44100, 16, 441000, "sine:1000:-6", "silence");
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir_.path().c_str()) != 0) _exit(127);
    execl(PULSEMILL_BINARY, PULSEMILL_BINARY, "--rate", "256", "-q", "long", nullptr);
    _exit(127);
  }
  for (int i = 0; i < 3000 && testsupport::temporaries(dir_.file("long")).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(child, SIGINT);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  EXPECT_TRUE(testsupport::temporaries(dir_.path()).empty());
  EXPECT_FALSE(testsupport::fileExists(dir_.file("long/l1.dsf")));
  EXPECT_FALSE(testsupport::fileExists(dir_.file("long/l2.dsf")));
}

// More temporary files at once than a fixed table of 64 would hold, each
// made and then stuck reading its input (a FIFO that does not end): SIGTERM
// ends the batch by that signal and removes them all, those of runs that
// cannot reach their next check too.
TEST(BatchInterrupt, SigtermRemovesTheTemporariesOfAHundredRuns) {
  constexpr int kFiles = 100;
  TempDir dir;
  testsupport::makeWave(dir, "tone.wav", 44100, 16, 2205, "sine:1000:-6", "silence");
  const testsupport::Bytes tone = readFileBytes(dir.file("tone.wav"));
  std::filesystem::remove(dir.file("tone.wav"));
  struct Writers {
    std::vector<int> fds;
    ~Writers() { for (int fd : fds) close(fd); }
  } writers;
  std::vector<std::string> args = {PULSEMILL_BINARY, "--rate", "64", "--taps", "2048", "-q",
                                   "-j", std::to_string(kFiles)};
  for (int i = 0; i < kFiles; ++i) {
    args.push_back(dir.file("in" + std::to_string(i) + ".wav"));
    ASSERT_EQ(0, mkfifo(args.back().c_str(), 0600));
    writers.fds.push_back(open(args.back().c_str(), O_RDWR | O_CLOEXEC));
    // All but the last frame: the run reads on, and waits.
    ASSERT_EQ(static_cast<ssize_t>(tone.size() - 4),
              write(writers.fds.back(), tone.data(), tone.size() - 4));
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    execv(PULSEMILL_BINARY, argv.data());
    _exit(127);
  }
  int status = 0;
  for (int i = 0; i < 6000 && testsupport::temporaries(dir.path()).size() < kFiles; ++i) {
    ASSERT_EQ(0, waitpid(child, &status, WNOHANG)) << "ended before all its files were made";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(child, SIGTERM);
  pid_t ended = 0;
  for (int i = 0; i < 6000 && (ended = waitpid(child, &status, WNOHANG)) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (ended != child) {  // hung
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(0u, testsupport::temporaries(dir.path()).size()) << "temporary files left";
}

}  // namespace
