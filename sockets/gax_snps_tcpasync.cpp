// The asynchronous connect of the TCP socket on its three roads: direct (the
// block socket's), through a SOCKS 4/4a/5 proxy and through an HTTP CONNECT
// tunnel. The proxy roads are small state machines advanced one step per
// event the owner's waiter reports; their reads wait (through the owner's
// wait hooks when set) for at most the rest of the running limit, so they only
// block for bytes the proxy has already begun to send. While a proxy connect
// runs, the owner's status event is held aside and a forwarder turns status
// events into proxy-status events; ConnectAsyncEnd and ConnectAsyncError give
// it back together with the owner's connection time-out.
#include <string>

#include "foundation/gax_punycode.h"
#include "foundation/gax_strutils.h"
#include "sockets/gax_snps_base64.h"
#include "sockets/gax_snps_tcpsock.h"
#include "sockets/gax_snps_utils.h"

namespace gax {

namespace {

// Bounds of an HTTP proxy's answer, as on the blocking road.
constexpr int kMaxHttpLine = 8192;
constexpr int kMaxHttpHeaderLines = 100;

uint32_t Rest(uint32_t limit, uint32_t elapsed) {
    return elapsed >= limit ? 0 : limit - elapsed;
}

std::string TrimLine(std::string s) {
    if (!s.empty() && s.back() == '\n') s.pop_back();
    if (!s.empty() && s.back() == '\r') s.pop_back();
    return TrimBlanks(s);
}

}  // namespace

// ---- common steps ---------------------------------------------------------------------------

TSocketAsyncResult TTCPBlockSocket::ConnectAsyncStart(std::u16string_view ip,
                                                      std::u16string_view port) {
    const TSocketProxyType road = ProxyRoad();
    if (road == spt_NoProxy) return TBlockSocket::ConnectAsyncStart(ip, port);
    return ProxyAsyncStart(road, ip, port);
}

TSocketAsyncResult TTCPBlockSocket::ProxyAsyncStart(TSocketProxyType road, std::u16string_view ip,
                                                    std::u16string_view port) {
    f_AsyncTargetIP = ip;
    f_AsyncTargetPort = ResolvePort(port);
    f_AsyncHostPort.clear();
    f_AsyncPrevOnStatus = OnStatus;
    OnStatus = [this, road](TBlockSocket*, THookSocketReason r, std::u16string_view v) {
        ForwardProxyStatus(road, r, v, f_AsyncPrevOnStatus);
    };
    f_AsyncSavedConnectionTimeout = FConnectionTimeout;
    f_AsyncProxyStartTick = GetTick32();
    if (road == spt_SocksProxy) {
        f_AsyncSocksStatus = sas_SocksAsyncConnectingToTunnel;
        FConnectionTimeout = FSocksTimeout;
    } else {
        f_AsyncHttpStatus = sahs_AsyncHttp_ConnectingToTunnel;
        FConnectionTimeout = FHTTPTunnelTimeout;
    }
    const std::u16string& host = road == spt_SocksProxy ? FSocksIP : FHTTPTunnelIP;
    const std::u16string& hostPort = road == spt_SocksProxy ? FSocksPort : FHTTPTunnelPort;
    const TSocketAsyncResult r = TBlockSocket::ConnectAsyncStart(host, hostPort);
    if (r == sar_Ready) {
        // Connected at once: the owner still waits for the connect event (which
        // the socket reports at once), so that every proxy step runs the same way.
        f_ConnectAsyncWaitFlags = 8;
        f_AsyncConnectWaitTicks = TGaxTick32(FConnectionTimeout > 0 ? FConnectionTimeout : 0);
        return sar_Wait;
    }
    return r;
}

TSocketAsyncResult TTCPBlockSocket::ConnectAsyncProcessForNow() {
    const TGaxTick32 now = GetTick32();
    if (f_AsyncSocksStatus != sas_NoSocksAsync) return SocksAsyncStep(now);
    if (f_AsyncHttpStatus != sahs_AsyncHttp_No) return HttpAsyncStep(now);
    return TBlockSocket::ConnectAsyncProcessForTick(now);
}

TSocketAsyncResult TTCPBlockSocket::AsyncFail(int code) {
    FLastError = code;
    FLastErrorDesc = GetErrorDescEx();
    ExceptCheck();
    return sar_Error;
}

TSocketAsyncResult TTCPBlockSocket::AsyncWaitRead(uint32_t ticks) {
    f_ConnectAsyncWaitFlags = 1;
    f_AsyncConnectWaitTicks = ticks;
    return sar_Wait;
}

// The TCP connection to the proxy reported: finish it and check the proxy's time.
TSocketAsyncResult TTCPBlockSocket::ProxyTunnelConnected(TGaxTick32 now, int32_t limit) {
    if (f_AsyncDirectStatus == sads_AsyncDirect_Connecting) {
        const TSocketAsyncResult r = TBlockSocket::ConnectAsyncProcessForTick(now);
        if (r != sar_Ready) return r;
    }
    if (TickDiff32(f_AsyncProxyStartTick, now) >= uint32_t(limit))
        return AsyncFail(plat::kSockErrTimedOut);
    return sar_Ready;
}

TSocketAsyncResult TTCPBlockSocket::ConnectAsyncCheckTimeForNow() {
    if (f_AsyncSocksStatus != sas_NoSocksAsync) RaiseNotImplemented();
    return ConnectAsyncCheckTimeForTick(GetTick32());
}

TSocketAsyncResult TTCPBlockSocket::ConnectAsyncCheckTimeForTick(TGaxTick32 now) {
    uint32_t limit = 0;
    TGaxTick32 from = f_AsyncProxyStartTick;
    if (f_AsyncSocksStatus != sas_NoSocksAsync) {
        switch (f_AsyncSocksStatus) {
            case sas_SocksAsyncConnectingToTunnel:
                if (f_AsyncDirectStatus == sads_AsyncDirect_Connecting)
                    return TBlockSocket::ConnectAsyncCheckTimeForTick(now);
                limit = uint32_t(FSocksTimeout);
                break;
            case sas_SocksAsyncOpenReceiving1:
            case sas_SocksAsyncOpenReceiving2:
                limit = uint32_t(FSocksTimeout);
                break;
            case sas_SocksAsyncWaitResponse:
                limit = uint32_t(FSocksTimeout) + uint32_t(FConnectionTimeout);
                from = f_AsyncResponseStartTick;
                break;
            default:
                throw Exception("Invalid http proxy async status");
        }
    } else if (f_AsyncHttpStatus != sahs_AsyncHttp_No) {
        switch (f_AsyncHttpStatus) {
            case sahs_AsyncHttp_ConnectingToTunnel:
                if (f_AsyncDirectStatus == sads_AsyncDirect_Connecting)
                    return TBlockSocket::ConnectAsyncCheckTimeForTick(now);
                limit = uint32_t(FHTTPTunnelTimeout);
                break;
            case sahs_AsyncHttp_ReceivingTunnelAnswer:
                limit = uint32_t(FHTTPTunnelTimeout) + uint32_t(FConnectionTimeout);
                break;
            default:
                throw Exception("Invalid http proxy async status");
        }
    } else {
        return TBlockSocket::ConnectAsyncCheckTimeForTick(now);
    }
    const uint32_t elapsed = TickDiff32(from, now);
    if (elapsed < limit) {
        // Before the proxy's connection is made the owner still waits for it.
        const bool connecting = f_AsyncSocksStatus == sas_SocksAsyncConnectingToTunnel ||
                                f_AsyncHttpStatus == sahs_AsyncHttp_ConnectingToTunnel;
        f_ConnectAsyncWaitFlags = connecting ? 8 : 1;
        f_AsyncConnectWaitTicks = limit - elapsed;
        return sar_Wait;
    }
    return AsyncFail(plat::kSockErrTimedOut);
}

void TTCPBlockSocket::ProxyAsyncFinish() {
    OnStatus = f_AsyncPrevOnStatus;
    f_AsyncPrevOnStatus = nullptr;
    f_AsyncSocksStatus = sas_NoSocksAsync;
    f_AsyncHttpStatus = sahs_AsyncHttp_No;
    FConnectionTimeout = f_AsyncSavedConnectionTimeout;
    f_AsyncDirectStatus = sads_AsyncDirect_NO;
}

void TTCPBlockSocket::ConnectAsyncEnd() {
    if (f_AsyncSocksStatus != sas_NoSocksAsync || f_AsyncHttpStatus != sahs_AsyncHttp_No)
        ProxyAsyncFinish();
    else
        TBlockSocket::ConnectAsyncEnd();
    if (FLastError == 0 && OnAfterConnect) OnAfterConnect(this);
}

void TTCPBlockSocket::ConnectAsyncError(int code) {
    const bool socks = f_AsyncSocksStatus != sas_NoSocksAsync;
    if (!socks && f_AsyncHttpStatus == sahs_AsyncHttp_No) {
        TBlockSocket::ConnectAsyncError(code);
        return;
    }
    if (f_AsyncPrevOnStatus && OnProxyStatus)
        OnProxyStatus(this, socks ? spt_SocksProxy : spt_HttpProxy, HR_Error,
                      FormatSocketError(code, SocketSysErrorText(code)));
    ProxyAsyncFinish();
}

// ---- SOCKS ----------------------------------------------------------------------------------

TSocketAsyncResult TTCPBlockSocket::SocksAsyncStep(TGaxTick32 now) {
    const uint32_t rest = Rest(uint32_t(FSocksTimeout), TickDiff32(f_AsyncProxyStartTick, now));
    switch (f_AsyncSocksStatus) {
        case sas_SocksAsyncConnectingToTunnel: {
            const TSocketAsyncResult r = ProxyTunnelConnected(now, FSocksTimeout);
            if (r != sar_Ready) return r;
            if (OnProxyStatus) OnProxyStatus(this, spt_SocksProxy, HR_Connect, f_AsyncTargetIP);
            if (FSocksType == ST_Socks4) {
                FUsingSocks = true;
                return SocksAsyncRequest(now);
            }
            const std::string user = UnicodeToByteStr(FSocksUsername);
            const std::string pass = UnicodeToByteStr(FSocksPassword);
            if (user.size() > 255 || pass.size() > 255) return AsyncFail(plat::kSockErrProxy);
            SendString(user.empty() ? std::string("\x05\x01\x00", 3)
                                    : std::string("\x05\x02\x02\x00", 4));
            if (FLastError != 0) return sar_Error;
            if (f_AsyncPrevOnStatus) f_AsyncPrevOnStatus(this, HR_ResolvingBegin, f_AsyncTargetIP);
            f_AsyncSocksStatus = sas_SocksAsyncOpenReceiving1;
            return AsyncWaitRead(rest);
        }
        case sas_SocksAsyncOpenReceiving1: {
            if (rest == 0) return AsyncFail(plat::kSockErrTimedOut);
            const std::string answer = RecvBufferStr(2, int(rest));
            if (FLastError != 0) return sar_Error;
            if (answer.size() != 2 || answer[0] != '\x05') return AsyncFail(plat::kSockErrProxy);
            if (answer[1] == '\x00') {
                FUsingSocks = true;
                return SocksAsyncRequest(now);
            }
            if (answer[1] != '\x02' || FSocksUsername.empty())
                return AsyncFail(plat::kSockErrProxy);
            const std::string user = UnicodeToByteStr(FSocksUsername);
            const std::string pass = UnicodeToByteStr(FSocksPassword);
            std::string auth = "\x01";
            auth += char(user.size());
            auth += user;
            auth += char(pass.size());
            auth += pass;
            SendString(auth);
            if (FLastError != 0) return sar_Error;
            const uint32_t left =
                Rest(uint32_t(FSocksTimeout), TickDiff32(f_AsyncProxyStartTick, GetTick32()));
            if (left == 0) return AsyncFail(plat::kSockErrTimedOut);
            f_AsyncSocksStatus = sas_SocksAsyncOpenReceiving2;
            return AsyncWaitRead(left);
        }
        case sas_SocksAsyncOpenReceiving2: {
            if (rest == 0) return AsyncFail(plat::kSockErrTimedOut);
            const std::string answer = RecvBufferStr(2, int(rest));
            if (FLastError != 0) return sar_Error;
            if (answer.size() != 2 || answer[1] != '\x00') return AsyncFail(plat::kSockErrProxy);
            FUsingSocks = true;
            return SocksAsyncRequest(now);
        }
        case sas_SocksAsyncWaitResponse: {
            const uint32_t left =
                Rest(uint32_t(FConnectionTimeout), TickDiff32(f_AsyncResponseStartTick, now));
            if (left == 0) return AsyncFail(plat::kSockErrTimedOut);
            // The reply's pieces share what is left of the limit.
            const int32_t savedSocksTimeout = FSocksTimeout;
            FSocksTimeout = int32_t(left);
            const bool ok = SocksResponse();
            FSocksTimeout = savedSocksTimeout;
            if (!ok) return AsyncFail(FLastError != 0 ? FLastError : plat::kSockErrProxy);
            FSocksLocalIP = FSocksResponseIP;
            FSocksLocalPort = FSocksResponsePort;
            FSocksRemoteIP = f_AsyncTargetIP;
            FSocksRemotePort = IntToDecStrW(f_AsyncTargetPort);
            return sar_Ready;
        }
        default:
            throw Exception("Invalid http proxy async status");
    }
}

TSocketAsyncResult TTCPBlockSocket::SocksAsyncRequest(TGaxTick32 now) {
    if (!SocksRequest(1, f_AsyncTargetIP, IntToDecStrW(f_AsyncTargetPort))) {
        if (FLastError == 0) FLastError = plat::kSockErrProxy;
        return sar_Error;
    }
    if (TickDiff32(f_AsyncProxyStartTick, now) >= uint32_t(FSocksTimeout))
        return AsyncFail(plat::kSockErrTimedOut);
    FConnectionTimeout = f_AsyncSavedConnectionTimeout;
    f_AsyncSocksStatus = sas_SocksAsyncWaitResponse;
    f_AsyncResponseStartTick = GetTick32();
    return AsyncWaitRead(uint32_t(FConnectionTimeout > 0 ? FConnectionTimeout : 0));
}

// ---- HTTP tunnel ----------------------------------------------------------------------------

TSocketAsyncResult TTCPBlockSocket::HttpAsyncStep(TGaxTick32 now) {
    switch (f_AsyncHttpStatus) {
        case sahs_AsyncHttp_ConnectingToTunnel: {
            const TSocketAsyncResult r = ProxyTunnelConnected(now, FHTTPTunnelTimeout);
            if (r != sar_Ready) return r;
            FHTTPTunnel = false;
            const std::string ascii = IdnEncodeHostName(f_AsyncTargetIP);
            // No ASCII form: nothing else may go to the proxy in its place.
            if (ascii.empty()) return AsyncFail(plat::kSockErrProxy);
            std::u16string host = ByteStrToUnicode(ascii);
            if (IsIPv6Text(host)) host = u"[" + host + u"]";
            f_AsyncHostPort = JoinHostPort(host, IntToDecStrW(f_AsyncTargetPort));
            if (OnProxyStatus) OnProxyStatus(this, spt_HttpProxy, HR_Connect, f_AsyncHostPort);
            std::string request = "CONNECT " + UnicodeToByteStr(f_AsyncHostPort) + " HTTP/1.0\r\n";
            if (!FHTTPTunnelUser.empty())
                request += "Proxy-Authorization: Basic " +
                           EncodeBase64A(UnicodeToByteStr(FHTTPTunnelUser) + ":" +
                                         UnicodeToByteStr(FHTTPTunnelPass)) +
                           "\r\n";
            request += "\r\n";
            SendString(request);
            if (FLastError != 0) return sar_Error;
            const uint32_t left =
                Rest(uint32_t(FHTTPTunnelTimeout), TickDiff32(f_AsyncProxyStartTick, GetTick32()));
            if (left == 0) return AsyncFail(plat::kSockErrTimedOut);
            if (f_AsyncPrevOnStatus) f_AsyncPrevOnStatus(this, HR_ResolvingBegin, f_AsyncHostPort);
            f_AsyncHttpStatus = sahs_AsyncHttp_ReceivingTunnelAnswer;
            return AsyncWaitRead(left);
        }
        case sahs_AsyncHttp_ReceivingTunnelAnswer: {
            const uint32_t limit = uint32_t(FHTTPTunnelTimeout) + uint32_t(FConnectionTimeout);
            auto left = [&] {
                return Rest(limit, TickDiff32(f_AsyncProxyStartTick, GetTick32()));
            };
            if (left() == 0) {
                DoStatus(HR_ResolvingEnd, f_AsyncHostPort);
                return AsyncFail(plat::kSockErrTimedOut);
            }
            const int32_t savedMaxLine = FMaxLineLength;
            FMaxLineLength = kMaxHttpLine;
            std::string status;
            {
                // The status line is read with the status event silenced.
                THookSocketStatus forwarder = std::move(OnStatus);
                OnStatus = nullptr;
                status = TrimLine(RecvTerminated(int(left()), "\n"));
                OnStatus = std::move(forwarder);
            }
            if (FLastError == plat::kSockErrNoBuffers) FLastError = plat::kSockErrProxy;
            if (FLastError != 0) {
                FMaxLineLength = savedMaxLine;
                DoStatus(HR_Error, FormatSocketError(FLastError, SocketSysErrorText(FLastError)));
                OnStatus = f_AsyncPrevOnStatus;
                return sar_Error;
            }
            DoStatus(HR_ResolvingEnd, f_AsyncHostPort);
            int code = -1;
            std::string reason;
            if (status.size() > 11 && status.compare(0, 5, "HTTP/") == 0) {
                int32_t v = 0;
                if (TryParseIntA(status.substr(9, 3), v)) code = v;
                if (status.size() > 12) reason = TrimBlanks(status.substr(12));
            }
            if (OnHTTPTunnelConnectAnswer) OnHTTPTunnelConnectAnswer(this, code, reason);
            if (code < 200 || code > 299) {
                FMaxLineLength = savedMaxLine;
                FLastError = plat::kSockErrConnRefused;
                FLastErrorDesc = GetErrorDescEx();
                const std::u16string text = FormatSocketError(FLastError, SocketSysErrorText(FLastError));
                if (code == 504)
                    DoStatus(HR_Error, text);
                else if (OnProxyStatus)
                    OnProxyStatus(this, spt_HttpProxy, HR_Error, text);
                OnStatus = f_AsyncPrevOnStatus;
                ExceptCheck();
                return sar_Error;
            }
            FHTTPTunnel = true;
            for (int lines = 0;; ++lines) {
                const uint32_t l = left();
                if (lines >= kMaxHttpHeaderLines || l == 0) {
                    FMaxLineLength = savedMaxLine;
                    FLastError = l == 0 ? plat::kSockErrTimedOut : plat::kSockErrProxy;
                    FLastErrorDesc = GetErrorDescEx();
                    DoStatus(HR_Error, FormatSocketError(FLastError, SocketSysErrorText(FLastError)));
                    OnStatus = f_AsyncPrevOnStatus;
                    return sar_Error;
                }
                const std::string line = TrimLine(RecvTerminated(int(l), "\n"));
                if (FLastError == plat::kSockErrNoBuffers) FLastError = plat::kSockErrProxy;
                if (FLastError != 0) {
                    FMaxLineLength = savedMaxLine;
                    DoStatus(HR_Error, FormatSocketError(FLastError, SocketSysErrorText(FLastError)));
                    OnStatus = f_AsyncPrevOnStatus;
                    return sar_Error;
                }
                if (line.empty()) break;
            }
            FMaxLineLength = savedMaxLine;
            DoStatus(HR_Connect, f_AsyncHostPort);
            OnStatus = f_AsyncPrevOnStatus;
            FHTTPTunnelRemoteIP = f_AsyncTargetIP;
            FHTTPTunnelRemotePort = IntToDecStrW(f_AsyncTargetPort);
            return sar_Ready;
        }
        default:
            throw Exception("Invalid http proxy async status");
    }
}

}  // namespace gax
