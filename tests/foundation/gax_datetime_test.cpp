#include "foundation/gax_datetime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "platform/plat_time.h"

using namespace gax;

namespace {

TDateTime Dt(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    TDateTime dt = 0;
    EXPECT_TRUE(TryEncodeDateTime({y, mo, d, h, mi, s, ms}, dt));
    return dt;
}

// Switches the process to a time zone for one test and back afterwards.
class ZoneScope {
  public:
    explicit ZoneScope(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        plat::ReloadTimeZone();
    }
    ~ZoneScope() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        plat::ReloadTimeZone();
    }

  private:
    bool had_ = false;
    std::string old_;
};

const char* BerlinZone() {
    // The rule string is Berlin's own, for machines without the zone database.
    return std::ifstream("/usr/share/zoneinfo/Europe/Berlin").good() ? "Europe/Berlin"
                                                                     : "CET-1CEST,M3.5.0,M10.5.0/3";
}

}  // namespace

TEST(Ticks, DifferenceSurvivesTheWrap) {
    EXPECT_EQ(TickDiff32(0u - 296u, 704u), 1000u);

    // Start the real counter shortly before the wrap and measure across it.
    plat::SetTickTestOffset(0);
    uint32_t raw = GetTick32();
    plat::SetTickTestOffset(0u - raw - 300u);
    TGaxTick32 start = GetTick32();
    ASSERT_GT(start, 0xFFFF0000u);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    TGaxTick32 now = start;
    while (now >= start && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = GetTick32();
    }
    plat::SetTickTestOffset(0);
    ASSERT_LT(now, start) << "the counter did not wrap";
    uint32_t diff = TickDiff32(start, now);
    EXPECT_GE(diff, 0u - start);  // at least the distance that was left to the wrap
    EXPECT_LT(diff, 10000u);
}

TEST(DateTime, EncodeDecodeRoundsMilliseconds) {
    TDateTime dt = Dt(2022, 10, 13, 9, 5, 7, 45);
    TDateTimeFields f = DecodeDateTime(dt);
    EXPECT_EQ(f.Year, 2022);
    EXPECT_EQ(f.Month, 10);
    EXPECT_EQ(f.Day, 13);
    EXPECT_EQ(f.Hour, 9);
    EXPECT_EQ(f.Minute, 5);
    EXPECT_EQ(f.Second, 7);
    EXPECT_EQ(f.Millisecond, 45);
    // A value a hair below a whole second reads as that second.
    f = DecodeDateTime(Dt(2022, 12, 31, 23, 59, 59, 999) + 0.0009 / 86400);
    EXPECT_EQ(f.Year, 2023);
    EXPECT_EQ(f.Hour, 0);
    EXPECT_EQ(f.Millisecond, 0);
    EXPECT_DOUBLE_EQ(Dt(1970, 1, 1), 25569.0);
    TDateTime bad;
    EXPECT_FALSE(TryEncodeDateTime({2023, 2, 29, 0, 0, 0, 0}, bad));
    EXPECT_TRUE(TryEncodeDateTime({2024, 2, 29, 0, 0, 0, 0}, bad));
    EXPECT_FALSE(TryEncodeDateTime({2024, 1, 1, 24, 0, 0, 0}, bad));
}

TEST(DateTime, TimestampTexts) {
    TDateTime dt = Dt(2022, 10, 13, 9, 5, 7, 45);
    EXPECT_EQ(FormatTimestampText(dt), u"2022-10-13 09:05:07.045");
    EXPECT_EQ(FormatTimestampDigits(dt), u"20221013090507045");
    EXPECT_EQ(FormatTimestampText(Dt(2001, 2, 3)), u"2001-02-03 00:00:00.000");
    // Nonsense values do not crash; they land at a bound of the calendar, and
    // the text stays one that parses back.
    EXPECT_EQ(FormatTimestampText(1e300), u"9999-12-31 23:59:59.999");
    EXPECT_EQ(FormatTimestampText(Dt(9999, 12, 31, 23, 59, 59, 999) + 0.0009 / 86400),
              u"9999-12-31 23:59:59.999");
    EXPECT_EQ(FormatTimestampText(-1e300), u"0001-01-01 00:00:00.000");
}

