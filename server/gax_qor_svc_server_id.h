// The service object: the root of the running server. It owns the queues,
// the log FIFO, the waiters other threads signal, the heartbeat thread
// (TQORTimer), the listener thread, the networks and the address cache, and
// its own thread body is the service thread (file work, list saves, service
// start and stop, and the hand-off of log lines to the main thread).
//
// Ownership per thread (checked by clang through the roles of
// gax_qor_svc_roles.h):
// - tm... fields and the networks belong to the heartbeat thread (kHeartbeat);
// - tr... fields belong to the service thread (kServiceThread);
// - settings are written by the owner (main thread) before StartService and
//   only read afterwards (asserted);
// - everything another thread reads without a queue is an atomic: the
//   service-enabled flag, the abort flag, the stop stage, the counters of the
//   service thread's end test.
//
// Lifecycle: construct, set the settings, Start() (threads start here, after
// construction: the listener, the heartbeat with a bounded wait until it runs, then
// the service thread), add bindings, StartService(), then RunMainThread() on
// the main thread until the service thread has finished. The destructor ends
// and joins the listener, the heartbeat and the service thread before it
// frees anything they can reach.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_fifo.h"
#include "platform/plat_mutex.h"
#include "platform/plat_thread.h"
#include "server/gax_qor_address_connect_counter.h"
#include "server/gax_qor_svc_cmdhost.h"
#include "server/gax_qor_svc_host.h"
#include "server/gax_qor_svc_listfiles.h"

#include "server/gax_qor_svc_intflags.h"
#include "server/gax_qor_svc_mainthread.h"
#include "server/gax_qor_svc_memreport.h"
#include "server/gax_qor_svc_netif.h"
#include "server/gax_qor_svc_networks_list.h"
#include "server/gax_qor_svc_poster.h"
#include "server/gax_qor_svc_roles.h"
#include "server/gax_qor_svc_setup_t.h"
#include "server/gax_qor_svc_sysmanif.h"
#include "server/gax_qor_svc_tick.h"
#include "server/gax_qor_svc_timer.h"
#include "server/gax_qor_svc_worker.h"
#include "server/gax_qor_svc_wrkctx.h"
#include "sockets/gax_snps_listener.h"
#include "sockets/gax_snps_waiter.h"

namespace gax {

class TQORSVCContext;

// Stages of the staged stop; only ever grow.
enum TQORStopStage : uint8_t {
    fss_NoStop = 0,
    fss_WaitStopListening = 1,
    fss_WaitCloseConnections = 2,
    fss_WaitFlushDirties = 3,
    fss_WaitStopWorkers = 4,
    fss_DoStop = 5,
};

// Bits of the heartbeat pass's result word.
inline constexpr uint32_t kResMutes = 0x08;
inline constexpr uint32_t kResBlocks = 0x20;
inline constexpr uint32_t kResAdmins = 0x80;
inline constexpr uint32_t kResModes = 0x200;
inline constexpr uint32_t kResRights = 0x800;
inline constexpr uint32_t kResNotices = 0x2000;
inline constexpr uint32_t kResOwner = 0x8000;
inline constexpr uint32_t kResNetCommands = 0x10000;
inline constexpr uint32_t kResFlush = 0x80000;
// ---- command channel ----
// nqr_DataI0 of the snc_ServAbortAllWorkers record the service thread posts
// when the stop passes its time limit.
inline constexpr int32_t kStopLateAbortMark = 1;

inline constexpr uint32_t kResAllLists =
    kResMutes | kResBlocks | kResAdmins | kResModes | kResRights | kResNotices;

// ---- moves, fast mode and internal flags ----
// A reading of the internal-flags file on its way to the heartbeat
// (snc_ApplyServIntFlags, slot 0 of the record's list array).
struct TQORSVCIntFlagsPayload : TQORSVCListPayload {
    std::unique_ptr<TQORSVCIntFlagsCfgObject> Cfg;
    // The reading of the start: the lists are taken over, nobody is
    // disconnected and no change is reported.
    bool AtStart = false;
};
// ---- end of moves ----

class TQORService : public TQORSVCCommandHost, public TQORTimerClient, public TQORSVCNetHost {
  public:
    // aConfig is the owner's and must outlive the service.
    explicit TQORService(const TQORServiceConfig& aConfig,
                         const TQORClock& aClock = TQORSystemClock::Instance());
    ~TQORService() override;
    TQORService(const TQORService&) = delete;
    TQORService& operator=(const TQORService&) = delete;

    // ---- lifecycle (owner's thread) ---------------------------------------

    // Starts the heartbeat thread and waits at most 5000 ms until it runs,
    // then starts the service thread. Raises when a thread cannot be created
    // or the heartbeat does not come up. REQUIRES: once.
    void Start();
    // Serves the service thread's synchronous calls until it has finished,
    // then joins it. REQUIRES: the main thread, after Start.
    void RunMainThread();
    bool ServiceThreadFinished() const { return f_ServiceFinished.load(std::memory_order_acquire); }

    // ---- settings (owner's thread, before StartService) --------------------

    void SetServMaxSpeechTime(int32_t aSeconds);
    int32_t ServMaxSpeechTime() const { return f_ServMaxSpeechTime; }
    uint32_t ServMaxSpeechTicks() const { return f_ServMaxSpeechTicks; }
    void SetServSpeechPauseTicks(uint32_t aMs);
    uint32_t ServSpeechPauseTicks() const { return f_ServSpeechPauseTicks; }
    void SetServQuarantineTicks(uint32_t aMs);
    uint32_t ServQuarantineTicks() const { return f_ServQuarantineTicks; }
    void SetClientActivityTimeout(int32_t aSeconds);
    int32_t ClientActivityTimeout() const { return f_ClientActivityTimeout; }
    uint32_t ClientActivityTimeoutTicks() const { return f_ClientActivityTimeoutTicks; }
    void SetClientHandshakeTimeout(int32_t aSeconds);
    int32_t ClientHandshakeTimeout() const { return f_ClientHandshakeTimeout; }
    uint32_t ClientHandshakeTimeoutTicks() const { return f_ClientHandshakeTimeoutTicks; }
    void SetServMaxWaitConnections(int32_t aValue);
    int32_t ServMaxWaitConnections() const { return f_ServMaxWaitConnections; }

