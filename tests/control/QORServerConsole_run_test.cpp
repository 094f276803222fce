// The built console program running the server: a copy of the executable in
// a temporary directory with its configuration, networks file and data
// files next to it, on free loopback ports, stopped by signals as an
// operator (or systemd) stops it. The test waits for the program's own log
// lines, never for fixed delays.
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
#include <regex>
#include <string>
#include <vector>

#include "foundation/file_test_support.h"

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

// A port free on every address right now (another process may still take
// it before the server binds it: LaunchListening then tries fresh ports).
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

int Connect(int aPort) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(aPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// True when the peer closed the connection within aMs.
bool ClosedByPeer(int aSock, int aMs) {
    char buf[256];
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{aSock, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) != 1) return false;
        const ssize_t n = ::recv(aSock, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
}

class RunningProgramTest : public file_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        exe = P("QORServerConsole");
        const std::string bin = ReadAll(BuiltProgram());
        ASSERT_FALSE(bin.empty()) << BuiltProgram();
        WriteFile(exe, bin);
        ASSERT_EQ(::chmod(exe.c_str(), 0755), 0);
        clientPort = FreePort();
        commandPort = FreePort();
        WriteFile(P("networks.cfg"), "Test|ParrotEnable=1\nNet01\n");
        for (const char* f : {"mutes", "blocks", "admins", "rights", "modes", "notices", "owner"})
            WriteFile(P(std::string(f) + ".dat"), "");
        WriteConfig("");
    }
    void TearDown() override {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (outFd >= 0) ::close(outFd);
        TempDirTest::TearDown();
    }

    void WriteConfig(const std::string& aExtra) {
        const std::string port = std::to_string(clientPort);
        WriteFile(P("server.ini"), "[Server]\nPresentServerPort=" + port +
                                       "\nListenServerPorts=" + port +
                                       "/4\nServerOwnerEMail=owner@example.org\n"
                                       "[Command]\nCommandEnabled=" + std::to_string(commandEnabled) +
                                       "\nCommandPort=" +
                                       std::to_string(commandPort) + "\n" + aExtra);
    }

    // Starts the program from the root directory; its standard output is read
    // through a pipe.
    void Launch(std::vector<std::string> aArgs) {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        pid = ::fork();
        if (pid == 0) {
            if (::chdir("/") != 0) _exit(120);
            ::dup2(fds[1], 1);
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (auto& a : aArgs) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            _exit(121);
        }
        ::close(fds[1]);
        outFd = fds[0];
    }

    // Reads standard output until it holds aText (true) or 20 s pass or the
    // program closes it (false).
    bool WaitFor(const std::string& aText) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (out.find(aText) == std::string::npos) {
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

    // Reads the rest of the output and returns the exit code (-1: killed by a signal).
    int Finish() {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(outFd, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Starts the program until its client port listens: in debug mode seen on
    // standard output, in run mode in aLogFile. A port another process took
    // in the meantime gives the bind error: the program is killed and started
    // again on fresh ports.
    bool LaunchListening(const std::string& aMode, const std::string& aExtra = "",
                         const std::string& aLogFile = "") {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (attempt > 0) {
                clientPort = FreePort();
                commandPort = FreePort();
            }
            WriteConfig(aExtra);
            out.clear();
            Launch({aMode});
            const std::string bindError = "ERROR: Listening: ";
            bool listening = false, lost = false;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!listening && !lost && std::chrono::steady_clock::now() < end) {
                std::string text;
                if (aLogFile.empty()) {
                    WaitForAny({ClientListening(), bindError});
                    text = out;
                } else {
                    text = ReadAll(aLogFile);
                    if (text.find(ClientListening()) == std::string::npos &&
                        text.find(bindError) == std::string::npos)
                        ::usleep(20000);
                }
                listening = text.find(ClientListening()) != std::string::npos;
                lost = text.find(bindError) != std::string::npos;
                if (aLogFile.empty() && !listening && !lost) break;
            }
            if (listening && !lost) return true;
            ::kill(pid, SIGKILL);
            Finish();
            if (!aLogFile.empty()) ::unlink(aLogFile.c_str());
            if (!lost) return false;
        }
        return false;
    }

    // Reads standard output until it holds one of the texts or 20 s pass.
    void WaitForAny(const std::vector<std::string>& aTexts) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            for (const std::string& t : aTexts)
                if (out.find(t) != std::string::npos) return;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return;
            pollfd p{outFd, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) != 1) return;
            char buf[4096];
            const ssize_t n = ::read(outFd, buf, sizeof buf);
            if (n <= 0) return;
            out.append(buf, size_t(n));
        }
    }

    std::string ClientListening() const {
        return "Start listening: Client: 0.0.0.0:" + std::to_string(clientPort) + "\r\n";
    }

    static std::string LastLine(const std::string& aText) {
        const size_t end = aText.size() >= 2 ? aText.size() - 2 : 0;
        const size_t start = aText.rfind("\r\n", end > 0 ? end - 1 : 0);
        return aText.substr(start == std::string::npos ? 0 : start + 2);
    }

    std::string exe;
    int clientPort = 0, commandPort = 0, commandEnabled = 1;
    pid_t pid = -1;
    int outFd = -1;
    std::string out;
};

