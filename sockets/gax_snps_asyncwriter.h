// Output buffers of non-blocking sockets: whatever a connection sends is
// appended at once and written out by the thread that owns the socket whenever
// the socket takes data. TAsyncWriter2SocketThreadUnSafe belongs to one thread.
// TAsyncWriter2SocketThreadSafe: any thread may append; the socket's owner
// flushes, and a producer may send a frame at once when nothing else is being
// sent (one send at a time). Every operation holds f_CritA for its own duration, except
// the send itself and the pool's and allocator's work: the heartbeat appends
// to every member of a network in one pass and must never wait for a
// worker's system call. While a send runs, the bytes it reads stay where they
// are (chunks never move, frames never change; pieces a Clear drops are kept
// until the send returns) and appends go behind them, so the byte order is
// unchanged. The hint accessors read atomics without the lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_types.h"
#include "platform/plat_mutex.h"
#include "platform/plat_sendbatch.h"
#include "platform/plat_socket.h"
#include "sockets/gax_snps_outchunks.h"

namespace gax {

// No block grows beyond this; an append that would need more is refused.
inline constexpr size_t kAsyncWriterMaxBlock = size_t{1} << 30;

namespace detail {

// The linear block shared by both buffers: pending bytes lie between the tail
// (offset f_Prev) and the head (f_Prev + f_Busy); bytes before the tail were
// sent and are reclaimed by compaction. f_Prev + f_Busy + f_Free == f_Total.
class AsyncWriterBlock {
  public:
    explicit AsyncWriterBlock(int aLinearBufSize);
    void Clear();
    // Appends a then b as one unit; false (nothing appended) past the cap.
    // Sets aGrew when a new block was allocated. A non-null aKeepOld means a
    // send is reading the pending bytes in place: they are not moved, and
    // when the block has to grow, the block that send reads from goes to
    // *aKeepOld (the first one replaced) instead of being freed.
    bool Append(const void* a, size_t na, const void* b, size_t nb, bool& aGrew,
                std::unique_ptr<char[]>* aKeepOld = nullptr);
    // Sent bytes leave the pending range.
    void Consumed(size_t s);
    // Forgets the pending bytes without moving anything: a send may still be
    // reading them.
    void Drop();
    // Replaces the block by one of aNewSize holding the pending bytes; returns
    // the old block.
    std::unique_ptr<char[]> Reallocate(size_t aNewSize);
    // A drained block much larger than its first size goes back to that
    // size, so a burst does not keep its memory while the connection idles.
    // True when it did.
    bool ReleaseIfDrained();

    const char* Tail() const { return f_S.get() + f_Prev; }
    size_t Total() const { return f_Total; }
    size_t Busy() const { return f_Busy; }
    size_t Free() const { return f_Free; }
    size_t Prev() const { return f_Prev; }

  private:
    std::unique_ptr<char[]> f_S;
    size_t f_Initial = 0;
    size_t f_Prev = 0;
    size_t f_Total = 0;
    size_t f_Free = 0;
    size_t f_Busy = 0;
};

}  // namespace detail

// Buffer of a connection that one thread fills and flushes.
class TAsyncWriter2SocketThreadUnSafe {
  public:
    using OnWriteEvent =
        std::function<void(TAsyncWriter2SocketThreadUnSafe* aSender, int aJustWritten)>;

    // 256 bytes when aLinearBufSize is smaller, else rounded up to 128.
    explicit TAsyncWriter2SocketThreadUnSafe(int aLinearBufSize);
    virtual ~TAsyncWriter2SocketThreadUnSafe();
    TAsyncWriter2SocketThreadUnSafe(const TAsyncWriter2SocketThreadUnSafe&) = delete;
    TAsyncWriter2SocketThreadUnSafe& operator=(const TAsyncWriter2SocketThreadUnSafe&) = delete;

