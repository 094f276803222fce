#include "networks/gax_qor_svc_network.h"

#include <cassert>
#include <exception>
#include <string>

#include <algorithm>

#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_sourceid.h"

namespace gax {

using Cause = TQORSVCDisconnectCause;

namespace {

// List bits a newcomer's privilege class sets: everybody's lists change, and
// admins and owners are owed the access lists too.
uint32_t ArrivalResultBits(uint32_t aFlags) {
    switch (aFlags & QOR_CF_PRIV_CLASS) {
        case QOR_CF_PRIV_ADMIN_CLASS:
            return kNetResMembership | kNetResMutesPending | kNetResBlocksPending;
        case QOR_CF_PRIV_OWNER_CLASS:
            return kNetResMembership | kNetResMutesPending | kNetResBlocksPending |
                   kNetResAdminsPending | kNetResModesPending | kNetResRightsPending |
                   kNetResNoticePending;
        default:
            return kNetResMembership;
    }
}

std::u16string Widen(std::string_view aS) {
    return Utf8StrToUnicodeLenient(std::string(aS));
}

}  // namespace

void TQORNetHold::Add(TQORSVCContext* aCtx) {
    if (!f_Set.insert(aCtx).second) {
        throw Exception(std::u16string(u"Already in <") + ByteStrToUnicode(f_Name) + u"> hold");
    }
}

TQORServNetwork::TQORServNetwork(const TQORServNetworkRec& aRec,
                                 const TQORServiceNetOptions& aServ,
                                 const TCharsetsCodeList* aCodeList, TQORSVCNetHost& aHost,
                                 TQORSVCClientService& aFacts, const TQORNetworksList& aList)
    : TQORNetworkData(aRec, aServ, aCodeList),
      e_Host(aHost),
      e_Facts(aFacts),
      e_NetworksList(aList),
      f_ClientsV0(528),
      f_ClientsV1FU(528),
      f_ClientsV1DU(272) {
    f_NetCmds.reserve(kNetCmdsCapacity);
    for (const std::u16string& mail : NetOptions().no_NetOwnersEMails) {
        f_Owners.insert(MakeSourceIdFromUnicodeLowBytes(mail));
    }
    // Until the networks list gives the network its index, both prefixes name it.
    f_NetPrefixName = u"Net \"" + NetworkNameUCS2() + u"\": ";
    f_NetPrefix = f_NetPrefixName;
    SetEffManagersMask(static_cast<uint32_t>(NetOptions().no_ManagersMask));
    RelayInit();
    AccessInit();
    // ---- the Parrot ----
    ParrotCreate();
}

TQORServNetwork::~TQORServNetwork() {
    // Only the contexts whose disconnect arrived are ours; the rest belong to
    // their workers (a network is destroyed after every worker has ended).
    for (TQORSVCContext* c : f_Owned) delete c;
}

TQORNetworkFactory TQORServNetwork::Factory(TQORSVCNetHost& aHost, TQORSVCClientService& aFacts,
                                            const TQORNetworksList*& aList) {
    return [&aHost, &aFacts, &aList](const TQORServNetworkRec& aRec,
                                     const TQORServiceNetOptions& aServ,
                                     const TCharsetsCodeList* aCodeList) {
        if (aList == nullptr) throw Exception(u"Networks are made only by a networks list");
        return std::unique_ptr<TQORNetworkData>(
            new TQORServNetwork(aRec, aServ, aCodeList, aHost, aFacts, *aList));
    };
}

void TQORServNetwork::SetNetOriginalIndex(int32_t aIndex, int32_t aWidth) {
    TQORNetworkData::SetNetOriginalIndex(aIndex, aWidth);
    std::u16string index = Widen(std::to_string(aIndex));
    if (aIndex >= 0 && static_cast<int32_t>(index.size()) < aWidth)
        index.insert(0, static_cast<size_t>(aWidth) - index.size(), u'0');
    f_NetPrefix = u"Net #" + index + u": ";
    f_NetPrefixName = u"Net #" + index + u" \"" + NetworkNameUCS2() + u"\": ";
    // The fan-out was made before the index was known.
    if (f_Fanout) f_Fanout->SetLogPrefix(f_NetPrefixName);
}

void TQORServNetwork::SetEffManagersMask(uint32_t aMask) {
    f_EffManagersMask = aMask & static_cast<uint32_t>(NetOptions().no_ManagersMask);
    const TQORSystemManagerMode mode = NetOptions().no_NetManagerMode;
    if (f_EffManagersMask == 0 && mode != smm_Standalone) {
        f_EffManagerMode = smm_Standalone;
        Log(f_NetPrefixName +
            u"WARNING: no active managers for the net(room); switching net(room) manager mode "
            u"to STANDALONE");
    } else {
        f_EffManagerMode = mode;
    }
}

bool TQORServNetwork::IsNetOwnerByHash(std::string_view aClientId) const {
    return f_Owners.count(std::string(aClientId)) != 0;
}

bool TQORServNetwork::IsNetOrServerOwnerByHash(std::string_view aClientId) const {
    if (IsNetOwnerByHash(aClientId)) return true;
    const std::string_view owner = e_Facts.ServOwnerId();
    return !owner.empty() && owner == aClientId;
}

bool TQORServNetwork::AllowByPrivilege(TQORClientPrivilege aPriv) const {
    switch (aPriv) {
        case clpr_ADMIN:
            return NetOptions().no_AlwaysAllowAdmin;
        case clpr_NETOWNER:
            return NetOptions().no_AlwaysAllowNetworkOwner;
        case clpr_SERVOWNER:
            return NetOptions().no_AlwaysAllowServerOwner;
        default:
            return false;
    }
}

// ---- the command array ----

bool TQORServNetwork::PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) {
    return NetQueuePushCtx(aRec, nullptr);
}

