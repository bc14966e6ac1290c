// One frame of the voxel-grid simulation: splat the elements into the sampled
// lattices, then relax the accumulated lattices toward them.
//
// Every lattice point sees the operations of a plain element-by-element pass
// in the same order (its clearing, each element's contribution in array
// order, its relaxation), so the lattices come out bit for bit the same; what
// changes is how little is visited and how much stays in cache:
// - the lattice is worked through in tiles of a few planes and rows, small
//   enough to stay in the second-level cache: clear the tile's sampled
//   values, splat every element's part of it, relax it, then the next tile;
// - each element is planned once per step (its index box, its path, its
//   rotation matrices), and a slab of planes visits only the elements whose
//   boxes reach it, kept in array order by merging as the slabs advance;
// - unrotated elements with finite data take a row-wise path that forms the
//   x and y terms once per row and the z terms once per element and tile,
//   and, for the compact kernel, skips rows where every contribution is
//   exactly zero and works four points at a time;
// - rotated elements apply their rotation matrices inline, with exactly the
//   arithmetic of the host's CVector3::MulByTransformationInPlace, the terms
//   that depend only on the row formed once per row.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "front/operator_instance.h"
#include "grid/grid_polygonizer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using ElementSplat = GridPolygonizer::ElementSplat;

constexpr float kNearZero = 0.00001f;  // nearest float to 1e-5
// A tile of the step: two lattice planes and as many rows as keep the tile's
// sampled values (16 bytes a point) within 256 KB.
constexpr int32_t kSlabPlanes = 2;
constexpr size_t kTileBytes = 256 * 1024;
// Elements planned at a time when the step's plan cannot be allocated.
constexpr int32_t kBatchElements = 64;
// Points per chunk of a splat row.
constexpr int32_t kSplatChunk = 256;

// How an element is splatted.
enum SplatPath : int32_t {
  kAxisAligned = 0,  // unrotated, every scaled offset of its box finite: row-wise shortcuts
  kRotated = 1,      // rotated, finite data and rotations: per point, rotation applied inline
  kGeneral = 2,      // anything else: the per-point recipe with the host's rotations
};

bool IsFinite3(const Float3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Lattice index range of an element per axis, both ends inclusive.
struct IndexBox {
  Int3 low;
  Int3 high;
};

// The lattice points an element can reach: its scaled extent around its
// centre, in cells, rounded to the nearest index and clamped to the lattice.
// RoundToInt clamps values beyond int32 and maps NaN to 0, so the clamped box
// always lies inside the lattice (a NaN extent collapses onto index 0).
IndexBox ElementIndexBox(const OperatorInstance& in, const MetaElement& e) {
  const float m = 1.5f * std::max(std::max(std::fabs(e.scale.x), std::fabs(e.scale.y)), std::fabs(e.scale.z));
  const float extent = e.shape == ElementShape::Sphere || e.shape == ElementShape::Cube
                           ? m * std::fabs(e.radius)
                           : m * std::max(std::fabs(e.radius), 0.5f * std::fabs(e.height));
  float ex = extent * in.inverseCellSize.x;
  float ey = extent * in.inverseCellSize.y;
  float ez = extent * in.inverseCellSize.z;
  if (in.blendingModel == 0 || in.blendingModel == 2) {
    ex *= in.volumeScale;
    ey *= in.volumeScale;
    ez *= in.volumeScale;
  }
  if (in.isovalue < 1.0f) {
    // A lower threshold reaches further out.
    ex *= in.inverseIsovalue;
    ey *= in.inverseIsovalue;
    ez *= in.inverseIsovalue;
  }
  const float cx = (in.halfSize.x + e.centre.x) * in.inverseCellSize.x;
  const float cy = (in.halfSize.y + e.centre.y) * in.inverseCellSize.y;
  const float cz = (in.halfSize.z + e.centre.z) * in.inverseCellSize.z;
  IndexBox box{{RoundToInt(cx - ex), RoundToInt(cy - ey), RoundToInt(cz - ez)},
               {RoundToInt(cx + ex), RoundToInt(cy + ey), RoundToInt(cz + ez)}};
  const auto clamp = [](int32_t v, int32_t top) { return v < 0 ? 0 : v > top ? top : v; };
  box.low = Int3{clamp(box.low.x, in.resolution.x), clamp(box.low.y, in.resolution.y),
                 clamp(box.low.z, in.resolution.z)};
  box.high = Int3{clamp(box.high.x, in.resolution.x), clamp(box.high.y, in.resolution.y),
                  clamp(box.high.z, in.resolution.z)};
  return box;
}

// Per-axis terms of the distance measure. Sphere x^2 + y^2 + z^2, Cube
// x^4 + y^4 + z^4, Cylinder x^2 + y^4 + z^2 (y along the axis); fourth powers
// as three successive multiplications. The sum is formed (x + y) + z.
template <int Shape>
inline float TermX(float x) {
  return Shape == 1 ? x * x * x * x : x * x;
}
template <int Shape>
inline float TermY(float y) {
  return Shape == 0 ? y * y : y * y * y * y;
}
template <int Shape>
inline float TermZ(float z) {
  return Shape == 1 ? z * z * z * z : z * z;
}

// value when keep, else +0; written with a bit mask so that the splat loops
// need no branch and vectorize (the compiler will not turn a branch around
// floating-point arithmetic into a select).
inline float KeepIf(bool keep, float value) {
  const uint32_t mask = 0u - static_cast<uint32_t>(keep);
  return std::bit_cast<float>(std::bit_cast<uint32_t>(value) & mask);
}

// The measure of the model 1 normal factor's cut-off test: d^1.5.
inline float NormalMeasure(float d) { return d * std::sqrt(d); }

// Kernel (before the weight) and normal factor of one lattice point at measure d.
//  Model 0, inverse square: radius^2 / d for spheres and cylinders and
//    (radius^2)^2 / d for cubes, with a measure below 1e-5 replaced by radius
//    (radius^2 for cubes, unlike the field function, whose cube guard uses
//    radius). Normal factor radius / d'^2, d' the replaced measure, replaced
//    by radius again if still below 1e-5.
//  Model 1, polynomial 16 (d^2 + 0.25 - d) = 4 (1 - 2d)^2 below d = 0.5;
//    its normal factor takes s = d^1.5 in place of d, so it reaches a little
//    further (to d = 0.63) than the kernel.
//  Model 2, exponential e^-d for d > 0 while it stays below 1.
template <int Model, int Shape>
inline float Kernel(float& d, float radius) {
  if constexpr (Model == 0) {
    d = d < kNearZero ? (Shape == 1 ? radius * radius : radius) : d;
    return Shape == 1 ? ((radius * radius) * (radius * radius)) / d : (radius * radius) / d;
  } else if constexpr (Model == 1) {
    return KeepIf(d < 0.5f, (d * d + (0.25f - d)) * 16.0f);
  } else {
    if (!(d > 0.0f)) return 0.0f;
    const float t = std::exp(-d);
    return t < 1.0f ? t : 0.0f;
  }
}

// d is the measure as Kernel left it.
template <int Model>
inline float NormalFactor(float d, float radius) {
  if constexpr (Model == 0) {
    d = d < kNearZero ? radius : d;
    return radius / (d * d);
  } else if constexpr (Model == 1) {
    const float s = NormalMeasure(d);
    return KeepIf(s < 0.5f, (s * s + (0.25f - s)) * 16.0f);
  } else {
    if (!(d > 0.0f)) return 0.0f;
    const float t = std::exp(-d);
    return t > 0.0f && t < 1.0f ? t : 0.0f;
  }
}

// A host transformation as plain numbers: scaling, rotation matrix (row
// convention, m[row][column]) and translation.
struct Transform {
  double s[3];
  double m[3][3];
  double t[3];
};
static_assert(sizeof(Transform) == 15 * sizeof(double), "a transformation is 15 doubles");
constexpr size_t kRotationDoubles = 2 * sizeof(Transform) / sizeof(double);

void StoreTransform(const XSI::MATH::CTransformation& from, double* to) {
  Transform t{};
  const XSI::MATH::CVector3 s = from.GetScaling();
  const XSI::MATH::CVector3 p = from.GetTranslation();
  const XSI::MATH::CRotation& r = from.Rotation();
  t.s[0] = s.GetX();
  t.s[1] = s.GetY();
  t.s[2] = s.GetZ();
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) t.m[row][column] = r.Get(row, column);
  }
  t.t[0] = p.GetX();
  t.t[1] = p.GetY();
  t.t[2] = p.GetZ();
  std::memcpy(to, &t, sizeof t);
}

