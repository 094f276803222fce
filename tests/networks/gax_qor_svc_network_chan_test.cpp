// The network's side of the command channel, driven by hand: its part of a
// client listing byte for byte, disconnecting one client by id with the
// answer for the asking console, the log-level and manager-mode records, and
// its memory-report lines.
#include <gtest/gtest.h>

#include "foundation/gax_mlang.h"
#include "networks/gax_qor_svc_network.h"
#include "networks/net_test_support.h"
#include "protocol/gax_qor_fields.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_clientdescr.h"
#include "server/gax_qor_svc_parrot.h"
#include "server/session_test_support.h"

namespace {

using namespace gax;
using namespace session_test;
using C = TQORServNetworkCommand;

struct Host : TQORSVCNetHost {
    std::vector<std::u16string> lines;
    std::vector<std::pair<TQORSVCCtxRef, std::string>> answers;
    void NetHostListChanged(TQORSVCListKind) override {}
    void NetHostLog(std::u16string aText) override { lines.push_back(std::move(aText)); }
    void NetHostCommandAnswer(TQORSVCCtxRef aCtx, std::string aText) override {
        answers.emplace_back(aCtx, std::move(aText));
    }
};

struct Console {
    int id = 0;
};

class NetworkChanTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_Codes = CreateCharsetsCodeList().release(); }
    static void TearDownTestSuite() { delete s_Codes; }

    void SetUp() override { net = net_test::MakeTestNet(serv, s_Codes, host, svc, frames); }
    void TearDown() override GAX_REQUIRES(kHeartbeat) {
        for (TestSession* c : made) Push(C::snc_ClientDisconnected, c);
        for (int i = 0; i < 5; ++i) Ping();
    }

    TestSession* Visible(const std::string& aMail) GAX_REQUIRES(kHeartbeat) {
        auto* c = new TestSession(svc, ++key);
        c->Connect(net_test::ConnectString(aMail, aMail));
        made.push_back(c);
        Push(C::snc_HandshakeClient, c);
        Push(C::snc_AttachNetwork, c);
        for (int i = 0; i < 20 && !net->IsVisible(c); ++i) Ping();
        EXPECT_TRUE(net->IsVisible(c));
        return c;
    }
    void Push(C aCmd, TestSession* aCtx = nullptr,
              const std::function<void(TQORSVCNetQueueRecord&)>& aFill = {}) GAX_REQUIRES(kHeartbeat) {
        auto r = std::make_unique<TQORSVCNetQueueRecord>();
        r->nqr_Cmd = aCmd;
        if (aFill) aFill(*r);
        ASSERT_TRUE(net->NetQueuePushCtx(r, aCtx));
    }
    void Ping() GAX_REQUIRES(kHeartbeat) {
        tick += 500;
        net->NetHeartBeat(true, tick);
    }

    static TCharsetsCodeList* s_Codes;
    TQORServiceNetOptions serv;
    FakeService svc;
    Host host;
    TQORNetworksList frames{s_Codes};
    std::unique_ptr<TQORServNetwork> net;
    std::vector<TestSession*> made;
    TQORGlobalKey key = 100;
    uint32_t tick = 10000;
};
TCharsetsCodeList* NetworkChanTest::s_Codes = nullptr;

std::string Field(std::string_view aText) {
    FastStringA f(64);
    FastStrAddHexLenStr(f, aText);
    return std::string(f.View());
}

TEST_F(NetworkChanTest, ListingHasHeaderCountItemsThenOneInfoLinePerMember) {
    TQORRoleScope role(kHeartbeat);
    std::string empty;
    EXPECT_EQ(net->AppendChannelList(empty), 0);
    const std::string header = Field("Test") + Field(net->NetOptions().no_NetCharsetNameUTF8) +
                               Field(ParrotClientId()) + "\r\n";
    EXPECT_EQ(empty, header + "0\r\n");

    TestSession* a = Visible("a@example.org");
    TestSession* b = Visible("b@example.org");
    std::string out;
    ASSERT_EQ(net->AppendChannelList(out), 2);
    std::string want = header + "2\r\n";
    const std::vector<TQORSVCContext*>& order = net->Lists().VisualBias();
    ASSERT_EQ(order.size(), 2u);
    for (const TQORSVCContext* c : order) want += c->ClientListItemV1U();
    for (const TQORSVCContext* c : order) {
        FastStringA flags(64);
        QORParseProtoExtFlags1C(flags, *c);
        QORAddInternalFlags(flags, *c);
        want += "0" + Field(c->Peer_Address()) + Field(c->CliEMailANSI()) + "0400000000" +
                std::string(flags.View()) + "\r\n";
    }
    EXPECT_EQ(out, want);
    EXPECT_NE(out.find("a@example.org"), std::string::npos);
    EXPECT_NE(out.find("b@example.org"), std::string::npos);
    (void)a;
    (void)b;
}

