// The batch's plan: one job per output; the CUE sheets that make an image
// one job per track; and the units that run as one (a file, an album of
// files, an image's tracks).
//
// Conventions: jobs are named before anything is converted; a job that
// cannot be done holds its reason and is not planned. Units point into the
// job list, which must not change while they are used.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/gnu_command_line.h"
#include "app/run_driver.h"
#include "base/report.h"
#include "base/status.h"
#include "cue/cue_sheet.h"

namespace pulsemill {

// An image and its CUE sheet: the files the sheet joins (one for a sheet
// the image carries) and its tracks.
struct SheetAlbum {
  CueSheet sheet;
  std::vector<std::string> files;  // the sheet's FILEs as paths, in order
  std::string name;                // the sheet in messages: a ".cue" path, or the image's
  bool carried = false;            // the image carries it (a tag or a FLAC block)
};

// What planning reads of a regular input, each input opened once for it
// (probeInput).
struct InputFacts {
  bool probed = false;       // opened for planning (a regular file only)
  bool tagged = false;       // and its tags read
  bool readable = false;     // a format this converter reads, its header accepted
  std::uint32_t rate = 0;    // Hz
  std::uint64_t frames = 0;  // as declared; 0: not declared
  long disc = -1, track = -1;  // the numbers its tags start with; -1: none
  bool carriesSheet = false;   // a CUE sheet in a tag or a FLAC block
  Status sheetStatus;          // that sheet's refusal, when malformed
  CueSheet sheet;
};

enum class Outcome { Converted, Retried, Skipped, Clipped, Failed, Lowered };

// Job::otherSettings of an output without our TSSE frame.
constexpr const char kOtherProgram[] = "another program";

struct Job {
  Job(std::string in, std::string out, std::string rel)
      : input(std::move(in)), output(std::move(out)), relative(std::move(rel)) {}
  std::string input;     // as found
  std::string output;    // as named
  std::string relative;  // the input's path below its INPUT folder, without extension
  std::uint64_t size = 0;
  Outcome outcome = Outcome::Failed;
  bool planned = false;  // still to be decided: converted, or skipped by the resume check
  std::string reason;    // of a failure: what its last line says
  std::int64_t offset = 0;  // the last attempt's
  GainOutcome gain;         // what the automatic gain did
  double seconds = 0.0;
  double audioSeconds = 0.0;  // converted
  std::string otherSettings;  // skipped: what an existing output was made with, when not this batch's settings
  std::string warnings;       // the run's warning lines, shown without --verbose too
  std::string folder;         // the folder the walk found it in; empty: given by name
  std::shared_ptr<const SheetAlbum> sheet;  // a track of this image; null: a file of its own
  bool inAlbum = false;       // one of an album's (or image's) tracks
  InputFacts facts;           // of the input; a track's: its image's rate and its own frames
};

// What runs as one: a file, or an album's tracks in order (--album, or
// an image's CUE sheet).
struct Unit {
  std::vector<Job*> jobs;
  std::string album;  // the album's name (its folder, the image, or "the files given"); empty: a file
  std::shared_ptr<const SheetAlbum> sheet;  // an image's tracks; null: an album of files, or a file
  double gainDb = 0.0;  // an album's: the gain it was converted at
  std::uint64_t size() const {
    std::uint64_t bytes = 0;
    for (const Job* job : jobs) bytes += job->size;
    return bytes;
  }
};

// A name as it goes into a pulsemill: line or the live display.
std::string shown(const std::string& name);

// The facts of the input `path`, kept in `facts`: read on the first call
// (with its tags when `tags`; a later call that wants them reads them
// then). A FIFO or device is never opened: its stream belongs to its
// conversion.
const InputFacts& probeInput(const std::string& path, InputFacts& facts, bool tags);

// Unless --no-cue or -o, replaces each image that has a CUE sheet (a ".cue" file
// in its folder that names it in a FILE line, else a sheet the image
// carries) by one job per track: "NN - TITLE" in a folder named after the
// image (a sheet of several files: after the sheet). A sheet that names a
// file of the batch (or is named after one) but is malformed, or whose
// FILE is missing or whose start lies past its file's end, fails that
// file's job, with the sheet and the line in the reason.
void applyCueSheets(const BatchSettings& settings, std::vector<Job>& jobs, Report& console);

// The units of the batch: an image's tracks as one unit, and the other
// jobs each on its own, or with --album each folder's files (and the files
// given by name) as one album of the files at its most common rate, in
// (disc, track) order when every one has a track number, else in the
// walk's (name) or the given order. A file at another rate is a unit of
// its own, with a line saying so; one that cannot be opened too (its
// conversion reports why). An album or image is skipped only when every
// track is, and converted whole otherwise.
std::vector<Unit> formUnits(const BatchSettings& settings, std::vector<Job>& jobs, Report& console);

}  // namespace pulsemill
