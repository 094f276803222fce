// libFuzzer target for the notices, modes and owner file readers (the three
// small files): hostile bytes never crash them, and the writer's form of what
// they accepted reads back as itself without a rewrite. The first input byte
// picks the reader.
#include "server/gax_qor_svc_notices.h"
#include "list_fuzz_support.h"

using namespace gax;
using namespace list_fuzz;

namespace {

void Notices(std::string bytes) {
    bool rewrite = false;
    std::vector<TQORSVCNoticeRecord> recs;
    try {
        recs = ParseNoticesFileBytes(std::move(bytes), rewrite);
    } catch (const Exception& e) {
        CheckLineError(e);
        return;
    }
    for (const auto& r : recs) {
        Check(r.Data.nod_NoticeANSI.size() <= size_t(kQORSVCNoticeMaxChars));
        Check(Utf8CharCount(r.Data.nod_NoticeUTF8.data(), int(r.Data.nod_NoticeUTF8.size())) <=
              kQORSVCNoticeMaxChars);
        for (char c : r.Data.nod_NoticeANSI + r.Data.nod_NoticeUTF8)
            Check(static_cast<unsigned char>(c) >= 32);
    }
    AnyNetworks nets;
    nets.Learn(recs);
    const auto lines = MakeNoticesSnapshot(DistributeNotices(recs, nets, true, rewrite), nets);
    bool again = false;
    auto back = ParseNoticesFileBytes(FileOf(lines), again);
    Check(!again && back.size() == lines.size());
    AnyNetworks nets2;
    nets2.Learn(back);
    Check(MakeNoticesSnapshot(DistributeNotices(back, nets2, true, again), nets2) == lines);
    Check(!again);
}

void Modes(std::string bytes) {
    bool rewrite = false;
    std::vector<TQORSVCModesRecord> recs;
    try {
        recs = ParseModesFileBytes(std::move(bytes), rewrite);
    } catch (const Exception& e) {
        CheckLineError(e);
        return;
    }
    AnyNetworks nets;
    nets.Learn(recs);
    const auto lines = MakeModesSnapshot(DistributeModes(recs, nets, rewrite), nets);
    bool again = false;
    auto back = ParseModesFileBytes(FileOf(lines), again);
    Check(!again && back.size() == lines.size());
    AnyNetworks nets2;
    nets2.Learn(back);
    Check(MakeModesSnapshot(DistributeModes(back, nets2, again), nets2) == lines);
    Check(!again);
}

void Owner(std::string bytes) {
    bool rewrite = false;
    TQORSVCOwnerData o;
    bool any;
    try {
        any = ParseOwnerFileBytes(std::move(bytes), o, rewrite);
    } catch (const Exception& e) {
        CheckLineError(e);
        return;
    }
    Check(rewrite == o.od_aChanged);
    if (!any) return;
    const std::string line = MakeOwnerFileLine(o.od_CallsignOpnameANSI, o.od_CallsignOpnameUTF8);
    TQORSVCOwnerData back;
    bool again = false;
    Check(ParseOwnerFileBytes(FileOf({line}), back, again) && !again);
    Check(back.od_CallsignOpnameANSI == o.od_CallsignOpnameANSI &&
          back.od_CallsignOpnameUTF8 == o.od_CallsignOpnameUTF8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 1 << 20) return 0;
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: Notices(std::move(bytes)); break;
        case 1: Modes(std::move(bytes)); break;
        default: Owner(std::move(bytes)); break;
    }
    return 0;
}
