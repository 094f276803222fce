// The worker thread against fake contexts on socket pairs: the life of one
// context, time-outs that other sockets cannot starve, capacity, moves, the
// end of a worker with contexts registered and queued, and failing passes.
#include "server/gax_qor_svc_worker.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "server/worker_test_support.h"

namespace {

using namespace wrk_test;
using Cause = TQORSVCDisconnectCause;

// Ends a worker while the test's contexts still live (they are stopped by it).
void End(TQORSVCWorker& w) {
    w.WorkerForceAbortThread();
    w.Join();
}

// Hands a context over as the heartbeat thread does: post, then wake.
void Give(TQORSVCWorker& w, TQORSVCWrkCtx* c) {
    w.WorkQueue_AddNewContext(c);
    if (w.TakeWakeUpFlag()) w.WorkerWakeUp();
}

TEST(Worker, OneContextStartsStepsPerEventRerunsOnExtraAndStopsOnce) {
    FakeHost host;
    auto w = std::make_unique<TQORSVCWorker>(&host, false, 7);
    EXPECT_EQ(w->ThreadName(), "Worker[007]");
    w->Start();
    Pair p;
    FakeCtx ctx(host, p.ours);
    Give(*w, &ctx);
    ASSERT_TRUE(ctx.starts.WaitAtLeast(1));
    EXPECT_EQ(ctx.CtxWorker(), w.get());

    for (int i = 1; i <= 3; ++i) {
        p.Send();
        ASSERT_TRUE(ctx.steps.WaitAtLeast(i));
    }
    EXPECT_EQ(ctx.steps.Get(), 3);  // no step without an event

    // A step that asks for one more pass is run again at once, without input.
    ctx.extraLeft = 1;
    p.Send();
    ASSERT_TRUE(ctx.steps.WaitAtLeast(5));

    // The peer's close ends it: one stop, with the cause the step gave.
    ::close(p.peer);
    p.peer = -1;
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_ClientDisconnected));
    EXPECT_EQ(ctx.stopCause.load(), Cause::fsdc_GracefullDisconnect);
    EXPECT_EQ(ctx.CtxWorker(), nullptr);
    w->WorkerForceAbortThread();
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_ServWorkerTerminated));
    w.reset();
    EXPECT_EQ(ctx.starts.Get(), 1);
    EXPECT_EQ(ctx.stops.Get(), 1);
    EXPECT_EQ(ctx.steps.Get(), 6);
    EXPECT_EQ(host.CountRecords(Cmd::snc_ClientDisconnected), 1);
}

// The check grid is 1000 ms, so a time-out of T is seen between T and T + 1 s;
// a neighbour that keeps the waits busy (a byte every 900 ms, so no wait ever
// times out) must not delay it.
TEST(Worker, TimeOutFiresWithinOneSecondEvenWhileAnotherSocketTrickles) {
    constexpr uint32_t kT = 1500;
    FakeHost host;
    TQORSVCWorker w(&host, false, 1);
    w.Start();
    Pair busyPair, idlePair;
    FakeCtx busy(host, busyPair.ours);
    FakeCtx idle(host, idlePair.ours, kT);
    Give(w, &busy);
    Give(w, &idle);
    ASSERT_TRUE(idle.starts.WaitAtLeast(1));
    ASSERT_TRUE(busy.starts.WaitAtLeast(1));

    int sent = 0;
    while (idle.stops.Get() == 0 && sent < 6) {
        busyPair.Send();
        ++sent;
        idle.stops.WaitAtLeast(1, 900);
    }
    ASSERT_TRUE(idle.stops.WaitAtLeast(1));
    EXPECT_EQ(idle.stopCause.load(), Cause::fsdc_ClientTimeout);
    EXPECT_GE(idle.timedOutAfter.load(), kT);
    // the second of slack covers a slow (sanitizer) build's scheduling
    EXPECT_LT(idle.timedOutAfter.load(), kT + 1000 + 300);
    EXPECT_EQ(busy.stops.Get(), 0);
    EXPECT_GE(busy.steps.Get(), 1);
    End(w);
}

