// The operator's list commands against the built program: a copy of the
// executable runs the server in a temporary directory, a station joins
// "Test" over TCP, and a second copy of the program, started with a command
// word, blocks it, asks for its internal flags, and sets them.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "control/console_program_test_support.h"
#include "foundation/file_test_support.h"
#include "networks/station_test_support.h"
#include "protocol/gax_qor_sourceid.h"

using file_test::ReadAll;
using file_test::WriteFile;

namespace {

using console_test::RunConsole;

class ConsoleAdminTest : public console_test::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        WriteFile(P("networks.cfg"), "Test\nNet01\n");
    }

    // Starts the program until both its ports listen.
    bool LaunchListening() {
        return StartListening([this] { WriteServerIni(); });
    }

    // A station of aMail joined to "Test" and in the list: a member the
    // network's commands can find.
    void JoinListed(qortool::QorConnection& aConn, const std::string& aMail) {
        using namespace qortool;
        ASSERT_TRUE(
            station_test::Join(aConn, uint16_t(clientPort), station_test::Station(aMail, "ST1")));
        std::string frame;
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(aConn.ReadFrame(frame, 20000), ReadStatus::Ok);
            if (ListCount(frame) >= 1) break;
        }
    }
};

}  // namespace

TEST_F(ConsoleAdminTest, OperatorBlocksAConnectedStationAndReadsAndSetsItsInternalFlags) {
    using namespace qortool;
    ASSERT_TRUE(LaunchListening()) << out;

    QorConnection station, other;
    ASSERT_NO_FATAL_FAILURE(JoinListed(station, "station@example.org"));
    ASSERT_NO_FATAL_FAILURE(JoinListed(other, "other@example.org"));
    const std::string id = gax::MakeSourceId("station@example.org");

    auto [q1, t1] = RunConsole(exe, {"getintflags", id, "Test"});
    EXPECT_EQ(q1, 0) << t1;
    EXPECT_NE(t1.find("No any internal flags are set"), std::string::npos) << t1;
    auto [s1, st1] = RunConsole(exe, {"setintflags", id, "Test", "NOSERVERMESSAGES"});
    EXPECT_EQ(s1, 0) << st1;
    auto [q2, t2] = RunConsole(exe, {"getintflags", id, "Test"});
    EXPECT_EQ(q2, 0) << t2;
    EXPECT_NE(t2.find("NOSERVERMESSAGES"), std::string::npos) << t2;

    auto [b1, bt1] = RunConsole(exe, {"block", id, "Test"});
    EXPECT_EQ(b1, 0) << bt1;
    std::string frame;
    ReadStatus st = ReadStatus::Ok;
    for (int i = 0; i < 1000 && st == ReadStatus::Ok; ++i) st = station.ReadFrame(frame, 20000);
    EXPECT_EQ(st, ReadStatus::Closed) << ReadStatusText(st);
    EXPECT_TRUE(other.SendAll(CmdKeepAlive(), 5000));

    auto [rc, stopText] = RunConsole(exe, {"dstop"});
    EXPECT_EQ(rc, 0) << stopText;
    EXPECT_GE(WaitForAny({"Aborted: [STOP COMMAND]"}), 0) << out;
}

TEST_F(ConsoleAdminTest, InternalFlagsFileIsReadAtStartAndRereadIntoTheRunningNetworks) {
    using namespace qortool;
    // A bad file at start is refused with its line; the server runs on.
    WriteFile(P("intflags.cfg"), "station@example.org Nowhere NOLIST\n");
    ASSERT_TRUE(LaunchListening()) << out;
    EXPECT_GE(WaitForAny({"ERROR: Read internal flags: line 1: Unknown network: Nowhere"}), 0)
        << out;

    QorConnection station;
    ASSERT_NO_FATAL_FAILURE(JoinListed(station, "station@example.org"));
    std::string frame;

    // The reread of a bad file fails and changes nothing.
    auto [r1, t1] = RunConsole(exe, {"drereadintflags"});
    EXPECT_NE(r1, 0) << t1;
    EXPECT_TRUE(station.SendAll(CmdKeepAlive(), 5000));

    // New flags for a connected station end its session; it gets them when
    // it joins again.
    WriteFile(P("intflags.cfg"), "station@example.org * NOLIST\n");
    auto [r2, t2] = RunConsole(exe, {"drereadintflags"});
    EXPECT_EQ(r2, 0) << t2;
    ReadStatus st = ReadStatus::Ok;
    for (int i = 0; i < 1000 && st == ReadStatus::Ok; ++i) st = station.ReadFrame(frame, 20000);
    EXPECT_EQ(st, ReadStatus::Closed) << ReadStatusText(st);

    auto [rc, stopText] = RunConsole(exe, {"dstop"});
    EXPECT_EQ(rc, 0) << stopText;
    EXPECT_GE(WaitForAny({"Aborted: [STOP COMMAND]"}), 0) << out;
}

namespace {

size_t LineCount(const std::string& aText) {
    size_t n = 0;
    for (size_t at = aText.find("\r\n"); at != std::string::npos; at = aText.find("\r\n", at + 2)) ++n;
    return n;
}

// A raw command connection: what the server wrote until it closed or
// aLines lines came, whichever was first.
std::string Exchange(int aFd, const std::string& aSend, size_t aLines) {
    EXPECT_EQ(::send(aFd, aSend.data(), aSend.size(), MSG_NOSIGNAL), ssize_t(aSend.size()));
    std::string got;
    char buf[256];
    while (LineCount(got) < aLines) {
        pollfd p{aFd, POLLIN, 0};
        if (::poll(&p, 1, 20000) != 1) break;
        const ssize_t n = ::recv(aFd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

int CommandConnection(int aPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(aPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

}  // namespace

// One reread at a time per connection: a second one sent before the first's
// answer ends the connection; one sent after it is served.
TEST_F(ConsoleAdminTest, CommandConnectionHasOneRereadInFlight) {
    ASSERT_TRUE(LaunchListening()) << out;
    const std::string reread = "008:00\r\n";
    const int piled = CommandConnection(commandPort);
    const std::string answers = Exchange(piled, reread + reread + reread, SIZE_MAX);
    ::close(piled);
    EXPECT_LE(LineCount(answers), 1u) << answers;

    const int paced = CommandConnection(commandPort);
    const std::string first = Exchange(paced, reread, 1);
    EXPECT_TRUE(first.starts_with("+OK") || first.starts_with("-ERROR")) << first;
    const std::string second = Exchange(paced, reread, 1);
    EXPECT_TRUE(second.starts_with("+OK") || second.starts_with("-ERROR")) << second;
    ::close(paced);

    auto [rc, stopText] = RunConsole(exe, {"dstop"});
    EXPECT_EQ(rc, 0) << stopText;
}
