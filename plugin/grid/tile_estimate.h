#pragma once
// The memory a step of tiled lattices may take, known before the step: the
// tiles the elements' index boxes reach, and those the field already holds,
// against a budget the host sets for every instance. A frame whose tiles
// cannot fit is refused before anything is allocated or stepped, instead of
// failing in the middle of the step.

#include <cstdint>

#include "base/settings.h"
#include "grid/grid_polygonizer.h"
#include "scene/meta_element.h"

// The bytes the voxel lattices of one instance may take (0, the default:
// no budget, no estimate). Returns the budget in effect. Not to be called
// while an evaluation runs.
uint64_t SetLatticeBudget(uint64_t bytes);
uint64_t LatticeBudget();

// What an instance's latest estimate found.
struct TileEstimate {
  bool made = false;       // an estimate was made (tiled lattices under a budget)
  bool overBudget = false; // the step was refused
  int32_t frame = 0;       // the frame estimated
  uint64_t tiles = 0;      // field tiles the step may hold at most
  uint64_t bytes = 0;      // bytes of the lattices and buffers with those tiles
};

// Field tiles a step of `elements` may hold at most: those the field holds
// now plus those the elements' index boxes (as the step plans them) reach
// and that are absent; a bound, never below what the step allocates at any
// moment. -1 when the bit per tile it marks cannot be had. The lattices
// must be tiled and ready.
int64_t EstimateFieldTiles(const GridPolygonizer& grid, const Settings& settings, const MetaElement* elements,
                           int32_t elementCount);

// The bytes of `grid`'s lattices and buffers once the field holds `tiles`
// field tiles (and as many gradient tiles when settings.normalsOrUv), with
// the sign bits of the extraction: never below what they hold now.
uint64_t TiledBytesWith(const GridPolygonizer& grid, const Settings& settings, uint64_t tiles);

enum class BudgetCheck {
  kStep,      // step the frame
  kNotReady,  // the lattices could not be made (logged): the step would do nothing
  kRefused,   // over the budget (logged): step nothing
};

// Before a step under a budget and tiled lattices (UseTiledLattice): makes
// the lattices ready (EnsureGrids, which logs its own failure) and estimates
// the step's tiles into `estimate`. Over the budget, logs "<fullName> Voxel
// grid 1 -> not enough memory." and then "<fullName> Voxel grid 1 -> needs
// N GiB for T tiles, above the memory limit of L GiB." and refuses: the
// caller then steps nothing and the lattices stay as they are. Without a
// budget, or with dense lattices, touches nothing but `estimate` (cleared).
BudgetCheck CheckLatticeBudget(GridPolygonizer& grid, const Settings& settings, const MetaElement* elements,
                        int32_t elementCount, TileEstimate& estimate);
