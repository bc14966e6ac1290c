#include "field/attribute_transfer.h"

#include <vector>

#include "base/parallel.h"
#include "base/settings.h"
#include "field/blend_kernels.h"
#include "field/element_table.h"

namespace {

// Copies of the elements whose cull box reaches kTransferReach times as far,
// and whose axis factors are zero, so that the table's buckets hold each
// element wherever its box does (a zero factor narrows nothing).
std::vector<MetaElement> WidenedElements(const MetaElement* elements, int32_t count) {
  std::vector<MetaElement> widened(elements, elements + count);
  for (MetaElement& e : widened) {
    e.radius *= kTransferReach;
    e.height *= kTransferReach;
    e.axisFactor = Float3{0.0f, 0.0f, 0.0f};
  }
  return widened;
}

// What one point's average is made of.
struct PointSums {
  double total = 0.0;
  double sums[4] = {0.0, 0.0, 0.0, 0.0};
  double nearTotal = 0.0;
  double nearSums[4] = {0.0, 0.0, 0.0, 0.0};
};

// Sums the elements of `reach`'s candidates for the point (x, y, z): the
// model's weights of the elements that add to the field there (with `cull`,
// only within their own cull box, as the polynomial field takes them), and
// while none does, the 1 / d^2 weights of the others for the fallback.
template <class Add>
void SumAt(const ElementTable& reach, const ElementTable& exact, bool cull, const int32_t* elementOf,
           const float* values, int32_t components, float x, float y, float z, PointSums& s) {
  const ElementRecord* reachRecords = reach.Records();
  const ElementRecord* records = exact.Records();
  const RotationMatrix* rotations = exact.Rotations();
  const auto all = static_cast<uint32_t>(exact.RecordCount());
  const uint32_t* candidate = nullptr;
  const uint32_t* last = nullptr;
  if (reach.HasGrid()) reach.Candidates(x, y, z, candidate, last);
  // Without a grid (a handful of elements, all in one cell) every record is a candidate.
  for (uint32_t n = 0; reach.HasGrid() ? candidate != last : n < all; ++n) {
    const uint32_t m = reach.HasGrid() ? *candidate++ : n;
    const ElementRecord& r = records[m];
    if (!(r.weight > 0.0f) || !InsideCullBox(reachRecords[m], x, y, z)) continue;
    const float d = MeasureAt(r, rotations, x, y, z);
    const float* value = values + static_cast<size_t>(elementOf[m]) * static_cast<size_t>(components);
    float w = 0.0f;
    if (!cull || InsideCullBox(r, x, y, z)) Add()(w, r, d);
    if (w > 0.0f) {
      s.total += w;
      for (int32_t c = 0; c < components; ++c) s.sums[c] += static_cast<double>(w) * value[c];
    } else if (s.total == 0.0 && d >= 0.0f) {
      const double near = 1.0 / (static_cast<double>(d) * d + 1e-30);
      s.nearTotal += near;
      for (int32_t c = 0; c < components; ++c) s.nearSums[c] += near * value[c];
    }
  }
}

// The points [begin, end): their averages; a point that no element of
// `reach` adds to is retried over `wide` (when given), where its fallback
// weights come from.
template <class Add>
void TransferRange(const ElementTable& reach, const ElementTable* wide, const ElementTable& exact, bool cull,
                   const int32_t* elementOf, const float* values, int32_t components, const double* points,
                   size_t begin, size_t end, float* out) {
  for (size_t p = begin; p < end; ++p) {
    const float x = static_cast<float>(points[3 * p]);
    const float y = static_cast<float>(points[3 * p + 1]);
    const float z = static_cast<float>(points[3 * p + 2]);
    PointSums s;
    SumAt<Add>(reach, exact, cull, elementOf, values, components, x, y, z, s);
    if (s.total == 0.0 && wide != nullptr) {
      s = PointSums();
      SumAt<Add>(*wide, exact, cull, elementOf, values, components, x, y, z, s);
    }
    float* to = out + p * static_cast<size_t>(components);
    const double* chosen = s.total > 0.0 ? s.sums : s.nearSums;
    const double weight = s.total > 0.0 ? s.total : s.nearTotal;
    for (int32_t c = 0; c < components; ++c) to[c] = weight > 0.0 ? static_cast<float>(chosen[c] / weight) : 0.0f;
  }
}

}  // namespace

bool TransferToPoints(int32_t blendingModel, const MetaElement* elements, int32_t count, const float* values,
                      int32_t components, const double* points, size_t pointCount, float* out) {
  if (blendingModel != BlendingModel::kInverseSquare && blendingModel != BlendingModel::kPolynomial &&
      blendingModel != BlendingModel::kExponential) {
    return false;
  }
  if (components < 1 || components > 4) return false;
  // 1) the records (array order of the elements with a measure) and which
  // element each one is; for the polynomial model with its own buckets
  const bool polynomial = blendingModel == BlendingModel::kPolynomial;
  const ElementTable exact(elements, count, polynomial);
  if (!exact.Ready()) return false;
  std::vector<int32_t> elementOf;
  elementOf.reserve(static_cast<size_t>(exact.RecordCount()));
  for (int32_t k = 0; k < count; ++k) {
    ElementRecord r;
    if (MakeElementRecord(elements[k], 0, r)) elementOf.push_back(k);
  }
  // 2) the other models' buckets, over widened boxes. The polynomial
  // model's own cull boxes reach beyond its support (2 r against sqrt(2) r
  // for a particle), so a point just past every support still finds the
  // elements of its fallback among its own candidates.
  std::vector<MetaElement> widened;
  if (!polynomial) widened = WidenedElements(elements, count);
  const ElementTable wide(widened.data(), polynomial ? 0 : count, true);
  if (!polynomial && (!wide.Ready() || wide.RecordCount() != exact.RecordCount())) return false;
  const ElementTable& reach = polynomial ? exact : wide;
  const ElementTable* retry = nullptr;

  // 3) the points, in ranges of the plug-in's threads
  parallel::ForEachRange(static_cast<int64_t>(pointCount), 1024, [&](int64_t begin, int64_t end) {
    const auto from = static_cast<size_t>(begin);
    const auto to = static_cast<size_t>(end);
    const int32_t* of = elementOf.data();
    switch (blendingModel) {
      case BlendingModel::kInverseSquare:
        TransferRange<AddInverseSquare>(reach, retry, exact, false, of, values, components, points, from, to, out);
        break;
      case BlendingModel::kPolynomial:
        TransferRange<AddPolynomial>(reach, retry, exact, true, of, values, components, points, from, to, out);
        break;
      default:
        TransferRange<AddExponential>(reach, retry, exact, false, of, values, components, points, from, to, out);
        break;
    }
  });
  return true;
}
