// The run's console: every line a run prints goes through a Report handed
// to it, never straight to stdout or stderr.
//
// Conventions: out() is the run's standard output (the header report, the
// parameter and shaper lines, progress dots, the end lines), err() its
// standard error (failures, warnings, "pulsemill: ..." lines); both take
// printf formats. flush() makes what out() printed visible now (progress).
// The console implementation writes the process's streams exactly as a
// single run always has, until a signal is ending the run (then nothing);
// a captured one keeps a run's lines for later (a batch's log of one file,
// a test). A Report is used by one thread at a time.
#pragma once

#include <cstddef>
#include <string>

namespace pulsemill {

class Report {
 public:
  virtual ~Report() = default;

  void out(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void err(const char* format, ...) __attribute__((format(printf, 2, 3)));
  virtual void flush() {}
  // A conversion's progress: `frames` of `total` input frames (0: unknown)
  // at `rate` Hz are through. Nothing by default; the batch's display shows it.
  virtual void progress(std::uint64_t frames, std::uint64_t total, std::uint32_t rate) {
    (void)frames, (void)total, (void)rate;
  }
  // The run's output is the file standard output writes to (/dev/stdout
  // on a pipe): what out() holds unwritten is dropped and out() prints
  // nothing from now on, so that the stream alone reaches it. Nothing by
  // default (a report that keeps its lines elsewhere).
  virtual void yieldStandardOutput() {}

 protected:
  virtual void writeOut(const char* text, std::size_t length) = 0;
  virtual void writeErr(const char* text, std::size_t length) = 0;
};

// The process's standard output and standard error. Standard output is
// flushed before anything goes to standard error, so that both read in
// order on a shared terminal.
class ConsoleReport final : public Report {
 public:
  void flush() override;
  void yieldStandardOutput() override;

 protected:
  void writeOut(const char* text, std::size_t length) override;
  void writeErr(const char* text, std::size_t length) override;

 private:
  bool yielded_ = false;  // standard output carries the run's output
};

// Keeps a run's lines: standard output and standard error apart, and both
// in the order they came.
class CapturedReport : public Report {
 public:
  const std::string& standardOutput() const { return out_; }
  const std::string& standardError() const { return err_; }
  const std::string& both() const { return both_; }

 protected:
  void writeOut(const char* text, std::size_t length) override;
  void writeErr(const char* text, std::size_t length) override;

 private:
  std::string out_, err_, both_;
};

// `name` as a "pulsemill: ..." line may show it: each control character
// (a byte below 0x20, and 0x7F) as a C escape, "\n", "\t", "\033" or
// "\xHH" (two lower-case hex digits), every other byte as it is. A name
// printed raw could split its line or steer the terminal.
std::string printableName(const std::string& name);

}  // namespace pulsemill
