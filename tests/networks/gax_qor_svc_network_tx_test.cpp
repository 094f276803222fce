#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "networks/net_test_support.h"

using namespace net_test;

namespace {

using Cause = TQORSVCDisconnectCause;

std::string SoundBytes(int aBlocks, int aSeed) {
    std::string s;
    for (int i = 0; i < aBlocks * kQORSoundBlockLen; ++i) s.push_back(static_cast<char>(aSeed + i * 7));
    return s;
}
std::string TxLong(int aSeed) { return "TX1" + SoundBytes(5, aSeed); }
std::string TxShort(int aSeed) { return "TX8" + SoundBytes(1, aSeed); }
std::string Silence() {
    return std::string(reinterpret_cast<const char*>(kQORSilenceBlock.data()), kQORSoundBlockLen);
}
std::string Idx(uint16_t i) { return Bytes({i >> 8, i & 0xFF}); }

struct RecipientClass {
    const char* Name;
    uint32_t Flags;
    // Tokens: I speaker info, C cache set + speaker index, L long frame, A its
    // aggregate form, S five short frames, s three, F the long frame collected
    // from five short ones, G its aggregate form, f/g the same from three short
    // ones and two silence blocks, Z the byte 0x00.
    const char* Long;
    const char* FiveShort;
    const char* ThreeShortThenRx;
    bool ZeroOnRx;     // "RX0" of the talker
    bool ZeroOnLimit;  // speech limit
};

const RecipientClass kClasses[] = {
    {"V0 full", kV0Full, "L", "F", "fZ", true, true},
    {"V0 aggregate", kV0Aggr, "A", "G", "gZ", true, true},
    {"extended long", kExtLong, "L", "F", "fZ", true, true},
    {"extended short", kExtShort, "", "S", "sZ", true, true},
    {"sound-ack", kExtLong | QOR_CF_SOUND_ACK, "L", "F", "fZ", true, true},
    {"no-sound", kExtLong | QOR_CF_NO_SERVER_SOUNDS, "", "", "", false, true},
    {"no-messages", kExtLong | QOR_CF_NO_SERVER_MESSAGES, "L", "F", "fZ", true, true},
    {"emulated", kExtLong | QOR_CF_EMULATED_TX, "", "", "", false, false},
    {"newbie", kExtLong | QOR_CF_NEWBIE, "", "", "Z", true, false},
    {"leaving", kExtLong | QOR_CF_LEAVING, "", "", "", false, false},
    {"Parrot", kExtLong | QOR_CF_PARROT, "L", "F", "fZ", true, true},
    {"speaker info", kExtLong | QOR_CF_SPEAKER_INFO, "IL", "IF", "IfZ", true, true},
    {"cache", kExtLong | QOR_CF_LIST_CACHE, "CL", "CF", "CfZ", true, true},
};

struct Room : Net {
    TestSession* talker = nullptr;
    std::vector<TestSession*> members;
    explicit Room(uint32_t aTalkerFlags) {
        for (size_t i = 0; i < std::size(kClasses); ++i) {
            const std::string call = (i < 10 ? "M0" : "M") + std::to_string(i);
            members.push_back(Make(kClasses[i].Flags, call));
        }
        talker = Make(aTalkerFlags, "TALK");
        for (auto& s : all) lists.AddVisible(s.get());
        lists.ListStep(nullptr, 4, 8);
        // Only the visible test classes keep their newbie/leaving marks.
        Clear();
        relay.tmTxRequest(talker);
        EXPECT_EQ(talker->sent, Bytes({1}) + Idx(talker->QORNetworkIndex()));
        for (TestSession* m : members) EXPECT_EQ(m->sent, "");
        Clear();
    }
    std::string Expand(const char* aTokens, const std::string& aSound, int aShorts) GAX_REQUIRES(kHeartbeat) {
        const std::string idx = Idx(talker->QORNetworkIndex());
        const std::string slot = "\x91" + HexLenUIntToStr(0) + talker->ClientListItemV1U() +
                                 "\x92" + HexLenUIntToStr(0) + "\r\n";
        auto collected = [&](int n) {
            std::string s = aSound.substr(0, static_cast<size_t>(n) * kQORSoundBlockLen);
            for (int b = n; b < 5; ++b) s += Silence();
            return s;
        };
        std::string out;
        for (const char* t = aTokens; *t; ++t) {
            switch (*t) {
                case 'I': out += "\x8E" + talker->ClientListItemV1U(); break;
                case 'C': out += slot; break;
                case 'L': out += "\x02" + idx + aSound; break;
                case 'A': out += "\x02" + Idx(1) + aSound; break;
                case 'S':
                case 's':
                    for (int i = 0; i < aShorts; ++i)
                        out += "\x81" + idx + aSound.substr(i * kQORSoundBlockLen, kQORSoundBlockLen);
                    break;
                case 'F':
                case 'f': out += "\x02" + idx + collected(aShorts); break;
                case 'G':
                case 'g': out += "\x02" + Idx(1) + collected(aShorts); break;
                case 'Z': out += std::string(1, '\0'); break;
            }
        }
        return out;
    }
};

std::string SendShorts(Room& r, int n) GAX_REQUIRES(kHeartbeat) {
    std::string sound;
    for (int i = 0; i < n; ++i) {
        std::string f = TxShort(i * 3);
        sound += f.substr(3);
        r.relay.tmTxSoundShort(r.talker, f);
    }
    return sound;
}

}  // namespace

