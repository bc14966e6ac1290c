#include "field/attribute_transfer.h"

#include <memory>
#include <utility>
#include <vector>

#include "base/parallel.h"
#include "base/settings.h"
#include "field/blend_kernels.h"
#include "field/element_table.h"
#include "field/reach_grid.h"

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

// One element kept for a point's average: its record, weight and value.
struct Kept {
  uint32_t record;
  float w;
  const float* value;
};

// The average of the elements kept, their values added in that order in
// double; the width known, so that the sums stay in registers (every
// weight > 0, so the total is).
template <int32_t Components>
void AverageKept(const Kept* kept, size_t count, float* to) {
  double total = 0.0;
  double sums[Components] = {};
  for (size_t n = 0; n < count; ++n) {
    const float w = kept[n].w;
    total += w;
    for (int32_t c = 0; c < Components; ++c) sums[c] += static_cast<double>(w) * kept[n].value[c];
  }
  for (int32_t c = 0; c < Components; ++c) to[c] = static_cast<float>(sums[c] / total);
}

// The fallback of a point no element adds to, over the candidates
// [candidate, last) (all records without them): their 1 / d^2 weights.
void NearSums(const ElementTable& exact, const uint32_t* candidate, const uint32_t* last, const int32_t* elementOf,
              const float* values, int32_t components, float x, float y, float z, PointSums& s) {
  const ElementRecord* records = exact.Records();
  const auto all = static_cast<uint32_t>(exact.RecordCount());
  for (uint32_t n = 0; candidate != nullptr ? candidate != last : n < all; ++n) {
    const uint32_t m = candidate != nullptr ? *candidate++ : n;
    const ElementRecord& r = records[m];
    if (!(r.weight > 0.0f) || !InsideCullBox(r, x, y, z)) continue;
    const float d = MeasureAt(r, exact.Rotations(), x, y, z);
    if (d >= 0.0f) {
      const double near = 1.0 / (static_cast<double>(d) * d + 1e-30);
      const float* value = values + static_cast<size_t>(elementOf[m]) * static_cast<size_t>(components);
      s.nearTotal += near;
      for (int32_t c = 0; c < components; ++c) s.nearSums[c] += near * value[c];
    }
  }
}

// The average of a point's sums, or zeros.
void Average(const PointSums& s, int32_t components, float* to) {
  const double* chosen = s.total > 0.0 ? s.sums : s.nearSums;
  const double weight = s.total > 0.0 ? s.total : s.nearTotal;
  for (int32_t c = 0; c < components; ++c) to[c] = weight > 0.0 ? static_cast<float>(chosen[c] / weight) : 0.0f;
}

