// libFuzzer target for the networks file: any bytes either give a list whose
// networks all have a usable name, are found by both look-ups and are framed
// in the 0x05 texts, or fail with the list's own error and leave it empty.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_networks_list.h"

using namespace gax;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TCharsetsCodeList* codes = CreateCharsetsCodeList().release();
    static const int fd = memfd_create("qor_networks", 0);
    if (fd < 0) return 0;
    if (ftruncate(fd, 0) != 0) return 0;
    if (size && pwrite(fd, data, size, 0) != ssize_t(size)) return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    TQORServiceNetOptions serv;
    serv.sno_CharsetName = u"WINDOWS-1251";
    TQORNetworksList list(codes);
    try {
        list.ReadNetworksListFromFile(serv, std::u16string(path.begin(), path.end()));
    } catch (const EQORNetworksListError& e) {
        Check(e.Message().rfind(u"Network file \"", 0) == 0);
        Check(list.Count() == 0 && list.NetsV0().empty() && list.NetsV1U().empty());
        return 0;
    }
    Check(list.NetsV0().rfind("\x05" "0", 0) == 0);
    Check(list.NetsV1U().rfind("\x05" "0", 0) == 0);
    int32_t shown = 0;
    for (int32_t i = 0; i < list.Count(); ++i) {
        const TQORNetworkData* n = list.GetNetworkOriginal(i);
        Check(n != nullptr && n->NetOriginalIndex() == i);
        Check(!n->NetworkNameUCS2().empty());
        for (const char16_t c : n->NetworkNameUCS2()) Check(c >= 0x20);
        Check(n->NetworkNameUCS2().size() <= 2 * kQORNetworkNameMaxChars);
        Check(n->NetworkNameANSI().size() <= kQORNetworkNameAnsiMaxBytes);
        Check(IsValidUtf8Str(n->NetworkNameUTF8()));
        Check(list.FindNetwork(n->NetworkNameUCS2()) == n);
        Check(list.FindNetworkLocal(n->NetworkNameANSI()) == n);
        Check(list.GetNetworkSorted(i) != nullptr);
        if (!n->Hidden()) {
            ++shown;
            Check(list.NetsV1U().find("\r\n" + n->NetworkNameUTF8() + "\r\n") != std::string::npos);
        }
    }
    Check(list.NetsV0().rfind("\x05" "0" + std::to_string(shown) + "\r\n", 0) == 0);
    return 0;
}
