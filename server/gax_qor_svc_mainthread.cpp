#include "server/gax_qor_svc_mainthread.h"

#include <chrono>

namespace gax {

bool TQORMainThreadCall::Call(const std::function<void()>& aCall) {
    std::unique_lock<std::mutex> lock(f_Lock);
    if (f_Shutdown) return false;
    f_Pending = &aCall;
    const uint64_t ticket = ++f_Posted;
    f_Changed.notify_all();
    f_Changed.wait(lock, [&] { return f_Done >= ticket || f_Shutdown; });
    if (f_Done < ticket) {  // shut down before it ran: the call must not outlive us
        f_Pending = nullptr;
        return false;
    }
    return f_LastOk;
}

void TQORMainThreadCall::Finish() {
    std::lock_guard<std::mutex> lock(f_Lock);
    f_Finished = true;
    f_Changed.notify_all();
}

void TQORMainThreadCall::Shutdown() {
    std::lock_guard<std::mutex> lock(f_Lock);
    f_Shutdown = true;
    f_Changed.notify_all();
}

bool TQORMainThreadCall::ServeOne(std::unique_lock<std::mutex>& aLock) {
    if (f_Pending == nullptr) return false;
    const std::function<void()>* call = f_Pending;
    f_Pending = nullptr;
    // The call runs unlocked: it writes output and may take its own locks.
    aLock.unlock();
    bool ok = true;
    try {
        (*call)();
    } catch (...) {
        ok = false;
    }
    aLock.lock();
    f_LastOk = ok;
    ++f_Done;
    f_Changed.notify_all();
    return true;
}

void TQORMainThreadCall::Serve() {
    std::unique_lock<std::mutex> lock(f_Lock);
    for (;;) {
        f_Changed.wait(lock, [&] { return f_Pending != nullptr || f_Finished; });
        if (!ServeOne(lock) && f_Finished) return;
    }
}

bool TQORMainThreadCall::ServeFor(int32_t aTimeoutMs) {
    std::unique_lock<std::mutex> lock(f_Lock);
    if (!ServeOne(lock) && !f_Finished) {
        f_Changed.wait_for(lock, std::chrono::milliseconds(aTimeoutMs),
                           [&] { return f_Pending != nullptr || f_Finished; });
        ServeOne(lock);
    }
    return f_Finished && f_Pending == nullptr;
}

}  // namespace gax
