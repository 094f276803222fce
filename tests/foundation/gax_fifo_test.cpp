#include "foundation/gax_fifo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace gax;

namespace {

void* P(intptr_t v) {
    return reinterpret_cast<void*>(v);
}
intptr_t V(void* p) {
    return reinterpret_cast<intptr_t>(p);
}

// Records what the queue discards, in order.
template <class Base>
class Recording : public Base {
  public:
    using Base::Base;
    ~Recording() override { this->Clear(); }
    std::vector<intptr_t> freed;
    std::vector<intptr_t>* sink = &freed;

  protected:
    void FreeData(void* aData) noexcept override { sink->push_back(V(aData)); }
};

using SafeQ = Recording<TFifoThreadSafe>;
using UnsafeQ = Recording<TFifoThreadUnSafe>;

}  // namespace

TEST(Fifo, BlockCapacityIsClamped) {
    struct Case {
        int32_t asked, safe, unsafe;
    };
    const Case cases[] = {{-5, 16, 16},    {0, 16, 16},        {16, 16, 16},
                          {128, 128, 128}, {4096, 4096, 4096}, {10000, 4096, 10000}};
    for (const Case& c : cases) {
        TFifoThreadSafe s(c.asked);
        TFifoThreadUnSafe u(c.asked);
        EXPECT_EQ(s.BlockCapacity(), c.safe) << c.asked;
        EXPECT_EQ(u.BlockCapacity(), c.unsafe) << c.asked;
        EXPECT_EQ(s.FifoMemoryUsage(), c.safe * 4 + 24);
        EXPECT_EQ(u.FifoMemoryUsage(), c.unsafe * 4 + 24);
    }
}

// Both queues share the chain; run the block-boundary behaviour on each.
template <class Q>
class FifoChainTest : public ::testing::Test {};
using QueueTypes = ::testing::Types<SafeQ, UnsafeQ>;
TYPED_TEST_SUITE(FifoChainTest, QueueTypes);

TYPED_TEST(FifoChainTest, BlocksAreAddedAndFreedAtBoundaries) {
    TypeParam q(16);
    for (int i = 1; i <= 16; ++i) q.PushData(P(i));
    EXPECT_EQ(q.FifoMemoryUsage(), 88);
    q.PushData(P(17));
    EXPECT_EQ(q.FifoMemoryUsage(), 2 * (16 * 4 + 24));  // 176
    EXPECT_EQ(q.Count(), 17);
    void* d = nullptr;
    for (int i = 1; i <= 16; ++i) {
        ASSERT_TRUE(q.PullData(d));
        EXPECT_EQ(V(d), i);
    }
    EXPECT_EQ(q.FifoMemoryUsage(), 88);
    ASSERT_TRUE(q.PullData(d));
    EXPECT_EQ(V(d), 17);
    EXPECT_EQ(q.Count(), 0);
}

TYPED_TEST(FifoChainTest, SingleBlockIsReusedAsARing) {
    TypeParam q(16);
    intptr_t next = 1, expect = 1;
    // Keep 0..16 elements in flight over many laps of the ring.
    for (int round = 0; round < 200; ++round) {
        const int push = round % 17;
        for (int i = 0; i < push; ++i) q.PushData(P(next++));
        EXPECT_EQ(q.FifoMemoryUsage(), 88);
        void* d;
        while (q.PullData(d)) EXPECT_EQ(V(d), expect++);
        EXPECT_EQ(q.Count(), 0);
    }
    EXPECT_EQ(expect, next);
}

TYPED_TEST(FifoChainTest, PullDataArrayTakesFromTheFirstBlockOnly) {
    TypeParam q(16);
    for (int i = 1; i <= 21; ++i) q.PushData(P(i));
    void* d;
    for (int i = 1; i <= 13; ++i) q.PullData(d);  // 3 left in block one, 5 in block two
    void* arr[10] = {};
    ASSERT_EQ(q.PullDataArray(arr, 10), 3);
    EXPECT_EQ(V(arr[0]), 14);
    EXPECT_EQ(V(arr[2]), 16);
    ASSERT_EQ(q.PullDataArray(arr, 10), 5);
    EXPECT_EQ(V(arr[0]), 17);
    EXPECT_EQ(V(arr[4]), 21);
    EXPECT_EQ(q.PullDataArray(arr, 10), 0);
    EXPECT_EQ(q.PullDataArray(arr, 0), 0);
    EXPECT_EQ(q.PullDataArray(arr, -3), 0);
    EXPECT_EQ(q.FifoMemoryUsage(), 88);
}

