// Zero-terminated UTF-16 string primitives used throughout the engine, and IfThen selectors.
// Comparison is by exact UTF-16 code unit: case-sensitive, ordered by code unit value, with no
// locale rules; a null string counts as empty.
#ifndef KORVA_UDF_WSTRING_H
#define KORVA_UDF_WSTRING_H

#include <cstddef>
#include <cstdint>

namespace korva {

// First occurrence of c; searching for 0 yields the terminator. Null when absent.
const char16_t *StrScanW(const char16_t *s, char16_t c);
// Last occurrence of c; searching for 0 yields the terminator. Null when absent.
const char16_t *StrRScanW(const char16_t *s, char16_t c);
// The terminating zero (null for a null string).
const char16_t *StrEndW(const char16_t *s);
// Code units before the terminator.
size_t StrLenW(const char16_t *s);
// A heap copy including the terminator, released with std::free; null when s is null or memory
// runs out.
char16_t *StrDupW(const char16_t *s);
// Copies at most maxCount code units, stopping at the source terminator, then terminates;
// dest must hold maxCount + 1 code units. Returns dest.
char16_t *StrLCopyW(char16_t *dest, const char16_t *src, size_t maxCount);
char16_t *StrCopyW(char16_t *dest, const char16_t *src);
// Negative, 0 or positive. Each string is cut to the smaller of maxCount and its own length.
int StrLCompW(const char16_t *s1, const char16_t *s2, size_t maxCount);
int StrCompW(const char16_t *s1, const char16_t *s2);

inline int32_t IfThen(bool flag, int32_t a, int32_t b) {
  return flag ? a : b;
}
inline int64_t IfThen(bool flag, int64_t a, int64_t b) {
  return flag ? a : b;
}
inline double IfThen(bool flag, double a, double b) {
  return flag ? a : b;
}
inline const char *IfThen(bool flag, const char *a, const char *b) {
  return flag ? a : b;
}

} // namespace korva

#endif
