#include "foundation/gax_fifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace gax;

namespace {

struct Item {
    int producer;
    int seq;
};

// A queue that owns heap items, as the service queues do.
class ItemQueue : public TFifoThreadSafe {
  public:
    using TFifoThreadSafe::TFifoThreadSafe;
    ~ItemQueue() override { Clear(); }

  protected:
    void FreeData(void* aData) noexcept override { delete static_cast<Item*>(aData); }
};

constexpr int kProducers = 4;
constexpr int kPerProducer = 100000;
constexpr int kBatch = 32;

}  // namespace

TEST(FifoThreads, ManyProducersOneBatchConsumerEveryElementOnceInOrder) {
    ItemQueue q(64);
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&q, &go, p] {
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            for (int i = 0; i < kPerProducer; ++i) {
                auto item = std::make_unique<Item>(Item{p, i});
                q.PushData(item.get());
                item.release();  // the queue owns it now
            }
        });
    }

    std::vector<int> nextSeq(kProducers, 0);
    int received = 0;
    bool inOrder = true;
    std::thread consumer([&] {
        void* batch[kBatch];
        while (received < kProducers * kPerProducer) {
            const int32_t n = q.PullDataArray(batch, kBatch);
            if (n == 0) {
                std::this_thread::yield();
                continue;
            }
            for (int32_t i = 0; i < n; ++i) {
                std::unique_ptr<Item> item(static_cast<Item*>(batch[i]));
                if (item->seq != nextSeq[item->producer]) inOrder = false;
                nextSeq[item->producer] = item->seq + 1;
                ++received;
            }
            (void)q.Count();  // the unlocked hint other threads read
        }
    });
    go.store(true, std::memory_order_release);
    for (auto& t : producers) t.join();
    consumer.join();

    EXPECT_TRUE(inOrder);
    EXPECT_EQ(received, kProducers * kPerProducer);
    for (int p = 0; p < kProducers; ++p) EXPECT_EQ(nextSeq[p], kPerProducer);
    EXPECT_EQ(q.Count(), 0);
    EXPECT_EQ(q.FifoMemoryUsage(), 64 * 4 + 24);
}

TEST(FifoThreads, ArrayPushesStayTogetherAndLeftoversAreFreed) {
    // Batches pushed with PushDataArray must come out contiguous; whatever the
    // consumer leaves behind is released by the queue (checked by the leak checker).
    constexpr int kBatches = 2000;
    constexpr int kLen = 7;
    auto q = std::make_unique<ItemQueue>(16);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&q, p] {
            for (int b = 0; b < kBatches; ++b) {
                void* arr[kLen];
                for (int i = 0; i < kLen; ++i) arr[i] = new Item{p, b * kLen + i};
                q->PushDataArray(arr, kLen);
            }
        });
    }
    const int want = kProducers * kBatches * kLen / 2;
    int got = 0;
    bool together = true;
    Item last{-1, -1};
    while (got < want) {
        void* d;
        if (!q->PullData(d)) {
            std::this_thread::yield();
            continue;
        }
        std::unique_ptr<Item> item(static_cast<Item*>(d));
        if (item->seq % kLen != 0 && (item->producer != last.producer || item->seq != last.seq + 1))
            together = false;
        last = *item;
        ++got;
    }
    for (auto& t : producers) t.join();
    EXPECT_TRUE(together);
    EXPECT_EQ(q->Count(), kProducers * kBatches * kLen - want);
    q.reset();
}
