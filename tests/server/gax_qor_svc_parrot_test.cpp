// The Parrot as its network drives it: bytes in through vSendBytes, ticks
// from a test clock, and what it says read back from the server queue.
#include "server/gax_qor_svc_parrot.h"

#include <gtest/gtest.h>

#include "session_test_support.h"

using namespace gax;
using namespace session_test;

namespace {

struct TestClock : TQORClock {
    uint32_t now = 0x7FFFF000;  // close to a sign change of the tick
    uint32_t Tick() const override { return now; }
    int64_t UnixSeconds() const override { return 1700000000; }
};

// One posted record, reduced to what a test looks at.
struct Post {
    TQORServNetworkCommand cmd;
    std::string data;  // the frame of a sound or a message
    uint32_t tick;     // the clock when it was pulled
};

std::string TalkerFrame(int aSeq) {
    std::string f(kParrotFrameBytes, '\0');
    f[0] = '\x02';
    f[1] = 0;
    f[2] = 5;  // the talker's index, kept as received
    for (int i = 3; i < kParrotFrameBytes; ++i) f[i] = static_cast<char>(aSeq * 7 + i);
    return f;
}

std::string TextFrame(std::string_view aText, char aMarker = '\x04') {
    std::string f(1, aMarker);
    f.append("3\r\n").append("ABCDEFGHIJKLMNOPQRSTUVWX\r\n").append(aText).append("\r\nA\r\n");
    return f;
}

class ParrotTest : public ::testing::Test {
  protected:
    FakeService svc;
    FakeNetwork net{"Test", "Test"};
    TestClock clock;
    TQORSVCParrotOptions opts;
    std::unique_ptr<TQORSVCContextParrot> parrot;
    std::vector<Post> posts;

    void Make(TGaxTick32 aSpeechLimit = 0) {
        opts.ParrotEnable = true;
        parrot = std::make_unique<TQORSVCContextParrot>(&svc, svc, &net, opts, aSpeechLimit, clock);
    }
    void Send(std::string_view aBytes) GAX_REQUIRES(kHeartbeat) {
        parrot->vSendBytes(aBytes.data(), static_cast<int32_t>(aBytes.size()));
        Drain();
    }
    void Byte(char aB) GAX_REQUIRES(kHeartbeat) { Send(std::string_view(&aB, 1)); }
    void Beat() {
        if (parrot->Busy()) parrot->ParrotHeartBeat(clock.now);
        Drain();
    }
    void Drain() {
        while (auto rec = svc.poster.ServQueue().Pull()) {
            EXPECT_TRUE(rec->nqr_Context.Is(static_cast<const TQORSVCWrkCtx*>(parrot.get())));
            std::string data = rec->nqr_Cmd == TQORServNetworkCommand::snc_TxSoundLong
                                   ? rec->nqr_DataS1
                                   : rec->nqr_DataS2;
            posts.push_back({rec->nqr_Cmd, std::move(data), clock.now});
        }
    }
    // A talker's transmission of aFrames frames, 200 ms apart, then its end.
    void Talk(int aFrames, int aFirstSeq = 0) GAX_REQUIRES(kHeartbeat) {
        for (int i = 0; i < aFrames; ++i) {
            Send(TalkerFrame(aFirstSeq + i));
            clock.now += 200;
        }
        Byte('\x00');
    }
    int Count(TQORServNetworkCommand aCmd) const {
        int n = 0;
        for (const Post& p : posts) n += p.cmd == aCmd;
        return n;
    }
    std::vector<Post> Sounds() const {
        std::vector<Post> v;
        for (const Post& p : posts)
            if (p.cmd == TQORServNetworkCommand::snc_TxSoundLong) v.push_back(p);
        return v;
    }
    // Heartbeats every 100 ms until the parrot is idle (or a bound is hit).
    void RunUntilIdle(int aMaxBeats = 5000) {
        for (int i = 0; i < aMaxBeats && parrot->Busy(); ++i) {
            clock.now += 100;
            Beat();
        }
    }
};

TEST_F(ParrotTest, IdentityAsAClient) {
    TQORRoleScope role(kHeartbeat);
    Make();
    EXPECT_EQ(parrot->CtxFlags(), 0x300D20u);
    EXPECT_TRUE(parrot->IsParrot());
    EXPECT_EQ(parrot->CliHashA(), ParrotClientId());
    EXPECT_EQ(parrot->CliHashA().size(), 24u);
    EXPECT_EQ(parrot->CliCallsignOpnameANSI(), "The Parrot");
    EXPECT_EQ(parrot->CliCountryANSI(), "The tree");
    EXPECT_EQ(parrot->CliCityCityPartANSI(), "The branch");
    EXPECT_EQ(parrot->CliBandChannelANSI(), "Parrot");
    EXPECT_EQ(parrot->CtxDescriptionANSI(), "Talkative bird");
    EXPECT_EQ(parrot->vGetPeerName(), "Parrot");
    EXPECT_NE(parrot->ClientListItemV0().find("<ON>The Parrot</ON>"), std::string::npos);
    EXPECT_LT(parrot->CliVisualSortKey(), std::string("0"));
}

// The whole cycle: 3 s recorded, 2000 ms pause, played twice, floor released.
TEST_F(ParrotTest, RecordsPausesAndPlaysBackTwice) {
    TQORRoleScope role(kHeartbeat);
    opts.ParrotPauseTicks = 2000;
    opts.po_ParrotRepeatCount = 2;
    Make();
    Talk(15);
    EXPECT_EQ(parrot->ParrotState(), TQORSVCParrotState::sps_WAIT_PAUSE);
    EXPECT_EQ(parrot->UsedFrames(), 15);
    EXPECT_EQ(parrot->UsedTicks(), 3000u);
    EXPECT_EQ(parrot->AllocatedFrames(), 50);
    const uint32_t end = clock.now;

    clock.now = end + 1999;
    Beat();
    EXPECT_TRUE(posts.empty());
    clock.now = end + 2000;
    Beat();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].cmd, TQORServNetworkCommand::snc_TxRequest);
    clock.now = end + 2100;  // no approval yet: the request is repeated
    Beat();
    EXPECT_EQ(Count(TQORServNetworkCommand::snc_TxRequest), 2);

    const uint32_t approved = clock.now;
    Byte('\x01');
    EXPECT_EQ(parrot->ParrotState(), TQORSVCParrotState::sps_TX);
    ASSERT_EQ(Sounds().size(), 1u);  // the first frame goes out at once
    RunUntilIdle();

    const std::vector<Post> sounds = Sounds();
    ASSERT_EQ(sounds.size(), 30u);
    for (size_t i = 0; i < sounds.size(); ++i) {
        EXPECT_EQ(sounds[i].data, TalkerFrame(static_cast<int>(i % 15))) << i;
        // Beats every 100 ms: frame i is due at approval + 200 i.
        EXPECT_EQ(sounds[i].tick - approved, 200u * i) << i;
    }
    EXPECT_EQ(posts.back().cmd, TQORServNetworkCommand::snc_RxRequest);
    EXPECT_EQ(Count(TQORServNetworkCommand::snc_RxRequest), 1);
    EXPECT_EQ(parrot->ParrotState(), TQORSVCParrotState::sps_IDLE);
    EXPECT_EQ(parrot->UsedFrames(), 0);
    EXPECT_EQ(parrot->AllocatedFrames(), 0);
}

