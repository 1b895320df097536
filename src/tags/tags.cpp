#include "tags/tags.h"

#include <FLAC/metadata.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2synchdata.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/tdebuglistener.h>
#include <taglib/textidentificationframe.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>

namespace pulsemill {

namespace {

using TagLib::ByteVector;

// --- Text and TagLib set-up ------------------------------------------------

// Whether `text` is valid UTF-8 as TagLib decodes it: no overlong forms, no
// surrogates, nothing past U+10FFFF.
bool isUtf8(const ByteVector& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    const std::size_t more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    if (c < 0xC2 || c > 0xF4 || i + more >= n) return false;
    unsigned point = c & (0x3F >> more);
    for (std::size_t k = 1; k <= more; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      point = (point << 6) | (p[i + k] & 0x3F);
    }
    const unsigned least[] = {0, 0x80, 0x800, 0x10000};
    if (point < least[more] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
      return false;
    i += more + 1;
  }
  return true;
}

// A text field's bytes up to the first NUL (where TagLib ends a text too),
// as UTF-8 when they are valid UTF-8 and as Latin-1 otherwise.
TagLib::String decodeText(const ByteVector& bytes) {
  const int nul = bytes.find('\0');
  const ByteVector text = nul < 0 ? bytes : bytes.mid(0, static_cast<unsigned>(nul));
  return TagLib::String(text, isUtf8(text) ? TagLib::String::UTF8 : TagLib::String::Latin1);
}

std::string utf8(const TagLib::String& text) { return text.to8Bit(true); }

// TagLib reports what it finds odd through a debug listener; a converter's
// console is not the place for it.
class SilentListener : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String&) override {}
};

// TagLib decodes INFO texts as UTF-8 and turns anything else into an empty
// text; Windows tools write them in Latin-1.
class InfoTextHandler : public TagLib::RIFF::Info::StringHandler {
 public:
  TagLib::String parse(const ByteVector& data) const override { return decodeText(data); }
};

// Both are settings of the whole process, made once; nothing else in the
// program uses TagLib.
void setUpTagLib() {
  static const bool done = [] {
    static SilentListener listener;
    static InfoTextHandler infoText;
    TagLib::setDebugListener(&listener);
    TagLib::RIFF::Info::Tag::setStringHandler(&infoText);
    return true;
  }();
  (void)done;
}

// --- Bounds ------------------------------------------------------------------

constexpr std::size_t kFrameHeaderBytes = 10;
// The tag's header and the padding TagLib renders after the frames of a new tag.
constexpr std::size_t kTagOverheadBytes = 10 + 1024;
// What the readers keep free for the TSSE frame: settings of up to 1 KiB.
constexpr std::size_t kSettingsFrameRoom = kFrameHeaderBytes + 1 + 1024;

void warnLeftOut(Report& report, const std::string& what, std::uint64_t bytes,
                 const std::string& why) {
  report.err("pulsemill: tag: %s of %llu bytes left out (%s)\n", what.c_str(),
               static_cast<unsigned long long>(bytes), why.c_str());
}

std::string over(std::size_t bound) { return "over " + std::to_string(bound >> 20) + " MiB"; }

// The text frames in the order the tag carries them, with what a frame's
// body holds besides the text: the encoding byte (and for COMM a language
// and an empty description).
const struct TextFrame {
  const char* id;
  std::string TagSet::*field;
  std::size_t bodyExtra;
} kTextFrames[] = {{"TIT2", &TagSet::title, 1}, {"TPE1", &TagSet::artist, 1},
                   {"TALB", &TagSet::album, 1}, {"TPE2", &TagSet::albumArtist, 1},
                   {"TDRC", &TagSet::date, 1},  {"TRCK", &TagSet::track, 1},
                   {"TPOS", &TagSet::disc, 1},  {"TCON", &TagSet::genre, 1},
                   {"COMM", &TagSet::comment, 5}};
constexpr std::size_t kTextFrameCount = std::size(kTextFrames);

