#include "platform/plat_poll.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/plat_waitloop.h"

namespace plat {

namespace {

uint32_t ToKernel(uint32_t events) {
    uint32_t k = 0;
    if (events & kPollIn) k |= EPOLLIN;
    if (events & kPollOut) k |= EPOLLOUT;
    if (events & kPollPeerClosed) k |= EPOLLRDHUP;
    if (events & kPollError) k |= EPOLLERR;
    if (events & kPollHangUp) k |= EPOLLHUP;
    if (events & kPollOneShot) k |= EPOLLONESHOT;
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
    return detail::WaitMsRetrying(timeoutMs, errnoOut, [&](int ms) {
        return ::epoll_wait(fd_, events_.get(), maxEvents_, ms);
    });
}

PollerEvent Poller::Event(int i) const {
    const epoll_event& ev = events_[static_cast<size_t>(i)];
    return PollerEvent{FromKernel(ev.events), ev.data.u64};
}

}  // namespace plat
