// UTF-8 <-> UTF-16 conversion for every 8-bit form of the interface. Malformed input (bad
// UTF-8, a lone surrogate) is an error the caller sees; nothing is replaced silently.
#ifndef KORVA_UDF_UTF8_H
#define KORVA_UDF_UTF8_H

#include <cstddef>
#include <string>

namespace korva {

// Converts `length` bytes of UTF-8. Rejects overlong forms, encoded surrogates, code points
// above U+10FFFF, stray continuation bytes and truncated sequences. On failure `out` is cleared.
bool Utf8ToUtf16(const char *src, size_t length, std::u16string &out);
inline bool Utf8ToUtf16(const std::string &src, std::u16string &out) {
  return Utf8ToUtf16(src.data(), src.size(), out);
}

// Converts `length` UTF-16 code units; a lone or reversed surrogate fails. On failure `out` is
// cleared.
bool Utf16ToUtf8(const char16_t *src, size_t length, std::string &out);
inline bool Utf16ToUtf8(const std::u16string &src, std::string &out) {
  return Utf16ToUtf8(src.data(), src.size(), out);
}

} // namespace korva

#endif
