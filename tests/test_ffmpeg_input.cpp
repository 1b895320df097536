// Input through FFmpeg's libraries, end to end: every container and codec
// made here by ffmpeg or sox from one 24-bit plain WAVE converts to the bytes
// that WAVE gives; other channel counts, lossy codecs, DSD and damaged files
// are refused with nothing left; tags reach the DSF tag.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::fileExists;
using testsupport::readFileBytes;

const std::vector<std::string> kFast = {"/DSD64", "/t:2048"};

// A 24-bit plain WAVE, tone.wav, and `name` made from it by `tool` (a shell
// command reading tone.wav and writing `name`).
class FfmpegInput : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::makeWave(dir_, "tone.wav", 44100, 24, 4410, "sine:1000:-6+noise:-60", "sine:440:-10");
  }
  void make(const std::string& command) {
    ASSERT_EQ(0, testsupport::runShell("cd '" + dir_.path() + "' && " + command + " 2>/dev/null"))
        << command;
  }
  RunResult convert(const std::string& input, const std::string& output,
                    const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {input, output};
    args.insert(args.end(), kFast.begin(), kFast.end());
    args.insert(args.end(), extra.begin(), extra.end());
    return testsupport::convertIn(dir_, args, "2");
  }
  TempDir dir_;
};

const char kFfmpeg[] = "ffmpeg -nostdin -v error -y -i tone.wav ";

TEST_F(FfmpegInput, EveryContainerGivesThePlainWavesBytes) {
  const struct {
    const char* file;
    const char* command;    // after "ffmpeg ... -i tone.wav", or a whole command
    const char* container;  // the report's name
  } cases[] = {
      {"ext.wav", "-c:a pcm_s24le ext.wav", "WAVE"},
      {"sox.wav", "!sox tone.wav -b 24 -e signed-integer sox.wav", "WAVE"},
      {"rf64.wav", "-c:a pcm_s24le -rf64 always rf64.wav", "RF64"},
      {"junk.wav", "-c:a pcm_s24le -rf64 auto junk.wav", "WAVE"},
      {"s32.wav", "-c:a pcm_s32le s32.wav", "WAVE"},
      {"f32.wav", "-c:a pcm_f32le f32.wav", "WAVE"},
      {"f64.wav", "-c:a pcm_f64le f64.wav", "WAVE"},
      {"x.aiff", "-c:a pcm_s24be x.aiff", "AIFF"},
      {"x.aifc", "-c:a pcm_f32be -f aiff x.aifc", "AIFC"},
      {"x.caf", "-c:a pcm_s24le x.caf", "CAF"},
      // A chunk after the audio: the length is the data chunk's, not the file's.
      {"free.caf",
       "!cat x.caf > free.caf && printf 'free\\0\\0\\0\\0\\0\\0\\0\\010abcdefgh' >> free.caf",
       "CAF"},
      {"x.w64", "-c:a pcm_s24le x.w64", "W64"},
      // 4410 frames: the last ALAC packet is short of the 4096 the table counts.
      {"alac.caf", "-c:a alac alac.caf", "CAF"},
      {"x.m4a", "-c:a alac x.m4a", "MP4"},
      {"x.wv", "-c:a wavpack x.wv", "WavPack"},
      {"x.oga", "-c:a flac -f ogg x.oga", "Ogg"},
  };
  ASSERT_EQ(0, convert("tone.wav", "plain.dff").exitStatus);
  const auto plain = readFileBytes(dir_.file("plain.dff"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    make(c.command[0] == '!' ? std::string(c.command + 1) : kFfmpeg + std::string(c.command));
    RunResult r = convert(c.file, "out.dff");
    ASSERT_EQ(0, r.exitStatus) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("'\n[" + std::string(c.container) + "] (")) << r.out;
    EXPECT_EQ(plain, readFileBytes(dir_.file("out.dff")));
  }
  // A clip retry starts again from the first frame.
  testsupport::makeWave(dir_, "clip.wav", 44100, 24, 4410, "const:8388607", "silence");
  make(std::string(kFfmpeg).replace(std::string(kFfmpeg).find("tone"), 4, "clip") +
       "-c:a pcm_s24le clipext.wav");
  RunResult plainRetry = convert("clip.wav", "a.dff", {"/r"});
  RunResult extRetry = convert("clipext.wav", "b.dff", {"/r"});
  EXPECT_EQ(0, extRetry.exitStatus) << extRetry.err;
  EXPECT_EQ(plainRetry.err, extRetry.err);
  EXPECT_EQ(readFileBytes(dir_.file("a.dff")), readFileBytes(dir_.file("b.dff")));
}

