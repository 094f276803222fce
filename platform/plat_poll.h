// A kernel readiness set (epoll): descriptors are added once with the events
// they want and a 64-bit value of the caller's, and one wait returns only the
// ready ones, so its cost follows what is ready rather than what is watched.
// A Poller belongs to the thread that waits on it; none of its calls are
// guarded.
//
// Contract:
// - Readiness is level-triggered: a descriptor is reported by every wait for as
//   long as what it wants is there.
// - kPollError and kPollHangUp are reported whether asked for or not; a
//   descriptor that must stay quiet has to be removed, not given no events.
// - The kernel keys an entry by the open socket and the number together and
//   drops it by itself once the socket is fully closed, without telling anyone.
//   An entry whose socket outlives its number (duplicated elsewhere) stays and
//   keeps reporting the value it was added with, which may by then name
//   nothing: callers check the value of every event they get.
// - Calls that fail return an errno value (Add, Modify, Remove) or -1 with
//   *errnoOut set (Wait); nothing throws.
#pragma once

#include <cstdint>
#include <memory>

struct epoll_event;

namespace plat {

// Readiness bits, this layer's own numbering.
inline constexpr uint32_t kPollIn = 1;          // data to read, or a connection to accept
inline constexpr uint32_t kPollOut = 2;         // room to write, or a connect finished
inline constexpr uint32_t kPollPeerClosed = 4;  // the peer closed or shut its sending side
inline constexpr uint32_t kPollError = 8;       // always reported
inline constexpr uint32_t kPollHangUp = 16;     // always reported
// Asked for, not reported: the entry reports once, then stays quiet until
// Modify arms it again.
inline constexpr uint32_t kPollOneShot = 32;

struct PollerEvent {
    uint32_t events = 0;
    uint64_t data = 0;
};

class Poller {
  public:
    // At most aMaxEvents (at least 1) are taken from the kernel per wait.
    // Valid() is false when the kernel refused the set.
    explicit Poller(int aMaxEvents);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    bool Valid() const { return fd_ >= 0; }
    // errno of the failed creation, 0 when valid.
    int CreateError() const { return createError_; }
    // The set's own descriptor: readable while one of its entries is ready,
    // so one set can watch another.
    int Fd() const { return fd_; }

    // Each returns 0 or the errno value: EEXIST (Add: the socket is already
    // in under this number), ENOENT (Modify, Remove: it is not), EBADF (the
    // number is not open), EPERM (the descriptor cannot be polled).
    int Add(int fd, uint32_t events, uint64_t data);
    int Modify(int fd, uint32_t events, uint64_t data);
    int Remove(int fd);

    // Waits at most timeoutMs milliseconds (negative: no limit). A signal that
    // interrupts the call does not end the wait: it resumes with the time that
    // is left. Returns the number of events now readable through Event, 0 on
    // time-out, or -1 with *errnoOut set on failure.
    int Wait(int64_t timeoutMs, int* errnoOut);
    // Event i (0 <= i < the last Wait's count) of the last wait.
    PollerEvent Event(int i) const;

  private:
    int fd_ = -1;
    int createError_ = 0;
    int maxEvents_ = 1;
    std::unique_ptr<epoll_event[]> events_;
};

}  // namespace plat
