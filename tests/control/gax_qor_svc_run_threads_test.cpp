// The signal thread: a stop signal sent to the whole process reaches the
// service's abort from the signal thread (the signals are blocked everywhere
// else), only the first one counts, and Stop ends the thread whether or not
// a signal ever came.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "control/gax_qor_svc_run.h"

using namespace gax;

namespace {

bool WaitUntil(const std::function<bool()>& aDone) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!aDone()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

TEST(SignalThread, FirstStopSignalAbortsTheServiceOnce) {
    BlockStopSignals();
    TQORServiceConfig cfg;
    TQORService svc(cfg);
    TQORSignalThread signals(svc);
    signals.Start();
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    ASSERT_TRUE(WaitUntil([&] { return svc.AbortRequested(); }));
    ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
    ASSERT_EQ(::kill(::getpid(), SIGHUP), 0);
    signals.Stop();
    EXPECT_EQ(svc.AbortMessageText(), u"SHUTDOWN");
    EXPECT_TRUE(signals.Finished());
    // Signals the thread did not take before it ended stay pending: drop
    // them so that they reach no later test.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    const timespec none{0, 0};
    while (sigtimedwait(&set, nullptr, &none) > 0) {
    }
}

TEST(SignalThread, StopsWithoutAnySignal) {
    BlockStopSignals();
    TQORServiceConfig cfg;
    TQORService svc(cfg);
    {
        TQORSignalThread signals(svc);
        signals.Start();
    }  // the destructor stops and joins it
    TQORSignalThread never(svc);
    never.Stop();  // never started: nothing to do
    EXPECT_FALSE(svc.AbortRequested());
}
