// The engine of the relay load tool: one talker and N listeners against either
// the server (the station protocol) or the bare fan-out relay (a role byte,
// then 328-byte blocks). The talker sends frames at a set rate, each stamped
// with its send time and sequence number inside the sound payload; listeners
// check every frame byte for byte and record the talker-to-listener latency.
// The result gives delivery, p50/p99 latency and the relay process's CPU time
// per delivered frame (from /proc/<pid>/stat).
//
// Threads: RunLoad runs on the caller's thread, which connects, paces the
// talker and reads the results; it starts ReceiverThreads threads, each
// owning its listeners and an epoll set, and joins them before it returns.
// The only shared state are the atomics of LoadShared; per-listener state and
// latency samples belong to their receiver until the join.
//
// Header-only for the same reason as qor_client_proto.h.
#pragma once

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <time.h>
#include <vector>

#include "tools/qor_client_proto.h"

namespace qortool {

enum class LoadMode { Bare, Qor };

struct LoadConfig {
    LoadMode Mode = LoadMode::Qor;
    std::string Host = "127.0.0.1";
    uint16_t Port = 0;
    int Listeners = 100;
    int Frames = 100;   // measured frames (after the warm-up)
    double Rate = 5.0;  // frames per second; a real talker sends 5
    // Connections per source address, from FirstSource up (the talker is the
    // first); 0 binds nothing.
    int PerAddress = 4;
    std::string FirstSource = "127.0.0.2";
    std::string Network = "Test";
    int ReceiverThreads = 2;
    int ConnectTimeoutMs = 10000;
    int WarmupTimeoutMs = 15000;  // until every listener has heard a frame
    int DrainMs = 3000;           // after the last frame
    int ServerPid = 0;            // 0: the process listening on Port
    int WarmupFrames = 25;        // at least these before the measure, never counted
    // Listeners ask for full 8-bit client lists, as stations do; false asks
    // for none (the scale run's 10,000 stations).
    bool FullLists = true;
    // Stations that join and leave while the measured frames are sent.
    int Churn = 0;
};

struct LoadResult {
    bool Ok = false;
    std::string Error;
    int Connected = 0;  // listeners admitted (answered positively / connected)
    int Warm = 0;       // listeners that heard a warm-up frame
    long FramesSent = 0;
    long Expected = 0;  // FramesSent x Connected
    long Delivered = 0;
    long Corrupt = 0;     // payload not the one sent
    long OutOfOrder = 0;  // repeated or older sequence number
    double P50Us = 0, P99Us = 0, MaxUs = 0;
    long Over50Ms = 0;
    // The same at the kernel receive time of the listener's socket: what the
    // relay costs without the tool's own scheduling.
    double KernelP50Us = 0, KernelP99Us = 0, KernelMaxUs = 0;
    long KernelOver50Ms = 0;
    int ChurnJoined = 0;  // churn stations answered positively
    int ServerPid = 0;
    double ServerCpuSec = -1;        // over the measured frames and the drain
    double CpuPerDeliveredUs = -1;   // ServerCpuSec / Delivered
    double ToolCpuSec = 0;
    double MeasureSec = 0;

    double Delivery() const { return Expected > 0 ? double(Delivered) / double(Expected) : 0; }
};

// ---- /proc helpers ----

// User plus system CPU ticks from a /proc/.../stat file, or -1.
inline long long StatCpuTicks(const std::string& aPath) {
    std::ifstream in(aPath);
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold blanks and parentheses: fields count from the last ")".
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 1));
    std::string tok;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && (fields >> tok); ++i) {
        if (i == 14) utime = std::strtoull(tok.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(tok.c_str(), nullptr, 10);
    }
    return static_cast<long long>(utime + stime);
}

// CPU seconds of a process, or -1. The stat ticks are 10 ms coarse, a tenth
// of a run's figure at 100 listeners; the live threads' schedstat run times
// are exact to the nanosecond. Those count unless the ticks show clearly
// more (threads that ended took their time with them): then the ticks.
inline double ProcessCpuSeconds(int pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    const long long ticks = StatCpuTicks(base + "/stat");
    const long hz = sysconf(_SC_CLK_TCK);
    if (ticks < 0 || hz <= 0) return -1;
    const double coarse = double(ticks) / double(hz);
    DIR* tasks = opendir((base + "/task").c_str());
    if (!tasks) return coarse;
    double exact = 0;
    while (dirent* e = readdir(tasks)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream sched(base + "/task/" + e->d_name + "/schedstat");
        unsigned long long ns = 0;
        if (sched >> ns) exact += double(ns) / 1e9;
    }
    closedir(tasks);
    return coarse - exact > 0.05 ? coarse : exact;
}

