// Text helpers of the korva tool: UTF conversion, volume paths, number and time formats,
// JSON string escaping. Nothing here touches a volume.
#ifndef KORVA_TOOLS_TEXT_H
#define KORVA_TOOLS_TEXT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvacli {

// Strict UTF-8 to UTF-16: nullopt for malformed input (overlong forms, surrogates, bytes
// that start no sequence), so a name is never stored altered.
std::optional<std::u16string> Utf8ToUtf16(const std::string &text);

// UTF-16 to UTF-8 for display: a lone surrogate becomes U+FFFD instead of failing, so a
// damaged name can still be listed.
std::string Utf16ToUtf8(const std::u16string &text);
std::string Utf16ToUtf8(const char16_t *text);

// What the engine's paths take for a backslash inside a name (its own separator).
inline constexpr char16_t kEngineBackslash = u'\uF05C';

// A path inside the volume, as components. Accepts '/' and '\' as separators, ignores
// repeated and trailing separators and "." components, and resolves ".." lexically (never
// above the root). A name that holds a separator (as media written elsewhere may) is
// written with '%' before it: "%/" and "%\" are part of the name, "%%" is one '%'; any
// other '%' is itself.
struct VolumePath {
  std::vector<std::u16string> parts;

  bool IsRoot() const { return parts.empty(); }
  // The form the engine takes: "\a\b"; "\" for the root.
  std::u16string Engine() const;
  // The form shown to users: "/a/b"; "/" for the root.
  std::string Display() const;
  VolumePath Parent() const;
  std::u16string Name() const { return parts.empty() ? std::u16string() : parts.back(); }
  VolumePath Child(const std::u16string &name) const;
};

// nullopt when the text is not valid UTF-8.
std::optional<VolumePath> ParseVolumePath(const std::string &text);

// A name as it is typed in a path: separators escaped, control characters as %xHH (two hex
// digits), and '%' doubled where it would otherwise start an escape (before a separator, '%'
// or 'x', or at the end).
std::string EscapeName(const std::u16string &name);

// Whether a volume can hold the name: its compressed form fits the identifier's length byte.
bool NameFitsVolume(const std::u16string &name);

// "1.5 MiB" style, one decimal below 10 units, none above.
std::string HumanBytes(uint64_t bytes);

// A file time (100 ns units since 1601-01-01 UTC) as "2026-12-08T01:23:45Z"; "" for 0 or a
// time before 1970.
std::string FileTimeToIso(uint64_t fileTime);

// Text safe to show on a terminal: control characters (C0, DEL and C1) become '?', so a
// name from a hostile medium cannot send escape sequences.
std::string Printable(const std::string &utf8);

// A JSON string literal, quotes included.
std::string JsonString(const std::string &utf8);

// Parses a decimal number in [min, max]; nullopt otherwise (signs, blanks, overflow).
std::optional<uint64_t> ParseNumber(const std::string &text, uint64_t min, uint64_t max);

} // namespace korvacli

#endif
