#include "platform/plat_process.h"

#include <signal.h>
#include <sys/resource.h>

#include <mutex>

namespace plat {

void ProcessStartup() {
    static std::once_flag once;
    std::call_once(once, [] {
        ::signal(SIGPIPE, SIG_IGN);
        rlimit lim{};
        if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
            rlimit want = lim;
            want.rlim_cur = lim.rlim_max;
            // An unlimited hard limit is refused for descriptors; stay where we are then.
            (void)::setrlimit(RLIMIT_NOFILE, &want);
        }
    });
}

long OpenFileLimit() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
    return lim.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(lim.rlim_cur);
}

}  // namespace plat
