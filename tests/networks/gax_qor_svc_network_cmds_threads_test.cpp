// An owner runs its network from its client over TCP: it mutes a station
// ("MC:"), whose request for the floor then goes nowhere, and lifts the mute
// ("UM:"), after which the station talks again.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include "foundation/gax_strutils.h"
#include "networks/gax_qor_svc_network_service.h"
#include "protocol/gax_qor_sourceid.h"
#include "tools/qor_client_proto.h"

namespace {

using namespace gax;
using namespace qortool;

bool WaitFor(const std::function<bool()>& aDone, int aMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
    while (!aDone()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool WaitForListOf(QorConnection& aConn, long aCount) {
    std::string frame;
    for (int i = 0; i < 1000; ++i) {
        if (aConn.ReadFrame(frame, 20000) != ReadStatus::Ok) return false;
        if (ListCount(frame) == aCount) return true;
    }
    return false;
}

// Reads mutes lists until one holds aCount entries.
bool WaitForMutesOf(QorConnection& aConn, int aCount) {
    const std::string count = std::to_string(aCount) + "\r\n";
    std::string frame;
    for (int i = 0; i < 100; ++i) {
        if (aConn.WaitForFrame(kFrameMutes, frame, 20000) != ReadStatus::Ok) return false;
        if (frame.compare(1, count.size(), count) == 0) return true;
    }
    return false;
}

std::string Tagged(const char* aCmd, const std::string& aId) {
    return std::string(aCmd) + "<IP>" + aId + "</IP>\r\n";
}

TEST(AdminCommandsOverTcp, OwnerMutesAStationWhoseFloorRequestIsRefusedUntilUnmuted) {
    const std::string netFile = "/tmp/qor_cmds_nets_" + std::to_string(::getpid()) + ".cfg";
    {
        std::ofstream f(netFile, std::ios::binary);
        f << "Test|OwnerEMail=owner@example.org\r\n";
    }
    struct Remover {
        std::string n;
        ~Remover() { std::remove(n.c_str()); }
    } remover{netFile};

    TQORServiceConfig cfg;
    cfg.cfg_ServerEnabled = true;
    cfg.cfg_ConnectionsPerThread = 63;
    cfg.ClientHandshakeTimeout = 20;
    cfg.ClientActivityTimeout = 60;
    cfg.cfg_ServMaxClientConnectionsPerAddress = 8;
    cfg.cfg_ServMaxClientConnectionsTotal = 1000;
    cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 150;
    cfg.cfg_ServMaxClientConnectionsPerAddressMeasureTime = 30;
    TQORNetworkedService svc(cfg);
    svc.OnFifo = [&svc] {
        std::u16string l;
        while (svc.GetFifo(l)) std::fprintf(stderr, "%s\n", UnicodeToByteStr(l).c_str());
    };
    TQORServiceNetOptions serv;
    svc.LoadNetworks(serv, Utf8StrToUnicodeLenient(netFile));
    ASSERT_FALSE(svc.Networks().UsesTestSet());

    svc.Start();
    svc.AddPortForLocalhost(u"Client", u"0", ipver_4,
                            [&svc](TSocket s, const std::string& addr, int port,
                                   const std::string&, int, const std::u16string&) {
                                svc.evnt_Listener_ClientAcceptPeer(s, addr, port);
                            });
    std::thread mainThread([&] { svc.RunMainThread(); });
    struct Stopper {
        TQORNetworkedService& s;
        std::thread& t;
        ~Stopper() {
            if (!t.joinable()) return;
            s.ServiceAbortThread(u"CTRL-C");
            t.join();
        }
    } stopper{svc, mainThread};
    svc.StartService();
    ASSERT_TRUE(WaitFor([&] { return svc.ListenerBoundPort(u"Client") > 0; }));
    const uint16_t port = static_cast<uint16_t>(svc.ListenerBoundPort(u"Client"));

    const char* mails[2] = {"owner@example.org", "station@example.org"};
    QorConnection conn[2];
    for (int i = 0; i < 2; ++i) {
        ConnectFields f;
        f.Email = mails[i];
        f.Callsign = "ST" + std::to_string(i);
        f.Password = "secret";
        f.City = "Town";
        f.Country = "Land";
        f.Network = "Test";
        const BuildResult b = BuildConnectString(f, ConnectForm::Ansi);
        ASSERT_TRUE(b.Ok()) << b.Error;
        ASSERT_TRUE(conn[i].Connect("127.0.0.1", port, "", 5000)) << conn[i].Error();
        HandshakeAnswer a;
        ASSERT_EQ(conn[i].Handshake(b.Line, a, 20000), ReadStatus::Ok) << i;
        ASSERT_TRUE(a.Positive()) << i << " " << a.Access();
    }
    for (auto& c : conn) ASSERT_TRUE(WaitForListOf(c, 2));
    QorConnection& owner = conn[0];
    QorConnection& station = conn[1];
    const std::string stationId = MakeSourceId(mails[1]);
    const std::string ownerId = MakeSourceId(mails[0]);
    std::string frame;

    ASSERT_TRUE(owner.SendAll(Tagged("MC:", stationId), 5000));
    // The owner gets the mutes list back.
    ASSERT_TRUE(WaitForMutesOf(owner, 1));

    // The station's request, then a message to the owner: once the owner
    // has the message, the request has been handled, and the floor is free.
    ASSERT_TRUE(station.SendAll(CmdTx0(), 5000));
    ASSERT_TRUE(station.SendAll(CmdText("hello", ownerId), 5000));
    ASSERT_EQ(owner.WaitForFrame(kFrameText, frame, 20000), ReadStatus::Ok);
    ASSERT_TRUE(owner.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(owner.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    ASSERT_TRUE(owner.SendAll(CmdRx0(), 5000));

    ASSERT_TRUE(owner.SendAll(Tagged("UM:", stationId), 5000));
    ASSERT_TRUE(WaitForMutesOf(owner, 0));
    ASSERT_TRUE(station.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(station.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);

    for (auto& c : conn) c.Close();
    EXPECT_TRUE(WaitFor([&] { return svc.tmClientContextCount.load() == 0; }));
    svc.ServiceAbortThread(u"CTRL-C");
    mainThread.join();
}

}  // namespace
