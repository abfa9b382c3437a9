#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "udf/path_components.h"
#include "udf/unicode.h"
#include "udf/wstring.h"

using namespace korva;

TEST(Unicode, CompressForms) {
  uint8_t out[16];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(CompressUnicode(3, 16, u"abc", out), 7);
  const uint8_t want16[] = {16, 0, 'a', 0, 'b', 0, 'c'};
  EXPECT_EQ(std::memcmp(out, want16, 7), 0);
  EXPECT_EQ(out[7], 0xEE); // no terminator

  EXPECT_EQ(CompressUnicode(3, 8, u"abc", out), 4);
  const uint8_t want8[] = {8, 'a', 'b', 'c'};
  EXPECT_EQ(std::memcmp(out, want8, 4), 0);

  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(CompressUnicode(3, 12, u"abc", out), -1);
  EXPECT_EQ(CompressUnicode(-1, 16, u"abc", out), -1);
  // A character that needs 16 bits is not squeezed into the 8-bit form.
  EXPECT_EQ(CompressUnicode(2, 8, u"a\u20AC", out), -1);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(CompressUnicode(1, 8, u"\u00FF", out), 2);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(CompressUnicode(1, 16, u"\u20AC", out), 3);
  EXPECT_EQ(out[1], 0x20);
  EXPECT_EQ(out[2], 0xAC);
  EXPECT_EQ(CompressUnicode(0, 16, nullptr, out), 1);
}

TEST(Unicode, UncompressForms) {
  char16_t w[8] = {};
  const uint8_t c16[] = {16, 0, 'a', 0, 'b', 0, 'c'};
  EXPECT_EQ(UncompressUnicode(7, c16, w), 3);
  EXPECT_EQ(std::u16string(w, 3), u"abc");
  const uint8_t c8[] = {8, 'a', 'b', 'c'};
  std::memset(w, 0, sizeof w);
  EXPECT_EQ(UncompressUnicode(4, c8, w), 3);
  EXPECT_EQ(std::u16string(w, 3), u"abc");
  const uint8_t bad[] = {0, 'a'};
  w[0] = u'x';
  EXPECT_EQ(UncompressUnicode(2, bad, w), -1);
  EXPECT_EQ(w[0], u'x');
  EXPECT_EQ(UncompressUnicode(1, c16, w), 0);
  EXPECT_EQ(UncompressUnicode(0, c16, w), -1);
  // An even total length leaves a last character with only its high byte.
  const uint8_t half[] = {16, 0x41, 0x42, 0x43};
  EXPECT_EQ(UncompressUnicode(4, half, w), 2);
  EXPECT_EQ(w[0], 0x4142);
  EXPECT_EQ(w[1], 0x4300);
  EXPECT_EQ(UncompressedLength(4, half), 2u);
  // With the room of the destination stated, a result that does not fit is refused.
  char16_t small[2] = {7, 7};
  EXPECT_EQ(UncompressUnicode(4, c8, small, 2), -1);
  EXPECT_EQ(small[0], 7);
  EXPECT_EQ(UncompressUnicode(7, c16, small, 2), -1);
  EXPECT_EQ(UncompressUnicode(5, c16, small, 2), 2);
}

TEST(Unicode, RoundTripsBothForms) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    const int n = int(rng() % 40);
    std::u16string s16, s8;
    for (int i = 0; i < n; ++i) {
      s16.push_back(char16_t(rng() % 0x10000));
      s8.push_back(char16_t(rng() % 0x100));
    }
    std::vector<uint8_t> c(1 + 2 * n);
    std::vector<char16_t> back(n + 1, 0);
    ASSERT_EQ(CompressUnicode(n, 16, s16.data(), c.data()), 1 + 2 * n);
    ASSERT_EQ(UncompressUnicode(1 + 2 * n, c.data(), back.data(), back.size()), n);
    EXPECT_EQ(std::u16string(back.data(), n), s16);
    ASSERT_EQ(CompressUnicode(n, 8, s8.data(), c.data()), 1 + n);
    ASSERT_EQ(UncompressUnicode(1 + n, c.data(), back.data(), back.size()), n);
    EXPECT_EQ(std::u16string(back.data(), n), s8);
  }
}

TEST(Unicode, CompressedMatch) {
  uint8_t a16[16], b16[16], a8[16];
  const int32_t n16 = CompressUnicode(3, 16, u"abc", a16);
  CompressUnicode(3, 16, u"abd", b16);
  const int32_t n8 = CompressUnicode(3, 8, u"abc", a8);
  EXPECT_TRUE(OSTACompressedUnicodeStrings_Matched(a16, n16, a16, n16));
  EXPECT_FALSE(OSTACompressedUnicodeStrings_Matched(a16, n16, b16, n16));
  EXPECT_FALSE(OSTACompressedUnicodeStrings_Matched(a16, n16, a16, n16 - 2));
  // Same name, other compression: not the same identifier.
  EXPECT_FALSE(OSTACompressedUnicodeStrings_Matched(a16, n16, a8, n8));
  EXPECT_FALSE(OSTACompressedUnicodeStrings_Matched(a16, 4, a8, 4));
}

