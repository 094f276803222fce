// A worker thread: runs up to ConnectionsPerThread work contexts (at most 63,
// its waiter's limit) on one socket waiter. Contexts that ask for it
// (wf_Batched: sessions with nothing urgent, whose clients only send
// keep-alives) are read in the waiter's batches, at most once per 100 ms grid
// point, rather than each waking the worker. The heartbeat thread creates
// workers, hands them contexts through their work queue, moves contexts
// between them, wakes those whose contexts got output and ends the idle ones.
// A worker talks back only through server-queue records. A context whose step
// finds it holding the floor (vReadByFanout) is lent to the heartbeat, which
// reads it where it fans out its frames; the worker keeps its slot, and the
// heartbeat gives it back through the work queue (ReturnContext) in an item
// the worker made before lending it: a worker that cannot make it keeps the
// context for the rest of that floor.
//
// Threads:
// - The worker thread alone steps its contexts, registers them with its
//   waiter, reads its work queue and owns every f_ field below.
// - The heartbeat thread (the owner) constructs, Start()s, posts work items
//   (WorkQueue_*), reads and clears WorkerWakeUpFlag (TakeWakeUpFlag), calls
//   WorkerWakeUp and WorkerForceAbortThread, keeps wrkFreeCount/wrkReservCount
//   and the memory-report flags, joins and destroys.
// - Any thread may set WorkerWakeUpFlag (through a context's WakeUpWorker).
// - WorkerMemRepArray is written by the worker before it posts its ready
//   event and read by the service after it (the queue orders them).
//
// Termination: a terminated worker stops every context it holds or still
// finds in its work queue (cause fsdc_ServerStopped unless one is set; each
// posts its usual disconnect through vExecStop), answers a pending move
// request with a rejection and then posts snc_ServWorkerTerminated as its very
// last action. Items that arrive after that are handled the same way by the
// destructor, so nothing queued to an ending worker is lost.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/gax_faststring.h"
#include "foundation/gax_stringbld.h"
#include "platform/plat_mutex.h"
#include "platform/plat_thread.h"
#include "server/gax_qor_svc_host.h"
#include "server/gax_qor_svc_queues.h"
#include "server/gax_qor_svc_wrkctx.h"
#include "sockets/gax_snps_waiter.h"

namespace gax {

class TQORSVCWorker;

// A worker's work queue: written by the heartbeat thread, read by the worker.
// The items the heartbeat makes go through the FIFO. The return of a lent
// context comes in an item that its worker made when it lent it, and is
// linked into a list of its own through the item's Next: that push takes no
// memory, so a context's way back cannot fail. f_ReturnsCrit guards the list
// only, held for one link or unlink and never while anything is freed.
class TQORSVCWorkerItemQueue final : public TQORSVCRecordQueue<TQORSVCWorkerQueueItem, 32> {
  public:
    using TQORSVCRecordQueue::TQORSVCRecordQueue;
    // Frees the returns still linked.
    ~TQORSVCWorkerItemQueue() override;

    // Appends aItem to the returns (a null item is ignored).
    void PushReturn(ItemPtr aItem) noexcept GAX_EXCLUDES(f_ReturnsCrit);
    // The oldest return, or null when there is none.
    ItemPtr PullReturn() noexcept GAX_EXCLUDES(f_ReturnsCrit);
    // Items of both kinds waiting (a hint for other threads than the consumer).
    int32_t Pending() const { return Count() + f_ReturnsCount.load(std::memory_order_relaxed); }

  private:
    plat::Mutex f_ReturnsCrit;
    TQORSVCWorkerQueueItem* f_ReturnsFirst GAX_GUARDED_BY(f_ReturnsCrit) = nullptr;
    TQORSVCWorkerQueueItem* f_ReturnsLast GAX_GUARDED_BY(f_ReturnsCrit) = nullptr;
    std::atomic<int32_t> f_ReturnsCount{0};
};

class TQORSVCWorker final : public plat::Thread {
  public:
    // Items taken from the work queue per pull.
    static constexpr int kWorkBatch = 16;
    // Grid of the time-out checks.
    static constexpr TGaxTick32 kTimeoutGridMs = 1000;
    // Pause after an exception in a pass.
    static constexpr int kErrorPauseMs = 50;

