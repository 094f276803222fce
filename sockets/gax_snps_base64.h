// Base64 encoding (RFC 4648 alphabet) for the identifiers and the HTTP proxy's
// authorisation header. No state.
#pragma once

#include <string>
#include <string_view>

namespace gax {

// Each 3 bytes give 4 characters of the table; a short last group uses index 64 for its
// missing places, written only when the table has a 65th character (the pad).
std::u16string Base64EncodeWithTable(std::string_view data, std::string_view table);
// Standard Base64 with "=" padding.
std::u16string EncodeBase64(std::string_view data);
std::string EncodeBase64A(std::string_view data);

}  // namespace gax
