#include "networks/gax_qor_svc_network_service.h"

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_handshake.h"
#include "server/gax_qor_svc_parrot.h"
#include "server/gax_qor_svc_server_snps.h"

namespace gax {

TQORNetworkedService::TQORNetworkedService(const TQORServiceConfig& aConfig)
    : TQORService(aConfig), f_Codes(CreateCharsetsCodeList()) {
    // Owners are matched by the id of the e-mail's 8-bit form, as the
    // networks' own owners are.
    if (!aConfig.ServParams.ServerOwnerEMail.empty())
        f_ServOwnerId = MakeSourceIdFromUnicodeLowBytes(aConfig.ServParams.ServerOwnerEMail);
    f_DefaultCountryU = TrimSpaceW(aConfig.cfg_DefaultCountry);
    if (!f_DefaultCountryU.empty()) {
        f_DefaultCountryUTF8 = UnicodeToUtf8Str(f_DefaultCountryU);
        f_DefaultCountryA = UnicodeToByteStr(f_DefaultCountryU);
        const std::u16string charset = TrimSpaceW(aConfig.cfg_QORServerCharsetName);
        if (!charset.empty()) {
            try {
                TAnsiUnicodeConverter conv;
                conv.SetCharsetsCodeList(f_Codes.get());
                conv.SetCharsetName(charset);
                f_DefaultCountryA = conv.UnicodeToAnsi(f_DefaultCountryU);
            } catch (const Exception&) {
                // A set the system does not know keeps the byte-widened form,
                // as the networks' names do.
            }
        }
    }
    f_List = std::make_unique<TQORNetworksList>(
        f_Codes.get(), TQORServNetwork::Factory(*this, *this, f_ListRef));
    f_ListRef = f_List.get();
}

TQORNetworkedService::~TQORNetworkedService() {
    // The networks, their links and the members die with this object, before
    // the base would end the threads that reach them.
    StopThreads();
}

void TQORNetworkedService::LoadNetworks(const TQORServiceNetOptions& aServ,
                                        std::u16string_view aFileName) {
    if (!aFileName.empty()) f_List->ReadNetworksListFromFile(aServ, aFileName);
    if (f_List->Count() == 0) {
        Fifo(u"Networks: No networks found: use simple set of networks");
        f_List->MakeTestNetwork(aServ);
    } else {
        Fifo(u"List of networks is loaded: " + std::u16string(aFileName));
    }
    const TQORServiceConfig& cfg = SvcConfig();
    f_DefaultNet = nullptr;
    if (const std::u16string def = TrimSpaceW(cfg.DefaultNetworkName); !def.empty()) {
        TQORNetworkData* n = f_List->FindNetwork(def);
        if (n == nullptr) n = f_List->FindNetworkAsciiUpper(def);
        f_DefaultNet = dynamic_cast<TQORServNetwork*>(n);
    }
    for (int32_t i = 0; i < f_List->Count(); ++i) {
        auto* net = dynamic_cast<TQORServNetwork*>(f_List->GetNetworkOriginal(i));
        if (net == nullptr) throw Exception(u"Network is not a network object");
        // ---- managers: the start gives each network its active managers ----
        net->SetRelayServiceFacts(AggregateClientId(), cfg.cfg_ServExplicitTxReject,
                                  ClientActivityTimeoutTicks(), ClientActivityTimeout());
        net->SetHandshakeAnswer([net, &cfg](const TQORSVCContext& aCtx, TClientErrorType aAnswer)
                                    GAX_REQUIRES(kHeartbeat) {
            TQORHandshakeNetwork n;
            n.HasNetwork = true;
            n.NameA = net->NetworkNameANSI();
            n.NameUTF8 = net->NetworkNameUTF8();
            n.EffManagerMode = net->EffManagerMode();
            n.NoticeA = net->Access().NoticeActualANSI();
            n.NoticeUTF8 = net->Access().NoticeActualUTF8();
            n.SpeechLimitSec = net->SpeechLimitTime();
            TQORHandshakeServer s;
            const auto* snps = dynamic_cast<const TQORSVCContextSNPS*>(&aCtx);
            if (snps != nullptr) s = snps->HandshakeServer();
            // The network's own option decides, not the server-wide one.
            const bool serverInfo = net->NetOptions().no_ServerInfo;
            FastStringA f(256);
            if (aAnswer == TClientErrorType::cet_OK)
                PrepareHandshakeAnswerOK(f, HandshakeClientOf(aCtx), n, s, serverInfo);
            else
                PrepareHandshakeAnswerError(f, HandshakeClientOf(aCtx), n, s, serverInfo, aAnswer,
                                            cfg.DisableDUPL);
            return std::string(f.Str());
        });
        // ---- access lists ----
        net->SetRereadCompareAttr(cfg.cfg_SystemRereadCompareAttr);
        net->SetEpochSource([this] { return e_Clock.UnixSeconds(); });
        net->SetOwnerInfoSink([this](const TQORSVCContext& aCtx) GAX_REQUIRES(kHeartbeat) {
            tmSetOwnerInfoFromContext(aCtx);
        });
        // ---- admin commands ----
        TQORServNetwork::TQORNetCmdFacts facts;
        facts.ParrotId = ParrotClientId();
        // Network commands run on the heartbeat, the owner of this state.
        facts.ServOwnerName = [this]() GAX_REQUIRES(kHeartbeat) {
            return TQORServNetwork::TQORNetOwnerName{tmServOwnerCallsignANSI(),
                                                     tmServOwnerCallsignUTF8()};
        };
        facts.ChannelAnswer = [this](TQORSVCHandle aCtx, TQORGlobalKey aKey, std::string aText) {
            Poster().ServQueue_ChannelAnswerText(aCtx, aKey, std::move(aText));
        };
        net->SetCmdFacts(std::move(facts));

        auto link = std::make_unique<TQORNetworkMemberLink>(*net, f_Members);
        f_Links.push_back(link.get());
        // ---- the Parrot ----
        RegisterParrot(*net, link.get());
        AddNetwork(std::move(link));
    }
    // ---- character-set converters ----
    {
        // Nothing runs yet: the role is taken only to build what the service
        // thread owns.
        TQORRoleScope role(kServiceThread);
        trAssignCharsetConverters(*f_List, aServ.sno_CharsetName);
    }
}

bool TQORNetworkMemberLink::PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) {
    if (e_Members == nullptr) return e_Net.NetQueuePushCtx(aRec, nullptr);
    TQORSVCContext* ctx = nullptr;
    auto it = e_Members->find(aRec->nqr_Context.Identity());
    // A record whose context has gone (or whose memory was reused under
    // another key) reaches the network without one, as a record about no client.
    if (it != e_Members->end() && it->second->CtxGlobalKey() == aRec->nqr_GlobalKey) {
        ctx = it->second;
        // The network frees the context after this record: it is no member
        // any more from here on.
        if (aRec->nqr_Cmd == TQORServNetworkCommand::snc_ClientDisconnected) e_Members->erase(it);
    }
    return e_Net.NetQueuePushCtx(aRec, ctx);
}

