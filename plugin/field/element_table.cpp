#include "field/element_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "field/polynomial_reach.h"

namespace {

// Cells per typical reach side (see PolynomialReach). A query reads every record whose
// reach meets its cell; each record is entered in about
// (side / cell + 1)^3 buckets.
constexpr double kCellsPerReachSide = 2.0;
constexpr int32_t kMaxCellsPerAxis = 1024;
// Memory bounds of the grid, per record plus a floor for small scenes: when a
// plan exceeds them its cells grow by kCoarsening and it is tried again.
constexpr uint64_t kMaxCellsPerRecord = 8;
constexpr uint64_t kMaxEntriesPerRecord = 64;
constexpr uint64_t kCellFloor = 4096;
constexpr uint64_t kEntryFloor = 65536;
constexpr double kCoarsening = 1.25;
constexpr int kMaxPlanAttempts = 128;
// Reach sides sampled for the typical size.
constexpr int kSideSamples = 1024;
constexpr size_t kRecordAlignment = 64;
// Slack, in cells, of a cell's extent when it is tested against an
// ellipsoid, far beyond the double roundings of the map from q to its cell.
constexpr double kCellSlack = 1e-6;

bool IsFiniteReach(const PolynomialReach& reach) {
  for (int a = 0; a < 3; ++a) {
    if (!std::isfinite(reach.low[a]) || !std::isfinite(reach.high[a])) return false;
  }
  return true;
}

// Cell counts, origin and inverse cell size per axis, and the resulting sizes.
struct GridPlan {
  int32_t cellCount[3] = {1, 1, 1};
  double origin[3] = {0.0, 0.0, 0.0};
  double inverse[3] = {0.0, 0.0, 0.0};
  uint64_t cells = 1;
  uint64_t entries = 0;

  // Same map as ElementTable::Cell.
  int32_t Cell(float v, int axis) const {
    const int32_t n = cellCount[axis];
    const double t = (static_cast<double>(v) - origin[axis]) * inverse[axis];
    if (t < 1.0) return 0;
    if (t < static_cast<double>(n)) return static_cast<int32_t>(t);
    return n - 1;
  }

  // Distance along `axis` from v to every coordinate that maps to cell c,
  // widened by kCellSlack (the border cells reach to infinity).
  double DistanceToCell(double v, int32_t c, int axis) const {
    const int32_t n = cellCount[axis];
    if (n == 1) return 0.0;
    const double width = 1.0 / inverse[axis];
    const double first = origin[axis] + static_cast<double>(c) * width;
    const double slack = kCellSlack * width + std::fabs(first) * 1e-12;
    if (c > 0 && v < first - slack) return first - slack - v;
    const double last = first + width;
    if (c < n - 1 && v > last + slack) return v - last - slack;
    return 0.0;
  }

  // Calls visit(bucket) for every cell the reach meets, in ascending bucket
  // order; with `want`, only for the cells it is true of (asked before the
  // ellipsoid test, which is the costly part).
  template <class Visit, class Want>
  void ForEachCell(const PolynomialReach& reach, Visit&& visit, Want&& want) const {
    int32_t first[3];
    int32_t last[3];
    for (int a = 0; a < 3; ++a) {
      first[a] = Cell(reach.low[a], a);
      last[a] = Cell(reach.high[a], a);
      if (first[a] > last[a]) return;
    }
    const uint64_t rowStride = static_cast<uint64_t>(cellCount[1]) * static_cast<uint64_t>(cellCount[2]);
    for (int32_t i = first[0]; i <= last[0]; ++i) {
      const double di = reach.ellipsoid ? DistanceToCell(reach.centre[0], i, 0) * reach.factor[0] : 0.0;
      for (int32_t j = first[1]; j <= last[1]; ++j) {
        const double dj = reach.ellipsoid ? DistanceToCell(reach.centre[1], j, 1) * reach.factor[1] : 0.0;
        const uint64_t row = static_cast<uint64_t>(i) * rowStride + static_cast<uint64_t>(j) * cellCount[2];
        for (int32_t k = first[2]; k <= last[2]; ++k) {
          if (!want(row + static_cast<uint64_t>(k))) continue;
          if (reach.ellipsoid) {
            const double dk = DistanceToCell(reach.centre[2], k, 2) * reach.factor[2];
            if (di * di + dj * dj + dk * dk >= kEllipsoidBound) continue;
          }
          visit(row + static_cast<uint64_t>(k));
        }
      }
    }
  }
  template <class Visit>
  void ForEachCell(const PolynomialReach& reach, Visit&& visit) const {
    ForEachCell(reach, visit, [](uint64_t) { return true; });
  }

