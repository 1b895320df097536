// Text in tags as the readers decode it, and TagLib's set-up.
//
// Conventions: a text ends at its first NUL (where TagLib ends a text too).
// Its bytes are read as UTF-8 when they are valid UTF-8 as TagLib decodes it
// (no overlong forms, no surrogates, nothing past U+10FFFF) and as Latin-1
// otherwise: LIST/INFO chunks as Windows tools write them, Vorbis comments
// and APE items that are not UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace pulsemill {

// The text in `size` bytes at `bytes`, up to the first NUL, as UTF-8.
std::string decodeTagText(const char* bytes, std::size_t size);

// TagLib's settings, made once before its first use here: its debug
// messages silenced, and INFO texts decoded as decodeTagText does (TagLib's
// own turns anything but UTF-8 into an empty text). Both are settings of
// the whole process; nothing else in the program uses TagLib.
void setUpTagLib();

}  // namespace pulsemill
