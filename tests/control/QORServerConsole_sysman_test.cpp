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

#include "foundation/file_test_support.h"

using file_test::ReadAll;
using file_test::WriteFile;

namespace {

using Clock = std::chrono::steady_clock;

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

// Runs a second copy of the program as the operator's console.
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

class ManagerProgramTest : public file_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        exe = P("QORServerConsole");
        const std::string bin = ReadAll(BuiltProgram());
        ASSERT_FALSE(bin.empty()) << BuiltProgram();
        WriteFile(exe, bin);
        ASSERT_EQ(::chmod(exe.c_str(), 0755), 0);
        WriteFile(P("networks.cfg"), "Test|ManagerMode=QOR|ManagersMask=1\nNet01\n");
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
        clientPort = FreePort();
        commandPort = FreePort();
        const std::string port = std::to_string(clientPort);
        WriteFile(P("server.ini"),
                  "[Server]\nPresentServerPort=" + port + "\nListenServerPorts=" + port +
                      "/4\nServerOwnerEMail=owner@example.org\n"
                      "[Command]\nCommandEnabled=1\nCommandPort=" + std::to_string(commandPort) +
                      "\n[Manager]\nManagerEnabled=1\nManagerAddress=127.0.0.1\nManagerPort=" +
                      std::to_string(fake.port) +
                      "\nManagerAuthPassword=first\nManagerDelayAfterConnect=1\n"
                      "ManagerReconnectInterval=3600\nManagerLogDebug=2\n");
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        pid = ::fork();
        if (pid == 0) {
            if (::chdir("/") != 0) _exit(120);
            ::dup2(fds[1], 1);
            char* argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>("debug"), nullptr};
            ::execv(exe.c_str(), argv);
            _exit(121);
        }
        ::close(fds[1]);
        outFd = fds[0];
    }
    // Reads standard output until it holds aText (true) or 20 s pass.
    bool WaitFor(const std::string& aText, size_t aFrom = 0) {
        const auto end = Clock::now() + std::chrono::seconds(20);
        while (out.find(aText, aFrom) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
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
    int Finish() {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(outFd, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    FakeManager fake;
    std::string exe;
    int clientPort = 0, commandPort = 0;
    pid_t pid = -1;
    int outFd = -1;
    std::string out;
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
