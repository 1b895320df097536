#include "base/report.h"

#include <stdio_ext.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "base/interrupt_cleanup.h"

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

std::string printableName(const std::string& name) {
  std::string text;
  text.reserve(name.size());
  for (const char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      text += c;
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\t') {
      text += "\\t";
    } else if (byte == 0x1B) {
      text += "\\033";
    } else {
      static const char kHex[] = "0123456789abcdef";
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xF];
    }
  }
  return text;
}

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

// Once a signal is ending the run the console takes nothing more: the runs
// it cut short would only show as failures before the process ends.
void ConsoleReport::writeOut(const char* text, std::size_t length) {
  if (stopRequested() || yielded_) return;
  std::fwrite(text, 1, length, stdout);
}

void ConsoleReport::writeErr(const char* text, std::size_t length) {
  if (stopRequested()) return;
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
