#include "server/gax_qor_svc_rights.h"

#include "foundation/gax_strutils.h"

namespace gax {

namespace {

constexpr int32_t kMaxFields = 22;

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
    if (DecodeHexTextField(d.acd_CountryANSI, f[3]) < 0 ||
        DecodeHexTextField(d.acd_CityCityPartANSI, f[4]) < 0 ||
        DecodeHexTextField(d.acd_BandChannelANSI, f[5]) < 0 ||
        DecodeHexTextField(d.acd_CallsignOpnameANSI, f[6]) < 0 ||
        ParseClientTypeField(d.acd_ClientType, f[7]) < 0)
        return false;
    d.acd_RegisterEpoch = ParseRegisterTimeField(f[8], true, aRewrite);

    std::string* utf8[] = {&d.acd_CountryUTF8, &d.acd_CityCityPartUTF8, &d.acd_BandChannelUTF8,
                           &d.acd_CallsignOpnameUTF8};
    bool valid = true;
    for (int k = 0; k < 4; ++k) {
        if (DecodeHexTextField(*utf8[k], f[9 + k]) < 0) return false;
        if (!utf8[k]->empty()) d.acd_UTF8 = true;
        if (!IsValidUtf8Str(*utf8[k])) valid = false;
    }
    if (d.acd_UTF8 && !valid) {
        for (std::string* s : utf8) s->clear();
        d.acd_UTF8 = false;
        aRewrite = true;
    }
    return true;
}

std::vector<TQORSVCAccessRecord> ReadLines(TQORSVCListFileLines& aLines, bool& aRewrite) {
    std::vector<TQORSVCAccessRecord> out;
    int32_t no;
    std::string_view line;
    while (aLines.Next(no, line)) {
        try {
            TQORSVCAccessRecord rec;
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

std::string MakeAccessFileLine(std::string_view aNetworkNameUTF8, const TQORSVCAccessData& d) {
    std::string s(aNetworkNameUTF8);
    s.append(d.acd_Marked ? "|1|" : "|0|");
    AppendHexField(s, d.acd_EMailA);
    for (const std::string* t : {&d.acd_CountryANSI, &d.acd_CityCityPartANSI,
                                 &d.acd_BandChannelANSI, &d.acd_CallsignOpnameANSI}) {
        s.append("|");
        AppendHexField(s, *t);
    }
    s.append("|").push_back(DigitChar(d.acd_ClientType));
    s.append("|").append(RegisterTimeFieldText(d.acd_RegisterEpoch));
    for (const std::string* t : {&d.acd_CountryUTF8, &d.acd_CityCityPartUTF8,
                                 &d.acd_BandChannelUTF8, &d.acd_CallsignOpnameUTF8}) {
        s.append("|");
        AppendHexField(s, *t);
    }
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

    std::string v0;
    AppendTagItem(v0, "AI", notMarked);
    AppendTagItem(v0, "NN", d.acd_CountryANSI);
    AppendTagItem(v0, "CT", d.acd_CityCityPartANSI);
    AppendTagItem(v0, "BC", d.acd_BandChannelANSI);
    AppendTagItem(v0, "ON", d.acd_CallsignOpnameANSI);
    AppendTagItem(v0, "ID", d.acd_EMailA);
    v0.append("\r\n");
    f_AccessRecordV0 = std::move(v0);

    std::string v1;
    v1.push_back(d.acd_UTF8 ? '1' : '0');
    v1.append(notMarked);
    AppendTypedFieldItem(v1, '5', d.acd_UTF8 ? d.acd_CountryUTF8 : d.acd_CountryANSI);
    AppendTypedFieldItem(v1, '6', d.acd_UTF8 ? d.acd_CityCityPartUTF8 : d.acd_CityCityPartANSI);
    AppendTypedFieldItem(v1, '3', d.acd_UTF8 ? d.acd_BandChannelUTF8 : d.acd_BandChannelANSI);
    AppendTypedFieldItem(v1, '2',
                         d.acd_UTF8 ? d.acd_CallsignOpnameUTF8 : d.acd_CallsignOpnameANSI);
    AppendTypedFieldItem(v1, '0', d.acd_EMailA);
    if (d.acd_RegisterEpoch > 0) AppendTypedFieldItem(v1, 'C', std::to_string(d.acd_RegisterEpoch));
    v1.append("\r\n");
    f_AccessRecordV1 = std::move(v1);
}

bool TQORSVCAccess::IsEqualRightData(const Data& a) const {
    const Data& d = f_Data;
    return d.acd_RegisterEpoch == a.acd_RegisterEpoch && d.acd_EMailA == a.acd_EMailA &&
           d.acd_CountryANSI == a.acd_CountryANSI &&
           d.acd_CityCityPartANSI == a.acd_CityCityPartANSI &&
           d.acd_BandChannelANSI == a.acd_BandChannelANSI &&
           d.acd_CallsignOpnameANSI == a.acd_CallsignOpnameANSI &&
           d.acd_CountryUTF8 == a.acd_CountryUTF8 &&
           d.acd_CityCityPartUTF8 == a.acd_CityCityPartUTF8 &&
           d.acd_BandChannelUTF8 == a.acd_BandChannelUTF8 &&
           d.acd_CallsignOpnameUTF8 == a.acd_CallsignOpnameUTF8 &&
           d.acd_ClientType == a.acd_ClientType;
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
    bool changed = false;
    int32_t i = 0;
    auto add = [&](const TQORSVCAccessData& d) {
        aList.AddOrUpdateFromData(d, false);
        aOutcome.Added.push_back(d.acd_EMailA);
        changed = true;
        ++i;
    };
    auto remove = [&] {
        aOutcome.Removed.push_back(aList.At(i)->GetData().acd_EMailA);
        aList.RemoveAt(i);
        changed = true;
    };
    while (i < aRead.Count() && i < aList.Count()) {
        const int32_t c = CompareKeysBinary(aRead.KeyAt(i), aList.KeyAt(i));
        if (c < 0) {
            add(aRead.At(i)->GetData());
        } else if (c == 0) {
            const TQORSVCAccessData& d = aRead.At(i)->GetData();
            TQORSVCAccess* e = aList.At(i);
            if (e->SetMarked(d.acd_Marked)) {
                aOutcome.MarkChanged.push_back(d.acd_EMailA);
                changed = true;
            }
            if (aRereadCompareAttr && !e->IsEqualRightData(d)) {
                e->SetRightFromData(d);
                aOutcome.Changed.push_back(d.acd_EMailA);
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
