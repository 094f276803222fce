#include "server/gax_qor_svc_poster.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace gax;

// Many producers post through the poster while one consumer works like the
// heartbeat thread: reset the interrupt, drain in batches of at most 32 until
// a pull comes back empty, then wait. Every record must arrive exactly once,
// each producer's in its own order, and no wake-up may be lost: a push that
// lands after the last empty pull must still end the next wait.
TEST(ServQueueThreads, ManyProducersOneBatchConsumerLoseNothing) {
    constexpr int kProducers = 8;
    constexpr int kPerProducer = 50000;
    constexpr int kTotal = kProducers * kPerProducer;
    // Only a lost wake-up can make a wait last this long; it fails the test
    // instead of hanging it.
    constexpr TWaiterTick32 kLostWakeUp = 30000;

    TWaiter2Socket waiter(0);
    TQORSVCPoster poster(&waiter);
    std::atomic<bool> go{false};

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&poster, &go, p] {
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            for (int seq = 0; seq < kPerProducer; ++seq) {
                auto rec = std::make_unique<TQORSVCNetQueueRecord>();
                rec->nqr_Cmd = TQORServNetworkCommand::snc_MemoryReportAnswerLine;
                rec->nqr_DataI0 = p;
                rec->nqr_DataI1 = seq;
                poster.ServQueuePush(std::move(rec));
            }
        });
    }

    std::vector<int> next(kProducers, 0);
    int received = 0, badOrder = 0, badProducer = 0, lostWakeUps = 0, largestBatch = 0;
    TQORSVCServQueue::Batch batch;
    go.store(true, std::memory_order_release);
    while (received < kTotal) {
        waiter.Reset();
        for (int32_t n; (n = poster.ServQueue().PullBatch(batch)) > 0;) {
            largestBatch = std::max(largestBatch, n);
            for (int32_t i = 0; i < n; ++i) {
                const int p = batch[i]->nqr_DataI0;
                if (p < 0 || p >= kProducers) {
                    ++badProducer;
                } else if (batch[i]->nqr_DataI1 != next[p]++) {
                    ++badOrder;
                }
                batch[i].reset();
                ++received;
            }
        }
        if (received >= kTotal) break;
        if (waiter.WaitFor(kLostWakeUp) == wr_Timeout) {
            ++lostWakeUps;
            break;
        }
    }
    for (auto& t : producers) t.join();

    EXPECT_EQ(lostWakeUps, 0);
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(badOrder, 0);
    EXPECT_EQ(badProducer, 0);
    EXPECT_LE(largestBatch, 32);
    for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kPerProducer) << p;
    EXPECT_FALSE(poster.ServQueue().Pull());
}
