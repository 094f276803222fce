#include "sockets/gax_snps_blcksock.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <chrono>
#include <sstream>
#include <vector>

#include "snps_test_net.h"
#include "sockets/gax_snps_tcpsock.h"

namespace {

using namespace gax;
using snpstest::RawListener;
using snpstest::U;

struct StatusLog {
    std::vector<std::pair<THookSocketReason, std::u16string>> items;
    void Attach(TBlockSocket& s) {
        s.OnStatus = [this](TBlockSocket*, THookSocketReason r, std::u16string_view v) {
            items.emplace_back(r, std::u16string(v));
        };
    }
    bool Has(THookSocketReason r, const std::u16string& v) const {
        for (auto& i : items)
            if (i.first == r && i.second == v) return true;
        return false;
    }
};

bool IsNonBlocking(int fd) {
    bool nb = false;
    plat::SockGetNonBlocking(fd, &nb);
    return nb;
}

// A listener with backlog 0 whose only pending slot is taken: further connects are never
// completed, which gives a connect time-out without any network.
struct Backlog0 {
    RawListener l{0};
    int filler = snpstest::RawConnect(AF_INET, l.port);
    ~Backlog0() {
        if (filler >= 0) ::close(filler);
    }
};

TEST(BlockSocketConnect, TimeoutRefusedAndModeRestored) {
    Backlog0 fx;
    ASSERT_GE(fx.filler, 0);
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    s.SetConnectionTimeout(3000);
    auto t0 = std::chrono::steady_clock::now();
    s.Connect(u"127.0.0.1", fx.l.PortText());
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_EQ(s.LastError(), 10060);
    EXPECT_EQ(s.LastErrorDesc(), u"Connection timed out");
    EXPECT_GE(ms, 2900);
    ASSERT_NE(s.Socket(), -1);
    EXPECT_FALSE(IsNonBlocking(s.Socket()));
    s.CloseSocket();

    // A non-blocking socket stays non-blocking.
    TTCPBlockSocket nb;
    nb.SetRaiseExcept(false);
    nb.SetNonBlockMode(true);
    nb.SetConnectionTimeout(100);
    nb.Connect(u"127.0.0.1", fx.l.PortText());
    EXPECT_EQ(nb.LastError(), 10060);
    EXPECT_TRUE(IsNonBlocking(nb.Socket()));

    StatusLog log;  // outlives the socket, whose close it hears
    TTCPBlockSocket r;
    r.SetRaiseExcept(false);
    r.SetConnectionTimeout(3000);
    log.Attach(r);
    r.Connect(u"127.0.0.1", U(std::to_string(snpstest::ClosedPort())));
    EXPECT_EQ(r.LastError(), 10061);
    EXPECT_FALSE(IsNonBlocking(r.Socket()));
    EXPECT_TRUE(log.Has(HR_Error, u"Socket error (10061): Connection refused"));
}

TEST(BlockSocketConnect, RaisesWhenAsked) {
    TTCPBlockSocket s;  // RaiseExcept is on by default
    try {
        s.Connect(u"127.0.0.1", U(std::to_string(snpstest::ClosedPort())));
        FAIL() << "no exception";
    } catch (const ESynapseError& e) {
        EXPECT_EQ(e.ErrorCode, 10061);
        EXPECT_EQ(e.Message(), u"Socket error (10061): Connection refused");
        EXPECT_EQ(e.ClassName(), u"ESynapseError");
    }
}

TEST(BlockSocketConnect, StatusEventsOfASuccessfulConnect) {
    RawListener l;
    StatusLog log;
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    log.Attach(s);
    s.Connect(u"127.0.0.1", l.PortText());
    ASSERT_EQ(s.LastError(), 0);
    EXPECT_TRUE(log.Has(HR_ResolvingBegin, u"127.0.0.1:" + l.PortText()));
    EXPECT_TRUE(log.Has(HR_ResolvingEnd, u"127.0.0.1:" + l.PortText()));
    EXPECT_TRUE(log.Has(HR_SocketCreate, u"IPv4"));
    EXPECT_TRUE(log.Has(HR_Connect, u"127.0.0.1:" + l.PortText()));
    EXPECT_EQ(s.GetRemoteSinIP(), u"127.0.0.1");
    EXPECT_EQ(s.GetRemoteSinPort(), l.port);
    EXPECT_EQ(s.GetLocalSinIP(), u"127.0.0.1");
    EXPECT_GT(s.GetLocalSinPort(), 0);
    s.CloseSocket();
    EXPECT_TRUE(log.Has(HR_SocketClose, u""));
    EXPECT_EQ(s.Socket(), -1);
}

TEST(BlockSocketReceive, LinesTimeoutAndClose) {
    RawListener l;
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    s.Connect(u"127.0.0.1", l.PortText());
    ASSERT_EQ(s.LastError(), 0);
    int peer = l.Accept();
    ASSERT_GE(peer, 0);
    snpstest::WriteAll(peer, "first\r\nsecond\r\npart");
    EXPECT_EQ(s.RecvString(2000), "first");
    EXPECT_EQ(s.LineBuffer(), "second\r\npart");
    EXPECT_EQ(s.RecvString(2000), "second");
    EXPECT_EQ(s.RecvString(200), "");
    EXPECT_EQ(s.LastError(), 10060);
    EXPECT_EQ(s.LineBuffer(), "part") << "a time-out keeps what arrived";
    snpstest::WriteAll(peer, "ial\r\n");
    EXPECT_EQ(s.RecvString(2000), "partial");
    ::close(peer);
    EXPECT_EQ(s.RecvString(2000), "");
    EXPECT_EQ(s.LastError(), 10054);
}

TEST(BlockSocketReceive, TerminatorsBlocksIntegersAndLineLimit) {
    RawListener l;
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    s.Connect(u"127.0.0.1", l.PortText());
    int peer = l.Accept();
    ASSERT_GE(peer, 0);

    s.SetConvertLineEnd(true);
    snpstest::WriteAll(peer, "a\rb\nc\n\rd\r");
    EXPECT_EQ(s.RecvString(1000), "a");
    EXPECT_EQ(s.RecvString(1000), "b");
    EXPECT_EQ(s.RecvString(1000), "c");
    EXPECT_EQ(s.RecvString(1000), "d");
    snpstest::WriteAll(peer, "\ne\r\n");  // the LF completes the CR that ended "d"
    EXPECT_EQ(s.RecvString(1000), "e");
    s.SetConvertLineEnd(false);

    snpstest::WriteAll(peer, "x;;y;;");
    EXPECT_EQ(s.RecvTerminated(1000, ";;"), "x");
    EXPECT_EQ(s.RecvTerminated(1000, ";;"), "y");

    snpstest::WriteAll(
        peer, std::string("\x03\x00\x00\x00xyz", 7) + std::string("\x78\x56\x34\x12", 4) + "Q");
    EXPECT_EQ(s.RecvBlock(1000), "xyz");
    EXPECT_EQ(s.RecvInteger(1000), 0x12345678);
    EXPECT_EQ(s.RecvByte(1000), 'Q');

    s.SetMaxLineLength(10);
    snpstest::WriteAll(peer, std::string(20, 'z'));
    EXPECT_EQ(s.RecvString(1000), "");
    EXPECT_EQ(s.LastError(), 10055);
    ::close(peer);
}

TEST(BlockSocketStreams, SizedRawAndIndyFormsInChunks) {
    RawListener l;
    TTCPBlockSocket a;
    a.SetRaiseExcept(false);
    a.Connect(u"127.0.0.1", l.PortText());
    TTCPBlockSocket b;
    b.SetRaiseExcept(false);
    b.AssignSocket(l.Accept());
    a.SetSendMaxChunk(1000);
    b.SetSendMaxChunk(1000);
    std::string data(2500, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7);

    std::istringstream in(data);
    in.seekg(500);  // a stream goes from its position on
    a.SendStream(in);
    ASSERT_EQ(a.LastError(), 0);
    EXPECT_EQ(b.RecvBufferStr(4, 1000), std::string("\xD0\x07\x00\x00", 4));  // 2000
    std::ostringstream out;
    b.RecvStreamSize(out, 1000, 2000);
    EXPECT_EQ(out.str(), data.substr(500));

    std::istringstream indy(data.substr(0, 3));
    a.SendStreamIndy(indy);
    std::ostringstream got;
    b.RecvStreamIndy(got, 1000);
    EXPECT_EQ(b.LastError(), 0);
    EXPECT_EQ(got.str(), data.substr(0, 3));

    std::istringstream sized(data);
    a.SendStream(sized);
    std::ostringstream whole;
    b.RecvStream(whole, 1000);
    EXPECT_EQ(whole.str(), data);

    // The raw form carries no size: the receiver takes packets until the close.
    std::istringstream raw(data);
    a.SendStreamRaw(raw);
    a.CloseSocket();
    std::ostringstream rest;
    b.RecvStreamRaw(rest, 1000);
    EXPECT_EQ(rest.str(), data);
    EXPECT_EQ(b.LastError(), 10054);
}

TEST(BlockSocketReceive, ConsumersShareOneBufferedRest) {
    RawListener l;
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    s.Connect(u"127.0.0.1", l.PortText());
    int peer = l.Accept();
    ASSERT_GE(peer, 0);

    s.SetLineBuffer("one\r\ntwo\r\nxyz");
    EXPECT_EQ(s.RecvString(1000), "one");
    EXPECT_EQ(s.RecvByte(1000), 't');
    EXPECT_EQ(s.RecvBufferStr(2, 1000), "wo");
    EXPECT_EQ(s.RecvString(1000), "");
    EXPECT_EQ(s.LastError(), 0);
    EXPECT_EQ(s.WaitingDataEx(), 3);
    EXPECT_EQ(s.LineBuffer(), "xyz");
    EXPECT_EQ(s.RecvPacket(1000), "xyz");
    EXPECT_EQ(s.LineBuffer(), "");

    // A terminator split between the buffered rest and the next packet.
    s.SetLineBuffer("ab;");
    snpstest::WriteAll(peer, ";cd;;ef");
    EXPECT_EQ(s.RecvTerminated(1000, ";;"), "ab");
    EXPECT_EQ(s.RecvTerminated(1000, ";;"), "cd");
    EXPECT_EQ(s.LineBuffer(), "ef");
    ::close(peer);
}

TEST(BlockSocketOptions, QueuedInOrderAppliedAtCreationDroppedOnClose) {
    RawListener l;
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    s.SetNonBlockMode(true);
    s.SetNonBlockMode(false);
    s.SetSizeRecvBuffer(4096);
    s.SetSizeRecvBuffer(8192);
    s.SetTcpNoDelay(true);
    std::vector<int> createdWith;
    s.OnExtSocketCreated = [&](TBlockSocket*, TSocket h) { createdWith.push_back(h); };
    s.Connect(u"127.0.0.1", l.PortText());
    ASSERT_EQ(s.LastError(), 0);
    ASSERT_EQ(createdWith.size(), 1u);
    EXPECT_EQ(createdWith[0], s.Socket());
    EXPECT_FALSE(s.NonBlockMode());
    EXPECT_FALSE(IsNonBlocking(s.Socket()));
    EXPECT_EQ(s.SizeRecvBuffer(), 16384);  // the kernel doubles the value asked for
    EXPECT_TRUE(s.TcpNoDelay());
    int nd = 0;
    plat::SockGetIntOpt(s.Socket(), IPPROTO_TCP, TCP_NODELAY, &nd);
    EXPECT_NE(nd, 0);
    // Set on a live socket: at once.
    s.SetNonBlockMode(true);
    EXPECT_TRUE(IsNonBlocking(s.Socket()));
    s.CloseSocket();

    TTCPBlockSocket d;
    d.SetRaiseExcept(false);
    d.SetNonBlockMode(true);
    d.CloseSocket();  // drops the queued option
    d.Connect(u"127.0.0.1", l.PortText());
    ASSERT_EQ(d.LastError(), 0);
    EXPECT_FALSE(IsNonBlocking(d.Socket()));
}

TEST(BlockSocketBind, AnyAddressWithoutFamilyDoesNothing) {
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    s.Bind(u"0.0.0.0", u"0");
    EXPECT_EQ(s.Socket(), -1);
    EXPECT_EQ(s.LastError(), 0);
    s.Bind(u"127.0.0.1", u"0");
    EXPECT_NE(s.Socket(), -1);
    EXPECT_GT(s.GetLocalSinPort(), 0);
}

TEST(BlockSocketClose, GracefulCloseSendsEndOfDataNotReset) {
    RawListener l;
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    s.Connect(u"127.0.0.1", l.PortText());
    int peer = l.Accept();
    ASSERT_GE(peer, 0);
    // Data we never read would turn a plain close into a reset.
    snpstest::WriteAll(peer, "unread data");
    ASSERT_TRUE(snpstest::WaitReadable(s.Socket()));
    s.CloseSocket();
    EXPECT_EQ(s.Socket(), -1);
    char b[16];
    pollfd p{peer, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    EXPECT_EQ(::recv(peer, b, sizeof b, 0), 0) << "the peer sees end of data";
    ::close(peer);
}

TEST(BlockSocketAsyncConnect, ReadyRefusedTimedOut) {
    auto waitWritable = [](TBlockSocket& s, int ms) {
        pollfd p{s.Socket(), POLLOUT, 0};
        return ::poll(&p, 1, ms) == 1;
    };
    {
        RawListener l;
        TTCPBlockSocket s;
        s.SetRaiseExcept(false);
        s.SetNonBlockMode(true);
        s.SetConnectionTimeout(2000);
        TSocketAsyncResult r = s.ConnectAsyncStart(u"127.0.0.1", l.PortText());
        if (r == sar_Wait) {
            EXPECT_EQ(s.ConnectAsyncWaitFlags(), 8);
            EXPECT_EQ(s.ConnectAsyncWaitTicks(), 2000u);
            ASSERT_TRUE(waitWritable(s, 2000));
            r = s.ConnectAsyncProcessForNow();
        }
        EXPECT_EQ(r, sar_Ready);
        EXPECT_EQ(s.LastError(), 0);
        EXPECT_EQ(s.GetRemoteSinPort(), l.port);
        s.ConnectAsyncEnd();
    }
    {
        TTCPBlockSocket s;
        s.SetRaiseExcept(false);
        s.SetNonBlockMode(true);
        s.SetConnectionTimeout(2000);
        TSocketAsyncResult r =
            s.ConnectAsyncStart(u"127.0.0.1", U(std::to_string(snpstest::ClosedPort())));
        if (r == sar_Wait) {
            ASSERT_TRUE(waitWritable(s, 2000));
            r = s.ConnectAsyncProcessForNow();
        }
        EXPECT_EQ(r, sar_Error);
        EXPECT_EQ(s.LastError(), 10061);
    }
    {
        Backlog0 fx;
        TTCPBlockSocket s;
        s.SetRaiseExcept(false);
        s.SetNonBlockMode(true);
        s.SetConnectionTimeout(500);
        ASSERT_EQ(s.ConnectAsyncStart(u"127.0.0.1", fx.l.PortText()), sar_Wait);
        TGaxTick32 start = GetTick32();
        EXPECT_EQ(s.ConnectAsyncCheckTimeForTick(start + 200), sar_Wait);
        EXPECT_LE(s.ConnectAsyncWaitTicks(), 300u);
        EXPECT_FALSE(waitWritable(s, 100));
        EXPECT_EQ(s.ConnectAsyncCheckTimeForTick(start + 600), sar_Error);
        EXPECT_EQ(s.LastError(), 10060);
        EXPECT_EQ(s.ConnectAsyncProcessForTick(start + 600), sar_Error);
        EXPECT_EQ(s.LastError(), 10060);
    }
}

TEST(BlockSocketAsyncConnect, UsageErrors) {
    RawListener l;
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    s.SetConnectionTimeout(1000);
    try {
        s.ConnectAsyncStart(u"127.0.0.1", l.PortText());
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Async connect not allowed with blocking mode");
    }
    try {
        s.ConnectAsyncProcessForNow();
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Invalid mode for direct async connection");
    }
    EXPECT_THROW(s.ConnectAsyncCheckTimeForNow(), Exception);
    TTCPBlockSocket z;
    z.SetRaiseExcept(false);
    z.SetNonBlockMode(true);
    EXPECT_EQ(z.ConnectAsyncStart(u"127.0.0.1", l.PortText()), sar_Error);
    EXPECT_EQ(z.LastError(), 10060) << "no connection time-out set";
}

TEST(BlockSocketResolve, NamesAndPorts) {
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    EXPECT_EQ(s.ResolvePort(u"http"), 80);
    EXPECT_EQ(s.mResolveName(u"127.0.0.1"), u"127.0.0.1");
    EXPECT_FALSE(s.LocalName().empty());
    s.Connect(u"no-such-host.invalid", u"80");
    EXPECT_EQ(s.LastError(), 11001);
    EXPECT_EQ(s.LastErrorDesc(), u"Host not found");
}

TEST(TlsSlot, ReportsNotCompiled) {
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    EXPECT_EQ(s.SSL().LibName(), u"ssl_none");
    EXPECT_EQ(s.SSL().LibVersion(), u"Without SSL support");
    s.SSLDoConnect();
    EXPECT_EQ(s.LastError(), 10091);
    EXPECT_EQ(s.LastErrorDesc(), u"SSL/TLS support is not compiled!");
}

}  // namespace
