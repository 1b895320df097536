// Faults, end to end on the built converter: full devices and file systems,
// missing and read-only output folders, an output naming the input, damaged
// and truncated headers, data chunks far longer than the file, odd chunk
// layouts, interrupts during a conversion, and outputs that are devices or
// FIFOs. Every case checks the console text, the exit status, that the input
// is untouched and that nothing is left behind.
//
// Devices are never named directly as an output: a link inside the test's
// own folder points at them, so even a faulty build can only remove the link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "timing_line.h"

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::fileExists;
using testsupport::readFileBytes;
using testsupport::readFileText;
using testsupport::reduceTimingLines;
using testsupport::runProgram;
using testsupport::sha256OfFile;
using testsupport::writeFileBytes;

namespace {

using testsupport::Bytes;
using testsupport::putLe;
using testsupport::putText;

using Clock = std::chrono::steady_clock;

const std::vector<std::string> kFastOptions = {"/DSD64", "/t:2048", "/s:512"};
const char kReadError[] = "Wave File Read Error.\n";
const char kBlockWriteError[] = "DSD File Write Error.\n";
const char kFatalWritePrefix[] = " write error : ";
const char kClipMessage[] = "DSD Clip Error. Set normalize offset, please. \n";
// The line naming the file and the system's reason after a read or write failure.
std::string reasonLine(const std::string& path, const std::string& reason) {
  return "pulsemill: " + path + ": " + reason + "\n";
}
const std::string kInputEnded = reasonLine("in.wav", "unexpected end of file");

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

Bytes chunk(const std::string& id, std::uint32_t declaredSize, const Bytes& body) {
  Bytes c;
  putText(c, id);
  putLe(c, declaredSize, 4);
  append(c, body);
  return c;
}

// A whole 44100 Hz 16-bit stereo file: `chunks` as given, then a data chunk
// declaring `declaredSize` and holding `audio`. The RIFF size counts what
// is there.
Bytes waveWith(const Bytes& chunks, const Bytes& audio, std::uint32_t declaredSize) {
  return testsupport::waveFile({}, chunks, audio, declaredSize);
}
Bytes waveWith(const Bytes& chunks, const Bytes& audio) { return testsupport::waveFile({}, chunks, audio); }

std::string hexDump(const Bytes& bytes) {
  std::string text;
  char cell[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(cell, sizeof cell, "%02x ", b);
    text += cell;
  }
  return text;
}

// Sample bytes from the generator (its files carry the 44-byte header);
// `lengthAndSignal` is the rest of its command line after rate and width.
Bytes generatedAudio(const TempDir& dir, const std::vector<std::string>& lengthAndSignal) {
  const std::string path = dir.file("generated.tmp");
  std::vector<std::string> args = {path, "--rate", "44100", "--bits", "16"};
  args.insert(args.end(), lengthAndSignal.begin(), lengthAndSignal.end());
  RunResult r = runProgram(WAVEGEN_BINARY, args);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  Bytes all = readFileBytes(path);
  std::remove(path.c_str());
  EXPECT_GE(all.size(), 44u);
  if (all.size() < 44) return {};
  return Bytes(all.begin() + 44, all.end());
}

Bytes toneAudio(const TempDir& dir, const std::string& seconds) {
  return generatedAudio(dir, {"--seconds", seconds, "--both", "sine:1000:-6"});
}

std::vector<std::string> folderEntries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The temporary files a run writes before renaming one over its output.
std::vector<std::string> temporaryFiles(const std::string& folder) {
  std::vector<std::string> found;
  for (const std::string& name : folderEntries(folder))
    if (contains(name, ".pulsemill-")) found.push_back(name);
  return found;
}

// The device nodes the tests point links at must survive every run.
::testing::AssertionResult deviceIntact(const char* path, unsigned minorNumber) {
  struct stat st;
  if (lstat(path, &st) != 0) return ::testing::AssertionFailure() << path << " is missing";
  if (!S_ISCHR(st.st_mode)) return ::testing::AssertionFailure() << path << " is no character device";
  if (major(st.st_rdev) != 1 || minor(st.st_rdev) != minorNumber)
    return ::testing::AssertionFailure() << path << " has the wrong device number";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult isSymlinkTo(const std::string& link, const std::string& target) {
  char buf[4096];
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
  if (n < 0) return ::testing::AssertionFailure() << link << " is no longer a link";
  if (std::string(buf, static_cast<std::size_t>(n)) != target)
    return ::testing::AssertionFailure() << link << " points elsewhere";
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Running the converter as a child with a time limit, outside any shell.

struct Child {
  pid_t pid = -1;
  std::string outPath, errPath;
};

// Starts the converter in `workDir`; its console streams go to files in
// `captureDir`. Signal dispositions and mask are reset to the defaults, so
// the converter sees SIGINT and SIGTERM as from an interactive terminal.
Child launch(const std::vector<std::string>& args, const std::string& workDir,
             const std::string& captureDir) {
  Child child;
  child.outPath = captureDir + "/stdout.txt";
  child.errPath = captureDir + "/stderr.txt";
  std::vector<std::string> argText = {PULSEMILL_BINARY};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);

  child.pid = fork();
  if (child.pid == 0) {
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(child.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(child.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(workDir.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

// Waits up to `limit` for the child; on time-out it is killed and the result
// is -1. Otherwise the exit status, or 128 + signal number.
int waitWithLimit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return -2;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -3;
}

// A whole run with a time limit (status -1: it hung and was killed).
RunResult convertWithin(const TempDir& dir, const std::string& input, const std::string& output,
                        std::chrono::seconds limit = std::chrono::seconds(60),
                        const std::vector<std::string>& options = kFastOptions) {
  TempDir capture;
  std::vector<std::string> args = {input, output};
  args.insert(args.end(), options.begin(), options.end());
  Child child = launch(args, dir.path(), capture.path());
  RunResult r;
  if (child.pid < 0) return r;
  r.exitStatus = waitWithLimit(child.pid, limit);
  r.out = readFileText(child.outPath);
  r.err = readFileText(child.errPath);
  return r;
}

// A tmpfs mounted on a folder for the length of a test, unmounted before the
// folder is removed.
class TmpfsMount {
 public:
  TmpfsMount(const std::string& where, unsigned long flags, const char* options) : where_(where) {
    mkdir(where.c_str(), 0755);
    if (mount("tmpfs", where.c_str(), "tmpfs", flags, options) == 0) mounted_ = true;
    else error_ = std::strerror(errno);
  }
  ~TmpfsMount() {
    if (mounted_ && umount(where_.c_str()) != 0) umount2(where_.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  std::string where_;
  bool mounted_ = false;
  std::string error_;
};

// A block or fatal write error, then the output's name and the full device.
bool isWriteFailure(const std::string& err, const std::string& output) {
  const std::size_t lineEnd = err.find('\n');
  if (lineEnd == std::string::npos) return false;
  const std::string first = err.substr(0, lineEnd + 1);
  return (first == kBlockWriteError || first.rfind(kFatalWritePrefix, 0) == 0) &&
         err.substr(lineEnd + 1) == reasonLine(output, std::strerror(ENOSPC));
}

// ---------------------------------------------------------------------------
// Outputs that fail while being written.

TEST(FaultsFullOutput, FullDeviceThroughLinkReportsWriteErrorAndKeepsDevice) {
  TempDir dir;
  ASSERT_EQ(symlink("/dev/full", dir.file("full.dff").c_str()), 0);
  // A few blocks of audio (block writes fail), and no audio at all (only the
  // header, which fails when it is flushed for the size patch).
  writeFileBytes(dir.file("tone.wav"), waveWith({}, toneAudio(dir, "0.05")));
  writeFileBytes(dir.file("empty.wav"), waveWith({}, {}));
  for (const char* input : {"tone.wav", "empty.wav"}) {
    SCOPED_TRACE(input);
    const std::string before = sha256OfFile(dir.file(input));
    RunResult r = convertWithin(dir, input, "full.dff", std::chrono::seconds(30));
    EXPECT_NE(r.exitStatus, -1) << "the run hung on a full device";
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_TRUE(isWriteFailure(r.err, "full.dff")) << r.err;
    EXPECT_FALSE(contains(r.out, "End Conversion.")) << r.out;
    EXPECT_TRUE(deviceIntact("/dev/full", 7));
    EXPECT_TRUE(isSymlinkTo(dir.file("full.dff"), "/dev/full"));
    EXPECT_EQ(sha256OfFile(dir.file(input)), before);
  }
  EXPECT_EQ(folderEntries(dir.path()), (std::vector<std::string>{"empty.wav", "full.dff", "tone.wav"}));
}

TEST(FaultsFullOutput, SmallFileSystemFilledKeepsTheEarlierFile) {
  TempDir dir;
  TmpfsMount small(dir.file("small"), 0, "size=64k");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a size-limited tmpfs here: " << small.error();

  // 0.2 s at DSD64 gives 141120 DSD bytes, twice what the file system holds.
  writeFileBytes(dir.file("in.wav"), waveWith({}, toneAudio(dir, "0.2")));
  const Bytes earlier(1000, 0x5a);
  writeFileBytes(dir.file("small/out.dff"), earlier);
  const std::string before = sha256OfFile(dir.file("in.wav"));
  RunResult r = convertWithin(dir, "in.wav", "small/out.dff");
  EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
  EXPECT_TRUE(isWriteFailure(r.err, "small/out.dff")) << r.err;
  EXPECT_FALSE(contains(r.out, "End Conversion.")) << r.out;
  EXPECT_EQ(folderEntries(dir.file("small")), std::vector<std::string>{"out.dff"})
      << "partial output left behind";
  EXPECT_EQ(readFileBytes(dir.file("small/out.dff")), earlier);
  EXPECT_EQ(sha256OfFile(dir.file("in.wav")), before);
  EXPECT_EQ(folderEntries(dir.path()), (std::vector<std::string>{"in.wav", "small"}));
}

// ---------------------------------------------------------------------------
// Outputs that cannot be created, or that would overwrite the input.

class FaultsOutputPlace : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFileBytes(dir_.file("in.wav"), waveWith({}, toneAudio(dir_, "0.02")));
    inputHash_ = sha256OfFile(dir_.file("in.wav"));
  }
  // The run ends after the shaper line with "Can not open <output>", and
  // the system's reason on standard error.
  void expectCannotOpen(const std::string& output, const std::string& reason) {
    expectCannotOpen(convertWithin(dir_, "in.wav", output), output, reason);
  }
  void expectCannotOpen(const RunResult& r, const std::string& output, const std::string& reason) {
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    EXPECT_EQ(r.err, reasonLine(output, reason));
    const std::string last = "\nCan not open " + output + "\n";
    ASSERT_GE(r.out.size(), last.size());
    EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last) << r.out;
    EXPECT_FALSE(contains(r.out, "Start Conversion")) << r.out;
    EXPECT_EQ(sha256OfFile(dir_.file("in.wav")), inputHash_);
  }
  // Refused before anything is reported: the input stays byte for byte.
  void expectSameFileRefusal(const std::string& output) {
    SCOPED_TRACE(output);
    RunResult r = convertWithin(dir_, "in.wav", output);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Input and output are the same file: " + output + "\n");
    EXPECT_EQ(sha256OfFile(dir_.file("in.wav")), inputHash_);
  }
  TempDir dir_;
  std::string inputHash_;
};

TEST_F(FaultsOutputPlace, MissingFolderCannotBeOpened) {
  expectCannotOpen("missing/out.dff", "No such file or directory");
  EXPECT_EQ(folderEntries(dir_.path()), std::vector<std::string>{"in.wav"});
}

TEST_F(FaultsOutputPlace, FolderAsOutputCannotBeOpened) {
  ASSERT_EQ(mkdir(dir_.file("sub").c_str(), 0755), 0);
  expectCannotOpen("sub", "Is a directory");
  EXPECT_TRUE(folderEntries(dir_.file("sub")).empty());
}

// The temporary file takes a shortened name: the full one is checked
// before the conversion, not at the final rename.
TEST_F(FaultsOutputPlace, NameTooLongForTheFileSystemCannotBeOpened) {
  expectCannotOpen(std::string(300, 'n') + ".dff", std::strerror(ENAMETOOLONG));
  EXPECT_EQ(folderEntries(dir_.path()), std::vector<std::string>{"in.wav"});
}

TEST_F(FaultsOutputPlace, ReadOnlyFolderCannotBeOpened) {
  // Running as root, permission bits do not stop a write; a read-only mount does.
  TmpfsMount readOnly(dir_.file("ro"), MS_RDONLY, nullptr);
  if (!readOnly.mounted()) GTEST_SKIP() << "cannot mount a read-only tmpfs here: " << readOnly.error();
  expectCannotOpen("ro/out.dff", "Read-only file system");
  EXPECT_TRUE(folderEntries(dir_.file("ro")).empty());
  EXPECT_EQ(folderEntries(dir_.path()), (std::vector<std::string>{"in.wav", "ro"}));
}

TEST_F(FaultsOutputPlace, ReadOnlyFileCannotBeReplaced) {
  // Root may write any file: the run drops to nobody then.
  const bool root = geteuid() == 0;
  const std::vector<std::string> asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups"};
  if (root && (!fileExists("/usr/bin/setpriv") ||
               runProgram("/usr/bin/setpriv", {asNobody[0], asNobody[1], asNobody[2], "test", "-x",
                                               PULSEMILL_BINARY}).exitStatus != 0))
    GTEST_SKIP() << "cannot run the converter as nobody here";
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  const Bytes earlier = {'o', 'l', 'd'};
  writeFileBytes(dir_.file("ro.dff"), earlier);
  ASSERT_EQ(chmod(dir_.file("ro.dff").c_str(), 0444), 0);
  std::vector<std::string> args = {PULSEMILL_BINARY, "in.wav", "ro.dff"};
  args.insert(args.end(), kFastOptions.begin(), kFastOptions.end());
  if (root) args.insert(args.begin(), asNobody.begin(), asNobody.end());
  const std::string program = root ? "/usr/bin/setpriv" : args[0];
  if (!root) args.erase(args.begin());
  expectCannotOpen(runProgram(program, args, dir_.path()), "ro.dff", std::strerror(EACCES));
  EXPECT_EQ(readFileBytes(dir_.file("ro.dff")), earlier);
  EXPECT_EQ(folderEntries(dir_.path()), (std::vector<std::string>{"in.wav", "ro.dff"}));
}

TEST_F(FaultsOutputPlace, OutputNamingTheInputIsRefused) {
  ASSERT_EQ(symlink("in.wav", dir_.file("soft.dff").c_str()), 0);
  ASSERT_EQ(link(dir_.file("in.wav").c_str(), dir_.file("hard.dff").c_str()), 0);
  expectSameFileRefusal("in.wav");
  expectSameFileRefusal("./in.wav");
  expectSameFileRefusal(dir_.file("in.wav"));
  expectSameFileRefusal("soft.dff");
  expectSameFileRefusal("hard.dff");
  EXPECT_TRUE(isSymlinkTo(dir_.file("soft.dff"), "in.wav"));
  EXPECT_EQ(sha256OfFile(dir_.file("hard.dff")), inputHash_);
  EXPECT_EQ(folderEntries(dir_.path()), (std::vector<std::string>{"hard.dff", "in.wav", "soft.dff"}));
}

// ---------------------------------------------------------------------------
// An earlier output is replaced by a complete one only, in one rename.

class FaultsReplacedOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFileBytes(dir_.file("in.wav"), waveWith({}, toneAudio(dir_, "0.02")));
    writeFileBytes(dir_.file("clip.wav"),
                   waveWith({}, generatedAudio(dir_, {"--seconds", "0.05", "--left", "const:32767",
                                                      "--right", "silence"})));
    ASSERT_EQ(convertWithin(dir_, "in.wav", "store/fresh.dff").exitStatus, 0);
    fresh_ = readFileBytes(dir_.file("store/fresh.dff"));
  }
  // Converts `input` into `output`: the exit status, no temporary file left.
  void expectRun(const std::string& input, const std::string& output, int status) {
    SCOPED_TRACE(input + " -> " + output);
    RunResult r = convertWithin(dir_, input, output);
    EXPECT_EQ(r.exitStatus, status) << r.err;
    EXPECT_TRUE(temporaryFiles(dir_.path()).empty());
    EXPECT_TRUE(temporaryFiles(dir_.file("store")).empty());
  }
  TempDir dir_;
  // Another file system where it can be mounted: a temporary file written
  // anywhere but beside the file it replaces could not be renamed there.
  TmpfsMount store_{dir_.file("store"), 0, nullptr};
  Bytes fresh_;                         // in.wav converted
  const Bytes earlier_ = Bytes(300, 7);  // an earlier output
};

TEST_F(FaultsReplacedOutput, ClipKeepsTheEarlierFileAndSuccessReplacesIt) {
  writeFileBytes(dir_.file("out.dff"), earlier_);
  expectRun("clip.wav", "out.dff", 2);
  EXPECT_EQ(readFileBytes(dir_.file("out.dff")), earlier_);

  // The new file has the mode a newly created one gets under the umask.
  const mode_t saved = umask(027);
  expectRun("in.wav", "out.dff", 0);
  umask(saved);
  EXPECT_EQ(readFileBytes(dir_.file("out.dff")), fresh_);
  struct stat st;
  ASSERT_EQ(stat(dir_.file("out.dff").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FaultsReplacedOutput, LinkStaysALinkAndItsTargetIsReplaced) {
  writeFileBytes(dir_.file("store/real.dff"), earlier_);
  ASSERT_EQ(symlink("store/real.dff", dir_.file("out.dff").c_str()), 0);
  ASSERT_EQ(symlink("store/new.dff", dir_.file("dangling.dff").c_str()), 0);
  expectRun("clip.wav", "out.dff", 2);
  expectRun("clip.wav", "dangling.dff", 2);
  EXPECT_EQ(readFileBytes(dir_.file("store/real.dff")), earlier_);
  EXPECT_FALSE(fileExists(dir_.file("store/new.dff")));

  expectRun("in.wav", "out.dff", 0);
  expectRun("in.wav", "dangling.dff", 0);
  EXPECT_TRUE(isSymlinkTo(dir_.file("out.dff"), "store/real.dff"));
  EXPECT_TRUE(isSymlinkTo(dir_.file("dangling.dff"), "store/new.dff"));
  EXPECT_EQ(readFileBytes(dir_.file("store/real.dff")), fresh_);
  EXPECT_EQ(readFileBytes(dir_.file("store/new.dff")), fresh_);
}

// ---------------------------------------------------------------------------
// Inputs that are no usable WAVE file.

// Runs `in.wav` into out.dff and checks the refusal: exit status 1 (no crash,
// no signal), the given console text, nothing but the input left.
void expectRefused(const TempDir& dir, const std::string& out, const std::string& err) {
  RunResult r = convertWithin(dir, "in.wav", "out.dff", std::chrono::seconds(30));
  EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"in.wav"});
}

TEST(FaultsInput, DirectoryEmptyAndTinyInputsAreRefused) {
  {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("in.wav").c_str(), 0755), 0);
    expectRefused(dir, "Can not open in.wav\n", reasonLine("in.wav", "Is a directory"));
  }
  {
    TempDir dir;
    writeFileBytes(dir.file("in.wav"), {});
    expectRefused(dir, "finename = 'in.wav'\nRead error\n", kInputEnded);
  }
  {
    TempDir dir;
    writeFileBytes(dir.file("in.wav"), {'a', 'b', 'c'});
    expectRefused(dir, "finename = 'in.wav'\nRead error\n", kInputEnded);
  }
}

TEST(FaultsInput, HeaderTruncatedAtEveryLength) {
  // A valid header declaring 4096 data bytes, none of which are there.
  const Bytes header = waveWith({}, {}, 4096);
  ASSERT_EQ(header.size(), 44u);

  // Report lines in the order they are printed, with the header length at
  // which each becomes due.
  const std::string name = "finename = 'in.wav'\n";
  struct Line {
    std::size_t from;
    std::string text;
  };
  const std::vector<Line> report = {
      {8, "[RIFF] (36 bytes)\n"},  // counts the bytes there
      {20, "[WAVEfmt ] (16 bytes)\n"},
      {22, "  Data type = 1 (1 = PCM)\n"},
      {24, "  Number of channels = 2 (1 = mono, 2 = stereo)\n"},
      {28, "  Sampling rate = 44100Hz\n"},
      {34, "  Bytes per sample = 4\n"},
      {44, "[data] (4096 bytes)\n"},
  };
  auto reportUpTo = [&](std::size_t length) {
    std::string text = name;
    for (const Line& l : report)
      if (length >= l.from) text += l.text;
    return text;
  };

  for (std::size_t length = 0; length <= header.size(); ++length) {
    SCOPED_TRACE("header length " + std::to_string(length));
    TempDir dir;
    writeFileBytes(dir.file("in.wav"), Bytes(header.begin(), header.begin() + length));
    const std::string fieldReadError =
        " read error : " + std::to_string(length) + "\n" + kInputEnded;
    if (length < 4) {
      expectRefused(dir, name + "Read error\n", kInputEnded);  // no RIFF tag
    } else if (length < 8) {
      expectRefused(dir, name, fieldReadError);  // inside the RIFF size
    } else if (length < 16) {
      expectRefused(dir, reportUpTo(length) + "Read error\n", kInputEnded);  // no "WAVEfmt "
    } else if (length < 36) {
      expectRefused(dir, reportUpTo(length), fieldReadError);  // inside a format field
    } else if (length < 40) {
      expectRefused(dir, reportUpTo(length) + "No data chunk\n", "");  // no chunk ID
    } else if (length < 44) {
      expectRefused(dir, reportUpTo(length), fieldReadError);  // inside the data size
    } else {
      // The whole header: the conversion starts and finds no samples.
      RunResult r = convertWithin(dir, "in.wav", "out.dff", std::chrono::seconds(30));
      EXPECT_EQ(r.exitStatus, 1) << r.err;
      EXPECT_EQ(r.out.rfind(reportUpTo(length) + "\nDSD64: Oversample[64] Sample[512] Tap[2048]", 0), 0u)
          << r.out;
      EXPECT_TRUE(contains(r.out, "Start Conversion... take a rest, please.\n"));
      EXPECT_FALSE(contains(r.out, "End Conversion."));
      EXPECT_EQ(r.err, kReadError + kInputEnded);
      EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"in.wav"});
    }
  }
}

