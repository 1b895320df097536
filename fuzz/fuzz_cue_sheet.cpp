// Fuzzes the CUE sheet reader (the line scan, then libcue on what passes
// it) with arbitrary text, and checks what a parsed sheet promises.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cue/cue_sheet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  pulsemill::CueSheet sheet;
  if (!pulsemill::parseCueSheet(text, sheet).ok()) return 0;
  if (sheet.tracks.empty() || sheet.files.size() != sheet.fileLines.size()) std::abort();
  std::uint64_t before = 0;
  for (std::size_t k = 0; k < sheet.tracks.size(); ++k) {
    const pulsemill::CueTrack& track = sheet.tracks[k];
    if (track.file >= sheet.files.size() || track.line <= 0) std::abort();
    // Starts in one file go forward.
    if (k > 0 && track.file == sheet.tracks[k - 1].file && track.start <= before) std::abort();
    before = track.start;
    const std::string name = pulsemill::cueTrackName(sheet, k);
    if (name.find('/') != std::string::npos || name.size() < 5) std::abort();
    (void)pulsemill::cueStartSample(sheet, track, 44100);
  }
  return 0;
}
