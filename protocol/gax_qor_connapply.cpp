// Connection settings applied to a socket.
#include "protocol/gax_qor_connapply.h"

#include <string>

#include "foundation/gax_strutils.h"
#include "sockets/gax_snps_tcpsock.h"

namespace gax {

void ApplyConnectionParams(TTCPBlockSocket& socket, const TQORConnectionParams& params) {
    socket.SetPreferIP4(params.PreferIPv4);
    socket.SetConnectionTimeout(int32_t(params.ServerConnectTimeoutTicks));
    socket.SetRaiseExcept(false);
    socket.SetStopFlag(false);

    // A socket reused for another connection must not keep an earlier proxy.
    socket.SetHTTPTunnelIP({});
    socket.SetHTTPTunnelUser({});
    socket.SetHTTPTunnelPass({});
    socket.SetSocksIP({});
    socket.SetSocksUsername({});
    socket.SetSocksPassword({});

    switch (params.ProxyType) {
        case QOR_PROXY_TYPE_HTTP:
            socket.SetHTTPTunnelIP(params.ProxyAddress);
            socket.SetHTTPTunnelPort(IntToDecStrW(params.ProxyPort));
            if (!params.ProxyUsername.empty()) {
                socket.SetHTTPTunnelUser(params.ProxyUsername);
                socket.SetHTTPTunnelPass(params.ProxyPassword);
            }
            socket.SetHTTPTunnelTimeout(int32_t(params.ProxyConnectTimeoutTicks));
            break;
        case QOR_PROXY_TYPE_SOCKS4:
        case QOR_PROXY_TYPE_SOCKS5:
            socket.SetSocksIP(params.ProxyAddress);
            socket.SetSocksType(params.ProxyType == QOR_PROXY_TYPE_SOCKS4 ? ST_Socks4 : ST_Socks5);
            socket.SetSocksPort(IntToDecStrW(params.ProxyPort));
            if (!params.ProxyUsername.empty()) {
                socket.SetSocksUsername(params.ProxyUsername);
                socket.SetSocksPassword(params.ProxyPassword);
            }
            socket.SetSocksTimeout(int32_t(params.ProxyConnectTimeoutTicks));
            // the proxy resolves host names, so names work behind it
            socket.SetSocksResolver(true);
            break;
        case QOR_PROXY_TYPE_NONE:
        case QOR_PROXY_TYPE_SYSTEM:
        default:
            break;
    }
}

}  // namespace gax
