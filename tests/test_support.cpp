#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

void putLe(Bytes& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void putBe(Bytes& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void putText(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/pulsemill-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  // Links in the folder are removed, never what they point at.
  runShell("rm -rf '" + path_ + "'");
}

static std::string slurp(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char chunk[65536];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) break;
    text.append(chunk, static_cast<size_t>(got));
  }
  return text;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir, const std::vector<std::string>& env) {
  char outName[] = "/tmp/pulsemill-out-XXXXXX";
  char errName[] = "/tmp/pulsemill-err-XXXXXX";
  int outFd = mkstemp(outName);
  int errFd = mkstemp(errName);
  if (outFd < 0 || errFd < 0) throw std::runtime_error("mkstemp failed");
  unlink(outName);
  unlink(errName);

  // An extra entry replaces an inherited one of the same name (getenv would
  // find the inherited one first).
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& extra : env) replaced = replaced || nameOf(extra) == nameOf(entry);
    if (!replaced) envText.push_back(entry);
  }
  for (const auto& extra : env) envText.push_back(extra);
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<std::string> argText;
  argText.push_back(program);
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);

  RunResult result;
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
    dup2(outFd, 1);
    dup2(errFd, 2);
    int nullFd = open("/dev/null", O_RDONLY);
    if (nullFd >= 0) dup2(nullFd, 0);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) result.exitStatus = 128 + WTERMSIG(status);
  result.out = slurp(outFd);
  result.err = slurp(errFd);
  close(outFd);
  close(errFd);
  return result;
}

int runShell(const std::string& command) {
  int status = std::system(command.c_str());
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::uint8_t> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string readFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string sha256OfFile(const std::string& path) {
  RunResult r = runProgram("/usr/bin/sha256sum", {path});
  // For a name with a backslash or a line break, sha256sum escapes the name
  // and marks the line with a leading backslash.
  const std::size_t start = !r.out.empty() && r.out[0] == '\\' ? 1 : 0;
  return r.out.substr(start, 64);
}

}  // namespace testsupport

namespace testsupport {

std::vector<pulsemill::KernelIsa> supportedIsas() { return pulsemill::supportedIsas(); }

}  // namespace testsupport

namespace testsupport {

RunResult convertIn(const TempDir& dir, const std::vector<std::string>& args,
                    const std::string& threads) {
  std::vector<std::string> env;
  if (!threads.empty()) env.push_back("OMP_NUM_THREADS=" + threads);
  return runProgram(PULSEMILL_BINARY, args, dir.path(), env);
}

std::string runReport(const std::vector<std::string>& args) {
  std::vector<std::string> all = {std::string(PULSEMILL_TOOLS_DIR) + "/pulsemill_report.py"};
  all.insert(all.end(), args.begin(), args.end());
  const RunResult r = runProgram("/usr/bin/python3", all);
  EXPECT_EQ(0, r.exitStatus) << r.err;
  return r.out;
}

double reportFigure(const std::string& report, const std::string& channel, const std::string& name) {
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string ch, figure;
    double value = 0.0;
    if (words >> ch >> figure >> value && ch == channel && figure == name) return value;
  }
  ADD_FAILURE() << "no " << channel << " " << name << " in:\n" << report;
  return 0.0;
}

std::string id3TagsByMutagen(const std::string& path) {
  const char* script =
      "import sys, hashlib, mutagen.dsf, mutagen.dsdiff\n"
      "t = (mutagen.dsdiff.DSDIFF if sys.argv[1].endswith('.dff') else mutagen.dsf.DSF)(sys.argv[1]).tags\n"
      "for k in ['TIT2','TPE1','TALB','TPE2','TDRC','TRCK','TPOS','TCON','TSSE']:\n"
      "    if k in t: print(k, ' / '.join(map(str, t[k].text)))\n"
      "for c in t.getall('COMM'): print('COMM', c.text[0])\n"
      "for p in t.getall('APIC'):\n"
      "    print('APIC', p.mime, int(p.type), p.desc, hashlib.sha256(p.data).hexdigest())\n";
  const RunResult r = runProgram("/usr/bin/python3", {"-c", script, path});
  EXPECT_EQ(0, r.exitStatus) << r.err;
  return r.out;
}

