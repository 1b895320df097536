// Run driver: designs the filter and the shaper once, wires the source and
// a DSD sink to the conversion core, retries a clipped conversion with a
// lower gain, and leaves a complete output or none.
#pragma once

#include "app/command_line.h"
#include "base/diagnostics.h"
#include "base/kernel_isa.h"
#include "base/status.h"
#include "convert/pcm_source.h"
#include "tags/tags.h"

namespace pulsemill {

// Converts `source` (at its first frame) into settings.outputPath, DSDIFF or
// DSF (settings.dsfOutput; a DSF file carries `tags` and the settings of the
// attempt that made it), with the settled settings (rate, ratio and taps
// resolved). The filter design runs with the variant `isa`; so does the
// interpolator when `isaForced`, which otherwise runs the variant that
// measures fastest on the run's filter. Ok when the output is complete
// and committed; otherwise the failure of the last attempt, not yet reported
// (earlier clipped attempts are reported as they end), with no regular
// output file left behind.
Status runDriver(const RunSettings& settings, PcmSource& source, KernelIsa isa,
                 bool isaForced, const Diagnostics& diagnostics, const TagSet& tags);

// The TSSE text of a DSF output: "Pulsemill 1.5 DSD<rate> <taps> taps
// k<alpha as %g> p<pattern> n<offset>".
std::string encoderSettings(const RunSettings& settings, int pattern, std::int64_t offset);

}  // namespace pulsemill
