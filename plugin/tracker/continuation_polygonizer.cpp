#include "tracker/continuation_polygonizer.h"

#include <cassert>
#include <cmath>
#include <cstring>
#include <new>

#include "base/numeric.h"
#include "cubes/box_emitter.h"
#include "cubes/tetrahedra.h"
#include "tracker/containers.h"

namespace {

using XSI::MATH::CTransformation;
using XSI::MATH::CVector3;

// Lattice corner (i, j, k) lies at ((i - kCornerShift) * cellSize.x, ...), so
// cube (i, j, k) is centred within 0.00001 cell of (i, j, k) * cellSize and
// cube (0, 0, 0) holds the origin.
constexpr float kCornerShift = 0.50001f;

// Bisection halvings beyond which nothing can change. The length of an
// interval between two finite floats lies between 2^-149 and 2^129, so it
// halves fewer than 300 times before the midpoint rounds onto one of the ends,
// after which the ends stay put.
constexpr int32_t kMaxHalvings = 1024;

// Seed probe directions, in probing order; with jbSimple only the first.
constexpr float kProbeDirections[8][3] = {{1, 1, 1},   {-1, -1, -1}, {1, -1, -1}, {1, -1, 1},
                                          {-1, -1, 1}, {-1, 1, -1},  {1, 1, -1},  {-1, 1, 1}};

// The four corners of each cube face (face f: 0 -i, 1 +i, 2 -j, 3 +j, 4 -k,
// 5 +k) and the lattice step to the cube behind it.
constexpr int kFaceCorners[6][4] = {{0, 1, 2, 3}, {4, 5, 6, 7}, {0, 1, 4, 5},
                                    {2, 3, 6, 7}, {0, 2, 4, 6}, {1, 3, 5, 7}};
constexpr int kFaceStep[6][3] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};

