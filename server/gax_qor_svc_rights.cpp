#include "server/gax_qor_svc_rights.h"

#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_clientfields.h"

namespace gax {

namespace {

constexpr int32_t kMaxFields = 22;

using D = TQORSVCAccessData;
constexpr TQORSVCClientFieldMembers<D> kClientFields{
    {&D::acd_CountryANSI, &D::acd_CityCityPartANSI, &D::acd_BandChannelANSI,
     &D::acd_CallsignOpnameANSI},
    {&D::acd_CountryUTF8, &D::acd_CityCityPartUTF8, &D::acd_BandChannelUTF8,
     &D::acd_CallsignOpnameUTF8},
    &D::acd_ClientType};

bool ParseLine(std::string_view aLine, TQORSVCAccessRecord& aRec, bool& aRewrite) {
    std::string_view f[kMaxFields];
    const int32_t n = SplitFieldsBuf(aLine, f, kMaxFields);
    if (n < 3) return false;
    std::string name;
    TQORSVCAccessData& d = aRec.Data;
    if (!ParseNetworkNameField(f[0], name) || TrimBlanksViewA(f[2]).empty()) return false;
    aRec.NetworkNameUCS2 = Utf8StrToUnicode(name);

    const std::string_view mark = TrimBlanksViewA(f[1]);
    d.acd_Marked = mark.size() == 1 && mark[0] != '0';

    if (DecodeHexTextField(d.acd_EMailA, f[2]) <= 0) return false;
    d.acd_EMailSort = MakeDwordPaddedKey(d.acd_EMailA);
    const TQORSVCClientTextSlots slots = kClientFields.Slots(d);
    if (!ReadClientAnsiFileFields(f + 3, slots)) return false;
    d.acd_RegisterEpoch = ParseRegisterTimeField(f[8], true, aRewrite);

    bool valid;
    if (!ReadClientUtf8FileFields(f + 9, slots, d.acd_UTF8, valid)) return false;
    if (d.acd_UTF8 && !valid) {
        ClearClientUtf8Texts(slots);
        d.acd_UTF8 = false;
        aRewrite = true;
    }
    return true;
}

std::vector<TQORSVCAccessRecord> ReadLines(TQORSVCListFileLines& aLines, bool& aRewrite) {
    return ReadListFileRecords<TQORSVCAccessRecord>(aLines, true, aRewrite, ParseLine);
}

}  // namespace

std::string MakeAccessFileLine(std::string_view aNetworkNameUTF8, const TQORSVCAccessData& d) {
    std::string s(aNetworkNameUTF8);
    s.append(d.acd_Marked ? "|1|" : "|0|");
    AppendHexField(s, d.acd_EMailA);
    const TQORSVCClientTexts texts = kClientFields.Texts(d);
    AppendClientAnsiFileFields(s, texts, d.acd_RegisterEpoch);
    AppendClientUtf8FileFields(s, texts);
    s.append("|\r\n");
    return s;
}

void TQORSVCAccess::SetRightFromData(const Data& aData) {
    f_Data = aData;
    f_Data.acd_EMailSort = KeyOf(f_Data);
    Rebuild();
}

bool TQORSVCAccess::SetMarked(bool aMarked) {
    if (f_Data.acd_Marked == aMarked) return false;
    f_Data.acd_Marked = aMarked;
    Rebuild();
    return true;
}

void TQORSVCAccess::Rebuild() {
    const Data& d = f_Data;
    f_AccessRecordFile = MakeAccessFileLine(f_NetworkNameUTF8, d);
    // The lists say "1" for an entry that is NOT marked.
    const std::string_view notMarked = d.acd_Marked ? "0" : "1";
    const TQORSVCClientTexts texts = kClientFields.Texts(d);

    std::string v0;
    AppendTagItem(v0, "AI", notMarked);
    AppendClientTagItemsV0(v0, texts, false);
    AppendTagItem(v0, "ID", d.acd_EMailA);
    v0.append("\r\n");
    f_AccessRecordV0 = std::move(v0);

    std::string v1;
    v1.push_back(d.acd_UTF8 ? '1' : '0');
    v1.append(notMarked);
    AppendClientTypedItemsV1(v1, texts, d.acd_UTF8);
    AppendTypedFieldItem(v1, '0', d.acd_EMailA);
    if (d.acd_RegisterEpoch > 0) AppendTypedFieldItem(v1, 'C', std::to_string(d.acd_RegisterEpoch));
    v1.append("\r\n");
    f_AccessRecordV1 = std::move(v1);
}

bool TQORSVCAccess::IsEqualRightData(const Data& a) const {
    const Data& d = f_Data;
    return d.acd_RegisterEpoch == a.acd_RegisterEpoch && d.acd_EMailA == a.acd_EMailA &&
           SameClientFields(kClientFields.Texts(d), kClientFields.Texts(a));
}

std::vector<TQORSVCAccessRecord> ReadRightsFile(std::u16string_view aFileName, bool& aRewrite) {
    TQORSVCListFileLines lines(aFileName, kQORSVCListLineLimit, true);
    return ReadLines(lines, aRewrite);
}

std::vector<TQORSVCAccessRecord> ParseRightsFileBytes(std::string aBytes, bool& aRewrite) {
    TQORSVCListFileLines lines(std::move(aBytes), kQORSVCListLineLimit, true);
    return ReadLines(lines, aRewrite);
}

bool MergeAccessList(TQORSVCAccessList& aList, const TQORSVCAccessList& aRead,
                     bool aRereadCompareAttr, TQORSVCListMergeOutcome& aOutcome) {
    return MergeClientFieldsList(
        aList, aRead, &D::acd_EMailA, true, aOutcome, [&](TQORSVCAccess& aHeld, const D& aData) {
            bool changed = false;
            if (aHeld.SetMarked(aData.acd_Marked)) {
                aOutcome.MarkChanged.push_back(aData.acd_EMailA);
                changed = true;
            }
            if (TakeOverChangedData(aHeld, aData, &TQORSVCAccess::IsEqualRightData, &D::acd_EMailA,
                                    aRereadCompareAttr, aOutcome))
                changed = true;
            return changed;
        });
}

}  // namespace gax
