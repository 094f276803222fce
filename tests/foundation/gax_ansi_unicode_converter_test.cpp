#include "foundation/gax_ansi_unicode_converter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <type_traits>

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

TEST(Utf8, StandardDecoderGivesEmptyTextForIllFormedInput) {
    struct Case {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"", u""},
        {"Az", u"Az"},
        {"\xc3\xa9\xd0\x96\xe2\x82\xac", u"\u00e9\u0416\u20ac"},
        {"\xf0\x9f\x98\x80", u"\U0001F600"},
        {"\xf4\x8f\xbf\xbf", u"\U0010FFFF"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        {"a\x80"
         "b",
         u""},               // stray continuation byte
        {"a\xe2\x82", u""},  // sequence cut by the end
        {"\xe2\x82"
         "A",
         u""},              // cut by an ASCII byte
        {"\xc0\xaf", u""},  // overlong form
        {"\xe0\x80\xaf", u""},
        {"\xed\xa0\x80", u""},      // encoded surrogate
        {"\xf4\x90\x80\x80", u""},  // above U+10FFFF
        {"ok\xff", u""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8BufToUnicodeStd(c.in), c.out) << c.in;
        EXPECT_EQ(Utf8BufToUnicodeStd(c.in.data(), static_cast<std::ptrdiff_t>(c.in.size())),
                  c.out);
    }
    EXPECT_EQ(Utf8BufToUnicodeStd(nullptr, 5), u"");
    EXPECT_EQ(Utf8BufToUnicodeStd("abc", -1), u"");
    EXPECT_EQ(Utf8BufToUnicodeStd("abc", 2), u"ab");
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

namespace {

const TCharsetsCodeList& SystemList() {
    static const auto list = CreateCharsetsCodeList();
    return *list;
}

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
}

template <class E>
std::u16string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return std::u16string(e.ClassName()) + u"|" + e.Message();
    }
    return u"<no exception>";
}

}  // namespace

TEST(CharsetList, HoldsTheDefaultEntryAndTheNamesOperatorsWrite) {
    const auto& list = SystemList();
    ASSERT_GT(list.Count(), 1u);
    EXPECT_EQ(list[0].Name, u"");
    EXPECT_EQ(list[0].CodePage, kDefaultCodePage);
    struct {
        const char16_t* name;
        uint32_t codePage;
    } expected[] = {{u"utf-8", 65001},       {u"windows-1250", 1250}, {u"WINDOWS-1251", 1251},
                    {u"windows-1252", 1252}, {u"Windows-1258", 1258}, {u"koi8-r", 20866},
                    {u"KOI8-U", 21866},      {u"iso-8859-1", 28591},  {u"ISO-8859-5", 28595},
                    {u"iso-8859-15", 28605}, {u"ibm866", 866},        {u"cp866", 866},
                    {u"us-ascii", 20127},    {u"IBM437", 437},        {u"ibm850", 850},
                    {u"shift_jis", 932},     {u"gb2312", 936},        {u"big5", 950},
                    {u"euc-kr", 51949}};
    for (const auto& e : expected) {
        const int i = list.IndexOfName(e.name);
        ASSERT_GT(i, 0) << UnicodeToUtf8Str(e.name);
        EXPECT_EQ(list[i].CodePage, e.codePage) << UnicodeToUtf8Str(e.name);
    }
    EXPECT_EQ(list.IndexOfName(u"XYZ"), -1);
    EXPECT_EQ(list.IndexOfName(u" utf-8"), -1);  // lookups do not trim; the converter does
}

TEST(CharsetList, DefaultCodePagesMissingFromTheSetsAreAppended) {
    TLangInfoArray list(2);
    list[0].li_CodePage = 1251;
    list[0].li_Charset = u"WINDOWS-1251";
    list[1].li_CodePage = 65001;
    list[1].li_Charset = u"UTF-8";

    TLangInfoArray a = list;
    AddMissingDefaultCodePages(a, 437, 1252);
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(a[2].li_Charset, u"CP437");
    EXPECT_EQ(a[2].li_CodePage, 437u);
    EXPECT_EQ(a[3].li_Charset, u"CP1252");

    TLangInfoArray b = list;
    AddMissingDefaultCodePages(b, 437, 437);  // the same page is added once
    ASSERT_EQ(b.size(), 3u);

    TLangInfoArray c = list;
    AddMissingDefaultCodePages(c, 65001, 1251);
    EXPECT_EQ(c.size(), 2u);

    auto codes = CharsetsCodeListFromLangInfo(a);
    ASSERT_EQ(codes->Count(), 5u);
    EXPECT_EQ((*codes)[0].CodePage, kDefaultCodePage);
    EXPECT_EQ((*codes)[3].Name, u"CP437");
    EXPECT_EQ(FindLangInfoByCodePage(a, 1252), 3);
    EXPECT_EQ(FindLangInfoByCodePage(a, 866), -1);
}

