// The network object on the heartbeat's side, driven by hand: records pushed
// into the command array, NetHeartBeat called with an injected tick.
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

class NetworkTest : public NetworkFixture {};

TEST_F(NetworkTest, StandaloneClientBecomesVisibleAtThePingAfterAttachAndGetsTheNetworksList) {
    TQORRoleScope role(kHeartbeat);
    Make();
    Client* c = NewClient("a@b.c");
    Push(TQORServNetworkCommand::snc_HandshakeClient, c);
    Beat(false);  // dispatched; the answer is written, the result work waits
    EXPECT_EQ(net->Hold("APPROVED").Count(), 1u);
    EXPECT_EQ(c->ClientError(), TClientErrorType::cet_OK);
    Push(TQORServNetworkCommand::snc_AttachNetwork, c);
    Beat(false);
    EXPECT_FALSE(net->IsVisible(c));
    c->sent.clear();
    Ping();
    EXPECT_TRUE(net->IsVisible(c));
    EXPECT_EQ(c->QORNetworkIndex(), 1);
    EXPECT_EQ(c->CtxFlags() & QOR_CF_NEWBIE, 0u);
    EXPECT_EQ(net->Hold("NEWBIE").Count(), 0u);
    // Its first client list (count 1), then the networks list.
    const std::string list = std::string("\x03\x00\x00", 3) + "1\r\n" + c->ClientListItemV0();
    EXPECT_EQ(c->sent.substr(0, list.size()), list);
    EXPECT_EQ(c->sent.substr(list.size(), frames.NetsV0().size()), frames.NetsV0());
    // A heartbeat without ping and without commands does nothing.
    c->sent.clear();
    EXPECT_FALSE(net->NetHeartBeat(false, tick + 100));
    EXPECT_TRUE(c->sent.empty());
    Disconnect(c);
    Ping();
    EXPECT_EQ(freed, 1);
}

TEST_F(NetworkTest, QuarantineEndsAtTheFirstPingAtOrAfterItsTime) {
    TQORRoleScope role(kHeartbeat);
    Make([](TQORSVCNetworkOptions& o) { o.no_QuarantineTicks = 1000; });
    Client* c = NewClient("a@b.c");
    Push(TQORServNetworkCommand::snc_HandshakeClient, c);
    Push(TQORServNetworkCommand::snc_AttachNetwork, c);
    Beat(false);
    EXPECT_EQ(net->Hold("QUARANTINE").Count(), 1u);
    Ping();  // +500
    EXPECT_FALSE(net->IsVisible(c));
    Ping();  // +1000
    EXPECT_TRUE(net->IsVisible(c));
    Disconnect(c);
    Ping();
    EXPECT_EQ(freed, 1);
}

TEST_F(NetworkTest, DuplicateIdOrCallsignIsRefused) {
    TQORRoleScope role(kHeartbeat);
    struct Case {
        const char* mail2;
        const char* call2;
        bool uniq, disableDupl;
        TClientErrorType want;
    } cases[] = {
        {"a@b.c", "OTHER", false, false, TClientErrorType::cet_DUPL},
        {"x@y.z", "CALL", true, false, TClientErrorType::cet_DUPL},
        {"x@y.z", "CALL", false, false, TClientErrorType::cet_OK},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.mail2) + " " + k.call2);
        Make([&](TQORSVCNetworkOptions& o) { o.no_UniqCallsign = k.uniq; });
        freed = 0;
        Client* first = NewClient("a@b.c", "CALL");
        Push(TQORServNetworkCommand::snc_HandshakeClient, first);
        Beat(false);  // admitted, not yet visible
        Client* second = NewClient(k.mail2, k.call2);
        Push(TQORServNetworkCommand::snc_HandshakeClient, second);
        Beat(false);
        EXPECT_EQ(second->ClientError(), k.want);
        if (k.want == TClientErrorType::cet_DUPL) {
            EXPECT_EQ(second->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_ServerDuplicate);
            EXPECT_TRUE(net->Hold("DELETE").Contains(second));
            EXPECT_NE(second->CtxFlags() & QOR_CF_LEAVING, 0u);
        }
        Disconnect(first);
        Disconnect(second);
        Ping();
        EXPECT_EQ(freed, 2);
        // The id is free again once the first one left.
        Client* again = NewClient("a@b.c", "CALL");
        Push(TQORServNetworkCommand::snc_HandshakeClient, again);
        Beat(false);
        EXPECT_EQ(again->ClientError(), TClientErrorType::cet_OK);
        Disconnect(again);
        Ping();
        net.reset();
        EXPECT_EQ(freed, 3);
    }
}

