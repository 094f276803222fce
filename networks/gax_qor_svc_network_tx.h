// The floor of one network and the relay of what its members say: who may
// transmit (grant, refusal, repeat, speech limit, pause after a release, the
// rate watch), the fan-out of sound frames with the speaker information and
// the list cache, and the relay of text messages to one member or to all.
//
// Threads: owned by the network and run on the heartbeat thread only, inside
// the network's heartbeat; nothing is locked. The network sets the heartbeat
// tick before it dispatches the pass's records (a test sets it as its clock).
//
// REQUIRES: the members span handed to the fan-out stays the network's
// visible order; a context handed to any operation is a member of this
// network and is passed to ForgetContext before it is freed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "networks/gax_qor_svc_network_frames.h"

namespace gax {

struct TQORNetTxOptions {
    bool ExplicitTxReject = false;    // a refused "TX0" gets 0x00
    uint32_t SpeechPauseTicks = 0;    // pause after every release (0: none)
    bool SpeechLimit = false;         // the floor is taken back after MaxSpeechTicks
    uint32_t MaxSpeechTicks = 0;
    uint32_t ActivityTimeoutTicks = 8000;  // the client activity time-out
    std::string AggregateId;          // the aggregate pseudo-client's 24-byte id
};

class TQORNetRelay {
  public:
    TQORNetRelay(TQORNetFanout& aFanout, TQORNetTxOptions aOptions);

    TQORNetTxOptions& Options() { return f_Options; }
    void SetHeartBeatTick(TGaxTick32 aTick) { f_HeartBeatTick = aTick; }
    TGaxTick32 HeartBeatTick() const { return f_HeartBeatTick; }
    // Finds an admitted member of the network by its client id (or null).
    void SetFindAdmitted(std::function<TQORSVCContext*(std::string_view)> aFind) {
        e_FindAdmitted = std::move(aFind);
    }

    // ---- the floor ----
    TQORSVCContext* SpeakingContext() const { return e_SpeakingContext; }
    bool SpeechPause() const { return netSpeechPauseFlag; }
    int32_t EmulatedTxCount() const { return f_Cntr_EmulatedTx; }
    int32_t TxBehaveSummator() const { return f_TxBehaveSummator; }
    TGaxTick32 LastTxSoundFrameTick() const { return f_LastTxSoundFrameTick; }
    void SetLastTxSoundFrameTick(TGaxTick32 aTick) { f_LastTxSoundFrameTick = aTick; }

