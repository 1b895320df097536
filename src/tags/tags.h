// Tags carried from the input into the output: read from the input's own
// tag chunks, written as an ID3v2.4 tag.
//
// Conventions: texts are UTF-8; an empty text is a field the input does not
// have. Sizes count bytes. Reading never prints on standard output and never
// fails a run: a file whose tags cannot be read has none. What the bounds
// below leave out gives one line each on standard error,
// "pulsemill: tag: WHAT of N bytes left out (WHY)".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/report.h"

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
  std::vector<TagPicture> pictures;
};

// Bounds of the tag. ID3v2.4 sizes hold 28 bits (256 MiB), so the tag stays
// far below that: a frame's body (what follows its 10-byte header: encoding
// byte and text, or for a picture MIME type, type, description and image)
// over its bound is left out, and so is a frame that would take the whole
// tag (header, frames, padding) past kMaxTagBytes, counting the fields
// before the pictures. The TSSE frame (encoder settings) is always kept.
constexpr std::size_t kMaxTagTextBytes = std::size_t{1} << 20;      // per text frame
constexpr std::size_t kMaxTagPictureBytes = std::size_t{16} << 20;  // per picture frame
constexpr std::size_t kMaxTagBytes = std::size_t{32} << 20;         // the whole tag

// The readers apply the bounds as they read: frames, chunks and blocks over
// them are skipped unread (a compressed ID3 frame by its decompressed size),
// so reading takes memory in proportion to the bounds, not to the file. The
// set they return fits the bounds with room for the settings, so rendering
// it leaves nothing out. Text that is not valid UTF-8 (LIST/INFO chunks as
// Windows tools write them, Vorbis comments) is read as Latin-1; for INFO
// this installs a string handler in TagLib, which is a process-wide setting.

// The tags of the WAVE file at `path`: its LIST/INFO chunk and its "id3 "
// chunk, the ID3 value winning where both name a field. Empty when the file
// has none or they cannot be read.
TagSet readWaveTags(const std::string& path, Report& report);

// The tags of the FLAC file at `path`: its Vorbis comments (TITLE, ARTIST,
// ALBUM, ALBUMARTIST, DATE, TRACKNUMBER, DISCNUMBER, GENRE, COMMENT) and
// PICTURE blocks. Empty when it has none or they cannot be read.
TagSet readFlacTags(const std::string& path, Report& report);

// An ID3v2.4 tag with the fields of `tags` that are present and within the
// bounds, their pictures, and a TSSE frame (software and settings) with
// `encoderSettings`.
std::vector<std::uint8_t> renderId3v2Tag(const TagSet& tags,
                                         const std::string& encoderSettings, Report& report);

}  // namespace pulsemill
// TEMPORARY SHIM (replaced by the tags split)
namespace pulsemill {
inline void addTagValue(std::string& field, const std::string& value) {
  if (value.empty()) return;
  if (!field.empty()) field += '\0';
  field += value;
}
inline TagSet readWaveTags(int fd, std::uint64_t, Report& report) {
  return readWaveTags("/proc/self/fd/" + std::to_string(fd), report);
}
inline TagSet readFlacTags(int fd, std::uint64_t, std::uint64_t, Report& report) {
  return readFlacTags("/proc/self/fd/" + std::to_string(fd), report);
}
inline TagSet readApeTags(int, std::uint64_t, Report&) { return TagSet(); }
}