// The element's rotation and the inverse used for its gradient, as stored by
// PlanElement.
struct ElementRotation {
  Transform forward;
  Transform inverse;
};

// The part of v = ((v * S) * R) + T that depends on x and y only, per output
// axis: x*s0*m0c + y*s1*m1c. CVector3::MulByTransformationInPlace sums
// ((x' m0c + y' m1c) + z' m2c) + tc left to right, so this partial sum is the
// same number whichever z follows.
struct RowPartial {
  double c[3];
};

inline RowPartial PartialXY(const Transform& t, float x, float y) {
  const double sx = static_cast<double>(x) * t.s[0];
  const double sy = static_cast<double>(y) * t.s[1];
  return RowPartial{{sx * t.m[0][0] + sy * t.m[1][0], sx * t.m[0][1] + sy * t.m[1][1], sx * t.m[0][2] + sy * t.m[1][2]}};
}

// Completes the transformation of (x, y, z) from its row partial sums; the
// components are rounded to float as the sampler reads them back.
inline void CompleteZ(const Transform& t, const RowPartial& row, float z, float& x, float& y, float& zOut) {
  const double sz = static_cast<double>(z) * t.s[2];
  x = static_cast<float>(row.c[0] + sz * t.m[2][0] + t.t[0]);
  y = static_cast<float>(row.c[1] + sz * t.m[2][1] + t.t[1]);
  zOut = static_cast<float>(row.c[2] + sz * t.m[2][2] + t.t[2]);
}

// The whole transformation of (x, y, z), as MulByTransformationInPlace forms it.
inline void Apply(const Transform& t, float& x, float& y, float& z) {
  const RowPartial row = PartialXY(t, x, y);
  CompleteZ(t, row, z, x, y, z);
}

// The least float d >= 0 at which the model 1 normal factor is zero, that is
// NormalMeasure(d) < 0.5 fails: a little above 0.5^(2/3) = 0.62996. The test
// is monotone in d (a correctly rounded square root and product of
// non-negative numbers), so it fails exactly from here on.
float NormalCutoff() {
  // Bisection over the bit patterns of positive floats, which order as the
  // floats do: the test holds at 0.5 (0.35) and fails at 0.64 (0.512).
  uint32_t holds = std::bit_cast<uint32_t>(0.5f);
  uint32_t fails = std::bit_cast<uint32_t>(0.64f);
  while (fails - holds > 1) {
    const uint32_t middle = holds + (fails - holds) / 2;
    if (NormalMeasure(std::bit_cast<float>(middle)) < 0.5f) {
      holds = middle;
    } else {
      fails = middle;
    }
  }
  return std::bit_cast<float>(fails);
}

// The measure from which a model 1 point adds nothing: a zero kernel from
// 0.5 on and, with normals, a zero normal factor from NormalCutoff() on
// (measures are sums of squares and fourth powers, never negative).
float ModelOneReach(bool normals) { return normals ? std::max(0.5f, NormalCutoff()) : 0.5f; }

// Shared state of one SimulateStep.
struct StepContext {
  GridPolygonizer& grid;
  const OperatorInstance& in;
  const MetaElement* elements;
  float* sampled;
  float* sampledNormal;
  int32_t ny;
  int32_t nz;
  bool trackRows;
  float modelOneReach;  // ModelOneReach for this step's normals setting
};

