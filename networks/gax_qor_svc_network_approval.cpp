// A network's side of the system managers: a client admitted in a manager
// mode waits in ATTACH until every effective manager has answered its
// registration; the answers are recorded in the client's context and decide,
// with the mode, whether it may stay. Managers coming on line get the
// registrations they miss, managers going off line are forgotten, and a
// change of the mode re-checks the visible clients.
//
// Heartbeat thread only, inside NetHeartBeat.
#include <bit>

#include "foundation/gax_strutils.h"
#include "networks/gax_qor_svc_network.h"
#include "server/gax_qor_svc_clientdescr.h"

namespace gax {

using Cause = TQORSVCDisconnectCause;
using C = TQORServNetworkCommand;

namespace {

int32_t CountOf(uint32_t aMask) { return std::popcount(aMask & 0x0Fu); }

}  // namespace

TQORSVCDisconnectCause TQORServNetwork::ManagerRefusalCause(TClientErrorType aError) {
    switch (aError) {
        case TClientErrorType::cet_WRONG: return Cause::fsdc_ManagerWrongPassword;
        case TClientErrorType::cet_BLOCK: return Cause::fsdc_ManagerBlock;
        case TClientErrorType::cet_DUPL: return Cause::fsdc_ManagerDuplicate;
        default: return Cause::fsdc_ManagerError;
    }
}

bool TQORServNetwork::ApprovalDispatch(TQORNetCommand& aCmd) {
    TQORSVCNetQueueRecord& r = *aCmd.Rec;
    switch (r.nqr_Cmd) {
        case C::snc_ManagerAnswer: tmManagerAnswer(aCmd); return true;
        case C::snc_ManagerOnOffLine:
            if (r.nqr_DataI1 != 0)
                tmManagerOnLine(r.nqr_DataI0);
            else
                tmManagerOffLine(r.nqr_DataI0);
            return true;
        case C::snc_ChannelServerManagerMode:
        case C::snc_ChannelNetworkManagerMode: tmManagerModeChanged(r.nqr_DataI0); return true;
        default: return false;
    }
}

void TQORServNetwork::tmRegisterWithTheManager(int32_t aIndex, TQORSVCContext* aCtx) {
    TQORSVCContextManagerInfo& mi = aCtx->CliManagersInfo[size_t(aIndex)];
    if (mi.cmi_ManagerStatus == TQORClientSysManStatus::csms_OK || mi.cmi_Requesting) return;
    mi.cmi_Requesting = true;
    e_Managers->NetManagerRegister(aIndex, *aCtx, *this, 0);
}

void TQORServNetwork::tmRegisterWithManagers(TQORSVCContext* aCtx) {
    for (int32_t i = 0; i < kQORManagerSlots; ++i) {
        if (!(f_EffManagersMask & (1u << i))) continue;
        if (e_Managers != nullptr && e_Managers->NetManagerActive(i)) {
            tmRegisterWithTheManager(i, aCtx);
        } else {
            // Nobody would ever answer for it: it counts as not answering.
            tmRecordManagerAnswer(aCtx, i, 0, std::string(), TClientErrorType::cet_NONE);
        }
    }
    if (f_AttachHold.Contains(aCtx) &&
        aCtx->CliManagersAnswerCount >= CountOf(f_EffManagersMask))
        tmDecideAttach(aCtx);
}

void TQORServNetwork::tmRecordManagerAnswer(TQORSVCContext* aCtx, int32_t aIndex,
                                            uint32_t aFlags, const std::string& aManagerId,
                                            TClientErrorType aAnswer) {
    if (aIndex < 0 || aIndex >= kQORManagerSlots) return;
    if (aCtx->CliManagersAnswerCount < CountOf(f_EffManagersMask)) ++aCtx->CliManagersAnswerCount;
    TQORSVCContextManagerInfo& mi = aCtx->CliManagersInfo[size_t(aIndex)];
    mi.cmi_Requesting = false;
    if (aAnswer == TClientErrorType::cet_OK) {
        mi.cmi_ManagerStatus = TQORClientSysManStatus::csms_OK;
        mi.cmi_ManagerId = aManagerId;
        mi.cmi_ManagerIdA2 = ByteStrToUnicode(aManagerId);
        mi.cmi_Approved = true;
    } else {
        mi.cmi_ManagerStatus = aAnswer == TClientErrorType::cet_NONE
                                   ? TQORClientSysManStatus::csms_NoManager
                                   : TQORClientSysManStatus::csms_Error;
        mi.cmi_ManagerId.clear();
        mi.cmi_ManagerIdA2.clear();
        mi.cmi_Approved = ManagerAnswerApproves(f_EffManagerMode, aAnswer);
        if (aAnswer == TClientErrorType::cet_NONE && !mi.cmi_Approved)
            aAnswer = TClientErrorType::cet_BLOCK;
    }
    mi.cmi_ManagerAnswer = aAnswer;
    mi.cmi_ManagerAnswerFlags = aFlags;
}

void TQORServNetwork::tmApproveFromAttach(TQORSVCContext* aCtx) {
    f_AttachHold.Remove(aCtx);
    if (aCtx->CtxMovingFromNetToNet) {
        GoNewbie(aCtx);
    } else {
        f_ApprovedHold.Add(aCtx);
        tmSendHandshakeAnswerOK(aCtx);
    }
}

void TQORServNetwork::tmDecideAttach(TQORSVCContext* aCtx) {
    TClientErrorType err = TClientErrorType::cet_NONE;
    // In standalone every answer approves (a switch while answers were on
    // their way strands nobody).
    const bool approved = f_EffManagerMode == smm_Standalone || aCtx->CheckApproved(err) ||
                          AllowByPrivilege(aCtx->CliPrivilege);
    if (approved) {
        tmApproveFromAttach(aCtx);
        return;
    }
    aCtx->UnregisterWithManagers();
    f_AttachHold.Remove(aCtx);
    const Cause cause = ManagerRefusalCause(err);
    if (aCtx->CtxMovingFromNetToNet) {
        tmPutInDeleteHold(aCtx, cause);
    } else {
        tmRejectClient(aCtx, err == TClientErrorType::cet_NONE ? TClientErrorType::cet_BLOCK : err,
                       cause);
    }
}

void TQORServNetwork::tmManagerAnswer(TQORNetCommand& aCmd) {
    const TQORSVCNetQueueRecord& r = *aCmd.Rec;
    const auto answer = static_cast<TClientErrorType>(r.nqr_DataI0);
    const int32_t idx = r.nqr_DataI1;
    TQORSVCContext* ctx = aCmd.Ctx;
    TQORNetHold* hold = nullptr;
    bool visible = false;
    if (ctx != nullptr) {
        for (TQORNetHold* h : {&f_AttachHold, &f_ApprovedHold, &f_QuarantineHold, &f_NewbieHold}) {
            if (h->Contains(ctx)) {
                hold = h;
                break;
            }
        }
        if (hold == nullptr) visible = IsVisible(ctx);
    }
    if (hold == nullptr && !visible) {
        // Gone (or its memory reused under another key): a positive answer
        // is withdrawn from that manager at once.
        if (answer == TClientErrorType::cet_OK && e_Managers != nullptr &&
            e_Managers->NetManagerActive(idx))
            e_Managers->NetManagerUnregister(idx, r.nqr_DataS2, std::string_view(), *this);
        return;
    }
    if (answer == TClientErrorType::cet_OK && r.nqr_Socket != 0 && e_Managers != nullptr)
        e_Managers->NetManagerConfirmEmail(ctx->CliTransportBlock(),
                                           static_cast<int32_t>(r.nqr_Socket));
    tmRecordManagerAnswer(ctx, idx, static_cast<uint32_t>(r.nqr_DataI2), r.nqr_DataS2, answer);
    if (ctx->CliManagersAnswerCount < CountOf(f_EffManagersMask)) return;

    if (hold == &f_AttachHold) {
        tmDecideAttach(ctx);
        return;
    }
    TClientErrorType err = TClientErrorType::cet_NONE;
    const bool approved = f_EffManagerMode == smm_Standalone || ctx->CheckApproved(err) ||
                          AllowByPrivilege(ctx->CliPrivilege);
    if (visible) {
        if (answer == TClientErrorType::cet_OK && NetLogLevel() >= 4) {
            TStringBldU b;
            AppendStr(b, ctx->ConnectionStringU() + u" MANAGER_AUTH MIDX=" + IntToDecStrW(idx));
            AppendClientDescription(b, *ctx);
            Log(ToText(b));
        }
        if (!approved) ctx->ClientTerminateSignal(ManagerRefusalCause(err));
        return;
    }
    if (approved) return;
    hold->Remove(ctx);
    if (hold == &f_NewbieHold) f_NetResults |= kNetResMembership;
    ctx->UnregisterWithManagers();
    tmPutInDeleteHold(ctx, ManagerRefusalCause(err));
}

void TQORServNetwork::tmManagerOnLine(int32_t aIndex) {
    if (f_EffManagerMode == smm_Standalone || aIndex < 0 || aIndex >= kQORManagerSlots) return;
    if (e_Managers == nullptr) return;
    const int32_t count = ManagersVisibleCount();
    e_Managers->NetManagerClientCount(aIndex, *this, count);
    f_ManagersReportedCount = count;
    // Only a manager that serves this network learns of its clients.
    if (!(f_EffManagersMask & (1u << aIndex)) || !e_Managers->NetManagerActive(aIndex)) return;
    for (const auto& [key, c] : f_VisualOper)
        if (!c->IsParrot()) tmRegisterWithTheManager(aIndex, c);
    for (TQORNetHold* h : {&f_QuarantineHold, &f_ApprovedHold, &f_NewbieHold})
        for (TQORSVCContext* c : h->LastFirst())
            if (!IsVisible(c)) tmRegisterWithTheManager(aIndex, c);
}

void TQORServNetwork::tmManagerOffLine(int32_t aIndex) {
    if (f_EffManagerMode == smm_Standalone) return;
    for (const auto& [key, c] : f_VisualOper)
        if (!c->IsParrot()) c->ClearTheManagerInfo(aIndex, f_EffManagerMode);
    for (TQORNetHold* h : {&f_ApprovedHold, &f_NewbieHold, &f_QuarantineHold})
        for (TQORSVCContext* c : h->LastFirst())
            if (!IsVisible(c)) c->ClearTheManagerInfo(aIndex, f_EffManagerMode);
}

void TQORServNetwork::tmManagerModeChanged(int32_t aMode) {
    if (aMode < 0 || aMode > 3) return;
    auto mode = static_cast<TQORSystemManagerMode>(aMode);
    if (f_EffManagersMask == 0) mode = smm_Standalone;
    // Compared with the mode in force, so that the configured mode can be
    // restored after another request switched it away.
    if (mode == f_EffManagerMode) return;
    f_EffManagerMode = mode;
    if (mode == smm_Standalone) {
        // Nobody waits for managers in standalone: the ATTACH hold is let in.
        for (TQORSVCContext* c : f_AttachHold.LastFirst()) tmApproveFromAttach(c);
        return;
    }
    std::vector<TQORSVCContext*> visible;
    for (const auto& [key, c] : f_VisualOper) visible.push_back(c);
    for (TQORSVCContext* c : visible) {
        c->RecalcApprovedManagersFlags(mode);
        TClientErrorType err = TClientErrorType::cet_NONE;
        if (!c->CheckApproved(err) && !AllowByPrivilege(c->CliPrivilege))
            c->ClientTerminateSignal(ManagerRefusalCause(err));
    }
}

int32_t TQORServNetwork::ManagersVisibleCount() const {
    // The Parrot is nobody the managers know of.
    return static_cast<int32_t>(VisibleCount()) - (f_Parrot && IsVisible(f_Parrot.get()) ? 1 : 0);
}

void TQORServNetwork::tmReportCountToManagers() {
    if (e_Managers == nullptr || NetOptions().no_ManagersMask == 0) return;
    const int32_t count = ManagersVisibleCount();
    if (count == f_ManagersReportedCount) return;
    f_ManagersReportedCount = count;
    for (int32_t i = 0; i < kQORManagerSlots; ++i)
        e_Managers->NetManagerClientCount(i, *this, count);
}

}  // namespace gax

