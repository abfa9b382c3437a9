// The 8-bit encoding of the interface's 8-bit forms: UTF-8 on Linux, the process's ANSI code
// page on Windows (as Windows programs pass their 8-bit strings). Malformed input, and on
// Windows a character the code page cannot hold, is an error: nothing is replaced silently.
#ifndef KORVA_UDF_NARROW_H
#define KORVA_UDF_NARROW_H

#include <cstddef>
#include <string>

namespace korva {

bool NarrowToUtf16(const char *src, size_t length, std::u16string &out);
bool Utf16ToNarrow(const char16_t *src, size_t length, std::string &out);

} // namespace korva

#endif
