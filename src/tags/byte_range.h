// A range of bytes of an open descriptor read front to back, for the ID3v2
// and RIFF INFO readers.
//
// Conventions: offsets count bytes from the start of the file; reads go
// through pread (readAt), so the descriptor's own position never moves.
// A read that fails or runs past the range's end ends the range: nothing
// more is read from it.
#pragma once

#include <taglib/tbytevector.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pulsemill {

// The bytes [begin, end) of `fd`, optionally undoing ID3v2.2/2.3
// unsynchronisation (a 0x00 after a 0xFF is dropped; those bytes are read
// through a buffer of 64 KiB).
class ByteRange {
 public:
  ByteRange(int fd, std::uint64_t begin, std::uint64_t end, bool unsynchronised)
      : fd_(fd), at_(begin), end_(end), unsynchronised_(unsynchronised) {}

  // Bytes left before undoing unsynchronisation.
  std::uint64_t left() const { return end_ - at_; }

  // The next `count` bytes; false (and nothing more to read) when fewer are left.
  bool read(std::size_t count, TagLib::ByteVector& out);

  bool skip(std::uint64_t count);

  // `count` bytes `ahead` bytes on, without moving (empty when they are not
  // there); not for unsynchronised data.
  TagLib::ByteVector peek(std::uint64_t ahead, std::size_t count) const;

 private:
  bool stop();
  bool next(char& out);  // the next byte with unsynchronisation undone

  int fd_;
  std::uint64_t at_, end_;
  bool unsynchronised_;
  std::vector<char> buffer_;  // the bytes from at_ on, from buffered_ on
  std::size_t buffered_ = 0;
  int previous_ = -1;
};

}  // namespace pulsemill
