// The load engine against the bare fan-out relay: every listener, spread over
// source addresses and receiver threads, gets every stamped frame intact and
// in order. The relay runs as a child process on a free loopback port; the
// test is skipped when the relay's shared source was absent at build time.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>

#include <string>
#include <thread>
#include <vector>

#include "tools/qor_load_engine.h"
#include "tools/qor_scale_engine.h"

extern char** environ;

namespace {

using namespace qortool;
using namespace std::string_literals;

uint16_t FreeLoopbackPort() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    MakeIPv4("127.0.0.1", 0, a);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(s);
        return 0;
    }
    close(s);
    return ntohs(a.sin_port);
}

// The relay process, stopped (by its own pid) when the fixture ends.
class BareRelay {
  public:
    ~BareRelay() { Stop(); }

    // Starts the relay and waits until it accepts a connection.
    bool Start(const char* binary) {
        for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
            port_ = FreeLoopbackPort();
            const std::string portText = std::to_string(port_);
            char* argv[] = {const_cast<char*>(binary), const_cast<char*>(portText.c_str()), nullptr};
            if (posix_spawn(&pid_, binary, nullptr, nullptr, argv, environ) != 0) return false;
            if (!WaitListening()) Stop();  // the port was taken meanwhile: try another
        }
        return pid_ > 0;
    }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    uint16_t Port() const { return port_; }
    int Pid() const { return pid_; }

  private:
    // The relay prints nothing: a connection it accepts is the sign it listens.
    // Refused connects are retried, paced by a short poll, until the child
    // exits (bind failed) or the deadline passes.
    bool WaitListening() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            QorConnection probe;
            if (probe.Connect("127.0.0.1", port_, "", 1000)) return true;
            poll(nullptr, 0, 5);
        }
        return false;
    }

    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// A stand-in for the server's relay path, just enough of the protocol for the
// engine: it answers every connect string "OK" and follows with a networks
// frame and a client list, approves "TX0", relays each "TX1" + 325 bytes as a
// sound frame to every other station, ignores keep-alives and ends the floor
// on "RX0". One thread, poll(), stopped through an eventfd. Bulky: every
// sound frame comes behind a full list and a text frame of about 100 KB
// each, as a server sends while stations join and leave.
class FakeServer {
  public:
    explicit FakeServer(bool aBulky = false) : bulky_(aBulky) {
        if (bulky_) {
            list_ = std::string("\x03\x00\x01", 3) + "1500\r\n";
            text_ = std::string(1, '\x04') + "1500\r\n";
            for (int i = 0; i < 1500; ++i) {
                list_ += "<S>0</S><NN>Station " + std::to_string(i) + "</NN>" +
                         std::string(i % 97, 'x') + "\r\n";
                text_ += std::string(i % 89 + 1, char('a' + i % 26)) + "\r\n";
            }
        }
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        MakeIPv4("127.0.0.1", 0, a);
        socklen_t len = sizeof a;
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listen_, 256);
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeServer() {
        const uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0) std::abort();
        thread_.join();
        for (Station& s : stations_) close(s.fd);
        close(listen_);
        close(wake_);
    }
    uint16_t Port() const { return port_; }

  private:
    struct Station {
        int fd;
        std::string in;
        bool working = false;
    };

    void Run() {
        for (;;) {
            std::vector<pollfd> fds{{wake_, POLLIN, 0}, {listen_, POLLIN, 0}};
            for (const Station& s : stations_) fds.push_back({s.fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds[0].revents) return;
            if (fds[1].revents) {
                const int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) stations_.push_back({c, {}, false});
            }
            for (size_t i = 2; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                char buf[4096];
                const ssize_t r = recv(fds[i].fd, buf, sizeof buf, 0);
                if (r > 0) stations_[i - 2].in.append(buf, size_t(r));
                Serve(i - 2);
            }
        }
    }
    void Send(int fd, const std::string& bytes) {
        if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size())) std::abort();
    }
    void Serve(size_t index) {
        Station& s = stations_[index];
        for (;;) {
            if (s.in.compare(0, 5, "TX1\r\n") == 0) {
                if (s.in.size() < 5 + kSoundPayload) return;
                const std::string frame = "\x02\x00\x01"s + s.in.substr(5, kSoundPayload);
                s.in.erase(0, 5 + kSoundPayload);
                for (size_t j = 0; j < stations_.size(); ++j) {
                    if (j == index || !stations_[j].working) continue;
                    if (bulky_)
                        Send(stations_[j].fd, list_ + (++bulk_ % 2 ? text_ : std::string()));
                    Send(stations_[j].fd, frame);
                }
                continue;
            }
            const size_t lf = s.in.find("\r\n");
            if (lf == std::string::npos) return;
            const std::string line = s.in.substr(0, lf);
            s.in.erase(0, lf + 2);
            if (!s.working) {
                if (line.compare(0, 3, "CT:") != 0) std::abort();
                s.working = true;
                Send(s.fd, "2014004\r\n<MT></MT><SV>2014004</SV><AL>OK</AL><NT>Test</NT>\r\n"
                           "\x05" "01\r\nTest\r\n"
                           "\x03\x00\x00" "1\r\n<S>0</S>\r\n"s);
            } else if (line == "TX0") {
                Send(s.fd, std::string("\x01\x00\x01", 3));
            } else if (line == "RX0") {
                Send(s.fd, std::string(1, '\0'));
            } else if (line != "P") {
                std::abort();  // the engine sends nothing else
            }
        }
    }

    const bool bulky_;
    std::string list_, text_;
    unsigned bulk_ = 0;
    int listen_ = -1;
    int wake_ = -1;
    uint16_t port_ = 0;
    std::vector<Station> stations_;  // the server thread's own
    std::thread thread_;
};

