#include "server/gax_qor_address_connect_counter.h"

#include <algorithm>

#include "foundation/gax_hex.h"
#include "foundation/gax_types.h"

namespace gax {

namespace {

// Address keys start from a constant of their own so that they do not share
// CRC values with other users of the checksum.
constexpr uint16_t kAddressCrcStart = 31250;

[[noreturn]] void RaiseNoLastFound() {
    throw Exception(std::string_view("No last found object"));
}

}  // namespace

TGaxHashSearch MakeAddressHashSearch(std::string_view aAddrBin) {
    TGaxHashSearch r;
    r.sslhr_CRC16 =
        Crc16Update(kAddressCrcStart, aAddrBin.data(), static_cast<int>(aAddrBin.size()));
    std::string& k = r.sslhr_PreparedForSort;
    k.reserve(2 + aAddrBin.size() + 3);
    k.push_back(static_cast<char>(r.sslhr_CRC16 & 0xFF));
    k.push_back(static_cast<char>(r.sslhr_CRC16 >> 8));
    k.append(aAddrBin);
    while (k.size() % 4 != 0) k.push_back('\0');
    return r;
}

// ------------------------------------------------------------ counter

TQORAddressConnectCounter::TQORAddressConnectCounter(int32_t aMaxConnectsPerMeasureTime,
                                                     TGaxTick32 aUptime, TGaxTick32 aCacheHoldTime,
                                                     TGaxTick32 aMeasureTime)
    : f_MeasureTime(aMeasureTime),
      f_MaxConnectsPerMeasureTime(std::max(aMaxConnectsPerMeasureTime, 0)),
      f_CacheHoldTime(aCacheHoldTime),
      f_UptimeArray(static_cast<size_t>(f_MaxConnectsPerMeasureTime)) {
    if (f_MaxConnectsPerMeasureTime > 0) {
        f_UptimeArray[0] = aUptime;
        f_UptimesCount = 1;
        f_HeadIdx = 1 % f_MaxConnectsPerMeasureTime;
    }
}

bool TQORAddressConnectCounter::CanConnect_CheckOnConnectionsFrequency(TGaxTick32 aUptime) {
    const int32_t size = f_MaxConnectsPerMeasureTime;
    if (size <= 0) return true;
    if (f_UptimesCount < size) {
        f_UptimeArray[f_HeadIdx] = aUptime;
        f_HeadIdx = (f_HeadIdx + 1) % size;
        ++f_UptimesCount;
        return true;
    }
    const TGaxTick32 oldest = f_UptimeArray[f_TailIdx];
    f_TailIdx = (f_TailIdx + 1) % size;
    f_UptimeArray[f_HeadIdx] = aUptime;
    f_HeadIdx = (f_HeadIdx + 1) % size;
    return TGaxTick32(aUptime - oldest) > f_MeasureTime;
}

bool TQORAddressConnectCounter::CanDelete(TGaxTick32 aUptime) const {
    // An empty ring remembers no connect, so nothing argues for keeping it.
    if (f_UptimesCount <= 0) return true;
    const int32_t size = f_MaxConnectsPerMeasureTime;
    const TGaxTick32 last = f_UptimeArray[(f_HeadIdx + size - 1) % size];
    return TGaxTick32(aUptime - last) > f_CacheHoldTime;
}

// ------------------------------------------------------------ cache

TQORAddressConnectCache::TQORAddressConnectCache(int32_t aHashFactor,
                                                 int32_t aMaxConnectionsPerAddress,
                                                 int32_t aMaxConnectionsPerAddressPerTime,
                                                 TGaxTick32 aMeasureTime, TGaxTick32 aCacheHoldTime,
                                                 TGaxTick32 aCleanupRoundTime)
    : f_HashArraySize(1 << std::clamp(aHashFactor, 2, 14)),
      f_Mask(f_HashArraySize - 1),
      f_MaxConnectionsPerAddress(aMaxConnectionsPerAddress),
      f_MaxConnectionsPerAddressPerTime(aMaxConnectionsPerAddressPerTime),
      f_MeasureTime(aMeasureTime),
      f_CacheHoldTime(aCacheHoldTime),
      f_CleanupRoundTime(aCleanupRoundTime) {
    if (aMeasureTime == 0) throw Exception(std::string_view("AddressCounter measure time <= 0"));
    if (aCacheHoldTime < aMeasureTime)
        throw Exception(std::string_view("AddressCounter hold time is less a measure time"));
    if (aCleanupRoundTime == 0)
        throw Exception(std::string_view("AddressCounter cleanup round time <= 0"));
    f_HashArray.reserve(static_cast<size_t>(f_HashArraySize));
    // Most buckets stay small, so each starts at the list's least capacity.
    for (int32_t i = 0; i < f_HashArraySize; ++i) f_HashArray.emplace_back(0, false);
}

TQORAddressConnectCache::~TQORAddressConnectCache() {
    for (Bucket& b : f_HashArray) b.FreeObjects();
}

bool TQORAddressConnectCache::FindAddressRec(const TGaxHashSearch& R,
                                             TQORAddressConnectCacheSearchResult& aSearchRec) {
    aSearchRec = {};
    aSearchRec.faccsr_LastFindObjIdx1 = R.sslhr_CRC16 & f_Mask;
    Bucket& b = f_HashArray[aSearchRec.faccsr_LastFindObjIdx1];
    int32_t idx;
    if (!b.FindFast(R.sslhr_PreparedForSort, idx)) return false;
    aSearchRec.faccsr_LastFindObjIdx2 = idx;
    aSearchRec.faccsr_LastFoundObject = b.GetObject(idx);
    aSearchRec.faccsr_LastFoundActiveConnections =
        aSearchRec.faccsr_LastFoundObject->ActiveConnections;
    return true;
}

void TQORAddressConnectCache::RegisterConnection(
    const TGaxHashSearch& R, TGaxTick32 aUptime,
    const TQORAddressConnectCacheSearchResult& aSearchRec) {
    if (aSearchRec.faccsr_LastFoundObject != nullptr) {
        ++aSearchRec.faccsr_LastFoundObject->ActiveConnections;
        return;
    }
    auto counter = std::make_unique<TQORAddressConnectCounter>(
        f_MaxConnectionsPerAddressPerTime, aUptime, f_CacheHoldTime, f_MeasureTime);
    // The bucket is found again from the key rather than trusted from the
    // search result, so a stale result cannot put the key in a wrong bucket.
    f_HashArray[R.sslhr_CRC16 & f_Mask].AddObject(R.sslhr_PreparedForSort, counter.get());
    counter.release();  // the bucket owns it now
}

void TQORAddressConnectCache::UnregisterConnection(
    const TQORAddressConnectCacheSearchResult& aSearchRec) {
    if (aSearchRec.faccsr_LastFoundObject == nullptr) RaiseNoLastFound();
    --aSearchRec.faccsr_LastFoundObject->ActiveConnections;
}

bool TQORAddressConnectCache::ExceededOnMaxConnectionsPerAddress(
    const TQORAddressConnectCacheSearchResult& aSearchRec) const {
    if (aSearchRec.faccsr_LastFoundObject == nullptr) RaiseNoLastFound();
    return aSearchRec.faccsr_LastFoundActiveConnections > f_MaxConnectionsPerAddress;
}

void TQORAddressConnectCache::CacheCleanupStep(TGaxTick32 aUptime) {
    if (aUptime == f_LastCleanupMoment) return;
    // 64 bits and capped at one full round: after a long stall the product
    // would overflow 32 bits, and visiting a bucket twice gains nothing.
    const int64_t elapsed = TGaxTick32(aUptime - f_LastCleanupMoment);
    int64_t n = (int64_t{f_HashArraySize} * (elapsed + 1) - 1) / f_CleanupRoundTime;
    n = std::clamp<int64_t>(n, 1, f_HashArraySize);
    f_LastCleanupMoment = aUptime;
    int32_t idx = f_LastCleanupIndex;
    for (int64_t k = 0; k < n; ++k) {
        Bucket& b = f_HashArray[idx];
        for (int32_t i = b.Count() - 1; i >= 0; --i) {
            TQORAddressConnectCounter* c = b.GetObject(i);
            if (c->ActiveConnections <= 0 && c->CanDelete(aUptime)) {
                b.Delete(i);
                delete c;
            }
        }
        idx = (idx + 1) & f_Mask;
    }
    f_LastCleanupIndex = idx;
}

int32_t TQORAddressConnectCache::Capacity() const {
    int32_t sum = 0;
    for (const Bucket& b : f_HashArray) sum += b.Capacity();
    return sum;
}

int32_t TQORAddressConnectCache::Count() const {
    int32_t sum = 0;
    for (const Bucket& b : f_HashArray) sum += b.Count();
    return sum;
}

}  // namespace gax
