// TQORSVCContextParrot: the echo pseudo-client of a network. It records the
// next transmission any member makes, waits a pause, takes the floor and plays
// the recording back a set number of times, so that a new user can hear how
// they sound. It has no socket and no worker: the network sends it bytes like
// any member (vSendBytes), and it speaks by posting the same server-queue
// records a client's session posts for a floor request, a sound frame, an end
// of transmission and a text message to all.
//
// Threads and ownership: created, driven and freed by its network on the
// heartbeat thread; every field belongs to that thread. Its posts reach the
// network in the same heartbeat pass (its heartbeat runs before the server
// queue is read).
//
// REQUIRES: the host, the facts and the network outlive the parrot; the clock
// gives the heartbeat's tick.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/gax_qor_svc_context.h"
#include "server/gax_qor_svc_netoptions.h"
#include "server/gax_qor_svc_tick.h"

namespace gax {

enum class TQORSVCParrotState : uint8_t { sps_IDLE = 0, sps_RX = 1, sps_WAIT_PAUSE = 2, sps_TX = 3 };

inline constexpr int32_t kParrotFrameBytes = 328;  // marker, talker index, 325 sound bytes
inline constexpr int32_t kParrotFrameTicks = 200;
inline constexpr int32_t kParrotBlockFrames = 50;
inline constexpr int32_t kParrotMaxFrames = 1500;  // 300 s
inline constexpr uint32_t kParrotCtxFlags = 0x00300D20;

// The client id every parrot has: the id of a text made of one blank.
std::string ParrotClientId();
// The id of the aggregate list's pseudo-client ("All others"): the id of a
// text made of two blanks. Aggregate-list clients see every sender as it, and
// a message addressed to it goes to everybody.
std::string AggregateClientId();

class TQORSVCContextParrot final : public TQORSVCContext {
  public:
    // aSpeechLimitTicks: the network's speech limit in ms, 0 without one.
    TQORSVCContextParrot(TQORSVCHost* aHost, TQORSVCClientService& aFacts,
                         TQORSVCClientNetwork* aNetwork, const TQORSVCParrotOptions& aOptions,
                         TGaxTick32 aSpeechLimitTicks, const TQORClock& aClock);
    ~TQORSVCContextParrot() override;

    // ---- the parrot as a receiver ----
    void vSendBytes(const void* aBuffer, int32_t aLen) override GAX_REQUIRES(kHeartbeat);
    void vSendBytesDontWakeWorker(const void* aBuffer, int32_t aLen) override GAX_REQUIRES(kHeartbeat) {
        vSendBytes(aBuffer, aLen);
    }
    void vSendBytesAnswerOK(const void*, int32_t) override {}
    void vSendBytesFlushAndTerm(const void*, int32_t) override {}

    // ---- worker-facing slots: never used, the parrot has no worker ----
    void vFlush() override {}
    void vAbortConnection() override {}
    std::string vGetPeerName() override { return "Parrot"; }
    void vExecStart(TQORSVCStepParams&) override {}
    TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams&) override { return wer__Error; }
    TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams&) override { return wer__Error; }
    bool vExecTimeout(TQORSVCStepParams&) override { return true; }

    // The network calls it while Busy(): it asks for the floor after the pause
    // and plays the frames that are due.
    void ParrotHeartBeat(TGaxTick32 aTick);
    bool Busy() const {
        return f_ParrotState == TQORSVCParrotState::sps_WAIT_PAUSE ||
               f_ParrotState == TQORSVCParrotState::sps_TX;
    }

    // The direct message a newcomer gets; empty with ParrotMessageDisable.
    std::string_view GetParrotDirectMessage() const;
    // The answer text to a start or stop word (aBefore: started before the word).
    std::string_view GetParrotMessage(bool aBefore, bool aStart, bool aStop) const;

    TQORSVCParrotState ParrotState() const { return f_ParrotState; }
    int32_t AllocatedFrames() const { return f_AllocatedFrames; }
    int32_t UsedFrames() const { return f_Used_Frames; }
    TGaxTick32 UsedTicks() const { return f_Used_Ticks; }
    bool ParrotStarted() const { return f_ParrotStarted; }
    const TQORSVCParrotOptions& ParrotOptions() const { return f_ParrotOpts; }

  private:
    using Frame = std::array<char, kParrotFrameBytes>;
    using Block = std::array<Frame, kParrotBlockFrames>;

    void HandleTextMessage(const char* aBuffer, int32_t aLen) GAX_REQUIRES(kHeartbeat);
    void SendParrotMessage(bool aBefore, bool aStart, bool aStop);
    void StopPlayback();
    void DropRecording();
    void PlayDueFrames(TGaxTick32 aTick);
    void TrimBuffers(int32_t aFrames);
    void PostText(std::string_view aText);
    void UpdateDescription() GAX_REQUIRES(kHeartbeat);
    static std::string DirectFrame(std::string_view aId, std::string_view aText);

    const TQORClock& e_Clock;
    int32_t f_AllocatedFrames = 0;
    int32_t f_Used_Frames = 0;
    TGaxTick32 f_Used_Ticks = 0;
    std::vector<std::unique_ptr<Block>> f_Buffers;
    TQORSVCParrotState f_ParrotState = TQORSVCParrotState::sps_IDLE;
    TGaxTick32 f_PauseStartTick = 0;
    TGaxTick32 f_TxStartTick = 0;
    TGaxTick32 f_RxStartTick = 0;
    TGaxTick32 f_TxApprovedTick = 0;
    TGaxTick32 f_SpeechLimitTicks = 0;
    bool f_ParrotStarted = true;
    TQORSVCParrotOptions f_ParrotOpts;
    int32_t f_PlayFrameIdx = 0;
    int32_t f_PlayRptCnt = 0;
    std::string f_ParrotId;
    std::string f_dstarted_sse, f_dstopped_sse, f_dstarted, f_dstopped;
};

}  // namespace gax
