// The Parrot inside a real network, driven by hand with a test tick: its
// records go through the server queue into the network's command array as
// the heartbeat pass carries them, so the floor, the relay and the lists it
// meets are the network's own. Listeners are recording sessions.
#include "networks/gax_qor_svc_network.h"

#include <gtest/gtest.h>

#include <map>

#include "foundation/gax_mlang.h"
#include "server/session_test_support.h"
#include "tools/qor_client_proto.h"

namespace {

using namespace gax;
using namespace session_test;
using C = TQORServNetworkCommand;

// The service as the network and its Parrot see it: the host of work
// contexts (the server queue the Parrot posts to) and the network's host.
struct Host : FakeService, TQORSVCNetHost {
    void NetHostListChanged(TQORSVCListKind) override {}
    void NetHostLog(std::u16string aText) override { lines.push_back(std::move(aText)); }
};

struct Frame {
    std::string bytes;
    uint32_t tick;  // the pass that sent it
};

class NetworkParrotTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_Codes = CreateCharsetsCodeList().release(); }
    static void TearDownTestSuite() { delete s_Codes; }
    void TearDown() override {
        net.reset();
        sessions.clear();
    }

    void Make(const std::function<void(TQORSVCNetworkOptions&)>& aSet = {}) {
        frames.MakeTestNetwork(serv);
        TQORServNetworkRec rec;
        rec.snr_NetworkNameUCS2 = u"Test";
        InitNetworkOptionsFromDefaults(serv, rec.snr_Options);
        rec.snr_Options.no_Parrot.ParrotEnable = true;
        if (aSet) aSet(rec.snr_Options);
        net = std::make_unique<TQORServNetwork>(rec, serv, s_Codes, host, host, frames);
        host.nets = {net.get()};
        host.def = net.get();
        lastPing = tick;
    }
    TQORSVCContextParrot* Parrot() const { return net->netParrot(); }

    // One heartbeat pass at the current tick: the Parrot's heartbeat, then the
    // server queue into the network, repeated at once while records came.
    void Pass() GAX_REQUIRES(kHeartbeat) {
        net->ParrotHeartBeat(tick);
        bool ping = tick - lastPing >= 500;
        if (ping) lastPing += 500;
        for (int guard = 0; guard < 50; ++guard) {
            while (auto rec = host.poster.ServQueue().Pull()) {
                TQORSVCContext* ctx = nullptr;
                if (rec->nqr_Context.Is(static_cast<const TQORSVCWrkCtx*>(Parrot()))) {
                    ctx = Parrot();
                    EXPECT_EQ(rec->nqr_GlobalKey, Parrot()->CtxGlobalKey());
                } else {
                    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
                        if (!rec->nqr_Context.Is(static_cast<const TQORSVCWrkCtx*>(it->get())))
                            continue;
                        ctx = it->get();
                        // From its disconnect on, the network owns the context.
                        if (rec->nqr_Cmd == C::snc_ClientDisconnected) {
                            (void)it->release();
                            sessions.erase(it);
                        }
                        break;
                    }
                }
                ASSERT_TRUE(net->NetQueuePushCtx(rec, ctx));
            }
            if (!ping && !net->HasCommands()) break;
            net->NetHeartBeat(ping, tick);
            ping = false;
        }
        Collect();
    }
    void Advance(uint32_t aMs) GAX_REQUIRES(kHeartbeat) {
        for (uint32_t t = 0; t < aMs; t += 100) {
            tick += 100;
            Pass();
        }
    }
    // Moves what each session got since the last pass into its frame log.
    void Collect() {
        for (auto& s : sessions) {
            std::string& in = s->sent;
            size_t at = 0;
            while (at < in.size()) {
                const long n = qortool::MeasureFrame(in.data() + at, in.size() - at);
                ASSERT_GT(n, 0) << "not a whole frame at " << at;
                got[s.get()].push_back({in.substr(at, size_t(n)), tick});
                at += size_t(n);
            }
            in.clear();
        }
    }

    TestSession* Visible(const std::string& aCall, uint32_t aExtraFlags = 0) GAX_REQUIRES(kHeartbeat) {
        sessions.push_back(std::make_unique<TestSession>(host, ++key));
        TestSession* c = sessions.back().get();
        c->Connect(Tag("VX", "2014004") + Tag("EA", aCall + "@b.c") + Tag("PW", "pw") +
                   Tag("ON", aCall) + Tag("BC", "PC Only") + Tag("CT", "City") +
                   Tag("NN", "Country") + Tag("NT", "Test"));
        c->CtxFlagsSet(aExtraFlags);
        Post(C::snc_HandshakeClient, c);
        Post(C::snc_AttachNetwork, c);
        for (int i = 0; i < 20 && !net->IsVisible(c); ++i) Advance(100);
        EXPECT_TRUE(net->IsVisible(c));
        Advance(500);
        return c;
    }
    void Post(C aCmd, TestSession* aCtx, std::string aData = {}) {
        auto r = std::make_unique<TQORSVCNetQueueRecord>();
        r->nqr_Cmd = aCmd;
        r->nqr_Context = static_cast<const TQORSVCWrkCtx*>(aCtx);
        r->nqr_GlobalKey = aCtx->CtxGlobalKey();
        r->nqr_DataS1 = std::move(aData);
        host.poster.ServQueuePush(std::move(r));
    }
    static std::string Payload(int aSeq) {
        std::string p(qortool::kSoundPayload, '\0');
        for (size_t k = 0; k < p.size(); ++k) p[k] = static_cast<char>(aSeq * 11 + k);
        return p;
    }
    // A member talks aFrames frames, one per 200 ms, and releases the floor.
    void Talk(TestSession* aTalker, int aFrames) GAX_REQUIRES(kHeartbeat) {
        Post(C::snc_TxRequest, aTalker);
        Pass();
        ASSERT_EQ(net->Speaking(), aTalker);
        for (int i = 0; i < aFrames; ++i) {
            Post(C::snc_TxSoundLong, aTalker, "TX1" + Payload(i));
            Pass();
            Advance(200);
        }
        Post(C::snc_RxRequest, aTalker);
        Pass();
    }
    std::vector<Frame> Of(TestSession* aCtx, uint8_t aCode) {
        std::vector<Frame> v;
        for (const Frame& f : got[aCtx])
            if (!f.bytes.empty() && uint8_t(f.bytes[0]) == aCode) v.push_back(f);
        return v;
    }
    // The sound frames that carry a recording: a member that holds the floor
    // without sending makes the network send silence once a second.
    std::vector<Frame> Voiced(TestSession* aCtx) {
        const std::string block(reinterpret_cast<const char*>(kQORSilenceBlock.data()),
                                kQORSilenceBlock.size());
        std::vector<Frame> v;
        for (const Frame& f : Of(aCtx, qortool::kFrameSound))
            if (f.bytes.substr(3, block.size()) != block) v.push_back(f);
        return v;
    }

    static TCharsetsCodeList* s_Codes;
    TQORServiceNetOptions serv;
    Host host;
    TQORNetworksList frames{s_Codes};
    std::unique_ptr<TQORServNetwork> net;
    std::vector<std::unique_ptr<TestSession>> sessions;
    std::map<TQORSVCContext*, std::vector<Frame>> got;
    TQORGlobalKey key = 100;
    uint32_t tick = 0xFFFFF000;  // the tick wraps during the tests
    uint32_t lastPing = 0;
};
TCharsetsCodeList* NetworkParrotTest::s_Codes = nullptr;