TYPED_TEST(FifoChainTest, EmptyQueueAndNilElements) {
    TypeParam q(16);
    void* d = P(77);
    EXPECT_FALSE(q.PullData(d));
    EXPECT_EQ(V(d), 77);  // untouched
    EXPECT_EQ(q.PeekData(), nullptr);
    q.PushData(nullptr);
    q.PushData(P(5));
    EXPECT_EQ(q.Count(), 2);
    EXPECT_EQ(q.PeekData(), nullptr);
    ASSERT_TRUE(q.PullData(d));
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(V(q.PeekData()), 5);
    EXPECT_EQ(q.Count(), 1);
}

TYPED_TEST(FifoChainTest, ClearAndDestructionReleaseEveryElementOnceInOrder) {
    std::vector<intptr_t> expected;
    for (int i = 1; i <= 150; ++i) expected.push_back(i);
    {
        TypeParam q(16);
        for (int i = 1; i <= 150; ++i) q.PushData(P(i));
        q.Clear();
        EXPECT_EQ(q.freed, expected);
        EXPECT_EQ(q.Count(), 0);
        EXPECT_EQ(q.FifoMemoryUsage(), 88);
        // The queue is usable again after Clear.
        q.PushData(P(9));
        void* d;
        ASSERT_TRUE(q.PullData(d));
        EXPECT_EQ(V(d), 9);
    }
    // Destruction releases what is left through the subclass's FreeData.
    std::vector<intptr_t> outside;
    {
        TypeParam q(16);
        q.sink = &outside;
        for (int i = 1; i <= 150; ++i) q.PushData(P(i));
    }
    EXPECT_EQ(outside, expected);
}

TEST(FifoThreadSafe, PushDataArrayAndDiscards) {
    struct Case {
        const char* what;
        int keepLast;  // -1: use Skip instead
        int skip;
        std::vector<intptr_t> freed;
        int remaining;
    };
    const Case cases[] = {
        {"KeepLast 0 empties", 0, 0, {1, 2, 3}, 0},
        {"KeepLast 1", 1, 0, {1, 2}, 1},
        {"KeepLast = Count", 3, 0, {}, 3},
        {"KeepLast > Count", 9, 0, {}, 3},
        {"Skip 2", -1, 2, {1, 2}, 1},
        {"Skip more than held", -1, 5, {1, 2, 3}, 0},
        {"Skip 0", -1, 0, {}, 3},
    };
    for (const Case& c : cases) {
        SafeQ q(16);
        void* arr[] = {P(1), P(2), P(3)};
        q.PushDataArray(arr, 3);
        q.PushDataArray(arr, 0);
        q.PushDataArray(arr, -1);
        if (c.keepLast >= 0)
            q.KeepLast(c.keepLast);
        else
            q.Skip(c.skip);
        EXPECT_EQ(q.freed, c.freed) << c.what;
        EXPECT_EQ(q.Count(), c.remaining) << c.what;
    }
}

TEST(FifoThreadSafe, DiscardsCrossBlockBoundaries) {
    SafeQ q(16);
    for (int i = 1; i <= 40; ++i) q.PushData(P(i));
    q.Skip(20);
    EXPECT_EQ(q.FifoMemoryUsage(), 2 * 88);
    q.KeepLast(3);
    EXPECT_EQ(q.freed.size(), 37u);
    EXPECT_EQ(q.freed.back(), 37);
    EXPECT_EQ(q.FifoMemoryUsage(), 88);
    void* d;
    ASSERT_TRUE(q.PullData(d));
    EXPECT_EQ(V(d), 38);
}

TEST(FifoStringThreadSafeU, LinesKeepTheirTextAndEmptyLinesTravelAsNil) {
    TFifoStringThreadSafeU q(128);
    q.PushData(u"first line");
    q.PushData(u"");
    q.PushData(std::u16string(300, u'\u00e9'));
    EXPECT_EQ(q.PeekData() != nullptr, true);
    std::u16string s = u"unchanged";
    ASSERT_TRUE(q.PullData(s));
    EXPECT_EQ(s, u"first line");
    EXPECT_EQ(q.PeekData(), nullptr);
    ASSERT_TRUE(q.PullData(s));
    EXPECT_EQ(s, u"");
    ASSERT_TRUE(q.PullData(s));
    EXPECT_EQ(s, std::u16string(300, u'\u00e9'));
    s = u"unchanged";
    EXPECT_FALSE(q.PullData(s));
    EXPECT_EQ(s, u"unchanged");
}

TEST(FifoStringThreadSafeU, DiscardedAndLeftOverLinesAreReleased) {
    // Under the leak checker, any line not released here fails the run.
    TFifoStringThreadSafeU q(16);
    for (int i = 0; i < 100; ++i)
        q.PushData(std::u16string(40, static_cast<char16_t>(u'a' + i % 26)));
    q.Skip(10);
    q.KeepLast(50);
    EXPECT_EQ(q.Count(), 50);
    std::u16string s;
    ASSERT_TRUE(q.PullData(s));
    EXPECT_EQ(s, std::u16string(40, static_cast<char16_t>(u'a' + 50 % 26)));
    // The remaining 49 lines go with the queue.
}
