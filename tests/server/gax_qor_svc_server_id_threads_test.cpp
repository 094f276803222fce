// The service object with its threads running: the first-wins abort under
// concurrent callers, whole create/start/stop/destroy cycles, a heartbeat
// that survives a raising pass, and the synchronous main-thread call.
#include "server/gax_qor_svc_server_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/gax_strutils.h"

namespace gax {
namespace {

// Collects the log on the main thread (the only thread that runs OnFifo).
struct LogSink {
    std::vector<std::string> Lines;
    void Drain(TQORService& aSvc) {
        std::u16string l;
        while (aSvc.GetFifo(l)) Lines.push_back(UnicodeToByteStr(l));
    }
    bool Has(const std::string& aLine) const {
        return std::find(Lines.begin(), Lines.end(), aLine) != Lines.end();
    }
};

TEST(ServiceThreads, ConcurrentAbortsQueueOneAndKeepTheWinnersText) {
    TQORServiceConfig cfg;
    for (int round = 0; round < 20; ++round) {
        TQORService svc(cfg);
        constexpr int kThreads = 8;
        std::barrier go(kThreads);
        std::atomic<int> winner{-1};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                go.arrive_and_wait();
                if (svc.ServiceAbortThread(u"T" + IntToDecStrW(i))) winner.store(i);
            });
        }
        for (auto& t : threads) t.join();
        ASSERT_GE(winner.load(), 0);
        EXPECT_EQ(svc.AbortMessageText(), u"T" + IntToDecStrW(winner.load()));
        EXPECT_EQ(svc.Poster().MainQueue().Count(), 1);
    }
}

TEST(ServiceThreads, CreateStartStopDestroyCycles) {
    TQORServiceConfig cfg;
    cfg.cfg_ServerEnabled = true;
    for (int cycle = 0; cycle < 100; ++cycle) {
        LogSink log;
        auto svc = std::make_unique<TQORService>(cfg);
        svc->OnFifo = [&] { log.Drain(*svc); };
        svc->Start();
        const int mode = cycle % 4;
        if (mode != 1) svc->StartService();
        if (mode == 3) {
            // Destroyed while running: the destructor ends every thread.
            svc.reset();
            continue;
        }
        svc->ServiceAbortThread(u"CTRL-C");
        svc->RunMainThread();
        EXPECT_TRUE(svc->ServiceThreadFinished());
        EXPECT_TRUE(log.Has("Aborting ...")) << cycle;
        EXPECT_EQ(svc->StopStage(), fss_WaitStopWorkers) << cycle;
        EXPECT_FALSE(std::any_of(log.Lines.begin(), log.Lines.end(),
                                 [](const std::string& l) { return l.starts_with("ERROR"); }))
            << cycle;
        svc.reset();
    }
}

class PingNetwork final : public TQORSVCNetwork {
  public:
    explicit PingNetwork(TQORService& aSvc) : f_Svc(aSvc) {}
    std::u16string NetName() const override { return u"P"; }
    uint32_t PingBase() const override { return f_PingBase; }
    void SetPingBase(uint32_t aTick) override { f_PingBase = aTick; }
    bool HasCommands() const override { return false; }
    bool PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>&) override { return false; }
    bool NetHeartBeat(bool aPing, uint32_t) override {
        if (!aPing) return false;
        f_PingBase += 500;
        if (++f_Pings == 1) throw std::runtime_error("network broke");
        f_Svc.Fifo(u"ping");
        return false;
    }
    bool SpeechPauseOn() const override { return false; }
    uint32_t SpeechPauseStartTick() const override { return 0; }
    uint32_t SpeechPauseTicks() const override { return 0; }
    void EndSpeechPause() override {}
    bool ParrotBusy() const override { return false; }
    void ParrotHeartBeat(uint32_t) override {}
    void AppendSnapshot(TQORSVCListKind, TQORSVCWriteArray&) const override {}

  private:
    TQORService& f_Svc;
    uint32_t f_PingBase = 0;
    int f_Pings = 0;
};

TEST(ServiceThreads, HeartbeatGoesOnAfterAPassRaises) {
    TQORServiceConfig cfg;
    cfg.cfg_ServerEnabled = true;
    TQORService svc(cfg);
    svc.AddNetwork(std::make_unique<PingNetwork>(svc));
    LogSink log;
    svc.OnFifo = [&] {
        log.Drain(svc);
        if (std::count(log.Lines.begin(), log.Lines.end(), "ping") >= 2)
            svc.ServiceAbortThread(u"DONE");
    };
    svc.Start();
    svc.StartService();
    svc.RunMainThread();
    EXPECT_TRUE(log.Has("ERROR: Timer: Heartbeat loop: std::exception: network broke"));
    EXPECT_GE(std::count(log.Lines.begin(), log.Lines.end(), "ping"), 2);
}

// A pass that raises something of no exception class loses that pass only:
// an ended heartbeat would stall every connection of the server.
TEST(HeartbeatThread, GoesOnAfterAPassRaisesAValueOfNoClass) {
    struct Client final : TQORTimerClient {
        std::mutex M;
        std::condition_variable Cv;
        int Passes = 0;
        void tmSetTimerSync(uint32_t) override GAX_REQUIRES(kHeartbeat) {}
        void tm_Pinger() override GAX_REQUIRES(kHeartbeat) {
            int n;
            {
                std::lock_guard<std::mutex> l(M);
                n = ++Passes;
            }
            Cv.notify_all();
            if (n == 1) throw 42;
        }
    } client;
    std::mutex em;
    std::vector<std::u16string> errors;
    TQORTimer timer(client, TQORSystemClock::Instance());
    timer.OnError = [&](const std::u16string& aText) {
        std::lock_guard<std::mutex> l(em);
        errors.push_back(aText);
    };
    timer.StartTimer();
    timer.SetEnabled(true);
    {
        std::unique_lock<std::mutex> l(client.M);
        EXPECT_TRUE(client.Cv.wait_for(l, std::chrono::seconds(30),
                                       [&] { return client.Passes >= 3; }));
    }
    timer.Stop();
    std::lock_guard<std::mutex> l(em);
    EXPECT_EQ(errors, std::vector<std::u16string>{u"Heartbeat loop: unknown exception: "});
}

TEST(MainThreadCall, RunsCallsOnTheServingThreadUntilFinished) {
    TQORMainThreadCall call;
    std::thread::id ranOn;
    std::vector<bool> results;
    std::thread caller([&] {
        results.push_back(call.Call([&] { ranOn = std::this_thread::get_id(); }));
        results.push_back(call.Call([] { throw std::runtime_error("write failed"); }));
        call.Finish();
    });
    call.Serve();
    caller.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(results, (std::vector<bool>{true, false}));

    // After Shutdown nobody serves: a caller is refused instead of blocking.
    TQORMainThreadCall gone;
    gone.Shutdown();
    EXPECT_FALSE(gone.Call([] {}));
}

}  // namespace
}  // namespace gax
