#include "app/batch.h"

#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "app/design_cache.h"
#include "app/run_driver.h"
#include "app/startup.h"
#include "base/files.h"
#include "input/input.h"

namespace pulsemill {

namespace fs = std::filesystem;

namespace {

// A folder walk takes the files of the input formats' extensions (any case).
bool isInputName(const fs::path& path) { return isInputExtension(path.extension().string()); }

enum class Outcome { Converted, Retried, Skipped, Clipped, Failed };

// A running file's report: its lines kept for later, its progress read by
// the live display from another thread.
class JobReport final : public CapturedReport {
 public:
  void progress(std::uint64_t frames, std::uint64_t total, std::uint32_t rate) override {
    total_ = total;
    rate_ = rate;
    frames_ = frames;
  }
  double fraction() const {
    const std::uint64_t total = total_;
    return total > 0 ? std::min(1.0, static_cast<double>(frames_) / static_cast<double>(total)) : 0.0;
  }
  double audioSeconds() const { return rate_ > 0 ? static_cast<double>(frames_) / rate_ : 0.0; }
  // Audio seconds per wall second since the file started.
  double speed() const {
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    return wall > 0.0 ? audioSeconds() / wall : 0.0;
  }

 private:
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::atomic<std::uint64_t> frames_{0}, total_{0};
  std::atomic<std::uint32_t> rate_{0};
};

struct Job {
  Job(std::string in, std::string out) : input(std::move(in)), output(std::move(out)) {}
  std::string input;    // as found
  std::string output;   // as named
  std::uint64_t size = 0;
  Outcome outcome = Outcome::Failed;
  std::string reason;   // of a failure: the run's last line on standard error
  std::int64_t offset = 0;  // the last attempt's
  double seconds = 0.0;
  double audioSeconds = 0.0;  // converted
  std::string otherSettings;  // skipped: the settings of an existing DSF made otherwise
  std::string warnings;       // the run's warning lines, shown without --verbose too
};

// The output of `input`, found under the INPUT `root`.
std::string outputName(const BatchSettings& settings, const fs::path& input, const fs::path& root,
                       bool rootIsFolder) {
  if (!settings.output.empty()) return settings.output;
  const char* extension = settings.dsf ? ".dsf" : ".dff";
  if (settings.outputDir.empty())
    return deriveOutputStem(input.string()) + extension;  // beside the input, as a single run
  fs::path relative = rootIsFolder ? input.lexically_relative(root) : input.filename();
  return (fs::path(settings.outputDir) / relative.replace_extension(extension)).string();
}

// The jobs of every INPUT; the refusal of the batch, or empty.
std::string collectJobs(const BatchSettings& settings, Report& console, std::vector<Job>& jobs) {
  for (const std::string& given : settings.inputs) {
    std::error_code error;
    const fs::path root(given);
    if (!fs::is_directory(root, error)) {
      jobs.emplace_back(given, outputName(settings, root, root, false));
      continue;
    }
    std::vector<fs::path> found;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      if (!it->is_regular_file(error)) continue;
      if (isInputName(it->path())) found.push_back(it->path());
      else if (settings.verbose) console.err("pulsemill: skipped %s (not an input format)\n",
                                             it->path().c_str());
    }
    if (error) return given + ": " + error.message();
    std::sort(found.begin(), found.end());
    for (const fs::path& path : found)
      jobs.emplace_back(path.string(), outputName(settings, path, root, true));
  }
  std::map<std::string, std::string> outputs;  // output -> its input
  for (const Job& job : jobs) {
    const std::string key = fs::path(job.output).lexically_normal().string();
    const auto [at, fresh] = outputs.emplace(key, job.input);
    if (!fresh) return at->second + " and " + job.input + " would both write " + job.output;
  }
  return std::string();
}

// The settings an existing DSF output was made with, when they are not
// the ones this batch would write for `job` (the offset aside when a
// retry may have lowered it); empty when they are or cannot be told.
std::string otherSettings(const BatchSettings& settings, const Job& job) {
  const std::string made = readDsfEncoderSettings(job.output);
  InputFile input;
  CapturedReport quiet;  // the header report is not wanted here
  OpenedInput opened;
  if (made.empty() || !input.open(job.input).ok() ||
      !openInput(input, job.input, quiet, opened).ok())
    return std::string();
  RunSettings run = settings.run;
  std::string warning;  // the conversion would give it; not wanted here
  const RateChoice choice = resolveRunRate(run, opened.source->sampleRate(), warning);
  run.dsdRate = choice.dsdRate;
  run.tapCount = choice.tapCount;
  const std::string wanted = encoderSettings(
      run, opened.source->sampleRate() * static_cast<std::uint32_t>(choice.oversampleRatio),
      run.normalizeOffset);
  const auto withoutOffset = [](std::string text) {
    const std::size_t at = text.rfind(" n");
    if (at == std::string::npos) return text;
    const std::size_t end = text.find(' ', at + 1);
    return text.erase(at, end == std::string::npos ? std::string::npos : end - at);
  };
  const bool same = settings.run.retryOnClip ? withoutOffset(made) == withoutOffset(wanted)
                                             : made == wanted;
  return same ? std::string() : made;
}

// One file, start to end, its console lines in its own report.
void convertJob(const BatchSettings& settings, Job& job, DesignCache& designs, int threads,
                JobReport& report) {
  const auto start = std::chrono::steady_clock::now();
  RunSettings run = settings.run;
  run.inputPath = job.input;
  run.outputPath = job.output;
  run.dsfOutput = settings.dsf;
  std::error_code error;
  const fs::path parent = fs::path(job.output).parent_path();
  if (!parent.empty()) fs::create_directories(parent, error);
  if (!settings.diagnosticsDir.empty()) {
    run.debugDumps = true;
    run.diagnosticsFolder =
        (fs::path(settings.diagnosticsDir) / fs::path(job.output).stem()).string();
    fs::create_directories(run.diagnosticsFolder, error);
  }
  job.offset = run.normalizeOffset;
  const Status status =
      convertFile(run, JobContext{report, threads, designs, &job.offset, &job.warnings});
  status.onFiles(run.inputPath, run.outputPath).report(report);
  job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  job.audioSeconds = report.audioSeconds();
  if (status.ok()) {
    job.outcome = job.offset == settings.run.normalizeOffset ? Outcome::Converted : Outcome::Retried;
  } else {
    job.outcome = status.code() == StatusCode::Clip ? Outcome::Clipped : Outcome::Failed;
    // The reason: the last line on standard error, else on standard output.
    std::string text = report.standardError().empty() ? report.standardOutput()
                                                      : report.standardError();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    job.reason = text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    const std::string named = "pulsemill: " + job.input + ": ";  // the file is named already
    if (job.reason.rfind(named, 0) == 0) job.reason.erase(0, named.size());
    else if (job.reason.rfind("pulsemill: ", 0) == 0) job.reason.erase(0, 11);
  }
}

// On a terminal: one live line per running file and a total line, redrawn
// a few times a second on standard error. Every call holds the console's
// mutex.
class LiveDisplay {
 public:
  LiveDisplay(Report& console, std::size_t files, std::uint64_t bytes)
      : console_(console), files_(files), bytes_(bytes), start_(std::chrono::steady_clock::now()) {}
  void running(std::size_t slot, const Job* job, const JobReport* report) {
    if (slots_.size() <= slot) slots_.resize(slot + 1);
    slots_[slot] = {job, report};
  }
  void finished(const Job& job) {
    ++done_;
    doneBytes_ += job.size;
    doneAudio_ += job.audioSeconds;
  }
  // Removes the drawing, so that a finished file's line goes above it.
  void erase() {
    if (drawn_ > 0) console_.err("\033[%dA\033[J", drawn_);
    drawn_ = 0;
  }
  void draw() {
    erase();
    double bytes = static_cast<double>(doneBytes_), audio = doneAudio_;
    for (const auto& [job, report] : slots_) {
      if (job == nullptr) continue;
      console_.err("  %-50.50s %3.0f%%  %5.1fx\n", job->input.c_str(), 100.0 * report->fraction(),
                   report->speed());
      bytes += report->fraction() * static_cast<double>(job->size);
      audio += report->audioSeconds();
      ++drawn_;
    }
    const double elapsed = seconds();
    const double share = bytes_ > 0 ? bytes / static_cast<double>(bytes_) : 0.0;
    const double eta = share > 0.0 ? elapsed * (1.0 - share) / share : 0.0;
    console_.err("  files %zu/%zu, audio %.0f s, %.1fx real time, ETA %.0f s\n", done_, files_,
                 audio, elapsed > 0 ? audio / elapsed : 0.0, eta);
    ++drawn_;
  }

