// The settings an existing output was made with, read back from its ID3v2.4
// tag (a batch run compares them with the ones it would write). DSF and
// DSDIFF outputs carry the same tag; each format's check (dsf_check.h,
// dsdiff_check.h) says where it starts.
//
// Conventions: the tag is one this converter wrote (id3v2_writer.h): frames
// with syncsafe sizes and no extended header. The caller has the file open
// (it checks the file's structure from the same descriptor).
#pragma once

#include <cstdint>
#include <string>

namespace pulsemill {

// The text of the TSSE frame (the settings that made it) in the ID3v2.4 tag
// at byte `tagOffset` of the file open as `fd`, `fileSize` bytes; empty when
// `tagOffset` is 0, no tag that fits in the file starts there, or the tag
// has no such frame.
std::string readEncoderSettings(int fd, std::uint64_t fileSize, std::uint64_t tagOffset);

}  // namespace pulsemill
