#include "dsdiff/dsdiff_check.h"

#include <cstring>
#include <string>

#include "base/bytes.h"

namespace pulsemill {

namespace {

// The chunks of the property chunk's "SND " body [at, end): rate and channels.
void readProperties(int fd, std::uint64_t at, std::uint64_t end, std::uint32_t& rate,
                    unsigned& channels) {
  std::uint8_t h[14];
  while (at + 12 <= end && readAt(fd, at, h, 12)) {
    const std::uint64_t size = be64(h + 4);
    if (size > end - at - 12) return;
    if (isFourCc(h, "FS  ") && size >= 4 && readAt(fd, at + 12, h, 4)) rate = be32(h);
    if (isFourCc(h, "CHNL") && size >= 2 && readAt(fd, at + 12, h, 2)) channels = be16(h);
    at += 12 + size + (size & 1);
  }
}

}  // namespace

DsdFileCheck checkDsdiffFile(int fd, std::uint64_t fileSize, std::uint64_t& tagOffset) {
  DsdFileCheck check;
  tagOffset = 0;
  std::uint8_t h[16];
  if (fileSize < 16 || !readAt(fd, 0, h, 16) || !isFourCc(h, "FRM8") || !isFourCc(h + 12, "DSD ")) {
    check.damage = "not a DSDIFF file";
    return check;
  }
  const std::uint64_t form = be64(h + 4);
  if (form > fileSize || form + 12 != fileSize) {
    check.damage = "its header declares " + (form > fileSize ? std::string("more than the file's") :
                   std::to_string(form + 12)) + " bytes, the file has " + std::to_string(fileSize);
    return check;
  }
  unsigned channels = 0;
  bool sound = false;
  std::uint64_t tagAt = 0, tagBytes = 0;  // the "ID3 " chunk's body
  std::uint64_t at = 16;
  for (; at + 12 <= fileSize && readAt(fd, at, h, 12);) {
    const std::uint64_t size = be64(h + 4);
    if (size > fileSize - at - 12) {
      check.damage = "a chunk runs past the end of the file";
      return check;
    }
    if (isFourCc(h, "PROP") && size >= 4) readProperties(fd, at + 16, at + 12 + size, check.sampleRate, channels);
    if (isFourCc(h, "DSD ") || isFourCc(h, "DST ")) {
      sound = true;
      if (isFourCc(h, "DSD ") && channels > 0) check.samplesPerChannel = size * 8 / channels;
    }
    if (isFourCc(h, "ID3 ")) {
      tagAt = at + 12;
      tagBytes = size;
    }
    at += 12 + size + (size & 1);
  }
  if (check.sampleRate == 0 || channels == 0) check.damage = "no sample rate or channel count";
  else if (!sound) check.damage = "no sound data";
  // `at` one past the end: the last chunk's pad byte is missing, which readers accept.
  else if (at < fileSize) check.damage = "bytes after its last chunk";
  else if (tagAt != 0 &&
           (tagBytes < 10 || !readAt(fd, tagAt, h, 10) || std::memcmp(h, "ID3", 3) != 0 ||
            10 + std::uint64_t{syncsafe32(h + 6)} > tagBytes))
    check.damage = "its tag is cut short";
  if (check.damage.empty()) tagOffset = tagAt;
  return check;
}

}  // namespace pulsemill
