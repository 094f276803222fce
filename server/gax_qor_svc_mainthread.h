// The synchronous call from the service thread to the main thread: the main
// thread alone writes the log (and reopens it), so the service thread hands it
// a call and blocks until the main thread has run it. One request slot under a
// mutex with a condition variable; Call is made by one thread (the service
// thread), Serve by another (the main thread).
//
// The main thread serves calls until the calling thread has finished
// (Finish), and only then joins it: a plain join would block the main thread
// while the service thread waits for its first hand-off. A call's exception
// stays on the main thread (it is swallowed there and Call returns false), so
// a failing log write never tears down the service thread.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/plat_mutex.h"
#include "platform/plat_thread.h"

namespace gax {

class TQORMainThreadCall {
  public:
    TQORMainThreadCall() = default;
    TQORMainThreadCall(const TQORMainThreadCall&) = delete;
    TQORMainThreadCall& operator=(const TQORMainThreadCall&) = delete;

    // Runs aCall on the serving thread and waits for it to be done. False
    // when the call raised or nobody serves any more (after Shutdown).
    // REQUIRES: one calling thread at a time.
    bool Call(const std::function<void()>& aCall);
    // The calling side is done: Serve returns once the slot is empty.
    void Finish();
    // Serves calls until Finish. REQUIRES: the serving thread only.
    void Serve();
    // Serves the pending call, if any, and waits at most aTimeoutMs for one.
    // True once Finish was called.
    bool ServeFor(int32_t aTimeoutMs);
    // Refuses every later Call (the serving side is going away).
    void Shutdown();

  private:
    // Runs the pending call, if any, with f_Lock released meanwhile.
    bool ServeOne() GAX_REQUIRES(f_Lock);

    plat::Mutex f_Lock;
    plat::CondVar f_Changed;
    const std::function<void()>* f_Pending GAX_GUARDED_BY(f_Lock) = nullptr;
    uint64_t f_Posted GAX_GUARDED_BY(f_Lock) = 0;
    uint64_t f_Done GAX_GUARDED_BY(f_Lock) = 0;
    bool f_LastOk GAX_GUARDED_BY(f_Lock) = false;
    bool f_Finished GAX_GUARDED_BY(f_Lock) = false;
    bool f_Shutdown GAX_GUARDED_BY(f_Lock) = false;
};

}  // namespace gax
