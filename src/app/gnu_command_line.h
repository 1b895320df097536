// The GNU-style command line: pulsemill [OPTIONS] INPUT..., beside the
// slash grammar, which a line without any "-" argument keeps.
//
// Conventions: parsed with CLI11; every value is checked here, and the
// first one that is not accepted refuses the whole line with one message
// (no file is touched). Numbers are decimal, finite and within the listed
// values or bounds, which the refusal names. Each value means what it
// means in the slash grammar, so one file with the same settings gives the
// same bytes.
#pragma once

#include <string>
#include <vector>

#include "app/command_line.h"
#include "base/status.h"

namespace pulsemill {

struct BatchSettings {
  Request request = Request::Convert;
  std::vector<std::string> inputs;  // files or folders, as given
  RunSettings run;                  // the per-file settings (paths set per file)
  bool dsf = true;                  // --format dsf (default) or dff
  std::string output;               // -o: the one input's output name
  std::string outputDir;            // -d: outputs mirror the inputs' paths here
  std::string diagnosticsDir;       // --diagnostics: each file's dumps in DIR/<stem>/
  int jobs = 0;                     // files at a time; 0: auto
  bool force = false;               // replace existing outputs
  bool quiet = false;               // errors and the summary only
  bool verbose = false;             // each file's full console report
  bool noCue = false;               // --no-cue: an image with a CUE sheet converts as one file
};

// True when an argument begins with "-" (but a lone "-"): the line is then
// read with this grammar.
bool isGnuCommandLine(int argc, const char* const* argv);

// Parses argv[1 ..]. Ok with `settings` filled; BadOption (detail: the
// reason) otherwise.
Status parseGnuCommandLine(int argc, const char* const* argv, BatchSettings& settings);

// The --help text: this grammar's options, then the slash grammar's
// synopsis (slashSynopsis) and the manual's name.
std::string gnuHelpText();

}  // namespace pulsemill
