#include "tags/tag_bounds.h"

#include <cstring>
#include <utility>

namespace pulsemill {

namespace {

std::size_t pictureBody(const TagPicture& picture) {
  return 4 + picture.mimeType.size() + picture.description.size() + picture.data.size();
}

// The bytes of the values as a text frame renders them, a NUL between two.
std::size_t renderedBytes(const std::vector<std::string>& values) {
  std::size_t bytes = values.empty() ? 0 : values.size() - 1;
  for (const std::string& value : values) bytes += value.size();
  return bytes;
}

}  // namespace

std::vector<std::string> frameValues(const Id3TextFrame& frame, const TagSet& tags) {
  std::vector<std::string> values = tagValues(tags.*frame.field);
  if (std::strcmp(frame.id, "COMM") == 0 && values.size() > 1) values.resize(1);
  return values;
}

void warnLeftOut(Report& report, const std::string& what, std::uint64_t bytes,
                 const std::string& why) {
  report.err("pulsemill: tag: %s of %llu bytes left out (%s)\n", printableName(what).c_str(),
             static_cast<unsigned long long>(bytes), why.c_str());
}

std::string overBound(std::size_t bound) { return "over " + std::to_string(bound >> 20) + " MiB"; }

KeptFrames keptWithinBounds(const TagSet& tags, std::size_t reservedBytes, Report& report) {
  std::size_t total = kTagOverheadBytes + reservedBytes;
  const auto fits = [&total, &report](const std::string& what, std::size_t body, std::size_t bound) {
    if (body > bound) {
      warnLeftOut(report, what, body, overBound(bound));
      return false;
    }
    if (total + kFrameHeaderBytes + body > kMaxTagBytes) {
      warnLeftOut(report, what, body, "tag " + overBound(kMaxTagBytes));
      return false;
    }
    total += kFrameHeaderBytes + body;
    return true;
  };
  KeptFrames kept;
  for (std::size_t i = 0; i < kId3TextFrameCount; ++i) {
    const Id3TextFrame& frame = kId3TextFrames[i];
    const std::vector<std::string> values = frameValues(frame, tags);
    kept.texts[i] = !values.empty() && fits(std::string(frame.id) + " text",
                                            frame.bodyExtra + renderedBytes(values),
                                            kMaxTagTextBytes);
  }
  for (const TagPicture& picture : tags.pictures)
    kept.pictures.push_back(fits("picture", pictureBody(picture), kMaxTagPictureBytes));
  return kept;
}

void keepWithinBounds(TagSet& tags, Report& report) {
  const KeptFrames kept = keptWithinBounds(tags, kSettingsFrameRoom, report);
  for (std::size_t i = 0; i < kId3TextFrameCount; ++i)
    if (!kept.texts[i]) (tags.*kId3TextFrames[i].field).clear();
  std::vector<TagPicture> pictures;
  for (std::size_t i = 0; i < tags.pictures.size(); ++i)
    if (kept.pictures[i]) pictures.push_back(std::move(tags.pictures[i]));
  tags.pictures = std::move(pictures);
}

}  // namespace pulsemill
