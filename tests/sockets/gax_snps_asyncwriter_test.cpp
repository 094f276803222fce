#include "sockets/gax_snps_asyncwriter.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "snps_test_net.h"
#include "sockets/gax_snps_collector.h"
#include "sockets/gax_snps_waiter.h"

using namespace gax;

namespace {

// A writer whose socket takes the scripted number of bytes per send (all when
// the script is used up; a negative entry is that socket error).
template <class W>
class Scripted : public W {
  public:
    explicit Scripted(int size) : W(size) {}
    std::deque<long> takes;
    std::string wire;
    int sends = 0;

  protected:
    int SendRaw(const char* aData, size_t aLen, size_t& aSent) override {
        ++sends;
        aSent = 0;
        long take = static_cast<long>(aLen);
        if (!takes.empty()) {
            take = takes.front();
            takes.pop_front();
        }
        if (take < 0) return static_cast<int>(-take);
        aSent = std::min(aLen, static_cast<size_t>(take));
        wire.append(aData, aSent);
        return 0;
    }
};

using Unsafe = TAsyncWriter2SocketThreadUnSafe;
using Safe = TAsyncWriter2SocketThreadSafe;

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
}

std::string Narrow(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

template <class W>
void SizesAndGrowth() {
    for (auto [asked, total] : {std::pair{100, 256u}, {1000, 1024u}, {1025, 1152u}, {-1, 256u}}) {
        W w(asked);
        EXPECT_EQ(w.Total(), total) << asked;
    }
    Scripted<W> w(100);
    const std::string big = Pattern(300);
    w.PutData(big.data(), 300);
    EXPECT_EQ(w.Total(), 896u);
    EXPECT_EQ(w.NeedWrite(), 300u);

    Scripted<W> ln(256);
    ln.PutDataLn("xx", 0);
    ln.PutData("xx", -3);
    EXPECT_EQ(ln.NeedWrite(), 0u);
    ln.PutDataLn("OK", 2);
    EXPECT_EQ(ln.NeedWrite(), 4u);
    ASSERT_TRUE(ln.Flush());
    EXPECT_EQ(ln.wire, "OK\r\n");
}

// Partial sends continue from the first unsent byte; the sent prefix is
// reused before the block grows.
template <class W>
void PartialFlushAndCompaction() {
    Scripted<W> w(256);
    EXPECT_TRUE(w.Flush());
    EXPECT_EQ(w.sends, 0);
    const std::string data = Pattern(500);
    w.PutData(data.data(), 200);
    w.takes = {150, 0};
    ASSERT_TRUE(w.Flush());
    EXPECT_TRUE(w.NeedWaitForWrite());
    EXPECT_EQ(w.NeedWrite(), 50u);
    ASSERT_TRUE(w.Flush());  // the socket is full: no error, nothing moves
    EXPECT_TRUE(w.NeedWaitForWrite());
    EXPECT_EQ(w.NeedWrite(), 50u);
    w.PutData(data.data() + 200, 150);  // fits only after compaction
    EXPECT_EQ(w.Total(), 256u);
    w.PutData(data.data() + 350, 150);  // must grow
    EXPECT_GT(w.Total(), 256u);
    ASSERT_TRUE(w.Flush());
    EXPECT_FALSE(w.NeedWaitForWrite());
    EXPECT_EQ(w.wire, data);
    EXPECT_EQ(w.NeedWrite(), 0u);
}

template <class W>
void ErrorKeepsPendingBytes() {
    // On a real connection reset by its peer.
    snpstest::Pair p;
    W w(256);
    w.SetSocket(p.a);
    p.ResetB();
    ASSERT_TRUE(snpstest::WaitReset(p.a));
    ASSERT_TRUE(w.PutData("abc", 3));
    EXPECT_FALSE(w.Flush());
    EXPECT_EQ(w.SocketErrorCode(), 10054);
    EXPECT_EQ(Narrow(w.ErrorDesc()).rfind("Socket error (10054): ", 0), 0u)
        << Narrow(w.ErrorDesc());
    EXPECT_EQ(w.NeedWrite(), 3u);
    try {
        w.FlushExc();
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), w.ErrorDesc());
    }
    // A handle that is not open.
    W closed(256);
    closed.PutData("x", 1);
    EXPECT_FALSE(closed.Flush());
    EXPECT_EQ(Narrow(closed.ErrorDesc()).rfind("Socket error (", 0), 0u);
}

}  // namespace

