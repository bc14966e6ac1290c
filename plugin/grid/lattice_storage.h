#pragma once
// Which storage the voxel grid's lattices take: dense arrays (voxel_grid.h)
// or tiles allocated where the field is (tiled_lattice.h). Both give the same
// bytes; the choice is one of time and memory. Process-wide, set by the host
// (Glomora_SetLatticeStorage) or the tool's --lattice; a change takes effect
// at the next evaluation, which carries the simulated lattices over.

#include <cstdint>

#include "base/settings.h"

namespace LatticeStorage {
constexpr int32_t kAuto = 0;
constexpr int32_t kDense = 1;
constexpr int32_t kSparse = 2;
}  // namespace LatticeStorage

// Lattices of at least this many points go sparse under kAuto (below it the
// dense passes measured faster).
constexpr uint64_t kSparseLatticePoints = uint64_t{1} << 25;

// Sets the requested storage (kAuto, kDense or kSparse) and returns the one
// in effect: another value leaves it unchanged. Not to be called while an
// evaluation runs.
int32_t SetLatticeStorage(int32_t storage);
int32_t RequestedLatticeStorage();

// True when each element of the blending model reaches only the points of
// its box: model 1, or models 0 and 2 with their volume optimisation.
bool ElementsReachOnlyTheirBoxes(const Settings& settings);

// True when an evaluation under `settings` keeps its lattices in tiles: kSparse
// asked, or kAuto and a lattice of kSparseLatticePoints or more whose elements
// reach only their neighbourhood (model 1, or models 0 and 2 with their volume
// optimisation). Never when tiles cannot hold what the dense lattice would: a
// relaxation of 0 toward 0 by a rate that is not finite gives NaN everywhere.
bool UseTiledLattice(const Settings& settings);
