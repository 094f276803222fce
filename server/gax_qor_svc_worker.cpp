#include "server/gax_qor_svc_worker.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <typeinfo>
#include <utility>

#include "foundation/gax_datetime.h"
#include "foundation/gax_strutils.h"
#include "foundation/gax_types.h"
#include "sockets/gax_snps_sockets.h"

namespace gax {

namespace {

std::string ThreadNameOf(int32_t aIndex) {
    char text[24];
    std::snprintf(text, sizeof text, "Worker[%03d]", aIndex);
    return text;
}

TGaxTick32 CacheTicksOf(const TQORServiceConfig& aCfg) {
    int64_t secs = aCfg.cfg_WorkerThreadCacheTime;
    if (secs <= 0) secs = 60;  // the loader's default; 0 would make the idle wait spin
    int64_t ms = secs * 1000;
    if (ms > static_cast<int64_t>(WAITER_MAX_TIMEOUT)) ms = WAITER_MAX_TIMEOUT;
    return static_cast<TGaxTick32>(ms);
}

}  // namespace

std::u16string TQORSVCWorker::WorkerName(int32_t aServiceIndex) {
    char text[24];
    std::snprintf(text, sizeof text, "Worker[%03d]: ", aServiceIndex);
    return ByteStrToUnicode(text);
}

TQORSVCWorker::TQORSVCWorker(TQORSVCHost* aService, bool aHotThread, int32_t aServiceIndex)
    : plat::Thread(ThreadNameOf(aServiceIndex)),
      e_Service(aService),
      p_Cfg(&aService->SvcConfig()),
      f_WorkQueue(TQORSVCWorkerItemQueue::kDefaultBlockCapacity),
      f_Waiter(aService->SvcConfig().cfg_ConnectionsPerThread),
      f_HotThread(aHotThread) {
    f_Capacity = f_Waiter.Capacity();
    wrkFreeCount = f_Capacity;
    wrkReservCount = 0;
    f_ResourcesToDelete.reserve(static_cast<size_t>(f_Capacity) + 2);
    f_ThreadCacheTicks = CacheTicksOf(*p_Cfg);
    StringBldReserve(f_WSBU, 320);
    f_ServiceIndex.store(aServiceIndex, std::memory_order_relaxed);
    f_Par.sp_Worker = this;
    f_LastCheckTimeout = GetTick32();
}

TQORSVCWorker::~TQORSVCWorker() {
    WorkerForceAbortThread();
    Join();
    // Items pushed after the thread's last look, or to a worker that never ran.
    if (!f_Stopped) {
        ForgetHandOvers();
        RemoveMarked();
        while (f_Waiter.Count() > 0) {
            PWaiter2Resource res = f_Waiter.GetResource(0);
            auto* ctx = static_cast<TQORSVCWrkCtx*>(res->wtr_Context);
            ctx->DisconnectCauseW(TQORSVCDisconnectCause::fsdc_ServerStopped);
            f_Waiter.UnregisterResource(res);
            StopContext(ctx);
        }
    }
    DrainQueueOnStop();
}

void TQORSVCWorker::WorkerForceAbortThread() {
    Terminate();
    f_Waiter.SetInterrupt();
}

// ---- the work queue's returns ---------------------------------------------------

TQORSVCWorkerItemQueue::~TQORSVCWorkerItemQueue() {
    TQORSVCWorkerQueueItem* chain = nullptr;
    {
        plat::MutexLock lock(f_ReturnsCrit);
        chain = std::exchange(f_ReturnsFirst, nullptr);
        f_ReturnsLast = nullptr;
    }
    while (chain != nullptr) delete std::exchange(chain, chain->Next);
}

void TQORSVCWorkerItemQueue::PushReturn(ItemPtr aItem) noexcept {
    if (!aItem) return;
    TQORSVCWorkerQueueItem* item = aItem.release();
    item->Next = nullptr;
    plat::MutexLock lock(f_ReturnsCrit);
    if (f_ReturnsLast != nullptr)
        f_ReturnsLast->Next = item;
    else
        f_ReturnsFirst = item;
    f_ReturnsLast = item;
    f_ReturnsCount.fetch_add(1, std::memory_order_relaxed);
}

TQORSVCWorkerItemQueue::ItemPtr TQORSVCWorkerItemQueue::PullReturn() noexcept {
    plat::MutexLock lock(f_ReturnsCrit);
    TQORSVCWorkerQueueItem* item = f_ReturnsFirst;
    if (item == nullptr) return nullptr;
    f_ReturnsFirst = item->Next;
    if (f_ReturnsFirst == nullptr) f_ReturnsLast = nullptr;
    item->Next = nullptr;
    f_ReturnsCount.fetch_sub(1, std::memory_order_relaxed);
    return ItemPtr(item);
}

// ---- posters ------------------------------------------------------------------

TQORSVCWorkerItemQueue::ItemPtr TQORSVCWorker::NewItem() {
    if (TestItemsFail.load(std::memory_order_relaxed)) throw std::bad_alloc();
    return std::make_unique<TQORSVCWorkerQueueItem>();
}

TQORSVCWorkerItemQueue::ItemPtr TQORSVCWorker::ReserveReturn(TQORSVCWrkCtx* aContext) noexcept {
    try {
        TQORSVCWorkerItemQueue::ItemPtr item = NewItem();
        item->Code = TQORSVCWorkCode::ReturnContext;
        item->Context = aContext;
        return item;
    } catch (...) {
        return nullptr;
    }
}

void TQORSVCWorker::PostItem(TQORSVCWorkCode aCode, TQORSVCWrkCtx* aContext,
                             TQORSVCWorker* aRecipient, uint8_t aResult) {
    TQORSVCWorkerItemQueue::ItemPtr item = NewItem();
    item->Code = aCode;
    item->Context = aContext;
    item->Recipient = aRecipient;
    item->Result = aResult;
    f_WorkQueue.Push(std::move(item));
    WorkerWakeUpFlag.store(true, std::memory_order_release);
}

void TQORSVCWorker::WorkQueue_MemoryReportRequest() {
    PostItem(TQORSVCWorkCode::MemoryReportRequest, nullptr, nullptr);
}
void TQORSVCWorker::WorkQueue_MemoryReportClear() {
    PostItem(TQORSVCWorkCode::MemoryReportClear, nullptr, nullptr);
}
void TQORSVCWorker::WorkQueue_AddNewContext(TQORSVCWrkCtx* aContext) {
    PostItem(TQORSVCWorkCode::AddNewContext, aContext, nullptr);
}
void TQORSVCWorker::WorkQueue_MoveContextTo(TQORSVCWorker* aRecepientWorker) {
    PostItem(TQORSVCWorkCode::MoveContextTo, nullptr, aRecepientWorker);
}
void TQORSVCWorker::WorkQueue_AddOldContext(TQORSVCWrkCtx* aContext) {
    PostItem(TQORSVCWorkCode::AddOldContext, aContext, nullptr);
}
void TQORSVCWorker::WorkQueue_ReturnContext(TQORSVCWorkerItemQueue::ItemPtr aReturn,
                                            TQORSVCWorkerExecResult aResult) noexcept {
    if (!aReturn) return;
    aReturn->Result = static_cast<uint8_t>(aResult);
    f_WorkQueue.PushReturn(std::move(aReturn));
    WorkerWakeUpFlag.store(true, std::memory_order_release);
}

// ---- thread body ----------------------------------------------------------------

void TQORSVCWorker::LogError(std::u16string_view aText) {
    std::u16string line = WorkerName(WorkerServiceIndex());
    line.append(aText);
    e_Service->evnt_Srv_Error(line);
}

void TQORSVCWorker::OnThreadException(const std::exception* aError) noexcept {
    try {
        std::u16string text = u"Thread: ";
        text += aError ? DescribeException(*aError) : std::u16string(u"unknown exception");
        LogError(text);
    } catch (...) {
    }
}

void TQORSVCWorker::Execute() {
    f_ThreadIsStarted.store(true, std::memory_order_release);
    bool idle = true;  // the first pass starts from the idle wait
    while (!Terminated()) {
        try {
            if (idle) {
                IdleWait();
                idle = false;
                continue;
            }
            Pass();
        } catch (...) {
            // A failing pass must not end the thread: the contexts stay
            // registered and the next pass serves them.
            try {
                LogError(u"Main loop: " + DescribeCurrentException());
            } catch (...) {
            }
            SleepMs(kErrorPauseMs);
        }
    }
    StopAll();
}

void TQORSVCWorker::IdleWait() {
    for (;;) {
        if (Terminated()) return;
        const TWaiterResult r = f_Waiter.WaitFor(f_ThreadCacheTicks);
        PublishWakes();
        if (Terminated() || r != wr_Timeout) break;
        if (f_HotThread) continue;
        e_Service->SvcPoster().ServQueue_WorkerIdle(this);
    }
    // Time spent idle is not time contexts waited: the grid starts afresh.
    f_LastCheckTimeout = GetTick32();
}

void TQORSVCWorker::StartHandler(TWaiter2HandlerParams* aParams) {
    static_cast<TQORSVCWorker*>(aParams->w2hp_WaiterContext)->f_Par.sp_CheckTick = GetTick32();
}

void TQORSVCWorker::IterHandler(TWaiter2HandlerParams* aParams) {
    static_cast<TQORSVCWorker*>(aParams->w2hp_WaiterContext)->Dispatch(aParams);
}

void TQORSVCWorker::Pass() {
    f_Par.sp_CheckTick = GetTick32();
    if (f_WorkQueue.Pending() > 0) {
        HandleWorkQueue();
        RemoveMarked();
    }
    if (f_Waiter.Count() > 0) {
        Sweep();
        RemoveMarked();
    }
    if (f_WorkQueue.Pending() > 0) return;
    for (;;) {
        if (Terminated()) return;
        if (f_ExtraLoop) {
            f_ExtraLoop = false;
            return;
        }
        if (f_Waiter.Count() == 0) {
            IdleWait();
            return;
        }
        TWaiter2WaitParams wp;
        wp.w2wp_StartHandler = &StartHandler;
        wp.w2wp_IterHandler = &IterHandler;
        wp.w2wp_WaiterContext = this;
        wp.w2wp_TimeoutTicks = kTimeoutGridMs;
        wp.w2wp_PassTotal = 2;
        const TWaiterResult r = f_Waiter.WaitForHandler(wp);
        PublishWakes();
        // Every wait gives the time-out checks their turn, whatever it
        // returned: a socket that keeps its worker busy cannot keep the
        // other contexts from timing out.
        TimeoutSweep();
        RemoveMarked();
        if (r == wr_Interrupt) return;
        if (r == wr_Error) {
            LogError(u"Wait: " + FormatSocketSysError(f_Waiter.LastWaitErrorCode()));
            SleepMs(kErrorPauseMs);
            return;
        }
    }
}

void TQORSVCWorker::PublishWakes() {
    const uint64_t sleeps = f_Waiter.Sleeps();
    if (sleeps == f_WakesPublished) return;
    e_Service->SvcPoster().NoteWorkerWakes(sleeps - f_WakesPublished);
    f_WakesPublished = sleeps;
}

// ---- work queue -----------------------------------------------------------------

void TQORSVCWorker::HandleWorkQueue() {
    std::array<TQORSVCWorkerItemQueue::ItemPtr, kWorkBatch> batch;
    int32_t n = f_WorkQueue.PullBatch(batch);
    // The returns come in the same batch: a pass takes them as early as the rest.
    while (n < kWorkBatch) {
        TQORSVCWorkerItemQueue::ItemPtr item = f_WorkQueue.PullReturn();
        if (!item) break;
        batch[static_cast<size_t>(n++)] = std::move(item);
    }
    for (int32_t i = 0; i < n; ++i) {
        // One item's failure is logged and the others still run: a pulled
        // context that nobody handled would never be stopped or reported.
        try {
            HandleItem(*batch[static_cast<size_t>(i)]);
        } catch (...) {
            LogError(u"Main loop: " + DescribeCurrentException());
        }
    }
}

void TQORSVCWorker::RegisterContext(TQORSVCWrkCtx* aContext, PWaiter2Resource& aResource) {
    aResource = f_Waiter.RegisterResource(aContext, aContext->CtxSocket());
    aContext->CtxWaiterResource = aResource;
    aContext->CtxWaiter = &f_Waiter;
    aContext->SetCtxWorker(this);
    PublishCount();
    f_Par.sp_Socket = aContext->CtxSocket();
    f_Par.sp_WaitFlags = wf_Read;
    f_Par.sp_WaiterEvents = 0;
}

void TQORSVCWorker::HandleItem(const TQORSVCWorkerQueueItem& aItem) {
    switch (aItem.Code) {
        case TQORSVCWorkCode::MemoryReportRequest:
            MemoryReport();
            return;
        case TQORSVCWorkCode::MemoryReportClear:
            WorkerMemRepArray.clear();
            return;
        case TQORSVCWorkCode::AddNewContext:
        case TQORSVCWorkCode::AddOldContext: {
            TQORSVCWrkCtx* ctx = aItem.Context;
            if (ctx == nullptr) return;
            PWaiter2Resource res = nullptr;
            try {
                RegisterContext(ctx, res);
                if (aItem.Code == TQORSVCWorkCode::AddNewContext) {
                    ctx->vExecStart(f_Par);
                    f_Waiter.SetWaitMode(res, f_Par.sp_WaitFlags);
                    return;
                }
                const auto r =
                    static_cast<TQORSVCWorkerExecResult>(ctx->vExecParameters(f_Par) & 0x7F);
                if (r == wer__OK) {
                    f_Waiter.SetWaitMode(res, f_Par.sp_WaitFlags);
                    return;
                }
                // Not usable here as it is: its next step (at the next sweep)
                // finds out and returns a removing result.
                f_Waiter.SetWaitMode(res, wf_CloseOnly);
                ctx->SetWaiterFlag(static_cast<uint16_t>(kWaiterFlagStep));
                StoreCauseOf(ctx, r);
            } catch (...) {
                // A context that failed to start (or found no free slot) is
                // stopped like any other, so its disconnect is still reported.
                DropFailed(ctx, res);
                throw;
            }
            return;
        }
        case TQORSVCWorkCode::ReturnContext:
            ReturnedContext(aItem.Context, static_cast<TQORSVCWorkerExecResult>(aItem.Result));
            return;
        case TQORSVCWorkCode::MoveContextTo: {
            PWaiter2Resource give = nullptr;
            for (int i = f_Waiter.Count() - 1; i >= 0 && give == nullptr; --i) {
                PWaiter2Resource r = f_Waiter.GetResource(i);
                if (r->wtr_BadMarker == 0) give = r;
            }
            if (give == nullptr) {
                e_Service->SvcPoster().ServQueue_WorkerRejectedContex(aItem.Recipient);
                return;
            }
            TQORSVCWrkCtx* ctx = GiveUp(give);
            e_Service->SvcPoster().ServQueue_WorkerWillAcceptContext(this, aItem.Recipient,
                                                                     CtxRefOf(ctx));
            return;
        }
    }
    LogError(u"QUEUE: Unknown command code " + IntToDecStrW(static_cast<int>(aItem.Code)));
}

void TQORSVCWorker::MemoryReport() {
    WorkerMemRepArray.clear();
    const std::u16string name = WorkerName(WorkerServiceIndex());
    auto line = [&](std::u16string_view aLabel, int64_t aValue) {
        WorkerMemRepArray.push_back(name + std::u16string(aLabel) + IntToDecStrW(aValue));
    };
    line(u"f_WorkerQueue=", f_WorkQueue.FifoMemoryUsage());
    line(u"f_Waiter=", f_Waiter.GetMemoryUsage());
    line(u"len(f_ResourcesToDelete)=", static_cast<int64_t>(f_ResourcesToDelete.capacity()));
    line(u"WorkerFast=", static_cast<int64_t>(WorkerFast.Capacity()));
    line(u"f_WSBU=", static_cast<int64_t>(f_WSBU.Cap) * 2);
    line(u"len(WorkerMemRepArray)=", static_cast<int64_t>(WorkerMemRepArray.size()) + 1);
    e_Service->SvcPoster().ServQueue_MemoryReportAnswerReady(
        TQORSVCMemoryReportReadyEvent::fsmre_Worker, this);
}

// ---- steps ------------------------------------------------------------------------

void TQORSVCWorker::Dispatch(TWaiter2HandlerParams* aParams) {
    PWaiter2Resource res = aParams->w2hp_Resource;
    if (res == nullptr || res->wtr_BadMarker != 0) return;
    auto* ctx = static_cast<TQORSVCWrkCtx*>(res->wtr_Context);
    const int32_t tag = ctx->CtxWrkTagInt;
    if (tag != 0 && tag != 1) {
        // It could never be served and would be reported at every wait: it
        // goes, and the fault is logged once.
        ctx->DisconnectCauseW(TQORSVCDisconnectCause::fsdc_ServInternalError);
        MarkResource(res);
        RaiseNotImplemented(u"Unknown context priority tag");
    }
    if (aParams->w2hp_PassNumber == tag) RunStep(res, aParams->w2hp_EventFlags);
}

void TQORSVCWorker::RunStep(PWaiter2Resource aResource, uint8_t aEvents) {
    if (aResource->wtr_BadMarker != 0) return;
    auto* ctx = static_cast<TQORSVCWrkCtx*>(aResource->wtr_Context);
    f_Par.sp_WaiterEvents = aEvents;
    f_Par.sp_Socket = ctx->CtxSocket();
    f_Par.sp_WaitFlags = aResource->wtr_LastWaiterFlags;
    const auto r = static_cast<TQORSVCWorkerExecResult>(ctx->vExecStep(f_Par) & 0x7F);
    switch (r) {
        case wer__OK:
            if (ctx->vReadByFanout()) {
                MarkHandOver(aResource);
                return;
            }
            if (f_Par.sp_WaitFlags != aResource->wtr_LastWaiterFlags)
                f_Waiter.SetWaitMode(aResource, f_Par.sp_WaitFlags);
            return;
        case wer__Extra:
            f_ExtraLoop = true;
            return;
        case wer__EOF:
        case wer__Timeout:
        case wer__OutOfMemory:
        case wer__Error:
            ApplyRemovingResult(aResource, ctx, r);
            return;
    }
}

void TQORSVCWorker::StoreCauseOf(TQORSVCWrkCtx* aContext, TQORSVCWorkerExecResult aResult) {
    if (aResult == wer__Timeout) aContext->vSetDisconnectCauseOnTimeout();
    if (aResult == wer__OutOfMemory)
        aContext->DisconnectCauseW(TQORSVCDisconnectCause::fsdc_ServOutOfMemory);
    if (aResult == wer__Error)
        aContext->DisconnectCauseW(TQORSVCDisconnectCause::fsdc_ServInternalError);
}

void TQORSVCWorker::ApplyRemovingResult(PWaiter2Resource aResource, TQORSVCWrkCtx* aContext,
                                        TQORSVCWorkerExecResult aResult) {
    StoreCauseOf(aContext, aResult);
    MarkResource(aResource);
}

void TQORSVCWorker::DropFailed(TQORSVCWrkCtx* aContext, PWaiter2Resource aResource) {
    aContext->DisconnectCauseW(TQORSVCDisconnectCause::fsdc_ServInternalError);
    if (aResource != nullptr) {
        MarkResource(aResource);
    } else {
        StopContext(aContext);
    }
}

void TQORSVCWorker::MarkResource(PWaiter2Resource aResource) {
    if (aResource->wtr_BadMarker != 0) return;
    aResource->wtr_BadMarker = 1;
    f_ResourcesToDelete.push_back(aResource);
}

TQORSVCWrkCtx* TQORSVCWorker::GiveUp(PWaiter2Resource aResource) {
    auto* ctx = static_cast<TQORSVCWrkCtx*>(aResource->wtr_Context);
    f_Waiter.UnregisterResource(aResource);
    PublishCount();
    ctx->CtxWaiterResource = nullptr;
    ctx->CtxWaiter = nullptr;
    // In transit (to another worker, or lent to the heartbeat) no worker may
    // be flagged through it: this one may end before it is taken. Whoever
    // takes it steps it, and so finds any request set meanwhile.
    ctx->SetCtxWorker(nullptr);
    return ctx;
}

void TQORSVCWorker::MarkHandOver(PWaiter2Resource aResource) {
    if (aResource->wtr_BadMarker != 0) return;
    // Marked like a removal, so that nothing steps it before it goes.
    aResource->wtr_BadMarker = 2;
    f_ResourcesToHandOver.push_back(aResource);
}

void TQORSVCWorker::ForgetHandOvers() {
    for (PWaiter2Resource res : f_ResourcesToHandOver) res->wtr_BadMarker = 0;
    f_ResourcesToHandOver.clear();
}

void TQORSVCWorker::ReturnedContext(TQORSVCWrkCtx* aContext, TQORSVCWorkerExecResult aResult) {
    if (aContext == nullptr) return;
    if (IsRemovingResult(aResult)) {
        // Its last step on the heartbeat ended it: the socket is closed.
        StoreCauseOf(aContext, aResult);
        StopContext(aContext);
        return;
    }
    PWaiter2Resource res = nullptr;
    try {
        RegisterContext(aContext, res);
        f_Par.sp_CheckTick = GetTick32();
        const auto p = static_cast<TQORSVCWorkerExecResult>(aContext->vExecParameters(f_Par) & 0x7F);
        if (p != wer__OK) {
            ApplyRemovingResult(res, aContext, p);
            return;
        }
        f_Waiter.SetWaitMode(res, f_Par.sp_WaitFlags);
        // Whatever came while nobody watched the socket, and whatever the
        // heartbeat asked meanwhile, is handled by a step now.
        aContext->SetIntrFlags(ifl_ContinueRead);
        RunStep(res, 0);
    } catch (...) {
        DropFailed(aContext, res);
        throw;
    }
}

void TQORSVCWorker::StopContext(TQORSVCWrkCtx* aContext) {
    // Removed contexts flag no worker: this one may end before the context is freed.
    aContext->SetCtxWorker(nullptr);
    aContext->CtxWaiterResource = nullptr;
    aContext->CtxWaiter = nullptr;
    if (aContext->ExecStopped) return;
    aContext->ExecStopped = true;
    aContext->vExecStop(this);
}

void TQORSVCWorker::RemoveMarked() {
    // Each entry leaves the list before its context is stopped, so a raising
    // vExecStop leaves no entry that names a freed registration.
    while (!f_ResourcesToDelete.empty()) {
        PWaiter2Resource res = f_ResourcesToDelete.back();
        f_ResourcesToDelete.pop_back();
        auto* ctx = static_cast<TQORSVCWrkCtx*>(res->wtr_Context);
        f_Waiter.UnregisterResource(res);
        PublishCount();
        StopContext(ctx);
    }
    while (!f_ResourcesToHandOver.empty()) {
        PWaiter2Resource res = f_ResourcesToHandOver.back();
        f_ResourcesToHandOver.pop_back();
        auto* held = static_cast<TQORSVCWrkCtx*>(res->wtr_Context);
        TQORSVCWorkerItemQueue::ItemPtr back = ReserveReturn(held);
        if (!back) {
            // Without its way back it is not lent: this worker serves it for
            // the rest of this floor. A step at the next pass reads what is
            // left and sets its wait mode, which the marking step did not.
            res->wtr_BadMarker = 0;
            held->vFanoutReadDeclined();
            held->SetIntrFlags(ifl_ContinueRead);
            f_ExtraLoop = true;
            continue;
        }
        TQORSVCWrkCtx* ctx = GiveUp(res);
        try {
            e_Service->SvcPoster().ServQueue_WorkerGivesTalker(this, CtxRefOf(ctx),
                                                               std::move(back));
        } catch (...) {
            // Out of memory for the record: the session would be held by
            // nobody, so it ends here instead.
            ctx->DisconnectCauseW(TQORSVCDisconnectCause::fsdc_ServOutOfMemory);
            StopContext(ctx);
            throw;
        }
    }
}

bool TQORSVCWorker::TimeoutCheckDue() {
    if (TickDiff32(f_LastCheckTimeout, f_Par.sp_CheckTick) < kTimeoutGridMs) return false;
    f_LastCheckTimeout += kTimeoutGridMs;
    return true;
}

void TQORSVCWorker::Sweep() {
    f_Par.sp_CheckTick = GetTick32();
    const bool due = TimeoutCheckDue();
    for (int32_t pass = 1; pass >= 0; --pass) {
        for (int i = f_Waiter.Count() - 1; i >= 0; --i) {
            PWaiter2Resource res = f_Waiter.GetResource(i);
            if (res->wtr_BadMarker != 0) continue;
            auto* ctx = static_cast<TQORSVCWrkCtx*>(res->wtr_Context);
            if (ctx->CtxWrkTagInt != pass) continue;
            if (ctx->IntrFlags() != 0) {
                RunStep(res, 0);
            } else if (due && ctx->vExecTimeout(f_Par)) {
                ctx->vSetDisconnectCauseOnTimeout();
                MarkResource(res);
            }
        }
    }
}

void TQORSVCWorker::TimeoutSweep() {
    f_Par.sp_CheckTick = GetTick32();
    if (!TimeoutCheckDue()) return;
    for (int i = f_Waiter.Count() - 1; i >= 0; --i) {
        PWaiter2Resource res = f_Waiter.GetResource(i);
        if (res->wtr_BadMarker != 0) continue;
        auto* ctx = static_cast<TQORSVCWrkCtx*>(res->wtr_Context);
        if (ctx->vExecTimeout(f_Par)) {
            ctx->vSetDisconnectCauseOnTimeout();
            MarkResource(res);
        }
    }
}

// ---- the end ------------------------------------------------------------------------

void TQORSVCWorker::DrainQueueOnStop() {
    for (;;) {
        TQORSVCWorkerItemQueue::ItemPtr item = f_WorkQueue.Pull();
        if (!item) item = f_WorkQueue.PullReturn();
        if (!item) return;
        try {
            switch (item->Code) {
                case TQORSVCWorkCode::AddNewContext:
                case TQORSVCWorkCode::AddOldContext:
                case TQORSVCWorkCode::ReturnContext:
                    if (item->Context) {
                        item->Context->DisconnectCauseW(TQORSVCDisconnectCause::fsdc_ServerStopped);
                        StopContext(item->Context);
                    }
                    break;
                case TQORSVCWorkCode::MoveContextTo:
                    e_Service->SvcPoster().ServQueue_WorkerRejectedContex(item->Recipient);
                    break;
                case TQORSVCWorkCode::MemoryReportRequest:
                    MemoryReport();  // the service waits for every worker's answer
                    break;
                case TQORSVCWorkCode::MemoryReportClear:
                    WorkerMemRepArray.clear();
                    break;
            }
        } catch (...) {
            try {
                LogError(u"Stop: " + DescribeCurrentException());
            } catch (...) {
            }
        }
    }
}

void TQORSVCWorker::StopAll() {
    ForgetHandOvers();
    try {
        RemoveMarked();
    } catch (...) {
        try {
            LogError(u"Stop: " + DescribeCurrentException());
        } catch (...) {
        }
        f_ResourcesToDelete.clear();
    }
    while (f_Waiter.Count() > 0) {
        PWaiter2Resource res = f_Waiter.GetResource(0);
        auto* ctx = static_cast<TQORSVCWrkCtx*>(res->wtr_Context);
        ctx->DisconnectCauseW(TQORSVCDisconnectCause::fsdc_ServerStopped);
        f_Waiter.UnregisterResource(res);
        PublishCount();
        try {
            StopContext(ctx);
        } catch (...) {
            try {
                LogError(u"Stop: " + DescribeCurrentException());
            } catch (...) {
            }
        }
    }
    DrainQueueOnStop();
    f_Stopped = true;
    try {
        e_Service->SvcPoster().ServQueue_WorkerTerminated(this);
    } catch (...) {
        // Out of memory for the record: nothing is left to report it with.
    }
}

}  // namespace gax
