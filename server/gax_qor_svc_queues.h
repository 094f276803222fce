// The records and queues that carry work between the server's threads: the
// server queue (every thread -> heartbeat thread), the main queue (heartbeat,
// command contexts, main thread, control handler -> service thread) and the
// flusher queue (heartbeat -> service thread). Each queue is a TFifoThreadSafe
// guarded by its own lock; any thread may push, only its one consumer pulls.
//
// Ownership: a record belongs to its producer until pushed, to the queue while
// queued and to the consumer once pulled. A record owns its strings and its list
// payloads; the object fields are handles to objects owned elsewhere and are
// never dereferenced through the record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "foundation/gax_fifo.h"
#include "server/gax_qor_svc_globals.h"

namespace gax {

// Unique key of a work context, from the service's counter (first key 1). A
// record keeps the key its context had when the record was made, so that a
// consumer can tell a context that ended (its memory possibly reused) from the
// one meant.
using TQORGlobalKey = uint32_t;

// Identity of an object that another thread owns (a context, a worker, a
// network, a manager thread). Records carry such objects only as handles: the
// object may have ended by the time the record is read, so the consumer first
// finds the object in its own lists by identity (and, for a context, by global
// key) and only then uses its own pointer. Compare with a pointer of the same
// class the producer used.
class TQORSVCHandle {
  public:
    constexpr TQORSVCHandle() = default;
    constexpr TQORSVCHandle(std::nullptr_t) {}
    template <class T>
    requires std::is_class_v<T> TQORSVCHandle(const T* aObj)
        : f_Ptr(static_cast<const void*>(aObj)) {}

    template <class T>
    bool Is(const T* aObj) const {
        return f_Ptr == static_cast<const void*>(aObj);
    }
    bool IsNull() const { return f_Ptr == nullptr; }
    // The identity alone, for a consumer's hash look-up; never dereferenced.
    const void* Identity() const { return f_Ptr; }
    explicit operator bool() const { return f_Ptr != nullptr; }
    friend bool operator==(TQORSVCHandle, TQORSVCHandle) = default;

