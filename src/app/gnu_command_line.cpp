#include "app/gnu_command_line.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include <cmath>
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
         "  --shaper-design spec|rate  the fixed patterns (default) or the noise shaper\n"
         "                           designed for the output rate (--shaper is then ignored)\n"
         "  --align                  output without the filter's delay, flushed at the end\n"
         "  --offset N               interpolation gain offset (ratio + N > 0)\n"
         "  --block 512|1024|2048    frames per block (default 1024)\n"
         "  --retry                  on a clip, retry with the offset lowered by one\n"
         "  --gain DB                level change, -24 to 0 dB, before interpolation\n"
         "  --diagnostics DIR        each file's diagnostic files in DIR/<output stem>/\n"
         "  -j, --jobs N|auto        files at a time (default auto)\n"
         "  -f, --force              replace existing outputs (default: skip them)\n"
         "  -q, --quiet              errors and the summary only\n"
         "  -v, --verbose            each file's full console report\n"
         "  -h, --help               this text;  --version  the version\n"
         "Without any '-' option the slash grammar applies: see pulsemill(1).\n";
}

Status parseGnuCommandLine(int argc, const char* const* argv, BatchSettings& settings) {
  settings = BatchSettings();
  RunSettings& run = settings.run;
  CLI::App app("pulsemill");
  app.set_help_flag();  // --help is ours, as the only request
  bool help = false, version = false;
  std::string format, jobs, shaperDesign;
  int rate = 0, taps = 0, shaper = 0, block = 0;
  double alpha = 0.0, gain = 0.0;
  std::int64_t offset = 0;
  app.add_flag("-h,--help", help);
  app.add_flag("--version", version);
  app.add_option("INPUT", settings.inputs);
  app.add_option("--rate", rate)->check(CLI::IsMember({64, 128, 256, 512}));
  app.add_option("--format", format)->check(CLI::IsMember({"dsf", "dff"}));
  app.add_option("-o,--output", settings.output);
  app.add_option("-d,--output-dir", settings.outputDir);
  app.add_option("--taps", taps)->check(CLI::IsMember({2048, 4096, 8192, 16384, 32768, 65536}));
  auto* alphaOption = app.add_option("--alpha", alpha)->check(CLI::PositiveNumber);
  app.add_option("--shaper", shaper)->check(CLI::Range(1, 5));
  app.add_option("--shaper-design", shaperDesign)->check(CLI::IsMember({"spec", "rate"}));
  app.add_flag("--align", run.alignOutput);
  auto* offsetOption = app.add_option("--offset", offset);
  app.add_option("--block", block)->check(CLI::IsMember({512, 1024, 2048}));
  app.add_flag("--retry", run.retryOnClip);
  auto* gainOption = app.add_option("--gain", gain)->check(CLI::Range(-24.0, 0.0));
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

  if (settings.inputs.empty()) return refuse("no INPUT given (see pulsemill --help)");
  for (const std::string& input : settings.inputs)
    if (isOptionShaped(input) && !exists(input))
      return refuse("'" + input + "' is neither a file nor a folder (slash options are not read "
                    "with GNU-style options)");
  if (rate != 0) run.dsdRate = rate;
  if (taps != 0) run.tapCount = taps;
  if (alphaOption->count() > 0) run.kaiserAlpha = alpha;
  if (shaper != 0) run.shaperPreset = shaper;
  run.rateShaper = shaperDesign == "rate";
  if (shaperDesign == "spec" && run.dsdRate == 512)
    run.warnings.push_back("pulsemill: --shaper-design spec is ignored: DSD512 uses the rate shaper\n");
  if (shaper != 0 && usesRateShaper(run))
    run.warnings.push_back("pulsemill: --shaper " + std::to_string(shaper) +
                           " is ignored: the rate shaper has no patterns\n");
  if (offsetOption->count() > 0) run.normalizeOffset = offset;
  run.positiveGainOnly = true;  // checked per file, once its ratio is known
  run.familyRate = true;
  if (block != 0) run.blockFrames = block;
  if (gainOption->count() > 0) run.gainFactor = std::pow(10.0, gain / 20.0);
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
    char* end = nullptr;
    const long n = std::strtol(jobs.c_str(), &end, 10);
    if (end == jobs.c_str() || *end != '\0' || n < 1 || n > 1024)
      return refuse("--jobs: " + jobs + " is not a number of files from 1 or auto");
    settings.jobs = static_cast<int>(n);
  }
  return Status();
}

}  // namespace pulsemill
