#include "sockets/gax_snps_asyncwriter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/plat_pages.h"
#include "sockets/gax_snps_sockets.h"

namespace gax {

namespace {

const char kCrLf[2] = {'\r', '\n'};

// "Much larger" than the first size: a drained block bigger than this many
// first sizes, and than kReleaseFloor, is given back; below that a steady
// stream would pay an allocation for every burst.
constexpr size_t kReleaseFactor = 8;
constexpr size_t kReleaseFloor = 256 * 1024;

size_t InitialBlockSize(int aLinearBufSize) {
    if (aLinearBufSize < 256) return 256;
    const size_t rounded = (static_cast<size_t>(aLinearBufSize) + 127) / 128 * 128;
    return std::min(rounded, kAsyncWriterMaxBlock);
}

}  // namespace

// ---- the block ----

namespace detail {

AsyncWriterBlock::AsyncWriterBlock(int aLinearBufSize) {
    f_Total = InitialBlockSize(aLinearBufSize);
    f_Initial = f_Total;
    // Not zero-filled: the pages are committed as output uses them.
    f_S = std::make_unique_for_overwrite<char[]>(f_Total);
    Clear();
}

void AsyncWriterBlock::Clear() {
    f_Prev = 0;
    f_Busy = 0;
    f_Free = f_Total;
}

bool AsyncWriterBlock::Append(const void* a, size_t na, const void* b, size_t nb, bool& aGrew,
                              std::unique_ptr<char[]>* aKeepOld) {
    aGrew = false;
    const size_t n = na + nb;
    if (n > kAsyncWriterMaxBlock || f_Busy > kAsyncWriterMaxBlock - n) return false;
    if (f_Free < n) {
        if (aKeepOld == nullptr && f_Free + f_Prev >= n) {
            // Reuse the sent prefix before growing.
            std::memmove(f_S.get(), f_S.get() + f_Prev, f_Busy);
            f_Free += f_Prev;
            f_Prev = 0;
        } else {
            // Half again of what is needed, in whole 128-byte steps; 64-bit
            // arithmetic, then capped.
            const uint64_t need = static_cast<uint64_t>(n) + f_Total;
            uint64_t size = (need + need / 2 + 127) / 128 * 128;
            size = std::min<uint64_t>(size, kAsyncWriterMaxBlock);
            std::unique_ptr<char[]> old = Reallocate(static_cast<size_t>(size));
            // Only the first block replaced during a send is the one it reads.
            if (aKeepOld != nullptr && !*aKeepOld) *aKeepOld = std::move(old);
            aGrew = true;
        }
    }
    char* head = f_S.get() + f_Prev + f_Busy;
    if (na) std::memcpy(head, a, na);
    if (nb) std::memcpy(head + na, b, nb);
    f_Busy += n;
    f_Free -= n;
    return true;
}

void AsyncWriterBlock::Consumed(size_t s) {
    f_Busy -= s;
    if (f_Busy == 0) {
        f_Prev = 0;
        f_Free = f_Total;
    } else {
        f_Prev += s;
    }
}

void AsyncWriterBlock::Drop() {
    f_Prev += f_Busy;
    f_Busy = 0;
}

std::unique_ptr<char[]> AsyncWriterBlock::Reallocate(size_t aNewSize) {
    auto block = std::make_unique_for_overwrite<char[]>(aNewSize);
    if (f_Busy) std::memcpy(block.get(), f_S.get() + f_Prev, f_Busy);
    std::swap(f_S, block);
    f_Total = aNewSize;
    f_Prev = 0;
    f_Free = aNewSize - f_Busy;
    return block;
}

bool AsyncWriterBlock::ReleaseIfDrained() {
    if (f_Busy != 0 || f_Total <= kReleaseFloor || f_Total <= kReleaseFactor * f_Initial)
        return false;
    Reallocate(f_Initial);
    return true;
}

}  // namespace detail

// ---- single-thread buffer ----

TAsyncWriter2SocketThreadUnSafe::TAsyncWriter2SocketThreadUnSafe(int aLinearBufSize)
    : f_Block(aLinearBufSize) {
    Clear();
}

TAsyncWriter2SocketThreadUnSafe::~TAsyncWriter2SocketThreadUnSafe() = default;

void TAsyncWriter2SocketThreadUnSafe::Clear() {
    f_Block.Clear();
    f_LeftAfterFlush = 0;
    f_NeedWaitForWrite = false;
    f_SocketErrorCode = -1;
}

bool TAsyncWriter2SocketThreadUnSafe::PutBytes(const void* aPtr, size_t aLen, bool aLineEnd) {
    if (aLen == 0) return true;
    bool grew;
    return f_Block.Append(aPtr, aLen, kCrLf, aLineEnd ? 2 : 0, grew);
}

bool TAsyncWriter2SocketThreadUnSafe::PutData(const void* aPtr, int aLen) {
    return aLen < 1 || PutBytes(aPtr, static_cast<size_t>(aLen), false);
}

bool TAsyncWriter2SocketThreadUnSafe::PutDataLn(const void* aPtr, int aLen) {
    return aLen < 1 || PutBytes(aPtr, static_cast<size_t>(aLen), true);
}

int TAsyncWriter2SocketThreadUnSafe::SendRaw(const char* aData, size_t aLen, size_t& aSent) {
    return SocketSendNonBlocking(f_Socket, aData, aLen, aSent);
}

bool TAsyncWriter2SocketThreadUnSafe::Flush() {
    const size_t pending = f_Block.Busy();
    if (pending == 0) {
        f_NeedWaitForWrite = false;
        return true;
    }
    size_t sent = 0;
    const int code = SendRaw(f_Block.Tail(), pending, sent);
    f_SocketErrorCode = code;
    if (code != 0) {
        f_ErrorDesc = FormatSocketSysError(code);
        return false;
    }
    sent = std::min(sent, pending);
    f_NeedWaitForWrite = sent < pending;
    f_Block.Consumed(sent);
    f_LeftAfterFlush = f_Block.Busy();
    f_Block.ReleaseIfDrained();
    if (OnWrite) OnWrite(this, static_cast<int>(sent));
    return true;
}

void TAsyncWriter2SocketThreadUnSafe::FlushExc() {
    if (!Flush()) throw Exception(f_ErrorDesc);
}

// ---- pieces of the shared buffer ----

namespace detail {

namespace {

void ReleasePiece(AsyncWriterPiece& p) noexcept {
    OutChunkPut(p.Chunk);
    p.Chunk = nullptr;
    p.Frame.Reset();
    p.Ptr = nullptr;
    p.Len = 0;
}

}  // namespace

AsyncWriterPieces::~AsyncWriterPieces() { ReleaseAll(); }

std::unique_ptr<AsyncWriterPiece[]> AsyncWriterPieces::PushBack(AsyncWriterPiece&& aPiece) {
    std::unique_ptr<AsyncWriterPiece[]> old;
    if (f_Count == f_Cap) {
        const size_t cap = f_Cap ? f_Cap * 2 : 4;
        auto ring = std::make_unique<AsyncWriterPiece[]>(cap);
        for (size_t i = 0; i < f_Count; ++i) ring[i] = std::move(At(i));
        old = std::move(f_Ring);
        f_Ring = std::move(ring);
        f_Cap = cap;
        f_Head = 0;
    }
    f_Ring[(f_Head + f_Count) & (f_Cap - 1)] = std::move(aPiece);
    ++f_Count;
    return old;
}

AsyncWriterPiece AsyncWriterPieces::PopFront() {
    AsyncWriterPiece p = std::move(f_Ring[f_Head]);
    f_Ring[f_Head] = AsyncWriterPiece();
    f_Head = (f_Head + 1) & (f_Cap - 1);
    --f_Count;
    return p;
}

void AsyncWriterPieces::Swap(AsyncWriterPieces& aOther) noexcept {
    std::swap(f_Ring, aOther.f_Ring);
    std::swap(f_Cap, aOther.f_Cap);
    std::swap(f_Head, aOther.f_Head);
    std::swap(f_Count, aOther.f_Count);
}

void AsyncWriterPieces::ReleaseAll() noexcept {
    for (size_t i = 0; i < f_Count; ++i) ReleasePiece(At(i));
    f_Head = 0;
    f_Count = 0;
}

}  // namespace detail

// ---- shared buffer ----

namespace {

// Chunks taken from the pool before the buffer's lock and given back after
// it: the pool has a lock of its own. A few live on the stack; a large copy
// keeps the rest in a vector.
class ChunkSpares {
  public:
    explicit ChunkSpares(size_t aBytes) {
        // What fills fresh chunks; the room left in the last chunk only
        // lowers that.
        f_Need = (aBytes + kOutChunkCapacity - 1) / kOutChunkCapacity;
        if (f_Need > f_Small.size()) f_Large.reserve(f_Need);
        for (size_t i = 0; i < f_Need; ++i) Slot(i) = OutChunkGet();
    }
    ~ChunkSpares() {
        for (size_t i = f_Used; i < f_Need; ++i) OutChunkPut(Slot(i));
    }
    TOutChunk* Take() { return Slot(f_Used++); }

