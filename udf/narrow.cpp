// 8-bit strings of the interface to and from UTF-16.
#include "udf/narrow.h"

#include "udf/utf8.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace korva {

#if defined(_WIN32)

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16");

namespace {

// A process may run with UTF-8 as its ANSI code page; the conversions take no
// best-fit or default-character flags then.
bool AnsiIsUtf8() {
  return GetACP() == CP_UTF8;
}

} // namespace

bool NarrowToUtf16(const char *src, size_t length, std::u16string &out) {
  if (AnsiIsUtf8()) return Utf8ToUtf16(src, length, out);
  out.clear();
  if (length == 0) return true;
  if (length > 0x7FFFFFFF) return false;
  const int n = static_cast<int>(length);
  const int wide = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, src, n, nullptr, 0);
  if (wide <= 0) return false;
  out.assign(static_cast<size_t>(wide), u'\0');
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, src, n,
                          reinterpret_cast<wchar_t *>(out.data()), wide) != wide) {
    out.clear();
    return false;
  }
  return true;
}

bool Utf16ToNarrow(const char16_t *src, size_t length, std::string &out) {
  if (AnsiIsUtf8()) return Utf16ToUtf8(src, length, out);
  out.clear();
  if (length == 0) return true;
  if (length > 0x7FFFFFFF) return false;
  const wchar_t *wide = reinterpret_cast<const wchar_t *>(src);
  const int n = static_cast<int>(length);
  BOOL lossy = FALSE;
  const int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, n, nullptr, 0,
                                        nullptr, &lossy);
  if (bytes <= 0 || lossy) return false;
  out.assign(static_cast<size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, n, out.data(), bytes, nullptr,
                          &lossy) != bytes ||
      lossy) {
    out.clear();
    return false;
  }
  return true;
}

#else

bool NarrowToUtf16(const char *src, size_t length, std::u16string &out) {
  return Utf8ToUtf16(src, length, out);
}

bool Utf16ToNarrow(const char16_t *src, size_t length, std::string &out) {
  return Utf16ToUtf8(src, length, out);
}

#endif

} // namespace korva
