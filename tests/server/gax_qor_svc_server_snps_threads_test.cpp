// The TCP client session end to end: a real worker steps it, a test client
// talks to it over loopback, and a small stand-in heartbeat answers its
// handshake the way a network that admits at once would.
#include "server/gax_qor_svc_server_snps.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/session_test_support.h"
#include "server/worker_test_support.h"

namespace {

using gax::TQORSVCContextSNPS;
using gax::TQORServNetworkCommand;
using C = gax::TQORSVCDisconnectCause;

const std::string kConnect8 =
    "CT:<VX>2014004</VX><EA>a@b.c</EA><PW>pw</PW><ON>CALL Name</ON><BC>PC Only</BC>"
    "<CT>City</CT><NN>Country</NN><NT>Test</NT>\r\n";

// The stand-in heartbeat: admits every handshake on network "Test", writes
// refusals back, and records what else the sessions post.
class Rig {
  public:
    explicit Rig(int aHandshakeSec = 5, int aActivitySec = 5) {
        host.cfg.ClientHandshakeTimeout = aHandshakeSec;
        host.cfg.ClientActivityTimeout = aActivitySec;
        worker = std::make_unique<gax::TQORSVCWorker>(&host, false, 1);
        worker->Start();
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(listenFd, 16), 0);
        socklen_t len = sizeof a;
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        hb = std::thread([this] { Heartbeat(); });
    }
    ~Rig() {
        stop = true;
        host.heartbeat.SetInterrupt();
        hb.join();
        worker.reset();  // joins; stops what is left
        ::close(listenFd);
    }

    // Connects a client and hands the accepted socket to the worker as a session.
    int Connect(bool aMarked = false) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        EXPECT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        const int s = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        auto ctx = std::make_unique<TQORSVCContextSNPS>(&host, world.svc, s,
                                                        std::string("\x7f\x00\x00\x01", 4), 4000);
        {
            gax::TQORRoleScope role(gax::kHeartbeat);  // the admission's verdict
            ctx->tmAdmitted(aMarked);
        }
        {
            std::lock_guard<std::mutex> l(m);
            sessions.push_back(std::move(ctx));
            last = sessions.back().get();
        }
        worker->WorkQueue_AddNewContext(last);
        if (worker->TakeWakeUpFlag()) worker->WorkerWakeUp();
        return c;
    }

    TQORSVCContextSNPS* Last() {
        std::lock_guard<std::mutex> l(m);
        return last;
    }
    bool HasEnded(TQORSVCContextSNPS* aCtx) {
        std::lock_guard<std::mutex> l(m);
        return endedSet.count(aCtx) != 0;
    }
    std::vector<std::string> Records(TQORServNetworkCommand aCmd) {
        std::lock_guard<std::mutex> l(m);
        std::vector<std::string> out;
        for (auto& r : posted)
            if (r.first == aCmd) out.push_back(r.second);
        return out;
    }

    wrk_test::FakeHost host;
    session_test::World world;
    std::unique_ptr<gax::TQORSVCWorker> worker;
    int listenFd = -1;
    uint16_t port = 0;
    std::atomic<bool> answerHandshakes{true};
    bool freeEnded = false;  // set before the first connection
    std::vector<C> Causes() {
        std::lock_guard<std::mutex> l(m);
        return causes;
    }
    wrk_test::Counter ended, attached;

  private:
    void Heartbeat() {
        gax::TQORRoleScope role(gax::kHeartbeat);
        while (!stop) {
            while (auto rec = host.poster.ServQueue().Pull()) Handle(*rec);
            // As the heartbeat does: held readers resume once their records are handled.
            if (host.poster.HeldReaders() > 0) {
                std::lock_guard<std::mutex> l(m);
                for (auto& s : sessions)
                    if (s->ResumeReadingIfDrained()) host.poster.NoteReaderResumed();
            }
            if (worker->TakeWakeUpFlag()) worker->WorkerWakeUp();
            host.heartbeat.WaitFor(50);
        }
    }
    TQORSVCContextSNPS* Find(const gax::TQORSVCNetQueueRecord& aRec) {
        std::lock_guard<std::mutex> l(m);
        for (auto& s : sessions) {
            if (aRec.nqr_Context.Is(static_cast<const gax::TQORSVCWrkCtx*>(s.get())) &&
                s->CtxGlobalKey() == aRec.nqr_GlobalKey)
                return s.get();
        }
        return nullptr;
    }
    void Handle(gax::TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(gax::kHeartbeat) {
        TQORSVCContextSNPS* s = Find(aRec);
        {
            std::lock_guard<std::mutex> l(m);
            posted.emplace_back(aRec.nqr_Cmd, aRec.nqr_DataS1);
        }
        if (s == nullptr) return;
        if (aRec.nqr_InFlight) s->InFlightHandled();
        switch (aRec.nqr_Cmd) {
            case TQORServNetworkCommand::snc_HandshakeClient: {
                if (!answerHandshakes) return;
                s->tmTakeConnect();
                s->SetCtxNetwork(&world.test);
                s->tmProcessAttributes(gax::TQORSVCClientHandshakeType{});
                gax::FastStringA f;
                gax::TQORHandshakeNetwork n;
                n.HasNetwork = true;
                n.NameA = n.NameUTF8 = "Test";
                n.SpeechLimitSec = 300;
                // The uptime comes from the session's service.
                const gax::TQORHandshakeServer srv = s->HandshakeServer();
                gax::PrepareHandshakeAnswerOK(f, gax::HandshakeClientOf(*s), n, srv, true);
                s->vSendBytesAnswerOK(f.Data(), static_cast<int32_t>(f.Len()));
                break;
            }
            case TQORServNetworkCommand::snc_HandshakeError:
                s->vSendBytesFlushAndTerm(aRec.nqr_DataS1.data(),
                                          static_cast<int32_t>(aRec.nqr_DataS1.size()));
                break;
            case TQORServNetworkCommand::snc_AttachNetwork:
                s->ClearNewbieFlag();
                attached.Add();
                break;
            case TQORServNetworkCommand::snc_ClientDisconnected: {
                std::lock_guard<std::mutex> l(m);
                endedSet.insert(s);
                causes.push_back(s->DisconnectCauseR());
                if (freeEnded) {
                    // The worker removed it before posting: nothing reaches it any more.
                    endedSet.erase(s);
                    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
                        if (it->get() == s) {
                            sessions.erase(it);
                            break;
                        }
                    }
                    if (last == s) last = nullptr;
                }
                ended.Add();
                break;
            }
            default:
                break;
        }
    }

    std::mutex m;
    std::vector<std::unique_ptr<TQORSVCContextSNPS>> sessions;
    TQORSVCContextSNPS* last = nullptr;
    std::set<TQORSVCContextSNPS*> endedSet;
    std::vector<std::pair<TQORServNetworkCommand, std::string>> posted;
    std::vector<C> causes;
    std::atomic<bool> stop{false};
    std::thread hb;
};

