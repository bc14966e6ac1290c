#pragma once
// GridPolygonizer: the voxel-grid polygonizer of Space 0. Keeps four lattices
// over the container box from one evaluation to the next (the simulated field
// and its gradient, and this frame's sampled field and gradient), advances the
// simulation by one frame per SimulateStep, extracts the surface of the
// simulated field, and writes or reads the per-frame cache file. Every call
// takes the evaluation's Settings; the polygonizer holds no reference to its
// owner.
//
// Lattice point (i, j, k), 0 <= i <= resolution.x, lies at
// (i * cellSize.x - halfSize.x, j * cellSize.y - halfSize.y, k * cellSize.z - halfSize.z)
// in the space of the operator's "InTransform" object.

#include <cstdint>
#include <vector>

#include "base/mesh_arrays.h"
#include "base/numeric.h"
#include "base/settings.h"
#include "cubes/cube_table.h"
#include "grid/grid_cache.h"
#include "grid/grid_extraction.h"
#include "grid/lattice_storage.h"
#include "grid/simulate_step.h"
#include "grid/tiled_lattice.h"
#include "grid/voxel_grid.h"
#include "scene/meta_element.h"

class GridPolygonizer {
 public:
  // Allocates the four lattices ((resolution + 1) points per axis) when
  // settings.resolution changed or they are not ready, and resets the
  // simulated lattices at the start frame or after a reallocation. On failure
  // logs "<fullName> Voxel grid 1 -> not enough memory." (or 2, normals 1,
  // normals 2, naming the first lattice that failed), keeps the lattices made
  // before it and returns false. A resolution of 0 or below, one whose
  // axis holds more than INT32_MAX points, dense lattices of more than
  // INT32_MAX points and tiled ones whose tile table does not fit fail the
  // same way. Sets ready
  // and allocatedResolution. When the storage chosen changes, the simulated
  // lattices are carried over into it (a failure logs as above).
  bool EnsureGrids(const Settings& settings);

  // The simulated field and gradient at a lattice point, whatever the storage
  // (the lattices ready).
  float FieldAt(int32_t i, int32_t j, int32_t k) const {
    return storage == LatticeStorage::kSparse ? tiledLattice.Get(i, j, k) : accumulatedField.Get(i, j, k);
  }
  Float3 NormalAt(int32_t i, int32_t j, int32_t k) const {
    return storage == LatticeStorage::kSparse ? tiledLattice.GetNormal(i, j, k) : accumulatedNormals.Get(i, j, k);
  }
  // The simulated field as a dense lattice (voxel_grid.h's layout): the
  // dense lattice itself, or with tiles a copy made when asked for and kept
  // until the field next changes. Null when the copy cannot be had.
  const float* DenseField() const;

  // Bytes of the lattices in their storage, with the tiled step's slab
  // buffers and the dense copy when there is one.
  uint64_t LatticeBytes() const;

  // True when the simulated lattices hold nx x ny x nz points.
  bool HasFieldDimensions(int32_t nx, int32_t ny, int32_t nz) const {
    return storage == LatticeStorage::kSparse
               ? tiledLattice.HasDimensions(nx, ny, nz)
               : accumulatedField.HasDimensions(nx, ny, nz) && accumulatedNormals.HasDimensions(nx, ny, nz);
  }

  // Advances the simulation by one frame: splats the elements (array order)
  // into the sampled lattices, then relaxes the simulated lattices toward
  // them by 1 / settings.viscosityFactor (GridSpace::kBothWays both ways,
  // kUpward only upward, other values not at all). Does nothing when
  // EnsureGrids fails. Allocates nothing once the lattices exist, but for
  // the tiles of tiled lattices that a sampled value first reaches; a tile
  // that cannot be had logs the failure of its lattice (" Voxel grid 1 ->
  // not enough memory." or normals 1) and leaves the lattices not ready.
  void SimulateStep(const Settings& settings, const MetaElement* elements, const int32_t& elementCount);

  // Extracts the surface of the simulated field into the mesh arrays
  // (appending; the caller clears them), then writes the frame's cache file
  // when writeCache is set, settings.mode is Mode::kWriteCache and
  // settings.cacheUsable (WriteGridCache, which logs a failed write). Does
  // nothing (no surface, no file) when the lattices are not ready for
  // settings.resolution. Running out of memory empties the arrays and logs
  // "<fullName> Voxel grid surface -> not enough memory.".
  void ExtractAndCache(const Settings& settings, const CubeTable& cubeTable, MeshArrays& mesh,
                       const bool& writeCache);

  // The lattices are dense (the four below) or tiled (tiledLattice, which
  // holds the simulated field and gradient, the sampled ones living in the
  // step's slab buffers), as UseTiledLattice chooses at each EnsureGrids;
  // storage says which (LatticeStorage::kDense or kSparse). The other
  // storage holds no memory.
  int32_t storage = LatticeStorage::kDense;
  TiledLattice tiledLattice;
  VoxelGrid accumulatedField;            // simulated field ("Voxel grid 1")
  VoxelGrid sampledField;                // this frame's splatted field ("Voxel grid 2")
  VoxelNormalGrid accumulatedNormals;    // simulated gradient ("Voxel grid normals 1")
  VoxelNormalGrid sampledNormals;        // this frame's gradient ("Voxel grid normals 2")
  bool ready = false;                    // the four lattices are allocated for allocatedResolution
  Int3 allocatedResolution{0, 0, 0};     // resolution the lattices were last allocated for

  // Per lattice row (i, j), at [i * ny + j]: the sampled lattices hold zero
  // outside k = sampledRowLow .. sampledRowHigh (an empty row has low > high).
  // Lets a step clear and read only what the previous splats touched. Empty
  // when it could not be allocated: every row is then treated as touched.
  std::vector<int32_t> sampledRowLow;
  std::vector<int32_t> sampledRowHigh;

  // The dense copy of tiled lattices (DenseField), made at fieldVersion
  // denseCopyVersion; fieldVersion changes whenever the field may.
  mutable VoxelGrid denseCopy;
  mutable uint64_t denseCopyVersion = 0;
  uint64_t fieldVersion = 1;

  // Working storage, kept between calls so that the per-frame work allocates
  // nothing once the lattices are in place.
  SplatScratch splatScratch;
  ExtractionScratch extractionScratch;
};
