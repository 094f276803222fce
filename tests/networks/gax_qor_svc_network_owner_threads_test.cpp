// The operator's mutes and blocks name the server owner as their author with
// the callsign the owner last logged in with: a service on loopback, the
// owner logs in, the operator mutes an absent station, the owner comes back
// under another callsign, and the operator blocks another one.
#include <gtest/gtest.h>

#include <string>

#include "foundation/file_test_support.h"
#include "networks/service_test_support.h"
#include "protocol/gax_qor_fields.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_datafile.h"

namespace {

using namespace service_test;
using file_test::WriteFile;

// Reads frames until one of the list aCode (in either form) holds aCount entries.
bool WaitForListFrame(QorConnection& aConn, uint8_t aCode, uint8_t aCodeUtf8, int aCount) {
    const std::string count = std::to_string(aCount) + "\r\n";
    std::string frame;
    for (int i = 0; i < 1000; ++i) {
        if (aConn.ReadFrame(frame, 20000) != ReadStatus::Ok) return false;
        if (frame.empty()) continue;
        const auto code = static_cast<uint8_t>(frame[0]);
        if ((code == aCode || code == aCodeUtf8) && frame.compare(1, count.size(), count) == 0)
            return true;
    }
    return false;
}

TEST(OwnerAsAuthor, OperatorEntriesCarryTheCallsignTheOwnerLastLoggedInWith) {
    const file_test::ScratchDir scratch;
    const std::string& dir = scratch.Path();
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/networks.cfg", "Test\r\n");
    for (const char* name : {"/mutes.dat", "/blocks.dat"})
        WriteFile(dir + name, std::string(kQORSVCDataFileHeader));

    TQORServiceConfig cfg = LoopbackConfig();
    cfg.ServParams.ServerOwnerEMail = u"boss@example.org";
    // The changed lists and the owner's callsign are saved: somewhere of the test's.
    cfg.cfg_DataDirName = Utf8BufToUnicodeStd(dir);
    cfg.cfg_MutesFileName = Utf8BufToUnicodeStd(dir + "/mutes.dat");
    cfg.cfg_BlocksFileName = Utf8BufToUnicodeStd(dir + "/blocks.dat");
    cfg.cfg_OwnerFileName = Utf8BufToUnicodeStd(dir + "/owner.dat");
    LoopbackService srv(cfg);
    TQORNetworkedService& svc = *srv.svc;
    TQORServiceNetOptions serv;
    svc.LoadNetworks(serv, Utf8BufToUnicodeStd(dir + "/networks.cfg"));
    ASSERT_FALSE(svc.Networks().UsesTestSet());
    TQORSVCCmdNetwork test;
    ASSERT_TRUE(svc.CmdFindNetwork(u"Test", "Test", test));
    ASSERT_TRUE(srv.Start());

    // Once a station that logs in sees itself listed, it is visible; for the
    // owner, its callsign is then the service's.
    auto login = [&](QorConnection& aConn, const std::string& aEmail, const std::string& aCallsign,
                     long aListed, ConnectForm aForm = ConnectForm::Ansi) {
        ConnectFields f = Station(aEmail, aCallsign);
        // A UTF-8 client keeps its UTF-8 texts with a list format only.
        if (aForm == ConnectForm::Utf8) f.ExtFlags = QOR_LIST_FORMAT_COUNT;
        ASSERT_TRUE(srv.Join(aConn, f, aForm));
        ASSERT_TRUE(WaitForListOf(aConn, aListed));
    };
    const std::string kSecond = "BOSS2 Zw\xC3\xB6lf";
    const std::string mutedId = MakeSourceId("muted@example.org");
    const std::string blockedId = MakeSourceId("blocked@example.org");

    // The watcher sees the owner leave: by then its id is free to log in again.
    QorConnection watcher;
    login(watcher, "watcher@example.org", "WATCH", 1);
    {
        QorConnection owner;
        login(owner, "boss@example.org", "BOSS1 First", 2);
        svc.Poster().ServQueue_ChannelMute(mutedId, test.Handle, 0, true);
        // The owner is shown the mutes list the command changed.
        ASSERT_TRUE(WaitForListFrame(owner, kFrameMutes, kFrameMutesUtf8, 1));
    }
    ASSERT_TRUE(WaitForListOf(watcher, 1));
    {
        QorConnection owner;
        // Now with a UTF-8 callsign, which has an 8-bit form too.
        login(owner, "boss@example.org", kSecond, 2, ConnectForm::Utf8);
        svc.Poster().ServQueue_ChannelBlock(blockedId, test.Handle, 0, true);
        ASSERT_TRUE(WaitForListFrame(owner, kFrameBlocks, kFrameBlocksUtf8, 1));
    }
    watcher.Close();
    ASSERT_TRUE(srv.WaitForNoClients());
    srv.Stop();

    // The heartbeat has ended: the lists may be read from here.
    const auto* net = dynamic_cast<const TQORServNetwork*>(svc.Networks().GetNetworkOriginal(0));
    ASSERT_NE(net, nullptr);
    const TQORSVCMuteBlock* mute = net->Access().Mutes().Find(MakeDwordPaddedKey(mutedId));
    const TQORSVCMuteBlock* block = net->Access().Blocks().Find(MakeDwordPaddedKey(blockedId));
    ASSERT_NE(mute, nullptr);
    ASSERT_NE(block, nullptr);
    // An 8-bit login has no UTF-8 callsign; a UTF-8 one has both forms.
    EXPECT_EQ(mute->GetData().mbd_ByAdminNameANSI, "BOSS1 First");
    EXPECT_EQ(mute->GetData().mbd_ByAdminNameUTF8, "");
    EXPECT_EQ(block->GetData().mbd_ByAdminNameANSI, "BOSS2 Zw?lf");
    EXPECT_EQ(block->GetData().mbd_ByAdminNameUTF8, kSecond);
    for (const TQORSVCMuteBlock* e : {mute, block}) {
        EXPECT_EQ(e->GetData().mbd_ByAdminId, MakeSourceId("boss@example.org"));
        EXPECT_EQ(e->GetData().mbd_ByAdminPrivlege, clpr_SERVOWNER);
    }
}

}  // namespace
