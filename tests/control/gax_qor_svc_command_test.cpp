#include "control/gax_qor_svc_command.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "control/cmdctx_test_support.h"
#include "foundation/gax_ansi_unicode_converter.h"
#include "protocol/gax_qor_fields.h"
#include "protocol/gax_qor_sourceid.h"

namespace {

using namespace gax;
using namespace cmd_test;
using R = TQORCmdDecodeResult;

std::string F(std::string_view s) {
    return HexLenStr(s);
}
std::string I(uint32_t n) {
    return HexLenUIntToStr(n);
}

const std::string kMail = "op@example.org";

// ------------------------------------------------------------ decoding

struct DecodeCase {
    std::string line;
    R result;
    TQORChannelCommandAnswer word;  // for Refuse
};

TEST(ChannelRequestDecode, AcceptsAndRefusesByTheLineRules) {
    const std::string id = MakeSourceId(kMail);
    const DecodeCase cases[] = {
        {"", R::Empty, fsca_NoAnswer},
        {" \t ", R::Empty, fsca_NoAnswer},
        {"00B:00", R::Request, fsca_NoAnswer},
        {"  00B:00  ", R::Request, fsca_NoAnswer},
        {"00B:0", R::Refuse, fsca_NoAnswer},          // short
        {"00B:01", R::Refuse, fsca_NoAnswer},         // field longer than the line
        {"00B:\x01" "00", R::Refuse, fsca_NoAnswer},  // control byte
        {"01B:00", R::Refuse, fsca_NoAnswer},
        {"00B-00", R::Refuse, fsca_NoAnswer},
        {"00?:00", R::Refuse, fsca_NoAnswer},         // unknown code
        {"00M:00", R::Refuse, fsca_NotSupported},
        {"00A:0000", R::Request, fsca_NoAnswer},
        {"00C:00", R::Request, fsca_NoAnswer},
        {"00C:" + F("Net01"), R::Request, fsca_NoAnswer},
        {"00D:" + F("Net01") + F("60") + F(kMail) + "1", R::Request, fsca_NoAnswer},
        {"00D:" + F("Net01") + F("") + F(kMail) + "0", R::Request, fsca_NoAnswer},
        {"00D:" + F("Net01") + F("60") + F(kMail) + "2", R::Refuse, fsca_NoAnswer},
        {"00D:" + F("Net01") + F("60") + F(kMail) + "11", R::Refuse, fsca_NoAnswer},
        {"00D:" + F("Net01") + F("4294967295") + F(kMail) + "1", R::Refuse, fsca_NoAnswer},
        {"00E:" + F("") + F("60") + F(kMail) + "1", R::Refuse, fsca_NoAnswer},
        {"00F:" + F("Net01") + F(id) + "1", R::Request, fsca_NoAnswer},
        {"00K:" + F("Net01") + "?", R::Request, fsca_NoAnswer},
        {"00L:" + F("Net01") + "x", R::Refuse, fsca_NoAnswer},
        {"00N:03", R::Request, fsca_NoAnswer},
        {"00N:04", R::Refuse, fsca_NoAnswer},
        {"00O:" + F("Net01") + "02", R::Request, fsca_NoAnswer},
        {"00O:" + F("Net01") + "021", R::Refuse, fsca_NoAnswer},
        {"00S:" + F(kMail) + F("Net01") + F("Test") + I(30), R::Request, fsca_NoAnswer},
        {"00S:" + F(id) + F("Net01") + F("Test") + I(30), R::Request, fsca_NoAnswer},
        {"00S:" + F(kMail) + F("Net01") + F("Test") + I(30) + "x", R::Refuse, fsca_NoAnswer},
        {"00T:0000", R::Request, fsca_NoAnswer},
        {"00T:" + F("") + F(kMail), R::Refuse, fsca_NoAnswer},  // a client needs its network
        {"00Y:03", R::Request, fsca_NoAnswer},
        {"00Y:04", R::Refuse, fsca_NoAnswer},
        {"00Z:" + F("10.0.0.1") + F("0"), R::Request, fsca_NoAnswer},  // 0: any port
        {"00Z:" + F("10.0.0.1") + F("65536"), R::Refuse, fsca_NoAnswer},
        {"00b:" + F("") + F("7"), R::Request, fsca_NoAnswer},
        {"00b:" + F("") + F("8"), R::Refuse, fsca_NoAnswer},
        {"00i:03", R::Request, fsca_NoAnswer},
        {"00i:01" + F(kMail) + F("Net01") + F("NOLIST !DUMMY"), R::Request, fsca_NoAnswer},
        {"00i:01" + F(kMail) + F("Net01") + F("NOLIST BOGUS"), R::Refuse, fsca_WrongText},
        {"00i:02" + F(kMail) + F("Net01"), R::Request, fsca_NoAnswer},
        {"00p:" + I(3) + I(7), R::Request, fsca_NoAnswer},
        {"00p:" + I(4) + I(7), R::Refuse, fsca_NoAnswer},
        {"00s:31", R::Request, fsca_NoAnswer},
        {"00s:41", R::Refuse, fsca_NoAnswer},
        {"00d:" + F("2") + F(kMail), R::Request, fsca_NoAnswer},
        {"00c:" + F("addr") + F(kMail) + F("pw"), R::Request, fsca_NoAnswer},
        {"00c:" + F("addr") + F("") + F("pw"), R::Refuse, fsca_NoAnswer},
        {"005:" + F("x.txt") + "1", R::Refuse, fsca_NoAnswer},  // 5..8: the field ends the line
        {"003:" + F("x.txt") + "1", R::Request, fsca_NoAnswer},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        TQORCmdRequest q;
        EXPECT_EQ(DecodeChannelRequest(c.line, q), c.result);
        if (c.result == R::Refuse) {
            EXPECT_EQ(q.Word, c.word);
        }
    }
}

TEST(ChannelRequestDecode, ClientsBecomeIdsAndNumbersAreRead) {
    TQORCmdRequest q;
    ASSERT_EQ(DecodeChannelRequest("00D:" + F("Net01") + F(" 60 ") + F(kMail) + "1", q),
              R::Request);
    EXPECT_EQ(q.ClientId, MakeSourceId(kMail));
    EXPECT_EQ(q.Net1, "Net01");
    EXPECT_EQ(q.Num1, 60);
    EXPECT_TRUE(q.Flag);

    const std::string id = MakeSourceId("x@y");
    ASSERT_EQ(DecodeChannelRequest("00F:" + F("Net01") + F(id) + "0", q), R::Request);
    EXPECT_EQ(q.ClientId, id);  // an id stays as it is
    EXPECT_FALSE(q.Flag);

    ASSERT_EQ(DecodeChannelRequest("00K:" + F("Net01") + "?", q), R::Request);
    EXPECT_EQ(q.Num1, -1);

    ASSERT_EQ(DecodeChannelRequest("00p:" + I(2) + I(5), q), R::Request);
    EXPECT_EQ(q.Num1, 2);
    EXPECT_EQ(q.Num2, 5);
}

// ------------------------------------------------------------ on a worker

class CommandCtx : public ::testing::Test {
  protected:
    void SetUp() override { worker.Start(); }
    void TearDown() override {
        worker.WorkerForceAbortThread();
        worker.Join();
    }
    // Waits for the context's disconnect record.
    void ExpectStopped(Conn& c) {
        ASSERT_TRUE(host.WaitStopped(c.ctx.get()));
        c.stopped = true;
        const auto* rec = host.Find(Cmd::snc_CommandDisconnected);
        EXPECT_EQ(rec->nqr_GlobalKey, c.ctx->CtxGlobalKey());
    }
    // One request on a fresh connection; everything the server wrote until it closed.
    std::string OneShot(std::string_view aLine, TQORSVCDisconnectCause* aCause = nullptr) {
        Conn c(host, worker);
        c.Send(aLine);
        std::string out;
        EXPECT_TRUE(ReadUntilClose(c.peer, out));
        ExpectStopped(c);
        if (aCause) *aCause = c.ctx->DisconnectCauseR();
        host.records.clear();
        return out;
    }

