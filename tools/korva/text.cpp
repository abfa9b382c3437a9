// Text helpers of the korva tool.
#include "text.h"

#include "udf/unicode.h"
#include "udf/utf8.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace korvacli {

std::optional<std::u16string> Utf8ToUtf16(const std::string &text) {
  std::u16string out;
  if (!korva::Utf8ToUtf16(text, out)) return std::nullopt;
  return out;
}

std::string Utf16ToUtf8(const std::u16string &text) {
  std::string out;
  if (korva::Utf16ToUtf8(text, out)) return out;
  // A name with a lone surrogate still has to be shown: convert the valid runs and put
  // U+FFFD where a surrogate stands alone.
  out.clear();
  size_t run = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    bool lone = false;
    if (i < text.size()) {
      const char16_t u = text[i];
      if (u >= 0xD800 && u <= 0xDBFF) {
        if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
          ++i;
          continue;
        }
        lone = true;
      } else if (u >= 0xDC00 && u <= 0xDFFF) {
        lone = true;
      }
      if (!lone) continue;
    }
    std::string part;
    korva::Utf16ToUtf8(text.data() + run, i - run, part);
    out += part;
    if (lone) out += "\xEF\xBF\xBD";
    run = i + 1;
  }
  return out;
}

std::string Utf16ToUtf8(const char16_t *text) {
  if (text == nullptr) return std::string();
  return Utf16ToUtf8(std::u16string(text));
}

std::u16string VolumePath::Engine() const {
  if (parts.empty()) return u"\\";
  std::u16string out;
  for (const auto &p : parts) {
    out += u'\\';
    // The engine separates components with backslashes; one inside a name is passed as the
    // engine's stand-in for it.
    for (char16_t c : p)
      out += c == u'\\' ? kEngineBackslash : c;
  }
  return out;
}

namespace {
bool IsControl(char16_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}
int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}
} // namespace

bool NameFitsVolume(const std::u16string &name) {
  return korva::CompressedNameLength(name.size(), name.data()) <= 255;
}

std::string EscapeName(const std::u16string &name) {
  static const char16_t kHex[] = u"0123456789abcdef";
  std::u16string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (IsControl(c)) {
      out += {u'%', u'x', kHex[c >> 4], kHex[c & 15]};
      continue;
    }
    const char16_t next = i + 1 < name.size() ? name[i + 1] : u'/';
    if (c == u'/' || c == u'\\' ||
        (c == u'%' && (next == u'/' || next == u'\\' || next == u'%' || next == u'x')))
      out += u'%';
    out += c;
  }
  return Utf16ToUtf8(out);
}

std::string VolumePath::Display() const {
  if (parts.empty()) return "/";
  std::string out;
  for (const auto &p : parts) {
    out += '/';
    out += EscapeName(p);
  }
  return out;
}

VolumePath VolumePath::Parent() const {
  VolumePath up = *this;
  if (!up.parts.empty()) up.parts.pop_back();
  return up;
}

VolumePath VolumePath::Child(const std::u16string &name) const {
  VolumePath down = *this;
  down.parts.push_back(name);
  return down;
}

// How many characters of w, from i on, an escape takes (0: none starts there); the character
// it stands for in c.
static size_t EscapeAt(const std::u16string &w, size_t i, char16_t &c) {
  if (w[i] != u'%') return 0;
  // An escaped separator or percent sign belongs to the name.
  if (i + 1 < w.size() && (w[i + 1] == u'/' || w[i + 1] == u'\\' || w[i + 1] == u'%')) {
    c = w[i + 1];
    return 2;
  }
  // A control character, as listings show it.
  if (i + 3 < w.size() && w[i + 1] == u'x' && HexValue(w[i + 2]) >= 0 &&
      HexValue(w[i + 3]) >= 0) {
    c = char16_t(HexValue(w[i + 2]) * 16 + HexValue(w[i + 3]));
    return 4;
  }
  return 0;
}

// One name of a path taken into it: "." and empty names (repeated separators) change
// nothing, ".." goes up.
static void AppendPart(VolumePath &path, const std::u16string &part) {
  if (part.empty() || part == u".") return;
  if (part == u"..") {
    if (!path.parts.empty()) path.parts.pop_back();
    return;
  }
  path.parts.push_back(part);
}

std::optional<VolumePath> ParseVolumePath(const std::string &text) {
  auto wide = Utf8ToUtf16(text);
  if (!wide) return std::nullopt;
  VolumePath path;
  std::u16string part;
  const std::u16string &w = *wide;
  for (size_t i = 0; i < w.size(); ++i) {
    char16_t escaped = 0;
    if (const size_t length = EscapeAt(w, i, escaped)) {
      part.push_back(escaped);
      i += length - 1;
    } else if (w[i] == u'/' || w[i] == u'\\') {
      AppendPart(path, part);
      part.clear();
    } else {
      part.push_back(w[i]);
    }
  }
  AppendPart(path, part);
  return path;
}

std::string HumanBytes(uint64_t bytes) {
  static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024.0 && unit < 4) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  if (unit == 0)
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  else if (value < 10.0)
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  else
    std::snprintf(text, sizeof text, "%.0f %s", value, units[unit]);
  return text;
}

std::string FileTimeToIso(uint64_t fileTime) {
  // 100 ns units between 1601-01-01 and 1970-01-01.
  const uint64_t epochDelta = 116444736000000000ULL;
  if (fileTime < epochDelta) return std::string();
  // The civil calendar of the standard library: the same on every system, and no
  // reentrancy question.
  using namespace std::chrono;
  const sys_seconds when{seconds{static_cast<int64_t>((fileTime - epochDelta) / 10000000ULL)}};
  const sys_days day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{when - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                int(time.minutes().count()), int(time.seconds().count()));
  return text;
}

std::string Printable(const std::string &utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) {
      out += '?';
    } else if (c == 0xC2 && i + 1 < utf8.size() &&
               static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      out += '?'; // U+0080..U+009F
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string JsonString(const std::string &utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\u%04x", c);
        out += esc;
      } else {
        out.push_back(static_cast<char>(c));
      }
    }
  }
  out += '"';
  return out;
}

std::optional<uint64_t> ParseNumber(const std::string &text, uint64_t min, uint64_t max) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value < min || value > max) return std::nullopt;
  return value;
}

} // namespace korvacli
