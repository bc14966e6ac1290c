#include "grid/splat_paths.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "grid/splat_terms.h"
#include "xsi_math.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define GLOMORA_SPLAT_AVX2 1
#endif

namespace {

static_assert(kElementRotationDoubles == kRotationDoubles, "an element's two transformations");

// Points per chunk of a splat row.
constexpr int32_t kSplatChunk = 256;

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
IndexBox ElementIndexBox(const Settings& settings, const MetaElement& e) {
  const float m = 1.5f * std::max(std::max(std::fabs(e.scale.x), std::fabs(e.scale.y)), std::fabs(e.scale.z));
  const float extent = e.shape == ElementShape::Sphere || e.shape == ElementShape::Cube
                           ? m * std::fabs(e.radius)
                           : m * std::max(std::fabs(e.radius), 0.5f * std::fabs(e.height));
  float ex = extent * settings.inverseCellSize.x;
  float ey = extent * settings.inverseCellSize.y;
  float ez = extent * settings.inverseCellSize.z;
  if (settings.blendingModel == BlendingModel::kInverseSquare || settings.blendingModel == BlendingModel::kExponential) {
    ex *= settings.volumeScale;
    ey *= settings.volumeScale;
    ez *= settings.volumeScale;
  }
  if (settings.isovalue < 1.0f) {
    // A lower threshold reaches further out.
    ex *= settings.inverseIsovalue;
    ey *= settings.inverseIsovalue;
    ez *= settings.inverseIsovalue;
  }
  const float cx = (settings.halfSize.x + e.centre.x) * settings.inverseCellSize.x;
  const float cy = (settings.halfSize.y + e.centre.y) * settings.inverseCellSize.y;
  const float cz = (settings.halfSize.z + e.centre.z) * settings.inverseCellSize.z;
  IndexBox box{{RoundToInt(cx - ex), RoundToInt(cy - ey), RoundToInt(cz - ez)},
               {RoundToInt(cx + ex), RoundToInt(cy + ey), RoundToInt(cz + ez)}};
  const auto clamp = [](int32_t v, int32_t top) { return v < 0 ? 0 : v > top ? top : v; };
  box.low = Int3{clamp(box.low.x, settings.resolution.x), clamp(box.low.y, settings.resolution.y),
                 clamp(box.low.z, settings.resolution.z)};
  box.high = Int3{clamp(box.high.x, settings.resolution.x), clamp(box.high.y, settings.resolution.y),
                  clamp(box.high.z, settings.resolution.z)};
  return box;
}

// Widens the touched range of row `row` to low .. high.
inline void MarkRow(const SplatTarget& t, size_t row, int32_t low, int32_t high) {
  if (t.rowLow == nullptr) return;
  int32_t& rowLow = t.rowLow[row];
  int32_t& rowHigh = t.rowHigh[row];
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

#if defined(GLOMORA_SPLAT_AVX2)
// SplatRowModelOne eight points at a time where the processor has AVX2 (the
// last four, if any, four at a time): the same operations on each lane, in
// the same order, so the same bits; the gradient's eight points are added as
// two groups of four.
template <bool Normals>
[[gnu::target("avx2")]] void SplatRowModelOneWide(const AxisAlignedElement& a, float px, float py, float txy,
                                                  const float* tz, const float* pz, int32_t padded, float* f,
                                                  float* n) {
  const __m256 txyv = _mm256_set1_ps(txy);
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256 quarter = _mm256_set1_ps(0.25f);
  const __m256 sixteen = _mm256_set1_ps(16.0f);
  const __m256 weight = _mm256_set1_ps(a.weight);
  const __m256 g0 = _mm256_set1_ps(a.weight * 2.0f);
  const __m256 pxv = _mm256_set1_ps(px);
  const __m256 pyv = _mm256_set1_ps(py);
  const __m256 afx = _mm256_set1_ps(a.af.x);
  const __m256 afy = _mm256_set1_ps(a.af.y);
  const __m256 afz = _mm256_set1_ps(a.af.z);
  int32_t m = 0;
  for (; m + 8 <= padded; m += 8) {
    const __m256 d = _mm256_add_ps(txyv, _mm256_loadu_ps(tz + m));
    const __m256 kernel =
        _mm256_and_ps(_mm256_cmp_ps(d, half, _CMP_LT_OQ),
                      _mm256_mul_ps(_mm256_add_ps(_mm256_mul_ps(d, d), _mm256_sub_ps(quarter, d)), sixteen));
    _mm256_storeu_ps(f + m, _mm256_add_ps(_mm256_loadu_ps(f + m), _mm256_mul_ps(kernel, weight)));
    if constexpr (Normals) {
      const __m256 s = _mm256_mul_ps(d, _mm256_sqrt_ps(d));
      const __m256 factor =
          _mm256_and_ps(_mm256_cmp_ps(s, half, _CMP_LT_OQ),
                        _mm256_mul_ps(_mm256_add_ps(_mm256_mul_ps(s, s), _mm256_sub_ps(quarter, s)), sixteen));
      const __m256 g = _mm256_mul_ps(g0, factor);
      const __m256 x = _mm256_mul_ps(_mm256_mul_ps(pxv, g), afx);
      const __m256 y = _mm256_mul_ps(_mm256_mul_ps(pyv, g), afy);
      const __m256 z = _mm256_mul_ps(_mm256_mul_ps(_mm256_loadu_ps(pz + m), g), afz);
      AddInterleaved(_mm256_castps256_ps128(x), _mm256_castps256_ps128(y), _mm256_castps256_ps128(z), n + 3 * m);
      AddInterleaved(_mm256_extractf128_ps(x, 1), _mm256_extractf128_ps(y, 1), _mm256_extractf128_ps(z, 1),
                     n + 3 * m + 12);
    }
  }
  if (m < padded) SplatRowModelOne<Normals>(a, px, py, txy, tz + m, pz + m, padded - m, f + m, n + 3 * m);
}

std::atomic<bool> wideRows{true};

// True when the processor and the system give AVX2 and wide rows are on.
bool WideRows() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has && wideRows.load(std::memory_order_relaxed);
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
// Model 1 rows go four points at a time, leaving out the groups of four at
// either end of a row whose smallest measure reaches the cut-off (zeros
// only, as a skipped row). The last group may reach up to
// three points past the box's end along k, as long as they lie in the same
// row: those points get an infinite z term, hence exactly zero contributions
// (a row of the tile being worked on has been cleared, so such a point holds
// a sum or +0, never -0, and adding a zero leaves it as it is).
template <int Model, int Shape, bool Normals>
void SplatAxisAligned(const SplatTarget& t, const Settings& settings, const ElementSplat& e, const IndexBox& box) {
  const float cellZ = settings.cellSize.z;
  const AxisAlignedElement a{
      Float3{settings.halfSize.x + e.centre.x, settings.halfSize.y + e.centre.y, settings.halfSize.z + e.centre.z}, e.axisFactor,
      e.weight, e.radius};
  const float reach = ModelOneReach(settings.normalsOrUv);
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
    // The least z term of each group of four points.
    float groupLeast[kSplatChunk / 4];
    for (int32_t g = 0; g < padded / 4; ++g) {
      groupLeast[g] = std::min(std::min(tz[4 * g], tz[4 * g + 1]), std::min(tz[4 * g + 2], tz[4 * g + 3]));
    }
#if defined(__SSE2__)
    const bool grouped = Model == 1 && chunkLow + padded <= t.nz;
#if defined(GLOMORA_SPLAT_AVX2)
    const bool wide = grouped && padded >= 8 && WideRows();
#endif
#else
    const bool grouped = false;
#endif
    for (int32_t i = box.low.x; i <= box.high.x; ++i) {
      const float px = (static_cast<float>(i) * settings.cellSize.x - a.rel.x) * a.af.x;
      const float tx = TermX<Shape>(px);
      for (int32_t j = box.low.y; j <= box.high.y; ++j) {
        const float py = (static_cast<float>(j) * settings.cellSize.y - a.rel.y) * a.af.y;
        const float txy = tx + TermY<Shape>(py);
        // txy + tz[m] >= txy + tzLeast for every m: rounding is monotone.
        if (Model == 1 && !(txy + tzLeast < reach)) continue;
        const size_t row = static_cast<size_t>(i - t.firstPlane) * static_cast<size_t>(t.ny) + static_cast<size_t>(j);
        const size_t first = row * static_cast<size_t>(t.nz) + static_cast<size_t>(chunkLow);
        MarkRow(t, row, chunkLow, chunkLow + chunkWidth - 1);
#if defined(__SSE2__)
        if (grouped) {
          // The groups at either end whose least measure reaches the cut-off
          // add zeros only (as a skipped row): left out. Some group is
          // within reach, since the row is.
          int32_t g0 = 0;
          int32_t g1 = padded / 4 - 1;
          while (!(txy + groupLeast[g0] < reach)) ++g0;
          while (!(txy + groupLeast[g1] < reach)) --g1;
          const size_t at = first + static_cast<size_t>(4 * g0);
#if defined(GLOMORA_SPLAT_AVX2)
          if (wide) {
            SplatRowModelOneWide<Normals>(a, px, py, txy, tz + 4 * g0, pz + 4 * g0, 4 * (g1 - g0 + 1),
                                          t.sampled + at, t.sampledNormal + at * 3);
            continue;
          }
#endif
          SplatRowModelOne<Normals>(a, px, py, txy, tz + 4 * g0, pz + 4 * g0, 4 * (g1 - g0 + 1), t.sampled + at,
                                    t.sampledNormal + at * 3);
          continue;
        }
#endif
        SplatRow<Model, Shape, Normals>(a, px, py, txy, tz, pz, chunkWidth, t.sampled + first,
                                        t.sampledNormal + first * 3);
      }
    }
  }
}

// The per-point body of the general and rotated paths. From the point's
// offset (px, py, pz), already turned into the element's axes: the scaled
// offset, the measure and kernel, and with normals the gradient, turned back
// into the box's axes by rotateBack(qx, qy, qz).
template <int Model, int Shape, class RotateBack>
inline void SplatPoint(const SplatTarget& t, const ElementSplat& e, bool normals, size_t point, float px, float py,
                       float pz, RotateBack&& rotateBack) {
  px = px * e.axisFactor.x;
  py = py * e.axisFactor.y;
  pz = pz * e.axisFactor.z;
  // measure and kernel
  float d = TermX<Shape>(px) + TermY<Shape>(py) + TermZ<Shape>(pz);
  const float kernel = Kernel<Model, Shape>(d, e.radius);
  t.sampled[point] += kernel * e.weight;
  if (!normals) return;
  // gradient contribution, rotated back into the box's axes
  const float g = e.weight * 2.0f * NormalFactor<Model>(d, e.radius);
  float qx = px * g * e.axisFactor.x;
  float qy = py * g * e.axisFactor.y;
  float qz = pz * g * e.axisFactor.z;
  rotateBack(qx, qy, qz);
  t.sampledNormal[point * 3 + 0] += qx;
  t.sampledNormal[point * 3 + 1] += qy;
  t.sampledNormal[point * 3 + 2] += qz;
}

// An element's rotations as host transformations: the Euler angles applied
// Z, Y, X (order 5) and, for the gradient, the negated angles applied X, Y, Z
// (order 0), made only with normals.
struct HostRotation {
  bool rotated = false;
  XSI::MATH::CTransformation forward;
  XSI::MATH::CTransformation inverse;
};

HostRotation MakeHostRotation(const MetaElement& e, bool normals) {
  HostRotation rotation;
  rotation.rotated = IsRotated(e);
  if (!rotation.rotated) return rotation;
  rotation.forward.PutRotationOrder(static_cast<XSI::LONG>(5));
  rotation.forward.SetRotationFromXYZAngles(XSI::MATH::CVector3(e.inverseAngles.x, e.inverseAngles.y, e.inverseAngles.z));
  if (normals) {
    rotation.inverse.PutRotationOrder(static_cast<XSI::LONG>(0));
    rotation.inverse.SetRotationFromXYZAngles(
        XSI::MATH::CVector3(-e.inverseAngles.x, -e.inverseAngles.y, -e.inverseAngles.z));
  }
  return rotation;
}

// The per-point recipe with the host's rotations: for data that is not finite.
template <int Model, int Shape>
void SplatGeneral(const SplatTarget& t, const Settings& settings, const ElementSplat& e, const IndexBox& box,
                  const HostRotation& rotation) {
  const bool normals = settings.normalsOrUv;
  const Float3 rel{settings.halfSize.x + e.centre.x, settings.halfSize.y + e.centre.y, settings.halfSize.z + e.centre.z};
  XSI::MATH::CVector3 scratch;
  const auto turn = [&scratch](const XSI::MATH::CTransformation& transformation, float& x, float& y, float& z) {
    scratch.Set(x, y, z);
    scratch.MulByTransformationInPlace(transformation);
    x = static_cast<float>(scratch.GetX());
    y = static_cast<float>(scratch.GetY());
    z = static_cast<float>(scratch.GetZ());
  };
  for (int32_t i = box.low.x; i <= box.high.x; ++i) {
    for (int32_t j = box.low.y; j <= box.high.y; ++j) {
      const size_t row = static_cast<size_t>(i - t.firstPlane) * static_cast<size_t>(t.ny) + static_cast<size_t>(j);
      MarkRow(t, row, box.low.z, box.high.z);
      for (int32_t k = box.low.z; k <= box.high.z; ++k) {
        // local offset: lattice point minus element centre, into the element's axes
        float px = static_cast<float>(i) * settings.cellSize.x - rel.x;
        float py = static_cast<float>(j) * settings.cellSize.y - rel.y;
        float pz = static_cast<float>(k) * settings.cellSize.z - rel.z;
        if (rotation.rotated) turn(rotation.forward, px, py, pz);
        const size_t point = row * static_cast<size_t>(t.nz) + static_cast<size_t>(k);
        SplatPoint<Model, Shape>(t, e, normals, point, px, py, pz, [&](float& qx, float& qy, float& qz) {
          if (rotation.rotated) turn(rotation.inverse, qx, qy, qz);
        });
      }
    }
  }
}

// Splat of a rotated element with finite data and rotations, point by point.
// The rotation is applied with the host's arithmetic, its terms in x and y
// formed once per row.
template <int Model, int Shape>
void SplatRotated(const SplatTarget& t, const Settings& settings, const ElementSplat& e, const IndexBox& box,
                  const ElementRotation& rotation) {
  const bool normals = settings.normalsOrUv;
  const Float3 rel{settings.halfSize.x + e.centre.x, settings.halfSize.y + e.centre.y, settings.halfSize.z + e.centre.z};
  for (int32_t i = box.low.x; i <= box.high.x; ++i) {
    const float x = static_cast<float>(i) * settings.cellSize.x - rel.x;
    for (int32_t j = box.low.y; j <= box.high.y; ++j) {
      const float y = static_cast<float>(j) * settings.cellSize.y - rel.y;
      const RowPartial partial = PartialXY(rotation.forward, x, y);
      const size_t row = static_cast<size_t>(i - t.firstPlane) * static_cast<size_t>(t.ny) + static_cast<size_t>(j);
      MarkRow(t, row, box.low.z, box.high.z);
      for (int32_t k = box.low.z; k <= box.high.z; ++k) {
        // local offset: lattice point minus element centre, into the element's axes
        float px = x;
        float py = y;
        float pz = static_cast<float>(k) * settings.cellSize.z - rel.z;
        CompleteZ(rotation.forward, partial, pz, px, py, pz);
        const size_t point = row * static_cast<size_t>(t.nz) + static_cast<size_t>(k);
        SplatPoint<Model, Shape>(t, e, normals, point, px, py, pz,
                                 [&](float& qx, float& qy, float& qz) { Apply(rotation.inverse, qx, qy, qz); });
      }
    }
  }
}

// The element's path at its shape and the model. `rotation` holds the rotated
// path's transformations, `host` the general path's.
template <int Model, int Shape>
void SplatShape(const SplatTarget& t, const Settings& settings, const ElementSplat& e, const IndexBox& box,
                const ElementRotation& rotation, const HostRotation& host) {
  if (e.path == kGeneral) {
    SplatGeneral<Model, Shape>(t, settings, e, box, host);
  } else if (e.path == kRotated) {
    SplatRotated<Model, Shape>(t, settings, e, box, rotation);
  } else if (settings.normalsOrUv) {
    SplatAxisAligned<Model, Shape, true>(t, settings, e, box);
  } else {
    SplatAxisAligned<Model, Shape, false>(t, settings, e, box);
  }
}

template <int Model>
void SplatModel(const SplatTarget& t, const Settings& settings, const ElementSplat& e, const IndexBox& box,
                const ElementRotation& rotation, const HostRotation& host) {
  switch (e.shape) {
    case ElementShape::Sphere: SplatShape<Model, 0>(t, settings, e, box, rotation, host); break;
    case ElementShape::Cube: SplatShape<Model, 1>(t, settings, e, box, rotation, host); break;
    case ElementShape::Cylinder: SplatShape<Model, 2>(t, settings, e, box, rotation, host); break;
    default: break;  // an unknown shape gives no point anything
  }
}

// True when the scaled offset of every lattice point of the box is finite on
// every axis. Each offset is monotone along its axis, so the box's ends decide.
bool OffsetsFinite(const Settings& settings, const MetaElement& e, const IndexBox& box) {
  const auto axis = [](int32_t low, int32_t high, float cell, float half, float centre, float factor) {
    const float rel = half + centre;
    return std::isfinite((static_cast<float>(low) * cell - rel) * factor) &&
           std::isfinite((static_cast<float>(high) * cell - rel) * factor);
  };
  return axis(box.low.x, box.high.x, settings.cellSize.x, settings.halfSize.x, e.centre.x, e.axisFactor.x) &&
         axis(box.low.y, box.high.y, settings.cellSize.y, settings.halfSize.y, e.centre.y, e.axisFactor.y) &&
         axis(box.low.z, box.high.z, settings.cellSize.z, settings.halfSize.z, e.centre.z, e.axisFactor.z);
}

}  // namespace

