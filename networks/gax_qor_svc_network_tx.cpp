#include "networks/gax_qor_svc_network_tx.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace gax {

namespace {

constexpr uint32_t kHidden = QOR_CF_NEWBIE | QOR_CF_LEAVING;
constexpr char kZero = 0;

// Information, cache and data groups of the sound fan-outs.
constexpr uint32_t kInfoMaskLong = QOR_CF_NO_SERVER_SOUNDS | QOR_CF_SPEAKER_INFO | QOR_CF_LEAVING |
                                   QOR_CF_NEWBIE | QOR_CF_EMULATED_TX | QOR_CF_ADMITTED |
                                   QOR_CF_UTF8,
                   kInfoValueLong = QOR_CF_SPEAKER_INFO | QOR_CF_ADMITTED | QOR_CF_UTF8;
constexpr uint32_t kInfoMaskShort = QOR_CF_NO_SERVER_SOUNDS | QOR_CF_SPEAKER_INFO | QOR_CF_LEAVING |
                                    QOR_CF_NEWBIE | QOR_CF_EMULATED_TX | QOR_CF_SHORT_FRAMES |
                                    QOR_CF_ADMITTED | QOR_CF_UTF8,
                   kInfoValueShort =
                       QOR_CF_SPEAKER_INFO | QOR_CF_SHORT_FRAMES | QOR_CF_ADMITTED | QOR_CF_UTF8;
constexpr uint32_t kCacheMaskLong = QOR_CF_NO_SERVER_SOUNDS | QOR_CF_LIST_CACHE | QOR_CF_LEAVING |
                                    QOR_CF_NEWBIE | QOR_CF_EMULATED_TX | QOR_CF_ADMITTED |
                                    QOR_CF_UTF8,
                   kCacheValueLong = QOR_CF_LIST_CACHE | QOR_CF_ADMITTED | QOR_CF_UTF8;
constexpr uint32_t kCacheMaskShort = QOR_CF_NO_SERVER_SOUNDS | QOR_CF_LIST_CACHE | QOR_CF_LEAVING |
                                     QOR_CF_NEWBIE | QOR_CF_EMULATED_TX | QOR_CF_SHORT_FRAMES |
                                     QOR_CF_ADMITTED | QOR_CF_UTF8,
                   kCacheValueShort =
                       QOR_CF_LIST_CACHE | QOR_CF_SHORT_FRAMES | QOR_CF_ADMITTED | QOR_CF_UTF8;
constexpr uint32_t kExtMask = QOR_CF_NO_SERVER_SOUNDS | QOR_CF_LEAVING | QOR_CF_NEWBIE |
                              QOR_CF_EXTENDED | QOR_CF_EMULATED_TX | QOR_CF_SHORT_FRAMES |
                              QOR_CF_ADMITTED,
                   kExtLongValue = QOR_CF_EXTENDED | QOR_CF_ADMITTED,
                   kExtShortValue = QOR_CF_EXTENDED | QOR_CF_SHORT_FRAMES | QOR_CF_ADMITTED;
constexpr uint32_t kV0Mask = QOR_CF_NO_SERVER_SOUNDS | QOR_CF_AGGREGATE_LIST | QOR_CF_LEAVING |
                             QOR_CF_NEWBIE | QOR_CF_EXTENDED | QOR_CF_EMULATED_TX |
                             QOR_CF_SHORT_FRAMES | QOR_CF_ADMITTED,
                   kV0Value = QOR_CF_ADMITTED,
                   kV0AggrValue = QOR_CF_AGGREGATE_LIST | QOR_CF_ADMITTED;

void PutIndex(char* p, uint8_t aMarker, uint16_t aIndex) {
    p[0] = static_cast<char>(aMarker);
    p[1] = static_cast<char>(aIndex >> 8);
    p[2] = static_cast<char>(aIndex & 0xFF);
}

}  // namespace

