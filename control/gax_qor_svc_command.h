// The server side of the local command channel: one TQORSVCCommandContext per
// connection accepted on the "Command" binding. It reads request lines,
// checks their arguments (DecodeChannelRequest, a pure function the fuzz
// target drives), answers at once what it can and hands the rest to the
// heartbeat thread through the server queue or to the service thread through
// the main queue; their handlers answer later by appending to this context's
// writer (PutStr, PutData, vCommandAnswer) and waking its worker.
//
// Threads:
// - The context is created by the heartbeat thread, stepped only by the
//   worker that holds it, stopped by that worker (vExecStop posts
//   snc_CommandDisconnected) and freed by the heartbeat thread afterwards.
//   The collector, the request line and the closing state belong to the
//   stepping worker.
// - The writer has its own lock: PutStr, PutData and vCommandAnswer may be
//   called from the heartbeat and service threads while the worker steps.
// - What the context needs of the service beyond the work-context host is
//   TQORSVCCommandHost (server/gax_qor_svc_cmdhost.h); every one of its
//   operations is callable from a worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "control/gax_qor_cmdchannel.h"
#include "foundation/gax_faststring.h"
#include "server/gax_qor_svc_cmdhost.h"
#include "server/gax_qor_svc_wrkctx.h"
#include "sockets/gax_snps_asyncwriter.h"
#include "sockets/gax_snps_collector.h"

namespace gax {

// ------------------------------------------------------------ request decoding

enum class TQORCmdDecodeResult : uint8_t {
    Empty,    // blanks only: read the next line under the same deadline
    Refuse,   // end the connection; Word is sent first when it has one
    Request,  // accepted: act on it
};

// A request line read and checked, with no server state consulted. Texts are
// kept in UTF-8 and UTF-16; client arguments are already turned into ids.
struct TQORCmdRequest {
    char Code = 0;
    // For Refuse: the answer word written before the connection ends
    // (fsca_NoAnswer: none).
    TQORChannelCommandAnswer Word = fsca_NoAnswer;
    // The texts in the order of the line: networks, clients, file names,
    // passwords, e-mails, notices, addresses. Which is which depends on Code.
    std::string Net1, Net2, Text1, Text2;
    std::u16string Net1U, Net2U, Text1U;
    std::string ClientId;  // 24-character id; empty when none was given
    int32_t Num1 = 0;      // seconds, index, mode, level, port, action (-1 for "?")
    int32_t Num2 = 0;      // second number (p: level; i: inverted mask)
    int32_t Sub = 0;       // variant: C 0 server/1 network; T 0 all/1 network/2 client;
                           // i 0 clear/1 set/2 get/3 names; K/L action
    bool Flag = false;     // add, mark, "1"
};

// Checks one request line (without its line end). Byte-exact and bounded:
// any input, however long or malformed, gives Refuse and never throws.
TQORCmdDecodeResult DecodeChannelRequest(std::string_view aLine, TQORCmdRequest& aReq);

// ------------------------------------------------------------ the context

// Each request line must arrive within this time after the previous one.
inline constexpr TGaxTick32 kCmdLineTimeoutMs = 3000;
inline constexpr int kCmdLineMax = 3000;
// A step yields to the other contexts of its worker after this much input.
inline constexpr uintptr_t kCmdStepReadBudget = 4096;

// (The console's command words already own the name TQORSVCCommand, and the
// program includes both.)
class TQORSVCCommandContext final : public TQORSVCCommandCtx {
  public:
    // Heartbeat thread. The context owns aSocket from here on.
    TQORSVCCommandContext(TQORSVCCommandHost* aService, TSocket aSocket, std::string aPeerAddrBin,
                   int32_t aPeerPort);
    ~TQORSVCCommandContext() override;

    void vExecStart(TQORSVCStepParams& aPar) override;
    TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams& aPar) override;
    TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams& aPar) override;
    bool vExecTimeout(TQORSVCStepParams& aPar) override;
    void vExecStop(TQORSVCWorker* aWorker) override;
    // fwac_MoveClient: aAnswerParams is a TQORChannelCommandAnswer whose word
    // is appended; the worker is woken.
    void vCommandAnswer(TQORWrkAnswerCode aAnswerCode, int32_t aAnswerParams,
                        std::u16string_view aAnswerText) override;

    // Any thread: append answer bytes and mark them for flushing. The caller
    // wakes the worker (WakeUpWorker) once it has appended all it has.
    void PutData(const void* aPtr, int32_t aLen) override;
    void PutStr(std::string_view aStr) override;

  private:
    enum class LineOutcome : uint8_t { Continue, Fresh, Refuse, Error, NoMoreRequests };

    LineOutcome HandleLine(TQORSVCStepParams& aPar);
    LineOutcome Act(const TQORCmdRequest& aReq);
    // "+OK" written and flushed: Fresh, or Error when the flush failed.
    LineOutcome AnswerOK();
    LineOutcome AnswerWordAndRefuse(TQORChannelCommandAnswer aAnswer);
    LineOutcome AnswerNow(std::string_view aBytes);
    bool FindNet(const std::string& aNameUTF8, const std::u16string& aNameU,
                 TQORSVCCmdNetwork& aNet);
    // The closing state: flush; wer__OK while bytes wait, else the cause and wer__Error.
    TQORSVCWorkerExecResult Closing(TQORSVCStepParams& aPar);
    void SetWait(TQORSVCStepParams& aPar);

    TQORSVCCommandHost* e_Cmd;
    TCollectorSocket f_Collector{2048};
    FastStringA f_CmdC{144};
    TAsyncWriter2SocketThreadSafe f_Writer{2048};
    bool f_Closing = false;         // a refusal: write what is queued, then end
    bool f_NoMoreRequests = false;  // after the flag names: wait for the peer's close
};

// The factory the program hands to the service for its "Command" binding.
std::unique_ptr<TQORSVCCommandCtx> MakeCommandContext(TQORSVCCommandHost* aService,
                                                      TSocket aSocket, std::string aPeerAddrBin,
                                                      int32_t aPeerPort);

}  // namespace gax
