// One frame sent to every member a worker holds: a non-blocking send() per
// socket, as the worker's flush sends today, against the batch sender
// (plat::SendBatch): one io_uring submission of a send per socket whose
// completions are reaped in the same call.
//
// Each iteration is one frame to N connected loopback TCP sockets (the
// accepted ends, with TCP_NODELAY as the server sets it); a reader thread on
// another CPU drains the peers, and the next frame waits until it has, so
// every frame meets empty socket buffers and a reader asleep in epoll_wait,
// as frames 20 ms apart do. Only the sending part is timed. The counters are
// per frame, over all frames of a repetition: the sending thread's CPU
// (CLOCK_THREAD_CPUTIME_ID; it holds the loopback delivery, which a real
// network card would take off the server) and the wall time, median and p90
// in microseconds. What a batch saves is mostly the system call entry and
// exit per socket, so BM_NullSyscall gives that price on the machine at hand:
// it differs by ten times and more between hosts (page-table isolation,
// the kind of virtual machine).
//
// Run the variants interleaved so that load on the machine falls on all:
//   gax_snps_batch_send_bench --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true
//
// send_batch_plain is the same object forced to its plain fallback (what it
// costs where io_uring is disabled). Where io_uring is missing or disabled
// (kernel.io_uring_disabled) send_batch reports that and measures nothing.
// Earlier runs of a bare ring found that single issuer, cooperative or
// deferred task runs and registered files change nothing measurable.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/plat_sendbatch.h"

namespace {

// ---------------------------------------------------------------------------
// N loopback TCP connections, the accepted ends to send on, and a thread that
// drains the connecting ends and counts what it read.

class LoopbackFan {
  public:
    explicit LoopbackFan(int aCount) {
        const int lsn = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t alen = sizeof a;
        if (lsn < 0 || ::bind(lsn, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(lsn, aCount) != 0 ||
            ::getsockname(lsn, reinterpret_cast<sockaddr*>(&a), &alen) != 0) {
            if (lsn >= 0) ::close(lsn);
            return;
        }
        for (int i = 0; i < aCount; ++i) {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (c < 0) break;
            peers.push_back(c);
            // Non-blocking connect to a listening loopback port completes at
            // once or with EINPROGRESS; the accept below waits for it.
            if (::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 &&
                errno != EINPROGRESS)
                break;
            const int s = ::accept4(lsn, nullptr, nullptr, SOCK_CLOEXEC);
            if (s < 0) break;
            const int one = 1;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            senders.push_back(s);
        }
        ::close(lsn);
        if (static_cast<int>(senders.size()) != aCount) return;

        f_Epoll = ::epoll_create1(EPOLL_CLOEXEC);
        f_Stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (f_Epoll < 0 || f_Stop < 0) return;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = f_Stop;
        ::epoll_ctl(f_Epoll, EPOLL_CTL_ADD, f_Stop, &ev);
        for (const int p : peers) {
            ev.data.fd = p;
            ::epoll_ctl(f_Epoll, EPOLL_CTL_ADD, p, &ev);
        }
        PinApart();
        f_Reader = std::thread([this] {
            if (f_ReaderCpu >= 0) PinTo(f_ReaderCpu);
            Drain();
        });
        ok = true;
    }

    ~LoopbackFan() {
        if (f_Reader.joinable()) {
            const uint64_t one = 1;
            (void)!::write(f_Stop, &one, sizeof one);
            f_Reader.join();
        }
        if (f_Pinned) ::pthread_setaffinity_np(::pthread_self(), sizeof f_OldMask, &f_OldMask);
        for (const int fd : senders) ::close(fd);
        for (const int fd : peers) ::close(fd);
        if (f_Epoll >= 0) ::close(f_Epoll);
        if (f_Stop >= 0) ::close(f_Stop);
    }

    LoopbackFan(const LoopbackFan&) = delete;
    LoopbackFan& operator=(const LoopbackFan&) = delete;

    // Waits until the readers have taken aTotal bytes since the start; false
    // when they stall (a send lost bytes the counter expects).
    bool WaitDrained(uint64_t aTotal) const {
        for (uint64_t spins = 0; received.load(std::memory_order_acquire) < aTotal; ++spins) {
            if (spins > 20'000'000) return false;
            std::this_thread::yield();
        }
        return true;
    }

    bool ok = false;
    std::vector<int> senders;
    std::vector<int> peers;
    std::atomic<uint64_t> received{0};

  private:
    static void PinTo(int aCpu) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(aCpu, &one);
        ::pthread_setaffinity_np(::pthread_self(), sizeof one, &one);
    }

    // The sender and the reader each on a CPU of its own. The loopback
    // delivery of a send runs on the sending CPU; a reader woken there
    // preempts the sender in the middle of a batch and takes that work over.
    // Unpinned, the sender's clock gave a batch of 63 sends 8 us of CPU
    // while it waited 400 us on the run queue, and the comparison meant
    // nothing.
    void PinApart() {
        if (::pthread_getaffinity_np(::pthread_self(), sizeof f_OldMask, &f_OldMask) != 0) return;
        const int own = ::sched_getcpu();
        if (own < 0 || !CPU_ISSET(own, &f_OldMask)) return;
        for (int c = 1; c < CPU_SETSIZE; ++c) {
            const int other = (own + c) % CPU_SETSIZE;
            if (!CPU_ISSET(other, &f_OldMask)) continue;
            PinTo(own);
            f_Pinned = true;
            f_ReaderCpu = other;
            return;
        }
    }

