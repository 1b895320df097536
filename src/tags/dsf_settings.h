// The settings an existing DSF output was made with, read back from its
// ID3v2.4 tag (a batch run compares them with the ones it would write).
//
// Conventions: the file is one this converter wrote (dsf_writer.h): the
// metadata pointer at byte 20 of its header (64-bit little-endian), the tag
// there, frames with syncsafe sizes and no extended header. The caller has
// the file open (it checks the file's structure from the same descriptor).
#pragma once

#include <cstdint>
#include <string>

namespace pulsemill {

// The text of the TSSE frame (the settings that made it) in the ID3v2.4 tag
// of the DSF file open as `fd`, `fileSize` bytes; empty when the file has
// none or is no DSF file.
std::string readDsfEncoderSettings(int fd, std::uint64_t fileSize);

}  // namespace pulsemill
