#include "server/gax_qor_svc_clientfields.h"

#include "foundation/gax_strutils.h"

namespace gax {

void AppendClientTagItemsV0(std::string& aOut, const TQORSVCClientTexts& t, bool aWithClientType) {
    AppendTagItem(aOut, "NN", *t.ANSI[0]);
    AppendTagItem(aOut, "CT", *t.ANSI[1]);
    AppendTagItem(aOut, "BC", *t.ANSI[2]);
    if (aWithClientType) AppendTagItem(aOut, "CM", std::string(1, DigitChar(t.ClientType)));
    AppendTagItem(aOut, "ON", *t.ANSI[3]);
}

void AppendClientTypedItemsV1(std::string& aOut, const TQORSVCClientTexts& t, bool aUTF8) {
    static constexpr char kTypes[kQORSVCClientTextCount] = {'5', '6', '3', '2'};
    for (int k = 0; k < kQORSVCClientTextCount; ++k)
        AppendTypedFieldItem(aOut, kTypes[k], aUTF8 ? *t.UTF8[k] : *t.ANSI[k]);
}

void AppendClientAnsiFileFields(std::string& aLine, const TQORSVCClientTexts& t,
                                int64_t aRegisterEpoch) {
    for (const std::string* s : t.ANSI) {
        aLine.append("|");
        AppendHexField(aLine, *s);
    }
    aLine.append("|").push_back(DigitChar(t.ClientType));
    aLine.append("|").append(RegisterTimeFieldText(aRegisterEpoch));
}

void AppendClientUtf8FileFields(std::string& aLine, const TQORSVCClientTexts& t) {
    for (const std::string* s : t.UTF8) {
        aLine.append("|");
        AppendHexField(aLine, *s);
    }
}

bool ReadClientAnsiFileFields(const std::string_view* aFields, const TQORSVCClientTextSlots& s) {
    for (int k = 0; k < kQORSVCClientTextCount; ++k)
        if (DecodeHexTextField(*s.ANSI[k], aFields[k]) < 0) return false;
    return ParseClientTypeField(*s.ClientType, aFields[kQORSVCClientTextCount]) >= 0;
}

bool ReadClientUtf8FileFields(const std::string_view* aFields, const TQORSVCClientTextSlots& s,
                              bool& aAnyText, bool& aAllValid) {
    aAnyText = false;
    aAllValid = true;
    for (int k = 0; k < kQORSVCClientTextCount; ++k) {
        if (DecodeHexTextField(*s.UTF8[k], aFields[k]) < 0) return false;
        if (!s.UTF8[k]->empty()) aAnyText = true;
        if (!IsValidUtf8Str(*s.UTF8[k])) aAllValid = false;
    }
    return true;
}

void ClearClientUtf8Texts(const TQORSVCClientTextSlots& s) {
    for (std::string* t : s.UTF8) t->clear();
}

bool SameClientFields(const TQORSVCClientTexts& a, const TQORSVCClientTexts& b) {
    for (int k = 0; k < kQORSVCClientTextCount; ++k)
        if (*a.ANSI[k] != *b.ANSI[k] || *a.UTF8[k] != *b.UTF8[k]) return false;
    return a.ClientType == b.ClientType;
}

}  // namespace gax
