#include "sockets/gax_snps_asyncwriter.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <array>
#include <deque>
#include <string>
#include <type_traits>

#include "snps_test_net.h"
#include "sockets/gax_snps_collector.h"
#include "sockets/gax_snps_sockets.h"
#include "sockets/gax_snps_waiter.h"

using namespace gax;

namespace {

using Unsafe = TAsyncWriter2SocketThreadUnSafe;
using Safe = TAsyncWriter2SocketThreadSafe;

// A socket that takes the scripted number of bytes per send (all when the
// script is used up; a negative entry is that socket error).
struct Script {
    std::deque<long> takes;
    std::string wire;
    int sends = 0;
    int Take(const char* aData, size_t aLen, size_t& aSent) {
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

template <class W>
class Scripted;

template <>
class Scripted<Unsafe> : public Unsafe, public Script {
  public:
    explicit Scripted(int size) : Unsafe(size) {}

  protected:
    int SendRaw(const char* aData, size_t aLen, size_t& aSent) override {
        return Take(aData, aLen, aSent);
    }
};

template <>
class Scripted<Safe> : public Safe, public Script {
  public:
    explicit Scripted(int size) : Safe(size) {}
    size_t pieces = 0;  // of the last send

  protected:
    int SendRawV(const plat::SockIoPiece* aPieces, size_t aCount, size_t& aSent) override {
        pieces = aCount;
        std::string bytes;
        for (size_t i = 0; i < aCount; ++i)
            bytes.append(static_cast<const char*>(aPieces[i].Data), aPieces[i].Len);
        return Take(bytes.data(), bytes.size(), aSent);
    }
};

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
}

std::string Narrow(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

template <class W>
void LineEnds() {
    Scripted<W> ln(256);
    ln.PutDataLn("xx", 0);
    ln.PutData("xx", -3);
    EXPECT_EQ(ln.NeedWrite(), 0u);
    ln.PutDataLn("OK", 2);
    EXPECT_EQ(ln.NeedWrite(), 4u);
    ASSERT_TRUE(ln.Flush());
    EXPECT_EQ(ln.wire, "OK\r\n");
}

void SizesAndGrowth() {
    for (auto [asked, total] : {std::pair{100, 256u}, {1000, 1024u}, {1025, 1152u}, {-1, 256u}}) {
        Unsafe w(asked);
        EXPECT_EQ(w.Total(), total) << asked;
    }
    Scripted<Unsafe> w(100);
    const std::string big = Pattern(300);
    w.PutData(big.data(), 300);
    EXPECT_EQ(w.Total(), 896u);
    EXPECT_EQ(w.NeedWrite(), 300u);
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
    if constexpr (std::is_same_v<W, Unsafe>) {
        EXPECT_EQ(w.Total(), 256u);
    }
    w.PutData(data.data() + 350, 150);  // must grow
    if constexpr (std::is_same_v<W, Unsafe>) {
        EXPECT_GT(w.Total(), 256u);
    }
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

TEST(AsyncWriter, SizesGrowthAndLineEnds) {
    SizesAndGrowth();
    LineEnds<Unsafe>();
    LineEnds<Safe>();
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

// The shared buffer holds its bytes in pooled chunks: it takes as many as a
// burst needs and gives each back as soon as its bytes are sent, keeping only
// the last one for what comes next, so a drained burst never frees its memory
// all at once on some later flush. Clear gives everything back.
TEST(AsyncWriter, SharedBufferChunksComeAndGoWithTheBytes) {
    Scripted<Safe> s(1024);
    EXPECT_EQ(s.Total(), 0u);
    s.PutData("abc", 3);
    EXPECT_EQ(s.Total(), kOutChunkBytes);
    ASSERT_TRUE(s.Flush());
    EXPECT_EQ(s.Total(), kOutChunkBytes);  // kept for the next bytes

    const std::string burst = Pattern(10 * kOutChunkCapacity + 100);
    ASSERT_TRUE(s.PutData(burst.data(), static_cast<int>(burst.size())));
    EXPECT_EQ(s.Total(), 11 * kOutChunkBytes);
    // A send that ends inside the fourth chunk gives the first three back.
    s.takes = {static_cast<long>(3 * kOutChunkCapacity + 10)};
    ASSERT_TRUE(s.Flush());
    EXPECT_EQ(s.Total(), 8 * kOutChunkBytes);
    EXPECT_EQ(s.PendingBytes(), burst.size() - 3 * kOutChunkCapacity - 10);
    // Appends fill the last chunk's room before taking another.
    ASSERT_TRUE(s.PutData("xyz", 3));
    EXPECT_EQ(s.Total(), 8 * kOutChunkBytes);
    ASSERT_TRUE(s.Flush());
    EXPECT_EQ(s.Total(), kOutChunkBytes);
    EXPECT_TRUE(s.wire == "abc" + burst + "xyz");
    // The kept chunk takes the next bytes from its start.
    ASSERT_TRUE(s.PutData("next", 4));
    EXPECT_EQ(s.Total(), kOutChunkBytes);
    ASSERT_TRUE(s.Flush());
    EXPECT_TRUE(s.wire == "abc" + burst + "xyznext");
    s.Clear();
    EXPECT_EQ(s.Total(), 0u);
}

// Shared frames go in by reference when nothing is pending, or when they are
// long; a short one meeting pending output is copied. Either way the bytes
// leave in append order, and a frame stays alive while a partial send has
// not taken all of it, even when its maker let go.
TEST(AsyncWriter, SharedFramesKeepOrderAndLiveUntilSent) {
    Scripted<Safe> s(1024);
    const std::string bigBytes = Pattern(5000);
    TSharedFrame small = TSharedFrame::Make("0123456789");
    TSharedFrame big = TSharedFrame::Make(bigBytes);
    ASSERT_TRUE(s.PutShared(small));
    EXPECT_EQ(s.Total(), 0u);  // a reference, no chunk
    EXPECT_EQ(small.Users(), 2);
    ASSERT_TRUE(s.PutData("A", 1));
    ASSERT_TRUE(s.PutShared(small));  // short and output pending: copied
    EXPECT_EQ(small.Users(), 2);
    ASSERT_TRUE(s.PutShared(big));
    EXPECT_EQ(big.Users(), 2);
    ASSERT_TRUE(s.PutShared(TSharedFrame()));
    EXPECT_EQ(s.PendingBytes(), 21u + bigBytes.size());

    s.takes = {10 + 1 + 10 + 100, 0};
    ASSERT_TRUE(s.Flush());
    EXPECT_EQ(small.Users(), 1);  // sent whole: let go
    EXPECT_EQ(big.Users(), 2);    // the rest is still to go
    big.Reset();
    ASSERT_TRUE(s.Flush());  // the socket is full
    EXPECT_TRUE(s.NeedWaitForWrite());
    ASSERT_TRUE(s.PutData("Z", 1));
    ASSERT_TRUE(s.Flush());
    EXPECT_EQ(s.PendingBytes(), 0u);
    EXPECT_FALSE(s.NeedWaitForWrite());
    EXPECT_TRUE(s.wire == "0123456789A0123456789" + bigBytes + "Z");

    // More pieces than one send takes: the flush goes on while the socket
    // takes everything it is given.
    Scripted<Safe> many(1024);
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        const std::string bytes = Pattern(2000 + static_cast<size_t>(i));
        ASSERT_TRUE(many.PutShared(TSharedFrame::Make(bytes)));
        expected += bytes;
    }
    ASSERT_TRUE(many.Flush());
    EXPECT_EQ(many.sends, 2);
    EXPECT_EQ(many.PendingBytes(), 0u);
    EXPECT_TRUE(many.wire == expected);
}

// A long frame in pages of its own goes in a send of its own, so that it can
// go to the kernel by reference: what is pending before it goes first, the
// flush goes on to it and past it, and the kept chunk of a drained buffer
// (which holds no bytes) never stands in its way.
TEST(AsyncWriter, PagedFramesGoInASendOfTheirOwn) {
    const std::string bigBytes = Pattern(kSharedFramePagedFrom + 100);
    const TSharedFrame big = TSharedFrame::Make(bigBytes);
    ASSERT_TRUE(big.Paged());
    EXPECT_FALSE(TSharedFrame::Make(Pattern(kSharedFramePagedFrom - 1)).Paged());

    Scripted<Safe> s(1024);
    ASSERT_TRUE(s.PutData("x", 1));
    ASSERT_TRUE(s.Flush());  // drained: its chunk is kept, empty
    ASSERT_TRUE(s.PutShared(big));
    ASSERT_TRUE(s.Flush());
    EXPECT_EQ(s.PendingBytes(), 0u);
    EXPECT_EQ(s.pieces, 1u);
    EXPECT_TRUE(s.wire == "x" + bigBytes);

    ASSERT_TRUE(s.PutData("A", 1));
    ASSERT_TRUE(s.PutShared(big));
    ASSERT_TRUE(s.PutData("B", 1));
    const int before = s.sends;
    ASSERT_TRUE(s.Flush());
    EXPECT_EQ(s.sends - before, 3);
    EXPECT_EQ(s.PendingBytes(), 0u);
    EXPECT_TRUE(s.wire == "x" + bigBytes + "A" + bigBytes + "B");
}

// A producer's frame goes out on its own thread while the buffer is idle;
// it only queues behind a socket that waits for room or behind a burst, and
// a failed send leaves it pending for the owner, whose flush sees the error.
TEST(AsyncWriter, WriteThroughSendsOnlyWhatMayGoAtOnce) {
    using WT = Safe::WriteThrough;
    const std::string bytes = Pattern(328);
    const TSharedFrame frame = TSharedFrame::Make(bytes);
    Scripted<Safe> s(1024);
    s.SetSocket(7);  // the scripted send never touches it
    EXPECT_EQ(s.PutSharedWriteThrough(frame), WT::Sent);
    EXPECT_EQ(s.sends, 1);
    EXPECT_EQ(frame.Users(), 1);  // sent whole: let go

    // What an owner left pending goes first, in one send.
    ASSERT_TRUE(s.PutData("info", 4));
    EXPECT_EQ(s.PutSharedWriteThrough(frame), WT::Sent);
    EXPECT_EQ(s.sends, 2);
    EXPECT_TRUE(s.wire == bytes + "info" + bytes);

    // A full socket: the rest is queued for the owner; the next frame does
    // not try, and owes no wake-up, since the owner watches for room.
    s.takes = {100};
    EXPECT_EQ(s.PutSharedWriteThrough(frame), WT::Queued);
    EXPECT_TRUE(s.NeedWaitForWrite());
    EXPECT_EQ(s.PutSharedWriteThrough(frame), WT::Behind);
    EXPECT_EQ(s.sends, 3);
    ASSERT_TRUE(s.Flush());  // the owner, once the socket has room
    EXPECT_EQ(s.PendingBytes(), 0u);

    // A burst pending (a client list): the frame waits behind it.
    const std::string list = Pattern(Safe::kWriteThroughPending + 1);
    ASSERT_TRUE(s.PutData(list.data(), static_cast<int>(list.size())));
    EXPECT_EQ(s.PutSharedWriteThrough(frame), WT::Queued);
    EXPECT_EQ(s.sends, 4);
    ASSERT_TRUE(s.Flush());

    // A send error: nothing is lost, the owner's flush reports it.
    s.takes = {-plat::kSockErrConnReset};
    EXPECT_EQ(s.PutSharedWriteThrough(frame), WT::Queued);
    EXPECT_EQ(s.PendingBytes(), frame.Len());
    EXPECT_EQ(s.SocketErrorCode(), plat::kSockErrConnReset);

    // No socket (closed): queued, never sent.
    Scripted<Safe> closed(1024);
    EXPECT_EQ(closed.PutSharedWriteThrough(frame), WT::Queued);
    EXPECT_EQ(closed.sends, 0);
}

// A write-through split around a send made by its caller: while the send is
// the caller's, no other send starts and a close waits for the completion;
// a partial send leaves the rest queued in order for the owner.
TEST(AsyncWriter, WriteThroughPreparedThenCompleted) {
    using WT = Safe::WriteThrough;
    const std::string one = Pattern(328);
    const std::string two = Pattern(500);
    std::array<plat::SockIoPiece, plat::kSockMaxPieces> iov;
    Safe::TWriteThroughSend send;
    snpstest::Pair p;
    Safe w(1024);
    w.SetSocket(p.a);

    ASSERT_EQ(w.PrepareWriteThrough(TSharedFrame::Make(one), iov.data(), send), WT::Sending);
    EXPECT_EQ(send.Socket, p.a);
    EXPECT_EQ(send.Pending, one.size());
    // The send is held: another frame only queues, an owner's flush sends nothing.
    Safe::TWriteThroughSend other;
    EXPECT_EQ(w.PrepareWriteThrough(TSharedFrame::Make(two), iov.data(), other), WT::Queued);
    EXPECT_TRUE(w.Flush());
    EXPECT_EQ(w.PendingBytes(), one.size() + two.size());
    // The caller's send took 100 bytes (the test writes them itself).
    snpstest::WriteAll(p.a, one.substr(0, 100));
    EXPECT_EQ(w.CompleteWriteThrough(send, 0, 100), WT::Queued);
    EXPECT_TRUE(w.NeedWaitForWrite());
    EXPECT_EQ(w.PendingBytes(), one.size() - 100 + two.size());
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(w.PendingBytes(), 0u);
    EXPECT_TRUE(snpstest::ReadExactly(p.b, one.size() + two.size()) == one + two);

    // A close that meets the caller's send: the descriptor stays open for the
    // send and is closed by the completion.
    ASSERT_EQ(w.PrepareWriteThrough(TSharedFrame::Make(two), iov.data(), send), WT::Sending);
    w.CloseSocket();
    EXPECT_EQ(w.Socket(), INVALID_SOCKET_HANDLE);
    size_t sent = 0;
    ASSERT_EQ(SocketSendVNonBlocking(send.Socket, iov.data(), send.Count, sent), 0);
    EXPECT_EQ(w.CompleteWriteThrough(send, 0, sent), WT::Sent);
    EXPECT_EQ(::fcntl(p.a, F_GETFD), -1);
    p.a = -1;  // closed by the buffer
    EXPECT_TRUE(snpstest::ReadExactly(p.b, two.size()) == two);
}

// One fan-out's sends in one batch, through the kernel ring and through
// plain sends: an idle socket takes its frame, a full one keeps it pending
// and waits for room (no error), a reset one records the error for the owner.
TEST(AsyncWriter, WriteThroughBatchCompletesEachBuffer) {
    using WT = Safe::WriteThrough;
    for (const auto mode : {plat::SendBatch::Mode::kAuto, plat::SendBatch::Mode::kPlainSends}) {
        const std::string frame = Pattern(328);
        snpstest::Pair idle, full(4096), reset;
        while (::send(full.a, frame.data(), frame.size(), MSG_NOSIGNAL) > 0) {
        }
        reset.ResetB();
        ASSERT_TRUE(snpstest::WaitReset(reset.a));
        Safe wIdle(1024), wFull(1024), wReset(1024);
        wIdle.SetSocket(idle.a);
        wFull.SetSocket(full.a);
        wReset.SetSocket(reset.a);

        TWriteThroughBatch batch(mode);
        int tags[3] = {0, 1, 2};
        WT results[3] = {WT::Refused, WT::Refused, WT::Refused};
        Safe* outs[3] = {&wIdle, &wFull, &wReset};
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(batch.Put(*outs[i], TSharedFrame::Make(frame), &tags[i]), WT::Sending);
        batch.Submit([&](void* aTag, WT aResult) { results[*static_cast<int*>(aTag)] = aResult; });
        EXPECT_TRUE(batch.Empty());

        EXPECT_EQ(results[0], WT::Sent);
        EXPECT_TRUE(snpstest::ReadExactly(idle.b, frame.size()) == frame);
        EXPECT_EQ(results[1], WT::Queued);
        EXPECT_TRUE(wFull.NeedWaitForWrite());
        EXPECT_EQ(wFull.SocketErrorCode(), 0);
        EXPECT_EQ(wFull.PendingBytes(), frame.size());
        EXPECT_EQ(results[2], WT::Queued);
        EXPECT_NE(wReset.SocketErrorCode(), 0);
        EXPECT_EQ(wReset.PendingBytes(), frame.size());
    }
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
