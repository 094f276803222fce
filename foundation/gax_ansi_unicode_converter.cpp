#include "foundation/gax_ansi_unicode_converter.h"

#include <cstdint>

namespace gax {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, uint32_t c) {
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

void AppendUtf16(std::u16string& out, uint32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

}  // namespace

std::string UnicodeToUtf8Str(std::u16string_view text) {
    std::string out;
    if (text.empty()) return out;
    out.reserve(text.size() + text.size() / 2);
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDFFF) {
            if (c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else {
                c = kReplacement;
            }
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf8BufToUnicodeStd(const char* bytes, std::ptrdiff_t len) {
    std::u16string out;
    if (len <= 0 || bytes == nullptr) return out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    const size_t n = static_cast<size_t>(len);
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        // Length and the allowed range of the second byte for each lead byte;
        // the narrowed ranges reject overlong forms, surrogates and > U+10FFFF
        // at the earliest byte, so the replaced subsequence is the maximal one.
        size_t need;
        unsigned char lo = 0x80, hi = 0xBF;
        uint32_t c;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            c = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            c = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out += kReplacement;
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (size_t k = 0; k < need; ++k, ++j) {
            if (j >= n) {
                ok = false;
                break;
            }
            const unsigned char t = p[j];
            const unsigned char tlo = k == 0 ? lo : 0x80;
            const unsigned char thi = k == 0 ? hi : 0xBF;
            if (t < tlo || t > thi) {
                ok = false;
                break;
            }
            c = (c << 6) | (t & 0x3F);
        }
        if (ok) {
            AppendUtf16(out, c);
        } else {
            out += kReplacement;
        }
        i = j;
    }
    return out;
}

std::u16string Utf8BufToUnicodeStd(std::string_view bytes) {
    return Utf8BufToUnicodeStd(bytes.data(), static_cast<std::ptrdiff_t>(bytes.size()));
}

}  // namespace gax
