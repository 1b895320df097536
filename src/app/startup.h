// Start-up: the entry point's sequence and the rate-dependent parameters.
#pragma once

#include <cstdint>
#include <string>

#include "app/command_line.h"
#include "app/run_driver.h"
#include "base/status.h"

namespace pulsemill {

struct RateChoice {
  int dsdRate;          // effective DSD multiple: 64, 128, 256 or 512
  int oversampleRatio;  // output rate / input rate: 64, 128, 256 or 512
  int tapCount;         // effective filter length, a multiple of the ratio
};

// Effective DSD rate, ratio and tap count for an input rate (Hz), the
// requested DSD multiple and the requested tap count (0 = not given).
// DSD512 keeps the filter of the DSD256 row of the same input rate per
// phase: twice its default taps, and a floor of 32 taps per phase.
RateChoice resolveRateAndTaps(std::uint32_t sampleRate, int requestedDsdRate,
                              int requestedTapCount);

// "C:\TEMP\DSD%d_T%d_" with the effective DSD multiple and tap count.
std::string formatDebugPrefix(int dsdRate, int tapCount);

// One file's conversion with its console report on job.report: opens and
// validates the input, resolves the parameters, prints the parameter line,
// reads the tags and runs the driver. The failure is returned unreported.
Status convertFile(RunSettings settings, const JobContext& job);

// The whole program: parses, chooses the kernel variant (PULSEMILL_ISA),
// opens and validates the input, resolves the parameters, prints the
// parameter line and runs the conversion; reports the failure that ends the
// run, if any. Returns the process exit status (0 done, 1 usage, variant,
// open, header, read or write failure, 2 clip).
int runPulsemill(int argc, const char* const* argv);

}  // namespace pulsemill
