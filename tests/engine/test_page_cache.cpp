// The address map under the page caches and the index file's page cache itself: every lookup
// after adds and removals in any order (removals shift later entries back, across the end
// of the block too) finds what an ordered map would, and the cache gives back copies, drops
// the least recently used first and forgets every copy a write touches.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "nv6_addrmap.h"
#include "nv6_pcache.h"

namespace {

TEST(AddressMap, AgreesWithAnOrderedMapThroughAddsAndRemovals) {
    // Few distinct keys at page spacing crowd the block, so that runs form, wrap round its
    // end and are cut by removals; the growth from 16 slots is crossed several times.
    for (int32_t spread : {8, 40, 700}) {
        TnvAddressMap<int32_t, int32_t> map;
        std::map<int32_t, int32_t> expected;
        std::mt19937 rng(static_cast<uint32_t>(spread));
        for (int step = 0; step < 20000; ++step) {
            const int32_t key = static_cast<int32_t>(rng() % static_cast<uint32_t>(spread)) * 512;
            if (rng() % 3 == 0) {
                EXPECT_EQ(map.Erase(key), expected.erase(key) == 1) << "key " << key;
            } else {
                const auto value = static_cast<int32_t>(rng());
                map.Set(key, value);
                expected[key] = value;
            }
            ASSERT_EQ(map.Size(), expected.size()) << "step " << step;
            if (step % 64 == 0) {
                for (int32_t k = 0; k < spread; ++k) {
                    const int32_t* found = map.Find(k * 512);
                    const auto want = expected.find(k * 512);
                    ASSERT_EQ(found != nullptr, want != expected.end()) << "key " << k * 512 << " step " << step;
                    if (found) {
                        EXPECT_EQ(*found, want->second);
                    }
                }
            }
        }
        map.Clear();
        EXPECT_EQ(map.Size(), 0u);
        for (int32_t k = 0; k < spread; ++k) EXPECT_EQ(map.Find(k * 512), nullptr);
    }
}

std::vector<uint8_t> Bytes(int length, uint8_t fill) { return std::vector<uint8_t>(static_cast<std::size_t>(length), fill); }

TEST(PageCache, KeepsCopiesWithinItsBudgetLeastRecentlyUsedGoingFirst) {
    TnvPageCache cache(4 * 512);
    for (int i = 0; i < 4; ++i) cache.Put(i * 512, Bytes(512, static_cast<uint8_t>(i + 1)).data(), 512);
    std::vector<uint8_t> out(512);
    ASSERT_TRUE(cache.Get(0, out.data(), 512));  // page 0 is now the most recently used
    EXPECT_EQ(out[511], 1);
    cache.Put(4 * 512, Bytes(512, 5).data(), 512);
    EXPECT_FALSE(cache.Get(512, out.data(), 512)) << "the least recently used copy goes";
    EXPECT_TRUE(cache.Get(0, out.data(), 512));
    EXPECT_TRUE(cache.Get(4 * 512, out.data(), 512));
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(cache.Bytes(), 4 * 512);
    EXPECT_EQ(cache.Pages(), 4u);

    // A longer read at the same place replaces the copy; a shorter one that agrees keeps it.
    cache.Put(0, Bytes(1024, 9).data(), 1024);
    cache.Put(0, Bytes(100, 9).data(), 100);
    std::vector<uint8_t> whole(1024);
    ASSERT_TRUE(cache.Get(0, whole.data(), 1024));
    EXPECT_EQ(whole[1023], 9);
    EXPECT_FALSE(cache.Get(0, whole.data(), 1025)) << "never more than the copy holds";
    EXPECT_LE(cache.Bytes(), 4 * 512);
    cache.Put(100, Bytes(10, 1).data(), 10);
    EXPECT_FALSE(cache.Get(100, out.data(), 10)) << "only page-aligned reads are kept";
}

TEST(PageCache, AWriteForgetsEveryCopyItTouchesAndTheSlotsAreUsedAgain) {
    TnvPageCache cache;
    std::vector<uint8_t> out(1024);
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 8; ++i)
            if (i != 3)
                cache.Put(i * 512, Bytes(i == 2 ? 1024 : 512, static_cast<uint8_t>(round + i)).data(),
                          i == 2 ? 1024 : 512);
        // Bytes 1700..1799 lie in the 1024-byte copy that starts at 1024, before them.
        cache.Drop(1700, 100);
        EXPECT_FALSE(cache.Get(1024, out.data(), 512));
        EXPECT_TRUE(cache.Get(512, out.data(), 512));
        EXPECT_EQ(out[0], static_cast<uint8_t>(round + 1));
        EXPECT_TRUE(cache.Get(2048, out.data(), 512));
        EXPECT_EQ(out[0], static_cast<uint8_t>(round + 4));
        EXPECT_EQ(cache.Pages(), 6u);
        EXPECT_EQ(cache.Bytes(), 6 * 512);
        cache.Clear();
        EXPECT_EQ(cache.Pages(), 0u);
        EXPECT_EQ(cache.Bytes(), 0);
        EXPECT_FALSE(cache.Get(0, out.data(), 512));
        EXPECT_LE(cache.SpareBytes(), TnvPageCache::kSpareBytes);
    }
}

}  // namespace
