// Moves between networks and the ping's session checks, end to end over TCP:
// a service with four networks listens on loopback; a network owner moves a
// station with "MVU:" (for good, for a while and back, into a full network),
// stations that leave while they are being moved are freed once (ASan), and
// the ping ends sessions that ran out of time or stopped reading. A station
// keeps sending lines while two owners move it back and forth (TSan: the
// move's re-admission writes nothing the station's worker reads), and an
// owner that moves itself into another network and pipelines owner commands
// behind the move gets no rights there.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "networks/service_test_support.h"
#include "protocol/gax_qor_fields.h"

namespace {

using namespace service_test;

std::string CmdMove(std::string_view aId, std::string_view aNetwork, int32_t aSeconds) {
    return "MVU:" + HexLenStr(aId) + HexLenStr(aNetwork) + HexLenIntToStr(aSeconds) + "\r\n";
}

// An admin or owner command that names a client by its id.
std::string Tagged(const char* aCmd, const std::string& aId) {
    return std::string(aCmd) + "<IP>" + aId + "</IP>\r\n";
}

constexpr const char* kOwner = "boss@example.org";

// Many stations from 127.0.0.1, and a short activity time-out where a test
// wants one.
TQORServiceConfig MoveConfig(int32_t aActivityTimeout) {
    TQORServiceConfig cfg = LoopbackConfig();
    cfg.ClientActivityTimeout = aActivityTimeout;
    cfg.cfg_ServMaxClientConnectionsPerAddress = 0;
    cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 10000;
    // A hard cap far away: a slow reader is left to the ping's rule.
    cfg.cfg_ServOutputBufferLimit = 16 << 20;
    cfg.cfg_ServOutputBufferFactor = 4;
    return cfg;
}

// A running service with the networks of aNetworksFile, its log kept.
class Server : public LoopbackService {
  public:
    explicit Server(const std::string& aNetworksFile, int32_t aActivityTimeout = 60)
        : LoopbackService(MoveConfig(aActivityTimeout)) {
        f_Path = ::testing::TempDir() + "moves_networks_" +
                 std::to_string(reinterpret_cast<uintptr_t>(this)) + ".cfg";
        std::ofstream(f_Path) << aNetworksFile;
        svc->SetLogClientLevel(9);
        TQORServiceNetOptions serv;
        serv.sno_LogClientLevel = 9;
        svc->LoadNetworks(serv, Utf8StrToUnicode(f_Path));
        EXPECT_TRUE(Start());
    }
    ~Server() {
        Stop();
        std::remove(f_Path.c_str());
    }

    // Joins aNetwork; the answer's client id in aId, the whole answer in aAnswer.
    ::testing::AssertionResult Join(QorConnection& aConn, const std::string& aEmail,
                                    const std::string& aNetwork, std::string* aId = nullptr,
                                    HandshakeAnswer* aAnswer = nullptr) {
        ConnectFields f = Station(aEmail, "C" + std::to_string(++f_Joins), aNetwork);
        // Extensions are granted to UTF-8 clients with a list format; the
        // count list is what the test reads.
        f.ExtFlags = QOR_LIST_FORMAT_COUNT | QOR_EXT_MOVE_CLIENT | QOR_EXT_NET_CHANGE_INFO;
        HandshakeAnswer a;
        ::testing::AssertionResult r = LoopbackService::Join(aConn, f, ConnectForm::Utf8, &a);
        if (r && aId != nullptr) *aId = a.ClientId();
        if (r && aAnswer != nullptr) *aAnswer = a;
        return r;
    }

    // Reads an internal-flags file of aText and hands it to the heartbeat.
    void ApplyIntFlags(const std::string& aText) {
        const std::string path = f_Path + ".intflags";
        std::ofstream(path) << aText;
        auto p = std::make_unique<TQORSVCIntFlagsPayload>();
        p->Cfg = ReadIntFlagsFile(svc->Networks(), Utf8StrToUnicode(path));
        std::remove(path.c_str());
        svc->Poster().ServQueue_ApplyServIntFlags(std::move(p));
    }

