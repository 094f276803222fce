#include "sockets/gax_snps_utils.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace gax;

std::string Bin(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += char(b);
    return s;
}

std::string Groups(std::initializer_list<int> g) {
    std::string s;
    for (int v : g) {
        s += char(v >> 8);
        s += char(v & 0xFF);
    }
    return s;
}

TEST(AddressTexts, IPv4Check) {
    for (const char16_t* t :
         {u"192.168.0.1", u"0.0.0.0", u"255.255.255.255", u" 10 . 0.0. 1 ", u"010.0.0.1"})
        EXPECT_TRUE(IsIPv4Text(std::u16string_view(t)));
    for (const char16_t* t : {u"192.168.0.256", u"1.2.3", u"1.2.3.4.5", u"", u"a.b.c.d", u"1..2.3",
                              u"1.2.3.", u"-1.2.3.4", u"1.2.3.4 x"})
        EXPECT_FALSE(IsIPv4Text(std::u16string_view(t)));
    EXPECT_TRUE(IsIPv4Text(std::string_view("127.0.0.1")));
    EXPECT_FALSE(IsByteText(std::u16string_view(u"")));
    EXPECT_TRUE(IsByteText(std::u16string_view(u"255")));
    EXPECT_FALSE(IsByteText(std::u16string_view(u"99999999999")));
}

TEST(AddressTexts, IPv6Check) {
    for (const char16_t* t : {u"::", u"::1", u"1:2", u"fe80::1%4", u"2001:db8::ff00:42:8329",
                              u"1:2:3:4:5:6:7:8", u" 1 : 2 "})
        EXPECT_TRUE(IsIPv6Text(std::u16string_view(t))) << std::string(t, t + 3);
    for (const char16_t* t : {u"abc", u":::1", u"1::", u"1:2:3:4:5:6:7:8:9", u"12345::1",
                              u"1::2::3", u"fe80::1%eth0", u"::ffff:1.2.3.4", u"localhost", u""})
        EXPECT_FALSE(IsIPv6Text(std::u16string_view(t)));
    EXPECT_TRUE(IsIPv6Text(std::string_view("::1")));
}

