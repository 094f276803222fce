#include "sockets/gax_snps_md5.h"

#include <gtest/gtest.h>

#include "sockets/gax_snps_base64.h"

namespace {

using namespace gax;

std::string Hex(const TMd5Digest& d) {
    static const char* k = "0123456789abcdef";
    std::string s;
    for (uint8_t b : d) {
        s += k[b >> 4];
        s += k[b & 15];
    }
    return s;
}

std::string Md5Hex(const std::string& in) {
    TMd5ContextRec ctx;
    Md5InitContext(ctx);
    Md5UpdateString(ctx, in);
    TMd5Digest d;
    Md5FinishDigest(ctx, d);
    return Hex(d);
}

TEST(Md5, Rfc1321TestSuite) {
    const struct {
        const char* in;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) EXPECT_EQ(Md5Hex(c.in), c.digest) << c.in;
}

TEST(Md5, PiecewiseUpdatesEqualOneUpdate) {
    std::string data(1000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7);
    for (size_t step : {1u, 3u, 63u, 64u, 65u, 999u}) {
        TMd5ContextRec ctx;
        Md5InitContext(ctx);
        for (size_t i = 0; i < data.size(); i += step)
            Md5UpdateBuffer(ctx, data.data() + i, std::min(step, data.size() - i));
        TMd5Digest d;
        Md5FinishDigest(ctx, d);
        EXPECT_EQ(Hex(d), Md5Hex(data)) << step;
    }
    TMd5Digest d{};
    d[0] = 0xAB;
    EXPECT_EQ(Md5DigestToString(d).size(), 16u);
    EXPECT_EQ(uint8_t(Md5DigestToString(d)[0]), 0xAB);
}

TEST(Base64, EncodeAndTables) {
    const struct {
        std::string in;
        const char16_t* out;
    } cases[] = {
        {"", u""},       {"abc", u"YWJj"},      {std::string(1, '\0'), u"AA=="},
        {"ab", u"YWI="}, {"abcd", u"YWJjZA=="}, {"\xff\xfe\xfd", u"//79"},
    };
    for (const auto& c : cases) EXPECT_EQ(EncodeBase64(c.in), c.out) << c.in;
    EXPECT_EQ(EncodeBase64A("user:pass"), "dXNlcjpwYXNz");
    // A 64-character table writes no padding.
    EXPECT_EQ(Base64EncodeWithTable(
                  "a", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              u"YQ");
}

}  // namespace
