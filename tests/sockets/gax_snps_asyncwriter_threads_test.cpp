#include "sockets/gax_snps_asyncwriter.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
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

namespace {

// A buffer whose send blocks until the test lets it go, then reads the bytes
// it was given (so a block freed under a running send shows as a
// use-after-free) and takes as many as it was told to.
class GatedWriter : public TAsyncWriter2SocketThreadSafe {
  public:
    using TAsyncWriter2SocketThreadSafe::TAsyncWriter2SocketThreadSafe;

    // Waits until a send has started.
    void AwaitSend() {
        std::unique_lock l(f_M);
        f_Cv.wait(l, [&] { return f_InSend; });
    }
    // Lets the running send take aTake bytes (all when larger); the sends
    // after it go through at once.
    void Release(size_t aTake) {
        std::lock_guard l(f_M);
        f_Take = aTake;
        f_Open = true;
        f_Cv.notify_all();
    }
    std::string Sent() {
        std::lock_guard l(f_M);
        return f_Sent;
    }
    // The socket the last send was given.
    int SentOn() {
        std::lock_guard l(f_M);
        return f_SentOn;
    }

  protected:
    int SendRawV(const plat::SockIoPiece* aPieces, size_t aCount, size_t& aSent) override {
        std::unique_lock l(f_M);
        f_SentOn = SendingSocket();
        f_InSend = true;
        f_Cv.notify_all();
        f_Cv.wait(l, [&] { return f_Open; });
        std::string bytes;
        for (size_t i = 0; i < aCount; ++i)
            bytes.append(static_cast<const char*>(aPieces[i].Data), aPieces[i].Len);
        aSent = std::min(bytes.size(), f_Take);
        f_Sent.append(bytes, 0, aSent);
        f_Take = SIZE_MAX;
        return 0;
    }

  private:
    std::mutex f_M;
    std::condition_variable f_Cv;
    bool f_InSend = false;
    bool f_Open = false;
    size_t f_Take = SIZE_MAX;
    std::string f_Sent;
    int f_SentOn = -1;
};

}  // namespace

// The send runs without the buffer's lock: appends made meanwhile return at
// once, even when the block has to grow twice under the running send, and
// every byte leaves once and in order.
TEST(AsyncWriterThreads, AppendsDuringASendNeitherWaitNorReorder) {
    GatedWriter out(256);
    std::string expected(200, 'a');
    ASSERT_TRUE(out.PutData(expected.data(), static_cast<int>(expected.size())));
    std::thread flusher([&] { EXPECT_TRUE(out.Flush()); });
    out.AwaitSend();
    // Both appends would block here if the send held the lock.
    for (char c : {'b', 'c'}) {
        const std::string more(5000, c);
        ASSERT_TRUE(out.PutData(more.data(), static_cast<int>(more.size())));
        expected += more;
    }
    EXPECT_GT(out.Total(), 256u);
    out.Release(150);
    flusher.join();
    EXPECT_EQ(out.PendingBytes(), expected.size() - 150);
    ASSERT_TRUE(out.Flush());
    EXPECT_EQ(out.PendingBytes(), 0u);
    EXPECT_EQ(out.Sent(), expected);
}

// A Clear during a send drops what was pending, the part being sent
// included, but not what is appended after it.
TEST(AsyncWriterThreads, ClearDuringASendDropsOnlyWhatWasPending) {
    GatedWriter out(256);
    ASSERT_TRUE(out.PutStrA("AAAA"));
    std::thread flusher([&] { EXPECT_TRUE(out.Flush()); });
    out.AwaitSend();
    out.Clear();
    ASSERT_TRUE(out.PutStrA("BB"));
    out.Release(2);
    flusher.join();
    EXPECT_EQ(out.PendingBytes(), 2u);
    ASSERT_TRUE(out.Flush());
    EXPECT_EQ(out.Sent(), "AABB");
    EXPECT_EQ(out.PendingBytes(), 0u);
}

// A producer's frame that meets the owner's running send neither waits for
// it nor goes out ahead of what that send has not taken.
TEST(AsyncWriterThreads, WriteThroughDuringASendQueuesBehindIt) {
    GatedWriter out(256);
    out.SetSocket(1000);  // the gated send never touches it
    ASSERT_TRUE(out.PutStrA("AAAA"));
    std::thread flusher([&] { EXPECT_TRUE(out.Flush()); });
    out.AwaitSend();
    const std::string bytes(300, 'F');
    EXPECT_EQ(out.PutSharedWriteThrough(TSharedFrame::Make(bytes)),
              TAsyncWriter2SocketThreadSafe::WriteThrough::Queued);
    out.Release(2);
    flusher.join();
    EXPECT_EQ(out.PendingBytes(), 2 + bytes.size());
    ASSERT_TRUE(out.Flush());
    EXPECT_EQ(out.Sent(), "AAAA" + bytes);
}

