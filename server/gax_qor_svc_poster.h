// The posting side of the service: owns the server queue and the main queue and
// knows the waiters of their consumers (the heartbeat thread's and the service
// thread's), so that every ServQueue_/MainQueue_ operation is one allocation,
// one push and, where the consumer must act soon, one interrupt. The service
// owns one TQORSVCPoster.
//
// Any thread may post. The operations touch nothing but the two queues and the
// two waiters' interrupts; the waiters belong to their threads and must outlive
// every post. A producer's records keep their order; records of different
// producers interleave in push order.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/plat_socket.h"
#include "protocol/gax_qor_consts.h"
#include "server/gax_qor_svc_globals.h"
#include "server/gax_qor_svc_queues.h"
#include "sockets/gax_snps_waiter.h"

namespace gax {

class TQORSVCPoster {
  public:
    using RecordPtr = std::unique_ptr<TQORSVCNetQueueRecord>;

    // Either waiter may be null until its thread publishes it; a post made
    // before then is queued without an interrupt.
    explicit TQORSVCPoster(TWaiter2Base* aTimerWaiter = nullptr,
                           TWaiter2Base* aServiceWaiter = nullptr,
                           int32_t aServBlockCapacity = TQORSVCServQueue::kDefaultBlockCapacity,
                           int32_t aMainBlockCapacity = TQORSVCMainQueue::kDefaultBlockCapacity);
    TQORSVCPoster(const TQORSVCPoster&) = delete;
    TQORSVCPoster& operator=(const TQORSVCPoster&) = delete;

    TQORSVCServQueue& ServQueue() { return f_ServQueue; }
    TQORSVCMainQueue& MainQueue() { return f_MainQueue; }

    // The heartbeat thread publishes its waiter here when it starts.
    void SetTimerWaiter(TWaiter2Base* aWaiter) { e_TimerWaiter.store(aWaiter); }
    void SetServiceWaiter(TWaiter2Base* aWaiter) { e_ServiceWaiter.store(aWaiter); }
    void InterruptHeartbeat();
    void InterruptService();

    // ---- server queue ----------------------------------------------------

    // Pushes a prepared record and interrupts the heartbeat thread.
    void ServQueuePush(RecordPtr aRec);
    // While one lives, the heartbeat's own pushes (what the sessions it reads
    // post) do not interrupt its waiter: the pass that follows takes them,
    // and the interrupt would only cost a system call and an empty pass. It
    // marks the thread that makes it, so other threads' pushes still
    // interrupt. The heartbeat thread only.
    class HeartbeatPosts {
      public:
        HeartbeatPosts();
        ~HeartbeatPosts();
        HeartbeatPosts(const HeartbeatPosts&) = delete;
        HeartbeatPosts& operator=(const HeartbeatPosts&) = delete;

      private:
        bool f_Outer;
    };

    // Backpressure: a session's worker that finds the server queue above the
    // high mark stops reading its client, until the heartbeat has taken the
    // queue below the low mark. Far above what a pass takes (32), far below
    // what would hold the heartbeat for long.
    static constexpr int32_t kServQueueHigh = 2048;
    static constexpr int32_t kServQueueLow = 512;
    // Sessions whose reading is held; the heartbeat looks for them to resume
    // only while there are some.
    void NoteReaderHeld() { f_HeldReaders.fetch_add(1); }
    void NoteReaderResumed() { f_HeldReaders.fetch_sub(1); }
    int32_t HeldReaders() const { return f_HeldReaders.load(); }
    // The heartbeat's read after a batch: a read-modify-write, ordered with
    // every NoteReaderHeld, so that either the heartbeat sees a reader that
    // was held, or that reader's worker sees the counts the batch lowered.
    int32_t HeldReadersAfterBatch() { return f_HeldReaders.fetch_add(0); }
    // The most records the server queue held after a push since the last
    // reset (a figure for the load tests and the memory report).
    int32_t ServQueuePeak() const { return f_ServQueuePeak.load(std::memory_order_relaxed); }
    void ResetServQueuePeak() { f_ServQueuePeak.store(0, std::memory_order_relaxed); }
    // Times the workers slept and woke (a figure for the tests and benchmarks).
    void NoteWorkerWakes(uint64_t aWakes) { f_WorkerWakes.fetch_add(aWakes, std::memory_order_relaxed); }
    uint64_t WorkerWakes() const { return f_WorkerWakes.load(std::memory_order_relaxed); }

    // Freshly read lists, one slot per network; aDefaultFileChanged asks for
    // the list to be saved afterwards. These do not interrupt: the records
    // wait for the next heartbeat pass.
    void ServQueue_UpdateAdminsList(TQORSVCListArray aAdminsListArray, bool aDefaultFileChanged);
    void ServQueue_UpdateMutesList(TQORSVCListArray aMutesListArray, bool aDefaultFileChanged);
    void ServQueue_UpdateBlocksList(TQORSVCListArray aBlocksListArray, bool aDefaultFileChanged);
    void ServQueue_UpdateRightsList(TQORSVCListArray aRightsListArray, bool aDefaultFileChanged);
    void ServQueue_UpdateModesList(TQORSVCListArray aModesListArray, bool aDefaultFileChanged);
    void ServQueue_UpdateNoticesList(TQORSVCListArray aNoticesListArray, bool aDefaultFileChanged);