TEST(CharsetList, SystemDefaultsAreListed) {
    EXPECT_EQ(DefaultAnsiCodePage(), 1252u);
    EXPECT_EQ(DefaultAnsiCharsetName(), "WINDOWS-1252");
    TLangInfoArray list;
    EnumMLangCodePages(list);
    const int oem = FindLangInfoByCodePage(list, DefaultOemCodePage());
    ASSERT_GE(oem, 0);
    EXPECT_EQ(Utf8BufToUnicodeStd(DefaultOemCharsetName()), list[oem].li_Charset);
}

TEST(Converter, SelectsNamesTrimmedAndUpperCased) {
    TAnsiUnicodeConverter c;
    EXPECT_EQ(c.CharsetName(), u"");
    EXPECT_EQ(c.CodePage(), kDefaultCodePage);
    c.SetCharsetsCodeList(&SystemList());
    c.SetCharsetName(u" utf-8 ");
    EXPECT_EQ(c.CharsetName(), u"UTF-8");
    EXPECT_EQ(c.CharsetNameA(), "UTF-8");
    EXPECT_EQ(c.CodePage(), 65001u);
    EXPECT_FALSE(c.IsBin());
    c.SetCharsetName(u"\u00a0koi8-r\t");
    EXPECT_EQ(c.CharsetName(), u"KOI8-R");
    EXPECT_EQ(c.CodePage(), 20866u);
}

TEST(Converter, RawByteSetNeedsNoListAndKeepsLowBytes) {
    for (const char16_t* name : {u"bin", u"BIN", u" Bin "}) {
        TAnsiUnicodeConverter c;
        c.SetCharsetName(name);
        EXPECT_TRUE(c.IsBin());
        EXPECT_EQ(c.CharsetName(), u"BIN");
        EXPECT_EQ(c.CharsetNameA(), "BIN");
    }
    TAnsiUnicodeConverter c;
    c.SetCharsetName(u"bin");
    std::string all;
    std::u16string wide;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
        wide += static_cast<char16_t>(b);
    }
    EXPECT_EQ(c.AnsiToUnicode(all), wide);
    EXPECT_EQ(c.UnicodeToAnsi(wide), all);
    EXPECT_EQ(c.UnicodeToAnsi(u"\u0141\u4e2d"), "\x41\x2d");

    // a real set selected after BIN converts with that set both ways
    c.SetCharsetsCodeList(&SystemList());
    c.SetCharsetName(u"windows-1251");
    EXPECT_FALSE(c.IsBin());
    EXPECT_EQ(c.UnicodeToAnsi(u"\u0416"), "\xc6");
    EXPECT_EQ(c.AnsiToUnicode("\xc6"), u"\u0416");
}

TEST(Converter, RejectsUnknownNamesAndMissingLists) {
    using Invalid = EAnsiUnicodeConverterInvalidCharsetName;
    using Empty = EAnsiUnicodeConverterEmptyCharsetList;
    TAnsiUnicodeConverter c;
    EXPECT_EQ(MessageOf<Empty>([&] { c.SetCharsetName(u"KOI8-R"); }),
              u"EAnsiUnicodeConverterEmptyCharsetList|Empty charset list");
    EXPECT_EQ(MessageOf<Empty>([&] { c.SetCharsetsCodeList(nullptr); }),
              u"EAnsiUnicodeConverterEmptyCharsetList|Empty charset list");
    TCharsetsCodeList empty;
    EXPECT_EQ(MessageOf<Empty>([&] { c.SetCharsetsCodeList(&empty); }),
              u"EAnsiUnicodeConverterEmptyCharsetList|Empty charset list");

    c.SetCharsetsCodeList(&SystemList());
    c.SetCharsetName(u"koi8-r");
    for (const char16_t* bad : {u"", u"  ", u"xyz ", u"windows1251"}) {
        EXPECT_EQ(MessageOf<Invalid>([&] { c.SetCharsetName(bad); }),
                  std::u16string(u"EAnsiUnicodeConverterInvalidCharsetName|"
                                 u"Invalid or unknown charset name: ") +
                      bad);
        // the failed selection leaves no name and the default set
        EXPECT_EQ(c.CharsetName(), u"");
        EXPECT_EQ(c.CodePage(), kDefaultCodePage);
        EXPECT_EQ(c.UnicodeToAnsi(u"\u20ac"), "\x80");
    }
    EXPECT_TRUE((std::is_base_of_v<EAnsiUnicodeConverterError, Invalid>));
    EXPECT_TRUE((std::is_base_of_v<EAnsiUnicodeConverterError, Empty>));
}