std::size_t pictureBody(const TagPicture& picture) {
  return 4 + picture.mimeType.size() + picture.description.size() + picture.data.size();
}

struct KeptFrames {
  std::array<bool, kTextFrameCount> texts{};
  std::vector<bool> pictures;
};

// Which frames of `tags` the tag carries when `reservedBytes` of it go to
// the TSSE frame; one warning for each frame left out.
KeptFrames keptWithinBounds(const TagSet& tags, std::size_t reservedBytes, Report& report) {
  std::size_t total = kTagOverheadBytes + reservedBytes;
  const auto fits = [&total, &report](const std::string& what, std::size_t body, std::size_t bound) {
    if (body > bound) {
      warnLeftOut(report, what, body, over(bound));
      return false;
    }
    if (total + kFrameHeaderBytes + body > kMaxTagBytes) {
      warnLeftOut(report, what, body, "tag " + over(kMaxTagBytes));
      return false;
    }
    total += kFrameHeaderBytes + body;
    return true;
  };
  KeptFrames kept;
  for (std::size_t i = 0; i < kTextFrameCount; ++i) {
    const std::string& text = tags.*kTextFrames[i].field;
    kept.texts[i] = !text.empty() && fits(std::string(kTextFrames[i].id) + " text",
                                          kTextFrames[i].bodyExtra + text.size(), kMaxTagTextBytes);
  }
  for (const TagPicture& picture : tags.pictures)
    kept.pictures.push_back(fits("picture", pictureBody(picture), kMaxTagPictureBytes));
  return kept;
}

// Drops from `tags` what a tag of it could not carry, with a warning each.
void keepWithinBounds(TagSet& tags, Report& report) {
  const KeptFrames kept = keptWithinBounds(tags, kSettingsFrameRoom, report);
  for (std::size_t i = 0; i < kTextFrameCount; ++i)
    if (!kept.texts[i]) (tags.*kTextFrames[i].field).clear();
  std::vector<TagPicture> pictures;
  for (std::size_t i = 0; i < tags.pictures.size(); ++i)
    if (kept.pictures[i]) pictures.push_back(std::move(tags.pictures[i]));
  tags.pictures = std::move(pictures);
}

// --- Reading -----------------------------------------------------------------

void takeIfPresent(std::string& field, const TagLib::String& text) {
  if (!text.isEmpty()) field = utf8(text);
}

void addPicture(TagSet& tags, const TagLib::String& mimeType, int type,
                const TagLib::String& description, const char* data, std::size_t size) {
  if (size == 0) return;
  TagPicture picture;
  picture.mimeType = utf8(mimeType);
  picture.type = type;
  picture.description = utf8(description);
  picture.data.assign(data, data + size);
  tags.pictures.push_back(std::move(picture));
}

void readInfo(const TagLib::RIFF::Info::Tag& info, TagSet& tags) {
  takeIfPresent(tags.title, info.fieldText("INAM"));
  takeIfPresent(tags.artist, info.fieldText("IART"));
  takeIfPresent(tags.album, info.fieldText("IPRD"));
  takeIfPresent(tags.date, info.fieldText("ICRD"));
  takeIfPresent(tags.genre, info.fieldText("IGNR"));
  takeIfPresent(tags.comment, info.fieldText("ICMT"));
  takeIfPresent(tags.track, info.fieldText("ITRK"));
  takeIfPresent(tags.track, info.fieldText("IPRT"));
}

void readId3(const TagLib::ID3v2::Tag& id3, TagSet& tags) {
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
      if (apic == nullptr) continue;
      const ByteVector image = apic->picture();
      addPicture(tags, apic->mimeType(), static_cast<int>(apic->type()), apic->description(),
                 image.data(), image.size());
    }
  }
}

