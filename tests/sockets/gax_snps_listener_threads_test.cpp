#include "sockets/gax_snps_listener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "snps_test_net.h"

namespace {

using namespace gax;
using snpstest::RawConnect;
using snpstest::U;

// Events raised on the listener thread, for the test thread to wait on.
class EventLog {
  public:
    void Add(std::u16string e) {
        std::lock_guard<std::mutex> l(m_);
        items_.push_back(std::move(e));
        cv_.notify_all();
    }
    size_t Count(const std::u16string& e) {
        std::lock_guard<std::mutex> l(m_);
        return CountLocked(e);
    }
    bool WaitCount(const std::u16string& e, size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return CountLocked(e) >= n; });
    }
    std::vector<std::u16string> Items() {
        std::lock_guard<std::mutex> l(m_);
        return items_;
    }
    std::vector<std::u16string> Starting(const std::u16string& prefix) {
        std::vector<std::u16string> r;
        for (auto& i : Items())
            if (i.compare(0, prefix.size(), prefix) == 0) r.push_back(i);
        return r;
    }

  private:
    size_t CountLocked(const std::u16string& e) const {
        return size_t(std::count(items_.begin(), items_.end(), e));
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::u16string> items_;
};

void Wire(TSynapseListenerThread& l, EventLog& log) {
    l.OnStartListenAll = [&log](TSynapseListenerThread*) { log.Add(u"startall"); };
    l.OnStopListenAll = [&log](TSynapseListenerThread*) { log.Add(u"stopall"); };
    l.OnThreadExecuteStopped = [&log](TSynapseListenerThread*) { log.Add(u"ended"); };
    l.OnError = [&log](TSynapseListenerThread*, const std::u16string& t) {
        log.Add(u"error:" + t);
    };
    l.OnBindingError = [&log](TSynapseListenerThread*, TSynapseBinding* b, const Exception& e) {
        log.Add(u"binderr:" + b->BindingName() + u":" + e.Message());
    };
    l.OnStartListeningBinding = [&log](TSynapseListenerThread*, TSynapseBinding* b) {
        log.Add(u"start:" + b->Address());
    };
    l.OnStopListeningBinding = [&log](TSynapseListenerThread*, TSynapseBinding* b) {
        log.Add(u"stop:" + b->Address());
    };
}

// A port free on both families right now.
int FreePort() {
    int s = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin6_port);
}

struct Accepted {
    std::mutex m;
    std::condition_variable cv;
    struct Item {
        int fd;
        std::string remote, local;
        int remotePort, localPort;
        std::u16string name;
    };
    std::vector<Item> items;
    TSynapseAcceptPeerEvent Handler() {
        return [this](TSocket s, const std::string& r, int rp, const std::string& lb, int lp,
                      const std::u16string& n) {
            std::lock_guard<std::mutex> l(m);
            items.push_back({s, r, lb, rp, lp, n});
            cv.notify_all();
        };
    }
    bool WaitCount(size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return items.size() >= n; });
    }
    ~Accepted() {
        for (auto& i : items) ::close(i.fd);
    }
};

TEST(ListenerBindings, RegistrationOrderAndLimits) {
    const struct {
        bool any;
        TSynapseListenerIPVersions v;
        std::vector<std::u16string> addresses;
    } cases[] = {
        {true, ipver_46, {u"::0", u"0.0.0.0"}},
        {true, ipver_4, {u"0.0.0.0"}},
        {true, ipver_6, {u"::0"}},
        {false, ipver_46, {u"::1", u"127.0.0.1"}},
        {false, ipver_4, {u"127.0.0.1"}},
        {false, ipver_6, {u"::1"}},
    };
    for (const auto& c : cases) {
        TSynapseListenerThread l(0);
        if (c.any)
            l.AddPortForAny(u"Client", u"10024", c.v, nullptr);
        else
            l.AddPortForLocalhost(u"Command", u"10023", c.v, nullptr);
        std::vector<std::u16string> got;
        for (TSynapseBinding* b : l.RegisteredBindings()) {
            got.push_back(b->Address());
            EXPECT_EQ(b->IP6(), b->Address().find(u':') != std::u16string::npos);
            EXPECT_EQ(b->IP6Only(), b->IP6());
        }
        EXPECT_EQ(got, c.addresses);
        l.TerminateAndWait();
    }
    TSynapseListenerThread l(0);
    for (int i = 0; i < TSynapseListenerThread::kMaxBindings; ++i)
        l.AddBinding2(u"b", u"127.0.0.1", U(std::to_string(20000 + i)), false, false, nullptr);
    try {
        l.AddBinding2(u"one too many", u"127.0.0.1", u"1", false, false, nullptr);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Too many bindings: a listener holds at most 60");
    }
}

