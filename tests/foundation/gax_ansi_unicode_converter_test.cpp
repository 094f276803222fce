#include "foundation/gax_ansi_unicode_converter.h"

#include <gtest/gtest.h>

using namespace gax;

TEST(Utf8, EncodesBmpSurrogatePairsAndLoneSurrogates) {
    struct Case {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"", ""},
        {u"Az~", "Az~"},
        {u"\u00e9\u0416", "\xc3\xa9\xd0\x96"},
        {u"\u20ac\uffff", "\xe2\x82\xac\xef\xbf\xbf"},
        {u"\U0001F600", "\xf0\x9f\x98\x80"},
        // a surrogate without its partner has no UTF-8 form
        {std::u16string(1, char16_t(0xD83D)) + u"x", "\xef\xbf\xbdx"},
        {u"x" + std::u16string(1, char16_t(0xDE00)), "x\xef\xbf\xbd"},
    };
    for (const auto& c : cases) EXPECT_EQ(UnicodeToUtf8Str(c.in), c.out);
}

TEST(Utf8, StandardDecoderReplacesEachIllFormedSubsequence) {
    struct Case {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"", u""},
        {"Az", u"Az"},
        {"\xc3\xa9\xd0\x96\xe2\x82\xac", u"\u00e9\u0416\u20ac"},
        {"\xf0\x9f\x98\x80", u"\U0001F600"},
        {"\xf4\x8f\xbf\xbf", u"\U0010FFFF"},
        {"a\x80"
         "b",
         u"a\ufffdb"},              // stray continuation byte
        {"a\xe2\x82", u"a\ufffd"},  // sequence cut by the end
        {"\xe2\x82"
         "A",
         u"\ufffdA"},                   // cut by an ASCII byte, which survives
        {"\xc0\xaf", u"\ufffd\ufffd"},  // overlong form
        {"\xe0\x80\xaf", u"\ufffd\ufffd\ufffd"},
        {"\xed\xa0\x80", u"\ufffd\ufffd\ufffd"},            // encoded surrogate
        {"\xf4\x90\x80\x80", u"\ufffd\ufffd\ufffd\ufffd"},  // above U+10FFFF
        {"\xff\xfe", u"\ufffd\ufffd"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8BufToUnicodeStd(c.in), c.out) << c.in;
        EXPECT_EQ(Utf8BufToUnicodeStd(c.in.data(), static_cast<std::ptrdiff_t>(c.in.size())),
                  c.out);
    }
    EXPECT_EQ(Utf8BufToUnicodeStd(nullptr, 5), u"");
    EXPECT_EQ(Utf8BufToUnicodeStd("abc", -1), u"");
}

TEST(Utf8, RoundTripsEveryCodePoint) {
    std::u16string all;
    for (uint32_t c = 1; c < 0x110000; c += (c < 0x800 ? 1 : 7)) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        if (c < 0x10000) {
            all += static_cast<char16_t>(c);
        } else {
            all += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            all += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    EXPECT_EQ(Utf8BufToUnicodeStd(UnicodeToUtf8Str(all)), all);
}
