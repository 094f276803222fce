// Cost of one hand-over through a queue: pushes and batch pulls that stay in
// one block (the common case) and runs that cross block boundaries.
#include "foundation/gax_fifo.h"

#include <benchmark/benchmark.h>

#include <cstdint>

using namespace gax;

static void BM_PushPullOneBlock(benchmark::State& state) {
    TFifoThreadSafe q(64);
    void* batch[32];
    for (auto _ : state) {
        for (intptr_t i = 0; i < 32; ++i) q.PushData(reinterpret_cast<void*>(i));
        benchmark::DoNotOptimize(q.PullDataArray(batch, 32));
    }
    state.SetItemsProcessed(state.iterations() * 32);
}
BENCHMARK(BM_PushPullOneBlock);

static void BM_PushPullAcrossBlocks(benchmark::State& state) {
    TFifoThreadSafe q(16);
    void* batch[32];
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        for (intptr_t i = 0; i < n; ++i) q.PushData(reinterpret_cast<void*>(i));
        while (q.PullDataArray(batch, 32) > 0) {
        }
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_PushPullAcrossBlocks)->Arg(256)->Arg(4096);

static void BM_UnlockedPushPull(benchmark::State& state) {
    TFifoThreadUnSafe q(128);
    void* d;
    for (auto _ : state) {
        q.PushData(&d);
        benchmark::DoNotOptimize(q.PullData(d));
    }
}
BENCHMARK(BM_UnlockedPushPull);