    // The data directory: trimmed; empty means the program's directory.
    void SetDataDir(std::u16string_view aDir);
    const std::u16string& DataDir() const { return f_DataDir; }
    // A list file name, resolved against the data directory.
    void SetListFileName(TQORSVCListKind aKind, std::u16string_view aName);
    const std::u16string& ListFileName(TQORSVCListKind aKind) const;
    void SetConfigFileName(std::u16string_view aName);
    // The data-change script, resolved against the program's directory; empty
    // runs none.
    void SetDataChangeScript(std::u16string_view aName);
    void SetLogData(bool aOn) { CheckNotStarted(); f_LogData = aOn; }
    void SetLogExec(bool aOn) { CheckNotStarted(); f_LogExec = aOn; }
    void SetLogReopenLog(bool aOn) { CheckNotStarted(); f_LogReopenLog = aOn; }
    void SetLogClientLevel(int32_t aLevel) { CheckNotStarted(); f_LogClientLevel = aLevel; }
    // The data-file writer and reader (owned by the caller, outlives the service).
    void SetDataFiles(TQORSVCDataFiles* aDataFiles) { CheckNotStarted(); e_DataFiles = aDataFiles; }
    // ---- service start (server/gax_qor_svc_server_start.cpp) --------------
    // The character sets of the networks; without one the start reads no
    // networks file. REQUIRES: outlives the service.
    void SetCharsetsCodeList(const TCharsetsCodeList* aCodeList) {
        CheckNotStarted();
        e_CodeList = aCodeList;
    }
    // Makes the network objects of the networks file; without one the start
    // keeps the networks' data parts only.
    void SetNetworkFactory(TQORNetworkFactory aFactory) {
        CheckNotStarted();
        f_NetworkFactory = std::move(aFactory);
    }
    // What the start found (read after StartService has run, on any thread:
    // written once by the service thread before the heartbeat is enabled).
    const TQORNetworksList* NetworksList() const { return f_NetList.get(); }
    uint32_t SysMansMask() const { return f_SysMansMask.load(std::memory_order_acquire); }

    // The service takes the network; its index is its position.
    // REQUIRES: the heartbeat has not been enabled yet.
    void AddNetwork(std::unique_ptr<TQORSVCNetwork> aNetwork);

    // Listening bindings, forwarded to the listener (after Start, before
    // StartService).
    void AddPortForAny(std::u16string_view aName, std::u16string_view aPort,
                       TSynapseListenerIPVersions aVersions, TSynapseAcceptPeerEvent aOnAccept);
    void AddPortForLocalhost(std::u16string_view aName, std::u16string_view aPort,
                             TSynapseListenerIPVersions aVersions,
                             TSynapseAcceptPeerEvent aOnAccept);
    // Accept handlers of the "Client" and "Command" bindings (listener thread).
    void evnt_Listener_ClientAcceptPeer(TSocket aSocket, const std::string& aRemoteAddrBin,
                                        int aRemotePort);
    void evnt_Listener_CommandAcceptPeer(TSocket aSocket, const std::string& aRemoteAddrBin,
                                         int aRemotePort);

    // ---- server addresses and character-set converters
    // (gax_qor_svc_server_settings.cpp) ----
    // The texts as configured and their 8-bit protocol forms: addresses in
    // their IDN form (QORServerAddressA), ports by each unit's low byte.
    void SetPresentServerAddress(std::u16string_view aAddress);
    void SetBackupServerAddress(std::u16string_view aAddress);
    void SetPresentServerPort(std::u16string_view aPort);
    void SetBackupServerPort(std::u16string_view aPort);
    const std::u16string& PresentServerAddress() const { return f_PresentServerAddress; }
    const std::u16string& BackupServerAddress() const { return f_BackupServerAddress; }
    const std::string& PresentServerAddressA() const { return f_PresentServerAddressA; }
    const std::string& BackupServerAddressA() const { return f_BackupServerAddressA; }
    const std::string& PresentServerPortA() const { return f_PresentServerPortA; }
    const std::string& BackupServerPortA() const { return f_BackupServerPortA; }
    // The converter of a character set, made on first use and shared by
    // every network with that set; null for an empty or unknown set (the
    // network then converts by low bytes). Converters live as long as the
    // service. REQUIRES: before the heartbeat is enabled.
    const TAnsiUnicodeConverter* trCharsetConverter(std::u16string_view aCharsetName)
        GAX_REQUIRES(kServiceThread);
    // Gives every network of the list, last to first, its set's converter:
    // its own set, or the server's (aServerCharset) when it names none.
    void trAssignCharsetConverters(TQORNetworksList& aList, std::u16string_view aServerCharset)
        GAX_REQUIRES(kServiceThread);
    size_t trCharsetConverterCount() const GAX_REQUIRES(kServiceThread) {
        return f_trCharsetConverters.size();
    }

    // ---- posting operations (any thread) -----------------------------------

    void StartService();
    void StopService();
    // Only the first call counts: it keeps its text and queues one abort
    // (true for that call).
    bool ServiceAbortThread(std::u16string_view aAbortMessage);
    std::u16string AbortMessageText() const;
    bool AbortRequested() const { return f_AbortCommand.load(std::memory_order_acquire); }
    void SignalReopenLogFile();
    void ServerStopDisconnectAll();
    TQORSVCPoster& Poster() { return f_Poster; }
    TQORSVCFlusherQueue& Flushers() { return f_Flushers; }
    bool ServiceEnabled() const { return f_ServiceEnabled.load(std::memory_order_acquire); }
    TQORStopStage StopStage() const {
        return static_cast<TQORStopStage>(tmStopStage.load(std::memory_order_acquire));
    }

    // ---- log (any thread) --------------------------------------------------

    // At most kLogFifoMax lines wait for the log writer: a writer that blocks
    // (a full pipe on standard output) must not grow the queue without end.
    // Lines over the cap are counted and dropped; the count is logged as the
    // line after the queue has drained.
    static constexpr int32_t kLogFifoMax = 65536;
    void Fifo(std::u16string aText) override;
    bool GetFifo(std::u16string& aInfo);
    uint64_t LogLinesDropped() const { return f_LogDroppedTotal.load(std::memory_order_relaxed); }
    // Run on the main thread through the synchronous call; set before Start.
    std::function<void()> OnFifo;
    std::function<void()> OnReopenLog;
    // For a service driven by hand on one thread (no Start): the service
    // thread's log hand-off and reopen run OnFifo/OnReopenLog directly.
    void SetLogHandOffInline() { CheckNotStarted(); f_LogInline = true; }

    // ---- keys and counters --------------------------------------------------

    // Unique key of a context; never 0, also after the counter wraps.
    TQORGlobalKey GetNextUniqCounter() override;

    // ---- the host of work contexts and workers (any thread) -----------------

    const TQORServiceConfig& SvcConfig() const override { return p_Cfg; }
    TQORSVCPoster& SvcPoster() override { return f_Poster; }
    int32_t LogClientLevel() const override { return f_LogClientLevel; }
    int32_t LogCommandLevel() const override { return f_LogCommandLevel; }
    // Next data-change counter as at least six upper-case hex digits, ".",
    // and the local date and time as 17 digits YYYYMMDDHHNNSSZZZ.
    std::u16string trGetNextDataChangeCounter() GAX_REQUIRES(kServiceThread);

