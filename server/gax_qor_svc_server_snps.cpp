#include "server/gax_qor_svc_server_snps.h"

#include <algorithm>
#include <stdexcept>

#include "foundation/gax_strutils.h"
#include "platform/plat_socket.h"
#include "server/gax_qor_svc_server_addr.h"
#include "server/gax_qor_svc_worker.h"
#include "sockets/gax_snps_sockets.h"
#include "sockets/gax_snps_waiter.h"

namespace gax {

namespace {

using Cause = TQORSVCDisconnectCause;
using PS = TQORProtocolStatus;

std::string Narrow(std::u16string_view aText) {
    std::string s;
    s.reserve(aText.size());
    for (char16_t c : aText) s += static_cast<char>(c < 0x100 ? c : '?');
    return s;
}

}  // namespace

TQORSVCContextSNPS::TQORSVCContextSNPS(TQORSVCHost* aHost, TQORSVCClientService& aFacts,
                                       TSocket aSocket, std::string aPeerAddrBin,
                                       int32_t aPeerPort)
    : TQORSVCContext(aHost, aFacts, aSocket, std::move(aPeerAddrBin), aPeerPort) {
    CountPostsInFlight();
    f_OutAsync.OnWrite = [this](TAsyncWriter2SocketThreadSafe* aSender, int) {
        if (aSender->PendingBytes() == 0) f_OverLimit.store(false, std::memory_order_relaxed);
    };
    f_Collector.SetFastEof(true);
    f_Collector.StringExceededLengthMode = ceslm_Result;
    f_Collector.OnInfo = [this](TCollectorBase*, std::u16string_view aInfo) {
        std::u16string t(u"Collector: ");
        t += aInfo;
        call_OnCtxInfo(t);
    };
    AttachSocket(aSocket);
    const TQORServiceConfig* cfg = pCfg();
    const int32_t handshakeSec = cfg != nullptr ? cfg->ClientHandshakeTimeout : 0;
    f_HandshakeTimeoutTicks = static_cast<TGaxTick32>(std::max<int32_t>(handshakeSec, 0)) * 1000u;
    if (cfg != nullptr) {
        const int64_t cap = static_cast<int64_t>(cfg->cfg_ServOutputBufferLimit) *
                            static_cast<int64_t>(cfg->cfg_ServOutputBufferFactor);
        f_HardCap = std::min<size_t>(std::max<size_t>(static_cast<size_t>(std::max<int64_t>(cap, 0)),
                                                      kOutputHardCapFloor),
                                     kAsyncWriterMaxBlock);
    }
}

void TQORSVCContextSNPS::AttachSocket(TSocket aSocket) noexcept {
    f_Socket = aSocket;
    f_OutAsync.SetSocket(aSocket);
    f_Collector.SetSocket(aSocket);
    f_SocketClosed.store(aSocket == INVALID_SOCKET_HANDLE, std::memory_order_relaxed);
    if (aSocket == INVALID_SOCKET_HANDLE) return;
    SocketSetNoDelay(aSocket, true);
    SocketSetNonBlocking(aSocket);
    SocketSetReuseAddr(aSocket, true);
    const int sndbuf = kSocketSendBuffer;
    plat::SockSetOpt(aSocket, plat::kSolSocket, plat::kSoSndBuf, &sndbuf, sizeof(sndbuf));
}

void TQORSVCContextSNPS::tmAdmitted(bool aMarked) {
    if (aMarked) f_HandshakeTimeoutTicks = 1000;
    // Here, not at construction: a connection refused at admission was never
    // a client's connect.
    if (ClientLogLevel() > 4) call_OnCtxInfo(u" CONNECT");
}

TQORSVCContextSNPS::~TQORSVCContextSNPS() {
    // The base closes the socket; the buffers go with the object.
    f_OutAsync.OnWrite = nullptr;
}

TGaxTick32 TQORSVCContextSNPS::ActivityTimeoutTicks() const {
    const TQORServiceConfig* cfg = pCfg();
    const int32_t sec = cfg != nullptr ? cfg->ClientActivityTimeout : 0;
    return static_cast<TGaxTick32>(std::max<int32_t>(sec, 0)) * 1000u;
}

bool TQORSVCContextSNPS::TimedOut(TGaxTick32 aTick) const {
    // A held reader is not idle: the server is, and its time-out waits.
    if (ReadHeld() || !f_Collector.IsTimeout(aTick)) return false;
    // Bytes that came before the deadline and wait for the next batch are
    // read first: a line among them is activity; otherwise the read itself
    // finds the deadline passed.
    return f_Collector.CollectorMode() == colm_None || f_Socket == INVALID_SOCKET_HANDLE ||
           plat::SockBytesAvailable(f_Socket) <= 0;
}

bool TQORSVCContextSNPS::Batchable(TGaxTick32 aTick) const {
    if (CtxProtocol != TServProtocol::PROTO_QOR || QORProtoStatus != PS::QOR_PS_WORK) return false;
    if ((IntrFlag() & (ifl_Terminate | ifl_FlushAndTerm | ifl_AnswerOK)) != 0 || f_PeerGone)
        return false;
    if ((CtxFlags() & (QOR_CF_SPEAKER | QOR_CF_LEAVING)) != 0) return false;
    if (f_FloorClaim && aTick - f_FloorClaimTick < kFloorClaimMs) return false;
    if (SoundFlag != TSoundFrameType::SoundFrameNone || RecordsInFlight() > 0) return false;
    return f_Collector.CollectorMode() == colm_BufString && f_Collector.DirtyLen() == 0;
}

TQORHandshakeServer TQORSVCContextSNPS::HandshakeServer() const {
    TQORHandshakeServer s;
    // The views point into strings the configuration keeps for the service's life.
    static thread_local std::string present, presentPort, backup, backupPort;
    if (const TQORServiceConfig* cfg = pCfg()) {
        present = QORServerAddressA(cfg->ServParams.ssp_PresentServerAddr);
        presentPort = Narrow(cfg->ServParams.PresentServerPort);
        backup = QORServerAddressA(cfg->ServParams.BackupServerAddr);
        backupPort = Narrow(cfg->ServParams.ssp_BackupServerPort);
    }
    s.PresentAddr = present;
    s.PresentPort = presentPort;
    s.BackupAddr = backup;
    s.BackupPort = backupPort;
    s.UptimeSec = Facts().ServerUptimeSec();
    return s;
}

// ---- worker side ----------------------------------------------------------------

void TQORSVCContextSNPS::vFlush() {
    if (f_OutAsync.PendingBytes() > 0) f_OutAsync.Flush();
}

void TQORSVCContextSNPS::vCloseSocket() {
    f_SocketClosed.store(true, std::memory_order_release);
    DetachSocketHandle();
    f_Collector.SetSocket(-1);
    f_OutAsync.CloseSocket();
    f_OutAsync.Clear();
}

bool TQORSVCContextSNPS::vReadByFanout() {
    const uint32_t flags = CtxFlags();
    if ((flags & QOR_CF_SPEAKER) == 0) {
        f_FanoutDeclined = false;  // a new floor may be read there again
        return false;
    }
    if (f_FanoutDeclined || (flags & QOR_CF_LEAVING) != 0) return false;
    if (CtxProtocol != TServProtocol::PROTO_QOR || QORProtoStatus != PS::QOR_PS_WORK) return false;
    if ((IntrFlag() & (ifl_Terminate | ifl_FlushAndTerm | ifl_AnswerOK)) != 0) return false;
    if (ReadHeld() || f_PeerGone || f_Socket == INVALID_SOCKET_HANDLE) return false;
    return !f_OutAsync.NeedWaitForWrite();
}

void TQORSVCContextSNPS::vSetDisconnectCauseOnTimeout() {
    if (DisconnectCauseR() != Cause::fsdc_DisconnectWithoutAuth) return;
    switch (CtxProtocol) {
        case TServProtocol::PROTO_UNKNOWN: DisconnectCauseW(Cause::fsdc_HandshakeTimeout); return;
        case TServProtocol::PROTO_ABORT: DisconnectCauseW(Cause::fsdc_ClientTimeout); return;
        case TServProtocol::PROTO_QOR: break;
    }
    switch (QORProtoStatus) {
        case PS::QOR_PS_WAIT_CONNECT_STR: DisconnectCauseW(Cause::fsdc_HandshakeTimeout); break;
        case PS::QOR_PS_HOLLAND: DisconnectCauseW(Cause::fsdc_ManagerTimeout); break;
        default: DisconnectCauseW(Cause::fsdc_ClientTimeout); break;
    }
}

void TQORSVCContextSNPS::vExecStart(TQORSVCStepParams& aPar) {
    // Here rather than in the constructor: the heartbeat builds every session
    // in turn, and the worker can pay for its buffers (the collector's comes
    // with its first read).
    f_Line.reserve(kMaxLineLen);
    f_Collector.Timeout = f_HandshakeTimeoutTicks;
    f_Collector.StartBufBinaryFromTick(3, aPar.sp_CheckTick);
    aPar.sp_Socket = f_Socket;
    aPar.sp_WaitFlags = WaitFlags(aPar.sp_CheckTick);
}

TQORSVCWorkerExecResult TQORSVCContextSNPS::vExecParameters(TQORSVCStepParams& aPar) {
    if (vExecTimeout(aPar)) return wer__Timeout;
    aPar.sp_Socket = f_Socket;
    aPar.sp_WaitFlags = WaitFlags(aPar.sp_CheckTick);
    return wer__OK;
}

bool TQORSVCContextSNPS::vExecTimeout(TQORSVCStepParams& aPar) {
    if (!TimedOut(aPar.sp_CheckTick)) return false;
    vSetDisconnectCauseOnTimeout();
    AbortContext();
    vCloseSocket();
    return true;
}

void TQORSVCContextSNPS::vExecStop(TQORSVCWorker* aWorker) {
    ReleaseHold();
    vCloseSocket();
    CtxFlagsSet(QOR_CF_LEAVING);
    SetIntrFlags(ifl_Terminate);
    TQORSVCHost* host = QORService();
    if (host == nullptr) return;
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    const TQORSVCCtxRef ref = CtxRefOf(static_cast<const TQORSVCWrkCtx*>(this));
    rec->nqr_Cmd = TQORServNetworkCommand::snc_ClientDisconnected;
    rec->nqr_Context = ref.Ctx;
    rec->nqr_GlobalKey = ref.Key;
    rec->nqr_SenderObj = aWorker;
    host->SvcPoster().ServQueuePush(std::move(rec));
}

TQORSVCWorkerExecResult TQORSVCContextSNPS::vExecStep(TQORSVCStepParams& aPar) {
    return ExecStep2(aPar);
}

TQORSVCWorkerExecResult TQORSVCContextSNPS::Fail(TQORSVCDisconnectCause aCause) {
    DisconnectCauseW(aCause);
    AbortContext();
    vCloseSocket();
    return wer__Error;
}

bool TQORSVCContextSNPS::DoFlush(const TQORSVCStepParams& aPar) {
    if (f_OutAsync.PendingBytes() == 0) return true;
    if (f_OutAsync.NeedWaitForWrite() && (aPar.sp_WaiterEvents & we_Write) == 0) return true;
    if (f_OutAsync.Flush()) return true;
    const int code = f_OutAsync.SocketErrorCode();
    if (code == plat::kSockErrConnReset) {
        DisconnectCauseW(Cause::fsdc_GracefullDisconnect);
    } else {
        DisconnectCauseW(Cause::fsdc_SocketError);
        SetInternalErrorText(u"Write error: " + SocketSysErrorText(code));
    }
    AbortContext();
    vCloseSocket();
    return false;
}

void TQORSVCContextSNPS::DrainAndShutdown() {
    if (f_Socket == INVALID_SOCKET_HANDLE) return;
    char sink[1024];
    // Bounded: a client that keeps sending cannot hold the worker here.
    for (int i = 0; i < 64; ++i) {
        size_t n = 0;
        if (SocketRecvNonBlocking(f_Socket, sink, sizeof(sink), n) != 0 || n == 0) break;
    }
    plat::SockShutdown(f_Socket, 1);
}

TQORSVCWorkerExecResult TQORSVCContextSNPS::WaitResult(TQORSVCStepParams& aPar) {
    if (TimedOut(aPar.sp_CheckTick)) {
        vSetDisconnectCauseOnTimeout();
        AbortContext();
        vCloseSocket();
        return wer__Error;
    }
    aPar.sp_Socket = f_Socket;
    aPar.sp_WaitFlags = WaitFlags(aPar.sp_CheckTick);
    return wer__OK;
}

TQORSVCWorkerExecResult TQORSVCContextSNPS::ExecStep2(TQORSVCStepParams& aPar) {
    const uint16_t f = IntrFlag();
    if (f & ifl_Terminate) {
        AbortContext();
        vCloseSocket();
        return wer__Error;
    }
    if (CtxProtocol == TServProtocol::PROTO_ABORT) {
        vCloseSocket();
        return wer__Error;
    }
    if (f & ifl_FlushAndTerm) {
        ReleaseHold();  // input is read no more; the deadline counts again
        if (!DoFlush(aPar)) return wer__Error;
        if (f_OutAsync.PendingBytes() == 0) {
            SetIntrFlags(ifl_Terminate);
            DrainAndShutdown();
            AbortContext();
            vCloseSocket();
            return wer__Error;
        }
        // Input is no longer read: only the close and the deadline matter now.
        if (f_Collector.CollectorMode() != colm_None) {
            f_Collector.Clear();
            f_Collector.StartWaitFromTick(aPar.sp_CheckTick);
        }
        return WaitResult(aPar);
    }
    if ((f & ifl_AnswerOK) == 0) {
        ClearIntrBits(static_cast<uint32_t>(f) << 16);
        f_Collector.CollectorReadCounter = 0;
        if (!DoFlush(aPar)) return wer__Error;
        const bool readable = (aPar.sp_WaiterEvents & we_Read) != 0;
        // A resumed reader may have missed readiness while it was not watching.
        if (readable || (f & ifl_ContinueRead) != 0) f_Collector.NoteReadable();
        // A held reader watches only for the close: what wakes it for reading
        // is the peer gone (or an error), and then what is left is read out.
        if (readable && ReadHeld() && plat::SockProbePeerGone(f_Socket) != 0) {
            f_PeerGone = true;
            ReleaseHold();
        }
        if (ReadHeld()) return WaitResult(aPar);
        if ((f & ifl_ContinueRead) != 0 || readable) return ReadLoop(aPar);
        return WaitResult(aPar);
    }
    // The positive answer is queued.
    if (QORProtoStatus != PS::QOR_PS_HOLLAND) {
        AbortContext();
        vCloseSocket();
        return wer__Error;
    }
    if (!DoFlush(aPar)) return wer__Error;
    if (f_OutAsync.PendingBytes() > 0) return WaitResult(aPar);
    ClearIntrBits(static_cast<uint32_t>(f) << 16);
    Last_ClientActivity = aPar.sp_CheckTick;
    QORProtoStatus = PS::QOR_PS_WORK;
    M2_QOR_NetQueueAttachNetwork();
    return StartNextLine(aPar);
}

TQORSVCWorkerExecResult TQORSVCContextSNPS::StartNextLine(TQORSVCStepParams& aPar) {
    f_Collector.Timeout = ActivityTimeoutTicks();
    f_Collector.StartBufStringFromTick(kMaxLineLen, aPar.sp_CheckTick);
    if (f_Collector.DirtyLen() > 0) return ReadLoop(aPar);
    return WaitResult(aPar);
}

bool TQORSVCContextSNPS::HoldReading() {
    if (f_PeerGone) return false;
    TQORSVCHost* host = QORService();
    if (host == nullptr) return false;
    TQORSVCPoster& poster = host->SvcPoster();
    if (RecordsInFlight() <= kInFlightHigh &&
        poster.ServQueue().Count() <= TQORSVCPoster::kServQueueHigh)
        return false;
    SetReadHeld();
    // Ordered with the heartbeat's read after each batch: either it sees this
    // reader held, or this sees the counts it lowered and resumes itself.
    poster.NoteReaderHeld();
    if (RecordsInFlight() <= kInFlightLow &&
        poster.ServQueue().Count() <= TQORSVCPoster::kServQueueLow && TakeReadHeld()) {
        poster.NoteReaderResumed();
        return false;
    }
    return true;
}

void TQORSVCContextSNPS::ReleaseHold() {
    if (!TakeReadHeld()) return;
    if (TQORSVCHost* host = QORService()) host->SvcPoster().NoteReaderResumed();
}

TQORSVCWorkerExecResult TQORSVCContextSNPS::ReadLoop(TQORSVCStepParams& aPar) {
    for (;;) {
        if (ReadHeld() || HoldReading()) return WaitResult(aPar);
        if (f_Collector.CollectorReadCounter > static_cast<uintptr_t>(kReadBudget)) {
            f_Collector.CollectorReadCounter = 0;
            SetIntrFlags(ifl_ContinueRead);
            aPar.sp_Socket = f_Socket;
            aPar.sp_WaitFlags = WaitFlags(aPar.sp_CheckTick);
            return wer__Extra;
        }
        switch (f_Collector.CheckCollectorWithTick(aPar.sp_CheckTick)) {
            case colr_NotReady: return WaitResult(aPar);
            case colr_EOF:
                AbortContext();
                vCloseSocket();
                return wer__EOF;
            case colr_Error: {
                const int code = f_Collector.ErrorCode();
                DisconnectCauseW(Cause::fsdc_SocketError);
                SetInternalErrorText(FormatSocketSysError(code));
                vCloseSocket();
                AbortContext();
                return wer__Error;
            }
            case colr_Timeout:
                vCloseSocket();
                vSetDisconnectCauseOnTimeout();
                AbortContext();
                return wer__Error;
            case colr_ExceededStringLength: return Fail(Cause::fsdc_TooLongString);
            case colr_Ready: break;
        }
        Last_ClientActivity = aPar.sp_CheckTick;
        TQORSVCWorkerExecResult r = wer__OK;
        bool again = false;
        if (CtxProtocol == TServProtocol::PROTO_UNKNOWN) {
            r = OnOpener(aPar);
            again = CtxProtocol == TServProtocol::PROTO_QOR;
        } else if (QORProtoStatus == PS::QOR_PS_WAIT_CONNECT_STR) {
            return OnConnectString(aPar);
        } else if (QORProtoStatus == PS::QOR_PS_WORK) {
            r = OnCommand(aPar);
            again = r == wer__OK && CtxProtocol != TServProtocol::PROTO_ABORT;
        } else {
            return WaitResult(aPar);
        }
        if (!again) return r;
    }
}

TQORSVCWorkerExecResult TQORSVCContextSNPS::OnOpener(TQORSVCStepParams& aPar) {
    const std::string_view opener = f_Collector.BufData();
    if (opener == "CT:") {
        f_Collector.NextBufString(kMaxLineLen);
        CtxProtocol = TServProtocol::PROTO_QOR;
        QORProtoStatus = PS::QOR_PS_WAIT_CONNECT_STR;
        return wer__OK;
    }
    // Keep what opened the connection, and a little of what followed, for the log.
    std::string shown(opener);
    f_Collector.Timeout = 0;
    if (f_Collector.StartBufStringAndCheck(100, aPar.sp_CheckTick) == colr_Ready) {
        shown.append(f_Collector.BufData().substr(0, 300));
    } else {
        const int n = std::min(f_Collector.DirtyLen(), 300);
        if (n > 0) shown.append(f_Collector.Buffer() + f_Collector.DirtyStart(), n);
    }
    SetHandshakeString(std::move(shown));
    return Fail(Cause::fsdc_InvalidConnectString);
}

TQORSVCWorkerExecResult TQORSVCContextSNPS::OnConnectString(TQORSVCStepParams& aPar) {
    f_Line.assign(f_Collector.BufData());
    SetHandshakeString("CT:" + f_Line);
    TCP_QOR_ParseClientConnectStr(f_Line.data(), static_cast<int32_t>(f_Line.size()));
    const TClientErrorType err = ConnectError();
    if (err == TClientErrorType::cet_NONE) return Fail(Cause::fsdc_InvalidConnectString);
    // Whatever the answer, the client now waits for it: input is no longer
    // read, and the activity time-out bounds the wait.
    f_Collector.Clear();
    f_Collector.Timeout = ActivityTimeoutTicks();
    f_Collector.StartWaitFromTick(aPar.sp_CheckTick);
    QORProtoStatus = PS::QOR_PS_HOLLAND;
    if (err == TClientErrorType::cet_OK) {
        CtxInitialFlags = CtxFlags();
        CtxInitial2Flags = Ctx2Flags();
        if (TQORSVCHost* host = QORService()) {
            auto rec = std::make_unique<TQORSVCNetQueueRecord>();
            const TQORSVCCtxRef ref = CtxRefOf(static_cast<const TQORSVCWrkCtx*>(this));
            rec->nqr_Cmd = TQORServNetworkCommand::snc_HandshakeClient;
            rec->nqr_Context = ref.Ctx;
            rec->nqr_GlobalKey = ref.Key;
            host->SvcPoster().ServQueuePush(std::move(rec));
        }
    } else {
        PrepareClientErrorAnswer();
    }
    return WaitResult(aPar);
}

void TQORSVCContextSNPS::PrepareClientErrorAnswer() {
    const TClientErrorType err = ConnectError();
    const TQORServiceConfig* cfg = pCfg();
    const TQORRefusal r = RefusalOf(err, cfg != nullptr && cfg->DisableDUPL);
    if (err == TClientErrorType::cet_OK) throw std::logic_error("TCP_client_error: there is no any error");
    if (!r.Known) {
        if (TQORSVCHost* host = QORService()) {
            host->evnt_Srv_Error(u"Software problem: ClientError got unknown code " +
                                 ByteStrToUnicode(std::to_string(static_cast<int>(err))) +
                                 u": answer with BLOCK");
        }
    }
    DisconnectCauseW(r.Cause);
    QueueHandshakeErrorAnswer(r.Word);
}

void TQORSVCContextSNPS::QueueHandshakeErrorAnswer(std::string_view aAccessWord) {
    TQORSVCHost* host = QORService();
    if (host == nullptr) return;
    const TQORServiceConfig* cfg = pCfg();
    // No network was chosen for a connect string refused here: the service's
    // own setting decides whether the answer carries server information.
    const bool serverInfo = cfg != nullptr && cfg->cfg_ServServerInfo;
    FastStringA f(256);
    PrepareHandshakeAnswer(f, ConnectHandshakeClientOf(*this), TQORHandshakeNetwork{}, HandshakeServer(),
                           false, aAccessWord, serverInfo);
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    const TQORSVCCtxRef ref = CtxRefOf(static_cast<const TQORSVCWrkCtx*>(this));
    rec->nqr_Cmd = TQORServNetworkCommand::snc_HandshakeError;
    rec->nqr_Context = ref.Ctx;
    rec->nqr_GlobalKey = ref.Key;
    rec->nqr_DataS1 = f.Str();
    host->SvcPoster().ServQueuePush(std::move(rec));
}

TQORSVCWorkerExecResult TQORSVCContextSNPS::OnCommand(TQORSVCStepParams& aPar) {
    if (SoundFlag != TSoundFrameType::SoundFrameNone) {
        const bool isLong = SoundFlag == TSoundFrameType::SoundFrameLong;
        SoundFlag = TSoundFrameType::SoundFrameNone;
        const bool ignored = (Ctx2Flags() & QOR_C2F_IGNORE_SOUNDS) != 0 ||
                             (CtxFlags() & (QOR_CF_NEWBIE | QOR_CF_LEAVING)) != 0;
        if (!ignored) M2_QOR_Process_Sound(isLong, std::move(f_SoundFrame));
        f_FloorClaim = true;
        f_FloorClaimTick = aPar.sp_CheckTick;
        f_SoundFrame.clear();
        f_Collector.Timeout = ActivityTimeoutTicks();
        f_Collector.StartBufStringFromTick(kMaxLineLen, aPar.sp_CheckTick);
        return wer__OK;
    }
    f_Line.assign(f_Collector.BufData());
    TQORClientCmdView v;
    v.CtxFlags = CtxFlags();
    v.Ctx2Flags = Ctx2Flags();
    // The membership is the heartbeat's (a move rewrites it): only the word it
    // publishes is read here.
    v.GrantedFlags = PublishedGrantedFlags();
    v.Privilege = PublishedPrivilege();
    v.Utf8 = CliUTF8();
    v.ClientId = CliHashA();
    v.Service = &Facts();
    v.Self = CtxRefOf(static_cast<const TQORSVCWrkCtx*>(this));
    TQORClientCmdOutcome o =
        ParseClientCommand(v, f_Line.data(), static_cast<int32_t>(f_Line.size()));
    switch (o.Action) {
        case TQORClientCmdAction::Fail:
            if (o.Cause != Cause::fsdc_DisconnectWithoutAuth) DisconnectCauseW(o.Cause);
            SetConnectionCmdErr(std::move(o.CmdErr));
            return Fail(Cause::fsdc_WrongCommand);
        case TQORClientCmdAction::Post:
            if (TQORSVCHost* host = QORService()) {
                if (o.Rec) NotePosted(*o.Rec);
                host->SvcPoster().ServQueuePush(std::move(o.Rec));
            }
            break;
        case TQORClientCmdAction::RxRequest:
            f_FloorClaim = false;
            M2_QOR_Process_Rx_Request();
            break;
        case TQORClientCmdAction::TxRequest:
            f_FloorClaim = true;
            f_FloorClaimTick = aPar.sp_CheckTick;
            M2_QOR_Process_Tx_Request();
            break;
        case TQORClientCmdAction::SoundLong:
        case TQORClientCmdAction::SoundShort: {
            const bool isLong = o.Action == TQORClientCmdAction::SoundLong;
            const int n = isLong ? kQORSoundLongBytes : kQORSoundShortBytes;
            SoundFlag = isLong ? TSoundFrameType::SoundFrameLong : TSoundFrameType::SoundFrameShort;
            f_SoundFrame.assign(static_cast<size_t>(n + kQORSoundHeaderRoom), '\0');
            f_Collector.NextBinary(f_SoundFrame.data() + kQORSoundHeaderRoom, n);
            return wer__OK;
        }
        case TQORClientCmdAction::None: break;
    }
    f_Collector.Timeout = ActivityTimeoutTicks();
    f_Collector.StartBufStringFromTick(kMaxLineLen, aPar.sp_CheckTick);
    return wer__OK;
}

// ---- heartbeat side -----------------------------------------------------------

bool TQORSVCContextSNPS::Append(const void* aBuffer, int32_t aLen) {
    if (aLen <= 0) return true;
    if (f_OutAsync.PendingBytes() + static_cast<size_t>(aLen) > f_HardCap ||
        !f_OutAsync.PutData(aBuffer, aLen)) {
        // A client that lets this much pile up is not reading (a reader
        // that reads is dropped only by the over-limit rule, after the
        // activity time-out): drop it rather than let it hold the server's memory.
        ClientTerminateSignal(Cause::fsdc_BandWidthLimit);
        return false;
    }
    return true;
}

bool TQORSVCContextSNPS::AppendShared(const TSharedFrame& aFrame) {
    if (f_OutAsync.PendingBytes() + aFrame.Len() > f_HardCap || !f_OutAsync.PutShared(aFrame)) {
        ClientTerminateSignal(Cause::fsdc_BandWidthLimit);
        return false;
    }
    return true;
}

void TQORSVCContextSNPS::vSendShared(const TSharedFrame& aFrame, bool aWakeWorker) {
    if (f_SocketClosed.load(std::memory_order_acquire) || (IntrFlag() & ifl_Terminate)) return;
    if (aFrame.Empty() || !AppendShared(aFrame)) return;
    SetIntrFlags(ifl_Flush);
    if (aWakeWorker) WakeUpWorker();
}

bool TQORSVCContextSNPS::SendThroughAllowed(const TSharedFrame& aFrame) {
    if (f_SocketClosed.load(std::memory_order_acquire) || (IntrFlag() & ifl_Terminate))
        return false;
    if (aFrame.Empty()) return false;
    if (f_OutAsync.PendingBytes() + aFrame.Len() > f_HardCap) {
        ClientTerminateSignal(Cause::fsdc_BandWidthLimit);
        return false;
    }
    return true;
}

void TQORSVCContextSNPS::vSendSharedThrough(const TSharedFrame& aFrame) {
    if (SendThroughAllowed(aFrame)) vSendThroughDone(f_OutAsync.PutSharedWriteThrough(aFrame));
}

void TQORSVCContextSNPS::vSendSharedThrough(const TSharedFrame& aFrame,
                                            TWriteThroughBatch& aBatch) {
    if (!SendThroughAllowed(aFrame)) return;
    const auto r = aBatch.Put(f_OutAsync, aFrame, static_cast<TQORSVCContext*>(this));
    if (r != TAsyncWriter2SocketThreadSafe::WriteThrough::Sending) vSendThroughDone(r);
}

void TQORSVCContextSNPS::vSendThroughDone(TAsyncWriter2SocketThreadSafe::WriteThrough aResult) {
    switch (aResult) {
        case TAsyncWriter2SocketThreadSafe::WriteThrough::Sent:
        case TAsyncWriter2SocketThreadSafe::WriteThrough::Behind:
        case TAsyncWriter2SocketThreadSafe::WriteThrough::Sending:
            return;
        case TAsyncWriter2SocketThreadSafe::WriteThrough::Refused:
            ClientTerminateSignal(Cause::fsdc_BandWidthLimit);
            return;
        case TAsyncWriter2SocketThreadSafe::WriteThrough::Queued:
            // The rest, a full socket or a send error, is the worker's.
            SetIntrFlags(ifl_Flush);
            WakeUpWorker();
            return;
    }
}

void TQORSVCContextSNPS::vSendBytes(const void* aBuffer, int32_t aLen) {
    if (f_SocketClosed.load(std::memory_order_acquire) || (IntrFlag() & ifl_Terminate)) return;
    if (!Append(aBuffer, aLen)) return;
    SetIntrFlags(ifl_Flush);
    WakeUpWorker();
}

void TQORSVCContextSNPS::vSendBytesDontWakeWorker(const void* aBuffer, int32_t aLen) {
    if (f_SocketClosed.load(std::memory_order_acquire) || (IntrFlag() & ifl_Terminate)) return;
    if (!Append(aBuffer, aLen)) return;
    SetIntrFlags(ifl_Flush);
}

void TQORSVCContextSNPS::vSendBytesAnswerOK(const void* aBuffer, int32_t aLen) {
    if (f_SocketClosed.load(std::memory_order_acquire)) return;
    if (!Append(aBuffer, aLen)) return;
    SetIntrFlags(ifl_AnswerOK);
    WakeUpWorker();
}

void TQORSVCContextSNPS::vSendBytesFlushAndTerm(const void* aBuffer, int32_t aLen) {
    if (f_SocketClosed.load(std::memory_order_acquire)) return;
    if (!Append(aBuffer, aLen)) return;
    SetIntrFlags(ifl_FlushAndTerm);
    CtxFlagsSet(QOR_CF_LEAVING);
    WakeUpWorker();
}

bool TQORSVCContextSNPS::vOutputBufferLimit(int32_t aLimit, TGaxTick32 aTick) {
    if (f_OutAsync.PendingBytes() <= static_cast<size_t>(std::max<int32_t>(aLimit, 0))) {
        f_OverLimit.store(false, std::memory_order_relaxed);
        return false;
    }
    if (!f_OverLimit.load(std::memory_order_relaxed)) {
        f_OverLimit.store(true, std::memory_order_relaxed);
        f_LastOverlimitTick = aTick;
        return false;
    }
    return aTick - f_LastOverlimitTick >= ActivityTimeoutTicks();
}

}  // namespace gax
