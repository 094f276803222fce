#include "server/gax_qor_svc_parrot.h"

#include <cstring>

#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_sourceid.h"

namespace gax {

namespace {

constexpr std::string_view kStartedSSE = "Parrot is started. Type message \"stop\" to stop parrot.";
constexpr std::string_view kStoppedSSE =
    "Parrot is stopped. Type message \"start\" to start parrot.";
constexpr std::string_view kStarted = "Parrot is started.";
constexpr std::string_view kStopped = "Parrot is stopped.";
constexpr std::string_view kStartedAlreadySSE =
    "Parrot is started already. Type message \"stop\" to stop parrot.";
constexpr std::string_view kStoppedAlreadySSE =
    "Parrot is stopped already. Type message \"start\" to start parrot.";
constexpr std::string_view kStartedAlready = "Parrot is started already.";
constexpr std::string_view kCanNotStop = "Parrot can not be stopped.";

constexpr std::string_view kDescrStarted = "Talkative bird";
constexpr std::string_view kDescrStopped = "Silent bird";

// A text message is cut where a client's "TM:" would cut it.
constexpr size_t kMaxMessageText = 500;

std::u16string Widen(std::string_view aText) {
    std::u16string s;
    s.reserve(aText.size());
    for (const char c : aText) s.push_back(static_cast<unsigned char>(c));
    return s;
}

}  // namespace

std::string ParrotClientId() { return MakeSourceId(" "); }
std::string AggregateClientId() { return MakeSourceId("  "); }

// ---- the parrot's texts in the session's fields ----------------------------------
// The parrot's texts are plain ASCII, so every 8-bit character set gives the
// same bytes as UTF-8 and no converter is needed.

void TQORSVCContext::AssignParrotIdentity(std::string_view aClientId,
                                          TQORSVCClientNetwork* aNetwork,
                                          std::string_view aDescription) {
    f_ClientType = clt_PC;
    CtxFlagsAssign(kParrotCtxFlags);
    CtxProtocol = TServProtocol::PROTO_QOR;
    f_ClientError = TClientErrorType::cet_OK;
    f_Network = aNetwork;
    f_CliHashA.assign(aClientId);
    f_CliHashA2 = Widen(aClientId);
    f_CountryANSI = f_CountryUTF8 = "The tree";
    f_CityCityPartANSI = f_CityCityPartUTF8 = "The branch";
    f_BandChannelANSI = f_BandChannelUTF8 = "Parrot";
    f_CallsignOpnameANSI = f_CallsignOpnameUTF8 = "The Parrot";
    f_CallsignOpnameANSISort = AsciiUpperCaseA(f_CallsignOpnameANSI);
    f_UnicodeBlock[ub_CountryA] = f_UnicodeBlock[ub_CountryU8] = Widen(f_CountryANSI);
    f_UnicodeBlock[ub_CityA] = f_UnicodeBlock[ub_CityU8] = Widen(f_CityCityPartANSI);
    f_UnicodeBlock[ub_BandA] = f_UnicodeBlock[ub_BandU8] = Widen(f_BandChannelANSI);
    f_UnicodeBlock[ub_CallsignA] = f_UnicodeBlock[ub_CallsignU8] = Widen(f_CallsignOpnameANSI);
    // Ahead of every member's key, whose first byte is a type digit.
    f_VisualSortKey = MakeTextSortKey(" 0");
    AssignParrotDescription(aDescription);
    CtxInitialFlags = CtxFlags();
    CtxInitial2Flags = Ctx2Flags();
}

void TQORSVCContext::AssignParrotDescription(std::string_view aDescription) {
    f_DescriptionANSI.assign(aDescription);
    f_DescriptionUTF8.assign(aDescription);
    f_UnicodeBlock[ub_DescriptionA] = f_UnicodeBlock[ub_DescriptionU8] = Widen(aDescription);
    BuildClientListItemV0();
    BuildClientListItemV1A();
    f_V1UIsV1A = true;
    f_ClientListItemV1U.clear();
}

// ---- the parrot ---------------------------------------------------------------------

TQORSVCContextParrot::TQORSVCContextParrot(TQORSVCHost* aHost, TQORSVCClientService& aFacts,
                                           TQORSVCClientNetwork* aNetwork,
                                           const TQORSVCParrotOptions& aOptions,
                                           TGaxTick32 aSpeechLimitTicks, const TQORClock& aClock)
    : TQORSVCContext(aHost, aFacts, INVALID_SOCKET_HANDLE, std::string(4, '\0'), 0),
      e_Clock(aClock),
      f_SpeechLimitTicks(aSpeechLimitTicks),
      f_ParrotId(ParrotClientId()) {
    CopyParrotOptions(f_ParrotOpts, aOptions);
    AssignParrotIdentity(f_ParrotId, aNetwork, kDescrStarted);
    f_dstarted_sse = DirectFrame(f_ParrotId, kStartedSSE);
    f_dstopped_sse = DirectFrame(f_ParrotId, kStoppedSSE);
    f_dstarted = DirectFrame(f_ParrotId, kStarted);
    f_dstopped = DirectFrame(f_ParrotId, kStopped);
    Last_ClientActivity = e_Clock.Tick();
}

TQORSVCContextParrot::~TQORSVCContextParrot() { TrimBuffers(0); }

std::string TQORSVCContextParrot::DirectFrame(std::string_view aId, std::string_view aText) {
    std::string f;
    f.reserve(aId.size() + aText.size() + 12);
    f.push_back('\x04');
    f.append("3\r\n").append(aId).append("\r\n").append(aText).append("\r\nA\r\n");
    return f;
}

std::string_view TQORSVCContextParrot::GetParrotDirectMessage() const {
    if (f_ParrotOpts.ParrotMessageDisable) return {};
    if (f_ParrotOpts.ParrotStartStopEnable)
        return f_ParrotStarted ? f_dstarted_sse : f_dstopped_sse;
    return f_ParrotStarted ? f_dstarted : f_dstopped;
}

std::string_view TQORSVCContextParrot::GetParrotMessage(bool aBefore, bool aStart,
                                                        bool aStop) const {
    if (f_ParrotOpts.ParrotStartStopEnable) {
        if (aStart) return aBefore ? kStartedAlreadySSE : kStartedSSE;
        if (aStop) return aBefore ? kStoppedSSE : kStoppedAlreadySSE;
        return {};
    }
    if (aStart) return kStartedAlready;
    if (aStop) return kCanNotStop;
    return {};
}

void TQORSVCContextParrot::vSendBytes(const void* aBuffer, int32_t aLen) {
    if (aBuffer == nullptr || aLen <= 0) return;
    const char* p = static_cast<const char*>(aBuffer);
    const TGaxTick32 now = e_Clock.Tick();
    Last_ClientActivity = now;
    switch (static_cast<uint8_t>(p[0])) {
        case 0x02: {
            // Anything but a whole long frame would be replayed as a frame of
            // another length, or read past what was given.
            if (aLen != kParrotFrameBytes) return;
            if (f_ParrotState == TQORSVCParrotState::sps_IDLE ||
                f_ParrotState == TQORSVCParrotState::sps_WAIT_PAUSE) {
                f_ParrotState = TQORSVCParrotState::sps_RX;
                f_RxStartTick = now;
            }
            if (f_ParrotState != TQORSVCParrotState::sps_RX) return;
            if (f_Used_Ticks >= f_ParrotOpts.ParrotMaxRecordTicks ||
                f_Used_Frames >= kParrotMaxFrames || !f_ParrotStarted)
                return;
            if (f_Used_Frames >= f_AllocatedFrames) {
                f_Buffers.push_back(std::make_unique<Block>());
                f_AllocatedFrames += kParrotBlockFrames;
            }
            Frame& fr = (*f_Buffers[f_Used_Frames / kParrotBlockFrames])[f_Used_Frames %
                                                                         kParrotBlockFrames];
            std::memcpy(fr.data(), p, kParrotFrameBytes);
            ++f_Used_Frames;
            f_Used_Ticks += kParrotFrameTicks;
            return;
        }
        case 0x00:
            if (f_ParrotState == TQORSVCParrotState::sps_RX) {
                if (f_Used_Frames == 0) {
                    f_ParrotState = TQORSVCParrotState::sps_IDLE;
                } else {
                    f_PauseStartTick = now;
                    f_ParrotState = TQORSVCParrotState::sps_WAIT_PAUSE;
                }
            } else if (f_ParrotState == TQORSVCParrotState::sps_TX) {
                StopPlayback();  // the floor was taken from us
            }
            return;
        case 0x01:
            if (f_ParrotState == TQORSVCParrotState::sps_WAIT_PAUSE) {
                if (f_Used_Frames == 0) {
                    StopPlayback();
                    return;
                }
                f_TxStartTick = now - kParrotFrameTicks;
                f_TxApprovedTick = now;
                f_PlayFrameIdx = 0;
                f_PlayRptCnt = f_ParrotOpts.po_ParrotRepeatCount;
                f_ParrotState = TQORSVCParrotState::sps_TX;
                PlayDueFrames(now);
            } else if (f_ParrotState != TQORSVCParrotState::sps_TX) {
                // An approval that arrives after we gave up or were stopped
                // would leave the floor held by a silent parrot.
                M2_QOR_Process_Rx_Request();
            }
            return;
        case 0x04:
        case 0x85:
            HandleTextMessage(p, aLen);
            return;
        default:
            return;
    }
}

void TQORSVCContextParrot::ParrotHeartBeat(TGaxTick32 aTick) {
    if (f_ParrotState == TQORSVCParrotState::sps_WAIT_PAUSE) {
        if (f_Used_Frames == 0) {
            f_ParrotState = TQORSVCParrotState::sps_IDLE;
            return;
        }
        const uint32_t waited = TickElapsed(aTick, f_PauseStartTick);
        if (waited < f_ParrotOpts.ParrotPauseTicks) return;
        // Muted, denied or crowded out: after as long again as a recording may
        // last, the recording is stale and the parrot stops asking.
        if (waited - f_ParrotOpts.ParrotPauseTicks >= f_ParrotOpts.ParrotMaxRecordTicks) {
            DropRecording();
            f_ParrotState = TQORSVCParrotState::sps_IDLE;
            return;
        }
        M2_QOR_Process_Tx_Request();
    } else if (f_ParrotState == TQORSVCParrotState::sps_TX) {
        PlayDueFrames(aTick);
    }
}

void TQORSVCContextParrot::PlayDueFrames(TGaxTick32 aTick) {
    bool overLimit = false;
    if (f_Used_Frames > 0) {
        const int32_t late = TickSignedDiff(aTick, f_TxStartTick);
        int32_t n = late > 0 ? late / kParrotFrameTicks : 0;
        while (n > 0 && f_ParrotState == TQORSVCParrotState::sps_TX) {
            // The talker checks leave the parrot alone, so it keeps the
            // network's speech limit itself: a frame due at or past the limit
            // is not played.
            if (f_SpeechLimitTicks > 0 &&
                TickElapsed(f_TxStartTick + kParrotFrameTicks, f_TxApprovedTick) >=
                    f_SpeechLimitTicks) {
                overLimit = true;
                break;
            }
            const Frame& fr = (*f_Buffers[f_PlayFrameIdx / kParrotBlockFrames])
                [f_PlayFrameIdx % kParrotBlockFrames];
            M2_QOR_Process_Sound(true, std::string(fr.data(), fr.size()));
            f_TxStartTick += kParrotFrameTicks;
            ++f_PlayFrameIdx;
            --n;
            if (f_PlayFrameIdx >= f_Used_Frames) {
                f_PlayFrameIdx = 0;
                if (f_PlayRptCnt > 0 && --f_PlayRptCnt == 0) break;
            }
        }
        if (!overLimit && f_PlayRptCnt != 0) return;
    }
    StopPlayback();
}

void TQORSVCContextParrot::DropRecording() {
    f_Used_Frames = 0;
    f_Used_Ticks = 0;
    TrimBuffers(0);
}

void TQORSVCContextParrot::StopPlayback() {
    f_ParrotState = TQORSVCParrotState::sps_IDLE;
    DropRecording();
    M2_QOR_Process_Rx_Request();
}

void TQORSVCContextParrot::TrimBuffers(int32_t aFrames) {
    while (aFrames < f_AllocatedFrames / kParrotBlockFrames && !f_Buffers.empty()) {
        f_Buffers.pop_back();
        f_AllocatedFrames -= kParrotBlockFrames;
    }
}

void TQORSVCContextParrot::HandleTextMessage(const char* aBuffer, int32_t aLen) {
    if (aLen <= 7) return;
    const std::string_view frame(aBuffer, static_cast<size_t>(aLen));
    // Skip the count line and the sender's id line; the text is the third line.
    size_t pos = 1;
    for (int i = 0; i < 2; ++i) {
        const size_t lf = frame.find('\n', pos);
        if (lf == std::string_view::npos) return;
        pos = lf + 1;
    }
    size_t end = frame.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = frame.size();
    std::string_view text = frame.substr(pos, end - pos);
    while (!text.empty() && static_cast<uint8_t>(text.front()) <= 0x20) text.remove_prefix(1);
    while (!text.empty() && static_cast<uint8_t>(text.back()) <= 0x20) text.remove_suffix(1);
    if (text.size() > 5) return;
    const std::string word = AsciiUpperCaseA(std::string(text));
    const bool start = word == "START";
    const bool stop = word == "STOP";
    if (!start && !stop) return;

    const bool before = f_ParrotStarted;
    if (f_ParrotOpts.ParrotStartStopEnable) {
        if (start) {
            f_ParrotStarted = true;
        } else {
            f_ParrotStarted = false;
            DropRecording();
        }
    }
    UpdateDescription();
    SendParrotMessage(before, start, stop);
}

void TQORSVCContextParrot::UpdateDescription() {
    AssignParrotDescription(f_ParrotStarted ? kDescrStarted : kDescrStopped);
    ++CtxModifyCounter;
    CtxFlagsSet(QOR_CF_ITEM_CHANGED);
    M2_QOR_RebuildClientListNow();
}

void TQORSVCContextParrot::SendParrotMessage(bool aBefore, bool aStart, bool aStop) {
    if (f_ParrotOpts.ParrotMessageDisable) return;
    const std::string_view text = GetParrotMessage(aBefore, aStart, aStop);
    if (!text.empty()) PostText(text);
}

void TQORSVCContextParrot::PostText(std::string_view aText) {
    TQORSVCHost* host = QORService();
    if (host == nullptr) return;
    std::string_view text = aText.substr(0, kMaxMessageText);
    while (!text.empty() && static_cast<uint8_t>(text.back()) <= 0x20) text.remove_suffix(1);
    // The record a member's "TM:" to all posts: the 8-bit frame and its
    // length minus the marker and the "3" line.
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    const TQORSVCCtxRef ref = CtxRefOf(static_cast<const TQORSVCWrkCtx*>(this));
    rec->nqr_Context = ref.Ctx;
    rec->nqr_GlobalKey = ref.Key;
    rec->nqr_Cmd = TQORServNetworkCommand::snc_MessageV0;
    rec->nqr_DataS2 = DirectFrame(f_ParrotId, text);
    rec->nqr_DataI0 = static_cast<int32_t>(rec->nqr_DataS2.size()) - 3;
    host->SvcPoster().ServQueuePush(std::move(rec));
}

}  // namespace gax
