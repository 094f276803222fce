// Rereads reach a running network: a service with one network from a
// networks file and an admin read at start listens on loopback, and three
// stations join. A reread of the mutes file mutes the one that talks (it loses
// the floor and cannot take it again) and shows the admin the new mutes list;
// a reread of the blocks file disconnects another; the mutes file, which held
// a bad line, is saved again in the writer's form.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"
#include "networks/gax_qor_svc_network_service.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_admins.h"
#include "server/gax_qor_svc_mutes.h"
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

std::string FileBytes(const std::string& aPath) {
    std::ifstream in(aPath, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& aPath, const std::string& aBytes) {
    std::ofstream(aPath, std::ios::binary | std::ios::trunc) << aBytes;
}

std::string EntryLine(const std::string& aEmail) {
    TQORSVCMuteBlockData d;
    d.mbd_EMailHashA = MakeSourceId(aEmail);
    d.mbd_RegisterEpoch = 1700000000;
    d.mbd_ByAdminPrivlege = clpr_SERVOWNER;
    return MakeMuteBlockFileLine("Test", d);
}

TEST(NetworkAccessRoad, RereadsMuteTheTalkerAndDisconnectTheBlocked) {
    char tmpl[] = "/tmp/qor_netlists_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    struct Cleanup {
        std::string d;
        ~Cleanup() { (void)std::system(("rm -rf " + d).c_str()); }
    } cleanup{dir};
    WriteFile(dir + "/networks.cfg", "Test\n");
    // Read at start: the third station is an admin of "Test".
    TQORSVCAdminData admin;
    admin.add_AdmHashA = MakeSourceId("other@example.org");
    admin.add_RegisterEpoch = 1700000000;
    WriteFile(dir + "/admins.dat",
              std::string(kQORSVCDataFileHeader) + MakeAdminFileLine("Test", admin));

    TQORServiceConfig cfg;
    cfg.cfg_ServerEnabled = true;
    cfg.cfg_ConnectionsPerThread = 63;
    cfg.ClientHandshakeTimeout = 20;
    cfg.ClientActivityTimeout = 60;
    cfg.cfg_ServMaxClientConnectionsPerAddress = 8;
    cfg.cfg_ServMaxClientConnectionsTotal = 1000;
    cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 150;
    cfg.cfg_ServMaxClientConnectionsPerAddressMeasureTime = 30;
    cfg.cfg_DataDirName = Utf8BufToUnicodeStd(dir);
    cfg.cfg_MutesFileName = Utf8BufToUnicodeStd(dir + "/mutes.dat");
    cfg.cfg_BlocksFileName = Utf8BufToUnicodeStd(dir + "/blocks.dat");
    cfg.cfg_AdminsFileName = Utf8BufToUnicodeStd(dir + "/admins.dat");
    TQORNetworkedService svc(cfg);
    svc.OnFifo = [&svc] {
        std::u16string l;
        while (svc.GetFifo(l)) std::fprintf(stderr, "%s\n", UnicodeToByteStr(l).c_str());
    };
    TQORServiceNetOptions serv;
    svc.LoadNetworks(serv, Utf8BufToUnicodeStd(dir + "/networks.cfg"));
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

    const char* mails[3] = {"talker@example.org", "blocked@example.org", "other@example.org"};
    QorConnection conn[3];
    for (int i = 0; i < 3; ++i) {
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
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(WaitForListOf(conn[i], 3)) << i;
    QorConnection& talker = conn[0];
    QorConnection& blocked = conn[1];
    QorConnection& other = conn[2];
    std::string frame;
    ASSERT_TRUE(talker.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(talker.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);

    // The mutes file names the talker and holds a line the reader drops.
    const std::string line = EntryLine(mails[0]);
    const std::string golden = std::string(kQORSVCDataFileHeader) + line;
    WriteFile(dir + "/mutes.dat", golden + "Test|not a client id\r\n");
    WriteFile(dir + "/blocks.dat", std::string(kQORSVCDataFileHeader) + EntryLine(mails[1]));
    svc.Poster().MainQueue_RereadMutes(u"", TQORSVCCtxRef{});
    svc.Poster().MainQueue_RereadBlocks(u"", TQORSVCCtxRef{});

    // The admin is shown the new mutes list.
    do {
        ASSERT_EQ(other.WaitForFrame(kFrameMutes, frame, 20000), ReadStatus::Ok);
    } while (frame.compare(1, 3, "1\r\n") != 0);

    // The blocked station is sent away.
    ReadStatus st = ReadStatus::Ok;
    for (int i = 0; i < 1000 && st == ReadStatus::Ok; ++i) st = blocked.ReadFrame(frame, 20000);
    EXPECT_EQ(st, ReadStatus::Closed);

    // The talker lost the floor: another station takes it, then gives it back.
    ASSERT_TRUE(other.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(other.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    // Each station's text follows its floor command on the same connection, so
    // a text that arrived proves the command before it was handled.
    auto waitText = [&](QorConnection& aConn, const std::string& aText) {
        TextMessage msg;
        do {
            if (aConn.WaitForFrame(kFrameText, frame, 20000) != ReadStatus::Ok) return false;
        } while (!ParseTextFrame(frame, msg) || msg.Text != aText);
        return true;
    };
    ASSERT_TRUE(other.SendAll(CmdRx0() + CmdText("released"), 5000));
    ASSERT_TRUE(waitText(talker, "released"));
    ASSERT_TRUE(talker.SendAll(CmdTx0() + CmdText("after"), 5000));
    ASSERT_TRUE(waitText(other, "after"));
    ASSERT_TRUE(other.SendAll(CmdTx0(), 5000));
    EXPECT_EQ(other.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok)
        << "the muted station took the floor";

    // The configured file held a bad line: it is saved again without it.
    EXPECT_TRUE(WaitFor([&] { return FileBytes(dir + "/mutes.dat") == golden; }))
        << FileBytes(dir + "/mutes.dat");

    for (auto& c : conn) c.Close();
    EXPECT_TRUE(WaitFor([&] { return svc.tmClientContextCount.load() == 0; }));
    svc.ServiceAbortThread(u"CTRL-C");
    mainThread.join();
}

}  // namespace
