#include "protocol/gax_qor_connapply.h"

#include <gtest/gtest.h>

#include "sockets/gax_snps_tcpsock.h"

using namespace gax;

namespace {

TQORConnectionParams Params(TQORProxyType type, std::u16string user) {
    TQORConnectionParams p;
    p.ServerConnectTimeoutTicks = 7000;
    p.ProxyConnectTimeoutTicks = 3000;
    p.ReadTimeoutTicks = 11;
    p.WriteTimeoutTicks = 12;
    p.ProxyType = type;
    p.ProxyPort = 8080;
    p.ProxyAddress = u"proxy.example";
    p.ProxyUsername = std::move(user);
    p.ProxyPassword = u"pw";
    p.PreferIPv4 = true;
    return p;
}

// A socket left with an earlier proxy and credentials.
void Dirty(TTCPBlockSocket& s) {
    s.SetHTTPTunnelIP(u"old-http");
    s.SetHTTPTunnelUser(u"old-user");
    s.SetHTTPTunnelPass(u"old-pass");
    s.SetSocksIP(u"old-socks");
    s.SetSocksUsername(u"old-user");
    s.SetSocksPassword(u"old-pass");
    s.SetRaiseExcept(true);
    s.SetStopFlag(true);
    s.SetPreferIP4(false);
}

}  // namespace

TEST(ApplyConnectionParams, NoProxyClearsEarlierProxies) {
    for (TQORProxyType t : {QOR_PROXY_TYPE_NONE, QOR_PROXY_TYPE_SYSTEM}) {
        TTCPBlockSocket s;
        Dirty(s);
        ApplyConnectionParams(s, Params(t, u"user"));
        EXPECT_TRUE(s.PreferIP4());
        EXPECT_EQ(s.ConnectionTimeout(), 7000);
        EXPECT_FALSE(s.RaiseExcept());
        EXPECT_FALSE(s.StopFlag());
        EXPECT_EQ(s.HTTPTunnelIP(), u"");
        EXPECT_EQ(s.HTTPTunnelUser(), u"");
        EXPECT_EQ(s.HTTPTunnelPass(), u"");
        EXPECT_EQ(s.SocksIP(), u"");
        EXPECT_EQ(s.SocksUsername(), u"");
        EXPECT_EQ(s.SocksPassword(), u"");
    }
}

TEST(ApplyConnectionParams, HttpTunnelWithAndWithoutUser) {
    TTCPBlockSocket s;
    Dirty(s);
    ApplyConnectionParams(s, Params(QOR_PROXY_TYPE_HTTP, u"user"));
    EXPECT_EQ(s.HTTPTunnelIP(), u"proxy.example");
    EXPECT_EQ(s.HTTPTunnelPort(), u"8080");
    EXPECT_EQ(s.HTTPTunnelUser(), u"user");
    EXPECT_EQ(s.HTTPTunnelPass(), u"pw");
    EXPECT_EQ(s.HTTPTunnelTimeout(), 3000);
    EXPECT_EQ(s.SocksIP(), u"");

    ApplyConnectionParams(s, Params(QOR_PROXY_TYPE_HTTP, u""));
    EXPECT_EQ(s.HTTPTunnelIP(), u"proxy.example");
    EXPECT_EQ(s.HTTPTunnelUser(), u"");  // no user: no password either
    EXPECT_EQ(s.HTTPTunnelPass(), u"");
}

TEST(ApplyConnectionParams, Socks4AndSocks5) {
    const struct {
        TQORProxyType type;
        TSocksType socks;
    } cases[] = {{QOR_PROXY_TYPE_SOCKS4, ST_Socks4}, {QOR_PROXY_TYPE_SOCKS5, ST_Socks5}};
    for (const auto& c : cases) {
        TTCPBlockSocket s;
        Dirty(s);
        s.SetSocksResolver(false);
        ApplyConnectionParams(s, Params(c.type, u"user"));
        EXPECT_EQ(s.SocksIP(), u"proxy.example");
        EXPECT_EQ(s.SocksType(), c.socks);
        EXPECT_EQ(s.SocksPort(), u"8080");
        EXPECT_EQ(s.SocksUsername(), u"user");
        EXPECT_EQ(s.SocksPassword(), u"pw");
        EXPECT_EQ(s.SocksTimeout(), 3000);
        EXPECT_TRUE(s.SocksResolver());
        EXPECT_EQ(s.HTTPTunnelIP(), u"");
        EXPECT_EQ(s.HTTPTunnelUser(), u"");
    }
    TTCPBlockSocket s;
    Dirty(s);
    ApplyConnectionParams(s, Params(QOR_PROXY_TYPE_SOCKS5, u""));
    EXPECT_EQ(s.SocksUsername(), u"");
    EXPECT_EQ(s.SocksPassword(), u"");
}
