#include "foundation/gax_fifo.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

namespace gax {

namespace fifo_detail {

// One ring of BlockCapacity slots. The slots follow the header in the same
// allocation, so a block costs one allocation and elements never move.
struct FifoBlock {
    FifoBlock* Next = nullptr;
    int32_t Head = 0;  // slot of the next push
    int32_t Tail = 0;  // slot of the oldest element
    int32_t Used = 0;

    void** Slots() { return reinterpret_cast<void**>(this + 1); }
};

static_assert(sizeof(FifoBlock) % alignof(void*) == 0, "slots must follow the header aligned");

namespace {

// Figure per block in the memory report: 16-byte header, 8-byte filler and 4-byte slots.
constexpr int64_t kReportHeaderBytes = 24;
constexpr int64_t kReportSlotBytes = 4;
// Clear frees elements in batches of this many, taken from the first block.
constexpr int32_t kClearBatch = 64;

}  // namespace

FifoChain::FifoChain(int32_t aBlockCapacity) : f_BlockCapacity(aBlockCapacity) {
    f_First = f_Last = NewBlock();
}

FifoChain::~FifoChain() {
    // Elements still held are the owner's business (it clears first); only blocks go here.
    FifoBlock* b = f_First;
    while (b != nullptr) {
        FifoBlock* next = b->Next;
        FreeBlock(b);
        b = next;
    }
}

FifoBlock* FifoChain::NewBlock() const {
    const size_t bytes = sizeof(FifoBlock) + static_cast<size_t>(f_BlockCapacity) * sizeof(void*);
    void* mem = ::operator new(bytes);
    return new (mem) FifoBlock{};  // header zeroed, slots left as they are
}

void FifoChain::FreeBlock(FifoBlock* aBlock) noexcept {
    if (aBlock == nullptr) return;
    aBlock->~FifoBlock();
    ::operator delete(static_cast<void*>(aBlock));
}

void FifoChain::Push(void* aData) {
    FifoBlock* last = f_Last;
    if (last->Used >= f_BlockCapacity) {
        FifoBlock* fresh = NewBlock();  // may throw: nothing changed yet
        last->Next = fresh;
        f_Last = last = fresh;
    }
    last->Slots()[last->Head] = aData;
    if (++last->Head == f_BlockCapacity) last->Head = 0;
    ++last->Used;
    ++f_Count;
}

namespace {

// Takes the oldest element of a block the caller has checked is not empty.
inline void TakeFromFirst(FifoBlock* aFirst, int32_t aCapacity, void*& rData) {
    rData = aFirst->Slots()[aFirst->Tail];
    if (++aFirst->Tail == aCapacity) aFirst->Tail = 0;
    --aFirst->Used;
}

// An emptied first block goes when another follows (handed back to be freed);
// the only block stays and rewinds, so a short queue reuses it for ever.
FifoBlock* SettleFirst(FifoBlock*& rFirst, FifoBlock* aLast) {
    FifoBlock* first = rFirst;
    if (first->Used != 0) return nullptr;
    if (first != aLast) {
        rFirst = first->Next;
        return first;
    }
    first->Head = 0;
    first->Tail = 0;
    return nullptr;
}

}  // namespace

bool FifoChain::Pull(void*& rData, FifoBlock*& rEmptied) {
    rEmptied = nullptr;
    if (f_First->Used < 1) return false;
    TakeFromFirst(f_First, f_BlockCapacity, rData);
    --f_Count;
    rEmptied = SettleFirst(f_First, f_Last);
    return true;
}

int32_t FifoChain::PullArray(void** aArray, int32_t aCount, FifoBlock*& rEmptied) {
    rEmptied = nullptr;
    int32_t n = 0;
    FifoBlock* first = f_First;
    while (n < aCount && first->Used > 0) {
        TakeFromFirst(first, f_BlockCapacity, aArray[n]);
        ++n;
    }
    if (n == 0) return 0;
    f_Count -= n;
    rEmptied = SettleFirst(f_First, f_Last);
    return n;
}

void* FifoChain::Peek() const {
    const FifoBlock* first = f_First;
    if (first->Used < 1) return nullptr;
    return const_cast<FifoBlock*>(first)->Slots()[first->Tail];
}

void FifoChain::Clear(FreeFn aFree, void* aOwner) {
    void* batch[kClearBatch];
    FifoBlock* emptied;
    for (int32_t n; (n = PullArray(batch, kClearBatch, emptied)) > 0;) {
        for (int32_t i = 0; i < n; ++i) aFree(aOwner, batch[i]);
        FreeBlock(emptied);
    }
}

void FifoChain::Discard(int32_t aKeep, int32_t aMax, FreeFn aFree, void* aOwner) {
    if (aKeep < 0) aKeep = 0;
    int32_t done = 0;
    while (done < aMax && f_Count > aKeep) {
        void* data;
        FifoBlock* emptied;
        if (!Pull(data, emptied)) break;
        FreeBlock(emptied);
        aFree(aOwner, data);
        ++done;
    }
}

int32_t FifoChain::MemoryUsage() const {
    int64_t blocks = 0;
    for (const FifoBlock* b = f_First; b != nullptr; b = b->Next) ++blocks;
    const int64_t bytes = blocks * (f_BlockCapacity * kReportSlotBytes + kReportHeaderBytes);
    // A huge unlocked queue must not wrap the report into a negative figure.
    return static_cast<int32_t>(std::min<int64_t>(bytes, std::numeric_limits<int32_t>::max()));
}

}  // namespace fifo_detail

using fifo_detail::FifoBlock;
using fifo_detail::FifoChain;

// ---------------------------------------------------------------- thread-safe

TFifoThreadSafe::TFifoThreadSafe(int32_t aBlockCapacity)
    : f_BlockCapacity(std::clamp(aBlockCapacity, kMinBlockCapacity, kMaxBlockCapacity)),
      f_Chain(f_BlockCapacity) {}

TFifoThreadSafe::~TFifoThreadSafe() {
    Clear();
}

void TFifoThreadSafe::FreeData(void*) noexcept {}

void TFifoThreadSafe::CallFreeData(void* aOwner, void* aData) noexcept {
    static_cast<TFifoThreadSafe*>(aOwner)->FreeData(aData);
}

void TFifoThreadSafe::PublishCount() {
    f_Count.store(f_Chain.Count(), std::memory_order_relaxed);
}

void TFifoThreadSafe::PushData(void* aData) {
    plat::MutexLock lock(f_Crit);
    f_Chain.Push(aData);
    PublishCount();
}

void TFifoThreadSafe::PushDataArray(void* const* aArray, int32_t aCount) {
    if (aCount <= 0 || aArray == nullptr) return;
    plat::MutexLock lock(f_Crit);
    for (int32_t i = 0; i < aCount; ++i) {
        try {
            f_Chain.Push(aArray[i]);
        } catch (...) {
            // Out of memory part-way: what went in stays queued (and counted).
            PublishCount();
            throw;
        }
    }
    PublishCount();
}

bool TFifoThreadSafe::PullData(void*& rData) {
    FifoBlock* emptied = nullptr;
    bool got;
    {
        plat::MutexLock lock(f_Crit);
        got = f_Chain.Pull(rData, emptied);
        if (got) PublishCount();
    }
    FifoChain::FreeBlock(emptied);
    return got;
}

void* TFifoThreadSafe::PeekData() {
    plat::MutexLock lock(f_Crit);
    return f_Chain.Peek();
}

int32_t TFifoThreadSafe::PullDataArray(void** aArray, int32_t aCount) {
    if (aCount <= 0 || aArray == nullptr) return 0;
    FifoBlock* emptied = nullptr;
    int32_t n;
    {
        plat::MutexLock lock(f_Crit);
        n = f_Chain.PullArray(aArray, aCount, emptied);
        if (n > 0) PublishCount();
    }
    FifoChain::FreeBlock(emptied);
    return n;
}

void TFifoThreadSafe::Clear() {
    plat::MutexLock lock(f_Crit);
    f_Chain.Clear(&TFifoThreadSafe::CallFreeData, this);
    PublishCount();
}

void TFifoThreadSafe::KeepLast(int32_t aCount) {
    plat::MutexLock lock(f_Crit);
    f_Chain.Discard(aCount, std::numeric_limits<int32_t>::max(), &TFifoThreadSafe::CallFreeData,
                    this);
    PublishCount();
}

void TFifoThreadSafe::Skip(int32_t aCount) {
    if (aCount <= 0) return;
    plat::MutexLock lock(f_Crit);
    f_Chain.Discard(0, aCount, &TFifoThreadSafe::CallFreeData, this);
    PublishCount();
}

int32_t TFifoThreadSafe::FifoMemoryUsage() {
    plat::MutexLock lock(f_Crit);
    return f_Chain.MemoryUsage();
}

// ---------------------------------------------------------------- unlocked

TFifoThreadUnSafe::TFifoThreadUnSafe(int32_t aBlockCapacity)
    : f_Chain(std::max(aBlockCapacity, kMinBlockCapacity)) {}

TFifoThreadUnSafe::~TFifoThreadUnSafe() {
    Clear();
}

void TFifoThreadUnSafe::FreeData(void*) noexcept {}

void TFifoThreadUnSafe::CallFreeData(void* aOwner, void* aData) noexcept {
    static_cast<TFifoThreadUnSafe*>(aOwner)->FreeData(aData);
}

void TFifoThreadUnSafe::PushData(void* aData) {
    f_Chain.Push(aData);
}

bool TFifoThreadUnSafe::PullData(void*& rData) {
    FifoBlock* emptied = nullptr;
    const bool got = f_Chain.Pull(rData, emptied);
    FifoChain::FreeBlock(emptied);
    return got;
}

void* TFifoThreadUnSafe::PeekData() const {
    return f_Chain.Peek();
}

int32_t TFifoThreadUnSafe::PullDataArray(void** aArray, int32_t aCount) {
    if (aCount <= 0 || aArray == nullptr) return 0;
    FifoBlock* emptied = nullptr;
    const int32_t n = f_Chain.PullArray(aArray, aCount, emptied);
    FifoChain::FreeBlock(emptied);
    return n;
}

void TFifoThreadUnSafe::Clear() {
    f_Chain.Clear(&TFifoThreadUnSafe::CallFreeData, this);
}

// ---------------------------------------------------------------- log FIFO

TFifoStringThreadSafeU::TFifoStringThreadSafeU(int32_t aBlockCapacity)
    : TFifoThreadSafe(aBlockCapacity) {}

TFifoStringThreadSafeU::~TFifoStringThreadSafeU() {
    Clear();
}

void TFifoStringThreadSafeU::PushData(std::u16string aUnicodeString) {
    if (aUnicodeString.empty()) {
        TFifoThreadSafe::PushData(nullptr);
        return;
    }
    auto line = std::make_unique<std::u16string>(std::move(aUnicodeString));
    TFifoThreadSafe::PushData(line.get());  // may throw: the line is still ours then
    line.release();
}

bool TFifoStringThreadSafeU::PullData(std::u16string& rUnicodeString) {
    void* data;
    if (!TFifoThreadSafe::PullData(data)) return false;
    std::unique_ptr<std::u16string> line(static_cast<std::u16string*>(data));
    if (line)
        rUnicodeString = std::move(*line);
    else
        rUnicodeString.clear();
    return true;
}

void TFifoStringThreadSafeU::FreeData(void* aData) noexcept {
    delete static_cast<std::u16string*>(aData);
}

}  // namespace gax
