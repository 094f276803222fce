#include "sockets/gax_snps_waiter.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "snps_test_net.h"

using namespace gax;
using snpstest::Pair;
using snpstest::Raised;

namespace {

struct Call {
    void* context;
    int slot;
    int pass;
    int passTotal;
    uint8_t events;
};

struct Log {
    std::vector<Call> calls;
    int starts = 0;
    bool markBadOnFirst = false;
    TWaiter2Base* waiterToMutate = nullptr;
    std::string mutateError;
};

void StartHandler(TWaiter2HandlerParams* p) {
    static_cast<Log*>(p->w2hp_WaiterContext)->starts++;
}

void IterHandler(TWaiter2HandlerParams* p) {
    auto* log = static_cast<Log*>(p->w2hp_WaiterContext);
    log->calls.push_back({p->w2hp_Resource->wtr_Context, p->w2hp_Resource->wtr_InternalIndex,
                          p->w2hp_PassNumber, p->w2hp_PassTotal, p->w2hp_EventFlags});
    if (log->markBadOnFirst) p->w2hp_Resource->wtr_BadMarker = 1;
    if (log->waiterToMutate) {
        try {
            log->waiterToMutate->RegisterResource(nullptr, 0);
        } catch (const EWaiterRegisterNotAllowed& e) {
            log->mutateError = e.what();
        }
        try {
            log->waiterToMutate->UnregisterResource(p->w2hp_Resource);
        } catch (const EWaiterRegisterNotAllowed& e) {
            log->mutateError += "|";
            log->mutateError += e.what();
        }
    }
}

TWaiterResult Wait(TWaiter2Socket& w, Log& log, TWaiterTick32 timeout, int passes = 1) {
    TWaiter2WaitParams p;
    p.w2wp_StartHandler = StartHandler;
    p.w2wp_IterHandler = IterHandler;
    p.w2wp_WaiterContext = &log;
    p.w2wp_TimeoutTicks = timeout;
    p.w2wp_PassTotal = passes;
    return w.WaitForHandler(p);
}

// A waiter holding one connection, watched for read, whose peer has sent a byte.
struct OneReadable {
    TWaiter2Socket w;
    Pair p;
    PWaiter2Resource r;
    explicit OneReadable(int capacity, void* context = nullptr) : w(capacity) {
        r = w.RegisterResource(context, p.a);
        w.SetWaitMode(r, wf_Read);
        p.SendB("q");
    }
};

int Ctx(intptr_t n) {
    return static_cast<int>(n);
}
void* CtxPtr(intptr_t n) {
    return reinterpret_cast<void*>(n);
}

}  // namespace

TEST(Waiter, CapacityIsClampedAndEnforced) {
    struct Case {
        int wished, capacity;
    } cases[] = {{100, 63}, {63, 63}, {5, 5}, {0, 0}, {-5, 0}};
    for (const auto& c : cases) {
        TWaiter2Socket w(c.wished);
        EXPECT_EQ(w.Capacity(), c.capacity) << c.wished;
    }
    TWaiter2Socket w(100);
    for (int i = 0; i < 63; ++i) w.RegisterResource(nullptr, 1000 + i);
    EXPECT_EQ(w.Count(), 63);
    EXPECT_EQ(Raised<EWaiterNoFreeResources>([&] { w.RegisterResource(nullptr, 5); }),
              "No free wait resources");
    // The interrupt's record counts too.
    EXPECT_EQ(w.MemCount(), 64);
    EXPECT_EQ(w.GetMemoryUsage(), 64 * static_cast<int>(sizeof(TWaiter2Resource)));
    // Records left registered are freed with the waiter (the leak checker watches).
}

