// The batch's faults, end to end: resume checks what it skips (damaged
// outputs converted again, whole ones skipped and named when made
// otherwise, a folder in the way a failure, a FIFO input never opened, a
// FIFO output written), outputs collide by what they are (a linked folder,
// a folder given twice, names differing in case) and fail only the
// colliding inputs, and an unreadable subfolder is named and skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::fileExists;
using testsupport::readFileBytes;

class BatchFaults : public ::testing::Test {
 protected:
  void SetUp() override { make("mkdir m"); }
  void make(const std::string& command) {
    ASSERT_EQ(0, testsupport::runShell("cd '" + dir_.path() + "' && P=" PULSEMILL_BINARY " && (" +
                                       command + ")"))
        << command;
  }
  void tone(const std::string& name, int frames = 2205) {
    testsupport::makeWave(dir_, name, 44100, 16, frames, "sine:1000:-6", "sine:440:-10");
  }
  // The batch in the folder, bounded in time: a hang fails the test.
  RunResult batch(const std::string& args) {
    return testsupport::runProgram(
        "/bin/sh", {"-c", "timeout 60 " PULSEMILL_BINARY " --rate 64 --taps 2048 " + args}, dir_.path());
  }
  bool has(const RunResult& r, const std::string& text) { return r.err.find(text) != std::string::npos; }
  TempDir dir_;
};

TEST_F(BatchFaults, ResumeChecksWhatItSkips) {
  for (const char* name : {"t1", "t2", "t3", "t4", "t5", "t6", "t7"}) tone(std::string("m/") + name + ".wav");
  tone("long.wav", 4410);
  make("$P --rate 64 --taps 2048 -q m/t2.wav long.wav && $P --rate 128 --taps 2048 -q m/t5.wav && "
       "$P m/t6.wav /DSD128 /t:2048 > /dev/null && "
       ": > m/t1.dsf && head -c 1000 m/t2.dsf > cut && mv cut m/t2.dsf && "
       "head -c 2000 /dev/urandom > m/t3.dsf && mkdir m/t4.dsf && cp long.dsf m/t7.dsf");
  RunResult r = batch("m");
  EXPECT_EQ(1, r.exitStatus) << r.err;
  EXPECT_TRUE(has(r, "pulsemill: m/t1.dsf: damaged (shorter than a DSF header): converted again\n"));
  EXPECT_TRUE(has(r, "pulsemill: m/t2.dsf: damaged (its header declares "));
  EXPECT_TRUE(has(r, "pulsemill: m/t3.dsf: damaged (not a DSF header): converted again\n"));
  EXPECT_TRUE(has(r, "m/t4.wav -> m/t4.dsf: FAILED (a folder is in the way at m/t4.dsf)"));
  EXPECT_TRUE(has(r, "m/t5.dsf: skipped: exists, made with other settings (Pulsemill 1.5 DSD128"));
  EXPECT_TRUE(has(r, "pulsemill: m/t7.dsf: damaged (it holds 282240 samples per channel of 141120)"));
  EXPECT_TRUE(has(r, "7 files: 5 converted (0 after a clip, 0 at a lower gain), 1 skipped, 0 clipped, 1 failed")) << r.err;
  // Each one converted again is the whole file a fresh run gives.
  make("$P --rate 64 --taps 2048 -q -o fresh.dsf m/t1.wav");
  EXPECT_EQ(readFileBytes(dir_.file("fresh.dsf")), readFileBytes(dir_.file("m/t1.dsf")));
  // DSDIFF outputs: one without a tag (the slash grammar's) is compared by
  // its rate, a GNU-style one by the settings in its tag, as a DSF; one
  // whose tag is damaged or cut short is converted again.
  make("mkdir d");
  for (const char* name : {"same", "other", "bad", "cut"}) tone(std::string("d/") + name + ".wav");
  make("$P --rate 64 --taps 2048 --format dff -q d && $P --rate 128 --taps 2048 -f -q -o d/other.dff "
       "d/other.wav && perl -0777 -pi -e 's/ID3\\x04/XXX\\x04/' d/bad.dff && "
       "head -c -10 d/same.dff > d/cut.dff");
  r = batch("--format dff m/t6.wav d");
  EXPECT_TRUE(has(r, "m/t6.dff: skipped: exists, made with other settings (DSD rate 5644800 Hz)")) << r.err;
  EXPECT_TRUE(has(r, "d/same.wav -> d/same.dff: skipped: exists\n"));
  EXPECT_TRUE(has(r, "d/other.dff: skipped: exists, made with other settings (Pulsemill 1.5 DSD128 "));
  EXPECT_TRUE(has(r, "pulsemill: d/bad.dff: damaged (its tag is cut short): converted again\n"));
  EXPECT_TRUE(has(r, "pulsemill: d/cut.dff: damaged (its header declares "));
  for (const char* again : {"d/bad.dff", "d/cut.dff"})
    EXPECT_EQ(readFileBytes(dir_.file("d/same.dff")), readFileBytes(dir_.file(again))) << again;

  // A FIFO input is never opened to check an existing output (the writer
  // would wait for ever, or lose its stream); a FIFO output is written.
  make("mkfifo m/p.wav fifo.dsf && cp m/t1.dsf m/p.dsf");
  r = batch("m/p.wav");
  EXPECT_EQ(0, r.exitStatus) << r.err;
  EXPECT_TRUE(has(r, "m/p.wav -> m/p.dsf: skipped: exists")) << r.err;
  r = testsupport::runProgram(
      "/bin/sh", {"-c", "cat fifo.dsf > piped.dsf & timeout 60 " PULSEMILL_BINARY
                  " --rate 64 --taps 2048 -o fifo.dsf m/t1.wav; s=$?; wait; exit $s"}, dir_.path());
  EXPECT_EQ(0, r.exitStatus) << r.err;
  EXPECT_EQ(readFileBytes(dir_.file("fresh.dsf")), readFileBytes(dir_.file("piped.dsf")));
}