TEST_F(NetworkTest, MaxClientsCountsArrivalsInFlight) {
    TQORRoleScope role(kHeartbeat);
    Make([](TQORSVCNetworkOptions& o) { o.no_NetMaxClients = 2; });
    Client* a = Visible("a@b.c");
    Client* b = NewClient("b@b.c", "B");
    Push(TQORServNetworkCommand::snc_HandshakeClient, b);  // APPROVED, not visible
    Client* c = NewClient("c@b.c", "C");
    Push(TQORServNetworkCommand::snc_HandshakeClient, c);
    Beat(false);
    EXPECT_EQ(b->ClientError(), TClientErrorType::cet_OK);
    EXPECT_EQ(c->ClientError(), TClientErrorType::cet_BLOCK);
    EXPECT_EQ(c->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_NetMaxClients);
    for (Client* x : {a, b, c}) Disconnect(x);
    Ping();
    Ping();
    EXPECT_EQ(freed, 3);
}

// A newbie not yet through its newbie step takes its place once: the limit
// is reached with it, and not before.
TEST_F(NetworkTest, MaxClientsCountsNewbiesOnce) {
    TQORRoleScope role(kHeartbeat);
    for (const int32_t max : {2, 3}) {
        SCOPED_TRACE(max);
        Make([max](TQORSVCNetworkOptions& o) { o.no_NetMaxClients = max; });
        freed = 0;
        Client* a = Visible("a@b.c");
        Client* b = NewClient("b@b.c", "B");
        Push(TQORServNetworkCommand::snc_HandshakeClient, b);
        Push(TQORServNetworkCommand::snc_AttachNetwork, b);
        Beat(false);  // b waits in the newbie hold until the ping
        ASSERT_EQ(b->ClientError(), TClientErrorType::cet_OK);
        Client* c = NewClient("c@b.c", "C");
        Push(TQORServNetworkCommand::snc_HandshakeClient, c);
        Beat(false);
        if (max == 2) {
            EXPECT_EQ(c->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_NetMaxClients);
        } else {
            EXPECT_EQ(c->ClientError(), TClientErrorType::cet_OK);
        }
        for (Client* x : {a, b, c}) Disconnect(x);
        Ping();
        Ping();
        EXPECT_EQ(freed, 3);
    }
}

// A client that disconnects in any hold is freed once, and a visible one only
// after both its disconnect and the list difference.
TEST_F(NetworkTest, DisconnectInEveryHoldFreesOnce) {
    TQORRoleScope role(kHeartbeat);
    enum Where { Approved, Quarantine, Delete, VisibleSlow, VisibleFast };
    for (Where w : {Approved, Quarantine, Delete, VisibleSlow, VisibleFast}) {
        SCOPED_TRACE(static_cast<int>(w));
        Make([&](TQORSVCNetworkOptions& o) GAX_REQUIRES(kHeartbeat) {
            o.no_QuarantineTicks = w == Quarantine ? 5000 : 0;
            o.no_NetMaxClients = w == Delete ? 1 : 10;
        });
        freed = 0;
        Client* other = Visible("o@b.c");
        Client* c = NewClient("a@b.c");
        Push(TQORServNetworkCommand::snc_HandshakeClient, c);
        if (w != Approved && w != Delete) Push(TQORServNetworkCommand::snc_AttachNetwork, c);
        if (w == VisibleFast) net->NetQueue_FastOn();
        Beat(false);
        if (w == VisibleSlow || w == VisibleFast) Ping();
        Disconnect(c);
        Beat(false);
        if (w == VisibleFast) {
            // Fast mode does the result work after every record.
            EXPECT_EQ(freed, 1);
        } else {
            // Disconnect handled, the result work waits for the ping.
            EXPECT_EQ(freed, 0);
            if (w == VisibleSlow) {
                EXPECT_TRUE(net->Hold("EXTRA DISPOSE").Contains(c));
            }
            Ping();
        }
        EXPECT_EQ(freed, 1);
        Ping();
        EXPECT_EQ(freed, 1);
        Disconnect(other);
        Ping();
        EXPECT_EQ(net->VisibleCount(), 0u);
        net.reset();
        EXPECT_EQ(freed, 2);
    }
}

