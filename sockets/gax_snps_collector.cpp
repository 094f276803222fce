#include "sockets/gax_snps_collector.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sockets/gax_snps_waiter.h"

namespace gax {

namespace {

// ---- stand-ins until the shared tick and raw socket helpers land ----
TCollectorTick32 NowTick() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<TCollectorTick32>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                         static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

int MapErrno(int e) {
    switch (e) {
        case ECONNRESET:
        case EPIPE:
            return 10054;
        case EBADF:
            return 10009;
        case ENOTSOCK:
            return 10038;
        case ENOTCONN:
            return 10057;
        case ETIMEDOUT:
            return 10060;
        case ECONNABORTED:
            return 10053;
        case EINVAL:
            return 10022;
        default:
            return 10000 + e;
    }
}

int RecvNonBlocking(int s, void* buf, size_t size, size_t& count) {
    count = 0;
    for (;;) {
        const ssize_t r = ::recv(s, buf, size, MSG_DONTWAIT);
        if (r > 0) {
            count = static_cast<size_t>(r);
            return 0;
        }
        if (r == 0) return 10054;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS) return 0;
        return MapErrno(errno);
    }
}

int ProbePeerGone(int s) {
    pollfd p{s, POLLRDHUP, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return MapErrno(errno);
    if (p.revents & POLLNVAL) return 10038;
    if (p.revents & POLLERR) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
        return err ? MapErrno(err) : 10054;
    }
    if (p.revents & (POLLRDHUP | POLLHUP)) return 10054;
    return 0;
}

std::u16string SocketErrorText(int code) {
    std::string t = "Socket error (" + std::to_string(code) + ")";
    return std::u16string(t.begin(), t.end());
}

const char kTooLong[] = "Collector got too long string";

const char* FindLf(const char* p, int n) {
    return n > 0 ? static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(n))) : nullptr;
}

}  // namespace

std::u16string CollectorTooLongStringText() {
    return u"Collector got too long string";
}

// ---- construction ----

TCollectorBase::TCollectorBase(int aInputBufSize) {
    int64_t size =
        aInputBufSize < 128 ? 128 : (static_cast<int64_t>(aInputBufSize) + 127) / 128 * 128;
    // The buffer is a line guard, not a store: keep the offsets far from overflow.
    size = std::min<int64_t>(size, 1 << 30);
    f_BufSize = static_cast<int>(size);
    f_Buf = std::make_unique<char[]>(static_cast<size_t>(f_BufSize) + 32);
    f_BufDataPtr = f_Buf.get();
}

TCollectorBase::~TCollectorBase() = default;

void TCollectorBase::Clear() {
    f_BufTotal = f_BufUsed = f_BufDirty = f_BufScanned = 0;
    f_BufDataPtr = f_Buf.get();
    f_BufDataLen = 0;
    f_BinReady = f_BinToCollect = 0;
    f_BinPtr = nullptr;
    p_Fast = nullptr;
    f_Mode = colm_None;
    f_StringLengthExceeded = false;
    f_Eof = false;
    f_FastEof = false;
    f_SkipLineRest = false;
    f_OperationalTimeout = kNoTimeout;
    f_ErrorCode = -1;
}

// ---- starting operations ----

void TCollectorBase::BeginOp(bool aClearExceeded) {
    if (f_Mode != colm_None) throw ECollectorBusy("Collector busy");
    if (aClearExceeded) f_StringLengthExceeded = false;
}

void TCollectorBase::ArmFrom(TCollectorTick32 aTick) {
    f_OperationalTimeout = Timeout;
    if (Timeout != 0 && Timeout != kNoTimeout) f_WaitStartTick = aTick;
}

void TCollectorBase::StartStringFromNow(int aMaxLen) {
    StartStringFromTick(aMaxLen, NowTick());
}
void TCollectorBase::StartStringFromTick(int aMaxLen, TCollectorTick32 theStartTick) {
    NextString(aMaxLen);
    ArmFrom(theStartTick);
}
void TCollectorBase::NextString(int aMaxLen) {
    BeginOp(true);
    f_StrMax = std::max(aMaxLen, 0);
    f_String.clear();
    f_Mode = colm_String;
}

