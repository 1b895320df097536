#include "tags/encoder_settings.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/bytes.h"

namespace pulsemill {

std::string readEncoderSettings(int fd, std::uint64_t fileSize, std::uint64_t tagOffset) {
  std::vector<std::uint8_t> tag;
  std::uint8_t id3[10];
  if (tagOffset != 0 && tagOffset < fileSize && fileSize - tagOffset >= 10 &&
      readAt(fd, tagOffset, id3, 10) && std::memcmp(id3, "ID3", 3) == 0) {
    const std::uint32_t size = syncsafe32(id3 + 6);
    if (size <= fileSize - tagOffset - 10) {  // a tag that fits in the file
      tag.resize(size);
      if (!readAt(fd, tagOffset + 10, tag.data(), size)) tag.clear();
    }
  }
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