    FakeCmdHost host;
    TQORSVCWorker worker{&host, false, 0};
};

TEST_F(CommandCtx, StopAnswersOKThenAbortsWithItsText) {
    Conn c(host, worker);
    c.Send("00B:00\r\n");
    std::string out;
    ASSERT_TRUE(ReadAtLeast(c.peer, out, 5));
    EXPECT_EQ(out, "+OK\r\n");
    ASSERT_EQ(host.Aborts().size(), 1u);
    EXPECT_EQ(host.Aborts()[0], u"STOP COMMAND");
}

TEST_F(CommandCtx, ImmediateAnswersAndRefusalsWithAWord) {
    host.uptime = 90061;
    struct Case {
        std::string line, answer;
    } cases[] = {
        {"00R:00\r\n", "+1\r\nServer uptime: " + UnicodeToUtf8Str(FormatSecondsInterval(90061)) +
                           " / 90061 seconds\r\n"},
        {"00X:00\r\n", "+1\r\n" + std::to_string(::getpid()) + "\r\n"},
        {"00i:03\r\n",
         "+8\r\nIGNORECLIENTMESSAGES\r\nIGNORECLIENTSOUNDS\r\nNOSERVERMESSAGES\r\n"
         "NOSERVERSOUNDS\r\nAGGREGATELIST\r\nNOLIST\r\nDUMMY\r\nSVX\r\n"},
        {"00M:00\r\n", "-NOSUPPORT\r\n"},
        {"00D:" + F("Nowhere") + F("") + F(kMail) + "1\r\n", "-NONET\r\n"},
        {"001:" + F("1") + F("pw") + "\r\n", "-NOMANAGER\r\n"},
        {"002:" + F("two") + F("pw") + "\r\n", "-TOOMANYMANAGERS\r\n"},
        {"00p:" + I(0) + I(1) + "\r\n", "-NOSUPPORT\r\n"},  // managers disabled
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.line);
        // Every one of these ends with the peer's close or the server's.
        Conn c(host, worker);
        c.Send(k.line);
        std::string out;
        ASSERT_TRUE(ReadAtLeast(c.peer, out, k.answer.size()));
        EXPECT_EQ(out, k.answer);
        ::shutdown(c.peer, SHUT_WR);
        std::string rest;
        EXPECT_TRUE(ReadUntilClose(c.peer, rest));
        EXPECT_EQ(rest, "");
        ExpectStopped(c);
        host.records.clear();
    }
}

