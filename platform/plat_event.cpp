#include "platform/plat_event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

namespace plat {

InterruptEvent::InterruptEvent() {
    fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd_ < 0) createError_ = errno;
}

InterruptEvent::~InterruptEvent() {
    if (fd_ >= 0) ::close(fd_);
}

void InterruptEvent::Set() {
    if (fd_ < 0) return;
    const uint64_t one = 1;
    // EAGAIN would mean the counter is saturated, which still reads as set.
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void InterruptEvent::Reset() {
    if (fd_ < 0) return;
    uint64_t value = 0;
    // EAGAIN: it was not set.
    while (::read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

namespace {

int64_t MonotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

int PollWait(pollfd* fds, std::size_t count, int64_t timeoutMs, int* errnoOut) {
    timeoutMs = std::min<int64_t>(timeoutMs, int64_t{1} << 40);  // keeps the ns sum in range
    const int64_t deadline = timeoutMs < 0 ? 0 : MonotonicNs() + timeoutMs * 1000000;
    int64_t left = timeoutMs;
    for (;;) {
        const int waitMs = left < 0 ? -1 : static_cast<int>(std::min<int64_t>(left, INT_MAX));
        const int rc = ::poll(fds, static_cast<nfds_t>(count), waitMs);
        if (rc < 0 && errno != EINTR) {
            if (errnoOut) *errnoOut = errno;
            return -1;
        }
        if (rc > 0) return rc;
        if (rc == 0 && timeoutMs < 0) continue;  // cannot happen without a limit
        if (timeoutMs >= 0) {
            // A signal or a slice of a very long wait: go on with what is left,
            // rounded up so that the wait never ends before its time.
            const int64_t leftNs = deadline - MonotonicNs();
            if (leftNs <= 0) return 0;
            left = (leftNs + 999999) / 1000000;
        }
    }
}

}  // namespace plat
