#include "base/files.h"

#include <sys/stat.h>

#include "base/interrupt_cleanup.h"

namespace pulsemill {

bool writeAll(std::FILE* out, const void* bytes, std::size_t count) {
  return std::fwrite(bytes, 1, count, out) == count;
}

bool isSameFile(std::FILE* open, const std::string& path) {
  struct stat a, b;
  if (fstat(fileno(open), &a) != 0 || stat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

InputFile::~InputFile() {
  if (stream_ != nullptr) std::fclose(stream_);
}

Status InputFile::open(const std::string& path) {
  // fopen succeeds on a directory here; its first read would fail.
  std::FILE* file = std::fopen(path.c_str(), "rb");
  struct stat st;
  if (file != nullptr && (fstat(fileno(file), &st) != 0 || S_ISDIR(st.st_mode))) {
    std::fclose(file);
    file = nullptr;
  }
  if (file == nullptr) return Status(StatusCode::OpenFailed, path);
  stream_ = file;
  return Status();
}

std::int64_t InputFile::regularFileSize() const {
  struct stat st;
  if (stream_ == nullptr || fstat(fileno(stream_), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

Status OutputFile::create() {
  // Armed before the file exists when it will be a regular file, so that an
  // interrupt between creation and arming leaves nothing behind.
  struct stat st;
  const bool willBeRegular = stat(path_.c_str(), &st) != 0 || S_ISREG(st.st_mode);
  if (willBeRegular) armOutputRemoval(path_.c_str());
  stream_ = std::fopen(path_.c_str(), "wb");
  regular_ = stream_ != nullptr && fstat(fileno(stream_), &st) == 0 && S_ISREG(st.st_mode);
  if (!regular_) disarmOutputRemoval();
  return stream_ != nullptr ? Status() : Status(StatusCode::OpenFailed, path_);
}

Status OutputFile::flush() {
  return std::fflush(stream_) == 0 ? Status() : Status(StatusCode::DsdWrite);
}

bool OutputFile::close(bool keep) {
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if ((!keep || !closed) && regular_) std::remove(path_.c_str());
  disarmOutputRemoval();
  return closed;
}

Status OutputFile::commit() { return close(true) ? Status() : Status(StatusCode::DsdWrite); }

void OutputFile::discard() {
  if (stream_ != nullptr) close(false);
}

}  // namespace pulsemill
