// The work context: the base of every connection a worker thread serves (the
// client session, the Parrot, the command-channel connection). It holds the
// socket, the peer's address texts, the global key, the disconnect cause, the
// texts of the disconnect log line, the interrupt word through which other
// threads poke the worker, and the link to the worker that runs it. The worker
// calls the twelve virtual operations; subclasses give the protocol.
//
// Threads and ownership:
// - A context is created by the heartbeat thread, by the listener thread (a
//   client session, handed to the heartbeat in its connect record) or by a
//   network (the Parrot), handed to a worker through the worker's work
//   queue, stepped only by that worker until the worker removes it and calls
//   vExecStop, and then freed by the heartbeat thread or its network. While
//   it holds the floor (vReadByFanout) its worker may lend it to the
//   heartbeat, which steps it until it gives it back through the worker's
//   queue. The queue hand-offs order these phases; in each phase the fields
//   below belong to the one thread that holds the context ("the owner").
// - Other threads touch a live context in three ways only, all atomic: they OR
//   bits into the interrupt word (SetIntrFlags), set the cause (DisconnectCauseW,
//   first wins) and flag the worker (WakeUpWorker). ClientTerminateSignal does
//   all three.
// - The peer texts, the global key and the service link are fixed at
//   construction and may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "foundation/gax_datetime.h"
#include "foundation/gax_stringbld.h"
#include "server/gax_qor_svc_globals.h"
#include "server/gax_qor_svc_host.h"
#include "server/gax_qor_svc_queues.h"
#include "server/gax_qor_svc_setup_t.h"
#include "sockets/gax_snps_sockets.h"
#include "sockets/gax_snps_waiter.h"

namespace gax {

class TQORSVCWorker;

// The argument of vExecStart, vExecStep, vExecParameters and vExecTimeout: one
// per worker, reused for every call.
struct TQORSVCStepParams {
    TQORSVCWorker* sp_Worker = nullptr;  // the calling worker (its scratch buffer WorkerFast)
    TGaxTick32 sp_CheckTick = 0;         // tick of the current pass; every time-out test uses it
    TSocket sp_Socket = INVALID_SOCKET_HANDLE;  // out: the socket to wait on
    uint8_t sp_WaitFlags = 0;                   // out: wf_Read or wf_ReadWrite
    uint8_t sp_WaiterEvents = 0;                // in: we_ flags; 0 when run from a sweep
};

// Result of vExecStep and vExecParameters (the worker masks it with 0x7F).
enum TQORSVCWorkerExecResult : uint8_t {
    wer__OK = 0,           // keep; change the wait mode when sp_WaitFlags differs
    wer__Extra = 1,        // keep; run one more pass before waiting again
    wer__EOF = 2,          // remove
    wer__Timeout = 3,      // remove; cause from vSetDisconnectCauseOnTimeout
    wer__OutOfMemory = 4,  // remove; cause fsdc_ServOutOfMemory (first cause wins)
    wer__Error = 5,        // remove; cause fsdc_ServInternalError (first cause wins)
};

// Whether a step's result takes the context out of service.
constexpr bool IsRemovingResult(TQORSVCWorkerExecResult aResult) {
    return aResult != wer__OK && aResult != wer__Extra;
}

// Answers of the service to a request a context made (vCommandAnswer).
enum TQORWrkAnswerCode : uint8_t {
    fwac_MoveClient = 0,
};

// The interrupt word: the low half (WaiterFlag) is the worker's own, the high
// half (IntrFlag) carries requests of other threads. Any non-zero bit makes the
// worker run the context's step at its next sweep.
inline constexpr uint32_t kWaiterFlagStep = 0x0001;  // WaiterFlag: run the step at the next sweep
inline constexpr uint16_t ifl_Flush = 0x01;          // output was queued: flush it
inline constexpr uint16_t ifl_Terminate = 0x02;      // terminate the session at the next step
inline constexpr uint16_t ifl_AnswerOK = 0x04;  // positive answer queued: flush, then work state
inline constexpr uint16_t ifl_FlushAndTerm = 0x08;  // flush what is queued, then terminate
inline constexpr uint16_t ifl_ContinueRead = 0x10;  // more input may wait: read at the next pass

constexpr uint16_t IntrFlagOf(uint32_t aWhole) {
    return static_cast<uint16_t>(aWhole >> 16);
}
constexpr uint16_t WaiterFlagOf(uint32_t aWhole) {
    return static_cast<uint16_t>(aWhole & 0xFFFFu);
}

class TQORSVCWrkCtx {
  public:
    // aQORService may be null (a context without a service: global key 1, no
    // configuration, log lines dropped). aPeerAddrBin is 4 or 16 bytes as the
    // listener gave them. The context owns aSocket from here on.
    TQORSVCWrkCtx(TQORSVCHost* aQORService, TSocket aSocket, std::string aPeerAddrBin,
                  int32_t aPeerPort);
    // Closes the socket (the base's vCloseSocket).
    virtual ~TQORSVCWrkCtx();
    TQORSVCWrkCtx(const TQORSVCWrkCtx&) = delete;
    TQORSVCWrkCtx& operator=(const TQORSVCWrkCtx&) = delete;