void makeWave(const TempDir& dir, const std::string& name, int rate, int bits, int frames,
              const std::string& left, const std::string& right) {
  std::vector<std::string> args = {dir.file(name), "--rate", std::to_string(rate), "--frames",
                                   std::to_string(frames), "--left", left, "--right", right};
  if (bits == 32) {
    args.push_back("--float");
  } else {
    args.push_back("--bits");
    args.push_back(std::to_string(bits));
  }
  const RunResult r = runProgram(WAVEGEN_BINARY, args);
  ASSERT_EQ(0, r.exitStatus) << r.err;
}

Bytes waveHeader(const WaveFormat& f) {
  Bytes w;
  putText(w, "RIFF");
  putLe(w, f.riffSize, 4);
  putText(w, "WAVEfmt ");
  putLe(w, f.fmtSize, 4);
  putLe(w, f.tag, 2);
  putLe(w, f.channels, 2);
  putLe(w, f.rate, 4);
  putLe(w, std::uint64_t{f.rate} * f.blockAlign, 4);
  putLe(w, f.blockAlign, 2);
  putLe(w, f.bits, 2);
  return w;
}

Bytes waveFile(const WaveFormat& format, const Bytes& chunks, const Bytes& audio,
               std::int64_t declaredSize) {
  WaveFormat f = format;
  if (f.riffSize == 0) f.riffSize = static_cast<std::uint32_t>(36 + chunks.size() + audio.size());
  Bytes w = waveHeader(f);
  w.insert(w.end(), chunks.begin(), chunks.end());
  putText(w, "data");
  putLe(w, declaredSize < 0 ? audio.size() : static_cast<std::uint64_t>(declaredSize), 4);
  w.insert(w.end(), audio.begin(), audio.end());
  return w;
}

void interpolateBlock(double* upLeft, double* upRight, const pulsemill::PhaseKernel& kernel,
                      pulsemill::UpsampleBuffer& inLeft, pulsemill::UpsampleBuffer& inRight, int n,
                      double gain) {
  const int items = pulsemill::interpolationItems(n);
#pragma omp parallel for schedule(dynamic)
  for (int item = 0; item < items; ++item)
    pulsemill::interpolateItem(kernel, inLeft, inRight, n, item, gain, upLeft, upRight);
  pulsemill::handOverHistory(inLeft, n, inLeft);
  pulsemill::handOverHistory(inRight, n, inRight);
}

namespace {

std::uint64_t fieldValue(const Bytes& b, std::size_t at, int bytes, bool bigEndian) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | b.at(at + (bigEndian ? i : bytes - 1 - i));
  return v;
}

std::uint8_t bitsReversed(std::uint8_t x) {
  std::uint8_t r = 0;
  for (int b = 0; b < 8; ++b) r = static_cast<std::uint8_t>(r | (((x >> b) & 1) << (7 - b)));
  return r;
}

}  // namespace

std::vector<std::pair<std::string, Bytes>> dsdiffChunks(const Bytes& file) {
  std::vector<std::pair<std::string, Bytes>> chunks;
  std::size_t at = 16;
  while (at + 12 <= file.size()) {
    const std::uint64_t size = fieldValue(file, at + 4, 8, true);
    if (size > file.size() - at - 12) break;
    chunks.emplace_back(std::string(file.begin() + at, file.begin() + at + 4),
                        Bytes(file.begin() + at + 12, file.begin() + at + 12 + size));
    at += 12 + size + size % 2;
  }
  EXPECT_EQ(file.size(), at) << "chunks that do not fill the file";
  return chunks;
}

Bytes dsfSoundData(const Bytes& dsf) {
  const std::uint64_t perChannel = fieldValue(dsf, 64, 8, false) / 8;
  Bytes stream;
  for (std::uint64_t i = 0; i < perChannel; ++i) {
    const std::size_t block = 92 + (i / 4096) * 8192, at = i % 4096;
    stream.push_back(bitsReversed(dsf.at(block + at)));
    stream.push_back(bitsReversed(dsf.at(block + 4096 + at)));
  }
  return stream;
}

std::vector<std::string> temporaries(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root))
    if (e.path().filename().string().find(".pulsemill-") != std::string::npos)
      found.push_back(e.path().string());
  return found;
}

Bytes dsdSoundData(const std::string& path) {
  const Bytes file = readFileBytes(path);
  if (endsWith(path, ".dsf")) return dsfSoundData(file);
  for (const auto& chunk : dsdiffChunks(file))
    if (chunk.first == "DSD ") return chunk.second;
  ADD_FAILURE() << "no sound data in " << path;
  return Bytes();
}

}  // namespace testsupport
