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

#include <poll.h>

#include "foundation/gax_datetime.h"
#include "foundation/gax_types.h"
#include "platform/plat_event.h"

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

// Event flags reported to handlers; several may be set at once.
inline constexpr uint8_t we_Read = 1;  // data to read, the peer closed, or a socket error
inline constexpr uint8_t we_Write = 2;
inline constexpr uint8_t we_Accept = 4;
inline constexpr uint8_t we_Connect = 8;  // the connect finished, well or badly

// One registration; the waiter allocates and owns it, the registering object
// keeps the pointer until it unregisters.
struct TWaiter2Resource {
    void* wtr_Context = nullptr;
    int wtr_Socket = -1;
    int32_t wtr_InternalIndex = 0;  // current slot 1..Count; moves when earlier ones are removed
    int32_t wtr_Tag = 0;
    uint8_t wtr_BadMarker = 0;  // non-zero: the owner wants no more events for it
    uint8_t wtr_LastWaiterFlags = 0;
    uint8_t wtr_OccuredEventsFlags = 0;
    // Poll events selected by SetWaitMode; 0 until the first call.
    short wtr_PollEvents = 0;
    // The descriptor was found closed while registered; it reported that once
    // and is no longer polled.
    bool wtr_Invalid = false;
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
    void CheckNotHandling() const;
    // Callers check the handling flag first.
    void RemoveResourceAt(int aIndex);

    int f_MaxCapacity = 0;
    int f_Capacity = 0;
    int f_Count = 0;
    int f_LastWaitErrorCode = 0;
    std::vector<std::unique_ptr<TWaiter2Resource>> f_IntObjs;  // slot 0: the interrupt
    bool f_Handling = false;
    // Counts registrations and removals: a poll result is only valid for the
    // table it was taken from, since slots move when one is removed.
    uint32_t f_TableVersion = 0;
};

// The waiter of the system: poll() over the interrupt and up to 63 sockets.
//
// One poll serves several waits: each wait reports one socket, and the sockets
// one poll found ready are handed out in slot order by the following waits
// without polling again, as long as each is still registered, unmarked and
// selected by its current wait flags. A wait polls again only when none is
// left or a registration was added or removed. The interrupt is still
// reported first: SetInterrupt raises an atomic flag before it writes the
// event, and every wait looks at that flag before it hands out a socket.
class TWaiter2Socket final : public TWaiter2Base {
  public:
    static constexpr int kMaxCapacity = 63;

    explicit TWaiter2Socket(int aWishedCapacity);
    ~TWaiter2Socket() override;

    void SetWaitMode(PWaiter2Resource aResource, uint8_t aWaiterFlags) override;
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

    // Poll events watched for wait flags (already checked).
    static short PollEventsFor(uint8_t aWaiterFlags);
    // Event flags reported for what poll returned under the given wait flags.
    static uint8_t EventFlagsFor(uint8_t aWaiterFlags, short aRevents);

  protected:
    int ResourceRecordSize() const override { return sizeof(TWaiter2Resource); }

  private:
    // Hands out the next ready socket of the last poll; false when none is left.
    bool ServeCached(TWaiter2WaitParams& aParams, TWaiter2HandlerParams& aHp);
    // Reports the interrupt when it is pending (clearing the latch).
    bool TakeInterrupt();

    plat::InterruptEvent f_ExtEvent;
    std::atomic<bool> f_InterruptPending{false};
    std::vector<pollfd> f_Poll;  // mirrors the table; sized once
    // The last poll's results: valid while f_TableVersion equals f_ReadyVersion;
    // f_ReadyNext is the first slot not yet handed out.
    bool f_ReadyValid = false;
    uint32_t f_ReadyVersion = 0;
    int f_ReadyNext = 1;
};

}  // namespace gax
