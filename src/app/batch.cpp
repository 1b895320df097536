#include "app/batch.h"

#include <fcntl.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "app/batch_plan.h"
#include "app/design_cache.h"
#include "app/job.h"
#include "base/files.h"
#include "dsdiff/dsdiff_check.h"
#include "dsf/dsf_check.h"
#include "input/input.h"
#include "tags/encoder_settings.h"

namespace pulsemill {

namespace fs = std::filesystem;

namespace {

// A folder walk takes the files of the input formats' extensions (any case).
bool isInputName(const fs::path& path) { return isInputExtension(path.extension().string()); }

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

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// What an output name is, whatever path reaches it: the device and inode
// of its nearest existing folder, then the rest of the path in lower case
// (names that differ only in case collide: a FAT stick folds them).
std::string outputIdentity(const std::string& output) {
  fs::path folder = fs::path(output).parent_path();
  std::string rest = "/" + lowerCase(fs::path(output).filename().string());
  struct stat st;
  while (stat(folder.empty() ? "." : folder.c_str(), &st) != 0 && !folder.empty()) {
    rest = "/" + lowerCase(folder.filename().string()) + rest;
    folder = folder.parent_path();
  }
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + rest;
}

// The folder `root` walked for the input formats, in name order; a folder
// that cannot be read is a failed job of its own, and the walk goes on.
void walkFolder(const BatchSettings& settings, const fs::path& root, const fs::path& folder,
                Report& console, std::vector<Job>& jobs) {
  std::error_code error;
  std::vector<fs::path> files, folders;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code kind;
    if (it->is_directory(kind)) folders.push_back(it->path());
    else if (it->is_regular_file(kind) && isInputName(it->path())) files.push_back(it->path());
    else if (settings.verbose)
      console.err("pulsemill: skipped %s (not an input format)\n", shown(it->path().string()).c_str());
  }
  if (error) {
    jobs.emplace_back(folder.string(), std::string(), std::string());
    jobs.back().reason = error.message();
    return;
  }
  std::sort(files.begin(), files.end());
  std::sort(folders.begin(), folders.end());
  for (const fs::path& path : files) {
    jobs.emplace_back(path.string(), outputName(settings, path, root, true),
                      path.lexically_relative(root).replace_extension().string());
    jobs.back().folder = folder.string();
  }
  for (const fs::path& sub : folders) walkFolder(settings, root, sub, console, jobs);
}

// The jobs of every INPUT: each input once (the same file reached twice is
// converted once), and a failed job for each folder that cannot be read.
// The warning of an INPUT folder without input files.
void collectJobs(const BatchSettings& settings, Report& console, std::vector<Job>& jobs,
                 bool& emptyFolder) {
  for (const std::string& given : settings.inputs) {
    std::error_code error;
    const fs::path root(given);
    if (!fs::is_directory(root, error)) {
      jobs.emplace_back(given, outputName(settings, root, root, false),
                        fs::path(given).filename().replace_extension().string());
      continue;
    }
    const std::size_t before = jobs.size();
    walkFolder(settings, root, root, console, jobs);
    if (jobs.size() == before) {
      console.err("pulsemill: %s: no input files in it\n", shown(given).c_str());
      emptyFolder = true;
    }
  }
  std::set<std::pair<dev_t, ino_t>> inputs;
  std::vector<Job> kept;
  for (Job& job : jobs) {
    struct stat st;
    if (!job.output.empty() && stat(job.input.c_str(), &st) == 0 &&
        !inputs.insert({st.st_dev, st.st_ino}).second) {
      if (settings.verbose) console.err("pulsemill: %s: given twice, converted once\n", shown(job.input).c_str());
      continue;
    }
    kept.push_back(std::move(job));
  }
  jobs = std::move(kept);
}

// A failed job for each one whose output another one writes too (the
// first keeps it; an image's tracks count each); then every job without a
// reason is planned.
void refuseSharedOutputs(std::vector<Job>& jobs) {
  std::map<std::string, const Job*> outputs;  // identity -> the job that writes it
  for (Job& job : jobs) {
    if (job.output.empty() || !job.reason.empty()) continue;  // a folder that could not be read
    const auto [at, fresh] = outputs.emplace(outputIdentity(job.output), &job);
    if (fresh) continue;
    job.reason = "would write the same output as " + at->second->input;
  }
  for (Job& job : jobs) job.planned = job.reason.empty();
}

// What stands at `job`'s output before the batch writes it: nothing (or a
// device or FIFO, written as any output is) to convert; a folder or other
// file in the way, a failure; a damaged DSF or DSDIFF file, converted again
// with a line saying what is wrong with it; a whole one, skipped, listed
// with its settings when they are not this batch's (the offset aside when
// a retry may have lowered it). The input is opened only when it is a
// regular file, to plan it: a FIFO's stream belongs to its conversion.
void resumeCheck(const BatchSettings& settings, Job& job, Report& console) {
  struct stat out;
  if (stat(job.output.c_str(), &out) != 0 || S_ISCHR(out.st_mode) || S_ISFIFO(out.st_mode)) return;
  if (!S_ISREG(out.st_mode)) {
    job.planned = false;
    job.reason = std::string(S_ISDIR(out.st_mode) ? "a folder" : "a file that is not a regular file") +
                 " is in the way at " + job.output;
    return;
  }
  // One open of the output: its structure, then the settings in its tag.
  const int fd = open(job.output.c_str(), O_RDONLY | O_CLOEXEC);
  const auto size = static_cast<std::uint64_t>(out.st_size);
  DsdFileCheck check;
  std::string made;
  if (fd < 0) {
    check.damage = systemReason();
  } else {
    std::uint64_t tagOffset = 0;
    check = settings.dsf ? checkDsfFile(fd, size, tagOffset) : checkDsdiffFile(fd, size, tagOffset);
    made = readEncoderSettings(fd, size, tagOffset);
    close(fd);
  }
  if (check.damage.empty()) {
    JobPlan plan;
    // An image's track is cut from one aligned stream, as an album's.
    RunSettings run = settings.run;
    if (job.sheet != nullptr) run.album = run.alignOutput = true;
    const InputFacts& facts = probeInput(job.input, job.facts, false);
    if (facts.readable && planJob(run, facts.rate, plan).ok()) {
      // Whole at its own rate: the input's (or track's) frames times the file's ratio.
      const std::uint64_t frames = facts.frames;
      const std::uint64_t wanted = frames * (check.sampleRate / plan.inputRate);
      if (frames != 0 && check.samplesPerChannel != 0 && check.sampleRate % plan.inputRate == 0 &&
          check.samplesPerChannel != wanted)
        check.damage = "it holds " + std::to_string(check.samplesPerChannel) + " samples per channel of " +
                       std::to_string(wanted);
      // A field " <letter>..." left out of a TSSE text (the offset a retry
      // may lower, a gain the automatic gain chose).
      const auto without = [](std::string text, const char* field) {
        const std::size_t at = text.rfind(field);
        if (at == std::string::npos) return text;
        const std::size_t end = text.find(' ', at + 1);
        return text.erase(at, end == std::string::npos ? std::string::npos : end - at);
      };
      const auto comparable = [&](std::string text) {
        if (settings.run.retryOnClip) text = without(text, " n");
        // Both automatic: the gain each file needed is the file's own.
        if (settings.run.autoGain && text.find(" auto") != std::string::npos)
          text = without(without(text, " auto"), " g");
        return text;
      };
      // A DSDIFF file without a tag (a slash-grammar run's, say) can only
      // be compared by its rate.
      const bool untagged = !settings.dsf && made.empty();
      if (untagged && check.sampleRate != plan.outputRate)
        job.otherSettings = "DSD rate " + std::to_string(check.sampleRate) + " Hz";
      else if (!untagged && made.rfind("Pulsemill ", 0) != 0)
        job.otherSettings = kOtherProgram;
      else if (!untagged && comparable(made) != comparable(plan.encoderSettings))
        job.otherSettings = made;
    }
  }
  if (!check.damage.empty()) {
    console.err("pulsemill: %s: damaged (%s): converted again\n", shown(job.output).c_str(),
                check.damage.c_str());
    job.otherSettings.clear();
    return;
  }
  job.planned = false;
  job.outcome = Outcome::Skipped;
}

// A finished run's outcome: converted (at a lower gain, or after a clip
// lowered the offset), clipped or failed.
Outcome outcomeOf(const BatchSettings& settings, const Status& status, const GainOutcome& gain,
                  std::int64_t offset) {
  if (!status.ok()) return status.code() == StatusCode::Clip ? Outcome::Clipped : Outcome::Failed;
  return gain.lowered ? Outcome::Lowered
         : offset == settings.run.normalizeOffset ? Outcome::Converted
                                                  : Outcome::Retried;
}

// A failure's last line as the reason its file's line shows: without
// "pulsemill: " and the name `named`, which the line gives already.
std::string reasonOf(const Status& status, const std::string& named) {
  std::string reason = status.lastLine();
  const std::string prefix = "pulsemill: " + shown(named) + ": ";
  if (reason.rfind(prefix, 0) == 0) reason.erase(0, prefix.size());
  else if (reason.rfind("pulsemill: ", 0) == 0) reason.erase(0, 11);
  return reason;
}

// The run's settings for outputs in `outputs` (their folders made) and,
// with --diagnostics, its files under DIR/`relative`.
RunSettings runSettings(const BatchSettings& settings, const std::vector<const Job*>& outputs,
                        const std::string& relative) {
  RunSettings run = settings.run;
  run.dsfOutput = settings.dsf;
  std::error_code error;
  for (const Job* job : outputs) {
    const fs::path parent = fs::path(job->output).parent_path();
    if (!parent.empty()) fs::create_directories(parent, error);
  }
  if (!settings.diagnosticsDir.empty()) {
    run.debugDumps = true;
    run.diagnosticsFolder = (fs::path(settings.diagnosticsDir) / relative).string();
    fs::create_directories(run.diagnosticsFolder, error);
  }
  return run;
}

// One file, start to end, its console lines in its own report.
void convertJob(const BatchSettings& settings, Job& job, DesignCache& designs, int threads,
                JobReport& report) {
  const auto start = std::chrono::steady_clock::now();
  RunSettings run = runSettings(settings, {&job}, job.relative);
  run.inputPath = job.input;
  run.outputPath = job.output;
  const JobResult result = runJob(run, JobContext{report, threads, designs});
  const Status status = result.status.onFiles(run.inputPath, run.outputPath);
  status.report(report);
  job.offset = result.finalOffset;
  job.gain = result.gain;
  job.warnings = result.warnings;
  job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  job.audioSeconds = result.audioSeconds;
  job.outcome = outcomeOf(settings, status, result.gain, job.offset);
  if (!status.ok()) job.reason = reasonOf(status, job.input);
}

// An album, start to end: every track's job gets the album's outcome; a
// failure names the track it concerns on that track and the others.
void convertAlbum(const BatchSettings& settings, Unit& unit, DesignCache& designs, int threads,
                  JobReport& report) {
  const auto start = std::chrono::steady_clock::now();
  // An image's folder, made for its tracks, goes again when they fail.
  const fs::path folder = fs::path(unit.jobs.front()->output).parent_path();
  std::error_code error;
  const bool folderMade = unit.sheet != nullptr && !folder.empty() && !fs::exists(folder, error);
  RunSettings run = runSettings(settings, {unit.jobs.begin(), unit.jobs.end()},
                                unit.jobs.front()->relative);
  run.inputPath = unit.album;
  run.album = run.alignOutput = true;  // an image's tracks too
  AlbumPlan plan;
  for (const Job* job : unit.jobs) {
    if (unit.sheet == nullptr) plan.inputs.push_back(job->input);
    plan.outputs.push_back(job->output);
  }
  if (unit.sheet != nullptr) {
    plan.inputs = unit.sheet->files;
    plan.sheet = &unit.sheet->sheet;
    plan.sheetName = unit.sheet->name;
  }
  const AlbumResult result = runAlbumJob(run, plan, JobContext{report, threads, designs});
  const Status status = result.status.onFiles(result.inputPath, result.outputPath);
  status.report(report);
  if (!status.ok() && folderMade) fs::remove(folder, error);  // only when empty
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  unit.gainDb = result.gain.finalDb;
  const bool oneTrack = result.failedTrack < unit.jobs.size();  // a failure of one track's
  const std::string reason = reasonOf(status, oneTrack ? result.inputPath : std::string());
  for (std::size_t k = 0; k < unit.jobs.size(); ++k) {
    Job& job = *unit.jobs[k];
    job.offset = result.finalOffset;
    job.gain = result.gain;
    job.warnings = k == 0 ? result.warnings : std::string();
    job.seconds = k + 1 == unit.jobs.size() ? seconds : 0.0;  // the album's time, on its last line
    job.outcome = outcomeOf(settings, status, result.gain, job.offset);
    if (status.ok()) job.audioSeconds = result.trackSeconds.at(k);
    else if (oneTrack && k != result.failedTrack)
      job.reason = "album not converted: " + shown(result.failedName) + " failed";
    else
      job.reason = reason;
  }
}

// On a terminal: one live line per running file and a total line, redrawn
// a few times a second on standard error. Every call holds the console's
// mutex.
class LiveDisplay {
 public:
  LiveDisplay(Report& console, std::size_t files, std::uint64_t bytes)
      : console_(console), files_(files), bytes_(bytes), start_(std::chrono::steady_clock::now()) {}
  // `unit` running in `slot` (nullptr: none).
  void running(std::size_t slot, const Unit* unit, const JobReport* report) {
    if (slots_.size() <= slot) slots_.resize(slot + 1);
    slots_[slot] = {unit, report};
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
    for (const auto& [unit, report] : slots_) {
      if (unit == nullptr) continue;
      const std::string name = unit->album.empty() ? unit->jobs.front()->input : unit->album;
      console_.err("  %-50.50s %3.0f%%  %5.1fx\n", shown(name).c_str(), 100.0 * report->fraction(),
                   report->speed());
      bytes += report->fraction() * static_cast<double>(unit->size());
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
  std::vector<std::pair<const Unit*, const JobReport*>> slots_;
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
  char lowered[64];
  std::snprintf(lowered, sizeof lowered, job.outcome == Outcome::Lowered
                                             ? "converted at %g dB (overload at %g dB)"
                                             : "clipped at %g dB",
                job.gain.finalDb, job.gain.overloadDb);
  switch (job.outcome) {
    case Outcome::Converted: line = "converted"; break;
    case Outcome::Retried: line = "converted after a clip"; break;
    case Outcome::Lowered: line = lowered; break;
    case Outcome::Skipped: line = "skipped: exists"; break;
    case Outcome::Clipped: line = job.gain.lowered ? lowered : "clipped"; break;
    case Outcome::Failed: line = "FAILED"; break;
  }
  if (job.output.empty())  // a folder that could not be read
    console.err("pulsemill: [%zu/%zu] %s: %s", done, total, shown(job.input).c_str(), line);
  else
    console.err("pulsemill: [%zu/%zu] %s -> %s: %s", done, total, shown(job.input).c_str(),
                shown(job.output).c_str(), line);
  if (job.outcome == Outcome::Retried || (job.outcome == Outcome::Clipped && !job.gain.lowered))
    console.err(" (offset %lld)", static_cast<long long>(job.offset));
  if (job.outcome == Outcome::Failed) console.err(" (%s)", shown(job.reason).c_str());
  if (job.otherSettings == kOtherProgram)
    console.err(", made by another program");
  else if (!job.otherSettings.empty())
    console.err(", made with other settings (%s)", shown(job.otherSettings).c_str());
  if (job.outcome != Outcome::Skipped && job.seconds > 0.0) console.err(", %.1f s", job.seconds);
  console.err("\n");
}

// The summary's line for a file (or album) `name` that converted at a
// lower gain or after a clip, or clipped.
void printGainLine(const Job& job, const std::string& name, Report& console) {
  if (job.outcome == Outcome::Lowered)
    console.err("pulsemill: converted at %g dB: %s\n", job.gain.finalDb, name.c_str());
  if (job.outcome == Outcome::Clipped && job.gain.lowered)
    console.err("pulsemill: clipped at %g dB: %s\n", job.gain.finalDb, name.c_str());
  else if (job.outcome == Outcome::Retried || job.outcome == Outcome::Clipped)
    console.err("pulsemill: %s: %s (offset %lld)\n",
                job.outcome == Outcome::Clipped ? "clipped" : "converted after a clip", name.c_str(),
                static_cast<long long>(job.offset));
}

}  // namespace

int runBatch(const BatchSettings& settings, KernelIsa isa, bool isaForced, Report& console) {
  raiseOpenFileLimit();
  std::vector<Job> jobs;
  bool emptyFolder = false;
  collectJobs(settings, console, jobs, emptyFolder);
  if (jobs.empty()) {
    if (!emptyFolder) console.err("pulsemill: no input file given\n");
    return 1;
  }
  applyCueSheets(settings, jobs, console);
  refuseSharedOutputs(jobs);
  std::error_code error;
  for (Job& job : jobs) {
    job.size = fs::file_size(job.input, error);
    if (error) job.size = 0;
    if (job.planned && !settings.force) resumeCheck(settings, job, console);
  }
  std::vector<Unit> units = formUnits(settings, jobs, console);
  // Large units first: the last to finish are the short ones.
  std::stable_sort(units.begin(), units.end(),
                   [](const Unit& a, const Unit& b) { return a.size() > b.size(); });
  std::vector<Unit*> pending;
  std::size_t pendingFiles = 0;
  for (Unit& unit : units)
    if (unit.jobs.front()->planned) {
      pending.push_back(&unit);
      pendingFiles += unit.jobs.size();
    }

  const int cores = std::max(1, omp_get_max_threads());
  const int slots = std::max(1, std::min<int>(settings.jobs > 0 ? settings.jobs : cores,
                                              static_cast<int>(std::max<std::size_t>(1, pending.size()))));
  DesignCache designs(isa, isaForced);
  std::mutex consoleMutex;
  std::size_t done = 0;
  for (const Unit& unit : units)
    for (const Job* job : unit.jobs)
      if (!job->planned) printFinished(settings, *job, CapturedReport(), ++done, jobs.size(), console);
  // The cores not in use, shared among the units that start now: a slot
  // that has no unit left to start leaves its threads to the others, and
  // the larger units (they start first) take the odd ones.
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
  for (const Unit* unit : pending) totalBytes += unit->size();
  const bool live = !settings.quiet && !settings.verbose && isatty(STDERR_FILENO) != 0;
  LiveDisplay display(console, pendingFiles, totalBytes);
  std::atomic<std::size_t> next{0};
  auto worker = [&](std::size_t slot) {
    for (std::size_t i; (i = next.fetch_add(1)) < pending.size();) {
      Unit& unit = *pending[i];
      JobReport report;
      int budget = 1;
      {
        std::lock_guard<std::mutex> lock(consoleMutex);
        display.running(slot, &unit, &report);
        budget = takeThreads(pending.size() - i);
      }
      if (unit.album.empty()) convertJob(settings, *unit.jobs.front(), designs, budget, report);
      else convertAlbum(settings, unit, designs, budget, report);
      std::lock_guard<std::mutex> lock(consoleMutex);
      threadsInUse -= budget;
      --running;
      display.running(slot, nullptr, nullptr);
      if (live) display.erase();
      // An album's whole report goes with its first track (--verbose).
      const CapturedReport none;
      for (const Job* job : unit.jobs) {
        display.finished(*job);
        printFinished(settings, *job, job == unit.jobs.front() ? report : none, ++done, jobs.size(),
                      console);
      }
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

  int counts[6] = {};
  double audio = 0.0;
  for (const Job& job : jobs) {
    ++counts[static_cast<int>(job.outcome)];
    audio += job.audioSeconds;
  }
  std::size_t albums = 0, tracks = 0;
  for (const Unit& unit : units)
    if (!unit.album.empty()) {
      ++albums;
      tracks += unit.jobs.size();
    }
  char grouped[64] = "";
  if (albums > 0)
    std::snprintf(grouped, sizeof grouped, " (%zu in %zu album%s)", tracks, albums, albums == 1 ? "" : "s");
  console.err("pulsemill: %zu files%s: %d converted (%d after a clip, %d at a lower gain), %d skipped, "
              "%d clipped, %d failed; %.1f s of audio in %.1f s (%.1fx real time), %d at a time\n",
              jobs.size(), grouped, counts[0] + counts[1] + counts[5], counts[1], counts[5], counts[2],
              counts[3], counts[4], audio, wall, wall > 0.0 ? audio / wall : 0.0, slots);
  // What the gain or a retry did, once per file or album; each failure.
  for (const Job& job : jobs) {
    if (!job.inAlbum) printGainLine(job, shown(job.input), console);
    if (job.outcome == Outcome::Failed)
      console.err("pulsemill: failed: %s: %s\n", shown(job.input).c_str(),
                  shown(job.reason).c_str());
  }
  for (const Unit& unit : units) {
    if (unit.album.empty()) continue;
    const Job& first = *unit.jobs.front();
    printGainLine(first, "album " + shown(unit.album), console);
    if (first.outcome == Outcome::Converted || first.outcome == Outcome::Lowered ||
        first.outcome == Outcome::Retried)
      console.err("pulsemill: album %s: %zu track%s at %g dB\n", shown(unit.album).c_str(),
                  unit.jobs.size(), unit.jobs.size() == 1 ? "" : "s", unit.gainDb);
  }
  console.flush();
  if (counts[static_cast<int>(Outcome::Failed)] > 0 || emptyFolder) return 1;
  return counts[static_cast<int>(Outcome::Clipped)] > 0 ? 2 : 0;
}

}  // namespace pulsemill
