// Admission of accepted connections (limits per address, in total and by
// rate; command connections without limits) and the worker pool (slots,
// new workers, the reorder, idle and hot workers, renumbering, ending
// workers). The test thread runs the heartbeat passes; real worker threads
// serve the contexts.
#include <gtest/gtest.h>

#include "server/admit_test_support.h"

namespace admit_test {
namespace {

using DC = TQORSVCDisconnectCause;

class Admission : public AdmitFixture {};

TEST_F(Admission, PerAddressLimitMarksThenRefuses) {
    Make();
    // Live connections before the new one -> its outcome.
    struct Case {
        int live;
        bool admitted;
        bool marked;
    };
    for (const Case c : {Case{8, true, false}, Case{9, true, true}, Case{11, true, true},
                         Case{12, false, false}}) {
        Shutdown();
        log.clear();
        Make();
        for (int i = 0; i < c.live; ++i) Connect(kAddrA);
        ASSERT_EQ(svc->clients.size(), static_cast<size_t>(c.live));
        const int peer = Connect(kAddrA, 50123);
        EXPECT_EQ(svc->clients.size(), static_cast<size_t>(c.live + (c.admitted ? 1 : 0)))
            << c.live;
        if (c.admitted) {
            EXPECT_EQ(svc->clients.back()->exceededPerAddress, c.marked) << c.live;
        } else {
            EXPECT_TRUE(ClosedWithoutByte(peer));
            EXPECT_TRUE(Logged("Client: 192.0.2.7 50123 DISCONNECT_LIMIT_CONNECTS_PER_ADDRESS"));
        }
        // Another address is not concerned.
        Connect(kAddrB);
        EXPECT_FALSE(svc->clients.back()->exceededPerAddress);
    }
}

TEST_F(Admission, PerAddressCheckOffButRateStillApplies) {
    cfg.cfg_ServMaxClientConnectionsPerAddress = -1;
    Make();
    for (int i = 0; i < 13; ++i) Connect(kAddrA);
    EXPECT_EQ(svc->clients.size(), 13u);
    EXPECT_FALSE(svc->clients.back()->exceededPerAddress);

    Shutdown();
    cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 1;
    Make();
    Connect(kAddrA);
    const int peer = Connect(kAddrA, 50124);
    EXPECT_EQ(svc->clients.size(), 1u);
    EXPECT_TRUE(ClosedWithoutByte(peer));
}

TEST_F(Admission, TotalLimitCountsCommandContexts) {
    Make();
    // Live client and total counts before the new one -> its outcome.
    struct Case {
        int clients;
        int total;
        bool admitted;
        bool marked;
    };
    for (const Case c : {Case{1000, 1000, true, false}, Case{1001, 1001, true, true},
                         Case{1001, 1003, true, true}, Case{1001, 1004, false, false}}) {
        const size_t before = svc->clients.size();
        // Stand-ins for the contexts that are alive elsewhere.
        const int addClients = c.clients - svc->tmClientContextCount.load();
        const int addTotal = c.total - svc->tmTotalContextCount.load();
        svc->tmClientContextCount.fetch_add(addClients);
        svc->tmTotalContextCount.fetch_add(addTotal);
        const int peer = Connect(std::string("\x0A\x00\x00", 3) + char(before + 1), 50200);
        svc->tmClientContextCount.fetch_sub(addClients);
        svc->tmTotalContextCount.fetch_sub(addTotal);
        ASSERT_EQ(svc->clients.size(), before + (c.admitted ? 1 : 0)) << c.total;
        if (c.admitted) {
            EXPECT_EQ(svc->clients.back()->exceededTotal, c.marked) << c.total;
        } else {
            EXPECT_TRUE(ClosedWithoutByte(peer));
        }
    }
    EXPECT_TRUE(Logged("Client: 10.0.0.4 50200 DISCONNECT_LIMIT_CONNECTS_PER_SERVER"));
}

TEST_F(Admission, RateRingOfThreeIn30Seconds) {
    cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 3;
    // Uptime of each connect -> admitted. The address counter keeps refused
    // times too, so the refused 103 pushes the window for the later ones.
    struct Case {
        uint32_t uptime;
        bool admitted;
    };
    for (const auto& tail : {Case{133, true}, Case{131, false}}) {
        Shutdown();
        log.clear();
        Make();
        for (const Case c : {Case{100, true}, Case{101, true}, Case{102, true},
                             Case{103, false}, tail}) {
            AdvanceSeconds(c.uptime - Uptime());
            const size_t before = svc->clients.size();
            const int peer = Connect(kAddrA, 50300);
            EXPECT_EQ(svc->clients.size(), before + (c.admitted ? 1 : 0)) << c.uptime;
            if (!c.admitted) {
                EXPECT_TRUE(ClosedWithoutByte(peer)) << c.uptime;
            }
        }
    }
    EXPECT_TRUE(Logged("Client: 192.0.2.7 50300 DISCONNECT_TOO_FAST_CONNECTIONS"));
}

TEST_F(Admission, CommandConnectionsBypassEveryLimit) {
    cfg.cfg_ServMaxClientConnectionsPerAddress = 1;
    cfg.cfg_LimitConnectionsOverhead = 0;
    cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 1;
    Make();
    Connect(kAddrA);
    svc->tmClientContextCount.fetch_add(5000);
    svc->tmTotalContextCount.fetch_add(5000);
    for (int i = 0; i < 3; ++i) Connect(std::string("\x7F\x00\x00\x01", 4), 50400, true);
    svc->tmClientContextCount.fetch_sub(5000);
    svc->tmTotalContextCount.fetch_sub(5000);
    EXPECT_EQ(svc->commands.size(), 3u);
    EXPECT_EQ(svc->tmCommandContextCount.load(), 3);
    ASSERT_TRUE(PumpUntil([&] {
        for (auto* c : svc->commands)
            if (!c->started.load()) return false;
        return true;
    }));
}

TEST_F(Admission, FactoryFailureRefusesWithItsMessageAndKeepsNoBooks) {
    Make();
    svc->failNextClient = [] { throw Exception("no session today"); };
    const int peer = Connect(kAddrA, 50500);
    EXPECT_TRUE(ClosedWithoutByte(peer));
    EXPECT_TRUE(Logged("Client: 192.0.2.7 50500 DISCONNECT_INTERNAL_ERROR: no session today"));
    EXPECT_EQ(svc->tmClientContextCount.load(), 0);
    // The address was not registered: eight more are admitted unmarked.
    for (int i = 0; i < 9; ++i) Connect(kAddrA);
    EXPECT_FALSE(svc->clients.back()->exceededPerAddress);
}

TEST_F(Admission, AContextReachesItsWorkerAndItsEndFreesTheBooks) {
    Make();
    const int peer = Connect(kAddrA);
    ASSERT_EQ(svc->clients.size(), 1u);
    ASSERT_TRUE(PumpUntil([&] { return svc->clients[0]->started.load(); }));
    EXPECT_EQ(svc->tmClientContextCount.load(), 1);
    ::shutdown(peer, SHUT_RDWR);
    ASSERT_TRUE(PumpUntil([&] { return svc->tmClientContextCount.load() == 0; }));
    EXPECT_EQ(Held(), std::vector<int>{0});
    {
        TQORRoleScope role(kHeartbeat);
        EXPECT_EQ(svc->tmUndefinedCount(), 0);
    }
    // Its address counts no live connection any more: of ten new ones the
    // ninth (eight live before it) is unmarked and the tenth marked.
    for (int i = 0; i < 10; ++i) Connect(kAddrA);
    EXPECT_FALSE(svc->clients[9]->exceededPerAddress);
    EXPECT_TRUE(svc->clients[10]->exceededPerAddress);
}

// ---------------------------------------------------------------- worker pool

class WorkerPool : public AdmitFixture {};

TEST_F(WorkerPool, ContextsFillTheFirstWorkerThenANewOne) {
    Make();
    for (int i = 0; i < 5; ++i) Connect(kAddrA);
    EXPECT_EQ(Held(), (std::vector<int>{2, 2, 1}));
    EXPECT_EQ(svc->tmWorkerCount.load(), 3);
}

TEST_F(WorkerPool, ReorderMovesOneContextDownEveryThreeSeconds) {
    Make();
    std::vector<int> peers5;
    for (int i = 0; i < 5; ++i) peers5.push_back(Connect(kAddrA));
    ASSERT_TRUE(PumpUntil([&] {
        for (auto* c : svc->clients)
            if (!c->started.load()) return false;
        return true;
    }));
    // The first worker's two contexts end: it has two free slots.
    ::shutdown(peers5[0], SHUT_RDWR);
    ::shutdown(peers5[1], SHUT_RDWR);
    ASSERT_TRUE(PumpUntil([&] { return Held() == std::vector<int>({0, 2, 1}); }));
    // 2 s: no reorder yet.
    AdvanceSeconds(2);
    EXPECT_EQ(Held(), (std::vector<int>{0, 2, 1}));
    // 3 s: the last worker's context moves to worker 0.
    AdvanceSeconds(1);
    ASSERT_TRUE(PumpUntil([&] { return Held() == std::vector<int>({1, 2, 0}); }));
    ASSERT_TRUE(PumpUntil([&] { return svc->clients[4]->moved.load() == 1; }));
    // The empty last worker idles for its cache time (1 s) and ends.
    ASSERT_TRUE(PumpUntil([&] { return svc->tmWorkerCount.load() == 2; }));
    EXPECT_EQ(Held(), (std::vector<int>{1, 2}));
}

TEST_F(WorkerPool, IdleWorkersEndButTheHotOneStays) {
    for (const bool hot : {false, true}) {
        Shutdown();
        cfg.cfg_KeepHotWorkerThread = hot;
        Make();
        std::vector<int> ps;
        for (int i = 0; i < 4; ++i) ps.push_back(Connect(kAddrA));
        ASSERT_EQ(svc->tmWorkerCount.load(), 2);
        for (int p : ps) ::shutdown(p, SHUT_RDWR);
        ASSERT_TRUE(PumpUntil([&] { return svc->tmWorkerCount.load() == (hot ? 1 : 0); }))
            << hot;
        // Another cache time passes: the hot worker is still there.
        clock.Set(clock.Tick() + 1500);
        ASSERT_FALSE(PumpUntil([&] { return svc->tmWorkerCount.load() == 0; }, 2000) && hot);
    }
}

TEST_F(WorkerPool, StartHotMakesOneWorkerOnlyWhenConfiguredAndNoneExists) {
    Make();
    svc->Poster().ServQueue_WorkerStartHot();
    Pass();
    EXPECT_EQ(svc->tmWorkerCount.load(), 0);
    Shutdown();
    cfg.cfg_KeepHotWorkerThread = true;
    Make();
    svc->Poster().ServQueue_WorkerStartHot();
    svc->Poster().ServQueue_WorkerStartHot();
    Pass();
    ASSERT_EQ(Workers().size(), 1u);
    EXPECT_TRUE(Workers()[0].Hot);
}

TEST_F(WorkerPool, RenumberingAfterAMiddleWorkerEnds) {
    Make();
    std::vector<int> ps;
    for (int i = 0; i < 6; ++i) ps.push_back(Connect(kAddrA));
    const auto before = Workers();
    ASSERT_EQ(before.size(), 3u);
    ::shutdown(ps[2], SHUT_RDWR);
    ::shutdown(ps[3], SHUT_RDWR);
    ASSERT_TRUE(PumpUntil([&] { return svc->tmWorkerCount.load() == 2; }));
    const auto after = Workers();
    EXPECT_EQ(after[0].Worker, before[0].Worker);
    EXPECT_EQ(after[1].Worker, before[2].Worker);
    EXPECT_EQ(after[1].Index, 1);
    EXPECT_EQ(TQORSVCWorker::WorkerName(after[1].Index), u"Worker[001]: ");
}

TEST_F(WorkerPool, AConnectionWhileAWorkerEndsGoesToAnother) {
    Make();
    const int p = Connect(kAddrA);
    ::shutdown(p, SHUT_RDWR);
    ASSERT_TRUE(PumpUntil([&] { return Held() == std::vector<int>{0}; }));
    const TQORSVCWorker* first = Workers()[0].Worker;
    // The idle report arrives after the cache time; the worker is marked
    // ending before its terminated record comes back.
    ASSERT_TRUE(PumpUntil([&] { return Workers().empty() || Workers()[0].Ending; }));
    Connect(kAddrB);
    const auto now = Workers();
    ASSERT_FALSE(now.empty());
    EXPECT_FALSE(now.back().Ending);
    EXPECT_EQ(now.back().Capacity - now.back().Free, 1);
    ASSERT_TRUE(PumpUntil([&] { return svc->clients.back()->started.load(); }));
    // The ending worker leaves; the one serving the connection stays.
    ASSERT_TRUE(PumpUntil([&] { return svc->tmWorkerCount.load() == 1; }));
    EXPECT_EQ(Held(), std::vector<int>{1});
    (void)first;
}

}  // namespace
}  // namespace admit_test
