#include "foundation/gax_datetime.h"

#include <algorithm>
#include <cmath>

#include "foundation/gax_strutils.h"
#include "platform/plat_time.h"

namespace gax {

namespace {

constexpr int64_t kMsPerDay = 86400000;

int64_t FloorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = FloorDiv(y, 400);
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = FloorDiv(z, 146097);
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (month <= 2));
}

bool IsLeapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

bool ValidFields(const TDateTimeFields& f) {
    return f.Year >= 1 && f.Year <= 9999 && f.Month >= 1 && f.Month <= 12 && f.Day >= 1 &&
           f.Day <= DaysInMonth(f.Year, f.Month) && f.Hour >= 0 && f.Hour <= 23 && f.Minute >= 0 &&
           f.Minute <= 59 && f.Second >= 0 && f.Second <= 59 && f.Millisecond >= 0 &&
           f.Millisecond <= 999;
}

// Milliseconds since 1899-12-30 00:00 local, rounded to the nearest. Values
// outside the years 1..9999 (or not numbers) are pinned to that range so that
// damaged input cannot overflow the arithmetic below.
int64_t DateTimeToMs(TDateTime dt) {
    constexpr double kFirst = -693593.0, kLast = 2958466.0;
    if (!(dt >= kFirst)) dt = kFirst;
    if (dt > kLast) dt = kLast;
    // The last millisecond of 9999-12-31 is the latest: a year 10000 would
    // print as 0000 and no longer parse back.
    constexpr int64_t kLastMs = static_cast<int64_t>(kLast) * kMsPerDay - 1;
    return std::min<int64_t>(std::llround(dt * static_cast<double>(kMsPerDay)), kLastMs);
}

std::u16string FormatTimestamp(TDateTime dt, bool separators) {
    TDateTimeFields f = DecodeDateTime(dt);
    char16_t buf[23];
    char16_t* p = buf;
    auto field = [&](int value, int width, char16_t sepAfter) {
        p = IntToDecFixedW(p, value, width);
        if (separators && sepAfter != 0) *p++ = sepAfter;
    };
    field(f.Year, 4, u'-');
    field(f.Month, 2, u'-');
    field(f.Day, 2, u' ');
    field(f.Hour, 2, u':');
    field(f.Minute, 2, u':');
    field(f.Second, 2, u'.');
    field(f.Millisecond, 3, 0);
    return std::u16string(buf, static_cast<size_t>(p - buf));
}

inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

// ---- Ticks -----------------------------------------------------------------

TGaxTick32 GetTick32() {
    return plat::TickMs32();
}

// ---- Date-times ------------------------------------------------------------

bool TryEncodeDateTime(const TDateTimeFields& f, TDateTime& dt) {
    if (!ValidFields(f)) return false;
    int64_t days =
        DaysFromCivil(f.Year, static_cast<unsigned>(f.Month), static_cast<unsigned>(f.Day)) +
        kUnixEpochDays;
    int64_t ms = ((f.Hour * 60 + f.Minute) * 60 + f.Second) * 1000LL + f.Millisecond;
    dt = static_cast<double>(days) + static_cast<double>(ms) / static_cast<double>(kMsPerDay);
    return true;
}

TDateTimeFields DecodeDateTime(TDateTime dt) {
    TDateTimeFields f;
    int64_t total = DateTimeToMs(dt);
    int64_t days = FloorDiv(total, kMsPerDay);
    int64_t ms = total - days * kMsPerDay;
    CivilFromDays(days - kUnixEpochDays, f.Year, f.Month, f.Day);
    f.Millisecond = static_cast<int>(ms % 1000);
    ms /= 1000;
    f.Second = static_cast<int>(ms % 60);
    ms /= 60;
    f.Minute = static_cast<int>(ms % 60);
    f.Hour = static_cast<int>(ms / 60);
    return f;
}

TDateTime LocalNow() {
    plat::LocalTimeFields l = plat::LocalNowFields();
    TDateTimeFields f{l.Year, l.Month, l.Day, l.Hour, l.Minute, l.Second, l.Millisecond};
    TDateTime dt = 0;
    TryEncodeDateTime(f, dt);
    return dt;
}

// ---- Unix seconds and the time zone ----------------------------------------

int32_t GetTimeZoneBiasSeconds() {
    return -plat::StandardUtcOffset();
}

int64_t LocalToUnixSeconds(TDateTime dt) {
    // Round to the millisecond before dropping the fraction of the second:
    // 09:05:07 held in binary may sit a hair below 7 s.
    int64_t localMs = DateTimeToMs(dt) - kUnixEpochDays * kMsPerDay;
    int64_t localSec = localMs / 1000;
    int64_t days = FloorDiv(localSec, 86400);
    int64_t rem = localSec - days * 86400;
    int y, m, d;
    CivilFromDays(days, y, m, d);
    // The C library knows whether daylight saving was in force on that date.
    return plat::LocalFieldsToUnix(y, m, d, static_cast<int>(rem / 3600),
                                   static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60));
}

int64_t UnixSecondsNow() {
    return plat::UnixNowSeconds();
}

// ---- Time-stamp texts ------------------------------------------------------

