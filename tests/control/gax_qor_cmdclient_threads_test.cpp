// The console's channel commands against a fake channel server: a thread that
// listens on 127.0.0.1, records the request line and replies with canned bytes.
#include "control/gax_qor_cmdclient.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "control/channel_server_test_support.h"
#include "foundation/gax_mlang.h"
#include "protocol/gax_qor_fields.h"

using namespace gax;
using C = TQORSVCCommand;

namespace {

// aSilent: after the reply the line stays open until the client hangs up.
struct FakeChannelServer : chan_test::ScriptedServer {
    explicit FakeChannelServer(std::string aReply, bool aSilent = false)
        : ScriptedServer(std::move(aReply), !aSilent) {}
};

const TCharsetsCodeList& Codes() {
    static const std::unique_ptr<TCharsetsCodeList> list = CreateCharsetsCodeList();
    return *list;
}

std::string Drain(std::FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

struct Outcome {
    int code;
    std::string out, err;
};

Outcome RunCommand(C aCommand, int aPort, TQORSVCCommandLineOptions o = {}) {
    TQORCommandChannelParams ch;
    ch.cfg_CmdEnabled = true;
    ch.cfg_CmdPort = aPort;
    TQORConsoleOutput out;
    out.Out = std::tmpfile();
    out.Err = std::tmpfile();
    out.CodeList = &Codes();
    out.ConsoleCharset = u"UTF-8";
    out.SystemCharset = u"UTF-8";
    Outcome r;
    r.code = RunChannelCommand(aCommand, o, ch, out);
    r.out = Drain(out.Out);
    r.err = Drain(out.Err);
    return r;
}

std::string Fx(const std::string& s) {
    return HexLenStr(s);
}

}  // namespace

TEST(ConsoleChannel, AnswerWordsGiveTheirExitCodeAndMessage) {
    struct Case {
        const char* reply;
        int code;
        const char* message;  // after "ERROR: stop: "; empty for success
    };
    const Case cases[] = {
        {"+OK\r\n", 0, ""},
        {"+7\r\n", 0, ""},
        {"\r\n", 24, "No answer"},
        {"-nonet\r\n", 3, "Unknown answer"},
        {"-NONET\r\n", 25, "Wrong network"},
        {"-NOSUPPORT\r\n", 20, "Not supported"},
        {"-NOCLIENT\r\n", 27, "No client online"},
        {"-FAKE\r\n", 26, "Fake"},
        {"-DENIED\r\n", 18, "Operation denied"},
        {"-BUSY\r\n", 21, "Busy"},
        {"-NOTCONNECTED\r\n", 19, "Not connected"},
        {"-NOTADMIN\r\n", 18, "Not admin"},
        {"-NOTOWNER\r\n", 18, "Not owner"},
        {"-NOLIST\r\n", 29, "No clients list mode"},
        {"-ERROR\r\n", 3, "Operation error"},
        {"-NOMANAGER\r\n", 30, "QOR System Manager not found"},
        {"-TOOMANYMANAGERS\r\n", 31, "Found too many QOR System Managers"},
        {"-WRONGTEXT\r\n", 32, "Wrong command parameters or text"},
        {"-WRONGEMAIL\r\n", 33, "Wrong email"},
        {"-NOTREGISTERED\r\n", 34, "Not registered"},
        {"-NOSPEAKER\r\n", 36, "No speaker"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        FakeChannelServer srv(c.reply);
        const Outcome r = RunCommand(C::dstop, srv.Port());
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err, *c.message ? std::string("ERROR: stop: ") + c.message + "\r\n" : "");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(srv.Request(), "00B:00\r\n");
    }
}

TEST(ConsoleChannel, SwitchesUseOneAnswerAndQueriesAList) {
    TQORSVCCommandLineOptions o;
    o.sclo_Par2 = u"Main";
    for (C cmd : {C::connenable, C::conndisable, C::talkenable, C::talkdisable}) {
        FakeChannelServer srv("+OK\r\n");
        const Outcome r = RunCommand(cmd, srv.Port(), o);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
    FakeChannelServer srv("+1\r\nConnect listed only: on\r\n");
    const Outcome r = RunCommand(C::connstatus, srv.Port(), o);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Connect listed only: on\r\n");
    EXPECT_EQ(srv.Request(), "00K:" + Fx("Main") + "?\r\n");
}

TEST(ConsoleChannel, ListAnswersArePrinted) {
    FakeChannelServer threads("+2\r\n3\r\n12\r\n");
    Outcome r = RunCommand(C::threads, threads.Port());
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "Working thread #0: 3 connection(s)\r\nWorking thread #1: 12 connection(s)\r\n");

    const std::string parrot(24, 'P');
    const std::string list =
        "+4\r\n" + Fx("Main") + Fx("") + Fx(parrot) + "\r\n1\r\n" + "A0" +
        TypedFieldStr('2', "Call1") + TypedFieldStr('8', "ID1") + "\r\n" + "0" + Fx("10.0.0.1") +
        Fx("one@example.org") + "00" + Fx("") + Fx("") + "\r\n";
    FakeChannelServer clients(list);
    TQORSVCCommandLineOptions o;
    o.sclo_Ip = true;
    r = RunCommand(C::list, clients.Port(), o);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Main:\r\n    Call1;;;;;10.0.0.1\r\n");

    // A damaged list prints what it could, then the error, and fails.
    FakeChannelServer damaged("+3\r\n" + Fx("Main") + Fx("") + Fx(parrot) + "\r\n1\r\n" + "A0" +
                              TypedFieldStr('2', "Call1") + "\r\n");
    r = RunCommand(C::list, damaged.Port());
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "ERROR: Invalid format client line\r\n");
}

TEST(ConsoleChannel, RefusedSilentAndShortAnswers) {
    // Bound but not listening: connects are refused.
    const int held = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(held, reinterpret_cast<sockaddr*>(&a), &len);
    Outcome r = RunCommand(C::dstop, ntohs(a.sin_port));
    ::close(held);
    EXPECT_EQ(r.code, 16);
    EXPECT_EQ(r.err, "ERROR: stop: Socket error (10061): Connection refused\r\n");

    FakeChannelServer silent("", true);
    r = RunCommand(C::dstop, silent.Port());
    EXPECT_EQ(r.code, 16);
    EXPECT_EQ(r.err.rfind("ERROR: stop: Socket error (10060): ", 0), 0u) << r.err;

    // Two of three lines, then silence: a time-out either way, and nothing printed.
    FakeChannelServer shortList("+3\r\none\r\ntwo\r\n", true);
    r = RunCommand(C::uptime, shortList.Port());
    EXPECT_TRUE(r.code == 16 || r.code == 28) << r.code;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("ERROR: uptime: ", 0), 0u) << r.err;
}
