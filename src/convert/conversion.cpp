#include "convert/conversion.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "shaper/modulator.h"

namespace pulsemill {

namespace {

constexpr int kBlocksPerDot = 26;

long long nowMilliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Block b+2 is read and block b+1 interpolated while block b is modulated
// and block b-1 written, so every buffer comes in two slots, used
// alternately (frames and outputs by block, DSD bytes by step).
struct PipelineBuffers {
  UpsampleBuffer frames[2][2];  // [slot][channel]: history + one block
  AlignedDoubles up[2][2];      // [slot][channel]: one block at the DSD rate
  std::vector<std::uint8_t> dsdBlock[2];  // [step parity]: one modulated, one being written

  bool allocate(const PhaseKernel& kernel, int blockFrames) {
    const std::size_t outputs = static_cast<std::size_t>(kernel.ratio) * blockFrames;
    try {
      for (auto& block : dsdBlock) block.assign(outputs / 8 * 2, 0);
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (int slot = 0; slot < 2; ++slot) {
      for (int channel = 0; channel < 2; ++channel) {
        if (!initUpsampleBuffer(frames[slot][channel], kernel, blockFrames).ok() ||
            !up[slot][channel].allocate(outputs))
          return false;
      }
    }
    return true;
  }
};

// The largest |x| of `count` samples (a NaN counts as nothing).
double peakMagnitude(const double* x, int count) {
  double peak = 0.0;
  for (int i = 0; i < count; ++i) peak = std::max(peak, std::fabs(x[i]));
  return peak;
}

// The level change of a read block: each sample times `gain` (1.0 leaves
// the block untouched, so the output stays bit-exact).
void applyGain(double* left, double* right, int frames, double gain) {
  if (gain == 1.0) return;
  for (int k = 0; k < frames; ++k) {
    left[k] = left[k] * gain;
    right[k] = right[k] * gain;
  }
}

// The source followed by `flushFrames` zero frames, every block full but
// the last: the zeros first fill the source's last block.
class FlushedSource : public PcmSource {
 public:
  FlushedSource(PcmSource& source, int flushFrames)
      : source_(source), flushFrames_(flushFrames), flushLeft_(flushFrames) {}

  std::uint32_t sampleRate() const override { return source_.sampleRate(); }
  bool hasMore() const override { return source_.hasMore() || flushLeft_ > 0; }
  Status read(int maxFrames, double* left, double* right, int& frames) override {
    frames = 0;
    if (source_.hasMore()) {
      Status status = source_.read(maxFrames, left, right, frames);
      if (status.ok()) sourceFrames_ += static_cast<std::uint64_t>(frames);
      if (!status.ok() || source_.hasMore()) return status;
    }
    const int zeros = std::min(maxFrames - frames, flushLeft_);
    std::fill(left + frames, left + frames + zeros, 0.0);
    std::fill(right + frames, right + frames + zeros, 0.0);
    frames += zeros;
    flushLeft_ -= zeros;
    return Status();
  }
  Status finish() override { return source_.finish(); }
  Status rewind() override {
    flushLeft_ = flushFrames_;
    sourceFrames_ = 0;
    return source_.rewind();
  }
  std::uint64_t reportedBytes() const override { return source_.reportedBytes(); }
  std::uint64_t totalFrames() const override { return source_.totalFrames(); }
  // Frames read from the source so far, the flush left out.
  std::uint64_t sourceFrames() const { return sourceFrames_; }