TEST_F(ParrotTest, LateHeartbeatCatchesUpOnDueFrames) {
    TQORRoleScope role(kHeartbeat);
    opts.po_ParrotRepeatCount = 1;
    Make();
    Talk(10);
    clock.now += opts.ParrotPauseTicks;
    Beat();
    Byte('\x01');
    clock.now += 1000;  // one late beat: five more frames are due
    Beat();
    EXPECT_EQ(Sounds().size(), 6u);
    RunUntilIdle();
    EXPECT_EQ(Sounds().size(), 10u);
}

TEST_F(ParrotTest, NewTalkerDuringThePauseExtendsTheRecording) {
    TQORRoleScope role(kHeartbeat);
    Make();
    Talk(5, 0);
    clock.now += 1000;
    Beat();
    EXPECT_TRUE(posts.empty());
    Talk(3, 100);  // somebody else, before the pause is over
    EXPECT_EQ(parrot->UsedFrames(), 8);
    const uint32_t end = clock.now;
    clock.now = end + opts.ParrotPauseTicks - 1;
    Beat();
    EXPECT_TRUE(posts.empty());  // the pause starts again from the second end
    clock.now = end + opts.ParrotPauseTicks;
    Beat();
    Byte('\x01');
    RunUntilIdle();
    const std::vector<Post> sounds = Sounds();
    ASSERT_EQ(sounds.size(), 8u);
    EXPECT_EQ(sounds[5].data, TalkerFrame(100));
}

TEST_F(ParrotTest, LosingTheFloorStopsPlayback) {
    TQORRoleScope role(kHeartbeat);
    opts.po_ParrotRepeatCount = 3;
    Make();
    Talk(10);
    clock.now += opts.ParrotPauseTicks;
    Beat();
    Byte('\x01');
    clock.now += 400;
    Beat();
    posts.clear();
    Byte('\x00');
    EXPECT_EQ(parrot->ParrotState(), TQORSVCParrotState::sps_IDLE);
    EXPECT_EQ(parrot->UsedFrames(), 0);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].cmd, TQORServNetworkCommand::snc_RxRequest);
    clock.now += 1000;
    Beat();
    EXPECT_EQ(posts.size(), 1u);
}

