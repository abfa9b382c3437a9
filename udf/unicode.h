// OSTA compressed Unicode: a compression identifier byte (8 or 16) followed by 8-bit
// characters or 16-bit characters stored most significant byte first. Names compare by exact
// UTF-16 code unit (case-sensitive, no locale rules).
#ifndef KORVA_UDF_UNICODE_H
#define KORVA_UDF_UNICODE_H

#include <cstddef>
#include <cstdint>

namespace korva {

// Writes the identifier and `count` code units of src to dst and returns the bytes written
// (1 + count for identifier 8, 1 + 2 x count for 16). Returns -1 and writes nothing for any
// other identifier, a negative count, or, with identifier 8, a code unit above 0xFF (it would
// not survive the 8-bit form). No terminator is written.
int32_t CompressUnicode(int32_t count, int32_t compressionId, const char16_t *src, uint8_t *dst);

// Compresses a name for a file identifier, whose length field is one byte: 16-bit characters
// when they fit it (up to 127), else 8-bit ones when every code unit fits in 8 bits (up to 254,
// as other systems store long names). Returns the bytes written (or -1, as above).
int32_t CompressName(int32_t count, const char16_t *src, uint8_t *dst);
// The bytes CompressName writes for a name.
size_t CompressedNameLength(size_t count, const char16_t *src);

// Decodes byteCount bytes (identifier included) into dst and returns the code units written,
// or -1 when the identifier is neither 8 nor 16 (nothing written). An identifier-16 string of
// even total length ends with a character that has only its high byte. No terminator is
// written. dst must hold byteCount - 1 code units.
int32_t UncompressUnicode(int32_t byteCount, const uint8_t *src, char16_t *dst);

// The same with the room of dst stated: -1 also when the result would not fit.
int32_t UncompressUnicode(int32_t byteCount, const uint8_t *src, char16_t *dst, size_t dstCount);

// Code units that byteCount compressed bytes decode to (0 for an unknown identifier).
size_t UncompressedLength(int32_t byteCount, const uint8_t *src);

// True when both lengths are equal and the bytes, identifier included, are identical.
bool OSTACompressedUnicodeStrings_Matched(const uint8_t *a, int32_t aLength, const uint8_t *b,
                                          int32_t bLength);

// Whether a name matches a find pattern. '*' stands for any run of code units, '?' for exactly
// one; "*" and "*.*" match every name, an empty one included. Everything else compares exactly.
bool UnicodeStringMatchedPattern(const char16_t *pattern, const char16_t *name);

} // namespace korva

#endif