TEST_F(NetworkTest, TalkerThatLeavesReleasesTheFloorAndOthersHearIt) {
    TQORRoleScope role(kHeartbeat);
    Make();
    Client* a = Visible("a@b.c");
    Client* b = Visible("b@b.c");
    Client* newbie = NewClient("n@b.c", "N");
    Push(TQORServNetworkCommand::snc_HandshakeClient, newbie);
    Beat(false);
    EXPECT_FALSE(net->AcquareTX(newbie));  // still in a hold
    ASSERT_TRUE(net->AcquareTX(a));
    EXPECT_FALSE(net->AcquareTX(b));
    b->sent.clear();
    Disconnect(a);
    Beat(false);
    EXPECT_EQ(net->Speaking(), nullptr);
    EXPECT_EQ(b->sent, std::string(1, '\0'));
    EXPECT_EQ(b->CtxFlags() & QOR_CF_SPEAKER, 0u);
    Disconnect(b);
    Disconnect(newbie);
    Ping();
    EXPECT_EQ(freed, 3);
}

// The ping of a talk: the talker's beat at every ping, and once the talker
// has sent nothing for 1000 ms, silence in the listener's form (its index)
// and a beat for the listener that acknowledges sound instead.
TEST_F(NetworkTest, SilentTalkerGivesSilenceAndBeatsAtThePing) {
    TQORRoleScope role(kHeartbeat);
    Make();
    Client* t = Visible("t@b.c");
    Client* l = Visible("l@b.c");
    Client* ack = Visible("ack@b.c");
    Client* sh = Visible("short@b.c");
    Client* ag = Visible("aggr@b.c");
    Client* mute = Visible("nosound@b.c");
    const std::vector<Client*> all = {t, l, ack, sh, ag, mute};
    t->CtxFlagsSet(QOR_CF_SOUND_ACK);
    ack->CtxFlagsSet(QOR_CF_SOUND_ACK);
    sh->CtxFlagsSet(QOR_CF_EXTENDED | QOR_CF_SHORT_FRAMES);
    ag->CtxFlagsSet(QOR_CF_AGGREGATE_LIST);
    mute->CtxFlagsSet(QOR_CF_NO_SERVER_SOUNDS);
    ASSERT_TRUE(net->AcquareTX(t));
    const std::string silence(reinterpret_cast<const char*>(kQORSilenceBlock.data()), 65);
    const uint8_t idx = static_cast<uint8_t>(t->QORNetworkIndex());
    for (Client* c : all) c->sent.clear();
    Ping();  // 500 ms of silence
    EXPECT_EQ(t->sent, "\x89");
    for (Client* c : {l, ack, sh, ag}) EXPECT_EQ(c->sent, "");
    // A member that takes no sound learns at every ping that the floor is taken.
    EXPECT_EQ(mute->sent, std::string(1, '\0'));
    for (Client* c : all) c->sent.clear();
    Ping();  // 1000 ms
    EXPECT_EQ(t->sent, "\x89");
    EXPECT_EQ(ack->sent, "\x89");
    EXPECT_EQ(mute->sent, std::string(1, '\0'));
    std::string five;
    for (int b = 0; b < 5; ++b) five += silence;
    EXPECT_EQ(l->sent, Bytes({0x02, 0, idx}) + five);
    EXPECT_EQ(ag->sent, Bytes({0x02, 0, 1}) + five);
    EXPECT_EQ(sh->sent, Bytes({0x81, 0, idx}) + silence);
    for (Client* c : all) c->sent.clear();
    Ping();  // the silence was sent 500 ms ago
    for (Client* c : {l, ack, sh, ag}) EXPECT_EQ(c->sent, "");
    for (Client* c : all) Disconnect(c);
    Ping();
}

