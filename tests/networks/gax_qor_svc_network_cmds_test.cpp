// The list commands of admins, owners and the operator, driven through a
// network's command array with recording sessions: what each does to the
// members, to the lists and what the operator is answered.
#include "networks/gax_qor_svc_network.h"

#include <gtest/gtest.h>

#include <map>

#include "foundation/gax_mlang.h"
#include "networks/gax_qor_svc_network_admin.h"
#include "networks/net_test_support.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/session_test_support.h"

namespace {

using namespace gax;
using namespace session_test;
using C = TQORServNetworkCommand;
using Cause = TQORSVCDisconnectCause;

struct Host : TQORSVCNetHost {
    std::map<TQORSVCListKind, int> changed;
    void NetHostListChanged(TQORSVCListKind aKind) override { ++changed[aKind]; }
    void NetHostLog(std::u16string) override {}
};

constexpr int64_t kNow = 1700000000;
// No cause stored: the session was not told to end.
constexpr Cause kNoCause = Cause::fsdc_DisconnectWithoutAuth;
const std::string kOwnerMail = "owner@b.c";

class NetCmdsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_Codes = CreateCharsetsCodeList().release(); }
    static void TearDownTestSuite() { delete s_Codes; }

    void Make(const std::function<void(TQORSVCNetworkOptions&)>& aSet = {}) {
        net = net_test::MakeTestNet(serv, s_Codes, host, svc, frames,
                                    [&](TQORSVCNetworkOptions& aOpts) {
                                        aOpts.no_NetOwnersEMails = {u"owner@b.c"};
                                        if (aSet) aSet(aOpts);
                                    });
        TQORServNetwork::TQORNetCmdFacts f;
        f.ChannelAnswer = [this](TQORSVCHandle, TQORGlobalKey aKey, std::string aText) {
            answers.push_back(std::to_string(aKey) + ":" + aText);
        };
        f.ParrotId = MakeSourceId("parrot@b.c");
        net->SetCmdFacts(std::move(f));
        net->SetEpochSource([] { return kNow; });
    }

    // A session past its connect string, owned by the test.
    TestSession* Arrive(const std::string& aMail) GAX_REQUIRES(kHeartbeat) {
        auto owned = std::make_unique<TestSession>(svc, ++key);
        TestSession* c = owned.get();
        all.push_back(std::move(owned));
        c->Connect(net_test::ConnectString(aMail, aMail + " Name"));
        return c;
    }
    TestSession* Visible(const std::string& aMail, TQORClientPrivilege aPriv = clpr_USER) GAX_REQUIRES(kHeartbeat) {
        if (aPriv == clpr_ADMIN) net->Access().NetAddAdminFromData(AdminDataForId(Id(aMail), kNow));
        TestSession* c = Arrive(aMail);
        Push(C::snc_HandshakeClient, c);
        Push(C::snc_AttachNetwork, c);
        for (int i = 0; i < 20 && !net->IsVisible(c); ++i) Ping();
        EXPECT_TRUE(net->IsVisible(c));
        EXPECT_EQ(c->CliPrivilege, aPriv);
        c->sent.clear();
        return c;
    }
    static std::string Id(const std::string& aMail) { return MakeSourceId(aMail); }

    void Push(C aCmd, TestSession* aCtx, std::string aS1 = {}, std::string aS2 = {},
              int32_t aI0 = 0, int32_t aI1 = 0, int32_t aI2 = 0) GAX_REQUIRES(kHeartbeat) {
        auto r = std::make_unique<TQORSVCNetQueueRecord>();
        r->nqr_Cmd = aCmd;
        r->nqr_DataS1 = std::move(aS1);
        r->nqr_DataS2 = std::move(aS2);
        r->nqr_DataI0 = aI0;
        r->nqr_DataI1 = aI1;
        r->nqr_DataI2 = aI2;
        r->nqr_GlobalKey = 77;
        ASSERT_TRUE(net->NetQueuePushCtx(r, aCtx));
    }
    void Beat() GAX_REQUIRES(kHeartbeat) { net->NetHeartBeat(false, tick); }
    void Ping() GAX_REQUIRES(kHeartbeat) {
        tick += 500;
        net->NetHeartBeat(true, tick);
    }
    void Run(C aCmd, TestSession* aCtx, std::string aS1 = {}, std::string aS2 = {},
             int32_t aI0 = 0, int32_t aI1 = 0, int32_t aI2 = 0) GAX_REQUIRES(kHeartbeat) {
        Push(aCmd, aCtx, std::move(aS1), std::move(aS2), aI0, aI1, aI2);
        Beat();
    }
    void Talk(TestSession* c) GAX_REQUIRES(kHeartbeat) {
        Run(C::snc_TxRequest, c);
        ASSERT_EQ(net->Speaking(), c);
    }
    // Its disconnect hands the session to the network, which frees it.
    void Leave(TestSession* c) GAX_REQUIRES(kHeartbeat) {
        for (auto& p : all)
            if (p.get() == c) (void)p.release();
        Run(C::snc_ClientDisconnected, c);
    }
    void ClearSent() {
        for (auto& c : all)
            if (c) c->sent.clear();
    }
    int Changed(TQORSVCListKind aKind) { return host.changed[aKind]; }
    void Forget() {
        host.changed.clear();
        answers.clear();
    }

    static TCharsetsCodeList* s_Codes;
    TQORServiceNetOptions serv;
    FakeService svc;
    Host host;
    TQORNetworksList frames{s_Codes};
    std::vector<std::unique_ptr<TestSession>> all;  // outlive the network
    std::unique_ptr<TQORServNetwork> net;
    std::vector<std::string> answers;
    TQORGlobalKey key = 100;
    uint32_t tick = 10000;
};
TCharsetsCodeList* NetCmdsTest::s_Codes = nullptr;

