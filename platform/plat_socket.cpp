#include "platform/plat_socket.h"

#include "platform/plat_event.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace plat {

namespace {

thread_local int t_LastError = 0;

// Records the mapped errno of a failing call; never leaves 0 behind a failure.
int Fail() {
    int code = SockErrorFromErrno(errno);
    if (code == 0) code = kSockErrInvalidArg;
    t_LastError = code;
    return -1;
}

}  // namespace

int SockErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return 0;
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EACCES:
        case EPERM:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
        case ENFILE:
            return 10024;
        case EAGAIN:
            return 10035;
        case EINPROGRESS:
            return 10036;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case ESOCKTNOSUPPORT:
            return 10044;
        case EOPNOTSUPP:
            return 10045;
        case EPFNOSUPPORT:
            return 10046;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
        case EPIPE:
            return 10054;
        case ENOBUFS:
        case ENOMEM:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case ESHUTDOWN:
            return 10058;
        case ETOOMANYREFS:
            return 10059;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
        case ELOOP:
            return 10062;
        case ENAMETOOLONG:
            return 10063;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        case ENOTEMPTY:
            return 10066;
        case EUSERS:
            return 10068;
        case EDQUOT:
            return 10069;
        case ESTALE:
            return 10070;
        case EREMOTE:
            return 10071;
        default:
            return err;  // shown as "Other socket error (n)"
    }
}

int SockErrorFromAddrInfo(int gaiResult, int sysErrno) {
    switch (gaiResult) {
        case 0:
            return 0;
        case EAI_NONAME:
            return 11001;
        case EAI_AGAIN:
            return 11002;
        case EAI_FAIL:
            return 11003;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return 11004;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return 11004;
#endif
        case EAI_SERVICE:
            return 10109;
        case EAI_FAMILY:
            return 10047;
        case EAI_MEMORY:
            return 10055;
        case EAI_SOCKTYPE:
            return 10044;
        case EAI_BADFLAGS:
            return 10022;
        case EAI_OVERFLOW:
            return 10014;
        case EAI_SYSTEM: {
            int code = SockErrorFromErrno(sysErrno);
            return code != 0 ? code : 11003;
        }
        default:
            return 11003;
    }
}

bool SockAcceptErrorIsTransient(int code) {
    switch (code) {
        case 10004:  // interrupted
        case 10013:  // refused by a filter
        case 10042:
        case 10045:
        case 10050:
        case 10051:
        case 10052:
        case 10053:
        case 10054:
        case 10060:
        case 10064:
        case 10065:
        case EPROTO:
        case ENONET:
            return true;
        default:
            return false;
    }
}

bool SockAcceptErrorIsResource(int code) {
    return code == 10024 || code == 10055;
}

int SockLastError() {
    return t_LastError;
}