TEST(Waiter, InterruptOnlyWaiterTimesOutOrIsInterrupted) {
    TWaiter2Socket w(0);
    EXPECT_EQ(w.WaitFor(0), wr_Timeout);
    EXPECT_EQ(w.WaitFor(20), wr_Timeout);
    // Set before the wait: returns at once, and only once.
    w.SetInterrupt();
    w.SetInterrupt();
    EXPECT_EQ(w.WaitFor(10000), wr_Interrupt);
    EXPECT_EQ(w.WaitFor(30), wr_Timeout);
    // Reset clears a pending interrupt without waiting.
    w.SetInterrupt();
    w.Reset();
    EXPECT_EQ(w.WaitFor(0), wr_Timeout);

    TWaiter2Socket one(1);
    one.RegisterResource(nullptr, 3);
    EXPECT_EQ(Raised<EWaiterTooManyResources>([&] { one.WaitFor(0); }), "Too many resources");
}

TEST(Waiter, TimeoutLimits) {
    TWaiter2Socket w(0);
    // The longest wait and "no limit" are accepted; a pending interrupt ends them.
    for (TWaiterTick32 t : {WAITER_MAX_TIMEOUT, WAITER_INFINITE}) {
        w.SetInterrupt();
        EXPECT_EQ(w.WaitFor(t), wr_Interrupt) << t;
    }
    EXPECT_EQ(Raised<EWaiterTooLargeTime>([&] { w.WaitFor(86390001u); }),
              "Timeout is too large: 86390001");
    EXPECT_FALSE(w.Handling());
}

TEST(Waiter, WaitFlagsAreCheckedOnTheirLowNibble) {
    for (int f = 0; f < 16; ++f) {
        const bool valid = f <= 4 || f == 8;
        bool raised = false;
        try {
            TWaiter2Base::VerifyWaitFlags(static_cast<uint8_t>(f));
        } catch (const EWaiterInvalidWaitFlags&) {
            raised = true;
        }
        EXPECT_EQ(raised, !valid) << f;
    }
    EXPECT_EQ(TWaiter2Socket::PollEventsFor(0x11), TWaiter2Socket::PollEventsFor(1));
    EXPECT_NO_THROW(TWaiter2Base::VerifyWaitFlags(0x11));

    TWaiter2Socket w(1);
    Pair p;
    auto* r = w.RegisterResource(nullptr, p.a);
    EXPECT_EQ(Raised<EWaiterInvalidWaitFlags>([&] { w.SetWaitMode(r, 5); }),
              "Invalid wait flags: 05");
    EXPECT_EQ(Raised<EWaiterInvalidWaitFlags>([&] { w.SetWaitMode(r, 0x1E); }),
              "Invalid wait flags: 1E");
    w.UnregisterResource(r);
}

TEST(Waiter, InterruptGoesFirstThenLowestSlotOnePerWait) {
    TWaiter2Socket w(3);
    Pair pa, pb, pc;
    auto* ra = w.RegisterResource(CtxPtr(1), pa.a);
    auto* rb = w.RegisterResource(CtxPtr(2), pb.a);
    auto* rc = w.RegisterResource(CtxPtr(3), pc.a);
    for (auto* r : {ra, rb, rc}) w.SetWaitMode(r, wf_Read);
    pc.SendB("c");
    pb.SendB("b");
    ASSERT_TRUE(snpstest::WaitReadable(pb.a));
    ASSERT_TRUE(snpstest::WaitReadable(pc.a));
    w.SetInterrupt();

    Log log;
    EXPECT_EQ(Wait(w, log, 5000), wr_Interrupt);
    EXPECT_TRUE(log.calls.empty());
    EXPECT_EQ(log.starts, 0);

    // One poll serves B then C, in slot order although C's data came first.
    auto expectNext = [&](int ctx) {
        log.calls.clear();
        EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
        ASSERT_EQ(log.calls.size(), 1u);
        EXPECT_EQ(Ctx(reinterpret_cast<intptr_t>(log.calls[0].context)), ctx);
        EXPECT_EQ(log.calls[0].events, we_Read);
    };
    expectNext(2);
    expectNext(3);
    // The next poll finds both again: unread data stays ready.
    expectNext(2);
    char c;
    ASSERT_EQ(::recv(pb.a, &c, 1, 0), 1);
    expectNext(3);  // still from that poll
    expectNext(3);  // a new poll: only C is left
    EXPECT_EQ(log.starts, 5);
    for (auto* r : {ra, rb, rc}) w.UnregisterResource(r);
}

