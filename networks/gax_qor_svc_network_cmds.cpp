// The network's handlers of the commands that change its access lists: the
// admins' and owners' client commands (mute, block, admin, access modes,
// access list, notice) and the operator's command-channel commands (the same
// as the server owner, the mode queries, a member's internal flags and the
// test sound). Each handler changes the list, applies the consequences to the
// connected members at once, marks the list for sending and saving, and owes
// the acting member the current list even when nothing changed.
//
// Heartbeat thread only, inside NetHeartBeat.
#include <ctime>
#include <string>

#include "foundation/gax_stringbld.h"
#include "foundation/gax_strutils.h"
#include "networks/gax_qor_svc_network.h"
#include "networks/gax_qor_svc_network_admin.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_clientdescr.h"

namespace gax {

namespace {

using C = TQORServNetworkCommand;
using Cause = TQORSVCDisconnectCause;

// Members that hear sound: not leaving, not on an emulated transmission,
// not refusing the server's sounds.
constexpr uint32_t kHearsSoundMask = QOR_CF_NO_SERVER_SOUNDS | QOR_CF_LEAVING | QOR_CF_EMULATED_TX;

const char kZero = 0x00;

bool IsOwnerClass(const TQORSVCContext& aCtx) GAX_REQUIRES(kHeartbeat) { return aCtx.CliPrivilege >= clpr_NETOWNER; }

// Whether the sender of a client command may run it here. Its worker refused
// early from the rights it last saw, but a command sent right behind a move
// reaches the network the sender is in now, where its rights may be fewer:
// they are decided here, from its membership in this network. A command that
// fails here is dropped, as one sent by a member that no longer holds the role.
bool ActorMayRun(const TQORSVCContext& aActor, TQORServNetworkCommand aCmd) GAX_REQUIRES(kHeartbeat) {
    switch (aCmd) {
        case C::snc_MuteClient:
        case C::snc_UnmuteClient:
        case C::snc_BlockClient:
        case C::snc_UnblockClient:
            return (QORRightsOf(aActor.CliPrivilege) & QOR_RIGHT_MUTE_BLOCK) != 0;
        case C::snc_MakeAdmin:
        case C::snc_DeleteAdmin:
            return (QORRightsOf(aActor.CliPrivilege) & QOR_RIGHT_ADMINS) != 0;
        case C::snc_RightsEnableConnectListedOnly:
        case C::snc_RightsDisableConnectListedOnly:
        case C::snc_RightsEnableTalkMarkedOnly:
        case C::snc_RightsDisableTalkMarkedOnly:
        case C::snc_RightsAddClient:
        case C::snc_RightsDeleteClient:
        case C::snc_RightsMarkClient:
        case C::snc_RightsUnmarkClient:
        case C::snc_NetworkNotice:
        case C::snc_NetworkNoticeExt:
            return (aActor.CtxFlags() & QOR_CF_PRIV_CLASS) == QOR_CF_PRIV_OWNER_CLASS;
        default: return true;
    }
}

// A time limit counts only when this network granted the sender timed mutes
// and blocks; without the grant the worker did not read one, and none holds.
int32_t GrantedDuration(const TQORSVCContext& aActor, int32_t aSeconds) GAX_REQUIRES(kHeartbeat) {
    return (aActor.CliAnswerExtFlags() & QOR_EXT_TEMP_MUTE_BLOCK) != 0 ? aSeconds : 0;
}

// A listed e-mail takes the connected client's current texts (register time,
// mark, e-mail and key kept: the key orders the list). True when it changed.
bool UpdateAccessFromContext(TQORSVCAccess& aEntry, const TQORSVCContext& aCtx) {
    const TQORSVCAccessData old = aEntry.GetData();
    TQORSVCAccessData d = old;
    FillAccessDataFromContext(d, aCtx);
    d.acd_EMailA = old.acd_EMailA;
    d.acd_EMailSort = old.acd_EMailSort;
    if (d == old) return false;
    aEntry.SetRightFromData(d);
    return true;
}

void PutSpeakerIndex(std::string& aList, const TQORSVCContext* aSpeaker) GAX_REQUIRES(kHeartbeat) {
    const uint16_t i = aSpeaker != nullptr ? aSpeaker->QORNetworkIndex() : 0;
    if (aList.size() < 3) return;
    aList[1] = static_cast<char>(i >> 8);
    aList[2] = static_cast<char>(i & 0xFF);
}

}  // namespace

bool TQORServNetwork::CmdDispatch(TQORNetCommand& aCmd) {
    TQORSVCNetQueueRecord& r = *aCmd.Rec;
    TQORSVCContext* actor = aCmd.Ctx;
    if (actor != nullptr && !ActorMayRun(*actor, r.nqr_Cmd)) return true;
    switch (r.nqr_Cmd) {
        // ---- client commands: a record whose sender has gone is dropped ----
        case C::snc_MuteClient:
            if (actor != nullptr) CmdMute(actor, r.nqr_DataS2, GrantedDuration(*actor, r.nqr_DataI0));
            return true;
        case C::snc_UnmuteClient:
            if (actor != nullptr) CmdUnmute(actor, r.nqr_DataS1);
            return true;
        case C::snc_BlockClient:
            if (actor != nullptr)
                CmdBlock(actor, r.nqr_DataS2, GrantedDuration(*actor, r.nqr_DataI0));
            return true;
        case C::snc_UnblockClient:
            if (actor != nullptr) CmdUnblock(actor, r.nqr_DataS1);
            return true;
        case C::snc_MakeAdmin:
            if (actor != nullptr) CmdMakeAdmin(actor, r.nqr_DataS2);
            return true;
        case C::snc_DeleteAdmin:
            if (actor == nullptr) return true;
            f_Access->AddPending(TQORSVCListKind::Admins, actor);
            CmdDeleteAdmin(r.nqr_DataS1);
            return true;
        case C::snc_RightsEnableConnectListedOnly:
        case C::snc_RightsDisableConnectListedOnly:
            if (actor == nullptr) return true;
            // The actor gets the modes and the access list back.
            f_Access->AddPending(TQORSVCListKind::Modes, actor);
            f_Access->AddPending(TQORSVCListKind::Rights, actor);
            CmdSetMode(true, r.nqr_Cmd == C::snc_RightsEnableConnectListedOnly);
            return true;
        case C::snc_RightsEnableTalkMarkedOnly:
        case C::snc_RightsDisableTalkMarkedOnly:
            if (actor == nullptr) return true;
            f_Access->AddPending(TQORSVCListKind::Modes, actor);
            CmdSetMode(false, r.nqr_Cmd == C::snc_RightsEnableTalkMarkedOnly);
            return true;
        case C::snc_RightsAddClient:
            if (actor == nullptr) return true;
            f_Access->AddPending(TQORSVCListKind::Rights, actor);
            if (!TrimBlanksViewA(r.nqr_DataS1).empty()) RightsAddEmail(r.nqr_DataS1);
            return true;
        case C::snc_RightsDeleteClient:
            if (actor == nullptr) return true;
            f_Access->AddPending(TQORSVCListKind::Rights, actor);
            RightsDelEmail(r.nqr_DataS1);
            return true;
        case C::snc_RightsMarkClient:
        case C::snc_RightsUnmarkClient:
            if (actor == nullptr) return true;
            f_Access->AddPending(TQORSVCListKind::Rights, actor);
            RightsMarkClient(r.nqr_DataS1, r.nqr_Cmd == C::snc_RightsMarkClient);
            return true;
        case C::snc_NetworkNotice:
        case C::snc_NetworkNoticeExt:
            if (actor == nullptr) return true;
            f_Access->AddPending(TQORSVCListKind::Notices, actor);
            CmdNotice(r.nqr_DataS1,
                      r.nqr_Cmd == C::snc_NetworkNoticeExt ? std::string_view(r.nqr_DataS2)
                                                            : std::string_view());
            return true;

        // ---- the command channel: the operator acts as the server owner ----
        case C::snc_ChannelMute:
            if (r.nqr_DataI1 != 0)
                CmdMute(nullptr, r.nqr_DataS2, r.nqr_DataI0);
            else
                CmdUnmute(nullptr, r.nqr_DataS2);
            return true;
        case C::snc_ChannelBlock:
            if (r.nqr_DataI1 != 0)
                CmdBlock(nullptr, r.nqr_DataS2, r.nqr_DataI0);
            else
                CmdUnblock(nullptr, r.nqr_DataS2);
            return true;
        case C::snc_ChannelAdmin:
            if (r.nqr_DataI0 != 0)
                CmdMakeAdmin(nullptr, r.nqr_DataS1);
            else
                CmdDeleteAdmin(r.nqr_DataS1);
            return true;
        case C::snc_ChannelRight:
            if (r.nqr_DataI0 != 0)
                RightsAddEmail(r.nqr_DataS1);
            else
                RightsDelEmail(r.nqr_DataS1);
            return true;
        case C::snc_ChannelRightMark:
            RightsMarkClient(r.nqr_DataS1, r.nqr_DataI0 != 0);
            return true;
        case C::snc_ChannelRightNoticeSet:
            CmdNotice(r.nqr_DataS1, r.nqr_DataS2);
            return true;
        case C::snc_ChannelConnectListedOnly:
            CmdChannelModes(r, true);
            return true;
        case C::snc_ChannelTalkMarkedOnly:
            CmdChannelModes(r, false);
            return true;
        case C::snc_ChannelInternalFlags:
            CmdChannelInternalFlags(r);
            return true;
        case C::snc_ChannelSendHugeSound:
            CmdChannelHugeSound(r);
            return true;
        default:
            return false;
    }
}

// ---- helpers ----

int64_t TQORServNetwork::CmdNow() const {
    return f_EpochNow ? f_EpochNow() : static_cast<int64_t>(std::time(nullptr));
}

TQORSVCContext* TQORServNetwork::CmdConnected(std::string_view aClientId) const {
    auto it = f_EMailHash.find(std::string(aClientId));
    return it == f_EMailHash.end() ? nullptr : it->second;
}

void TQORServNetwork::CmdChannelAnswer(const TQORSVCNetQueueRecord& aRec, std::string aText) {
    if (f_CmdFacts.ChannelAnswer)
        f_CmdFacts.ChannelAnswer(aRec.nqr_Context, aRec.nqr_GlobalKey, std::move(aText));
}

TQORMuteBlockAuthor TQORServNetwork::CmdAuthor(const TQORSVCContext* aActor) const {
    if (aActor != nullptr) return AuthorOf(*aActor);
    TQORNetOwnerName name;
    if (f_CmdFacts.ServOwnerName) name = f_CmdFacts.ServOwnerName();
    return {std::move(name.ANSI), std::move(name.UTF8), std::string(e_Facts.ServOwnerId()),
            clpr_SERVOWNER};
}

void TQORServNetwork::CmdReleaseFloor(TQORSVCContext* aCtx) {
    if (aCtx == nullptr || e_SpeakingContext != aCtx) return;
    ReleaseTX_IfEqual(aCtx, false, false);
    SendData(&kZero, 1, kHearsSoundMask, 0);
}

// ---- mutes and blocks ----

void TQORServNetwork::CmdMute(TQORSVCContext* aActor, std::string_view aId, int32_t aTime) {
    if (aActor != nullptr) f_Access->AddPending(TQORSVCListKind::Mutes, aActor);
    const TQORMuteBlockAuthor author = CmdAuthor(aActor);
    const int64_t now = CmdNow();
    TQORSVCContext* target = CmdConnected(aId);
    if (target == nullptr) {
        if (f_Access->Mutes().AddOrUpdateFromData(MuteBlockDataForId(aId, aTime, author, now)))
            f_Access->Changed(TQORSVCListKind::Mutes);
        return;
    }
    // A member already muted keeps its entry as it is.
    if (!target->SetMuted(true)) return;
    f_NetResults |= kNetResStatus;
    if (target->CtxFlags() & QOR_CF_EMULATED_TX) {
        // It believes it talks: the end byte stops it, and the emulation
        // ends here, so that it is not left out of sound until its next "RX0".
        target->vSendBytes(&kZero, 1);
        f_Relay->tmRxRequest(target);
    } else {
        CmdReleaseFloor(target);
    }
    if (AddOrUpdateMuteBlockFromContext(f_Access->Mutes(), *target, aTime, author, now))
        f_Access->Changed(TQORSVCListKind::Mutes);
}

void TQORServNetwork::CmdUnmute(TQORSVCContext* aActor, std::string_view aId) {
    if (aActor != nullptr) f_Access->AddPending(TQORSVCListKind::Mutes, aActor);
    const TQORClientPrivilege priv = aActor != nullptr ? aActor->CliPrivilege : clpr_SERVOWNER;
    const std::string actorId =
        aActor != nullptr ? aActor->CliHashA() : std::string(e_Facts.ServOwnerId());
    const TQORSVCNetworkOptions& o = NetOptions();
    if (!RemoveMuteBlockEntry(f_Access->Mutes(), aId, priv, actorId, o.no_LevelMuteBlock,
                              o.no_ExactMuteBlock))
        return;
    f_Access->Changed(TQORSVCListKind::Mutes);
    TQORSVCContext* target = CmdConnected(aId);
    if (target != nullptr && target->SetMuted(false)) f_NetResults |= kNetResStatus;
}

void TQORServNetwork::CmdBlock(TQORSVCContext* aActor, std::string_view aId, int32_t aTime) {
    if (aActor != nullptr) f_Access->AddPending(TQORSVCListKind::Blocks, aActor);
    const TQORMuteBlockAuthor author = CmdAuthor(aActor);
    const int64_t now = CmdNow();
    TQORSVCContext* target = CmdConnected(aId);
    if (target != nullptr) {
        if (IsOwnerClass(*target) || target->IsParrot()) return;
        if (AddOrUpdateMuteBlockFromContext(f_Access->Blocks(), *target, aTime, author, now)) {
            f_Access->Changed(TQORSVCListKind::Blocks);
            target->ClientTerminateSignal(Cause::fsdc_AdminBlock);
        }
        return;
    }
    if (IsNetOrServerOwnerByHash(aId) || (!f_CmdFacts.ParrotId.empty() && aId == f_CmdFacts.ParrotId))
        return;
    if (f_Access->Blocks().AddOrUpdateFromData(MuteBlockDataForId(aId, aTime, author, now)))
        f_Access->Changed(TQORSVCListKind::Blocks);
}

void TQORServNetwork::CmdUnblock(TQORSVCContext* aActor, std::string_view aId) {
    if (aActor != nullptr) f_Access->AddPending(TQORSVCListKind::Blocks, aActor);
    const TQORClientPrivilege priv = aActor != nullptr ? aActor->CliPrivilege : clpr_SERVOWNER;
    const std::string actorId =
        aActor != nullptr ? aActor->CliHashA() : std::string(e_Facts.ServOwnerId());
    const TQORSVCNetworkOptions& o = NetOptions();
    if (RemoveMuteBlockEntry(f_Access->Blocks(), aId, priv, actorId, o.no_LevelMuteBlock,
                             o.no_ExactMuteBlock))
        f_Access->Changed(TQORSVCListKind::Blocks);
}

// ---- admins ----

void TQORServNetwork::CmdMakeAdmin(TQORSVCContext* aActor, std::string_view aId) {
    if (aActor != nullptr) f_Access->AddPending(TQORSVCListKind::Admins, aActor);
    TQORSVCContext* target = CmdConnected(aId);
    bool changed = false;
    if (target != nullptr) {
        if (IsOwnerClass(*target) || target->IsParrot()) return;
        changed = AddOrUpdateAdminFromContext(f_Access->Admins(), *target, CmdNow());
    } else {
        if (IsNetOrServerOwnerByHash(aId) ||
            (!f_CmdFacts.ParrotId.empty() && aId == f_CmdFacts.ParrotId))
            return;
        changed = f_Access->Admins().AddOrUpdateFromData(AdminDataForId(aId, CmdNow()));
    }
    if (!changed) return;
    f_Access->Changed(TQORSVCListKind::Admins);
    if (target == nullptr) return;
    if (aActor != nullptr && NetOptions().no_LogAdmin) {
        TStringBldU b;
        FormatAdminActionLogLine(b, *aActor, *target, u"ADDED_INTO_ADMINS");
        target->call_OnCtxInfo(ToText(b));
    }
    // It comes back in its new role.
    target->ClientTerminateSignal(Cause::fsdc_ChangeRole);
}

void TQORServNetwork::CmdDeleteAdmin(std::string_view aId) {
    if (!DeleteAdminByHash(f_Access->Admins(), aId)) return;
    f_Access->Changed(TQORSVCListKind::Admins);
    if (TQORSVCContext* target = CmdConnected(aId))
        target->ClientTerminateSignal(Cause::fsdc_ChangeRole);
}

// ---- access modes, access list, notice ----

void TQORServNetwork::CmdSetMode(bool aConnectListed, bool aOn) {
    const bool changed = aConnectListed ? f_Access->SetConnectOnlyListed(aOn)
                                        : f_Access->SetTalkOnlyMarked(aOn);
    if (!changed) return;
    // The rights list goes along: the modes change what its entries mean.
    f_NetResults |= kNetResRightsChanged;
    f_Access->Changed(TQORSVCListKind::Modes);
}

bool TQORServNetwork::RightsAddEmail(std::string_view aEmailA) {
    const std::string key = MakeDwordPaddedKey(aEmailA);
    TQORSVCContext* member = CmdConnected(MakeSourceId(aEmailA));
    TQORSVCAccessList& rights = f_Access->Rights();
    if (TQORSVCAccess* e = rights.Find(key)) {
        if (member == nullptr || !UpdateAccessFromContext(*e, *member)) return false;
        f_Access->Changed(TQORSVCListKind::Rights);
        return true;
    }
    TQORSVCAccessData d;
    if (member != nullptr) FillAccessDataFromContext(d, *member);
    d.acd_EMailA.assign(aEmailA);
    d.acd_EMailSort = key;
    d.acd_Marked = false;
    d.acd_RegisterEpoch = CmdNow();
    if (!rights.AddOrUpdateFromData(d, true)) return false;
    f_Access->Changed(TQORSVCListKind::Rights);
    return true;
}

bool TQORServNetwork::RightsDelEmail(std::string_view aEmailA) {
    if (!f_Access->Rights().RemoveKey(MakeDwordPaddedKey(aEmailA))) return false;
    f_Access->Changed(TQORSVCListKind::Rights);
    TQORSVCContext* member = CmdConnected(MakeSourceId(aEmailA));
    // Owners enter whatever the list says, so only the others lose their place.
    if (f_Access->ConnectOnlyListed() && member != nullptr && !IsOwnerClass(*member)) {
        CmdReleaseFloor(member);
        member->ClientTerminateSignal(Cause::fsdc_AdminBlock);
    }
    return true;
}

void TQORServNetwork::RightsMarkClient(std::string_view aEmailA, bool aMark) {
    TQORSVCAccess* e = f_Access->Rights().Find(MakeDwordPaddedKey(aEmailA));
    if (e == nullptr) return;
    if (e->SetMarked(aMark)) {
        f_NetResults |= kNetResModesChanged;
        f_Access->Changed(TQORSVCListKind::Rights);
    }
    if (!f_Access->TalkOnlyMarked()) return;
    TQORSVCContext* member = CmdConnected(MakeSourceId(aEmailA));
    // Owners may always talk, as at their admission.
    if (member == nullptr || IsOwnerClass(*member)) return;
    if (!member->SetTalkEnabled(aMark)) return;
    f_NetResults |= kNetResStatus;
    if (!aMark) CmdReleaseFloor(member);
}

void TQORServNetwork::CmdNotice(std::string_view aTextANSI, std::string_view aTextUTF8) {
    if (f_Access->SetNetNotice(aTextANSI, aTextUTF8))
        f_Access->Changed(TQORSVCListKind::Notices);
}

// ---- the command channel's own answers ----

void TQORServNetwork::CmdChannelModes(const TQORSVCNetQueueRecord& aRec, bool aConnectListed) {
    const int32_t v = aRec.nqr_DataI0;
    if (v == -1) {
        const bool on =
            aConnectListed ? f_Access->ConnectOnlyListed() : f_Access->TalkOnlyMarked();
        CmdChannelAnswer(aRec, std::string(ChannelModeQueryAnswer(on)));
        return;
    }
    if (v == 0 || v == 1) CmdSetMode(aConnectListed, v == 1);
}

void TQORServNetwork::CmdChannelInternalFlags(const TQORSVCNetQueueRecord& aRec) {
    TQORSVCContext* member = nullptr;
    for (const auto& [key, c] : f_VisualOper) {
        if (c->CliHashA() == aRec.nqr_DataS1 &&
            (c->CtxFlags() & (QOR_CF_LEAVING | QOR_CF_PARROT)) == 0) {
            member = c;
            break;
        }
    }
    if (member == nullptr) {
        CmdChannelAnswer(aRec, std::string(kChanAnswerNoClient));
        return;
    }
    const uint32_t flags = static_cast<uint32_t>(aRec.nqr_DataI1);
    switch (aRec.nqr_DataI0) {
        case fsifqc_InternalFlagsClear:
            tmRemoveIntFlags(member, flags);
            CmdChannelAnswer(aRec, std::string(kChanAnswerOK));
            return;
        case fsifqc_InternalFlagsSet:
            tmApplyIntFlags(member, flags);
            CmdChannelAnswer(aRec, std::string(kChanAnswerOK));
            return;
        case fsifqc_InternalFlagsQuery:
            CmdChannelAnswer(aRec, ChannelInternalFlagsListing(*member));
            return;
        default:
            // Without an answer the operator's console would wait for ever.
            CmdChannelAnswer(aRec, std::string(kChanAnswerWrongText));
            return;
    }
}

void TQORServNetwork::CmdChannelHugeSound(const TQORSVCNetQueueRecord& aRec) {
    TQORSVCContext* speaker = e_SpeakingContext;
    TQORSVCContext* target = CmdConnected(aRec.nqr_DataS1);
    const std::string_view refusal = HugeSoundRefusal(speaker, target);
    if (!refusal.empty()) {
        CmdChannelAnswer(aRec, std::string(refusal));
        return;
    }
    const std::string frame = HugeSoundFrame(speaker->QORNetworkIndex());
    try {
        // Appended in one go, the worker woken once at the end.
        for (int32_t i = 0; i < kHugeSoundFrames; ++i)
            target->vSendBytesDontWakeWorker(frame.data(), static_cast<int32_t>(frame.size()));
        target->WakeUpWorker();
    } catch (const std::exception& e) {
        target->call_OnCtxError(u"Test sound: " + Utf8StrToUnicodeLenient(e.what()));
        CmdChannelAnswer(aRec, "-ERROR\r\n");
        return;
    }
    CmdChannelAnswer(aRec, std::string(kChanAnswerOK));
}

// ---- internal flags of a connected member ----

void TQORServNetwork::tmApplyIntFlags(TQORSVCContext* c, uint32_t aFlags, bool aAdmission) {
    const bool visible = IsVisible(c);
    auto setFlags = [&](uint32_t aBits) GAX_REQUIRES(kHeartbeat) {
        if (visible)
            f_Lists->ChangeFlags(c, ~0u, aBits);
        else
            c->CtxFlagsSet(aBits);
    };
    CountContext(c, -1);
    if ((aFlags & QOR_IF_NOLIST) && c->ListFormat() == 0 &&
        !(c->Ctx2Flags() & QOR_C2F_LIST_OFF)) {
        if (visible)
            f_Lists->ChangeFlags(c, ~QOR_CF_LIST_FORMAT, QOR_CF_LIST_NONE);
        else
            c->CtxFlagsMask(~QOR_CF_LIST_FORMAT, QOR_CF_LIST_NONE);
        c->Ctx2FlagsSet(QOR_C2F_LIST_OFF);
        static const char kEmptyList[] = {0x03, 0x00, 0x00, '0', '\r', '\n'};
        if (!aAdmission) c->vSendBytes(kEmptyList, sizeof kEmptyList);
    }
    if ((aFlags & QOR_IF_AGGREGATELIST) && !(c->CtxFlags() & QOR_CF_AGGREGATE_LIST)) {
        setFlags(QOR_CF_AGGREGATE_LIST);
        if (c->ListFormat() == 0 && !aAdmission) {
            std::string s(f_Lists->ClientsV0S().View());
            if (s.size() >= 3) {
                s[1] = 0x00;
                s[2] = e_SpeakingContext != nullptr ? 0x01 : 0x00;
            }
            c->SendStringDontWakeWorker(s);
            c->SendString(c->ClientListItemV0());
        }
    }
    if (aFlags & QOR_IF_IGNORECLIENTMESSAGES) c->Ctx2FlagsSet(QOR_C2F_IGNORE_MESSAGES);
    if ((aFlags & QOR_IF_IGNORECLIENTSOUNDS) && !(c->Ctx2Flags() & QOR_C2F_IGNORE_SOUNDS)) {
        c->Ctx2FlagsSet(QOR_C2F_IGNORE_SOUNDS);
        if (e_SpeakingContext == c && !aAdmission) {
            ReleaseTX_IfEqual(c, true, false);
            // Its transmission goes on, heard by nobody.
            f_Relay->tmTxRequest(c);
        }
    }
    if (aFlags & QOR_IF_NOSERVERMESSAGES) setFlags(QOR_CF_NO_SERVER_MESSAGES);
    if ((aFlags & QOR_IF_NOSERVERSOUNDS) && !(c->CtxFlags() & QOR_CF_NO_SERVER_SOUNDS)) {
        setFlags(QOR_CF_NO_SERVER_SOUNDS);
        if (e_SpeakingContext != nullptr && e_SpeakingContext != c && !aAdmission)
            c->vSendBytes(&kZero, 1);
    }
    CountContext(c, +1);
}

void TQORServNetwork::tmRemoveIntFlags(TQORSVCContext* c, uint32_t aFlags) {
    const bool visible = IsVisible(c);
    auto clearFlags = [&](uint32_t aBits) GAX_REQUIRES(kHeartbeat) {
        if (visible)
            f_Lists->ChangeFlags(c, ~aBits, 0);
        else
            c->CtxFlagsClear(aBits);
    };
    auto sendFullList = [&]() GAX_REQUIRES(kHeartbeat) {
        std::string s(f_Lists->ClientsV0().View());
        PutSpeakerIndex(s, e_SpeakingContext);
        c->SendString(s);
    };
    CountContext(c, -1);
    if ((aFlags & QOR_IF_NOLIST) && (c->Ctx2Flags() & QOR_C2F_LIST_OFF) && c->ListFormat() == 1) {
        clearFlags(QOR_CF_LIST_FORMAT);
        c->Ctx2FlagsClear(QOR_C2F_LIST_OFF);
        sendFullList();
    }
    if ((aFlags & QOR_IF_AGGREGATELIST) && (c->CtxFlags() & QOR_CF_AGGREGATE_LIST)) {
        clearFlags(QOR_CF_AGGREGATE_LIST);
        if (c->ListFormat() == 0) sendFullList();
    }
    if (aFlags & QOR_IF_IGNORECLIENTMESSAGES) c->Ctx2FlagsClear(QOR_C2F_IGNORE_MESSAGES);
    if (aFlags & QOR_IF_IGNORECLIENTSOUNDS) {
        c->Ctx2FlagsClear(QOR_C2F_IGNORE_SOUNDS);
        if (c->CtxFlags() & QOR_CF_EMULATED_TX) f_Relay->tmRxRequest(c);
    }
    if (aFlags & QOR_IF_NOSERVERMESSAGES) clearFlags(QOR_CF_NO_SERVER_MESSAGES);
    if (aFlags & QOR_IF_NOSERVERSOUNDS) clearFlags(QOR_CF_NO_SERVER_SOUNDS);
    CountContext(c, +1);
}

}  // namespace gax
