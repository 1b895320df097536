// Diagnostic text files of the filter and shaper design.
//
// Every diagnostic file name is a name format with one "%s", filled with
// DebugPrefix. Files are written only with the debug switch; a file that
// cannot be opened is skipped silently.
#pragma once

#include <string>

namespace pulsemill {

// Process-wide name prefix of the diagnostic files, "C:\TEMP\DSD%d_T%d_",
// set once at start-up (formatDebugPrefix). On this platform the backslashes
// are ordinary characters, so the files land in the current directory.
extern std::string DebugPrefix;

// DebugPrefix substituted into `nameFormat` (which holds exactly one "%s").
std::string diagnosticFileName(const char* nameFormat);

// Writes `count` values, one "%3.12lf\n" line each, to the file named by
// `nameFormat` and DebugPrefix, replacing it. Open and write errors are
// ignored.
void dumpValues(const char* nameFormat, const double* values, int count);

}  // namespace pulsemill
