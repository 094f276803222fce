#include "server/gax_qor_svc_wrkctx.h"

#include <utility>

#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_worker.h"
#include "sockets/gax_snps_utils.h"

namespace gax {

namespace {

void AppendQuotedValue(TStringBldU& aB, std::u16string_view aLabel, std::u16string_view aValue,
                       bool aEscapeBackslash = true) {
    AppendStr(aB, aLabel);
    AppendChar(aB, u'`');
    AppendLogSafeText(aB, aValue, aEscapeBackslash);
    AppendChar(aB, u'`');
}

}  // namespace

TQORSVCWrkCtx::TQORSVCWrkCtx(TQORSVCHost* aQORService, TSocket aSocket, std::string aPeerAddrBin,
                             int32_t aPeerPort)
    : f_Peer_AddressBin(std::move(aPeerAddrBin)), e_QORService(aQORService) {
    if (e_QORService) p_Cfg = &e_QORService->SvcConfig();
    f_Socket = aSocket;
    f_Peer_Address = UnicodeToByteStr(AddrBinToText(f_Peer_AddressBin));
    f_Peer_Port = std::to_string(aPeerPort);
    f_Peer_Name = FormatHostPortA(f_Peer_Address, f_Peer_Port);
    CalcGlobals();
}

TQORSVCWrkCtx::~TQORSVCWrkCtx() {
    CloseSocketHandle();
}

void TQORSVCWrkCtx::CalcGlobals() {
    f_GlobalKey = e_QORService ? e_QORService->GetNextUniqCounter() : 1;
    f_SessionIP_U = ByteStrToUnicode(vGetPeerName());
}

void TQORSVCWrkCtx::vFlush() {
    throw Exception("TQORSVCWrkCtx.vFlush");
}

void TQORSVCWrkCtx::vAbortConnection() {
    throw Exception("TQORSVCWrkCtx.vAbortConnection");
}

std::string TQORSVCWrkCtx::vGetPeerName() {
    return f_Peer_Name;
}

void TQORSVCWrkCtx::vSetDisconnectCauseOnTimeout() {
    DisconnectCauseW(TQORSVCDisconnectCause::fsdc_ClientTimeout);
}

bool TQORSVCWrkCtx::vCanDispose() {
    return true;
}

void TQORSVCWrkCtx::vExecStop(TQORSVCWorker*) {
    throw Exception("TQORSVCWrkCtx.vExecStop");
}

void TQORSVCWrkCtx::vCloseSocket() {
    CloseSocketHandle();
}

void TQORSVCWrkCtx::CloseSocketHandle() {
    TSocket s = DetachSocketHandle();
    if (s == INVALID_SOCKET_HANDLE) return;
    SocketSetReuseAddr(s, true);
    SocketCloseAndInvalidate(s);
}

TSocket TQORSVCWrkCtx::DetachSocketHandle() {
    if (f_Socket == INVALID_SOCKET_HANDLE) return INVALID_SOCKET_HANDLE;
    // Registered: only the thread that owns that waiter steps it, and so
    // closes it here.
    if (CtxWaiterResource != nullptr && CtxWaiter != nullptr) CtxWaiter->SocketClosing(CtxWaiterResource);
    return std::exchange(f_Socket, INVALID_SOCKET_HANDLE);
}

void TQORSVCWrkCtx::vCommandAnswer(TQORWrkAnswerCode, int32_t, std::u16string_view) {}

bool TQORSVCWrkCtx::DisconnectCauseW(TQORSVCDisconnectCause aCause) {
    const auto v = static_cast<uint8_t>(aCause);
    if (v == 0) return false;
    uint8_t expected = 0;
    return f_Disconnect_Cause.compare_exchange_strong(expected, v, std::memory_order_acq_rel);
}

void TQORSVCWrkCtx::WakeUpWorker() {
    if (TQORSVCWorker* w = CtxWorker()) w->WorkerWakeUpFlag.store(true, std::memory_order_release);
}

void TQORSVCWrkCtx::ClientTerminateSignal(TQORSVCDisconnectCause aDisconnectCause) {
    DisconnectCauseW(aDisconnectCause);
    SetIntrFlags(ifl_Terminate);
    WakeUpWorker();
}

void TQORSVCWrkCtx::SetInternalErrorText(std::u16string aText) {
    if (f_InternalErrorText.empty()) f_InternalErrorText = std::move(aText);
}

void TQORSVCWrkCtx::PushLog(std::u16string_view aPrefix, std::u16string_view aText) {
    if (!e_QORService) return;
    std::u16string line;
    line.reserve(aPrefix.size() + f_ConnectionStringU.size() + aText.size());
    line.append(aPrefix).append(f_ConnectionStringU).append(aText);
    e_QORService->Fifo(std::move(line));
}

void TQORSVCWrkCtx::call_OnCtxInfo(std::u16string_view aText) {
    PushLog(u"", aText);
}
void TQORSVCWrkCtx::call_OnCtxError(std::u16string_view aText) {
    PushLog(kLogPrefixError, aText);
}
void TQORSVCWrkCtx::call_OnCtxDebug(std::u16string_view aText) {
    PushLog(kLogPrefixDebug, aText);
}
void TQORSVCWrkCtx::call_OnCtxWarning(std::u16string_view aText) {
    PushLog(kLogPrefixWarning, aText);
}

// ---- helpers ------------------------------------------------------------------

void AppendLogSafeText(TStringBldU& aB, std::u16string_view aText, bool aEscapeBackslash) {
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    for (char16_t c : aText) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c == u'\\' && aEscapeBackslash)) {
            AppendStr(aB, u"\\x");
            AppendChar(aB, kHex[(c >> 4) & 0xF]);
            AppendChar(aB, kHex[c & 0xF]);
        } else {
            AppendChar(aB, c);
        }
    }
}

void AppendDisconnectDescription(TStringBldU& aB, const TQORSVCWrkCtx& aContext) {
    AppendStr(aB, aContext.ConnectionStringU());
    const TQORSVCDisconnectCause cause = aContext.DisconnectCauseR();
    AppendSpaceStr(aB, DisconnectCauseRec(cause).N);
    if (!aContext.ConnectionCmdErr().empty()) {
        if (cause == TQORSVCDisconnectCause::fsdc_InvalidCharacter) {
            AppendQuotedValue(aB, u" WRONG_CHARS=", aContext.ConnectionCmdErr());
        } else if (cause == TQORSVCDisconnectCause::fsdc_WrongCommand) {
            AppendQuotedValue(aB, u" WRONG_CMD=", aContext.ConnectionCmdErr(), false);
        }
    }
    if (!aContext.InternalErrorText().empty()) {
        AppendQuotedValue(aB, u" ERROR_TEXT=", aContext.InternalErrorText());
    }
}

std::u16string FormatScriptExecErrorText(std::u16string_view aScriptName,
                                         std::u16string_view aErrorText) {
    std::u16string s = u"Error of execiting \"";
    s.append(aScriptName).append(u"\": ").append(aErrorText);
    return s;
}

void AppendScriptArgument(TStringBldU& aB, std::u16string_view aArgument) {
    if (aArgument.empty()) {
        AppendStr(aB, u"\"\"");
        return;
    }
    const bool quote =
        aArgument.substr(0, aArgument.size() - 1).find(u' ') != std::u16string_view::npos;
    if (quote) AppendChar(aB, u'"');
    AppendStr(aB, aArgument);
    if (quote) AppendChar(aB, u'"');
}

int32_t RunExternalScript(std::u16string& aErrorText, std::u16string_view,
                          std::span<const std::u16string>) {
    aErrorText.clear();
    return 0;
}

}  // namespace gax