// Who acts on whom, and what happens to the target and to the lists.
TEST_F(NetCmdsTest, ClientCommandsOnPresentAndAbsentTargets) {
    TQORRoleScope role(kHeartbeat);
    using K = TQORSVCListKind;
    struct Case {
        const char* name;
        C cmd;
        bool byOwner;
        const char* target;  // "user", "owner", "muted", or a mail of nobody connected
        bool idInS2;
        K list;
        int listChanges;
        Cause targetCause;
        bool targetMuted;
    } cases[] = {
        {"mute user", C::snc_MuteClient, false, "user", true, K::Mutes, 1, kNoCause, true},
        {"mute muted", C::snc_MuteClient, false, "muted", true, K::Mutes, 0, kNoCause, true},
        {"mute absent", C::snc_MuteClient, false, "x@y.z", true, K::Mutes, 1, kNoCause, false},
        {"block user", C::snc_BlockClient, false, "user", true, K::Blocks, 1, Cause::fsdc_AdminBlock, false},
        {"block owner", C::snc_BlockClient, false, "owner", true, K::Blocks, 0, kNoCause, false},
        {"block absent owner", C::snc_BlockClient, false, "owner@b.c", true, K::Blocks, 0, kNoCause, false},
        {"block absent parrot", C::snc_BlockClient, false, "parrot@b.c", true, K::Blocks, 0, kNoCause, false},
        {"block absent", C::snc_BlockClient, false, "x@y.z", true, K::Blocks, 1, kNoCause, false},
        {"admin user", C::snc_MakeAdmin, true, "user", true, K::Admins, 1, Cause::fsdc_ChangeRole, false},
        {"admin owner", C::snc_MakeAdmin, true, "owner", true, K::Admins, 0, kNoCause, false},
        {"admin absent parrot", C::snc_MakeAdmin, true, "parrot@b.c", true, K::Admins, 0, kNoCause, false},
        {"admin absent", C::snc_MakeAdmin, true, "x@y.z", true, K::Admins, 1, kNoCause, false},
        {"unlisted unmute", C::snc_UnmuteClient, false, "user", false, K::Mutes, 0, kNoCause, false},
        {"unlisted unblock", C::snc_UnblockClient, false, "x@y.z", false, K::Blocks, 0, kNoCause, false},
        {"unlisted admin delete", C::snc_DeleteAdmin, true, "user", false, K::Admins, 0, kNoCause, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        all.clear();
        Make();
        TestSession* owner = Visible(kOwnerMail, clpr_NETOWNER);
        TestSession* admin = Visible("admin@b.c", clpr_ADMIN);
        TestSession* user = Visible("user@b.c");
        const std::string t = k.target;
        TestSession* target = t == "user" || t == "muted" ? user : t == "owner" ? owner : nullptr;
        const std::string id = target != nullptr ? target->CliHashA() : Id(t);
        if (t == "muted") Run(C::snc_MuteClient, admin, {}, id);
        Forget();
        TestSession* actor = k.byOwner ? owner : admin;
        if (k.idInS2)
            Run(k.cmd, actor, {}, id);
        else
            Run(k.cmd, actor, id);
        EXPECT_EQ(Changed(k.list), k.listChanges);
        // The actor gets the list back at the ping, changed or not.
        actor->sent.clear();
        Ping();
        EXPECT_NE(actor->sent.find(net->Access().MakeListFrame(k.list, false)), std::string::npos);
        if (target != nullptr) {
            EXPECT_EQ(target->DisconnectCauseR(), k.targetCause);
            EXPECT_EQ((target->CtxFlags() & QOR_CF_MUTED) != 0, k.targetMuted);
        }
        EXPECT_EQ(actor->DisconnectCauseR(), kNoCause);
        net.reset();
    }
}

TEST_F(NetCmdsTest, MuteOfTheTalkerEndsItsTransmissionAndUnmuteLetsItTalkAgain) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* admin = Visible("admin@b.c", clpr_ADMIN);
    TestSession* talker = Visible("talker@b.c");
    TestSession* deaf = Visible("deaf@b.c");
    deaf->CtxFlagsSet(QOR_CF_NO_SERVER_SOUNDS);
    Talk(talker);
    ClearSent();
    Run(C::snc_MuteClient, admin, {}, talker->CliHashA());
    EXPECT_EQ(net->Speaking(), nullptr);
    EXPECT_EQ(admin->sent, std::string(1, '\0'));
    EXPECT_EQ(talker->sent, std::string(1, '\0'));
    EXPECT_EQ(deaf->sent, "") << "a member that refuses server sounds gets no end byte";
    EXPECT_NE(talker->CtxFlags() & QOR_CF_MUTED, 0u);
    Run(C::snc_TxRequest, talker);
    EXPECT_EQ(net->Speaking(), nullptr);

    Run(C::snc_UnmuteClient, admin, talker->CliHashA());
    EXPECT_EQ(talker->CtxFlags() & QOR_CF_MUTED, 0u);
    Talk(talker);
}

