// Run driver: gets the filter (from the process's design cache) and designs
// the shaper once, wires the source and
// a DSD sink to the conversion core, retries a clipped conversion with a
// lower gain, and leaves a complete output or none.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/design_cache.h"
#include "base/diagnostics.h"
#include "base/report.h"
#include "base/status.h"
#include "convert/pcm_source.h"
#include "convert/track_chain.h"
#include "tags/tags.h"

namespace pulsemill {

// What a run takes from its process, handed in: where its console lines go,
// how many threads it may use (the filter design's loops and the
// conversion's team) and the designs it shares with the process's other runs.
// What the automatic gain did (settings.autoGain).
struct GainOutcome {
  double finalDb = 0.0;     // the last attempt's gain
  double overloadDb = 0.0;  // the first attempt's, when it overloaded
  bool lowered = false;     // an overload made it try a lower gain
};

struct JobContext {
  Report& report;
  int threads;            // >= 1
  DesignCache& designs;
  std::int64_t* finalOffset = nullptr;  // set to the last attempt's offset, when given
  GainOutcome* gain = nullptr;          // set to what the automatic gain did, when given
};

// Lowest gain the automatic gain tries, and its step.
constexpr double kMinAutoGainDb = -12.0;
constexpr double kAutoGainStepDb = 0.5;

// The gain to try after an attempt at `gainDb` dB overloaded with its
// modulator input peaking at `peak` (the modulator's units): the step of
// the 0.5 dB grid at or below the gain that brings that peak down to
// `stableLevel`, the largest input the shaper keeps stable, and at least
// one step below `gainDb`; no lower than kMinAutoGainDb. A function of its
// arguments alone, so the choice depends on the input and the settings only.
double nextAutoGain(double gainDb, double peak, double stableLevel);

// Converts `source` (at its first frame) into settings.outputPath, DSDIFF or
// DSF (settings.dsfOutput; a DSF file, and a DSDIFF file under
// settings.dsdiffTags, carries `tags` and the settings of the attempt that
// made it), with the settled settings (rate, ratio and taps
// resolved). A clip or an output error is retried under settings.retryOnClip
// (its line, then the retry line, the offset one lower), ten times at most.
// Ok when the output is complete
// and committed; otherwise the failure of the last attempt, not yet reported
// (earlier clipped attempts are reported as they end), with no regular
// output file left behind. An output that cannot seek (a pipe, FIFO or
// terminal) is refused (StreamedOutput) when the input declares no length;
// otherwise it gets one attempt, and its failure is preceded by a warning
// line that the bytes already sent are incomplete. When it is standard
// output the report's standard output yields to it.
Status runDriver(const RunSettings& settings, PcmSource& source, const Diagnostics& diagnostics,
                 const TagSet& tags, const JobContext& job);

// One output of a run: its name and the tags it carries (nullptr: none).
struct TrackOutput {
  std::string path;
  const TagSet* tags = nullptr;
};

// An album: `source` (tracks of a stream that end at `ends`) converted as
// runDriver converts one source (settings.alignOutput set: one aligned
// stream, one gain), cut into `tracks`, one output per track of `ends`,
// each holding exactly its frames x ratio samples. The outputs are
// committed only once every track is complete, all of them or none. On a
// failure of an output `failedOutput` names it (TrackEnds::kNoTrack when
// no output failed; the source names a source that failed).
Status runAlbumDriver(const RunSettings& settings, PcmSource& source, const TrackEnds& ends,
                      const Diagnostics& diagnostics, const std::vector<TrackOutput>& tracks,
                      std::size_t& failedOutput, const JobContext& job);

// The TSSE text of a tagged output at `outputRate` Hz: "Pulsemill 1.5
// DSD<rate> <taps> taps k<alpha as %g> p<pattern> n<offset>", with
// "q<band in Hz>" for the rate shaper in place of "p<pattern>", then
// " g<dB as %g>" when settings.gainDb is not 0 and " auto" when the
// automatic gain chose it, " album" for an album's track, and " a" for an
// aligned output.
std::string encoderSettings(const RunSettings& settings, std::uint32_t outputRate,
                            std::int64_t offset);

}  // namespace pulsemill