TQORNetRelay::TQORNetRelay(TQORNetFanout& aFanout, TQORNetTxOptions aOptions)
    : e_Fanout(aFanout), f_Cache(aFanout), f_Options(std::move(aOptions)) {
    f_ShortBufferDemfer.assign(kQORSoundLongLen, '\0');
    const std::string_view silence(reinterpret_cast<const char*>(kQORSilenceBlock.data()),
                                   kQORSilenceBlock.size());
    f_ZeroShort.assign(3, '\0');
    f_ZeroShort[0] = static_cast<char>(QOR_FR_SOUND_SHORT);
    f_ZeroShort.append(silence);
    f_ZeroLong.assign(3, '\0');
    f_ZeroLong[0] = static_cast<char>(QOR_FR_SOUND_LONG);
    for (int b = 0; b < 5; ++b) f_ZeroLong.append(silence);
    f_AggrLong.reserve(kQORSoundLongLen);
    f_Scratch.reserve(512);
}

// ---------------------------------------------------------------------------
// the floor

bool TQORNetRelay::AcquareTX(TQORSVCContext* c) {
    if (e_SpeakingContext || netSpeechPauseFlag) return false;
    e_SpeakingContext = c;
    f_ShortBufferCount = 0;
    c->SetAsSpeaker();
    f_Cache.PrepareSpeakerIndex(c);
    f_LastTxSoundFrameTick = f_HeartBeatTick;
    c->CliTxStartTick = f_HeartBeatTick;
    f_TxBehaveTick = f_HeartBeatTick;
    f_TxBehaveThreshold = static_cast<int32_t>(f_Options.ActivityTimeoutTicks) + 3000;
    f_TxBehaveSummator = 0;
    if (c->CtxGlobalKey() != f_SpeakerInfoLastGlobalKey ||
        c->CtxModifyCounter != f_SpeakerInfoLastModifyCounter) {
        f_SpeakerInfoLastGlobalKey = c->CtxGlobalKey();
        f_SpeakerInfoLastModifyCounter = c->CtxModifyCounter;
        f_SpeakerInfoUTF8.assign(1, static_cast<char>(QOR_FR_SPEAKER_INFO));
        f_SpeakerInfoUTF8 += c->ClientListItemV1U();
    }
    e_Fanout.SetNetFlags(e_Fanout.NetFlags() | QOR_NF_SPEAKING);
    return true;
}

TQORSVCContext* TQORNetRelay::ReleaseTX_IfEqual(TQORSVCContext* c) {
    if (!e_SpeakingContext || !c || c != e_SpeakingContext) return nullptr;
    if (f_ShortBufferCount > 0) FlushShortBuffersToLongClients();
    c->SetAsNotSpeaker();
    e_Fanout.SetNetFlags(e_Fanout.NetFlags() & ~QOR_NF_SPEAKING);
    e_SpeakingContext = nullptr;
    if (f_Options.SpeechPauseTicks != 0) {
        netSpeechPauseFlag = true;
        f_SpeechPauseStartTick = f_HeartBeatTick;
    }
    return c;
}

void TQORNetRelay::TXStop(TQORSVCContext* aSpeakingContext) {
    if (ReleaseTX_IfEqual(aSpeakingContext))
        e_Fanout.SendData(
            {nullptr, QOR_CF_NO_SERVER_SOUNDS | QOR_CF_LEAVING | QOR_CF_EMULATED_TX, 0, &kZero, 1});
}

void TQORNetRelay::EndSpeechPauseIfDue() {
    if (netSpeechPauseFlag && f_HeartBeatTick - f_SpeechPauseStartTick >= f_Options.SpeechPauseTicks)
        netSpeechPauseFlag = false;
}

void TQORNetRelay::SendOneSafe(TQORSVCContext* c, const char* aOp, const void* aP, int32_t aLen,
                               bool aWake) {
    try {
        if (aWake)
            c->vSendBytes(aP, aLen);
        else
            c->vSendBytesDontWakeWorker(aP, aLen);
    } catch (const std::exception& e) {
        e_Fanout.SendFailed(c, aOp, &e);
    }
}

