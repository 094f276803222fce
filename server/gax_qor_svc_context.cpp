#include "server/gax_qor_svc_context.h"

#include <memory>
#include <utility>

#include "foundation/gax_hex.h"
#include "foundation/gax_strutils.h"

namespace gax {

namespace {

// Rows: standalone, notify, light, manager mode; columns: the recorded answer
// NONE, OK, ERROR, WRONG, BLOCK, DUPL.
constexpr bool kApproval[4][6] = {
    {true, true, true, true, true, true},
    {true, true, true, true, true, true},
    {true, true, true, false, false, true},
    {true, true, false, false, false, false},
};

}  // namespace

bool ManagerAnswerApproves(TQORSystemManagerMode aMode, TClientErrorType aAnswer) {
    const auto m = static_cast<unsigned>(aMode);
    const auto a = static_cast<unsigned>(aAnswer);
    // A corrupted mode or answer approves nothing rather than reading past the table.
    return m < 4 && a < 6 && kApproval[m][a];
}

void SwapKeyWordsInPlace(char* aBuf, int32_t aLen) {
    for (int32_t i = 0; i + 3 < aLen; i += 4) {
        std::swap(aBuf[i], aBuf[i + 3]);
        std::swap(aBuf[i + 1], aBuf[i + 2]);
    }
}

std::string MakeTextSortKey(std::string_view aText) {
    std::string k(aText);
    k.resize((k.size() + 3) / 4 * 4, '\0');
    SwapKeyWordsInPlace(k.data(), static_cast<int32_t>(k.size()));
    return k;
}

TQORSVCContext::TQORSVCContext(TQORSVCHost* aHost, TQORSVCClientService& aFacts,
                               TSocket aSocket, std::string aPeerAddrBin, int32_t aPeerPort)
    : TQORSVCWrkCtx(aHost, aSocket, std::move(aPeerAddrBin), aPeerPort), e_Facts(aFacts) {
    std::u16string prefix(u"Client: ");
    prefix.append(ByteStrToUnicode(Peer_Address())).append(u" ");
    prefix.append(ByteStrToUnicode(Peer_Port()));
    SetConnectionStringU(std::move(prefix));
    CtxWrkTagInt = 0;
    for (int32_t i = 0; i < kQORManagerSlots; ++i)
        CliManagersInfo[i].cmi_IdxA2 = std::u16string(1, static_cast<char16_t>(u'0' + i));
    Last_ClientActivity = GetTick32();
}

int32_t TQORSVCContext::ClientLogLevel() const {
    return QORService() ? QORService()->LogClientLevel() : kLogLevelNone;
}

bool TQORSVCContext::vOutputBufferLimit(int32_t, TGaxTick32) {
    return false;
}

void TQORSVCContext::CtxFlagsMask(uint32_t aKeep, uint32_t aSet) {
    uint32_t old = f_CtxFlags.load(std::memory_order_relaxed);
    while (!f_CtxFlags.compare_exchange_weak(
        old, (old & aKeep) | aSet | (old & QOR_CF_LEAVING), std::memory_order_relaxed)) {
    }
}

void TQORSVCContext::CtxFlagsAssign(uint32_t aValue) {
    CtxFlagsMask(0, aValue);
}

bool TQORSVCContext::SetVisibleStatus(TQORVisibleStatus aVisSt) {
    const uint32_t st = static_cast<uint32_t>(aVisSt) & QOR_CF_VISIBLE_STATUS;
    if ((CtxFlags() & QOR_CF_VISIBLE_STATUS) == st) return false;
    CtxFlagsMask(~QOR_CF_VISIBLE_STATUS, st | QOR_CF_STATUS_CHANGED);
    RefreshStatusInfo();
    return true;
}

bool TQORSVCContext::SetMuted(bool aMuted) {
    const uint32_t flags = CtxFlags();
    if (((flags & QOR_CF_MUTED) != 0) == aMuted) return false;
    if (aMuted && (flags & QOR_CF_PARROT) &&
        (f_Network == nullptr || !f_Network->OptParrotMuteEnable()))
        return false;
    CtxFlagsMask(~(QOR_CF_MUTED | QOR_CF_ITEM_CHANGED),
                 (aMuted ? QOR_CF_MUTED : 0) | QOR_CF_STATUS_CHANGED);
    RefreshStatusInfo();
    return true;
}

bool TQORSVCContext::SetTalkEnabled(bool aTalkEnabled) {
    const uint32_t flags = CtxFlags();
    if (((flags & QOR_CF_TALK_DENIED) == 0) == aTalkEnabled) return false;
    if (aTalkEnabled)
        CtxFlagsMask(~QOR_CF_TALK_DENIED, QOR_CF_STATUS_CHANGED);
    else if (!(flags & QOR_CF_PARROT))
        CtxFlagsSet(QOR_CF_TALK_DENIED | QOR_CF_STATUS_CHANGED);
    RefreshStatusInfo();
    return true;
}

void TQORSVCContext::SetFlagsTalkEnable(bool aTalkEnable) {
    if (aTalkEnable)
        CtxFlagsClear(QOR_CF_TALK_DENIED);
    else
        CtxFlagsSet(QOR_CF_TALK_DENIED);
}

void TQORSVCContext::ClearNewbieFlag() {
    CtxFlagsClear(QOR_CF_NEWBIE);
    CtxMovingFromNetToNet = false;
}

void TQORSVCContext::tmRestoreInitialFlags() {
    CtxFlagsAssign(CtxInitialFlags);
    Ctx2FlagsAssign(CtxInitial2Flags);
}

void TQORSVCContext::SetCtxCacheSize(int32_t aSize) {
    CtxCacheIndex = -1;
    CtxCacheLastSpeakerIndex = -1;
    CtxCacheLastMessengerIndex = -1;
    // A negative or absurd size from a client must not wrap into a huge array.
    const int64_t words = aSize > 0 ? (int64_t{aSize} + 31) / 32 : 0;
    f_CtxCacheArray.assign(static_cast<size_t>(words), 0u);
    f_CtxCacheSize = static_cast<int32_t>(words * 32);
}

void TQORSVCContext::RefreshStatusInfo() {
    const uint32_t flags = CtxFlags();
    const char status = static_cast<char>('0' + (flags & QOR_CF_VISIBLE_STATUS) +
                                          ((flags & QOR_CF_TALK_DENIED) ? 5 : 0));
    const char muted = (flags & QOR_CF_MUTED) ? '1' : '0';
    auto patchV0 = [&](char* p, size_t len) {
        if (len > 11) {
            p[3] = status;
            p[11] = muted;
        }
    };
    patchV0(f_ClientListItemV0.data(), f_ClientListItemV0.size());
    if (OffsetInClientsListV0 > 0 && pNetworkClientsListV0 != nullptr) {
        const size_t off = static_cast<size_t>(OffsetInClientsListV0);
        if (off < pNetworkClientsListV0->Len())
            patchV0(pNetworkClientsListV0->MutableData() + off, pNetworkClientsListV0->Len() - off);
    }
    char hex[2];
    const uint8_t b = static_cast<uint8_t>(flags & 0xBF);
    BytesToHexBufA(hex, &b, 1);
    std::string& v1u = f_V1UIsV1A ? f_ClientListItemV1A : f_ClientListItemV1U;
    if (v1u.size() >= 2) {
        v1u[0] = hex[0];
        v1u[1] = hex[1];
    }
    if (OffsetInClientsListV1FU > 0 && pNetworkClientsListV1FU != nullptr) {
        const size_t off = static_cast<size_t>(OffsetInClientsListV1FU);
        if (off + 2 <= pNetworkClientsListV1FU->Len()) {
            pNetworkClientsListV1FU->MutableData()[off] = hex[0];
            pNetworkClientsListV1FU->MutableData()[off + 1] = hex[1];
        }
    }
}

void TQORSVCContext::SendKA() {
    const char b = 0;
    vSendBytes(&b, 1);
}

void TQORSVCContext::SendTXAPPROVAL() {
    // The protocol state is the worker's: a session on its way out is known
    // by its leaving bit instead.
    const uint32_t flags = CtxFlags();
    if ((flags & QOR_CF_LEAVING) != 0) return;
    const uint16_t si =
        (flags & (QOR_CF_AGGREGATE_LIST | QOR_CF_LIST_FORMAT)) == QOR_CF_AGGREGATE_LIST
            ? 2
            : f_QORNetworkIndex;
    f_TxApprovalV0_1.SI = si;
    const char buf[3] = {static_cast<char>(f_TxApprovalV0_1.Marker), static_cast<char>(si >> 8),
                         static_cast<char>(si & 0xFF)};
    vSendBytes(buf, 3);
}

void TQORSVCContext::PublishRights() {
    f_PublishedRights.store((static_cast<uint64_t>(CliPrivilege) << 32) | f_AnswExtFlags,
                            std::memory_order_release);
}

void TQORSVCContext::AbortContext() {
    CtxFlagsSet(QOR_CF_LEAVING);
    vAbortConnection();
    if (CtxProtocol != TServProtocol::PROTO_ABORT) {
        CtxProtocol = TServProtocol::PROTO_ABORT;
        QORProtoStatus = TQORProtocolStatus::QOR_PS_ABORT;
    }
}

void TQORSVCContext::PostToHeartbeat(TQORServNetworkCommand aCmd, std::string aData) {
    TQORSVCHost* host = QORService();
    if (host == nullptr) return;
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    const TQORSVCCtxRef ref = CtxRefOf(static_cast<const TQORSVCWrkCtx*>(this));
    rec->nqr_Context = ref.Ctx;
    rec->nqr_GlobalKey = ref.Key;
    rec->nqr_Cmd = aCmd;
    rec->nqr_DataS1 = std::move(aData);
    NotePosted(*rec);
    host->SvcPoster().ServQueuePush(std::move(rec));
}

void TQORSVCContext::M2_QOR_NetQueueAttachNetwork() {
    PostToHeartbeat(TQORServNetworkCommand::snc_AttachNetwork);
}

void TQORSVCContext::M2_QOR_Process_Rx_Request() {
    if (CtxFlags() & (QOR_CF_NEWBIE | QOR_CF_LEAVING)) return;
    PostToHeartbeat(TQORServNetworkCommand::snc_RxRequest);
}

void TQORSVCContext::M2_QOR_Process_Tx_Request() {
    PostToHeartbeat(TQORServNetworkCommand::snc_TxRequest);
}

void TQORSVCContext::M2_QOR_Process_Sound(bool aLong, std::string aFrame) {
    PostToHeartbeat(aLong ? TQORServNetworkCommand::snc_TxSoundLong
                          : TQORServNetworkCommand::snc_TxSoundShort,
                    std::move(aFrame));
}

void TQORSVCContext::M2_QOR_RebuildClientListNow() {
    PostToHeartbeat(TQORServNetworkCommand::snc_RebuildClientListNow);
}

void TQORSVCContext::ClearAllManagersInfo(const TQORSVCClientNetwork* aNetwork) {
    CliManagersAnswerCount = 0;
    const TQORSystemManagerMode mode = aNetwork ? aNetwork->EffManagerMode() : smm_Standalone;
    for (auto& mi : CliManagersInfo) {
        mi.cmi_ManagerAnswer = TClientErrorType::cet_NONE;
        mi.cmi_ManagerAnswerFlags = 0;
        mi.cmi_ManagerStatus = TQORClientSysManStatus::csms_NoManager;
        mi.cmi_Approved = ManagerAnswerApproves(mode, TClientErrorType::cet_NONE);
    }
}

void TQORSVCContext::ClearTheManagerInfo(int32_t aManagerIndex,
                                         TQORSystemManagerMode aEffManagerMode) {
    if (aManagerIndex < 0 || aManagerIndex >= kQORManagerSlots) return;
    if (CliManagersAnswerCount > 0) --CliManagersAnswerCount;
    auto& mi = CliManagersInfo[aManagerIndex];
    mi.cmi_ManagerAnswer = TClientErrorType::cet_NONE;
    mi.cmi_ManagerAnswerFlags = 0;
    mi.cmi_ManagerStatus = TQORClientSysManStatus::csms_NoManager;
    mi.cmi_Approved = ManagerAnswerApproves(aEffManagerMode, TClientErrorType::cet_NONE);
}

void TQORSVCContext::RecalcApprovedManagersFlags(TQORSystemManagerMode aEffManagerMode) {
    for (auto& mi : CliManagersInfo)
        mi.cmi_Approved = ManagerAnswerApproves(aEffManagerMode, mi.cmi_ManagerAnswer);
}

bool TQORSVCContext::CheckApproved(TClientErrorType& aErrorByManagers) const {
    const TQORSystemManagerMode mode = f_Network ? f_Network->EffManagerMode() : smm_Standalone;
    if (mode == smm_Standalone) throw Exception(std::string_view("Manager mode must not be STANDALONE"));
    const uint32_t mask = f_Network->EffManagerMask();
    if ((mask & 0xF) == 0) return false;
    bool dupl = false, wrong = false, block = false;
    for (int32_t i = 0; i < kQORManagerSlots; ++i) {
        if (!(mask & (1u << i))) continue;
        const auto& mi = CliManagersInfo[i];
        if (mi.cmi_Approved) return true;
        switch (mi.cmi_ManagerAnswer) {
            case TClientErrorType::cet_DUPL: dupl = true; break;
            case TClientErrorType::cet_WRONG: wrong = true; break;
            case TClientErrorType::cet_BLOCK:
            case TClientErrorType::cet_ERROR: block = true; break;
            default: break;
        }
    }
    aErrorByManagers = dupl    ? TClientErrorType::cet_DUPL
                       : wrong ? TClientErrorType::cet_WRONG
                       : block ? TClientErrorType::cet_BLOCK
                               : TClientErrorType::cet_NONE;
    return false;
}

void TQORSVCContext::UnregisterWithManagers() {
    if (!e_Facts.ServiceEnabled()) return;
    const uint32_t mask = f_Network ? f_Network->EffManagerMask() : 0;
    for (int32_t i = 0; i < kQORManagerSlots; ++i) {
        if (!(mask & (1u << i))) continue;
        auto& mi = CliManagersInfo[i];
        if (!mi.cmi_ManagerId.empty() && mi.cmi_ManagerStatus == TQORClientSysManStatus::csms_OK &&
            e_Facts.ManagerEnabled(i))
            e_Facts.ManagerUnregisterClient(i, mi.cmi_ManagerId, f_CliHashA, f_Network);
        mi.cmi_ManagerStatus = TQORClientSysManStatus::csms_NoManager;
    }
    for (auto& mi : CliManagersInfo) mi.cmi_ManagerAnswer = TClientErrorType::cet_NONE;
}

}  // namespace gax