TEST_F(ParrotTest, RecordingIsCappedAtMaxRecordTicks) {
    TQORRoleScope role(kHeartbeat);
    opts.ParrotMaxRecordTicks = 10000;
    Make();
    for (int i = 0; i < 60; ++i) {
        Send(TalkerFrame(i));
        clock.now += 200;
        EXPECT_EQ(parrot->ParrotState(), TQORSVCParrotState::sps_RX);
    }
    EXPECT_EQ(parrot->UsedFrames(), 50);
    EXPECT_EQ(parrot->AllocatedFrames(), 50);
    Byte('\x00');
    clock.now += opts.ParrotPauseTicks;
    Beat();
    Byte('\x01');
    RunUntilIdle();
    const std::vector<Post> sounds = Sounds();
    ASSERT_EQ(sounds.size(), 50u);
    EXPECT_EQ(sounds.back().data, TalkerFrame(49));
}

TEST_F(ParrotTest, RecordingNeverPassesFifteenHundredFrames) {
    TQORRoleScope role(kHeartbeat);
    opts.ParrotMaxRecordTicks = 300000;
    Make();
    for (int i = 0; i < 1510; ++i) Send(TalkerFrame(i));
    EXPECT_EQ(parrot->UsedFrames(), 1500);
    EXPECT_EQ(parrot->AllocatedFrames(), 1500);
}

// The network's speech limit holds for the parrot's playback too.
TEST_F(ParrotTest, PlaybackKeepsTheSpeechLimit) {
    TQORRoleScope role(kHeartbeat);
    opts.po_ParrotRepeatCount = 5;
    Make(/*aSpeechLimit=*/1000);
    Talk(4);
    clock.now += opts.ParrotPauseTicks;
    Beat();
    Byte('\x01');
    RunUntilIdle();
    EXPECT_EQ(Sounds().size(), 5u);  // 1000 ms of frames, not 20 frames
    EXPECT_EQ(posts.back().cmd, TQORServNetworkCommand::snc_RxRequest);
    EXPECT_EQ(parrot->ParrotState(), TQORSVCParrotState::sps_IDLE);
}

// A muted or denied parrot never gets the floor: it stops asking.
TEST_F(ParrotTest, GivesUpWithoutTheFloor) {
    TQORRoleScope role(kHeartbeat);
    opts.ParrotMaxRecordTicks = 10000;
    Make();
    Talk(5);
    const uint32_t end = clock.now;
    clock.now = end + opts.ParrotPauseTicks + opts.ParrotMaxRecordTicks - 100;
    Beat();
    EXPECT_EQ(posts.back().cmd, TQORServNetworkCommand::snc_TxRequest);
    EXPECT_TRUE(parrot->Busy());
    clock.now += 100;
    posts.clear();
    Beat();
    EXPECT_TRUE(posts.empty());
    EXPECT_EQ(parrot->ParrotState(), TQORSVCParrotState::sps_IDLE);
    EXPECT_EQ(parrot->UsedFrames(), 0);
    EXPECT_EQ(parrot->AllocatedFrames(), 0);
    // An approval that was on its way is handed back at once.
    Byte('\x01');
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].cmd, TQORServNetworkCommand::snc_RxRequest);
}

TEST_F(ParrotTest, IgnoresMalformedAndForeignBytes) {
    TQORRoleScope role(kHeartbeat);
    Make();
    std::string shortFrame = TalkerFrame(0);
    shortFrame.resize(68);
    Send(shortFrame);
    Send(TalkerFrame(0) + "x");
    Send(std::string("\x81\x00\x01", 3));
    Send("");
    Send(std::string("\x04\x33\r\n", 4));  // a text frame cut short
    Send(std::string("\x04" "3\r\nID\r\nstop", 12));  // no line end: the frame's end ends it
    EXPECT_EQ(parrot->ParrotState(), TQORSVCParrotState::sps_IDLE);
    EXPECT_EQ(parrot->UsedFrames(), 0);
    // Only the last frame held a word (stop, refused without start/stop enabled).
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].cmd, TQORServNetworkCommand::snc_RebuildClientListNow);
    EXPECT_NE(posts[1].data.find("Parrot can not be stopped."), std::string::npos);
    EXPECT_TRUE(parrot->ParrotStarted());
}