void TQORNetRelay::tmTxRequest(TQORSVCContext* c) {
    const uint32_t flags = c->CtxFlags();
    const bool hidden = (flags & kHidden) != 0;
    auto approve = [&]() GAX_REQUIRES(kHeartbeat) {
        try {
            c->SendTXAPPROVAL();
        } catch (const std::exception& e) {
            e_Fanout.SendFailed(c, "SendTXAPPROVAL", &e);
        }
    };
    if (flags & QOR_CF_SPEAKER) {
        if (!hidden) approve();
        return;
    }
    // Only a visible member may take the floor: a newbie or a leaving member
    // holding it would silence the network without being listed or heard.
    if ((flags & (QOR_CF_MUTED | QOR_CF_TALK_DENIED)) == 0 && !hidden) {
        if (c->Ctx2Flags() & QOR_C2F_IGNORE_SOUNDS) {
            if (!(flags & QOR_CF_EMULATED_TX)) {
                c->CtxFlagsSet(QOR_CF_EMULATED_TX);
                ++f_Cntr_EmulatedTx;
            }
            approve();
            return;
        }
        if (AcquareTX(c)) {
            approve();
            return;
        }
    }
    if (f_Options.ExplicitTxReject && !(flags & QOR_CF_LEAVING))
        SendOneSafe(c, "SendRejectTX", &kZero, 1, true);
}

void TQORNetRelay::tmRxRequest(TQORSVCContext* c) {
    const uint32_t flags = c->CtxFlags();
    if (flags & QOR_CF_EMULATED_TX) {
        c->CtxFlagsClear(QOR_CF_EMULATED_TX);
        --f_Cntr_EmulatedTx;
        return;
    }
    if ((flags & (kHidden | QOR_CF_SPEAKER)) == QOR_CF_SPEAKER && ReleaseTX_IfEqual(c))
        e_Fanout.SendData(
            {nullptr, QOR_CF_NO_SERVER_SOUNDS | QOR_CF_LEAVING | QOR_CF_EMULATED_TX, 0, &kZero, 1});
}

void TQORNetRelay::tmCheckTxBehaviour(TQORSVCContext* c) {
    if ((c->CtxFlags() & (QOR_CF_SPEAKER | QOR_CF_PARROT)) != QOR_CF_SPEAKER) return;
    const int32_t elapsed = static_cast<int32_t>(f_HeartBeatTick - f_TxBehaveTick);
    if (elapsed > 0) {
        f_TxBehaveTick = f_HeartBeatTick;
        // The credit of a quiet talker is bounded, so that it cannot later
        // burst minutes of audio at once.
        const int64_t s = int64_t{f_TxBehaveSummator} - elapsed;
        f_TxBehaveSummator = static_cast<int32_t>(s < -f_TxBehaveThreshold ? -f_TxBehaveThreshold : s);
    }
    if (f_TxBehaveSummator > f_TxBehaveThreshold) {
        c->ClientTerminateSignal(TQORSVCDisconnectCause::fsdc_TxTooFast);
        return;
    }
    if (f_Options.SpeechLimit && f_HeartBeatTick - c->CliTxStartTick >= f_Options.MaxSpeechTicks &&
        ReleaseTX_IfEqual(c))
        e_Fanout.SendData(
            {nullptr, QOR_CF_LEAVING | QOR_CF_NEWBIE | QOR_CF_EMULATED_TX, 0, &kZero, 1});
}

void TQORNetRelay::ForgetContext(TQORSVCContext* c) {
    ReleaseTX_IfEqual(c);
    if (c->CtxFlags() & QOR_CF_EMULATED_TX) {
        c->CtxFlagsClear(QOR_CF_EMULATED_TX);
        --f_Cntr_EmulatedTx;
    }
    f_Cache.CacheSlotRelease(c);
    assert(e_SpeakingContext != c && c->CtxCacheIndex < 0 && !f_Cache.OwnsSlot(c));
}