// The polynomial model through a ReachGrid: the points [begin, end) whose
// elements add something get their average, the elements found in any
// order and added in ascending order, as the table's buckets list them;
// the others are marked in `alone` for the fallback. The spheres a point's
// cell may find are gathered once for the points of that cell in a row.
void PolynomialRange(const ReachGrid (&grids)[2], const std::vector<float> (&slotValues)[2],
                     const ElementTable& exact, int32_t components, const double* points, const uint32_t* order,
                     const float* sorted, const uint32_t* keys, size_t begin, size_t end, float* out,
                     uint8_t* alone) {
  const RotationMatrix* rotations = exact.Rotations();
  const ReachGrid& spheres = grids[0];
  const ReachGrid& others = grids[1];
  // Room for everything a point can find, made before the points.
  std::vector<uint32_t> found(others.SlotCount() + 8);
  std::vector<uint32_t> sphereFound(spheres.MostGathered());
  std::vector<float> measures(spheres.MostGathered());
  std::vector<Kept> kept(others.SlotCount() + 8 + spheres.MostGathered());
  ReachGrid::Gathered near;
  spheres.Reserve(near);
  uint64_t nearKey = spheres.KeyCount();  // none yet
  const auto width = static_cast<size_t>(components);
  for (size_t i = begin; i < end; ++i) {
    const size_t p = order != nullptr ? order[i] : i;
    const float x = order != nullptr ? sorted[3 * i] : static_cast<float>(points[3 * p]);
    const float y = order != nullptr ? sorted[3 * i + 1] : static_cast<float>(points[3 * p + 1]);
    const float z = order != nullptr ? sorted[3 * i + 2] : static_cast<float>(points[3 * p + 2]);
    // Every element found has a positive weight and passes the cull test.
    const uint64_t key = order != nullptr ? keys[i] : spheres.Key(x, y, z);
    if (key != nearKey) {
      spheres.Gather(x, y, z, near);
      nearKey = key;
      if (sphereFound.size() < near.count) {
        // Not reached: the room made above holds any cell's spheres.
        sphereFound.resize(near.count);
        measures.resize(near.count);
        kept.resize(others.SlotCount() + 8 + near.count);
      }
    }
    size_t count = 0;
    const size_t reaching = ReachGrid::ReachingIn(near, x, y, z, sphereFound.data(), measures.data());
    for (size_t f = 0; f < reaching; ++f) {
      const uint32_t n = sphereFound[f];
      ElementRecord r;
      r.weight = near.weight[n];
      float w = 0.0f;
      AddPolynomial()(w, r, measures[f]);
      kept[count] = {near.record[n], w, slotValues[0].data() + near.slot[n] * width};
      count += w > 0.0f ? 1 : 0;
    }
    const size_t holding = others.Holding(x, y, z, found.data());
    for (size_t f = 0; f < holding; ++f) {
      const uint32_t slot = found[f];
      float w = 0.0f;
      AddPolynomial()(w, others.CopyOf(slot), MeasureAt(others.CopyOf(slot), rotations, x, y, z));
      kept[count] = {others.RecordOf(slot), w, slotValues[1].data() + slot * width};
      count += w > 0.0f ? 1 : 0;
    }
    if (count == 0) {
      alone[p] = 1;
      continue;
    }
    // Insertion sort: a few dozen.
    for (size_t n = 1; n < count; ++n) {
      const Kept item = kept[n];
      size_t at = n;
      for (; at > 0 && kept[at - 1].record > item.record; --at) kept[at] = kept[at - 1];
      kept[at] = item;
    }
    float* to = out + p * width;
    switch (components) {
      case 1: AverageKept<1>(kept.data(), count, to); break;
      case 2: AverageKept<2>(kept.data(), count, to); break;
      case 3: AverageKept<3>(kept.data(), count, to); break;
      default: AverageKept<4>(kept.data(), count, to); break;
    }
  }
}

// The points in the order of their keys in `grid` (ascending, a key's
// points in their own order), so that the points of one cell come in a row,
// with their coordinates as floats (x, y, z at sorted[3i] ...) and their
// keys in that order; false (nothing to gain, or too many to index) leaves
// them as they are.
bool OrderByCell(const ReachGrid& grid, const double* points, size_t pointCount, std::vector<uint32_t>& order,
                 std::vector<float>& sorted, std::vector<uint32_t>& key) {
  const uint64_t keys = grid.KeyCount();
  if (pointCount < 2 || keys > (uint64_t{1} << 32) || pointCount > UINT32_MAX) return false;
  key.resize(pointCount);
  std::vector<uint32_t> spareKey(pointCount);
  std::vector<uint32_t> spare(pointCount);
  order.resize(pointCount);
  for (size_t p = 0; p < pointCount; ++p) {
    key[p] = static_cast<uint32_t>(grid.Key(static_cast<float>(points[3 * p]), static_cast<float>(points[3 * p + 1]),
                                            static_cast<float>(points[3 * p + 2])));
    order[p] = static_cast<uint32_t>(p);
  }
  // Least significant digit first, 16 bits at a time: each pass is stable.
  std::vector<uint32_t> counts(size_t{1} << 16);
  for (int shift = 0; shift < 32 && (keys - 1) >> shift != 0; shift += 16) {
    std::fill(counts.begin(), counts.end(), 0u);
    for (size_t p = 0; p < pointCount; ++p) ++counts[(key[p] >> shift) & 0xffffu];
    uint32_t total = 0;
    for (uint32_t& c : counts) {
      const uint32_t here = c;
      c = total;
      total += here;
    }
    for (size_t p = 0; p < pointCount; ++p) {
      const uint32_t to = counts[(key[p] >> shift) & 0xffffu]++;
      spareKey[to] = key[p];
      spare[to] = order[p];
    }
    key.swap(spareKey);
    order.swap(spare);
  }
  sorted.resize(3 * pointCount);
  for (size_t i = 0; i < pointCount; ++i) {
    for (size_t a = 0; a < 3; ++a) sorted[3 * i + a] = static_cast<float>(points[3 * static_cast<size_t>(order[i]) + a]);
  }
  return true;
}

