#include "udf/unicode.h"

#include <cstring>

#include "udf/wstring.h"

namespace korva {

int32_t CompressUnicode(int32_t count, int32_t compressionId, const char16_t *src, uint8_t *dst) {
  if (count < 0 || dst == nullptr || (count > 0 && src == nullptr)) return -1;
  if (compressionId == 8) {
    if (count > INT32_MAX - 1) return -1;
    for (int32_t i = 0; i < count; ++i)
      if (src[i] > 0xFF) return -1;
    dst[0] = 8;
    for (int32_t i = 0; i < count; ++i)
      dst[1 + i] = static_cast<uint8_t>(src[i]);
    return 1 + count;
  }
  if (compressionId == 16) {
    if (count > (INT32_MAX - 1) / 2) return -1;
    dst[0] = 16;
    for (int32_t i = 0; i < count; ++i) {
      dst[1 + 2 * i] = static_cast<uint8_t>(src[i] >> 8);
      dst[2 + 2 * i] = static_cast<uint8_t>(src[i]);
    }
    return 1 + 2 * count;
  }
  return -1;
}

namespace {
bool FitsEightBits(size_t count, const char16_t *src) {
  for (size_t i = 0; i < count; ++i)
    if (src[i] > 0xFF) return false;
  return true;
}
} // namespace

constexpr size_t kMaxWideNameChars = 127;

int32_t CompressName(int32_t count, const char16_t *src, uint8_t *dst) {
  if (count < 0 || (count > 0 && src == nullptr)) return -1;
  const bool narrow = size_t(count) > kMaxWideNameChars && FitsEightBits(size_t(count), src);
  return CompressUnicode(count, narrow ? 8 : 16, src, dst);
}

size_t CompressedNameLength(size_t count, const char16_t *src) {
  const bool narrow = count > kMaxWideNameChars && FitsEightBits(count, src);
  return 1 + (narrow ? count : 2 * count);
}

size_t UncompressedLength(int32_t byteCount, const uint8_t *src) {
  if (byteCount < 1 || src == nullptr) return 0;
  const size_t payload = size_t(byteCount) - 1;
  if (src[0] == 8) return payload;
  if (src[0] == 16) return (payload + 1) / 2;
  return 0;
}

int32_t UncompressUnicode(int32_t byteCount, const uint8_t *src, char16_t *dst, size_t dstCount) {
  if (byteCount < 1 || src == nullptr) return -1;
  const uint8_t id = src[0];
  if (id != 8 && id != 16) return -1;
  const size_t needed = UncompressedLength(byteCount, src);
  if (needed > dstCount || (needed > 0 && dst == nullptr)) return -1;
  int32_t written = 0;
  int32_t i = 1;
  while (i < byteCount) {
    unsigned unit = 0;
    if (id == 16) unit = unsigned(src[i++]) << 8;
    if (i < byteCount) unit |= src[i++];
    dst[written++] = static_cast<char16_t>(unit);
  }
  return written;
}

int32_t UncompressUnicode(int32_t byteCount, const uint8_t *src, char16_t *dst) {
  return UncompressUnicode(byteCount, src, dst, byteCount > 0 ? size_t(byteCount) : 0);
}

bool OSTACompressedUnicodeStrings_Matched(const uint8_t *a, int32_t aLength, const uint8_t *b,
                                          int32_t bLength) {
  if (aLength != bLength || aLength < 0) return false;
  if (aLength == 0) return true;
  if (a == nullptr || b == nullptr) return false;
  return std::memcmp(a, b, size_t(aLength)) == 0;
}

bool UnicodeStringMatchedPattern(const char16_t *pattern, const char16_t *name) {
  static const char16_t kEmpty[1] = {0};
  if (pattern == nullptr) pattern = kEmpty;
  if (name == nullptr) name = kEmpty;
  // Path components double as patterns, so wildcards stay deliberately narrow: "*" lists a
  // whole directory, and any other pattern holding '*' or '?' names nothing (a lookup of
  // "a*" must never open whichever file happens to start with 'a').
  for (const char16_t *c = pattern; *c != 0; ++c)
    if (*c == u'*' || *c == u'?') return pattern[0] == u'*' && pattern[1] == 0;
  return StrCompW(pattern, name) == 0;
}

} // namespace korva
