#include "udf/wstring.h"

#include <cstdlib>
#include <cstring>

namespace korva {

const char16_t *StrScanW(const char16_t *s, char16_t c) {
  if (s == nullptr) return nullptr;
  for (;; ++s) {
    if (*s == c) return s;
    if (*s == 0) return nullptr;
  }
}

const char16_t *StrRScanW(const char16_t *s, char16_t c) {
  if (s == nullptr) return nullptr;
  const char16_t *found = nullptr;
  for (;; ++s) {
    if (*s == c) found = s;
    if (*s == 0) return found;
  }
}

const char16_t *StrEndW(const char16_t *s) {
  if (s == nullptr) return nullptr;
  while (*s != 0)
    ++s;
  return s;
}

size_t StrLenW(const char16_t *s) {
  return s == nullptr ? 0 : size_t(StrEndW(s) - s);
}

char16_t *StrDupW(const char16_t *s) {
  if (s == nullptr) return nullptr;
  const size_t bytes = (StrLenW(s) + 1) * sizeof(char16_t);
  auto *copy = static_cast<char16_t *>(std::malloc(bytes));
  if (copy != nullptr) std::memcpy(copy, s, bytes);
  return copy;
}

char16_t *StrLCopyW(char16_t *dest, const char16_t *src, size_t maxCount) {
  if (dest == nullptr) return nullptr;
  size_t i = 0;
  if (src != nullptr)
    for (; i < maxCount && src[i] != 0; ++i)
      dest[i] = src[i];
  dest[i] = 0;
  return dest;
}

char16_t *StrCopyW(char16_t *dest, const char16_t *src) {
  return StrLCopyW(dest, src, 0x7FFFFFFF);
}

int StrLCompW(const char16_t *s1, const char16_t *s2, size_t maxCount) {
  static const char16_t kEmpty[1] = {0};
  if (s1 == nullptr) s1 = kEmpty;
  if (s2 == nullptr) s2 = kEmpty;
  for (size_t i = 0; i < maxCount; ++i) {
    const char16_t a = s1[i], b = s2[i];
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
  return 0;
}

int StrCompW(const char16_t *s1, const char16_t *s2) {
  return StrLCompW(s1, s2, 0x7FFFFFFF);
}

} // namespace korva
