// The heartbeat thread: runs one heartbeat pass of its client (the service)
// on a 100 ms grid that starts when the heartbeat is enabled, at the first
// grid point at or after the client's next deadline (grid points with nothing
// due are slept through: each wake-up costs as much as a small fan-out), and
// at once whenever another thread interrupts its waiter (a pass brought
// forward that way does not move the grid). Before the first SetEnabled(true)
// the thread only waits.
//
// Threads: the thread body owns f_Enabled and f_StartTick and holds the
// kHeartbeat role for its whole life, so the client's heartbeat-only
// functions run there. SetEnabled, Interrupt and the state queries are safe
// from any thread; Start and Stop belong to the owner (the service).
//
// The waiter also watches the sockets the client registers with it (from its
// heartbeat-only functions, on this thread): a ready one wakes the heartbeat
// like an interrupt, and the client hears of it before the pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/plat_thread.h"
#include "server/gax_qor_svc_roles.h"
#include "server/gax_qor_svc_tick.h"
#include "sockets/gax_snps_waiter.h"

namespace gax {

// What the heartbeat thread drives; implemented by the service.
class TQORTimerClient {
  public:
    virtual ~TQORTimerClient() = default;
    // The heartbeat became enabled at aSyncTick.
    virtual void tmSetTimerSync(uint32_t aSyncTick) GAX_REQUIRES(kHeartbeat) = 0;
    // One heartbeat pass.
    virtual void tm_Pinger() GAX_REQUIRES(kHeartbeat) = 0;
    // Milliseconds from aNow until the next pass has work: 0 for the next
    // grid point, kHeartbeatNoDeadline when nothing is due until another
    // thread interrupts the heartbeat.
    virtual uint32_t tmNextDeadline(uint32_t /*aNow*/) GAX_REQUIRES(kHeartbeat) { return 0; }
    // A socket the client registered with the heartbeat's waiter is ready
    // (aEvents: we_ flags). Called inside the wait, where nothing may be
    // registered or removed: the client notes it for the pass that follows.
    virtual void tmSocketReady(PWaiter2Resource /*aResource*/, uint8_t /*aEvents*/)
        GAX_REQUIRES(kHeartbeat) {}
    // The heartbeat stops (disabled, or the thread ends): the client takes
    // back what it registered.
    virtual void tmReleaseSockets() GAX_REQUIRES(kHeartbeat) {}
};

inline constexpr uint32_t kHeartbeatNoDeadline = 0xFFFFFFFFu;
// The longest sleep with nothing due: a bound, not a duty.
inline constexpr uint32_t kHeartbeatLongestSleep = 60000;

// The wait until the first grid point at or after aDue ms from now, given
// the wait aGridWait until the next grid point; never shorter than
// aGridWait and never longer than about kHeartbeatLongestSleep.
uint32_t HeartbeatDeadlineWait(uint32_t aGridWait, uint32_t aDue);

// Wait before the next grid point from aNow, advancing aStartTick over every
// whole 100 ms step that passed. A grid point that lies ahead by more than one
// step can only come from a stall of more than 2^31 ms (the signed difference
// turned over): the grid is then re-based on aNow rather than asking for a
// wait the waiter refuses.
uint32_t HeartbeatGridWait(uint32_t aNow, uint32_t& aStartTick);

class TQORTimer final : public plat::Thread {
  public:
    using ErrorEvent = std::function<void(const std::u16string&)>;

    TQORTimer(TQORTimerClient& aClient, const TQORClock& aClock);
    ~TQORTimer() override;  // stops and joins the thread

    // Starts the thread; raises when it cannot be created. REQUIRES: once.
    void StartTimer();
    // Asks the thread to end, interrupts it and joins it (no-op when not started).
    void Stop();
    // Asks the thread to end and interrupts its wait.
    void TerminateTimer();

    void SetEnabled(bool aEnabled);
    void Interrupt() { f_Waiter.SetInterrupt(); }
    TWaiter2Base& Waiter() { return f_Waiter; }

    bool TimerThreadIsStarted() const { return f_ThreadIsStarted.load(std::memory_order_acquire); }
    bool TimerThreadIsStopped() const { return f_ThreadIsStopped.load(std::memory_order_acquire); }
    // Wake-ups of the enabled heartbeat so far (each one runs a pass).
    uint64_t Wakes() const { return f_Wakes.load(std::memory_order_relaxed); }

    // "ERROR: Timer: " lines of the owner; set before Start.
    ErrorEvent OnError;

  protected:
    void Execute() override;

  private:
    void Loop() GAX_REQUIRES(kHeartbeat);
    void ReportError(std::u16string_view aClass, std::u16string_view aMessage);
    void ReleaseSockets() GAX_REQUIRES(kHeartbeat);

    TQORTimerClient& e_Client;
    const TQORClock& e_Clock;
    static void SocketReady(TWaiter2HandlerParams* aParams);

    TWaiter2Socket f_Waiter{TWaiter2Socket::kMaxCapacity};
    std::atomic<bool> f_ThreadIsStarted{false};
    std::atomic<bool> f_ThreadIsStopped{false};
    std::atomic<bool> f_DoEnabled{false};
    std::atomic<bool> f_DoDisabled{false};
    std::atomic<uint64_t> f_Wakes{0};
    bool f_Enabled GAX_GUARDED_BY(kHeartbeat) = false;
    uint32_t f_StartTick GAX_GUARDED_BY(kHeartbeat) = 0;
};

}  // namespace gax