// Every recipient class gets exactly its bytes for each sound event.
TEST(NetworkTx, RecipientClassesBySoundEvent) {
    TQORRoleScope role(kHeartbeat);
    for (size_t i = 0; i < std::size(kClasses); ++i) {
        const RecipientClass& k = kClasses[i];
        SCOPED_TRACE(k.Name);
        {
            Room r(kExtLong);
            std::string f = TxLong(1);
            r.relay.tmTxSoundLong(r.talker, f);
            EXPECT_EQ(r.members[i]->sent, r.Expand(k.Long, TxLong(1).substr(3), 0));
            EXPECT_EQ(r.talker->sent, "");
        }
        {
            Room r(kExtShort);
            const std::string sound = SendShorts(r, 5);
            EXPECT_EQ(r.members[i]->sent, r.Expand(k.FiveShort, sound, 5));
        }
        {
            Room r(kExtShort);
            const std::string sound = SendShorts(r, 3);
            r.relay.tmRxRequest(r.talker);
            EXPECT_EQ(r.members[i]->sent, r.Expand(k.ThreeShortThenRx, sound, 3));
            EXPECT_EQ(r.talker->sent, std::string(1, '\0'));
            EXPECT_EQ(r.relay.SpeakingContext(), nullptr);
        }
        {
            Room r(kExtLong);
            r.relay.tmRxRequest(r.talker);
            EXPECT_EQ(r.members[i]->sent, k.ZeroOnRx ? std::string(1, '\0') : "");
        }
        {
            Room r(kExtLong);
            r.relay.Options().SpeechLimit = true;
            r.relay.Options().MaxSpeechTicks = 300000;
            r.relay.SetHeartBeatTick(299999);
            r.relay.tmCheckTxBehaviour(r.talker);
            EXPECT_EQ(r.relay.SpeakingContext(), r.talker);
            r.relay.SetHeartBeatTick(300000);
            r.relay.tmCheckTxBehaviour(r.talker);
            EXPECT_EQ(r.relay.SpeakingContext(), nullptr);
            EXPECT_EQ(r.members[i]->sent, k.ZeroOnLimit ? std::string(1, '\0') : "");
            EXPECT_EQ(r.talker->sent, std::string(1, '\0'));
        }
    }
}

// Who gets the floor, who is refused and what a refusal sounds like.
TEST(NetworkTx, FloorGrantRefuseRepeat) {
    TQORRoleScope role(kHeartbeat);
    for (bool explicitReject : {false, true}) {
        SCOPED_TRACE(explicitReject);
        Net n;
        n.relay.Options().ExplicitTxReject = explicitReject;
        TestSession* a = n.Join(kExtLong, "AAA");
        TestSession* b = n.Join(kExtLong, "BBB");
        TestSession* muted = n.Join(kExtLong | QOR_CF_MUTED, "CCC");
        TestSession* newbie = n.Join(kExtLong, "DDD");
        newbie->CtxFlagsSet(QOR_CF_NEWBIE);
        TestSession* leaving = n.Join(kExtLong, "EEE");
        leaving->CtxFlagsSet(QOR_CF_LEAVING);
        const std::string refusal = explicitReject ? std::string(1, '\0') : "";

        n.relay.tmTxRequest(a);
        n.relay.tmTxRequest(b);  // same pass, second in queue order
        EXPECT_EQ(a->sent, Bytes({1}) + Idx(a->QORNetworkIndex()));
        EXPECT_EQ(b->sent, refusal);
        n.Clear();
        n.relay.tmTxRequest(a);  // the talker again: the approval only
        EXPECT_EQ(a->sent, Bytes({1}) + Idx(a->QORNetworkIndex()));
        EXPECT_EQ(n.relay.SpeakingContext(), a);
        n.relay.tmRxRequest(a);
        n.Clear();

        for (TestSession* s : {muted, newbie}) {
            n.relay.tmTxRequest(s);
            EXPECT_EQ(s->sent, refusal);
            EXPECT_EQ(n.relay.SpeakingContext(), nullptr);
        }
        n.relay.tmTxRequest(leaving);
        EXPECT_EQ(leaving->sent, "");  // a leaving client hears nothing
        EXPECT_EQ(n.relay.SpeakingContext(), nullptr);
    }
}

