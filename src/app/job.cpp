#include "app/job.h"

#include "base/diagnostics.h"
#include "base/files.h"
#include "base/report.h"
#include "input/input.h"

namespace pulsemill {

namespace {

// The context's report with what the job's result keeps of it: the
// conversion's progress (the audio converted) and every added line on
// standard error ("pulsemill: ..."), the job's warnings.
class ProgressKept final : public Report {
 public:
  explicit ProgressKept(Report& target) : target_(target) {}
  void flush() override { target_.flush(); }
  void yieldStandardOutput() override { target_.yieldStandardOutput(); }
  void progress(std::uint64_t frames, std::uint64_t total, std::uint32_t rate) override {
    frames_ = frames;
    rate_ = rate;
    target_.progress(frames, total, rate);
  }
  double audioSeconds() const { return rate_ > 0 ? static_cast<double>(frames_) / rate_ : 0.0; }
  const std::string& warnings() const { return warnings_; }

 protected:
  void writeOut(const char* text, std::size_t length) override {
    target_.out("%.*s", static_cast<int>(length), text);
  }
  void writeErr(const char* text, std::size_t length) override {
    target_.err("%.*s", static_cast<int>(length), text);
    line_.append(text, length);
    for (std::size_t end; (end = line_.find('\n')) != std::string::npos; line_.erase(0, end + 1))
      if (line_.rfind("pulsemill: ", 0) == 0) warnings_ += line_.substr(0, end + 1);
  }

 private:
  Report& target_;
  std::string line_;      // standard error's unfinished line
  std::string warnings_;
  std::uint64_t frames_ = 0;
  std::uint32_t rate_ = 0;
};

Status convertOpened(const InputFile& input, OpenedInput& opened, const RunSettings& settings,
                     const JobContext& job) {
  JobPlan plan;
  Status status = planJob(settings, opened.source->sampleRate(), plan);
  if (!plan.warning.empty()) {
    job.report.err("pulsemill: %s: %s\n", printableName(settings.inputPath).c_str(),
                   plan.warning.c_str());
  }
  if (!status.ok()) return status;
  const RunSettings& run = plan.settings;
  // The rate shaper's floor lies below the converter's scale's own
  // asymmetry: it reads every sample on one scale.
  if (run.rateShaper) opened.source->setSampleScale(SampleScale::Symmetric);
  job.report.out("\nDSD%d: Oversample[%d] Sample[%d] Tap[%d] KaiserAlpha[%f]\n", run.dsdRate,
                 run.oversampleRatio, run.blockFrames, run.tapCount, run.kaiserAlpha);

  const Diagnostics diagnostics =
      run.debugDumps ? Diagnostics(run.diagnosticsFolder.empty()
                                       ? formatDebugPrefix(run.dsdRate, run.tapCount)
                                       : run.diagnosticsFolder + "/",
                                   job.report)
                     : Diagnostics();
  status = diagnostics.checkNoneIsInput(input.stream());
  if (!status.ok()) return status;
  // Tags go into DSF and GNU-style DSDIFF outputs, and are read from a
  // regular file only: a pipe's bytes belong to the conversion.
  TagSet tags;
  if ((run.dsfOutput || run.dsdiffTags) && input.regularFileSize() >= 0)
    tags = readInputTags(opened, input, job.report);
  return runDriver(run, *opened.source, diagnostics, tags, job);
}

}  // namespace

Status planJob(const RunSettings& settings, std::uint32_t sampleRate, JobPlan& plan) {
  plan.settings = settings;
  RunSettings& run = plan.settings;
  const RateChoice choice = resolveRunRate(settings, sampleRate, plan.warning);
  // DSD512 asked of a low-rate input may be lowered; it keeps the rate
  // shaper that DSD512 implies (and that the command line said it uses).
  if (usesRateShaper(settings)) run.rateShaper = true;
  run.dsdRate = choice.dsdRate;
  run.oversampleRatio = choice.oversampleRatio;
  run.tapCount = choice.tapCount;
  plan.inputRate = sampleRate;
  plan.outputRate = sampleRate * static_cast<std::uint32_t>(choice.oversampleRatio);
  plan.encoderSettings = encoderSettings(run, plan.outputRate, run.normalizeOffset);
  if (run.positiveGainOnly && run.oversampleRatio + run.normalizeOffset <= 0)
    return Status(StatusCode::BadOption,
                  "--offset " + std::to_string(run.normalizeOffset) + " leaves no gain at ratio " +
                      std::to_string(run.oversampleRatio) + " (ratio + offset must be above 0)");
  return Status();
}

JobResult runJob(const RunSettings& settings, const JobContext& context) {
  JobResult result;
  result.finalOffset = settings.normalizeOffset;
  ProgressKept report(context.report);
  // A DSD stream sent to standard output has it to itself from the start.
  if (isStandardOutputStream(settings.outputPath)) report.yieldStandardOutput();
  const JobContext job{report, context.threads, context.designs, &result.finalOffset, &result.gain};
  InputFile input;
  result.status = input.open(settings.inputPath);
  if (!result.status.ok()) return result;
  if (isSameFile(input.stream(), settings.outputPath)) {
    result.status = Status(StatusCode::SameFile, settings.outputPath);
    return result;
  }
  // "finename" is the system's own spelling of this line, kept on purpose.
  report.out("finename = '%s'\n", settings.inputPath.c_str());
  OpenedInput opened;
  result.status = openInput(input, settings.inputPath, report, opened);
  if (result.status.ok()) result.status = convertOpened(input, opened, settings, job);
  result.warnings = report.warnings();
  if (result.outputWritten()) result.audioSeconds = report.audioSeconds();
  return result;
}

}  // namespace pulsemill
