// The console program as operators meet it: the built executable, copied into
// a temporary directory and started from elsewhere, so that every relative
// name must be taken from the program's own directory.
#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "control/console_program_test_support.h"
#include "foundation/file_test_support.h"
#include "protocol/gax_qor_fields.h"

using file_test::ReadAll;
using file_test::WriteFile;

namespace {

const char kVersion[] = "QORServer-console (Win32) revision 7348(2022-10-13)\r\n";
const char kUsageTail[] =
    "Command line format:\r\n"
    "  QORServerConsole [flags ...] [command [parameters ...]]\r\n"
    "Use \"help\" command for full help\r\n";
const char kMinimal[] =
    "[Server]\nPresentServerPort=10024\nServerOwnerEMail=owner@example.org\n";

using console_test::BuiltProgram;

struct Result {
    int code = -1;
    std::string out, err;
};

class ConsoleProgramTest : public file_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        exe = P("QORServerConsole");
        const std::string bin = ReadAll(BuiltProgram());
        ASSERT_FALSE(bin.empty()) << BuiltProgram();
        WriteFile(exe, bin);
        ASSERT_EQ(::chmod(exe.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(P("elsewhere").c_str(), 0755), 0);
    }

    // Starts the program from the directory "elsewhere"; aDuring runs while it does.
    Result Start(std::vector<std::string> args, const std::function<void()>& aDuring = {}) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(P("elsewhere").c_str()) != 0) _exit(120);
            const int o = ::open(P("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int e = ::open(P("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(o, 1);
            ::dup2(e, 2);
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            _exit(121);
        }
        if (aDuring) aDuring();
        int status = 0;
        ::waitpid(pid, &status, 0);
        Result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadAll(P("out"));
        r.err = ReadAll(P("err"));
        return r;
    }

    std::string exe;
};

// A one-shot channel server on 127.0.0.1 driven from the test's own thread.
class OneShotServer {
  public:
    OneShotServer() {
        f_Listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(f_Listen, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(f_Listen, 1), 0);
        socklen_t len = sizeof a;
        ::getsockname(f_Listen, reinterpret_cast<sockaddr*>(&a), &len);
        f_Port = ntohs(a.sin_port);
    }
    ~OneShotServer() { ::close(f_Listen); }
    int Port() const { return f_Port; }
    // Accepts one connection, reads its line, replies and closes.
    void Serve(const std::string& aReply) {
        pollfd p{f_Listen, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return;
        const int s = ::accept4(f_Listen, nullptr, nullptr, SOCK_CLOEXEC);
        char buf[512];
        while (Request.find("\r\n") == std::string::npos) {
            pollfd q{s, POLLIN, 0};
            if (::poll(&q, 1, 5000) != 1) break;
            const ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            Request.append(buf, size_t(n));
        }
        ::send(s, aReply.data(), aReply.size(), MSG_NOSIGNAL);
        ::close(s);
    }
    std::string Request;

  private:
    int f_Listen = -1;
    int f_Port = 0;
};

}  // namespace

TEST_F(ConsoleProgramTest, CommandLineErrors) {
    Result r = Start({});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, std::string(kVersion) + "ERROR: wrong command or flags or parameters\r\n" + kUsageTail);
    EXPECT_EQ(r.out, "");
    for (const char* word : {"nosuchword", "syncintflags", "cmdport", "commandport"}) {
        r = Start({word});
        EXPECT_EQ(r.code, 1) << word;
        EXPECT_EQ(r.err, std::string(kVersion) + "ERROR: wrong command or flags or parameters\r\n" +
                             kUsageTail);
    }
    r = Start({"setloglevel", "9"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, std::string(kVersion) +
                         "ERROR: wrong command or flags or parameters: Invalid log level: 9\r\n" +
                         kUsageTail);
}

