// The client's road end to end: a service with the built-in networks listens
// on loopback, three stations join "Test" over TCP, one takes the floor and
// talks, the others hear every frame byte for byte and in order, all leave
// and the service stops with every context freed (ASan sees any leak).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "networks/service_test_support.h"
#include "sockets/gax_snps_asyncwriter.h"

namespace {

using namespace service_test;

TEST(ClientRoad, ThreeStationsJoinTestAndTwoHearEveryFrameOfTheThird) {
    LoopbackService srv(LoopbackConfig());
    srv.svc->SetLogClientLevel(9);
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv);
    ASSERT_TRUE(srv.svc->Networks().UsesTestSet());
    ASSERT_TRUE(srv.Start());

    QorConnection conn[3];
    for (int i = 0; i < 3; ++i) {
        HandshakeAnswer a;
        ASSERT_TRUE(srv.Join(
            conn[i],
            Station("station" + std::to_string(i) + "@example.org", "ST" + std::to_string(i)),
            ConnectForm::Ansi, &a))
            << i;
        EXPECT_EQ(a.Network(), "Test");
    }
    // The three stations and the Parrot of "Test".
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(WaitForListOf(conn[i], 4)) << i;

    ASSERT_TRUE(conn[0].SendAll(CmdTx0(), 5000));
    std::string frame;
    ASSERT_EQ(conn[0].WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    std::vector<std::string> sent;
    for (int n = 0; n < 10; ++n) {
        std::string payload(kSoundPayload, '\0');
        for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<char>(n * 31 + k);
        const std::string cmd = CmdSound(payload);
        ASSERT_TRUE(conn[0].SendAll(cmd, 5000));
        sent.push_back(payload);
    }
    ASSERT_TRUE(conn[0].SendAll(CmdRx0(), 5000));
    for (int i = 1; i < 3; ++i) {
        for (int n = 0; n < 10; ++n) {
            ASSERT_EQ(conn[i].WaitForFrame(kFrameSound, frame, 20000), ReadStatus::Ok)
                << i << " " << n;
            ASSERT_EQ(frame.size(), kSoundFrame);
            EXPECT_EQ(frame.substr(kSoundFrame - kSoundPayload), sent[n]) << i << " " << n;
        }
    }

    for (auto& c : conn) c.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
    srv.Stop();
    EXPECT_TRUE(srv.svc->ServiceThreadFinished());
}

// The heartbeat sleeps while nothing is due: with no station in any network
// it makes (about) no wake-up, where the 100 ms grid made ten a second. With
// a member it still pings every 500 ms, and wakes little more than for the
// pings; the member's worker does not wake for them.
TEST(ClientRoad, TheHeartbeatWakesOnlyForWorkAndStillPingsEvery500Ms) {
    LoopbackService srv(LoopbackConfig());
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv);
    ASSERT_TRUE(srv.Start());

    // A station comes and goes first, so that the start's own work is done
    // and its worker has been made.
    {
        QorConnection c;
        ASSERT_TRUE(srv.Join(c, Station("early@example.org", "EARLY")));
        ASSERT_TRUE(WaitForListOf(c, 2));  // the station and the Parrot
    }
    ASSERT_TRUE(srv.WaitForNoClients());
    // Its leaving is the last work: once two wakes pass without a client the
    // heartbeat has nothing more to do.
    const uint64_t idle0 = srv.svc->HeartbeatWakes();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const uint64_t idleWakes = srv.svc->HeartbeatWakes() - idle0;
    EXPECT_LE(idleWakes, 2u) << "the 100 ms grid would have made 15";

    QorConnection conn;
    ASSERT_TRUE(srv.Join(conn, Station("member@example.org", "MEMBER")));
    ASSERT_TRUE(WaitForListOf(conn, 2));
    std::string frame;
    using Clock = std::chrono::steady_clock;
    ASSERT_EQ(conn.WaitForFrame(kFrameEndTx, frame, 20000), ReadStatus::Ok);
    const uint64_t wakes0 = srv.svc->HeartbeatWakes();
    const uint64_t workerWakes0 = srv.svc->WorkerWakes();
    const auto t0 = Clock::now();
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(conn.WaitForFrame(kFrameEndTx, frame, 20000), ReadStatus::Ok) << i;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    const uint64_t wakes = srv.svc->HeartbeatWakes() - wakes0;
    // The heartbeat sends the pings to an idle member itself: the member's
    // worker wakes only for its time-out checks, once a second.
    const uint64_t workerWakes = srv.svc->WorkerWakes() - workerWakes0;
    EXPECT_LE(workerWakes, static_cast<uint64_t>(ms / 1000 + 2))
        << "a worker woken for each of the 4 pings";
    // Four pings never come sooner than 500 ms apart (a few ms of scheduling
    // either side), and do come (the generous bound is for a sanitizer build
    // on a loaded machine).
    EXPECT_GE(ms, 1900);
    EXPECT_LE(ms, 8000);
    EXPECT_GE(wakes, 4u);
    EXPECT_LE(wakes, 8u) << "the 100 ms grid would have made about 20";
    conn.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

// Idle members' keep-alives are read in batches, and still count: members
// send "P" at their own phases past the activity time-out while one member
// stays silent. The silent one is dropped; every member that sent "P" stays,
// and the workers woke a small fraction of the once per "P" that reading each
// at once costs. An idle member's close is still seen, and an idle member
// still gets the floor and its first sound frame reaches the others.
TEST(ClientRoad, IdleMembersKeepAlivesAreReadInBatchesAndStillKeepThemIn) {
    TQORServiceConfig cfg = LoopbackConfig();
    cfg.ClientActivityTimeout = 3;
    cfg.cfg_ServMaxClientConnectionsPerAddress = 32;
    LoopbackService srv(cfg);
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv);
    ASSERT_TRUE(srv.Start());

