// The client of one system manager: one thread per active manager section
// keeps a TCP connection to its manager (handshake, networks block,
// acknowledgement, delay, operation), registers and unregisters clients,
// reports network client counts and e-mail confirmations, pings every 3 s and
// reconnects after pauses. Verdicts go back to the networks as
// snc_ManagerAnswer records through the host.
//
// Threads: the manager thread owns everything below marked "thread", including
// the socket, writer, collector, pending-request FIFO and working parameters.
// Other threads only push to f_Queue (its own lock), interrupt f_Waiter, and
// read f_Status and the queue counts as hints (atomics). The thread is joined
// before any of its objects is freed.
//
// Every register request gets exactly one answer: a request that cannot be
// sent, that is pending when the connection breaks, or that is still queued
// when the thread ends is answered NONE.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_datetime.h"
#include "platform/plat_thread.h"
#include "server/gax_qor_svc_globals.h"
#include "server/gax_qor_svc_queues.h"
#include "server/gax_qor_svc_setup_t.h"
#include "sockets/gax_snps_asyncwriter.h"
#include "sockets/gax_snps_collector.h"
#include "sockets/gax_snps_tcpsock.h"
#include "sockets/gax_snps_waiter.h"
#include "sysman/gax_qor_svc_sysman_host.h"

namespace gax {

enum class TQORSysManQueueCommand : uint8_t {
    smqc_ConnectClient = 0,
    smqc_DisconnectClient,
    smqc_ConfirmEmail,
    smqc_NetClientCountChanged,
    smqc_Start,
    smqc_Stop,
    smqc_MemoryReport,
    smqc_DisconnectManager,
    smqc_NewPassword,
    smqc_NewEmail,
    smqc_LogLevel,
    smqc_AuthEnable,
};

// One command or pending request. The network is named by its handle and by
// its index in the networks file, which gives the per-network line prefixes.
struct TQORSysManQueueData {
    TQORGlobalKey smqd_GlobalKey = 0;
    std::string smqd_Str0;
    std::string smqd_Str2;
    std::string smqd_Str4;
    std::vector<std::u16string> smqd_UnicodeBlock;
    std::u16string smqd_Uni0;
    TQORSVCHandle smqd_Network;
    TQORSVCHandle smqd_Context;
    int32_t smqd_Int0 = 0;
    int32_t smqd_NetIndex = 0;
    TGaxTick32 smqd_Tick = 0;
    TQORSysManQueueCommand smqd_Command{};
    bool smqd_Bool1 = false;
};

using TQORSysManQueue = TQORSVCRecordQueue<TQORSysManQueueData, 128>;

// Answered extension flags of the manager.
inline constexpr int32_t kSysManFlagMultiple = 0x08;
inline constexpr int32_t kSysManFlagConfirmEmail = 0x10;
inline constexpr int32_t kSysManFlagUTF8Clients = 0x20;

// Below this the 3 s ping grid makes the link flap: a shorter read time-out
// is raised to it.
inline constexpr TGaxTick32 kSysManMinReadTimeoutTicks = 4000;

// The networks block of manager aIndex: "ZN:" + I(count) + CR LF, then per
// network its two name fields (or "0000" when the manager does not serve it).
std::string BuildSysManNetsListZ(const std::vector<TQORSysManNetInfo>& aNets, int aIndex,
                                 int& aActiveCount);

// Part aPart (0..8) of a client transport block, empty when the header or the
// part lies outside the block.
std::string_view TransportBlockPart(std::string_view aBlock, int aPart);

// The handshake answer: Invalid without a usable decimal "AL" (or a tag list
// that does not parse); BadFlags when "AL" is 0 and "MEF" is not a decimal
// number (aBadFlags: its trimmed value); else Ok with the code and, for code 0,
// the answered flags.
enum class TQORSysManAnswerParse : uint8_t { Ok, Invalid, BadFlags };
TQORSysManAnswerParse ParseSysManHandshakeAnswer(std::string_view aLine, int32_t& aCode,
                                                 int32_t& aExtFlags, std::string& aBadFlags);

// A manager's verdict line: BLOCK, DUPL, ERROR, WRONG, or an id (OK). An empty
// line or one with bytes below 0x20 is ERROR: such an id could never be
// unregistered and would reach listings.
TClientErrorType SysManVerdictOfLine(std::string_view aLine);

// Resolves a host name to one numeric address text (empty on failure). Runs
// on a helper thread and may block as long as the system's resolver does.
using TQORSysManResolver = std::function<std::string(const std::string& aHost)>;

// The name lookups of one manager, on one long-lived resolver thread that
// takes them one at a time, so that a resolver that hangs costs one thread
// however often the manager tries again.
//
// Threads: the manager thread calls everything; the resolver thread touches
// only the state block it shares with this object (its own lock). The
// resolver thread is never joined: Abandon (also run by the destructor) tells
// it that nobody waits any more and returns at once, even during a lookup;
// the thread then ends, and frees the block, when its lookup returns.
class TQORSysManNameLookup {
  public:
    // aWaiter is interrupted when a lookup ends. REQUIRES: aWaiter outlives
    // this object, or Abandon is called before it goes.
    TQORSysManNameLookup(std::string aThreadName, TQORSysManResolver aResolver,
                         TWaiter2Base& aWaiter);
    ~TQORSysManNameLookup();
    TQORSysManNameLookup(const TQORSysManNameLookup&) = delete;
    TQORSysManNameLookup& operator=(const TQORSysManNameLookup&) = delete;

