// First-in-first-out queues of bare pointers kept in a chain of fixed-size ring
// blocks: the hand-over points between the server's threads. TFifoThreadSafe is
// guarded by its own f_Crit (held for one operation only; Count is a lock-free
// hint); TFifoThreadUnSafe belongs to one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/plat_mutex.h"

namespace gax {

namespace fifo_detail {

struct FifoBlock;

// The block chain both queues share; it knows nothing of locks. Counts and
// capacity are plain fields: the owner serialises every call.
class FifoChain {
  public:
    explicit FifoChain(int32_t aBlockCapacity);
    ~FifoChain();
    FifoChain(const FifoChain&) = delete;
    FifoChain& operator=(const FifoChain&) = delete;

    // Called for every element the chain discards; must not throw.
    using FreeFn = void (*)(void* aOwner, void* aData) noexcept;

    void Push(void* aData);
    // An emptied first block that another block follows is unlinked and handed
    // back in rEmptied, so that a locked owner can free it after unlocking.
    bool Pull(void*& rData, FifoBlock*& rEmptied);
    int32_t PullArray(void** aArray, int32_t aCount, FifoBlock*& rEmptied);
    void* Peek() const;
    void Clear(FreeFn aFree, void* aOwner);
    // Discards oldest elements while more than aKeep remain, at most aMax of them.
    void Discard(int32_t aKeep, int32_t aMax, FreeFn aFree, void* aOwner);
    int32_t Count() const { return f_Count; }
    int32_t BlockCapacity() const { return f_BlockCapacity; }
    int32_t MemoryUsage() const;

    static void FreeBlock(FifoBlock* aBlock) noexcept;

  private:
    FifoBlock* NewBlock() const;

    FifoBlock* f_First;
    FifoBlock* f_Last;
    int32_t f_Count = 0;
    int32_t f_BlockCapacity;
};

}  // namespace fifo_detail

// A queue shared between threads. Pushing hands the element's ownership to the
// queue and pulling hands it back; elements the queue discards itself (Clear,
// KeepLast, Skip, destruction) go to FreeData. The queue signals nobody: a
// producer wakes its consumer itself.
//
// FreeData runs under the queue's lock and must not touch the same queue.
// A subclass that overrides FreeData must call Clear() in its own destructor:
// by the time the base destructor runs, the override is gone.
class TFifoThreadSafe {
  public:
    static constexpr int32_t kMinBlockCapacity = 16;
    static constexpr int32_t kMaxBlockCapacity = 4096;

    // The capacity is clamped to 16..4096 slots per block.
    explicit TFifoThreadSafe(int32_t aBlockCapacity);
    virtual ~TFifoThreadSafe();
    TFifoThreadSafe(const TFifoThreadSafe&) = delete;
    TFifoThreadSafe& operator=(const TFifoThreadSafe&) = delete;

    void PushData(void* aData) GAX_EXCLUDES(f_Crit);
    // Appends aCount elements in array order within one hold of the lock, so
    // they stay together in the queue; aCount <= 0 appends nothing.
    void PushDataArray(void* const* aArray, int32_t aCount) GAX_EXCLUDES(f_Crit);
    // False (rData untouched) when empty. A pushed nullptr comes out as True.
    bool PullData(void*& rData) GAX_EXCLUDES(f_Crit);
    // The oldest element, or nullptr when empty (indistinguishable from a queued nullptr).
    void* PeekData() GAX_EXCLUDES(f_Crit);
    // Takes up to aCount elements from the first block only; a short result
    // does not mean the queue is empty, so batch consumers call again.
    int32_t PullDataArray(void** aArray, int32_t aCount) GAX_EXCLUDES(f_Crit);
    void Clear() GAX_EXCLUDES(f_Crit);
    // Discards the oldest elements until at most aCount remain.
    void KeepLast(int32_t aCount) GAX_EXCLUDES(f_Crit);
    // Discards up to aCount of the oldest elements.
    void Skip(int32_t aCount) GAX_EXCLUDES(f_Crit);

    // Read without the lock: exact for a thread that owns the queue alone, a
    // hint for every other thread.
    int32_t Count() const { return f_Count.load(std::memory_order_relaxed); }
    int32_t BlockCapacity() const { return f_BlockCapacity; }
    // The memory report's figure: blocks x (BlockCapacity x 4 + 24).
    int32_t FifoMemoryUsage() GAX_EXCLUDES(f_Crit);

  protected:
    // Releases one element the queue discards; the base releases nothing.
    virtual void FreeData(void* aData) noexcept;

  private:
    static void CallFreeData(void* aOwner, void* aData) noexcept;
    void PublishCount() GAX_REQUIRES(f_Crit);

    // Kept outside the chain so that it can be read without the lock; set
    // before the chain is built from it.
    const int32_t f_BlockCapacity;
    plat::Mutex f_Crit;
    fifo_detail::FifoChain f_Chain GAX_GUARDED_BY(f_Crit);
    std::atomic<int32_t> f_Count{0};
};

// The same queue without a lock, for a queue one thread fills and empties.
// The same FreeData/destructor rule as TFifoThreadSafe applies to subclasses.
class TFifoThreadUnSafe {
  public:
    static constexpr int32_t kMinBlockCapacity = 16;

    // The capacity is at least 16 slots per block; there is no upper bound.
    explicit TFifoThreadUnSafe(int32_t aBlockCapacity);
    virtual ~TFifoThreadUnSafe();
    TFifoThreadUnSafe(const TFifoThreadUnSafe&) = delete;
    TFifoThreadUnSafe& operator=(const TFifoThreadUnSafe&) = delete;

    void PushData(void* aData);
    bool PullData(void*& rData);
    void* PeekData() const;
    int32_t PullDataArray(void** aArray, int32_t aCount);
    void Clear();

    int32_t Count() const { return f_Chain.Count(); }
    int32_t BlockCapacity() const { return f_Chain.BlockCapacity(); }
    int32_t FifoMemoryUsage() const { return f_Chain.MemoryUsage(); }

  protected:
    virtual void FreeData(void* aData) noexcept;

  private:
    static void CallFreeData(void* aOwner, void* aData) noexcept;

    fifo_detail::FifoChain f_Chain;
};

// The log FIFO: UTF-16 lines from every thread to the thread that writes the
// log. The queue owns each line from push to pull; an empty line travels as
// the nullptr element.
class TFifoStringThreadSafeU : public TFifoThreadSafe {
  public:
    explicit TFifoStringThreadSafeU(int32_t aBlockCapacity);
    ~TFifoStringThreadSafeU() override;

    void PushData(std::u16string aUnicodeString);
    // False (rUnicodeString untouched) when empty.
    bool PullData(std::u16string& rUnicodeString);

  protected:
    void FreeData(void* aData) noexcept override;
};

}  // namespace gax