// One poll serves a whole ready set: with 63 unread sockets every one is
// handed out once, in slot order, before any is reported again; an interrupt
// set midway comes before the next socket; a socket marked or no longer
// selected meanwhile is skipped; a removal makes the next wait poll afresh.
TEST(Waiter, OnePollServesTheReadySetInSlotOrder) {
    constexpr int kN = TWaiter2Socket::kMaxCapacity;
    TWaiter2Socket w(kN);
    std::vector<std::unique_ptr<Pair>> pairs;
    std::vector<PWaiter2Resource> res;
    for (int i = 0; i < kN; ++i) {
        pairs.push_back(std::make_unique<Pair>());
        res.push_back(w.RegisterResource(CtxPtr(i + 1), pairs.back()->a));
        w.SetWaitMode(res.back(), wf_Read);
        pairs.back()->SendB("x");  // never read: level-triggered readiness stays
    }
    for (auto& p : pairs) ASSERT_TRUE(snpstest::WaitReadable(p->a));

    struct Step {
        int at;           // before the wait that would serve this context
        int target;       // the context acted on
        const char* act;  // "interrupt", "mark", "closeonly"
    };
    const Step steps[] = {{31, 31, "interrupt"}, {40, 40, "mark"}, {40, 41, "closeonly"}};
    std::vector<int> served;
    Log log;
    int next = 1;
    while (next <= kN) {
        for (const Step& s : steps) {
            if (s.at != next) continue;
            const std::string act = s.act;
            if (act == "interrupt") {
                w.SetInterrupt();
                log.calls.clear();
                EXPECT_EQ(Wait(w, log, 5000), wr_Interrupt);
                EXPECT_TRUE(log.calls.empty());
            } else if (act == "mark") {
                res[static_cast<size_t>(s.target - 1)]->wtr_BadMarker = 1;
            } else {
                w.SetWaitMode(res[static_cast<size_t>(s.target - 1)], wf_CloseOnly);
            }
        }
        log.calls.clear();
        ASSERT_EQ(Wait(w, log, 5000), wr_Descriptor);
        ASSERT_EQ(log.calls.size(), 1u);
        const int ctx = Ctx(reinterpret_cast<intptr_t>(log.calls[0].context));
        served.push_back(ctx);
        next = ctx + 1;
    }
    std::vector<int> expected;
    for (int i = 1; i <= kN; ++i)
        if (i != 40 && i != 41) expected.push_back(i);
    EXPECT_EQ(served, expected);
    EXPECT_EQ(log.starts, static_cast<int>(expected.size()));

    // The set is used up: the next wait polls and starts from the lowest slot.
    log.calls.clear();
    ASSERT_EQ(Wait(w, log, 5000), wr_Descriptor);
    EXPECT_EQ(Ctx(reinterpret_cast<intptr_t>(log.calls[0].context)), 1);
    // A removal invalidates what is left of that poll.
    w.UnregisterResource(res[0]);
    res.erase(res.begin());
    log.calls.clear();
    ASSERT_EQ(Wait(w, log, 5000), wr_Descriptor);
    EXPECT_EQ(Ctx(reinterpret_cast<intptr_t>(log.calls[0].context)), 2);
    for (auto* r : res) w.UnregisterResource(r);
}

TEST(Waiter, RemovalShiftsLaterSlotsWithTheirSockets) {
    TWaiter2Socket w(3);
    Pair pa, pb, pc;
    auto* ra = w.RegisterResource(CtxPtr(1), pa.a);
    auto* rb = w.RegisterResource(CtxPtr(2), pb.a);
    auto* rc = w.RegisterResource(CtxPtr(3), pc.a);
    for (auto* r : {ra, rb, rc}) w.SetWaitMode(r, wf_Read);
    w.UnregisterResource(ra);
    EXPECT_EQ(w.Count(), 2);
    EXPECT_EQ(w.GetResource(0), rb);
    EXPECT_EQ(w.GetResource(1), rc);
    EXPECT_EQ(w.GetResource(2), nullptr);
    EXPECT_EQ(rb->wtr_InternalIndex, 1);
    EXPECT_EQ(rc->wtr_InternalIndex, 2);

    pc.SendB("x");
    Log log;
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].context, CtxPtr(3));
    EXPECT_EQ(log.calls[0].slot, 2);

    w.UnregisterResourceByIdx(1);
    EXPECT_EQ(w.Count(), 1);
    EXPECT_EQ(Raised<EWaiterIndexOutOfRange>([&] { w.UnregisterResourceByIdx(1); }),
              "Index out of range");
    EXPECT_EQ(w.ResourceCount(), 1);
    EXPECT_EQ(w.MemCount(), 2);
    w.UnregisterResource(rb);
}

