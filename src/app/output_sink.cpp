#include "app/output_sink.h"

#include "dsdiff/dsdiff_writer.h"
#include "dsf/dsf_writer.h"

namespace pulsemill {

OutputSink::OutputSink(bool dsf, OutputFile& file) {
  if (dsf) {
    auto sink = std::make_unique<DsfSink>(file);
    dsf_ = sink.get();
    sink_ = std::move(sink);
  } else {
    sink_ = std::make_unique<DsdiffSink>(file);
  }
}

OutputSink::~OutputSink() = default;

void OutputSink::setTag(std::vector<std::uint8_t> tag) {
  if (dsf_ != nullptr) dsf_->setTag(std::move(tag));
}

}  // namespace pulsemill