TEST_F(ConsoleProgramTest, AnswersWithoutConfiguration) {
    Result r = Start({"clientid", "abc"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "kAFQmDzST7DWlj99KOF/cg/9\r\n");

    r = Start({"version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind(kVersion, 0), 0u);
    EXPECT_EQ(r.out.find("\r\nSite: "), std::string(kVersion).size() - 2);

    r = Start({"--help"});
    EXPECT_EQ(r.code, 0);
    const std::string help = r.out;
    EXPECT_NE(help.find("\r\nKelvoran-Server-r7348(2022-10-13)-Win32\r\nCommand line format:\r\n"
                        "  QORServerConsole [flags ...] [command [parameters ...]]\r\nFlags:\r\n"
                        " -e, --email: show e-mail address of the clienton the list of connected "
                        "clients\r\n"),
              std::string::npos);
    EXPECT_NE(help.find("\r\nCommands:\r\n debug [config] - debug mode, run synchronously, event "
                        "protocol to stdout\r\n"),
              std::string::npos);
    const std::string last = " clientid <email> - calculate Kelvoran ID for <email>\r\n";
    EXPECT_EQ(help.substr(help.size() - last.size()), last);
    size_t lines = 0;
    for (size_t p = 0; (p = help.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
    EXPECT_EQ(lines, 4u + 3u + 1u + 11u + 1u + 76u);
    EXPECT_EQ(Start({"help"}).out, help);
}

TEST_F(ConsoleProgramTest, ConfigurationFileRules) {
    Result r = Start({"list"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "ERROR: Configuration file not found: \"" + P("server.ini") + "\"\r\n");
    r = Start({"getparameter", "Server", "X"});
    EXPECT_EQ(r.code, 2);

    // setparameter may create the file, next to the program.
    r = Start({"setparameter", "Server", "ServerInfo", "1"});
    EXPECT_EQ(r.code, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::stat(P("server.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0007, 0u);
    r = Start({"getparameter", "server", "serverinfo"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "1\r\n");

    // A configuration error: on standard output, exit 3.
    WriteFile(P("server.ini"), "[Server]\nPresentServerPort=0\nServerOwnerEMail=o@example.org\n");
    r = Start({"logfilename"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out,
              "ERROR: Invalid server port in the [Server].PresentServerPort parameter: 0\r\n");

    WriteFile(P("server.ini"), kMinimal);
    r = Start({"dstop"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "ERROR: Command channel is not enabled with configuration file \"" +
                         P("server.ini") + "\"\r\n");

    // run with a log file that cannot be opened: the error on standard
    // output, exit 3, and no server was started (nothing listens).
    WriteFile(P("server.ini"), std::string(kMinimal) + "[System]\nLogFile=no/such/dir/q.log\n");
    r = Start({"run"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out.rfind("ERROR: ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("Start listening"), std::string::npos);
}

TEST_F(ConsoleProgramTest, PathQueriesFollowTheProgramsDirectory) {
    WriteFile(P("server.ini"), std::string(kMinimal) + "[System]\nDataDir=data\nLogFile=logs/q.log\n");
    const std::pair<const char*, std::string> cases[] = {
        {"logfilename", P("logs/q.log")},         {"mutesfilename", P("data/mutes.dat")},
        {"blocksfilename", P("data/blocks.dat")}, {"adminsfilename", P("data/admins.dat")},
        {"rightsfilename", P("data/rights.dat")}, {"modesfilename", P("data/modes.dat")},
        {"noticesfilename", P("data/notices.dat")},
    };
    for (const auto& [word, path] : cases) {
        const Result r = Start({word});
        EXPECT_EQ(r.code, 0) << word << r.err << r.out;
        EXPECT_EQ(r.out, path + "\r\n");
    }
    WriteFile(P("other.ini"), kMinimal);
    const Result r = Start({"-c", "other.ini", "logfilename"});
    EXPECT_EQ(r.out, P("qorserver.log") + "\r\n");
}

TEST_F(ConsoleProgramTest, ChannelCommandsReachTheServer) {
    OneShotServer srv;
    WriteFile(P("server.ini"), std::string(kMinimal) + "[Command]\nCommandEnabled=1\nCommandPort=" +
                                   std::to_string(srv.Port()) + "\n");
    Result r = Start({"dstop"}, [&] { srv.Serve("-DENIED\r\n"); });
    EXPECT_EQ(srv.Request, "00B:00\r\n");
    EXPECT_EQ(r.code, 18);
    EXPECT_EQ(r.err, "ERROR: stop: Operation denied\r\n");

    OneShotServer list;
    WriteFile(P("server.ini"), std::string(kMinimal) + "[Command]\nCommandEnabled=1\nCommandPort=" +
                                   std::to_string(list.Port()) + "\n");
    using gax::HexLenStr;
    const std::string reply = "+4\r\n" + HexLenStr("Main") + HexLenStr("") + HexLenStr("") +
                              "\r\n1\r\n" + "A0" + gax::TypedFieldStr('2', "Call1") +
                              gax::TypedFieldStr('8', "ID1") + "\r\n0" + HexLenStr("10.0.0.1") +
                              HexLenStr("one@example.org") + "00" + HexLenStr("") +
                              HexLenStr("") + "\r\n";
    r = Start({"-l", "-d", "-n", "Main", "list"}, [&] { list.Serve(reply); });
    EXPECT_EQ(list.Request, "00C:" + HexLenStr("Main") + "\r\n");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Main;Call1;;;;;ID1\r\n");
}
