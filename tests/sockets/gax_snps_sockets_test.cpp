#include "sockets/gax_snps_sockets.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "snps_test_net.h"
#include "sockets/gax_snps_utils.h"

namespace {

using namespace gax;

// Both ends non-blocking: `a` receives, `b` sends.
struct LoopbackPair : snpstest::Pair {
    LoopbackPair() { snpstest::SetNonBlocking(b); }
};

TEST(SocketErrorTexts, FormsAndTable) {
    EXPECT_EQ(FormatSocketError(10061, u"x"), u"Socket error (10061): x");
    EXPECT_EQ(FormatSocketSysError(10061), u"Socket error (10061): Connection refused");
    EXPECT_EQ(GetErrorDesc(10060), u"Connection timed out");
    EXPECT_EQ(GetErrorDesc(10054), u"Connection reset by peer");
    EXPECT_EQ(GetErrorDesc(11001), u"Host not found");
    EXPECT_EQ(GetErrorDesc(0), u"");
    EXPECT_EQ(GetErrorDesc(12345), u"Other socket error (12345)");
}

TEST(SocketBinding, CountsUsesAndNeverFails) {
    int before = SocketInterfaceUseCount();
    EXPECT_TRUE(LoadSocketInterface(u"ws2_32.dll"));
    EXPECT_EQ(SocketInterfaceUseCount(), before + 1);
    EXPECT_TRUE(UnloadSocketInterface());
    EXPECT_EQ(SocketInterfaceUseCount(), before);
    for (int i = 0; i <= before; ++i) UnloadSocketInterface();
    EXPECT_EQ(SocketInterfaceUseCount(), 0);
    EXPECT_TRUE(AddrInfoApiFor(plat::kAfInet6));
}

TEST(RawSocketHelpers, NonBlockingReceive) {
    LoopbackPair p;
    char buf[64];
    size_t count = 99;
    EXPECT_EQ(SocketRecvNonBlocking(p.a, buf, sizeof buf, count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(SocketRecvNonBlocking(p.a, buf, 0, count), 0) << "idle probe";

    size_t sent = 0;
    ASSERT_EQ(SocketSendNonBlocking(p.b, "hello", 5, sent), 0);
    EXPECT_EQ(sent, 5u);
    ASSERT_TRUE(snpstest::WaitReadable(p.a));
    // The probe with data waiting must not read it or call the peer gone.
    EXPECT_EQ(SocketRecvNonBlocking(p.a, buf, 0, count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(SocketRecvNonBlocking(p.a, buf, sizeof buf, count), 0);
    EXPECT_EQ(std::string(buf, count), "hello");

    EXPECT_EQ(SocketCloseAndInvalidate(p.b), 0);
    EXPECT_EQ(p.b, INVALID_SOCKET_HANDLE);
    ASSERT_TRUE(snpstest::WaitPeerClosed(p.a));
    EXPECT_EQ(SocketRecvNonBlocking(p.a, buf, 0, count), 10054) << "probe after close";
    EXPECT_EQ(SocketRecvNonBlocking(p.a, buf, sizeof buf, count), 10054);
    EXPECT_EQ(count, 0u);

    // A handle that is already gone is an error, not an idle socket.
    TSocket gone = INVALID_SOCKET_HANDLE;
    EXPECT_EQ(SocketRecvNonBlocking(gone, buf, 0, count), 10009);
    EXPECT_EQ(SocketRecvNonBlocking(gone, buf, sizeof buf, count), 10009);
}

TEST(RawSocketHelpers, SendToFullBufferTakesNothingWithoutError) {
    LoopbackPair p;
    plat::SockSetIntOpt(p.b, plat::kSolSocket, plat::kSoSndBuf, 4096);
    plat::SockSetIntOpt(p.a, plat::kSolSocket, plat::kSoRcvBuf, 4096);
    std::string chunk(8192, 'x');
    size_t sent = 1;
    int code = 0;
    for (int i = 0; i < 10000 && sent != 0; ++i)
        code = SocketSendNonBlocking(p.b, chunk.data(), chunk.size(), sent);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(sent, 0u);
}

TEST(RawSocketHelpers, SendToResetPeerGivesResetAndNoSignal) {
    // Keep the default action so that a SIGPIPE would end this test binary.
    struct sigaction old {
    }, dfl{};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, &old);
    {
        LoopbackPair p;
        size_t sent = 0;
        SocketCloseAndInvalidate(p.a);  // FIN; the next segment we send draws a reset
        ASSERT_EQ(SocketSendNonBlocking(p.b, "data", 4, sent), 0);
        ASSERT_TRUE(snpstest::WaitReset(p.b));
        EXPECT_EQ(SocketSendNonBlocking(p.b, "data", 4, sent), 10054);
        EXPECT_EQ(sent, 0u);
        EXPECT_EQ(SocketSendNonBlocking(p.b, "data", 4, sent), 10054);
    }
    ::sigaction(SIGPIPE, &old, nullptr);
}

TEST(RawSocketHelpers, CloseAndInvalidateOnInvalidHandleDoesNothing) {
    TSocket s = INVALID_SOCKET_HANDLE;
    EXPECT_EQ(SocketCloseAndInvalidate(s), 0);
    EXPECT_EQ(s, INVALID_SOCKET_HANDLE);
    EXPECT_EQ(SocketSetLinger(s, true, 5), 0);
}

TEST(RawSocketHelpers, PendingErrorAndOptions) {
    LoopbackPair p;
    int code = -1;
    EXPECT_EQ(SocketGetPendingError(p.b, code), 0);
    EXPECT_EQ(code, 0);
    SocketSetNoDelay(p.b, true);
    int v = 0;
    plat::SockGetIntOpt(p.b, plat::TcpNoDelayLevel(), plat::TcpNoDelayName(), &v);
    EXPECT_NE(v, 0);
    SocketSetReuseAddr(p.b, true);
    plat::SockGetIntOpt(p.b, plat::kSolSocket, plat::kSoReuseAddr, &v);
    EXPECT_NE(v, 0);
    EXPECT_EQ(SocketGetPendingError(-1, code), 10009);
}

TEST(FillSockAddr, Table) {
    const struct {
        const char* host;
        const char* port;
        int family;
        int code;
        const char* text;
        int wantFamily;
    } cases[] = {
        {"0.0.0.0", "10024", 0, 0, "0.0.0.0", plat::kAfInet},
        {"::0", "10024", 0, 0, "::", plat::kAfInet6},
        {"127.0.0.1", "10023", 0, 0, "127.0.0.1", plat::kAfInet},
        {"::1", "10023", 0, 0, "::1", plat::kAfInet6},
        {"localhost", "80", 0, 0, "127.0.0.1", plat::kAfInet},
        {"::1", "1", plat::kAfInet6, 0, "::1", plat::kAfInet6},
        {"0.0.0.0", "5", plat::kAfInet, 0, "0.0.0.0", plat::kAfInet},
        // read in decimal, not octal
        {"010.001.000.009", "7", 0, 0, "10.1.0.9", plat::kAfInet},
        {"no-such-host.invalid", "80", 0, 11001, "", 0},
    };
    for (const auto& c : cases) {
        TVarSin addr;
        int rc = FillSockAddr(addr, c.host, c.port, true, plat::kSockStream, plat::kIpProtoTcp,
                              c.family);
        EXPECT_EQ(rc, c.code) << c.host;
        if (rc != 0) continue;
        EXPECT_EQ(addr.Family(), c.wantFamily) << c.host;
        EXPECT_EQ(SockAddrToIPText(addr), c.text) << c.host;
        EXPECT_EQ(SockAddrPort(addr), std::stoi(c.port)) << c.host;
        EXPECT_EQ(SockAddrSize(addr), c.wantFamily == plat::kAfInet ? 16 : 28);
    }
}

TEST(FillSockAddr, ServiceNamesAndUnknownService) {
    TVarSin addr;
    EXPECT_EQ(FillSockAddr(addr, "127.0.0.1", "http", true, plat::kSockStream, 6, 0), 0);
    EXPECT_EQ(SockAddrPort(addr), 80);
    EXPECT_EQ(FillSockAddr(addr, "127.0.0.1", "no-such-service", true, plat::kSockStream, 6, 0),
              10109);
    EXPECT_EQ(ResolvePortNumber("http", 0, plat::kSockStream, 6), 80);
    EXPECT_EQ(ResolvePortNumber("10023", 0, plat::kSockStream, 6), 10023);
    EXPECT_EQ(ResolvePortNumber("nope-nope", 0, plat::kSockStream, 6), 0);
}

TEST(Resolve, NameListAndReverse) {
    std::vector<std::string> list;
    ResolveNameList("localhost", plat::kAfInet, plat::kSockStream, 6, list);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front(), "127.0.0.1");
    ResolveNameList("no-such-host.invalid", 0, plat::kSockStream, 6, list);
    EXPECT_EQ(list, std::vector<std::string>{"0.0.0.0"});
    EXPECT_EQ(ResolveIPName("no-such-host.invalid", 0, plat::kSockStream, 6),
              "no-such-host.invalid");
}

TEST(Resolve, StripIPv6GroupZeros) {
    EXPECT_EQ(StripIPv6GroupZeros("2001:0db8:0000::0001"), "2001:db8:0::1");
    EXPECT_EQ(StripIPv6GroupZeros("fe80::0001%4"), "fe80::1%4");
    EXPECT_EQ(StripIPv6GroupZeros("::ffff:10.0.0.1"), "::ffff:10.0.0.1");
}

}  // namespace