 private:
  PcmSource& source_;
  const int flushFrames_;
  int flushLeft_;
  std::uint64_t sourceFrames_ = 0;
};

void printTimingLine(Report& report, long long startMs, std::uint64_t bytes) {
  const int elapsedMs = static_cast<int>(nowMilliseconds() - startMs);
  const double seconds = elapsedMs / 1000.0;
  const int minutes = static_cast<int>(seconds / 60.0);
  const double rest = seconds - minutes * 60.0;
  const double rate = static_cast<double>(bytes / 1000) / seconds;
  // "Minites" is the timing line's own spelling, kept on purpose.
  report.out("%d Minites %.3f Seconds, %llu Bytes, %.2f KBytes/Sec \n", minutes, rest,
             static_cast<unsigned long long>(bytes), rate);
}

}  // namespace

Status convertStream(PcmSource& input, DsdSink& sink, const PhaseKernel& kernel,
                     const ShaperCoefficients& shaper, const ConversionOptions& options,
                     Report& report) {
  report.out("Start Conversion... take a rest, please.\n");
  const int delayFrames = options.align ? kernel.tapCount / (2 * kernel.ratio) : 0;
  FlushedSource source(input, delayFrames);
  // Modulated bytes (both channels) still to be dropped ahead of the sink:
  // taps / 2 samples per channel, a multiple of 8.
  std::uint64_t dropLeft = static_cast<std::uint64_t>(delayFrames) * kernel.ratio / 8 * 2;
  const long long startMs = nowMilliseconds();

  const int ratio = kernel.ratio;
  const int blockFrames = options.blockFrames;
  PipelineBuffers buffers;
  if (!buffers.allocate(kernel, blockFrames)) return StatusCode::OutOfMemory;
  ShaperState stateLeft, stateRight;

  const double normalizeGain =
      static_cast<double>(static_cast<std::int64_t>(ratio) + options.normalizeOffset);
  report.out("<normalize = %f coefcount = %d>\n", normalizeGain, kernel.tapsPerPhase);

  // Every input frame becomes `ratio` samples per channel, aligned or not.
  const std::uint64_t declaredBytes =
      source.totalFrames() * static_cast<std::uint64_t>(ratio) / 8 * 2;
  Status status =
      sink.begin(source.sampleRate() * static_cast<std::uint32_t>(ratio), declaredBytes);
  if (!status.ok()) return status;

  std::uint64_t dsdBytesWritten = 0;
  std::uint64_t framesWritten = 0;
  int dotCounter = 0;
  // The run's budget, a fixed team. It is not adjusted dynamically:
  // libgomp's adjustment follows the 15-minute load average, which counts
  // this program's own earlier runs and would leave back-to-back
  // conversions on one core.
  const int threads = options.threads > 0 ? options.threads : 1;

  // Block j is read in step j - 1 (block 0 before the first step),
  // interpolated in step j, modulated in step j + 1 and written in step
  // j + 2, so the thread that modulates does nothing else until it is done.
  // Frame and output buffers alternate by the block's parity, the DSD
  // buffers by the step's. Everything the console shows happens on this
  // thread between steps, in the order of a block-by-block run: block j's
  // write (and its progress dot) before block j + 1's modulation result, a
  // failed read of block j once block j - 1 is written.
  struct Stage {
    bool active = false;
    int frames = 0;
    std::uint32_t drop = 0;  // leading bytes not written (aligned output)
  };
  Stage interpolating, modulating, writing;
  std::uint32_t writeBytes = 0;
  Status readFailure;
  int readFailureBlock = -1;
  if (source.hasMore()) {
    status = source.read(blockFrames, buffers.frames[0][0].block(), buffers.frames[0][1].block(),
                         interpolating.frames);
    if (!status.ok()) return status;
    applyGain(buffers.frames[0][0].block(), buffers.frames[0][1].block(), interpolating.frames,
              options.sampleGain);
    interpolating.active = true;
  }

  for (int step = 0; interpolating.active || modulating.active || writing.active; ++step) {
    if (options.cancelled != nullptr && options.cancelled()) return StatusCode::Interrupted;
    const int curSlot = step & 1;   // the block being interpolated
    const int otherSlot = curSlot ^ 1;  // the block being modulated, and the one being read
    std::uint8_t* modulated = buffers.dsdBlock[otherSlot].data();
    const std::uint8_t* toWrite = buffers.dsdBlock[curSlot].data();
    Status modStatus, writeStatus, readStatus;
    std::uint32_t modBytes = 0;
    const bool readNext = interpolating.active && source.hasMore();
    int nextFrames = 0;
    const int items = interpolating.active ? interpolationItems(interpolating.frames) : 0;

    // One thread takes the modulator (the serial chain that bounds the
    // speed where interpolation is spread thin), others the write and the
    // read; every thread, those when done, takes interpolation items.
#pragma omp parallel num_threads(threads)
    {
#pragma omp single nowait
      if (modulating.active) {
        modStatus = modulateBlock(shaper.forward, shaper.feedback, stateLeft,
                                  buffers.up[otherSlot][0].get(), stateRight,
                                  buffers.up[otherSlot][1].get(), ratio * modulating.frames,
                                  modulated, modBytes, options.overloadGuard);
      }
      // The peak of the block being modulated, read beside the modulator
      // (off its serial chain).
#pragma omp single nowait
      if (modulating.active && options.modulatorPeak != nullptr)
        *options.modulatorPeak =
            std::max({*options.modulatorPeak,
                      peakMagnitude(buffers.up[otherSlot][0].get(), ratio * modulating.frames),
                      peakMagnitude(buffers.up[otherSlot][1].get(), ratio * modulating.frames)});
#pragma omp single nowait
      if (writing.active) writeStatus = sink.write(toWrite + writing.drop, writeBytes - writing.drop);
#pragma omp single nowait
      if (readNext) {
        UpsampleBuffer* next = buffers.frames[otherSlot];
        const UpsampleBuffer* cur = buffers.frames[curSlot];
        readStatus = source.read(blockFrames, next[0].block(), next[1].block(), nextFrames);
        if (readStatus.ok()) {
          applyGain(next[0].block(), next[1].block(), nextFrames, options.sampleGain);
          handOverHistory(cur[0], interpolating.frames, next[0]);
          handOverHistory(cur[1], interpolating.frames, next[1]);
        }
      }
#pragma omp for schedule(dynamic) nowait
      for (int item = 0; item < items; ++item) {
        interpolateItem(kernel, buffers.frames[curSlot][0], buffers.frames[curSlot][1],
                        interpolating.frames, item, normalizeGain, buffers.up[curSlot][0].get(),
                        buffers.up[curSlot][1].get());
      }
    }

    if (writing.active) {
      if (!writeStatus.ok()) return writeStatus;
      dsdBytesWritten += writeBytes - writing.drop;
      // The flushed frames are not the input's: the count stops at its end.
      framesWritten = std::min(framesWritten + static_cast<std::uint64_t>(writing.frames),
                               source.sourceFrames());
      report.progress(framesWritten, source.totalFrames(), source.sampleRate());
      if (dotCounter == kBlocksPerDot - 1) {
        report.out(".");
        report.flush();
        dotCounter = 0;
      } else {
        ++dotCounter;
      }
    }
    if (!readFailure.ok() && readFailureBlock == step - 1) return readFailure;
    if (modulating.active && !modStatus.ok()) return modStatus;
    writing = modulating;
    writeBytes = modBytes;
    writing.drop = static_cast<std::uint32_t>(std::min<std::uint64_t>(dropLeft, modBytes));
    dropLeft -= writing.drop;
    modulating = interpolating;
    interpolating = {readNext && readStatus.ok(), nextFrames, 0};
    if (readNext && !readStatus.ok()) {
      readFailure = readStatus;
      readFailureBlock = step + 1;
    }
  }

  if (options.modulatorRestarts != nullptr)
    *options.modulatorRestarts = stateLeft.restarts + stateRight.restarts;
  status = source.finish();
  if (status.ok()) status = sink.finish();
  if (!status.ok()) return status;
  report.out("\n<Write Data Size = %llu>\nEnd Conversion.\n",
             static_cast<unsigned long long>(dsdBytesWritten));
  printTimingLine(report, startMs, source.reportedBytes());
  report.flush();
  return Status();
}

}  // namespace pulsemill
