// The service object driven by hand on one thread: its settings, keys and
// counters, the heartbeat pass under an injected clock, the main-queue
// dispatcher and the flush protocol. No thread of the service runs here.
#include "server/gax_qor_svc_server_id.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/gax_strutils.h"

namespace gax {
namespace {

class FakeClock final : public TQORClock {
  public:
    explicit FakeClock(uint32_t aTick) : f_Tick(aTick) {}
    uint32_t Tick() const override { return f_Tick; }
    int64_t UnixSeconds() const override { return 1700000000 + f_Tick / 1000; }
    void Set(uint32_t aTick) { f_Tick = aTick; }
    void Advance(uint32_t aMs) { f_Tick += aMs; }

  private:
    uint32_t f_Tick;
};

class FakeNetwork final : public TQORSVCNetwork {
  public:
    explicit FakeNetwork(std::u16string aName) : f_Name(std::move(aName)) {}
    std::u16string NetName() const override { return f_Name; }
    uint32_t PingBase() const override { return f_PingBase; }
    void SetPingBase(uint32_t aTick) override { f_PingBase = aTick; }
    bool PingWanted() const override { return Wanted; }
    bool HasCommands() const override { return false; }
    bool PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>&) override { return false; }
    bool NetHeartBeat(bool aPing, uint32_t aTick) override {
        if (Throw) throw std::runtime_error("network broke");
        if (aPing) {
            Pings.push_back(aTick);
            f_PingBase += 500;
        }
        return false;
    }
    bool SpeechPauseOn() const override { return PauseOn; }
    uint32_t SpeechPauseStartTick() const override { return PauseStart; }
    uint32_t SpeechPauseTicks() const override { return PauseTicks; }
    void EndSpeechPause() override { PauseOn = false; }
    bool ParrotBusy() const override { return Parrot; }
    void ParrotHeartBeat(uint32_t) override {}
    void AppendSnapshot(TQORSVCListKind aKind, TQORSVCWriteArray& aLines) const override {
        aLines.push_back(UnicodeToByteStr(f_Name) + ":" + std::to_string(static_cast<int>(aKind)));
    }

    std::vector<uint32_t> Pings;
    bool Throw = false;
    bool Wanted = true;
    bool PauseOn = false;
    uint32_t PauseStart = 0, PauseTicks = 0;
    bool Parrot = false;

  private:
    std::u16string f_Name;
    uint32_t f_PingBase = 0;
};

class FakeMoved final : public TQORSVCMovedClient {
  public:
    explicit FakeMoved(int32_t aLeft) : f_Left(aLeft) {}
    TQORSVCCtxRef MovedCtxRef() const override { return {this, 77}; }
    int32_t MoveTimeLeft() const override { return f_Left; }
    void SetMoveTimeLeft(int32_t aSeconds) override { f_Left = aSeconds; }
    TQORSVCHandle NetworkNow() const override { return TQORSVCHandle(&f_Now); }
    TQORSVCHandle NetworkMovedFrom() const override { return TQORSVCHandle(&f_From); }

  private:
    struct Net {
        int x = 0;
    };
    int32_t f_Left;
    Net f_Now, f_From;
};

// Writes nothing; records what it was asked and what the server queue held
// at that moment (an answer posted before a write would show here).
class TestDataFiles final : public TQORSVCDataFiles {
  public:
    explicit TestDataFiles(TQORService*& aSvc) : f_Svc(aSvc) {}
    bool WriteList(TQORSVCListKind aKind, const std::u16string&,
                   const TQORSVCWriteArray& aLines) override {
        Writes.push_back(aKind);
        AnswersQueuedAtWrite.push_back(f_Svc->Poster().ServQueue().Count());
        Lines.push_back(aLines);
        if (ThrowOn && *ThrowOn == aKind) throw Exception("disk on fire");
        if (FailAtWrite && *FailAtWrite + 1 == Writes.size()) return false;
        return !(FailOn && *FailOn == aKind);
    }
    bool RereadList(TQORSVCMainQueueCmd, const std::u16string& aFileName) override {
        Rereads.push_back(aFileName);
        return true;
    }

