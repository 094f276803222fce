// The service's side of moving a client from one network to another: the
// alive tests of the asking and the moved context, the heartbeats the two
// networks are owed before they decide, the list of temporary moves and their
// way home, and the answer to the asker. Also fast mode, which every network
// gets at once.
//
// Heartbeat thread only. A context is only ever reached through its listed
// entry and its global key: records may outlive the context they name.
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_context.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {

namespace {

using C = TQORServNetworkCommand;

// One temporary move: the context, the networks it is in and came from, and
// the seconds left (counted down by the heartbeat pass).
class TQORTempMove final : public TQORSVCMovedClient {
  public:
    TQORTempMove(TQORSVCCtxRef aRef, TQORSVCNetwork* aNow, TQORSVCNetwork* aFrom, int32_t aLeft)
        : f_Ref(aRef), f_Now(aNow), f_From(aFrom), f_Left(aLeft) {}
    TQORSVCCtxRef MovedCtxRef() const override { return f_Ref; }
    int32_t MoveTimeLeft() const override { return f_Left; }
    void SetMoveTimeLeft(int32_t aSeconds) override { f_Left = aSeconds; }
    TQORSVCHandle NetworkNow() const override { return f_Now; }
    TQORSVCHandle NetworkMovedFrom() const override { return f_From; }

  private:
    TQORSVCCtxRef f_Ref;
    TQORSVCNetwork* f_Now;
    TQORSVCNetwork* f_From;
    int32_t f_Left;
};

}  // namespace

void TQORService::tmHeartBeatIfDue(TQORSVCNetwork& aNet) {
    try {
        const bool ping = TickSignedDiff(tmServTick, aNet.PingBase()) >= 500;
        if (ping || aNet.HasCommands()) {
            if (aNet.NetHeartBeat(ping, tmServTick)) tmServResults |= kResNetCommands;
        }
    } catch (const Exception& e) {
        Fifo(u"ERROR: Network \"" + aNet.NetName() + u"\": " + e.Message());
    }
}

void TQORService::tmDropTempMove(const void* aCtxIdentity) {
    for (std::size_t i = f_tmTempMoves.size(); i-- > 0;) {
        TQORSVCMovedClient* m = f_tmTempMoves[i].get();
        if (m->MovedCtxRef().Ctx.Identity() != aCtxIdentity) continue;
        std::erase(f_tmTempMovedContexts, m);
        f_tmTempMoves.erase(f_tmTempMoves.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void TQORService::tmFastMode(TQORServNetworkCommand aCmd) {
    for (std::size_t i = f_Nets.size(); i-- > 0;) {
        auto rec = std::make_unique<TQORSVCNetQueueRecord>();
        rec->nqr_Cmd = aCmd;
        rec->nqr_ReceiverObj = f_Nets[i].get();
        tmHandToNetwork(f_Nets[i].get(), rec);
    }
}

void TQORService::tmMoveRecord(TQORSVCNetQueueRecord& aRec) {
    // The entry of a live client context under a key; null when it ended.
    auto liveClient = [this](TQORSVCHandle aCtx,
                             TQORGlobalKey aKey) GAX_REQUIRES(kHeartbeat) -> TQORClientEntry* {
        auto it = f_tmClients.find(aCtx.Identity());
        if (it == f_tmClients.end() || it->second.Ctx->CtxGlobalKey() != aKey ||
            it->second.Undefined || it->second.Network == nullptr)
            return nullptr;
        return &it->second;
    };

    if (aRec.nqr_Cmd == C::snc_MoveClientAutoBack) {
        const void* id = aRec.nqr_Context.Identity();
        TQORSVCMovedClient* temp = nullptr;
        for (const auto& m : f_tmTempMoves)
            if (m->MovedCtxRef().Ctx.Identity() == id && m->MovedCtxRef().Key == aRec.nqr_GlobalKey)
                temp = m.get();
        if (temp == nullptr) return;
        TQORSVCNetwork* now = tmMoveNetwork(temp->NetworkNow());
        TQORSVCNetwork* home = tmMoveNetwork(temp->NetworkMovedFrom());
        if (now != nullptr) tmHeartBeatIfDue(*now);
        if (home != nullptr) tmHeartBeatIfDue(*home);
        tmDropTempMove(id);
        TQORClientEntry* e = liveClient(aRec.nqr_Context, aRec.nqr_GlobalKey);
        // A client that cannot go home stays where it is, for good.
        if (e == nullptr || now == nullptr || home == nullptr || e->Network != now) return;
        if (tmMoveCanDetachByCtx(*now, *e->Ctx) != kMoveAnswerOK || !tmMoveCanAttach(*home, *e->Ctx))
            return;
        TQORSVCWrkCtx& ctx = *e->Ctx;
        bool refused = false;
        TQORSVCNetwork* landed = tmMoveDetachAttach(
            *now, *home, ctx, TQORSVCClientHandshakeType::fscht_Move_Back_Auto, 0, refused);
        if (TQORClientEntry* after = liveClient(aRec.nqr_Context, aRec.nqr_GlobalKey))
            if (landed != nullptr) after->Network = landed;
        return;
    }

    // The asker: a client session that is on line in its network, or a
    // command-channel context that is still listed.
    TQORSVCNetwork* from = nullptr;
    auto asker = [&]() GAX_REQUIRES(kHeartbeat) -> TQORSVCWrkCtx* {
        if (aRec.nqr_Cmd == C::snc_ChannelMoveClient)
            return tmAliveCommandContext(aRec.nqr_Context, aRec.nqr_GlobalKey);
        TQORClientEntry* e = liveClient(aRec.nqr_Context, aRec.nqr_GlobalKey);
        return e != nullptr ? e->Ctx : nullptr;
    };
    if (aRec.nqr_Cmd == C::snc_ContextMoveClient) {
        TQORClientEntry* e = liveClient(aRec.nqr_Context, aRec.nqr_GlobalKey);
        if (e == nullptr || !tmMoveIsOnline(*e->Network, *e->Ctx, aRec.nqr_GlobalKey)) return;
        // The grant that counts is the one of the network the asker is in now:
        // a move queued behind another may find it where it has none.
        const auto* mover = dynamic_cast<const TQORSVCContext*>(e->Ctx);
        if (mover == nullptr || (mover->CliAnswerExtFlags() & QOR_EXT_MOVE_CLIENT) == 0) {
            e->Ctx->vCommandAnswer(fwac_MoveClient, kMoveAnswerRefused, {});
            return;
        }
        from = e->Network;
    } else {
        if (asker() == nullptr) return;
        from = tmMoveNetwork(aRec.nqr_SenderObj);
    }
    TQORSVCNetwork* to = tmMoveNetwork(aRec.nqr_ReceiverObj);
    const int32_t moveTime = aRec.nqr_DataI0 > 0 ? aRec.nqr_DataI0 : 0;

    int32_t result = kMoveAnswerRefused;
    if (from != nullptr && to != nullptr && from != to) {
        tmHeartBeatIfDue(*from);
        tmHeartBeatIfDue(*to);
        TQORSVCWrkCtx* moved = nullptr;
        result = tmMoveCanDetachById(*from, aRec.nqr_DataS1, moved);
        if (result == kMoveAnswerOK && moved != nullptr) {
            result = kMoveAnswerRefused;
            const void* movedId = static_cast<const void*>(moved);
            auto movedEntry = f_tmClients.find(movedId);
            const bool listed = movedEntry != f_tmClients.end() && movedEntry->second.Ctx == moved;
            if (listed && tmMoveCanAttach(*to, *moved)) {
                TQORSVCMovedClient* temp = nullptr;
                for (const auto& m : f_tmTempMoves)
                    if (m->MovedCtxRef().Ctx.Identity() == movedId) temp = m.get();
                bool go = true;
                if (temp != nullptr) {
                    // On a temporary move it may only go home, and for good.
                    if (!temp->NetworkMovedFrom().Is(to) || moveTime > 0)
                        go = false;
                    else
                        tmDropTempMove(movedId);
                } else if (moveTime > 0) {
                    auto m = std::make_unique<TQORTempMove>(
                        TQORSVCCtxRef{moved, moved->CtxGlobalKey()}, to, from, moveTime);
                    f_tmTempMovedContexts.push_back(m.get());
                    f_tmTempMoves.push_back(std::move(m));
                }
                if (go) {
                    const TQORGlobalKey key = moved->CtxGlobalKey();
                    bool refused = false;
                    TQORSVCNetwork* landed =
                        tmMoveDetachAttach(*from, *to, *moved, TQORSVCClientHandshakeType::fscht_Move,
                                           moveTime, refused);
                    auto after = f_tmClients.find(movedId);
                    if (after != f_tmClients.end() && after->second.Ctx->CtxGlobalKey() == key &&
                        landed != nullptr)
                        after->second.Network = landed;
                    if (landed == to && !refused) {
                        result = kMoveAnswerOK;
                    } else {
                        // Refused by the target at admission: no move is under way.
                        tmDropTempMove(movedId);
                    }
                }
            }
        }
    }
    // The asker may have ended during the heartbeats: it is looked up again.
    if (TQORSVCWrkCtx* a = asker()) a->vCommandAnswer(fwac_MoveClient, result, {});
}

}  // namespace gax
