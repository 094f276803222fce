// Threads and condition variables of the server, in the annotated style of
// plat_mutex.h.
//
// Thread: the base of every long-running thread (service, heartbeat, workers,
// manager threads). A derived object is fully built before its body runs: the
// owner constructs it, then calls Start(); a base constructor never starts a
// thread, so a body can never see a half-constructed object. No exception
// leaves a body: the base catches everything at the top, reports it through
// OnThreadException and marks the thread finished, since an exception that
// escaped would end the whole process.
//
// Ownership: one owner thread calls Start() and Join() and destroys the object;
// Terminate(), Terminated(), Finished() and Started() are safe from any thread.
//
// StartDetachedThread: a thread that nobody joins, for a body that may block in
// a call no interrupt ends (the system's name resolver).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/plat_mutex.h"

namespace plat {

// Waits for a condition guarded by a Mutex. Spurious wake-ups happen: callers
// test their condition in a loop.
class CondVar {
  public:
    CondVar() = default;
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    // Atomically releases aMutex and blocks; aMutex is held again on return.
    // REQUIRES: aMutex is held by this thread.
    void Wait(Mutex& aMutex) GAX_REQUIRES(aMutex);
    // As Wait, for at most aMs milliseconds; false when the time ran out.
    bool WaitFor(Mutex& aMutex, int64_t aMs) GAX_REQUIRES(aMutex);
    void Signal() { cv_.notify_one(); }
    void SignalAll() { cv_.notify_all(); }

  private:
    std::condition_variable_any cv_;
};

class Thread {
  public:
    // aName is what `top -H` shows; the kernel keeps 15 bytes of it.
    explicit Thread(std::string aName);
    // REQUIRES: the thread was joined, or never started. A derived class whose
    // body reaches its own fields joins in its own destructor; the base joins
    // too (as a last resort, so that a forgotten join never aborts the process).
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Runs Execute on a new thread. REQUIRES: called once, by the owner, after
    // the derived object is fully constructed. Raises std::system_error when
    // the system refuses a thread (then Finished() is true at once).
    void Start();
    // Asks the body to end; the body polls Terminated(). Derived classes that
    // block in a wait add their own wake-up after calling this.
    void Terminate() noexcept { f_Terminated.store(true, std::memory_order_release); }
    bool Terminated() const noexcept { return f_Terminated.load(std::memory_order_acquire); }
    // True once the body has returned (normally or by an exception); the last
    // thing the thread does before it ends.
    bool Finished() const noexcept { return f_Finished.load(std::memory_order_acquire); }
    bool Started() const noexcept { return f_Started.load(std::memory_order_acquire); }
    // Waits for the body to end; nothing when not started or already joined.
    // REQUIRES: not called by the thread itself.
    void Join();

    const std::string& ThreadName() const { return f_Name; }
    // Renames the running thread (from the thread itself).
    static void SetCurrentThreadName(std::string_view aName);

  protected:
    // The thread body.
    virtual void Execute() = 0;
    // Reports an exception that left Execute (null: one not derived from
    // std::exception); runs on the thread, must not raise. Server threads log
    // it with the class name of the system's own exceptions; the default
    // writes one line to standard error.
    virtual void OnThreadException(const std::exception* aError) noexcept;

  private:
    void Run() noexcept;

    std::string f_Name;
    std::thread f_Thread;  // owner thread only
    std::atomic<bool> f_Terminated{false};
    std::atomic<bool> f_Finished{false};
    std::atomic<bool> f_Started{false};
};

// Runs aBody on a new thread named aName that is never joined: its starter may
// stop without waiting for it, even while it blocks. The body therefore owns
// everything it touches (a shared state block kept alive by shared ownership,
// freed when the body returns) and learns by that state that nobody waits for
// it any more. An exception that leaves the body is written to standard error.
// Raises std::system_error when the system refuses a thread.
void StartDetachedThread(std::string aName, std::function<void()> aBody);

}  // namespace plat
