#include "tags/wave_tags.h"

#include <taglib/infotag.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "tags/byte_range.h"
#include "tags/id3v2_reader.h"
#include "tags/tag_bounds.h"
#include "tags/tag_text.h"

namespace pulsemill {

namespace {

using TagLib::ByteVector;

void takeIfPresent(std::string& field, const TagLib::String& text) {
  if (!text.isEmpty()) field = text.to8Bit(true);
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

bool isChunkName(const std::uint8_t* name) {
  return std::all_of(name, name + 4, [](std::uint8_t c) { return c >= 32 && c <= 127; });
}

// The fields readInfo takes from a LIST chunk whose data ("INFO" and its
// subchunks) is `size` bytes at byte `at`, as INFO chunk data for TagLib:
// the last one of each name, as TagLib keeps it, and none over the bound.
ByteVector boundedInfo(int fd, std::uint64_t at, std::uint64_t size, Report& report) {
  static const char* const carried[] = {"INAM", "IART", "IPRD", "ICRD",
                                        "IGNR", "ICMT", "ITRK", "IPRT"};
  std::map<std::string, ByteVector> fields;
  ByteRange in(fd, at + 4, at + size, false);
  ByteVector header, text;
  while (in.left() >= 8 && in.read(8, header)) {
    const std::string id(header.data(), 4);
    const std::uint32_t bytes = le32(reinterpret_cast<const std::uint8_t*>(header.data()) + 4);
    if (bytes > in.left()) break;
    const bool wanted = std::any_of(std::begin(carried), std::end(carried),
                                    [&id](const char* name) { return id == name; });
    const bool keep = wanted && bytes <= kMaxTagTextBytes;
    if (wanted && !keep)
      warnLeftOut(report, "INFO " + id + " text", bytes, overBound(kMaxTagTextBytes));
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

}  // namespace

TagSet readWaveTags(int fd, std::uint64_t fileSize, Report& report) {
  setUpTagLib();
  TagSet tags;
  ByteVector info;
  std::vector<std::uint8_t> id3;
  bool haveInfo = false, haveId3 = false;
  // The chunks as TagLib's RIFF reader walks them: up to one with a name
  // that is not text or a size past the end of the file, a pad byte after
  // an odd size skipped when it is zero or a chunk name follows it. The
  // first "id3 " chunk and the first LIST/INFO chunk count.
  for (std::uint64_t offset = 12; offset + 8 <= fileSize;) {
    std::uint8_t header[8];
    if (!readAt(fd, offset, header, sizeof header) || !isChunkName(header)) break;
    const std::uint64_t data = offset + 8, size = le32(header + 4);
    if (data + size > fileSize) break;
    std::uint8_t form[4];
    if ((isFourCc(header, "id3 ") || isFourCc(header, "ID3 ")) && !haveId3) {
      haveId3 = true;
      id3 = boundedId3v2Tag(fd, data, fileSize, report);
    } else if (isFourCc(header, "LIST") && size >= 4 && !haveInfo &&
               readAt(fd, data, form, sizeof form) && isFourCc(form, "INFO")) {
      haveInfo = true;
      info = boundedInfo(fd, data, size, report);
    }
    offset = data + size;
    if (offset & 1) {
      std::uint8_t pad[5];  // the pad byte and the name that may follow it
      if (offset + 1 <= fileSize && readAt(fd, offset, pad, 1) &&
          (pad[0] == 0 ||
           (offset + 5 <= fileSize && readAt(fd, offset + 1, pad + 1, 4) && isChunkName(pad + 1))))
        ++offset;
    }
  }
  if (haveInfo) readInfo(TagLib::RIFF::Info::Tag(info), tags);
  takeId3v2Fields(id3, tags);
  keepWithinBounds(tags, report);
  return tags;
}

}  // namespace pulsemill