// A data chunk declaring far more than the file holds: the real data is
// converted block by block, then the first short read ends the run. With a
// size near 2^32 the block arithmetic must not wrap into another block.
// (0xFFFFFFFF is a streamed file's size, read to the end: see InputProbeE2E.)
TEST(FaultsInput, DataSizeFarBeyondTheFileEndsWithReadError) {
  TempDir dir;
  // 30 blocks of 512 frames: the 26th block's dot shows the real data ran.
  const Bytes audio = generatedAudio(dir, {"--frames", "15361", "--both", "sine:1000:-6"});
  ASSERT_EQ(audio.size(), 30u * 512 * 4 + 4);  // 15361 frames
  for (std::uint32_t declared : {0xFFFFFFFEu, 0xFFFFFFF0u, 0xFFFFFE01u}) {
    SCOPED_TRACE(declared);
    writeFileBytes(dir.file("in.wav"), waveWith({}, audio, declared));
    const std::string before = sha256OfFile(dir.file("in.wav"));
    RunResult r = convertWithin(dir, "in.wav", "out.dff", std::chrono::seconds(30));
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    EXPECT_EQ(r.err, kReadError + kInputEnded);
    EXPECT_TRUE(contains(r.out, "[data] (" + std::to_string(declared) + " bytes)\n"));
    const std::string start = "Start Conversion... take a rest, please.\n<normalize = 64.000000 coefcount = 32>\n";
    const std::size_t at = r.out.find(start);
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(at + start.size()), ".") << "one dot, then nothing more";
    EXPECT_EQ(sha256OfFile(dir.file("in.wav")), before);
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"in.wav"});
  }
}