    // Drops all pending output; the socket error code goes back to -1.
    void Clear();
    // Appends aLen bytes (nothing when aLen < 1); false when the block would
    // have to grow past kAsyncWriterMaxBlock (nothing is appended then).
    bool PutData(const void* aPtr, int aLen);
    // aLen bytes and CR LF; nothing at all when aLen < 1.
    bool PutDataLn(const void* aPtr, int aLen);
    bool PutStrA(std::string_view aStr) { return PutBytes(aStr.data(), aStr.size(), false); }
    bool PutStrR(std::string_view aStr) { return PutBytes(aStr.data(), aStr.size(), false); }
    // One send attempt; false only on a socket error (the bytes stay pending).
    bool Flush();
    // Flush, raising the error description on failure.
    void FlushExc();

    const char* DirtyPtr() const { return f_Block.Tail(); }
    size_t DirtyLen() const { return f_Block.Busy(); }
    size_t NeedWrite() const { return f_Block.Busy(); }
    size_t Total() const { return f_Block.Total(); }
    size_t LeftAfterFlush() const { return f_LeftAfterFlush; }
    bool NeedWaitForWrite() const { return f_NeedWaitForWrite; }
    int Socket() const { return f_Socket; }
    void SetSocket(int aSocket) { f_Socket = aSocket; }
    int SocketErrorCode() const { return f_SocketErrorCode; }
    const std::u16string& ErrorDesc() const { return f_ErrorDesc; }

    OnWriteEvent OnWrite;

  protected:
    // One non-blocking send: 0 with the bytes taken (0 when the socket is
    // full), or the socket error code.
    virtual int SendRaw(const char* aData, size_t aLen, size_t& aSent);

  private:
    bool PutBytes(const void* aPtr, size_t aLen, bool aLineEnd);

    detail::AsyncWriterBlock f_Block;
    size_t f_LeftAfterFlush = 0;
    bool f_NeedWaitForWrite = false;
    int f_Socket = -1;
    int f_SocketErrorCode = -1;
    std::u16string f_ErrorDesc;
};

// Frames shorter than this are copied into a buffer that already has output
// pending (a reference would cost more than the copy); longer ones, and any
// frame that meets an empty buffer, are sent from the shared bytes.
inline constexpr size_t kAsyncWriterCopyBelow = 1024;
// What is left of a paged frame (outchunks.h) goes to the kernel by
// reference from this length on; a shorter rest costs less to copy than the
// extra calls.
inline constexpr size_t kAsyncWriterPagesFrom = 4096;

namespace detail {

// One run of pending bytes: in a chunk the buffer filled (Chunk set), or in a
// shared frame it holds a reference to.
struct AsyncWriterPiece {
    TOutChunk* Chunk = nullptr;
    TSharedFrame Frame;
    const char* Ptr = nullptr;  // first pending byte
    size_t Len = 0;             // pending bytes from Ptr
};

// The pieces in send order, in a ring that grows by doubling and is kept
// while small, so a steady stream allocates nothing.
class AsyncWriterPieces {
  public:
    AsyncWriterPieces() = default;
    AsyncWriterPieces(const AsyncWriterPieces&) = delete;
    AsyncWriterPieces& operator=(const AsyncWriterPieces&) = delete;
    ~AsyncWriterPieces();

    bool Empty() const { return f_Count == 0; }
    size_t Count() const { return f_Count; }
    AsyncWriterPiece& At(size_t i) { return f_Ring[(f_Head + i) & (f_Cap - 1)]; }
    AsyncWriterPiece& Back() { return At(f_Count - 1); }
    // Returns the ring it replaced when it had to grow (its pieces are empty),
    // for the caller to free once it holds no lock.
    std::unique_ptr<AsyncWriterPiece[]> PushBack(AsyncWriterPiece&& aPiece);
    AsyncWriterPiece PopFront();
    void Swap(AsyncWriterPieces& aOther) noexcept;
    // Gives every chunk back and drops every frame.
    void ReleaseAll() noexcept;

