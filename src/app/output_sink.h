// The sink of an output file by its format: DSF (which carries a tag) or
// DSDIFF.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/files.h"
#include "convert/dsd_sink.h"

namespace pulsemill {

class DsfSink;

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