    bool AcquareTX(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // The former talker, or null when aCtx did not hold the floor.
    TQORSVCContext* ReleaseTX_IfEqual(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // Release and, when it released, 0x00 to every member that takes sounds.
    void TXStop(TQORSVCContext* aSpeakingContext) GAX_REQUIRES(kHeartbeat);
    // Ends an elapsed pause (the heartbeat pass).
    void EndSpeechPauseIfDue();
    TGaxTick32 SpeechPauseStartTick() const { return f_SpeechPauseStartTick; }
    void EndSpeechPause() { netSpeechPauseFlag = false; }

    void tmTxRequest(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    void tmRxRequest(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // Rate watch and speech limit for the talker; at every relayed frame and
    // at every ping while somebody holds the floor.
    void tmCheckTxBehaviour(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);

    // ---- sound and text ----
    // aFrame: "TX1" and 325 sound bytes (long) or "TX8" and 65 (short); the
    // first three bytes are overwritten and the buffer relayed as it is.
    void tmTxSoundLong(TQORSVCContext* aCtx, std::string& aFrame) GAX_REQUIRES(kHeartbeat);
    void tmTxSoundShort(TQORSVCContext* aCtx, std::string& aFrame) GAX_REQUIRES(kHeartbeat);
    // aTo: the addressee's id (empty for all); aFrame: the finished 0x04
    // frame; aPAOffset: where its "P"/"A" byte stands.
    void tmMessageV0(TQORSVCContext* aCtx, std::string_view aTo, std::string& aFrame,
                     int32_t aPAOffset) GAX_REQUIRES(kHeartbeat);
    // aBuf: the 0x04 frame (aLen1 bytes) at 0 and the 0x85 frame from aOffset2
    // to the end; aPA1/aPA2 the offsets of their "P"/"A" bytes.
    void tmMessageV1(TQORSVCContext* aCtx, std::string_view aTo, std::string& aBuf,
                     int32_t aLen1, int32_t aOffset2, int32_t aPA1, int32_t aPA2) GAX_REQUIRES(kHeartbeat);
    void FlushShortBuffersToLongClients() GAX_REQUIRES(kHeartbeat);
    // The frames of a ping (every 500 ms): the sound-acknowledgement beats,
    // the keep-alive of a free floor, or, while somebody holds it, the rate
    // watch and speech limit and then the talker's beat, a second of
    // silence for the listeners when the talker sent nothing for 1000 ms,
    // and the "floor taken" byte for members that take no sound. Whether the
    // floor is free is decided before the talker check: a talk the check
    // ends gets its release byte only, not a keep-alive as well.
    void PingFrames() GAX_REQUIRES(kHeartbeat);

    // A member leaves for good: the floor, its emulated transmission and its
    // cache slot are taken back without a frame. Afterwards it is neither the
    // talker nor a slot owner.
    void ForgetContext(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // A disconnect-all: the floor is released without a frame.
    void ReleaseSilently() GAX_REQUIRES(kHeartbeat);

    TQORNetListCache& Cache() { return f_Cache; }
    const std::string& SpeakerInfo() const { return f_SpeakerInfoUTF8; }

  private:
    void PrepareMessengerInfo(TQORSVCContext* aSender) GAX_REQUIRES(kHeartbeat);
    void SoundFanout(const char* aFrame, int32_t aLen, bool aShortClients) GAX_REQUIRES(kHeartbeat);
    void BuildAggregateCopy(std::string_view aFrame, int32_t aPAOffset);
    void MessageToAll(TQORSVCContext* aSender, bool aV1, const char* aFrameA, int32_t aLenA,
                      const char* aFrameU, int32_t aLenU) GAX_REQUIRES(kHeartbeat);
    void MessageToOne(TQORSVCContext* aSender, TQORSVCContext* aTo, bool aV1,
                      const char* aFrameA, int32_t aLenA, const char* aFrameU, int32_t aLenU) GAX_REQUIRES(kHeartbeat);
    bool IsAggregateId(std::string_view aTo) const;
    void SendOneSafe(TQORSVCContext* aCtx, const char* aOp, const void* aP, int32_t aLen,
                     bool aWake);

    TQORNetFanout& e_Fanout;
    TQORNetListCache f_Cache;
    TQORNetTxOptions f_Options;
    std::function<TQORSVCContext*(std::string_view)> e_FindAdmitted;
    TGaxTick32 f_HeartBeatTick = 0;

    TQORSVCContext* e_SpeakingContext = nullptr;
    bool netSpeechPauseFlag = false;
    TGaxTick32 f_SpeechPauseStartTick = 0;
    TGaxTick32 f_LastTxSoundFrameTick = 0;
    TGaxTick32 f_TxBehaveTick = 0;
    int32_t f_TxBehaveThreshold = 0;
    int32_t f_TxBehaveSummator = 0;
    int32_t f_Cntr_EmulatedTx = 0;

    TQORGlobalKey f_SpeakerInfoLastGlobalKey = 0;
    int32_t f_SpeakerInfoLastModifyCounter = -1;
    std::string f_SpeakerInfoUTF8;
    TQORGlobalKey f_MessengerInfoLastGlobalKey = 0;
    int32_t f_MessengerInfoLastModifyCounter = -1;
    std::string f_MessengerInfoUTF8;

    int32_t f_ShortBufferCount = 0;
    std::string f_ShortBufferDemfer;  // a long frame collected from short ones
    std::string f_AggrLong;           // the long frame with index 00 01
    std::string f_ZeroLong;           // 0x02 and five silence blocks
    std::string f_ZeroShort;          // 0x81 and one silence block
    std::string f_Scratch;            // aggregate copy of a message, one-off frames
};

}  // namespace gax
