// Path syntax of the volume: components separated by backslashes, one leading backslash
// skipped, a trailing backslash after the last component allowed.
#ifndef KORVA_VOLUME_FS_PATH_H
#define KORVA_VOLUME_FS_PATH_H

#include <string>
#include <string_view>
#include <vector>

namespace korva {

inline constexpr char16_t kPathSeparator = u'\\';
// Stands in a path for a backslash held inside a stored name (written by other systems),
// which the separator could not carry. Never part of a new name.
inline constexpr char16_t kBackslashStandIn = u'\uF05C';
// One byte holds the compressed length: the identifier and one byte a character for names
// whose characters all fit in 8 bits (up to 254 characters), two bytes a character otherwise
// (up to 127).
inline constexpr size_t kMaxNameChars = 127;
inline constexpr size_t kMaxLookupChars = 254;

// Length of a zero-terminated wide string (0 for null).
size_t WideLength(const char16_t *s);

// The components of a path. "" and "\" have none; "\A\B\" and "A\B" give A, B.
// Empty components inside the path ("A\\B") are kept and match no entry.
std::vector<std::u16string> SplitPath(std::u16string_view path);

// Splits at the last backslash: parent is everything up to and including it, name the rest.
// Without a backslash the parent is empty and means the root.
struct ParentAndName {
  std::u16string Parent;
  std::u16string Name;
  bool HasSeparator = false;
};
ParentAndName SplitParent(std::u16string_view path);

// Characters a new name may not hold: control characters, the backslash, and the wildcard
// and reserved characters of other systems (* ? : < > | "). A name holding a wildcard could
// not be told apart from a pattern, and a volume carrying such names cannot be used from
// systems that refuse them; names already on a medium stay reachable by exact lookups.
bool IsReservedNameChar(char16_t c);

// A name that can be stored in a file identifier: 1 to 254 characters of 8 bits or 1 to 127
// otherwise, none reserved.
bool IsStorableName(std::u16string_view name);
// A name that can be looked up: 1 to 254 characters, no NUL and no separator. Entries
// written elsewhere may hold reserved characters and stay reachable.
bool IsLookupName(std::u16string_view name);

// Whether a parent path given to a create names the root ("\" exactly) or at least one
// directory component. Anything else (empty, only separators) is unusable.
enum class ParentKind { Root, Components, Invalid };
ParentKind ClassifyParent(std::u16string_view parent);

// Wildcard rule of names: a pattern holding '*' or '?' matches every name when it is
// exactly "*" and nothing otherwise; any other pattern matches only the identical name.
bool NameMatches(std::u16string_view pattern, std::u16string_view name);

} // namespace korva

#endif