// An ID3v2 tag parsed from bytes in memory (TagLib reads tags from files).
class Id3FromBytes : public TagLib::ID3v2::Tag {
 public:
  explicit Id3FromBytes(const ByteVector& tag) {
    header()->setData(tag.mid(0, TagLib::ID3v2::Header::size()));
    parse(tag.mid(TagLib::ID3v2::Header::size()));
  }
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// The bytes [begin, end) of an open file read front to back, optionally
// undoing ID3v2.2/2.3 unsynchronisation (a 0x00 after a 0xFF is dropped).
class ByteRange {
 public:
  ByteRange(std::FILE* file, std::uint64_t begin, std::uint64_t end, bool unsynchronised)
      : file_(file), at_(begin), end_(end), unsynchronised_(unsynchronised) {}

  // Bytes left before undoing unsynchronisation.
  std::uint64_t left() const { return end_ - at_; }

  // The next `count` bytes; false (and nothing more to read) when fewer are left.
  bool read(std::size_t count, ByteVector& out) {
    out.resize(static_cast<unsigned>(count));
    if (!unsynchronised_) {
      if (count > left() || !seek(at_)) return stop();
      if (std::fread(out.data(), 1, count, file_) != count) return stop();
      at_ += count;
      return true;
    }
    for (std::size_t i = 0; i < count; ++i)
      if (!next(out[static_cast<unsigned>(i)])) return stop();
    return true;
  }

  bool skip(std::uint64_t count) {
    if (!unsynchronised_) {
      if (count > left()) return stop();
      at_ += count;
      return true;
    }
    for (char c; count > 0; --count)
      if (!next(c)) return stop();
    return true;
  }

  // `count` bytes `ahead` bytes on, without moving; not for unsynchronised data.
  ByteVector peek(std::uint64_t ahead, std::size_t count) {
    ByteVector out;
    if (ahead > left() || count > left() - ahead || !seek(at_ + ahead)) return out;
    out.resize(static_cast<unsigned>(count));
    if (std::fread(out.data(), 1, count, file_) != count) out.clear();
    return out;
  }

 private:
  bool seek(std::uint64_t at) { return std::fseek(file_, static_cast<long>(at), SEEK_SET) == 0; }

  bool stop() {
    at_ = end_;
    return false;
  }

  bool next(char& out) {
    for (;;) {
      if (at_ >= end_) return false;
      if (!positioned_ && !(positioned_ = seek(at_))) return false;
      const int c = std::getc(file_);
      if (c == EOF) return false;
      ++at_;
      const bool stuffed = previous_ == 0xFF && c == 0;
      previous_ = c;
      if (!stuffed) {
        out = static_cast<char>(c);
        return true;
      }
    }
  }

