// Admission throughput: TCP connections per second from the listener's
// accept to the context's first step on its worker, until 10,000 are held.
// The clients live in a child process so that neither side runs out of
// descriptors (each side holds 10,000 sockets); they come from 100 loopback
// addresses, 100 each, under the per-address limit and the connect-rate ring.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "server/gax_qor_svc_server_id.h"

using namespace gax;

namespace {

constexpr int kConnections = 10000;
constexpr int kAddresses = 100;

std::atomic<int> g_Started{0};

class HeldCtx final : public TQORSVCWrkCtx {
  public:
    using TQORSVCWrkCtx::TQORSVCWrkCtx;
    void vExecStart(TQORSVCStepParams& aPar) override {
        aPar.sp_Socket = CtxSocket();
        aPar.sp_WaitFlags = wf_Read;
        g_Started.fetch_add(1, std::memory_order_relaxed);
    }
    TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams& aPar) override {
        TakeIntrFlags();
        if (aPar.sp_WaiterEvents & we_Read) {
            char b[64];
            if (::recv(CtxSocket(), b, sizeof b, MSG_DONTWAIT) == 0) return wer__EOF;
        }
        aPar.sp_Socket = CtxSocket();
        aPar.sp_WaitFlags = wf_Read;
        return wer__OK;
    }
    TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams& aPar) override {
        aPar.sp_Socket = CtxSocket();
        aPar.sp_WaitFlags = wf_Read;
        return wer__OK;
    }
    bool vExecTimeout(TQORSVCStepParams&) override { return false; }
    void vExecStop(TQORSVCWorker* aWorker) override {
        vCloseSocket();
        QORService()->SvcPoster().ServQueue_ClientContextDisconnected(CtxRefOf(this), aWorker);
    }
};

class BenchService final : public TQORService {
  public:
    using TQORService::TQORService;

  protected:
    std::unique_ptr<TQORSVCWrkCtx> tmNewClientContext(TQORAdmitRequest& aReq) override
        GAX_REQUIRES(kHeartbeat) {
        auto c = std::make_unique<HeldCtx>(this, aReq.Socket, aReq.AddrBin, aReq.Port);
        aReq.Socket = INVALID_SOCKET_HANDLE;
        return c;
    }
};

// Child: connects every client, reports on the pipe, holds them until the
// parent closes its end. Only system calls: the parent has threads.
[[noreturn]] void RunClients(int aPort, int aReport, int aHold) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(aPort));
    to.sin_addr.s_addr = htonl(0x7F000001);
    int ok = 0;
    for (int i = 0; i < kConnections; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) break;
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7F000A00u + static_cast<uint32_t>(i % kAddresses) + 1);
        if (::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
            ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(s);
            break;
        }
        ++ok;
    }
    (void)!::write(aReport, &ok, sizeof ok);
    char c;
    (void)!::read(aHold, &c, 1);
    ::_exit(0);
}

void BM_AdmitToFirstStep(benchmark::State& state) {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < kConnections + 1000) {
        state.SkipWithError("descriptor limit below 11000");
        return;
    }
    for (auto _ : state) {
        TQORServiceConfig cfg;
        cfg.cfg_ServerEnabled = true;
        cfg.cfg_ConnectionsPerThread = 63;
        cfg.cfg_ServMaxClientConnectionsPerAddress = 8;
        cfg.cfg_LimitConnectionsOverhead = kConnections;  // marked, never refused
        cfg.cfg_ServMaxClientConnectionsTotal = kConnections * 2;
        cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 150;
        cfg.cfg_ServMaxClientConnectionsPerAddressMeasureTime = 30;
        g_Started.store(0);
        auto svc = std::make_unique<BenchService>(cfg);
        svc->OnFifo = [&] {
            std::u16string l;
            while (svc->GetFifo(l)) {
            }
        };
        svc->SetServMaxWaitConnections(1000);
        svc->Start();
        svc->AddPortForLocalhost(u"Client", u"0", ipver_4,
                                 [s = svc.get()](TSocket k, const std::string& a, int p,
                                                 const std::string&, int, const std::u16string&) {
                                     s->evnt_Listener_ClientAcceptPeer(k, a, p);
                                 });
        std::thread mainThread([&] { svc->RunMainThread(); });
        svc->StartService();
        while (svc->ListenerBoundPort(u"Client") == 0) std::this_thread::yield();
        int report[2], hold[2];
        if (::pipe(report) != 0 || ::pipe(hold) != 0) std::abort();
        const auto t0 = std::chrono::steady_clock::now();
        const pid_t child = ::fork();
        if (child == 0) {
            // The write end of the hold pipe must be the parent's alone, or
            // the child never sees it close.
            ::close(hold[1]);
            ::close(report[0]);
            RunClients(svc->ListenerBoundPort(u"Client"), report[1], hold[0]);
        }
        ::close(report[1]);
        ::close(hold[0]);
        int connected = 0;
        (void)!::read(report[0], &connected, sizeof connected);
        while (g_Started.load(std::memory_order_relaxed) < connected)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(secs);
        state.counters["connections"] = connected;
        state.counters["conns_per_s"] = connected / secs;
        state.counters["workers"] = svc->tmWorkerCount.load();
        ::close(hold[1]);
        ::waitpid(child, nullptr, 0);
        ::close(report[0]);
        while (svc->tmClientContextCount.load() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        svc->ServiceAbortThread(u"CTRL-C");
        mainThread.join();
        svc.reset();
    }
}
BENCHMARK(BM_AdmitToFirstStep)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
