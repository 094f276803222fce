// The load engine against the bare fan-out relay: every listener, spread over
// source addresses and receiver threads, gets every stamped frame intact and
// in order. The relay runs as a child process on a free loopback port; the
// test is skipped when the relay's shared source was absent at build time.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>

#include "tools/qor_load_engine.h"

extern char** environ;

namespace {

using namespace qortool;

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
