/* Korva: identity, file times and text conversion of the UDF layer. Usable from C and C++. */
#ifndef KORVA_UDF_H
#define KORVA_UDF_H

#include "korva/config.h"

KORVA_EXTERN_C_BEGIN

/* A 64-bit count of 100-nanosecond units since 1601-01-01 00:00:00 UTC, low half first.
 * Windows programs get the system's own type, so that this header and <windows.h> go
 * together in one source. */
#if defined(_WIN32)
KORVA_EXTERN_C_END
#include <windows.h>
KORVA_EXTERN_C_BEGIN
#else
typedef struct FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
} FILETIME;
#endif

/* The library's version text: release number and release date, e.g.
 * "Korva 1.0.1 (2026-12-08)". The string is static; do not free it. */
KORVA_API const char *GetKORVAVersion(void);

/* Converts a zero-terminated UTF-8 string to UTF-16. With dst null or dstCount 0, returns the
 * number of code units needed (without terminator). Otherwise writes the string and its
 * terminator and returns its length without terminator; returns -2 when dstCount cannot hold
 * it and the terminator. Returns -1 for a null or malformed source (bad UTF-8, encoded
 * surrogates, overlong forms); nothing is ever replaced silently. */
KORVA_API int32_t KorvaUtf8ToUtf16(const char *src, KWCHAR *dst, int32_t dstCount);

/* The reverse: zero-terminated UTF-16 to UTF-8, same results; a lone surrogate gives -1. */
KORVA_API int32_t KorvaUtf16ToUtf8(const KWCHAR *src, char *dst, int32_t dstSize);

KORVA_EXTERN_C_END

#endif
