#include "sockets/gax_snps_waiter.h"

#include <cstdio>
#include <string>

#include "platform/plat_socket.h"
#include "sockets/gax_snps_sockets.h"

namespace gax {

namespace {

const char kRegisterNotAllowed[] =
    "Register or unregister operations are not allowed during event handling";

// Poll events of a wait-flag combination (its low four bits), 0 for an invalid
// one. Every set but accept also watches the peer's close.
short PollEventsOfFlags(uint8_t aFlags) {
    switch (aFlags & 0x0F) {
        case wf_CloseOnly:
            return POLLRDHUP;
        case wf_Read:
            return POLLIN | POLLRDHUP;
        case wf_Write:
            return POLLOUT | POLLRDHUP;
        case wf_ReadWrite:
            return POLLIN | POLLOUT | POLLRDHUP;
        case wf_Accept:
            return POLLIN;
        case wf_Connect:
            return POLLOUT | POLLRDHUP;
        default:
            return 0;
    }
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
    return result;
}

void TWaiter2Base::RemoveResourceAt(int aIndex) {
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

TWaiter2Socket::TWaiter2Socket(int aWishedCapacity) : TWaiter2Base(aWishedCapacity, kMaxCapacity) {
    if (!f_ExtEvent.Valid()) {
        throw EWaiterException(
            SocketSysErrorText(plat::SockErrorFromErrno(f_ExtEvent.CreateError())));
    }
    f_IntObjs[0] = std::make_unique<TWaiter2Resource>();
    f_IntObjs[0]->wtr_Socket = f_ExtEvent.Fd();
    f_Poll.resize(static_cast<size_t>(f_Capacity) + 1);
}

TWaiter2Socket::~TWaiter2Socket() = default;

short TWaiter2Socket::PollEventsFor(uint8_t aWaiterFlags) {
    return PollEventsOfFlags(aWaiterFlags);
}

uint8_t TWaiter2Socket::EventFlagsFor(uint8_t aWaiterFlags, short aRevents) {
    const uint8_t mode = aWaiterFlags & 0x0F;
    uint8_t flags = 0;
    if (mode == wf_Accept) {
        if (aRevents & POLLIN) flags |= we_Accept;
        if (aRevents & (POLLERR | POLLHUP | POLLNVAL)) flags |= we_Read;
        return flags;
    }
    if (aRevents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) flags |= we_Read;
    if ((mode & wf_Write) && mode != wf_Connect && (aRevents & POLLOUT)) flags |= we_Write;
    if (mode == wf_Connect && (aRevents & (POLLOUT | POLLERR | POLLHUP))) flags |= we_Connect;
    return flags;
}

void TWaiter2Socket::SetWaitMode(PWaiter2Resource aResource, uint8_t aWaiterFlags) {
    VerifyResource(aResource);
    // A fresh registration has nothing selected even though its remembered
    // flags read 0, so a first call with 0 must still select the close watch.
    if (aWaiterFlags == aResource->wtr_LastWaiterFlags && aResource->wtr_PollEvents != 0) return;
    VerifyWaitFlags(aWaiterFlags);
    aResource->wtr_LastWaiterFlags = aWaiterFlags;
    aResource->wtr_PollEvents = PollEventsFor(aWaiterFlags);
}

bool TWaiter2Socket::TakeInterrupt() {
    if (!f_InterruptPending.exchange(false, std::memory_order_acq_rel)) return false;
    // A Set racing with this reset leaves the event readable with the flag
    // clear: the next poll reports it again, so nothing is lost.
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
        const short revents = f_Poll[static_cast<size_t>(i)].revents;
        if (revents == 0) continue;
        PWaiter2Resource r = f_IntObjs[static_cast<size_t>(i)].get();
        if (r->wtr_BadMarker != 0 || r->wtr_PollEvents == 0) continue;
        // Only what the current flags select counts; errors and hang-ups always do.
        const short selected =
            static_cast<short>(revents & (r->wtr_PollEvents | POLLERR | POLLHUP | POLLNVAL));
        if (selected == 0) continue;
        const uint8_t events = EventFlagsFor(r->wtr_LastWaiterFlags, selected);
        if (events == 0) continue;
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

    f_Poll[0] = pollfd{f_ExtEvent.Fd(), POLLIN, 0};
    for (int i = 1; i <= f_Count; ++i) {
        const TWaiter2Resource& r = *f_IntObjs[static_cast<size_t>(i)];
        // A marked or dead registration stays in its slot but is not polled:
        // level-triggered readiness nobody consumes would otherwise win every wait.
        const bool watched = r.wtr_PollEvents != 0 && r.wtr_BadMarker == 0 && !r.wtr_Invalid;
        f_Poll[static_cast<size_t>(i)] = pollfd{watched ? r.wtr_Socket : -1, r.wtr_PollEvents, 0};
    }

    int err = 0;
    const int64_t waitMs = timeout == WAITER_INFINITE ? -1 : static_cast<int64_t>(timeout);
    const int rc = plat::PollWait(f_Poll.data(), static_cast<size_t>(f_Count) + 1, waitMs, &err);
    if (rc < 0) {
        f_LastWaitErrorCode = plat::SockErrorFromErrno(err);
        return wr_Error;
    }
    if (rc == 0) return wr_Timeout;
    for (int i = 1; i <= f_Count; ++i) {
        const short revents = f_Poll[static_cast<size_t>(i)].revents;
        // A closed descriptor is reported once and then no longer polled.
        if (revents & POLLNVAL) f_IntObjs[static_cast<size_t>(i)]->wtr_Invalid = true;
    }
    f_ReadyValid = true;
    f_ReadyVersion = f_TableVersion;
    f_ReadyNext = 1;
    if (f_Poll[0].revents != 0) {
        f_InterruptPending.store(false, std::memory_order_release);
        f_ExtEvent.Reset();
        return wr_Interrupt;
    }
    if (ServeCached(aParams, hp)) return wr_Descriptor;
    // Everything the poll reported was filtered out (marked by a handler of
    // another socket meanwhile is impossible here): treat as a spurious wake.
    f_LastWaitErrorCode = plat::kSockErrInvalidArg;
    return wr_Error;
}

}  // namespace gax