void TCollectorBase::StartBinaryFromNow(void* aPtr, int aLen) {
    StartBinaryFromTick(aPtr, aLen, NowTick());
}
void TCollectorBase::StartBinaryFromTick(void* aPtr, int aLen, TCollectorTick32 theStartTick) {
    NextBinary(aPtr, aLen);
    ArmFrom(theStartTick);
}
void TCollectorBase::NextBinary(void* aPtr, int aLen) {
    BeginOp(true);
    if (aLen > 0 && aPtr == nullptr) throw ECollectorError("Collector target is null");
    f_BinPtr = static_cast<char*>(aPtr);
    f_BinToCollect = std::max(aLen, 0);
    f_BinReady = f_BinSize = 0;
    f_Mode = colm_Binary;
}

void TCollectorBase::StartFastStringFromNow(FastStringA& aFast, int aMaxLen) {
    StartFastStringFromTick(aFast, aMaxLen, NowTick());
}
void TCollectorBase::StartFastStringFromTick(FastStringA& aFast, int aMaxLen,
                                             TCollectorTick32 theStartTick) {
    NextFastString(aFast, aMaxLen);
    ArmFrom(theStartTick);
}
void TCollectorBase::NextFastString(FastStringA& aFast, int aMaxLen) {
    BeginOp(true);
    f_StrMax = std::max(aMaxLen, 0);
    aFast.Clear();
    p_Fast = &aFast;
    f_Mode = colm_FastStr;
}

void TCollectorBase::StartBufStringFromNow(int aMaxLen) {
    StartBufStringFromTick(aMaxLen, NowTick());
}
void TCollectorBase::StartBufStringFromTick(int aMaxLen, TCollectorTick32 theStartTick) {
    NextWaitlessBufString(aMaxLen);
    ArmFrom(theStartTick);
}
void TCollectorBase::NextBufString(int aMaxLen) {
    NextWaitlessBufString(aMaxLen);
    f_OperationalTimeout = Timeout;
}
void TCollectorBase::NextWaitlessBufString(int aMaxLen) {
    BeginOp(true);
    if (aMaxLen > f_BufSize - 2) throw ECollectorSizeTooBig("Size too big");
    f_StrMax = std::max(aMaxLen, 0);
    f_BufScanned = f_BufUsed;
    f_Mode = colm_BufString;
}

void TCollectorBase::StartBufBinaryFromNow(int aLen) {
    StartBufBinaryFromTick(aLen, NowTick());
}
void TCollectorBase::StartBufBinaryFromTick(int aLen, TCollectorTick32 theStartTick) {
    NextWaitlessBufBinary(aLen);
    ArmFrom(theStartTick);
}
void TCollectorBase::NextBufBinary(int aLen) {
    NextWaitlessBufBinary(aLen);
    f_OperationalTimeout = Timeout;
}
void TCollectorBase::NextWaitlessBufBinary(int aLen) {
    BeginOp(true);
    if (aLen > f_BufSize) throw ECollectorSizeTooBig("Size too big");
    f_BinToCollect = std::max(aLen, 0);
    f_BufScanned = f_BufUsed;
    f_Mode = colm_BufBinary;
}

void TCollectorBase::StartWaitFromNow() {
    StartWaitFromTick(NowTick());
}
void TCollectorBase::StartWaitFromTick(TCollectorTick32 theStartTick) {
    NextWait();
    ArmFrom(theStartTick);
}
void TCollectorBase::NextWait() {
    BeginOp(false);
}

TCollectorCheckResult TCollectorBase::StartBufStringAndCheck(int aMaxLen, TCollectorTick32 aTick) {
    StartBufStringFromTick(aMaxLen, aTick);
    return CheckCollectorWithTick(aTick);
}

// ---- time ----

TCollectorTick32 TCollectorBase::RemainWaitFromTheTick(TCollectorTick32 theTick) {
    if (f_OperationalTimeout == kNoTimeout) return kNoTimeout;
    if (f_OperationalTimeout == 0) return 0;
    const TCollectorTick32 elapsed = theTick - f_WaitStartTick;
    if (elapsed >= f_OperationalTimeout) {
        f_OperationalTimeout = 0;
        return 0;
    }
    return f_OperationalTimeout - elapsed;
}

