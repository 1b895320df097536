// Little byte readers, in one place: integers of either byte order read
// from memory, ID3's syncsafe integers, and exact reads at an offset of an
// open descriptor.
//
// Conventions: `p` points at the field's first byte and at least as many
// bytes as the field has; values are assembled byte by byte, whatever the
// host's order. Offsets and sizes count bytes from the start of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pulsemill {

inline std::uint32_t le16(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8);
}
inline std::uint32_t le24(const std::uint8_t* p) {
  return le16(p) | (static_cast<std::uint32_t>(p[2]) << 16);
}
inline std::uint32_t le32(const std::uint8_t* p) {
  return le24(p) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t le64(const std::uint8_t* p) {
  return le32(p) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

// Big-endian: the first `bytes` bytes (1 .. 8) as one number.
inline std::uint64_t beBytes(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}
inline std::uint32_t be16(const std::uint8_t* p) { return static_cast<std::uint32_t>(beBytes(p, 2)); }
inline std::uint32_t be24(const std::uint8_t* p) { return static_cast<std::uint32_t>(beBytes(p, 3)); }
inline std::uint32_t be32(const std::uint8_t* p) { return static_cast<std::uint32_t>(beBytes(p, 4)); }
inline std::uint64_t be64(const std::uint8_t* p) { return beBytes(p, 8); }

// ID3v2's syncsafe integer: four bytes of seven bits each (the top bits are
// ignored, as readers do), 28 bits in all.
inline std::uint32_t syncsafe32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 7) | (p[i] & 0x7Fu);
  return v;
}

// True when the four bytes at `p` are the four characters of `id`.
inline bool isFourCc(const std::uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

// Reads exactly `count` bytes at `offset` of the open descriptor `fd`
// (pread: the descriptor's own position does not move). False when fewer
// are there or the read fails (errno then says why).
bool readAt(int fd, std::uint64_t offset, void* buffer, std::size_t count);

}  // namespace pulsemill
