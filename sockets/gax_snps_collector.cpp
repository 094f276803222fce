#include "sockets/gax_snps_collector.h"

#include <algorithm>
#include <cstring>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_datetime.h"
#include "foundation/gax_strutils.h"
#include "platform/plat_file.h"
#include "sockets/gax_snps_sockets.h"
#include "sockets/gax_snps_waiter.h"

namespace gax {

namespace {

const char16_t kTooLong[] = u"Collector got too long string";

}  // namespace

std::u16string CollectorTooLongStringText() {
    return kTooLong;
}

// ---- construction ----

TCollectorBase::TCollectorBase(int aInputBufSize) {
    int64_t size =
        aInputBufSize < 128 ? 128 : (static_cast<int64_t>(aInputBufSize) + 127) / 128 * 128;
    // The buffer is a line guard, not a store: keep the offsets far from overflow.
    size = std::min<int64_t>(size, 1 << 30);
    f_BufSize = static_cast<int>(size);
}

TCollectorBase::~TCollectorBase() = default;

void TCollectorBase::Clear() {
    f_BufTotal = f_BufUsed = f_BufScanned = 0;
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
    f_SourceDrained = false;
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
    StartStringFromTick(aMaxLen, GetTick32());
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
    StartBinaryFromTick(aPtr, aLen, GetTick32());
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
    StartFastStringFromTick(aFast, aMaxLen, GetTick32());
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
    StartBufStringFromTick(aMaxLen, GetTick32());
}
void TCollectorBase::StartBufStringFromTick(int aMaxLen, TCollectorTick32 theStartTick) {
    NextBufString(aMaxLen);
    ArmFrom(theStartTick);
}
void TCollectorBase::NextBufString(int aMaxLen) {
    BeginOp(true);
    if (aMaxLen > f_BufSize - 2) throw ECollectorSizeTooBig("Size too big");
    f_StrMax = std::max(aMaxLen, 0);
    f_BufScanned = f_BufUsed;
    f_Mode = colm_BufString;
    f_OperationalTimeout = Timeout;
}

void TCollectorBase::StartBufBinaryFromNow(int aLen) {
    StartBufBinaryFromTick(aLen, GetTick32());
}
void TCollectorBase::StartBufBinaryFromTick(int aLen, TCollectorTick32 theStartTick) {
    NextBufBinary(aLen);
    ArmFrom(theStartTick);
}
void TCollectorBase::NextBufBinary(int aLen) {
    BeginOp(true);
    if (aLen > f_BufSize) throw ECollectorSizeTooBig("Size too big");
    f_BinToCollect = std::max(aLen, 0);
    f_BufScanned = f_BufUsed;
    f_Mode = colm_BufBinary;
    f_OperationalTimeout = Timeout;
}

void TCollectorBase::StartWaitFromNow() {
    StartWaitFromTick(GetTick32());
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
    return RemainWaitFromTheTick(GetTick32());
}

bool TCollectorBase::IsTimeout(TCollectorTick32 theTick) const {
    if (f_OperationalTimeout == kNoTimeout) return false;
    if (f_OperationalTimeout == 0) return true;
    return theTick - f_WaitStartTick >= f_OperationalTimeout;
}

void TCollectorBase::SetWaitStartTickToNow() {
    f_WaitStartTick = GetTick32();
}

void TCollectorBase::SetError(int aCode, std::u16string aDescr) {
    f_ErrorCode = aCode;
    f_ErrorDesc = std::move(aDescr);
}

// ---- the engine ----

TCollectorCheckResult TCollectorBase::CheckCollectorWithNow() {
    return CheckCollectorWithTick(GetTick32());
}

TCollectorCheckResult TCollectorBase::CheckCollectorWithTick(TCollectorTick32 aTick) {
    f_LastCheckResult = colr_NotReady;
    f_CallRead = 0;
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
    if (f_BufUsed == f_BufTotal) f_BufUsed = f_BufTotal = f_BufScanned = 0;
}

void TCollectorBase::CompactToStart() {
    if (f_BufUsed == 0) return;
    std::memmove(f_Buf.get(), f_Buf.get() + f_BufUsed, static_cast<size_t>(DirtyLen()));
    f_BufScanned = std::max(f_BufScanned - f_BufUsed, 0);
    f_BufTotal -= f_BufUsed;
    f_BufUsed = 0;
}

TCollectorBase::ReadOutcome TCollectorBase::ReadMore(bool aLineMode) {
    if (f_SourceDrained) {
        f_SourceDrained = false;
        // Asking again would cost a recv that says "would block". Skipping
        // once is enough: the check ends here, and data, a close or an error
        // that came since wake the owner's wait, which reports them readable.
        // An operation at its deadline asks all the same: what arrived before
        // it must not be timed out unread because its event was not served yet.
        if (!IsTimeout(GetTick32())) {
            f_CouldBeRawBytesOnSource = false;
            return ReadOutcome::Nothing;
        }
    }
    // Allocated at the first read, on the thread that owns the collector: a
    // session is built on the thread that accepts it, which then pays neither
    // the allocation nor its first-touch faults. Left unfilled: only bytes
    // read in are ever looked at, and a buffer never written past its first
    // lines never costs its later pages (a held station mostly sees short
    // keep-alives).
    if (!f_Buf) f_Buf = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(f_BufSize) + 32);
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
            f_CallRead += got;
            f_BufTotal += got;
            f_CouldBeRawBytesOnSource = got == space;
            f_SourceDrained = got < space && ShortReadDrainsSource();
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

bool TCollectorBase::StopBetweenReads(TCollectorTick32 aTick, TCollectorCheckResult& aResult) {
    if (f_CallRead == 0) return false;
    // A running deadline is tested after every read; an operation armed with
    // no time (0) still takes what the source holds now, up to its end.
    if (f_OperationalTimeout != 0 && f_OperationalTimeout != kNoTimeout) {
        aResult = TimeoutRule(aTick);
        if (aResult == colr_Timeout) return true;
    }
    if (f_CallRead < f_BufSize) return false;
    aResult = TimeoutRule(aTick);
    return true;
}

TCollectorCheckResult TCollectorBase::EndOp(TCollectorCheckResult r) {
    f_Mode = colm_None;
    return r;
}

bool TCollectorBase::CutOverlongLine() {
    switch (StringExceededLengthMode) {
        case ceslm_Result:
            return false;
        case ceslm_Exception:
            throw ECollectorExceededStringLength(std::u16string(kTooLong));
        default:
            f_StringLengthExceeded = true;
            return true;
    }
}

bool TCollectorBase::AppendLinePiece(const char* p, int n) {
    const size_t have = f_Mode == colm_FastStr ? p_Fast->Len() : f_String.size();
    const int64_t total = static_cast<int64_t>(have) + n;
    int take = n;
    if (total > f_StrMax) {
        if (!CutOverlongLine()) return false;
        take = static_cast<int>(std::max<int64_t>(0, f_StrMax - static_cast<int64_t>(have)));
        take = std::min(take, n);
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
        if (const int dirty = DirtyLen(); dirty > 0) {
            const char* start = f_Buf.get() + f_BufUsed;
            const char* lf = FindLFInBuf(start, dirty);
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
            if (!AppendLinePiece(start, dirty)) return colr_ExceededStringLength;
            Consume(dirty);
        }
        const bool fast = f_Mode == colm_FastStr;
        if (TCollectorCheckResult r; StopBetweenReads(aTick, r)) return r;
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
        if (const int dirty = DirtyLen(); dirty > 0 && f_BinReady < f_BinToCollect) {
            const int take = std::min(dirty, f_BinToCollect - f_BinReady);
            std::memcpy(f_BinPtr + f_BinReady, f_Buf.get() + f_BufUsed, static_cast<size_t>(take));
            Consume(take);
            f_BinReady += take;
        }
        if (f_BinReady >= f_BinToCollect) {
            f_BinSize = f_BinReady;
            f_BinReady = f_BinToCollect = 0;
            return EndOp(colr_Ready);
        }
        if (TCollectorCheckResult r; StopBetweenReads(aTick, r)) return r;
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
        if (f_SkipLineRest && DirtyLen() > 0) {
            const char* start = f_Buf.get() + f_BufUsed;
            const char* lf = FindLFInBuf(start, DirtyLen());
            if (lf) {
                f_SkipLineRest = false;
                Consume(static_cast<int>(lf - start) + 1);
            } else {
                Consume(DirtyLen());
            }
        }
        if (!f_SkipLineRest) {
            // Resumes the search where the last one stopped, never before the line.
            f_BufScanned = std::max(f_BufScanned, f_BufUsed);
            const char* lf = FindLFInBuf(f_Buf.get() + f_BufScanned, f_BufTotal - f_BufScanned);
            if (lf) {
                const char* start = f_Buf.get() + f_BufUsed;
                const int n = static_cast<int>(lf - start);
                int len = n;
                if (n > f_StrMax) {
                    if (!CutOverlongLine()) return colr_ExceededStringLength;
                    len = f_StrMax;
                }
                if (len > 0 && start[len - 1] == '\r') --len;
                f_BufDataPtr = start;
                f_BufDataLen = len;
                Consume(n + 1);
                return EndOp(colr_Ready);
            }
            f_BufScanned = f_BufTotal;
            CompactToStart();
            if (DirtyLen() > f_StrMax) {
                if (!CutOverlongLine()) return colr_ExceededStringLength;
                // The line cannot end within the limit: hand out its first part
                // and drop the rest up to its line feed.
                f_BufDataPtr = f_Buf.get() + f_BufUsed;
                int len = f_StrMax;
                // The same cut whether or not the line feed has arrived.
                if (len > 0 && f_BufDataPtr[len - 1] == '\r') --len;
                f_BufDataLen = len;
                f_SkipLineRest = true;
                Consume(DirtyLen());
                return EndOp(colr_Ready);
            }
        }
        if (TCollectorCheckResult r; StopBetweenReads(aTick, r)) return r;
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
                const int dirty = DirtyLen();
                int len = dirty;
                if (len > 0 && start[len - 1] == '\r') --len;
                if (len <= 0) return colr_EOF;
                f_BufDataPtr = start;
                f_BufDataLen = len;
                Consume(dirty);
                return colr_Ready;
            }
        }
    }
}

