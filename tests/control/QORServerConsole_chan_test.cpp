// The console's channel requests that the heartbeat answers, against the
// built program: client listings of joined stations, disconnects, the memory
// report, the data flush, the log text, the answers to bad names on a raw
// channel connection, and a command connection kept busy through the stop.
// The server runs from a temporary directory on free loopback ports; the
// tests wait for its log lines and answers, never for fixed delays.
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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "control/console_program_test_support.h"
#include "foundation/file_test_support.h"
#include "networks/station_test_support.h"

using file_test::ReadAll;
using file_test::WriteFile;
using namespace qortool;

namespace {

using console_test::ConnectLoopback;
using console_test::RunConsole;

// Everything the peer sends until it closes or aMs pass.
std::string ReadUntilClosed(int aSock, int aMs, bool* aClosed = nullptr) {
    std::string got;
    char buf[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{aSock, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) != 1) break;
        const ssize_t n = ::recv(aSock, buf, sizeof buf, 0);
        if (n <= 0) {
            if (aClosed) *aClosed = true;
            return got;
        }
        got.append(buf, size_t(n));
    }
    if (aClosed) *aClosed = false;
    return got;
}

// A hex-length field of the channel: two hex digits of the length, the bytes.
std::string F(const std::string& aText) {
    char len[3];
    std::snprintf(len, sizeof len, "%02X", unsigned(aText.size()));
    return len + aText;
}

std::vector<std::string> Lines(const std::string& aText) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < aText.size()) {
        size_t end = aText.find("\r\n", at);
        if (end == std::string::npos) end = aText.size();
        out.push_back(aText.substr(at, end - at));
        at = end + 2;
    }
    return out;
}

class ChannelProgramTest : public console_test::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        WriteFile(P("networks.cfg"), "Test|ParrotEnable=1\nNet01\n");
    }

    // Starts "debug" until both ports listen.
    bool LaunchListening() {
        return StartListening([this] { WriteServerIni(); });
    }

    // A station joined to "Test", its handshake answered positively.
    void Join(QorConnection& aConn, int aNo) {
        const std::string no = std::to_string(aNo);
        ASSERT_TRUE(
            station_test::Join(aConn, uint16_t(clientPort),
                               station_test::Station("station" + no + "@example.org", "ST" + no)))
            << aNo;
    }

    // Asks for the whole server's list until it names every callsign (the
    // stations are listed once their network's next list step has run).
    std::string ListShowing(const std::vector<std::string>& aCallsigns) {
        std::string text;
        for (int i = 0; i < 200; ++i) {
            auto [rc, t] = RunConsole(exe, {"list"});
            text = t;
            bool all = rc == 0;
            for (const auto& c : aCallsigns) all = all && t.find(c) != std::string::npos;
            if (all) return text;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return text;
    }

    // One raw request on a fresh channel connection: its first answer line.
    std::string Ask(const std::string& aRequest) {
        const int s = ConnectLoopback(commandPort);
        if (s < 0) return "<no connection>";
        const std::string line = aRequest + "\r\n";
        (void)::send(s, line.data(), line.size(), MSG_NOSIGNAL);
        std::string got;
        bool closed = false;
        for (int i = 0; i < 100 && got.find("\r\n") == std::string::npos && !closed; ++i)
            got += ReadUntilClosed(s, 100, &closed);
        ::close(s);
        return got;
    }

};

}  // namespace

