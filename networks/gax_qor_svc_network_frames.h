// The frames a network sends to its clients, the fan-out that hands one frame
// to many members by a test on their flag words, and the network's 32-slot
// list cache through which cache clients learn who talks or writes without a
// new list.
//
// Threads: everything here runs on the heartbeat thread inside the network's
// heartbeat; nothing is locked. The members' output buffers copy the bytes, so
// a frame built in a shared buffer may be rebuilt at once; a TSharedFrame is
// held by reference instead and never changes.
//
// A member matches a group of mask m and value v when (its CtxFlags AND the
// network flags AND m) = v; a group with mask 0 and value 1 never matches.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/gax_faststring.h"
#include "server/gax_qor_svc_context.h"

namespace gax {

// ---- frame catalogue (first byte of every server-to-client frame) ----
inline constexpr uint8_t QOR_FR_KEEPALIVE = 0x00;  // also end of transmission and refusal
inline constexpr uint8_t QOR_FR_TX_APPROVAL = 0x01;
inline constexpr uint8_t QOR_FR_SOUND_LONG = 0x02;
inline constexpr uint8_t QOR_FR_CLIENTS_V0 = 0x03;
inline constexpr uint8_t QOR_FR_MESSAGE_A = 0x04;
inline constexpr uint8_t QOR_FR_NETWORKS = 0x05;
inline constexpr uint8_t QOR_FR_SOUND_SHORT = 0x81;
inline constexpr uint8_t QOR_FR_COUNT_LIST = 0x82;
inline constexpr uint8_t QOR_FR_CLIENTS_V1FU = 0x83;
inline constexpr uint8_t QOR_FR_CLIENTS_V1DU = 0x84;
inline constexpr uint8_t QOR_FR_MESSAGE_U = 0x85;
inline constexpr uint8_t QOR_FR_SOUND_ACK = 0x89;
inline constexpr uint8_t QOR_FR_SPEAKER_INFO = 0x8E;
inline constexpr uint8_t QOR_FR_MESSENGER_INFO = 0x8F;
inline constexpr uint8_t QOR_FR_NET_CHANGE = 0x90;
inline constexpr uint8_t QOR_FR_CACHE_SET = 0x91;
inline constexpr uint8_t QOR_FR_SPEAKER_INDEX = 0x92;
inline constexpr uint8_t QOR_FR_MESSENGER_INDEX = 0x93;

inline constexpr int32_t kQORSoundBlockLen = 65;
inline constexpr int32_t kQORSoundLongLen = 3 + 5 * kQORSoundBlockLen;  // 328
inline constexpr int32_t kQORSoundShortLen = 3 + kQORSoundBlockLen;     // 68
inline constexpr int32_t kQORClientIdLen = 24;
inline constexpr int32_t kQORCacheSlots = 32;

// The network flag bit that holds while somebody has the floor.
inline constexpr uint32_t QOR_NF_SPEAKING = 0x800;

// Two GSM 06.10 frames of silence in the 65-byte packed form.
extern const std::array<uint8_t, kQORSoundBlockLen> kQORSilenceBlock;

// The members a fan-out walks (the network's visible order, owned by its
// client lists); walked from the last to the first.
using TQORNetMembers = std::vector<TQORSVCContext*>;

// One fan-out request.
struct TQORNetSendParams {
    TQORSVCContext* sp_ExceptContext = nullptr;
    uint32_t sp_FlagsMask = 0;
    uint32_t sp_FlagsValue = 1;
    const void* sp_DataPtr = nullptr;
    int32_t sp_DataLen = 0;
};

// Two requests tested in order against every member.
struct TQORNetSend2Params {
    TQORSVCContext* sp2_ExceptContext = nullptr;
    uint32_t sp2_Flags1Mask = 0;
    uint32_t sp2_Flags1Value = 1;
    const void* sp2_Data1Ptr = nullptr;
    int32_t sp2_Data1Len = 0;
    uint32_t sp2_Flags2Mask = 0;
    uint32_t sp2_Flags2Value = 1;
    const void* sp2_Data2Ptr = nullptr;
    int32_t sp2_Data2Len = 0;
};

struct TQORNetSendGroup {
    uint32_t Mask = 0;
    uint32_t Value = 1;  // never matches until set
    const void* Ptr = nullptr;
    int32_t Len = 0;
};

// What the sound and message fan-outs send: per member first the
// information frame (once per change of talker or sender and its item), then
// the cache frames, then the data groups in their order.
struct TQORNetFanoutDescr {
    TQORSVCContext* Except = nullptr;
    bool Message = false;  // messenger keys and index instead of the speaker's
    TQORNetSendGroup Info;
    TQORGlobalKey InfoKey = 0;
    int32_t InfoCounter = 0;
    TQORNetSendGroup Cache;  // Ptr/Len: the 0x91 frame
    int32_t CacheSlot = -1;
    const FastStringA* CacheIndexFrame = nullptr;  // 0x92 or 0x93
    std::array<TQORNetSendGroup, 4> Data;
};

// Where fan-out failures are reported: the member is terminated with the
// cause and the line goes to the log; the fan-out goes on.
class TQORNetFanout {
  public:
    // aLog: where error lines go (may be empty: no log); aLogPrefix: the
    // network's log prefix.
    TQORNetFanout(std::function<void(std::u16string)> aLog, std::u16string aLogPrefix)
        : e_Log(std::move(aLog)), f_LogPrefix(std::move(aLogPrefix)) {}

