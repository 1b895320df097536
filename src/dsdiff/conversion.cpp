#include "dsdiff/conversion.h"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "dsdiff/dsdiff_writer.h"
#include "shaper/modulator.h"
#include "wave/fatal_io.h"

namespace pulsemill {

namespace {

constexpr int kBlocksPerDot = 26;

long long nowMilliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Decodes n frames of pcm into the two channels' frame slots.
void decodeFrames(const std::uint8_t* pcm, int n, int blockAlign, double* left, double* right) {
  if (blockAlign == 6) {
    for (int k = 0; k < n; ++k, pcm += 6) {
      left[k] = decodeSampleWord(pcm[0] | (pcm[1] << 8) | (static_cast<std::uint32_t>(pcm[2]) << 16));
      right[k] = decodeSampleWord(pcm[3] | (pcm[4] << 8) | (static_cast<std::uint32_t>(pcm[5]) << 16));
    }
  } else {
    for (int k = 0; k < n; ++k, pcm += 4) {
      left[k] = decodeSampleWord((pcm[0] | (static_cast<std::uint32_t>(pcm[1]) << 8)) << 8);
      right[k] = decodeSampleWord((pcm[2] | (static_cast<std::uint32_t>(pcm[3]) << 8)) << 8);
    }
  }
}

// Block b+1 is read and interpolated while block b is modulated and written,
// so the frame and output buffers come in two slots, used alternately.
struct PipelineBuffers {
  UpsampleBuffer frames[2][2];  // [slot][channel]: history + one block
  AlignedDoubles up[2][2];      // [slot][channel]: one block at the DSD rate
  std::vector<std::uint8_t> pcmBlock, dsdBlock;

  bool allocate(const PhaseKernel& kernel, int blockFrames) {
    const std::size_t outputs = static_cast<std::size_t>(kernel.ratio) * blockFrames;
    try {
      pcmBlock.assign(6 * static_cast<std::size_t>(blockFrames), 0);
      dsdBlock.assign(outputs / 8 * 2, 0);
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (int slot = 0; slot < 2; ++slot) {
      for (int channel = 0; channel < 2; ++channel) {
        if (!initUpsampleBuffer(frames[slot][channel], kernel, blockFrames) ||
            !up[slot][channel].allocate(outputs))
          return false;
      }
    }
    return true;
  }
};

// The block sequence: full blocks, then one shorter block for the rest of
// the data. A trailing partial frame is read but not decoded.
struct BlockReader {
  std::FILE* in;
  std::uint64_t dataSize;
  int blockAlign;
  int blockFrames;
  std::uint64_t bytesScheduled = 0;  // 64-bit: the short-block test cannot wrap
  bool shortBlockSeen = false;

  bool more() const { return bytesScheduled < dataSize; }