TEST_F(NetCmdsTest, WhoMayLiftAMuteFollowsLevelAndExactOptions) {
    TQORRoleScope role(kHeartbeat);
    struct Case {
        bool level, exact;
        const char* lifter;  // "author", "other admin", "owner"
        bool lifted;
    } cases[] = {
        {false, false, "other admin", true}, {false, true, "other admin", false},
        {false, true, "author", true},       {false, true, "owner", false},
        {true, false, "other admin", true},  {true, true, "other admin", false},
        {true, true, "owner", true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.lifter) + (k.level ? " level" : "") + (k.exact ? " exact" : ""));
        all.clear();
        Make([&](TQORSVCNetworkOptions& o) GAX_REQUIRES(kHeartbeat) {
            o.no_LevelMuteBlock = k.level;
            o.no_ExactMuteBlock = k.exact;
        });
        TestSession* owner = Visible(kOwnerMail, clpr_NETOWNER);
        TestSession* author = Visible("admin@b.c", clpr_ADMIN);
        TestSession* other = Visible("admin2@b.c", clpr_ADMIN);
        TestSession* user = Visible("user@b.c");
        Run(C::snc_MuteClient, author, {}, user->CliHashA());
        TestSession* lifter = std::string(k.lifter) == "author"  ? author
                              : std::string(k.lifter) == "owner" ? owner
                                                                 : other;
        Run(C::snc_UnmuteClient, lifter, user->CliHashA());
        EXPECT_EQ((user->CtxFlags() & QOR_CF_MUTED) == 0, k.lifted);
        net.reset();
    }
}

