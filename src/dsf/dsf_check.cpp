#include "dsf/dsf_check.h"

#include <string>

#include "base/bytes.h"
#include "dsf/dsf_writer.h"

namespace pulsemill {

DsdFileCheck checkDsfFile(int fd, std::uint64_t fileSize, std::uint64_t& tagOffset) {
  DsdFileCheck check;
  tagOffset = 0;
  std::uint8_t h[kDsfHeaderSize];
  if (fileSize < sizeof h || !readAt(fd, 0, h, sizeof h)) {
    check.damage = "shorter than a DSF header";
    return check;
  }
  if (!isFourCc(h, "DSD ") || le64(h + 4) != 28 || !isFourCc(h + 28, "fmt ") || le64(h + 32) != 52 ||
      !isFourCc(h + 80, "data")) {
    check.damage = "not a DSF header";
    return check;
  }
  check.sampleRate = le32(h + 56);
  check.samplesPerChannel = le64(h + 64);
  const std::uint64_t declared = le64(h + 12), metadata = le64(h + 20), data = le64(h + 84);
  if (le32(h + 52) != 2 || le32(h + 60) != 1 || le32(h + 72) != kDsfBlockBytes) {
    check.damage = "not a stereo one-bit DSF file";
  } else if (declared != fileSize) {
    check.damage = "its header declares " + std::to_string(declared) + " bytes, the file has " +
                   std::to_string(fileSize);
  } else {
    const std::uint64_t blockBytes = std::uint64_t{kDsfBlockBytes} * 8;  // samples per block
    const std::uint64_t blocks = check.samplesPerChannel / blockBytes +
                                 (check.samplesPerChannel % blockBytes != 0 ? 1 : 0);
    const std::uint64_t end = 80 + data;
    if (check.samplesPerChannel > (std::uint64_t{1} << 60) ||
        data != 12 + blocks * 2 * kDsfBlockBytes || end > fileSize)
      check.damage = "its data chunk does not hold its " + std::to_string(check.samplesPerChannel) +
                     " samples";
    else if (metadata == 0 ? end != fileSize : metadata != end)
      check.damage = "bytes after its data that are not its tag";
  }
  std::uint8_t tag[10];
  if (check.damage.empty() && metadata != 0 &&
      (!readAt(fd, metadata, tag, sizeof tag) || !isFourCc(tag, "ID3\4") ||
       metadata + 10 + syncsafe32(tag + 6) > fileSize))
    check.damage = "its tag is cut short";
  if (check.damage.empty()) tagOffset = metadata;
  return check;
}

}  // namespace pulsemill