// ---------------------------------------------------------------------------
// Chunk layouts before the data.

class FaultsChunkLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    audio_ = toneAudio(dir_, "0.05");
    writeFileBytes(dir_.file("plain.wav"), waveWith({}, audio_));
    plain_ = convertWithin(dir_, "plain.wav", "plain.dff");
    ASSERT_EQ(plain_.exitStatus, 0) << plain_.err;
    plainDsd_ = readFileBytes(dir_.file("plain.dff"));
    ASSERT_EQ(plainDsd_.size(), 130u + audio_.size() / 4 * 16);
  }

  // Converts a file with `chunks` in front of the data chunk; it must give
  // the plain file's output and console text, with `chunkReport` (the chunk
  // lines and dumps) in place of nothing and its own name.
  void expectSameAsPlain(const Bytes& chunks, const std::string& chunkReport) {
    writeFileBytes(dir_.file("in.wav"), waveWith(chunks, audio_));
    RunResult r = convertWithin(dir_, "in.wav", "out.dff");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string expected = reduceTimingLines(plain_.out);
    const std::string plainStart = "finename = 'plain.wav'\n[RIFF] (" + std::to_string(36 + audio_.size()) + " bytes)\n";
    ASSERT_EQ(expected.rfind(plainStart, 0), 0u) << expected;
    expected.replace(0, plainStart.size(), "finename = 'in.wav'\n[RIFF] (" +
                                               std::to_string(36 + chunks.size() + audio_.size()) + " bytes)\n");
    const std::string dataLine = "[data] (" + std::to_string(audio_.size()) + " bytes)\n";
    const std::size_t at = expected.find(dataLine);
    ASSERT_NE(at, std::string::npos);
    expected.insert(at, chunkReport);
    EXPECT_EQ(reduceTimingLines(r.out), expected);
    EXPECT_TRUE(readFileBytes(dir_.file("out.dff")) == plainDsd_) << "output differs from the plain file's";
    std::remove(dir_.file("out.dff").c_str());
  }

  TempDir dir_;
  Bytes audio_;
  RunResult plain_;
  Bytes plainDsd_;
};

