// Helpers shared by the tests: temporary folders, running the built
// binaries, reading and writing files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the system's temporary directory, removed (with its
// contents) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct RunResult {
  int exitStatus = -1;   // exit status, or 128 + signal number
  std::string out;       // standard output
  std::string err;       // standard error
};

// Runs `program` with `args` in `workDir` (empty: current directory), with
// extra environment entries "NAME=value". Captures both output streams.
RunResult runProgram(const std::string& program,
                     const std::vector<std::string>& args,
                     const std::string& workDir = "",
                     const std::vector<std::string>& env = {});

// Shell command through /bin/sh; returns its exit status.
int runShell(const std::string& command);

bool fileExists(const std::string& path);
std::vector<std::uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::string readFileText(const std::string& path);
std::string sha256OfFile(const std::string& path);  // lower-case hex, via sha256sum

}  // namespace testsupport