    // Asks for the address of aHost. While a lookup runs no second one
    // starts: its answer serves this request. An address found after the
    // last request was given up is kept for this one; a failure is not
    // (the name is asked again). Starts the resolver thread the first time;
    // raises std::system_error when the system refuses it.
    void Request(const std::string& aHost);
    // The answer to the last request, once: true and aAddress (empty when the
    // name was not found) when it has come, else false.
    bool Take(std::string& aAddress);
    // Nobody waits for answers any more: the resolver thread ends when it is
    // idle or its lookup returns; later calls are no-ops.
    void Abandon();

  private:
    struct State;
    static void RunLookups(State& aState);

    const std::string f_ThreadName;
    std::shared_ptr<State> f_State;  // null once abandoned
    bool f_ThreadStarted = false;
};

class TQORSvcSysMan final : public plat::Thread, public TQORSVCManagerThread {
  public:
    // REQUIRES: aHost outlives this object. The thread starts at once (the class
    // is final, so the body sees a finished object) and waits for its first command.
    TQORSvcSysMan(TQORSvcSysManHost& aHost, int aIndex, const TQORSvcSysmanParams& aParams,
                  TQORSysManResolver aResolver = {});
    ~TQORSvcSysMan() override;
    TQORSvcSysMan(const TQORSvcSysMan&) = delete;
    TQORSvcSysMan& operator=(const TQORSvcSysMan&) = delete;

    // Set by the service before SysMan_Start.
    void SetNetsListZ(std::string aBlock, int aActiveCount);
    // The same block built from the networks in table order.
    void SetNetworks(const std::vector<TQORSysManNetInfo>& aNets) override;

    // ---- any thread ----
    void SysMan_Start() override;
    void SysMan_Stop();
    void SysMan_AbortThread() override;
    void SysMan_MemoryReport(TQORGlobalKey aGeneration = 0) override;
    // REQUIRES: aNetIndex is the network's index in the networks file;
    // aUnicodeBlock is the client's CliUnicodeBlock (read only when a success
    // script is configured), aUtf8 whether the client sent a UTF-8 part.
    void SysMan_RegisterClient(TQORSVCCtxRef aClient, TQORSVCHandle aNetwork, int32_t aNetIndex,
                               int32_t aFlags, std::string aTransportBlock,
                               std::string aPeerAddress, std::string aClientId,
                               const std::vector<std::u16string>* aUnicodeBlock = nullptr,
                               bool aUtf8 = false) override;
    void SysMan_UnregisterClient(std::string aManagerClientId, std::string aClientId,
                                 TQORSVCHandle aNetwork, int32_t aNetIndex) override;
    void SysMan_NetClientCountChanged(TQORSVCHandle aNetwork, int32_t aNetIndex,
                                      int32_t aCount) override;
    void SysMan_ConfirmEmail(std::string aTransportBlock) override;
    void SysMan_DisconnectManager(TQORSVCCtxRef aChannel, bool aDoAnswer) override;
    void SysMan_NewPassword(std::u16string aText) override;
    void SysMan_NewEmail(std::u16string aText) override;
    void ManagerQueue_ManagerLogLevel(int32_t aLevel) override;
    void ManagerQueue_ManagerAuthEnable(bool aEnable) override;
    void AnswerToNet_NONE(TQORSVCCtxRef aClient, TQORSVCHandle aNetwork);

    // Hints, read without a lock.
    TQORSvcSysmanStatus ManagerStatus() const override { return f_Status.load(); }
    int32_t ManagerAnsweredExtFlags() const override { return f_AnsweredExtFlagsHint.load(); }
    bool ManagerThreadIsStarted() const { return f_ThreadIsStarted.load(); }
    bool ManagerThreadIsStopped() const { return f_ThreadIsStopped.load(); }
    bool ManagerIsEmpty() const { return f_Queue.Count() == 0 && f_ReqCount.load() == 0; }
    // Fixed at construction.
    int ManagerIndex() const { return f_ManagerIndex; }
    const std::u16string& ManagerAddress() const { return f_Address; }
    int32_t ManagerPort() const { return f_Port; }
    const std::string& ManagerAddressUTF8() const { return f_ManagerAddressUTF8; }
    const std::u16string& MsgPrefix() const { return f_MsgPrefix; }
    // The read time-out the connection uses (the configured one, at least 4 s).
    TGaxTick32 EffectiveReadTimeoutTicks() const { return f_ReadTimeoutTicks; }