    constexpr int kMembers = 16;  // the last one stays silent
    std::vector<std::unique_ptr<QorConnection>> conn;
    for (int i = 0; i < kMembers; ++i) {
        conn.push_back(std::make_unique<QorConnection>());
        ASSERT_TRUE(srv.Join(*conn.back(), Station("m" + std::to_string(i) + "@example.org",
                                                   "M" + std::to_string(i))))
            << i;
    }
    ASSERT_TRUE(WaitFor([&] { return srv.svc->tmClientContextCount.load() == kMembers; }));

    const uint64_t wakes0 = srv.svc->WorkerWakes();
    int sent = 0;
    // Until the silent member's activity time-out has dropped it.
    while (srv.svc->tmClientContextCount.load() == kMembers) {
        for (int i = 0; i + 1 < kMembers; ++i) {
            ASSERT_TRUE(conn[i]->SendAll(CmdKeepAlive(), 5000)) << i;
            ++sent;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_LT(sent, 200000) << "the silent member was never dropped";
    }
    const uint64_t wakes = srv.svc->WorkerWakes() - wakes0;
    EXPECT_EQ(srv.svc->tmClientContextCount.load(), kMembers - 1);
    EXPECT_GE(sent, 1000);
    EXPECT_LE(wakes * 5, static_cast<uint64_t>(sent))
        << wakes << " worker wakes for " << sent << " keep-alives";

    // An idle member leaves: its close is seen.
    conn[kMembers - 2]->Close();
    ASSERT_TRUE(WaitFor([&] { return srv.svc->tmClientContextCount.load() == kMembers - 2; }));

    // An idle member takes the floor and talks; another hears the first frame.
    std::string frame;
    ASSERT_TRUE(conn[0]->SendAll(CmdTx0(), 5000));
    ASSERT_EQ(conn[0]->WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    const std::string payload(kSoundPayload, 'S');
    ASSERT_TRUE(conn[0]->SendAll(CmdSound(payload), 5000));
    ASSERT_EQ(conn[1]->WaitForFrame(kFrameSound, frame, 20000), ReadStatus::Ok);
    EXPECT_EQ(frame.substr(frame.size() - kSoundPayload), payload);
    for (auto& c : conn) c->Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

// A client list is built once and goes to every member from the same bytes:
// stations that ask for the same form read the same frame, byte for byte,
// long enough to be held by reference in their output buffers.
TEST(ClientRoad, StationsOfOneListFormReadTheSameListBytes) {
    LoopbackService srv(LoopbackConfig());
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv);
    ASSERT_TRUE(srv.Start());

    constexpr int kStations = 5;
    QorConnection conn[kStations];
    for (int i = 0; i < kStations; ++i) {
        ConnectFields f =
            Station("member" + std::to_string(i) + "@example.org", "MB" + std::to_string(i));
        f.Description = std::string(300, static_cast<char>('a' + i));
        ASSERT_TRUE(srv.Join(conn[i], f)) << i;
    }
    // The stations and the Parrot of "Test".
    std::vector<std::string> lists(kStations);
    for (int i = 0; i < kStations; ++i) {
        std::string frame;
        for (;;) {
            ASSERT_EQ(conn[i].ReadFrame(frame, 20000), ReadStatus::Ok) << i;
            if (ListCount(frame) == kStations + 1) break;
        }
        lists[static_cast<size_t>(i)] = frame;
    }
    ASSERT_GE(lists[0].size(), kAsyncWriterCopyBelow);
    for (int i = 0; i < kStations; ++i) {
        EXPECT_TRUE(lists[static_cast<size_t>(i)] == lists[0]) << i;
        EXPECT_NE(lists[0].find("MB" + std::to_string(i)), std::string::npos) << i;
    }

    for (auto& c : conn) c.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
    srv.Stop();
}

}  // namespace
