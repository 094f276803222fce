// What a blocking line receive costs per line when many lines are already buffered (a long
// list answer arriving in large packets): it must not grow with what is still buffered.
#include <benchmark/benchmark.h>

#include <string>

#include "sockets/gax_snps_tcpsock.h"

namespace {

using namespace gax;

void BM_BufferedRecvString(benchmark::State& state) {
    const int lines = static_cast<int>(state.range(0));
    std::string data;
    for (int i = 0; i < lines; ++i)
        data += "LIST:some entry of a long list " + std::to_string(i) + "\r\n";
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    for (auto _ : state) {
        s.SetLineBuffer(data);
        for (int i = 0; i < lines; ++i) benchmark::DoNotOptimize(s.RecvString(0));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * lines);
}
BENCHMARK(BM_BufferedRecvString)->Arg(64)->Arg(4096);

}  // namespace
