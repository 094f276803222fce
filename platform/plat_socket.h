// The operating system's TCP/IP socket calls behind one small interface, with every
// failure turned into the system's own socket error codes (the numbers below).
// Stateless apart from a per-thread last-error code (like errno); safe from any thread.
//
// Contract:
// - A socket handle is an int, kInvalidSocket (-1) when there is none. The kernel reuses the
//   lowest free descriptor at once, so a handle that is closed but still stored somewhere
//   aliases the next socket opened: whoever keeps a handle closes and invalidates it together.
// - Every call that fails returns -1 (or a non-zero code where it says so) and leaves the
//   mapped code in SockLastError(); a successful call leaves it alone.
// - Sends never raise SIGPIPE. Sockets are created close-on-exec.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

// The system's socket error codes.
inline constexpr int kSockErrInterrupted = 10004;
inline constexpr int kSockErrBadHandle = 10009;
inline constexpr int kSockErrAccess = 10013;
inline constexpr int kSockErrFault = 10014;
inline constexpr int kSockErrInvalidArg = 10022;
inline constexpr int kSockErrTooManyFiles = 10024;
inline constexpr int kSockErrWouldBlock = 10035;
inline constexpr int kSockErrInProgress = 10036;
inline constexpr int kSockErrAlready = 10037;
inline constexpr int kSockErrNotSocket = 10038;
inline constexpr int kSockErrAfNoSupport = 10047;
inline constexpr int kSockErrAddrInUse = 10048;
inline constexpr int kSockErrAddrNotAvail = 10049;
inline constexpr int kSockErrNetDown = 10050;
inline constexpr int kSockErrNetUnreach = 10051;
inline constexpr int kSockErrConnAborted = 10053;
inline constexpr int kSockErrConnReset = 10054;  // also: the peer closed the connection
inline constexpr int kSockErrNoBuffers = 10055;
inline constexpr int kSockErrIsConn = 10056;
inline constexpr int kSockErrNotConn = 10057;
inline constexpr int kSockErrShutdown = 10058;
inline constexpr int kSockErrTimedOut = 10060;
inline constexpr int kSockErrConnRefused = 10061;
inline constexpr int kSockErrHostUnreach = 10065;
inline constexpr int kSockErrProxy = 10091;  // proxy or tunnel failure
inline constexpr int kSockErrTypeNotFound = 10109;
inline constexpr int kSockErrHostNotFound = 11001;
inline constexpr int kSockErrTryAgain = 11002;
inline constexpr int kSockErrNoRecovery = 11003;  // also: a failed SOCKS bind
inline constexpr int kSockErrNoData = 11004;

// errno value -> socket error code; 0 stays 0 (also used for SO_ERROR values).
int SockErrorFromErrno(int err);
// getaddrinfo/getnameinfo result -> socket error code; EAI_SYSTEM maps sysErrno.
int SockErrorFromAddrInfo(int gaiResult, int sysErrno);

// The code of the last failing call of this thread.
int SockLastError();

// Accept failures that concern only the connection being accepted (try the next one).
bool SockAcceptErrorIsTransient(int code);
// Accept failures from exhausted process or system resources (descriptors, memory): they
// last until something is freed, so retrying at once would spin.
bool SockAcceptErrorIsResource(int code);

// Families, types and option levels as this platform numbers them.
inline constexpr int kAfUnspec = AF_UNSPEC;
inline constexpr int kAfInet = AF_INET;
inline constexpr int kAfInet6 = AF_INET6;
inline constexpr int kSockStream = SOCK_STREAM;
inline constexpr int kSockDgram = SOCK_DGRAM;
inline constexpr int kSockRaw = SOCK_RAW;
inline constexpr int kIpProtoTcp = IPPROTO_TCP;
inline constexpr int kIpProtoUdp = IPPROTO_UDP;

// A socket address of either family; 28 bytes of room. Size() is the used size:
// 16 for IPv4, 28 for IPv6, 0 for anything else.
struct SockAddr {
    union {
        sockaddr sa;
        sockaddr_in sin;
        sockaddr_in6 sin6;
    };
    SockAddr() { Clear(); }
    void Clear();
    int Family() const { return sa.sa_family; }
    int Size() const;
    uint16_t Port() const;  // host order; 0 for an unknown family
    void SetPort(uint16_t port);
};
static_assert(sizeof(SockAddr) == 28);

// Creation and life cycle.
SocketHandle SockSocket(int family, int type, int protocol);
int SockClose(SocketHandle s);
int SockShutdown(SocketHandle s, int how);  // how: 0 receive, 1 send, 2 both

int SockBind(SocketHandle s, const SockAddr& addr);
int SockConnect(SocketHandle s, const SockAddr& addr);
int SockListen(SocketHandle s, int backlog);
// Accepted sockets are close-on-exec and blocking, whatever the listener is.
SocketHandle SockAccept(SocketHandle s, SockAddr* peer);
int SockGetLocalName(SocketHandle s, SockAddr* addr);
int SockGetPeerName(SocketHandle s, SockAddr* addr);