// The process that holds a listening TCP socket on the port, or 0.
inline int FindListeningPid(uint16_t port) {
    std::vector<std::string> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string sl, local, remote, state, queues, timer, retr, uid, timeout, inode;
            f >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
            const size_t colon = local.rfind(':');
            if (colon == std::string::npos || state != "0A") continue;
            if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) inodes.push_back(inode);
        }
    }
    if (inodes.empty()) return 0;
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    int found = 0;
    while (dirent* e = readdir(proc)) {
        const int pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        const std::string fdDir = "/proc/" + std::string(e->d_name) + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (!fds) continue;
        while (dirent* f = readdir(fds)) {
            char target[128];
            const std::string link = fdDir + "/" + f->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = 0;
            for (const std::string& inode : inodes)
                if (std::string(target) == "socket:[" + inode + "]") found = pid;
            if (found) break;
        }
        closedir(fds);
        if (found) break;
    }
    closedir(proc);
    return found;
}

inline double ThisProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Raises the soft descriptor limit to at least `want` (up to the hard limit).
inline bool RaiseFileLimit(rlim_t want) {
    rlimit l{};
    if (getrlimit(RLIMIT_NOFILE, &l) != 0) return false;
    if (l.rlim_cur >= want) return true;
    l.rlim_cur = std::min(want, l.rlim_max);
    return setrlimit(RLIMIT_NOFILE, &l) == 0 && l.rlim_cur >= want;
}

// ---- the stamped payload ----

inline int64_t MonoNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline constexpr uint32_t kStampMagic = 0x31444C51;  // "QLD1"
inline constexpr uint32_t kWarmupSeqBit = 0x80000000u;

// 325 bytes: magic, sequence number, send time (ns), then a pattern of the
// sequence number so that a shifted or mixed frame is caught.
inline void FillPayload(uint8_t* p, uint32_t seq, int64_t sentNs) {
    std::memcpy(p, &kStampMagic, 4);
    std::memcpy(p + 4, &seq, 4);
    std::memcpy(p + 8, &sentNs, 8);
    for (size_t j = 16; j < kSoundPayload; ++j) p[j] = uint8_t(seq * 7 + j);
}

// False when the payload is not one that FillPayload wrote.
inline bool ReadPayload(const uint8_t* p, uint32_t& seq, int64_t& sentNs) {
    uint32_t magic = 0;
    std::memcpy(&magic, p, 4);
    if (magic != kStampMagic) return false;
    std::memcpy(&seq, p + 4, 4);
    std::memcpy(&sentNs, p + 8, 8);
    for (size_t j = 16; j < kSoundPayload; ++j)
        if (p[j] != uint8_t(seq * 7 + j)) return false;
    return true;
}

// ---- the engine ----