TEST(NetworkTx, SpeechPauseAfterRelease) {
    TQORRoleScope role(kHeartbeat);
    Net n;
    n.relay.Options().SpeechPauseTicks = 2000;
    TestSession* a = n.Join(kExtLong, "AAA");
    TestSession* b = n.Join(kExtLong, "BBB");
    n.relay.SetHeartBeatTick(1000);
    n.relay.tmTxRequest(a);
    n.relay.tmRxRequest(a);
    n.relay.SetHeartBeatTick(2999);
    n.relay.EndSpeechPauseIfDue();
    n.Clear();
    n.relay.tmTxRequest(b);
    EXPECT_EQ(n.relay.SpeakingContext(), nullptr);
    n.relay.SetHeartBeatTick(3000);
    n.relay.EndSpeechPauseIfDue();
    n.relay.tmTxRequest(b);
    EXPECT_EQ(n.relay.SpeakingContext(), b);
    EXPECT_EQ(b->sent, Bytes({1}) + Idx(b->QORNetworkIndex()));
}

// Ignored sounds: an approval without the floor; the real talker undisturbed.
TEST(NetworkTx, IgnoredSoundsGetAnEmulatedTransmission) {
    TQORRoleScope role(kHeartbeat);
    Net n;
    TestSession* talker = n.Join(kExtLong, "AAA");
    TestSession* ignored = n.Join(kExtLong, "BBB");
    TestSession* listener = n.Join(kExtLong, "CCC");
    ignored->Ctx2FlagsSet(QOR_C2F_IGNORE_SOUNDS);
    n.relay.tmTxRequest(talker);
    n.relay.tmTxRequest(ignored);
    EXPECT_EQ(ignored->sent, Bytes({1}) + Idx(ignored->QORNetworkIndex()));
    EXPECT_EQ(n.relay.SpeakingContext(), talker);
    EXPECT_EQ(n.relay.EmulatedTxCount(), 1);
    std::string f = TxLong(5);
    n.relay.tmTxSoundLong(ignored, f);  // dropped
    EXPECT_EQ(listener->sent, "");
    n.Clear();
    n.relay.tmRxRequest(ignored);  // ends the emulation only
    EXPECT_EQ(n.relay.EmulatedTxCount(), 0);
    EXPECT_EQ(n.relay.SpeakingContext(), talker);
    EXPECT_EQ(listener->sent, "");
    n.relay.tmRxRequest(talker);
    // Even with the floor free, never the real floor, also while hidden.
    ignored->CtxFlagsSet(QOR_CF_NEWBIE);
    n.Clear();
    n.relay.tmTxRequest(ignored);
    EXPECT_EQ(n.relay.SpeakingContext(), nullptr);
    EXPECT_EQ(ignored->sent, "");
}

// The rate watch: a burst within the allowance passes, running far ahead of
// real time cuts the talker, and a quiet talker's credit is bounded.
TEST(NetworkTx, RateWatch) {
    TQORRoleScope role(kHeartbeat);
    {
        Net n;
        TestSession* t = n.Join(kExtLong, "AAA");
        n.relay.tmTxRequest(t);
        n.relay.SetHeartBeatTick(100);
        for (int i = 0; i < 10; ++i) {
            std::string f = TxLong(i);
            n.relay.tmTxSoundLong(t, f);
        }
        EXPECT_EQ(t->DisconnectCauseR(), Cause::fsdc_DisconnectWithoutAuth);
        // 11 s of audio ahead of the clock (8 s time-out + 3 s) is too fast.
        for (int i = 0; i < 46 && t->DisconnectCauseR() == Cause::fsdc_DisconnectWithoutAuth; ++i) {
            std::string f = TxLong(i);
            n.relay.tmTxSoundLong(t, f);
        }
        EXPECT_EQ(t->DisconnectCauseR(), Cause::fsdc_TxTooFast);
    }
    {
        Net n;
        TestSession* t = n.Join(kExtLong, "AAA");
        TestSession* l = n.Join(kExtLong, "BBB");
        n.relay.tmTxRequest(t);
        // Ten minutes of silence on the floor, then a burst of 12 s.
        n.relay.SetHeartBeatTick(600000);
        n.relay.tmCheckTxBehaviour(t);
        EXPECT_EQ(n.relay.TxBehaveSummator(), -11000);
        n.Clear();
        int sent = 0;
        for (; sent < 200 && t->DisconnectCauseR() == Cause::fsdc_DisconnectWithoutAuth; ++sent) {
            std::string f = TxLong(sent);
            n.relay.tmTxSoundLong(t, f);
        }
        EXPECT_EQ(t->DisconnectCauseR(), Cause::fsdc_TxTooFast);
        EXPECT_EQ(sent, 111);  // 22 s of credit and allowance, then cut
        EXPECT_EQ(l->sent.size(), 110u * kQORSoundLongLen);
    }
}

