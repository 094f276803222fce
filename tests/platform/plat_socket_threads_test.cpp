#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/plat_socket.h"

namespace {

std::atomic<int> g_signalsCaught{0};
void CountSignal(int) {
    g_signalsCaught.fetch_add(1, std::memory_order_relaxed);
}

// A signal that lands in a socket wait (a blocking connect or receive with a time-out)
// must not end it as a failure or before its time.
TEST(PlatSocketSelectThreads, SignalsDoNotEndTheWait) {
    // Stays installed: a signal still in flight after the test must not end the process.
    struct sigaction sa {};
    sa.sa_handler = CountSignal;  // no SA_RESTART: poll sees EINTR
    ASSERT_EQ(::sigaction(SIGUSR2, &sa, nullptr), 0);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pthread_t waiterThread = ::pthread_self();
    std::atomic<bool> pestering{true};
    std::thread pest([&] {
        while (pestering.load()) {
            ::pthread_kill(waiterThread, SIGUSR2);
            // Paces the signals so the waiting thread also gets to run.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    while (g_signalsCaught.load() == 0) std::this_thread::yield();

    // A busy machine may keep the pest from running during one wait; try again then.
    bool interrupted = false;
    for (int attempt = 0; attempt < 20 && !interrupted; ++attempt) {
        plat::SockSet rd;
        rd.Add(fds[0]);
        const int before = g_signalsCaught.load();
        const auto start = std::chrono::steady_clock::now();
        const int r = plat::SockSelect(&rd, nullptr, nullptr, 200);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r, 0) << plat::SockLastError();
        EXPECT_GE(waited, std::chrono::milliseconds(200));
        interrupted = g_signalsCaught.load() - before >= 2;
    }
    pestering = false;
    pest.join();
    EXPECT_TRUE(interrupted);
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
