#include "platform/plat_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

namespace {

TEST(PlatProcess, StartupIgnoresSigpipeAndRaisesDescriptorLimit) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    plat::ProcessStartup();
    plat::ProcessStartup();  // a second call changes nothing
    struct sigaction sa {};
    ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &sa), 0);
    EXPECT_EQ(sa.sa_handler, SIG_IGN);
    rlimit after{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &after), 0);
    if (before.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(after.rlim_cur, before.rlim_max);
    }
    EXPECT_GE(after.rlim_cur, before.rlim_cur);
    EXPECT_EQ(plat::OpenFileLimit(), long(after.rlim_cur));
}

}  // namespace
