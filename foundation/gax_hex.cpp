#include "foundation/gax_hex.h"

#include <array>
#include <ostream>

#include "foundation/gax_strutils.h"

namespace gax {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

[[noreturn]] void RaiseInvalidHexCharacter() {
    throw EInvalidHexCharacterError("Invalid HEX character");
}
[[noreturn]] void RaiseInvalidHexLength() {
    throw EInvalidHexLengthError("Invalid HEX length");
}

// A bad character is reported before a bad length, so "0 A" names the blank.
void CheckDigits(const char16_t* src, int count) {
    for (int i = 0; i < count; ++i)
        if (HexDigitValue(src[i]) < 0) RaiseInvalidHexCharacter();
    if (count % 2 != 0) RaiseInvalidHexLength();
}

// Decodes count (even) digits; the callers checked the digits and the room.
char* DecodeDigits(char* dst, const char16_t* src, int count) {
    for (int i = 0; i + 1 < count; i += 2)
        *dst++ = static_cast<char>((HexDigitValue(src[i]) << 4) | HexDigitValue(src[i + 1]));
    return dst;
}

template <class C>
C* WriteHex(C* dst, const void* src, int len) {
    const auto* b = static_cast<const unsigned char*>(src);
    for (int i = 0; i < len; ++i) {
        *dst++ = static_cast<C>(kHexDigits[b[i] >> 4]);
        *dst++ = static_cast<C>(kHexDigits[b[i] & 15]);
    }
    return dst;
}

const std::array<uint32_t, 256>& Crc32Table() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

}  // namespace

// ---- Encoding --------------------------------------------------------------

char* BytesToHexBufA(char* dst, const void* src, int len) {
    return WriteHex(dst, src, len);
}

char16_t* BytesToHexBufW(char16_t* dst, const void* src, int len) {
    return WriteHex(dst, src, len);
}

std::string BytesToHexA(std::string_view bytes) {
    std::string r(bytes.size() * 2, '\0');
    if (!bytes.empty()) BytesToHexBufA(r.data(), bytes.data(), static_cast<int>(bytes.size()));
    return r;
}

std::u16string BytesToHexW(std::string_view bytes) {
    std::u16string r(bytes.size() * 2, u'\0');
    if (!bytes.empty()) BytesToHexBufW(r.data(), bytes.data(), static_cast<int>(bytes.size()));
    return r;
}

// ---- Decoding --------------------------------------------------------------

int TryHexToBytesBuf(char* dst, int dstCap, const char* src, int len) {
    int written = 0;
    int hi = -1;
    for (int i = 0; i < len; ++i) {
        unsigned c = static_cast<unsigned char>(src[i]);
        if (c <= 32) continue;
        int v = HexDigitValue(c);
        if (v < 0) return -1;
        if (hi < 0) {
            hi = v;
            continue;
        }
        if (written >= dstCap) return -1;
        dst[written++] = static_cast<char>((hi << 4) | v);
        hi = -1;
    }
    return hi < 0 ? written : -1;
}

char* HexToBytesBufW(char* dst, int dstCap, const char16_t* src, int count) {
    if (count <= 0) return dst;
    CheckDigits(src, count);
    if (dstCap < count / 2) RaiseBufferTooSmall();
    return DecodeDigits(dst, src, count);
}

std::string HexToBytesW(const char16_t* src, int count) {
    if (count <= 0) return {};
    CheckDigits(src, count);
    std::string r(static_cast<size_t>(count / 2), '\0');
    DecodeDigits(r.data(), src, count);
    return r;
}

std::string HexToBytesStr(std::u16string_view hex) {
    if (hex.size() > static_cast<size_t>(INT32_MAX)) RaiseInvalidHexLength();
    return HexToBytesW(hex.data(), static_cast<int>(hex.size()));
}

void HexToStream(const char16_t* src, int count, std::ostream& out) {
    if (count <= 0) return;
    CheckDigits(src, count);  // nothing reaches the stream from a bad text
    constexpr int kPortionDigits = 32768;
    char buf[kPortionDigits / 2];
    for (int done = 0; done < count;) {
        int n = count - done < kPortionDigits ? count - done : kPortionDigits;
        char* end = DecodeDigits(buf, src + done, n);
        out.write(buf, end - buf);
        done += n;
    }
}

int CleanHexDigitsW(char16_t* dst, int dstCap, const char16_t* src, int count) {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        char16_t c = src[i];
        if (c <= 0x20) continue;
        if (HexDigitValue(c) < 0) RaiseInvalidHexCharacter();
        if (kept >= dstCap) RaiseBufferTooSmall();
        dst[kept++] = (c >= u'a' && c <= u'f') ? static_cast<char16_t>(c - 32) : c;
    }
    return kept;
}

void HexToStreamLenient(const char16_t* src, int count, std::ostream& out) {
    constexpr int kBufDigits = 8192;
    char16_t digits[kBufDigits];
    char bytes[kBufDigits / 2];
    int filled = 0;
    for (int i = 0; i < count; ++i) {
        char16_t c = src[i];
        if (c <= 0x20) continue;
        if (HexDigitValue(c) < 0) RaiseInvalidHexCharacter();
        digits[filled++] = c;
        if (filled == kBufDigits) {
            out.write(bytes, DecodeDigits(bytes, digits, filled) - bytes);
            filled = 0;
        }
    }
    if (filled % 2 != 0) RaiseInvalidHexLength();
    if (filled > 0) out.write(bytes, DecodeDigits(bytes, digits, filled) - bytes);
}

char16_t* RemoveSpaceCharsW(char16_t* dst, int dstCap, const char16_t* src, int count) {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (IsSpaceCharW(src[i])) continue;
        if (kept >= dstCap) RaiseBufferTooSmall();
        dst[kept++] = src[i];
    }
    return dst + kept;
}

bool TryParseHexCardinalW(std::u16string_view s, uint32_t& value) {
    size_t i = 0;
    while (i < s.size() && s[i] <= 0x20) ++i;
    if (i == s.size()) return false;
    uint32_t v = 0;
    for (; i < s.size(); ++i) {
        int d = HexDigitValue(s[i]);
        if (d < 0) return false;
        if (v > 0x0FFFFFFFu) return false;  // a ninth significant digit
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    value = v;
    return true;
}

// ---- Checksums -------------------------------------------------------------

uint16_t Crc16Update(uint16_t crc, const void* data, int len) {
    if (data == nullptr || len <= 0) return crc;
    const auto* b = static_cast<const unsigned char*>(data);
    unsigned c = crc;
    for (int i = 0; i < len; ++i) {
        c ^= b[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
    }
    return static_cast<uint16_t>(c);
}

uint32_t Crc32Update(uint32_t crc, const void* data, int len) {
    if (data == nullptr || len <= 0) return crc;
    const auto& table = Crc32Table();
    const auto* b = static_cast<const unsigned char*>(data);
    uint32_t c = ~crc;
    for (int i = 0; i < len; ++i) c = table[(c ^ b[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

uint32_t Crc32UpdateText(uint32_t crc, std::u16string_view text) {
    unsigned char pair[2];
    for (char16_t u : text) {
        pair[0] = static_cast<unsigned char>(u & 0xFF);
        pair[1] = static_cast<unsigned char>(u >> 8);
        crc = Crc32Update(crc, pair, 2);
    }
    return crc;
}

}  // namespace gax
