// A network's access lists without the network: the look-ups of the
// admission, rereads and their effects on connected clients, the list frames
// owed to each class of member, the notice by AccessInfoMode, expiry and the
// save snapshot, over real sessions read from connect strings.
#include "networks/gax_qor_svc_network_access.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>

#include "networks/gax_qor_svc_network_admin.h"
#include "server/session_test_support.h"

using namespace gax;
using namespace session_test;

namespace {

using K = TQORSVCListKind;
using Cause = TQORSVCDisconnectCause;

constexpr int64_t kNow = 1700000000;
constexpr uint32_t kUser = 0x820 | QOR_CF_NOT_ADMIN | QOR_CF_NOT_OWNER;
constexpr uint32_t kAdmin = 0x820 | QOR_CF_PRIV_ADMIN_CLASS | QOR_CF_PRIVILEGED | QOR_CF_NOT_OWNER;
constexpr uint32_t kOwner = 0x820 | QOR_CF_PRIV_OWNER_CLASS | QOR_CF_PRIVILEGED | QOR_CF_NOT_ADMIN;

struct Host : TQORNetAccessHost {
    std::map<std::string, TestSession*> members;
    std::vector<TestSession*> visible;
    std::vector<TQORSVCContext*> newbies;
    std::set<std::string> owners;
    std::vector<K> saved;
    std::vector<TQORSVCContext*> released;
    TQORNetAccess* access = nullptr;

    TQORSVCContext* AccessFindMember(std::string_view aId) override {
        auto it = members.find(std::string(aId));
        return it == members.end() ? nullptr : it->second;
    }
    void AccessReleaseFloor(TQORSVCContext* aCtx) override { released.push_back(aCtx); }
    bool AccessIsOwnerId(std::string_view aId) const override {
        return owners.count(std::string(aId)) != 0;
    }
    void AccessListChanged(K aKind) override { saved.push_back(aKind); }
    void AccessSendVisible(const std::string& aData, uint32_t aMask, uint32_t aValue) override {
        for (TestSession* s : visible)
            if ((s->CtxFlags() & aMask) == aValue) s->sent += aData;
    }
    std::vector<TQORSVCContext*> AccessNewbies() const override { return newbies; }
    void AccessProcessModes() override GAX_REQUIRES(kHeartbeat) {
        for (TestSession* s : visible)
            if (access->CheckAccessMode(*s) == TQORAccessVerdict::NoAccess)
                s->ClientTerminateSignal(Cause::fsdc_AdminBlock);
    }
};

struct Fixture {
    World w;
    Host host;
    uint32_t results = 0;
    TQORNetAccess access;
    std::vector<std::unique_ptr<TestSession>> all;

