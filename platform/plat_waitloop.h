// The loop around a kernel wait that takes milliseconds (poll, epoll_wait):
// a signal, or a limit longer than one call can take, does not end the wait
// early; it goes on with the time that is left. Internal to platform/.
#pragma once

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

namespace plat::detail {

inline int64_t MonotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// aWait(int ms) makes one kernel call (-1: no limit) and returns what it
// returned. Returns the positive count, 0 on time-out, or -1 with *errnoOut
// set when the call failed other than by a signal.
template <typename Wait>
int WaitMsRetrying(int64_t timeoutMs, int* errnoOut, Wait&& aWait) {
    timeoutMs = std::min<int64_t>(timeoutMs, int64_t{1} << 40);  // keeps the ns sum in range
    const int64_t deadline = timeoutMs < 0 ? 0 : MonotonicNs() + timeoutMs * 1000000;
    int64_t left = timeoutMs;
    for (;;) {
        const int waitMs = left < 0 ? -1 : static_cast<int>(std::min<int64_t>(left, INT_MAX));
        const int rc = aWait(waitMs);
        if (rc < 0 && errno != EINTR) {
            if (errnoOut) *errnoOut = errno;
            return -1;
        }
        if (rc > 0) return rc;
        if (rc == 0 && timeoutMs < 0) continue;  // cannot happen without a limit
        if (timeoutMs >= 0) {
            // Rounded up, so that the wait never ends before its time.
            const int64_t leftNs = deadline - MonotonicNs();
            if (leftNs <= 0) return 0;
            left = (leftNs + 999999) / 1000000;
        }
    }
}

}  // namespace plat::detail
