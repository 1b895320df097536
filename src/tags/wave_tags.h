// The tags of a WAVE (RIFF) file: its LIST/INFO chunk and its "id3 " chunk.
//
// Conventions: read from an open descriptor with pread (its position does
// not move; the file is never reopened); offsets and sizes count bytes from
// the start of the file. Reading never prints on standard output and never
// fails a run: a file whose tags cannot be read has none. Bounded as
// tag_bounds.h says, with its warnings. INFO texts that are not valid UTF-8
// are read as Latin-1 (tag_text.h). A field has at most one value.
#pragma once

#include <cstdint>

#include "base/report.h"
#include "tags/tag_set.h"

namespace pulsemill {

// The tags of the WAVE file open as `fd`, `fileSize` bytes long: its
// LIST/INFO chunk (INAM, IART, IPRD, ICRD, IGNR, ICMT, ITRK or IPRT) and its
// "id3 " chunk (id3v2_reader.h), the ID3 value winning where both name a
// field. The chunks are walked from byte 12 as TagLib's RIFF reader walks
// them; the first "id3 " chunk and the first LIST/INFO chunk count. Empty
// when the file has none or they cannot be read.
TagSet readWaveTags(int fd, std::uint64_t fileSize, Report& report);

}  // namespace pulsemill