// Text to all (back to the sender too), to one, to the aggregate id and to an
// unknown id, in both message versions.
TEST(NetworkTx, Messages) {
    TQORRoleScope role(kHeartbeat);
    Net n;
    TestSession* sender = n.Join(kExtLong, "AAA");
    TestSession* v0 = n.Join(kV0Full, "BBB");
    TestSession* aggr = n.Join(kV0Aggr, "CCC");
    TestSession* ext8 = n.Join(kExtLong & ~QOR_CF_UTF8, "DDD");
    TestSession* noMsg = n.Join(kExtLong | QOR_CF_NO_SERVER_MESSAGES, "EEE");
    const std::string id = sender->CliHashA();
    auto frameA = [&](char aPA) { return "\x04" "3\r\n" + id + "\r\nhello\r\n" + aPA + "\r\n"; };
    auto frameU = [&](char aPA) { return "\x85" "3\r\n" + id + "\r\nh\xC3\xA9llo\r\n" + aPA + "\r\n"; };
    auto aggrCopy = [&](std::string f) GAX_REQUIRES(kHeartbeat) {
        f.replace(4, 24, kAggrId);
        f[f.size() - 3] = 'A';
        return f;
    };
    const int32_t pa = 4 + 24 + 2 + 5 + 2;

    struct Case {
        const char* Name;
        std::string To;
        char PA;
        bool ToAll;
    };
    const Case cases[] = {
        {"to all", "", 'A', true},
        {"to the aggregate id", kAggrId, 'P', true},
        {"to one", v0->CliHashA(), 'P', false},
        {"to an unknown id", "NOBODYNOBODYNOBODYNOBODY", 'P', false},
    };
    for (const Case& c : cases) {
        for (bool v1 : {false, true}) {
            SCOPED_TRACE(std::string(c.Name) + (v1 ? " V1" : " V0"));
            n.Clear();
            std::string fa = frameA(c.PA);
            if (v1) {
                std::string buf = fa;
                const int32_t off2 = static_cast<int32_t>((buf.size() + 3) / 4 * 4);
                buf.resize(static_cast<size_t>(off2), '\0');
                buf += frameU(c.PA);
                const int32_t pa2 = off2 + pa + 1;
                n.relay.tmMessageV1(sender, c.To, buf, static_cast<int32_t>(fa.size()), off2, pa,
                                    pa2);
            } else {
                n.relay.tmMessageV0(sender, c.To, fa, pa);
            }
            const char outPA = c.ToAll ? 'A' : c.PA;
            const std::string a = frameA(outPA), u = frameU(outPA);
            if (c.ToAll) {
                EXPECT_EQ(sender->sent, v1 ? u : a);
                EXPECT_EQ(v0->sent, a);
                EXPECT_EQ(aggr->sent, aggrCopy(a));
                EXPECT_EQ(ext8->sent, a);
                EXPECT_EQ(noMsg->sent, "");
            } else if (c.To == v0->CliHashA()) {
                EXPECT_EQ(v0->sent, a);
                for (TestSession* s : {sender, aggr, ext8, noMsg}) EXPECT_EQ(s->sent, "");
            } else {
                for (auto& s : n.all) EXPECT_EQ(s->sent, "");
            }
        }
    }
}

