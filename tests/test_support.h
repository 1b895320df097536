// Helpers shared by the tests: temporary folders, running the built
// binaries, reading and writing files.
#pragma once

#include <omp.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/diagnostics.h"
#include "base/kernel_isa.h"
#include "resample/interpolator.h"

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

// Append `bytes` bytes of `value`, little- or big-endian, or a text's bytes.
void putLe(Bytes& out, std::uint64_t value, int bytes);
void putBe(Bytes& out, std::uint64_t value, int bytes);
void putText(Bytes& out, const std::string& text);

// The RIFF header and plain format chunk of a WAVE file (the 36 bytes before
// its first other chunk), fields as given.
struct WaveFormat {
  std::uint32_t riffSize = 0;  // 0 in waveFile: the bytes that follow the size field
  std::uint32_t fmtSize = 16;
  unsigned tag = 1;
  unsigned channels = 2;
  std::uint32_t rate = 44100;
  unsigned blockAlign = 4;
  unsigned bits = 16;
};
Bytes waveHeader(const WaveFormat& format);

// A whole WAVE file: the header, `chunks` as given, then a data chunk that
// declares `declaredSize` bytes (-1: the audio's size) and holds `audio`.
Bytes waveFile(const WaveFormat& format, const Bytes& chunks, const Bytes& audio,
               std::int64_t declaredSize = -1);

// Runs the OpenMP loops of one scope with a fixed thread count.
class ThreadCount {
 public:
  explicit ThreadCount(int n) : saved_(omp_get_max_threads()) { omp_set_num_threads(n); }
  ~ThreadCount() { omp_set_num_threads(saved_); }
  ThreadCount(const ThreadCount&) = delete;
  ThreadCount& operator=(const ThreadCount&) = delete;

 private:
  int saved_;
};

// Every kernel variant this CPU runs, the portable one first.
std::vector<pulsemill::KernelIsa> supportedIsas();

// A fresh folder under the system's temporary directory, removed (with its
// contents) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct RunResult {
  int exitStatus = -1;   // exit status, or 128 + signal number
  std::string out;       // standard output
  std::string err;       // standard error
};

// Runs `program` with `args` in `workDir` (empty: current directory), with
// extra environment entries "NAME=value". Captures both output streams.
RunResult runProgram(const std::string& program,
                     const std::vector<std::string>& args,
                     const std::string& workDir = "",
                     const std::vector<std::string>& env = {});

// Runs the built converter in `dir`, with OMP_NUM_THREADS=`threads` unless
// empty.
RunResult convertIn(const TempDir& dir, const std::vector<std::string>& args,
                    const std::string& threads = "");

// A stereo WAVE file dir/name from the generator: `frames` frames of the
// two signals (generator syntax, e.g. "sine:1000:-6+noise:-50"), 16- or
// 24-bit, or with `bits` 32 float samples (above full scale as given).
void makeWave(const TempDir& dir, const std::string& name, int rate, int bits, int frames,
              const std::string& left, const std::string& right);

// The report tool (tools/pulsemill_report.py) run with `args`: its
// standard output (the run must succeed). reportFigure: the figure `name`
// of `channel` ("left", "right") in such output; a test failure when absent.
std::string runReport(const std::vector<std::string>& args);
double reportFigure(const std::string& report, const std::string& channel, const std::string& name);

// The ID3 tag of a DSF file, or of a DSDIFF file (a name ending in ".dff"),
// as mutagen (an independent reader) sees it: one
// "FRAME text" line per text frame present of TIT2 TPE1 TALB TPE2 TDRC TRCK
// TPOS TCON TSSE (several values joined by " / ", as mutagen prints them),
// then "COMM text", then "APIC mime type description sha256-of-the-image"
// per picture.
std::string id3TagsByMutagen(const std::string& path);

// The chunks of a DSDIFF file after its form's type, in order: ID and body
// (a test failure when they do not fill the file).
std::vector<std::pair<std::string, Bytes>> dsdiffChunks(const Bytes& file);

// The DSD stream of a DSF file (per-channel blocks, earliest sample in the
// least significant bit) in the DSDIFF order: left byte, right byte,
// earliest sample in the most significant bit. Its length is the header's.
Bytes dsfSoundData(const Bytes& dsf);

// The DSD stream of a ".dff" (its "DSD " chunk) or ".dsf" file, in the
// DSDIFF order.
Bytes dsdSoundData(const std::string& path);

// One block of both channels as the pipeline interpolates it: its work
// items spread over the OpenMP threads, then the history handover in place.
void interpolateBlock(double* upLeft, double* upRight, const pulsemill::PhaseKernel& kernel,
                      pulsemill::UpsampleBuffer& inLeft, pulsemill::UpsampleBuffer& inRight, int n,
                      double gain);

// Shell command through /bin/sh; returns its exit status.
int runShell(const std::string& command);

bool fileExists(const std::string& path);
// The converter's temporary files (".NAME.pulsemill-XXXXXX") under `root`.
std::vector<std::string> temporaries(const std::string& root);
bool endsWith(const std::string& text, const std::string& tail);
std::vector<std::uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::string readFileText(const std::string& path);
std::string sha256OfFile(const std::string& path);  // lower-case hex, via sha256sum

}  // namespace testsupport
