// The run's input and output files, owned as objects: the input is closed
// and an uncommitted output removed when their owner goes, on every path.
//
// Conventions: an output that is (or will be) a regular file is written as
// a new temporary file beside it, ".NAME.pulsemill-XXXXXX", and renamed over
// NAME only when committed: until then a file of that name stays exactly as
// it was, whatever ends the run. A symbolic link stays a link; the file it
// points to is the one replaced. A device, FIFO or other non-regular file
// (/dev/null for a timing run) is written directly and never removed; one
// that cannot seek (a pipe, FIFO or terminal) takes its bytes front to back
// only. A temporary file is registered for removal should a signal end the run
// (interrupt_cleanup.h).
// Failures carry the system's reason (Status::reason).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/status.h"

namespace pulsemill {

// Writes all `count` bytes; false on a short write.
bool writeAll(std::FILE* out, const void* bytes, std::size_t count);

// True when `path` exists and is the very file open as `open` (the same
// name, or a symbolic or hard link to it).
bool isSameFile(std::FILE* open, const std::string& path);

// True when `path` names the process's standard output and that is a
// pipe, FIFO or terminal (it cannot seek): the DSD stream then has it to
// itself, and the console's standard output lines must not go there.
bool isStandardOutputStream(const std::string& path);

// Raises the process's limit of open files to the most the system allows
// it: an album keeps every track's input and output open until it commits.
void raiseOpenFileLimit();

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

  // Opens a new file for binary writing (a temporary one, or the device
  // itself). OpenFailed (detail: the path) when the folder is missing or may
  // not be written, the name is a folder, its final component is longer
  // than the folder's file system takes (NAME_MAX), or an existing file may
  // not be written; Interrupted, nothing made, once a signal is ending the
  // run. A previous stream must have been committed or discarded.
  Status create();
  std::FILE* stream() const { return stream_; }

  // Whether the stream create() opened can seek back (false for a pipe,
  // FIFO or terminal; true for a regular file and for /dev/null), and
  // whether it is the file standard output writes to. Kept until the next
  // create().
  bool seekable() const { return seekable_; }
  bool isStandardOutput() const { return standardOutput_; }

  // Hands the buffered bytes to the system: DsdWrite when they do not fit
  // (a full disk may only show here).
  Status flush();

  // Closes the complete file and puts it in place of the output name.
  // DsdWrite when the close or the rename fails; the file is then discarded.
  Status commit();

  // Closes the stream (errors ignored) and removes the temporary file.
  // Does nothing when no stream is open.
  void discard();

  // Commits `files` (each created and complete) together: all of them put
  // in place, or none, every file they would replace left as it was. Every
  // stream is closed first (where a full disk shows), then each temporary
  // file is exchanged with the file it replaces, which goes once all are in
  // place and comes back when one fails. (A file system that cannot
  // exchange names gets a plain rename: a failure then removes the new
  // file without bringing the old one back.) DsdWrite, `failed` naming the
  // file, when one fails; every temporary file is then removed.
  static Status commitTogether(const std::vector<OutputFile*>& files, std::size_t& failed);

 private:
  // Closes the stream and ends the temporary file: renamed over the
  // target when `keep`, else removed. The reason of a failure, or empty.
  std::string close(bool keep);
  // Closes the stream (when open): the reason of a failure, or empty.
  std::string closeStream();
  // Removes the temporary file (when there is one) and forgets it.
  void dropTemporary();
  // Sets seekable_ and standardOutput_ for a file written directly.
  void inspectStream();

  std::string path_;        // the output name as given
  std::string target_;      // path_ with symbolic links followed
  std::string temporary_;   // the file being written (registered); empty when writing a device directly
  std::FILE* stream_ = nullptr;
  bool seekable_ = true;
  bool standardOutput_ = false;
};

}  // namespace pulsemill
