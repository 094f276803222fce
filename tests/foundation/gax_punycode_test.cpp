#include "foundation/gax_punycode.h"

#include <gtest/gtest.h>

#include "foundation/gax_ansi_unicode_converter.h"

using namespace gax;

namespace {

std::string Encode(std::u16string_view s, TPunycodeStatus* status = nullptr) {
    size_t len = 0;
    TPunycodeStatus st = PunycodeEncode(s.data(), s.size(), len, nullptr);
    std::string out;
    if (st == pc_Success) {
        const size_t measured = len;
        out.assign(len, '\0');
        st = PunycodeEncode(s.data(), s.size(), len, out.data());
        EXPECT_EQ(len, measured);
    }
    if (status) *status = st;
    return st == pc_Success ? out : std::string();
}

std::u16string Decode(std::string_view s, TPunycodeStatus* status = nullptr) {
    size_t len = 0;
    TPunycodeStatus st = PunycodeDecode(s.data(), s.size(), len, nullptr);
    std::u16string out;
    if (st == pc_Success) {
        const size_t measured = len;
        out.assign(len, u'\0');
        st = PunycodeDecode(s.data(), s.size(), len, out.data());
        EXPECT_EQ(len, measured);
    }
    if (status) *status = st;
    return st == pc_Success ? out : std::u16string();
}

}  // namespace

