// TQORSVCContext: one client session. It keeps what the client said about
// itself in every encoding the protocol needs (8-bit as received, UTF-8,
// UTF-16 for logs and managers), its standing on its network (privilege,
// muted, talk right, visible status), its granted protocol extensions, its
// prebuilt list items and the block of its data prepared for the managers,
// and the operations that networks use to change that state and to send it
// bytes. The socket form and the Parrot derive from it and implement the
// five send operations.
//
// Threads and ownership: a session has two parts, each with one owner, and a
// hand-over between them.
// - The worker part belongs to the worker thread that steps the session: the
//   socket and its collector (in the socket form), the protocol state
//   (CtxProtocol, QORProtoStatus, SoundFlag, CliVersion) and the activity
//   clock Last_ClientActivity. The heartbeat never reads or writes them.
// - The hand-over: the client's own texts (the connect string's fields, their
//   encodings, the id, the requested extensions, the transport block, the
//   sort key, the initial flag words) and what the connect string found (its
//   network, verdict and granted extensions: ConnectNetwork, ConnectError,
//   ConnectExtFlags). The worker writes them while it reads the connect
//   string, before it posts the handshake record; the server queue's lock
//   orders that hand-over, and from then on neither thread writes them,
//   except the heartbeat's recoding of the 8-bit entries of the UTF-16 block
//   (tmRecaclCharsetA2), which the worker no longer reads.
// - The membership part belongs to the heartbeat thread (networks, service):
//   every field marked GAX_GUARDED_BY(kHeartbeat) below (the privilege and
//   the Differs marks, the admission's verdict, the granted extension flags,
//   the network and the index in it, the list items and list pointers, the
//   cache slots, the manager info, the move and session bookkeeping and the
//   heartbeat's own admission tick), and every function marked
//   GAX_REQUIRES(kHeartbeat): clang proves that nothing else reaches them.
//   The heartbeat starts it from the hand-over in tmTakeConnect, when it
//   takes the handshake record. A move re-runs admission on a live session
//   and rewrites all of it while the worker keeps stepping; that is why the
//   worker must never read it.
// - A value crosses from one part to the other only in two ways. Worker to
//   heartbeat: a server-queue record (the handshake, a command line, a sound
//   frame, the attach). Heartbeat to worker: one published atomic word: the
//   rights word (privilege and granted extension flags, PublishRights after
//   every admission) for the worker's early refusal of a command, and the
//   flag words below. The worker's view may be stale; the network that runs
//   a command decides the rights again from the actor's membership there.
// - CtxFlags and Ctx2Flags are atomics: the heartbeat writes them with
//   read-modify-write operations only, so that the leaving bit (0x800000),
//   which the worker or the abort path may OR in at any moment, is never lost;
//   the worker reads them with relaxed loads (a stale read lets one more frame
//   or request through, which the network checks again).
// - The work-context base holds the socket, the peer texts, the global key,
//   the first-wins disconnect cause and the interrupt word.
// - A constructor runs before any other thread sees the session, so it (the
//   Parrot's included) fills the membership without the role.
//
// REQUIRES: the host and the service facts outlive the session; a network
// handed to the session outlives its membership in it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_datetime.h"
#include "foundation/gax_faststring.h"
#include "protocol/gax_qor_consts.h"
#include "server/gax_qor_svc_clientfacts.h"
#include "server/gax_qor_svc_globals.h"
#include "server/gax_qor_svc_queues.h"
#include "server/gax_qor_svc_roles.h"
#include "server/gax_qor_svc_wrkctx.h"
#include "sockets/gax_snps_asyncwriter.h"
#include "sockets/gax_snps_outchunks.h"

