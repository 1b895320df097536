// wavegen: writes stereo PCM test signals as RIFF/WAVE files in the form the
// converter reads (plain 16-byte format chunk, then the "data" chunk).
//
//   wavegen OUTPUT --rate HZ (--bits 16|24 | --float) (--seconds S | --frames N)
//           (--left SIGNAL --right SIGNAL | --both SIGNAL) [--seed N]
//
// SIGNAL is one or more components joined by '+', summed:
//   sine:FREQ_HZ:LEVEL_DBFS[:PHASE_DEG]  peak level relative to integer full scale
//   noise:LEVEL_DBFS                     uniform white noise, peak at that level
//   silence
//   const:INTEGER                        a raw integer sample value
// Samples are rounded to nearest and clamped to the integer range. --float
// writes 32-bit IEEE float samples (format tag 3), full scale 1.0, neither
// rounded to an integer nor clamped: levels above 0 dBFS stay as they are.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

// Failure that is not the user's wording of the command line: no usage text.
struct WriteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const double kPi = 3.14159265358979323846;

struct Component {
  enum Kind { Sine, Noise, Const } kind = Const;
  double freq = 0.0;
  double amplitude = 0.0;  // peak, in integer units
  double phase = 0.0;      // radians
  double value = 0.0;
};

double parseNumber(const std::string& text, const std::string& what) {
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
    throw std::runtime_error("bad " + what + ": '" + text + "'");
  return v;
}

long long parseInteger(const std::string& text, const std::string& what) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE)
    throw std::runtime_error("bad " + what + ": '" + text + "'");
  return v;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t pos = text.find(sep, start);
    parts.push_back(text.substr(start, pos - start));
    if (pos == std::string::npos) return parts;
    start = pos + 1;
  }
}

std::vector<Component> parseSignal(const std::string& text, double fullScale) {
  std::vector<Component> signal;
  for (const std::string& part : split(text, '+')) {
    std::vector<std::string> f = split(part, ':');
    Component c;
    if (f[0] == "sine" && (f.size() == 3 || f.size() == 4)) {
      c.kind = Component::Sine;
      c.freq = parseNumber(f[1], "sine frequency");
      c.amplitude = fullScale * std::pow(10.0, parseNumber(f[2], "sine level") / 20.0);
      if (f.size() == 4) c.phase = parseNumber(f[3], "sine phase") * kPi / 180.0;
    } else if (f[0] == "noise" && f.size() == 2) {
      c.kind = Component::Noise;
      c.amplitude = fullScale * std::pow(10.0, parseNumber(f[1], "noise level") / 20.0);
    } else if (f[0] == "silence" && f.size() == 1) {
      c.kind = Component::Const;
    } else if (f[0] == "const" && f.size() == 2) {
      c.kind = Component::Const;
      c.value = static_cast<double>(parseInteger(f[1], "constant"));
    } else {
      throw std::runtime_error("bad signal component: '" + part + "'");
    }
    signal.push_back(c);
  }
  return signal;
}

double sampleAt(const std::vector<Component>& signal, std::uint64_t n, double rate,
                std::mt19937_64& noise) {
  double sum = 0.0;
  for (const Component& c : signal) {
    switch (c.kind) {
      case Component::Sine: {
        // Reduce the phase in cycles first so long files keep their precision.
        double cycles = std::fmod(c.freq * static_cast<double>(n) / rate, 1.0);
        sum += c.amplitude * std::sin(2.0 * kPi * cycles + c.phase);
        break;
      }
      case Component::Noise: {
        double u = std::uniform_real_distribution<double>(-1.0, 1.0)(noise);
        sum += c.amplitude * u;
        break;
      }
      case Component::Const:
        sum += c.value;
        break;
    }
  }
  return sum;
}

