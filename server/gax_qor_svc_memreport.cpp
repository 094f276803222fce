#include "server/gax_qor_svc_memreport.h"

#include <algorithm>
#include <utility>

namespace gax {

bool TQORSVCMemoryReport::Start(TQORSVCCtxRef aAsker, std::vector<TQORSVCHandle> aWorkers,
                                std::vector<TQORSVCHandle> aManagers, TGaxTick32 aNow) {
    if (f_Running) return false;
    Reset();
    f_Running = true;
    f_Asker = aAsker;
    f_StartTick = aNow;
    f_WaitWorkers = std::move(aWorkers);
    f_WaitManagers = std::move(aManagers);
    return true;
}

void TQORSVCMemoryReport::AddLine(TQORGlobalKey aGeneration, std::u16string aLine) {
    if (!f_Running || aGeneration != f_Asker.Key) return;
    f_Lines.insert(std::move(aLine));
}

void TQORSVCMemoryReport::AddLineBytes(TQORGlobalKey aGeneration, std::string_view aLine) {
    std::u16string s;
    s.reserve(aLine.size());
    for (char c : aLine) s.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    AddLine(aGeneration, std::move(s));
}

void TQORSVCMemoryReport::Erase(std::vector<TQORSVCHandle>& aList, TQORSVCHandle aItem) {
    const auto it = std::find(aList.begin(), aList.end(), aItem);
    if (it != aList.end()) aList.erase(it);
}

void TQORSVCMemoryReport::WorkerReady(TQORGlobalKey aGeneration, TQORSVCHandle aWorker,
                                      const std::vector<std::u16string>& aLines) {
    if (!f_Running || aGeneration != f_Asker.Key) return;
    // Only a worker that was asked and has not answered yet adds lines.
    if (std::find(f_WaitWorkers.begin(), f_WaitWorkers.end(), aWorker) == f_WaitWorkers.end())
        return;
    for (const auto& line : aLines) f_Lines.insert(line);
    Erase(f_WaitWorkers, aWorker);
}

void TQORSVCMemoryReport::ManagerReady(TQORGlobalKey aGeneration, TQORSVCHandle aManager) {
    if (!f_Running || aGeneration != f_Asker.Key) return;
    Erase(f_WaitManagers, aManager);
}

void TQORSVCMemoryReport::MainReady(TQORGlobalKey aGeneration) {
    if (!f_Running || aGeneration != f_Asker.Key) return;
    f_GotMain = true;
}

void TQORSVCMemoryReport::WorkerEnded(TQORSVCHandle aWorker) {
    Erase(f_WaitWorkers, aWorker);
}

void TQORSVCMemoryReport::ManagerEnded(TQORSVCHandle aManager) {
    Erase(f_WaitManagers, aManager);
}

void TQORSVCMemoryReport::AskerEnded(TQORSVCCtxRef aAsker) {
    if (f_Running && aAsker.Ctx == f_Asker.Ctx && aAsker.Key == f_Asker.Key) Reset();
}

bool TQORSVCMemoryReport::Complete() const {
    return f_Running && f_WaitWorkers.empty() && f_WaitManagers.empty() && f_GotMain;
}

bool TQORSVCMemoryReport::TimedOut(TGaxTick32 aNow) const {
    return f_Running && TickDiff32(f_StartTick, aNow) >= kMemReportTimeoutMs;
}

std::string TQORSVCMemoryReport::Finish(TQORSVCCtxRef& aAsker) {
    aAsker = f_Asker;
    std::string out = "+" + std::to_string(f_Lines.size()) + "\r\n";
    for (const auto& line : f_Lines) {
        for (char16_t c : line) out.push_back(static_cast<char>(c & 0xFF));
        out += "\r\n";
    }
    Reset();
    return out;
}

void TQORSVCMemoryReport::Reset() {
    f_Running = false;
    f_Asker = {};
    f_WaitWorkers.clear();
    f_WaitManagers.clear();
    f_GotMain = false;
    f_Lines.clear();
}

}  // namespace gax