void TQORNetRelay::ReleaseSilently() { ReleaseTX_IfEqual(e_SpeakingContext); }

// ---------------------------------------------------------------------------
// sound

void TQORNetRelay::SoundFanout(const char* aFrame, int32_t aLen, bool aShortClients) {
    TQORSVCContext* talker = e_SpeakingContext;
    // The 0x91/0x92 frames may have been built for a sender since, or the
    // talker may have lost its slot to eviction or changed its item.
    if (!f_Cache.SpeakerFramesCurrent(talker)) f_Cache.PrepareSpeakerIndex(talker);
    if (talker->CtxGlobalKey() != f_SpeakerInfoLastGlobalKey ||
        talker->CtxModifyCounter != f_SpeakerInfoLastModifyCounter) {
        f_SpeakerInfoLastGlobalKey = talker->CtxGlobalKey();
        f_SpeakerInfoLastModifyCounter = talker->CtxModifyCounter;
        f_SpeakerInfoUTF8.assign(1, static_cast<char>(QOR_FR_SPEAKER_INFO));
        f_SpeakerInfoUTF8 += talker->ClientListItemV1U();
    }
    TQORNetFanoutDescr d;
    d.Except = talker;
    d.Info = {aShortClients ? kInfoMaskShort : kInfoMaskLong,
              aShortClients ? kInfoValueShort : kInfoValueLong, f_SpeakerInfoUTF8.data(),
              static_cast<int32_t>(f_SpeakerInfoUTF8.size())};
    d.InfoKey = f_SpeakerInfoLastGlobalKey;
    d.InfoCounter = f_SpeakerInfoLastModifyCounter;
    d.Cache = {aShortClients ? kCacheMaskShort : kCacheMaskLong,
               aShortClients ? kCacheValueShort : kCacheValueLong, f_Cache.CacheSetCmd().Data(),
               static_cast<int32_t>(f_Cache.CacheSetCmd().Len())};
    d.CacheSlot = talker->CtxCacheIndex;
    d.CacheIndexFrame = &f_Cache.SpeakerIndexCmd();
    if (aShortClients) {
        d.Data[0] = {kExtMask, kExtShortValue, aFrame, aLen};
    } else {
        d.Data[0] = {kExtMask, kExtLongValue, aFrame, aLen};
        d.Data[1] = {kV0Mask, kV0AggrValue, f_AggrLong.data(), kQORSoundLongLen};
        d.Data[2] = {kV0Mask, kV0Value, aFrame, aLen};
    }
    e_Fanout.SendSound(d);
}

void TQORNetRelay::tmTxSoundLong(TQORSVCContext* c, std::string& aFrame) {
    if (aFrame.size() != static_cast<size_t>(kQORSoundLongLen)) return;
    if (c != e_SpeakingContext || (c->Ctx2Flags() & QOR_C2F_IGNORE_SOUNDS) ||
        (c->CtxFlags() & (QOR_CF_LEAVING | QOR_CF_NEWBIE | QOR_CF_SPEAKER | QOR_CF_ADMITTED |
                          QOR_CF_MUTED | QOR_CF_TALK_DENIED)) != (QOR_CF_SPEAKER | QOR_CF_ADMITTED))
        return;
    f_LastTxSoundFrameTick = f_HeartBeatTick;
    f_TxBehaveSummator += 200;
    tmCheckTxBehaviour(c);
    if (e_SpeakingContext != c || c->DisconnectCauseR() != TQORSVCDisconnectCause::fsdc_DisconnectWithoutAuth) return;
    PutIndex(aFrame.data(), QOR_FR_SOUND_LONG, c->QORNetworkIndex());
    f_AggrLong.assign(aFrame);
    f_AggrLong[1] = 0;
    f_AggrLong[2] = 1;
    SoundFanout(aFrame.data(), kQORSoundLongLen, false);
}

