// The state of one memory report: which command connection asked, which
// workers and manager threads still owe their part, whether the service
// thread has given its own, and the collected lines. The heartbeat thread's
// server-queue handlers feed it and write the answer it builds to the asker.
//
// A report is identified by its generation, the asking context's global key:
// lines and ready events carry it, so the parts of a report that was
// abandoned (its asker left) can never slip into the next one. A part that
// never comes cannot hold the report open: a worker or manager thread that
// ends is no longer waited for, and a report not complete after
// kMemReportTimeoutMs finishes with the lines it has.
//
// Heartbeat thread only; no lock.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_datetime.h"
#include "server/gax_qor_svc_queues.h"

namespace gax {

inline constexpr TGaxTick32 kMemReportTimeoutMs = 5000;

class TQORSVCMemoryReport {
  public:
    bool Running() const { return f_Running; }
    TQORSVCCtxRef Asker() const { return f_Asker; }
    // The generation of the running report (0 when none runs).
    TQORGlobalKey Generation() const { return f_Running ? f_Asker.Key : 0; }

    // Starts a report for aAsker, waiting for the parts of aWorkers and
    // aManagers (those actually asked) and of the service thread. False, and
    // nothing changes, while another report runs: the asker gets "-BUSY".
    bool Start(TQORSVCCtxRef aAsker, std::vector<TQORSVCHandle> aWorkers,
               std::vector<TQORSVCHandle> aManagers, TGaxTick32 aNow);

    // A line of the report aGeneration; dropped when that report is not the
    // running one, and added once however often it comes.
    void AddLine(TQORGlobalKey aGeneration, std::u16string aLine);
    // The 8-bit lines of managers and the service thread: each byte one unit.
    void AddLineBytes(TQORGlobalKey aGeneration, std::string_view aLine);

    // Parts done. A worker's lines come with its ready event.
    void WorkerReady(TQORGlobalKey aGeneration, TQORSVCHandle aWorker,
                     const std::vector<std::u16string>& aLines);
    void ManagerReady(TQORGlobalKey aGeneration, TQORSVCHandle aManager);
    void MainReady(TQORGlobalKey aGeneration);

    // A thread that ended will not answer: the report stops waiting for it.
    // The caller then tests Complete() again.
    void WorkerEnded(TQORSVCHandle aWorker);
    void ManagerEnded(TQORSVCHandle aManager);
    // The asker left: the report is forgotten, a new one may start.
    void AskerEnded(TQORSVCCtxRef aAsker);

    // Every part asked for has come.
    bool Complete() const;
    // The report ran longer than kMemReportTimeoutMs.
    bool TimedOut(TGaxTick32 aNow) const;
    // Should the running report be finished now (complete or timed out)?
    bool Due(TGaxTick32 aNow) const { return f_Running && (Complete() || TimedOut(aNow)); }

    // Ends the running report and returns its answer: "+N" CR LF and the
    // lines sorted by code unit, each unit written as its low byte, each
    // with CR LF. aAsker is who gets it (check that it still lives).
    std::string Finish(TQORSVCCtxRef& aAsker);

    size_t LineCount() const { return f_Lines.size(); }

  private:
    static void Erase(std::vector<TQORSVCHandle>& aList, TQORSVCHandle aItem);
    void Reset();

    bool f_Running = false;
    TQORSVCCtxRef f_Asker;
    TGaxTick32 f_StartTick = 0;
    std::vector<TQORSVCHandle> f_WaitWorkers;
    std::vector<TQORSVCHandle> f_WaitManagers;
    bool f_GotMain = false;
    std::set<std::u16string> f_Lines;
};

}  // namespace gax