namespace loaddetail {

struct Shared {
    std::atomic<int> answered{0};  // listeners through their handshake (or connected, bare)
    std::atomic<int> refused{0};
    std::atomic<int> warm{0};
    std::atomic<int> lost{0};  // listeners whose connection ended
    std::atomic<bool> stop{false};
    std::atomic<bool> sendingDone{false};
    std::atomic<long> delivered{0};
    std::mutex mu;
    std::condition_variable cv;  // receivers -> RunLoad: progress to look at
    std::string firstRefusal;    // guarded by mu
    void Notify() {
        std::lock_guard<std::mutex> lock(mu);
        cv.notify_all();
    }
};

// A listener's unparsed input: what a read left of an unfinished frame. Reads
// land in the receiver's scratch buffer behind these bytes and are parsed
// there; only a long unfinished frame grows this buffer and is read in place
// (a grown buffer moves only the unfinished tail), so the tool's own reading
// is never what the figures measure.
struct InBuffer {
    std::vector<char> buf = std::vector<char>(kInitialBytes);
    size_t head = 0, tail = 0;
    static constexpr size_t kInitialBytes = 16384;
    // Room for at least `want` bytes after tail.
    char* Room(size_t want, size_t& room) {
        if (head == tail) head = tail = 0;
        if (buf.size() - tail < want) {
            if (head > 0) {
                std::memmove(buf.data(), buf.data() + head, tail - head);
                tail -= head;
                head = 0;
            }
            if (buf.size() - tail < want) buf.resize(std::max(buf.size() * 2, tail + want));
        }
        room = buf.size() - tail;
        return buf.data() + tail;
    }
    const char* Data() const { return buf.data() + head; }
    size_t Size() const { return tail - head; }
};

struct Listener {
    int fd = -1;
    bool answered = false;
    bool warm = false;
    bool dead = false;
    int64_t lastSeq = -1;
    int64_t nextKeepAlive = 0;
    long listLinesLeft = 0;  // lines of a full list still to come
    InBuffer in;
};

// Latencies of the measured frames: at the tool's return from recv, and at
// the kernel's receive time of the listener's socket.
struct Samples {
    std::vector<int64_t> app, kernel;
};

inline void Percentiles(std::vector<int64_t>& all, double& p50, double& p99, double& max,
                        long& over50ms) {
    p50 = p99 = max = 0;
    over50ms = 0;
    if (all.empty()) return;
    auto pct = [&all](double q) {
        const size_t i = std::min(all.size() - 1, size_t(q * double(all.size() - 1) + 0.5));
        std::nth_element(all.begin(), all.begin() + long(i), all.end());
        return double(all[i]) / 1000.0;
    };
    p50 = pct(0.50);
    p99 = pct(0.99);
    max = double(*std::max_element(all.begin(), all.end())) / 1000.0;
    for (int64_t v : all)
        if (v > 50000000) ++over50ms;
}

// One receiver thread: its listeners, its epoll set and its samples.
class Receiver {
  public:
    Receiver(const LoadConfig& cfg, Shared& shared) : cfg_(cfg), shared_(shared) {
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = ~uint64_t(0);
        epoll_ctl(ep_, EPOLL_CTL_ADD, wake_, &ev);
    }
    ~Receiver() {
        for (Listener& l : listeners_)
            if (l.fd >= 0) close(l.fd);
        close(ep_);
        close(wake_);
    }
    // Before Start only.
    void Add(int fd) {
        Listener l;
        l.fd = fd;
        if (cfg_.Mode == LoadMode::Bare) l.answered = true;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        listeners_.push_back(std::move(l));
    }
    void Start() {
        // Each listener keeps its own 600 ms keep-alive phase, spread over
        // the period as real stations' are (never one burst per thread).
        const int64_t now = MonoNs();
        const size_t n = listeners_.size();
        for (size_t i = 0; i < n; ++i) {
            listeners_[i].nextKeepAlive =
                now + int64_t(i) * kKeepAliveNs / int64_t(std::max<size_t>(n, 1));
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLRDHUP;
            ev.data.u64 = i;
            epoll_ctl(ep_, EPOLL_CTL_ADD, listeners_[i].fd, &ev);
        }
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        const uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0) { /* the stop flag is seen at the next wake-up */ }
        if (thread_.joinable()) thread_.join();
    }
    // After Stop only.
    Samples& Taken() { return samples_; }
    long Corrupt() const { return corrupt_; }
    long OutOfOrder() const { return outOfOrder_; }