TCollectorTick32 TCollectorBase::RemainWaitFromNow() {
    return RemainWaitFromTheTick(NowTick());
}

bool TCollectorBase::IsTimeout(TCollectorTick32 theTick) const {
    if (f_OperationalTimeout == kNoTimeout) return false;
    if (f_OperationalTimeout == 0) return true;
    return theTick - f_WaitStartTick >= f_OperationalTimeout;
}

void TCollectorBase::SetWaitStartTickToNow() {
    f_WaitStartTick = NowTick();
}

void TCollectorBase::SetError(int aCode, std::u16string aDescr) {
    f_ErrorCode = aCode;
    f_ErrorDesc = std::move(aDescr);
}

// ---- the engine ----

TCollectorCheckResult TCollectorBase::CheckCollectorWithNow() {
    return CheckCollectorWithTick(NowTick());
}

TCollectorCheckResult TCollectorBase::CheckCollectorWithTick(TCollectorTick32 aTick) {
    f_LastCheckResult = colr_NotReady;
    TCollectorCheckResult r;
    switch (f_Mode) {
        case colm_None:
            r = CheckNone(aTick);
            break;
        case colm_String:
        case colm_FastStr:
            r = CheckLine(aTick);
            break;
        case colm_Binary:
            r = CheckBinary(aTick);
            break;
        case colm_BufString:
            r = CheckBufString(aTick);
            break;
        case colm_BufBinary:
            r = CheckBufBinary(aTick);
            break;
        default:
            throw ECollectorInvalidMode("Collector mode is invalide");
    }
    f_LastCheckResult = r;
    return r;
}

void TCollectorBase::Consume(int n) {
    f_BufUsed += n;
    f_BufDirty -= n;
    if (f_BufDirty == 0) f_BufUsed = f_BufTotal = f_BufScanned = 0;
}

void TCollectorBase::CompactToStart() {
    if (f_BufUsed == 0) return;
    std::memmove(f_Buf.get(), f_Buf.get() + f_BufUsed, static_cast<size_t>(f_BufDirty));
    f_BufScanned = std::max(f_BufScanned - f_BufUsed, 0);
    f_BufTotal = f_BufDirty;
    f_BufUsed = 0;
}

TCollectorBase::ReadOutcome TCollectorBase::ReadMore(bool aLineMode) {
    const int space = f_BufSize - f_BufTotal;
    int got = 0;
    const uint8_t rc = ReadSource(f_Buf.get() + f_BufTotal, space, got);
    switch (rc) {
        case kReadData:
            if (got <= 0 || space == 0) {
                f_CouldBeRawBytesOnSource = false;
                return ReadOutcome::Nothing;
            }
            got = std::min(got, space);
            CollectorReadCounter += static_cast<uintptr_t>(got);
            f_BufTotal += got;
            f_BufDirty += got;
            f_CouldBeRawBytesOnSource = got == space;
            return ReadOutcome::Data;
        case kReadEof:
            f_Mode = colm_None;
            f_OperationalTimeout = 0;
            f_Eof = true;
            return ReadOutcome::Eof;
        case kReadError:
            f_Mode = colm_None;
            f_OperationalTimeout = 0;
            return ReadOutcome::Error;
        default:
            if (f_Mode == colm_FastStr) return ReadOutcome::Nothing;
            throw Exception(aLineMode ? "Unknown collector read result {1}"
                                      : "Unknown collector read result {2}");
    }
}

TCollectorCheckResult TCollectorBase::TimeoutRule(TCollectorTick32 aTick) {
    if (f_OperationalTimeout == kNoTimeout) return colr_NotReady;
    if (f_OperationalTimeout != 0 && aTick - f_WaitStartTick < f_OperationalTimeout)
        return colr_NotReady;
    f_OperationalTimeout = 0;
    f_Mode = colm_None;
    return colr_Timeout;
}

TCollectorCheckResult TCollectorBase::EndOp(TCollectorCheckResult r) {
    f_Mode = colm_None;
    return r;
}

