// Per-address connection counters for client admission: how many connections
// an address holds now and when it connected lately, in a hash table of sorted
// lists. Owned and used by the heartbeat thread alone; no locking.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_datetime.h"
#include "foundation/gax_qor_classes.h"

namespace gax {

// Search key of one binary peer address, built once per connection.
struct TGaxHashSearch {
    uint16_t sslhr_CRC16 = 0;
    // CRC (least significant byte first), the address bytes, then zero bytes
    // up to a multiple of 4 so that the sorted list compares whole words.
    std::string sslhr_PreparedForSort;
};

// The key of a 4- or 16-byte binary address as the listener hands it over.
TGaxHashSearch MakeAddressHashSearch(std::string_view aAddrBin);

class TQORAddressConnectCounter {
  public:
    // Times are the service's uptime in seconds. A negative ring size counts as 0.
    TQORAddressConnectCounter(int32_t aMaxConnectsPerMeasureTime, TGaxTick32 aUptime,
                              TGaxTick32 aCacheHoldTime, TGaxTick32 aMeasureTime);

    // Records the connect time; false when the ring's oldest time lies within
    // the window. The time is stored even on refusal, so a client that keeps
    // hammering stays refused until it pauses.
    bool CanConnect_CheckOnConnectionsFrequency(TGaxTick32 aUptime);
    // Quiet for longer than the hold time since the last stored connect.
    bool CanDelete(TGaxTick32 aUptime) const;

    int32_t UptimesCount() const { return f_UptimesCount; }

    int32_t ActiveConnections = 1;

  private:
    int32_t f_TailIdx = 0;
    int32_t f_HeadIdx = 0;
    int32_t f_UptimesCount = 0;
    TGaxTick32 f_MeasureTime;
    int32_t f_MaxConnectsPerMeasureTime;
    TGaxTick32 f_CacheHoldTime;
    std::vector<TGaxTick32> f_UptimeArray;
};

struct TQORAddressConnectCacheSearchResult {
    TQORAddressConnectCounter* faccsr_LastFoundObject = nullptr;
    int32_t faccsr_LastFindObjIdx1 = 0;
    int32_t faccsr_LastFindObjIdx2 = -1;
    int32_t faccsr_LastFoundActiveConnections = 0;
};

class TQORAddressConnectCache {
  public:
    // Buckets: 2 to the power of aHashFactor clamped to 2..14. Raises on a
    // measure time of 0, a hold time below the measure time or a clean-up
    // round of 0.
    TQORAddressConnectCache(int32_t aHashFactor, int32_t aMaxConnectionsPerAddress,
                            int32_t aMaxConnectionsPerAddressPerTime, TGaxTick32 aMeasureTime,
                            TGaxTick32 aCacheHoldTime, TGaxTick32 aCleanupRoundTime);
    ~TQORAddressConnectCache();
    TQORAddressConnectCache(const TQORAddressConnectCache&) = delete;
    TQORAddressConnectCache& operator=(const TQORAddressConnectCache&) = delete;

    bool FindAddressRec(const TGaxHashSearch& R, TQORAddressConnectCacheSearchResult& aSearchRec);
    // aSearchRec must come from FindAddressRec with the same key, with no
    // registration or clean-up in between.
    void RegisterConnection(const TGaxHashSearch& R, TGaxTick32 aUptime,
                            const TQORAddressConnectCacheSearchResult& aSearchRec);
    void UnregisterConnection(const TQORAddressConnectCacheSearchResult& aSearchRec);
    bool ExceededOnMaxConnectionsPerAddress(
        const TQORAddressConnectCacheSearchResult& aSearchRec) const;
    // One slice of the sweep that drops quiet counters; run once per new second.
    void CacheCleanupStep(TGaxTick32 aUptime);

    int32_t Capacity() const;
    int32_t Count() const;
    int32_t HashArraySize() const { return f_HashArraySize; }

  private:
    using Bucket = TQORSortedAnsiStringList<TQORAddressConnectCounter>;

    std::vector<Bucket> f_HashArray;
    int32_t f_HashArraySize;
    int32_t f_Mask;
    int32_t f_MaxConnectionsPerAddress;
    int32_t f_MaxConnectionsPerAddressPerTime;
    TGaxTick32 f_MeasureTime;
    TGaxTick32 f_CacheHoldTime;
    TGaxTick32 f_CleanupRoundTime;
    TGaxTick32 f_LastCleanupMoment = 0;
    int32_t f_LastCleanupIndex = 0;
};

}  // namespace gax