// ---- the service with networks: its networks' road to the managers ----

#include "networks/gax_qor_svc_network_service.h"

namespace gax {

namespace {

// The link the heartbeat knows a network by: answers name it.
const TQORNetworkMemberLink* LinkOf(const std::vector<TQORNetworkMemberLink*>& aLinks,
                                    const TQORSVCClientNetwork* aNetwork) {
    for (const TQORNetworkMemberLink* l : aLinks)
        if (static_cast<const TQORSVCClientNetwork*>(&l->Network()) == aNetwork) return l;
    return nullptr;
}

}  // namespace

std::vector<TQORService::TQORSVCManagerNet> TQORNetworkedService::trManagerNets() const {
    std::vector<TQORSVCManagerNet> out;
    for (const TQORNetworkMemberLink* l : f_Links) {
        const TQORServNetwork& n = l->Network();
        out.push_back({n.NetworkNameANSI(), n.NetworkNameUTF8(),
                       uint32_t(n.NetOptions().no_ManagersMask), n.NetManagerMode()});
    }
    return out;
}

void TQORNetworkedService::trApplyManagersMask(uint32_t aActiveMask) {
    for (TQORNetworkMemberLink* l : f_Links) {
        l->Network().SetEffManagersMask(aActiveMask);
        l->Network().SetManagers(aActiveMask != 0 ? this : nullptr);
    }
}

void TQORNetworkedService::ManagerUnregisterClient(int32_t aIndex, std::string_view aManagerId,
                                                   std::string_view aClientId,
                                                   const TQORSVCClientNetwork* aNetwork) {
    if (aNetwork != nullptr) NetManagerUnregister(aIndex, aManagerId, aClientId, *aNetwork);
}

void TQORNetworkedService::NetManagerRegister(int32_t aIndex, const TQORSVCContext& aCtx,
                                              const TQORSVCClientNetwork& aNetwork,
                                              int32_t aFlags) {
    TQORSVCManagerThread* m = SysManThread(aIndex);
    const TQORNetworkMemberLink* link = LinkOf(f_Links, &aNetwork);
    if (m == nullptr || link == nullptr) return;
    std::vector<std::u16string> uni;
    uni.reserve(kQORUnicodeBlockSize);
    for (int32_t i = 0; i < kQORUnicodeBlockSize; ++i) uni.push_back(aCtx.CliUnicode(i));
    m->SysMan_RegisterClient(CtxRefOf(static_cast<const TQORSVCWrkCtx*>(&aCtx)), link,
                             link->Network().NetOriginalIndex(), aFlags,
                             aCtx.CliTransportBlock(), aCtx.Peer_Address(), aCtx.CliHashA(),
                             &uni, aCtx.CliUTF8());
}

void TQORNetworkedService::NetManagerUnregister(int32_t aIndex, std::string_view aManagerId,
                                                std::string_view aClientId,
                                                const TQORSVCClientNetwork& aNetwork) {
    TQORSVCManagerThread* m = SysManThread(aIndex);
    const TQORNetworkMemberLink* link = LinkOf(f_Links, &aNetwork);
    if (m == nullptr || link == nullptr) return;
    m->SysMan_UnregisterClient(std::string(aManagerId), std::string(aClientId), link,
                               link->Network().NetOriginalIndex());
}

void TQORNetworkedService::NetManagerClientCount(int32_t aIndex,
                                                 const TQORSVCClientNetwork& aNetwork,
                                                 int32_t aCount) {
    const TQORNetworkMemberLink* link = LinkOf(f_Links, &aNetwork);
    if (link == nullptr) return;
    tmNetClientCountChangedToTheManager(aIndex, aNetwork.EffManagerMask(), link,
                                        link->Network().NetOriginalIndex(), aCount);
}

void TQORNetworkedService::NetManagerConfirmEmail(std::string aTransportBlock, int32_t aMask) {
    SvcPoster().ServQueue_ManagerConfirmEmail(std::move(aTransportBlock), aMask);
}

}  // namespace gax