void SetWideSplatRows(bool on) {
#if defined(GLOMORA_SPLAT_AVX2)
  wideRows.store(on);
#else
  (void)on;
#endif
}

bool IsRotated(const MetaElement& e) {
  return !(NearlyEqual(e.inverseAngles.x, 0.0f) && NearlyEqual(e.inverseAngles.y, 0.0f) &&
           NearlyEqual(e.inverseAngles.z, 0.0f));
}

bool PlanElement(const Settings& settings, const MetaElement* elements, int32_t index, bool bounded,
                 ElementSplat& plan, double* rotation) {
  const MetaElement& e = elements[index];
  if (e.shape != ElementShape::Sphere && e.shape != ElementShape::Cube && e.shape != ElementShape::Cylinder) {
    return false;
  }
  const IndexBox box = bounded ? ElementIndexBox(settings, e)
                               : IndexBox{{0, 0, 0}, {settings.resolution.x, settings.resolution.y, settings.resolution.z}};
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
                      std::isfinite(e.radius) && IsFinite3(settings.halfSize) && IsFinite3(settings.cellSize);
  if (IsRotated(e)) {
    const HostRotation host = MakeHostRotation(e, settings.normalsOrUv);
    StoreTransform(host.forward, rotation);
    std::fill(rotation + kRotationDoubles / 2, rotation + kRotationDoubles, 0.0);
    if (settings.normalsOrUv) StoreTransform(host.inverse, rotation + kRotationDoubles / 2);
    const bool finiteRotation = std::all_of(rotation, rotation + kRotationDoubles, [](double v) { return std::isfinite(v); });
    plan.path = finite && IsFinite3(e.inverseAngles) && finiteRotation ? kRotated : kGeneral;
    if (plan.path == kRotated) plan.rotation = 0;  // the caller places the transformations
    return true;
  }
  plan.path = finite && OffsetsFinite(settings, e, box) ? kAxisAligned : kGeneral;
  return true;
}

void SplatInTile(const SplatTarget& target, const Settings& settings, const MetaElement* elements,
                 const ElementSplat& plan, const double* rotations, int32_t firstI, int32_t lastI, int32_t firstJ,
                 int32_t lastJ) {
  IndexBox box{plan.low, plan.high};
  box.low.x = std::max(box.low.x, firstI);
  box.high.x = std::min(box.high.x, lastI);
  box.low.y = std::max(box.low.y, firstJ);
  box.high.y = std::min(box.high.y, lastJ);
  if (box.low.x > box.high.x || box.low.y > box.high.y) return;
  ElementRotation rotation{};
  if (plan.rotation >= 0) std::memcpy(&rotation, rotations + plan.rotation, sizeof rotation);
  HostRotation host;
  if (plan.path == kGeneral) host = MakeHostRotation(elements[plan.element], settings.normalsOrUv);
  switch (settings.blendingModel) {
    case BlendingModel::kInverseSquare: SplatModel<0>(target, settings, plan, box, rotation, host); break;
    case BlendingModel::kPolynomial: SplatModel<1>(target, settings, plan, box, rotation, host); break;
    default: SplatModel<2>(target, settings, plan, box, rotation, host); break;
  }
}
