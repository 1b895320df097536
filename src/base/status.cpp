#include "base/status.h"

#include <string>

namespace pulsemill {

namespace {

struct StatusRow {
  StatusCode code;
  const char* text;  // printf format with at most one "%s" (the detail)
  bool toStandardError;
  int exitStatus;
};

// One row per code, in the order of StatusCode.
constexpr StatusRow kStatusTable[] = {
    {StatusCode::Ok, "", false, 0},
    {StatusCode::Usage, "%s", false, 1},
    {StatusCode::IsaUnknown,
     "PULSEMILL_ISA=%s is not a kernel variant (generic, x86-64-v3, x86-64-v4, x86-64-v4-256)\n",
     true, 1},
    {StatusCode::IsaUnsupported, "PULSEMILL_ISA=%s is a kernel variant this CPU cannot run\n", true,
     1},
    {StatusCode::OpenFailed, "Can not open %s\n", false, 1},
    {StatusCode::SameFile, "Input and output are the same file: %s\n", true, 1},
    {StatusCode::HeaderShort, "Read error\n", false, 1},
    {StatusCode::NotRiff, "Not a RIFF format\n", false, 1},
    {StatusCode::NotWaveFmt, "Not a WAVEfmt format\n", false, 1},
    {StatusCode::FmtLength, "Length of WAVEfmt must be 16\n", false, 1},
    {StatusCode::Channels, "Not Suppoer channels\n", false, 1},
    {StatusCode::SampleRate, "Sampling rate out of range\n", false, 1},
    {StatusCode::BlockAlign, "Bytes per sample must be 4 or 6\n", false, 1},
    {StatusCode::NoDataChunk, "No data chunk\n", false, 1},
    {StatusCode::FlacChannels, "FLAC with %s channels is not supported: 2 are needed\n", false, 1},
    {StatusCode::FlacBits,
     "FLAC with %s bits per sample is not supported: 16 or 24 are needed\n", false, 1},
    {StatusCode::ReadFatal, " read error : %s\n", true, 1},
    {StatusCode::WriteFatal, " write error : %s\n", true, 1},
    {StatusCode::OutOfMemory, "Out of memory\n", true, 1},
    {StatusCode::AlphaOutOfRange, "Kaiser alpha out of range\n", true, 1},
    {StatusCode::PcmRead, "Wave File Read Error.\n", true, 1},
    {StatusCode::FlacRead, "FLAC File Read Error. (%s)\n", true, 1},
    {StatusCode::DsdWrite, "DSD File Write Error.\n", true, 1},
    {StatusCode::DsdOutput, "DSD Output Error.\n", true, 1},
    {StatusCode::Clip, "DSD Clip Error. Set normalize offset, please. \n", true, 2},
};

const StatusRow& rowOf(StatusCode code) { return kStatusTable[static_cast<int>(code)]; }

constexpr bool tableInCodeOrder() {
  int i = 0;
  for (const StatusRow& row : kStatusTable)
    if (static_cast<int>(row.code) != i++) return false;
  return i == static_cast<int>(StatusCode::Clip) + 1;
}
static_assert(tableInCodeOrder(), "one row per status code, in order");

Status positionFailure(StatusCode code, std::FILE* file) {
  return Status(code, std::to_string(std::ftell(file)));
}

}  // namespace

int Status::exitStatus() const { return rowOf(code_).exitStatus; }

void Status::report() const {
  if (ok()) return;
  const StatusRow& row = rowOf(code_);
  std::fflush(stdout);
  std::fprintf(row.toStandardError ? stderr : stdout, row.text, detail_.c_str());
  std::fflush(row.toStandardError ? stderr : stdout);
}

Status readFailure(std::FILE* file) { return positionFailure(StatusCode::ReadFatal, file); }

Status writeFailure(std::FILE* file) { return positionFailure(StatusCode::WriteFatal, file); }

}  // namespace pulsemill