 private:
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  Report& console_;
  const std::size_t files_;
  const std::uint64_t bytes_;
  const std::chrono::steady_clock::time_point start_;
  std::vector<std::pair<const Job*, const JobReport*>> slots_;
  std::size_t done_ = 0;
  std::uint64_t doneBytes_ = 0;
  double doneAudio_ = 0.0;
  int drawn_ = 0;
};

void printFinished(const BatchSettings& settings, const Job& job, const CapturedReport& report,
                   std::size_t done, std::size_t total, Report& console) {
  if (settings.verbose) console.err("%s", report.both().c_str());
  else console.err("%s", job.warnings.c_str());
  if (settings.quiet && job.outcome != Outcome::Failed) return;
  const char* line = nullptr;
  switch (job.outcome) {
    case Outcome::Converted: line = "converted"; break;
    case Outcome::Retried: line = "converted after a clip"; break;
    case Outcome::Skipped: line = "skipped: exists"; break;
    case Outcome::Clipped: line = "clipped"; break;
    case Outcome::Failed: line = "FAILED"; break;
  }
  console.err("pulsemill: [%zu/%zu] %s -> %s: %s", done, total, job.input.c_str(),
              job.output.c_str(), line);
  if (job.outcome == Outcome::Retried || job.outcome == Outcome::Clipped)
    console.err(" (offset %lld)", static_cast<long long>(job.offset));
  if (job.outcome == Outcome::Failed) console.err(" (%s)", job.reason.c_str());
  if (!job.otherSettings.empty())
    console.err(", made with other settings (%s)", job.otherSettings.c_str());
  if (job.outcome != Outcome::Skipped) console.err(", %.1f s", job.seconds);
  console.err("\n");
}

}  // namespace