  private:
    void Run() {
        std::vector<epoll_event> evs(256);
        size_t nextKa = 0;  // the listeners' keep-alives fall due in index order
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        while (!shared_.stop.load(std::memory_order_acquire)) {
            int timeoutMs = 500;
            if (!listeners_.empty()) {
                const int64_t due = listeners_[nextKa].nextKeepAlive - MonoNs();
                timeoutMs = due <= 0 ? 0 : int(std::min<int64_t>(500, (due + 999999) / 1000000));
            }
            const int n = epoll_wait(ep_, evs.data(), int(evs.size()), timeoutMs);
            bool progress = false;
            int64_t clockOffset = 0;  // taken at the first read of this round
            for (int i = 0; i < n; ++i) {
                if (evs[i].data.u64 == ~uint64_t(0)) continue;
                Listener& l = listeners_[evs[i].data.u64];
                if (l.dead) continue;
                for (;;) {
                    // Bytes left unparsed by the last read go in front of the
                    // new ones in the thread's scratch buffer, which stays in
                    // cache: 1,000 listeners' own buffers would not, and a
                    // list read into them costs the copy of cold memory. Only
                    // a long unfinished frame is kept and read in place.
                    const size_t carry = l.in.Size();
                    const bool inScratch = carry <= kScratchCarry;
                    size_t room = 0;
                    char* at = nullptr;
                    if (inScratch) {
                        if (carry > 0) std::memcpy(scratch_.data(), l.in.Data(), carry);
                        at = scratch_.data() + carry;
                        room = scratch_.size() - carry;
                    } else {
                        at = l.in.Room(kReadChunk, room);
                    }
                    iovec iov{at, room};
                    msghdr msg{};
                    msg.msg_iov = &iov;
                    msg.msg_iovlen = 1;
                    msg.msg_control = control;
                    msg.msg_controllen = sizeof control;
                    const ssize_t r = recvmsg(l.fd, &msg, MSG_DONTWAIT);
                    if (r > 0) {
                        const int64_t now = MonoNs();
                        if (clockOffset == 0) clockOffset = RealMinusMono();
                        const int64_t kernel = KernelNs(msg, clockOffset);
                        const char* data = at;
                        size_t size = size_t(r);
                        if (inScratch) {
                            data = scratch_.data();
                            size += carry;
                            l.in.head = l.in.tail = 0;
                        } else {
                            l.in.tail += size_t(r);
                            data = l.in.Data();
                            size = l.in.Size();
                        }
                        const size_t used = cfg_.Mode == LoadMode::Bare
                                                ? ConsumeBare(l, data, size, now, kernel)
                                                : ConsumeQor(l, data, size, now, kernel);
                        if (inScratch) {
                            if (!l.dead && used < size) {
                                size_t keep = 0;
                                char* to = l.in.Room(size - used, keep);
                                std::memcpy(to, data + used, size - used);
                                l.in.tail += size - used;
                            }
                        } else {
                            l.in.head += used;
                        }
                        progress = true;
                        if (l.dead || size_t(r) < room) break;
                        continue;
                    }
                    if (r < 0 && errno == EINTR) continue;
                    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                    Kill(l);
                    progress = true;
                    break;
                }
            }
            // Silent listeners would hit the server's activity time-out; the
            // bare relay reads and drops the same bytes.
            for (int64_t now = MonoNs();
                 !listeners_.empty() && listeners_[nextKa].nextKeepAlive <= now;) {
                Listener& l = listeners_[nextKa];
                l.nextKeepAlive += kKeepAliveNs;
                if (l.nextKeepAlive <= now) l.nextKeepAlive = now + kKeepAliveNs;
                if (!l.dead && l.answered) send(l.fd, "P\r\n", 3, MSG_NOSIGNAL | MSG_DONTWAIT);
                nextKa = (nextKa + 1) % listeners_.size();
            }
            if (progress) shared_.Notify();
        }
    }

    // The real-time clock minus the monotonic one: the kernel stamps reads on
    // the first, the tool measures on the second.
    static int64_t RealMinusMono() {
        timespec real{}, mono{};
        clock_gettime(CLOCK_REALTIME, &real);
        clock_gettime(CLOCK_MONOTONIC, &mono);
        return (int64_t(real.tv_sec) - int64_t(mono.tv_sec)) * 1000000000 +
               (int64_t(real.tv_nsec) - int64_t(mono.tv_nsec));
    }