  private:
    void Execute() override;
    void OnThreadException(const std::exception* aError) noexcept override;
    void RunScript(const std::u16string& aScript, const std::vector<std::u16string>& aArgs,
                   int aEscapedArg, int aMaskedArg);
    void RunInvalidPasswordScript();
    void RunSuccessAuthScript(const TQORSysManQueueData& aReq, std::string_view aAnswer);
    void Pass();
    void Push(std::unique_ptr<TQORSysManQueueData> aRec);
    void PostRecord(std::unique_ptr<TQORSVCNetQueueRecord> aRec);
    void PostAnswer(const TQORSysManQueueData& aReq, TClientErrorType aVerdict,
                    std::string aManagerId);
    void PostChannelAnswer(const TQORSysManQueueData& aCmd, const char* aText);
    void PostOnOffLine(bool aOn);

    // logging
    void Log(std::u16string_view aText);
    void LogError(std::u16string_view aText);
    void Debug(int aAbove, std::u16string_view aText);

    // commands
    void HandleBatch();
    void HandleCommand(std::unique_ptr<TQORSysManQueueData>& aRec);
    void HandleRequest(std::unique_ptr<TQORSysManQueueData>& aRec);
    void HandleNewText(const TQORSysManQueueData& aRec, bool aPassword);
    void MemoryReport(TQORGlobalKey aGeneration);

    // connection
    void Connect();
    void StartSocketConnect(const std::string& aNumericHost);
    void OnConnected();
    void Handshake();
    void HandleLine(std::string_view aLine);
    void HandleHandshakeAnswer(std::string_view aLine);
    void HandleAck(std::string_view aLine);
    void HandleOperationalLine(std::string_view aLine);
    void EnterOperational();
    void ReadLines();
    void Error(std::u16string_view aText, bool aAlwaysLog = false);
    void Pause();
    void ShortPause(TGaxTick32 aFrom);
    void Disconnect();
    void CloseConnection();
    void AnswerPendingNone();
    void AnswerQueuedNone();
    bool PutLine(std::string_view aBytes);
    bool FlushOutput();
    void KeepAlive(TGaxTick32& aWait);
    // The socket's blocking wait through f_Waiter: 0 ready, 10060 time-out,
    // 10004 interrupted, else the waiter's error.
    bool SocketWait(uint8_t aFlags, uint32_t aTimeout, int& aErr);
    std::string RegistrationLine(const TQORSysManQueueData& aReq) const;
    std::string HandshakeLine(bool aMasked) const;
    bool InLinkStates() const;
    void SetStatus(TQORSvcSysmanStatus aStatus);
    TQORSvcSysmanStatus Status() const { return f_Status.load(std::memory_order_relaxed); }

    TQORSvcSysManHost& e_Host;
    const int f_ManagerIndex;
    const std::u16string f_Address;
    const int32_t f_Port;
    std::string f_ManagerAddressUTF8;
    std::u16string f_WorkInvalidPasswordScript;  // resolved names, empty when not configured
    std::u16string f_WorkSuccessAuthScript;
    std::u16string f_MsgPrefix;

    TQORSysManQueue f_Queue;  // own lock
    std::atomic<TQORSvcSysmanStatus> f_Status{smst_Disconnected};
    std::atomic<int32_t> f_AnsweredExtFlagsHint{0};
    std::atomic<int32_t> f_ReqCount{0};
    std::atomic<bool> f_ThreadIsStarted{false};
    std::atomic<bool> f_ThreadIsStopped{false};

    // thread (set before the thread starts where noted)
    TQORSvcSysmanParams f_Work;
    TGaxTick32 f_ReadTimeoutTicks = 0;  // before start
    std::string f_NetsListZ;            // before start
    int f_NetsListZActiveCount = 0;     // before start
    std::deque<std::unique_ptr<TQORSysManQueueData>> f_Req;
    TWaiter2Socket f_Waiter{1};
    TQORSysManNameLookup f_Lookup;  // after f_Waiter, which it interrupts
    PWaiter2Resource f_WaiterResource = nullptr;
    TTCPBlockSocket f_Syna;
    TCollectorSocket f_Coll{1024};
    TAsyncWriter2SocketThreadUnSafe f_WR{1024};
    TGaxTick32 f_PauseStart = 0;
    TGaxTick32 f_PauseShortStart = 0;
    TGaxTick32 f_ReconnTicks = 0;
    TGaxTick32 f_DelayTicks = 0;
    TGaxTick32 f_DelayStartTick = 0;
    TGaxTick32 f_LoopTick = 0;
    TGaxTick32 f_LastManagerPing = 0;
    TGaxTick32 f_ConnectStartTick = 0;
    int32_t f_RequestedExtFlags = 0;
    int32_t f_AnsweredExtFlags = 0;
    bool f_WorkConfirmEmail = false;
    bool f_SocketConnecting = false;  // the socket's asynchronous connect runs
    bool f_Resolving = false;         // the connect waits for f_Lookup's answer
    uint8_t f_Events = 0;                     // events of the last wait
};

}  // namespace gax
