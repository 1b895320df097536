#include "tags/byte_range.h"

#include <algorithm>

#include "base/bytes.h"

namespace pulsemill {

namespace {

constexpr std::size_t kBufferBytes = std::size_t{64} << 10;

}  // namespace

bool ByteRange::read(std::size_t count, TagLib::ByteVector& out) {
  out.resize(static_cast<unsigned>(count));
  if (!unsynchronised_) {
    if (count > left() || !readAt(fd_, at_, out.data(), count)) return stop();
    at_ += count;
    return true;
  }
  for (std::size_t i = 0; i < count; ++i)
    if (!next(out[static_cast<unsigned>(i)])) return stop();
  return true;
}

bool ByteRange::skip(std::uint64_t count) {
  if (!unsynchronised_) {
    if (count > left()) return stop();
    at_ += count;
    return true;
  }
  for (char c; count > 0; --count)
    if (!next(c)) return stop();
  return true;
}

TagLib::ByteVector ByteRange::peek(std::uint64_t ahead, std::size_t count) const {
  TagLib::ByteVector out;
  if (ahead > left() || count > left() - ahead) return out;
  out.resize(static_cast<unsigned>(count));
  if (!readAt(fd_, at_ + ahead, out.data(), count)) out.clear();
  return out;
}

bool ByteRange::stop() {
  at_ = end_;
  buffer_.clear();
  buffered_ = 0;
  return false;
}

bool ByteRange::next(char& out) {
  for (;;) {
    if (at_ >= end_) return false;
    if (buffered_ == buffer_.size()) {
      buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kBufferBytes, left())));
      buffered_ = 0;
      if (!readAt(fd_, at_, buffer_.data(), buffer_.size())) {
        buffer_.clear();
        return false;
      }
    }
    const int c = static_cast<unsigned char>(buffer_[buffered_++]);
    ++at_;
    const bool stuffed = previous_ == 0xFF && c == 0;
    previous_ = c;
    if (!stuffed) {
      out = static_cast<char>(c);
      return true;
    }
  }
}

}  // namespace pulsemill
