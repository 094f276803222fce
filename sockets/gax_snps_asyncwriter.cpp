#include "sockets/gax_snps_asyncwriter.h"

#include <algorithm>
#include <cstring>

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

// ---- shared buffer ----

TAsyncWriter2SocketThreadSafe::TAsyncWriter2SocketThreadSafe(int aLinearBufSize)
    : f_Block(aLinearBufSize) {
    plat::MutexLock lock(f_CritA);
    f_Min = f_Block.Total();
    PublishHints();
}

// No lock is taken here: whoever owns the buffer stops every thread that can
// reach it (the worker is joined or has let the context go, the heartbeat no
// longer finds it by key) before destroying it, so nothing can still be
// running inside. Waiting on the lock would only hide a broken teardown order.
TAsyncWriter2SocketThreadSafe::~TAsyncWriter2SocketThreadSafe() = default;

void TAsyncWriter2SocketThreadSafe::PublishHints() {
    // Pairs with the acquire in Flush: a flusher that sees the count also sees the bytes.
    f_BusyHint.store(f_Block.Busy(), std::memory_order_release);
    f_TotalHint.store(f_Block.Total(), std::memory_order_relaxed);
}

void TAsyncWriter2SocketThreadSafe::Clear() {
    plat::MutexLock lock(f_CritA);
    if (f_Sending) {
        f_Block.Drop();
        f_DroppedWhileSending = true;
    } else {
        f_Block.Clear();
    }
    f_LeftHint.store(0, std::memory_order_relaxed);
    f_SmartCounter = 0;
    f_NeedWaitHint.store(false, std::memory_order_relaxed);
    PublishHints();
}

bool TAsyncWriter2SocketThreadSafe::PutBytes(const void* aPtr, size_t aLen, bool aLineEnd) {
    if (aLen == 0) return true;
    plat::MutexLock lock(f_CritA);
    bool grew;
    const bool ok =
        f_Block.Append(aPtr, aLen, kCrLf, aLineEnd ? 2 : 0, grew, f_Sending ? &f_Retired : nullptr);
    if (grew) f_SmartCounter = 0;
    PublishHints();
    return ok;
}

bool TAsyncWriter2SocketThreadSafe::PutData(const void* aPtr, int aLen) {
    return aLen < 1 || PutBytes(aPtr, static_cast<size_t>(aLen), false);
}

bool TAsyncWriter2SocketThreadSafe::PutDataLn(const void* aPtr, int aLen) {
    return aLen < 1 || PutBytes(aPtr, static_cast<size_t>(aLen), true);
}

int TAsyncWriter2SocketThreadSafe::SendRaw(const char* aData, size_t aLen, size_t& aSent) {
    return SocketSendNonBlocking(Socket(), aData, aLen, aSent);
}

void TAsyncWriter2SocketThreadSafe::ApplyShrinkRule() {
    const size_t half = (f_Block.Total() / 2 + 127) / 128 * 128;
    if (f_Block.Busy() < half && f_Min < half) {
        if (++f_SmartCounter >= kShrinkAfterFlushes) {
            f_Block.Reallocate(half);
            f_TotalHint.store(half, std::memory_order_relaxed);
            f_SmartCounter = 0;
        }
    } else {
        f_SmartCounter = 0;
    }
}

bool TAsyncWriter2SocketThreadSafe::Flush() {
    // An append racing with this test is sent by the next flush: its
    // producer wakes the flushing thread after appending.
    if (f_BusyHint.load(std::memory_order_acquire) == 0) {
        f_NeedWaitHint.store(false, std::memory_order_relaxed);
        return true;
    }
    const char* data = nullptr;
    size_t pending = 0;
    {
        plat::MutexLock lock(f_CritA);
        pending = f_Block.Busy();
        if (pending == 0 || f_Sending) {
            if (pending == 0) f_NeedWaitHint.store(false, std::memory_order_relaxed);
            return true;
        }
        data = f_Block.Tail();
        f_Sending = true;
        f_DroppedWhileSending = false;
    }
    size_t sent = 0;
    const int code = SendRaw(data, pending, sent);
    std::u16string desc;
    if (code != 0) desc = FormatSocketSysError(code);

    // Freed once the lock is released.
    std::unique_ptr<char[]> retired;
    {
        plat::MutexLock lock(f_CritA);
        f_Sending = false;
        retired = std::move(f_Retired);
        f_SocketErrorCode.store(code, std::memory_order_relaxed);
        if (code != 0) {
            f_ErrorDesc = std::move(desc);
            return false;
        }
        sent = std::min(sent, pending);
        f_NeedWaitHint.store(sent < pending, std::memory_order_relaxed);
        if (sent == 0) return true;
        if (!f_DroppedWhileSending) {
            f_Block.Consumed(sent);
        } else if (f_Block.Busy() == 0) {
            f_Block.Clear();
        }
        f_LeftHint.store(f_Block.Busy(), std::memory_order_relaxed);
        PublishHints();
        if (f_Block.ReleaseIfDrained()) {
            f_TotalHint.store(f_Block.Total(), std::memory_order_relaxed);
            f_SmartCounter = 0;
        } else {
            ApplyShrinkRule();
        }
    }
    if (OnWrite) OnWrite(this, static_cast<int>(sent));
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
