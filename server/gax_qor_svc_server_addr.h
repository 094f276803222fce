// The protocol form of the server's own and backup host names: what the
// handshake answer announces to 8-bit clients. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace gax {

// The host name's ASCII form ("xn--" labels for labels with characters
// beyond ASCII); a name that cannot be encoded (a lone surrogate, an
// overflow) falls back to each UTF-16 unit's low byte, so the answer still
// carries something an operator can recognise.
std::string QORServerAddressA(std::u16string_view aAddress);

}  // namespace gax
