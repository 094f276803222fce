// The handshake as a client reads it from a running service on loopback (the
// real dispatcher, sessions and networks): refused connect strings get their
// answer and the connection ends at once; the per-address limit refuses a
// client that the owner's privilege lets through; the configured default
// network and country, the speech limit, the uptime, DisableDUPL and a
// network's own ServerInfo show in the answer and the lists a client reads; a
// connection refused at admission is closed and logs no connect.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "foundation/file_test_support.h"
#include "networks/service_test_support.h"
#include "foundation/gax_mlang.h"
#include "server/gax_qor_svc_netoptions.h"
#include "server/gax_qor_svc_setup.h"

namespace {

using namespace service_test;
using file_test::WriteFile;

// A connect-string line of the given elements, each "<tag>value</tag>".
std::string Line(const std::vector<std::pair<std::string, std::string>>& aTags) {
    std::string l = "CT:";
    for (const auto& [tag, value] : aTags) l += "<" + tag + ">" + value + "</" + tag + ">";
    return l + "\r\n";
}

// Every required element of a station, for the cases to change one.
std::vector<std::pair<std::string, std::string>> Fields(const std::string& aEmail) {
    return {{"VX", "2014004"}, {"EA", aEmail}, {"PW", "secret"}, {"ON", "ST1 Op"},
            {"BC", "PC Only"}, {"CT", "Town"}, {"NN", "Land"},   {"NT", "Test"}};
}

std::vector<std::pair<std::string, std::string>> Without(
    std::vector<std::pair<std::string, std::string>> aTags, const std::string& aTag) {
    std::erase_if(aTags, [&](const auto& t) { return t.first == aTag; });
    return aTags;
}

std::vector<std::pair<std::string, std::string>> With(
    std::vector<std::pair<std::string, std::string>> aTags, const std::string& aTag,
    const std::string& aValue) {
    for (auto& t : aTags)
        if (t.first == aTag) {
            t.second = aValue;
            return aTags;
        }
    aTags.emplace_back(aTag, aValue);
    return aTags;
}

// Sends aLine on a fresh connection: the answer, and whether the server then
// closed the connection within aCloseMs.
struct Outcome {
    ReadStatus Status = ReadStatus::Error;
    HandshakeAnswer Answer;
    bool ClosedInTime = false;
};
Outcome Send(uint16_t aPort, const std::string& aLine, int aCloseMs = 1000) {
    Outcome o;
    QorConnection c;
    if (!c.Connect("127.0.0.1", aPort, "", 5000)) return o;
    o.Status = c.Handshake(aLine, o.Answer, 20000);
    if (o.Status != ReadStatus::Ok) return o;
    std::string frame;
    o.ClosedInTime = c.ReadFrame(frame, aCloseMs) == ReadStatus::Closed;
    return o;
}

// The configuration as the program reads it from a server.ini of aServer
// lines (every other value at the file's defaults), in aDir: the server
// owned by boss@example.org, with time-outs for a slow sanitizer run.
TQORServiceConfig ConfigFromIni(const std::string& aDir, const std::string& aServer) {
    const std::string ini = aDir + "/server.ini";
    WriteFile(ini, "[Server]\nPresentServerPort=10024\nServerOwnerEMail=boss@example.org\n"
                   "ClientHandshakeTimeout=20\nClientActivityTimeout=30\n" +
                       aServer);
    const std::unique_ptr<TCharsetsCodeList> codes = CreateCharsetsCodeList();
    TQORServiceConfig cfg;
    ReadServiceConfigFile(cfg, Utf8BufToUnicodeStd(ini), codes.get());
    cfg.cfg_ServerEnabled = true;
    return cfg;
}

TQORServiceNetOptions NetOptionsOf(const TQORServiceConfig& aCfg) {
    TQORServiceNetOptions serv;
    FillServiceNetOptionsFromConfig(serv, aCfg);
    return serv;
}

// Reads frames until one holds aText; false once a read fails.
bool WaitForFrameWith(QorConnection& aConn, const std::string& aText) {
    std::string frame;
    for (int i = 0; i < 1000; ++i) {
        if (aConn.ReadFrame(frame, 20000) != ReadStatus::Ok) return false;
        if (frame.find(aText) != std::string::npos) return true;
    }
    return false;
}

TEST(HandshakeSeenByClient, RefusedConnectStringsGetBlockAndTheConnectionEndsAtOnce) {
    const file_test::ScratchDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    const TQORServiceConfig cfg = ConfigFromIni(scratch.Path(), "");
    // Without a default network or country, NT and NN are required.
    LoopbackService srv(cfg);
    srv.svc->SetLogClientLevel(5);
    srv.svc->LoadNetworks(NetOptionsOf(cfg));
    ASSERT_TRUE(srv.Start());

    const auto good = Fields("station@example.org");
    const struct {
        const char* name;
        std::string line;
        const char* access;  // null: dropped without an answer
        const char* logged;
    } cases[] = {
        {"e-mail of the at sign alone", Line({{"VX", "2014004"}, {"EA", "@"}}), "BLOCK", nullptr},
        {"bad VX", Line(With(good, "VX", "12x")), "BLOCK", "Wrong value of ANSI VX"},
        {"bad CEF", Line(With(good, "CEF", "x7")), "BLOCK", "Wrong CEF"},
        {"no NT", Line(Without(good, "NT")), nullptr, "No NT (Network/room) field"},
        {"no NN", Line(Without(good, "NN")), nullptr, "No NN (Country) field"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        const Outcome o = Send(srv.port, k.line);
        if (k.access == nullptr) {
            EXPECT_EQ(o.Status, ReadStatus::Closed) << ReadStatusText(o.Status);
        } else {
            ASSERT_EQ(o.Status, ReadStatus::Ok) << ReadStatusText(o.Status);
            EXPECT_EQ(o.Answer.Access(), k.access);
            // A refusal before any valid VX answers with the server's version.
            if (std::string(k.name) == "bad VX") {
                EXPECT_EQ(o.Answer.VersionLine, "2014004");
            }
            EXPECT_TRUE(o.Answer.ClientId().empty());
            EXPECT_TRUE(o.ClosedInTime) << "the connection stays open after the refusal";
        }
        if (k.logged != nullptr) {
            EXPECT_TRUE(WaitFor([&] { return srv.LogHas(k.logged); }));
        }
    }
    EXPECT_TRUE(srv.WaitForNoClients());
    // Refused logins leave the address's count when they close: after more
    // of them than the per-address limit, a station from the same address
    // still gets in unmarked.
    for (int i = 0; i < 20; ++i) {
        const Outcome o = Send(srv.port, Line({{"VX", "2014004"}, {"EA", "@"}}));
        ASSERT_EQ(o.Status, ReadStatus::Ok) << i << ": " << ReadStatusText(o.Status);
        ASSERT_EQ(o.Answer.Access(), "BLOCK") << i;
    }
    EXPECT_TRUE(srv.WaitForNoClients());
    {
        QorConnection c;
        HandshakeAnswer a;
        ASSERT_TRUE(srv.Join(c, Station("station@example.org", "ST1"), ConnectForm::Ansi, &a));
        EXPECT_EQ(a.Access(), "OK");
    }
    EXPECT_TRUE(srv.WaitForNoClients());
    // The connection line has its blank before the word.
    EXPECT_TRUE(srv.LogHas(" CONNECT"));
    EXPECT_FALSE(srv.LogHas("not handled"));
}

TEST(HandshakeSeenByClient, LoginOverALimitIsRefusedUnlessItIsTheOwner) {
    const struct {
        const char* name;
        const char* ini;
        int admitted;       // users let in before the limit
        const char* cause;  // the refusal's recorded cause
    } cases[] = {
        // The defaults: 8 per address, the next 3 over it marked; so the
        // tenth login from one address is marked.
        {"per address", "", 9, "DISCONNECT_LIMIT_CONNECTS_PER_ADDRESS"},
        {"in total", "MaxTotalConnections=2\nMaxConnectionsPerAddress=0\n", 3,
         "DISCONNECT_LIMIT_CONNECTS_PER_SERVER"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        const file_test::ScratchDir scratch;
        ASSERT_FALSE(scratch.Path().empty());
        const TQORServiceConfig cfg =
            ConfigFromIni(scratch.Path(), k.ini + std::string("[System]\nLogClientLevel=5\n"));
        LoopbackService srv(cfg);
        srv.svc->SetLogClientLevel(cfg.SystemLogClientLevel);
        srv.svc->LoadNetworks(NetOptionsOf(cfg));
        ASSERT_TRUE(srv.Start());

        std::vector<QorConnection> conns(size_t(k.admitted) + 2);
        for (int i = 0; i < k.admitted; ++i)
            ASSERT_TRUE(srv.Join(conns[size_t(i)],
                                 Station("user" + std::to_string(i) + "@example.org",
                                         "U" + std::to_string(i))))
                << i;
        // The next one is over the limit, and a user's privilege does not
        // let it through.
        QorConnection& late = conns[size_t(k.admitted)];
        HandshakeAnswer a;
        ASSERT_TRUE(late.Connect("127.0.0.1", srv.port, "", 5000));
        const BuildResult user =
            BuildConnectString(Station("late@example.org", "LATE"), ConnectForm::Ansi);
        ASSERT_EQ(late.Handshake(user.Line, a, 20000), ReadStatus::Ok);
        EXPECT_EQ(a.Access(), "BLOCK");
        EXPECT_TRUE(WaitFor([&] { return srv.LogHas(k.cause); }));
        EXPECT_TRUE(srv.LogHas(" HANDSHAKE_ANSWER_OK: 2014004"));
        EXPECT_TRUE(srv.LogHas(" HANDSHAKE_ANSWER_NOT_OK: 2014004"));

        // The owner passes the same limit (AlwaysAllowServerOwner is on by default).
        ASSERT_TRUE(
            srv.Join(conns.back(), Station("boss@example.org", "BOSS"), ConnectForm::Ansi, &a));
        EXPECT_EQ(a.Access(), "OWNER");

        // A second login of a joined station is a duplicate (DisableDUPL is off).
        late.Close();
        const Outcome dupl = Send(
            srv.port, BuildConnectString(Station("user0@example.org", "U0"), ConnectForm::Ansi).Line);
        ASSERT_EQ(dupl.Status, ReadStatus::Ok);
        EXPECT_EQ(dupl.Answer.Access(), "DUPL");

        for (auto& c : conns) c.Close();
        EXPECT_TRUE(srv.WaitForNoClients());
        // Once the others have gone, the refused station is let in: the
        // refusal left nothing counted against the address.
        QorConnection again;
        ASSERT_TRUE(srv.Join(again, Station("late@example.org", "LATE"), ConnectForm::Ansi, &a));
        EXPECT_EQ(a.Access(), "OK");
        again.Close();
        EXPECT_TRUE(srv.WaitForNoClients());
    }
}

// The listener builds each session before the heartbeat judges the
// connection: one refused there is closed with the session it came with, is
// never counted, and logs its refusal but no connect.
TEST(HandshakeSeenByClient, ConnectionRefusedAtAdmissionIsClosedAndLogsNoConnect) {
    const file_test::ScratchDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    const TQORServiceConfig cfg = ConfigFromIni(
        scratch.Path(), "MaxConnectionsPerAddressPerMeasureTime=2\n[System]\nLogClientLevel=5\n");
    LoopbackService srv(cfg);
    srv.svc->SetLogClientLevel(cfg.SystemLogClientLevel);
    srv.svc->LoadNetworks(NetOptionsOf(cfg));
    ASSERT_TRUE(srv.Start());

    // Connections from one address, each waited for until it is admitted or
    // closed, until one is refused for coming too fast.
    std::vector<QorConnection> conns(5);
    int admitted = 0;
    bool refused = false;
    for (QorConnection& c : conns) {
        ASSERT_TRUE(c.Connect("127.0.0.1", srv.port, "", 5000));
        const int want = admitted + 1;
        std::string frame;
        ASSERT_TRUE(WaitFor([&] {
            return srv.svc->tmClientContextCount.load() == want ||
                   srv.LogHas("DISCONNECT_TOO_FAST_CONNECTIONS");
        }));
        if (srv.svc->tmClientContextCount.load() == want) {
            ++admitted;
            continue;
        }
        EXPECT_EQ(c.ReadFrame(frame, 20000), ReadStatus::Closed);
        refused = true;
        break;
    }
    ASSERT_TRUE(refused);
    EXPECT_GE(admitted, 1);
    EXPECT_EQ(srv.LogCount(" CONNECT"), admitted);
    EXPECT_EQ(srv.svc->tmClientContextCount.load(), admitted);
    for (auto& c : conns) c.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

TEST(HandshakeSeenByClient, ConfiguredDefaultsSpeechLimitUptimeAndServerInfoShowInTheAnswer) {
    const file_test::ScratchDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    const std::string netFile = scratch.Path() + "/networks.cfg";
    // The first network is not the default; the default one hides the
    // server information and has its own speech limit.
    WriteFile(netFile, "Main\r\nNet01|ServerInfo=No;MaxSpeechTime=120\r\n");
    // The default network is found whatever the case of its name.
    const TQORServiceConfig cfg = ConfigFromIni(
        scratch.Path(), "DefaultNetworkName=net01\nDefaultCountry=Nowhereland\nDisableDUPL=1\n");
    const std::unique_ptr<TCharsetsCodeList> codes = CreateCharsetsCodeList();
    LoopbackService srv(cfg);
    srv.svc->SetCharsetsCodeList(codes.get());
    srv.svc->LoadNetworks(NetOptionsOf(cfg), Utf8BufToUnicodeStd(netFile));
    ASSERT_TRUE(srv.Start());
    EXPECT_TRUE(srv.LogHas("List of networks is loaded: " + netFile));
    // The start describes the networks that were loaded, not a second
    // reading of some file (the configured name is not the loaded file here).
    EXPECT_TRUE(WaitFor([&] { return srv.LogHas("Default country: \"Nowhereland\""); }));
    EXPECT_TRUE(srv.LogHas(" Net: \"Main\""));
    EXPECT_TRUE(srv.LogHas("Default network: \"Net01\""));
    EXPECT_FALSE(srv.LogHas(" Net: \"Test\""));
    // The uptime in the answer counts from the heartbeat's start.
    ASSERT_TRUE(WaitFor([&] { return srv.svc->CmdServerUptime() >= 1; }));

    // An unknown wish, and no wish at all, land in the default network.
    QorConnection def, none, main;
    HandshakeAnswer a;
    ASSERT_TRUE(srv.Join(def, Station("a@example.org", "A", "Elsewhere"), ConnectForm::Ansi, &a));
    EXPECT_EQ(a.Network(), "Net01");
    EXPECT_EQ(a.Tag("TT"), "120");
    EXPECT_EQ(a.Tags.count("UT"), 0u) << "Net01 hides the server information";
    EXPECT_EQ(a.Tags.count("AVR"), 0u);

    const std::string noWish = Line(Without(Without(Fields("b@example.org"), "NT"), "NN"));
    ASSERT_TRUE(none.Connect("127.0.0.1", srv.port, "", 5000));
    ASSERT_EQ(none.Handshake(noWish, a, 20000), ReadStatus::Ok);
    EXPECT_EQ(a.Access(), "OK");
    EXPECT_EQ(a.Network(), "Net01");

    // A network with the server-wide settings shows the uptime and the
    // server-wide speech limit.
    ConnectFields f = Station("c@example.org", "C", "Main");
    f.Country = "";  // empty takes the default country too
    ASSERT_TRUE(srv.Join(main, f, ConnectForm::Ansi, &a));
    EXPECT_EQ(a.Network(), "Main");
    EXPECT_EQ(a.Tag("TT"), "300");
    ASSERT_FALSE(a.Tag("UT").empty());
    EXPECT_NE(a.Tag("UT"), "0");

    // The countries a client reads in its list are the default one.
    EXPECT_TRUE(WaitForFrameWith(main, "Nowhereland"));
    EXPECT_TRUE(WaitForFrameWith(def, "Nowhereland"));

    // With DisableDUPL, a second login of the same station reads "BLOCK".
    const Outcome dupl = Send(srv.port, BuildConnectString(Station("a@example.org", "A", "Net01"),
                                                           ConnectForm::Ansi).Line);
    ASSERT_EQ(dupl.Status, ReadStatus::Ok);
    EXPECT_EQ(dupl.Answer.Access(), "BLOCK");
    EXPECT_TRUE(dupl.ClosedInTime);

    def.Close();
    none.Close();
    main.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

}  // namespace
