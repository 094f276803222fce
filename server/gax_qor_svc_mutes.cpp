#include "server/gax_qor_svc_mutes.h"

#include <climits>

#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_sourceid.h"

namespace gax {

namespace {

constexpr int32_t kMaxFields = 25;

// One line; false rejects it (the caller sets the rewrite flag).
bool ParseLine(std::string_view aLine, int64_t aNow, TQORSVCMuteBlockRecord& aRec,
               bool& aRewrite) {
    std::string_view f[kMaxFields];
    const int32_t n = SplitFieldsBuf(aLine, f, kMaxFields);
    if (n < 2) return false;
    std::string name;
    TQORSVCMuteBlockData& d = aRec.Data;
    if (!ParseNetworkNameField(f[0], name)) return false;
    if (!ParseClientIdField(f[1], d.mbd_EMailHashA, aRewrite)) return false;
    aRec.NetworkNameUCS2 = Utf8StrToUnicode(name);

    d.mbd_RegisterEpoch = ParseRegisterTimeField(f[8], false, aRewrite);
    const std::string_view dur = TrimBlanksViewA(f[16]);
    if (!dur.empty()) {
        int64_t v = 0;
        const bool ok = TryParseInt64BufA(dur.data(), static_cast<int>(dur.size()), v);
        if (ok && v > 0 && d.mbd_RegisterEpoch != 0) {
            // A longer time than the field holds stays timed, never permanent.
            d.mbd_Time = v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
        } else if (!ok || v > 0) {
            aRewrite = true;  // garbage, or a duration without a register time to run from
        }
    }
    if (d.mbd_Time > 0) d.mbd_ReleaseEpoch = d.mbd_RegisterEpoch + d.mbd_Time;

    if (DecodeHexTextField(d.mbd_ByAdminNameANSI, f[2]) < 0 ||
        DecodeHexTextField(d.mbd_CountryANSI, f[3]) < 0 ||
        DecodeHexTextField(d.mbd_CityCityPartANSI, f[4]) < 0 ||
        DecodeHexTextField(d.mbd_BandChannelANSI, f[5]) < 0 ||
        DecodeHexTextField(d.mbd_CallsignOpnameANSI, f[6]) < 0 ||
        ParseClientTypeField(d.mbd_ClientType, f[7]) < 0)
        return false;

    if (DecodeHexTextField(d.mbd_ByAdminNameUTF8, f[9]) < 0) return false;
    if (!IsValidUtf8Str(d.mbd_ByAdminNameUTF8)) {
        d.mbd_ByAdminNameUTF8.clear();
        aRewrite = true;
    }
    std::string* utf8[] = {&d.mbd_CountryUTF8, &d.mbd_CityCityPartUTF8, &d.mbd_BandChannelUTF8,
                           &d.mbd_CallsignOpnameUTF8};
    bool valid = true;
    for (int k = 0; k < 4; ++k) {
        if (DecodeHexTextField(*utf8[k], f[10 + k]) < 0) return false;
        if (!utf8[k]->empty()) d.mbd_UTF8 = true;
        if (!IsValidUtf8Str(*utf8[k])) valid = false;
    }
    if (d.mbd_UTF8 && !valid) {
        for (std::string* s : utf8) s->clear();
        d.mbd_ByAdminNameUTF8.clear();
        d.mbd_UTF8 = false;
        aRewrite = true;
    }

    int32_t priv;
    if (TryParseIntA(TrimBlanksViewA(f[14]), priv) && priv >= 0 && priv <= 3)
        d.mbd_ByAdminPrivlege = static_cast<TQORClientPrivilege>(priv);
    else
        d.mbd_ByAdminPrivlege = clpr_ADMIN;

    bool idChanged = false;
    if (!ParseClientIdField(f[15], d.mbd_ByAdminId, idChanged)) d.mbd_ByAdminId.clear();

    if (d.mbd_Time > 0 && d.mbd_ReleaseEpoch <= aNow) {
        aRewrite = true;
        return false;
    }
    return true;
}

std::vector<TQORSVCMuteBlockRecord> ReadLines(TQORSVCListFileLines& aLines, int64_t aNow,
                                              bool& aRewrite) {
    std::vector<TQORSVCMuteBlockRecord> out;
    int32_t no;
    std::string_view line;
    while (aLines.Next(no, line)) {
        try {
            TQORSVCMuteBlockRecord rec;
            if (ParseLine(line, aNow, rec, aRewrite))
                out.push_back(std::move(rec));
            else
                aRewrite = true;
        } catch (const Exception& e) {
            QORSVCRaiseLineError(no, e);
        }
    }
    return out;
}

}  // namespace

std::string MakeMuteBlockFileLine(std::string_view aNetworkNameUTF8,
                                  const TQORSVCMuteBlockData& d) {
    std::string s(aNetworkNameUTF8);
    s.append("|").append(d.mbd_EMailHashA).append("|");
    AppendHexField(s, d.mbd_ByAdminNameANSI);
    s.append("|");
    AppendHexField(s, d.mbd_CountryANSI);
    s.append("|");
    AppendHexField(s, d.mbd_CityCityPartANSI);
    s.append("|");
    AppendHexField(s, d.mbd_BandChannelANSI);
    s.append("|");
    AppendHexField(s, d.mbd_CallsignOpnameANSI);
    s.append("|").push_back(DigitChar(d.mbd_ClientType));
    s.append("|").append(RegisterTimeFieldText(d.mbd_RegisterEpoch)).append("|");
    AppendHexField(s, d.mbd_ByAdminNameUTF8);
    s.append("|");
    AppendHexField(s, d.mbd_CountryUTF8);
    s.append("|");
    AppendHexField(s, d.mbd_CityCityPartUTF8);
    s.append("|");
    AppendHexField(s, d.mbd_BandChannelUTF8);
    s.append("|");
    AppendHexField(s, d.mbd_CallsignOpnameUTF8);
    s.append("|").push_back(DigitChar(d.mbd_ByAdminPrivlege));
    s.append("|").append(d.mbd_ByAdminId).append("|");
    if (d.mbd_Time > 0) s.append(std::to_string(d.mbd_Time));
    s.append("\r\n");
    return s;
}

void TQORSVCMuteBlock::SetFromData(const Data& aData) {
    f_Data = aData;
    f_Data.mbd_ReleaseEpoch = f_Data.mbd_Time > 0 ? f_Data.mbd_RegisterEpoch + f_Data.mbd_Time : 0;
    f_Key = KeyOf(f_Data);
    const Data& d = f_Data;
    f_ReleaseEpochR = d.mbd_Time > 0 ? std::to_string(d.mbd_ReleaseEpoch) : std::string();
    f_RecordForFile = MakeMuteBlockFileLine(f_NetworkNameUTF8, d);

    std::string v0;
    AppendTagItem(v0, "AI", d.mbd_ByAdminNameANSI);
    AppendTagItem(v0, "NN", d.mbd_CountryANSI);
    AppendTagItem(v0, "CT", d.mbd_CityCityPartANSI);
    AppendTagItem(v0, "BC", d.mbd_BandChannelANSI);
    AppendTagItem(v0, "CM", std::string(1, DigitChar(d.mbd_ClientType)));
    AppendTagItem(v0, "ON", d.mbd_CallsignOpnameANSI);
    AppendTagItem(v0, "ID", d.mbd_EMailHashA);
    if (d.mbd_Time > 0) AppendTagItem(v0, "RT", f_ReleaseEpochR);
    v0.append("\r\n");
    f_RecordForClientV0 = std::move(v0);

    std::string v1;
    v1.push_back(d.mbd_UTF8 ? '1' : '0');
    v1.push_back(DigitChar(d.mbd_ClientType));
    AppendTypedFieldItem(v1, '9', d.mbd_ByAdminNameANSI);
    if (d.mbd_UTF8) {
        AppendTypedFieldItem(v1, 'A', d.mbd_ByAdminNameUTF8);
        AppendTypedFieldItem(v1, '5', d.mbd_CountryUTF8);
        AppendTypedFieldItem(v1, '6', d.mbd_CityCityPartUTF8);
        AppendTypedFieldItem(v1, '3', d.mbd_BandChannelUTF8);
        AppendTypedFieldItem(v1, '2', d.mbd_CallsignOpnameUTF8);
    } else {
        AppendTypedFieldItem(v1, '5', d.mbd_CountryANSI);
        AppendTypedFieldItem(v1, '6', d.mbd_CityCityPartANSI);
        AppendTypedFieldItem(v1, '3', d.mbd_BandChannelANSI);
        AppendTypedFieldItem(v1, '2', d.mbd_CallsignOpnameANSI);
    }
    AppendTypedFieldItem(v1, '8', d.mbd_EMailHashA);
    if (d.mbd_RegisterEpoch > 0) AppendTypedFieldItem(v1, 'C', std::to_string(d.mbd_RegisterEpoch));
    if (d.mbd_Time > 0) AppendTypedFieldItem(v1, 'B', f_ReleaseEpochR);
    v1.append("\r\n");
    f_RecordForClientV1 = std::move(v1);
}

bool TQORSVCMuteBlock::IsEqualMuteBlockData(const Data& a) const {
    const Data& d = f_Data;
    return d.mbd_RegisterEpoch == a.mbd_RegisterEpoch && d.mbd_CountryANSI == a.mbd_CountryANSI &&
           d.mbd_CityCityPartANSI == a.mbd_CityCityPartANSI &&
           d.mbd_BandChannelANSI == a.mbd_BandChannelANSI &&
           d.mbd_CallsignOpnameANSI == a.mbd_CallsignOpnameANSI &&
           d.mbd_CountryUTF8 == a.mbd_CountryUTF8 &&
           d.mbd_CityCityPartUTF8 == a.mbd_CityCityPartUTF8 &&
           d.mbd_BandChannelUTF8 == a.mbd_BandChannelUTF8 &&
           d.mbd_CallsignOpnameUTF8 == a.mbd_CallsignOpnameUTF8 &&
           d.mbd_ClientType == a.mbd_ClientType;
}

std::vector<TQORSVCMuteBlockRecord> ReadMuteBlockFile(std::u16string_view aFileName,
                                                      int64_t aNow, bool& aRewrite) {
    TQORSVCListFileLines lines(aFileName, kQORSVCListLineLimit, true);
    return ReadLines(lines, aNow, aRewrite);
}

std::vector<TQORSVCMuteBlockRecord> ParseMuteBlockFileBytes(std::string aBytes, int64_t aNow,
                                                            bool& aRewrite) {
    TQORSVCListFileLines lines(std::move(aBytes), kQORSVCListLineLimit, true);
    return ReadLines(lines, aNow, aRewrite);
}

bool ExpireMuteBlockEntries(TQORSVCMuteBlockList& aList, int64_t aNow,
                            std::vector<std::string>* aRemoved) {
    bool any = false;
    for (int32_t i = aList.Count() - 1; i >= 0; --i) {
        const TQORSVCMuteBlockData& d = aList.At(i)->GetData();
        if (d.mbd_Time <= 0 || d.mbd_ReleaseEpoch > aNow) continue;
        if (aRemoved) aRemoved->push_back(d.mbd_EMailHashA);
        aList.RemoveAt(i);
        any = true;
    }
    return any;
}

bool MayLiftMuteBlock(const TQORSVCMuteBlockData& aEntry, TQORClientPrivilege aActorPriv,
                      std::string_view aActorId, bool aLevelMuteBlock, bool aExactMuteBlock) {
    const bool sameAdmin = aEntry.mbd_ByAdminId == aActorId;
    if (!aLevelMuteBlock) return !aExactMuteBlock || sameAdmin;
    if (aActorPriv < aEntry.mbd_ByAdminPrivlege) return false;
    if (aExactMuteBlock && aActorPriv == aEntry.mbd_ByAdminPrivlege) return sameAdmin;
    return true;
}

bool RemoveMuteBlockEntry(TQORSVCMuteBlockList& aList, std::string_view aHash,
                          TQORClientPrivilege aActorPriv, std::string_view aActorId,
                          bool aLevelMuteBlock, bool aExactMuteBlock) {
    const int32_t i = aList.IndexOf(MakeDwordPaddedKey(aHash));
    if (i < 0) return false;
    if (!MayLiftMuteBlock(aList.At(i)->GetData(), aActorPriv, aActorId, aLevelMuteBlock,
                          aExactMuteBlock))
        return false;
    aList.RemoveAt(i);
    return true;
}

bool MergeMuteBlockList(TQORSVCMuteBlockList& aList, const TQORSVCMuteBlockList& aRead,
                        bool aIsBlock, bool aRereadCompareAttr, TQORSVCListMergeOutcome& aOutcome) {
    bool changed = false;
    int32_t i = 0;
    auto add = [&](const TQORSVCMuteBlockData& d) {
        aList.AddOrUpdateFromData(d, false);
        aOutcome.Added.push_back(d.mbd_EMailHashA);
        changed = true;
        ++i;
    };
    auto remove = [&] {
        aOutcome.Removed.push_back(aList.At(i)->GetData().mbd_EMailHashA);
        aList.RemoveAt(i);
        changed = true;
    };
    while (i < aRead.Count() && i < aList.Count()) {
        const int32_t c = CompareKeysBinary(aRead.KeyAt(i), aList.KeyAt(i));
        if (c < 0) {
            add(aRead.At(i)->GetData());
        } else if (c == 0) {
            const TQORSVCMuteBlockData& d = aRead.At(i)->GetData();
            if (aRereadCompareAttr && !aList.At(i)->IsEqualMuteBlockData(d)) {
                aList.At(i)->SetFromData(d);
                aOutcome.Changed.push_back(d.mbd_EMailHashA);
                changed = true;
            }
            ++i;
        } else {
            remove();
        }
    }
    while (i < aList.Count() && i >= aRead.Count()) remove();
    while (i < aRead.Count()) add(aRead.At(i)->GetData());
    if (changed) aList.RebuildTimeList(aIsBlock);
    return changed;
}

}  // namespace gax
