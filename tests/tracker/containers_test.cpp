#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <set>

#include "tracker/containers.h"

namespace {

struct Record {
  int32_t a;
  int32_t b;
};

TEST(RecordPool, IndicesCountUpAndRecordsSurviveGrowth) {
  RecordPool<Record> pool;
  EXPECT_TRUE(pool.Empty());
  for (int32_t n = 0; n < 5000; ++n) ASSERT_EQ(pool.Add(Record{n, -n}), static_cast<uint32_t>(n));
  ASSERT_EQ(pool.Size(), 5000u);
  for (uint32_t n = 0; n < 5000; ++n) {
    ASSERT_EQ(pool[n].a, static_cast<int32_t>(n));
    ASSERT_EQ(pool[n].b, -static_cast<int32_t>(n));
  }
  EXPECT_EQ(pool.Back().a, 4999);
  pool.PopBack();
  EXPECT_EQ(pool.Back().a, 4998);
  EXPECT_EQ(pool.Add(Record{7, 7}), 4999u);
}

TEST(RecordPool, AFailedGrowthThrowsAndKeepsWhatItHolds) {
  RecordPool<Record> pool;
  for (int32_t n = 0; n < 1024; ++n) pool.Add(Record{n, n});  // full: the next Add grows
  allocation_faults::FailAfter(0);
  EXPECT_THROW(pool.Add(Record{-1, -1}), std::bad_alloc);
  allocation_faults::Clear();
  ASSERT_EQ(pool.Size(), 1024u);
  for (uint32_t n = 0; n < 1024; ++n) ASSERT_EQ(pool[n].a, static_cast<int32_t>(n));
  EXPECT_EQ(pool.Add(Record{1024, 1024}), 1024u);
}

// Fills the map with the lattice indices of a block around the origin, value =
// insertion order; every key must then be found with its own value.
void FillBlock(OpenMap<LatticeIndex, LatticeIndexHash>& map, int32_t half) {
  uint32_t value = 0;
  for (int32_t i = -half; i < half; ++i) {
    for (int32_t j = -half; j < half; ++j) {
      for (int32_t k = -half; k < half; ++k) {
        const LatticeIndex key{i, j, k};
        auto& slot = map.Find(key);
        ASSERT_EQ(slot.value, kEmptySlot) << "a fresh key found a filled slot";
        map.Fill(slot, key, value++);
      }
    }
  }
}

TEST(OpenMap, EveryKeyKeepsItsValueAcrossRehashes) {
  OpenMap<LatticeIndex, LatticeIndexHash> map;
  FillBlock(map, 12);  // 13,824 keys: several rehashes past the first 4096 slots
  uint32_t value = 0;
  for (int32_t i = -12; i < 12; ++i) {
    for (int32_t j = -12; j < 12; ++j) {
      for (int32_t k = -12; k < 12; ++k) {
        ASSERT_EQ(map.Find(LatticeIndex{i, j, k}).value, value++);
      }
    }
  }
  EXPECT_EQ(map.Find(LatticeIndex{12, 0, 0}).value, kEmptySlot);
}

TEST(OpenMap, AFailedRehashThrowsAndKeepsTheEntries) {
  OpenMap<uint64_t, EdgeKeyHash> map;
  for (uint64_t key = 0; key < 2048; ++key) map.Fill(map.Find(key), key, static_cast<uint32_t>(key));
  allocation_faults::FailAfter(0);
  EXPECT_THROW(map.Find(uint64_t{5000}), std::bad_alloc);  // a 2049th entry needs a rehash
  allocation_faults::Clear();
  for (uint64_t key = 0; key < 2048; ++key) ASSERT_EQ(map.Find(key).value, key);
}

TEST(LatticeIndexHash, ABlocksEightCornersFillOneAlignedWindow) {
  const LatticeIndexHash hash;
  for (const LatticeIndex base : {LatticeIndex{0, 0, 0}, LatticeIndex{-6, 40, -2}, LatticeIndex{INT32_MIN, 2, INT32_MAX - 1}}) {
    SCOPED_TRACE(testing::Message() << base.i << " " << base.j << " " << base.k);
    std::set<uint32_t> slots;
    for (int n = 0; n < 8; ++n) {
      const uint32_t h = hash(LatticeIndex{base.i + (n >> 2 & 1), base.j + (n >> 1 & 1), base.k + (n & 1)});
      EXPECT_EQ(h >> 3, hash(base) >> 3);
      slots.insert(h & 7u);
    }
    EXPECT_EQ(slots.size(), 8u);
  }
}

}  // namespace
