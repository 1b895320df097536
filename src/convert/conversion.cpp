#include "convert/conversion.h"

#include <omp.h>

#include <chrono>
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

// Block b+1 is read and interpolated while block b is modulated and written,
// so the frame and output buffers come in two slots, used alternately.
struct PipelineBuffers {
  UpsampleBuffer frames[2][2];  // [slot][channel]: history + one block
  AlignedDoubles up[2][2];      // [slot][channel]: one block at the DSD rate
  std::vector<std::uint8_t> dsdBlock;

  bool allocate(const PhaseKernel& kernel, int blockFrames) {
    const std::size_t outputs = static_cast<std::size_t>(kernel.ratio) * blockFrames;
    try {
      dsdBlock.assign(outputs / 8 * 2, 0);
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

void printTimingLine(long long startMs, std::uint64_t bytes) {
  const int elapsedMs = static_cast<int>(nowMilliseconds() - startMs);
  const double seconds = elapsedMs / 1000.0;
  const int minutes = static_cast<int>(seconds / 60.0);
  const double rest = seconds - minutes * 60.0;
  const double rate = static_cast<double>(bytes / 1000) / seconds;
  std::printf("%d Minites %.3f Seconds, %llu Bytes, %.2f KBytes/Sec \n", minutes, rest,
              static_cast<unsigned long long>(bytes), rate);
}

}  // namespace

Status convertStream(PcmSource& source, DsdSink& sink, const PhaseKernel& kernel,
                     const ShaperCoefficients& shaper, const ConversionOptions& options) {
  std::printf("Start Conversion... take a rest, please.\n");
  const long long startMs = nowMilliseconds();

  const int ratio = kernel.ratio;
  const int blockFrames = options.blockFrames;
  PipelineBuffers buffers;
  if (!buffers.allocate(kernel, blockFrames)) return StatusCode::OutOfMemory;
  ShaperState stateLeft, stateRight;

  const double normalizeGain =
      static_cast<double>(static_cast<std::int64_t>(ratio) + options.normalizeOffset);
  std::printf("<normalize = %f coefcount = %d>\n", normalizeGain, kernel.tapsPerPhase);

  Status status = sink.begin(source.sampleRate() * static_cast<std::uint32_t>(ratio));
  if (!status.ok()) return status;

  std::uint64_t dsdBytesWritten = 0;
  int dotCounter = 0;
  // Every core, capped by OMP_NUM_THREADS. The team is not adjusted
  // dynamically: libgomp's adjustment follows the 15-minute load average,
  // which counts this program's own earlier runs and would leave
  // back-to-back conversions on one core.
  const int threads = omp_get_max_threads();

  // Steady state of step k: block k (frames in slot k % 2) is interpolated
  // while block k-1 (outputs in the other slot) is modulated and written and
  // block k+1 is read into the other frame slot, its history handed over
  // from block k. Everything the console shows happens on this thread
  // between steps, in the order of a block-by-block run: a failure of block
  // k-1 is reported before anything of block k, a failed read of block k+1
  // after block k is out.
  int curSlot = 0;
  int curFrames = 0;   // frames of the block being interpolated
  bool haveCur = false;
  int prevFrames = 0;  // frames of the block waiting for modulation
  bool havePrev = false;
  Status pendingReadFailure;
  if (source.hasMore()) {
    status = source.read(blockFrames, buffers.frames[0][0].block(), buffers.frames[0][1].block(),
                         curFrames);
    if (!status.ok()) return status;
    haveCur = true;
  }

  while (haveCur || havePrev) {
    const int prevSlot = curSlot ^ 1;
    Status blockStatus;  // modulation and write of the previous block
    std::uint32_t byteCount = 0;
    const bool readNext = haveCur && source.hasMore();
    Status readStatus;
    int nextFrames = 0;
    const int items = haveCur ? interpolationItems(curFrames) : 0;

    // One thread takes the modulator (the serial chain that bounds the
    // speed where interpolation is spread thin), another the read; every
    // thread, those two when done, takes interpolation items.
#pragma omp parallel num_threads(threads)
    {
#pragma omp single nowait
      if (havePrev) {
        blockStatus = modulateBlock(shaper.forward, shaper.feedback, stateLeft,
                                    buffers.up[prevSlot][0].get(), stateRight,
                                    buffers.up[prevSlot][1].get(), ratio * prevFrames,
                                    buffers.dsdBlock.data(), byteCount);
        if (blockStatus.ok()) blockStatus = sink.write(buffers.dsdBlock.data(), byteCount);
      }
#pragma omp single nowait
      if (readNext) {
        UpsampleBuffer* next = buffers.frames[prevSlot];
        const UpsampleBuffer* cur = buffers.frames[curSlot];
        readStatus = source.read(blockFrames, next[0].block(), next[1].block(), nextFrames);
        if (readStatus.ok()) {
          handOverHistory(cur[0], curFrames, next[0]);
          handOverHistory(cur[1], curFrames, next[1]);
        }
      }
#pragma omp for schedule(dynamic) nowait
      for (int item = 0; item < items; ++item) {
        interpolateItem(kernel, buffers.frames[curSlot][0], buffers.frames[curSlot][1], curFrames,
                        item, normalizeGain, buffers.up[curSlot][0].get(),
                        buffers.up[curSlot][1].get());
      }
    }

    if (havePrev) {
      if (!blockStatus.ok()) return blockStatus;
      dsdBytesWritten += byteCount;
      if (dotCounter == kBlocksPerDot - 1) {
        std::printf(".");
        std::fflush(stdout);
        dotCounter = 0;
      } else {
        ++dotCounter;
      }
    }
    if (!pendingReadFailure.ok()) return pendingReadFailure;
    havePrev = haveCur;
    prevFrames = curFrames;
    haveCur = readNext && readStatus.ok();
    if (readNext && !readStatus.ok()) pendingReadFailure = readStatus;
    curFrames = nextFrames;
    curSlot ^= 1;
  }

  status = source.finish();
  if (status.ok()) status = sink.finish();
  if (!status.ok()) return status;
  std::printf("\n<Write Data Size = %llu>\nEnd Conversion.\n",
              static_cast<unsigned long long>(dsdBytesWritten));
  printTimingLine(startMs, source.reportedBytes());
  std::fflush(stdout);
  return Status();
}

}  // namespace pulsemill
