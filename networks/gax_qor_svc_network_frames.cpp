#include "networks/gax_qor_svc_network_frames.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_fields.h"

namespace gax {

const std::array<uint8_t, kQORSoundBlockLen> kQORSilenceBlock = {
    0x20, 0x48, 0x17, 0xd6, 0x84, 0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x89, 0x02,
    0x80, 0x24, 0x49, 0x92, 0x24, 0x89, 0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x89,
    0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x09, 0x82, 0x74, 0x61, 0x4d, 0x28, 0x00,
    0x48, 0x92, 0x24, 0x49, 0x92, 0x28, 0x00, 0x48, 0x92, 0x24, 0x49, 0x92, 0x28,
    0x00, 0x48, 0x92, 0x24, 0x49, 0x92, 0x28, 0x00, 0x48, 0x92, 0x24, 0x49, 0x92};

bool CtxCacheHas(const TQORSVCContext& aCtx, int32_t aSlot) {
    const auto& words = aCtx.CtxCacheArray();
    const size_t w = static_cast<size_t>(aSlot) / 32;
    return aSlot >= 0 && w < words.size() && (words[w] & (1u << (aSlot % 32))) != 0;
}

void CtxCacheSet(TQORSVCContext& aCtx, int32_t aSlot) {
    auto& words = aCtx.CtxCacheArrayMut();
    const size_t w = static_cast<size_t>(aSlot) / 32;
    if (aSlot >= 0 && w < words.size()) words[w] |= 1u << (aSlot % 32);
}

// ---------------------------------------------------------------------------
// fan-out

void TQORNetFanout::SendFailed(TQORSVCContext* aCtx, const char* aOperation,
                               const std::exception* aError) {
    const bool oom = dynamic_cast<const std::bad_alloc*>(aError) != nullptr;
    if (e_Log) {
        e_Log(u"ERROR: " + f_LogPrefix + ByteStrToUnicode(aOperation) + u": " +
              (aError ? DescribeException(*aError) : u"unknown: non-standard exception"));
    }
    aCtx->ClientTerminateSignal(oom ? TQORSVCDisconnectCause::fsdc_ServOutOfMemory
                                           : TQORSVCDisconnectCause::fsdc_ServInternalError);
}

template <class F>
void TQORNetFanout::Walk(const char* aOperation, TQORSVCContext* aExcept, F&& aEach) {
    const TQORNetMembers& members = *f_Members;
    for (size_t i = members.size(); i-- > 0;) {
        TQORSVCContext* c = members[i];
        if (c == aExcept) continue;
        try {
            aEach(*c);
        } catch (const std::exception& e) {
            // Kept for the disconnect line, which the operator reads long
            // after the error line has scrolled by.
            const auto* own = dynamic_cast<const Exception*>(&e);
            c->SetInternalErrorText(own ? own->Message() : ByteStrToUnicode(e.what()));
            SendFailed(c, aOperation, &e);
        } catch (...) {
            SendFailed(c, aOperation, nullptr);
        }
    }
}

template <class F>
void TQORNetFanout::WalkMatching(const char* aOperation, const TQORNetSendParams& aPar, F&& aEach) {
    const uint32_t m = f_NetFlags & aPar.sp_FlagsMask;
    Walk(aOperation, aPar.sp_ExceptContext, [&](TQORSVCContext& c) GAX_REQUIRES(kHeartbeat) {
        if ((c.CtxFlags() & m) == aPar.sp_FlagsValue) aEach(c);
    });
}

void TQORNetFanout::SendData(const TQORNetSendParams& p) {
    WalkMatching("SendData", p, [&](TQORSVCContext& c) GAX_REQUIRES(kHeartbeat) {
        c.vSendBytes(p.sp_DataPtr, p.sp_DataLen);
    });
}

void TQORNetFanout::SendDataDontWakeWorker(const TQORNetSendParams& p) {
    WalkMatching("SendDataDontWakeWorker", p, [&](TQORSVCContext& c) GAX_REQUIRES(kHeartbeat) {
        c.vSendBytesDontWakeWorker(p.sp_DataPtr, p.sp_DataLen);
    });
}

namespace {

// The sends to idle listeners of one fan-out, submitted together once all
// are met. One per fanning thread (the heartbeat): its kernel ring and
// storage are made once and reused for every frame.
TWriteThroughBatch& ThroughBatch() {
    static thread_local TWriteThroughBatch t_Through;
    return t_Through;
}

// No lock is held here: every gathered buffer's send is this thread's until
// its completion.
void SubmitThrough(TWriteThroughBatch& aBatch) {
    aBatch.Submit([](void* aTag, TAsyncWriter2SocketThreadSafe::WriteThrough aResult) {
        static_cast<TQORSVCContext*>(aTag)->vSendThroughDone(aResult);
    });
}

}  // namespace

void TQORNetFanout::SendDataThrough(const TQORNetSendParams& p) {
    TSharedFrame frame;
    TWriteThroughBatch& batch = ThroughBatch();
    WalkMatching("SendData", p, [&](TQORSVCContext& c) GAX_REQUIRES(kHeartbeat) {
        if (frame.Empty())
            frame = TSharedFrame::Make(std::string_view(static_cast<const char*>(p.sp_DataPtr),
                                                        static_cast<size_t>(std::max(p.sp_DataLen, 0))));
        c.vSendSharedThrough(frame, batch);
    });
    SubmitThrough(batch);
}

void TQORNetFanout::SendData2(const TQORNetSend2Params& p) {
    const uint32_t m1 = f_NetFlags & p.sp2_Flags1Mask;
    const uint32_t m2 = f_NetFlags & p.sp2_Flags2Mask;
    Walk("SendData2", p.sp2_ExceptContext, [&](TQORSVCContext& c) GAX_REQUIRES(kHeartbeat) {
        const uint32_t f = c.CtxFlags();
        if ((f & m1) == p.sp2_Flags1Value) c.vSendBytes(p.sp2_Data1Ptr, p.sp2_Data1Len);
        if ((f & m2) == p.sp2_Flags2Value) c.vSendBytes(p.sp2_Data2Ptr, p.sp2_Data2Len);
    });
}

void TQORNetFanout::SendDataShared(const TQORNetSendParams& p, const TSharedFrame& aFrame) {
    WalkMatching("SendData", p, [&](TQORSVCContext& c) GAX_REQUIRES(kHeartbeat) {
        c.vSendShared(aFrame, true);
    });
}

void TQORNetFanout::SendAggrListShared(const TQORNetSendParams& p, const TSharedFrame& aFrame) {
    WalkMatching("SendAggrList", p, [&](TQORSVCContext& c) GAX_REQUIRES(kHeartbeat) {
        c.vSendShared(aFrame, false);
        const std::string& item = c.ClientListItemV0();
        c.vSendBytes(item.data(), static_cast<int32_t>(item.size()));
    });
}

void TQORNetFanout::SendKAToAll(TQORSVCContext* aExcept) {
    static const char ka = 0;
    SendData({aExcept, QOR_CF_LEAVING | QOR_CF_NEWBIE | QOR_CF_EMULATED_TX, 0, &ka, 1});
}

namespace {

// The data group aIndex as one frame for all its members, made when its first
// member is met; groups that send the same bytes share one frame.
TSharedFrame SharedOf(const TQORNetFanoutDescr& d, size_t aIndex,
                      const std::array<TSharedFrame, 4>& aMade) {
    const TQORNetSendGroup& g = d.Data[aIndex];
    for (size_t k = 0; k < aMade.size(); ++k)
        if (k != aIndex && !aMade[k].Empty() && d.Data[k].Ptr == g.Ptr && d.Data[k].Len == g.Len)
            return aMade[k];
    return TSharedFrame::Make(
        std::string_view(static_cast<const char*>(g.Ptr), static_cast<size_t>(std::max(g.Len, 0))));
}

}  // namespace

void TQORNetFanout::Fanout(const TQORNetFanoutDescr& d, uint32_t aNetFlags) {
    // One frame per data group, held by reference by every member's buffer.
    std::array<TSharedFrame, 4> shared;
    TWriteThroughBatch& through = ThroughBatch();
    const char* op = d.Message ? "TQORServNetwork._SendMessage" : "TQORServNetwork._SendSound";
    Walk(op, d.Except, [&](TQORSVCContext& c) GAX_REQUIRES(kHeartbeat) {
        const uint32_t a = c.CtxFlags() & aNetFlags;
        if ((a & d.Info.Mask) == d.Info.Value) {
            TQORGlobalKey& key =
                d.Message ? c.CtxMessengerInfoLastGlobalKey : c.CtxSpeakerInfoLastGlobalKey;
            int32_t& counter =
                d.Message ? c.CtxMessengerInfoLastModifyCount : c.CtxSpeakerInfoLastModifyCount;
            if (key != d.InfoKey || counter != d.InfoCounter) {
                key = d.InfoKey;
                counter = d.InfoCounter;
                c.vSendBytesDontWakeWorker(d.Info.Ptr, d.Info.Len);
            }
        }
        if ((a & d.Cache.Mask) == d.Cache.Value && d.CacheSlot >= 0) {
            if (!CtxCacheHas(c, d.CacheSlot)) {
                CtxCacheSet(c, d.CacheSlot);
                c.vSendBytesDontWakeWorker(d.Cache.Ptr, d.Cache.Len);
            }
            int32_t& last = d.Message ? c.CtxCacheLastMessengerIndex : c.CtxCacheLastSpeakerIndex;
            if (last != d.CacheSlot) {
                last = d.CacheSlot;
                c.vSendBytesDontWakeWorker(d.CacheIndexFrame->Data(),
                                           static_cast<int32_t>(d.CacheIndexFrame->Len()));
            }
        }
        for (size_t k = 0; k < d.Data.size(); ++k) {
            const TQORNetSendGroup& g = d.Data[k];
            if ((a & g.Mask) != g.Value) continue;
            if (shared[k].Empty()) shared[k] = SharedOf(d, k, shared);
            // Sound comes at the talker's pace, so the heartbeat can send it
            // itself; a burst of text would make it the one thread that
            // sends every line to every member, and it stays the workers'.
            if (d.Message)
                c.vSendShared(shared[k], true);
            else
                c.vSendSharedThrough(shared[k], through);
        }
    });
    SubmitThrough(through);
}

// ---------------------------------------------------------------------------
// list cache

TQORNetListCache::TQORNetListCache(TQORNetFanout& aFanout) : e_Fanout(aFanout) {
    f_Free.reserve(kQORCacheSlots);
    for (int32_t s = kQORCacheSlots - 1; s >= 0; --s) f_Free.push_back(s);
    f_SortArray.reserve(kQORCacheSlots);
}

void TQORNetListCache::BuildIndexFrame(FastStringA& aF, uint8_t aMarker, int32_t aSlot) {
    aF.Clear();
    aF.AppendChar(static_cast<char>(aMarker));
    FastStrAddHexLenInt(aF, static_cast<uint32_t>(aSlot));
    aF.Append("\r\n", 2);
}

void TQORNetListCache::ClearCacheBitInClients(int32_t aWordIndex, uint32_t aKeepMask) {
    for (TQORSVCContext* c : e_Fanout.Members()) {
        if (!(c->CtxFlags() & QOR_CF_LIST_CACHE)) continue;
        auto& words = c->CtxCacheArrayMut();
        if (static_cast<size_t>(aWordIndex) < words.size()) words[aWordIndex] &= aKeepMask;
    }
}

bool TQORNetListCache::OwnsSlot(const TQORSVCContext* aCtx) const {
    for (const Use& u : f_SortArray)
        if (u.Ctx == aCtx) return true;
    return false;
}

int32_t TQORNetListCache::CacheSlotAssign(TQORSVCContext* c) {
    int32_t slot = c->CtxCacheIndex;
    if (slot < 0) {
        if (!f_Free.empty()) {
            slot = f_Free.back();
            f_Free.pop_back();
        } else {
            if (f_SortArray.empty()) throw std::logic_error("Cache sort array is empty");
            const Use lru = f_SortArray.front();
            if (lru.Ctx->CtxCacheIndex != lru.Slot)
                throw std::logic_error("Cache sort array element not synchonized");
            lru.Ctx->CtxCacheIndex = -1;
            slot = lru.Slot;
            ClearCacheBitInClients(slot / 32, ~(1u << (slot % 32)));
            f_SortArray.erase(f_SortArray.begin());
        }
        c->CtxCacheIndex = slot;
        f_SortArray.push_back({c, slot});
        f_SlotData[slot] = {c->CtxGlobalKey(), c->CtxModifyCounter};
    } else {
        size_t i = f_SortArray.size();
        while (i > 0 && f_SortArray[i - 1].Ctx != c) --i;
        if (i == 0) throw std::logic_error("Context not found in the cache sort array");
        if (f_SortArray[i - 1].Slot != slot)
            throw std::logic_error("Cache sort array element not synchonized");
        const Use u = f_SortArray[i - 1];
        f_SortArray.erase(f_SortArray.begin() + static_cast<ptrdiff_t>(i - 1));
        f_SortArray.push_back(u);
        SlotData& sd = f_SlotData[slot];
        if (sd.Key != c->CtxGlobalKey() || sd.Counter != c->CtxModifyCounter) {
            // The clients hold the owner's old item under this slot.
            sd = {c->CtxGlobalKey(), c->CtxModifyCounter};
            ClearCacheBitInClients(slot / 32, ~(1u << (slot % 32)));
        }
    }
    if (slot != f_CacheSetLastIndex || c->CtxGlobalKey() != f_CacheSetLastGlobalKey ||
        c->CtxModifyCounter != f_CacheSetLastModifyCounter) {
        f_CacheSetLastIndex = slot;
        f_CacheSetLastGlobalKey = c->CtxGlobalKey();
        f_CacheSetLastModifyCounter = c->CtxModifyCounter;
        const std::string& item = c->ClientListItemV1U();
        f_CacheSetCmd.Clear();
        f_CacheSetCmd.AppendChar(static_cast<char>(QOR_FR_CACHE_SET));
        FastStrAddHexLenInt(f_CacheSetCmd, static_cast<uint32_t>(slot));
        f_CacheSetCmd.Append(item);
    }
    return slot;
}

void TQORNetListCache::CacheSlotRelease(TQORSVCContext* c) {
    if (c->CtxCacheIndex < 0) return;
    size_t i = 0;
    while (i < f_SortArray.size() && f_SortArray[i].Ctx != c) ++i;
    if (i == f_SortArray.size()) throw std::logic_error("Context not found in the cache sort array");
    const int32_t slot = f_SortArray[i].Slot;
    if (slot != c->CtxCacheIndex) throw std::logic_error("Cache sort array element not synchonized");
    f_SortArray.erase(f_SortArray.begin() + static_cast<ptrdiff_t>(i));
    c->CtxCacheIndex = -1;
    ClearCacheBitInClients(slot / 32, ~(1u << (slot % 32)));
    f_Free.push_back(slot);
    // The next owner of the slot must not inherit the 0x91 frame built for this one.
    if (f_CacheSetLastIndex == slot) f_CacheSetLastIndex = -1;
}

void TQORNetListCache::PrepareSpeakerIndex(TQORSVCContext* aCtx) {
    const int32_t slot = CacheSlotAssign(aCtx);
    if (slot != f_CacheSpeakerIndexLastIndex) {
        f_CacheSpeakerIndexLastIndex = slot;
        BuildIndexFrame(f_CacheSpeakerIndexCmd, QOR_FR_SPEAKER_INDEX, slot);
    }
}

void TQORNetListCache::PrepareMessengerIndex(TQORSVCContext* aCtx) {
    const int32_t slot = CacheSlotAssign(aCtx);
    if (slot != f_CacheMessengerIndexLastIndex) {
        f_CacheMessengerIndexLastIndex = slot;
        BuildIndexFrame(f_CacheMessengerIndexCmd, QOR_FR_MESSENGER_INDEX, slot);
    }
}

bool TQORNetListCache::SpeakerFramesCurrent(const TQORSVCContext* c) const {
    const int32_t slot = c->CtxCacheIndex;
    return slot >= 0 && slot == f_CacheSetLastIndex && slot == f_CacheSpeakerIndexLastIndex &&
           c->CtxGlobalKey() == f_CacheSetLastGlobalKey &&
           c->CtxModifyCounter == f_CacheSetLastModifyCounter &&
           f_SlotData[slot].Key == c->CtxGlobalKey() &&
           f_SlotData[slot].Counter == c->CtxModifyCounter;
}

}  // namespace gax