int runBatch(const BatchSettings& settings, KernelIsa isa, bool isaForced, Report& console) {
  std::vector<Job> jobs;
  const std::string refusal = collectJobs(settings, console, jobs);
  if (!refusal.empty()) {
    console.err("pulsemill: %s; nothing converted\n", refusal.c_str());
    return 1;
  }
  std::error_code error;
  for (Job& job : jobs) {
    job.size = fs::file_size(job.input, error);
    if (error) job.size = 0;
    if (!settings.force && fs::exists(job.output, error)) {
      job.outcome = Outcome::Skipped;
      if (settings.dsf) job.otherSettings = otherSettings(settings, job);
    }
  }
  // Large files first: the last to finish are the short ones.
  std::stable_sort(jobs.begin(), jobs.end(),
                   [](const Job& a, const Job& b) { return a.size > b.size; });
  std::vector<Job*> pending;
  for (Job& job : jobs)
    if (job.outcome != Outcome::Skipped) pending.push_back(&job);

  const int cores = std::max(1, omp_get_max_threads());
  const int slots = std::max(1, std::min<int>(settings.jobs > 0 ? settings.jobs : cores,
                                              static_cast<int>(std::max<std::size_t>(1, pending.size()))));
  DesignCache designs(isa, isaForced);
  std::mutex consoleMutex;
  std::size_t done = 0;
  for (const Job& job : jobs)
    if (job.outcome == Outcome::Skipped)
      printFinished(settings, job, CapturedReport(), ++done, jobs.size(), console);
  // The cores not in use, shared among the files that start now: a slot
  // that has no file left to start leaves its threads to the others, and
  // the larger files (they start first) take the odd ones.
  int threadsInUse = 0, running = 0;
  auto takeThreads = [&](std::size_t remaining) {
    const int starting = std::max(1, std::min(slots - running, static_cast<int>(remaining)));
    const int budget = std::max(1, (cores - threadsInUse + starting - 1) / starting);
    threadsInUse += budget;
    ++running;
    return budget;
  };

  const auto start = std::chrono::steady_clock::now();
  std::uint64_t totalBytes = 0;
  for (const Job* job : pending) totalBytes += job->size;
  const bool live = !settings.quiet && !settings.verbose && isatty(STDERR_FILENO) != 0;
  LiveDisplay display(console, pending.size(), totalBytes);
  std::atomic<std::size_t> next{0};
  auto worker = [&](std::size_t slot) {
    for (std::size_t i; (i = next.fetch_add(1)) < pending.size();) {
      JobReport report;
      int budget = 1;
      {
        std::lock_guard<std::mutex> lock(consoleMutex);
        display.running(slot, pending[i], &report);
        budget = takeThreads(pending.size() - i);
      }
      convertJob(settings, *pending[i], designs, budget, report);
      std::lock_guard<std::mutex> lock(consoleMutex);
      threadsInUse -= budget;
      --running;
      display.running(slot, nullptr, nullptr);
      display.finished(*pending[i]);
      if (live) display.erase();
      printFinished(settings, *pending[i], report, ++done, jobs.size(), console);
    }
  };
  std::atomic<bool> drawing{live};
  std::thread drawer([&] {
    while (drawing) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      std::lock_guard<std::mutex> lock(consoleMutex);
      if (drawing) display.draw();
    }
  });
  std::vector<std::thread> workers;
  for (int s = 1; s < slots; ++s) workers.emplace_back(worker, static_cast<std::size_t>(s));
  worker(0);
  for (std::thread& t : workers) t.join();
  {
    std::lock_guard<std::mutex> lock(consoleMutex);
    drawing = false;
    display.erase();
  }
  drawer.join();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  int counts[5] = {};
  double audio = 0.0;
  for (const Job& job : jobs) {
    ++counts[static_cast<int>(job.outcome)];
    audio += job.audioSeconds;
  }
  console.err("pulsemill: %zu files: %d converted (%d after a clip), %d skipped, %d clipped, "
              "%d failed; %.1f s of audio in %.1f s (%.1fx real time), %d at a time\n",
              jobs.size(), counts[0] + counts[1], counts[1], counts[2], counts[3], counts[4], audio,
              wall, wall > 0.0 ? audio / wall : 0.0, slots);
  for (const Job& job : jobs) {
    if (job.outcome == Outcome::Retried || job.outcome == Outcome::Clipped)
      console.err("pulsemill: %s: %s (offset %lld)\n",
                  job.outcome == Outcome::Clipped ? "clipped" : "converted after a clip",
                  job.input.c_str(), static_cast<long long>(job.offset));
    if (job.outcome == Outcome::Failed)
      console.err("pulsemill: failed: %s: %s\n", job.input.c_str(), job.reason.c_str());
  }
  console.flush();
  if (counts[static_cast<int>(Outcome::Failed)] > 0) return 1;
  return counts[static_cast<int>(Outcome::Clipped)] > 0 ? 2 : 0;
}

}  // namespace pulsemill
