// The built console program with a system manager: its server.ini points the
// manager section at a fake manager in this process, and a second copy of
// the program, as the operator's console, lists the managers, drops the
// connection, and changes the password, against the running server.
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

#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/console_program_test_support.h"
#include "foundation/file_test_support.h"

using file_test::ReadAll;
using file_test::WriteFile;

namespace {

using console_test::RunConsole;

using Clock = std::chrono::steady_clock;

// A manager on loopback: the first connection is accepted ("<AL>0</AL>"),
// the second refused with code -1, every later one accepted again; pings
// are answered. The handshake lines are kept.
class FakeManager {
  public:
    FakeManager() {
        f_Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(f_Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(f_Fd, 8);
        socklen_t len = sizeof a;
        ::getsockname(f_Fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        f_Thread = std::thread([this] { Run(); });
    }
    ~FakeManager() {
        f_Stop = true;
        f_Thread.join();
        ::close(f_Fd);
    }
    std::vector<std::string> Handshakes() {
        std::lock_guard<std::mutex> g(f_Lock);
        return f_Handshakes;
    }
    int Closed() const { return f_Closed.load(); }

    int port = 0;

  private:
    void Run() {
        for (int n = 0; !f_Stop; ++n) {
            pollfd p{f_Fd, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) {
                --n;
                continue;
            }
            const int c = ::accept4(f_Fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            Serve(c, n != 1);
            ::close(c);
            ++f_Closed;
        }
    }
    void Serve(int c, bool aAccept) {
        std::string buf;
        bool first = true;
        while (!f_Stop) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            char tmp[1024];
            const ssize_t k = ::recv(c, tmp, sizeof tmp, 0);
            if (k <= 0) return;
            buf.append(tmp, size_t(k));
            for (size_t lf; (lf = buf.find("\r\n")) != std::string::npos;) {
                const std::string line = buf.substr(0, lf);
                buf.erase(0, lf + 2);
                std::string reply;
                if (first) {
                    first = false;
                    std::lock_guard<std::mutex> g(f_Lock);
                    f_Handshakes.push_back(line);
                    reply = aAccept ? "<AL>0</AL>\r\n" : "<AL>-1</AL>\r\n";
                } else if (line == "P") {
                    reply = "F\r\n";
                }
                if (!reply.empty()) ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        }
    }

    int f_Fd = -1;
    std::atomic<bool> f_Stop{false};
    std::atomic<int> f_Closed{0};
    std::mutex f_Lock;
    std::vector<std::string> f_Handshakes;
    std::thread f_Thread;
};

class ManagerProgramTest : public console_test::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        WriteFile(P("networks.cfg"), "Test|ManagerMode=QOR|ManagersMask=1\nNet01\n");
    }
    void Launch() {
        clientPort = console_test::FreePort();
        commandPort = console_test::FreePort();
        const std::string port = std::to_string(clientPort);
        WriteFile(P("server.ini"),
                  "[Server]\nPresentServerPort=" + port + "\nListenServerPorts=" + port +
                      "/4\nServerOwnerEMail=owner@example.org\n"
                      "[Command]\nCommandEnabled=1\nCommandPort=" + std::to_string(commandPort) +
                      "\n[Manager]\nManagerEnabled=1\nManagerAddress=127.0.0.1\nManagerPort=" +
                      std::to_string(fake.port) +
                      "\nManagerAuthPassword=first\nManagerDelayAfterConnect=1\n"
                      "ManagerReconnectInterval=3600\nManagerLogDebug=2\n");
        Start({"debug"});
    }

    FakeManager fake;
};

}  // namespace

TEST_F(ManagerProgramTest, ManagerCommandsEndToEnd) {
    Launch();
    ASSERT_TRUE(WaitFor("Manager[0]: Operating")) << out;
    ASSERT_TRUE(WaitFor("Start listening: Command: 127.0.0.1:" + std::to_string(commandPort)))
        << out;
    ASSERT_EQ(fake.Handshakes().size(), 1u);
    EXPECT_NE(fake.Handshakes()[0].find("<PW>first</PW>"), std::string::npos);

    const std::string mgr = "0: 127.0.0.1:" + std::to_string(fake.port) + ": ";
    auto [lsRc, lsText] = RunConsole(exe, {"managers"});
    EXPECT_EQ(lsRc, 0) << lsText;
    EXPECT_NE(lsText.find(mgr + "Operational"), std::string::npos) << lsText;

    // The memory report holds the manager thread's part.
    auto [mrRc, mrText] = RunConsole(exe, {"memoryreport"});
    EXPECT_EQ(mrRc, 0) << mrText;
    EXPECT_NE(mrText.find("Manager[0]: f_Queue="), std::string::npos) << mrText;

    // Unknown slot and unknown address.
    auto [noRc, noText] = RunConsole(exe, {"disconnectmanidx", "2"});
    EXPECT_EQ(noRc, 30) << noText;
    auto [naRc, naText] = RunConsole(exe, {"disconnectmanaddr", "10.9.9.9"});
    EXPECT_EQ(naRc, 19) << naText;

    // By address, any port: the connection drops, the manager comes back
    // after its short pause and is refused this time (the fake's script).
    const size_t mark = out.size();
    auto [daRc, daText] = RunConsole(exe, {"disconnectmanaddr", "127.0.0.1"});
    EXPECT_EQ(daRc, 0) << daText;
    ASSERT_TRUE(WaitFor("Manager returned code [-1]", mark)) << out;

    // Paused for an hour now: nothing to disconnect.
    auto [ncRc, ncText] = RunConsole(exe, {"disconnectmanidx", "0"});
    EXPECT_EQ(ncRc, 19) << ncText;
    auto [ls2Rc, ls2Text] = RunConsole(exe, {"managers"});
    EXPECT_EQ(ls2Rc, 0) << ls2Text;
    EXPECT_NE(ls2Text.find(mgr + "Pause"), std::string::npos) << ls2Text;

    // A new password ends the pause: the next handshake carries it.
    auto [pwRc, pwText] = RunConsole(exe, {"dsetmanpassidx", "0", "second"});
    EXPECT_EQ(pwRc, 0) << pwText;
    auto [pw2Rc, pw2Text] = RunConsole(exe, {"dsetmanpassidx", "3", "x"});
    EXPECT_EQ(pw2Rc, 30) << pw2Text;
    ASSERT_TRUE(WaitFor("Manager[0]: Operating", mark)) << out;
    ASSERT_EQ(fake.Handshakes().size(), 3u);
    EXPECT_NE(fake.Handshakes()[2].find("<PW>second</PW>"), std::string::npos);

    // So does a new e-mail.
    const size_t mark2 = out.size();
    auto [emRc, emText] = RunConsole(exe, {"dsetmanemailidx", "0", "new@example.org"});
    EXPECT_EQ(emRc, 0) << emText;
    ASSERT_TRUE(WaitFor("Manager[0]: Operating", mark2)) << out;
    ASSERT_EQ(fake.Handshakes().size(), 4u);
    EXPECT_NE(fake.Handshakes()[3].find("<OW>new@example.org</OW>"), std::string::npos);

    auto [llRc, llText] = RunConsole(exe, {"dsetloglevelmanidx", "0", "1"});
    EXPECT_EQ(llRc, 0) << llText;
    auto [aeRc, aeText] = RunConsole(exe, {"managerauthdisable", "0"});
    EXPECT_EQ(aeRc, 0) << aeText;

    // The stop with the manager connected ends without the time limit.
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    EXPECT_EQ(Finish(), 0) << out;
    EXPECT_EQ(out.find("Can not termimate"), std::string::npos) << out;
    EXPECT_EQ(out.find("<PW>first"), std::string::npos);  // passwords stay out of the log
}
