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
void IgnoreSignal(int) {}
}  // namespace

// Signals that interrupt the wait neither end it early nor turn it into an error.
TEST(WaiterThreads, SignalsDoNotEndATimedWait) {
    struct sigaction sa {};
    sa.sa_handler = IgnoreSignal;  // no SA_RESTART: poll sees EINTR
    struct sigaction old {};
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

    TWaiter2Socket w(0);
    const pthread_t waiterThread = ::pthread_self();
    std::atomic<bool> waiting{true};
    std::atomic<int> sent{0};
    std::thread pest([&] {
        while (waiting.load()) {
            ::pthread_kill(waiterThread, SIGUSR1);
            sent.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const TWaiterResult r = w.WaitFor(300);
    const auto waited = std::chrono::steady_clock::now() - start;
    waiting = false;
    pest.join();
    ::sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(r, wr_Timeout);
    EXPECT_GT(sent.load(), 1);
    EXPECT_GE(waited, std::chrono::milliseconds(300));
}
