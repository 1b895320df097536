#include "app/command_line.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "app/gnu_command_line.h"
#include "base/report.h"

namespace pulsemill {

namespace {

constexpr int kMaxUserArguments = 9;

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool equalsEither(const char* arg, const char* upper, const char* lower) {
  return std::strcmp(arg, upper) == 0 || std::strcmp(arg, lower) == 0;
}

// True when `path` ends in the extension `lower` (".dsf"), in any case.
bool endsWithExtension(const std::string& path, const char* lower) {
  const std::size_t length = std::strlen(lower);
  if (path.size() < length) return false;
  for (std::size_t i = 0; i < length; ++i)
    if (std::tolower(static_cast<unsigned char>(path[path.size() - length + i])) != lower[i])
      return false;
  return true;
}

bool endsWithDsf(const std::string& path) { return endsWithExtension(path, ".dsf"); }

// A name directly in the root folder ("/t=2048", "/DSD 64", "/a.dff"): one
// leading slash and no other. As an output name it is far more often a
// mistyped option than a file wanted in "/".
bool namesRootEntry(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '/' && arg.find('/', 1) == std::string::npos;
}

// "/x:" prefix in either case; the value is the text after the colon.
bool beginsWithOption(const char* arg, char lowerLetter) {
  return arg[0] == '/' &&
         (arg[1] == lowerLetter || arg[1] == std::toupper(static_cast<unsigned char>(lowerLetter))) &&
         arg[2] == ':';
}

}  // namespace

std::int32_t parseIntValue(const char* text) {
  const char* p = text;
  while (isBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  // Saturates at the limit of the sign read (INT32_MIN is reachable).
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                                      : std::numeric_limits<std::int32_t>::max();
  std::int64_t value = 0;
  for (; isDigit(*p); ++p) {
    value = value * 10 + (*p - '0');
    if (value > limit) value = limit;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

double parseDecimalValue(const char* text) {
  // Only the decimal grammar is accepted: the longest prefix of the form
  // [blanks][sign]digits[.digits][(e|E)[sign]digits] with at least one digit
  // in the mantissa. That prefix alone goes to strtod, which would otherwise
  // also take "inf", "nan" and hexadecimal forms.
  const char* p = text;
  while (isBlank(*p)) ++p;
  const char* start = p;
  if (*p == '+' || *p == '-') ++p;
  int mantissaDigits = 0;
  while (isDigit(*p)) ++p, ++mantissaDigits;
  if (*p == '.') {
    ++p;
    while (isDigit(*p)) ++p, ++mantissaDigits;
  }
  if (mantissaDigits == 0) return 0.0;
  if (*p == 'e' || *p == 'E') {
    const char* q = p + 1;
    if (*q == '+' || *q == '-') ++q;
    if (isDigit(*q)) {
      while (isDigit(*q)) ++q;
      p = q;
    }
  }
  std::string number(start, p);
  return std::strtod(number.c_str(), nullptr);
}

int mapTapCount(std::int32_t value) {
  for (int taps = 65536; taps > 2048; taps /= 2) {
    if (value >= taps) return taps;
  }
  return 2048;
}

int mapBlockFrames(std::int32_t value) {
  if (value >= 2048) return 2048;
  if (value >= 513) return 1024;
  return 512;
}

std::string deriveOutputStem(const std::string& source) {
  std::size_t nameStart = 0;
  std::size_t dotPos = 0;
  for (std::size_t i = 0; i < source.size(); ++i) {
    char c = source[i];
    if (c == '\\' || c == ':' || c == '/') {
      nameStart = i + 1;
      dotPos = 0;
    } else if (c == '.') {
      dotPos = i;
    }
  }
  std::size_t cut = dotPos != 0 ? dotPos : source.size();
  if (nameStart >= cut) return std::string();
  return source.substr(0, cut);
}

// The usage text as the system has always printed it, its misspellings
// ("paramater", "degfault") kept on purpose: scripts and users match it.
const char* usageText() {
  return "Pulsemill  - Version1.5 - \n"
         "pulsemill.exe infile <outfile> </DSD256> </r> </t:32768> </k:10> </p:5>\n"
         " <..> option paramater is follow.\n"
         " </DSD oversample> /DSD64 or /DSD128 or /DSD256(default)\n"
         " </r: Retry again to set normalize offset -1 position until 10 times>\n"
         " </n: normalize offset> -1...-N or 1...N number\n"
         " </k: Kaiser Window Alpha Value> ex /k:4../k:16 /k:10(default)\n"
         " </t: tap count> /t:2048 or /t:4096 or /t:8192 or /t:16384 or /t:32768(default) /t:65536\n"
         " </p: 7Th Noise Shaper pattern number> 1...5 number\n"
         "   1 = NoiseShaper param Zero1=0.94, Zero2=0.73, Zero3=0.41\n"
         "   2 = NoiseShaper param Zero1=0.95, Zero2=0.74, Zero3=0.42(degfault)\n"
         "   3 = NoiseShaper param Zero1=0.96, Zero2=0.76, Zero3=0.43\n"
         "   4 = NoiseShaper param Zero1=0.97, Zero2=0.77, Zero3=0.43\n"
         "   5 = NoiseShaper param Zero1=0.98, Zero2=0.78, Zero3=0.44\n"
         "ex. pulsemill.exe \"c:\\data\\aaa.wav\" /p:5\n";
}

const char* slashSynopsis() {
  return "pulsemill infile [outfile] [/DSD64|/DSD128|/DSD256|/DSD512] [/t:N] [/k:A] [/p:N] "
         "[/n:N] [/s:N] [/r] [/d] [/dsf] [/q] [/a]";
}

std::string helpText() { return gnuHelpText(); }

namespace {

enum class Option {
  None, Dsd512, Dsd256, Dsd128, Dsd64, Block, Taps, Alpha, Pattern, Debug, Offset, Retry, Dsf,
  RateShaper, Align
};

// The option an argument is, by the first matching rule.
Option classify(const char* arg) {
  if (equalsEither(arg, "/DSD512", "/dsd512")) return Option::Dsd512;
  if (equalsEither(arg, "/DSD256", "/dsd256")) return Option::Dsd256;
  if (equalsEither(arg, "/DSD128", "/dsd128")) return Option::Dsd128;
  if (equalsEither(arg, "/DSD64", "/dsd64")) return Option::Dsd64;
  if (beginsWithOption(arg, 's')) return Option::Block;
  if (beginsWithOption(arg, 't')) return Option::Taps;
  if (beginsWithOption(arg, 'k')) return Option::Alpha;
  if (beginsWithOption(arg, 'p')) return Option::Pattern;
  if (equalsEither(arg, "/d", "/D")) return Option::Debug;
  if (beginsWithOption(arg, 'n')) return Option::Offset;
  if (equalsEither(arg, "/r", "/R")) return Option::Retry;
  if (equalsEither(arg, "/dsf", "/DSF")) return Option::Dsf;
  if (equalsEither(arg, "/q", "/Q")) return Option::RateShaper;
  if (equalsEither(arg, "/a", "/A")) return Option::Align;
  return Option::None;
}

// True when the value text holds a number: after blanks and a sign, a digit
// (or, for a decimal, a full stop and a digit).
bool startsWithNumber(const char* text, bool decimal) {
  while (isBlank(*text)) ++text;
  if (*text == '+' || *text == '-') ++text;
  if (decimal && *text == '.') ++text;
  return isDigit(*text);
}

// The warning for a value without a number, read as `readAs`.
std::string noNumberWarning(const char* arg, const std::string& readAs) {
  return "pulsemill: '" + printableName(arg) + "' has no number; read as " + readAs + "\n";
}

}  // namespace

void setGain(RunSettings& settings, double gainDb) {
  settings.gainDb = gainDb;
  settings.gainFactor = gainDb == 0.0 ? 1.0 : std::pow(10.0, gainDb / 20.0);
}

bool usesRateShaper(const RunSettings& settings) {
  return settings.rateShaper || settings.dsdRate == 512;
}

bool isOptionShaped(const std::string& arg) {
  if (arg.size() > 1 && arg[0] == '-') return true;
  if (arg.size() < 2 || arg[0] != '/') return false;
  std::size_t end = 1;
  while (end < arg.size() && std::isalnum(static_cast<unsigned char>(arg[end])) != 0) ++end;
  return end > 1 && (end == arg.size() || arg[end] == ':');
}

Status parseCommandLine(int argc, const char* const* argv, RunSettings& settings) {
  settings = RunSettings();
  const int userArguments = argc - 1;
  if (userArguments < 1 || userArguments > kMaxUserArguments)
    return Status(StatusCode::Usage, usageText());
  if (userArguments == 1) {
    const std::string only = argv[1];
    if (only == "--help" || only == "-h") settings.request = Request::Help;
    if (only == "--version") settings.request = Request::Version;
    if (settings.request != Request::Convert) return Status();
  }
  // A mistyped option where a file name may stand would become a file;
  // as the output, a name in the root folder without a DSD extension is
  // one too ("/t=2048"): such a file is named "//NAME".
  for (int position = 1; position <= userArguments && position <= 2; ++position) {
    const char* arg = argv[position];
    if (classify(arg) != Option::None) continue;
    if (isOptionShaped(arg) ||
        (position == 2 && namesRootEntry(arg) && !endsWithExtension(arg, ".dff") &&
         !endsWithExtension(arg, ".dsf")))
      return Status(StatusCode::UnknownOption, arg);
  }
  bool haveInput = false;
  bool haveOutput = false;
  bool dsfSwitch = false;
  const char* patternArg = nullptr;
  for (int position = 1; position <= userArguments; ++position) {
    const char* arg = argv[position];
    const Option option = classify(arg);
    const bool valued = option == Option::Block || option == Option::Taps ||
                        option == Option::Alpha || option == Option::Pattern ||
                        option == Option::Offset;
    const char* value = valued ? arg + 3 : "";  // after "/x:"
    switch (option) {
      case Option::Dsd512: settings.dsdRate = 512; break;
      case Option::Dsd256: settings.dsdRate = 256; break;
      case Option::Dsd128: settings.dsdRate = 128; break;
      case Option::Dsd64: settings.dsdRate = 64; break;
      case Option::Block:
        settings.blockFrames = mapBlockFrames(parseIntValue(value));
        if (!startsWithNumber(value, false))
          settings.warnings.push_back(noNumberWarning(arg, std::to_string(settings.blockFrames)));
        break;
      case Option::Taps:
        settings.tapCount = mapTapCount(parseIntValue(value));
        if (!startsWithNumber(value, false))
          settings.warnings.push_back(noNumberWarning(arg, std::to_string(settings.tapCount)));
        break;
      case Option::Alpha: {
        const double alpha = parseDecimalValue(value);
        settings.kaiserAlpha = alpha == 0.0 ? 8.0 : alpha;
        if (!startsWithNumber(value, true)) settings.warnings.push_back(noNumberWarning(arg, "8"));
        break;
      }
      case Option::Pattern:
        patternArg = arg;
        settings.shaperPreset = parseIntValue(value);
        if (!startsWithNumber(value, false))
          settings.warnings.push_back(noNumberWarning(arg, "0 (pattern 2)"));
        break;
      case Option::Debug: settings.debugDumps = true; break;
      case Option::Offset:
        settings.normalizeOffset = parseIntValue(value);
        if (!startsWithNumber(value, false)) settings.warnings.push_back(noNumberWarning(arg, "0"));
        break;
      case Option::Retry: settings.retryOnClip = true; break;
      case Option::Dsf: dsfSwitch = true; break;
      case Option::RateShaper: settings.rateShaper = true; break;
      case Option::Align: settings.alignOutput = true; break;
      case Option::None:
        if (position == 1) {
          settings.inputPath = arg;
          haveInput = true;
        } else if (position == 2) {
          settings.outputPath = arg;
          haveOutput = true;
        } else {
          settings.warnings.push_back("pulsemill: ignored argument '" + printableName(arg) + "'\n");
        }
        break;
    }
  }
  if (!haveInput) return Status(StatusCode::Usage, usageText());
  if (patternArg != nullptr && usesRateShaper(settings))
    settings.warnings.push_back("pulsemill: '" + printableName(patternArg) +
                                "' is ignored: the rate shaper has no patterns\n");
  if (!haveOutput)
    settings.outputPath = deriveOutputStem(settings.inputPath) + (dsfSwitch ? ".dsf" : ".dff");
  settings.dsfOutput = endsWithDsf(settings.outputPath);
  return Status();
}

}  // namespace pulsemill
