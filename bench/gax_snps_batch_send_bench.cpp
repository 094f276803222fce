// One frame sent to every member a worker holds: a non-blocking send() per
// socket, as the worker's flush sends today, against one io_uring submission of
// a send per socket whose completions are reaped before the next frame.
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
// Where io_uring is missing or disabled (kernel.io_uring_disabled) only the
// plain sends are measured.
#include <benchmark/benchmark.h>
#include <linux/io_uring.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
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

// Older kernel headers lack the newer set-up flags; a kernel that lacks them
// refuses the ring and that variant reports it.
#ifndef IORING_SETUP_COOP_TASKRUN
#define IORING_SETUP_COOP_TASKRUN (1U << 8)
#endif
#ifndef IORING_SETUP_SINGLE_ISSUER
#define IORING_SETUP_SINGLE_ISSUER (1U << 12)
#endif
#ifndef IORING_SETUP_DEFER_TASKRUN
#define IORING_SETUP_DEFER_TASKRUN (1U << 13)
#endif

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
// A submission and a completion ring on the raw system calls: the bench needs
// only a batch of sends and their results, not a library for it.

int UringSetup(unsigned aEntries, io_uring_params* aPar) {
    return static_cast<int>(::syscall(__NR_io_uring_setup, aEntries, aPar));
}
int UringEnter(int aFd, unsigned aSubmit, unsigned aMinComplete, unsigned aFlags) {
    return static_cast<int>(
        ::syscall(__NR_io_uring_enter, aFd, aSubmit, aMinComplete, aFlags, nullptr, 0));
}
int UringRegister(int aFd, unsigned aOpcode, const void* aArg, unsigned aCount) {
    return static_cast<int>(::syscall(__NR_io_uring_register, aFd, aOpcode, aArg, aCount));
}

class SendRing {
  public:
    // On failure Error() holds the errno of the call that failed.
    SendRing(unsigned aEntries, unsigned aFlags) {
        io_uring_params p{};
        p.flags = aFlags;
        f_Fd = UringSetup(aEntries, &p);
        if (f_Fd < 0) {
            f_Error = errno;
            return;
        }
        f_SqLen = p.sq_off.array + p.sq_entries * sizeof(unsigned);
        f_CqLen = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
        if (p.features & IORING_FEAT_SINGLE_MMAP) f_SqLen = f_CqLen = std::max(f_SqLen, f_CqLen);
        f_Sq = Map(f_SqLen, IORING_OFF_SQ_RING);
        f_Cq = (p.features & IORING_FEAT_SINGLE_MMAP) ? f_Sq : Map(f_CqLen, IORING_OFF_CQ_RING);
        f_SqesLen = p.sq_entries * sizeof(io_uring_sqe);
        void* sqes = Map(f_SqesLen, IORING_OFF_SQES);
        if (f_Sq == MAP_FAILED || f_Cq == MAP_FAILED || sqes == MAP_FAILED) {
            f_Error = errno;
            return;
        }
        auto* sq = static_cast<char*>(f_Sq);
        auto* cq = static_cast<char*>(f_Cq);
        f_SqTail = reinterpret_cast<unsigned*>(sq + p.sq_off.tail);
        f_SqMask = *reinterpret_cast<unsigned*>(sq + p.sq_off.ring_mask);
        f_SqArray = reinterpret_cast<unsigned*>(sq + p.sq_off.array);
        f_Sqes = static_cast<io_uring_sqe*>(sqes);
        f_CqHead = reinterpret_cast<unsigned*>(cq + p.cq_off.head);
        f_CqTail = reinterpret_cast<unsigned*>(cq + p.cq_off.tail);
        f_CqMask = *reinterpret_cast<unsigned*>(cq + p.cq_off.ring_mask);
        f_Cqes = reinterpret_cast<io_uring_cqe*>(cq + p.cq_off.cqes);
        f_Entries = p.sq_entries;
        // DEFER_TASKRUN runs completion work only inside io_uring_enter with
        // GETEVENTS, which the batch asks for anyway.
        f_Ok = true;
    }

    ~SendRing() {
        if (f_Sqes) ::munmap(f_Sqes, f_SqesLen);
        if (f_Cq != MAP_FAILED && f_Cq != f_Sq) ::munmap(f_Cq, f_CqLen);
        if (f_Sq != MAP_FAILED) ::munmap(f_Sq, f_SqLen);
        if (f_Fd >= 0) ::close(f_Fd);
    }

    SendRing(const SendRing&) = delete;
    SendRing& operator=(const SendRing&) = delete;

    bool Ok() const { return f_Ok; }
    int Error() const { return f_Error; }

    bool RegisterFiles(const std::vector<int>& aFds) {
        if (UringRegister(f_Fd, IORING_REGISTER_FILES, aFds.data(),
                          static_cast<unsigned>(aFds.size())) != 0) {
            f_Error = errno;
            return false;
        }
        f_Fixed = true;
        return true;
    }

