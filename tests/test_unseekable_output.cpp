// Outputs that cannot seek, end to end on the built converter: a FIFO and
// /dev/stdout, each read by `cat`, in both formats and both grammars (a
// GNU-style DSDIFF file with its tag chunk). The
// bytes that arrive are those of a regular output (ffmpeg decodes the DSF);
// an input of unknown length is refused before a byte is sent; a clip is
// not retried and says the bytes sent are incomplete.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "test_support.h"

namespace {

using testsupport::Bytes;
using testsupport::readFileBytes;
using testsupport::RunResult;
using testsupport::TempDir;

constexpr int kFrames = 5000;  // a DSF last block part full

TEST(UnseekableOutputE2E, PipesCarryTheBytesOfARegularOutput) {
  TempDir dir;
  testsupport::makeWave(dir, "in.wav", 44100, 16, kFrames, "sine:1000:-6", "sine:1500:-10");
  testsupport::makeWave(dir, "clip.wav", 44100, 24, kFrames, "const:8388607", "silence");
  Bytes streamed = readFileBytes(dir.file("in.wav"));  // data size 0xFFFFFFFF: read to the end
  const char id[] = "data";
  const auto data = std::search(streamed.begin(), streamed.end(), id, id + 4);
  ASSERT_NE(data, streamed.end());
  std::fill(data + 4, data + 8, 0xFF);
  testsupport::writeFileBytes(dir.file("streamed.wav"), streamed);
  ASSERT_EQ(0, mkfifo(dir.file("fifo.dff").c_str(), 0600));
  ASSERT_EQ(0, mkfifo(dir.file("fifo.dsf").c_str(), 0600));
  ASSERT_EQ(0, symlink("/dev/stdout", dir.file("stdout.dsf").c_str()));
  const std::string bin = std::string("timeout 60 '") + PULSEMILL_BINARY + "' ";
  for (const char* regular : {"in.wav regular.dff /DSD64 /t:2048", "in.wav regular.dsf /DSD64 /t:2048",
                              "-q --rate 64 --taps 2048 -o tagged.dff in.wav"})
    ASSERT_EQ(0, testsupport::runShell("cd '" + dir.path() + "' && " + bin + regular + " >/dev/null 2>&1"));

  const std::string incomplete =
      "pulsemill: fifo.dff: the bytes already sent are incomplete (an output that cannot seek "
      "takes no retry)\n";
  const struct {
    const char* args;      // the converter's, writing `output`
    const char* output;    // a FIFO, or (a link to) /dev/stdout
    const char* received;  // the regular file the bytes equal; "": nothing; nullptr: unchecked
    int status;
    std::string err;
  } rows[] = {
      {"in.wav fifo.dff /DSD64 /t:2048", "fifo.dff", "regular.dff", 0, ""},
      {"in.wav /dev/stdout /DSD64 /t:2048", "/dev/stdout", "regular.dff", 0, ""},
      {"in.wav fifo.dsf /DSD64 /t:2048", "fifo.dsf", "regular.dsf", 0, ""},
      {"in.wav stdout.dsf /DSD64 /t:2048", "stdout.dsf", "regular.dsf", 0, ""},
      {"-f --rate 64 --taps 2048 -o fifo.dsf in.wav", "fifo.dsf", "regular.dsf", 0,
       "pulsemill: [1/1] in.wav -> fifo.dsf: converted"},
      {"-f --rate 64 --taps 2048 -o fifo.dff in.wav", "fifo.dff", "tagged.dff", 0,
       "pulsemill: [1/1] in.wav -> fifo.dff: converted"},
      {"streamed.wav fifo.dff /DSD64 /t:2048", "fifo.dff", "", 1,
       "pulsemill: fifo.dff: the output cannot seek, so its header needs the input's length, "
       "which streamed.wav does not declare\n"},
      {"clip.wav fifo.dff /DSD64 /t:2048 /r", "fifo.dff", nullptr, 2,
       incomplete + "DSD Clip Error. Set normalize offset, please. \n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const std::string output = row.output;
    const bool fifo = output.rfind("fifo", 0) == 0;
    // A FIFO gets its reader first, and is opened once more afterwards so
    // that the reader ends even if the converter never opened it. A
    // converter that opens it a second time waits for a reader: the timeout
    // ends it.
    const std::string script =
        fifo ? "cat " + output + " > received & " + bin + row.args + "; s=$?; : <> " + output +
                   "; wait; exit $s"
             : bin + row.args + " | cat > received; exit ${PIPESTATUS[0]}";
    const RunResult r = testsupport::runProgram("/bin/bash", {"-c", script}, dir.path());
    EXPECT_EQ(row.status, r.exitStatus) << r.err;
    // The GNU-style line's summary follows its first line.
    EXPECT_EQ(row.err, row.args[0] == '-' ? r.err.substr(0, row.err.size()) : r.err);
    if (row.received == nullptr) continue;
    const Bytes received = readFileBytes(dir.file("received"));
    EXPECT_TRUE(*row.received == '\0' ? received.empty()
                                       : received == readFileBytes(dir.file(row.received)));
    if (!testsupport::endsWith(row.received, ".dsf")) continue;
    ASSERT_EQ(0, testsupport::runShell("cd '" + dir.path() + "' && ffmpeg -nostdin -v error -y "
                                       "-f dsf -i received -f s16le decoded.raw"));
    EXPECT_EQ(kFrames * 8u * 4u, readFileBytes(dir.file("decoded.raw")).size());
  }
}

}  // namespace
