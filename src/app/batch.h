// The batch driver: many files of one GNU-style command line converted at
// once, each a run with its own report, thread budget and output.
//
// Conventions: inputs are files, or folders walked recursively for the
// input formats (other files skipped, listed with --verbose). Outputs are
// named before anything is written; two inputs that would share an output
// refuse the whole batch. An existing output is skipped unless --force. One
// bad file never stops the others. Lines: one per finished file (a file's
// whole console report with --verbose, else its warnings before it), then a
// summary, on standard error.
#pragma once

#include "app/gnu_command_line.h"
#include "base/kernel_isa.h"
#include "base/report.h"

namespace pulsemill {

// Converts every file of `settings` and prints the summary on `console`.
// The process's exit status: 0 when every file converted or was skipped, 2
// when the worst was a clip, 1 when any file failed (or the batch was
// refused).
int runBatch(const BatchSettings& settings, KernelIsa isa, bool isaForced, Report& console);

}  // namespace pulsemill
