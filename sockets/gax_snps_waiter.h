// The socket waiter: one thread blocks here until one of its registered sockets
// has an event, another thread interrupts it, or a time-out passes. A waiter
// belongs to the thread that creates it (registration, wait modes, waits);
// SetInterrupt is the only call other threads may make.
//
// The no-spin rule: readiness is level-triggered here, so a socket reports
// "readable" on every wait while unread data waits. An owner must ask for read
// only while it will read (its collector runs an operation) and for write only
// while its output buffer waits for room; otherwise the lowest slot wins every
// wait and starves the later ones. TCollectorSocket::WaitFlagsFor computes the
// flags from that rule.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/gax_datetime.h"
#include "foundation/gax_types.h"
#include "platform/plat_event.h"
#include "platform/plat_poll.h"

namespace gax {

using TWaiterTick32 = TGaxTick32;  // milliseconds, 0xFFFFFFFF = no limit

inline constexpr TWaiterTick32 WAITER_INFINITE = 0xFFFFFFFFu;
// Longest finite wait: 23 h 59 min 50 s.
inline constexpr TWaiterTick32 WAITER_MAX_TIMEOUT = 86390000u;

// Wait flags (the low four bits count; every set also watches the peer's close).
inline constexpr uint8_t wf_CloseOnly = 0;
inline constexpr uint8_t wf_Read = 1;
inline constexpr uint8_t wf_Write = 2;
inline constexpr uint8_t wf_ReadWrite = 3;
inline constexpr uint8_t wf_Accept = 4;
inline constexpr uint8_t wf_Connect = 8;
// Beside the low four bits: the socket is batched. Its readiness is not waited
// for; it is collected with every other batched socket's at most once per
// batch grid point (see TWaiter2Socket), for connections that have nothing
// urgent to say (keep-alives).
inline constexpr uint8_t wf_Batched = 0x10;

// Event flags reported to handlers; several may be set at once.
inline constexpr uint8_t we_Read = 1;  // data to read, the peer closed, or a socket error
inline constexpr uint8_t we_Write = 2;
inline constexpr uint8_t we_Accept = 4;
inline constexpr uint8_t we_Connect = 8;  // the connect finished, well or badly

// One registration; the waiter allocates and owns it, the registering object
// keeps the pointer until it unregisters. Like the waiter, it belongs to the
// waiter's thread.
//
// A descriptor has one registration per waiter at a time. Registering a number
// another record still holds means that record's socket was closed (the kernel
// hands a number out again only after its close): the old record reports once,
// as a closed descriptor does, and its removal leaves the new one alone.
struct TWaiter2Resource {
    void* wtr_Context = nullptr;
    int wtr_Socket = -1;
    int32_t wtr_InternalIndex = 0;  // current slot 1..Count; moves when earlier ones are removed
    int32_t wtr_Tag = 0;
    uint8_t wtr_BadMarker = 0;  // non-zero: the owner wants no more events for it
    uint8_t wtr_LastWaiterFlags = 0;
    uint8_t wtr_OccuredEventsFlags = 0;
    // Readiness (plat::kPoll* bits) selected by SetWaitMode; 0 until the first call.
    uint32_t wtr_PollEvents = 0;
    // The descriptor was found closed while registered; it reports that once
    // and is no longer watched.
    bool wtr_Invalid = false;

    // The waiter's own bookkeeping of the kernel set; owners leave it alone.
    bool wtr_InKernel = false;           // the kernel set has an entry for it
    bool wtr_KernelBatched = false;      // that entry is in the batch set, not the main one
    bool wtr_InvalidUnreported = false;  // wtr_Invalid, and no wait has said so yet
    uint32_t wtr_KernelEvents = 0;       // what that entry watches
    uint64_t wtr_Cookie = 0;             // the value its kernel events carry
};
using PWaiter2Resource = TWaiter2Resource*;

struct TWaiter2HandlerParams {
    PWaiter2Resource w2hp_Resource = nullptr;
    void* w2hp_WaiterContext = nullptr;
    int32_t w2hp_PassNumber = 0;  // counts down from PassTotal - 1 to 0
    int32_t w2hp_PassTotal = 0;
    uint8_t w2hp_EventFlags = 0;
};

using TWaiter2StartHandler = void (*)(TWaiter2HandlerParams* aParams);
using TWaiter2IterHandler = void (*)(TWaiter2HandlerParams* aParams);

struct TWaiter2WaitParams {
    TWaiter2StartHandler w2wp_StartHandler = nullptr;
    TWaiter2IterHandler w2wp_IterHandler = nullptr;
    void* w2wp_WaiterContext = nullptr;
    TWaiterTick32 w2wp_TimeoutTicks = WAITER_INFINITE;
    int32_t w2wp_PassTotal = 1;
};

// The registration table and its usage checks.
class TWaiter2Base {
  public:
    TWaiter2Base(const TWaiter2Base&) = delete;
    TWaiter2Base& operator=(const TWaiter2Base&) = delete;
    // Records still registered are freed with the waiter.
    virtual ~TWaiter2Base();

