#include "app/run_driver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/output_sink.h"
#include "base/files.h"
#include "base/interrupt_cleanup.h"
#include "convert/conversion.h"
#include "convert/track_chain.h"
#include "filter/filter_design.h"
#include "resample/interpolator.h"
#include "shaper/rate_shaper.h"
#include "shaper/shaper_design.h"

namespace pulsemill {

namespace {

constexpr int kMaxRetries = 10;

// The largest modulator input the shapers keep stable, in its units
// (decisions +-1): a 1 kHz sine from a float file converts at a peak of
// 0.4456 (-1 dBFS) with every fixed pattern and the rate shaper at DSD64
// and DSD256, and overloads at 0.472 (-0.5 dBFS) with pattern 2 at DSD256
// and the rate shaper at DSD64. The automatic gain aims the peak an
// overloaded attempt saw at it.
constexpr double kStableLevel = 0.47;

}  // namespace

std::string encoderSettings(const RunSettings& settings, std::uint32_t outputRate,
                            std::int64_t offset) {
  char shaper[32];
  if (usesRateShaper(settings))
    std::snprintf(shaper, sizeof shaper, "q%u",
                  rateShaperBand(selectRateShaper(outputRate), outputRate));
  else
    std::snprintf(shaper, sizeof shaper, "p%d", selectShaperPattern(settings.shaperPreset).number);
  char gain[48] = "";
  if (settings.gainDb != 0.0)
    std::snprintf(gain, sizeof gain, " g%g%s", settings.gainDb, settings.autoGain ? " auto" : "");
  char text[256];
  std::snprintf(text, sizeof text, "Pulsemill %s DSD%d %d taps k%g %s n%lld%s%s%s", kPulsemillVersion,
                settings.dsdRate, settings.tapCount, settings.kaiserAlpha, shaper,
                static_cast<long long>(offset), gain, settings.album ? " album" : "",
                settings.alignOutput ? " a" : "");
  return text;
}

double nextAutoGain(double gainDb, double peak, double stableLevel) {
  double next = gainDb - kAutoGainStepDb;
  if (peak > 0.0 && std::isfinite(peak)) {
    const double wanted = gainDb + 20.0 * std::log10(stableLevel / peak);
    next = std::min(next, std::floor(wanted / kAutoGainStepDb) * kAutoGainStepDb);
  }
  return std::max(next, kMinAutoGainDb);
}

namespace {

// The run's output files and their sinks: one, or an album's tracks cut
// from the chain's stream. Created, discarded and committed together.
class RunOutputs {
 public:
  RunOutputs(const RunSettings& settings, const std::vector<TrackOutput>& tracks,
             const TrackEnds* ends)
      : tracks_(tracks) {
    std::vector<DsdSink*> sinks;
    for (const TrackOutput& track : tracks) {
      files_.push_back(std::make_unique<OutputFile>(track.path));
      sinks_.push_back(std::make_unique<OutputSink>(settings.dsfOutput, settings.dsdiffTags, *files_.back()));
      sinks.push_back(&sinks_.back()->sink());
    }
    if (ends != nullptr) split_ = std::make_unique<SplitSink>(sinks, *ends, settings.oversampleRatio);
  }

  DsdSink& sink() { return split_ != nullptr ? *split_ : sinks_.front()->sink(); }
  OutputFile& first() { return *files_.front(); }
  // The track whose sink failed in the last conversion, or kNoTrack.
  std::size_t failedSink() const {
    return split_ != nullptr ? split_->failedTrack() : TrackEnds::kNoTrack;
  }

  // Each track's tags, with the settings of the attempt about to begin.
  void setTags(const std::string& settingsText, Report& report) {
    for (std::size_t k = 0; k < sinks_.size(); ++k)
      if (sinks_[k]->carriesTags() && tracks_[k].tags != nullptr)
        sinks_[k]->setTags(*tracks_[k].tags, renderId3v2Tag(*tracks_[k].tags, settingsText, report));
  }
  Status create(std::size_t& failed) {
    for (std::size_t k = 0; k < files_.size(); ++k) {
      const Status status = files_[k]->create();
      if (!status.ok()) {
        discard();
        failed = k;
        return status;
      }
    }
    return Status();
  }
  bool seekable() const {
    for (const auto& file : files_)
      if (!file->seekable()) return false;
    return true;
  }
  void discard() {
    for (auto& file : files_) file->discard();
  }
  // Every file put in place, or none.
  Status commit(std::size_t& failed) {
    if (files_.size() == 1) return files_.front()->commit();
    std::vector<OutputFile*> files;
    for (auto& file : files_) files.push_back(file.get());
    return OutputFile::commitTogether(files, failed);
  }

