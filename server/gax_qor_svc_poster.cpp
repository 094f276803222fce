#include "server/gax_qor_svc_poster.h"

#include <utility>

namespace gax {

using C = TQORServNetworkCommand;

TQORSVCPoster::TQORSVCPoster(TWaiter2Base* aTimerWaiter, TWaiter2Base* aServiceWaiter,
                             int32_t aServBlockCapacity, int32_t aMainBlockCapacity)
    : f_ServQueue(aServBlockCapacity),
      f_MainQueue(aMainBlockCapacity),
      e_TimerWaiter(aTimerWaiter),
      e_ServiceWaiter(aServiceWaiter) {}

void TQORSVCPoster::InterruptHeartbeat() {
    if (TWaiter2Base* w = e_TimerWaiter.load()) w->SetInterrupt();
}

void TQORSVCPoster::InterruptService() {
    if (TWaiter2Base* w = e_ServiceWaiter.load()) w->SetInterrupt();
}

namespace {

// The fields a post names; every other field of the record stays empty, null or 0.
struct PostFields {
    TQORSVCCtxRef Ctx{};
    TQORSVCHandle Sender{};
    TQORSVCHandle Receiver{};
    std::string S1{};
    std::string S2{};
    uintptr_t Socket = 0;
    int32_t I0 = 0;
    int32_t I1 = 0;
    int32_t I2 = 0;
};

std::unique_ptr<TQORSVCNetQueueRecord> NewRecord(TQORServNetworkCommand aCmd,
                                                 PostFields aFields = {}) {
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    rec->nqr_Cmd = aCmd;
    rec->nqr_Context = aFields.Ctx.Ctx;
    rec->nqr_GlobalKey = aFields.Ctx.Key;
    rec->nqr_SenderObj = aFields.Sender;
    rec->nqr_ReceiverObj = aFields.Receiver;
    rec->nqr_DataS1 = std::move(aFields.S1);
    rec->nqr_DataS2 = std::move(aFields.S2);
    rec->nqr_Socket = aFields.Socket;
    rec->nqr_DataI0 = aFields.I0;
    rec->nqr_DataI1 = aFields.I1;
    rec->nqr_DataI2 = aFields.I2;
    return rec;
}

}  // namespace

// The interrupt follows the push, so the consumer that resets its interrupt
// before draining either sees the record or is woken again for it.
namespace {
thread_local bool t_HeartbeatPosts = false;
}  // namespace

TQORSVCPoster::HeartbeatPosts::HeartbeatPosts() : f_Outer(t_HeartbeatPosts) {
    t_HeartbeatPosts = true;
}

TQORSVCPoster::HeartbeatPosts::~HeartbeatPosts() { t_HeartbeatPosts = f_Outer; }

void TQORSVCPoster::ServQueuePush(RecordPtr aRec) {
    f_ServQueue.Push(std::move(aRec));
    ServQueuePushed();
}

void TQORSVCPoster::ServQueuePushed() {
    const int32_t n = f_ServQueue.Count();
    int32_t peak = f_ServQueuePeak.load(std::memory_order_relaxed);
    while (n > peak &&
           !f_ServQueuePeak.compare_exchange_weak(peak, n, std::memory_order_relaxed)) {
    }
    if (!t_HeartbeatPosts) InterruptHeartbeat();
}

// ---- list updates and changes ---------------------------------------------

void TQORSVCPoster::UpdateList(TQORServNetworkCommand aCmd, TQORSVCListArray aArray, bool aSave) {
    auto rec = NewRecord(aCmd, {.I0 = aSave ? 1 : 0});
    rec->nqr_ListArray = std::move(aArray);
    f_ServQueue.Push(std::move(rec));
}

void TQORSVCPoster::ServQueue_UpdateAdminsList(TQORSVCListArray a, bool aSave) {
    UpdateList(C::snc_UpdateAdminsList, std::move(a), aSave);
}
void TQORSVCPoster::ServQueue_UpdateMutesList(TQORSVCListArray a, bool aSave) {
    UpdateList(C::snc_UpdateMutesList, std::move(a), aSave);
}
void TQORSVCPoster::ServQueue_UpdateBlocksList(TQORSVCListArray a, bool aSave) {
    UpdateList(C::snc_UpdateBlocksList, std::move(a), aSave);
}
void TQORSVCPoster::ServQueue_UpdateRightsList(TQORSVCListArray a, bool aSave) {
    UpdateList(C::snc_UpdateRightsList, std::move(a), aSave);
}
void TQORSVCPoster::ServQueue_UpdateModesList(TQORSVCListArray a, bool aSave) {
    UpdateList(C::snc_UpdateModesList, std::move(a), aSave);
}
void TQORSVCPoster::ServQueue_UpdateNoticesList(TQORSVCListArray a, bool aSave) {
    UpdateList(C::snc_UpdateNoticesList, std::move(a), aSave);
}

void TQORSVCPoster::ServQueue_AdminsListChanged() {
    ServQueuePush(NewRecord(C::snc_AdminsListChanged));
}
void TQORSVCPoster::ServQueue_MutesListChanged() {
    ServQueuePush(NewRecord(C::snc_MutesListChanged));
}
void TQORSVCPoster::ServQueue_BlocksListChanged() {
    ServQueuePush(NewRecord(C::snc_BlocksListChanged));
}
void TQORSVCPoster::ServQueue_RightsListChanged() {
    ServQueuePush(NewRecord(C::snc_RightsListChanged));
}
void TQORSVCPoster::ServQueue_ModesListChanged() {
    ServQueuePush(NewRecord(C::snc_ModesListChanged));
}
void TQORSVCPoster::ServQueue_NoticesListChanged() {
    ServQueuePush(NewRecord(C::snc_NoticesListChanged));
}
void TQORSVCPoster::ServQueue_OwnerInfoChanged() {
    ServQueuePush(NewRecord(C::snc_OwnerInfoChanged));
}

// ---- command channel ------------------------------------------------------

void TQORSVCPoster::ServQueue_ChannelMute(std::string aClientID, TQORSVCHandle aNetwork,
                                          int32_t aTime, bool aAdd) {
    ServQueuePush(NewRecord(
        C::snc_ChannelMute,
        {.Receiver = aNetwork, .S2 = std::move(aClientID), .I0 = aTime, .I1 = aAdd ? 1 : 0}));
}

void TQORSVCPoster::ServQueue_ChannelBlock(std::string aClientID, TQORSVCHandle aNetwork,
                                           int32_t aTime, bool aAdd) {
    ServQueuePush(NewRecord(
        C::snc_ChannelBlock,
        {.Receiver = aNetwork, .S2 = std::move(aClientID), .I0 = aTime, .I1 = aAdd ? 1 : 0}));
}

void TQORSVCPoster::ServQueue_ChannelAdmin(std::string aClientID, TQORSVCHandle aNetwork,
                                           bool aAdd) {
    ServQueuePush(
        NewRecord(C::snc_ChannelAdmin,
                  {.Receiver = aNetwork, .S1 = std::move(aClientID), .I0 = aAdd ? 1 : 0}));
}

void TQORSVCPoster::ServQueue_ChannelRightAddDel(std::string aEmailUTF8, TQORSVCHandle aNetwork,
                                                 bool aAdd) {
    ServQueuePush(
        NewRecord(C::snc_ChannelRight,
                  {.Receiver = aNetwork, .S1 = std::move(aEmailUTF8), .I0 = aAdd ? 1 : 0}));
}

void TQORSVCPoster::ServQueue_ChannelRightMarkUnmark(std::string aEmailUTF8, TQORSVCHandle aNetwork,
                                                     bool aMark) {
    ServQueuePush(
        NewRecord(C::snc_ChannelRightMark,
                  {.Receiver = aNetwork, .S1 = std::move(aEmailUTF8), .I0 = aMark ? 1 : 0}));
}

void TQORSVCPoster::ServQueue_ChannelRightNoticeSet(std::string aNoticeANSI,
                                                    std::string aNoticeUTF8,
                                                    TQORSVCHandle aNetwork) {
    ServQueuePush(NewRecord(
        C::snc_ChannelRightNoticeSet,
        {.Receiver = aNetwork, .S1 = std::move(aNoticeANSI), .S2 = std::move(aNoticeUTF8)}));
}

void TQORSVCPoster::ServQueue_ChannelRightNoticeClear(TQORSVCHandle aNetwork) {
    ServQueue_ChannelRightNoticeSet({}, {}, aNetwork);
}

void TQORSVCPoster::ServQueue_ChannelConnectListedOnly(TQORSVCHandle aNetwork, int32_t aAction,
                                                       TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(NewRecord(C::snc_ChannelConnectListedOnly,
                            {.Ctx = aCommandCtx, .Receiver = aNetwork, .I0 = aAction}));
}

void TQORSVCPoster::ServQueue_ChannelTalkMarkedOnly(TQORSVCHandle aNetwork, int32_t aRequstedAction,
                                                    TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(NewRecord(C::snc_ChannelTalkMarkedOnly,
                            {.Ctx = aCommandCtx, .Receiver = aNetwork, .I0 = aRequstedAction}));
}

void TQORSVCPoster::ServQueue_ChannelListNet(TQORSVCHandle aNetwork, TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(NewRecord(C::snc_ChannelListNet, {.Ctx = aCommandCtx, .Receiver = aNetwork}));
}

void TQORSVCPoster::ServQueue_ChannelListServer(TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(NewRecord(C::snc_ChannelListServer, {.Ctx = aCommandCtx}));
}
void TQORSVCPoster::ServQueue_ChannelThreads(TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(NewRecord(C::snc_ChannelThreads, {.Ctx = aCommandCtx}));
}
void TQORSVCPoster::ServQueue_ChannelFlushData(TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(NewRecord(C::snc_ChannelFlushData, {.Ctx = aCommandCtx}));
}
void TQORSVCPoster::ServQueue_ChannelManagersList(TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(NewRecord(C::snc_ChannelManagersList, {.Ctx = aCommandCtx}));
}
void TQORSVCPoster::ServQueue_ChannelMemoryReportRequest(TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(NewRecord(C::snc_ChannelMemoryReportRequest, {.Ctx = aCommandCtx}));
}

void TQORSVCPoster::ServQueue_ChannelServerManagerMode(TQORSystemManagerMode aManagerMode) {
    ServQueuePush(NewRecord(C::snc_ChannelServerManagerMode, {.I0 = aManagerMode}));
}

void TQORSVCPoster::ServQueue_ChannelNetworkManagerMode(TQORSVCHandle aNetwork,
                                                        TQORSystemManagerMode aManagerMode) {
    ServQueuePush(
        NewRecord(C::snc_ChannelNetworkManagerMode, {.Receiver = aNetwork, .I0 = aManagerMode}));
}

void TQORSVCPoster::ServQueue_ChannelNetworkLogLevel(TQORSVCHandle aNetwork, int32_t aNetLogLevel) {
    ServQueuePush(
        NewRecord(C::snc_ChannelNetworkLogLevel, {.Receiver = aNetwork, .I0 = aNetLogLevel}));
}

void TQORSVCPoster::ServQueue_ContextMoveClient(TQORSVCCtxRef aClientContext, TQORSVCHandle aNetTo,
                                                std::string aClientID, int32_t aMoveTime) {
    ServQueuePush(NewRecord(
        C::snc_ContextMoveClient,
        {.Ctx = aClientContext, .Receiver = aNetTo, .S1 = std::move(aClientID), .I0 = aMoveTime}));
}

void TQORSVCPoster::ServQueue_ChannelMoveClient(TQORSVCCtxRef aCommandContext,
                                                TQORSVCHandle aNetFrom, TQORSVCHandle aNetTo,
                                                std::string aClientID, int32_t aMoveTime) {
    ServQueuePush(NewRecord(C::snc_ChannelMoveClient, {.Ctx = aCommandContext,
                                                       .Sender = aNetFrom,
                                                       .Receiver = aNetTo,
                                                       .S1 = std::move(aClientID),
                                                       .I0 = aMoveTime}));
}

void TQORSVCPoster::ServQueue_MoveClientAutoBack(TQORSVCCtxRef aClientContext,
                                                 TQORSVCHandle aNetBackFrom,
                                                 TQORSVCHandle aNetBackTo) {
    ServQueuePush(
        NewRecord(C::snc_MoveClientAutoBack,
                  {.Ctx = aClientContext, .Sender = aNetBackFrom, .Receiver = aNetBackTo}));
}

void TQORSVCPoster::ServQueue_ChannelAnswerText(TQORSVCHandle aCommandContext,
                                                TQORGlobalKey aCommandGlobalKey,
                                                std::string aAnswer, bool aEndsReread) {
    ServQueuePush(NewRecord(C::snc_ChannelCommandAnswer, {.Ctx = {aCommandContext, aCommandGlobalKey},
                                                          .S1 = std::move(aAnswer),
                                                          .I0 = aEndsReread ? 1 : 0}));
}

void TQORSVCPoster::ServQueue_ChannelDisconnectManagerIdx(int32_t aManagerIndex,
                                                          TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(
        NewRecord(C::snc_ChannelDisconnectManagerIdx, {.Ctx = aCommandCtx, .I0 = aManagerIndex}));
}

void TQORSVCPoster::ServQueue_ChannelDisconnectManagerAddrPort(std::string aManagerAddrUTF8,
                                                               int32_t aManagerPort,
                                                               TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(
        NewRecord(C::snc_ChannelDisconnectManagerAddrPort,
                  {.Ctx = aCommandCtx, .S1 = std::move(aManagerAddrUTF8), .I0 = aManagerPort}));
}

void TQORSVCPoster::ServQueue_ChannelDisconnectNetworkClient(TQORSVCHandle aNet,
                                                             std::string aClientIdUTF8,
                                                             TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(
        NewRecord(C::snc_ChannelDisconnectNetworkClient,
                  {.Ctx = aCommandCtx, .Receiver = aNet, .S1 = std::move(aClientIdUTF8)}));
}

void TQORSVCPoster::ServQueue_ChannelInternalFlags(TQORSVCHandle aNet, std::string aClientIdUTF8,
                                                   TQORSVCInternalFlagsQueueCommand aCmd,
                                                   int32_t aFlags, int32_t aInverted,
                                                   TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(NewRecord(C::snc_ChannelInternalFlags, {.Ctx = aCommandCtx,
                                                          .Receiver = aNet,
                                                          .S1 = std::move(aClientIdUTF8),
                                                          .I0 = static_cast<int32_t>(aCmd),
                                                          .I1 = aFlags,
                                                          .I2 = aInverted}));
}

void TQORSVCPoster::ServQueue_ChannelManagerLogLevel(int32_t aManagerIdx, int32_t aLogLevel,
                                                     TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(NewRecord(C::snc_ChannelManagerLogLevel,
                            {.Ctx = aCommandCtx, .I0 = aManagerIdx, .I1 = aLogLevel}));
}

void TQORSVCPoster::ServQueue_ChannelManagerAuthEnableDisable(int32_t aManagerIdx, bool aEnable,
                                                              TQORSVCCtxRef aCommandCtx) {
    ServQueuePush(NewRecord(C::snc_ChannelManagerAuthEnableDisable,
                            {.Ctx = aCommandCtx, .I0 = aManagerIdx, .I1 = aEnable ? 1 : 0}));
}

void TQORSVCPoster::ServQueue_ChannelSendHugeSound(TQORSVCCtxRef aCommandContext,
                                                   TQORSVCHandle aNet, std::string aClientID) {
    ServQueuePush(
        NewRecord(C::snc_ChannelSendHugeSound,
                  {.Ctx = aCommandContext, .Receiver = aNet, .S1 = std::move(aClientID)}));
}

// ---- accepted connections -------------------------------------------------

namespace {

// An accepted socket until its record is queued: a post that raises (short
// of memory) closes it, as a queue that discards the record would, so that
// the peer is not left connected to nothing.
class AcceptedSocket {
  public:
    explicit AcceptedSocket(plat::SocketHandle aSocket) : f_Socket(aSocket) {}
    ~AcceptedSocket() {
        if (f_Socket >= 0) plat::SockClose(f_Socket);
    }
    AcceptedSocket(const AcceptedSocket&) = delete;
    AcceptedSocket& operator=(const AcceptedSocket&) = delete;
    void Queued() { f_Socket = -1; }

