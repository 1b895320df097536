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

// Track k of `sheet`: the sheet's texts, what it lacks from the image's
// own tags (its title aside: an image's title names the whole album).
TagSet cueTrackTags(const CueSheet& sheet, std::size_t k, const TagSet& image) {
  TagSet tags = image;
  const CueTrack& track = sheet.tracks[k];
  tags.cueSheet.clear();
  tags.title = track.title;
  const std::string& performer = track.performer.empty() ? sheet.performer : track.performer;
  for (const auto& [field, value] : {std::make_pair(&TagSet::artist, &performer),
                                     std::make_pair(&TagSet::album, &sheet.title),
                                     std::make_pair(&TagSet::date, &sheet.date),
                                     std::make_pair(&TagSet::genre, &sheet.genre)})
    if (!value->empty()) tags.*field = *value;
  if (!sheet.performer.empty() && tags.albumArtist.empty()) tags.albumArtist = sheet.performer;
  tags.track = std::to_string(track.number) + "/" + std::to_string(sheet.tracks.back().number);
  return tags;
}

// Opens every input of an album, checks that it is another file than the
// outputs and at the album's rate (and a sheet's starts inside its
// files), and converts them as one stream.
Status convertAlbum(const RunSettings& settings, const AlbumPlan& album, std::vector<OpenTrack>& open,
                    AlbumResult& result, const JobContext& job) {
  const auto failedInput = [&](std::size_t k) {
    result.inputPath = album.inputs[k];
    if (album.sheet == nullptr) {
      result.failedTrack = k;
      result.failedName = album.inputs[k];
      result.outputPath = album.outputs[k];
    }
  };
  for (std::size_t k = 0; k < album.inputs.size(); ++k) {
    failedInput(k);
    OpenTrack& track = open[k];
    Status status = track.file.open(album.inputs[k]);
    if (!status.ok()) return status;
    for (const std::string& output : album.outputs)
      if (isSameFile(track.file.stream(), output)) return Status(StatusCode::SameFile, output);
    job.report.out("finename = '%s'\n", album.inputs[k].c_str());
    status = openInput(track.file, album.inputs[k], job.report, track.opened);
    if (!status.ok()) return status;
    const std::uint32_t rate = track.opened.source->sampleRate();
    const std::uint32_t albumRate = open[0].opened.source->sampleRate();
    if (rate != albumRate)
      return Status(StatusCode::InputRefused)
          .because("its rate, " + std::to_string(rate) + " Hz, is not the album's " +
                   std::to_string(albumRate) + " Hz");
  }
  result.failedTrack = TrackEnds::kNoTrack;
  result.inputPath = settings.inputPath;
  result.outputPath = album.outputs.front();
  const std::uint32_t rate = open[0].opened.source->sampleRate();
  if (album.sheet != nullptr) {
    std::vector<std::uint64_t> lengths;
    for (const OpenTrack& track : open) lengths.push_back(track.opened.source->totalFrames());
    result.inputPath = album.sheetName;
    Status status = checkCueStarts(*album.sheet, lengths, rate);
    if (!status.ok()) return status;
    result.inputPath = settings.inputPath;
  }
  JobPlan plan;
  Status status = planAndAnnounce(settings, rate, job, plan);
  if (!status.ok()) return status;
  const RunSettings& run = plan.settings;
  const Diagnostics diagnostics = runDiagnostics(run, job.report);
  std::vector<PcmSource*> sources;
  for (std::size_t k = 0; k < open.size(); ++k) {
    failedInput(k);
    status = diagnostics.checkNoneIsInput(open[k].file.stream());
    if (!status.ok()) return status;
    setScale(run, *open[k].opened.source);
    open[k].tags = outputTags(run, open[k].opened, open[k].file, job.report);
    sources.push_back(open[k].opened.source.get());
  }
  ChainedSource chain(sources);
  std::vector<TagSet> sheetTags;
  std::vector<TrackCuts::Start> starts;
  if (album.sheet != nullptr)
    for (std::size_t k = 0; k < album.sheet->tracks.size(); ++k) {
      const CueTrack& track = album.sheet->tracks[k];
      sheetTags.push_back(cueTrackTags(*album.sheet, k, open[track.file].tags));
      starts.push_back({track.file, cueStartSample(*album.sheet, track, rate)});
    }
  std::vector<TrackOutput> outputs;
  for (std::size_t k = 0; k < album.outputs.size(); ++k)
    outputs.push_back({album.outputs[k], album.sheet != nullptr ? &sheetTags[k] : &open[k].tags});
  const TrackCuts cuts(chain, starts);
  const TrackEnds& ends = album.sheet != nullptr ? static_cast<const TrackEnds&>(cuts) : chain;
  // From here a failure is the album's, unless a track's input or output says otherwise.
  std::size_t failedOutput = TrackEnds::kNoTrack;
  result.failedTrack = TrackEnds::kNoTrack;
  result.failedName.clear();
  result.inputPath = settings.inputPath;
  result.outputPath = album.outputs.front();
  status = runAlbumDriver(run, chain, ends, diagnostics, outputs, failedOutput, job);
  if (chain.failedTrack() != TrackEnds::kNoTrack) failedInput(chain.failedTrack());
  if (failedOutput != TrackEnds::kNoTrack) {
    result.failedTrack = failedOutput;
    result.failedName = result.outputPath = album.outputs[failedOutput];
  }
  if (status.ok())
    for (std::size_t k = 0; k < ends.trackCount(); ++k)
      result.trackSeconds.push_back(
          static_cast<double>(ends.trackEnd(k) - (k == 0 ? 0 : ends.trackEnd(k - 1))) / rate);
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

AlbumResult runAlbumJob(const RunSettings& settings, const AlbumPlan& album,
                        const JobContext& context) {
  AlbumResult result;
  result.finalOffset = settings.normalizeOffset;
  ProgressKept report(context.report);
  const JobContext job{report, context.threads, context.designs, &result.finalOffset, &result.gain};
  std::vector<OpenTrack> open(album.inputs.size());
  result.status = convertAlbum(settings, album, open, result, job);
  result.warnings = report.warnings();
  return result;
}

}  // namespace pulsemill
