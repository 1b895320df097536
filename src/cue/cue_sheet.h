// CUE sheets: the tracks of an album image, from a sheet's text (parsed
// with libcue) or from the track starts a FLAC file's CUESHEET block gives.
//
// Conventions: a track starts at its INDEX 01 and runs to the next track's
// INDEX 01, so nothing of the image is dropped: audio before the first
// track's INDEX 01 belongs to the first track, and a pregap (INDEX 00) to
// the track before it. A position is a FILE and a point in it: CD frames
// (1/75 s) from a sheet's text, samples from a CUESHEET block. Line numbers
// count from 1 (0: a block, which has no lines). Refusals are InputRefused
// with a reason that names the line; the caller names the sheet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"

namespace pulsemill {

struct CueTrack {
  int number = 0;             // TRACK nn
  std::size_t file = 0;       // index into CueSheet::files of its INDEX 01
  std::uint64_t start = 0;    // its INDEX 01 in that file: CD frames, or samples (CueSheet::inSamples)
  int line = 0;               // of its INDEX 01
  std::string title, performer;  // from the sheet; empty when it has none
};

struct CueSheet {
  std::vector<std::string> files;  // FILE names as written, in order
  std::vector<int> fileLines;      // the line of each FILE
  std::vector<CueTrack> tracks;    // in order, at least one
  bool inSamples = false;          // starts count samples (a CUESHEET block), not CD frames
  std::string title, performer, date, genre;  // the album's, from the sheet
};

// Parses a sheet's text (UTF-8, a leading byte-order mark allowed). Ok
// with `sheet` filled; InputRefused naming the line when the sheet is not
// one (no FILE before a TRACK, a TRACK without INDEX 01, an index that is
// not mm:ss:ff, indexes of a track out of order, indexes in one FILE
// that go back, a track that starts where the one before it does); the
// FILEs read before the fault are then in `sheet.files`.
Status parseCueSheet(const std::string& text, CueSheet& sheet);

// A track's start in samples at `sampleRate` Hz: a CD frame position
// mm:ss:ff, F = (mm x 60 + ss) x 75 + ff, is floor(F x rate / 75).
std::uint64_t cueStartSample(const CueSheet& sheet, const CueTrack& track, std::uint32_t sampleRate);

// Checks every track start against the length (in samples) of its file;
// `lengths[f]` 0 when file f does not declare one. InputRefused naming the
// line of a start at or past the end of its file (an empty last track).
Status checkCueStarts(const CueSheet& sheet, const std::vector<std::uint64_t>& lengths,
                      std::uint32_t sampleRate);

// The output name of track `k` of `sheet`: "NN - TITLE" ("NN - Track NN"
// without a title), NN its number in two digits, with the characters a
// file system refuses (/ \ : * ? " < > | and controls) replaced by "_",
// and cut to 200 bytes at most (between UTF-8 characters).
std::string cueTrackName(const CueSheet& sheet, std::size_t k);

}  // namespace pulsemill