TEST(Worker, SixtyFourContextsNeedTwoWorkersOfSixtyThree) {
    FakeHost host(500);  // more than a waiter can hold: clamped to 63
    TQORSVCWorker first(&host, false, 1);
    TQORSVCWorker second(&host, false, 2);
    ASSERT_EQ(first.wrkCapacity(), 63);
    EXPECT_EQ(first.wrkFreeCount, 63);
    first.Start();
    second.Start();
    std::vector<std::unique_ptr<Pair>> pairs;
    std::vector<std::unique_ptr<FakeCtx>> ctxs;
    for (int i = 0; i < 64; ++i) {
        pairs.push_back(std::make_unique<Pair>());
        ctxs.push_back(std::make_unique<FakeCtx>(host, pairs.back()->ours));
        Give(i < 63 ? first : second, ctxs.back().get());
    }
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(ctxs[i]->starts.WaitAtLeast(1));
        pairs[i]->Send();
    }
    for (int i = 0; i < 64; ++i) ASSERT_TRUE(ctxs[i]->steps.WaitAtLeast(1)) << i;
    EXPECT_EQ(first.ContextCount(), 63);
    EXPECT_EQ(second.ContextCount(), 1);

    // A 64th context given to a full worker is not lost: it is stopped and reported.
    Pair extraPair;
    FakeCtx extra(host, extraPair.ours);
    Give(first, &extra);
    ASSERT_TRUE(extra.stops.WaitAtLeast(1));
    EXPECT_EQ(extra.stopCause.load(), Cause::fsdc_ServInternalError);
    EXPECT_EQ(extra.starts.Get(), 0);
    End(first);
    End(second);
    for (auto& c : ctxs) EXPECT_EQ(c->stops.Get(), 1);
}

TEST(Worker, MoveRequestIsRejectedByAnEmptyWorkerAndAcceptedByABusyOne) {
    FakeHost host;
    TQORSVCWorker from(&host, false, 1);
    TQORSVCWorker to(&host, false, 2);
    from.Start();
    to.Start();

    from.WorkQueue_MoveContextTo(&to);
    ASSERT_TRUE(from.TakeWakeUpFlag());
    from.WorkerWakeUp();
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_ServWorkerRejectedContex));
    EXPECT_TRUE(host.records.back()->nqr_ReceiverObj.Is(&to));

    Pair p;
    FakeCtx ctx(host, p.ours);
    Give(from, &ctx);
    ASSERT_TRUE(ctx.starts.WaitAtLeast(1));
    from.WorkQueue_MoveContextTo(&to);
    from.WorkerWakeUp();
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_ServWorkerWillAcceptContext));
    const auto& rec = *host.records.back();
    EXPECT_TRUE(rec.nqr_Context.Is(&ctx));
    EXPECT_EQ(rec.nqr_GlobalKey, ctx.CtxGlobalKey());
    EXPECT_TRUE(rec.nqr_SenderObj.Is(&from));
    EXPECT_TRUE(rec.nqr_ReceiverObj.Is(&to));
    EXPECT_EQ(from.ContextCount(), 0);
    EXPECT_EQ(ctx.CtxWorker(), nullptr);  // in transit nobody is flagged through it

    // The heartbeat hands it on; the recipient re-arms it and serves it.
    to.WorkQueue_AddOldContext(&ctx);
    to.WorkerWakeUp();
    ASSERT_TRUE(ctx.params.WaitAtLeast(1));
    p.Send();
    ASSERT_TRUE(ctx.steps.WaitAtLeast(1));
    EXPECT_EQ(ctx.CtxWorker(), &to);
    EXPECT_EQ(ctx.starts.Get(), 1);
    EXPECT_EQ(ctx.stops.Get(), 0);
    End(to);
    End(from);
    EXPECT_EQ(ctx.stops.Get(), 1);
}

// A context whose re-arming reports a time-out is registered with its cause
// and removed by the next sweep's step.
TEST(Worker, ContextThatTimedOutInTransitIsRemovedByTheNextSweep) {
    FakeHost host;
    TQORSVCWorker w(&host, false, 1);
    w.Start();
    Pair p;
    FakeCtx ctx(host, p.ours);
    ctx.paramsResult = wer__Timeout;
    ctx.stepResult = wer__EOF;  // an aborted context's step
    w.WorkQueue_AddOldContext(&ctx);
    w.WorkerWakeUp();
    ASSERT_TRUE(ctx.stops.WaitAtLeast(1));
    EXPECT_EQ(ctx.stopCause.load(), Cause::fsdc_ClientTimeout);
    EXPECT_EQ(ctx.steps.Get(), 1);
    End(w);
}