TEST_F(NetworkParrotTest, PlaysTheTransmissionBackThroughTheFloorOnTheFrameGrid) {
    TQORRoleScope role(kHeartbeat);
    Make([](TQORSVCNetworkOptions& o) { o.no_Parrot.po_ParrotRepeatCount = 2; });
    TestSession* talker = Visible("TALKER");
    TestSession* other = Visible("OTHER");
    const unsigned parrotIndex = unsigned(Parrot()->QORNetworkIndex());
    ASSERT_NE(parrotIndex, 0u);
    got.clear();

    Talk(talker, 15);  // three seconds
    const uint32_t released = tick;
    EXPECT_EQ(Parrot()->ParrotState(), TQORSVCParrotState::sps_WAIT_PAUSE);
    Advance(1900);
    EXPECT_EQ(net->Speaking(), nullptr);
    Advance(100);  // the pause is over: it asks and gets the floor in this pass
    EXPECT_EQ(net->Speaking(), Parrot());
    Advance(6000);
    EXPECT_EQ(net->Speaking(), nullptr);
    EXPECT_EQ(Parrot()->ParrotState(), TQORSVCParrotState::sps_IDLE);
    EXPECT_EQ(Parrot()->AllocatedFrames(), 0);

    // Both members hear the recording twice, from the Parrot's index, one
    // frame every 200 ms from the end of the pause; the talker hears it too.
    for (TestSession* s : {talker, other}) {
        const std::vector<Frame> sounds = Of(s, qortool::kFrameSound);
        const std::vector<Frame> echo(sounds.end() - std::min<size_t>(sounds.size(), 30),
                                      sounds.end());
        ASSERT_EQ(echo.size(), 30u);
        for (size_t i = 0; i < echo.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(qortool::SoundIndex(echo[i].bytes), parrotIndex);
            EXPECT_EQ(echo[i].bytes.substr(3), Payload(int(i % 15)));
            EXPECT_EQ(echo[i].tick - released, 2000u + 200u * uint32_t(i));
        }
        // Then the end of its transmission.
        bool ended = false;
        for (const Frame& f : got[s])
            if (f.tick >= echo.back().tick && f.bytes == std::string(1, '\0')) ended = true;
        EXPECT_TRUE(ended);
    }
}

