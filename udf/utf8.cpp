#include "udf/utf8.h"

#include <climits>
#include <cstring>

#include "korva/udf.h"
#include "udf/wstring.h"

namespace korva {

namespace {

// Decodes the multi-byte sequence at p[0] of at most left bytes: the code point, and the
// number of bytes taken; 0 when the sequence is not well-formed UTF-8 (a continuation byte,
// a C0/C1 or F5..FF lead byte, a short or overlong sequence, a surrogate, beyond U+10FFFF).
size_t DecodeSequence(const unsigned char *p, size_t left, char32_t &cp) {
  const unsigned c = p[0];
  unsigned extra;
  char32_t min;
  if (c >= 0xC2 && c <= 0xDF) {
    extra = 1, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    extra = 2, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    extra = 3, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (left <= extra) return 0;
  for (unsigned k = 1; k <= extra; ++k) {
    const unsigned cc = p[k];
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return extra + 1;
}

void AppendUtf16(std::u16string &out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

} // namespace

bool Utf8ToUtf16(const char *src, size_t length, std::u16string &out) {
  out.clear();
  if (length == 0) return true;
  if (src == nullptr) return false;
  const auto *p = reinterpret_cast<const unsigned char *>(src);
  out.reserve(length);
  size_t i = 0;
  while (i < length) {
    if (p[i] < 0x80) {
      out.push_back(static_cast<char16_t>(p[i]));
      ++i;
      continue;
    }
    char32_t cp = 0;
    const size_t taken = DecodeSequence(p + i, length - i, cp);
    if (taken == 0) {
      out.clear();
      return false;
    }
    AppendUtf16(out, cp);
    i += taken;
  }
  return true;
}

bool Utf16ToUtf8(const char16_t *src, size_t length, std::string &out) {
  out.clear();
  if (length == 0) return true;
  if (src == nullptr) return false;
  out.reserve(length * 3);
  for (size_t i = 0; i < length; ++i) {
    char32_t cp = src[i];
    if (cp >= 0xDC00 && cp <= 0xDFFF) {
      out.clear();
      return false;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= length || src[i + 1] < 0xDC00 || src[i + 1] > 0xDFFF) {
        out.clear();
        return false;
      }
      cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return true;
}

} // namespace korva

namespace {
// Copies a converted string into the caller's buffer: the length without terminator, or the
// needed length when no buffer is given, -2 when the buffer is too small.
template <class C> int32_t Deliver(const std::basic_string<C> &s, C *dst, int32_t dstCount) {
  if (s.size() >= size_t(INT32_MAX)) return -2;
  const auto n = static_cast<int32_t>(s.size());
  if (dst == nullptr || dstCount == 0) return n;
  if (dstCount < 0 || n >= dstCount) return -2;
  std::memcpy(dst, s.data(), s.size() * sizeof(C));
  dst[n] = 0;
  return n;
}
} // namespace

extern "C" KORVA_API int32_t KorvaUtf8ToUtf16(const char *src, KWCHAR *dst, int32_t dstCount) {
  if (src == nullptr) return -1;
  std::u16string wide;
  if (!korva::Utf8ToUtf16(src, std::strlen(src), wide)) return -1;
  return Deliver(wide, dst, dstCount);
}

extern "C" KORVA_API int32_t KorvaUtf16ToUtf8(const KWCHAR *src, char *dst, int32_t dstSize) {
  if (src == nullptr) return -1;
  std::string narrow;
  if (!korva::Utf16ToUtf8(src, korva::StrLenW(src), narrow)) return -1;
  return Deliver(narrow, dst, dstSize);
}