  private:
    TOutChunk*& Slot(size_t i) {
        if (f_Need <= f_Small.size()) return f_Small[i];
        if (f_Large.size() <= i) f_Large.resize(i + 1);
        return f_Large[i];
    }
    std::array<TOutChunk*, 4> f_Small{};
    std::vector<TOutChunk*> f_Large;
    size_t f_Need = 0;
    size_t f_Used = 0;
};

// The flushing thread's frames sent whole, let go after the buffer's lock;
// kept between flushes so that a flush allocates nothing.
thread_local std::vector<TSharedFrame> t_DoneFrames;

// Copies into the pieces' last chunk and new chunks behind it.
void CopyIn(detail::AsyncWriterPieces& aPieces, const char* aSrc, size_t aLen,
            ChunkSpares& aSpares, size_t& aChunks,
            std::vector<std::unique_ptr<detail::AsyncWriterPiece[]>>& aOldRings) {
    while (aLen > 0) {
        detail::AsyncWriterPiece* last = aPieces.Empty() ? nullptr : &aPieces.Back();
        if (last == nullptr || last->Chunk == nullptr ||
            last->Ptr + last->Len == last->Chunk->Data + kOutChunkCapacity) {
            detail::AsyncWriterPiece p;
            p.Chunk = aSpares.Take();
            p.Ptr = p.Chunk->Data;
            if (auto old = aPieces.PushBack(std::move(p))) aOldRings.push_back(std::move(old));
            ++aChunks;
            last = &aPieces.Back();
        }
        char* head = const_cast<char*>(last->Ptr) + last->Len;
        const size_t room = static_cast<size_t>(last->Chunk->Data + kOutChunkCapacity - head);
        const size_t k = std::min(room, aLen);
        std::memcpy(head, aSrc, k);
        last->Len += k;
        aSrc += k;
        aLen -= k;
    }
}

}  // namespace

TAsyncWriter2SocketThreadSafe::TAsyncWriter2SocketThreadSafe(int) {
    plat::MutexLock lock(f_CritA);
    PublishHints();
}

// No lock is taken here: whoever owns the buffer stops every thread that can
// reach it (the worker is joined or has let the context go, the heartbeat no
// longer finds it by key) before destroying it, so nothing can still be
// running inside. Waiting on the lock would only hide a broken teardown order.
// The pieces give their chunks back to the pool as members are destroyed.
TAsyncWriter2SocketThreadSafe::~TAsyncWriter2SocketThreadSafe() = default;

void TAsyncWriter2SocketThreadSafe::PublishHints() {
    // Pairs with the acquire in Flush: a flusher that sees the count also sees the bytes.
    f_BusyHint.store(f_Busy, std::memory_order_release);
    f_TotalHint.store(f_Chunks * sizeof(TOutChunk), std::memory_order_relaxed);
    f_TailRoomHint.store(TailRoom(), std::memory_order_relaxed);
}

void TAsyncWriter2SocketThreadSafe::Clear() {
    // Released once the lock is.
    detail::AsyncWriterPieces dropped;
    std::vector<std::unique_ptr<detail::AsyncWriterPiece[]>> oldRings;
    {
        plat::MutexLock lock(f_CritA);
        if (f_Sending) {
            // The running send reads these: they live until it returns.
            if (f_Retired.Empty()) {
                f_Retired.Swap(f_Pieces);
            } else {
                while (!f_Pieces.Empty())
                    if (auto old = f_Retired.PushBack(f_Pieces.PopFront()))
                        oldRings.push_back(std::move(old));
            }
            f_DroppedWhileSending = true;
        } else {
            dropped.Swap(f_Pieces);
        }
        f_Busy = 0;
        f_Chunks = 0;
        f_LeftHint.store(0, std::memory_order_relaxed);
        f_NeedWaitHint.store(false, std::memory_order_relaxed);
        PublishHints();
    }
}

bool TAsyncWriter2SocketThreadSafe::PutBytes(const void* aPtr, size_t aLen, bool aLineEnd,
                                             bool* aBehind) {
    if (aLen == 0) return true;
    const size_t n = aLen + (aLineEnd ? 2 : 0);
    if (n > kAsyncWriterMaxBlock) return false;
    std::vector<std::unique_ptr<detail::AsyncWriterPiece[]>> oldRings;
    for (;;) {
        // What fits in the last chunk needs none from the pool. Another
        // appender may take that room first: then round again with chunks.
        const bool fits = f_TailRoomHint.load(std::memory_order_relaxed) >= n;
        ChunkSpares spares(fits ? 0 : n);
        plat::MutexLock lock(f_CritA);
        if (f_Busy > kAsyncWriterMaxBlock - n) return false;
        if (fits && TailRoom() < n) continue;
        CopyIn(f_Pieces, static_cast<const char*>(aPtr), aLen, spares, f_Chunks, oldRings);
        if (aLineEnd) CopyIn(f_Pieces, kCrLf, 2, spares, f_Chunks, oldRings);
        f_Busy += n;
        if (aBehind != nullptr) *aBehind = f_NeedWaitHint.load(std::memory_order_relaxed);
        PublishHints();
        return true;
    }
}

size_t TAsyncWriter2SocketThreadSafe::TailRoom() {
    if (f_Pieces.Empty()) return 0;
    const detail::AsyncWriterPiece& last = f_Pieces.Back();
    if (last.Chunk == nullptr) return 0;
    return static_cast<size_t>(last.Chunk->Data + kOutChunkCapacity - (last.Ptr + last.Len));
}

bool TAsyncWriter2SocketThreadSafe::PutData(const void* aPtr, int aLen) {
    return aLen < 1 || PutBytes(aPtr, static_cast<size_t>(aLen), false);
}

bool TAsyncWriter2SocketThreadSafe::PutDataLn(const void* aPtr, int aLen) {
    return aLen < 1 || PutBytes(aPtr, static_cast<size_t>(aLen), true);
}

bool TAsyncWriter2SocketThreadSafe::PutShared(const TSharedFrame& aFrame) {
    return PutSharedImpl(aFrame, nullptr);
}

bool TAsyncWriter2SocketThreadSafe::PutSharedImpl(const TSharedFrame& aFrame, bool* aBehind) {
    const size_t n = aFrame.Len();
    if (n == 0) return true;
    if (n > kAsyncWriterMaxBlock) return false;
    // Pending output decides only between a copy and a reference: either
    // goes behind what is pending, so a stale hint costs nothing but speed.
    if (n < kAsyncWriterCopyBelow && PendingBytes() > 0)
        return PutBytes(aFrame.Data(), n, false, aBehind);
    std::unique_ptr<detail::AsyncWriterPiece[]> oldRing;
    plat::MutexLock lock(f_CritA);
    if (f_Busy > kAsyncWriterMaxBlock - n) return false;
    detail::AsyncWriterPiece p;
    p.Frame = aFrame;
    p.Ptr = aFrame.Data();
    p.Len = n;
    oldRing = f_Pieces.PushBack(std::move(p));
    f_Busy += n;
    if (aBehind != nullptr) *aBehind = f_NeedWaitHint.load(std::memory_order_relaxed);
    PublishHints();
    return true;
}

TAsyncWriter2SocketThreadSafe::WriteThrough TAsyncWriter2SocketThreadSafe::PrepareWriteThrough(
    const TSharedFrame& aFrame, plat::SockIoPiece* aPieces, TWriteThroughSend& aSend) {
    aSend = {};
    // Hints only decide whether to try: a send that another thread started
    // meanwhile is found under the lock below, and the frame left to it.
    const bool through = !NeedWaitForWrite() && PendingBytes() <= kWriteThroughPending &&
                         Socket() != INVALID_SOCKET_HANDLE;
    // A socket that waited for room when the frame went in (the flag
    // changes only under the lock, together with the pending bytes) has its
    // owner watching for room, and that owner's flush takes this frame too:
    // waking the owner for it would only make it step without reading, and a
    // stream of such wake-ups would keep it from reading its socket at all.
    bool behind = false;
    if (!PutSharedImpl(aFrame, &behind)) return WriteThrough::Refused;
    if (behind) return WriteThrough::Behind;
    if (!through) return WriteThrough::Queued;
    plat::MutexLock lock(f_CritA);
    if (f_Busy == 0) return WriteThrough::Sent;
    if (f_Socket.load(std::memory_order_relaxed) == INVALID_SOCKET_HANDLE ||
        !BeginSend(aPieces, aSend.Count, aSend.Pending))
        return WriteThrough::Queued;
    aSend.Socket = f_SendSocket;
    return WriteThrough::Sending;
}

TAsyncWriter2SocketThreadSafe::WriteThrough TAsyncWriter2SocketThreadSafe::CompleteWriteThrough(
    const TWriteThroughSend& aSend, int aCode, size_t aSent) {
    bool more = false;
    const size_t sent = EndSend(aCode, aSent, aSend.Pending, more);
    if (sent > 0 && OnWrite) OnWrite(this, static_cast<int>(std::min<size_t>(sent, INT32_MAX)));
    if (aCode != 0) return WriteThrough::Queued;
    return PendingBytes() == 0 ? WriteThrough::Sent : WriteThrough::Queued;
}

TAsyncWriter2SocketThreadSafe::WriteThrough TAsyncWriter2SocketThreadSafe::PutSharedWriteThrough(
    const TSharedFrame& aFrame) {
    std::array<plat::SockIoPiece, plat::kSockMaxPieces> iov;
    TWriteThroughSend send;
    WriteThrough r = PrepareWriteThrough(aFrame, iov.data(), send);
    if (r != WriteThrough::Sending) return r;
    size_t sent = 0;
    const int code = SendRawV(iov.data(), send.Count, sent);
    r = CompleteWriteThrough(send, code, sent);
    // More pending than one send takes, all of it taken: the rest follows now.
    if (r == WriteThrough::Queued && code == 0 && sent >= send.Pending) {
        if (!Flush()) return WriteThrough::Queued;
        return PendingBytes() == 0 ? WriteThrough::Sent : WriteThrough::Queued;
    }
    return r;
}

int TWriteThroughBatch::Code(size_t i) const {
    if (f_Batch.Result(i) >= 0) return 0;
    const int e = f_Batch.Error(i);
    return e == plat::kSockErrWouldBlock ? 0 : e;
}

size_t TWriteThroughBatch::Sent(size_t i) const {
    const long r = f_Batch.Result(i);
    return r > 0 ? static_cast<size_t>(r) : 0;
}

TWriteThroughBatch::WriteThrough TWriteThroughBatch::Put(TAsyncWriter2SocketThreadSafe& aOut,
                                                         const TSharedFrame& aFrame, void* aTag) {
    // Room first: a growth that fails must not leave a send taken and lost.
    f_Entries.push_back({&aOut, aTag, {}});
    TAsyncWriter2SocketThreadSafe::TWriteThroughSend& send = f_Entries.back().Send;
    const WriteThrough r = aOut.PrepareWriteThrough(aFrame, f_Pieces.data(), send);
    if (r != WriteThrough::Sending) {
        f_Entries.pop_back();
        return r;
    }
    try {
        f_Batch.Add(send.Socket, f_Pieces.data(), send.Count);
    } catch (...) {
        const TAsyncWriter2SocketThreadSafe::TWriteThroughSend taken = send;
        f_Entries.pop_back();
        aOut.CompleteWriteThrough(taken, 0, 0);
        throw;
    }
    return r;
}

namespace {

void CloseNow(int aSocket) {
    SocketSetReuseAddr(aSocket, true);
    SocketCloseHandle(aSocket);
}

}  // namespace

void TAsyncWriter2SocketThreadSafe::CloseSocket() {
    int s;
    {
        plat::MutexLock lock(f_CritA);
        s = f_Socket.exchange(INVALID_SOCKET_HANDLE, std::memory_order_relaxed);
        if (s == INVALID_SOCKET_HANDLE) return;
        if (f_Sending) {
            f_CloseAfterSend = s;
            return;
        }
    }
    CloseNow(s);
}

int TAsyncWriter2SocketThreadSafe::SendRawV(const plat::SockIoPiece* aPieces, size_t aCount,
                                            size_t& aSent) {
    if (f_SendPages && aCount == 1) {
        const int code =
            plat::SockSendPages(SendingSocket(), aPieces[0].Data, aPieces[0].Len, aSent);
        if (code != plat::kSockPagesUnsupported) return code;
    }
    return SocketSendVNonBlocking(SendingSocket(), aPieces, aCount, aSent);
}

bool TAsyncWriter2SocketThreadSafe::BeginSend(plat::SockIoPiece* aPieces, size_t& aCount,
                                              size_t& aPending) {
    aCount = 0;
    aPending = 0;
    if (f_Busy == 0 || f_Sending) return false;
    f_SendPages = false;
    for (size_t i = 0; i < f_Pieces.Count() && aCount < plat::kSockMaxPieces; ++i) {
        const detail::AsyncWriterPiece& p = f_Pieces.At(i);
        // The chunk a drained buffer keeps for its next bytes holds none yet.
        if (p.Len == 0) continue;
        // A long paged frame goes alone, by reference; what is pending
        // before it goes first, and the flush goes on to it.
        const bool pages = p.Frame.Paged() && p.Len >= kAsyncWriterPagesFrom;
        if (pages && aCount > 0) break;
        aPieces[aCount++] = {p.Ptr, p.Len};
        aPending += p.Len;
        if (pages) {
            f_SendPages = true;
            break;
        }
    }
    f_Sending = true;
    f_DroppedWhileSending = false;
    f_SendSocket = f_Socket.load(std::memory_order_relaxed);
    return true;
}

size_t TAsyncWriter2SocketThreadSafe::EndSend(int aCode, size_t aSent, size_t aPending,
                                              bool& aMore) {
    aMore = false;
    std::u16string desc;
    if (aCode != 0) desc = FormatSocketSysError(aCode);

    // Sent pieces and those a Clear dropped go back once the lock is released,
    // and a close that waited for this send happens then.
    std::array<TOutChunk*, plat::kSockMaxPieces> doneChunks;
    size_t doneCount = 0;
    std::vector<TSharedFrame>& doneFrames = t_DoneFrames;
    detail::AsyncWriterPieces retired;
    int closeNow = INVALID_SOCKET_HANDLE;
    size_t sent = aSent;
    {
        plat::MutexLock lock(f_CritA);
        f_Sending = false;
        f_SendSocket = INVALID_SOCKET_HANDLE;
        closeNow = std::exchange(f_CloseAfterSend, INVALID_SOCKET_HANDLE);
        retired.Swap(f_Retired);
        f_SocketErrorCode.store(aCode, std::memory_order_relaxed);
        if (aCode != 0) {
            f_ErrorDesc = std::move(desc);
            sent = 0;
        } else {
            sent = std::min(sent, aPending);
            f_NeedWaitHint.store(sent < aPending, std::memory_order_relaxed);
        }
        if (sent > 0 && !f_DroppedWhileSending) {
            size_t left = sent;
            while (left > 0) {
                detail::AsyncWriterPiece& p = f_Pieces.At(0);
                if (p.Len > left) {
                    p.Ptr += left;
                    p.Len -= left;
                    break;
                }
                left -= p.Len;
                if (p.Chunk != nullptr && f_Pieces.Count() == 1) {
                    // The last chunk, sent whole: kept for what comes next,
                    // so a quiet connection's keep-alives and answers take
                    // nothing from the pool. Nothing was appended behind the
                    // sent bytes, so none is read or written there now.
                    p.Ptr = p.Chunk->Data;
                    p.Len = 0;
                    break;
                }
                detail::AsyncWriterPiece sentPiece = f_Pieces.PopFront();
                if (sentPiece.Chunk != nullptr) {
                    --f_Chunks;
                    doneChunks[doneCount++] = sentPiece.Chunk;
                } else {
                    doneFrames.push_back(std::move(sentPiece.Frame));
                }
            }
            f_Busy -= sent;
            aMore = sent == aPending && f_Busy > 0;
        }
        if (sent > 0) {
            f_LeftHint.store(f_Busy, std::memory_order_relaxed);
            PublishHints();
        }
    }
    if (closeNow != INVALID_SOCKET_HANDLE) CloseNow(closeNow);
    for (size_t i = 0; i < doneCount; ++i) OutChunkPut(doneChunks[i]);
    doneFrames.clear();
    return sent;
}

bool TAsyncWriter2SocketThreadSafe::SendOnce(size_t& aSent, bool& aMore) {
    aSent = 0;
    aMore = false;
    std::array<plat::SockIoPiece, plat::kSockMaxPieces> iov;
    size_t count = 0;
    size_t pending = 0;
    {
        plat::MutexLock lock(f_CritA);
        if (!BeginSend(iov.data(), count, pending)) {
            if (f_Busy == 0) f_NeedWaitHint.store(false, std::memory_order_relaxed);
            return true;
        }
    }
    size_t sent = 0;
    const int code = SendRawV(iov.data(), count, sent);
    aSent = EndSend(code, sent, pending, aMore);
    return code == 0;
}

bool TAsyncWriter2SocketThreadSafe::Flush() {
    // An append racing with this test is sent by the next flush: its
    // producer wakes the flushing thread after appending.
    if (f_BusyHint.load(std::memory_order_acquire) == 0) {
        f_NeedWaitHint.store(false, std::memory_order_relaxed);
        return true;
    }
    size_t total = 0;
    for (;;) {
        size_t sent = 0;
        bool more = false;
        if (!SendOnce(sent, more)) return false;
        total += sent;
        if (!more) break;
    }
    if (total > 0 && OnWrite) OnWrite(this, static_cast<int>(std::min<size_t>(total, INT32_MAX)));
    return true;
}

void TAsyncWriter2SocketThreadSafe::FlushExc() {
    if (!Flush()) throw Exception(ErrorDesc());
}

std::u16string TAsyncWriter2SocketThreadSafe::ErrorDesc() const {
    plat::MutexLock lock(f_CritA);
    return f_ErrorDesc;
}

}  // namespace gax
