#include "foundation/gax_strutils.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

using namespace gax;

namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s.push_back(static_cast<char>(v));
    return s;
}

}  // namespace

TEST(StrUtilsParse, Int32Table) {
    struct Case {
        std::u16string_view text;
        bool ok;
        int32_t value;
    } cases[] = {
        {u" 42", true, 42},
        {u"\t\r\n42", true, 42},
        {u"+7", true, 7},
        {u"-0", true, 0},
        {u"007", true, 7},
        {u"2147483647", true, 2147483647},
        {u"-2147483648", true, INT32_MIN},
        {u"42 ", false, 0},
        {u"- 7", false, 0},
        {u"-", false, 0},
        {u"+", false, 0},
        {u"+-1", false, 0},
        {u"2147483648", false, 0},
        {u"-2147483649", false, 0},
        {u"99999999999999999999", false, 0},
        {u"", false, 0},
        {u"   ", false, 0},
        {u"4x2", false, 0},
        {u"\uFF11", false, 0},                            // full-width digit is not a digit
        {std::u16string_view(u"12\0junk", 7), true, 12},  // a NUL ends the text
    };
    for (const auto& c : cases) {
        int32_t v = -99;
        EXPECT_EQ(TryParseIntW(c.text, v), c.ok) << std::string(c.text.begin(), c.text.end());
        EXPECT_EQ(v, c.ok ? c.value : -99) << "output must stay untouched on failure";
        // The byte forms follow the same rules.
        std::string a = UnicodeToByteStr(c.text);
        if (c.text.find(u'\uFF11') != c.text.npos) continue;
        int32_t va = -99;
        EXPECT_EQ(TryParseIntA(a, va), c.ok);
        EXPECT_EQ(va, c.ok ? c.value : -99);
    }
}

TEST(StrUtilsParse, TerminatedForms) {
    int32_t v = 5;
    EXPECT_FALSE(TryParseIntA(static_cast<const char*>(nullptr), v));
    EXPECT_FALSE(TryParseIntW(static_cast<const char16_t*>(nullptr), v));
    EXPECT_EQ(v, 5);
    EXPECT_TRUE(TryParseIntA("-12", v));
    EXPECT_EQ(v, -12);
    EXPECT_TRUE(TryParseIntW(u"+3", v));
    EXPECT_EQ(v, 3);
}

TEST(StrUtilsParse, Int64AndBufferForms) {
    int64_t v = 0;
    EXPECT_TRUE(TryParseInt64W(u"9223372036854775807", v));
    EXPECT_EQ(v, INT64_MAX);
    EXPECT_TRUE(TryParseInt64W(u"-9223372036854775808", v));
    EXPECT_EQ(v, INT64_MIN);
    EXPECT_FALSE(TryParseInt64W(u"9223372036854775808", v));
    EXPECT_FALSE(TryParseInt64W(u"-9223372036854775809", v));

    // The counted form skips leading NULs and blanks and needs digits to its end.
    const char buf[] = {'\0', ' ', '-', '1', '5', '9'};
    int32_t i = 0;
    EXPECT_TRUE(TryParseIntBufA(buf, 5, i));
    EXPECT_EQ(i, -15);
    EXPECT_FALSE(TryParseIntBufA(buf, 0, i));
    EXPECT_FALSE(TryParseIntBufA("12 ", 3, i));
    EXPECT_TRUE(TryParseInt64BufA("4294967296", 10, v));
    EXPECT_EQ(v, 4294967296LL);
    EXPECT_FALSE(TryParseInt64BufA("1", -1, v));
}

TEST(StrUtilsParse, BoolTable) {
    struct Case {
        std::u16string_view text;
        bool ok;
        bool value;
    } cases[] = {
        {u"2", true, true},       {u"0", true, false},     {u"yes", true, true},
        {u"Off", true, false},    {u"T", true, true},      {u"n", true, false},
        {u" 1", true, true},      {u" yes", false, false}, {u"yes ", false, false},
        {u"maybe", false, false}, {u"", false, false},
    };
    for (const auto& c : cases) {
        bool v = !c.value;
        EXPECT_EQ(TryParseBoolW(c.text, v), c.ok) << std::string(c.text.begin(), c.text.end());
        if (c.ok) {
            EXPECT_EQ(v, c.value);
        }
    }
}

