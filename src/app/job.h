// One conversion job, the same for a single run and for each file of a
// batch: the run's settings settled against the opened input into a plan,
// and the plan converted, with a job context, into a result.
//
// Conventions: a job prints its console report on the context's report
// (the header report, the parameter line, the conversion's lines) and
// returns its failure unreported, for the caller to report once; what the
// caller needs to know of it (the status, the last attempt's offset, the
// audio converted) is in the result, never read back from console text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/rate_choice.h"
#include "app/run_driver.h"
#include "base/status.h"
#include "cue/cue_sheet.h"

namespace pulsemill {

struct JobPlan {
  RunSettings settings;          // dsdRate, oversampleRatio and tapCount settled
  std::uint32_t inputRate = 0;   // Hz
  std::uint32_t outputRate = 0;  // Hz: inputRate x ratio (fits 32 bits unsigned)
  std::string encoderSettings;   // the TSSE text of an output at the planned offset
  std::string warning;           // the rate choice's reason for a "pulsemill: FILE:" line, or empty
};

// Settles `settings` for an input at `sampleRate` Hz (resolveRunRate).
// BadOption when a GNU-style run's ratio + offset leaves no gain.
Status planJob(const RunSettings& settings, std::uint32_t sampleRate, JobPlan& plan);

struct JobResult {
  Status status;                  // Ok, or the failure that ended the job (not yet reported)
  std::int64_t finalOffset = 0;   // the last attempt's gain offset
  GainOutcome gain;               // what the automatic gain did
  double audioSeconds = 0.0;      // input audio converted into the committed output
  std::string warnings;           // the warning lines the job printed on standard error

  bool outputWritten() const { return status.ok(); }  // committed exactly when the job succeeded
};

// The whole job for settings.inputPath: opens it (once), checks that the
// output is another file, prints "finename = ..." and the header report,
// plans the job, prints the parameter line and converts it with the
// context's threads and designs.
JobResult runJob(const RunSettings& settings, const JobContext& context);

// An album: its inputs read in order as one stream, cut into its outputs,
// one per input or at a CUE sheet's track starts.
struct AlbumPlan {
  std::vector<std::string> inputs;   // the stream's files, in order
  std::vector<std::string> outputs;  // one per track
  const CueSheet* sheet = nullptr;   // its files are `inputs`; nullptr: each input is a track
  std::string sheetName;             // the sheet as refusals name it
};

struct AlbumResult {
  Status status;                   // Ok, or the failure that ended the album (not yet reported)
  std::string inputPath;           // the input (or sheet) a failure concerns
  std::string outputPath;          // the output a failure concerns
  std::size_t failedTrack = SIZE_MAX;  // the track whose input or output failed; SIZE_MAX: none alone
  std::string failedName;          // that track's input or output, as the other tracks name it
  std::int64_t finalOffset = 0;    // the last attempt's gain offset
  GainOutcome gain;                // what the automatic gain did, for the album
  std::vector<double> trackSeconds;  // each track's input audio, once committed
  std::string warnings;              // the warning lines the album printed on standard error
};

// An album (settings.album, named settings.inputPath in messages): every
// input opened ("finename = ..." and its header report each), the album
// planned at the first input's rate (every input must have it, and a
// sheet's starts must lie inside their files) and converted as one aligned
// stream, cut into the outputs, all committed or none (runAlbumDriver).
AlbumResult runAlbumJob(const RunSettings& settings, const AlbumPlan& album,
                        const JobContext& context);

}  // namespace pulsemill