TEST_F(NetCmdsTest, ChannelMuteOfAnEmulatedTransmissionSendsTheEndByteAndEndsIt) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* c = Visible("quiet@b.c");
    c->Ctx2FlagsSet(QOR_C2F_IGNORE_SOUNDS);
    Run(C::snc_TxRequest, c);
    ASSERT_NE(c->CtxFlags() & QOR_CF_EMULATED_TX, 0u);
    ASSERT_EQ(net->Relay().EmulatedTxCount(), 1);
    c->sent.clear();
    Run(C::snc_ChannelMute, nullptr, {}, c->CliHashA(), 0, 1);
    EXPECT_EQ(c->sent, std::string(1, '\0'));
    EXPECT_EQ(c->CtxFlags() & QOR_CF_EMULATED_TX, 0u);
    EXPECT_EQ(net->Relay().EmulatedTxCount(), 0);
    EXPECT_EQ(Changed(TQORSVCListKind::Mutes), 1);
}

TEST_F(NetCmdsTest, ChannelBlocksAsTheServerOwnerButNeverAnOwner) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* owner = Visible(kOwnerMail, clpr_NETOWNER);
    TestSession* user = Visible("user@b.c");
    Run(C::snc_ChannelBlock, nullptr, {}, owner->CliHashA(), 0, 1);
    EXPECT_EQ(owner->DisconnectCauseR(), kNoCause);
    EXPECT_EQ(Changed(TQORSVCListKind::Blocks), 0);
    Run(C::snc_ChannelBlock, nullptr, {}, user->CliHashA(), 60, 1);
    EXPECT_EQ(user->DisconnectCauseR(), Cause::fsdc_AdminBlock);
    EXPECT_EQ(Changed(TQORSVCListKind::Blocks), 1);
    // The operator lifts the entry it made.
    Run(C::snc_ChannelBlock, nullptr, {}, user->CliHashA(), 0, 0);
    EXPECT_EQ(Changed(TQORSVCListKind::Blocks), 2);
}

// The operator's entries name the server owner with its callsign as it is at
// each command: the owner may log in with another one between two commands.
TEST_F(NetCmdsTest, ChannelEntriesNameTheOwnersCallsignOfTheMoment) {
    TQORRoleScope role(kHeartbeat);
    Make();
    svc.ownerId = Id("boss@b.c");
    TQORServNetwork::TQORNetOwnerName owner;
    TQORServNetwork::TQORNetCmdFacts f;
    f.ParrotId = MakeSourceId("parrot@b.c");
    f.ServOwnerName = [&owner] { return owner; };
    net->SetCmdFacts(std::move(f));
    TestSession* muted = Visible("muted@b.c");
    TestSession* blocked = Visible("blocked@b.c");
    struct Case {
        C cmd;
        std::string id;
        bool mutes;
    } cases[] = {
        {C::snc_ChannelMute, muted->CliHashA(), true},
        {C::snc_ChannelMute, Id("away1@b.c"), true},
        {C::snc_ChannelBlock, blocked->CliHashA(), false},
        {C::snc_ChannelBlock, Id("away2@b.c"), false},
    };
    int n = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(n);
        ++n;
        owner = {"BOSS" + std::to_string(n), "BOSS\xC3\xA9" + std::to_string(n)};
        Run(k.cmd, nullptr, {}, k.id, 60, 1);
        const TQORSVCMuteBlock* e = (k.mutes ? net->Access().Mutes() : net->Access().Blocks())
                                        .Find(MakeDwordPaddedKey(k.id));
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->GetData().mbd_ByAdminNameANSI, owner.ANSI);
        EXPECT_EQ(e->GetData().mbd_ByAdminNameUTF8, owner.UTF8);
        EXPECT_EQ(e->GetData().mbd_ByAdminId, svc.ownerId);
        EXPECT_EQ(e->GetData().mbd_ByAdminPrivlege, clpr_SERVOWNER);
    }
}