// Free or taken is decided before the talker check: the ping at which the
// speech limit ends a talk brings the release byte only, not a keep-alive too.
TEST_F(NetworkTest, SpeechLimitEndsTheTalkWithOneByteAtThePing) {
    TQORRoleScope role(kHeartbeat);
    Make([](TQORSVCNetworkOptions& o) {
        o.no_SpeechLimit = true;
        o.no_MaxSpeechTicks = 1000;
    });
    Client* a = Visible("a@b.c");
    Client* b = Visible("b@b.c");
    ASSERT_TRUE(net->AcquareTX(a));
    b->sent.clear();
    Ping();
    EXPECT_EQ(b->sent, "");
    Ping();
    EXPECT_EQ(net->Speaking(), nullptr);
    EXPECT_EQ(b->sent, std::string(1, '\0'));
    b->sent.clear();
    Ping();  // free now: the keep-alive of a free floor
    EXPECT_EQ(b->sent, std::string(1, '\0'));
    Disconnect(a);
    Disconnect(b);
    Ping();
}

// A member that cannot take a frame is ended with the cause of the failure;
// the log line names the operation and the readable class of the error.
TEST_F(NetworkTest, FailedSendEndsThatMemberAndLogsTheErrorClass) {
    TQORRoleScope role(kHeartbeat);
    struct FailingClient : Client {
        using Client::Client;
        bool fail = false;
        void vSendBytes(const void* p, int32_t n) override GAX_REQUIRES(kHeartbeat) {
            if (fail) throw std::bad_alloc();
            Client::vSendBytes(p, n);
        }
    };
    Make();
    Client* other = Visible("other@b.c");
    auto* c = new FailingClient(svc, ++key, freed);
    c->Connect(ConnectString("fail@b.c", "FAIL"));
    Push(TQORServNetworkCommand::snc_HandshakeClient, c);
    Push(TQORServNetworkCommand::snc_AttachNetwork, c);
    for (int i = 0; i < 20 && !net->IsVisible(c); ++i) Ping();
    ASSERT_TRUE(net->IsVisible(c));
    c->fail = true;
    other->sent.clear();
    host.lines.clear();
    Ping();  // the keep-alive of a free floor
    EXPECT_EQ(other->sent, std::string(1, '\0'));
    EXPECT_EQ(c->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_ServOutOfMemory);
    // The disconnect line carries the message too.
    EXPECT_EQ(c->InternalErrorText(), u"std::bad_alloc");
    ASSERT_FALSE(host.lines.empty());
    EXPECT_EQ(host.lines[0], u"ERROR: Net \"Test\": SendData: std::bad_alloc: std::bad_alloc");
    Disconnect(c);
    Disconnect(other);
    Ping();
}

TEST_F(NetworkTest, ChangedInternalFlagsDisconnectExactlyThatClient) {
    TQORRoleScope role(kHeartbeat);
    Make();
    Client* a = Visible("a@b.c");
    Client* b = Visible("b@b.c");
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    rec->nqr_Cmd = TQORServNetworkCommand::snc_ApplyNetIntFlags;
    auto ids = std::make_unique<TQORSVCIntFlagsChangedIds>();
    ids->Ids.push_back(b->CliHashA());
    rec->nqr_ListArray.resize(1);
    rec->nqr_ListArray[0].List = std::move(ids);
    ASSERT_TRUE(net->PushCommand(rec));
    Beat(false);
    EXPECT_EQ(a->DisconnectCauseR(), TQORSVCDisconnectCause{});
    EXPECT_EQ(b->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_ChangeIntFlags);
    Disconnect(a);
    Disconnect(b);
    Ping();
}

// The error is raised, but the records behind it are still handled, so a
// disconnect queued behind a bad record still frees its context.
TEST_F(NetworkTest, UnknownCommandRaisesAndTheRecordsBehindItAreStillHandled) {
    TQORRoleScope role(kHeartbeat);
    Make();
    Client* c = NewClient("a@b.c");
    Push(TQORServNetworkCommand::snc_HandshakeClient, c);
    Push(static_cast<TQORServNetworkCommand>(200));
    Push(TQORServNetworkCommand::snc_ClientDisconnected, c);
    tick += 500;
    try {
        Beat(true);
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Unknown network command: 200");
    }
    EXPECT_FALSE(net->HasCommands());
    EXPECT_EQ(freed, 1);
}

