// Input collectors: assemble input that arrives in pieces (lines ended by a
// line feed, or exact byte counts) without ever blocking. Each check reads what
// the source has now and completes the running unit or reports not-ready or a
// time-out. They are the server's input length guard.
// A collector belongs to the one thread that owns its connection or file; it
// has no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/gax_datetime.h"
#include "foundation/gax_faststring.h"
#include "foundation/gax_fileutils.h"
#include "foundation/gax_types.h"

namespace gax {

using TCollectorTick32 = TGaxTick32;  // milliseconds, 0xFFFFFFFF = no limit

enum TCollectorMode : uint8_t {
    colm_None = 0,       // no unit; only end of input, errors and the time-out are watched
    colm_String = 1,     // a line into the collector's own byte string
    colm_Binary = 2,     // an exact count of bytes into the caller's memory
    colm_FastStr = 3,    // a line into the caller's FastStringA
    colm_BufString = 4,  // a line left in the input buffer
    colm_BufBinary = 5,  // an exact count of bytes left in the input buffer
};

enum TCollectorCheckResult : uint8_t {
    colr_NotReady = 0,
    colr_Ready = 1,
    colr_EOF = 2,
    colr_Error = 3,
    colr_Timeout = 4,
    colr_ExceededStringLength = 5,
};

// What happens to a line longer than the operation's maximum.
enum TCollectorExceedStringLengthMode : uint8_t {
    ceslm_Flag = 0,       // keep the first bytes, drop the rest, set StringLengthExceeded
    ceslm_Result = 1,     // the check returns colr_ExceededStringLength
    ceslm_Exception = 2,  // the check raises ECollectorExceededStringLength
};

GAX_DECLARE_EXCEPTION(ECollectorError, Exception);
GAX_DECLARE_EXCEPTION(ECollectorBusy, ECollectorError);
GAX_DECLARE_EXCEPTION(ECollectorSizeTooBig, ECollectorError);
GAX_DECLARE_EXCEPTION(ECollectorExceededStringLength, ECollectorError);
GAX_DECLARE_EXCEPTION(ECollectorInvalidMode, ECollectorError);
GAX_DECLARE_EXCEPTION(ECollectorFileError, ECollectorError);
GAX_DECLARE_EXCEPTION(ECollectorFileNameEmpty, ECollectorFileError);
GAX_DECLARE_EXCEPTION(ECollectorFileNotOpened, ECollectorFileError);

// "Collector got too long string", for the list readers' line messages.
std::u16string CollectorTooLongStringText();

class TCollectorBase {
  public:
    static constexpr TCollectorTick32 kNoTimeout = 0xFFFFFFFFu;

    // The buffer holds aInputBufSize rounded up to 128 (at least 128) bytes;
    // it exists from the first read on (Buffer() is null before it).
    explicit TCollectorBase(int aInputBufSize);
    virtual ~TCollectorBase();
    TCollectorBase(const TCollectorBase&) = delete;
    TCollectorBase& operator=(const TCollectorBase&) = delete;

    // Drops every buffered byte and the running operation; Timeout, the
    // policy and CollectorReadCounter stay.
    void Clear();

    // Operations. Start...FromNow/FromTick arm a new time-out; NextBuf... keep
    // the deadline of the operation before; the other Next... keep everything.
    void StartStringFromNow(int aMaxLen);
    void StartStringFromTick(int aMaxLen, TCollectorTick32 theStartTick);
    void NextString(int aMaxLen);
    void StartBinaryFromNow(void* aPtr, int aLen);
    void StartBinaryFromTick(void* aPtr, int aLen, TCollectorTick32 theStartTick);
    void NextBinary(void* aPtr, int aLen);
    void StartFastStringFromNow(FastStringA& aFast, int aMaxLen);
    void StartFastStringFromTick(FastStringA& aFast, int aMaxLen, TCollectorTick32 theStartTick);
    void NextFastString(FastStringA& aFast, int aMaxLen);
    void StartBufStringFromNow(int aMaxLen);
    void StartBufStringFromTick(int aMaxLen, TCollectorTick32 theStartTick);
    void NextBufString(int aMaxLen);
    void StartBufBinaryFromNow(int aLen);
    void StartBufBinaryFromTick(int aLen, TCollectorTick32 theStartTick);
    void NextBufBinary(int aLen);
    void StartWaitFromNow();
    void StartWaitFromTick(TCollectorTick32 theStartTick);
    void NextWait();
    TCollectorCheckResult StartBufStringAndCheck(int aMaxLen, TCollectorTick32 aTick);

