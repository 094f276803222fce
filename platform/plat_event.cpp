#include "platform/plat_event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/plat_waitloop.h"

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

int PollWait(pollfd* fds, std::size_t count, int64_t timeoutMs, int* errnoOut) {
    return detail::WaitMsRetrying(
        timeoutMs, errnoOut, [&](int ms) { return ::poll(fds, static_cast<nfds_t>(count), ms); });
}

}  // namespace plat