TEST(StrUtilsWriters, IntToDecTail) {
    char buf[32];
    std::memset(buf, 'x', sizeof buf);
    int len = 32;
    char* p = IntToDecTailA(buf, -5, len);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(p, buf + 29);
    EXPECT_EQ(buf[29], '-');
    EXPECT_EQ(buf[30], '5');
    EXPECT_EQ(buf[31], '\0');
    EXPECT_EQ(buf[28], 'x');

    char16_t w[32];
    len = 32;
    EXPECT_EQ(std::u16string(IntToDecTailW(w, INT32_MIN, len)), u"-2147483648");
    EXPECT_EQ(len, 11);
    len = 32;
    EXPECT_EQ(std::u16string(IntToDecTailW(w, 0, len)), u"0");

    // Room is checked: text plus terminator.
    char small[4];
    len = 4;
    EXPECT_STREQ(IntToDecTailCheckedA(small, 123, len), "123");
    len = 3;
    EXPECT_THROW(IntToDecTailCheckedA(small, 123, len), Exception);
    len = 1;
    EXPECT_THROW(IntToDecTailCheckedA(small, 1, len), Exception);
    len = 2;
    EXPECT_THROW(IntToDecTailA(small, -1, len), Exception);
    try {
        len = 3;
        IntToDecTailCheckedA(small, 123, len);
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Buffer too small");
        EXPECT_EQ(e.ClassName(), u"Exception");
    }
}

TEST(StrUtilsWriters, Int64AbsAndFixed) {
    char buf[20];
    int len = 4;
    char* p = Int64AbsToDecTailA(buf, len, 123456);
    EXPECT_EQ(p, buf);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(std::string(buf, 4), "3456");

    len = 20;
    p = Int64AbsToDecTailA(buf, len, INT64_MIN);
    EXPECT_EQ(std::string(p, len), "9223372036854775808");
    EXPECT_EQ(p, buf + 1);
    len = 0;
    EXPECT_EQ(Int64AbsToDecTailA(buf, len, 5), buf);
    EXPECT_EQ(len, 0);

    char16_t w[8] = {};
    EXPECT_EQ(IntToDecFixedW(w, 45, 3), w + 3);
    EXPECT_EQ(std::u16string(w, 3), u"045");
    IntToDecFixedW(w, -12345, 2);
    EXPECT_EQ(std::u16string(w, 2), u"45");
    EXPECT_EQ(IntToDecFixedW(w, 7, 0), w);

    EXPECT_EQ(IntToDecStrW(0), u"0");
    EXPECT_EQ(IntToDecStrW(10023), u"10023");
    EXPECT_EQ(IntToDecStrW(-42), u"-42");
    EXPECT_EQ(IntToDecStrW(INT64_MIN), u"-9223372036854775808");
}

TEST(StrUtilsTrim, SpacesAndBlanks) {
    EXPECT_EQ(TrimSpaceW(u"\u00A0\u3000 ab c\u0085\t"), u"ab c");
    EXPECT_EQ(TrimSpaceW(u" \u3000 "), u"");
    EXPECT_EQ(TrimSpaceW(u"abc"), u"abc");
    EXPECT_EQ(TrimBlanksLeftW(u"\u00A0x "), u"\u00A0x ");
    EXPECT_EQ(TrimBlanksLeftW(u" \tx "), u"x ");
    EXPECT_EQ(TrimBlanksA(std::string("\0 a b\r\n", 7)), "a b");
    EXPECT_EQ(TrimBlanksA("\xA0"
                          "a"),
              "\xA0"
              "a");  // bytes >= 0x80 are not blanks

    const char* s = "  ab \r";
    const char* p = s;
    int len = 6;
    EXPECT_EQ(TrimBlanksRange(p, len), 2);
    EXPECT_EQ(p, s + 2);
    p = s;
    len = 6;
    EXPECT_EQ(TrimBlanksRangeLeft(p, len), 4);
    EXPECT_EQ(p, s + 2);
    len = 6;
    EXPECT_EQ(TrimBlanksRangeRight(s, len), 4);
    p = s;
    len = 2;  // all blank up to the limit
    EXPECT_EQ(TrimBlanksRange(p, len), 0);
}

TEST(StrUtilsTrim, TextViewOfBlanks) {
    const std::u16string_view s(u"\t\0 a\u00A0b \r", 8);
    const std::u16string_view v = TrimBlanksViewW(s);
    EXPECT_EQ(v, u"a\u00A0b");
    EXPECT_EQ(v.data(), s.data() + 3);  // a view into the caller's text, not a copy
    EXPECT_EQ(TrimBlanksViewW(u" \u3000 "), u"\u3000");  // only units <= U+0020 are blanks
    EXPECT_TRUE(TrimBlanksViewW(u" \n ").empty());
}

