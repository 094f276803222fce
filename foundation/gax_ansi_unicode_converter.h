// Conversions between the server's UTF-16 texts and 8-bit byte strings: UTF-8,
// the console and system default character sets, and TAnsiUnicodeConverter for
// one named character set (a network's, or the raw-byte set "BIN").
// Free functions are stateless and safe from any thread. A converter holds no
// lock: any number of threads may convert through one converter at once, but
// selecting a name or assigning a list must not overlap with its conversions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gax {

// UTF-16 -> UTF-8. Surrogate pairs become 4-byte sequences; a lone surrogate
// cannot be encoded and becomes U+FFFD, so the result is always valid UTF-8.
std::string UnicodeToUtf8Str(std::u16string_view text);

// The system's standard UTF-8 decoder. Ill-formed input never fails the whole
// text: each maximal ill-formed subsequence (stray continuation byte, cut or
// overlong sequence, encoded surrogate, value above U+10FFFF) becomes one U+FFFD.
// A length <= 0 gives the empty text and never reads the pointer.
std::u16string Utf8BufToUnicodeStd(const char* bytes, std::ptrdiff_t len);
std::u16string Utf8BufToUnicodeStd(std::string_view bytes);

}  // namespace gax
