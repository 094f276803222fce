// The built console program as a black box: a copy of the executable in a
// temporary directory with empty data files next to it, started from the
// root directory with its standard output read through a pipe, and second
// copies run as the operator's console. Tests wait for the program's own
// output lines, never for fixed delays.
//
// Threads: everything here runs on the test's thread; the program is a
// child process. REQUIRES: the test executable sits one folder below the
// built QORServerConsole (the build tree's tests/ layout).
#pragma once

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
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/file_test_support.h"

namespace console_test {

inline std::string BuiltProgram() {
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir(self, n > 0 ? size_t(n) : 0);
    dir.resize(dir.rfind('/'));
    return dir + "/../QORServerConsole";
}

// A port free on every address right now (another process may still take
// it before the server binds it: callers then try fresh ports).
inline int FreePort() {
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

// A connection to aPort on 127.0.0.1, or -1.
inline int ConnectLoopback(int aPort) {
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

// Runs a second copy of the program as the operator's console and returns
// its exit code (-1: ended by a signal) and its output, both streams.
inline std::pair<int, std::string> RunConsole(const std::string& aExe,
                                              std::vector<std::string> aArgs) {
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

// The program's log lines that say a port listens.
inline std::string ClientListening(int aPort) {
    return "Start listening: Client: 0.0.0.0:" + std::to_string(aPort) + "\r\n";
}
inline std::string CommandListening(int aPort) {
    return "Start listening: Command: 127.0.0.1:" + std::to_string(aPort);
}

// What a start on a port another process took says.
inline const char kBindError[] = "ERROR: Listening: ";

// A temporary directory holding a runnable copy of the program and empty
// data files; each test writes its own networks.cfg and server.ini.
class ProgramTest : public file_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        exe = P("QORServerConsole");
        const std::string bin = file_test::ReadAll(BuiltProgram());
        ASSERT_FALSE(bin.empty()) << BuiltProgram();
        file_test::WriteFile(exe, bin);
        ASSERT_EQ(::chmod(exe.c_str(), 0755), 0);
        for (const char* f : {"mutes", "blocks", "admins", "rights", "modes", "notices", "owner"})
            file_test::WriteFile(P(std::string(f) + ".dat"), "");
    }
    void TearDown() override {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (outFd >= 0) ::close(outFd);
        TempDirTest::TearDown();
    }

    // Starts the program from the root directory with aArgs; its standard
    // output is read through a pipe.
    void Start(std::vector<std::string> aArgs) {
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

    // Reads standard output until it holds one of the texts (its index) or
    // 20 s pass or the program closes it (-1).
    int WaitForAny(const std::vector<std::string>& aTexts, size_t aFrom = 0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            for (size_t i = 0; i < aTexts.size(); ++i)
                if (out.find(aTexts[i], aFrom) != std::string::npos) return int(i);
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

    // True when standard output holds aText at or after aFrom within 20 s.
    bool WaitFor(const std::string& aText, size_t aFrom = 0) {
        return WaitForAny({aText}, aFrom) == 0;
    }

    // Reads the rest of the output and returns the exit code (-1: ended by
    // a signal).
    int Finish() {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(outFd, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
        ::close(outFd);
        outFd = -1;
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Ends a start that did not come up (say its port was taken).
    void Kill() {
        ::kill(pid, SIGKILL);
        Finish();
    }

    // A server.ini for the ports picked: clients on clientPort, the server
    // owned by owner@example.org, and the command channel on commandPort or,
    // without aCommand, off. The test stations send no keep-alives, so the
    // activity time-out is the longest there is: a sanitizer build on a
    // loaded machine can take more than the default 8 s between a join and
    // the console command that acts on the station.
    void WriteServerIni(bool aCommand = true) {
        const std::string port = std::to_string(clientPort);
        file_test::WriteFile(
            P("server.ini"),
            "[Server]\nPresentServerPort=" + port + "\nListenServerPorts=" + port +
                "/4\nServerOwnerEMail=owner@example.org\nClientActivityTimeout=30\n[Command]\n" +
                (aCommand ? "CommandEnabled=1\nCommandPort=" + std::to_string(commandPort) + "\n"
                          : std::string("CommandEnabled=0\n")));
    }

    // Picks fresh ports, writes the configuration through aWriteConfig and
    // starts the program with aArgs until its client port (and, with
    // aCommand, its command port) listens. A port another process took in
    // the meantime gives the bind error: the program is killed and started
    // again on fresh ports.
    bool StartListening(const std::function<void()>& aWriteConfig,
                        std::vector<std::string> aArgs = {"debug"}, bool aCommand = true) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            clientPort = FreePort();
            commandPort = FreePort();
            aWriteConfig();
            out.clear();
            Start(aArgs);
            if (WaitForAny({ClientListening(clientPort), kBindError}) == 0 &&
                (!aCommand || WaitForAny({CommandListening(commandPort), kBindError}) == 0))
                return true;
            const bool lost = out.find(kBindError) != std::string::npos;
            Kill();
            if (!lost) return false;
        }
        return false;
    }

    std::string exe;
    int clientPort = 0, commandPort = 0;
    pid_t pid = -1;
    int outFd = -1;
    std::string out;
};

}  // namespace console_test
