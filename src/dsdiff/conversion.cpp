#include "dsdiff/conversion.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "dsdiff/dsdiff_writer.h"
#include "shaper/modulator.h"

namespace pulsemill {

namespace {

constexpr int kBlocksPerDot = 26;

long long nowMilliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void reportError(const char* message) {
  std::fflush(stdout);
  std::fputs(message, stderr);
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

// The buffers of one attempt, allocated once.
struct AttemptBuffers {
  UpsampleBuffer inLeft, inRight;
  AlignedDoubles upLeft, upRight;
  std::vector<std::uint8_t> pcmBlock, dsdBlock;

  bool allocate(const PhaseKernel& kernel, int blockFrames) {
    const std::size_t outputs = static_cast<std::size_t>(kernel.ratio) * blockFrames;
    try {
      pcmBlock.assign(6 * static_cast<std::size_t>(blockFrames), 0);
      dsdBlock.assign(outputs / 8 * 2, 0);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return initUpsampleBuffer(inLeft, kernel, blockFrames) &&
           initUpsampleBuffer(inRight, kernel, blockFrames) && upLeft.allocate(outputs) &&
           upRight.allocate(outputs);
  }
};

}  // namespace

int convertToDsdiff(std::FILE* in, std::FILE* out, std::uint64_t dataSize,
                    std::uint32_t sampleRate, int blockAlign, const double* forward,
                    const double* feedback, const PhaseKernel& kernel, int ratio, int tapCount,
                    int blockFrames, std::int64_t normalizeOffset) {
  std::printf("Start Conversion... take a rest, please.\n");
  const long long startMs = nowMilliseconds();

  AttemptBuffers buffers;
  if (!buffers.allocate(kernel, blockFrames)) {
    reportError("Out of memory\n");
    return Failed;
  }
  ShaperState stateLeft, stateRight;

  const double normalizeGain = static_cast<double>(static_cast<std::int64_t>(ratio) + normalizeOffset);
  std::printf("<normalize = %f coefcount = %d>\n", normalizeGain, tapCount / ratio);

  writeDsdiffHeader(out, sampleRate * static_cast<std::uint32_t>(ratio));

  std::uint64_t pcmBytesRead = 0;  // 64-bit: the short-block test cannot wrap
  std::uint64_t dsdBytesWritten = 0;
  int dotCounter = 0;
  int n = blockFrames;
  std::uint64_t blockBytes = static_cast<std::uint64_t>(blockAlign) * blockFrames;
  while (pcmBytesRead < dataSize) {
    if (pcmBytesRead + blockBytes > dataSize) {
      blockBytes = dataSize - pcmBytesRead;
      std::memset(buffers.pcmBlock.data(), 0, buffers.pcmBlock.size());
      n = static_cast<int>(blockBytes / static_cast<std::uint64_t>(blockAlign));
    }
    if (std::fread(buffers.pcmBlock.data(), 1, blockBytes, in) != blockBytes) {
      reportError("Wave File Read Error.\n");
      return Failed;
    }
    decodeFrames(buffers.pcmBlock.data(), n, blockAlign, buffers.inLeft.block(),
                 buffers.inRight.block());
    interpolateBlock(buffers.upLeft.get(), buffers.upRight.get(), kernel, buffers.inLeft,
                     buffers.inRight, n, normalizeGain);
    std::uint32_t byteCount = 0;
    int result = modulateBlock(forward, feedback, stateLeft, buffers.upLeft.get(), stateRight,
                               buffers.upRight.get(), ratio * n, buffers.dsdBlock.data(), byteCount);
    if (result == Clip) {
      reportError("DSD Clip Error. Set normalize offset, please. \n");
      return result;
    }
    if (result != Done) {
      reportError("DSD Output Error.\n");
      return result;
    }
    if (std::fwrite(buffers.dsdBlock.data(), 1, byteCount, out) != byteCount) {
      reportError("DSD File Write Error.\n");
      return Failed;
    }
    dsdBytesWritten += byteCount;
    pcmBytesRead += blockBytes;
    if (dotCounter == kBlocksPerDot - 1) {
      std::printf(".");
      std::fflush(stdout);
      dotCounter = 0;
    } else {
      ++dotCounter;
    }
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