TEST_F(NetworkTest, CommandArrayRefusesPastItsCapacity) {
    TQORRoleScope role(kHeartbeat);
    Make();
    for (size_t i = 0; i < kNetCmdsCapacity; ++i) Push(TQORServNetworkCommand::snc_FastOff);
    auto r = std::make_unique<TQORSVCNetQueueRecord>();
    EXPECT_FALSE(net->PushCommand(r));
    EXPECT_NE(r, nullptr);  // still the caller's
    EXPECT_TRUE(net->NetHeartBeat(false, tick));
}

// Clients connecting, attaching and disconnecting at random moments of their
// admission; every context is freed exactly once and the network ends empty.
TEST_F(NetworkTest, ChurnFreesEveryContextOnce) {
    TQORRoleScope role(kHeartbeat);
    Make([](TQORSVCNetworkOptions& o) { o.no_QuarantineTicks = 700; });
    std::mt19937 rnd(19);
    std::vector<Client*> live;
    int made = 0;
    for (int round = 0; made < 2000 || !live.empty(); ++round) {
        if (made < 2000) {
            for (int k = 0; k < 5; ++k, ++made) {
                Client* c = NewClient("u" + std::to_string(made % 300) + "@b.c",
                                      "C" + std::to_string(made));
                Push(TQORServNetworkCommand::snc_HandshakeClient, c);
                live.push_back(c);
            }
        }
        for (size_t i = 0; i < live.size();) {
            const unsigned r = rnd() % 8;
            if (r == 0 || (made >= 2000 && r < 4)) {
                Disconnect(live[i]);
                live[i] = live.back();
                live.pop_back();
                continue;
            }
            if (r == 1) Push(TQORServNetworkCommand::snc_AttachNetwork, live[i]);
            ++i;
        }
        if (round % 3 == 0) {
            Ping();
        } else {
            tick += 100;
            Beat(false);
        }
    }
    Ping();
    Ping();
    EXPECT_EQ(freed, 2000);
    EXPECT_EQ(net->VisibleCount(), 0u);
    for (const char* h : {"ATTACH", "APPROVED", "QUARANTINE", "NEWBIE", "DELETE", "EXTRA DISPOSE"}) {
        EXPECT_EQ(net->Hold(h).Count(), 0u) << h;
    }
}

}  // namespace

namespace {

TEST(NetworkFactory, TheListMakesNetworkObjectsThatServeItsFrames) {
    TQORRoleScope role(kHeartbeat);
    std::unique_ptr<TCharsetsCodeList> codes = CreateCharsetsCodeList();
    FakeService svc;
    RecordingHost host;
    const TQORNetworksList* self = nullptr;
    TQORNetworksList list(codes.get(), TQORServNetwork::Factory(host, svc, self));
    self = &list;
    TQORServiceNetOptions serv;
    list.MakeTestNetwork(serv);
    ASSERT_EQ(list.Count(), 2);
    auto* net = dynamic_cast<TQORServNetwork*>(list.GetNetworkOriginal(1));
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net->NetName(), u"Net01");
    EXPECT_EQ(net->NetOriginalIndex(), 1);
    svc.def = net;
    int freed = 0;
    auto* c = new Client(svc, 5, freed);
    c->Connect(Tag("VX", "2014004") + Tag("EA", "a@b.c") + Tag("PW", "pw") + Tag("ON", "CALL") +
               Tag("BC", "PC Only") + Tag("CT", "City") + Tag("NN", "Country") +
               Tag("NT", "Net01"));
    for (auto cmd : {TQORServNetworkCommand::snc_HandshakeClient,
                     TQORServNetworkCommand::snc_AttachNetwork}) {
        auto r = std::make_unique<TQORSVCNetQueueRecord>();
        r->nqr_Cmd = cmd;
        ASSERT_TRUE(net->NetQueuePushCtx(r, c));
    }
    c->sent.clear();
    net->NetHeartBeat(true, 500);
    // The newcomer's first client list comes first, then the networks list.
    EXPECT_NE(c->sent.find(list.NetsV0()), std::string::npos);
    auto r = std::make_unique<TQORSVCNetQueueRecord>();
    r->nqr_Cmd = TQORServNetworkCommand::snc_ClientDisconnected;
    ASSERT_TRUE(net->NetQueuePushCtx(r, c));
    net->NetHeartBeat(true, 1000);
    EXPECT_EQ(freed, 1);
}

}  // namespace
