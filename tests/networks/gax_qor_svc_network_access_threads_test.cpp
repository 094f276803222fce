// Rereads reach a running network: a service with one network from a
// networks file and an admin read at start listens on loopback, and three
// stations join. A reread of the mutes file mutes the one that talks (it loses
// the floor and cannot take it again) and shows the admin the new mutes list;
// a reread of the blocks file disconnects another; the mutes file, which held
// a bad line, is saved again in the writer's form.
#include <gtest/gtest.h>

#include <string>

#include "foundation/file_test_support.h"
#include "foundation/gax_ansi_unicode_converter.h"
#include "networks/service_test_support.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_admins.h"
#include "server/gax_qor_svc_mutes.h"

namespace {

using namespace service_test;
using file_test::ReadAll;
using file_test::WriteFile;

std::string EntryLine(const std::string& aEmail) {
    TQORSVCMuteBlockData d;
    d.mbd_EMailHashA = MakeSourceId(aEmail);
    d.mbd_RegisterEpoch = 1700000000;
    d.mbd_ByAdminPrivlege = clpr_SERVOWNER;
    return MakeMuteBlockFileLine("Test", d);
}

TEST(NetworkAccessRoad, RereadsMuteTheTalkerAndDisconnectTheBlocked) {
    const file_test::ScratchDir scratch;
    const std::string& dir = scratch.Path();
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/networks.cfg", "Test\n");
    // Read at start: the third station is an admin of "Test".
    TQORSVCAdminData admin;
    admin.add_AdmHashA = MakeSourceId("other@example.org");
    admin.add_RegisterEpoch = 1700000000;
    WriteFile(dir + "/admins.dat",
              std::string(kQORSVCDataFileHeader) + MakeAdminFileLine("Test", admin));

    TQORServiceConfig cfg = LoopbackConfig();
    cfg.cfg_DataDirName = Utf8BufToUnicodeStd(dir);
    cfg.cfg_MutesFileName = Utf8BufToUnicodeStd(dir + "/mutes.dat");
    cfg.cfg_BlocksFileName = Utf8BufToUnicodeStd(dir + "/blocks.dat");
    cfg.cfg_AdminsFileName = Utf8BufToUnicodeStd(dir + "/admins.dat");
    LoopbackService srv(cfg);
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv, Utf8BufToUnicodeStd(dir + "/networks.cfg"));
    ASSERT_FALSE(srv.svc->Networks().UsesTestSet());
    ASSERT_TRUE(srv.Start());

    const char* mails[3] = {"talker@example.org", "blocked@example.org", "other@example.org"};
    QorConnection conn[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(srv.Join(conn[i], Station(mails[i], "ST" + std::to_string(i)))) << i;
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
    srv.svc->Poster().MainQueue_RereadMutes(u"", TQORSVCCtxRef{});
    srv.svc->Poster().MainQueue_RereadBlocks(u"", TQORSVCCtxRef{});

    // The admin is shown the new mutes list.
    ASSERT_TRUE(WaitForMutesOf(other, 1));

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
    EXPECT_TRUE(WaitFor([&] { return ReadAll(dir + "/mutes.dat") == golden; }))
        << ReadAll(dir + "/mutes.dat");

    for (auto& c : conn) c.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
    srv.Stop();
}

}  // namespace
