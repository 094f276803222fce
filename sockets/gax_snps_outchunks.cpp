#include "sockets/gax_snps_outchunks.h"

#include <array>
#include <cstring>
#include <new>

#include "platform/plat_mutex.h"
#include "platform/plat_pages.h"

namespace gax {

namespace {

// The process-wide free list. Never destroyed: threads may still give chunks
// back while the process ends.
class ChunkPool {
  public:
    // Takes up to aMax chunks into aOut; returns how many.
    size_t Take(TOutChunk** aOut, size_t aMax) GAX_EXCLUDES(f_Lock) {
        plat::MutexLock lock(f_Lock);
        size_t n = 0;
        while (n < aMax && f_Head != nullptr) {
            aOut[n++] = f_Head;
            f_Head = f_Head->Next;
            --f_Count;
        }
        return n;
    }
    // Keeps what fits under the keep limit; frees the rest after the lock.
    void Give(TOutChunk* const* aIn, size_t aCount) GAX_EXCLUDES(f_Lock) {
        TOutChunk* excess = nullptr;
        {
            plat::MutexLock lock(f_Lock);
            for (size_t i = 0; i < aCount; ++i) {
                TOutChunk* c = aIn[i];
                if (f_Count < kOutChunkPoolKeep) {
                    c->Next = f_Head;
                    f_Head = c;
                    ++f_Count;
                } else {
                    c->Next = excess;
                    excess = c;
                }
            }
        }
        while (excess != nullptr) {
            TOutChunk* next = excess->Next;
            delete excess;
            excess = next;
        }
    }
    size_t Count() GAX_EXCLUDES(f_Lock) {
        plat::MutexLock lock(f_Lock);
        return f_Count;
    }

  private:
    plat::Mutex f_Lock;
    TOutChunk* f_Head GAX_GUARDED_BY(f_Lock) = nullptr;
    size_t f_Count GAX_GUARDED_BY(f_Lock) = 0;
};

ChunkPool& Pool() {
    static ChunkPool* const pool = new ChunkPool;
    return *pool;
}

// A thread's own free chunks; given back to the pool when the thread ends.
class ThreadStack {
  public:
    static constexpr size_t kSize = 32;
    static constexpr size_t kTrade = kSize / 2;

    ~ThreadStack();

    TOutChunk* Get() {
        if (f_Count == 0) f_Count = Pool().Take(f_Chunks.data(), kTrade);
        if (f_Count == 0) return new TOutChunk;
        return f_Chunks[--f_Count];
    }
    void Put(TOutChunk* aChunk) {
        if (f_Count == kSize) {
            Pool().Give(f_Chunks.data() + kTrade, kSize - kTrade);
            f_Count = kTrade;
        }
        f_Chunks[f_Count++] = aChunk;
    }

  private:
    std::array<TOutChunk*, kSize> f_Chunks{};
    size_t f_Count = 0;
};

thread_local ThreadStack t_Stack;
// Set once the thread's stack is gone: a buffer destroyed later in the
// thread's exit goes to the pool directly.
thread_local bool t_StackGone = false;

ThreadStack::~ThreadStack() {
    t_StackGone = true;
    Pool().Give(f_Chunks.data(), f_Count);
    f_Count = 0;
}

}  // namespace

TOutChunk* OutChunkGet() {
    TOutChunk* c = nullptr;
    if (!t_StackGone) {
        c = t_Stack.Get();
    } else if (Pool().Take(&c, 1) == 0) {
        c = new TOutChunk;
    }
    c->Next = nullptr;
    return c;
}

void OutChunkPut(TOutChunk* aChunk) noexcept {
    if (aChunk == nullptr) return;
    if (!t_StackGone)
        t_Stack.Put(aChunk);
    else
        Pool().Give(&aChunk, 1);
}

size_t OutChunkPoolFree() { return Pool().Count(); }

TSharedFrame TSharedFrame::Make(std::string_view aBytes) {
    TSharedFrame f;
    const size_t n = aBytes.size();
    if (n == 0) return f;
    if (n >= kSharedFramePagedFrom) {
        void* pages = plat::PagesAlloc(n);
        if (pages != nullptr) {
            std::memcpy(pages, aBytes.data(), n);
            // The pages are unmapped by the last user, on whatever thread;
            // sockets that still hold them keep them alive in the kernel.
            // When the count cannot be allocated the constructor unmaps
            // them itself: a second unmap here could take a mapping that
            // another thread was given at the same address meanwhile.
            f.f_Bytes = std::shared_ptr<const char>(
                static_cast<const char*>(pages),
                [n](const char* p) { plat::PagesFree(const_cast<char*>(p), n); });
            f.f_Len = n;
            f.f_Paged = true;
            return f;
        }
        // No mapping to be had: an ordinary block, sent by copy.
    }
    std::shared_ptr<char[]> bytes(new char[n]);
    std::memcpy(bytes.get(), aBytes.data(), n);
    f.f_Bytes = std::shared_ptr<const char>(bytes, bytes.get());
    f.f_Len = n;
    return f;
}

}  // namespace gax
