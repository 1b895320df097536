// A DSDIFF file read back: its chunk sizes checked against the file's size.
#pragma once

#include <cstdint>

#include "convert/dsd_file_check.h"

namespace pulsemill {

// The DSDIFF file open as `fd`, `fileSize` bytes: whole when it is one
// "FRM8" form of type "DSD " filling the file, whose chunks fill the form
// (the last one's pad byte may be missing) and include a property chunk
// with the sample rate and channel count and a "DSD " sound chunk (or a
// compressed "DST " one), and whose "ID3 " chunk, if any, holds an ID3v2
// tag that fits in it. `tagOffset` is set to where that tag starts (0: the
// file is not whole or has none).
DsdFileCheck checkDsdiffFile(int fd, std::uint64_t fileSize, std::uint64_t& tagOffset);

}  // namespace pulsemill
