#include "sockets/gax_snps_idn.h"

#include "foundation/gax_strutils.h"

namespace gax {

// Until the host-name codec is available, names pass byte for byte (ASCII names, which
// are all the server resolves today, are their own IDN form).
std::string HostToAscii(std::u16string_view host) {
    return UnicodeToByteStr(host);
}

std::u16string HostFromAscii(std::string_view host) {
    return ByteStrToUnicode(host);
}

}  // namespace gax