TEST_F(ChannelProgramTest, ListingsShowJoinedStationsAndDisconnectsEndThem) {
    ASSERT_TRUE(LaunchListening()) << out;
    QorConnection conn[2];
    for (int i = 0; i < 2; ++i) Join(conn[i], i);

    const std::string whole = ListShowing({"ST0", "ST1"});
    EXPECT_NE(whole.find("Test:\r\n"), std::string::npos) << whole;
    EXPECT_NE(whole.find("    ST0;Town;PC Only;"), std::string::npos) << whole;
    // A network with nobody but its Parrot, or nobody at all, is left out.
    EXPECT_EQ(whole.find("Net01"), std::string::npos) << whole;

    // One network, named in another letter case; the full form shows each
    // station's info line (an info line the console cannot read exits 3).
    for (const char* name : {"Test", "TEST"}) {
        auto [rc, text] = RunConsole(exe, {"-f", "-n", name, "list"});
        EXPECT_EQ(rc, 0) << name << "\n" << text;
        EXPECT_NE(text.find("ST1"), std::string::npos) << text;
        EXPECT_NE(text.find("station0@example.org"), std::string::npos) << text;
        EXPECT_NE(text.find("127.0.0.1"), std::string::npos) << text;
    }

    auto [noneRc, noneText] = RunConsole(exe, {"disconnectclient", "nobody@example.org", "Test"});
    EXPECT_NE(noneRc, 0);
    EXPECT_NE(noneText.find("No client online"), std::string::npos) << noneText;

    auto [oneRc, oneText] = RunConsole(exe, {"disconnectclient", "station0@example.org", "Test"});
    EXPECT_EQ(oneRc, 0) << oneText;
    bool closed = false;
    ReadUntilClosed(conn[0].Fd(), 10000, &closed);
    EXPECT_TRUE(closed) << "the named station stays connected";

    auto [netRc, netText] = RunConsole(exe, {"disconnectnet", "Test"});
    EXPECT_EQ(netRc, 0) << netText;
    closed = false;
    ReadUntilClosed(conn[1].Fd(), 10000, &closed);
    EXPECT_TRUE(closed) << "the network's station stays connected";

    ::kill(pid, SIGINT);
    EXPECT_EQ(Finish(), 0) << out;
    EXPECT_EQ(out.find("ERROR:"), std::string::npos) << out;
}

// Twelve networks: the highest index has two digits, so every network's
// report lines (and log prefix) carry a zero-padded index. The internal flags
// read at start are taken over quietly: no "changed" line, nobody dropped.
TEST_F(ChannelProgramTest, NetworkPrefixesPadTheIndexAndStartFlagsAreNoChange) {
    std::string nets = "Test\n";
    for (int i = 1; i < 12; ++i) nets += "Net" + std::to_string(i) + "\n";
    WriteFile(P("networks.cfg"), nets);
    WriteFile(P("intflags.cfg"), "station@example.org * NOLIST\n");
    ASSERT_TRUE(LaunchListening()) << out;

    auto [rc, text] = RunConsole(exe, {"memoryreport"});
    EXPECT_EQ(rc, 0) << text;
    const std::vector<std::string> lines = Lines(text);
    for (const char* part : {"Net #00:  f_VisualBias=", "Net #07:  f_VisualBias=",
                             "Net #11:  Len(f_CacheListFreeArray)=32"}) {
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.rfind(part, 0) == 0; }),
                  1)
            << part << "\n" << text;
    }
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("Net #7", 0) == 0; }),
              0)
        << text;

    ::kill(pid, SIGINT);
    EXPECT_EQ(Finish(), 0) << out;
    EXPECT_EQ(out.find("IntFlags are changed"), std::string::npos) << out;
    EXPECT_EQ(out.find("ERROR:"), std::string::npos) << out;
}

TEST_F(ChannelProgramTest, MemoryReportFlushAndLogTextAnswer) {
    ASSERT_TRUE(LaunchListening()) << out;

    auto [rc, text] = RunConsole(exe, {"memoryreport"});
    EXPECT_EQ(rc, 0) << text;
    const std::vector<std::string> lines = Lines(text);
    // The heartbeat's, the service thread's, each network's and the
    // asking connection's worker's parts, sorted by code unit.
    for (const char* part : {"Global/timer: TotalContexts=", "Global/main: f_MainQueue=",
                             "Listener: lisBldU=", "Net #0:  f_VisualBias=",
                             "Net #1:  f_RightsByTime=", "Net #1:  Len(f_CacheListSortArray)=32",
                             "Worker[000]: f_WorkerQueue="}) {
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.rfind(part, 0) == 0; }),
                  1)
            << part << "\n" << text;
    }
    EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end())) << text;

    // Once a report has finished, the next one runs (not "-BUSY").
    auto [again, againText] = RunConsole(exe, {"memoryreport"});
    EXPECT_EQ(again, 0) << againText;

    // The flush is answered by the service thread once the lists went to the
    // data-file writer: "+OK", or its failure when the program has none.
    auto [fRc, fText] = RunConsole(exe, {"flushdata"});
    EXPECT_TRUE(fRc == 0 || fText.find("ERROR: flush data: Operation error") != std::string::npos)
        << fRc << " " << fText;

    auto [lRc, lText] = RunConsole(exe, {"logtext", "checkpoint from the console"});
    EXPECT_EQ(lRc, 0) << lText;
    EXPECT_GE(WaitForAny({": checkpoint from the console\r\n"}), 0) << out;

    ::kill(pid, SIGINT);
    EXPECT_EQ(Finish(), 0) << out;
}

