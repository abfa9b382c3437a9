#include "udf/timestamp.h"

#include <ctime>

namespace korva {

const uint16_t kCumulativeDays[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};

namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

int64_t FloorMod(int64_t a, int64_t b) {
  return a - FloorDiv(a, b) * b;
}

// Leap days from year 1 through year y.
int64_t Leaps(int64_t y) {
  return FloorDiv(y, 4) - FloorDiv(y, 100) + FloorDiv(y, 400);
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  const int64_t y = year - (month <= 2 ? 1 : 0);
  const int64_t era = FloorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t mp = (month + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

constexpr int64_t kFileTimeEpochOffset = 116444736000000000LL; // 1601 to 1970 in 100 ns
constexpr int64_t kMaxSupportedSeconds = 253402300799LL;       // 9999-12-31 23:59:59
constexpr int64_t kMinSupportedSeconds = -62135596800LL;       // 0001-01-01 00:00:00

} // namespace

bool IsLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t Now_UTC() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  int64_t s = ts.tv_sec;
  // Round to the nearest second, halves to even.
  if (ts.tv_nsec > 500000000L || (ts.tv_nsec == 500000000L && (s & 1) != 0)) ++s;
  return s;
}

int64_t Now_UTC_Truncated(int32_t &microseconds) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  microseconds = static_cast<int32_t>(ts.tv_nsec / 1000);
  return ts.tv_sec;
}

// Moves whole seconds out of microseconds outside 0..999999 into seconds; false when seconds
// would overflow.
static bool NormalizeMicroseconds(int64_t &seconds, int64_t &usec) {
  if (usec >= 0 && usec <= 999999) return true;
  const int64_t carry = FloorDiv(usec, 1000000);
  if ((carry > 0 && seconds > INT64_MAX - carry) || (carry < 0 && seconds < INT64_MIN - carry))
    return false;
  seconds += carry;
  usec -= carry * 1000000;
  return true;
}

// The year a day count from 1970-01-01 falls in; days becomes the day within that year.
static int64_t YearOfDays(int64_t &days) {
  int64_t year = 1970;
  while (days < 0 || days >= (IsLeapYear(year) ? 366 : 365)) {
    const int64_t guess = year + FloorDiv(days, 365);
    days -= (guess - year) * 365 + Leaps(guess - 1) - Leaps(year - 1);
    year = guess;
  }
  return year;
}

UDF_TimeStamp *udf_time_to_stamp(UDF_TimeStamp *stamp, int64_t seconds, int32_t microseconds) {
  if (stamp == nullptr) return nullptr;
  int64_t usec = microseconds;
  if (!NormalizeMicroseconds(seconds, usec)) return nullptr;
  if (seconds < kMinSupportedSeconds || seconds > kMaxSupportedSeconds) return nullptr;

  int64_t days = FloorDiv(seconds, 86400);
  const int64_t rest = FloorMod(seconds, 86400);
  const int64_t year = YearOfDays(days);
  const uint16_t *table = kCumulativeDays[IsLeapYear(year) ? 1 : 0];
  int month = 11;
  while (month > 0 && table[month] > days)
    --month;

  stamp->TypeAndTimezone = 0x1000;
  stamp->Year = static_cast<int16_t>(year);
  stamp->Month = static_cast<uint8_t>(month + 1);
  stamp->Day = static_cast<uint8_t>(days - table[month] + 1);
  stamp->Hour = static_cast<uint8_t>(rest / 3600);
  stamp->Minute = static_cast<uint8_t>(rest % 3600 / 60);
  stamp->Second = static_cast<uint8_t>(rest % 60);
  stamp->Centiseconds = static_cast<uint8_t>(usec / 10000);
  stamp->HundredsofMicroseconds = static_cast<uint8_t>(usec % 10000 / 100);
  stamp->Microseconds = static_cast<uint8_t>(usec % 100);
  return stamp;
}

bool UDFtimestampToFILETIME(const UDF_TimeStamp &stamp, FILETIME *fileTime) {
  if (fileTime == nullptr) return false;
  fileTime->dwLowDateTime = 0;
  fileTime->dwHighDateTime = 0;
  const int64_t year = int16_t(stamp.Year);
  const unsigned month = stamp.Month, day = stamp.Day;
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1) return false;
  const uint16_t *table = kCumulativeDays[IsLeapYear(year) ? 1 : 0];
  if (day > unsigned(table[month] - table[month - 1])) return false;
  if (stamp.Hour > 23 || stamp.Minute > 59 || stamp.Second > 59 || stamp.Centiseconds > 99)
    return false;
  const int64_t secs = DaysFromCivil(year, month, day) * 86400 + stamp.Hour * 3600 +
                       stamp.Minute * 60 + stamp.Second;
  const int64_t ticks =
      secs * 10000000 + int64_t(stamp.Centiseconds) * 100000 + kFileTimeEpochOffset;
  fileTime->dwLowDateTime = static_cast<uint32_t>(ticks);
  fileTime->dwHighDateTime = static_cast<uint32_t>(uint64_t(ticks) >> 32);
  return true;
}

} // namespace korva