TEST(Listener, BothFamiliesStopRestartAndEnd) {
    const int port = FreePort();
    EventLog log;
    Accepted acc;
    TSynapseListenerThread l(1);
    Wire(l, log);
    l.AddPortForAny(u"Client", U(std::to_string(port)), ipver_46, acc.Handler());
    l.StartListen();
    ASSERT_TRUE(log.WaitCount(u"startall", 1));
    EXPECT_EQ(log.Starting(u"start:"),
              (std::vector<std::u16string>{u"start:::0", u"start:0.0.0.0"}));
    EXPECT_TRUE(l.IsListening());
    try {
        l.AddBinding2(u"late", u"127.0.0.1", u"1", false, false, nullptr);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Already listening");
    }

    int c4 = RawConnect(AF_INET, port);
    int c6 = RawConnect(AF_INET6, port);
    ASSERT_GE(c4, 0);
    ASSERT_GE(c6, 0);
    ASSERT_TRUE(acc.WaitCount(2));
    {
        std::lock_guard<std::mutex> g(acc.m);
        bool saw4 = false, saw6 = false;
        for (auto& i : acc.items) {
            EXPECT_EQ(i.name, u"Client");
            EXPECT_EQ(i.localPort, port);
            EXPECT_GT(i.remotePort, 0);
            if (i.remote == std::string("\x7f\0\0\x01", 4)) saw4 = true;
            if (i.remote == std::string(15, '\0') + '\1') saw6 = true;
            EXPECT_EQ(i.local.size(), i.remote.size());
        }
        EXPECT_TRUE(saw4);
        EXPECT_TRUE(saw6);
    }
    ::close(c4);
    ::close(c6);

    l.StopListen();
    ASSERT_TRUE(log.WaitCount(u"stopall", 1));
    EXPECT_EQ(log.Count(u"stop:::0"), 1u);
    EXPECT_EQ(log.Count(u"stop:0.0.0.0"), 1u);
    EXPECT_FALSE(l.IsListening());
    EXPECT_LT(RawConnect(AF_INET, port), 0) << "closed after the stop";

    l.StartListen();
    ASSERT_TRUE(log.WaitCount(u"startall", 2));
    int again = RawConnect(AF_INET, port);
    ASSERT_GE(again, 0);
    ASSERT_TRUE(acc.WaitCount(3));
    ::close(again);

    l.TerminateAndWait();
    EXPECT_TRUE(l.ListenerThreadIsStopped());
    EXPECT_EQ(log.Count(u"stopall"), 2u);
    EXPECT_EQ(log.Count(u"ended"), 1u);
    EXPECT_EQ(log.Count(u"error:"), 0u);
}

TEST(Listener, PortInUseFailsOnlyItsBinding) {
    snpstest::RawListener busy;
    EventLog log;
    Accepted acc;
    TSynapseListenerThread l(0);
    Wire(l, log);
    const int freePort = FreePort();
    l.AddBinding2(u"Busy", u"127.0.0.1", busy.PortText(), false, false, acc.Handler());
    l.AddBinding2(u"Free", u"127.0.0.1", U(std::to_string(freePort)), false, false, acc.Handler());
    l.StartListen();
    ASSERT_TRUE(log.WaitCount(u"startall", 1));
    EXPECT_EQ(log.Count(u"binderr:Busy:Bind: Socket error (10048): Address already in use"), 1u);
    int c = RawConnect(AF_INET, freePort);
    ASSERT_GE(c, 0);
    ASSERT_TRUE(acc.WaitCount(1));
    EXPECT_EQ(acc.items[0].name, u"Free");
    ::close(c);
}