TQORSVCClientNetwork* TQORNetworkedService::NetworkAt(int32_t aIndex) const {
    return dynamic_cast<TQORServNetwork*>(f_List->GetNetworkOriginal(aIndex));
}

std::unique_ptr<TQORSVCContextSNPS> TQORNetworkedService::BuildClientSession(
    TSocket aSocket, const std::string& aAddrBin, int32_t aPort) {
    // Built without the socket, which it takes only once nothing can raise:
    // a build that raises leaves it to the caller, who then closes it once.
    auto ctx = std::make_unique<TQORSVCContextSNPS>(this, *this, INVALID_SOCKET_HANDLE, aAddrBin,
                                                    aPort);
    ctx->AttachSocket(aSocket);
    return ctx;
}

std::unique_ptr<TQORSVCWrkCtx> TQORNetworkedService::lsNewClientContext(
    TSocket aSocket, const std::string& aAddrBin, int32_t aPort) {
    return BuildClientSession(aSocket, aAddrBin, aPort);
}

std::unique_ptr<TQORSVCWrkCtx> TQORNetworkedService::tmNewClientContext(TQORAdmitRequest& aReq) {
    std::unique_ptr<TQORSVCContextSNPS> ctx;
    if (aReq.Prebuilt) {
        ctx.reset(dynamic_cast<TQORSVCContextSNPS*>(aReq.Prebuilt.get()));
        if (!ctx) throw Exception("Prebuilt client context of another class");
        (void)aReq.Prebuilt.release();
    } else {
        // The listener's build failed (short of memory): this one may too.
        ctx = BuildClientSession(aReq.Socket, aReq.AddrBin, aReq.Port);
        aReq.Socket = INVALID_SOCKET_HANDLE;
    }
    // A marked connection is refused at its network's admission unless its
    // privilege lets it through.
    const bool marked = aReq.ExceededPerAddress || aReq.ExceededTotal;
    ctx->ExceededConnectionsPerAddress = aReq.ExceededPerAddress;
    ctx->ExceededConnectionsTotal = aReq.ExceededTotal;
    ctx->tmAdmitted(marked);
    return ctx;
}

TQORSVCNetwork* TQORNetworkedService::tmHandshakeNetwork(TQORSVCWrkCtx& aCtx) {
    auto* ctx = dynamic_cast<TQORSVCContext*>(&aCtx);
    if (ctx == nullptr) return nullptr;
    auto* chosen = dynamic_cast<TQORServNetwork*>(ctx->ConnectNetwork());
    for (TQORNetworkMemberLink* l : f_Links) {
        if (&l->Network() != chosen) continue;
        f_Members[static_cast<const void*>(static_cast<TQORSVCWrkCtx*>(ctx))] = ctx;
        return l;
    }
    return nullptr;
}

void TQORNetworkedService::tmAdoptByNetwork(TQORSVCNetwork&, std::unique_ptr<TQORSVCWrkCtx> aCtx) {
    // From here the network owns the context: it frees it when it has handled
    // the disconnect, so the service keeps no second owner.
    (void)aCtx.release();
}

}  // namespace gax
