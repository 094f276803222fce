#include "platform/plat_process.h"

#include <sched.h>
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

int UsableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int n = CPU_COUNT(&set);
    return n > 0 ? n : 1;
}

}  // namespace plat
