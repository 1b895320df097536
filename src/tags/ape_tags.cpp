#include "tags/ape_tags.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "tags/tag_bounds.h"
#include "tags/tag_text.h"

namespace pulsemill {

namespace {

constexpr std::uint64_t kFooterBytes = 32;
constexpr std::uint64_t kId3v1Bytes = 128;
constexpr std::size_t kMaxKeyBytes = 255;

// The fields by key, compared in lower case.
const struct ApeField {
  const char* keys[2];
  std::string TagSet::*field;
} kApeFields[] = {{{"title"}, &TagSet::title},
                  {{"artist"}, &TagSet::artist},
                  {{"album"}, &TagSet::album},
                  {{"album artist", "albumartist"}, &TagSet::albumArtist},
                  {{"year", "date"}, &TagSet::date},
                  {{"track"}, &TagSet::track},
                  {{"disc"}, &TagSet::disc},
                  {{"genre"}, &TagSet::genre},
                  {{"comment"}, &TagSet::comment},
                  {{"cuesheet"}, &TagSet::cueSheet}};
constexpr std::size_t kApeFieldCount = sizeof kApeFields / sizeof kApeFields[0];

// The index in kApeFields of the field `key` names; kApeFieldCount for none.
std::size_t fieldOf(std::string key) {
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  for (std::size_t i = 0; i < kApeFieldCount; ++i)
    for (const char* name : kApeFields[i].keys)
      if (name != nullptr && key == name) return i;
  return kApeFieldCount;
}

// Where the footer is: at the end, or before an ID3v1 tag; 0 for none (a
// footer never starts the file: the tag holds it and its items).
std::uint64_t footerAt(int fd, std::uint64_t fileSize) {
  std::uint8_t bytes[8];
  if (fileSize >= kFooterBytes && readAt(fd, fileSize - kFooterBytes, bytes, 8) &&
      std::memcmp(bytes, "APETAGEX", 8) == 0)
    return fileSize - kFooterBytes;
  if (fileSize >= kId3v1Bytes + kFooterBytes && readAt(fd, fileSize - kId3v1Bytes, bytes, 3) &&
      std::memcmp(bytes, "TAG", 3) == 0 &&
      readAt(fd, fileSize - kId3v1Bytes - kFooterBytes, bytes, 8) &&
      std::memcmp(bytes, "APETAGEX", 8) == 0)
    return fileSize - kId3v1Bytes - kFooterBytes;
  return 0;
}

}  // namespace

TagSet readApeTags(int fd, std::uint64_t fileSize, Report& report) {
  setUpTagLib();
  TagSet tags;
  const std::uint64_t at = footerAt(fd, fileSize);
  std::uint8_t footer[kFooterBytes];
  if (at == 0 || !readAt(fd, at, footer, sizeof footer)) return tags;
  const std::uint32_t version = le32(footer + 8), tagSize = le32(footer + 12),
                      count = le32(footer + 16);
  if ((version != 1000 && version != 2000) || tagSize < kFooterBytes || tagSize > at + kFooterBytes)
    return tags;
  const std::uint64_t end = at;  // the items are [at + 32 - tagSize, at)
  std::array<bool, kApeFieldCount> given{};
  std::vector<char> value;
  // Each item lies in [item, end): its 8-byte header, a key of at least one
  // character and its NUL, its value. A key that is not printable ASCII or
  // a value running past the end ends the reading, the items before it kept.
  std::uint64_t item = at + kFooterBytes - tagSize;
  for (std::uint32_t i = 0; i < count && end - item >= 8 + 2; ++i) {
    std::uint8_t header[8];
    char key[kMaxKeyBytes + 1];
    const std::size_t keyRoom = static_cast<std::size_t>(
        std::min<std::uint64_t>(sizeof key, end - item - 8));
    if (!readAt(fd, item, header, sizeof header) || !readAt(fd, item + 8, key, keyRoom)) break;
    const char* keyEnd = static_cast<const char*>(std::memchr(key, '\0', keyRoom));
    if (keyEnd == nullptr) break;
    const std::string name(key, static_cast<std::size_t>(keyEnd - key));
    if (name.empty() ||
        !std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c <= 0x7E; }))
      break;
    const std::uint32_t size = le32(header), flags = le32(header + 4);
    const std::uint64_t valueAt = item + 8 + name.size() + 1;
    if (size > end - valueAt) break;
    item = valueAt + size;
    const std::size_t field = fieldOf(name);
    if (field == kApeFieldCount || ((flags >> 1) & 3) != 0 || given[field]) continue;
    if (size > kMaxTagTextBytes) {
      warnLeftOut(report, "APE " + name + " text", size, overBound(kMaxTagTextBytes));
      continue;
    }
    value.resize(size);
    if (!readAt(fd, valueAt, value.data(), size)) break;
    std::string& text = tags.*kApeFields[field].field;
    for (std::size_t from = 0; from < value.size();) {
      const char* start = value.data() + from;
      const char* stop = static_cast<const char*>(std::memchr(start, '\0', value.size() - from));
      const std::size_t length = stop != nullptr ? static_cast<std::size_t>(stop - start)
                                                 : value.size() - from;
      addTagValue(text, decodeTagText(start, length));
      from += length + 1;
    }
    given[field] = !text.empty();
  }
  keepWithinBounds(tags, report);
  return tags;
}

}  // namespace pulsemill
