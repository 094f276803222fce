#include "platform/plat_socket.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <sys/resource.h>

namespace {

TEST(PlatSocketErrors, ErrnoMapsToSystemCodes) {
    const struct {
        int err;
        int code;
    } cases[] = {
        {0, 0},
        {EINTR, 10004},
        {EBADF, 10009},
        {EACCES, 10013},
        {EPERM, 10013},
        {EINVAL, 10022},
        {EMFILE, 10024},
        {ENFILE, 10024},
        {EAGAIN, 10035},
        {EWOULDBLOCK, 10035},
        {EINPROGRESS, 10036},
        {EALREADY, 10037},
        {ENOTSOCK, 10038},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ENETDOWN, 10050},
        {ENETUNREACH, 10051},
        {ECONNABORTED, 10053},
        {ECONNRESET, 10054},
        {EPIPE, 10054},
        {ENOBUFS, 10055},
        {ENOMEM, 10055},
        {EISCONN, 10056},
        {ENOTCONN, 10057},
        {ESHUTDOWN, 10058},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {EHOSTDOWN, 10064},
        {EHOSTUNREACH, 10065},
        {EAFNOSUPPORT, 10047},
        {EMSGSIZE, 10040},
    };
    for (const auto& c : cases) EXPECT_EQ(plat::SockErrorFromErrno(c.err), c.code) << c.err;
}

TEST(PlatSocketErrors, AddrInfoResultsMapToSystemCodes) {
    const struct {
        int rc;
        int code;
    } cases[] = {
        {0, 0},
        {EAI_NONAME, 11001},
        {EAI_AGAIN, 11002},
        {EAI_FAIL, 11003},
        {EAI_NODATA, 11004},
        {EAI_ADDRFAMILY, 11004},
        {EAI_SERVICE, 10109},
        {EAI_FAMILY, 10047},
        {EAI_MEMORY, 10055},
    };
    for (const auto& c : cases) EXPECT_EQ(plat::SockErrorFromAddrInfo(c.rc, 0), c.code) << c.rc;
    EXPECT_EQ(plat::SockErrorFromAddrInfo(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(PlatSocketErrors, FailingCallLeavesMappedCode) {
    char b;
    EXPECT_EQ(plat::SockRecv(-1, &b, 1, 0), -1);
    EXPECT_EQ(plat::SockLastError(), 10009);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    EXPECT_EQ(plat::SockListen(fds[0], 1), -1);
    EXPECT_EQ(plat::SockLastError(), 10038);
    ::close(fds[0]);
    ::close(fds[1]);
}

// A descriptor above 1023 would overflow a system fd_set; the wait must still work.
TEST(PlatSocketSelect, HighDescriptorIsWaitedOn) {
    rlimit lim{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur <= 1500) GTEST_SKIP() << "descriptor limit too low";
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    int high = ::dup2(fds[0], 1500);
    ASSERT_EQ(high, 1500);
    plat::SockSet rd;
    rd.Add(high);
    EXPECT_EQ(plat::SockSelect(&rd, nullptr, nullptr, 0), 0);
    EXPECT_EQ(rd.count, 0);
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    rd.Clear();
    rd.Add(high);
    EXPECT_EQ(plat::SockSelect(&rd, nullptr, nullptr, 1000), 1);
    EXPECT_TRUE(rd.Has(high));
    ::close(high);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(PlatSocketSelect, SetHoldsAtMost64) {
    plat::SockSet s;
    for (int i = 0; i < 70; ++i) s.Add(100 + i);
    EXPECT_EQ(s.count, 64);
    EXPECT_FALSE(s.Has(164));
    s.Add(100);
    EXPECT_EQ(s.count, 64);
}

}  // namespace
