// Surface extraction from the accumulated field: every lattice cube is
// classified against the iso value, each crossed lattice edge (or, with six
// tetrahedra per cube, crossed face or body diagonal) gets one shared vertex,
// and polygons are made per cube from the cube table, the tetrahedra or boxes.
//
// The output is that of a walk over every cube, i outermost and k innermost,
// that makes an edge's vertex the first time a cube asks for it. The walk here
// visits only cubes with corners on both sides of the iso value, found 64 at a
// time from packed sign bits, and finds an edge's vertex by direct addressing:
// a slab of cubes (planes i and i + 1) touches the edges within its two planes
// and those crossing between them, each kept in a table with one entry per
// lattice point of a plane.
//
// Measured on the 256^3 peer field (200 elements, 802,872 triangles), one
// thread of a shared 2-core machine: about 45 ms CPU without normals, 63 ms
// with, and about half the wall time of a flying-edges extraction run in the
// same session.

#include <algorithm>
#include <cmath>
#include <new>

#include "cubes/box_emitter.h"
#include "cubes/tetrahedra.h"
#include "grid/grid_polygonizer.h"
#include "xsi_application.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Edge tables of a slab, one record per lattice point (j, k) of a plane, at
// j * nz + k: one for plane i, one for plane i + 1 and one for the edges
// between them. A record holds the vertex indices of the edges that start
// at its point, side by side so that a cube's lookups share cache lines
// (the cube table uses only the axis edges, the tetrahedra all of them):
//   LowK, LowJ    plane i, edge (j, k)-(j, k+1) and (j, k)-(j+1, k)
//   LowYZ         plane i, diagonal (j+1, k)-(j, k+1)
//   HighK, HighJ, HighYZ   the same on plane i + 1
//   CrossI        (i, j, k)-(i+1, j, k)
//   CrossXY       (i, j+1, k)-(i+1, j, k)
//   CrossXZ       (i+1, j, k)-(i, j, k+1)
//   CrossBody     (i+1, j+1, k)-(i, j, k+1)
// The diagonals are the ones the six tetrahedra of a cube use; neighbouring
// cubes cut a shared face along the same diagonal.
enum Slot : int8_t {
  kLowK, kLowJ, kLowYZ, kHighK, kHighJ, kHighYZ, kCrossI, kCrossXY, kCrossXZ, kCrossBody, kSlotCount, kNoSlot = -1
};

// The edge between two cube corners: its slot and the (j, k) offset of the
// plane point it starts from, relative to the cube's (j, k).
struct EdgeRef {
  int8_t slot;
  int8_t dj;
  int8_t dk;
};

constexpr EdgeRef EdgeBetween(int a, int b) {
  const int ai = (a >> 2) & 1, aj = (a >> 1) & 1, ak = a & 1;
  const int bi = (b >> 2) & 1, bj = (b >> 1) & 1, bk = b & 1;
  if (a == b) return EdgeRef{kNoSlot, 0, 0};
  if (ai == bi) {
    const int8_t plane = ai == 0 ? 0 : 3;  // kLow* or kHigh*
    if (aj == bj) return EdgeRef{static_cast<int8_t>(plane + kLowK), static_cast<int8_t>(aj), 0};
    if (ak == bk) return EdgeRef{static_cast<int8_t>(plane + kLowJ), 0, static_cast<int8_t>(ak)};
    // (j+1, k)-(j, k+1): the corner with j set has k clear
    if ((aj == 1 && ak == 0) || (bj == 1 && bk == 0)) return EdgeRef{static_cast<int8_t>(plane + kLowYZ), 0, 0};
    return EdgeRef{kNoSlot, 0, 0};
  }
  // Corner on plane i (lo) and on plane i + 1 (hi).
  const int loJ = ai == 0 ? aj : bj, loK = ai == 0 ? ak : bk;
  const int hiJ = ai == 0 ? bj : aj, hiK = ai == 0 ? bk : ak;
  if (loJ == hiJ && loK == hiK) return EdgeRef{kCrossI, static_cast<int8_t>(loJ), static_cast<int8_t>(loK)};
  if (loK == hiK) return loJ == 1 ? EdgeRef{kCrossXY, 0, static_cast<int8_t>(loK)} : EdgeRef{kNoSlot, 0, 0};
  if (loJ == hiJ) return loK == 1 ? EdgeRef{kCrossXZ, static_cast<int8_t>(loJ), 0} : EdgeRef{kNoSlot, 0, 0};
  return loJ == 0 && loK == 1 ? EdgeRef{kCrossBody, 0, 0} : EdgeRef{kNoSlot, 0, 0};
}