TEST_F(FaultsChunkLayout, TopBitSizesAreNotDumpedAndTheNextHeaderFollowsTheSizeField) {
  expectSameAsPlain(chunk("big ", 0x80000000u, {}), "[big ] (2147483648 bytes)\n\n");
  expectSameAsPlain(chunk("odd ", 0xFFFFFFFFu, {}), "[odd ] (4294967295 bytes)\n\n");

  // Four body bytes after such a size are read as the next chunk's ID, and
  // the real data chunk's ID as its size: that chunk runs past the end of
  // the file, its dump stops there, and no data chunk is found.
  Bytes chunks = chunk("big ", 0x80000000u, {'z', 'z', 'z', 'z'});
  writeFileBytes(dir_.file("in.wav"), waveWith(chunks, audio_));
  Bytes rest;
  putLe(rest, audio_.size(), 4);
  append(rest, audio_);
  RunResult r = convertWithin(dir_, "in.wav", "out.dff");
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "");
  const std::string tail = "[big ] (2147483648 bytes)\n\n[zzzz] (1635017060 bytes)\n" + hexDump(rest) +
                           "\nNo data chunk\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_TRUE(r.out.substr(r.out.size() - tail.size()) == tail) << "report tail differs";
  EXPECT_FALSE(fileExists(dir_.file("out.dff")));
}

