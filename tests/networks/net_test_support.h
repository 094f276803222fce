// A network's relay and lists without the network: recording sessions whose
// sends append to a per-client byte log, a settable heartbeat tick, and the
// fan-out walking the lists' visible order. And the whole network object
// driven by hand (NetworkFixture, or MakeTestNet for fixtures of their own):
// records pushed into its command array, NetHeartBeat called with an
// injected tick.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/gax_mlang.h"
#include "networks/gax_qor_svc_network.h"
#include "networks/gax_qor_svc_network_lists.h"
#include "networks/gax_qor_svc_network_tx.h"
#include "server/gax_qor_svc_parrot.h"
#include "server/session_test_support.h"

namespace net_test {

using namespace gax;
using namespace session_test;

// The id the service gives the aggregate pseudo-client.
inline const std::string kAggrId = AggregateClientId();

// Flag words of the recipient classes (all visible and admitted).
inline constexpr uint32_t kV0Full = 0x820;
inline constexpr uint32_t kV0Aggr = kV0Full | QOR_CF_AGGREGATE_LIST;
inline constexpr uint32_t kExtLong = 0x820 | QOR_CF_EXTENDED | QOR_CF_UTF8 | 0x300;
inline constexpr uint32_t kExtShort = kExtLong | QOR_CF_SHORT_FRAMES;

inline std::string Bytes(std::initializer_list<int> aBytes) {
    std::string s;
    for (int b : aBytes) s.push_back(static_cast<char>(b));
    return s;
}

// The connect string of a PC client of aMail called aName that asks for "Test".
inline std::string ConnectString(const std::string& aMail, const std::string& aName) {
    return Tag("VX", "2014004") + Tag("EA", aMail) + Tag("PW", "pw") + Tag("ON", aName) +
           Tag("BC", "PC Only") + Tag("CT", "City") + Tag("NN", "Country") + Tag("NT", "Test");
}

// The network "Test" of the defaults as aSet changes them, made aSvc's only
// and default network; aFrames gets the test set of networks first.
inline std::unique_ptr<TQORServNetwork> MakeTestNet(
    TQORServiceNetOptions& aServ, const TCharsetsCodeList* aCodes, TQORSVCNetHost& aHost,
    FakeService& aSvc, TQORNetworksList& aFrames,
    const std::function<void(TQORSVCNetworkOptions&)>& aSet = {}) {
    aFrames.MakeTestNetwork(aServ);
    TQORServNetworkRec rec;
    rec.snr_NetworkNameUCS2 = u"Test";
    InitNetworkOptionsFromDefaults(aServ, rec.snr_Options);
    if (aSet) aSet(rec.snr_Options);
    auto net = std::make_unique<TQORServNetwork>(rec, aServ, aCodes, aHost, aSvc, aFrames);
    aSvc.nets = {net.get()};
    aSvc.def = net.get();
    return net;
}

struct Net : TQORNetListsOwner {
    World w;
    TQORNetFanout fan{{}, u"Net: "};
    TQORNetClientLists lists{fan, *this, kAggrId};
    TQORNetRelay relay{fan, TQORNetTxOptions{false, 0, false, 0, 8000, kAggrId}};
    std::vector<std::unique_ptr<TestSession>> all;
    std::vector<TQORSVCContext*> dropped;

    Net() {
        fan.SetMembers(&lists.VisualOper());
        relay.SetFindAdmitted([this](std::string_view aId) -> TQORSVCContext* {
            for (auto& s : all)
                if (s->CliHashA() == aId) return s.get();
            return nullptr;
        });
    }
    void DropFromSentOrder(TQORSVCContext* c) override GAX_REQUIRES(kHeartbeat) {
        dropped.push_back(c);
        relay.ForgetContext(c);
    }

