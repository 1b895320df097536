// A DSDIFF file read back: its chunk sizes checked against the file's size.
#pragma once

#include <cstdint>

#include "convert/dsd_file_check.h"

namespace pulsemill {

// The DSDIFF file open as `fd`, `fileSize` bytes: whole when it is one
// "FRM8" form of type "DSD " filling the file, whose chunks (each within
// the form) include a property chunk with the sample rate and channel
// count and a "DSD " sound chunk (or a compressed "DST " one).
DsdFileCheck checkDsdiffFile(int fd, std::uint64_t fileSize);

}  // namespace pulsemill
