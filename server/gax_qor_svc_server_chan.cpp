// The service's handlers behind the command channel's requests that the
// heartbeat thread answers: the client listings, the memory report (its
// request, the parts that come back from the workers and the service thread,
// its completion and its time limit), the counters shown when the stop runs
// late, and the answers networks send back through the server queue.
//
// Heartbeat thread, but for the service thread's part of the memory report
// (trMemReportPart) and NetHostCommandAnswer (any thread: it only posts).
#include <algorithm>
#include <string>
#include <vector>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_fields.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {

namespace {

std::u16string DecW(int64_t aValue) { return IntToDecStrW(aValue); }

// The header and empty member list of a network that keeps no client list.
void AppendEmptyNetworkList(std::string& aOut, const TQORSVCNetwork& aNet) {
    FastStringA f(64);
    FastStrAddHexLenStr(f, UnicodeToUtf8Str(aNet.NetName()));
    f.Append("00");
    f.Append("00");
    f.Append("\r\n0\r\n");
    aOut.append(f.View());
}

}  // namespace

// ---------------------------------------------------------------- answers

void TQORService::NetHostCommandAnswer(TQORSVCCtxRef aCtx, std::string aText) {
    f_Poster.ServQueue_ChannelAnswerText(aCtx.Ctx, aCtx.Key, std::move(aText));
}

void TQORService::ChannelLogText(TQORSVCHandle, std::u16string_view aLogText) {
    // The operator's text may hold line ends; escaped, it stays one log line.
    TStringBldU b;
    AppendLogSafeText(b, aLogText);
    Fifo(ToText(b));
}

// ---------------------------------------------------------------- listings

void TQORService::tmChannelList(TQORSVCNetQueueRecord& aRec, bool aWholeServer) {
    TQORSVCWrkCtx* ctx = tmAliveCommandContext(aRec.nqr_Context, aRec.nqr_GlobalKey);
    if (ctx == nullptr) return;
    std::string body;
    int64_t lines = 0;
    for (const auto& n : f_Nets) {
        if (!aWholeServer && !aRec.nqr_ReceiverObj.Is(n.get())) continue;
        int32_t members = n->AppendChannelList(body);
        if (members < 0) {
            AppendEmptyNetworkList(body, *n);
            members = 0;
        }
        lines += 2 + 2 * static_cast<int64_t>(members);
    }
    if (!aWholeServer && lines == 0) {
        // The network was named when the request was read, and networks are
        // never removed while the service runs: only a forged record gets here.
        tmWriteCommandAnswer(*ctx, "-NONET\r\n", true);
        return;
    }
    tmWriteCommandAnswer(*ctx, "+" + std::to_string(lines) + "\r\n" + body, true);
}

// ---------------------------------------------------------------- counters

void TQORService::tmShowCounters() {
    Fifo(u" - Total contexts: tmTotalContextCount = " + DecW(tmTotalContextCount.load()));
    Fifo(u" - Client contexts: tmClientContextCount = " + DecW(tmClientContextCount.load()));
    Fifo(u" - Command contexts: f_tmCommandContexts.Count = " +
         DecW(static_cast<int64_t>(f_tmCommandContexts.size())));
    Fifo(u" - Work threads: f_tmWorkers.Count = " + DecW(static_cast<int64_t>(f_tmWorkers.size())));
    Fifo(u" - Manager threads: tmManagerCount = " + DecW(tmManagerCount.load()));
    Fifo(u" - Main queue events: f_MainQueue.Count = " + DecW(f_Poster.MainQueue().Count()));
    Fifo(u" - Server queue events: f_ServQueue.Count = " + DecW(f_Poster.ServQueue().Count()));
}

void TQORService::tmStopLateAbort() {
    // The stop ran past its limit: what still runs is shown once, then every
    // worker is told to end so that its contexts' disconnects reach this
    // thread while it still runs.
    tmShowCounters();
    tmAbortAllWorkers();
}

void TQORService::tmCloseCommandContexts() {
    // A console left connected would otherwise hold the stop until its line
    // time-out; each context writes what it has queued before it ends.
    for (const auto& c : f_tmCommandContexts)
        c->ClientTerminateSignal(TQORSVCDisconnectCause::fsdc_ServerStopped);
}

// ---------------------------------------------------------------- memory report

