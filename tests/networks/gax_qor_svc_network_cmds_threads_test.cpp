// An owner runs its network from its client over TCP: it mutes a station
// ("MC:"), whose request for the floor then goes nowhere, and lifts the mute
// ("UM:"), after which the station talks again.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "networks/service_test_support.h"
#include "protocol/gax_qor_sourceid.h"

namespace {

using namespace service_test;

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

    LoopbackService srv(LoopbackConfig());
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv, Utf8StrToUnicodeLenient(netFile));
    ASSERT_FALSE(srv.svc->Networks().UsesTestSet());
    ASSERT_TRUE(srv.Start());

    const char* mails[2] = {"owner@example.org", "station@example.org"};
    QorConnection conn[2];
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(srv.Join(conn[i], Station(mails[i], "ST" + std::to_string(i)))) << i;
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
    EXPECT_TRUE(srv.WaitForNoClients());
    srv.Stop();
}

}  // namespace