TEST(DateTime, ParseTimestampTable) {
    struct Case {
        std::string text;
        bool ok;
        std::u16string formatted;
    } cases[] = {
        {"2022-10-13 09:05:07.045", true, u"2022-10-13 09:05:07.045"},
        {"20221013090507045", true, u"2022-10-13 09:05:07.045"},
        {"2022/10/13T09h05m07", true, u"2022-10-13 09:05:07.000"},
        {"2022-10-13 09:05:07.5Z", true, u"2022-10-13 09:05:07.500"},
        {"2022-10-13 09:05:07  ", true, u"2022-10-13 09:05:07.000"},
        {"2022-10-13 09:05:07.0449999999999", true, u"2022-10-13 09:05:07.045"},
        {"2022-1-13 09:05:07", false, u""},
        {"2022-02-30 09:05:07", false, u""},
        {"2022-10-13 24:05:07", false, u""},
        {"2022-10-13 09:05:07.045 x1", false, u""},
        {"2022-10-13 09:05", false, u""},
        {"", false, u""},
    };
    for (const auto& c : cases) {
        TDateTime dt = -1;
        EXPECT_EQ(TryParseTimestamp(c.text.data(), static_cast<int>(c.text.size()), dt), c.ok)
            << c.text;
        if (c.ok)
            EXPECT_EQ(FormatTimestampText(dt), c.formatted) << c.text;
        else
            EXPECT_EQ(dt, -1) << c.text;
    }
}

TEST(DateTime, IntervalParseTable) {
    struct Case {
        std::u16string_view text;
        bool ok;
        TTimeIntervalRec iv;
    } cases[] = {
        {u"1y2o3d4h5m6s", true, {1, 2, 3, 4, 5, 6}},
        {u"1Y2O3D4H5M6S", true, {1, 2, 3, 4, 5, 6}},
        {u"90", true, {0, 0, 0, 0, 0, 90}},
        {u"1h 30m", true, {0, 0, 0, 1, 30, 0}},
        {u" 2d 7 ", true, {0, 0, 2, 0, 0, 7}},
        {u"999999999s", true, {0, 0, 0, 0, 0, 999999999}},
        {u"5 m", false, {}},
        {u"1h2h", false, {}},
        {u"1w", false, {}},
        {u"", false, {}},
        {u"   ", false, {}},
        {u"1234567890s", false, {}},
        {u"h", false, {}},
        {u"5s7", false, {}},
    };
    for (const auto& c : cases) {
        TTimeIntervalRec iv{9, 9, 9, 9, 9, 9};
        std::string name(c.text.begin(), c.text.end());
        EXPECT_EQ(ParseTimeInterval(c.text, iv), c.ok) << name;
        if (!c.ok) continue;
        EXPECT_EQ(iv.Years, c.iv.Years) << name;
        EXPECT_EQ(iv.Months, c.iv.Months) << name;
        EXPECT_EQ(iv.Days, c.iv.Days) << name;
        EXPECT_EQ(iv.Hours, c.iv.Hours) << name;
        EXPECT_EQ(iv.Minutes, c.iv.Minutes) << name;
        EXPECT_EQ(iv.Seconds, c.iv.Seconds) << name;
    }
}

