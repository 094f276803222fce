// The work context's own rules: first cause wins, the terminate signal, the
// peer texts and key, and the module's log and script helpers.
#include "server/gax_qor_svc_wrkctx.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include "server/worker_test_support.h"

namespace {

using namespace wrk_test;
using Cause = TQORSVCDisconnectCause;

// A context that is never run: only its base behaviour is looked at.
class BareCtx final : public TQORSVCWrkCtx {
  public:
    using TQORSVCWrkCtx::TQORSVCWrkCtx;
    void vExecStart(TQORSVCStepParams&) override {}
    TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams&) override { return wer__OK; }
    TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams&) override { return wer__OK; }
    bool vExecTimeout(TQORSVCStepParams&) override { return false; }
};

TEST(WrkCtx, FirstCauseWinsAndTerminateStillSignals) {
    FakeHost host;
    BareCtx c(&host, INVALID_SOCKET_HANDLE, std::string("\x0a\x00\x00\x05", 4), 1);
    EXPECT_EQ(c.DisconnectCauseR(), Cause::fsdc_DisconnectWithoutAuth);
    EXPECT_FALSE(c.DisconnectCauseW(Cause::fsdc_DisconnectWithoutAuth));
    EXPECT_TRUE(c.DisconnectCauseW(Cause::fsdc_WrongCommand));
    EXPECT_FALSE(c.DisconnectCauseW(Cause::fsdc_ServerStopped));
    c.vSetDisconnectCauseOnTimeout();
    c.ClientTerminateSignal(Cause::fsdc_AdminBlock);  // no worker yet: nothing to flag
    EXPECT_EQ(c.DisconnectCauseR(), Cause::fsdc_WrongCommand);
    EXPECT_EQ(c.IntrFlag(), ifl_Terminate);
    EXPECT_EQ(c.WaiterFlag(), 0);

    // With a worker, the terminate signal flags it (and does not interrupt it).
    TQORSVCWorker w(&host, false, 1);
    c.SetCtxWorker(&w);
    c.ClientTerminateSignal(Cause::fsdc_AdminBlock);
    EXPECT_TRUE(w.TakeWakeUpFlag());
    EXPECT_FALSE(w.TakeWakeUpFlag());
    c.SetCtxWorker(nullptr);
}

TEST(WrkCtx, InterruptWordClearsOnlyTheBitsItRead) {
    BareCtx c(nullptr, INVALID_SOCKET_HANDLE, std::string(4, '\0'), 1);
    c.SetIntrFlags(ifl_Flush);
    c.SetWaiterFlag(static_cast<uint16_t>(kWaiterFlagStep));
    const uint32_t seen = c.IntrFlags();
    EXPECT_EQ(seen, (uint32_t{ifl_Flush} << 16) | kWaiterFlagStep);
    c.SetIntrFlags(ifl_Terminate);  // arrives after the read
    c.ClearIntrBits(seen);
    EXPECT_EQ(c.IntrFlag(), ifl_Terminate);
    EXPECT_EQ(c.TakeIntrFlags(), uint32_t{ifl_Terminate} << 16);
    EXPECT_EQ(c.IntrFlags(), 0u);
}

TEST(WrkCtx, PeerTextsKeyAndSocket) {
    struct Case {
        std::string bin;
        int port;
        const char* address;
        const char* name;
    };
    const Case cases[] = {
        {std::string("\xc0\xa8\x01\x02", 4), 10024, "192.168.1.2", "192.168.1.2:10024"},
        {std::string("\x20\x01\x0d\xb8", 4) + std::string(10, '\0') + std::string("\x00\x01", 2), 5,
         "2001:db8::1", "[2001:db8::1]:5"},
    };
    FakeHost host;
    TQORGlobalKey last = 0;
    for (const Case& k : cases) {
        BareCtx c(&host, INVALID_SOCKET_HANDLE, k.bin, k.port);
        EXPECT_EQ(c.Peer_Address(), k.address);
        EXPECT_EQ(c.Peer_Name(), k.name);
        EXPECT_EQ(c.Peer_Port(), std::to_string(k.port));
        EXPECT_EQ(c.SessionIP_U().size(), std::string(k.name).size());
        EXPECT_GT(c.CtxGlobalKey(), last);
        last = c.CtxGlobalKey();
        EXPECT_EQ(c.pCfg(), &host.cfg);
    }
    // Without a service the key is 1.
    BareCtx lone(nullptr, INVALID_SOCKET_HANDLE, cases[0].bin, 1);
    EXPECT_EQ(lone.CtxGlobalKey(), 1u);

    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    {
        BareCtx owner(nullptr, sv[0], cases[0].bin, 1);
        owner.vCloseSocket();
        EXPECT_EQ(owner.CtxSocket(), INVALID_SOCKET_HANDLE);
        owner.vCloseSocket();  // closed already: nothing
    }
    char b;
    EXPECT_EQ(::recv(sv[1], &b, 1, 0), 0);  // our end saw the close
    ::close(sv[1]);
}

