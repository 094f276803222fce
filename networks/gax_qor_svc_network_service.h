// The service with its networks: the client's road from the accepted socket
// to its network. Accepted client connections become TCP sessions; a session
// whose connect string chose a network is handed to that network, which
// answers with the real handshake answer, holds, attaches and relays it, and
// frees it after its disconnect.
//
// Threads: constructed and LoadNetworks called on the service thread before
// the heartbeat is enabled; the hooks run on the heartbeat thread; the
// TQORSVCClientService side is read by sessions on their workers and only
// reads the networks list, which does not change while the service runs.
// REQUIRES: the service has ended (Stop returned) before the object is freed.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/gax_mlang.h"
#include "networks/gax_qor_svc_network.h"
#include "networks/gax_qor_svc_network_wiring.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {

class TQORSVCContextSNPS;

// The context of a record, by the record's handle and key, from the contexts
// the service handed to networks: contexts that have left are dropped from it
// when their disconnect is handed over.
using TQORNetworkMembers = std::unordered_map<const void*, TQORSVCContext*>;

// The heartbeat's link to one network that hands each record over with the
// context it names. Heartbeat thread only.
class TQORNetworkMemberLink final : public TQORSVCNetwork {
  public:
    TQORNetworkMemberLink(TQORServNetwork& aNet, TQORNetworkMembers& aMembers)
        : e_Net(aNet), e_Members(&aMembers) {}
    // Without members: every record reaches the network as a record about no
    // client.
    explicit TQORNetworkMemberLink(TQORServNetwork& aNet) : e_Net(aNet) {}
    TQORServNetwork& Network() const { return e_Net; }

    std::u16string NetName() const override { return e_Net.NetName(); }
    std::u16string NetCharsetName() const override {
        return e_Net.NetOptions().no_NetCharsetNameUCS2;
    }
    uint32_t PingBase() const override GAX_REQUIRES(kHeartbeat) { return e_Net.PingBase(); }
    void SetPingBase(uint32_t aTick) override GAX_REQUIRES(kHeartbeat) { e_Net.SetPingBase(aTick); }
    bool PingWanted() const override GAX_REQUIRES(kHeartbeat) { return e_Net.PingWanted(); }
    bool HasCommands() const override GAX_REQUIRES(kHeartbeat) { return e_Net.HasCommands(); }
    bool PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) override GAX_REQUIRES(kHeartbeat);
    bool NetHeartBeat(bool aPing, uint32_t aTick) override GAX_REQUIRES(kHeartbeat) { return e_Net.NetHeartBeat(aPing, aTick); }
    bool SpeechPauseOn() const override GAX_REQUIRES(kHeartbeat) { return e_Net.SpeechPauseOn(); }
    uint32_t SpeechPauseStartTick() const override GAX_REQUIRES(kHeartbeat) { return e_Net.SpeechPauseStartTick(); }
    uint32_t SpeechPauseTicks() const override { return e_Net.SpeechPauseTicks(); }
    void EndSpeechPause() override GAX_REQUIRES(kHeartbeat) { e_Net.EndSpeechPause(); }
    bool ParrotBusy() const override GAX_REQUIRES(kHeartbeat) { return e_Net.ParrotBusy(); }
    void ParrotHeartBeat(uint32_t aTick) override GAX_REQUIRES(kHeartbeat) { e_Net.ParrotHeartBeat(aTick); }
    void AppendSnapshot(TQORSVCListKind aKind, TQORSVCWriteArray& aLines) const override GAX_REQUIRES(kHeartbeat) {
        e_Net.AppendSnapshot(aKind, aLines);
    }
    // ---- command channel ----
    int32_t AppendChannelList(std::string& aOut) const override GAX_REQUIRES(kHeartbeat) {
        return e_Net.AppendChannelList(aOut);
    }
    void AppendMemoryReport(std::vector<std::u16string>& aLines) const override
        GAX_REQUIRES(kHeartbeat) {
        e_Net.AppendMemoryReport(aLines);
    }

  private:
    TQORServNetwork& e_Net;
    TQORNetworkMembers* e_Members = nullptr;
};