    // A session with its own callsign (so its own sort key and items).
    TestSession* Make(uint32_t aFlags, const std::string& aCall) GAX_REQUIRES(kHeartbeat) {
        auto s = std::make_unique<TestSession>(w.svc, static_cast<TQORGlobalKey>(all.size() + 100));
        s->Connect(ConnectString(aCall + "@b.c", aCall + " Name"));
        s->CtxProtocol = TServProtocol::PROTO_QOR;
        s->CtxFlagsAssign(aFlags);
        if (aFlags & QOR_CF_LIST_CACHE) s->SetCtxCacheSize(32);
        all.push_back(std::move(s));
        return all.back().get();
    }
    // Visible at once, listed and numbered, logs cleared.
    TestSession* Join(uint32_t aFlags, const std::string& aCall) GAX_REQUIRES(kHeartbeat) {
        TestSession* s = Make(aFlags, aCall);
        lists.AddVisible(s);
        Step();
        return s;
    }
    void Step() GAX_REQUIRES(kHeartbeat) {
        lists.ListStep(relay.SpeakingContext(), 4, 8);
        for (auto& s : all) s->sent.clear();
    }
    void Clear() {
        for (auto& s : all) s->sent.clear();
    }
};

// The network's host: its log lines are kept.
struct RecordingHost : TQORSVCNetHost {
    std::vector<std::u16string> lines;
    void NetHostListChanged(TQORSVCListKind) override {}
    void NetHostLog(std::u16string aText) override { lines.push_back(std::move(aText)); }
};

// A session that counts its destruction, so a double free or a leak shows.
struct CountedClient : TestSession {
    CountedClient(FakeService& aSvc, TQORGlobalKey aKey, int& aFreed)
        : TestSession(aSvc, aKey), freed(aFreed) {}
    ~CountedClient() override { ++freed; }
    int& freed;
};

class NetworkFixture : public ::testing::Test {
  protected:
    using Client = CountedClient;

    static void SetUpTestSuite() { s_Codes = CreateCharsetsCodeList().release(); }
    static void TearDownTestSuite() { delete s_Codes; }

    void Make(const std::function<void(TQORSVCNetworkOptions&)>& aSet = {}) {
        net = MakeTestNet(serv, s_Codes, host, svc, frames, aSet);
    }

    // A client past its connect string, as the worker hands it over.
    Client* NewClient(const std::string& aMail, const std::string& aCall = "CALL Name") GAX_REQUIRES(kHeartbeat) {
        auto* c = new Client(svc, ++key, freed);
        c->Connect(ConnectString(aMail, aCall));
        return c;
    }
    void Push(TQORServNetworkCommand aCmd, Client* aCtx = nullptr) GAX_REQUIRES(kHeartbeat) {
        auto r = std::make_unique<TQORSVCNetQueueRecord>();
        r->nqr_Cmd = aCmd;
        ASSERT_TRUE(net->NetQueuePushCtx(r, aCtx));
    }
    void Beat(bool aPing) GAX_REQUIRES(kHeartbeat) { net->NetHeartBeat(aPing, tick); }
    void Ping() GAX_REQUIRES(kHeartbeat) {
        tick += 500;
        Beat(true);
    }
    // Handshake, attach and the ping that makes it visible.
    Client* Visible(const std::string& aMail) GAX_REQUIRES(kHeartbeat) {
        Client* c = NewClient(aMail, aMail);
        Push(TQORServNetworkCommand::snc_HandshakeClient, c);
        Push(TQORServNetworkCommand::snc_AttachNetwork, c);
        for (int i = 0; i < 20 && !net->IsVisible(c); ++i) Ping();
        EXPECT_TRUE(net->IsVisible(c));
        return c;
    }
    void Disconnect(Client* aCtx) GAX_REQUIRES(kHeartbeat) { Push(TQORServNetworkCommand::snc_ClientDisconnected, aCtx); }

    inline static TCharsetsCodeList* s_Codes = nullptr;
    TQORServiceNetOptions serv;
    FakeService svc;
    RecordingHost host;
    TQORNetworksList frames{s_Codes};
    std::unique_ptr<TQORServNetwork> net;
    TQORGlobalKey key = 100;
    uint32_t tick = 10000;
    int freed = 0;
};

}  // namespace net_test
