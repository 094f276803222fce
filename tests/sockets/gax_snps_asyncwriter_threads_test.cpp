#include "sockets/gax_snps_asyncwriter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "snps_test_net.h"
#include "sockets/gax_snps_waiter.h"

using namespace gax;

// Several threads append records while the socket's owner flushes: every
// record arrives whole, once, and in each producer's order.
TEST(AsyncWriterThreads, ConcurrentAppendsArriveInOrder) {
    constexpr int kProducers = 3;
    constexpr int kRecords = 3000;
    snpstest::Pair p(8192);
    TAsyncWriter2SocketThreadSafe out(1024);
    out.SetSocket(p.a);
    TWaiter2Socket waiter(1);
    auto* res = waiter.RegisterResource(nullptr, p.a);

    std::atomic<int> finished{0};
    std::atomic<size_t> expectedBytes{0};
    std::vector<std::thread> producers;
    for (int id = 0; id < kProducers; ++id) {
        producers.emplace_back([&, id] {
            for (int seq = 0; seq < kRecords; ++seq) {
                const std::string rec = std::to_string(id) + ":" + std::to_string(seq);
                ASSERT_TRUE(out.PutDataLn(rec.data(), static_cast<int>(rec.size())));
                expectedBytes.fetch_add(rec.size() + 2);
                waiter.SetInterrupt();
            }
            finished.fetch_add(1);
            waiter.SetInterrupt();
        });
    }

    std::string received;
    std::thread reader([&] {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(p.b, buf, sizeof buf, 0);
            if (n <= 0) break;
            received.append(buf, static_cast<size_t>(n));
        }
    });

    for (;;) {
        const bool done = finished.load() == kProducers;
        ASSERT_TRUE(out.Flush());
        if (done && out.PendingBytes() == 0) break;
        waiter.SetWaitMode(res, out.NeedWaitForWrite() ? wf_Write : wf_CloseOnly);
        TWaiter2WaitParams params;
        params.w2wp_TimeoutTicks = 1000;
        waiter.WaitForHandler(params);
    }
    for (auto& t : producers) t.join();
    waiter.UnregisterResource(res);
    ::shutdown(p.a, SHUT_WR);
    reader.join();

    ASSERT_EQ(received.size(), expectedBytes.load());
    std::vector<int> next(kProducers, 0);
    size_t pos = 0;
    while (pos < received.size()) {
        const size_t end = received.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        const std::string rec = received.substr(pos, end - pos);
        const size_t colon = rec.find(':');
        ASSERT_NE(colon, std::string::npos) << rec;
        const int id = std::stoi(rec.substr(0, colon));
        ASSERT_EQ(std::stoi(rec.substr(colon + 1)), next[static_cast<size_t>(id)]) << rec;
        ++next[static_cast<size_t>(id)];
        pos = end + 2;
    }
    for (int n : next) EXPECT_EQ(n, kRecords);
}
