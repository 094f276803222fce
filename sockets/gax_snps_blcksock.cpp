#include "sockets/gax_snps_blcksock.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <istream>
#include <ostream>

#include "foundation/gax_strutils.h"
#include "foundation/gax_punycode.h"
#include "sockets/gax_snps_utils.h"

namespace gax {

namespace {

constexpr int kMaxPacket = 65536;

std::string LowByteFirst(uint32_t v) {
    return {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
}

uint32_t SwapBytes32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

int PlatformFamily(TSocketFamily f) {
    return f == SF_IP4 ? plat::kAfInet : f == SF_IP6 ? plat::kAfInet6 : plat::kAfUnspec;
}

}  // namespace

TBlockSocket::TBlockSocket() {
    LoadSocketInterface();
}

TBlockSocket::~TBlockSocket() {
    // A subclass has already done its own graceful part; here only the handle goes.
    AbortSocket();
    UnloadSocketInterface();
}

void TBlockSocket::DoStatus(THookSocketReason reason, std::u16string_view value) {
    if (OnStatus) OnStatus(this, reason, value);
}

std::string TBlockSocket::HostForPlatform(std::u16string_view ip) {
    return IdnEncodeHostName(ip);
}

std::u16string TBlockSocket::JoinHostPort(std::u16string_view ip, std::u16string_view port) {
    std::u16string r(ip);
    r += u':';
    r += port;
    return r;
}

// ---- Life cycle -------------------------------------------------------------------------

void TBlockSocket::AssignFamily(TSocketFamily family) {
    FFamily = family;
    FFamilySave = family;
}

void TBlockSocket::AssignSocket(TSocket socket) {
    FRecvCounter = 0;
    FSendCounter = 0;
    FSocket = socket;
    GetSins();
    FIP6used = FRemoteSin.Family() == plat::kAfInet6;
}

void TBlockSocket::CreatePlatformSocket(int family) {
    FStopFlag = false;
    FRecvCounter = 0;
    FSendCounter = 0;
    ResetLastError();
    if (FSocket != INVALID_SOCKET_HANDLE) return;
    ClearLineBuffer();
    FBinded = false;
    FIP6used = family == plat::kAfInet6;
    TSocket s = plat::SockSocket(family, GetSocketType(), GetSocketProtocol());
    if (s == INVALID_SOCKET_HANDLE) {
        FLastError = plat::SockLastError();
    } else {
        FSocket = s;
        FNonBlockMode = false;
        FTcpNoDelay = false;
        if (OnExtSocketCreated) OnExtSocketCreated(this, s);
    }
    ExceptCheck();
    if (FSocket == INVALID_SOCKET_HANDLE) return;
    DoStatus(HR_SocketCreate, FIP6used ? u"IPv6" : u"IPv4");
    ProcessDelayedOptions();
    if (OnCreateSocket) OnCreateSocket(this);
}

void TBlockSocket::CreateSocket() {
    if (FSocket != INVALID_SOCKET_HANDLE) return;
    if (FFamily != SF_Any) CreatePlatformSocket(PlatformFamily(FFamily));
}

void TBlockSocket::CreateSocketByName(std::u16string_view value) {
    TVarSin sin;
    ResolveEndpoint(sin, value, u"0");
    if (FLastError == 0) CreatePlatformSocket(sin.Family());
}

void TBlockSocket::CloseHandleOnly() {
    // Close and forget together: the next socket opened may get the same number.
    if (FSocket != INVALID_SOCKET_HANDLE) SocketCloseAndInvalidate(FSocket);
    FDelayedOptions.clear();
    FFamily = FFamilySave;
    f_AsyncDirectStatus = sads_AsyncDirect_NO;
}

void TBlockSocket::CloseSocket() {
    AbortSocket();
}

void TBlockSocket::AbortSocket() {
    bool had = FSocket != INVALID_SOCKET_HANDLE;
    CloseHandleOnly();
    if (had) DoStatus(HR_SocketClose, u"");
}

// ---- Options ----------------------------------------------------------------------------

void TBlockSocket::DelayedOption(const TSynaOption& option) {
    if (FSocket == INVALID_SOCKET_HANDLE) {
        FDelayedOptions.push_back(option);
    } else {
        SetOption(option);
    }
}

void TBlockSocket::ProcessDelayedOptions() {
    std::vector<TSynaOption> pending;
    pending.swap(FDelayedOptions);
    for (const TSynaOption& o : pending) SetOption(o);
}

void TBlockSocket::SetOption(const TSynaOption& o) {
    const int flag = o.Enabled ? 1 : 0;
    // The IP-level options have one name per family.
    auto byFamily = [this](int v6Name, int v4Name, int value) {
        if (FIP6used)
            plat::SockSetIntOpt(FSocket, plat::kIpProtoIpv6, v6Name, value);
        else
            plat::SockSetIntOpt(FSocket, plat::kIpProtoIp, v4Name, value);
    };
    switch (o.Option) {
        case SOT_Linger:
            plat::SockSetLinger(FSocket, o.Enabled, o.Value / 1000);
            break;
        case SOT_RecvBuff:
            plat::SockSetIntOpt(FSocket, plat::kSolSocket, plat::kSoRcvBuf, o.Value);
            break;
        case SOT_SendBuff:
            plat::SockSetIntOpt(FSocket, plat::kSolSocket, plat::kSoSndBuf, o.Value);
            break;
        case SOT_NonBlock:
            FNonBlockMode = o.Enabled;
            plat::SockSetNonBlocking(FSocket, o.Enabled);
            break;
        case SOT_RecvTimeout:
            plat::SockSetTimeoutMs(FSocket, true, o.Value);
            break;
        case SOT_SendTimeout:
            plat::SockSetTimeoutMs(FSocket, false, o.Value);
            break;
        case SOT_NoDelay:
            FTcpNoDelay = o.Enabled;
            plat::SockSetIntOpt(FSocket, plat::TcpNoDelayLevel(), plat::TcpNoDelayName(), flag);
            break;
        case SOT_Reuse:
            plat::SockSetIntOpt(FSocket, plat::kSolSocket, plat::kSoReuseAddr, flag);
            break;
        case SOT_TTL:
            byFamily(plat::kIpv6UnicastHops, plat::kIpTtl, o.Value);
            break;
        case SOT_Broadcast:
            plat::SockSetIntOpt(FSocket, plat::kSolSocket, plat::kSoBroadcast, flag);
            break;
        case SOT_MulticastTTL:
            byFamily(plat::kIpv6MulticastHops, plat::kIpMulticastTtl, o.Value);
            break;
        case SOT_MulticastLoop:
            byFamily(plat::kIpv6MulticastLoop, plat::kIpMulticastLoop, flag);
            break;
        case SOT_Ip6Only:
            if (FIP6used) plat::SockSetIntOpt(FSocket, plat::kIpProtoIpv6, plat::kIpv6V6Only, flag);
            break;
        case SOT_TOS:
            byFamily(plat::kIpv6TClass, plat::kIpTos, o.Value);
            break;
    }
}

void TBlockSocket::SetLinger(bool enable, int32_t lingerMs) {
    DelayedOption({SOT_Linger, enable, lingerMs});
}
void TBlockSocket::SetRecvTimeout(int32_t ms) {
    DelayedOption({SOT_RecvTimeout, true, ms});
}
void TBlockSocket::SetSendTimeout(int32_t ms) {
    DelayedOption({SOT_SendTimeout, true, ms});
}
void TBlockSocket::SetTimeout(int32_t ms) {
    SetRecvTimeout(ms);
    SetSendTimeout(ms);
}
void TBlockSocket::Reuse(bool value) {
    DelayedOption({SOT_Reuse, value, 0});
}

int32_t TBlockSocket::SizeRecvBuffer() {
    int v = 0;
    if (plat::SockGetIntOpt(FSocket, plat::kSolSocket, plat::kSoRcvBuf, &v) != 0) return 1024;
    return v;
}
void TBlockSocket::SetSizeRecvBuffer(int32_t size) {
    DelayedOption({SOT_RecvBuff, true, size});
}
int32_t TBlockSocket::SizeSendBuffer() {
    int v = 0;
    if (plat::SockGetIntOpt(FSocket, plat::kSolSocket, plat::kSoSndBuf, &v) != 0) return 1024;
    return v;
}
void TBlockSocket::SetSizeSendBuffer(int32_t size) {
    DelayedOption({SOT_SendBuff, true, size});
}
void TBlockSocket::SetNonBlockMode(bool value) {
    DelayedOption({SOT_NonBlock, value, 0});
}
void TBlockSocket::SetTcpNoDelay(bool value) {
    DelayedOption({SOT_NoDelay, value, 0});
}
int32_t TBlockSocket::TTL() {
    int v = 0;
    int rc = FIP6used ? plat::SockGetIntOpt(FSocket, plat::kIpProtoIpv6, plat::kIpv6UnicastHops, &v)
                      : plat::SockGetIntOpt(FSocket, plat::kIpProtoIp, plat::kIpTtl, &v);
    return rc == 0 ? v : 1024;
}
void TBlockSocket::SetTTL(int32_t ttl) {
    DelayedOption({SOT_TTL, true, ttl});
}
void TBlockSocket::SetIp6Only(bool value) {
    DelayedOption({SOT_Ip6Only, value, 0});
}
void TBlockSocket::SetTOS(int32_t tos) {
    DelayedOption({SOT_TOS, true, tos});
}

// ---- Addresses --------------------------------------------------------------------------

void TBlockSocket::ResolveEndpoint(TVarSin& sin, std::u16string_view ip, std::u16string_view port) {
    DoStatus(HR_ResolvingBegin, JoinHostPort(ip, port));
    ResetLastError();
    TSocketFamily f = FFamily;
    if (FSocket == INVALID_SOCKET_HANDLE && f == SF_Any) {
        if (IsIPv4Text(ip))
            f = SF_IP4;
        else if (IsIPv6Text(ip))
            f = SF_IP6;
    }
    if (FSocket != INVALID_SOCKET_HANDLE) f = FIP6used ? SF_IP6 : SF_IP4;
    FLastError = FillSockAddr(sin, HostForPlatform(ip), UnicodeToByteStr(port), FPreferIP4,
                              GetSocketType(), GetSocketProtocol(), PlatformFamily(f));
    DoStatus(HR_ResolvingEnd,
             JoinHostPort(ByteStrToUnicode(SockAddrToIPText(sin)), IntToDecStrW(SockAddrPort(sin))));
}

void TBlockSocket::SetRemoteSin(std::u16string_view ip, std::u16string_view port) {
    ResolveEndpoint(FRemoteSin, ip, port);
}

void TBlockSocket::GetSinLocal() {
    if (FSocket != INVALID_SOCKET_HANDLE) SockGetLocalName(FSocket, FLocalSin);
}
void TBlockSocket::GetSinRemote() {
    if (FSocket != INVALID_SOCKET_HANDLE) SockGetPeerName(FSocket, FRemoteSin);
}
void TBlockSocket::GetSins() {
    GetSinLocal();
    GetSinRemote();
}

std::u16string TBlockSocket::GetLocalSinIP() {
    return IdnDecodeHostName(SockAddrToIPText(FLocalSin));
}
std::u16string TBlockSocket::GetRemoteSinIP() {
    return IdnDecodeHostName(SockAddrToIPText(FRemoteSin));
}
std::string TBlockSocket::GetRemoteSinIPA() {
    return SockAddrToIPText(FRemoteSin);
}
int TBlockSocket::GetLocalSinPort() {
    return SockAddrPort(FLocalSin);
}
int TBlockSocket::GetRemoteSinPort() {
    return SockAddrPort(FRemoteSin);
}

void TBlockSocket::ResolveNameToIPm(std::u16string_view name, std::vector<std::u16string>& list) {
    std::vector<std::string> raw;
    ResolveNameList(HostForPlatform(name), PlatformFamily(FFamily), GetSocketType(),
                    GetSocketProtocol(), raw);
    list.clear();
    for (const std::string& s : raw) list.push_back(ByteStrToUnicode(s));
}

std::u16string TBlockSocket::mResolveName(std::u16string_view name) {
    std::vector<std::u16string> list;
    ResolveNameToIPm(name, list);
    return list.empty() ? std::u16string() : list.front();
}

int TBlockSocket::ResolvePort(std::u16string_view port) {
    return ResolvePortNumber(UnicodeToByteStr(port), PlatformFamily(FFamily), GetSocketType(),
                             GetSocketProtocol());
}

std::u16string TBlockSocket::ResolveIPToName(std::u16string_view ip) {
    return IdnDecodeHostName(ResolveIPName(HostForPlatform(ip), PlatformFamily(FFamily),
                                           GetSocketType(), GetSocketProtocol()));
}

std::u16string TBlockSocket::LocalName() {
    std::string n = SockGetHostName();
    return n.empty() ? std::u16string(u"127.0.0.1") : IdnDecodeHostName(n);
}

// ---- Connections ------------------------------------------------------------------------

void TBlockSocket::Bind(std::u16string_view ip, std::u16string_view port) {
    if (FSocket == INVALID_SOCKET_HANDLE && FFamily == SF_Any &&
        (ip == u"0.0.0.0" || ip == u"::0") && port == u"0")
        return;
    TVarSin sin;
    ResolveEndpoint(sin, ip, port);
    if (FLastError == 0) {
        if (FSocket == INVALID_SOCKET_HANDLE) CreatePlatformSocket(sin.Family());
        if (FLastError == 0) {
            SockCheck(SockBind(FSocket, sin));
            GetSinLocal();
            ClearLineBuffer();
            FBinded = true;
        }
    }
    ExceptCheck();
    if (FLastError == 0) DoStatus(HR_Bind, JoinHostPort(ip, port));
}

void TBlockSocket::Connect(std::u16string_view ip, std::u16string_view port) {
    TVarSin sin;
    ResolveEndpoint(sin, ip, port);
    if (FLastError == 0 && FSocket == INVALID_SOCKET_HANDLE) CreatePlatformSocket(sin.Family());
    if (FLastError == 0 && FSocket != INVALID_SOCKET_HANDLE) {
        if (FConnectionTimeout < 1) {
            SockCheck(SockConnect(FSocket, sin));
        } else {
            const bool wasNonBlocking = FNonBlockMode;
            plat::SockSetNonBlocking(FSocket, true);
            SockCheck(SockConnect(FSocket, sin));
            if (FLastError == plat::kSockErrWouldBlock || FLastError == plat::kSockErrInProgress) {
                ResetLastError();
                if (CanConnect(FConnectionTimeout)) {
                    int code = 0;
                    if (SocketGetPendingError(FSocket, code) == 0) FLastError = code;
                } else if (FLastError == 0) {
                    FLastError = plat::kSockErrTimedOut;
                }
            }
            // Back to the mode the owner chose, whatever happened above.
            plat::SockSetNonBlocking(FSocket, wasNonBlocking);
        }
        if (FLastError == 0) GetSins();
    }
    ClearLineBuffer();
    FLastCR = false;
    FLastLF = false;
    ExceptCheck();
    if (FLastError == 0) DoStatus(HR_Connect, JoinHostPort(ip, port));
}

void TBlockSocket::Listen(int backlog) {
    SockCheck(plat::SockListen(FSocket, backlog));
    GetSins();
    ExceptCheck();
    if (FLastError == 0) DoStatus(HR_Listen, u"");
}

TSocket TBlockSocket::Accept() {
    TVarSin peer;
    TSocket s = SockAccept(FSocket, peer);
    SockCheck(s);
    if (s != INVALID_SOCKET_HANDLE) FRemoteSin = peer;
    ExceptCheck();
    if (FLastError == 0) DoStatus(HR_Accept, u"");
    return s;
}

// ---- Direct asynchronous connect --------------------------------------------------------

TSocketAsyncResult TBlockSocket::ConnectAsyncStart(std::u16string_view ip,
                                                   std::u16string_view port) {
    TVarSin sin;
    ResolveEndpoint(sin, ip, port);
    if (FLastError == 0 && FSocket == INVALID_SOCKET_HANDLE) CreatePlatformSocket(sin.Family());
    if (FLastError == 0 && FSocket != INVALID_SOCKET_HANDLE) {
        if (!FNonBlockMode) throw Exception("Async connect not allowed with blocking mode");
        if (FConnectionTimeout <= 0) {
            FLastError = plat::kSockErrTimedOut;
        } else {
            SockCheck(SockConnect(FSocket, sin));
            if (FLastError == plat::kSockErrWouldBlock || FLastError == plat::kSockErrInProgress) {
                ResetLastError();
                f_AsyncConnectStartTick = GetTick32();
                f_AsyncConnectWaitTicks = TGaxTick32(FConnectionTimeout);
                f_ConnectAsyncWaitFlags = 8;
                f_AsyncDirectStatus = sads_AsyncDirect_Connecting;
                return sar_Wait;
            }
            if (FLastError == 0) GetSins();
        }
    }
    ClearLineBuffer();
    ExceptCheck();
    if (FLastError == 0) {
        DoStatus(HR_Connect, JoinHostPort(ip, port));
        return sar_Ready;
    }
    DoStatus(HR_Error, FormatSocketError(FLastError, SocketSysErrorText(FLastError)));
    return sar_Error;
}

TSocketAsyncResult TBlockSocket::ConnectAsyncProcessForNow() {
    return ConnectAsyncProcessForTick(GetTick32());
}

TSocketAsyncResult TBlockSocket::ConnectAsyncProcessForTick(TGaxTick32 now) {
    if (f_AsyncDirectStatus != sads_AsyncDirect_Connecting)
        throw Exception("Invalid mode for direct async connection");
    if (TickDiff32(f_AsyncConnectStartTick, now) >= uint32_t(FConnectionTimeout)) {
        FLastError = plat::kSockErrTimedOut;
        FLastErrorDesc = GetErrorDescEx();
        return sar_Error;
    }
    int code = 0;
    if (SocketGetPendingError(FSocket, code) != 0) code = plat::SockLastError();
    FLastError = code;
    FLastErrorDesc = GetErrorDescEx();
    f_AsyncDirectStatus = sads_AsyncDirect_NO;
    if (FLastError != 0) return sar_Error;
    GetSins();
    return sar_Ready;
}

TSocketAsyncResult TBlockSocket::ConnectAsyncCheckTimeForNow() {
    return ConnectAsyncCheckTimeForTick(GetTick32());
}

TSocketAsyncResult TBlockSocket::ConnectAsyncCheckTimeForTick(TGaxTick32 now) {
    if (f_AsyncDirectStatus != sads_AsyncDirect_Connecting)
        throw Exception("Invalid mode for direct async connection");
    uint32_t elapsed = TickDiff32(f_AsyncConnectStartTick, now);
    if (elapsed < uint32_t(FConnectionTimeout)) {
        f_AsyncConnectWaitTicks = uint32_t(FConnectionTimeout) - elapsed;
        return sar_Wait;
    }
    FLastError = plat::kSockErrTimedOut;
    FLastErrorDesc = GetErrorDescEx();
    return sar_Error;
}

void TBlockSocket::ConnectAsyncEnd() {
    f_AsyncDirectStatus = sads_AsyncDirect_NO;
}

void TBlockSocket::ConnectAsyncError(int code) {
    f_AsyncDirectStatus = sads_AsyncDirect_NO;
    DoStatus(HR_Error, FormatSocketError(code, SocketSysErrorText(code)));
}

// ---- Transfers --------------------------------------------------------------------------

void TBlockSocket::ThrottleTransfer(bool send, int length) {
    int32_t limit = send ? FMaxSendBandwidth : FMaxRecvBandwidth;
    if (limit <= 0 || FStopFlag) return;
    TGaxTick32& next = send ? FNextSend : FNextRecv;
    TGaxTick32 now = GetTick32();
    int32_t d = int32_t(next - now);
    if (d > 0) {
        DoStatus(HR_Wait, IntToDecStrW(d));
        SleepMs(d % 250);
        for (int i = 0; i < d / 250 && !FStopFlag; ++i) SleepMs(250);
    }
    next = GetTick32() + TGaxTick32(int64_t(length) * 1000 / limit);
}

int TBlockSocket::SendBuffer(const void* buffer, int length) {
    if (FStopFlag) {
        FStopFlag = false;
        FLastError = plat::kSockErrConnAborted;
        ExceptCheck();
        return 0;
    }
    ResetLastError();
    if (length <= 0) return 0;
    if (OnMonitor) OnMonitor(this, true, buffer, size_t(length));
    const char* p = static_cast<const char*>(buffer);
    int total = 0;
    while (total < length && FLastError == 0) {
        int chunk = std::min(length - total, FSendMaxChunk);
        ThrottleTransfer(true, chunk);
        // A non-blocking socket may take part of a chunk; the rest follows as room appears,
        // so the peer never gets a truncated message.
        int done = 0;
        while (done < chunk) {
            long n = SockSend(FSocket, p + total + done, size_t(chunk - done), 0);
            if (n >= 0) {
                done += int(n);
                continue;
            }
            FLastError = plat::SockLastError();
            if (FLastError != plat::kSockErrWouldBlock) break;
            FLastError = 0;
            if (!CanWrite(FNonblockSendTimeout)) {
                if (FLastError == 0) FLastError = plat::kSockErrTimedOut;
                break;
            }
        }
        total += done;
        FSendCounter += done;
        if (done > 0) DoStatus(HR_WriteCount, IntToDecStrW(done));
    }
    ExceptCheck();
    return total;
}

void TBlockSocket::SendByte(uint8_t data) {
    SendBuffer(&data, 1);
}

void TBlockSocket::SendString(std::string_view data) {
    SendBuffer(data.data(), int(data.size()));
}

void TBlockSocket::SendInteger(int32_t data) {
    SendString(LowByteFirst(uint32_t(data)));
}

void TBlockSocket::SendBlock(std::string_view data) {
    std::string s = LowByteFirst(uint32_t(data.size()));
    s.append(data);
    SendString(s);
}

void TBlockSocket::SendStreamChunks(std::istream& stream, bool withSize, bool indy) {
    ResetLastError();
    const std::streampos at = stream.tellg();
    stream.seekg(0, std::ios::end);
    const std::streamoff rest = stream.tellg() - at;
    stream.seekg(at);
    if (!stream || rest < 0 || rest > INT32_MAX) {
        FLastError = plat::kSockErrInvalidArg;
        ExceptCheck();
        return;
    }
    std::string chunk;
    if (withSize) {
        const uint32_t size = uint32_t(rest);
        chunk = LowByteFirst(indy ? SwapBytes32(size) : size);
    }
    std::streamoff left = rest;
    while (FLastError == 0) {
        const size_t head = chunk.size();
        const size_t piece = size_t(std::min<std::streamoff>(left, FSendMaxChunk));
        chunk.resize(head + piece);
        stream.read(chunk.data() + head, std::streamsize(piece));
        const size_t got = size_t(stream.gcount());
        chunk.resize(head + got);
        if (chunk.empty()) break;
        SendBuffer(chunk.data(), int(chunk.size()));
        left -= std::streamoff(got);
        if (left == 0 || got < piece) break;
        chunk.clear();
    }
}

void TBlockSocket::RecvStreamRaw(std::ostream& stream, int timeout) {
    while (true) {
        std::string s = RecvPacket(timeout);
        if (FLastError != 0) break;
        stream.write(s.data(), std::streamsize(s.size()));
    }
}

void TBlockSocket::RecvStreamSize(std::ostream& stream, int timeout, int32_t size) {
    ResetLastError();
    for (int32_t left = size; left > 0 && FLastError == 0;) {
        const int32_t piece = std::min(left, FSendMaxChunk);
        std::string s = RecvBufferStr(piece, timeout);
        stream.write(s.data(), std::streamsize(s.size()));
        left -= int32_t(s.size());
        if (s.empty()) break;
    }
}

void TBlockSocket::RecvStream(std::ostream& stream, int timeout) {
    const int32_t size = RecvInteger(timeout);
    if (FLastError == 0) RecvStreamSize(stream, timeout, size);
}

void TBlockSocket::RecvStreamIndy(std::ostream& stream, int timeout) {
    const int32_t size = int32_t(SwapBytes32(uint32_t(RecvInteger(timeout))));
    if (FLastError == 0) RecvStreamSize(stream, timeout, size);
}

int TBlockSocket::RecvBuffer(void* buffer, int length) {
    if (FStopFlag) {
        FStopFlag = false;
        FLastError = plat::kSockErrConnAborted;
        ExceptCheck();
        return 0;
    }
    ResetLastError();
    ThrottleTransfer(false, length);
    long n = SockRecv(FSocket, buffer, size_t(length < 0 ? 0 : length), 0);
    if (n == 0 && length > 0) {
        FLastError = plat::kSockErrConnReset;  // the peer closed
    } else if (n < 0) {
        FLastError = plat::SockLastError();
        n = 0;
    }
    ExceptCheck();
    if (n > 0) {
        FRecvCounter += int32_t(n);
        DoStatus(HR_ReadCount, IntToDecStrW(n));
        if (OnMonitor) OnMonitor(this, false, buffer, size_t(n));
        if (OnReadFilter) {
            std::string data(static_cast<const char*>(buffer), size_t(n));
            OnReadFilter(this, data);
            if (data.size() < size_t(n)) n = long(data.size());
            std::memcpy(buffer, data.data(), size_t(n));
        }
    }
    return int(n);
}

int TBlockSocket::WaitingData() {
    long n = plat::SockBytesAvailable(FSocket);
    if (n < 0) return 0;
    return int(std::min<long>(n, kMaxPacket));
}

int TBlockSocket::WaitingDataEx() {
    return Buffered().empty() ? WaitingData() : int(Buffered().size());
}

void TBlockSocket::ConsumeBuffered(size_t n) {
    FBufferPos += n;
    if (FBufferPos >= FBuffer.size()) ClearLineBuffer();
}

void TBlockSocket::DropConsumed() const {
    if (FBufferPos == 0) return;
    FBuffer.erase(0, FBufferPos);
    FBufferPos = 0;
}

void TBlockSocket::ReceiveIntoLineBuffer(int timeout) {
    SleepMs(0);
    int x = WaitingData();
    bool ready = x > 0 || CanRead(timeout);
    if (ready) {
        if (x == 0) x = WaitingData();
        // With nothing announced, one read still tells a close (0 bytes) from an error.
        const size_t at = FBuffer.size();
        FBuffer.resize(at + size_t(x > 0 ? x : 1024));
        int n = RecvBuffer(FBuffer.data() + at, int(FBuffer.size() - at));
        FBuffer.resize(at + size_t(n > 0 ? n : 0));
    } else if (FLastError == 0) {
        FLastError = plat::kSockErrTimedOut;
    }
}

void TBlockSocket::FetchPacket(int timeout, bool more) {
    ResetLastError();
    size_t from = FBufferPos;
    if (more || Buffered().empty()) {
        DropConsumed();
        from = FBuffer.size();
        ReceiveIntoLineBuffer(timeout);
    }
    if (FConvertLineEnd && from < FBuffer.size()) {
        const char c = FBuffer[from];
        if ((FLastCR && c == '\n') || (FLastLF && c == '\r')) {
            if (from == FBufferPos)
                ConsumeBuffered(1);
            else
                FBuffer.erase(from, 1);
        }
        FLastCR = false;
        FLastLF = false;
    }
    ExceptCheck();
}

std::string TBlockSocket::RecvPacket(int timeout) {
    FetchPacket(timeout, false);
    std::string data;
    if (FBufferPos == 0)
        data.swap(FBuffer);
    else
        data.assign(Buffered());
    ClearLineBuffer();
    return data;
}

int TBlockSocket::RecvBufferEx(void* buffer, int length, int timeout) {
    ResetLastError();
    if (length <= 0) return 0;
    char* out = static_cast<char*>(buffer);
    int got = 0;
    TGaxTick32 start = GetTick32();
    while (got < length) {
        int t;
        if (!NextPacketWait(timeout, start, t)) break;
        FetchPacket(t, false);
        if (FLastError != 0) break;
        std::string_view p = Buffered();
        int take = std::min<int>(length - got, int(p.size()));
        std::memcpy(out + got, p.data(), size_t(take));
        got += take;
        ConsumeBuffered(size_t(take));
    }
    ExceptCheck();
    return got;
}

bool TBlockSocket::NextPacketWait(int timeout, TGaxTick32 start, int& wait) {
    wait = timeout;
    if (FInterPacketTimeout || timeout < 0) return true;
    const int64_t left = int64_t(timeout) - int64_t(TickDiff32(start, GetTick32()));
    if (left <= 0) {
        FLastError = plat::kSockErrTimedOut;
        return false;
    }
    wait = int(left);
    return true;
}

std::string TBlockSocket::RecvBufferStr(int length, int timeout) {
    std::string s(size_t(length > 0 ? length : 0), '\0');
    int n = RecvBufferEx(s.data(), length, timeout);
    if (FLastError != 0) return {};
    s.resize(size_t(n));
    return s;
}

uint8_t TBlockSocket::RecvByte(int timeout) {
    ResetLastError();
    if (Buffered().empty()) FetchPacket(timeout, false);
    if (FLastError != 0 || Buffered().empty()) return 0;
    uint8_t b = uint8_t(Buffered()[0]);
    ConsumeBuffered(1);
    return b;
}

int32_t TBlockSocket::RecvInteger(int timeout) {
    std::string s = RecvBufferStr(4, timeout);
    if (s.size() != 4) return 0;
    return int32_t(uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 |
                   uint32_t(uint8_t(s[2])) << 16 | uint32_t(uint8_t(s[3])) << 24);
}

std::string TBlockSocket::RecvTerminated(int timeout, std::string_view terminator) {
    ResetLastError();
    if (terminator.empty()) return {};
    const bool anyLineEnd = FConvertLineEnd && terminator == "\r\n";
    // The pending text is the buffered rest itself; every byte of it is searched once.
    size_t searched = 0;
    long pos = -1;
    size_t termLen = terminator.size();
    TGaxTick32 start = GetTick32();
    for (bool more = false;; more = true) {
        int t;
        if (!NextPacketWait(timeout, start, t)) break;
        FetchPacket(t, more);
        if (FLastError != 0) break;
        std::string_view pending = Buffered();
        if (anyLineEnd) {
            // Any CR or LF ends the search, so the bytes searched before hold none.
            std::string term;
            long p = FindLineEnd(pending.substr(searched), term);
            pos = p < 0 ? -1 : long(searched) + p;
            termLen = term.size();
            if (pos >= 0 && termLen == 1 && size_t(pos) + 1 == pending.size()) {
                // The pair may be completed by the next packet; drop its other half there.
                FLastCR = term[0] == '\r';
                FLastLF = term[0] == '\n';
            }
        } else {
            // A terminator may straddle the end of what was searched before.
            size_t from = searched >= termLen ? searched - termLen + 1 : 0;
            size_t p = pending.find(terminator, from);
            pos = p == std::string::npos ? -1 : long(p);
        }
        searched = pending.size();
        long lineLen = pos >= 0 ? pos : long(pending.size());
        if (FMaxLineLength > 0 && lineLen > FMaxLineLength) {
            FLastError = plat::kSockErrNoBuffers;
            pos = -1;
            break;
        }
        if (pos >= 0) break;
    }
    // Whatever comes after the line (or everything, on failure) waits for the next call.
    std::string line;
    if (pos >= 0) {
        line.assign(Buffered().substr(0, size_t(pos)));
        ConsumeBuffered(size_t(pos) + termLen);
    }
    ExceptCheck();
    return line;
}

std::string TBlockSocket::RecvString(int timeout) {
    std::string s = RecvTerminated(timeout, "\r\n");
    return FLastError != 0 ? std::string() : s;
}

std::string TBlockSocket::RecvBlock(int timeout) {
    int32_t len = RecvInteger(timeout);
    if (FLastError != 0 || len <= 0) return {};
    return RecvBufferStr(len, timeout);
}

int TBlockSocket::PeekBuffer(void* buffer, int length) {
    ResetLastError();
    long n = SockRecv(FSocket, buffer, size_t(length < 0 ? 0 : length), plat::kMsgPeek);
    if (n < 0) {
        FLastError = plat::SockLastError();
        n = 0;
    }
    ExceptCheck();
    return int(n);
}

uint8_t TBlockSocket::PeekByte(int timeout) {
    uint8_t b = 0;
    if (CanRead(timeout)) {
        PeekBuffer(&b, 1);
    } else if (FLastError == 0) {
        FLastError = plat::kSockErrTimedOut;
        ExceptCheck();
    }
    return b;
}

int TBlockSocket::SendBufferTo(const void* buffer, int length) {
    ResetLastError();
    ThrottleTransfer(true, length);
    long n = SockSendTo(FSocket, buffer, size_t(length < 0 ? 0 : length), 0, FRemoteSin);
    if (n < 0) {
        FLastError = plat::SockLastError();
        n = 0;
    }
    FSendCounter += int32_t(n);
    ExceptCheck();
    return int(n);
}

int TBlockSocket::RecvBufferFrom(void* buffer, int length) {
    ResetLastError();
    ThrottleTransfer(false, length);
    long n = SockRecvFrom(FSocket, buffer, size_t(length < 0 ? 0 : length), 0, FRemoteSin);
    if (n < 0) {
        FLastError = plat::SockLastError();
        n = 0;
    }
    FRecvCounter += int32_t(n);
    ExceptCheck();
    return int(n);
}

void TBlockSocket::Purge() {
    SleepMs(1);
    ClearLineBuffer();
    ResetLastError();
    while (FLastError == 0 && FSocket != INVALID_SOCKET_HANDLE) {
        if (WaitingData() <= 0) break;
        RecvPacket(0);
    }
    ResetLastError();
}

// ---- Waiting ----------------------------------------------------------------------------

bool TBlockSocket::WaitReady(bool forWrite, int timeout) {
    if (FSocket == INVALID_SOCKET_HANDLE) {
        FLastError = plat::kSockErrNotSocket;
        return false;
    }
    plat::SockSet set;
    set.Add(FSocket);
    int r = plat::SockSelect(forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr,
                             timeout < 0 ? -1 : timeout);
    if (r < 0) {
        FLastError = plat::SockLastError();
        return false;
    }
    return r > 0;
}

bool TBlockSocket::ExtWait(const THookExtWaitFor& hook, int timeout) {
    ResetLastError();
    int err = 0;
    bool ready = hook(this, uint32_t(timeout), err);
    FLastError = err;
    return ready;
}

bool TBlockSocket::CanReadOnce(int timeout) {
    if (OnExtCanRead) return ExtWait(OnExtCanRead, timeout);
    return WaitReady(false, timeout);
}

bool TBlockSocket::CanRead(int timeout) {
    ResetLastError();
    bool ready;
    if (FHeartbeatRate > 0 && timeout >= 0) {
        ready = CanReadOnce(timeout % FHeartbeatRate);
        for (int i = 0; !ready && FLastError == 0 && i < timeout / FHeartbeatRate + 1; ++i) {
            if (OnHeartbeat) OnHeartbeat(this);
            if (FStopFlag) {
                FStopFlag = false;
                break;
            }
            ready = CanReadOnce(FHeartbeatRate);
        }
    } else {
        ready = CanReadOnce(timeout);
        if (!ready && FLastError == 0) ready = CanReadOnce(0);
    }
    ExceptCheck();
    if (ready) DoStatus(HR_CanRead, u"");
    return ready;
}

bool TBlockSocket::CanReadEx(int timeout) {
    if (!Buffered().empty()) return true;
    return CanRead(timeout);
}

bool TBlockSocket::CanWrite(int timeout) {
    ResetLastError();
    bool ready = OnExtCanWrite ? ExtWait(OnExtCanWrite, timeout) : WaitReady(true, timeout);
    if (ready) DoStatus(HR_CanWrite, u"");
    return ready;
}

bool TBlockSocket::CanConnect(int timeout) {
    ResetLastError();
    bool ready;
    if (OnExtCanConnect) {
        ready = ExtWait(OnExtCanConnect, timeout);
        if (!ready) FLastErrorDesc = GetErrorDescEx();
    } else {
        ready = WaitReady(true, timeout);
    }
    if (ready) DoStatus(HR_CanWrite, u"");
    return ready;
}

bool TBlockSocket::GroupCanRead(const std::vector<TBlockSocket*>& list, int timeout,
                                std::vector<TBlockSocket*>& canReadList) {
    canReadList.clear();
    plat::SockSet set;
    for (TBlockSocket* s : list)
        if (s && s->FSocket != INVALID_SOCKET_HANDLE) set.Add(s->FSocket);
    if (set.count == 0) return false;
    int r = plat::SockSelect(&set, nullptr, nullptr, timeout < 0 ? -1 : timeout);
    if (r <= 0) return false;
    for (TBlockSocket* s : list)
        if (s && s->FSocket != INVALID_SOCKET_HANDLE && set.Has(s->FSocket))
            canReadList.push_back(s);
    return !canReadList.empty();
}

// ---- Errors -----------------------------------------------------------------------------

int TBlockSocket::SockCheck(long sockResult) {
    ResetLastError();
    if (sockResult == -1) {
        FLastError = plat::SockLastError();
        FLastErrorDesc = GetErrorDescEx();
    }
    return FLastError;
}

void TBlockSocket::ExceptCheck() {
    FLastErrorDesc = GetErrorDescEx();
    int code = FLastError;
    if (code == 0 || code == plat::kSockErrWouldBlock || code == plat::kSockErrInProgress) return;
    std::u16string text = SocketSysErrorText(code);
    DoStatus(HR_Error, FormatSocketError(code, text));
    if (FRaiseExcept) throw ESynapseError(FormatSocketSysError(code), code, text);
}

std::u16string TBlockSocket::GetErrorDescEx() {
    return SocketSysErrorText(FLastError);
}

void TBlockSocket::ResetLastError() {
    FLastError = 0;
    FLastErrorDesc.clear();
}

}  // namespace gax
