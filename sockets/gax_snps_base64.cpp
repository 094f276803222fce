#include "sockets/gax_snps_base64.h"

#include <cstdint>

namespace gax {

namespace {

constexpr std::string_view kBase64Table =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

template <class Str>
Str Encode(std::string_view data, std::string_view table) {
    Str out;
    out.reserve((data.size() + 2) / 3 * 4);
    auto put = [&](unsigned index) {
        if (index < table.size()) out.push_back(typename Str::value_type(uint8_t(table[index])));
    };
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        unsigned v = unsigned(uint8_t(data[i])) << 16 | unsigned(uint8_t(data[i + 1])) << 8 |
                     uint8_t(data[i + 2]);
        put(v >> 18);
        put((v >> 12) & 63);
        put((v >> 6) & 63);
        put(v & 63);
    }
    size_t rest = data.size() - i;
    if (rest > 0) {
        unsigned v = unsigned(uint8_t(data[i])) << 16;
        if (rest == 2) v |= unsigned(uint8_t(data[i + 1])) << 8;
        put(v >> 18);
        put((v >> 12) & 63);
        put(rest == 2 ? (v >> 6) & 63 : 64);
        put(64);
    }
    return out;
}

}  // namespace

std::u16string Base64EncodeWithTable(std::string_view data, std::string_view table) {
    return Encode<std::u16string>(data, table);
}

std::u16string EncodeBase64(std::string_view data) {
    return Encode<std::u16string>(data, kBase64Table);
}

std::string EncodeBase64A(std::string_view data) {
    return Encode<std::string>(data, kBase64Table);
}

}  // namespace gax
