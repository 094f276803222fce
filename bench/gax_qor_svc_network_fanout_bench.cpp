// The sound fan-out of one network on the heartbeat's side: one long frame
// relayed to N members whose sends append to a byte buffer kept at its
// capacity. Reports the allocations made per frame (the relay itself must
// make none; only a listener's own output buffer may grow).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "networks/gax_qor_svc_network_tx.h"
#include "server/gax_qor_svc_clientfacts.h"

namespace {

std::atomic<long> g_Allocs{0};

}  // namespace

#if defined(__GNUC__) && !defined(__clang__)
// The replaced pair allocates with malloc and frees with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t n) {
    g_Allocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace gax;

struct BenchFacts : TQORSVCClientService {
    TQORServiceConfig cfg;
    bool HasDefaultCountry() const override { return false; }
    std::string_view DefaultCountryA() const override { return {}; }
    std::string_view DefaultCountryUTF8() const override { return {}; }
    std::u16string_view DefaultCountryU() const override { return {}; }
    int32_t NetworkCount() const override { return 0; }
    TQORSVCClientNetwork* NetworkAt(int32_t) const override { return nullptr; }
    TQORSVCClientNetwork* DefaultNetwork() const override { return nullptr; }
    std::string_view ServOwnerId() const override { return {}; }
    bool ServOwnerInfoDiffers(const TQORSVCContext&) const override { return false; }
    bool ServiceEnabled() const override { return true; }
    bool ManagerEnabled(int32_t) const override { return false; }
    void ManagerUnregisterClient(int32_t, std::string_view, std::string_view,
                                 const TQORSVCClientNetwork*) override {}
};

// A member whose output is a buffer emptied between frames (as a worker's
// flush would), so that it keeps its capacity.
class Member : public TQORSVCContext {
  public:
    explicit Member(BenchFacts& aFacts) : TQORSVCContext(nullptr, aFacts, INVALID_SOCKET_HANDLE, std::string(4, '\0'), 1) {
        out.reserve(4096);
    }
    std::string out;
    void vSendBytes(const void* p, int32_t n) override {
        if (out.size() + static_cast<size_t>(n) > out.capacity()) out.clear();
        out.append(static_cast<const char*>(p), static_cast<size_t>(n));
    }
    void vSendBytesDontWakeWorker(const void* p, int32_t n) override { vSendBytes(p, n); }
    void vSendBytesAnswerOK(const void* p, int32_t n) override { vSendBytes(p, n); }
    void vSendBytesFlushAndTerm(const void* p, int32_t n) override { vSendBytes(p, n); }
    void vAbortConnection() override {}
    void vExecStart(TQORSVCStepParams&) override {}
    TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams&) override { return wer__OK; }
    TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams&) override { return wer__OK; }
    bool vExecTimeout(TQORSVCStepParams&) override { return false; }
};

void BM_SoundFanout(benchmark::State& state) {
    BenchFacts facts;
    std::vector<std::unique_ptr<Member>> owned;
    TQORNetMembers members;
    const uint32_t classes[] = {0x820, 0x8000820, 0x10BA0, 0x14BA0, 0x2010BA0};
    for (int64_t i = 0; i < state.range(0); ++i) {
        owned.push_back(std::make_unique<Member>(facts));
        owned.back()->CtxFlagsAssign(classes[i % 5]);
        owned.back()->SetQORNetworkIndex(static_cast<uint16_t>(i + 1));
        members.push_back(owned.back().get());
    }
    TQORNetFanout fan({}, u"Net: ");
    fan.SetMembers(&members);
    TQORNetRelay relay(fan, TQORNetTxOptions{});
    TQORSVCContext* talker = members[2];
    relay.tmTxRequest(talker);
    std::string frame(kQORSoundLongLen, '\x11');
    TGaxTick32 tick = 0;
    long allocs = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        tick += 200;
        relay.SetHeartBeatTick(tick);
        const long before = g_Allocs.load(std::memory_order_relaxed);
        relay.tmTxSoundLong(talker, frame);
        allocs += g_Allocs.load(std::memory_order_relaxed) - before;
        ++frames;
    }
    state.counters["allocs_per_frame"] = static_cast<double>(allocs) / static_cast<double>(frames);
    state.SetItemsProcessed(frames * (state.range(0) - 1));
}
BENCHMARK(BM_SoundFanout)->Arg(100)->Arg(1000)->Arg(10000);

}  // namespace
