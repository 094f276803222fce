// Test doubles of the worker tests: a host with a real poster whose server
// queue the test reads (each post wakes the test's own waiter), a counter the
// test can wait on, and a fake context on one end of a socket pair.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/gax_datetime.h"
#include "server/gax_qor_svc_host.h"
#include "server/gax_qor_svc_worker.h"
#include "server/gax_qor_svc_wrkctx.h"
#include "sockets/gax_snps_sockets.h"

namespace wrk_test {

using namespace gax;
using Cmd = TQORServNetworkCommand;

// A value that the test waits to reach.
class Counter {
  public:
    void Add(int n = 1) {
        {
            std::lock_guard<std::mutex> l(m_);
            v_ += n;
        }
        cv_.notify_all();
    }
    int Get() {
        std::lock_guard<std::mutex> l(m_);
        return v_;
    }
    // True when the value reached at least n within ms.
    bool WaitAtLeast(int n, int ms = 5000) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return v_ >= n; });
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    int v_ = 0;
};

class FakeHost final : public TQORSVCHost {
  public:
    explicit FakeHost(int aConnectionsPerThread = 63, int aCacheSeconds = 60) {
        cfg.cfg_ConnectionsPerThread = aConnectionsPerThread;
        cfg.cfg_WorkerThreadCacheTime = aCacheSeconds;
        poster.SetTimerWaiter(&heartbeat);
    }
    const TQORServiceConfig& SvcConfig() const override { return cfg; }
    TQORSVCPoster& SvcPoster() override { return poster; }
    TQORGlobalKey GetNextUniqCounter() override { return ++keys; }
    void Fifo(std::u16string aText) override {
        {
            std::lock_guard<std::mutex> l(logMutex);
            log.push_back(std::move(aText));
        }
        logLines.Add();
    }
    int32_t LogClientLevel() const override { return 2; }
    int32_t LogCommandLevel() const override { return 0; }

    std::vector<std::u16string> Log() {
        std::lock_guard<std::mutex> l(logMutex);
        return log;
    }
    // Collects server-queue records until one with aCmd arrived (true) or ms
    // passed; every record pulled stays in `records`, in order.
    bool WaitRecord(Cmd aCmd, int ms = 5000) {
        const TGaxTick32 start = GetTick32();
        size_t seen = 0;
        for (;;) {
            while (auto rec = poster.ServQueue().Pull()) records.push_back(std::move(rec));
            for (; seen < records.size(); ++seen)
                if (records[seen]->nqr_Cmd == aCmd) return true;
            const uint32_t spent = TickDiff32(start, GetTick32());
            if (spent >= static_cast<uint32_t>(ms)) return false;
            heartbeat.WaitFor(static_cast<uint32_t>(ms) - spent);
        }
    }
    int CountRecords(Cmd aCmd) const {
        int n = 0;
        for (const auto& r : records) n += r->nqr_Cmd == aCmd ? 1 : 0;
        return n;
    }

    TQORServiceConfig cfg;
    TWaiter2Socket heartbeat{0};
    TQORSVCPoster poster;
    std::atomic<TQORGlobalKey> keys{0};
    std::mutex logMutex;
    std::vector<std::u16string> log;
    Counter logLines;
    std::vector<TQORSVCPoster::RecordPtr> records;
};

// One end of a socket pair. Reads whatever is there at each readable step;
// times out aTimeoutMs after its start or its last input (0: never).
class FakeCtx final : public TQORSVCWrkCtx {
  public:
    FakeCtx(FakeHost& aHost, int aSocket, uint32_t aTimeoutMs = 0)
        : TQORSVCWrkCtx(&aHost, aSocket, std::string("\x7f\x00\x00\x01", 4), 4000),
          host(aHost),
          timeoutMs(aTimeoutMs) {}

    void vExecStart(TQORSVCStepParams& aPar) override {
        lastInput = aPar.sp_CheckTick;
        aPar.sp_Socket = CtxSocket();
        aPar.sp_WaitFlags = wf_Read;
        starts.Add();
    }
    TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams& aPar) override {
        TakeIntrFlags();
        if (aPar.sp_WaiterEvents & we_Read) {
            char buf[256];
            const ssize_t n = ::recv(CtxSocket(), buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0) {
                DisconnectCauseW(TQORSVCDisconnectCause::fsdc_GracefullDisconnect);
                steps.Add();
                return wer__EOF;
            }
            if (n > 0) {
                bytes.fetch_add(static_cast<int>(n));
                lastInput = aPar.sp_CheckTick;
            }
        }
        TQORSVCWorkerExecResult r = stepResult;
        if (extraLeft.load() > 0) {
            extraLeft.fetch_sub(1);
            SetIntrFlags(ifl_ContinueRead);  // as a client that has more to read
            r = wer__Extra;
        }
        aPar.sp_WaitFlags = wf_Read;
        steps.Add();
        return r;
    }
    TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams& aPar) override {
        aPar.sp_Socket = CtxSocket();
        aPar.sp_WaitFlags = wf_Read;
        params.Add();
        return paramsResult;
    }
    bool vExecTimeout(TQORSVCStepParams& aPar) override {
        if (timeoutMs == 0 || TickDiff32(lastInput, aPar.sp_CheckTick) < timeoutMs) return false;
        timedOutAfter = TickDiff32(startTick, aPar.sp_CheckTick);
        DisconnectCauseW(TQORSVCDisconnectCause::fsdc_ClientTimeout);
        return true;
    }
    void vExecStop(TQORSVCWorker* aWorker) override {
        vCloseSocket();
        stopCause = DisconnectCauseR();
        host.poster.ServQueue_ClientContextDisconnected(CtxRefOf(this), aWorker);
        stops.Add();
    }

    FakeHost& host;
    uint32_t timeoutMs;
    TGaxTick32 startTick = GetTick32();
    TGaxTick32 lastInput = 0;  // worker thread
    std::atomic<uint32_t> timedOutAfter{0};
    std::atomic<int> bytes{0};
    std::atomic<int> extraLeft{0};
    TQORSVCWorkerExecResult stepResult = wer__OK;
    TQORSVCWorkerExecResult paramsResult = wer__OK;
    std::atomic<TQORSVCDisconnectCause> stopCause{TQORSVCDisconnectCause::fsdc_DisconnectWithoutAuth};
    Counter starts, steps, params, stops;
};

// A socket pair: `ours` for the fake context, `peer` for the test.
struct Pair {
    int ours = -1;
    int peer = -1;
    Pair() {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        ours = sv[0];
        peer = sv[1];
    }
    ~Pair() {
        if (peer >= 0) ::close(peer);
    }
    void Send(const char* s = "x") { EXPECT_EQ(::send(peer, s, 1, MSG_NOSIGNAL), 1); }
};

}  // namespace wrk_test