void TQORNetRelay::tmTxSoundShort(TQORSVCContext* c, std::string& aFrame) {
    if (aFrame.size() != static_cast<size_t>(kQORSoundShortLen)) return;
    if (c != e_SpeakingContext || (c->Ctx2Flags() & QOR_C2F_IGNORE_SOUNDS) ||
        (c->CtxFlags() & (QOR_CF_LEAVING | QOR_CF_NEWBIE | QOR_CF_SHORT_FRAMES | QOR_CF_SPEAKER |
                          QOR_CF_ADMITTED | QOR_CF_MUTED | QOR_CF_TALK_DENIED)) !=
            (QOR_CF_SHORT_FRAMES | QOR_CF_SPEAKER | QOR_CF_ADMITTED))
        return;
    f_LastTxSoundFrameTick = f_HeartBeatTick;
    f_TxBehaveSummator += 40;
    tmCheckTxBehaviour(c);
    if (e_SpeakingContext != c || c->DisconnectCauseR() != TQORSVCDisconnectCause::fsdc_DisconnectWithoutAuth) return;
    PutIndex(aFrame.data(), QOR_FR_SOUND_SHORT, c->QORNetworkIndex());
    SoundFanout(aFrame.data(), kQORSoundShortLen, true);
    if (f_ShortBufferCount == 5) FlushShortBuffersToLongClients();
    std::memcpy(f_ShortBufferDemfer.data() + 3 + f_ShortBufferCount * kQORSoundBlockLen,
                aFrame.data() + 3, kQORSoundBlockLen);
    if (++f_ShortBufferCount == 5) FlushShortBuffersToLongClients();
}

void TQORNetRelay::FlushShortBuffersToLongClients() {
    TQORSVCContext* talker = e_SpeakingContext;
    const int32_t from = f_ShortBufferCount;
    f_ShortBufferCount = 0;
    if (!talker) return;
    for (int32_t b = from; b < 5; ++b)
        std::memcpy(f_ShortBufferDemfer.data() + 3 + b * kQORSoundBlockLen, kQORSilenceBlock.data(),
                    kQORSoundBlockLen);
    PutIndex(f_ShortBufferDemfer.data(), QOR_FR_SOUND_LONG, talker->QORNetworkIndex());
    f_AggrLong.assign(f_ShortBufferDemfer);
    f_AggrLong[1] = 0;
    f_AggrLong[2] = 1;
    // Long-frame clients only: the information and cache groups test the
    // short-frame bit as clear.
    TQORNetFanoutDescr d;
    if (!f_Cache.SpeakerFramesCurrent(talker)) f_Cache.PrepareSpeakerIndex(talker);
    d.Except = talker;
    d.Info = {kInfoMaskShort, kInfoValueLong, f_SpeakerInfoUTF8.data(),
              static_cast<int32_t>(f_SpeakerInfoUTF8.size())};
    d.InfoKey = f_SpeakerInfoLastGlobalKey;
    d.InfoCounter = f_SpeakerInfoLastModifyCounter;
    d.Cache = {kCacheMaskShort, kCacheValueLong, f_Cache.CacheSetCmd().Data(),
               static_cast<int32_t>(f_Cache.CacheSetCmd().Len())};
    d.CacheSlot = talker->CtxCacheIndex;
    d.CacheIndexFrame = &f_Cache.SpeakerIndexCmd();
    d.Data[0] = {kExtMask, kExtLongValue, f_ShortBufferDemfer.data(), kQORSoundLongLen};
    d.Data[1] = {kV0Mask, kV0AggrValue, f_AggrLong.data(), kQORSoundLongLen};
    d.Data[2] = {kV0Mask, kV0Value, f_ShortBufferDemfer.data(), kQORSoundLongLen};
    e_Fanout.SendSound(d);
}

