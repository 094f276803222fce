// The command-channel client against a scripted server thread on a loopback port.
#include "control/gax_qor_cmdchannel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "control/channel_server_test_support.h"

using namespace gax;
using chan_test::ScriptedServer;

namespace {

TQORCommandChannelParams ChannelSetup(int port) {
    TQORCommandChannelParams p;
    p.cfg_CmdEnabled = true;
    p.cfg_CmdPort = port;
    p.cfg_CmdIPVersion = ipver_4;
    return p;
}

TEST(CommandCommunicator, SingleAnswers) {
    struct Case {
        const char* reply;
        TQORChannelCommandAnswer answer;
        int exitCode;
    };
    const Case cases[] = {
        {"+OK\r\n", fsca_OK, 0},
        {"+1\r\n", fsca_OK, 0},
        {"  +anything  \r\n", fsca_OK, 0},
        {"\r\n", fsca_NoAnswer, 24},
        {"hello\r\n", fsca_Unknown, 3},
        {"-nonet\r\n", fsca_Unknown, 3},
        {"-NONET\r\n", fsca_NoNetwork, 25},
        {"-TOOMANYMANAGERS\r\n", fsca_TooManyManagers, 31},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        ScriptedServer srv(c.reply, true);
        TQORChannelCommandAnswer a = fsca_Busy;
        EXPECT_EQ(ChannelSendCommand(ChannelSetup(srv.Port()), "00B:00\r\n", a), 0);
        EXPECT_EQ(a, c.answer);
        EXPECT_EQ(ChannelOutcomeExitCode(0, a), c.exitCode);
        EXPECT_EQ(srv.Request(), "00B:00\r\n");
    }
}

TEST(CommandCommunicator, ServerThatHangsUpIsASocketError) {
    ScriptedServer srv("", true);
    TQORChannelCommandAnswer a;
    const int err = ChannelSendCommand(ChannelSetup(srv.Port()), "00R:00\r\n", a);
    EXPECT_NE(err, 0);
    EXPECT_EQ(ChannelOutcomeExitCode(err, a), 16);
}

TEST(CommandCommunicator, NothingListeningIsRefused) {
    // Bound but not listening: the port is held, and connects to it are refused.
    const int held = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(held, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);

    TQORChannelCommandAnswer a = fsca_OK;
    const int err = ChannelSendCommand(ChannelSetup(port), "00B:00\r\n", a);
    EXPECT_EQ(err, 10061);
    ::close(held);

    std::FILE* f = std::tmpfile();
    EXPECT_EQ(PrintChannelOutcome(err, a, u"ERROR: stop", u"UTF-8", nullptr, f), 16);
    std::rewind(f);
    char buf[128] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, n), "ERROR: stop: Socket error (10061): Connection refused\r\n");
}

TEST(CommandCommunicator, ListAnswers) {
    struct Case {
        std::string reply;
        TQORChannelCommandAnswer answer;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"+0\r\n", fsca_OK, {}},
        // Lines that arrive together with the count are kept for the next reads.
        {"+2\r\nfirst line\r\n second \r\n", fsca_OK, {"first line", " second "}},
        {"+x\r\n", fsca_Unknown, {}},
        {"+\r\n", fsca_Unknown, {}},
        {"+-1\r\n", fsca_Unknown, {}},
        // A hostile count is refused before anything is reserved for it.
        {"+4000000000\r\n", fsca_Unknown, {}},
        {"+1000001\r\n", fsca_Unknown, {}},
        {"-NOLIST\r\n", fsca_NoListMode, {}},
        {"-WHATEVER\r\n", fsca_Unknown, {}},
        {"OK\r\n", fsca_Unknown, {}},
        {"\r\n", fsca_NoAnswer, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        ScriptedServer srv(c.reply, true);
        TQORChannelCommandAnswer a = fsca_Busy;
        TQORChannelCommandAnswerList list{"stale"};
        EXPECT_EQ(ChannelSendCommandList(ChannelSetup(srv.Port()), "00P:00\r\n", a, list), 0);
        EXPECT_EQ(a, c.answer);
        EXPECT_EQ(list, c.lines);
    }
}

TEST(CommandCommunicator, EndlessLineIsCutOff) {
    // Bytes without a line end never make an answer, however fast they come.
    for (const bool list : {false, true}) {
        ScriptedServer srv((list ? "+1\r\n" : "") + std::string(3 << 20, 'x'), false);
        TQORChannelCommandAnswer a;
        TQORChannelCommandAnswerList lines;
        const int err =
            list ? ChannelSendCommandList(ChannelSetup(srv.Port()), "00C:00\r\n", a, lines)
                 : ChannelSendCommand(ChannelSetup(srv.Port()), "00R:00\r\n", a);
        EXPECT_EQ(err, 10055) << list;
        EXPECT_TRUE(lines.empty());
    }
}

TEST(CommandCommunicator, ListOfLongLinesStopsAtTheMemoryBound) {
    // Many long lines, each accepted on its own: together they must not grow
    // the client without bound.
    ScriptedServer srv("+1000000\r\n", false, std::string((1 << 16) - 2, 'y') + "\r\n", 4200);
    TQORChannelCommandAnswer a;
    TQORChannelCommandAnswerList list;
    EXPECT_EQ(ChannelSendCommandList(ChannelSetup(srv.Port()), "00C:00\r\n", a, list), 10055);
    EXPECT_TRUE(list.empty());
}

TEST(CommandCommunicator, IncompleteListIsEmptiedAndFails) {
    // Three lines announced, two sent, then silence: either the third read
    // times out (a socket error) or the list's deadline passes first.
    ScriptedServer srv("+3\r\none\r\ntwo\r\n", false);
    TQORChannelCommandAnswer a = fsca_OK;
    TQORChannelCommandAnswerList list;
    const int err = ChannelSendCommandList(ChannelSetup(srv.Port()), "00C:00\r\n", a, list);
    EXPECT_TRUE(list.empty());
    if (err != 0) {
        EXPECT_EQ(err, 10060);
        EXPECT_EQ(ChannelOutcomeExitCode(err, a), 16);
    } else {
        EXPECT_EQ(a, fsca_AnswerTimeout);
        EXPECT_EQ(ChannelOutcomeExitCode(err, a), 28);
    }
}

TEST(CommandCommunicator, SilenceAfterALongListCountEndsWithTheReadTimeOut) {
    // A million lines would allow hours in all; silence still ends the wait
    // after one read time-out.
    ScriptedServer srv("+1000000\r\n", false);
    TQORChannelCommandAnswer a;
    TQORChannelCommandAnswerList list;
    EXPECT_EQ(ChannelSendCommandList(ChannelSetup(srv.Port()), "00C:00\r\n", a, list), 10060);
    EXPECT_TRUE(list.empty());
}

}  // namespace
