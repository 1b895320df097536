#include "app/job.h"

#include "base/diagnostics.h"
#include "base/files.h"
#include "input/input.h"

namespace pulsemill {

namespace {

// The context's report with the conversion's progress kept: the job's
// result counts the audio converted.
class ProgressKept final : public Report {
 public:
  explicit ProgressKept(Report& target) : target_(target) {}
  void flush() override { target_.flush(); }
  void progress(std::uint64_t frames, std::uint64_t total, std::uint32_t rate) override {
    frames_ = frames;
    rate_ = rate;
    target_.progress(frames, total, rate);
  }
  double audioSeconds() const { return rate_ > 0 ? static_cast<double>(frames_) / rate_ : 0.0; }

 protected:
  void writeOut(const char* text, std::size_t length) override {
    target_.out("%.*s", static_cast<int>(length), text);
  }
  void writeErr(const char* text, std::size_t length) override {
    target_.err("%.*s", static_cast<int>(length), text);
  }

 private:
  Report& target_;
  std::uint64_t frames_ = 0;
  std::uint32_t rate_ = 0;
};

Status convertOpened(const InputFile& input, OpenedInput& opened, const RunSettings& settings,
                     const JobContext& job, JobResult& result) {
  JobPlan plan;
  Status status = planJob(settings, opened.source->sampleRate(), plan);
  if (!plan.warning.empty()) {
    const std::string line = "pulsemill: " + settings.inputPath + ": " + plan.warning + "\n";
    job.report.err("%s", line.c_str());
    result.warnings += line;
  }
  if (!status.ok()) return status;
  const RunSettings& run = plan.settings;
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
  // Tags only go into DSF, and are read from a regular file only: a pipe's
  // bytes belong to the conversion.
  TagSet tags;
  if (run.dsfOutput && input.regularFileSize() >= 0) tags = readInputTags(opened, input, job.report);
  return runDriver(run, *opened.source, diagnostics, tags, job);
}

}  // namespace

Status planJob(const RunSettings& settings, std::uint32_t sampleRate, JobPlan& plan) {
  plan.settings = settings;
  RunSettings& run = plan.settings;
  const RateChoice choice = resolveRunRate(settings, sampleRate, plan.warning);
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
  const JobContext job{report, context.threads, context.designs, &result.finalOffset};
  InputFile input;
  result.status = input.open(settings.inputPath);
  if (!result.status.ok()) return result;
  if (isSameFile(input.stream(), settings.outputPath)) {
    result.status = Status(StatusCode::SameFile, settings.outputPath);
    return result;
  }
  report.out("finename = '%s'\n", settings.inputPath.c_str());
  OpenedInput opened;
  result.status = openInput(input, settings.inputPath, report, opened);
  if (result.status.ok()) result.status = convertOpened(input, opened, settings, job, result);
  result.outputWritten = result.status.ok();
  if (result.outputWritten) result.audioSeconds = report.audioSeconds();
  return result;
}

}  // namespace pulsemill
