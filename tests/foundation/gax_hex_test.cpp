#include "foundation/gax_hex.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

using namespace gax;

TEST(Hex, Encode) {
    EXPECT_EQ(BytesToHexA(std::string("\x00\xAB\xFF", 3)), "00ABFF");
    EXPECT_EQ(BytesToHexW(std::string("\x01\x9f", 2)), u"019F");
    EXPECT_EQ(BytesToHexA(""), "");
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(BytesToHexBufA(buf, "\x5a", 1), buf + 2);
    EXPECT_EQ(BytesToHexBufA(buf, "\x5a", 0), buf);
    EXPECT_EQ(std::string(buf, 4), "5Axx");
    // Every byte value survives the round trip.
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    EXPECT_EQ(HexToBytesStr(BytesToHexW(all)), all);
}

TEST(Hex, TryDecodeSkipsBlanksTable) {
    struct Case {
        std::string text;
        int result;
        std::string bytes;
    } cases[] = {
        {"0a B1", 2, "\x0A\xB1"},  // blanks even between the digits of one byte
        {"0a\r\n\tB 1", 2, "\x0A\xB1"}, {"0A1", -1, ""}, {"0G", -1, ""}, {"", 0, ""}, {"  ", 0, ""},
        {"ffFF", 2, "\xFF\xFF"},
    };
    for (const auto& c : cases) {
        char out[8] = {};
        int n = TryHexToBytesBuf(out, 8, c.text.data(), static_cast<int>(c.text.size()));
        EXPECT_EQ(n, c.result) << c.text;
        if (n >= 0) {
            EXPECT_EQ(std::string(out, n), c.bytes) << c.text;
        }
    }
    char two[2];
    EXPECT_EQ(TryHexToBytesBuf(two, 2, "0102", 4), 2);
    EXPECT_EQ(TryHexToBytesBuf(two, 2, "010203", 6), -1) << "a full buffer is a failure";
}

TEST(Hex, StrictDecodeErrors) {
    EXPECT_EQ(HexToBytesStr(u"0a"), "\x0A");
    EXPECT_EQ(HexToBytesStr(u""), "");
    struct Case {
        std::u16string_view text;
        std::u16string_view message;
        bool isLength;
    } cases[] = {
        {u"0", u"Invalid HEX length", true},
        {u"0 A", u"Invalid HEX character", false},
        {u"0G", u"Invalid HEX character", false},
        {u"abc", u"Invalid HEX length", true},
    };
    for (const auto& c : cases) {
        std::string name(c.text.begin(), c.text.end());
        try {
            HexToBytesStr(c.text);
            ADD_FAILURE() << name << " decoded";
        } catch (const EInvalidHexLengthError& e) {
            EXPECT_TRUE(c.isLength) << name;
            EXPECT_EQ(e.Message(), c.message);
        } catch (const EInvalidHexCharacterError& e) {
            EXPECT_FALSE(c.isLength) << name;
            EXPECT_EQ(e.Message(), c.message);
            EXPECT_EQ(e.ClassName(), u"EInvalidHexCharacterError");
        }
    }
    char small[1];
    EXPECT_THROW(HexToBytesBufW(small, 1, u"0102", 4), Exception);
    EXPECT_THROW(HexToBytesStr(u"0"), EConvertError);
}

TEST(Hex, Streams) {
    // More digits than one portion or one lenient buffer holds.
    std::string data;
    for (int i = 0; i < 20000; ++i) data.push_back(static_cast<char>(i * 7));
    std::u16string hex = BytesToHexW(data);
    std::ostringstream out;
    HexToStream(hex.data(), static_cast<int>(hex.size()), out);
    EXPECT_EQ(out.str(), data);

    std::u16string spaced;
    for (size_t i = 0; i < hex.size(); ++i) {
        spaced += hex[i];
        if (i % 61 == 0) spaced += u"\r\n ";
    }
    std::ostringstream lenient;
    HexToStreamLenient(spaced.data(), static_cast<int>(spaced.size()), lenient);
    EXPECT_EQ(lenient.str(), data);

    std::ostringstream bad;
    EXPECT_THROW(HexToStream(u"00zz", 4, bad), EInvalidHexCharacterError);
    EXPECT_TRUE(bad.str().empty());
    EXPECT_THROW(HexToStreamLenient(u"0 0 1", 5, bad), EInvalidHexLengthError);
    EXPECT_THROW(HexToStreamLenient(u"0 x", 3, bad), EInvalidHexCharacterError);

    char16_t clean[8];
    EXPECT_EQ(CleanHexDigitsW(clean, 8, u" a\tb 0f", 7), 4);
    EXPECT_EQ(std::u16string(clean, 4), u"AB0F");
    char16_t* end = RemoveSpaceCharsW(clean, 8, u"a\u00a0b\u3000c ", 6);
    EXPECT_EQ(std::u16string(clean, end), u"abc");
}

TEST(Hex, ParseCardinalTable) {
    struct Case {
        std::u16string_view text;
        bool ok;
        uint32_t value;
    } cases[] = {
        {u" ff", true, 255},
        {u"FFFFFFFF", true, 4294967295u},
        {u"0000000FFFFFFFF", true, 4294967295u},
        {u"0", true, 0},
        {u"100000000", false, 0},
        {u"ff ", false, 0},
        {u"0x1F", false, 0},
        {u"$1F", false, 0},
        {u"", false, 0},
        {u"  ", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t v = 77;
        EXPECT_EQ(TryParseHexCardinalW(c.text, v), c.ok)
            << std::string(c.text.begin(), c.text.end());
        EXPECT_EQ(v, c.ok ? c.value : 77u);
    }
}

TEST(Checksums, CheckValuesAndContinuation) {
    const char* digits = "123456789";
    EXPECT_EQ(Crc16Update(0, digits, 9), 0xBB3D);
    EXPECT_EQ(Crc32Update(0, digits, 9), 0xCBF43926u);
    // Feeding the result of one call into the next continues the checksum.
    EXPECT_EQ(Crc32Update(Crc32Update(0, digits, 4), digits + 4, 5), 0xCBF43926u);
    EXPECT_EQ(Crc16Update(Crc16Update(0, digits, 4), digits + 4, 5), 0xBB3D);
    EXPECT_EQ(Crc16Update(0x1234, digits, 0), 0x1234);
    EXPECT_EQ(Crc16Update(0x1234, nullptr, 5), 0x1234);
    EXPECT_EQ(Crc32Update(0xABCD, digits, -1), 0xABCDu);
    // Text form: the UTF-16 bytes, low byte first.
    EXPECT_EQ(Crc32UpdateText(0, u"1\u0102"), Crc32Update(0, "1\x00\x02\x01", 4));
}
