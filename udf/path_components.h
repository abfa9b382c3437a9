// Symbolic links record their target as a sequence of path components (a root, a parent,
// the current directory or a named component), each name an OSTA compressed string. These
// turn such a sequence into a POSIX path and back.
#ifndef KORVA_UDF_PATH_COMPONENTS_H
#define KORVA_UDF_PATH_COMPONENTS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korva {

inline constexpr uint8_t kComponentRootAgreed = 1; // a root agreed between writer and reader
inline constexpr uint8_t kComponentRoot = 2;       // the root of the file set: "/"
inline constexpr uint8_t kComponentParent = 3;     // ".."
inline constexpr uint8_t kComponentCurrent = 4;    // "."
inline constexpr uint8_t kComponentName = 5;

// The path a sequence of components names, with '/' between components, as the Linux kernel
// reads it: a root restarts the path, an agreed root that carries an identifier is skipped.
// Nothing when a component runs past the data, has an unknown type, or a name that does not
// decode.
std::optional<std::u16string> PathFromComponents(const uint8_t *data, size_t length);

// The components of a POSIX path (a leading '/' is the root; empty components are skipped).
// Names are stored 8-bit when every unit fits, else 16-bit. Nothing when a component holds
// more than 254 bytes stored.
std::optional<std::vector<uint8_t>> ComponentsFromPath(std::u16string_view path);

} // namespace korva

#endif
