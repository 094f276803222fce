// A station that floods its network with text: the server slows it at the
// source instead of queueing what it sends. The server queue stays below its
// high mark, a talker in another network keeps its frame delay, the heap
// comes back to where it was, and every member that keeps reading stays
// connected and gets every line (also when the flood comes as one write).
//
// Under a sanitizer the network is smaller and the burst shorter: the
// service then runs several times slower, and the test still drives every
// path (held readers, resumes, the global mark) in a few seconds.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "networks/service_test_support.h"
#include "server/gax_qor_svc_server_snps.h"
#include "tools/qor_load_engine.h"

#if defined(__SANITIZE_ADDRESS__)
#define QOR_FLOOD_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOR_FLOOD_ASAN 1
#endif
#endif
#if defined(QOR_FLOOD_ASAN) || defined(__SANITIZE_THREAD__)
#define QOR_FLOOD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QOR_FLOOD_SANITIZED 1
#endif
#endif

namespace {

using namespace service_test;

#if defined(QOR_FLOOD_SANITIZED)
constexpr int kMembers = 60;
constexpr int kBurstLines = 5000;
#else
constexpr int kMembers = 200;
constexpr int kBurstLines = 20000;
#endif
constexpr auto kFloodTime = std::chrono::seconds(3);

TQORServiceConfig FloodConfig() {
    TQORServiceConfig cfg = LoopbackConfig();
    cfg.cfg_ServMaxClientConnectionsPerAddress = 0;
    cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 10000;
    // The output limits stay the defaults: a burst must not reach the hard cap.
    cfg.cfg_ServOutputBufferLimit = 131072;
    cfg.cfg_ServOutputBufferFactor = 3;
    return cfg;
}

// Heap bytes in use, in KiB; 0 under AddressSanitizer, whose quarantine
// holds what was freed (its leak check covers that build).
long HeapInUseKiB() {
#if defined(QOR_FLOOD_ASAN)
    return 0;
#else
    const struct mallinfo2 mi = ::mallinfo2();
    return static_cast<long>((mi.uordblks + mi.hblkhd) / 1024);
#endif
}

// Members that keep reading: one thread reads every socket as fast as
// loopback gives, counts the bytes of each and notes any that ends.
class Readers {
  public:
    explicit Readers(std::vector<int> aFds)
        : f_Fds(std::move(aFds)), f_Bytes(f_Fds.size()), f_Ep(::epoll_create1(EPOLL_CLOEXEC)) {
        for (size_t i = 0; i < f_Fds.size(); ++i) {
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLRDHUP;
            ev.data.u64 = i;
            ::epoll_ctl(f_Ep, EPOLL_CTL_ADD, f_Fds[i], &ev);
        }
        f_Thread = std::thread([this] { Run(); });
    }
    ~Readers() {
        f_Stop = true;
        f_Thread.join();
        for (int fd : f_Fds) ::close(fd);
        ::close(f_Ep);
    }
    int Ended() const { return f_Ended.load(); }
    // The fewest bytes any member has read.
    long MinBytes() const {
        long m = -1;
        for (const auto& b : f_Bytes) {
            const long v = b.load();
            if (m < 0 || v < m) m = v;
        }
        return m;
    }

  private:
    void Run() {
        std::vector<char> buf(65536);
        epoll_event evs[64];
        while (!f_Stop) {
            const int n = ::epoll_wait(f_Ep, evs, 64, 20);
            for (int k = 0; k < n; ++k) {
                const size_t i = evs[k].data.u64;
                for (;;) {
                    const ssize_t r = ::recv(f_Fds[i], buf.data(), buf.size(), MSG_DONTWAIT);
                    if (r > 0) {
                        f_Bytes[i].fetch_add(r);
                        continue;
                    }
                    if (r < 0 && (errno == EAGAIN || errno == EINTR)) break;
                    ::epoll_ctl(f_Ep, EPOLL_CTL_DEL, f_Fds[i], nullptr);
                    f_Ended.fetch_add(1);
                    break;
                }
            }
        }
    }

