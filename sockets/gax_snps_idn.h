// Host names on their way to and from the resolver: the ASCII (IDN) form that the platform
// gets, and the display form of names that come back. No state; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace gax {

std::string HostToAscii(std::u16string_view host);
std::u16string HostFromAscii(std::string_view host);

}  // namespace gax
