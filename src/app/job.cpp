#include "app/job.h"

#include "base/diagnostics.h"
#include "base/files.h"
#include "base/report.h"
#include "convert/track_chain.h"
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

// The job planned for an input at `sampleRate` Hz, its rate choice's
// warning and its parameter line printed.
Status planAndAnnounce(const RunSettings& settings, std::uint32_t sampleRate, const JobContext& job,
                       JobPlan& plan) {
  Status status = planJob(settings, sampleRate, plan);
  if (!plan.warning.empty()) {
    job.report.err("pulsemill: %s: %s\n", printableName(settings.inputPath).c_str(),
                   plan.warning.c_str());
  }
  if (!status.ok()) return status;
  const RunSettings& run = plan.settings;
  job.report.out("\nDSD%d: Oversample[%d] Sample[%d] Tap[%d] KaiserAlpha[%f]\n", run.dsdRate,
                 run.oversampleRatio, run.blockFrames, run.tapCount, run.kaiserAlpha);
  return Status();
}

Diagnostics runDiagnostics(const RunSettings& run, Report& report) {
  return run.debugDumps ? Diagnostics(run.diagnosticsFolder.empty()
                                          ? formatDebugPrefix(run.dsdRate, run.tapCount)
                                          : run.diagnosticsFolder + "/",
                                      report)
                        : Diagnostics();
}

// The rate shaper's floor lies below the converter's scale's own
// asymmetry: it reads every sample on one scale.
void setScale(const RunSettings& run, PcmSource& source) {
  if (run.rateShaper) source.setSampleScale(SampleScale::Symmetric);
}

// Tags go into DSF and GNU-style DSDIFF outputs, and are read from a
// regular file only: a pipe's bytes belong to the conversion.
TagSet outputTags(const RunSettings& run, const OpenedInput& opened, const InputFile& input,
                  Report& report) {
  if ((run.dsfOutput || run.dsdiffTags) && input.regularFileSize() >= 0)
    return readInputTags(opened, input, report);
  return TagSet();
}

Status convertOpened(const InputFile& input, OpenedInput& opened, const RunSettings& settings,
                     const JobContext& job) {
  JobPlan plan;
  Status status = planAndAnnounce(settings, opened.source->sampleRate(), job, plan);
  if (!status.ok()) return status;
  const RunSettings& run = plan.settings;
  setScale(run, *opened.source);
  const Diagnostics diagnostics = runDiagnostics(run, job.report);
  status = diagnostics.checkNoneIsInput(input.stream());
  if (!status.ok()) return status;
  const TagSet tags = outputTags(run, opened, input, job.report);
  return runDriver(run, *opened.source, diagnostics, tags, job);
}

// One album track's input, open.
struct OpenTrack {
  InputFile file;
  OpenedInput opened;
  TagSet tags;
};

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

// Opens every track of an album, checks that it is another file than its
// output and at the album's rate, and converts them as one stream.
Status convertAlbum(const RunSettings& settings, const std::vector<AlbumTrack>& tracks,
                    std::vector<OpenTrack>& open, std::size_t& failedTrack,
                    std::vector<double>& trackSeconds, const JobContext& job) {
  for (std::size_t k = 0; k < tracks.size(); ++k) {
    failedTrack = k;
    OpenTrack& track = open[k];
    Status status = track.file.open(tracks[k].input);
    if (!status.ok()) return status;
    if (isSameFile(track.file.stream(), tracks[k].output))
      return Status(StatusCode::SameFile, tracks[k].output);
    job.report.out("finename = '%s'\n", tracks[k].input.c_str());
    status = openInput(track.file, tracks[k].input, job.report, track.opened);
    if (!status.ok()) return status;
    const std::uint32_t rate = track.opened.source->sampleRate();
    const std::uint32_t albumRate = open[0].opened.source->sampleRate();
    if (rate != albumRate)
      return Status(StatusCode::InputRefused)
          .because("its rate, " + std::to_string(rate) + " Hz, is not the album's " +
                   std::to_string(albumRate) + " Hz");
  }
  failedTrack = ChainedSource::kNoTrack;
  JobPlan plan;
  Status status = planAndAnnounce(settings, open[0].opened.source->sampleRate(), job, plan);
  if (!status.ok()) return status;
  const RunSettings& run = plan.settings;
  const Diagnostics diagnostics = runDiagnostics(run, job.report);
  std::vector<PcmSource*> sources;
  std::vector<TrackOutput> outputs;
  for (std::size_t k = 0; k < tracks.size(); ++k) {
    failedTrack = k;
    status = diagnostics.checkNoneIsInput(open[k].file.stream());
    if (!status.ok()) return status;
    setScale(run, *open[k].opened.source);
    open[k].tags = outputTags(run, open[k].opened, open[k].file, job.report);
    sources.push_back(open[k].opened.source.get());
    outputs.push_back({tracks[k].output, &open[k].tags});
  }
  ChainedSource chain(sources);
  status = runAlbumDriver(run, chain, diagnostics, outputs, failedTrack, job);
  if (status.ok())
    for (std::size_t k = 0; k < tracks.size(); ++k)
      trackSeconds.push_back(static_cast<double>(chain.trackEnd(k) - (k == 0 ? 0 : chain.trackEnd(k - 1))) /
                             chain.sampleRate());
  return status;
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

AlbumResult runAlbumJob(const RunSettings& settings, const std::vector<AlbumTrack>& tracks,
                        const JobContext& context) {
  AlbumResult result;
  result.finalOffset = settings.normalizeOffset;
  ProgressKept report(context.report);
  const JobContext job{report, context.threads, context.designs, &result.finalOffset, &result.gain};
  std::vector<OpenTrack> open(tracks.size());
  result.status = convertAlbum(settings, tracks, open, result.failedTrack, result.trackSeconds, job);
  result.warnings = report.warnings();
  return result;
}

}  // namespace pulsemill