void SockAddr::Clear() {
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

int SockAddr::Size() const {
    switch (sa.sa_family) {
        case AF_INET:
            return sizeof(sockaddr_in);
        case AF_INET6:
            return sizeof(sockaddr_in6);
        default:
            return 0;
    }
}

uint16_t SockAddr::Port() const {
    switch (sa.sa_family) {
        case AF_INET:
            return ntohs(sin.sin_port);
        case AF_INET6:
            return ntohs(sin6.sin6_port);
        default:
            return 0;
    }
}

void SockAddr::SetPort(uint16_t port) {
    if (sa.sa_family == AF_INET) sin.sin_port = htons(port);
    if (sa.sa_family == AF_INET6) sin6.sin6_port = htons(port);
}

SocketHandle SockSocket(int family, int type, int protocol) {
    int s = ::socket(family, type | SOCK_CLOEXEC, protocol);
    return s < 0 ? Fail() : s;
}

int SockClose(SocketHandle s) {
    // The descriptor is gone even when close reports EINTR; never retry it.
    return ::close(s) == 0 ? 0 : Fail();
}

int SockShutdown(SocketHandle s, int how) {
    int h = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(s, h) == 0 ? 0 : Fail();
}

int SockBind(SocketHandle s, const SockAddr& addr) {
    return ::bind(s, &addr.sa, static_cast<socklen_t>(addr.Size())) == 0 ? 0 : Fail();
}

int SockConnect(SocketHandle s, const SockAddr& addr) {
    return ::connect(s, &addr.sa, static_cast<socklen_t>(addr.Size())) == 0 ? 0 : Fail();
}

int SockListen(SocketHandle s, int backlog) {
    return ::listen(s, backlog) == 0 ? 0 : Fail();
}

SocketHandle SockAccept(SocketHandle s, SockAddr* peer) {
    SockAddr tmp;
    socklen_t len = sizeof(SockAddr);
    int a = ::accept4(s, &tmp.sa, &len, SOCK_CLOEXEC);
    if (a < 0) return Fail();
    if (peer) *peer = tmp;
    return a;
}

int SockGetLocalName(SocketHandle s, SockAddr* addr) {
    addr->Clear();
    socklen_t len = sizeof(SockAddr);
    return ::getsockname(s, &addr->sa, &len) == 0 ? 0 : Fail();
}

int SockGetPeerName(SocketHandle s, SockAddr* addr) {
    addr->Clear();
    socklen_t len = sizeof(SockAddr);
    return ::getpeername(s, &addr->sa, &len) == 0 ? 0 : Fail();
}

long SockSend(SocketHandle s, const void* buf, size_t len, int flags) {
    ssize_t n = ::send(s, buf, len, flags | MSG_NOSIGNAL);
    return n < 0 ? Fail() : static_cast<long>(n);
}

long SockSendV(SocketHandle s, const SockIoPiece* pieces, size_t count, int flags) {
    iovec iov[kSockMaxPieces];
    const size_t n = std::min(count, kSockMaxPieces);
    for (size_t i = 0; i < n; ++i) {
        iov[i].iov_base = const_cast<void*>(pieces[i].Data);
        iov[i].iov_len = pieces[i].Len;
    }
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = n;
    ssize_t r = ::sendmsg(s, &m, flags | MSG_NOSIGNAL);
    return r < 0 ? Fail() : static_cast<long>(r);
}

long SockRecv(SocketHandle s, void* buf, size_t len, int flags) {
    ssize_t n = ::recv(s, buf, len, flags);
    return n < 0 ? Fail() : static_cast<long>(n);
}

long SockSendTo(SocketHandle s, const void* buf, size_t len, int flags, const SockAddr& to) {
    ssize_t n =
        ::sendto(s, buf, len, flags | MSG_NOSIGNAL, &to.sa, static_cast<socklen_t>(to.Size()));
    return n < 0 ? Fail() : static_cast<long>(n);
}

long SockRecvFrom(SocketHandle s, void* buf, size_t len, int flags, SockAddr* from) {
    SockAddr tmp;
    socklen_t alen = sizeof(SockAddr);
    ssize_t n = ::recvfrom(s, buf, len, flags, &tmp.sa, &alen);
    if (n < 0) return Fail();
    if (from) *from = tmp;
    return static_cast<long>(n);
}

int SockProbePeerGone(SocketHandle s) {
    // poll skips a negative descriptor, which would pass for a healthy, idle socket.
    if (s < 0) {
        t_LastError = kSockErrBadHandle;
        return kSockErrBadHandle;
    }
    // A zero-byte recv cannot tell "closed" from "data waiting" here (it returns 0 for
    // both), so ask poll, which reads nothing.
    pollfd p{s, POLLRDHUP, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        Fail();
        return t_LastError;
    }
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) return kSockErrBadHandle;
    if (p.revents & POLLERR) {
        int code = 0;
        if (SockGetPendingError(s, &code) != 0) return t_LastError;
        return code != 0 ? code : kSockErrConnReset;
    }
    if (p.revents & (POLLRDHUP | POLLHUP)) return kSockErrConnReset;
    return 0;
}

int SockSetOpt(SocketHandle s, int level, int name, const void* value, unsigned len) {
    return ::setsockopt(s, level, name, value, len) == 0 ? 0 : Fail();
}

int SockGetOpt(SocketHandle s, int level, int name, void* value, unsigned* len) {
    socklen_t l = *len;
    if (::getsockopt(s, level, name, value, &l) != 0) return Fail();
    *len = l;
    return 0;
}

int SockSetIntOpt(SocketHandle s, int level, int name, int value) {
    return SockSetOpt(s, level, name, &value, sizeof(value));
}

int SockGetIntOpt(SocketHandle s, int level, int name, int* value) {
    unsigned len = sizeof(int);
    *value = 0;
    return SockGetOpt(s, level, name, value, &len);
}

int SockSetNonBlocking(SocketHandle s, bool on) {
    int fl = ::fcntl(s, F_GETFL);
    if (fl < 0) return Fail();
    int nfl = on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    if (nfl != fl && ::fcntl(s, F_SETFL, nfl) != 0) return Fail();
    return 0;
}

int SockGetNonBlocking(SocketHandle s, bool* on) {
    int fl = ::fcntl(s, F_GETFL);
    if (fl < 0) return Fail();
    *on = (fl & O_NONBLOCK) != 0;
    return 0;
}

long SockBytesAvailable(SocketHandle s) {
    int n = 0;
    if (::ioctl(s, FIONREAD, &n) != 0) return Fail();
    return n;
}