    // ---- the command channel's view (any worker; gax_qor_svc_server_cmd.cpp) ----

    bool CmdFindNetwork(std::u16string_view aNameU, std::string_view aNameUTF8,
                        TQORSVCCmdNetwork& aNetwork) override;
    void CmdAbortService(std::u16string_view aAbortText) override;
    void CmdLogText(std::u16string_view aConnectionText, std::u16string_view aText) override;
    void CmdSetLogClientLevel(int32_t aLevel) override;
    uint32_t CmdServerUptime() const override;
    bool CmdManagerNewPasswordIdx(int32_t aIndex, std::string_view aPasswordUTF8) override;
    TQORSVCCmdManagerMatch CmdManagerNewPasswordAddr(std::string_view aAddressUTF8,
                                                     std::string_view aEmailUTF8, bool aMatchEmail,
                                                     std::string_view aPasswordUTF8) override;
    bool CmdManagerNewEmailIdx(int32_t aIndex, std::string_view aEmailUTF8) override;
    // The maker of command contexts (the control layer's), set by the owner
    // before StartService.
    void SetCommandContextFactory(TQORSVCCommandFactory aFactory);
    // A context for an accepted command connection; null, with the socket
    // closed, when no factory is set. Raises what the factory raises (the
    // socket is then the factory's and closed).
    std::unique_ptr<TQORSVCCommandCtx> tmMakeCommandContext(TSocket aSocket,
                                                            std::string aPeerAddrBin,
                                                            int32_t aPeerPort)
        GAX_REQUIRES(kHeartbeat);

    // ---- heartbeat thread ------------------------------------------------

    void tmSetTimerSync(uint32_t aSyncTick) override GAX_REQUIRES(kHeartbeat);
    // One heartbeat pass, repeated at once while the networks find commands.
    void tm_Pinger() override GAX_REQUIRES(kHeartbeat);
    // The next deadline of any duty: a network's ping point (only one with
    // work on its ping), a speech pause's end, the whole second while a
    // temporary move or a memory report is pending, the worker reorder
    // point; the next grid point while records wait, results are pending, a
    // network has commands, a Parrot is busy or a stop is under way.
    uint32_t tmNextDeadline(uint32_t aNow) override GAX_REQUIRES(kHeartbeat);
    void tmSocketReady(PWaiter2Resource aResource, uint8_t aEvents) override
        GAX_REQUIRES(kHeartbeat);
    void tmReleaseSockets() override GAX_REQUIRES(kHeartbeat);
    // Floor holders the heartbeat reads now (for the tests).
    int32_t TalkersReadByHeartbeat() const { return f_TalkersHeld.load(std::memory_order_relaxed); }
    // Wake-ups of the heartbeat so far (for the tests and the benchmarks).
    uint64_t HeartbeatWakes() const { return f_Timer.Wakes(); }
    // Times the worker threads slept and woke, all of them together.
    uint64_t WorkerWakes() const { return f_Poster.WorkerWakes(); }
    // A command context asks for a flush: it waits in the flusher queue, and
    // the pass posts every list snapshot followed by the flush request.
    void tmRequestFlush(TQORSVCCtxRef aCommandContext) GAX_REQUIRES(kHeartbeat);
    // A list changed: its snapshot is posted at the end of the pass.
    void tmMarkListChanged(TQORSVCListKind aKind) GAX_REQUIRES(kHeartbeat);
    // The networks' view: both run on the heartbeat thread (log: any).
    void NetHostListChanged(TQORSVCListKind aKind) override GAX_REQUIRES(kHeartbeat) {
        tmMarkListChanged(aKind);
    }
    void NetHostLog(std::u16string aText) override { Fifo(std::move(aText)); }
    // Client contexts on a temporary move (not owned: the contexts belong to
    // their networks).
    void tmAddTempMoved(TQORSVCMovedClient* aClient) GAX_REQUIRES(kHeartbeat);
    void tmRemoveTempMoved(TQORSVCMovedClient* aClient) GAX_REQUIRES(kHeartbeat);
    // Advances the stop as far as it goes without waiting.
    void tmNextStopStage() GAX_REQUIRES(kHeartbeat);
    void tmCloseAllConnections() GAX_REQUIRES(kHeartbeat);
    // Called after each context's end: the stop waiting on connections moves on.
    void tmContextGone() GAX_REQUIRES(kHeartbeat);
    void tmSetOwnerInfo(std::string aCallsignOpnameANSI, std::string aCallsignOpnameUTF8)
        GAX_REQUIRES(kHeartbeat);

    uint32_t tmServerUptime() const GAX_REQUIRES(kHeartbeat) { return f_ServerUptime; }
    uint32_t tmLastHeartBeatTick() const GAX_REQUIRES(kHeartbeat) {
        return f_ServLastHeartBeatTick;
    }
    uint32_t tmLastPassSteps() const GAX_REQUIRES(kHeartbeat) { return f_tmLastSteps; }
    int64_t tmEpochUTC() const GAX_REQUIRES(kHeartbeat) { return f_tmEpochUTC; }

    // Connection counts kept by the heartbeat, read by the service thread's
    // end test.
    std::atomic<int32_t> tmTotalContextCount{0};
    std::atomic<int32_t> tmClientContextCount{0};
    std::atomic<int32_t> tmCommandContextCount{0};
    std::atomic<int32_t> tmManagerCount{0};
    std::atomic<int32_t> tmWorkerCount{0};

    // ---- service thread --------------------------------------------------

    // Handles one batch (at most 32 records) of the main queue.
    void trMainQueueBatch() GAX_REQUIRES(kServiceThread);

  protected:
    // Ends the service thread, the listener and the heartbeat; idempotent. A
    // subclass calls it first in its destructor, while the parts those
    // threads reach through its overrides still exist.
    void StopThreads();