  private:
    std::unique_ptr<AsyncWriterPiece[]> f_Ring;
    size_t f_Cap = 0;  // a power of two
    size_t f_Head = 0;
    size_t f_Count = 0;
};

}  // namespace detail

// Buffer of a connection that several threads fill and its worker flushes.
// Copied bytes go into pooled chunks of one size, shared frames are kept by
// reference; a chunk goes back to the pool as soon as it is sent, except the
// last one, which stays for the next bytes, so an idle connection holds one
// chunk and a burst is given back piece by piece as it leaves, never all at
// once.
//
// Who sends: the owner flushes, and a producer may send a frame at once
// (PutSharedWriteThrough) so that the owner's thread need not wake for it.
// One send runs at a time (f_Sending); a flush that finds another running
// returns without sending, and that send's thread sees what was appended
// meanwhile. The socket is closed through CloseSocket only: a close that
// meets a running send is left to that send, so a descriptor number is never
// given back to the system (and to another connection) while a send uses it.
class TAsyncWriter2SocketThreadSafe {
  public:
    // What became of a frame given to PutSharedWriteThrough.
    enum class WriteThrough : uint8_t {
        Sent,     // all that was pending went out: no flush is owed
        Queued,   // bytes stay pending (or the send failed): the owner must flush
        Behind,   // appended behind a socket that waits for room: the owner's
                  // wait for room sends it, no wake-up is owed
        Refused,  // past kAsyncWriterMaxBlock: nothing was appended
        Sending,  // PrepareWriteThrough only: the caller sends the pieces and
                  // hands the result to CompleteWriteThrough
    };
    // A send that PrepareWriteThrough handed to its caller.
    struct TWriteThroughSend {
        int Socket = -1;     // stays open until CompleteWriteThrough
        size_t Count = 0;    // pieces written to the caller's array
        size_t Pending = 0;  // their bytes
    };
    // A producer sends at once only while this little, or less, is already
    // pending: a burst (a client list) stays for the owner to send.
    static constexpr size_t kWriteThroughPending = 4096;

    using OnWriteEvent =
        std::function<void(TAsyncWriter2SocketThreadSafe* aSender, int aJustWritten)>;

    // aLinearBufSize is what the owner expects one answer to take; the
    // storage comes in pooled chunks whatever it is.
    explicit TAsyncWriter2SocketThreadSafe(int aLinearBufSize);
    virtual ~TAsyncWriter2SocketThreadSafe();
    TAsyncWriter2SocketThreadSafe(const TAsyncWriter2SocketThreadSafe&) = delete;
    TAsyncWriter2SocketThreadSafe& operator=(const TAsyncWriter2SocketThreadSafe&) = delete;

    // Drops all pending output; the socket error code stays.
    void Clear() GAX_EXCLUDES(f_CritA);
    bool PutData(const void* aPtr, int aLen) GAX_EXCLUDES(f_CritA);
    bool PutDataLn(const void* aPtr, int aLen) GAX_EXCLUDES(f_CritA);
    bool PutStrA(std::string_view aStr) GAX_EXCLUDES(f_CritA) {
        return PutBytes(aStr.data(), aStr.size(), false);
    }
    // Appends a frame by reference (a short one is copied when output is
    // already pending); false, with nothing appended, past kAsyncWriterMaxBlock.
    bool PutShared(const TSharedFrame& aFrame) GAX_EXCLUDES(f_CritA);
    // Appends a frame as PutShared does and, unless the socket waits for
    // room or much is pending, sends what is pending on the calling thread
    // (from the first pending byte, so nothing is overtaken).
    WriteThrough PutSharedWriteThrough(const TSharedFrame& aFrame) GAX_EXCLUDES(f_CritA);
    // PutSharedWriteThrough in two halves, for a caller that sends many
    // buffers' frames together. Sending: this buffer's send is the caller's
    // (no other thread sends meanwhile), aPieces (kSockMaxPieces of room)
    // and aSend say what to send, and CompleteWriteThrough must follow with
    // the result (aCode a socket error code, 0 with aSent bytes taken, 0 on
    // a full socket). Any other result: nothing to send.
    WriteThrough PrepareWriteThrough(const TSharedFrame& aFrame, plat::SockIoPiece* aPieces,
                                     TWriteThroughSend& aSend) GAX_EXCLUDES(f_CritA);
    // Sent or Queued, as PutSharedWriteThrough tells them.
    WriteThrough CompleteWriteThrough(const TWriteThroughSend& aSend, int aCode, size_t aSent)
        GAX_EXCLUDES(f_CritA);
    // Any thread. The send runs without the lock; OnWrite runs after it,
    // without the lock too. One send call, unless more pieces are pending
    // than one call takes and the socket took all it was given. True without
    // sending while another thread's send runs.
    bool Flush() GAX_EXCLUDES(f_CritA);
    void FlushExc() GAX_EXCLUDES(f_CritA);

