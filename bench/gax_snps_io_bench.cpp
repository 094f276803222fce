// Steady-state costs of the per-frame socket paths: appending frames to an
// output buffer and flushing them, and cutting input lines out of a collector.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "sockets/gax_snps_asyncwriter.h"
#include "sockets/gax_snps_collector.h"

namespace {

using namespace gax;

// A socket that takes everything, so only the buffer's own work is measured.
class SinkWriter : public TAsyncWriter2SocketThreadSafe {
  public:
    using TAsyncWriter2SocketThreadSafe::TAsyncWriter2SocketThreadSafe;

  protected:
    int SendRawV(const plat::SockIoPiece* aPieces, size_t aCount, size_t& aSent) override {
        aSent = 0;
        for (size_t i = 0; i < aCount; ++i) aSent += aPieces[i].Len;
        return 0;
    }
};

void BM_SoundFrameAppendFlush(benchmark::State& state) {
    SinkWriter w(1024);
    char frame[328];
    std::memset(frame, 'S', sizeof frame);
    for (auto _ : state) {
        w.PutData(frame, sizeof frame);
        benchmark::DoNotOptimize(w.Flush());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 328);
}
BENCHMARK(BM_SoundFrameAppendFlush);

// Lines already in the buffer: what a worker pays per command line.
class MemoryCollector : public TCollectorBase {
  public:
    explicit MemoryCollector(std::string data) : TCollectorBase(4096), f_Data(std::move(data)) {}
    void Rewind() { f_Pos = 0; }

  protected:
    uint8_t ReadSource(char* aBuf, int aMaxLen, int& aRead) override {
        aRead =
            static_cast<int>(std::min<size_t>(static_cast<size_t>(aMaxLen), f_Data.size() - f_Pos));
        std::memcpy(aBuf, f_Data.data() + f_Pos, static_cast<size_t>(aRead));
        f_Pos += static_cast<size_t>(aRead);
        return kReadData;
    }

  private:
    std::string f_Data;
    size_t f_Pos = 0;
};

void BM_BufferedLines(benchmark::State& state) {
    std::string data;
    for (int i = 0; i < 40; ++i)
        data += "TM:some text message for the network " + std::to_string(i) + "\r\n";
    MemoryCollector c(data);
    c.Timeout = TCollectorBase::kNoTimeout;
    int64_t lines = 0;
    for (auto _ : state) {
        c.Clear();
        c.Rewind();
        while (c.StartBufStringAndCheck(2000, 0) == colr_Ready) ++lines;
    }
    state.SetItemsProcessed(lines);
}
BENCHMARK(BM_BufferedLines);

// The same lines assembled into the collector's own string.
void BM_OwnStringLines(benchmark::State& state) {
    std::string data;
    for (int i = 0; i < 40; ++i)
        data += "TM:some text message for the network " + std::to_string(i) + "\r\n";
    MemoryCollector c(data);
    c.Timeout = TCollectorBase::kNoTimeout;
    int64_t lines = 0;
    for (auto _ : state) {
        c.Clear();
        c.Rewind();
        for (;;) {
            c.StartStringFromTick(2000, 0);
            if (c.CheckCollectorWithTick(0) != colr_Ready) break;
            ++lines;
        }
    }
    state.SetItemsProcessed(lines);
}
BENCHMARK(BM_OwnStringLines);

}  // namespace
