#include "control/gax_qor_svc_command.h"

#include <unistd.h>

#include <string>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_datetime.h"
#include "server/gax_qor_svc_worker.h"
#include "sockets/gax_snps_sockets.h"

namespace gax {
namespace {

constexpr std::string_view kOK = "+OK\r\n";

// The flag names a console lists with "i 03", in bit order.
constexpr std::string_view kIntFlagNames =
    "+8\r\nIGNORECLIENTMESSAGES\r\nIGNORECLIENTSOUNDS\r\nNOSERVERMESSAGES\r\n"
    "NOSERVERSOUNDS\r\nAGGREGATELIST\r\nNOLIST\r\nDUMMY\r\nSVX\r\n";

std::string LowBytes(std::u16string_view aText) {
    std::string s;
    s.reserve(aText.size());
    for (char16_t c : aText) s.push_back(static_cast<char>(c & 0xFF));
    return s;
}

// A notice as the network's 8-bit clients read it: in the network's own set,
// or, for a network without one (or a set the system cannot convert), the
// low byte of each unit.
std::string NoticeBytes(std::u16string_view aText, const TQORSVCCmdNetwork& aNet) {
    if (!aNet.CharsetName.empty()) {
        try {
            TAnsiUnicodeConverter conv;
            conv.SetCharsetsCodeList(aNet.CodeList);
            conv.SetCharsetName(aNet.CharsetName);
            return conv.UnicodeToAnsi(aText);
        } catch (const Exception&) {
        }
    }
    return LowBytes(aText);
}

std::u16string WidenAscii(std::string_view aText) {
    return std::u16string(aText.begin(), aText.end());
}

}  // namespace

TQORSVCCommandContext::TQORSVCCommandContext(TQORSVCCommandHost* aService, TSocket aSocket,
                               std::string aPeerAddrBin, int32_t aPeerPort)
    : TQORSVCCommandCtx(aService, aSocket, std::move(aPeerAddrBin), aPeerPort), e_Cmd(aService) {
    CtxWrkTagInt = 0;  // command connections yield to client traffic within a sweep
    SocketSetReuseAddr(aSocket, true);
    SocketSetNoDelay(aSocket, true);
    SocketSetNonBlocking(aSocket);
    f_Collector.SetSocket(aSocket);
    f_Collector.SetFastEof(true);
    f_Collector.Timeout = 10000;
    f_Writer.SetSocket(aSocket);
    SetConnectionStringU(u"Command: " + WidenAscii(Peer_Address()) + u" " + WidenAscii(Peer_Port()));
    if (e_Cmd->LogCommandLevel() > 0) e_Cmd->Fifo(ConnectionStringU() + u" CONNECT");
}

TQORSVCCommandContext::~TQORSVCCommandContext() = default;

void TQORSVCCommandContext::PutData(const void* aPtr, int32_t aLen) {
    if (aLen <= 0) return;
    f_Writer.PutData(aPtr, aLen);
    SetIntrFlags(ifl_Flush);
}

void TQORSVCCommandContext::PutStr(std::string_view aStr) {
    PutData(aStr.data(), static_cast<int32_t>(aStr.size()));
}

void TQORSVCCommandContext::vCommandAnswer(TQORWrkAnswerCode aAnswerCode, int32_t aAnswerParams,
                                    std::u16string_view) {
    if (aAnswerCode != fwac_MoveClient) return;
    if (aAnswerParams < 0 || aAnswerParams >= kChannelAnswerCount) return;
    PutStr(ChannelAnswerLine(static_cast<TQORChannelCommandAnswer>(aAnswerParams)));
    WakeUpWorker();
}

void TQORSVCCommandContext::SetWait(TQORSVCStepParams& aPar) {
    aPar.sp_Socket = CtxSocket();
    aPar.sp_WaitFlags = f_Collector.WaitFlagsFor(f_Writer.NeedWaitForWrite());
}

void TQORSVCCommandContext::vExecStart(TQORSVCStepParams& aPar) {
    f_Collector.Timeout = kCmdLineTimeoutMs;
    f_Collector.StartFastStringFromTick(f_CmdC, kCmdLineMax, aPar.sp_CheckTick);
    SetWait(aPar);
}

TQORSVCWorkerExecResult TQORSVCCommandContext::vExecParameters(TQORSVCStepParams& aPar) {
    if (f_Collector.IsTimeout(aPar.sp_CheckTick)) {
        vCloseSocket();
        return wer__Timeout;
    }
    SetWait(aPar);
    if (f_Closing) aPar.sp_WaitFlags |= wf_Write;
    return wer__OK;
}

bool TQORSVCCommandContext::vExecTimeout(TQORSVCStepParams& aPar) {
    if (!f_Collector.IsTimeout(aPar.sp_CheckTick)) return false;
    vCloseSocket();
    vSetDisconnectCauseOnTimeout();
    return true;
}

void TQORSVCCommandContext::vExecStop(TQORSVCWorker* aWorker) {
    vCloseSocket();
    f_Collector.SetSocket(-1);
    f_Writer.SetSocket(-1);
    if (e_Cmd->LogCommandLevel() > 0) {
        TStringBldU b;
        AppendDisconnectDescription(b, *this);
        e_Cmd->Fifo(ToText(b));
    }
    e_Cmd->SvcPoster().ServQueue_CommandContextDisconnected(CtxRefOf(this), aWorker);
}

TQORSVCWorkerExecResult TQORSVCCommandContext::Closing(TQORSVCStepParams& aPar) {
    // The refused line is consumed already, so this state alone remembers
    // that the connection must end once the queued bytes are out.
    if (!f_Writer.Flush()) return wer__Error;
    if (f_Writer.PendingBytes() > 0) {
        aPar.sp_Socket = CtxSocket();
        aPar.sp_WaitFlags = wf_Write;
        return wer__OK;
    }
    DisconnectCauseW(TQORSVCDisconnectCause::fsdc_CommandWrongCommand);
    return wer__Error;
}

TQORSVCWorkerExecResult TQORSVCCommandContext::vExecStep(TQORSVCStepParams& aPar) {
    // The stop ends the connection (cause set by the signaller): what is
    // already queued is written first, like after a refused line.
    if ((IntrFlagOf(TakeIntrFlags()) & ifl_Terminate) != 0) f_Closing = true;
    if (f_Closing) return Closing(aPar);
    f_Collector.CollectorReadCounter = 0;
    if ((aPar.sp_WaiterEvents & we_Read) != 0) f_Collector.NoteReadable();
    for (;;) {
        if (f_Collector.CollectorReadCounter > kCmdStepReadBudget) {
            f_Collector.CollectorReadCounter = 0;
            SetWaiterFlag(kWaiterFlagStep);
            return wer__Extra;
        }
        const TCollectorCheckResult r = f_Collector.CheckCollectorWithTick(aPar.sp_CheckTick);
        switch (r) {
            case colr_NotReady:
                if (f_Writer.PendingBytes() > 0 && !f_Writer.Flush()) return wer__Error;
                SetWait(aPar);
                return wer__OK;
            case colr_EOF:
                // A peer that only half-closed still gets what was answered.
                if (f_Writer.PendingBytes() > 0) (void)f_Writer.Flush();
                return wer__EOF;
            case colr_Timeout:
                return wer__Timeout;
            case colr_Ready:
                break;
            default:
                return wer__Error;
        }
        switch (HandleLine(aPar)) {
            case LineOutcome::Continue:
                f_Collector.NextFastString(f_CmdC, kCmdLineMax);
                break;
            case LineOutcome::Fresh:
                f_Collector.StartFastStringFromTick(f_CmdC, kCmdLineMax, aPar.sp_CheckTick);
                break;
            case LineOutcome::NoMoreRequests:
                // Only the peer's close or the deadline ends it now.
                f_NoMoreRequests = true;
                f_Collector.NextWait();
                break;
            case LineOutcome::Refuse:
                f_Closing = true;
                return Closing(aPar);
            case LineOutcome::Error:
                return wer__Error;
        }
    }
}

TQORSVCCommandContext::LineOutcome TQORSVCCommandContext::HandleLine(TQORSVCStepParams&) {
    TQORCmdRequest req;
    switch (DecodeChannelRequest(f_CmdC.View(), req)) {
        case TQORCmdDecodeResult::Empty:
            return LineOutcome::Continue;
        case TQORCmdDecodeResult::Refuse:
            // Kept for the disconnect line (escaped there), cut to a size a log line can carry.
            SetConnectionCmdErr(WidenAscii(f_CmdC.View().substr(0, 64)));
            if (req.Word != fsca_NoAnswer) PutStr(ChannelAnswerLine(req.Word));
            return LineOutcome::Refuse;
        case TQORCmdDecodeResult::Request:
            break;
    }
    return Act(req);
}

TQORSVCCommandContext::LineOutcome TQORSVCCommandContext::AnswerOK() {
    f_Writer.PutStrA(kOK);
    return f_Writer.Flush() ? LineOutcome::Fresh : LineOutcome::Error;
}

TQORSVCCommandContext::LineOutcome TQORSVCCommandContext::AnswerWordAndRefuse(TQORChannelCommandAnswer aAnswer) {
    PutStr(ChannelAnswerLine(aAnswer));
    return LineOutcome::Refuse;
}

TQORSVCCommandContext::LineOutcome TQORSVCCommandContext::AnswerNow(std::string_view aBytes) {
    f_Writer.PutStrA(aBytes);
    return f_Writer.Flush() ? LineOutcome::Continue : LineOutcome::Error;
}

bool TQORSVCCommandContext::FindNet(const std::string& aNameUTF8, const std::u16string& aNameU,
                             TQORSVCCmdNetwork& aNet) {
    return !aNameUTF8.empty() && e_Cmd->CmdFindNetwork(aNameU, aNameUTF8, aNet);
}

TQORSVCCommandContext::LineOutcome TQORSVCCommandContext::Act(const TQORCmdRequest& q) {
    TQORSVCPoster& post = e_Cmd->SvcPoster();
    const TQORSVCCtxRef me = CtxRefOf(this);
    TQORSVCCmdNetwork net;
    const auto needNet = [&]() { return FindNet(q.Net1, q.Net1U, net); };
    switch (q.Code) {
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case 't':
        case '9':
            // A connection asks for one reread at a time (the console sends
            // one request per connection): another one before the answer is
            // refused, so no connection can pile them up on the service
            // thread. Rereading all is answered at once and its work has no
            // answer to wait for: it keeps the slot for the connection's life.
            if (!TryStartReread()) return AnswerWordAndRefuse(fsca_NoAnswer);
            break;
        default: break;
    }
    switch (q.Code) {
        case '1':
            if (!e_Cmd->CmdManagerNewPasswordIdx(q.Num1, q.Text1))
                return AnswerWordAndRefuse(fsca_NoManager);
            return AnswerOK();
        case 'd':
            if (!e_Cmd->CmdManagerNewEmailIdx(q.Num1, q.Text1))
                return AnswerWordAndRefuse(fsca_NoManager);
            return AnswerOK();
        case '2':
        case 'c': {
            const auto m = e_Cmd->CmdManagerNewPasswordAddr(q.Text1, q.Net1, q.Code == 'c', q.Text2);
            if (m == TQORSVCCmdManagerMatch::None) return AnswerWordAndRefuse(fsca_NoManager);
            if (m == TQORSVCCmdManagerMatch::Many) return AnswerWordAndRefuse(fsca_TooManyManagers);
            return AnswerOK();
        }
        case '3': post.MainQueue_RereadAdmins(q.Text1U, me); return LineOutcome::Fresh;
        case '4': post.MainQueue_RereadMutes(q.Text1U, me); return LineOutcome::Fresh;
        case '5': post.MainQueue_RereadBlocks(q.Text1U, me); return LineOutcome::Fresh;
        case '6': post.MainQueue_RereadRights(q.Text1U, me); return LineOutcome::Fresh;
        case '7': post.MainQueue_RereadModes(q.Text1U, me); return LineOutcome::Fresh;
        case '8': post.MainQueue_RereadNotices(q.Text1U, me); return LineOutcome::Fresh;
        case 't': post.MainQueue_RereadIntFlags(q.Text1U, me); return LineOutcome::Fresh;
        case '9':
            post.MainQueue_RereadALL();
            return AnswerOK();
        case 'A':
            post.ServQueue_ChannelMemoryReportRequest(me);
            return LineOutcome::Fresh;
        case 'B': {
            const LineOutcome o = AnswerOK();
            e_Cmd->CmdAbortService(u"STOP COMMAND");
            return o;
        }
        case 'C':
            if (q.Sub == 0) {
                post.ServQueue_ChannelListServer(me);
                return LineOutcome::Fresh;
            }
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            post.ServQueue_ChannelListNet(net.Handle, me);
            return LineOutcome::Fresh;
        case 'D':
        case 'E':
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            if (q.Code == 'D')
                post.ServQueue_ChannelMute(q.ClientId, net.Handle, q.Num1, q.Flag);
            else
                post.ServQueue_ChannelBlock(q.ClientId, net.Handle, q.Num1, q.Flag);
            return AnswerOK();
        case 'F':
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            post.ServQueue_ChannelAdmin(q.ClientId, net.Handle, q.Flag);
            return AnswerOK();
        case 'G':
        case 'H':
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            if (q.Code == 'G')
                post.ServQueue_ChannelRightAddDel(q.Text1, net.Handle, q.Flag);
            else
                post.ServQueue_ChannelRightMarkUnmark(q.Text1, net.Handle, q.Flag);
            return AnswerOK();
        case 'I':
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            post.ServQueue_ChannelRightNoticeSet(NoticeBytes(q.Text1U, net), q.Text1, net.Handle);
            return AnswerOK();
        case 'J':
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            post.ServQueue_ChannelRightNoticeClear(net.Handle);
            return AnswerOK();
        case 'K':
        case 'L':
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            if (q.Code == 'K')
                post.ServQueue_ChannelConnectListedOnly(net.Handle, q.Num1, me);
            else
                post.ServQueue_ChannelTalkMarkedOnly(net.Handle, q.Num1, me);
            return q.Num1 < 0 ? LineOutcome::Fresh : AnswerOK();
        case 'N':
            post.ServQueue_ChannelServerManagerMode(static_cast<TQORSystemManagerMode>(q.Num1));
            return AnswerOK();
        case 'O':
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            post.ServQueue_ChannelNetworkManagerMode(net.Handle,
                                                     static_cast<TQORSystemManagerMode>(q.Num1));
            return AnswerOK();
        case 'P':
            post.ServQueue_ChannelThreads(me);
            return LineOutcome::Fresh;
        case 'Q':
            post.ServQueue_ChannelFlushData(me);
            return LineOutcome::Fresh;
        case 'R': {
            const uint32_t up = e_Cmd->CmdServerUptime();
            std::string s = "+1\r\nServer uptime: ";
            s += UnicodeToUtf8Str(FormatSecondsInterval(up));
            s += " / " + std::to_string(up) + " seconds\r\n";
            return AnswerNow(s);
        }
        case 'S': {
            TQORSVCCmdNetwork to;
            if (!needNet() || !FindNet(q.Net2, q.Net2U, to)) return AnswerWordAndRefuse(fsca_NoNetwork);
            if (net.Handle == to.Handle) return LineOutcome::Refuse;
            post.ServQueue_ChannelMoveClient(me, net.Handle, to.Handle, q.ClientId, q.Num1);
            return LineOutcome::Fresh;
        }
        case 'T':
            if (q.Sub == 0) {
                post.ServQueue_ChannelDisconnectNetworkClient(nullptr, std::string(), me);
                return AnswerOK();
            }
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            post.ServQueue_ChannelDisconnectNetworkClient(net.Handle, q.ClientId, me);
            return q.Sub == 1 ? AnswerOK() : LineOutcome::Fresh;
        case 'W':
            e_Cmd->CmdLogText(ConnectionStringU(), q.Text1U);
            return AnswerOK();
        case 'X':
            return AnswerNow("+1\r\n" + std::to_string(::getpid()) + "\r\n");
        case 'Y':
            post.ServQueue_ChannelDisconnectManagerIdx(q.Num1, me);
            return LineOutcome::Fresh;
        case 'Z':
            post.ServQueue_ChannelDisconnectManagerAddrPort(q.Text1, q.Num1, me);
            return LineOutcome::Fresh;
        case 'b':
            if (q.Net1.empty()) {
                e_Cmd->CmdSetLogClientLevel(q.Num1);
                return AnswerOK();
            }
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            post.ServQueue_ChannelNetworkLogLevel(net.Handle, q.Num1);
            return AnswerOK();
        case 'i': {
            if (q.Sub == 3) {
                const LineOutcome o = AnswerNow(kIntFlagNames);
                return o == LineOutcome::Error ? o : LineOutcome::NoMoreRequests;
            }
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            using I = TQORSVCInternalFlagsQueueCommand;
            const I cmd = q.Sub == 2   ? I::fsifqc_InternalFlagsGet
                          : q.Sub == 1 ? I::fsifqc_InternalFlagsSet
                                       : I::fsifqc_InternalFlagsClear;
            post.ServQueue_ChannelInternalFlags(net.Handle, q.ClientId, cmd, q.Num1, q.Num2, me);
            return LineOutcome::Fresh;
        }
        case 'm':
            if (!needNet()) return AnswerWordAndRefuse(fsca_NoNetwork);
            post.ServQueue_ChannelSendHugeSound(me, net.Handle, q.ClientId);
            return LineOutcome::Fresh;
        case 'p':
            if (!e_Cmd->SvcConfig().cfg_ServerEnabled) return AnswerWordAndRefuse(fsca_NotSupported);
            post.ServQueue_ChannelManagerLogLevel(q.Num1, q.Num2, me);
            return LineOutcome::Fresh;
        case 'r':
            post.ServQueue_ChannelManagersList(me);
            return LineOutcome::Fresh;
        case 's':
            post.ServQueue_ChannelManagerAuthEnableDisable(q.Num1, q.Flag, me);
            return LineOutcome::Fresh;
        default:
            return LineOutcome::Refuse;
    }
}

std::unique_ptr<TQORSVCCommandCtx> MakeCommandContext(TQORSVCCommandHost* aService,
                                                      TSocket aSocket, std::string aPeerAddrBin,
                                                      int32_t aPeerPort) {
    return std::make_unique<TQORSVCCommandContext>(aService, aSocket, std::move(aPeerAddrBin),
                                            aPeerPort);
}

}  // namespace gax
