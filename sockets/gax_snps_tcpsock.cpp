#include "sockets/gax_snps_tcpsock.h"

#include "foundation/gax_strutils.h"
#include "sockets/gax_snps_base64.h"
#include "foundation/gax_punycode.h"
#include "sockets/gax_snps_utils.h"

namespace gax {

namespace {

// A length byte carries at most 255; anything longer is refused before it goes out.
constexpr size_t kMaxSocksField = 255;
// Bounds of an HTTP proxy's answer, so a hostile proxy cannot make us buffer forever.
constexpr int kMaxHttpLine = 8192;
constexpr int kMaxHttpHeaderLines = 100;

// A port kept as text; 0 when it is not a number.
int PortNumber(std::u16string_view text) {
    int32_t v = 0;
    return TryParseIntA(UnicodeToByteStr(text), v) ? v : 0;
}

}  // namespace

// ---- TLS slot ---------------------------------------------------------------------------

void TCustomSSL::Assign(const TCustomSSL& o) {
    FKeyPassword = o.FKeyPassword;
    FCiphers = o.FCiphers;
    FCertificateFile = o.FCertificateFile;
    FPrivateKeyFile = o.FPrivateKeyFile;
    FPFXfile = o.FPFXfile;
    FCertCAFile = o.FCertCAFile;
    FTrustCertificateFile = o.FTrustCertificateFile;
    FUsername = o.FUsername;
    FPassword = o.FPassword;
    FSSHChannelType = o.FSSHChannelType;
    FSSHChannelArg1 = o.FSSHChannelArg1;
    FSSHChannelArg2 = o.FSSHChannelArg2;
    FSNIHost = o.FSNIHost;
    FCertificate = o.FCertificate;
    FPrivateKey = o.FPrivateKey;
    FPFX = o.FPFX;
    FCertCA = o.FCertCA;
    FTrustCertificate = o.FTrustCertificate;
    FSSLType = o.FSSLType;
    FVerifyCert = o.FVerifyCert;
    FCertComplianceLevel = o.FCertComplianceLevel;
}

void TCustomSSL::NotCompiled() {
    FLastError = -1;
    FLastErrorDesc = u"SSL/TLS support is not compiled!";
}

bool TCustomSSL::Connect() {
    NotCompiled();
    return false;
}
bool TCustomSSL::Accept() {
    NotCompiled();
    return false;
}
bool TCustomSSL::Shutdown() {
    NotCompiled();
    return false;
}
bool TCustomSSL::BiShutdown() {
    NotCompiled();
    return false;
}
int TCustomSSL::SendBuffer(const void*, int) {
    NotCompiled();
    return -1;
}
int TCustomSSL::RecvBuffer(void*, int) {
    NotCompiled();
    return -1;
}
int TCustomSSL::WaitingData() {
    NotCompiled();
    return 0;
}

// ---- SOCKS ------------------------------------------------------------------------------

std::u16string TSocksBlockSocket::SocksTarget(std::u16string_view ip) {
    if (FSocksResolver) return std::u16string(ip);
    return mResolveName(ip);
}

bool TSocksBlockSocket::SocksOpen() {
    FBypassFlag = true;
    bool ok = true;
    if (FSocksType == ST_Socks5) {
        std::string user = UnicodeToByteStr(FSocksUsername);
        std::string pass = UnicodeToByteStr(FSocksPassword);
        if (user.size() > kMaxSocksField || pass.size() > kMaxSocksField) {
            FLastError = plat::kSockErrProxy;
            FBypassFlag = false;
            return false;
        }
        SendString(user.empty() ? std::string("\x05\x01\x00", 3)
                                : std::string("\x05\x02\x02\x00", 4));
        std::string answer;
        if (FLastError == 0) answer = RecvBufferStr(2, FSocksTimeout);
        ok = FLastError == 0 && answer.size() == 2 && answer[0] == '\x05';
        if (ok && answer[1] == '\x02') {
            std::string auth = "\x01";
            auth += char(user.size());
            auth += user;
            auth += char(pass.size());
            auth += pass;
            SendString(auth);
            if (FLastError == 0) answer = RecvBufferStr(2, FSocksTimeout);
            ok = FLastError == 0 && answer.size() == 2 && answer[1] == '\x00';
        } else if (ok && answer[1] != '\x00') {
            ok = false;
        }
    }
    FUsingSocks = ok;
    FBypassFlag = false;
    return ok;
}

bool TSocksBlockSocket::SocksRequest(uint8_t command, std::u16string_view ip,
                                     std::u16string_view port) {
    // A field the request cannot carry: nothing goes out.
    auto refuse = [this] {
        FLastError = plat::kSockErrProxy;
        FBypassFlag = false;
        return false;
    };
    FBypassFlag = true;
    int portNo = ResolvePort(port);
    std::u16string target = SocksTarget(ip);
    std::string request;
    if (FSocksType == ST_Socks5) {
        request = {'\x05', char(command), '\x00'};
        if (IsIPv4Text(target)) {
            request += '\x01';
            request += IPv4TextToBytes(target);
        } else if (IsIPv6Text(target)) {
            request += '\x04';
            request += IPv6TextToBin(target);
        } else {
            std::string name = IdnEncodeHostName(target);
            if (name.empty() || name.size() > kMaxSocksField) return refuse();
            request += '\x03';
            request += char(name.size());
            request += name;
        }
        request += WordToBytesBE(uint16_t(portNo));
    } else {
        std::string user = UnicodeToByteStr(FSocksUsername);
        if (user.size() > kMaxSocksField) return refuse();
        request = {'\x04', char(command)};
        request += WordToBytesBE(uint16_t(portNo));
        if (IsIPv4Text(target)) {
            request += IPv4TextToBytes(target);
            request += user;
            request += '\0';
        } else {
            std::string name = IdnEncodeHostName(target);
            if (name.empty() || name.size() > kMaxSocksField) return refuse();
            request += std::string("\x00\x00\x00\x01", 4);
            request += user;
            request += '\0';
            request += name;
            request += '\0';
        }
    }
    SendString(request);
    FBypassFlag = false;
    return FLastError == 0;
}

bool TSocksBlockSocket::SocksResponse() {
    FBypassFlag = true;
    FSocksLastError = -1;
    FSocksResponseIP.clear();
    FSocksResponsePort.clear();
    bool ok = false;
    if (FSocksType == ST_Socks5) {
        std::string head = RecvBufferStr(4, FSocksTimeout);
        if (FLastError == 0 && head.size() == 4) {
            std::string addr;
            bool known = true;
            switch (uint8_t(head[3])) {
                case 1:
                    addr = RecvBufferStr(4, FSocksTimeout);
                    if (FLastError == 0) FSocksResponseIP = IPv4BytesToText(addr);
                    break;
                case 3: {
                    uint8_t len = RecvByte(FSocksTimeout);
                    if (FLastError == 0 && len > 0) addr = RecvBufferStr(len, FSocksTimeout);
                    if (FLastError == 0) FSocksResponseIP = IdnDecodeHostName(addr);
                    break;
                }
                case 4:
                    addr = RecvBufferStr(16, FSocksTimeout);
                    if (FLastError == 0) FSocksResponseIP = SocksIPv6Text(addr);
                    break;
                default:
                    known = false;
            }
            if (known && FLastError == 0) {
                std::string port = RecvBufferStr(2, FSocksTimeout);
                if (FLastError == 0 && port.size() == 2) {
                    FSocksResponsePort = IntToDecStrW(BytesBEToWord(port, 1));
                    FSocksLastError = uint8_t(head[1]);
                    ok = head[0] == '\x05' && (FSocksLastError == 0 || FSocksLastError == 90);
                }
            }
        }
    } else {
        std::string reply = RecvBufferStr(8, FSocksTimeout);
        if (FLastError == 0 && reply.size() == 8) {
            FSocksLastError = uint8_t(reply[1]);
            FSocksResponsePort = IntToDecStrW(BytesBEToWord(reply, 3));
            FSocksResponseIP = IPv4BytesToText(reply.substr(4, 4));
            ok = reply[0] == '\0' && (FSocksLastError == 90 || FSocksLastError == 0);
        }
    }
    FBypassFlag = false;
    return ok;
}

// ---- TCP socket -------------------------------------------------------------------------

TTCPBlockSocket::TTCPBlockSocket() : FSSL(std::make_unique<TSSLNone>(this)) {}

TTCPBlockSocket::~TTCPBlockSocket() {
    // The base destructor cannot reach this class's close, so the graceful part runs here.
    CloseSocket();
}

TSocketProxyType TTCPBlockSocket::ProxyRoad() const {
    if (!FSocksIP.empty()) return spt_SocksProxy;
    if (!FHTTPTunnelIP.empty()) return spt_HttpProxy;
    return spt_NoProxy;
}

void TTCPBlockSocket::Connect(std::u16string_view ip, std::u16string_view port) {
    switch (ProxyRoad()) {
        case spt_SocksProxy:
            SocksDoConnect(ip, port);
            break;
        case spt_HttpProxy:
            HTTPTunnelDoConnect(ip, port);
            break;
        default:
            TBlockSocket::Connect(ip, port);
            break;
    }
    if (FLastError == 0 && OnAfterConnect) OnAfterConnect(this);
}

void TTCPBlockSocket::SocksDoConnect(std::u16string_view ip, std::u16string_view port) {
    TBlockSocket::Connect(FSocksIP, FSocksPort);
    if (FLastError == 0) {
        bool ok = SocksOpen();
        if (ok) ok = SocksRequest(1, ip, port);
        if (ok) ok = SocksResponse();
        if (!ok && FLastError == 0) FLastError = plat::kSockErrProxy;
        FSocksLocalIP = FSocksResponseIP;
        FSocksLocalPort = FSocksResponsePort;
        FSocksRemoteIP = ip;
        FSocksRemotePort = port;
    }
    ExceptCheck();
    if (FLastError == 0) DoStatus(HR_Connect, JoinHostPort(ip, port));
}

void TTCPBlockSocket::ForwardProxyStatus(TSocketProxyType road, THookSocketReason reason,
                                         std::u16string_view value, const THookSocketStatus& kept) {
    if (reason == HR_ResolvingBegin || reason == HR_Connect) {
        if (!OnProxyStatus)
            throw Exception("Proxy handlers can not be called on direct connections");
        std::u16string proxy = road == spt_HttpProxy
                                   ? FormatHostPort(FHTTPTunnelIP, FHTTPTunnelPort)
                                   : FormatHostPort(FSocksIP, FSocksPort);
        OnProxyStatus(this, road, reason, proxy);
    } else if (reason == HR_Error) {
        if (OnProxyStatus)
            OnProxyStatus(this, road, HR_Error, value);
        else if (kept)
            kept(this, reason, value);
    }
}

void TTCPBlockSocket::HTTPTunnelDoConnect(std::u16string_view ip, std::u16string_view port) {
    FHTTPTunnel = false;
    {
        THookSocketStatus kept = OnStatus;
        OnStatus = [this, kept](TBlockSocket*, THookSocketReason r, std::u16string_view v) {
            ForwardProxyStatus(spt_HttpProxy, r, v, kept);
        };
        try {
            TBlockSocket::Connect(FHTTPTunnelIP, FHTTPTunnelPort);
        } catch (...) {
            OnStatus = kept;
            throw;
        }
        OnStatus = kept;
    }
    if (FLastError != 0) return;

    std::string asciiHost = IdnEncodeHostName(ip);
    if (asciiHost.empty()) {
        // No ASCII form: nothing else may go to the proxy in its place.
        FLastError = plat::kSockErrProxy;
        ExceptCheck();
        return;
    }
    std::u16string host = ByteStrToUnicode(asciiHost);
    if (IsIPv6Text(host)) host = u"[" + host + u"]";
    std::u16string portText = IntToDecStrW(ResolvePort(port));
    std::u16string hostPort = JoinHostPort(host, portText);
    DoStatus(HR_ResolvingBegin, hostPort);

    std::string request = "CONNECT " + UnicodeToByteStr(hostPort) + " HTTP/1.0\r\n";
    if (!FHTTPTunnelUser.empty()) {
        request += "Proxy-Authorization: Basic " +
                   EncodeBase64A(UnicodeToByteStr(FHTTPTunnelUser) + ":" +
                                 UnicodeToByteStr(FHTTPTunnelPass)) +
                   "\r\n";
    }
    request += "\r\n";
    SendString(request);
    if (FLastError != 0) return;

    const int32_t savedMaxLine = FMaxLineLength;
    FMaxLineLength = kMaxHttpLine;
    std::string status = TrimBlanks(RecvTerminated(FHTTPTunnelTimeout, "\n"));
    if (!status.empty() && status.back() == '\r') status.pop_back();
    status = TrimBlanks(status);
    if (FLastError == plat::kSockErrNoBuffers) FLastError = plat::kSockErrProxy;
    if (FLastError != 0) {
        FMaxLineLength = savedMaxLine;
        ExceptCheck();
        return;
    }
    int code = -1;
    std::string reason;
    if (status.size() > 11 && status.compare(0, 5, "HTTP/") == 0) {
        int32_t v = 0;
        if (TryParseIntA(status.substr(9, 3), v)) code = v;
        if (status.size() > 12) reason = TrimBlanks(status.substr(12));
    }
    if (OnHTTPTunnelConnectAnswer) OnHTTPTunnelConnectAnswer(this, code, reason);
    DoStatus(HR_ResolvingEnd, hostPort);
    if (code < 200 || code > 299) {
        FMaxLineLength = savedMaxLine;
        FLastError = plat::kSockErrConnRefused;
        if (code != 504 && OnProxyStatus)
            OnProxyStatus(this, spt_HttpProxy, HR_Error,
                          FormatSocketError(FLastError, SocketSysErrorText(FLastError)));
        ExceptCheck();
        return;
    }
    for (int lines = 0;; ++lines) {
        if (lines >= kMaxHttpHeaderLines) {
            FLastError = plat::kSockErrProxy;
            break;
        }
        std::string line = RecvTerminated(FHTTPTunnelTimeout, "\n");
        if (FLastError == plat::kSockErrNoBuffers) FLastError = plat::kSockErrProxy;
        if (FLastError != 0) break;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
    }
    FMaxLineLength = savedMaxLine;
    ExceptCheck();
    if (FLastError != 0) return;
    FHTTPTunnel = true;
    FHTTPTunnelRemoteIP = host;
    FHTTPTunnelRemotePort = portText;
    DoStatus(HR_Connect, hostPort);
}

void TTCPBlockSocket::Listen(int backlog) {
    if (FSocksIP.empty()) {
        TBlockSocket::Listen(backlog);
        return;
    }
    std::u16string localIP = TBlockSocket::GetLocalSinIP();
    if (localIP.empty() || localIP == u"0.0.0.0") localIP = LocalName();
    std::u16string localPort = IntToDecStrW(TBlockSocket::GetLocalSinPort());
    TBlockSocket::Connect(FSocksIP, FSocksPort);
    bool ok = FLastError == 0;
    if (ok) ok = SocksOpen();
    if (ok) ok = SocksRequest(2, localIP, localPort);
    if (ok) ok = SocksResponse();
    if (!ok && FLastError == 0) FLastError = plat::kSockErrNoRecovery;
    FSocksLocalIP = FSocksResponseIP;
    if (FSocksLocalIP == u"0.0.0.0") FSocksLocalIP = mResolveName(FSocksIP);
    FSocksLocalPort = FSocksResponsePort;
    FSocksRemoteIP.clear();
    FSocksRemotePort.clear();
    ExceptCheck();
    if (FLastError == 0) DoStatus(HR_Listen, u"");
}

TSocket TTCPBlockSocket::Accept() {
    if (!FUsingSocks) return TBlockSocket::Accept();
    ResetLastError();
    if (!SocksResponse() && FLastError == 0) FLastError = plat::kSockErrNoRecovery;
    FSocksRemoteIP = FSocksResponseIP;
    FSocksRemotePort = FSocksResponsePort;
    ExceptCheck();
    if (FLastError == 0) DoStatus(HR_Accept, u"");
    return FSocket;
}

void TTCPBlockSocket::CloseSocket() {
    if (FSocket != INVALID_SOCKET_HANDLE && FLastError == 0) {
        plat::SockShutdown(FSocket, 1);
        Purge();
    }
    FUsingSocks = false;
    FHTTPTunnel = false;
    TBlockSocket::CloseSocket();
}

std::u16string TTCPBlockSocket::GetLocalSinIP() {
    return FUsingSocks ? FSocksLocalIP : TBlockSocket::GetLocalSinIP();
}

std::u16string TTCPBlockSocket::GetRemoteSinIP() {
    if (FUsingSocks) return FSocksRemoteIP;
    if (FHTTPTunnel) return FHTTPTunnelRemoteIP;
    return TBlockSocket::GetRemoteSinIP();
}

int TTCPBlockSocket::GetLocalSinPort() {
    return FUsingSocks ? PortNumber(FSocksLocalPort) : TBlockSocket::GetLocalSinPort();
}

int TTCPBlockSocket::GetRemoteSinPort() {
    if (FUsingSocks) return PortNumber(FSocksRemotePort);
    if (FHTTPTunnel) return PortNumber(FHTTPTunnelRemotePort);
    return TBlockSocket::GetRemoteSinPort();
}

int TTCPBlockSocket::WaitingData() {
    return FSSL->SSLEnabled() ? FSSL->WaitingData() : TBlockSocket::WaitingData();
}

int TTCPBlockSocket::SendBuffer(const void* buffer, int length) {
    if (FSSL->SSLEnabled()) return FSSL->SendBuffer(buffer, length);
    return TBlockSocket::SendBuffer(buffer, length);
}

int TTCPBlockSocket::RecvBuffer(void* buffer, int length) {
    if (FSSL->SSLEnabled()) return FSSL->RecvBuffer(buffer, length);
    return TBlockSocket::RecvBuffer(buffer, length);
}

std::u16string TTCPBlockSocket::GetErrorDescEx() {
    if (FLastError == plat::kSockErrProxy && FSSL && FSSL->LastError() != 0)
        return FSSL->LastErrorDesc();
    return TBlockSocket::GetErrorDescEx();
}

void TTCPBlockSocket::SSLDoConnect() {
    ResetLastError();
    if (!FSSL->Connect()) FLastError = plat::kSockErrProxy;
    ExceptCheck();
}

void TTCPBlockSocket::SSLAcceptConnection() {
    ResetLastError();
    if (!FSSL->Accept()) FLastError = plat::kSockErrProxy;
    ExceptCheck();
}

void TTCPBlockSocket::SSLDoShutdown() {
    ResetLastError();
    if (!FSSL->Shutdown()) FLastError = plat::kSockErrProxy;
    ExceptCheck();
}

}  // namespace gax
