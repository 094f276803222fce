// Which IP versions one listening binding opens. A vocabulary of its own so
// that configuration readers can name it without pulling in the listener thread.
#pragma once

#include <cstdint>

namespace gax {

enum TSynapseListenerIPVersions : uint8_t { ipver_46 = 0, ipver_4 = 1, ipver_6 = 2 };

}  // namespace gax
