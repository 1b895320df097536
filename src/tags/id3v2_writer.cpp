#include "tags/id3v2_writer.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>

#include <cstring>

#include "tags/tag_bounds.h"
#include "tags/tag_text.h"

namespace pulsemill {

namespace {

TagLib::String utf8Text(const std::string& text) {
  return TagLib::String(text, TagLib::String::UTF8);
}

void addText(TagLib::ID3v2::Tag& tag, const char* id, const std::vector<std::string>& values) {
  if (values.empty()) return;
  TagLib::StringList list;
  for (const std::string& value : values) list.append(utf8Text(value));
  auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, TagLib::String::UTF8);
  frame->setText(list);
  tag.addFrame(frame);
}

}  // namespace

std::vector<std::uint8_t> renderId3v2Tag(const TagSet& tags, const std::string& encoderSettings,
                                         Report& report) {
  setUpTagLib();
  const KeptFrames kept =
      keptWithinBounds(tags, kFrameHeaderBytes + 1 + encoderSettings.size(), report);
  TagLib::ID3v2::Tag tag;
  for (std::size_t i = 0; i < kId3TextFrameCount; ++i) {
    if (!kept.texts[i]) continue;
    const Id3TextFrame& frame = kId3TextFrames[i];
    const std::vector<std::string> values = frameValues(frame, tags);
    if (std::strcmp(frame.id, "COMM") != 0) {
      addText(tag, frame.id, values);
      continue;
    }
    auto* comment = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF8);
    comment->setLanguage("eng");
    comment->setText(utf8Text(values.front()));
    tag.addFrame(comment);
  }
  for (std::size_t i = 0; i < tags.pictures.size(); ++i) {
    if (!kept.pictures[i]) continue;
    const TagPicture& picture = tags.pictures[i];
    auto* apic = new TagLib::ID3v2::AttachedPictureFrame;
    apic->setTextEncoding(TagLib::String::UTF8);
    apic->setMimeType(utf8Text(picture.mimeType));
    apic->setType(static_cast<TagLib::ID3v2::AttachedPictureFrame::Type>(picture.type));
    apic->setDescription(utf8Text(picture.description));
    apic->setPicture(TagLib::ByteVector(reinterpret_cast<const char*>(picture.data.data()),
                                        static_cast<unsigned>(picture.data.size())));
    tag.addFrame(apic);
  }
  if (!encoderSettings.empty()) addText(tag, "TSSE", {encoderSettings});
  const TagLib::ByteVector bytes = tag.render();
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace pulsemill
