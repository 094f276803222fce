// TQORSVCContextSNPS: a client session on a real TCP connection. It reads the
// client's bytes with a line collector, writes through a thread-safe output
// buffer and runs the client protocol as a state machine in its step: the
// first three bytes, the connect string, the wait for the heartbeat's answer,
// then commands, sound and text until the session ends.
//
// Threads and ownership:
// - The listener thread constructs the session (the heartbeat when the
//   listener could not); the heartbeat admits it (tmAdmitted) and hands it to
//   a worker, through the worker's queue, before which no other thread has
//   seen it. The worker alone runs vExecStart/vExecStep/vExecParameters/vExecTimeout/
//   vExecStop and owns the collector, the socket and every f_ field not named
//   below.
// - The heartbeat thread (networks, service) calls the vSendBytes family and
//   vOutputBufferLimit. They touch only the output buffer (its own lock), the
//   interrupt word and the leaving bit (atomics), f_SocketClosed (atomic) and
//   the over-limit pair (f_OverLimit atomic, since the worker's flush clears
//   it; f_LastOverlimitTick is the heartbeat's alone).
// - A relay frame (vSendSharedThrough) is sent by the heartbeat itself when
//   the buffer is idle (one frame's sends to all listeners go out in one
//   batch), and the worker is woken only for what stays pending.
//   The socket is therefore closed through the output buffer, which leaves
//   the close to a send that is running on the heartbeat.
//
// Flow control: the waiter is asked to read only while a read operation runs,
// to watch for the peer's close only while the session waits for its answer
// (or for its refusal to be written out), and to wait for room only while the
// output buffer is blocked, so a client that sends bytes at the wrong time
// never makes the worker spin. The output buffer has a hard cap (limit x
// factor, and never below kOutputHardCapFloor); a client that lets it fill is
// dropped with fsdc_BandWidthLimit. The cap is for a reader that does not
// read: a reader that reads but lags is judged by the over-limit rule
// (vOutputBufferLimit), and what one sender can put in flight is bounded by
// the backpressure below, so no burst of a network's members reaches the cap.
//
// Backpressure on what the client sends: every record its input makes is
// counted in flight until the heartbeat has handled it; above the work
// context's high mark, or with the server queue above its own, the worker
// stops reading the socket (it watches only for the close) and TCP slows the
// sender. The heartbeat resumes it below the low marks. A client that keeps
// sending this way is slowed, not dropped: its rate is what the server
// handles, and the rules that drop a client judge its reading and its talk,
// not how fast it writes text. A held reader's activity time-out waits, since
// the server, not the client, is the one behind; a peer that closes while
// held has what is left read out (bounded by what the kernel holds).
//
// Keep-alives in batches: a session with nothing urgent going on (handshake
// done, no floor held or being taken, no sound, partial line or record of its
// own in flight, no output waiting for room, not held or closing) is watched
// batched (wf_Batched), so its keep-alives are read with its worker's other
// idle sessions' at the next batch grid point instead of waking the worker
// each. The floor is the heartbeat's: the worker learns it holds it from the
// speaker bit the heartbeat publishes in CtxFlags; between asking for it and
// that answer the session counts as taking it. Each step recomputes this, and
// the heartbeat's answers reach the worker as output, which runs a step.
//
// Floor holder read by the heartbeat: while the session holds the floor (the
// speaker bit) and nothing else needs its worker (no close, end or answer
// under way, reader not held, output not waiting for room) its worker lends
// it to the heartbeat, which reads its frames where it fans them out. The
// heartbeat then owns every field the worker owned; the hand-overs go through
// the server queue and the worker's work queue, which order them.
//
// REQUIRES: the host and the facts outlive the session; the socket is a
// connected TCP socket that the session owns from construction on.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "server/gax_qor_svc_clientcmds.h"
#include "server/gax_qor_svc_context.h"
#include "server/gax_qor_svc_handshake.h"
#include "sockets/gax_snps_asyncwriter.h"
#include "sockets/gax_snps_collector.h"

namespace gax {

class TQORSVCContextSNPS final : public TQORSVCContext {
  public:
    static constexpr int kInputBufferSize = 3072;
    static constexpr int kOutputBufferSize = 1024;
    static constexpr int kMaxLineLen = 2300;
    static constexpr int kReadBudget = 4096;
    // Kernel send buffer: small enough that a client that stops reading shows
    // up in the output buffer, where the bandwidth check sees it, and large
    // enough that a full 8-bit list of a crowded network (about 143 KB) goes
    // in one send: at 64 KB each list took a second send after a wait for
    // room, and a burst of lists to 1,000 members cost about 15% more CPU.
    static constexpr int kSocketSendBuffer = 128 * 1024;
    // The least hard cap on the output: above what a burst of text in a busy
    // network leaves queued for a reader that reads (20,000 lines of text,
    // about 2.5 MB, with room to spare).
    static constexpr size_t kOutputHardCapFloor = 16u * 1024 * 1024;
    // How long a floor request or a sound frame keeps the session watched at
    // once without the speaker bit: more than the heartbeat takes to answer.
    static constexpr TGaxTick32 kFloorClaimMs = 1000;

    TQORSVCContextSNPS(TQORSVCHost* aHost, TQORSVCClientService& aFacts, TSocket aSocket,
                       std::string aPeerAddrBin, int32_t aPeerPort);
    ~TQORSVCContextSNPS() override;
    // Takes a socket into a session built without one (aSocket invalid at
    // construction). It cannot fail, so a builder that raised before it was
    // called still owns the socket, and one that got here never does.
    void AttachSocket(TSocket aSocket) noexcept;
    // The admission's verdict, before a worker gets the session. aMarked:
    // admitted over a connection limit, so it gets one second for its
    // connect string.
    void tmAdmitted(bool aMarked) GAX_REQUIRES(kHeartbeat);

