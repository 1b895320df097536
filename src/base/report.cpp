#include "base/report.h"

#include <stdio_ext.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace pulsemill {

namespace {

// The text of a printf format and its arguments.
std::string formatted(const char* format, std::va_list args) {
  std::va_list copy;
  va_copy(copy, args);
  char small[512];
  const int length = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (length < 0) return std::string();
  if (static_cast<std::size_t>(length) < sizeof small) return std::string(small, length);
  std::vector<char> large(static_cast<std::size_t>(length) + 1);
  std::vsnprintf(large.data(), large.size(), format, args);
  return std::string(large.data(), static_cast<std::size_t>(length));
}

}  // namespace

void Report::out(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  writeOut(text.data(), text.size());
}

void Report::err(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  writeErr(text.data(), text.size());
}

void ConsoleReport::flush() {
  if (!yielded_) std::fflush(stdout);
}

void ConsoleReport::yieldStandardOutput() {
  __fpurge(stdout);
  yielded_ = true;
}

void ConsoleReport::writeOut(const char* text, std::size_t length) {
  if (!yielded_) std::fwrite(text, 1, length, stdout);
}

void ConsoleReport::writeErr(const char* text, std::size_t length) {
  if (!yielded_) std::fflush(stdout);
  std::fwrite(text, 1, length, stderr);
  std::fflush(stderr);
}

void CapturedReport::writeOut(const char* text, std::size_t length) {
  out_.append(text, length);
  both_.append(text, length);
}

void CapturedReport::writeErr(const char* text, std::size_t length) {
  err_.append(text, length);
  both_.append(text, length);
}

}  // namespace pulsemill