inline void MarkRow(const StepContext& c, size_t row, int32_t low, int32_t high) {
  if (!c.trackRows) return;
  int32_t& rowLow = c.grid.sampledRowLow[row];
  int32_t& rowHigh = c.grid.sampledRowHigh[row];
  if (low < rowLow) rowLow = low;
  if (high > rowHigh) rowHigh = high;
}

// Element constants of the row-wise splat.
struct AxisAlignedElement {
  Float3 rel;  // element centre relative to the box's minimum corner
  Float3 af;   // axis factors
  float weight;
  float radius;
};

#if defined(__SSE2__)
// Adds four gradient vectors, given as one vector per axis, to the four
// three-float points at p: shuffled into the points' x, y, z order, then
// one addition per value.
inline void AddInterleaved(__m128 x, __m128 y, __m128 z, float* p) {
  const __m128 xy01 = _mm_unpacklo_ps(x, y);                           // x0 y0 x1 y1
  const __m128 xy23 = _mm_unpackhi_ps(x, y);                           // x2 y2 x3 y3
  const __m128 zx = _mm_shuffle_ps(z, x, _MM_SHUFFLE(1, 1, 0, 0));     // z0 z0 x1 x1
  const __m128 yz = _mm_shuffle_ps(y, z, _MM_SHUFFLE(1, 1, 1, 1));     // y1 y1 z1 z1
  const __m128 zz = _mm_shuffle_ps(z, xy23, _MM_SHUFFLE(3, 2, 3, 2));  // z2 z3 x3 y3
  const __m128 v0 = _mm_shuffle_ps(xy01, zx, _MM_SHUFFLE(2, 0, 1, 0));  // x0 y0 z0 x1
  const __m128 v1 = _mm_shuffle_ps(yz, xy23, _MM_SHUFFLE(1, 0, 2, 0));  // y1 z1 x2 y2
  const __m128 v2 = _mm_shuffle_ps(zz, zz, _MM_SHUFFLE(1, 3, 2, 0));    // z2 x3 y3 z3
  _mm_storeu_ps(p, _mm_add_ps(_mm_loadu_ps(p), v0));
  _mm_storeu_ps(p + 4, _mm_add_ps(_mm_loadu_ps(p + 4), v1));
  _mm_storeu_ps(p + 8, _mm_add_ps(_mm_loadu_ps(p + 8), v2));
}
#endif

// Adds the gradient contributions (px, py, pz[m]) * g[m] * af of `count`
// points to the three-float points n[3m .. 3m + 2].
inline void AddGradients(const AxisAlignedElement& a, float px, float py, const float* pz, const float* g,
                         int32_t count, float* n) {
  int32_t m = 0;
#if defined(__SSE2__)
  // Four points at a time: the three products per point as one vector per
  // axis, interleaved into the points' x, y, z order with shuffles. Each
  // value is still one product chain and one addition.
  const __m128 pxv = _mm_set1_ps(px);
  const __m128 pyv = _mm_set1_ps(py);
  const __m128 afx = _mm_set1_ps(a.af.x);
  const __m128 afy = _mm_set1_ps(a.af.y);
  const __m128 afz = _mm_set1_ps(a.af.z);
  for (; m + 4 <= count; m += 4) {
    const __m128 gv = _mm_loadu_ps(g + m);
    const __m128 x = _mm_mul_ps(_mm_mul_ps(pxv, gv), afx);
    const __m128 y = _mm_mul_ps(_mm_mul_ps(pyv, gv), afy);
    const __m128 z = _mm_mul_ps(_mm_mul_ps(_mm_loadu_ps(pz + m), gv), afz);
    AddInterleaved(x, y, z, n + 3 * m);
  }
#endif
  for (; m < count; ++m) {
    n[3 * m + 0] += px * g[m] * a.af.x;
    n[3 * m + 1] += py * g[m] * a.af.y;
    n[3 * m + 2] += pz[m] * g[m] * a.af.z;
  }
}

// Adds one row's contributions at `count` points: measure d = txy + tz[m],
// kernel times the weight into f[m] and, with normals, the gradient
// (px, py, pz[m]) * g * af into n[3m .. 3m + 2].
template <int Model, int Shape, bool Normals>
inline void SplatRow(const AxisAlignedElement& a, float px, float py, float txy, const float* tz, const float* pz,
                     int32_t count, float* f, float* n) {
  const float g0 = a.weight * 2.0f;
  float g[kSplatChunk];
  for (int32_t m = 0; m < count; ++m) {
    float d = txy + tz[m];
    f[m] += Kernel<Model, Shape>(d, a.radius) * a.weight;
    if constexpr (Normals) g[m] = g0 * NormalFactor<Model>(d, a.radius);
  }
  if constexpr (Normals) AddGradients(a, px, py, pz, g, count, n);
}

#if defined(__SSE2__)
// Model 1 row splat, four points at a time over `padded` points (a multiple
// of four): the kernel and normal factor of the scalar code, lane by lane,
// with the same operations in the same order (a cut-off is a mask on the
// value, as KeepIf). Points past the row's last are padded with an infinite
// z term and a zero z offset: they add a zero kernel and a zero gradient.
template <bool Normals>
inline void SplatRowModelOne(const AxisAlignedElement& a, float px, float py, float txy, const float* tz,
                             const float* pz, int32_t padded, float* f, float* n) {
  const __m128 txyv = _mm_set1_ps(txy);
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128 quarter = _mm_set1_ps(0.25f);
  const __m128 sixteen = _mm_set1_ps(16.0f);
  const __m128 weight = _mm_set1_ps(a.weight);
  const __m128 g0 = _mm_set1_ps(a.weight * 2.0f);
  const __m128 pxv = _mm_set1_ps(px);
  const __m128 pyv = _mm_set1_ps(py);
  const __m128 afx = _mm_set1_ps(a.af.x);
  const __m128 afy = _mm_set1_ps(a.af.y);
  const __m128 afz = _mm_set1_ps(a.af.z);
  for (int32_t m = 0; m < padded; m += 4) {
    const __m128 d = _mm_add_ps(txyv, _mm_loadu_ps(tz + m));
    const __m128 kernel = _mm_and_ps(_mm_cmplt_ps(d, half),
                                     _mm_mul_ps(_mm_add_ps(_mm_mul_ps(d, d), _mm_sub_ps(quarter, d)), sixteen));
    _mm_storeu_ps(f + m, _mm_add_ps(_mm_loadu_ps(f + m), _mm_mul_ps(kernel, weight)));
    if constexpr (Normals) {
      const __m128 s = _mm_mul_ps(d, _mm_sqrt_ps(d));
      const __m128 factor = _mm_and_ps(_mm_cmplt_ps(s, half),
                                       _mm_mul_ps(_mm_add_ps(_mm_mul_ps(s, s), _mm_sub_ps(quarter, s)), sixteen));
      const __m128 g = _mm_mul_ps(g0, factor);
      const __m128 x = _mm_mul_ps(_mm_mul_ps(pxv, g), afx);
      const __m128 y = _mm_mul_ps(_mm_mul_ps(pyv, g), afy);
      const __m128 z = _mm_mul_ps(_mm_mul_ps(_mm_loadu_ps(pz + m), g), afz);
      AddInterleaved(x, y, z, n + 3 * m);
    }
  }
}
#endif

