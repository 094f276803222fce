// How long the heartbeat waits to append a frame to a member's output buffer
// while that member's worker is flushing it. The send itself runs without
// the buffer's lock, so an append that meets a flush waits only for the
// flush's short bookkeeping before and after the syscall.
//
// The set-up is the server's: N members on loopback TCP connections, their
// real thread-safe output buffers, W workers (at most 63 members each, as in
// the server) sleeping on their interrupt-only waiters; one pass appends a
// 328-byte frame to every member and wakes each worker once, and each worker
// flushes its members' buffers. A drain thread reads the far ends.
//
// Reported: wait_share, the heartbeat's time in appends beyond an
// uncontended append's cost, as a share of its pass time; waited_appends,
// the share of appends that took over 2 us (they met a flush or were
// preempted). Passes run back to back (a worst case far above five frames a
// second) or paced by the third argument in microseconds (20 ms: a talker's
// frames with room for the workers to finish). The fourth argument appends one
// frame built per pass by reference instead of copying it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "sockets/gax_snps_asyncwriter.h"
#include "sockets/gax_snps_waiter.h"

namespace {

using namespace gax;
using Clock = std::chrono::steady_clock;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Connected loopback pairs: the near end non-blocking (the member's socket).
bool MakePairs(int aCount, std::vector<int>& aNear, std::vector<int>& aFar) {
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(l, 1024) != 0 ||
        getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return false;
    for (int i = 0; i < aCount; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c < 0 || connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        const int s = accept4(l, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (s < 0) return false;
        const int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        aNear.push_back(s);
        aFar.push_back(c);
    }
    close(l);
    return true;
}

struct Worker {
    TWaiter2Socket waiter{0};
    std::vector<TAsyncWriter2SocketThreadSafe*> members;
    std::thread thread;
};

void BM_HeartbeatAppendWait(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const int perWorker = static_cast<int>(state.range(1));
    const int64_t paceNs = state.range(2) * 1000;
    const bool shared = state.range(3) != 0;
    std::vector<int> nearFds, farFds;
    if (!MakePairs(n, nearFds, farFds)) {
        state.SkipWithError("loopback pairs");
        return;
    }
    std::vector<std::unique_ptr<TAsyncWriter2SocketThreadSafe>> bufs;
    for (int fd : nearFds) {
        bufs.push_back(std::make_unique<TAsyncWriter2SocketThreadSafe>(4096));
        bufs.back()->SetSocket(fd);
    }
    std::atomic<bool> stop{false};

    // The far ends are read as fast as they fill.
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < farFds.size(); ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = farFds[i];
        epoll_ctl(ep, EPOLL_CTL_ADD, farFds[i], &ev);
    }
    std::thread drain([&] {
        std::vector<epoll_event> evs(256);
        std::vector<char> buf(65536);
        while (!stop.load(std::memory_order_relaxed)) {
            const int k = epoll_wait(ep, evs.data(), static_cast<int>(evs.size()), 50);
            for (int i = 0; i < k; ++i)
                while (recv(evs[i].data.fd, buf.data(), buf.size(), MSG_DONTWAIT) > 0) {
                }
        }
    });

    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < n; ++i) {
        if (i % perWorker == 0) workers.push_back(std::make_unique<Worker>());
        workers.back()->members.push_back(bufs[static_cast<size_t>(i)].get());
    }
    for (auto& w : workers) {
        Worker* self = w.get();
        self->thread = std::thread([self, &stop] {
            while (!stop.load(std::memory_order_acquire)) {
                self->waiter.WaitFor(100);
                for (TAsyncWriter2SocketThreadSafe* b : self->members)
                    if (b->PendingBytes() > 0) b->Flush();
            }
        });
    }

    const std::string frame(328, '\x22');
    // The uncontended cost: appends with every worker asleep and nothing pending.
    int64_t base = INT64_MAX;
    for (int rep = 0; rep < 3; ++rep) {
        for (auto& b : bufs) {
            const int64_t t0 = NowNs();
            b->PutData(frame.data(), static_cast<int>(frame.size()));
            base = std::min(base, NowNs() - t0);
        }
        for (auto& w : workers) w->waiter.SetInterrupt();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    int64_t passNs = 0, appendNs = 0, overNs = 0, appends = 0, waited = 0;
    int64_t next = NowNs();
    for (auto _ : state) {
        if (paceNs > 0) {
            next += paceNs;
            while (NowNs() < next) std::this_thread::yield();
        }
        const int64_t p0 = NowNs();
        // Built once per pass: what a relay of shared frames pays per frame.
        const TSharedFrame one = shared ? TSharedFrame::Make(frame) : TSharedFrame();
        for (auto& b : bufs) {
            const int64_t t0 = NowNs();
            if (shared)
                b->PutShared(one);
            else
                b->PutData(frame.data(), static_cast<int>(frame.size()));
            const int64_t d = NowNs() - t0;
            appendNs += d;
            overNs += std::max<int64_t>(0, d - base);
            if (d > 2000) ++waited;
            ++appends;
        }
        // One wake-up per worker per pass.
        for (auto& w : workers) w->waiter.SetInterrupt();
        passNs += NowNs() - p0;
    }
    stop.store(true, std::memory_order_release);
    for (auto& w : workers) {
        w->waiter.SetInterrupt();
        w->thread.join();
    }
    drain.join();
    close(ep);
    bufs.clear();
    for (int fd : nearFds) close(fd);
    for (int fd : farFds) close(fd);

    state.counters["workers"] = static_cast<double>(workers.size());
    state.counters["append_ns"] = appends ? static_cast<double>(appendNs) / appends : 0;
    state.counters["base_append_ns"] = static_cast<double>(base);
    state.counters["wait_share"] = passNs ? static_cast<double>(overNs) / passNs : 0;
    state.counters["waited_appends"] = appends ? static_cast<double>(waited) / appends : 0;
    state.SetItemsProcessed(appends);
}
// members, members per worker, pace (us; 0 = back to back), shared frame
BENCHMARK(BM_HeartbeatAppendWait)->Args({100, 63, 0, 0})->Args({1000, 63, 0, 0})->UseRealTime();
BENCHMARK(BM_HeartbeatAppendWait)
    ->Args({100, 63, 20000, 0})
    ->Args({1000, 63, 20000, 0})
    ->Args({1000, 63, 20000, 1})
    ->Iterations(150)
    ->UseRealTime();

}  // namespace

namespace {

// A socket that takes everything: the workers' drain without the kernel.
class SinkBuffer : public TAsyncWriter2SocketThreadSafe {
  public:
    SinkBuffer() : TAsyncWriter2SocketThreadSafe(4096) {}

