// Churn with a worker thread: clients connect, attach and leave at random
// moments of their admission while a second thread plays their workers (it
// ORs the leaving bit in as an abort would, then hands the disconnect over).
// Every context ends freed exactly once, on the heartbeat thread, and the
// network empty; ThreadSanitizer checks the flag words' hand-offs.
#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "foundation/gax_mlang.h"
#include "networks/gax_qor_svc_network.h"
#include "server/session_test_support.h"

namespace {

using namespace gax;
using namespace session_test;

struct Host : TQORSVCNetHost {
    void NetHostListChanged(TQORSVCListKind) override {}
    void NetHostLog(std::u16string) override {}
};

struct Client : TestSession {
    Client(FakeService& aSvc, TQORGlobalKey aKey, int& aFreed)
        : TestSession(aSvc, aKey), freed(aFreed) {}
    ~Client() override { ++freed; }
    int& freed;  // heartbeat thread only
};

// What the worker posts back: attach, or disconnect (the context is the
// network's from then on and the worker never touches it again).
struct Post {
    Client* Ctx;
    bool Disconnect;
};

TEST(NetworkThreads, ChurnOf2000ClientsFreesEveryContextOnce) {
    // This thread plays the heartbeat; the worker thread below plays the workers.
    TQORRoleScope role(kHeartbeat);
    std::unique_ptr<TCharsetsCodeList> codes = CreateCharsetsCodeList();
    TQORServiceNetOptions serv;
    FakeService svc;
    svc.level = 0;
    Host host;
    TQORNetworksList frames(codes.get());
    frames.MakeTestNetwork(serv);
    TQORServNetworkRec rec;
    rec.snr_NetworkNameUCS2 = u"Test";
    InitNetworkOptionsFromDefaults(serv, rec.snr_Options);
    rec.snr_Options.no_QuarantineTicks = 300;
    rec.snr_Options.no_NetMaxClients = 400;
    auto net = std::make_unique<TQORServNetwork>(rec, serv, codes.get(), host, svc, frames);
    svc.def = net.get();
    svc.nets = {net.get()};

    constexpr int kClients = 2000;
    std::mutex mu;
    std::deque<Client*> toWorker;
    std::deque<Post> toHeartbeat;
    bool done = false;

    std::thread worker([&] {
        std::mt19937 rnd(7);
        std::vector<Client*> mine;
        for (;;) {
            {
                std::lock_guard<std::mutex> g(mu);
                while (!toWorker.empty()) {
                    mine.push_back(toWorker.front());
                    toWorker.pop_front();
                }
                if (done && mine.empty()) return;
            }
            for (size_t i = 0; i < mine.size();) {
                Client* c = mine[i];
                const unsigned r = rnd() % 6;
                if (r == 0) {
                    std::lock_guard<std::mutex> g(mu);
                    toHeartbeat.push_back({c, false});
                } else if (r == 1) {
                    c->CtxFlagsSet(QOR_CF_LEAVING);
                    std::lock_guard<std::mutex> g(mu);
                    toHeartbeat.push_back({c, true});
                    mine[i] = mine.back();
                    mine.pop_back();
                    continue;
                }
                ++i;
            }
            std::this_thread::yield();
        }
    });

    int freed = 0;
    int made = 0;
    int disconnected = 0;
    uint32_t tick = 1000;
    TQORGlobalKey key = 1;
    auto push = [&](TQORServNetworkCommand aCmd, Client* aCtx) GAX_REQUIRES(kHeartbeat) {
        auto r = std::make_unique<TQORSVCNetQueueRecord>();
        r->nqr_Cmd = aCmd;
        ASSERT_TRUE(net->NetQueuePushCtx(r, aCtx));
    };
    for (int round = 0; disconnected < kClients; ++round) {
        std::vector<Client*> fresh;
        for (int k = 0; k < 4 && made < kClients; ++k, ++made) {
            auto* c = new Client(svc, ++key, freed);
            c->Connect(Tag("VX", "2014004") + Tag("EA", "u" + std::to_string(made % 500) + "@b.c") +
                       Tag("PW", "pw") + Tag("ON", "C" + std::to_string(made)) +
                       Tag("BC", "PC Only") + Tag("CT", "City") + Tag("NN", "Country") +
                       Tag("NT", "Test"));
            push(TQORServNetworkCommand::snc_HandshakeClient, c);
            fresh.push_back(c);
        }
        net->NetHeartBeat(false, tick);
        std::deque<Post> posts;
        {
            std::lock_guard<std::mutex> g(mu);
            for (Client* c : fresh) toWorker.push_back(c);
            if (made == kClients) done = true;
            posts.swap(toHeartbeat);
        }
        for (const Post& p : posts) {
            push(p.Disconnect ? TQORServNetworkCommand::snc_ClientDisconnected
                              : TQORServNetworkCommand::snc_AttachNetwork,
                 p.Ctx);
            if (p.Disconnect) ++disconnected;
            if (net->NetCmdsCount() > 100) net->NetHeartBeat(false, tick);
        }
        tick += 100;
        net->NetHeartBeat(round % 5 == 0, tick);
    }
    worker.join();
    for (int i = 0; i < 3; ++i) {
        tick += 500;
        net->NetHeartBeat(true, tick);
    }
    EXPECT_EQ(freed, kClients);
    EXPECT_EQ(net->VisibleCount(), 0u);
    for (const char* h : {"ATTACH", "APPROVED", "QUARANTINE", "NEWBIE", "DELETE", "EXTRA DISPOSE",
                          "dispose"}) {
        EXPECT_EQ(net->Hold(h).Count(), 0u) << h;
    }
}

}  // namespace