TEST(AddressTexts, Conversions) {
    EXPECT_EQ(IPv4TextToBytes(std::u16string_view(u"192.168.0.1")), Bin({192, 168, 0, 1}));
    EXPECT_EQ(IPv4TextToBytes(std::string_view("010.0.0.9")), Bin({10, 0, 0, 9}));
    EXPECT_EQ(ExpandIPv6Text("::1"), "0:0:0:0:0:0:0:1");
    EXPECT_EQ(ExpandIPv6Text("1::"), "1:0:0:0:0:0:0:0");
    EXPECT_EQ(ExpandIPv6Text("::"), "0:0:0:0:0:0:0:0");
    EXPECT_EQ(ExpandIPv6Text("1::2:3:4:5:6:7"), "1:0:2:3:4:5:6:7");
    EXPECT_EQ(ExpandIPv6Text("1:2:3:4:5:6:7:8:9"), "");
    EXPECT_EQ(IPv6TextToBin(std::string_view("2001:db8::1")),
              Groups({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(IPv6TextToBin(std::u16string_view(u"fe80::1%4")),
              Groups({0xfe80, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(IPv6TextToBin(std::string_view("1::xyz")), std::string(16, '\0'));
    EXPECT_EQ(IPv6TextToBin(std::string_view("1:2")), std::string(16, '\0'));
}

TEST(AddressTexts, BinaryToText) {
    const struct {
        std::string bin;
        const char16_t* text;
        const char16_t* socks;
    } cases[] = {
        {Groups({0x2001, 0x0db8, 0, 0, 0, 0, 0, 1}), u"2001:db8::1", u"2001:db8::1"},
        {Groups({0, 0, 1, 0, 0, 0, 0, 0}), u"0:0:1::", u"0:0:1::"},
        {Groups({0x2001, 0xdb8, 1, 2, 3, 4, 5, 6}), u"2001:db8:1:2:3:4:5:6",
         u"2001:db8:1:2:3:4:5:6"},
        {Groups({1, 0, 0, 0, 0, 0, 0xffff, 2}), u"1::ffff:2", u"1::ffff:2"},
        {Groups({0, 0, 0, 0, 0, 0, 0, 0}), u"::", u"::0"},
        {Groups({0, 0, 0, 0, 0, 0, 0, 1}), u"::1", u"::1"},
        {Groups({1, 0, 2, 3, 4, 5, 6, 7}), u"1:0:2:3:4:5:6:7", u"1::2:3:4:5:6:7"},
        {Groups({1, 0, 0, 2, 0, 0, 3, 4}), u"1::2:0:0:3:4", u"1::2:0:0:3:4"},
        {Groups({1, 0, 0, 2, 0, 0, 0, 4}), u"1:0:0:2::4", u"1:0:0:2::4"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IPv6BinToText(c.bin), c.text);
        EXPECT_EQ(SocksIPv6Text(c.bin), c.socks);
        EXPECT_EQ(AddrBinToText(c.bin), c.text);
    }
    EXPECT_EQ(AddrBinToText(Bin({127, 0, 0, 1})), u"127.0.0.1");
    EXPECT_EQ(IPv4BytesToText(Bin({10, 0, 200, 255})), u"10.0.200.255");
    EXPECT_EQ(AddrBinToText("abc"), u"");
    EXPECT_EQ(AddrBinToText(Groups({0, 0, 0, 0, 0, 0xffff, 0x7f00, 1})), u"::ffff:7f00:1");
}

TEST(AddressTexts, SinToAddrBin) {
    plat::SockAddr a;
    a.sin.sin_family = plat::kAfInet;
    std::memcpy(&a.sin.sin_addr, "\x7f\x00\x00\x01", 4);
    EXPECT_EQ(SinToAddrBin(a, false), Bin({127, 0, 0, 1}));
    plat::SockAddr m;
    m.sin6.sin6_family = plat::kAfInet6;
    std::string mapped = Groups({0, 0, 0, 0, 0, 0xffff, 0x7f00, 1});
    std::memcpy(&m.sin6.sin6_addr, mapped.data(), 16);
    EXPECT_EQ(SinToAddrBin(m, false), Bin({127, 0, 0, 1}));
    EXPECT_EQ(SinToAddrBin(m, true), mapped);
    plat::SockAddr none;
    EXPECT_EQ(SinToAddrBin(none, false), "");
}

TEST(AddressTexts, HostPort) {
    const struct {
        const char16_t* host;
        const char16_t* port;
        const char16_t* out;
    } cases[] = {
        {u"::0", u"10024", u"[::]:10024"}, {u"::1", u"10023", u"[::1]:10023"},
        {u"[::0]", u"1", u"[::]:1"},       {u"127.0.0.1", u"10023", u"127.0.0.1:10023"},
        {u"[::1]", u"5", u"[::1]:5"},      {u"host.example", u"80", u"host.example:80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatHostPort(c.host, c.port), c.out);
        TStringBldU b;
        AppendStr(b, u">");
        AppendHostPort(b, c.host, c.port);
        EXPECT_EQ(std::u16string_view(b.Text.data(), b.Len), u">" + std::u16string(c.out));
        std::u16string h(c.host), p(c.port), o(c.out);
        EXPECT_EQ(FormatHostPortA(std::string(h.begin(), h.end()), std::string(p.begin(), p.end())),
                  std::string(o.begin(), o.end()));
    }
    EXPECT_EQ(ShortAnyAddress(u"::0"), u"::");
    EXPECT_EQ(ShortAnyAddressA("[::0]"), "[::]");
    EXPECT_EQ(ShortAnyAddressA("::01"), "::01");
}

TEST(ByteAndTextHelpers, Table) {
    EXPECT_EQ(WordToBytesBE(0x1234), Bin({0x12, 0x34}));
    EXPECT_EQ(BytesBEToWord(Bin({0xAB, 0x12, 0x34}), 2), 0x1234);
    EXPECT_EQ(BytesBEToWord(Bin({0xAB}), 1), 0xAB00);
    EXPECT_EQ(BytesBEToWord("", 5), 0);
    EXPECT_EQ(LongToBytesBE(0x01020304), Bin({1, 2, 3, 4}));
    EXPECT_EQ(SwapLong(0x01020304u), 0x04030201u);
    EXPECT_EQ(TrimBlanks("  a b \t "), "a b \t");
    EXPECT_EQ(TrimBlanksLeft("  a "), "a ");
    EXPECT_EQ(TrimBlanksRight("  a "), "  a");
    EXPECT_EQ(TextBefore("key: value", ":"), "key");
    EXPECT_EQ(TextAfter("key: value", ":"), " value");
    EXPECT_EQ(TextBefore("none", ":"), "none");
    EXPECT_EQ(TextAfter("none", ":"), "none");
    std::string t = "a, b ,c";
    EXPECT_EQ(FetchPart(t, ","), "a");
    EXPECT_EQ(t, " b ,c");
    EXPECT_EQ(FetchPartTrim(t, ","), "b");
    EXPECT_EQ(t, "c");
    EXPECT_EQ(FetchPart(t, ","), "c");
    EXPECT_EQ(t, "");
    EXPECT_EQ(ReplaceAllA("a-b-c", "-", "--"), "a--b--c");
    EXPECT_EQ(ReplaceAllA("abc", "", "x"), "abc");
    std::string term;
    EXPECT_EQ(FindLineEnd("ab\r\ncd", term), 2);
    EXPECT_EQ(term, "\r\n");
    EXPECT_EQ(FindLineEnd("ab\n\rcd", term), 2);
    EXPECT_EQ(term, "\n\r");
    EXPECT_EQ(FindLineEnd("ab\r", term), 2);
    EXPECT_EQ(term, "\r");
    EXPECT_EQ(FindLineEnd("ab\n\n", term), 2);
    EXPECT_EQ(term, "\n");
    EXPECT_EQ(FindLineEnd("ab", term), -1);
    EXPECT_EQ(CountCharW(u"a:b:c", u':'), 2u);
}

}  // namespace
