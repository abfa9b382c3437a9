/* Korva: shared definitions of the public C interface. */
#ifndef KORVA_CONFIG_H
#define KORVA_CONFIG_H

#include <stddef.h>
#include <stdint.h>

/* On Windows the library's own sources export the interface from korva.dll; programs that
 * use it need no decoration (functions link through the import library). */
#if defined(_WIN32)
#if defined(KORVA_BUILDING)
#define KORVA_API __declspec(dllexport)
#else
#define KORVA_API
#endif
#elif defined(__GNUC__)
#define KORVA_API __attribute__((visibility("default")))
#else
#define KORVA_API
#endif

#ifdef __cplusplus
#define KORVA_EXTERN_C_BEGIN extern "C" {
#define KORVA_EXTERN_C_END }
#else
#define KORVA_EXTERN_C_BEGIN
#define KORVA_EXTERN_C_END
#endif

/* Booleans of the procedural interface: 32-bit, all bits set for true. */
typedef int32_t KBOOL;
#define KTRUE ((KBOOL)-1)
#define KFALSE ((KBOOL)0)

/* Wide strings are UTF-16, zero-terminated. In C, char16_t comes from <uchar.h>. */
#ifndef __cplusplus
#include <uchar.h>
#endif
typedef char16_t KWCHAR;

#endif