bool TCollectorBase::AppendLinePiece(const char* p, int n) {
    const size_t have = f_Mode == colm_FastStr ? p_Fast->Len() : f_String.size();
    const int64_t total = static_cast<int64_t>(have) + n;
    int take = n;
    if (total > f_StrMax) {
        switch (StringExceededLengthMode) {
            case ceslm_Result:
                return false;
            case ceslm_Exception:
                throw ECollectorExceededStringLength(kTooLong);
            default:
                f_StringLengthExceeded = true;
                take =
                    static_cast<int>(std::max<int64_t>(0, f_StrMax - static_cast<int64_t>(have)));
                take = std::min(take, n);
                break;
        }
    }
    if (take > 0) {
        if (f_Mode == colm_FastStr)
            p_Fast->Append(p, static_cast<size_t>(take));
        else
            f_String.append(p, static_cast<size_t>(take));
    }
    return true;
}

TCollectorCheckResult TCollectorBase::CheckLine(TCollectorTick32 aTick) {
    for (;;) {
        if (f_BufDirty > 0) {
            const char* start = f_Buf.get() + f_BufUsed;
            const char* lf = FindLf(start, f_BufDirty);
            if (lf) {
                const int n = static_cast<int>(lf - start);
                if (!AppendLinePiece(start, n)) return colr_ExceededStringLength;
                Consume(n + 1);
                if (f_Mode == colm_FastStr) {
                    const size_t len = p_Fast->Len();
                    if (len > 0 && p_Fast->Data()[len - 1] == '\r') p_Fast->Truncate(len - 1);
                } else if (!f_String.empty() && f_String.back() == '\r') {
                    f_String.pop_back();
                }
                return EndOp(colr_Ready);
            }
            if (!AppendLinePiece(start, f_BufDirty)) return colr_ExceededStringLength;
            Consume(f_BufDirty);
        }
        const bool fast = f_Mode == colm_FastStr;
        switch (ReadMore(true)) {
            case ReadOutcome::Data:
                continue;
            case ReadOutcome::Nothing:
                return TimeoutRule(aTick);
            case ReadOutcome::Error:
                return colr_Error;
            case ReadOutcome::Eof: {
                if (f_FastEof) return colr_EOF;
                const size_t have = fast ? p_Fast->Len() : f_String.size();
                return have > 0 ? colr_Ready : colr_EOF;
            }
        }
    }
}

TCollectorCheckResult TCollectorBase::CheckBinary(TCollectorTick32 aTick) {
    for (;;) {
        if (f_BufDirty > 0 && f_BinReady < f_BinToCollect) {
            const int take = std::min(f_BufDirty, f_BinToCollect - f_BinReady);
            std::memcpy(f_BinPtr + f_BinReady, f_Buf.get() + f_BufUsed, static_cast<size_t>(take));
            Consume(take);
            f_BinReady += take;
        }
        if (f_BinReady >= f_BinToCollect) {
            f_BinSize = f_BinReady;
            f_BinReady = f_BinToCollect = 0;
            return EndOp(colr_Ready);
        }
        switch (ReadMore(false)) {
            case ReadOutcome::Data:
                continue;
            case ReadOutcome::Nothing:
                return TimeoutRule(aTick);
            case ReadOutcome::Error:
                return colr_Error;
            case ReadOutcome::Eof:
                if (f_FastEof || f_BinReady == 0) return colr_EOF;
                f_BinSize = f_BinReady;
                f_BinReady = f_BinToCollect = 0;
                return colr_Ready;
        }
    }
}