  private:
    const void* f_Ptr = nullptr;
};

// A context as a record names it: its handle and its global key, read by the
// producer from the live context when the record is made.
struct TQORSVCCtxRef {
    TQORSVCHandle Ctx;
    TQORGlobalKey Key = 0;
};

// The reference of a live context (any class with CtxGlobalKey()); a null
// context gives a null handle and key 0.
template <class TCtx>
TQORSVCCtxRef CtxRefOf(const TCtx* aCtx) {
    return aCtx ? TQORSVCCtxRef{aCtx, aCtx->CtxGlobalKey()} : TQORSVCCtxRef{};
}

// Base of every object a record owns: the per-network lists of a reread
// (admins, mutes, blocks, rights, notices) and the internal-flags objects.
// Destroying one releases the whole list with its entries.
class TQORSVCListPayload {
  public:
    TQORSVCListPayload() = default;
    virtual ~TQORSVCListPayload() = default;
    TQORSVCListPayload(const TQORSVCListPayload&) = delete;
    TQORSVCListPayload& operator=(const TQORSVCListPayload&) = delete;
};

// One element of a record's list array: an owned list (nullptr for a network
// without entries) or, for the modes, a plain number (ConnectOnlyListed x 256 +
// TalkOnlyMarked).
struct TQORSVCListSlot {
    std::unique_ptr<TQORSVCListPayload> List;
    int32_t Number = 0;
};
// One slot per network, indexed by the network's original index.
using TQORSVCListArray = std::vector<TQORSVCListSlot>;

// Takes the list out of a slot when it is of class T; a list of another class
// stays in the slot (and is freed with its record), so a record whose command
// and payload disagree can never be misread.
template <class T>
std::unique_ptr<T> TakeListAs(TQORSVCListSlot& aSlot) {
    T* list = dynamic_cast<T*>(aSlot.List.get());
    if (list == nullptr) return nullptr;
    aSlot.List.release();
    return std::unique_ptr<T>(list);
}

// What the heartbeat thread asks of one worker thread.
enum class TQORSVCWorkCode : uint8_t {
    MemoryReportRequest = 0,
    MemoryReportClear = 1,
    AddNewContext = 2,  // argument: a context that has never run
    MoveContextTo = 3,  // argument: the worker that is to receive one context
    AddOldContext = 4,  // argument: a context that ran on another worker
    // argument: a context this worker gave the heartbeat to read while it
    // held the floor, with the result of its last step there
    ReturnContext = 5,
};

class TQORSVCWrkCtx;
class TQORSVCWorker;

// One item of a worker's work queue. The pointers are borrowed: the heartbeat
// thread owns the contexts and the workers, and discarding an item never
// touches them. A ReturnContext item is made by the worker itself when it
// lends the context and names it with the worker's own pointer.
struct TQORSVCWorkerQueueItem {
    TQORSVCWorkCode Code{};
    TQORSVCWrkCtx* Context = nullptr;    // AddNewContext, AddOldContext, ReturnContext
    TQORSVCWorker* Recipient = nullptr;  // MoveContextTo
    uint8_t Result = 0;                  // ReturnContext: a TQORSVCWorkerExecResult
    // The next item while it waits in the queue's list of returns (guarded
    // by that list's lock there).
    TQORSVCWorkerQueueItem* Next = nullptr;
};

// A server-queue record. Producers start from a value-initialised record, so
// every field they do not name is empty, null or 0.
//
// Owned payloads travel in nqr_ListArray: the per-network lists of the list
// updates (one slot per network), the internal-flags object of
// snc_ApplyServIntFlags and snc_ApplyNetIntFlags (slot 0), and one network's
// list in the per-network records the dispatcher makes (slot 0). The one
// exception is the work item of snc_ServWorkerGivesTalker (nqr_ReturnItem).
// A consumer takes a payload by moving it out, so destroying the record
// afterwards frees only what is left and nothing twice.
struct TQORSVCNetQueueRecord {
    TQORSVCHandle nqr_Context;      // the connection context concerned
    TQORSVCHandle nqr_SenderObj;    // the posting worker, the source network, a manager thread
    TQORSVCHandle nqr_ReceiverObj;  // the target network or worker
    TQORSVCListArray nqr_ListArray;
    // snc_ServWorkerGivesTalker: the item that gives the lent context back to
    // its worker, made by that worker before it lent it, so that giving it
    // back allocates nothing and cannot fail.
    std::unique_ptr<TQORSVCWorkerQueueItem> nqr_ReturnItem;
    std::string nqr_DataS1;
    std::string nqr_DataS2;
    std::string nqr_DataS3;
    TQORGlobalKey nqr_GlobalKey = 0;  // key of nqr_Context when the record was made
    // A general number despite its name (a confirm-e-mail mask, a frame
    // offset); accepted connections carry their socket in nqr_DataI0.
    uintptr_t nqr_Socket = 0;
    int32_t nqr_DataI0 = 0;
    int32_t nqr_DataI1 = 0;
    int32_t nqr_DataI2 = 0;
    TQORServNetworkCommand nqr_Cmd{};
    // Counted in its context's records in flight: the heartbeat counts it off
    // once handled (TQORSVCWrkCtx::NotePosted).
    bool nqr_InFlight = false;
};

// Commands of the main queue, all handled by the service thread.
enum class TQORSVCMainQueueCmd : uint8_t {
    fsmqc_MutesChanged = 0,
    fsmqc_BlocksChanged = 1,
    fsmqc_AdminsChanged = 2,
    fsmqc_ModesChanged = 3,
    fsmqc_RightsChanged = 4,
    fsmqc_NoticesChanged = 5,
    fsmqc_OwnerChanged = 6,
    fsmqc_RereadIntFlags = 7,
    fsmqc_RereadAdmins = 8,
    fsmqc_RereadMutes = 9,
    fsmqc_RereadBlocks = 10,
    fsmqc_RereadRights = 11,
    fsmqc_RereadModes = 12,
    fsmqc_RereadNotices = 13,
    fsmqc_RereadALL = 14,
    fsmqc_FlushData = 15,
    fsmqc_MemRepRequest = 16,
    fsmqc_ServiceStart = 17,
    fsmqc_ServiceStop = 18,
    fsmqc_ServiceAbort = 19,
    fsmqc_ReopenLog = 20,
    fsmqc_IntFlagsChanged = 21,
};
inline constexpr std::size_t kMainQueueCmdCount = 22;
static_assert(static_cast<std::size_t>(TQORSVCMainQueueCmd::fsmqc_IntFlagsChanged) + 1 ==
              kMainQueueCmdCount);

// Ready-made file lines of a list snapshot.
using TQORSVCWriteArray = std::vector<std::string>;

// A main-queue record, value-initialised by its producer.
struct TQORSVCMainQueueRec {
    TQORGlobalKey fsmqr_GlobalKey = 0;  // key of fsmqr_Obj1 when it is a context
    TQORSVCWriteArray fsmqr_Data;
    std::u16string fsmqr_Str;  // a file name
    TQORSVCHandle fsmqr_Obj1;  // the command-channel context that asked
    TQORSVCMemoryReportReadyEvent fsmqr_MemRepReadyEvent{};
    TQORSVCMainQueueCmd fsmqr_Cmd{};
    // fsmqc_FlushData: how many flusher-queue entries this flush answers.
    int32_t fsmqr_Count = 0;
};

// A command context waiting for a data flush, with the key it had then.
struct TQORSVCFlusherItem {
    TQORSVCHandle Context;
    TQORGlobalKey GlobalKey = 0;
};

// Consumers of the server and main queues take at most this many records per pass.
inline constexpr std::size_t kQueueBatch = 32;

// A FIFO of owned records of one type. Only typed pushes and pulls are
// offered, so a queue can never hold anything but its own records; records it
// discards itself (Clear, KeepLast, Skip, destruction) go to Discard.
template <class TItem, int32_t DefaultBlockCapacity>
class TQORSVCRecordQueue : public TFifoThreadSafe {
  public:
    using ItemPtr = std::unique_ptr<TItem>;
    using Batch = std::array<ItemPtr, kQueueBatch>;
    static constexpr int32_t kDefaultBlockCapacity = DefaultBlockCapacity;