TEST(StrUtilsText, CaseWideningAndNarrow) {
    EXPECT_EQ(AsciiUpperCaseW(u"abz\u00e9"), u"ABZ\u00e9");
    EXPECT_EQ(AsciiUpperCaseA("ab\xe9z"), "AB\xe9Z");
    EXPECT_EQ(AsciiLowerCaseW(u"AZ\u00c9"), u"az\u00c9");
    EXPECT_EQ(UnicodeToByteStr(u"A\u0141"), "A\x41");
    EXPECT_EQ(ByteStrToUnicode("\xff"), u"\u00ff");
    EXPECT_TRUE(IsNarrowCharText(u""));
    EXPECT_TRUE(IsNarrowCharText(u"ab\u0401"));
    EXPECT_FALSE(IsNarrowCharText(u"ab\u0402"));
    EXPECT_FALSE(IsNarrowCharText(u"\u0410"));
    EXPECT_TRUE(SameTextAsciiW(u"Windows-1251", u"WINDOWS-1251"));
    EXPECT_FALSE(SameTextAsciiW(u"\u00e9", u"\u00c9"));
    EXPECT_FALSE(SameTextAsciiW(u"ab", u"abc"));
}

TEST(StrUtilsBuffers, CompareFindReverse) {
    EXPECT_EQ(CompareBytes("ab", 2, "abc", 3), -1);
    EXPECT_EQ(CompareBytes("\x80", 1, "\x7f", 1), 1);  // unsigned bytes
    EXPECT_EQ(CompareBytes("abc", 3, "abc", 3), 0);
    EXPECT_TRUE(MemEqual("a", "b", 0));
    EXPECT_FALSE(MemEqual("ab", "ac", 2));
    const char line[] = "ab\ncd";
    EXPECT_EQ(FindLFInBuf(line, 5), line + 2);
    EXPECT_EQ(FindLFInBuf(line, 2), nullptr);
    EXPECT_EQ(FindByteInBuf('d', line, 5), line + 4);
    EXPECT_EQ(FindByteInBuf('d', line, -3), nullptr);
    const char16_t w[] = u"hello";
    EXPECT_EQ(FindWCharInPChar(w, u'l'), w + 2);
    EXPECT_EQ(FindWCharInPChar(w, 0), nullptr);
    EXPECT_EQ(FindWCharInBuf(w, u'o', 4), nullptr);
    EXPECT_EQ(CountWCharInBuf(w, 5, u'l'), 2);
    char16_t r[] = u"abcde";
    ReverseWideBuf(r, r, 5);
    EXPECT_EQ(std::u16string(r), u"edcba");
    char16_t d[3];
    ReverseWideBuf(d, u"xyz", 3);
    EXPECT_EQ(std::u16string(d, 3), u"zyx");
    EXPECT_EQ(ReverseStrW(u"ab"), u"ba");
}

TEST(StrUtilsSearch, FindAndReplace) {
    EXPECT_EQ(FindCharPosW(u'b', u"abc"), 2);
    EXPECT_EQ(FindCharPosW(u'b', u""), 0);
    EXPECT_EQ(FindSubstrPosW(u"cd", u"abcd"), 3);
    EXPECT_EQ(FindSubstrPosW(u"de", u"abcd"), 0);  // must lie wholly inside
    EXPECT_EQ(FindSubstrPosW(u"", u"abcd"), 0);
    EXPECT_EQ(ReplaceSubstrW(u"aXbXc", u"X", u"--", 0), u"a--bXc");
    EXPECT_EQ(ReplaceSubstrW(u"aXbXc", u"X", u"--", 1), u"a--b--c");
    EXPECT_EQ(ReplaceSubstrW(u"aaaa", u"aa", u"b", 1), u"bb");
    EXPECT_EQ(ReplaceSubstrW(u"aXa", u"X", u"X", 1), u"aXa");  // replacement not rescanned
    EXPECT_EQ(ReplaceSubstrW(u"abc", u"", u"z", 1), u"abc");
    EXPECT_EQ(ReplaceSubstrW(u"", u"a", u"z", 1), u"");
}