TEST(LoadEngine, ProtocolModeHandshakesTakesTheFloorAndMeasuresEveryListener) {
    for (const bool bulky : {false, true}) {
        SCOPED_TRACE(bulky ? "long lists and text between the frames" : "frames only");
        FakeServer server(bulky);
        LoadConfig cfg;
        cfg.Mode = LoadMode::Qor;
        cfg.Port = server.Port();
        cfg.Listeners = 5;
        cfg.ReceiverThreads = 2;
        cfg.PerAddress = 3;
        cfg.Frames = 10;
        cfg.Rate = 200;
        cfg.DrainMs = 10000;
        cfg.ServerPid = getpid();  // the stand-in runs in this process

        const LoadResult r = RunLoad(cfg);
        ASSERT_TRUE(r.Ok) << r.Error;
        EXPECT_EQ(r.Connected, 5);
        EXPECT_EQ(r.Warm, 5);
        EXPECT_EQ(r.Delivered, 5 * 10);
        EXPECT_EQ(r.Expected, 5 * 10);
        EXPECT_EQ(r.Corrupt, 0);
        EXPECT_EQ(r.OutOfOrder, 0);
        EXPECT_GE(r.CpuPerDeliveredUs, 0);
    }
}

#ifdef QOR_RELAY_BARE_BIN
constexpr const char* kRelayBinary = QOR_RELAY_BARE_BIN;
#else
constexpr const char* kRelayBinary = nullptr;
#endif

