// Test doubles of the admission and dispatcher tests: a service whose context
// factories make small contexts on the accepted sockets, whose command
// answers are collected, and whose heartbeat passes the test drives by hand
// (real worker threads serve the contexts and post back to the server queue).
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_server_id.h"

namespace admit_test {

using namespace gax;
using Cmd = TQORServNetworkCommand;

// Fixed clock the test moves.
class StepClock final : public TQORClock {
  public:
    uint32_t Tick() const override { return f_Tick.load(); }
    int64_t UnixSeconds() const override { return 1700000000 + f_Tick.load() / 1000; }
    void Set(uint32_t aTick) { f_Tick.store(aTick); }

  private:
    std::atomic<uint32_t> f_Tick{1000};
};

// A connection that reads and drops bytes until its peer closes.
class TestCtx final : public TQORSVCWrkCtx {
  public:
    TestCtx(TQORSVCHost* aHost, TSocket aSocket, std::string aAddr, int32_t aPort, bool aCommand)
        : TQORSVCWrkCtx(aHost, aSocket, std::move(aAddr), aPort), command(aCommand) {}

    void vExecStart(TQORSVCStepParams& aPar) override {
        aPar.sp_Socket = CtxSocket();
        aPar.sp_WaitFlags = wf_Read;
        started.store(true);
    }
    TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams& aPar) override {
        const uint32_t intr = TakeIntrFlags();
        if (IntrFlagOf(intr) & ifl_Terminate) return wer__EOF;
        if (aPar.sp_WaiterEvents & we_Read) {
            char buf[256];
            const ssize_t n = ::recv(CtxSocket(), buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0) {
                DisconnectCauseW(TQORSVCDisconnectCause::fsdc_GracefullDisconnect);
                return wer__EOF;
            }
        }
        aPar.sp_Socket = CtxSocket();
        aPar.sp_WaitFlags = wf_Read;
        return wer__OK;
    }
    TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams& aPar) override {
        aPar.sp_Socket = CtxSocket();
        aPar.sp_WaitFlags = wf_Read;
        moved.fetch_add(1);
        return wer__OK;
    }
    bool vExecTimeout(TQORSVCStepParams&) override { return false; }
    // As a floor holder: its worker lends it to the heartbeat after a step.
    bool vReadByFanout() override { return lend.load(); }
    void vExecStop(TQORSVCWorker* aWorker) override {
        vCloseSocket();
        if (command)
            QORService()->SvcPoster().ServQueue_CommandContextDisconnected(CtxRefOf(this), aWorker);
        else
            QORService()->SvcPoster().ServQueue_ClientContextDisconnected(CtxRefOf(this), aWorker);
    }

    const bool command;
    bool exceededPerAddress = false;
    bool exceededTotal = false;
    std::atomic<bool> started{false};
    std::atomic<int> moved{0};
    std::atomic<bool> lend{false};
    std::mutex answerLock;
    std::string answers;
};

class AdmitService final : public TQORService {
  public:
    using TQORService::TQORService;

    // Raised by the next client factory call when set.
    std::function<void()> failNextClient;
    std::vector<TestCtx*> clients;   // every client context made, in order
    std::vector<TestCtx*> commands;  // every command context made
    TQORSVCNetwork* handshakeNet = nullptr;

  protected:
    std::unique_ptr<TQORSVCWrkCtx> tmNewClientContext(TQORAdmitRequest& aReq) override
        GAX_REQUIRES(kHeartbeat) {
        if (failNextClient) {
            auto f = std::move(failNextClient);
            failNextClient = nullptr;
            f();
        }
        auto c = std::make_unique<TestCtx>(this, aReq.Socket, aReq.AddrBin, aReq.Port, false);
        aReq.Socket = INVALID_SOCKET_HANDLE;
        c->exceededPerAddress = aReq.ExceededPerAddress;
        c->exceededTotal = aReq.ExceededTotal;
        clients.push_back(c.get());
        return c;
    }
    std::unique_ptr<TQORSVCWrkCtx> tmNewCommandContext(TQORAdmitRequest& aReq) override
        GAX_REQUIRES(kHeartbeat) {
        auto c = std::make_unique<TestCtx>(this, aReq.Socket, aReq.AddrBin, aReq.Port, true);
        aReq.Socket = INVALID_SOCKET_HANDLE;
        commands.push_back(c.get());
        return c;
    }
    TQORSVCNetwork* tmHandshakeNetwork(TQORSVCWrkCtx&) override GAX_REQUIRES(kHeartbeat) {
        return handshakeNet;
    }
    void tmWriteCommandAnswer(TQORSVCWrkCtx& aCtx, std::string_view aBytes, bool) override
        GAX_REQUIRES(kHeartbeat) {
        if (aBytes == "raise") throw Exception("answer writer broke");
        auto& c = static_cast<TestCtx&>(aCtx);
        std::lock_guard<std::mutex> l(c.answerLock);
        c.answers.append(aBytes);
    }
};