TEST_F(FaultsChunkLayout, OddChunksSkipTheirPadByteWithoutDumpingIt) {
  Bytes chunks = chunk("note", 3, {'a', 'b', 'c', 0});
  append(chunks, chunk("LIST", 5, {'h', 'e', 'l', 'l', 'o', 0}));
  append(chunks, chunk("even", 2, {'x', 'y'}));
  append(chunks, chunk("one ", 1, {0xff, 0}));
  expectSameAsPlain(chunks,
                    "[note] (3 bytes)\n61 62 63 \n[LIST] (5 bytes)\n68 65 6c 6c 6f \n"
                    "[even] (2 bytes)\n78 79 \n[one ] (1 bytes)\nff \n");
}

TEST_F(FaultsChunkLayout, TwoHundredChunksBeforeTheData) {
  Bytes chunks;
  std::string report;
  for (int i = 0; i < 200; ++i) {
    char id[5];
    std::snprintf(id, sizeof id, "c%03d", i);
    const int size = i % 5;  // 0 to 4 bytes, odd ones padded
    Bytes body(static_cast<std::size_t>(size), static_cast<std::uint8_t>(i));
    if (size % 2 != 0) body.push_back(0);
    append(chunks, chunk(id, static_cast<std::uint32_t>(size), body));
    report += "[" + std::string(id) + "] (" + std::to_string(size) + " bytes)\n" +
              hexDump(Bytes(static_cast<std::size_t>(size), static_cast<std::uint8_t>(i))) + "\n";
  }
  expectSameAsPlain(chunks, report);
}