TCollectorCheckResult TCollectorBase::CheckBufBinary(TCollectorTick32 aTick) {
    for (;;) {
        if (DirtyLen() >= f_BinToCollect) {
            f_BufDataPtr = f_Buf.get() + f_BufUsed;
            f_BufDataLen = f_BinToCollect;
            Consume(f_BinToCollect);
            return EndOp(colr_Ready);
        }
        CompactToStart();
        if (TCollectorCheckResult r; StopBetweenReads(aTick, r)) return r;
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
    size_t count = 0;
    // A request for zero bytes is the idle close probe; it never takes data.
    const int code =
        SocketRecvNonBlocking(f_Socket, aBuf, static_cast<size_t>(std::max(aMaxLen, 0)), count);
    SetErrorCode(code);
    if (code == 0) {
        aRead = static_cast<int>(count);
        return kReadData;
    }
    if (code == 10054) return kReadEof;
    SetError(code, SocketSysErrorText(code));
    return kReadError;
}

// ---- file source ----

TCollectorFile::TCollectorFile(std::u16string aFileName, int aBufferSize)
    : TCollectorBase(aBufferSize) {
    f_FileName = std::move(aFileName);
    Open();
}

TCollectorFile::~TCollectorFile() {
    CloseFile();
}

void TCollectorFile::Open() {
    if (f_FileName.empty()) throw ECollectorFileNameEmpty("Empty file name");
    CloseHandleOnly();
    OpenBinaryFile(f_FileName, fmOpenRead | fmShareDenyNone, f_File);
    f_Opened = true;
}

void TCollectorFile::Reset() {
    CloseFile();
    Clear();
}

void TCollectorFile::CloseHandleOnly() {
    if (f_File.IsOpen()) CloseBinaryFile(f_File);
    f_Opened = false;
}

void TCollectorFile::CloseFile() {
    if (!f_Opened) return;
    CloseHandleOnly();
    f_FileName.clear();
}

uint8_t TCollectorFile::ReadSource(char* aBuf, int aMaxLen, int& aRead) {
    aRead = 0;
    if (!f_Opened) {
        throw ECollectorFileNotOpened(u"File not opened: \"" + f_FileName + u"\"");
    }
    // A file has nothing to probe: asking for no bytes is never the end.
    if (aMaxLen <= 0) return kReadData;
    size_t got = 0;
    const int code = TryReadBinaryFile(f_File, aBuf, static_cast<size_t>(aMaxLen), got);
    if (code != 0) {
        SetError(code, Utf8BufToUnicodeStd(plat::ErrorText(code)));
        return kReadError;
    }
    if (got == 0) return kReadEof;
    aRead = static_cast<int>(got);
    return kReadData;
}

}  // namespace gax
