// Clocks of the system: the 32-bit millisecond tick, UTC seconds, the local
// date-time and the local time-zone offsets. All functions are safe from any
// thread; the tick's test offset is an atomic and is meant to be set by tests
// before any measurement starts.
#pragma once

#include <cstdint>

namespace plat {

// Milliseconds of CLOCK_MONOTONIC truncated to 32 bits (plus the test offset).
// Only unsigned differences of two values are meaningful: they stay right
// across the wrap-around for intervals shorter than about 49.7 days.
uint32_t TickMs32() noexcept;
// Shifts every later TickMs32() by `offset` (modulo 2^32), so that a test can
// place the counter just before the wrap. 0 restores the plain clock.
void SetTickTestOffset(uint32_t offset) noexcept;
uint32_t TickTestOffset() noexcept;

// Seconds since 1970-01-01 00:00:00 UTC (CLOCK_REALTIME).
int64_t UnixNowSeconds() noexcept;

// Local civil time broken into fields (month 1..12, day 1..31, ms 0..999).
struct LocalTimeFields {
    int Year, Month, Day, Hour, Minute, Second, Millisecond;
};
LocalTimeFields LocalNowFields() noexcept;

// The zone's standard-time offset in seconds (local = UTC + offset), daylight
// saving not included.
int32_t StandardUtcOffset() noexcept;
// UTC seconds of a local wall-clock time given as fields (seconds may be
// fractional-free only); daylight saving is resolved by the C library
// (mktime with tm_isdst = -1).
int64_t LocalFieldsToUnix(int year, int month, int day, int hour, int minute, int second) noexcept;
// Rereads the TZ environment variable (for tests that switch zones).
void ReloadTimeZone() noexcept;

}  // namespace plat