  std::FILE* file_;
  std::uint64_t at_, end_;
  bool unsynchronised_;
  bool positioned_ = false;
  int previous_ = -1;
};

std::uint32_t bigEndian(const ByteVector& bytes, unsigned at, unsigned count) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < count; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

void putSyncsafe(ByteVector& out, std::uint32_t value) {
  for (int shift = 21; shift >= 0; shift -= 7)
    out.append(static_cast<char>((value >> shift) & 0x7F));
}

// The frames TagLib would turn into the fields readId3 takes (TYER, TDAT and
// TIME go into TDRC), by ID3v2.2 and by later IDs.
bool isCarriedFrame(const ByteVector& id) {
  static const char* const carried[] = {
      "TIT2", "TPE1", "TALB", "TPE2", "TDRC", "TYER", "TDAT", "TIME", "TCON", "TRCK", "TPOS",
      "COMM", "APIC", "TT2",  "TP1",  "TAL",  "TP2",  "TYE",  "TDA",  "TIM",  "TCO",  "TRK",
      "TPA",  "COM",  "PIC"};
  return std::any_of(std::begin(carried), std::end(carried),
                     [&id](const char* name) { return id == ByteVector(name); });
}

bool isFrameId(const ByteVector& id) {
  return std::all_of(id.begin(), id.end(),
                     [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

// How many bytes inflating `data` yields, as TagLib inflates a compressed
// frame (until the stream ends, the input runs out or an error), counted up
// to just past `limit` with the output thrown away.
std::size_t inflatedSize(const ByteVector& data, std::size_t limit) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return 0;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = data.size();
  unsigned char out[16384];
  std::size_t total = 0;
  int result;
  do {
    stream.next_out = out;
    stream.avail_out = sizeof out;
    result = inflate(&stream, Z_NO_FLUSH);
    total += sizeof out - stream.avail_out;
  } while (stream.avail_out == 0 && total <= limit &&
           (result == Z_OK || result == Z_BUF_ERROR));
  inflateEnd(&stream);
  return total;
}

bool isChunkName(const ByteVector& name) {
  return name.size() == 4 && std::all_of(name.begin(), name.end(), [](char c) {
           return static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) <= 127;
         });
}

bool isFrameIdAt(ByteRange& in, std::uint64_t ahead) {
  const ByteVector id = in.peek(ahead, 4);
  return id.size() == 4 && isFrameId(id);
}

// The size in an ID3v2.4 frame header as TagLib reads it: syncsafe (plain
// when a byte has its top bit set), or plain when only that ends where the
// next frame starts (iTunes writes plain sizes).
std::uint32_t v24FrameSize(const ByteVector& header, ByteRange& in) {
  const std::uint32_t size = TagLib::ID3v2::SynchData::toUInt(header.mid(4, 4));
  if (size <= 127 || isFrameIdAt(in, size)) return size;
  const std::uint32_t plain = bigEndian(header, 4, 4);
  return isFrameIdAt(in, plain) ? plain : size;
}

// The ID3v2 tag at byte `at` of the file (an "id3 " chunk's data, the tag
// running to the size its header gives or to the end of the file) rebuilt
// with only the frames readId3 uses that are within the bounds, and without
// extended header, footer or ID3v2.2/2.3 unsynchronisation. A compressed
// frame counts by its decompressed size: the one its header declares and
// the one inflating it gives. Empty when no frame is left or the header is
// not one TagLib reads.
ByteVector boundedId3Tag(std::FILE* file, std::uint64_t at, std::uint64_t fileSize,
                         Report& report) {
  namespace SynchData = TagLib::ID3v2::SynchData;
  ByteVector header;
  if (!ByteRange(file, at, fileSize, false).read(10, header) || !header.startsWith("ID3"))
    return {};
  const int major = header[3];
  const unsigned flags = static_cast<unsigned char>(header[5]);
  const ByteVector tagSize = header.mid(6, 4);
  if (major < 2 || major > 4 ||
      std::any_of(tagSize.begin(), tagSize.end(), [](char c) { return c & 0x80; }))
    return {};
  const std::uint64_t end = std::min<std::uint64_t>(at + 10 + SynchData::toUInt(tagSize), fileSize);
  ByteRange in(file, at + 10, end, major <= 3 && (flags & 0x80));
  if (flags & 0x40) {  // an extended header; in ID3v2.2 compression, which has no defined scheme
    ByteVector size;
    if (major == 2 || !in.read(4, size)) return {};
    const std::uint32_t rest = major == 3 ? bigEndian(size, 0, 4) : SynchData::toUInt(size);
    if ((major == 4 && rest < 4) || !in.skip(major == 3 ? rest : rest - 4)) return {};
  }

  const unsigned headerSize = major == 2 ? 6 : 10;
  ByteVector frames, frameHeader, body;
  std::uint64_t kept[2] = {0, 0};  // bytes of the fields' frames and of the pictures' frames
  while (in.left() > headerSize && in.read(headerSize, frameHeader)) {
    if (frameHeader[0] == 0) break;  // padding
    ByteVector id = frameHeader.mid(0, major == 2 ? 3 : 4);
    if (major == 3 && id[3] == 0) id = id.mid(0, 3);  // iTunes writes ID3v2.2 frames into v2.3
    if (!isFrameId(id)) break;
    const unsigned frameFlags = major == 2 ? 0 : bigEndian(frameHeader, 8, 2);
    const std::uint32_t size = major == 2   ? bigEndian(frameHeader, 3, 3)
                               : major == 3 ? bigEndian(frameHeader, 4, 4)
                                            : v24FrameSize(frameHeader, in);
    const bool compressed = frameFlags & (major == 3 ? 0x0080 : 0x0008);
    const bool encrypted = frameFlags & (major == 3 ? 0x0040 : 0x0004);
    if (size <= (major == 4 && (frameFlags & 0x0001) ? 4u : 0u)) break;
    if (!isCarriedFrame(id)) {
      if (!in.skip(size)) break;
      continue;
    }
    const bool picture = id == "APIC" || id == "PIC";
    const std::size_t bound = picture ? kMaxTagPictureBytes : kMaxTagTextBytes;
    const std::string what =
        (compressed ? "compressed ID3 " : "ID3 ") + std::string(id.data(), id.size()) + " frame";
    if (size > bound) {
      warnLeftOut(report, what, size, over(bound));
      if (!in.skip(size)) break;
      continue;
    }
    if (!in.read(size, body)) break;
    // TagLib inflates what follows a 4-byte decompressed size, after undoing
    // an ID3v2.4 frame's unsynchronisation; encrypted frames it leaves alone.
    if (compressed && !encrypted && body.size() > 4) {
      const ByteVector data =
          major == 4 && ((flags & 0x80) || (frameFlags & 0x0002)) ? SynchData::decode(body) : body;
      const std::uint32_t declared =
          major == 3 ? bigEndian(data, 0, 4) : SynchData::toUInt(data.mid(0, 4));
      if (declared > bound) {
        warnLeftOut(report, what, declared, over(bound));
        continue;
      }
      if (inflatedSize(data.mid(4), bound) > bound) {
        warnLeftOut(report, what, declared, "expands to " + over(bound));
        continue;
      }
    }
    if (kept[picture] + headerSize + size > kMaxTagBytes) {
      warnLeftOut(report, what, size, "tag " + over(kMaxTagBytes));
      continue;
    }
    kept[picture] += headerSize + size;
    if (major == 4) {  // the size written syncsafe, whichever way it was read
      frames.append(frameHeader.mid(0, 4));
      putSyncsafe(frames, size);
      frames.append(frameHeader.mid(8, 2));
    } else {
      frames.append(frameHeader);
    }
    frames.append(body);
  }
  if (frames.isEmpty()) return {};
  ByteVector tag("ID3");
  tag.append(static_cast<char>(major));
  tag.append('\0');
  tag.append(static_cast<char>(major == 4 ? flags & 0x80 : 0));
  putSyncsafe(tag, frames.size());
  tag.append(frames);
  return tag;
}

// The fields readInfo takes from a LIST chunk whose data ("INFO" and its
// subchunks) is `size` bytes at byte `at`, as INFO chunk data for TagLib:
// the last one of each name, as TagLib keeps it, and none over the bound.
ByteVector boundedInfo(std::FILE* file, std::uint64_t at, std::uint64_t size, Report& report) {
  static const char* const carried[] = {"INAM", "IART", "IPRD", "ICRD",
                                        "IGNR", "ICMT", "ITRK", "IPRT"};
  std::map<std::string, ByteVector> fields;
  ByteRange in(file, at + 4, at + size, false);
  ByteVector header, text;
  while (in.left() >= 8 && in.read(8, header)) {
    const std::string id(header.data(), 4);
    const std::uint32_t bytes = header.toUInt(4, false);
    if (bytes > in.left()) break;
    const bool wanted = std::any_of(std::begin(carried), std::end(carried),
                                    [&id](const char* name) { return id == name; });
    const bool keep = wanted && bytes <= kMaxTagTextBytes;
    if (wanted && !keep) warnLeftOut(report, "INFO " + id + " text", bytes, over(kMaxTagTextBytes));
    if (!(keep ? in.read(bytes, text) : in.skip(bytes))) break;
    if (keep) fields[id] = text;
    if ((bytes & 1) && !in.skip(std::min<std::uint64_t>(1, in.left()))) break;
  }
  ByteVector data("INFO");
  for (const auto& field : fields) {
    data.append(ByteVector(field.first.data(), 4));
    data.append(ByteVector::fromUInt(field.second.size(), false));
    data.append(field.second);
    if (field.second.size() & 1) data.append('\0');
  }
  return data;
}

void readVorbisComment(const FLAC__StreamMetadata_VorbisComment& comment, TagSet& tags) {
  const struct {
    const char* name;
    std::string TagSet::*field;
  } texts[] = {{"TITLE", &TagSet::title},        {"ARTIST", &TagSet::artist},
               {"ALBUM", &TagSet::album},        {"ALBUMARTIST", &TagSet::albumArtist},
               {"DATE", &TagSet::date},          {"TRACKNUMBER", &TagSet::track},
               {"DISCNUMBER", &TagSet::disc},    {"GENRE", &TagSet::genre},
               {"COMMENT", &TagSet::comment}};
  for (FLAC__uint32 i = 0; i < comment.num_comments; ++i) {
    const char* entry = reinterpret_cast<const char*>(comment.comments[i].entry);
    const std::size_t length = comment.comments[i].length;
    if (length == 0) continue;
    const char* equals = static_cast<const char*>(std::memchr(entry, '=', length));
    if (equals == nullptr || equals == entry) continue;
    std::string name(entry, equals);
    for (char& c : name)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    // The first entry with text for a name wins.
    for (const auto& text : texts)
      if (name == text.name && (tags.*text.field).empty())
        tags.*text.field = utf8(decodeText(
            ByteVector(equals + 1, static_cast<unsigned>(entry + length - equals - 1))));
  }
}

// A NUL-terminated text of libFLAC's.
TagLib::String cText(const void* text) {
  if (text == nullptr) return TagLib::String();
  return decodeText(ByteVector(static_cast<const char*>(text)));
}

void addText(TagLib::ID3v2::Tag& tag, const char* id, const std::string& value) {
  if (value.empty()) return;
  auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, TagLib::String::UTF8);
  frame->setText(TagLib::String(value, TagLib::String::UTF8));
  tag.addFrame(frame);
}

}  // namespace