TEST_F(CommandCtx, UnreadableLinesCloseWithoutAByte) {
    const std::string lines[] = {
        "00B:\x01" "00\r\n",  // control byte
        "00B\r\n",            // short
        "00?:00\r\n",         // unknown code
        "00C:09Net01\r\n",    // length beyond the line
        "00b:" + F("") + F("8") + "\r\n",
        "00S:" + F(kMail) + F("Net01") + F("Net01") + I(0) + "\r\n",  // same network twice
    };
    for (const auto& line : lines) {
        SCOPED_TRACE(line);
        TQORSVCDisconnectCause cause{};
        EXPECT_EQ(OneShot(line, &cause), "");
        EXPECT_EQ(cause, TQORSVCDisconnectCause::fsdc_CommandWrongCommand);
    }
}

TEST_F(CommandCtx, RequestsReachTheQueuesWithTheirArgumentsAndTheAsker) {
    Conn c(host, worker);
    c.Send("00D:" + F("net01") + F("60") + F(kMail) + "1\r\n");
    std::string out;
    ASSERT_TRUE(ReadAtLeast(c.peer, out, 5));
    EXPECT_EQ(out, "+OK\r\n");
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_ChannelMute));
    const auto* mute = host.Find(Cmd::snc_ChannelMute);
    EXPECT_TRUE(mute->nqr_ReceiverObj.Is(&host.nets.at(u"Net01")));
    EXPECT_EQ(mute->nqr_DataS2, MakeSourceId(kMail));
    EXPECT_EQ(mute->nqr_DataI0, 60);

    // A list answered later, by the heartbeat, goes to the asker.
    c.Send("00C:00\r\n");
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_ChannelListServer));
    const auto* list = host.Find(Cmd::snc_ChannelListServer);
    EXPECT_TRUE(list->nqr_Context.Is(static_cast<const TQORSVCWrkCtx*>(c.ctx.get())));
    EXPECT_EQ(list->nqr_GlobalKey, c.ctx->CtxGlobalKey());
    c.Answer("+2\r\nNet01\r\n0\r\n");
    out.clear();
    ASSERT_TRUE(ReadAtLeast(c.peer, out, 14));
    EXPECT_EQ(out, "+2\r\nNet01\r\n0\r\n");

    // The managers list is answered by the heartbeat from the manager slots.
    c.Send("00r:00\r\n");
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_ChannelManagersList));
    EXPECT_EQ(host.Find(Cmd::snc_ChannelManagersList)->nqr_GlobalKey, c.ctx->CtxGlobalKey());
    c.Answer("+0\r\n");
    out.clear();
    ASSERT_TRUE(ReadAtLeast(c.peer, out, 4));
    EXPECT_EQ(out, "+0\r\n");

    // A move by e-mail is queued and answered through vCommandAnswer.
    c.Send("00S:" + F(kMail) + F("Net01") + F("Test") + I(30) + "\r\n");
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_ChannelMoveClient));
    const auto* mv = host.Find(Cmd::snc_ChannelMoveClient);
    EXPECT_TRUE(mv->nqr_SenderObj.Is(&host.nets.at(u"Net01")));
    EXPECT_TRUE(mv->nqr_ReceiverObj.Is(&host.nets.at(u"Test")));
    EXPECT_EQ(mv->nqr_DataS1, MakeSourceId(kMail));
    EXPECT_EQ(mv->nqr_DataI0, 30);
    c.ctx->vCommandAnswer(fwac_MoveClient, fsca_Denied, u"");
    if (worker.TakeWakeUpFlag()) worker.WorkerWakeUp();
    out.clear();
    ASSERT_TRUE(ReadAtLeast(c.peer, out, 9));
    EXPECT_EQ(out, "-DENIED\r\n");

    // The server-wide client log level is set at once.
    c.Send("00b:" + F("") + F("5") + "\r\n");
    out.clear();
    ASSERT_TRUE(ReadAtLeast(c.peer, out, 5));
    EXPECT_EQ(host.clientLevel.load(), 5);
}