// The sample strings of the Punycode definition.
TEST(Punycode, SampleStringsEncodeAndDecode) {
    struct Case {
        std::u16string text;
        std::string code;
    } cases[] = {
        {u"\u0644\u064a\u0647\u0645\u0627\u0628\u062a\u0643\u0644\u0645\u0648\u0634\u0639\u0631"
         u"\u0628\u064a\u061f",
         "egbpdaj6bu4bxfgehfvwxn"},
        {u"\u4ed6\u4eec\u4e3a\u4ec0\u4e48\u4e0d\u8bf4\u4e2d\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
        {u"\u4ed6\u5011\u7232\u4ec0\u9ebd\u4e0d\u8aaa\u4e2d\u6587", "ihqwctvzc91f659drss3x8bo0yb"},
        {u"Pro\u010dprost\u011bnemluv\u00ed\u010desky", "Proprostnemluvesky-uyb24dma41a"},
        {u"\u05dc\u05de\u05d4\u05d4\u05dd\u05e4\u05e9\u05d5\u05d8\u05dc\u05d0\u05de\u05d3\u05d1"
         u"\u05e8\u05d9\u05dd\u05e2\u05d1\u05e8\u05d9\u05ea",
         "4dbcagdahymbxekheh6e0a7fei0b"},
        {u"\u092f\u0939\u0932\u094b\u0917\u0939\u093f\u0928\u094d\u0926\u0940\u0915\u094d\u092f"
         u"\u094b\u0902\u0928\u0939\u0940\u0902\u092c\u094b\u0932\u0938\u0915\u0924\u0947\u0939"
         u"\u0948\u0902",
         "i1baa7eci9glrd9b2ae1bj0hfcgg6iyaf8o0a1dig0cd"},
        {u"\u306a\u305c\u307f\u3093\u306a\u65e5\u672c\u8a9e\u3092\u8a71\u3057\u3066\u304f\u308c"
         u"\u306a\u3044\u306e\u304b",
         "n8jok5ay5dzabd5bym9f0cm5685rrjetr6pdxa"},
        {u"\uc138\uacc4\uc758\ubaa8\ub4e0\uc0ac\ub78c\ub4e4\uc774\ud55c\uad6d\uc5b4\ub97c\uc774"
         u"\ud574\ud55c\ub2e4\uba74\uc5bc\ub9c8\ub098\uc88b\uc744\uae4c",
         "989aomsvi5e83db1d2a355cv1e0vak1dwrv93d5xbh15a0dt30a5jpsd879ccm6fea98c"},
        {u"\u043f\u043e\u0447\u0435\u043c\u0443\u0436\u0435\u043e\u043d\u0438\u043d\u0435\u0433"
         u"\u043e\u0432\u043e\u0440\u044f\u0442\u043f\u043e\u0440\u0443\u0441\u0441\u043a\u0438",
         "b1abfaaepdrnnbgefbadotcwatmq2g4l"},
        {u"Porqu\u00e9nopuedensimplementehablarenEspa\u00f1ol",
         "PorqunopuedensimplementehablarenEspaol-fmd56a"},
        {u"T\u1ea1isaoh\u1ecdkh\u00f4ngth\u1ec3ch\u1ec9n\u00f3iti\u1ebfngVi\u1ec7t",
         "TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g"},
        {u"3\u5e74B\u7d44\u91d1\u516b\u5148\u751f", "3B-ww4c5e180e575a65lsy2b"},
        {u"\u5b89\u5ba4\u5948\u7f8e\u6075-with-SUPER-MONKEYS",
         "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
        {u"Hello-Another-Way-\u305d\u308c\u305e\u308c\u306e\u5834\u6240",
         "Hello-Another-Way--fc4qua05auwb3674vfr0b"},
        {u"\u3072\u3068\u3064\u5c4b\u6839\u306e\u4e0b2", "2-u9tlzr9756bt3uc0v"},
        {u"Maji\u3067Koi\u3059\u308b5\u79d2\u524d", "MajiKoi5-783gue6qz075azm5e"},
        {u"\u30d1\u30d5\u30a3\u30fcde\u30eb\u30f3\u30d0", "de-jg4avhby1noc0d"},
        {u"\u305d\u306e\u30b9\u30d4\u30fc\u30c9\u3067", "d9juau41awczczp"},
        {u"-> $1.00 <-", "-> $1.00 <--"},
        // beyond the samples: a character outside the BMP is one code point
        {u"a\U0001F600b", "ab-no82a"},
        {u"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Encode(c.text), c.code);
        EXPECT_EQ(Decode(c.code), c.text) << c.code;
    }
    // digits are accepted in either letter case
    EXPECT_EQ(Decode("b1abfaaepdrnnbgefbaDotcwatmq2g4l"),
              Decode("b1abfaaepdrnnbgefbadotcwatmq2g4l"));
}

TEST(Punycode, StatusCodes) {
    struct Case {
        std::string code;
        TPunycodeStatus status;
    } decodeCases[] = {
        {"a\x80-b", pc_BadInput},          // non-ASCII in the basic part
        {"ab-c!", pc_BadInput},            // not a digit
        {"ab-z", pc_BadInput},             // ends inside an integer
        {"-abc", pc_BadInput},             // a leading '-' is read as a digit
        {"zzzzzzzzzzzzzzz", pc_BadInput},  // a code point beyond U+10FFFF
        {"99999999999999a", pc_Overflow},  // weight beyond 32 bits
        {"egbpdaj6bu4bxfgehfvwxn", pc_Success},
    };
    for (const auto& c : decodeCases) {
        TPunycodeStatus st;
        Decode(c.code, &st);
        EXPECT_EQ(st, c.status) << c.code;
    }

    // the room is checked on both sides
    const std::u16string text = u"b\u00fccher";
    char small[5];
    size_t len = sizeof small;
    EXPECT_EQ(PunycodeEncode(text.data(), text.size(), len, small), pc_BigOutput);
    char exact[9];
    len = sizeof exact;
    EXPECT_EQ(PunycodeEncode(text.data(), text.size(), len, exact), pc_Success);
    EXPECT_EQ(std::string(exact, len), "bcher-kva");
    char16_t units[5];
    len = 5;
    EXPECT_EQ(PunycodeDecode("bcher-kva", 9, len, units), pc_BigOutput);

    // a lone surrogate is no code point
    TPunycodeStatus st;
    Encode(u"a" + std::u16string(1, char16_t(0xD800)) + u"\u00fc", &st);
    EXPECT_EQ(st, pc_BadInput);
    // the counts of 4100 basic characters before U+10FFFF pass 32 bits
    Encode(std::u16string(4100, u'a') + u"\U0010FFFF", &st);
    EXPECT_EQ(st, pc_Overflow);
}

TEST(Idn, EncodesHostNamesLabelByLabel) {
    struct Case {
        std::u16string name;
        std::string ascii;
    } cases[] = {
        {u"\u043f\u0440\u0438\u043c\u0435\u0440.com", "xn--e1afmkfd.com"},
        {u"b\u00fccher", "xn--bcher-kva"},
        {u"server.example", "server.example"},
        {u"\u043f\u0440\u0438\u043c\u0435\u0440.com.", "xn--e1afmkfd.com."},
        {u"a..b", "a..b"},
        {u".", "."},
        {u"", ""},
        // these two went to the resolver as other names before
        {u"abc\u4e2d.com", "xn--abc-x68d.com"},
        {u"\u00a3.uk", "xn--9a.uk"},
        {std::u16string(3000, u'a') + u"\uffff", "xn--" + std::string(3000, 'a') + "-1i0531n"},
        // an unencodable label fails the whole name
        {u"ok.a" + std::u16string(1, char16_t(0xDC00)) + u".com", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(IdnEncodeHostName(c.name), c.ascii);
}

TEST(Idn, DecodesOnlyLowerCasePrefixedLabelsThatDecode) {
    struct Case {
        std::string ascii;
        std::u16string name;
    } cases[] = {
        {"xn--e1afmkfd.com", u"\u043f\u0440\u0438\u043c\u0435\u0440.com"},
        {"xn--bcher-kva.example.", u"b\u00fccher.example."},
        {"server.example", u"server.example"},
        {"XN--e1afmkfd.com", u"XN--e1afmkfd.com"},
        {"Xn--e1afmkfd", u"Xn--e1afmkfd"},
        {"xn--.com", u"xn--.com"},
        {"xn--ab-c!.com", u"xn--ab-c!.com"},
        {"xn--zzzzzzzzzzzzzzz", u"xn--zzzzzzzzzzzzzzz"},
        {"a..\xe9", u"a..\u00e9"},
        {"", u""},
    };
    for (const auto& c : cases) EXPECT_EQ(IdnDecodeHostName(c.ascii), c.name) << c.ascii;

    const std::u16string names[] = {u"\u4e2d\u6587.\u043f\u0440\u0438\u043c\u0435\u0440.",
                                    u"abc\u4e2d.com", u"a\U0001F600b.net"};
    for (const auto& n : names) EXPECT_EQ(IdnDecodeHostName(IdnEncodeHostName(n)), n);
}