struct EdgeRefTable {
  EdgeRef pair[8][8];
};

constexpr EdgeRefTable BuildEdgeRefTable() {
  EdgeRefTable t{};
  for (int a = 0; a < 8; ++a) {
    for (int b = 0; b < 8; ++b) t.pair[a][b] = EdgeBetween(a, b);
  }
  return t;
}

constexpr EdgeRefTable kEdgeRefs = BuildEdgeRefTable();

constexpr bool CoversCubeAndTetrahedronEdges() {
  for (int e = 0; e < 12; ++e) {
    if (kEdgeRefs.pair[edgeCorner1[e]][edgeCorner2[e]].slot == kNoSlot) return false;
  }
  for (const auto& q : kCubeTetrahedra) {
    for (const auto& ends : kTetraEdgeEnds) {
      if (kEdgeRefs.pair[q[ends[0]]][q[ends[1]]].slot == kNoSlot) return false;
    }
  }
  return true;
}
static_assert(CoversCubeAndTetrahedronEdges(), "every cube edge and tetrahedron edge has a slot");

// Sign bits of one lattice row: bit k of word k / 64 is set when point k lies
// strictly above the iso value (equal counts as outside, and so does NaN).
void ComputeRowSigns(const float* values, int32_t count, float iso, uint64_t* words) {
  int32_t k = 0;
  int32_t w = 0;
#if defined(__SSE2__)
  const __m128 level = _mm_set1_ps(iso);
  for (; k + 64 <= count; k += 64, ++w) {
    uint64_t bits = 0;
    for (int q = 0; q < 16; ++q) {
      const __m128 v = _mm_loadu_ps(values + k + 4 * q);
      bits |= static_cast<uint64_t>(_mm_movemask_ps(_mm_cmpgt_ps(v, level))) << (4 * q);
    }
    words[w] = bits;
  }
#endif
  for (; k < count; k += 64, ++w) {
    uint64_t bits = 0;
    const int32_t end = std::min(count - k, 64);
    for (int32_t b = 0; b < end; ++b) bits |= static_cast<uint64_t>(values[k + b] > iso) << b;
    words[w] = bits;
  }
}

// Bits k and k + 1 of a row as a 2-bit number (k + 1 may lie in the next word).
inline unsigned TwoBits(const uint64_t* row, int32_t k) {
  const int32_t w = k >> 6;
  const int b = k & 63;
  const unsigned low = static_cast<unsigned>(row[w] >> b) & 1u;
  const unsigned high = b == 63 ? static_cast<unsigned>(row[w + 1]) & 1u : static_cast<unsigned>(row[w] >> (b + 1)) & 1u;
  return low | (high << 1);
}

// A row's word w shifted down by one bit: bit k holds point k + 1.
inline uint64_t NextBits(const uint64_t* row, int32_t w, int32_t words) {
  return (row[w] >> 1) | (w + 1 < words ? row[w + 1] << 63 : 0);
}

// How many crossed cubes ahead the extraction fetches lattice data.
constexpr size_t kPrefetchAhead = 16;

class GridExtraction {
 public:
  GridExtraction(const Settings& settings, const CubeTable& cubeTable, const VoxelGrid& field,
                 const VoxelNormalGrid& normals, ExtractionScratch& scratch, MeshArrays& mesh)
      : settings_(settings),
        cubeTable_(cubeTable),
        scratch_(scratch),
        vertices_(mesh.vertices),
        polygons_(mesh.polygons),
        nodeValues_(mesh.nodeValues),
        field_(field.Data()),
        normals_(normals.Data()),
        nx_(field.Nx()),
        ny_(field.Ny()),
        nz_(field.Nz()),
        words_((nz_ + 63) / 64),
        planePoints_(static_cast<size_t>(ny_) * static_cast<size_t>(nz_)) {}

