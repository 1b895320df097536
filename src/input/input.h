// Every input, probed once and opened once: one table of the formats this
// converter knows (how each is recognised, named, found by a folder walk,
// decoded and tagged) and the probe that picks a row.
//
// Conventions: the input is the one open file of an InputFile; nothing here
// or below opens it again by name, and a name is never handed to a library
// that could read it as a URL. The probe reads the first bytes from the
// stream (so a pipe works: the WAVE reader and libFLAC go on from there) and,
// for a regular file, the header and chunk index with pread, once. Offsets
// and sizes count bytes from the start of the file. Refusals are statuses
// (base/status.h): a RIFF/WAVE file keeps the WAVE reader's lines and gets a
// reason naming what it holds; any other file the probe can name gets only
// that reason (InputRefused, "pulsemill: FILE: MP3 audio is lossy: not
// converted").
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/report.h"
#include "base/status.h"
#include "convert/pcm_source.h"
#include "cue/cue_sheet.h"
#include "tags/tags.h"

namespace pulsemill {

struct InputFormat;  // a row of the table (input.cpp)
class FfmpegSource;

// What the probe found, for the row's source and tag reader.
struct InputProbe {
  std::vector<std::uint8_t> head;  // the first bytes (up to 64), after a leading ID3v2 tag
  std::uint64_t headOffset = 0;    // of head[0]: the leading ID3v2 tag's size, else 0
  std::int64_t fileSize = -1;      // -1: a pipe, FIFO or device
  // A chunked container's audio (RIFF, RF64/BW64, Wave64, CAF; regular files).
  std::int64_t dataOffset = -1;    // first byte of the data chunk's body; -1: none found
  std::int64_t dataBytes = -1;     // its declared size; -1: not declared (streamed)
  std::int64_t validFrames = -1;   // CAF's packet table: frames declared valid; -1: none
  std::uint64_t packets = 0;       // CAF's packet table: its packets; 0: no table
  std::uint32_t framesPerPacket = 0;  // CAF's description: 0 when packets vary
  bool packetTableAddsUp = true;   // CAF: priming + valid + remainder = packets x frames
  unsigned formatTag = 0;          // RIFF: the fmt chunk's tag (an extensible one's subformat)
  std::uint64_t audioEnd = 0;      // the file without trailing tags FFmpeg cannot skip
};

struct OpenedInput {
  const InputFormat* format = nullptr;  // the row that reads it
  InputProbe probe;
  std::unique_ptr<PcmSource> source;    // set when the header was accepted
  FfmpegSource* ffmpeg = nullptr;       // `source` when FFmpeg decodes it
};

// Probes `input` (named `path` in messages), prints its header report on
// `report` and opens its source. Ok with a source at its first frame;
// otherwise the refusal (with nothing printed but the report so far).
Status openInput(const InputFile& input, const std::string& path, Report& report,
                 OpenedInput& opened);

// The tags of an opened regular file, by its row's reader, from the same
// descriptor.
TagSet readInputTags(const OpenedInput& opened, const InputFile& input, Report& report);

// The CUE sheet an opened file carries: the text of its CUESHEET tag
// (`tags.cueSheet`, one FILE: the file itself), else a FLAC file's
// CUESHEET block (starts in samples, no texts). `found` is false when it
// carries none; a sheet that is found but malformed is refused
// (InputRefused, its reason naming the line or the block's track).
Status embeddedCueSheet(const OpenedInput& opened, const TagSet& tags, CueSheet& sheet, bool& found);

// True when a file name's extension (any case: ".wav", ".FLAC") is one a
// folder walk takes: the extensions of every format the table converts.
bool isInputExtension(const std::string& extension);

}  // namespace pulsemill