TEST_F(NetCmdsTest, ChannelAnswersAreByteExact) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* a = Visible("a@b.c");
    TestSession* b = Visible("b@b.c");
    auto ask = [&](C aCmd, std::string aS1, int32_t aI0, int32_t aI1 = 0) GAX_REQUIRES(kHeartbeat) {
        answers.clear();
        Run(aCmd, nullptr, std::move(aS1), {}, aI0, aI1);
        return answers.size() == 1 ? answers[0] : "answers: " + std::to_string(answers.size());
    };
    EXPECT_EQ(ask(C::snc_ChannelConnectListedOnly, {}, -1), "77:+1\r\n0\r\n");
    EXPECT_EQ(ask(C::snc_ChannelConnectListedOnly, {}, 1), "answers: 0");
    EXPECT_EQ(ask(C::snc_ChannelConnectListedOnly, {}, -1), "77:+1\r\n1\r\n");
    EXPECT_EQ(ask(C::snc_ChannelConnectListedOnly, {}, 7), "answers: 0");
    EXPECT_EQ(ask(C::snc_ChannelConnectListedOnly, {}, -1), "77:+1\r\n1\r\n");
    EXPECT_EQ(ask(C::snc_ChannelTalkMarkedOnly, {}, -1), "77:+1\r\n0\r\n");

    EXPECT_EQ(ask(C::snc_ChannelInternalFlags, a->CliHashA(), 2),
              "77:+1\r\nNo any internal flags are set\r\n");
    EXPECT_EQ(ask(C::snc_ChannelInternalFlags, a->CliHashA(), 1, 0x01 | 0x08), "77:+OK\r\n");
    EXPECT_EQ(ask(C::snc_ChannelInternalFlags, a->CliHashA(), 2),
              "77:+1\r\nNOSERVERMESSAGES IGNORECLIENTMESSAGES\r\n");
    EXPECT_EQ(ask(C::snc_ChannelInternalFlags, a->CliHashA(), 0, 0x01), "77:+OK\r\n");
    EXPECT_EQ(ask(C::snc_ChannelInternalFlags, a->CliHashA(), 2),
              "77:+1\r\nIGNORECLIENTMESSAGES\r\n");
    EXPECT_EQ(ask(C::snc_ChannelInternalFlags, a->CliHashA(), 3), "77:-WRONGTEXT\r\n");
    EXPECT_EQ(ask(C::snc_ChannelInternalFlags, a->CliHashA(), -1), "77:-WRONGTEXT\r\n");
    EXPECT_EQ(ask(C::snc_ChannelInternalFlags, Id("nobody@b.c"), 2), "77:-NOCLIENT\r\n");

    EXPECT_EQ(ask(C::snc_ChannelSendHugeSound, b->CliHashA(), 0), "77:-NOSPEAKER\r\n");
    Talk(a);
    EXPECT_EQ(ask(C::snc_ChannelSendHugeSound, Id("nobody@b.c"), 0), "77:-NOCLIENT\r\n");
    EXPECT_EQ(ask(C::snc_ChannelSendHugeSound, a->CliHashA(), 0), "77:-BUSY\r\n");
    b->CtxFlagsSet(QOR_CF_NO_SERVER_SOUNDS);
    EXPECT_EQ(ask(C::snc_ChannelSendHugeSound, b->CliHashA(), 0), "77:-DENIED\r\n");
    b->CtxFlagsClear(QOR_CF_NO_SERVER_SOUNDS);
    b->sent.clear();
    EXPECT_EQ(ask(C::snc_ChannelSendHugeSound, b->CliHashA(), 0), "77:+OK\r\n");
    ASSERT_EQ(b->sent.size(), 1000u * 328u);
    EXPECT_EQ(b->sent[0], '\x02');
    EXPECT_EQ(b->sent.substr(1, 2), std::string({0, static_cast<char>(a->QORNetworkIndex())}));
}

TEST_F(NetCmdsTest, InternalFlagsIgnoringSoundsTurnsTheTalkIntoAnEmulatedOne) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* talker = Visible("t@b.c");
    TestSession* other = Visible("o@b.c");
    Talk(talker);
    other->sent.clear();
    Run(C::snc_ChannelInternalFlags, nullptr, talker->CliHashA(), {}, 1, 0x04);
    EXPECT_EQ(net->Speaking(), nullptr);
    EXPECT_EQ(other->sent, std::string(1, '\0'));
    EXPECT_NE(talker->CtxFlags() & QOR_CF_EMULATED_TX, 0u);
    EXPECT_EQ(net->Relay().EmulatedTxCount(), 1);
    Run(C::snc_ChannelInternalFlags, nullptr, talker->CliHashA(), {}, 0, 0x04);
    EXPECT_EQ(talker->CtxFlags() & QOR_CF_EMULATED_TX, 0u);
    EXPECT_EQ(net->Relay().EmulatedTxCount(), 0);
}

