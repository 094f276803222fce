// TQORServNetwork: one network (room). It takes a client through its
// admission holds (ATTACH, APPROVED, QUARANTINE, NEWBIE) into the visible
// list, pings its members every 500 ms, and frees a departed client only
// after both its disconnect and the list difference have handled it. Every
// change arrives as a command record in the network's command array, which
// NetHeartBeat drains in the pass that filled it.
//
// Threads: the heartbeat thread owns the network, its holds, its command
// array and the network-owned fields of its contexts; nothing here locks.
// The name, index and options (the TQORNetworkData part) are fixed once the
// networks list is read and may be read by any thread. Workers only ever
// OR the leaving bit into a context's CtxFlags; every flag write here is an
// atomic read-modify-write, so that bit is never lost.
//
// Lifetime: a context handed over with snc_HandshakeClient is borrowed until
// its snc_ClientDisconnected arrives; from that record on the network owns it
// (allocated with new, freed nowhere else) and frees it once, at the end of
// the NetHeartBeat that moves it to DISPOSE. A visible context reaches
// DISPOSE only when both its disconnect and the list difference have seen it
// go (EXTRA DISPOSE holds it in between). Destroying the network frees the
// contexts it owns (DISPOSE, EXTRA DISPOSE after a disconnect) and nothing
// else.
//
// REQUIRES: the host, the service facts and the networks list outlive the
// network; NetHeartBeat, the NetQueue operations and every handler run on
// the heartbeat thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "networks/gax_qor_svc_network_access.h"
#include "networks/gax_qor_svc_network_lists.h"
#include "networks/gax_qor_svc_network_tx.h"
#include "server/gax_qor_svc_clientfacts.h"
#include "server/gax_qor_svc_context.h"
#include "server/gax_qor_svc_intflags.h"
#include "server/gax_qor_svc_netif.h"
#include "server/gax_qor_svc_networks_list.h"
#include "server/gax_qor_svc_parrot.h"

#include "server/gax_qor_svc_sysmanif.h"

namespace gax {

struct TQORMuteBlockAuthor;

// The command array never grows past this; a push beyond it is refused.
inline constexpr size_t kNetCmdsCapacity = 132;

// Result bits of f_NetResults.
inline constexpr uint32_t kNetResMembership = 0x1;
inline constexpr uint32_t kNetResStatus = 0x2;
inline constexpr uint32_t kNetResItem = 0x4;
inline constexpr uint32_t kNetResFlushNow = 0x40000;

// Network flag word: every bit but 0x800, which is set while somebody holds the floor.
inline constexpr uint32_t kNetFlagsInitial = 0xFFFFF7FF;
inline constexpr uint32_t kNetFlagFloorTaken = 0x800;

// The handshake answer as the client sees it (positive, or the refusal of
// aAnswer); the session's answer builder is plugged in here.
using TQORNetHandshakeAnswer =
    std::function<std::string(const TQORSVCContext& aCtx, TClientErrorType aAnswer)>;

// The payload of snc_ApplyNetIntFlags (slot 0): the ids of the clients whose
// internal flags a reread changed on this network.
struct TQORSVCIntFlagsChangedIds : TQORSVCListPayload {
    std::vector<std::string> Ids;
};

// One record of the command array, with the context the dispatcher resolved
// from the record's handle and key (null for records about no client).
struct TQORNetCommand {
    std::unique_ptr<TQORSVCNetQueueRecord> Rec;
    TQORSVCContext* Ctx = nullptr;
};

// A hold: a set of contexts with the error of a second insertion.
class TQORNetHold {
  public:
    explicit TQORNetHold(const char* aName) : f_Name(aName) {}
    // Raises "Already in <name> hold" for a context already in it.
    void Add(TQORSVCContext* aCtx);
    bool Remove(TQORSVCContext* aCtx) { return f_Set.erase(aCtx) != 0; }
    bool Contains(TQORSVCContext* aCtx) const { return f_Set.count(aCtx) != 0; }
    size_t Count() const { return f_Set.size(); }
    bool Empty() const { return f_Set.empty(); }
    // The members, last first (the walks take them out as they go).
    std::vector<TQORSVCContext*> LastFirst() const { return {f_Set.rbegin(), f_Set.rend()}; }
    void Clear() { f_Set.clear(); }
    const char* Name() const { return f_Name; }

