#include "server/gax_qor_svc_queues.h"

#include <utility>

#include "platform/plat_socket.h"

namespace gax {

void TQORSVCServQueue::Discard(TQORSVCNetQueueRecord* aRec) noexcept {
    if (aRec == nullptr) return;
    if (aRec->nqr_Cmd == TQORServNetworkCommand::snc_ServConnectCommand ||
        aRec->nqr_Cmd == TQORServNetworkCommand::snc_ServConnectClient)
        if (aRec->nqr_DataI0 >= 0) plat::SockClose(aRec->nqr_DataI0);
    delete aRec;
}

namespace {

std::unique_ptr<TQORSVCMainQueueRec> NewMainRec(TQORSVCMainQueueCmd aCmd,
                                                TQORSVCWriteArray aData = {},
                                                std::u16string aStr = {},
                                                TQORSVCCtxRef aContext = {}) {
    auto rec = std::make_unique<TQORSVCMainQueueRec>();
    rec->fsmqr_Cmd = aCmd;
    rec->fsmqr_Data = std::move(aData);
    rec->fsmqr_Str = std::move(aStr);
    rec->fsmqr_Obj1 = aContext.Ctx;
    rec->fsmqr_GlobalKey = aContext.Key;
    return rec;
}

}  // namespace

void TQORSVCMainQueue::EnqueueCmd(TQORSVCMainQueueCmd aCmd) {
    Push(NewMainRec(aCmd));
}

void TQORSVCMainQueue::EnqueueData(TQORSVCMainQueueCmd aCmd, TQORSVCWriteArray aData) {
    Push(NewMainRec(aCmd, std::move(aData)));
}

void TQORSVCMainQueue::EnqueueString(TQORSVCMainQueueCmd aCmd, std::u16string aStr) {
    Push(NewMainRec(aCmd, {}, std::move(aStr)));
}

void TQORSVCMainQueue::EnqueueWrkCtx(TQORSVCMainQueueCmd aCmd, TQORSVCCtxRef aContext) {
    Push(NewMainRec(aCmd, {}, {}, aContext));
}

void TQORSVCMainQueue::EnqueueStringWrkCtx(TQORSVCMainQueueCmd aCmd, std::u16string aStr,
                                           TQORSVCCtxRef aContext) {
    Push(NewMainRec(aCmd, {}, std::move(aStr), aContext));
}

void TQORSVCFlusherQueue::EnqueueCommandContext(TQORSVCCtxRef aCommandContext) {
    auto item = std::make_unique<TQORSVCFlusherItem>();
    item->Context = aCommandContext.Ctx;
    item->GlobalKey = aCommandContext.Key;
    Push(std::move(item));
}

}  // namespace gax
