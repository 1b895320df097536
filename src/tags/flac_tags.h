// The tags of a FLAC file: its Vorbis comments and PICTURE blocks.
//
// Conventions: read from an open descriptor with pread (its position does
// not move; the file is never reopened), walking the metadata blocks after
// the "fLaC" marker: each a 4-byte header (1 bit last-block flag, 7 bits
// type, 24-bit big-endian length) and its data. Vorbis comment lengths are
// little-endian, a PICTURE block's fields big-endian. Offsets and sizes
// count bytes from the start of the file. Reading never prints on standard
// output and never fails a run: a file whose tags cannot be read has none.
// Bounded as tag_bounds.h says, with its warnings. Texts that are not valid
// UTF-8 are read as Latin-1 (tag_text.h).
#pragma once

#include <cstdint>

#include "base/report.h"
#include "tags/tag_set.h"

namespace pulsemill {

// The tags of the FLAC file open as `fd`, `fileSize` bytes long, whose
// "fLaC" marker is at byte `flacOffset` (0, or after an ID3v2 tag): the
// first VORBIS_COMMENT block's TITLE, ARTIST, ALBUM, ALBUMARTIST, DATE,
// TRACKNUMBER, DISCNUMBER, GENRE and COMMENT (names in any case; a name
// given more than once keeps all its values, in order, tag_set.h) and the
// PICTURE blocks. A picture block over the picture bound, or that would take
// the tag past its bound, is left out unread. Empty when there is no marker
// at `flacOffset` or nothing can be read.
TagSet readFlacTags(int fd, std::uint64_t flacOffset, std::uint64_t fileSize, Report& report);

}  // namespace pulsemill