    std::vector<int> f_Fds;
    std::vector<std::atomic<long>> f_Bytes;
    int f_Ep;
    std::atomic<bool> f_Stop{false};
    std::atomic<int> f_Ended{0};
    std::thread f_Thread;
};

ConnectFields Member(const std::string& aName) {
    ConnectFields f = Station(aName + "@example.org", aName);
    f.ExtFlags = QOR_LIST_FORMAT_NOLIST;  // only the text is traffic here
    return f;
}

// An 80-character line, numbered.
std::string Line(long aN) {
    std::string t = "flood " + std::to_string(aN) + " ";
    t.resize(80, 'x');
    return CmdText(t);
}

class TextFlood : public ::testing::Test {
  protected:
    void SetUp() override {
        srv = std::make_unique<LoopbackService>(FloodConfig());
        TQORServiceNetOptions serv;
        srv->svc->LoadNetworks(serv);
        ASSERT_TRUE(srv->svc->Networks().UsesTestSet());  // "Test" and "Net01"
        ASSERT_TRUE(srv->Start());
        ASSERT_TRUE(RaiseFileLimit(rlim_t(kMembers) + 128));
        std::vector<int> fds;
        for (int i = 0; i < kMembers; ++i) {
            QorConnection c;
            ASSERT_TRUE(srv->Join(c, Member("M" + std::to_string(i)))) << i;
            fds.push_back(c.Release());
        }
        readers = std::make_unique<Readers>(std::move(fds));
        ASSERT_TRUE(srv->Join(flooder, Member("FLOOD")));
        // Text from a member the network has not made visible yet is refused;
        // the networks list is the first frame after that step.
        std::string frame;
        ASSERT_EQ(flooder.WaitForFrame(kFrameNetworks, frame, 20000), ReadStatus::Ok);
        // Whatever the flooder is sent back is read off by a thread of its own.
        flooderFd = flooder.Fd();
        drain = std::thread([this] {
            std::vector<char> buf(65536);
            while (!stopDrain) {
                pollfd p{flooderFd, POLLIN, 0};
                if (::poll(&p, 1, 20) > 0 && ::recv(flooderFd, buf.data(), buf.size(), MSG_DONTWAIT) == 0)
                    break;
            }
        });
        contexts = srv->svc->tmClientContextCount.load();
        heapBefore = HeapInUseKiB();
        srv->svc->Poster().ResetServQueuePeak();
    }
    void TearDown() override {
        stopDrain = true;
        if (drain.joinable()) drain.join();
        readers.reset();
        flooder.Close();
        if (srv) {
            EXPECT_TRUE(srv->WaitForNoClients());
            srv->Stop();
        }
    }

    // Every member read at least aLines lines of 80 characters, and none ended.
    void ExpectEveryMemberHeard(long aLines) {
        EXPECT_TRUE(WaitFor([&] { return readers->MinBytes() >= aLines * 80; }, 60000))
            << readers->MinBytes() << " of " << aLines * 80;
        EXPECT_EQ(readers->Ended(), 0);
        EXPECT_EQ(srv->LogCount("DISCONNECT_BANDWIDTH"), 0);
    }
    void ExpectQueueAndHeapBack() {
        EXPECT_LE(srv->svc->Poster().ServQueuePeak(), TQORSVCPoster::kServQueueHigh);
        EXPECT_TRUE(WaitFor([&] { return srv->svc->Poster().ServQueue().Count() == 0; }));
        // The pass that empties the queue resumes every held reader.
        EXPECT_TRUE(WaitFor([&] { return srv->svc->Poster().HeldReaders() == 0; }));
        // Near where it was: the output buffers have been sent, the records freed.
        EXPECT_TRUE(WaitFor([&] { return HeapInUseKiB() - heapBefore < 24 * 1024; }, 20000))
            << HeapInUseKiB() - heapBefore << " KiB more";
    }

