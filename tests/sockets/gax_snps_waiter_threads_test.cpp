#include "sockets/gax_snps_waiter.h"

#include <gtest/gtest.h>

#include <atomic>
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
