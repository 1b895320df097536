#include "base/status.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace pulsemill {

namespace {

// The file a failure's reason concerns.
enum class ReasonFile { None, Input, Output, Detail };
constexpr ReasonFile kNone = ReasonFile::None, kIn = ReasonFile::Input,
                     kOut = ReasonFile::Output, kDetail = ReasonFile::Detail;

struct StatusRow {
  StatusCode code;
  const char* text;  // printf format with at most one "%s" (the detail)
  bool toStandardError;
  int exitStatus;
  ReasonFile reasonFile;
};

// One row per code, in the order of StatusCode.
constexpr StatusRow kStatusTable[] = {
    {StatusCode::Ok, "", false, 0, kNone},
    {StatusCode::Usage, "%s", false, 1, kNone},
    {StatusCode::UnknownOption, "pulsemill: unknown option '%s' (see pulsemill --help)\n", true, 1,
     kNone},
    {StatusCode::BadOption, "pulsemill: %s\n", true, 1, kNone},
    {StatusCode::IsaUnknown,
     "PULSEMILL_ISA=%s is not a kernel variant (generic, x86-64-v3, x86-64-v4, x86-64-v4-256)\n",
     true, 1, kNone},
    {StatusCode::IsaUnsupported, "PULSEMILL_ISA=%s is a kernel variant this CPU cannot run\n", true,
     1, kNone},
    {StatusCode::OpenFailed, "Can not open %s\n", false, 1, kDetail},
    {StatusCode::SameFile, "Input and output are the same file: %s\n", true, 1, kNone},
    {StatusCode::HeaderShort, "Read error\n", false, 1, kIn},
    {StatusCode::NotRiff, "Not a RIFF format\n", false, 1, kIn},
    {StatusCode::NotWaveFmt, "Not a WAVEfmt format\n", false, 1, kIn},
    {StatusCode::FmtLength, "Length of WAVEfmt must be 16\n", false, 1, kIn},
    {StatusCode::Channels, "Not Suppoer channels\n", false, 1, kIn},  // spelling kept on purpose
    {StatusCode::SampleRate, "Sampling rate out of range\n", false, 1, kIn},
    {StatusCode::BlockAlign, "Bytes per sample must be 4 or 6\n", false, 1, kIn},
    {StatusCode::NoDataChunk, "No data chunk\n", false, 1, kIn},
    {StatusCode::FlacChannels, "FLAC with %s channels is not supported: 2 are needed\n", false, 1, kNone},
    {StatusCode::FlacBits,
     "FLAC with %s bits per sample is not supported: 4 to 32 are needed\n", false, 1, kNone},
    {StatusCode::AlreadyDsd, "Already DSD (%s): nothing to convert\n", false, 1, kNone},
    {StatusCode::UnsupportedCodec, "Unsupported codec %s\n", false, 1, kIn},
    {StatusCode::InputChannels, "Input with %s channels is not supported: 2 are needed\n", false, 1,
     kIn},
    {StatusCode::Decode, "", true, 1, kIn},
    {StatusCode::InputRefused, "", true, 1, kIn},
    {StatusCode::ReadFatal, " read error : %s\n", true, 1, kIn},
    {StatusCode::WriteFatal, " write error : %s\n", true, 1, kOut},
    {StatusCode::OutOfMemory, "Out of memory\n", true, 1, kNone},
    {StatusCode::AlphaOutOfRange, "Kaiser alpha out of range\n", true, 1, kNone},
    {StatusCode::PcmRead, "Wave File Read Error.\n", true, 1, kIn},
    {StatusCode::FlacRead, "FLAC File Read Error. (%s)\n", true, 1, kIn},
    {StatusCode::DsdWrite, "DSD File Write Error.\n", true, 1, kOut},
    {StatusCode::StreamedOutput, "", true, 1, kOut},
    {StatusCode::DsdOutput, "DSD Output Error.\n", true, 1, kNone},
    {StatusCode::Clip, "DSD Clip Error. Set normalize offset, please. \n", true, 2, kNone},
    {StatusCode::Interrupted, "", true, 1, kNone},
};

const StatusRow& rowOf(StatusCode code) { return kStatusTable[static_cast<int>(code)]; }

constexpr bool tableInCodeOrder() {
  int i = 0;
  for (const StatusRow& row : kStatusTable)
    if (static_cast<int>(row.code) != i++) return false;
  return i == static_cast<int>(StatusCode::Interrupted) + 1;
}
static_assert(tableInCodeOrder(), "one row per status code, in order");

Status positionFailure(StatusCode code, std::FILE* file) {
  const std::string reason = streamReason(file);
  return Status(code, std::to_string(std::ftell(file))).because(reason);
}

}  // namespace

int Status::exitStatus() const { return rowOf(code_).exitStatus; }

Status Status::because(std::string reason) const {
  Status status = *this;
  status.reason_ = std::move(reason);
  return status;
}

Status Status::onFiles(const std::string& inputPath, const std::string& outputPath) const {
  Status status = *this;
  if (reason_.empty() || named_) return status;
  status.named_ = true;
  switch (rowOf(code_).reasonFile) {
    case ReasonFile::Input: status.reasonPath_ = inputPath; break;
    case ReasonFile::Output: status.reasonPath_ = outputPath; break;
    case ReasonFile::Detail: status.reasonPath_ = detail_; break;
    case ReasonFile::None: status.named_ = false; break;
  }
  return status;
}

void Status::report(Report& report) const {
  if (ok()) return;
  const StatusRow& row = rowOf(code_);
  // A line of this program's own ("pulsemill: ...") shows its detail
  // printable; the other lines keep theirs exactly as given.
  const bool ownLine = std::strncmp(row.text, "pulsemill: ", 11) == 0;
  const std::string detail = ownLine ? printableName(detail_) : detail_;
  if (row.toStandardError)
    report.err(row.text, detail.c_str());
  else
    report.out(row.text, detail.c_str());
  if (named_)
    report.err("pulsemill: %s: %s\n", printableName(reasonPath_).c_str(),
               printableName(reason_).c_str());
}

std::string Status::lastLine() const {
  if (ok()) return std::string();
  if (named_) return "pulsemill: " + reasonPath_ + ": " + reason_;
  CapturedReport message;
  message.out(rowOf(code_).text, detail_.c_str());
  std::string text = message.standardOutput();
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const std::size_t newline = text.rfind('\n');
  return newline == std::string::npos ? text : text.substr(newline + 1);
}

std::string systemReason() {
  const int error = errno;
  return std::strerror(error != 0 ? error : EIO);
}

std::string streamReason(std::FILE* file) {
  if (std::feof(file) && !std::ferror(file)) return kUnexpectedEnd;
  return systemReason();
}

Status readFailure(std::FILE* file) { return positionFailure(StatusCode::ReadFatal, file); }

Status writeFailure(std::FILE* file) { return positionFailure(StatusCode::WriteFatal, file); }

}  // namespace pulsemill