  private:
    const char* f_Name;
    std::set<TQORSVCContext*> f_Set;
};

class TQORServNetwork : public TQORNetworkData,
                        public TQORSVCNetwork,
                        public TQORSVCClientNetwork {
  public:
    // aHost: log and list changes; aFacts: the service as sessions see it
    // (server owner, managers); aList: the networks list whose 0x05 frames
    // newcomers get (it owns this network).
    TQORServNetwork(const TQORServNetworkRec& aRec, const TQORServiceNetOptions& aServ,
                    const TCharsetsCodeList* aCodeList, TQORSVCNetHost& aHost,
                    TQORSVCClientService& aFacts, const TQORNetworksList& aList);
    ~TQORServNetwork() override;

    // The factory the networks list uses to make full network objects.
    static TQORNetworkFactory Factory(TQORSVCNetHost& aHost, TQORSVCClientService& aFacts,
                                      const TQORNetworksList*& aList);

    // ---- TQORSVCNetwork (heartbeat thread) ----
    std::u16string NetName() const override { return NetworkNameUCS2(); }
    uint32_t PingBase() const override { return f_NetPingTickScale; }
    void SetPingBase(uint32_t aTick) override { f_NetPingTickScale = aTick; }
    bool PingWanted() const override;
    bool HasCommands() const override { return !f_NetCmds.empty(); }
    // A record about no client (fast mode, disconnect-all, list rebuild).
    bool PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) override;
    // Drains the command array, then does the result work. Returns true when
    // it found records. A handler error does not stop the others: the first
    // one is raised after every record taken has been handled and disposed of.
    bool NetHeartBeat(bool aPing, uint32_t aTick) override;
    bool SpeechPauseOn() const override { return f_Relay->SpeechPause(); }
    uint32_t SpeechPauseStartTick() const override { return f_Relay->SpeechPauseStartTick(); }
    uint32_t SpeechPauseTicks() const override { return NetOptions().no_SpeechPauseTicks; }
    void EndSpeechPause() override { f_Relay->EndSpeechPause(); }
    void AppendSnapshot(TQORSVCListKind aKind, TQORSVCWriteArray& aLines) const override;

    // A record naming a client; aCtx is the context the dispatcher resolved.
    // False when the array is full (the record stays the caller's).
    bool NetQueuePushCtx(std::unique_ptr<TQORSVCNetQueueRecord>& aRec, TQORSVCContext* aCtx);
    void NetQueue_ServerStopDisconnectAll() { PushSimple(TQORServNetworkCommand::snc_NetServerStopDisconnectAll); }
    void NetQueue_OwnerDisconnectAll() { PushSimple(TQORServNetworkCommand::snc_NetOwnerDisconnectAll); }
    void NetQueue_FastOn() { PushSimple(TQORServNetworkCommand::snc_FastOn); }
    void NetQueue_FastOff() { PushSimple(TQORServNetworkCommand::snc_FastOff); }
    size_t NetCmdsCount() const { return f_NetCmds.size(); }

    // ---- TQORSVCClientNetwork (heartbeat thread) ----
    std::string_view NetNameA() const override { return NetworkNameANSI(); }
    std::string_view NetNameUTF8() const override { return NetworkNameUTF8(); }
    std::u16string_view NetNameU() const override { return NetworkNameUCS2(); }
    const TAnsiUnicodeConverter* NetConverter() const override { return Converter(); }
    bool IsNetOwnerByHash(std::string_view aClientId) const override;
    // A network owner, or the server owner.
    bool IsNetOrServerOwnerByHash(std::string_view aClientId) const;
    // The access lists' look-ups (gax_qor_svc_network_access_net.cpp).
    bool NetFindAdmin(const TQORSVCContext& aCtx, bool& aDiffers) const override;
    bool IsBlockedOnNetwork(const TQORSVCContext& aCtx, bool& aDiffers) const override;
    TQORSVCClientRights GetRights(const TQORSVCContext& aCtx) const override;
    bool IsMutedOnNetwork(const TQORSVCContext& aCtx, bool& aDiffers) const override;
    bool OptShortFrames() const override { return NetOptions().no_ShortFrames; }
    bool OptTempMuteBlock() const override { return NetOptions().no_TempMuteBlock; }
    bool OptAdminMoveClient() const override { return NetOptions().no_AdminMoveClient; }
    bool OptParrotMuteEnable() const override { return NetOptions().no_Parrot.ParrotMuteEnable; }
    bool AllowByPrivilege(TQORClientPrivilege aPriv) const override;
    TQORSystemManagerMode EffManagerMode() const override { return f_EffManagerMode; }
    uint32_t EffManagerMask() const override { return f_EffManagersMask; }

