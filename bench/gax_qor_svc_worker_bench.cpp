// Costs of the worker's I/O engine: one step of a context that has a frame
// waiting in its output buffer, a frame's trip from the heartbeat side through
// a worker to the peer, a worker's idle cost with 63 silent sockets, and the
// waiter serving a ready set of 63 sockets.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/gax_datetime.h"
#include "server/gax_qor_svc_host.h"
#include "server/gax_qor_svc_worker.h"
#include "server/gax_qor_svc_wrkctx.h"
#include "sockets/gax_snps_asyncwriter.h"
#include "sockets/gax_snps_waiter.h"

namespace {

using namespace gax;

class BenchHost final : public TQORSVCHost {
  public:
    BenchHost() {
        cfg.cfg_ConnectionsPerThread = 63;
        cfg.cfg_WorkerThreadCacheTime = 60;
    }
    const TQORServiceConfig& SvcConfig() const override { return cfg; }
    TQORSVCPoster& SvcPoster() override { return poster; }
    TQORGlobalKey GetNextUniqCounter() override { return ++keys; }
    void Fifo(std::u16string) override {}
    int32_t LogClientLevel() const override { return 0; }
    int32_t LogCommandLevel() const override { return 0; }
    TQORServiceConfig cfg;
    TQORSVCPoster poster;
    std::atomic<TQORGlobalKey> keys{0};
};

// A context whose step flushes its output buffer, as a client's does when
// another thread queued a frame for it.
class FrameCtx final : public TQORSVCWrkCtx {
  public:
    FrameCtx(BenchHost& aHost, int aSocket)
        : TQORSVCWrkCtx(&aHost, aSocket, std::string("\x7f\x00\x00\x01", 4), 1), out(4096) {
        out.SetSocket(aSocket);
    }
    // Heartbeat side: queue a frame and flag the worker.
    void SendFrame(const char* aFrame, int aLen) {
        out.PutData(aFrame, aLen);
        SetIntrFlags(ifl_Flush);
        WakeUpWorker();
    }
    void vExecStart(TQORSVCStepParams& aPar) override {
        aPar.sp_Socket = CtxSocket();
        aPar.sp_WaitFlags = wf_CloseOnly;
    }
    TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams& aPar) override {
        steps.fetch_add(1, std::memory_order_relaxed);
        if (IntrFlag() & ifl_Flush) ClearIntrBits(uint32_t{ifl_Flush} << 16);
        ClearIntrBits(kWaiterFlagStep);
        if (!out.Flush()) return wer__Error;
        aPar.sp_WaitFlags = out.NeedWaitForWrite() ? wf_Write : wf_CloseOnly;
        return wer__OK;
    }
    TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams&) override { return wer__OK; }
    bool vExecTimeout(TQORSVCStepParams&) override {
        timeoutChecks.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    void vExecStop(TQORSVCWorker*) override { vCloseSocket(); }

    TAsyncWriter2SocketThreadSafe out;
    std::atomic<int64_t> steps{0};
    std::atomic<int64_t> timeoutChecks{0};
};

struct SocketPair {
    int ours = -1, peer = -1;
    SocketPair() {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            ours = sv[0];
            peer = sv[1];
        }
    }
    ~SocketPair() {
        if (peer >= 0) ::close(peer);
    }
};