// Transfers return the byte count or -1. Sends always add MSG_NOSIGNAL.
long SockSend(SocketHandle s, const void* buf, size_t len, int flags);
long SockRecv(SocketHandle s, void* buf, size_t len, int flags);
long SockSendTo(SocketHandle s, const void* buf, size_t len, int flags, const SockAddr& to);
long SockRecvFrom(SocketHandle s, void* buf, size_t len, int flags, SockAddr* from);
// One send of several pieces in their order; at most kSockMaxPieces are sent.
struct SockIoPiece {
    const void* Data;
    size_t Len;
};
inline constexpr size_t kSockMaxPieces = 64;
long SockSendV(SocketHandle s, const SockIoPiece* pieces, size_t count, int flags);
inline constexpr int kMsgPeek = MSG_PEEK;
inline constexpr int kMsgOob = MSG_OOB;
inline constexpr int kMsgDontWait = MSG_DONTWAIT;

// Checks, without reading anything, whether the peer has gone: kSockErrConnReset when it
// closed or reset, the pending socket error when one is set, else 0. Never blocks.
int SockProbePeerGone(SocketHandle s);

// Options.
int SockSetOpt(SocketHandle s, int level, int name, const void* value, unsigned len);
int SockGetOpt(SocketHandle s, int level, int name, void* value, unsigned* len);
int SockSetIntOpt(SocketHandle s, int level, int name, int value);
int SockGetIntOpt(SocketHandle s, int level, int name, int* value);
int SockSetNonBlocking(SocketHandle s, bool on);
int SockGetNonBlocking(SocketHandle s, bool* on);
// Bytes the kernel holds for reading; -1 on failure.
long SockBytesAvailable(SocketHandle s);
// A read would not wait now: bytes, the peer's end or an error are there.
bool SockReadableNow(SocketHandle s);
// Pending error of the socket (SO_ERROR) as a socket error code, via *code; returns 0 or -1.
int SockGetPendingError(SocketHandle s, int* code);
int SockSetLinger(SocketHandle s, bool on, int seconds);
int SockSetTimeoutMs(SocketHandle s, bool receive, int ms);

inline constexpr int kSolSocket = SOL_SOCKET;
inline constexpr int kSoReuseAddr = SO_REUSEADDR;
inline constexpr int kSoRcvBuf = SO_RCVBUF;
inline constexpr int kSoSndBuf = SO_SNDBUF;
inline constexpr int kSoBroadcast = SO_BROADCAST;
inline constexpr int kSoKeepAlive = SO_KEEPALIVE;
inline constexpr int kSoType = SO_TYPE;
inline constexpr int kIpProtoIp = IPPROTO_IP;
inline constexpr int kIpProtoIpv6 = IPPROTO_IPV6;
inline constexpr int kIpTtl = IP_TTL;
inline constexpr int kIpTos = IP_TOS;
inline constexpr int kIpMulticastTtl = IP_MULTICAST_TTL;
inline constexpr int kIpMulticastLoop = IP_MULTICAST_LOOP;
inline constexpr int kIpv6UnicastHops = IPV6_UNICAST_HOPS;
inline constexpr int kIpv6MulticastHops = IPV6_MULTICAST_HOPS;
inline constexpr int kIpv6MulticastLoop = IPV6_MULTICAST_LOOP;
inline constexpr int kIpv6V6Only = IPV6_V6ONLY;
inline constexpr int kIpv6TClass = IPV6_TCLASS;
int TcpNoDelayLevel();
int TcpNoDelayName();

// A small set of at most 64 handles for SockSelect (a descriptor of 1024 or more would
// overflow a system fd_set, so the wait is a poll over this array).
struct SockSet {
    static constexpr int kCapacity = 64;
    int count = 0;
    SocketHandle fds[kCapacity] = {};
    void Clear() { count = 0; }
    void Add(SocketHandle s);  // ignored when full or already there
    bool Has(SocketHandle s) const;
};

// Waits until a handle of the sets is ready (read, write, error) or timeoutMs passes
// (-1: no limit). On return each set keeps only its ready handles. Returns the number
// of ready handles, 0 on time-out, -1 on failure. A signal does not end the wait early.
int SockSelect(SockSet* read, SockSet* write, SockSet* except, int timeoutMs);

// Name service. Results are copied out; nothing stays shared.
struct SockAddrInfoHint {
    int family = kAfUnspec;
    int socktype = 0;
    int protocol = 0;
    bool passive = false;
    bool numericHost = false;
};
// host or service may be null. Returns 0 and the addresses, or a socket error code.
int SockGetAddrInfo(const char* host, const char* service, const SockAddrInfoHint& hint,
                    std::vector<SockAddr>* out);
// Numeric host and service texts of an address, or (nameRequired) its host name.
int SockGetNameInfo(const SockAddr& addr, bool numeric, bool nameRequired, std::string* host,
                    std::string* service);
// The host name of this machine (at most 254 bytes); empty on failure.
std::string SockGetHostName();

}  // namespace plat