TagSet readWaveTags(const std::string& path, Report& report) {
  setUpTagLib();
  TagSet tags;
  FileHandle file(std::fopen(path.c_str(), "rb"));
  if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) return tags;
  const long length = std::ftell(file.get());
  if (length < 0) return tags;
  const std::uint64_t fileSize = static_cast<std::uint64_t>(length);
  ByteRange whole(file.get(), 0, fileSize, false);
  ByteVector info, id3;
  bool haveInfo = false, haveId3 = false;
  // The chunks as TagLib's RIFF reader walks them: up to one with a name
  // that is not text or a size past the end of the file, a pad byte after
  // an odd size skipped when it is zero or a chunk name follows it. The
  // first "id3 " chunk and the first LIST/INFO chunk count.
  for (std::uint64_t offset = 12; offset + 8 <= fileSize;) {
    const ByteVector header = whole.peek(offset, 8);
    if (header.size() != 8 || !isChunkName(header.mid(0, 4))) break;
    const ByteVector name = header.mid(0, 4);
    const std::uint64_t data = offset + 8, size = header.toUInt(4, false);
    if (data + size > fileSize) break;
    if ((name == "id3 " || name == "ID3 ") && !haveId3) {
      haveId3 = true;
      id3 = boundedId3Tag(file.get(), data, fileSize, report);
    } else if (name == "LIST" && size >= 4 && !haveInfo && whole.peek(data, 4) == "INFO") {
      haveInfo = true;
      info = boundedInfo(file.get(), data, size, report);
    }
    offset = data + size;
    if (offset & 1) {
      const ByteVector pad = whole.peek(offset, 1);
      if (pad.size() == 1 && (pad[0] == 0 || isChunkName(whole.peek(offset + 1, 4)))) ++offset;
    }
  }
  if (haveInfo) readInfo(TagLib::RIFF::Info::Tag(info), tags);
  if (!id3.isEmpty()) readId3(Id3FromBytes(id3), tags);
  keepWithinBounds(tags, report);
  return tags;
}