// A network that keeps what it is handed.
class KeepNetwork final : public TQORSVCNetwork {
  public:
    explicit KeepNetwork(std::u16string aName) : f_Name(std::move(aName)) {}
    std::u16string NetName() const override { return f_Name; }
    uint32_t PingBase() const override { return 0; }
    void SetPingBase(uint32_t) override {}
    bool HasCommands() const override { return false; }
    bool PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) override {
        got.push_back(std::move(aRec));
        return true;
    }
    bool NetHeartBeat(bool, uint32_t) override { return false; }
    bool SpeechPauseOn() const override { return false; }
    uint32_t SpeechPauseStartTick() const override { return 0; }
    uint32_t SpeechPauseTicks() const override { return 0; }
    void EndSpeechPause() override {}
    bool ParrotBusy() const override { return false; }
    void ParrotHeartBeat(uint32_t) override {}
    void AppendSnapshot(TQORSVCListKind, TQORSVCWriteArray&) const override {}

    std::vector<std::unique_ptr<TQORSVCNetQueueRecord>> got;

  private:
    std::u16string f_Name;
};

// The service driven by hand: the test thread is its heartbeat thread.
class AdmitFixture : public ::testing::Test {
  protected:
    AdmitFixture() {
        cfg.cfg_ServerEnabled = true;
        cfg.cfg_ConnectionsPerThread = 2;
        cfg.cfg_WorkerThreadCacheTime = 1;
        cfg.cfg_ServMaxClientConnectionsPerAddress = 8;
        cfg.cfg_ServMaxClientConnectionsTotal = 1000;
        cfg.cfg_LimitConnectionsOverhead = 3;
        cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 150;
        cfg.cfg_ServMaxClientConnectionsPerAddressMeasureTime = 30;
    }
    ~AdmitFixture() override { Shutdown(); }

    // aSync false leaves the heartbeat unsynchronised, so networks can still
    // be added (then Sync()).
    void Make(bool aSync = true) {
        svc = std::make_unique<AdmitService>(cfg, clock);
        svc->Poster().SetTimerWaiter(&wake);
        svc->SetLogClientLevel(2);
        if (aSync) Sync();
    }
    void Sync() {
        TQORRoleScope role(kHeartbeat);
        svc->tmSetTimerSync(clock.Tick());
    }
    // Ends every worker and waits until the books are empty, so that no
    // worker thread outlives the service.
    void Shutdown() {
        if (!svc) return;
        for (int fd : peers) ::close(fd);
        peers.clear();
        {
            TQORRoleScope role(kHeartbeat);
            svc->Poster().ServQueue_AbortAllWorkers();
        }
        PumpUntil([&] { return svc->tmWorkerCount.load() == 0; });
        Pass();
        svc.reset();
    }

    void Pass() {
        TQORRoleScope role(kHeartbeat);
        svc->tm_Pinger();
        DrainLog();
    }
    uint32_t Uptime() {
        TQORRoleScope role(kHeartbeat);
        return svc->tmServerUptime();
    }
    void AdvanceSeconds(uint32_t aSecs) {
        clock.Set(clock.Tick() + aSecs * 1000);
        Pass();
    }
    // Passes until aDone holds, waiting for posts in between.
    bool PumpUntil(const std::function<bool()>& aDone, int aMs = 10000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
        for (;;) {
            Pass();
            if (aDone()) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
            wake.WaitFor(50);
        }
    }
    // One accepted connection from aAddr (4 bytes): the test keeps the peer.
    int Connect(const std::string& aAddr, int32_t aPort = 40000, bool aCommand = false) {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        peers.push_back(sv[1]);
        if (aCommand)
            svc->Poster().ServQueue_ConnectCommand(sv[0], aAddr, aPort);
        else
            svc->Poster().ServQueue_ConnectClient(sv[0], aAddr, aPort);
        Pass();
        return sv[1];
    }
    void DrainLog() {
        std::u16string l;
        while (svc->GetFifo(l)) log.push_back(UnicodeToByteStr(l));
    }
    bool Logged(const std::string& aLine) const {
        for (const auto& l : log)
            if (l == aLine) return true;
        return false;
    }
    std::vector<TQORService::TQORWorkerView> Workers() {
        TQORRoleScope role(kHeartbeat);
        return svc->tmWorkersView();
    }
    // Contexts each worker holds.
    std::vector<int> Held() {
        std::vector<int> v;
        for (const auto& w : Workers()) v.push_back(w.Capacity - w.Free - w.Reserved);
        return v;
    }
    // True when the peer end sees the close without any byte before it.
    static bool ClosedWithoutByte(int aPeer) {
        char c;
        return ::recv(aPeer, &c, 1, 0) == 0;
    }

    TQORServiceConfig cfg;
    StepClock clock;
    TWaiter2Socket wake{0};
    std::unique_ptr<AdmitService> svc;
    std::vector<int> peers;
    std::vector<std::string> log;
};

inline const std::string kAddrA("\xC0\x00\x02\x07", 4);  // 192.0.2.7
inline const std::string kAddrB("\xC0\x00\x02\x08", 4);  // 192.0.2.8

}  // namespace admit_test
