#pragma once
// Growable value arrays of the host: CLongArray, CDoubleArray, CBoolArray.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "xsi_status.h"

namespace XSI {

namespace detail {

// Storage of the value arrays. A block of kLargeValueBlock bytes or more is
// marked for transparent huge pages (its whole 2 MiB pages): filling a mesh's
// arrays then takes one page fault per 2 MiB instead of one per 4 KiB. Null
// when the memory is not there.
constexpr size_t kLargeValueBlock = size_t{4} << 20;
// Zeroed: the block holds zero bytes, which fresh memory from the kernel
// already does untouched (so a large zero-filled array costs no page until
// it is written).
void* AllocateValues(size_t bytes, bool zeroed = false) noexcept;
void FreeValues(void* block) noexcept;

// Storage shared by the host's value arrays. Element access is unchecked, as in
// the host; Resize keeps the leading elements and zero-fills new ones.
//
// The arrays are values, shared until written: a copy (the host storing the
// arrays the plug-in hands to PolygonMesh::Set or PutArray, a caller reading
// them back) takes the same storage and costs nothing; the first change
// through either copy gives that copy storage of its own. So a pointer or
// reference taken from a non-const access must not be used after the array
// is copied. Clear keeps the storage when it is not shared, and otherwise
// lets the next growth take room for as many elements as it had.
template <class T>
class ValueArray {
  static_assert(std::is_trivially_copyable_v<T>, "value arrays hold plain values");

 public:
  ValueArray() = default;
  explicit ValueArray(LONG count) {
    if (count > 0) Resize(count);
  }
  ValueArray(const ValueArray& other) noexcept
      : block_(other.block_), items_(other.items_), count_(other.count_), capacity_(other.capacity_) {
    if (block_) block_->owners.fetch_add(1, std::memory_order_relaxed);
  }
  ValueArray(ValueArray&& other) noexcept { Swap(other); }
  ValueArray& operator=(const ValueArray& other) noexcept {
    ValueArray copy(other);
    Swap(copy);
    return *this;
  }
  ValueArray& operator=(ValueArray&& other) noexcept {
    ValueArray taken(std::move(other));
    Swap(taken);
    return *this;
  }
  ~ValueArray() { Release(); }

  LONG GetCount() const { return static_cast<LONG>(count_); }
  CStatus Add(const T& value) {
    if (count_ == capacity_ || !Unique()) Grow(count_ + 1);
    items_[count_++] = value;
    return CStatus::OK;
  }
  CStatus Clear() {
    if (Unique()) {
      count_ = 0;
    } else {
      roomHint_ = capacity_;
      Release();
    }
    return CStatus::OK;
  }
  CStatus Resize(LONG count) {
    if (count < 0) return CStatus::InvalidArgument;
    const auto n = static_cast<size_t>(count);
    size_t firstNew = count_;
    if (n > capacity_ || !Unique()) {
      Grow(n, n > count_ ? n : count_, kZeroBytesAreZeros);
      if (kZeroBytesAreZeros) firstNew = n;  // the new storage came zeroed
    }
    for (size_t i = firstNew; i < n; ++i) new (&items_[i]) T();
    count_ = n;
    return CStatus::OK;
  }
  T& operator[](LONG index) {
    if (!Unique()) Grow(count_, capacity_);
    return items_[static_cast<size_t>(index)];
  }
  const T& operator[](LONG index) const { return items_[static_cast<size_t>(index)]; }
  const T* GetArray() const { return items_; }
  T* GetArray() {
    if (count_ > 0 && !Unique()) Grow(count_, capacity_);
    return items_;
  }

  // Stand-in extension: capacity hint, no effect on the contents.
  void Reserve(size_t count) {
    if (count > capacity_ || !Unique()) Grow(count, count > count_ ? count : count_);
  }
  bool operator==(const ValueArray& other) const {
    if (count_ != other.count_) return false;
    for (size_t i = 0; i < count_; ++i) {
      if (!(items_[i] == other.items_[i])) return false;
    }
    return true;
  }

 private:
  struct Block {
    std::atomic<long> owners{1};
    T* items = nullptr;
  };

  // A value of all zero bytes is T(): new elements may come from zeroed storage.
  static constexpr bool kZeroBytesAreZeros = std::is_arithmetic_v<T>;

  bool Unique() const { return block_ == nullptr || block_->owners.load(std::memory_order_acquire) == 1; }

  // Storage of its own with room for at least `needed` elements (growing
  // geometrically for Add; exactly `exact` when that is given and larger),
  // keeping the elements; the room beyond them zeroed when `zeroed`.
  void Grow(size_t needed, size_t exact = 0, bool zeroed = false) {
    size_t room = exact >= needed ? exact : (capacity_ * 2 > needed ? capacity_ * 2 : needed);
    if (exact == 0 && room < 16) room = 16;
    if (room < roomHint_) room = roomHint_;
    if (room > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    auto* block = new Block;
    block->items = static_cast<T*>(AllocateValues(room * sizeof(T), zeroed));
    if (block->items == nullptr) {
      delete block;
      throw std::bad_alloc();
    }
    if (count_ > 0) std::memcpy(static_cast<void*>(block->items), items_, count_ * sizeof(T));
    const size_t count = count_;
    Release();
    block_ = block;
    items_ = block->items;
    count_ = count;
    capacity_ = room;
    roomHint_ = 0;
  }

  void Release() noexcept {
    if (block_ && block_->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      FreeValues(block_->items);
      delete block_;
    }
    block_ = nullptr;
    items_ = nullptr;
    count_ = 0;
    capacity_ = 0;
  }

  void Swap(ValueArray& other) noexcept {
    std::swap(block_, other.block_);
    std::swap(items_, other.items_);
    std::swap(count_, other.count_);
    std::swap(capacity_, other.capacity_);
    std::swap(roomHint_, other.roomHint_);
  }

  Block* block_ = nullptr;
  T* items_ = nullptr;
  size_t count_ = 0;
  size_t capacity_ = 0;
  size_t roomHint_ = 0;  // room the storage had before Clear let a shared block go
};

}  // namespace detail

class CLongArray : public detail::ValueArray<LONG> {
 public:
  using ValueArray::ValueArray;
};

class CDoubleArray : public detail::ValueArray<double> {
 public:
  using ValueArray::ValueArray;
};

class CFloatArray : public detail::ValueArray<float> {
 public:
  using ValueArray::ValueArray;
};

class CBoolArray {
 public:
  CBoolArray() = default;
  explicit CBoolArray(LONG count) : items_(count > 0 ? static_cast<size_t>(count) : 0) {}
  LONG GetCount() const { return static_cast<LONG>(items_.size()); }
  CStatus Add(bool value) {
    items_.push_back(value ? 1 : 0);
    return CStatus::OK;
  }
  CStatus Clear() {
    items_.clear();
    return CStatus::OK;
  }
  CStatus Resize(LONG count) {
    if (count < 0) return CStatus::InvalidArgument;
    items_.resize(static_cast<size_t>(count));
    return CStatus::OK;
  }
  bool operator[](LONG index) const { return items_[static_cast<size_t>(index)] != 0; }
  void Set(LONG index, bool value) { items_[static_cast<size_t>(index)] = value ? 1 : 0; }

 private:
  std::vector<unsigned char> items_;
};

}  // namespace XSI