    PWaiter2Resource RegisterResource(void* aContext, int aSocket);
    void UnregisterResource(PWaiter2Resource aResource);
    void UnregisterResourceByIdx(int aExternalIndex);  // external index i is slot i + 1
    // Record of slot aExternalIdx + 1, or null outside 0..Count-1.
    PWaiter2Resource GetResource(int aExternalIdx) const;
    void VerifyResource(PWaiter2Resource aResource) const;
    static void VerifyWaitFlags(uint8_t aFlags);

    virtual void SetWaitMode(PWaiter2Resource aResource, uint8_t aWaiterFlags) = 0;
    virtual TWaiterResult WaitForHandler(TWaiter2WaitParams& aParams) = 0;
    virtual void SetInterrupt() = 0;
    virtual void Reset() = 0;
    // The owner is about to close the record's socket: whatever the waiter
    // holds in the kernel under its number goes now, while the number is
    // still the socket's (after the close it may name another thread's
    // descriptor), and the record is watched no more. It stays registered.
    virtual void SocketClosing(PWaiter2Resource /*aResource*/) {}
    virtual int GetMemoryUsage() const;

    // The wait of a thread that watches only its interrupt.
    TWaiterResult WaitFor(TWaiterTick32 aTimeout);

    int Capacity() const { return f_Capacity; }
    int Count() const { return f_Count; }
    // Registrations made and not removed: each holds one slot.
    int ResourceCount() const { return f_Count; }
    // Records allocated and not yet freed, the interrupt's included.
    int MemCount() const;
    int LastWaitErrorCode() const { return f_LastWaitErrorCode; }
    bool Handling() const { return f_Handling; }

  protected:
    // aMaxCapacity 0 means 1,000,000.
    TWaiter2Base(int aWishedCapacity, int aMaxCapacity);
    virtual int ResourceRecordSize() const = 0;
    // Called once a record is in its slot, and before a record leaves the table.
    virtual void ResourceAdded(PWaiter2Resource /*aResource*/) {}
    virtual void ResourceRemoving(PWaiter2Resource /*aResource*/) {}
    void CheckNotHandling() const;
    // Callers check the handling flag first.
    void RemoveResourceAt(int aIndex);

    int f_MaxCapacity = 0;
    int f_Capacity = 0;
    int f_Count = 0;
    int f_LastWaitErrorCode = 0;
    std::vector<std::unique_ptr<TWaiter2Resource>> f_IntObjs;  // slot 0: the interrupt
    bool f_Handling = false;
    // Counts registrations and removals: a wait's result is only valid for the
    // table it was taken from, since slots move when one is removed.
    uint32_t f_TableVersion = 0;
};

// The waiter of the system: a kernel readiness set (plat::Poller) over the
// interrupt and up to 63 sockets.
//
// What the kernel watches follows the table lazily: SetWaitMode only notes the
// flags, and the wait that next asks the kernel first brings each entry in line
// (added, changed, or removed while its record is marked, closed or has no
// flags yet), so flags that change back and forth between two waits cost no
// call, and a record its owner marks or unmarks directly is still obeyed.
// Every kernel event carries a key and a serial; a key names one table entry
// without a search, and a serial that no longer matches (a record since
// removed, whose socket lives on elsewhere) is dropped unread.
//
// One kernel wait serves several waits: each wait reports one socket, and the
// sockets one kernel wait found ready are handed out in slot order by the
// following waits without asking again, as long as each is still registered,
// unmarked and selected by its current wait flags. A wait asks again only when
// none is left or a registration was added or removed. The interrupt is still
// reported first: SetInterrupt raises an atomic flag before it writes the
// event, and every wait looks at that flag before it hands out a socket.
//
// A descriptor closed while registered is reported once (as a read) when the
// waiter can tell: a new registration of its number, or a kernel call on it
// failing. The kernel drops a closed socket silently, so one closed while the
// kernel watches it, with neither of those following, simply goes quiet; its
// owner, which closed it, unregisters it.
//
// Batched sockets (wf_Batched) sit in a second kernel set that no wait blocks
// on. That set's own descriptor sits in the main set one-shot: it wakes a wait
// once when a batched socket becomes ready and then stays quiet. The batch
// (every ready batched socket, taken from the kernel in one call and handed
// out like the main set's) is taken at most once per grid point
// (kBatchGridMs); after a batch that found something the waiter takes the
// next one at the next grid point without arming, and only a batch that finds
// nothing arms the one-shot again. So a thread whose connections only send
// keep-alives wakes at most about once per grid point however many there are,
// one with none never wakes for them, and a batched socket is served at most
// one grid step late. Errors, hang-ups and the peer's close of a batched
// socket are reported at its batch too.
class TWaiter2Socket final : public TWaiter2Base {
  public:
    static constexpr int kMaxCapacity = 63;
    static constexpr TWaiterTick32 kBatchGridMs = 100;

