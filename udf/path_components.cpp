#include "udf/path_components.h"

#include "udf/unicode.h"

namespace korva {

namespace {
constexpr size_t kComponentHeader = 4; // type, identifier length, file version number

// Appends one component; false when its name does not decode.
bool AppendComponent(uint8_t type, const uint8_t *ident, uint8_t identLength,
                     std::u16string &out) {
  switch (type) {
  case kComponentRootAgreed:
    // Where such a root lies is not known here; the kernel skips one that names it.
    if (identLength > 0) return true;
    [[fallthrough]];
  case kComponentRoot:
    out.assign(1, u'/');
    return true;
  case kComponentParent:
    out += u"../";
    return true;
  case kComponentCurrent:
    out += u"./";
    return true;
  case kComponentName: {
    if (identLength == 0) return false;
    std::u16string name(UncompressedLength(identLength, ident), u'\0');
    const int32_t n = UncompressUnicode(identLength, ident, name.data(), name.size());
    if (n <= 0) return false;
    name.resize(size_t(n));
    out += name;
    out += u'/';
    return true;
  }
  default:
    return false;
  }
}
} // namespace

std::optional<std::u16string> PathFromComponents(const uint8_t *data, size_t length) {
  if (data == nullptr && length > 0) return std::nullopt;
  std::u16string out;
  size_t at = 0;
  while (at < length) {
    if (length - at < kComponentHeader) return std::nullopt;
    const uint8_t type = data[at], identLength = data[at + 1];
    if (length - at - kComponentHeader < identLength) return std::nullopt;
    if (!AppendComponent(type, data + at + kComponentHeader, identLength, out))
      return std::nullopt;
    at += kComponentHeader + identLength;
  }
  if (out.size() > 1 && out.back() == u'/') out.pop_back();
  return out;
}

std::optional<std::vector<uint8_t>> ComponentsFromPath(std::u16string_view path) {
  std::vector<uint8_t> out;
  auto header = [&](uint8_t type, uint8_t identLength) {
    out.insert(out.end(), {type, identLength, 0, 0});
  };
  size_t at = 0;
  if (!path.empty() && path[0] == u'/') {
    header(kComponentRoot, 0);
    at = 1;
  }
  while (at < path.size()) {
    size_t end = path.find(u'/', at);
    if (end == std::u16string_view::npos) end = path.size();
    const std::u16string_view name = path.substr(at, end - at);
    at = end + 1;
    if (name.empty()) continue;
    if (name == u".") {
      header(kComponentCurrent, 0);
    } else if (name == u"..") {
      header(kComponentParent, 0);
    } else {
      uint8_t stored[255];
      const int32_t count = static_cast<int32_t>(name.size());
      int32_t n = count <= 254 ? CompressUnicode(count, 8, name.data(), stored) : -1;
      if (n < 0 && count <= 127) n = CompressUnicode(count, 16, name.data(), stored);
      if (n < 0) return std::nullopt;
      header(kComponentName, static_cast<uint8_t>(n));
      out.insert(out.end(), stored, stored + n);
    }
  }
  return out;
}

} // namespace korva