    std::vector<TQORSVCListKind> Writes;
    std::vector<int32_t> AnswersQueuedAtWrite;
    std::vector<TQORSVCWriteArray> Lines;
    std::vector<std::u16string> Rereads;
    std::optional<TQORSVCListKind> FailOn, ThrowOn;
    std::optional<std::size_t> FailAtWrite;  // index of the one write that fails

  private:
    TQORService*& f_Svc;
};

// The service with the dispatcher's records and the reorder steps counted.
class ProbeService final : public TQORService {
  public:
    using TQORService::TQORService;
    std::vector<TQORServNetworkCommand> Seen;
    int Reorders = 0;
    using TQORService::SeedUniqCounter;

  protected:
    bool tmDispatchRecord(TQORSVCNetQueueRecord& aRec) override GAX_REQUIRES(kHeartbeat) {
        Seen.push_back(aRec.nqr_Cmd);
        return TQORService::tmDispatchRecord(aRec);
    }
    void tmWorkerReorderStep() override GAX_REQUIRES(kHeartbeat) { ++Reorders; }
};

class ServiceTest : public ::testing::Test {
  protected:
    // Just below the wrap of the 32-bit tick: every interval below crosses it.
    static constexpr uint32_t T = 0xFFFFFF00u;

    ServiceTest() {
        cfg.cfg_ServerEnabled = true;
        cfg.cfg_DataDirName = u"/data";
        cfg.cfg_BlocksFileName = u"blocks.txt";
        cfg.cfg_NoticesFileName = u"notices.txt";
        cfg.cfg_AdminsFileName = u"admins.txt";
        cfg.cfg_MutesFileName = u"mutes.txt";
        svc = std::make_unique<ProbeService>(cfg, clock);
        raw = svc.get();
        svc->SetDataFiles(&files);
        svc->SetLogData(true);
        svc->SetLogHandOffInline();
        svc->OnFifo = [this] {
            std::u16string line;
            while (svc->GetFifo(line)) log.push_back(UnicodeToByteStr(line));
        };
    }

    void Sync(uint32_t aTick) {
        TQORRoleScope role(kHeartbeat);
        clock.Set(aTick);
        svc->tmSetTimerSync(aTick);
    }
    void PassAt(uint32_t aTick) {
        TQORRoleScope role(kHeartbeat);
        clock.Set(aTick);
        svc->tm_Pinger();
    }
    void RunMainQueue() {
        TQORRoleScope role(kServiceThread);
        while (svc->Poster().MainQueue().Count() > 0) svc->trMainQueueBatch();
    }
    // Commands and answers waiting in the server queue, oldest first.
    std::vector<std::unique_ptr<TQORSVCNetQueueRecord>> TakeServQueue() {
        std::vector<std::unique_ptr<TQORSVCNetQueueRecord>> out;
        while (auto r = svc->Poster().ServQueue().Pull()) out.push_back(std::move(r));
        return out;
    }
    bool Logged(const std::string& aLine) const {
        return std::find(log.begin(), log.end(), aLine) != log.end();
    }