bool IsFinite(const Float3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

bool SameBits(const Float3& a, const Float3& b) { return std::memcmp(&a, &b, sizeof(Float3)) == 0; }

// A cube index is usable when its corners (index + 1) stay inside int32.
bool IsCubeIndex(int64_t index) { return index >= INT32_MIN && index < INT32_MAX; }

// One lattice corner: its position and the field value there.
struct LatticeCorner {
  Float3 position;
  float value;
};

// A queued cube: its index and its eight corners (indices into the corner
// pool) by corner number.
struct PendingCube {
  int32_t i;
  int32_t j;
  int32_t k;
  uint32_t corners[8];
};

// The working state of one run: corner, cube and edge tables, the cube stack
// and references to the output arrays.
class SurfaceTracker {
 public:
  SurfaceTracker(const Settings& settings, const CubeTable& cubeTable, const FieldFunction& field, MeshArrays& mesh,
                 int64_t maxTrackedCubes)
      : field_(field),
        cubeTable_(cubeTable),
        settings_(settings),
        vertices_(mesh.vertices),
        polygons_(mesh.polygons),
        nodeValues_(mesh.nodeValues),
        maxTrackedCubes_(maxTrackedCubes) {
    const int32_t res = settings_.bisectionHalvings;
    res_ = res < 0 ? 0 : (res > kMaxHalvings ? kMaxHalvings : res);
    // RES * RES as an integer product, in 64 bits so that no RES overflows it;
    // below 1 (RES = 0) it would make the step infinite.
    const int64_t resSquared = static_cast<int64_t>(res) * res;
    normalStep_ = settings_.cellSize.x / static_cast<float>(resSquared < 1 ? 1 : resSquared);
  }

  void SeedElement(const MetaElement& element);
  void TrackSurface();
  bool LimitReached() const { return limitReached_; }

 private:
  float F(const Float3& p) const { return field_.Evaluate(p.x, p.y, p.z); }
  Float3 BisectToSurface(Float3 positive, Float3 negative) const;
  Float3 EstimateNormal(const Float3& p) const;
  uint32_t CornerAt(int32_t i, int32_t j, int32_t k);
  int32_t EdgeVertexIndex(uint32_t corner1, uint32_t corner2);
  void EmitTriangle(int32_t t0, int32_t t1, int32_t t2);
  bool MarkQueued(const LatticeIndex& cube);
  void PushNeighbourCube(const PendingCube& cube, const bool positive[8], int face);
  void PolygonizeCube(const PendingCube& cube, int caseIndex);

  const FieldFunction& field_;
  const CubeTable& cubeTable_;
  const Settings& settings_;
  XSI::MATH::CVector3Array& vertices_;
  XSI::CLongArray& polygons_;
  XSI::CDoubleArray& nodeValues_;
  int64_t maxTrackedCubes_;
  int32_t res_ = 0;
  float normalStep_ = 0.0f;

  RecordPool<LatticeCorner> corners_;
  OpenMap<LatticeIndex, LatticeIndexHash> cornerTable_;  // lattice index -> corner pool index
  OpenMap<LatticeIndex, LatticeIndexHash> centreTable_;  // cubes queued so far
  OpenMap<uint64_t, EdgeKeyHash> edgeTable_;             // corner pair -> vertex index
  RecordPool<PendingCube> cubeStack_;                    // last in, first out
  int64_t queuedCubes_ = 0;
  bool limitReached_ = false;
};

// Halves [positive, negative] RES times and returns the midpoint of the last
// interval: RES field evaluations, none for RES = 0. An end moves to the
// midpoint on the side of the midpoint's sign (value > 0 is positive).
// When a step leaves both ends unchanged, every later step repeats it, so the
// current midpoint is already the answer and the remaining evaluations are
// skipped; the result is the same as after RES steps.
Float3 SurfaceTracker::BisectToSurface(Float3 positive, Float3 negative) const {
  for (int32_t counter = 0;; ++counter) {
    const Float3 p{(positive.x + negative.x) * 0.5f, (positive.y + negative.y) * 0.5f,
                   (positive.z + negative.z) * 0.5f};
    if (counter == res_) return p;
    if (F(p) > 0.0f) {
      if (SameBits(p, positive)) return p;
      positive = p;
    } else {
      if (SameBits(p, negative)) return p;
      negative = p;
    }
  }
}

// Forward differences f(p) - f(p + d e_axis), d = 0.2 * normalStep: the field
// falls outward, so the vector points out of the surface. For UV space the
// dominant component is scaled to +-1; a zero vector (flat field) stays zero.
Float3 SurfaceTracker::EstimateNormal(const Float3& p) const {
  const float d = 0.2f * normalStep_;
  const float f = F(p);
  Float3 n{f - field_.Evaluate(p.x + d, p.y, p.z), f - field_.Evaluate(p.x, p.y + d, p.z),
           f - field_.Evaluate(p.x, p.y, p.z + d)};
  if (settings_.uvSpace) ScaleToDominantUnit(n.x, n.y, n.z);
  return n;
}

// The corner record of lattice index (i, j, k), made and evaluated on first use.
uint32_t SurfaceTracker::CornerAt(int32_t i, int32_t j, int32_t k) {
  const LatticeIndex key{i, j, k};
  auto& slot = cornerTable_.Find(key);
  if (slot.value != kEmptySlot) return slot.value;
  const Float3& c = settings_.cellSize;
  LatticeCorner corner;
  corner.position = Float3{(static_cast<float>(i) - kCornerShift) * c.x, (static_cast<float>(j) - kCornerShift) * c.y,
                           (static_cast<float>(k) - kCornerShift) * c.z};
  corner.value = F(corner.position);
  const uint32_t index = corners_.Add(corner);
  cornerTable_.Fill(slot, key, index);
  return index;
}

// The vertex on the lattice edge between two corners of opposite sign, made
// once per edge whichever cube or tetrahedron asks first. The corner pool
// index identifies a lattice corner, so the unordered pair of pool indices
// identifies the edge. The positive end is the corner with value > 0, the
// same rule as the case index, so the vertex does not depend on which of the
// two corners the caller names first.
int32_t SurfaceTracker::EdgeVertexIndex(uint32_t corner1, uint32_t corner2) {
  const uint64_t key = corner1 < corner2 ? (uint64_t{corner1} << 32 | corner2) : (uint64_t{corner2} << 32 | corner1);
  auto& slot = edgeTable_.Find(key);
  if (slot.value != kEmptySlot) return static_cast<int32_t>(slot.value);
  const LatticeCorner& a = corners_[corner1];
  const LatticeCorner& b = corners_[corner2];
  const Float3 p = a.value > 0.0f ? BisectToSurface(a.position, b.position) : BisectToSurface(b.position, a.position);
  vertices_.Add(CVector3(p.x, p.y, p.z));
  const int32_t index = vertices_.GetCount() - 1;
  if (settings_.normalsOrUv) {
    const Float3 n = EstimateNormal(p);
    nodeValues_.Add(n.x);
    nodeValues_.Add(n.y);
    nodeValues_.Add(n.z);
  }
  edgeTable_.Fill(slot, key, static_cast<uint32_t>(index));
  return index;
}

void SurfaceTracker::EmitTriangle(int32_t t0, int32_t t1, int32_t t2) {
  polygons_.Add(3);
  polygons_.Add(t0);
  polygons_.Add(t1);
  polygons_.Add(t2);
}

// Enters a cube in the CentreTable. False when it was queued before, or when
// the ceiling on queued cubes is reached (which is remembered).
bool SurfaceTracker::MarkQueued(const LatticeIndex& cube) {
  auto& slot = centreTable_.Find(cube);
  if (slot.value != kEmptySlot) return false;
  if (queuedCubes_ >= maxTrackedCubes_) {
    limitReached_ = true;
    return false;
  }
  centreTable_.Fill(slot, cube, 0);
  ++queuedCubes_;
  return true;
}

// Probes from the element centre (the positive end, whatever its value) along
// the rotated diagonals, each probe as long as the element's scaled reach,
// finds the surface between centre and probe end by bisection and queues the
// 3 x 3 x 3 cubes around the one holding that point.
void SurfaceTracker::SeedElement(const MetaElement& element) {
  CTransformation rotation;
  rotation.PutRotationOrder(XSI::siZYX);
  rotation.SetRotationFromXYZAnglesValues(static_cast<double>(element.inverseAngles.x),
                                          static_cast<double>(element.inverseAngles.y),
                                          static_cast<double>(element.inverseAngles.z));
  const float inverseIsovalue = settings_.inverseIsovalue;
  const int probeCount = settings_.jbSimple ? 1 : 8;
  for (int probe = 0; probe < probeCount; ++probe) {
    const float* dir = kProbeDirections[probe];
    CVector3 offset(element.radius * dir[0] * element.scale.x * 2.0f * inverseIsovalue,
                    element.radius * dir[1] * element.scale.y * 2.0f * inverseIsovalue,
                    element.radius * dir[2] * element.scale.z * 2.0f * inverseIsovalue);
    offset.MulByTransformationInPlace(rotation);
    const Float3 end{static_cast<float>(offset.GetX() + static_cast<double>(element.centre.x)),
                     static_cast<float>(offset.GetY() + static_cast<double>(element.centre.y)),
                     static_cast<float>(offset.GetZ() + static_cast<double>(element.centre.z))};
    // An infinite probe (Isovalue 0) or a NaN centre has no point to bisect toward.
    if (!IsFinite(end)) continue;
    const Float3 s = BisectToSurface(element.centre, end);
    if (!IsFinite(s)) continue;

    const Float3& inverse = settings_.inverseCellSize;
    const int64_t ci = ClampToInt(std::floor(s.x * inverse.x));
    const int64_t cj = ClampToInt(std::floor(s.y * inverse.y));
    const int64_t ck = ClampToInt(std::floor(s.z * inverse.z));
    for (int64_t x = ci - 1; x <= ci + 1; ++x) {
      for (int64_t y = cj - 1; y <= cj + 1; ++y) {
        for (int64_t z = ck - 1; z <= ck + 1; ++z) {
          if (!IsCubeIndex(x) || !IsCubeIndex(y) || !IsCubeIndex(z)) continue;
          const LatticeIndex index{static_cast<int32_t>(x), static_cast<int32_t>(y), static_cast<int32_t>(z)};
          if (!MarkQueued(index)) continue;
          PendingCube cube;
          cube.i = index.i;
          cube.j = index.j;
          cube.k = index.k;
          for (int n = 0; n < 8; ++n) {
            cube.corners[n] = CornerAt(index.i + (n >> 2 & 1), index.j + (n >> 1 & 1), index.k + (n & 1));
          }
          cubeStack_.Add(cube);
        }
      }
    }
  }
}

// Queues the cube behind `face` when the face has a sign change and the cube
// was not queued before. The four face corners are shared: corner n of this
// cube is corner n ^ (1 << faceAxisBit[face]) of the neighbour.
void SurfaceTracker::PushNeighbourCube(const PendingCube& cube, const bool positive[8], int face) {
  const int* faceCorners = kFaceCorners[face];
  const int positiveCount = positive[faceCorners[0]] + positive[faceCorners[1]] + positive[faceCorners[2]] +
                            positive[faceCorners[3]];
  if (positiveCount == 0 || positiveCount == 4) return;
  const int64_t i = int64_t{cube.i} + kFaceStep[face][0];
  const int64_t j = int64_t{cube.j} + kFaceStep[face][1];
  const int64_t k = int64_t{cube.k} + kFaceStep[face][2];
  if (!IsCubeIndex(i) || !IsCubeIndex(j) || !IsCubeIndex(k)) return;
  PendingCube next;
  next.i = static_cast<int32_t>(i);
  next.j = static_cast<int32_t>(j);
  next.k = static_cast<int32_t>(k);
  if (!MarkQueued(LatticeIndex{next.i, next.j, next.k})) return;
  const int flip = 1 << faceAxisBit[face];
  bool shared[8] = {};
  for (int m = 0; m < 4; ++m) {
    const int n = faceCorners[m];
    next.corners[n ^ flip] = cube.corners[n];
    shared[n ^ flip] = true;
  }
  for (int n = 0; n < 8; ++n) {
    if (!shared[n]) next.corners[n] = CornerAt(next.i + (n >> 2 & 1), next.j + (n >> 1 & 1), next.k + (n & 1));
  }
  cubeStack_.Add(next);
}

// Polygons of the cube table entry, each fanned from its first vertex:
// vertices v1..vm give triangles (v1, v(k-1), vk) for k = 3..m.
void SurfaceTracker::PolygonizeCube(const PendingCube& cube, int caseIndex) {
  const CubeCase& entry = cubeTable_.cases[caseIndex];
  for (int p = 0; p < entry.polygonCount; ++p) {
    const CubePolygon& polygon = entry.polygons[p];
    int32_t v[12];
    for (int m = 0; m < polygon.edgeCount; ++m) {
      const int e = polygon.edges[m];
      v[m] = EdgeVertexIndex(cube.corners[edgeCorner1[e]], cube.corners[edgeCorner2[e]]);
      if (m >= 2) EmitTriangle(v[0], v[m - 1], v[m]);
    }
  }
}

// Depth first: the cube on top is taken off, polygonized, and its neighbours
// across faces with a sign change are pushed, faces 0 to 5, so the last one
// pushed is processed next.
void SurfaceTracker::TrackSurface() {
  const int32_t polygonization = settings_.polygonization;
  while (!cubeStack_.Empty()) {
    const PendingCube cube = cubeStack_.Back();
    cubeStack_.PopBack();

    bool positive[8];
    int caseIndex = 0;
    for (int n = 0; n < 8; ++n) {
      positive[n] = corners_[cube.corners[n]].value > 0.0f;
      if (positive[n]) caseIndex |= 1 << n;
    }

    if (polygonization == Polygonization::kCubeTable) {
      PolygonizeCube(cube, caseIndex);
    } else if (polygonization == Polygonization::kTetrahedra) {
      for (const int(&q)[4] : kCubeTetrahedra) {
        PolygonizeTetrahedron(
            positive, q, [&](int a, int b) { return EdgeVertexIndex(cube.corners[a], cube.corners[b]); },
            [&](int32_t t0, int32_t t1, int32_t t2) { EmitTriangle(t0, t1, t2); });
      }
    } else if (caseIndex != 0 && caseIndex != 255) {
      const Float3& c = settings_.cellSize;
      EmitBox(vertices_, polygons_,
              Float3{static_cast<float>(cube.i) * c.x, static_cast<float>(cube.j) * c.y, static_cast<float>(cube.k) * c.z},
              c);
    }

    for (int face = 0; face < 6; ++face) PushNeighbourCube(cube, positive, face);
  }
}

bool IsPositiveFinite(float value) { return std::isfinite(value) && value > 0.0f; }

}  // namespace