    // The kernel's receive time of the read, on the monotonic clock, or 0
    // without one.
    static int64_t KernelNs(msghdr& msg, int64_t realMinusMono) {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec - realMinusMono;
        }
        return 0;
    }

    void Kill(Listener& l) {
        if (l.dead) return;
        l.dead = true;
        epoll_ctl(ep_, EPOLL_CTL_DEL, l.fd, nullptr);
        shared_.lost.fetch_add(1);
    }

    void Sound(Listener& l, const uint8_t* payload, int64_t now, int64_t kernel) {
        uint32_t seq = 0;
        int64_t sent = 0;
        if (!ReadPayload(payload, seq, sent)) {
            ++corrupt_;
            return;
        }
        if (!l.warm) {
            l.warm = true;
            shared_.warm.fetch_add(1);
        }
        if (seq & kWarmupSeqBit) return;
        if (int64_t(seq) <= l.lastSeq) {
            ++outOfOrder_;
            return;
        }
        l.lastSeq = seq;
        samples_.app.push_back(now - sent);
        if (kernel > 0) samples_.kernel.push_back(std::max<int64_t>(0, kernel - sent));
        shared_.delivered.fetch_add(1, std::memory_order_relaxed);
    }

    // Each returns the bytes of d it took (all of them once the listener is
    // killed); the rest is an unfinished frame.
    size_t ConsumeBare(Listener& l, const char* d, size_t n, int64_t now, int64_t kernel) {
        size_t pos = 0;
        for (; n - pos >= kSoundFrame; pos += kSoundFrame)
            Sound(l, reinterpret_cast<const uint8_t*>(d + pos) + 3, now, kernel);
        return pos;
    }

    size_t ConsumeQor(Listener& l, const char* d, size_t n, int64_t now, int64_t kernel) {
        size_t pos = 0;
        auto bad = [&] {
            ++corrupt_;
            Kill(l);
            return n;
        };
        if (!l.answered) {
            // Both lines of the answer, or nothing taken yet.
            const detail::Scan s{reinterpret_cast<const uint8_t*>(d), n};
            const long e1 = s.Line(0);
            const long e2 = e1 > 0 ? s.Line(size_t(e1)) : e1;
            if (e2 < 0) return bad();
            if (e2 == 0) return 0;
            const std::string l1(d, size_t(e1) - 2);
            const std::string l2(d + e1, size_t(e2 - e1) - 2);
            pos = size_t(e2);
            HandshakeAnswer a;
            if (!ParseHandshakeAnswer(l1, l2, a) || !a.Positive()) {
                shared_.refused.fetch_add(1);
                {
                    std::lock_guard<std::mutex> lock(shared_.mu);
                    if (shared_.firstRefusal.empty()) shared_.firstRefusal = l1 + " | " + l2;
                }
                Kill(l);
                return n;
            }
            l.answered = true;
            shared_.answered.fetch_add(1);
        }
        while (pos < n || l.listLinesLeft > 0) {
            if (l.listLinesLeft > 0) {
                // A full list's lines are taken as they arrive, so the list
                // is never held whole nor scanned again from its start.
                const void* lf = std::memchr(d + pos, '\n', n - pos);
                if (!lf) return n - pos > kMaxFrameBytes ? bad() : pos;
                const size_t at = size_t(static_cast<const char*>(lf) - d);
                if (at == pos || d[at - 1] != '\r') return bad();
                pos = at + 1;
                --l.listLinesLeft;
                continue;
            }
            const detail::Scan s{reinterpret_cast<const uint8_t*>(d + pos), n - pos};
            if (uint8_t(d[pos]) == kFrameListV0) {
                // code, speaker index (2 bytes), count line, then the lines
                if (n - pos < 3) return pos;
                long count = 0;
                const long at = s.CountLine(3, count);
                if (at == 0) return pos;
                if (at < 0) return bad();
                pos += size_t(at);
                l.listLinesLeft = count;
                continue;
            }
            const long len = MeasureFrame(d + pos, n - pos);
            if (len == 0) return pos;
            if (len < 0) return bad();
            if (uint8_t(d[pos]) == kFrameSound)
                Sound(l, reinterpret_cast<const uint8_t*>(d + pos) + 3, now, kernel);
            pos += size_t(len);
        }
        return pos;
    }

    static constexpr int64_t kKeepAliveNs = 600000000;
    static constexpr size_t kReadChunk = 16384;
    // Unparsed bytes up to this size move to the scratch buffer for the next
    // read; a longer unfinished frame is read in place.
    static constexpr size_t kScratchCarry = 65536;

    const LoadConfig& cfg_;
    Shared& shared_;
    int ep_ = -1;
    int wake_ = -1;
    std::vector<Listener> listeners_;
    std::vector<char> scratch_ = std::vector<char>(1u << 20);
    Samples samples_;
    long corrupt_ = 0;
    long outOfOrder_ = 0;
    std::thread thread_;
};