TEST(Worker, TerminationStopsRegisteredAndQueuedContextsOnceThenReportsTheEnd) {
    FakeHost host;
    auto w = std::make_unique<TQORSVCWorker>(&host, false, 3);
    w->Start();
    std::vector<std::unique_ptr<Pair>> pairs;
    std::vector<std::unique_ptr<FakeCtx>> ctxs;
    for (int i = 0; i < 5; ++i) {
        pairs.push_back(std::make_unique<Pair>());
        ctxs.push_back(std::make_unique<FakeCtx>(host, pairs.back()->ours));
    }
    ctxs[1]->DisconnectCauseW(Cause::fsdc_AdminBlock);  // an earlier cause is kept
    for (int i = 0; i < 3; ++i) Give(*w, ctxs[i].get());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(ctxs[i]->starts.WaitAtLeast(1));
    // Two more queued without a wake-up of their own, plus a move request.
    w->WorkQueue_AddNewContext(ctxs[3].get());
    w->WorkQueue_AddOldContext(ctxs[4].get());
    TQORSVCWorker other(&host, false, 4);
    w->WorkQueue_MoveContextTo(&other);
    w->WorkerForceAbortThread();
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_ServWorkerTerminated));
    EXPECT_EQ(host.records.back()->nqr_Cmd, Cmd::snc_ServWorkerTerminated);
    EXPECT_TRUE(host.records.back()->nqr_SenderObj.Is(w.get()));
    w.reset();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ctxs[i]->stops.Get(), 1) << i;
        EXPECT_EQ(ctxs[i]->stopCause.load(),
                  i == 1 ? Cause::fsdc_AdminBlock : Cause::fsdc_ServerStopped)
            << i;
    }
    EXPECT_EQ(host.CountRecords(Cmd::snc_ClientDisconnected), 5);
    EXPECT_EQ(host.CountRecords(Cmd::snc_ServWorkerRejectedContex), 1);
    // Whether the two queued contexts were started before the end depends on
    // a wake-up left over from the hand-overs above; either way each was
    // stopped exactly once (checked above).
}

// The item that brings a lent context back, as its worker makes it when it
// lends it.
std::unique_ptr<TQORSVCWorkerQueueItem> ReturnOf(TQORSVCWrkCtx* aCtx) {
    auto item = std::make_unique<TQORSVCWorkerQueueItem>();
    item->Code = TQORSVCWorkCode::ReturnContext;
    item->Context = aCtx;
    return item;
}

// Items that reach a worker after its end (or one that never ran) are
// still answered, by its destructor: a context given back too.
TEST(Worker, ItemsQueuedToAWorkerThatNeverRanAreStoppedByItsDestructor) {
    FakeHost host;
    Pair p, q;
    FakeCtx ctx(host, p.ours), back(host, q.ours);
    {
        TQORSVCWorker w(&host, false, 1);
        w.WorkQueue_AddNewContext(&ctx);
        w.WorkQueue_ReturnContext(ReturnOf(&back), wer__OK);
    }
    for (FakeCtx* c : {&ctx, &back}) {
        EXPECT_EQ(c->stops.Get(), 1);
        EXPECT_EQ(c->stopCause.load(), Cause::fsdc_ServerStopped);
    }
}

// A context given back by the heartbeat comes in its ready-made item, while
// no work item can be made: one to keep is armed again and read at once,
// then served on its socket's events; one whose last step ended it is
// stopped without being armed.
TEST(Worker, ContextsGivenBackWithoutMemoryAreServedOrStopped) {
    FakeHost host;
    TQORSVCWorker w(&host, false, 5);
    w.Start();
    Pair kept, ended;
    FakeCtx keptCtx(host, kept.ours), endedCtx(host, ended.ours);
    TQORSVCWorker::TestItemsFail.store(true);
    w.WorkQueue_ReturnContext(ReturnOf(&keptCtx), wer__OK);
    w.WorkQueue_ReturnContext(ReturnOf(&endedCtx), wer__EOF);
    TQORSVCWorker::TestItemsFail.store(false);
    if (w.TakeWakeUpFlag()) w.WorkerWakeUp();
    ASSERT_TRUE(keptCtx.steps.WaitAtLeast(1));
    EXPECT_EQ(keptCtx.params.Get(), 1);
    ASSERT_TRUE(endedCtx.stops.WaitAtLeast(1));
    EXPECT_EQ(endedCtx.params.Get(), 0);
    const int steps = keptCtx.steps.Get();
    kept.Send();
    ASSERT_TRUE(keptCtx.steps.WaitAtLeast(steps + 1));
    End(w);
    EXPECT_EQ(keptCtx.stops.Get(), 1);
    EXPECT_EQ(endedCtx.stops.Get(), 1);
}

