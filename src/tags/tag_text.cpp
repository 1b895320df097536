#include "tags/tag_text.h"

#include <taglib/infotag.h>
#include <taglib/tdebuglistener.h>

namespace pulsemill {

namespace {

using TagLib::ByteVector;

// Whether `text` is valid UTF-8 as TagLib decodes it.
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

TagLib::String decodeText(const ByteVector& bytes) {
  const int nul = bytes.find('\0');
  const ByteVector text = nul < 0 ? bytes : bytes.mid(0, static_cast<unsigned>(nul));
  return TagLib::String(text, isUtf8(text) ? TagLib::String::UTF8 : TagLib::String::Latin1);
}

// TagLib reports what it finds odd through a debug listener; a converter's
// console is not the place for it.
class SilentListener : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String&) override {}
};

class InfoTextHandler : public TagLib::RIFF::Info::StringHandler {
 public:
  TagLib::String parse(const ByteVector& data) const override { return decodeText(data); }
};

}  // namespace

std::string decodeTagText(const char* bytes, std::size_t size) {
  return decodeText(ByteVector(bytes, static_cast<unsigned>(size))).to8Bit(true);
}

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

}  // namespace pulsemill
