// The network's floor, sound and text relay and client lists: the wiring of
// the relay and lists units into TQORServNetwork (heartbeat thread).
#include "networks/gax_qor_svc_network.h"

namespace gax {

struct TQORServNetwork::ListsOwner : TQORNetListsOwner {
    explicit ListsOwner(TQORServNetwork& aNet) : Net(aNet) {}
    void DropFromSentOrder(TQORSVCContext* aCtx) override GAX_REQUIRES(kHeartbeat) { Net.RelayDropFromSentOrder(aCtx); }
    TQORServNetwork& Net;
};

void TQORServNetwork::RelayInit() {
    f_ListsOwner = std::make_unique<ListsOwner>(*this);
    f_Fanout = std::make_unique<TQORNetFanout>(
        [this](std::u16string aLine) { Log(std::move(aLine)); }, f_NetPrefixName);
    f_Lists = std::make_unique<TQORNetClientLists>(*f_Fanout, *f_ListsOwner, std::string());
    f_Fanout->SetMembers(&f_Lists->VisualOper());
    f_Fanout->SetNetFlags(f_NetFlags);
    TQORNetTxOptions o;
    o.SpeechPauseTicks = NetOptions().no_SpeechPauseTicks;
    o.SpeechLimit = NetOptions().no_SpeechLimit;
    o.MaxSpeechTicks = NetOptions().no_MaxSpeechTicks;
    f_Relay = std::make_unique<TQORNetRelay>(*f_Fanout, std::move(o));
    f_Relay->SetFindAdmitted([this](std::string_view aId) GAX_REQUIRES(kHeartbeat) -> TQORSVCContext* {
        auto it = f_EMailHash.find(std::string(aId));
        return it == f_EMailHash.end() ? nullptr : it->second;
    });
}

void TQORServNetwork::SetRelayServiceFacts(std::string aAggregateId, bool aExplicitTxReject,
                                           uint32_t aActivityTimeoutTicks,
                                           int32_t aActivityTimeoutSeconds) {
    TQORNetTxOptions& o = f_Relay->Options();
    o.AggregateId = aAggregateId;
    o.ExplicitTxReject = aExplicitTxReject;
    o.ActivityTimeoutTicks = aActivityTimeoutTicks;
    f_ActivityTimeoutSeconds = aActivityTimeoutSeconds;
    f_Lists->SetAggregateId(std::move(aAggregateId));
}

void TQORServNetwork::RelaySync() {
    e_SpeakingContext = f_Relay->SpeakingContext();
    f_NetFlags = f_Fanout->NetFlags();
}

bool TQORServNetwork::RelayDispatch(TQORNetCommand& aCmd) {
    TQORSVCNetQueueRecord& r = *aCmd.Rec;
    TQORSVCContext* c = aCmd.Ctx;
    f_Relay->SetHeartBeatTick(f_HeartBeatTick);
    switch (r.nqr_Cmd) {
        case TQORServNetworkCommand::snc_TxRequest:
            if (c && IsVisible(c)) {
                f_Relay->tmTxRequest(c);
            } else if (c && f_Relay->Options().ExplicitTxReject && !(c->CtxFlags() & QOR_CF_LEAVING)) {
                c->SendRejectTX();  // not visible yet: refused
            }
            break;
        case TQORServNetworkCommand::snc_RxRequest:
            if (c) f_Relay->tmRxRequest(c);
            break;
        case TQORServNetworkCommand::snc_TxSoundLong:
            if (c) f_Relay->tmTxSoundLong(c, r.nqr_DataS1);
            break;
        case TQORServNetworkCommand::snc_TxSoundShort:
            if (c) f_Relay->tmTxSoundShort(c, r.nqr_DataS1);
            break;
        case TQORServNetworkCommand::snc_MessageV0:
            if (c) f_Relay->tmMessageV0(c, r.nqr_DataS1, r.nqr_DataS2, r.nqr_DataI0);
            break;
        case TQORServNetworkCommand::snc_MessageV1:
            if (c)
                f_Relay->tmMessageV1(c, r.nqr_DataS1, r.nqr_DataS2, r.nqr_DataI2,
                                     static_cast<int32_t>(r.nqr_Socket), r.nqr_DataI0,
                                     r.nqr_DataI1);
            break;
        default:
            return false;
    }
    RelaySync();
    return true;
}

void TQORServNetwork::RelayResultWork() {
    f_Relay->SetHeartBeatTick(f_HeartBeatTick);
    f_Relay->EndSpeechPauseIfDue();
    RelaySync();
    f_Lists->SetNetResults(f_NetResults & (kNetResMembership | kNetResStatus | kNetResItem));
    f_Lists->ListStep(e_SpeakingContext, NetOptions().no_OutputBufferFactor,
                      f_ActivityTimeoutSeconds);
    f_VisualBias = f_Lists->VisualBias();
    RelaySync();
}

void TQORServNetwork::RelayDropFromSentOrder(TQORSVCContext* aCtx) {
    // Also for a client moved away: a slot number of this network's cache
    // must not travel with it into another network's.
    f_Relay->Cache().CacheSlotRelease(aCtx);
    DepartureRendezvous(aCtx);
}

}  // namespace gax
