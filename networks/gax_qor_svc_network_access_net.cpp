// The access lists wired into TQORServNetwork (heartbeat thread): the
// admission's look-ups, the reread records, expiry at the ping, the list
// sends, and the access rules applied again to every member and hold.
#include <ctime>
#include <new>

#include "foundation/gax_strutils.h"
#include "networks/gax_qor_svc_network.h"
#include "networks/gax_qor_svc_network_admin.h"
#include "networks/gax_qor_svc_network_service.h"
#include "server/gax_qor_svc_server_lists.h"

namespace gax {

using Cause = TQORSVCDisconnectCause;

struct TQORServNetwork::AccessHost final : TQORNetAccessHost {
    explicit AccessHost(TQORServNetwork& aNet) : Net(aNet) {}
    TQORSVCContext* AccessFindMember(std::string_view aClientId) override GAX_REQUIRES(kHeartbeat) {
        auto it = Net.f_EMailHash.find(std::string(aClientId));
        return it == Net.f_EMailHash.end() ? nullptr : it->second;
    }
    void AccessReleaseFloor(TQORSVCContext* aCtx) override GAX_REQUIRES(kHeartbeat) {
        if (Net.f_Relay->ReleaseTX_IfEqual(aCtx) == nullptr) return;
        Net.RelaySync();
        static const char eot = 0x00;
        Net.SendData(&eot, 1, QOR_CF_NO_SERVER_SOUNDS | QOR_CF_LEAVING | QOR_CF_EMULATED_TX, 0);
    }
    bool AccessIsOwnerId(std::string_view aClientId) const override GAX_REQUIRES(kHeartbeat) {
        return Net.IsNetOrServerOwnerByHash(aClientId);
    }
    void AccessListChanged(TQORSVCListKind aKind) override GAX_REQUIRES(kHeartbeat) { Net.e_Host.NetHostListChanged(aKind); }
    void AccessSendVisible(const std::string& aData, uint32_t aMask, uint32_t aValue) override GAX_REQUIRES(kHeartbeat) {
        Net.SendData(aData.data(), static_cast<int32_t>(aData.size()), aMask, aValue);
    }
    std::vector<TQORSVCContext*> AccessNewbies() const override GAX_REQUIRES(kHeartbeat) {
        return Net.f_NewbieHold.LastFirst();
    }
    void AccessProcessModes() override GAX_REQUIRES(kHeartbeat) { Net.tmProcessAccessModes(); }
    TQORServNetwork& Net;
};

void TQORServNetwork::AccessInit() {
    f_AccessHost = std::make_unique<AccessHost>(*this);
    f_Access = std::make_unique<TQORNetAccess>(NetworkNameUTF8(), NetOptions().no_AccessInfoMode,
                                               *f_AccessHost, f_NetResults);
}

bool TQORServNetwork::NetFindAdmin(const TQORSVCContext& aCtx, bool& aDiffers) const {
    return f_Access->FindAdminForContext(aCtx, aDiffers);
}

bool TQORServNetwork::IsBlockedOnNetwork(const TQORSVCContext& aCtx, bool& aDiffers) const {
    return f_Access->IsBlocked(aCtx, aDiffers);
}

TQORSVCClientRights TQORServNetwork::GetRights(const TQORSVCContext& aCtx) const {
    return f_Access->GetRights(aCtx, aCtx.CliPrivilege >= clpr_NETOWNER);
}

bool TQORServNetwork::IsMutedOnNetwork(const TQORSVCContext& aCtx, bool& aDiffers) const {
    return f_Access->IsMuted(aCtx, aDiffers);
}

void TQORServNetwork::AppendSnapshot(TQORSVCListKind aKind, TQORSVCWriteArray& aLines) const {
    f_Access->AppendSnapshot(aKind, aLines);
}

bool TQORServNetwork::AccessDispatch(TQORNetCommand& aCmd) {
    using C = TQORServNetworkCommand;
    TQORSVCNetQueueRecord& r = *aCmd.Rec;
    TQORSVCListSlot empty;
    TQORSVCListSlot& slot = r.nqr_ListArray.empty() ? empty : r.nqr_ListArray[0];
    TQORNetAccess& a = *f_Access;
    switch (r.nqr_Cmd) {
        case C::snc_UpdateAdminsList: {
            auto p = TakeListAs<TQORSVCAdminListPayload>(slot);
            a.UpdateAdminsList(p ? p->Value.get() : nullptr, f_RereadCompareAttr);
            return true;
        }
        case C::snc_UpdateMutesList: {
            auto p = TakeListAs<TQORSVCMuteBlockListPayload>(slot);
            a.UpdateMutesList(p ? p->Value.get() : nullptr, f_RereadCompareAttr);
            return true;
        }
        case C::snc_UpdateBlocksList: {
            auto p = TakeListAs<TQORSVCMuteBlockListPayload>(slot);
            a.UpdateBlocksList(p ? p->Value.get() : nullptr, f_RereadCompareAttr);
            return true;
        }
        case C::snc_UpdateRightsList: {
            auto p = TakeListAs<TQORSVCAccessListPayload>(slot);
            a.UpdateRightsList(p ? p->Value.get() : nullptr, f_RereadCompareAttr);
            return true;
        }
        case C::snc_UpdateModesList: a.UpdateModes(slot.Number); return true;
        case C::snc_UpdateNoticesList: {
            auto p = TakeListAs<TQORSVCNoticePayload>(slot);
            a.UpdateNotice(p ? p->Value.get() : nullptr);
            return true;
        }
        default: return false;
    }
}

void TQORServNetwork::AccessExpire() {
    if (f_Access->Mutes().Empty() && f_Access->Blocks().Empty()) return;
    f_Access->Expire(f_EpochNow ? f_EpochNow() : static_cast<int64_t>(std::time(nullptr)));
}

void TQORServNetwork::AccessSends() { f_Access->SendLists(); }

void TQORServNetwork::AccessStoreDiffers(TQORSVCContext* aCtx) {
    TQORNetAccess& a = *f_Access;
    const auto key = MakeDwordPaddedKey(aCtx->CliHashA());
    auto refreshMuteBlock = [&](TQORSVCMuteBlockList& aList,
                                TQORSVCListKind aKind) GAX_REQUIRES(kHeartbeat) {
        TQORSVCMuteBlock* e = aList.Find(key);
        if (e == nullptr) return;
        TQORSVCMuteBlockData d = e->GetData();
        FillMuteBlockFromContext(d, *aCtx);
        e->SetFromData(d);
        a.Changed(aKind);
    };
    if (aCtx->CliDiffersWithMutes) refreshMuteBlock(a.Mutes(), TQORSVCListKind::Mutes);
    if (aCtx->CliDiffersWithBlocks) refreshMuteBlock(a.Blocks(), TQORSVCListKind::Blocks);
    if (aCtx->CliDiffersWithAdmins) {
        if (TQORSVCAdmin* e = a.Admins().Find(key)) {
            TQORSVCAdminData d = e->GetData();
            d.add_CountryANSI = aCtx->CliCountryANSI();
            d.add_CityCityPartANSI = aCtx->CliCityCityPartANSI();
            d.add_BandChannelANSI = aCtx->CliBandChannelANSI();
            d.add_CallsignOpnameANSI = aCtx->CliCallsignOpnameANSI();
            d.add_CountryUTF8 = aCtx->CliCountryUTF8();
            d.add_CityCityPartUTF8 = aCtx->CliCityCityPartUTF8();
            d.add_BandChannelUTF8 = aCtx->CliBandChannelUTF8();
            d.add_CallsignOpnameUTF8 = aCtx->CliCallsignOpnameUTF8();
            d.add_ClientType = aCtx->CliClientType();
            d.add_UTF8 = aCtx->CliUTF8();
            e->SetFromData(d);
            a.Changed(TQORSVCListKind::Admins);
        }
    }
    if (aCtx->CliDiffersWithRights) {
        if (TQORSVCAccess* e = a.Rights().Find(aCtx->CliEMailSort())) {
            TQORSVCAccessData d = e->GetData();
            FillAccessDataFromContext(d, *aCtx);
            e->SetFromData(d);
            a.Changed(TQORSVCListKind::Rights);
        }
    }
    if (aCtx->CliDiffersWithServOwner && f_OwnerInfoSink) f_OwnerInfoSink(*aCtx);
    aCtx->CliDiffersWithMutes = aCtx->CliDiffersWithBlocks = aCtx->CliDiffersWithAdmins =
        aCtx->CliDiffersWithRights = aCtx->CliDiffersWithServOwner = false;
}

void TQORServNetwork::tmProcessAccessModes() {
    TQORNetAccess& a = *f_Access;
    try {
        for (auto it = f_VisualOper.rbegin(); it != f_VisualOper.rend(); ++it) {
            TQORSVCContext* c = it->second;
            switch (a.CheckAccessMode(*c)) {
                case TQORAccessVerdict::TalkChanged: f_NetResults |= kNetResStatus; break;
                case TQORAccessVerdict::NoAccess:
                    // A talker loses the floor before it goes.
                    f_AccessHost->AccessReleaseFloor(c);
                    c->ClientTerminateSignal(Cause::fsdc_AdminBlock);
                    break;
                default: break;
            }
        }
    } catch (...) {
        // A visible member stays; the rest of the walk is given up.
        AccessModesFailed(nullptr, nullptr, u"visual: ", false);
    }
    for (TQORSVCContext* c : f_QuarantineHold.LastFirst()) {
        try {
            if (a.CheckAccessMode(*c) != TQORAccessVerdict::NoAccess) continue;
            c->UnregisterWithManagers();
            f_QuarantineHold.Remove(c);
            tmPutInDeleteHold(c, Cause::fsdc_AdminBlock);
        } catch (...) {
            AccessModesFailed(c, &f_QuarantineHold, u"QUARANTINE: ", false);
        }
    }
    for (TQORSVCContext* c : f_NewbieHold.LastFirst()) {
        try {
            if (IsVisible(c) || a.CheckAccessMode(*c) != TQORAccessVerdict::NoAccess) continue;
            c->DisconnectCauseW(Cause::fsdc_AdminBlock);
            f_NetResults |= kNetResMembership;
            c->UnregisterWithManagers();
            f_NewbieHold.Remove(c);
            tmPutInDeleteHold(c, Cause::fsdc_AdminBlock);
        } catch (...) {
            AccessModesFailed(c, &f_NewbieHold, u"newbie: ", true);
        }
    }
    for (TQORSVCContext* c : f_ApprovedHold.LastFirst()) {
        try {
            if (a.CheckAccessMode(*c) != TQORAccessVerdict::NoAccess) continue;
            c->UnregisterWithManagers();
            f_ApprovedHold.Remove(c);
            tmPutInDeleteHold(c, Cause::fsdc_AdminBlock);
        } catch (...) {
            AccessModesFailed(c, &f_ApprovedHold, u"approved: ", true);
        }
    }
    for (TQORSVCContext* c : f_AttachHold.LastFirst()) {
        try {
            const TQORSVCClientRights r = GetRights(*c);
            if (!r.Access) {
                f_AttachHold.Remove(c);
                tmRejectClient(c, TClientErrorType::cet_BLOCK, Cause::fsdc_AdminBlock);
            } else {
                c->SetFlagsTalkEnable(r.Talk);
            }
        } catch (...) {
            AccessModesFailed(c, &f_AttachHold, u"approved: ", true);
        }
    }
}

void TQORServNetwork::AccessModesFailed(TQORSVCContext* aCtx, TQORNetHold* aHold,
                                        std::u16string_view aPlace, bool aAlwaysPrefix) {
    bool outOfMemory = false;
    std::u16string text, message;
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        outOfMemory = true;
        text = DescribeException(e);
        message = ByteStrToUnicode(e.what());
    } catch (const Exception& e) {
        text = DescribeException(e);
        message = e.Message();
    } catch (const std::exception& e) {
        text = DescribeException(e);
        message = ByteStrToUnicode(e.what());
    } catch (...) {
        text = u"unknown exception: ";
    }
    Log(u"ERROR: " + (outOfMemory || aAlwaysPrefix ? f_NetPrefixName : std::u16string()) +
        u"process_access_modes: " + std::u16string(aPlace) + text);
    if (aCtx == nullptr) return;
    // The context cannot be judged: it does not stay in its hold.
    const Cause cause = outOfMemory ? Cause::fsdc_ServOutOfMemory : Cause::fsdc_ServInternalError;
    aHold->Remove(aCtx);
    if (f_DelHold.Contains(aCtx)) return;  // the failure came after it was put there
    aCtx->SetInternalErrorText(std::move(message));
    if (aHold == &f_AttachHold) {
        tmRejectClient(aCtx, TClientErrorType::cet_BLOCK, cause);
        return;
    }
    if (aHold == &f_NewbieHold) f_NetResults |= kNetResMembership;
    try {
        aCtx->UnregisterWithManagers();
    } catch (...) {
        // Logged above (it is most likely the same failure): the context
        // still leaves, or it would stay in no hold at all.
    }
    tmPutInDeleteHold(aCtx, cause);
}