// Waits until the session has ended (its disconnect was posted).
bool WaitEnded(Rig& aRig, TQORSVCContextSNPS* aCtx, int ms = 8000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!aRig.HasEnded(aCtx)) {
        if (std::chrono::steady_clock::now() > until) return false;
        aRig.ended.WaitAtLeast(aRig.ended.Get() + 1, 100);
    }
    return true;
}

void SendAll(int aFd, std::string_view aBytes) {
    while (!aBytes.empty()) {
        const ssize_t n = ::send(aFd, aBytes.data(), aBytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        aBytes.remove_prefix(static_cast<size_t>(n));
    }
}

// Reads until the peer closes or ms pass; `reset` tells a reset from a close.
struct ReadResult {
    std::string bytes;
    bool closed = false;
    bool reset = false;
};
ReadResult ReadUntilClose(int aFd, int ms = 8000) {
    ReadResult r;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return r;
        pollfd p{aFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::recv(aFd, buf, sizeof buf, 0);
        if (n > 0) {
            r.bytes.append(buf, static_cast<size_t>(n));
            continue;
        }
        r.closed = true;
        r.reset = n < 0 && errno == ECONNRESET;
        return r;
    }
}

// Reads exactly the lines of the answer (two CR LF).
std::string ReadAnswer(int aFd) {
    std::string s;
    int lf = 0;
    while (lf < 2) {
        pollfd p{aFd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        char c;
        if (::recv(aFd, &c, 1, 0) != 1) break;
        s += c;
        lf += c == '\n';
    }
    return s;
}

double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

TEST(SocketSession, PositiveAnswerByteForByteThenCommandsUntilABadOne) {
    Rig rig;
    rig.world.svc.uptime = 17;
    const int c = rig.Connect();
    TQORSVCContextSNPS* s = rig.Last();
    SendAll(c, kConnect8);
    EXPECT_EQ(ReadAnswer(c),
              "2014004\r\n<MT></MT><SV>2014004</SV><AL>OK</AL><BN></BN><BP></BP>"
              "<ID>XWDU4oBm3yVNVFL5LJEAkgLA</ID><NT>Test</NT><TT>300</TT><EM>S</EM>"
              "<UT>17</UT><AVR>r7348(2022-10-13)-Win32</AVR>\r\n");
    ASSERT_TRUE(rig.attached.WaitAtLeast(1));

    // Sound: the 325 bytes after TX1 are taken whole, line ends and all.
    std::string sound(325, 'a');
    sound[10] = '\r';
    sound[11] = '\n';
    sound[200] = '\n';
    SendAll(c, "P\r\n-\nTX1\r\n" + sound + "ST:1\r\n");
    SendAll(c, "ST:3\r\n");
    const ReadResult r = ReadUntilClose(c);
    EXPECT_TRUE(r.closed);
    EXPECT_TRUE(r.bytes.empty());
    ASSERT_TRUE(WaitEnded(rig, s));
    EXPECT_EQ(s->DisconnectCauseR(), C::fsdc_WrongCommand);
    EXPECT_EQ(s->ConnectionCmdErr(), u"Invalid status command: \"ST:3\"");
    const auto frames = rig.Records(TQORServNetworkCommand::snc_TxSoundLong);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 328u);
    EXPECT_EQ(frames[0].substr(3), sound);
    EXPECT_EQ(rig.Records(TQORServNetworkCommand::snc_VisibleStatus).size(), 1u);
    ::close(c);
}

TEST(SocketSession, LinesThatEndTheSessionWithoutAnAnswer) {
    struct Case {
        std::string name, bytes;
        C cause;
    };
    const Case cases[] = {
        {"bad opener", "GET / HTTP/1.0\r\n\r\n", C::fsdc_InvalidConnectString},
        {"no tags", "CT:hello\r\n", C::fsdc_InvalidConnectString},
        {"too long", "CT:" + std::string(2301, 'x') + "\r\n", C::fsdc_TooLongString},
    };
    Rig rig;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const int c = rig.Connect();
        TQORSVCContextSNPS* s = rig.Last();
        SendAll(c, k.bytes);
        const ReadResult r = ReadUntilClose(c);
        EXPECT_TRUE(r.closed);
        EXPECT_TRUE(r.bytes.empty());
        ASSERT_TRUE(WaitEnded(rig, s));
        EXPECT_EQ(s->DisconnectCauseR(), k.cause);
        ::close(c);
    }
    // The log keeps what opened the bad connection.
    const int c = rig.Connect();
    TQORSVCContextSNPS* s = rig.Last();
    SendAll(c, "XYZ" + std::string(500, 'q') + "\r\n");
    ASSERT_TRUE(WaitEnded(rig, s));
    EXPECT_EQ(s->HandshakeString().substr(0, 3), "XYZ");
    EXPECT_LE(s->HandshakeString().size(), 303u);
    ::close(c);
}

