// The asynchronous connect through SOCKS and HTTP proxies, driven the way an
// owner drives it (a waiter, one step per event), against in-process proxies.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "snps_test_net.h"
#include "sockets/gax_snps_tcpsock.h"
#include "sockets/gax_snps_waiter.h"

namespace {

using namespace gax;
using snpstest::RawListener;
using snpstest::ReadExactly;
using snpstest::WriteAll;

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += char(b);
    return s;
}

// Accepts one connection and runs its script on it.
class FakeProxy {
  public:
    explicit FakeProxy(std::function<void(int)> script) {
        thread_ = std::thread([this, script] {
            const int fd = l_.Accept(10000);
            if (fd < 0) return;
            script(fd);
            ::close(fd);
        });
    }
    ~FakeProxy() { thread_.join(); }
    std::u16string Port() const { return l_.PortText(); }

  private:
    RawListener l_;
    std::thread thread_;
};

// The owner's side: the socket's status event and time-out, and what it saw.
struct Owner {
    int ownStatusCalls = 0;
    std::vector<std::pair<THookSocketReason, std::u16string>> proxyEvents;

    std::unique_ptr<TTCPBlockSocket> Socket(const FakeProxy& proxy, bool socks) {
        auto s = std::make_unique<TTCPBlockSocket>();
        s->SetRaiseExcept(false);
        s->SetNonBlockMode(true);
        s->SetConnectionTimeout(1234);
        if (socks) {
            s->SetSocksIP(u"127.0.0.1");
            s->SetSocksPort(proxy.Port());
            s->SetSocksTimeout(5000);
        } else {
            s->SetHTTPTunnelIP(u"127.0.0.1");
            s->SetHTTPTunnelPort(proxy.Port());
            s->SetHTTPTunnelTimeout(5000);
        }
        s->OnStatus = [this](TBlockSocket*, THookSocketReason, std::u16string_view) {
            ++ownStatusCalls;
        };
        s->OnProxyStatus = [this](TBlockSocket*, TSocketProxyType, THookSocketReason r,
                                  std::u16string_view v) { proxyEvents.emplace_back(r, v); };
        return s;
    }
    // The owner's status event and time-out are its own again.
    void ExpectRestored(TTCPBlockSocket& s) {
        EXPECT_EQ(s.ConnectionTimeout(), 1234);
        ASSERT_TRUE(s.OnStatus);
        const int before = ownStatusCalls;
        s.OnStatus(&s, HR_Wait, u"");
        EXPECT_EQ(ownStatusCalls, before + 1);
        EXPECT_EQ(s.AsyncSocksStatus(), sas_NoSocksAsync);
        EXPECT_EQ(s.AsyncHttpStatus(), sahs_AsyncHttp_No);
    }
};

// One wait for the event the socket asks for; false on a time-out.
bool WaitStep(TTCPBlockSocket& s, TWaiter2Socket& w, PWaiter2Resource& res) {
    if (res == nullptr) res = w.RegisterResource(&s, int(s.Socket()));
    w.SetWaitMode(res, s.ConnectAsyncWaitFlags());
    TWaiter2WaitParams p;
    p.w2wp_TimeoutTicks = std::min<TGaxTick32>(s.ConnectAsyncWaitTicks(), 5000);
    return w.WaitForHandler(p) == wr_Descriptor;
}

// The whole owner's protocol; the connect is ended either way.
TSocketAsyncResult Drive(TTCPBlockSocket& s, const std::u16string& ip, const std::u16string& port) {
    TWaiter2Socket w(1);
    PWaiter2Resource res = nullptr;
    TSocketAsyncResult r = s.ConnectAsyncStart(ip, port);
    while (r == sar_Wait)
        r = WaitStep(s, w, res) ? s.ConnectAsyncProcessForNow()
                                : s.ConnectAsyncCheckTimeForTick(GetTick32());
    if (res) w.UnregisterResource(res);
    if (r == sar_Ready)
        s.ConnectAsyncEnd();
    else
        s.ConnectAsyncError(s.LastError());
    return r;
}