bool TQORServNetwork::NetQueuePushCtx(std::unique_ptr<TQORSVCNetQueueRecord>& aRec,
                                      TQORSVCContext* aCtx) {
    if (f_NetCmds.size() >= kNetCmdsCapacity) return false;
    f_NetCmds.push_back(TQORNetCommand{std::move(aRec), aCtx});
    return true;
}

void TQORServNetwork::PushSimple(TQORServNetworkCommand aCmd) {
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    rec->nqr_Cmd = aCmd;
    if (!PushCommand(rec)) {
        throw Exception(std::u16string(u"Network command array is full"));
    }
}

bool TQORServNetwork::PingWanted() const {
    // Every context the network may hold is in one of these until it is
    // disposed of (the Parrot, always there, needs no ping: it asks for its
    // own steps while busy); the access lists expire their timed entries on
    // the ping.
    const size_t parrot = f_Parrot ? 1 : 0;
    return f_EMailHash.size() > parrot || f_VisualOper.size() > parrot || !f_Owned.empty() ||
           !f_AttachHold.Empty() || !f_ApprovedHold.Empty() || !f_QuarantineHold.Empty() ||
           !f_NewbieHold.Empty() || !f_DelHold.Empty() || !f_MovedHold.Empty() ||
           !f_ExtraDispHold.Empty() || !f_DispHold.Empty() || f_NetResults != 0 ||
           e_SpeakingContext != nullptr || !f_NetCmds.empty() || !f_Access->Mutes().Empty() ||
           !f_Access->Blocks().Empty();
}

