#include "grid/slab_walk.h"

#include <algorithm>
#include <cassert>
#include <new>
#include <utility>

#include "cubes/box_emitter.h"
#include "cubes/tetrahedra.h"
#include "grid/edge_slots.h"

namespace {

// How many crossed cubes ahead the walk fetches lattice data.
constexpr size_t kPrefetchAhead = 16;

class SlabWalk {
 public:
  SlabWalk(const ExtractionPlan& plan, SlabWalkScratch& scratch)
      : plan_(plan),
        settings_(*plan.settings),
        cubeTable_(*plan.cubeTable),
        scratch_(scratch),
        field_(plan.field),
        normals_(plan.normals),
        nz_(plan.signs.nz),
        planePoints_(static_cast<size_t>(plan.signs.ny) * static_cast<size_t>(plan.signs.nz)) {}

  void Run(int32_t firstSlab, int32_t endSlab);

 private:
  // One slab. With kNumberOnly only the vertex indices of the edges the slab
  // owns are handed out (no vertex, no polygon is written).
  template <bool kNumberOnly>
  void Slab(int32_t i);
  template <bool kNumberOnly>
  int32_t EdgeVertex(int a, int b);
  void MakeVertex(int a, int b, int32_t index);
  void EmitTriangle(int32_t t0, int32_t t1, int32_t t2) {
    XSI::LONG* entry = plan_.polygons + entry_;
    entry[0] = 3;
    entry[1] = t0;
    entry[2] = t1;
    entry[3] = t2;
    entry_ += 4;
  }
  template <bool kNumberOnly>
  void PolygonizeCube(unsigned caseIndex);
  template <bool kNumberOnly>
  void PolygonizeTetrahedra(unsigned caseIndex);
  void EmitCell();
  // Plane i + 1 becomes the low plane of the next slab.
  void NextPlane() {
    std::swap(slots_[kLowK], slots_[kHighK]);
    std::swap(slots_[kLowJ], slots_[kHighJ]);
    std::swap(slots_[kLowYZ], slots_[kHighYZ]);
  }
  // Starts loading what cube (i_, j, k) of this slab will read. Always
  // inlined: GCC drops calls to a function that does nothing but prefetch.
  [[gnu::always_inline]] void Prefetch(int32_t j, int32_t k) const {
    if (plan_.tiled != nullptr) {
      PrefetchTiled(j, k);
      return;
    }
    const size_t point = static_cast<size_t>(j) * nz_ + static_cast<size_t>(k);
    const size_t base = static_cast<size_t>(i_) * planePoints_ + point;
    for (size_t offset : {size_t{0}, static_cast<size_t>(nz_)}) {
      __builtin_prefetch(field_ + base + offset);
      __builtin_prefetch(field_ + base + planePoints_ + offset);
      if (settings_.normalsOrUv) {
        __builtin_prefetch(normals_ + 3 * (base + offset));
        __builtin_prefetch(normals_ + 3 * (base + offset) + 5);
        __builtin_prefetch(normals_ + 3 * (base + planePoints_ + offset));
        __builtin_prefetch(normals_ + 3 * (base + planePoints_ + offset) + 5);
      }
      if (slots_[kLowK] != nullptr) {
        __builtin_prefetch(slots_[kLowK] + (point + offset) * slotStride_[kLowK]);
        __builtin_prefetch(slots_[kHighK] + (point + offset) * slotStride_[kHighK]);
        __builtin_prefetch(slots_[kCrossI] + (point + offset) * slotStride_[kCrossI]);
      }
    }
  }

  // The same for tiled lattices: the cube's corners in the tile of its
  // corner 0 (a corner past that tile's far faces is fetched from beside the
  // tile, which loads a line for nothing and does not fault).
  [[gnu::always_inline]] void PrefetchTiled(int32_t j, int32_t k) const {
    const TiledLattice& lattice = *plan_.tiled;
    const size_t tile = lattice.TileOf(i_, j, k);
    const size_t point = TilePoint(i_, j, k);
    constexpr size_t kNextJ = kTileSide;
    constexpr size_t kNextI = kTileSide * kTileSide;
    if (const float* f = lattice.FieldTile(tile); f != nullptr) {
      for (size_t offset : {size_t{0}, kNextJ, kNextI, kNextI + kNextJ}) __builtin_prefetch(f + point + offset);
    }
    if (!settings_.normalsOrUv) return;
    if (const float* n = lattice.NormalTile(tile); n != nullptr) {
      for (size_t offset : {size_t{0}, kNextJ, kNextI, kNextI + kNextJ}) {
        __builtin_prefetch(n + 3 * (point + offset));
        __builtin_prefetch(n + 3 * (point + offset) + 5);
      }
    }
    if (slots_[kLowK] != nullptr) {
      const size_t at = static_cast<size_t>(j) * nz_ + static_cast<size_t>(k);
      for (size_t offset : {size_t{0}, static_cast<size_t>(nz_)}) {
        __builtin_prefetch(slots_[kLowK] + (at + offset) * slotStride_[kLowK]);
        __builtin_prefetch(slots_[kHighK] + (at + offset) * slotStride_[kHighK]);
        __builtin_prefetch(slots_[kCrossI] + (at + offset) * slotStride_[kCrossI]);
      }
    }
  }