// Splat of an unrotated element whose scaled offsets are finite over its
// box. Each row forms its x and y terms once; the z offsets and terms are
// formed once for all rows (in chunks when the box is wide), exactly as the
// per-point formula forms them. Model 1 skips a row whose smallest measure
// reaches the cut-off (ModelOneReach): every point of it adds a zero kernel
// and, its offsets being finite, a zero gradient, which changes no lattice
// value (the sampled lattices start at +0 and never hold -0).
//
// Model 1 rows go four points at a time. The last group may reach up to
// three points past the box's end along k, as long as they lie in the same
// row: those points get an infinite z term, hence exactly zero contributions
// (a row of the tile being worked on has been cleared, so such a point holds
// a sum or +0, never -0, and adding a zero leaves it as it is).
template <int Model, int Shape, bool Normals>
void SplatAxisAligned(const StepContext& c, const ElementSplat& e, const IndexBox& box) {
  const OperatorInstance& in = c.in;
  const float cellZ = in.cellSize.z;
  const AxisAlignedElement a{
      Float3{in.halfSize.x + e.centre.x, in.halfSize.y + e.centre.y, in.halfSize.z + e.centre.z}, e.axisFactor,
      e.weight, e.radius};
  const float reach = c.modelOneReach;
  const int32_t width = box.high.z - box.low.z + 1;
  float tz[kSplatChunk + 3];
  float pz[kSplatChunk + 3];
  for (int32_t chunk = 0; chunk < width; chunk += kSplatChunk) {
    const int32_t chunkWidth = std::min(kSplatChunk, width - chunk);
    const int32_t chunkLow = box.low.z + chunk;
    float tzLeast = std::numeric_limits<float>::infinity();
    for (int32_t m = 0; m < chunkWidth; ++m) {
      pz[m] = (static_cast<float>(chunkLow + m) * cellZ - a.rel.z) * a.af.z;
      tz[m] = TermZ<Shape>(pz[m]);
      tzLeast = std::min(tzLeast, tz[m]);
    }
    const int32_t padded = (chunkWidth + 3) / 4 * 4;
    for (int32_t m = chunkWidth; m < padded; ++m) {
      tz[m] = std::numeric_limits<float>::infinity();
      pz[m] = 0.0f;
    }
#if defined(__SSE2__)
    const bool grouped = Model == 1 && chunkLow + padded <= c.nz;
#else
    const bool grouped = false;
#endif
    for (int32_t i = box.low.x; i <= box.high.x; ++i) {
      const float px = (static_cast<float>(i) * in.cellSize.x - a.rel.x) * a.af.x;
      const float tx = TermX<Shape>(px);
      for (int32_t j = box.low.y; j <= box.high.y; ++j) {
        const float py = (static_cast<float>(j) * in.cellSize.y - a.rel.y) * a.af.y;
        const float txy = tx + TermY<Shape>(py);
        // txy + tz[m] >= txy + tzLeast for every m: rounding is monotone.
        if (Model == 1 && !(txy + tzLeast < reach)) continue;
        const size_t row = static_cast<size_t>(i) * static_cast<size_t>(c.ny) + static_cast<size_t>(j);
        const size_t first = row * static_cast<size_t>(c.nz) + static_cast<size_t>(chunkLow);
        MarkRow(c, row, chunkLow, chunkLow + chunkWidth - 1);
#if defined(__SSE2__)
        if (grouped) {
          SplatRowModelOne<Normals>(a, px, py, txy, tz, pz, padded, c.sampled + first, c.sampledNormal + first * 3);
          continue;
        }
#endif
        SplatRow<Model, Shape, Normals>(a, px, py, txy, tz, pz, chunkWidth, c.sampled + first,
                                        c.sampledNormal + first * 3);
      }
    }
  }
}