TEST_F(BatchFaults, OutputsCollideByWhatTheyAre) {
  tone("m/a.wav");
  tone("m/b.wav");
  tone("m/B.wav");
  make("flac -s -o m/a.flac m/a.wav && ln -s m L");
  // The same folder through a link: one output, the second input fails.
  RunResult r = batch("m/a.wav L/a.flac");
  EXPECT_EQ(1, r.exitStatus);
  EXPECT_TRUE(has(r, "L/a.flac -> L/a.dsf: FAILED (would write the same output as m/a.wav)")) << r.err;
  // One folder given by two paths: each file once. Names differing in case
  // collide under -d (a FAT stick folds them); the rest convert.
  r = batch("-d out m " + dir_.file("m"));
  EXPECT_EQ(1, r.exitStatus);
  EXPECT_TRUE(has(r, "4 files: 2 converted")) << r.err;
  EXPECT_TRUE(has(r, "FAILED (would write the same output as m/B.wav)")) << r.err;
  EXPECT_TRUE(has(r, "FAILED (would write the same output as m/a.flac)")) << r.err;
}

// Run as another user when run as root, so that a folder without read
// permission is one (root reads any folder).
TEST_F(BatchFaults, UnreadableSubfolderIsNamedAndSkipped) {
  make("mkdir m/locked m/open");
  tone("m/open/a.wav");
  tone("m/locked/b.wav");
  make("chmod 0 m/locked && chmod -R a+rwX m && chmod 0 m/locked && chmod a+rwx .");
  const std::string asUser = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  RunResult r = testsupport::runProgram(
      "/bin/sh", {"-c", asUser + PULSEMILL_BINARY " --rate 64 --taps 2048 m"}, dir_.path());
  make("chmod 755 m/locked");
  EXPECT_EQ(1, r.exitStatus) << r.err;
  EXPECT_TRUE(has(r, "m/locked: FAILED (Permission denied)")) << r.err;
  EXPECT_TRUE(fileExists(dir_.file("m/open/a.dsf"))) << r.err;
}

}  // namespace