    void Drain() {
        epoll_event evs[64];
        static char buf[1 << 16];
        for (;;) {
            const int n = ::epoll_wait(f_Epoll, evs, 64, -1);
            if (n < 0 && errno != EINTR) return;
            for (int i = 0; i < n; ++i) {
                if (evs[i].data.fd == f_Stop) return;
                ssize_t r;
                while ((r = ::recv(evs[i].data.fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
                    received.fetch_add(static_cast<uint64_t>(r), std::memory_order_release);
            }
        }
    }

    int f_Epoll = -1;
    int f_Stop = -1;
    cpu_set_t f_OldMask{};
    bool f_Pinned = false;
    int f_ReaderCpu = -1;
    std::thread f_Reader;
};

// ---------------------------------------------------------------------------

int64_t ClockNs(clockid_t aClock) {
    timespec ts{};
    clock_gettime(aClock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double Percentile(std::vector<int64_t>& aNs, double aQ) {
    if (aNs.empty()) return 0;
    const size_t k = static_cast<size_t>(aQ * static_cast<double>(aNs.size() - 1));
    std::nth_element(aNs.begin(), aNs.begin() + static_cast<std::ptrdiff_t>(k), aNs.end());
    return static_cast<double>(aNs[k]) / 1000.0;
}

// The price of entering and leaving the kernel, which the batch pays once
// per frame instead of once per socket.
void BM_NullSyscall(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(::syscall(SYS_getppid));
}
BENCHMARK(BM_NullSyscall);

enum class Way { Plain, Batch, BatchPlain };

struct Variant {
    const char* name;
    Way way;
};

// Sends one frame per iteration with aSend (returns the sends that did not
// take all of it) and reports the per-frame figures.
template <class SendFn>
void MeasureFrames(benchmark::State& state, LoopbackFan& aFan, unsigned aLen, SendFn aSend) {
    std::vector<int64_t> cpu, wall;
    cpu.reserve(4096);
    wall.reserve(4096);
    const uint64_t perFrame = static_cast<uint64_t>(aLen) * aFan.senders.size();
    uint64_t expected = aFan.received.load();
    int64_t missed = 0;
    for (auto _ : state) {
        const int64_t c0 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
        const int64_t w0 = ClockNs(CLOCK_MONOTONIC);
        missed += aSend();
        const int64_t w1 = ClockNs(CLOCK_MONOTONIC);
        const int64_t c1 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
        cpu.push_back(c1 - c0);
        wall.push_back(w1 - w0);
        state.PauseTiming();
        expected += perFrame;
        if (missed != 0 || !aFan.WaitDrained(expected)) {
            state.ResumeTiming();
            state.SkipWithError("a send did not take the whole frame, or the reader stalled");
            break;
        }
        state.ResumeTiming();
    }
    state.counters["cpu_med_us"] = Percentile(cpu, 0.5);
    state.counters["cpu_p90_us"] = Percentile(cpu, 0.9);
    state.counters["wall_med_us"] = Percentile(wall, 0.5);
    state.counters["wall_p90_us"] = Percentile(wall, 0.9);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(aFan.senders.size()));
}

void BM_FrameToSockets(benchmark::State& state, Variant aVariant) {
    const int n = static_cast<int>(state.range(0));
    const unsigned len = static_cast<unsigned>(state.range(1));
    LoopbackFan fan(n);
    if (!fan.ok) {
        state.SkipWithError("could not connect the loopback sockets");
        return;
    }
    std::string frame(len, 'S');
    if (aVariant.way == Way::Plain) {
        MeasureFrames(state, fan, len, [&] {
            int missed = 0;
            for (const int fd : fan.senders)
                if (::send(fd, frame.data(), len, MSG_DONTWAIT | MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(len))
                    ++missed;
            return missed;
        });
        return;
    }
    // The server's own batch sender: an entry per socket, one Submit.
    plat::SendBatch batch(aVariant.way == Way::Batch ? plat::SendBatch::Mode::kAuto
                                                     : plat::SendBatch::Mode::kPlainSends);
    const plat::SockIoPiece piece{frame.data(), len};
    MeasureFrames(state, fan, len, [&] {
        for (const int fd : fan.senders) batch.Add(fd, &piece, 1);
        batch.Submit();
        int missed = 0;
        for (size_t i = 0; i < batch.Count(); ++i)
            if (batch.Result(i) != static_cast<long>(len)) ++missed;
        return missed;
    });
    if (aVariant.way == Way::Batch && !batch.RingInUse())
        state.SkipWithError("io_uring is not usable here: the batch fell back to plain sends");
}

const Variant kVariants[] = {
    {"plain_send", Way::Plain},
    {"send_batch", Way::Batch},
    {"send_batch_plain", Way::BatchPlain},
};

[[maybe_unused]] const bool kRegistered = [] {
    for (const Variant& v : kVariants) {
        benchmark::RegisterBenchmark((std::string("BM_FrameToSockets/") + v.name).c_str(),
                                     BM_FrameToSockets, v)
            ->ArgNames({"sockets", "bytes"})
            ->ArgsProduct({{16, 63}, {328, 1000}})
            ->Iterations(2000)
            ->UseRealTime();
    }
    return true;
}();

}  // namespace