TEST_F(CommandCtx, EachLineHasThreeSecondsAfterThePrevious) {
    Conn c(host, worker);
    const TGaxTick32 start = GetTick32();
    c.Send("00B:00\r\n00R:00\r\n");  // two at once: both answered
    std::string out;
    ASSERT_TRUE(ReadAtLeast(c.peer, out, 5 + 4));
    EXPECT_EQ(out.substr(0, 9), "+OK\r\n+1\r\n");
    // Then silence: the context ends on its own about 3 s later.
    std::string rest;
    ASSERT_TRUE(ReadUntilClose(c.peer, rest, 8000));
    const uint32_t took = TickDiff32(start, GetTick32());
    EXPECT_GE(took, 2900u);
    ExpectStopped(c);
    EXPECT_EQ(c.ctx->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_ClientTimeout);
}

TEST_F(CommandCtx, RefusalAfterAPartialFlushStillEndsOnceTheBytesAreOut) {
    Conn c(host, worker);
    // More than the socket pair buffers, so the first flush leaves bytes.
    const std::string big(4 << 20, 'x');
    c.Answer(big);
    c.Send("00?:00\r\n");
    std::string out;
    EXPECT_TRUE(ReadUntilClose(c.peer, out, 10000));
    EXPECT_EQ(out.size(), big.size());
    ExpectStopped(c);
    EXPECT_EQ(c.ctx->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_CommandWrongCommand);
}

}  // namespace