// ---------------------------------------------------------------------------
// Interrupts during a conversion.

// Starts a conversion long enough to take a few seconds, waits until the
// output being written has grown past its header, sends `signalNumber` and
// checks the process ends by it with the partial output removed, and an
// earlier output of the same name (when `earlierOutput`) untouched.
void interruptConversion(int signalNumber, bool earlierOutput) {
  TempDir dir;
  TempDir capture;
  RunResult gen = runProgram(WAVEGEN_BINARY, {dir.file("in.wav"), "--rate", "44100", "--bits", "16",
                                              "--seconds", "20", "--both", "sine:1000:-6"});
  ASSERT_EQ(gen.exitStatus, 0) << gen.err;
  const std::string before = sha256OfFile(dir.file("in.wav"));
  const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
  if (earlierOutput) writeFileBytes(dir.file("out.dff"), earlier);

  Child child = launch({"in.wav", "out.dff", "/DSD256"}, dir.path(), capture.path());
  ASSERT_GT(child.pid, 0);
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  bool grown = false;
  int early = 0;
  while (!grown && Clock::now() < deadline) {
    struct stat st;
    const std::vector<std::string> written = temporaryFiles(dir.path());
    grown = written.size() == 1 && stat(dir.file(written[0]).c_str(), &st) == 0 && st.st_size > 130;
    if (!grown) {
      if (waitpid(child.pid, &early, WNOHANG) == child.pid) break;  // ended on its own
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  if (!grown) {
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
    FAIL() << "the output never grew past its header: " << readFileText(child.errPath);
  }
  ASSERT_EQ(kill(child.pid, signalNumber), 0);
  const int status = waitWithLimit(child.pid, std::chrono::seconds(30));
  EXPECT_EQ(status, 128 + signalNumber) << "stderr: " << readFileText(child.errPath);
  // Standard output goes to a file here, fully buffered: what was not yet
  // flushed dies with the process, so only the absence of the end counts.
  EXPECT_FALSE(contains(readFileText(child.outPath), "End Conversion.")) << "finished before the signal";
  EXPECT_EQ(readFileText(child.errPath), "");
  const std::vector<std::string> left =
      earlierOutput ? std::vector<std::string>{"in.wav", "out.dff"} : std::vector<std::string>{"in.wav"};
  EXPECT_EQ(folderEntries(dir.path()), left) << "partial output left";
  if (earlierOutput) {
    EXPECT_EQ(readFileBytes(dir.file("out.dff")), earlier);
  }
  EXPECT_EQ(sha256OfFile(dir.file("in.wav")), before);
}

TEST(FaultsInterrupt, SigintKeepsTheEarlierOutput) { interruptConversion(SIGINT, true); }
TEST(FaultsInterrupt, SigtermKeepsTheEarlierOutput) { interruptConversion(SIGTERM, true); }
TEST(FaultsInterrupt, SighupRemovesThePartialOutput) { interruptConversion(SIGHUP, false); }
TEST(FaultsInterrupt, Sigusr1KeepsTheEarlierOutput) { interruptConversion(SIGUSR1, true); }

// ---------------------------------------------------------------------------
// Outputs that are not regular files: never deleted (one that cannot seek
// is test_unseekable_output.cpp's).

TEST(FaultsNonRegularOutput, ClipIntoLinkToNullKeepsTheDevice) {
  TempDir dir;
  writeFileBytes(dir.file("clip.wav"),
                 waveWith({}, generatedAudio(dir, {"--seconds", "0.05", "--left", "const:32767", "--right", "silence"})));
  ASSERT_EQ(symlink("/dev/null", dir.file("null.dff").c_str()), 0);
  RunResult r = convertWithin(dir, "clip.wav", "null.dff");
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err, kClipMessage);
  EXPECT_TRUE(deviceIntact("/dev/null", 3));
  EXPECT_TRUE(isSymlinkTo(dir.file("null.dff"), "/dev/null"));
  EXPECT_EQ(folderEntries(dir.path()), (std::vector<std::string>{"clip.wav", "null.dff"}));
}

}  // namespace

