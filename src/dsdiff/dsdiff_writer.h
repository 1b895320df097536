// DSDIFF output: the fixed 130-byte header, its two size fields, and the
// DSD sink that writes a whole file, untagged or with its tags in two chunks.
//
// Conventions: all numbers big-endian; chunk sizes are unsigned 64-bit and
// count the bytes after the chunk's 12-byte ID and size, without the pad
// byte that follows a chunk of odd size (the form size counts it). An
// untagged file is the 130-byte header and the sound data. A tagged one has
// a "DIIN" chunk (title "DITI" and artist "DIAR", each a 32-bit count and
// the text) between "PROP" and the sound chunk, read by FFmpeg and players,
// and an "ID3 " chunk (an ID3v2 tag) after the sound chunk, read by tag
// editors and library software. The sound data is
// the core's stream as it stands: interleaved left/right bytes, earliest
// sample in the most significant bit. A failed write of a header field or a
// size is WriteFatal (with the stream position), a failed write of sound
// data DsdWrite.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/status.h"
#include "convert/dsd_sink.h"

namespace pulsemill {

constexpr int kDsdiffHeaderSize = 130;        // header bytes before the sound data
constexpr std::uint64_t kDsdiffFormOverhead = 118;  // form content ahead of the data

// The header with both sizes 0 and `dsdSampleRate` (Hz) at offset 60.
void fillDsdiffHeader(std::uint8_t header[kDsdiffHeaderSize],
                      std::uint32_t dsdSampleRate);

// Writes the header at the stream's start; leaves the stream at offset 130.
Status writeDsdiffHeader(std::FILE* out, std::uint32_t dsdSampleRate);

// Rewrites the form size (dataBytes + 118) at offset 4 and the sound data
// size at offset 122; leaves the stream at offset 130. A failed seek (a
// pipe) or write is WriteFatal.
Status patchDsdiffSizes(std::FILE* out, std::uint64_t dataBytes);

// What a tagged file carries besides its sound. Nothing at all: the
// untagged file.
struct DsdiffTags {
  std::string title;              // UTF-8, < 4 GiB, into "DITI"; empty: no such chunk
  std::string artist;             // UTF-8, < 4 GiB, into "DIAR"; empty: no such chunk
  std::vector<std::uint8_t> id3;  // an ID3v2 tag, into "ID3 "; empty: no such chunk
};

// The DSDIFF sink: the header (with the "DIIN" chunk) at begin(), the bytes
// as they come, the "ID3 " chunk, the sizes patched and the stream flushed
// at finish(). On a file that cannot seek the header carries the declared
// sizes (those of the tag chunks included) from the start and nothing is
// patched: the bytes are those a seekable file ends with.
class DsdiffSink : public DsdSink {
 public:
  // `file` must outlive the sink; each begin() writes to its current stream.
  explicit DsdiffSink(OutputFile& file) : file_(file) {}

  // The tags of the files begun from now on (none until set).
  void setTags(const DsdiffTags& tags);

  Status begin(std::uint32_t dsdSampleRate, std::uint64_t declaredBytes) override;
  Status write(const std::uint8_t* bytes, std::size_t count) override;
  Status finish() override;

 private:
  std::uint64_t formSize(std::uint64_t dataBytes) const;  // with `dataBytes` of sound

  OutputFile& file_;
  std::vector<std::uint8_t> info_;  // the "DIIN" chunk, or empty
  std::vector<std::uint8_t> id3_;   // the "ID3 " chunk with its pad byte, or empty
  std::uint64_t dataBytes_ = 0;
  bool streamed_ = false;           // the file cannot seek: sizes written at begin()
  std::uint64_t declaredBytes_ = 0;  // the sound data size those sizes give
};

}  // namespace pulsemill
