// The whole road from the listener to a worker over loopback TCP, with the
// service's own threads: clients bound to 127.0.0.2, 127.0.0.3 ... so that
// the per-address limit sees different peers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "server/admit_test_support.h"

namespace admit_test {
namespace {

// A TCP client bound to aSource, connected to 127.0.0.1:aPort; -1 on failure.
int ConnectFrom(const char* aSource, int aPort) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, aSource, &a.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(aPort));
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

int LocalPort(int aSocket) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    ::getsockname(aSocket, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

// True when the server closed the connection without sending a byte.
bool ClosedWithin(int aSocket, int aMs) {
    pollfd p{aSocket, POLLIN, 0};
    if (::poll(&p, 1, aMs) != 1) return false;
    char c;
    return ::recv(aSocket, &c, 1, 0) == 0;
}

bool WaitFor(const std::function<bool()>& aDone, int aMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
    while (!aDone()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(AdmissionLoopback, TheThirteenthLiveConnectionOfOneAddressIsRefused) {
    TQORServiceConfig cfg;
    cfg.cfg_ServerEnabled = true;
    cfg.cfg_ConnectionsPerThread = 63;
    cfg.cfg_ServMaxClientConnectionsPerAddress = 8;
    cfg.cfg_LimitConnectionsOverhead = 3;
    cfg.cfg_ServMaxClientConnectionsTotal = 1000;
    cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 150;
    cfg.cfg_ServMaxClientConnectionsPerAddressMeasureTime = 30;
    AdmitService svc(cfg);
    std::mutex logLock;
    std::vector<std::string> log;
    svc.OnFifo = [&] {
        std::u16string l;
        std::lock_guard<std::mutex> g(logLock);
        while (svc.GetFifo(l)) log.push_back(UnicodeToByteStr(l));
    };
    auto logged = [&](const std::string& aLine) {
        std::lock_guard<std::mutex> g(logLock);
        return std::find(log.begin(), log.end(), aLine) != log.end();
    };
    svc.Start();
    svc.AddPortForLocalhost(u"Client", u"0", ipver_4,
                            [&svc](TSocket s, const std::string& addr, int port,
                                   const std::string&, int, const std::u16string&) {
                                svc.evnt_Listener_ClientAcceptPeer(s, addr, port);
                            });
    std::thread mainThread([&] { svc.RunMainThread(); });
    svc.StartService();
    ASSERT_TRUE(WaitFor([&] { return svc.ListenerBoundPort(u"Client") > 0; }));
    const int port = svc.ListenerBoundPort(u"Client");

    std::vector<int> held;
    for (int i = 1; i <= 12; ++i) {
        const int s = ConnectFrom("127.0.0.2", port);
        ASSERT_GE(s, 0);
        held.push_back(s);
        EXPECT_TRUE(WaitFor([&] { return svc.tmClientContextCount.load() == i; })) << i;
    }
    const int refused = ConnectFrom("127.0.0.2", port);
    ASSERT_GE(refused, 0);
    EXPECT_TRUE(ClosedWithin(refused, 5000));
    const std::string line = "Client: 127.0.0.2 " + std::to_string(LocalPort(refused)) +
                             " DISCONNECT_LIMIT_CONNECTS_PER_ADDRESS";
    EXPECT_TRUE(WaitFor([&] { return logged(line); })) << line;
    ::close(refused);

    for (const char* other : {"127.0.0.3", "127.0.0.4"}) {
        const int s = ConnectFrom(other, port);
        ASSERT_GE(s, 0);
        held.push_back(s);
    }
    EXPECT_TRUE(WaitFor([&] { return svc.tmClientContextCount.load() == 14; }));

    for (int s : held) ::close(s);
    EXPECT_TRUE(WaitFor([&] { return svc.tmClientContextCount.load() == 0; }));
    svc.ServiceAbortThread(u"CTRL-C");
    mainThread.join();
    EXPECT_TRUE(svc.ServiceThreadFinished());
    EXPECT_EQ(svc.tmWorkerCount.load(), 0);
}

}  // namespace
}  // namespace admit_test
