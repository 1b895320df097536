// The run's input and output files, owned as objects: the input is closed
// and an uncommitted output removed when their owner goes, on every path.
//
// Conventions: only a regular file the run created is ever removed; a
// device, FIFO or link target that is not a regular file (/dev/null for a
// timing run) is written but never deleted. While a removable output is
// open, an interrupt removes it too (interrupt_cleanup.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/status.h"

namespace pulsemill {

// Writes all `count` bytes; false on a short write.
bool writeAll(std::FILE* out, const void* bytes, std::size_t count);

// True when `path` exists and is the very file open as `open` (the same
// name, or a symbolic or hard link to it).
bool isSameFile(std::FILE* open, const std::string& path);

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for binary reading; OpenFailed (detail: the path) when it
  // cannot be opened or is a directory.
  Status open(const std::string& path);
  std::FILE* stream() const { return stream_; }
  // The size of a regular file, -1 for a pipe, FIFO or device.
  std::int64_t regularFileSize() const;

 private:
  std::FILE* stream_ = nullptr;
};

class OutputFile {
 public:
  explicit OutputFile(std::string path) : path_(std::move(path)) {}
  ~OutputFile() { discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates (or truncates) the file for binary writing; OpenFailed (detail:
  // the path) when it cannot. A previous stream must have been committed or
  // discarded.
  Status create();
  std::FILE* stream() const { return stream_; }

  // Hands the buffered bytes to the system: DsdWrite when they do not fit
  // (a full disk may only show here).
  Status flush();

  // Closes the complete file and keeps it. DsdWrite when the close loses
  // data; the file is then discarded.
  Status commit();

  // Closes the stream (errors ignored) and removes the file if it is
  // regular. Does nothing when no stream is open.
  void discard();

 private:
  // Closes the stream; removes the file unless `keep` (or not regular).
  // False when the close loses data.
  bool close(bool keep);

  std::string path_;
  std::FILE* stream_ = nullptr;
  bool regular_ = false;
};

}  // namespace pulsemill
