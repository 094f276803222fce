// The client's road end to end: a service with the built-in networks listens
// on loopback, three stations join "Test" over TCP, one takes the floor and
// talks, the others hear every frame byte for byte and in order, all leave
// and the service stops with every context freed (ASan sees any leak).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "foundation/gax_strutils.h"
#include "networks/gax_qor_svc_network_service.h"
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

// Reads frames until a client list shows aCount members.
bool WaitForListOf(QorConnection& aConn, long aCount) {
    std::string frame;
    for (int i = 0; i < 1000; ++i) {
        if (aConn.ReadFrame(frame, 20000) != ReadStatus::Ok) return false;
        if (ListCount(frame) == aCount) return true;
    }
    return false;
}

TEST(ClientRoad, ThreeStationsJoinTestAndTwoHearEveryFrameOfTheThird) {
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
        // The log shows in the test's output when a step fails.
        while (svc.GetFifo(l)) std::fprintf(stderr, "%s\n", UnicodeToByteStr(l).c_str());
    };
    svc.SetLogClientLevel(9);
    TQORServiceNetOptions serv;
    svc.LoadNetworks(serv);
    ASSERT_TRUE(svc.Networks().UsesTestSet());

    svc.Start();
    svc.AddPortForLocalhost(u"Client", u"0", ipver_4,
                            [&svc](TSocket s, const std::string& addr, int port,
                                   const std::string&, int, const std::u16string&) {
                                svc.evnt_Listener_ClientAcceptPeer(s, addr, port);
                            });
    std::thread mainThread([&] { svc.RunMainThread(); });
    // A failed assertion still stops the service before the thread is left.
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

    QorConnection conn[3];
    for (int i = 0; i < 3; ++i) {
        ConnectFields f;
        f.Email = "station" + std::to_string(i) + "@example.org";
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
        EXPECT_TRUE(a.Positive()) << i << " " << a.Access();
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
    EXPECT_TRUE(WaitFor([&] { return svc.tmClientContextCount.load() == 0; }));
    svc.ServiceAbortThread(u"CTRL-C");
    mainThread.join();
    EXPECT_TRUE(svc.ServiceThreadFinished());
}

}  // namespace
