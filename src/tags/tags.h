// The tags module in one include: tags carried from the input into the
// output, read from the input's own tag chunks and blocks, written as an
// ID3v2.4 tag.
//
// Conventions (each header says more): texts are UTF-8, a field's several
// values NUL-separated in its string (tag_set.h); sizes count bytes. The
// readers take an open descriptor and offsets (never a path: the input is
// never reopened), read with pread, never print on standard output and
// never fail a run; what the bounds leave out gives one line each on
// standard error, "pulsemill: tag: WHAT of N bytes left out (WHY)"
// (tag_bounds.h).
//
//   tag_set.h       TagSet, TagPicture, addTagValue
//   tag_bounds.h    kMaxTag* and keeping a TagSet within them
//   wave_tags.h     readWaveTags: RIFF LIST/INFO and "id3 " chunks
//   flac_tags.h     readFlacTags: Vorbis comments and PICTURE blocks
//   ape_tags.h      readApeTags: an APE tag at the end of a file
//   id3v2_writer.h  renderId3v2Tag: the output's ID3v2.4 tag
//   encoder_settings.h  readEncoderSettings: an output's TSSE read back
// and inside the module: id3v2_reader.h (ID3v2 tags rebuilt within the
// bounds and parsed), tag_text.h (UTF-8 or Latin-1), byte_range.h.
#pragma once

#include "tags/ape_tags.h"
#include "tags/encoder_settings.h"
#include "tags/flac_tags.h"
#include "tags/id3v2_writer.h"
#include "tags/tag_bounds.h"
#include "tags/tag_set.h"
#include "tags/wave_tags.h"