TEST(AsyncSocks, Socks5ConnectsAndCarriesData) {
    FakeProxy proxy([](int fd) {
        EXPECT_EQ(ReadExactly(fd, 3), B({5, 1, 0}));
        WriteAll(fd, B({5, 0}));
        EXPECT_EQ(ReadExactly(fd, 10), B({5, 1, 0, 1, 10, 1, 2, 3, 0x1F, 0x90}));
        WriteAll(fd, B({5, 0, 0, 1, 127, 0, 0, 1, 0x30, 0x39}));
        EXPECT_EQ(ReadExactly(fd, 4), "ping");
        WriteAll(fd, "pong");
    });
    Owner o;
    auto s = o.Socket(proxy, true);
    ASSERT_EQ(Drive(*s, u"10.1.2.3", u"8080"), sar_Ready) << s->LastError();
    EXPECT_TRUE(s->UsingSocks());
    EXPECT_EQ(s->SocksResponsePort(), u"12345");
    // the proxy's resolution and connection, then the target's connection
    std::vector<THookSocketReason> reasons;
    for (const auto& e : o.proxyEvents) reasons.push_back(e.first);
    EXPECT_NE(std::find(reasons.begin(), reasons.end(), HR_ResolvingBegin), reasons.end());
    ASSERT_FALSE(o.proxyEvents.empty());
    EXPECT_EQ(o.proxyEvents.back(), std::make_pair(HR_Connect, std::u16string(u"10.1.2.3")));
    o.ExpectRestored(*s);
    s->SendString("ping");
    EXPECT_EQ(s->RecvBufferStr(4, 5000), "pong");
}

TEST(AsyncSocks, Socks5RefusalsAreProxyFailures) {
    const std::vector<std::pair<const char*, std::function<void(int)>>> cases = {
        {"no acceptable method", [](int fd) {
             ReadExactly(fd, 4);
             WriteAll(fd, B({5, 0xFF}));
         }},
        {"authentication refused", [](int fd) {
             EXPECT_EQ(ReadExactly(fd, 4), B({5, 2, 2, 0}));
             WriteAll(fd, B({5, 2}));
             EXPECT_EQ(ReadExactly(fd, 11), B({1, 4}) + "user" + B({4}) + "pass");
             WriteAll(fd, B({1, 1}));
         }},
        {"connect refused", [](int fd) {
             ReadExactly(fd, 4);
             WriteAll(fd, B({5, 2}));
             ReadExactly(fd, 11);
             WriteAll(fd, B({1, 0}));
             ReadExactly(fd, 10);
             WriteAll(fd, B({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}));
         }},
    };
    for (const auto& [name, script] : cases) {
        SCOPED_TRACE(name);
        FakeProxy proxy(script);
        Owner o;
        auto s = o.Socket(proxy, true);
        s->SetSocksUsername(u"user");
        s->SetSocksPassword(u"pass");
        EXPECT_EQ(Drive(*s, u"10.1.2.3", u"8080"), sar_Error);
        EXPECT_EQ(s->LastError(), 10091);
        ASSERT_FALSE(o.proxyEvents.empty());
        EXPECT_EQ(o.proxyEvents.back().first, HR_Error);
        o.ExpectRestored(*s);
    }
}

TEST(AsyncSocks, Socks4GoesStraightToTheResponseWait) {
    FakeProxy proxy([](int fd) {
        EXPECT_EQ(ReadExactly(fd, 9), B({4, 1, 0x1F, 0x90, 10, 1, 2, 3, 0}));
        WriteAll(fd, B({0, 90, 0, 0, 0, 0, 0, 0}));
    });
    Owner o;
    auto s = o.Socket(proxy, true);
    s->SetSocksType(ST_Socks4);
    TWaiter2Socket w(1);
    PWaiter2Resource res = nullptr;
    TSocketAsyncResult r = s->ConnectAsyncStart(u"10.1.2.3", u"8080");
    ASSERT_EQ(r, sar_Wait);
    EXPECT_EQ(s->ConnectAsyncWaitFlags(), 8);
    EXPECT_THROW(s->ConnectAsyncCheckTimeForNow(), Exception);  // the tick variant serves here
    ASSERT_TRUE(WaitStep(*s, w, res));
    ASSERT_EQ(s->ConnectAsyncProcessForNow(), sar_Wait);
    EXPECT_EQ(s->AsyncSocksStatus(), sas_SocksAsyncWaitResponse);
    EXPECT_EQ(s->ConnectAsyncWaitFlags(), 1);
    EXPECT_EQ(s->ConnectionTimeout(), 1234);  // the owner's, while the reply is awaited
    ASSERT_TRUE(WaitStep(*s, w, res));
    EXPECT_EQ(s->ConnectAsyncProcessForNow(), sar_Ready);
    w.UnregisterResource(res);
    s->ConnectAsyncEnd();
    o.ExpectRestored(*s);
}

