// The floor of the socket library: the process-wide socket binding, name and port
// resolution into socket addresses, the raw helpers the server uses on accepted socket
// handles, and the socket error texts. Everything here is free of shared state except the
// binding's use counts, which SocketBindingLock() guards; safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plat_mutex.h"
#include "platform/plat_socket.h"

namespace gax {

using TSocket = plat::SocketHandle;
inline constexpr TSocket INVALID_SOCKET_HANDLE = plat::kInvalidSocket;

// A socket address of either family (28 bytes of room).
using TVarSin = plat::SockAddr;
// 16 for IPv4, 28 for IPv6, 0 for any other family.
inline int SockAddrSize(const TVarSin& addr) {
    return addr.Size();
}

// ---- Binding and start-up ----------------------------------------------------------------
// The socket interface is part of the system here: binding only counts uses (and makes
// sure the process ignores SIGPIPE); it never fails.
bool LoadSocketInterface(std::u16string_view libName = {});
bool UnloadSocketInterface();  // one use less, never below 0; true
int SocketInterfaceUseCount();
// Whether the address-info resolver serves the family; always so here.
bool AddrInfoApiFor(int family);
// Guards the binding's counts; also the lock for any non-reentrant resolver call.
plat::Mutex& SocketBindingLock();
// The server socket module's start-up and clean-up: counted, results unchecked.
void WinsockStartup();
void WinsockCleanup();

// The IPv6 any (16 zero bytes) and loopback (15 zero bytes and 1) addresses.
const std::string& IPv6AnyAddress();
const std::string& IPv6LoopbackAddress();

// ---- Thin wrappers (platform result; failures leave plat::SockLastError()) ---------------
using plat::SockBind;
using plat::SockConnect;
inline int SockGetLocalName(TSocket s, TVarSin& a) {
    return plat::SockGetLocalName(s, &a);
}
inline int SockGetPeerName(TSocket s, TVarSin& a) {
    return plat::SockGetPeerName(s, &a);
}
using plat::SockGetHostName;
using plat::SockRecv;
using plat::SockSend;
using plat::SockSendTo;
inline long SockRecvFrom(TSocket s, void* b, size_t n, int f, TVarSin& a) {
    return plat::SockRecvFrom(s, b, n, f, &a);
}
inline TSocket SockAccept(TSocket s, TVarSin& a) {
    return plat::SockAccept(s, &a);
}
inline int SockAddrPort(const TVarSin& a) {
    return a.Port();
}

// A select set of at most 64 handles.
using TFdSet = plat::SockSet;
inline void FdClear(TFdSet& set) {
    set.Clear();
}
inline void FdAdd(TSocket s, TFdSet& set) {
    set.Add(s);
}  // ignored when full
inline bool FdIsSet(TSocket s, const TFdSet& set) {
    return set.Has(s);
}

// ---- Address conversion (host texts are already in their ASCII/IDN form) ----------------
// Fills addr from host and port; family 0 tries both families, IPv4 first when
// preferIPv4. Returns 0 or the socket error code of the lookup.
int FillSockAddr(TVarSin& addr, std::string_view host, std::string_view port, bool preferIPv4,
                 int sockType, int protocol, int family);
// The numeric address text of addr (IPv6 groups without leading zeros); empty when the
// address cannot be written.
std::string SockAddrToIPText(const TVarSin& addr);
std::string StripIPv6GroupZeros(std::string_view text);
// Every numeric address of a name ("0.0.0.0" when there is none).
void ResolveNameList(std::string_view name, int family, int sockType, int protocol,
                     std::vector<std::string>& list);
// The port number of a port text (a number or a service name); 0 when unknown.
int ResolvePortNumber(std::string_view port, int family, int sockType, int protocol);
// The host name of an address, or the address itself when none is found.
std::string ResolveIPName(std::string_view address, int family, int sockType, int protocol);

// ---- Raw helpers on socket handles (never raise) -----------------------------------------
// One non-blocking receive: 0 with count (0 when nothing waits), kSockErrConnReset when the
// peer closed, or the error code. A size of 0 only checks whether the peer is still there.
int SocketRecvNonBlocking(TSocket s, void* buf, size_t size, size_t& count, int flags = 0);
// One non-blocking send: 0 with the bytes taken (0 when the buffer is full), or the code.
int SocketSendNonBlocking(TSocket s, const void* data, size_t len, size_t& sent, int flags = 0);
// The same for several pieces in one call (at most plat::kSockMaxPieces).
int SocketSendVNonBlocking(TSocket s, const plat::SockIoPiece* pieces, size_t count, size_t& sent);
int SocketSetNonBlocking(TSocket s);
void SocketSetNoDelay(TSocket s, bool flag);
int SocketGetPendingError(TSocket s, int& code);
int SocketSetLinger(TSocket s, bool enable, int seconds);  // does nothing; 0
void SocketSetReuseAddr(TSocket s, bool flag);
void SocketCloseHandle(TSocket s);
// Closes a live handle and sets it to -1; 0 or the error code. A handle of -1 is left alone.
int SocketCloseAndInvalidate(TSocket& s);
void SleepMs(int ms);

// ---- Error texts --------------------------------------------------------------------------
// "Socket error (" + code + "): " + text.
std::u16string FormatSocketError(int code, std::u16string_view text);
// FormatSocketError with the system's message for the code.
std::u16string FormatSocketSysError(int code);
// The system's message for a code, passed through the error-text filter.
std::u16string SocketSysErrorText(int code);
// The English description of a code; empty for 0, "Other socket error (n)" when unknown.
std::u16string GetErrorDesc(int code);

}  // namespace gax