    // ---- virtual operations, in slot order ----------------------------------
    // 0: write out queued output now. The base raises.
    virtual void vFlush();
    // 1: cut the connection at once. The base raises.
    virtual void vAbortConnection();
    // 2: the peer name (the base: Peer_Name).
    virtual std::string vGetPeerName();
    // 3: store the cause a time-out means in the current state (first wins).
    virtual void vSetDisconnectCauseOnTimeout();
    // 4: whether the context may be freed now.
    virtual bool vCanDispose();
    // 5: first step on the worker that received the context as new; fills
    // sp_Socket and sp_WaitFlags.
    virtual void vExecStart(TQORSVCStepParams& aPar) = 0;
    // 6: one step: read, act, write; fills sp_Socket/sp_WaitFlags on wer__OK.
    virtual TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams& aPar) = 0;
    // 7: re-arm on a worker that received the context from another worker.
    virtual TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams& aPar) = 0;
    // 8: true when the time-out has passed (the cause is then stored and the
    // context has closed itself).
    virtual bool vExecTimeout(TQORSVCStepParams& aPar) = 0;
    // 9: the worker removed the context: report the disconnect. The base raises.
    // The worker calls it once (ExecStopped).
    virtual void vExecStop(TQORSVCWorker* aWorker);
    // 10: close the socket if it is open (SO_REUSEADDR first, then the handle
    // is closed and invalidated).
    virtual void vCloseSocket();
    // 11: an answer of the service to a request this context made; aAnswerParams
    // is the answer value (for fwac_MoveClient a channel answer code). The base
    // ignores it.
    virtual void vCommandAnswer(TQORWrkAnswerCode aAnswerCode, int32_t aAnswerParams,
                                std::u16string_view aAnswerText);
    // 12: whether the context's input is now best read by the thread that
    // fans out what it sends (the heartbeat): true while it holds the floor
    // and nothing else needs its worker. The holder asks after its steps and
    // hands the context over or back. The base: never.
    virtual bool vReadByFanout() { return false; }
    // 13: the heartbeat declined to read it (or gave it back while it still
    // wanted to be): no new offer until the floor is let go. The base ignores it.
    virtual void vFanoutReadDeclined() {}

    // ---- cross-thread operations (any thread) -------------------------------
    TQORSVCDisconnectCause DisconnectCauseR() const {
        return static_cast<TQORSVCDisconnectCause>(
            f_Disconnect_Cause.load(std::memory_order_acquire));
    }
    // Stores the cause while none is stored: the first cause wins. Returns
    // whether this call stored it. Storing fsdc_DisconnectWithoutAuth (0) does
    // nothing.
    bool DisconnectCauseW(TQORSVCDisconnectCause aCause);
    // ORs bits into the IntrFlag half.
    void SetIntrFlags(uint16_t aIntrFlags) {
        f_IntrFlags.fetch_or(static_cast<uint32_t>(aIntrFlags) << 16, std::memory_order_acq_rel);
    }
    // The whole interrupt word.
    uint32_t IntrFlags() const { return f_IntrFlags.load(std::memory_order_acquire); }
    uint16_t IntrFlag() const { return IntrFlagOf(IntrFlags()); }
    uint16_t WaiterFlag() const { return WaiterFlagOf(IntrFlags()); }
    // Sets the worker's wake-up flag when a worker has taken the context; does
    // not interrupt its waiter (the heartbeat thread wakes flagged workers).
    void WakeUpWorker();
    // Stores the cause (first wins), asks for termination, flags the worker.
    void ClientTerminateSignal(TQORSVCDisconnectCause aDisconnectCause);

    // ---- records in flight: backpressure on what the peer sends -------------
    // A session's worker counts the server-queue records its peer's input
    // makes; the heartbeat counts each off once it has handled it. Above
    // kInFlightHigh (or with the server queue above its own mark) the worker
    // stops reading the socket, so TCP slows the sender, until the heartbeat
    // has taken both below their low marks and resumes it (ifl_ContinueRead).
    // The counter and the held bit are the only fields both threads write. A
    // hold is noted with a read-modify-write on the service's held-readers
    // count, which the heartbeat also reads that way after each batch: so
    // either the heartbeat sees the held reader and resumes it, or the worker
    // sees the lowered counts and resumes itself (TQORSVCPoster).
    static constexpr int32_t kInFlightHigh = 64;
    static constexpr int32_t kInFlightLow = 16;
    // Worker thread: counts aRec as in flight when this context counts its posts.
    void NotePosted(TQORSVCNetQueueRecord& aRec) {
        if (!f_CountsInFlight) return;
        aRec.nqr_InFlight = true;
        f_InFlight.fetch_add(1);
    }
    // Heartbeat thread: one counted record of this context was handled.
    void InFlightHandled() { f_InFlight.fetch_sub(1); }
    int32_t RecordsInFlight() const { return f_InFlight.load(); }
    bool ReadHeld() const { return f_ReadHeld.load(); }
    // Any thread: takes the held bit; true for the one caller that found it set.
    bool TakeReadHeld() { return f_ReadHeld.load() && f_ReadHeld.exchange(false); }
    // Heartbeat thread, once the server queue is below its low mark: resumes
    // a held reader whose records in flight are below theirs; true when this
    // call resumed it (the caller counts it off the held readers).
    bool ResumeReadingIfDrained() {
        if (!ReadHeld() || RecordsInFlight() > kInFlightLow || !TakeReadHeld()) return false;
        SetIntrFlags(ifl_ContinueRead);
        WakeUpWorker();
        return true;
    }

    // The worker that runs the context; null before the first worker takes it.
    TQORSVCWorker* CtxWorker() const { return f_CtxWorker.load(std::memory_order_acquire); }

    // ---- owner's operations ---------------------------------------------------
    // Sets bits of the worker's WaiterFlag half (worker thread).
    void SetWaiterFlag(uint16_t aBits) { f_IntrFlags.fetch_or(aBits, std::memory_order_acq_rel); }
    // Clears exactly aBits (bits read before): a request another thread sets
    // meanwhile survives.
    void ClearIntrBits(uint32_t aBits) { f_IntrFlags.fetch_and(~aBits, std::memory_order_acq_rel); }
    // Reads the whole word and clears what it read.
    uint32_t TakeIntrFlags() {
        const uint32_t v = IntrFlags();
        if (v != 0) ClearIntrBits(v);
        return v;
    }

    // Log lines with the connection text in front (pushed to the log FIFO; the
    // caller applies the client log level first).
    void call_OnCtxInfo(std::u16string_view aText);
    void call_OnCtxError(std::u16string_view aText);
    void call_OnCtxDebug(std::u16string_view aText);
    void call_OnCtxWarning(std::u16string_view aText);

    // ---- properties -----------------------------------------------------------
    TSocket CtxSocket() const { return f_Socket; }
    const TQORServiceConfig* pCfg() const { return p_Cfg; }
    TQORSVCHost* QORService() const { return e_QORService; }
    TQORGlobalKey CtxGlobalKey() const { return f_GlobalKey; }
    const std::u16string& InternalErrorText() const { return f_InternalErrorText; }
    // Stores the text while none is stored (first text wins).
    void SetInternalErrorText(std::u16string aText);
    const std::u16string& SessionIP_U() const { return f_SessionIP_U; }
    const std::u16string& ConnectionStringU() const { return f_ConnectionStringU; }
    void SetConnectionStringU(std::u16string aText) { f_ConnectionStringU = std::move(aText); }
    const std::u16string& ConnectionCmdErr() const { return f_ConnectionCmdErr; }
    void SetConnectionCmdErr(std::u16string aText) { f_ConnectionCmdErr = std::move(aText); }
    const std::string& Peer_Name() const { return f_Peer_Name; }
    const std::string& Peer_Port() const { return f_Peer_Port; }
    const std::string& Peer_AddressBin() const { return f_Peer_AddressBin; }
    const std::string& Peer_Address() const { return f_Peer_Address; }
    const std::string& HandshakeString() const { return f_HandshakeString; }
    void SetHandshakeString(std::string aBytes) { f_HandshakeString = std::move(aBytes); }

    // Worker bookkeeping (the thread that holds the context: its worker, or
    // the heartbeat while it reads a floor holder).
    int32_t CtxWrkTagInt = 0;  // 1: served in a sweep's first pass, 0: in the second
    PWaiter2Resource CtxWaiterResource = nullptr;
    // The waiter that holds CtxWaiterResource; told before the socket closes.
    TWaiter2Base* CtxWaiter = nullptr;
    bool ExecStopped = false;
    // REQUIRES: the worker thread that registers the context.
    void SetCtxWorker(TQORSVCWorker* aWorker) {
        f_CtxWorker.store(aWorker, std::memory_order_release);
    }

  protected:
    // Key and session-address text; done by the constructor.
    void CalcGlobals();
    // Constructor only: this context's posts count as in flight.
    void CountPostsInFlight() { f_CountsInFlight = true; }
    // Worker thread: the worker stops reading.
    void SetReadHeld() { f_ReadHeld.store(true); }
    // Closes and invalidates f_Socket (SO_REUSEADDR first); nothing when closed.
    void CloseSocketHandle();
    // Takes the socket from its worker's waiter and invalidates f_Socket
    // without closing it, for a subclass that closes it itself (where another
    // thread's send may still be using it). Returns the handle, or invalid.
    TSocket DetachSocketHandle();

    TSocket f_Socket = INVALID_SOCKET_HANDLE;

  private:
    void PushLog(std::u16string_view aPrefix, std::u16string_view aText);

    const TQORServiceConfig* p_Cfg = nullptr;
    TQORGlobalKey f_GlobalKey = 0;
    std::atomic<uint8_t> f_Disconnect_Cause{0};
    std::u16string f_InternalErrorText;
    std::u16string f_SessionIP_U;
    std::u16string f_ConnectionStringU;
    std::u16string f_ConnectionCmdErr;
    std::string f_Peer_Name;
    std::string f_Peer_Port;
    std::string f_Peer_AddressBin;
    std::string f_Peer_Address;
    std::string f_HandshakeString;
    TQORSVCHost* e_QORService = nullptr;
    std::atomic<uint32_t> f_IntrFlags{0};
    std::atomic<TQORSVCWorker*> f_CtxWorker{nullptr};
    bool f_CountsInFlight = false;  // fixed at construction
    std::atomic<int32_t> f_InFlight{0};
    std::atomic<bool> f_ReadHeld{false};
};