const std::regex kStampedAborted(
    R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: Aborted: \[([A-Z-]+)\]\r\n)");

}  // namespace

TEST_F(RunningProgramTest, StartUpLinesThenEachStopSignalEndsCleanly) {
    const std::pair<int, const char*> cases[] = {
        {SIGINT, "CTRL-C"}, {SIGTERM, "SHUTDOWN"}, {SIGQUIT, "BREAK"}, {SIGHUP, "CLOSE"}};
    for (const auto& [sig, text] : cases) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(LaunchListening("debug")) << out;
        // A second signal of the same stop changes nothing.
        ASSERT_EQ(::kill(pid, sig), 0);
        ASSERT_EQ(::kill(pid, sig), 0);
        EXPECT_EQ(Finish(), 0) << out;

        EXPECT_EQ(out.rfind("QORServer-console (Win32) revision 7348(2022-10-13)\r\n"
                            "Site: http://",
                            0),
                  0u)
            << out;
        EXPECT_NE(out.find("\r\nINFO: Server-wide QOR-System-Manager mode: STANDALONE\r\n"),
                  std::string::npos);
        EXPECT_NE(out.find(":  Net: \"Test\", options: ParrotEnable=Yes\r\n"), std::string::npos)
            << out;
        EXPECT_NE(out.find(":  Net: \"Net01\"\r\n"), std::string::npos);
        EXPECT_NE(out.find(": Start listening: Command: 127.0.0.1:" + std::to_string(commandPort) +
                           "\r\n"),
                  std::string::npos);
        EXPECT_EQ(out.find("ERROR:"), std::string::npos) << out;
        size_t aborts = 0;
        for (size_t p = 0; (p = out.find("Aborting ...", p)) != std::string::npos; ++p) ++aborts;
        EXPECT_EQ(aborts, 1u);
        std::smatch m;
        const std::string last = LastLine(out);
        ASSERT_TRUE(std::regex_match(last, m, kStampedAborted)) << last;
        EXPECT_EQ(m[1], text);
    }
}