    TQORServiceConfig cfg;
    FakeClock clock{T};
    TQORService* raw = nullptr;
    TestDataFiles files{raw};
    std::unique_ptr<ProbeService> svc;
    std::vector<std::string> log;
};

// ---------------------------------------------------------------- settings

TEST_F(ServiceTest, SettersClampToTheirLimits) {
    struct Case {
        const char* what;
        std::function<void(TQORService&)> set;
        std::function<int64_t(const TQORService&)> get;
        int64_t expected;
    };
    const Case cases[] = {
        {"activity 1", [](auto& s) { s.SetClientActivityTimeout(1); },
         [](auto& s) { return s.ClientActivityTimeoutTicks(); }, 3000},
        {"activity 0", [](auto& s) { s.SetClientActivityTimeout(0); },
         [](auto& s) { return s.ClientActivityTimeoutTicks(); }, 8000},
        {"activity 50", [](auto& s) { s.SetClientActivityTimeout(50); },
         [](auto& s) { return s.ClientActivityTimeoutTicks(); }, 30000},
        {"activity 12", [](auto& s) { s.SetClientActivityTimeout(12); },
         [](auto& s) { return s.ClientActivityTimeout(); }, 12},
        {"handshake -1", [](auto& s) { s.SetClientHandshakeTimeout(-1); },
         [](auto& s) { return s.ClientHandshakeTimeoutTicks(); }, 2000},
        {"handshake 25", [](auto& s) { s.SetClientHandshakeTimeout(25); },
         [](auto& s) { return s.ClientHandshakeTimeout(); }, 20},
        {"speech 0", [](auto& s) { s.SetServMaxSpeechTime(0); },
         [](auto& s) { return s.ServMaxSpeechTicks(); }, 300000},
        {"speech 5", [](auto& s) { s.SetServMaxSpeechTime(5); },
         [](auto& s) { return s.ServMaxSpeechTime(); }, 10},
        {"speech 2000", [](auto& s) { s.SetServMaxSpeechTime(2000); },
         [](auto& s) { return s.ServMaxSpeechTicks(); }, 1800000},
        {"pause 20000", [](auto& s) { s.SetServSpeechPauseTicks(20000); },
         [](auto& s) { return s.ServSpeechPauseTicks(); }, 10000},
        {"pause 700", [](auto& s) { s.SetServSpeechPauseTicks(700); },
         [](auto& s) { return s.ServSpeechPauseTicks(); }, 700},
        {"quarantine 5000", [](auto& s) { s.SetServQuarantineTicks(5000); },
         [](auto& s) { return s.ServQuarantineTicks(); }, 4000},
        {"backlog 0", [](auto& s) { s.SetServMaxWaitConnections(0); },
         [](auto& s) { return s.ServMaxWaitConnections(); }, 5},
        {"backlog 1", [](auto& s) { s.SetServMaxWaitConnections(1); },
         [](auto& s) { return s.ServMaxWaitConnections(); }, 2},
        {"backlog 200", [](auto& s) { s.SetServMaxWaitConnections(200); },
         [](auto& s) { return s.ServMaxWaitConnections(); }, 200},
        {"backlog 5000", [](auto& s) { s.SetServMaxWaitConnections(5000); },
         [](auto& s) { return s.ServMaxWaitConnections(); }, 1000},
    };
    for (const Case& c : cases) {
        c.set(*svc);
        EXPECT_EQ(c.get(*svc), c.expected) << c.what;
    }
}

TEST_F(ServiceTest, GlobalKeysStartAtOneAndSkipZeroOnWrap) {
    EXPECT_EQ(svc->GetNextUniqCounter(), 1u);
    EXPECT_EQ(svc->GetNextUniqCounter(), 2u);
    EXPECT_EQ(svc->GetNextUniqCounter(), 3u);
    svc->SeedUniqCounter(0xFFFFFFFEu);
    EXPECT_EQ(svc->GetNextUniqCounter(), 0xFFFFFFFFu);
    EXPECT_EQ(svc->GetNextUniqCounter(), 1u);
}

TEST_F(ServiceTest, DataChangeCounterTexts) {
    TQORRoleScope role(kServiceThread);
    const std::regex form("[0-9A-F]{6,}\\.[0-9]{17}");
    const std::string first = UnicodeToByteStr(svc->trGetNextDataChangeCounter());
    EXPECT_TRUE(std::regex_match(first, form)) << first;
    EXPECT_EQ(first.substr(0, 7), "000001.");
    std::string last;
    for (int i = 2; i <= 42; ++i) last = UnicodeToByteStr(svc->trGetNextDataChangeCounter());
    EXPECT_EQ(last.substr(0, 7), "00002A.");
    EXPECT_TRUE(std::regex_match(last, form)) << last;
}

TEST_F(ServiceTest, OnlyTheFirstAbortCounts) {
    EXPECT_TRUE(svc->ServiceAbortThread(u"CTRL-C"));
    EXPECT_FALSE(svc->ServiceAbortThread(u"STOP COMMAND"));
    EXPECT_EQ(svc->AbortMessageText(), u"CTRL-C");
    EXPECT_EQ(svc->Poster().MainQueue().Count(), 1);
}

// ---------------------------------------------------------------- heartbeat grid

TEST(HeartbeatGrid, WaitsForTheNextPointAcrossTheWrap) {
    struct Case {
        uint32_t late;  // ms after the grid base
        uint32_t wait;
        uint32_t baseMoves;
    };
    const Case cases[] = {{0, 100, 0}, {30, 70, 0}, {100, 100, 100}, {350, 50, 300}, {999, 1, 900}};
    for (uint32_t start : {1000u, 0xFFFFFFC0u}) {
        for (const Case& c : cases) {
            uint32_t base = start;
            EXPECT_EQ(HeartbeatGridWait(start + c.late, base), c.wait) << c.late;
            EXPECT_EQ(base, start + c.baseMoves) << c.late;
        }
    }
}

TEST(HeartbeatGrid, AStallBeyondTheSignedRangeRebasesTheGrid) {
    // More than 2^31 ms later the signed difference turns negative: the grid
    // point seems far ahead, a wait the waiter would refuse on every pass.
    uint32_t base = 1000;
    const uint32_t now = 1000 + 0x80000000u + 250;
    EXPECT_EQ(HeartbeatGridWait(now, base), 100u);
    EXPECT_EQ(base, now);
    EXPECT_EQ(HeartbeatGridWait(now + 130, base), 70u);
}

TEST(HeartbeatGrid, ADeadlineWaitsForTheFirstGridPointAtOrAfterIt) {
    struct Case {
        uint32_t grid, due, wait;
    };
    const Case cases[] = {
        {30, 0, 30},
        {30, 30, 30},
        {30, 31, 130},
        {30, 130, 130},
        {30, 250, 330},
        {100, 100, 100},
        {100, 101, 200},
        {1, 499, 501},
        {30, kHeartbeatNoDeadline, 30 + kHeartbeatLongestSleep},
        {30, kHeartbeatLongestSleep + 5000, 30 + kHeartbeatLongestSleep},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HeartbeatDeadlineWait(c.grid, c.due), c.wait) << c.grid << " " << c.due;
}

// ---------------------------------------------------------------- heartbeat pass

TEST_F(ServiceTest, PassCountsOnlyWholeStepsOfTheGrid) {
    Sync(T);
    PassAt(T + 30);  // brought forward by an interrupt
    TQORRoleScope role(kHeartbeat);
    EXPECT_EQ(svc->tmLastPassSteps(), 0u);
    EXPECT_EQ(svc->tmLastHeartBeatTick(), T);
    clock.Set(T + 350);
    svc->tm_Pinger();
    EXPECT_EQ(svc->tmLastPassSteps(), 3u);
    EXPECT_EQ(svc->tmLastHeartBeatTick(), T + 300);
    EXPECT_EQ(svc->tmServerUptime(), 0u);
}

TEST_F(ServiceTest, StepsMakeUptimeAndReorders) {
    Sync(T);
    for (int i = 1; i <= 10; ++i) PassAt(T + 100 * i);
    {
        TQORRoleScope role(kHeartbeat);
        EXPECT_EQ(svc->tmServerUptime(), 1u);
    }
    EXPECT_EQ(svc->Reorders, 0);
    PassAt(T + 1000 + 3500);  // one pass of 35 steps
    TQORRoleScope role(kHeartbeat);
    EXPECT_EQ(svc->tmLastPassSteps(), 35u);
    EXPECT_EQ(svc->tmServerUptime(), 4u);  // 1 + 3, the rest of 35 carried
    EXPECT_EQ(svc->Reorders, 1);
    EXPECT_EQ(svc->tmEpochUTC(), clock.UnixSeconds());
}

TEST_F(ServiceTest, UptimeSeenByTheCommandChannelRunsOnWhileTheHeartbeatSleeps) {
    EXPECT_EQ(svc->CmdServerUptime(), 0u);  // not enabled yet
    Sync(T);
    clock.Set(T + 999);
    EXPECT_EQ(svc->CmdServerUptime(), 0u);
    PassAt(T + 1250);
    EXPECT_EQ(svc->CmdServerUptime(), 1u);
    clock.Set(T + 5300);  // no pass: nothing was due
    EXPECT_EQ(svc->CmdServerUptime(), 5u);
    PassAt(T + 5400);
    TQORRoleScope role(kHeartbeat);
    EXPECT_EQ(svc->tmServerUptime(), 5u);  // the heartbeat's own count agrees
    EXPECT_EQ(svc->CmdServerUptime(), 5u);
}

TEST_F(ServiceTest, NetworkPingsFallOnFivePhases) {
    std::vector<FakeNetwork*> nets;
    for (int i = 0; i < 7; ++i) {
        auto n = std::make_unique<FakeNetwork>(u"N" + IntToDecStrW(i));
        nets.push_back(n.get());
        svc->AddNetwork(std::move(n));
    }
    Sync(T);
    for (uint32_t ms = 100; ms <= 1000; ms += 100) PassAt(T + ms);
    const uint32_t first[7] = {500, 400, 300, 200, 100, 500, 400};
    for (int i = 0; i < 7; ++i) {
        ASSERT_EQ(nets[i]->Pings.size(), 2u) << i;
        EXPECT_EQ(nets[i]->Pings[0], T + first[i]) << i;
        EXPECT_EQ(nets[i]->Pings[1], T + first[i] + 500) << i;
    }
}

TEST_F(ServiceTest, NextDeadlineIsTheNearestDutyAndNoneWithoutWork) {
    auto owned = std::make_unique<FakeNetwork>(u"A");
    FakeNetwork& net = *owned;
    svc->AddNetwork(std::move(owned));
    Sync(T);  // the network's ping base is T
    auto due = [&](uint32_t aNow) {
        TQORRoleScope role(kHeartbeat);
        return svc->tmNextDeadline(aNow);
    };
    net.Wanted = false;
    EXPECT_EQ(due(T + 30), kHeartbeatNoDeadline);  // no client, nothing timed: sleep
    net.Wanted = true;
    EXPECT_EQ(due(T + 30), 470u);  // its ping point
    EXPECT_EQ(due(T + 600), 0u);   // a ping point already passed: the next grid point
    net.Wanted = false;
    net.PauseOn = true;
    net.PauseStart = T + 20;
    net.PauseTicks = 1500;
    EXPECT_EQ(due(T + 30), 1490u);  // the pause's end
    net.PauseOn = false;
    FakeMoved moved(5);
    {
        TQORRoleScope role(kHeartbeat);
        svc->tmAddTempMoved(&moved);
    }
    EXPECT_EQ(due(T + 30), 970u);  // the whole second of a temporary move
    {
        TQORRoleScope role(kHeartbeat);
        svc->tmRemoveTempMoved(&moved);
    }
    net.Parrot = true;
    EXPECT_EQ(due(T + 30), 0u);  // a busy Parrot plays on the grid
    net.Parrot = false;
    svc->Poster().ServQueue_ServerStopDisconnectAll();
    EXPECT_EQ(due(T + 30), 0u);  // a record waits
    TakeServQueue();
    EXPECT_EQ(due(T + 30), kHeartbeatNoDeadline);
}

TEST_F(ServiceTest, ANetworkThatSleptThroughItsPingsPingsOnceOnItsPhase) {
    auto owned = std::make_unique<FakeNetwork>(u"A");
    FakeNetwork& net = *owned;
    svc->AddNetwork(std::move(owned));
    Sync(T);
    net.Wanted = false;
    PassAt(T + 3700);  // woken by a record after 3.7 s asleep
    ASSERT_EQ(net.Pings.size(), 1u);
    EXPECT_EQ(net.PingBase(), T + 3500);  // still on the phase of T
    net.Wanted = true;
    TQORRoleScope role(kHeartbeat);
    EXPECT_EQ(svc->tmNextDeadline(T + 3700), 300u);
}

TEST_F(ServiceTest, TemporaryMoveEndsWithOneMoveBack) {
    FakeMoved moved(2);
    {
        TQORRoleScope role(kHeartbeat);
        svc->tmAddTempMoved(&moved);
    }
    Sync(T);
    PassAt(T + 3000);
    EXPECT_EQ(moved.MoveTimeLeft(), 0);
    PassAt(T + 5000);
    const auto backs = std::count(svc->Seen.begin(), svc->Seen.end(),
                                  TQORServNetworkCommand::snc_MoveClientAutoBack);
    EXPECT_EQ(backs, 1);
}

TEST_F(ServiceTest, AcceptedConnectionsAreClosedByThePass) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    svc->Poster().ServQueue_ConnectClient(fds[0], std::string(4, '\x7f'), 5000);
    Sync(T);
    PassAt(T + 100);
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);  // closed, not leaked with its record
    char c;
    EXPECT_EQ(::read(fds[1], &c, 1), 0);  // the peer sees the close
    ::close(fds[1]);
}