    // One send per socket in a single io_uring_enter that also waits for all
    // completions. Returns the number of sends that did not take the whole
    // frame (short, EAGAIN or an error), as the flush would have to keep.
    int SendToAll(const std::vector<int>& aFds, const char* aData, unsigned aLen) {
        const unsigned n = static_cast<unsigned>(aFds.size());
        unsigned tail = *f_SqTail;
        for (unsigned i = 0; i < n; ++i, ++tail) {
            const unsigned idx = tail & f_SqMask;
            io_uring_sqe& e = f_Sqes[idx];
            std::memset(&e, 0, sizeof e);
            e.opcode = IORING_OP_SEND;
            e.fd = f_Fixed ? static_cast<int>(i) : aFds[i];
            if (f_Fixed) e.flags = IOSQE_FIXED_FILE;
            e.addr = reinterpret_cast<uint64_t>(aData);
            e.len = aLen;
            // As the flush: never wait for room, keep the rest for later.
            e.msg_flags = MSG_DONTWAIT | MSG_NOSIGNAL;
            e.user_data = i;
            f_SqArray[idx] = idx;
        }
        __atomic_store_n(f_SqTail, tail, __ATOMIC_RELEASE);
        int missed = 0;
        unsigned reaped = 0;
        unsigned toSubmit = n;
        while (reaped < n) {
            const int r = UringEnter(f_Fd, toSubmit, n - reaped, IORING_ENTER_GETEVENTS);
            if (r < 0 && errno != EINTR) return static_cast<int>(n - reaped) + missed;
            if (r > 0) toSubmit -= std::min(toSubmit, static_cast<unsigned>(r));
            unsigned head = *f_CqHead;
            const unsigned ctail = __atomic_load_n(f_CqTail, __ATOMIC_ACQUIRE);
            for (; head != ctail; ++head, ++reaped)
                if (f_Cqes[head & f_CqMask].res != static_cast<int>(aLen)) ++missed;
            __atomic_store_n(f_CqHead, head, __ATOMIC_RELEASE);
        }
        return missed;
    }

    unsigned Entries() const { return f_Entries; }

  private:
    void* Map(size_t aLen, off_t aOffset) {
        return ::mmap(nullptr, aLen, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, f_Fd,
                      aOffset);
    }

    int f_Fd = -1;
    int f_Error = 0;
    bool f_Ok = false;
    bool f_Fixed = false;
    void* f_Sq = MAP_FAILED;
    void* f_Cq = MAP_FAILED;
    size_t f_SqLen = 0, f_CqLen = 0, f_SqesLen = 0;
    unsigned* f_SqTail = nullptr;
    unsigned* f_SqArray = nullptr;
    unsigned f_SqMask = 0;
    io_uring_sqe* f_Sqes = nullptr;
    unsigned* f_CqHead = nullptr;
    unsigned* f_CqTail = nullptr;
    unsigned f_CqMask = 0;
    io_uring_cqe* f_Cqes = nullptr;
    unsigned f_Entries = 0;
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

enum class Way { Plain, Uring };

struct Variant {
    const char* name;
    Way way;
    unsigned setupFlags;
    bool fixedFiles;
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
    SendRing ring(64, aVariant.setupFlags);
    if (!ring.Ok() || (aVariant.fixedFiles && !ring.RegisterFiles(fan.senders))) {
        const std::string why =
            std::string("io_uring set-up failed: ") + std::strerror(ring.Error());
        state.SkipWithError(why.c_str());
        return;
    }
    if (ring.Entries() < static_cast<unsigned>(n)) {
        state.SkipWithError("the ring holds fewer sends than there are sockets");
        return;
    }
    MeasureFrames(state, fan, len, [&] { return ring.SendToAll(fan.senders, frame.data(), len); });
}

constexpr unsigned kSingle = IORING_SETUP_SINGLE_ISSUER;
constexpr unsigned kCoop = IORING_SETUP_COOP_TASKRUN | IORING_SETUP_SINGLE_ISSUER;
constexpr unsigned kDefer = IORING_SETUP_DEFER_TASKRUN | IORING_SETUP_SINGLE_ISSUER;

const Variant kVariants[] = {
    {"plain_send", Way::Plain, 0, false},         {"uring", Way::Uring, 0, false},
    {"uring_single", Way::Uring, kSingle, false}, {"uring_coop", Way::Uring, kCoop, false},
    {"uring_defer", Way::Uring, kDefer, false},   {"uring_defer_fixed", Way::Uring, kDefer, true},
};

// errno of a plain ring's set-up, 0 when io_uring works here.
int UringProbe() {
    io_uring_params p{};
    const int fd = UringSetup(4, &p);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

[[maybe_unused]] const bool kRegistered = [] {
    const int probe = UringProbe();
    if (probe != 0)
        std::fprintf(stderr, "io_uring is not available here (%s): only plain sends measured\n",
                     std::strerror(probe));
    for (const Variant& v : kVariants) {
        if (v.way == Way::Uring && probe != 0) continue;
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
