#include "server/gax_qor_svc_mainthread.h"

#include <chrono>

namespace gax {

bool TQORMainThreadCall::Call(const std::function<void()>& aCall) {
    plat::MutexLock lock(f_Lock);
    if (f_Shutdown) return false;
    f_Pending = &aCall;
    const uint64_t ticket = ++f_Posted;
    f_Changed.SignalAll();
    while (f_Done < ticket && !f_Shutdown) f_Changed.Wait(f_Lock);
    if (f_Done < ticket) {  // shut down before it ran: the call must not outlive us
        f_Pending = nullptr;
        return false;
    }
    return f_LastOk;
}

void TQORMainThreadCall::Finish() {
    plat::MutexLock lock(f_Lock);
    f_Finished = true;
    f_Changed.SignalAll();
}

void TQORMainThreadCall::Shutdown() {
    plat::MutexLock lock(f_Lock);
    f_Shutdown = true;
    f_Changed.SignalAll();
}

bool TQORMainThreadCall::ServeOne() {
    if (f_Pending == nullptr) return false;
    const std::function<void()>* call = f_Pending;
    f_Pending = nullptr;
    // The call runs unlocked: it writes output and may take its own locks.
    f_Lock.Unlock();
    bool ok = true;
    try {
        (*call)();
    } catch (...) {
        ok = false;
    }
    f_Lock.Lock();
    f_LastOk = ok;
    ++f_Done;
    f_Changed.SignalAll();
    return true;
}

void TQORMainThreadCall::Serve() {
    plat::MutexLock lock(f_Lock);
    for (;;) {
        while (f_Pending == nullptr && !f_Finished) f_Changed.Wait(f_Lock);
        if (!ServeOne() && f_Finished) return;
    }
}

bool TQORMainThreadCall::ServeFor(int32_t aTimeoutMs) {
    plat::MutexLock lock(f_Lock);
    if (!ServeOne() && !f_Finished) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
        while (f_Pending == nullptr && !f_Finished) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !f_Changed.WaitFor(f_Lock, left)) break;
        }
        ServeOne();
    }
    return f_Finished && f_Pending == nullptr;
}

}  // namespace gax