  protected:
    int SendRawV(const plat::SockIoPiece* aPieces, size_t aCount, size_t& aSent) override {
        aSent = 0;
        for (size_t i = 0; i < aCount; ++i) aSent += aPieces[i].Len;
        return 0;
    }
};

// A list burst: one 143 KB 8-bit client list for every member in one pass of
// the heartbeat, either copied into each member's buffer (second argument 0)
// or built once and held by reference (1); then each buffer is drained as
// its worker would. Reported: the heartbeat's pass, the drain of all
// buffers, and the bytes the pass copied.
void BM_ListBurst(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const bool shared = state.range(1) != 0;
    const std::string list(143 * 1024, 'L');
    std::vector<std::unique_ptr<SinkBuffer>> bufs;
    for (size_t i = 0; i < n; ++i) bufs.push_back(std::make_unique<SinkBuffer>());
    int64_t passNs = 0, drainNs = 0, copied = 0, bursts = 0;
    for (auto _ : state) {
        const int64_t t0 = NowNs();
        if (shared) {
            const TSharedFrame frame = TSharedFrame::Make(list);
            for (auto& b : bufs) b->PutShared(frame);
            copied += static_cast<int64_t>(list.size());
        } else {
            for (auto& b : bufs) b->PutData(list.data(), static_cast<int>(list.size()));
            copied += static_cast<int64_t>(list.size() * n);
        }
        const int64_t t1 = NowNs();
        for (auto& b : bufs) b->Flush();
        drainNs += NowNs() - t1;
        passNs += t1 - t0;
        ++bursts;
    }
    state.counters["pass_ms"] = static_cast<double>(passNs) / 1e6 / static_cast<double>(bursts);
    state.counters["drain_ms"] = static_cast<double>(drainNs) / 1e6 / static_cast<double>(bursts);
    state.counters["copied_MB"] = static_cast<double>(copied) / 1e6 / static_cast<double>(bursts);
}
// members, shared
BENCHMARK(BM_ListBurst)->Args({1000, 0})->Args({1000, 1})->Iterations(20)->UseRealTime();

}  // namespace
