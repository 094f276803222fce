#include "sockets/gax_snps_collector.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "foundation/gax_ansi_unicode_converter.h"
#include "snps_test_net.h"
#include "sockets/gax_snps_waiter.h"

using namespace gax;
using snpstest::Raised;

namespace {

constexpr TCollectorTick32 kNever = TCollectorBase::kNoTimeout;

// A source that hands out scripted chunks; an empty chunk means "nothing
// available on this read", and the end of the script is end of input.
class ScriptCollector : public TCollectorBase {
  public:
    explicit ScriptCollector(int size, std::vector<std::string> script = {})
        : TCollectorBase(size), chunks(script.begin(), script.end()) {}
    std::deque<std::string> chunks;
    bool endIsEof = true;  // false: the source stays open once the script is used up
    uint8_t endCode = kReadEof;
    int reads = 0;

  protected:
    uint8_t ReadSource(char* buf, int max, int& got) override {
        got = 0;
        if (chunks.empty()) return endIsEof ? endCode : kReadData;
        if (max == 0) return kReadData;
        ++reads;
        std::string& c = chunks.front();
        if (c.empty()) {
            chunks.pop_front();
            return kReadData;
        }
        const size_t n = std::min(c.size(), static_cast<size_t>(max));
        std::memcpy(buf, c.data(), n);
        c.erase(0, n);
        if (c.empty()) chunks.pop_front();
        got = static_cast<int>(n);
        return kReadData;
    }
};

std::vector<std::string> OneByteAtATime(const std::string& s) {
    std::vector<std::string> out;
    for (char ch : s) {
        out.push_back(std::string(1, ch));
        out.push_back("");
    }
    return out;
}

// Runs operations of one mode until end of input; units are returned, other
// outcomes as "<result n>".
std::vector<std::string> Collect(TCollectorMode mode, std::vector<std::string> script, int unit,
                                 TCollectorExceedStringLengthMode policy = ceslm_Flag,
                                 bool fastEof = false, int bufSize = 128) {
    ScriptCollector c(bufSize, std::move(script));
    c.Timeout = kNever;
    c.StringExceededLengthMode = policy;
    c.SetFastEof(fastEof);
    FastStringA fast;
    std::vector<char> bin(static_cast<size_t>(unit));
    std::vector<std::string> out;
    for (int guard = 0; guard < 10000; ++guard) {
        if (c.CollectorMode() == colm_None) {
            switch (mode) {
                case colm_String:
                    c.StartStringFromTick(unit, 0);
                    break;
                case colm_FastStr:
                    c.StartFastStringFromTick(fast, unit, 0);
                    break;
                case colm_BufString:
                    c.StartBufStringFromTick(unit, 0);
                    break;
                case colm_Binary:
                    c.StartBinaryFromTick(bin.data(), unit, 0);
                    break;
                case colm_BufBinary:
                    c.StartBufBinaryFromTick(unit, 0);
                    break;
                default:
                    break;
            }
        }
        const TCollectorCheckResult r = c.CheckCollectorWithTick(0);
        if (r == colr_NotReady) continue;
        if (r == colr_EOF) break;
        if (r != colr_Ready) {
            out.push_back("<result " + std::to_string(r) + ">");
            break;
        }
        std::string u;
        switch (mode) {
            case colm_String:
                u = c.CollectedString();
                break;
            case colm_FastStr:
                u = fast.Str();
                break;
            case colm_Binary:
                u.assign(bin.data(), static_cast<size_t>(c.BinSize()));
                break;
            default:
                u = std::string(c.BufData());
        }
        if (c.StringLengthExceeded()) u += "<cut>";
        out.push_back(u);
    }
    return out;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(Collector, BufferSizeRoundsUpTo128) {
    for (auto [asked, size] :
         {std::pair{1, 128}, {-4, 128}, {128, 128}, {129, 256}, {3072, 3072}}) {
        ScriptCollector c(asked);
        EXPECT_EQ(c.BufferSize(), size) << asked;
    }
}

TEST(Collector, EveryModeOverEveryChunking) {
    const std::string input = "AB\r\nCD\n";
    const std::vector<std::pair<const char*, std::vector<std::string>>> chunkings = {
        {"all at once", {input}},
        {"one byte at a time", OneByteAtATime(input)},
        {"split across CR LF", {"AB\r", "", "\nCD\n"}},
    };
    for (const auto& [name, script] : chunkings) {
        SCOPED_TRACE(name);
        for (TCollectorMode m : {colm_String, colm_FastStr, colm_BufString})
            EXPECT_EQ(Collect(m, script, 100), (Lines{"AB", "CD"})) << int(m);
        EXPECT_EQ(Collect(colm_Binary, script, 3), (Lines{"AB\r", "\nCD", "\n"}));
        EXPECT_EQ(Collect(colm_BufBinary, script, 3), (Lines{"AB\r", "\nCD"}));
    }
}

TEST(Collector, LinesOfOneReadAreDeliveredWithoutReadingAgain) {
    ScriptCollector c(128, {"AB\r\nCD\nEF"});
    c.endIsEof = false;
    c.Timeout = kNever;
    c.StartBufStringFromTick(50, 0);
    ASSERT_EQ(c.CheckCollectorWithTick(0), colr_Ready);
    EXPECT_EQ(c.BufData(), "AB");
    EXPECT_EQ(c.DirtyLen(), 5);
    c.StartStringFromTick(50, 0);
    ASSERT_EQ(c.CheckCollectorWithTick(0), colr_Ready);
    EXPECT_EQ(c.CollectedString(), "CD");
    EXPECT_EQ(c.reads, 1);
    c.StartStringFromTick(50, 0);
    EXPECT_EQ(c.CheckCollectorWithTick(0), colr_NotReady);
    EXPECT_EQ(c.CollectorReadCounter, 9u);
}

// The carriage return counts towards the limit: a line of exactly the limit
// passes with a bare LF but not with CR LF.
TEST(Collector, LengthRuleCountsTheCarriageReturn) {
    const std::string body(2300, 'x');
    const std::string crlf = body + "\r\n" + "next\n";
    const std::string lf = body + "\n" + "next\n";
    for (TCollectorMode m : {colm_String, colm_FastStr, colm_BufString}) {
        SCOPED_TRACE(int(m));
        for (auto script :
             {std::vector<std::string>{crlf}, std::vector<std::string>{body, "", "\r\nnext\n"}}) {
            EXPECT_EQ(Collect(m, script, 2300, ceslm_Flag, false, 3072),
                      (Lines{body + "<cut>", "next"}));
            EXPECT_EQ(Collect(m, script, 2300, ceslm_Result, false, 3072), (Lines{"<result 5>"}));
        }
        EXPECT_EQ(Collect(m, {lf}, 2300, ceslm_Flag, false, 3072), (Lines{body, "next"}));
        EXPECT_EQ(Collect(m, {lf}, 2300, ceslm_Exception, false, 3072), (Lines{body, "next"}));
        EXPECT_EQ(Raised<ECollectorExceededStringLength>(
                      [&] { Collect(m, {crlf}, 2300, ceslm_Exception, false, 3072); }),
                  "Collector got too long string");
    }
}

TEST(Collector, ResultPolicyConsumesNothingAndStaysBusy) {
    for (TCollectorMode m : {colm_String, colm_BufString}) {
        ScriptCollector c(128, {"ABCD\r\nEF\n"});
        c.StringExceededLengthMode = ceslm_Result;
        if (m == colm_String)
            c.StartStringFromTick(4, 0);
        else
            c.StartBufStringFromTick(4, 0);
        EXPECT_EQ(c.CheckCollectorWithTick(0), colr_ExceededStringLength);
        EXPECT_EQ(c.DirtyLen(), 9);
        EXPECT_EQ(c.CollectorMode(), m);
        EXPECT_THROW(c.StartStringFromTick(4, 0), ECollectorBusy);
        c.Clear();
        EXPECT_EQ(c.DirtyLen(), 0);
    }
}

// A buffered line that outgrows its limit before its line feed arrives is cut,
// and its tail never passes for a line of its own.
TEST(Collector, BufferedLineCutBeforeItsLineFeedDropsTheTail) {
    const std::string longLine(60, 'L');
    EXPECT_EQ(Collect(colm_BufString, {longLine, "", "tail\nNEXT\n"}, 10),
              (Lines{"LLLLLLLLLL<cut>", "NEXT"}));
    EXPECT_EQ(Collect(colm_BufString, {longLine + "tail\nNEXT\n"}, 10),
              (Lines{"LLLLLLLLLL<cut>", "NEXT"}));
    EXPECT_EQ(Collect(colm_BufString, {longLine, "", "ta", "", "il\nNEXT\n"}, 10),
              (Lines{"LLLLLLLLLL<cut>", "NEXT"}));
}

// A line cut to its limit reads the same whether or not its line feed has
// arrived: a carriage return at the cut end is dropped in both cases.
TEST(Collector, BufferedCutDropsTheCarriageReturnWhateverTheTiming) {
    EXPECT_EQ(Collect(colm_BufString, {"abcd\re\nNEXT\n"}, 5), (Lines{"abcd<cut>", "NEXT"}));
    EXPECT_EQ(Collect(colm_BufString, {"abcd\re", "", "\nNEXT\n"}, 5),
              (Lines{"abcd<cut>", "NEXT"}));
}

// A source that never pauses: every read fills what it is offered.
class EndlessCollector : public TCollectorBase {
  public:
    explicit EndlessCollector(int size) : TCollectorBase(size) {}

  protected:
    uint8_t ReadSource(char* buf, int max, int& got) override {
        std::memset(buf, 'x', static_cast<size_t>(max));
        got = max;
        return kReadData;
    }
};

// One check reads about one buffer and then returns, and a passed deadline is
// seen at once: a peer that never pauses neither holds its worker nor
// outlives its time-out. (Each mode loops on its own: all are covered.)
TEST(Collector, CheckOfANeverPausingSourceHasAByteBudgetAndSeesItsDeadline) {
    for (TCollectorMode mode : {colm_String, colm_FastStr, colm_BufString, colm_Binary}) {
        for (bool late : {false, true}) {
            EndlessCollector c(128);
            c.Timeout = 3000;
            FastStringA fast;
            std::vector<char> bin(1 << 20);
            switch (mode) {
                case colm_String:
                    c.StartStringFromTick(5, 0);
                    break;
                case colm_FastStr:
                    c.StartFastStringFromTick(fast, 5, 0);
                    break;
                case colm_BufString:
                    c.StartBufStringFromTick(5, 0);
                    break;
                default:
                    c.StartBinaryFromTick(bin.data(), static_cast<int>(bin.size()), 0);
                    break;
            }
            TCollectorCheckResult r = colr_Ready;
            // The buffered line mode hands out cut lines; the others keep going.
            for (int i = 0; i < 3 && (r == colr_Ready || i == 0); ++i) {
                if (mode == colm_BufString && c.CollectorMode() == colm_None) c.NextBufString(5);
                c.CollectorReadCounter = 0;
                r = c.CheckCollectorWithTick(late ? 3000 : 10);
                EXPECT_LE(c.CollectorReadCounter, 2u * 128) << int(mode);
            }
            EXPECT_EQ(r, late ? colr_Timeout : colr_NotReady) << int(mode) << " late " << late;
        }
    }
}

TEST(Collector, EndOfInputRules) {
    struct Case {
        TCollectorMode mode;
        int unit;
        std::vector<std::string> script;
        bool fastEof;
        Lines expected;
    } cases[] = {
        {colm_String, 50, {"XY"}, false, {"XY"}},
        {colm_FastStr, 50, {"XY"}, false, {"XY"}},
        {colm_BufString, 50, {"XY"}, false, {"XY"}},
        {colm_String, 50, {"XY"}, true, {}},
        {colm_FastStr, 50, {"XY"}, true, {}},
        {colm_BufString, 50, {"XY"}, true, {}},
        // The carriage return of an unfinished line stays in the own-string modes.
        {colm_String, 50, {"XY\r"}, false, {"XY\r"}},
        {colm_BufString, 50, {"XY\r"}, false, {"XY"}},
        {colm_BufString, 50, {"\r"}, false, {}},
        {colm_Binary, 3, {"XY"}, false, {"XY"}},
        {colm_Binary, 3, {"XY"}, true, {}},
        {colm_BufBinary, 3, {"XY"}, false, {}},
        {colm_String, 50, {}, false, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Collect(c.mode, c.script, c.unit, ceslm_Flag, c.fastEof), c.expected)
            << int(c.mode) << " fastEof " << c.fastEof;

    ScriptCollector c(128, {"XY"});
    c.StartStringFromTick(50, 0);
    EXPECT_EQ(c.CheckCollectorWithTick(0), colr_Ready);
    EXPECT_TRUE(c.Eof());
    c.StartStringFromTick(50, 0);
    EXPECT_EQ(c.CheckCollectorWithTick(0), colr_EOF);
}

TEST(Collector, TimeoutBoundaryWithInjectedTicks) {
    // Starting just before the tick counter wraps shows the difference is unsigned.
    for (TCollectorTick32 start : {5000u, 0xFFFFFF00u}) {
        ScriptCollector c(128);
        c.endIsEof = false;
        c.Timeout = 1000;
        c.StartStringFromTick(50, start);
        EXPECT_EQ(c.RemainWaitFromTheTick(start), 1000u);
        EXPECT_EQ(c.RemainWaitFromTheTick(start + 999), 1u);
        EXPECT_FALSE(c.IsTimeout(start + 999));
        EXPECT_EQ(c.CheckCollectorWithTick(start + 999), colr_NotReady);
        EXPECT_TRUE(c.IsTimeout(start + 1000));
        EXPECT_EQ(c.CheckCollectorWithTick(start + 1000), colr_Timeout);
        EXPECT_EQ(c.CollectorMode(), colm_None);
        EXPECT_EQ(c.RemainWaitFromTheTick(start + 1000), 0u);
        EXPECT_EQ(c.LastCheckResult(), colr_Timeout);
    }
    ScriptCollector c(128);
    c.endIsEof = false;
    c.Timeout = 0;
    c.StartBufBinaryFromTick(3, 77);
    EXPECT_EQ(c.CheckCollectorWithTick(77), colr_Timeout);
    c.Timeout = kNever;
    c.StartBufBinaryFromTick(3, 77);
    EXPECT_EQ(c.RemainWaitFromTheTick(77 + 3000000000u), kNever);
    EXPECT_EQ(c.CheckCollectorWithTick(77 + 3000000000u), colr_NotReady);
}

// NextBuf... runs on under the deadline of the operation started before it.
TEST(Collector, NextBufferedOperationKeepsTheDeadline) {
    ScriptCollector c(128, {"AB\n", ""});
    c.endIsEof = false;
    c.Timeout = 1000;
    c.StartBufStringFromTick(50, 100);
    ASSERT_EQ(c.CheckCollectorWithTick(600), colr_Ready);
    c.NextBufString(50);
    EXPECT_EQ(c.CheckCollectorWithTick(1099), colr_NotReady);
    EXPECT_EQ(c.CheckCollectorWithTick(1100), colr_Timeout);
    c.StartBufStringFromTick(50, 1100);
    EXPECT_EQ(c.CheckCollectorWithTick(2099), colr_NotReady);
}

TEST(Collector, BufferedBlockWaitsForItsLastByte) {
    ScriptCollector c(128, {"a", "", "b", "", "c"});
    c.endIsEof = false;
    c.Timeout = kNever;
    c.StartBufBinaryFromTick(3, 0);
    EXPECT_EQ(c.CheckCollectorWithTick(0), colr_NotReady);
    EXPECT_EQ(c.CheckCollectorWithTick(0), colr_NotReady);
    EXPECT_EQ(c.CheckCollectorWithTick(0), colr_Ready);
    EXPECT_EQ(c.BufData(), "abc");
}

TEST(Collector, UsageErrors) {
    ScriptCollector c(256);
    c.endIsEof = false;
    c.Timeout = kNever;
    c.StartStringFromTick(10, 0);
    EXPECT_EQ(Raised<ECollectorBusy>([&] { c.StartBinaryFromTick(nullptr, 0, 0); }),
              "Collector busy");
    EXPECT_THROW(c.NextWait(), ECollectorBusy);
    c.Clear();
    EXPECT_NO_THROW(c.StartBufStringFromTick(254, 0));
    c.Clear();
    EXPECT_EQ(Raised<ECollectorSizeTooBig>([&] { c.StartBufStringFromTick(255, 0); }),
              "Size too big");
    EXPECT_NO_THROW(c.StartBufBinaryFromTick(256, 0));
    c.Clear();
    EXPECT_EQ(Raised<ECollectorSizeTooBig>([&] { c.StartBufBinaryFromTick(257, 0); }),
              "Size too big");
    EXPECT_EQ(c.CollectorMode(), colm_None);
    EXPECT_THROW(c.StartBinaryFromTick(nullptr, 5, 0), ECollectorError);
    EXPECT_EQ(CollectorTooLongStringText(), u"Collector got too long string");
}

TEST(Collector, UnknownReadResultIsAnError) {
    for (TCollectorMode m : {colm_String, colm_Binary}) {
        ScriptCollector c(128);
        c.endCode = 7;
        char b[4];
        if (m == colm_String)
            c.StartStringFromTick(5, 0);
        else
            c.StartBinaryFromTick(b, 4, 0);
        EXPECT_EQ(Raised<Exception>([&] { c.CheckCollectorWithTick(0); }),
                  m == colm_String ? "Unknown collector read result {1}"
                                   : "Unknown collector read result {2}");
    }
}

// ---- on real sockets ----

TEST(CollectorSocket, EndOfInputAndErrors) {
    struct Case {
        const char* name;
        int how;  // 0 close, 1 reset
    } cases[] = {{"close", 0}, {"reset", 1}};
    for (const auto& k : cases) {
        snpstest::Pair p;
        TCollectorSocket c(128);
        c.SetSocket(p.a);
        c.Timeout = kNever;
        p.SendB("L1\nrest");
        ASSERT_TRUE(snpstest::WaitReadable(p.a));
        c.StartStringFromNow(50);
        // Data is waiting: the idle check must not take it for a close.
        ASSERT_EQ(c.CheckCollectorWithNow(), colr_Ready) << k.name;
        EXPECT_EQ(c.CollectedString(), "L1");
        if (k.how == 0)
            p.CloseB();
        else
            p.ResetB();
        ASSERT_TRUE(snpstest::WaitPeerClosed(p.a));
        c.NoteReadable();
        c.StartStringFromNow(50);
        const TCollectorCheckResult r = c.CheckCollectorWithNow();
        if (k.how == 0) {
            EXPECT_EQ(r, colr_Ready);
            EXPECT_EQ(c.CollectedString(), "rest");
            c.StartStringFromNow(50);
            EXPECT_EQ(c.CheckCollectorWithNow(), colr_EOF);
        } else {
            // A reset may drop the unread bytes; either way it ends as end of input.
            EXPECT_TRUE(r == colr_EOF || r == colr_Ready) << k.name;
        }
        c.StartWaitFromNow();
        EXPECT_EQ(c.CheckCollectorWithNow(), colr_EOF) << k.name;
    }
    TCollectorSocket bad(128);
    bad.SetSocket(-1);
    bad.StartBufBinaryFromNow(4);
    EXPECT_EQ(bad.CheckCollectorWithNow(), colr_Error);
    EXPECT_NE(bad.ErrorCode(), 0);
    EXPECT_FALSE(bad.ErrorDesc().empty());
    // The idle check, which reads nothing, sees it too.
    bad.Timeout = kNever;
    bad.StartWaitFromNow();
    EXPECT_EQ(bad.CheckCollectorWithNow(), colr_Error);
    EXPECT_EQ(bad.ErrorCode(), 10009);
}

namespace {

// Counts the reads that reach the socket (the idle close probe reads nothing).
class CountingSocketCollector : public TCollectorSocket {
  public:
    using TCollectorSocket::TCollectorSocket;
    int recvs = 0;

  protected:
    uint8_t ReadSource(char* buf, int max, int& got) override {
        if (max > 0) ++recvs;
        return TCollectorSocket::ReadSource(buf, max, got);
    }
};

}  // namespace

// A read event served as a session serves it: lines until a check is not
// ready. A read that found less than it offered drained the socket, so asking
// it again in the same event would only hear "would block".
TEST(CollectorSocket, ShortReadCostsOneRecvPerReadEvent) {
    snpstest::Pair p;
    CountingSocketCollector c(128);
    c.SetSocket(p.a);
    c.Timeout = kNever;
    auto readEvent = [&] {
        Lines lines;
        EXPECT_TRUE(snpstest::WaitReadable(p.a));
        c.NoteReadable();
        for (;;) {
            if (c.CollectorMode() == colm_None) c.StartBufStringFromNow(50);
            if (c.CheckCollectorWithNow() != colr_Ready) return lines;
            lines.emplace_back(c.BufData());
        }
    };
    p.SendB("P\n");
    EXPECT_EQ(readEvent(), Lines{"P"});
    EXPECT_EQ(c.recvs, 1);
    p.SendB("A\nB\npart");
    EXPECT_EQ(readEvent(), (Lines{"A", "B"}));
    EXPECT_EQ(c.recvs, 2);
    p.SendB("ial\n");
    EXPECT_EQ(readEvent(), Lines{"partial"});
    EXPECT_EQ(c.recvs, 3);
}

// A read that filled the space it offered may have left bytes behind: the
// next check reads again without waiting for a new event, while one check
// still reads about one buffer only.
TEST(CollectorSocket, FullReadIsFollowedByAnotherRead) {
    snpstest::Pair p;
    CountingSocketCollector c(128);
    c.SetSocket(p.a);
    c.Timeout = kNever;
    p.SendB(std::string(200, 'x'));
    ASSERT_TRUE(snpstest::WaitReadable(p.a));
    c.NoteReadable();
    std::vector<char> bin(300);
    c.StartBinaryFromNow(bin.data(), 300);
    EXPECT_EQ(c.CheckCollectorWithNow(), colr_NotReady);
    EXPECT_EQ(c.CollectorReadCounter, 128u);
    EXPECT_EQ(c.CheckCollectorWithNow(), colr_NotReady);
    EXPECT_EQ(c.CollectorReadCounter, 200u);
    EXPECT_EQ(c.recvs, 2);
    p.SendB(std::string(100, 'y'));
    ASSERT_TRUE(snpstest::WaitReadable(p.a));
    c.NoteReadable();
    ASSERT_EQ(c.CheckCollectorWithNow(), colr_Ready);
    EXPECT_EQ(c.recvs, 3);
    EXPECT_EQ(std::string(bin.data(), bin.size()), std::string(200, 'x') + std::string(100, 'y'));
}

// The read skipped after a short one never hides the end: a close that came
// with the data, or a reset after it, keeps the socket readable, and the
// check of the next read event finds it.
TEST(CollectorSocket, CloseAndResetAfterAShortReadArriveAtTheNextEvent) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset after the data" : "close with the data");
        snpstest::Pair p;
        CountingSocketCollector c(128);
        c.SetSocket(p.a);
        c.Timeout = kNever;
        p.SendB("L1\n");
        if (!reset) p.CloseB();
        ASSERT_TRUE(snpstest::WaitReadable(p.a));
        c.NoteReadable();
        c.StartBufStringFromNow(50);
        ASSERT_EQ(c.CheckCollectorWithNow(), colr_Ready);
        EXPECT_EQ(c.BufData(), "L1");
        c.StartBufStringFromNow(50);
        EXPECT_EQ(c.CheckCollectorWithNow(), colr_NotReady);
        EXPECT_EQ(c.recvs, 1);
        if (reset) p.ResetB();
        ASSERT_TRUE(snpstest::WaitPeerClosed(p.a));
        c.NoteReadable();
        const TCollectorCheckResult r = c.CheckCollectorWithNow();
        EXPECT_TRUE(r == colr_EOF || (reset && r == colr_Error)) << int(r);
        EXPECT_EQ(c.recvs, 2);
    }
}

// A line that arrived after a short read, whose read event the owner has
// not served yet when the operation's deadline comes, is read, not timed out.
TEST(CollectorSocket, DeadlineReadsWhatTheSkippedReadWouldHaveFound) {
    snpstest::Pair p;
    CountingSocketCollector c(128);
    c.SetSocket(p.a);
    c.Timeout = kNever;
    p.SendB("A\n");
    ASSERT_TRUE(snpstest::WaitReadable(p.a));
    c.NoteReadable();
    c.StartBufStringFromNow(50);
    ASSERT_EQ(c.CheckCollectorWithNow(), colr_Ready);
    p.SendB("B\n");
    ASSERT_TRUE(snpstest::WaitReadable(p.a));
    // No event served; the next line's time ran out a second ago.
    c.Timeout = 10;
    c.StartBufStringFromTick(50, GetTick32() - 1000);
    ASSERT_EQ(c.CheckCollectorWithNow(), colr_Ready);
    EXPECT_EQ(c.BufData(), "B");
    EXPECT_EQ(c.recvs, 2);
}

TEST(CollectorSocket, IdleCheckSeesOnlyTheCloseNotTheData) {
    snpstest::Pair p;
    TCollectorSocket c(128);
    c.SetSocket(p.a);
    c.Timeout = kNever;
    c.StartWaitFromNow();
    EXPECT_EQ(c.CheckCollectorWithNow(), colr_NotReady);
    p.SendB("data");
    ASSERT_TRUE(snpstest::WaitReadable(p.a));
    EXPECT_EQ(c.CheckCollectorWithNow(), colr_NotReady);
    char buf[8];
    ASSERT_EQ(::recv(p.a, buf, sizeof buf, 0), 4);
    p.CloseB();
    ASSERT_TRUE(snpstest::WaitPeerClosed(p.a));
    EXPECT_EQ(c.CheckCollectorWithNow(), colr_EOF);
    EXPECT_TRUE(c.Eof());
}

// A session is built on the accepting thread and read on its worker: the
// buffer must cost nothing until the owner reads, idle probes included.
TEST(CollectorSocket, BufferComesWithTheFirstRead) {
    snpstest::Pair p;
    TCollectorSocket c(3072);
    c.SetSocket(p.a);
    c.Timeout = kNever;
    c.Clear();
    c.StartWaitFromNow();
    EXPECT_EQ(c.CheckCollectorWithNow(), colr_NotReady);
    c.StartBufStringFromNow(100);
    EXPECT_EQ(c.BufData(), "");
    EXPECT_EQ(c.Buffer(), nullptr);
    p.SendB("L1\r\n");
    ASSERT_TRUE(snpstest::WaitReadable(p.a));
    c.NoteReadable();
    ASSERT_EQ(c.CheckCollectorWithNow(), colr_Ready);
    EXPECT_EQ(c.BufData(), "L1");
    EXPECT_NE(c.Buffer(), nullptr);
}

TEST(CollectorSocket, WaitFlagsFollowTheCollector) {
    TCollectorSocket c(128);
    EXPECT_EQ(c.WaitFlagsFor(false), wf_CloseOnly);
    EXPECT_EQ(c.WaitFlagsFor(true), wf_Write);
    c.Timeout = kNever;
    c.StartStringFromNow(10);
    EXPECT_EQ(c.WaitFlagsFor(false), wf_Read);
    EXPECT_EQ(c.WaitFlagsFor(true), wf_ReadWrite);
}

// ---- files ----

namespace {

std::string ListFileText() {
    std::string text;
    for (int i = 0; i < 60; ++i) {
        text += std::string(static_cast<size_t>(i * 7 % 100), static_cast<char>('a' + i % 26));
        text += i % 3 == 0 ? "\r\n" : "\n";
    }
    return text + "last line without end";
}

std::vector<std::string> ReadAllLines(TCollectorBase& c) {
    std::vector<std::string> out;
    for (;;) {
        TCollectorCheckResult r = c.StartBufStringAndCheck(120, GetTick32());
        while (r == colr_NotReady) r = c.CheckCollectorWithNow();
        if (r != colr_Ready) break;
        out.emplace_back(c.BufData());
    }
    return out;
}

}  // namespace

TEST(CollectorFile, ReadsTheSameLinesAsTheSocketCollector) {
    const std::string text = ListFileText();
    const std::string path = ::testing::TempDir() + "collector_lines.txt";
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    TCollectorFile file(Utf8BufToUnicodeStd(path), 128);
    file.Timeout = kNever;
    const auto fromFile = ReadAllLines(file);

    snpstest::Pair p;
    p.SendB(text);
    p.CloseB();
    TCollectorSocket sock(128);
    sock.SetSocket(p.a);
    sock.Timeout = kNever;
    const auto fromSocket = ReadAllLines(sock);

    ASSERT_EQ(fromFile.size(), 61u);
    EXPECT_EQ(fromFile, fromSocket);
    EXPECT_EQ(fromFile[3], std::string(21, 'd'));
    EXPECT_EQ(fromFile.back(), "last line without end");
    EXPECT_TRUE(file.Eof());
    std::remove(path.c_str());
}

TEST(CollectorFile, OpenErrors) {
    EXPECT_EQ(Raised<ECollectorFileNameEmpty>([] { TCollectorFile f(u"", 128); }),
              "Empty file name");
    TCollectorFile later(128);
    EXPECT_THROW(later.Open(), ECollectorFileNameEmpty);
    later.StartBufStringFromTick(10, 0);
    EXPECT_EQ(Raised<ECollectorFileNotOpened>([&] { later.CheckCollectorWithTick(0); }),
              "File not opened: \"\"");
    EXPECT_THROW(TCollectorFile(u"/nonexistent-dir/none.dat", 128), Exception);
}