TEST(Waiter, VerifyResourceRejectsForeignRecords) {
    TWaiter2Socket w(2);
    auto* r = w.RegisterResource(nullptr, 7);
    EXPECT_EQ(Raised<EWaiterResourceIsNULL>([&] { w.VerifyResource(nullptr); }),
              "Resource is null");
    TWaiter2Resource stranger;
    stranger.wtr_InternalIndex = 1;
    EXPECT_EQ(Raised<EWaiterResourcesNotMatch>([&] { w.UnregisterResource(&stranger); }),
              "Resources not match");
    stranger.wtr_InternalIndex = 2;
    EXPECT_EQ(Raised<EWaiterIndexOutOfRange>([&] { w.SetWaitMode(&stranger, 1); }),
              "Index out of range");
    EXPECT_NO_THROW(w.VerifyResource(r));
    w.UnregisterResource(r);
}

// The close of a peer must wake its owner whatever it waits for.
TEST(Waiter, PeerCloseIsReportedAsReadUnderEveryFlagSet) {
    for (uint8_t flags : {wf_CloseOnly, wf_Read, wf_Write, wf_ReadWrite, wf_Connect}) {
        for (bool reset : {false, true}) {
            TWaiter2Socket w(1);
            Pair p;
            auto* r = w.RegisterResource(nullptr, p.a);
            w.SetWaitMode(r, flags);
            if (reset)
                p.ResetB();
            else
                p.CloseB();
            ASSERT_TRUE(snpstest::WaitPeerClosed(p.a));
            Log log;
            EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor) << int(flags);
            ASSERT_EQ(log.calls.size(), 1u);
            EXPECT_TRUE(log.calls[0].events & we_Read) << int(flags) << " reset " << reset;
            w.UnregisterResource(r);
        }
    }
}

// Readiness is level-triggered: waiting for read without reading would spin.
TEST(Waiter, CloseOnlyDoesNotWakeForPendingData) {
    TWaiter2Socket w(1);
    Pair p;
    auto* r = w.RegisterResource(nullptr, p.a);
    p.SendB("pending");
    Log log;
    // No events chosen yet: nothing but the time-out.
    EXPECT_EQ(Wait(w, log, 50), wr_Timeout);
    w.SetWaitMode(r, wf_CloseOnly);
    EXPECT_EQ(Wait(w, log, 200), wr_Timeout);
    w.SetWaitMode(r, wf_Read);
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].events, we_Read);
    w.SetWaitMode(r, wf_CloseOnly);
    p.CloseB();
    log.calls.clear();
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].events, we_Read);
    w.UnregisterResource(r);
}