  // Throws std::bad_alloc when the scratch or the output cannot grow.
  void Run();

 private:
  int32_t EdgeVertex(int a, int b);
  int32_t MakeVertex(int a, int b);
  void EmitTriangle(int32_t t0, int32_t t1, int32_t t2) {
    polygons_.Add(3);
    polygons_.Add(t0);
    polygons_.Add(t1);
    polygons_.Add(t2);
  }
  void PolygonizeCube(unsigned caseIndex);
  void PolygonizeTetrahedra(unsigned caseIndex);
  void EmitCell();
  // Starts loading what cube (i_, j, k) of this slab will read. Always
  // inlined: GCC drops calls to a function that does nothing but prefetch.
  [[gnu::always_inline]] void Prefetch(int32_t j, int32_t k) const {
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

  const Settings& settings_;
  const CubeTable& cubeTable_;
  ExtractionScratch& scratch_;
  XSI::MATH::CVector3Array& vertices_;
  XSI::CLongArray& polygons_;
  XSI::CDoubleArray& nodeValues_;
  const float* field_;
  const float* normals_;
  const int32_t nx_, ny_, nz_;  // lattice points per axis
  const int32_t words_;         // sign words per lattice row
  const size_t planePoints_;
  size_t cornerOffset_[8] = {};  // lattice point offset of corner n from corner 0
  int32_t* slots_[kSlotCount] = {};  // first entry of the slot, in its table
  size_t slotStride_[kSlotCount] = {};  // entries per record of the slot's table
  // Entries below these vertex counts are left over from planes no longer in
  // use: an edge of plane i was made in slab i - 1 or i, an edge of plane
  // i + 1 or between the planes in slab i, and vertex indices only grow.
  int32_t lowValid_ = 0;
  int32_t slabValid_ = 0;
  // Current cube.
  int32_t i_ = 0, j_ = 0, k_ = 0;
  size_t base_ = 0;  // lattice point index of corner 0
};

void GridExtraction::Run() {
  const int32_t mode = settings_.polygonization;
  if (mode != Polygonization::kCubeTable && mode != Polygonization::kTetrahedra && mode != Polygonization::kBoxes) {
    return;  // no cube emits anything
  }
  const float iso = settings_.isovalue;

  // 1) scratch: the sign bits of two planes, the edge tables of a slab. Every
  //    entry starts below any valid vertex index.
  std::vector<uint64_t>& signs = scratch_.planeSigns;
  signs.assign(2 * static_cast<size_t>(ny_) * static_cast<size_t>(words_), 0);
  std::vector<int32_t>& edges = scratch_.edgeVertices;
  if (mode == Polygonization::kBoxes) {
    edges.clear();
  } else {
    // Records: plane (k, j[, yz]), between the planes (i[, xy, xz, body]).
    const size_t planeStride = mode == Polygonization::kCubeTable ? 2 : 3;
    const size_t crossStride = mode == Polygonization::kCubeTable ? 1 : 4;
    edges.assign((2 * planeStride + crossStride) * planePoints_, -1);
    int32_t* low = edges.data();
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
  uint64_t* lowSigns = signs.data();
  uint64_t* highSigns = signs.data() + static_cast<size_t>(ny_) * words_;
  for (int32_t j = 0; j < ny_; ++j) {
    ComputeRowSigns(field_ + static_cast<size_t>(j) * nz_, nz_, iso, lowSigns + static_cast<size_t>(j) * words_);
  }

  // 2) slab by slab
  const int32_t cubesK = nz_ - 1;
  for (int32_t i = 0; i + 1 < nx_; ++i) {
    i_ = i;
    const int32_t slabStart = vertices_.GetCount();
    lowValid_ = slabValid_;
    slabValid_ = slabStart;
    const float* highPlane = field_ + static_cast<size_t>(i + 1) * planePoints_;
    for (int32_t j = 0; j < ny_; ++j) {
      ComputeRowSigns(highPlane + static_cast<size_t>(j) * nz_, nz_, iso, highSigns + static_cast<size_t>(j) * words_);
    }
    std::vector<int32_t>& crossed = scratch_.crossedCubes;
    crossed.clear();
    for (int32_t j = 0; j + 1 < ny_; ++j) {
      const uint64_t* rowA = lowSigns + static_cast<size_t>(j) * words_;  // corners 0, 1
      const uint64_t* rowB = rowA + words_;                                // corners 2, 3
      const uint64_t* rowC = highSigns + static_cast<size_t>(j) * words_;  // corners 4, 5
      const uint64_t* rowD = rowC + words_;                                // corners 6, 7
      for (int32_t w = 0; w < words_; ++w) {
        // A cube is skipped when its eight corners lie on one side: the four
        // rows agree at k and at k + 1.
        const uint64_t all = rowA[w] & rowB[w] & rowC[w] & rowD[w];
        const uint64_t any = rowA[w] | rowB[w] | rowC[w] | rowD[w];
        const uint64_t allNext = NextBits(rowA, w, words_) & NextBits(rowB, w, words_) & NextBits(rowC, w, words_) &
                                 NextBits(rowD, w, words_);
        const uint64_t anyNext = NextBits(rowA, w, words_) | NextBits(rowB, w, words_) | NextBits(rowC, w, words_) |
                                 NextBits(rowD, w, words_);
        uint64_t mixed = ~((all & allNext) | (~any & ~anyNext));
        const int32_t first = w * 64;
        if (cubesK - first < 64) mixed &= cubesK - first <= 0 ? 0 : (uint64_t{1} << (cubesK - first)) - 1;
        while (mixed != 0) {
          const int32_t k = first + __builtin_ctzll(mixed);
          mixed &= mixed - 1;
          const int32_t caseIndex = static_cast<int32_t>(TwoBits(rowA, k) | (TwoBits(rowB, k) << 2) |
                                                         (TwoBits(rowC, k) << 4) | (TwoBits(rowD, k) << 6));
          crossed.insert(crossed.end(), {j, k, caseIndex});
        }
      }
    }
    // The slab's crossed cubes in order. Their lattice values, normals and
    // edge records are scattered over two planes: fetch them a few cubes
    // ahead so that the misses overlap.
    const size_t count = crossed.size() / 3;
    for (size_t c = 0; c < count; ++c) {
      if (c + kPrefetchAhead < count) Prefetch(crossed[3 * (c + kPrefetchAhead)], crossed[3 * (c + kPrefetchAhead) + 1]);
      j_ = crossed[3 * c];
      k_ = crossed[3 * c + 1];
      base_ = static_cast<size_t>(i) * planePoints_ + static_cast<size_t>(j_) * nz_ + static_cast<size_t>(k_);
      const auto caseIndex = static_cast<unsigned>(crossed[3 * c + 2]);
      if (mode == Polygonization::kCubeTable) {
        PolygonizeCube(caseIndex);
      } else if (mode == Polygonization::kTetrahedra) {
        PolygonizeTetrahedra(caseIndex);
      } else {
        EmitCell();
      }
    }
    // Plane i + 1 becomes the low plane of the next slab.
    std::swap(lowSigns, highSigns);
    if (mode != Polygonization::kBoxes) {
      std::swap(slots_[kLowK], slots_[kHighK]);
      std::swap(slots_[kLowJ], slots_[kHighJ]);
      std::swap(slots_[kLowYZ], slots_[kHighYZ]);
    }
  }
}

int32_t GridExtraction::EdgeVertex(int a, int b) {
  const EdgeRef ref = kEdgeRefs.pair[a][b];
  const size_t point = static_cast<size_t>(j_ + ref.dj) * nz_ + static_cast<size_t>(k_ + ref.dk);
  int32_t& entry = slots_[ref.slot][point * slotStride_[ref.slot]];
  if (entry >= (ref.slot <= kLowYZ ? lowValid_ : slabValid_)) return entry;
  entry = MakeVertex(a, b);
  return entry;
}

// The vertex on the edge from corner a to corner b (one inside, one outside),
// interpolated in the direction the edge was asked for.
int32_t GridExtraction::MakeVertex(int a, int b) {
  const size_t pa = base_ + cornerOffset_[a];
  const size_t pb = base_ + cornerOffset_[b];
  const float fa = field_[pa];
  const float fb = field_[pb];
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
  vertices_.Add(XSI::MATH::CVector3(px - settings_.halfSize.x, py - settings_.halfSize.y, pz - settings_.halfSize.z));
  if (settings_.normalsOrUv) {
    const float* na = normals_ + pa * 3;
    const float* nb = normals_ + pb * 3;
    float nx = s * na[0] + t * nb[0];
    float ny = s * na[1] + t * nb[1];
    float nz = s * na[2] + t * nb[2];
    if (settings_.uvSpace) ScaleToDominantUnit(nx, ny, nz);
    nodeValues_.Add(nx);
    nodeValues_.Add(ny);
    nodeValues_.Add(nz);
  }
  return vertices_.GetCount() - 1;
}

// Cube-table polygons, each fanned from its first vertex.
void GridExtraction::PolygonizeCube(unsigned caseIndex) {
  const CubeCase& c = cubeTable_.cases[caseIndex];
  for (int32_t p = 0; p < c.polygonCount; ++p) {
    const CubePolygon& polygon = c.polygons[p];
    int32_t apex = 0;
    int32_t previous = 0;
    for (int32_t n = 0; n < polygon.edgeCount; ++n) {
      const int e = polygon.edges[n];
      const int32_t v = EdgeVertex(edgeCorner1[e], edgeCorner2[e]);
      if (n == 0) apex = v;
      if (n >= 2) EmitTriangle(apex, previous, v);
      previous = v;
    }
  }
}

void GridExtraction::PolygonizeTetrahedra(unsigned caseIndex) {
  bool positive[8];
  for (int n = 0; n < 8; ++n) positive[n] = ((caseIndex >> n) & 1u) != 0;
  for (const auto& q : kCubeTetrahedra) {
    PolygonizeTetrahedron(
        positive, q, [this](int a, int b) { return EdgeVertex(a, b); },
        [this](int32_t t0, int32_t t1, int32_t t2) { EmitTriangle(t0, t1, t2); });
  }
}

// One solid cell of the cube's size at the cube's centre.
void GridExtraction::EmitCell() {
  const Float3& cell = settings_.cellSize;
  const Float3& half = settings_.halfSize;
  const Float3 centre{static_cast<float>(i_) * cell.x - half.x + 0.5f * cell.x,
                      static_cast<float>(j_) * cell.y - half.y + 0.5f * cell.y,
                      static_cast<float>(k_) * cell.z - half.z + 0.5f * cell.z};
  EmitBox(vertices_, polygons_, centre, cell);
}

}  // namespace

void GridPolygonizer::ExtractAndCache(const Settings& settings, const CubeTable& cubeTable, MeshArrays& mesh,
                                      const bool& writeCache) {
  // Nothing to extract from lattices that are not in place for this
  // resolution (a failed allocation): no surface and no cache file, so a
  // good file of this frame is not replaced by an empty one.
  const int64_t nx = static_cast<int64_t>(settings.resolution.x) + 1;
  const int64_t ny = static_cast<int64_t>(settings.resolution.y) + 1;
  const int64_t nz = static_cast<int64_t>(settings.resolution.z) + 1;
  if (!ready || nx > INT32_MAX || ny > INT32_MAX || nz > INT32_MAX) return;
  const auto x = static_cast<int32_t>(nx), y = static_cast<int32_t>(ny), z = static_cast<int32_t>(nz);
  if (!accumulatedField.HasDimensions(x, y, z) || !accumulatedNormals.HasDimensions(x, y, z)) return;

  try {
    GridExtraction(settings, cubeTable, accumulatedField, accumulatedNormals, extractionScratch, mesh).Run();
  } catch (const std::bad_alloc&) {
    mesh.Clear();
    XSI::Application().LogMessage(settings.fullName + L" Voxel grid surface -> not enough memory.", XSI::siInfoMsg);
    return;
  }

  if (writeCache && settings.mode == Mode::kWriteCache && settings.cacheUsable) WriteGridCache(settings, mesh);
}
