// Bytes that a send hands to the kernel as pages instead of copying them.
// A client list of a large network is one frame sent to every member: its
// copy into each socket was most of what a list change cost. Pages of their
// own, never written after they are filled and unmapped only when their last
// user is done, can be given to every socket by reference; the kernel keeps
// each page alive while a socket still holds it, so an unmap never takes
// bytes from under a send.
//
// Ownership: PagesAlloc/PagesFree from any thread. SockSendPages uses a pipe
// of the calling thread (made at its first call, closed when the thread ends).
//
// Contract:
// - SockSendPages never waits and never copies what the socket took; it needs
//   a non-blocking socket and a process that ignores SIGPIPE (the kernel's
//   page path cannot be told not to raise it): without either it reports
//   kSockPagesUnsupported at once, and the caller sends a copy.
// - Results are the platform's socket error codes (plat_socket.h).
#pragma once

#include <cstddef>

#include "platform/plat_socket.h"

namespace plat {

// Page-aligned storage of at least aLen bytes, in pages no other allocation
// shares, or nullptr when the system refuses.
void* PagesAlloc(size_t aLen) noexcept;
// Gives back what PagesAlloc returned for the same aLen.
void PagesFree(void* aPtr, size_t aLen) noexcept;

// Not an error of the socket: this send cannot go by pages; send a copy.
inline constexpr int kSockPagesUnsupported = -1;

// Sends up to aLen bytes at aData (inside PagesAlloc storage that is never
// written again) by reference. 0 with aSent set (0 when the socket is full),
// a socket error code, or kSockPagesUnsupported with nothing sent.
int SockSendPages(SocketHandle aSocket, const void* aData, size_t aLen, size_t& aSent) noexcept;

// Sends that went by pages so far, process-wide (tests, reports).
size_t SockPagesSends() noexcept;

}  // namespace plat
