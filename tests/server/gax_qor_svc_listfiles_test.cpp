#include "server/gax_qor_svc_listfiles.h"

#include <gtest/gtest.h>

#include "foundation/file_test_support.h"
#include "server/gax_qor_svc_connectstr.h"
#include "server/gax_qor_svc_mutes.h"

using namespace gax;
using namespace file_test;

namespace {

constexpr int64_t kNow = 1750000000;
constexpr const char* kAlice = "+/fGrsHUKAt8JwTBwEeL1gcz";

const TQORSVCNetworkNameList kNets({u"Main", u"Test"});

std::string MuteLine(const std::string& net) {
    return net + "|" + kAlice + "||||||2|u1700000000\r\n";
}

class ListFilesService : public TempDirTest {
  protected:
    std::unique_ptr<TQORSVCListFiles> Make(bool logData = true) {
        std::array<std::u16string, kQORSVCListKindCount> names;
        const char* files[] = {"mutes.dat",  "blocks.dat",  "admins.dat", "modes.dat",
                               "rights.dat", "notices.dat", "owner.dat"};
        for (size_t i = 0; i < names.size(); ++i) names[i] = U(P(files[i]));
        return std::make_unique<TQORSVCListFiles>(names, U(dir), logData);
    }
    std::u16string F(const char* name) { return U(P(name)); }
};

bool StartsWith(const std::u16string& s, std::u16string_view prefix) {
    return s.rfind(prefix, 0) == 0;
}

}  // namespace

// A fresh installation has no data files: every read logs its error, the lists
// start empty, and the first save of each creates its file.
TEST_F(ListFilesService, FreshInstallationStartsAndCreatesFilesOnSave) {
    auto files = Make();
    std::vector<std::u16string> log;
    const TQORSVCListKind order[] = {TQORSVCListKind::Owner,  TQORSVCListKind::Admins,
                                     TQORSVCListKind::Blocks, TQORSVCListKind::Mutes,
                                     TQORSVCListKind::Modes,  TQORSVCListKind::Rights,
                                     TQORSVCListKind::Notices};
    for (TQORSVCListKind k : order) {
        TQORSVCListLoad load;
        EXPECT_FALSE(files->ReadAtStartUp(k, kNets, kNow, load, log));
        EXPECT_FALSE(load.Save);
    }
    const std::u16string_view want[] = {u"ERROR: Read admins: ", u"ERROR: Read blocks: ",
                                        u"ERROR: Read mutes: ",  u"ERROR: Read modes: ",
                                        u"ERROR: Read rights: ", u"ERROR: Read notices: "};
    ASSERT_EQ(log.size(), 6u);  // the owner file's failures are silent
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_TRUE(StartsWith(log[i], want[i])) << i;
        EXPECT_NE(log[i].find(u".dat"), std::u16string::npos) << i;
    }
    log.clear();
    EXPECT_TRUE(files->Save(TQORSVCListKind::Mutes, {MuteLine("Main")}, log));
    EXPECT_EQ(log, std::vector<std::u16string>{u"Mutes are saved: " + F("mutes.dat")});
    EXPECT_EQ(ReadAll(P("mutes.dat")), std::string(kQORSVCDataFileHeader) + MuteLine("Main"));
}

TEST_F(ListFilesService, OnlyTheConfiguredFileIsMarkedForSaving) {
    auto files = Make();
    const std::string bad = std::string(kQORSVCDataFileHeader) + MuteLine("Main") + "garbage\r\n";
    WriteFile(P("mutes.dat"), bad);
    WriteFile(P("other.dat"), bad);
    std::vector<std::u16string> log;
    TQORSVCListLoad load;
    ASSERT_TRUE(files->Reread(TQORSVCListKind::Mutes, F("other.dat"), kNets, kNow, load, log));
    EXPECT_FALSE(load.Save);  // a named file never rewrites the configured one
    ASSERT_EQ(load.MuteBlocks.size(), 2u);
    EXPECT_EQ(load.MuteBlocks[0]->Count(), 1);
    EXPECT_FALSE(load.MuteBlocks[1]);
    EXPECT_EQ(log, std::vector<std::u16string>{u"Reread mutes from: " + F("other.dat")});

    log.clear();
    ASSERT_TRUE(files->Reread(TQORSVCListKind::Mutes, u"", kNets, kNow, load, log));
    EXPECT_TRUE(load.Save);
    EXPECT_EQ(log, std::vector<std::u16string>{u"Reread mutes: default: " + F("mutes.dat")});
    EXPECT_EQ(ReadAll(P("mutes.dat")), bad);  // reading writes nothing

    TQORSVCListLoad start;
    log.clear();
    ASSERT_TRUE(files->ReadAtStartUp(TQORSVCListKind::Mutes, kNets, kNow, start, log));
    EXPECT_TRUE(start.Save);
    EXPECT_TRUE(log.empty());

    // A reread that fails is answered with an error line naming the file.
    log.clear();
    EXPECT_FALSE(files->Reread(TQORSVCListKind::Rights, F("none.dat"), kNets, kNow, load, log));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(StartsWith(log[1], u"ERROR: Reread rights: ")) << log[1].size();
    EXPECT_FALSE(files->Reread(TQORSVCListKind::Admins, F("none.dat"), kNets, kNow, load, log));
    EXPECT_TRUE(StartsWith(log.back(), u"ERROR: Reread of admins: " + F("none.dat") + u": "));
}

