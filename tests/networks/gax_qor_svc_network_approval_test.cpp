// A network in a manager mode, driven by hand: clients wait in ATTACH until
// every effective manager has answered, and the mode and the answers decide.
// The managers are a recorder; answers are pushed as the service would.
#include <gtest/gtest.h>

#include "foundation/gax_mlang.h"
#include "networks/gax_qor_svc_network.h"
#include "networks/net_test_support.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/session_test_support.h"

namespace {

using namespace gax;
using namespace session_test;
using E = TClientErrorType;
using Cmd = TQORServNetworkCommand;

struct Managers : TQORSVCNetManagers {
    uint32_t active = 0x0F;
    struct Reg {
        int32_t Index;
        const TQORSVCContext* Ctx;
    };
    std::vector<Reg> registered;
    std::vector<std::pair<int32_t, std::string>> unregistered;
    std::vector<std::pair<int32_t, int32_t>> counts;
    bool NetManagerActive(int32_t i) const override { return active & (1u << i); }
    void NetManagerRegister(int32_t i, const TQORSVCContext& c, const TQORSVCClientNetwork&,
                            int32_t) override {
        registered.push_back({i, &c});
    }
    void NetManagerUnregister(int32_t i, std::string_view id, std::string_view,
                              const TQORSVCClientNetwork&) override {
        unregistered.emplace_back(i, std::string(id));
    }
    void NetManagerClientCount(int32_t i, const TQORSVCClientNetwork&, int32_t n) override {
        counts.emplace_back(i, n);
    }
    void NetManagerConfirmEmail(std::string, int32_t) override {}
    size_t RegistrationsOf(const TQORSVCContext* c, int32_t i) const {
        size_t n = 0;
        for (const Reg& r : registered) n += r.Ctx == c && r.Index == i;
        return n;
    }
};

class ApprovalTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_Codes = CreateCharsetsCodeList().release(); }
    static void TearDownTestSuite() { delete s_Codes; }
    void TearDown() override GAX_REQUIRES(kHeartbeat) {
        for (TestSession* c : clients) {
            Push(Cmd::snc_ClientDisconnected, c);
        }
        if (net) {
            tick += 500;
            net->NetHeartBeat(true, tick);
        }
    }

    void Make(TQORSystemManagerMode aMode, uint32_t aMask, uint32_t aActive = 0x0F,
              bool aAllowOwner = false, TGaxTick32 aQuarantine = 0) {
        net = net_test::MakeTestNet(serv, s_Codes, host, svc, frames,
                                    [&](TQORSVCNetworkOptions& aOpts) {
                                        aOpts.no_NetManagerMode = aMode;
                                        aOpts.no_ManagersMask = int32_t(aMask);
                                        aOpts.no_AlwaysAllowServerOwner = aAllowOwner;
                                        aOpts.no_QuarantineTicks = aQuarantine;
                                    });
        net->SetHandshakeAnswer([](const TQORSVCContext&, E a) {
            return a == E::cet_OK ? std::string("ANSWER OK")
                                  : "ANSWER REFUSED " + std::to_string(int(a));
        });
        mgrs = Managers{};
        mgrs.active = aActive;
        net->SetEffManagersMask(aActive);
        net->SetManagers(&mgrs);
    }
    TestSession* Arrive(const std::string& aMail) GAX_REQUIRES(kHeartbeat) {
        // Freed by the network once its disconnect has been handled.
        auto* c = new TestSession(svc, ++key);
        c->Connect(net_test::ConnectString(aMail, aMail + " Name"));
        clients.push_back(c);
        Push(Cmd::snc_HandshakeClient, c);
        Beat();
        return c;
    }
    void Push(Cmd aCmd, TestSession* aCtx, int32_t aI0 = 0, int32_t aI1 = 0,
              std::string aS2 = {}) GAX_REQUIRES(kHeartbeat) {
        auto r = std::make_unique<TQORSVCNetQueueRecord>();
        r->nqr_Cmd = aCmd;
        r->nqr_DataI0 = aI0;
        r->nqr_DataI1 = aI1;
        r->nqr_DataS2 = std::move(aS2);
        ASSERT_TRUE(net->NetQueuePushCtx(r, aCtx));
    }
    void Answer(TestSession* c, int32_t aIndex, E aAnswer, std::string aId = "mid") GAX_REQUIRES(kHeartbeat) {
        Push(Cmd::snc_ManagerAnswer, c, int32_t(aAnswer), aIndex,
             aAnswer == E::cet_OK ? std::move(aId) : std::string());
        Beat();
    }
    void Beat() GAX_REQUIRES(kHeartbeat) { net->NetHeartBeat(false, tick); }
    void MakeVisible(TestSession* c) GAX_REQUIRES(kHeartbeat) {
        Push(Cmd::snc_AttachNetwork, c);
        for (int i = 0; i < 20 && !net->IsVisible(c); ++i) {
            tick += 500;
            net->NetHeartBeat(true, tick);
        }
        ASSERT_TRUE(net->IsVisible(c));
    }
    size_t In(const char* aHold) const GAX_REQUIRES(kHeartbeat) { return net->Hold(aHold).Count(); }

    static TCharsetsCodeList* s_Codes;
    TQORServiceNetOptions serv;
    FakeService svc;
    net_test::RecordingHost host;
    Managers mgrs;
    TQORNetworksList frames{s_Codes};
    std::unique_ptr<TQORServNetwork> net;
    std::vector<TestSession*> clients;
    TQORGlobalKey key = 0;
    uint32_t tick = 1000;
};
TCharsetsCodeList* ApprovalTest::s_Codes = nullptr;

