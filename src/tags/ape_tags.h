// The text fields of an APE tag (APEv2, and APEv1 alike) at the end of a
// file, as WavPack, Monkey's Audio and TTA files carry them.
//
// Conventions: read from an open descriptor with pread (its position does
// not move; the file is never reopened); numbers little-endian; offsets and
// sizes count bytes from the start of the file. The tag ends in a 32-byte
// footer ("APETAGEX", version, tag size counting the items and the footer,
// item count, flags, 8 reserved bytes), either the file's last 32 bytes or
// just before a trailing 128-byte ID3v1 tag (starting with "TAG"). Each
// item: value size (4 bytes), flags (4 bytes), a NUL-terminated key of
// printable ASCII, the value. Reading never prints on standard output and
// never fails a run: a file whose tag cannot be read has none. Bounded as
// tag_bounds.h says, with its warnings.
#pragma once

#include <cstdint>

#include "base/report.h"
#include "tags/tag_set.h"

namespace pulsemill {

// The text items (flags bits 1-2 clear) of the APE tag of the file open as
// `fd`, `fileSize` bytes long, whose keys name a field (in any case):
// Title, Artist, Album, "Album Artist" or AlbumArtist, Year or Date, Track,
// Disc, Genre, Comment. A value's NUL-separated values are all kept, in
// order (tag_set.h); the first item naming a field gives it. Texts that are
// not valid UTF-8 are read as Latin-1. A value over kMaxTagTextBytes is
// left out unread with a warning; an item whose sizes run past the tag ends
// the reading. Empty when the file has no APE tag.
TagSet readApeTags(int fd, std::uint64_t fileSize, Report& report);

}  // namespace pulsemill