TEST(DateTime, IntervalSecondsBothWays) {
    EXPECT_EQ(TimeIntervalToSeconds({1, 0, 0, 0, 0, 0}), 31556736);
    EXPECT_EQ(TimeIntervalToSeconds({0, 1, 1, 0, 0, 0}), 2629728 + 86400);
    EXPECT_EQ(TimeIntervalToSeconds({0, 0, 30000, 0, 0, 0}), 30000LL * 86400);
    EXPECT_EQ(TimeIntervalToSeconds({-1, 0, 0, -5, 0, 7}), 7);  // negative fields ignored
    EXPECT_EQ(TimeIntervalToSeconds({999999999, 0, 0, 0, 0, 0}), 999999999LL * 31556736);

    TTimeIntervalRec iv;
    SecondsToInterval(90061, iv);
    EXPECT_EQ(iv.Days, 1);
    EXPECT_EQ(iv.Hours, 1);
    EXPECT_EQ(iv.Minutes, 1);
    EXPECT_EQ(iv.Seconds, 1);
    EXPECT_EQ(iv.Years, 0);

    struct Case {
        int64_t seconds;
        std::u16string_view text;
    } cases[] = {{0, u"0s"},
                 {45, u"45s"},
                 {125, u"2m05s"},
                 {3600, u"1h00m00s"},
                 {3725, u"1h02m05s"},
                 {90061, u"1d01h01m01s"},
                 {86400, u"1d00h00m00s"},
                 {400 * 86400LL + 59, u"400d00h00m59s"}};
    for (const auto& c : cases) EXPECT_EQ(FormatSecondsInterval(c.seconds), c.text) << c.seconds;
}

TEST(DateTimeZone, FixedZoneBiasAndEpoch) {
    ZoneScope zone("XYZ-3");  // UTC+3 all year
    EXPECT_EQ(GetTimeZoneBiasSeconds(), -10800);
    EXPECT_EQ(LocalToUnixSeconds(Dt(1970, 1, 1)), -10800);
    EXPECT_EQ(LocalToUnixSeconds(Dt(2022, 10, 13, 9, 5, 7, 999)), 1665641107);
}

TEST(DateTimeZone, SummerTimeIsTrueUtc) {
    ZoneScope zone(BerlinZone());
    EXPECT_EQ(GetTimeZoneBiasSeconds(), -3600);  // standard time, as printed
    for (auto [mo, d] : {std::pair{7, 15}, std::pair{1, 15}, std::pair{3, 27}}) {
        std::tm t{};
        t.tm_year = 2022 - 1900;
        t.tm_mon = mo - 1;
        t.tm_mday = d;
        t.tm_hour = 12;
        t.tm_min = 30;
        t.tm_sec = 5;
        t.tm_isdst = -1;
        int64_t expected = static_cast<int64_t>(std::mktime(&t));
        EXPECT_EQ(LocalToUnixSeconds(Dt(2022, mo, d, 12, 30, 5)), expected) << mo << "/" << d;
    }
    // 2022-07-15 12:30:05 CEST is 10:30:05 UTC.
    EXPECT_EQ(LocalToUnixSeconds(Dt(2022, 7, 15, 12, 30, 5)), 1657881005);

    int64_t before = static_cast<int64_t>(std::time(nullptr));
    int64_t now = UnixSecondsNow();
    int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_GE(now, before);
    EXPECT_LE(now, after + 1);
    // The local clock read back as UTC agrees with the system's UTC.
    EXPECT_LE(std::llabs(LocalToUnixSeconds(LocalNow()) - now), 1);
}

TEST(DateTimeZone, SouthernSummerInJanuary) {
    // Daylight saving in January: the printed bias is still the standard one.
    ZoneScope zone("AEST-10AEDT,M10.1.0,M4.1.0/3");
    EXPECT_EQ(GetTimeZoneBiasSeconds(), -36000);
    // 2022-01-15 12:00 AEDT (UTC+11) is 01:00 UTC.
    EXPECT_EQ(LocalToUnixSeconds(Dt(2022, 1, 15, 12)), 1642208400);
    EXPECT_EQ(LocalToUnixSeconds(Dt(2022, 7, 15, 12)), 1657850400);
}
