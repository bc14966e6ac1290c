#pragma once
// Growable value arrays of the host: CLongArray, CDoubleArray, CBoolArray.

#include <cstddef>
#include <vector>

#include "xsi_status.h"

namespace XSI {

namespace detail {

// Storage shared by the host's value arrays. Element access is unchecked, as in
// the host; Resize keeps the leading elements and zero-fills new ones.
template <class T>
class ValueArray {
 public:
  ValueArray() = default;
  explicit ValueArray(LONG count) : items_(count > 0 ? static_cast<size_t>(count) : 0) {}

  LONG GetCount() const { return static_cast<LONG>(items_.size()); }
  CStatus Add(const T& value) {
    items_.push_back(value);
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
  T& operator[](LONG index) { return items_[static_cast<size_t>(index)]; }
  const T& operator[](LONG index) const { return items_[static_cast<size_t>(index)]; }
  const T* GetArray() const { return items_.data(); }
  T* GetArray() { return items_.data(); }

  // Stand-in extension: capacity hint, no effect on the contents.
  void Reserve(size_t count) { items_.reserve(count); }
  bool operator==(const ValueArray& other) const { return items_ == other.items_; }

 private:
  std::vector<T> items_;
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
