#include "foundation/gax_stringbld.h"

#include <gtest/gtest.h>

#include <string>

using namespace gax;

TEST(StringBld, CapacitySteps) {
    // Length reached by single-character appends -> capacity after it.
    struct Step {
        int len;
        int cap;
    } steps[] = {{1, 64}, {64, 64}, {65, 128}, {128, 128}, {129, 256}, {256, 256}, {257, 448}};
    TStringBldU b;
    int appended = 0;
    for (const auto& s : steps) {
        while (appended < s.len) {
            AppendChar(b, static_cast<char16_t>(u'a' + appended % 26));
            ++appended;
        }
        EXPECT_EQ(b.Len, s.len);
        EXPECT_EQ(b.Cap, s.cap) << "at length " << s.len;
        EXPECT_EQ(static_cast<int>(b.Text.size()), b.Cap);
    }
    // A whole piece makes its room in one step: 301 units -> (301 + 150 + 63) / 64 * 64.
    TStringBldU c;
    AppendChar(c, u'x');
    AppendStr(c, std::u16string(300, u'y'));
    EXPECT_EQ(c.Cap, (301 + 150 + 63) / 64 * 64);
    EXPECT_EQ(ToText(c), u"x" + std::u16string(300, u'y'));
}

TEST(StringBld, ResetKeepsTheBuffer) {
    TStringBldU b;
    AppendStr(b, u"hello world");
    int cap = b.Cap;
    b.Len = 0;
    EXPECT_EQ(ToText(b), u"");
    EXPECT_EQ(b.Cap, cap);
    AppendStr(b, u"ab");
    EXPECT_EQ(ToText(b), u"ab");
    EXPECT_EQ(b.Cap, cap);
    // ToText leaves the builder usable.
    AppendChar(b, u'c');
    EXPECT_EQ(ToText(b), u"abc");
}

TEST(StringBld, Appenders) {
    TStringBldU b;
    AppendStr(b, u"Client");
    AppendColonSpace(b);
    AppendInt(b, INT32_MIN);
    AppendSpace(b);
    AppendInt(b, 0);
    AppendSpaceStr(b, u"");
    AppendSpaceStr(b, u"x");
    AppendStr(b, u"");
    AppendBytes(b, "\xE9z", 2);
    AppendBytes(b, "ignored", 0);
    EXPECT_EQ(ToText(b), u"Client: -2147483648 0  x\u00e9z");
}

TEST(StringBld, EscapedAppendsGrowOnce) {
    TStringBldU b;
    AppendEscapedStr(b, std::string("A\n\\", 3));
    EXPECT_EQ(ToText(b), u"A\\x0A\\x5C");
    EXPECT_EQ(b.Len, 9);
    EXPECT_EQ(b.Cap, 64);

    // 25 control bytes need 100 units, sized in one step (a growth per
    // character would stop at 128).
    TStringBldU c;
    AppendEscapedBuf(c, std::string(25, '\x01').data(), 25);
    EXPECT_EQ(c.Len, 100);
    EXPECT_EQ(c.Cap, 192);
    EXPECT_EQ(ToText(c).substr(96), u"\\x01");
    AppendEscapedBuf(c, "x", -1);
    EXPECT_EQ(c.Len, 100);
}