std::u16string FormatTimestampDigits(TDateTime dt) {
    return FormatTimestamp(dt, false);
}

std::u16string FormatTimestampText(TDateTime dt) {
    return FormatTimestamp(dt, true);
}

bool TryParseTimestamp(const char* p, int len, TDateTime& dt) {
    if (p == nullptr || len <= 0) return false;
    int i = 0;
    int values[6];
    static constexpr int kWidths[6] = {4, 2, 2, 2, 2, 2};
    for (int k = 0; k < 6; ++k) {
        while (i < len && !IsDigit(p[i])) ++i;
        int v = 0;
        for (int w = 0; w < kWidths[k]; ++w, ++i) {
            if (i >= len || !IsDigit(p[i])) return false;
            v = v * 10 + (p[i] - '0');
        }
        values[k] = v;
    }
    while (i < len && !IsDigit(p[i])) ++i;
    int64_t frac = 0;
    int64_t scale = 1;
    for (int n = 0; n < 12 && i < len && IsDigit(p[i]); ++n, ++i) {
        frac = frac * 10 + (p[i] - '0');
        scale *= 10;
    }
    while (i < len && IsDigit(p[i])) ++i;
    while (i < len && !IsDigit(p[i])) ++i;
    if (i < len) return false;
    TDateTimeFields f{values[0], values[1], values[2], values[3], values[4], values[5], 0};
    TDateTime base;
    if (!TryEncodeDateTime(f, base)) return false;
    dt = base + static_cast<double>(frac) / static_cast<double>(scale) / 86400.0;
    return true;
}

// ---- Intervals -------------------------------------------------------------

bool ParseTimeInterval(std::u16string_view s, TTimeIntervalRec& interval) {
    interval = TTimeIntervalRec{};
    int32_t* fields[6] = {&interval.Years, &interval.Months,  &interval.Days,
                          &interval.Hours, &interval.Minutes, &interval.Seconds};
    bool seen[6] = {};
    bool any = false;
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        while (i < n && s[i] <= 0x20) ++i;
        if (i >= n) break;
        int digits = 0;
        int32_t value = 0;
        while (i < n && s[i] >= u'0' && s[i] <= u'9') {
            if (++digits > 9) return false;
            value = value * 10 + (s[i] - u'0');
            ++i;
        }
        int unit;
        if (i >= n) {
            unit = 5;  // bare trailing digits are seconds
        } else {
            switch (s[i]) {
                case u'Y':
                case u'y':
                    unit = 0;
                    break;
                case u'O':
                case u'o':
                    unit = 1;
                    break;
                case u'D':
                case u'd':
                    unit = 2;
                    break;
                case u'H':
                case u'h':
                    unit = 3;
                    break;
                case u'M':
                case u'm':
                    unit = 4;
                    break;
                case u'S':
                case u's':
                case u' ':
                    unit = 5;
                    break;
                default:
                    return false;
            }
            ++i;
        }
        if (digits == 0 || seen[unit]) return false;
        seen[unit] = true;
        *fields[unit] = value;
        any = true;
    }
    return any;
}

int64_t TimeIntervalToSeconds(const TTimeIntervalRec& iv) {
    int64_t r = 0;
    if (iv.Years > 0) r += iv.Years * kSecondsPerYear;
    if (iv.Months > 0) r += iv.Months * kSecondsPerMonth;
    if (iv.Days > 0) r += iv.Days * int64_t{86400};
    if (iv.Hours > 0) r += iv.Hours * int64_t{3600};
    if (iv.Minutes > 0) r += iv.Minutes * int64_t{60};
    if (iv.Seconds > 0) r += iv.Seconds;
    return r;
}

void SecondsToInterval(int64_t seconds, TTimeIntervalRec& iv) {
    iv = TTimeIntervalRec{};
    iv.Days = static_cast<int32_t>(seconds / 86400);
    seconds %= 86400;
    iv.Hours = static_cast<int32_t>(seconds / 3600);
    seconds %= 3600;
    iv.Minutes = static_cast<int32_t>(seconds / 60);
    iv.Seconds = static_cast<int32_t>(seconds % 60);
}

std::u16string FormatSecondsInterval(int64_t seconds) {
    TTimeIntervalRec iv;
    SecondsToInterval(seconds, iv);
    std::u16string r;
    auto plain = [&](int32_t v, char16_t unit) {
        r += IntToDecStrW(v);
        r += unit;
    };
    auto two = [&](int32_t v, char16_t unit) {
        char16_t buf[2];
        IntToDecFixedW(buf, v, 2);
        r.append(buf, 2);
        r += unit;
    };
    const bool d = iv.Days != 0;
    const bool h = d || iv.Hours != 0;
    const bool m = h || iv.Minutes != 0;
    if (d) plain(iv.Days, u'd');
    if (d)
        two(iv.Hours, u'h');
    else if (iv.Hours != 0)
        plain(iv.Hours, u'h');
    if (h)
        two(iv.Minutes, u'm');
    else if (iv.Minutes != 0)
        plain(iv.Minutes, u'm');
    if (m)
        two(iv.Seconds, u's');
    else
        plain(iv.Seconds, u's');
    return r;
}

}  // namespace gax
