// The built console program running the server: a copy of the executable in
// a temporary directory with its configuration, networks file and data
// files next to it, on free loopback ports, stopped by signals as an
// operator (or systemd) stops it. The test waits for the program's own log
// lines, never for fixed delays.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <regex>
#include <string>
#include <vector>

#include "control/console_program_test_support.h"
#include "foundation/file_test_support.h"
#include "tools/qor_client_proto.h"

using file_test::ReadAll;
using file_test::WriteFile;

namespace {

using console_test::ConnectLoopback;
using console_test::RunConsole;

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

class RunningProgramTest : public console_test::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        clientPort = console_test::FreePort();
        commandPort = console_test::FreePort();
        WriteFile(P("networks.cfg"), "Test|ParrotEnable=1\nNet01\n");
        WriteConfig("");
    }

    void WriteConfig(const std::string& aExtra) {
        const std::string port = std::to_string(clientPort);
        WriteFile(P("server.ini"), "[Server]\nPresentServerPort=" + port +
                                       "\nListenServerPorts=" + port +
                                       "/4\nServerOwnerEMail=owner@example.org\n" +
                                       serverExtra +
                                       "[Command]\nCommandEnabled=" + std::to_string(commandEnabled) +
                                       "\nCommandPort=" +
                                       std::to_string(commandPort) + "\n" + aExtra);
    }

    // Starts the program until its client port listens: in debug mode seen on
    // standard output, in run mode in aLogFile. A port another process took
    // in the meantime gives the bind error: the program is killed and started
    // again on fresh ports.
    bool LaunchListening(const std::string& aMode, const std::string& aExtra = "",
                         const std::string& aLogFile = "") {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (attempt > 0) {
                clientPort = console_test::FreePort();
                commandPort = console_test::FreePort();
            }
            WriteConfig(aExtra);
            out.clear();
            Start({aMode});
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
            Kill();
            if (!aLogFile.empty()) ::unlink(aLogFile.c_str());
            if (!lost) return false;
        }
        return false;
    }

    std::string ClientListening() const { return console_test::ClientListening(clientPort); }

    static std::string LastLine(const std::string& aText) {
        const size_t end = aText.size() >= 2 ? aText.size() - 2 : 0;
        const size_t start = aText.rfind("\r\n", end > 0 ? end - 1 : 0);
        return aText.substr(start == std::string::npos ? 0 : start + 2);
    }

    int commandEnabled = 1;
    std::string serverExtra;  // more lines of the [Server] section
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
        const int s = ConnectLoopback(clientPort);
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

    Start({"debug"});
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

// Log rotation: the operator renames the log and sends SIGUSR1; the server
// opens a new file under the configured name and goes on serving.
TEST_F(RunningProgramTest, ReopenSignalStartsANewLogFileAndTheServerKeepsServing) {
    const std::string logFile = P("server.log");
    const std::string extra = "[System]\nLogFile=server.log\n";
    ASSERT_TRUE(LaunchListening("run", extra, logFile)) << ReadAll(logFile);
    ASSERT_EQ(::rename(logFile.c_str(), P("server.log.1").c_str()), 0);
    ASSERT_EQ(::kill(pid, SIGUSR1), 0);
    // The renamed file ends with the reason, the new one is there.
    const auto reopened = [&] {
        struct stat st {};
        return ReadAll(P("server.log.1")).find("Reopen log file") != std::string::npos &&
               ::stat(logFile.c_str(), &st) == 0;
    };
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!reopened() && std::chrono::steady_clock::now() < end) ::usleep(20000);
    ASSERT_TRUE(reopened()) << ReadAll(P("server.log.1"));

    auto [rc, text] = RunConsole(exe, {"logtext", "after the rotation"});
    EXPECT_EQ(rc, 0) << text;
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(Finish(), 0);
    const std::string fresh = ReadAll(logFile), old = ReadAll(P("server.log.1"));
    EXPECT_NE(fresh.find("after the rotation"), std::string::npos) << fresh;
    EXPECT_TRUE(std::regex_match(LastLine(fresh), kStampedAborted)) << fresh;
    EXPECT_NE(old.find(ClientListening()), std::string::npos) << old;
    EXPECT_EQ(old.find("after the rotation"), std::string::npos) << old;
}