  // Reads the next block into pcm; returns its frame count, or -1 when the
  // file ends early.
  int read(std::vector<std::uint8_t>& pcm) {
    std::uint64_t bytes = static_cast<std::uint64_t>(blockAlign) * blockFrames;
    int n = blockFrames;
    if (bytesScheduled + bytes > dataSize) {
      bytes = dataSize - bytesScheduled;
      if (!shortBlockSeen) std::memset(pcm.data(), 0, pcm.size());
      shortBlockSeen = true;
      n = static_cast<int>(bytes / static_cast<std::uint64_t>(blockAlign));
    }
    bytesScheduled += bytes;
    if (std::fread(pcm.data(), 1, bytes, in) != bytes) return -1;
    return n;
  }
};

// The pipeline is built for two cooperating threads; OMP_NUM_THREADS=1
// runs it on one. The output never depends on it.
int pipelineThreads() { return std::min(2, omp_get_max_threads()); }

}  // namespace

int convertToDsdiff(std::FILE* in, std::FILE* out, std::uint64_t dataSize,
                    std::uint32_t sampleRate, int blockAlign, const double* forward,
                    const double* feedback, const PhaseKernel& kernel, int ratio, int tapCount,
                    int blockFrames, std::int64_t normalizeOffset) {
  std::printf("Start Conversion... take a rest, please.\n");
  const long long startMs = nowMilliseconds();

  PipelineBuffers buffers;
  if (!buffers.allocate(kernel, blockFrames)) {
    reportError("Out of memory\n");
    return Failed;
  }
  ShaperState stateLeft, stateRight;

  const double normalizeGain = static_cast<double>(static_cast<std::int64_t>(ratio) + normalizeOffset);
  std::printf("<normalize = %f coefcount = %d>\n", normalizeGain, tapCount / ratio);

  writeDsdiffHeader(out, sampleRate * static_cast<std::uint32_t>(ratio));

  std::uint64_t dsdBytesWritten = 0;
  int dotCounter = 0;
  BlockReader reader{in, dataSize, blockAlign, blockFrames};

  // Steady state of step k: block k (frames in slot k % 2) is interpolated
  // while block k-1 (outputs in the other slot) is modulated and written and
  // block k+1 is read into the other frame slot. Everything the console shows
  // happens on this thread between steps, in the order of a block-by-block
  // run: a failure of block k-1 is reported before anything of block k.
  int curSlot = 0;
  int curFrames = 0;   // frames of the block being interpolated
  bool haveCur = false;
  int prevFrames = 0;  // frames of the block waiting for modulation
  bool havePrev = false;
  bool readFailed = false;
  if (reader.more()) {
    curFrames = reader.read(buffers.pcmBlock);
    if (curFrames < 0) {
      reportError("Wave File Read Error.\n");
      return Failed;
    }
    decodeFrames(buffers.pcmBlock.data(), curFrames, blockAlign,
                 buffers.frames[0][0].block(), buffers.frames[0][1].block());
    haveCur = true;
  }

  while (haveCur || havePrev) {
    const int prevSlot = curSlot ^ 1;
    int modResult = Done;
    bool writeOk = true;
    std::uint32_t byteCount = 0;
    const bool readNext = haveCur && reader.more();
    int nextFrames = 0;
    const int items = haveCur ? interpolationItems(curFrames) : 0;

#pragma omp parallel num_threads(pipelineThreads())
    {
#pragma omp single nowait
      {
        if (havePrev) {
          modResult = modulateBlock(forward, feedback, stateLeft, buffers.up[prevSlot][0].get(),
                                    stateRight, buffers.up[prevSlot][1].get(), ratio * prevFrames,
                                    buffers.dsdBlock.data(), byteCount);
          if (modResult == Done)
            writeOk = std::fwrite(buffers.dsdBlock.data(), 1, byteCount, out) == byteCount;
        }
        if (readNext) {
          nextFrames = reader.read(buffers.pcmBlock);
          if (nextFrames >= 0) {
            UpsampleBuffer* next = buffers.frames[prevSlot];
            const UpsampleBuffer* cur = buffers.frames[curSlot];
            decodeFrames(buffers.pcmBlock.data(), nextFrames, blockAlign, next[0].block(),
                         next[1].block());
            // The next block's history: the newest M frames of this one.
            for (int channel = 0; channel < 2; ++channel) {
              std::memcpy(next[channel].frames.get(), cur[channel].frames.get() + curFrames,
                          static_cast<std::size_t>(cur[channel].historyFrames) * sizeof(double));
            }
          }
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
      if (modResult == Clip) {
        reportError("DSD Clip Error. Set normalize offset, please. \n");
        return modResult;
      }
      if (modResult != Done) {
        reportError("DSD Output Error.\n");
        return modResult;
      }
      if (!writeOk) {
        reportError("DSD File Write Error.\n");
        return Failed;
      }
      dsdBytesWritten += byteCount;
      if (dotCounter == kBlocksPerDot - 1) {
        std::printf(".");
        std::fflush(stdout);
        dotCounter = 0;
      } else {
        ++dotCounter;
      }
    }
    if (readFailed) break;
    havePrev = haveCur;
    prevFrames = curFrames;
    haveCur = readNext && nextFrames >= 0;
    readFailed = readNext && nextFrames < 0;
    curFrames = nextFrames;
    curSlot ^= 1;
  }
  if (readFailed) {
    reportError("Wave File Read Error.\n");
    return Failed;
  }

  patchDsdiffSizes(out, dsdBytesWritten);
  // A full disk may only show when the buffered data is flushed.
  if (std::fflush(out) != 0) {
    reportError("DSD File Write Error.\n");
    return Failed;
  }
  std::printf("\n<Write Data Size = %llu>\nEnd Conversion.\n",
              static_cast<unsigned long long>(dsdBytesWritten));

  const int elapsedMs = static_cast<int>(nowMilliseconds() - startMs);
  const double seconds = elapsedMs / 1000.0;
  const int minutes = static_cast<int>(seconds / 60.0);
  const double rest = seconds - minutes * 60.0;
  const double rate = static_cast<double>(dataSize / 1000) / seconds;
  std::printf("%d Minites %.3f Seconds, %d Bytes, %.2f KBytes/Sec \n", minutes, rest,
              static_cast<int>(static_cast<std::uint32_t>(dataSize)), rate);
  std::fflush(stdout);
  return Done;
}

}  // namespace pulsemill
