// Command line and run settings.
//
// Conventions: the command line is the only source of settings. Options are
// slash options ("/t:32768"); a value that is not a number reads as 0 and is
// mapped like any other value, with a warning. An argument shaped like an
// option that is none is refused where it would name a file (positions 1
// and 2) and ignored, with a warning, later; so is, as the output name, a
// name directly in the root folder without a DSD extension. Nothing here
// prints: the caller reports the status and prints the warnings, whose
// arguments are shown by printableName.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"

namespace pulsemill {

constexpr const char* kPulsemillVersion = "1.5";

// What the command line asks for.
enum class Request {
  Convert,  // a conversion
  Help,     // "--help" or "-h" alone: helpText()
  Version,  // "--version" alone: the version and the kernel variants
};

struct RunSettings {
  Request request = Request::Convert;
  std::string inputPath;        // input WAVE file; empty when none was given
  std::string outputPath;       // output file (derived "<stem>.dff", with "/dsf" "<stem>.dsf")
  bool dsfOutput = false;       // DSF when outputPath ends in ".dsf" (any case), else DSDIFF
  bool dsdiffTags = false;      // a DSDIFF output carries the tags too (GNU-style runs)
  int dsdRate = 256;            // 64, 128, 256 or 512; changed by the rate choice (resolveRunRate)
  int tapCount = 0;             // 0 = not given, else 2048 .. 65536 (powers of two)
  double kaiserAlpha = 10.0;    // window shape; never 0 (0 and text read as 8.0)
  int blockFrames = 1024;       // stereo frames per block: 512, 1024 or 2048
  int shaperPreset = 0;         // "/p:" value as given; see selectShaperPattern
  std::int64_t normalizeOffset = 0;  // gain offset, int32 range as parsed; lowered per retry
  bool retryOnClip = false;     // "/r": retry a clipped conversion with a lower gain
  bool debugDumps = false;      // "/d": diagnostic files and console lines
  bool rateShaper = false;      // "/q": the noise shaper designed for the output rate
  bool alignOutput = false;     // "/a": output without the filter's delay (flushed at the end)
  bool album = false;           // GNU-style --album: one track of a continuous stream (aligned)
  int oversampleRatio = 0;      // output rate / input rate; set by resolveRateAndTaps
  std::string diagnosticsFolder;  // "/d" files go here when set (batch runs), else the prefix
  double gainFactor = 1.0;        // samples times this before interpolation: 10^(gainDb / 20)
  double gainDb = 0.0;            // the level change in dB (GNU-style --gain), <= 0; set by setGain
  bool autoGain = false;          // GNU-style --gain auto: lower the gain on an overload
  bool positiveGainOnly = false;  // refuse ratio + offset <= 0 (batch --offset)
  bool familyRate = false;        // dsdRate counts in the input's rate family (GNU-style
                                  // runs; see resolveFamilyRate)
  std::vector<std::string> warnings;  // lines for standard error, "pulsemill: ...\n"
};

// Parses argv[1 .. argc-1]. Ok with `settings` filled; Usage (detail: the
// usage text) when the argument count is not 1 .. 9 or no input name was
// given; UnknownOption (detail: the argument) when argument 1 or 2 is shaped
// like an option but is none, or argument 2 is no option and names a file
// directly in the root folder ("/t=2048", "/DSD 64": one leading "/", no
// other) without a ".dff" or ".dsf" extension (any case); "//NAME" names
// such a file. Both are checked right after the count. The switch "/dsf"
// (or "/DSF") makes the derived output name end in ".dsf"; the format
// follows the final output name's extension. A lone "--help", "-h" or
// "--version" is a request of its own.
Status parseCommandLine(int argc, const char* const* argv, RunSettings& settings);

// Sets settings.gainDb and its factor (exactly 1.0 at 0 dB: the samples untouched).
void setGain(RunSettings& settings, double gainDb);

// True when the run uses the rate shaper: "/q", and every DSD512 run. The
// "/p:" pattern is then ignored (with a warning).
bool usesRateShaper(const RunSettings& settings);

// Shaped like an option: "/" and letters or digits, alone or followed by
// ":" and any value ("/DSD65", "/x", "/q:1.5"), or any argument beginning
// with "-" but a lone "-". Paths such as "/tmp/a.dff", "/a.dff", "//out" or
// "./-o" are not.
bool isOptionShaped(const std::string& arg);

// The fifteen lines of the usage text.
const char* usageText();

// The slash grammar in one line (no newline), for the help text.
const char* slashSynopsis();

// The text of a lone --help or -h: gnuHelpText(), which ends with the slash
// grammar's synopsis and the manual's name.
std::string helpText();

// The part of `source` before its extension: the last full stop after the
// last separator ('\\', ':' or '/'); a full stop at index 0 is no extension.
// Empty when nothing precedes the cut point. The derived output name is
// stem + ".dff" (or ".dsf").
std::string deriveOutputStem(const std::string& source);

// Value readers of the options. parseIntValue: optional white space, sign,
// decimal digits, stops at the first other character, 0 without digits,
// clamped to the int32 range. parseDecimalValue: the same with an optional
// decimal point and exponent; anything that is not a decimal number
// ("inf", "nan", hex) is 0.0, and a decimal beyond the double range is +-inf.
std::int32_t parseIntValue(const char* text);
double parseDecimalValue(const char* text);

// Table mappings of the "/t:" and "/s:" values.
int mapTapCount(std::int32_t value);
int mapBlockFrames(std::int32_t value);

}  // namespace pulsemill