// ---- helpers of the module ----------------------------------------------------

// Client text bound for the log: units below 32, 0x7F..0x9F and the backslash
// become \xHH, so a peer cannot forge or split log lines. Without
// aEscapeBackslash a text the command parser already escaped keeps its
// escapes readable (they are not escaped a second time).
void AppendLogSafeText(TStringBldU& aBuilder, std::u16string_view aText,
                       bool aEscapeBackslash = true);

// The disconnect description of a session for the log: the connection text, a
// blank and the cause's name; then " WRONG_CHARS=`...`" (fsdc_InvalidCharacter)
// or " WRONG_CMD=`...`" (fsdc_WrongCommand) when ConnectionCmdErr is not empty,
// and " ERROR_TEXT=`...`" when InternalErrorText is not empty. The quoted values
// come from peers and are escaped (AppendLogSafeText); the WRONG_CMD text was
// escaped by the command parser already and only loses control units here.
void AppendDisconnectDescription(TStringBldU& aBuilder, const TQORSVCWrkCtx& aContext);

// "Error of execiting \"<script>\": <error text>".
std::u16string FormatScriptExecErrorText(std::u16string_view aScriptName,
                                         std::u16string_view aErrorText);

// One argument of a script command line: an empty one as two double quotes; one
// with a blank anywhere before its last character in double quotes (the last
// character is not examined, inner quotes are not escaped); any other as it is.
void AppendScriptArgument(TStringBldU& aBuilder, std::u16string_view aArgument);

inline constexpr std::size_t kMaxScriptArguments = 13;
// The single entry for starting an external script. This system starts none:
// it returns 0 (success) and leaves aErrorText empty; callers log the command
// line they built ("EXEC: ...") when LogExec is on.
int32_t RunExternalScript(std::u16string& aErrorText, std::u16string_view aScriptFileName,
                          std::span<const std::u16string> aArguments);

}  // namespace gax
