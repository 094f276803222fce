// libFuzzer target for the rights file reader: hostile file bytes
// never crash it, and the writer's form of what it accepted reads back as
// itself without a rewrite.
#include "server/gax_qor_svc_rights.h"
#include "list_fuzz_support.h"

using namespace gax;
using namespace list_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    bool rewrite = false;
    std::vector<TQORSVCAccessRecord> recs;
    try {
        recs = ParseRightsFileBytes(std::string(reinterpret_cast<const char*>(data), size),
                                    rewrite);
    } catch (const Exception& e) {
        CheckLineError(e);
        return 0;
    }
    AnyNetworks nets;
    nets.Learn(recs);
    auto lists = DistributeRecords<TQORSVCAccess>(recs, nets, rewrite);
    const std::vector<std::string> lines = MakeListSnapshot(lists);
    for (const auto& l : lists)
        if (l) Check(l->Count() == l->TimeCount());
    for (const std::string& l : lines) Check(l.size() <= kQORSVCListLineLimit);

    bool again = false;
    auto back = ParseRightsFileBytes(FileOf(lines), again);
    Check(!again && back.size() == lines.size());
    AnyNetworks nets2;
    nets2.Learn(back);
    auto lists2 = DistributeRecords<TQORSVCAccess>(back, nets2, again);
    Check(!again && MakeListSnapshot(lists2) == lines);
    return 0;
}