    // The network's prefix changes once its index is known.
    void SetLogPrefix(std::u16string aPrefix) { f_LogPrefix = std::move(aPrefix); }
    void SetNetFlags(uint32_t aFlags) { f_NetFlags = aFlags; }
    uint32_t NetFlags() const { return f_NetFlags; }
    // REQUIRES: aMembers outlives the fan-out.
    void SetMembers(const TQORNetMembers* aMembers) { f_Members = aMembers; }
    const TQORNetMembers& Members() const { return *f_Members; }

    void SendData(const TQORNetSendParams& aPar) GAX_REQUIRES(kHeartbeat);
    void SendDataDontWakeWorker(const TQORNetSendParams& aPar) GAX_REQUIRES(kHeartbeat);
    // SendData of the frames the network beats with every 500 ms: members
    // whose output is idle get them in one batched send from this thread,
    // so that a ping does not wake every worker of the server.
    void SendDataThrough(const TQORNetSendParams& aPar) GAX_REQUIRES(kHeartbeat);
    void SendData2(const TQORNetSend2Params& aPar) GAX_REQUIRES(kHeartbeat);
    // SendData of a frame built once for all members: each member's buffer
    // holds it by reference (the data pointer and length of aPar are not used).
    void SendDataShared(const TQORNetSendParams& aPar, const TSharedFrame& aFrame) GAX_REQUIRES(kHeartbeat);
    // The same for the aggregate list: a matching member gets the shared list
    // without waking, then its own V0 item.
    void SendAggrListShared(const TQORNetSendParams& aPar, const TSharedFrame& aFrame) GAX_REQUIRES(kHeartbeat);
    void SendKAToAll(TQORSVCContext* aExcept) GAX_REQUIRES(kHeartbeat);
    // The sound fan-out ANDs in the network flags; the message one does not.
    void SendSound(const TQORNetFanoutDescr& aDescr) GAX_REQUIRES(kHeartbeat) { Fanout(aDescr, f_NetFlags); }
    void SendMessage(const TQORNetFanoutDescr& aDescr) GAX_REQUIRES(kHeartbeat) { Fanout(aDescr, 0xFFFFFFFFu); }

    // Terminates aCtx for a failed send and logs it (also used by callers
    // that send to one member).
    void SendFailed(TQORSVCContext* aCtx, const char* aOperation, const std::exception* aError);

  private:
    template <class F>
    void Walk(const char* aOperation, TQORSVCContext* aExcept, F&& aEach) GAX_REQUIRES(kHeartbeat);
    // Walk over the members whose flags, under the network's share of the
    // mask of aPar, have its value.
    template <class F>
    void WalkMatching(const char* aOperation, const TQORNetSendParams& aPar, F&& aEach)
        GAX_REQUIRES(kHeartbeat);
    void Fanout(const TQORNetFanoutDescr& aDescr, uint32_t aNetFlags) GAX_REQUIRES(kHeartbeat);

