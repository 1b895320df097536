// Output stability: a multi-block, music-like conversion at each DSD rate
// with the default filter length must keep the digests recorded with the
// straightforward block-by-block conversion (interpolate, then modulate),
// whatever the thread count (1 to 4). Any change to the pipelining, the kernels or
// the bookkeeping that moves a single bit fails here.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::runProgram;
using testsupport::sha256OfFile;

struct RecordedConversion {
  const char* rateOption;
  const char* digest;  // SHA-256 of the .dff
};

const RecordedConversion kRecorded[] = {
    {"/DSD64", "b5dc8b5e3d3840b49edbea10c9f3a0a3225a67d6294a0df36f2f0a40c8b969d0"},
    {"/DSD128", "0728ae68c61aa8c5050b59c677be191cbfae521093422a346e806f3054b21109"},
    {"/DSD256", "136610327c990469d611acb57a1042e2baaa63fa167a5821a1d4ce18dcfdd75f"},
};

TEST(ConversionDigests, MusicLikeSignalKeepsRecordedOutputAtEveryRate) {
  TempDir dir;
  // 1.5 s at 44.1 kHz: 65 blocks of 1024 frames, the last one short.
  RunResult generated = runProgram(
      WAVEGEN_BINARY,
      {dir.file("music.wav"), "--rate", "44100", "--bits", "16", "--seconds", "1.5", "--left",
       "sine:1000:-8+sine:3300:-14+sine:9100:-20+noise:-32", "--right",
       "sine:440:-9+sine:2500:-15+sine:12000:-22+noise:-32", "--seed", "11"});
  ASSERT_EQ(0, generated.exitStatus) << generated.err;
  // The generator itself must not drift, or the digests below mean nothing.
  ASSERT_EQ("9ca8abb58a26bf866014e87112d8aa663b418cae445bc410ca979e4d1d229693",
            sha256OfFile(dir.file("music.wav")));

  for (const RecordedConversion& recorded : kRecorded) {
    // More threads than this machine has cores is fine: only the bytes count.
    for (const char* threads : {"OMP_NUM_THREADS=1", "OMP_NUM_THREADS=2", "OMP_NUM_THREADS=3",
                                "OMP_NUM_THREADS=4"}) {
      SCOPED_TRACE(std::string(recorded.rateOption) + " " + threads);
      RunResult run = runProgram(PULSEMILL_BINARY, {"music.wav", "out.dff", recorded.rateOption},
                                 dir.path(), {threads});
      ASSERT_EQ(0, run.exitStatus) << run.err;
      EXPECT_NE(std::string::npos, run.out.find("\n..\n<Write Data Size = ")) << run.out;
      EXPECT_EQ(recorded.digest, sha256OfFile(dir.file("out.dff")));
    }
  }
}

}  // namespace
