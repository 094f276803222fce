// Cost of one heartbeat pass with nothing to do but the networks' pings: the
// floor every 100 ms step pays, per network, before any client traffic.
#include <benchmark/benchmark.h>

#include <memory>

#include "server/gax_qor_svc_server_id.h"

using namespace gax;

namespace {

class StepClock final : public TQORClock {
  public:
    uint32_t Tick() const override { return f_Tick; }
    int64_t UnixSeconds() const override { return 1700000000; }
    void Advance(uint32_t aMs) { f_Tick += aMs; }

  private:
    uint32_t f_Tick = 1000;
};

class IdleNetwork final : public TQORSVCNetwork {
  public:
    std::u16string NetName() const override { return u"N"; }
    uint32_t PingBase() const override { return f_PingBase; }
    void SetPingBase(uint32_t aTick) override { f_PingBase = aTick; }
    bool HasCommands() const override { return false; }
    bool PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>&) override { return false; }
    bool NetHeartBeat(bool aPing, uint32_t) override {
        if (aPing) f_PingBase += 500;
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
    uint32_t f_PingBase = 0;
};

}  // namespace

static void BM_HeartbeatIdlePass(benchmark::State& state) {
    TQORServiceConfig cfg;
    cfg.cfg_ServerEnabled = true;
    StepClock clock;
    TQORService svc(cfg, clock);
    for (int64_t i = 0; i < state.range(0); ++i) svc.AddNetwork(std::make_unique<IdleNetwork>());
    TQORRoleScope role(kHeartbeat);
    svc.tmSetTimerSync(clock.Tick());
    for (auto _ : state) {
        clock.Advance(100);
        svc.tm_Pinger();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HeartbeatIdlePass)->Arg(1)->Arg(16)->Arg(128);
