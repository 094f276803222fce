#include "sockets/gax_snps_sockets.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"
#include "platform/plat_process.h"
#include "sockets/gax_snps_utils.h"

namespace gax {

namespace {

struct Binding {
    plat::Mutex lock;
    int useCount GAX_GUARDED_BY(lock) = 0;
    int startupCount GAX_GUARDED_BY(lock) = 0;
};

Binding& TheBinding() {
    static Binding b;
    return b;
}

// A port text that is a plain decimal number of 0..65535; -1 otherwise.
int DecimalPort(std::string_view port) {
    if (port.empty() || port.size() > 5) return -1;
    int v = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v <= 65535 ? v : -1;
}

int PortFromText(std::string_view port, int family, int sockType, int protocol, uint16_t* out) {
    int p = DecimalPort(port);
    if (p >= 0 || port.empty()) {
        *out = uint16_t(p < 0 ? 0 : p);
        return 0;
    }
    const plat::SockAddrInfoHint h{
        .family = family, .socktype = sockType, .protocol = protocol, .passive = true};
    std::vector<plat::SockAddr> res;
    std::string svc(port);
    int rc = plat::SockGetAddrInfo(nullptr, svc.c_str(), h, &res);
    if (rc != 0) return rc;
    *out = res.front().Port();
    return 0;
}

// One lookup; the first result is copied into addr.
int GetAddrInfoFirst(TVarSin& addr, std::string_view host, std::string_view port, int sockType,
                     int protocol, int family) {
    plat::SockAddrInfoHint h{.family = family, .socktype = sockType, .protocol = protocol};
    std::string hostZ(host), portZ(port);
    const char* hp = hostZ.c_str();
    const char* sp = port.empty() ? nullptr : portZ.c_str();
    if (sockType == plat::kSockRaw) {
        h = plat::SockAddrInfoHint{};
        sp = nullptr;
    } else if (host == "0.0.0.0" || host == "::0") {
        hp = nullptr;
        h.passive = true;
        if (!sp) sp = "0";
    } else if (host == "127.0.0.1" || host == "::1") {
        hp = nullptr;
        if (!sp) sp = "0";
    }
    std::vector<plat::SockAddr> res;
    int rc = plat::SockGetAddrInfo(hp, sp, h, &res);
    if (rc == 0) addr = res.front();
    return rc;
}

}  // namespace

bool LoadSocketInterface(std::u16string_view /*libName*/) {
    plat::ProcessStartup();
    Binding& b = TheBinding();
    plat::MutexLock l(b.lock);
    ++b.useCount;
    return true;
}

bool UnloadSocketInterface() {
    Binding& b = TheBinding();
    plat::MutexLock l(b.lock);
    if (b.useCount > 0) --b.useCount;
    return true;
}

int SocketInterfaceUseCount() {
    Binding& b = TheBinding();
    plat::MutexLock l(b.lock);
    return b.useCount;
}

bool AddrInfoApiFor(int /*family*/) {
    return true;
}

plat::Mutex& SocketBindingLock() {
    return TheBinding().lock;
}

void WinsockStartup() {
    plat::ProcessStartup();
    Binding& b = TheBinding();
    plat::MutexLock l(b.lock);
    ++b.startupCount;
}

void WinsockCleanup() {
    Binding& b = TheBinding();
    plat::MutexLock l(b.lock);
    if (b.startupCount > 0) --b.startupCount;
}

const std::string& IPv6AnyAddress() {
    static const std::string any(16, '\0');
    return any;
}

const std::string& IPv6LoopbackAddress() {
    static const std::string loop = std::string(15, '\0') + '\1';
    return loop;
}

int FillSockAddr(TVarSin& addr, std::string_view host, std::string_view port, bool preferIPv4,
                 int sockType, int protocol, int family) {
    addr.Clear();
    if (sockType != plat::kSockRaw) {
        // A dotted IPv4 text is read here in decimal: the resolver would take "010" as
        // octal and connect somewhere else.
        if ((family == plat::kAfUnspec || family == plat::kAfInet) && IsIPv4Text(host)) {
            uint16_t p = 0;
            int rc = PortFromText(port, plat::kAfInet, sockType, protocol, &p);
            if (rc != 0) return rc;
            std::string bytes = IPv4TextToBytes(host);
            addr.sin.sin_family = plat::kAfInet;
            std::memcpy(&addr.sin.sin_addr, bytes.data(), 4);
            addr.SetPort(p);
            return 0;
        }
        // An IPv6 text has one family; trying IPv4 first would turn "::1" into 127.0.0.1.
        if (family == plat::kAfUnspec && IsIPv6Text(host)) family = plat::kAfInet6;
    }
    if (family != plat::kAfUnspec)
        return GetAddrInfoFirst(addr, host, port, sockType, protocol, family);
    int first = preferIPv4 ? plat::kAfInet : plat::kAfInet6;
    int second = preferIPv4 ? plat::kAfInet6 : plat::kAfInet;
    int rc = GetAddrInfoFirst(addr, host, port, sockType, protocol, first);
    if (rc == 0) return 0;
    addr.Clear();
    rc = GetAddrInfoFirst(addr, host, port, sockType, protocol, second);
    if (rc != 0) addr.Clear();
    return rc;
}

std::string StripIPv6GroupZeros(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t zone = text.find('%');
    std::string_view addr = text.substr(0, zone);
    size_t i = 0;
    while (i <= addr.size()) {
        size_t colon = addr.find(':', i);
        size_t end = colon == addr.npos ? addr.size() : colon;
        std::string_view g = addr.substr(i, end - i);
        if (g.find('.') == g.npos) {
            while (g.size() > 1 && g.front() == '0') g.remove_prefix(1);
        }
        out.append(g);
        if (colon == addr.npos) break;
        out.push_back(':');
        i = colon + 1;
    }
    if (zone != text.npos) out.append(text.substr(zone));
    return out;
}

std::string SockAddrToIPText(const TVarSin& addr) {
    std::string host;
    if (plat::SockGetNameInfo(addr, true, false, &host, nullptr) != 0) return {};
    if (host.find(':') != host.npos) return StripIPv6GroupZeros(host);
    return host;
}

void ResolveNameList(std::string_view name, int family, int sockType, int protocol,
                     std::vector<std::string>& list) {
    list.clear();
    const plat::SockAddrInfoHint h{.socktype = sockType, .protocol = protocol};
    std::string nameZ(name);
    std::vector<plat::SockAddr> res;
    if (plat::SockGetAddrInfo(nameZ.c_str(), nullptr, h, &res) == 0) {
        for (const plat::SockAddr& a : res) {
            if (family == plat::kAfInet && a.Family() != plat::kAfInet) continue;
            if (family == plat::kAfInet6 && a.Family() != plat::kAfInet6) continue;
            std::string text = SockAddrToIPText(a);
            if (!text.empty()) list.push_back(std::move(text));
        }
    }
    if (list.empty()) list.push_back("0.0.0.0");
}

int ResolvePortNumber(std::string_view port, int family, int sockType, int protocol) {
    uint16_t p = 0;
    if (PortFromText(port, family, sockType, protocol, &p) != 0) return 0;
    return p;
}

std::string ResolveIPName(std::string_view address, int family, int sockType, int protocol) {
    const plat::SockAddrInfoHint h{.family = family, .socktype = sockType, .protocol = protocol};
    std::string addrZ(address);
    std::vector<plat::SockAddr> res;
    if (plat::SockGetAddrInfo(addrZ.c_str(), nullptr, h, &res) == 0) {
        std::string name;
        if (plat::SockGetNameInfo(res.front(), false, true, &name, nullptr) == 0 && !name.empty())
            return name;
    }
    return addrZ;
}

int SocketRecvNonBlocking(TSocket s, void* buf, size_t size, size_t& count, int flags) {
    count = 0;
    // A zero-byte recv here returns 0 while data waits, which would read as "peer closed".
    if (size == 0) return plat::SockProbePeerGone(s);
    long n = plat::SockRecv(s, buf, size, flags | plat::kMsgDontWait);
    if (n > 0) {
        count = size_t(n);
        return 0;
    }
    if (n == 0) return plat::kSockErrConnReset;
    int code = plat::SockLastError();
    if (code == plat::kSockErrWouldBlock || code == plat::kSockErrInProgress) return 0;
    return code;
}

int SocketSendNonBlocking(TSocket s, const void* data, size_t len, size_t& sent, int flags) {
    sent = 0;
    if (len == 0) return 0;
    long n = plat::SockSend(s, data, len, flags | plat::kMsgDontWait);
    if (n >= 0) {
        sent = size_t(n);
        return 0;
    }
    int code = plat::SockLastError();
    return code == plat::kSockErrWouldBlock ? 0 : code;
}

int SocketSendVNonBlocking(TSocket s, const plat::SockIoPiece* pieces, size_t count, size_t& sent) {
    sent = 0;
    if (count == 0) return 0;
    long n = plat::SockSendV(s, pieces, count, plat::kMsgDontWait);
    if (n >= 0) {
        sent = size_t(n);
        return 0;
    }
    int code = plat::SockLastError();
    return code == plat::kSockErrWouldBlock ? 0 : code;
}

int SocketSetNonBlocking(TSocket s) {
    return plat::SockSetNonBlocking(s, true) == 0 ? 0 : plat::SockLastError();
}

void SocketSetNoDelay(TSocket s, bool flag) {
    (void)plat::SockSetIntOpt(s, plat::TcpNoDelayLevel(), plat::TcpNoDelayName(), flag ? 1 : 0);
}

int SocketGetPendingError(TSocket s, int& code) {
    return plat::SockGetPendingError(s, &code) == 0 ? 0 : plat::SockLastError();
}

int SocketSetLinger(TSocket, bool, int) {
    return 0;
}

void SocketSetReuseAddr(TSocket s, bool flag) {
    (void)plat::SockSetIntOpt(s, plat::kSolSocket, plat::kSoReuseAddr, flag ? 1 : 0);
}

// Reuse is a bind-time matter here, so closing needs no option first.
void SocketCloseHandle(TSocket s) {
    if (s != INVALID_SOCKET_HANDLE) (void)plat::SockClose(s);
}

int SocketCloseAndInvalidate(TSocket& s) {
    if (s == INVALID_SOCKET_HANDLE) return 0;
    TSocket h = s;
    s = INVALID_SOCKET_HANDLE;
    return plat::SockClose(h) == 0 ? 0 : plat::SockLastError();
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms < 0 ? 0 : ms));
}