TEST(Listener, StopWhileNothingIsOpenStillAnswersOnce) {
    EventLog log;
    TSynapseListenerThread l(0);
    Wire(l, log);
    l.StopListen();
    ASSERT_TRUE(log.WaitCount(u"stopall", 1));

    // Every binding failing: the listener is idle, and a stop is still answered.
    snpstest::RawListener busy;
    l.AddBinding2(u"Busy", u"127.0.0.1", busy.PortText(), false, false, nullptr);
    l.StartListen();
    ASSERT_TRUE(
        log.WaitCount(u"binderr:Busy:Bind: Socket error (10048): Address already in use", 1));
    l.StopListen();
    ASSERT_TRUE(log.WaitCount(u"stopall", 2));
    l.TerminateAndWait();
    EXPECT_EQ(log.Count(u"stopall"), 2u);
    EXPECT_EQ(log.Count(u"startall"), 0u);
}

// A listener whose accept can be made to fail, and which logs every accept.
class ScriptedListener : public TSynapseListenerThread {
  public:
    explicit ScriptedListener(int32_t flags = 1) : TSynapseListenerThread(flags) {}
    ~ScriptedListener() override { TerminateAndWait(); }
    std::atomic<int> failNextWith{0};
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> log;  // accepted: 1; otherwise the error code
    std::vector<std::chrono::steady_clock::time_point> when;

    // Waits until at least n accepts were tried.
    bool WaitAttempts(size_t n, int ms = 10000) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return when.size() >= n; });
    }

  protected:
    TSocket AcceptOne(TSynapseBinding& b, int& err) override {
        int inject = failNextWith.exchange(0);
        TSocket s;
        if (inject != 0) {
            s = -1;
            err = inject;
        } else {
            s = TSynapseListenerThread::AcceptOne(b, err);
        }
        std::lock_guard<std::mutex> g(m);
        log.push_back(s >= 0 ? 1 : err);
        when.push_back(std::chrono::steady_clock::now());
        cv.notify_all();
        return s;
    }
};

// Connections the kernel has completed and queued on a listening socket.
int QueuedConnections(int listeningFd) {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(listeningFd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
    return int(info.tcpi_unacked);  // a listening socket reports its accept queue here
}

// Counts accepted sockets for the test thread to wait on.
struct Counter {
    std::mutex m;
    std::condition_variable cv;
    int n = 0;
    void Add() {
        std::lock_guard<std::mutex> g(m);
        ++n;
        cv.notify_all();
    }
    bool WaitFor(int want, int ms = 10000) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return n >= want; });
    }
    int Get() {
        std::lock_guard<std::mutex> g(m);
        return n;
    }
};

