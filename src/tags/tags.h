// Tags carried from the input into the output: read from the input's own
// tag chunks, written as an ID3v2.4 tag.
//
// Conventions: texts are UTF-8; an empty text is a field the input does not
// have. Reading never prints on standard output and never fails a run: a
// file whose tags cannot be read has none.
#pragma once

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
  std::vector<TagPicture> pictures;
};

// The tags of the WAVE file at `path`: its LIST/INFO chunk and its "id3 "
// chunk, the ID3 value winning where both name a field. Empty when the file
// has none or they cannot be read.
TagSet readWaveTags(const std::string& path);

// The tags of the FLAC file at `path`: its Vorbis comments (TITLE, ARTIST,
// ALBUM, ALBUMARTIST, DATE, TRACKNUMBER, DISCNUMBER, GENRE, COMMENT) and
// PICTURE blocks. Empty when it has none or they cannot be read.
TagSet readFlacTags(const std::string& path);

// An ID3v2.4 tag with the fields of `tags` that are present, their pictures,
// and a TSSE frame (software and settings) with `encoderSettings`.
std::vector<std::uint8_t> renderId3v2Tag(const TagSet& tags,
                                         const std::string& encoderSettings);

}  // namespace pulsemill