PolygonizeResult Polygonize(const Settings& settings, const CubeTable& cubeTable, const FieldFunction& field,
                            const MetaElement* elements, const int32_t& elementCount, MeshArrays& mesh,
                            int64_t maxTrackedCubes) {
  if (settings.polygonization != Polygonization::kCubeTable && settings.polygonization != Polygonization::kTetrahedra &&
      settings.polygonization != Polygonization::kBoxes) {
    return PolygonizeResult::Complete;
  }
  const Float3& cellSize = settings.cellSize;
  if (!IsPositiveFinite(cellSize.x) || !IsPositiveFinite(cellSize.y) || !IsPositiveFinite(cellSize.z)) {
    return PolygonizeResult::Complete;
  }
  if (!elements || elementCount <= 0) return PolygonizeResult::Complete;

  const XSI::LONG vertexCount = mesh.vertices.GetCount();
  const XSI::LONG polygonEntries = mesh.polygons.GetCount();
  const XSI::LONG nodeValueCount = mesh.nodeValues.GetCount();
  try {
    SurfaceTracker tracker(settings, cubeTable, field, mesh, maxTrackedCubes);
    for (int32_t e = 0; e < elementCount; ++e) {
      if (elements[e].weight > 0.0f) tracker.SeedElement(elements[e]);
    }
    tracker.TrackSurface();
    return tracker.LimitReached() ? PolygonizeResult::CubeLimitReached : PolygonizeResult::Complete;
  } catch (const std::bad_alloc&) {
    // Shrinking never allocates: the arrays go back to what they held on entry.
    mesh.vertices.Resize(vertexCount);
    mesh.polygons.Resize(polygonEntries);
    mesh.nodeValues.Resize(nodeValueCount);
    return PolygonizeResult::OutOfMemory;
  }
}
