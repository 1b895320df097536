#include "app/output_sink.h"

#include <string>

#include "dsdiff/dsdiff_writer.h"
#include "dsf/dsf_writer.h"

namespace pulsemill {

namespace {

// A field's values as one line of text.
std::string joined(const std::string& field) {
  std::string text;
  for (const std::string& value : tagValues(field)) text += (text.empty() ? "" : " / ") + value;
  return text;
}

}  // namespace

OutputSink::OutputSink(bool dsf, bool dsdiffTags, OutputFile& file) {
  if (dsf) {
    auto sink = std::make_unique<DsfSink>(file);
    dsf_ = sink.get();
    sink_ = std::move(sink);
  } else {
    auto sink = std::make_unique<DsdiffSink>(file);
    if (dsdiffTags) dsdiff_ = sink.get();
    sink_ = std::move(sink);
  }
}

OutputSink::~OutputSink() = default;

void OutputSink::setTags(const TagSet& tags, std::vector<std::uint8_t> id3) {
  if (dsf_ != nullptr) dsf_->setTag(std::move(id3));
  if (dsdiff_ != nullptr) dsdiff_->setTags({joined(tags.title), joined(tags.artist), std::move(id3)});
}

}  // namespace pulsemill
