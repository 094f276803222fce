#include "server/gax_qor_svc_mutes.h"

#include <climits>

#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_clientfields.h"

namespace gax {

namespace {

constexpr int32_t kMaxFields = 25;

using D = TQORSVCMuteBlockData;
constexpr TQORSVCClientFieldMembers<D> kClientFields{
    {&D::mbd_CountryANSI, &D::mbd_CityCityPartANSI, &D::mbd_BandChannelANSI,
     &D::mbd_CallsignOpnameANSI},
    {&D::mbd_CountryUTF8, &D::mbd_CityCityPartUTF8, &D::mbd_BandChannelUTF8,
     &D::mbd_CallsignOpnameUTF8},
    &D::mbd_ClientType};

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

    const TQORSVCClientTextSlots slots = kClientFields.Slots(d);
    if (DecodeHexTextField(d.mbd_ByAdminNameANSI, f[2]) < 0 ||
        !ReadClientAnsiFileFields(f + 3, slots))
        return false;

    if (DecodeHexTextField(d.mbd_ByAdminNameUTF8, f[9]) < 0) return false;
    if (!IsValidUtf8Str(d.mbd_ByAdminNameUTF8)) {
        d.mbd_ByAdminNameUTF8.clear();
        aRewrite = true;
    }
    bool valid;
    if (!ReadClientUtf8FileFields(f + 10, slots, d.mbd_UTF8, valid)) return false;
    if (d.mbd_UTF8 && !valid) {
        ClearClientUtf8Texts(slots);
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
    return ReadListFileRecords<TQORSVCMuteBlockRecord>(
        aLines, false, aRewrite,
        [aNow](std::string_view aLine, TQORSVCMuteBlockRecord& aRec, bool& aRw) {
            return ParseLine(aLine, aNow, aRec, aRw);
        });
}

}  // namespace

std::string MakeMuteBlockFileLine(std::string_view aNetworkNameUTF8,
                                  const TQORSVCMuteBlockData& d) {
    std::string s(aNetworkNameUTF8);
    s.append("|").append(d.mbd_EMailHashA).append("|");
    AppendHexField(s, d.mbd_ByAdminNameANSI);
    const TQORSVCClientTexts texts = kClientFields.Texts(d);
    AppendClientAnsiFileFields(s, texts, d.mbd_RegisterEpoch);
    s.append("|");
    AppendHexField(s, d.mbd_ByAdminNameUTF8);
    AppendClientUtf8FileFields(s, texts);
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

    const TQORSVCClientTexts texts = kClientFields.Texts(d);

    std::string v0;
    AppendTagItem(v0, "AI", d.mbd_ByAdminNameANSI);
    AppendClientTagItemsV0(v0, texts, true);
    AppendTagItem(v0, "ID", d.mbd_EMailHashA);
    if (d.mbd_Time > 0) AppendTagItem(v0, "RT", f_ReleaseEpochR);
    v0.append("\r\n");
    f_RecordForClientV0 = std::move(v0);

    std::string v1;
    v1.push_back(d.mbd_UTF8 ? '1' : '0');
    v1.push_back(DigitChar(d.mbd_ClientType));
    AppendTypedFieldItem(v1, '9', d.mbd_ByAdminNameANSI);
    if (d.mbd_UTF8) AppendTypedFieldItem(v1, 'A', d.mbd_ByAdminNameUTF8);
    AppendClientTypedItemsV1(v1, texts, d.mbd_UTF8);
    AppendTypedFieldItem(v1, '8', d.mbd_EMailHashA);
    if (d.mbd_RegisterEpoch > 0) AppendTypedFieldItem(v1, 'C', std::to_string(d.mbd_RegisterEpoch));
    if (d.mbd_Time > 0) AppendTypedFieldItem(v1, 'B', f_ReleaseEpochR);
    v1.append("\r\n");
    f_RecordForClientV1 = std::move(v1);
}

bool TQORSVCMuteBlock::IsEqualMuteBlockData(const Data& a) const {
    const Data& d = f_Data;
    return d.mbd_RegisterEpoch == a.mbd_RegisterEpoch &&
           SameClientFields(kClientFields.Texts(d), kClientFields.Texts(a));
}

std::vector<TQORSVCMuteBlockRecord> ReadMuteBlockFile(std::u16string_view aFileName,
                                                      int64_t aNow, bool& aRewrite,
                                                      bool aCutLongLines) {
    TQORSVCListFileLines lines(aFileName, kQORSVCListLineLimit, true);
    if (aCutLongLines) lines.CutLongLines();
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
    return MergeClientFieldsList(aList, aRead, &D::mbd_EMailHashA, aIsBlock, aOutcome,
                                 [&](TQORSVCMuteBlock& aHeld, const D& aData) {
                                     return TakeOverChangedData(
                                         aHeld, aData, &TQORSVCMuteBlock::IsEqualMuteBlockData,
                                         &D::mbd_EMailHashA, aRereadCompareAttr, aOutcome);
                                 });
}

}  // namespace gax