    explicit Fixture(TQORSVCAccessInfoMode aMode = TQORSVCAccessInfoMode::fsaim_Original)
        : access("Test", aMode, host, results) {
        host.access = &access;
    }
    // A visible member with its own e-mail (so its own client id).
    TestSession* Join(const std::string& aName, uint32_t aFlags, bool aVisible = true) GAX_REQUIRES(kHeartbeat) {
        auto s = std::make_unique<TestSession>(w.svc, static_cast<TQORGlobalKey>(all.size() + 10));
        s->Connect(Tag("VX", "2014004") + Tag("EA", aName + "@b.c") + Tag("PW", "pw") +
                   Tag("ON", aName) + Tag("BC", "PC Only") + Tag("CT", "City") +
                   Tag("NN", "Country") + Tag("NT", "Test"));
        s->CtxFlagsAssign(aFlags);
        host.members[s->CliHashA()] = s.get();
        if (aVisible) host.visible.push_back(s.get());
        all.push_back(std::move(s));
        return all.back().get();
    }
    static TQORSVCMuteBlockData MuteOf(const TQORSVCContext& c, int32_t aTime = 0) {
        TQORSVCMuteBlockData d;
        FillMuteBlockFromContext(d, c);
        d.mbd_RegisterEpoch = kNow;
        d.mbd_Time = aTime;
        d.mbd_ReleaseEpoch = aTime > 0 ? kNow + aTime : 0;
        return d;
    }
    static TQORSVCAccessData RightOf(const std::string& aMail, bool aMarked) {
        TQORSVCAccessData d;
        d.acd_EMailA = aMail;
        d.acd_EMailSort = MakeDwordPaddedKey(aMail);
        d.acd_Marked = aMarked;
        d.acd_RegisterEpoch = kNow;
        return d;
    }
};

TEST(NetworkAccess, ListsAppliedToClients) {
    TQORRoleScope role(kHeartbeat);
    Fixture f;
    TestSession* adm = f.Join("adm", kAdmin);
    TestSession* mut = f.Join("mut", kUser);
    TestSession* blk = f.Join("blk", kUser);
    TestSession* mrk = f.Join("mrk", kUser);
    TestSession* own = f.Join("own", kOwner);
    own->CliPrivilege = clpr_NETOWNER;

    TQORSVCAdminData a;
    a.add_AdmHashA = adm->CliHashA();
    a.add_RegisterEpoch = kNow;
    ASSERT_TRUE(f.access.NetAddAdminFromData(a));
    ASSERT_TRUE(f.access.NetAddMuteFromData(Fixture::MuteOf(*mut)));
    ASSERT_TRUE(f.access.NetAddBlockFromData(Fixture::MuteOf(*blk)));
    ASSERT_TRUE(f.access.NetAddAccessFromData(Fixture::RightOf("mrk@b.c", true)));
    ASSERT_TRUE(f.access.NetAddAccessFromData(Fixture::RightOf("mut@b.c", false)));
    // The same entry again, not newer: kept.
    EXPECT_FALSE(f.access.NetAddMuteFromData(Fixture::MuteOf(*mut)));
    f.access.NetSetModeFromData({true, true});

    struct Row {
        TestSession* Who;
        bool Admin, Muted, Blocked, Access, Talk;
    };
    const Row rows[] = {
        {adm, true, false, false, false, false},  // admins obey the access list too
        {mut, false, true, false, true, false},   // listed, not marked
        {blk, false, false, true, false, false},
        {mrk, false, false, false, true, true},
        {own, false, false, false, true, true},   // owners pass every mode
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Who->CliCallsignOpnameANSI());
        bool differs = true;
        EXPECT_EQ(f.access.FindAdminForContext(*r.Who, differs), r.Admin);
        EXPECT_EQ(f.access.IsMuted(*r.Who, differs), r.Muted);
        EXPECT_EQ(f.access.IsBlocked(*r.Who, differs), r.Blocked);
        const TQORSVCClientRights rights = f.access.GetRights(*r.Who, r.Who == own);
        EXPECT_EQ(rights.Access, r.Access);
        EXPECT_EQ(rights.Talk, r.Talk);
    }
    // The stored entries hold other texts than the clients sent.
    bool differs = false;
    EXPECT_TRUE(f.access.FindAdminForContext(*adm, differs));
    EXPECT_TRUE(differs);
    EXPECT_TRUE(f.access.IsMuted(*mut, differs));
    EXPECT_FALSE(differs) << "the mute was made from the client itself";

    // With both modes off everybody may connect and talk.
    f.access.NetSetModeFromData({false, false});
    const TQORSVCClientRights r = f.access.GetRights(*blk, false);
    EXPECT_TRUE(r.Access);
    EXPECT_TRUE(r.Talk);
}

TEST(NetworkAccess, RereadsMuteUnmuteAndEndClients) {
    TQORRoleScope role(kHeartbeat);
    Fixture f;
    TestSession* talker = f.Join("talk", kUser);
    TestSession* user = f.Join("user", kUser);
    TestSession* own = f.Join("own", kOwner);
    f.host.owners.insert(own->CliHashA());

    // A reread that mutes a connected talker: muted at once, the floor released.
    TQORSVCMuteBlockList read("Test");
    read.AddOrUpdateFromData(Fixture::MuteOf(*talker));
    f.access.UpdateMutesList(&read, false);
    EXPECT_TRUE(talker->CtxFlags() & QOR_CF_MUTED);
    EXPECT_EQ(f.host.released, std::vector<TQORSVCContext*>{talker});
    EXPECT_EQ(f.results & (0x2 | kNetResMutesChanged), 0x2u | kNetResMutesChanged);
    EXPECT_EQ(f.host.saved, std::vector<K>{K::Mutes});

    // The same list again changes nothing; an empty one unmutes.
    f.results = 0;
    f.host.saved.clear();
    f.access.UpdateMutesList(&read, false);
    EXPECT_EQ(f.results, 0u);
    EXPECT_TRUE(f.host.saved.empty());
    f.access.UpdateMutesList(nullptr, false);
    EXPECT_FALSE(talker->CtxFlags() & QOR_CF_MUTED);
    EXPECT_EQ(f.access.Mutes().Count(), 0);

    // Blocks end connected clients, never an owner.
    TQORSVCMuteBlockList blocks("Test");
    blocks.AddOrUpdateFromData(Fixture::MuteOf(*user));
    blocks.AddOrUpdateFromData(Fixture::MuteOf(*own));
    f.access.UpdateBlocksList(&blocks, false);
    EXPECT_EQ(user->DisconnectCauseR(), Cause::fsdc_AdminBlock);
    EXPECT_NE(own->DisconnectCauseR(), Cause::fsdc_AdminBlock);
    EXPECT_EQ(f.access.Blocks().Count(), 2);

    // New and removed admins come back in their new role.
    TQORSVCAdminList admins("Test");
    TQORSVCAdminData a;
    a.add_AdmHashA = talker->CliHashA();
    a.add_RegisterEpoch = kNow;
    admins.AddOrUpdateFromData(a);
    f.access.UpdateAdminsList(&admins, false);
    EXPECT_EQ(talker->DisconnectCauseR(), Cause::fsdc_ChangeRole);
    EXPECT_TRUE(f.results & kNetResAdminsChanged);

    // Modes: connect-only-listed ends whoever is not listed, owners aside.
    f.host.saved.clear();
    f.access.UpdateModes(0x100);
    EXPECT_TRUE(f.access.ConnectOnlyListed());
    EXPECT_FALSE(f.access.TalkOnlyMarked());
    EXPECT_EQ(f.host.saved, std::vector<K>{K::Modes});
    EXPECT_NE(own->DisconnectCauseR(), Cause::fsdc_AdminBlock);
    // A file without the network's line turns both modes off again.
    f.access.UpdateModes(0);
    EXPECT_FALSE(f.access.ConnectOnlyListed());
}