namespace gax {

class TAnsiUnicodeConverter;

// ---- CtxFlags bits ----
inline constexpr uint32_t QOR_CF_VISIBLE_STATUS = 0x00000003;
inline constexpr uint32_t QOR_CF_TALK_DENIED = 0x00000004;
inline constexpr uint32_t QOR_CF_MUTED = 0x00000008;
inline constexpr uint32_t QOR_CF_CLIENT_TYPE = 0x00000030;
inline constexpr uint32_t QOR_CF_UTF8 = 0x00000080;
inline constexpr uint32_t QOR_CF_LIST_FORMAT = 0x00000300;
// The list format's values (QOR when none is set).
inline constexpr uint32_t QOR_CF_LIST_NONE = 0x00000100;
inline constexpr uint32_t QOR_CF_LIST_COUNT = 0x00000200;
inline constexpr uint32_t QOR_CF_LIST_DIFF = 0x00000300;
inline constexpr uint32_t QOR_CF_PARROT = 0x00000400;
inline constexpr uint32_t QOR_CF_ADMITTED = 0x00000800;
inline constexpr uint32_t QOR_CF_SPEAKER = 0x00001000;
inline constexpr uint32_t QOR_CF_SOUND_ACK = 0x00002000;
inline constexpr uint32_t QOR_CF_SHORT_FRAMES = 0x00004000;
inline constexpr uint32_t QOR_CF_EMULATED_TX = 0x00008000;
inline constexpr uint32_t QOR_CF_EXTENDED = 0x00010000;
inline constexpr uint32_t QOR_CF_PRIV_CLASS = 0x00060000;
inline constexpr uint32_t QOR_CF_PRIV_ADMIN_CLASS = 0x00020000;
inline constexpr uint32_t QOR_CF_PRIV_OWNER_CLASS = 0x00040000;
inline constexpr uint32_t QOR_CF_PRIVILEGED = 0x00080000;
inline constexpr uint32_t QOR_CF_NOT_ADMIN = 0x00100000;
inline constexpr uint32_t QOR_CF_NOT_OWNER = 0x00200000;
inline constexpr uint32_t QOR_CF_PRIV_BITS = 0x003E0000;
inline constexpr uint32_t QOR_CF_NEWBIE = 0x00400000;
inline constexpr uint32_t QOR_CF_LEAVING = 0x00800000;
inline constexpr uint32_t QOR_CF_NO_SERVER_MESSAGES = 0x01000000;
inline constexpr uint32_t QOR_CF_SPEAKER_INFO = 0x02000000;
inline constexpr uint32_t QOR_CF_LIST_CACHE = 0x04000000;
inline constexpr uint32_t QOR_CF_AGGREGATE_LIST = 0x08000000;
inline constexpr uint32_t QOR_CF_NO_SERVER_SOUNDS = 0x10000000;
inline constexpr uint32_t QOR_CF_ITEM_CHANGED = 0x20000000;
inline constexpr uint32_t QOR_CF_STATUS_CHANGED = 0x40000000;
inline constexpr uint32_t QOR_CF_INITIAL = 0x00700820;  // PC, admitted bit, user, newbie

// ---- Ctx2Flags bits ----
inline constexpr uint32_t QOR_C2F_IGNORE_SOUNDS = 0x02;
inline constexpr uint32_t QOR_C2F_IGNORE_MESSAGES = 0x04;
inline constexpr uint32_t QOR_C2F_LIST_OFF = 0x08;

// ---- ProtocolFlags bits (0x04 and 0x08 come from the client's version) ----
inline constexpr uint32_t QOR_PF_EXT_FLAGS = 0x10;

inline constexpr int32_t kQORUnicodeBlockSize = 17;
inline constexpr int32_t kQORVisualSortKeyLen = 88;
inline constexpr int32_t kQORNoClientVersion = 9999999;
inline constexpr int32_t kQORActLikeServerVersion = 2014004;

// CliUnicodeBlock indexes.
enum : int32_t {
    ub_EMailA = 0,
    ub_PasswordA = 2,
    ub_BandA = 3,
    ub_CityA = 4,
    ub_CallsignA = 5,
    ub_DescriptionA = 6,
    ub_CountryA = 7,
    ub_EMailU8 = 8,
    ub_PasswordU8 = 9,
    ub_BandU8 = 10,
    ub_CityU8 = 11,
    ub_CallsignU8 = 12,
    ub_DescriptionU8 = 13,
    ub_CountryU8 = 14,
    ub_KeyA = 15,
    ub_KeyU8 = 16,
};

enum class TServProtocol : uint8_t { PROTO_UNKNOWN = 0, PROTO_QOR = 1, PROTO_ABORT = 2 };

struct TQORTxApprovalV0_1 {
    uint8_t Marker = 1;
    uint16_t SI = 0;
};

// The session's state towards one system manager (heartbeat thread).
struct TQORSVCContextManagerInfo {
    std::string cmi_ManagerId;
    std::u16string cmi_ManagerIdA2;
    std::u16string cmi_IdxA2;
    uint32_t cmi_ManagerAnswerFlags = 0;
    TQORClientSysManStatus cmi_ManagerStatus = TQORClientSysManStatus::csms_NoManager;
    TClientErrorType cmi_ManagerAnswer = TClientErrorType::cet_NONE;
    bool cmi_Approved = false;
    bool cmi_Requesting = false;
};

inline constexpr int32_t kQORManagerSlots = 4;

// Whether a manager's recorded answer approves the client in a manager mode.
bool ManagerAnswerApproves(TQORSystemManagerMode aMode, TClientErrorType aAnswer);

// The sortable form of a key: every 4-byte group reversed, so that comparing
// 32-bit little-endian words orders keys like their bytes.
// REQUIRES: aLen is a multiple of 4.
void SwapKeyWordsInPlace(char* aBuf, int32_t aLen);
// aText padded with zero bytes to a multiple of 4, then word-swapped: the
// key of a text that must sort among the visual sort keys by its bytes.
std::string MakeTextSortKey(std::string_view aText);

class TQORSVCContext : public TQORSVCWrkCtx {
  public:
    // aHost: the owning service (may be null: no log, key 1); aFacts: what the
    // session reads of the service and its networks. The log lines' prefix is
    // "Client: " + address + " " + port.
    TQORSVCContext(TQORSVCHost* aHost, TQORSVCClientService& aFacts, TSocket aSocket,
                   std::string aPeerAddrBin, int32_t aPeerPort);
    ~TQORSVCContext() override = default;