TEST(Waiter, WriteAcceptAndConnectEvents) {
    TWaiter2Socket w(3);
    Log log;
    {
        Pair p;
        auto* r = w.RegisterResource(nullptr, p.a);
        w.SetWaitMode(r, wf_Write);
        EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
        EXPECT_EQ(log.calls.back().events, we_Write);
        p.SendB("z");
        ASSERT_TRUE(snpstest::WaitReadable(p.a));
        w.SetWaitMode(r, wf_ReadWrite);
        EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
        EXPECT_EQ(log.calls.back().events, we_Read | we_Write);
        w.UnregisterResource(r);
    }
    snpstest::RawListener l;
    auto* rl = w.RegisterResource(nullptr, l.fd);
    w.SetWaitMode(rl, wf_Accept);
    EXPECT_EQ(Wait(w, log, 30), wr_Timeout);

    int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    auto* rc = w.RegisterResource(nullptr, c);
    w.SetWaitMode(rc, wf_Connect);
    ::connect(c, reinterpret_cast<sockaddr*>(&l.addr), sizeof l.addr);
    // Queued at the listener means done at the connecting end too.
    ASSERT_TRUE(snpstest::WaitReadable(l.fd));
    log.calls.clear();
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    EXPECT_EQ(log.calls.back().events, we_Accept);
    int accepted = ::accept(l.fd, nullptr, nullptr);
    EXPECT_GE(accepted, 0);
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    EXPECT_EQ(log.calls.back().events, we_Connect);
    w.UnregisterResource(rc);
    ::close(c);
    ::close(accepted);

    // A refused connect also finishes.
    sockaddr_in gone = l.addr;
    w.UnregisterResource(rl);
    ::close(l.fd);
    l.fd = -1;
    c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    rc = w.RegisterResource(nullptr, c);
    w.SetWaitMode(rc, wf_Connect);
    ::connect(c, reinterpret_cast<sockaddr*>(&gone), sizeof gone);
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    EXPECT_TRUE(log.calls.back().events & we_Connect);
    w.UnregisterResource(rc);
    ::close(c);
}

TEST(Waiter, PassesCountDownAndStopAtTheBadMarker) {
    OneReadable one(1, CtxPtr(9));
    auto& w = one.w;
    auto* r = one.r;
    Log log;
    EXPECT_EQ(Wait(w, log, 5000, 2), wr_Descriptor);
    ASSERT_EQ(log.calls.size(), 2u);
    EXPECT_EQ(log.calls[0].pass, 1);
    EXPECT_EQ(log.calls[1].pass, 0);
    EXPECT_EQ(log.calls[0].passTotal, 2);

    log.calls.clear();
    log.markBadOnFirst = true;
    EXPECT_EQ(Wait(w, log, 5000, 2), wr_Descriptor);
    EXPECT_EQ(log.calls.size(), 1u);
    // A marked registration is no longer polled, so its unread data cannot spin.
    EXPECT_EQ(Wait(w, log, 50, 2), wr_Timeout);
    w.UnregisterResource(r);
}

TEST(Waiter, RegistryIsFrozenWhileHandling) {
    OneReadable one(2);
    auto& w = one.w;
    auto* r = one.r;
    Log log;
    log.waiterToMutate = &w;
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    const std::string msg =
        "Register or unregister operations are not allowed during event handling";
    EXPECT_EQ(log.mutateError, msg + "|" + msg);
    EXPECT_FALSE(w.Handling());
    EXPECT_EQ(w.Count(), 1);
    w.UnregisterResource(r);
}

TEST(Waiter, HandlingEndsWhenAHandlerRaises) {
    OneReadable one(1);
    auto& w = one.w;
    auto* r = one.r;
    TWaiter2WaitParams params;
    params.w2wp_IterHandler = [](TWaiter2HandlerParams*) { throw Exception("boom"); };
    params.w2wp_TimeoutTicks = 5000;
    EXPECT_THROW(w.WaitForHandler(params), Exception);
    EXPECT_FALSE(w.Handling());
    EXPECT_NO_THROW(w.UnregisterResource(r));
}

// A descriptor closed while still registered reports once and then stays quiet.
TEST(Waiter, ClosedDescriptorReportsOnceNotForever) {
    TWaiter2Socket w(2);
    Pair p, q;
    auto* r = w.RegisterResource(CtxPtr(1), p.a);
    auto* r2 = w.RegisterResource(CtxPtr(2), q.a);
    w.SetWaitMode(r, wf_CloseOnly);
    w.SetWaitMode(r2, wf_Read);
    p.CloseA();
    Log log;
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].context, CtxPtr(1));
    EXPECT_EQ(log.calls[0].events, we_Read);
    // The later slot is not starved by the dead one.
    q.SendB("x");
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    EXPECT_EQ(log.calls.back().context, CtxPtr(2));
    w.UnregisterResource(r);
    w.UnregisterResource(r2);
}