TEST_F(ChannelProgramTest, BadNamesAreAnsweredGoodOnesListed) {
    ASSERT_TRUE(LaunchListening()) << out;
    struct Case {
        std::string request, answer;
    };
    const Case cases[] = {
        {"00C:" + F("Nope"), "-NONET\r\n"},
        {"00T:" + F("Nope") + "00", "-NONET\r\n"},
        {"00T:" + F("Nope") + F("station9@example.org"), "-NONET\r\n"},
        {"00T:" + F("Test") + F("station9@example.org"), "-NOCLIENT\r\n"},
        {"00T:" + F("Test") + F("kAFQmDzST7DWlj99KOF/cg/9"), "-NOCLIENT\r\n"},
        {"00b:" + F("Nope") + F("3"), "-NONET\r\n"},
        {"00O:" + F("Nope") + "01", "-NONET\r\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(Ask(c.request), c.answer) << c.request;

    // A good name, in another letter case: the list comes, and the
    // connection stays for a next request.
    const int s = ConnectLoopback(commandPort);
    ASSERT_GE(s, 0);
    auto askOn = [&](const std::string& aReq, size_t aLines) {
        const std::string line = aReq + "\r\n";
        EXPECT_EQ(::send(s, line.data(), line.size(), MSG_NOSIGNAL), ssize_t(line.size()));
        std::string got;
        for (int i = 0; i < 100 && Lines(got).size() < aLines; ++i) got += ReadUntilClosed(s, 100);
        return got;
    };
    const std::vector<std::string> list = Lines(askOn("00C:" + F("net01"), 3));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], "+2");  // header and count of a network with no station
    EXPECT_EQ(list[1].substr(0, 7), "05Net01");
    EXPECT_EQ(list[2], "0");
    EXPECT_EQ(Lines(askOn("00X:00", 2)).at(0), "+1");
    ::close(s);

    ::kill(pid, SIGINT);
    EXPECT_EQ(Finish(), 0) << out;
    EXPECT_EQ(out.find("ERROR:"), std::string::npos) << out;
}

TEST_F(ChannelProgramTest, BusyCommandConnectionDoesNotHoldTheStop) {
    ASSERT_TRUE(LaunchListening()) << out;
    // A console session that keeps asking: each answer restarts its request
    // time-out, so only the stop can end it.
    const int s = ConnectLoopback(commandPort);
    ASSERT_GE(s, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> answers{0};
    std::atomic<bool> done{false};
    std::thread asker([&] {
        struct Done {
            std::atomic<bool>& d;
            ~Done() { d = true; }
        } mark{done};
        const std::string req = "00R:00\r\n";
        char buf[512];
        while (!stop.load()) {
            if (::send(s, req.data(), req.size(), MSG_NOSIGNAL) != ssize_t(req.size())) return;
            pollfd p{s, POLLIN, 0};
            if (::poll(&p, 1, 2000) != 1) return;
            const ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0) return;
            ++answers;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    while (answers.load() < 2 && !done.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(done.load()) << "the session ended before the stop";

    ::kill(pid, SIGINT);
    const int rc = Finish();
    stop = true;
    asker.join();
    ::close(s);
    EXPECT_EQ(rc, 0) << out;
    // Held to the 5000 ms limit, the stop would log its counters as errors.
    EXPECT_EQ(out.find("ERROR:"), std::string::npos) << out;
    EXPECT_NE(out.find("Aborted: [CTRL-C]"), std::string::npos) << out;
}
