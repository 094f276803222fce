// A network's side of moving a client: whether a client may leave or come
// in, taking it out of the source (floor, managers, indexes, list cache, the
// MOVED hold until the others have seen it go) and admitting it into the
// target as a moved client, plus the two checks of the ping that end a
// visible client's session: its session time and its pending output.
//
// Heartbeat thread only (the service's move handlers and NetHeartBeat).
#include <algorithm>

#include "foundation/gax_strutils.h"
#include "networks/gax_qor_svc_network.h"
#include "networks/gax_qor_svc_network_service.h"
#include "server/gax_qor_svc_clientdescr.h"
#include "server/gax_qor_svc_handshake.h"
#include "server/gax_qor_svc_server_snps.h"

namespace gax {

namespace {

std::u16string Grave(std::u16string_view aText) {
    std::u16string s = u"`";
    s += aText;
    s += u"`";
    return s;
}

}  // namespace

bool TQORServNetwork::MoveClient_IsOnline(const TQORSVCContext* aCtx, TQORGlobalKey aKey) const {
    if (aCtx == nullptr) return false;
    auto it = f_EMailHash.find(aCtx->CliHashA());
    return it != f_EMailHash.end() && it->second == aCtx && aCtx->CtxGlobalKey() == aKey &&
           (aCtx->CtxFlags() & QOR_CF_LEAVING) == 0 && IsVisible(aCtx);
}

int32_t TQORServNetwork::MoveClient_CanDetachFromSourceByID(std::string_view aClientId,
                                                            TQORSVCContext*& aCtx) const {
    aCtx = nullptr;
    auto it = f_EMailHash.find(std::string(aClientId));
    if (it == f_EMailHash.end()) return kMoveNoClient;
    TQORSVCContext* c = it->second;
    if (!IsVisible(c) || (c->CtxFlags() & QOR_CF_LEAVING) != 0) return kMoveNoClient;
    if (c->IsParrot()) return kMoveNotSupported;
    aCtx = c;
    return kMoveOK;
}

int32_t TQORServNetwork::MoveClient_CanDetachFromSourceByCtx(const TQORSVCContext* aCtx) const {
    if (aCtx == nullptr || !IsVisible(aCtx) || (aCtx->CtxFlags() & QOR_CF_LEAVING) != 0 ||
        aCtx->IsParrot())
        return kMoveNoClient;
    return kMoveOK;
}

bool TQORServNetwork::MoveClient_CanAttachIntoTarget(TQORSVCContext* aCtx) const {
    const TQORSVCNetworkOptions& o = NetOptions();
    // The same count as at admission: arrivals in flight take places too, so
    // a move never passes this check only to be refused when it arrives.
    if (ArrivalsReach(o.no_NetMaxClients)) return false;
    if (f_MovedHold.Contains(aCtx)) return false;
    if (f_EMailHash.count(aCtx->CliHashA()) != 0) return false;
    if (o.no_UniqCallsign && f_Callsigns.count(aCtx->CliCallsignOpnameANSISort()) != 0)
        return false;
    bool differs = false;
    if (IsBlockedOnNetwork(*aCtx, differs)) return false;
    // A network open to its listed clients only takes no other by a move.
    // Only a question: the move may still be refused after this, and the
    // target's talk rule reaches the client at its admission there.
    return Access().AccessModeAdmits(*aCtx);
}

void TQORServNetwork::MoveClient_DetachFromSource(TQORSVCContext* aCtx, uint32_t aTick) {
    aCtx->CtxMovedFromNetName = NetworkNameUCS2();
    // Everybody, the mover included, learns that the floor is free.
    if (aCtx == e_SpeakingContext) ReleaseTX_IfEqual(aCtx, true, true);
    aCtx->UnregisterWithManagers();
    aCtx->ClearAllManagersInfo(this);
    CleaningFromDupl(aCtx);
    VisualRemove(aCtx);
    f_Relay->ForgetContext(aCtx);
    RelaySync();
    f_NewbieHold.Remove(aCtx);
    f_NetResults |= kNetResMembership;
    // Only a client in the list sent last waits in MOVED for the difference
    // that takes it out of the others' lists; any other would stay there.
    if (std::find(f_VisualBias.begin(), f_VisualBias.end(), aCtx) != f_VisualBias.end())
        f_MovedHold.Add(aCtx);
    aCtx->CtxMovedFromNetwork = this;
    PushSimple(TQORServNetworkCommand::snc_RebuildClientListNow);
    NetHeartBeat(false, aTick);
}

bool TQORServNetwork::MoveClient_AttachIntoTarget(TQORSVCContext* aCtx,
                                                  TQORSVCClientHandshakeType aType,
                                                  int32_t aMoveTime, bool aMayRefuse) {
    aCtx->tmRestoreInitialFlags();
    aCtx->CtxMovedTime = aMoveTime;
    if (NetLogLevel() > 4) {
        std::u16string line;
        if (aType == TQORSVCClientHandshakeType::fscht_Move_Back_Auto) {
            line = u" MOVE_AUTO_BACK NetTo=" + Grave(NetworkNameUCS2());
        } else if (aMoveTime <= 0) {
            line = u" MOVE NetTo=" + Grave(NetworkNameUCS2());
        } else {
            line = u" MOVE_TEMP Time=" + Grave(Utf8StrToUnicodeLenient(std::to_string(aMoveTime))) +
                   u" NetTo=" + Grave(NetworkNameUCS2());
        }
        TStringBldU b;
        AppendClientDescription(b, *aCtx);
        aCtx->call_OnCtxInfo(line + ToText(b));
    }
    bool refused = false;
    if (aMayRefuse) f_MoveRefused = &refused;
    try {
        tmHandshakeClient(aCtx, aType);
    } catch (...) {
        f_MoveRefused = nullptr;
        throw;
    }
    f_MoveRefused = nullptr;
    if (!aMayRefuse) return !f_DelHold.Contains(aCtx);
    return !refused;
}

void TQORServNetwork::tmSendNetChangeInfo(TQORSVCContext* aCtx) {
    const TQORSVCNetworkOptions& o = NetOptions();
    if (!o.no_NetChangeInfo || (aCtx->CliAnswerExtFlags() & QOR_EXT_NET_CHANGE_INFO) == 0) return;
    TQORHandshakeNetwork n;
    n.HasNetwork = true;
    n.NameA = NetworkNameANSI();
    n.NameUTF8 = NetworkNameUTF8();
    n.EffManagerMode = f_EffManagerMode;
    // The notice as the access-information mode shows it, as at a connect.
    n.NoticeA = Access().NoticeActualANSI();
    n.NoticeUTF8 = Access().NoticeActualUTF8();
    n.SpeechLimitSec = SpeechLimitTime();
    TQORHandshakeServer s;
    if (const auto* snps = dynamic_cast<const TQORSVCContextSNPS*>(aCtx)) s = snps->HandshakeServer();
    FastStringA f(256);
    PrepareNetChangeInfo(f, HandshakeClientOf(*aCtx), n, s, o.no_ServerInfo);
    if (f.Len() > 0) aCtx->vSendBytes(f.Data(), static_cast<int32_t>(f.Len()));
}

void TQORServNetwork::tmLogDisconnect(TQORSVCContext* aCtx) {
    if (!IsDisconnectLogged(aCtx->DisconnectCauseR(), NetLogLevel())) return;
    TStringBldU b;
    AppendDisconnectDescription(b, *aCtx);
    AppendClientDescription(b, *aCtx);
    Log(ToText(b));
}

void TQORServNetwork::tmLogArrival(TQORSVCContext* aCtx) {
    TStringBldU b;
    AppendStr(b, aCtx->ConnectionStringU());
    if (aCtx->CtxMovingFromNetToNet)
        AppendStr(b, u" MOVED NetFrom=" + Grave(aCtx->CtxMovedFromNetName));
    else
        AppendStr(b, u" LOGIN");
    AppendClientDescription(b, *aCtx);
    Log(ToText(b));
}

void TQORServNetwork::tmSessionTimeCheck() {
    for (const auto& [key, c] : f_VisualOper) {
        if (c->IsParrot()) continue;
        while (static_cast<int32_t>(f_HeartBeatTick - c->SessionStartTick) >= 1000) {
            --c->SessionLifeTime;
            c->SessionStartTick += 1000;
        }
        if (c->SessionLifeTime <= 0) c->ClientTerminateSignal(TQORSVCDisconnectCause::fsdc_SessionTimeLimit);
    }
}

void TQORServNetwork::tmBandwidthCheck() {
    const int32_t limit = f_Lists->OutputBufferLimitDynamicLastRebuild();
    for (const auto& [key, c] : f_VisualOper) {
        if (c->IsParrot()) continue;
        if (c->vOutputBufferLimit(limit, f_HeartBeatTick))
            c->ClientTerminateSignal(TQORSVCDisconnectCause::fsdc_BandWidthLimit);
    }
}

}  // namespace gax