  const ExtractionPlan& plan_;
  const Settings& settings_;
  const CubeTable& cubeTable_;
  SlabWalkScratch& scratch_;
  const float* field_;
  const float* normals_;
  const int32_t nz_;  // lattice points along k
  const size_t planePoints_;
  size_t cornerOffset_[8] = {};  // lattice point offset of corner n from corner 0
  int32_t* slots_[kSlotCount] = {};  // first entry of the slot, in its table
  size_t slotStride_[kSlotCount] = {};  // entries per record of the slot's table
  // Entries below these vertex indices are left over from planes no longer in
  // use: an edge of plane i was made in slab i - 1 or i, an edge of plane
  // i + 1 or between the planes in slab i, and vertex indices only grow.
  int32_t lowValid_ = 0;
  int32_t slabValid_ = 0;
  int32_t nextVertex_ = 0;  // index of the slab's next new vertex
  int64_t entry_ = 0;       // where the slab's next polygon entry goes
  // Current cube.
  int32_t i_ = 0, j_ = 0, k_ = 0;
  size_t base_ = 0;  // lattice point index of corner 0
  // Tiled: when the cube's corners all lie in one tile, that tile's values
  // (null when absent: zeros), its gradient, and corner 0's point in it.
  bool inOneTile_ = false;
  const float* cubeField_ = nullptr;
  const float* cubeNormals_ = nullptr;
  size_t cubePoint_ = 0;
};

// The tile point offset of corner n from corner 0, within one tile.
constexpr size_t TileCornerOffset(int n) {
  return static_cast<size_t>(((n >> 2) & 1) * kTileSide * kTileSide + ((n >> 1) & 1) * kTileSide + (n & 1));
}

void SlabWalk::Run(int32_t firstSlab, int32_t endSlab) {
  const int32_t mode = settings_.polygonization;
  // Room for a slab's crossed cubes, and the edge tables, every entry below
  // any valid vertex index.
  const size_t cubesPerSlab = static_cast<size_t>(plan_.signs.ny - 1) * static_cast<size_t>(nz_ - 1);
  if (!scratch_.crossedCubes.Reserve(3 * cubesPerSlab)) throw std::bad_alloc();
  if (mode != Polygonization::kBoxes) {
    // Records: plane (k, j[, yz]), between the planes (i[, xy, xz, body]).
    const size_t planeStride = mode == Polygonization::kCubeTable ? 2 : 3;
    const size_t crossStride = mode == Polygonization::kCubeTable ? 1 : 4;
    const size_t entries = (2 * planeStride + crossStride) * planePoints_;
    if (!scratch_.edgeVertices.Reserve(entries)) throw std::bad_alloc();
    int32_t* low = scratch_.edgeVertices.data.get();
    std::fill(low, low + entries, -1);
    int32_t* high = low + planeStride * planePoints_;
    int32_t* cross = high + planeStride * planePoints_;
    for (int s = 0; s < kSlotCount; ++s) {
      const bool inPlane = s < kCrossI;
      const size_t offset = inPlane ? static_cast<size_t>(s % 3) : static_cast<size_t>(s - kCrossI);
      if (offset >= (inPlane ? planeStride : crossStride)) {
        slots_[s] = nullptr;  // not used by this mode
        continue;
      }
      slots_[s] = (inPlane ? (s < kHighK ? low : high) : cross) + offset;
      slotStride_[s] = inPlane ? planeStride : crossStride;
    }
  }
  for (int n = 0; n < 8; ++n) {
    cornerOffset_[n] = ((n >> 2) & 1) * planePoints_ + ((n >> 1) & 1) * static_cast<size_t>(nz_) + (n & 1);
  }
  if (mode != Polygonization::kBoxes && firstSlab > 0) {
    Slab<true>(firstSlab - 1);
    NextPlane();
  }
  for (int32_t i = firstSlab; i < endSlab; ++i) {
    Slab<false>(i);
    if (mode != Polygonization::kBoxes) NextPlane();
  }
}

template <bool kNumberOnly>
void SlabWalk::Slab(int32_t i) {
  const int32_t mode = settings_.polygonization;
  i_ = i;
  nextVertex_ = static_cast<int32_t>(plan_.vertexStart[i]);
  entry_ = plan_.entryStart[i];
  lowValid_ = static_cast<int32_t>(plan_.vertexStart[i > 0 ? i - 1 : 0]);
  slabValid_ = nextVertex_;
  int32_t* const crossed = scratch_.crossedCubes.data.get();
  size_t count = 0;
  ForEachCrossedCube(plan_.signs, i, [crossed, &count](int32_t j, int32_t k, int32_t caseIndex) {
    crossed[3 * count] = j;
    crossed[3 * count + 1] = k;
    crossed[3 * count + 2] = caseIndex;
    ++count;
  });
  // The slab's crossed cubes in order. Their lattice values, normals and
  // edge records are scattered over two planes: fetch them a few cubes
  // ahead so that the misses overlap.
  for (size_t c = 0; c < count; ++c) {
    if (!kNumberOnly && c + kPrefetchAhead < count) {
      Prefetch(crossed[3 * (c + kPrefetchAhead)], crossed[3 * (c + kPrefetchAhead) + 1]);
    }
    j_ = crossed[3 * c];
    k_ = crossed[3 * c + 1];
    base_ = static_cast<size_t>(i) * planePoints_ + static_cast<size_t>(j_) * nz_ + static_cast<size_t>(k_);
    const auto caseIndex = static_cast<unsigned>(crossed[3 * c + 2]);
    if (!kNumberOnly && plan_.tiled != nullptr) {
      // Seven in eight cubes lie inside one tile: its values are found once.
      constexpr int32_t kLast = kTileSide - 1;
      inOneTile_ = (i & kLast) != kLast && (j_ & kLast) != kLast && (k_ & kLast) != kLast;
      if (inOneTile_) {
        const size_t tile = plan_.tiled->TileOf(i, j_, k_);
        cubeField_ = plan_.tiled->FieldTile(tile);
        cubeNormals_ = plan_.tiled->NormalTile(tile);
        cubePoint_ = TilePoint(i, j_, k_);
      }
    }
    if (mode == Polygonization::kCubeTable) {
      PolygonizeCube<kNumberOnly>(caseIndex);
    } else if (mode == Polygonization::kTetrahedra) {
      PolygonizeTetrahedra<kNumberOnly>(caseIndex);
    } else {
      EmitCell();
    }
  }
  assert(nextVertex_ == plan_.vertexStart[i + 1]);
  assert(kNumberOnly || entry_ == plan_.entryStart[i + 1]);
}

template <bool kNumberOnly>
int32_t SlabWalk::EdgeVertex(int a, int b) {
  const EdgeRef ref = kEdgeRefs.pair[a][b];
  const bool low = ref.slot <= kLowYZ;
  // Numbering a slab after the first, whose first plane's edges the slab
  // before it made: nothing to number there, and no index is used.
  if (kNumberOnly && low && i_ > 0) return -1;
  const size_t point = static_cast<size_t>(j_ + ref.dj) * nz_ + static_cast<size_t>(k_ + ref.dk);
  int32_t& entry = slots_[ref.slot][point * slotStride_[ref.slot]];
  if (entry >= (low ? lowValid_ : slabValid_)) return entry;
  entry = nextVertex_++;
  if (!kNumberOnly) MakeVertex(a, b, entry);
  return entry;
}

// The vertex on the edge from corner a to corner b (one inside, one outside),
// interpolated in the direction the edge was asked for, written at `index`.
void SlabWalk::MakeVertex(int a, int b, int32_t index) {
  const size_t pa = base_ + cornerOffset_[a];
  const size_t pb = base_ + cornerOffset_[b];
  const TiledLattice* tiled = plan_.tiled;
  const int32_t ia = i_ + ((a >> 2) & 1), ja = j_ + ((a >> 1) & 1), ka = k_ + (a & 1);
  const int32_t ib = i_ + ((b >> 2) & 1), jb = j_ + ((b >> 1) & 1), kb = k_ + (b & 1);
  float fa, fb;
  if (tiled == nullptr) {
    fa = field_[pa];
    fb = field_[pb];
  } else if (inOneTile_) {
    fa = cubeField_ != nullptr ? cubeField_[cubePoint_ + TileCornerOffset(a)] : 0.0f;
    fb = cubeField_ != nullptr ? cubeField_[cubePoint_ + TileCornerOffset(b)] : 0.0f;
  } else {
    fa = tiled->Get(ia, ja, ka);
    fb = tiled->Get(ib, jb, kb);
  }
  // Nearly equal values would divide by a tiny difference and put the vertex
  // anywhere along (or off) the edge; the midpoint is as good as any there.
  const float t = NearlyEqual(fa, fb) ? 0.5f : (settings_.isovalue - fa) / (fb - fa);
  const float s = 1.0f - t;
  const Float3& cell = settings_.cellSize;
  const float ax = static_cast<float>(i_ + ((a >> 2) & 1)) * cell.x;
  const float ay = static_cast<float>(j_ + ((a >> 1) & 1)) * cell.y;
  const float az = static_cast<float>(k_ + (a & 1)) * cell.z;
  const float bx = static_cast<float>(i_ + ((b >> 2) & 1)) * cell.x;
  const float by = static_cast<float>(j_ + ((b >> 1) & 1)) * cell.y;
  const float bz = static_cast<float>(k_ + (b & 1)) * cell.z;
  const float px = s * ax + t * bx;
  const float py = s * ay + t * by;
  const float pz = s * az + t * bz;
  plan_.vertices[index] =
      XSI::MATH::CVector3(px - settings_.halfSize.x, py - settings_.halfSize.y, pz - settings_.halfSize.z);
  if (settings_.normalsOrUv) {
    Float3 na, nb;
    if (tiled != nullptr && inOneTile_) {
      const auto corner = [this](int n) {
        if (cubeNormals_ == nullptr) return Float3{0.0f, 0.0f, 0.0f};
        const float* v = cubeNormals_ + 3 * (cubePoint_ + TileCornerOffset(n));
        return Float3{v[0], v[1], v[2]};
      };
      na = corner(a);
      nb = corner(b);
    } else if (tiled != nullptr) {
      na = tiled->GetNormal(ia, ja, ka);
      nb = tiled->GetNormal(ib, jb, kb);
    } else {
      na = Float3{normals_[pa * 3], normals_[pa * 3 + 1], normals_[pa * 3 + 2]};
      nb = Float3{normals_[pb * 3], normals_[pb * 3 + 1], normals_[pb * 3 + 2]};
    }
    float nx = s * na.x + t * nb.x;
    float ny = s * na.y + t * nb.y;
    float nz = s * na.z + t * nb.z;
    if (settings_.uvSpace) ScaleToDominantUnit(nx, ny, nz);
    double* out = plan_.nodeValues + plan_.nodeBase + 3 * (static_cast<int64_t>(index) - plan_.vertexBase);
    out[0] = nx;
    out[1] = ny;
    out[2] = nz;
  }
}

// Cube-table polygons, each fanned from its first vertex.
template <bool kNumberOnly>
void SlabWalk::PolygonizeCube(unsigned caseIndex) {
  const CubeCase& c = cubeTable_.cases[caseIndex];
  for (int32_t p = 0; p < c.polygonCount; ++p) {
    const CubePolygon& polygon = c.polygons[p];
    int32_t apex = 0;
    int32_t previous = 0;
    for (int32_t n = 0; n < polygon.edgeCount; ++n) {
      const int e = polygon.edges[n];
      const int32_t v = EdgeVertex<kNumberOnly>(edgeCorner1[e], edgeCorner2[e]);
      if (n == 0) apex = v;
      if (!kNumberOnly && n >= 2) EmitTriangle(apex, previous, v);
      previous = v;
    }
  }
}

template <bool kNumberOnly>
void SlabWalk::PolygonizeTetrahedra(unsigned caseIndex) {
  bool positive[8];
  for (int n = 0; n < 8; ++n) positive[n] = ((caseIndex >> n) & 1u) != 0;
  for (const auto& q : kCubeTetrahedra) {
    PolygonizeTetrahedron(
        positive, q, [this](int a, int b) { return EdgeVertex<kNumberOnly>(a, b); },
        [this](int32_t t0, int32_t t1, int32_t t2) {
          if (!kNumberOnly) EmitTriangle(t0, t1, t2);
        });
  }
}

// One solid cell of the cube's size at the cube's centre.
void SlabWalk::EmitCell() {
  const Float3& cell = settings_.cellSize;
  const Float3& half = settings_.halfSize;
  const Float3 centre{static_cast<float>(i_) * cell.x - half.x + 0.5f * cell.x,
                      static_cast<float>(j_) * cell.y - half.y + 0.5f * cell.y,
                      static_cast<float>(k_) * cell.z - half.z + 0.5f * cell.z};
  const int32_t first = nextVertex_;
  nextVertex_ += kBoxCorners;
  WriteBox(plan_.vertices + first, plan_.polygons + entry_, first, centre, cell);
  entry_ += kBoxEntries;
}

}  // namespace

void ExtractSlabs(const ExtractionPlan& plan, SlabWalkScratch& scratch, int32_t firstSlab, int32_t endSlab) {
  SlabWalk(plan, scratch).Run(firstSlab, endSlab);
}
