#include "foundation/gax_types.h"

namespace gax {

namespace {

// Kept local so the exception base depends on nothing; bad surrogates become U+FFFD.
std::string EncodeUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

Exception::Exception(std::u16string message)
    : f_Message(std::move(message)), f_Utf8(EncodeUtf8(f_Message)) {}

Exception::Exception(std::string_view asciiMessage)
    : f_Message(asciiMessage.begin(), asciiMessage.end()), f_Utf8(asciiMessage) {
    // Literal messages are ASCII; widen byte by byte.
    for (size_t i = 0; i < asciiMessage.size(); ++i)
        f_Message[i] = static_cast<unsigned char>(asciiMessage[i]);
}

void RaiseLineTooLong() {
    throw ELineLengthTooLong("Line too long");
}
void RaiseNotImplemented(std::u16string_view what) {
    if (what.empty()) throw ENotImplemented("Not implemented");
    throw ENotImplemented(u"Not implemented: " + std::u16string(what));
}

void RaiseBufferTooSmall() {
    throw Exception("Buffer too small");
}

}  // namespace gax
