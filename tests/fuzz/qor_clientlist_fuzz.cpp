// The console's readers of a server's list answers: the client-list printer
// and its item decoder over hostile lines. Input: lines separated by LF; the
// first byte picks the printer's flags.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "control/gax_qor_cmdclient.h"
#include "foundation/gax_mlang.h"
#include "foundation/gax_types.h"

using namespace gax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::unique_ptr<TCharsetsCodeList> codes = CreateCharsetsCodeList();
    if (size == 0) return 0;
    TQORSVCCommandLineOptions o;
    const uint8_t flags = data[0];
    o.sclo_Flat = flags & 1;
    o.sclo_Empty = flags & 2;
    o.sclo_Email = flags & 4;
    o.sclo_Ip = flags & 8;
    o.sclo_ServerId = flags & 16;
    o.sclo_ManagerId = flags & 32;
    o.sclo_Proto = flags & 64;
    TQORChannelCommandAnswerList lines;
    std::string cur;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(char(data[i]));
        }
    }
    lines.push_back(cur);
    std::string out;
    std::u16string error;
    FormatClientList(lines, o, u"UTF-8", codes.get(), out, error);
    for (const std::string& l : lines) {
        TQORClientRec rec;
        try {
            ParseClientListItem(l, rec, nullptr);
        } catch (const Exception&) {
        }
    }
    return 0;
}
