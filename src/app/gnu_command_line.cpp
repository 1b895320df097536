#include "app/gnu_command_line.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <set>

namespace pulsemill {

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool isFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool endsWith(const std::string& text, const std::string& tail) {
  if (text.size() < tail.size()) return false;
  for (std::size_t i = 0; i < tail.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[text.size() - tail.size() + i])) != tail[i])
      return false;
  return true;
}

Status refuse(const std::string& reason) { return Status(StatusCode::BadOption, reason); }

// A whole decimal number, the full text: an optional sign and digits. False
// for anything else and for a number beyond the 64-bit range.
bool readWhole(const std::string& text, std::int64_t& value) {
  const std::size_t digits = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos)
    return false;
  errno = 0;
  value = std::strtoll(text.c_str(), nullptr, 10);
  return errno != ERANGE;
}

// A finite decimal number, the full text ("4.5", "-6", "2e-1"); never "inf",
// "nan" or a hexadecimal form.
bool readFinite(const std::string& text, double& value) {
  if (text.empty() || text.find_first_not_of("+-.0123456789eE") != std::string::npos) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(value);
}

// Sets `value` from `option`'s text when it is one of `values`; nothing
// when the option is not given; else the refusal "--taps: 5000 is not 2048,
// 4096, ... or 65536".
Status readOneOf(const CLI::Option* option, const std::string& text,
                 std::initializer_list<int> values, int& value) {
  if (option->count() == 0) return Status();
  std::int64_t number = 0;
  const bool whole = readWhole(text, number);
  std::string list;
  for (const int v : values) {
    if (whole && number == v) {
      value = v;
      return Status();
    }
    list += (list.empty() ? "" : v == *(values.end() - 1) ? " or " : ", ") + std::to_string(v);
  }
  return refuse(option->get_name() + ": " + text + " is not " + list);
}

}  // namespace

bool isGnuCommandLine(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i)
    if (argv[i][0] == '-' && argv[i][1] != '\0') return true;
  return false;
}

std::string gnuHelpText() {
  return "Usage: pulsemill [OPTIONS] INPUT...\n"
         "Converts PCM files, or every PCM file in folders (recursively), into DSD.\n"
         "  --rate 64|128|256|512    DSD rate, times 44.1 or 48 kHz as the input's family\n"
         "                           (default 256; 512 uses the rate shaper)\n"
         "  --format dsf|dff         output format (default dsf: it carries tags)\n"
         "  -o, --output FILE        the output of a single INPUT (its extension decides the format)\n"
         "  -d, --output-dir DIR     outputs mirror each input's path under DIR\n"
         "                           (default: next to the input)\n"
         "  --taps 2048|4096|8192|16384|32768|65536   filter length\n"
         "  --alpha A                Kaiser window alpha, > 0 (default 10)\n"
         "  --shaper 1|2|3|4|5       noise-shaper zero pattern (default 2)\n"
         "  --shaper-design fixed|rate  the fixed patterns (default) or the noise shaper\n"
         "                           designed for the output rate (--shaper is then ignored)\n"
         "  --align                  output without the filter's delay, flushed at the end\n"
         "  --album                  each folder (or the files given) as one gapless album:\n"
         "                           one stream at one gain, cut into tracks of their own\n"
         "                           lengths (aligned, as --align)\n"
         "  --no-cue                 convert an image that has a CUE sheet as one file\n"
         "                           (default: one output per track, in a folder named\n"
         "                           after the image)\n"
         "  --offset N               interpolation gain offset (ratio + N > 0)\n"
         "  --block 512|1024|2048    frames per block (default 1024)\n"
         "  --retry                  on a clip, retry with the offset lowered by one\n"
         "  --gain auto|DB           level change before interpolation: auto (the default)\n"
         "                           converts at 0 dB, or on an overload again at the least\n"
         "                           cut that converts (0.5 dB steps, down to -12 dB); DB:\n"
         "                           -24 to 0 dB, that gain only\n"
         "  --diagnostics DIR        each file's diagnostic files in DIR/<output stem>/\n"
         "  -j, --jobs N|auto        files at a time (default auto)\n"
         "  -f, --force              replace existing outputs (default: skip them)\n"
         "  -q, --quiet              errors and the summary only\n"
         "  -v, --verbose            each file's full console report\n"
         "  -h, --help               this text;  --version  the version\n"
         "Without any '-' argument the slash grammar converts one file:\n"
         "  " + std::string(slashSynopsis()) + "\n"
         "Both grammars in full: man pulsemill\n";
}

