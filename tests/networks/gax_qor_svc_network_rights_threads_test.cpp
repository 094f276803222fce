// Rights and moves, end to end over TCP, where a client's worker and the
// heartbeat both touch the client: a station keeps sending lines while two
// owners move it back and forth (TSan: the move's re-admission writes nothing
// the worker reads), and an owner that moves itself into another network and
// pipelines owner commands behind the move gets no rights there.
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
#include "protocol/gax_qor_sourceid.h"

namespace {

using namespace service_test;

std::string CmdMove(std::string_view aId, std::string_view aNetwork) {
    return "MVU:" + HexLenStr(aId) + HexLenStr(aNetwork) + HexLenIntToStr(0) + "\r\n";
}

std::string Tagged(const char* aCmd, const std::string& aId) {
    return std::string(aCmd) + "<IP>" + aId + "</IP>\r\n";
}

constexpr const char* kNetworks =
    "Alpha|OwnerEMail=alpha@example.org\n"
    "Beta|OwnerEMail=beta@example.org\n";

class Server : public LoopbackService {
  public:
    Server() : LoopbackService(Config()) {
        f_Path = ::testing::TempDir() + "rights_networks_" +
                 std::to_string(reinterpret_cast<uintptr_t>(this)) + ".cfg";
        std::ofstream(f_Path) << kNetworks;
        TQORServiceNetOptions serv;
        serv.sno_LogClientLevel = 9;
        svc->LoadNetworks(serv, Utf8StrToUnicode(f_Path));
        EXPECT_TRUE(Start());
    }
    ~Server() {
        Stop();
        std::remove(f_Path.c_str());
    }

    // Joins aNetwork asking for moves and the network-change notice; the
    // answer in aAnswer.
    ::testing::AssertionResult Join(QorConnection& aConn, const std::string& aEmail,
                                    const std::string& aNetwork, HandshakeAnswer* aAnswer = nullptr) {
        ConnectFields f = Station(aEmail, "C" + std::to_string(++f_Joins), aNetwork);
        f.ExtFlags = QOR_LIST_FORMAT_COUNT | QOR_EXT_MOVE_CLIENT | QOR_EXT_NET_CHANGE_INFO;
        return LoopbackService::Join(aConn, f, ConnectForm::Utf8, aAnswer);
    }

  private:
    static TQORServiceConfig Config() {
        TQORServiceConfig cfg = LoopbackConfig();
        cfg.cfg_ServMaxClientConnectionsPerAddress = 0;
        cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 10000;
        return cfg;
    }

    std::string f_Path;
    int f_Joins = 0;
};

// Reads aConn until a network-change notice naming aNetwork arrives.
bool WaitForNetChange(QorConnection& aConn, const std::string& aNetwork, int aMs) {
    std::string frame;
    while (aConn.WaitForFrame(kFrameNetChange, frame, aMs) == ReadStatus::Ok) {
        if (frame.find(aNetwork) != std::string::npos) return true;
    }
    return false;
}

TEST(RightsAndMoves, AStationKeepsSendingWhileTwoOwnersMoveItBackAndForth) {
    Server srv;
    QorConnection alpha, beta, station;
    ASSERT_TRUE(srv.Join(alpha, "alpha@example.org", "Alpha"));
    ASSERT_TRUE(srv.Join(beta, "beta@example.org", "Beta"));
    HandshakeAnswer a;
    ASSERT_TRUE(srv.Join(station, "station@example.org", "Alpha", &a));
    const std::string id = a.ClientId();
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
            ok = mover.SendAll(CmdMove(id, target), 5000);
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
    Server srv;
    QorConnection alpha, member, beta;
    HandshakeAnswer a;
    ASSERT_TRUE(srv.Join(alpha, "alpha@example.org", "Alpha", &a));
    const std::string alphaId = a.ClientId();
    EXPECT_TRUE(a.Access() == "NETOWNER" || a.Access() == "OWNER") << a.Access();
    ASSERT_TRUE(srv.Join(member, "member@example.org", "Beta", &a));
    const std::string memberId = a.ClientId();
    ASSERT_TRUE(srv.Join(beta, "beta@example.org", "Beta"));
    ASSERT_TRUE(WaitForListOf(alpha, 1));
    ASSERT_TRUE(WaitForListOf(member, 2));

    // One write: the move, then a block, an admin grant and a mute meant for
    // Beta. Which thread refuses them depends on timing: the worker when it
    // reads them after the move (the session then ends for the violation),
    // else Beta's network, which drops them.
    ASSERT_TRUE(alpha.SendAll(CmdMove(alphaId, "Beta") + Tagged("BC:", memberId) +
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
        return static_cast<bool>(srv.Join(*again, "alpha@example.org", "Beta", &a));
    }));
    EXPECT_EQ(a.Access(), "OK");

    for (QorConnection* c : {&member, &beta, again.get()}) c->Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

}  // namespace