  // The cells of the reach's box, ellipsoid or not: at least ForEachCell's.
  uint64_t BoxCellCount(const PolynomialReach& reach) const { return BoxCellCount(reach.low, reach.high); }
  uint64_t BoxCellCount(const float* low, const float* high) const {
    uint64_t boxCells = 1;
    for (int a = 0; a < 3; ++a) {
      const int32_t first = Cell(low[a], a);
      const int32_t last = Cell(high[a], a);
      if (first > last) return 0;
      boxCells *= static_cast<uint64_t>(last - first + 1);
    }
    return boxCells;
  }
};

// Where the grid lies and how large a typical reach is, from a sample of at
// most kSideSamples records with finite reach (every stride-th element). The
// region drops the outermost 1/64 of the sample on each side, so that a few
// outliers far away do not stretch the cells over empty space; records
// outside it fall into the border cells, which extend to infinity.
struct ReachSurvey {
  double low[3] = {0.0, 0.0, 0.0};
  double high[3] = {0.0, 0.0, 0.0};
  double typicalSide = 0.0;
  int sampled = 0;
};

ReachSurvey SurveyReach(const MetaElement* elements, int32_t count) {
  ReachSurvey survey;
  float lows[3][kSideSamples];
  float highs[3][kSideSamples];
  float sides[kSideSamples];
  int sampled = 0;
  const int32_t stride = std::max<int32_t>(1, count / kSideSamples);
  for (int32_t k = 0; k < count && sampled < kSideSamples; k += stride) {
    ElementRecord r;
    PolynomialReach reach;
    if (!MakeElementRecord(elements[k], 0, r) || !MakePolynomialReach(r, reach) || !IsFiniteReach(reach)) continue;
    double side = 0.0;
    for (int a = 0; a < 3; ++a) {
      lows[a][sampled] = reach.low[a];
      highs[a][sampled] = reach.high[a];
      side = std::max(side, static_cast<double>(reach.high[a]) - reach.low[a]);
    }
    sides[sampled++] = static_cast<float>(side);
  }
  survey.sampled = sampled;
  if (sampled == 0) return survey;
  const int trim = sampled / 64;
  for (int a = 0; a < 3; ++a) {
    std::nth_element(lows[a], lows[a] + trim, lows[a] + sampled);
    std::nth_element(highs[a], highs[a] + (sampled - 1 - trim), highs[a] + sampled);
    survey.low[a] = lows[a][trim];
    survey.high[a] = highs[a][sampled - 1 - trim];
  }
  std::nth_element(sides, sides + sampled / 2, sides + sampled);
  survey.typicalSide = sides[sampled / 2];
  return survey;
}

// Number of bucket entries of `plan`, stopping early above `limit`; with
// `boxes`, the cells of the reaches' boxes instead, a bound on it.
uint64_t CountEntries(const GridPlan& plan, const MetaElement* elements, int32_t count, uint64_t limit,
                      bool boxes = false, const RecordReaches* known = nullptr) {
  uint64_t entries = 0;
  if (boxes && known != nullptr) {
    // The same records in the same order, their reaches made already.
    for (size_t m = 0; m < known->flags.size() && entries <= limit; ++m) {
      if (known->flags[m] != 0) entries += plan.BoxCellCount(known->Low(m), known->High(m));
    }
    return entries;
  }
  for (int32_t k = 0; k < count && entries <= limit; ++k) {
    ElementRecord r;
    PolynomialReach reach;
    if (!MakeElementRecord(elements[k], 0, r) || !MakePolynomialReach(r, reach)) continue;
    if (boxes) {
      entries += plan.BoxCellCount(reach);
    } else {
      plan.ForEachCell(reach, [&](uint64_t) { ++entries; });
    }
  }
  return entries;
}

// A grid whose cells are about a typical reach side / kCellsPerReachSide
// wide, coarsened until it fits the memory bounds. False when no grid helps:
// no finite reach, a single cell, or no plan within the bounds.
// With `exactEntries` false, a plan is taken as soon as the bound of its
// entries fits (the same plan; plan.entries then holds the bound).
bool PlanGrid(const MetaElement* elements, int32_t count, int32_t recordCount, GridPlan& plan,
              bool exactEntries = true, const RecordReaches* known = nullptr) {
  const ReachSurvey survey = SurveyReach(elements, count);
  if (survey.sampled == 0) return false;
  double extent[3];
  double largest = 0.0;
  for (int a = 0; a < 3; ++a) {
    extent[a] = std::max(survey.high[a] - survey.low[a], 0.0);
    largest = std::max(largest, extent[a]);
  }
  if (!(largest > 0.0)) return false;
  double cell = survey.typicalSide / kCellsPerReachSide;
  // Reaches of zero size: spread the records over about one cell each.
  if (!(cell > 0.0)) cell = largest / std::cbrt(static_cast<double>(recordCount));
  const uint64_t maxCells = kMaxCellsPerRecord * static_cast<uint64_t>(recordCount) + kCellFloor;
  // Entries are indexed by uint32 offsets.
  const uint64_t maxEntries =
      std::min<uint64_t>(kMaxEntriesPerRecord * static_cast<uint64_t>(recordCount) + kEntryFloor, UINT32_MAX);
  for (int attempt = 0; attempt < kMaxPlanAttempts; ++attempt) {
    plan.cells = 1;
    for (int a = 0; a < 3; ++a) {
      const double cellsOnAxis = std::ceil(extent[a] / cell);
      const int32_t n = cellsOnAxis >= kMaxCellsPerAxis ? kMaxCellsPerAxis
                        : cellsOnAxis > 1.0            ? static_cast<int32_t>(cellsOnAxis)
                                                       : 1;
      plan.cellCount[a] = n;
      plan.origin[a] = n > 1 ? survey.low[a] : 0.0;
      plan.inverse[a] = n > 1 ? static_cast<double>(n) / extent[a] : 0.0;
      plan.cells *= static_cast<uint64_t>(n);
    }
    if (plan.cells == 1) return false;
    if (plan.cells > maxCells) {
      // Straight to cells that fit on the longest axis, at least one step coarser.
      cell = std::max(cell * kCoarsening, largest / std::cbrt(static_cast<double>(maxCells)));
      continue;
    }
    if (!exactEntries) {
      plan.entries = CountEntries(plan, elements, count, maxEntries, true, known);
      if (plan.entries <= maxEntries) return true;
    }
    plan.entries = CountEntries(plan, elements, count, maxEntries);
    if (plan.entries <= maxEntries) return true;
    cell *= kCoarsening;
  }
  return false;
}

size_t AlignUp(size_t bytes) { return (bytes + kRecordAlignment - 1) / kRecordAlignment * kRecordAlignment; }

}  // namespace

