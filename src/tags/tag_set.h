// The tags carried from an input into an output: what the readers give
// (wave_tags.h, flac_tags.h, ape_tags.h, and the FFmpeg source's) and the
// ID3v2.4 writer (id3v2_writer.h) takes.
//
// Conventions: texts are UTF-8; an empty text is a field the input does not
// have. A field with several values (two ARTIST comments, an APE item's
// NUL-separated values) holds them in order, separated by a NUL character
// inside the string ("A" "\0" "B"), the way ID3v2.4 stores them; one value
// has no separator, so `tags.title = "x"` sets a field of one value.
// Sizes count bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pulsemill {

struct TagPicture {
  std::string mimeType;             // "image/jpeg", ...
  int type = 3;                     // ID3v2 picture type (3: front cover)
  std::string description;
  std::vector<std::uint8_t> data;   // the image file's bytes
};

struct TagSet {
  std::string title, artist, album, albumArtist, date, genre, comment;
  std::string track;  // "3" or "3/12"
  std::string disc;   // "1" or "1/2"
  std::string cueSheet;  // a CUE sheet's text kept in a tag (CUESHEET); read, never written
  std::vector<TagPicture> pictures;
};

// Appends `value` to `field` as its last value (after a NUL when the field
// has one already). An empty value is ignored; `value` holds no NUL.
inline void addTagValue(std::string& field, const std::string& value) {
  if (value.empty()) return;
  if (!field.empty()) field += '\0';
  field += value;
}

// The values of `field` in order, empty ones left out.
inline std::vector<std::string> tagValues(const std::string& field) {
  std::vector<std::string> values;
  for (std::size_t at = 0; at <= field.size();) {
    std::size_t end = field.find('\0', at);
    if (end == std::string::npos) end = field.size();
    if (end > at) values.push_back(field.substr(at, end - at));
    at = end + 1;
  }
  return values;
}

}  // namespace pulsemill
