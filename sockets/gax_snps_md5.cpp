#include "sockets/gax_snps_md5.h"

#include <cstring>

namespace gax {

namespace {

inline uint32_t Rol(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return (x & y) | (~x & z);
}
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return (x & z) | (y & ~z);
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void Transform(TMd5ContextRec& ctx) {
    for (int i = 0; i < 16; ++i) {
        const uint8_t* b = ctx.BlockBytes + 4 * i;
        ctx.BlockWords[i] =
            uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    uint32_t a = ctx.HashState[0], b = ctx.HashState[1], c = ctx.HashState[2], d = ctx.HashState[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = F(b, c, d);
            g = i;
        } else if (i < 32) {
            f = G(b, c, d);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = H(b, c, d);
            g = (3 * i + 5) % 16;
        } else {
            f = I(b, c, d);
            g = (7 * i) % 16;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + Rol(a + f + kSine[i] + ctx.BlockWords[g], kShift[i]);
        a = t;
    }
    ctx.HashState[0] += a;
    ctx.HashState[1] += b;
    ctx.HashState[2] += c;
    ctx.HashState[3] += d;
}

}  // namespace

void Md5InitContext(TMd5ContextRec& ctx) {
    std::memset(&ctx, 0, sizeof(ctx));
    ctx.HashState[0] = 0x67452301;
    ctx.HashState[1] = 0xefcdab89;
    ctx.HashState[2] = 0x98badcfe;
    ctx.HashState[3] = 0x10325476;
}

void Md5UpdateBuffer(TMd5ContextRec& ctx, const void* data, size_t count) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t used = (ctx.BitCountLo >> 3) & 63;
    uint64_t bits = (uint64_t(ctx.BitCountHi) << 32 | ctx.BitCountLo) + uint64_t(count) * 8;
    ctx.BitCountLo = uint32_t(bits);
    ctx.BitCountHi = uint32_t(bits >> 32);
    while (count > 0) {
        size_t take = 64 - used < count ? 64 - used : count;
        std::memcpy(ctx.BlockBytes + used, p, take);
        used += take;
        p += take;
        count -= take;
        if (used == 64) {
            Transform(ctx);
            used = 0;
        }
    }
}

void Md5UpdateString(TMd5ContextRec& ctx, std::string_view data) {
    Md5UpdateBuffer(ctx, data.data(), data.size());
}

void Md5FinishDigest(TMd5ContextRec& ctx, TMd5Digest& digest) {
    uint8_t length[8];
    for (int i = 0; i < 4; ++i) {
        length[i] = uint8_t(ctx.BitCountLo >> (8 * i));
        length[4 + i] = uint8_t(ctx.BitCountHi >> (8 * i));
    }
    size_t used = (ctx.BitCountLo >> 3) & 63;
    static const uint8_t kPad[64] = {0x80};
    size_t padLen = used < 56 ? 56 - used : 120 - used;
    Md5UpdateBuffer(ctx, kPad, padLen);
    Md5UpdateBuffer(ctx, length, 8);
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k) digest[4 * i + k] = uint8_t(ctx.HashState[i] >> (8 * k));
}

std::string Md5DigestToString(const TMd5Digest& digest) {
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

}  // namespace gax