TEST(WrkCtx, BaseSlotsThatMustBeOverriddenRaise) {
    BareCtx c(nullptr, INVALID_SOCKET_HANDLE, std::string(4, '\0'), 1);
    EXPECT_THROW(c.vFlush(), Exception);
    EXPECT_THROW(c.vAbortConnection(), Exception);
    EXPECT_THROW(c.vExecStop(nullptr), Exception);
    EXPECT_TRUE(c.vCanDispose());
}

TEST(WrkCtx, DisconnectDescriptionEscapesWhatThePeerSent) {
    struct Case {
        Cause cause;
        std::u16string cmdErr;
        std::u16string errorText;
        std::u16string expected;
    };
    const Case cases[] = {
        {Cause::fsdc_ClientTimeout, u"", u"", u"Client: 1.2.3.4 5 DISCONNECT_TIMEOUT"},
        {Cause::fsdc_WrongCommand, u"", u"", u"Client: 1.2.3.4 5 DISCONNECT_INVALID_COMMAND"},
        {Cause::fsdc_WrongCommand, u"XX\r\n2026-01-01 ERROR: forged", u"",
         u"Client: 1.2.3.4 5 DISCONNECT_INVALID_COMMAND "
         u"WRONG_CMD=`XX\\x0D\\x0A2026-01-01 ERROR: forged`"},
        // The command parser escaped the text already: its escapes stay as they are.
        {Cause::fsdc_WrongCommand, u"invalid message command: TM:\\x0D\\x5C", u"",
         u"Client: 1.2.3.4 5 DISCONNECT_INVALID_COMMAND "
         u"WRONG_CMD=`invalid message command: TM:\\x0D\\x5C`"},
        {Cause::fsdc_InvalidCharacter, u"a\x01\\b\x7f", u"",
         u"Client: 1.2.3.4 5 DISCONNECT_INVALID_CHARACTERS WRONG_CHARS=`a\\x01\\x5Cb\\x7F`"},
        {Cause::fsdc_ClientTimeout, u"ignored for this cause", u"bad\tthing",
         u"Client: 1.2.3.4 5 DISCONNECT_TIMEOUT ERROR_TEXT=`bad\\x09thing`"},
        {Cause::fsdc_DisconnectWithoutAuth, u"", u"", u"Client: 1.2.3.4 5 HANDSHAKE_NONE"},
    };
    for (const Case& k : cases) {
        BareCtx c(nullptr, INVALID_SOCKET_HANDLE, std::string("\x01\x02\x03\x04", 4), 5);
        c.SetConnectionStringU(u"Client: 1.2.3.4 5");
        c.DisconnectCauseW(k.cause);
        c.SetConnectionCmdErr(k.cmdErr);
        if (!k.errorText.empty()) {
            c.SetInternalErrorText(k.errorText);
            c.SetInternalErrorText(u"a second text is dropped");
        }
        TStringBldU b;
        AppendDisconnectDescription(b, c);
        EXPECT_EQ(ToText(b), k.expected);
    }
}

TEST(WrkCtx, ScriptHelpers) {
    struct Case {
        std::u16string arg;
        std::u16string out;
    };
    const Case cases[] = {
        {u"", u"\"\""},
        {u"plain", u"plain"},
        {u"two words", u"\"two words\""},
        {u"trailing ", u"trailing "},
        {u" lead", u"\" lead\""},
        {u"say \"hi\" x", u"\"say \"hi\" x\""},
    };
    for (const Case& k : cases) {
        TStringBldU b;
        AppendScriptArgument(b, k.arg);
        EXPECT_EQ(ToText(b), k.out) << std::string(k.arg.begin(), k.arg.end());
    }
    EXPECT_EQ(FormatScriptExecErrorText(u"a.sh", u"denied"),
              u"Error of execiting \"a.sh\": denied");
    std::u16string err = u"stale";
    const std::u16string args[] = {u"x"};
    EXPECT_EQ(RunExternalScript(err, u"a.sh", args), 0);
    EXPECT_TRUE(err.empty());
}

TEST(WrkCtx, LogLinesCarryTheConnectionText) {
    FakeHost host;
    BareCtx c(&host, INVALID_SOCKET_HANDLE, std::string(4, '\0'), 1);
    c.SetConnectionStringU(u"Command: 127.0.0.1 9 ");
    c.call_OnCtxInfo(u"i");
    c.call_OnCtxError(u"e");
    c.call_OnCtxDebug(u"d");
    c.call_OnCtxWarning(u"w");
    const std::vector<std::u16string> expected = {
        u"Command: 127.0.0.1 9 i", u"ERROR: Command: 127.0.0.1 9 e",
        u"DEBUG: Command: 127.0.0.1 9 d", u"WARNING: Command: 127.0.0.1 9 w"};
    EXPECT_EQ(host.Log(), expected);
}

}  // namespace