    TQORSVCClientService& Facts() const { return e_Facts; }
    // The client log level in force (0 without a host).
    int32_t ClientLogLevel() const;

    // ---- send operations (heartbeat thread; the worker for the handshake path) ----
    virtual void vSendBytes(const void* aBuffer, int32_t aLen) = 0;
    virtual void vSendBytesDontWakeWorker(const void* aBuffer, int32_t aLen) = 0;
    virtual void vSendBytesAnswerOK(const void* aBuffer, int32_t aLen) = 0;
    virtual void vSendBytesFlushAndTerm(const void* aBuffer, int32_t aLen) = 0;
    // A frame built once for many members; a session whose buffer can hold
    // it by reference does so instead of copying it.
    virtual void vSendShared(const TSharedFrame& aFrame, bool aWakeWorker) {
        const int32_t len = static_cast<int32_t>(aFrame.Len());
        if (aWakeWorker)
            vSendBytes(aFrame.Data(), len);
        else
            vSendBytesDontWakeWorker(aFrame.Data(), len);
    }
    // A sound frame of the relay: a session whose buffer allows it
    // sends it at once on the calling thread, so that its worker does not
    // wake for every frame; else as vSendShared with the worker woken.
    virtual void vSendSharedThrough(const TSharedFrame& aFrame) { vSendShared(aFrame, true); }
    // As vSendSharedThrough, but the send joins aBatch: the batch's owner
    // submits it and hands each gathered session its result through
    // vSendThroughDone.
    virtual void vSendSharedThrough(const TSharedFrame& aFrame, TWriteThroughBatch& aBatch) {
        (void)aBatch;
        vSendSharedThrough(aFrame);
    }
    virtual void vSendThroughDone(TAsyncWriter2SocketThreadSafe::WriteThrough aResult) {
        (void)aResult;
    }
    virtual bool vOutputBufferLimit(int32_t aLimit, TGaxTick32 aTick);

