#include "server/gax_qor_svc_admins.h"

#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_clientfields.h"

namespace gax {

namespace {

constexpr int32_t kMaxFields = 22;

using D = TQORSVCAdminData;
constexpr TQORSVCClientFieldMembers<D> kClientFields{
    {&D::add_CountryANSI, &D::add_CityCityPartANSI, &D::add_BandChannelANSI,
     &D::add_CallsignOpnameANSI},
    {&D::add_CountryUTF8, &D::add_CityCityPartUTF8, &D::add_BandChannelUTF8,
     &D::add_CallsignOpnameUTF8},
    &D::add_ClientType};

bool ParseLine(std::string_view aLine, TQORSVCAdminRecord& aRec, bool& aRewrite) {
    std::string_view f[kMaxFields];
    const int32_t n = SplitFieldsBuf(aLine, f, kMaxFields);
    if (n < 2) return false;
    std::string name;
    TQORSVCAdminData& d = aRec.Data;
    if (!ParseNetworkNameField(f[0], name)) return false;
    if (!ParseClientIdField(f[1], d.add_AdmHashA, aRewrite)) return false;
    aRec.NetworkNameUCS2 = Utf8StrToUnicode(name);

    const TQORSVCClientTextSlots slots = kClientFields.Slots(d);
    if (!ReadClientAnsiFileFields(f + 2, slots)) return false;
    d.add_RegisterEpoch = ParseRegisterTimeField(f[7], true, aRewrite);

    bool any, valid;
    if (!ReadClientUtf8FileFields(f + 8, slots, any, valid)) return false;
    // Invalid texts are kept as they are; the items then show the 8-bit fields.
    d.add_UTF8 = any && valid;
    return true;
}

std::vector<TQORSVCAdminRecord> ReadLines(TQORSVCListFileLines& aLines, bool& aRewrite) {
    return ReadListFileRecords<TQORSVCAdminRecord>(aLines, true, aRewrite, ParseLine);
}

}  // namespace

std::string MakeAdminFileLine(std::string_view aNetworkNameUTF8, const TQORSVCAdminData& d) {
    std::string s(aNetworkNameUTF8);
    s.append("|").append(d.add_AdmHashA);
    const TQORSVCClientTexts texts = kClientFields.Texts(d);
    AppendClientAnsiFileFields(s, texts, d.add_RegisterEpoch);
    AppendClientUtf8FileFields(s, texts);
    s.append("\r\n");
    return s;
}

void TQORSVCAdmin::SetAdminFromData(const Data& aData) {
    f_Data = aData;
    f_Key = KeyOf(f_Data);
    const Data& d = f_Data;
    f_RecordForFile = MakeAdminFileLine(f_NetworkNameUTF8, d);

    const TQORSVCClientTexts texts = kClientFields.Texts(d);

    std::string v0;
    AppendClientTagItemsV0(v0, texts, true);
    AppendTagItem(v0, "ID", d.add_AdmHashA);
    v0.append("\r\n");
    f_RecordForClientV0 = std::move(v0);

    std::string v1;
    v1.push_back(d.add_UTF8 ? '1' : '0');
    v1.push_back(DigitChar(d.add_ClientType));
    AppendClientTypedItemsV1(v1, texts, d.add_UTF8);
    AppendTypedFieldItem(v1, '8', d.add_AdmHashA);
    if (d.add_RegisterEpoch > 0) AppendTypedFieldItem(v1, 'C', std::to_string(d.add_RegisterEpoch));
    v1.append("\r\n");
    f_RecordForClientV1 = std::move(v1);
}

bool TQORSVCAdmin::IsEqualAdminData(const Data& a) const {
    const Data& d = f_Data;
    return d.add_AdmHashA == a.add_AdmHashA &&
           SameClientFields(kClientFields.Texts(d), kClientFields.Texts(a));
}

std::vector<TQORSVCAdminRecord> ReadAdminsFile(std::u16string_view aFileName, bool& aRewrite) {
    TQORSVCListFileLines lines(aFileName, kQORSVCListLineLimit, true);
    return ReadLines(lines, aRewrite);
}

std::vector<TQORSVCAdminRecord> ParseAdminsFileBytes(std::string aBytes, bool& aRewrite) {
    TQORSVCListFileLines lines(std::move(aBytes), kQORSVCListLineLimit, true);
    return ReadLines(lines, aRewrite);
}

bool MergeAdminsList(TQORSVCAdminList& aList, const TQORSVCAdminList& aRead,
                     bool aRereadCompareAttr, TQORSVCListMergeOutcome& aOutcome) {
    return MergeClientFieldsList(
        aList, aRead, &D::add_AdmHashA, true, aOutcome, [&](TQORSVCAdmin& aHeld, const D& aData) {
            return TakeOverChangedData(aHeld, aData, &TQORSVCAdmin::IsEqualAdminData,
                                       &D::add_AdmHashA, aRereadCompareAttr, aOutcome);
        });
}

}  // namespace gax