void TQORService::tmMemReportRequest(TQORSVCNetQueueRecord& aRec) {
    TQORSVCWrkCtx* ctx = tmAliveCommandContext(aRec.nqr_Context, aRec.nqr_GlobalKey);
    if (ctx == nullptr) return;
    // The time limit is tested here too: a report whose parts never came
    // must not answer "-BUSY" to the next asker.
    tmMemReportCheck();
    std::vector<TQORSVCHandle> workers;
    for (const TQORWorkerSlot& s : f_tmWorkers) workers.emplace_back(s.W.get());
    std::vector<TQORSVCHandle> managers;
    std::vector<TQORSVCManagerThread*> asked;
    for (int32_t i = 0; i < 4; ++i) {
        TQORSVCManagerThread* m = SysManThread(i);
        if (m == nullptr || f_tmSysManEnded[size_t(i)]) continue;
        managers.emplace_back(m);
        asked.push_back(m);
    }
    if (!f_tmMemRep.Start(TQORSVCCtxRef{aRec.nqr_Context, aRec.nqr_GlobalKey}, workers,
                          managers, e_Clock.Tick())) {
        tmWriteCommandAnswer(*ctx, "-BUSY\r\n", true);
        return;
    }
    const TQORGlobalKey gen = f_tmMemRep.Generation();
    try {
        for (TQORSVCManagerThread* m : asked) m->SysMan_MemoryReport(gen);
        for (const TQORWorkerSlot& s : f_tmWorkers) {
            // A worker still owes the part of an earlier report: it is not
            // asked again (it would rewrite its lines while this thread reads
            // them); that part, when it comes, serves this report.
            const void* id = s.W.get();
            if (std::find(f_tmMemRepOutstanding.begin(), f_tmMemRepOutstanding.end(), id) !=
                f_tmMemRepOutstanding.end())
                continue;
            f_tmMemRepOutstanding.push_back(id);
            s.W->WorkQueue_MemoryReportRequest();
        }
        auto main = std::make_unique<TQORSVCMainQueueRec>();
        main->fsmqr_Cmd = TQORSVCMainQueueCmd::fsmqc_MemRepRequest;
        main->fsmqr_GlobalKey = gen;
        f_Poster.MainQueue().Push(std::move(main));
        f_Poster.InterruptService();

        std::vector<std::u16string> own;
        auto line = [&own](std::u16string_view aLabel, int64_t aValue) {
            own.push_back(std::u16string(aLabel) + IntToDecStrW(aValue));
        };
        line(u"Global/timer: TotalContexts=", tmTotalContextCount.load());
        line(u"Global/timer: ClientContexts=", tmClientContextCount.load());
        line(u"Global/timer: f_ServQueue=", f_Poster.ServQueue().FifoMemoryUsage());
        line(u"Global/timer: f_tmWorkers.Capacity=", static_cast<int64_t>(f_tmWorkers.capacity()));
        line(u"Global/timer: f_tmUndefinedContexts.Capacity=",
             static_cast<int64_t>(f_tmClients.bucket_count()));
        line(u"Global/timer: f_tmTempMovedContexts.Capacity=",
             static_cast<int64_t>(f_tmTempMovedContexts.capacity()));
        line(u"Global/timer: f_tmSBU=", 0);
        line(u"Global/timer: f_tmAddressClientCounterCache.Capacity=",
             f_tmAddressClientCounterCache ? f_tmAddressClientCounterCache->Capacity() : 0);
        line(u"Global/timer: f_tmAddressClientCounterCache.Count=",
             f_tmAddressClientCounterCache ? f_tmAddressClientCounterCache->Count() : 0);
        line(u"Global/timer: f_MemReportAnswers.Capacity=",
             static_cast<int64_t>(f_tmMemRep.LineCount()));
        for (std::size_t i = f_Nets.size(); i-- > 0;) f_Nets[i]->AppendMemoryReport(own);
        for (std::u16string& l : own) f_tmMemRep.AddLine(gen, std::move(l));
    } catch (...) {
        TQORSVCCtxRef dropped;
        (void)f_tmMemRep.Finish(dropped);
        throw;
    }
    tmMemReportCheck();
}

void TQORService::tmMemReportLine(TQORSVCNetQueueRecord& aRec) {
    f_tmMemRep.AddLineBytes(aRec.nqr_GlobalKey, aRec.nqr_DataS1);
}