inline std::string SourceFor(const LoadConfig& cfg, int index) {
    if (cfg.PerAddress <= 0 || cfg.FirstSource.empty()) return {};
    in_addr a{};
    if (inet_pton(AF_INET, cfg.FirstSource.c_str(), &a) != 1) return {};
    a.s_addr = htonl(ntohl(a.s_addr) + uint32_t(index / cfg.PerAddress));
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

inline ConnectFields StationFields(const LoadConfig& cfg, const std::string& role, int index) {
    ConnectFields f;
    // The process id keeps the ids of back-to-back runs apart: a server may
    // still hold the last run's stations when the next one connects.
    f.Email = "load-" + std::to_string(getpid()) + "-" + role + std::to_string(index) + "@bench.invalid";
    f.Password = "bench";
    f.Callsign = "LOAD" + role + std::to_string(index) + " Bench";
    f.City = "Loopback";
    f.Country = "Bench";
    f.Network = cfg.Network;
    f.ExtFlags = cfg.FullLists ? gax::QOR_LIST_FORMAT_QOR : gax::QOR_LIST_FORMAT_NOLIST;
    return f;
}

}  // namespace loaddetail

namespace loaddetail {

// cfg.Churn stations join one after another over the first half of the
// measure and each leaves a quarter of the measure after it joined; what the
// server sends them is read and dropped. Returns how many were admitted.
inline int RunChurn(const LoadConfig& cfg, std::chrono::duration<double> measure,
                    const std::atomic<bool>& stop) {
    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    const auto spacing = std::chrono::duration_cast<Clock::duration>(measure / 2 / cfg.Churn);
    const auto stay = std::chrono::duration_cast<Clock::duration>(measure / 4);
    struct Station {
        int fd = -1;
        Clock::time_point leave;
        bool answered = false;
        std::string head;  // the answer's bytes until both lines are in
    };
    std::vector<Station> st;
    int joined = 0, started = 0;
    std::vector<char> scratch(65536);
    while (!stop.load(std::memory_order_relaxed)) {
        const auto now = Clock::now();
        if (started < cfg.Churn && now >= t0 + spacing * started) {
            QorConnection c;
            if (c.Connect(cfg.Host, cfg.Port, SourceFor(cfg, cfg.Listeners + 1 + started), 2000) &&
                c.SendAll(
                    BuildConnectString(StationFields(cfg, "C", started), ConnectForm::Ansi).Line,
                    2000))
                st.push_back(Station{c.Release(), now + stay, false, {}});
            ++started;
        }
        bool open = false;
        std::vector<pollfd> fds;
        for (Station& s : st) {
            if (s.fd < 0) continue;
            if (now >= s.leave) {
                close(s.fd);
                s.fd = -1;
                continue;
            }
            open = true;
            fds.push_back(pollfd{s.fd, POLLIN, 0});
        }
        if (!open && started >= cfg.Churn) break;
        poll(fds.data(), fds.size(), 10);
        size_t k = 0;
        for (Station& s : st) {
            if (s.fd < 0) continue;
            const pollfd& p = fds[k++];
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t r = recv(s.fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
            if (r <= 0) {
                if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    close(s.fd);
                    s.fd = -1;
                }
                continue;
            }
            if (s.answered) continue;
            s.head.append(scratch.data(), size_t(std::min<ssize_t>(r, 512)));
            const size_t e1 = s.head.find("\r\n");
            const size_t e2 = e1 == std::string::npos ? e1 : s.head.find("\r\n", e1 + 2);
            if (e2 == std::string::npos) continue;
            s.answered = true;
            HandshakeAnswer a;
            if (ParseHandshakeAnswer(s.head.substr(0, e1), s.head.substr(e1 + 2, e2 - e1 - 2), a) &&
                a.Positive())
                ++joined;
        }
    }
    for (Station& s : st)
        if (s.fd >= 0) close(s.fd);
    return joined;
}

}  // namespace loaddetail

