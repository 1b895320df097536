#include "tags/flac_tags.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "tags/tag_bounds.h"
#include "tags/tag_text.h"

namespace pulsemill {

namespace {

constexpr unsigned kVorbisCommentBlock = 4;
constexpr unsigned kPictureBlock = 6;
// A PICTURE block holds 28 bytes more than the body of its ID3 frame: eight
// 4-byte fields against the frame's encoding byte, type byte and two NULs.
constexpr std::size_t kPictureBlockExtra = 28;

// The bytes of one block, read front to back with each field checked
// against the block's end.
class BlockFields {
 public:
  explicit BlockFields(const std::vector<std::uint8_t>& block) : block_(block) {}

  bool le32(std::uint32_t& value) { return fixed(value, &pulsemill::le32); }
  bool be32(std::uint32_t& value) { return fixed(value, &pulsemill::be32); }

  // The next `count` bytes; null when fewer are left.
  const char* bytes(std::size_t count) {
    if (count > block_.size() - at_) return nullptr;
    const char* p = reinterpret_cast<const char*>(block_.data() + at_);
    at_ += count;
    return p;
  }

 private:
  bool fixed(std::uint32_t& value, std::uint32_t (*read)(const std::uint8_t*)) {
    if (block_.size() - at_ < 4) return false;
    value = read(block_.data() + at_);
    at_ += 4;
    return true;
  }

  const std::vector<std::uint8_t>& block_;
  std::size_t at_ = 0;
};

// The fields of a VORBIS_COMMENT block: vendor string, comment count, and
// each comment's length and "NAME=value" text. A comment that does not fit
// in the block ends the list, those before it kept (as libFLAC does).
void readVorbisComment(const std::vector<std::uint8_t>& block, TagSet& tags) {
  const struct {
    const char* name;
    std::string TagSet::*field;
  } texts[] = {{"TITLE", &TagSet::title},        {"ARTIST", &TagSet::artist},
               {"ALBUM", &TagSet::album},        {"ALBUMARTIST", &TagSet::albumArtist},
               {"DATE", &TagSet::date},          {"TRACKNUMBER", &TagSet::track},
               {"DISCNUMBER", &TagSet::disc},    {"GENRE", &TagSet::genre},
               {"COMMENT", &TagSet::comment},    {"CUESHEET", &TagSet::cueSheet}};
  BlockFields in(block);
  std::uint32_t vendor = 0, count = 0;
  if (!in.le32(vendor) || in.bytes(vendor) == nullptr || !in.le32(count)) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = 0;
    const char* entry = nullptr;
    if (!in.le32(length) || (entry = in.bytes(length)) == nullptr) return;
    if (length == 0) continue;
    const char* equals = static_cast<const char*>(std::memchr(entry, '=', length));
    if (equals == nullptr || equals == entry) continue;
    std::string name(entry, equals);
    for (char& c : name)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    // Every entry with text for a name adds a value, in order.
    for (const auto& text : texts)
      if (name == text.name)
        addTagValue(tags.*text.field, decodeTagText(equals + 1, entry + length - equals - 1));
  }
}

// The picture of a PICTURE block: type, MIME type (length, text),
// description (length, text), width, height, depth, colours, data (length,
// bytes). False when a field does not fit in the block or the image is empty.
bool readPicture(const std::vector<std::uint8_t>& block, TagPicture& picture) {
  BlockFields in(block);
  std::uint32_t type = 0, mimeLength = 0, descriptionLength = 0, dimension = 0, dataLength = 0;
  const char *mime = nullptr, *description = nullptr, *data = nullptr;
  if (!in.be32(type) || !in.be32(mimeLength) || (mime = in.bytes(mimeLength)) == nullptr ||
      !in.be32(descriptionLength) || (description = in.bytes(descriptionLength)) == nullptr)
    return false;
  for (int i = 0; i < 4; ++i)  // width, height, depth, colours
    if (!in.be32(dimension)) return false;
  if (!in.be32(dataLength) || (data = in.bytes(dataLength)) == nullptr || dataLength == 0)
    return false;
  picture.mimeType = decodeTagText(mime, mimeLength);
  picture.type = static_cast<int>(type);
  picture.description = decodeTagText(description, descriptionLength);
  picture.data.assign(data, data + dataLength);
  return true;
}

}  // namespace

TagSet readFlacTags(int fd, std::uint64_t flacOffset, std::uint64_t fileSize, Report& report) {
  setUpTagLib();
  TagSet tags;
  std::uint8_t marker[4];
  if (flacOffset + 4 > fileSize || !readAt(fd, flacOffset, marker, sizeof marker) ||
      !isFourCc(marker, "fLaC"))
    return tags;
  bool haveComment = false;
  // The tag's bytes so far as the pictures read take them.
  std::size_t total = kTagOverheadBytes + kSettingsFrameRoom;
  std::vector<std::uint8_t> block;
  bool last = false;
  for (std::uint64_t at = flacOffset + 4; !last && at + 4 <= fileSize;) {
    std::uint8_t header[4];
    if (!readAt(fd, at, header, sizeof header)) break;
    last = (header[0] & 0x80) != 0;
    const unsigned type = header[0] & 0x7F;
    const std::uint32_t length = be24(header + 1);
    const std::uint64_t data = at + 4;
    at = data + length;
    if (at > fileSize) break;  // a block past the end of the file: no more
    if (type == kVorbisCommentBlock && !haveComment) {
      haveComment = true;  // only the first counts
      block.resize(length);
      if (readAt(fd, data, block.data(), length)) readVorbisComment(block, tags);
    } else if (type == kPictureBlock) {
      const std::size_t body = std::max<std::size_t>(length, 32) - kPictureBlockExtra;
      if (body > kMaxTagPictureBytes) {
        warnLeftOut(report, "picture", body, overBound(kMaxTagPictureBytes));
        continue;
      }
      if (total + kFrameHeaderBytes + body > kMaxTagBytes) {
        warnLeftOut(report, "picture", body, "tag " + overBound(kMaxTagBytes));
        continue;
      }
      block.resize(length);
      TagPicture picture;
      if (!readAt(fd, data, block.data(), length) || !readPicture(block, picture)) continue;
      total += kFrameHeaderBytes + body;
      tags.pictures.push_back(std::move(picture));
    }
  }
  keepWithinBounds(tags, report);
  return tags;
}

}  // namespace pulsemill
