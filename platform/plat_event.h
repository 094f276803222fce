// Waiting primitives: a cross-thread interrupt (eventfd), which the socket
// waiter watches beside its sockets, and a poll over a small descriptor array
// for one-off waits (SockSelect). An InterruptEvent is owned by one
// waiting thread; Set may be called from any thread at any time.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>

namespace plat {

// A latch another thread can set; it stays set until the owner's wait consumes
// it, so a wake-up that arrives while the owner is busy is never lost.
class InterruptEvent {
  public:
    InterruptEvent();  // Valid() is false when the kernel refused an eventfd
    ~InterruptEvent();
    InterruptEvent(const InterruptEvent&) = delete;
    InterruptEvent& operator=(const InterruptEvent&) = delete;

    bool Valid() const { return fd_ >= 0; }
    // errno of the failed creation, 0 when valid.
    int CreateError() const { return createError_; }
    // Descriptor to watch for reading (readable while set).
    int Fd() const { return fd_; }
    // Sets the latch; callable from any thread.
    void Set();
    // Clears the latch without waiting.
    void Reset();

  private:
    int fd_ = -1;
    int createError_ = 0;
};

// Polls fds for at most timeoutMs milliseconds (negative: no limit). A signal
// that interrupts the call does not end the wait: it resumes with the time
// that is left. Returns the number of ready entries, 0 on time-out, or -1 with
// *errnoOut set on failure.
int PollWait(pollfd* fds, std::size_t count, int64_t timeoutMs, int* errnoOut);

}  // namespace plat