    // ---- flag words ----
    uint32_t CtxFlags() const { return f_CtxFlags.load(std::memory_order_relaxed); }
    uint32_t Ctx2Flags() const { return f_Ctx2Flags.load(std::memory_order_relaxed); }
    void CtxFlagsSet(uint32_t aBits) { f_CtxFlags.fetch_or(aBits, std::memory_order_relaxed); }
    void CtxFlagsClear(uint32_t aBits) { f_CtxFlags.fetch_and(~aBits, std::memory_order_relaxed); }
    // (flags AND aKeep) OR aSet in one step; the leaving bit survives if set meanwhile.
    void CtxFlagsMask(uint32_t aKeep, uint32_t aSet);
    // Whole-word assignment; a leaving bit already set stays set.
    void CtxFlagsAssign(uint32_t aValue);
    void Ctx2FlagsAssign(uint32_t aValue) { f_Ctx2Flags.store(aValue, std::memory_order_relaxed); }
    void Ctx2FlagsSet(uint32_t aBits) { f_Ctx2Flags.fetch_or(aBits, std::memory_order_relaxed); }
    void Ctx2FlagsClear(uint32_t aBits) {
        f_Ctx2Flags.fetch_and(~aBits, std::memory_order_relaxed);
    }

    TQORVisibleStatus VisibleStatus() const {
        return static_cast<TQORVisibleStatus>(CtxFlags() & QOR_CF_VISIBLE_STATUS);
    }
    uint32_t ListFormat() const { return (CtxFlags() & QOR_CF_LIST_FORMAT) >> 8; }
    bool IsParrot() const { return (CtxFlags() & QOR_CF_PARROT) != 0; }

    // ---- setters (heartbeat thread) ----
    void SetAsSpeaker() { CtxFlagsSet(QOR_CF_SPEAKER); }
    void SetAsNotSpeaker() { CtxFlagsClear(QOR_CF_SPEAKER); }
    void SetAsNotWork() { CtxFlagsSet(QOR_CF_LEAVING); }
    bool SetVisibleStatus(TQORVisibleStatus aVisSt) GAX_REQUIRES(kHeartbeat);
    bool SetMuted(bool aMuted) GAX_REQUIRES(kHeartbeat);
    bool SetTalkEnabled(bool aTalkEnabled) GAX_REQUIRES(kHeartbeat);
    void SetFlagsTalkEnable(bool aTalkEnable);
    void ClearClientListChanges() { CtxFlagsClear(QOR_CF_ITEM_CHANGED | QOR_CF_STATUS_CHANGED); }
    void ClearNewbieFlag() GAX_REQUIRES(kHeartbeat);
    void tmRestoreInitialFlags() GAX_REQUIRES(kHeartbeat);
    void SetCtxCacheSize(int32_t aSize) GAX_REQUIRES(kHeartbeat);
    int32_t CtxCacheSize() const GAX_REQUIRES(kHeartbeat) { return f_CtxCacheSize; }
    // Patches the status characters of the list items in place.
    void RefreshStatusInfo() GAX_REQUIRES(kHeartbeat);

    // ---- senders (heartbeat thread) ----
    void SendKA();
    void SendRejectTX() { SendKA(); }
    void SendAbortTX() { SendKA(); }
    void SendTXAPPROVAL() GAX_REQUIRES(kHeartbeat);
    void SendFast(const FastStringA& aF) {
        vSendBytes(aF.Data(), static_cast<int32_t>(aF.Len()));
    }
    void SendString(std::string_view aS) {
        vSendBytes(aS.data(), static_cast<int32_t>(aS.size()));
    }
    void SendStringDontWakeWorker(std::string_view aS) {
        vSendBytesDontWakeWorker(aS.data(), static_cast<int32_t>(aS.size()));
    }

    // Sets the leaving bit, closes the connection and marks the protocol aborted.
    void AbortContext();

    // ---- posts to the heartbeat thread (worker thread) ----
    // Each pushes one server-queue record naming this context (handle of the
    // work context and its global key) and interrupts the heartbeat thread.
    // Without a host nothing is posted.
    void M2_QOR_NetQueueAttachNetwork();
    // Skipped for a session not yet visible or already leaving.
    void M2_QOR_Process_Rx_Request();
    void M2_QOR_Process_Tx_Request();
    // aFrame: the whole frame (328 bytes long, 68 short; the sound from byte 3).
    void M2_QOR_Process_Sound(bool aLong, std::string aFrame);
    void M2_QOR_RebuildClientListNow();