TEST_F(ApprovalTest, ModeAndAnswerDecideAndRefusalsCarryTheManagersWord) {
    TQORRoleScope role(kHeartbeat);
    struct Case {
        TQORSystemManagerMode mode;
        E answer;
        bool approved;
        E word;  // the refusal's answer word
    };
    const Case cases[] = {
        {smm_Notify, E::cet_NONE, true, E::cet_OK},   {smm_Notify, E::cet_OK, true, E::cet_OK},
        {smm_Notify, E::cet_ERROR, true, E::cet_OK},  {smm_Notify, E::cet_WRONG, true, E::cet_OK},
        {smm_Notify, E::cet_BLOCK, true, E::cet_OK},  {smm_Notify, E::cet_DUPL, true, E::cet_OK},
        {smm_Light, E::cet_NONE, true, E::cet_OK},    {smm_Light, E::cet_OK, true, E::cet_OK},
        {smm_Light, E::cet_ERROR, true, E::cet_OK},   {smm_Light, E::cet_WRONG, false, E::cet_WRONG},
        {smm_Light, E::cet_BLOCK, false, E::cet_BLOCK}, {smm_Light, E::cet_DUPL, true, E::cet_OK},
        {smm_QOR, E::cet_NONE, true, E::cet_OK},      {smm_QOR, E::cet_OK, true, E::cet_OK},
        {smm_QOR, E::cet_ERROR, false, E::cet_BLOCK}, {smm_QOR, E::cet_WRONG, false, E::cet_WRONG},
        {smm_QOR, E::cet_BLOCK, false, E::cet_BLOCK}, {smm_QOR, E::cet_DUPL, false, E::cet_DUPL},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << int(k.mode) << " answer " << int(k.answer));
        TearDown();
        clients.clear();
        net.reset();
        Make(k.mode, 0x1);
        TestSession* c = Arrive("a@b.c");
        // Held, registered once, nothing written yet.
        EXPECT_EQ(In("ATTACH"), 1u);
        EXPECT_EQ(mgrs.RegistrationsOf(c, 0), 1u);
        EXPECT_EQ(c->sent, "");
        Answer(c, 0, k.answer);
        EXPECT_EQ(In("ATTACH"), 0u);
        if (k.approved) {
            EXPECT_EQ(In("APPROVED"), 1u);
            EXPECT_EQ(c->sent, "ANSWER OK");
        } else {
            EXPECT_EQ(In("DELETE"), 1u);
            EXPECT_EQ(c->sent, "ANSWER REFUSED " + std::to_string(int(k.word)));
            EXPECT_EQ(c->DisconnectCauseR(), TQORServNetwork::ManagerRefusalCause(k.word));
        }
    }
}

