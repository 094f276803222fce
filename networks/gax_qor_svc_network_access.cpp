#include "networks/gax_qor_svc_network_access.h"

#include <string>

#include "foundation/gax_strutils.h"
#include "networks/gax_qor_svc_network_admin.h"

namespace gax {

namespace {

using K = TQORSVCListKind;

// Who is entitled to a list: (flags AND mask) = value. Blocks and mutes go to
// admins and owners, the rest to owners only; the Parrot and leaving members
// get none.
struct ListRoute {
    uint32_t Mask;
    uint32_t Value0;  // 8-bit clients
    uint32_t Value1;  // UTF-8 clients
};
constexpr ListRoute kBlocksRoute{QOR_CF_LEAVING | QOR_CF_PRIVILEGED | QOR_CF_PARROT | QOR_CF_UTF8,
                                 QOR_CF_PRIVILEGED, QOR_CF_PRIVILEGED | QOR_CF_UTF8};
constexpr ListRoute kMutesRoute{QOR_CF_LEAVING | QOR_CF_PRIVILEGED | QOR_CF_PARROT | QOR_CF_UTF8,
                                QOR_CF_PRIVILEGED, QOR_CF_PRIVILEGED | QOR_CF_UTF8};
constexpr ListRoute kAdminsRoute{
    QOR_CF_LEAVING | QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED | QOR_CF_PARROT | QOR_CF_UTF8,
    QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED, QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED | QOR_CF_UTF8};
constexpr ListRoute kRightsRoute{
    QOR_CF_LEAVING | QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED | QOR_CF_PARROT | QOR_CF_UTF8,
    QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED, QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED | QOR_CF_UTF8};
constexpr ListRoute kModesRoute{
    QOR_CF_LEAVING | QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED | QOR_CF_PARROT,
    QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED, QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED};
constexpr ListRoute kNoticeRoute{
    QOR_CF_LEAVING | QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED | QOR_CF_PARROT | QOR_CF_UTF8,
    QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED, QOR_CF_NOT_ADMIN | QOR_CF_PRIVILEGED | QOR_CF_UTF8};

const ListRoute& RouteOf(K aKind) {
    switch (aKind) {
        case K::Blocks: return kBlocksRoute;
        case K::Mutes: return kMutesRoute;
        case K::Admins: return kAdminsRoute;
        case K::Rights: return kRightsRoute;
        case K::Modes: return kModesRoute;
        default: return kNoticeRoute;
    }
}

void AppendCountLine(std::string& aOut, int32_t aCount) {
    aOut += std::to_string(aCount);
    aOut += "\r\n";
}

// The client id of a list key (keys are padded to whole words).
std::string_view KeyText(std::string_view aKey) {
    while (!aKey.empty() && aKey.back() == '\0') aKey.remove_suffix(1);
    return aKey;
}

bool Matches(uint32_t aFlags, uint32_t aMask, uint32_t aValue) { return (aFlags & aMask) == aValue; }

}  // namespace

void FillAccessDataFromContext(TQORSVCAccessData& d, const TQORSVCContext& c) {
    d.acd_EMailA = c.CliEMailANSI();
    d.acd_EMailSort = MakeDwordPaddedKey(d.acd_EMailA);
    d.acd_CountryANSI = c.CliCountryANSI();
    d.acd_CityCityPartANSI = c.CliCityCityPartANSI();
    d.acd_BandChannelANSI = c.CliBandChannelANSI();
    d.acd_CallsignOpnameANSI = c.CliCallsignOpnameANSI();
    d.acd_CountryUTF8 = c.CliCountryUTF8();
    d.acd_CityCityPartUTF8 = c.CliCityCityPartUTF8();
    d.acd_BandChannelUTF8 = c.CliBandChannelUTF8();
    d.acd_CallsignOpnameUTF8 = c.CliCallsignOpnameUTF8();
    d.acd_ClientType = c.CliClientType();
    d.acd_UTF8 = c.CliUTF8();
}

bool IsEqualRightCtx(const TQORSVCAccess& aEntry, const TQORSVCContext& c) {
    const TQORSVCAccessData& d = aEntry.GetData();
    return d.acd_EMailA == c.CliEMailANSI() && d.acd_CountryANSI == c.CliCountryANSI() &&
           d.acd_CityCityPartANSI == c.CliCityCityPartANSI() &&
           d.acd_BandChannelANSI == c.CliBandChannelANSI() &&
           d.acd_CallsignOpnameANSI == c.CliCallsignOpnameANSI() &&
           d.acd_ClientType == c.CliClientType() && d.acd_CountryUTF8 == c.CliCountryUTF8() &&
           d.acd_CityCityPartUTF8 == c.CliCityCityPartUTF8() &&
           d.acd_BandChannelUTF8 == c.CliBandChannelUTF8() &&
           d.acd_CallsignOpnameUTF8 == c.CliCallsignOpnameUTF8();
}

TQORNetAccess::TQORNetAccess(std::string aNetworkNameUTF8, TQORSVCAccessInfoMode aInfoMode,
                             TQORNetAccessHost& aHost, uint32_t& aResults)
    : f_NetworkNameUTF8(std::move(aNetworkNameUTF8)),
      f_InfoMode(aInfoMode),
      e_Host(aHost),
      e_Results(aResults),
      f_Admins(f_NetworkNameUTF8),
      f_Mutes(f_NetworkNameUTF8),
      f_Blocks(f_NetworkNameUTF8),
      f_Rights(f_NetworkNameUTF8) {
    RebuildNoticeFrames();
}

// ---- look-ups ----

const TQORSVCAdmin* TQORNetAccess::NetFindAdmin(std::string_view aClientId) const {
    return f_Admins.Find(MakeDwordPaddedKey(aClientId));
}

bool TQORNetAccess::FindAdminForContext(const TQORSVCContext& aCtx, bool& aDiffers) const {
    const TQORSVCAdmin* a = NetFindAdmin(aCtx.CliHashA());
    aDiffers = a != nullptr && !IsEqualAdminCtx(*a, aCtx);
    return a != nullptr;
}

bool TQORNetAccess::IsBlocked(const TQORSVCContext& aCtx, bool& aDiffers) const {
    const TQORSVCMuteBlock* e = f_Blocks.Find(MakeDwordPaddedKey(aCtx.CliHashA()));
    aDiffers = e != nullptr && !IsEqualMuteBlockCtx(*e, aCtx);
    return e != nullptr;
}

bool TQORNetAccess::IsMuted(const TQORSVCContext& aCtx, bool& aDiffers) const {
    const TQORSVCMuteBlock* e = f_Mutes.Find(MakeDwordPaddedKey(aCtx.CliHashA()));
    aDiffers = e != nullptr && !IsEqualMuteBlockCtx(*e, aCtx);
    return e != nullptr;
}

TQORSVCClientRights TQORNetAccess::GetRights(const TQORSVCContext& aCtx, bool aIsOwner) const {
    TQORSVCClientRights r;
    const TQORSVCAccess* e = f_Rights.Find(aCtx.CliEMailSort());
    r.Differs = e != nullptr && !IsEqualRightCtx(*e, aCtx);
    if (aIsOwner) return r;
    r.Access = !f_ConnectOnlyListed || e != nullptr;
    r.Talk = !f_TalkOnlyMarked || (e != nullptr && e->accMarked());
    return r;
}

bool TQORNetAccess::AccessModeAdmits(const TQORSVCContext& aCtx, bool* aTalk) const {
    const uint32_t f = aCtx.CtxFlags();
    // Owners and the Parrot are outside the modes: they keep the talk
    // permission they have.
    if ((f & QOR_CF_PRIV_CLASS) == QOR_CF_PRIV_OWNER_CLASS || (f & QOR_CF_PARROT) != 0) {
        if (aTalk != nullptr) *aTalk = (f & QOR_CF_TALK_DENIED) == 0;
        return true;
    }
    const TQORSVCAccess* e = nullptr;
    if (f_ConnectOnlyListed || f_TalkOnlyMarked) e = f_Rights.Find(aCtx.CliEMailSort());
    if (f_ConnectOnlyListed && e == nullptr) return false;
    if (aTalk != nullptr) *aTalk = !f_TalkOnlyMarked || (e != nullptr && e->accMarked());
    return true;
}

TQORAccessVerdict TQORNetAccess::CheckAccessMode(TQORSVCContext& aCtx) const {
    bool talk = true;
    if (!AccessModeAdmits(aCtx, &talk)) return TQORAccessVerdict::NoAccess;
    return aCtx.SetTalkEnabled(talk) ? TQORAccessVerdict::TalkChanged
                                     : TQORAccessVerdict::Unchanged;
}

// ---- taking over entries ----

bool TQORNetAccess::NetAddAdminFromData(const TQORSVCAdminData& aData) {
    return f_Admins.AddOrUpdateFromData(aData);
}

bool TQORNetAccess::NetAddMuteFromData(const TQORSVCMuteBlockData& aData) {
    return f_Mutes.AddOrUpdateFromData(aData);
}

bool TQORNetAccess::NetAddBlockFromData(const TQORSVCMuteBlockData& aData) {
    return f_Blocks.AddOrUpdateFromData(aData);
}

bool TQORNetAccess::NetAddAccessFromData(const TQORSVCAccessData& aData) {
    return f_Rights.AddOrUpdateFromData(aData);
}

void TQORNetAccess::NetSetModeFromData(const TQORSVCModesData& aModes) {
    f_ConnectOnlyListed = aModes.md_ConnectOnlyListed;
    f_TalkOnlyMarked = aModes.md_TalkOnlyMarked;
}

bool TQORNetAccess::NetNoticeAddFromData(const TQORSVCNoticeData& aData) {
    // Stored texts never carry control bytes or exceed the notice's length,
    // whatever the source.
    TQORSVCNoticeData d = aData;
    NormalizeNotice(d);
    if (d.nod_NoticeANSI == f_NoticeANSI && d.nod_NoticeUTF8 == f_NoticeUTF8) return false;
    f_NoticeANSI = std::move(d.nod_NoticeANSI);
    f_NoticeUTF8 = std::move(d.nod_NoticeUTF8);
    RebuildNoticeFrames();
    return true;
}

bool TQORNetAccess::NetNoticeClear() {
    if (f_NoticeANSI.empty() && f_NoticeUTF8.empty()) return false;
    f_NoticeANSI.clear();
    f_NoticeUTF8.clear();
    RebuildNoticeFrames();
    return true;
}

bool TQORNetAccess::SetNetNotice(std::string_view aTextANSI, std::string_view aTextUTF8) {
    TQORSVCNoticeData d{TrimBlanksA(aTextANSI), TrimBlanksA(aTextUTF8)};
    return NetNoticeAddFromData(d);
}

void TQORNetAccess::RebuildNoticeFrames() {
    f_NoticeV0.assign(1, static_cast<char>(QOR_FR_NOTICE_V0));
    f_NoticeV0 += "1\r\n" + f_NoticeANSI + "\r\n";
    if (f_NoticeUTF8.empty()) {
        f_NoticeV1U = f_NoticeV0;
    } else {
        f_NoticeV1U.assign(1, static_cast<char>(QOR_FR_NOTICE_V1));
        f_NoticeV1U += "1\r\n" + f_NoticeUTF8 + "\r\n";
    }
}

std::string_view TQORNetAccess::NoticeActualANSI() const {
    switch (f_InfoMode) {
        case TQORSVCAccessInfoMode::fsaim_Always: return f_NoticeANSI;
        case TQORSVCAccessInfoMode::fsaim_Never: return {};
        default: return (f_ConnectOnlyListed || f_TalkOnlyMarked) ? f_NoticeANSI : std::string_view();
    }
}

std::string_view TQORNetAccess::NoticeActualUTF8() const {
    switch (f_InfoMode) {
        case TQORSVCAccessInfoMode::fsaim_Always: return f_NoticeUTF8;
        case TQORSVCAccessInfoMode::fsaim_Never: return {};
        default: return (f_ConnectOnlyListed || f_TalkOnlyMarked) ? f_NoticeUTF8 : std::string_view();
    }
}

// ---- rereads ----

bool TQORNetAccess::ApplyMuteBlockOutcome(const TQORSVCListMergeOutcome& aOut, bool aIsBlock) {
    if (aIsBlock) {
        for (const std::string& k : aOut.Added) TerminateOnBlock(KeyText(k));
    } else {
        for (const std::string& k : aOut.Added) AutoMuteClient(KeyText(k));
        for (const std::string& k : aOut.Removed) AutoUnmuteClient(KeyText(k));
    }
    return aOut.Any();
}

void TQORNetAccess::UpdateMutesList(const TQORSVCMuteBlockList* aRead, bool aRereadCompareAttr) {
    const TQORSVCMuteBlockList empty(f_NetworkNameUTF8);
    TQORSVCListMergeOutcome out;
    MergeMuteBlockList(f_Mutes, aRead ? *aRead : empty, false, aRereadCompareAttr, out);
    if (ApplyMuteBlockOutcome(out, false)) Changed(K::Mutes);
}

void TQORNetAccess::UpdateBlocksList(const TQORSVCMuteBlockList* aRead, bool aRereadCompareAttr) {
    const TQORSVCMuteBlockList empty(f_NetworkNameUTF8);
    TQORSVCListMergeOutcome out;
    MergeMuteBlockList(f_Blocks, aRead ? *aRead : empty, true, aRereadCompareAttr, out);
    if (ApplyMuteBlockOutcome(out, true)) Changed(K::Blocks);
}

void TQORNetAccess::UpdateAdminsList(const TQORSVCAdminList* aRead, bool aRereadCompareAttr) {
    const TQORSVCAdminList empty(f_NetworkNameUTF8);
    TQORSVCListMergeOutcome out;
    MergeAdminsList(f_Admins, aRead ? *aRead : empty, aRereadCompareAttr, out);
    // New and removed admins come back in their new role.
    for (const std::string& k : out.Added) TerminateOnChangeRole(KeyText(k));
    for (const std::string& k : out.Removed) TerminateOnChangeRole(KeyText(k));
    if (out.Any()) Changed(K::Admins);
}

void TQORNetAccess::UpdateRightsList(const TQORSVCAccessList* aRead, bool aRereadCompareAttr) {
    const TQORSVCAccessList empty(f_NetworkNameUTF8);
    TQORSVCListMergeOutcome out;
    MergeAccessList(f_Rights, aRead ? *aRead : empty, aRereadCompareAttr, out);
    if (!out.Any()) return;
    e_Host.AccessProcessModes();
    Changed(K::Rights);
}

void TQORNetAccess::UpdateModes(int32_t aPacked) {
    const bool listed = (aPacked & 0xFF00) != 0;
    const bool marked = (aPacked & 0xFF) != 0;
    if (listed == f_ConnectOnlyListed && marked == f_TalkOnlyMarked) return;
    f_ConnectOnlyListed = listed;
    f_TalkOnlyMarked = marked;
    Changed(K::Modes);
    e_Host.AccessProcessModes();
}

void TQORNetAccess::UpdateNotice(const TQORSVCNoticeData* aData) {
    const bool changed = aData != nullptr ? NetNoticeAddFromData(*aData) : NetNoticeClear();
    if (changed) Changed(K::Notices);
}

// ---- the modes ----

bool TQORNetAccess::SetConnectOnlyListed(bool aOn) {
    if (f_ConnectOnlyListed == aOn) return false;
    f_ConnectOnlyListed = aOn;
    e_Host.AccessProcessModes();
    return true;
}

bool TQORNetAccess::SetTalkOnlyMarked(bool aOn) {
    if (f_TalkOnlyMarked == aOn) return false;
    f_TalkOnlyMarked = aOn;
    e_Host.AccessProcessModes();
    return true;
}

// ---- consequences ----

void TQORNetAccess::AutoMuteClient(std::string_view aClientId) {
    TQORSVCContext* c = e_Host.AccessFindMember(aClientId);
    if (c == nullptr || !c->SetMuted(true)) return;
    e_Host.AccessReleaseFloor(c);
    e_Results |= 0x2;
}

void TQORNetAccess::AutoUnmuteClient(std::string_view aClientId) {
    TQORSVCContext* c = e_Host.AccessFindMember(aClientId);
    if (c != nullptr && c->SetMuted(false)) e_Results |= 0x2;
}

void TQORNetAccess::TerminateOnChangeRole(std::string_view aClientId) {
    TQORSVCContext* c = e_Host.AccessFindMember(aClientId);
    if (c != nullptr) c->ClientTerminateSignal(TQORSVCDisconnectCause::fsdc_ChangeRole);
}

void TQORNetAccess::TerminateOnBlock(std::string_view aClientId) {
    if (e_Host.AccessIsOwnerId(aClientId)) return;
    TQORSVCContext* c = e_Host.AccessFindMember(aClientId);
    if (c != nullptr) c->ClientTerminateSignal(TQORSVCDisconnectCause::fsdc_AdminBlock);
}

// ---- results, sends, expiry ----

void TQORNetAccess::Changed(TQORSVCListKind aKind) {
    switch (aKind) {
        case K::Mutes: e_Results |= kNetResMutesChanged; break;
        case K::Blocks: e_Results |= kNetResBlocksChanged; break;
        case K::Admins: e_Results |= kNetResAdminsChanged; break;
        case K::Modes: e_Results |= kNetResModesChanged; break;
        case K::Rights: e_Results |= kNetResRightsChanged; break;
        case K::Notices: e_Results |= kNetResNoticeChanged; break;
        case K::Owner: return;
    }
    e_Host.AccessListChanged(aKind);
}

std::set<TQORSVCContext*>& TQORNetAccess::PendingOf(TQORSVCListKind aKind) {
    switch (aKind) {
        case K::Mutes: return f_DummMutes;
        case K::Blocks: return f_DummBlocks;
        case K::Admins: return f_DummAdmins;
        case K::Modes: return f_DummModes;
        case K::Rights: return f_DummRights;
        default: return f_DummNotices;
    }
}

void TQORNetAccess::AddPending(TQORSVCListKind aKind, TQORSVCContext* aCtx) {
    static constexpr uint32_t kPendingBit[] = {kNetResMutesPending,  kNetResBlocksPending,
                                               kNetResAdminsPending, kNetResModesPending,
                                               kNetResRightsPending, kNetResNoticePending, 0};
    if (aKind == K::Owner || aCtx == nullptr) return;
    PendingOf(aKind).insert(aCtx);
    e_Results |= kPendingBit[static_cast<int>(aKind)];
}

void TQORNetAccess::ForgetContext(TQORSVCContext* aCtx) {
    for (auto* s : {&f_DummMutes, &f_DummBlocks, &f_DummAdmins, &f_DummModes, &f_DummRights,
                    &f_DummNotices})
        s->erase(aCtx);
}

std::string TQORNetAccess::MakeListFrame(TQORSVCListKind aKind, bool aUTF8) const {
    std::string f;
    switch (aKind) {
        case K::Mutes:
        case K::Blocks: {
            const TQORSVCMuteBlockList& l = aKind == K::Mutes ? f_Mutes : f_Blocks;
            const bool mutes = aKind == K::Mutes;
            f.push_back(static_cast<char>(aUTF8 ? (mutes ? QOR_FR_MUTES_V1 : QOR_FR_BLOCKS_V1)
                                                : (mutes ? QOR_FR_MUTES_V0 : QOR_FR_BLOCKS_V0)));
            AppendCountLine(f, l.TimeCount());
            for (int32_t i = 0; i < l.TimeCount(); ++i)
                f += aUTF8 ? l.ByTimeAt(i)->RecordForClientV1() : l.ByTimeAt(i)->RecordForClientV0();
            return f;
        }
        case K::Admins:
            f.push_back(static_cast<char>(aUTF8 ? QOR_FR_ADMINS_V1 : QOR_FR_ADMINS_V0));
            AppendCountLine(f, f_Admins.TimeCount());
            for (int32_t i = 0; i < f_Admins.TimeCount(); ++i)
                f += aUTF8 ? f_Admins.ByTimeAt(i)->RecordForNetworkV1()
                           : f_Admins.ByTimeAt(i)->RecordForNetworkV0();
            return f;
        case K::Rights:
            f.push_back(static_cast<char>(aUTF8 ? QOR_FR_RIGHTS_V1 : QOR_FR_RIGHTS_V0));
            AppendCountLine(f, f_Rights.TimeCount());
            for (int32_t i = 0; i < f_Rights.TimeCount(); ++i)
                f += aUTF8 ? f_Rights.ByTimeAt(i)->AccessRecordV1()
                           : f_Rights.ByTimeAt(i)->AccessRecordV0();
            return f;
        case K::Modes:
            f.push_back(static_cast<char>(QOR_FR_MODES));
            f += "2\r\n";
            f += f_ConnectOnlyListed ? "1\r\n" : "0\r\n";
            f += f_TalkOnlyMarked ? "1\r\n" : "0\r\n";
            return f;
        case K::Notices: return aUTF8 ? f_NoticeV1U : f_NoticeV0;
        case K::Owner: return f;
    }
    return f;
}

void TQORNetAccess::SendOne(TQORSVCListKind aKind, uint32_t aChangedBit, uint32_t aPendingBit,
                            std::set<TQORSVCContext*>& aPending) {
    if ((e_Results & (aChangedBit | aPendingBit)) == 0) {
        aPending.clear();
        return;
    }
    const ListRoute& r = RouteOf(aKind);
    const std::string v0 = MakeListFrame(aKind, false);
    const std::string v1 = MakeListFrame(aKind, true);
    if (e_Results & aChangedBit) {
        e_Host.AccessSendVisible(v1, r.Mask, r.Value1);
        if (r.Value1 != r.Value0) e_Host.AccessSendVisible(v0, r.Mask, r.Value0);
    } else {
        // Each member once: a newbie may also have asked by a command.
        std::set<TQORSVCContext*> to(aPending.begin(), aPending.end());
        for (TQORSVCContext* c : e_Host.AccessNewbies()) to.insert(c);
        for (TQORSVCContext* c : to) {
            const uint32_t f = c->CtxFlags();
            if (Matches(f, r.Mask, r.Value1))
                c->SendString(v1);
            else if (Matches(f, r.Mask, r.Value0))
                c->SendString(v0);
        }
    }
    aPending.clear();
}

void TQORNetAccess::SendLists() {
    SendOne(K::Blocks, kNetResBlocksChanged, kNetResBlocksPending, f_DummBlocks);
    SendOne(K::Mutes, kNetResMutesChanged, kNetResMutesPending, f_DummMutes);
    SendOne(K::Admins, kNetResAdminsChanged, kNetResAdminsPending, f_DummAdmins);
    SendOne(K::Modes, kNetResModesChanged, kNetResModesPending, f_DummModes);
    SendOne(K::Rights, kNetResRightsChanged, kNetResRightsPending, f_DummRights);
    SendOne(K::Notices, kNetResNoticeChanged, kNetResNoticePending, f_DummNotices);
}

void TQORNetAccess::Expire(int64_t aNow) {
    std::vector<std::string> removed;
    if (!f_Mutes.Empty() && ExpireMuteBlockEntries(f_Mutes, aNow, &removed)) {
        for (const std::string& k : removed) AutoUnmuteClient(KeyText(k));
        Changed(K::Mutes);
    }
    if (!f_Blocks.Empty() && ExpireMuteBlockEntries(f_Blocks, aNow, nullptr)) Changed(K::Blocks);
}

void TQORNetAccess::AppendSnapshot(TQORSVCListKind aKind, TQORSVCWriteArray& aLines) const {
    switch (aKind) {
        case K::Mutes: f_Mutes.AppendFileLines(aLines); return;
        case K::Blocks: f_Blocks.AppendFileLines(aLines); return;
        case K::Admins: f_Admins.AppendFileLines(aLines); return;
        case K::Rights: f_Rights.AppendFileLines(aLines); return;
        case K::Modes:
            if (f_ConnectOnlyListed || f_TalkOnlyMarked)
                aLines.push_back(MakeModesFileLine(
                    f_NetworkNameUTF8, TQORSVCModesData{f_ConnectOnlyListed, f_TalkOnlyMarked}));
            return;
        case K::Notices:
            if (!f_NoticeANSI.empty() || !f_NoticeUTF8.empty())
                aLines.push_back(MakeNoticeFileLine(
                    f_NetworkNameUTF8, TQORSVCNoticeData{f_NoticeANSI, f_NoticeUTF8}));
            return;
        case K::Owner: return;
    }
}

}  // namespace gax