// Whatever a pass raises is logged with its class and the worker goes on,
// its contexts still registered; a context that can never be dispatched is
// removed instead of failing every wait.
TEST(Worker, FailingPassIsLoggedAndTheWorkerGoesOn) {
    FakeHost host;
    TQORSVCWorker w(&host, false, 12);
    w.Start();
    Pair badPair, goodPair;
    FakeCtx bad(host, badPair.ours);
    FakeCtx good(host, goodPair.ours);
    bad.CtxWrkTagInt = 2;
    Give(w, &bad);
    Give(w, &good);
    ASSERT_TRUE(good.starts.WaitAtLeast(1));
    ASSERT_TRUE(bad.starts.WaitAtLeast(1));
    badPair.Send();
    ASSERT_TRUE(bad.stops.WaitAtLeast(1));
    EXPECT_EQ(bad.stopCause.load(), Cause::fsdc_ServInternalError);

    struct Case {
        int raise;
        const char16_t* line;
    };
    const Case cases[] = {
        {0,
         u"ERROR: Worker[012]: Main loop: ENotImplemented: Not implemented: Unknown context "
         u"priority tag"},
        {1, u"ERROR: Worker[012]: Main loop: std::runtime_error: boom"},
        {2, u"ERROR: Worker[012]: Main loop: unknown exception: "},
    };
    int steps = 0;
    for (const Case& k : cases) {
        if (k.raise != 0) {
            good.throwOnce = k.raise;
            goodPair.Send();
            ASSERT_TRUE(host.logLines.WaitAtLeast(k.raise + 1));
        }
        goodPair.Send();
        ASSERT_TRUE(good.steps.WaitAtLeast(++steps));
        const auto log = host.Log();
        ASSERT_GT(log.size(), static_cast<size_t>(k.raise));
        EXPECT_EQ(log[static_cast<size_t>(k.raise)], k.line);
    }
    EXPECT_EQ(good.stops.Get(), 0);
    End(w);
}

TEST(Worker, IdleWorkerReportsOncePerCacheTimeAndAHotOneNever) {
    FakeHost host(63, 1);
    TQORSVCWorker hot(&host, true, 1);
    TQORSVCWorker idle(&host, false, 2);
    hot.Start();
    idle.Start();
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_ServWorkerIdle, 3000));
    const TGaxTick32 first = GetTick32();
    host.records.clear();
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_ServWorkerIdle, 3000));
    EXPECT_GE(TickDiff32(first, GetTick32()), 800u);
    for (const auto& r : host.records) EXPECT_TRUE(r->nqr_SenderObj.Is(&idle));
}

TEST(Worker, MemoryReportGivesSixLinesAndAnswersReady) {
    FakeHost host;
    TQORSVCWorker w(&host, false, 5);
    w.Start();
    w.WorkQueue_MemoryReportRequest();
    w.WorkerWakeUp();
    ASSERT_TRUE(host.WaitRecord(Cmd::snc_MemoryReportAnswerReadyEvent));
    EXPECT_EQ(host.records.back()->nqr_DataI0, 1);
    ASSERT_EQ(w.WorkerMemRepArray.size(), 6u);
    EXPECT_EQ(w.WorkerMemRepArray[5], u"Worker[005]: len(WorkerMemRepArray)=6");
    EXPECT_EQ(w.WorkerMemRepArray[3], u"Worker[005]: WorkerFast=128");
}

TEST(Worker, NameIsPaddedToThreeDigits) {
    EXPECT_EQ(TQORSVCWorker::WorkerName(7), u"Worker[007]: ");
    EXPECT_EQ(TQORSVCWorker::WorkerName(1234), u"Worker[1234]: ");
}

}  // namespace