void TQORNetRelay::PingFrames() {
    static const char ack = static_cast<char>(QOR_FR_SOUND_ACK);
    // Members in an emulated transmission beat on their own.
    e_Fanout.SendDataThrough({nullptr, 0xC0A000, 0xA000, &ack, 1});
    TQORSVCContext* talker = e_SpeakingContext;
    if (talker == nullptr) {
        e_Fanout.SendDataThrough({nullptr, 0xC08800, 0, &kZero, 1});
        return;
    }
    tmCheckTxBehaviour(talker);
    if (e_SpeakingContext != talker) return;
    if ((talker->CtxFlags() & 0x802000) == 0x2000) SendOneSafe(talker, "SendData", &ack, 1, true);
    if (f_HeartBeatTick - f_LastTxSoundFrameTick >= 1000) {
        // A silent talker: the listeners hear silence, so that their
        // receivers stay open and their acknowledgements keep coming.
        f_LastTxSoundFrameTick = f_HeartBeatTick;
        e_Fanout.SendDataThrough({talker, 0x803400, 0x2000, &ack, 1});
        const uint16_t idx = talker->QORNetworkIndex();
        PutIndex(f_ZeroShort.data(), QOR_FR_SOUND_SHORT, idx);
        PutIndex(f_ZeroLong.data(), QOR_FR_SOUND_LONG, idx);
        e_Fanout.SendDataThrough({talker, 0x10817400, 0x14000, f_ZeroShort.data(), kQORSoundShortLen});
        f_AggrLong.assign(f_ZeroLong);
        f_AggrLong[1] = 0;
        f_AggrLong[2] = 1;
        e_Fanout.SendDataThrough({talker, 0x10817400, 0x10000, f_ZeroLong.data(), kQORSoundLongLen});
        e_Fanout.SendDataThrough({talker, 0x18817400, 0x8000000, f_AggrLong.data(), kQORSoundLongLen});
        e_Fanout.SendDataThrough({talker, 0x18817400, 0, f_ZeroLong.data(), kQORSoundLongLen});
    }
    // Members that take no sound still learn that the floor is taken.
    e_Fanout.SendDataThrough({talker, 0x10C08000, 0x10000000, &kZero, 1});
}

// ---------------------------------------------------------------------------
// text

bool TQORNetRelay::IsAggregateId(std::string_view aTo) const {
    return aTo.size() >= static_cast<size_t>(kQORClientIdLen) && aTo == f_Options.AggregateId;
}

void TQORNetRelay::BuildAggregateCopy(std::string_view aFrame, int32_t aPAOffset) {
    f_Scratch.assign(aFrame);
    const std::string& id = f_Options.AggregateId;
    std::memcpy(f_Scratch.data() + 4, id.data(),
                std::min<size_t>(id.size(), static_cast<size_t>(kQORClientIdLen)));
    f_Scratch[static_cast<size_t>(aPAOffset)] = 'A';
}

void TQORNetRelay::PrepareMessengerInfo(TQORSVCContext* s) {
    if (s->CtxGlobalKey() != f_MessengerInfoLastGlobalKey ||
        s->CtxModifyCounter != f_MessengerInfoLastModifyCounter) {
        f_MessengerInfoLastGlobalKey = s->CtxGlobalKey();
        f_MessengerInfoLastModifyCounter = s->CtxModifyCounter;
        f_MessengerInfoUTF8.assign(1, static_cast<char>(QOR_FR_MESSENGER_INFO));
        f_MessengerInfoUTF8 += s->ClientListItemV1U();
    }
    f_Cache.PrepareMessengerIndex(s);
}

