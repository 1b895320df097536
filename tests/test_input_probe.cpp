// The input boundary end to end, on files made here by ffmpeg, sox, flac and
// wavpack: what each kind of file must give (the plain WAVE's bytes, a
// refusal naming what it is, or a warning), file names that look like URLs
// read as local files, and the folder walk taking every format's extension.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::fileExists;
using testsupport::readFileBytes;

class InputProbeE2E : public ::testing::Test {
 protected:
  // tone.wav (16-bit) and tone24.wav (24-bit), 0.1 s, and their DSDIFF outputs.
  void SetUp() override {
    testsupport::makeWave(dir_, "tone.wav", 44100, 16, 4410, "sine:1000:-6", "sine:440:-10");
    testsupport::makeWave(dir_, "tone24.wav", 44100, 24, 4410, "sine:1000:-6+noise:-60", "sine:440:-10");
    ASSERT_EQ(0, convert("tone.wav", "tone.dff").exitStatus);
    ASSERT_EQ(0, convert("tone24.wav", "tone24.dff").exitStatus);
  }
  void make(const std::string& command) {
    ASSERT_EQ(0, testsupport::runShell("cd '" + dir_.path() + "' && P=" PULSEMILL_BINARY " && (" +
                                       command + ") 2>/dev/null"))
        << command;
  }
  RunResult convert(const std::string& input, const std::string& output) {
    return testsupport::convertIn(dir_, {input, output, "/DSD64", "/t:2048"}, "2");
  }
  // Runs `shell` (which names the converter $P) in the folder.
  RunResult shell(const std::string& command) {
    return testsupport::runProgram("/bin/sh", {"-c", "P=" PULSEMILL_BINARY "; " + command}, dir_.path());
  }
  TempDir dir_;
};

const std::string kFfmpeg = "ffmpeg -nostdin -v error -y ";
// Prints the frames of the FLAC file it is given, without "fLaC" and the metadata.
const std::string kFlacFrames =
    "python3 -c \"import sys\nd=open(sys.argv[1],'rb').read();i=4\nwhile True:\n l=d[i]&128;"
    "i+=4+int.from_bytes(d[i+1:i+4],'big')\n if l: break\nsys.stdout.buffer.write(d[i:])\" ";