TEST(SocketSession, RefusalIsReadByTheClientBeforeTheClose) {
    Rig rig;
    const int c = rig.Connect();
    TQORSVCContextSNPS* s = rig.Last();
    // Extra bytes after the connect string must neither spin the worker nor
    // turn the close into a reset.
    SendAll(c, "CT:<EA>@</EA><PW>pw</PW><ON>CALL Name</ON><NT>Test</NT>\r\nmore bytes\r\n");
    const ReadResult r = ReadUntilClose(c);
    EXPECT_TRUE(r.closed);
    EXPECT_FALSE(r.reset);
    EXPECT_TRUE(r.bytes.starts_with("2014004\r\n")) << r.bytes;
    EXPECT_NE(r.bytes.find("<AL>BLOCK</AL>"), std::string::npos) << r.bytes;
    ASSERT_TRUE(WaitEnded(rig, s));
    EXPECT_EQ(s->DisconnectCauseR(), C::fsdc_ServerBlock);
    ::close(c);
}

TEST(SocketSession, TimeOutsOfASilentClient) {
    Rig rig(/*handshake*/ 1, /*activity*/ 2);
    // Silent from the start: the handshake time-out.
    const int c1 = rig.Connect();
    TQORSVCContextSNPS* s1 = rig.Last();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitEnded(rig, s1, 5000));
    EXPECT_EQ(s1->DisconnectCauseR(), C::fsdc_HandshakeTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(3500));
    ::close(c1);

    // Working, then silent: the activity time-out, which "P" keeps off.
    const int c2 = rig.Connect();
    TQORSVCContextSNPS* s2 = rig.Last();
    SendAll(c2, kConnect8);
    ASSERT_FALSE(ReadAnswer(c2).empty());
    for (int i = 0; i < 4; ++i) {
        SendAll(c2, "P\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(900));  // the client's own pace
        EXPECT_FALSE(rig.HasEnded(s2));
    }
    ASSERT_TRUE(WaitEnded(rig, s2, 5000));
    EXPECT_EQ(s2->DisconnectCauseR(), C::fsdc_ClientTimeout);
    ::close(c2);
}