void DrainPeer(int aFd) {
    char buf[65536];
    while (::recv(aFd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

// One step as the worker runs it for a context with a 325-byte frame queued:
// the interrupt word, the flush under the buffer's lock, the send.
void BM_StepWithPendingFrame(benchmark::State& state) {
    BenchHost host;
    SocketPair sp;
    FrameCtx ctx(host, sp.ours);
    TQORSVCStepParams par;
    char frame[325];
    std::memset(frame, 'S', sizeof frame);
    int64_t n = 0;
    for (auto _ : state) {
        ctx.SendFrame(frame, sizeof frame);
        benchmark::DoNotOptimize(ctx.vExecStep(par));
        if ((++n & 63) == 0) {
            state.PauseTiming();
            DrainPeer(sp.peer);
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StepWithPendingFrame);

// A frame queued on this thread, the worker woken as the heartbeat does it,
// and the peer's receive: the whole trip of one relayed frame.
void BM_FrameThroughWorker(benchmark::State& state) {
    BenchHost host;
    auto worker = std::make_unique<TQORSVCWorker>(&host, true, 1);
    worker->Start();
    SocketPair sp;
    FrameCtx ctx(host, sp.ours);
    worker->WorkQueue_AddNewContext(&ctx);
    worker->TakeWakeUpFlag();
    worker->WorkerWakeUp();
    char frame[325];
    std::memset(frame, 'S', sizeof frame);
    char buf[4096];
    for (auto _ : state) {
        ctx.SendFrame(frame, sizeof frame);
        if (worker->TakeWakeUpFlag()) worker->WorkerWakeUp();
        size_t got = 0;
        while (got < sizeof frame) {
            const ssize_t r = ::recv(sp.peer, buf, sizeof buf, 0);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
    }
    state.SetItemsProcessed(state.iterations());
    worker->WorkerForceAbortThread();
    worker->Join();
}
BENCHMARK(BM_FrameThroughWorker)->UseRealTime();

double ProcessCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// 63 silent sockets: the worker must not wake without an event; the only
// work is the once-a-second time-out check of each context.
void BM_IdleWorker63Silent(benchmark::State& state) {
    BenchHost host;
    auto worker = std::make_unique<TQORSVCWorker>(&host, true, 1);
    worker->Start();
    std::vector<std::unique_ptr<SocketPair>> pairs;
    std::vector<std::unique_ptr<FrameCtx>> ctxs;
    for (int i = 0; i < 63; ++i) {
        pairs.push_back(std::make_unique<SocketPair>());
        ctxs.push_back(std::make_unique<FrameCtx>(host, pairs.back()->ours));
        worker->WorkQueue_AddNewContext(ctxs.back().get());
    }
    worker->WorkerWakeUp();
    while (worker->ContextCount() < 63) std::this_thread::yield();
    const double cpu0 = ProcessCpuMs();
    const TGaxTick32 t0 = GetTick32();
    for (auto _ : state) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double seconds = TickDiff32(t0, GetTick32()) / 1000.0;
    const double cpu = ProcessCpuMs() - cpu0;
    int64_t steps = 0, checks = 0;
    for (auto& c : ctxs) {
        steps += c->steps.load();
        checks += c->timeoutChecks.load();
    }
    state.counters["steps"] = static_cast<double>(steps);
    state.counters["timeout_checks_per_s"] = static_cast<double>(checks) / seconds;
    state.counters["cpu_ms_per_s"] = cpu / seconds;
    worker->WorkerForceAbortThread();
    worker->Join();
}
BENCHMARK(BM_IdleWorker63Silent)->Iterations(6)->UseRealTime()->Unit(benchmark::kMillisecond);

void NopHandler(TWaiter2HandlerParams*) {}

// 63 socket pairs, our ends registered in aW for reading.
std::vector<std::unique_ptr<SocketPair>> WatchedPairs(TWaiter2Socket& aW) {
    std::vector<std::unique_ptr<SocketPair>> pairs;
    for (int i = 0; i < 63; ++i) {
        pairs.push_back(std::make_unique<SocketPair>());
        auto* r = aW.RegisterResource(nullptr, pairs.back()->ours);
        aW.SetWaitMode(r, wf_Read);
    }
    return pairs;
}

// 63 sockets with unread data: one round hands out each of them once. One
// poll serves the round, instead of one poll per socket.
void BM_WaiterReadySet63(benchmark::State& state) {
    TWaiter2Socket w(63);
    const auto pairs = WatchedPairs(w);
    for (const auto& p : pairs) ::send(p->peer, "x", 1, MSG_NOSIGNAL);
    TWaiter2WaitParams p;
    p.w2wp_IterHandler = &NopHandler;
    p.w2wp_TimeoutTicks = 1000;
    for (auto _ : state) {
        for (int i = 0; i < 63; ++i) benchmark::DoNotOptimize(w.WaitForHandler(p));
    }
    state.SetItemsProcessed(state.iterations() * 63);
    while (w.Count() > 0) w.UnregisterResourceByIdx(0);
}
BENCHMARK(BM_WaiterReadySet63);

// A full worker's usual state: 63 sockets watched, one of them ready. The
// cost of a wait should follow what is ready, not what is watched.
void BM_WaiterOneReadyOf63(benchmark::State& state) {
    TWaiter2Socket w(63);
    const auto pairs = WatchedPairs(w);
    ::send(pairs[31]->peer, "x", 1, MSG_NOSIGNAL);
    TWaiter2WaitParams p;
    p.w2wp_IterHandler = &NopHandler;
    p.w2wp_TimeoutTicks = 1000;
    for (auto _ : state) benchmark::DoNotOptimize(w.WaitForHandler(p));
    state.SetItemsProcessed(state.iterations());
    while (w.Count() > 0) w.UnregisterResourceByIdx(0);
}
BENCHMARK(BM_WaiterOneReadyOf63);

}  // namespace
