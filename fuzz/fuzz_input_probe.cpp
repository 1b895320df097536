// Fuzzes the input boundary with arbitrary files: the probe picks a row of
// the format table, the row opens its source (the WAVE reader, libFLAC or
// FFmpeg on the open descriptor) and reads its tags, and a few blocks are
// decoded. Any status is fine; a crash, leak or sanitizer report is not.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/files.h"
#include "input/input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/fuzz_input_probe." + std::to_string(getpid());
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
  pulsemill::CapturedReport report;
  pulsemill::InputFile input;
  if (!input.open(path).ok()) std::abort();
  pulsemill::OpenedInput opened;
  if (pulsemill::openInput(input, path, report, opened).ok()) {
    (void)pulsemill::readInputTags(opened, input, report);
    double left[256], right[256];
    for (int block = 0; block < 64 && opened.source->hasMore(); ++block) {
      int frames = 0;
      if (!opened.source->read(256, left, right, frames).ok()) break;
    }
  }
  std::remove(path.c_str());
  return 0;
}