    // ---- manager state (heartbeat thread) ----
    void ClearAllManagersInfo(const TQORSVCClientNetwork* aNetwork) GAX_REQUIRES(kHeartbeat);
    void ClearTheManagerInfo(int32_t aManagerIndex, TQORSystemManagerMode aEffManagerMode)
        GAX_REQUIRES(kHeartbeat);
    void RecalcApprovedManagersFlags(TQORSystemManagerMode aEffManagerMode) GAX_REQUIRES(kHeartbeat);
    // REQUIRES: the network's manager mode is not standalone (raises otherwise).
    bool CheckApproved(TClientErrorType& aErrorByManagers) const GAX_REQUIRES(kHeartbeat);
    void UnregisterWithManagers() GAX_REQUIRES(kHeartbeat);

    // ---- connect string (worker thread; gax_qor_svc_connectstr.cpp) ----
    // aLine: the line after "CT:" without its end. The tag parser may write
    // into the line; the session keeps no pointer into it afterwards.
    void TCP_QOR_ParseClientConnectStr(char* aLine, int32_t aLen);

    // ---- attributes (heartbeat thread; gax_qor_svc_attributes.cpp) ----
    // The heartbeat takes a session whose connect string was read: the
    // connect string's network, verdict and granted extensions become the
    // membership's, and the list items are built.
    void tmTakeConnect() GAX_REQUIRES(kHeartbeat);
    void tmProcessAttributes(TQORSVCClientHandshakeType aHandshakeType) GAX_REQUIRES(kHeartbeat);
    void tmRecaclCharsetA2(const TAnsiUnicodeConverter* aConv) GAX_REQUIRES(kHeartbeat);
    void BuildClientListItemV0() GAX_REQUIRES(kHeartbeat);
    void BuildClientListItemV1A() GAX_REQUIRES(kHeartbeat);
    void BuildClientListItemV1U() GAX_REQUIRES(kHeartbeat);
    // The key is the client's own (its texts and global key): built once,
    // by whoever fills the texts.
    void BuildVisualSortKey();

    // ---- the rights word (published by the heartbeat, read by the worker) ----
    // The privilege and granted extension flags as of the last admission (a
    // move included), for the worker's early refusal of a command.
    void PublishRights() GAX_REQUIRES(kHeartbeat);
    TQORClientPrivilege PublishedPrivilege() const {
        return static_cast<TQORClientPrivilege>(f_PublishedRights.load(std::memory_order_acquire) >>
                                                32);
    }
    uint32_t PublishedGrantedFlags() const {
        return static_cast<uint32_t>(f_PublishedRights.load(std::memory_order_acquire));
    }

