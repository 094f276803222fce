// The operator's console against the built program on a server with a
// windows-1251 network: a notice typed in Cyrillic reaches a refused 8-bit
// station in the network's own character set, and times the server cannot
// take are refused by the console before anything is sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/console_program_test_support.h"
#include "foundation/file_test_support.h"
#include "networks/station_test_support.h"

using file_test::WriteFile;

namespace {

using console_test::RunConsole;

class OperatorConsoleTest : public console_test::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        WriteFile(P("networks.cfg"), "Test\nCyr|CharsetName=windows-1251\n");
    }
};

}  // namespace

TEST_F(OperatorConsoleTest, CyrillicNoticeReachesARefusedStationInTheNetworksCharset) {
    using namespace qortool;
    ASSERT_TRUE(StartListening([this] { WriteServerIni(); })) << out;

    auto [c1, t1] = RunConsole(exe, {"connenable", "Cyr"});
    ASSERT_EQ(c1, 0) << t1;
    // "Привет мир" as the operator's UTF-8 command line carries it.
    auto [c2, t2] = RunConsole(
        exe, {"noticeset", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xD0\xBC\xD0\xB8\xD1\x80",
              "Cyr"});
    ASSERT_EQ(c2, 0) << t2;

    // Not on the access list: refused, with the notice in windows-1251.
    const BuildResult b = BuildConnectString(
        station_test::Station("stranger@example.org", "STRANGER", "Cyr"), ConnectForm::Ansi);
    ASSERT_TRUE(b.Ok()) << b.Error;
    QorConnection conn;
    ASSERT_TRUE(conn.Connect("127.0.0.1", uint16_t(clientPort), "", 5000)) << conn.Error();
    HandshakeAnswer a;
    ASSERT_EQ(conn.Handshake(b.Line, a, 20000), ReadStatus::Ok);
    EXPECT_EQ(a.Access(), "BLOCK");
    EXPECT_EQ(a.Tag("MT"), "\xCF\xF0\xE8\xE2\xE5\xF2 \xEC\xE8\xF0");

    auto [rc, stopText] = RunConsole(exe, {"dstop"});
    EXPECT_EQ(rc, 0) << stopText;
    EXPECT_EQ(Finish(), 0) << out;
}

TEST_F(OperatorConsoleTest, TimesBeyondWhatTheServerTakesAreRefusedByTheConsole) {
    ASSERT_TRUE(StartListening([this] { WriteServerIni(); })) << out;
    const std::vector<std::vector<std::string>> commands = {
        {"mutetemp", "100y", "someone@example.org", "Test"},
        {"blocktemp", "100y", "someone@example.org", "Test"},
        {"movetemp", "100y", "someone@example.org", "Test", "Cyr"},
        {"-t", "100y", "move", "someone@example.org", "Test", "Cyr"},
    };
    for (const auto& c : commands) {
        auto [rc, text] = RunConsole(exe, c);
        EXPECT_EQ(rc, 1) << c[0] << ": " << text;
        EXPECT_NE(text.find("ERROR: wrong command or flags or parameters: Invalid time interval"),
                  std::string::npos)
            << text;
    }
    // The longest time the server takes still goes through.
    auto [okRc, okText] = RunConsole(exe, {"mutetemp", "24855d3h14m7s", "someone@example.org", "Test"});
    EXPECT_EQ(okRc, 0) << okText;

    auto [rc, stopText] = RunConsole(exe, {"dstop"});
    EXPECT_EQ(rc, 0) << stopText;
    EXPECT_EQ(Finish(), 0) << out;
    EXPECT_EQ(out.find("Socket error"), std::string::npos) << out;
}
