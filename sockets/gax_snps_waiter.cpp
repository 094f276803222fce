#include "sockets/gax_snps_waiter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/plat_socket.h"
#include "sockets/gax_snps_sockets.h"

namespace gax {

namespace {

const char kRegisterNotAllowed[] =
    "Register or unregister operations are not allowed during event handling";

// Readiness of a wait-flag combination (its low four bits), 0 for an invalid
// one. Every set but accept also watches the peer's close.
uint32_t PollEventsOfFlags(uint8_t aFlags) {
    switch (aFlags & 0x0F) {
        case wf_CloseOnly:
            return plat::kPollPeerClosed;
        case wf_Read:
            return plat::kPollIn | plat::kPollPeerClosed;
        case wf_Write:
            return plat::kPollOut | plat::kPollPeerClosed;
        case wf_ReadWrite:
            return plat::kPollIn | plat::kPollOut | plat::kPollPeerClosed;
        case wf_Accept:
            return plat::kPollIn;
        case wf_Connect:
            return plat::kPollOut | plat::kPollPeerClosed;
        default:
            return 0;
    }
}

// The waiter's own readiness bit beside the platform's: the descriptor was
// found closed while registered.
constexpr uint32_t kClosedBit = 1u << 31;
// What is reported whatever the flags select.
constexpr uint32_t kAlwaysReported = plat::kPollError | plat::kPollHangUp | kClosedBit;

// A closed descriptor is owed one report, unless its owner no longer listens
// (marked) or never asked for anything.
bool ClosedReportDue(const TWaiter2Resource& aRes) {
    return aRes.wtr_InvalidUnreported && aRes.wtr_BadMarker == 0 && aRes.wtr_PollEvents != 0;
}

// Clears the handling flag however the wait ends, a raising handler included.
class HandlingScope {
  public:
    explicit HandlingScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~HandlingScope() { flag_ = false; }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

