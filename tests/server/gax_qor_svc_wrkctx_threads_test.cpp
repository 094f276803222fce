// The interrupt word and the disconnect cause under concurrent writers: a
// request bit set while the worker clears what it read is never lost, and of
// two causes set at once exactly the first stored one stays.
#include "server/gax_qor_svc_wrkctx.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace gax;
using Cause = TQORSVCDisconnectCause;

class BareCtx final : public TQORSVCWrkCtx {
  public:
    BareCtx() : TQORSVCWrkCtx(nullptr, INVALID_SOCKET_HANDLE, std::string(4, '\0'), 1) {}
    void vExecStart(TQORSVCStepParams&) override {}
    TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams&) override { return wer__OK; }
    TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams&) override { return wer__OK; }
    bool vExecTimeout(TQORSVCStepParams&) override { return false; }
};

// Two setters each post their own bit again only after the consumer took the
// previous one; a consumer that lost a bit would leave its setter waiting.
TEST(WrkCtxThreads, NoInterruptBitIsLostWhileTheWorkerClears) {
    constexpr int kRounds = 20000;
    BareCtx c;
    const uint16_t bits[2] = {ifl_Flush, ifl_Terminate};
    std::atomic<int> taken[2] = {0, 0};
    std::atomic<bool> stop{false};

    std::thread consumer([&] {
        while (!stop.load()) {
            const uint32_t v = c.TakeIntrFlags();
            for (int j = 0; j < 2; ++j)
                if (IntrFlagOf(v) & bits[j]) taken[j].fetch_add(1);
        }
    });
    std::vector<std::thread> setters;
    std::atomic<bool> stuck{false};
    for (int j = 0; j < 2; ++j) {
        setters.emplace_back([&, j] {
            for (int k = 1; k <= kRounds; ++k) {
                c.SetIntrFlags(bits[j]);
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (taken[j].load() < k) {
                    if (std::chrono::steady_clock::now() > deadline) {
                        stuck.store(true);
                        return;
                    }
                    std::this_thread::yield();
                }
            }
        });
    }
    for (auto& t : setters) t.join();
    stop.store(true);
    consumer.join();
    EXPECT_FALSE(stuck.load());
    EXPECT_EQ(taken[0].load(), kRounds);
    EXPECT_EQ(taken[1].load(), kRounds);
}

TEST(WrkCtxThreads, FirstOfTwoConcurrentCausesIsKept) {
    constexpr int kRounds = 500;
    for (int i = 0; i < kRounds; ++i) {
        BareCtx c;
        std::atomic<bool> go{false};
        bool won[2] = {false, false};
        const Cause causes[2] = {Cause::fsdc_AdminBlock, Cause::fsdc_ServerStopped};
        std::thread a([&] {
            while (!go.load()) {
            }
            won[0] = c.DisconnectCauseW(causes[0]);
        });
        std::thread b([&] {
            while (!go.load()) {
            }
            won[1] = c.DisconnectCauseW(causes[1]);
        });
        go.store(true);
        a.join();
        b.join();
        ASSERT_NE(won[0], won[1]) << i;
        ASSERT_EQ(c.DisconnectCauseR(), won[0] ? causes[0] : causes[1]) << i;
    }
}

}  // namespace
