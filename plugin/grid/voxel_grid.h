#pragma once
// Lattices of the voxel grid: VoxelGrid holds one float per lattice point,
// VoxelNormalGrid three (a vector). Point (i, j, k) is at
// data[(i * ny + j) * nz + k] (times 3 for vectors): k fastest, i slowest.
// Indices are not checked; callers stay inside the lattice.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/allocation.h"
#include "base/numeric.h"
#include "base/parallel.h"

template <int Components>
class Lattice {
 public:
  // Keeps the data when the dimensions already match. Otherwise releases it and
  // allocates nx * ny * nz points, uninitialised. Fails, leaving the lattice
  // empty, when the allocation fails, when a dimension is 0 or below, or when
  // the point count does not fit an int32 (the host's counts are 32-bit).
  bool Resize(int32_t nx, int32_t ny, int32_t nz) {
    if (data_ && nx == nx_ && ny == ny_ && nz == nz_) return true;
    data_.reset();
    nx_ = ny_ = nz_ = 0;
    if (nx <= 0 || ny <= 0 || nz <= 0) return false;
    const uint64_t points = static_cast<uint64_t>(nx) * static_cast<uint64_t>(ny) * static_cast<uint64_t>(nz);
    if (points > static_cast<uint64_t>(INT32_MAX)) return false;
    data_ = TryAllocateArray<float>(static_cast<size_t>(points) * Components);
    if (!data_) return false;
    nx_ = nx;
    ny_ = ny;
    nz_ = nz;
    return true;
  }

  // No points, no memory.
  void Release() {
    data_.reset();
    nx_ = ny_ = nz_ = 0;
  }

  // Points per part of a fill spread over threads.
  static constexpr int64_t kFillGrain = 1 << 16;

  bool IsEmpty() const { return data_ == nullptr; }
  int32_t Nx() const { return nx_; }
  int32_t Ny() const { return ny_; }
  int32_t Nz() const { return nz_; }
  // True when the lattice holds exactly nx x ny x nz points.
  bool HasDimensions(int32_t nx, int32_t ny, int32_t nz) const {
    return data_ != nullptr && nx == nx_ && ny == ny_ && nz == nz_;
  }
  size_t PointCount() const { return static_cast<size_t>(nx_) * static_cast<size_t>(ny_) * static_cast<size_t>(nz_); }
  size_t Index(int32_t i, int32_t j, int32_t k) const {
    return (static_cast<size_t>(i) * static_cast<size_t>(ny_) + static_cast<size_t>(j)) * static_cast<size_t>(nz_) +
           static_cast<size_t>(k);
  }
  float* Data() { return data_.get(); }
  const float* Data() const { return data_.get(); }

 protected:
  std::unique_ptr<float[], FreeDeleter> data_;
  int32_t nx_ = 0;
  int32_t ny_ = 0;
  int32_t nz_ = 0;
};

class VoxelGrid : public Lattice<1> {
 public:
  void Fill(float value) {
    float* data = data_.get();
    parallel::ForEachRange(static_cast<int64_t>(PointCount()), kFillGrain, [&](int64_t begin, int64_t end) {
      for (int64_t p = begin; p < end; ++p) data[p] = value;
    });
  }
  float Get(int32_t i, int32_t j, int32_t k) const { return data_[Index(i, j, k)]; }
  void Set(int32_t i, int32_t j, int32_t k, float value) { data_[Index(i, j, k)] = value; }
  void Add(int32_t i, int32_t j, int32_t k, float value) { data_[Index(i, j, k)] += value; }
};

class VoxelNormalGrid : public Lattice<3> {
 public:
  void Fill(const Float3& value) {
    float* data = data_.get();
    parallel::ForEachRange(static_cast<int64_t>(PointCount()), kFillGrain, [&](int64_t begin, int64_t end) {
      for (int64_t p = begin; p < end; ++p) {
        data[p * 3 + 0] = value.x;
        data[p * 3 + 1] = value.y;
        data[p * 3 + 2] = value.z;
      }
    });
  }
  Float3 Get(int32_t i, int32_t j, int32_t k) const {
    const float* v = &data_[Index(i, j, k) * 3];
    return Float3{v[0], v[1], v[2]};
  }
  void Set(int32_t i, int32_t j, int32_t k, const Float3& value) {
    float* v = &data_[Index(i, j, k) * 3];
    v[0] = value.x;
    v[1] = value.y;
    v[2] = value.z;
  }
  void Add(int32_t i, int32_t j, int32_t k, const Float3& value) {
    float* v = &data_[Index(i, j, k) * 3];
    v[0] += value.x;
    v[1] += value.y;
    v[2] += value.z;
  }
};