// The per-point recipe written out in full, with the host's rotations (the
// grid's rotation members hold this element's): for data that is not finite.
template <int Model, int Shape>
void SplatGeneral(const StepContext& c, const MetaElement& e, const IndexBox& box) {
  GridPolygonizer& grid = c.grid;
  const OperatorInstance& in = c.in;
  const bool normals = in.normalsOrUv;
  const bool rotated = grid.rotated;
  const Float3 rel{in.halfSize.x + e.centre.x, in.halfSize.y + e.centre.y, in.halfSize.z + e.centre.z};
  XSI::MATH::CVector3 scratch;
  for (int32_t i = box.low.x; i <= box.high.x; ++i) {
    for (int32_t j = box.low.y; j <= box.high.y; ++j) {
      const size_t row = static_cast<size_t>(i) * static_cast<size_t>(c.ny) + static_cast<size_t>(j);
      MarkRow(c, row, box.low.z, box.high.z);
      for (int32_t k = box.low.z; k <= box.high.z; ++k) {
        // 1) local offset: lattice point minus element centre, into the element's axes
        float px = static_cast<float>(i) * in.cellSize.x - rel.x;
        float py = static_cast<float>(j) * in.cellSize.y - rel.y;
        float pz = static_cast<float>(k) * in.cellSize.z - rel.z;
        if (rotated) {
          scratch.Set(px, py, pz);
          scratch.MulByTransformationInPlace(grid.elementRotation);
          px = static_cast<float>(scratch.GetX());
          py = static_cast<float>(scratch.GetY());
          pz = static_cast<float>(scratch.GetZ());
        }
        px = px * e.axisFactor.x;
        py = py * e.axisFactor.y;
        pz = pz * e.axisFactor.z;
        // 2) measure and kernel
        float d = TermX<Shape>(px) + TermY<Shape>(py) + TermZ<Shape>(pz);
        const float kernel = Kernel<Model, Shape>(d, e.radius);
        const size_t point = row * static_cast<size_t>(c.nz) + static_cast<size_t>(k);
        c.sampled[point] += kernel * e.weight;
        if (!normals) continue;
        // 3) gradient contribution, rotated back into the box's axes
        const float g = e.weight * 2.0f * NormalFactor<Model>(d, e.radius);
        float qx = px * g * e.axisFactor.x;
        float qy = py * g * e.axisFactor.y;
        float qz = pz * g * e.axisFactor.z;
        if (rotated) {
          scratch.Set(qx, qy, qz);
          scratch.MulByTransformationInPlace(grid.inverseRotation);
          qx = static_cast<float>(scratch.GetX());
          qy = static_cast<float>(scratch.GetY());
          qz = static_cast<float>(scratch.GetZ());
        }
        c.sampledNormal[point * 3 + 0] += qx;
        c.sampledNormal[point * 3 + 1] += qy;
        c.sampledNormal[point * 3 + 2] += qz;
      }
    }
  }
}

// Splat of a rotated element with finite data and rotations, point by point.
// The rotation is applied with the host's arithmetic, its terms in x and y
// formed once per row.
template <int Model, int Shape>
void SplatRotated(const StepContext& c, const ElementSplat& e, const IndexBox& box, const ElementRotation* rotation) {
  const OperatorInstance& in = c.in;
  const bool normals = in.normalsOrUv;
  const Float3 rel{in.halfSize.x + e.centre.x, in.halfSize.y + e.centre.y, in.halfSize.z + e.centre.z};
  for (int32_t i = box.low.x; i <= box.high.x; ++i) {
    const float x = static_cast<float>(i) * in.cellSize.x - rel.x;
    for (int32_t j = box.low.y; j <= box.high.y; ++j) {
      const float y = static_cast<float>(j) * in.cellSize.y - rel.y;
      const RowPartial partial = PartialXY(rotation->forward, x, y);
      const size_t row = static_cast<size_t>(i) * static_cast<size_t>(c.ny) + static_cast<size_t>(j);
      MarkRow(c, row, box.low.z, box.high.z);
      for (int32_t k = box.low.z; k <= box.high.z; ++k) {
        // 1) local offset: lattice point minus element centre, into the element's axes
        float px = x;
        float py = y;
        float pz = static_cast<float>(k) * in.cellSize.z - rel.z;
        CompleteZ(rotation->forward, partial, pz, px, py, pz);
        px = px * e.axisFactor.x;
        py = py * e.axisFactor.y;
        pz = pz * e.axisFactor.z;
        // 2) measure and kernel
        float d = TermX<Shape>(px) + TermY<Shape>(py) + TermZ<Shape>(pz);
        const float kernel = Kernel<Model, Shape>(d, e.radius);
        const size_t point = row * static_cast<size_t>(c.nz) + static_cast<size_t>(k);
        c.sampled[point] += kernel * e.weight;
        if (!normals) continue;
        // 3) gradient contribution, rotated back into the box's axes
        const float g = e.weight * 2.0f * NormalFactor<Model>(d, e.radius);
        float qx = px * g * e.axisFactor.x;
        float qy = py * g * e.axisFactor.y;
        float qz = pz * g * e.axisFactor.z;
        Apply(rotation->inverse, qx, qy, qz);
        c.sampledNormal[point * 3 + 0] += qx;
        c.sampledNormal[point * 3 + 1] += qy;
        c.sampledNormal[point * 3 + 2] += qz;
      }
    }
  }
}

template <int Model, int Shape>
void SplatShape(const StepContext& c, const ElementSplat& e, const IndexBox& box, const ElementRotation* rotation,
                int32_t path) {
  if (path == kGeneral) {
    SplatGeneral<Model, Shape>(c, c.elements[e.element], box);
  } else if (path == kRotated) {
    SplatRotated<Model, Shape>(c, e, box, rotation);
  } else if (c.in.normalsOrUv) {
    SplatAxisAligned<Model, Shape, true>(c, e, box);
  } else {
    SplatAxisAligned<Model, Shape, false>(c, e, box);
  }
}

template <int Model>
void SplatModel(const StepContext& c, const ElementSplat& e, const IndexBox& box, const ElementRotation* rotation,
                int32_t path) {
  switch (e.shape) {
    case ElementShape::Sphere: SplatShape<Model, 0>(c, e, box, rotation, path); break;
    case ElementShape::Cube: SplatShape<Model, 1>(c, e, box, rotation, path); break;
    case ElementShape::Cylinder: SplatShape<Model, 2>(c, e, box, rotation, path); break;
    default: break;  // an unknown shape gives no point anything
  }
}

bool IsRotated(const MetaElement& e) {
  return !(NearlyEqual(e.inverseAngles.x, 0.0f) && NearlyEqual(e.inverseAngles.y, 0.0f) &&
           NearlyEqual(e.inverseAngles.z, 0.0f));
}