namespace {

// Moves the socket of `from` onto descriptor number `number` (which must be
// free): the kernel's usual reuse of the lowest free number, made certain.
void MoveOnto(int& from, int number) {
    ASSERT_EQ(::fcntl(from, F_DUPFD_CLOEXEC, number), number);
    ::close(from);
    from = number;
}

}  // namespace

// An owner that says it is closing its socket is not told of it, neither
// what the last kernel wait found nor anything after, and a new socket the
// closed number goes to, registered in the same waiter, is served as usual.
TEST(Waiter, SocketClosingSilencesTheRecordButKeepsItsSlot) {
    TWaiter2Socket w(3);
    Pair p, q, n;
    auto* r = w.RegisterResource(CtxPtr(1), p.a);
    auto* r2 = w.RegisterResource(CtxPtr(2), q.a);
    w.SetWaitMode(r, wf_Read);
    w.SetWaitMode(r2, wf_Read);
    p.SendB("x");
    q.SendB("y");
    Log log;
    // One kernel wait finds both; the first is reported, the second cached.
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    EXPECT_EQ(log.calls.back().context, CtxPtr(1));
    w.SetWaitMode(r, wf_CloseOnly);
    w.SocketClosing(r2);
    const int number = q.a;
    q.CloseA();
    EXPECT_EQ(Wait(w, log, 50), wr_Timeout);
    EXPECT_EQ(w.Count(), 2);
    // The number goes to a new socket, registered in the same waiter.
    MoveOnto(n.a, number);
    auto* r3 = w.RegisterResource(CtxPtr(3), n.a);
    w.SetWaitMode(r3, wf_Read);
    w.UnregisterResource(r2);
    n.SendB("z");
    log.calls.clear();
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].context, CtxPtr(3));
    w.UnregisterResource(r);
    w.UnregisterResource(r3);
}

// A socket closed while registered, whose number a new socket takes and
// registers: the old record says once that its descriptor is gone, and neither
// its removal nor its stale kernel entry silences or confuses the new one.
TEST(Waiter, ReusedDescriptorNumberBelongsToTheNewRegistration) {
    struct Case {
        const char* name;
        bool keepOldSocketOpen;  // the closed number's socket lives on elsewhere
    } cases[] = {{"closed", false}, {"duplicated elsewhere", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TWaiter2Socket w(2);
        Pair oldPair, newPair;
        auto* oldRec = w.RegisterResource(CtxPtr(1), oldPair.a);
        w.SetWaitMode(oldRec, wf_Read);
        Log log;
        ASSERT_EQ(Wait(w, log, 0), wr_Timeout);  // the kernel watches it now

        const int number = oldPair.a;
        int elsewhere = -1;
        if (c.keepOldSocketOpen) elsewhere = ::dup(oldPair.a);
        oldPair.CloseA();
        MoveOnto(newPair.a, number);
        auto* newRec = w.RegisterResource(CtxPtr(2), newPair.a);
        w.SetWaitMode(newRec, wf_Read);

        // The old record's one report.
        ASSERT_EQ(Wait(w, log, 5000), wr_Descriptor);
        ASSERT_EQ(log.calls.size(), 1u);
        EXPECT_EQ(log.calls[0].context, CtxPtr(1));
        EXPECT_EQ(log.calls[0].events, we_Read);
        log.calls.clear();
        // Readiness of the old socket, where it still lives, reaches nobody.
        oldPair.SendB("stale");
        EXPECT_EQ(Wait(w, log, 50), wr_Timeout);

        w.UnregisterResource(oldRec);
        EXPECT_EQ(Wait(w, log, 50), wr_Timeout);  // the old socket's entry now names nothing
        newPair.SendB("n");
        ASSERT_EQ(Wait(w, log, 5000), wr_Descriptor);
        ASSERT_EQ(log.calls.size(), 1u);
        EXPECT_EQ(log.calls[0].context, CtxPtr(2));
        EXPECT_EQ(log.calls[0].events, we_Read);
        w.UnregisterResource(newRec);
        if (elsewhere >= 0) ::close(elsewhere);
    }
}

// A socket closed after the kernel took it over is dropped from the kernel's
// set without a word; the next change of its flags finds out and reports it once.
TEST(Waiter, ClosedWatchedDescriptorReportsOnceAtItsNextFlagChange) {
    TWaiter2Socket w(2);
    Pair p, q;
    auto* r = w.RegisterResource(CtxPtr(1), p.a);
    auto* r2 = w.RegisterResource(CtxPtr(2), q.a);
    w.SetWaitMode(r, wf_Read);
    w.SetWaitMode(r2, wf_Read);
    Log log;
    ASSERT_EQ(Wait(w, log, 0), wr_Timeout);
    p.CloseA();
    w.SetWaitMode(r, wf_ReadWrite);
    ASSERT_EQ(Wait(w, log, 5000), wr_Descriptor);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].context, CtxPtr(1));
    EXPECT_EQ(log.calls[0].events, we_Read);
    EXPECT_EQ(Wait(w, log, 50), wr_Timeout);
    q.SendB("x");
    ASSERT_EQ(Wait(w, log, 5000), wr_Descriptor);
    EXPECT_EQ(log.calls.back().context, CtxPtr(2));
    w.UnregisterResource(r);
    w.UnregisterResource(r2);
}

