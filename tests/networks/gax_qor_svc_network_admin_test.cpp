// The list side of the mute, block and admin commands and the command
// channel's own answers, over real sessions read from connect strings.
#include "networks/gax_qor_svc_network_admin.h"

#include <gtest/gtest.h>

#include <cstring>

#include "networks/gax_qor_svc_network_frames.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/session_test_support.h"

using namespace gax;
using namespace session_test;

namespace {

constexpr int64_t kNow = 1700000000;

struct Fixture {
    World w;
    TestSession target{w.svc, 7};
    TestSession admin{w.svc, 8};
    Fixture() {
        target.Connect(BasicConnect());
        admin.Connect(Tag("VX", "2014004") + Tag("EA", "boss@b.c") + Tag("PW", "pw") +
                      Tag("ON", "BOSS") + Tag("BC", "PC Only") + Tag("CT", "City") +
                      Tag("NN", "Country") + Tag("NT", "Test"));
        admin.CliPrivilege = clpr_ADMIN;
    }
};

TEST(NetworkAdmin, MuteEntryFromAConnectedClient) {
    TQORRoleScope role(kHeartbeat);
    Fixture f;
    TQORSVCMuteBlockList mutes("Test");
    const TQORMuteBlockAuthor by = AuthorOf(f.admin);

    ASSERT_TRUE(AddOrUpdateMuteBlockFromContext(mutes, f.target, 600, by, kNow));
    ASSERT_EQ(mutes.Count(), 1);
    ASSERT_EQ(mutes.TimeCount(), 1);
    const TQORSVCMuteBlockData d = mutes.At(0)->GetData();
    EXPECT_EQ(d.mbd_EMailHashA, f.target.CliHashA());
    EXPECT_EQ(d.mbd_CallsignOpnameANSI, "CALL Name");
    EXPECT_EQ(d.mbd_ByAdminNameANSI, "BOSS");
    EXPECT_EQ(d.mbd_ByAdminId, f.admin.CliHashA());
    EXPECT_EQ(d.mbd_ByAdminPrivlege, clpr_ADMIN);
    EXPECT_EQ(d.mbd_RegisterEpoch, kNow);
    EXPECT_EQ(d.mbd_ReleaseEpoch, kNow + 600);

    // Muting an already muted client with the same texts changes nothing.
    EXPECT_FALSE(AddOrUpdateMuteBlockFromContext(mutes, f.target, 60, AuthorOf(f.target), kNow + 5));
    EXPECT_EQ(mutes.At(0)->GetData(), d);

    // New texts are taken; author, register time and duration stay.
    TestSession renamed(f.w.svc, 9);
    renamed.Connect(BasicConnect().replace(BasicConnect().find("CALL Name"), 9, "NEW CALL1"));
    ASSERT_EQ(renamed.CliHashA(), f.target.CliHashA());
    EXPECT_TRUE(AddOrUpdateMuteBlockFromContext(mutes, renamed, 60, AuthorOf(renamed), kNow + 9));
    const TQORSVCMuteBlockData d2 = mutes.At(0)->GetData();
    EXPECT_EQ(d2.mbd_CallsignOpnameANSI, "NEW CALL1");
    EXPECT_EQ(d2.mbd_ByAdminId, d.mbd_ByAdminId);
    EXPECT_EQ(d2.mbd_RegisterEpoch, kNow);
    EXPECT_EQ(d2.mbd_Time, 600);
    EXPECT_EQ(mutes.TimeCount(), 1);
}

TEST(NetworkAdmin, EntriesForAbsentClients) {
    TQORRoleScope role(kHeartbeat);
    Fixture f;
    TQORSVCMuteBlockList blocks("Test");
    const std::string id = MakeSourceId("gone@x.y");
    TQORSVCMuteBlockData d = MuteBlockDataForId(id, -5, AuthorOf(f.admin), kNow);
    EXPECT_EQ(d.mbd_Time, 0);  // a negative duration is permanent
    EXPECT_EQ(d.mbd_ClientType, clt_PC);
    EXPECT_FALSE(d.mbd_UTF8);
    ASSERT_TRUE(blocks.AddOrUpdateFromData(d));
    EXPECT_EQ(blocks.At(0)->GetData().mbd_ReleaseEpoch, 0);
    EXPECT_NE(blocks.At(0)->RecordForFile().find(id), std::string::npos);

    TQORSVCAdminList admins("Test");
    ASSERT_TRUE(admins.AddOrUpdateFromData(AdminDataForId(id, kNow)));
    EXPECT_TRUE(DeleteAdminByHash(admins, id));
    EXPECT_FALSE(DeleteAdminByHash(admins, id));
    EXPECT_EQ(admins.Count(), 0);
    EXPECT_EQ(admins.TimeCount(), 0);
}

TEST(NetworkAdmin, AdminEntryFromAConnectedClient) {
    Fixture f;
    TQORSVCAdminList admins("Test");
    ASSERT_TRUE(AddOrUpdateAdminFromContext(admins, f.target, kNow));
    EXPECT_FALSE(AddOrUpdateAdminFromContext(admins, f.target, kNow + 10));
    ASSERT_EQ(admins.Count(), 1);
    EXPECT_EQ(admins.At(0)->RegisterEpoch(), kNow);
    EXPECT_EQ(admins.At(0)->GetData().add_CallsignOpnameANSI, "CALL Name");
    EXPECT_TRUE(DeleteAdminByHash(admins, f.target.CliHashA()));
    EXPECT_EQ(admins.TimeCount(), 0);
}

// Who may lift an entry an admin or the server owner made.
TEST(NetworkAdmin, LiftingAnEntryByLevelAndExactness) {
    const std::string victim = MakeSourceId("v@x.y");
    const std::string adminA = MakeSourceId("a@x.y");
    const std::string adminB = MakeSourceId("b@x.y");
    struct Row {
        TQORClientPrivilege entryBy;
        TQORClientPrivilege actor;
        bool sameAdmin;
        bool level, exact;
        bool lifted;
    };
    const Row rows[] = {
        {clpr_ADMIN, clpr_ADMIN, false, false, false, true},
        {clpr_NETOWNER, clpr_ADMIN, false, false, false, true},
        {clpr_NETOWNER, clpr_ADMIN, false, true, false, false},
        {clpr_ADMIN, clpr_NETOWNER, false, true, false, true},
        {clpr_ADMIN, clpr_ADMIN, false, false, true, false},
        {clpr_ADMIN, clpr_ADMIN, true, false, true, true},
        {clpr_SERVOWNER, clpr_SERVOWNER, false, true, true, false},
        {clpr_ADMIN, clpr_SERVOWNER, false, true, true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.entryBy << " by " << r.actor << " same " << r.sameAdmin
                                        << " level " << r.level << " exact " << r.exact);
        TQORSVCMuteBlockList mutes("Test");
        TQORMuteBlockAuthor by{"A", "A", adminA, r.entryBy};
        ASSERT_TRUE(mutes.AddOrUpdateFromData(MuteBlockDataForId(victim, 0, by, kNow)));
        const bool lifted = RemoveMuteBlockEntry(mutes, victim, r.actor,
                                                 r.sameAdmin ? adminA : adminB, r.level, r.exact);
        EXPECT_EQ(lifted, r.lifted);
        EXPECT_EQ(mutes.Count(), r.lifted ? 0 : 1);
    }
}

TEST(NetworkAdmin, ChannelAnswers) {
    EXPECT_EQ(ChannelModeQueryAnswer(true), "+1\r\n1\r\n");
    EXPECT_EQ(ChannelModeQueryAnswer(false), "+1\r\n0\r\n");

    Fixture f;
    EXPECT_EQ(ChannelInternalFlagsListing(f.target), "+1\r\nNo any internal flags are set\r\n");

    TestSession speaker(f.w.svc, 20);
    TestSession deaf(f.w.svc, 21);
    deaf.CtxFlagsSet(QOR_CF_NO_SERVER_SOUNDS);
    TestSession leaving(f.w.svc, 22);
    leaving.SetAsNotWork();
    EXPECT_EQ(HugeSoundRefusal(nullptr, &f.target), "-NOSPEAKER\r\n");
    EXPECT_EQ(HugeSoundRefusal(&speaker, nullptr), "-NOCLIENT\r\n");
    EXPECT_EQ(HugeSoundRefusal(&speaker, &speaker), "-BUSY\r\n");
    EXPECT_EQ(HugeSoundRefusal(&speaker, &deaf), "-DENIED\r\n");
    EXPECT_EQ(HugeSoundRefusal(&speaker, &leaving), "-DENIED\r\n");
    EXPECT_EQ(HugeSoundRefusal(&speaker, &f.target), "");

    const std::string frame = HugeSoundFrame(0x0102);
    ASSERT_EQ(frame.size(), 328u);
    EXPECT_EQ(frame.substr(0, 3), std::string("\x02\x01\x02", 3));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(0, std::memcmp(frame.data() + 3 + 65 * i, kQORSilenceBlock.data(), 65));
}

}  // namespace