// The frames of every list, in the order sent, for one form.
std::string AllFrames(const TQORNetAccess& a, bool aUTF8) {
    std::string s;
    for (K k : {K::Blocks, K::Mutes, K::Admins, K::Modes, K::Rights, K::Notices})
        s += a.MakeListFrame(k, aUTF8);
    return s;
}

TEST(NetworkAccess, NewcomersGetTheFramesTheirClassMaySee) {
    TQORRoleScope role(kHeartbeat);
    Fixture f;
    f.access.SetNetNotice("  Hello  ", "Hall\xC3\xB6");
    TestSession* own8 = f.Join("own8", kOwner, false);
    TestSession* ownU = f.Join("ownU", kOwner | QOR_CF_UTF8, false);
    TestSession* adm = f.Join("adm", kAdmin | QOR_CF_UTF8, false);
    TestSession* usr = f.Join("usr", kUser, false);
    TestSession* leaving = f.Join("gone", kOwner | QOR_CF_LEAVING, false);
    f.host.newbies = {own8, ownU, adm, usr, leaving};
    f.results = 0x5550;  // the pending bits the admission of an owner sets
    f.access.SendLists();

    EXPECT_EQ(own8->sent, AllFrames(f.access, false));
    EXPECT_EQ(ownU->sent, AllFrames(f.access, true));
    const K order[] = {K::Blocks, K::Mutes, K::Admins, K::Modes, K::Rights, K::Notices};
    const std::array<int, 6> codes8 = {0x08, 0x09, 0x06, 0x0A, 0x07, 0x0B};
    const std::array<int, 6> codesU = {0x86, 0x87, 0x88, 0x0A, 0x8B, 0x8A};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(static_cast<uint8_t>(f.access.MakeListFrame(order[i], false)[0]), codes8[i]);
        EXPECT_EQ(static_cast<uint8_t>(f.access.MakeListFrame(order[i], true)[0]), codesU[i]);
    }
    EXPECT_EQ(adm->sent, f.access.MakeListFrame(K::Blocks, true) +
                             f.access.MakeListFrame(K::Mutes, true));
    EXPECT_EQ(usr->sent, "");
    EXPECT_EQ(leaving->sent, "");

    // An empty list is the code byte and a zero count; the notice is trimmed;
    // a notice without UTF-8 text reaches UTF-8 owners in the 8-bit form.
    EXPECT_EQ(f.access.MakeListFrame(K::Mutes, false), "\x09" "0\r\n");
    EXPECT_EQ(f.access.MakeListFrame(K::Notices, false), "\x0B" "1\r\nHello\r\n");
    EXPECT_EQ(f.access.MakeListFrame(K::Modes, true), "\x0A" "2\r\n0\r\n0\r\n");
    f.access.SetNetNotice("Only8", "");
    EXPECT_EQ(f.access.MakeListFrame(K::Notices, true), f.access.MakeListFrame(K::Notices, false));

    // A pending recipient is served once: the set is empty afterwards.
    for (auto& s : f.all) s->sent.clear();
    f.host.newbies.clear();
    f.results = 0;
    f.access.AddPending(K::Mutes, adm);
    f.access.SendLists();
    EXPECT_EQ(adm->sent, f.access.MakeListFrame(K::Mutes, true));
    adm->sent.clear();
    f.results = kNetResMutesPending;
    f.access.SendLists();
    EXPECT_EQ(adm->sent, "");
}