// The element's rotation (Euler angles applied Z, Y, X: order 5) and, for the
// gradient, its inverse (the negated angles applied X, Y, Z: order 0).
void SetElementRotation(GridPolygonizer& grid, const OperatorInstance& in, const MetaElement& e) {
  grid.rotated = IsRotated(e);
  if (!grid.rotated) return;
  grid.elementRotation.PutRotationOrder(static_cast<XSI::LONG>(5));
  grid.elementRotation.SetRotationFromXYZAngles(
      XSI::MATH::CVector3(e.inverseAngles.x, e.inverseAngles.y, e.inverseAngles.z));
  if (in.normalsOrUv) {
    grid.inverseRotation.PutRotationOrder(static_cast<XSI::LONG>(0));
    grid.inverseRotation.SetRotationFromXYZAngles(
        XSI::MATH::CVector3(-e.inverseAngles.x, -e.inverseAngles.y, -e.inverseAngles.z));
  }
}

// True when the scaled offset of every lattice point of the box is finite on
// every axis. Each offset is monotone along its axis, so the box's ends decide.
bool OffsetsFinite(const OperatorInstance& in, const MetaElement& e, const IndexBox& box) {
  const auto axis = [](int32_t low, int32_t high, float cell, float half, float centre, float factor) {
    const float rel = half + centre;
    return std::isfinite((static_cast<float>(low) * cell - rel) * factor) &&
           std::isfinite((static_cast<float>(high) * cell - rel) * factor);
  };
  return axis(box.low.x, box.high.x, in.cellSize.x, in.halfSize.x, e.centre.x, e.axisFactor.x) &&
         axis(box.low.y, box.high.y, in.cellSize.y, in.halfSize.y, e.centre.y, e.axisFactor.y) &&
         axis(box.low.z, box.high.z, in.cellSize.z, in.halfSize.z, e.centre.z, e.axisFactor.z);
}

// Plans element `index`: its index box (or the whole lattice), its path and,
// when it is rotated, its two transformations written to `rotation` (room for
// kRotationDoubles). False when the element reaches no lattice point or its
// shape gives nothing.
bool PlanElement(GridPolygonizer& grid, const OperatorInstance& in, const MetaElement* elements, int32_t index,
                 bool bounded, ElementSplat& plan, double* rotation) {
  const MetaElement& e = elements[index];
  if (e.shape != ElementShape::Sphere && e.shape != ElementShape::Cube && e.shape != ElementShape::Cylinder) {
    return false;
  }
  const IndexBox box = bounded ? ElementIndexBox(in, e)
                               : IndexBox{{0, 0, 0}, {in.resolution.x, in.resolution.y, in.resolution.z}};
  if (box.low.x > box.high.x || box.low.y > box.high.y || box.low.z > box.high.z) return false;
  plan.centre = e.centre;
  plan.axisFactor = e.axisFactor;
  plan.radius = e.radius;
  plan.weight = e.weight;
  plan.shape = e.shape;
  plan.element = index;
  plan.low = box.low;
  plan.high = box.high;
  plan.rotation = -1;
  // Data that is not finite goes the host's way point by point: where two
  // NaNs meet, which one an operation passes on is the compiler's choice,
  // and that way keeps the choices of the plain recipe.
  const bool finite = IsFinite3(e.centre) && IsFinite3(e.axisFactor) && std::isfinite(e.weight) &&
                      std::isfinite(e.radius) && IsFinite3(in.halfSize) && IsFinite3(in.cellSize);
  if (IsRotated(e)) {
    SetElementRotation(grid, in, e);
    StoreTransform(grid.elementRotation, rotation);
    std::fill(rotation + kRotationDoubles / 2, rotation + kRotationDoubles, 0.0);
    if (in.normalsOrUv) StoreTransform(grid.inverseRotation, rotation + kRotationDoubles / 2);
    const bool finiteRotation = std::all_of(rotation, rotation + kRotationDoubles, [](double v) { return std::isfinite(v); });
    plan.path = finite && IsFinite3(e.inverseAngles) && finiteRotation ? kRotated : kGeneral;
    if (plan.path == kRotated) plan.rotation = 0;  // the caller places the transformations
    return true;
  }
  plan.path = finite && OffsetsFinite(in, e, box) ? kAxisAligned : kGeneral;
  return true;
}

// Splats the part of a planned element within planes firstI .. lastI and
// rows firstJ .. lastJ.
void SplatInTile(const StepContext& c, const ElementSplat& plan, const double* rotations, int32_t firstI, int32_t lastI, int32_t firstJ, int32_t lastJ) {
  IndexBox box{plan.low, plan.high};
  box.low.x = std::max(box.low.x, firstI);
  box.high.x = std::min(box.high.x, lastI);
  box.low.y = std::max(box.low.y, firstJ);
  box.high.y = std::min(box.high.y, lastJ);
  if (box.low.x > box.high.x || box.low.y > box.high.y) return;
  ElementRotation rotation;
  const ElementRotation* rotationUsed = nullptr;
  if (plan.rotation >= 0) {
    std::memcpy(&rotation, rotations + plan.rotation, sizeof rotation);
    rotationUsed = &rotation;
  }
  if (plan.path == kGeneral) SetElementRotation(c.grid, c.in, c.elements[plan.element]);
  switch (c.in.blendingModel) {
    case 0: SplatModel<0>(c, plan, box, rotationUsed, plan.path); break;
    case 1: SplatModel<1>(c, plan, box, rotationUsed, plan.path); break;
    default: SplatModel<2>(c, plan, box, rotationUsed, plan.path); break;
  }
}

// Sets the sampled lattices of rows firstRow .. lastRow - 1 to zero where the
// previous splats touched them.
void ClearSampled(const StepContext& c, size_t firstRow, size_t lastRow) {
  GridPolygonizer& grid = c.grid;
  if (!c.trackRows) {
    const size_t nz = static_cast<size_t>(c.nz);
    std::fill(c.sampled + firstRow * nz, c.sampled + lastRow * nz, 0.0f);
    std::fill(c.sampledNormal + firstRow * nz * 3, c.sampledNormal + lastRow * nz * 3, 0.0f);
    return;
  }
  for (size_t row = firstRow; row < lastRow; ++row) {
    const int32_t low = grid.sampledRowLow[row];
    const int32_t high = grid.sampledRowHigh[row];
    if (low > high) continue;
    const size_t first = row * static_cast<size_t>(c.nz) + static_cast<size_t>(low);
    const size_t count = static_cast<size_t>(high - low) + 1;
    std::fill_n(c.sampled + first, count, 0.0f);
    std::fill_n(c.sampledNormal + first * 3, count * 3, 0.0f);
    grid.sampledRowLow[row] = c.nz;
    grid.sampledRowHigh[row] = -1;
  }
}

