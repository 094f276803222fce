#include <gtest/gtest.h>

#include <functional>

#include "networks/net_test_support.h"

using namespace net_test;

namespace {

constexpr uint32_t kCountOnly = 0x820 | 0x200;
constexpr uint32_t kNoList = 0x820 | 0x100;

std::string Head(uint8_t aMarker, uint16_t aSpeaker = 0) {
    return Bytes({aMarker, aSpeaker >> 8, aSpeaker & 0xFF});
}

std::string FullV0(const std::vector<TestSession*>& aMembers, uint16_t aSpeaker = 0) GAX_REQUIRES(kHeartbeat) {
    std::string s = Head(0x03, aSpeaker) + std::to_string(aMembers.size()) + "\r\n";
    for (TestSession* m : aMembers) s += m->ClientListItemV0();
    return s;
}

std::string FullV1(const std::vector<TestSession*>& aMembers) GAX_REQUIRES(kHeartbeat) {
    std::string s = Head(0x83) + std::to_string(aMembers.size()) + "\r\n";
    for (TestSession* m : aMembers) s += m->ClientListItemV1U();
    return s;
}

std::string Aggregate(size_t aCount, bool aTalk, const TestSession* aOwn) GAX_REQUIRES(kHeartbeat) {
    return Bytes({3, 0, aTalk ? 1 : 0}) +
           "2\r\n<S>0</S><M>0</M><NN>Server</NN><CT>Ser - ver</CT><BC>Aggregate</BC><CL>1</CL>"
           "<ON>All others</ON><ID>" +
           kAggrId + "</ID><DS>Count: " + std::to_string(aCount - 1) + "</DS>\r\n" +
           aOwn->ClientListItemV0();
}

std::string Diff(int aEntries, const std::string& aBody) {
    char head[8];
    std::snprintf(head, sizeof head, "%06d", aEntries);
    return Head(0x84) + head + "\r\n" + aBody;
}

struct Five : Net {
    // A, C, E take difference lists; B, D the full 8-bit list.
    TestSession *a, *b, *c, *d, *e;
    Five() {
        a = Make(kExtLong, "A");
        b = Make(kV0Full, "B");
        c = Make(kExtLong, "C");
        d = Make(kV0Full, "D");
        e = Make(kExtLong, "E");
        for (auto& s : all) lists.AddVisible(s.get());
        Step();
    }
};

}  // namespace

