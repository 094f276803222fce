// libFuzzer target for the internal-flags file and its word parser: any bytes
// either give lists of valid client ids with known, consistent flags, or fail
// with the reader's "line N: " error.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_intflags.h"
#include "server/gax_qor_svc_networks_list.h"

using namespace gax;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

constexpr uint32_t kAllFlags = 0x3F;

void CheckList(const TQORSVCIntFlagsList* l) {
    Check(l != nullptr);
    for (const auto& [id, e] : *l) {
        Check(id == e.fsifwr_ClientId && IsValidSourceIdStr(id));
        Check(e.fsifwr_Flags != 0 && (e.fsifwr_Flags & ~kAllFlags) == 0);
        Check((e.fsifwr_Inverted & ~e.fsifwr_Flags) == 0);
    }
}

const TQORNetworksList& Networks() {
    static const TQORNetworksList* list = [] {
        static const TCharsetsCodeList* codes = CreateCharsetsCodeList().release();
        const int fd = memfd_create("qor_nets", 0);
        const std::string text = "Main\nTwo Words\n*\nOdd\"Q\n";
        Check(fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size()));
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        auto* l = new TQORNetworksList(codes);
        TQORServiceNetOptions serv;
        serv.sno_CharsetName = u"UTF-8";
        l->ReadNetworksListFromFile(serv, std::u16string(path.begin(), path.end()));
        close(fd);
        return l;
    }();
    return *list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const TQORNetworksList& nets = Networks();
    TQORIntFlagsWordsRec w;
    ParseIntFlagsWords(std::string_view(reinterpret_cast<const char*>(data), size), w);
    Check(w.iwr_Known + w.iwr_Unknown == w.iwr_Words);
    Check((w.iwr_Inverted & ~w.iwr_Flags) == 0 && (w.iwr_Flags & ~kAllFlags) == 0);

    static const int fd = memfd_create("qor_intflags", 0);
    if (fd < 0) return 0;
    if (ftruncate(fd, 0) != 0) return 0;
    if (size && pwrite(fd, data, size, 0) != ssize_t(size)) return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::unique_ptr<TQORSVCIntFlagsCfgObject> r;
    try {
        r = ReadIntFlagsFile(nets, std::u16string(path.begin(), path.end()));
    } catch (const EQORIntFlagsError& e) {
        Check(e.Message().rfind(u"line ", 0) == 0);
        return 0;
    }
    Check(r->NetCount() == nets.Count());
    CheckList(r->ServList());
    for (int32_t i = 0; i < r->NetCount(); ++i) CheckList(r->NetList(i));
    return 0;
}
