// Floor holders read by the heartbeat: a session that holds the floor is lent
// by its worker to the heartbeat, whose waiter then watches its socket. A
// frame wakes the one thread that fans it out: it steps the session (which
// parses the frame and posts its record, as on a worker), and the pass that
// follows takes the record through the same network path and sends the frame
// to the listeners. Everything else the session's worker did for it is done
// here while it is lent: its output, the requests of other threads in its
// interrupt word, and its time-outs on the same 1 s grid. Whatever this
// thread should not do (a close, an end or an answer under way, output that
// waits for room, a held reader, the floor let go, a stop) sends it back.
//
// Heartbeat thread only. A lent session cannot end meanwhile: only a worker
// stops a session, and its worker gave this one away. Every way back goes in
// the item its worker made before lending it (TQORHeldTalker::Back), so none
// allocates: a session is never left with nobody serving it for want of
// memory.
#include <memory>
#include <utility>

#include "foundation/gax_datetime.h"
#include "foundation/gax_strutils.h"
#include "foundation/gax_types.h"
#include "platform/plat_socket.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {

void TQORService::tmSocketReady(PWaiter2Resource aResource, uint8_t aEvents) {
    f_tmTalkerReady = aResource;
    f_tmTalkerEvents = aEvents;
}

void TQORService::tmReleaseSockets() { tmReturnAllTalkers(); }

void TQORService::tmTakeTalker(TQORSVCNetQueueRecord& aRec) {
    std::unique_ptr<TQORSVCWorkerQueueItem> back = std::move(aRec.nqr_ReturnItem);
    // Its only producer always gives one: without it the session could not
    // be given back.
    if (!back || back->Context == nullptr) throw Exception("Talker hand-over without its return");
    TQORSVCWorker* home = nullptr;
    if (TQORWorkerSlot* s = tmFindWorker(aRec.nqr_SenderObj)) home = s->W.get();
    auto it = f_tmClients.find(aRec.nqr_Context.Identity());
    if (it == f_tmClients.end() || it->second.Ctx->CtxGlobalKey() != aRec.nqr_GlobalKey) {
        // It lives (nothing but its worker ends it), yet the books have lost
        // it, so it is in no network and nobody would ever hear it. Its
        // worker, whose own pointer the item carries and which alone may
        // follow it, ends it: the socket is closed with a cause, and its
        // disconnect gives the worker's slot back.
        tmReturnContextTo(home, std::move(back), wer__Error);
        evnt_Srv_Error(u"talker hand-over: context not found");
        return;
    }
    TQORSVCWrkCtx* ctx = it->second.Ctx;
    TWaiter2Base& waiter = f_Timer.Waiter();
    const bool room = waiter.Count() < waiter.Capacity();
    if (StopStage() != fss_NoStop || !room || !ctx->vReadByFanout()) {
        // Still a floor holder that this thread will not read: its worker
        // keeps it until it lets the floor go.
        if (ctx->vReadByFanout()) ctx->vFanoutReadDeclined();
        tmReturnContextTo(home, std::move(back), wer__OK);
        return;
    }
    PWaiter2Resource res = nullptr;
    try {
        // Reserved once for as many as the waiter holds: the push below
        // never allocates.
        if (f_tmTalkers.capacity() == 0)
            f_tmTalkers.reserve(static_cast<size_t>(waiter.Capacity()));
        res = waiter.RegisterResource(ctx, ctx->CtxSocket());
    } catch (...) {
        ctx->vFanoutReadDeclined();
        tmReturnContextTo(home, std::move(back), wer__OK);
        throw;
    }
    ctx->CtxWaiterResource = res;
    ctx->CtxWaiter = &waiter;
    f_tmTalkers.push_back(TQORHeldTalker{ctx, res, home, std::move(back)});
    f_TalkersHeld.store(static_cast<int32_t>(f_tmTalkers.size()), std::memory_order_relaxed);
    const std::size_t i = f_tmTalkers.size() - 1;
    f_tmTalkerPar.sp_CheckTick = GetTick32();
    const auto r = static_cast<TQORSVCWorkerExecResult>(ctx->vExecParameters(f_tmTalkerPar) & 0x7F);
    if (r != wer__OK) {
        tmReturnTalker(i, r);
        return;
    }
    waiter.SetWaitMode(res, f_tmTalkerPar.sp_WaitFlags & 0x0F);
    // What came while nobody watched the socket is read at the pass's end.
    ctx->SetIntrFlags(ifl_ContinueRead);
}

void TQORService::tmReadReadyTalker(bool aAfterWait) {
    const PWaiter2Resource ready = aAfterWait ? std::exchange(f_tmTalkerReady, nullptr) : nullptr;
    for (std::size_t i = f_tmTalkers.size(); i-- > 0;) {
        if (f_tmTalkers[i].Res == ready) {
            tmStepTalker(i, f_tmTalkerEvents);
        } else if (ready == nullptr && plat::SockReadableNow(f_tmTalkers[i].Ctx->CtxSocket())) {
            // The wait reports its interrupt before any socket: while other
            // threads keep interrupting (a flood of records) a talker would
            // not be read until they stop, so a pass they wake looks itself,
            // as does each pass of a run. A close is looked for too: it
            // leaves no bytes, and the floor would stay taken.
            tmStepTalker(i, we_Read);
        }
    }
}