TEST(StrUtilsUtf8, StrictDecoderTable) {
    struct Case {
        const char* what;
        std::string bytes;
        bool valid;
        std::u16string text;
    } cases[] = {
        {"empty", "", true, u""},
        {"ascii", "abc", true, u"abc"},
        {"two three four bytes", Bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}),
         true, u"\u00e9\u20ac\U0001F600"},
        {"highest code point", Bytes({0xF4, 0x8F, 0xBF, 0xBF}), true, u"\U0010FFFF"},
        {"overlong slash", Bytes({0xC0, 0xAF}), false, u""},
        {"overlong three", Bytes({0xE0, 0x80, 0xAF}), false, u""},
        {"overlong four", Bytes({0xF0, 0x80, 0x80, 0xAF}), false, u""},
        {"lone high surrogate", Bytes({0xED, 0xA0, 0x80}), false, u""},
        {"lone low surrogate", Bytes({'a', 0xED, 0xBF, 0xBF}), false, u""},
        {"above U+10FFFF", Bytes({0xF4, 0x90, 0x80, 0x80}), false, u""},
        {"stray continuation", Bytes({'a', 0x80, 'b'}), false, u""},
        {"cut at end", Bytes({'a', 0xE2, 0x82}), false, u""},
        {"missing continuation", Bytes({0xE2, 'a', 'b'}), false, u""},
        {"invalid lead", Bytes({0xFF}), false, u""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsValidUtf8Str(c.bytes), c.valid) << c.what;
        EXPECT_EQ(Utf8StrToUnicode(c.bytes), c.text) << c.what;
    }
}

TEST(StrUtilsUtf8, LenientDecoderTable) {
    struct Case {
        const char* what;
        std::string bytes;
        std::u16string text;
    } cases[] = {
        {"bmp", Bytes({0x41, 0xE2, 0x82, 0xAC, 0x42}), u"A\u20acB"},
        {"cut at end", Bytes({0x41, 0xE2, 0x82}), u"A\uFFFD"},
        {"four bytes keep low 16 bits", Bytes({0xF0, 0x9F, 0x98, 0x80}), u"\uF600"},
        {"overlong accepted", Bytes({0xC0, 0xAF}), u"/"},
        {"lone surrogate kept", Bytes({0xED, 0xA0, 0x80}), u"\xD800"},
        {"stray continuations", Bytes({'a', 0x80, 0xBF, 'b'}), u"a\uFFFD\uFFFDb"},
        {"missing continuation", Bytes({0xE2, 0x82, 'x', 'y'}), u"\uFFFDxy"},
        {"invalid lead", Bytes({0xF8, 'z'}), u"\uFFFDz"},
        {"empty", "", u""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8StrToUnicodeLenient(c.bytes), c.text) << c.what;
        EXPECT_EQ(Utf8BufToUnicodeLenient(c.bytes.data(), static_cast<int>(c.bytes.size())), c.text)
            << c.what;
    }
    EXPECT_EQ(Utf8BufToUnicodeLenient(nullptr, 0), u"");
}