    std::function<void(std::u16string)> e_Log;
    std::u16string f_LogPrefix;
    static inline const TQORNetMembers kNoMembers{};
    const TQORNetMembers* f_Members = &kNoMembers;
    uint32_t f_NetFlags = 0xFFFFFFFFu & ~QOR_NF_SPEAKING;
};

// The network's list cache: 32 slots handed to talkers and senders, least
// recently used first out, with the prebuilt 0x91, 0x92 and 0x93 frames.
// Each cache member keeps one bit per slot it was told about.
class TQORNetListCache {
  public:
    explicit TQORNetListCache(TQORNetFanout& aFanout);

    // Gives aCtx a slot (evicting the least recently used owner when none is
    // free), marks it most recently used and brings the 0x91 frame up to
    // date. A changed item of the owner clears the slot's bit in every
    // member, so that the new item is sent. Returns the slot.
    int32_t CacheSlotAssign(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // Takes aCtx's slot back (no effect without one).
    void CacheSlotRelease(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void ClearCacheBitInClients(int32_t aWordIndex, uint32_t aKeepMask) GAX_REQUIRES(kHeartbeat);
    // Slot and 0x91 for the talker; the 0x92 frame when the slot changed.
    void PrepareSpeakerIndex(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // Slot and 0x91 for a sender; the 0x93 frame when the slot changed.
    void PrepareMessengerIndex(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // Whether the 0x91 and 0x92 frames are those of aCtx's current slot and data.
    bool SpeakerFramesCurrent(const TQORSVCContext* aCtx) const GAX_REQUIRES(kHeartbeat);

    const FastStringA& CacheSetCmd() const { return f_CacheSetCmd; }
    const FastStringA& SpeakerIndexCmd() const { return f_CacheSpeakerIndexCmd; }
    const FastStringA& MessengerIndexCmd() const { return f_CacheMessengerIndexCmd; }
    int32_t SpeakerIndexLastIndex() const { return f_CacheSpeakerIndexLastIndex; }
    int32_t MessengerIndexLastIndex() const { return f_CacheMessengerIndexLastIndex; }
    // Owners in use order, least recently used first.
    size_t UsedSlots() const { return f_SortArray.size(); }
    bool OwnsSlot(const TQORSVCContext* aCtx) const;

    // 0x93 I(slot) CR LF.
    static void BuildIndexFrame(FastStringA& aF, uint8_t aMarker, int32_t aSlot);

  private:
    struct Use {
        TQORSVCContext* Ctx;
        int32_t Slot;
    };
    struct SlotData {
        TQORGlobalKey Key = 0;
        int32_t Counter = -1;
    };

    TQORNetFanout& e_Fanout;
    std::vector<int32_t> f_Free;   // popped from the back: slots go out 0, 1, 2, ...
    std::vector<Use> f_SortArray;  // least recently used first
    std::array<SlotData, kQORCacheSlots> f_SlotData{};
    FastStringA f_CacheSetCmd{64};
    int32_t f_CacheSetLastIndex = -1;
    TQORGlobalKey f_CacheSetLastGlobalKey = 0;
    int32_t f_CacheSetLastModifyCounter = -1;
    FastStringA f_CacheSpeakerIndexCmd{8};
    int32_t f_CacheSpeakerIndexLastIndex = -1;
    FastStringA f_CacheMessengerIndexCmd{8};
    int32_t f_CacheMessengerIndexLastIndex = -1;
};

// Whether aCtx's cache holds aSlot (a client without a cache array holds none).
bool CtxCacheHas(const TQORSVCContext& aCtx, int32_t aSlot) GAX_REQUIRES(kHeartbeat);
void CtxCacheSet(TQORSVCContext& aCtx, int32_t aSlot) GAX_REQUIRES(kHeartbeat);

}  // namespace gax