    // The thread runs after Start(). aService must outlive the worker.
    TQORSVCWorker(TQORSVCHost* aService, bool aHotThread, int32_t aServiceIndex);
    // REQUIRES: called by the owner, not by the worker thread. Ends and joins
    // the thread, then stops whatever is still queued.
    ~TQORSVCWorker() override;

    // ---- heartbeat thread ------------------------------------------------------
    // Marks the thread terminated and interrupts its waiter.
    void WorkerForceAbortThread();
    // Interrupts the waiter (for a worker whose wake-up flag was found set).
    void WorkerWakeUp() { f_Waiter.SetInterrupt(); }
    // Reads and clears the wake-up flag in one step, so a flag set meanwhile
    // is never lost.
    bool TakeWakeUpFlag() { return WorkerWakeUpFlag.exchange(false, std::memory_order_acq_rel); }

    // Posters: each pushes one item and sets WorkerWakeUpFlag; none interrupts.
    void WorkQueue_MemoryReportRequest();
    void WorkQueue_MemoryReportClear();
    // REQUIRES: aContext has never run; it stays owned by the caller.
    void WorkQueue_AddNewContext(TQORSVCWrkCtx* aContext);
    void WorkQueue_MoveContextTo(TQORSVCWorker* aRecepientWorker);
    // REQUIRES: aContext was given up by another worker (snc_ServWorkerWillAcceptContext).
    void WorkQueue_AddOldContext(TQORSVCWrkCtx* aContext);
    // REQUIRES: aReturn is the item this worker made when it gave its
    // context to the heartbeat (snc_ServWorkerGivesTalker), whose slot it
    // kept; aResult is what its last step there returned (a removing result:
    // it is stopped at once). Allocates nothing, so it cannot fail.
    void WorkQueue_ReturnContext(TQORSVCWorkerItemQueue::ItemPtr aReturn,
                                 TQORSVCWorkerExecResult aResult) noexcept;

    int32_t wrkCapacity() const { return f_Capacity; }
    bool WorkerThreadIsStarted() const { return f_ThreadIsStarted.load(std::memory_order_acquire); }
    bool HotThread() const { return f_HotThread; }
    int32_t WorkerServiceIndex() const { return f_ServiceIndex.load(std::memory_order_relaxed); }
    // Renumbering by the heartbeat; the worker builds its name from it on use.
    void SetWorkerServiceIndex(int32_t aIndex) {
        f_ServiceIndex.store(aIndex, std::memory_order_relaxed);
    }
    // "Worker[007]: " for index 7, "Worker[1234]: " for 1234.
    static std::u16string WorkerName(int32_t aServiceIndex);
    TQORSVCWorkerItemQueue& WorkQueue() { return f_WorkQueue; }
    // Registered contexts (a hint for other threads).
    int32_t ContextCount() const { return f_ContextCount.load(std::memory_order_relaxed); }

    // Free and reserved slots, kept by the heartbeat thread only.
    int32_t wrkFreeCount = 0;
    int32_t wrkReservCount = 0;
    // Memory-report bookkeeping of the service (heartbeat thread).
    bool WorkerMemRep_Requested = false;
    bool WorkerMemRep_Received = false;
    std::vector<std::u16string> WorkerMemRepArray;

    // Set by anyone who queued work or output for this worker.
    std::atomic<bool> WorkerWakeUpFlag{false};
    // Scratch buffer the worker's contexts use through sp_Worker.
    FastStringA WorkerFast{128};

