#include "server/gax_qor_svc_timer.h"

#include <exception>
#include <system_error>

#include "foundation/gax_strutils.h"
#include "foundation/gax_types.h"

namespace gax {

uint32_t HeartbeatGridWait(uint32_t aNow, uint32_t& aStartTick) {
    const int32_t d = TickSignedDiff(aNow, aStartTick);
    uint32_t wait;
    if (d >= 0) {
        const uint32_t steps = static_cast<uint32_t>(d) / 100;
        aStartTick += steps * 100;
        wait = 100 - static_cast<uint32_t>(d) % 100;
    } else {
        wait = TickElapsed(aStartTick, aNow);
        if (wait > 100) {
            aStartTick = aNow;
            wait = 100;
        }
    }
    return wait == 0 ? 100 : wait;
}

uint32_t HeartbeatDeadlineWait(uint32_t aGridWait, uint32_t aDue) {
    if (aDue <= aGridWait) return aGridWait;
    const uint32_t due = aDue < kHeartbeatLongestSleep ? aDue : kHeartbeatLongestSleep;
    if (due <= aGridWait) return aGridWait;
    return aGridWait + (due - aGridWait + 99) / 100 * 100;
}

TQORTimer::TQORTimer(TQORTimerClient& aClient, const TQORClock& aClock)
    : plat::Thread("qor-heartbeat"), e_Client(aClient), e_Clock(aClock) {}

TQORTimer::~TQORTimer() { Stop(); }

void TQORTimer::StartTimer() {
    try {
        Start();
    } catch (const std::system_error& e) {
        throw Exception(std::string("Can not create the heartbeat thread: ") + e.what());
    }
}

void TQORTimer::TerminateTimer() {
    Terminate();
    f_Waiter.SetInterrupt();
}

void TQORTimer::Stop() {
    TerminateTimer();
    Join();
}

void TQORTimer::SetEnabled(bool aEnabled) {
    (aEnabled ? f_DoEnabled : f_DoDisabled).store(true, std::memory_order_release);
    f_Waiter.SetInterrupt();
}

void TQORTimer::ReportError(std::u16string_view aClass, std::u16string_view aMessage) {
    if (!OnError) return;
    std::u16string text = u"Heartbeat loop: ";
    text += aClass;
    text += u": ";
    text += aMessage;
    try {
        OnError(text);
    } catch (...) {  // the log is unreachable: nothing left to tell
    }
}

void TQORTimer::SocketReady(TWaiter2HandlerParams* aParams) GAX_NO_THREAD_SAFETY_ANALYSIS {
    // Only the heartbeat thread waits on this waiter.
    static_cast<TQORTimer*>(aParams->w2hp_WaiterContext)
        ->e_Client.tmSocketReady(aParams->w2hp_Resource, aParams->w2hp_EventFlags);
}

void TQORTimer::ReleaseSockets() {
    try {
        e_Client.tmReleaseSockets();
    } catch (...) {
        ReportError(u"Exception", u"giving back the sockets failed");
    }
}

void TQORTimer::Execute() {
    TQORRoleScope role(kHeartbeat);
    f_ThreadIsStarted.store(true, std::memory_order_release);
    try {
        Loop();
    } catch (...) {
        ReportError(u"Exception", u"heartbeat thread ended by an unexpected exception");
    }
    ReleaseSockets();
    f_Enabled = false;
    f_ThreadIsStopped.store(true, std::memory_order_release);
}

void TQORTimer::Loop() {
    auto terminated = [this] { return Terminated(); };
    while (!terminated()) {
        try {
            if (f_DoEnabled.exchange(false, std::memory_order_acq_rel) && !f_Enabled) {
                f_Enabled = true;
                f_StartTick = e_Clock.Tick();
                e_Client.tmSetTimerSync(f_StartTick);
            }
            if (f_DoDisabled.exchange(false, std::memory_order_acq_rel)) f_Enabled = false;
            while (f_Enabled && !terminated()) {
                const uint32_t now = e_Clock.Tick();
                const uint32_t grid = HeartbeatGridWait(now, f_StartTick);
                TWaiter2WaitParams wp;
                wp.w2wp_IterHandler = &SocketReady;
                wp.w2wp_WaiterContext = this;
                wp.w2wp_TimeoutTicks = HeartbeatDeadlineWait(grid, e_Client.tmNextDeadline(now));
                f_Waiter.WaitForHandler(wp);
                if (f_DoDisabled.load(std::memory_order_acquire) || terminated()) break;
                f_Wakes.fetch_add(1, std::memory_order_relaxed);
                e_Client.tm_Pinger();
            }
        } catch (const Exception& e) {
            ReportError(e.ClassName(), e.Message());
        } catch (const std::exception& e) {
            // Not one of ours (allocation, standard library): the pass is
            // lost but the heartbeat must go on, or every connection stalls.
            ReportError(u"std::exception", Utf8StrToUnicodeLenient(e.what()));
        } catch (...) {
            // A value of no exception class (a library's own, a thrown int):
            // still only this pass is lost.
            ReportError(u"unknown exception", u"");
        }
        if (terminated()) break;
        // An enabled heartbeat whose pass raised goes straight back to its
        // grid; only an idle one sleeps until it is told something, and
        // watches no socket meanwhile.
        if (!f_Enabled && !f_DoEnabled.load(std::memory_order_acquire) &&
            !f_DoDisabled.load(std::memory_order_acquire)) {
            ReleaseSockets();
            if (f_Waiter.Count() == 0) {
                f_Waiter.WaitFor(WAITER_INFINITE);
            } else {
                // Not given back (no memory for the records): try again soon.
                TWaiter2WaitParams wp;
                wp.w2wp_TimeoutTicks = 50;
                f_Waiter.WaitForHandler(wp);
            }
        }
    }
}

}  // namespace gax
