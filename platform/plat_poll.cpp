#include "platform/plat_poll.h"

#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace plat {

namespace {

uint32_t ToKernel(uint32_t events) {
    uint32_t k = 0;
    if (events & kPollIn) k |= EPOLLIN;
    if (events & kPollOut) k |= EPOLLOUT;
    if (events & kPollPeerClosed) k |= EPOLLRDHUP;
    if (events & kPollError) k |= EPOLLERR;
    if (events & kPollHangUp) k |= EPOLLHUP;
    return k;
}

uint32_t FromKernel(uint32_t k) {
    uint32_t events = 0;
    if (k & EPOLLIN) events |= kPollIn;
    if (k & EPOLLOUT) events |= kPollOut;
    if (k & EPOLLRDHUP) events |= kPollPeerClosed;
    if (k & EPOLLERR) events |= kPollError;
    if (k & EPOLLHUP) events |= kPollHangUp;
    return events;
}

int64_t MonotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int Control(int epfd, int op, int fd, uint32_t events, uint64_t data) {
    epoll_event ev{};
    ev.events = ToKernel(events);
    ev.data.u64 = data;
    return ::epoll_ctl(epfd, op, fd, &ev) == 0 ? 0 : errno;
}

}  // namespace

Poller::Poller(int aMaxEvents) : maxEvents_(std::max(aMaxEvents, 1)) {
    fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd_ < 0) {
        createError_ = errno;
        return;
    }
    events_ = std::make_unique<epoll_event[]>(static_cast<size_t>(maxEvents_));
}

Poller::~Poller() {
    if (fd_ >= 0) ::close(fd_);
}

int Poller::Add(int fd, uint32_t events, uint64_t data) {
    return Control(fd_, EPOLL_CTL_ADD, fd, events, data);
}

int Poller::Modify(int fd, uint32_t events, uint64_t data) {
    return Control(fd_, EPOLL_CTL_MOD, fd, events, data);
}

int Poller::Remove(int fd) {
    // Kernels before 2.6.9 wanted an event even here; passing one costs nothing.
    epoll_event ev{};
    return ::epoll_ctl(fd_, EPOLL_CTL_DEL, fd, &ev) == 0 ? 0 : errno;
}

int Poller::Wait(int64_t timeoutMs, int* errnoOut) {
    if (fd_ < 0) {
        if (errnoOut) *errnoOut = EBADF;
        return -1;
    }
    timeoutMs = std::min<int64_t>(timeoutMs, int64_t{1} << 40);  // keeps the ns sum in range
    const int64_t deadline = timeoutMs < 0 ? 0 : MonotonicNs() + timeoutMs * 1000000;
    int64_t left = timeoutMs;
    for (;;) {
        const int waitMs = left < 0 ? -1 : static_cast<int>(std::min<int64_t>(left, INT_MAX));
        const int rc = ::epoll_wait(fd_, events_.get(), maxEvents_, waitMs);
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

PollerEvent Poller::Event(int i) const {
    const epoll_event& ev = events_[static_cast<size_t>(i)];
    return PollerEvent{FromKernel(ev.events), ev.data.u64};
}

}  // namespace plat