TEST(AsyncWriter, SizesAndGrowth) {
    SizesAndGrowth<Unsafe>();
    SizesAndGrowth<Safe>();
}

TEST(AsyncWriter, PartialFlushAndCompaction) {
    PartialFlushAndCompaction<Unsafe>();
    PartialFlushAndCompaction<Safe>();
}

TEST(AsyncWriter, SendErrorKeepsPendingBytesAndDescribesTheError) {
    ErrorKeepsPendingBytes<Unsafe>();
    ErrorKeepsPendingBytes<Safe>();
}

TEST(AsyncWriter, ClearAndErrorCode) {
    Scripted<Unsafe> u(256);
    Scripted<Safe> s(256);
    EXPECT_EQ(u.SocketErrorCode(), -1);
    u.PutData("abc", 3);
    s.PutData("abc", 3);
    u.takes = {-10053};
    s.takes = {-10053};
    EXPECT_FALSE(u.Flush());
    EXPECT_FALSE(s.Flush());
    u.Clear();
    s.Clear();
    EXPECT_EQ(u.NeedWrite(), 0u);
    EXPECT_EQ(s.NeedWrite(), 0u);
    EXPECT_EQ(u.SocketErrorCode(), -1);
    EXPECT_EQ(s.SocketErrorCode(), 10053);
}

TEST(AsyncWriter, OnWriteAndLeftAfterFlush) {
    Scripted<Unsafe> u(256);
    Scripted<Safe> s(256);
    std::vector<int> uCalls, sCalls;
    u.OnWrite = [&](Unsafe*, int n) { uCalls.push_back(n); };
    s.OnWrite = [&](Safe*, int n) { sCalls.push_back(n); };
    for (auto* takes : {&u.takes, &s.takes}) *takes = {4, 0, 6};
    u.PutData("0123456789", 10);
    s.PutData("0123456789", 10);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(u.Flush());
        ASSERT_TRUE(s.Flush());
        if (i == 1) {
            // A full socket: the single-thread buffer records what is left,
            // the shared one keeps its figure of the last sending flush.
            EXPECT_EQ(u.LeftAfterFlush(), 6u);
            EXPECT_EQ(s.LeftAfterLastFlush(), 6u);
            EXPECT_EQ(s.PendingBytes(), 6u);
        }
    }
    EXPECT_EQ(uCalls, (std::vector<int>{4, 0, 6}));
    EXPECT_EQ(sCalls, (std::vector<int>{4, 6}));
    EXPECT_EQ(s.LeftAfterLastFlush(), 0u);
}

// A client that stops reading must show in the pending count at once, while
// the figure of the last flush stays behind.
TEST(AsyncWriter, PendingCountSeesAStalledPeer) {
    Scripted<Safe> s(1024);
    s.takes = {10, 0, 0, 0};
    const std::string chunk = Pattern(100);
    s.PutData(chunk.data(), 100);
    ASSERT_TRUE(s.Flush());
    for (int i = 0; i < 3; ++i) {
        s.PutData(chunk.data(), 100);
        ASSERT_TRUE(s.Flush());
    }
    EXPECT_EQ(s.LeftAfterLastFlush(), 90u);
    EXPECT_EQ(s.PendingBytes(), 390u);
}