TEST_F(NetworkParrotTest, WaitsWhileAnotherMemberHoldsTheFloor) {
    TQORRoleScope role(kHeartbeat);
    Make();
    TestSession* talker = Visible("TALKER");
    TestSession* holder = Visible("HOLDER");
    Talk(talker, 5);
    Post(C::snc_TxRequest, holder);
    Pass();
    ASSERT_EQ(net->Speaking(), holder);
    got.clear();
    Advance(5000);  // well past the pause: every request is refused
    EXPECT_EQ(net->Speaking(), holder);
    EXPECT_TRUE(Voiced(talker).empty());
    EXPECT_EQ(Parrot()->ParrotState(), TQORSVCParrotState::sps_WAIT_PAUSE);

    Post(C::snc_RxRequest, holder);
    Pass();
    Advance(100);
    EXPECT_EQ(net->Speaking(), Parrot());
    Advance(2000);
    EXPECT_EQ(Voiced(talker).size(), 5u);
    EXPECT_EQ(net->Speaking(), nullptr);
}

TEST_F(NetworkParrotTest, IsAMemberFromTheStartThatNoDisconnectReaches) {
    TQORRoleScope role(kHeartbeat);
    Make([](TQORSVCNetworkOptions& o) { o.no_NetMaxClients = 2; });
    EXPECT_TRUE(net->IsVisible(Parrot()));
    // The memory report names the Parrot's frames, after the owners.
    std::vector<std::u16string> report;
    net->AppendMemoryReport(report);
    auto at = [&](std::u16string_view aItem) GAX_REQUIRES(kHeartbeat) {
        for (size_t i = 0; i < report.size(); ++i)
            if (report[i].find(aItem) != std::u16string::npos) return int(i);
        return -1;
    };
    EXPECT_EQ(at(u" ParrotFrames="), at(u" f_Owners=") + 1);
    TestSession* a = Visible("ALPHA");
    // Its first list holds the Parrot and itself.
    const std::vector<Frame> lists = Of(a, qortool::kFrameListV0);
    ASSERT_FALSE(lists.empty());
    EXPECT_EQ(qortool::ListCount(lists.front().bytes), 2);
    EXPECT_NE(lists.front().bytes.find(Parrot()->ClientListItemV0()), std::string::npos);

    // The Parrot counts against the network's capacity.
    sessions.push_back(std::make_unique<TestSession>(host, ++key));
    TestSession* b = sessions.back().get();
    b->Connect(Tag("VX", "2014004") + Tag("EA", "b@b.c") + Tag("PW", "pw") + Tag("ON", "BETA") +
               Tag("BC", "PC Only") + Tag("CT", "City") + Tag("NN", "Country") +
               Tag("NT", "Test"));
    Post(C::snc_HandshakeClient, b);
    Pass();
    EXPECT_EQ(b->ClientError(), TClientErrorType::cet_BLOCK);
    Post(C::snc_ClientDisconnected, b);
    Advance(500);

    // A disconnect of everybody leaves the Parrot listed and able to talk.
    auto all = std::make_unique<TQORSVCNetQueueRecord>();
    all->nqr_Cmd = C::snc_NetServerStopDisconnectAll;
    ASSERT_TRUE(net->PushCommand(all));
    Pass();
    EXPECT_EQ(a->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_ServerStopped);
    EXPECT_EQ(Parrot()->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_DisconnectWithoutAuth);
    EXPECT_EQ(Parrot()->CtxFlags() & QOR_CF_LEAVING, 0u);
    Post(C::snc_ClientDisconnected, a);
    Advance(1000);
    EXPECT_TRUE(net->IsVisible(Parrot()));
    EXPECT_EQ(net->VisibleCount(), 1u);
}

