// FastStringA: the growable 8-bit byte buffer behind every protocol frame, list
// buffer and input line. It keeps its block between uses so that steady-state
// appends allocate nothing, and always keeps a NUL after the used bytes so the
// contents can be handed to code that expects a terminated text.
// A FastStringA belongs to one thread at a time; it has no lock.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace gax {

class FastStringA {
  public:
    // The block is allocated at once (at least 1 byte, for the NUL).
    explicit FastStringA(size_t initialCapacity = 16);
    ~FastStringA() = default;

    // Moving hands the block over; the source is left empty with no block and
    // stays usable (its next append allocates).
    FastStringA(FastStringA&& other) noexcept;
    FastStringA& operator=(FastStringA&& other) noexcept;
    FastStringA(const FastStringA&) = delete;
    FastStringA& operator=(const FastStringA&) = delete;

    // Used bytes, always followed by a NUL (also when empty or moved from).
    const char* Data() const noexcept { return fs_Str ? fs_Str.get() : ""; }
    char* MutableData() noexcept { return fs_Str.get(); }
    const char* CStr() const noexcept { return Data(); }
    size_t Len() const noexcept { return fs_Len; }
    size_t Capacity() const noexcept { return fs_All; }
    bool Empty() const noexcept { return fs_Len == 0; }
    std::string_view View() const noexcept { return {Data(), fs_Len}; }
    std::string Str() const { return std::string(Data(), fs_Len); }

    // Keeps the block: length 0, NUL at the start.
    void Clear() noexcept;
    // Shortens to n bytes (no effect when n >= Len()).
    void Truncate(size_t n) noexcept;

    // Makes room for n more bytes by the growth rule, without changing the length.
    void Reserve(size_t n);
    // Lengthens by n bytes and returns where they start, for writers that fill a
    // computed size in place; the caller must write all n bytes.
    char* Extend(size_t n);

    void Append(const void* p, size_t n);
    void Append(std::string_view s) { Append(s.data(), s.size()); }
    void AppendChar(char c);

    // The block size the growth rule picks for `need` used bytes: a quarter more
    // plus some slack, rounded down to 16 (always leaves room for the NUL).
    static size_t GrowSize(size_t need);

  private:
    std::unique_ptr<char[]> fs_Str;
    size_t fs_All = 0;
    size_t fs_Len = 0;
};

}  // namespace gax
