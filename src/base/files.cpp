#include "base/files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <vector>

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

bool isStandardOutputStream(const std::string& path) {
  struct stat out, named;
  return fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &named) == 0 &&
         out.st_dev == named.st_dev && out.st_ino == named.st_ino &&
         lseek(STDOUT_FILENO, 0, SEEK_CUR) < 0 && errno == ESPIPE;
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
    errno = EISDIR;
  }
  if (file == nullptr) return Status(StatusCode::OpenFailed, path).because(systemReason());
  stream_ = file;
  return Status();
}

std::int64_t InputFile::regularFileSize() const {
  struct stat st;
  if (stream_ == nullptr || fstat(fileno(stream_), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

namespace {

constexpr int kMaxLinkDepth = 40;  // as the system's own limit (ELOOP)
// Room for ".", ".pulsemill-XXXXXX" and the name's start within NAME_MAX.
constexpr std::size_t kMaxNameInTemporary = 200;

// `path` with symbolic links followed to the name they end at, which need
// not exist (a dangling link names the file to create). False with errno set
// on a loop or an unreadable link.
bool followLinks(const std::string& path, std::string& target) {
  target = path;
  for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::vector<char> link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    const ssize_t length = readlink(target.c_str(), link.data(), link.size());
    if (length < 0) return false;
    std::string next(link.data(), static_cast<std::size_t>(length));
    const std::size_t slash = target.rfind('/');
    if (next[0] != '/' && slash != std::string::npos) next = target.substr(0, slash + 1) + next;
    target = next;
  }
  errno = ELOOP;
  return false;
}

// Creates a new file "FOLDER.NAME.pulsemill-XXXXXX" as mkstemp would, but
// with the mode a new file gets under the umask. The descriptor, or -1 with
// errno set.
int createTemporary(const std::string& folder, const std::string& name, std::string& path) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 random(
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(getpid()) << 32));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix(6, 'X');
    for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
    path = folder + "." + name.substr(0, kMaxNameInTemporary) + ".pulsemill-" + suffix;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

void raiseOpenFileLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

void OutputFile::inspectStream() {
  const int fd = fileno(stream_);
  seekable_ = lseek(fd, 0, SEEK_CUR) >= 0;
  struct stat own, out;
  standardOutput_ = fstat(fd, &own) == 0 && fstat(STDOUT_FILENO, &out) == 0 &&
                    own.st_dev == out.st_dev && own.st_ino == out.st_ino;
}

Status OutputFile::create() {
  const auto failed = [this] {
    return Status(StatusCode::OpenFailed, path_).because(systemReason());
  };
  seekable_ = true;
  standardOutput_ = false;
  if (path_.empty()) {
    errno = ENOENT;
    return failed();
  }
  struct stat st;
  if (stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return failed();
    }
    stream_ = std::fopen(path_.c_str(), "wb");  // a device, FIFO, /dev/stdout, ...
    if (stream_ == nullptr) return failed();
    inspectStream();
    return Status();
  }
  if (!followLinks(path_, target_)) return failed();
  const std::size_t slash = target_.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  // The temporary file takes a shortened name, so only the final rename
  // would meet a name too long for the folder's file system: refuse it now,
  // not after the conversion. (A folder pathconf cannot read is left to the
  // temporary file's creation to report.)
  const long nameMax = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  if (nameMax > 0 && name.size() > static_cast<std::size_t>(nameMax)) {
    errno = ENAMETOOLONG;
    return failed();
  }
  struct stat folderSt;
  if (stat(target_.c_str(), &st) == 0 && stat(folder.empty() ? "." : folder.c_str(), &folderSt) == 0) {
    // rename() would replace a file the user may not write, or one in a
    // sticky folder (/tmp) that neither it nor the folder belongs to.
    if (access(target_.c_str(), W_OK) != 0) return failed();
    const uid_t user = geteuid();
    if ((folderSt.st_mode & S_ISVTX) != 0 && user != 0 && st.st_uid != user &&
        folderSt.st_uid != user) {
      errno = EPERM;
      return failed();
    }
    // A file mounted on its name (a container's bind mount) cannot be
    // replaced: it is written in place, like a device.
    if (st.st_dev != folderSt.st_dev) {
      stream_ = std::fopen(target_.c_str(), "wb");
      if (stream_ == nullptr) return failed();
      inspectStream();
      return Status();
    }
  }

  std::string temporary;
  const int fd = createRegisteredFile(
      [&folder, &name](std::string& path) { return createTemporary(folder, name, path); },
      temporary);
  if (fd < 0) return stopRequested() ? Status(StatusCode::Interrupted) : failed();
  temporary_ = std::move(temporary);
  stream_ = fdopen(fd, "wb");
  if (stream_ == nullptr) {
    const Status status = failed();
    ::close(fd);
    unlink(temporary_.c_str());
    unregisterFile(temporary_);
    temporary_.clear();
    return status;
  }
  return Status();
}

Status OutputFile::flush() {
  return std::fflush(stream_) == 0 ? Status() : Status(StatusCode::DsdWrite).because(systemReason());
}

std::string OutputFile::closeStream() {
  if (stream_ == nullptr) return std::string();
  const std::string reason = std::fclose(stream_) != 0 ? systemReason() : std::string();
  stream_ = nullptr;
  return reason;
}

void OutputFile::dropTemporary() {
  if (temporary_.empty()) return;
  unlink(temporary_.c_str());
  unregisterFile(temporary_);
  temporary_.clear();
}

std::string OutputFile::close(bool keep) {
  std::string reason = closeStream();
  if (temporary_.empty()) return reason;
  if (keep && reason.empty() && std::rename(temporary_.c_str(), target_.c_str()) != 0)
    reason = systemReason();
  if (keep && reason.empty()) {
    unregisterFile(temporary_);
    temporary_.clear();
  }
  dropTemporary();
  return reason;
}

Status OutputFile::commitTogether(const std::vector<OutputFile*>& files, std::size_t& failed) {
  const auto fail = [&](std::size_t k, const std::string& reason) {
    for (OutputFile* file : files) {
      file->closeStream();
      file->dropTemporary();
    }
    failed = k;
    return Status(StatusCode::DsdWrite).because(reason);
  };
  for (std::size_t k = 0; k < files.size(); ++k) {
    const std::string reason = files[k]->closeStream();
    if (!reason.empty()) return fail(k, reason);
  }
  // How each file went into place: exchanged with the file it replaces
  // (now at the temporary name), or renamed.
  enum class Placed { Not, Exchanged, Renamed };
  std::vector<Placed> placed(files.size(), Placed::Not);
  for (std::size_t k = 0; k < files.size(); ++k) {
    OutputFile& file = *files[k];
    if (file.temporary_.empty()) continue;  // a device, written directly
    const char* from = file.temporary_.c_str();
    const char* to = file.target_.c_str();
    // Only a regular file is exchanged (a folder put in the way fails, as
    // a rename over it would).
    struct stat st;
    const bool replacing = lstat(to, &st) == 0;
    if (replacing && !S_ISREG(st.st_mode)) {
      errno = S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
    } else if (replacing && renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0) {
      placed[k] = Placed::Exchanged;
      continue;
    } else if ((!replacing || errno == EINVAL || errno == ENOSYS) && std::rename(from, to) == 0) {
      placed[k] = Placed::Renamed;
      continue;
    }
    const std::string reason = systemReason();
    for (std::size_t j = 0; j < k; ++j) {
      OutputFile& back = *files[j];
      if (placed[j] == Placed::Exchanged)
        renameat2(AT_FDCWD, back.temporary_.c_str(), AT_FDCWD, back.target_.c_str(), RENAME_EXCHANGE);
      else if (placed[j] == Placed::Renamed)
        unlink(back.target_.c_str());
    }
    return fail(k, reason);
  }
  for (std::size_t k = 0; k < files.size(); ++k) {
    if (placed[k] == Placed::Renamed) {  // nothing left at the temporary name
      unregisterFile(files[k]->temporary_);
      files[k]->temporary_.clear();
    }
    files[k]->dropTemporary();  // the replaced file
  }
  return Status();
}

Status OutputFile::commit() {
  const std::string reason = close(true);
  return reason.empty() ? Status() : Status(StatusCode::DsdWrite).because(reason);
}

void OutputFile::discard() {
  if (stream_ != nullptr) close(false);
}


}  // namespace pulsemill
