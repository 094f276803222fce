// Punycode and the ASCII form of host names: a host name with non-ASCII
// characters is encoded label by label ("xn--" + Punycode) before it goes to
// the resolver, and decoded the same way for display. Stateless; safe from any
// thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gax {

enum TPunycodeStatus : int {
    pc_Success = 0,
    pc_BadInput = 1,
    pc_BigOutput = 2,
    pc_Overflow = 3,
};

// Encodes `count` UTF-16 units. A surrogate pair is one code point; a lone
// surrogate is bad input. With output == nullptr only measures: outLen gets the
// length the output would have, without a room limit. Otherwise outLen gives
// the room in bytes and receives the length written. Basic characters are
// copied unchanged and digits are written in lower case. Counts use the full
// 32-bit range; beyond it the result is pc_Overflow.
TPunycodeStatus PunycodeEncode(const char16_t* input, std::size_t count, std::size_t& outLen,
                               char* output);

// Decodes `count` bytes (digits in either letter case) into UTF-16 units; a
// code point above U+FFFF becomes a surrogate pair, and a decoded surrogate or
// value above U+10FFFF is bad input. outLen works as for PunycodeEncode, in units.
TPunycodeStatus PunycodeDecode(const char* input, std::size_t count, std::size_t& outLen,
                               char16_t* output);

// The ASCII form of a host name: each label between '.' characters that holds
// a non-ASCII character becomes "xn--" and its Punycode; other labels are kept
// (narrowed to bytes). Empty labels, and so a trailing '.', are kept. A name
// that cannot be encoded (a lone surrogate, an overflow) gives the empty
// string, so no other name ever reaches the resolver.
std::string IdnEncodeHostName(std::u16string_view name);

// The display form: each label that starts with "xn--" (lower case), has more
// after it, and whose rest decodes cleanly is decoded; every other label is
// widened byte by byte.
std::u16string IdnDecodeHostName(std::string_view name);

}  // namespace gax
