// Many command connections at once on two workers, the test's own thread
// answering for the heartbeat: every list answer reaches the connection that
// asked, and nothing races (run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/cmdctx_test_support.h"

namespace {

using namespace gax;
using namespace cmd_test;

TEST(CommandCtxThreads, FiftyConnectionsEachGetTheirOwnAnswer) {
    constexpr int kConns = 50;
    FakeCmdHost host;
    TQORSVCWorker w1(&host, false, 0), w2(&host, false, 1);
    w1.Start();
    w2.Start();
    std::vector<std::unique_ptr<Conn>> conns;
    for (int i = 0; i < kConns; ++i) conns.push_back(std::make_unique<Conn>(host, i % 2 ? w1 : w2));

    // Each asker sends an immediate request and one the "heartbeat" answers.
    std::vector<std::string> got(kConns);
    std::vector<std::thread> askers;
    for (int i = 0; i < kConns; ++i) {
        askers.emplace_back([&, i] {
            const int fd = conns[i]->peer;
            const std::string req = "00X:00\r\n00C:00\r\n";
            (void)::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
            // Two list answers of one line each: four line ends.
            const TGaxTick32 t0 = GetTick32();
            auto lineEnds = [&] {
                size_t n = 0;
                for (size_t p = got[i].find("\r\n"); p != std::string::npos;
                     p = got[i].find("\r\n", p + 2))
                    ++n;
                return n;
            };
            while (lineEnds() < 4 && TickDiff32(t0, GetTick32()) < 10000)
                if (!ReadAtLeast(fd, got[i], got[i].size() + 1, 10000)) break;
            ::shutdown(fd, SHUT_WR);
        });
    }
    int answered = 0;
    size_t seen = 0;
    const TGaxTick32 start = GetTick32();
    while (answered < kConns && TickDiff32(start, GetTick32()) < 10000) {
        host.WaitRecord(Cmd::snc_ChannelListServer, 200);
        for (; seen < host.records.size(); ++seen) {
            const auto& rec = *host.records[seen];
            if (rec.nqr_Cmd != Cmd::snc_ChannelListServer) continue;
            for (auto& c : conns) {
                if (!rec.nqr_Context.Is(static_cast<const TQORSVCWrkCtx*>(c->ctx.get())) ||
                    rec.nqr_GlobalKey != c->ctx->CtxGlobalKey())
                    continue;
                c->Answer("+1\r\nkey " + std::to_string(rec.nqr_GlobalKey) + "\r\n");
                ++answered;
            }
        }
    }
    EXPECT_EQ(answered, kConns);
    for (auto& t : askers) t.join();
    const std::string pidPart = "+1\r\n" + std::to_string(::getpid()) + "\r\n";
    for (int i = 0; i < kConns; ++i) {
        EXPECT_EQ(got[i], pidPart + "+1\r\nkey " + std::to_string(conns[i]->ctx->CtxGlobalKey()) +
                              "\r\n")
            << "connection " << i;
    }
    conns.clear();  // each waits for its context's stop
    w1.WorkerForceAbortThread();
    w2.WorkerForceAbortThread();
    w1.Join();
    w2.Join();
}

}  // namespace