ElementTable::ElementTable(const MetaElement* elements, int32_t count, bool withCullGrid) {
  if (elements == nullptr || count <= 0) {
    // Nothing to index; an empty table is still usable.
    static const ElementRecord kNoRecord{};
    records_ = &kNoRecord;
    return;
  }

  // 1) count records and rotations
  int32_t recordCount = 0;
  int64_t rotationCount = 0;
  for (int32_t k = 0; k < count; ++k) {
    ElementRecord r;
    if (!MakeElementRecord(elements[k], 0, r)) continue;
    ++recordCount;
    if (r.kind & kRotatedKind) ++rotationCount;
  }
  if (rotationCount > kMaxRotationSlots) return;

  // 2) plan the grid
  GridPlan plan;
  const bool grid = withCullGrid && recordCount > 0 && PlanGrid(elements, count, recordCount, plan);

  // 3) one block: records, rotations, bucket offsets, entries
  const size_t recordBytes = AlignUp(static_cast<size_t>(recordCount) * sizeof(ElementRecord));
  const size_t rotationBytes = AlignUp(static_cast<size_t>(rotationCount) * sizeof(RotationMatrix));
  const size_t offsetBytes = grid ? AlignUp((plan.cells + 1) * sizeof(uint32_t)) : 0;
  const size_t entryBytes = grid ? plan.entries * sizeof(uint32_t) : 0;
  block_.reset(static_cast<unsigned char*>(
      TryAllocateBlock(kRecordAlignment + recordBytes + rotationBytes + offsetBytes + entryBytes, 1)));
  if (!block_) return;
  unsigned char* base = block_.get();
  base += (kRecordAlignment - reinterpret_cast<uintptr_t>(base) % kRecordAlignment) % kRecordAlignment;
  auto* records = reinterpret_cast<ElementRecord*>(base);
  auto* rotations = reinterpret_cast<RotationMatrix*>(base + recordBytes);

  // 4) records in array order, rotation slots in the order of the rotated ones
  int32_t n = 0;
  uint32_t slot = 0;
  for (int32_t k = 0; k < count; ++k) {
    ElementRecord& r = records[n];
    if (!MakeElementRecord(elements[k], slot, r)) continue;
    if (r.kind & kRotatedKind) rotations[slot++] = MakeRotationMatrix(elements[k]);
    ++n;
  }
  records_ = records;
  rotations_ = rotations;
  recordCount_ = recordCount;
  if (!grid) return;

  // 5) buckets by counting sort: sizes, starts, then the records in ascending
  // order, so each bucket lists its records in array order
  auto* offsets = reinterpret_cast<uint32_t*>(base + recordBytes + rotationBytes);
  auto* entries = reinterpret_cast<uint32_t*>(base + recordBytes + rotationBytes + offsetBytes);
  std::memset(offsets, 0, (plan.cells + 1) * sizeof(uint32_t));
  for (int32_t m = 0; m < recordCount; ++m) {
    PolynomialReach reach;
    if (MakePolynomialReach(records[m], reach)) plan.ForEachCell(reach, [&](uint64_t b) { ++offsets[b + 1]; });
  }
  for (uint64_t b = 0; b < plan.cells; ++b) offsets[b + 1] += offsets[b];
  // offsets[b] is now the start of bucket b; it serves as bucket b's cursor
  // and ends as the start of bucket b + 1.
  for (int32_t m = 0; m < recordCount; ++m) {
    PolynomialReach reach;
    if (MakePolynomialReach(records[m], reach)) {
      plan.ForEachCell(reach, [&](uint64_t b) { entries[offsets[b]++] = static_cast<uint32_t>(m); });
    }
  }
  for (uint64_t b = plan.cells; b > 0; --b) offsets[b] = offsets[b - 1];
  offsets[0] = 0;

  offsets_ = offsets;
  entries_ = entries;
  entryCount_ = plan.entries;
  for (int a = 0; a < 3; ++a) {
    cellCount_[a] = plan.cellCount[a];
    origin_[a] = plan.origin[a];
    inverse_[a] = plan.inverse[a];
  }
}