    // Hints, read without the lock.
    // Bytes pending now: what an over-limit check must look at, since
    // LeftAfterLastFlush freezes while a peer reads nothing.
    size_t PendingBytes() const { return f_BusyHint.load(std::memory_order_relaxed); }
    size_t NeedWrite() const { return PendingBytes(); }
    bool NeedWaitForWrite() const { return f_NeedWaitHint.load(std::memory_order_relaxed); }
    size_t LeftAfterLastFlush() const { return f_LeftHint.load(std::memory_order_relaxed); }
    // Bytes of the chunks the buffer holds (shared frames are not its own).
    // Clear gives them all back.
    size_t Total() const { return f_TotalHint.load(std::memory_order_relaxed); }
    int SocketErrorCode() const { return f_SocketErrorCode.load(std::memory_order_relaxed); }

    int Socket() const { return f_Socket.load(std::memory_order_relaxed); }
    // Before the buffer is shared, or to detach a socket the caller closes.
    void SetSocket(int aSocket) { f_Socket.store(aSocket, std::memory_order_relaxed); }
    // Takes the socket from the buffer and closes it: now, or when the send
    // running on another thread returns. Later sends fail as on a closed
    // socket. Nothing when no socket is set.
    void CloseSocket() GAX_EXCLUDES(f_CritA);
    std::u16string ErrorDesc() const GAX_EXCLUDES(f_CritA);

    // Set before the buffer is shared.
    OnWriteEvent OnWrite;

  protected:
    // One non-blocking send of the pieces in order: 0 with the bytes taken
    // (0 when the socket is full), or the socket error code. The socket is
    // SendingSocket().
    virtual int SendRawV(const plat::SockIoPiece* aPieces, size_t aCount, size_t& aSent);
    // The socket of the running send, taken when it began: it stays open
    // until the send returns.
    int SendingSocket() const { return f_SendSocket; }

  private:
    using Piece = detail::AsyncWriterPiece;

    // aBehind, when given: whether the socket waited for room at the append.
    bool PutBytes(const void* aPtr, size_t aLen, bool aLineEnd, bool* aBehind = nullptr)
        GAX_EXCLUDES(f_CritA);
    bool PutSharedImpl(const TSharedFrame& aFrame, bool* aBehind) GAX_EXCLUDES(f_CritA);
    void PublishHints() GAX_REQUIRES(f_CritA);
    // Bytes that still fit in the last piece's chunk.
    size_t TailRoom() GAX_REQUIRES(f_CritA);
    // One send of what is pending; aMore: the socket took all of it and more
    // is pending. False on a socket error.
    bool SendOnce(size_t& aSent, bool& aMore) GAX_EXCLUDES(f_CritA);
    // Takes the send and gathers the first pending pieces; false, taking
    // nothing, when nothing is pending or another send runs.
    bool BeginSend(plat::SockIoPiece* aPieces, size_t& aCount, size_t& aPending)
        GAX_REQUIRES(f_CritA);
    // Accounts the send BeginSend took and gives it up; returns the bytes
    // accounted. aMore: the socket took all of it and more is pending.
    size_t EndSend(int aCode, size_t aSent, size_t aPending, bool& aMore) GAX_EXCLUDES(f_CritA);

