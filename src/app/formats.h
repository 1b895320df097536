// The file formats in one place: which PCM source reads an input (and how
// its tags are read), and which DSD sink writes an output.
//
// Conventions: an input's format is chosen from its first bytes, read once
// from the stream (never by seeking: it may be a pipe) and, for a regular
// file, once more with pread: FLAC (after an ID3v2 tag too) for libFLAC, a
// DSF or DSDIFF file refused as already DSD, the layouts the WAVE reader
// refuses for FFmpeg (ffmpeg/ffmpeg_source.h), everything else for the
// WAVE reader, which reports its own refusals.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/report.h"
#include "base/status.h"
#include "convert/dsd_sink.h"
#include "convert/pcm_source.h"
#include "tags/tags.h"

namespace pulsemill {

class DsfSink;

enum class InputFormat { Wave, Flac, Ffmpeg };

struct OpenedInput {
  InputFormat format = InputFormat::Wave;
  std::unique_ptr<PcmSource> source;  // set when the header was accepted
  int fd = -1;                        // the input's descriptor, for its tags
  std::int64_t fileSize = -1;         // a regular file's size, -1 for a pipe
};

// Opens `input` (named `path`) by its format, printing its header report on
// `report`. Ok with a source at its first frame; otherwise the format's
// refusal.
Status openInput(const InputFile& input, const std::string& path, Report& report,
                 OpenedInput& opened);

// The tags of an opened input, read from its descriptor (a regular file's)
// by its format's reader.
TagSet readInputTags(const OpenedInput& opened, const std::string& path, Report& report);

// The sink of an output written into `file`: DSF when `dsf`, else DSDIFF.
// setTag gives a DSF sink the tag of the attempts begun from then on (a
// DSDIFF sink carries none).
class OutputSink {
 public:
  OutputSink(bool dsf, OutputFile& file);
  ~OutputSink();
  DsdSink& sink() { return *sink_; }
  bool carriesTags() const { return dsf_ != nullptr; }
  void setTag(std::vector<std::uint8_t> tag);

 private:
  std::unique_ptr<DsdSink> sink_;
  DsfSink* dsf_ = nullptr;  // sink_ when DSF
};

}  // namespace pulsemill
