// Fuzzes the command-line parser: the input, split at NUL bytes, is the
// argument vector.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();  // usage text
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args{"pulsemill"};
  std::string current;
  for (std::size_t i = 0; i < size && args.size() < 16; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() && args.size() < 16) args.push_back(current);
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  pulsemill::RunSettings settings;
  if (pulsemill::parseCommandLine(static_cast<int>(args.size()), argv.data(), settings).ok()) {
    const int taps = settings.tapCount;
    bool tapsOk = taps == 0;
    for (int t = 2048; t <= 65536; t *= 2) tapsOk = tapsOk || taps == t;
    const int frames = settings.blockFrames;
    if (!tapsOk || settings.kaiserAlpha == 0.0 ||
        (frames != 512 && frames != 1024 && frames != 2048) ||
        (settings.dsdRate != 64 && settings.dsdRate != 128 && settings.dsdRate != 256 &&
         settings.dsdRate != 512) ||
        settings.normalizeOffset < INT32_MIN || settings.normalizeOffset > INT32_MAX ||
        pulsemill::isOptionShaped(settings.inputPath) ||
        (args.size() > 2 && settings.outputPath == args[2] && pulsemill::isOptionShaped(args[2])))
      std::abort();  // a mistyped option never names a file (a derived "-.dff" may)
  }
  return 0;
}