// An owner may mark a registration for a while and clear the mark again (the
// listener does during an accept pause): it is silent meanwhile, then watched
// as before, a hang-up included.
TEST(Waiter, ClearedMarkBringsTheRegistrationBack) {
    TWaiter2Socket w(1);
    Pair p;
    auto* r = w.RegisterResource(nullptr, p.a);
    w.SetWaitMode(r, wf_Read);
    p.SendB("x");
    Log log;
    ASSERT_EQ(Wait(w, log, 5000), wr_Descriptor);
    r->wtr_BadMarker = 1;
    EXPECT_EQ(Wait(w, log, 50), wr_Timeout);
    p.ResetB();
    ASSERT_TRUE(snpstest::WaitPeerClosed(p.a));
    EXPECT_EQ(Wait(w, log, 50), wr_Timeout);
    r->wtr_BadMarker = 0;
    log.calls.clear();
    ASSERT_EQ(Wait(w, log, 5000), wr_Descriptor);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].events, we_Read);
    w.UnregisterResource(r);
}

namespace {

// Reads and drops what the peer sent to a, so that a is quiet again.
void DrainA(const Pair& p) {
    char buf[64];
    while (::recv(p.a, buf, sizeof buf, 0) > 0) {
    }
}

// Waits until n sockets have been reported (each wait reports one); false
// when a wait reports nothing within 5 s.
bool WaitForReports(TWaiter2Socket& w, Log& log, size_t n) {
    while (log.calls.size() < n) {
        if (Wait(w, log, 5000) != wr_Descriptor) return false;
    }
    return true;
}

}  // namespace