TEST_F(ApprovalTest, EveryEffectiveManagerAnswersFirstAndOneApprovalIsEnough) {
    TQORRoleScope role(kHeartbeat);
    Make(smm_QOR, 0x5);  // managers 0 and 2
    TestSession* c = Arrive("a@b.c");
    EXPECT_EQ(mgrs.RegistrationsOf(c, 0), 1u);
    EXPECT_EQ(mgrs.RegistrationsOf(c, 1), 0u);
    EXPECT_EQ(mgrs.RegistrationsOf(c, 2), 1u);
    Answer(c, 2, E::cet_WRONG);
    EXPECT_EQ(In("ATTACH"), 1u);
    EXPECT_EQ(c->sent, "");
    Answer(c, 0, E::cet_OK, "id-at-0");
    EXPECT_EQ(In("APPROVED"), 1u);
    EXPECT_EQ(c->sent, "ANSWER OK");
    EXPECT_EQ(c->CliManagersInfo[0].cmi_ManagerId, "id-at-0");
}

TEST_F(ApprovalTest, AlwaysAllowedOwnerIsLetInWhateverTheManagersSay) {
    TQORRoleScope role(kHeartbeat);
    svc.ownerId = MakeSourceId("owner@b.c");
    Make(smm_QOR, 0x1, 0x0F, /*aAllowOwner=*/true);
    TestSession* owner = Arrive("owner@b.c");
    TestSession* user = Arrive("user@b.c");
    Answer(owner, 0, E::cet_BLOCK);
    Answer(user, 0, E::cet_BLOCK);
    EXPECT_EQ(owner->sent, "ANSWER OK");
    EXPECT_EQ(user->sent, "ANSWER REFUSED " + std::to_string(int(E::cet_BLOCK)));
}

TEST_F(ApprovalTest, AManagerWithoutThreadCountsAsNotAnsweringAtOnce) {
    TQORRoleScope role(kHeartbeat);
    Make(smm_QOR, 0x3, 0x3);
    mgrs.active = 0x1;  // manager 1 went away after the start
    TestSession* c = Arrive("a@b.c");
    EXPECT_EQ(mgrs.RegistrationsOf(c, 1), 0u);
    EXPECT_EQ(In("ATTACH"), 1u);
    Answer(c, 0, E::cet_NONE);
    EXPECT_EQ(c->sent, "ANSWER OK");
}

// A client that leaves is taken back from the managers that approved it,
// from every place but ATTACH, where its registration is still on its way.
TEST_F(ApprovalTest, ALeaverIsUnregisteredUnlessItStillWaitsForTheManagers) {
    TQORRoleScope role(kHeartbeat);
    const struct {
        const char* where;
        size_t unregistered;
    } cases[] = {{"ATTACH", 0}, {"APPROVED", 1}, {"QUARANTINE", 1}, {"NEWBIE", 1}, {"visible", 1}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.where);
        TearDown();
        clients.clear();
        net.reset();
        const std::string where = k.where;
        Make(smm_QOR, 0x1, 0x0F, false, where == "QUARANTINE" ? 5000 : 0);
        svc.unregistered.clear();
        TestSession* c = Arrive("a@b.c");
        if (where != "ATTACH") Answer(c, 0, E::cet_OK, "id-at-0");
        if (where == "QUARANTINE" || where == "NEWBIE") {
            Push(Cmd::snc_AttachNetwork, c);
            Beat();
        }
        if (where == "visible") {
            MakeVisible(c);
        } else {
            ASSERT_EQ(In(k.where), 1u);
        }
        Push(Cmd::snc_ClientDisconnected, c);
        clients.clear();
        tick += 500;
        net->NetHeartBeat(true, tick);
        ASSERT_EQ(svc.unregistered.size(), k.unregistered);
        if (k.unregistered > 0) {
            EXPECT_EQ(svc.unregistered[0].Index, 0);
            EXPECT_EQ(svc.unregistered[0].ManagerId, "id-at-0");
        }
    }
}