TEST(Unicode, Patterns) {
  EXPECT_TRUE(UnicodeStringMatchedPattern(u"*", u"anything.txt"));
  EXPECT_TRUE(UnicodeStringMatchedPattern(u"*", u""));
  EXPECT_TRUE(UnicodeStringMatchedPattern(u"File", u"File"));
  EXPECT_FALSE(UnicodeStringMatchedPattern(u"File", u"file"));
  EXPECT_FALSE(UnicodeStringMatchedPattern(u"File", u"File2"));
  EXPECT_FALSE(UnicodeStringMatchedPattern(u"File2", u"File"));
  EXPECT_FALSE(UnicodeStringMatchedPattern(u"", u"x"));
  EXPECT_TRUE(UnicodeStringMatchedPattern(u"", u""));
  // Any other wildcard pattern names nothing, not even a name spelled like the pattern.
  EXPECT_FALSE(UnicodeStringMatchedPattern(u"*.*", u"noext"));
  EXPECT_FALSE(UnicodeStringMatchedPattern(u"*.*", u"a.txt"));
  EXPECT_FALSE(UnicodeStringMatchedPattern(u"*.txt", u"a.txt"));
  EXPECT_FALSE(UnicodeStringMatchedPattern(u"a?c", u"abc"));
  EXPECT_FALSE(UnicodeStringMatchedPattern(u"a?c", u"a?c"));
  EXPECT_FALSE(UnicodeStringMatchedPattern(u"**", u"x"));
}

TEST(WideStrings, ScanAndLength) {
  const char16_t *s = u"a/b/c";
  EXPECT_EQ(StrScanW(s, u'/'), s + 1);
  EXPECT_EQ(StrRScanW(s, u'/'), s + 3);
  EXPECT_EQ(StrScanW(s, 0), s + 5);
  EXPECT_EQ(StrRScanW(s, 0), s + 5);
  EXPECT_EQ(StrScanW(s, u'x'), nullptr);
  EXPECT_EQ(StrRScanW(s, u'x'), nullptr);
  EXPECT_EQ(StrEndW(s), s + 5);
  EXPECT_EQ(StrLenW(s), 5u);
  EXPECT_EQ(StrLenW(nullptr), 0u);
}

TEST(WideStrings, CopyAndDuplicate) {
  char16_t buf[8];
  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(StrLCopyW(buf, u"abcdef", 3), buf);
  EXPECT_EQ(std::u16string(buf), u"abc");
  EXPECT_EQ(buf[4], u'#'); // maximum + 1 code units, no more
  char16_t *d = StrDupW(u"copy me");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(std::u16string(d), u"copy me");
  std::free(d);
}

TEST(WideStrings, CompareByCodeUnit) {
  EXPECT_EQ(StrCompW(u"abc", u"abc"), 0);
  EXPECT_LT(StrCompW(u"ab", u"abc"), 0);
  EXPECT_GT(StrCompW(u"abc", u"ab"), 0);
  EXPECT_LT(StrCompW(u"B", u"a"), 0); // case-sensitive, by code unit
  EXPECT_GT(StrCompW(u"\u00E9", u"z"), 0);
  EXPECT_EQ(StrLCompW(u"abcX", u"abcY", 3), 0);
  EXPECT_LT(StrLCompW(u"abcX", u"abcY", 4), 0);
  EXPECT_LT(StrLCompW(u"ab", u"abc", 3), 0);
  EXPECT_EQ(StrLCompW(u"x", u"y", 0), 0);
  EXPECT_EQ(StrCompW(nullptr, u""), 0);
}

// ---- Path components of symbolic links ----

TEST(PathComponents, PathsRoundTripAndRootsRestart) {
  for (const char16_t *p : {u"/", u"/a/b", u"a", u"../x/./y", u"..", u"."}) {
    const auto c = korva::ComponentsFromPath(p);
    ASSERT_TRUE(c) << std::string(p, p + std::char_traits<char16_t>::length(p));
    const auto back = korva::PathFromComponents(c->data(), c->size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, p);
  }
  // Doubled and trailing separators are not components.
  const auto c = korva::ComponentsFromPath(u"a//b/");
  ASSERT_TRUE(c);
  EXPECT_EQ(*korva::PathFromComponents(c->data(), c->size()), u"a/b");
  // A root in the middle restarts the path; an agreed root with a name is skipped.
  const uint8_t restart[] = {5, 2, 0, 0, 8, 'a', 2, 0, 0, 0, 5, 2, 0, 0, 8, 'b'};
  EXPECT_EQ(*korva::PathFromComponents(restart, sizeof restart), u"/b");
  const uint8_t agreed[] = {1, 2, 0, 0, 8, 'z', 5, 2, 0, 0, 8, 'b'};
  EXPECT_EQ(*korva::PathFromComponents(agreed, sizeof agreed), u"b");
  EXPECT_EQ(*korva::PathFromComponents(nullptr, 0), u"");
}

TEST(PathComponents, BadComponentsAndOverlongNamesFail) {
  const uint8_t runs_past[] = {5, 5, 0, 0, 8, 'a'};
  EXPECT_FALSE(korva::PathFromComponents(runs_past, sizeof runs_past));
  const uint8_t unknown_type[] = {9, 0, 0, 0};
  EXPECT_FALSE(korva::PathFromComponents(unknown_type, sizeof unknown_type));
  const uint8_t short_header[] = {5, 0};
  EXPECT_FALSE(korva::PathFromComponents(short_header, sizeof short_header));
  const uint8_t empty_name[] = {5, 0, 0, 0};
  EXPECT_FALSE(korva::PathFromComponents(empty_name, sizeof empty_name));
  const uint8_t bad_compression[] = {5, 2, 0, 0, 7, 'a'};
  EXPECT_FALSE(korva::PathFromComponents(bad_compression, sizeof bad_compression));
  EXPECT_TRUE(korva::ComponentsFromPath(std::u16string(254, u'x')));
  EXPECT_FALSE(korva::ComponentsFromPath(std::u16string(255, u'x')));
  EXPECT_TRUE(korva::ComponentsFromPath(std::u16string(127, u'\x3b1')));
  EXPECT_FALSE(korva::ComponentsFromPath(std::u16string(128, u'\x3b1')));
}