    // Stores the effective manager mask (ANDed with the network's own) and
    // derives the mode in force; no active manager means standalone.
    void SetEffManagersMask(uint32_t aMask);
    void SetHandshakeAnswer(TQORNetHandshakeAnswer aBuilder) { f_Answer = std::move(aBuilder); }
    // The network's internal-flags entries in force (heartbeat thread).
    std::unique_ptr<TQORSVCIntFlagsList>& NetIntFlags() { return f_NetIntFlags; }
    // The server-wide entries in force; not owned, may be null.
    void SetServIntFlags(const TQORSVCIntFlagsList* aList) { e_ServIntFlags = aList; }

    // ---- state, for the service and tests ----
    bool IsVisible(const TQORSVCContext* aCtx) const;
    size_t VisibleCount() const { return f_VisualOper.size(); }
    // The visible clients in the order of the last list sent.
    const std::vector<TQORSVCContext*>& VisualBias() const { return f_VisualBias; }
    const TQORNetHold& Hold(const char* aName) const;
    TQORSVCContext* Speaking() const { return e_SpeakingContext; }
    // The floor: held by one visible, admitted context at a time; a context
    // still in a hold is refused (false).
    bool AcquareTX(TQORSVCContext* aCtx);
    // Releases the floor when aCtx holds it and tells the others (0x00) when
    // aNotify; aTellLeaver includes aCtx among them.
    void ReleaseTX_IfEqual(TQORSVCContext* aCtx, bool aNotify, bool aTellLeaver);
    // Sends aData to every visible client whose flags, ANDed with the
    // network's flags and aMask, equal aValue; aExcept is skipped.
    void SendData(const void* aData, int32_t aLen, uint32_t aMask, uint32_t aValue,
                  const TQORSVCContext* aExcept = nullptr);
    bool NetFast() const { return f_NetFast; }
    uint32_t HeartBeatTick() const { return f_HeartBeatTick; }

    // ---- the floor, the relay and the client lists (gax_qor_svc_network_relay.cpp) ----
    // What the service knows: the aggregate pseudo-client's id, whether a
    // refused "TX0" is answered, the client activity time-out.
    void SetRelayServiceFacts(std::string aAggregateId, bool aExplicitTxReject,
                              uint32_t aActivityTimeoutTicks, int32_t aActivityTimeoutSeconds);
    TQORNetRelay& Relay() { return *f_Relay; }
    TQORNetClientLists& Lists() { return *f_Lists; }

    // ---- command channel (gax_qor_svc_network_chan.cpp) ----
    // This network's part of a channel client listing: its header line, the
    // member count, each member's UTF-8 list item and then one info line per
    // member, in list order. Returns the member count.
    int32_t AppendChannelList(std::string& aOut) const override;
    // One memory-report line per buffer, list and counter of the network.
    void AppendMemoryReport(std::vector<std::u16string>& aLines) const override;
    // The client log level set through the channel (the options' until then).
    int32_t NetLogLevel() const {
        return f_ChanLogLevel >= 0 ? f_ChanLogLevel : NetOptions().no_LogClientLevel;
    }

    // ---- manager approval (gax_qor_svc_network_approval.cpp) ----
    // The managers this network registers its clients with; null: none. Set
    // before the heartbeat runs the network.
    void SetManagers(TQORSVCNetManagers* aManagers) { e_Managers = aManagers; }
    // The disconnect cause of a refusal by the managers.
    static TQORSVCDisconnectCause ManagerRefusalCause(TClientErrorType aError);
    // The mode in force may differ from the configured one after a request.
    TQORSystemManagerMode NetManagerMode() const { return NetOptions().no_NetManagerMode; }
    // ---- end of manager approval ----

