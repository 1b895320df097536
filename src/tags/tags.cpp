#include "tags/tags.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/xiphcomment.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/tdebuglistener.h>
#include <taglib/textidentificationframe.h>
#include <taglib/wavfile.h>

namespace pulsemill {

namespace {

// TagLib reports what it finds odd through a debug listener; a converter's
// console is not the place for it.
class SilentListener : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String&) override {}
};

void silenceTagLib() {
  static SilentListener listener;
  TagLib::setDebugListener(&listener);
}

std::string utf8(const TagLib::String& text) { return text.to8Bit(true); }

void takeIfPresent(std::string& field, const TagLib::String& text) {
  if (!text.isEmpty()) field = utf8(text);
}

void addPicture(TagSet& tags, const TagLib::String& mimeType, int type,
                const TagLib::String& description, const TagLib::ByteVector& data) {
  if (data.isEmpty()) return;
  TagPicture picture;
  picture.mimeType = utf8(mimeType);
  picture.type = type;
  picture.description = utf8(description);
  picture.data.assign(data.begin(), data.end());
  tags.pictures.push_back(std::move(picture));
}

void readInfo(TagLib::RIFF::Info::Tag& info, TagSet& tags) {
  takeIfPresent(tags.title, info.fieldText("INAM"));
  takeIfPresent(tags.artist, info.fieldText("IART"));
  takeIfPresent(tags.album, info.fieldText("IPRD"));
  takeIfPresent(tags.date, info.fieldText("ICRD"));
  takeIfPresent(tags.genre, info.fieldText("IGNR"));
  takeIfPresent(tags.comment, info.fieldText("ICMT"));
  takeIfPresent(tags.track, info.fieldText("ITRK"));
  takeIfPresent(tags.track, info.fieldText("IPRT"));
}

void readId3(TagLib::ID3v2::Tag& id3, TagSet& tags) {
  const TagLib::ID3v2::FrameListMap& frames = id3.frameListMap();
  const struct {
    const char* id;
    std::string TagSet::*field;
  } texts[] = {{"TIT2", &TagSet::title},  {"TPE1", &TagSet::artist}, {"TALB", &TagSet::album},
               {"TPE2", &TagSet::albumArtist}, {"TDRC", &TagSet::date}, {"TYER", &TagSet::date},
               {"TCON", &TagSet::genre},  {"TRCK", &TagSet::track}, {"TPOS", &TagSet::disc}};
  for (const auto& text : texts) {
    auto found = frames.find(text.id);
    if (found != frames.end() && !found->second.isEmpty())
      takeIfPresent(tags.*text.field, found->second.front()->toString());
  }
  auto comments = frames.find("COMM");
  if (comments != frames.end()) {
    for (TagLib::ID3v2::Frame* frame : comments->second) {
      auto* comment = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame);
      if (comment != nullptr && !comment->text().isEmpty()) {
        tags.comment = utf8(comment->text());
        break;
      }
    }
  }
  auto pictures = frames.find("APIC");
  if (pictures != frames.end()) {
    for (TagLib::ID3v2::Frame* frame : pictures->second) {
      auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
      if (apic != nullptr)
        addPicture(tags, apic->mimeType(), static_cast<int>(apic->type()), apic->description(),
                   apic->picture());
    }
  }
}

void readXiph(const TagLib::Ogg::XiphComment& xiph, TagSet& tags) {
  const TagLib::Ogg::FieldListMap& fields = xiph.fieldListMap();
  const struct {
    const char* name;
    std::string TagSet::*field;
  } texts[] = {{"TITLE", &TagSet::title},        {"ARTIST", &TagSet::artist},
               {"ALBUM", &TagSet::album},        {"ALBUMARTIST", &TagSet::albumArtist},
               {"DATE", &TagSet::date},          {"TRACKNUMBER", &TagSet::track},
               {"DISCNUMBER", &TagSet::disc},    {"GENRE", &TagSet::genre},
               {"COMMENT", &TagSet::comment}};
  for (const auto& text : texts) {
    auto found = fields.find(text.name);
    if (found != fields.end() && !found->second.isEmpty())
      takeIfPresent(tags.*text.field, found->second.front());
  }
}

void addText(TagLib::ID3v2::Tag& tag, const char* id, const std::string& value) {
  if (value.empty()) return;
  auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, TagLib::String::UTF8);
  frame->setText(TagLib::String(value, TagLib::String::UTF8));
  tag.addFrame(frame);
}

}  // namespace

TagSet readWaveTags(const std::string& path) {
  silenceTagLib();
  TagSet tags;
  TagLib::RIFF::WAV::File file(path.c_str(), false);
  if (!file.isValid()) return tags;
  if (file.hasInfoTag()) readInfo(*file.InfoTag(), tags);
  if (file.hasID3v2Tag()) readId3(*file.ID3v2Tag(), tags);
  return tags;
}

TagSet readFlacTags(const std::string& path) {
  silenceTagLib();
  TagSet tags;
  TagLib::FLAC::File file(path.c_str(), false);
  if (!file.isValid()) return tags;
  if (file.hasXiphComment()) readXiph(*file.xiphComment(), tags);
  for (TagLib::FLAC::Picture* picture : file.pictureList())
    addPicture(tags, picture->mimeType(), static_cast<int>(picture->type()),
               picture->description(), picture->data());
  return tags;
}

std::vector<std::uint8_t> renderId3v2Tag(const TagSet& tags, const std::string& encoderSettings) {
  silenceTagLib();
  TagLib::ID3v2::Tag tag;
  addText(tag, "TIT2", tags.title);
  addText(tag, "TPE1", tags.artist);
  addText(tag, "TALB", tags.album);
  addText(tag, "TPE2", tags.albumArtist);
  addText(tag, "TDRC", tags.date);
  addText(tag, "TRCK", tags.track);
  addText(tag, "TPOS", tags.disc);
  addText(tag, "TCON", tags.genre);
  if (!tags.comment.empty()) {
    auto* comment = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF8);
    comment->setLanguage("eng");
    comment->setText(TagLib::String(tags.comment, TagLib::String::UTF8));
    tag.addFrame(comment);
  }
  for (const TagPicture& picture : tags.pictures) {
    auto* apic = new TagLib::ID3v2::AttachedPictureFrame;
    apic->setTextEncoding(TagLib::String::UTF8);
    apic->setMimeType(TagLib::String(picture.mimeType, TagLib::String::UTF8));
    apic->setType(static_cast<TagLib::ID3v2::AttachedPictureFrame::Type>(picture.type));
    apic->setDescription(TagLib::String(picture.description, TagLib::String::UTF8));
    apic->setPicture(TagLib::ByteVector(reinterpret_cast<const char*>(picture.data.data()),
                                        static_cast<unsigned>(picture.data.size())));
    tag.addFrame(apic);
  }
  addText(tag, "TSSE", encoderSettings);
  const TagLib::ByteVector bytes = tag.render();
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace pulsemill
