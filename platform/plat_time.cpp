#include "platform/plat_time.h"

#include <atomic>
#include <ctime>

namespace plat {

namespace {

std::atomic<uint32_t> g_TickOffset{0};

}  // namespace

uint32_t TickMs32() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms) + g_TickOffset.load(std::memory_order_relaxed);
}

void SetTickTestOffset(uint32_t offset) noexcept {
    g_TickOffset.store(offset, std::memory_order_relaxed);
}

uint32_t TickTestOffset() noexcept {
    return g_TickOffset.load(std::memory_order_relaxed);
}

int64_t UnixNowSeconds() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

LocalTimeFields LocalNowFields() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t t = ts.tv_sec;
    tm lt{};
    localtime_r(&t, &lt);
    return LocalTimeFields{lt.tm_year + 1900,
                           lt.tm_mon + 1,
                           lt.tm_mday,
                           lt.tm_hour,
                           lt.tm_min,
                           lt.tm_sec,
                           static_cast<int>(ts.tv_nsec / 1000000)};
}

int32_t StandardUtcOffset() noexcept {
    // The zone's standard offset is the tm_gmtoff of a date on which daylight
    // saving is off; probe mid-winter and mid-summer of the current year so
    // that either hemisphere is right.
    time_t now = time(nullptr);
    tm lt{};
    localtime_r(&now, &lt);
    for (int month : {0, 6}) {
        tm probe{};
        probe.tm_year = lt.tm_year;
        probe.tm_mon = month;
        probe.tm_mday = 15;
        probe.tm_hour = 12;
        probe.tm_isdst = -1;
        time_t p = mktime(&probe);
        tm out{};
        if (p != static_cast<time_t>(-1) && localtime_r(&p, &out) != nullptr && out.tm_isdst == 0)
            return static_cast<int32_t>(out.tm_gmtoff);
    }
    return static_cast<int32_t>(lt.tm_gmtoff);
}

int64_t LocalFieldsToUnix(int year, int month, int day, int hour, int minute, int second) noexcept {
    tm lt{};
    lt.tm_year = year - 1900;
    lt.tm_mon = month - 1;
    lt.tm_mday = day;
    lt.tm_hour = hour;
    lt.tm_min = minute;
    lt.tm_sec = second;
    lt.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&lt));
}

void ReloadTimeZone() noexcept {
    tzset();
}

}  // namespace plat
