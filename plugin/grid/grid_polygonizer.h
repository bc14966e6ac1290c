#pragma once
// GridPolygonizer: the voxel-grid polygonizer of Space 0. Keeps four lattices
// over the container box from one evaluation to the next (the simulated field
// and its gradient, and this frame's sampled field and gradient), advances the
// simulation by one frame per SimulateStep, extracts the surface of the
// simulated field, and writes or reads the per-frame cache file.
//
// Lattice point (i, j, k), 0 <= i <= resolution.x, lies at
// (i * cellSize.x - halfSize.x, j * cellSize.y - halfSize.y, k * cellSize.z - halfSize.z)
// in the space of the operator's "InTransform" object.

#include <cstdint>
#include <memory>
#include <vector>

#include "field/numeric.h"
#include "grid/voxel_grid.h"
#include "scene/meta_element.h"
#include "tracker/cube_table.h"
#include "xsi_arrays.h"
#include "xsi_math.h"

struct OperatorInstance;

class GridPolygonizer {
 public:
  // Allocates the four lattices ((resolution + 1) points per axis) when
  // owner->resolution changed or they are not ready, and resets the simulated
  // lattices at the start frame or after a reallocation. On failure logs
  // "<fullName> Voxel grid 1 -> not enough memory." (or 2, normals 1, normals
  // 2, naming the first lattice that failed), keeps the lattices made before
  // it and returns false. A resolution of 0 or below, or one whose lattice
  // holds more than INT32_MAX points, fails the same way. Sets
  // owner->gridReady and owner->allocatedResolution.
  bool EnsureGrids();

  // Advances the simulation by one frame: splats the elements (array order)
  // into the sampled lattices, then relaxes the simulated lattices toward
  // them by 1 / owner->viscosityFactor (grid space 0 both ways, 1 only
  // upward, other values not at all). Does nothing when EnsureGrids fails.
  // Allocates nothing once the lattices exist.
  void SimulateStep(const MetaElement* elements, const int32_t& elementCount);

  // Extracts the surface of the simulated field into the three arrays (appending;
  // the caller clears them), then writes the frame's cache file when writeCache
  // is set, owner->mode is 2 and owner->cacheUsable (WriteGridCache, which
  // logs a failed write). Does nothing (no surface,
  // no file) when the lattices are not ready for owner->resolution. Running
  // out of memory empties the arrays and logs
  // "<fullName> Voxel grid surface -> not enough memory.".
  void ExtractAndCache(XSI::MATH::CVector3Array& vertices, XSI::CLongArray& polygons,
                       XSI::CDoubleArray& nodeValues, const bool& writeCache);

  // Writes the arrays to the cache file of owner->evalFrame when
  // owner->cacheUsable: into a temporary file in the same folder, renamed over
  // the frame's file once every byte is written, so a reader never sees a
  // partial frame and a failed write leaves the previous file as it was.
  // A write that fails (the file or its folder cannot be opened, a write,
  // the close or the rename fails) logs
  // "<fullName> -> <cache file name, "/" as separator> -> error." and returns
  // false; true when the file was written or no cache is in use.
  bool WriteGridCache(const XSI::MATH::CVector3Array& vertices, const XSI::CLongArray& polygons,
                      const XSI::CDoubleArray& nodeValues);
  // Fills the arrays from the cache file of owner->evalFrame when owner->mode is
  // 3 and owner->cacheUsable; leaves them as they are when the file is missing
  // or not a cache file, clears them when it is truncated or inconsistent.
  void ReadGridCache(XSI::MATH::CVector3Array& vertices, XSI::CLongArray& polygons, XSI::CDoubleArray& nodeValues);

  VoxelGrid accumulatedField;            // simulated field ("Voxel grid 1")
  VoxelGrid sampledField;                // this frame's splatted field ("Voxel grid 2")
  VoxelNormalGrid accumulatedNormals;    // simulated gradient ("Voxel grid normals 1")
  VoxelNormalGrid sampledNormals;        // this frame's gradient ("Voxel grid normals 2")
  XSI::MATH::CTransformation elementRotation;  // rotation of the element being splatted (order 5)
  XSI::MATH::CTransformation inverseRotation;  // its inverse (order 0, negated angles)
  bool rotated = false;                  // the element being splatted is rotated
  const CubeTable* cubeTable = nullptr;  // the owner's cube table, set by the driver
  OperatorInstance* owner = nullptr;     // back link, set by the driver

  // Working storage, kept between calls so that the per-frame work allocates
  // nothing once the lattices are in place.
  //
  // Per lattice row (i, j), at [i * ny + j]: the sampled lattices hold zero
  // outside k = sampledRowLow .. sampledRowHigh (an empty row has low > high).
  // Lets a step clear and read only what the previous splats touched. Empty
  // when it could not be allocated: every row is then treated as touched.
  std::vector<int32_t> sampledRowLow;
  std::vector<int32_t> sampledRowHigh;
  // Splat plan of one step (simulate_step.cpp): per element to splat, what
  // the splat reads of it, its clamped lattice index box and how it is
  // splatted, in array order and again sorted by the slab of planes its box
  // starts in; the first sorted entry of each slab; the sorted entries whose
  // boxes reach the slab being worked on (two buffers, array order); per
  // rotated element its two transformations as 30 doubles. Grown as needed
  // and kept; when a buffer cannot be had the step plans small batches of
  // elements on the stack instead.
  struct ElementSplat {
    Float3 centre;
    Float3 axisFactor;
    float radius;
    float weight;
    ElementShape shape;
    int32_t element;   // index in the element array
    int32_t path;      // how it is splatted (simulate_step.cpp)
    int32_t rotation;  // first double of its transformations, or -1
    Int3 low;          // index box, both ends inclusive
    Int3 high;
  };
  template <class T>
  struct ScratchBuffer {
    std::unique_ptr<T[], FreeDeleter> data;
    size_t capacity = 0;
    // Room for n values (the contents are not kept when it grows); false,
    // leaving the buffer empty, when the memory cannot be had.
    bool Reserve(size_t n) {
      if (data && n <= capacity) return true;
      data.reset();
      capacity = 0;
      data = TryAllocateArray<T>(n);
      if (!data) return false;
      capacity = n;
      return true;
    }
  };
  ScratchBuffer<ElementSplat> splatPlan;
  ScratchBuffer<ElementSplat> splatSorted;
  ScratchBuffer<int32_t> slabFirst;
  ScratchBuffer<int32_t> slabActive;
  ScratchBuffer<int32_t> slabMerged;
  ScratchBuffer<double> splatRotations;
  // Extraction scratch: sign bits of two lattice planes, the vertex index of
  // every lattice edge (and tetrahedron diagonal) of two planes and of the
  // slab between them, and the crossed cubes of a slab.
  std::vector<uint64_t> planeSigns;
  std::vector<int32_t> edgeVertices;
  // The crossed cubes of one slab as (j, k, case index) triples, in order.
  std::vector<int32_t> crossedCubes;
};