TCollectorCheckResult TCollectorBase::CheckBufString(TCollectorTick32 aTick) {
    for (;;) {
        if (f_SkipLineRest && f_BufDirty > 0) {
            const char* start = f_Buf.get() + f_BufUsed;
            const char* lf = FindLf(start, f_BufDirty);
            if (lf) {
                f_SkipLineRest = false;
                Consume(static_cast<int>(lf - start) + 1);
            } else {
                Consume(f_BufDirty);
            }
            f_BufScanned = f_BufUsed;
        }
        if (!f_SkipLineRest) {
            f_BufScanned = std::max(f_BufScanned, f_BufUsed);
            const char* lf = FindLf(f_Buf.get() + f_BufScanned, f_BufTotal - f_BufScanned);
            if (lf) {
                const char* start = f_Buf.get() + f_BufUsed;
                const int n = static_cast<int>(lf - start);
                int len = n;
                if (n > f_StrMax) {
                    if (StringExceededLengthMode == ceslm_Result) return colr_ExceededStringLength;
                    if (StringExceededLengthMode == ceslm_Exception)
                        throw ECollectorExceededStringLength(kTooLong);
                    f_StringLengthExceeded = true;
                    len = f_StrMax;
                }
                if (len > 0 && start[len - 1] == '\r') --len;
                f_BufDataPtr = start;
                f_BufDataLen = len;
                Consume(n + 1);
                f_BufScanned = f_BufUsed;
                return EndOp(colr_Ready);
            }
            f_BufScanned = f_BufTotal;
            CompactToStart();
            if (f_BufDirty > f_StrMax) {
                if (StringExceededLengthMode == ceslm_Result) return colr_ExceededStringLength;
                if (StringExceededLengthMode == ceslm_Exception)
                    throw ECollectorExceededStringLength(kTooLong);
                // The line cannot end within the limit: hand out its first part
                // and drop the rest up to its line feed.
                f_StringLengthExceeded = true;
                f_BufDataPtr = f_Buf.get() + f_BufUsed;
                f_BufDataLen = f_StrMax;
                f_SkipLineRest = true;
                Consume(f_BufDirty);
                return EndOp(colr_Ready);
            }
        }
        switch (ReadMore(true)) {
            case ReadOutcome::Data:
                continue;
            case ReadOutcome::Nothing:
                return TimeoutRule(aTick);
            case ReadOutcome::Error:
                return colr_Error;
            case ReadOutcome::Eof: {
                if (f_FastEof || f_SkipLineRest) return colr_EOF;
                const char* start = f_Buf.get() + f_BufUsed;
                int len = f_BufDirty;
                if (len > 0 && start[len - 1] == '\r') --len;
                if (len <= 0) return colr_EOF;
                f_BufDataPtr = start;
                f_BufDataLen = len;
                Consume(f_BufDirty);
                return colr_Ready;
            }
        }
    }
}

TCollectorCheckResult TCollectorBase::CheckBufBinary(TCollectorTick32 aTick) {
    for (;;) {
        if (f_BufDirty >= f_BinToCollect) {
            f_BufDataPtr = f_Buf.get() + f_BufUsed;
            f_BufDataLen = f_BinToCollect;
            Consume(f_BinToCollect);
            return EndOp(colr_Ready);
        }
        CompactToStart();
        switch (ReadMore(false)) {
            case ReadOutcome::Data:
                continue;
            case ReadOutcome::Nothing:
                return TimeoutRule(aTick);
            case ReadOutcome::Error:
                return colr_Error;
            case ReadOutcome::Eof:
                return colr_EOF;
        }
    }
}

TCollectorCheckResult TCollectorBase::CheckNone(TCollectorTick32 aTick) {
    int got = 0;
    switch (ReadSource(f_Buf.get() + f_BufTotal, 0, got)) {
        case kReadEof:
            f_OperationalTimeout = 0;
            f_Eof = true;
            return colr_EOF;
        case kReadError:
            f_OperationalTimeout = 0;
            return colr_Error;
        default:
            return TimeoutRule(aTick);
    }
}

// ---- socket source ----

uint8_t TCollectorSocket::WaitFlagsFor(bool aNeedWaitForWrite) const {
    uint8_t flags = CollectorMode() == colm_None ? wf_CloseOnly : wf_Read;
    if (aNeedWaitForWrite) flags |= wf_Write;
    return flags;
}

uint8_t TCollectorSocket::ReadSource(char* aBuf, int aMaxLen, int& aRead) {
    aRead = 0;
    int code;
    if (aMaxLen <= 0) {
        // Never a zero-length receive: it cannot tell a close from waiting data.
        code = ProbePeerGone(f_Socket);
    } else {
        size_t count = 0;
        code = RecvNonBlocking(f_Socket, aBuf, static_cast<size_t>(aMaxLen), count);
        aRead = static_cast<int>(count);
    }
    if (code == 0) {
        SetError(0, ErrorDesc());
        return kReadData;
    }
    if (code == 10054) {
        SetError(code, ErrorDesc());
        return kReadEof;
    }
    SetError(code, SocketErrorText(code));
    return kReadError;
}

}  // namespace gax
