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

TQORSVCPoster::RecordPtr TQORSVCPoster::NewRecord(TQORServNetworkCommand aCmd) {
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    rec->nqr_Cmd = aCmd;
    return rec;
}

// The interrupt follows the push, so the consumer that resets its interrupt
// before draining either sees the record or is woken again for it.
void TQORSVCPoster::ServQueuePush(RecordPtr aRec) {
    f_ServQueue.Push(std::move(aRec));
    InterruptHeartbeat();
}

void TQORSVCPoster::PostCmd(TQORServNetworkCommand aCmd) {
    ServQueuePush(NewRecord(aCmd));
}

void TQORSVCPoster::PostCtx(TQORServNetworkCommand aCmd, TQORSVCCtxRef aCtx) {
    auto rec = NewRecord(aCmd);
    rec->nqr_Context = aCtx.Ctx;
    rec->nqr_GlobalKey = aCtx.Key;
    ServQueuePush(std::move(rec));
}

// ---- list updates and changes ---------------------------------------------

void TQORSVCPoster::UpdateList(TQORServNetworkCommand aCmd, TQORSVCListArray aArray, bool aSave) {
    auto rec = NewRecord(aCmd);
    rec->nqr_ListArray = std::move(aArray);
    rec->nqr_DataI0 = aSave ? 1 : 0;
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
    PostCmd(C::snc_AdminsListChanged);
}
void TQORSVCPoster::ServQueue_MutesListChanged() {
    PostCmd(C::snc_MutesListChanged);
}
void TQORSVCPoster::ServQueue_BlocksListChanged() {
    PostCmd(C::snc_BlocksListChanged);
}
void TQORSVCPoster::ServQueue_RightsListChanged() {
    PostCmd(C::snc_RightsListChanged);
}
void TQORSVCPoster::ServQueue_ModesListChanged() {
    PostCmd(C::snc_ModesListChanged);
}
void TQORSVCPoster::ServQueue_NoticesListChanged() {
    PostCmd(C::snc_NoticesListChanged);
}
void TQORSVCPoster::ServQueue_OwnerInfoChanged() {
    PostCmd(C::snc_OwnerInfoChanged);
}

// ---- command channel ------------------------------------------------------

