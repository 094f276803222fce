// A move between two networks of one service, driven by hand: asking the
// target whether it takes a client changes nothing on the client (the move
// may still be refused), and the client that does arrive gets the target's
// talk rule.
#include <gtest/gtest.h>

#include "networks/gax_qor_svc_network.h"
#include "networks/gax_qor_svc_network_admin.h"
#include "networks/net_test_support.h"
#include "server/gax_qor_svc_datafile.h"

namespace {

using namespace gax;
using namespace net_test;
using C = TQORServNetworkCommand;

constexpr uint32_t kTalkState = QOR_CF_TALK_DENIED | QOR_CF_STATUS_CHANGED;

class MoveTest : public NetworkFixture {
  protected:
    // "Test" is the source; "Target" a second network of the same service.
    void MakeBoth(const std::function<void(TQORSVCNetworkOptions&)>& aTarget) {
        Make();
        TQORServNetworkRec rec;
        rec.snr_NetworkNameUCS2 = u"Target";
        InitNetworkOptionsFromDefaults(serv, rec.snr_Options);
        if (aTarget) aTarget(rec.snr_Options);
        target = std::make_unique<TQORServNetwork>(rec, serv, s_Codes, host, svc, frames);
        svc.nets.push_back(target.get());
    }
    void PingBoth() GAX_REQUIRES(kHeartbeat) {
        tick += 500;
        net->NetHeartBeat(true, tick);
        target->NetHeartBeat(true, tick);
    }
    void PushTo(TQORServNetwork& aNet, C aCmd, Client* aCtx) GAX_REQUIRES(kHeartbeat) {
        auto r = std::make_unique<TQORSVCNetQueueRecord>();
        r->nqr_Cmd = aCmd;
        ASSERT_TRUE(aNet.NetQueuePushCtx(r, aCtx));
    }
    Client* VisibleIn(TQORServNetwork& aNet, const std::string& aMail) GAX_REQUIRES(kHeartbeat) {
        Client* c = NewClient(aMail, aMail);
        PushTo(aNet, C::snc_HandshakeClient, c);
        PushTo(aNet, C::snc_AttachNetwork, c);
        for (int i = 0; i < 20 && !aNet.IsVisible(c); ++i) PingBoth();
        EXPECT_TRUE(aNet.IsVisible(c));
        return c;
    }
    void MarkIn(TQORServNetwork& aNet, const Client& aCtx, bool aMarked) {
        TQORSVCAccessData d;
        d.acd_EMailA = aCtx.CliEMailANSI();
        d.acd_EMailSort = aCtx.CliEMailSort();
        d.acd_Marked = aMarked;
        ASSERT_TRUE(aNet.Access().NetAddAccessFromData(d));
    }
    // Ends aCtx where it is now and runs both networks until it is freed.
    void Leave(TQORServNetwork& aNet, Client* aCtx) GAX_REQUIRES(kHeartbeat) {
        const int before = freed;
        PushTo(aNet, C::snc_ClientDisconnected, aCtx);
        for (int i = 0; i < 10 && freed == before; ++i) PingBoth();
        EXPECT_EQ(freed, before + 1);
    }

    std::unique_ptr<TQORServNetwork> target;
};

// The check that precedes a move answers without touching the client's
// talk permission, whether it lets the client in or not: a move refused
// after it leaves the client as it was in its own network.
TEST_F(MoveTest, TheCheckBeforeAMoveLeavesTheTalkStateAlone) {
    TQORRoleScope role(kHeartbeat);
    struct Case {
        const char* name;
        bool sourceMarked;  // talk only for marked clients in the source
        bool targetMarked;
        bool targetFull;
        bool blocked;
        bool admitted;
    } cases[] = {
        {"talker into talk-marked", false, true, false, false, true},
        {"talker into full talk-marked", false, true, true, false, false},
        {"talker into talk-marked that blocks it", false, true, false, true, false},
        {"silenced into open", true, false, false, false, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        MakeBoth([&](TQORSVCNetworkOptions& o) { o.no_NetMaxClients = k.targetFull ? 1 : 0; });
        net->Access().SetTalkOnlyMarked(k.sourceMarked);
        target->Access().SetTalkOnlyMarked(k.targetMarked);
        Client* sitter = k.targetFull ? VisibleIn(*target, "sitter@b.c") : nullptr;
        Client* c = VisibleIn(*net, "mover@b.c");
        if (k.blocked)
            target->Access().NetAddBlockFromData(MuteBlockDataForId(
                c->CliHashA(), 0, TQORMuteBlockAuthor{"A", "A", "ADMIN", clpr_ADMIN}, 1700000000));
        ASSERT_EQ((c->CtxFlags() & QOR_CF_TALK_DENIED) != 0, k.sourceMarked);
        c->CtxFlagsClear(QOR_CF_STATUS_CHANGED);
        const uint32_t before = c->CtxFlags() & kTalkState;
        const std::string status = c->ClientListItemV0();

        EXPECT_EQ(target->MoveClient_CanAttachIntoTarget(c), k.admitted);
        EXPECT_EQ(c->CtxFlags() & kTalkState, before);
        EXPECT_EQ(c->ClientListItemV0(), status) << "the others would see a changed status";

        Leave(*net, c);
        if (sitter != nullptr) Leave(*target, sitter);
        target.reset();
        net.reset();
    }
}

// The client that arrives gets the target's rule: no talk unless marked
// there, whatever it had at home; its request for the floor goes nowhere.
TEST_F(MoveTest, AnArrivalInATalkMarkedNetworkTalksOnlyWhenMarkedThere) {
    TQORRoleScope role(kHeartbeat);
    for (const bool marked : {false, true}) {
        SCOPED_TRACE(marked ? "marked" : "unmarked");
        MakeBoth({});
        target->Access().SetTalkOnlyMarked(true);
        Client* c = VisibleIn(*net, "mover@b.c");
        MarkIn(*target, *c, marked);
        ASSERT_EQ(c->CtxFlags() & QOR_CF_TALK_DENIED, 0u);

        ASSERT_TRUE(target->MoveClient_CanAttachIntoTarget(c));
        net->MoveClient_DetachFromSource(c, tick);
        ASSERT_TRUE(target->MoveClient_AttachIntoTarget(c, TQORSVCClientHandshakeType::fscht_Move,
                                                        0, true));
        for (int i = 0; i < 20 && !target->IsVisible(c); ++i) PingBoth();
        ASSERT_TRUE(target->IsVisible(c));
        EXPECT_EQ((c->CtxFlags() & QOR_CF_TALK_DENIED) == 0, marked);
        PushTo(*target, C::snc_TxRequest, c);
        target->NetHeartBeat(false, tick);
        EXPECT_EQ(target->Speaking() == c, marked);
        if (marked) {
            PushTo(*target, C::snc_RxRequest, c);
            target->NetHeartBeat(false, tick);
        }

        Leave(*target, c);
        target.reset();
        net.reset();
    }
}

}  // namespace