TEST(Listener, AllPendingConnectionsAcceptedInOneWakeUp) {
    const int port = FreePort();
    EventLog log;
    ScriptedListener l;
    Wire(l, log);
    std::atomic<int> listeningFd{-1};
    l.OnStartListeningBinding = [&](TSynapseListenerThread*, TSynapseBinding* b) {
        listeningFd = b->ListenedSocket->Socket();
    };
    std::promise<void> entered, release;
    std::shared_future<void> releaseF = release.get_future().share();
    Counter handled;
    std::vector<int> fds;
    std::mutex fm;
    l.AddBinding2(
        u"Client", u"127.0.0.1", U(std::to_string(port)), false, false,
        [&](TSocket s, const std::string&, int, const std::string&, int, const std::u16string&) {
            {
                std::lock_guard<std::mutex> g(fm);
                fds.push_back(s);
            }
            if (handled.Get() == 0) {
                entered.set_value();
                releaseF.wait();
            }
            handled.Add();
        });
    l.StartListen();
    ASSERT_TRUE(log.WaitCount(u"startall", 1));
    int first = RawConnect(AF_INET, port);
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    std::vector<int> clients;
    for (int i = 0; i < 5; ++i) clients.push_back(RawConnect(AF_INET, port));
    // The kernel may finish a handshake a little after connect returns: all five must be
    // queued before the listener goes on, or the test would see two wake-ups.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (QueuedConnections(listeningFd) < 5 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_EQ(QueuedConnections(listeningFd), 5);
    {
        std::lock_guard<std::mutex> g(l.m);
        l.log.clear();  // from here on: the accepts that follow the blocked one
    }
    release.set_value();
    EXPECT_TRUE(handled.WaitFor(6));
    // The first accept, the five and the one that finds nothing more.
    EXPECT_TRUE(l.WaitAttempts(7));
    l.TerminateAndWait();
    {
        std::lock_guard<std::mutex> g(l.m);
        EXPECT_EQ(l.log, (std::vector<int>{1, 1, 1, 1, 1, 10035}));
    }
    ::close(first);
    for (int c : clients) ::close(c);
    for (int f : fds) ::close(f);
}

TEST(Listener, AcceptFailuresAbortedReportedOthersRestart) {
    const int port = FreePort();
    EventLog log;
    Accepted acc;
    ScriptedListener l;
    Wire(l, log);
    l.AddBinding2(u"Client", u"127.0.0.1", U(std::to_string(port)), false, false, acc.Handler());
    l.StartListen();
    ASSERT_TRUE(log.WaitCount(u"startall", 1));

    // An aborted connection is reported and accepting goes on in the same wake-up.
    l.failNextWith = 10053;
    int c1 = RawConnect(AF_INET, port);
    ASSERT_TRUE(acc.WaitCount(1));
    EXPECT_EQ(log.Count(u"error:accept: got already closed connection: Socket error (10053): "
                        u"Software caused connection abort"),
              1u);
    EXPECT_EQ(log.Count(u"stop:127.0.0.1"), 0u);

    // Any other failure closes the bindings and opens them again, without a stop event.
    l.failNextWith = 10009;
    int c2 = RawConnect(AF_INET, port);
    ASSERT_TRUE(log.WaitCount(u"startall", 2));
    EXPECT_EQ(log.Count(u"error:accept: Socket error (10009): Bad file descriptor"), 1u);
    EXPECT_EQ(log.Count(u"stop:127.0.0.1"), 1u);
    EXPECT_EQ(log.Count(u"start:127.0.0.1"), 2u);
    EXPECT_EQ(log.Count(u"stopall"), 0u);
    EXPECT_TRUE(l.IsListening());
    int c3 = RawConnect(AF_INET, port);
    ASSERT_GE(c3, 0);
    ASSERT_TRUE(acc.WaitCount(2));
    ::close(c1);
    ::close(c2);
    ::close(c3);
}

// A listening socket on 127.0.0.1:port, taken while the listener has it closed.
int TakePort(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 1) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// A failed reopen after an accept failure is retried while listening is wanted; after a
// stop, a new start whose bindings all fail leaves the listener idle as any first start.
TEST(Listener, RetriesOfAFailedReopenEndWithTheStop) {
    const int port = FreePort();
    EventLog log;
    ScriptedListener l;
    Wire(l, log);
    std::atomic<int> blocker{-1};
    l.OnStopListeningBinding = [&](TSynapseListenerThread*, TSynapseBinding*) {
        if (blocker.load() < 0) blocker = TakePort(port);
    };
    l.AddBinding2(u"Client", u"127.0.0.1", U(std::to_string(port)), false, false, nullptr);
    l.StartListen();
    ASSERT_TRUE(log.WaitCount(u"startall", 1));
    l.failNextWith = 10009;
    int c = RawConnect(AF_INET, port);
    const std::u16string inUse =
        u"binderr:Client:Bind: Socket error (10048): Address already in use";
    ASSERT_TRUE(log.WaitCount(inUse, 2)) << "the failed reopen is tried again";
    ASSERT_GE(blocker.load(), 0);
    l.StopListen();
    ASSERT_TRUE(log.WaitCount(u"stopall", 1));

    const size_t failed = log.Count(inUse);
    l.StartListen();
    ASSERT_TRUE(log.WaitCount(inUse, failed + 1));
    ::close(blocker.load());
    EXPECT_FALSE(log.WaitCount(u"startall", 2, 2500)) << "no retries after a fresh start";
    EXPECT_FALSE(l.IsListening());
    if (c >= 0) ::close(c);
}

