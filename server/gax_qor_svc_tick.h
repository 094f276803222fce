// Tick arithmetic of the service threads and the clock they read. Ticks are
// the 32-bit millisecond counter that wraps every 49.7 days, so an interval is
// always a difference, never a comparison of two values: the unsigned form for
// "how long since" (valid up to 2^32 ms), the signed form where a point may lie
// ahead (valid up to 2^31 ms either way). Which one a rule uses is part of the
// rule; the two helpers keep that choice visible at each use.
//
// The clock is injectable so that the heartbeat pass can be driven step by
// step; the system clock is stateless and safe from any thread, a test clock
// belongs to its test.
#pragma once

#include <cstdint>

#include "platform/plat_time.h"

namespace gax {

// Milliseconds from aFrom to aNow; right across the wrap.
constexpr uint32_t TickElapsed(uint32_t aNow, uint32_t aFrom) { return aNow - aFrom; }
// aNow - aPoint as a signed 32-bit difference: negative while aPoint is ahead.
constexpr int32_t TickSignedDiff(uint32_t aNow, uint32_t aPoint) {
    return static_cast<int32_t>(aNow - aPoint);
}

class TQORClock {
  public:
    virtual ~TQORClock() = default;
    virtual uint32_t Tick() const = 0;       // the 32-bit millisecond tick
    virtual int64_t UnixSeconds() const = 0;  // UTC, seconds since 1970
};

class TQORSystemClock final : public TQORClock {
  public:
    uint32_t Tick() const override { return plat::TickMs32(); }
    int64_t UnixSeconds() const override { return plat::UnixNowSeconds(); }
    static const TQORSystemClock& Instance() {
        static const TQORSystemClock clock;
        return clock;
    }
};

}  // namespace gax
