#pragma once
// TiledLattice: the simulated field of the voxel grid and its gradient kept
// in tiles of 8 x 8 x 8 lattice points, allocated only where the field is not
// zero. A point whose tile is absent holds +0 (and the gradient (+0, +0, +0)),
// which is what a reset dense lattice holds, so both storages read the same.
//
// Tile (ti, tj, tk) holds points i = 8 ti .. 8 ti + 7 (likewise j, k), point
// (i, j, k) at TilePoint(i, j, k) (times 3 for the gradient); the tiles of
// the far faces reach past the lattice and their extra points stay 0. A
// gradient tile exists only beside a field tile. Freed tiles go to a pool and
// are handed out again (all zero) before any new memory is asked for.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/allocation.h"
#include "base/numeric.h"

constexpr int32_t kTileShift = 3;
constexpr int32_t kTileSide = 1 << kTileShift;
constexpr int32_t kTilePoints = kTileSide * kTileSide * kTileSide;

// Points on one axis of a tiled lattice at most: the passes over an axis
// step by a tile or a word of sign bits (64 points) in int32.
constexpr int32_t kMaxTiledAxisPoints = INT32_MAX - 64;

inline size_t TilePoint(int32_t i, int32_t j, int32_t k) {
  return static_cast<size_t>((((i & (kTileSide - 1)) << kTileShift) | (j & (kTileSide - 1))) << kTileShift |
                             (k & (kTileSide - 1)));
}

// Tiles of one size, taken from blocks of many and given back to a free list.
// Take and Give may be called from several threads.
class TilePool {
 public:
  explicit TilePool(size_t tileFloats) : tileFloats_(tileFloats) {}
  // A tile of zeros, or null when memory cannot be had.
  float* Take();
  // A tile all of whose values are +0.
  void Give(float* tile);
  // Drops every block.
  void Release();
  size_t InUse() const { return inUse_; }
  size_t Bytes() const { return held_ * tileFloats_ * sizeof(float); }
  // The tiles the blocks of a pool hold once `tiles` are in use.
  static uint64_t HeldFor(uint64_t tiles);

 private:
  // Blocks start at kFirstBlockTiles tiles and double up to kLastBlockTiles,
  // which makes blocks of 4 MiB and more (a large lattice's tiles then come
  // on huge pages, base/allocation.h) while a small one holds little.
  static constexpr size_t kFirstBlockTiles = 64;
  static constexpr size_t kLastBlockTiles = 2048;
  const size_t tileFloats_;
  size_t held_ = 0;  // tiles of every block
  std::mutex mutex_;
  std::vector<std::unique_ptr<float[], FreeDeleter>> blocks_;
  std::vector<float*> free_;
  size_t inUse_ = 0;
};

class TiledLattice {
 public:
  // nx x ny x nz points without a tile. Keeps the tiles when the dimensions
  // already match. False, leaving the lattice empty, when a dimension is 0
  // or below or above kMaxTiledAxisPoints, or the tile table (two pointers
  // a tile) cannot be had. The point count may exceed 2^31.
  bool Resize(int32_t nx, int32_t ny, int32_t nz);
  // No table, no tile, no memory.
  void Release();
  // Every tile back to the pool: the whole lattice reads 0.
  void Clear();

  bool IsEmpty() const { return fieldTiles_.empty(); }
  bool HasDimensions(int32_t nx, int32_t ny, int32_t nz) const {
    return !IsEmpty() && nx == nx_ && ny == ny_ && nz == nz_;
  }
  int32_t Nx() const { return nx_; }
  int32_t Ny() const { return ny_; }
  int32_t Nz() const { return nz_; }
  int32_t TilesX() const { return tx_; }
  int32_t TilesY() const { return ty_; }
  int32_t TilesZ() const { return tz_; }
  size_t TileIndex(int32_t ti, int32_t tj, int32_t tk) const {
    return (static_cast<size_t>(ti) * static_cast<size_t>(ty_) + static_cast<size_t>(tj)) * static_cast<size_t>(tz_) +
           static_cast<size_t>(tk);
  }
  size_t TileOf(int32_t i, int32_t j, int32_t k) const {
    return TileIndex(i >> kTileShift, j >> kTileShift, k >> kTileShift);
  }
  float* FieldTile(size_t tile) const { return fieldTiles_[tile]; }
  float* NormalTile(size_t tile) const { return normalTiles_[tile]; }
  // The tile's values, allocated (all zero) when absent; null when memory
  // cannot be had. Safe from several threads for distinct tiles.
  float* EnsureField(size_t tile);
  float* EnsureNormals(size_t tile);
  // The tile back to the pool when every value it holds is +0; true if so.
  bool ReleaseIfZero(size_t tile);

  float Get(int32_t i, int32_t j, int32_t k) const {
    const float* t = fieldTiles_[TileOf(i, j, k)];
    return t != nullptr ? t[TilePoint(i, j, k)] : 0.0f;
  }
  Float3 GetNormal(int32_t i, int32_t j, int32_t k) const {
    const float* t = normalTiles_[TileOf(i, j, k)];
    if (t == nullptr) return Float3{0.0f, 0.0f, 0.0f};
    const float* v = t + 3 * TilePoint(i, j, k);
    return Float3{v[0], v[1], v[2]};
  }

  // Copies of a dense lattice (point (i, j, k) at (i * ny + j) * nz + k)
  // into tiles, allocating those that hold a value other than +0; false when
  // memory cannot be had (the tiles made so far are kept). normals may be
  // null (all zero).
  bool FromDense(const float* field, const float* normals);
  // Writes every point into dense lattices laid out as above (normals may be null).
  void ToDense(float* field, float* normals) const;

  size_t FieldTileCount() const { return fieldPool_.InUse(); }
  size_t NormalTileCount() const { return normalPool_.InUse(); }
  // Memory held: the tile table and every block of tiles, in use or pooled.
  size_t Bytes() const {
    return fieldTiles_.capacity() * 2 * sizeof(float*) + fieldPool_.Bytes() + normalPool_.Bytes();
  }

 private:
  int32_t nx_ = 0, ny_ = 0, nz_ = 0;
  int32_t tx_ = 0, ty_ = 0, tz_ = 0;
  std::vector<float*> fieldTiles_;
  std::vector<float*> normalTiles_;
  TilePool fieldPool_{kTilePoints};
  TilePool normalPool_{3 * kTilePoints};
};
