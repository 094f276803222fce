// Mutual exclusion for the system's critical sections, with clang's
// thread-safety annotations. A Mutex is not re-entrant: code that runs under it
// must not take it again. The macros are no-ops on compilers without the analysis.
#pragma once

#include <mutex>

#if defined(__clang__)
#define GAX_TSA(x) __attribute__((x))
#else
#define GAX_TSA(x)
#endif

#define GAX_CAPABILITY(x) GAX_TSA(capability(x))
#define GAX_SCOPED_CAPABILITY GAX_TSA(scoped_lockable)
#define GAX_GUARDED_BY(x) GAX_TSA(guarded_by(x))
#define GAX_PT_GUARDED_BY(x) GAX_TSA(pt_guarded_by(x))
#define GAX_REQUIRES(...) GAX_TSA(requires_capability(__VA_ARGS__))
#define GAX_EXCLUDES(...) GAX_TSA(locks_excluded(__VA_ARGS__))
#define GAX_ACQUIRE(...) GAX_TSA(acquire_capability(__VA_ARGS__))
#define GAX_RELEASE(...) GAX_TSA(release_capability(__VA_ARGS__))
#define GAX_TRY_ACQUIRE(...) GAX_TSA(try_acquire_capability(__VA_ARGS__))
#define GAX_NO_THREAD_SAFETY_ANALYSIS GAX_TSA(no_thread_safety_analysis)

namespace plat {

class GAX_CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() GAX_ACQUIRE() { m_.lock(); }
    void Unlock() GAX_RELEASE() { m_.unlock(); }
    bool TryLock() GAX_TRY_ACQUIRE(true) { return m_.try_lock(); }

  private:
    std::mutex m_;
};

// Holds a Mutex for the lifetime of the scope.
class GAX_SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& m) GAX_ACQUIRE(m) : m_(m) { m_.Lock(); }
    ~MutexLock() GAX_RELEASE() { m_.Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& m_;
};

}  // namespace plat