bool TQORServNetwork::NetHeartBeat(bool aPing, uint32_t aTick) {
    f_HeartBeatTick = aTick;
    if (aPing) f_NetPingTickScale += 500;
    // Swapped out first: a handler that re-enters NetHeartBeat (a move) then
    // finds an empty array and can never overwrite records not yet handled.
    std::vector<TQORNetCommand> cmds;
    cmds.swap(f_NetCmds);
    f_NetCmds.reserve(kNetCmdsCapacity);
    const bool found = !cmds.empty();
    if (!aPing && !found) return false;

    size_t i = 0;
    bool ping = aPing;
    std::exception_ptr failure;
    do {
        for (; i < cmds.size(); ++i) {
            TQORNetCommand cmd = std::move(cmds[i]);
            // The records behind a failing one are still dispatched: one of
            // them may be a disconnect, and its context must reach DISPOSE.
            try {
                Dispatch(cmd);
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
            if (f_NetFast) f_NetResults |= kNetResFlushNow;
            if (f_NetResults & kNetResFlushNow) {
                ++i;
                break;
            }
        }
        if (!ping && !(f_NetResults & kNetResFlushNow)) break;
        ResultWork(ping);
        ping = false;
    } while (i < cmds.size());
    if (failure) std::rethrow_exception(failure);
    return found;
}

void TQORServNetwork::Dispatch(TQORNetCommand& aCmd) {
    TQORSVCNetQueueRecord& r = *aCmd.Rec;
    switch (r.nqr_Cmd) {
        case TQORServNetworkCommand::snc_HandshakeClient:
            tmHandshakeClient(aCmd.Ctx, TQORSVCClientHandshakeType::fscht_Connect);
            break;
        case TQORServNetworkCommand::snc_ClientDisconnected:
            tmClientDisconnected(aCmd.Ctx);
            break;
        case TQORServNetworkCommand::snc_AttachNetwork:
            tmAttachNetwork(aCmd.Ctx);
            break;
        case TQORServNetworkCommand::snc_FastOn:
            f_NetFast = true;
            break;
        case TQORServNetworkCommand::snc_FastOff:
            f_NetFast = false;
            break;
        case TQORServNetworkCommand::snc_VisibleStatus:
            if (aCmd.Ctx != nullptr &&
                aCmd.Ctx->SetVisibleStatus(static_cast<TQORVisibleStatus>(r.nqr_DataI0 & 3))) {
                f_NetResults |= kNetResStatus;
            }
            break;
        case TQORServNetworkCommand::snc_ApplyNetIntFlags:
            tmApplyNetIntFlags(r);
            break;
        case TQORServNetworkCommand::snc_NetServerStopDisconnectAll:
            tmDisconnectAll(Cause::fsdc_ServerStopped);
            break;
        case TQORServNetworkCommand::snc_NetOwnerDisconnectAll:
            tmDisconnectAll(Cause::fsdc_ByOwner);
            break;
        case TQORServNetworkCommand::snc_RebuildClientListNow:
            f_NetResults |= kNetResMembership | kNetResFlushNow;
            break;
        // ---- command channel ----
        case TQORServNetworkCommand::snc_ChannelNetworkLogLevel:
        case TQORServNetworkCommand::snc_ChannelNetworkManagerMode:
        case TQORServNetworkCommand::snc_ChannelDisconnectNetworkClient:
            ChanDispatch(aCmd);
            break;
        default:
            if (RelayDispatch(aCmd)) break;
            if (ApprovalDispatch(aCmd)) break;  // ---- manager approval ----
            if (AccessDispatch(aCmd)) break;
            // ---- admin commands ----
            if (CmdDispatch(aCmd)) break;
            throw Exception(u"Unknown network command: " +
                            Widen(std::to_string(static_cast<int>(r.nqr_Cmd))));
    }
}

void TQORServNetwork::ResultWork(bool aPing) {
    if (aPing) AccessExpire();

    if (aPing && NetOptions().no_SessionMaxTime > 0) tmSessionTimeCheck();  // ---- moves ----
    tmQuarantineStep();
    if (!f_NewbieHold.Empty()) tmNewbieStep();
    RelayResultWork();
    tmReportCountToManagers();  // ---- manager approval ----
    if (aPing) {
        f_Relay->PingFrames();
        RelaySync();
        tmBandwidthCheck();  // ---- moves ----
    }
    AccessSends();
    tmNewbieInitialData();
    DisposeAll();
    f_NetResults = 0;
}

// ---- admission ----

bool TQORServNetwork::ArrivalsReach(int32_t aMax) const {
    if (aMax <= 0) return false;
    const size_t limit = static_cast<size_t>(aMax);
    const size_t settled = f_VisualOper.size() + f_AttachHold.Count() + f_ApprovedHold.Count() +
                           f_QuarantineHold.Count();
    // Each newbie counts at most once. Far from the limit the walk below is
    // not needed; taken on every login it made a burst of logins quadratic in
    // the newbies of one ping period and held the heartbeat for seconds.
    if (settled + f_NewbieHold.Count() < limit) return false;
    if (settled >= limit) return true;
    // A NEWBIE context may already stand in the visible list (newbie step).
    size_t newbies = 0;
    for (TQORSVCContext* c : f_NewbieHold.LastFirst()) {
        if (!IsVisible(c)) ++newbies;
    }
    return settled + newbies >= limit;
}

void TQORServNetwork::tmHandshakeClient(TQORSVCContext* aCtx, TQORSVCClientHandshakeType aType) {
    if (aCtx == nullptr) return;
    if (aType == TQORSVCClientHandshakeType::fscht_Connect) aCtx->tmTakeConnect();
    aCtx->SetCtxNetwork(this);
    aCtx->tmRecaclCharsetA2(Converter());
    if (aType == TQORSVCClientHandshakeType::fscht_Connect && aCtx->ClientLogLevel() > 4)
        aCtx->call_OnCtxInfo(u" HANDSHAKE_STR_OK: " + EscapeCtrlBytesStr(aCtx->HandshakeString()));
    const TQORSVCNetworkOptions& o = NetOptions();
    // Arrivals in flight count: otherwise a burst of logins passes the
    // limit before any of them is visible.
    if (ArrivalsReach(o.no_NetMaxClients)) {
        tmRejectClient(aCtx, TClientErrorType::cet_BLOCK, Cause::fsdc_NetMaxClients);
        return;
    }
    if (f_EMailHash.count(aCtx->CliHashA()) != 0 ||
        (o.no_UniqCallsign && f_Callsigns.count(aCtx->CliCallsignOpnameANSISort()) != 0)) {
        tmRejectClient(aCtx, TClientErrorType::cet_DUPL, Cause::fsdc_ServerDuplicate);
        return;
    }
    aCtx->tmProcessAttributes(aType);
    switch (aCtx->ClientError()) {
        case TClientErrorType::cet_OK:
            break;
        case TClientErrorType::cet_ERROR:
            tmRejectClient(aCtx, TClientErrorType::cet_BLOCK, Cause::fsdc_ServerError);
            return;
        case TClientErrorType::cet_WRONG:
            tmRejectClient(aCtx, TClientErrorType::cet_WRONG, Cause::fsdc_ServerWrongPasssword);
            return;
        case TClientErrorType::cet_BLOCK:
            tmRejectClient(aCtx, TClientErrorType::cet_BLOCK, Cause::fsdc_AdminBlock);
            return;
        case TClientErrorType::cet_DUPL:
            tmRejectClient(aCtx, TClientErrorType::cet_DUPL, Cause::fsdc_ServerDuplicate);
            return;
        default:
            Log(u"ERROR: " + f_NetPrefixName +
                u"Processing client attributes ended with unknown error code " +
                Widen(std::to_string(static_cast<int>(aCtx->ClientError()))));
            tmRejectClient(aCtx, TClientErrorType::cet_BLOCK, Cause::fsdc_ServerError);
            return;
    }
    aCtx->SetCtxCacheSize(32);
    f_EMailHash.emplace(aCtx->CliHashA(), aCtx);
    if (o.no_UniqCallsign) f_Callsigns.emplace(aCtx->CliCallsignOpnameANSISort(), aCtx);
    aCtx->InDupl = true;
    CountContext(aCtx, +1);
    ApplyIntFlagsAtAdmission(aCtx);
    aCtx->tmAdmittedTick = f_HeartBeatTick;
    if (f_EffManagerMode == smm_Standalone) {
        aCtx->ClearAllManagersInfo(this);
        f_ApprovedHold.Add(aCtx);
        if (aType == TQORSVCClientHandshakeType::fscht_Connect) {
            tmSendHandshakeAnswerOK(aCtx);
        } else {
            aCtx->CtxMovingFromNetToNet = true;
            tmAttachNetwork(aCtx);
        }
    } else {
        f_AttachHold.Add(aCtx);
        if (aType != TQORSVCClientHandshakeType::fscht_Connect) aCtx->CtxMovingFromNetToNet = true;
        tmRegisterWithManagers(aCtx);  // ---- manager approval ----
    }
}

void TQORServNetwork::ApplyIntFlagsAtAdmission(TQORSVCContext* aCtx) {
    const TQORSVCInternalFlagsStore* e =
        FindIntFlagsEntry(f_NetIntFlags.get(), e_ServIntFlags, aCtx->CliHashA());
    if (e == nullptr) return;
    // The same steps as a set from the channel (NOLIST switches the list
    // format off, so that a later clear can switch it on), without frames.
    tmApplyIntFlags(aCtx, e->fsifwr_Flags, true);
}

void TQORServNetwork::CountContext(TQORSVCContext* aCtx, int32_t aDelta) {
    const uint32_t f = aCtx->CtxFlags();
    if (f & QOR_CF_NO_SERVER_MESSAGES) f_Cntr_MessagesNo += aDelta;
    if ((f & (QOR_CF_SPEAKER_INFO | QOR_CF_UTF8)) == (QOR_CF_SPEAKER_INFO | QOR_CF_UTF8))
        f_Cntr_SpeakerInfoUTF8 += aDelta;
    if (f & QOR_CF_LIST_CACHE) f_Cntr_Cache += aDelta;
    if ((f & (QOR_CF_LIST_FORMAT | QOR_CF_UTF8)) == (QOR_CF_LIST_DIFF | QOR_CF_UTF8))
        f_Cntr_List_DiffUTF8 += aDelta;
    if ((f & (QOR_CF_LIST_FORMAT | QOR_CF_AGGREGATE_LIST)) == 0) f_Cntr_List_QOR_Full += aDelta;
    if ((f & (QOR_CF_LIST_FORMAT | QOR_CF_AGGREGATE_LIST)) == QOR_CF_AGGREGATE_LIST)
        f_Cntr_List_QOR_Aggr += aDelta;
    if ((f & QOR_CF_LIST_FORMAT) == QOR_CF_LIST_COUNT) f_Cntr_List_Count += aDelta;
    if ((f & QOR_CF_LIST_FORMAT) == QOR_CF_LIST_NONE) f_Cntr_List_None += aDelta;
}

void TQORServNetwork::tmRejectClient(TQORSVCContext* aCtx, TClientErrorType aAnswer,
                                     TQORSVCDisconnectCause aCause) {
    // ---- moves: a refused move takes the client back instead ----
    if (f_MoveRefused != nullptr) {
        *f_MoveRefused = true;
        return;
    }
    aCtx->DisconnectCauseW(aCause);
    aCtx->SetClientError(aAnswer);
    aCtx->CtxFlagsSet(QOR_CF_LEAVING);
    f_DelHold.Add(aCtx);
    const std::string answer = f_Answer ? f_Answer(*aCtx, aAnswer) : std::string();
    aCtx->vSendBytesFlushAndTerm(answer.data(), static_cast<int32_t>(answer.size()));
    if (NetLogLevel() > 4)
        aCtx->call_OnCtxInfo(u" HANDSHAKE_ANSWER_NOT_OK: " + EscapeCtrlBytesStr(answer));
}

void TQORServNetwork::tmPutInDeleteHold(TQORSVCContext* aCtx, TQORSVCDisconnectCause aCause) {
    aCtx->CtxFlagsSet(QOR_CF_LEAVING);
    f_DelHold.Add(aCtx);
    aCtx->ClientTerminateSignal(aCause);
}

void TQORServNetwork::tmSendHandshakeAnswerOK(TQORSVCContext* aCtx) {
    const std::string answer =
        f_Answer ? f_Answer(*aCtx, TClientErrorType::cet_OK) : std::string();
    aCtx->vSendBytesAnswerOK(answer.data(), static_cast<int32_t>(answer.size()));
    if (NetLogLevel() > 4)
        aCtx->call_OnCtxInfo(u" HANDSHAKE_ANSWER_OK: " + EscapeCtrlBytesStr(answer));
}

void TQORServNetwork::tmAttachNetwork(TQORSVCContext* aCtx) {
    if (aCtx == nullptr || !f_ApprovedHold.Remove(aCtx)) return;
    if (NetOptions().no_QuarantineTicks > 0) {
        aCtx->QuarantineStartTick = f_HeartBeatTick;
        f_QuarantineHold.Add(aCtx);
    } else {
        GoNewbie(aCtx);
    }
}

void TQORServNetwork::GoNewbie(TQORSVCContext* aCtx) {
    f_NetResults |= ArrivalResultBits(aCtx->CtxFlags());
    aCtx->pNetworkClientsListV0 = &f_ClientsV0;
    aCtx->pNetworkClientsListV1FU = &f_ClientsV1FU;
    aCtx->pNetworkClientsListV1DU = &f_ClientsV1DU;
    f_NewbieHold.Add(aCtx);
}

void TQORServNetwork::tmQuarantineStep() {
    const uint32_t q = NetOptions().no_QuarantineTicks;
    for (TQORSVCContext* c : f_QuarantineHold.LastFirst()) {
        if (static_cast<uint32_t>(f_HeartBeatTick - c->QuarantineStartTick) >= q) {
            f_QuarantineHold.Remove(c);
            GoNewbie(c);
        }
    }
}

void TQORServNetwork::tmNewbieStep() {
    for (TQORSVCContext* c : f_NewbieHold.LastFirst()) {
        if (IsVisible(c)) continue;
        c->RefreshStatusInfo();
        c->SessionStartTick = f_HeartBeatTick;
        c->SessionLifeTime = NetOptions().no_SessionMaxTime;
        if (c->CtxMovingFromNetToNet) tmSendNetChangeInfo(c);  // ---- moves ----
        VisualInsert(c);
        AccessStoreDiffers(c);
        if (NetLogLevel() >= 4) tmLogArrival(c);  // ---- moves ----
    }
}

void TQORServNetwork::tmNewbieInitialData() {
    for (TQORSVCContext* c : f_NewbieHold.LastFirst()) {
        const uint32_t f = c->CtxFlags();
        if ((f & (QOR_CF_LEAVING | QOR_CF_UTF8)) == QOR_CF_UTF8) {
            c->SendString(e_NetworksList.NetsV1U());
        } else if (!(f & QOR_CF_LEAVING)) {
            c->SendString(e_NetworksList.NetsV0());
        }
        // ---- the Parrot ----
        if (f_Parrot) ParrotGreetNewcomer(c);
        c->ClearNewbieFlag();
        c->CtxMovingFromNetToNet = false;
        if ((c->CtxFlags() & (QOR_CF_LEAVING | QOR_CF_SPEAKER)) == QOR_CF_SPEAKER) {
            c->SendTXAPPROVAL();
        }
    }
    f_NewbieHold.Clear();
}

// ---- the visible list ----

bool TQORServNetwork::IsVisible(const TQORSVCContext* aCtx) const {
    return f_VisualKeyOf.count(const_cast<TQORSVCContext*>(aCtx)) != 0;
}

void TQORServNetwork::VisualInsert(TQORSVCContext* aCtx) {
    // The key is kept as inserted: a status refresh may rewrite the context's.
    if (!f_VisualKeyOf.emplace(aCtx, aCtx->CliVisualSortKey()).second) return;
    f_VisualOper.insert({aCtx->CliVisualSortKey(), aCtx});
    f_Lists->AddVisible(aCtx);
}

bool TQORServNetwork::VisualRemove(TQORSVCContext* aCtx) {
    auto it = f_VisualKeyOf.find(aCtx);
    if (it == f_VisualKeyOf.end()) return false;
    f_VisualOper.erase({it->second, aCtx});
    f_VisualKeyOf.erase(it);
    f_Lists->RemoveVisible(aCtx);
    return true;
}

void TQORServNetwork::DepartureRendezvous(TQORSVCContext* aCtx) {
    if (f_MovedHold.Remove(aCtx)) return;
    if (f_ExtraDispHold.Remove(aCtx)) {
        f_DispHold.Add(aCtx);
        CleaningFromDupl(aCtx);
    } else {
        aCtx->CtxFlagsSet(QOR_CF_LEAVING);
        f_ExtraDispHold.Add(aCtx);
    }
}

void TQORServNetwork::CleaningFromDupl(TQORSVCContext* aCtx) {
    f_Access->ForgetContext(aCtx);
    if (!aCtx->InDupl) return;
    int found = 0;
    auto m = f_EMailHash.find(aCtx->CliHashA());
    const bool mailHit = m != f_EMailHash.end() && m->second == aCtx;
    found += mailHit;
    auto cs = f_Callsigns.end();
    if (NetOptions().no_UniqCallsign) {
        cs = f_Callsigns.find(aCtx->CliCallsignOpnameANSISort());
        if (cs != f_Callsigns.end() && cs->second == aCtx) ++found;
    } else {
        ++found;
    }
    if (found == 2) {
        f_EMailHash.erase(m);
        if (cs != f_Callsigns.end()) f_Callsigns.erase(cs);
        CountContext(aCtx, -1);
    } else {
        Log(u"ERROR: " + f_NetPrefixName + u"_CleaningFromDupl: synchro mismatch #" +
            (found == 1 ? u"1" : u"0"));
    }
    aCtx->InDupl = false;
}

// ---- leaving ----

void TQORServNetwork::tmClientDisconnected(TQORSVCContext* aCtx) {
    if (aCtx == nullptr) return;
    aCtx->DisconnectCauseW(Cause::fsdc_GracefullDisconnect);
    tmLogDisconnect(aCtx);  // ---- moves ----
    auto dispose = [this, aCtx]() GAX_REQUIRES(kHeartbeat) {
        aCtx->CtxFlagsSet(QOR_CF_LEAVING);
        f_DispHold.Add(aCtx);
        CleaningFromDupl(aCtx);
    };
    if (VisualRemove(aCtx)) {
        f_Owned.insert(aCtx);
        f_NetResults |= kNetResMembership;
        aCtx->UnregisterWithManagers();
        ReleaseTX_IfEqual(aCtx, true, false);
        // A NEWBIE that became visible in this very heartbeat leaves both.
        f_NewbieHold.Remove(aCtx);
        if (f_ExtraDispHold.Remove(aCtx)) {
            f_DispHold.Add(aCtx);
            CleaningFromDupl(aCtx);
        } else if (std::find(f_VisualBias.begin(), f_VisualBias.end(), aCtx) ==
                   f_VisualBias.end()) {
            // Never in a list sent: no list difference will come for it.
            dispose();
        } else {
            aCtx->CtxFlagsSet(QOR_CF_LEAVING);
            f_ExtraDispHold.Add(aCtx);
        }
        return;
    }
    if (f_ExtraDispHold.Contains(aCtx)) {
        // The list difference saw it go first.
        f_Owned.insert(aCtx);
        aCtx->UnregisterWithManagers();
        ReleaseTX_IfEqual(aCtx, true, false);
        f_ExtraDispHold.Remove(aCtx);
        f_DispHold.Add(aCtx);
        CleaningFromDupl(aCtx);
        return;
    }
    // A client still in ATTACH has its registrations on their way: an answer
    // that finds it gone withdraws itself. The DELETE hold was unregistered
    // when it was put there.
    if (f_AttachHold.Remove(aCtx) || f_DelHold.Remove(aCtx)) {
        f_Owned.insert(aCtx);
        dispose();
        return;
    }
    if (f_ApprovedHold.Remove(aCtx) || f_QuarantineHold.Remove(aCtx)) {
        f_Owned.insert(aCtx);
        aCtx->UnregisterWithManagers();
        dispose();
        return;
    }
    if (f_NewbieHold.Remove(aCtx)) {
        f_Owned.insert(aCtx);
        f_NetResults |= kNetResMembership;
        aCtx->UnregisterWithManagers();
        dispose();
        return;
    }
    aCtx->call_OnCtxWarning(u"Client is not present on ATTACH/APPROVED/QAUARANTINE/NEWBIE/OPER holds on "
                     u"network \"" +
                     NetworkNameUCS2() + u"\"");
}

void TQORServNetwork::DisposeAll() {
    for (TQORSVCContext* c : f_DispHold.LastFirst()) {
        f_Relay->ForgetContext(c);
        RelaySync();
        assert(c != e_SpeakingContext);
        f_DispHold.Remove(c);
        f_Access->ForgetContext(c);
        if (f_Owned.erase(c) != 0) delete c;
    }
}

bool TQORServNetwork::tmDisconnectByHash(std::string_view aClientId,
                                         TQORSVCDisconnectCause aCause) {
    for (const auto& [key, c] : f_VisualOper) {
        if (c->CliHashA() != aClientId) continue;
        if (c->IsParrot()) return false;
        c->ClientTerminateSignal(aCause);
        return true;
    }
    bool hit = false;
    for (TQORNetHold* h : {&f_AttachHold, &f_ApprovedHold, &f_NewbieHold, &f_QuarantineHold}) {
        for (TQORSVCContext* c : h->LastFirst()) {
            if (c->CliHashA() != aClientId) continue;
            if (h == &f_NewbieHold) f_NetResults |= kNetResMembership;
            if (h != &f_AttachHold) c->UnregisterWithManagers();
            h->Remove(c);
            tmPutInDeleteHold(c, aCause);
            hit = true;
            if (h != &f_NewbieHold) return true;
        }
    }
    return hit;
}

void TQORServNetwork::tmApplyNetIntFlags(TQORSVCNetQueueRecord& aRec) {
    // Slot 0 carries the changed ids as a list of internal-flags entries.
    if (aRec.nqr_ListArray.empty()) return;
    std::unique_ptr<TQORSVCIntFlagsChangedIds> ids =
        TakeListAs<TQORSVCIntFlagsChangedIds>(aRec.nqr_ListArray[0]);
    if (!ids) return;
    for (auto it = ids->Ids.rbegin(); it != ids->Ids.rend(); ++it) {
        tmDisconnectByHash(*it, Cause::fsdc_ChangeIntFlags);
    }
}

void TQORServNetwork::tmDisconnectAll(TQORSVCDisconnectCause aCause) {
    ReleaseTX_IfEqual(e_SpeakingContext, false, false);
    for (const auto& [key, c] : f_VisualOper) {
        if (!c->IsParrot()) c->ClientTerminateSignal(aCause);
    }
    for (TQORNetHold* h : {&f_AttachHold, &f_ApprovedHold, &f_NewbieHold, &f_QuarantineHold}) {
        for (TQORSVCContext* c : h->LastFirst()) c->ClientTerminateSignal(aCause);
    }
    f_NetFast = true;
}

// ---- the floor (what leaving needs of it) ----

bool TQORServNetwork::AcquareTX(TQORSVCContext* aCtx) {
    const uint32_t f = aCtx->CtxFlags();
    // A context in a hold, still a newbie, or leaving cannot talk.
    if (!IsVisible(aCtx) || (f & (QOR_CF_NEWBIE | QOR_CF_LEAVING)) != 0) return false;
    if (e_SpeakingContext != nullptr) return e_SpeakingContext == aCtx;
    const bool got = f_Relay->AcquareTX(aCtx);
    RelaySync();
    return got;
}

void TQORServNetwork::ReleaseTX_IfEqual(TQORSVCContext* aCtx, bool aNotify, bool aTellLeaver) {
    const bool released = f_Relay->ReleaseTX_IfEqual(aCtx) != nullptr;
    RelaySync();
    if (released && aNotify) {
        static const char rel = 0x00;
        SendData(&rel, 1, QOR_CF_LEAVING | QOR_CF_NEWBIE | QOR_CF_EMULATED_TX, 0,
                 aTellLeaver ? nullptr : aCtx);
    }
}

void TQORServNetwork::SendData(const void* aData, int32_t aLen, uint32_t aMask, uint32_t aValue,
                               const TQORSVCContext* aExcept) {
    const uint32_t m = aMask & f_NetFlags;
    for (auto it = f_VisualOper.rbegin(); it != f_VisualOper.rend(); ++it) {
        TQORSVCContext* c = it->second;
        if (c != aExcept && (c->CtxFlags() & m) == aValue) c->vSendBytes(aData, aLen);
    }
}

const TQORNetHold& TQORServNetwork::Hold(const char* aName) const {
    const std::string n(aName);
    for (const TQORNetHold* h : {&f_AttachHold, &f_ApprovedHold, &f_QuarantineHold, &f_NewbieHold,
                                 &f_DelHold, &f_MovedHold, &f_ExtraDispHold, &f_DispHold}) {
        if (n == h->Name()) return *h;
    }
    throw Exception(u"No hold " + ByteStrToUnicode(n));
}

}  // namespace gax