    void ServQueue_AdminsListChanged();
    void ServQueue_MutesListChanged();
    void ServQueue_BlocksListChanged();
    void ServQueue_RightsListChanged();
    void ServQueue_ModesListChanged();
    void ServQueue_NoticesListChanged();
    void ServQueue_OwnerInfoChanged();

    // Command-channel requests.
    void ServQueue_ChannelMute(std::string aClientID, TQORSVCHandle aNetwork, int32_t aTime,
                               bool aAdd);
    void ServQueue_ChannelBlock(std::string aClientID, TQORSVCHandle aNetwork, int32_t aTime,
                                bool aAdd);
    void ServQueue_ChannelAdmin(std::string aClientID, TQORSVCHandle aNetwork, bool aAdd);
    void ServQueue_ChannelRightAddDel(std::string aEmailUTF8, TQORSVCHandle aNetwork, bool aAdd);
    void ServQueue_ChannelRightMarkUnmark(std::string aEmailUTF8, TQORSVCHandle aNetwork,
                                          bool aMark);
    void ServQueue_ChannelRightNoticeSet(std::string aNoticeANSI, std::string aNoticeUTF8,
                                         TQORSVCHandle aNetwork);
    // The same record as setting two empty texts.
    void ServQueue_ChannelRightNoticeClear(TQORSVCHandle aNetwork);
    void ServQueue_ChannelConnectListedOnly(TQORSVCHandle aNetwork, int32_t aAction,
                                            TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelTalkMarkedOnly(TQORSVCHandle aNetwork, int32_t aRequstedAction,
                                         TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelListNet(TQORSVCHandle aNetwork, TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelListServer(TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelThreads(TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelFlushData(TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelManagersList(TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelMemoryReportRequest(TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelServerManagerMode(TQORSystemManagerMode aManagerMode);
    void ServQueue_ChannelNetworkManagerMode(TQORSVCHandle aNetwork,
                                             TQORSystemManagerMode aManagerMode);
    void ServQueue_ChannelNetworkLogLevel(TQORSVCHandle aNetwork, int32_t aNetLogLevel);
    void ServQueue_ContextMoveClient(TQORSVCCtxRef aClientContext, TQORSVCHandle aNetTo,
                                     std::string aClientID, int32_t aMoveTime);
    // aMoveTime in seconds, 0 = for good.
    void ServQueue_ChannelMoveClient(TQORSVCCtxRef aCommandContext, TQORSVCHandle aNetFrom,
                                     TQORSVCHandle aNetTo, std::string aClientID,
                                     int32_t aMoveTime);
    // Carries the context's key like every record meant for a context.
    void ServQueue_MoveClientAutoBack(TQORSVCCtxRef aClientContext, TQORSVCHandle aNetBackFrom,
                                      TQORSVCHandle aNetBackTo);
    // aEndsReread: the answer of a reread, which frees the connection's reread slot.
    void ServQueue_ChannelAnswerText(TQORSVCHandle aCommandContext, TQORGlobalKey aCommandGlobalKey,
                                     std::string aAnswer, bool aEndsReread = false);
    void ServQueue_ChannelDisconnectManagerIdx(int32_t aManagerIndex, TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelDisconnectManagerAddrPort(std::string aManagerAddrUTF8,
                                                    int32_t aManagerPort,
                                                    TQORSVCCtxRef aCommandCtx);
    // A null network means every network; an empty client id the whole network.
    void ServQueue_ChannelDisconnectNetworkClient(TQORSVCHandle aNet, std::string aClientIdUTF8,
                                                  TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelInternalFlags(TQORSVCHandle aNet, std::string aClientIdUTF8,
                                        TQORSVCInternalFlagsQueueCommand aInternalFlagsCmd,
                                        int32_t aFlags, int32_t aInverted,
                                        TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelManagerLogLevel(int32_t aManagerIdx, int32_t aLogLevel,
                                          TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelManagerAuthEnableDisable(int32_t aManagerIdx, bool aEnable,
                                                   TQORSVCCtxRef aCommandCtx);
    void ServQueue_ChannelSendHugeSound(TQORSVCCtxRef aCommandContext, TQORSVCHandle aNet,
                                        std::string aClientID);

    // Accepted connections (listener thread). The record owns the socket until
    // the heartbeat thread takes it; a queue that discards the record closes
    // it, and so does a post that raises before the record is queued.
    // A client connection may come with the session already built
    // (aSession, which then owns the socket: aSocket is invalid).
    void ServQueue_ConnectCommand(plat::SocketHandle aSocket, std::string aRemoteAddrBin,
                                  int32_t aRemotePort);
    void ServQueue_ConnectClient(plat::SocketHandle aSocket, std::string aRemoteAddrBin,
                                 int32_t aRemotePort,
                                 std::unique_ptr<TQORSVCListPayload> aSession = nullptr);

    // Connection contexts.
    void ServQueue_HandshakeClient(TQORSVCCtxRef aContext);
    // A refused connect string: aAnswer is the complete error answer to send.
    void ServQueue_HandshakeError(TQORSVCCtxRef aContext, std::string aAnswer);
    void ServQueue_ClientContextDisconnected(TQORSVCCtxRef aContext, TQORSVCHandle aWorker);
    void ServQueue_CommandContextDisconnected(TQORSVCCtxRef aContext, TQORSVCHandle aWorker);

    // Manager threads and networks.
    void ServQueue_ManagerAnswer(TQORSVCHandle aNetwork, TQORSVCHandle aContext,
                                 TQORGlobalKey aGlobalKey, TClientErrorType aClientError,
                                 int32_t aManagerIndex, std::string aManagerID, int32_t aFlags,
                                 uint32_t aConfirmEmailMask);
    // aTransportBlock: the client's transport block, taken from the live context by the caller.
    void ServQueue_ManagerConfirmEmail(std::string aTransportBlock, int32_t aConfirmEmailMask);
    void ServQueue_ManagerChangeActive(int32_t aManagerIndex, bool aOnline);
    void ServQueue_ManagerThreadStartStop(TQORSVCHandle aManager, int32_t aManagerIndex,
                                          bool aStart);

    // Workers.
    void ServQueue_WorkerStartHot();
    void ServQueue_WorkerRejectedContex(TQORSVCHandle aRecepient);
    void ServQueue_WorkerWillAcceptContext(TQORSVCHandle aSender, TQORSVCHandle aRecepient,
                                           TQORSVCCtxRef aContext);
    // A worker lends the heartbeat a session that holds the floor; the record
    // carries aReturn, the item that will give it back.
    void ServQueue_WorkerGivesTalker(TQORSVCHandle aSender, TQORSVCCtxRef aContext,
                                     std::unique_ptr<TQORSVCWorkerQueueItem> aReturn);
    void ServQueue_WorkerIdle(TQORSVCHandle aIdleWorker);
    void ServQueue_WorkerTerminated(TQORSVCHandle aTerminatedWorker);
    void ServQueue_AbortAllWorkers();

    void ServQueue_ServerStopDisconnectAll();
    // The record owns the configuration object (slot 0 of its list array).
    void ServQueue_ApplyServIntFlags(std::unique_ptr<TQORSVCListPayload> aIntFlagsCfg);
    void ServQueue_MemoryReportAnswerLine(std::string aMemoryReportLine);
    void ServQueue_MemoryReportAnswerReady(TQORSVCMemoryReportReadyEvent aReadyEvent,
                                           TQORSVCHandle aObject);

    // ---- main queue (each wakes the service thread) ------------------------

    // An empty file name means the configured one.
    void MainQueue_RereadAdmins(std::u16string aFileName, TQORSVCCtxRef aCommandContext);
    void MainQueue_RereadMutes(std::u16string aFileName, TQORSVCCtxRef aCommandContext);
    void MainQueue_RereadBlocks(std::u16string aFileName, TQORSVCCtxRef aCommandContext);
    void MainQueue_RereadRights(std::u16string aFileName, TQORSVCCtxRef aCommandContext);
    void MainQueue_RereadModes(std::u16string aFileName, TQORSVCCtxRef aCommandContext);
    void MainQueue_RereadNotices(std::u16string aFileName, TQORSVCCtxRef aCommandContext);
    void MainQueue_RereadIntFlags(std::u16string aFileName, TQORSVCCtxRef aCommandContext);
    void MainQueue_RereadALL();
    void MainQueue_MemoryReportRequest();
    // A record with only its command, for the service's own requests (start,
    // stop, abort, reopen log, flush).
    void MainQueue_PostCmd(TQORSVCMainQueueCmd aCmd);

  private:
    // What follows a push: the queue's peak and the heartbeat's interrupt.
    void ServQueuePushed();
    void UpdateList(TQORServNetworkCommand aCmd, TQORSVCListArray aArray, bool aSave);
    void Reread(TQORSVCMainQueueCmd aCmd, std::u16string aFileName, TQORSVCCtxRef aCtx);

    TQORSVCServQueue f_ServQueue;
    TQORSVCMainQueue f_MainQueue;
    std::atomic<TWaiter2Base*> e_TimerWaiter;
    std::atomic<TWaiter2Base*> e_ServiceWaiter;
    std::atomic<int32_t> f_HeldReaders{0};
    std::atomic<int32_t> f_ServQueuePeak{0};
    std::atomic<uint64_t> f_WorkerWakes{0};
};

}  // namespace gax
