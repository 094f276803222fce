// The built console program moves a station: the server runs in debug mode
// from a temporary directory, a station joins "Test" over TCP, and a second
// run of the program with "move" takes it to "Net01" through the command
// channel, by its e-mail and back by its client id. The station is told of
// its new network; a move of nobody gets the channel's "no client" answer and
// its exit code.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "control/console_program_test_support.h"
#include "foundation/file_test_support.h"
#include "networks/station_test_support.h"

using file_test::ReadAll;
using file_test::WriteFile;
using namespace qortool;

namespace {

using console_test::RunConsole;

class ConsoleMoveTest : public console_test::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        WriteFile(P("networks.cfg"), "Test\nNet01\n");
    }

    // Starts the server in debug mode until both ports listen.
    bool Launch() {
        return StartListening([this] { WriteServerIni(); });
    }
};

}  // namespace

TEST_F(ConsoleMoveTest, MoveTakesAStationToAnotherNetwork) {
    ASSERT_TRUE(Launch()) << out;
    QorConnection station;
    ConnectFields f = station_test::Station("station@example.org", "ST1");
    f.ExtFlags = gax::QOR_LIST_FORMAT_COUNT | gax::QOR_EXT_NET_CHANGE_INFO;
    HandshakeAnswer a;
    ASSERT_TRUE(station_test::Join(station, uint16_t(clientPort), f, ConnectForm::Utf8, &a));
    std::string frame;
    ASSERT_EQ(station.WaitForFrame(kFrameCountList, frame, 20000), ReadStatus::Ok);

    auto [rc, text] = RunConsole(exe, {"move", "station@example.org", "Test", "Net01"});
    EXPECT_EQ(rc, 0) << text;
    ASSERT_EQ(station.WaitForFrame(kFrameNetChange, frame, 20000), ReadStatus::Ok);
    EXPECT_NE(frame.find("Net01"), std::string::npos);

    // Nobody of that e-mail is in Test any more.
    auto [rc2, text2] = RunConsole(exe, {"move", "station@example.org", "Test", "Net01"});
    EXPECT_EQ(rc2, 27) << text2;

    // The client id the lists show names it as well as its e-mail does.
    auto [rc3, text3] = RunConsole(exe, {"move", a.ClientId(), "Net01", "Test"});
    EXPECT_EQ(rc3, 0) << text3;
    ASSERT_EQ(station.WaitForFrame(kFrameNetChange, frame, 20000), ReadStatus::Ok);
    EXPECT_NE(frame.find("Test"), std::string::npos);

    station.Close();
    auto [stRc, stText] = RunConsole(exe, {"dstop"});
    EXPECT_EQ(stRc, 0) << stText;
    char buf[4096];
    while (::read(outFd, buf, sizeof buf) > 0) {
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