// Relaxation of `count` consecutive points. With ZeroSample the sampled values
// are known to be zero and are not read.
//  gridSpace 0: A += (B - A) * rate, likewise for the normal.
//  gridSpace 1: the same where B > A; where B < -isovalue the point is cleared.
template <int GridSpace, bool ZeroSample>
void RelaxRun(float* a, const float* b, float* na, const float* nb, size_t count, float rate, float negIso) {
  if constexpr (GridSpace == 0) {
    for (size_t p = 0; p < count; ++p) {
      const float bv = ZeroSample ? 0.0f : b[p];
      a[p] += (bv - a[p]) * rate;
    }
    for (size_t p = 0; p < count * 3; ++p) {
      const float bv = ZeroSample ? 0.0f : nb[p];
      na[p] += (bv - na[p]) * rate;
    }
  } else {
    for (size_t p = 0; p < count; ++p) {
      const float bv = ZeroSample ? 0.0f : b[p];
      if (bv > a[p]) {
        a[p] += (bv - a[p]) * rate;
        for (size_t m = 3 * p; m < 3 * p + 3; ++m) {
          const float nbv = ZeroSample ? 0.0f : nb[m];
          na[m] += (nbv - na[m]) * rate;
        }
      } else if (bv < negIso) {
        a[p] = 0.0f;
        na[3 * p + 0] = 0.0f;
        na[3 * p + 1] = 0.0f;
        na[3 * p + 2] = 0.0f;
      }
    }
  }
}

// Relaxation of rows firstRow .. lastRow - 1.
template <int GridSpace>
void RelaxGrids(const StepContext& c, float rate, size_t firstRow, size_t lastRow) {
  GridPolygonizer& grid = c.grid;
  float* a = grid.accumulatedField.Data();
  float* na = grid.accumulatedNormals.Data();
  const float* b = c.sampled;
  const float* nb = c.sampledNormal;
  const float negIso = -c.in.isovalue;
  const size_t nz = static_cast<size_t>(c.nz);
  if (!c.trackRows) {
    const size_t first = firstRow * nz;
    RelaxRun<GridSpace, false>(a + first, b + first, na + first * 3, nb + first * 3, (lastRow - firstRow) * nz, rate,
                               negIso);
    return;
  }
  for (size_t row = firstRow; row < lastRow; ++row) {
    const size_t base = row * nz;
    const int32_t low = grid.sampledRowLow[row];
    const int32_t high = grid.sampledRowHigh[row];
    if (low > high) {
      RelaxRun<GridSpace, true>(a + base, nullptr, na + base * 3, nullptr, nz, rate, negIso);
      continue;
    }
    const size_t lo = static_cast<size_t>(low);
    const size_t hi = static_cast<size_t>(high) + 1;
    RelaxRun<GridSpace, true>(a + base, nullptr, na + base * 3, nullptr, lo, rate, negIso);
    RelaxRun<GridSpace, false>(a + base + lo, b + base + lo, na + (base + lo) * 3, nb + (base + lo) * 3, hi - lo,
                               rate, negIso);
    RelaxRun<GridSpace, true>(a + base + hi, nullptr, na + (base + hi) * 3, nullptr, nz - hi, rate, negIso);
  }
}

}  // namespace