    TCollectorCheckResult CheckCollectorWithTick(TCollectorTick32 aTick);
    TCollectorCheckResult CheckCollectorWithNow();

    // Milliseconds left for the running operation: kNoTimeout without one, 0
    // once it has run out. Owners give this to their waiter.
    TCollectorTick32 RemainWaitFromTheTick(TCollectorTick32 theTick);
    TCollectorTick32 RemainWaitFromNow();
    bool IsTimeout(TCollectorTick32 theTick) const;
    void SetWaitStartTickToNow();
    void SetWaitStartTickToTick(TCollectorTick32 aTick) { f_WaitStartTick = aTick; }
    void SetError(int aCode, std::u16string aDescr);
    int RemainNonCollectedBytesInLinearBuffer() const { return DirtyLen(); }

    const char* Buffer() const { return f_Buf.get(); }
    int BufferSize() const { return f_BufSize; }
    // The unit delivered by the buffered modes; valid until the next operation.
    const char* BufDataPtr() const { return f_BufDataPtr; }
    int BufDataLen() const { return f_BufDataLen; }
    std::string_view BufData() const { return {f_BufDataPtr, static_cast<size_t>(f_BufDataLen)}; }
    const std::string& CollectedString() const { return f_String; }
    int DirtyLen() const { return f_BufTotal - f_BufUsed; }
    int DirtyStart() const { return f_BufUsed; }
    int BinSize() const { return f_BinSize; }
    TCollectorTick32 WaitStartTick() const { return f_WaitStartTick; }
    TCollectorMode CollectorMode() const { return f_Mode; }
    bool Eof() const { return f_Eof; }
    bool FastEof() const { return f_FastEof; }
    void SetFastEof(bool aValue) { f_FastEof = aValue; }
    bool StringLengthExceeded() const { return f_StringLengthExceeded; }
    bool CouldBeRawBytesOnSource() const { return f_CouldBeRawBytesOnSource; }
    TCollectorCheckResult LastCheckResult() const { return f_LastCheckResult; }
    int ErrorCode() const { return f_ErrorCode; }
    const std::u16string& ErrorDesc() const { return f_ErrorDesc; }
    // The owner's waiter reported the source readable: bytes may have come
    // since a short read found it empty, so the next read asks it again.
    // Owners of a socket call it on every read event.
    void NoteReadable() { f_SourceDrained = false; }

    TCollectorExceedStringLengthMode StringExceededLengthMode = ceslm_Flag;
    TCollectorTick32 Timeout = 0;  // taken over by each started operation
    std::function<void(TCollectorBase* aSender, std::u16string_view aInfo)> OnInfo;
    uintptr_t CollectorReadCounter = 0;  // total bytes read; owners reset it

  protected:
    // Read results of ReadSource.
    static constexpr uint8_t kReadData = 0;
    static constexpr uint8_t kReadEof = 1;
    static constexpr uint8_t kReadError = 2;
    // Reads at most aMaxLen bytes now without blocking. aMaxLen 0 asks only
    // whether the source has ended or failed; it must take no data.
    virtual uint8_t ReadSource(char* aBuf, int aMaxLen, int& aRead) = 0;
    // True when a read that returns less than it offered proves the source
    // empty at that moment and its owner waits for level-triggered readiness
    // before it needs more: the read after such a short read is then skipped
    // (once) instead of asking a source known to be empty. False for a source
    // that only tells its end by a read that returns nothing.
    virtual bool ShortReadDrainsSource() const { return false; }
    void SetErrorCode(int aCode) { f_ErrorCode = aCode; }

  private:
    enum class ReadOutcome { Data, Nothing, Eof, Error };
    ReadOutcome ReadMore(bool aLineMode);
    void BeginOp(bool aClearExceeded);
    void ArmFrom(TCollectorTick32 aTick);
    void Consume(int n);
    void CompactToStart();
    // The length rule for a line over f_StrMax: false when the check is to
    // return colr_ExceededStringLength, raises under ceslm_Exception, and
    // under ceslm_Flag marks the line as cut for the caller to keep f_StrMax bytes.
    bool CutOverlongLine();
    // Appends a piece of the current line under the length rule; false when
    // the policy asks the check to return colr_ExceededStringLength.
    bool AppendLinePiece(const char* p, int n);
    TCollectorCheckResult TimeoutRule(TCollectorTick32 aTick);
    // Between two reads of one check, when the unit is still incomplete: true
    // with aResult set when the check must return now, because the deadline
    // passed or the call has read its budget (one buffer). A source that never
    // pauses can then neither hold the caller nor outlive its time-out; the
    // caller's next check goes on where this one stopped.
    bool StopBetweenReads(TCollectorTick32 aTick, TCollectorCheckResult& aResult);
    TCollectorCheckResult EndOp(TCollectorCheckResult r);
    TCollectorCheckResult CheckLine(TCollectorTick32 aTick);
    TCollectorCheckResult CheckBinary(TCollectorTick32 aTick);
    TCollectorCheckResult CheckBufString(TCollectorTick32 aTick);
    TCollectorCheckResult CheckBufBinary(TCollectorTick32 aTick);
    TCollectorCheckResult CheckNone(TCollectorTick32 aTick);

