// The sink of an output file by its format: DSF, tagged DSDIFF (GNU-style
// runs) or untagged DSDIFF (the slash grammar's, unchanged by tags).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/files.h"
#include "convert/dsd_sink.h"
#include "tags/tag_set.h"

namespace pulsemill {

class DsfSink;
class DsdiffSink;

// The sink of an output written into `file`: DSF when `dsf`, else DSDIFF,
// which carries tags when `dsdiffTags`. setTags gives a sink that carries
// tags those of the attempts begun from then on (an untagged DSDIFF sink
// ignores them).
class OutputSink {
 public:
  OutputSink(bool dsf, bool dsdiffTags, OutputFile& file);
  ~OutputSink();
  DsdSink& sink() { return *sink_; }
  bool carriesTags() const { return dsf_ != nullptr || dsdiff_ != nullptr; }

  // `id3`: the ID3v2 tag rendered from `tags` (renderId3v2Tag), which DSF
  // and DSDIFF both carry; a DSDIFF file also names the title and artist of
  // `tags` in its "DIIN" chunk, several values joined by " / ".
  void setTags(const TagSet& tags, std::vector<std::uint8_t> id3);

 private:
  std::unique_ptr<DsdSink> sink_;
  DsfSink* dsf_ = nullptr;        // sink_ when DSF
  DsdiffSink* dsdiff_ = nullptr;  // sink_ when tagged DSDIFF
};

}  // namespace pulsemill
