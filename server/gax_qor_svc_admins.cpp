#include "server/gax_qor_svc_admins.h"

#include "foundation/gax_strutils.h"

namespace gax {

namespace {

constexpr int32_t kMaxFields = 22;

bool ParseLine(std::string_view aLine, TQORSVCAdminRecord& aRec, bool& aRewrite) {
    std::string_view f[kMaxFields];
    const int32_t n = SplitFieldsBuf(aLine, f, kMaxFields);
    if (n < 2) return false;
    std::string name;
    TQORSVCAdminData& d = aRec.Data;
    if (!ParseNetworkNameField(f[0], name)) return false;
    if (!ParseClientIdField(f[1], d.add_AdmHashA, aRewrite)) return false;
    aRec.NetworkNameUCS2 = Utf8StrToUnicode(name);

    if (DecodeHexTextField(d.add_CountryANSI, f[2]) < 0 ||
        DecodeHexTextField(d.add_CityCityPartANSI, f[3]) < 0 ||
        DecodeHexTextField(d.add_BandChannelANSI, f[4]) < 0 ||
        DecodeHexTextField(d.add_CallsignOpnameANSI, f[5]) < 0 ||
        ParseClientTypeField(d.add_ClientType, f[6]) < 0)
        return false;
    d.add_RegisterEpoch = ParseRegisterTimeField(f[7], true, aRewrite);

    std::string* utf8[] = {&d.add_CountryUTF8, &d.add_CityCityPartUTF8, &d.add_BandChannelUTF8,
                           &d.add_CallsignOpnameUTF8};
    bool any = false;
    bool valid = true;
    for (int k = 0; k < 4; ++k) {
        if (DecodeHexTextField(*utf8[k], f[8 + k]) < 0) return false;
        if (!utf8[k]->empty()) {
            any = true;
            if (!IsValidUtf8Str(*utf8[k])) valid = false;
        }
    }
    // Invalid texts are kept as they are; the items then show the 8-bit fields.
    d.add_UTF8 = any && valid;
    return true;
}

std::vector<TQORSVCAdminRecord> ReadLines(TQORSVCListFileLines& aLines, bool& aRewrite) {
    std::vector<TQORSVCAdminRecord> out;
    int32_t no;
    std::string_view line;
    while (aLines.Next(no, line)) {
        try {
            TQORSVCAdminRecord rec;
            if (ParseLine(line, rec, aRewrite))
                out.push_back(std::move(rec));
            else
                aRewrite = true;
        } catch (const Exception& e) {
            QORSVCRaiseLineError(no, e);
        }
    }
    if (aLines.BomMissing()) aRewrite = true;
    return out;
}

}  // namespace

std::string MakeAdminFileLine(std::string_view aNetworkNameUTF8, const TQORSVCAdminData& d) {
    std::string s(aNetworkNameUTF8);
    s.append("|").append(d.add_AdmHashA);
    for (const std::string* t : {&d.add_CountryANSI, &d.add_CityCityPartANSI,
                                 &d.add_BandChannelANSI, &d.add_CallsignOpnameANSI}) {
        s.append("|");
        AppendHexField(s, *t);
    }
    s.append("|").push_back(DigitChar(d.add_ClientType));
    s.append("|").append(RegisterTimeFieldText(d.add_RegisterEpoch));
    for (const std::string* t : {&d.add_CountryUTF8, &d.add_CityCityPartUTF8,
                                 &d.add_BandChannelUTF8, &d.add_CallsignOpnameUTF8}) {
        s.append("|");
        AppendHexField(s, *t);
    }
    s.append("\r\n");
    return s;
}

void TQORSVCAdmin::SetAdminFromData(const Data& aData) {
    f_Data = aData;
    f_Key = KeyOf(f_Data);
    const Data& d = f_Data;
    f_RecordForFile = MakeAdminFileLine(f_NetworkNameUTF8, d);

    std::string v0;
    AppendTagItem(v0, "NN", d.add_CountryANSI);
    AppendTagItem(v0, "CT", d.add_CityCityPartANSI);
    AppendTagItem(v0, "BC", d.add_BandChannelANSI);
    AppendTagItem(v0, "CM", std::string(1, DigitChar(d.add_ClientType)));
    AppendTagItem(v0, "ON", d.add_CallsignOpnameANSI);
    AppendTagItem(v0, "ID", d.add_AdmHashA);
    v0.append("\r\n");
    f_RecordForClientV0 = std::move(v0);

    std::string v1;
    v1.push_back(d.add_UTF8 ? '1' : '0');
    v1.push_back(DigitChar(d.add_ClientType));
    AppendTypedFieldItem(v1, '5', d.add_UTF8 ? d.add_CountryUTF8 : d.add_CountryANSI);
    AppendTypedFieldItem(v1, '6', d.add_UTF8 ? d.add_CityCityPartUTF8 : d.add_CityCityPartANSI);
    AppendTypedFieldItem(v1, '3', d.add_UTF8 ? d.add_BandChannelUTF8 : d.add_BandChannelANSI);
    AppendTypedFieldItem(v1, '2',
                         d.add_UTF8 ? d.add_CallsignOpnameUTF8 : d.add_CallsignOpnameANSI);
    AppendTypedFieldItem(v1, '8', d.add_AdmHashA);
    if (d.add_RegisterEpoch > 0) AppendTypedFieldItem(v1, 'C', std::to_string(d.add_RegisterEpoch));
    v1.append("\r\n");
    f_RecordForClientV1 = std::move(v1);
}

bool TQORSVCAdmin::IsEqualAdminData(const Data& a) const {
    const Data& d = f_Data;
    return d.add_AdmHashA == a.add_AdmHashA && d.add_CountryANSI == a.add_CountryANSI &&
           d.add_CityCityPartANSI == a.add_CityCityPartANSI &&
           d.add_BandChannelANSI == a.add_BandChannelANSI &&
           d.add_CallsignOpnameANSI == a.add_CallsignOpnameANSI &&
           d.add_CountryUTF8 == a.add_CountryUTF8 &&
           d.add_CityCityPartUTF8 == a.add_CityCityPartUTF8 &&
           d.add_BandChannelUTF8 == a.add_BandChannelUTF8 &&
           d.add_CallsignOpnameUTF8 == a.add_CallsignOpnameUTF8 &&
           d.add_ClientType == a.add_ClientType;
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
    bool changed = false;
    int32_t i = 0;
    auto add = [&](const TQORSVCAdminData& d) {
        if (aList.AddOrUpdateFromData(d, false)) aOutcome.Added.push_back(d.add_AdmHashA);
        changed = true;
        ++i;
    };
    auto remove = [&] {
        aOutcome.Removed.push_back(aList.At(i)->GetData().add_AdmHashA);
        aList.RemoveAt(i);
        changed = true;
    };
    while (i < aRead.Count() && i < aList.Count()) {
        const int32_t c = CompareKeysBinary(aRead.KeyAt(i), aList.KeyAt(i));
        if (c < 0) {
            add(aRead.At(i)->GetData());
        } else if (c == 0) {
            const TQORSVCAdminData& d = aRead.At(i)->GetData();
            if (aRereadCompareAttr && !aList.At(i)->IsEqualAdminData(d)) {
                aList.At(i)->SetAdminFromData(d);
                aOutcome.Changed.push_back(d.add_AdmHashA);
                changed = true;
            }
            ++i;
        } else {
            remove();
        }
    }
    while (i < aList.Count() && i >= aRead.Count()) remove();
    while (i < aRead.Count()) add(aRead.At(i)->GetData());
    if (changed) aList.RebuildTimeList(true);
    return changed;
}

}  // namespace gax