// A file that is there but cannot be read is never saved over: the lists in
// memory would replace what the operator has on disk.
TEST_F(ListFilesService, AFileThatFailedToReadIsNotSavedOverUntilAGoodReread) {
    auto files = Make();
    const std::string broken =
        std::string(kQORSVCDataFileHeader) + MuteLine("Main") + std::string(9000, '4') + "\r\n";
    WriteFile(P("mutes.dat"), broken);
    std::vector<std::u16string> log;
    TQORSVCListLoad load;
    EXPECT_FALSE(files->ReadAtStartUp(TQORSVCListKind::Mutes, kNets, kNow, load, log));
    EXPECT_EQ(log, std::vector<std::u16string>{
                       u"ERROR: Read mutes: line 6: Collector got too long string"});

    log.clear();
    EXPECT_FALSE(files->Save(TQORSVCListKind::Mutes, {}, log));
    EXPECT_FALSE(files->Save(TQORSVCListKind::Mutes, {}, log));
    ASSERT_EQ(log.size(), 1u);  // said once
    EXPECT_TRUE(StartsWith(log[0], u"WARNING: Not saving " + F("mutes.dat")));
    EXPECT_EQ(ReadAll(P("mutes.dat")), broken);
    // A named file that reads well says nothing about the configured one.
    WriteFile(P("other.dat"), MuteLine("Main"));
    EXPECT_TRUE(files->Reread(TQORSVCListKind::Mutes, F("other.dat"), kNets, kNow, load, log));
    EXPECT_FALSE(files->Save(TQORSVCListKind::Mutes, {}, log));
    EXPECT_EQ(ReadAll(P("mutes.dat")), broken);

    // The operator mends the file and rereads it: saving goes on.
    WriteFile(P("mutes.dat"), MuteLine("Main"));
    EXPECT_TRUE(files->Reread(TQORSVCListKind::Mutes, u"", kNets, kNow, load, log));
    EXPECT_FALSE(load.Save);
    EXPECT_TRUE(files->Save(TQORSVCListKind::Mutes, {MuteLine("Main")}, log));
    EXPECT_EQ(ReadAll(P("mutes.dat")), std::string(kQORSVCDataFileHeader) + MuteLine("Main"));
}

// Only the start-up refuses a mutes or blocks file for an overlong line; a
// reread cuts the line, drops what is left of it and keeps the rest.
TEST_F(ListFilesService, ARereadCutsAnOverlongLineWhereTheStartUpRefusesTheFile) {
    auto files = Make();
    for (TQORSVCListKind k : {TQORSVCListKind::Mutes, TQORSVCListKind::Blocks}) {
        const char* name = k == TQORSVCListKind::Mutes ? "mutes.dat" : "blocks.dat";
        SCOPED_TRACE(name);
        WriteFile(P(name), std::string(kQORSVCDataFileHeader) + MuteLine("Main") +
                               "Test|" + std::string(9000, '4') + "\r\n" + MuteLine("Test"));
        std::vector<std::u16string> log;
        TQORSVCListLoad load;
        EXPECT_FALSE(files->ReadAtStartUp(k, kNets, kNow, load, log));
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find(u"line 6: Collector got too long string"), std::u16string::npos);
        log.clear();
        ASSERT_TRUE(files->Reread(k, u"", kNets, kNow, load, log));
        ASSERT_EQ(load.MuteBlocks.size(), 2u);
        ASSERT_TRUE(load.MuteBlocks[0] && load.MuteBlocks[1]);
        EXPECT_EQ(load.MuteBlocks[0]->Count(), 1);
        EXPECT_EQ(load.MuteBlocks[1]->Count(), 1);
        EXPECT_TRUE(load.Save);  // the dropped line is saved away
    }
}