inline LoadResult RunLoad(const LoadConfig& cfg) {
    using namespace loaddetail;
    LoadResult res;
    auto fail = [&res](std::string text) {
        res.Ok = false;
        res.Error = std::move(text);
        return res;
    };
    if (cfg.Port == 0 || cfg.Listeners <= 0 || cfg.Frames <= 0 || cfg.Rate <= 0)
        return fail("port, listeners, frames and rate must be positive");
    if (!RaiseFileLimit(rlim_t(cfg.Listeners) + 64))
        return fail("cannot raise the descriptor limit to " + std::to_string(cfg.Listeners + 64));

    const bool qor = cfg.Mode == LoadMode::Qor;
    Shared shared;

    // The talker first: an unreachable or refusing server shows at once.
    QorConnection talker;
    if (!talker.Connect(cfg.Host, cfg.Port, SourceFor(cfg, 0), cfg.ConnectTimeoutMs))
        return fail("talker: " + talker.Error());
    if (qor) {
        const BuildResult cs = BuildConnectString(StationFields(cfg, "T", 0), ConnectForm::Ansi);
        HandshakeAnswer a;
        const ReadStatus st = talker.Handshake(cs.Line, a, cfg.ConnectTimeoutMs);
        if (st != ReadStatus::Ok) return fail(std::string("talker handshake: ") + ReadStatusText(st));
        if (!a.Positive()) return fail("talker refused: " + a.Access());
        // The floor is refused to a member the network has not made visible
        // yet; the networks list is the first frame sent after that step.
        std::string first;
        const ReadStatus vis = talker.WaitForFrame(kFrameNetworks, first, cfg.ConnectTimeoutMs);
        if (vis != ReadStatus::Ok) return fail(std::string("talker never listed: ") + ReadStatusText(vis));
    } else if (!talker.SendAll("T", cfg.ConnectTimeoutMs)) {
        return fail("talker: " + talker.Error());
    }

    // The talker stays silent until the listeners are in; the server would end
    // it at its activity time-out.
    using Clock = std::chrono::steady_clock;
    auto lastTalkerSend = Clock::now();
    auto talkerKeepAlive = [&] {
        if (!qor || Clock::now() - lastTalkerSend < std::chrono::seconds(2)) return;
        talker.SendAll(CmdKeepAlive(), 1000);
        lastTalkerSend = Clock::now();
    };

    const int nThreads = std::max(1, std::min(cfg.ReceiverThreads, cfg.Listeners));
    std::vector<std::unique_ptr<Receiver>> receivers;
    for (int t = 0; t < nThreads; ++t) receivers.push_back(std::make_unique<Receiver>(cfg, shared));
    auto stopAll = [&] {
        shared.stop.store(true, std::memory_order_release);
        for (auto& r : receivers) r->Stop();
    };

    for (int i = 0; i < cfg.Listeners; ++i) {
        QorConnection c;
        if (!c.Connect(cfg.Host, cfg.Port, SourceFor(cfg, i + 1), cfg.ConnectTimeoutMs))
            return fail("listener " + std::to_string(i) + ": " + c.Error());
        std::string hello = "L";
        if (qor) hello = BuildConnectString(StationFields(cfg, "L", i), ConnectForm::Ansi).Line;
        if (!c.SendAll(hello, cfg.ConnectTimeoutMs))
            return fail("listener " + std::to_string(i) + ": " + c.Error());
        receivers[size_t(i % nThreads)]->Add(c.Release());
        talkerKeepAlive();
    }
    if (!qor) shared.answered.store(cfg.Listeners);
    for (auto& r : receivers) r->Start();

    auto waitUntil = [&](auto done, int ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        std::unique_lock<std::mutex> lock(shared.mu);
        return shared.cv.wait_until(lock, deadline, done);
    };
    auto settled = [&] {
        return shared.answered.load() + shared.refused.load() + shared.lost.load() >= cfg.Listeners;
    };
    for (const auto deadline = Clock::now() + std::chrono::milliseconds(cfg.ConnectTimeoutMs);
         !settled() && Clock::now() < deadline;) {
        waitUntil(settled, 1000);
        talkerKeepAlive();
    }
    res.Connected = shared.answered.load();
    if (shared.refused.load() > 0) {
        std::string why;
        {
            std::lock_guard<std::mutex> lock(shared.mu);
            why = shared.firstRefusal;
        }
        stopAll();
        return fail(std::to_string(shared.refused.load()) + " listeners refused, first: " + why);
    }
    if (res.Connected == 0) {
        stopAll();
        return fail("no listener got through its handshake");
    }

    // The talker's own incoming frames are read between sends so its buffer never fills.
    std::string frame;
    auto drainTalker = [&]() -> bool {
        while (qor) {
            const ReadStatus st = talker.ReadFrame(frame, 0);
            if (st == ReadStatus::Timeout) return true;
            if (st != ReadStatus::Ok) return false;
        }
        return true;
    };
    if (qor) {
        if (!talker.SendAll(CmdTx0(), 2000)) {
            stopAll();
            return fail("talker: " + talker.Error());
        }
        const ReadStatus st = talker.WaitForFrame(kFrameTxApproval, frame, cfg.ConnectTimeoutMs);
        if (st != ReadStatus::Ok) {
            stopAll();
            return fail(std::string("no TX approval: ") + ReadStatusText(st));
        }
    }

    std::vector<uint8_t> payload(kSoundFrame);
    auto sendFrame = [&](uint32_t seq) -> bool {
        std::string bytes;
        if (qor) {
            FillPayload(payload.data(), seq, MonoNs());
            bytes = CmdSound(std::string_view(reinterpret_cast<char*>(payload.data()), kSoundPayload));
        } else {
            payload[0] = kFrameSound;
            payload[1] = payload[2] = 0;
            FillPayload(payload.data() + 3, seq, MonoNs());
            bytes.assign(reinterpret_cast<char*>(payload.data()), kSoundFrame);
        }
        return talker.SendAll(bytes, 2000) && drainTalker();
    };
    const auto period = std::chrono::nanoseconds(int64_t(1e9 / cfg.Rate));

    // Warm-up: frames at the same rate until every admitted listener has
    // heard one (a listener joins the relay only some time after its answer).
    {
        auto next = Clock::now();
        const auto deadline = next + std::chrono::milliseconds(cfg.WarmupTimeoutMs);
        uint32_t k = 0;
        while ((k < uint32_t(cfg.WarmupFrames) ||
                shared.warm.load() < res.Connected - shared.lost.load()) &&
               Clock::now() < deadline) {
            if (!sendFrame(kWarmupSeqBit | k++)) {
                stopAll();
                return fail("talker during warm-up: " + talker.Error());
            }
            next += period;
            std::this_thread::sleep_until(next);
        }
        res.Warm = shared.warm.load();
        // Let the last warm-up frames pass so they do not count against the measure.
        std::this_thread::sleep_until(next + period);
    }

    res.ServerPid = cfg.ServerPid > 0 ? cfg.ServerPid : FindListeningPid(cfg.Port);
    const double cpu0 = res.ServerPid > 0 ? ProcessCpuSeconds(res.ServerPid) : -1;
    const double tool0 = ThisProcessCpuSeconds();
    const auto t0 = Clock::now();
    std::thread churn;
    std::atomic<int> churnJoined{0};
    if (qor && cfg.Churn > 0)
        churn = std::thread([&] {
            churnJoined =
                RunChurn(cfg, std::chrono::duration<double>(cfg.Frames / cfg.Rate), shared.stop);
        });
    auto next = t0;
    for (int k = 0; k < cfg.Frames; ++k) {
        std::this_thread::sleep_until(next);
        if (!sendFrame(uint32_t(k))) {
            stopAll();
            if (churn.joinable()) churn.join();
            return fail("talker: " + talker.Error());
        }
        ++res.FramesSent;
        next += period;
    }
    shared.sendingDone.store(true);
    const long expected = res.FramesSent * res.Connected;
    waitUntil([&] { return shared.delivered.load() >= expected; }, cfg.DrainMs);
    const double cpu1 = res.ServerPid > 0 ? ProcessCpuSeconds(res.ServerPid) : -1;
    res.ToolCpuSec = ThisProcessCpuSeconds() - tool0;
    res.MeasureSec = std::chrono::duration<double>(Clock::now() - t0).count();
    if (qor) talker.SendAll(CmdRx0(), 1000);
    stopAll();
    if (churn.joinable()) churn.join();
    res.ChurnJoined = churnJoined.load();

    std::vector<int64_t> all, kernel;
    for (auto& r : receivers) {
        all.insert(all.end(), r->Taken().app.begin(), r->Taken().app.end());
        kernel.insert(kernel.end(), r->Taken().kernel.begin(), r->Taken().kernel.end());
        res.Corrupt += r->Corrupt();
        res.OutOfOrder += r->OutOfOrder();
    }
    res.Expected = expected;
    res.Delivered = long(all.size());
    Percentiles(all, res.P50Us, res.P99Us, res.MaxUs, res.Over50Ms);
    Percentiles(kernel, res.KernelP50Us, res.KernelP99Us, res.KernelMaxUs, res.KernelOver50Ms);
    if (cpu0 >= 0 && cpu1 >= 0) {
        res.ServerCpuSec = cpu1 - cpu0;
        if (res.Delivered > 0) res.CpuPerDeliveredUs = res.ServerCpuSec * 1e6 / double(res.Delivered);
    }
    res.Ok = true;
    return res;
}

}  // namespace qortool
