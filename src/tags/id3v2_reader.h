// ID3v2 tags read from a file's bytes (a WAVE file's "id3 " chunk): the
// tag rebuilt within the bounds, then parsed by TagLib into a TagSet.
//
// Conventions: ID3v2.2, 2.3 and 2.4 tags; offsets count bytes from the start
// of the file, read with pread (the descriptor's position does not move).
// Only the frames that give a TagSet's fields are kept: TIT2, TPE1, TALB,
// TPE2, TDRC (and TYER, TDAT, TIME), TCON, TRCK, TPOS, COMM and APIC, and
// their ID3v2.2 twins. A text frame gives its field one value: TagLib's
// text of the frame (several values joined by a space).
#pragma once

#include <cstdint>
#include <vector>

#include "base/report.h"
#include "tags/tag_set.h"

namespace pulsemill {

// The ID3v2 tag at byte `at` of `fd` (running to the size its header gives
// or to `fileSize`, the end of the file) rebuilt with only the frames
// takeId3v2Fields uses that are within the bounds (tag_bounds.h), and
// without extended header, footer or ID3v2.2/2.3 unsynchronisation. A frame
// over its bound, or past the tag's bound (the fields' frames and the
// pictures' frames counted apart), is skipped unread with a warning; a
// compressed one counts by its decompressed size, the one its header
// declares and the one inflating it gives. Empty when no frame is left or
// the header is not one TagLib reads.
std::vector<std::uint8_t> boundedId3v2Tag(int fd, std::uint64_t at, std::uint64_t fileSize,
                                          Report& report);

// The fields and pictures of the tag `tag` (as boundedId3v2Tag gives it)
// put into `tags`, replacing the values there for the fields it has.
void takeId3v2Fields(const std::vector<std::uint8_t>& tag, TagSet& tags);

}  // namespace pulsemill