TEST(StrUtilsUtf8, Counting) {
    EXPECT_EQ(UnicodeUtf8ByteLen(u"a\u00e9\u20ac\U0001F600"), 1 + 2 + 3 + 6);
    std::string s = Bytes({'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 'b'});
    int n = static_cast<int>(s.size());
    EXPECT_EQ(Utf8CharCount(s.data(), n), 4);
    EXPECT_EQ(Utf8PrefixByteLen(s.data(), n, 0), 0);
    EXPECT_EQ(Utf8PrefixByteLen(s.data(), n, 1), 1);
    EXPECT_EQ(Utf8PrefixByteLen(s.data(), n, 2), 3);
    EXPECT_EQ(Utf8PrefixByteLen(s.data(), n, 3), 6);
    EXPECT_EQ(Utf8PrefixByteLen(s.data(), n, 9), n);
    EXPECT_EQ(Utf8PrefixByteLen(s.data(), 2, 1), 1);
}

TEST(StrUtilsEscape, ControlBytes) {
    EXPECT_EQ(EscapeCtrlBytesStr(Bytes({0x41, 0x0D, 0x0A, 0x5C})), u"A\\x0D\\x0A\\x5C");
    EXPECT_EQ(EscapeCtrlBytesStr(Bytes({0x00, 0x1F, 0x7F, 0xE9})), u"\\x00\\x1F\x7F\u00e9");
    EXPECT_EQ(EscapeCtrlBytesBuf("abc", 0), u"");
    EXPECT_TRUE(HasControlBytes("a\rb", 3));
    EXPECT_FALSE(HasControlBytes("a\tb\x7f", 4));
    EXPECT_FALSE(HasControlBytes("\r", 0));
}

TEST(StrUtilsFields, SeparatedFields) {
    std::u16string f = u"junk";
    struct Case {
        int index;
        bool ok;
        std::u16string_view field;
    } cases[] = {{1, true, u"a"}, {2, true, u""},  {3, true, u"b"},
                 {4, true, u""},  {5, false, u""}, {0, false, u""}};
    for (const auto& c : cases) {
        EXPECT_EQ(GetSepFieldW(u"a;;b;", u';', c.index, f), c.ok) << c.index;
        EXPECT_EQ(f, c.field) << c.index;
    }
    EXPECT_EQ(CountSepFieldsW(u"a;;b;", u';'), 4);
    EXPECT_EQ(CountSepFieldsW(u"", u';'), 0);
    EXPECT_FALSE(GetSepFieldW(u"", u';', 1, f));
    std::string a;
    EXPECT_TRUE(GetSepFieldA("x|yy|z", '|', 2, a));
    EXPECT_EQ(a, "yy");
    EXPECT_EQ(CopyFromPosW(u"abc", 0), u"abc");
    EXPECT_EQ(CopyFromPosW(u"abc", 3), u"c");
    EXPECT_EQ(CopyFromPosW(u"abc", 4), u"");
    EXPECT_EQ(CopyFromPosA("abc", 2), "bc");
}

TEST(StrUtilsFields, WhiteSpaceScanners) {
    const char16_t s[] = u" \t\fab\rc";
    EXPECT_EQ(SkipWhiteSpaceW(s, 7), s + 3);
    EXPECT_EQ(SkipToWhiteSpaceW(s + 3, 4), s + 5);
    EXPECT_EQ(SkipWhiteSpaceW(s, 2), s + 2);
    EXPECT_EQ(SkipWhiteSpaceW(s, -1), s);
    EXPECT_FALSE(IsWhiteSpaceW(u'\v'));
    EXPECT_TRUE(CharInSetW(u'b', u"abc"));
    EXPECT_FALSE(CharInSetW(u'a', u""));
}

TEST(StrUtilsSplit, PiecesTable) {
    struct Case {
        std::u16string_view text, kept, dropped;
        int maxLen;
        std::vector<std::u16string> pieces;
    } cases[] = {
        // The last piece is split at its last terminator even when it fits.
        {u"ab cd ef", u"", u" ", 80, {u"ab cd", u"ef"}},
        {u"  ab  ", u"", u" ", 80, {u"ab"}},
        // Windows of 4: the unit after the window is dropped, so the window is the piece.
        {u"abcd efgh", u"", u" ", 4, {u"abcd", u"efgh"}},
        // No terminator in the window: hard cut.
        {u"abcdefghij", u"", u" ", 4, {u"abcd", u"efgh", u"ij"}},
        // A kept terminator stays with its piece.
        {u"ab,cd,ef", u",", u"", 5, {u"ab,", u"cd,", u"ef"}},
        {u"one two,three", u",", u" ", 9, {u"one two,", u"three"}},
        {u"", u"", u" ", 10, {}},
        {u"   ", u"", u" ", 10, {}},
        // A maximum of 0 or less must not loop: nothing at once.
        {u"abc", u"", u" ", 0, {}},
        {u"abc", u"", u" ", -5, {}},
    };
    for (const auto& c : cases) {
        std::string name(c.text.begin(), c.text.end());
        size_t i = 0;
        for (; i < c.pieces.size(); ++i)
            EXPECT_EQ(GetSplitPieceW(c.text, c.kept, c.dropped, c.maxLen, static_cast<int>(i + 1)),
                      c.pieces[i])
                << name << " piece " << i + 1;
        EXPECT_EQ(GetSplitPieceW(c.text, c.kept, c.dropped, c.maxLen, static_cast<int>(i + 1)), u"")
            << name << " one past the last";
    }
    EXPECT_EQ(GetSplitPieceW(u"abc", u"", u" ", 10, 0), u"");
}

TEST(StrUtilsOther, RaisersAndIp6Probe) {
    try {
        RaiseNotImplemented(u"x");
        FAIL();
    } catch (const ENotImplemented& e) {
        EXPECT_EQ(e.Message(), u"Not implemented: x");
    }
    try {
        RaiseNotImplemented();
        FAIL();
    } catch (const ENotImplemented& e) {
        EXPECT_EQ(e.Message(), u"Not implemented");
    }
    // The probe agrees with the OS: repeated calls give one answer and leak nothing.
    bool first = SystemSupportsIP6();
    for (int i = 0; i < 100; ++i) ASSERT_EQ(SystemSupportsIP6(), first);

    // It really tries: where no socket can be made, it answers False.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit none{0, 0};
        setrlimit(RLIMIT_NOFILE, &none);
        _exit(SystemSupportsIP6() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
