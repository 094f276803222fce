// libFuzzer target for a working session's command lines. The first input
// byte picks the sender's standing (privilege, granted extensions, UTF-8,
// ignored messages); the rest is the line, copied into a heap block of exactly
// its size so that AddressSanitizer catches any read past it. A failure must
// name no record; an accepted post must name one; no record may carry more
// than the line's worth of text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "../server/session_test_support.h"
#include "server/gax_qor_svc_clientcmds.h"

using namespace gax;
using namespace session_test;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static World* world = new World();
    const uint8_t sel = data[0];
    TQORClientCmdView v;
    v.ClientId = "XWDU4oBm3yVNVFL5LJEAkgLA";
    v.Privilege = static_cast<TQORClientPrivilege>(sel & 3);
    v.CtxFlags = (sel & 3) >= 2 ? 0x40000 : (sel & 3) == 1 ? 0x20000 : 0;
    v.GrantedFlags = ((sel & 4) ? QOR_EXT_MOVE_CLIENT : 0) | ((sel & 8) ? QOR_EXT_TEMP_MUTE_BLOCK : 0);
    v.Utf8 = (sel & 16) != 0;
    v.Ctx2Flags = (sel & 32) ? QOR_C2F_IGNORE_MESSAGES : 0;
    v.Service = (sel & 64) ? &world->svc : nullptr;

    const int32_t len = static_cast<int32_t>(size - 1);
    std::unique_ptr<char[]> line(new char[len > 0 ? len : 1]);
    if (len > 0) std::memcpy(line.get(), data + 1, static_cast<size_t>(len));
    const TQORClientCmdOutcome o = ParseClientCommand(v, len > 0 ? line.get() : nullptr, len);
    if (o.Action == TQORClientCmdAction::Fail) {
        Check(o.Rec == nullptr);
    } else if (o.Action == TQORClientCmdAction::Post) {
        Check(o.Rec != nullptr);
        Check(o.Rec->nqr_DataS1.size() <= size);
        // Message frames add their fixed lines and the sender's id, twice for TME.
        Check(o.Rec->nqr_DataS2.size() <= 2 * (size + 64));
    } else {
        Check(o.Rec == nullptr);
    }
    return 0;
}