// ---- the service's side: the lists read at start-up reach the networks ----

void TQORNetworkedService::trTakeStartList(TQORSVCListLoad& aLoad) {
    // The service thread fills the networks before the heartbeat runs commands.
    for (int32_t i = 0; i < f_List->Count(); ++i) {
        auto* net = dynamic_cast<TQORServNetwork*>(f_List->GetNetworkOriginal(i));
        if (net == nullptr) continue;
        TQORNetAccess& a = net->Access();
        const size_t k = static_cast<size_t>(i);
        switch (aLoad.Kind) {
            case TQORSVCListKind::Mutes:
            case TQORSVCListKind::Blocks:
                if (k < aLoad.MuteBlocks.size() && aLoad.MuteBlocks[k]) {
                    const TQORSVCMuteBlockList& l = *aLoad.MuteBlocks[k];
                    for (int32_t e = 0; e < l.Count(); ++e) {
                        if (aLoad.Kind == TQORSVCListKind::Mutes)
                            a.NetAddMuteFromData(l.At(e)->GetData());
                        else
                            a.NetAddBlockFromData(l.At(e)->GetData());
                    }
                }
                break;
            case TQORSVCListKind::Admins:
                if (k < aLoad.Admins.size() && aLoad.Admins[k])
                    for (int32_t e = 0; e < aLoad.Admins[k]->Count(); ++e)
                        a.NetAddAdminFromData(aLoad.Admins[k]->At(e)->GetData());
                break;
            case TQORSVCListKind::Rights:
                if (k < aLoad.Rights.size() && aLoad.Rights[k])
                    for (int32_t e = 0; e < aLoad.Rights[k]->Count(); ++e)
                        a.NetAddAccessFromData(aLoad.Rights[k]->At(e)->GetData());
                break;
            case TQORSVCListKind::Modes:
                if (k < aLoad.Modes.size()) a.NetSetModeFromData(aLoad.Modes[k]);
                break;
            case TQORSVCListKind::Notices:
                if (k < aLoad.Notices.size() && aLoad.Notices[k])
                    a.NetNoticeAddFromData(*aLoad.Notices[k]);
                break;
            case TQORSVCListKind::Owner: break;
        }
    }
}

}  // namespace gax