Status parseGnuCommandLine(int argc, const char* const* argv, BatchSettings& settings) {
  settings = BatchSettings();
  RunSettings& run = settings.run;
  CLI::App app("pulsemill");
  app.set_help_flag();  // --help is ours, as the only request
  bool help = false, version = false;
  // Numbers are read here, not by CLI11, so that each refusal names its
  // bounds and no NaN, infinity or out-of-range integer gets through.
  std::string format, jobs, shaperDesign, rateText, tapsText, alphaText, shaperText, offsetText,
      blockText, gainText;
  app.add_flag("-h,--help", help);
  app.add_flag("--version", version);
  app.add_option("INPUT", settings.inputs);
  auto* rateOption = app.add_option("--rate", rateText);
  app.add_option("--format", format)->check(CLI::IsMember({"dsf", "dff"}));
  app.add_option("-o,--output", settings.output);
  app.add_option("-d,--output-dir", settings.outputDir);
  auto* tapsOption = app.add_option("--taps", tapsText);
  auto* alphaOption = app.add_option("--alpha", alphaText);
  auto* shaperOption = app.add_option("--shaper", shaperText);
  app.add_option("--shaper-design", shaperDesign)->check(CLI::IsMember({"fixed", "rate"}));
  app.add_flag("--align", run.alignOutput);
  app.add_flag("--album", run.album);
  app.add_flag("--no-cue", settings.noCue);
  auto* offsetOption = app.add_option("--offset", offsetText);
  auto* blockOption = app.add_option("--block", blockText);
  app.add_flag("--retry", run.retryOnClip);
  auto* gainOption = app.add_option("--gain", gainText);
  app.add_option("--diagnostics", settings.diagnosticsDir);
  app.add_option("-j,--jobs", jobs);
  app.add_flag("-f,--force", settings.force);
  app.add_flag("-q,--quiet", settings.quiet);
  app.add_flag("-v,--verbose", settings.verbose);
  try {
    std::vector<std::string> args;
    for (int i = argc - 1; i >= 1; --i) args.emplace_back(argv[i]);  // CLI11 takes them reversed
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    return refuse(e.what());
  }
  if (help) settings.request = Request::Help;
  if (version) settings.request = Request::Version;
  if (settings.request != Request::Convert) return Status();

  int shaper = 0;
  for (const Status& status :
       {readOneOf(rateOption, rateText, {64, 128, 256, 512}, run.dsdRate),
        readOneOf(tapsOption, tapsText, {2048, 4096, 8192, 16384, 32768, 65536}, run.tapCount),
        readOneOf(shaperOption, shaperText, {1, 2, 3, 4, 5}, shaper),
        readOneOf(blockOption, blockText, {512, 1024, 2048}, run.blockFrames)})
    if (!status.ok()) return status;
  if (alphaOption->count() > 0 && !(readFinite(alphaText, run.kaiserAlpha) && run.kaiserAlpha > 0.0))
    return refuse("--alpha: " + alphaText + " is not a finite number above 0");
  double gain = 0.0;
  const bool autoGain = gainOption->count() == 0 || gainText == "auto";
  if (!autoGain && !(readFinite(gainText, gain) && gain >= -24.0 && gain <= 0.0))
    return refuse("--gain: " + gainText + " is not auto or a number from -24 to 0");
  // The int32 range of "/n:": ratio + offset, and a retry's offset - 1, stay
  // far inside 64 bits.
  const std::int64_t offsetLow = std::numeric_limits<std::int32_t>::min();
  const std::int64_t offsetHigh = std::numeric_limits<std::int32_t>::max();
  std::int64_t offset = 0;
  if (offsetOption->count() > 0 &&
      !(readWhole(offsetText, offset) && offset >= offsetLow && offset <= offsetHigh))
    return refuse("--offset: " + offsetText + " is not a whole number from " +
                  std::to_string(offsetLow) + " to " + std::to_string(offsetHigh));

  if (settings.inputs.empty()) return refuse("no INPUT given (see pulsemill --help)");
  for (const std::string& input : settings.inputs)
    if (isOptionShaped(input) && !exists(input))
      return refuse("'" + input + "' is neither a file nor a folder (slash options are not read "
                    "with GNU-style options)");
  if (shaper != 0) run.shaperPreset = shaper;
  run.rateShaper = shaperDesign == "rate";
  if (shaperDesign == "fixed" && run.dsdRate == 512)
    run.warnings.push_back("pulsemill: --shaper-design fixed is ignored: DSD512 uses the rate shaper\n");
  if (shaper != 0 && usesRateShaper(run))
    run.warnings.push_back("pulsemill: --shaper " + std::to_string(shaper) +
                           " is ignored: the rate shaper has no patterns\n");
  if (offsetOption->count() > 0) run.normalizeOffset = offset;
  // An album's tracks are cut at their first frames: its stream is aligned.
  if (run.album) run.alignOutput = true;
  run.positiveGainOnly = true;  // checked per file, once its ratio is known
  run.familyRate = true;
  run.dsdiffTags = true;
  // The gain: as given, or chosen per file (0 dB first, lower on an
  // overload) unless --retry steps the offset instead.
  run.autoGain = autoGain && !run.retryOnClip;
  setGain(run, autoGain ? 0.0 : gain);
  if (!format.empty()) settings.dsf = format == "dsf";
  if (!settings.output.empty()) {
    if (settings.inputs.size() != 1 || isFolder(settings.inputs[0]))
      return refuse("-o/--output names the output of exactly one input file");
    const bool dsf = endsWith(settings.output, ".dsf");
    if (!format.empty() && dsf != settings.dsf)
      return refuse("--format " + format + " conflicts with the output name " + settings.output);
    settings.dsf = dsf;
  }
  if (!jobs.empty() && jobs != "auto") {
    std::int64_t n = 0;
    if (!readWhole(jobs, n) || n < 1 || n > 1024)
      return refuse("--jobs: " + jobs + " is not a number of files from 1 to 1024, or auto");
    settings.jobs = static_cast<int>(n);
  }
  return Status();
}

}  // namespace pulsemill
