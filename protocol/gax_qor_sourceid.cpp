// Client and server ids.
#include "protocol/gax_qor_sourceid.h"

#include <algorithm>
#include <cstring>

#include "foundation/gax_types.h"

namespace gax {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint16_t kCheckCrcStart = 0xADB9;

bool InAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

uint16_t Crc16(uint16_t crc, const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint8_t>(p[i]);
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

void CheckChars(const char* body, char& c23, char& c24) {
    const uint16_t c = Crc16(kCheckCrcStart, body, QOR_SOURCE_ID_BODY_LEN);
    c23 = kAlphabet[(c >> 8) & 63];
    c24 = kAlphabet[c & 63];
}

// ---- MD5 (RFC 1321) ----

struct Md5 {
    uint32_t a = 0x67452301, b = 0xefcdab89, c = 0x98badcfe, d = 0x10325476;
    uint64_t total = 0;
    uint8_t block[64];
    size_t used = 0;

    static uint32_t Rol(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

    void Transform(const uint8_t* p) {
        static constexpr uint32_t K[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
            0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
            0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
            0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
            0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
            0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
            0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
            0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
            0xeb86d391};
        static constexpr int S[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                      5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                      4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                      6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
        uint32_t m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 | uint32_t(p[4 * i + 2]) << 16 |
                   uint32_t(p[4 * i + 3]) << 24;
        uint32_t A = a, B = b, C = c, D = d;
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (B & C) | (~B & D);
                g = i;
            } else if (i < 32) {
                f = (D & B) | (~D & C);
                g = (5 * i + 1) & 15;
            } else if (i < 48) {
                f = B ^ C ^ D;
                g = (3 * i + 5) & 15;
            } else {
                f = C ^ (B | ~D);
                g = (7 * i) & 15;
            }
            const uint32_t t = D;
            D = C;
            C = B;
            B = B + Rol(A + f + K[i] + m[g], S[i]);
            A = t;
        }
        a += A;
        b += B;
        c += C;
        d += D;
    }

    void Update(const uint8_t* p, size_t n) {
        total += n;
        while (n > 0) {
            const size_t take = std::min(n, sizeof block - used);
            std::memcpy(block + used, p, take);
            used += take;
            p += take;
            n -= take;
            if (used == 64) {
                Transform(block);
                used = 0;
            }
        }
    }

    TQORDigest Final() {
        const uint64_t bits = total * 8;
        static const uint8_t pad[64] = {0x80};
        Update(pad, used < 56 ? 56 - used : 120 - used);
        uint8_t len[8];
        for (int i = 0; i < 8; ++i) len[i] = uint8_t(bits >> (8 * i));
        Update(len, 8);
        TQORDigest out;
        const uint32_t w[4] = {a, b, c, d};
        for (int i = 0; i < 16; ++i) out[i] = uint8_t(w[i / 4] >> (8 * (i % 4)));
        return out;
    }
};

TQORDigest DigestOf(const void* p, size_t n) {
    Md5 m;
    if (n > 0) m.Update(static_cast<const uint8_t*>(p), n);
    return m.Final();
}

// The first 22 Base64 characters of the digest plus the check characters; the
// 24-character Base64 text would end in "==", which the id replaces.
std::string IdOfDigest(const TQORDigest& d) {
    std::string id(QOR_SOURCE_ID_LEN, '\0');
    size_t o = 0;
    for (size_t i = 0; i < 16; i += 3) {
        const uint32_t v = uint32_t(d[i]) << 16 | (i + 1 < 16 ? uint32_t(d[i + 1]) << 8 : 0) |
                           (i + 2 < 16 ? uint32_t(d[i + 2]) : 0);
        for (int k = 3; k >= 0 && o < QOR_SOURCE_ID_BODY_LEN; --k)
            id[o++] = kAlphabet[(v >> (6 * k)) & 63];
    }
    CheckChars(id.data(), id[22], id[23]);
    return id;
}

}  // namespace

std::string MakeSourceIdFromText(std::string_view text, TQORDigest& digest) {
    digest = DigestOf(text.data(), text.size());
    return IdOfDigest(digest);
}

std::string MakeSourceId(std::string_view text) {
    return IdOfDigest(DigestOf(text.data(), text.size()));
}

std::string MakeSourceIdFromBuffer(const void* p, int32_t len) {
    return IdOfDigest(DigestOf(p, len > 0 ? size_t(len) : 0));
}

std::string MakeSourceIdFromUnicodeLowBytes(std::u16string_view text) {
    std::string bytes(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) bytes[i] = char(text[i] & 0xFF);
    return MakeSourceId(bytes);
}

std::string AddSourceIdCheckChars(std::string_view text) {
    if (text.size() < QOR_SOURCE_ID_BODY_LEN) throw Exception("Invalid source id length");
    std::string id(text.substr(0, QOR_SOURCE_ID_BODY_LEN));
    id.resize(QOR_SOURCE_ID_LEN);
    CheckChars(id.data(), id[22], id[23]);
    return id;
}

bool IsValidSourceId(const char* p, int32_t len) {
    if (p == nullptr || len != int32_t(QOR_SOURCE_ID_LEN)) return false;
    for (size_t i = 0; i < QOR_SOURCE_ID_BODY_LEN; ++i)
        if (!InAlphabet(p[i])) return false;
    char c23, c24;
    CheckChars(p, c23, c24);
    return p[22] == c23 && p[23] == c24;
}

bool IsValidSourceIdStr(std::string_view text) {
    return IsValidSourceId(text.data(), int32_t(std::min<size_t>(text.size(), 0x7FFFFFFF)));
}

bool HasSourceIdBrackets(const char* p, int32_t len) {
    for (int32_t i = 0; i < len; ++i)
        if (p[i] == '[' || p[i] == ']') return true;
    return false;
}

void RepairSourceIdBrackets(char* p, int32_t len) {
    for (int32_t i = 0; i < len; ++i) {
        if (p[i] == '[')
            p[i] = '+';
        else if (p[i] == ']')
            p[i] = '/';
    }
}

bool NormalizeSourceId(std::string& id, bool& changed) {
    if (id.size() == QOR_SOURCE_ID_BODY_LEN) {
        RepairSourceIdBrackets(id.data(), int32_t(id.size()));
        id = AddSourceIdCheckChars(id);
        changed = true;
        // A body with bytes outside the alphabet could never match a client.
        return IsValidSourceIdStr(id);
    }
    if (id.size() != QOR_SOURCE_ID_LEN) return false;
    if (id[22] == '=' && id[23] == '=') {
        RepairSourceIdBrackets(id.data(), int32_t(QOR_SOURCE_ID_BODY_LEN));
        CheckChars(id.data(), id[22], id[23]);
        changed = true;
        return IsValidSourceIdStr(id);
    }
    if (HasSourceIdBrackets(id.data(), int32_t(id.size()))) {
        RepairSourceIdBrackets(id.data(), int32_t(id.size()));
        CheckChars(id.data(), id[22], id[23]);
        changed = true;
    }
    return IsValidSourceIdStr(id);
}

}  // namespace gax
