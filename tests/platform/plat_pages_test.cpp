#include "platform/plat_pages.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

// A connected loopback TCP pair: pages go out on `out`, the test reads `in`.
class SendPagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // As the server has it; a test below turns it back on.
        ::signal(SIGPIPE, SIG_IGN);
        const int lst = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(lst, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(::bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(lst, 4), 0);
        ASSERT_EQ(::getsockname(lst, reinterpret_cast<sockaddr*>(&a), &len), 0);
        f_In = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 16384;  // partial sends come soon
        ::setsockopt(f_In, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ASSERT_EQ(::connect(f_In, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        f_Out = ::accept4(lst, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        ::close(lst);
        ASSERT_GE(f_Out, 0);
        const int sndbuf = 65536;  // as the server sets it
        ::setsockopt(f_Out, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    }
    void TearDown() override {
        if (f_In >= 0) ::close(f_In);
        if (f_Out >= 0) ::close(f_Out);
    }
    // Bytes of their own in fresh pages.
    static char* Fill(size_t aLen, int aSeed) {
        char* p = static_cast<char*>(plat::PagesAlloc(aLen));
        for (size_t i = 0; p != nullptr && i < aLen; ++i) p[i] = static_cast<char>(i * 31 + aSeed);
        return p;
    }
    std::string ReadAvailable() {
        std::string s;
        char buf[65536];
        for (;;) {
            const ssize_t r = ::recv(f_In, buf, sizeof buf, MSG_DONTWAIT);
            if (r <= 0) return s;
            s.append(buf, static_cast<size_t>(r));
        }
    }

    int f_In = -1;
    int f_Out = -1;
};

// A frame larger than the socket takes goes out in parts; every byte
// arrives once and in order, also after its pages were given back and new
// pages written in their place while the socket still held the old ones.
TEST_F(SendPagesTest, PartialSendsDeliverEveryByteOnceEvenAfterThePagesAreFreed) {
    constexpr size_t kLen = 3 * 1024 * 1024 + 123;
    char* pages = Fill(kLen, 7);
    ASSERT_NE(pages, nullptr);
    const std::string want(pages, kLen);
    const size_t before = plat::SockPagesSends();
    std::string got;
    size_t off = 1;  // an offset inside a page, as a frame sent in part leaves it
    ASSERT_EQ(::send(f_Out, pages, 1, MSG_NOSIGNAL), 1);
    int partial = 0;
    while (off < kLen) {
        size_t sent = 0;
        ASSERT_EQ(plat::SockSendPages(f_Out, pages + off, kLen - off, sent), 0);
        if (sent < kLen - off) ++partial;
        off += sent;
        if (off == kLen) {
            // The socket still holds the last pages: freeing and reusing the
            // address range must not change what the reader gets.
            plat::PagesFree(pages, kLen);
            char* again = Fill(kLen, 99);
            ASSERT_NE(again, nullptr);
            got += ReadAvailable();
            while (got.size() < kLen) {
                pollfd p{f_In, POLLIN, 0};
                if (::poll(&p, 1, 10000) <= 0) break;
                got += ReadAvailable();
            }
            plat::PagesFree(again, kLen);
            break;
        }
        got += ReadAvailable();
    }
    EXPECT_GT(partial, 0);
    EXPECT_GT(plat::SockPagesSends(), before);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
}

// What the page path cannot serve is left to a copy, with nothing sent.
TEST_F(SendPagesTest, BlockingSocketOrSigPipeNotIgnoredIsLeftToACopy) {
    char* pages = Fill(65536, 1);
    ASSERT_NE(pages, nullptr);
    size_t sent = 1;
    const int fl = ::fcntl(f_Out, F_GETFL);
    ASSERT_EQ(::fcntl(f_Out, F_SETFL, fl & ~O_NONBLOCK), 0);
    EXPECT_EQ(plat::SockSendPages(f_Out, pages, 65536, sent), plat::kSockPagesUnsupported);
    EXPECT_EQ(sent, 0u);
    ASSERT_EQ(::fcntl(f_Out, F_SETFL, fl), 0);

    // The disposition is read once per thread: a thread that starts with
    // SIGPIPE on never sends by pages.
    ::signal(SIGPIPE, SIG_DFL);
    int code = 0;
    std::thread([&] { code = plat::SockSendPages(f_Out, pages, 65536, sent); }).join();
    ::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(code, plat::kSockPagesUnsupported);
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(ReadAvailable(), "");
    plat::PagesFree(pages, 65536);
}

TEST_F(SendPagesTest, PeerGoneIsASocketErrorNotASignal) {
    char* pages = Fill(65536, 2);
    ASSERT_NE(pages, nullptr);
    const linger reset{1, 0};
    ::setsockopt(f_In, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(f_In);
    f_In = -1;
    // On loopback the reset has reached this end when close returns.
    size_t sent = 0;
    const int code = plat::SockSendPages(f_Out, pages, 65536, sent);
    EXPECT_NE(code, 0);
    EXPECT_NE(code, plat::kSockPagesUnsupported);
    plat::PagesFree(pages, 65536);
}

}  // namespace
