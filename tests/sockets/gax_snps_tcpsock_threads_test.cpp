#include "sockets/gax_snps_tcpsock.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "snps_test_net.h"

namespace {

using namespace gax;
using snpstest::RawListener;
using snpstest::ReadExactly;
using snpstest::U;
using snpstest::WriteAll;

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += char(b);
    return s;
}

// An in-process proxy: accepts one connection and runs its script on it.
class FakeProxy {
  public:
    explicit FakeProxy(std::function<void(int)> script) {
        EXPECT_EQ(::pipe(stop_), 0);
        thread_ = std::thread([this, script] {
            pollfd p[2] = {{l_.fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            // A connection that came before the stop is still served.
            if (::poll(p, 2, 10000) < 1 || (p[0].revents & POLLIN) == 0) return;
            int fd = ::accept4(l_.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            script(fd);
            ::close(fd);
        });
    }
    ~FakeProxy() {
        // A proxy that nobody connected to stops waiting.
        (void)!::write(stop_[1], "x", 1);
        thread_.join();
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    std::u16string Port() const { return l_.PortText(); }

  private:
    RawListener l_;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// A socket that goes through the given proxy.
std::unique_ptr<TTCPBlockSocket> SocksSocket(const FakeProxy& proxy) {
    auto s = std::make_unique<TTCPBlockSocket>();
    s->SetRaiseExcept(false);
    s->SetSocksIP(u"127.0.0.1");
    s->SetSocksPort(proxy.Port());
    return s;
}

std::unique_ptr<TTCPBlockSocket> TunnelSocket(const FakeProxy& proxy) {
    auto s = std::make_unique<TTCPBlockSocket>();
    s->SetRaiseExcept(false);
    s->SetHTTPTunnelIP(u"127.0.0.1");
    s->SetHTTPTunnelPort(proxy.Port());
    return s;
}

TEST(Socks5, NoAuthIPv4ConnectAndTunnel) {
    std::string greeting, request;
    FakeProxy proxy([&](int fd) {
        greeting = ReadExactly(fd, 3);
        WriteAll(fd, B({5, 0}));
        request = ReadExactly(fd, 10);
        WriteAll(fd, B({5, 0, 0, 1, 10, 9, 8, 7, 0x1F, 0x90}) + "hello\r\n");
    });
    std::unique_ptr<TTCPBlockSocket> s = SocksSocket(proxy);
    int after = 0;
    s->OnAfterConnect = [&](TBlockSocket*) { ++after; };
    s->Connect(u"10.1.2.3", u"80");
    EXPECT_EQ(s->LastError(), 0);
    EXPECT_EQ(greeting, B({5, 1, 0}));
    EXPECT_EQ(request, B({5, 1, 0, 1, 10, 1, 2, 3, 0, 80}));
    EXPECT_TRUE(s->UsingSocks());
    EXPECT_EQ(s->SocksLastError(), 0);
    EXPECT_EQ(s->GetLocalSinIP(), u"10.9.8.7");
    EXPECT_EQ(s->GetLocalSinPort(), 8080);
    EXPECT_EQ(s->GetRemoteSinIP(), u"10.1.2.3");
    EXPECT_EQ(s->GetRemoteSinPort(), 80);
    EXPECT_EQ(after, 1);
    EXPECT_EQ(s->RecvString(2000), "hello");
}

TEST(Socks5, UserPasswordAndHostName) {
    std::string greeting, auth, request;
    FakeProxy proxy([&](int fd) {
        greeting = ReadExactly(fd, 4);
        WriteAll(fd, B({5, 2}));
        auth = ReadExactly(fd, 11);
        WriteAll(fd, B({1, 0}));
        request = ReadExactly(fd, 7 + 12);
        // Reply with a domain-name address.
        WriteAll(fd, B({5, 0, 0, 3, 4}) + "prox" + B({0, 21}));
    });
    std::unique_ptr<TTCPBlockSocket> s = SocksSocket(proxy);
    s->SetSocksUsername(u"user");
    s->SetSocksPassword(u"pass");
    s->Connect(u"host.example", u"443");
    EXPECT_EQ(s->LastError(), 0);
    EXPECT_EQ(greeting, B({5, 2, 2, 0}));
    EXPECT_EQ(auth, B({1, 4}) + "user" + B({4}) + "pass");
    EXPECT_EQ(request, B({5, 1, 0, 3, 12}) + "host.example" + B({1, 0xBB}));
    EXPECT_EQ(s->SocksResponseIP(), u"prox");
    EXPECT_EQ(s->SocksResponsePort(), u"21");
}

TEST(Socks5, HostNameGoesInItsAsciiForm) {
    std::string request;
    FakeProxy proxy([&](int fd) {
        ReadExactly(fd, 3);
        WriteAll(fd, B({5, 0}));
        request = ReadExactly(fd, 7 + 21);
        WriteAll(fd, B({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    });
    std::unique_ptr<TTCPBlockSocket> s = SocksSocket(proxy);
    s->Connect(u"b\u00fccher.example", u"80");
    EXPECT_EQ(s->LastError(), 0);
    EXPECT_EQ(request, B({5, 1, 0, 3, 21}) + "xn--bcher-kva.example" + B({0, 80}));
}

TEST(Socks5, IPv6TargetGoesAsSixteenBytes) {
    std::string request;
    FakeProxy proxy([&](int fd) {
        ReadExactly(fd, 3);
        WriteAll(fd, B({5, 0}));
        request = ReadExactly(fd, 22);
        WriteAll(fd, B({5, 0, 0, 4}) + std::string(16, '\0') + B({0, 1}));
    });
    std::unique_ptr<TTCPBlockSocket> s = SocksSocket(proxy);
    s->Connect(u"2001:db8::1", u"1");
    EXPECT_EQ(s->LastError(), 0);
    EXPECT_EQ(request,
              B({5, 1, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1}));
    EXPECT_EQ(s->SocksResponseIP(), u"::0");
}

TEST(Socks5, Refusals) {
    struct Case {
        const char* name;
        std::function<void(int)> script;
        int error;
        int socksCode;
    };
    const std::vector<Case> cases = {
        {"no acceptable method",
         [](int fd) {
             ReadExactly(fd, 4);
             WriteAll(fd, B({5, 0xFF}));
         },
         10091, 0},
        {"wrong version",
         [](int fd) {
             ReadExactly(fd, 4);
             WriteAll(fd, B({4, 0}));
         },
         10091, 0},
        {"bad password",
         [](int fd) {
             ReadExactly(fd, 4);
             WriteAll(fd, B({5, 2}));
             ReadExactly(fd, 11);
             WriteAll(fd, B({1, 1}));
         },
         10091, 0},
        {"connect refused by the proxy",
         [](int fd) {
             ReadExactly(fd, 4);
             WriteAll(fd, B({5, 2}));
             ReadExactly(fd, 11);
             WriteAll(fd, B({1, 0}));
             ReadExactly(fd, 10);
             WriteAll(fd, B({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}));
         },
         10091, 5},
        {"unknown address type",
         [](int fd) {
             ReadExactly(fd, 4);
             WriteAll(fd, B({5, 0}));
             ReadExactly(fd, 10);
             WriteAll(fd, B({5, 0, 0, 7, 0, 0, 0, 0, 0, 0}));
         },
         10091, -1},
        {"proxy closes", [](int fd) { ReadExactly(fd, 4); }, 10054, 0},
    };
    for (const Case& c : cases) {
        FakeProxy proxy(c.script);
        std::unique_ptr<TTCPBlockSocket> s = SocksSocket(proxy);
        s->SetSocksUsername(u"user");
        s->SetSocksPassword(u"pass");
        s->Connect(u"1.2.3.4", u"5");
        EXPECT_EQ(s->LastError(), c.error) << c.name;
        EXPECT_EQ(s->SocksLastError(), c.socksCode) << c.name;
    }
}

TEST(Socks, OverlongFieldsAreRefusedLocally) {
    const std::u16string longText(256, u'x');
    for (int field = 0; field < 4; ++field) {
        std::string received = "unset";
        {
            FakeProxy proxy([&](int fd) {
                // Answer a greeting if one comes, then record whatever else is sent.
                ReadExactly(fd, field == 3 ? 0 : 3, 1000);
                if (field != 3) WriteAll(fd, B({5, 0}));
                received = ReadExactly(fd, 1, 300);
            });
            std::unique_ptr<TTCPBlockSocket> s = SocksSocket(proxy);
            std::u16string host = u"host.example";
            if (field == 0) s->SetSocksUsername(longText);
            if (field == 1) {
                s->SetSocksUsername(u"u");
                s->SetSocksPassword(longText);
            }
            if (field == 2) host = longText;
            if (field == 3) {
                s->SetSocksType(ST_Socks4);
                host = longText;
            }
            s->Connect(host, u"80");
            EXPECT_EQ(s->LastError(), 10091) << field;
        }  // the proxy has finished here
        EXPECT_EQ(received, "") << "nothing sent after the refusal, field " << field;
    }
}

TEST(Socks, TimeoutWhileWaitingForTheProxy) {
    FakeProxy proxy([](int fd) {
        ReadExactly(fd, 3, 1000);
        ReadExactly(fd, 1, 1000);
    });
    std::unique_ptr<TTCPBlockSocket> s = SocksSocket(proxy);
    s->SetSocksTimeout(200);
    s->Connect(u"1.2.3.4", u"5");
    EXPECT_EQ(s->LastError(), 10060);
}

TEST(Socks4, RequestsAndReplies) {
    struct Case {
        const char* name;
        std::u16string host;
        bool resolver;
        std::string request;
        std::string reply;
        int error;
    };
    const std::vector<Case> cases = {
        {"4a with host name", u"host.example", true,
         B({4, 1, 0, 80, 0, 0, 0, 1}) + "bob" + B({0}) + "host.example" + B({0}),
         B({0, 90, 0, 80, 1, 2, 3, 4}), 0},
        {"IPv4 target", u"10.0.0.2", true, B({4, 1, 0, 80, 10, 0, 0, 2}) + "bob" + B({0}),
         B({0, 90, 0, 0, 0, 0, 0, 0}), 0},
        {"resolved locally", u"localhost", false, B({4, 1, 0, 80, 127, 0, 0, 1}) + "bob" + B({0}),
         B({0, 0, 0, 0, 0, 0, 0, 0}), 0},
        {"rejected", u"10.0.0.2", true, B({4, 1, 0, 80, 10, 0, 0, 2}) + "bob" + B({0}),
         B({0, 91, 0, 0, 0, 0, 0, 0}), 10091},
        {"bad version byte", u"10.0.0.2", true, B({4, 1, 0, 80, 10, 0, 0, 2}) + "bob" + B({0}),
         B({4, 90, 0, 0, 0, 0, 0, 0}), 10091},
    };
    for (const Case& c : cases) {
        std::string request;
        FakeProxy proxy([&](int fd) {
            request = ReadExactly(fd, c.request.size());
            WriteAll(fd, c.reply);
        });
        std::unique_ptr<TTCPBlockSocket> s = SocksSocket(proxy);
        s->SetSocksType(ST_Socks4);
        s->SetSocksUsername(u"bob");
        s->SetSocksResolver(c.resolver);
        s->Connect(c.host, u"80");
        EXPECT_EQ(request, c.request) << c.name;
        EXPECT_EQ(s->LastError(), c.error) << c.name;
    }
}

std::string ReadHttpRequest(int fd) {
    std::string r;
    while (r.find("\r\n\r\n") == std::string::npos) {
        std::string b = ReadExactly(fd, 1, 2000);
        if (b.empty()) break;
        r += b;
    }
    return r;
}

struct ProxyEvents {
    std::vector<std::pair<THookSocketReason, std::u16string>> proxy;
    int answerCode = -2;
    std::string answerText;
    void Attach(TTCPBlockSocket& s) {
        s.OnProxyStatus = [this](TBlockSocket*, TSocketProxyType t, THookSocketReason r,
                                 std::u16string_view v) {
            EXPECT_EQ(t, spt_HttpProxy);
            proxy.emplace_back(r, std::u16string(v));
        };
        s.OnHTTPTunnelConnectAnswer = [this](TBlockSocket*, int code, std::string_view text) {
            answerCode = code;
            answerText = std::string(text);
        };
    }
};

TEST(HttpTunnel, OpensWithAuthorisationAndPassesData) {
    std::string request;
    FakeProxy proxy([&](int fd) {
        request = ReadHttpRequest(fd);
        WriteAll(fd,
                 "HTTP/1.1 200 Connection established\r\nProxy-Agent: x\r\n\r\nfrom target\r\n");
    });
    std::unique_ptr<TTCPBlockSocket> s = TunnelSocket(proxy);
    s->SetHTTPTunnelUser(u"user");
    s->SetHTTPTunnelPass(u"pass");
    ProxyEvents ev;
    ev.Attach(*s);
    s->Connect(u"server.example", u"10023");
    EXPECT_EQ(s->LastError(), 0);
    EXPECT_EQ(request,
              "CONNECT server.example:10023 HTTP/1.0\r\n"
              "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n");
    EXPECT_EQ(ev.answerCode, 200);
    EXPECT_EQ(ev.answerText, "Connection established");
    EXPECT_TRUE(s->HTTPTunnel());
    EXPECT_EQ(s->GetRemoteSinIP(), u"server.example");
    EXPECT_EQ(s->GetRemoteSinPort(), 10023);
    ASSERT_FALSE(ev.proxy.empty());
    EXPECT_EQ(ev.proxy.front().first, HR_ResolvingBegin);
    EXPECT_EQ(ev.proxy.front().second, u"127.0.0.1:" + proxy.Port());
    EXPECT_EQ(s->RecvString(2000), "from target");
}

TEST(HttpTunnel, HostNameGoesInItsAsciiForm) {
    std::string request;
    FakeProxy proxy([&](int fd) {
        request = ReadHttpRequest(fd);
        WriteAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
    });
    std::unique_ptr<TTCPBlockSocket> s = TunnelSocket(proxy);
    ProxyEvents ev;
    ev.Attach(*s);
    s->Connect(u"b\u00fccher.example", u"443");
    EXPECT_EQ(s->LastError(), 0);
    EXPECT_EQ(request, "CONNECT xn--bcher-kva.example:443 HTTP/1.0\r\n\r\n");
}

TEST(HttpTunnel, IPv6TargetInBrackets) {
    std::string request;
    FakeProxy proxy([&](int fd) {
        request = ReadHttpRequest(fd);
        WriteAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
    });
    std::unique_ptr<TTCPBlockSocket> s = TunnelSocket(proxy);
    ProxyEvents ev;
    ev.Attach(*s);
    s->Connect(u"2001:db8::1", u"443");
    EXPECT_EQ(s->LastError(), 0);
    EXPECT_EQ(request, "CONNECT [2001:db8::1]:443 HTTP/1.0\r\n\r\n");
}

TEST(HttpTunnel, RefusalsAndMalformedAnswers) {
    struct Case {
        const char* name;
        std::string answer;
        int error;
        int code;
        bool proxyError;  // reported through the proxy-status event
    };
    const std::vector<Case> cases = {
        {"auth required", "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", 10061, 407, true},
        {"gateway time-out", "HTTP/1.1 504 Gateway Timeout\r\n\r\n", 10061, 504, false},
        {"short status line", "HTTP/1.0 2\r\n\r\n", 10061, -1, true},
        {"not http", "SSH-2.0-x whatever here\r\n\r\n", 10061, -1, true},
        {"overlong status line", std::string(9000, 'H') + "\r\n", 10091, -2, false},
        {"endless headers",
         [] {
             std::string a = "HTTP/1.0 200 OK\r\n";
             for (int i = 0; i < 150; ++i) a += "X-" + std::to_string(i) + ": y\r\n";
             return a + "\r\n";
         }(),
         10091, 200, false},
    };
    for (const Case& c : cases) {
        FakeProxy proxy([&](int fd) {
            ReadHttpRequest(fd);
            WriteAll(fd, c.answer);
            ReadExactly(fd, 1, 500);
        });
        std::unique_ptr<TTCPBlockSocket> s = TunnelSocket(proxy);
        ProxyEvents ev;
        ev.Attach(*s);
        s->Connect(u"server.example", u"80");
        EXPECT_EQ(s->LastError(), c.error) << c.name;
        EXPECT_EQ(ev.answerCode, c.code) << c.name;
        EXPECT_FALSE(s->HTTPTunnel()) << c.name;
        bool sawError = false;
        for (auto& p : ev.proxy)
            if (p.first == HR_Error && p.second == u"Socket error (10061): Connection refused")
                sawError = true;
        EXPECT_EQ(sawError, c.proxyError) << c.name;
    }
}

TEST(HttpTunnel, TimeoutAndMissingProxyHandler) {
    {
        FakeProxy proxy([](int fd) {
            ReadHttpRequest(fd);
            ReadExactly(fd, 1, 1000);
        });
        std::unique_ptr<TTCPBlockSocket> s = TunnelSocket(proxy);
        s->SetHTTPTunnelTimeout(200);
        ProxyEvents ev;
        ev.Attach(*s);
        s->Connect(u"server.example", u"80");
        EXPECT_EQ(s->LastError(), 10060);
    }
    {
        FakeProxy proxy([](int) {});
        std::unique_ptr<TTCPBlockSocket> s = TunnelSocket(proxy);
        try {
            s->Connect(u"server.example", u"80");
            FAIL();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), u"Proxy handlers can not be called on direct connections");
        }
        EXPECT_FALSE(bool(s->OnStatus)) << "the owner's status event is given back";
    }
}

}  // namespace
