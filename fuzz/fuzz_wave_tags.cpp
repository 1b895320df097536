// Fuzzes the tag reader with arbitrary files (through a temporary file, as
// the reader reads an open descriptor with pread) and renders what it finds.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tags/tags.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/fuzz_wave_tags." + std::to_string(getpid()) + ".wav";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
  pulsemill::CapturedReport report;
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) std::abort();
  const pulsemill::TagSet tags = pulsemill::readWaveTags(fd, size, report);
  close(fd);
  const std::vector<std::uint8_t> tag = pulsemill::renderId3v2Tag(tags, "settings", report);
  // Every rendered tag is an ID3v2.4 tag.
  if (tag.size() < 10 || tag[0] != 'I' || tag[1] != 'D' || tag[2] != '3' || tag[3] != 4) std::abort();
  std::remove(path.c_str());
  return 0;
}
