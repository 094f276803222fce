#include "foundation/gax_mlang.h"

#include "foundation/gax_strutils.h"
#include "platform/plat_charset.h"

namespace gax {

namespace {

TLangInfo CpEntry(uint32_t codePage) {
    TLangInfo li;
    li.li_CodePage = codePage;
    li.li_Charset = u"CP" + IntToDecStrW(codePage);
    return li;
}

}  // namespace

void TCharsetsCodeList::Add(std::u16string name, uint32_t codePage) {
    f_Items.push_back({std::move(name), codePage});
}

int TCharsetsCodeList::IndexOfName(std::u16string_view name) const {
    for (size_t i = 0; i < f_Items.size(); ++i)
        if (SameTextAsciiW(f_Items[i].Name, name)) return static_cast<int>(i);
    return -1;
}

void AddMissingDefaultCodePages(TLangInfoArray& list, uint32_t oemCodePage, uint32_t ansiCodePage) {
    if (FindLangInfoByCodePage(list, oemCodePage) < 0) list.push_back(CpEntry(oemCodePage));
    if (ansiCodePage != oemCodePage && FindLangInfoByCodePage(list, ansiCodePage) < 0)
        list.push_back(CpEntry(ansiCodePage));
}

void EnumMLangCodePages(TLangInfoArray& list) {
    list.clear();
    for (const plat::CharsetInfo& e : plat::KnownCharsets()) {
        TLangInfo li;
        li.li_CodePage = e.codePage;
        li.li_FamilyCodePage = e.codePage;
        li.li_Description = ByteStrToUnicode(e.description);
        li.li_Charset = ByteStrToUnicode(e.name);
        list.push_back(std::move(li));
    }
    AddMissingDefaultCodePages(list, plat::LocaleCodePage(), plat::kDefaultAnsiCodePage);
}

int FindLangInfoByCodePage(const TLangInfoArray& list, uint32_t codePage) {
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].li_CodePage == codePage) return static_cast<int>(i);
    return -1;
}

std::unique_ptr<TCharsetsCodeList> CharsetsCodeListFromLangInfo(const TLangInfoArray& list) {
    auto r = std::make_unique<TCharsetsCodeList>();
    r->Add(u"", kDefaultCodePage);
    for (const TLangInfo& li : list) r->Add(li.li_Charset, li.li_CodePage);
    return r;
}

std::unique_ptr<TCharsetsCodeList> CreateCharsetsCodeList() {
    TLangInfoArray list;
    EnumMLangCodePages(list);
    return CharsetsCodeListFromLangInfo(list);
}

void ComInitializeThread() {}
void ComUninitializeThread() {}

}  // namespace gax
