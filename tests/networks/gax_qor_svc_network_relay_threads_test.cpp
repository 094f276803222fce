// Sound relayed to many members at once, end to end on loopback. The
// heartbeat sends a frame itself to a listener whose output is idle and
// leaves the rest to the listener's worker; these tests show that every
// listener still gets every frame whole, once and in order, whether it reads
// as frames come or lets them pile up, and that stations joining, leaving and
// vanishing during the talk get nothing that was meant for another
// connection (a descriptor given back by one that left and taken by a
// newcomer is never sent the old member's frames). A floor holder's own
// socket is read by the heartbeat: its frames and texts keep their order
// over many floors and closes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "networks/gax_qor_svc_network_frames.h"
#include "networks/service_test_support.h"
#include "platform/plat_pages.h"
#include "sockets/gax_snps_outchunks.h"

namespace {

using namespace service_test;

const std::string kSilence(reinterpret_cast<const char*>(kQORSilenceBlock.data()),
                           kQORSilenceBlock.size());

// A station with a long description: every client list then holds more
// than a relayed frame may wait behind, so the frames after each coming and
// going queue behind the list instead of going out at once.
ConnectFields Wordy(const std::string& aName) {
    ConnectFields f = Station(aName + "@example.org", aName);
    f.Description = std::string(1500, 'd');
    return f;
}

// Room for a few hundred stations, all from the loopback address.
TQORServiceConfig CrowdConfig() {
    TQORServiceConfig cfg = LoopbackConfig();
    cfg.cfg_ServMaxClientConnectionsPerAddress = 256;
    cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 1000;
    return cfg;
}

// Members that read nothing; short items, so that many make a long list.
::testing::AssertionResult JoinIdle(LoopbackService& aSrv, std::vector<QorConnection>& aIdle) {
    for (size_t i = 0; i < aIdle.size(); ++i) {
        const std::string n = std::to_string(i);
        if (auto in = aSrv.Join(aIdle[i], Station("i" + n + "@example.org", "IDLE" + n)); !in)
            return in << " (idle station " << n << ")";
    }
    return ::testing::AssertionSuccess();
}

// The payload of frame aSeq: its number first, then bytes of its own.
std::string Payload(int aSeq) {
    std::string p(kSoundPayload, '\0');
    for (size_t k = 0; k < p.size(); ++k) p[k] = static_cast<char>(aSeq * 131 + k * 7 + 1);
    p[0] = static_cast<char>(aSeq >> 8);
    p[1] = static_cast<char>(aSeq & 0xFF);
    return p;
}

bool IsSilence(const std::string& aPayload) {
    for (size_t b = 0; b + kSilence.size() <= aPayload.size(); b += kSilence.size())
        if (aPayload.compare(b, kSilence.size(), kSilence) != 0) return false;
    return true;
}

// Reads aFrames sound frames of the talk and checks each against the frame
// the talker sent in that place (the pings' silence in a pause is skipped).
// Empty when all came in order, else what went wrong.
std::string ReadTalk(QorConnection& aConn, int aFrames) {
    std::string frame;
    for (int seq = 0; seq < aFrames;) {
        const ReadStatus st = aConn.WaitForFrame(kFrameSound, frame, 20000);
        if (st != ReadStatus::Ok) return "frame " + std::to_string(seq) + ": " + ReadStatusText(st);
        if (frame.size() != kSoundFrame) return "frame " + std::to_string(seq) + ": bad size";
        const std::string payload = frame.substr(kSoundFrame - kSoundPayload);
        if (IsSilence(payload)) continue;
        if (payload != Payload(seq)) {
            const int got = (static_cast<uint8_t>(payload[0]) << 8) | static_cast<uint8_t>(payload[1]);
            return "frame " + std::to_string(seq) + ": got frame " + std::to_string(got);
        }
        ++seq;
    }
    return {};
}

// Readers hear a talk while stations come and go. aIdle members that read
// nothing make the lists long: with 130, each list goes to the sockets
// by reference to its pages rather than as a copy.
void HearTalkWhileStationsComeAndGo(const int aIdle) {
    constexpr int kReaders = 4;
    LoopbackService srv(CrowdConfig());
    // The talker sends faster than it speaks, which a network allows for
    // about the activity time-out's worth of sound.
    srv.svc->SetClientActivityTimeout(30);
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv);
    ASSERT_TRUE(srv.Start());