TEST_F(NetworkChanTest, DisconnectByIdAnswersTheAskingConsole) {
    TQORRoleScope role(kHeartbeat);
    TestSession* a = Visible("a@example.org");
    Console console;
    struct Case {
        std::string id;
        const char* answer;
        bool ends;
    };
    const Case cases[] = {
        {a->CliHashA(), "+OK\r\n", true},
        {MakeSourceId("nobody@example.org"), "-NOCLIENT\r\n", false},
        {MakeSourceId(" "), "-NOCLIENT\r\n", false},  // the Parrot's id is never disconnected
    };
    TQORGlobalKey k = 7;
    for (const Case& c : cases) {
        host.answers.clear();
        const uint32_t before = a->IntrFlags();
        Push(C::snc_ChannelDisconnectNetworkClient, nullptr, [&](TQORSVCNetQueueRecord& r) GAX_REQUIRES(kHeartbeat) {
            r.nqr_DataS1 = c.id;
            r.nqr_Context = &console;
            r.nqr_GlobalKey = ++k;
        });
        net->NetHeartBeat(false, tick);
        ASSERT_EQ(host.answers.size(), 1u) << c.answer;
        EXPECT_EQ(host.answers[0].second, c.answer);
        EXPECT_TRUE(host.answers[0].first.Ctx.Is(&console));
        EXPECT_EQ(host.answers[0].first.Key, k);
        EXPECT_EQ((IntrFlagOf(a->IntrFlags()) & ifl_Terminate) != 0,
                  c.ends || (IntrFlagOf(before) & ifl_Terminate) != 0)
            << c.answer;
    }
}

TEST_F(NetworkChanTest, LogLevelIsClampedAndModeStaysStandaloneWithoutActiveManagers) {
    TQORRoleScope role(kHeartbeat);
    const int32_t initial = net->NetLogLevel();
    struct Case {
        int32_t sent, kept;
    };
    for (const Case& c : {Case{5, 5}, Case{9, 7}, Case{-3, 0}}) {
        Push(C::snc_ChannelNetworkLogLevel, nullptr,
             [&](TQORSVCNetQueueRecord& r) { r.nqr_DataI0 = c.sent; });
        net->NetHeartBeat(false, tick);
        EXPECT_EQ(net->NetLogLevel(), c.kept) << c.sent << " (was " << initial << ")";
    }
    // As the service wires it: none of the network's managers is active.
    net->SetEffManagersMask(0);
    for (int32_t mode : {1, 2, 3, 7, -1}) {
        Push(C::snc_ChannelNetworkManagerMode, nullptr,
             [&](TQORSVCNetQueueRecord& r) { r.nqr_DataI0 = mode; });
        EXPECT_NO_THROW(net->NetHeartBeat(false, tick)) << mode;
        EXPECT_EQ(net->EffManagerMode(), smm_Standalone) << mode;
    }
}

// The level the operator sets decides the network's client lines from then
// on: a login line at 4 and above, none below.
TEST_F(NetworkChanTest, LogLevelSetThroughTheChannelDecidesTheLoginLines) {
    TQORRoleScope role(kHeartbeat);
    auto logins = [&]() GAX_REQUIRES(kHeartbeat) {
        int n = 0;
        for (const auto& l : host.lines) n += l.find(u" LOGIN") != std::u16string::npos;
        return n;
    };
    for (const auto& [level, lines] : {std::pair{4, 1}, std::pair{0, 0}, std::pair{7, 1}}) {
        Push(C::snc_ChannelNetworkLogLevel, nullptr,
             [&, lvl = level](TQORSVCNetQueueRecord& r) { r.nqr_DataI0 = lvl; });
        host.lines.clear();
        Visible("lvl" + std::to_string(level) + "@example.org");
        EXPECT_EQ(logins(), lines) << level;
    }
}

TEST_F(NetworkChanTest, MemoryReportLinesCarryTheNetworkPrefix) {
    TQORRoleScope role(kHeartbeat);
    Visible("a@example.org");
    std::vector<std::u16string> lines;
    net->AppendMemoryReport(lines);
    ASSERT_GE(lines.size(), 20u);
    EXPECT_EQ(lines[0].rfind(u"Net \"Test\":  f_VisualBias=", 0), 0u);
    for (const auto& l : lines) {
        EXPECT_EQ(l.rfind(u"Net \"Test\":  ", 0), 0u);
        EXPECT_NE(l.find(u'='), std::u16string::npos);
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), u"Net \"Test\":  f_EMailHash=1"), lines.end());
    // The access lists' indexes and the cache's fixed arrays close the report.
    EXPECT_NE(std::find(lines.begin(), lines.end(), u"Net \"Test\":  f_AdminsByHash=64"),
              lines.end());
    EXPECT_EQ(lines.back(), u"Net \"Test\":  Len(f_CacheListSortArray)=32");
}

}  // namespace