// Files that convert: each gives the bytes of its plain twin (tone.dff or
// tone24.dff), with the warning line where one is due.
TEST_F(InputProbeE2E, KindsThatConvertGiveTheirTwinsBytes) {
  const struct {
    const char* file;
    std::string command;
    const char* twin;
    const char* warning;  // the start of standard error
  } cases[] = {
      {"s16.wav", kFfmpeg + "-i tone.wav -f wav - | cat > s16.wav", "tone.dff", ""},
      {"s24.wav", kFfmpeg + "-i tone24.wav -c:a pcm_s24le -f wav - | cat > s24.wav", "tone24.dff", ""},
      {"zero.wav", "python3 -c \"d=bytearray(open('tone.wav','rb').read());i=d.find(b'data');"
                   "d[i+4:i+8]=bytes(4);open('zero.wav','wb').write(d)\"", "tone.dff", ""},
      {"empty.wav", "python3 -c \"h=open('tone.wav','rb').read(44)[:40];"
                    "open('end.wav','wb').write(h[:4]+(36).to_bytes(4,'little')+h[8:40]+bytes(4));"
                    "open('empty.wav','wb').write(h[:4]+(48).to_bytes(4,'little')+h[8:40]+bytes(4)+b'LIST'+"
                    "(4).to_bytes(4,'little')+b'INFO')\" && $P end.wav end.dff /DSD64 /t:2048 >/dev/null",
       "end.dff", ""},
      {"tagged.wv", "wavpack -q -y tone.wav -o tagged.wv && /usr/bin/python3 -c \"import mutagen.apev2 as a\n"
                    "t=a.APEv2();t['Artist']=['A','B'];t.save('tagged.wv')\" && printf 'TAG%125s' x >> tagged.wv",
       "tone.dff", ""},
      {"lossy.wv", "wavpack -q -y -b24 -c tone.wav -o lossy.wv && rm lossy.wvc", nullptr,
       "pulsemill: lossy.wv: lossy WavPack (no correction file): converted from its lossy data\n"},
      {"x.tta", kFfmpeg + "-i tone.wav -c:a tta x.tta", "tone.dff", ""},
      {"x.au", kFfmpeg + "-i tone24.wav -c:a pcm_s24be x.au", "tone24.dff", ""},
      {"x.mka", kFfmpeg + "-i tone24.wav -c:a flac x.mka", "tone24.dff", ""},
      {"x.mov", kFfmpeg + "-i tone24.wav -c:a pcm_s24le x.mov", "tone24.dff", ""},
      {"b8.flac", "sox tone.wav -b 8 b8.wav && flac -s b8.wav", nullptr, ""},
      {"b12.flac", "sox tone.wav -b 12 b12.wav && flac -s b12.wav", nullptr, ""},
      {"b20.flac", "sox tone24.wav -b 20 b20.wav && flac -s b20.wav", nullptr, ""},
      {"b32.flac", kFfmpeg + "-i tone24.wav -c:a pcm_s32le b32.wav && flac -s b32.wav", nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    make(c.command);
    RunResult r = convert(c.file, "out.dff");
    ASSERT_EQ(0, r.exitStatus) << r.out << r.err;
    EXPECT_EQ(0u, r.err.find(c.warning)) << r.err;
    if (c.twin != nullptr) {
      EXPECT_EQ(readFileBytes(dir_.file(c.twin)), readFileBytes(dir_.file("out.dff")));
    } else if (std::string(c.file).find(".flac") != std::string::npos) {
      // A FLAC file gives what its PCM twin (as flac decodes it) gives.
      make("flac -s -d -f " + std::string(c.file) + " -o twin.wav");
      ASSERT_EQ(0, convert("twin.wav", "twin.dff").exitStatus);
      EXPECT_EQ(readFileBytes(dir_.file("twin.dff")), readFileBytes(dir_.file("out.dff")));
    }
  }
  // Both values of the WavPack file's APE Artist item reach a DSF tag.
  ASSERT_EQ(0, convert("tagged.wv", "tagged.dsf").exitStatus);
  EXPECT_NE(std::string::npos,
            testsupport::id3TagsByMutagen(dir_.file("tagged.dsf")).find("TPE1 A / B\n"));
  // A streamed WAVE from a pipe too.
  RunResult piped = shell("cat s16.wav | $P /dev/stdin piped.dff /DSD64 /t:2048");
  ASSERT_EQ(0, piped.exitStatus) << piped.err;
  EXPECT_EQ(readFileBytes(dir_.file("tone.dff")), readFileBytes(dir_.file("piped.dff")));
}

// Files that are refused: status 1, nothing left, the last line on standard
// output as today for a RIFF/WAVE file, and a line naming what it is.
TEST_F(InputProbeE2E, RefusalsNameWhatTheFileIs) {
  make(kFfmpeg + "-i tone.wav -c:a libmp3lame x.mp3 && " + kFfmpeg +
       "-i tone.wav -c:a libmp3lame -f wav mp3.wav && " + kFfmpeg + "-i tone.wav -c:a pcm_mulaw mu.wav && " +
       kFfmpeg + "-i tone.wav -c:a adpcm_ima_wav ima.wav && " + kFfmpeg + "-i tone.wav -c:a libvorbis x.ogg && " +
       "flac -s tone.wav && " + kFlacFrames + "tone.flac > frames.flac && "
       // WavPack 3 data behind a plain PCM header.
       "python3 -c \"d=bytearray(open('tone.wav','rb').read());i=d.find(b'data')+8;d[i:i+10]=b'wvpk\\x10\\x00\\x00\\x00\\x03\\x00';"
       "open('wv3.wav','wb').write(d)\" && "
       // DSD in WavPack, and a FLAC stream whose rate changes after 0.1 s.
       "$P tone.wav d.dsf /DSD64 /t:2048 > /dev/null && wavpack -q -y d.dsf -o d.wv && "
       "sox -n -r 24000 -b 16 -c 2 r24.wav synth 0.05 sine 300 && flac -s r24.wav && "
       "{ cat tone.flac && " + kFlacFrames + "r24.flac; } > change.flac && " +
       // A Wave64 chunk whose size wraps the walk around.
       kFfmpeg + "-i tone.wav x.w64 && { head -c 40 x.w64 && printf 'junk%012d' 0 && "
       "printf '\\377%.0s' 1 2 3 4 5 6 7 8 && tail -c +41 x.w64; } > loop.w64 && "
       "truncate -s 1G zeros.wav");  // a large file of zeros: refused at once
  const struct {
    const char* file;
    const char* out;  // the last line on standard output ("" for the name line)
    const char* err;  // standard error
  } cases[] = {
      {"x.mp3", "finename = 'x.mp3'\n", "MP3 audio is lossy: not converted"},
      {"mp3.wav", "Length of WAVEfmt must be 16\n", "MP3 audio is lossy: not converted"},
      {"mu.wav", "Unsupported codec pcm_mulaw\n", "mu-law is companded, not linear PCM: not converted"},
      {"ima.wav", "Length of WAVEfmt must be 16\n", "IMA ADPCM is lossy: not converted"},
      {"x.ogg", "Unsupported codec vorbis\n", "Vorbis audio is lossy: not converted"},
      {"frames.flac", "finename = 'frames.flac'\n", "FLAC frames without a stream header: not converted"},
      {"wv3.wav", "[data] (17640 bytes)\n", "WavPack 3 is not supported"},
      {"d.wv", "Already DSD (WavPack DSD): nothing to convert\n", nullptr},
      {"loop.w64", "finename = 'loop.w64'\n", "Invalid data found when processing input"},
      {"zeros.wav", "Not a RIFF format\n", nullptr},
      {"change.flac", "coefcount = 32>\n",
       "the sample rate changes from 44100 to 24000 Hz at 0.100 s (frame 4410): not converted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    RunResult r = convert(c.file, "out.dff");
    EXPECT_EQ(1, r.exitStatus) << r.out << r.err;
    EXPECT_TRUE(testsupport::endsWith(r.out, c.out)) << r.out;
    EXPECT_EQ(c.err == nullptr ? "" : "pulsemill: " + std::string(c.file) + ": " + c.err + "\n", r.err);
    EXPECT_FALSE(fileExists(dir_.file("out.dff")));
  }
}

// Names shaped like FFmpeg's protocols are local files: each converts its
// own bytes (an extensible WAVE, so FFmpeg reads it), with input waiting on
// standard input.
TEST_F(InputProbeE2E, FileNamesAreNeverUrls) {
  make(kFfmpeg + "-i tone24.wav -c:a pcm_s24le ext.wav && " + kFfmpeg +
       "-i tone.wav -c:a pcm_s24le b.wav");  // b.wav: another sound
  for (const std::string name : {"concat:b.wav|b.wav", "pipe:0.wav", "file:b.wav", "http:x.wav"}) {
    SCOPED_TRACE(name);
    make("cp ext.wav '" + name + "'");
    RunResult r = shell("cat b.wav | $P '" + name + "' out.dff /DSD64 /t:2048");
    ASSERT_EQ(0, r.exitStatus) << r.err;
    EXPECT_EQ(readFileBytes(dir_.file("tone24.dff")), readFileBytes(dir_.file("out.dff")));
  }
}

// The folder walk takes the extensions of every format the table reads.
TEST_F(InputProbeE2E, FolderWalkTakesEveryFormatsExtension) {
  make("mkdir m && " + kFfmpeg + "-i tone.wav -c:a pcm_s16le m/a.mov && " + kFfmpeg + "-i tone.wav -c:a flac m/b.mka && " +
       kFfmpeg + "-i tone.wav -c:a tta m/c.tta && " + kFfmpeg + "-i tone.wav m/d.au && " + kFfmpeg + "-i tone.wav m/x.mp3 && cp tone.wav m/e.WAV");
  RunResult r = shell("$P --rate 64 --taps 2048 -q m");
  EXPECT_EQ(0, r.exitStatus) << r.err;
  for (const char* out : {"a.dsf", "b.dsf", "c.dsf", "d.dsf", "e.dsf"})
    EXPECT_TRUE(fileExists(dir_.file(std::string("m/") + out))) << out << r.err;
  EXPECT_FALSE(fileExists(dir_.file("m/x.dsf")));
}

}  // namespace
