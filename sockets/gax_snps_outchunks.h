// The storage of the shared output buffers: fixed-size chunks recycled
// through a pool, and frames built once and handed by reference to every
// buffer that sends them.
//
// Chunks: one size for every buffer, so a chunk freed by one connection is
// the next one another connection fills, and a buffer gives each chunk back
// as soon as it is sent (all but its last, which it keeps for its next
// bytes) instead of shrinking a large block later (which made every buffer
// grown by the same burst free its memory on the same flush).
// Each thread keeps a small stack of free chunks; a full or empty stack
// trades half of it with the process-wide pool under its lock, and what the
// pool holds beyond its keep limit is freed outside that lock. A chunk never
// reaches the system's mapping calls: it is far below the allocator's mmap
// threshold.
//
// Frames: immutable bytes with an atomic count of their users; the last
// user, on whatever thread, frees them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace gax {

// ---- chunks ----

// The first block size of a client's buffer: what a quiet connection keeps.
inline constexpr size_t kOutChunkBytes = 1024;

struct TOutChunk {
    TOutChunk* Next = nullptr;  // only while free
    char Data[kOutChunkBytes - sizeof(TOutChunk*)];
};
inline constexpr size_t kOutChunkCapacity = sizeof(TOutChunk::Data);

// Never null: allocates when no free chunk is left (bad_alloc like any
// allocation).
TOutChunk* OutChunkGet();
// aChunk may come from any thread's OutChunkGet.
void OutChunkPut(TOutChunk* aChunk) noexcept;

// What the process-wide pool holds now (tests, memory report).
size_t OutChunkPoolFree();
// Free chunks the process-wide pool keeps for the next burst; more are freed.
inline constexpr size_t kOutChunkPoolKeep = 1024;

// ---- shared frames ----

// Frames from this length on get pages of their own (plat_pages.h), which a
// send may hand to the kernel instead of copying: a full client list of a
// large network, sent to every member. Shorter ones cost less to copy.
inline constexpr size_t kSharedFramePagedFrom = 16384;

// Bytes that many output buffers send; never changed once made.
class TSharedFrame {
  public:
    TSharedFrame() = default;
    TSharedFrame(const TSharedFrame&) = default;
    TSharedFrame& operator=(const TSharedFrame&) = default;
    // A frame moved from is empty, not a length without bytes.
    TSharedFrame(TSharedFrame&& aOther) noexcept
        : f_Bytes(std::move(aOther.f_Bytes)),
          f_Len(std::exchange(aOther.f_Len, 0)),
          f_Paged(std::exchange(aOther.f_Paged, false)) {}
    TSharedFrame& operator=(TSharedFrame&& aOther) noexcept {
        if (this != &aOther) {
            f_Bytes = std::move(aOther.f_Bytes);
            f_Len = std::exchange(aOther.f_Len, 0);
            f_Paged = std::exchange(aOther.f_Paged, false);
        }
        return *this;
    }
    // Throws bad_alloc when no storage is left, like any allocation.
    static TSharedFrame Make(std::string_view aBytes);
    const char* Data() const { return f_Bytes.get(); }
    size_t Len() const { return f_Len; }
    std::string_view View() const { return std::string_view(Data(), f_Len); }
    bool Empty() const { return f_Len == 0; }
    // In pages of its own that nothing writes again while the frame lives.
    bool Paged() const { return f_Paged; }
    void Reset() {
        f_Bytes.reset();
        f_Len = 0;
        f_Paged = false;
    }
    long Users() const { return f_Bytes.use_count(); }

  private:
    std::shared_ptr<const char> f_Bytes;
    size_t f_Len = 0;
    bool f_Paged = false;
};

}  // namespace gax