TEST_F(NetCmdsTest, RightsDeleteUnderConnectOnlyListedClosesTheTalkerAfterReleasingTheFloor) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* owner = Visible(kOwnerMail, clpr_NETOWNER);
    TestSession* m = Visible("m@b.c");
    Run(C::snc_RightsAddClient, owner, "m@b.c", {}, -1);
    EXPECT_EQ(Changed(TQORSVCListKind::Rights), 1);
    Run(C::snc_RightsEnableConnectListedOnly, owner);
    EXPECT_EQ(Changed(TQORSVCListKind::Modes), 1);
    Talk(m);
    owner->sent.clear();
    Run(C::snc_RightsDeleteClient, owner, "m@b.c", {}, -1);
    EXPECT_EQ(net->Speaking(), nullptr);
    EXPECT_EQ(owner->sent.substr(0, 1), std::string(1, '\0'));
    EXPECT_EQ(m->DisconnectCauseR(), Cause::fsdc_AdminBlock);
    // An owner is never shut out by the access list.
    Run(C::snc_RightsAddClient, owner, kOwnerMail, {}, -1);
    Run(C::snc_RightsDeleteClient, owner, kOwnerMail, {}, -1);
    EXPECT_EQ(owner->DisconnectCauseR(), kNoCause);
}

TEST_F(NetCmdsTest, MarkAndUnmarkUnderTalkOnlyMarkedGiveAndTakeTheRightToTalk) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* owner = Visible(kOwnerMail, clpr_NETOWNER);
    TestSession* m = Visible("m@b.c");
    Run(C::snc_RightsAddClient, owner, "m@b.c", {}, -1);
    Run(C::snc_RightsEnableTalkMarkedOnly, owner);
    Run(C::snc_RightsMarkClient, owner, "m@b.c");
    EXPECT_EQ(m->CtxFlags() & QOR_CF_TALK_DENIED, 0u);
    Talk(m);
    Run(C::snc_RightsUnmarkClient, owner, "m@b.c");
    EXPECT_NE(m->CtxFlags() & QOR_CF_TALK_DENIED, 0u);
    EXPECT_EQ(net->Speaking(), nullptr);
    // Unmarking the owner's own entry leaves it free to talk.
    Run(C::snc_RightsAddClient, owner, kOwnerMail, {}, -1);
    Run(C::snc_RightsUnmarkClient, owner, kOwnerMail);
    EXPECT_EQ(owner->CtxFlags() & QOR_CF_TALK_DENIED, 0u);
}

TEST_F(NetCmdsTest, NoticeChangesOnlyWhenTheTextsDiffer) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* owner = Visible(kOwnerMail, clpr_NETOWNER);
    Run(C::snc_NetworkNotice, owner, "Members only");
    Run(C::snc_NetworkNotice, owner, "Members only");
    EXPECT_EQ(Changed(TQORSVCListKind::Notices), 1);
    Run(C::snc_ChannelRightNoticeSet, nullptr, {}, {});
    EXPECT_EQ(Changed(TQORSVCListKind::Notices), 2);
}