TEST_F(RunningProgramTest, StopClosesEveryClientConnection) {
    ASSERT_TRUE(LaunchListening("debug")) << out;
    std::vector<int> socks;
    for (int i = 0; i < 50; ++i) {
        const int s = Connect(clientPort);
        ASSERT_GE(s, 0) << i;
        socks.push_back(s);
    }
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    for (int s : socks) {
        EXPECT_TRUE(ClosedByPeer(s, 10000));
        ::close(s);
    }
    EXPECT_EQ(Finish(), 0) << out;
    EXPECT_EQ(out.find("ERROR:"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_match(LastLine(out), kStampedAborted)) << out;
}

TEST_F(RunningProgramTest, TakenClientPortStillStopsAtOnce) {
    // The port is taken by this test before the program starts: no race.
    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
    clientPort = ntohs(a.sin_port);
    // Neither binding listens: nothing will ever report the listener's stop.
    commandEnabled = 0;
    WriteConfig("");

    Launch({"debug"});
    ASSERT_TRUE(WaitFor("ERROR: Listening: Client: 0.0.0.0:" + std::to_string(clientPort))) << out;
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    EXPECT_EQ(Finish(), 0);
    ::close(taken);
    // The time limit's lines would say the stop waited for it.
    EXPECT_EQ(out.find("Total contexts"), std::string::npos) << out;
    EXPECT_EQ(out.find("Could not terminate"), std::string::npos) << out;
    EXPECT_EQ(out.find("Start listening"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_match(LastLine(out), kStampedAborted)) << out;
}

TEST_F(RunningProgramTest, RunWritesItsLogFileNotStandardOutput) {
    const std::string logFile = P("logs/server.log");
    const std::string extra = "[System]\nLogFile=logs/server.log\n";
    ASSERT_EQ(::mkdir(P("logs").c_str(), 0755), 0);
    WriteFile(logFile, "earlier line\r\n");
    ASSERT_TRUE(LaunchListening("run", extra, logFile)) << ReadAll(logFile);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(Finish(), 0);
    EXPECT_EQ(out, "");
    const std::string log = ReadAll(logFile);
    // Appended to what was there (a retry on fresh ports starts a new file).
    EXPECT_NE(log.find("QORServer-console (Win32) revision"), std::string::npos) << log;
    EXPECT_NE(log.find(ClientListening()), std::string::npos) << log;
    EXPECT_TRUE(std::regex_match(LastLine(log), kStampedAborted)) << log;
    if (log.rfind("earlier line\r\n", 0) != 0) GTEST_SKIP() << "ports retried";
    EXPECT_EQ(log.rfind("earlier line\r\nQORServer-console (Win32) revision", 0), 0u) << log;

    // A new log file is not readable by others.
    ::unlink(logFile.c_str());
    ASSERT_TRUE(LaunchListening("run", extra, logFile)) << ReadAll(logFile);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(Finish(), 0);
    struct stat st {};
    ASSERT_EQ(::stat(logFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

namespace {

// Runs a second copy of the program as the operator's console against the
// running server and returns its exit code and standard output.
std::pair<int, std::string> RunConsole(const std::string& aExe, const std::string& aWord) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {-2, ""};
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir("/") != 0) _exit(120);
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        std::string word = aWord;
        char* argv[] = {const_cast<char*>(aExe.c_str()), word.data(), nullptr};
        ::execv(aExe.c_str(), argv);
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

}  // namespace

TEST_F(RunningProgramTest, ChannelCommandsReachTheRunningServer) {
    ASSERT_TRUE(LaunchListening("debug")) << out;
    ASSERT_TRUE(WaitFor("Start listening: Command: 127.0.0.1:" + std::to_string(commandPort))) << out;

    // Answered by the connection's own worker.
    auto [upRc, upText] = RunConsole(exe, "uptime");
    EXPECT_EQ(upRc, 0) << upText;
    EXPECT_NE(upText.find("Server uptime: "), std::string::npos) << upText;
    EXPECT_EQ(upText.find("ERROR"), std::string::npos) << upText;

    // Answered by the heartbeat through the answer record: one line per
    // worker, the asking connection itself not counted.
    auto [thRc, thText] = RunConsole(exe, "threads");
    EXPECT_EQ(thRc, 0) << thText;
    EXPECT_TRUE(std::regex_search(thText, std::regex(R"(Working thread #0: 0 connection\(s\)\r\n)")))
        << thText;
    EXPECT_EQ(thText.find("ERROR"), std::string::npos) << thText;

    auto [stRc, stText] = RunConsole(exe, "dstop");
    EXPECT_EQ(stRc, 0) << stText;
    EXPECT_EQ(Finish(), 0) << out;
    EXPECT_EQ(out.find("ERROR:"), std::string::npos) << out;
    const std::string last = LastLine(out);
    EXPECT_TRUE(std::regex_match(
        last, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: Aborted: \[STOP COMMAND\]\r\n)")))
        << out;
}
