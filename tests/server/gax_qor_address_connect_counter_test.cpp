#include "server/gax_qor_address_connect_counter.h"

#include <gtest/gtest.h>

#include <string>

using namespace gax;

namespace {

const std::string kLoop4("\x7F\x00\x00\x01", 4);

TEST(AddressHashSearch, KeyOfLoopbackAndPadding) {
    const TGaxHashSearch r = MakeAddressHashSearch(kLoop4);
    EXPECT_EQ(r.sslhr_CRC16, 0xB5FC);
    EXPECT_EQ(r.sslhr_PreparedForSort, std::string("\xFC\xB5\x7F\x00\x00\x01\x00\x00", 8));
    EXPECT_EQ(r.sslhr_CRC16 & 63, 60);

    const TGaxHashSearch r6 = MakeAddressHashSearch(std::string(16, '\x01'));
    EXPECT_EQ(r6.sslhr_PreparedForSort.size(), 20u);
    EXPECT_EQ(r6.sslhr_PreparedForSort.substr(18), std::string(2, '\0'));
}

TEST(AddressConnectCounter, RingRefusesWithinWindow) {
    struct Case {
        TGaxTick32 last;
        bool allowed;
    };
    // Ring 3, window 30: 100 registers the address, 101 and 102 fill the
    // ring, 103 is refused (103-100 is not above 30) yet stored; the last
    // connect is then compared with 101.
    for (const Case c : {Case{133, true}, Case{131, false}}) {
        TQORAddressConnectCounter k(3, 100, 120, 30);
        EXPECT_TRUE(k.CanConnect_CheckOnConnectionsFrequency(101));
        EXPECT_TRUE(k.CanConnect_CheckOnConnectionsFrequency(102));
        EXPECT_FALSE(k.CanConnect_CheckOnConnectionsFrequency(103));
        EXPECT_EQ(k.CanConnect_CheckOnConnectionsFrequency(c.last), c.allowed) << c.last;
    }
}

TEST(AddressConnectCounter, EmptyRingNeverLimitsAndMayGo) {
    TQORAddressConnectCounter k(-5, 100, 120, 30);
    EXPECT_EQ(k.UptimesCount(), 0);
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(k.CanConnect_CheckOnConnectionsFrequency(100));
    EXPECT_TRUE(k.CanDelete(100));
}

TEST(AddressConnectCounter, DeletableOnlyAfterHoldTimeSinceLastConnect) {
    TQORAddressConnectCounter k(2, 100, 120, 30);
    k.CanConnect_CheckOnConnectionsFrequency(150);
    k.CanConnect_CheckOnConnectionsFrequency(160);  // ring wrapped: last is 160
    EXPECT_FALSE(k.CanDelete(280));
    EXPECT_TRUE(k.CanDelete(281));
}

TEST(AddressConnectCache, BucketCountsAndConstructorErrors) {
    struct Case {
        int32_t factor, buckets;
    };
    for (const Case c : {Case{20, 16384}, Case{0, 4}, Case{-3, 4}, Case{6, 64}, Case{14, 16384}}) {
        TQORAddressConnectCache cache(c.factor, 8, 150, 30, 120, 60);
        EXPECT_EQ(cache.HashArraySize(), c.buckets) << c.factor;
    }

    struct ErrCase {
        TGaxTick32 measure, hold, round;
        const char* text;
    };
    for (const ErrCase e : {ErrCase{0, 120, 60, "AddressCounter measure time <= 0"},
                            ErrCase{30, 29, 60, "AddressCounter hold time is less a measure time"},
                            ErrCase{30, 120, 0, "AddressCounter cleanup round time <= 0"}}) {
        try {
            TQORAddressConnectCache cache(6, 8, 150, e.measure, e.hold, e.round);
            ADD_FAILURE() << "no exception for " << e.text;
        } catch (const Exception& x) {
            EXPECT_STREQ(x.what(), e.text);
        }
    }
}

TEST(AddressConnectCache, RegisterFindUnregisterAndLimit) {
    TQORAddressConnectCache cache(6, 2, 150, 30, 120, 60);
    const TGaxHashSearch key = MakeAddressHashSearch(kLoop4);
    TQORAddressConnectCacheSearchResult sr;

    EXPECT_FALSE(cache.FindAddressRec(key, sr));
    EXPECT_EQ(sr.faccsr_LastFindObjIdx1, 60);
    EXPECT_EQ(sr.faccsr_LastFindObjIdx2, -1);
    EXPECT_THROW(cache.ExceededOnMaxConnectionsPerAddress(sr), Exception);
    try {
        cache.UnregisterConnection(sr);
        ADD_FAILURE();
    } catch (const Exception& x) {
        EXPECT_STREQ(x.what(), "No last found object");
    }

    for (int i = 0; i < 3; ++i) {
        cache.FindAddressRec(key, sr);
        cache.RegisterConnection(key, 10, sr);
    }
    EXPECT_EQ(cache.Count(), 1);
    ASSERT_TRUE(cache.FindAddressRec(key, sr));
    EXPECT_EQ(sr.faccsr_LastFoundActiveConnections, 3);
    EXPECT_TRUE(cache.ExceededOnMaxConnectionsPerAddress(sr));
    cache.UnregisterConnection(sr);
    ASSERT_TRUE(cache.FindAddressRec(key, sr));
    EXPECT_EQ(sr.faccsr_LastFoundActiveConnections, 2);
    EXPECT_FALSE(cache.ExceededOnMaxConnectionsPerAddress(sr));

    // The IPv6 form of a host is a different key.
    const TGaxHashSearch key6 = MakeAddressHashSearch(std::string(15, '\0') + "\x01");
    EXPECT_FALSE(cache.FindAddressRec(key6, sr));
}

// Sweeps one full round (every bucket at least once) at the given uptime.
void SweepAll(TQORAddressConnectCache& cache, TGaxTick32 uptime) {
    for (int i = 0; i < 64; ++i) cache.CacheCleanupStep(uptime + i);
}

TEST(AddressConnectCache, CleanupSweep) {
    TQORAddressConnectCache cache(6, 8, 150, 30, 120, 60);
    const TGaxHashSearch live = MakeAddressHashSearch(kLoop4);
    const TGaxHashSearch quiet = MakeAddressHashSearch(std::string("\x0A\x00\x00\x07", 4));
    TQORAddressConnectCacheSearchResult sr;
    for (const TGaxHashSearch* k : {&live, &quiet}) {
        cache.FindAddressRec(*k, sr);
        cache.RegisterConnection(*k, 5, sr);
    }
    ASSERT_TRUE(cache.FindAddressRec(quiet, sr));
    cache.UnregisterConnection(sr);

    SweepAll(cache, 6);  // within the hold time: both stay
    EXPECT_EQ(cache.Count(), 2);
    SweepAll(cache, 126);  // 121 s after the last connect: the quiet one goes
    EXPECT_EQ(cache.Count(), 1);
    EXPECT_FALSE(cache.FindAddressRec(quiet, sr));
    SweepAll(cache, 100000);  // a live counter stays however old
    EXPECT_TRUE(cache.FindAddressRec(live, sr));
}

// One connection of aKey registered at aUptime and ended again: a counter
// that only the sweep removes.
void AddQuietCounter(TQORAddressConnectCache& cache, const TGaxHashSearch& key, TGaxTick32 uptime) {
    TQORAddressConnectCacheSearchResult sr;
    cache.FindAddressRec(key, sr);
    cache.RegisterConnection(key, uptime, sr);
    cache.FindAddressRec(key, sr);
    cache.UnregisterConnection(sr);
}

TEST(AddressConnectCache, QuietCounterGoesAtFirstVisitAfterHoldTime) {
    TQORAddressConnectCache cache(6, 8, 150, 30, 120, 60);
    const TGaxHashSearch key = MakeAddressHashSearch(kLoop4);  // bucket 60 of 64
    AddQuietCounter(cache, key, 1);

    // One second per step visits 2 buckets, so bucket 60 comes up at 31, 63,
    // 95 and 127; only at 127 is the counter more than 120 s quiet.
    for (TGaxTick32 t = 1; t <= 126; ++t) cache.CacheCleanupStep(t);
    cache.CacheCleanupStep(126);  // same second: nothing
    EXPECT_EQ(cache.Count(), 1);
    cache.CacheCleanupStep(127);
    EXPECT_EQ(cache.Count(), 0);
}

TEST(AddressConnectCache, CleanupAfterAHugeStallSweepsOneWholeRound) {
    TQORAddressConnectCache cache(6, 8, 150, 30, 120, 60);
    const TGaxHashSearch key = MakeAddressHashSearch(kLoop4);
    AddQuietCounter(cache, key, 1);
    cache.CacheCleanupStep(1);  // buckets 0 and 1
    // In 32 bits 64 x the stall wraps to a tiny step count that misses bucket 60.
    cache.CacheCleanupStep(1u + 0xFFFFFF00u);
    EXPECT_EQ(cache.Count(), 0);
}

}  // namespace