TEST(LoadEngine, BareRelayDeliversEveryStampedFrameToEveryListener) {
    if (kRelayBinary == nullptr) GTEST_SKIP() << "the bare relay's source was not found at build time";
    BareRelay relay;
    ASSERT_TRUE(relay.Start(kRelayBinary));

    LoadConfig cfg;
    cfg.Mode = LoadMode::Bare;
    cfg.Port = relay.Port();
    cfg.Listeners = 7;
    cfg.ReceiverThreads = 3;  // uneven split: 3, 2, 2
    cfg.PerAddress = 2;       // talker and listeners over 127.0.0.2 .. 127.0.0.5
    cfg.Frames = 12;
    cfg.Rate = 200;
    cfg.DrainMs = 10000;  // an upper bound: the wait ends as soon as all frames are in
    cfg.ServerPid = relay.Pid();

    const LoadResult r = RunLoad(cfg);
    ASSERT_TRUE(r.Ok) << r.Error;
    EXPECT_EQ(r.Connected, 7);
    EXPECT_EQ(r.Warm, 7);
    EXPECT_EQ(r.FramesSent, 12);
    EXPECT_EQ(r.Expected, 7 * 12);
    EXPECT_EQ(r.Delivered, r.Expected);
    EXPECT_EQ(r.Corrupt, 0);
    EXPECT_EQ(r.OutOfOrder, 0);
    EXPECT_GT(r.P50Us, 0);
    EXPECT_LE(r.P50Us, r.P99Us);
    EXPECT_LE(r.P99Us, r.MaxUs);
    EXPECT_GE(r.ServerCpuSec, 0);
    EXPECT_EQ(r.ServerPid, relay.Pid());
}

TEST(LoadEngine, FindsTheRelayByItsListeningPort) {
    if (kRelayBinary == nullptr) GTEST_SKIP() << "the bare relay's source was not found at build time";
    BareRelay relay;
    ASSERT_TRUE(relay.Start(kRelayBinary));
    EXPECT_EQ(FindListeningPid(relay.Port()), relay.Pid());
    EXPECT_GE(ProcessCpuSeconds(relay.Pid()), 0);
}

TEST(LoadEngine, UnreachableRelayIsAnErrorNotAHang) {
    LoadConfig cfg;
    cfg.Mode = LoadMode::Qor;
    cfg.Port = FreeLoopbackPort();  // nobody listens there
    cfg.Listeners = 3;
    cfg.PerAddress = 0;
    const LoadResult r = RunLoad(cfg);
    EXPECT_FALSE(r.Ok);
    EXPECT_NE(r.Error.find("talker"), std::string::npos) << r.Error;
}

}  // namespace

namespace {

// With no bound on the stations awaiting their answer, and with one below
// the number of threads, where each thread must wait for others' answers.
TEST(ScaleEngine, HoldsEveryStationAndMeasuresTheServer) {
    for (const int maxPending : {0, 2}) {
        SCOPED_TRACE(maxPending);
        FakeServer server;
        ScaleConfig cfg;
        cfg.Port = server.Port();
        cfg.Clients = 20;
        cfg.Threads = 3;
        cfg.PerAddress = 3;
        cfg.HoldMs = 300;
        cfg.MaxPending = maxPending;
        cfg.ServerPid = getpid();  // the stand-in runs in this process

        const ScaleResult r = RunScale(cfg);
        ASSERT_TRUE(r.Ok) << r.Error;
        EXPECT_EQ(r.Answered, 20);
        EXPECT_EQ(r.Listed, 20);
        EXPECT_EQ(r.Refused, 0);
        EXPECT_EQ(r.Lost, 0);
        EXPECT_GT(r.HandshakesPerSec, 0);
        EXPECT_GT(r.RssBeforeKb, 0);
        EXPECT_GT(r.RssHeldKb, 0);
        EXPECT_GE(r.HoldCpuSec, 0);
        EXPECT_GE(r.HoldSec, 0.3);
    }
}

TEST(ScaleEngine, NothingListeningIsAnErrorNotAHang) {
    ScaleConfig cfg;
    cfg.Port = FreeLoopbackPort();
    cfg.Clients = 5;
    cfg.Threads = 2;
    cfg.HoldMs = 0;
    const ScaleResult r = RunScale(cfg);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Answered, 0);
    EXPECT_NE(r.Error.find("connect"), std::string::npos) << r.Error;
}

}  // namespace