namespace {

// Progress piped into a reader that stops early (`| head`): the next flush
// of standard output raises SIGPIPE, and the partial output must go too.
TEST(FaultsInterrupt, ConsoleReaderGoneRemovesThePartialOutput) {
  TempDir dir;
  RunResult gen = runProgram(WAVEGEN_BINARY, {dir.file("in.wav"), "--rate", "44100", "--bits", "16",
                                              "--seconds", "5", "--both", "sine:1000:-6"});
  ASSERT_EQ(gen.exitStatus, 0) << gen.err;
  // PIPESTATUS[0] is the converter's status; head takes one byte and leaves.
  const std::string command = "cd '" + dir.path() + "' && bash -c '\"" + PULSEMILL_BINARY +
                              "\" in.wav out.dff /DSD64 /t:2048 /s:512 | head -c 1 >/dev/null; "
                              "exit ${PIPESTATUS[0]}'";
  EXPECT_EQ(testsupport::runShell(command), 128 + SIGPIPE);
  EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"in.wav"}) << "partial output left";
}

}  // namespace

namespace {

// Feeds `source` into the FIFO `fifo` from a thread (the open blocks until
// the converter opens its end).
std::thread feedFifo(const std::string& source, const std::string& fifo) {
  return std::thread([source, fifo] {
    const Bytes bytes = readFileBytes(source);
    int fd = open(fifo.c_str(), O_WRONLY);
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;  // the converter stopped reading
      done += static_cast<std::size_t>(n);
    }
    close(fd);
  });
}