    // ---- moves, session time and bandwidth (gax_qor_svc_network_move.cpp) ----
    // Answer codes of the move checks, as the command channel words them.
    static constexpr int32_t kMoveOK = 0;
    static constexpr int32_t kMoveNotSupported = 5;
    static constexpr int32_t kMoveNoClient = 6;
    // aCtx stands in the visible list under its id and key and is not leaving.
    bool MoveClient_IsOnline(const TQORSVCContext* aCtx, TQORGlobalKey aKey) const;
    // kMoveOK with the client's context when the client with that id may
    // leave; kMoveNoClient when unknown, not visible or leaving;
    // kMoveNotSupported for the Parrot.
    int32_t MoveClient_CanDetachFromSourceByID(std::string_view aClientId,
                                               TQORSVCContext*& aCtx) const;
    int32_t MoveClient_CanDetachFromSourceByCtx(const TQORSVCContext* aCtx) const;
    // False when full (arrivals in flight counted), when aCtx is still in
    // this network's MOVED hold, or its id (or, with UniqCallsign, its
    // callsign) is already here, or it is blocked or kept out by the access
    // modes here. A question only: aCtx is not changed.
    bool MoveClient_CanAttachIntoTarget(TQORSVCContext* aCtx) const;
    // Takes a visible client out (floor, managers, indexes, list cache) and
    // runs this network's heartbeat at once with a list rebuild, so that the
    // others see it gone before the target admits it. aTick: the pass's tick.
    void MoveClient_DetachFromSource(TQORSVCContext* aCtx, uint32_t aTick);
    // Admits a moved client with its initial flags. With aMayRefuse a refusal
    // at admission leaves no trace here and nothing is sent to the client
    // (false; the caller takes it back); without it a refusal ends the
    // client as at a connect (false as well).
    bool MoveClient_AttachIntoTarget(TQORSVCContext* aCtx, TQORSVCClientHandshakeType aType,
                                     int32_t aMoveTime, bool aMayRefuse);
    // At the ping: visible clients whose session time ran out, and those
    // whose output stayed over the limit too long, are told to end.
    void tmSessionTimeCheck();
    void tmBandwidthCheck();

  private:
    void tmSendNetChangeInfo(TQORSVCContext* aCtx);
    // The departure line: the cause, the connection and the client, when the
    // network's client log level covers the cause (session time, bandwidth).
    void tmLogDisconnect(TQORSVCContext* aCtx);
    // The arrival line: "MOVED NetFrom=`...`" after a move, else "LOGIN".
    void tmLogArrival(TQORSVCContext* aCtx);
    // Set while a move admits a client that may be refused: a refusal is
    // then only noted here.
    bool* f_MoveRefused = nullptr;
    // ---- end of moves ----

  protected:
    void SetNetOriginalIndex(int32_t aIndex, int32_t aWidth) override;

  private:
    void PushSimple(TQORServNetworkCommand aCmd);
    void Dispatch(TQORNetCommand& aCmd);
    void ResultWork(bool aPing);

    // Admission and leaving.
    void tmHandshakeClient(TQORSVCContext* aCtx, TQORSVCClientHandshakeType aType);
    void tmRejectClient(TQORSVCContext* aCtx, TClientErrorType aAnswer,
                        TQORSVCDisconnectCause aCause);
    void tmPutInDeleteHold(TQORSVCContext* aCtx, TQORSVCDisconnectCause aCause);
    void tmSendHandshakeAnswerOK(TQORSVCContext* aCtx);
    void tmAttachNetwork(TQORSVCContext* aCtx);
    void GoNewbie(TQORSVCContext* aCtx);
    void tmClientDisconnected(TQORSVCContext* aCtx);
    bool tmDisconnectByHash(std::string_view aClientId, TQORSVCDisconnectCause aCause);
    void tmApplyNetIntFlags(TQORSVCNetQueueRecord& aRec);
    void tmDisconnectAll(TQORSVCDisconnectCause aCause);
    void tmQuarantineStep();
    void tmNewbieStep();
    void tmNewbieInitialData();
    void DepartureRendezvous(TQORSVCContext* aCtx);
    void CleaningFromDupl(TQORSVCContext* aCtx);
    void DisposeAll();
    void CountContext(TQORSVCContext* aCtx, int32_t aDelta);
    void ApplyIntFlagsAtAdmission(TQORSVCContext* aCtx);
    int32_t ArrivalCount() const;
    void VisualInsert(TQORSVCContext* aCtx);
    bool VisualRemove(TQORSVCContext* aCtx);
    void Log(std::u16string aText) { e_Host.NetHostLog(std::move(aText)); }