    // ---- read access to the client's data ----
    // The connect string's verdict and chosen network (the client's own, read
    // by the worker that read it and, once the handshake is posted, by the
    // heartbeat's tmTakeConnect).
    TClientErrorType ConnectError() const { return f_ConnectError; }
    TQORSVCClientNetwork* ConnectNetwork() const { return f_ConnectNetwork; }
    uint32_t ConnectExtFlags() const { return f_ConnectExtFlags; }
    // The admission's verdict and the network that holds the session.
    TClientErrorType ClientError() const GAX_REQUIRES(kHeartbeat) { return f_ClientError; }
    TQORSVCClientNetwork* CtxNetwork() const GAX_REQUIRES(kHeartbeat) { return f_Network; }
    TQORClientType CliClientType() const { return f_ClientType; }
    bool CliUTF8() const { return f_CliUtf8; }
    uint32_t CliAnswerExtFlags() const GAX_REQUIRES(kHeartbeat) { return f_AnswExtFlags; }
    uint32_t RequestExtFlags() const { return f_RequestExtFlags; }
    uint32_t OriginallyRequestedExtFlags() const { return f_OriginallyRequestedExtFlags; }
    uint32_t ProtocolFlags() const { return f_ProtocolFlags; }
    int32_t LastClientVersion() const { return f_LastClientVersion; }
    int32_t ActLikeServerVersion() const { return f_ActLikeServerVersion; }
    const std::u16string& CliUnicode(int32_t aIndex) const { return f_UnicodeBlock[aIndex]; }
    const std::string& CliHashA() const { return f_CliHashA; }
    const std::u16string& CliHashA2() const { return f_CliHashA2; }
    const std::string& CliEMailANSI() const { return f_EMailANSI; }
    const std::string& CliEMailSort() const { return f_EMailSort; }
    const std::string& CliPasswordANSI() const { return f_PasswordANSI; }
    const std::string& CliCallsignOpnameANSI() const { return f_CallsignOpnameANSI; }
    const std::string& CliCallsignOpnameANSISort() const { return f_CallsignOpnameANSISort; }
    const std::string& CliBandChannelANSI() const { return f_BandChannelANSI; }
    const std::string& CliCityCityPartANSI() const { return f_CityCityPartANSI; }
    const std::string& CliCountryANSI() const { return f_CountryANSI; }
    const std::string& CtxDescriptionANSI() const { return f_DescriptionANSI; }
    const std::string& CliEMailUTF8() const { return f_EMailUTF8; }
    const std::string& CliPasswordUTF8() const { return f_PasswordUTF8; }
    const std::string& CliCallsignOpnameUTF8() const { return f_CallsignOpnameUTF8; }
    const std::string& CliBandChannelUTF8() const { return f_BandChannelUTF8; }
    const std::string& CliCityCityPartUTF8() const { return f_CityCityPartUTF8; }
    const std::string& CliCountryUTF8() const { return f_CountryUTF8; }
    const std::string& CtxDescriptionUTF8() const { return f_DescriptionUTF8; }
    const std::string& WishedNetworkA() const { return f_WishedNetworkA; }
    const std::string& WishedNetworkUTF8() const { return f_WishedNetworkUTF8; }
    const std::u16string& WishedNetworkUCS2() const { return f_WishedNetworkUCS2; }
    const std::u16string& WishedNetworkA2() const { return f_WishedNetworkA2; }
    const std::string& LastClientVersionA() const { return f_LastClientVersionA; }
    const std::string& CliTransportBlock() const { return f_TransportBlock; }
    const std::string& CliVisualSortKey() const { return f_VisualSortKey; }
    const std::string& ClientListItemV0() const GAX_REQUIRES(kHeartbeat) { return f_ClientListItemV0; }
    int32_t ClientListItemV0Len() const GAX_REQUIRES(kHeartbeat) {
        return static_cast<int32_t>(f_ClientListItemV0.size());
    }
    const std::string& ClientListItemV1A() const GAX_REQUIRES(kHeartbeat) { return f_ClientListItemV1A; }
    // A client without UTF-8 has one V1 item: its V1A item.
    const std::string& ClientListItemV1U() const GAX_REQUIRES(kHeartbeat) {
        return f_V1UIsV1A ? f_ClientListItemV1A : f_ClientListItemV1U;
    }
    uint16_t QORNetworkIndex() const GAX_REQUIRES(kHeartbeat) { return f_QORNetworkIndex; }
    void SetQORNetworkIndex(uint16_t aIndex) GAX_REQUIRES(kHeartbeat) { f_QORNetworkIndex = aIndex; }
    const std::vector<uint32_t>& CtxCacheArray() const GAX_REQUIRES(kHeartbeat) { return f_CtxCacheArray; }
    // The network marks the cache slots it has told the client about.
    std::vector<uint32_t>& CtxCacheArrayMut() GAX_REQUIRES(kHeartbeat) { return f_CtxCacheArray; }

    // The network a move or a test hands the session.
    void SetCtxNetwork(TQORSVCClientNetwork* aNetwork) GAX_REQUIRES(kHeartbeat) { f_Network = aNetwork; }
    void SetClientError(TClientErrorType aError) GAX_REQUIRES(kHeartbeat) { f_ClientError = aError; }

    // ---- worker part: the protocol state and the activity clock ----
    int32_t CliVersion = 0;  // during the connect string
    TGaxTick32 Last_ClientActivity = 0;
    TQORProtocolStatus QORProtoStatus = TQORProtocolStatus::QOR_PS_WAIT_CONNECT_STR;
    TServProtocol CtxProtocol = TServProtocol::PROTO_UNKNOWN;
    TSoundFrameType SoundFlag = TSoundFrameType::SoundFrameNone;

    // ---- hand-over: the flags the session came with, which the heartbeat
    // restores on a move (written once, before the handshake is posted) ----
    uint32_t CtxInitialFlags = 0;
    uint32_t CtxInitial2Flags = 0;

