// The ID3v2.4 tag an output carries (a DSF file's, after its sound data).
//
// Conventions: rendered with TagLib, texts as UTF-8; a field's several
// values (tag_set.h) become the values of one text frame, NUL-separated as
// ID3v2.4 stores them, and COMM carries the first. Frames over the bounds
// of tag_bounds.h are left out, each with a warning.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/report.h"
#include "tags/tag_set.h"

namespace pulsemill {

// An ID3v2.4 tag with the fields of `tags` that are present and within the
// bounds, their pictures, and a TSSE frame (software and settings) with
// `encoderSettings`.
std::vector<std::uint8_t> renderId3v2Tag(const TagSet& tags,
                                         const std::string& encoderSettings, Report& report);

}  // namespace pulsemill