void GridPolygonizer::SimulateStep(const MetaElement* elements, const int32_t& elementCount) {
  if (!EnsureGrids()) return;
  const OperatorInstance& in = *owner;

  const StepContext c{*this,
                      in,
                      elements,
                      sampledField.Data(),
                      sampledNormals.Data(),
                      sampledField.Ny(),
                      sampledField.Nz(),
                      sampledRowLow.size() == static_cast<size_t>(sampledField.Nx()) * sampledField.Ny() &&
                          sampledRowHigh.size() == sampledRowLow.size(),
                      ModelOneReach(in.normalsOrUv)};

  const float relaxRate = 1.0f / in.viscosityFactor;
  const bool bounded = in.blendingModel == 1 ? true : in.blendingModel == 0 ? in.volumeHyperbolic
                                                                             : in.volumeExponential;
  const bool knownModel = in.blendingModel >= 0 && in.blendingModel <= 2;
  const int32_t count = elements != nullptr && knownModel ? std::max(elementCount, 0) : 0;
  const int32_t nx = sampledField.Nx();
  const int32_t nyPoints = sampledField.Ny();
  const size_t ny = static_cast<size_t>(nyPoints);
  const size_t slabRowBytes = static_cast<size_t>(sampledField.Nz()) * 16 * kSlabPlanes;
  const auto tileRows =
      static_cast<int32_t>(std::max<size_t>(1, std::min<size_t>(ny, kTileBytes / std::max<size_t>(1, slabRowBytes))));
  const int32_t slabs = nx / kSlabPlanes + (nx % kSlabPlanes != 0 ? 1 : 0);

  // 1) The plan: every element once, in array order, then ordered by the slab
  //    its box starts in (a stable counting sort, so the elements arriving
  //    at a slab stay in array order).
  size_t rotatedCount = 0;
  for (int32_t n = 0; n < count; ++n) rotatedCount += IsRotated(elements[n]) ? 1 : 0;
  const size_t elementRoom = std::max<size_t>(1, static_cast<size_t>(count));
  const bool planned = splatPlan.Reserve(elementRoom) && splatSorted.Reserve(elementRoom) &&
                       slabActive.Reserve(elementRoom) && slabMerged.Reserve(elementRoom) &&
                       slabFirst.Reserve(static_cast<size_t>(slabs) + 1) &&
                       splatRotations.Reserve(std::max<size_t>(1, rotatedCount) * kRotationDoubles);
  int32_t plannedCount = 0;
  if (planned) {
    ElementSplat* plans = splatPlan.data.get();
    double* rotations = splatRotations.data.get();
    int32_t rotationsUsed = 0;
    for (int32_t n = 0; n < count; ++n) {
      ElementSplat& plan = plans[plannedCount];
      if (!PlanElement(*this, in, elements, n, bounded, plan, rotations + rotationsUsed)) continue;
      if (plan.rotation >= 0) {
        plan.rotation = rotationsUsed;
        rotationsUsed += static_cast<int32_t>(kRotationDoubles);
      }
      ++plannedCount;
    }
    int32_t* first = slabFirst.data.get();
    std::fill(first, first + slabs + 1, 0);
    for (int32_t p = 0; p < plannedCount; ++p) ++first[plans[p].low.x / kSlabPlanes + 1];
    for (int32_t s = 1; s <= slabs; ++s) first[s] += first[s - 1];
    ElementSplat* sorted = splatSorted.data.get();
    for (int32_t p = 0; p < plannedCount; ++p) sorted[first[plans[p].low.x / kSlabPlanes]++] = plans[p];
    // Each slab's counter now holds the next slab's start: shift them back.
    for (int32_t s = slabs; s > 0; --s) first[s] = first[s - 1];
    first[0] = 0;
  }

  // 2) Tile by tile: clear the tile's sampled values (before the first
  //    elements), splat the elements' parts of it, relax it (after the last).
  int32_t firstI = 0;
  int32_t lastI = 0;
  const auto workTiles = [&](const int32_t* list, int32_t listCount, const ElementSplat* plans,
                             const double* rotations, bool clear, bool relax) {
    for (int32_t firstJ = 0; firstJ < nyPoints; firstJ += tileRows) {
      const int32_t lastJ = std::min(nyPoints - 1, firstJ + tileRows - 1);
      if (clear) {
        for (int32_t i = firstI; i <= lastI; ++i) {
          ClearSampled(c, static_cast<size_t>(i) * ny + firstJ, static_cast<size_t>(i) * ny + lastJ + 1);
        }
      }
      for (int32_t l = 0; l < listCount; ++l) {
        const ElementSplat& plan = plans[list[l]];
        if (plan.high.y < firstJ || plan.low.y > lastJ) continue;
        SplatInTile(c, plan, rotations, firstI, lastI, firstJ, lastJ);
      }
      if (!relax) continue;
      for (int32_t i = firstI; i <= lastI; ++i) {
        const size_t firstRow = static_cast<size_t>(i) * ny + firstJ;
        const size_t lastRow = static_cast<size_t>(i) * ny + lastJ + 1;
        if (in.gridSpace == 0) {
          RelaxGrids<0>(c, relaxRate, firstRow, lastRow);
        } else if (in.gridSpace == 1) {
          RelaxGrids<1>(c, relaxRate, firstRow, lastRow);
        }
      }
    }
  };

  int32_t activeCount = 0;
  for (int32_t slab = 0; slab < slabs; ++slab) {
    firstI = slab * kSlabPlanes;
    lastI = std::min(nx - 1, firstI + kSlabPlanes - 1);
    if (planned) {
      // The elements whose boxes reach this slab, in array order: those of
      // the previous slab that reach on, merged with those that start here.
      const ElementSplat* sorted = splatSorted.data.get();
      const int32_t* active = slabActive.data.get();
      int32_t* merged = slabMerged.data.get();
      const int32_t arrivalEnd = slabFirst.data[static_cast<size_t>(slab) + 1];
      int32_t mergedCount = 0;
      int32_t a = 0;
      int32_t b = slabFirst.data[static_cast<size_t>(slab)];
      while (a < activeCount || b < arrivalEnd) {
        const int32_t held = a < activeCount ? active[a] : -1;
        if (held >= 0 && sorted[held].high.x < firstI) {
          ++a;
        } else if (b >= arrivalEnd || (held >= 0 && sorted[held].element < sorted[b].element)) {
          merged[mergedCount++] = held;
          ++a;
        } else {
          merged[mergedCount++] = b++;
        }
      }
      std::swap(slabActive, slabMerged);
      activeCount = mergedCount;
      workTiles(slabActive.data.get(), activeCount, sorted, splatRotations.data.get(), true, true);
      continue;
    }
    // Without room for the plan: batches of elements planned on the stack,
    // again for every slab.
    ElementSplat plans[kBatchElements];
    int32_t list[kBatchElements];
    double rotations[kBatchElements * kRotationDoubles];
    int32_t batchStart = 0;
    do {
      const int32_t batchEnd = std::min(count, batchStart + kBatchElements);
      int32_t listCount = 0;
      for (int32_t n = batchStart; n < batchEnd; ++n) {
        ElementSplat& plan = plans[listCount];
        double* rotation = rotations + static_cast<size_t>(listCount) * kRotationDoubles;
        if (!PlanElement(*this, in, elements, n, bounded, plan, rotation)) continue;
        if (plan.high.x < firstI || plan.low.x > lastI) continue;
        if (plan.rotation >= 0) plan.rotation = listCount * static_cast<int32_t>(kRotationDoubles);
        list[listCount] = listCount;
        ++listCount;
      }
      workTiles(list, listCount, plans, rotations, batchStart == 0, batchEnd >= count);
      batchStart = batchEnd;
    } while (batchStart < count);
  }

  // The rotation members end as an element-by-element pass leaves them: the
  // last rotated element's rotations, `rotated` for the last element.
  if (elements != nullptr && elementCount > 0) {
    for (int32_t n = elementCount - 1; n >= 0; --n) {
      if (IsRotated(elements[n])) {
        SetElementRotation(*this, in, elements[n]);
        break;
      }
    }
    rotated = IsRotated(elements[elementCount - 1]);
  }
}