TEST_F(FfmpegInput, RefusalsAndDamageLeaveNothing) {
  make(std::string(kFfmpeg) + "-c:a pcm_s24le ext.wav && " + kFfmpeg + "-c:a wavpack x.wv && " +
       kFfmpeg + "-ac 1 -c:a pcm_s24le mono.wav && " + kFfmpeg +
       "-af pan='5.1|c0=c0|c1=c1|c2=c0|c3=c1|c4=c0|c5=c1' -c:a pcm_s24le six.wav && " + kFfmpeg +
       "-c:a aac aac.m4a && " + kFfmpeg + "-c:a flac -f ogg x.oga && head -c 20000 ext.wav > cutext.wav" +
       " && head -c 9000 x.wv > cut.wv && head -c 9000 x.oga > cut.oga" +
       " && " + kFfmpeg + "-c:a pcm_s24le x.w64 && head -c 20000 x.w64 > cut.w64" +
       // An ALAC CAF cut after its first packet (its size from the packet table).
       " && " + kFfmpeg + "-c:a alac alac.caf && python3 -c \"d=open('alac.caf','rb').read();"
       "j=d.find(b'pakt')+36;v=0\nwhile True:\n b=d[j];v=v*128+(b&127);j+=1\n if b<128: break\n"
       "open('cut1.caf','wb').write(d[:d.find(b'data')+16+v])\"" +
       // Cut after whole blocks of 1024 frames, past the data chunk's or SSND's header.
       " && " + kFfmpeg + "-c:a pcm_s16be p16.aiff && python3 -c \"import sys\nfor f, tag, skip in"
       " (('ext.wav', b'data', 8), ('p16.aiff', b'SSND', 16)):\n d = open(f, 'rb').read()\n"
       " i = d.find(tag) + skip\n open('blk.' + f.split('.')[1], 'wb').write(d[:i + 12288])\"" +
       // The last frame's left sample a NaN.
       " && " + kFfmpeg + "-c:a pcm_f32le nan.wav && printf '\\000\\000\\300\\177' |"
       " dd of=nan.wav bs=1 seek=$(($(stat -c %s nan.wav) - 8)) conv=notrunc 2>/dev/null" +
       // A RIFF file FFmpeg cannot open is the WAVE reader's, with its words.
       " && printf 'RIFF\\024\\0\\0\\0WAVEJUNK\\004\\0\\0\\0abcd' > junk.wav");
  ASSERT_EQ(0, convert("tone.wav", "x.dsf").exitStatus);
  const struct {
    const char* file;
    const char* out;  // the last line on standard output, or "" for none
    const char* err;  // the start of standard error
  } cases[] = {
      {"mono.wav", "Input with 1 channels is not supported: 2 are needed\n", ""},
      {"six.wav", "Input with 6 channels is not supported: 2 are needed\n", ""},
      {"aac.m4a", "Unsupported codec aac\n", ""},
      {"x.dsf", "Already DSD (a DSF or DSDIFF file): nothing to convert\n", ""},
      {"cutext.wav", "", "pulsemill: cutext.wav: "},
      {"cut.wv", "", "pulsemill: cut.wv: "},
      {"cut.oga", "", "pulsemill: cut.oga: "},
      {"cut.w64", "", "pulsemill: cut.w64: "},
      {"cut1.caf", "", "pulsemill: cut1.caf: "},
      {"blk.wav", "", "pulsemill: blk.wav: "},
      {"blk.aiff", "", "pulsemill: blk.aiff: stream ends after 3072 of 4410 frames"},
      {"nan.wav", "", "pulsemill: nan.wav: sample 4409 is not a number"},
      {"junk.wav", "[RIFF] (20 bytes)\nNot a WAVEfmt format\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    RunResult r = convert(c.file, "out.dff");
    EXPECT_EQ(1, r.exitStatus) << r.out << r.err;
    EXPECT_TRUE(testsupport::endsWith(r.out, c.out)) << r.out;
    EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("End Conversion")) << r.out;
    EXPECT_FALSE(fileExists(dir_.file("out.dff")));
  }
}

TEST_F(FfmpegInput, AiffAndMp4TagsReachTheDsfTag) {
  const std::string tags = "-metadata title='Night Song' -metadata artist=Band -metadata album=Hours ";
  make(std::string(kFfmpeg) + tags + "-write_id3v2 1 -c:a pcm_s24be x.aiff && " + kFfmpeg + tags +
       "-c:a alac x.m4a");
  for (const char* file : {"x.aiff", "x.m4a"}) {
    SCOPED_TRACE(file);
    ASSERT_EQ(0, convert(file, "out.dsf").exitStatus);
    const std::string read = testsupport::id3TagsByMutagen(dir_.file("out.dsf"));
    for (const char* line : {"TIT2 Night Song\n", "TPE1 Band\n", "TALB Hours\n", "TSSE Pulsemill"})
      EXPECT_NE(std::string::npos, read.find(line)) << read;
  }
}

}  // namespace