// ---------------------------------------------------------------- flush protocol

TEST_F(ServiceTest, FlushWithNothingChangedAnswersAfterEveryWrite) {
    struct Ctx {
        int x = 0;
    } ctx;
    svc->AddNetwork(std::make_unique<FakeNetwork>(u"A"));
    Sync(T);
    svc->Poster().ServQueue_ChannelFlushData({&ctx, 9});
    PassAt(T + 100);
    // Six snapshots, then the flush request.
    EXPECT_EQ(svc->Poster().MainQueue().Count(), 7);
    RunMainQueue();
    const std::vector<TQORSVCListKind> order = {
        TQORSVCListKind::Mutes,  TQORSVCListKind::Blocks, TQORSVCListKind::Admins,
        TQORSVCListKind::Modes,  TQORSVCListKind::Rights, TQORSVCListKind::Notices};
    EXPECT_EQ(files.Writes, order);
    EXPECT_EQ(files.AnswersQueuedAtWrite, std::vector<int32_t>(6, 0));
    EXPECT_EQ(files.Lines[3], TQORSVCWriteArray{"A:3"});
    auto answers = TakeServQueue();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0]->nqr_Cmd, TQORServNetworkCommand::snc_ChannelCommandAnswer);
    EXPECT_TRUE(answers[0]->nqr_Context.Is(&ctx));
    EXPECT_EQ(answers[0]->nqr_GlobalKey, 9u);
    EXPECT_EQ(answers[0]->nqr_DataS1, "+OK\r\n");
    EXPECT_TRUE(Logged("Mutes are saved: /data/mutes.txt"));
}