    constexpr int kBatches = 10;
    constexpr int kPerBatch = 15;
    constexpr int kFrames = kBatches * kPerBatch;
    QorConnection talker, slow;
    std::vector<QorConnection> readers(kReaders);
    ASSERT_TRUE(srv.Join(talker, Wordy("TALK")));
    for (int i = 0; i < kReaders; ++i) ASSERT_TRUE(srv.Join(readers[i], Wordy("R" + std::to_string(i)))) << i;
    ASSERT_TRUE(srv.Join(slow, Wordy("SLOW")));
    std::vector<QorConnection> idle(static_cast<size_t>(aIdle));
    ASSERT_TRUE(JoinIdle(srv, idle));
    // The slow listener reads nothing until the talk is over: the lists of
    // the comings and goings and the frames pile up in the server's output
    // buffer once its socket is full, and the frames behind them must queue,
    // not overtake. A small receive buffer makes its socket full soon.
    const int small = 16384;
    ::setsockopt(slow.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    // Six stations, the idle ones and the Parrot.
    const int all = kReaders + 3 + aIdle;
    ASSERT_TRUE(WaitForListOf(talker, all));
    for (QorConnection& r : readers) ASSERT_TRUE(WaitForListOf(r, all));
    ASSERT_TRUE(WaitForListOf(slow, all));
    std::string frame;
    ASSERT_TRUE(talker.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(talker.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);

    std::vector<std::string> outcome(kReaders);
    std::vector<std::thread> readerThreads;
    for (int i = 0; i < kReaders; ++i)
        readerThreads.emplace_back([&, i] { outcome[i] = ReadTalk(readers[i], kFrames); });

    // Stations come and go during the talk: each joins (its answer must be
    // the first thing it reads), lets a batch start, hears its first frame
    // and leaves while the rest of the batch is on its way; every other one
    // vanishes with a reset instead of a close.
    std::atomic<int> joined{0}, batchesSent{0};
    std::atomic<bool> stop{false};
    std::string churnError;
    const auto waitFor = [&](const std::atomic<int>& aCount, int aAtLeast) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (aCount.load() < aAtLeast && !stop.load() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return aCount.load() >= aAtLeast;
    };
    std::thread churn([&] {
        for (int n = 0; n < kBatches; ++n) {
            QorConnection c;
            auto in = srv.Join(c, Wordy("C" + std::to_string(n)));
            if (!in) {
                churnError = "station " + std::to_string(n) + ": " + in.message();
                stop.store(true);
                return;
            }
            // Seven stations, the Parrot and this one: a member now, which
            // hears the batch.
            if (!WaitForListOf(c, all + 1)) {
                churnError = "station " + std::to_string(n) + " saw no list";
                stop.store(true);
                return;
            }
            joined.store(n + 1);
            if (!waitFor(batchesSent, n + 1)) return;
            std::string f;
            if (c.WaitForFrame(kFrameSound, f, 20000) != ReadStatus::Ok) {
                churnError = "station " + std::to_string(n) + " heard no frame";
                stop.store(true);
                return;
            }
            if (n % 2 == 1) {
                const linger reset{1, 0};
                ::setsockopt(c.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            c.Close();
        }
    });

    for (int b = 0; b < kBatches; ++b) {
        ASSERT_TRUE(waitFor(joined, b + 1)) << churnError;
        for (int k = 0; k < kPerBatch; ++k)
            ASSERT_TRUE(talker.SendAll(CmdSound(Payload(b * kPerBatch + k)), 5000));
        batchesSent.store(b + 1);
    }
    for (std::thread& t : readerThreads) t.join();
    churn.join();
    EXPECT_EQ(churnError, "");
    for (int i = 0; i < kReaders; ++i) EXPECT_EQ(outcome[i], "") << "reader " << i;
    EXPECT_EQ(ReadTalk(slow, kFrames), "");

    ASSERT_TRUE(talker.SendAll(CmdRx0(), 5000));
    talker.Close();
    slow.Close();
    for (QorConnection& r : readers) r.Close();
    for (QorConnection& i : idle) i.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

TEST(RelayThreads, EveryListenerHearsEveryFrameInOrderWhileStationsComeAndGo) {
    HearTalkWhileStationsComeAndGo(0);
}

TEST(RelayThreads, FramesKeepTheirPlaceBehindListsSentByTheirPages) {
    // As the program has it: the page path needs SIGPIPE ignored.
    ::signal(SIGPIPE, SIG_IGN);
    const size_t before = plat::SockPagesSends();
    HearTalkWhileStationsComeAndGo(130);
    EXPECT_GT(plat::SockPagesSends(), before);
}

// Without a talk: while stations join and leave, every member gets the same
// client lists, byte for byte and in the same order, including lists long
// enough to go by their pages.
TEST(RelayThreads, EveryMemberGetsTheSameListsWhileStationsComeAndGo) {
    ::signal(SIGPIPE, SIG_IGN);
    LoopbackService srv(CrowdConfig());
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv);
    ASSERT_TRUE(srv.Start());

    constexpr int kMembers = 12;
    constexpr int kComers = 6;
    // The watcher paces the comings and goings; the members read only at the end.
    constexpr int kIdle = 130;  // long lists, sent by their pages
    QorConnection watch;
    std::vector<QorConnection> members(kMembers), idle(kIdle);
    ASSERT_TRUE(srv.Join(watch, Wordy("WATCH")));
    ASSERT_TRUE(JoinIdle(srv, idle));
    for (int i = 0; i < kMembers; ++i)
        ASSERT_TRUE(srv.Join(members[i], Wordy("M" + std::to_string(i)))) << i;
    // The members, the watcher and the Parrot: from here on every member
    // gets every list.
    constexpr long kAll = kMembers + kIdle + 2;
    for (QorConnection& m : members) ASSERT_TRUE(WaitForListOf(m, kAll));
    ASSERT_TRUE(WaitForListOf(watch, kAll));
    const size_t before = plat::SockPagesSends();

    // One at a time: each comer's list is out before it leaves, and the one
    // of its leaving before the next comes.
    for (int n = 0; n < kComers; ++n) {
        QorConnection c;
        ASSERT_TRUE(srv.Join(c, Wordy("C" + std::to_string(n))));
        ASSERT_TRUE(WaitForListOf(watch, kAll + 1));
        c.Close();
        ASSERT_TRUE(WaitForListOf(watch, kAll));
    }
    // What members[0] saw is what every member must see, up to the last list.
    std::vector<std::vector<std::string>> lists(kMembers);
    for (int i = 0; i < kMembers; ++i) {
        std::string frame;
        int back = 0;
        while (back < kComers) {
            ASSERT_EQ(members[i].ReadFrame(frame, 20000), ReadStatus::Ok) << "member " << i;
            if (ListCount(frame) < 0) continue;
            lists[i].push_back(frame);
            if (ListCount(frame) == kAll) ++back;
        }
    }
    for (int i = 1; i < kMembers; ++i) {
        ASSERT_EQ(lists[i].size(), lists[0].size()) << "member " << i;
        for (size_t k = 0; k < lists[0].size(); ++k)
            EXPECT_TRUE(lists[i][k] == lists[0][k]) << "member " << i << ", list " << k;
    }
    EXPECT_GE(lists[0].size(), size_t{2 * kComers});
    EXPECT_GE(lists[0].back().size(), kSharedFramePagedFrom);
    EXPECT_GT(plat::SockPagesSends(), before);

    for (QorConnection& m : members) m.Close();
    for (QorConnection& i : idle) i.Close();
    watch.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

// What a listener hears of one talker, in order: frame n as n, note n (a
// text the talker sent between its frames) as -1 - n.
using Heard = std::vector<int>;

std::string Note(int aN) { return "note " + std::to_string(aN) + " "; }

// Reads until every item of aWant was heard; empty when they came in that
// order, else what went wrong. Pings, lists and the floor's frames are skipped.
std::string ReadInOrder(QorConnection& aConn, const Heard& aWant) {
    std::string frame;
    for (size_t i = 0; i < aWant.size();) {
        const ReadStatus st = aConn.ReadFrame(frame, 20000);
        if (st != ReadStatus::Ok) return "item " + std::to_string(i) + ": " + ReadStatusText(st);
        int got;
        if (static_cast<uint8_t>(frame[0]) == kFrameSound && frame.size() == kSoundFrame) {
            const std::string payload = frame.substr(kSoundFrame - kSoundPayload);
            if (IsSilence(payload)) continue;
            got = (static_cast<uint8_t>(payload[0]) << 8) | static_cast<uint8_t>(payload[1]);
            if (payload != Payload(got)) return "item " + std::to_string(i) + ": a garbled frame";
        } else if (static_cast<uint8_t>(frame[0]) == kFrameText) {
            const size_t at = frame.find("note ");
            if (at == std::string::npos) continue;
            got = -1 - std::stoi(frame.substr(at + 5));
        } else {
            continue;
        }
        if (got != aWant[i])
            return "item " + std::to_string(i) + ": heard " + std::to_string(got) + ", not " +
                   std::to_string(aWant[i]);
        ++i;
    }
    return {};
}

// The station asks for the floor and is granted it.
bool TakeFloor(QorConnection& aConn) {
    std::string frame;
    return aConn.SendAll(CmdTx0(), 5000) &&
           aConn.WaitForFrame(kFrameTxApproval, frame, 20000) == ReadStatus::Ok;
}

// The heartbeat comes to read the sockets of aCount floor holders.
bool HeartbeatReads(LoopbackService& aSrv, int aCount) {
    return WaitFor([&] { return aSrv.svc->TalkersReadByHeartbeat() == aCount; });
}

// While a member holds the floor the heartbeat itself reads its socket. What
// the member sends must come out as if its worker read it: every frame and
// every text in the order sent, over floors taken and let go again and
// again, and a talker that closes mid-talk is heard to its last frame and
// lets the floor go, so that the next one is heard.
TEST(RelayThreads, AFloorHoldersFramesAndTextsKeepTheirOrderAcrossFloorsAndCloses) {
    TQORServiceConfig cfg = LoopbackConfig();
    LoopbackService srv(cfg);
    srv.svc->SetClientActivityTimeout(30);
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv);
    ASSERT_TRUE(srv.Start());

    constexpr int kReaders = 3;
    QorConnection talker, next, resetter;
    std::vector<QorConnection> readers(kReaders);
    ASSERT_TRUE(srv.Join(talker, Station("talk@example.org", "TALK")));
    ASSERT_TRUE(srv.Join(next, Station("next@example.org", "NEXT")));
    ASSERT_TRUE(srv.Join(resetter, Station("rst@example.org", "RST")));
    for (int i = 0; i < kReaders; ++i)
        ASSERT_TRUE(srv.Join(readers[i], Station("r" + std::to_string(i) + "@example.org",
                                                 "R" + std::to_string(i))));
    // Six stations and the Parrot.
    for (QorConnection& r : readers) ASSERT_TRUE(WaitForListOf(r, kReaders + 4));
    ASSERT_TRUE(WaitForListOf(talker, kReaders + 4));
    std::string frame;

    // Output for a floor holder goes out from the thread that reads it.
    ASSERT_TRUE(TakeFloor(talker));
    ASSERT_TRUE(HeartbeatReads(srv, 1));
    ASSERT_TRUE(readers[0].SendAll(CmdText("hello talker"), 5000));
    bool greeted = false;
    while (!greeted && talker.WaitForFrame(kFrameText, frame, 20000) == ReadStatus::Ok)
        greeted = frame.find("hello talker") != std::string::npos;
    ASSERT_TRUE(greeted);
    ASSERT_TRUE(talker.SendAll(CmdRx0(), 5000));
    ASSERT_TRUE(HeartbeatReads(srv, 0));

    Heard want;
    int seq = 0, notes = 0;
    // Floor after floor, with a text after every third frame.
    for (int floor = 0; floor < 4; ++floor) {
        ASSERT_TRUE(TakeFloor(talker)) << floor;
        ASSERT_TRUE(HeartbeatReads(srv, 1)) << "floor " << floor << " is not read by the heartbeat";
        for (int k = 0; k < 9; ++k) {
            ASSERT_TRUE(talker.SendAll(CmdSound(Payload(seq)), 5000));
            want.push_back(seq++);
            if (k % 3 == 2) {
                ASSERT_TRUE(talker.SendAll(CmdText(Note(notes)), 5000));
                want.push_back(-1 - notes++);
            }
        }
        ASSERT_TRUE(talker.SendAll(CmdRx0(), 5000));
        ASSERT_TRUE(HeartbeatReads(srv, 0)) << "floor " << floor << " was let go but not given back";
    }
    // A talker that closes mid-talk: what it sent before is heard, and the
    // floor is free for the next one.
    ASSERT_TRUE(TakeFloor(talker));
    ASSERT_TRUE(HeartbeatReads(srv, 1));
    for (int k = 0; k < 5; ++k) {
        ASSERT_TRUE(talker.SendAll(CmdSound(Payload(seq)), 5000));
        want.push_back(seq++);
    }
    talker.Close();
    ASSERT_TRUE(HeartbeatReads(srv, 0));
    ASSERT_TRUE(TakeFloor(next));
    ASSERT_TRUE(HeartbeatReads(srv, 1));
    for (int k = 0; k < 5; ++k) {
        ASSERT_TRUE(next.SendAll(CmdSound(Payload(seq)), 5000));
        want.push_back(seq++);
    }
    ASSERT_TRUE(next.SendAll(CmdRx0(), 5000));
    // One that vanishes with a reset while it holds the floor.
    ASSERT_TRUE(HeartbeatReads(srv, 0));
    ASSERT_TRUE(TakeFloor(resetter));
    ASSERT_TRUE(HeartbeatReads(srv, 1));
    const linger reset{1, 0};
    ::setsockopt(resetter.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    resetter.Close();
    ASSERT_TRUE(HeartbeatReads(srv, 0));
    ASSERT_TRUE(TakeFloor(next));
    ASSERT_TRUE(next.SendAll(CmdSound(Payload(seq)), 5000));
    want.push_back(seq++);

    for (int i = 0; i < kReaders; ++i) EXPECT_EQ(ReadInOrder(readers[i], want), "") << "reader " << i;
    // Only the two that left are gone: the rest are still members.
    for (QorConnection& r : readers) EXPECT_TRUE(WaitForListOf(r, kReaders + 2));
    next.Close();
    for (QorConnection& r : readers) r.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

// The activity time-out of a floor holder that sends nothing is judged by
// the heartbeat while it reads it: the silent one is dropped, a member that
// sends keep-alives stays.
TEST(RelayThreads, ASilentFloorHolderReadByTheHeartbeatTimesOut) {
    TQORServiceConfig cfg = LoopbackConfig();
    cfg.ClientActivityTimeout = 3;
    LoopbackService srv(cfg);
    srv.svc->SetClientActivityTimeout(3);
    srv.svc->SetLogClientLevel(9);
    TQORServiceNetOptions serv;
    serv.sno_LogClientLevel = 9;
    srv.svc->LoadNetworks(serv);
    ASSERT_TRUE(srv.Start());
    QorConnection silent, alive;
    ASSERT_TRUE(srv.Join(silent, Station("silent@example.org", "SILENT")));
    ASSERT_TRUE(srv.Join(alive, Station("alive@example.org", "ALIVE")));
    ASSERT_TRUE(WaitForListOf(alive, 3));
    std::atomic<bool> done{false};
    // A real client's keep-alive, on the raw socket (the test's thread reads).
    std::thread keepAlive([&] {
        const std::string p = CmdKeepAlive();
        while (!done.load()) {
            (void)::send(alive.Fd(), p.data(), p.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    std::string frame;
    EXPECT_TRUE(silent.SendAll(CmdTx0(), 5000));
    EXPECT_EQ(silent.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    EXPECT_TRUE(WaitFor([&] { return srv.svc->TalkersReadByHeartbeat() == 1; }));
    EXPECT_TRUE(WaitFor([&] { return srv.LogHas("DISCONNECT_TIMEOUT EMail=`silent"); }));
    EXPECT_EQ(srv.svc->TalkersReadByHeartbeat(), 0);
    EXPECT_TRUE(WaitForListOf(alive, 2));
    done.store(true);
    keepAlive.join();
    EXPECT_FALSE(srv.LogHas("DISCONNECT_TIMEOUT EMail=`alive"));
    alive.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

// Every work item made while it lives fails as if memory had run out.
class NoWorkItems {
  public:
    NoWorkItems() { TQORSVCWorker::TestItemsFail.store(true); }
    ~NoWorkItems() { TQORSVCWorker::TestItemsFail.store(false); }
    NoWorkItems(const NoWorkItems&) = delete;
    NoWorkItems& operator=(const NoWorkItems&) = delete;
};

// A floor holder's way back from the heartbeat to its worker needs no memory
// then: with no work item to be had, one that lets the floor go is still
// served (it takes the floor again and is heard), and one that closes while
// lent is reported gone. A floor holder whose worker cannot make its way back
// is not lent at all, is heard all the same, and is lent again on its next
// floor once memory is back.
TEST(RelayThreads, AFloorHolderIsServedWhenNoWorkItemCanBeMade) {
    LoopbackService srv(LoopbackConfig());
    srv.svc->SetClientActivityTimeout(30);
    srv.svc->LoadNetworks(TQORServiceNetOptions{});
    ASSERT_TRUE(srv.Start());
    QorConnection talker, next, reader;
    ASSERT_TRUE(srv.Join(talker, Station("talk@example.org", "TALK")));
    ASSERT_TRUE(srv.Join(next, Station("next@example.org", "NEXT")));
    ASSERT_TRUE(srv.Join(reader, Station("read@example.org", "READ")));
    // Three stations and the Parrot.
    ASSERT_TRUE(WaitForListOf(reader, 4));
    int seq = 0;
    auto heard = [&](QorConnection& aConn) {
        const int sent = seq++;
        if (!aConn.SendAll(CmdSound(Payload(sent)), 5000)) return std::string("not sent");
        return ReadInOrder(reader, {sent});
    };

    ASSERT_TRUE(TakeFloor(talker));
    ASSERT_TRUE(HeartbeatReads(srv, 1));
    {
        NoWorkItems none;
        EXPECT_EQ(heard(talker), "");
        ASSERT_TRUE(talker.SendAll(CmdRx0(), 5000));
        ASSERT_TRUE(HeartbeatReads(srv, 0));
        // Its worker has it back only if it answers again.
        ASSERT_TRUE(TakeFloor(talker));
        EXPECT_EQ(heard(talker), "");
        EXPECT_EQ(srv.svc->TalkersReadByHeartbeat(), 0) << "lent without its way back";
        ASSERT_TRUE(talker.SendAll(CmdRx0(), 5000));
        ASSERT_TRUE(TakeFloor(next));
        EXPECT_EQ(heard(next), "");
        ASSERT_TRUE(next.SendAll(CmdRx0(), 5000));
    }
    // Memory is back: the next floor is lent again.
    ASSERT_TRUE(TakeFloor(talker));
    ASSERT_TRUE(HeartbeatReads(srv, 1));
    EXPECT_EQ(heard(talker), "");
    {
        // A close while lent goes back with its end.
        NoWorkItems none;
        talker.Close();
        EXPECT_TRUE(WaitForListOf(reader, 3));
        EXPECT_TRUE(HeartbeatReads(srv, 0));
    }
    ASSERT_TRUE(TakeFloor(next));
    EXPECT_EQ(heard(next), "");
    next.Close();
    reader.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

}  // namespace