TEST(AsyncHttp, SilentProxyEndsTheConnectAfterTwiceTheTunnelTimeOut) {
    FakeProxy proxy([](int fd) {
        char buf[256];
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }  // reads the request, never answers, until the client goes
    });
    Owner o;
    auto s = o.Socket(proxy, false);
    s->SetHTTPTunnelTimeout(30000);
    TWaiter2Socket w(1);
    PWaiter2Resource res = nullptr;
    const TGaxTick32 before = GetTick32();
    ASSERT_EQ(s->ConnectAsyncStart(u"10.1.2.3", u"8080"), sar_Wait);
    const TGaxTick32 after = GetTick32();
    ASSERT_TRUE(WaitStep(*s, w, res));
    ASSERT_EQ(s->ConnectAsyncProcessForNow(), sar_Wait);
    EXPECT_EQ(s->AsyncHttpStatus(), sahs_AsyncHttp_ReceivingTunnelAnswer);
    EXPECT_EQ(s->ConnectAsyncWaitFlags(), 1);
    EXPECT_LE(s->ConnectAsyncWaitTicks(), 30000u);
    EXPECT_GT(s->ConnectAsyncWaitTicks(), 25000u);
    // past the tunnel time-out the answer is still awaited, up to twice it
    EXPECT_EQ(s->ConnectAsyncCheckTimeForTick(before + 30500), sar_Wait);
    EXPECT_EQ(s->ConnectAsyncCheckTimeForTick(before + 59900), sar_Wait);
    EXPECT_LE(s->ConnectAsyncWaitTicks(), 100u + (after - before));
    EXPECT_EQ(s->ConnectAsyncCheckTimeForTick(after + 60000), sar_Error);
    EXPECT_EQ(s->LastError(), 10060);
    w.UnregisterResource(res);
    s->ConnectAsyncError(s->LastError());
    ASSERT_FALSE(o.proxyEvents.empty());
    EXPECT_EQ(o.proxyEvents.back().first, HR_Error);
    o.ExpectRestored(*s);
}

TEST(AsyncHttp, TunnelOpensOrIsRefused) {
    struct Case {
        std::string answer;
        TSocketAsyncResult result;
        int error;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.0 200 Connection established\r\nVia: x\r\n\r\n", sar_Ready, 0},
        {"HTTP/1.1 403 Forbidden\r\n\r\n", sar_Error, 10061},
        {"HTTP/1.1 504 Gateway Timeout\r\n\r\n", sar_Error, 10061},
        {"garbage\r\n\r\n", sar_Error, 10061},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        FakeProxy proxy([&c](int fd) {
            std::string request;
            while (request.find("\r\n\r\n") == std::string::npos) {
                std::string b = ReadExactly(fd, 1, 2000);
                if (b.empty()) break;
                request += b;
            }
            EXPECT_EQ(
                request.rfind("CONNECT 10.1.2.3:8080 HTTP/1.0\r\nProxy-Authorization: Basic ", 0),
                0u);
            WriteAll(fd, c.answer);
            if (c.result == sar_Ready) WriteAll(fd, "data");
        });
        Owner o;
        auto s = o.Socket(proxy, false);
        s->SetHTTPTunnelUser(u"u");
        s->SetHTTPTunnelPass(u"p");
        EXPECT_EQ(Drive(*s, u"10.1.2.3", u"8080"), c.result);
        EXPECT_EQ(s->LastError(), c.error);
        o.ExpectRestored(*s);
        if (c.result == sar_Ready) {
            EXPECT_TRUE(s->HTTPTunnel());
            EXPECT_EQ(s->RecvBufferStr(4, 5000), "data");
        }
    }
}

}  // namespace