// A log that cannot be opened again (its directory was moved away) is
// reported on standard output, where the lines then go; the server keeps
// serving, and the next signal, once the directory is back, reopens the file.
TEST_F(RunningProgramTest, AFailedReopenIsReportedAndTheNextSignalOpensTheLogAgain) {
    ASSERT_EQ(::mkdir(P("logs").c_str(), 0755), 0);
    const std::string logFile = P("logs/server.log");
    ASSERT_TRUE(LaunchListening("run", "[System]\nLogFile=logs/server.log\n", logFile))
        << ReadAll(logFile);
    ASSERT_EQ(::rename(P("logs").c_str(), P("logs.1").c_str()), 0);
    ASSERT_EQ(::kill(pid, SIGUSR1), 0);
    ASSERT_TRUE(WaitFor("ERROR: Reopen log: ")) << out;

    ASSERT_EQ(::mkdir(P("logs").c_str(), 0755), 0);
    ASSERT_EQ(::kill(pid, SIGUSR1), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    struct stat st {};
    while (::stat(logFile.c_str(), &st) != 0 && std::chrono::steady_clock::now() < end)
        ::usleep(20000);
    auto [rc, text] = RunConsole(exe, {"logtext", "back in the file"});
    EXPECT_EQ(rc, 0) << text;
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(Finish(), 0);
    const std::string fresh = ReadAll(logFile);
    EXPECT_NE(fresh.find("back in the file"), std::string::npos) << fresh << out;
    EXPECT_TRUE(std::regex_match(LastLine(fresh), kStampedAborted)) << fresh;
}

TEST_F(RunningProgramTest, ChannelCommandsReachTheRunningServer) {
    ASSERT_TRUE(LaunchListening("debug")) << out;
    ASSERT_TRUE(WaitFor("Start listening: Command: 127.0.0.1:" + std::to_string(commandPort))) << out;

    // Answered by the connection's own worker.
    auto [upRc, upText] = RunConsole(exe, {"uptime"});
    EXPECT_EQ(upRc, 0) << upText;
    EXPECT_NE(upText.find("Server uptime: "), std::string::npos) << upText;
    EXPECT_EQ(upText.find("ERROR"), std::string::npos) << upText;

    // Answered by the heartbeat through the answer record: one line per
    // worker, the asking connection itself not counted.
    auto [thRc, thText] = RunConsole(exe, {"threads"});
    EXPECT_EQ(thRc, 0) << thText;
    EXPECT_TRUE(std::regex_search(thText, std::regex(R"(Working thread #0: 0 connection\(s\)\r\n)")))
        << thText;
    EXPECT_EQ(thText.find("ERROR"), std::string::npos) << thText;

    auto [stRc, stText] = RunConsole(exe, {"dstop"});
    EXPECT_EQ(stRc, 0) << stText;
    EXPECT_EQ(Finish(), 0) << out;
    EXPECT_EQ(out.find("ERROR:"), std::string::npos) << out;
    const std::string last = LastLine(out);
    EXPECT_TRUE(std::regex_match(
        last, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: Aborted: \[STOP COMMAND\]\r\n)")))
        << out;
}

TEST_F(RunningProgramTest, StartUpLogNamesTheNetworksDefaultsAndEachHandshakeStep) {
    WriteFile(P("networks.cfg"), "Main\nNet01\n");
    serverExtra = "DefaultNetworkName=net01\nDefaultCountry=Land\n";
    ASSERT_TRUE(LaunchListening("debug", "[System]\nLogClientLevel=5\n")) << out;
    EXPECT_NE(out.find(": List of networks is loaded: " + P("networks.cfg") + "\r\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(": Default network: \"Net01\"\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find(": Default country: \"Land\"\r\n"), std::string::npos) << out;

    // A station without a wish lands in the default network; each step of
    // its handshake is logged.
    qortool::QorConnection c;
    ASSERT_TRUE(c.Connect("127.0.0.1", uint16_t(clientPort), "", 5000)) << c.Error();
    qortool::HandshakeAnswer a;
    ASSERT_EQ(c.Handshake("CT:<VX>2014004</VX><EA>st@example.org</EA><PW>pw</PW><ON>ST Op</ON>"
                          "<BC>PC Only</BC><CT>Town</CT>\r\n",
                          a, 20000),
              qortool::ReadStatus::Ok);
    EXPECT_EQ(a.Access(), "OK");
    EXPECT_EQ(a.Network(), "Net01");
    const std::string client = "Client: 127.0.0.1 ";
    ASSERT_TRUE(WaitFor(" HANDSHAKE_ANSWER_OK: ")) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(Client: 127\.0\.0\.1 \d+ CONNECT\r\n)")))
        << out;
    EXPECT_TRUE(std::regex_search(
        out, std::regex(R"(Client: 127\.0\.0\.1 \d+ HANDSHAKE_STR_OK: CT:<VX>2014004</VX>)")))
        << out;
    c.Close();

    ASSERT_EQ(::kill(pid, SIGINT), 0);
    EXPECT_EQ(Finish(), 0) << out;
    EXPECT_EQ(out.find("ERROR:"), std::string::npos) << out;
}

TEST_F(RunningProgramTest, MissingNetworksFileEndsTheStartWithExitCodeThree) {
    // A typo in the name must not start a server with the built-in rooms.
    WriteConfig("[System]\nNetworksFileName=netwroks.cfg\n");
    Start({"debug"});
    EXPECT_EQ(Finish(), 3) << out;
    EXPECT_NE(out.find("ERROR: Network file \"" + P("netwroks.cfg") + "\": "), std::string::npos)
        << out;
    EXPECT_EQ(out.find("Start listening"), std::string::npos) << out;
    EXPECT_EQ(out.find("Aborted"), std::string::npos) << out;
}

TEST_F(RunningProgramTest, NetworksFileWithoutANetworkRunsTheBuiltInSet) {
    WriteFile(P("networks.cfg"), "# no rooms yet\n\n; none\n");
    ASSERT_TRUE(LaunchListening("debug")) << out;
    EXPECT_NE(out.find(": Networks: No networks found: use simple set of networks\r\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(":  Net: \"Test\", options: ParrotEnable=Yes"), std::string::npos)
        << out;
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    EXPECT_EQ(Finish(), 0) << out;
}