TEST(NetworkAccess, ChangedListsGoToEveryEntitledMemberOnce) {
    TQORRoleScope role(kHeartbeat);
    Fixture f;
    TestSession* ownU = f.Join("ownU", kOwner | QOR_CF_UTF8);
    TestSession* adm8 = f.Join("adm8", kAdmin);
    TestSession* usr = f.Join("usr", kUser);
    f.host.newbies = {ownU};
    f.access.AddPending(K::Mutes, ownU);  // asked by a command and also a newcomer
    f.access.AddPending(K::Modes, ownU);
    f.access.SendLists();
    EXPECT_EQ(ownU->sent, f.access.MakeListFrame(K::Mutes, true) +
                              f.access.MakeListFrame(K::Modes, true));

    for (auto& s : f.all) s->sent.clear();
    f.results = 0;
    f.access.NetAddMuteFromData(Fixture::MuteOf(*usr));
    f.access.Changed(K::Mutes);
    f.access.SendLists();
    EXPECT_EQ(ownU->sent, f.access.MakeListFrame(K::Mutes, true));
    EXPECT_EQ(adm8->sent, f.access.MakeListFrame(K::Mutes, false));
    EXPECT_EQ(usr->sent, "");
}

TEST(NetworkAccess, NoticeByAccessInfoMode) {
    TQORRoleScope role(kHeartbeat);
    struct Row {
        TQORSVCAccessInfoMode Mode;
        bool ModeOn;
        const char* Seen;
    };
    const Row rows[] = {
        {TQORSVCAccessInfoMode::fsaim_Original, false, ""},
        {TQORSVCAccessInfoMode::fsaim_Original, true, "Note"},
        {TQORSVCAccessInfoMode::fsaim_Always, false, "Note"},
        {TQORSVCAccessInfoMode::fsaim_Never, true, ""},
    };
    for (const Row& r : rows) {
        Fixture f(r.Mode);
        f.access.NetNoticeAddFromData({"Note", "Note"});
        f.access.NetSetModeFromData({false, r.ModeOn});
        EXPECT_EQ(f.access.NoticeActualANSI(), r.Seen);
        EXPECT_EQ(f.access.NoticeActualUTF8(), r.Seen);
    }
    // Control bytes never reach a stored notice; clearing reports a change once.
    Fixture f;
    EXPECT_TRUE(f.access.NetNoticeAddFromData({"a\rb", "c\nd"}));
    EXPECT_EQ(f.access.NoticeANSI(), "a b");
    EXPECT_EQ(f.access.NoticeUTF8(), "c d");
    f.access.UpdateNotice(nullptr);
    EXPECT_EQ(f.host.saved, std::vector<K>{K::Notices});
    f.access.UpdateNotice(nullptr);
    EXPECT_EQ(f.host.saved.size(), 1u);
}

TEST(NetworkAccess, TimedEntriesExpireAndLeaveTheSnapshot) {
    TQORRoleScope role(kHeartbeat);
    Fixture f;
    TestSession* m = f.Join("mut", kUser);
    TestSession* b = f.Join("blk", kUser);
    TestSession* keep = f.Join("keep", kUser);
    ASSERT_TRUE(f.access.NetAddMuteFromData(Fixture::MuteOf(*m, 60)));
    ASSERT_TRUE(f.access.NetAddMuteFromData(Fixture::MuteOf(*keep, 0)));
    ASSERT_TRUE(f.access.NetAddBlockFromData(Fixture::MuteOf(*b, 60)));
    m->SetMuted(true);
    keep->SetMuted(true);

    f.access.Expire(kNow + 59);
    EXPECT_TRUE(f.host.saved.empty());
    f.access.Expire(kNow + 60);
    EXPECT_FALSE(m->CtxFlags() & QOR_CF_MUTED);
    EXPECT_TRUE(keep->CtxFlags() & QOR_CF_MUTED);
    EXPECT_EQ(f.host.saved, (std::vector<K>{K::Mutes, K::Blocks}));
    EXPECT_TRUE(f.results & kNetResMutesChanged);
    EXPECT_TRUE(f.results & kNetResBlocksChanged);

    TQORSVCWriteArray lines;
    f.access.AppendSnapshot(K::Mutes, lines);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], MakeMuteBlockFileLine("Test", f.access.Mutes().At(0)->GetData()));
    lines.clear();
    f.access.AppendSnapshot(K::Blocks, lines);
    EXPECT_TRUE(lines.empty());

    // Modes and notice lines only for what is set.
    f.access.AppendSnapshot(K::Modes, lines);
    f.access.AppendSnapshot(K::Notices, lines);
    EXPECT_TRUE(lines.empty());
    f.access.NetSetModeFromData({false, true});
    f.access.NetNoticeAddFromData({"N", ""});
    f.access.AppendSnapshot(K::Modes, lines);
    f.access.AppendSnapshot(K::Notices, lines);
    EXPECT_EQ(lines, (TQORSVCWriteArray{"Test|0|1\r\n", "Test|4E|\r\n"}));
}

}  // namespace
