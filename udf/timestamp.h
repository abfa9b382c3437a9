// 12-byte UDF timestamps and the conversions the library needs. Time is kept as signed
// 64-bit seconds since 1970-01-01 00:00:00 UTC and always recorded as UTC.
#ifndef KORVA_UDF_TIMESTAMP_H
#define KORVA_UDF_TIMESTAMP_H

#include <cstddef>
#include <cstdint>

#include "korva/udf.h"
#include "udf/le.h"

namespace korva {

struct UDF_TimeStamp {
  le16 TypeAndTimezone; // bits 12-15 type, bits 0-11 signed minutes from UTC
  les16 Year;
  uint8_t Month;
  uint8_t Day;
  uint8_t Hour;
  uint8_t Minute;
  uint8_t Second;
  uint8_t Centiseconds;
  uint8_t HundredsofMicroseconds;
  uint8_t Microseconds;
};
static_assert(sizeof(UDF_TimeStamp) == 12);
static_assert(offsetof(UDF_TimeStamp, Year) == 2 && offsetof(UDF_TimeStamp, Month) == 4);
static_assert(offsetof(UDF_TimeStamp, Second) == 8 && offsetof(UDF_TimeStamp, Microseconds) == 11);

// Cumulative day counts at the start of each month, common year then leap year.
extern const uint16_t kCumulativeDays[2][13];

bool IsLeapYear(int64_t year);

// The current time in whole seconds since 1970 (UTC), rounded to the nearest second.
int64_t Now_UTC();
// The current time in whole seconds since 1970 (UTC) and the microseconds of the second
// begun, cut, never rounded: a time recorded now never lies in the future.
int64_t Now_UTC_Truncated(int32_t &microseconds);

// Fills the stamp (type and time zone 0x1000, that is UTC) from seconds since 1970 and a
// microsecond count; microseconds outside 0..999999 carry into the seconds. Times before 1970
// are split with floor division, so one second before the epoch is 1969-12-31 23:59:59.
// Returns the stamp, or null when the pointer is null or the year falls outside 1..9999 (the
// stamp is then left unchanged).
UDF_TimeStamp *udf_time_to_stamp(UDF_TimeStamp *stamp, int64_t seconds, int32_t microseconds);

// Converts a stored stamp to a file time (100 ns units since 1601-01-01), taking its fields as
// UTC whatever offset it carries; hundreds of microseconds and microseconds are ignored. A stamp
// whose fields do not form a date and time from 1601 to 30827 (data read from a medium is not to
// be trusted) gives false and a zero file time.
bool UDFtimestampToFILETIME(const UDF_TimeStamp &stamp, FILETIME *fileTime);

} // namespace korva

#endif