class TQORNetworkedService : public TQORService,
                             public TQORSVCClientService,
                             public TQORSVCNetManagers {
  public:
    explicit TQORNetworkedService(const TQORServiceConfig& aConfig);
    ~TQORNetworkedService() override;

    // Reads aFileName, or makes the built-in test set when it is empty or
    // gives no network, and hands every network to the heartbeat.
    void LoadNetworks(const TQORServiceNetOptions& aServ, std::u16string_view aFileName = {});
    const TQORNetworksList& Networks() const { return *f_List; }

    // ---- TQORSVCClientService (any thread) ----
    bool HasDefaultCountry() const override { return !f_DefaultCountryU.empty(); }
    std::string_view DefaultCountryA() const override { return f_DefaultCountryA; }
    std::string_view DefaultCountryUTF8() const override { return f_DefaultCountryUTF8; }
    std::u16string_view DefaultCountryU() const override { return f_DefaultCountryU; }
    int32_t NetworkCount() const override { return f_List->Count(); }
    TQORSVCClientNetwork* NetworkAt(int32_t aIndex) const override;
    // The configured default network as LoadNetworks found it; null when none
    // is configured or none has that name.
    TQORSVCClientNetwork* DefaultNetwork() const override { return f_DefaultNet; }
    uint32_t ServerUptimeSec() const override { return CmdServerUptime(); }
    std::string_view ServOwnerId() const override { return f_ServOwnerId; }
    // Heartbeat thread (the owner's stored callsign is the heartbeat's).
    bool ServOwnerInfoDiffers(const TQORSVCContext& aCtx) const override
        GAX_REQUIRES(kHeartbeat) {
        return tmServOwnerInfoDiffers(aCtx);
    }
    bool ServiceEnabled() const override { return true; }
    // ---- managers (gax_qor_svc_network_approval.cpp) ----
    bool ManagerEnabled(int32_t aIndex) const override { return SysManActive(aIndex); }
    void ManagerUnregisterClient(int32_t aIndex, std::string_view aManagerId,
                                 std::string_view aClientId,
                                 const TQORSVCClientNetwork* aNetwork) override
        GAX_REQUIRES(kHeartbeat);
    // TQORSVCNetManagers (heartbeat thread).
    bool NetManagerActive(int32_t aIndex) const override GAX_REQUIRES(kHeartbeat) { return SysManActive(aIndex); }
    void NetManagerRegister(int32_t aIndex, const TQORSVCContext& aCtx,
                            const TQORSVCClientNetwork& aNetwork, int32_t aFlags) override GAX_REQUIRES(kHeartbeat);
    void NetManagerUnregister(int32_t aIndex, std::string_view aManagerId,
                              std::string_view aClientId,
                              const TQORSVCClientNetwork& aNetwork) override GAX_REQUIRES(kHeartbeat);
    void NetManagerClientCount(int32_t aIndex, const TQORSVCClientNetwork& aNetwork,
                               int32_t aCount) override GAX_REQUIRES(kHeartbeat);
    void NetManagerConfirmEmail(std::string aTransportBlock, int32_t aMask) override GAX_REQUIRES(kHeartbeat);
    // ---- end of managers ----

  protected:
    std::unique_ptr<TQORSVCWrkCtx> tmNewClientContext(TQORAdmitRequest& aReq) override
        GAX_REQUIRES(kHeartbeat);
    std::unique_ptr<TQORSVCWrkCtx> lsNewClientContext(TSocket aSocket, const std::string& aAddrBin,
                                                      int32_t aPort) override;
    TQORSVCNetwork* tmHandshakeNetwork(TQORSVCWrkCtx& aCtx) override GAX_REQUIRES(kHeartbeat);
    // The network frees the context once its disconnect has been handled.
    void tmAdoptByNetwork(TQORSVCNetwork& aNet, std::unique_ptr<TQORSVCWrkCtx> aCtx) override
        GAX_REQUIRES(kHeartbeat);

    // ---- managers: the networks loaded here are the ones the managers serve ----
    std::vector<TQORSVCManagerNet> trManagerNets() const override;
    void trApplyManagersMask(uint32_t aActiveMask) override;
    // ---- access lists (networks/gax_qor_svc_network_access_net.cpp) ----
    const TQORNetworksList* trListsNetworks() const override { return f_List.get(); }
    void trTakeStartList(TQORSVCListLoad& aLoad) override;

    // ---- the Parrot (gax_qor_svc_network_parrot.cpp) ----
    // The network of a Parrot's record (the Parrots are never admitted).
    TQORSVCNetwork* tmNetworkOfPseudoClient(TQORSVCHandle aCtx) override GAX_REQUIRES(kHeartbeat);

    // ---- moves and internal flags (gax_qor_svc_network_move.cpp) ----
    TQORSVCNetwork* tmMoveNetwork(TQORSVCHandle aNet) override GAX_REQUIRES(kHeartbeat);
    bool tmMoveIsOnline(TQORSVCNetwork& aNet, TQORSVCWrkCtx& aCtx, TQORGlobalKey aKey) override
        GAX_REQUIRES(kHeartbeat);
    int32_t tmMoveCanDetachById(TQORSVCNetwork& aNet, std::string_view aClientId,
                                TQORSVCWrkCtx*& aCtx) override GAX_REQUIRES(kHeartbeat);
    int32_t tmMoveCanDetachByCtx(TQORSVCNetwork& aNet, TQORSVCWrkCtx& aCtx) override
        GAX_REQUIRES(kHeartbeat);
    bool tmMoveCanAttach(TQORSVCNetwork& aNet, TQORSVCWrkCtx& aCtx) override
        GAX_REQUIRES(kHeartbeat);
    TQORSVCNetwork* tmMoveDetachAttach(TQORSVCNetwork& aFrom, TQORSVCNetwork& aTo,
                                       TQORSVCWrkCtx& aCtx, TQORSVCClientHandshakeType aType,
                                       int32_t aMoveTime, bool& aRefused) override
        GAX_REQUIRES(kHeartbeat);
    void tmApplyServIntFlags(TQORSVCNetQueueRecord& aRec) override GAX_REQUIRES(kHeartbeat);

  private:
    TQORServNetwork* MoveNet(TQORSVCNetwork& aLink) const;
    // A client session on aSocket, for the listener and for the heartbeat
    // (when the listener's build failed). It takes the socket only once
    // nothing can raise: one that raises leaves it the caller's. Touches
    // nothing of any thread's.
    std::unique_ptr<TQORSVCContextSNPS> BuildClientSession(TSocket aSocket,
                                                           const std::string& aAddrBin,
                                                           int32_t aPort);
    // The server-wide internal flags in force; the networks read them at
    // admission (heartbeat thread).
    std::unique_ptr<TQORSVCIntFlagsList> f_ServIntFlags;
    // ---- end of moves ----

  private:
    // The client id of the configured owner's e-mail; empty without one.
    std::string f_ServOwnerId;
    // The configured default country in its three forms (the 8-bit one in the
    // server's character set); empty without one. Fixed at construction.
    std::u16string f_DefaultCountryU;
    std::string f_DefaultCountryA;
    std::string f_DefaultCountryUTF8;
    // Set by LoadNetworks, before any client can connect; only read afterwards.
    TQORServNetwork* f_DefaultNet = nullptr;
    std::unique_ptr<TCharsetsCodeList> f_Codes;
    const TQORNetworksList* f_ListRef = nullptr;
    std::unique_ptr<TQORNetworksList> f_List;
    // The heartbeat's link of each network, in file order (the service owns them).
    std::vector<TQORNetworkMemberLink*> f_Links;
    TQORNetworkMembers f_Members;

    // ---- the Parrot (gax_qor_svc_network_parrot.cpp) ----
    // Makes a network's Parrot a member the links resolve (LoadNetworks).
    void RegisterParrot(TQORServNetwork& aNet, TQORNetworkMemberLink* aLink);
    // The Parrots by handle, with their network's link; filled before the
    // heartbeat starts and only read afterwards.
    std::unordered_map<const void*, TQORNetworkMemberLink*> f_ParrotLinks;
};

}  // namespace gax