TEST_F(ApprovalTest, AnswerForAGoneClientWithdrawsTheRegistration) {
    TQORRoleScope role(kHeartbeat);
    Make(smm_QOR, 0x1);
    TestSession* c = Arrive("a@b.c");
    // The record no longer resolves to the context (it left, or the key differs).
    Push(Cmd::snc_ManagerAnswer, nullptr, int32_t(E::cet_OK), 0, "late-id");
    Beat();
    ASSERT_EQ(mgrs.unregistered.size(), 1u);
    EXPECT_EQ(mgrs.unregistered[0], std::make_pair(0, std::string("late-id")));
    EXPECT_EQ(In("ATTACH"), 1u);
    EXPECT_EQ(c->sent, "");
}

TEST_F(ApprovalTest, SwitchToStandaloneLetsTheHeldInAndLateAnswersStrandNobody) {
    TQORRoleScope role(kHeartbeat);
    Make(smm_QOR, 0x1);
    TestSession* c = Arrive("a@b.c");
    Push(Cmd::snc_ChannelNetworkManagerMode, nullptr, smm_Standalone);
    Beat();
    EXPECT_EQ(net->EffManagerMode(), smm_Standalone);
    EXPECT_EQ(In("ATTACH"), 0u);
    EXPECT_EQ(c->sent, "ANSWER OK");
    Answer(c, 0, E::cet_BLOCK);  // on its way before the switch: no exception, no refusal
    EXPECT_EQ(In("APPROVED"), 1u);
    // The configured mode can be restored.
    Push(Cmd::snc_ChannelNetworkManagerMode, nullptr, smm_QOR);
    Beat();
    EXPECT_EQ(net->EffManagerMode(), smm_QOR);
}

TEST_F(ApprovalTest, SwitchToManagerModeDisconnectsTheUnapprovedVisible) {
    TQORRoleScope role(kHeartbeat);
    Make(smm_Notify, 0x1);
    TestSession* good = Arrive("good@b.c");
    TestSession* bad = Arrive("bad@b.c");
    Answer(good, 0, E::cet_OK);
    Answer(bad, 0, E::cet_WRONG);
    MakeVisible(good);
    MakeVisible(bad);
    Push(Cmd::snc_ChannelNetworkManagerMode, nullptr, smm_QOR);
    Beat();
    EXPECT_EQ(bad->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_ManagerWrongPassword);
    EXPECT_NE(good->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_ManagerWrongPassword);
    EXPECT_TRUE((bad->IntrFlag() & ifl_Terminate) != 0);
    EXPECT_TRUE((good->IntrFlag() & ifl_Terminate) == 0);
}

TEST_F(ApprovalTest, ManagerBackOnLineGetsTheCountAndOnlyTheClientsItHasNotApproved) {
    TQORRoleScope role(kHeartbeat);
    Make(smm_Notify, 0x3);
    TestSession* a = Arrive("a@b.c");
    TestSession* b = Arrive("b@b.c");
    Answer(a, 0, E::cet_OK);
    Answer(a, 1, E::cet_OK);
    Answer(b, 0, E::cet_OK);
    Answer(b, 1, E::cet_NONE);  // manager 1 was not connected
    MakeVisible(a);
    MakeVisible(b);
    mgrs.counts.clear();
    Push(Cmd::snc_ManagerOnOffLine, nullptr, 1, 1);
    Beat();
    ASSERT_FALSE(mgrs.counts.empty());
    EXPECT_EQ(mgrs.counts[0], std::make_pair(1, 2));
    EXPECT_EQ(mgrs.RegistrationsOf(a, 1), 1u);  // only the first one
    EXPECT_EQ(mgrs.RegistrationsOf(b, 1), 2u);
    EXPECT_EQ(mgrs.RegistrationsOf(a, 0), 1u);
    // A second on-line report while the registration is on its way sends none.
    Push(Cmd::snc_ManagerOnOffLine, nullptr, 1, 1);
    Beat();
    EXPECT_EQ(mgrs.RegistrationsOf(b, 1), 2u);
}

}  // namespace