  private:
    plat::SocketHandle f_Socket;
};

}  // namespace

void TQORSVCPoster::ServQueue_ConnectCommand(plat::SocketHandle aSocket, std::string aRemoteAddrBin,
                                             int32_t aRemotePort) {
    AcceptedSocket owned(aSocket);
    f_ServQueue.Push(NewRecord(C::snc_ServConnectCommand,
                               {.S1 = std::move(aRemoteAddrBin), .I0 = aSocket, .I1 = aRemotePort}));
    owned.Queued();
    ServQueuePushed();
}

void TQORSVCPoster::ServQueue_ConnectClient(plat::SocketHandle aSocket, std::string aRemoteAddrBin,
                                            int32_t aRemotePort,
                                            std::unique_ptr<TQORSVCListPayload> aSession) {
    AcceptedSocket owned(aSocket);
    auto rec = NewRecord(C::snc_ServConnectClient,
                         {.S1 = std::move(aRemoteAddrBin), .I0 = aSocket, .I1 = aRemotePort});
    if (aSession) rec->nqr_ListArray.push_back({std::move(aSession), 0});
    f_ServQueue.Push(std::move(rec));
    owned.Queued();
    ServQueuePushed();
}

// ---- connection contexts --------------------------------------------------

void TQORSVCPoster::ServQueue_HandshakeClient(TQORSVCCtxRef aContext) {
    ServQueuePush(NewRecord(C::snc_HandshakeClient, {.Ctx = aContext}));
}

void TQORSVCPoster::ServQueue_HandshakeError(TQORSVCCtxRef aContext, std::string aAnswer) {
    ServQueuePush(NewRecord(C::snc_HandshakeError, {.Ctx = aContext, .S1 = std::move(aAnswer)}));
}

void TQORSVCPoster::ServQueue_ClientContextDisconnected(TQORSVCCtxRef aContext,
                                                        TQORSVCHandle aWorker) {
    ServQueuePush(NewRecord(C::snc_ClientDisconnected, {.Ctx = aContext, .Sender = aWorker}));
}

void TQORSVCPoster::ServQueue_CommandContextDisconnected(TQORSVCCtxRef aContext,
                                                         TQORSVCHandle aWorker) {
    ServQueuePush(NewRecord(C::snc_CommandDisconnected, {.Ctx = aContext, .Sender = aWorker}));
}

// ---- managers -------------------------------------------------------------

void TQORSVCPoster::ServQueue_ManagerAnswer(TQORSVCHandle aNetwork, TQORSVCHandle aContext,
                                            TQORGlobalKey aGlobalKey, TClientErrorType aClientError,
                                            int32_t aManagerIndex, std::string aManagerID,
                                            int32_t aFlags, uint32_t aConfirmEmailMask) {
    ServQueuePush(NewRecord(C::snc_ManagerAnswer, {.Ctx = {aContext, aGlobalKey},
                                                   .Receiver = aNetwork,
                                                   .S2 = std::move(aManagerID),
                                                   .Socket = aConfirmEmailMask,
                                                   .I0 = static_cast<int32_t>(aClientError),
                                                   .I1 = aManagerIndex,
                                                   .I2 = aFlags}));
}

void TQORSVCPoster::ServQueue_ManagerConfirmEmail(std::string aTransportBlock,
                                                  int32_t aConfirmEmailMask) {
    ServQueuePush(NewRecord(C::snc_ManagerConfirmEmail,
                            {.S1 = std::move(aTransportBlock), .I0 = aConfirmEmailMask}));
}

void TQORSVCPoster::ServQueue_ManagerChangeActive(int32_t aManagerIndex, bool aOnline) {
    ServQueuePush(NewRecord(C::snc_ManagerOnOffLine, {.I0 = aManagerIndex, .I1 = aOnline ? 1 : 0}));
}

void TQORSVCPoster::ServQueue_ManagerThreadStartStop(TQORSVCHandle aManager, int32_t aManagerIndex,
                                                     bool aStart) {
    ServQueuePush(NewRecord(C::snc_ManagerThreadStartStop,
                            {.Sender = aManager, .I0 = aManagerIndex, .I1 = aStart ? 1 : 0}));
}

// ---- workers and the service ----------------------------------------------

void TQORSVCPoster::ServQueue_WorkerStartHot() {
    ServQueuePush(NewRecord(C::snc_ServWorkerStartHot));
}

void TQORSVCPoster::ServQueue_WorkerRejectedContex(TQORSVCHandle aRecepient) {
    ServQueuePush(NewRecord(C::snc_ServWorkerRejectedContex, {.Receiver = aRecepient}));
}

void TQORSVCPoster::ServQueue_WorkerWillAcceptContext(TQORSVCHandle aSender,
                                                      TQORSVCHandle aRecepient,
                                                      TQORSVCCtxRef aContext) {
    ServQueuePush(NewRecord(C::snc_ServWorkerWillAcceptContext,
                            {.Ctx = aContext, .Sender = aSender, .Receiver = aRecepient}));
}

void TQORSVCPoster::ServQueue_WorkerGivesTalker(TQORSVCHandle aSender, TQORSVCCtxRef aContext,
                                                std::unique_ptr<TQORSVCWorkerQueueItem> aReturn) {
    auto rec = NewRecord(C::snc_ServWorkerGivesTalker, {.Ctx = aContext, .Sender = aSender});
    rec->nqr_ReturnItem = std::move(aReturn);
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_WorkerIdle(TQORSVCHandle aIdleWorker) {
    ServQueuePush(NewRecord(C::snc_ServWorkerIdle, {.Sender = aIdleWorker}));
}

void TQORSVCPoster::ServQueue_WorkerTerminated(TQORSVCHandle aTerminatedWorker) {
    ServQueuePush(NewRecord(C::snc_ServWorkerTerminated, {.Sender = aTerminatedWorker}));
}

void TQORSVCPoster::ServQueue_AbortAllWorkers() {
    ServQueuePush(NewRecord(C::snc_ServAbortAllWorkers));
}

void TQORSVCPoster::ServQueue_ServerStopDisconnectAll() {
    ServQueuePush(NewRecord(C::snc_ServStopDisconnectAll));
}

void TQORSVCPoster::ServQueue_ApplyServIntFlags(std::unique_ptr<TQORSVCListPayload> aCfg) {
    auto rec = NewRecord(C::snc_ApplyServIntFlags);
    rec->nqr_ListArray.resize(1);
    rec->nqr_ListArray[0].List = std::move(aCfg);
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_MemoryReportAnswerLine(std::string aMemoryReportLine) {
    ServQueuePush(NewRecord(C::snc_MemoryReportAnswerLine, {.S1 = std::move(aMemoryReportLine)}));
}

void TQORSVCPoster::ServQueue_MemoryReportAnswerReady(TQORSVCMemoryReportReadyEvent aReadyEvent,
                                                      TQORSVCHandle aObject) {
    ServQueuePush(NewRecord(C::snc_MemoryReportAnswerReadyEvent,
                            {.Sender = aObject, .I0 = static_cast<int32_t>(aReadyEvent)}));
}

// ---- main queue -----------------------------------------------------------

void TQORSVCPoster::Reread(TQORSVCMainQueueCmd aCmd, std::u16string aFileName, TQORSVCCtxRef aCtx) {
    f_MainQueue.EnqueueStringWrkCtx(aCmd, std::move(aFileName), aCtx);
    InterruptService();
}

void TQORSVCPoster::MainQueue_RereadAdmins(std::u16string aFileName, TQORSVCCtxRef aCtx) {
    Reread(TQORSVCMainQueueCmd::fsmqc_RereadAdmins, std::move(aFileName), aCtx);
}
void TQORSVCPoster::MainQueue_RereadMutes(std::u16string aFileName, TQORSVCCtxRef aCtx) {
    Reread(TQORSVCMainQueueCmd::fsmqc_RereadMutes, std::move(aFileName), aCtx);
}
void TQORSVCPoster::MainQueue_RereadBlocks(std::u16string aFileName, TQORSVCCtxRef aCtx) {
    Reread(TQORSVCMainQueueCmd::fsmqc_RereadBlocks, std::move(aFileName), aCtx);
}
void TQORSVCPoster::MainQueue_RereadRights(std::u16string aFileName, TQORSVCCtxRef aCtx) {
    Reread(TQORSVCMainQueueCmd::fsmqc_RereadRights, std::move(aFileName), aCtx);
}
void TQORSVCPoster::MainQueue_RereadModes(std::u16string aFileName, TQORSVCCtxRef aCtx) {
    Reread(TQORSVCMainQueueCmd::fsmqc_RereadModes, std::move(aFileName), aCtx);
}
void TQORSVCPoster::MainQueue_RereadNotices(std::u16string aFileName, TQORSVCCtxRef aCtx) {
    Reread(TQORSVCMainQueueCmd::fsmqc_RereadNotices, std::move(aFileName), aCtx);
}
void TQORSVCPoster::MainQueue_RereadIntFlags(std::u16string aFileName, TQORSVCCtxRef aCtx) {
    Reread(TQORSVCMainQueueCmd::fsmqc_RereadIntFlags, std::move(aFileName), aCtx);
}

void TQORSVCPoster::MainQueue_RereadALL() {
    MainQueue_PostCmd(TQORSVCMainQueueCmd::fsmqc_RereadALL);
}

void TQORSVCPoster::MainQueue_MemoryReportRequest() {
    MainQueue_PostCmd(TQORSVCMainQueueCmd::fsmqc_MemRepRequest);
}

void TQORSVCPoster::MainQueue_PostCmd(TQORSVCMainQueueCmd aCmd) {
    f_MainQueue.EnqueueCmd(aCmd);
    InterruptService();
}

}  // namespace gax
