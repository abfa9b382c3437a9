#include "volume/fs/fs_path.h"
#include "udf/unicode.h"

namespace korva {

size_t WideLength(const char16_t *s) {
  size_t n = 0;
  if (s)
    while (s[n])
      ++n;
  return n;
}

std::vector<std::u16string> SplitPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  if (!path.empty() && path.front() == kPathSeparator) path.remove_prefix(1);
  if (!path.empty() && path.back() == kPathSeparator) path.remove_suffix(1);
  if (path.empty()) return parts;
  size_t start = 0;
  for (;;) {
    size_t sep = path.find(kPathSeparator, start);
    if (sep == std::u16string_view::npos) {
      parts.emplace_back(path.substr(start));
      break;
    }
    parts.emplace_back(path.substr(start, sep - start));
    start = sep + 1;
  }
  return parts;
}

ParentAndName SplitParent(std::u16string_view path) {
  ParentAndName r;
  size_t sep = path.rfind(kPathSeparator);
  if (sep == std::u16string_view::npos) {
    r.Name = std::u16string(path);
    return r;
  }
  r.HasSeparator = true;
  r.Parent = std::u16string(path.substr(0, sep + 1));
  r.Name = std::u16string(path.substr(sep + 1));
  return r;
}

bool IsReservedNameChar(char16_t c) {
  return c < 0x20 || c == kPathSeparator || c == kBackslashStandIn ||
         std::u16string_view(u"*?:<>|\"").find(c) != std::u16string_view::npos;
}

bool IsStorableName(std::u16string_view name) {
  if (name.empty() || CompressedNameLength(name.size(), name.data()) > 255) return false;
  for (char16_t c : name)
    if (IsReservedNameChar(c)) return false;
  return true;
}

bool IsLookupName(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxLookupChars) return false;
  for (char16_t c : name)
    if (c == 0 || c == kPathSeparator) return false;
  return true;
}

ParentKind ClassifyParent(std::u16string_view parent) {
  if (parent.size() == 1 && parent[0] == kPathSeparator) return ParentKind::Root;
  for (char16_t c : parent)
    if (c != kPathSeparator) return ParentKind::Components;
  return ParentKind::Invalid;
}

bool NameMatches(std::u16string_view pattern, std::u16string_view name) {
  if (pattern.find_first_of(u"*?") != std::u16string_view::npos) return pattern == u"*";
  return pattern == name;
}

} // namespace korva