// Cache clients learn talkers and senders through slots: the 0x91 item the
// first time, then only the index; the least recently used slot is reused
// after 32 owners; a changed item is sent again.
TEST(NetworkTx, CacheSequences) {
    TQORRoleScope role(kHeartbeat);
    Net n;
    TestSession* cache = n.Join(kExtLong | QOR_CF_LIST_CACHE, "CACHE");
    std::vector<TestSession*> talkers;
    for (int i = 0; i < 34; ++i) talkers.push_back(n.Join(kExtLong, "T" + std::to_string(100 + i)));
    auto talk = [&](TestSession* t) GAX_REQUIRES(kHeartbeat) {
        n.Clear();
        n.relay.tmTxRequest(t);
        std::string f = TxLong(9);
        n.relay.tmTxSoundLong(t, f);
        n.relay.tmRxRequest(t);
        const std::string& s = cache->sent;
        // Drop the sound frame and the end byte: what is left are the cache frames.
        return s.substr(0, s.size() - kQORSoundLongLen - 1);
    };
    auto set = [&](TestSession* t, uint32_t slot) GAX_REQUIRES(kHeartbeat) {
        return "\x91" + HexLenUIntToStr(slot) + t->ClientListItemV1U();
    };
    auto spk = [](uint32_t slot) { return "\x92" + HexLenUIntToStr(slot) + "\r\n"; };

    EXPECT_EQ(talk(talkers[0]), set(talkers[0], 0) + spk(0));
    EXPECT_EQ(talk(talkers[1]), set(talkers[1], 1) + spk(1));
    EXPECT_EQ(talk(talkers[0]), spk(0));  // known: the index only
    for (int i = 2; i < 32; ++i) talk(talkers[i]);
    // Slot 1 is the least recently used now (talker 0 spoke again).
    EXPECT_EQ(talk(talkers[32]), set(talkers[32], 1) + spk(1));
    EXPECT_EQ(talkers[1]->CtxCacheIndex, -1);
    // A changed item goes out again under the same slot.
    talkers[32]->CtxModifyCounter++;
    EXPECT_EQ(talk(talkers[32]), set(talkers[32], 1));
    // Talker 0 is the least recently used now.
    EXPECT_EQ(talk(talkers[1]), set(talkers[1], 0) + spk(0));
    EXPECT_EQ(talkers[0]->CtxCacheIndex, -1);

    // A sender's message between two frames of a talk: the talker's 0x91/0x92
    // are rebuilt for its own slot.
    Net m;
    TestSession* c2 = m.Join(kExtLong | QOR_CF_LIST_CACHE, "CACHE");
    TestSession* t = m.Join(kExtLong, "TALK");
    TestSession* w = m.Join(kExtLong, "WRITE");
    m.relay.tmTxRequest(t);
    std::string f1 = TxLong(1);
    m.relay.tmTxSoundLong(t, f1);
    std::string msg = "\x04" "3\r\n" + w->CliHashA() + "\r\nx\r\nA\r\n";
    m.relay.tmMessageV0(w, "", msg, static_cast<int32_t>(msg.size() - 3));
    // A cache client joining now learns the talker with the next frame.
    TestSession* late = m.Join(kExtLong | QOR_CF_LIST_CACHE, "LATE");
    m.Clear();
    std::string f2 = TxLong(2);
    m.relay.tmTxSoundLong(t, f2);
    EXPECT_EQ(c2->sent, "\x02" + Idx(t->QORNetworkIndex()) + f2.substr(3));
    EXPECT_EQ(late->sent.substr(0, late->sent.size() - kQORSoundLongLen),
              set(t, static_cast<uint32_t>(t->CtxCacheIndex)) +
                  spk(static_cast<uint32_t>(t->CtxCacheIndex)));
}

// A talker that leaves for good is neither the talker nor a slot owner.
TEST(NetworkTx, ForgetContextReleasesFloorAndSlot) {
    TQORRoleScope role(kHeartbeat);
    Net n;
    TestSession* t = n.Join(kExtLong, "AAA");
    TestSession* w = n.Join(kExtLong, "BBB");
    w->CtxFlagsSet(QOR_CF_NEWBIE);  // a sender not yet visible still gets a slot
    std::string msg = "\x04" "3\r\n" + w->CliHashA() + "\r\nx\r\nA\r\n";
    n.relay.tmMessageV0(w, "", msg, static_cast<int32_t>(msg.size() - 3));
    n.relay.tmTxRequest(t);
    EXPECT_GE(w->CtxCacheIndex, 0);
    n.relay.ForgetContext(w);
    n.relay.ForgetContext(t);
    EXPECT_EQ(n.relay.SpeakingContext(), nullptr);
    EXPECT_EQ(n.relay.Cache().UsedSlots(), 0u);
    EXPECT_EQ(w->CtxCacheIndex, -1);
}