TEST_F(ServiceTest, APassThatRaisesStillPostsItsSnapshotsAndFlush) {
    struct Ctx {
        int x = 0;
    } ctx;
    auto net = std::make_unique<FakeNetwork>(u"B");
    net->Throw = true;
    svc->AddNetwork(std::move(net));
    Sync(T);
    svc->Poster().ServQueue_ChannelFlushData({&ctx, 3});
    {
        TQORRoleScope role(kHeartbeat);
        clock.Set(T + 500);
        EXPECT_THROW(svc->tm_Pinger(), std::runtime_error);
    }
    EXPECT_EQ(svc->Poster().MainQueue().Count(), 7);
    RunMainQueue();
    auto answers = TakeServQueue();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0]->nqr_DataS1, "+OK\r\n");
}

TEST_F(ServiceTest, FlushAfterAFailedWriteAnswersError) {
    struct Ctx {
        int x = 0;
    } ctx;
    Sync(T);
    for (auto fail : {std::optional(TQORSVCListKind::Rights), std::optional<TQORSVCListKind>()}) {
        files.FailOn = fail;
        svc->Poster().ServQueue_ChannelFlushData({&ctx, 1});
        PassAt(clock.Tick() + 100);
        RunMainQueue();
        auto answers = TakeServQueue();
        ASSERT_EQ(answers.size(), 1u);
        // The failure is reported once; the next flush that writes all is +OK.
        EXPECT_EQ(answers[0]->nqr_DataS1, fail ? "-ERROR\r\n" : "+OK\r\n");
    }
    files.FailOn.reset();
    files.ThrowOn = TQORSVCListKind::Admins;
    svc->Poster().ServQueue_ChannelFlushData({&ctx, 1});
    PassAt(clock.Tick() + 100);
    RunMainQueue();
    EXPECT_EQ(files.Writes.size(), 18u);  // the batch went on after the raise
    EXPECT_TRUE(Logged("ERROR: Saving list of admins: Exception: disk on fire"));
    auto answers = TakeServQueue();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0]->nqr_DataS1, "-ERROR\r\n");
}