    std::unique_ptr<char[]> f_Buf;
    char* f_BinPtr = nullptr;
    const char* f_BufDataPtr = nullptr;
    std::string f_String;
    FastStringA* p_Fast = nullptr;
    int f_BufSize = 0;
    int f_BufTotal = 0;
    int f_BufScanned = 0;
    int f_BufDataLen = 0;
    int f_BufUsed = 0;  // unconsumed bytes (DirtyLen) run from here to f_BufTotal
    int f_BinReady = 0;
    int f_BinSize = 0;
    int f_BinToCollect = 0;
    int f_StrMax = 0;
    int f_CallRead = 0;  // bytes the running check has read
    TCollectorTick32 f_OperationalTimeout = 0;
    TCollectorTick32 f_WaitStartTick = 0;
    TCollectorMode f_Mode = colm_None;
    bool f_Eof = false;
    bool f_FastEof = false;
    bool f_StringLengthExceeded = false;
    bool f_CouldBeRawBytesOnSource = false;
    // A buffered line was cut before its line feed arrived: the rest of it is
    // dropped before the next buffered line, so its tail never passes for a line.
    bool f_SkipLineRest = false;
    // The last read returned less than it offered, on a source where that
    // means it was drained (ShortReadDrainsSource). Until the owner reports
    // readiness again (NoteReadable) a read would only find nothing, so the
    // next one is skipped and the check ends as if that read found nothing;
    // the owner's wait, level-triggered, wakes for anything that came
    // meanwhile, the peer's close and socket errors included. An operation
    // at its deadline reads all the same, so nothing is timed out unread.
    bool f_SourceDrained = false;
    TCollectorCheckResult f_LastCheckResult = colr_NotReady;
    int f_ErrorCode = -1;
    std::u16string f_ErrorDesc;
};

// Reads a non-blocking socket.
class TCollectorSocket : public TCollectorBase {
  public:
    explicit TCollectorSocket(int aInputBufSize) : TCollectorBase(aInputBufSize) {}

    int Socket() const { return f_Socket; }
    void SetSocket(int aSocket) { f_Socket = aSocket; }

    // The wait flags an owner of this collector's socket must use, so that a
    // waiter never wakes for data nobody will read: read while an operation
    // runs, only the peer's close while idle, plus write while the output
    // buffer waits for room (its NeedWaitForWrite).
    uint8_t WaitFlagsFor(bool aNeedWaitForWrite) const;

  protected:
    uint8_t ReadSource(char* aBuf, int aMaxLen, int& aRead) override;
    // A stream socket's recv returns all it holds up to the space offered.
    bool ShortReadDrainsSource() const override { return true; }

  private:
    int f_Socket = -1;
};

// Reads a file block by block; the list-file readers read their lines with it.
class TCollectorFile : public TCollectorBase {
  public:
    // Opens the file for reading; an empty name raises ECollectorFileNameEmpty,
    // a file that cannot be opened the file operations' open error.
    TCollectorFile(std::u16string aFileName, int aBufferSize);
    // Opens later, by Open.
    explicit TCollectorFile(int aBufferSize) : TCollectorBase(aBufferSize) {}
    ~TCollectorFile() override;

    const std::u16string& FileName() const { return f_FileName; }
    void SetFileName(std::u16string aName) { f_FileName = std::move(aName); }
    bool Opened() const { return f_Opened; }
    void Open();
    // Closes the file and clears the collector.
    void Reset();

  protected:
    uint8_t ReadSource(char* aBuf, int aMaxLen, int& aRead) override;

  private:
    void CloseFile();
    void CloseHandleOnly();

    TBinaryFile f_File;
    std::u16string f_FileName;
    bool f_Opened = false;
};

}  // namespace gax
