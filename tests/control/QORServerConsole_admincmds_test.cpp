// The operator's list commands against the built program: a copy of the
// executable runs the server in a temporary directory, a station joins
// "Test" over TCP, and a second copy of the program, started with a command
// word, blocks it, asks for its internal flags, and sets them.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "foundation/file_test_support.h"
#include "protocol/gax_qor_sourceid.h"
#include "tools/qor_client_proto.h"

using file_test::ReadAll;
using file_test::WriteFile;

namespace {

std::string BuiltProgram() {
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir(self, n > 0 ? size_t(n) : 0);
    dir.resize(dir.rfind('/'));
    return dir + "/../QORServerConsole";
}

int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// Runs a second copy of the program as the operator's console and returns
// its exit code and its output.
std::pair<int, std::string> RunConsole(const std::string& aExe, std::vector<std::string> aArgs) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {-2, ""};
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir("/") != 0) _exit(120);
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        std::vector<char*> argv{const_cast<char*>(aExe.c_str())};
        for (auto& a : aArgs) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(aExe.c_str(), argv.data());
        _exit(121);
    }
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) text.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

class ConsoleAdminTest : public file_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        exe = P("QORServerConsole");
        const std::string bin = ReadAll(BuiltProgram());
        ASSERT_FALSE(bin.empty()) << BuiltProgram();
        WriteFile(exe, bin);
        ASSERT_EQ(::chmod(exe.c_str(), 0755), 0);
        WriteFile(P("networks.cfg"), "Test\nNet01\n");
        for (const char* f : {"mutes", "blocks", "admins", "rights", "modes", "notices", "owner"})
            WriteFile(P(std::string(f) + ".dat"), "");
    }
    void TearDown() override {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (outFd >= 0) ::close(outFd);
        TempDirTest::TearDown();
    }

    void Launch() {
        const std::string port = std::to_string(clientPort);
        WriteFile(P("server.ini"), "[Server]\nPresentServerPort=" + port +
                                       "\nListenServerPorts=" + port +
                                       "/4\nServerOwnerEMail=owner@example.org\n[Command]\nCommandEnabled=1\nCommandPort=" +
                                       std::to_string(commandPort) + "\n");
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        pid = ::fork();
        if (pid == 0) {
            if (::chdir("/") != 0) _exit(120);
            ::dup2(fds[1], 1);
            char debug[] = "debug";
            char* argv[] = {const_cast<char*>(exe.c_str()), debug, nullptr};
            ::execv(exe.c_str(), argv);
            _exit(121);
        }
        ::close(fds[1]);
        outFd = fds[0];
    }

    // Reads standard output until it holds one of the texts (its index) or
    // 20 s pass or the program closes it (-1).
    int WaitForAny(const std::vector<std::string>& aTexts) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            for (size_t i = 0; i < aTexts.size(); ++i)
                if (out.find(aTexts[i]) != std::string::npos) return int(i);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return -1;
            pollfd p{outFd, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) != 1) return -1;
            char buf[4096];
            const ssize_t n = ::read(outFd, buf, sizeof buf);
            if (n <= 0) return -1;
            out.append(buf, size_t(n));
        }
    }

    // Starts the program until both its ports listen; a port another
    // process took meanwhile gives a fresh start on fresh ports.
    bool LaunchListening() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            clientPort = FreePort();
            commandPort = FreePort();
            out.clear();
            Launch();
            const std::string client =
                "Start listening: Client: 0.0.0.0:" + std::to_string(clientPort) + "\r\n";
            const std::string command =
                "Start listening: Command: 127.0.0.1:" + std::to_string(commandPort);
            if (WaitForAny({client, "ERROR: Listening: "}) == 0 &&
                WaitForAny({command, "ERROR: Listening: "}) == 0)
                return true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
            ::close(outFd);
            outFd = -1;
        }
        return false;
    }

    std::string exe;
    int clientPort = 0, commandPort = 0;
    pid_t pid = -1;
    int outFd = -1;
    std::string out;
};

}  // namespace

TEST_F(ConsoleAdminTest, OperatorBlocksAConnectedStationAndReadsAndSetsItsInternalFlags) {
    using namespace qortool;
    ASSERT_TRUE(LaunchListening()) << out;

    auto join = [&](QorConnection& aConn, const std::string& aMail) {
        ConnectFields f;
        f.Email = aMail;
        f.Callsign = "ST1";
        f.Password = "secret";
        f.City = "Town";
        f.Country = "Land";
        f.Network = "Test";
        const BuildResult b = BuildConnectString(f, ConnectForm::Ansi);
        ASSERT_TRUE(b.Ok()) << b.Error;
        ASSERT_TRUE(aConn.Connect("127.0.0.1", uint16_t(clientPort), "", 5000)) << aConn.Error();
        HandshakeAnswer a;
        ASSERT_EQ(aConn.Handshake(b.Line, a, 20000), ReadStatus::Ok);
        ASSERT_TRUE(a.Positive()) << a.Access();
        // In the list: a member the network's commands can find.
        std::string frame;
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(aConn.ReadFrame(frame, 20000), ReadStatus::Ok);
            if (ListCount(frame) >= 1) break;
        }
    };
    QorConnection station, other;
    join(station, "station@example.org");
    join(other, "other@example.org");
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
    ConnectFields f;
    f.Email = "station@example.org";
    f.Callsign = "ST1";
    f.Password = "secret";
    f.City = "Town";
    f.Country = "Land";
    f.Network = "Test";
    const BuildResult b = BuildConnectString(f, ConnectForm::Ansi);
    ASSERT_TRUE(b.Ok()) << b.Error;
    ASSERT_TRUE(station.Connect("127.0.0.1", uint16_t(clientPort), "", 5000)) << station.Error();
    HandshakeAnswer a;
    ASSERT_EQ(station.Handshake(b.Line, a, 20000), ReadStatus::Ok);
    ASSERT_TRUE(a.Positive()) << a.Access();
    std::string frame;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(station.ReadFrame(frame, 20000), ReadStatus::Ok);
        if (ListCount(frame) >= 1) break;
    }

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
