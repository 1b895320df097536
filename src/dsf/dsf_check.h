// A DSF file read back: its header checked against the file's size.
#pragma once

#include <cstdint>

#include "convert/dsd_file_check.h"

namespace pulsemill {

// The DSF file open as `fd`, `fileSize` bytes: whole when its chunks are
// "DSD " (28 bytes), "fmt " (52 bytes, two channels, one bit) and "data",
// the total size it declares is the file's, the data chunk holds the blocks
// its sample count needs, and a metadata offset points at an ID3v2 tag that
// fits in the file. `tagOffset` is set to that offset (0: the file is not
// whole or has no tag).
DsdFileCheck checkDsfFile(int fd, std::uint64_t fileSize, std::uint64_t& tagOffset);

}  // namespace pulsemill