TEST(Converter, ValidateCharsetNamePrefixesTheContext) {
    using Invalid = EAnsiUnicodeConverterInvalidCharsetName;
    using Empty = EAnsiUnicodeConverterEmptyCharsetList;
    const auto* list = &SystemList();
    EXPECT_NO_THROW(TAnsiUnicodeConverter::ValidateCharsetName(u"koi8-r", u"Net 3", list));
    EXPECT_NO_THROW(TAnsiUnicodeConverter::ValidateCharsetName(u"bin", u"Net 3", list));
    EXPECT_EQ(MessageOf<Invalid>(
                  [&] { TAnsiUnicodeConverter::ValidateCharsetName(u"XYZ", u"Net 3", list); }),
              u"EAnsiUnicodeConverterInvalidCharsetName|Net 3: Invalid or unknown charset name: "
              u"XYZ");
    EXPECT_EQ(
        MessageOf<Invalid>([&] { TAnsiUnicodeConverter::ValidateCharsetName(u"XYZ", u"", list); }),
        u"EAnsiUnicodeConverterInvalidCharsetName|Invalid or unknown charset name: XYZ");
    EXPECT_EQ(MessageOf<Empty>([&] {
                  TAnsiUnicodeConverter::ValidateCharsetName(u"UTF-8", u"Server", nullptr);
              }),
              u"EAnsiUnicodeConverterEmptyCharsetList|Server: Empty charset list");
}

TEST(Converter, NewListMustHoldTheSelectedName) {
    TCharsetsCodeList first, second, lacking;
    first.Add(u"", kDefaultCodePage);
    first.Add(u"MYSET", 1251);
    second.Add(u"", kDefaultCodePage);
    second.Add(u"myset", 20866);
    lacking.Add(u"", kDefaultCodePage);
    lacking.Add(u"OTHER", 1251);

    TAnsiUnicodeConverter c;
    c.SetCharsetsCodeList(&first);
    c.SetCharsetName(u"myset");
    EXPECT_EQ(c.UnicodeToAnsi(u"\u041f"), "\xcf");  // WINDOWS-1251
    EXPECT_EQ(MessageOf<EAnsiUnicodeConverterInvalidCharsetName>(
                  [&] { c.SetCharsetsCodeList(&lacking); }),
              u"EAnsiUnicodeConverterInvalidCharsetName|Invalid or unknown charset name: MYSET");
    // the old list and set stay: a name only the rejected list has is unknown
    EXPECT_EQ(c.CodePage(), 1251u);
    EXPECT_EQ(c.UnicodeToAnsi(u"\u041f"), "\xcf");
    EXPECT_THROW(c.SetCharsetName(u"OTHER"), EAnsiUnicodeConverterInvalidCharsetName);

    c.SetCharsetName(u"MYSET");
    c.SetCharsetsCodeList(&second);  // same name, another code page: takes the new one
    EXPECT_EQ(c.CodePage(), 20866u);
    EXPECT_EQ(c.UnicodeToAnsi(u"\u041f"), "\xf0");  // KOI8-R
}

TEST(Converter, RoundTripsTextInEachKindOfSet) {
    struct Case {
        const char16_t* charset;
        std::u16string text;
        std::string bytes;
    } cases[] = {
        {u"WINDOWS-1251", u"\u041f\u0440\u0438\u0432\u0435\u0442 1",
         Bytes({0xcf, 0xf0, 0xe8, 0xe2, 0xe5, 0xf2, 0x20, 0x31})},
        {u"KOI8-R", u"\u041f\u0440\u0438\u0432\u0435\u0442",
         Bytes({0xf0, 0xd2, 0xc9, 0xd7, 0xc5, 0xd4})},
        {u"UTF-8", u"\u041f\u0440\u0438\u0432\u0435\u0442",
         "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"},
        {u"WINDOWS-1252", u"\u20ac\u00e9", Bytes({0x80, 0xe9})},
        {u"IBM866", u"\u0416", Bytes({0x86})},
        {u"SHIFT_JIS", u"a\u3053\u3093\u306b\u3061\u306f",
         Bytes({0x61, 0x82, 0xb1, 0x82, 0xf1, 0x82, 0xc9, 0x82, 0xbf, 0x82, 0xcd})},
        // bytes the set leaves undefined decode to the unit of the same value
        {u"WINDOWS-1252", u"\u0081\u008d\u0090", Bytes({0x81, 0x8d, 0x90})},
        {u"", u"", ""},
    };
    for (const auto& k : cases) {
        TAnsiUnicodeConverter c;
        c.SetCharsetsCodeList(&SystemList());
        if (*k.charset) c.SetCharsetName(k.charset);
        EXPECT_EQ(c.UnicodeToAnsi(k.text), k.bytes) << UnicodeToUtf8Str(k.charset);
        EXPECT_EQ(c.AnsiToUnicode(k.bytes), k.text) << UnicodeToUtf8Str(k.charset);
        EXPECT_EQ(c.AnsiBufToUnicode(k.bytes.data(), static_cast<std::ptrdiff_t>(k.bytes.size())),
                  k.text);
    }
}

