// The built console program on the sample networks: a station joins "Test" over TCP
// as an operator's first test would, talks, hears its own transmission back
// from the Parrot, and the program then stops on SIGINT with exit code 0.
// The test waits for the program's own lines and frames, never for delays.
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

// The sample configuration's networks file in the source tree.
std::string SampleNetworks() {
    std::string dir = __FILE__;
    dir.resize(dir.rfind("/tests/"));
    return dir + "/examples/networks.cfg";
}

// A port free right now (another process may take it before the program
// binds it: the launch then tries a fresh one).
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

class ParrotProgramTest : public file_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        exe = P("QORServerConsole");
        const std::string bin = ReadAll(BuiltProgram());
        ASSERT_FALSE(bin.empty()) << BuiltProgram();
        WriteFile(exe, bin);
        ASSERT_EQ(::chmod(exe.c_str(), 0755), 0);
        // The networks `make run` starts with.
        const std::string sample = ReadAll(SampleNetworks());
        ASSERT_FALSE(sample.empty()) << SampleNetworks();
        WriteFile(P("networks.cfg"), sample);
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

    // Starts `debug` from the root directory until its client port listens;
    // a port taken meanwhile gives the bind error and a fresh port.
    bool LaunchListening() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            clientPort = FreePort();
            const std::string port = std::to_string(clientPort);
            WriteFile(P("server.ini"), "[Server]\nPresentServerPort=" + port +
                                           "\nListenServerPorts=" + port +
                                           "/4\nServerOwnerEMail=owner@example.org\n"
                                           "[Command]\nCommandEnabled=0\n");
            out.clear();
            Launch();
            const std::string listening =
                "Start listening: Client: 0.0.0.0:" + port + "\r\n";
            const std::string bindError = "ERROR: Listening: ";
            WaitForAny({listening, bindError});
            if (out.find(listening) != std::string::npos &&
                out.find(bindError) == std::string::npos)
                return true;
            const bool lost = out.find(bindError) != std::string::npos;
            ::kill(pid, SIGKILL);
            Finish();
            if (!lost) return false;
        }
        return false;
    }

    void Launch() {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        pid = ::fork();
        if (pid == 0) {
            if (::chdir("/") != 0) _exit(120);
            ::dup2(fds[1], 1);
            std::string mode = "debug";
            char* argv[] = {const_cast<char*>(exe.c_str()), mode.data(), nullptr};
            ::execv(exe.c_str(), argv);
            _exit(121);
        }
        ::close(fds[1]);
        outFd = fds[0];
    }

    // Reads standard output until it holds one of the texts, 20 s pass or
    // the program closes it.
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

    // The rest of the output and the exit code (-1: ended by a signal).
    int Finish() {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(outFd, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string exe;
    int clientPort = 0;
    pid_t pid = -1;
    int outFd = -1;
    std::string out;
};

}  // namespace

TEST_F(ParrotProgramTest, StationHearsItsTransmissionEchoedThenTheProgramStops) {
    ASSERT_TRUE(LaunchListening()) << out;
    EXPECT_NE(out.find(" Net: \"Test\", options: ParrotEnable=Yes; ParrotStartStopEnable=Yes\r\n"),
              std::string::npos)
        << out;

    QorConnection conn;
    ConnectFields f;
    f.Email = "first@example.org";
    f.Callsign = "FIRST";
    f.Password = "secret";
    f.City = "Town";
    f.Country = "Land";
    f.Network = "Test";
    const BuildResult b = BuildConnectString(f, ConnectForm::Ansi);
    ASSERT_TRUE(b.Ok()) << b.Error;
    ASSERT_TRUE(conn.Connect("127.0.0.1", uint16_t(clientPort), "", 5000)) << conn.Error();
    HandshakeAnswer a;
    ASSERT_EQ(conn.Handshake(b.Line, a, 20000), ReadStatus::Ok);
    ASSERT_TRUE(a.Positive()) << a.Access();

    // The newcomer's greeting shows the station is admitted among the
    // Parrot's listeners.
    std::string frame;
    ASSERT_EQ(conn.WaitForFrame(kFrameText, frame, 20000), ReadStatus::Ok);
    TextMessage m;
    ASSERT_TRUE(ParseTextFrame(frame, m)) << frame;
    EXPECT_EQ(m.Text, "Parrot is started. Type message \"stop\" to stop parrot.");

    ASSERT_TRUE(conn.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(conn.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    std::vector<std::string> sent;
    for (int n = 0; n < 10; ++n) {
        std::string payload(kSoundPayload, '\0');
        for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<char>(n * 13 + k);
        ASSERT_TRUE(conn.SendAll(CmdSound(payload), 5000));
        sent.push_back(payload);
    }
    ASSERT_TRUE(conn.SendAll(CmdRx0(), 5000));

    unsigned index = 0;
    for (int n = 0; n < 10; ++n) {
        ASSERT_EQ(conn.WaitForFrame(kFrameSound, frame, 20000), ReadStatus::Ok) << n;
        ASSERT_EQ(frame.size(), kSoundFrame);
        if (n == 0) index = SoundIndex(frame);
        EXPECT_EQ(SoundIndex(frame), index) << n;
        EXPECT_EQ(frame.substr(kSoundFrame - kSoundPayload), sent[n]) << n;
    }
    EXPECT_NE(index, 0u);

    ASSERT_EQ(::kill(pid, SIGINT), 0);
    EXPECT_EQ(Finish(), 0) << out;
    EXPECT_EQ(out.find("ERROR:"), std::string::npos) << out;
    EXPECT_NE(out.find(": Aborted: [CTRL-C]\r\n"), std::string::npos) << out;
    conn.Close();
}