// ---- the networked service's move operations ----

namespace gax {

TQORServNetwork* TQORNetworkedService::MoveNet(TQORSVCNetwork& aLink) const {
    for (TQORNetworkMemberLink* l : f_Links)
        if (l == &aLink) return &l->Network();
    return nullptr;
}

TQORSVCNetwork* TQORNetworkedService::tmMoveNetwork(TQORSVCHandle aNet) {
    // The channel names a network by its link, a session by the network
    // object as its sessions see it.
    for (TQORNetworkMemberLink* l : f_Links) {
        if (aNet.Is(l) || aNet.Is(static_cast<const TQORSVCClientNetwork*>(&l->Network())) ||
            aNet.Is(&l->Network()))
            return l;
    }
    return nullptr;
}

bool TQORNetworkedService::tmMoveIsOnline(TQORSVCNetwork& aNet, TQORSVCWrkCtx& aCtx,
                                          TQORGlobalKey aKey) {
    TQORServNetwork* net = MoveNet(aNet);
    auto* ctx = dynamic_cast<TQORSVCContext*>(&aCtx);
    return net != nullptr && ctx != nullptr && net->MoveClient_IsOnline(ctx, aKey);
}

int32_t TQORNetworkedService::tmMoveCanDetachById(TQORSVCNetwork& aNet, std::string_view aClientId,
                                                  TQORSVCWrkCtx*& aCtx) {
    aCtx = nullptr;
    TQORServNetwork* net = MoveNet(aNet);
    if (net == nullptr) return kMoveAnswerNoClient;
    TQORSVCContext* ctx = nullptr;
    const int32_t r = net->MoveClient_CanDetachFromSourceByID(aClientId, ctx);
    aCtx = ctx;
    return r;
}

int32_t TQORNetworkedService::tmMoveCanDetachByCtx(TQORSVCNetwork& aNet, TQORSVCWrkCtx& aCtx) {
    TQORServNetwork* net = MoveNet(aNet);
    auto* ctx = dynamic_cast<TQORSVCContext*>(&aCtx);
    if (net == nullptr || ctx == nullptr) return kMoveAnswerNoClient;
    return net->MoveClient_CanDetachFromSourceByCtx(ctx);
}

bool TQORNetworkedService::tmMoveCanAttach(TQORSVCNetwork& aNet, TQORSVCWrkCtx& aCtx) {
    TQORServNetwork* net = MoveNet(aNet);
    auto* ctx = dynamic_cast<TQORSVCContext*>(&aCtx);
    return net != nullptr && ctx != nullptr && net->MoveClient_CanAttachIntoTarget(ctx);
}

TQORSVCNetwork* TQORNetworkedService::tmMoveDetachAttach(TQORSVCNetwork& aFrom,
                                                         TQORSVCNetwork& aTo,
                                                         TQORSVCWrkCtx& aCtx,
                                                         TQORSVCClientHandshakeType aType,
                                                         int32_t aMoveTime, bool& aRefused) {
    aRefused = true;
    TQORServNetwork* from = MoveNet(aFrom);
    TQORServNetwork* to = MoveNet(aTo);
    auto* ctx = dynamic_cast<TQORSVCContext*>(&aCtx);
    if (from == nullptr || to == nullptr || ctx == nullptr) return nullptr;
    from->MoveClient_DetachFromSource(ctx, tmPassTick());
    if (to->MoveClient_AttachIntoTarget(ctx, aType, aMoveTime, true)) {
        aRefused = false;
        return &aTo;
    }
    // The target refused it at admission: rather than ending a client that
    // did nothing wrong, it goes back where it came from.
    if (from->MoveClient_CanAttachIntoTarget(ctx) &&
        from->MoveClient_AttachIntoTarget(
            ctx, TQORSVCClientHandshakeType::fscht_Move_Back_Auto, 0, true))
        return &aFrom;
    to->MoveClient_AttachIntoTarget(ctx, aType, aMoveTime, false);
    return &aTo;
}

void TQORNetworkedService::tmApplyServIntFlags(TQORSVCNetQueueRecord& aRec) {
    if (aRec.nqr_ListArray.empty()) return;
    std::unique_ptr<TQORSVCIntFlagsPayload> p =
        TakeListAs<TQORSVCIntFlagsPayload>(aRec.nqr_ListArray[0]);
    if (!p || !p->Cfg) return;
    TQORSVCIntFlagsCfgObject& cfg = *p->Cfg;
    const int32_t n = static_cast<int32_t>(f_Links.size());
    if (cfg.NetCount() != n) {
        Fifo(u"ERROR: Internal flags: the reading has " +
             Utf8StrToUnicodeLenient(std::to_string(cfg.NetCount())) + u" networks, the server " +
             Utf8StrToUnicodeLenient(std::to_string(n)));
        return;
    }
    std::vector<std::vector<std::string>> changed = ApplyIntFlagsReading(
        cfg, f_ServIntFlags,
        [this](int32_t aIndex) GAX_REQUIRES(kHeartbeat) -> std::unique_ptr<TQORSVCIntFlagsList>& {
            return f_Links[static_cast<size_t>(aIndex)]->Network().NetIntFlags();
        });
    bool any = false;
    for (int32_t i = n; i-- > 0;) {
        TQORServNetwork& net = f_Links[static_cast<size_t>(i)]->Network();
        net.SetServIntFlags(f_ServIntFlags.get());
        if (p->AtStart) continue;
        if (static_cast<size_t>(i) >= changed.size() || changed[static_cast<size_t>(i)].empty())
            continue;
        auto ids = std::make_unique<TQORSVCIntFlagsChangedIds>();
        ids->Ids = std::move(changed[static_cast<size_t>(i)]);
        auto rec = std::make_unique<TQORSVCNetQueueRecord>();
        rec->nqr_Cmd = TQORServNetworkCommand::snc_ApplyNetIntFlags;
        rec->nqr_ListArray.resize(1);
        rec->nqr_ListArray[0].List = std::move(ids);
        if (tmHandToNetwork(f_Links[static_cast<size_t>(i)], rec)) any = true;
    }
    if (any) {
        SvcPoster().MainQueue().EnqueueString(TQORSVCMainQueueCmd::fsmqc_IntFlagsChanged,
                                              cfg.FileName());
        SvcPoster().InterruptService();
    }
}

}  // namespace gax