TEST(Converter, CharactersWithoutMappingBecomeOneQuestionMark) {
    struct Case {
        const char16_t* charset;
        std::u16string text;
        std::string bytes;
    } cases[] = {
        {u"WINDOWS-1251", u"a\u4e2db\u00e9", "a?b?"},
        {u"WINDOWS-1251", u"a\U0001F600b", "a?b"},  // a surrogate pair is one character
        {u"WINDOWS-1251", u"a" + std::u16string(1, char16_t(0xD800)) + u"b", "a?b"},
        {u"KOI8-R", u"\u20ac", "?"},
        {u"US-ASCII", u"caf\u00e9", "caf?"},
        {u"SHIFT_JIS", u"a\U0001F600b\u0416", "a?b\x84\x47"},
        {u"SHIFT_JIS", u"x" + std::u16string(1, char16_t(0xDC00)) + u"y", "x?y"},
        {u"SHIFT_JIS", u"x" + std::u16string(1, char16_t(0xD800)), "x?"},
        {u"UTF-8", u"a" + std::u16string(1, char16_t(0xD800)), "a\xef\xbf\xbd"},
    };
    for (const auto& k : cases) {
        TAnsiUnicodeConverter c;
        c.SetCharsetsCodeList(&SystemList());
        c.SetCharsetName(k.charset);
        EXPECT_EQ(c.UnicodeToAnsi(k.text), k.bytes) << UnicodeToUtf8Str(k.charset);
    }
    // bytes that are no character of a multi-byte set decode to '?'
    TAnsiUnicodeConverter sj;
    sj.SetCharsetsCodeList(&SystemList());
    sj.SetCharsetName(u"SHIFT_JIS");
    EXPECT_EQ(sj.AnsiToUnicode("a\x82"), u"a?");
    EXPECT_EQ(sj.AnsiToUnicode("a\x82\x01"
                               "b"),
              u"a?\x01"
              "b");
    TAnsiUnicodeConverter utf8;
    utf8.SetCharsetsCodeList(&SystemList());
    utf8.SetCharsetName(u"UTF-8");
    EXPECT_EQ(utf8.AnsiToUnicode("ok\xc3"), u"");
    TAnsiUnicodeConverter ascii;
    ascii.SetCharsetsCodeList(&SystemList());
    ascii.SetCharsetName(u"US-ASCII");
    EXPECT_EQ(ascii.AnsiToUnicode("\xe9"), u"\u00e9");
}

TEST(Converter, EmptyAndAbsentInputGiveEmptyResults) {
    TAnsiUnicodeConverter c;
    c.SetCharsetsCodeList(&SystemList());
    for (const char16_t* name : {u"BIN", u"UTF-8", u"KOI8-R", u"SHIFT_JIS"}) {
        c.SetCharsetName(name);
        EXPECT_EQ(c.AnsiToUnicode(""), u"");
        EXPECT_EQ(c.AnsiBufToUnicode(nullptr, 4), u"");
        EXPECT_EQ(c.AnsiBufToUnicode("abc", 0), u"");
        EXPECT_EQ(c.AnsiBufToUnicode("abc", -2), u"");
        EXPECT_EQ(c.UnicodeToAnsi(u""), "");
    }
}

TEST(FixedConversions, ConsoleAndDefaultSets) {
    EXPECT_EQ(UnicodeToSysAnsiStr(u"\u20acx\u4e2d"), "\x80x?");
    const std::u16string text = u"Az\u0416";
    const std::string oem = UnicodeToOemStr(text);
    if (DefaultOemCodePage() == 65001) {
        EXPECT_EQ(oem, UnicodeToUtf8Str(text));
    } else {
        EXPECT_EQ(oem.size(), text.size());
    }
    EXPECT_EQ(ConsoleText(text), oem);
    EXPECT_EQ(ErrorText(u"x\u0416"), u"x\u0416");
    EXPECT_EQ(NameText(u"n"), u"n");

    char buf[8];
    std::memset(buf, '#', sizeof buf);
    char* end = UnicodeToOemBuf(buf, 2, u"abcdef", 6);
    EXPECT_EQ(end, buf + 2);
    EXPECT_EQ(std::string(buf, 3), "ab#");
    EXPECT_EQ(UnicodeToOemBuf(buf, 8, u"abc", 0), buf);
    EXPECT_EQ(UnicodeToOemBuf(buf, 8, u"abc", 3), buf + 3);
}
