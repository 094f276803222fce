// The character sets the system knows: one TLangInfo per code page, and the
// charset code list (name -> code page) that the program builds from them once
// and hands to the converters and the configuration readers. A list is owned
// by whoever created it; converters only refer to it. A list is not changed
// after it is built, so any number of threads may read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace gax {

// The code page of the platform's default 8-bit conversion (entry 0 of a list).
constexpr uint32_t kDefaultCodePage = 0xFFFFFFFF;

struct TLangInfo {
    uint32_t li_CodePage = 0;
    uint32_t li_FamilyCodePage = 0;
    std::u16string li_Description;
    std::u16string li_Charset;  // upper case
    std::u16string li_FixedWidthFont;
    std::u16string li_ProportionalFont;
    uint8_t li_GDICharset = 0;
};
using TLangInfoArray = std::vector<TLangInfo>;

struct TCharsetCode {
    std::u16string Name;
    uint32_t CodePage;
};

// Ordered {name, code page} list. Names may repeat; lookups take the first
// match without regard to ASCII letter case.
class TCharsetsCodeList {
  public:
    void Add(std::u16string name, uint32_t codePage);
    size_t Count() const { return f_Items.size(); }
    const TCharsetCode& operator[](size_t i) const { return f_Items[i]; }
    // Index of the first entry with that name, or -1.
    int IndexOfName(std::u16string_view name) const;

  private:
    std::vector<TCharsetCode> f_Items;
};

// Empties the list and fills it with the system's character sets, then adds
// "CP<n>" entries for the default console and 8-bit code pages when missing.
void EnumMLangCodePages(TLangInfoArray& list);
// Appends {code page, "CP<n>"} for the OEM code page when no entry has it, then
// for the ANSI code page when no entry has it and it differs from the OEM one.
void AddMissingDefaultCodePages(TLangInfoArray& list, uint32_t oemCodePage, uint32_t ansiCodePage);
// Index of the first entry with that code page, or -1.
int FindLangInfoByCodePage(const TLangInfoArray& list, uint32_t codePage);
// Entry 0 is the empty name with kDefaultCodePage, then one entry per element.
std::unique_ptr<TCharsetsCodeList> CharsetsCodeListFromLangInfo(const TLangInfoArray& list);
// A list from a fresh enumeration; the caller owns it.
std::unique_ptr<TCharsetsCodeList> CreateCharsetsCodeList();

// Per-thread set-up and tear-down that the platform's character-set service
// needs; nothing is needed here, so both do nothing.
void ComInitializeThread();
void ComUninitializeThread();

}  // namespace gax
