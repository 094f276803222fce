#include "protocol/gax_qor_fields.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

using namespace gax;

namespace {

// Writes through a raw writer into a buffer sized by its size function and
// checks that the writer ends exactly there.
template <class Fn>
std::string Raw(size_t size, Fn fn) {
    std::string buf(size + 8, '#');
    char* end = fn(buf.data());
    EXPECT_EQ(size_t(end - buf.data()), size);
    EXPECT_EQ(buf[size], '#');  // nothing written past the computed size
    buf.resize(size_t(end - buf.data()));
    return buf;
}

}  // namespace

TEST(HexLenWriters, IntegerHeaderAndFieldForms) {
    const struct {
        uint32_t n;
        const char* text;
    } cases[] = {
        {0, "00"},
        {127, "7F"},
        {128, "8180"},
        {255, "81FF"},
        {256, "820100"},
        {300, "82012C"},
        {65535, "82FFFF"},
        {65536, "83010000"},
        {16777215, "83FFFFFF"},
        {16777216, "8401000000"},
        {0xFFFFFFFFu, "84FFFFFFFF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HexLenUIntToStr(c.n), c.text) << c.n;
        EXPECT_EQ(Raw(SizeHexLenInt(c.n), [&](char* d) { return PutHexLenUInt(d, c.n); }), c.text);
        FastStringA f(1);
        FastStrAddHexLenInt(f, c.n);
        EXPECT_EQ(f.View(), c.text);
        // and back: every written header reads as its value
        const char* cur = c.text;
        int32_t rem = int32_t(std::strlen(c.text));
        uint32_t v = 0;
        ASSERT_TRUE(ReadHexLenInt(cur, rem, v)) << c.text;
        EXPECT_EQ(v, c.n);
        EXPECT_EQ(rem, 0);
    }
    EXPECT_EQ(HexLenIntToStr(-5), "00");
    EXPECT_EQ(HexLenIntToStrOrEmpty(-5), "");
    EXPECT_EQ(HexLenIntToStrOrEmpty(128), "8180");
    EXPECT_EQ(Raw(0, [](char* d) { return PutHexLenInt(d, -1); }), "");

    EXPECT_EQ(HexLenStr("abc"), "03abc");
    EXPECT_EQ(HexLenStr(""), "00");
    const std::string v200(200, 'v');
    EXPECT_EQ(HexLenStr(v200), "81C8" + v200);
    FastStringA f(1);
    FastStrAddHexLenStr(f, v200);
    EXPECT_EQ(f.View(), "81C8" + v200);
}

TEST(TypedFieldWriters, EmptyOmittedOrWrittenAndLongHeaders) {
    EXPECT_EQ(TypedFieldStr('5', ""), "");
    EXPECT_EQ(TypedFieldStr('5', "hi"), "502hi");
    const std::string v200(200, 'x');
    EXPECT_EQ(TypedFieldStr('9', v200), "981C8" + v200);
    EXPECT_EQ(Raw(SizeTypedField(0), [](char* d) { return PutTypedField(d, 'A', "", 0); }), "A00");
    EXPECT_EQ(Raw(SizeTypedField(0), [](char* d) { return PutTypedField(d, 'A', nullptr, -3); }),
              "A00");
    EXPECT_EQ(Raw(SizeTypedField(v200.size()),
                  [&](char* d) { return PutTypedField(d, 'B', v200.data(), 200); }),
              "B81C8" + v200);
    // U+00E9 and a surrogate pair travel as UTF-8
    EXPECT_EQ(TypedFieldUTF8('1', u"\u00e9\U0001F600"), "106\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(OtherWriters, TagsHexAndCountLines) {
    FastStringA f(1);
    FastStrAddInt(f, INT32_MIN);
    EXPECT_EQ(f.View(), "-2147483648");
    f.Clear();
    FastStrAddInt(f, INT32_MAX);
    FastStrAddIntLn(f, 0);
    FastStrAddIntLn(f, -7);
    EXPECT_EQ(f.View(), "21474836470\r\n-7\r\n");
    f.Clear();
    FastStrAddHexByte(f, 0xAB);
    FastStrAddHexByte(f, 0x05);
    FastStrAddTag2(f, "VX", "1");
    FastStrAddTag2Buf(f, "DS", "a<b", -1);
    FastStrAddTag3Buf(f, "SEF", "12", 2);
    EXPECT_EQ(f.View(), "AB05<VX>1</VX><DS></DS><SEF>12</SEF>");

    EXPECT_EQ(Raw(SizeTag(2, 1), [](char* d) { return PutTag2Char(d, "NN", 'x'); }), "<NN>x</NN>");
    EXPECT_EQ(Raw(8, [](char* d) { return PutTag1Char(d, 'A', 'z'); }), "<A>z</A>");
    EXPECT_EQ(Raw(SizeTag(2, 3), [](char* d) { return PutTag2Str(d, "EA", "a@b"); }),
              "<EA>a@b</EA>");
    EXPECT_EQ(Raw(SizeHex4, [](char* d) { return PutHex4(d, 0x0A1F); }), "0A1F");
    EXPECT_EQ(Raw(SizeHexBytes(3), [](char* d) { return PutHexBytes(d, "\x00\xff\x7f", 3); }),
              "00FF7F");
    EXPECT_EQ(Raw(SizeBufLn(0), [](char* d) { return PutBufLn(d, "zz", -1); }), "\r\n");
    EXPECT_EQ(Raw(5, [](char* d) { return PutStrLn(d, "abc"); }), "abc\r\n");
    EXPECT_EQ(Raw(0, [](char* d) { return PutBuf(d, "abc", 0); }), "");
    TQORTagItemRec neg;
    neg.ValueLen = -1;
    EXPECT_EQ(Raw(0, [&](char* d) { return PutHexLenTagValue(d, neg); }), "");
    EXPECT_EQ(Raw(SizeTag(2, 0), [&](char* d) { return PutTag2Item(d, "ID", neg); }), "<ID></ID>");
    TQORTypedFieldRec tf{'1', "hello", 5};
    EXPECT_EQ(Raw(SizeHexLenStr(5), [&](char* d) { return PutHexLenTypedField(d, tf); }),
              "05hello");
}

TEST(HexLenReaders, RefusalsLeaveTheCursorAlone) {
    // text, ReadHexLen ok + length, ReadHexLenInt ok + value
    const struct {
        const char* text;
        bool lenOk;
        int32_t len;
        bool intOk;
        uint32_t value;
    } cases[] = {
        {"03abc", true, 3, true, 3},
        {"7f", false, 0, true, 0x7F},   // lower case; 127 announced, nothing follows
        {"80", false, 0, true, 128},    // "80" is never a length
        {"8180", false, 0, true, 128},  // 128 announced, nothing follows
        {"81", false, 0, false, 0},     // length byte missing
        {"810", false, 0, false, 0},    // half a length byte
        {"8201", false, 0, false, 0},
        {"85000000000000", false, 0, false, 0},  // more than four length bytes
        {"FF", false, 0, false, 0},
        {"84FFFFFFFF", false, 0, true, 0xFFFFFFFFu},  // would wrap a signed length
        {"8480000000", false, 0, true, 0x80000000u},
        {"0x", false, 0, false, 0},
        {"-1", false, 0, false, 0},
        {" 1", false, 0, false, 0},
        {"0", false, 0, false, 0},
        {"", false, 0, false, 0},
        {"02a", false, 0, true, 2},  // value longer than what is left
        {"00", true, 0, true, 0},
    };
    for (const auto& c : cases) {
        const int32_t n = int32_t(std::strlen(c.text));
        const char* cur = c.text;
        int32_t rem = n;
        int32_t len = -99;
        EXPECT_EQ(ReadHexLen(cur, rem, len), c.lenOk) << c.text;
        if (c.lenOk) {
            EXPECT_EQ(len, c.len) << c.text;
        } else {
            EXPECT_EQ(cur, c.text);
            EXPECT_EQ(rem, n);
            EXPECT_EQ(len, -99);
        }
        cur = c.text;
        rem = n;
        uint32_t v = 12345;
        EXPECT_EQ(ReadHexLenInt(cur, rem, v), c.intOk) << c.text;
        if (c.intOk) {
            EXPECT_EQ(v, c.value) << c.text;
        } else {
            EXPECT_EQ(cur, c.text);
            EXPECT_EQ(rem, n);
        }
        cur = c.text;
        EXPECT_EQ(ReadHexLenUnchecked(cur, v), c.intOk) << c.text;
    }
}

TEST(HexLenReaders, HeaderBytesBeyondFourLengthBytesAreRefused) {
    for (int b = 0x85; b <= 0xFF; ++b) {
        // enough digits after the header for any length, all zero
        const std::string text = std::string(1, "0123456789ABCDEF"[b >> 4]) +
                                 "0123456789ABCDEF"[b & 15] + std::string(300, '0');
        const char* cur = text.data();
        int32_t rem = int32_t(text.size());
        int32_t len;
        uint32_t v;
        EXPECT_FALSE(ReadHexLen(cur, rem, len)) << b;
        EXPECT_FALSE(ReadHexLenInt(cur, rem, v)) << b;
        EXPECT_FALSE(ReadHexLenUnchecked(cur, v)) << b;
        EXPECT_EQ(cur, text.data());
    }
}

TEST(HexLenReaders, LowerCaseDigitsAndCursorAfterHeader) {
    std::string data = "81c8" + std::string(200, 'q') + "tail";
    const char* cur = data.data();
    int32_t rem = int32_t(data.size());
    int32_t len = 0;
    ASSERT_TRUE(ReadHexLen(cur, rem, len));
    EXPECT_EQ(len, 200);
    EXPECT_EQ(cur, data.data() + 4);
    EXPECT_EQ(rem, int32_t(data.size()) - 4);  // only the header is consumed

    const char* hb = "fE";
    int32_t hr = 1;
    uint8_t b = 0;
    EXPECT_FALSE(ReadHexByte(hb, hr, b));
    hr = 2;
    EXPECT_TRUE(ReadHexByte(hb, hr, b));
    EXPECT_EQ(b, 0xFE);
    EXPECT_EQ(hr, 0);

    // A length exactly up to the end of the data is accepted, one more is not.
    std::string exact = "05hello";
    cur = exact.data();
    rem = 7;
    EXPECT_TRUE(ReadHexLen(cur, rem, len));
    cur = exact.data();
    rem = 6;
    EXPECT_FALSE(ReadHexLen(cur, rem, len));
    // a negative count is never read from
    rem = -4;
    uint32_t v;
    EXPECT_FALSE(ReadHexLen(cur, rem, len));
    EXPECT_FALSE(ReadHexLenInt(cur, rem, v));
}

namespace {

struct TagParse {
    std::string buf;
    std::vector<TQORTagItemRec> items;
    TQORTagParseRec rec;
    int result;

    TagParse(std::string text, int capacity = 16,
             uint32_t flags = QOR_TAGPARSE_CTRL_ERROR | QOR_TAGPARSE_NO_DUPLICATES)
        : buf(std::move(text)), items(size_t(capacity)) {
        rec.Items = items.data();
        rec.Capacity = capacity;
        rec.Data = buf.data();
        rec.DataLen = int32_t(buf.size());
        rec.Flags = flags;
        result = ParseTagList(rec);
    }
    std::string Pair(int i) const {
        return std::string(items[i].Name()) + "=" + std::string(items[i].Value());
    }
};

}  // namespace

TEST(TagList, ResultsForWellFormedAndBrokenLists) {
    const struct {
        std::string text;
        int result;
    } cases[] = {
        {"", 0},
        {"  \t ", 0},
        {"<VX>1</VX> <DS>a<b</DS>", 2},
        {"\t<A></A>\t", 1},
        {"<A>x</B>", -1},
        {"<A>1</A><A>2</A>", -3},
        {"<A B>1</A B>", -1},
        {"<A>1</A>\n<B>2</B>", -2},
        {"<A>1</A>\r", -2},
        {"<A\x01>1</A\x01>", -2},       // control byte in a name
        {"<A>1\x1f</A>", -2},           // control byte in a value
        {"<A>1\x7f\xff</A>", 1},        // DEL and high bytes are ordinary
        {"<\xc3\xa9>1</\xc3\xa9>", 1},  // 8-bit names are allowed
        {"<A>1</A>x", -1},              // stray byte between elements
        {"<A>1</A><B>", -1},            // fewer than 7 bytes
        {"<>1</>", -1},
        {"<></></>", -1},  // empty name
        {"<A/>1</A/>", -1},
        {"<A<>1</A<>", -1},
        {"<A\t>1</A\t>", -1},
        {"<ABCDEFG", -1},       // no ">"
        {"<ABCDEF>", -1},       // ends right after ">"
        {"<AB>12345</AB", -1},  // closing tag cut
        {"<AB>1234</A", -1},    // "<" too close to the end to close
        {"A<A>1</A>", -1},
        {"<A>a</A></A>", -1},
        {"<A><B>1</B></A>", 1},   // nested element is value
        {"<A><A>1</A></A>", -1},  // a value ends at the first closing tag of its own name
        {"<A>x</a></A>", 1},      // names are case-sensitive
        {"<VX>1</VX><vx>2</vx>", 2},
    };
    for (const auto& c : cases) {
        TagParse p(c.text);
        EXPECT_EQ(p.result, c.result) << "\"" << c.text << "\"";
        if (c.result >= 0) {
            EXPECT_EQ(p.rec.Count, c.result);
        }
    }
}

TEST(TagList, SpansCapacityDuplicatesAndFlags) {
    TagParse p("<VX>1</VX> <DS>a<b</DS><NN><X>y</X></NN>");
    ASSERT_EQ(p.result, 3);
    EXPECT_EQ(p.Pair(0), "VX=1");
    EXPECT_EQ(p.Pair(1), "DS=a<b");
    EXPECT_EQ(p.Pair(2), "NN=<X>y</X>");
    EXPECT_EQ(p.items[1].ValuePtr, p.buf.data() + 15);  // spans point into the buffer
    ASSERT_NE(FindTag(p.rec, "DS"), nullptr);
    EXPECT_EQ(FindTag(p.rec, "DS")->Value(), "a<b");
    EXPECT_EQ(FindTag(p.rec, "ds"), nullptr);
    EXPECT_EQ(FindTag(p.rec, "D"), nullptr);

    TagParse cap("<A>1</A><B>2</B><C>3</C>", 2);
    EXPECT_EQ(cap.result, 2);
    EXPECT_EQ(cap.Pair(1), "B=2");
    EXPECT_EQ(FindTag(cap.rec, "C"), nullptr);
    TagParse capBad("<A>1</A><B>2</B><C>3", 2);  // the unstored tail is still checked
    EXPECT_EQ(capBad.result, -1);
    TagParse none("<A>1</A>", 0);
    EXPECT_EQ(none.result, 0);

    TagParse dup("<A>1</A><B>2</B><B>3</B>");
    EXPECT_EQ(dup.result, -3);
    EXPECT_EQ(dup.rec.DupIndex, 1);
    TagParse dupAllowed("<A>1</A><A>2</A>", 4, QOR_TAGPARSE_CTRL_ERROR);
    EXPECT_EQ(dupAllowed.result, 2);

    TagParse blank("<A>x\ty\r\nz</A>", 4, QOR_TAGPARSE_CTRL_TO_BLANK);
    ASSERT_EQ(blank.result, 1);
    EXPECT_EQ(blank.items[0].Value(), "x\ty  z");
    TagParse between("<A>x</A>\n", 4, QOR_TAGPARSE_CTRL_TO_BLANK);
    EXPECT_EQ(between.result, -2);  // only value bytes are replaced

    // A length that is not the buffer's: nothing past DataLen is looked at.
    std::string s = "<A>1</A><B>2</B>";
    TQORTagItemRec items[4];
    TQORTagParseRec r;
    r.Items = items;
    r.Capacity = 4;
    r.Data = s.data();
    r.DataLen = 8;
    r.Flags = QOR_TAGPARSE_CTRL_ERROR;
    EXPECT_EQ(ParseTagList(r), 1);
    r.DataLen = -1;
    EXPECT_EQ(ParseTagList(r), -1);
}

TEST(TagList, ErrorTexts) {
    EXPECT_EQ(TagParseErrorText(0), u"No any tags");
    EXPECT_EQ(TagParseErrorText(-1), u"Invalid format");
    EXPECT_EQ(TagParseErrorText(-2), u"Invalid characters");
    EXPECT_EQ(TagParseErrorText(-3), u"Duplicate tags");
    EXPECT_EQ(TagParseErrorText(-4), u"Too many tags");
    EXPECT_EQ(TagParseErrorText(-5), u"Parse unknown error");
    EXPECT_EQ(TagParseErrorText(3), u"Parse unknown error");
}

TEST(TypedFields, MaskBitsSlotsAndErrors) {
    const std::string types = "0123456789ABCDE";
    std::string data;
    for (size_t i = 0; i < types.size(); ++i)
        data += std::string(1, types[i]) + "01" + char('a' + i);
    TQORTypedFieldRec items[20];
    TQORTypedFieldParseRec r;
    r.Items = items;
    r.MaxItems = 20;
    r.Data = data.data();
    r.DataLen = int32_t(data.size());
    ASSERT_EQ(ParseTypedFields(r), 15);
    EXPECT_EQ(r.Mask, 0x1FDDFu);  // every bit but 0x20 and 0x200
    const struct {
        char type;
        uint32_t bit;
    } bits[] = {{'0', 0x1},    {'1', 0x2},    {'2', 0x4},    {'3', 0x8},    {'4', 0x40},
                {'5', 0x100},  {'6', 0x10},   {'7', 0x80},   {'8', 0x400},  {'9', 0x800},
                {'A', 0x1000}, {'B', 0x2000}, {'C', 0x4000}, {'D', 0x8000}, {'E', 0x10000},
                {'F', 0},      {'a', 0},      {'/', 0}};
    for (const auto& b : bits) {
        EXPECT_EQ(QORTypedFieldBit(b.type), b.bit) << b.type;
        const int slot = QORTypedFieldSlot(b.type);
        if (b.bit) {
            ASSERT_GE(slot, 0);
            ASSERT_NE(r.Slots[slot], nullptr);
            EXPECT_EQ(r.Slots[slot]->Ch, b.type);
        } else {
            EXPECT_EQ(slot, -1);
        }
    }
    EXPECT_EQ(r.Slots[QORTypedFieldSlot('C')]->Value(), "m");

    const struct {
        std::string text;
        int max;
        int result;
        uint32_t mask;
    } cases[] = {
        {"", 4, 0, 0},
        {"902hiA00", 4, 2, 0x1800},
        {"901x901y", 4, -3, 0x800},
        {"Z03abcZ00", 4, 2, 0},  // other type bytes are stored but own no slot
        {"101a201b", 1, -4, 0x2},
        {"101a", 0, -4, 0},
        {"1", 4, -1, 0},
        {"10", 4, -1, 0},
        {"103ab", 4, -1, 0},
        {"180", 4, -1, 0},
        {"184FFFFFFFF", 4, -1, 0},
        {"1GG", 4, -1, 0},
        {"101a2", 4, -1, 0x2},
    };
    for (const auto& c : cases) {
        TQORTypedFieldRec it[4];
        TQORTypedFieldParseRec p;
        p.Items = it;
        p.MaxItems = c.max;
        p.Data = c.text.data();
        p.DataLen = int32_t(c.text.size());
        EXPECT_EQ(ParseTypedFields(p), c.result) << c.text;
        EXPECT_EQ(p.Mask, c.mask) << c.text;
    }
}

TEST(Trim, ValueSpans) {
    std::string s = " \t\x01 ab c\r\n ";
    TQORTagItemRec it;
    it.ValuePtr = s.data();
    it.ValueLen = int32_t(s.size());
    EXPECT_EQ(TrimTagValue(it), 4);
    EXPECT_EQ(it.Value(), "ab c");
    TQORTypedFieldRec f{'1', "   ", 3};
    EXPECT_EQ(TrimTypedFieldValue(f), 0);
    EXPECT_EQ(f.Value(), "");
    TQORTypedFieldRec neg{'1', "x", -2};
    EXPECT_EQ(TrimTypedFieldValue(neg), 0);
    EXPECT_EQ(neg.Len, -2);
}
