// Cost of the server queue on the sound path: a worker posts one record per
// frame and the heartbeat thread drains them in batches of 32.
#include <benchmark/benchmark.h>

#include <string>

#include "server/gax_qor_svc_poster.h"

using namespace gax;

static void BM_ServQueueSoundFramePostAndDrain(benchmark::State& state) {
    TWaiter2Socket waiter(0);
    TQORSVCPoster poster(&waiter);
    const std::string frame(325, 'x');
    TQORSVCServQueue::Batch batch;
    for (auto _ : state) {
        for (std::size_t i = 0; i < kQueueBatch; ++i) {
            auto rec = std::make_unique<TQORSVCNetQueueRecord>();
            rec->nqr_Cmd = TQORServNetworkCommand::snc_TxSoundLong;
            rec->nqr_DataS1 = frame;
            poster.ServQueuePush(std::move(rec));
        }
        waiter.Reset();
        int32_t n = poster.ServQueue().PullBatch(batch);
        benchmark::DoNotOptimize(n);
        for (auto& r : batch) r.reset();
    }
    state.SetItemsProcessed(state.iterations() * kQueueBatch);
}
BENCHMARK(BM_ServQueueSoundFramePostAndDrain);

static void BM_MainQueueEnqueueCmdAndPull(benchmark::State& state) {
    TQORSVCMainQueue q;
    for (auto _ : state) {
        q.EnqueueCmd(TQORSVCMainQueueCmd::fsmqc_FlushData);
        auto rec = q.Pull();
        benchmark::DoNotOptimize(rec.get());
    }
}
BENCHMARK(BM_MainQueueEnqueueCmdAndPull);