void TQORNetRelay::MessageToAll(TQORSVCContext* s, bool aV1, const char* aFrameA, int32_t aLenA,
                                const char* aFrameU, int32_t aLenU) {
    PrepareMessengerInfo(s);
    TQORNetFanoutDescr d;
    d.Message = true;
    d.Except = nullptr;  // the sender reads its own message too
    d.Info = {QOR_CF_SPEAKER_INFO | QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING | QOR_CF_EXTENDED |
                  QOR_CF_UTF8,
              QOR_CF_SPEAKER_INFO | QOR_CF_EXTENDED | QOR_CF_UTF8, f_MessengerInfoUTF8.data(),
              static_cast<int32_t>(f_MessengerInfoUTF8.size())};
    d.InfoKey = f_MessengerInfoLastGlobalKey;
    d.InfoCounter = f_MessengerInfoLastModifyCounter;
    d.Cache = {QOR_CF_LIST_CACHE | QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING | QOR_CF_EXTENDED |
                   QOR_CF_UTF8,
               QOR_CF_LIST_CACHE | QOR_CF_EXTENDED | QOR_CF_UTF8, f_Cache.CacheSetCmd().Data(),
               static_cast<int32_t>(f_Cache.CacheSetCmd().Len())};
    d.CacheSlot = s->CtxCacheIndex;
    d.CacheIndexFrame = &f_Cache.MessengerIndexCmd();
    const int32_t aggrLen = static_cast<int32_t>(f_Scratch.size());
    if (aV1) {
        d.Data[0] = {QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING | QOR_CF_EXTENDED | QOR_CF_UTF8,
                     QOR_CF_EXTENDED | QOR_CF_UTF8, aFrameU, aLenU};
        d.Data[1] = {QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING | QOR_CF_EXTENDED | QOR_CF_UTF8,
                     QOR_CF_EXTENDED, aFrameA, aLenA};
    } else {
        d.Data[1] = {QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING | QOR_CF_EXTENDED, QOR_CF_EXTENDED,
                     aFrameA, aLenA};
    }
    d.Data[2] = {
        QOR_CF_AGGREGATE_LIST | QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING | QOR_CF_EXTENDED, 0,
        aFrameA, aLenA};
    d.Data[3] = {
        QOR_CF_AGGREGATE_LIST | QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING | QOR_CF_EXTENDED,
        QOR_CF_AGGREGATE_LIST, f_Scratch.data(), aggrLen};
    e_Fanout.SendMessage(d);
}

void TQORNetRelay::MessageToOne(TQORSVCContext* s, TQORSVCContext* to, bool aV1,
                                const char* aFrameA, int32_t aLenA, const char* aFrameU,
                                int32_t aLenU) {
    const char* op = "TQORServNetwork._SendMessage";
    const uint32_t f = to->CtxFlags();
    const int32_t slot = s->CtxCacheIndex;
    bool handled = false;
    if ((f & QOR_CF_LIST_CACHE) && slot >= 0 && CtxCacheHas(*to, slot) &&
        to->CtxCacheLastMessengerIndex != slot) {
        to->CtxCacheLastMessengerIndex = slot;
        if (slot == f_Cache.MessengerIndexLastIndex()) {
            const FastStringA& fr = f_Cache.MessengerIndexCmd();
            SendOneSafe(to, op, fr.Data(), static_cast<int32_t>(fr.Len()), false);
        } else {
            FastStringA fr(8);
            TQORNetListCache::BuildIndexFrame(fr, QOR_FR_MESSENGER_INDEX, slot);
            SendOneSafe(to, op, fr.Data(), static_cast<int32_t>(fr.Len()), false);
        }
        handled = true;
    }
    const uint32_t infoBits =
        f & (QOR_CF_LIST_CACHE | QOR_CF_SPEAKER_INFO | QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING |
             QOR_CF_EXTENDED | QOR_CF_UTF8);
    if (!handled && (infoBits == (QOR_CF_SPEAKER_INFO | QOR_CF_EXTENDED | QOR_CF_UTF8) ||
                     infoBits == (QOR_CF_LIST_CACHE | QOR_CF_EXTENDED | QOR_CF_UTF8))) {
        std::string info(1, static_cast<char>(QOR_FR_MESSENGER_INFO));
        info += s->ClientListItemV1U();
        SendOneSafe(to, op, info.data(), static_cast<int32_t>(info.size()), false);
        to->CtxCacheLastMessengerIndex = -1;
    }
    if (aV1 && (f & (QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING | QOR_CF_EXTENDED | QOR_CF_UTF8)) ==
                   (QOR_CF_EXTENDED | QOR_CF_UTF8))
        SendOneSafe(to, op, aFrameU, aLenU, true);
    else if ((f & (QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING | QOR_CF_EXTENDED)) ==
                 QOR_CF_EXTENDED ||
             (f & (QOR_CF_AGGREGATE_LIST | QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING |
                   QOR_CF_EXTENDED)) == 0)
        SendOneSafe(to, op, aFrameA, aLenA, true);
    else if ((f & (QOR_CF_AGGREGATE_LIST | QOR_CF_NO_SERVER_MESSAGES | QOR_CF_LEAVING |
                   QOR_CF_EXTENDED)) == QOR_CF_AGGREGATE_LIST)
        SendOneSafe(to, op, f_Scratch.data(), static_cast<int32_t>(f_Scratch.size()), true);
}

