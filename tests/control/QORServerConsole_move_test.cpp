// The built console program moves a station: the server runs in debug mode
// from a temporary directory, a station joins "Test" over TCP, and a second
// run of the program with "move" takes it to "Net01" through the command
// channel. The station is told of its new network; a move of nobody gets the
// channel's "no client" answer and its exit code.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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
#include "tools/qor_client_proto.h"

using file_test::ReadAll;
using file_test::WriteFile;
using namespace qortool;

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

// Runs the program with aArgs; its exit code and everything it printed.
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

class ConsoleMoveTest : public file_test::TempDirTest {
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

    // Starts the server in debug mode until both ports listen; a port taken
    // by another process meanwhile gives a fresh try on other ports.
    bool Launch() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            clientPort = FreePort();
            commandPort = FreePort();
            const std::string port = std::to_string(clientPort);
            WriteFile(P("server.ini"), "[Server]\nPresentServerPort=" + port +
                                           "\nListenServerPorts=" + port +
                                           "/4\nServerOwnerEMail=owner@example.org\n"
                                           "[Command]\nCommandEnabled=1\nCommandPort=" +
                                           std::to_string(commandPort) + "\n");
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) return false;
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
            out.clear();
            const std::string client = "Start listening: Client: 0.0.0.0:" + port;
            const std::string command =
                "Start listening: Command: 127.0.0.1:" + std::to_string(commandPort);
            if (WaitFor(client) && WaitFor(command)) return true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
            ::close(outFd);
            outFd = -1;
        }
        return false;
    }

    // Reads standard output until it holds aText, an error line, or 20 s pass.
    bool WaitFor(const std::string& aText) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (out.find(aText) == std::string::npos) {
            if (out.find("ERROR: Listening: ") != std::string::npos) return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{outFd, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) != 1) return false;
            char buf[4096];
            const ssize_t n = ::read(outFd, buf, sizeof buf);
            if (n <= 0) return false;
            out.append(buf, size_t(n));
        }
        return true;
    }

    std::string exe;
    int clientPort = 0, commandPort = 0;
    pid_t pid = -1;
    int outFd = -1;
    std::string out;
};

}  // namespace

TEST_F(ConsoleMoveTest, MoveTakesAStationToAnotherNetwork) {
    ASSERT_TRUE(Launch()) << out;
    QorConnection station;
    ConnectFields f;
    f.Email = "station@example.org";
    f.Callsign = "ST1";
    f.Password = "secret";
    f.City = "Town";
    f.Country = "Land";
    f.Network = "Test";
    f.ExtFlags = gax::QOR_LIST_FORMAT_COUNT | gax::QOR_EXT_NET_CHANGE_INFO;
    const BuildResult b = BuildConnectString(f, ConnectForm::Utf8);
    ASSERT_TRUE(b.Ok()) << b.Error;
    ASSERT_TRUE(station.Connect("127.0.0.1", uint16_t(clientPort), "", 5000)) << station.Error();
    HandshakeAnswer a;
    ASSERT_EQ(station.Handshake(b.Line, a, 20000), ReadStatus::Ok);
    ASSERT_TRUE(a.Positive()) << a.Access();
    std::string frame;
    ASSERT_EQ(station.WaitForFrame(kFrameCountList, frame, 20000), ReadStatus::Ok);

    auto [rc, text] = RunConsole(exe, {"move", "station@example.org", "Test", "Net01"});
    EXPECT_EQ(rc, 0) << text;
    ASSERT_EQ(station.WaitForFrame(kFrameNetChange, frame, 20000), ReadStatus::Ok);
    EXPECT_NE(frame.find("Net01"), std::string::npos);

    // Nobody of that e-mail is in Test any more.
    auto [rc2, text2] = RunConsole(exe, {"move", "station@example.org", "Test", "Net01"});
    EXPECT_EQ(rc2, 27) << text2;

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