  private:
    bool& flag_;
};

}  // namespace

// ---- TWaiter2Base ----

TWaiter2Base::TWaiter2Base(int aWishedCapacity, int aMaxCapacity) {
    f_MaxCapacity = aMaxCapacity == 0 ? 1000000 : aMaxCapacity;
    f_Capacity = aWishedCapacity < 0 ? 0 : aWishedCapacity;
    if (f_Capacity > f_MaxCapacity) f_Capacity = f_MaxCapacity;
    f_IntObjs.resize(static_cast<size_t>(f_Capacity) + 1);
}

TWaiter2Base::~TWaiter2Base() = default;

void TWaiter2Base::CheckNotHandling() const {
    if (f_Handling) throw EWaiterRegisterNotAllowed(kRegisterNotAllowed);
}

PWaiter2Resource TWaiter2Base::RegisterResource(void* aContext, int aSocket) {
    CheckNotHandling();
    const int slot = f_Count + 1;
    if (slot > f_Capacity) throw EWaiterNoFreeResources("No free wait resources");
    auto rec = std::make_unique<TWaiter2Resource>();
    rec->wtr_Context = aContext;
    rec->wtr_Socket = aSocket;
    rec->wtr_InternalIndex = slot;
    PWaiter2Resource result = rec.get();
    f_IntObjs[static_cast<size_t>(slot)] = std::move(rec);
    f_Count = slot;
    ++f_TableVersion;
    ResourceAdded(result);
    return result;
}

void TWaiter2Base::RemoveResourceAt(int aIndex) {
    ResourceRemoving(f_IntObjs[static_cast<size_t>(aIndex)].get());
    f_IntObjs[static_cast<size_t>(aIndex)].reset();
    for (int i = aIndex + 1; i <= f_Count; ++i) {
        auto& moved = f_IntObjs[static_cast<size_t>(i - 1)];
        moved = std::move(f_IntObjs[static_cast<size_t>(i)]);
        moved->wtr_InternalIndex = i - 1;
    }
    f_IntObjs[static_cast<size_t>(f_Count)].reset();
    --f_Count;
    ++f_TableVersion;
}

void TWaiter2Base::UnregisterResource(PWaiter2Resource aResource) {
    CheckNotHandling();
    VerifyResource(aResource);
    RemoveResourceAt(aResource->wtr_InternalIndex);
}

void TWaiter2Base::UnregisterResourceByIdx(int aExternalIndex) {
    CheckNotHandling();
    if (aExternalIndex < 0 || aExternalIndex >= f_Count)
        throw EWaiterIndexOutOfRange("Index out of range");
    RemoveResourceAt(aExternalIndex + 1);
}

PWaiter2Resource TWaiter2Base::GetResource(int aExternalIdx) const {
    if (aExternalIdx < 0 || aExternalIdx >= f_Count) return nullptr;
    return f_IntObjs[static_cast<size_t>(aExternalIdx) + 1].get();
}

void TWaiter2Base::VerifyResource(PWaiter2Resource aResource) const {
    if (aResource == nullptr) throw EWaiterResourceIsNULL("Resource is null");
    const int idx = aResource->wtr_InternalIndex;
    if (idx < 1 || idx > f_Count) throw EWaiterIndexOutOfRange("Index out of range");
    if (f_IntObjs[static_cast<size_t>(idx)].get() != aResource)
        throw EWaiterResourcesNotMatch("Resources not match");
}

void TWaiter2Base::VerifyWaitFlags(uint8_t aFlags) {
    if (PollEventsOfFlags(aFlags) != 0) return;
    char text[40];
    std::snprintf(text, sizeof text, "Invalid wait flags: %2.2X", aFlags);
    throw EWaiterInvalidWaitFlags(std::string_view(text));
}

int TWaiter2Base::MemCount() const {
    // Every registration owns its record; the interrupt's record, where a
    // waiter keeps one, sits in slot 0.
    return f_Count + (f_IntObjs[0] ? 1 : 0);
}

int TWaiter2Base::GetMemoryUsage() const {
    return ResourceRecordSize() * MemCount();
}

TWaiterResult TWaiter2Base::WaitFor(TWaiterTick32 aTimeout) {
    if (f_Count > 0) throw EWaiterTooManyResources("Too many resources");
    TWaiter2WaitParams params;
    params.w2wp_TimeoutTicks = aTimeout;
    params.w2wp_PassTotal = 1;
    return WaitForHandler(params);
}

// ---- TWaiter2Socket ----

TWaiter2Socket::TWaiter2Socket(int aWishedCapacity)
    : TWaiter2Base(aWishedCapacity, kMaxCapacity),
      f_Poller(f_Capacity + 2),
      f_BatchPoller(f_Capacity + 1) {
    if (!f_ExtEvent.Valid()) {
        throw EWaiterException(
            SocketSysErrorText(plat::SockErrorFromErrno(f_ExtEvent.CreateError())));
    }
    for (const plat::Poller* set : {&f_Poller, &f_BatchPoller}) {
        if (!set->Valid())
            throw EWaiterException(
                SocketSysErrorText(plat::SockErrorFromErrno(set->CreateError())));
    }
    // The interrupt is the one entry that never changes: key 0, serial 0.
    if (const int err = f_Poller.Add(f_ExtEvent.Fd(), plat::kPollIn, 0); err != 0)
        throw EWaiterException(SocketSysErrorText(plat::SockErrorFromErrno(err)));
    f_IntObjs[0] = std::make_unique<TWaiter2Resource>();
    f_IntObjs[0]->wtr_Socket = f_ExtEvent.Fd();
    f_ByKey.assign(static_cast<size_t>(f_Capacity) + 1, nullptr);
    for (int key = f_Capacity; key >= 1; --key) f_FreeKeys.push_back(static_cast<uint8_t>(key));
    f_Ready.assign(static_cast<size_t>(f_Capacity) + 1, 0);
    f_BatchAt = GetTick32();
}

TWaiter2Socket::~TWaiter2Socket() = default;

uint32_t TWaiter2Socket::PollEventsFor(uint8_t aWaiterFlags) {
    return PollEventsOfFlags(aWaiterFlags);
}

uint8_t TWaiter2Socket::EventFlagsFor(uint8_t aWaiterFlags, uint32_t aRevents) {
    using namespace plat;
    const uint8_t mode = aWaiterFlags & 0x0F;
    uint8_t flags = 0;
    if (mode == wf_Accept) {
        if (aRevents & kPollIn) flags |= we_Accept;
        if (aRevents & kAlwaysReported) flags |= we_Read;
        return flags;
    }
    if (aRevents & (kPollIn | kPollPeerClosed | kAlwaysReported)) flags |= we_Read;
    if ((mode & wf_Write) && mode != wf_Connect && (aRevents & kPollOut)) flags |= we_Write;
    if (mode == wf_Connect && (aRevents & (kPollOut | kPollError | kPollHangUp)))
        flags |= we_Connect;
    return flags;
}

void TWaiter2Socket::SetWaitMode(PWaiter2Resource aResource, uint8_t aWaiterFlags) {
    VerifyResource(aResource);
    // A fresh registration has nothing selected even though its remembered
    // flags read 0, so a first call with 0 must still select the close watch.
    if (aWaiterFlags == aResource->wtr_LastWaiterFlags && aResource->wtr_PollEvents != 0) return;
    VerifyWaitFlags(aWaiterFlags);
    aResource->wtr_LastWaiterFlags = aWaiterFlags;
    // The kernel hears of it at the next wait that asks it (SyncKernel): a
    // worker switches write on and off around a full buffer several times
    // between two waits, and only the last state costs a call.
    aResource->wtr_PollEvents = PollEventsFor(aWaiterFlags);
}

void TWaiter2Socket::ResourceAdded(PWaiter2Resource aResource) {
    const uint8_t key = f_FreeKeys.back();
    f_FreeKeys.pop_back();
    f_ByKey[key] = aResource;
    aResource->wtr_Cookie = (f_NextSerial++ << kKeyBits) | key;
    if (aResource->wtr_Socket < 0) return;
    for (int i = 1; i <= f_Count; ++i) {
        TWaiter2Resource& old = *f_IntObjs[static_cast<size_t>(i)];
        if (&old == aResource || old.wtr_Socket != aResource->wtr_Socket || old.wtr_Invalid)
            continue;
        // Its socket was closed and the number handed out again. Whatever the
        // kernel still holds under the number now belongs to the new record:
        // removing it on the old one's behalf would silence the new socket.
        if (old.wtr_InKernel && old.wtr_KernelBatched) --f_BatchCount;
        old.wtr_InKernel = false;
        MarkInvalid(old);
    }
}

void TWaiter2Socket::ResourceRemoving(PWaiter2Resource aResource) {
    LeaveKernel(*aResource);
    const auto key = static_cast<uint8_t>(aResource->wtr_Cookie & ((1u << kKeyBits) - 1));
    f_ByKey[key] = nullptr;
    f_FreeKeys.push_back(key);
}

void TWaiter2Socket::SocketClosing(PWaiter2Resource aResource) {
    const int idx = aResource != nullptr ? aResource->wtr_InternalIndex : 0;
    if (idx < 1 || idx > f_Count || f_IntObjs[static_cast<size_t>(idx)].get() != aResource) return;
    LeaveKernel(*aResource);
    // Its owner knows: nothing to report, not even what the last kernel
    // wait found, and never added again.
    aResource->wtr_Invalid = true;
    aResource->wtr_InvalidUnreported = false;
    if (static_cast<size_t>(idx) < f_Ready.size()) f_Ready[static_cast<size_t>(idx)] = 0;
}

void TWaiter2Socket::LeaveKernel(TWaiter2Resource& aRes) {
    if (!aRes.wtr_InKernel) return;
    // ENOENT or EBADF: the socket was closed first, which took the entry along.
    (void)SetOf(aRes.wtr_KernelBatched).Remove(aRes.wtr_Socket);
    if (aRes.wtr_KernelBatched) --f_BatchCount;
    aRes.wtr_InKernel = false;
}

void TWaiter2Socket::MarkInvalid(TWaiter2Resource& aRes) {
    if (aRes.wtr_Invalid) return;
    aRes.wtr_Invalid = true;
    aRes.wtr_InvalidUnreported = true;
}

PWaiter2Resource TWaiter2Socket::RecordOf(uint64_t aCookie) const {
    const size_t key = static_cast<size_t>(aCookie & ((1u << kKeyBits) - 1));
    if (key == 0 || key >= f_ByKey.size()) return nullptr;
    PWaiter2Resource r = f_ByKey[key];
    if (r == nullptr || r->wtr_Cookie != aCookie || !r->wtr_InKernel) return nullptr;
    return r;
}

void TWaiter2Socket::SyncKernel(TWaiter2Resource& aRes) {
    // A marked, dead or flagless registration stays in its slot but out of the
    // kernel set: level-triggered readiness nobody consumes would otherwise win
    // every wait, and errors and hang-ups cannot be masked off, only removed.
    const bool watched = aRes.wtr_PollEvents != 0 && aRes.wtr_BadMarker == 0 && !aRes.wtr_Invalid &&
                         aRes.wtr_Socket >= 0;
    if (!watched) {
        LeaveKernel(aRes);
        return;
    }
    const bool batched = (aRes.wtr_LastWaiterFlags & wf_Batched) != 0;
    if (aRes.wtr_InKernel && aRes.wtr_KernelBatched != batched) LeaveKernel(aRes);
    if (aRes.wtr_InKernel && aRes.wtr_KernelEvents == aRes.wtr_PollEvents) return;
    plat::Poller& set = SetOf(batched);
    int err = 0;
    const bool wasIn = aRes.wtr_InKernel;
    if (wasIn) {
        // ENOENT: the socket was closed (and the number perhaps reused) since.
        err = set.Modify(aRes.wtr_Socket, aRes.wtr_PollEvents, aRes.wtr_Cookie);
    } else {
        err = set.Add(aRes.wtr_Socket, aRes.wtr_PollEvents, aRes.wtr_Cookie);
        // The same socket is in under this number already, left by an earlier
        // registration of it: take the entry over.
        if (err == EEXIST) err = set.Modify(aRes.wtr_Socket, aRes.wtr_PollEvents, aRes.wtr_Cookie);
    }
    if (err == 0) {
        aRes.wtr_InKernel = true;
        aRes.wtr_KernelBatched = batched;
        aRes.wtr_KernelEvents = aRes.wtr_PollEvents;
        if (batched && !wasIn) ++f_BatchCount;
        return;
    }
    if (wasIn && aRes.wtr_KernelBatched) --f_BatchCount;
    aRes.wtr_InKernel = false;
    // A closed number, or one that names something the kernel cannot watch.
    // Anything else (out of kernel memory) is tried again at the next wait.
    if (err == EBADF || err == ENOENT || err == EPERM || err == EINVAL) MarkInvalid(aRes);
}

bool TWaiter2Socket::BatchDue(TWaiterTick32 aNow) const {
    return f_BatchCount > 0 && !f_BatchArmed && static_cast<int32_t>(aNow - f_BatchAt) >= 0;
}

int64_t TWaiter2Socket::MsToBatch(TWaiterTick32 aNow) const {
    if (f_BatchCount == 0 || f_BatchArmed) return -1;
    return std::max<int64_t>(static_cast<int32_t>(f_BatchAt - aNow), 0);
}

void TWaiter2Socket::ArmBatch() {
    const uint32_t events = plat::kPollIn | plat::kPollOneShot;
    const int fd = f_BatchPoller.Fd();
    const int err = f_BatchInMain ? f_Poller.Modify(fd, events, kBatchSetCookie)
                                  : f_Poller.Add(fd, events, kBatchSetCookie);
    // Refused (out of kernel memory): the batches go on at the grid instead.
    if (err != 0) return;
    f_BatchInMain = true;
    f_BatchArmed = true;
}

bool TWaiter2Socket::TakeBatch(TWaiterTick32 aNow) {
    ++f_Batches;
    f_BatchAt = aNow - aNow % kBatchGridMs + kBatchGridMs;
    int err = 0;
    const int rc = f_BatchPoller.Wait(0, &err);
    bool found = false;
    for (int e = 0; e < rc; ++e) {
        const plat::PollerEvent ev = f_BatchPoller.Event(e);
        PWaiter2Resource r = RecordOf(ev.data);
        if (r == nullptr || !r->wtr_KernelBatched) continue;
        f_Ready[static_cast<size_t>(r->wtr_InternalIndex)] |= ev.events;
        found = true;
    }
    // Nothing (or only strays, or a failed call): quiet until one is ready.
    if (!found) ArmBatch();
    return found;
}

bool TWaiter2Socket::TakeInterrupt() {
    if (!f_InterruptPending.exchange(false, std::memory_order_acq_rel)) return false;
    // A Set racing with this reset leaves the event readable with the flag
    // clear: the next kernel wait reports it again, so nothing is lost.
    f_ExtEvent.Reset();
    return true;
}

bool TWaiter2Socket::ServeCached(TWaiter2WaitParams& aParams, TWaiter2HandlerParams& aHp) {
    if (!f_ReadyValid) return false;
    if (f_ReadyVersion != f_TableVersion) {
        f_ReadyValid = false;
        return false;
    }
    for (int i = f_ReadyNext; i <= f_Count; ++i) {
        const uint32_t revents = f_Ready[static_cast<size_t>(i)];
        if (revents == 0) continue;
        PWaiter2Resource r = f_IntObjs[static_cast<size_t>(i)].get();
        if (r->wtr_BadMarker != 0 || r->wtr_PollEvents == 0) continue;
        // Only what the current flags select counts; errors, hang-ups and a
        // close found by the waiter always do.
        const uint32_t selected = revents & (r->wtr_PollEvents | kAlwaysReported);
        if (selected == 0) continue;
        const uint8_t events = EventFlagsFor(r->wtr_LastWaiterFlags, selected);
        if (events == 0) continue;
        if (selected & kClosedBit) r->wtr_InvalidUnreported = false;
        f_ReadyNext = i + 1;
        if (aParams.w2wp_StartHandler) aParams.w2wp_StartHandler(&aHp);
        for (int pass = aParams.w2wp_PassTotal - 1; pass >= 0; --pass) {
            if (!aParams.w2wp_IterHandler || r->wtr_BadMarker != 0) continue;
            aHp.w2hp_EventFlags = events;
            aHp.w2hp_Resource = r;
            aHp.w2hp_PassNumber = pass;
            aParams.w2wp_IterHandler(&aHp);
        }
        return true;
    }
    f_ReadyValid = false;
    return false;
}

TWaiterResult TWaiter2Socket::WaitForHandler(TWaiter2WaitParams& aParams) {
    const TWaiterTick32 timeout = aParams.w2wp_TimeoutTicks;
    if (timeout != WAITER_INFINITE && timeout > WAITER_MAX_TIMEOUT) {
        char text[48];
        std::snprintf(text, sizeof text, "Timeout is too large: %u", timeout);
        throw EWaiterTooLargeTime(std::string_view(text));
    }
    HandlingScope handling(f_Handling);

    TWaiter2HandlerParams hp;
    hp.w2hp_WaiterContext = aParams.w2wp_WaiterContext;
    hp.w2hp_PassTotal = aParams.w2wp_PassTotal;
    hp.w2hp_EventFlags = 0;

    if (TakeInterrupt()) return wr_Interrupt;
    if (ServeCached(aParams, hp)) return wr_Descriptor;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    for (;;) {
        bool closedDue = false;
        for (int i = 1; i <= f_Count; ++i) {
            TWaiter2Resource& r = *f_IntObjs[static_cast<size_t>(i)];
            SyncKernel(r);
            closedDue = closedDue || ClosedReportDue(r);
        }

        // What is left of the caller's time (-1: no limit), and what the
        // kernel wait may take of it.
        int64_t waitMs = -1;
        if (timeout != WAITER_INFINITE) {
            const auto spent =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            waitMs = std::max<int64_t>(static_cast<int64_t>(timeout) - spent, 0);
        }
        int64_t kernelMs = waitMs;
        const TWaiterTick32 before = GetTick32();
        // A closed descriptor owes a report now, and a batch may be due: only
        // look at what else is ready.
        if (closedDue || BatchDue(before)) {
            kernelMs = 0;
        } else if (const int64_t toBatch = MsToBatch(before);
                   toBatch >= 0 && (kernelMs < 0 || toBatch < kernelMs)) {
            kernelMs = toBatch;
        }

        int err = 0;
        const int rc = f_Poller.Wait(kernelMs, &err);
        if (kernelMs != 0) f_Sleeps.store(f_Sleeps.load(std::memory_order_relaxed) + 1,
                                          std::memory_order_relaxed);
        if (rc < 0) {
            f_LastWaitErrorCode = plat::SockErrorFromErrno(err);
            return wr_Error;
        }

        std::fill(f_Ready.begin(), f_Ready.end(), 0u);
        bool interrupt = false;
        for (int e = 0; e < rc; ++e) {
            const plat::PollerEvent ev = f_Poller.Event(e);
            if (ev.data == 0) {
                interrupt = true;
                continue;
            }
            if (ev.data == kBatchSetCookie) {
                // A batched socket is ready: the one-shot has fired and the
                // batch is taken at its grid point.
                f_BatchArmed = false;
                continue;
            }
            // An entry whose record has gone (its socket kept open elsewhere
            // after the number was closed) reports what nobody asked for.
            if (PWaiter2Resource r = RecordOf(ev.data))
                f_Ready[static_cast<size_t>(r->wtr_InternalIndex)] |= ev.events;
        }
        if (const TWaiterTick32 now = GetTick32(); BatchDue(now)) TakeBatch(now);
        for (int i = 1; closedDue && i <= f_Count; ++i) {
            if (ClosedReportDue(*f_IntObjs[static_cast<size_t>(i)]))
                f_Ready[static_cast<size_t>(i)] |= kClosedBit;
        }
        f_ReadyValid = true;
        f_ReadyVersion = f_TableVersion;
        f_ReadyNext = 1;
        if (interrupt) {
            f_InterruptPending.store(false, std::memory_order_release);
            f_ExtEvent.Reset();
            return wr_Interrupt;
        }
        if (ServeCached(aParams, hp)) return wr_Descriptor;
        // The caller's time is over: it only looked, or the kernel wait took
        // all that was left. Otherwise the wait was cut short (for a batch or
        // a closed descriptor) or found only strays or the batch set's
        // signal: wait on for what is left of it.
        if (waitMs == 0 || (rc == 0 && kernelMs == waitMs)) return wr_Timeout;
    }
}

}  // namespace gax