// The points marked `alone`: the fallback over the candidates of the table's
// buckets, found for those points only (the records' reaches made only
// when there are any).
bool PolynomialAlone(const MetaElement* elements, int32_t count, const ElementTable& exact, const int32_t* elementOf,
                     const float* values, int32_t components, const double* points, size_t pointCount,
                     const uint8_t* alone, float* out) {
  std::vector<size_t> which;
  std::vector<float> queries;
  for (size_t p = 0; p < pointCount; ++p) {
    if (!alone[p]) continue;
    which.push_back(p);
    for (int a = 0; a < 3; ++a) queries.push_back(static_cast<float>(points[3 * p + static_cast<size_t>(a)]));
  }
  if (which.empty()) return true;
  RecordReaches reaches;
  reaches.Make(exact.Records(), exact.RecordCount());
  std::vector<std::vector<uint32_t>> lists;
  const bool grid =
      CullBucketsAt(elements, count, exact.Records(), exact.RecordCount(), reaches, queries.data(), which.size(), lists);
  parallel::ForEachRange(static_cast<int64_t>(which.size()), 64, [&](int64_t begin, int64_t end) {
    for (auto q = static_cast<size_t>(begin); q < static_cast<size_t>(end); ++q) {
      const std::vector<uint32_t>& list = lists[q];
      const uint32_t* first = grid ? list.data() : nullptr;
      static const uint32_t kNone = 0;
      if (grid && list.empty()) first = &kNone;  // no candidate: an empty range, not every record
      PointSums s;
      NearSums(exact, first, first + list.size(), elementOf, values, components, queries[3 * q], queries[3 * q + 1],
               queries[3 * q + 2], s);
      Average(s, components, out + which[q] * static_cast<size_t>(components));
    }
  });
  return true;
}

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
    Average(s, components, out + p * static_cast<size_t>(components));
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
  // element each one is
  const bool polynomial = blendingModel == BlendingModel::kPolynomial;
  std::vector<int32_t> elementOf;
  elementOf.reserve(static_cast<size_t>(count > 0 ? count : 0));
  for (int32_t k = 0; k < count; ++k) {
    if (HasElementRecord(elements[k])) elementOf.push_back(k);
  }
  if (polynomial) {
    // The polynomial model through a ReachGrid when one pays, the few
    // points no element adds to over the table's buckets at those points.
    const ElementTable records(elements, count, false);
    if (!records.Ready()) return false;
    ReachGrid grids[2];
    if (ReachGrid::BuildBoth(records.Records(), records.RecordCount(), grids[0], grids[1])) {
      // Each slot's value beside it, so that the sums read them in the grids' order.
      std::vector<float> slotValues[2];
      for (int g = 0; g < 2; ++g) {
        slotValues[g].resize(grids[g].SlotCount() * static_cast<size_t>(components));
        for (uint32_t slot = 0; slot < grids[g].SlotCount(); ++slot) {
          const float* value =
              values + static_cast<size_t>(elementOf[grids[g].RecordOf(slot)]) * static_cast<size_t>(components);
          for (int32_t c = 0; c < components; ++c) slotValues[g][slot * static_cast<size_t>(components) + c] = value[c];
        }
      }
      std::vector<uint8_t> alone(pointCount, 0);
      std::vector<uint32_t> order;
      std::vector<float> sorted;
      std::vector<uint32_t> keys;
      const uint32_t* visit = OrderByCell(grids[0], points, pointCount, order, sorted, keys) ? order.data() : nullptr;
      parallel::ForEachRange(static_cast<int64_t>(pointCount), 1024, [&](int64_t begin, int64_t end) {
        PolynomialRange(grids, slotValues, records, components, points, visit, sorted.data(), keys.data(),
                        static_cast<size_t>(begin), static_cast<size_t>(end), out, alone.data());
      });
      return PolynomialAlone(elements, count, records, elementOf.data(), values, components, points,
                             pointCount, alone.data(), out);
    }
  }
  // Otherwise for the polynomial model the table's own buckets.
  const ElementTable exact(elements, count, polynomial);
  if (!exact.Ready()) return false;
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