bool SockReadableNow(SocketHandle s) {
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

int SockGetPendingError(SocketHandle s, int* code) {
    int err = 0;
    socklen_t len = sizeof(err);
    *code = 0;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return Fail();
    *code = SockErrorFromErrno(err);
    return 0;
}

int SockSetLinger(SocketHandle s, bool on, int seconds) {
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds < 0 ? 0 : seconds;
    return SockSetOpt(s, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

int SockSetTimeoutMs(SocketHandle s, bool receive, int ms) {
    timeval tv{};
    if (ms > 0) {
        tv.tv_sec = ms / 1000;
        tv.tv_usec = (ms % 1000) * 1000;
    }
    return SockSetOpt(s, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &tv, sizeof(tv));
}

int TcpNoDelayLevel() {
    return IPPROTO_TCP;
}
int TcpNoDelayName() {
    return TCP_NODELAY;
}

void SockSet::Add(SocketHandle s) {
    if (count >= kCapacity || Has(s)) return;
    fds[count++] = s;
}

bool SockSet::Has(SocketHandle s) const {
    for (int i = 0; i < count; ++i)
        if (fds[i] == s) return true;
    return false;
}

int SockSelect(SockSet* read, SockSet* write, SockSet* except, int timeoutMs) {
    pollfd p[3 * SockSet::kCapacity];
    int n = 0;
    SockSet* sets[3] = {read, write, except};
    const short wanted[3] = {POLLIN, POLLOUT, POLLPRI};
    for (int k = 0; k < 3; ++k) {
        if (!sets[k]) continue;
        for (int i = 0; i < sets[k]->count; ++i) p[n++] = pollfd{sets[k]->fds[i], wanted[k], 0};
    }
    // A signal that lands in the wait must not read as a socket failure: the wait goes on
    // with the time that is left.
    int err = 0;
    int r = PollWait(p, static_cast<size_t>(n), timeoutMs < 0 ? -1 : timeoutMs, &err);
    if (r < 0) {
        errno = err;
        return Fail();
    }
    int ready = 0;
    n = 0;
    for (int k = 0; k < 3; ++k) {
        if (!sets[k]) continue;
        SockSet& set = *sets[k];
        int keep = 0;
        for (int i = 0; i < set.count; ++i, ++n) {
            short ev = p[n].revents;
            // Errors and hang-ups make a socket "ready" for reading and writing, as select
            // does: the next call on it reports what happened.
            bool hit = k == 2 ? (ev & (POLLPRI | POLLERR | POLLNVAL)) != 0
                              : (ev & (wanted[k] | POLLERR | POLLHUP | POLLNVAL)) != 0;
            if (hit) set.fds[keep++] = set.fds[i];
        }
        set.count = keep;
        ready += keep;
    }
    return ready;
}

int SockGetAddrInfo(const char* host, const char* service, const SockAddrInfoHint& hint,
                    std::vector<SockAddr>* out) {
    out->clear();
    addrinfo h{};
    h.ai_family = hint.family;
    h.ai_socktype = hint.socktype;
    h.ai_protocol = hint.protocol;
    h.ai_flags = (hint.passive ? AI_PASSIVE : 0) | (hint.numericHost ? AI_NUMERICHOST : 0);
    addrinfo* res = nullptr;
    errno = 0;
    int rc = ::getaddrinfo(host, service, &h, &res);
    if (rc != 0) {
        int code = SockErrorFromAddrInfo(rc, errno);
        t_LastError = code;
        return code;
    }
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(SockAddr) || !ai->ai_addr) continue;
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        SockAddr a;
        std::memcpy(&a.sa, ai->ai_addr, ai->ai_addrlen);
        out->push_back(a);
    }
    ::freeaddrinfo(res);
    if (out->empty()) {
        t_LastError = kSockErrNoData;
        return kSockErrNoData;
    }
    return 0;
}

int SockGetNameInfo(const SockAddr& addr, bool numeric, bool nameRequired, std::string* host,
                    std::string* service) {
    char hbuf[1025];
    char sbuf[32];
    hbuf[0] = sbuf[0] = 0;
    int flags =
        (numeric ? (NI_NUMERICHOST | NI_NUMERICSERV) : 0) | (nameRequired ? NI_NAMEREQD : 0);
    errno = 0;
    int rc = ::getnameinfo(&addr.sa, static_cast<socklen_t>(addr.Size()), hbuf, sizeof(hbuf),
                           service ? sbuf : nullptr, service ? sizeof(sbuf) : 0, flags);
    if (rc != 0) {
        int code = SockErrorFromAddrInfo(rc, errno);
        t_LastError = code;
        return code;
    }
    if (host) *host = hbuf;
    if (service) *service = sbuf;
    return 0;
}

std::string SockGetHostName() {
    char buf[256] = {};
    if (::gethostname(buf, 255) != 0) {
        Fail();
        return {};
    }
    buf[254] = 0;
    return buf;
}

}  // namespace plat
