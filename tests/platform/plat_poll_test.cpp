#include "platform/plat_poll.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

// A connected local stream pair, closed with the test.
struct LocalPair {
    int fd[2] = {-1, -1};
    LocalPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
    ~LocalPair() {
        for (int f : fd)
            if (f >= 0) ::close(f);
    }
};

// The waiter tells a closed descriptor from a healthy one by these codes.
TEST(PlatPoller, ControlCallsReportTheKernelsReason) {
    plat::Poller p(4);
    ASSERT_TRUE(p.Valid());
    LocalPair s;
    EXPECT_EQ(p.Modify(s.fd[0], plat::kPollIn, 1), ENOENT);
    EXPECT_EQ(p.Remove(s.fd[0]), ENOENT);
    EXPECT_EQ(p.Add(s.fd[0], plat::kPollIn, 1), 0);
    EXPECT_EQ(p.Add(s.fd[0], plat::kPollIn, 1), EEXIST);
    EXPECT_EQ(p.Modify(s.fd[0], plat::kPollOut, 2), 0);
    EXPECT_EQ(p.Remove(s.fd[0]), 0);
    EXPECT_EQ(p.Add(-1, plat::kPollIn, 1), EBADF);
    EXPECT_EQ(p.Add(1 << 20, plat::kPollIn, 1), EBADF);
}

// Events come back with the value they were added with, only what was asked
// for, and a hang-up even when nothing was.
TEST(PlatPoller, WaitReturnsTheAskedReadinessAndAlwaysTheHangUp) {
    plat::Poller p(4);
    LocalPair s;
    ASSERT_EQ(p.Add(s.fd[0], plat::kPollIn | plat::kPollPeerClosed, 0xABCDEF0123456789u), 0);
    int err = 0;
    EXPECT_EQ(p.Wait(0, &err), 0);  // writable, but that was not asked for
    ASSERT_EQ(::write(s.fd[1], "x", 1), 1);
    ASSERT_EQ(p.Wait(5000, &err), 1);
    EXPECT_EQ(p.Event(0).data, 0xABCDEF0123456789u);
    EXPECT_EQ(p.Event(0).events, plat::kPollIn);

    ASSERT_EQ(p.Modify(s.fd[0], 0, 7), 0);
    ::close(s.fd[1]);
    s.fd[1] = -1;
    ASSERT_EQ(p.Wait(5000, &err), 1);
    EXPECT_EQ(p.Event(0).data, 7u);
    EXPECT_EQ(p.Event(0).events, plat::kPollHangUp);
}

}  // namespace