void putLE(std::vector<unsigned char>& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void usage() {
  std::fprintf(stderr,
               "usage: wavegen OUTPUT --rate HZ (--bits 16|24 | --float) (--seconds S | --frames N)\n"
               "               (--left SIGNAL --right SIGNAL | --both SIGNAL) [--seed N]\n"
               "SIGNAL: components joined by '+': sine:FREQ:DBFS[:PHASE_DEG],\n"
               "        noise:DBFS, silence, const:INTEGER\n");
}

int run(int argc, char** argv) {
  std::string output, left, right, seconds, frames;
  long long rate = 0, bits = 0, seed = 1;
  bool isFloat = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--float") {
      isFloat = true;
    } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      if (i + 1 >= argc) throw std::runtime_error("missing value for " + arg);
      std::string value = argv[++i];
      if (arg == "--rate") rate = parseInteger(value, "rate");
      else if (arg == "--bits") bits = parseInteger(value, "bits");
      else if (arg == "--seconds") seconds = value;
      else if (arg == "--frames") frames = value;
      else if (arg == "--left") left = value;
      else if (arg == "--right") right = value;
      else if (arg == "--both") left = right = value;
      else if (arg == "--seed") seed = parseInteger(value, "seed");
      else throw std::runtime_error("unknown option " + arg);
    } else if (output.empty()) {
      output = arg;
    } else {
      throw std::runtime_error("unexpected argument '" + arg + "'");
    }
  }
  if (output.empty()) throw std::runtime_error("no output file given");
  if (rate < 1 || rate > 0xFFFFFFFFLL) throw std::runtime_error("--rate must be a positive integer");
  if (isFloat) {
    if (bits != 0) throw std::runtime_error("give --bits or --float, not both");
    bits = 32;
  } else if (bits != 16 && bits != 24) {
    throw std::runtime_error("--bits must be 16 or 24");
  }
  if (seconds.empty() == frames.empty())
    throw std::runtime_error("give exactly one of --seconds and --frames");
  if (left.empty() || right.empty())
    throw std::runtime_error("give --left and --right, or --both");

  std::uint64_t frameCount;
  if (!frames.empty()) {
    long long n = parseInteger(frames, "frames");
    if (n < 0) throw std::runtime_error("--frames must not be negative");
    frameCount = static_cast<std::uint64_t>(n);
  } else {
    double s = parseNumber(seconds, "seconds");
    if (s < 0) throw std::runtime_error("--seconds must not be negative");
    frameCount = static_cast<std::uint64_t>(std::llround(s * static_cast<double>(rate)));
  }
  const int bytesPerSample = static_cast<int>(bits / 8);
  const std::uint64_t dataSize = frameCount * 2 * bytesPerSample;
  if (dataSize > 0xFFFFFFFFull - 36) throw std::runtime_error("signal too long for a WAVE file");

  const double fullScale = isFloat ? 1.0 : bits == 16 ? 32767.0 : 8388607.0;
  const double lo = bits == 16 ? -32768.0 : -8388608.0;
  const std::vector<Component> signals[2] = {parseSignal(left, fullScale),
                                             parseSignal(right, fullScale)};
  std::mt19937_64 noise[2] = {std::mt19937_64(static_cast<std::uint64_t>(seed) * 2 + 1),
                              std::mt19937_64(static_cast<std::uint64_t>(seed) * 2 + 2)};

  std::vector<unsigned char> bytes;
  bytes.reserve(44 + dataSize);
  bytes.insert(bytes.end(), {'R', 'I', 'F', 'F'});
  putLE(bytes, 36 + dataSize, 4);
  bytes.insert(bytes.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  putLE(bytes, 16, 4);
  putLE(bytes, isFloat ? 3 : 1, 2);                     // IEEE float or PCM
  putLE(bytes, 2, 2);                                   // channels
  putLE(bytes, static_cast<std::uint64_t>(rate), 4);
  putLE(bytes, static_cast<std::uint64_t>(rate) * 2 * bytesPerSample, 4);
  putLE(bytes, 2 * bytesPerSample, 2);                  // block align
  putLE(bytes, static_cast<std::uint64_t>(bits), 2);
  bytes.insert(bytes.end(), {'d', 'a', 't', 'a'});
  putLE(bytes, dataSize, 4);
  for (std::uint64_t n = 0; n < frameCount; ++n) {
    for (int ch = 0; ch < 2; ++ch) {
      double v = sampleAt(signals[ch], n, static_cast<double>(rate), noise[ch]);
      if (isFloat) {
        const float f = static_cast<float>(v);
        std::uint32_t word;
        std::memcpy(&word, &f, sizeof word);
        putLE(bytes, word, 4);
        continue;
      }
      v = std::min(std::max(std::round(v), lo), fullScale);
      putLE(bytes, static_cast<std::uint64_t>(static_cast<std::int64_t>(v)), bytesPerSample);
    }
  }

  // Only a regular file is ours to remove after a failed write (never a
  // device such as /dev/full that happened to be named as the output).
  struct stat st;
  const bool removable = stat(output.c_str(), &st) != 0 || S_ISREG(st.st_mode);
  std::FILE* f = std::fopen(output.c_str(), "wb");
  if (!f) throw WriteError("cannot create " + output + ": " + std::strerror(errno));
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    if (removable) std::remove(output.c_str());
    throw WriteError("write failed: " + output);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const WriteError& e) {
    std::fprintf(stderr, "wavegen: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wavegen: %s\n", e.what());
    usage();
    return 1;
  }
}