// Two flushes asked in two passes before the service thread runs: each is
// answered after its own pass's writes, and only a write it covers can fail it.
TEST_F(ServiceTest, EachFlushWaitsForItsOwnPassesWrites) {
    struct Ctx {
        int x = 0;
    } a, b;
    Sync(T);
    svc->Poster().ServQueue_ChannelFlushData({&a, 1});
    PassAt(T + 100);
    svc->Poster().ServQueue_ChannelFlushData({&b, 2});
    PassAt(T + 200);
    files.FailAtWrite = 10;  // the second pass's Rights
    RunMainQueue();
    ASSERT_EQ(files.Writes.size(), 12u);
    // While the second pass's lists are written only the first answer is out.
    EXPECT_EQ(std::vector<int32_t>(files.AnswersQueuedAtWrite.begin() + 6,
                                   files.AnswersQueuedAtWrite.end()),
              std::vector<int32_t>(6, 1));
    auto answers = TakeServQueue();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_TRUE(answers[0]->nqr_Context.Is(&a));
    EXPECT_EQ(answers[0]->nqr_DataS1, "+OK\r\n");
    EXPECT_TRUE(answers[1]->nqr_Context.Is(&b));
    EXPECT_EQ(answers[1]->nqr_DataS1, "-ERROR\r\n");
}