    TQORSVCNetHost& e_Host;
    TQORSVCClientService& e_Facts;
    const TQORNetworksList& e_NetworksList;
    TQORNetHandshakeAnswer f_Answer;

    std::vector<TQORNetCommand> f_NetCmds;
    uint32_t f_NetResults = 0;
    uint32_t f_NetFlags = kNetFlagsInitial;
    bool f_NetFast = false;
    uint32_t f_HeartBeatTick = 0;
    uint32_t f_NetPingTickScale = 0;
    TQORSVCContext* e_SpeakingContext = nullptr;

    // Visible clients sorted by visual sort key (then by address, so equal
    // keys never collide), and the order of the last list sent.
    struct VisualOrder {
        bool operator()(const std::pair<std::string, TQORSVCContext*>& aA,
                        const std::pair<std::string, TQORSVCContext*>& aB) const {
            const int32_t c = CompareKeysText(aA.first, aB.first);
            return c != 0 ? c < 0 : std::less<TQORSVCContext*>()(aA.second, aB.second);
        }
    };
    std::set<std::pair<std::string, TQORSVCContext*>, VisualOrder> f_VisualOper;
    std::map<TQORSVCContext*, std::string> f_VisualKeyOf;
    std::vector<TQORSVCContext*> f_VisualBias;
    // Admitted contexts by client id and (with UniqCallsign) by callsign key.
    std::map<std::string, TQORSVCContext*> f_EMailHash;
    std::map<std::string, TQORSVCContext*> f_Callsigns;
    std::set<std::string> f_Owners;

    TQORNetHold f_AttachHold{"ATTACH"};
    TQORNetHold f_ApprovedHold{"APPROVED"};
    TQORNetHold f_QuarantineHold{"QUARANTINE"};
    TQORNetHold f_NewbieHold{"NEWBIE"};
    TQORNetHold f_DelHold{"DELETE"};
    TQORNetHold f_MovedHold{"MOVED"};
    TQORNetHold f_ExtraDispHold{"EXTRA DISPOSE"};
    TQORNetHold f_DispHold{"dispose"};
    // Contexts whose disconnect has arrived: the network owns them.
    std::set<TQORSVCContext*> f_Owned;

    // List counters per admitted context.
    int32_t f_Cntr_List_None = 0, f_Cntr_List_Count = 0, f_Cntr_List_DiffUTF8 = 0;
    int32_t f_Cntr_List_QOR_Full = 0, f_Cntr_List_QOR_Aggr = 0, f_Cntr_MessagesNo = 0;
    int32_t f_Cntr_SpeakerInfoUTF8 = 0, f_Cntr_Cache = 0;

    // The list buffers the members' list pointers name (built by the lists' module).
    FastStringA f_ClientsV0, f_ClientsV1FU, f_ClientsV1DU;

    uint32_t f_EffManagersMask = 0;
    TQORSystemManagerMode f_EffManagerMode = smm_Standalone;
    // ---- manager approval (gax_qor_svc_network_approval.cpp) ----
    bool ApprovalDispatch(TQORNetCommand& aCmd);
    void tmRegisterWithManagers(TQORSVCContext* aCtx);
    void tmRegisterWithTheManager(int32_t aIndex, TQORSVCContext* aCtx);
    void tmManagerAnswer(TQORNetCommand& aCmd);
    void tmRecordManagerAnswer(TQORSVCContext* aCtx, int32_t aIndex, uint32_t aFlags,
                               const std::string& aManagerId, TClientErrorType aAnswer);
    void tmDecideAttach(TQORSVCContext* aCtx);
    void tmApproveFromAttach(TQORSVCContext* aCtx);
    void tmManagerOnLine(int32_t aIndex);
    void tmManagerOffLine(int32_t aIndex);
    void tmManagerModeChanged(int32_t aMode);
    void tmReportCountToManagers();
    // The visible members the managers are told of: all but the Parrot.
    int32_t ManagersVisibleCount() const;
    TQORSVCNetManagers* e_Managers = nullptr;
    int32_t f_ManagersReportedCount = -1;
    // ---- end of manager approval ----