TEST(AsyncWriter, ShrinksAfter120QuietFlushes) {
    Scripted<Safe> s(1024);
    const std::string data = Pattern(2200);
    s.PutData(data.data(), 1700);
    EXPECT_EQ(s.Total(), 4096u);
    ASSERT_TRUE(s.Flush());  // quiet flush 1
    auto quiet = [&](int n) {
        for (int i = 0; i < n; ++i) {
            s.PutData("0123456789", 10);
            ASSERT_TRUE(s.Flush());
        }
    };
    quiet(118);
    // A flush that leaves half the block or more starts the count again.
    s.PutData(data.data(), 2100);
    s.takes = {10};
    ASSERT_TRUE(s.Flush());
    EXPECT_EQ(s.PendingBytes(), 2090u);
    ASSERT_TRUE(s.Flush());  // quiet flush 1
    quiet(118);
    EXPECT_EQ(s.Total(), 4096u);
    quiet(1);
    EXPECT_EQ(s.Total(), 2048u);
    // Never below the first size: half of 2048 would be the initial 1024.
    quiet(400);
    EXPECT_EQ(s.Total(), 2048u);

    Scripted<Safe> floor(2048);
    floor.PutData(data.data(), 2100);
    EXPECT_EQ(floor.Total(), 6272u);
    for (int i = 0; i < 120 * 4; ++i) {
        floor.PutData("x", 1);
        ASSERT_TRUE(floor.Flush());
    }
    EXPECT_EQ(floor.Total(), 3200u);
    EXPECT_EQ(floor.wire.size(), 2100u + 480u);
}

// A flush that empties a block grown far beyond its first size gives the
// memory back at once; a partial flush, or a modest burst, keeps the block
// (a steady stream must not pay an allocation per burst).
template <class W>
void DrainedBurstGivesMemoryBack() {
    const std::string big = Pattern(4u << 20);
    Scripted<W> w(1024);
    ASSERT_TRUE(w.PutData(big.data(), static_cast<int>(big.size())));
    const size_t grown = w.Total();
    ASSERT_GT(grown, big.size());
    w.takes = {1 << 20};
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(w.Total(), grown);
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(w.Total(), 1024u);
    EXPECT_TRUE(w.wire == big);
    // Usable afterwards.
    ASSERT_TRUE(w.PutData("abc", 3));
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(w.wire.size(), big.size() + 3);

    Scripted<W> modest(1024);
    ASSERT_TRUE(modest.PutData(big.data(), 100000));
    const size_t kept = modest.Total();
    ASSERT_TRUE(modest.Flush());
    EXPECT_EQ(modest.Total(), kept);
}

TEST(AsyncWriter, DrainedBurstGivesMemoryBack) {
    DrainedBurstGivesMemoryBack<Unsafe>();
    DrainedBurstGivesMemoryBack<Safe>();
}

// A real peer with a small receive buffer: the writer waits for the socket to
// become writable and carries on where it stopped.
TEST(AsyncWriter, SlowPeerGetsEverythingInOrder) {
    snpstest::Pair p(4096);
    Unsafe w(1024);
    w.SetSocket(p.a);
    TWaiter2Socket waiter(1);
    auto* res = waiter.RegisterResource(nullptr, p.a);
    TCollectorSocket idle(128);
    const std::string data = Pattern(300000);
    ASSERT_TRUE(w.PutData(data.data(), static_cast<int>(data.size())));
    ASSERT_TRUE(w.Flush());
    EXPECT_TRUE(w.NeedWaitForWrite());
    EXPECT_GT(w.NeedWrite(), 0u);

    std::string got;
    char buf[8192];
    for (int rounds = 0; got.size() < data.size() && rounds < 100000; ++rounds) {
        const ssize_t n = ::recv(p.b, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        if (got.size() >= data.size()) break;
        if (w.NeedWrite() == 0) {
            // All is with the kernel: wait for the rest to reach the peer.
            snpstest::WaitReadable(p.b);
            continue;
        }
        waiter.SetWaitMode(res, idle.WaitFlagsFor(w.NeedWaitForWrite()));
        TWaiter2WaitParams params;
        params.w2wp_TimeoutTicks = 20;
        waiter.WaitForHandler(params);
        ASSERT_TRUE(w.Flush());
    }
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    EXPECT_FALSE(w.NeedWaitForWrite());
    waiter.UnregisterResource(res);
}
