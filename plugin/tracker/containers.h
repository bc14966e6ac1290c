#pragma once
// The tracker's general containers: a pool of records addressed by index, an
// open-addressing map, and the lattice index with the hashes that keep
// lattice neighbours near each other in a map. Both containers allocate
// through TryAllocateBlock and throw std::bad_alloc when they cannot grow (the
// tracker turns that into a status); neither is copyable.

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "base/allocation.h"

// The value of a free OpenMap slot; never stored as a value.
constexpr uint32_t kEmptySlot = UINT32_MAX;

// Growable array of trivially copyable records. Records are addressed by
// index, so growth never invalidates a reference held as an index. Failure to
// grow throws std::bad_alloc.
template <class T>
class RecordPool {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  RecordPool() = default;
  ~RecordPool() { std::free(items_); }
  RecordPool(const RecordPool&) = delete;
  RecordPool& operator=(const RecordPool&) = delete;

  uint32_t Size() const { return static_cast<uint32_t>(size_); }
  bool Empty() const { return size_ == 0; }
  T& operator[](uint32_t index) { return items_[index]; }
  const T& operator[](uint32_t index) const { return items_[index]; }
  T& Back() { return items_[size_ - 1]; }
  void PopBack() { --size_; }

  uint32_t Add(const T& record) {
    if (size_ == capacity_) Grow();
    items_[size_] = record;
    return static_cast<uint32_t>(size_++);
  }

 private:
  void Grow() {
    const size_t grown = capacity_ == 0 ? 1024 : capacity_ * 2;
    T* items = static_cast<T*>(TryAllocateBlock(grown, sizeof(T)));
    if (!items) throw std::bad_alloc();
    if (size_ != 0) std::memcpy(static_cast<void*>(items), items_, size_ * sizeof(T));
    std::free(items_);
    items_ = items;
    capacity_ = grown;
  }

  T* items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

struct LatticeIndex {
  int32_t i;
  int32_t j;
  int32_t k;
  bool operator==(const LatticeIndex&) const = default;
};

// Hashes that keep neighbours near each other in the table. Tracking walks
// the lattice from cube to neighbouring cube, so most lookups land next to the
// previous ones; a uniformly scattering hash makes nearly every lookup a cache
// miss once the tables outgrow the cache. A lattice index hashes to one of the
// table's aligned windows of 8 slots per 2 x 2 x 2 block, its place in the
// block giving the slot: a cube's eight corners share two cache lines. Larger
// blocks do worse: only the corners near the surface are ever stored, so a
// large block fills its window sparsely, and when a block's window starts at
// an arbitrary slot the windows of different blocks overlap and linear
// probing then walks long runs of occupied slots (an 8 x 8 x 8 block with a
// random base made the tracker twice as slow on thousands of elements).
inline uint32_t MixBits(uint32_t h) {
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  h *= 0x846CA68Bu;
  h ^= h >> 16;
  return h;
}

struct LatticeIndexHash {
  uint32_t operator()(const LatticeIndex& key) const {
    const auto i = static_cast<uint32_t>(key.i);
    const auto j = static_cast<uint32_t>(key.j);
    const auto k = static_cast<uint32_t>(key.k);
    const uint32_t block = MixBits((i >> 1) * 0x8DA6B343u ^ (j >> 1) * 0xD8163841u ^ (k >> 1) * 0xCB1AB31Fu);
    return block << 3 | (i & 1u) << 2 | (j & 1u) << 1 | (k & 1u);
  }
};

// Edges are keyed on the pool indices of their corners, lower first. Corners
// made one after another are lattice neighbours, so edges whose lower corner
// indices are close share a window of the table.
struct EdgeKeyHash {
  uint32_t operator()(uint64_t key) const {
    const auto low = static_cast<uint32_t>(key >> 32);
    const auto high = static_cast<uint32_t>(key);
    return MixBits(low >> 5) + ((low & 31u) << 2 | (high & 3u));
  }
};

// Open-addressing map (linear probing, at most half full) from a key to a
// uint32 value. Only membership and the stored value are ever read, never the
// slot order, so the layout cannot reach the output.
template <class Key, class Hash>
class OpenMap {
 public:
  struct Slot {
    Key key;
    uint32_t value;  // kEmptySlot when the slot is free
  };

  OpenMap() = default;
  ~OpenMap() { std::free(slots_); }
  OpenMap(const OpenMap&) = delete;
  OpenMap& operator=(const OpenMap&) = delete;

  // The slot holding `key`, or the free slot where it belongs. Room for one
  // more entry is made first, so the slot can be filled with Fill.
  Slot& Find(const Key& key) {
    if ((count_ + 1) * 2 > capacity_) Rehash(capacity_ == 0 ? 4096 : capacity_ * 2);
    size_t s = Hash()(key) & (capacity_ - 1);
    while (slots_[s].value != kEmptySlot && !(slots_[s].key == key)) s = (s + 1) & (capacity_ - 1);
    return slots_[s];
  }

  void Fill(Slot& slot, const Key& key, uint32_t value) {
    assert(slot.value == kEmptySlot && value != kEmptySlot);
    slot.key = key;
    slot.value = value;
    ++count_;
  }

 private:
  void Rehash(size_t capacity) {
    Slot* slots = static_cast<Slot*>(TryAllocateBlock(capacity, sizeof(Slot)));
    if (!slots) throw std::bad_alloc();
    for (size_t s = 0; s < capacity; ++s) slots[s].value = kEmptySlot;
    for (size_t s = 0; s < capacity_; ++s) {
      if (slots_[s].value == kEmptySlot) continue;
      size_t t = Hash()(slots_[s].key) & (capacity - 1);
      while (slots[t].value != kEmptySlot) t = (t + 1) & (capacity - 1);
      slots[t] = slots_[s];
    }
    std::free(slots_);
    slots_ = slots;
    capacity_ = capacity;
  }

  Slot* slots_ = nullptr;
  size_t count_ = 0;
  size_t capacity_ = 0;
};