void TQORSVCPoster::ServQueue_ChannelMute(std::string aClientID, TQORSVCHandle aNetwork,
                                          int32_t aTime, bool aAdd) {
    auto rec = NewRecord(C::snc_ChannelMute);
    rec->nqr_ReceiverObj = aNetwork;
    rec->nqr_DataS2 = std::move(aClientID);
    rec->nqr_DataI0 = aTime;
    rec->nqr_DataI1 = aAdd ? 1 : 0;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelBlock(std::string aClientID, TQORSVCHandle aNetwork,
                                           int32_t aTime, bool aAdd) {
    auto rec = NewRecord(C::snc_ChannelBlock);
    rec->nqr_ReceiverObj = aNetwork;
    rec->nqr_DataS2 = std::move(aClientID);
    rec->nqr_DataI0 = aTime;
    rec->nqr_DataI1 = aAdd ? 1 : 0;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelAdmin(std::string aClientID, TQORSVCHandle aNetwork,
                                           bool aAdd) {
    auto rec = NewRecord(C::snc_ChannelAdmin);
    rec->nqr_ReceiverObj = aNetwork;
    rec->nqr_DataS1 = std::move(aClientID);
    rec->nqr_DataI0 = aAdd ? 1 : 0;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelRightAddDel(std::string aEmailUTF8, TQORSVCHandle aNetwork,
                                                 bool aAdd) {
    auto rec = NewRecord(C::snc_ChannelRight);
    rec->nqr_ReceiverObj = aNetwork;
    rec->nqr_DataS1 = std::move(aEmailUTF8);
    rec->nqr_DataI0 = aAdd ? 1 : 0;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelRightMarkUnmark(std::string aEmailUTF8, TQORSVCHandle aNetwork,
                                                     bool aMark) {
    auto rec = NewRecord(C::snc_ChannelRightMark);
    rec->nqr_ReceiverObj = aNetwork;
    rec->nqr_DataS1 = std::move(aEmailUTF8);
    rec->nqr_DataI0 = aMark ? 1 : 0;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelRightNoticeSet(std::string aNoticeANSI,
                                                    std::string aNoticeUTF8,
                                                    TQORSVCHandle aNetwork) {
    auto rec = NewRecord(C::snc_ChannelRightNoticeSet);
    rec->nqr_ReceiverObj = aNetwork;
    rec->nqr_DataS1 = std::move(aNoticeANSI);
    rec->nqr_DataS2 = std::move(aNoticeUTF8);
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelRightNoticeClear(TQORSVCHandle aNetwork) {
    ServQueue_ChannelRightNoticeSet({}, {}, aNetwork);
}

void TQORSVCPoster::ServQueue_ChannelConnectListedOnly(TQORSVCHandle aNetwork, int32_t aAction,
                                                       TQORSVCCtxRef aCommandCtx) {
    auto rec = NewRecord(C::snc_ChannelConnectListedOnly);
    rec->nqr_Context = aCommandCtx.Ctx;
    rec->nqr_GlobalKey = aCommandCtx.Key;
    rec->nqr_ReceiverObj = aNetwork;
    rec->nqr_DataI0 = aAction;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelTalkMarkedOnly(TQORSVCHandle aNetwork, int32_t aRequstedAction,
                                                    TQORSVCCtxRef aCommandCtx) {
    auto rec = NewRecord(C::snc_ChannelTalkMarkedOnly);
    rec->nqr_Context = aCommandCtx.Ctx;
    rec->nqr_GlobalKey = aCommandCtx.Key;
    rec->nqr_ReceiverObj = aNetwork;
    rec->nqr_DataI0 = aRequstedAction;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelListNet(TQORSVCHandle aNetwork, TQORSVCCtxRef aCommandCtx) {
    auto rec = NewRecord(C::snc_ChannelListNet);
    rec->nqr_Context = aCommandCtx.Ctx;
    rec->nqr_GlobalKey = aCommandCtx.Key;
    rec->nqr_ReceiverObj = aNetwork;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelListServer(TQORSVCCtxRef aCommandCtx) {
    PostCtx(C::snc_ChannelListServer, aCommandCtx);
}
void TQORSVCPoster::ServQueue_ChannelThreads(TQORSVCCtxRef aCommandCtx) {
    PostCtx(C::snc_ChannelThreads, aCommandCtx);
}
void TQORSVCPoster::ServQueue_ChannelFlushData(TQORSVCCtxRef aCommandCtx) {
    PostCtx(C::snc_ChannelFlushData, aCommandCtx);
}
void TQORSVCPoster::ServQueue_ChannelManagersList(TQORSVCCtxRef aCommandCtx) {
    PostCtx(C::snc_ChannelManagersList, aCommandCtx);
}
void TQORSVCPoster::ServQueue_ChannelMemoryReportRequest(TQORSVCCtxRef aCommandCtx) {
    PostCtx(C::snc_ChannelMemoryReportRequest, aCommandCtx);
}

void TQORSVCPoster::ServQueue_ChannelServerManagerMode(TQORSystemManagerMode aManagerMode) {
    auto rec = NewRecord(C::snc_ChannelServerManagerMode);
    rec->nqr_DataI0 = aManagerMode;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelNetworkManagerMode(TQORSVCHandle aNetwork,
                                                        TQORSystemManagerMode aManagerMode) {
    auto rec = NewRecord(C::snc_ChannelNetworkManagerMode);
    rec->nqr_ReceiverObj = aNetwork;
    rec->nqr_DataI0 = aManagerMode;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelNetworkLogLevel(TQORSVCHandle aNetwork, int32_t aNetLogLevel) {
    auto rec = NewRecord(C::snc_ChannelNetworkLogLevel);
    rec->nqr_ReceiverObj = aNetwork;
    rec->nqr_DataI0 = aNetLogLevel;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ContextMoveClient(TQORSVCCtxRef aClientContext, TQORSVCHandle aNetTo,
                                                std::string aClientID, int32_t aMoveTime) {
    auto rec = NewRecord(C::snc_ContextMoveClient);
    rec->nqr_Context = aClientContext.Ctx;
    rec->nqr_GlobalKey = aClientContext.Key;
    rec->nqr_ReceiverObj = aNetTo;
    rec->nqr_DataS1 = std::move(aClientID);
    rec->nqr_DataI0 = aMoveTime;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelMoveClient(TQORSVCCtxRef aCommandContext,
                                                TQORSVCHandle aNetFrom, TQORSVCHandle aNetTo,
                                                std::string aClientID, int32_t aMoveTime) {
    auto rec = NewRecord(C::snc_ChannelMoveClient);
    rec->nqr_Context = aCommandContext.Ctx;
    rec->nqr_GlobalKey = aCommandContext.Key;
    rec->nqr_SenderObj = aNetFrom;
    rec->nqr_ReceiverObj = aNetTo;
    rec->nqr_DataS1 = std::move(aClientID);
    rec->nqr_DataI0 = aMoveTime;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_MoveClientAutoBack(TQORSVCCtxRef aClientContext,
                                                 TQORSVCHandle aNetBackFrom,
                                                 TQORSVCHandle aNetBackTo) {
    auto rec = NewRecord(C::snc_MoveClientAutoBack);
    rec->nqr_Context = aClientContext.Ctx;
    rec->nqr_GlobalKey = aClientContext.Key;
    rec->nqr_SenderObj = aNetBackFrom;
    rec->nqr_ReceiverObj = aNetBackTo;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelAnswerText(TQORSVCHandle aCommandContext,
                                                TQORGlobalKey aCommandGlobalKey,
                                                std::string aAnswer) {
    auto rec = NewRecord(C::snc_ChannelCommandAnswer);
    rec->nqr_Context = aCommandContext;
    rec->nqr_GlobalKey = aCommandGlobalKey;
    rec->nqr_DataS1 = std::move(aAnswer);
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelDisconnectManagerIdx(int32_t aManagerIndex,
                                                          TQORSVCCtxRef aCommandCtx) {
    auto rec = NewRecord(C::snc_ChannelDisconnectManagerIdx);
    rec->nqr_Context = aCommandCtx.Ctx;
    rec->nqr_GlobalKey = aCommandCtx.Key;
    rec->nqr_DataI0 = aManagerIndex;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelDisconnectManagerAddrPort(std::string aManagerAddrUTF8,
                                                               int32_t aManagerPort,
                                                               TQORSVCCtxRef aCommandCtx) {
    auto rec = NewRecord(C::snc_ChannelDisconnectManagerAddrPort);
    rec->nqr_Context = aCommandCtx.Ctx;
    rec->nqr_GlobalKey = aCommandCtx.Key;
    rec->nqr_DataS1 = std::move(aManagerAddrUTF8);
    rec->nqr_DataI0 = aManagerPort;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelDisconnectNetworkClient(TQORSVCHandle aNet,
                                                             std::string aClientIdUTF8,
                                                             TQORSVCCtxRef aCommandCtx) {
    auto rec = NewRecord(C::snc_ChannelDisconnectNetworkClient);
    rec->nqr_Context = aCommandCtx.Ctx;
    rec->nqr_GlobalKey = aCommandCtx.Key;
    rec->nqr_ReceiverObj = aNet;
    rec->nqr_DataS1 = std::move(aClientIdUTF8);
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelInternalFlags(TQORSVCHandle aNet, std::string aClientIdUTF8,
                                                   TQORSVCInternalFlagsQueueCommand aCmd,
                                                   int32_t aFlags, int32_t aInverted,
                                                   TQORSVCCtxRef aCommandCtx) {
    auto rec = NewRecord(C::snc_ChannelInternalFlags);
    rec->nqr_Context = aCommandCtx.Ctx;
    rec->nqr_GlobalKey = aCommandCtx.Key;
    rec->nqr_ReceiverObj = aNet;
    rec->nqr_DataS1 = std::move(aClientIdUTF8);
    rec->nqr_DataI0 = static_cast<int32_t>(aCmd);
    rec->nqr_DataI1 = aFlags;
    rec->nqr_DataI2 = aInverted;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelManagerLogLevel(int32_t aManagerIdx, int32_t aLogLevel,
                                                     TQORSVCCtxRef aCommandCtx) {
    auto rec = NewRecord(C::snc_ChannelManagerLogLevel);
    rec->nqr_Context = aCommandCtx.Ctx;
    rec->nqr_GlobalKey = aCommandCtx.Key;
    rec->nqr_DataI0 = aManagerIdx;
    rec->nqr_DataI1 = aLogLevel;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelManagerAuthEnableDisable(int32_t aManagerIdx, bool aEnable,
                                                              TQORSVCCtxRef aCommandCtx) {
    auto rec = NewRecord(C::snc_ChannelManagerAuthEnableDisable);
    rec->nqr_Context = aCommandCtx.Ctx;
    rec->nqr_GlobalKey = aCommandCtx.Key;
    rec->nqr_DataI0 = aManagerIdx;
    rec->nqr_DataI1 = aEnable ? 1 : 0;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ChannelSendHugeSound(TQORSVCCtxRef aCommandContext,
                                                   TQORSVCHandle aNet, std::string aClientID) {
    auto rec = NewRecord(C::snc_ChannelSendHugeSound);
    rec->nqr_Context = aCommandContext.Ctx;
    rec->nqr_GlobalKey = aCommandContext.Key;
    rec->nqr_ReceiverObj = aNet;
    rec->nqr_DataS1 = std::move(aClientID);
    ServQueuePush(std::move(rec));
}

// ---- accepted connections -------------------------------------------------

void TQORSVCPoster::ServQueue_ConnectCommand(plat::SocketHandle aSocket, std::string aRemoteAddrBin,
                                             int32_t aRemotePort) {
    auto rec = NewRecord(C::snc_ServConnectCommand);
    rec->nqr_DataS1 = std::move(aRemoteAddrBin);
    rec->nqr_DataI0 = aSocket;
    rec->nqr_DataI1 = aRemotePort;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ConnectClient(plat::SocketHandle aSocket, std::string aRemoteAddrBin,
                                            int32_t aRemotePort) {
    auto rec = NewRecord(C::snc_ServConnectClient);
    rec->nqr_DataS1 = std::move(aRemoteAddrBin);
    rec->nqr_DataI0 = aSocket;
    rec->nqr_DataI1 = aRemotePort;
    ServQueuePush(std::move(rec));
}

// ---- connection contexts --------------------------------------------------

void TQORSVCPoster::ServQueue_HandshakeClient(TQORSVCCtxRef aContext) {
    PostCtx(C::snc_HandshakeClient, aContext);
}

void TQORSVCPoster::ServQueue_HandshakeError(TQORSVCCtxRef aContext, std::string aAnswer) {
    auto rec = NewRecord(C::snc_HandshakeError);
    rec->nqr_Context = aContext.Ctx;
    rec->nqr_GlobalKey = aContext.Key;
    rec->nqr_DataS1 = std::move(aAnswer);
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ClientContextDisconnected(TQORSVCCtxRef aContext,
                                                        TQORSVCHandle aWorker) {
    auto rec = NewRecord(C::snc_ClientDisconnected);
    rec->nqr_Context = aContext.Ctx;
    rec->nqr_GlobalKey = aContext.Key;
    rec->nqr_SenderObj = aWorker;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_CommandContextDisconnected(TQORSVCCtxRef aContext,
                                                         TQORSVCHandle aWorker) {
    auto rec = NewRecord(C::snc_CommandDisconnected);
    rec->nqr_Context = aContext.Ctx;
    rec->nqr_GlobalKey = aContext.Key;
    rec->nqr_SenderObj = aWorker;
    ServQueuePush(std::move(rec));
}

// ---- managers -------------------------------------------------------------

void TQORSVCPoster::ServQueue_ManagerAnswer(TQORSVCHandle aNetwork, TQORSVCHandle aContext,
                                            TQORGlobalKey aGlobalKey, TClientErrorType aClientError,
                                            int32_t aManagerIndex, std::string aManagerID,
                                            int32_t aFlags, uint32_t aConfirmEmailMask) {
    auto rec = NewRecord(C::snc_ManagerAnswer);
    rec->nqr_Context = aContext;
    rec->nqr_ReceiverObj = aNetwork;
    rec->nqr_GlobalKey = aGlobalKey;
    rec->nqr_DataI0 = static_cast<int32_t>(aClientError);
    rec->nqr_DataI1 = aManagerIndex;
    rec->nqr_DataI2 = aFlags;
    rec->nqr_DataS2 = std::move(aManagerID);
    rec->nqr_Socket = aConfirmEmailMask;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ManagerConfirmEmail(std::string aTransportBlock,
                                                  int32_t aConfirmEmailMask) {
    auto rec = NewRecord(C::snc_ManagerConfirmEmail);
    rec->nqr_DataS1 = std::move(aTransportBlock);
    rec->nqr_DataI0 = aConfirmEmailMask;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ManagerChangeActive(int32_t aManagerIndex, bool aOnline) {
    auto rec = NewRecord(C::snc_ManagerOnOffLine);
    rec->nqr_DataI0 = aManagerIndex;
    rec->nqr_DataI1 = aOnline ? 1 : 0;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_ManagerThreadStartStop(TQORSVCHandle aManager, int32_t aManagerIndex,
                                                     bool aStart) {
    auto rec = NewRecord(C::snc_ManagerThreadStartStop);
    rec->nqr_SenderObj = aManager;
    rec->nqr_DataI0 = aManagerIndex;
    rec->nqr_DataI1 = aStart ? 1 : 0;
    ServQueuePush(std::move(rec));
}

// ---- workers and the service ----------------------------------------------

void TQORSVCPoster::ServQueue_WorkerStartHot() {
    PostCmd(C::snc_ServWorkerStartHot);
}

void TQORSVCPoster::ServQueue_WorkerRejectedContex(TQORSVCHandle aRecepient) {
    auto rec = NewRecord(C::snc_ServWorkerRejectedContex);
    rec->nqr_ReceiverObj = aRecepient;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_WorkerWillAcceptContext(TQORSVCHandle aSender,
                                                      TQORSVCHandle aRecepient,
                                                      TQORSVCCtxRef aContext) {
    auto rec = NewRecord(C::snc_ServWorkerWillAcceptContext);
    rec->nqr_Context = aContext.Ctx;
    rec->nqr_GlobalKey = aContext.Key;
    rec->nqr_SenderObj = aSender;
    rec->nqr_ReceiverObj = aRecepient;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_WorkerIdle(TQORSVCHandle aIdleWorker) {
    auto rec = NewRecord(C::snc_ServWorkerIdle);
    rec->nqr_SenderObj = aIdleWorker;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_WorkerTerminated(TQORSVCHandle aTerminatedWorker) {
    auto rec = NewRecord(C::snc_ServWorkerTerminated);
    rec->nqr_SenderObj = aTerminatedWorker;
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_AbortAllWorkers() {
    PostCmd(C::snc_ServAbortAllWorkers);
}

void TQORSVCPoster::ServQueue_ServerStopDisconnectAll() {
    PostCmd(C::snc_ServStopDisconnectAll);
}

void TQORSVCPoster::ServQueue_ApplyServIntFlags(std::unique_ptr<TQORSVCListPayload> aCfg) {
    auto rec = NewRecord(C::snc_ApplyServIntFlags);
    rec->nqr_ListArray.resize(1);
    rec->nqr_ListArray[0].List = std::move(aCfg);
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_MemoryReportAnswerLine(std::string aMemoryReportLine) {
    auto rec = NewRecord(C::snc_MemoryReportAnswerLine);
    rec->nqr_DataS1 = std::move(aMemoryReportLine);
    ServQueuePush(std::move(rec));
}

void TQORSVCPoster::ServQueue_MemoryReportAnswerReady(TQORSVCMemoryReportReadyEvent aReadyEvent,
                                                      TQORSVCHandle aObject) {
    auto rec = NewRecord(C::snc_MemoryReportAnswerReadyEvent);
    rec->nqr_SenderObj = aObject;
    rec->nqr_DataI0 = static_cast<int32_t>(aReadyEvent);
    ServQueuePush(std::move(rec));
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