std::u16string FormatSocketError(int code, std::u16string_view text) {
    std::u16string r = u"Socket error (";
    r += IntToDecStrW(code);
    r += u"): ";
    r += text;
    return r;
}

std::u16string SocketSysErrorText(int code) {
    return ErrorText(GetErrorDesc(code));
}

std::u16string FormatSocketSysError(int code) {
    return FormatSocketError(code, SocketSysErrorText(code));
}

std::u16string GetErrorDesc(int code) {
    switch (code) {
        case 0:
            return {};
        case 10004:
            return u"Interrupted system call";
        case 10009:
            return u"Bad file descriptor";
        case 10013:
            return u"Permission denied";
        case 10014:
            return u"Bad address";
        case 10022:
            return u"Invalid argument";
        case 10024:
            return u"Too many open files";
        case 10035:
            return u"Operation would block";
        case 10036:
            return u"Operation now in progress";
        case 10037:
            return u"Operation already in progress";
        case 10038:
            return u"Socket operation on nonsocket";
        case 10039:
            return u"Destination address required";
        case 10040:
            return u"Message too long";
        case 10041:
            return u"Protocol wrong type for Socket";
        case 10042:
            return u"Protocol not available";
        case 10043:
            return u"Protocol not supported";
        case 10044:
            return u"Socket not supported";
        case 10045:
            return u"Operation not supported on Socket";
        case 10046:
            return u"Protocol family not supported";
        case 10047:
            return u"Address family not supported";
        case 10048:
            return u"Address already in use";
        case 10049:
            return u"Can't assign requested address";
        case 10050:
            return u"Network is down";
        case 10051:
            return u"Network is unreachable";
        case 10052:
            return u"Network dropped connection on reset";
        case 10053:
            return u"Software caused connection abort";
        case 10054:
            return u"Connection reset by peer";
        case 10055:
            return u"No Buffer space available";
        case 10056:
            return u"Socket is already connected";
        case 10057:
            return u"Socket is not connected";
        case 10058:
            return u"Can't send after Socket shutdown";
        case 10059:
            return u"Too many references:can't splice";
        case 10060:
            return u"Connection timed out";
        case 10061:
            return u"Connection refused";
        case 10062:
            return u"Too many levels of symbolic links";
        case 10063:
            return u"File name is too long";
        case 10064:
            return u"Host is down";
        case 10065:
            return u"No route to host";
        case 10066:
            return u"Directory is not empty";
        case 10067:
            return u"Too many processes";
        case 10068:
            return u"Too many users";
        case 10069:
            return u"Disk quota exceeded";
        case 10070:
            return u"Stale NFS file handle";
        case 10071:
            return u"Too many levels of remote in path";
        case 10091:
            return u"Network subsystem is unusable";
        case 10092:
            return u"Winsock DLL cannot support this application";
        case 10093:
            return u"Winsock not initialized";
        case 10101:
            return u"Disconnect";
        case 11001:
            return u"Host not found";
        case 11002:
            return u"Non authoritative - host not found";
        case 11003:
            return u"Non recoverable error";
        case 11004:
            return u"Valid name, no data record of requested type";
        default:
            return u"Other socket error (" + IntToDecStrW(code) + u")";
    }
}

}  // namespace gax