    explicit TWaiter2Socket(int aWishedCapacity);
    ~TWaiter2Socket() override;

    void SetWaitMode(PWaiter2Resource aResource, uint8_t aWaiterFlags) override;
    void SocketClosing(PWaiter2Resource aResource) override;
    TWaiterResult WaitForHandler(TWaiter2WaitParams& aParams) override;
    // Any thread.
    void SetInterrupt() override {
        f_InterruptPending.store(true, std::memory_order_release);
        f_ExtEvent.Set();
    }
    void Reset() override {
        f_InterruptPending.store(false, std::memory_order_release);
        f_ExtEvent.Reset();
    }

    // Kernel waits that were allowed to block: how often the thread slept and
    // woke. Any thread may read it.
    uint64_t Sleeps() const { return f_Sleeps.load(std::memory_order_relaxed); }
    // Batches taken, and batched registrations now in the kernel's batch set
    // (the owner's thread).
    uint64_t Batches() const { return f_Batches; }
    int BatchedCount() const { return f_BatchCount; }

    // Readiness watched for wait flags (already checked).
    static uint32_t PollEventsFor(uint8_t aWaiterFlags);
    // Event flags reported for what the kernel returned under the given wait flags.
    static uint8_t EventFlagsFor(uint8_t aWaiterFlags, uint32_t aRevents);

  protected:
    int ResourceRecordSize() const override { return sizeof(TWaiter2Resource); }
    void ResourceAdded(PWaiter2Resource aResource) override;
    void ResourceRemoving(PWaiter2Resource aResource) override;

  private:
    // Key 0 is the interrupt's; a record's key is its index in f_ByKey.
    static constexpr uint64_t kKeyBits = 8;
    static_assert(kMaxCapacity < (1 << kKeyBits));
    // The batch set's entry in the main set: key 0 with a serial no record has.
    static constexpr uint64_t kBatchSetCookie = 1u << kKeyBits;

    // Hands out the next ready socket of the last kernel wait; false when none is left.
    bool ServeCached(TWaiter2WaitParams& aParams, TWaiter2HandlerParams& aHp);
    // Reports the interrupt when it is pending (clearing the latch).
    bool TakeInterrupt();
    // Brings the kernel's entry for the record in line with what it wants now.
    void SyncKernel(TWaiter2Resource& aRes);
    // Takes the record's entry out of the kernel set, if it has one.
    void LeaveKernel(TWaiter2Resource& aRes);
    plat::Poller& SetOf(bool aBatched) { return aBatched ? f_BatchPoller : f_Poller; }
    // Whether a batch is to be taken at aNow.
    bool BatchDue(TWaiterTick32 aNow) const;
    // Milliseconds until the next batch, or -1 when none is scheduled.
    int64_t MsToBatch(TWaiterTick32 aNow) const;
    // Merges the batch set's ready sockets into f_Ready; arms the one-shot
    // when it found none. True when it found some.
    bool TakeBatch(TWaiterTick32 aNow);
    void ArmBatch();
    void MarkInvalid(TWaiter2Resource& aRes);
    // The record an event's value names, or null when it names none any more.
    PWaiter2Resource RecordOf(uint64_t aCookie) const;

    plat::InterruptEvent f_ExtEvent;
    std::atomic<bool> f_InterruptPending{false};
    plat::Poller f_Poller;
    plat::Poller f_BatchPoller;
    int f_BatchCount = 0;        // entries in the batch set
    bool f_BatchInMain = false;  // the batch set's descriptor has an entry in the main set
    bool f_BatchArmed = false;   // that entry is armed: no batch is scheduled
    TWaiterTick32 f_BatchAt = 0;  // unarmed: the first tick the next batch may be taken
    uint64_t f_Batches = 0;
    std::atomic<uint64_t> f_Sleeps{0};
    std::vector<PWaiter2Resource> f_ByKey;  // borrowed from f_IntObjs; null: free key
    std::vector<uint8_t> f_FreeKeys;
    uint64_t f_NextSerial = 1;
    // Closed descriptors found and not yet reported.
    int f_InvalidUnreported = 0;
    // Readiness per slot found by the last kernel wait: valid while
    // f_TableVersion equals f_ReadyVersion; f_ReadyNext is the first slot not
    // yet handed out.
    std::vector<uint32_t> f_Ready;
    bool f_ReadyValid = false;
    uint32_t f_ReadyVersion = 0;
    int f_ReadyNext = 1;
};

}  // namespace gax
