// libFuzzer target for the rights file reader: hostile file bytes
// never crash it, and the writer's form of what it accepted reads back as
// itself without a rewrite.
#include "server/gax_qor_svc_rights.h"
#include "list_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return list_fuzz::CheckListReader<gax::TQORSVCAccess>(data, size, gax::ParseRightsFileBytes);
}