// The owner closes the socket while a producer's send uses it: the
// descriptor stays open until that send has returned, so its number cannot
// pass to another connection under the send, and is closed then.
TEST(AsyncWriterThreads, ACloseDuringASendIsLeftToTheSender) {
    snpstest::Pair p;
    const int fd = ::dup(p.a);
    ASSERT_GE(fd, 0);
    GatedWriter out(256);
    out.SetSocket(fd);
    std::thread producer([&] {
        EXPECT_EQ(out.PutSharedWriteThrough(TSharedFrame::Make("frame")),
                  TAsyncWriter2SocketThreadSafe::WriteThrough::Sent);
    });
    out.AwaitSend();
    out.CloseSocket();
    EXPECT_EQ(out.Socket(), -1);
    EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "closed under the running send";
    out.Release(SIZE_MAX);
    producer.join();
    EXPECT_EQ(out.SentOn(), fd);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    out.CloseSocket();  // again: nothing

    // With no send running the close is at once.
    const int fd2 = ::dup(p.a);
    ASSERT_GE(fd2, 0);
    TAsyncWriter2SocketThreadSafe idle(256);
    idle.SetSocket(fd2);
    idle.CloseSocket();
    EXPECT_EQ(::fcntl(fd2, F_GETFD), -1);
}

// One frame goes by reference into the buffers of several connections, each
// flushed by its own thread, while the maker lets go of it at once and
// appends copied records between frames: every peer gets every byte once and
// in order, and a frame lives until the last of them sent it.
TEST(AsyncWriterThreads, SharedFramesReachEveryMemberWhole) {
    constexpr int kMembers = 3;
    constexpr int kFrames = 200;
    struct Member {
        snpstest::Pair pair{8192};
        TAsyncWriter2SocketThreadSafe out{1024};
        TWaiter2Socket waiter{1};
        std::string expected;
        std::string received;
    };
    std::vector<std::unique_ptr<Member>> members;
    for (int i = 0; i < kMembers; ++i) {
        members.push_back(std::make_unique<Member>());
        members.back()->out.SetSocket(members.back()->pair.a);
    }
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (auto& mp : members) {
        Member* m = mp.get();
        threads.emplace_back([m] {
            char buf[4096];
            for (;;) {
                const ssize_t n = ::recv(m->pair.b, buf, sizeof buf, 0);
                if (n <= 0) break;
                m->received.append(buf, static_cast<size_t>(n));
            }
        });
        threads.emplace_back([m, &done] {
            auto* res = m->waiter.RegisterResource(nullptr, m->pair.a);
            for (;;) {
                const bool last = done.load();
                ASSERT_TRUE(m->out.Flush());
                if (last && m->out.PendingBytes() == 0) break;
                m->waiter.SetWaitMode(res, m->out.NeedWaitForWrite() ? wf_Write : wf_CloseOnly);
                TWaiter2WaitParams params;
                params.w2wp_TimeoutTicks = 1000;
                m->waiter.WaitForHandler(params);
            }
            m->waiter.UnregisterResource(res);
            ::shutdown(m->pair.a, SHUT_WR);
        });
    }
    for (int f = 0; f < kFrames; ++f) {
        std::string bytes = "frame " + std::to_string(f) + ":";
        bytes.append(static_cast<size_t>(100 + (f * 397) % 3000), static_cast<char>('a' + f % 26));
        const std::string rec = "rec " + std::to_string(f);
        {
            const TSharedFrame frame = TSharedFrame::Make(bytes);
            for (auto& m : members) {
                ASSERT_TRUE(m->out.PutShared(frame));
                ASSERT_TRUE(m->out.PutDataLn(rec.data(), static_cast<int>(rec.size())));
                m->expected += bytes + rec + "\r\n";
            }
        }
        for (auto& m : members) m->waiter.SetInterrupt();
    }
    done.store(true);
    for (auto& m : members) m->waiter.SetInterrupt();
    for (auto& t : threads) t.join();
    for (auto& m : members) EXPECT_TRUE(m->received == m->expected);
}
