// The converter's last console line of a successful run reports elapsed
// time, which varies from run to run. Tests compare console output with the
// timing line reduced to "<timing line> N Bytes" (N is its byte figure).
#pragma once

#include <regex>
#include <string>

namespace testsupport {

// Reduces every line of the exact shape
// "%d Minites %.3f Seconds, %d Bytes, %.2f KBytes/Sec \n". A line that only
// resembles it stays as it is, so a comparison with the expected text shows
// the difference. The rate may print as inf or nan when no time elapsed.
inline std::string reduceTimingLines(const std::string& out) {
  static const std::regex timing(
      R"((^|\n)-?[0-9]+ Minites -?[0-9]+\.[0-9]{3} Seconds, (-?[0-9]+) Bytes, )"
      R"((-?[0-9]+\.[0-9]{2}|-?inf|-?nan) KBytes/Sec \n)");
  return std::regex_replace(out, timing, "$1<timing line> $2 Bytes\n");
}

}  // namespace testsupport