    // Steps of the heartbeat pass that the worker pool and the server-queue
    // dispatcher fill in. The defaults do what this layer knows of.
    // Handles at most 32 server-queue records.
    virtual void tmDispatchServQueue() GAX_REQUIRES(kHeartbeat);
    // Handles one record; false when the record is not the service's.
    virtual bool tmDispatchRecord(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    // Wakes every worker whose wake-up flag is set, last to first.
    virtual void tmWakeFlaggedWorkers() GAX_REQUIRES(kHeartbeat);
    // One worker reorder step (every 3 s).
    virtual void tmWorkerReorderStep() GAX_REQUIRES(kHeartbeat);
    // Workers are told to end (last stop stage); true when any is left.
    virtual bool tmAbortAllWorkers() GAX_REQUIRES(kHeartbeat);

    // ---- admission, worker pool and dispatcher (gax_qor_svc_server_admit.cpp,
    // gax_qor_svc_server_dispatch.cpp) ----------------------------------------

    // What the factories of the connection contexts get. The factory takes
    // the socket: it sets Socket to INVALID_SOCKET_HANDLE as soon as a
    // context owns it, so that a factory that raises afterwards never leaves
    // the descriptor closed twice or not at all.
    struct TQORAdmitRequest {
        TSocket Socket = INVALID_SOCKET_HANDLE;
        std::string AddrBin;
        int32_t Port = 0;
        const TGaxHashSearch* Key = nullptr;  // client connections only
        bool ExceededPerAddress = false;
        bool ExceededTotal = false;
        // The session the listener built for this connection (it owns the
        // socket then, and Socket is invalid); the factory takes it, and a
        // refused connection frees it with its socket.
        std::unique_ptr<TQORSVCWrkCtx> Prebuilt;
    };
    // The session layer's client context and the command channel's context.
    // The defaults raise: without those layers every connection is refused
    // (the socket closed, the refusal logged).
    virtual std::unique_ptr<TQORSVCWrkCtx> tmNewClientContext(TQORAdmitRequest& aReq)
        GAX_REQUIRES(kHeartbeat);
    virtual std::unique_ptr<TQORSVCWrkCtx> tmNewCommandContext(TQORAdmitRequest& aReq)
        GAX_REQUIRES(kHeartbeat);
    // Listener thread: builds the client session of an accepted connection
    // before the heartbeat judges its admission, so that a burst of logins
    // does not make the heartbeat allocate and set up every session in turn.
    // It takes the socket only when it returns a session (one that raises
    // leaves it the caller's). It touches nothing
    // of the heartbeat's: the admission, the marks of a connection admitted
    // over a limit and the registration stay with tmNewClientContext. The
    // default builds none (the heartbeat's factory then does all).
    virtual std::unique_ptr<TQORSVCWrkCtx> lsNewClientContext(TSocket aSocket,
                                                              const std::string& aAddrBin,
                                                              int32_t aPort);
    // The network a client's accepted handshake chose; null when none.
    virtual TQORSVCNetwork* tmHandshakeNetwork(TQORSVCWrkCtx& aCtx) GAX_REQUIRES(kHeartbeat);
    // The network takes a client context after its handshake. The default
    // keeps the context with the service until its disconnect has been handed
    // to the network.
    virtual void tmAdoptByNetwork(TQORSVCNetwork& aNet, std::unique_ptr<TQORSVCWrkCtx> aCtx)
        GAX_REQUIRES(kHeartbeat);
    // Network of a record whose context lives in a network (network commands
    // 66-94): the entry's network, null when the context is not known.
    TQORSVCNetwork* tmNetworkOfContext(TQORSVCHandle aCtx) GAX_REQUIRES(kHeartbeat);
    // ---- the Parrot ----
    // The network of a record from a pseudo-client that a network owns and
    // the service never admitted (the Parrot); null for any other context.
    virtual TQORSVCNetwork* tmNetworkOfPseudoClient(TQORSVCHandle) GAX_REQUIRES(kHeartbeat) {
        return nullptr;
    }
    // Records whose handler belongs to another layer (channel lists, moves,
    // managers, memory report, internal flags, stop of all connections). The
    // default logs "not handled" at debug level.
    virtual void tmNotHandled(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    // Writes an answer to a command context and flags its worker. The
    // default raises: the command channel supplies the writer.
    virtual void tmWriteCommandAnswer(TQORSVCWrkCtx& aCtx, std::string_view aBytes, bool aWake)
        GAX_REQUIRES(kHeartbeat);
    // The command context a record names, when it is still listed under the
    // record's key; null otherwise (ended, or its memory reused).
    TQORSVCWrkCtx* tmAliveCommandContext(TQORSVCHandle aCtx, TQORGlobalKey aKey)
        GAX_REQUIRES(kHeartbeat);
    // Handles one pulled record; takes it when it hands it on.
    void tmDispatchOwned(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) GAX_REQUIRES(kHeartbeat);
    // Counts a handled record off its context's records in flight.
    void tmInFlightHandled(TQORSVCCtxRef aCtx) GAX_REQUIRES(kHeartbeat);
    // Resumes the held readers that the queue and their own counts let go.
    void tmResumeReaders() GAX_REQUIRES(kHeartbeat);
    bool tmHandToNetwork(TQORSVCNetwork* aNet, std::unique_ptr<TQORSVCNetQueueRecord>& aRec)
        GAX_REQUIRES(kHeartbeat);
    TQORSVCNetwork* tmFindNetwork(TQORSVCHandle aNet) GAX_REQUIRES(kHeartbeat);

    void tmAdmitClient(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmAdmitCommand(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmAssignToWorker(TQORSVCWrkCtx* aCtx, bool aOld) GAX_REQUIRES(kHeartbeat);
    void tmClientDisconnected(std::unique_ptr<TQORSVCNetQueueRecord>& aRec)
        GAX_REQUIRES(kHeartbeat);
    void tmCommandDisconnected(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmHandshakeClient(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) GAX_REQUIRES(kHeartbeat);
    // A connect string refused by its session: the answer is written and the
    // connection closed once it is out.
    void tmHandshakeError(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmWorkerStartHot() GAX_REQUIRES(kHeartbeat);
    void tmWorkerIdle(TQORSVCHandle aWorker) GAX_REQUIRES(kHeartbeat);
    void tmWorkerTerminated(TQORSVCHandle aWorker) GAX_REQUIRES(kHeartbeat);
    void tmWorkerWillAccept(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmWorkerRejected(TQORSVCHandle aWorker) GAX_REQUIRES(kHeartbeat);
    // A worker that takes a context: the first with a free slot, or a new one.
    TQORSVCWorker* tmWorkerWithSlot() GAX_REQUIRES(kHeartbeat);

    // ---- floor holders read by the heartbeat (gax_qor_svc_server_talkers.cpp) ----
    // While a session holds the floor its worker lends it here, and the
    // heartbeat's own waiter watches its socket: a frame then costs one wake
    // of the thread that fans it out, which steps the session (its posts go
    // to the server queue as before, without an interrupt) and takes the
    // records in the same pass. Anything else (the floor let go, a close, an
    // error, output waiting for room, a held reader, a stop) sends it back
    // to its worker, which kept its slot.
    struct TQORHeldTalker {
        TQORSVCWrkCtx* Ctx = nullptr;
        PWaiter2Resource Res = nullptr;
        TQORSVCWorker* Home = nullptr;  // null: its worker has gone
        // The item that gives it back, made by its worker when it lent it.
        std::unique_ptr<TQORSVCWorkerQueueItem> Back;
    };
    void tmTakeTalker(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    // Steps the talker at aIndex (aEvents: what the wait found, 0 from a
    // sweep) and sends it back when it should no longer be read here.
    void tmStepTalker(std::size_t aIndex, uint8_t aEvents) GAX_REQUIRES(kHeartbeat);
    // Before a pass takes their records: after the wait, the one it found
    // ready, or, after a wake that was not a talker's and between the passes
    // of a run, every one with bytes waiting.
    void tmReadReadyTalker(bool aAfterWait) GAX_REQUIRES(kHeartbeat);
    // After the pass: output and requests for the talkers, their time-outs,
    // and the ones to send back.
    void tmServeTalkers() GAX_REQUIRES(kHeartbeat);
    void tmReturnTalker(std::size_t aIndex, TQORSVCWorkerExecResult aResult)
        GAX_REQUIRES(kHeartbeat);
    // Sends the context of aBack (its return item) to aHome, or where a new
    // context would go when aHome is null. Allocates nothing unless it has to
    // find another worker.
    void tmReturnContextTo(TQORSVCWorker* aHome, std::unique_ptr<TQORSVCWorkerQueueItem> aBack,
                           TQORSVCWorkerExecResult aResult) GAX_REQUIRES(kHeartbeat);
    void tmReturnAllTalkers() GAX_REQUIRES(kHeartbeat);
    std::vector<TQORHeldTalker> f_tmTalkers GAX_GUARDED_BY(kHeartbeat);
    PWaiter2Resource f_tmTalkerReady GAX_GUARDED_BY(kHeartbeat) = nullptr;
    uint8_t f_tmTalkerEvents GAX_GUARDED_BY(kHeartbeat) = 0;
    TQORSVCStepParams f_tmTalkerPar GAX_GUARDED_BY(kHeartbeat);
    uint32_t f_tmTalkersChecked GAX_GUARDED_BY(kHeartbeat) = 0;
    std::atomic<int32_t> f_TalkersHeld{0};
    void tmChannelThreads(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmLogRefusal(bool aCommand, const std::string& aAddrBin, int32_t aPort,
                      TQORSVCDisconnectCause aCause, std::u16string_view aMessage);

    // ---- command channel: listings, memory report, stop (gax_qor_svc_server_chan.cpp) ----
  public:
    // A network's answer to a command context, posted as snc_ChannelCommandAnswer.
    void NetHostCommandAnswer(TQORSVCCtxRef aCtx, std::string aText) override;
    // A log line given by a command-channel client (any thread).
    void ChannelLogText(TQORSVCHandle aCommandContext, std::u16string_view aLogText);
    // Pushes the seven counter lines of the heartbeat's books.
    void tmShowCounters() GAX_REQUIRES(kHeartbeat);

  protected:
    // snc_ChannelListServer (aWholeServer) and snc_ChannelListNet.
    void tmChannelList(TQORSVCNetQueueRecord& aRec, bool aWholeServer) GAX_REQUIRES(kHeartbeat);
    void tmMemReportRequest(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmMemReportLine(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmMemReportReady(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmMemReportWorkerGone(TQORSVCHandle aWorker) GAX_REQUIRES(kHeartbeat);
    void tmMemReportAskerGone(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    // Finishes the running report when it is complete or past its time limit.
    void tmMemReportCheck() GAX_REQUIRES(kHeartbeat);
    void trMemReportPart(const TQORSVCMainQueueRec& aRec) GAX_REQUIRES(kServiceThread);
    // The stop ends the command connections along with the client ones.
    void tmCloseCommandContexts() GAX_REQUIRES(kHeartbeat);
    // The stop passed its time limit: counters shown, every worker told to end.
    void tmStopLateAbort() GAX_REQUIRES(kHeartbeat);
    TQORSVCMemoryReport f_tmMemRep GAX_GUARDED_BY(kHeartbeat);
    // Workers asked for a report part that has not come back yet.
    std::vector<const void*> f_tmMemRepOutstanding GAX_GUARDED_BY(kHeartbeat);

  public:
    // ---- managers (server/gax_qor_svc_server_sysman.cpp) ----
    // The slots are filled by the start (service thread, before the heartbeat
    // is enabled) and emptied only by StopThreads, after every other thread
    // has ended: any thread may read them in between.

    // The maker of manager threads (the program's); without one no manager
    // runs. Set before StartService.
    void SetManagerFactory(TQORSVCManagerFactory aFactory);
    // Manager aIndex has a thread.
    bool SysManActive(int32_t aIndex) const;
    TQORSVCManagerThread* SysManThread(int32_t aIndex) const;
    enum class TQORSVCManagerSearchResult : uint8_t { fsmsr_Found, fsmsr_NotFound, fsmsr_FoundTooMany };
    TQORSVCManagerSearchResult ManagerPasswordByIndex(int32_t aIndex, std::u16string aPassword);
    TQORSVCManagerSearchResult ManagerEmailByIndex(int32_t aIndex, std::u16string aEMail);
    TQORSVCManagerSearchResult ManagerPasswordByAddress(std::u16string_view aAddress,
                                                        std::u16string aPassword);
    TQORSVCManagerSearchResult ManagerPasswordByAddressEmail(std::u16string_view aAddress,
                                                             std::u16string_view aEMail,
                                                             std::u16string aPassword);
    // Reports a network's count to manager aIndex when it serves the network
    // in the per-network form (heartbeat thread).
    void tmNetClientCountChangedToTheManager(int32_t aIndex, uint32_t aNetEffMask,
                                             TQORSVCHandle aNetwork, int32_t aNetIndex,
                                             int32_t aCount);
    void tmNetClientCountChangedToAllManagers(uint32_t aNetEffMask, TQORSVCHandle aNetwork,
                                              int32_t aNetIndex, int32_t aCount);
    // Asks every manager thread to end (the stop).
    void tmAbortAllManagers();

  protected:
    // The networks as the managers see them, in table order: names, own
    // managers mask and configured mode. The default reads the networks file
    // the start read.
    struct TQORSVCManagerNet {
        std::string NameA;
        std::string NameUTF8;
        uint32_t ManagersMask = 0;
        TQORSystemManagerMode Mode = smm_Standalone;
    };
    virtual std::vector<TQORSVCManagerNet> trManagerNets() const;
    // The networks learn which managers are active. Default: nothing.
    virtual void trApplyManagersMask(uint32_t aActiveMask);
    // Chooses the active managers and makes their threads; starts them.
    void trStartManagers() GAX_REQUIRES(kServiceThread);
    void trStartManagerThreads() GAX_REQUIRES(kServiceThread);
    // The manager records of the server queue; false for any other.
    bool tmDispatchManagerRecord(std::unique_ptr<TQORSVCNetQueueRecord>& aRec)
        GAX_REQUIRES(kHeartbeat);
    // Ends and frees the manager threads. REQUIRES: the owner's thread, after
    // the heartbeat and service threads have ended.
    void StopManagerThreads();

  private:
    class SysManHost final : public TQORSvcSysManHost {
      public:
        explicit SysManHost(TQORService& aSvc) : e_Svc(aSvc) {}
        void SysManPost(std::unique_ptr<TQORSVCNetQueueRecord> aRec) override;
        void SysManLog(std::u16string aLine) override;
        bool SysManLogExec() const override;

      private:
        TQORService& e_Svc;
    };
    void tmManagersList(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmManagerThreadStartStop(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmDisconnectManager(TQORSVCNetQueueRecord& aRec, bool aByAddress)
        GAX_REQUIRES(kHeartbeat);
    void tmChannelManagerSetting(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    void tmAnswerChannel(const TQORSVCNetQueueRecord& aRec, std::string_view aText)
        GAX_REQUIRES(kHeartbeat);
    SysManHost f_SysManHost{*this};
    TQORSVCManagerFactory f_ManagerFactory;  // a setting
    std::array<std::unique_ptr<TQORSVCManagerThread>, 4> f_SysMans;
    std::array<bool, 4> f_SysMansEnabled{};
    std::array<bool, 4> f_tmSysManEnded GAX_GUARDED_BY(kHeartbeat){};
    // The server-wide mode a channel request set; -1: the configured one.
    int32_t f_tmServManagerMode GAX_GUARDED_BY(kHeartbeat) = -1;
    // ---- end of managers ----

  protected:
    // ---- moves, fast mode and internal flags (gax_qor_svc_server_move.cpp) ----
    // Answer codes of a move as the command channel words them.
    static constexpr int32_t kMoveAnswerOK = 0;
    static constexpr int32_t kMoveAnswerNotSupported = 5;
    static constexpr int32_t kMoveAnswerNoClient = 6;
    static constexpr int32_t kMoveAnswerRefused = 8;
    // snc_ContextMoveClient, snc_ChannelMoveClient, snc_MoveClientAutoBack.
    void tmMoveRecord(TQORSVCNetQueueRecord& aRec) GAX_REQUIRES(kHeartbeat);
    // snc_FastOn / snc_FastOff: every network, from the last to the first.
    void tmFastMode(TQORServNetworkCommand aCmd) GAX_REQUIRES(kHeartbeat);
    // A network's heartbeat when due (ping grid or queued commands), with the
    // heartbeat pass's error handling.
    void tmHeartBeatIfDue(TQORSVCNetwork& aNet) GAX_REQUIRES(kHeartbeat);
    // The tick of the heartbeat pass under way.
    uint32_t tmPassTick() const GAX_REQUIRES(kHeartbeat) { return tmServTick; }
    // Forgets the temporary move of a context (ended, or gone home).
    void tmDropTempMove(const void* aCtxIdentity) GAX_REQUIRES(kHeartbeat);
    // The network operations of a move, filled in by the layer that has
    // networks. The defaults know no client that could move.
    // The network a record names (a network's handle as the channel or a
    // session gave it); null when none.
    virtual TQORSVCNetwork* tmMoveNetwork(TQORSVCHandle aNet) GAX_REQUIRES(kHeartbeat) {
        return tmFindNetwork(aNet);
    }
    virtual bool tmMoveIsOnline(TQORSVCNetwork&, TQORSVCWrkCtx&, TQORGlobalKey)
        GAX_REQUIRES(kHeartbeat) {
        return false;
    }
    // A move answer code; kMoveAnswerOK yields the context.
    virtual int32_t tmMoveCanDetachById(TQORSVCNetwork&, std::string_view, TQORSVCWrkCtx*& aCtx)
        GAX_REQUIRES(kHeartbeat) {
        aCtx = nullptr;
        return kMoveAnswerNoClient;
    }
    virtual int32_t tmMoveCanDetachByCtx(TQORSVCNetwork&, TQORSVCWrkCtx&) GAX_REQUIRES(kHeartbeat) {
        return kMoveAnswerNoClient;
    }
    virtual bool tmMoveCanAttach(TQORSVCNetwork&, TQORSVCWrkCtx&) GAX_REQUIRES(kHeartbeat) {
        return false;
    }
    // Takes the context out of aFrom and admits it into aTo. Returns the
    // network that holds it now: aTo, or aFrom when aTo refused it at
    // admission and aFrom took it back (aRefused true in both refusal cases;
    // when neither kept it, it ends in aTo's refusal). Null when nothing moved.
    virtual TQORSVCNetwork* tmMoveDetachAttach(TQORSVCNetwork&, TQORSVCNetwork&, TQORSVCWrkCtx&,
                                               TQORSVCClientHandshakeType, int32_t,
                                               bool& aRefused) GAX_REQUIRES(kHeartbeat) {
        aRefused = true;
        return nullptr;
    }
    // snc_ApplyServIntFlags: slot 0 of the record holds a
    // TQORSVCIntFlagsPayload. The default only frees it.
    virtual void tmApplyServIntFlags(TQORSVCNetQueueRecord&) GAX_REQUIRES(kHeartbeat) {}
    // Temporary moves under way, owned here (f_tmTempMovedContexts lists them).
    std::vector<std::unique_ptr<TQORSVCMovedClient>> f_tmTempMoves GAX_GUARDED_BY(kHeartbeat);
    // ---- end of moves ----

  public:
    // Read-outs for tests and the memory report (heartbeat thread).
    struct TQORWorkerView {
        int32_t Index = 0;
        int32_t Capacity = 0;
        int32_t Free = 0;
        int32_t Reserved = 0;
        bool Ending = false;
        bool Hot = false;
        const TQORSVCWorker* Worker = nullptr;
    };
    std::vector<TQORWorkerView> tmWorkersView() const GAX_REQUIRES(kHeartbeat);
    int32_t tmUndefinedCount() const GAX_REQUIRES(kHeartbeat);
    int32_t tmCommandContextsListed() const GAX_REQUIRES(kHeartbeat) {
        return static_cast<int32_t>(f_tmCommandContexts.size());
    }
    // The bound port of the first listening binding of that name (0 when none
    // is open); lets tests listen on port 0.
    int32_t ListenerBoundPort(std::u16string_view aBindingName) const;

  protected:
    void trLog(std::u16string aText) GAX_REQUIRES(kServiceThread);
    void trLogError(std::u16string_view aLabel, const Exception& aError)
        GAX_REQUIRES(kServiceThread);
    void CheckNotStarted() const;
    // Places the key counter (for a subclass that tests the wrap).
    void SeedUniqCounter(TQORGlobalKey aLast) { f_UniqCounter.store(aLast); }

    const TQORServiceConfig& p_Cfg;
    const TQORClock& e_Clock;

  private:
    // The service thread's body runs on this thread object; the service
    // itself is not one, since its Start also brings up the other threads.
    class ServiceThread final : public plat::Thread {
      public:
        explicit ServiceThread(TQORService& aSvc) : plat::Thread("qor-service"), e_Svc(aSvc) {}
        ~ServiceThread() override { Join(); }

      protected:
        void Execute() override;

      private:
        TQORService& e_Svc;
    };

    void ServiceExecute() noexcept;
    void trLoop() GAX_REQUIRES(kServiceThread);
    bool trEndTest();
    void trHandOffLog() GAX_REQUIRES(kServiceThread);
    // Queues a log line unless the queue is at its cap (then counts it).
    bool PushLogLine(std::u16string aText);
    void trEndOfService() GAX_REQUIRES(kServiceThread);
    void trHandleMainRecord(TQORSVCMainQueueRec& aRec) GAX_REQUIRES(kServiceThread);
    void trSaveList(TQORSVCListKind aKind, const TQORSVCWriteArray& aLines)
        GAX_REQUIRES(kServiceThread);
    void trReread(TQORSVCMainQueueRec& aRec) GAX_REQUIRES(kServiceThread);
    void trRereadIntFlags(TQORSVCMainQueueRec& aRec) GAX_REQUIRES(kServiceThread);
    // Reads the internal-flags file and hands the reading to the heartbeat;
    // false (the error logged) when the file is bad or unreadable.
    bool trReadIntFlags(const std::u16string& aFileName, bool aAtStart)
        GAX_REQUIRES(kServiceThread);
    void trAnswerFlushers(int32_t aCount) GAX_REQUIRES(kServiceThread);
    void trStartService() GAX_REQUIRES(kServiceThread);
    void trAbort() GAX_REQUIRES(kServiceThread);
    // Steps of the start before the heartbeat is enabled: networks, managers,
    // the default network, the lists.
    void trStartNetworksAndLists() GAX_REQUIRES(kServiceThread);
    void trStartReadLists() GAX_REQUIRES(kServiceThread);
    void trRunDataChangeScript(const std::u16string& aFileName, std::u16string_view aTag,
                               const std::u16string& aCounter) GAX_REQUIRES(kServiceThread);

    void tmPass() GAX_REQUIRES(kHeartbeat);
    void tmCountSteps() GAX_REQUIRES(kHeartbeat);
    void tmNetworkHeartBeats() GAX_REQUIRES(kHeartbeat);
    void tmLateSteps() GAX_REQUIRES(kHeartbeat);
    void tmPostSnapshots() GAX_REQUIRES(kHeartbeat);
    TQORSVCWriteArray tmSnapshot(TQORSVCListKind aKind) const GAX_REQUIRES(kHeartbeat);

    void WireListener();
    void ListenerLog(std::u16string aText) { Fifo(std::move(aText)); }

    // Waiters and queues other threads signal: declared first, freed last.
    TWaiter2Socket f_Waiter{0};
    TQORSVCPoster f_Poster;
    TQORSVCFlusherQueue f_Flushers;
    TFifoStringThreadSafeU f_Fifo{128};
    std::atomic<uint64_t> f_LogDropped{0};       // since the last note of them
    std::atomic<uint64_t> f_LogDroppedTotal{0};  // since the start
    TQORMainThreadCall f_MainCall;

    // Settings.
    std::u16string f_ServerExeDir;
    std::u16string f_DataDir;
    std::u16string f_DiskConfigFileName;
    std::u16string f_ListFileNames[kListKindCount];
    std::u16string f_DiskDataChangeScript;
    std::u16string f_DiskIntFlagsFileName;
    std::u16string f_PidU;
    int32_t f_ServMaxSpeechTime = 300;
    uint32_t f_ServMaxSpeechTicks = 300000;
    uint32_t f_ServSpeechPauseTicks = 0;
    uint32_t f_ServQuarantineTicks = 0;
    int32_t f_ClientActivityTimeout = 8;
    uint32_t f_ClientActivityTimeoutTicks = 8000;
    int32_t f_ClientHandshakeTimeout = 2;
    uint32_t f_ClientHandshakeTimeoutTicks = 2000;
    int32_t f_ServMaxWaitConnections = 5;
    // Written by a command worker while the service runs.
    std::atomic<int32_t> f_LogClientLevel{2};
    int32_t f_LogCommandLevel = 0;
    bool f_LogData = false;
    bool f_LogExec = false;
    bool f_LogReopenLog = false;
    bool f_LogInline = false;
    TQORSVCDataFiles* e_DataFiles = nullptr;
    const TCharsetsCodeList* e_CodeList = nullptr;
    TQORNetworkFactory f_NetworkFactory;

    // Written by the service thread at the start, before the heartbeat is
    // enabled; immutable afterwards and freed by the destructor once every
    // thread is joined.
    std::unique_ptr<TQORNetworksList> f_NetList;
    const TQORNetworkData* f_DefaultNetwork = nullptr;
    std::atomic<uint32_t> f_SysMansMask{0};
    int32_t f_SysMansActiveCount = 0;

    // Crossing threads.
    // The command channel's view: the uptime mirrored by the heartbeat (the
    // whole seconds counted, high half, and the tick of the grid point that
    // ended the last of them, low half: the heartbeat may sleep through
    // seconds, which the reader adds from the clock), and the networks by
    // name, fixed before the heartbeat is enabled.
    std::atomic<uint64_t> f_CmdUptime{0};
    void tmPublishUptime() GAX_REQUIRES(kHeartbeat);
    struct TQORSVCCmdNetName {
        std::u16string Name;
        std::u16string CharsetName;
        TQORSVCNetwork* Net;
    };
    std::vector<TQORSVCCmdNetName> f_CmdNetNames;
    TQORSVCCommandFactory f_CommandFactory;  // a setting
    std::atomic<bool> f_StartRequested{false};
    std::atomic<bool> f_HeartbeatEnabled{false};
    std::atomic<bool> f_ServiceEnabled{false};
    std::atomic<bool> f_AbortCommand{false};
    std::atomic<bool> f_Terminated{false};
    std::atomic<bool> f_ServiceFinished{false};
    std::atomic<uint8_t> tmStopStage{fss_NoStop};
    std::atomic<TQORGlobalKey> f_UniqCounter{0};
    mutable plat::Mutex f_AbortLock;
    std::u16string f_AbortMessageText GAX_GUARDED_BY(f_AbortLock);

    // ---- server addresses and character-set converters ----
    // Settings (owner's thread before StartService).
    std::u16string f_PresentServerAddress;
    std::u16string f_BackupServerAddress;
    std::u16string f_PresentServerPort;
    std::u16string f_BackupServerPort;
    std::string f_PresentServerAddressA;
    std::string f_BackupServerAddressA;
    std::string f_PresentServerPortA;
    std::string f_BackupServerPortA;
    // Sorted by the upper-cased UTF-8 set name; the networks keep pointers
    // to the converters, which are freed only with the service.
    std::vector<std::pair<std::string, std::unique_ptr<TAnsiUnicodeConverter>>>
        f_trCharsetConverters GAX_GUARDED_BY(kServiceThread);

    // Heartbeat thread.
    std::vector<std::unique_ptr<TQORSVCNetwork>> f_Nets GAX_GUARDED_BY(kHeartbeat);
    bool f_ThreadsStopped = false;  // owner's thread only
    std::vector<TQORSVCMovedClient*> f_tmTempMovedContexts GAX_GUARDED_BY(kHeartbeat);
    std::unique_ptr<TQORAddressConnectCache> f_tmAddressClientCounterCache
        GAX_GUARDED_BY(kHeartbeat);
    uint32_t f_ServLastHeartBeatTick GAX_GUARDED_BY(kHeartbeat) = 0;
    uint32_t f_ServHeartBeats1s GAX_GUARDED_BY(kHeartbeat) = 0;
    uint32_t f_ServHeartBeatsWorkerReorder GAX_GUARDED_BY(kHeartbeat) = 0;
    bool f_got_worker_reorder GAX_GUARDED_BY(kHeartbeat) = false;
    uint32_t f_ServerUptime GAX_GUARDED_BY(kHeartbeat) = 0;
    int64_t f_tmEpochUTC GAX_GUARDED_BY(kHeartbeat) = 0;
    uint32_t tmServTick GAX_GUARDED_BY(kHeartbeat) = 0;
    uint32_t tmServResults GAX_GUARDED_BY(kHeartbeat) = 0;
    // List-save and flush bits not yet posted: they survive a pass that
    // raised until their snapshot or flush request is in the main queue.
    uint32_t f_tmPendingResults GAX_GUARDED_BY(kHeartbeat) = 0;
    // Flush requests queued to f_Flushers since the last flush record was posted.
    int32_t f_tmFlushersWaiting GAX_GUARDED_BY(kHeartbeat) = 0;
    uint32_t f_tmLastSteps GAX_GUARDED_BY(kHeartbeat) = 0;
    uint32_t f_tmSecs GAX_GUARDED_BY(kHeartbeat) = 0;
    std::string f_ServerOwnerCallsignOpnameANSI GAX_GUARDED_BY(kHeartbeat);
    std::string f_ServerOwnerCallsignOpnameUTF8 GAX_GUARDED_BY(kHeartbeat);

    // Service thread.
    uint32_t f_trDataChangeCounter GAX_GUARDED_BY(kServiceThread) = 0;
    // A list save failed since the last flush answer: the next answer is -ERROR.
    bool f_trSaveFailed GAX_GUARDED_BY(kServiceThread) = false;
    // The heartbeat was enabled by a service start.
    bool f_trStarted GAX_GUARDED_BY(kServiceThread) = false;

    // A session the listener built, carried to the admission by its record
    // (slot 0 of the list array): a record discarded unread frees it, and
    // with it the socket.
    struct TQORPrebuiltSession final : TQORSVCListPayload {
        std::unique_ptr<TQORSVCWrkCtx> Ctx;
    };

    // Admission and the worker pool (heartbeat thread).
    struct TQORClientEntry {
        TGaxHashSearch Key;
        TQORSVCWrkCtx* Ctx = nullptr;           // the live context, whoever owns it
        std::unique_ptr<TQORSVCWrkCtx> Owned;  // set while undefined (or kept for a network)
        bool Undefined = true;
        TQORSVCNetwork* Network = nullptr;
    };
    struct TQORWorkerSlot {
        std::unique_ptr<TQORSVCWorker> W;
        bool Ending = false;
    };
    std::unordered_map<const void*, TQORClientEntry> f_tmClients GAX_GUARDED_BY(kHeartbeat);
    std::vector<std::unique_ptr<TQORSVCWrkCtx>> f_tmCommandContexts GAX_GUARDED_BY(kHeartbeat);
    std::vector<TQORWorkerSlot> f_tmWorkers GAX_GUARDED_BY(kHeartbeat);
    int32_t f_tmUndefined GAX_GUARDED_BY(kHeartbeat) = 0;
    std::vector<std::unique_ptr<TQORSVCWrkCtx>> f_tmDisposeAtPassEnd GAX_GUARDED_BY(kHeartbeat);
    TQORWorkerSlot* tmFindWorker(TQORSVCHandle aWorker) GAX_REQUIRES(kHeartbeat);

    // ---- access lists (server/gax_qor_svc_server_lists.cpp) ----
  public:
    // The stored owner's callsign differs from the client's (either form).
    bool tmServOwnerInfoDiffers(const TQORSVCContext& aCtx) const GAX_REQUIRES(kHeartbeat);
    // The owner's callsign from the client; the owner file is saved.
    void tmSetOwnerInfoFromContext(const TQORSVCContext& aCtx) GAX_REQUIRES(kHeartbeat);
    // The owner's callsign as last seen (owner file at start, then its own
    // logins); empty until one is known.
    const std::string& tmServOwnerCallsignANSI() const GAX_REQUIRES(kHeartbeat) {
        return f_ServerOwnerCallsignOpnameANSI;
    }
    const std::string& tmServOwnerCallsignUTF8() const GAX_REQUIRES(kHeartbeat) {
        return f_ServerOwnerCallsignOpnameUTF8;
    }

  protected:
    // The networks the list files are matched against: their original
    // indexes are the order in which the networks were added. Null when there
    // are none. The default is the networks list the start read.
    virtual const TQORNetworksList* trListsNetworks() const;
    // Hands each network its part of a list read at start-up (service thread,
    // before the heartbeat runs commands). The default keeps nothing.
    virtual void trTakeStartList(TQORSVCListLoad& aLoad);

  private:
    class OwnDataFiles;
    // Reads a list file into per-network lists and posts them to the
    // heartbeat; false when the file could not be read.
    bool trRereadList(TQORSVCListKind aKind, const std::u16string& aFileName)
        GAX_REQUIRES(kServiceThread);
    bool trWriteList(TQORSVCListKind aKind, const TQORSVCWriteArray& aLines)
        GAX_REQUIRES(kServiceThread);
    // The owner's stored texts from the start-up read: the heartbeat's
    // fields, written before it is enabled (see the definition).
    void trSetOwnerFromStart(const TQORSVCOwnerData& aOwner) GAX_REQUIRES(kServiceThread);
    // The list files' readers, writer and save guards (service thread).
    std::unique_ptr<TQORSVCListFiles> f_trListFiles;
    // The data-file reader and writer used when the owner set none.
    std::unique_ptr<TQORSVCDataFiles> f_OwnDataFiles;

    // Threads: declared last so that they are destroyed first.
    std::unique_ptr<TSynapseListenerThread> f_Listener;
    TQORTimer f_Timer;
    ServiceThread f_ServiceThread{*this};
};

}  // namespace gax