// A command queued behind its sender's move reaches the network the sender is
// in now: the rights are this network's, whatever the sender's worker saw.
TEST_F(NetCmdsTest, ACommandIsRunWithTheRightsItsSenderHasHere) {
    TQORRoleScope role(kHeartbeat);
    using K = TQORSVCListKind;
    struct Case {
        const char* name;
        C cmd;
        bool idInS2;
        K list;
    } cases[] = {
        {"mute", C::snc_MuteClient, true, K::Mutes},
        {"block", C::snc_BlockClient, true, K::Blocks},
        {"make admin", C::snc_MakeAdmin, true, K::Admins},
        {"add to the access list", C::snc_RightsAddClient, false, K::Rights},
        {"connect listed only", C::snc_RightsEnableConnectListedOnly, false, K::Modes},
        {"notice", C::snc_NetworkNotice, false, K::Notices},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        all.clear();
        Make();
        TestSession* admin = Visible("admin@b.c", clpr_ADMIN);
        TestSession* user = Visible("user@b.c");
        TestSession* target = Visible("target@b.c");
        const std::string arg = k.cmd == C::snc_NetworkNotice ? "hello" : target->CliHashA();
        Forget();
        // An admin may mute and block but not run the owners' commands.
        TestSession* actor = k.cmd == C::snc_MuteClient || k.cmd == C::snc_BlockClient ? user : admin;
        if (k.idInS2)
            Run(k.cmd, actor, {}, arg);
        else
            Run(k.cmd, actor, arg);
        EXPECT_EQ(Changed(k.list), 0);
        EXPECT_EQ(target->DisconnectCauseR(), kNoCause);
        EXPECT_EQ(target->CtxFlags() & QOR_CF_MUTED, 0u);
        // Dropped, not answered: the actor gets no list either.
        actor->sent.clear();
        Ping();
        EXPECT_EQ(actor->sent.find(net->Access().MakeListFrame(k.list, false)), std::string::npos);
        net.reset();
    }
}

// A time limit counts only where the sender was granted timed mutes.
TEST_F(NetCmdsTest, AMuteWithoutTheTimedGrantIsForGood) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* admin = Visible("admin@b.c", clpr_ADMIN);
    TestSession* user = Visible("user@b.c");
    ASSERT_EQ(admin->CliAnswerExtFlags() & QOR_EXT_TEMP_MUTE_BLOCK, 0u);
    Run(C::snc_MuteClient, admin, {}, user->CliHashA(), 60);
    const TQORSVCMuteBlock* e = net->Access().Mutes().Find(MakeDwordPaddedKey(user->CliHashA()));
    ASSERT_NE(e, nullptr);
    EXPECT_LE(e->GetData().mbd_Time, 0);
    EXPECT_EQ(e->GetData().mbd_ReleaseEpoch, 0);
}

TEST_F(NetCmdsTest, ACommandWhoseSenderHasGoneIsDropped) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* user = Visible("user@b.c");
    Run(C::snc_MuteClient, nullptr, {}, user->CliHashA());
    EXPECT_EQ(user->CtxFlags() & QOR_CF_MUTED, 0u);
    EXPECT_EQ(Changed(TQORSVCListKind::Mutes), 0);
}

}  // namespace

namespace {

// A block and a new role hold for the client's next login.
TEST_F(NetCmdsTest, BlockedUserIsRefusedAndNewAdminComesBackAsAdmin) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* owner = Visible(kOwnerMail, clpr_NETOWNER);
    TestSession* admin = Visible("admin@b.c", clpr_ADMIN);
    TestSession* user = Visible("user@b.c");
    TestSession* helper = Visible("helper@b.c");
    Run(C::snc_BlockClient, admin, {}, user->CliHashA());
    Run(C::snc_MakeAdmin, owner, {}, helper->CliHashA());
    EXPECT_EQ(user->DisconnectCauseR(), Cause::fsdc_AdminBlock);
    EXPECT_EQ(helper->DisconnectCauseR(), Cause::fsdc_ChangeRole);
    Leave(user);
    Leave(helper);
    Ping();

    auto relogin = [&](const std::string& aMail) GAX_REQUIRES(kHeartbeat) {
        TestSession* c = Arrive(aMail);
        Run(C::snc_HandshakeClient, c);
        return c;
    };
    TestSession* again = relogin("user@b.c");
    EXPECT_EQ(again->ClientError(), TClientErrorType::cet_BLOCK);
    EXPECT_EQ(again->DisconnectCauseR(), Cause::fsdc_AdminBlock);
    TestSession* promoted = relogin("helper@b.c");
    EXPECT_EQ(promoted->ClientError(), TClientErrorType::cet_OK);
    EXPECT_EQ(promoted->CliPrivilege, clpr_ADMIN);
    // Taken back: it is a user at its next login.
    Run(C::snc_DeleteAdmin, owner, promoted->CliHashA());
    EXPECT_EQ(promoted->DisconnectCauseR(), Cause::fsdc_ChangeRole);
}

}  // namespace
