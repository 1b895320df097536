// Run driver: designs the filter and the shaper once, converts, retries a
// clipped conversion with a lower gain, and decides the exit status.
#pragma once

#include <cstdio>

#include "app/command_line.h"
#include "wave/wave_reader.h"

namespace pulsemill {

// Takes over the open input (at the first sample byte) and closes it.
// Returns the exit status: 0 done, 1 failure, 2 clip not (or no longer)
// retried. Never leaves a failed output behind when it is a regular file.
int runDriver(RunSettings& settings, std::FILE* input, const WaveInfo& info);

}  // namespace pulsemill
