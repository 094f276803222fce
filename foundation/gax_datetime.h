// Time in the server: the 32-bit millisecond tick for time-outs, Unix seconds
// (UTC) for stored time stamps and the uptime, local date-times for log and
// file texts, and the compact interval texts people write (1y2o3d4h5m6s).
// Stateless apart from the platform clocks; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace gax {

// ---- Ticks -----------------------------------------------------------------

// Millisecond tick that wraps to 0 after 2^32 ms; only differences mean anything.
using TGaxTick32 = uint32_t;

TGaxTick32 GetTick32();
// now - start modulo 2^32: right across the wrap for intervals under ~49.7 days.
// Time-outs compare this difference with their limit, never two ticks.
inline uint32_t TickDiff32(TGaxTick32 start, TGaxTick32 now) {
    return now - start;
}

// ---- Date-times ------------------------------------------------------------

// Local date-time as a day count since 1899-12-30; the fraction is the time of
// day. 1970-01-01 is day 25569.
using TDateTime = double;
constexpr int kUnixEpochDays = 25569;

struct TDateTimeFields {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// False for an impossible date or time (month 1..12, day within the month,
// hour 0..23, minute and second 0..59, ms 0..999).
bool TryEncodeDateTime(const TDateTimeFields& f, TDateTime& dt);
// Milliseconds are rounded to the nearest, so 0.045 s is 45 ms, not 44.
TDateTimeFields DecodeDateTime(TDateTime dt);
TDateTime LocalNow();

// ---- Unix seconds and the time zone ----------------------------------------

// Standard-time bias of the local zone in seconds (UTC = local + bias), daylight
// saving not included; for texts that print the zone.
int32_t GetTimeZoneBiasSeconds();
// UTC seconds of a local date-time, daylight saving of that date included.
int64_t LocalToUnixSeconds(TDateTime dt);
// The current UTC seconds.
int64_t UnixSecondsNow();

// ---- Time-stamp texts ------------------------------------------------------

// YYYYMMDDHHNNSSZZZ (17 characters).
std::u16string FormatTimestampDigits(TDateTime dt);
// YYYY-MM-DD HH:NN:SS.ZZZ (23 characters).
std::u16string FormatTimestampText(TDateTime dt);
// Reads year, month, day, hour, minute, second in fixed widths with any
// non-digit separators between them, then an optional fraction of the second.
bool TryParseTimestamp(const char* p, int len, TDateTime& dt);

// ---- Intervals -------------------------------------------------------------

struct TTimeIntervalRec {
    int32_t Years = 0;
    int32_t Months = 0;
    int32_t Days = 0;
    int32_t Hours = 0;
    int32_t Minutes = 0;
    int32_t Seconds = 0;
};

constexpr int64_t kSecondsPerYear = 31556736;  // 365.24 days
constexpr int64_t kSecondsPerMonth = 2629728;  // a twelfth of that year

// Groups of up to 9 digits each followed by its unit y/o/d/h/m/s (any case; a
// blank also means seconds); trailing digits are seconds. Each unit at most once.
bool ParseTimeInterval(std::u16string_view s, TTimeIntervalRec& interval);
// Sum of the positive fields in seconds, in 64-bit arithmetic.
int64_t TimeIntervalToSeconds(const TTimeIntervalRec& interval);
// Days, hours, minutes and seconds; years and months stay 0.
void SecondsToInterval(int64_t seconds, TTimeIntervalRec& interval);
// The uptime text: 45s, 2m05s, 1h02m05s, 1d01h01m01s.
std::u16string FormatSecondsInterval(int64_t seconds);

}  // namespace gax