TEST_F(ServiceTest, ChangedListsAndOwnerAreSnapshotOnce) {
    Sync(T);
    svc->Poster().ServQueue_BlocksListChanged();
    svc->Poster().ServQueue_BlocksListChanged();
    {
        TQORRoleScope role(kHeartbeat);
        svc->tmSetOwnerInfo("AB", "C");
    }
    PassAt(T + 100);
    PassAt(T + 200);
    RunMainQueue();
    EXPECT_EQ(files.Writes,
              (std::vector<TQORSVCListKind>{TQORSVCListKind::Blocks, TQORSVCListKind::Owner}));
    EXPECT_EQ(files.Lines[1], TQORSVCWriteArray{"CALLSIGN|4142|43\r\n"});
}

// ---------------------------------------------------------------- main queue

TEST_F(ServiceTest, UnknownCommandIsLoggedAndTheBatchGoesOn) {
    auto rec = std::make_unique<TQORSVCMainQueueRec>();
    rec->fsmqr_Cmd = static_cast<TQORSVCMainQueueCmd>(99);
    svc->Poster().MainQueue().Push(std::move(rec));
    svc->Poster().MainQueue().EnqueueString(TQORSVCMainQueueCmd::fsmqc_IntFlagsChanged, u"f.txt");
    RunMainQueue();
    EXPECT_TRUE(Logged("ERROR: Main thread: Unknown cmd: 99"));
    EXPECT_TRUE(Logged("IntFlags are changed from file: f.txt"));
}