// The writer's line for a station that keeps to the connect string's limits
// but writes its fields in CJK, muted by an admin alike, is over 2048 bytes:
// the start-up and a reread both take it whole.
TEST_F(ListFilesService, AWriterLineOverTwoKilobytesIsReadBackWhole) {
    auto cjk = [](int32_t aChars) {
        std::string s;
        for (int32_t i = 0; i < aChars; ++i) s += "\xE6\xBC\xA2";
        return s;
    };
    TQORSVCMuteBlockData d;
    d.mbd_EMailHashA = kAlice;
    d.mbd_RegisterEpoch = 1700000000;
    d.mbd_Time = 2000000000;
    d.mbd_ReleaseEpoch = d.mbd_RegisterEpoch + d.mbd_Time;
    d.mbd_CountryANSI = std::string(size_t(kQORLimitCountry), '?');
    d.mbd_CityCityPartANSI = std::string(size_t(kQORLimitCity), '?');
    d.mbd_BandChannelANSI = std::string(size_t(kQORLimitBand), '?');
    d.mbd_CallsignOpnameANSI = d.mbd_ByAdminNameANSI = std::string(size_t(kQORLimitCallsign), '?');
    d.mbd_CountryUTF8 = cjk(kQORLimitCountry);
    d.mbd_CityCityPartUTF8 = cjk(kQORLimitCity);
    d.mbd_BandChannelUTF8 = cjk(kQORLimitBand);
    d.mbd_CallsignOpnameUTF8 = d.mbd_ByAdminNameUTF8 = cjk(kQORLimitCallsign);
    d.mbd_UTF8 = true;
    d.mbd_ByAdminId = kAlice;
    const std::string line = MakeMuteBlockFileLine("Main", d);
    ASSERT_GT(line.size(), 2048u + 2);
    WriteFile(P("mutes.dat"), std::string(kQORSVCDataFileHeader) + line);

    auto files = Make();
    std::vector<std::u16string> log;
    TQORSVCListLoad atStart, reread;
    ASSERT_TRUE(files->ReadAtStartUp(TQORSVCListKind::Mutes, kNets, kNow, atStart, log));
    ASSERT_TRUE(files->Reread(TQORSVCListKind::Mutes, u"", kNets, kNow, reread, log));
    for (const TQORSVCListLoad* l : {&atStart, &reread}) {
        ASSERT_TRUE(l->MuteBlocks.at(0));
        ASSERT_EQ(l->MuteBlocks[0]->Count(), 1);
        EXPECT_EQ(l->MuteBlocks[0]->At(0)->RecordForFile(), line);
        EXPECT_FALSE(l->Save);
    }
}

TEST_F(ListFilesService, TestNetworksNeverSaveAndSaveErrorsAreLogged) {
    auto files = Make(false);
    WriteFile(P("modes.dat"), "Main|1|1\r\nGone|1|0\r\n");
    files->SetTestNetworks(true);
    std::vector<std::u16string> log;
    TQORSVCListLoad load;
    ASSERT_TRUE(files->ReadAtStartUp(TQORSVCListKind::Modes, kNets, kNow, load, log));
    EXPECT_FALSE(load.Save);  // every record of a real network looks unknown here
    EXPECT_FALSE(files->Save(TQORSVCListKind::Modes, {}, log));
    EXPECT_EQ(ReadAll(P("modes.dat")), "Main|1|1\r\nGone|1|0\r\n");
    EXPECT_TRUE(log.empty());

    files->SetTestNetworks(false);
    ASSERT_TRUE(files->ReadAtStartUp(TQORSVCListKind::Modes, kNets, kNow, load, log));
    EXPECT_TRUE(load.Save);
    EXPECT_EQ(load.Modes[0].Packed(), 257);
    // A save that fails keeps the list and says why; without LogData no saved line.
    WriteFile(P("notices.dat"), "");
    std::array<std::u16string, kQORSVCListKindCount> names;
    for (auto& n : names) n = U(P("notices.dat/inside.dat"));
    TQORSVCListFiles broken(names, U(dir), false);
    EXPECT_FALSE(broken.Save(TQORSVCListKind::Notices, {"Main|41|\r\n"}, log));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(StartsWith(log[0], u"ERROR: Saving notices: ")) << log[0].size();
    EXPECT_TRUE(files->Save(TQORSVCListKind::Modes, {"Main|1|1\r\n"}, log));
    EXPECT_EQ(log.size(), 1u);
}