  private:
    std::string f_Path;
    int f_Joins = 0;
};

constexpr const char* kNetworks =
    "Test|OwnerEMail=boss@example.org\n"
    "Other\n"
    "Small|MaxClients=1\n";

TEST(MoveClient, OwnerMovesAStationForGoodAndForAWhileAndNotIntoAFullNetwork) {
    Server srv(kNetworks);
    QorConnection owner, moved, other, sitter;
    std::string movedId;
    ASSERT_TRUE(srv.Join(owner, kOwner, "Test"));
    ASSERT_TRUE(srv.Join(moved, "moved@example.org", "Test", &movedId));
    ASSERT_TRUE(srv.Join(other, "other@example.org", "Other"));
    ASSERT_TRUE(srv.Join(sitter, "sitter@example.org", "Small"));
    ASSERT_TRUE(WaitForListOf(owner, 2));
    ASSERT_TRUE(WaitForListOf(moved, 2));
    ASSERT_TRUE(WaitForListOf(other, 1));

    // Small is full: the station stays in Test, so the next move (whose
    // source is Test) still finds it there.
    ASSERT_TRUE(owner.SendAll(CmdMove(movedId, "Small", 0), 5000));
    // A network is found whatever the letter case of its name.
    ASSERT_TRUE(owner.SendAll(CmdMove(movedId, "oTHER", 0), 5000));
    std::string frame;
    ASSERT_EQ(moved.WaitForFrame(kFrameNetChange, frame, 20000), ReadStatus::Ok);
    EXPECT_NE(frame.find("Other"), std::string::npos);
    // The new network's speech limit travels with it.
    EXPECT_NE(frame.find("<TT>300</TT>"), std::string::npos) << frame;
    EXPECT_TRUE(WaitForListOf(other, 2));
    EXPECT_TRUE(WaitForListOf(owner, 1));
    EXPECT_TRUE(WaitForListOf(moved, 2));
    EXPECT_TRUE(srv.LogHas("MOVE NetTo=`Other`"));
    // The arrival's line reaches the log through the service thread.
    EXPECT_TRUE(WaitFor([&] { return srv.LogHas("MOVED NetFrom=`Test`"); }));
    EXPECT_TRUE(srv.LogHas(" LOGIN EMail="));

    // A moved station can talk in its new network.
    ASSERT_TRUE(moved.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(moved.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    ASSERT_TRUE(moved.SendAll(CmdSound(std::string(kSoundPayload, 's')), 5000));
    ASSERT_EQ(other.WaitForFrame(kFrameSound, frame, 20000), ReadStatus::Ok);
    ASSERT_TRUE(moved.SendAll(CmdRx0(), 5000));

    // For one second: a second station goes to Other and comes home by itself.
    std::string tempId;
    QorConnection owner2;
    ASSERT_TRUE(srv.Join(owner2, "boss2@example.org", "Test", &tempId));
    ASSERT_TRUE(WaitForListOf(owner, 2));
    ASSERT_TRUE(owner.SendAll(CmdMove(tempId, "Other", 1), 5000));
    ASSERT_EQ(owner2.WaitForFrame(kFrameNetChange, frame, 20000), ReadStatus::Ok);
    EXPECT_NE(frame.find("Other"), std::string::npos);
    ASSERT_EQ(owner2.WaitForFrame(kFrameNetChange, frame, 20000), ReadStatus::Ok);
    EXPECT_NE(frame.find("Test"), std::string::npos);
    EXPECT_TRUE(WaitForListOf(owner, 2));
    EXPECT_TRUE(srv.LogHas("MOVE_TEMP Time=`1` NetTo=`Other`"));
    EXPECT_TRUE(srv.LogHas("MOVE_AUTO_BACK NetTo=`Test`"));

    for (QorConnection* c : {&owner, &moved, &other, &sitter, &owner2}) c->Close();
    EXPECT_TRUE(WaitFor([&] { return srv.svc->tmClientContextCount.load() == 0; }));
}

TEST(MoveClient, StationsThatLeaveWhileTheyAreMovedAreFreedOnce) {
    Server srv(kNetworks);
    QorConnection owner, watcher;
    ASSERT_TRUE(srv.Join(owner, kOwner, "Test"));
    ASSERT_TRUE(srv.Join(watcher, "watcher@example.org", "Other"));
    for (int round = 0; round < 16; ++round) {
        QorConnection leaver;
        std::string id;
        ASSERT_TRUE(
            srv.Join(leaver, "leaver" + std::to_string(round) + "@example.org", "Test", &id))
            << round;
        // Visible first (else the move finds nobody), then gone at once.
        ASSERT_TRUE(WaitForListOf(owner, 2)) << round;
        ASSERT_TRUE(owner.SendAll(CmdMove(id, "Other", round % 2), 5000));
        if (round % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(round % 7));
        leaver.Close();
        ASSERT_TRUE(WaitFor([&] { return srv.svc->tmClientContextCount.load() == 2; })) << round;
        ASSERT_TRUE(WaitForListOf(owner, 1)) << round;
    }
    owner.Close();
    watcher.Close();
    EXPECT_TRUE(WaitFor([&] { return srv.svc->tmClientContextCount.load() == 0; }));
}

TEST(PingChecks, SessionTimeRunsOut) {
    Server srv("Short|ClientSessionMaxTime=2s\n");
    QorConnection c;
    ASSERT_TRUE(srv.Join(c, "short@example.org", "Short"));
    const auto start = std::chrono::steady_clock::now();
    std::string frame;
    ReadStatus st = ReadStatus::Ok;
    while (st == ReadStatus::Ok) st = c.ReadFrame(frame, 20000);
    EXPECT_EQ(st, ReadStatus::Closed);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_TRUE(WaitFor([&] { return srv.LogHas("DISCONNECT_LIMIT_SESSION_TIME"); }));
}

TEST(PingChecks, AStationThatStopsReadingIsDroppedForBandwidth) {
    // A short activity time-out: over the limit for that long ends a session.
    // The same time-out ends a session whose lines stop arriving, so on a
    // machine too loaded to read the deaf station's keep-alives in time that
    // drop may come first; such a round proves nothing and is run again.
    Server srv("Room\n", 3);
    bool dropped = false;
    for (int round = 0; round < 3 && !dropped; ++round) {
        QorConnection talker, deaf;
        const std::string n = std::to_string(round);
        ASSERT_TRUE(srv.Join(talker, "talker" + n + "@example.org", "Room"));
        // Small kernel buffers on the deaf side: the backlog shows in the server.
        ASSERT_TRUE(srv.Join(deaf, "deaf" + n + "@example.org", "Room"));
        const int small = 4096;
        ::setsockopt(deaf.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ASSERT_TRUE(WaitForListOf(talker, 2));

        const std::string text(2000, 't');
        std::string frame;
        bool timedOut = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!dropped && !timedOut && std::chrono::steady_clock::now() < end) {
            std::string burst;
            for (int i = 0; i < 20; ++i) burst += CmdText(text);
            burst += CmdKeepAlive();
            ASSERT_TRUE(talker.SendAll(burst, 5000));
            (void)deaf.SendAll(CmdKeepAlive(), 5000);  // fails once it is dropped
            // The talker reads its own texts back.
            while (talker.ReadFrame(frame, 5) == ReadStatus::Ok) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            dropped = srv.LogHas("DISCONNECT_BANDWIDTH");
            timedOut = srv.LogCount("DISCONNECT_TIMEOUT EMail=`deaf") > round;
        }
        if (!dropped) continue;
        // The talker is not punished for the deaf one.
        EXPECT_TRUE(talker.SendAll(CmdKeepAlive(), 5000));
    }
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(WaitFor([&] { return srv.svc->tmClientContextCount.load() == 0; }));
}

TEST(InternalFlags, AChangedEntryDisconnectsExactlyThatClientAndAnUnchangedRereadNobody) {
    Server srv("Test\nOther\n");
    QorConnection a, b;
    std::string idA, idB;
    ASSERT_TRUE(srv.Join(a, "alpha@example.org", "Test", &idA));
    ASSERT_TRUE(srv.Join(b, "beta@example.org", "Other", &idB));
    const std::string kDrop = "DISCONNECT_NEW_INTERNAL_FLAGS";

    srv.ApplyIntFlags(idA + " * NOSERVERMESSAGES\n");
    std::string frame;
    ReadStatus st = ReadStatus::Ok;
    while (st == ReadStatus::Ok) st = a.ReadFrame(frame, 20000);
    EXPECT_EQ(st, ReadStatus::Closed);
    ASSERT_TRUE(WaitFor([&] { return srv.LogCount(kDrop) == 1; }));
    EXPECT_TRUE(srv.LogHas(kDrop + " EMail=`alpha@example.org`"));

    // Back with its new flags; the same reading again changes nobody, then
    // an entry for the other network's client ends that client only.
    a.Close();
    ASSERT_TRUE(srv.Join(a, "alpha@example.org", "Test"));
    srv.ApplyIntFlags(idA + " * NOSERVERMESSAGES\n");
    srv.ApplyIntFlags(idA + " * NOSERVERMESSAGES\n" + idB + " Other NOLIST\n");
    st = ReadStatus::Ok;
    while (st == ReadStatus::Ok) st = b.ReadFrame(frame, 20000);
    EXPECT_EQ(st, ReadStatus::Closed);
    ASSERT_TRUE(WaitFor([&] { return srv.LogCount(kDrop) == 2; }));
    EXPECT_TRUE(srv.LogHas(kDrop + " EMail=`beta@example.org`"));
    EXPECT_TRUE(a.SendAll(CmdKeepAlive(), 5000));
    EXPECT_EQ(a.ReadFrame(frame, 700), ReadStatus::Ok);  // the ping still comes
    a.Close();
    b.Close();
    EXPECT_TRUE(WaitFor([&] { return srv.svc->tmClientContextCount.load() == 0; }));
    EXPECT_EQ(srv.LogCount(kDrop), 2);
}

// Reads aConn until a network-change notice naming aNetwork arrives.
bool WaitForNetChange(QorConnection& aConn, const std::string& aNetwork, int aMs) {
    std::string frame;
    while (aConn.WaitForFrame(kFrameNetChange, frame, aMs) == ReadStatus::Ok) {
        if (frame.find(aNetwork) != std::string::npos) return true;
    }
    return false;
}

constexpr const char* kTwoOwners =
    "Alpha|OwnerEMail=alpha@example.org\n"
    "Beta|OwnerEMail=beta@example.org\n";

TEST(RightsAndMoves, AStationKeepsSendingWhileTwoOwnersMoveItBackAndForth) {
    Server srv(kTwoOwners);
    QorConnection alpha, beta, station;
    ASSERT_TRUE(srv.Join(alpha, "alpha@example.org", "Alpha"));
    ASSERT_TRUE(srv.Join(beta, "beta@example.org", "Beta"));
    std::string id;
    ASSERT_TRUE(srv.Join(station, "station@example.org", "Alpha", &id));
    ASSERT_TRUE(WaitForListOf(alpha, 2));
    ASSERT_TRUE(WaitForListOf(beta, 1));

    // Lines on the station's own socket from a thread of their own: the
    // test's thread reads the station's frames meanwhile.
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    std::thread sender([&] {
        const std::string keepAlive = CmdKeepAlive();
        const std::string text = CmdText("on the move");
        for (long i = 0; !stop.load(); ++i) {
            const std::string& line = i % 8 == 7 ? text : keepAlive;
            if (::send(station.Fd(), line.data(), line.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(line.size()))
                break;
            sent.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    bool ok = true;
    for (int move = 0; move < 20 && ok; ++move) {
        const bool toBeta = move % 2 == 0;
        QorConnection& mover = toBeta ? alpha : beta;
        QorConnection& left = toBeta ? alpha : beta;
        const std::string target = toBeta ? "Beta" : "Alpha";
        // A network that lost the station lately may still hold it until its
        // next list: the move is refused then, and asked again.
        bool arrived = false;
        for (int attempt = 0; attempt < 4 && !arrived; ++attempt) {
            ok = mover.SendAll(CmdMove(id, target, 0), 5000);
            if (!ok) break;
            arrived = WaitForNetChange(station, target, 5000);
        }
        ok = ok && arrived && WaitForListOf(left, 1);
        EXPECT_TRUE(ok) << "move " << move << " to " << target;
    }
    stop.store(true);
    sender.join();
    EXPECT_GT(sent.load(), 0);
    ASSERT_TRUE(ok);

    // Home again after an even number of moves, and still served.
    ASSERT_TRUE(WaitForListOf(alpha, 2));
    ASSERT_TRUE(station.SendAll(CmdTx0(), 5000));
    std::string frame;
    ASSERT_EQ(station.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);

    for (QorConnection* c : {&alpha, &beta, &station}) c->Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

TEST(RightsAndMoves, AnOwnerThatMovesItselfHasNoRightsInTheNetworkItJoins) {
    Server srv(kTwoOwners);
    QorConnection alpha, member, beta;
    HandshakeAnswer a;
    std::string alphaId, memberId;
    ASSERT_TRUE(srv.Join(alpha, "alpha@example.org", "Alpha", &alphaId, &a));
    EXPECT_TRUE(a.Access() == "NETOWNER" || a.Access() == "OWNER") << a.Access();
    ASSERT_TRUE(srv.Join(member, "member@example.org", "Beta", &memberId));
    ASSERT_TRUE(srv.Join(beta, "beta@example.org", "Beta"));
    ASSERT_TRUE(WaitForListOf(alpha, 1));
    ASSERT_TRUE(WaitForListOf(member, 2));

    // One write: the move, then a block, an admin grant and a mute meant for
    // Beta. Which thread refuses them depends on timing: the worker when it
    // reads them after the move (the session then ends for the violation),
    // else Beta's network, which drops them.
    ASSERT_TRUE(alpha.SendAll(CmdMove(alphaId, "Beta", 0) + Tagged("BC:", memberId) +
                                  Tagged("AA:", alphaId) + Tagged("MC:", memberId),
                              5000));
    std::string frame;
    if (WaitForNetChange(alpha, "Beta", 20000)) {
        // A text behind them: once the member has it, the commands were handled.
        ASSERT_TRUE(alpha.SendAll(CmdText("after", memberId), 5000));
        ASSERT_EQ(member.WaitForFrame(kFrameText, frame, 20000), ReadStatus::Ok);
        EXPECT_NE(frame.find("after"), std::string::npos);
    } else {
        // Its disconnect came after the refused lines: once it is handled, so were they.
        ASSERT_TRUE(WaitFor([&] { return srv.LogHas("DISCONNECT_PRIVILEGE_VIOLATION"); }));
    }

    // The member is still there and may talk: neither blocked nor muted.
    ASSERT_TRUE(member.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(member.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    EXPECT_FALSE(srv.LogHas("DISCONNECT_ADMIN_BLOCK"));

    // No admin grant lasted: the mover, when it comes back to Beta, is a
    // plain user there.
    alpha.Close();
    // Beta lets the id in again once it has seen the old session go.
    auto again = std::make_unique<QorConnection>();
    ASSERT_TRUE(WaitFor([&] {
        again = std::make_unique<QorConnection>();
        return static_cast<bool>(srv.Join(*again, "alpha@example.org", "Beta", nullptr, &a));
    }));
    EXPECT_EQ(a.Access(), "OK");

    for (QorConnection* c : {&member, &beta, again.get()}) c->Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

}  // namespace