TEST(Listener, BacklogComesFromMaxWaitConnections) {
    EventLog log;
    TSynapseListenerThread l(1);
    Wire(l, log);
    std::atomic<int> fd{-1};
    l.OnStartListeningBinding = [&](TSynapseListenerThread*, TSynapseBinding* b) {
        fd = b->ListenedSocket->Socket();
    };
    l.SetMaxWaitConnections(3);
    l.AddBinding2(u"x", u"127.0.0.1", U(std::to_string(FreePort())), false, false, nullptr);
    l.StartListen();
    ASSERT_TRUE(log.WaitCount(u"startall", 1));
    tcp_info info{};
    socklen_t len = sizeof info;
    ASSERT_EQ(::getsockopt(fd.load(), IPPROTO_TCP, TCP_INFO, &info, &len), 0);
    EXPECT_EQ(info.tcpi_sacked, 3u);  // a listening socket reports its backlog here
    l.TerminateAndWait();
}

// Runs in a child process: lowers the descriptor limit there, fills the table and checks
// that the listener neither spins nor stops, and resumes once descriptors are free.
int ResourceShortageScenario() {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    // The hard limit too: the process start-up raises the soft one to it again.
    lim.rlim_cur = 64;
    lim.rlim_max = 64;
    if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) return 10;
    const int port = FreePort();
    std::atomic<int> errors{0};
    Counter accepted;
    EventLog log;
    {
        ScriptedListener l(0);
        Wire(l, log);
        l.OnError = [&](TSynapseListenerThread*, const std::u16string&) { ++errors; };
        l.AddBinding2(u"x", u"127.0.0.1", U(std::to_string(port)), false, false,
                      [&](TSocket s, const std::string&, int, const std::string&, int,
                          const std::u16string&) {
                          ::close(s);
                          accepted.Add();
                      });
        l.StartListen();
        if (!log.WaitCount(u"startall", 1)) return 11;
        // One connection first: the sanitizers' checks of the accept road run once while
        // they still have descriptors of their own to work with.
        int warmUp = RawConnect(AF_INET, port);
        if (warmUp < 0 || !accepted.WaitFor(1) || !l.WaitAttempts(2)) return 19;
        ::close(warmUp);
        int clients[3];
        for (int& c : clients) c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        std::vector<int> filler;
        for (;;) {
            int d = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (d < 0) break;
            filler.push_back(d);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        for (int c : clients)
            if (::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 12;
        // Four failed accepts: the pending connections stay readable all the while, so a
        // listener that retried at once would make them in no time.
        if (!l.WaitAttempts(2 + 4)) return 16;
        {
            std::lock_guard<std::mutex> g(l.m);
            for (size_t i = 2; i < 6; ++i)
                if (l.log[i] != 10024) return 17;
            for (size_t i = 3; i < 6; ++i)
                if (l.when[i] - l.when[i - 1] < std::chrono::milliseconds(100)) return 18;
        }
        if (errors.load() != 1) return 20 + std::min(errors.load(), 9);
        if (accepted.Get() != 1) return 13;
        for (int d : filler) ::close(d);
        if (!accepted.WaitFor(1 + 3)) return 14;
        if (!l.IsListening()) return 15;
        for (int c : clients) ::close(c);
        l.TerminateAndWait();
    }
    return 0;
}

TEST(Listener, DescriptorShortageDoesNotSpinAndRecovers) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(ResourceShortageScenario());
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
