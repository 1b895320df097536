#include "tags/id3v2_reader.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2synchdata.h>
#include <taglib/id3v2tag.h>
#include <zlib.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "base/bytes.h"
#include "tags/byte_range.h"
#include "tags/tag_bounds.h"
#include "tags/tag_text.h"

namespace pulsemill {

namespace {

using TagLib::ByteVector;

std::string utf8(const TagLib::String& text) { return text.to8Bit(true); }

void takeIfPresent(std::string& field, const TagLib::String& text) {
  if (!text.isEmpty()) field = utf8(text);
}

void addPicture(TagSet& tags, const TagLib::ID3v2::AttachedPictureFrame& apic) {
  const ByteVector image = apic.picture();
  if (image.isEmpty()) return;
  TagPicture picture;
  picture.mimeType = utf8(apic.mimeType());
  picture.type = static_cast<int>(apic.type());
  picture.description = utf8(apic.description());
  picture.data.assign(image.begin(), image.end());
  tags.pictures.push_back(std::move(picture));
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
      if (apic != nullptr) addPicture(tags, *apic);
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

// The `count` bytes at `at` of `bytes` (which has them) as a big-endian number.
std::uint32_t bigEndian(const ByteVector& bytes, unsigned at, int count) {
  return static_cast<std::uint32_t>(
      beBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at, count));
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

bool isFrameIdAt(const ByteRange& in, std::uint64_t ahead) {
  const ByteVector id = in.peek(ahead, 4);
  return id.size() == 4 && isFrameId(id);
}

// The size in an ID3v2.4 frame header as TagLib reads it: syncsafe (plain
// when a byte has its top bit set), or plain when only that ends where the
// next frame starts (iTunes writes plain sizes).
std::uint32_t v24FrameSize(const ByteVector& header, const ByteRange& in) {
  const std::uint32_t size = TagLib::ID3v2::SynchData::toUInt(header.mid(4, 4));
  if (size <= 127 || isFrameIdAt(in, size)) return size;
  const std::uint32_t plain = bigEndian(header, 4, 4);
  return isFrameIdAt(in, plain) ? plain : size;
}

ByteVector boundedTag(int fd, std::uint64_t at, std::uint64_t fileSize, Report& report) {
  namespace SynchData = TagLib::ID3v2::SynchData;
  ByteVector header;
  if (!ByteRange(fd, at, fileSize, false).read(10, header) || !header.startsWith("ID3"))
    return {};
  const int major = header[3];
  const unsigned flags = static_cast<unsigned char>(header[5]);
  const ByteVector tagSize = header.mid(6, 4);
  if (major < 2 || major > 4 ||
      std::any_of(tagSize.begin(), tagSize.end(), [](char c) { return c & 0x80; }))
    return {};
  const std::uint64_t end = std::min<std::uint64_t>(at + 10 + SynchData::toUInt(tagSize), fileSize);
  ByteRange in(fd, at + 10, end, major <= 3 && (flags & 0x80));
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
      warnLeftOut(report, what, size, overBound(bound));
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
        warnLeftOut(report, what, declared, overBound(bound));
        continue;
      }
      if (inflatedSize(data.mid(4), bound) > bound) {
        warnLeftOut(report, what, declared, "expands to " + overBound(bound));
        continue;
      }
    }
    if (kept[picture] + headerSize + size > kMaxTagBytes) {
      warnLeftOut(report, what, size, "tag " + overBound(kMaxTagBytes));
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

}  // namespace

std::vector<std::uint8_t> boundedId3v2Tag(int fd, std::uint64_t at, std::uint64_t fileSize,
                                          Report& report) {
  const ByteVector tag = boundedTag(fd, at, fileSize, report);
  return std::vector<std::uint8_t>(tag.begin(), tag.end());
}

void takeId3v2Fields(const std::vector<std::uint8_t>& tag, TagSet& tags) {
  if (tag.empty()) return;
  setUpTagLib();
  readId3(Id3FromBytes(ByteVector(reinterpret_cast<const char*>(tag.data()),
                                  static_cast<unsigned>(tag.size()))),
          tags);
}

}  // namespace pulsemill
