// Connection admission and the worker pool: the heartbeat thread's side of
// every accepted connection (limits per address, in total and by connect
// rate), the contexts' worker slots, the workers' lifetime and the reorder
// that lets surplus workers run empty and end.
//
// Everything here runs on the heartbeat thread; workers learn of their work
// only through their work queues (flagged, woken at the end of the pass).
#include <new>

#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_server_id.h"
#include "sockets/gax_snps_sockets.h"
#include "sockets/gax_snps_utils.h"

namespace gax {

namespace {

std::u16string ExceptionText(const std::exception& e) {
    if (const auto* ge = dynamic_cast<const Exception*>(&e)) return ge->Message();
    return Utf8StrToUnicodeLenient(e.what());
}

}  // namespace

// ---------------------------------------------------------------- factories

std::unique_ptr<TQORSVCWrkCtx> TQORService::tmNewClientContext(TQORAdmitRequest&) {
    throw Exception("Client sessions are not available");
}

std::unique_ptr<TQORSVCWrkCtx> TQORService::lsNewClientContext(TSocket, const std::string&,
                                                               int32_t) {
    return nullptr;
}

std::unique_ptr<TQORSVCWrkCtx> TQORService::tmNewCommandContext(TQORAdmitRequest& aReq) {
    // The factory owns the socket from the call on, also when it raises or
    // when none is set: the admission must not close it a second time.
    TSocket s = aReq.Socket;
    aReq.Socket = INVALID_SOCKET_HANDLE;
    std::unique_ptr<TQORSVCCommandCtx> ctx = tmMakeCommandContext(s, aReq.AddrBin, aReq.Port);
    if (!ctx) throw Exception("Command channel sessions are not available");
    return ctx;
}

TQORSVCNetwork* TQORService::tmHandshakeNetwork(TQORSVCWrkCtx&) { return nullptr; }

void TQORService::tmAdoptByNetwork(TQORSVCNetwork& aNet, std::unique_ptr<TQORSVCWrkCtx> aCtx) {
    auto it = f_tmClients.find(aCtx.get());
    if (it == f_tmClients.end()) throw Exception("Adopted context not found");
    it->second.Network = &aNet;
    it->second.Owned = std::move(aCtx);
}

// ---------------------------------------------------------------- admission

void TQORService::tmLogRefusal(bool aCommand, const std::string& aAddrBin, int32_t aPort,
                               TQORSVCDisconnectCause aCause, std::u16string_view aMessage) {
    const DisconnectRec& rec = DisconnectCauseRec(aCause);
    if (aCommand) {
        if (f_LogCommandLevel < 0) return;
    } else if (rec.L > f_LogClientLevel) {
        return;
    }
    // The peer's address as text: its raw bytes would put control characters
    // into the log.
    std::u16string addr = AddrBinToText(aAddrBin);
    if (addr.empty()) addr = u"?";
    std::u16string line = aCommand ? u"Command: " : u"Client: ";
    line += addr;
    line += u' ';
    line += IntToDecStrW(static_cast<int64_t>(aPort));
    line += u' ';
    line += rec.N;
    if (aCause == TQORSVCDisconnectCause::fsdc_ServInternalError && !aMessage.empty()) {
        line += u": ";
        line += aMessage;
    }
    Fifo(std::move(line));
}

void TQORService::tmAdmitClient(TQORSVCNetQueueRecord& aRec) {
    using DC = TQORSVCDisconnectCause;
    // The record owned the socket until here; from now on this function does.
    TQORAdmitRequest req;
    req.Socket = static_cast<TSocket>(aRec.nqr_DataI0);
    aRec.nqr_DataI0 = -1;
    req.AddrBin = aRec.nqr_DataS1;
    req.Port = aRec.nqr_DataI1;
    if (!aRec.nqr_ListArray.empty())
        if (auto built = TakeListAs<TQORPrebuiltSession>(aRec.nqr_ListArray[0]))
            req.Prebuilt = std::move(built->Ctx);

    const int32_t perAddress = p_Cfg.cfg_ServMaxClientConnectionsPerAddress;
    const int32_t total =
        p_Cfg.cfg_ServMaxClientConnectionsTotal > 0 ? p_Cfg.cfg_ServMaxClientConnectionsTotal : 1000;
    const int32_t overhead =
        p_Cfg.cfg_LimitConnectionsOverhead >= 0 ? p_Cfg.cfg_LimitConnectionsOverhead : 0;

    TGaxHashSearch key = MakeAddressHashSearch(req.AddrBin);
    req.Key = &key;
    TQORAddressConnectCacheSearchResult found;
    TQORAddressConnectCache& cache = *f_tmAddressClientCounterCache;
    const bool known = cache.FindAddressRec(key, found);
    const int32_t live = known ? found.faccsr_LastFoundActiveConnections : 0;
    req.ExceededPerAddress =
        perAddress > 0 && known && cache.ExceededOnMaxConnectionsPerAddress(found);
    req.ExceededTotal = tmClientContextCount.load(std::memory_order_relaxed) > total;

    DC refusal = DC::fsdc_DisconnectWithoutAuth;
    std::u16string message;
    if (req.ExceededPerAddress && live > perAddress + overhead) {
        refusal = DC::fsdc_MaxClientConnectionsPerAddress;
    } else if (req.ExceededTotal &&
               tmTotalContextCount.load(std::memory_order_relaxed) > total + overhead) {
        refusal = DC::fsdc_MaxClientConnectionsTotal;
    } else if (known &&
               !found.faccsr_LastFoundObject->CanConnect_CheckOnConnectionsFrequency(
                   f_ServerUptime)) {
        refusal = DC::fsdc_TooFastConnections;
    }

    std::unique_ptr<TQORSVCWrkCtx> ctx;
    if (refusal == DC::fsdc_DisconnectWithoutAuth) {
        try {
            ctx = tmNewClientContext(req);
            if (!ctx) throw Exception("No client context");
            // Registered before the worker sees it: a failure below can then
            // never leave a worker starting a context that was freed.
            TQORClientEntry entry;
            entry.Key = key;
            entry.Ctx = ctx.get();
            auto [it, fresh] = f_tmClients.try_emplace(ctx.get(), std::move(entry));
            if (!fresh) throw Exception("Client context listed twice");
            try {
                cache.RegisterConnection(key, f_ServerUptime, found);
            } catch (...) {
                f_tmClients.erase(it);
                throw;
            }
            TQORSVCWrkCtx* raw = ctx.get();
            it->second.Owned = std::move(ctx);
            ++f_tmUndefined;
            tmClientContextCount.fetch_add(1, std::memory_order_relaxed);
            tmTotalContextCount.fetch_add(1, std::memory_order_relaxed);
            try {
                tmAssignToWorker(raw, false);
            } catch (...) {
                // Nothing was queued: the books are rolled back and the
                // context freed here.
                ctx = std::move(it->second.Owned);
                f_tmClients.erase(it);
                --f_tmUndefined;
                TQORAddressConnectCacheSearchResult again;
                if (cache.FindAddressRec(key, again)) cache.UnregisterConnection(again);
                tmClientContextCount.fetch_sub(1, std::memory_order_relaxed);
                tmTotalContextCount.fetch_sub(1, std::memory_order_relaxed);
                throw;
            }
            return;
        } catch (const std::bad_alloc&) {
            refusal = DC::fsdc_ServOutOfMemory;
        } catch (const std::exception& e) {
            refusal = DC::fsdc_ServInternalError;
            message = ExceptionText(e);
        }
    }
    ctx.reset();  // its destructor closes the socket it took
    req.Prebuilt.reset();  // likewise
    if (req.Socket != INVALID_SOCKET_HANDLE) SocketCloseHandle(req.Socket);
    tmLogRefusal(false, req.AddrBin, req.Port, refusal, message);
}

void TQORService::tmAdmitCommand(TQORSVCNetQueueRecord& aRec) {
    using DC = TQORSVCDisconnectCause;
    TQORAdmitRequest req;
    req.Socket = static_cast<TSocket>(aRec.nqr_DataI0);
    aRec.nqr_DataI0 = -1;
    req.AddrBin = aRec.nqr_DataS1;
    req.Port = aRec.nqr_DataI1;
    DC refusal;
    std::u16string message;
    std::unique_ptr<TQORSVCWrkCtx> ctx;
    try {
        ctx = tmNewCommandContext(req);
        if (!ctx) throw Exception("No command context");
        TQORSVCWrkCtx* raw = ctx.get();
        f_tmCommandContexts.push_back(std::move(ctx));
        tmCommandContextCount.fetch_add(1, std::memory_order_relaxed);
        tmTotalContextCount.fetch_add(1, std::memory_order_relaxed);
        try {
            tmAssignToWorker(raw, false);
        } catch (...) {
            ctx = std::move(f_tmCommandContexts.back());
            f_tmCommandContexts.pop_back();
            tmCommandContextCount.fetch_sub(1, std::memory_order_relaxed);
            tmTotalContextCount.fetch_sub(1, std::memory_order_relaxed);
            throw;
        }
        return;
    } catch (const std::bad_alloc&) {
        refusal = DC::fsdc_ServOutOfMemory;
    } catch (const std::exception& e) {
        refusal = DC::fsdc_ServInternalError;
        message = ExceptionText(e);
    }
    ctx.reset();
    if (req.Socket != INVALID_SOCKET_HANDLE) SocketCloseHandle(req.Socket);
    tmLogRefusal(true, req.AddrBin, req.Port, refusal, message);
}

// ---------------------------------------------------------------- worker slots

void TQORService::tmAssignToWorker(TQORSVCWrkCtx* aCtx, bool aOld) {
    TQORSVCWorker* w = tmWorkerWithSlot();
    if (aOld)
        w->WorkQueue_AddOldContext(aCtx);
    else
        w->WorkQueue_AddNewContext(aCtx);
}

TQORSVCWorker* TQORService::tmWorkerWithSlot() {
    TQORSVCWorker* w = nullptr;
    for (TQORWorkerSlot& s : f_tmWorkers) {
        if (!s.Ending && s.W->wrkFreeCount > 0) {
            w = s.W.get();
            break;
        }
    }
    if (w == nullptr) {
        TQORWorkerSlot slot;
        slot.W = std::make_unique<TQORSVCWorker>(this, false,
                                                 static_cast<int32_t>(f_tmWorkers.size()));
        // A worker that can hold nothing would be handed a context it cannot
        // wait on; the connection is refused instead.
        if (slot.W->wrkCapacity() < 1) throw Exception("Worker has no connection slots");
        slot.W->wrkFreeCount = slot.W->wrkCapacity();
        slot.W->Start();
        w = slot.W.get();
        f_tmWorkers.push_back(std::move(slot));
        tmWorkerCount.store(static_cast<int32_t>(f_tmWorkers.size()), std::memory_order_relaxed);
    }
    --w->wrkFreeCount;
    return w;
}

TQORService::TQORWorkerSlot* TQORService::tmFindWorker(TQORSVCHandle aWorker) {
    for (TQORWorkerSlot& s : f_tmWorkers)
        if (aWorker.Is(s.W.get())) return &s;
    return nullptr;
}

void TQORService::tmWorkerStartHot() {
    if (!p_Cfg.cfg_KeepHotWorkerThread || !f_tmWorkers.empty()) return;
    TQORWorkerSlot slot;
    slot.W = std::make_unique<TQORSVCWorker>(this, true, 0);
    slot.W->wrkFreeCount = slot.W->wrkCapacity();
    slot.W->Start();
    f_tmWorkers.push_back(std::move(slot));
    tmWorkerCount.store(static_cast<int32_t>(f_tmWorkers.size()), std::memory_order_relaxed);
}

void TQORService::tmWorkerIdle(TQORSVCHandle aWorker) {
    TQORWorkerSlot* s = tmFindWorker(aWorker);
    if (s == nullptr || s->Ending) return;
    TQORSVCWorker& w = *s->W;
    if (w.wrkFreeCount != w.wrkCapacity() || w.wrkReservCount != 0) return;
    if (p_Cfg.cfg_KeepHotWorkerThread) {
        // Workers already ending do not count: two idle reports in one batch
        // would otherwise end both and leave no hot worker.
        int32_t staying = 0;
        for (const TQORWorkerSlot& o : f_tmWorkers) staying += o.Ending ? 0 : 1;
        if (staying <= 1) return;
    }
    // Marked first: from here no context is given to it, so nothing waits in
    // the queue of a worker that will not serve it.
    s->Ending = true;
    w.WorkerForceAbortThread();
}

void TQORService::tmWorkerTerminated(TQORSVCHandle aWorker) {
    std::size_t pos = f_tmWorkers.size();
    for (std::size_t i = 0; i < f_tmWorkers.size(); ++i)
        if (aWorker.Is(f_tmWorkers[i].W.get())) pos = i;
    if (pos == f_tmWorkers.size()) return;
    std::unique_ptr<TQORSVCWorker> ended = std::move(f_tmWorkers[pos].W);
    // A talker lent by it goes back where a new context would (it only ends
    // once its talkers are back, so this is a guard).
    for (TQORHeldTalker& t : f_tmTalkers)
        if (t.Home == ended.get()) t.Home = nullptr;
    f_tmWorkers.erase(f_tmWorkers.begin() + static_cast<std::ptrdiff_t>(pos));
    for (std::size_t i = f_tmWorkers.size(); i-- > 0;)
        f_tmWorkers[i].W->SetWorkerServiceIndex(static_cast<int32_t>(i));
    tmWorkerCount.store(static_cast<int32_t>(f_tmWorkers.size()), std::memory_order_relaxed);
    // The terminated record is the thread's last action: the join is short.
    // Whatever reached its queue after it ended is stopped by its destructor
    // and comes back as disconnect records.
    ended.reset();
    if (f_tmWorkers.empty() && StopStage() == fss_WaitStopWorkers) tmNextStopStage();
}

bool TQORService::tmAbortAllWorkers() {
    // Talkers the heartbeat reads go back first: a worker that ends stops
    // what it holds and what its queue still brings.
    tmReturnAllTalkers();
    for (std::size_t i = f_tmWorkers.size(); i-- > 0;) {
        f_tmWorkers[i].Ending = true;
        f_tmWorkers[i].W->WorkerForceAbortThread();
    }
    return !f_tmWorkers.empty();
}

void TQORService::tmWorkerWillAccept(TQORSVCNetQueueRecord& aRec) {
    TQORSVCWrkCtx* ctx = nullptr;
    if (auto it = f_tmClients.find(aRec.nqr_Context.Identity()); it != f_tmClients.end()) {
        ctx = it->second.Ctx;
    } else {
        for (auto& c : f_tmCommandContexts)
            if (aRec.nqr_Context.Is(c.get())) ctx = c.get();
    }
    if (TQORWorkerSlot* giver = tmFindWorker(aRec.nqr_SenderObj)) ++giver->W->wrkFreeCount;
    TQORWorkerSlot* taker = tmFindWorker(aRec.nqr_ReceiverObj);
    if (taker != nullptr) --taker->W->wrkReservCount;
    if (ctx == nullptr) return;  // it ended meanwhile: its disconnect record follows
    if (taker != nullptr && !taker->Ending) {
        taker->W->WorkQueue_AddOldContext(ctx);
        return;
    }
    // The chosen taker is ending: the promised slot is given back and the
    // context goes where a new one would.
    if (taker != nullptr) ++taker->W->wrkFreeCount;
    tmAssignToWorker(ctx, true);
}

void TQORService::tmWorkerRejected(TQORSVCHandle aWorker) {
    if (TQORWorkerSlot* s = tmFindWorker(aWorker)) {
        --s->W->wrkReservCount;
        ++s->W->wrkFreeCount;
    }
}

void TQORService::tmWorkerReorderStep() {
    if (f_tmWorkers.size() < 2) return;
    for (std::size_t i = 0; i + 1 < f_tmWorkers.size(); ++i) {
        TQORWorkerSlot& target = f_tmWorkers[i];
        if (target.Ending || target.W->wrkFreeCount <= 0) continue;
        for (std::size_t j = f_tmWorkers.size() - 1; j > i; --j) {
            TQORWorkerSlot& source = f_tmWorkers[j];
            const TQORSVCWorker& s = *source.W;
            if (source.Ending || s.wrkCapacity() - s.wrkFreeCount - s.wrkReservCount <= 0)
                continue;
            --target.W->wrkFreeCount;
            ++target.W->wrkReservCount;
            source.W->WorkQueue_MoveContextTo(target.W.get());
            return;
        }
    }
}

void TQORService::tmWakeFlaggedWorkers() {
    for (std::size_t i = f_tmWorkers.size(); i-- > 0;)
        if (f_tmWorkers[i].W->TakeWakeUpFlag()) f_tmWorkers[i].W->WorkerWakeUp();
}

// ---------------------------------------------------------------- contexts end

void TQORService::tmClientDisconnected(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) {
    // The worker's slot comes back whatever else fails below.
    if (TQORWorkerSlot* w = tmFindWorker(aRec->nqr_SenderObj)) ++w->W->wrkFreeCount;
    auto it = f_tmClients.find(aRec->nqr_Context.Identity());
    if (it == f_tmClients.end() || it->second.Ctx->CtxGlobalKey() != aRec->nqr_GlobalKey) {
        evnt_Srv_Error(u"client disconnect: context not found");
        return;
    }
    TQORClientEntry entry = std::move(it->second);
    f_tmClients.erase(it);
    tmClientContextCount.fetch_sub(1, std::memory_order_relaxed);
    tmTotalContextCount.fetch_sub(1, std::memory_order_relaxed);
    // A consistency error is logged and the remaining steps still run: the
    // context must be freed and its worker slot given back in any case.
    TQORAddressConnectCacheSearchResult found;
    if (f_tmAddressClientCounterCache->FindAddressRec(entry.Key, found))
        f_tmAddressClientCounterCache->UnregisterConnection(found);
    else
        evnt_Srv_Error(u"Disconnecting address not found on Address counter");

    TQORSVCWrkCtx& ctx = *entry.Ctx;
    if (entry.Undefined) {
        --f_tmUndefined;
        if (IsDisconnectLogged(ctx.DisconnectCauseR(), f_LogClientLevel)) {
            TStringBldU b;
            AppendDisconnectDescription(b, ctx);
            if (!ctx.HandshakeString().empty()) {
                AppendColonSpace(b);
                AppendLogSafeText(b, ByteStrToUnicode(ctx.HandshakeString()));
            }
            Fifo(ToText(b));
        }
        tmContextGone();
        return;  // entry.Owned frees it
    }
    if (entry.Network != nullptr) {
        // A context the service kept for the network lives until the pass
        // ends, after the network's heartbeat has handled its departure.
        if (entry.Owned) f_tmDisposeAtPassEnd.push_back(std::move(entry.Owned));
        for (std::size_t i = f_tmTempMovedContexts.size(); i-- > 0;)
            if (f_tmTempMovedContexts[i]->MovedCtxRef().Ctx.Identity() == static_cast<const void*>(&ctx))
                f_tmTempMovedContexts.erase(f_tmTempMovedContexts.begin() +
                                            static_cast<std::ptrdiff_t>(i));
        tmDropTempMove(static_cast<const void*>(&ctx));
        tmHandToNetwork(entry.Network, aRec);
        tmContextGone();
        return;
    }
    ctx.call_OnCtxError(u"client disconnect: not found in undefined and network not assigned");
    ctx.DisconnectCauseW(TQORSVCDisconnectCause::fsdc_ServerError);
    if (f_LogClientLevel >= 3) {
        TStringBldU b;
        AppendDisconnectDescription(b, ctx);
        Fifo(ToText(b));
    }
}

void TQORService::tmCommandDisconnected(TQORSVCNetQueueRecord& aRec) {
    if (TQORWorkerSlot* w = tmFindWorker(aRec.nqr_SenderObj)) ++w->W->wrkFreeCount;
    for (std::size_t i = 0; i < f_tmCommandContexts.size(); ++i) {
        if (!aRec.nqr_Context.Is(f_tmCommandContexts[i].get())) continue;
        std::unique_ptr<TQORSVCWrkCtx> ended = std::move(f_tmCommandContexts[i]);
        f_tmCommandContexts.erase(f_tmCommandContexts.begin() + static_cast<std::ptrdiff_t>(i));
        tmCommandContextCount.fetch_sub(1, std::memory_order_relaxed);
        tmTotalContextCount.fetch_sub(1, std::memory_order_relaxed);
        tmContextGone();
        return;
    }
    evnt_Srv_Error(u"Command context not found");
}

// ---------------------------------------------------------------- read-outs

std::vector<TQORService::TQORWorkerView> TQORService::tmWorkersView() const {
    std::vector<TQORWorkerView> v;
    for (const TQORWorkerSlot& s : f_tmWorkers)
        v.push_back({s.W->WorkerServiceIndex(), s.W->wrkCapacity(), s.W->wrkFreeCount,
                     s.W->wrkReservCount, s.Ending, s.W->HotThread(), s.W.get()});
    return v;
}

int32_t TQORService::tmUndefinedCount() const { return f_tmUndefined; }

}  // namespace gax

namespace gax {

int32_t TQORService::ListenerBoundPort(std::u16string_view aBindingName) const {
    if (!f_Listener) return 0;
    for (TSynapseBinding* b : f_Listener->RegisteredBindings()) {
        if (b->BindingName() != aBindingName) continue;
        if (const int port = b->BoundPort.load(); port > 0) return port;
    }
    return 0;
}

}  // namespace gax
