#include "tags/dsf_settings.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/bytes.h"

namespace pulsemill {

std::string readDsfEncoderSettings(const std::string& dsfPath) {
  std::FILE* file = std::fopen(dsfPath.c_str(), "rb");
  if (file == nullptr) return std::string();
  std::uint8_t header[28];
  std::vector<std::uint8_t> tag;
  if (std::fread(header, 1, sizeof header, file) == sizeof header && isFourCc(header, "DSD ")) {
    const std::uint64_t at = le64(header + 20);  // the metadata pointer
    std::uint8_t id3[10];
    if (at != 0 && fseeko(file, static_cast<off_t>(at), SEEK_SET) == 0 &&
        std::fread(id3, 1, 10, file) == 10 && std::memcmp(id3, "ID3", 3) == 0) {
      const std::uint32_t size = syncsafe32(id3 + 6);
      tag.resize(size);
      if (std::fread(tag.data(), 1, size, file) != size) tag.clear();
    }
  }
  std::fclose(file);
  // Frames: ID, syncsafe size, flags, body (encoding byte, then the text).
  for (std::size_t at = 0; at + 10 <= tag.size() && tag[at] != 0;) {
    const std::uint32_t size = syncsafe32(&tag[at + 4]);
    if (at + 10 + size > tag.size()) break;
    if (isFourCc(&tag[at], "TSSE") && size > 1) {
      std::string text(reinterpret_cast<const char*>(&tag[at + 11]), size - 1);
      while (!text.empty() && text.back() == '\0') text.pop_back();
      return text;
    }
    at += 10 + size;
  }
  return std::string();
}

}  // namespace pulsemill