    mutable plat::Mutex f_CritA;
    detail::AsyncWriterPieces f_Pieces GAX_GUARDED_BY(f_CritA);
    size_t f_Busy GAX_GUARDED_BY(f_CritA) = 0;
    size_t f_Chunks GAX_GUARDED_BY(f_CritA) = 0;
    std::u16string f_ErrorDesc GAX_GUARDED_BY(f_CritA);
    // A flush is sending from the first pieces without the lock.
    bool f_Sending GAX_GUARDED_BY(f_CritA) = false;
    // Clear ran during that send: what it sent is no longer pending.
    bool f_DroppedWhileSending GAX_GUARDED_BY(f_CritA) = false;
    // CloseSocket ran during that send: the send closes this one on return.
    int f_CloseAfterSend GAX_GUARDED_BY(f_CritA) = -1;
    // Written under f_CritA by the thread that sets f_Sending, read by that
    // thread alone until it clears the flag.
    int f_SendSocket = -1;
    // The same: the send is one paged frame's piece, sent by reference.
    bool f_SendPages = false;
    // The pieces that send reads from, when Clear dropped them; released by
    // the flush once the send returned.
    detail::AsyncWriterPieces f_Retired GAX_GUARDED_BY(f_CritA);

    std::atomic<int> f_Socket{-1};
    std::atomic<int> f_SocketErrorCode{-1};
    // Written under f_CritA, read without it. f_LeftHint is the only record of
    // what the last sending flush left.
    std::atomic<size_t> f_BusyHint{0};
    std::atomic<bool> f_NeedWaitHint{false};
    std::atomic<size_t> f_LeftHint{0};
    std::atomic<size_t> f_TotalHint{0};
    std::atomic<size_t> f_TailRoomHint{0};
};

// The write-through sends of one frame's fan-out, gathered from many buffers
// and sent in one batch: a frame for every idle listener costs one system
// call instead of one each. Belongs to one thread, like its SendBatch; its
// storage grows to the largest fan-out and is reused.
class TWriteThroughBatch {
  public:
    using WriteThrough = TAsyncWriter2SocketThreadSafe::WriteThrough;

    explicit TWriteThroughBatch(plat::SendBatch::Mode aMode = plat::SendBatch::Mode::kAuto)
        : f_Batch(aMode) {}

    // As PutSharedWriteThrough, but a send is only gathered: Sending means
    // that Submit tells aDone what became of the frame, with aTag. A buffer
    // gets one send per batch (the first holds its send until Submit).
    WriteThrough Put(TAsyncWriter2SocketThreadSafe& aOut, const TSharedFrame& aFrame, void* aTag);

    // Sends all that was gathered, then completes each buffer in the order
    // of Put, calling aDone(tag, Sent or Queued) for each. The buffers and
    // their tags must live until then.
    template <class F>
    void Submit(F&& aDone) {
        if (f_Entries.empty()) return;
        f_Batch.Submit();
        for (size_t i = 0; i < f_Entries.size(); ++i) {
            const Entry& e = f_Entries[i];
            aDone(e.Tag, e.Out->CompleteWriteThrough(e.Send, Code(i), Sent(i)));
        }
        f_Entries.clear();
    }

    bool Empty() const { return f_Entries.empty(); }
    const plat::SendBatch& Batch() const { return f_Batch; }

  private:
    struct Entry {
        TAsyncWriter2SocketThreadSafe* Out;
        void* Tag;
        TAsyncWriter2SocketThreadSafe::TWriteThroughSend Send;
    };
    // A full socket is no error to the buffer: it took nothing.
    int Code(size_t i) const;
    size_t Sent(size_t i) const;

    plat::SendBatch f_Batch;
    std::vector<Entry> f_Entries;
    std::array<plat::SockIoPiece, plat::kSockMaxPieces> f_Pieces{};
};

}  // namespace gax