TagSet readFlacTags(const std::string& path, Report& report) {
  setUpTagLib();
  TagSet tags;
  struct IteratorDeleter {
    void operator()(FLAC__Metadata_SimpleIterator* it) const {
      FLAC__metadata_simple_iterator_delete(it);
    }
  };
  struct BlockDeleter {
    void operator()(FLAC__StreamMetadata* block) const { FLAC__metadata_object_delete(block); }
  };
  using Block = std::unique_ptr<FLAC__StreamMetadata, BlockDeleter>;
  std::unique_ptr<FLAC__Metadata_SimpleIterator, IteratorDeleter> it(
      FLAC__metadata_simple_iterator_new());
  if (!it || !FLAC__metadata_simple_iterator_init(it.get(), path.c_str(), true, false)) return tags;
  bool haveComment = false;
  // The tag's bytes so far as the pictures read take them; a picture block
  // holds 28 bytes more than the body of its frame.
  std::size_t total = kTagOverheadBytes + kSettingsFrameRoom;
  do {
    const FLAC__MetadataType type = FLAC__metadata_simple_iterator_get_block_type(it.get());
    if (type == FLAC__METADATA_TYPE_VORBIS_COMMENT && !haveComment) {
      haveComment = true;  // only the first counts
      const Block block(FLAC__metadata_simple_iterator_get_block(it.get()));
      if (block) readVorbisComment(block->data.vorbis_comment, tags);
    } else if (type == FLAC__METADATA_TYPE_PICTURE) {
      const std::size_t body =
          std::max(FLAC__metadata_simple_iterator_get_block_length(it.get()), 32u) - 28;
      if (total + kFrameHeaderBytes + body > kMaxTagBytes) {
        warnLeftOut(report, "picture", body, "tag " + over(kMaxTagBytes));
        continue;
      }
      const Block block(FLAC__metadata_simple_iterator_get_block(it.get()));
      if (!block || block->data.picture.data_length == 0) continue;
      const FLAC__StreamMetadata_Picture& picture = block->data.picture;
      total += kFrameHeaderBytes + body;
      addPicture(tags, cText(picture.mime_type), static_cast<int>(picture.type),
                 cText(picture.description),
                 reinterpret_cast<const char*>(picture.data), picture.data_length);
    }
  } while (FLAC__metadata_simple_iterator_next(it.get()));
  keepWithinBounds(tags, report);
  return tags;
}

std::vector<std::uint8_t> renderId3v2Tag(const TagSet& tags, const std::string& encoderSettings,
                                         Report& report) {
  setUpTagLib();
  const KeptFrames kept =
      keptWithinBounds(tags, kFrameHeaderBytes + 1 + encoderSettings.size(), report);
  TagLib::ID3v2::Tag tag;
  for (std::size_t i = 0; i < kTextFrameCount; ++i) {
    if (!kept.texts[i]) continue;
    const std::string& text = tags.*kTextFrames[i].field;
    if (std::strcmp(kTextFrames[i].id, "COMM") != 0) {
      addText(tag, kTextFrames[i].id, text);
      continue;
    }
    auto* comment = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF8);
    comment->setLanguage("eng");
    comment->setText(TagLib::String(text, TagLib::String::UTF8));
    tag.addFrame(comment);
  }
  for (std::size_t i = 0; i < tags.pictures.size(); ++i) {
    if (!kept.pictures[i]) continue;
    const TagPicture& picture = tags.pictures[i];
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
