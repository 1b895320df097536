// The converter's last console line of a successful run reports elapsed
// time, which varies from run to run. Tests compare console output with the
// timing line reduced to "<timing line> N Bytes" (N is its byte figure).
#pragma once

#include <cctype>
#include <string>

namespace testsupport {

namespace timing_detail {

// Advances over [-]digits (at least one); false when there are none.
inline bool integer(const std::string& s, std::size_t& i) {
  if (i < s.size() && s[i] == '-') ++i;
  std::size_t start = i;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
  return i > start;
}

// Advances over [-]digits.<exactly `decimals` digits>.
inline bool fixed(const std::string& s, std::size_t& i, std::size_t decimals) {
  if (!integer(s, i) || i >= s.size() || s[i] != '.') return false;
  ++i;
  std::size_t start = i;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
  return i - start == decimals;
}

inline bool literal(const std::string& s, std::size_t& i, const char* text) {
  std::string t(text);
  if (s.compare(i, t.size(), t) != 0) return false;
  i += t.size();
  return true;
}

// The byte figure when `line` (without its line break) has exactly the shape
// "%d Minites %.3f Seconds, %d Bytes, %.2f KBytes/Sec "; empty otherwise.
// The rate may print as inf or nan when no time elapsed.
inline std::string timingBytes(const std::string& line) {
  std::size_t i = 0;
  if (!integer(line, i) || !literal(line, i, " Minites ") || !fixed(line, i, 3) ||
      !literal(line, i, " Seconds, "))
    return "";
  std::size_t bytesStart = i;
  if (!integer(line, i)) return "";
  std::string bytes = line.substr(bytesStart, i - bytesStart);
  if (!literal(line, i, " Bytes, ")) return "";
  std::size_t rateStart = i;
  if (!fixed(line, i, 2)) {
    i = rateStart;
    if (i < line.size() && line[i] == '-') ++i;
    if (!literal(line, i, "inf") && !literal(line, i, "nan")) return "";
  }
  if (!literal(line, i, " KBytes/Sec ") || i != line.size()) return "";
  return bytes;
}

}  // namespace timing_detail

// Reduces every line of the timing shape; a line that only resembles it
// stays as it is, so a comparison with the expected text shows the
// difference.
inline std::string reduceTimingLines(const std::string& out) {
  std::string result;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos) {
      result += out.substr(start);
      break;
    }
    std::string line = out.substr(start, end - start);
    std::string bytes = timing_detail::timingBytes(line);
    result += bytes.empty() ? line : "<timing line> " + bytes + " Bytes";
    result += '\n';
    start = end + 1;
  }
  return result;
}

}  // namespace testsupport
