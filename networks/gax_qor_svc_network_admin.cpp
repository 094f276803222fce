#include "networks/gax_qor_svc_network_admin.h"

#include "foundation/gax_faststring.h"
#include "networks/gax_qor_svc_network_frames.h"
#include "server/gax_qor_svc_clientdescr.h"

namespace gax {

TQORMuteBlockAuthor AuthorOf(const TQORSVCContext& aActor) {
    return {aActor.CliCallsignOpnameANSI(), aActor.CliCallsignOpnameUTF8(), aActor.CliHashA(),
            aActor.CliPrivilege};
}

void FillMuteBlockFromContext(TQORSVCMuteBlockData& d, const TQORSVCContext& c) {
    d.mbd_EMailHashA = c.CliHashA();
    d.mbd_CountryANSI = c.CliCountryANSI();
    d.mbd_CityCityPartANSI = c.CliCityCityPartANSI();
    d.mbd_BandChannelANSI = c.CliBandChannelANSI();
    d.mbd_CallsignOpnameANSI = c.CliCallsignOpnameANSI();
    d.mbd_CountryUTF8 = c.CliCountryUTF8();
    d.mbd_CityCityPartUTF8 = c.CliCityCityPartUTF8();
    d.mbd_BandChannelUTF8 = c.CliBandChannelUTF8();
    d.mbd_CallsignOpnameUTF8 = c.CliCallsignOpnameUTF8();
    d.mbd_ClientType = c.CliClientType();
    d.mbd_UTF8 = c.CliUTF8();
}

namespace {

void SetAuthor(TQORSVCMuteBlockData& d, const TQORMuteBlockAuthor& a, int64_t aNow,
               int32_t aTime) {
    d.mbd_ByAdminNameANSI = a.NameANSI;
    d.mbd_ByAdminNameUTF8 = a.NameUTF8;
    d.mbd_ByAdminId = a.Id;
    d.mbd_ByAdminPrivlege = a.Privilege;
    d.mbd_RegisterEpoch = aNow;
    d.mbd_Time = aTime > 0 ? aTime : 0;
}

}  // namespace

TQORSVCMuteBlockData MuteBlockDataForId(std::string_view aId, int32_t aTime,
                                        const TQORMuteBlockAuthor& aAuthor, int64_t aNow) {
    TQORSVCMuteBlockData d;
    d.mbd_EMailHashA.assign(aId);
    d.mbd_ClientType = clt_PC;
    d.mbd_UTF8 = false;
    SetAuthor(d, aAuthor, aNow, aTime);
    return d;
}

bool IsEqualMuteBlockCtx(const TQORSVCMuteBlock& aEntry, const TQORSVCContext& c) {
    const TQORSVCMuteBlockData& d = aEntry.GetData();
    return d.mbd_CountryANSI == c.CliCountryANSI() &&
           d.mbd_CityCityPartANSI == c.CliCityCityPartANSI() &&
           d.mbd_BandChannelANSI == c.CliBandChannelANSI() &&
           d.mbd_CallsignOpnameANSI == c.CliCallsignOpnameANSI() &&
           d.mbd_CountryUTF8 == c.CliCountryUTF8() &&
           d.mbd_CityCityPartUTF8 == c.CliCityCityPartUTF8() &&
           d.mbd_BandChannelUTF8 == c.CliBandChannelUTF8() &&
           d.mbd_CallsignOpnameUTF8 == c.CliCallsignOpnameUTF8() &&
           d.mbd_ClientType == c.CliClientType();
}

bool AddOrUpdateMuteBlockFromContext(TQORSVCMuteBlockList& aList, const TQORSVCContext& aCtx,
                                     int32_t aTime, const TQORMuteBlockAuthor& aAuthor,
                                     int64_t aNow) {
    TQORSVCMuteBlock* e = aList.Find(MakeDwordPaddedKey(aCtx.CliHashA()));
    if (e != nullptr) {
        if (IsEqualMuteBlockCtx(*e, aCtx)) return false;
        // Same register time: the entry keeps its place in the time list.
        TQORSVCMuteBlockData d = e->GetData();
        FillMuteBlockFromContext(d, aCtx);
        e->SetFromData(d);
        return true;
    }
    TQORSVCMuteBlockData d;
    FillMuteBlockFromContext(d, aCtx);
    SetAuthor(d, aAuthor, aNow, aTime);
    return aList.AddOrUpdateFromData(d, true);
}

bool IsEqualAdminCtx(const TQORSVCAdmin& aEntry, const TQORSVCContext& c) {
    const TQORSVCAdminData& d = aEntry.GetData();
    return d.add_AdmHashA == c.CliHashA() && d.add_CountryANSI == c.CliCountryANSI() &&
           d.add_CityCityPartANSI == c.CliCityCityPartANSI() &&
           d.add_BandChannelANSI == c.CliBandChannelANSI() &&
           d.add_CallsignOpnameANSI == c.CliCallsignOpnameANSI() &&
           d.add_CountryUTF8 == c.CliCountryUTF8() &&
           d.add_CityCityPartUTF8 == c.CliCityCityPartUTF8() &&
           d.add_BandChannelUTF8 == c.CliBandChannelUTF8() &&
           d.add_CallsignOpnameUTF8 == c.CliCallsignOpnameUTF8() &&
           d.add_ClientType == c.CliClientType();
}

bool AddOrUpdateAdminFromContext(TQORSVCAdminList& aList, const TQORSVCContext& c,
                                 int64_t aNow) {
    TQORSVCAdminData d;
    d.add_AdmHashA = c.CliHashA();
    d.add_CountryANSI = c.CliCountryANSI();
    d.add_CityCityPartANSI = c.CliCityCityPartANSI();
    d.add_BandChannelANSI = c.CliBandChannelANSI();
    d.add_CallsignOpnameANSI = c.CliCallsignOpnameANSI();
    d.add_CountryUTF8 = c.CliCountryUTF8();
    d.add_CityCityPartUTF8 = c.CliCityCityPartUTF8();
    d.add_BandChannelUTF8 = c.CliBandChannelUTF8();
    d.add_CallsignOpnameUTF8 = c.CliCallsignOpnameUTF8();
    d.add_ClientType = c.CliClientType();
    d.add_UTF8 = c.CliUTF8();
    TQORSVCAdmin* e = aList.Find(MakeDwordPaddedKey(c.CliHashA()));
    if (e != nullptr) {
        if (IsEqualAdminCtx(*e, c)) return false;
        d.add_RegisterEpoch = e->RegisterEpoch();
        e->SetAdminFromData(d);
        return true;
    }
    d.add_RegisterEpoch = aNow;
    return aList.AddOrUpdateFromData(d, true);
}

TQORSVCAdminData AdminDataForId(std::string_view aId, int64_t aNow) {
    TQORSVCAdminData d;
    d.add_AdmHashA.assign(aId);
    d.add_RegisterEpoch = aNow;
    d.add_ClientType = clt_PC;
    d.add_UTF8 = false;
    return d;
}

bool DeleteAdminByHash(TQORSVCAdminList& aList, std::string_view aId) {
    const int32_t i = aList.IndexOf(MakeDwordPaddedKey(aId));
    if (i < 0) return false;
    aList.RemoveAt(i);
    return true;
}

std::string_view ChannelModeQueryAnswer(bool aOn) {
    return aOn ? std::string_view("+1\r\n1\r\n") : std::string_view("+1\r\n0\r\n");
}

std::string ChannelInternalFlagsListing(const TQORSVCContext& aMember) {
    FastStringA names;
    AddInternalFlagsSettings(names, aMember);
    if (names.Len() == 0) return "+1\r\nNo any internal flags are set\r\n";
    std::string s = "+1\r\n";
    s.append(names.View()).append("\r\n");
    return s;
}

std::string_view HugeSoundRefusal(const TQORSVCContext* aSpeaker, const TQORSVCContext* aTarget) {
    if (aSpeaker == nullptr) return kChanAnswerNoSpeaker;
    if (aTarget == nullptr) return kChanAnswerNoClient;
    if (aTarget == aSpeaker) return kChanAnswerBusy;
    if (aTarget->CtxFlags() & (QOR_CF_NO_SERVER_SOUNDS | QOR_CF_LEAVING)) return kChanAnswerDenied;
    return {};
}

std::string HugeSoundFrame(uint16_t aSpeakerIndex) {
    std::string f;
    f.reserve(kQORSoundLongLen);
    f.push_back(static_cast<char>(QOR_FR_SOUND_LONG));
    f.push_back(static_cast<char>(aSpeakerIndex >> 8));
    f.push_back(static_cast<char>(aSpeakerIndex & 0xFF));
    for (int i = 0; i < 5; ++i)
        f.append(reinterpret_cast<const char*>(kQORSilenceBlock.data()), kQORSilenceBlock.size());
    return f;
}

}  // namespace gax