TEST_F(ServiceTest, RereadAnswersTheAskingContext) {
    struct Ctx {
        int x = 0;
    } ctx;
    svc->Poster().MainQueue_RereadAdmins(u"", {&ctx, 5});
    svc->Poster().MainQueue_RereadMutes(u"/tmp/m.txt", {&ctx, 6});
    RunMainQueue();
    ASSERT_EQ(files.Rereads.size(), 2u);
    EXPECT_EQ(files.Rereads[0], u"/data/admins.txt");
    EXPECT_EQ(files.Rereads[1], u"/tmp/m.txt");
    EXPECT_FALSE(std::any_of(log.begin(), log.end(),
                             [](const std::string& l) { return l.starts_with("Reread admins"); }));
    EXPECT_TRUE(Logged("Reread mutes from: /tmp/m.txt"));
    auto answers = TakeServQueue();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[1]->nqr_GlobalKey, 6u);
    EXPECT_EQ(answers[1]->nqr_DataS1, "+OK\r\n");

    // All lists from their configured files, in their order, without answers;
    // the internal flags log their default file too.
    files.Rereads.clear();
    svc->Poster().MainQueue_RereadALL();
    svc->Poster().MainQueue_RereadIntFlags(u"", {&ctx, 8});
    RunMainQueue();
    ASSERT_EQ(files.Rereads.size(), 7u);
    EXPECT_EQ(files.Rereads[0], u"/data/blocks.txt");
    EXPECT_EQ(files.Rereads[5], u"/data/notices.txt");
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
        return l.starts_with("Reread default internal flags file: ");
    }));
    answers = TakeServQueue();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0]->nqr_GlobalKey, 8u);
}

TEST_F(ServiceTest, DataChangeScriptLineIsLoggedWithLogExec) {
    TQORServiceConfig c;
    c.cfg_SystemDataChangeScript = u"/opt/on change.sh";
    c.cfg_MutesFileName = u"mutes.txt";
    c.ServParams.ssp_LogExec = true;
    c.ServParams.ssp_LogData = true;
    c.cfg_DataDirName = u"/data";
    TQORService s(c, clock);
    TQORService* p = &s;
    TestDataFiles w(p);
    s.SetDataFiles(&w);
    s.SetLogHandOffInline();
    std::vector<std::string> lines;
    s.OnFifo = [&] {
        std::u16string l;
        while (s.GetFifo(l)) lines.push_back(UnicodeToByteStr(l));
    };
    s.Poster().MainQueue().EnqueueData(TQORSVCMainQueueCmd::fsmqc_MutesChanged, {});
    TQORRoleScope role(kServiceThread);
    s.trMainQueueBatch();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Mutes are saved: /data/mutes.txt");
    EXPECT_TRUE(std::regex_match(
        lines[1], std::regex("EXEC: \"/opt/on change.sh\" \"MUTES\" \"/data/mutes.txt\" \"\" "
                             "[0-9]+ 000001\\.[0-9]{17}")))
        << lines[1];
}

}  // namespace
}  // namespace gax

namespace gax {
namespace {

// A log writer that does not keep up: the queue stops at its cap, and the
// lines it dropped are counted in one line once it has drained.
TEST(ServiceLog, FullQueueDropsAndCountsLines) {
    FakeClock clock{1000};
    TQORServiceConfig c;
    TQORService s(c, clock);
    for (int32_t i = 0; i < TQORService::kLogFifoMax + 7; ++i) s.Fifo(u"line");
    std::u16string l;
    int32_t n = 0;
    while (s.GetFifo(l) && l == u"line") ++n;
    EXPECT_EQ(n, TQORService::kLogFifoMax);
    EXPECT_EQ(UnicodeToByteStr(l), "WARNING: Log queue full: 7 lines dropped");
    EXPECT_FALSE(s.GetFifo(l));
    EXPECT_EQ(s.LogLinesDropped(), 7u);
    // Room again: lines pass, and nothing more is reported.
    s.Fifo(u"after");
    ASSERT_TRUE(s.GetFifo(l));
    EXPECT_EQ(UnicodeToByteStr(l), "after");
    EXPECT_FALSE(s.GetFifo(l));
}

}  // namespace
}  // namespace gax
