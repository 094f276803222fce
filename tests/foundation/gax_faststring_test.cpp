#include "foundation/gax_faststring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

using gax::FastStringA;

TEST(FastStringA, GrowthRuleSizesAndNulAfterEveryAppend) {
    // need -> block: (need + need/4 + 31) rounded down to 16
    EXPECT_EQ(FastStringA::GrowSize(0), 16u);
    EXPECT_EQ(FastStringA::GrowSize(16), 48u);
    EXPECT_EQ(FastStringA::GrowSize(100), 144u);
    EXPECT_EQ(FastStringA::GrowSize(1000), 1280u);

    FastStringA f(4);
    EXPECT_EQ(f.Capacity(), 4u);
    f.Append("abc");  // need 3, 4 >= 4: fits without growing
    EXPECT_EQ(f.Capacity(), 4u);
    EXPECT_EQ(f.Data()[3], '\0');
    f.AppendChar('d');  // need 4: 4 < 5, grows to (4+1+31)&~15 = 32
    EXPECT_EQ(f.Capacity(), 32u);
    EXPECT_STREQ(f.CStr(), "abcd");

    std::string expect = "abcd";
    for (int i = 0; i < 500; ++i) {
        const char c = static_cast<char>('a' + i % 26);
        f.AppendChar(c);
        expect += c;
        ASSERT_EQ(f.Len(), expect.size());
        ASSERT_EQ(f.Data()[f.Len()], '\0');
        ASSERT_GE(f.Capacity(), f.Len() + 1);
    }
    EXPECT_EQ(f.View(), expect);
}

TEST(FastStringA, ClearAndTruncateKeepTheBlock) {
    FastStringA f(8);
    f.Append(std::string(100, 'x'));
    const size_t cap = f.Capacity();
    const char* block = f.Data();
    f.Truncate(10);
    EXPECT_EQ(f.Len(), 10u);
    EXPECT_EQ(f.Data()[10], '\0');
    f.Truncate(50);  // never lengthens
    EXPECT_EQ(f.Len(), 10u);
    f.Clear();
    EXPECT_EQ(f.Len(), 0u);
    EXPECT_STREQ(f.CStr(), "");
    f.Append(std::string(90, 'y'));
    EXPECT_EQ(f.Capacity(), cap);
    EXPECT_EQ(f.Data(), block);  // no new allocation in steady state
}

TEST(FastStringA, MoveLeavesAnEmptyUsableSource) {
    FastStringA a(8);
    a.Append("hello");
    FastStringA b(std::move(a));
    EXPECT_EQ(b.View(), "hello");
    EXPECT_EQ(a.Len(), 0u);      // NOLINT(bugprone-use-after-move)
    EXPECT_STREQ(a.CStr(), "");  // NOLINT(bugprone-use-after-move)
    a.Append("again");           // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(a.View(), "again");
    FastStringA c(1);
    c = std::move(b);
    EXPECT_EQ(c.View(), "hello");
    EXPECT_EQ(b.Len(), 0u);  // NOLINT(bugprone-use-after-move)
    b.Append("", 0);         // NOLINT(bugprone-use-after-move)
    EXPECT_STREQ(b.CStr(), "");
}

TEST(FastStringA, AppendingItsOwnBytesAcrossAGrowth) {
    FastStringA f(1);
    f.Append("0123456789");
    for (int i = 0; i < 6; ++i) f.Append(f.Data(), f.Len());  // grows every time
    ASSERT_EQ(f.Len(), 640u);
    for (size_t i = 0; i < f.Len(); ++i) ASSERT_EQ(f.Data()[i], static_cast<char>('0' + i % 10));
}

TEST(FastStringA, ExtendReturnsRoomForInPlaceWriters) {
    FastStringA f(2);
    f.Append("ab");
    char* p = f.Extend(3);
    std::memcpy(p, "cde", 3);
    EXPECT_STREQ(f.CStr(), "abcde");
    EXPECT_THROW(f.Extend(size_t(-1)), std::bad_alloc);
    EXPECT_EQ(f.View(), "abcde");  // a refused growth leaves the contents alone
}
