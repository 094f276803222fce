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
    fs_Str = std::make_unique_for_overwrite<char[]>(initialCapacity);
    fs_All = initialCapacity;
    fs_Str[0] = '\0';
}

FastStringA::FastStringA(FastStringA&& other) noexcept
    : fs_Str(std::move(other.fs_Str)), fs_All(other.fs_All), fs_Len(other.fs_Len) {
    other.fs_All = 0;
    other.fs_Len = 0;
}

FastStringA& FastStringA::operator=(FastStringA&& other) noexcept {
    if (this != &other) {
        fs_Str = std::move(other.fs_Str);
        fs_All = other.fs_All;
        fs_Len = other.fs_Len;
        other.fs_All = 0;
        other.fs_Len = 0;
    }
    return *this;
}

void FastStringA::Clear() noexcept {
    fs_Len = 0;
    if (fs_Str) fs_Str[0] = '\0';
}

void FastStringA::Truncate(size_t n) noexcept {
    if (n >= fs_Len) return;
    fs_Len = n;
    fs_Str[n] = '\0';
}

size_t FastStringA::GrowSize(size_t need) {
    return (need + need / 4 + 31) & ~size_t(15);
}

void FastStringA::Reserve(size_t n) {
    if (n > kMaxFastLen || fs_Len > kMaxFastLen - n) throw std::bad_alloc();
    const size_t need = fs_Len + n;
    if (fs_All >= need + 1) return;
    const size_t size = GrowSize(need);
    auto block = std::make_unique_for_overwrite<char[]>(size);
    if (fs_Len > 0) std::memcpy(block.get(), fs_Str.get(), fs_Len);
    block[fs_Len] = '\0';
    fs_Str = std::move(block);
    fs_All = size;
}

char* FastStringA::Extend(size_t n) {
    Reserve(n);
    char* at = fs_Str.get() + fs_Len;
    fs_Len += n;
    fs_Str[fs_Len] = '\0';
    return at;
}

void FastStringA::Append(const void* p, size_t n) {
    if (n == 0) {
        if (!fs_Str) Reserve(0);
        return;
    }
    // The source may lie inside our own block, which Extend can replace.
    const char* src = static_cast<const char*>(p);
    const char* base = fs_Str.get();
    if (base && !std::less<const char*>()(src, base) &&
        std::less<const char*>()(src, base + fs_All)) {
        const size_t offset = static_cast<size_t>(src - base);
        char* at = Extend(n);
        std::memmove(at, fs_Str.get() + offset, n);
        return;
    }
    std::memcpy(Extend(n), src, n);
}

void FastStringA::AppendChar(char c) {
    *Extend(1) = c;
}

}  // namespace gax
