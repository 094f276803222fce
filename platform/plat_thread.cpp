#include "platform/plat_thread.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <system_error>
#include <typeinfo>

namespace plat {

namespace {

// condition_variable_any needs lock()/unlock(); the Mutex keeps its annotated names.
class MutexAdapter {
  public:
    explicit MutexAdapter(Mutex& m) : m_(m) {}
    void lock() GAX_NO_THREAD_SAFETY_ANALYSIS { m_.Lock(); }
    void unlock() GAX_NO_THREAD_SAFETY_ANALYSIS { m_.Unlock(); }

  private:
    Mutex& m_;
};

}  // namespace

void CondVar::Wait(Mutex& aMutex) {
    MutexAdapter a(aMutex);
    cv_.wait(a);
}

bool CondVar::WaitFor(Mutex& aMutex, int64_t aMs) {
    MutexAdapter a(aMutex);
    return cv_.wait_for(a, std::chrono::milliseconds(aMs < 0 ? 0 : aMs)) ==
           std::cv_status::no_timeout;
}

Thread::Thread(std::string aName) : f_Name(std::move(aName)) {}

Thread::~Thread() {
    if (f_Thread.joinable()) f_Thread.join();
}

void Thread::Start() {
    f_Started.store(true, std::memory_order_release);
    try {
        f_Thread = std::thread([this] { Run(); });
    } catch (...) {
        f_Finished.store(true, std::memory_order_release);
        throw;
    }
}

void Thread::Join() {
    if (f_Thread.joinable()) f_Thread.join();
}

void Thread::SetCurrentThreadName(std::string_view aName) {
    char name[16];
    const size_t n = aName.size() < 15 ? aName.size() : 15;
    aName.copy(name, n);
    name[n] = '\0';
    pthread_setname_np(pthread_self(), name);
}

void Thread::OnThreadException(const std::exception* aError) noexcept {
    std::fprintf(stderr, "ERROR: Thread %s: %s: %s\n", f_Name.c_str(),
                 aError ? typeid(*aError).name() : "unknown exception",
                 aError ? aError->what() : "");
}

void StartDetachedThread(std::string aName, std::function<void()> aBody) {
    std::thread t([name = std::move(aName), body = std::move(aBody)]() mutable noexcept {
        Thread::SetCurrentThreadName(name);
        try {
            body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ERROR: Thread %s: %s: %s\n", name.c_str(), typeid(e).name(),
                         e.what());
        } catch (...) {
            std::fprintf(stderr, "ERROR: Thread %s: unknown exception\n", name.c_str());
        }
        // What the body held goes with it, on this thread, before it ends.
        body = nullptr;
    });
    t.detach();
}

void Thread::Run() noexcept {
    SetCurrentThreadName(f_Name);
    try {
        Execute();
    } catch (const std::exception& e) {
        OnThreadException(&e);
    } catch (...) {
        OnThreadException(nullptr);
    }
    f_Finished.store(true, std::memory_order_release);
}

}  // namespace plat