TEST(SocketSession, NoSpinWhileTheClientSendsDuringTheAnswerWait) {
    Rig rig(5, 5);
    rig.answerHandshakes = false;  // the answer never comes
    const int c = rig.Connect();
    TQORSVCContextSNPS* s = rig.Last();
    SendAll(c, kConnect8);
    SendAll(c, std::string(1000, 'z'));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const double used = ProcessCpuSeconds() - before;
    EXPECT_LT(used, 0.3) << "CPU seconds used while idle";
    EXPECT_FALSE(rig.HasEnded(s));
    ::close(c);
    ASSERT_TRUE(WaitEnded(rig, s));
}

TEST(SocketSession, AClientThatStopsReadingIsDroppedForBandwidth) {
    Rig rig;
    rig.host.cfg.cfg_ServOutputBufferLimit = 64 * 1024;
    rig.host.cfg.cfg_ServOutputBufferFactor = 4;
    const int c = rig.Connect();
    TQORSVCContextSNPS* s = rig.Last();
    int small = 4096;
    ::setsockopt(c, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    SendAll(c, kConnect8);
    ASSERT_FALSE(ReadAnswer(c).empty());
    ASSERT_TRUE(rig.attached.WaitAtLeast(1));
    // Output keeps coming while the client reads nothing: the buffer's cap
    // ends the session instead of growing without bound.
    const std::string frame(8192, 's');
    const int past = static_cast<int>(s->OutputHardCap() / frame.size()) + 64;
    for (int i = 0; i < past && !rig.HasEnded(s); ++i) {
        s->vSendBytes(frame.data(), static_cast<int32_t>(frame.size()));
        if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(WaitEnded(rig, s));
    EXPECT_EQ(s->DisconnectCauseR(), C::fsdc_BandWidthLimit);
    EXPECT_EQ(s->OutputPending(), 0u);
    ::close(c);
}

TEST(SocketSession, OverLimitRuleLooksAtWhatIsPendingNow) {
    Rig rig(5, 2);
    const int c = rig.Connect();
    TQORSVCContextSNPS* s = rig.Last();
    // Nothing pending: never over.
    EXPECT_FALSE(s->vOutputBufferLimit(0, 1000));
    ::close(c);
    ASSERT_TRUE(WaitEnded(rig, s));
}

#if defined(__SANITIZE_ADDRESS__)
#define QOR_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOR_TEST_ASAN 1
#endif
#endif

// Heap bytes the process holds now, in KiB. Resident pages would also count
// what the allocator keeps cached for its threads' arenas (on a loaded
// machine more arenas are made), which says nothing about what the server
// holds. Under AddressSanitizer freed memory sits in its quarantine, so the
// bound is left to its leak check there.
long HeapInUseKiB() {
#if defined(QOR_TEST_ASAN)
    return 0;
#else
    const struct mallinfo2 mi = ::mallinfo2();
    return static_cast<long>((mi.uordblks + mi.hblkhd) / 1024);
#endif
}

// Hostile clients: each ends with its cause (or keeps working), leaves server
// memory where it was and never makes the worker spin.
TEST(SocketSession, HostileClients) {
    struct Case {
        std::string name;
        std::function<void(Rig&, int)> act;
        C cause;
        // The act itself burns CPU (it fills the output up to the cap): the
        // spin check starts after it.
        bool busyAct = false;
    };
    auto working = [](Rig& aRig, int aFd) {
        SendAll(aFd, kConnect8);
        ASSERT_FALSE(ReadAnswer(aFd).empty());
        (void)aRig;
    };
    const Case cases[] = {
        {"never reads while others talk",
         [&](Rig& r, int fd) {
             working(r, fd);
             TQORSVCContextSNPS* s = r.Last();
             const std::string frame(8192, 's');
             const int past = static_cast<int>(s->OutputHardCap() / frame.size()) + 64;
             for (int i = 0; i < past && !r.HasEnded(s); ++i)
                 s->vSendBytes(frame.data(), static_cast<int32_t>(frame.size()));
         },
         C::fsdc_BandWidthLimit, true},
        {"endless line without LF",
         [&](Rig& r, int fd) {
             working(r, fd);
             SendAll(fd, std::string(1 << 20, 'x'));
         },
         C::fsdc_TooLongString},
        {"one byte a second",
         [&](Rig& r, int fd) {
             for (char ch : std::string("CT:<VX>")) {
                 if (r.HasEnded(r.Last())) break;
                 SendAll(fd, std::string(1, ch));
                 std::this_thread::sleep_for(std::chrono::seconds(1));  // the client's pace
             }
         },
         C::fsdc_HandshakeTimeout},
        {"floods commands, then a bad one",
         [&](Rig& r, int fd) {
             working(r, fd);
             std::string flood;
             for (int i = 0; i < 20000; ++i) flood += (i % 2) ? "P\r\n" : "ST:1\r\n";
             SendAll(fd, flood + "NOPE\r\n");
             (void)r;
         },
         C::fsdc_WrongCommand},
        {"malformed tags and high bytes",
         [&](Rig& r, int fd) {
             working(r, fd);
             SendAll(fd, "TM:<MS>\xff\xfe\x80<ID></MS\r\n");
             (void)r;
         },
         C::fsdc_WrongCommand},
        {"malformed connect string",
         [&](Rig&, int fd) { SendAll(fd, "CT:<EA>\xff\xfe</E<PW>\x80\x81</PW>>>\r\n"); },
         C::fsdc_InvalidConnectString},
    };
    Rig rig(2, 5);
    rig.host.cfg.cfg_ServOutputBufferLimit = 64 * 1024;
    rig.host.cfg.cfg_ServOutputBufferFactor = 4;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const long heapBefore = HeapInUseKiB();
        double cpuBefore = ProcessCpuSeconds();
        auto t0 = std::chrono::steady_clock::now();
        const int c = rig.Connect();
        TQORSVCContextSNPS* s = rig.Last();
        k.act(rig, c);
        if (k.busyAct) {
            cpuBefore = ProcessCpuSeconds();
            t0 = std::chrono::steady_clock::now();
        }
        ASSERT_TRUE(WaitEnded(rig, s, 10000));
        EXPECT_EQ(s->DisconnectCauseR(), k.cause);
        ::close(c);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        // A spinning worker would burn a whole core for the case's duration.
        if (wall > 1.5) {
            EXPECT_LT(cpu, wall * 0.5) << "cpu " << cpu << " s in " << wall << " s";
        }
        EXPECT_LT(HeapInUseKiB() - heapBefore, 64 * 1024) << "KiB";
    }

    // 10,000 connections opened and closed; the sessions are freed as they end.
    Rig churn(2, 5);
    churn.freeEnded = true;
    const long heapBefore = HeapInUseKiB();
    constexpr int kBatch = 40;
    for (int b = 0; b < 10000 / kBatch; ++b) {
        const int endedBefore = churn.ended.Get();
        int fds[kBatch];
        for (int& fd : fds) fd = churn.Connect();
        for (int fd : fds) ::close(fd);
        ASSERT_TRUE(churn.ended.WaitAtLeast(endedBefore + kBatch, 10000)) << "batch " << b;
    }
    EXPECT_LT(HeapInUseKiB() - heapBefore, 64 * 1024) << "KiB";
    const std::vector<C> causes = churn.Causes();
    EXPECT_EQ(causes.size(), 10000u);
}

}  // namespace