void TQORService::tmMemReportReady(TQORSVCNetQueueRecord& aRec) {
    switch (static_cast<TQORSVCMemoryReportReadyEvent>(aRec.nqr_DataI0)) {
        case TQORSVCMemoryReportReadyEvent::fsmre_Worker: {
            const void* id = aRec.nqr_SenderObj.Identity();
            std::erase(f_tmMemRepOutstanding, id);
            TQORWorkerSlot* s = tmFindWorker(aRec.nqr_SenderObj);
            if (s == nullptr) break;
            // The worker wrote its lines before it posted this record and
            // writes them again only when asked again, after this.
            f_tmMemRep.WorkerReady(f_tmMemRep.Generation(), aRec.nqr_SenderObj,
                                   s->W->WorkerMemRepArray);
            s->W->WorkQueue_MemoryReportClear();
            break;
        }
        case TQORSVCMemoryReportReadyEvent::fsmre_Main:
            f_tmMemRep.MainReady(aRec.nqr_GlobalKey);
            break;
        case TQORSVCMemoryReportReadyEvent::fsmre_Manager:
            f_tmMemRep.ManagerReady(aRec.nqr_GlobalKey, aRec.nqr_SenderObj);
            break;
        default:
            break;
    }
    tmMemReportCheck();
}

void TQORService::tmMemReportWorkerGone(TQORSVCHandle aWorker) {
    std::erase(f_tmMemRepOutstanding, aWorker.Identity());
    f_tmMemRep.WorkerEnded(aWorker);
    tmMemReportCheck();
}

void TQORService::tmMemReportAskerGone(TQORSVCNetQueueRecord& aRec) {
    // The disconnect record names the context; its key is the context's own.
    for (const auto& c : f_tmCommandContexts)
        if (aRec.nqr_Context.Is(c.get()))
            f_tmMemRep.AskerEnded(TQORSVCCtxRef{aRec.nqr_Context, c->CtxGlobalKey()});
}

void TQORService::tmMemReportCheck() {
    if (!f_tmMemRep.Due(e_Clock.Tick())) return;
    TQORSVCCtxRef asker;
    const std::string answer = f_tmMemRep.Finish(asker);
    if (TQORSVCWrkCtx* ctx = tmAliveCommandContext(asker.Ctx, asker.Key))
        tmWriteCommandAnswer(*ctx, answer, true);
}

void TQORService::trMemReportPart(const TQORSVCMainQueueRec& aRec) {
    const TQORGlobalKey gen = aRec.fsmqr_GlobalKey;
    auto post = [&](std::string aLine) {
        auto rec = std::make_unique<TQORSVCNetQueueRecord>();
        rec->nqr_Cmd = TQORServNetworkCommand::snc_MemoryReportAnswerLine;
        rec->nqr_DataS1 = std::move(aLine);
        rec->nqr_GlobalKey = gen;
        f_Poster.ServQueuePush(std::move(rec));
    };
    auto line = [&](std::string_view aLabel, int64_t aValue) {
        post(std::string(aLabel) + std::to_string(aValue));
    };
    // This service keeps no text builder, scratch buffer or converter list of
    // its own on this thread: those items report 0.
    line("Global/main: f_trSBU=", 0);
    line("Global/main: f_MainQueue=", f_Poster.MainQueue().FifoMemoryUsage());
    line("Global/main: f_Fifo=", f_Fifo.FifoMemoryUsage());
    line("Global/main: f_trFast=", 0);
    line("Global/main: f_tmFast1=", 0);
    line("Global/main: f_Flushers=", f_Flushers.FifoMemoryUsage());
    line("Global/main: f_trCharsetConverters.Capacity=", 0);
    line("Listener: lisBldU=", 0);
    auto ready = std::make_unique<TQORSVCNetQueueRecord>();
    ready->nqr_Cmd = TQORServNetworkCommand::snc_MemoryReportAnswerReadyEvent;
    ready->nqr_DataI0 = static_cast<int32_t>(TQORSVCMemoryReportReadyEvent::fsmre_Main);
    ready->nqr_SenderObj = this;
    ready->nqr_GlobalKey = gen;
    f_Poster.ServQueuePush(std::move(ready));
}

}  // namespace gax