    // ---- membership part: the networks' bookkeeping (heartbeat thread) ----
    TQORClientPrivilege CliPrivilege GAX_GUARDED_BY(kHeartbeat) = clpr_USER;
    bool CliDiffersWithBlocks GAX_GUARDED_BY(kHeartbeat) = false;
    bool CliDiffersWithMutes GAX_GUARDED_BY(kHeartbeat) = false;
    bool CliDiffersWithAdmins GAX_GUARDED_BY(kHeartbeat) = false;
    bool CliDiffersWithRights GAX_GUARDED_BY(kHeartbeat) = false;
    bool CliDiffersWithServOwner GAX_GUARDED_BY(kHeartbeat) = false;
    bool InDupl GAX_GUARDED_BY(kHeartbeat) = false;
    TGaxTick32 SessionStartTick GAX_GUARDED_BY(kHeartbeat) = 0;
    int32_t SessionLifeTime GAX_GUARDED_BY(kHeartbeat) = 0;
    TGaxTick32 CliTxStartTick GAX_GUARDED_BY(kHeartbeat) = 0;
    TGaxTick32 QuarantineStartTick GAX_GUARDED_BY(kHeartbeat) = 0;
    int32_t OffsetInClientsListV0 GAX_GUARDED_BY(kHeartbeat) = 0;
    FastStringA* pNetworkClientsListV0 GAX_GUARDED_BY(kHeartbeat) = nullptr;
    int32_t OffsetInClientsListV1FU GAX_GUARDED_BY(kHeartbeat) = 0;
    FastStringA* pNetworkClientsListV1FU GAX_GUARDED_BY(kHeartbeat) = nullptr;
    FastStringA* pNetworkClientsListV1DU GAX_GUARDED_BY(kHeartbeat) = nullptr;
    // When the network last admitted it (a connect or a move).
    TGaxTick32 tmAdmittedTick GAX_GUARDED_BY(kHeartbeat) = 0;
    int32_t CliManagersAnswerCount GAX_GUARDED_BY(kHeartbeat) = 0;
    std::array<TQORSVCContextManagerInfo, kQORManagerSlots> CliManagersInfo GAX_GUARDED_BY(kHeartbeat);
    bool CtxMovingFromNetToNet GAX_GUARDED_BY(kHeartbeat) = false;
    // The network a move took it from, for the arrival's log line.
    std::u16string CtxMovedFromNetName GAX_GUARDED_BY(kHeartbeat);
    TQORSVCClientNetwork* CtxMovedFromNetwork GAX_GUARDED_BY(kHeartbeat) = nullptr;
    int32_t CtxMovedTime GAX_GUARDED_BY(kHeartbeat) = 0;
    TQORSVCCtxRef CtxSpeakerInfoLastContext GAX_GUARDED_BY(kHeartbeat);
    TQORGlobalKey CtxSpeakerInfoLastGlobalKey GAX_GUARDED_BY(kHeartbeat) = static_cast<TQORGlobalKey>(-1);
    int32_t CtxSpeakerInfoLastModifyCount GAX_GUARDED_BY(kHeartbeat) = -1;
    TQORSVCCtxRef CtxMessengerInfoLastContext GAX_GUARDED_BY(kHeartbeat);
    TQORGlobalKey CtxMessengerInfoLastGlobalKey GAX_GUARDED_BY(kHeartbeat) = static_cast<TQORGlobalKey>(-1);
    int32_t CtxMessengerInfoLastModifyCount GAX_GUARDED_BY(kHeartbeat) = 0;
    int32_t CtxCacheIndex GAX_GUARDED_BY(kHeartbeat) = -1;
    int32_t CtxCacheLastSpeakerIndex GAX_GUARDED_BY(kHeartbeat) = -1;
    int32_t CtxCacheLastMessengerIndex GAX_GUARDED_BY(kHeartbeat) = -1;
    // Written by the heartbeat at admission, before the worker takes the session.
    bool ExceededConnectionsPerAddress GAX_GUARDED_BY(kHeartbeat) = false;
    bool ExceededConnectionsTotal GAX_GUARDED_BY(kHeartbeat) = false;
    int32_t CtxModifyCounter GAX_GUARDED_BY(kHeartbeat) = 0;

