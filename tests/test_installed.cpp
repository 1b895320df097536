// What a user meets: the installed files, --help and --version, the
// manual page (clean under mandoc's lint, every option in it), and the
// manual's recipe for converting a folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/gnu_command_line.h"
#include "test_support.h"

namespace {

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::fileExists;
using testsupport::runProgram;

bool isExecutable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IXUSR) != 0;
}

TEST(Installed, PrefixHoldsBinaryManualAndReportAndTheBinaryConverts) {
  TempDir prefix;
  ASSERT_EQ(0, testsupport::runShell("cmake --install '" + std::string(PULSEMILL_BUILD_DIR) +
                                     "' --prefix '" + prefix.path() + "' >/dev/null"));
  EXPECT_TRUE(isExecutable(prefix.file("bin/pulsemill-report")));
  EXPECT_TRUE(fileExists(prefix.file("share/man/man1/pulsemill.1")));
  ASSERT_TRUE(isExecutable(prefix.file("bin/pulsemill")));
  testsupport::makeWave(prefix, "tone.wav", 44100, 16, 4410, "sine:1000:-6", "silence");
  RunResult run = runProgram(prefix.file("bin/pulsemill"), {"tone.wav", "/DSD64", "/t:2048"},
                             prefix.path());
  EXPECT_EQ(0, run.exitStatus) << run.err;
  EXPECT_TRUE(fileExists(prefix.file("tone.dff")));
  EXPECT_EQ(0, runProgram(prefix.file("bin/pulsemill-report"), {"--help"}).exitStatus);
}

// Alone, --help and -h print the GNU-style options, which end with the
// slash grammar's synopsis and the manual's name.
TEST(Installed, HelpAndVersionAloneEndWithStatusZero) {
  const std::string help = pulsemill::gnuHelpText();
  EXPECT_TRUE(testsupport::endsWith(help, "  " + std::string(pulsemill::slashSynopsis()) +
                                              "\nBoth grammars in full: man pulsemill\n"))
      << help;
  for (const char* option : {"--help", "-h"}) {
    RunResult r = runProgram(PULSEMILL_BINARY, {option});
    EXPECT_EQ(0, r.exitStatus);
    EXPECT_EQ(help, r.out);
    EXPECT_EQ("", r.err);
  }
  RunResult version = runProgram(PULSEMILL_BINARY, {"--version"});
  EXPECT_EQ(0, version.exitStatus);
  EXPECT_EQ(0u, version.out.find("pulsemill 1.5 (kernel variants this CPU runs: generic"))
      << version.out;
  // Not alone, --help makes the line GNU-style: that grammar's help, never a file name.
  RunResult named = runProgram(PULSEMILL_BINARY, {"--help", "/DSD64"});
  EXPECT_EQ(0, named.exitStatus);
  EXPECT_EQ(0u, named.out.find("Usage: pulsemill [OPTIONS] INPUT...\n")) << named.out;
  EXPECT_EQ("", named.err);
}

TEST(ManualPage, LintCleanAndNamesEveryOption) {
  const std::string page = std::string(PULSEMILL_SOURCE_DIR) + "/docs/pulsemill.1";
  RunResult lint = runProgram("/bin/sh", {"-c", "mandoc -T lint \"$0\" 2>&1", page});
  EXPECT_EQ(0, lint.exitStatus) << lint.out;
  EXPECT_EQ("", lint.out);
  const std::string text = testsupport::readFileText(page);
  for (const char* option : {"/DSD64", "/DSD128", "/DSD256", "/DSD512", "/t:", "/k:", "/p:", "/n:",
                             "/s:", "/r", "/d", "/dsf", "/q", "/a", "\\-\\-shaper\\-design",
                             "\\-\\-align", "\\-\\-help", "\\-h", "\\-\\-version",
                             "OMP_NUM_THREADS", "PULSEMILL_ISA"})
    EXPECT_NE(std::string::npos, text.find(option)) << option;
}

// The manual's recipes: a folder with xargs and the slash grammar, three
// files at a time; and GNU parallel with the GNU-style grammar, here with
// local jobs (the many-machines recipe adds --sshlogin).
TEST(Installed, FolderRecipesConvertEveryFile) {
  const std::string binary = PULSEMILL_BINARY;
  const struct {
    const char* extension;
    std::string recipe;
  } recipes[] = {
      {".dff", "find music -name '*.wav' -print0 | OMP_NUM_THREADS=1 xargs -0 -P 3 -I{} " + binary +
                   " {} /DSD64 /t:2048 >/dev/null"},
      {".dsf", "find music -name '*.wav' -print0 | parallel -0 -j 3 " + binary +
                   " --rate 64 --taps 2048 -q {}"},
  };
  for (const auto& r : recipes) {
    SCOPED_TRACE(r.recipe);
    TempDir dir;
    ASSERT_EQ(0, testsupport::runShell("mkdir '" + dir.file("music") + "'"));
    for (const char* name : {"a", "b", "c"})
      testsupport::makeWave(dir, std::string("music/") + name + ".wav", 44100, 16, 2000,
                            "sine:440:-6", "sine:660:-6");
    const RunResult run = runProgram("/bin/sh", {"-c", r.recipe}, dir.path());
    ASSERT_EQ(0, run.exitStatus) << run.err;
    for (const char* name : {"a", "b", "c"})
      EXPECT_TRUE(fileExists(dir.file(std::string("music/") + name + r.extension))) << name;
  }
}

}  // namespace
