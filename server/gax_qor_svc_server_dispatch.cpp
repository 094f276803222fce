// The server-queue dispatcher's routing: which records the service handles
// itself, which it hands to a network's command array, and the alive test
// every answer to a command-channel context goes through. The handlers of
// other layers are reached through the virtual hooks of the service header.
//
// Heartbeat thread only.
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_context.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {

namespace {

using C = TQORServNetworkCommand;

bool IsListUpdate(C aCmd) { return static_cast<unsigned>(aCmd) <= 5u; }

uint32_t SaveBitOf(C aCmd) {
    switch (aCmd) {
        case C::snc_UpdateAdminsList: return kResAdmins;
        case C::snc_UpdateMutesList: return kResMutes;
        case C::snc_UpdateBlocksList: return kResBlocks;
        case C::snc_UpdateRightsList: return kResRights;
        case C::snc_UpdateModesList: return kResModes;
        case C::snc_UpdateNoticesList: return kResNotices;
        default: return 0;
    }
}

// Records that go to the network named in nqr_ReceiverObj.
bool GoesToReceiverNetwork(C aCmd) {
    const int c = static_cast<int>(aCmd);
    return (c >= 13 && c <= 20) || c == 27 || c == 28 || c == 37 || c == 41 || c == 50;
}

// Records that name a network command of a context (66 and above).
bool IsContextNetworkCommand(C aCmd) { return static_cast<int>(aCmd) >= 66; }

void LogFailure(TQORService& aSvc, std::u16string_view aClass, std::u16string_view aMessage) {
    std::u16string line = u"Timer: Heartbeat loop: ";
    line += aClass;
    line += u": ";
    line += aMessage;
    aSvc.evnt_Srv_Error(line);
}

}  // namespace

void TQORService::tmNotHandled(TQORSVCNetQueueRecord& aRec) {
    evnt_Srv_Debug(u"Server queue: not handled: " +
                   IntToDecStrW(static_cast<int64_t>(static_cast<int>(aRec.nqr_Cmd))));
}

void TQORService::tmWriteCommandAnswer(TQORSVCWrkCtx& aCtx, std::string_view aBytes, bool aWake) {
    // Only command contexts are listed with the command channel, so a failed
    // cast is a broken invariant, not a peer's doing.
    auto* cmd = dynamic_cast<TQORSVCCommandCtx*>(&aCtx);
    if (cmd == nullptr) throw Exception("Command channel answer to a context of another kind");
    cmd->PutData(aBytes.data(), static_cast<int32_t>(aBytes.size()));
    if (aWake) cmd->WakeUpWorker();
}

void TQORService::tmInFlightHandled(TQORSVCCtxRef aCtx) {
    auto it = f_tmClients.find(aCtx.Ctx.Identity());
    if (it == f_tmClients.end() || it->second.Ctx->CtxGlobalKey() != aCtx.Key) return;
    it->second.Ctx->InFlightHandled();
}

void TQORService::tmResumeReaders() {
    for (auto& [key, e] : f_tmClients)
        if (e.Ctx->ResumeReadingIfDrained()) f_Poster.NoteReaderResumed();
}

TQORSVCNetwork* TQORService::tmFindNetwork(TQORSVCHandle aNet) {
    for (const auto& n : f_Nets)
        if (aNet.Is(n.get())) return n.get();
    return nullptr;
}

TQORSVCNetwork* TQORService::tmNetworkOfContext(TQORSVCHandle aCtx) {
    auto it = f_tmClients.find(aCtx.Identity());
    return it == f_tmClients.end() ? nullptr : it->second.Network;
}

TQORSVCWrkCtx* TQORService::tmAliveCommandContext(TQORSVCHandle aCtx, TQORGlobalKey aKey) {
    for (const auto& c : f_tmCommandContexts)
        if (aCtx.Is(c.get())) return c->CtxGlobalKey() == aKey ? c.get() : nullptr;
    return nullptr;
}

bool TQORService::tmHandToNetwork(TQORSVCNetwork* aNet,
                                  std::unique_ptr<TQORSVCNetQueueRecord>& aRec) {
    if (aNet == nullptr) return false;
    if (aNet->PushCommand(aRec)) return true;
    // A batch hands at most 32 records to a network that drains 132 per pass,
    // so a full array is a fault of the network, not a load condition.
    evnt_Srv_Error(u"Network \"" + aNet->NetName() + u"\": command array full: " +
                   IntToDecStrW(static_cast<int64_t>(static_cast<int>(aRec->nqr_Cmd))));
    return false;
}

void TQORService::tmHandshakeClient(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) {
    auto it = f_tmClients.find(aRec->nqr_Context.Identity());
    if (it == f_tmClients.end() || it->second.Ctx->CtxGlobalKey() != aRec->nqr_GlobalKey)
        return;  // ended meanwhile: its disconnect record does the books
    TQORClientEntry& e = it->second;
    TQORSVCNetwork* net = e.Undefined ? tmHandshakeNetwork(*e.Ctx) : nullptr;
    if (net == nullptr) {
        e.Ctx->ClientTerminateSignal(TQORSVCDisconnectCause::fsdc_ServerError);
        return;
    }
    e.Undefined = false;
    e.Network = net;
    --f_tmUndefined;
    tmAdoptByNetwork(*net, std::move(e.Owned));
    tmHandToNetwork(net, aRec);
}

void TQORService::tmHandshakeError(TQORSVCNetQueueRecord& aRec) {
    auto it = f_tmClients.find(aRec.nqr_Context.Identity());
    if (it == f_tmClients.end() || it->second.Ctx->CtxGlobalKey() != aRec.nqr_GlobalKey)
        return;  // ended meanwhile: nobody is left to read the answer
    // Only sessions post this record; their worker writes the answer and
    // closes the connection once it is out.
    auto* ctx = dynamic_cast<TQORSVCContext*>(it->second.Ctx);
    if (ctx == nullptr) throw Exception("Handshake error answer to a context of another kind");
    ctx->vSendBytesFlushAndTerm(aRec.nqr_DataS1.data(),
                                static_cast<int32_t>(aRec.nqr_DataS1.size()));
}

void TQORService::tmChannelThreads(TQORSVCNetQueueRecord& aRec) {
    TQORSVCWrkCtx* ctx = tmAliveCommandContext(aRec.nqr_Context, aRec.nqr_GlobalKey);
    if (ctx == nullptr) return;
    const TQORSVCWorker* own = ctx->CtxWorker();
    std::string out = "+" + std::to_string(f_tmWorkers.size()) + "\r\n";
    for (const TQORWorkerSlot& s : f_tmWorkers) {
        int32_t held = s.W->wrkCapacity() - s.W->wrkFreeCount - s.W->wrkReservCount;
        if (s.W.get() == own) --held;
        out += std::to_string(held);
        out += "\r\n";
    }
    tmWriteCommandAnswer(*ctx, out, true);
}

void TQORService::tmDispatchOwned(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) {
    try {
        TQORSVCNetQueueRecord& r = *aRec;
        // ---- command channel: listings, memory report, late stop ----
        switch (r.nqr_Cmd) {
            case C::snc_ChannelListNet: tmChannelList(r, false); return;
            case C::snc_ChannelListServer: tmChannelList(r, true); return;
            case C::snc_ChannelMemoryReportRequest: tmMemReportRequest(r); return;
            case C::snc_MemoryReportAnswerLine: tmMemReportLine(r); return;
            case C::snc_MemoryReportAnswerReadyEvent: tmMemReportReady(r); return;
            // A report stops waiting for what ended; the pool's books follow below.
            case C::snc_ServWorkerTerminated: tmMemReportWorkerGone(r.nqr_SenderObj); break;
            case C::snc_CommandDisconnected: tmMemReportAskerGone(r); break;
            case C::snc_ServAbortAllWorkers:
                if (r.nqr_DataI0 == kStopLateAbortMark) {
                    tmStopLateAbort();
                    return;
                }
                break;
            default: break;
        }
        switch (r.nqr_Cmd) {
            case C::snc_ChannelCommandAnswer:
                if (TQORSVCWrkCtx* c = tmAliveCommandContext(r.nqr_Context, r.nqr_GlobalKey)) {
                    // Freed before the answer goes out: the peer may ask again once it has it.
                    if (r.nqr_DataI0 != 0)
                        if (auto* cmd = dynamic_cast<TQORSVCCommandCtx*>(c)) cmd->RereadAnswered();
                    tmWriteCommandAnswer(*c, r.nqr_DataS1, true);
                }
                return;
            case C::snc_ChannelThreads: tmChannelThreads(r); return;
            case C::snc_HandshakeClient: tmHandshakeClient(aRec); return;
            case C::snc_HandshakeError: tmHandshakeError(r); return;
            case C::snc_ClientDisconnected: tmClientDisconnected(aRec); return;
            case C::snc_CommandDisconnected: tmCommandDisconnected(r); return;
            case C::snc_ServWorkerStartHot: tmWorkerStartHot(); return;
            case C::snc_ServWorkerIdle: tmWorkerIdle(r.nqr_SenderObj); return;
            case C::snc_ServWorkerTerminated: tmWorkerTerminated(r.nqr_SenderObj); return;
            case C::snc_ServWorkerWillAcceptContext: tmWorkerWillAccept(r); return;
            case C::snc_ServWorkerGivesTalker: tmTakeTalker(r); return;
            case C::snc_ServWorkerRejectedContex: tmWorkerRejected(r.nqr_ReceiverObj); return;
            case C::snc_ServAbortAllWorkers: tmAbortAllWorkers(); return;
            case C::snc_ChannelDisconnectNetworkClient: {
                TQORSVCNetwork* net = tmFindNetwork(r.nqr_ReceiverObj);
                if (net != nullptr && !r.nqr_DataS1.empty()) {
                    tmHandToNetwork(net, aRec);
                    return;
                }
                if (net == nullptr) {
                    for (auto& [key, e] : f_tmClients)
                        if (e.Undefined)
                            e.Ctx->ClientTerminateSignal(TQORSVCDisconnectCause::fsdc_ByOwner);
                }
                for (std::size_t i = f_Nets.size(); i-- > 0;) {
                    if (net != nullptr && f_Nets[i].get() != net) continue;
                    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
                    rec->nqr_Cmd = C::snc_NetOwnerDisconnectAll;
                    rec->nqr_ReceiverObj = f_Nets[i].get();
                    tmHandToNetwork(f_Nets[i].get(), rec);
                }
                return;
            }
            default: break;
        }
        // ---- managers ----
        if (tmDispatchManagerRecord(aRec)) return;
        // ---- end of managers ----
        if (IsListUpdate(r.nqr_Cmd)) {
            const bool save = r.nqr_DataI0 != 0;
            for (std::size_t i = f_Nets.size(); i-- > 0;) {
                auto rec = std::make_unique<TQORSVCNetQueueRecord>();
                rec->nqr_Cmd = r.nqr_Cmd;
                rec->nqr_DataI0 = save ? 1 : 0;
                rec->nqr_ReceiverObj = f_Nets[i].get();
                rec->nqr_ListArray.resize(1);
                if (i < r.nqr_ListArray.size()) rec->nqr_ListArray[0] = std::move(r.nqr_ListArray[i]);
                tmHandToNetwork(f_Nets[i].get(), rec);
            }
            if (save) {
                tmServResults |= SaveBitOf(r.nqr_Cmd);
                f_tmPendingResults |= SaveBitOf(r.nqr_Cmd);
            }
            return;
        }
        if (tmDispatchRecord(r)) return;
        // ---- moves, fast mode and internal flags ----
        switch (r.nqr_Cmd) {
            case C::snc_ContextMoveClient:
            case C::snc_ChannelMoveClient:
            case C::snc_MoveClientAutoBack: tmMoveRecord(r); return;
            case C::snc_FastOn:
            case C::snc_FastOff: tmFastMode(r.nqr_Cmd); return;
            case C::snc_ApplyServIntFlags: tmApplyServIntFlags(r); return;
            default: break;
        }
        // ---- end of moves ----
        if (GoesToReceiverNetwork(r.nqr_Cmd)) {
            tmHandToNetwork(tmFindNetwork(r.nqr_ReceiverObj), aRec);
            return;
        }
        if (IsContextNetworkCommand(r.nqr_Cmd)) {
            // A context that is in no network (ended, or not yet admitted)
            // has nothing left to do with the command: it is dropped.
            TQORSVCNetwork* net = tmNetworkOfContext(r.nqr_Context);
            // ---- the Parrot ----
            if (net == nullptr) net = tmNetworkOfPseudoClient(r.nqr_Context);
            tmHandToNetwork(net, aRec);
            return;
        }
        tmNotHandled(r);
    } catch (const Exception& e) {
        LogFailure(*this, e.ClassName(), e.Message());
    } catch (const std::exception& e) {
        LogFailure(*this, u"std::exception", Utf8StrToUnicodeLenient(e.what()));
    } catch (...) {
        LogFailure(*this, u"unknown", u"non-standard exception");
    }
}

}  // namespace gax
