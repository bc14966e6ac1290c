#pragma once
// The splat of one element into the sampled lattices of the voxel grid: how
// an element is planned (its lattice index box, the path it takes and its
// rotations) and the paths that add its kernel and gradient to the lattice
// points of a tile, each giving the bits of the plain per-point recipe:
// - unrotated elements with finite data take a row-wise path that forms the
//   x and y terms once per row and the z terms once per element and tile,
//   and, for the compact kernel, skips rows where every contribution is
//   exactly zero and works four points at a time;
// - rotated elements with finite data apply their rotation matrices inline,
//   with exactly the arithmetic of the host's
//   CVector3::MulByTransformationInPlace, the terms that depend only on the
//   row formed once per row;
// - anything else takes the per-point recipe with the host's rotations.

#include <cstddef>
#include <cstdint>

#include "base/numeric.h"
#include "base/settings.h"
#include "scene/meta_element.h"

// How an element is splatted.
enum SplatPath : int32_t {
  kAxisAligned = 0,  // unrotated, every scaled offset of its box finite: row-wise shortcuts
  kRotated = 1,      // rotated, finite data and rotations: per point, rotation applied inline
  kGeneral = 2,      // anything else: the per-point recipe with the host's rotations
};

// Doubles that hold one element's two transformations (forward and inverse).
constexpr size_t kElementRotationDoubles = 30;

// The plan of one element to splat: what the splat reads of it, its clamped
// lattice index box and how it is splatted.
struct ElementSplat {
  Float3 centre;
  Float3 axisFactor;
  float radius;
  float weight;
  ElementShape shape;
  int32_t element;   // index in the element array
  int32_t path;      // SplatPath
  int32_t rotation;  // first double of its transformations, or -1
  Int3 low;          // index box, both ends inclusive
  Int3 high;
};

// The sampled lattices a splat adds to: point (i, j, k) at
// ((i - firstPlane) * ny + j) * nz + k (times 3 for the gradient). With rowLow
// and rowHigh (per row (i - firstPlane) * ny + j, else null) the splat widens
// each row's touched range to the points it adds to.
struct SplatTarget {
  float* sampled;
  float* sampledNormal;
  int32_t ny;
  int32_t nz;
  int32_t* rowLow;
  int32_t* rowHigh;
  int32_t firstPlane = 0;  // the first plane held: 0 for a whole lattice
};

// True unless all three inverseAngles are NearlyEqual to 0.
bool IsRotated(const MetaElement& e);

// Plans element `index`: its index box (bounded: its reach, else the whole
// lattice), its path and, when it is rotated, its two transformations written
// to `rotation` (room for kElementRotationDoubles); plan.rotation is 0 when
// the rotated path reads them (the caller places them and sets the offset),
// else -1. False when the element reaches no lattice point or its shape gives
// nothing.
bool PlanElement(const Settings& settings, const MetaElement* elements, int32_t index, bool bounded,
                 ElementSplat& plan, double* rotation);

// Model 1 rows go eight points at a time where the processor has AVX2 and
// this is on (the default), else four at a time; the bits are the same
// either way (the tests compare both).
void SetWideSplatRows(bool on);

// Adds the part of a planned element within planes firstI .. lastI and rows
// firstJ .. lastJ to the target, under settings.blendingModel (with the
// gradient when settings.normalsOrUv). `rotations` holds the plan's
// transformations at plan.rotation; `elements` is the array the plan was
// made from.
void SplatInTile(const SplatTarget& target, const Settings& settings, const MetaElement* elements,
                 const ElementSplat& plan, const double* rotations, int32_t firstI, int32_t lastI, int32_t firstJ,
                 int32_t lastJ);