    std::unique_ptr<TQORSVCIntFlagsList> f_NetIntFlags;
    const TQORSVCIntFlagsList* e_ServIntFlags = nullptr;
    // "Net #07 \"Name\": " and "Net #07: " (the index zero-padded to the
    // width of the highest index).
    std::u16string f_NetPrefixName;
    std::u16string f_NetPrefix;

    // ---- the floor, the relay and the client lists (gax_qor_svc_network_relay.cpp) ----
    struct ListsOwner;
    void RelayInit();
    // Handles the floor, sound and message records; false for any other.
    bool RelayDispatch(TQORNetCommand& aCmd);
    // The end of a pause and the list step (the rate watch runs with the
    // ping frames, after the lists).
    void RelayResultWork();
    void RelaySync();
    void RelayDropFromSentOrder(TQORSVCContext* aCtx);
    std::unique_ptr<TQORNetListsOwner> f_ListsOwner;
    std::unique_ptr<TQORNetFanout> f_Fanout;
    std::unique_ptr<TQORNetClientLists> f_Lists;
    std::unique_ptr<TQORNetRelay> f_Relay;
    int32_t f_ActivityTimeoutSeconds = 8;

    // ---- command channel (gax_qor_svc_network_chan.cpp) ----
    // Handles the channel's records for one network; false for any other.
    bool ChanDispatch(TQORNetCommand& aCmd);
    void tmChannelDisconnectClient(const TQORSVCNetQueueRecord& aRec);
    // The options are shared with other threads and never change: the level
    // an operator sets lives here (heartbeat thread); -1 until set.
    int32_t f_ChanLogLevel = -1;

    // ---- access lists (gax_qor_svc_network_access_net.cpp) ----
  public:
    // The network's admins, mutes, blocks, rights, modes and notice.
    TQORNetAccess& Access() { return *f_Access; }
    const TQORNetAccess& Access() const { return *f_Access; }
    // RereadCompareAttr: a reread takes changed client texts over.
    void SetRereadCompareAttr(bool aOn) { f_RereadCompareAttr = aOn; }
    // The current Unix time the expiry of timed entries compares with.
    void SetEpochSource(std::function<int64_t()> aNow) { f_EpochNow = std::move(aNow); }
    // Takes the server owner's callsign from a client whose admission found it changed.
    void SetOwnerInfoSink(std::function<void(const TQORSVCContext&)> aSink) {
        f_OwnerInfoSink = std::move(aSink);
    }
    // Applies the access modes and the rights to every member and hold again.
    void tmProcessAccessModes();

  private:
    struct AccessHost;
    void AccessInit();
    // Handles the reread records (list updates); false for any other.
    bool AccessDispatch(TQORNetCommand& aCmd);
    // Expiry at the ping, then the list sends.
    void AccessResultWork(bool aPing);
    void AccessExpire();
    void AccessSends();
    // What the admission found different from the lists is stored.
    void AccessStoreDiffers(TQORSVCContext* aCtx);
    // The access rules failed for one context (called inside the catch):
    // logged, and a context in a hold is taken out and ended with the
    // out-of-memory or internal-error cause; null aCtx: logged only.
    void AccessModesFailed(TQORSVCContext* aCtx, TQORNetHold* aHold, std::u16string_view aPlace,
                           bool aAlwaysPrefix);
    std::unique_ptr<TQORNetAccessHost> f_AccessHost;
    std::unique_ptr<TQORNetAccess> f_Access;
    bool f_RereadCompareAttr = false;
    std::function<int64_t()> f_EpochNow;
    std::function<void(const TQORSVCContext&)> f_OwnerInfoSink;

    // ---- admin commands (gax_qor_svc_network_cmds.cpp) ----
  public:
    // What the admin commands need of the service: the server owner as the
    // author of the operator's entries, the Parrot's id, and the answer path
    // to a command-channel context (posted, so the answer goes through the
    // service's alive test).
    struct TQORNetOwnerName {
        std::string ANSI, UTF8;
    };
    struct TQORNetCmdFacts {
        std::function<void(TQORSVCHandle aCmdCtx, TQORGlobalKey aKey, std::string aText)>
            ChannelAnswer;
        // The server owner's callsign as the service holds it when asked: the
        // owner file gives it at start and the owner's own logins change it
        // while the server runs, so it is read per command, never kept here.
        // Called on the heartbeat thread, which owns that state; empty when unset.
        std::function<TQORNetOwnerName()> ServOwnerName;
        std::string ParrotId;
    };
    void SetCmdFacts(TQORNetCmdFacts aFacts) { f_CmdFacts = std::move(aFacts); }