    explicit TQORSVCRecordQueue(int32_t aBlockCapacity = DefaultBlockCapacity)
        : TFifoThreadSafe(aBlockCapacity) {}
    ~TQORSVCRecordQueue() override { Clear(); }

    // The queue takes the record; a null record is ignored.
    void Push(ItemPtr aItem) {
        if (!aItem) return;
        PushData(aItem.get());  // may throw on a full block; the record then stays ours
        aItem.release();
    }
    // The oldest record, or null when the queue is empty.
    ItemPtr Pull() {
        void* p = nullptr;
        return PullData(p) ? ItemPtr(static_cast<TItem*>(p)) : ItemPtr();
    }
    // Moves up to N of the oldest records into aBatch[0..result); the rest of
    // aBatch is left as it was. May return fewer than are queued (the records
    // span blocks), so a consumer pulls again until it gets 0.
    template <std::size_t N>
    int32_t PullBatch(std::array<ItemPtr, N>& aBatch) {
        std::array<void*, N> raw;
        const int32_t n = PullDataArray(raw.data(), static_cast<int32_t>(N));
        for (int32_t i = 0; i < n; ++i) aBatch[i].reset(static_cast<TItem*>(raw[i]));
        return n;
    }

  protected:
    // Releases a record the queue discards.
    virtual void Discard(TItem* aItem) noexcept { delete aItem; }

  private:
    void FreeData(void* aData) noexcept final { Discard(static_cast<TItem*>(aData)); }

    // The untyped operations stay hidden.
    using TFifoThreadSafe::PeekData;
    using TFifoThreadSafe::PullData;
    using TFifoThreadSafe::PullDataArray;
    using TFifoThreadSafe::PushData;
    using TFifoThreadSafe::PushDataArray;
};

// The server queue: written by every thread, read by the heartbeat thread.
class TQORSVCServQueue final : public TQORSVCRecordQueue<TQORSVCNetQueueRecord, 64> {
  public:
    using TQORSVCRecordQueue::TQORSVCRecordQueue;
    ~TQORSVCServQueue() override { Clear(); }

  protected:
    // Frees the record with its payloads; a connection nobody took has its
    // socket closed, so a teardown leaks no descriptor.
    void Discard(TQORSVCNetQueueRecord* aRec) noexcept override;
};

// The main queue: read by the service thread. The Enqueue operations only
// push; the producer wakes the service thread itself.
class TQORSVCMainQueue final : public TQORSVCRecordQueue<TQORSVCMainQueueRec, 32> {
  public:
    using TQORSVCRecordQueue::TQORSVCRecordQueue;

    void EnqueueCmd(TQORSVCMainQueueCmd aCmd);
    void EnqueueData(TQORSVCMainQueueCmd aCmd, TQORSVCWriteArray aData);
    void EnqueueString(TQORSVCMainQueueCmd aCmd, std::u16string aStr);
    void EnqueueWrkCtx(TQORSVCMainQueueCmd aCmd, TQORSVCCtxRef aContext);
    void EnqueueStringWrkCtx(TQORSVCMainQueueCmd aCmd, std::u16string aStr, TQORSVCCtxRef aContext);
};

// Command contexts waiting for a data flush: filled by the heartbeat thread,
// emptied by the service thread. Items hold only the context's handle and key;
// discarding one never touches the context.
class TQORSVCFlusherQueue final : public TQORSVCRecordQueue<TQORSVCFlusherItem, 32> {
  public:
    using TQORSVCRecordQueue::TQORSVCRecordQueue;

    void EnqueueCommandContext(TQORSVCCtxRef aCommandContext);
};

// One work item: the code and its argument, an identity handle the worker
// checks against its own lists.
struct TQORSVCWorkItem {
    TQORSVCWorkCode Code{};
    TQORSVCHandle Arg;
};

// A worker's work queue: written by the heartbeat thread, read by the worker.
// Discarding an item frees only the item; the object it names is not touched.
class TQORSVCWorkerQueue final : public TQORSVCRecordQueue<TQORSVCWorkItem, 32> {
  public:
    using TQORSVCRecordQueue::TQORSVCRecordQueue;
};

}  // namespace gax
