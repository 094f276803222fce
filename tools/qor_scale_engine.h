// The scale run of the load tool: N stations connect and hand-shake as fast
// as the server takes them, join a network and stay idle (keep-alives only).
// It reports the connects-and-handshakes per second and the server's resident
// memory per held station (VmRSS from /proc, against the figure before the
// first connect), and the server's CPU while it only holds them.
//
// Threads: RunScale runs on the caller's thread and starts `Threads` workers,
// each owning its stations and an epoll set (it connects them, reads their
// answers and keeps them alive); workers meet only in the atomics of
// ScaleShared and are joined before RunScale returns.
//
// Header-only for the same reason as qor_client_proto.h.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/qor_load_engine.h"

namespace qortool {

struct ScaleConfig {
    std::string Host = "127.0.0.1";
    uint16_t Port = 0;
    int Clients = 10000;
    int PerAddress = 4;
    std::string FirstSource = "127.0.0.2";
    std::string Network = "Test";
    int Threads = 4;
    int TimeoutMs = 60000;  // for every station to be answered and listed
    int HoldMs = 5000;      // idle hold after the last station was listed
    int ServerPid = 0;      // 0: the process listening on Port
    // Stations connected but not yet answered, at most, over all threads; 0
    // for no bound. Kept below the server's listen backlog: a connect into a
    // full accept queue loses its SYN and waits the kernel's 1 s
    // retransmission, which would measure that timer, not the server.
    int MaxPending = 900;
};

struct ScaleResult {
    bool Ok = false;
    std::string Error;
    int Answered = 0;  // positive handshake answers
    int Listed = 0;    // stations that got the networks list (joined)
    int Refused = 0;
    int Lost = 0;
    std::string FirstRefusal;
    double HandshakeSec = 0;  // first connect to last positive answer
    double HandshakesPerSec = 0;
    int ServerPid = 0;
    long RssBeforeKb = -1;
    long RssHeldKb = -1;
    double RssPerClientKb = -1;
    double HoldCpuSec = -1;  // server CPU over the idle hold
    double HoldSec = 0;
};

// Resident set of a process in kB (VmRSS), or -1.
inline long ProcessRssKb(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

namespace scaledetail {

struct Shared {
    std::atomic<int> answered{0};
    std::atomic<int> listed{0};
    std::atomic<int> refused{0};
    std::atomic<int> lost{0};
    std::atomic<int> lostUnanswered{0};  // of lost: before their answer
    std::atomic<int> connectFailed{0};
    std::atomic<int> connected{0};
    std::atomic<int64_t> lastAnswerNs{0};
    std::atomic<bool> stop{false};
    std::mutex mu;
    std::string firstError;  // guarded by mu

    void Note(std::string aText) {
        std::lock_guard<std::mutex> lock(mu);
        if (firstError.empty()) firstError = std::move(aText);
    }
};

class Worker {
  public:
    Worker(const ScaleConfig& aCfg, Shared& aShared, std::vector<int> aIndexes)
        : cfg_(aCfg), shared_(aShared), indexes_(std::move(aIndexes)) {
        ep_ = epoll_create1(EPOLL_CLOEXEC);
    }
    ~Worker() {
        for (Station& s : stations_)
            if (s.fd >= 0) close(s.fd);
        close(ep_);
    }
    void Start() { thread_ = std::thread([this] { Run(); }); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    struct Station {
        int fd = -1;
        bool answered = false;
        bool listed = false;
        bool refused = false;
        bool dead = false;
        FrameReader reader;
    };

    void Run() {
        stations_.reserve(indexes_.size());
        std::vector<epoll_event> evs(256);
        // Connects interleaved with reading: answers are taken as they come,
        // so the rate is that of the whole exchange, not of the accept queue.
        for (int index : indexes_) {
            if (shared_.stop.load(std::memory_order_relaxed)) return;
            while (cfg_.MaxPending > 0 && Pending() >= cfg_.MaxPending &&
                   !shared_.stop.load(std::memory_order_relaxed))
                Poll(evs, 1);
            Connect(index);
            Poll(evs, 0);
        }
        // Each station keeps its own 600 ms keep-alive phase, spread over the
        // period as real stations' are (never one burst per thread).
        const size_t n = stations_.size();
        const int64_t start = MonoNs();
        std::vector<int64_t> due(n);
        for (size_t i = 0; i < n; ++i) due[i] = start + int64_t(i) * kKeepAliveNs / int64_t(n);
        size_t next = 0;
        while (!shared_.stop.load(std::memory_order_acquire)) {
            int timeoutMs = 200;
            if (n > 0) {
                const int64_t left = due[next] - MonoNs();
                timeoutMs = left <= 0 ? 0 : int(std::min<int64_t>(200, (left + 999999) / 1000000));
            }
            Poll(evs, timeoutMs);
            for (int64_t now = MonoNs(); n > 0 && due[next] <= now;) {
                due[next] += kKeepAliveNs;
                if (due[next] <= now) due[next] = now + kKeepAliveNs;
                Station& s = stations_[next];
                if (!s.dead && s.answered) send(s.fd, "P\r\n", 3, MSG_NOSIGNAL | MSG_DONTWAIT);
                next = (next + 1) % n;
            }
        }
    }

    // Connected stations whose answer (or loss) has not come yet.
    int Pending() const {
        return shared_.connected.load(std::memory_order_relaxed) -
               shared_.answered.load(std::memory_order_relaxed) -
               shared_.refused.load(std::memory_order_relaxed) -
               shared_.lostUnanswered.load(std::memory_order_relaxed);
    }

    void Connect(int index) {
        QorConnection c;
        const std::string source = loaddetail::SourceFor(ToLoad(), index);
        if (!c.Connect(cfg_.Host, cfg_.Port, source, 10000)) {
            shared_.connectFailed.fetch_add(1);
            shared_.Note("connect: " + c.Error());
            return;
        }
        ConnectFields f = loaddetail::StationFields(ToLoad(), "S", index);
        if (!c.SendAll(BuildConnectString(f, ConnectForm::Ansi).Line, 10000)) {
            shared_.connectFailed.fetch_add(1);
            shared_.Note("send: " + c.Error());
            return;
        }
        shared_.connected.fetch_add(1, std::memory_order_relaxed);
        Station s;
        s.fd = c.Release();
        stations_.push_back(std::move(s));
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = stations_.size() - 1;
        epoll_ctl(ep_, EPOLL_CTL_ADD, stations_.back().fd, &ev);
    }

    void Poll(std::vector<epoll_event>& evs, int timeoutMs) {
        const int n = epoll_wait(ep_, evs.data(), int(evs.size()), timeoutMs);
        char buf[4096];
        for (int i = 0; i < n; ++i) {
            Station& s = stations_[evs[i].data.u64];
            if (s.dead) continue;
            for (;;) {
                const ssize_t r = recv(s.fd, buf, sizeof buf, MSG_DONTWAIT);
                if (r > 0) {
                    Consume(s, buf, size_t(r));
                    if (s.dead || size_t(r) < sizeof buf) break;
                    continue;
                }
                if (r < 0 && errno == EINTR) continue;
                if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                Kill(s);
                shared_.lost.fetch_add(1);
                break;
            }
        }
    }

    void Consume(Station& s, const char* p, size_t n) {
        s.reader.Feed(p, n);
        if (!s.answered) {
            FrameReader probe = s.reader;
            std::string l1, l2;
            if (probe.NextLine(l1) <= 0 || probe.NextLine(l2) <= 0) return;
            s.reader.NextLine(l1);
            s.reader.NextLine(l2);
            HandshakeAnswer a;
            if (!ParseHandshakeAnswer(l1, l2, a) || !a.Positive()) {
                s.refused = true;
                shared_.refused.fetch_add(1);
                shared_.Note("refused: " + l1 + " | " + l2);
                Kill(s);
                return;
            }
            s.answered = true;
            shared_.lastAnswerNs.store(MonoNs(), std::memory_order_relaxed);
            shared_.answered.fetch_add(1);
        }
        std::string_view f;
        int r;
        while ((r = s.reader.Next(f)) > 0) {
            if (!s.listed && uint8_t(f[0]) == kFrameNetworks) {
                s.listed = true;
                shared_.listed.fetch_add(1);
            }
        }
        if (r < 0) {
            Kill(s);
            shared_.lost.fetch_add(1);
        }
    }

    void Kill(Station& s) {
        if (!s.answered && !s.refused) shared_.lostUnanswered.fetch_add(1, std::memory_order_relaxed);
        s.dead = true;
        epoll_ctl(ep_, EPOLL_CTL_DEL, s.fd, nullptr);
    }

    LoadConfig ToLoad() const {
        LoadConfig l;
        l.PerAddress = cfg_.PerAddress;
        l.FirstSource = cfg_.FirstSource;
        l.Network = cfg_.Network;
        l.FullLists = false;  // 10,000 stations: the lists would be the whole load
        return l;
    }

    static constexpr int64_t kKeepAliveNs = 600000000;

    const ScaleConfig& cfg_;
    Shared& shared_;
    std::vector<int> indexes_;
    std::vector<Station> stations_;
    int ep_ = -1;
    std::thread thread_;
};

}  // namespace scaledetail

inline ScaleResult RunScale(const ScaleConfig& cfg) {
    using namespace scaledetail;
    ScaleResult res;
    if (cfg.Port == 0 || cfg.Clients <= 0 || cfg.Threads <= 0) {
        res.Error = "port, clients and threads must be positive";
        return res;
    }
    if (!RaiseFileLimit(rlim_t(cfg.Clients) + 64)) {
        res.Error = "cannot raise the descriptor limit to " + std::to_string(cfg.Clients + 64);
        return res;
    }
    res.ServerPid = cfg.ServerPid > 0 ? cfg.ServerPid : FindListeningPid(cfg.Port);
    if (res.ServerPid > 0) res.RssBeforeKb = ProcessRssKb(res.ServerPid);

    Shared shared;
    const int nThreads = std::min(cfg.Threads, cfg.Clients);
    std::vector<std::unique_ptr<Worker>> workers;
    for (int t = 0; t < nThreads; ++t) {
        std::vector<int> mine;
        for (int i = t; i < cfg.Clients; i += nThreads) mine.push_back(i);
        workers.push_back(std::make_unique<Worker>(cfg, shared, std::move(mine)));
    }
    const int64_t t0 = MonoNs();
    for (auto& w : workers) w->Start();
    auto settled = [&] {
        return shared.answered.load() + shared.refused.load() + shared.connectFailed.load() >= cfg.Clients &&
               shared.listed.load() + shared.lost.load() + shared.refused.load() +
                       shared.connectFailed.load() >= cfg.Clients;
    };
    const int64_t deadline = t0 + int64_t(cfg.TimeoutMs) * 1000000;
    while (!settled() && MonoNs() < deadline) poll(nullptr, 0, 20);
    res.Answered = shared.answered.load();
    res.Listed = shared.listed.load();
    res.Refused = shared.refused.load();
    res.HandshakeSec = double(shared.lastAnswerNs.load() - t0) / 1e9;
    if (res.Answered > 0 && res.HandshakeSec > 0) res.HandshakesPerSec = res.Answered / res.HandshakeSec;

    // The idle hold: what the server spends on stations that only keep alive.
    const double cpu0 = res.ServerPid > 0 ? ProcessCpuSeconds(res.ServerPid) : -1;
    const int64_t h0 = MonoNs();
    poll(nullptr, 0, cfg.HoldMs);
    if (res.ServerPid > 0) {
        const double cpu1 = ProcessCpuSeconds(res.ServerPid);
        if (cpu0 >= 0 && cpu1 >= 0) res.HoldCpuSec = cpu1 - cpu0;
        res.RssHeldKb = ProcessRssKb(res.ServerPid);
    }
    res.HoldSec = double(MonoNs() - h0) / 1e9;
    res.Lost = shared.lost.load();
    shared.stop.store(true, std::memory_order_release);
    for (auto& w : workers) w->Join();
    {
        std::lock_guard<std::mutex> lock(shared.mu);
        res.FirstRefusal = shared.firstError;
    }
    const int held = res.Listed - res.Lost;
    if (res.RssBeforeKb >= 0 && res.RssHeldKb >= 0 && held > 0)
        res.RssPerClientKb = double(res.RssHeldKb - res.RssBeforeKb) / held;
    res.Ok = res.Answered > 0;
    if (!res.Ok) res.Error = "no station got through its handshake: " + res.FirstRefusal;
    return res;
}

}  // namespace qortool