void TQORService::tmStepTalker(std::size_t aIndex, uint8_t aEvents) {
    TQORHeldTalker& t = f_tmTalkers[aIndex];
    TQORSVCWrkCtx* ctx = t.Ctx;
    if (!ctx->vReadByFanout()) {
        tmReturnTalker(aIndex, wer__OK);
        return;
    }
    TQORSVCStepParams& par = f_tmTalkerPar;
    par.sp_CheckTick = GetTick32();
    par.sp_WaiterEvents = aEvents;
    par.sp_Socket = ctx->CtxSocket();
    par.sp_WaitFlags = t.Res->wtr_LastWaiterFlags;
    TQORSVCWorkerExecResult r = wer__OK;
    try {
        TQORSVCPoster::HeartbeatPosts quiet;
        r = static_cast<TQORSVCWorkerExecResult>(ctx->vExecStep(par) & 0x7F);
    } catch (...) {
        // As on a worker, the failing step is logged and the session kept:
        // its worker serves it from here on.
        evnt_Srv_Error(u"Heartbeat: talker step: " + DescribeCurrentException());
        tmReturnTalker(aIndex, wer__OK);
        return;
    }
    if (IsRemovingResult(r) || !ctx->vReadByFanout()) {
        tmReturnTalker(aIndex, r);
        return;
    }
    const uint8_t flags = par.sp_WaitFlags & 0x0F;
    if (flags != t.Res->wtr_LastWaiterFlags) f_Timer.Waiter().SetWaitMode(t.Res, flags);
}

void TQORService::tmServeTalkers() {
    if (f_tmTalkers.empty()) return;
    const bool stopping = StopStage() != fss_NoStop;
    const bool check = TickElapsed(tmServTick, f_tmTalkersChecked) >= TQORSVCWorker::kTimeoutGridMs;
    if (check) f_tmTalkersChecked = tmServTick;
    for (std::size_t i = f_tmTalkers.size(); i-- > 0;) {
        TQORSVCWrkCtx* ctx = f_tmTalkers[i].Ctx;
        if (stopping) {
            tmReturnTalker(i, wer__OK);
        } else if (ctx->IntrFlags() != 0) {
            tmStepTalker(i, 0);
        } else if (!ctx->vReadByFanout()) {
            tmReturnTalker(i, wer__OK);
        } else if (check) {
            f_tmTalkerPar.sp_CheckTick = GetTick32();
            if (ctx->vExecTimeout(f_tmTalkerPar)) tmReturnTalker(i, wer__Timeout);
        }
    }
    // The pass is over: what the steps posted, and a read the budget cut
    // short, wait for the next one at once rather than for the grid.
    bool again = f_Poster.ServQueue().Count() > 0;
    for (const TQORHeldTalker& t : f_tmTalkers) again = again || t.Ctx->IntrFlags() != 0;
    if (again) f_Poster.InterruptHeartbeat();
}

void TQORService::tmReturnTalker(std::size_t aIndex, TQORSVCWorkerExecResult aResult) {
    TQORHeldTalker t = std::move(f_tmTalkers[aIndex]);
    f_tmTalkers.erase(f_tmTalkers.begin() + static_cast<std::ptrdiff_t>(aIndex));
    f_TalkersHeld.store(static_cast<int32_t>(f_tmTalkers.size()), std::memory_order_relaxed);
    if (f_tmTalkerReady == t.Res) f_tmTalkerReady = nullptr;
    // Out of this thread's hands before its worker can have it.
    f_Timer.Waiter().UnregisterResource(t.Res);
    t.Ctx->CtxWaiterResource = nullptr;
    t.Ctx->CtxWaiter = nullptr;
    // Sent back while it still holds the floor (a stop, a failed step): its
    // worker keeps it for the rest of this floor.
    if (!IsRemovingResult(aResult) && t.Ctx->vReadByFanout()) t.Ctx->vFanoutReadDeclined();
    tmReturnContextTo(t.Home, std::move(t.Back), aResult);
}

void TQORService::tmReturnContextTo(TQORSVCWorker* aHome,
                                    std::unique_ptr<TQORSVCWorkerQueueItem> aBack,
                                    TQORSVCWorkerExecResult aResult) {
    TQORSVCWorker* w = aHome;
    if (w == nullptr) {
        // Its worker kept its slot, so it ends only once its talkers are
        // back: this is a guard. The context goes where a new one would, or,
        // when no worker can be made for it, to any there is: one without
        // room or ending stops it, and its disconnect evens the books.
        try {
            w = tmWorkerWithSlot();
        } catch (...) {
            if (f_tmWorkers.empty()) throw;
            w = f_tmWorkers.front().W.get();
            --w->wrkFreeCount;
        }
    }
    w->WorkQueue_ReturnContext(std::move(aBack), aResult);
    // Woken now: a return after the pass's wake-ups would wait a whole pass.
    if (w->TakeWakeUpFlag()) w->WorkerWakeUp();
}

void TQORService::tmReturnAllTalkers() {
    for (std::size_t i = f_tmTalkers.size(); i-- > 0;) tmReturnTalker(i, wer__OK);
}

}  // namespace gax
