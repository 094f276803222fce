// The network's side of the Parrot: it is created with the network when the
// options ask for it, stands in the visible list from the start, is driven by
// the heartbeat pass while it waits for its pause or plays back, greets every
// newcomer, and dies with the network. The service side routes the Parrot's
// own records (floor, sound, text) to its network: the Parrot was never
// admitted, so the service's table of admitted clients does not know it.
//
// Heartbeat thread only, except ParrotCreate and RegisterParrot, which run
// while the networks are loaded, before the heartbeat starts.
#include <string>

#include "networks/gax_qor_svc_network.h"
#include "networks/gax_qor_svc_network_frames.h"
#include "networks/gax_qor_svc_network_service.h"

namespace gax {

void TQORServNetwork::ParrotCreate() {
    const TQORSVCNetworkOptions& o = NetOptions();
    if (!o.no_Parrot.ParrotEnable) return;
    f_ParrotClock = std::make_unique<ParrotClock>(*this);
    // The host is the service as work contexts see it; a network made by a
    // test without a service gets a Parrot that listens but cannot speak.
    auto* host = dynamic_cast<TQORSVCHost*>(&e_Host);
    f_Parrot = std::make_unique<TQORSVCContextParrot>(
        host, e_Facts, this, o.no_Parrot, o.no_SpeechLimit ? o.no_MaxSpeechTicks : 0,
        *f_ParrotClock);
    TQORSVCContext* p = f_Parrot.get();
    // Visible at once, without holds: it is in the first list any member gets.
    f_EMailHash.emplace(p->CliHashA(), p);
    if (o.no_UniqCallsign) f_Callsigns.emplace(p->CliCallsignOpnameANSISort(), p);
    p->pNetworkClientsListV0 = &f_ClientsV0;
    p->pNetworkClientsListV1FU = &f_ClientsV1FU;
    p->pNetworkClientsListV1DU = &f_ClientsV1DU;
    VisualInsert(p);
    f_NetResults |= kNetResMembership;
}

void TQORServNetwork::ParrotHeartBeat(uint32_t aTick) {
    if (f_Parrot && f_Parrot->Busy()) f_Parrot->ParrotHeartBeat(aTick);
}

void TQORServNetwork::ParrotGreetNewcomer(TQORSVCContext* aCtx) {
    const std::string_view msg = f_Parrot->GetParrotDirectMessage();
    if (msg.empty()) return;
    const uint32_t f = aCtx->CtxFlags();
    if (f & (QOR_CF_LEAVING | QOR_CF_NO_SERVER_MESSAGES)) return;
    // Clients that show who sent a text learn the sender before its text.
    const bool speakerInfo = (f & (QOR_CF_SPEAKER_INFO | QOR_CF_LEAVING | QOR_CF_UTF8)) ==
                             (QOR_CF_SPEAKER_INFO | QOR_CF_UTF8);
    const bool cache = (f & (QOR_CF_LIST_CACHE | QOR_CF_LEAVING | QOR_CF_UTF8)) ==
                       (QOR_CF_LIST_CACHE | QOR_CF_UTF8);
    if (speakerInfo || cache) {
        if (f_ParrotInfo.empty() || f_ParrotInfoModifyCounter != f_Parrot->CtxModifyCounter) {
            f_ParrotInfoModifyCounter = f_Parrot->CtxModifyCounter;
            f_ParrotInfo.assign(1, static_cast<char>(QOR_FR_MESSENGER_INFO));
            f_ParrotInfo += f_Parrot->ClientListItemV1U();
        }
        // The index it last saw for a messenger no longer names the sender.
        if (cache) aCtx->CtxCacheLastMessengerIndex = -1;
        aCtx->SendString(f_ParrotInfo);
    }
    aCtx->SendString(msg);
}

// ---- the service side ----

void TQORNetworkedService::RegisterParrot(TQORServNetwork& aNet, TQORNetworkMemberLink* aLink) {
    TQORSVCContextParrot* p = aNet.netParrot();
    if (p == nullptr) return;
    const void* id = static_cast<const void*>(static_cast<TQORSVCWrkCtx*>(p));
    // Its records reach the network through the link, which resolves the
    // context by handle and key like any member's.
    f_Members[id] = p;
    f_ParrotLinks[id] = aLink;
}

TQORSVCNetwork* TQORNetworkedService::tmNetworkOfPseudoClient(TQORSVCHandle aCtx) {
    auto it = f_ParrotLinks.find(aCtx.Identity());
    return it == f_ParrotLinks.end() ? nullptr : it->second;
}

}  // namespace gax