    // Test hook: while set, every work item made here fails as if memory had
    // run out (the posters' items and a lent context's return alike).
    static inline std::atomic<bool> TestItemsFail{false};

  protected:
    void Execute() override;
    void OnThreadException(const std::exception* aError) noexcept override;

  private:
    static void StartHandler(TWaiter2HandlerParams* aParams);
    static void IterHandler(TWaiter2HandlerParams* aParams);

    void Pass();
    void IdleWait();
    void HandleWorkQueue();
    void HandleItem(const TQORSVCWorkerQueueItem& aItem);
    void RegisterContext(TQORSVCWrkCtx* aContext, PWaiter2Resource& aResource);
    void Dispatch(TWaiter2HandlerParams* aParams);
    void RunStep(PWaiter2Resource aResource, uint8_t aEvents);
    void ApplyRemovingResult(PWaiter2Resource aResource, TQORSVCWrkCtx* aContext,
                             TQORSVCWorkerExecResult aResult);
    // The disconnect cause a removing result means (first cause wins).
    static void StoreCauseOf(TQORSVCWrkCtx* aContext, TQORSVCWorkerExecResult aResult);
    // A context whose taking failed: marked (aResource) or stopped at once.
    void DropFailed(TQORSVCWrkCtx* aContext, PWaiter2Resource aResource);
    void MarkResource(PWaiter2Resource aResource);
    // The context's step found it holding the floor: it goes to the
    // heartbeat once the wait is over (RemoveMarked).
    void MarkHandOver(PWaiter2Resource aResource);
    // The item that will bring aContext back from the heartbeat, or null when
    // it cannot be made (the context is then not lent).
    static TQORSVCWorkerItemQueue::ItemPtr ReserveReturn(TQORSVCWrkCtx* aContext) noexcept;
    // Takes a registered context out of the waiter for a hand-over.
    TQORSVCWrkCtx* GiveUp(PWaiter2Resource aResource);
    // Unmarks the hand-overs not yet made (the worker ends: it stops them).
    void ForgetHandOvers();
    void RemoveMarked();
    void ReturnedContext(TQORSVCWrkCtx* aContext, TQORSVCWorkerExecResult aResult);
    void Sweep();
    bool TimeoutCheckDue();
    void TimeoutSweep();
    void StopContext(TQORSVCWrkCtx* aContext);
    // Stops what is left (registered contexts and queued items) at the end.
    void StopAll();
    void DrainQueueOnStop();
    void MemoryReport();
    static TQORSVCWorkerItemQueue::ItemPtr NewItem();
    void PostItem(TQORSVCWorkCode aCode, TQORSVCWrkCtx* aContext, TQORSVCWorker* aRecipient,
                  uint8_t aResult = 0);
    void LogError(std::u16string_view aText);
    void PublishCount() { f_ContextCount.store(f_Waiter.Count(), std::memory_order_relaxed); }
    // Adds the waiter's sleeps since the last call to the service's count.
    void PublishWakes();

    TQORSVCHost* e_Service;
    const TQORServiceConfig* p_Cfg;
    TQORSVCWorkerItemQueue f_WorkQueue;
    TWaiter2Socket f_Waiter;
    std::vector<PWaiter2Resource> f_ResourcesToDelete;
    std::vector<PWaiter2Resource> f_ResourcesToHandOver;
    TGaxTick32 f_ThreadCacheTicks = 0;
    int32_t f_Capacity = 0;
    TGaxTick32 f_LastCheckTimeout = 0;
    TStringBldU f_WSBU;
    std::atomic<int32_t> f_ServiceIndex{0};
    TQORSVCStepParams f_Par;
    std::atomic<bool> f_ThreadIsStarted{false};
    bool f_ExtraLoop = false;
    const bool f_HotThread;
    bool f_Stopped = false;  // StopAll ran: the terminated record is out
    std::atomic<int32_t> f_ContextCount{0};
    uint64_t f_WakesPublished = 0;
};

}  // namespace gax