 private:
  const std::vector<TrackOutput>& tracks_;
  std::vector<std::unique_ptr<OutputFile>> files_;
  std::vector<std::unique_ptr<OutputSink>> sinks_;
  std::unique_ptr<SplitSink> split_;
};

// A single run (`ends` null, one track) or an album.
Status drive(const RunSettings& settings, PcmSource& source, const Diagnostics& diagnostics,
             const std::vector<TrackOutput>& tracks, const TrackEnds* ends,
             std::size_t& failedTrack, const JobContext& job) {
  const FilterParams filter{source.sampleRate(), settings.oversampleRatio, settings.tapCount,
                            settings.kaiserAlpha, job.threads};
  std::shared_ptr<const PhaseKernel> kernel;
  Status status = job.designs.phaseKernel(filter, diagnostics, kernel);
  if (!status.ok()) return status;
  const std::uint32_t outputRate =
      source.sampleRate() * static_cast<std::uint32_t>(settings.oversampleRatio);
  ShaperCoefficients shaper;
  if (usesRateShaper(settings)) {
    const RateShaper& row = selectRateShaper(outputRate);
    job.report.out("NoiseShaper design for %u Hz, band %u Hz\n\n", outputRate,
                   rateShaperBand(row, outputRate));
    shaper = rateShaperCoefficients(row, diagnostics);
  } else {
    const ShaperPattern& pattern = selectShaperPattern(settings.shaperPreset);
    job.report.out("%s", pattern.line);
    shaper = designShaper(pattern, diagnostics);
  }

  RunOutputs outputs(settings, tracks, ends);
  RunSettings attempt = settings;  // its gain lowered by the automatic gain
  ConversionOptions options{settings.blockFrames, settings.normalizeOffset, job.threads,
                            settings.gainFactor, settings.alignOutput};
  options.cancelled = stopRequested;
  double peak = 0.0;
  if (settings.autoGain) options.modulatorPeak = &peak;
  // The rate shaper has no byte test: its guard restarts a loop gone unstable.
  OverloadGuard guard;
  if (usesRateShaper(settings)) {
    guard = rateShaperGuard(selectRateShaper(outputRate), outputRate);
    options.overloadGuard = &guard;
  }
  std::uint64_t restarts = 0;
  options.modulatorRestarts = &restarts;
  // The next attempt of the automatic gain, at the gain the overload suggests.
  const auto lowerGain = [&] {
    if (job.gain != nullptr && !job.gain->lowered) {
      job.gain->lowered = true;
      job.gain->overloadDb = attempt.gainDb;
    }
    setGain(attempt, nextAutoGain(attempt.gainDb, peak, kStableLevel));
    options.sampleGain = attempt.gainFactor;
  };
  for (int retry = 0;; ++retry) {
    outputs.setTags(encoderSettings(attempt, outputRate, options.normalizeOffset), job.report);
    status = outputs.create(failedTrack);
    if (!status.ok()) return status;
    // An output that cannot seek (a pipe) takes the header's sizes up front,
    // from the input's declared length, and what is sent stays sent.
    const bool streamed = !outputs.seekable();
    if (streamed && outputs.first().isStandardOutput()) job.report.yieldStandardOutput();
    if (streamed && ends != nullptr && tracks.size() > 1) {
      outputs.discard();
      return Status(StatusCode::StreamedOutput)
          .because("an album's tracks are written to files that can seek");
    }
    if (streamed && source.totalFrames() == 0)
      return Status(StatusCode::StreamedOutput)
          .because("the output cannot seek, so its header needs the input's length, which " +
                   settings.inputPath + " does not declare");
    peak = 0.0;
    status = convertStream(source, outputs.sink(), *kernel, shaper, options, job.report);
    if (job.finalOffset != nullptr) *job.finalOffset = options.normalizeOffset;
    if (job.gain != nullptr) job.gain->finalDb = attempt.gainDb;
    if (status.ok()) {
      // The automatic gain prefers a lower gain to restarts, where the
      // input can be read again.
      if (restarts > 0 && settings.autoGain && !streamed && attempt.gainDb > kMinAutoGainDb &&
          source.rewind().ok()) {
        outputs.discard();
        lowerGain();
        continue;
      }
      if (restarts > 0)
        job.report.err("pulsemill: %s: %llu brief overload%s: the modulator restarted and recovered\n",
                       printableName(settings.inputPath).c_str(),
                       static_cast<unsigned long long>(restarts), restarts == 1 ? "" : "s");
      return outputs.commit(failedTrack);
    }
    outputs.discard();
    if (ends != nullptr) failedTrack = outputs.failedSink();
    if (streamed) {
      job.report.err("pulsemill: %s: the bytes already sent are incomplete (an output that cannot "
                     "seek takes no retry)\n", printableName(settings.outputPath).c_str());
      return status;
    }
    // An output error (both channels held low) is an overload too: retried
    // like a clip, with its own line.
    const bool overload = status.code() == StatusCode::Clip || status.code() == StatusCode::DsdOutput;
    if (overload && settings.autoGain) {
      // Again from the start at the gain the overload suggests, down to
      // kMinAutoGainDb; a pipe cannot start again.
      if (attempt.gainDb <= kMinAutoGainDb) return status;
      const Status rewound = source.rewind();
      if (!rewound.ok()) {
        job.report.err("pulsemill: %s: cannot retry at a lower gain from a pipe; give --gain\n",
                       printableName(settings.inputPath).c_str());
        return status;
      }
      lowerGain();
      continue;
    }
    if (!overload || !settings.retryOnClip || retry >= kMaxRetries)
      return status;

    status.report(job.report);
    job.report.out("Retry again to set normalize offset -1 position.\n");
    options.normalizeOffset -= 1;
    status = source.rewind();
    if (!status.ok()) return status;
  }
}

}  // namespace

Status runDriver(const RunSettings& settings, PcmSource& source, const Diagnostics& diagnostics,
                 const TagSet& tags, const JobContext& job) {
  std::size_t failedTrack = TrackEnds::kNoTrack;
  return drive(settings, source, diagnostics, {{settings.outputPath, &tags}}, nullptr, failedTrack,
               job);
}

Status runAlbumDriver(const RunSettings& settings, PcmSource& source, const TrackEnds& ends,
                      const Diagnostics& diagnostics, const std::vector<TrackOutput>& tracks,
                      std::size_t& failedOutput, const JobContext& job) {
  failedOutput = TrackEnds::kNoTrack;
  if (tracks.size() != ends.trackCount())
    return Status(StatusCode::InputRefused)
        .because(std::to_string(ends.trackCount()) + " tracks for " + std::to_string(tracks.size()) +
                 " outputs");
  return drive(settings, source, diagnostics, tracks, &ends, failedOutput, job);
}

}  // namespace pulsemill
