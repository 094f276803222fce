// The heartbeat thread: runs one heartbeat pass of its client (the service)
// at every point of a 100 ms grid that starts when the heartbeat is enabled,
// and at once whenever another thread interrupts its waiter (a pass brought
// forward that way does not move the grid). Before the first SetEnabled(true)
// the thread only waits.
//
// Threads: the thread body owns f_Enabled and f_StartTick and holds the
// kHeartbeat role for its whole life, so the client's heartbeat-only
// functions run there. SetEnabled, Interrupt and the state queries are safe
// from any thread; Start and Stop belong to the owner (the service).
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
};

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

    // "ERROR: Timer: " lines of the owner; set before Start.
    ErrorEvent OnError;

  protected:
    void Execute() override;

  private:
    void Loop() GAX_REQUIRES(kHeartbeat);
    void ReportError(std::u16string_view aClass, std::u16string_view aMessage);

    TQORTimerClient& e_Client;
    const TQORClock& e_Clock;
    TWaiter2Socket f_Waiter{0};
    std::atomic<bool> f_ThreadIsStarted{false};
    std::atomic<bool> f_ThreadIsStopped{false};
    std::atomic<bool> f_DoEnabled{false};
    std::atomic<bool> f_DoDisabled{false};
    bool f_Enabled GAX_GUARDED_BY(kHeartbeat) = false;
    uint32_t f_StartTick GAX_GUARDED_BY(kHeartbeat) = 0;
};

}  // namespace gax