namespace {

// A visible client that a manager approves again is logged with its
// description, at the network's client log level.
TEST_F(ApprovalTest, ApprovalOfAVisibleClientIsLoggedWithItsDescription) {
    TQORRoleScope role(kHeartbeat);
    Make(smm_Notify, 0x1);
    Push(Cmd::snc_ChannelNetworkLogLevel, nullptr, 4);
    TestSession* a = Arrive("a@b.c");
    Answer(a, 0, E::cet_OK);
    MakeVisible(a);
    Push(Cmd::snc_ManagerOnOffLine, nullptr, 0, 0);
    Push(Cmd::snc_ManagerOnOffLine, nullptr, 0, 1);
    Beat();
    ASSERT_EQ(mgrs.RegistrationsOf(a, 0), 2u);
    host.lines.clear();
    Answer(a, 0, E::cet_OK);
    ASSERT_EQ(host.lines.size(), 1u);
    const std::u16string& l = host.lines[0];
    EXPECT_NE(l.find(u" MANAGER_AUTH MIDX=0 EMail=`a@b.c`"), std::u16string::npos);
    EXPECT_NE(l.find(u" SID=`"), std::u16string::npos);
}

// The access rules that fail for one held client end that client with the
// internal-error cause and go on with the others.
TEST_F(ApprovalTest, AccessModesFailingForOneHeldClientEndOnlyIt) {
    TQORRoleScope role(kHeartbeat);
    Make(smm_Notify, 0x1);
    TestSession* a = Arrive("a@b.c");
    TestSession* b = Arrive("b@b.c");
    Answer(a, 0, E::cet_OK);
    Answer(b, 0, E::cet_OK);
    ASSERT_EQ(In("APPROVED"), 2u);
    host.lines.clear();
    svc.failUnregisters = 1;
    // Only listed clients may stay: neither is listed.
    net->Access().SetConnectOnlyListed(true);
    EXPECT_EQ(In("APPROVED"), 0u);
    EXPECT_EQ(In("DELETE"), 2u);
    int failed = 0;
    for (TestSession* c : {a, b}) {
        EXPECT_TRUE((c->IntrFlag() & ifl_Terminate) != 0);
        if (c->DisconnectCauseR() != TQORSVCDisconnectCause::fsdc_ServInternalError) continue;
        ++failed;
        EXPECT_EQ(c->InternalErrorText(), u"queue refused");
    }
    EXPECT_EQ(failed, 1);
    ASSERT_EQ(host.lines.size(), 1u);
    EXPECT_EQ(host.lines[0],
              u"ERROR: Net \"Test\": process_access_modes: approved: std::runtime_error: "
              u"queue refused");
}

TEST_F(ApprovalTest, RefusalAfterApprovalClosesWithoutAFrame) {
    TQORRoleScope role(kHeartbeat);
    Make(smm_QOR, 0x1);
    TestSession* c = Arrive("a@b.c");
    Answer(c, 0, E::cet_OK, "first-id");
    ASSERT_EQ(In("APPROVED"), 1u);
    c->sent.clear();
    // The manager drops and comes back; asked again, it now refuses.
    Push(Cmd::snc_ManagerOnOffLine, nullptr, 0, 0);
    Push(Cmd::snc_ManagerOnOffLine, nullptr, 0, 1);
    Beat();
    ASSERT_EQ(mgrs.RegistrationsOf(c, 0), 2u);
    Answer(c, 0, E::cet_WRONG);
    EXPECT_EQ(In("APPROVED"), 0u);
    EXPECT_EQ(In("DELETE"), 1u);
    EXPECT_EQ(c->sent, "");
    EXPECT_EQ(c->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_ManagerWrongPassword);
    EXPECT_TRUE((c->IntrFlag() & ifl_Terminate) != 0);
}

}  // namespace