TEST(NetworkLists, EmptyNetworkAndFirstMember) {
    TQORRoleScope role(kHeartbeat);
    Net n;
    EXPECT_EQ(n.lists.ClientsV0().Str(), Bytes({0x03, 0x00, 0x00, 0x30, 0x0D, 0x0A}));
    // Nothing to do, nothing sent.
    EXPECT_EQ(n.lists.ListStep(nullptr, 4, 8).lds_Entries, 0);

    struct Case {
        const char* Name;
        uint32_t Flags;
        std::function<std::string(TestSession*)> Expected;
    };
    const Case cases[] = {
        {"V0 full", kV0Full, [](TestSession* s) GAX_REQUIRES(kHeartbeat) { return FullV0({s}); }},
        {"aggregate", kV0Aggr, [](TestSession* s) GAX_REQUIRES(kHeartbeat) { return Aggregate(1, false, s); }},
        {"UTF-8 newbie", kExtLong | QOR_CF_NEWBIE, [](TestSession* s) GAX_REQUIRES(kHeartbeat) { return FullV1({s}); }},
        {"count", kCountOnly, [](TestSession*) { return std::string("\x82" "1\r\n"); }},
        {"no list", kNoList, [](TestSession*) { return std::string(); }},
        {"Parrot", kV0Full | QOR_CF_PARROT, [](TestSession*) { return std::string(); }},
        {"format 3 without UTF-8", (kExtLong & ~QOR_CF_UTF8), [](TestSession*) {
             return std::string();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Net m;
        TestSession* s = m.Make(c.Flags, "ONE");
        m.lists.AddVisible(s);
        m.lists.ListStep(nullptr, 4, 8);
        EXPECT_EQ(s->sent, c.Expected(s));
        EXPECT_EQ(s->QORNetworkIndex(), 1);
    }
}

// One of five leaves: a removal entry for difference clients, the full list
// of four for 8-bit clients, the later members renumbered.
TEST(NetworkLists, OneLeavesFromTheMiddle) {
    TQORRoleScope role(kHeartbeat);
    Five f;
    f.lists.RemoveVisible(f.c);
    const TQORListDiffStats st = f.lists.ListStep(nullptr, 4, 8);
    EXPECT_EQ(st.lds_Removed, 1);
    EXPECT_EQ(st.lds_Count, 4);
    const std::string diff = Diff(1, "0002-1\r\n");
    EXPECT_EQ(f.a->sent, diff);
    EXPECT_EQ(f.e->sent, diff);
    EXPECT_EQ(f.b->sent, FullV0({f.a, f.b, f.d, f.e}));
    EXPECT_EQ(f.d->sent, f.b->sent);
    EXPECT_EQ(f.c->sent, "");
    EXPECT_EQ(f.dropped, std::vector<TQORSVCContext*>{f.c});
    EXPECT_EQ(f.d->QORNetworkIndex(), 3);
    EXPECT_EQ(f.e->QORNetworkIndex(), 4);
}

// Two leave and one joins between them: the removal run goes out before the
// insertion after it, and positions count the list as already changed.
TEST(NetworkLists, TwoLeaveOneJoinsBetween) {
    TQORRoleScope role(kHeartbeat);
    Net n;
    TestSession* a = n.Join(kExtLong, "A");
    TestSession* b = n.Join(kExtLong, "B");
    TestSession* d = n.Join(kExtLong, "D");
    TestSession* f = n.Join(kExtLong, "F");
    TestSession* g = n.Join(kExtLong, "G");
    TestSession* e = n.Make(kExtLong, "E");
    n.lists.RemoveVisible(b);
    n.lists.RemoveVisible(f);
    n.lists.AddVisible(e);
    const TQORListDiffStats st = n.lists.ListStep(nullptr, 4, 8);
    EXPECT_EQ(a->sent, Diff(3, "0001-1\r\n0002-1\r\n0002+" + e->ClientListItemV1U()));
    EXPECT_EQ(st.lds_Added, 1);
    EXPECT_EQ(st.lds_Removed, 2);
    EXPECT_EQ(n.lists.VisualBias(), (std::vector<TQORSVCContext*>{a, d, e, g}));
    EXPECT_EQ(e->QORNetworkIndex(), 3);
    EXPECT_EQ(g->QORNetworkIndex(), 4);
}

// A status change alone: one "*" entry and the patched full lists, no rebuild.
TEST(NetworkLists, StatusOnlyChange) {
    TQORRoleScope role(kHeartbeat);
    Five f;
    const std::string before = f.b->ClientListItemV1A().substr(0, 2);
    f.b->SetMuted(true);
    f.b->RefreshStatusInfo();
    f.b->CtxFlagsSet(QOR_CF_STATUS_CHANGED);
    f.lists.SetNetResults(QOR_NR_STATUS);
    const int32_t offset = f.b->OffsetInClientsListV0;
    const TQORListDiffStats st = f.lists.ListStep(nullptr, 4, 8);
    EXPECT_EQ(st.lds_StatusChanged, 1);
    EXPECT_EQ(f.a->sent, Diff(1, "0001*" + f.b->ClientListItemV1A().substr(0, 2) + "\r\n"));
    EXPECT_NE(f.b->ClientListItemV1A().substr(0, 2), before);
    EXPECT_EQ(f.d->sent, FullV0({f.a, f.b, f.c, f.d, f.e}));
    EXPECT_EQ(f.b->OffsetInClientsListV0, offset);
    EXPECT_EQ(f.b->CtxFlags() & QOR_CF_STATUS_CHANGED, 0u);
}

// A newbie difference client gets the full UTF-8 list first and difference
// lists from then on; the others see its "+" entry.
TEST(NetworkLists, NewbieGetsTheFullListFirst) {
    TQORRoleScope role(kHeartbeat);
    Net n;
    TestSession* a = n.Join(kExtLong, "A");
    TestSession* c = n.Join(kExtLong, "C");
    TestSession* b = n.Make(kExtLong | QOR_CF_NEWBIE, "B");
    b->CtxFlagsSet(QOR_CF_ITEM_CHANGED);  // a mark from before it was listed
    n.lists.AddVisible(b);
    n.lists.ListStep(nullptr, 4, 8);
    EXPECT_EQ(b->sent, FullV1({a, b, c}));
    EXPECT_EQ(a->sent, Diff(1, "0001+" + b->ClientListItemV1U()));
    EXPECT_EQ(b->CtxFlags() & (QOR_CF_ITEM_CHANGED | QOR_CF_STATUS_CHANGED), 0u);
    b->ClearNewbieFlag();
    n.Clear();
    n.lists.RemoveVisible(c);
    n.lists.ListStep(nullptr, 4, 8);
    EXPECT_EQ(b->sent, Diff(1, "0002-1\r\n"));
}

// Count and aggregate lists, with a talker in the headers.
TEST(NetworkLists, CountAndAggregateWithTalker) {
    TQORRoleScope role(kHeartbeat);
    Net n;
    TestSession* talker = n.Join(kExtLong, "A");
    TestSession* count = n.Join(kCountOnly, "B");
    TestSession* aggr = n.Join(kV0Aggr, "C");
    TestSession* full = n.Join(kV0Full, "D");
    n.relay.tmTxRequest(talker);
    n.Clear();
    n.lists.RemoveVisible(count);
    TestSession* count2 = n.Make(kCountOnly, "E");
    n.lists.AddVisible(count2);
    n.lists.ListStep(n.relay.SpeakingContext(), 4, 8);
    EXPECT_EQ(count2->sent, "\x82" "4\r\n");
    EXPECT_EQ(aggr->sent, Aggregate(4, true, aggr));
    EXPECT_EQ(full->sent, FullV0({talker, aggr, full, count2}, 1));
}

// Flag changes through the lists keep the counters right: a client switched
// from the full to the aggregate list keeps receiving lists.
TEST(NetworkLists, FlagChangesKeepCounters) {
    TQORRoleScope role(kHeartbeat);
    Net n;
    TestSession* a = n.Join(kV0Full, "A");
    TestSession* b = n.Join(kExtLong, "B");
    EXPECT_EQ(n.lists.Counter(TQORListForm::QORFull), 1);
    n.lists.ChangeFlags(a, ~0u, QOR_CF_AGGREGATE_LIST);
    EXPECT_EQ(n.lists.Counter(TQORListForm::QORFull), 0);
    EXPECT_EQ(n.lists.Counter(TQORListForm::QORAggr), 1);
    n.lists.RemoveVisible(b);
    n.lists.ListStep(nullptr, 4, 8);
    EXPECT_EQ(a->sent, Aggregate(1, false, a));
    n.lists.RemoveVisible(a);
    for (int f = 0; f < 6; ++f) EXPECT_EQ(n.lists.Counter(static_cast<TQORListForm>(f)), 0) << f;
}

// A member that arrives with a stale network index (one the sent order
// does not know) must not stall the difference walk.
TEST(NetworkLists, StaleIndexStillConverges) {
    TQORRoleScope role(kHeartbeat);
    Net n;
    TestSession* a = n.Join(kExtLong, "A");
    TestSession* c = n.Join(kExtLong, "C");
    TestSession* b = n.Make(kExtLong, "B");
    b->SetQORNetworkIndex(1);
    n.lists.AddVisible(b);
    n.lists.ListStep(nullptr, 4, 8);
    EXPECT_EQ(n.lists.VisualBias(), (std::vector<TQORSVCContext*>{a, b, c}));
    EXPECT_EQ(b->QORNetworkIndex(), 2);
    EXPECT_EQ(c->QORNetworkIndex(), 3);
    EXPECT_TRUE(n.dropped.empty());
    EXPECT_EQ(a->sent, Diff(3, "0001-1\r\n0001+" + b->ClientListItemV1U() + "0002+" +
                                   c->ClientListItemV1U()));
}
