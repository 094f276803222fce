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
#include <unordered_map>
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
#include "server/gax_qor_svc_roles.h"

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
    uint32_t PingBase() const override GAX_REQUIRES(kHeartbeat) { return f_NetPingTickScale; }
    void SetPingBase(uint32_t aTick) override GAX_REQUIRES(kHeartbeat) { f_NetPingTickScale = aTick; }
    bool PingWanted() const override GAX_REQUIRES(kHeartbeat);
    bool HasCommands() const override GAX_REQUIRES(kHeartbeat) { return !f_NetCmds.empty(); }
    // A record about no client (fast mode, disconnect-all, list rebuild).
    bool PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) override GAX_REQUIRES(kHeartbeat);
    // Drains the command array, then does the result work. Returns true when
    // it found records. A handler error does not stop the others: the first
    // one is raised after every record taken has been handled and disposed of.
    bool NetHeartBeat(bool aPing, uint32_t aTick) override GAX_REQUIRES(kHeartbeat);
    bool SpeechPauseOn() const override GAX_REQUIRES(kHeartbeat) { return f_Relay->SpeechPause(); }
    uint32_t SpeechPauseStartTick() const override GAX_REQUIRES(kHeartbeat) { return f_Relay->SpeechPauseStartTick(); }
    uint32_t SpeechPauseTicks() const override { return NetOptions().no_SpeechPauseTicks; }
    void EndSpeechPause() override GAX_REQUIRES(kHeartbeat) { f_Relay->EndSpeechPause(); }
    void AppendSnapshot(TQORSVCListKind aKind, TQORSVCWriteArray& aLines) const override GAX_REQUIRES(kHeartbeat);

    // A record naming a client; aCtx is the context the dispatcher resolved.
    // False when the array is full (the record stays the caller's).
    bool NetQueuePushCtx(std::unique_ptr<TQORSVCNetQueueRecord>& aRec, TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void NetQueue_ServerStopDisconnectAll() GAX_REQUIRES(kHeartbeat) { PushSimple(TQORServNetworkCommand::snc_NetServerStopDisconnectAll); }
    void NetQueue_OwnerDisconnectAll() GAX_REQUIRES(kHeartbeat) { PushSimple(TQORServNetworkCommand::snc_NetOwnerDisconnectAll); }
    void NetQueue_FastOn() GAX_REQUIRES(kHeartbeat) { PushSimple(TQORServNetworkCommand::snc_FastOn); }
    void NetQueue_FastOff() GAX_REQUIRES(kHeartbeat) { PushSimple(TQORServNetworkCommand::snc_FastOff); }
    size_t NetCmdsCount() const GAX_REQUIRES(kHeartbeat) { return f_NetCmds.size(); }

    // ---- TQORSVCClientNetwork (heartbeat thread) ----
    std::string_view NetNameA() const override { return NetworkNameANSI(); }
    std::string_view NetNameUTF8() const override { return NetworkNameUTF8(); }
    std::u16string_view NetNameU() const override { return NetworkNameUCS2(); }
    const TAnsiUnicodeConverter* NetConverter() const override { return Converter(); }
    bool IsNetOwnerByHash(std::string_view aClientId) const override GAX_REQUIRES(kHeartbeat);
    // A network owner, or the server owner.
    bool IsNetOrServerOwnerByHash(std::string_view aClientId) const GAX_REQUIRES(kHeartbeat);
    // The access lists' look-ups (gax_qor_svc_network_access_net.cpp).
    bool NetFindAdmin(const TQORSVCContext& aCtx, bool& aDiffers) const override GAX_REQUIRES(kHeartbeat);
    bool IsBlockedOnNetwork(const TQORSVCContext& aCtx, bool& aDiffers) const override GAX_REQUIRES(kHeartbeat);
    TQORSVCClientRights GetRights(const TQORSVCContext& aCtx) const override GAX_REQUIRES(kHeartbeat);
    bool IsMutedOnNetwork(const TQORSVCContext& aCtx, bool& aDiffers) const override GAX_REQUIRES(kHeartbeat);
    bool OptShortFrames() const override { return NetOptions().no_ShortFrames; }
    bool OptTempMuteBlock() const override { return NetOptions().no_TempMuteBlock; }
    bool OptAdminMoveClient() const override { return NetOptions().no_AdminMoveClient; }
    bool OptParrotMuteEnable() const override { return NetOptions().no_Parrot.ParrotMuteEnable; }
    bool AllowByPrivilege(TQORClientPrivilege aPriv) const override GAX_REQUIRES(kHeartbeat);
    TQORSystemManagerMode EffManagerMode() const override { return f_EffManagerMode; }
    uint32_t EffManagerMask() const override { return f_EffManagersMask; }

    // Stores the effective manager mask (ANDed with the network's own) and
    // derives the mode in force; no active manager means standalone.
    void SetEffManagersMask(uint32_t aMask);
    void SetHandshakeAnswer(TQORNetHandshakeAnswer aBuilder) { f_Answer = std::move(aBuilder); }
    // The network's internal-flags entries in force (heartbeat thread).
    std::unique_ptr<TQORSVCIntFlagsList>& NetIntFlags() GAX_REQUIRES(kHeartbeat) { return f_NetIntFlags; }
    // The server-wide entries in force; not owned, may be null.
    void SetServIntFlags(const TQORSVCIntFlagsList* aList) GAX_REQUIRES(kHeartbeat) { e_ServIntFlags = aList; }

    // ---- state, for the service and tests ----
    bool IsVisible(const TQORSVCContext* aCtx) const GAX_REQUIRES(kHeartbeat);
    size_t VisibleCount() const GAX_REQUIRES(kHeartbeat) { return f_VisualOper.size(); }
    // The visible clients in the order of the last list sent.
    const std::vector<TQORSVCContext*>& VisualBias() const GAX_REQUIRES(kHeartbeat) { return f_VisualBias; }
    const TQORNetHold& Hold(const char* aName) const GAX_REQUIRES(kHeartbeat);
    TQORSVCContext* Speaking() const GAX_REQUIRES(kHeartbeat) { return e_SpeakingContext; }
    // The floor: held by one visible, admitted context at a time; a context
    // still in a hold is refused (false).
    bool AcquareTX(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // Releases the floor when aCtx holds it and tells the others (0x00) when
    // aNotify; aTellLeaver includes aCtx among them.
    void ReleaseTX_IfEqual(TQORSVCContext* aCtx, bool aNotify, bool aTellLeaver) GAX_REQUIRES(kHeartbeat);
    // Sends aData to every visible client whose flags, ANDed with the
    // network's flags and aMask, equal aValue; aExcept is skipped.
    void SendData(const void* aData, int32_t aLen, uint32_t aMask, uint32_t aValue,
                  const TQORSVCContext* aExcept = nullptr) GAX_REQUIRES(kHeartbeat);
    bool NetFast() const GAX_REQUIRES(kHeartbeat) { return f_NetFast; }
    uint32_t HeartBeatTick() const GAX_REQUIRES(kHeartbeat) { return f_HeartBeatTick; }

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
    int32_t AppendChannelList(std::string& aOut) const override GAX_REQUIRES(kHeartbeat);
    // One memory-report line per buffer, list and counter of the network.
    void AppendMemoryReport(std::vector<std::u16string>& aLines) const override GAX_REQUIRES(kHeartbeat);
    // The client log level set through the channel (the options' until then).
    int32_t NetLogLevel() const GAX_REQUIRES(kHeartbeat) {
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
    bool MoveClient_IsOnline(const TQORSVCContext* aCtx, TQORGlobalKey aKey) const GAX_REQUIRES(kHeartbeat);
    // kMoveOK with the client's context when the client with that id may
    // leave; kMoveNoClient when unknown, not visible or leaving;
    // kMoveNotSupported for the Parrot.
    int32_t MoveClient_CanDetachFromSourceByID(std::string_view aClientId,
                                               TQORSVCContext*& aCtx) const GAX_REQUIRES(kHeartbeat);
    int32_t MoveClient_CanDetachFromSourceByCtx(const TQORSVCContext* aCtx) const GAX_REQUIRES(kHeartbeat);
    // False when full (arrivals in flight counted), when aCtx is still in
    // this network's MOVED hold, or its id (or, with UniqCallsign, its
    // callsign) is already here, or it is blocked or kept out by the access
    // modes here. A question only: aCtx is not changed.
    bool MoveClient_CanAttachIntoTarget(TQORSVCContext* aCtx) const GAX_REQUIRES(kHeartbeat);
    // Takes a visible client out (floor, managers, indexes, list cache) and
    // runs this network's heartbeat at once with a list rebuild, so that the
    // others see it gone before the target admits it. aTick: the pass's tick.
    void MoveClient_DetachFromSource(TQORSVCContext* aCtx, uint32_t aTick) GAX_REQUIRES(kHeartbeat);
    // Admits a moved client with its initial flags. With aMayRefuse a refusal
    // at admission leaves no trace here and nothing is sent to the client
    // (false; the caller takes it back); without it a refusal ends the
    // client as at a connect (false as well).
    bool MoveClient_AttachIntoTarget(TQORSVCContext* aCtx, TQORSVCClientHandshakeType aType,
                                     int32_t aMoveTime, bool aMayRefuse) GAX_REQUIRES(kHeartbeat);
    // At the ping: visible clients whose session time ran out, and those
    // whose output stayed over the limit too long, are told to end.
    void tmSessionTimeCheck() GAX_REQUIRES(kHeartbeat);
    void tmBandwidthCheck() GAX_REQUIRES(kHeartbeat);

  private:
    void tmSendNetChangeInfo(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // The departure line: the cause, the connection and the client, when the
    // network's client log level covers the cause (session time, bandwidth).
    void tmLogDisconnect(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // The arrival line: "MOVED NetFrom=`...`" after a move, else "LOGIN".
    void tmLogArrival(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // Set while a move admits a client that may be refused: a refusal is
    // then only noted here.
    bool* f_MoveRefused GAX_GUARDED_BY(kHeartbeat) = nullptr;
    // ---- end of moves ----

  protected:
    void SetNetOriginalIndex(int32_t aIndex, int32_t aWidth) override;

  private:
    void PushSimple(TQORServNetworkCommand aCmd) GAX_REQUIRES(kHeartbeat);
    void Dispatch(TQORNetCommand& aCmd) GAX_REQUIRES(kHeartbeat);
    void ResultWork(bool aPing) GAX_REQUIRES(kHeartbeat);

    // Admission and leaving.
    void tmHandshakeClient(TQORSVCContext* aCtx, TQORSVCClientHandshakeType aType) GAX_REQUIRES(kHeartbeat);
    void tmRejectClient(TQORSVCContext* aCtx, TClientErrorType aAnswer,
                        TQORSVCDisconnectCause aCause) GAX_REQUIRES(kHeartbeat);
    void tmPutInDeleteHold(TQORSVCContext* aCtx, TQORSVCDisconnectCause aCause) GAX_REQUIRES(kHeartbeat);
    void tmSendHandshakeAnswerOK(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void tmAttachNetwork(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void GoNewbie(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void tmClientDisconnected(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    bool tmDisconnectByHash(std::string_view aClientId, TQORSVCDisconnectCause aCause) GAX_REQUIRES(kHeartbeat);
    void tmApplyNetIntFlags(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmDisconnectAll(TQORSVCDisconnectCause aCause) GAX_REQUIRES(kHeartbeat);
    void tmQuarantineStep() GAX_REQUIRES(kHeartbeat);
    void tmNewbieStep() GAX_REQUIRES(kHeartbeat);
    void tmNewbieInitialData() GAX_REQUIRES(kHeartbeat);
    void DepartureRendezvous(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void CleaningFromDupl(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void DisposeAll() GAX_REQUIRES(kHeartbeat);
    void CountContext(TQORSVCContext* aCtx, int32_t aDelta) GAX_REQUIRES(kHeartbeat);
    void ApplyIntFlagsAtAdmission(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // Whether the members and the arrivals in flight fill aMax places (never
    // for a limit of 0 or less).
    bool ArrivalsReach(int32_t aMax) const GAX_REQUIRES(kHeartbeat);
    void VisualInsert(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    bool VisualRemove(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void Log(std::u16string aText) { e_Host.NetHostLog(std::move(aText)); }

    TQORSVCNetHost& e_Host;
    TQORSVCClientService& e_Facts;
    const TQORNetworksList& e_NetworksList;
    TQORNetHandshakeAnswer f_Answer;

    std::vector<TQORNetCommand> f_NetCmds GAX_GUARDED_BY(kHeartbeat);
    uint32_t f_NetResults GAX_GUARDED_BY(kHeartbeat) = 0;
    uint32_t f_NetFlags GAX_GUARDED_BY(kHeartbeat) = kNetFlagsInitial;
    bool f_NetFast GAX_GUARDED_BY(kHeartbeat) = false;
    uint32_t f_HeartBeatTick GAX_GUARDED_BY(kHeartbeat) = 0;
    uint32_t f_NetPingTickScale GAX_GUARDED_BY(kHeartbeat) = 0;
    TQORSVCContext* e_SpeakingContext GAX_GUARDED_BY(kHeartbeat) = nullptr;

    // Visible clients sorted by visual sort key (then by address, so equal
    // keys never collide), and the order of the last list sent.
    struct VisualOrder {
        bool operator()(const std::pair<std::string, TQORSVCContext*>& aA,
                        const std::pair<std::string, TQORSVCContext*>& aB) const {
            const int32_t c = CompareKeysText(aA.first, aB.first);
            return c != 0 ? c < 0 : std::less<TQORSVCContext*>()(aA.second, aB.second);
        }
    };
    std::set<std::pair<std::string, TQORSVCContext*>, VisualOrder> f_VisualOper GAX_GUARDED_BY(kHeartbeat);
    // Looked up only, never walked in order: hashed, since every login and
    // departure looks them up once or twice among all the members.
    std::unordered_map<TQORSVCContext*, std::string> f_VisualKeyOf GAX_GUARDED_BY(kHeartbeat);
    std::vector<TQORSVCContext*> f_VisualBias GAX_GUARDED_BY(kHeartbeat);
    // Admitted contexts by client id and (with UniqCallsign) by callsign key.
    std::unordered_map<std::string, TQORSVCContext*> f_EMailHash GAX_GUARDED_BY(kHeartbeat);
    std::unordered_map<std::string, TQORSVCContext*> f_Callsigns GAX_GUARDED_BY(kHeartbeat);
    std::set<std::string> f_Owners GAX_GUARDED_BY(kHeartbeat);

    TQORNetHold f_AttachHold GAX_GUARDED_BY(kHeartbeat) {"ATTACH"};
    TQORNetHold f_ApprovedHold GAX_GUARDED_BY(kHeartbeat) {"APPROVED"};
    TQORNetHold f_QuarantineHold GAX_GUARDED_BY(kHeartbeat) {"QUARANTINE"};
    TQORNetHold f_NewbieHold GAX_GUARDED_BY(kHeartbeat) {"NEWBIE"};
    TQORNetHold f_DelHold GAX_GUARDED_BY(kHeartbeat) {"DELETE"};
    TQORNetHold f_MovedHold GAX_GUARDED_BY(kHeartbeat) {"MOVED"};
    TQORNetHold f_ExtraDispHold GAX_GUARDED_BY(kHeartbeat) {"EXTRA DISPOSE"};
    TQORNetHold f_DispHold GAX_GUARDED_BY(kHeartbeat) {"dispose"};
    // Contexts whose disconnect has arrived: the network owns them.
    std::set<TQORSVCContext*> f_Owned GAX_GUARDED_BY(kHeartbeat);

    // List counters per admitted context.
    int32_t f_Cntr_List_None GAX_GUARDED_BY(kHeartbeat) = 0;
    int32_t f_Cntr_List_Count GAX_GUARDED_BY(kHeartbeat) = 0;
    int32_t f_Cntr_List_DiffUTF8 GAX_GUARDED_BY(kHeartbeat) = 0;
    int32_t f_Cntr_List_QOR_Full GAX_GUARDED_BY(kHeartbeat) = 0;
    int32_t f_Cntr_List_QOR_Aggr GAX_GUARDED_BY(kHeartbeat) = 0;
    int32_t f_Cntr_MessagesNo GAX_GUARDED_BY(kHeartbeat) = 0;
    int32_t f_Cntr_SpeakerInfoUTF8 GAX_GUARDED_BY(kHeartbeat) = 0;
    int32_t f_Cntr_Cache GAX_GUARDED_BY(kHeartbeat) = 0;

    // The list buffers the members' list pointers name (built by the lists' module).
    FastStringA f_ClientsV0 GAX_GUARDED_BY(kHeartbeat);
    FastStringA f_ClientsV1FU GAX_GUARDED_BY(kHeartbeat);
    FastStringA f_ClientsV1DU GAX_GUARDED_BY(kHeartbeat);

    // Set on the service thread when the managers start, before the heartbeat
    // runs the network; read-only after.
    uint32_t f_EffManagersMask = 0;
    TQORSystemManagerMode f_EffManagerMode = smm_Standalone;
    // ---- manager approval (gax_qor_svc_network_approval.cpp) ----
    bool ApprovalDispatch(TQORNetCommand& aCmd) GAX_REQUIRES(kHeartbeat);
    void tmRegisterWithManagers(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void tmRegisterWithTheManager(int32_t aIndex, TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void tmManagerAnswer(TQORNetCommand& aCmd) GAX_REQUIRES(kHeartbeat);
    void tmRecordManagerAnswer(TQORSVCContext* aCtx, int32_t aIndex, uint32_t aFlags,
                               const std::string& aManagerId, TClientErrorType aAnswer) GAX_REQUIRES(kHeartbeat);
    void tmDecideAttach(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void tmApproveFromAttach(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void tmManagerOnLine(int32_t aIndex) GAX_REQUIRES(kHeartbeat);
    void tmManagerOffLine(int32_t aIndex) GAX_REQUIRES(kHeartbeat);
    void tmManagerModeChanged(int32_t aMode) GAX_REQUIRES(kHeartbeat);
    void tmReportCountToManagers() GAX_REQUIRES(kHeartbeat);
    // The visible members the managers are told of: all but the Parrot.
    int32_t ManagersVisibleCount() const GAX_REQUIRES(kHeartbeat);
    TQORSVCNetManagers* e_Managers = nullptr;
    int32_t f_ManagersReportedCount GAX_GUARDED_BY(kHeartbeat) = -1;
    // ---- end of manager approval ----

    std::unique_ptr<TQORSVCIntFlagsList> f_NetIntFlags GAX_GUARDED_BY(kHeartbeat);
    const TQORSVCIntFlagsList* e_ServIntFlags GAX_GUARDED_BY(kHeartbeat) = nullptr;
    // "Net #07 \"Name\": " and "Net #07: " (the index zero-padded to the
    // width of the highest index).
    std::u16string f_NetPrefixName;
    std::u16string f_NetPrefix;

    // ---- the floor, the relay and the client lists (gax_qor_svc_network_relay.cpp) ----
    struct ListsOwner;
    void RelayInit() GAX_REQUIRES(kHeartbeat);
    // Handles the floor, sound and message records; false for any other.
    bool RelayDispatch(TQORNetCommand& aCmd) GAX_REQUIRES(kHeartbeat);
    // The end of a pause and the list step (the rate watch runs with the
    // ping frames, after the lists).
    void RelayResultWork() GAX_REQUIRES(kHeartbeat);
    void RelaySync() GAX_REQUIRES(kHeartbeat);
    void RelayDropFromSentOrder(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    std::unique_ptr<TQORNetListsOwner> f_ListsOwner;
    std::unique_ptr<TQORNetFanout> f_Fanout;
    std::unique_ptr<TQORNetClientLists> f_Lists;
    std::unique_ptr<TQORNetRelay> f_Relay;
    int32_t f_ActivityTimeoutSeconds = 8;

    // ---- command channel (gax_qor_svc_network_chan.cpp) ----
    // Handles the channel's records for one network; false for any other.
    bool ChanDispatch(TQORNetCommand& aCmd) GAX_REQUIRES(kHeartbeat);
    void tmChannelDisconnectClient(const TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    // The options are shared with other threads and never change: the level
    // an operator sets lives here (heartbeat thread); -1 until set.
    int32_t f_ChanLogLevel GAX_GUARDED_BY(kHeartbeat) = -1;

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
    void tmProcessAccessModes() GAX_REQUIRES(kHeartbeat);

  private:
    struct AccessHost;
    void AccessInit() GAX_REQUIRES(kHeartbeat);
    // Handles the reread records (list updates); false for any other.
    bool AccessDispatch(TQORNetCommand& aCmd) GAX_REQUIRES(kHeartbeat);
    // Expiry at the ping, then the list sends.
    void AccessResultWork(bool aPing) GAX_REQUIRES(kHeartbeat);
    void AccessExpire() GAX_REQUIRES(kHeartbeat);
    void AccessSends() GAX_REQUIRES(kHeartbeat);
    // What the admission found different from the lists is stored.
    void AccessStoreDiffers(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // The access rules failed for one context (called inside the catch):
    // logged, and a context in a hold is taken out and ended with the
    // out-of-memory or internal-error cause; null aCtx: logged only.
    void AccessModesFailed(TQORSVCContext* aCtx, TQORNetHold* aHold, std::u16string_view aPlace,
                           bool aAlwaysPrefix) GAX_REQUIRES(kHeartbeat);
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
    bool CmdDispatch(TQORNetCommand& aCmd) GAX_REQUIRES(kHeartbeat);
    int64_t CmdNow() const GAX_REQUIRES(kHeartbeat);
    TQORSVCContext* CmdConnected(std::string_view aClientId) const GAX_REQUIRES(kHeartbeat);
    void CmdChannelAnswer(const TQORSVCNetQueueRecord& aRec, std::string aText) GAX_REQUIRES(kHeartbeat);
    // The author of an entry: the acting member, or the server owner for the
    // operator's commands (aActor null).
    TQORMuteBlockAuthor CmdAuthor(const TQORSVCContext* aActor) const GAX_REQUIRES(kHeartbeat);
    // Releases aCtx's floor and tells every member that hears sound.
    void CmdReleaseFloor(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void CmdMute(TQORSVCContext* aActor, std::string_view aId, int32_t aTime) GAX_REQUIRES(kHeartbeat);
    void CmdUnmute(TQORSVCContext* aActor, std::string_view aId) GAX_REQUIRES(kHeartbeat);
    void CmdBlock(TQORSVCContext* aActor, std::string_view aId, int32_t aTime) GAX_REQUIRES(kHeartbeat);
    void CmdUnblock(TQORSVCContext* aActor, std::string_view aId) GAX_REQUIRES(kHeartbeat);
    void CmdMakeAdmin(TQORSVCContext* aActor, std::string_view aId) GAX_REQUIRES(kHeartbeat);
    void CmdDeleteAdmin(std::string_view aId) GAX_REQUIRES(kHeartbeat);
    void CmdSetMode(bool aConnectListed, bool aOn) GAX_REQUIRES(kHeartbeat);
    bool RightsAddEmail(std::string_view aEmailA) GAX_REQUIRES(kHeartbeat);
    bool RightsDelEmail(std::string_view aEmailA) GAX_REQUIRES(kHeartbeat);
    void RightsMarkClient(std::string_view aEmailA, bool aMark) GAX_REQUIRES(kHeartbeat);
    void CmdNotice(std::string_view aTextANSI, std::string_view aTextUTF8) GAX_REQUIRES(kHeartbeat);
    void CmdChannelModes(const TQORSVCNetQueueRecord& aRec, bool aConnectListed) GAX_REQUIRES(kHeartbeat);
    void CmdChannelInternalFlags(const TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void CmdChannelHugeSound(const TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    // aAdmission: the client is being admitted (not visible): no frame is sent.
    void tmApplyIntFlags(TQORSVCContext* aCtx, uint32_t aFlags, bool aAdmission = false) GAX_REQUIRES(kHeartbeat);
    void tmRemoveIntFlags(TQORSVCContext* aCtx, uint32_t aFlags) GAX_REQUIRES(kHeartbeat);
    TQORNetCmdFacts f_CmdFacts;

    // ---- the Parrot (gax_qor_svc_network_parrot.cpp) ----
  public:
    // The network's echo pseudo-client, or null when its options leave it
    // out. Owned here from the constructor to the destructor; visible from
    // the start, never in a hold, never disconnected.
    TQORSVCContextParrot* netParrot() const { return f_Parrot.get(); }
    bool ParrotBusy() const override GAX_REQUIRES(kHeartbeat) { return f_Parrot && f_Parrot->Busy(); }
    void ParrotHeartBeat(uint32_t aTick) override GAX_REQUIRES(kHeartbeat);

  private:
    // The Parrot reads "now" while the network hands it a frame: that is the
    // network's heartbeat tick, whatever clock drives the service.
    struct ParrotClock final : TQORClock {
        explicit ParrotClock(const TQORServNetwork& aNet) : Net(aNet) {}
        uint32_t Tick() const override GAX_REQUIRES(kHeartbeat) { return Net.f_HeartBeatTick; }
        int64_t UnixSeconds() const override { return TQORSystemClock::Instance().UnixSeconds(); }
        const TQORServNetwork& Net;
    };
    // Creates the Parrot when the options ask for it and makes it visible
    // at once (constructor, after the relay exists).
    void ParrotCreate() GAX_REQUIRES(kHeartbeat);
    // A newcomer's greeting from the Parrot: its messenger information for
    // the clients that take it, then its direct message.
    void ParrotGreetNewcomer(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // The Parrot's clock is the network's heartbeat tick; declared before
    // the Parrot, so it outlives it.
    std::unique_ptr<ParrotClock> f_ParrotClock;
    std::unique_ptr<TQORSVCContextParrot> f_Parrot;
    // 0x8F + the Parrot's item, rebuilt when the item changes
    std::string f_ParrotInfo GAX_GUARDED_BY(kHeartbeat);
    int32_t f_ParrotInfoModifyCounter GAX_GUARDED_BY(kHeartbeat) = -1;
};

}  // namespace gax
