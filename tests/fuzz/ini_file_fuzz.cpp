// libFuzzer target for the UTF-8 INI parser: hostile bytes either load or
// fail with the parser's own exception, and a loaded file rendered, parsed
// and rendered again gives the same bytes (a load and a save change nothing
// after the first normalisation of blank lines).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/gax_inifile_utf8.h"

using namespace gax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    TIniFileUTF8 ini(u"", false);
    try {
        ini.LoadFromBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const EIniFileUTF8Exception&) {
        return 0;
    }
    const std::string first = ini.RenderBytes();
    TIniFileUTF8 again(u"", false);
    try {
        again.LoadFromBytes(first);
    } catch (...) {
        std::abort();  // what the writer makes always loads
    }
    if (again.RenderBytes() != first) std::abort();
    if (again.Warnings().size() != ini.Warnings().size()) std::abort();
    return 0;
}