    std::unique_ptr<LoopbackService> srv;
    std::unique_ptr<Readers> readers;
    QorConnection flooder;
    int flooderFd = -1;
    std::thread drain;
    std::atomic<bool> stopDrain{false};
    long heapBefore = 0;
    long contexts = 0;  // client contexts before the flood
};

TEST_F(TextFlood, FlooderIsSlowedWhileATalkerElsewhereKeepsItsDelay) {
    // The talker in "Net01" measures while the flood runs, and the flood
    // runs at least its time.
    std::atomic<bool> loadDone{false};
    LoadResult load;
    std::thread talker([&] {
        LoadConfig lc;
        lc.Port = srv->port;
        lc.Network = "Net01";
        lc.Listeners = 4;
        lc.Frames = 15;
        lc.Rate = 10;
        lc.PerAddress = 0;
        lc.FirstSource = "";
        lc.ReceiverThreads = 1;
        lc.DrainMs = 1000;
        lc.ServerPid = ::getpid();
        load = RunLoad(lc);
        loadDone = true;
    });
    const auto start = std::chrono::steady_clock::now();
    long lines = 0;
    std::string batch;
    while (!loadDone || std::chrono::steady_clock::now() - start < kFloodTime) {
        batch.clear();
        for (int k = 0; k < 50; ++k) batch += Line(lines++);
        ASSERT_TRUE(flooder.SendAll(batch, 30000)) << flooder.Error();
    }
    talker.join();
    ASSERT_TRUE(load.Ok) << load.Error;
    EXPECT_EQ(load.Delivered, load.Expected);
    EXPECT_LT(load.MaxUs, 200000.0) << "p50 " << load.P50Us << " us, p99 " << load.P99Us << " us";
    ExpectEveryMemberHeard(lines);
    ExpectQueueAndHeapBack();
    // Slowed, not dropped: the flooder is still there, with every member.
    EXPECT_TRUE(flooder.SendAll(CmdKeepAlive(), 5000));
    EXPECT_TRUE(WaitFor([&] { return srv->svc->tmClientContextCount.load() == contexts; }))
        << srv->svc->tmClientContextCount.load() << " of " << contexts;
}

// A floor holder that closes while a flood keeps the heartbeat busy is seen
// gone during the flood, and the floor is free again: the close leaves no
// bytes to read, only the end of the stream.
TEST_F(TextFlood, AFloorHolderThatClosesDuringAFloodIsSeenGone) {
    QorConnection talker, other;
    ConnectFields t = Member("TALK");
    t.Network = "Net01";
    ConnectFields o = Member("OTHER");
    o.Network = "Net01";
    ASSERT_TRUE(srv->Join(talker, t));
    ASSERT_TRUE(srv->Join(other, o));
    const long members = srv->svc->tmClientContextCount.load();
    std::string frame;
    // Made visible first: a newbie's TX is not taken.
    ASSERT_EQ(talker.WaitForFrame(kFrameNetworks, frame, 20000), ReadStatus::Ok);
    ASSERT_EQ(other.WaitForFrame(kFrameNetworks, frame, 20000), ReadStatus::Ok);
    ASSERT_TRUE(talker.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(talker.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    ASSERT_TRUE(talker.SendAll(CmdSound(std::string(kSoundPayload, 'S')), 5000));
    ASSERT_EQ(other.WaitForFrame(kFrameSound, frame, 20000), ReadStatus::Ok);

    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::atomic<bool> ended{false};
    std::thread flood([&] {
        struct End {
            std::atomic<bool>& e;
            ~End() { e = true; }
        } end{ended};
        long lines = 0;
        std::string batch;
        const auto start = std::chrono::steady_clock::now();
        while (!stop && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
            batch.clear();
            for (int k = 0; k < 50; ++k) batch += Line(lines++);
            if (!flooder.SendAll(batch, 30000)) {
                failed = true;
                return;
            }
        }
    });
    // Well into the flood before the close.
    EXPECT_TRUE(WaitFor([&] { return srv->svc->Poster().ServQueue().Count() > 0; }));
    talker.Close();
    const bool gone =
        WaitFor([&] { return srv->svc->tmClientContextCount.load() == members - 1; }, 20000);
    const bool flooding = !ended;
    stop = true;
    flood.join();
    EXPECT_FALSE(failed);
    EXPECT_TRUE(gone && flooding) << "the close was seen only after the flood";
    // The floor is free: the other member takes it.
    ASSERT_TRUE(other.SendAll(CmdTx0(), 5000));
    EXPECT_EQ(other.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    other.Close();
}

TEST_F(TextFlood, OneBurstDropsNoReader) {
    std::string burst;
    for (long n = 0; n < kBurstLines; ++n) burst += Line(n);
    ASSERT_TRUE(flooder.SendAll(burst, 60000)) << flooder.Error();
    ExpectEveryMemberHeard(kBurstLines);
    ExpectQueueAndHeapBack();
}

}  // namespace