    void vFlush() override;
    void vAbortConnection() override { vCloseSocket(); }
    void vSetDisconnectCauseOnTimeout() override;
    void vExecStart(TQORSVCStepParams& aPar) override;
    TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams& aPar) override;
    TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams& aPar) override;
    bool vExecTimeout(TQORSVCStepParams& aPar) override;
    void vExecStop(TQORSVCWorker* aWorker) override;
    void vCloseSocket() override;
    bool vReadByFanout() override;
    void vFanoutReadDeclined() override { f_FanoutDeclined = true; }

    void vSendBytes(const void* aBuffer, int32_t aLen) override;
    void vSendBytesDontWakeWorker(const void* aBuffer, int32_t aLen) override;
    void vSendBytesAnswerOK(const void* aBuffer, int32_t aLen) override;
    void vSendBytesFlushAndTerm(const void* aBuffer, int32_t aLen) override;
    void vSendShared(const TSharedFrame& aFrame, bool aWakeWorker) override;
    void vSendSharedThrough(const TSharedFrame& aFrame) override;
    void vSendSharedThrough(const TSharedFrame& aFrame, TWriteThroughBatch& aBatch) override;
    void vSendThroughDone(TAsyncWriter2SocketThreadSafe::WriteThrough aResult) override;
    // True once the output has stayed above aLimit bytes for the activity
    // time-out (the bytes pending now, not what the last flush left).
    bool vOutputBufferLimit(int32_t aLimit, TGaxTick32 aTick) override;

    TGaxTick32 CliHandshakeTimeoutTicks() const { return f_HandshakeTimeoutTicks; }
    size_t OutputPending() const { return f_OutAsync.PendingBytes(); }
    size_t OutputHardCap() const { return f_HardCap; }
    // The service's 8-bit address settings for the answers.
    TQORHandshakeServer HandshakeServer() const;

  private:
    enum class Next { Read, Wait, Done };

    TQORSVCWorkerExecResult ExecStep2(TQORSVCStepParams& aPar);
    TQORSVCWorkerExecResult ReadLoop(TQORSVCStepParams& aPar);
    TQORSVCWorkerExecResult WaitResult(TQORSVCStepParams& aPar);
    TQORSVCWorkerExecResult Fail(TQORSVCDisconnectCause aCause);
    // False when the write failed (the session has then ended).
    bool DoFlush(const TQORSVCStepParams& aPar);
    TQORSVCWorkerExecResult StartNextLine(TQORSVCStepParams& aPar);
    TQORSVCWorkerExecResult OnOpener(TQORSVCStepParams& aPar);
    TQORSVCWorkerExecResult OnConnectString(TQORSVCStepParams& aPar);
    TQORSVCWorkerExecResult OnCommand(TQORSVCStepParams& aPar);
    // Refused connect string: cause and the negative answer posted to the service.
    void PrepareClientErrorAnswer();
    void QueueHandshakeErrorAnswer(std::string_view aAccessWord);
    // Worker: after a line was handed on, whether reading must stop now
    // (the reader is then held until the heartbeat resumes it).
    bool HoldReading();
    // Worker: lets go of a hold (the session ends or reads no more).
    void ReleaseHold();
    // Appends for a sender; false (and the client is dropped) past the hard cap.
    bool Append(const void* aBuffer, int32_t aLen);
    bool AppendShared(const TSharedFrame& aFrame);
    // The checks before a relay frame is offered for a send at once.
    bool SendThroughAllowed(const TSharedFrame& aFrame);
    // Reads and drops what the client still sends, then ends our side, so the
    // client reads the answer before the close instead of a reset.
    void DrainAndShutdown();
    uint8_t WaitFlags(TGaxTick32 aTick) const {
        const bool write = f_OutAsync.NeedWaitForWrite();
        if (ReadHeld()) return write ? wf_Write : wf_CloseOnly;
        const uint8_t flags = f_Collector.WaitFlagsFor(write);
        return !write && Batchable(aTick) ? static_cast<uint8_t>(flags | wf_Batched) : flags;
    }
    // Whether the activity (or handshake) deadline has passed with nothing
    // left unread that could be activity.
    bool TimedOut(TGaxTick32 aTick) const;
    // Whether the session may be read in batches now (see the head comment).
    bool Batchable(TGaxTick32 aTick) const;
    TGaxTick32 ActivityTimeoutTicks() const;

    TCollectorSocket f_Collector{kInputBufferSize};
    TAsyncWriter2SocketThreadSafe f_OutAsync{kOutputBufferSize};
    TGaxTick32 f_HandshakeTimeoutTicks = 0;
    size_t f_HardCap = kAsyncWriterMaxBlock;
    std::atomic<bool> f_OverLimit{false};
    TGaxTick32 f_LastOverlimitTick = 0;  // heartbeat thread
    std::atomic<bool> f_SocketClosed{false};
    bool f_PeerGone = false;   // the peer closed while held: read out what is left
    bool f_FloorClaim = false;  // asked for the floor or sent sound at f_FloorClaimTick
    bool f_FanoutDeclined = false;  // the heartbeat would not read it while it holds this floor
    TGaxTick32 f_FloorClaimTick = 0;
    std::string f_Line;        // the current line, writable for the tag parser
    std::string f_SoundFrame;  // the sound block being collected, with its header room
};

}  // namespace gax
