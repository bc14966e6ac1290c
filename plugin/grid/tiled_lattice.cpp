#include "grid/tiled_lattice.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// True when every one of `count` floats is +0 (bit for bit: -0 is not).
bool AllPositiveZero(const float* values, size_t count) {
  uint32_t any = 0;
  for (size_t p = 0; p < count; ++p) {
    uint32_t bits;
    std::memcpy(&bits, values + p, sizeof bits);
    any |= bits;
  }
  return any == 0;
}

int32_t TilesOnAxis(int32_t points) { return (points + kTileSide - 1) >> kTileShift; }

}  // namespace

float* TilePool::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (free_.empty()) {
    // The free list has room for every tile of every block, so that giving
    // tiles back never allocates. It grows by doubling: grown to the exact
    // need, each block would copy the whole list (quadratic in the tiles).
    const size_t blockTiles = std::min(kLastBlockTiles, kFirstBlockTiles << std::min<size_t>(blocks_.size(), 16));
    auto block = TryAllocateArray<float>(blockTiles * tileFloats_);
    if (!block) return nullptr;
    try {
      const size_t needed = held_ + blockTiles;
      if (free_.capacity() < needed) free_.reserve(std::max(needed, 2 * free_.capacity()));
      blocks_.push_back(std::move(block));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    held_ += blockTiles;
    float* first = blocks_.back().get();
    for (size_t t = blockTiles; t > 0; --t) free_.push_back(first + (t - 1) * tileFloats_);
  }
  float* tile = free_.back();
  free_.pop_back();
  ++inUse_;
  std::fill_n(tile, tileFloats_, 0.0f);
  return tile;
}

uint64_t TilePool::HeldFor(uint64_t tiles) {
  uint64_t held = 0;
  for (size_t block = 0; held < tiles; ++block) {
    const uint64_t blockTiles = std::min(kLastBlockTiles, kFirstBlockTiles << std::min<size_t>(block, 16));
    if (blockTiles == kLastBlockTiles) {
      // Every later block is as large.
      return held + (tiles - held + kLastBlockTiles - 1) / kLastBlockTiles * kLastBlockTiles;
    }
    held += blockTiles;
  }
  return held;
}

void TilePool::Give(float* tile) {
  std::lock_guard<std::mutex> lock(mutex_);
  free_.push_back(tile);
  --inUse_;
}

void TilePool::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  free_ = std::vector<float*>();
  blocks_ = std::vector<std::unique_ptr<float[], FreeDeleter>>();
  inUse_ = 0;
  held_ = 0;
}

bool TiledLattice::Resize(int32_t nx, int32_t ny, int32_t nz) {
  if (HasDimensions(nx, ny, nz)) return true;
  Release();
  if (nx <= 0 || ny <= 0 || nz <= 0 || nx > kMaxTiledAxisPoints || ny > kMaxTiledAxisPoints || nz > kMaxTiledAxisPoints) {
    return false;
  }
  const int32_t tx = TilesOnAxis(nx), ty = TilesOnAxis(ny), tz = TilesOnAxis(nz);
  // Each axis holds at most 2^28 tiles, so the count of a plane fits 64 bits;
  // that of the box may not, nor the table's bytes.
  const size_t plane = static_cast<size_t>(ty) * static_cast<size_t>(tz);
  if (plane > fieldTiles_.max_size() / static_cast<size_t>(tx)) return false;
  const size_t tiles = static_cast<size_t>(tx) * plane;
  try {
    fieldTiles_.assign(tiles, nullptr);
    normalTiles_.assign(tiles, nullptr);
  } catch (const std::bad_alloc&) {
    Release();
    return false;
  }
  nx_ = nx;
  ny_ = ny;
  nz_ = nz;
  tx_ = tx;
  ty_ = ty;
  tz_ = tz;
  return true;
}

void TiledLattice::Release() {
  fieldTiles_ = std::vector<float*>();
  normalTiles_ = std::vector<float*>();
  fieldPool_.Release();
  normalPool_.Release();
  nx_ = ny_ = nz_ = 0;
  tx_ = ty_ = tz_ = 0;
}

void TiledLattice::Clear() {
  for (size_t t = 0; t < fieldTiles_.size(); ++t) {
    if (fieldTiles_[t] != nullptr) {
      std::fill_n(fieldTiles_[t], kTilePoints, 0.0f);
      fieldPool_.Give(fieldTiles_[t]);
      fieldTiles_[t] = nullptr;
    }
    if (normalTiles_[t] != nullptr) {
      std::fill_n(normalTiles_[t], 3 * kTilePoints, 0.0f);
      normalPool_.Give(normalTiles_[t]);
      normalTiles_[t] = nullptr;
    }
  }
}