void TQORNetRelay::tmMessageV0(TQORSVCContext* c, std::string_view aTo, std::string& aFrame,
                               int32_t aPAOffset) {
    if (c->Ctx2Flags() & QOR_C2F_IGNORE_MESSAGES) return;
    if (aFrame.size() < 4 + static_cast<size_t>(kQORClientIdLen) || aPAOffset < 4 + kQORClientIdLen ||
        static_cast<size_t>(aPAOffset) >= aFrame.size())
        return;
    if (IsAggregateId(aTo)) {
        aFrame[static_cast<size_t>(aPAOffset)] = 'A';
        aTo = {};
    }
    TQORSVCContext* to = nullptr;
    if (!aTo.empty()) {
        to = e_FindAdmitted ? e_FindAdmitted(aTo) : nullptr;
        if (!to || (to->CtxFlags() & (QOR_CF_LEAVING | QOR_CF_NO_SERVER_MESSAGES))) return;
    }
    BuildAggregateCopy(aFrame, aPAOffset);
    const int32_t len = static_cast<int32_t>(aFrame.size());
    if (to)
        MessageToOne(c, to, false, aFrame.data(), len, nullptr, 0);
    else
        MessageToAll(c, false, aFrame.data(), len, nullptr, 0);
}

void TQORNetRelay::tmMessageV1(TQORSVCContext* c, std::string_view aTo, std::string& aBuf,
                               int32_t aLen1, int32_t aOffset2, int32_t aPA1, int32_t aPA2) {
    if (c->Ctx2Flags() & QOR_C2F_IGNORE_MESSAGES) return;
    const int32_t total = static_cast<int32_t>(aBuf.size());
    const int32_t minLen = 4 + kQORClientIdLen;
    if (aLen1 < minLen || aLen1 > total || aOffset2 < aLen1 || total - aOffset2 < minLen ||
        aPA1 < minLen || aPA1 >= aLen1 || aPA2 < aOffset2 + minLen || aPA2 >= total)
        return;
    if (IsAggregateId(aTo)) {
        aBuf[static_cast<size_t>(aPA1)] = 'A';
        aBuf[static_cast<size_t>(aPA2)] = 'A';
        aTo = {};
    }
    TQORSVCContext* to = nullptr;
    if (!aTo.empty()) {
        to = e_FindAdmitted ? e_FindAdmitted(aTo) : nullptr;
        if (!to || (to->CtxFlags() & (QOR_CF_LEAVING | QOR_CF_NO_SERVER_MESSAGES))) return;
    }
    BuildAggregateCopy(std::string_view(aBuf.data(), static_cast<size_t>(aLen1)), aPA1);
    const char* u = aBuf.data() + aOffset2;
    if (to)
        MessageToOne(c, to, true, aBuf.data(), aLen1, u, total - aOffset2);
    else
        MessageToAll(c, true, aBuf.data(), aLen1, u, total - aOffset2);
}

}  // namespace gax
