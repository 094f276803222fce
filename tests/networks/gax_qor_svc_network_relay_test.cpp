// The floor and the relay inside the network object, driven through its
// command array like the heartbeat does.
#include "networks/gax_qor_svc_network.h"

#include <gtest/gtest.h>

#include <random>

#include "foundation/gax_mlang.h"
#include "networks/net_test_support.h"
#include "server/session_test_support.h"

namespace {

using namespace gax;
using namespace session_test;
using namespace net_test;

using Client = CountedClient;

class NetworkRelayTest : public NetworkFixture {
  protected:
    void PushData(TQORServNetworkCommand aCmd, Client* aCtx, std::string aS1) GAX_REQUIRES(kHeartbeat) {
        auto r = std::make_unique<TQORSVCNetQueueRecord>();
        r->nqr_Cmd = aCmd;
        r->nqr_DataS1 = std::move(aS1);
        ASSERT_TRUE(net->NetQueuePushCtx(r, aCtx));
    }
};

std::string LongFrame(int aSeed) {
    std::string s = "TX1";
    for (int i = 0; i < 325; ++i) s.push_back(static_cast<char>(aSeed * 31 + i));
    return s;
}

}  // namespace

// One member talks: every other member receives every frame byte for byte
// and in order; the talker hears itself not.
TEST_F(NetworkRelayTest, OneTalksTheOthersHearEveryFrameInOrder) {
    TQORRoleScope role(kHeartbeat);
    Make();
    Client* a = Visible("a@b.c");
    Client* b = Visible("b@b.c");
    Client* c = Visible("c@b.c");
    for (Client* x : {a, b, c}) {
        x->CtxProtocol = TServProtocol::PROTO_QOR;
        x->sent.clear();
    }
    Push(TQORServNetworkCommand::snc_TxRequest, b);
    Beat(false);
    EXPECT_EQ(net->Speaking(), b);
    EXPECT_EQ(b->sent, std::string("\x01\x00", 2) + static_cast<char>(b->QORNetworkIndex()));
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        std::string f = LongFrame(i);
        expected += "\x02" + std::string(1, '\0') + static_cast<char>(b->QORNetworkIndex()) +
                    f.substr(3);
        PushData(TQORServNetworkCommand::snc_TxSoundLong, b, std::move(f));
    }
    Beat(false);
    EXPECT_EQ(a->sent, expected);
    EXPECT_EQ(c->sent, expected);
    b->sent.clear();
    Push(TQORServNetworkCommand::snc_RxRequest, b);
    Beat(false);
    EXPECT_EQ(net->Speaking(), nullptr);
    EXPECT_EQ(b->sent, std::string(1, '\0'));
    for (Client* x : {a, b, c}) Disconnect(x);
    Ping();
    Ping();
    EXPECT_EQ(freed, 3);
}

// Random rounds of talk, leave and join end with every context freed once,
// and nobody left holding the floor or a cache slot.
TEST_F(NetworkRelayTest, RandomTalkLeaveJoinRounds) {
    TQORRoleScope role(kHeartbeat);
    Make();
    std::mt19937 rng(20);
    std::vector<Client*> in;
    int made = 0;
    for (int round = 0; round < 100; ++round) {
        const int what = static_cast<int>(rng() % 4);
        if (what == 0 || in.size() < 2) {
            in.push_back(Visible("m" + std::to_string(made++) + "@b.c"));
        } else if (what == 1) {
            const size_t k = rng() % in.size();
            Disconnect(in[k]);
            in.erase(in.begin() + static_cast<ptrdiff_t>(k));
        } else {
            Client* t = in[rng() % in.size()];
            Push(TQORServNetworkCommand::snc_TxRequest, t);
            PushData(TQORServNetworkCommand::snc_TxSoundLong, t, LongFrame(round));
            if (what == 3) Push(TQORServNetworkCommand::snc_RxRequest, t);
            // A message to all from somebody else gives it a cache slot too.
            Client* w = in[rng() % in.size()];
            std::string msg = "\x04" "3\r\n" + w->CliHashA() + "\r\nx\r\nA\r\n";
            auto r = std::make_unique<TQORSVCNetQueueRecord>();
            r->nqr_Cmd = TQORServNetworkCommand::snc_MessageV0;
            r->nqr_DataS2 = msg;
            r->nqr_DataI0 = static_cast<int32_t>(msg.size() - 3);
            ASSERT_TRUE(net->NetQueuePushCtx(r, w));
        }
        Ping();
    }
    for (Client* x : in) Disconnect(x);
    Ping();
    Ping();
    EXPECT_EQ(freed, made);
    EXPECT_EQ(net->Speaking(), nullptr);
    EXPECT_EQ(net->Relay().Cache().UsedSlots(), 0u);
}