  protected:
    // Marks the session as the Parrot (its own constructor, before any other thread sees it).
    void SetParrotIdentity() { CtxFlagsSet(QOR_CF_PARROT); }
    // The Parrot's client texts, id and network (gax_qor_svc_parrot.cpp).
    void AssignParrotIdentity(std::string_view aClientId, TQORSVCClientNetwork* aNetwork,
                              std::string_view aDescription) GAX_REQUIRES(kHeartbeat);
    // A new description in every form, with the list items rebuilt.
    void AssignParrotDescription(std::string_view aDescription) GAX_REQUIRES(kHeartbeat);

  private:
    void PostToHeartbeat(TQORServNetworkCommand aCmd, std::string aData = {});
    // The admission's decisions of tmProcessAttributes, before they are published.
    void tmDecideStanding() GAX_REQUIRES(kHeartbeat);
    // Refusal of the connect string before the BLOCK point: cause, error line, no answer.
    void RefuseConnect(std::u16string_view aText);
    void BuildTransportBlock();
    // The UTF-16 block entries 0..7 widened byte by byte from the 8-bit fields.
    void WidenAnsiFields();
    void MakeSortKeys();

    TQORSVCClientService& e_Facts;

    std::atomic<uint32_t> f_CtxFlags{QOR_CF_INITIAL};
    std::atomic<uint32_t> f_Ctx2Flags{0};
    // Privilege in the high half, granted extension flags in the low half.
    std::atomic<uint64_t> f_PublishedRights{0};

    TQORTxApprovalV0_1 f_TxApprovalV0_1 GAX_GUARDED_BY(kHeartbeat);
    int32_t f_CtxCacheSize GAX_GUARDED_BY(kHeartbeat) = 0;
    std::vector<uint32_t> f_CtxCacheArray GAX_GUARDED_BY(kHeartbeat);
    // What the connect string found (written by the worker before the handshake is posted).
    TQORSVCClientNetwork* f_ConnectNetwork = nullptr;
    TClientErrorType f_ConnectError = TClientErrorType::cet_NONE;
    uint32_t f_ConnectExtFlags = 0;
    TQORSVCClientNetwork* f_Network GAX_GUARDED_BY(kHeartbeat) = nullptr;
    TQORClientType f_ClientType = clt_PC;
    TClientErrorType f_ClientError GAX_GUARDED_BY(kHeartbeat) = TClientErrorType::cet_NONE;
    uint32_t f_AnswExtFlags GAX_GUARDED_BY(kHeartbeat) = 0;
    uint32_t f_OriginallyRequestedExtFlags = 0;
    uint32_t f_RequestExtFlags = 0;
    std::array<std::u16string, kQORUnicodeBlockSize> f_UnicodeBlock;
    std::u16string f_CliHashA2;
    std::u16string f_WishedNetworkUCS2;
    std::u16string f_WishedNetworkA2;
    std::string f_VisualSortKey;
    std::string f_TransportBlock;
    std::string f_EMailANSI, f_EMailSort, f_CallsignOpnameANSISort, f_EMailUTF8, f_CliHashA;
    std::string f_PasswordANSI, f_PasswordUTF8, f_CallsignOpnameANSI, f_CallsignOpnameUTF8;
    std::string f_BandChannelANSI, f_BandChannelUTF8, f_CityCityPartANSI, f_CityCityPartUTF8;
    std::string f_CountryANSI, f_CountryUTF8, f_DescriptionANSI, f_DescriptionUTF8;
    std::string f_WishedNetworkA, f_WishedNetworkUTF8;
    std::string f_ClientListItemV0 GAX_GUARDED_BY(kHeartbeat);
    std::string f_ClientListItemV1A GAX_GUARDED_BY(kHeartbeat);
    std::string f_ClientListItemV1U GAX_GUARDED_BY(kHeartbeat);
    bool f_V1UIsV1A GAX_GUARDED_BY(kHeartbeat) = true;
    std::string f_LastClientVersionA;
    uint32_t f_ProtocolFlags = 0;
    int32_t f_ActLikeServerVersion = kQORActLikeServerVersion;
    int32_t f_LastClientVersion = kQORActLikeServerVersion;
    bool f_CliUtf8 = false;
    uint16_t f_QORNetworkIndex GAX_GUARDED_BY(kHeartbeat) = 0;
};

}  // namespace gax