TEST_F(NetworkParrotTest, GreetsEachNewcomerAfterTheNetworksList) {
    TQORRoleScope role(kHeartbeat);
    struct Case {
        bool startStop, disable;
        uint32_t flags;  // of the newcomer
        const char* text;
        bool info;  // the Parrot's messenger information comes first
    } cases[] = {
        {true, false, 0, "Parrot is started. Type message \"stop\" to stop parrot.", false},
        {false, false, 0, "Parrot is started.", false},
        {false, true, 0, nullptr, false},
        {false, false, QOR_CF_NO_SERVER_MESSAGES, nullptr, false},
        {false, false, 0x2000080, "Parrot is started.", true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.startStop) + std::to_string(k.disable) + " " +
                     std::to_string(k.flags));
        sessions.clear();
        got.clear();
        Make([&](TQORSVCNetworkOptions& o) GAX_REQUIRES(kHeartbeat) {
            o.no_Parrot.ParrotStartStopEnable = k.startStop;
            o.no_Parrot.ParrotMessageDisable = k.disable;
        });
        TestSession* c = Visible("NEW", k.flags);
        const std::vector<Frame>& all = got[c];
        size_t nets = all.size(), text = all.size(), info = all.size();
        for (size_t i = 0; i < all.size(); ++i) {
            const uint8_t code = uint8_t(all[i].bytes[0]);
            if (code == qortool::kFrameNetworks && nets == all.size()) nets = i;
            if (code == qortool::kFrameText && text == all.size()) text = i;
            if (code == qortool::kFrameMessengerInfo && info == all.size()) info = i;
        }
        ASSERT_LT(nets, all.size());
        if (k.text == nullptr) {
            EXPECT_EQ(text, all.size());
            continue;
        }
        ASSERT_LT(text, all.size());
        qortool::TextMessage m;
        ASSERT_TRUE(qortool::ParseTextFrame(all[text].bytes, m));
        EXPECT_EQ(m.SenderId, Parrot()->CliHashA());
        EXPECT_EQ(m.Text, k.text);
        EXPECT_LT(nets, text);
        if (k.info) {
            ASSERT_EQ(info, text - 1);
            EXPECT_EQ(all[info].bytes.substr(1), Parrot()->ClientListItemV1U());
        } else {
            EXPECT_EQ(info, all.size());
        }
        Post(C::snc_ClientDisconnected, c);
        Advance(1000);
        net.reset();
    }
}

}  // namespace