void RecordReaches::Make(const ElementRecord* records, int32_t recordCount) {
  box.resize(6 * static_cast<size_t>(recordCount));
  flags.resize(static_cast<size_t>(recordCount));
  for (size_t m = 0; m < flags.size(); ++m) {
    PolynomialReach reach;
    if (!MakePolynomialReach(records[m], reach)) {
      flags[m] = 0;
      continue;
    }
    flags[m] = kHasReach | (reach.ellipsoid ? kEllipsoidReach : 0);
    std::memcpy(box.data() + 6 * m, reach.low, 3 * sizeof(float));
    std::memcpy(box.data() + 6 * m + 3, reach.high, 3 * sizeof(float));
  }
}

bool CullBucketsAt(const MetaElement* elements, int32_t count, const ElementRecord* records, int32_t recordCount,
                   const RecordReaches& reaches, const float* queries, size_t queryCount,
                   std::vector<std::vector<uint32_t>>& lists) {
  lists.assign(queryCount, {});
  GridPlan plan;
  if (elements == nullptr || count <= 0 || recordCount <= 0 ||
      !PlanGrid(elements, count, recordCount, plan, false, &reaches)) {
    return false;
  }
  // Each query's bucket, and per bucket asked the first query that asked it.
  std::vector<int32_t> firstAsking(plan.cells, -1);
  std::vector<uint64_t> bucketOf(queryCount);
  for (size_t q = 0; q < queryCount; ++q) {
    const float* p = queries + 3 * q;
    bucketOf[q] = (static_cast<uint64_t>(plan.Cell(p[0], 0)) * static_cast<uint64_t>(plan.cellCount[1]) +
                   static_cast<uint64_t>(plan.Cell(p[1], 1))) *
                      static_cast<uint64_t>(plan.cellCount[2]) +
                  static_cast<uint64_t>(plan.Cell(p[2], 2));
    if (firstAsking[bucketOf[q]] < 0) firstAsking[bucketOf[q]] = static_cast<int32_t>(q);
  }
  // The records in ascending order, entered only in the buckets asked.
  const auto asked = [&](uint64_t b) { return firstAsking[b] >= 0; };
  for (int32_t m = 0; m < recordCount; ++m) {
    PolynomialReach reach;
    if (!reaches.flags[static_cast<size_t>(m)] || !MakePolynomialReach(records[m], reach)) continue;
    plan.ForEachCell(
        reach, [&](uint64_t b) { lists[static_cast<size_t>(firstAsking[b])].push_back(static_cast<uint32_t>(m)); },
        asked);
  }
  for (size_t q = 0; q < queryCount; ++q) {
    const auto first = static_cast<size_t>(firstAsking[bucketOf[q]]);
    if (first != q) lists[q] = lists[first];
  }
  return true;
}