// An input read from a pipe converts like the same file, but a clip retry
// needs to read the data again, which a pipe cannot do: the retry fails as a
// read error instead of converting whatever follows in the stream.
TEST(FaultsInput, PipeInputConvertsButCannotBeRetried) {
  TempDir dir;
  ASSERT_EQ(0, runProgram(WAVEGEN_BINARY, {dir.file("clip.wav"), "--rate", "44100", "--bits", "16",
                                           "--seconds", "0.2", "--left", "const:32767", "--right",
                                           "silence"}).exitStatus);
  ASSERT_EQ(0, runProgram(WAVEGEN_BINARY, {dir.file("tone.wav"), "--rate", "44100", "--bits", "16",
                                           "--seconds", "0.2", "--both", "sine:1000:-6"}).exitStatus);
  ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));

  std::thread tone = feedFifo(dir.file("tone.wav"), dir.file("fifo"));
  RunResult piped = runProgram(PULSEMILL_BINARY, {"fifo", "piped.dff", "/DSD64", "/t:2048"}, dir.path());
  tone.join();
  RunResult direct = runProgram(PULSEMILL_BINARY, {"tone.wav", "direct.dff", "/DSD64", "/t:2048"}, dir.path());
  ASSERT_EQ(0, piped.exitStatus) << piped.err;
  ASSERT_EQ(0, direct.exitStatus) << direct.err;
  EXPECT_EQ(readFileBytes(dir.file("direct.dff")), readFileBytes(dir.file("piped.dff")));

  std::thread clip = feedFifo(dir.file("clip.wav"), dir.file("fifo"));
  RunResult retried = runProgram(PULSEMILL_BINARY, {"fifo", "out.dff", "/DSD64", "/t:2048", "/r"}, dir.path());
  clip.join();
  EXPECT_EQ(1, retried.exitStatus);
  EXPECT_EQ(std::string(kClipMessage) + kReadError + reasonLine("fifo", std::strerror(ESPIPE)),
            retried.err);
  EXPECT_TRUE(contains(retried.out, "Retry again to set normalize offset -1 position.\n"));
  EXPECT_FALSE(contains(retried.out, "End Conversion."));
  EXPECT_FALSE(fileExists(dir.file("out.dff")));
  EXPECT_TRUE(fileExists(dir.file("fifo")));
}

}  // namespace
