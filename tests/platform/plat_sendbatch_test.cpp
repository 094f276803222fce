#include "platform/plat_sendbatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using plat::SendBatch;
using plat::SockIoPiece;

// A connected loopback TCP pair: the batch sends on `out`, the test reads `in`.
struct Pair {
    int out = -1;
    int in = -1;
};

class SendBatchTest : public ::testing::TestWithParam<SendBatch::Mode> {
  protected:
    void SetUp() override {
        // A send that raised SIGPIPE would end this process and fail the test.
        ::signal(SIGPIPE, SIG_DFL);
        f_Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(f_Listener, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(f_Listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(f_Listener, 256), 0);
        socklen_t len = sizeof f_Addr;
        ASSERT_EQ(::getsockname(f_Listener, reinterpret_cast<sockaddr*>(&f_Addr), &len), 0);
    }

    void TearDown() override {
        for (const int fd : f_Fds) ::close(fd);
        if (f_Listener >= 0) ::close(f_Listener);
    }

    Pair Connect(int aRcvBuf = 0) {
        Pair p;
        p.in = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (aRcvBuf > 0) ::setsockopt(p.in, SOL_SOCKET, SO_RCVBUF, &aRcvBuf, sizeof aRcvBuf);
        EXPECT_EQ(::connect(p.in, reinterpret_cast<sockaddr*>(&f_Addr), sizeof f_Addr), 0);
        p.out = ::accept4(f_Listener, nullptr, nullptr, SOCK_CLOEXEC);
        EXPECT_GE(p.out, 0);
        const int one = 1;
        ::setsockopt(p.out, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        f_Fds.push_back(p.in);
        f_Fds.push_back(p.out);
        return p;
    }

    // Closes one end the test made, so that TearDown does not close its
    // number again after something else got it.
    void Close(int aFd) {
        std::erase(f_Fds, aFd);
        ::close(aFd);
    }

    static std::string ReadExactly(int aFd, size_t aLen) {
        std::string s(aLen, '\0');
        size_t got = 0;
        while (got < aLen) {
            const ssize_t r = ::recv(aFd, s.data() + got, aLen - got, 0);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        s.resize(got);
        return s;
    }

    // In ring mode, a host where io_uring is refused can only check the
    // fallback, which the other mode already does.
    bool RingMissing(const SendBatch& aBatch) const {
        return GetParam() == SendBatch::Mode::kAuto && !aBatch.RingInUse();
    }

    int f_Listener = -1;
    sockaddr_in f_Addr{};
    std::vector<int> f_Fds;
};

// More sockets than the ring holds, several batches, entries of several
// pieces: each socket's bytes arrive whole and in order.
TEST_P(SendBatchTest, EverySocketGetsItsBytesInOrder) {
    constexpr int kSockets = 150;
    constexpr int kBatches = 3;
    std::vector<Pair> pairs;
    for (int i = 0; i < kSockets; ++i) pairs.push_back(Connect());
    ASSERT_FALSE(HasFailure());

    SendBatch batch(GetParam());
    std::vector<std::string> expected(kSockets);
    for (int b = 0; b < kBatches; ++b) {
        // Three pieces per entry, their sizes and bytes different per socket
        // and batch, so a piece sent twice, dropped or swapped shows.
        std::vector<std::string> parts(3 * kSockets);
        for (int i = 0; i < kSockets; ++i) {
            SockIoPiece pieces[3];
            for (int k = 0; k < 3; ++k) {
                std::string& p = parts[3 * i + k];
                p = "b" + std::to_string(b) + "s" + std::to_string(i) + "p" + std::to_string(k) +
                    std::string(static_cast<size_t>(1 + (i * 7 + k * 13 + b) % 40), 'a' + k);
                pieces[k] = {p.data(), p.size()};
                expected[i] += p;
            }
            EXPECT_EQ(batch.Add(pairs[i].out, pieces, 3), static_cast<size_t>(i));
        }
        batch.Submit();
        if (RingMissing(batch)) GTEST_SKIP() << "io_uring is not usable on this host";
        ASSERT_EQ(batch.Count(), static_cast<size_t>(kSockets));
        for (int i = 0; i < kSockets; ++i) {
            EXPECT_EQ(batch.Error(i), 0) << i;
            EXPECT_EQ(batch.Result(i),
                      static_cast<long>(parts[3 * i].size() + parts[3 * i + 1].size() +
                                        parts[3 * i + 2].size()))
                << i;
        }
    }
    for (int i = 0; i < kSockets; ++i)
        EXPECT_EQ(ReadExactly(pairs[i].in, expected[i].size()), expected[i]) << i;
}

// A socket without room takes what fits and says so, then reports would-block;
// the bytes counted are exactly the bytes the peer gets, and a healthy socket
// in the same batches is not held up.
TEST_P(SendBatchTest, FullSocketCountsWhatItTookThenWouldBlock) {
    const Pair slow = Connect(4096);
    const Pair fine = Connect();
    ASSERT_FALSE(HasFailure());
    const int small = 4096;
    ::setsockopt(slow.out, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    std::string big(4 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('A' + (i * 31 + i / 977) % 26);
    const std::string tick = "tick";

    SendBatch batch(GetParam());
    size_t sent = 0;
    int rounds = 0;
    bool sawPartial = false;
    for (;; ++rounds) {
        ASSERT_LT(rounds, 10000) << "the full socket never reported would-block";
        const SockIoPiece rest{big.data() + sent, big.size() - sent};
        const SockIoPiece t{tick.data(), tick.size()};
        const size_t iSlow = batch.Add(slow.out, &rest, 1);
        const size_t iFine = batch.Add(fine.out, &t, 1);
        batch.Submit();
        if (RingMissing(batch)) GTEST_SKIP() << "io_uring is not usable on this host";
        ASSERT_EQ(batch.Result(iFine), static_cast<long>(tick.size()));
        if (batch.Result(iSlow) < 0) {
            EXPECT_EQ(batch.Error(iSlow), plat::kSockErrWouldBlock);
            break;
        }
        ASSERT_EQ(batch.Error(iSlow), 0);
        const size_t took = static_cast<size_t>(batch.Result(iSlow));
        if (took > 0 && took < rest.Len) sawPartial = true;
        sent += took;
        ASSERT_LT(sent, big.size()) << "4 MB fitted into a 4 KB socket";
    }
    EXPECT_TRUE(sawPartial);
    EXPECT_GT(sent, 0u);
    EXPECT_EQ(ReadExactly(slow.in, sent), big.substr(0, sent));
    std::string ticks;
    for (int i = 0; i <= rounds; ++i) ticks += tick;
    EXPECT_EQ(ReadExactly(fine.in, ticks.size()), ticks);
}

// Entries that cannot be sent get their own error; the healthy entries around
// them are sent in full; a peer that went away never raises SIGPIPE.
TEST_P(SendBatchTest, FailedEntriesReportTheirErrorAndSpareTheOthers) {
    const Pair first = Connect();
    const Pair reset = Connect();
    const Pair closed = Connect();
    const Pair last = Connect();
    ASSERT_FALSE(HasFailure());
    // A peer that resets at once, and one that closes in order (the first
    // send after it still succeeds, the kernel answers it with a reset).
    const linger hard{1, 0};
    ::setsockopt(reset.in, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close(reset.in);
    Close(closed.in);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    f_Fds.push_back(fds[0]);
    f_Fds.push_back(fds[1]);
    // Far above the numbers in use, so that nothing opened later (the ring
    // itself) takes it again.
    const int gone = ::fcntl(first.out, F_DUPFD_CLOEXEC, 900);
    ASSERT_GE(gone, 900);
    ::close(gone);

    const std::string msg = "frame";
    const SockIoPiece piece{msg.data(), msg.size()};
    const struct {
        const char* what;
        int fd;
        int code;  // 0: sent in full
    } cases[] = {
        {"healthy first", first.out, 0},
        {"peer reset", reset.out, plat::kSockErrConnReset},
        {"invalid handle", -1, plat::kSockErrBadHandle},
        {"peer closed", closed.out, plat::kSockErrConnReset},
        {"closed descriptor", gone, plat::kSockErrBadHandle},
        {"not a socket", fds[1], plat::kSockErrNotSocket},
        {"healthy last", last.out, 0},
    };
    SendBatch batch(GetParam());
    // Until every peer's reset has come back (the orderly close takes one
    // send for it); each healthy socket gets a frame per round.
    int rounds = 0;
    for (bool settled = false; !settled; ++rounds) {
        ASSERT_LT(rounds, 1000) << "a closed peer never reported its reset";
        for (const auto& c : cases) batch.Add(c.fd, &piece, 1);
        batch.Submit();
        if (RingMissing(batch)) GTEST_SKIP() << "io_uring is not usable on this host";
        settled = true;
        for (size_t i = 0; i < std::size(cases); ++i) {
            const auto& c = cases[i];
            if (c.code == 0) {
                EXPECT_EQ(batch.Result(i), static_cast<long>(msg.size())) << c.what;
                continue;
            }
            if (c.fd == closed.out && batch.Result(i) >= 0) {
                settled = false;
                continue;
            }
            EXPECT_EQ(batch.Result(i), -1) << c.what;
            EXPECT_EQ(batch.Error(i), c.code) << c.what;
        }
    }
    std::string all;
    for (int i = 0; i < rounds; ++i) all += msg;
    EXPECT_EQ(ReadExactly(first.in, all.size()), all);
    EXPECT_EQ(ReadExactly(last.in, all.size()), all);
}

INSTANTIATE_TEST_SUITE_P(Modes, SendBatchTest,
                         ::testing::Values(SendBatch::Mode::kAuto, SendBatch::Mode::kPlainSends),
                         [](const auto& info) {
                             return info.param == SendBatch::Mode::kAuto ? "Ring" : "PlainSends";
                         });

}  // namespace