// Start and stop words, for each option combination and prior state.
TEST_F(ParrotTest, StartStopWordsAndAnswers) {
    TQORRoleScope role(kHeartbeat);
    struct Row {
        bool startStop;
        bool startedBefore;
        std::string_view word;
        bool startedAfter;
        std::string_view answer;
        std::string_view description;
    };
    const Row rows[] = {
        {true, true, "start", true,
         "Parrot is started already. Type message \"stop\" to stop parrot.", "Talkative bird"},
        {true, false, " Start\t", true, "Parrot is started. Type message \"stop\" to stop parrot.",
         "Talkative bird"},
        {true, true, "  STOP", false,
         "Parrot is stopped. Type message \"start\" to start parrot.", "Silent bird"},
        {true, false, "sToP ", false,
         "Parrot is stopped already. Type message \"start\" to start parrot.", "Silent bird"},
        {false, true, "START", true, "Parrot is started already.", "Talkative bird"},
        {false, true, "stop", true, "Parrot can not be stopped.", "Talkative bird"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.word));
        posts.clear();
        opts.ParrotStartStopEnable = r.startStop;
        Make();
        if (!r.startedBefore) Send(TextFrame("stop"));
        ASSERT_EQ(parrot->ParrotStarted(), r.startedBefore);
        posts.clear();
        const int32_t modified = parrot->CtxModifyCounter;
        Send(TextFrame(r.word, '\x85'));
        EXPECT_EQ(parrot->ParrotStarted(), r.startedAfter);
        EXPECT_EQ(parrot->CtxDescriptionANSI(), r.description);
        EXPECT_NE(parrot->ClientListItemV0().find(std::string(r.description)), std::string::npos);
        EXPECT_EQ(parrot->CtxModifyCounter, modified + 1);
        EXPECT_TRUE(parrot->CtxFlags() & QOR_CF_ITEM_CHANGED);
        ASSERT_EQ(posts.size(), 2u);
        EXPECT_EQ(posts[0].cmd, TQORServNetworkCommand::snc_RebuildClientListNow);
        EXPECT_EQ(posts[1].cmd, TQORServNetworkCommand::snc_MessageV0);
        const std::string frame =
            "\x04" "3\r\n" + ParrotClientId() + "\r\n" + std::string(r.answer) + "\r\nA\r\n";
        EXPECT_EQ(posts[1].data, frame);
    }
}

TEST_F(ParrotTest, OtherTextsAreNotWords) {
    TQORRoleScope role(kHeartbeat);
    opts.ParrotStartStopEnable = true;
    Make();
    for (std::string_view t : {"please STOP now", "stopp", "", "st op", "STAR"}) Send(TextFrame(t));
    EXPECT_TRUE(posts.empty());
    EXPECT_TRUE(parrot->ParrotStarted());
}

TEST_F(ParrotTest, StoppedParrotDropsItsRecordingAndRecordsNothing) {
    TQORRoleScope role(kHeartbeat);
    opts.ParrotStartStopEnable = true;
    Make();
    Send(TalkerFrame(0));
    Send(TalkerFrame(1));
    Send(TextFrame("stop"));
    EXPECT_EQ(parrot->UsedFrames(), 0);
    EXPECT_EQ(parrot->AllocatedFrames(), 0);
    Send(TalkerFrame(2));
    Byte('\x00');
    EXPECT_EQ(parrot->ParrotState(), TQORSVCParrotState::sps_IDLE);
}

TEST_F(ParrotTest, MessageDisableSilencesAnswersButNotTheWords) {
    TQORRoleScope role(kHeartbeat);
    opts.ParrotStartStopEnable = true;
    opts.ParrotMessageDisable = true;
    Make();
    EXPECT_TRUE(parrot->GetParrotDirectMessage().empty());
    Send(TextFrame("stop"));
    EXPECT_FALSE(parrot->ParrotStarted());
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].cmd, TQORServNetworkCommand::snc_RebuildClientListNow);
}

TEST_F(ParrotTest, NewcomersDirectMessage) {
    TQORRoleScope role(kHeartbeat);
    const std::string id = ParrotClientId();
    auto frame = [&](std::string_view aText) {
        return "\x04" "3\r\n" + id + "\r\n" + std::string(aText) + "\r\nA\r\n";
    };
    Make();
    EXPECT_EQ(parrot->GetParrotDirectMessage(), frame("Parrot is started."));
    opts.ParrotStartStopEnable = true;
    Make();
    EXPECT_EQ(parrot->GetParrotDirectMessage(),
              frame("Parrot is started. Type message \"stop\" to stop parrot."));
    Send(TextFrame("stop"));
    EXPECT_EQ(parrot->GetParrotDirectMessage(),
              frame("Parrot is stopped. Type message \"start\" to start parrot."));
}

}  // namespace
