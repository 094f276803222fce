// FastStringA growth and appends.
#include "foundation/gax_faststring.h"

#include <cstring>
#include <functional>
#include <new>

namespace gax {

namespace {
// Lengths travel as signed 32-bit values in the protocol; a buffer never grows
// past what they can describe.
constexpr size_t kMaxFastLen = 0x7FFFFF00u;
}  // namespace

FastStringA::FastStringA(size_t initialCapacity) {
    if (initialCapacity < 1) initialCapacity = 1;
    if (initialCapacity > kMaxFastLen) throw std::bad_alloc();
    f_Str = std::make_unique_for_overwrite<char[]>(initialCapacity);
    f_All = initialCapacity;
    f_Str[0] = '\0';
}

FastStringA::FastStringA(FastStringA&& other) noexcept
    : f_Str(std::move(other.f_Str)), f_All(other.f_All), f_Len(other.f_Len) {
    other.f_All = 0;
    other.f_Len = 0;
}

FastStringA& FastStringA::operator=(FastStringA&& other) noexcept {
    if (this != &other) {
        f_Str = std::move(other.f_Str);
        f_All = other.f_All;
        f_Len = other.f_Len;
        other.f_All = 0;
        other.f_Len = 0;
    }
    return *this;
}

void FastStringA::Clear() noexcept {
    f_Len = 0;
    if (f_Str) f_Str[0] = '\0';
}

void FastStringA::Truncate(size_t n) noexcept {
    if (n >= f_Len) return;
    f_Len = n;
    f_Str[n] = '\0';
}

size_t FastStringA::GrowSize(size_t need) {
    return (need + need / 4 + 31) & ~size_t(15);
}

void FastStringA::Reserve(size_t n) {
    if (n > kMaxFastLen || f_Len > kMaxFastLen - n) throw std::bad_alloc();
    const size_t need = f_Len + n;
    if (f_All >= need + 1) return;
    const size_t size = GrowSize(need);
    auto block = std::make_unique_for_overwrite<char[]>(size);
    if (f_Len > 0) std::memcpy(block.get(), f_Str.get(), f_Len);
    block[f_Len] = '\0';
    f_Str = std::move(block);
    f_All = size;
}

char* FastStringA::Extend(size_t n) {
    Reserve(n);
    char* at = f_Str.get() + f_Len;
    f_Len += n;
    f_Str[f_Len] = '\0';
    return at;
}

void FastStringA::Append(const void* p, size_t n) {
    if (n == 0) {
        if (!f_Str) Reserve(0);
        return;
    }
    // The source may lie inside our own block, which Extend can replace.
    const char* src = static_cast<const char*>(p);
    const char* base = f_Str.get();
    if (base && !std::less<const char*>()(src, base) &&
        std::less<const char*>()(src, base + f_All)) {
        const size_t offset = static_cast<size_t>(src - base);
        char* at = Extend(n);
        std::memmove(at, f_Str.get() + offset, n);
        return;
    }
    std::memcpy(Extend(n), src, n);
}

void FastStringA::AppendChar(char c) {
    *Extend(1) = c;
}

}  // namespace gax
