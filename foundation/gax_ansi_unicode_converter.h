// Conversions between the server's UTF-16 texts and 8-bit byte strings: UTF-8,
// the console and system default character sets, and TAnsiUnicodeConverter for
// one named character set (a network's, or the raw-byte set "BIN").
// Free functions are safe from any thread. A converter holds no lock: any
// number of threads may convert through one converter at once, but selecting
// a name or assigning a list must not overlap with its conversions.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/gax_mlang.h"
#include "foundation/gax_types.h"

namespace gax {

GAX_DECLARE_EXCEPTION(EAnsiUnicodeConverterError, Exception);
GAX_DECLARE_EXCEPTION(EAnsiUnicodeConverterInvalidCharsetName, EAnsiUnicodeConverterError);
GAX_DECLARE_EXCEPTION(EAnsiUnicodeConverterEmptyCharsetList, EAnsiUnicodeConverterError);

// UTF-16 -> UTF-8. Surrogate pairs become 4-byte sequences; a lone surrogate
// cannot be encoded and becomes U+FFFD, so the result is always valid UTF-8.
std::string UnicodeToUtf8Str(std::u16string_view text);

// The system's standard UTF-8 decoder (Utf8StrToUnicode): bytes that are not
// well-formed UTF-8 (stray or missing continuation bytes, cut or overlong
// sequences, encoded surrogates, values above U+10FFFF) give the empty text.
// A length <= 0 gives the empty text and never reads the pointer.
std::u16string Utf8BufToUnicodeStd(const char* bytes, std::ptrdiff_t len);
std::u16string Utf8BufToUnicodeStd(std::string_view bytes);

// The console ("OEM") character set follows the user's locale; the default
// 8-bit ("ANSI") set is WINDOWS-1252. Names are upper case, as in the list.
uint32_t DefaultOemCodePage();
uint32_t DefaultAnsiCodePage();
const std::string& DefaultOemCharsetName();
const std::string& DefaultAnsiCharsetName();

// Text for the console and standard error in the console character set. In a
// single-byte set every UTF-16 unit gives exactly one byte ('?' when the set
// has no such character); a multi-byte console set (UTF-8) gets the text's
// full encoding.
std::string UnicodeToOemStr(std::u16string_view text);
// The same into a caller's buffer of `capacity` bytes; output beyond the
// capacity is dropped. Returns the position after the last byte written.
char* UnicodeToOemBuf(char* dest, std::size_t capacity, const char16_t* src, std::ptrdiff_t count);
// Text in the default 8-bit set.
std::string UnicodeToSysAnsiStr(std::u16string_view text);

// Filters through which texts pass at fixed points: error texts before they
// are logged or quoted, names and values before they are checked or quoted,
// and console output. They may be replaced at start-up, before other threads run.
using TTextFilter = std::u16string (*)(std::u16string_view);
using TConsoleTextFilter = std::string (*)(std::u16string_view);
std::u16string IdentityText(std::u16string_view text);
extern std::atomic<TTextFilter> ErrorTextHook;
extern std::atomic<TTextFilter> NameTextHook;
extern std::atomic<TConsoleTextFilter> ConsoleTextHook;
inline std::u16string ErrorText(std::u16string_view t) {
    return ErrorTextHook.load()(t);
}
inline std::u16string NameText(std::u16string_view t) {
    return NameTextHook.load()(t);
}
inline std::string ConsoleText(std::u16string_view t) {
    return ConsoleTextHook.load()(t);
}

class TCharsetCodec;  // the conversion tables of one character set

// Converter between UTF-16 and one character set named in a charset code list,
// or the raw-byte set "BIN". Conversions never throw: a character the set
// lacks becomes one '?', a byte the set leaves undefined decodes to the unit of
// the same value, a byte sequence that is no character of a multi-byte set
// decodes to '?', input that is not UTF-8 in the UTF-8 set decodes to the empty
// text, and a set the system cannot convert gives empty results.
class TAnsiUnicodeConverter {
  public:
    TAnsiUnicodeConverter();
    ~TAnsiUnicodeConverter();
    TAnsiUnicodeConverter(const TAnsiUnicodeConverter&) = delete;
    TAnsiUnicodeConverter& operator=(const TAnsiUnicodeConverter&) = delete;

    void Close() {}

    // Must be assigned before any name but "BIN" is selected. The list is not
    // owned and must outlive the converter. Raises "Empty charset list" for a
    // null or empty list, and "Invalid or unknown charset name: " when the
    // selected name is not in the new list; on failure the old list stays.
    void SetCharsetsCodeList(const TCharsetsCodeList* list);
    // Selects a name, trimmed and compared without regard to case. Raises
    // "Empty charset list" when no list was assigned (except for "BIN") and
    // "Invalid or unknown charset name: <name as given>"; on failure the
    // converter is left without a name, converting with the default set.
    void SetCharsetName(std::u16string_view name);

    const std::u16string& CharsetName() const { return f_CharsetNameU; }
    const std::string& CharsetNameA() const { return f_CharsetNameA; }
    uint32_t CodePage() const { return f_CodePage; }
    bool IsBin() const { return f_Bin; }

    std::u16string AnsiToUnicode(std::string_view bytes) const;
    std::u16string AnsiBufToUnicode(const char* buf, std::ptrdiff_t len) const;
    std::string UnicodeToAnsi(std::u16string_view text) const;

    // Checks a name as a converter with that list would take it. A failure is
    // raised again with "<context>: " before its message when context is not empty.
    static void ValidateCharsetName(std::u16string_view name, std::u16string_view context,
                                    const TCharsetsCodeList* list);

  private:
    const TCharsetCodec& Codec() const;

    const TCharsetsCodeList* e_CharsetsCodeList = nullptr;
    uint32_t f_CodePage = kDefaultCodePage;
    bool f_Bin = false;
    std::string f_CharsetNameA;
    std::u16string f_CharsetNameU;
    std::shared_ptr<const TCharsetCodec> f_Codec;  // null: the default 8-bit set
};

}  // namespace gax