  private:
    // Handles the admin, list and channel records; false for any other.
    bool CmdDispatch(TQORNetCommand& aCmd);
    int64_t CmdNow() const;
    TQORSVCContext* CmdConnected(std::string_view aClientId) const;
    void CmdChannelAnswer(const TQORSVCNetQueueRecord& aRec, std::string aText);
    // The author of an entry: the acting member, or the server owner for the
    // operator's commands (aActor null).
    TQORMuteBlockAuthor CmdAuthor(const TQORSVCContext* aActor) const;
    // Releases aCtx's floor and tells every member that hears sound.
    void CmdReleaseFloor(TQORSVCContext* aCtx);
    void CmdMute(TQORSVCContext* aActor, std::string_view aId, int32_t aTime);
    void CmdUnmute(TQORSVCContext* aActor, std::string_view aId);
    void CmdBlock(TQORSVCContext* aActor, std::string_view aId, int32_t aTime);
    void CmdUnblock(TQORSVCContext* aActor, std::string_view aId);
    void CmdMakeAdmin(TQORSVCContext* aActor, std::string_view aId);
    void CmdDeleteAdmin(std::string_view aId);
    void CmdSetMode(bool aConnectListed, bool aOn);
    bool RightsAddEmail(std::string_view aEmailA);
    bool RightsDelEmail(std::string_view aEmailA);
    void RightsMarkClient(std::string_view aEmailA, bool aMark);
    void CmdNotice(std::string_view aTextANSI, std::string_view aTextUTF8);
    void CmdChannelModes(const TQORSVCNetQueueRecord& aRec, bool aConnectListed);
    void CmdChannelInternalFlags(const TQORSVCNetQueueRecord& aRec);
    void CmdChannelHugeSound(const TQORSVCNetQueueRecord& aRec);
    // aAdmission: the client is being admitted (not visible): no frame is sent.
    void tmApplyIntFlags(TQORSVCContext* aCtx, uint32_t aFlags, bool aAdmission = false);
    void tmRemoveIntFlags(TQORSVCContext* aCtx, uint32_t aFlags);
    TQORNetCmdFacts f_CmdFacts;

    // ---- the Parrot (gax_qor_svc_network_parrot.cpp) ----
  public:
    // The network's echo pseudo-client, or null when its options leave it
    // out. Owned here from the constructor to the destructor; visible from
    // the start, never in a hold, never disconnected.
    TQORSVCContextParrot* netParrot() const { return f_Parrot.get(); }
    bool ParrotBusy() const override { return f_Parrot && f_Parrot->Busy(); }
    void ParrotHeartBeat(uint32_t aTick) override;

  private:
    // The Parrot reads "now" while the network hands it a frame: that is the
    // network's heartbeat tick, whatever clock drives the service.
    struct ParrotClock final : TQORClock {
        explicit ParrotClock(const TQORServNetwork& aNet) : Net(aNet) {}
        uint32_t Tick() const override { return Net.f_HeartBeatTick; }
        int64_t UnixSeconds() const override { return TQORSystemClock::Instance().UnixSeconds(); }
        const TQORServNetwork& Net;
    };
    // Creates the Parrot when the options ask for it and makes it visible
    // at once (constructor, after the relay exists).
    void ParrotCreate();
    // A newcomer's greeting from the Parrot: its messenger information for
    // the clients that take it, then its direct message.
    void ParrotGreetNewcomer(TQORSVCContext* aCtx);
    // The Parrot's clock is the network's heartbeat tick; declared before
    // the Parrot, so it outlives it.
    std::unique_ptr<ParrotClock> f_ParrotClock;
    std::unique_ptr<TQORSVCContextParrot> f_Parrot;
    std::string f_ParrotInfo;  // 0x8F + the Parrot's item, rebuilt when the item changes
    int32_t f_ParrotInfoModifyCounter = -1;
};

}  // namespace gax
