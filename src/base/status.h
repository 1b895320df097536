// The run's one result type.
//
// Conventions: every operation that can fail returns a Status. Its code picks
// one row of a message table: the text (with at most one "%s", filled from
// the status's detail), the console stream it goes to and the process exit
// status it leads to. Operations return a Status without printing it; the
// program reports each failure exactly once (report()), at the place in
// the console sequence where the failure happened: the run driver a clip
// it retries, the entry point the failure that ends the run, whose
// exitStatus() is the process's. Nothing is thrown.
//
// An open, read or write failure also carries the system's reason (errno's
// text, or "unexpected end of file"); once the entry point has named the file
// (onFiles), report() adds "pulsemill: PATH: REASON" on standard error.
#pragma once

#include <cstdio>
#include <string>

#include "base/report.h"

namespace pulsemill {

enum class StatusCode {
  Ok,
  Usage,             // the usage text (detail)
  UnknownOption,     // an option-shaped argument that names no option (detail)
  BadOption,         // a GNU-style line refused (detail: why)
  IsaUnknown,        // PULSEMILL_ISA names no kernel variant
  IsaUnsupported,    // PULSEMILL_ISA names a variant this CPU cannot run
  OpenFailed,        // an input or output cannot be opened (detail: its name)
  SameFile,          // an output names the input (detail: the output's name)
  HeaderShort,       // WAVE header: file ends before "RIFF" or "WAVEfmt "
  NotRiff,
  NotWaveFmt,
  FmtLength,
  Channels,
  SampleRate,
  BlockAlign,
  NoDataChunk,
  FlacChannels,      // FLAC: not two channels (detail: the count)
  FlacBits,          // FLAC: a depth outside 4 .. 32 bits per sample (detail: the depth)
  AlreadyDsd,        // the input is DSD already (detail: what it is)
  UnsupportedCodec,  // a codec that is not PCM, FLAC, ALAC or WavPack (detail: its name)
  InputChannels,     // not two channels (detail: the count)
  Decode,            // a file FFmpeg cannot open or decode (reason: why)
  InputRefused,      // an input this converter does not read (reason: what it is)
  ReadFatal,         // short read inside a fixed field (detail: stream position)
  WriteFatal,        // short write of a guarded field (detail: stream position)
  OutOfMemory,
  AlphaOutOfRange,
  PcmRead,           // the input ends before its data does, or cannot go back
  FlacRead,          // a damaged or truncated FLAC stream (detail: libFLAC's text)
  DsdWrite,          // DSD bytes not (all) written, or lost when flushed
  StreamedOutput,    // output that cannot seek: no declared length, or not kept to (reason)
  DsdOutput,         // modulator: a group of eight -1 decisions on both channels
  Clip,              // modulator: a group of eight +1 decisions on a channel
  Interrupted,       // a signal is ending the run (interrupt_cleanup.h); never printed
};

class [[nodiscard]] Status {
 public:
  Status() = default;  // Ok
  Status(StatusCode code) : code_(code) {}  // NOLINT: a code is a Status
  Status(StatusCode code, std::string detail) : code_(code), detail_(std::move(detail)) {}

  bool ok() const { return code_ == StatusCode::Ok; }
  StatusCode code() const { return code_; }
  const std::string& detail() const { return detail_; }
  const std::string& reason() const { return reason_; }

  // This status with the system's reason of its failure.
  Status because(std::string reason) const;

  // Names the file a reason concerns, by the code's side: the input, the
  // output, or the detail (OpenFailed names the file it failed on). A status
  // without a reason, or one already named, stays as it is.
  Status onFiles(const std::string& inputPath, const std::string& outputPath) const;

  // 0 for Ok, 2 for Clip, 1 for every other failure.
  int exitStatus() const;

  // Prints the message on its stream of `report`, then the reason line
  // when a file has been named. Nothing for Ok. In the "pulsemill: ..."
  // lines the detail, the path and the reason are shown by printableName.
  void report(Report& report) const;

  // The last line report() prints, without its newline: the reason line
  // when a file is named, else the message's last line. Empty for Ok.
  std::string lastLine() const;

 private:
  StatusCode code_ = StatusCode::Ok;
  std::string detail_;
  std::string reason_;
  std::string reasonPath_;  // the file onFiles named
  bool named_ = false;      // onFiles has named it (the name may be empty)
};

// The reason of a read that met the end of its input too early.
constexpr const char kUnexpectedEnd[] = "unexpected end of file";

// The reason of a failure the system just reported: strerror(errno), read at
// once ("Input/output error" when errno is not set).
std::string systemReason();

// The reason of a short read or write on `file`: "unexpected end of file"
// when a read met the end, else systemReason().
std::string streamReason(std::FILE* file);

// Fatal stream failures with the stream position as detail (" read error :
// %ld" / " write error : %ld") and the stream's reason; the stream stays open
// for its owner to close.
Status readFailure(std::FILE* file);
Status writeFailure(std::FILE* file);

}  // namespace pulsemill
