// The system's 8-bit character sets: a fixed table of the sets the server
// knows (code page number, name, description, and the iconv name behind it),
// the locale's character set, and iconv-backed conversions to and from UTF-16.
// Everything here is safe from any thread: the table is immutable once built
// and every conversion opens its own iconv descriptor.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace plat {

struct CharsetInfo {
    uint32_t codePage;
    const char* name;  // upper case, as operators write it (case-insensitively)
    const char* description;
    const char* iconvName;
};

constexpr uint32_t kCodePageUtf8 = 65001;
// The 8-bit set of the PC programs that connect to the server; used for old
// clients when the configuration names none.
constexpr uint32_t kDefaultAnsiCodePage = 1252;

// The entries of the table that this system's iconv can convert, in table
// order. A code page may appear under more than one name.
std::span<const CharsetInfo> KnownCharsets();

// The iconv name for a code page: the table's, else "CP<n>".
std::string IconvNameForCodePage(uint32_t codePage);

// Code page of the character set of the user's locale (LC_CTYPE from the
// environment). The C/POSIX locale, and a set the table does not know, give
// UTF-8: the console of a modern system shows UTF-8.
uint32_t LocaleCodePage();

// Decodes every byte 0..255 on its own. kSingleByte: table[b] is the UTF-16
// unit of byte b, or -1 when the set leaves b undefined. kMultiByte: some byte
// starts a longer sequence (or decodes to more than one unit). kUnavailable:
// iconv does not know the set.
enum class ByteTableResult { kSingleByte, kMultiByte, kUnavailable };
ByteTableResult IconvByteTable(const std::string& iconvName, std::array<int32_t, 256>& table);

// Whole-buffer conversions for sets without a byte table. A byte sequence or a
// character without a mapping becomes one '?' and the conversion goes on.
// False (with an empty result) when iconv cannot convert the set at all.
bool IconvDecode(const std::string& iconvName, std::string_view bytes, std::u16string& out);
bool IconvEncode(const std::string& iconvName, std::u16string_view text, std::string& out);

}  // namespace plat