float* TiledLattice::EnsureField(size_t tile) {
  if (fieldTiles_[tile] == nullptr) fieldTiles_[tile] = fieldPool_.Take();
  return fieldTiles_[tile];
}

float* TiledLattice::EnsureNormals(size_t tile) {
  if (normalTiles_[tile] == nullptr) normalTiles_[tile] = normalPool_.Take();
  return normalTiles_[tile];
}

bool TiledLattice::ReleaseIfZero(size_t tile) {
  float* field = fieldTiles_[tile];
  float* normals = normalTiles_[tile];
  if (field == nullptr || !AllPositiveZero(field, kTilePoints)) return false;
  if (normals != nullptr && !AllPositiveZero(normals, 3 * kTilePoints)) return false;
  fieldPool_.Give(field);
  fieldTiles_[tile] = nullptr;
  if (normals != nullptr) {
    normalPool_.Give(normals);
    normalTiles_[tile] = nullptr;
  }
  return true;
}

bool TiledLattice::FromDense(const float* field, const float* normals) {
  const size_t ny = static_cast<size_t>(ny_), nz = static_cast<size_t>(nz_);
  for (int32_t ti = 0; ti < tx_; ++ti) {
    for (int32_t tj = 0; tj < ty_; ++tj) {
      for (int32_t tk = 0; tk < tz_; ++tk) {
        const int32_t i0 = ti * kTileSide, j0 = tj * kTileSide, k0 = tk * kTileSide;
        const int32_t i1 = std::min(nx_, i0 + kTileSide), j1 = std::min(ny_, j0 + kTileSide);
        const auto width = static_cast<size_t>(std::min(nz_, k0 + kTileSide) - k0);
        bool zero = true;
        for (int32_t i = i0; i < i1 && zero; ++i) {
          for (int32_t j = j0; j < j1 && zero; ++j) {
            const size_t p = (static_cast<size_t>(i) * ny + static_cast<size_t>(j)) * nz + static_cast<size_t>(k0);
            zero = AllPositiveZero(field + p, width) && (normals == nullptr || AllPositiveZero(normals + 3 * p, 3 * width));
          }
        }
        if (zero) continue;
        const size_t tile = TileIndex(ti, tj, tk);
        float* f = EnsureField(tile);
        float* n = normals != nullptr ? EnsureNormals(tile) : nullptr;
        if (f == nullptr || (normals != nullptr && n == nullptr)) return false;
        for (int32_t i = i0; i < i1; ++i) {
          for (int32_t j = j0; j < j1; ++j) {
            const size_t p = (static_cast<size_t>(i) * ny + static_cast<size_t>(j)) * nz + static_cast<size_t>(k0);
            std::memcpy(f + TilePoint(i, j, k0), field + p, width * sizeof(float));
            if (n != nullptr) std::memcpy(n + 3 * TilePoint(i, j, k0), normals + 3 * p, 3 * width * sizeof(float));
          }
        }
      }
    }
  }
  return true;
}

void TiledLattice::ToDense(float* field, float* normals) const {
  const size_t ny = static_cast<size_t>(ny_), nz = static_cast<size_t>(nz_);
  for (int32_t i = 0; i < nx_; ++i) {
    for (int32_t j = 0; j < ny_; ++j) {
      for (int32_t k0 = 0; k0 < nz_; k0 += kTileSide) {
        const auto width = static_cast<size_t>(std::min(nz_, k0 + kTileSide) - k0);
        const size_t p = (static_cast<size_t>(i) * ny + static_cast<size_t>(j)) * nz + static_cast<size_t>(k0);
        const size_t tile = TileOf(i, j, k0);
        const float* f = fieldTiles_[tile];
        if (f != nullptr) {
          std::memcpy(field + p, f + TilePoint(i, j, k0), width * sizeof(float));
        } else {
          std::fill_n(field + p, width, 0.0f);
        }
        if (normals == nullptr) continue;
        const float* n = normalTiles_[tile];
        if (n != nullptr) {
          std::memcpy(normals + 3 * p, n + 3 * TilePoint(i, j, k0), 3 * width * sizeof(float));
        } else {
          std::fill_n(normals + 3 * p, 3 * width, 0.0f);
        }
      }
    }
  }
}
