#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "korva/udf.h"
#include "udf/timestamp.h"
#include "udf/utf8.h"

using namespace korva;

namespace {
std::string Civil(int64_t seconds) {
  UDF_TimeStamp s{};
  if (udf_time_to_stamp(&s, seconds, 0) == nullptr) return "refused";
  EXPECT_EQ(uint16_t(s.TypeAndTimezone), 0x1000);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", int(int16_t(s.Year)), s.Month,
                s.Day, s.Hour, s.Minute, s.Second);
  return buf;
}

uint64_t Ticks(const FILETIME &ft) {
  return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
} // namespace

TEST(Time, CalendarEdges) {
  const struct {
    int64_t seconds;
    const char *civil;
  } cases[] = {
      {0, "1970-01-01 00:00:00"},
      {946684800, "2000-01-01 00:00:00"},
      {951782400, "2000-02-29 00:00:00"},
      {951868800, "2000-03-01 00:00:00"},
      {1204329599, "2008-02-29 23:59:59"},
      {1230681600, "2008-12-31 00:00:00"},
      {1230681600 + 86400, "2009-01-01 00:00:00"},
      {4107542399, "2100-02-28 23:59:59"}, // 2100 is not a leap year
      {4107542400, "2100-03-01 00:00:00"},
      {253402300799, "9999-12-31 23:59:59"},
      {253402300800, "refused"},   // year 10000
      {-1, "1969-12-31 23:59:59"}, // before 1970: floor division
      {-86401, "1969-12-30 23:59:59"},
      {-2203891200, "1900-03-01 00:00:00"}, // 1900 has no February 29
      {-11644473600, "1601-01-01 00:00:00"},
      {INT64_MIN, "refused"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(Civil(c.seconds), c.civil) << c.seconds;
}

TEST(Time, MicrosecondsAndRange) {
  UDF_TimeStamp s{};
  udf_time_to_stamp(&s, 0, 123456);
  EXPECT_EQ(s.Centiseconds, 12);
  EXPECT_EQ(s.HundredsofMicroseconds, 34);
  EXPECT_EQ(s.Microseconds, 56);
  // Out-of-range microseconds carry into the seconds instead of overflowing the fields.
  udf_time_to_stamp(&s, 59, 1500000);
  EXPECT_EQ(s.Minute, 1);
  EXPECT_EQ(s.Second, 0);
  EXPECT_EQ(s.Centiseconds, 50);
  udf_time_to_stamp(&s, 0, -1);
  EXPECT_EQ(int16_t(s.Year), 1969);
  EXPECT_EQ(s.Second, 59);
  EXPECT_EQ(s.Microseconds, 99);

  EXPECT_EQ(udf_time_to_stamp(nullptr, 0, 0), nullptr);
  UDF_TimeStamp t{};
  t.Day = 77;
  EXPECT_EQ(udf_time_to_stamp(&t, INT64_MAX, 999999999), nullptr);
  EXPECT_EQ(t.Day, 77); // left alone
}

TEST(Time, StampToFileTime) {
  UDF_TimeStamp s{};
  FILETIME ft{};
  udf_time_to_stamp(&s, 0, 0);
  ASSERT_TRUE(UDFtimestampToFILETIME(s, &ft));
  EXPECT_EQ(Ticks(ft), 116444736000000000ull);

  udf_time_to_stamp(&s, 951782400 + 3661, 987654); // 2000-02-29 01:01:01.98
  ASSERT_TRUE(UDFtimestampToFILETIME(s, &ft));
  EXPECT_EQ(Ticks(ft), 116444736000000000ull + (951782400ull + 3661) * 10000000 + 98 * 100000);

  // The zone is ignored: the fields are taken as UTC.
  FILETIME other{};
  UDF_TimeStamp z = s;
  z.TypeAndTimezone = uint16_t(0x1000 | (uint16_t(-60) & 0x0FFF));
  ASSERT_TRUE(UDFtimestampToFILETIME(z, &other));
  EXPECT_EQ(Ticks(other), Ticks(ft));

  udf_time_to_stamp(&s, -11644473600, 0); // 1601-01-01
  ASSERT_TRUE(UDFtimestampToFILETIME(s, &ft));
  EXPECT_EQ(Ticks(ft), 0u);
}

TEST(Time, GarbageStampsRefused) {
  UDF_TimeStamp good{};
  udf_time_to_stamp(&good, 1230681600, 0); // 2008-12-31
  const std::function<void(UDF_TimeStamp &)> breakers[] = {
      [](UDF_TimeStamp &s) { s.Month = 13; },
      [](UDF_TimeStamp &s) { s.Month = 0; },
      [](UDF_TimeStamp &s) { s.Day = 0; },
      [](UDF_TimeStamp &s) { s.Year = int16_t(2009), s.Month = 2, s.Day = 29; },
      [](UDF_TimeStamp &s) { s.Month = 4, s.Day = 31; },
      [](UDF_TimeStamp &s) { s.Hour = 24; },
      [](UDF_TimeStamp &s) { s.Second = 60; },
      [](UDF_TimeStamp &s) { s.Centiseconds = 100; },
      [](UDF_TimeStamp &s) { s.Year = int16_t(1600); },
  };
  for (const auto &breakIt : breakers) {
    UDF_TimeStamp s = good;
    breakIt(s);
    FILETIME ft{1, 1};
    EXPECT_FALSE(UDFtimestampToFILETIME(s, &ft));
    EXPECT_EQ(Ticks(ft), 0u);
  }
  UDF_TimeStamp leap = good;
  leap.Month = 2, leap.Day = 29; // 2008 is a leap year
  FILETIME ft{};
  EXPECT_TRUE(UDFtimestampToFILETIME(leap, &ft));
  EXPECT_FALSE(UDFtimestampToFILETIME(good, nullptr));
}

TEST(Time, NowIsCurrent) {
  const int64_t now = Now_UTC();
  EXPECT_GT(now, 1767225600); // after 2026-01-01
  EXPECT_LE(now - int64_t(time(nullptr)), 1);
}

TEST(Utf, RoundTrip) {
  const std::string text = "Aé€😀z"; // 1-, 2-, 3- and 4-byte forms
  std::u16string wide;
  ASSERT_TRUE(Utf8ToUtf16(text, wide));
  EXPECT_EQ(wide, u"Aé€😀z");
  std::string back;
  ASSERT_TRUE(Utf16ToUtf8(wide, back));
  EXPECT_EQ(back, text);
}

TEST(Utf, InvalidSequencesRejected) {
  const char *bad[] = {
      "\x80",             // stray continuation
      "\xC0\xAF",         // overlong '/'
      "\xE0\x80\xAF",     // overlong
      "\xF0\x80\x80\xAF", // overlong
      "\xED\xA0\x80",     // encoded surrogate
      "\xF4\x90\x80\x80", // above U+10FFFF
      "\xE2\x82",         // truncated
      "a\xC3",            // truncated at the end
      "\xC3(",            // bad continuation
      "\xFF",
  };
  for (const char *b : bad) {
    std::u16string out = u"keep";
    EXPECT_FALSE(Utf8ToUtf16(b, std::strlen(b), out)) << b;
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(KorvaUtf8ToUtf16(b, nullptr, 0), -1);
  }
  const char16_t lone1[] = {u'a', 0xD800, u'b'};
  const char16_t lone2[] = {0xDC00};
  const char16_t trailing[] = {u'a', 0xD83D};
  std::string out;
  EXPECT_FALSE(Utf16ToUtf8(lone1, 3, out));
  EXPECT_FALSE(Utf16ToUtf8(lone2, 1, out));
  EXPECT_FALSE(Utf16ToUtf8(trailing, 2, out));
  const char16_t z[] = {u'a', 0xDC00, 0};
  EXPECT_EQ(KorvaUtf16ToUtf8(z, nullptr, 0), -1);
}

TEST(Utf, CBufferContract) {
  EXPECT_EQ(KorvaUtf8ToUtf16("h\xC3\xA9", nullptr, 0), 2);
  KWCHAR buf[3] = {9, 9, 9};
  EXPECT_EQ(KorvaUtf8ToUtf16("h\xC3\xA9", buf, 2), -2); // no room for the terminator
  EXPECT_EQ(KorvaUtf8ToUtf16("h\xC3\xA9", buf, 3), 2);
  EXPECT_EQ(buf[0], u'h');
  EXPECT_EQ(buf[1], u'é');
  EXPECT_EQ(buf[2], 0);
  char nb[4];
  EXPECT_EQ(KorvaUtf16ToUtf8(buf, nullptr, 0), 3);
  EXPECT_EQ(KorvaUtf16ToUtf8(buf, nb, 3), -2);
  EXPECT_EQ(KorvaUtf16ToUtf8(buf, nb, 4), 3);
  EXPECT_STREQ(nb, "h\xC3\xA9");
  EXPECT_EQ(KorvaUtf8ToUtf16(nullptr, buf, 3), -1);
}
