// MD5 message digest (RFC 1321); the client and server identifiers are built from it.
// A context is a plain value owned by its caller; no shared state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace gax {

using TMd5Digest = std::array<uint8_t, 16>;

struct TMd5ContextRec {
    uint32_t HashState[4];
    uint32_t BitCountLo;  // message length in bits
    uint32_t BitCountHi;
    uint8_t BlockBytes[64];   // the incomplete block
    uint32_t BlockWords[16];  // the block as little-endian words for the transform
};

void Md5InitContext(TMd5ContextRec& ctx);
void Md5UpdateBuffer(TMd5ContextRec& ctx, const void* data, size_t count);
void Md5UpdateString(TMd5ContextRec& ctx, std::string_view data);
void Md5FinishDigest(TMd5ContextRec& ctx, TMd5Digest& digest);
// The 16 digest bytes as a byte string.
std::string Md5DigestToString(const TMd5Digest& digest);

}  // namespace gax
