// Sends to many sockets at once: a thread that has one frame for each of its
// sockets adds one entry per socket and submits them together. Where the
// kernel's io_uring can be used the whole batch costs one system call (a
// sendmsg per entry, submitted and reaped in the same io_uring_enter); a
// system call costs a microsecond and more on a virtual machine, so this is
// most of a small send's price. Elsewhere every entry gets a sendmsg of its
// own, with the same results.
//
// Ownership: a SendBatch belongs to one thread, the one that adds and submits;
// none of its calls are guarded and none may be made from another thread. The
// kernel ring is created on that thread at the first batch that needs it.
//
// Contract:
// - Sends never wait and never raise SIGPIPE: a socket with no room gives
//   kSockErrWouldBlock, one with some room takes what fits and reports that
//   byte count (the caller keeps the rest), a peer that closed or reset gives
//   kSockErrConnReset. An entry's failure never touches the other entries.
// - Results are the platform's socket error codes (plat_socket.h), never errno.
// - Storage is sized once and grows only when a batch larger than any before
//   it comes; a Submit allocates nothing.
// - Where the ring cannot be set up (io_uring disabled or filtered, ENOSYS, a
//   kernel without the send operation) or fails in use, the batch falls back
//   to plain sends for the rest of its life. QOR_NO_IO_URING (any value) in
//   the environment, or kPlainSends, forces the plain sends from the start.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/plat_socket.h"

namespace plat {

class SendBatch {
  public:
    enum class Mode { kAuto, kPlainSends };

    explicit SendBatch(Mode aMode = Mode::kAuto);
    ~SendBatch();
    SendBatch(const SendBatch&) = delete;
    SendBatch& operator=(const SendBatch&) = delete;

    // Adds one send of count pieces, in their order, to socket s; returns the
    // entry's index. The pieces array is copied; the bytes it points at are
    // not, and must stay alive and unchanged until Submit returns. The first
    // Add after a Submit starts a new batch (the old results are dropped).
    // REQUIRES: count <= kSockMaxPieces.
    // REQUIRES: no other entry of this batch is for s (two sends on one socket
    //           in one batch could reach it in either order).
    size_t Add(SocketHandle s, const SockIoPiece* pieces, size_t count);

    // Sends every entry added since the last Submit; returns when each has a
    // result.
    void Submit();

    // Entries of the current batch.
    size_t Count() const { return f_Count; }
    // After Submit: bytes that entry i's socket took (0 and more), or -1.
    long Result(size_t i) const;
    // After Submit: 0, or the socket error code of entry i when Result is -1.
    int Error(size_t i) const;

    // Whether batches go through the kernel ring: false before the first
    // batch of two or more entries, and for good after a fallback.
    bool RingInUse() const;

  private:
    class Ring;

    void Reset();
    void SendPlain(size_t aFrom, size_t aTo);
    bool RingUsable();

    // All owned by the batch's thread.
    Mode f_Mode;
    bool f_RingFailed = false;  // set up failed or broke: plain sends for good
    std::unique_ptr<Ring> f_Ring;
    bool f_Submitted = false;
    size_t f_Count = 0;
    size_t f_PieceCount = 0;
    // Per entry: the socket, where its pieces start in f_Pieces, how many.
    std::vector<SocketHandle> f_Sockets;
    std::vector<size_t> f_First;
    std::vector<size_t> f_Len;
    std::vector<long> f_Results;  // >= 0 bytes, < 0 minus the socket error code
    std::vector<iovec> f_Pieces;
    std::vector<msghdr> f_Msgs;
};

}  // namespace plat
