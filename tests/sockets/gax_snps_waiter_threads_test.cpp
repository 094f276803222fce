#include "sockets/gax_snps_waiter.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace gax;

TEST(WaiterThreads, InterruptFromAnotherThreadEndsALongWait) {
    TWaiter2Socket w(0);
    std::atomic<bool> waiting{false};
    std::thread t([&] {
        while (!waiting.load()) std::this_thread::yield();
        w.SetInterrupt();
    });
    waiting = true;
    EXPECT_EQ(w.WaitFor(10000), wr_Interrupt);
    t.join();
}

// Producers interrupt a consumer after each push; every push must be seen,
// however the interrupts and the consumer's waits interleave.
TEST(WaiterThreads, NoPushIsLostBetweenInterrupts) {
    TWaiter2Socket w(0);
    std::atomic<int> pushed{0};
    constexpr int kPerProducer = 2000;
    std::vector<std::thread> producers;
    for (int i = 0; i < 3; ++i) {
        producers.emplace_back([&] {
            for (int n = 0; n < kPerProducer; ++n) {
                pushed.fetch_add(1);
                w.SetInterrupt();
            }
        });
    }
    int seen = 0;
    while (seen < 3 * kPerProducer) {
        seen = pushed.load();
        if (seen < 3 * kPerProducer) {
            ASSERT_EQ(w.WaitFor(10000), wr_Interrupt);
        }
    }
    for (auto& t : producers) t.join();
}

namespace {
std::atomic<int> g_signalsCaught{0};
void CountSignal(int) {
    g_signalsCaught.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

// Signals that interrupt the wait neither end it early nor turn it into an error.
TEST(WaiterThreads, SignalsDoNotEndATimedWait) {
    // The handler stays installed after the test: a signal still in flight when the test
    // ends (a sanitizer may hold one back) must not meet the default action, which would
    // end the process.
    struct sigaction sa {};
    sa.sa_handler = CountSignal;  // no SA_RESTART: poll sees EINTR
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, nullptr), 0);

    TWaiter2Socket w(0);
    const pthread_t waiterThread = ::pthread_self();
    std::atomic<bool> pestering{true};
    std::thread pest([&] {
        while (pestering.load()) {
            ::pthread_kill(waiterThread, SIGUSR1);
            // Paces the signals so the waiting thread also gets to run.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    // Until the pest runs, no wait would be interrupted.
    while (g_signalsCaught.load() == 0) std::this_thread::yield();

    // A busy machine may keep the pest from running during one wait; try again then.
    bool interrupted = false;
    for (int attempt = 0; attempt < 20 && !interrupted; ++attempt) {
        const int before = g_signalsCaught.load();
        const auto start = std::chrono::steady_clock::now();
        const TWaiterResult r = w.WaitFor(200);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r, wr_Timeout);
        EXPECT_GE(waited, std::chrono::milliseconds(200));
        interrupted = g_signalsCaught.load() - before >= 2;
    }
    pestering = false;
    pest.join();
    EXPECT_TRUE(interrupted);
}