// Batched sockets are read together: one kernel wait wakes the owner for all
// that became ready, each is reported once, with what its flags select, and
// the reports of one batch cost no further sleep. A batch that finds nothing
// arms the one-shot and the waiter then sleeps through.
TEST(WaiterBatch, ReadySocketsComeInOneBatchAndAQuietSetLetsTheWaiterSleep) {
    constexpr int kN = 5;
    TWaiter2Socket w(kN + 1);
    Pair hot;
    std::vector<std::unique_ptr<Pair>> idle;
    std::vector<PWaiter2Resource> res;
    for (int i = 0; i < kN; ++i) {
        idle.push_back(std::make_unique<Pair>());
        res.push_back(w.RegisterResource(CtxPtr(10 + i), idle.back()->a));
        w.SetWaitMode(res.back(), wf_Read | wf_Batched);
    }
    auto* h = w.RegisterResource(CtxPtr(1), hot.a);
    w.SetWaitMode(h, wf_Read);
    Log log;
    // The first wait takes the first (empty) batch and arms the one-shot.
    EXPECT_EQ(Wait(w, log, 0), wr_Timeout);
    EXPECT_EQ(w.BatchedCount(), kN);

    for (auto& p : idle) p->SendB("P\r\n");
    const uint64_t sleeps0 = w.Sleeps();
    ASSERT_TRUE(WaitForReports(w, log, kN));
    // Woken by the one-shot, and perhaps once more at the grid point.
    EXPECT_LE(w.Sleeps() - sleeps0, 2u);
    std::vector<int> seen;
    for (const Call& c : log.calls) {
        EXPECT_EQ(c.events, we_Read);
        seen.push_back(Ctx(reinterpret_cast<intptr_t>(c.context)));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<int>{10, 11, 12, 13, 14}));

    // A hot socket in the same waiter is still served.
    hot.SendB("x");
    ASSERT_TRUE(WaitForReports(w, log, kN + 1));
    EXPECT_EQ(log.calls.back().context, CtxPtr(1));
    DrainA(hot);
    for (auto& p : idle) DrainA(*p);

    // Quiet: at most the grid's empty batch, then a sleep to the end.
    const uint64_t sleeps1 = w.Sleeps();
    EXPECT_EQ(Wait(w, log, 400), wr_Timeout);
    EXPECT_LE(w.Sleeps() - sleeps1, 2u);
    EXPECT_EQ(log.calls.size(), static_cast<size_t>(kN + 1));
}

// A socket its owner leaves unread is reported again at each batch, never in
// a spin; the peer's close of a batched socket is reported at a batch too;
// moving a socket between the sets, unregistering it and saying it closes
// keep the batch set's count right.
TEST(WaiterBatch, UnreadDataIsReportedPerBatchNotSpunAndCloseIsSeen) {
    TWaiter2Socket w(3);
    Pair p, q, c;
    auto* r = w.RegisterResource(CtxPtr(1), p.a);
    auto* rq = w.RegisterResource(CtxPtr(2), q.a);
    auto* rc = w.RegisterResource(CtxPtr(3), c.a);
    for (auto* x : {r, rq, rc}) w.SetWaitMode(x, wf_Read | wf_Batched);
    Log log;
    p.SendB("x");
    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    int reports = 0;
    while (Clock::now() - t0 < std::chrono::milliseconds(500)) {
        if (Wait(w, log, 100) == wr_Descriptor) ++reports;
    }
    // Once per batch (about five in 500 ms); a spin would make thousands.
    EXPECT_GE(reports, 1);
    EXPECT_LE(reports, 20);
    EXPECT_EQ(w.Batches() > 0, true);

    // Back in the main set it is reported at once, and then batched again.
    w.SetWaitMode(r, wf_Read);
    log.calls.clear();
    EXPECT_EQ(Wait(w, log, 5000), wr_Descriptor);
    EXPECT_EQ(log.calls.back().context, CtxPtr(1));
    EXPECT_EQ(w.BatchedCount(), 2);
    DrainA(p);
    w.SetWaitMode(r, wf_Read | wf_Batched);

    // The peer closes a batched socket: reported as a read at a batch.
    q.CloseB();
    log.calls.clear();
    ASSERT_TRUE(WaitForReports(w, log, 1));
    EXPECT_EQ(log.calls[0].context, CtxPtr(2));
    EXPECT_EQ(log.calls[0].events, we_Read);
    char b;
    EXPECT_EQ(::recv(q.a, &b, 1, 0), 0);
    EXPECT_EQ(w.BatchedCount(), 3);

    w.SocketClosing(rq);
    q.CloseA();
    EXPECT_EQ(w.BatchedCount(), 2);
    w.UnregisterResource(rq);
    w.UnregisterResource(rc);
    EXPECT_EQ(w.BatchedCount(), 1);
    // The batch set with what is left still works.
    p.SendB("y");
    log.calls.clear();
    ASSERT_TRUE(WaitForReports(w, log, 1));
    EXPECT_EQ(log.calls[0].context, CtxPtr(1));
    w.UnregisterResource(r);
    EXPECT_EQ(w.BatchedCount(), 0);
}
