// The bounds of a tag, and keeping a TagSet within them.
//
// Conventions: ID3v2.4 sizes hold 28 bits (256 MiB), so the tag stays far
// below that: a frame's body (what follows its 10-byte header: encoding
// byte and text, or for a picture MIME type, type, description and image)
// over its bound is left out, and so is a frame that would take the whole
// tag (header, frames, padding) past kMaxTagBytes, counting the fields
// before the pictures. A text frame's body counts its values as rendered:
// a NUL between two values, and for COMM only the first value. The TSSE
// frame (encoder settings) is always kept. Each frame left out gives one
// line on standard error, "pulsemill: tag: WHAT of N bytes left out (WHY)"
// (warnLeftOut).
//
// The readers apply the bounds as they read: frames, chunks, blocks and
// items over them are skipped unread, so reading takes memory in proportion
// to the bounds, not to the file. The set they return fits the bounds with
// room for the settings (keepWithinBounds), so rendering it leaves nothing
// out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/report.h"
#include "tags/tag_set.h"

namespace pulsemill {

constexpr std::size_t kMaxTagTextBytes = std::size_t{1} << 20;      // per text frame
constexpr std::size_t kMaxTagPictureBytes = std::size_t{16} << 20;  // per picture frame
constexpr std::size_t kMaxTagBytes = std::size_t{32} << 20;         // the whole tag

// The layout the bounds count: an ID3v2.3/2.4 frame header; the tag's header
// and the padding TagLib renders after the frames of a new tag; what the
// readers keep free for the TSSE frame (settings of up to 1 KiB).
constexpr std::size_t kFrameHeaderBytes = 10;
constexpr std::size_t kTagOverheadBytes = 10 + 1024;
constexpr std::size_t kSettingsFrameRoom = kFrameHeaderBytes + 1 + 1024;

// The text frames in the order the tag carries them, with what a frame's
// body holds besides the text: the encoding byte (and for COMM a language
// and an empty description). COMM carries one value.
struct Id3TextFrame {
  const char* id;
  std::string TagSet::*field;
  std::size_t bodyExtra;
};
inline constexpr Id3TextFrame kId3TextFrames[] = {
    {"TIT2", &TagSet::title, 1}, {"TPE1", &TagSet::artist, 1}, {"TALB", &TagSet::album, 1},
    {"TPE2", &TagSet::albumArtist, 1}, {"TDRC", &TagSet::date, 1}, {"TRCK", &TagSet::track, 1},
    {"TPOS", &TagSet::disc, 1}, {"TCON", &TagSet::genre, 1}, {"COMM", &TagSet::comment, 5}};
constexpr std::size_t kId3TextFrameCount = sizeof kId3TextFrames / sizeof kId3TextFrames[0];

// The values `frame` carries of its field in `tags` (none: no frame).
std::vector<std::string> frameValues(const Id3TextFrame& frame, const TagSet& tags);

// "pulsemill: tag: WHAT of N bytes left out (WHY)" on standard error.
void warnLeftOut(Report& report, const std::string& what, std::uint64_t bytes,
                 const std::string& why);

// "over N MiB", N being `bound` in MiB.
std::string overBound(std::size_t bound);

// Which frames of `tags` a tag carries when `reservedBytes` of it go to the
// TSSE frame; one warning for each frame left out.
struct KeptFrames {
  std::array<bool, kId3TextFrameCount> texts{};  // by kId3TextFrames
  std::vector<bool> pictures;                    // by tags.pictures
};
KeptFrames keptWithinBounds(const TagSet& tags, std::size_t reservedBytes, Report& report);

// Drops from `tags` what a tag of it could not carry beside settings of up
// to 1 KiB, with a warning each.
void keepWithinBounds(TagSet& tags, Report& report);

}  // namespace pulsemill
