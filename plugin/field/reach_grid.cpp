#include "field/reach_grid.h"

#include <algorithm>
#include <cmath>

#include <emmintrin.h>

#include "field/blend_kernels.h"
#include "field/polynomial_reach.h"

namespace {

// Records scanned by every query beyond which the grid does not pay.
constexpr int32_t kMaxOversize = 64;
// Cells per record (plus a floor for small scenes) before the cells grow.
constexpr uint64_t kMaxCellsPerRecord = 4;
constexpr uint64_t kCellFloor = 4096;
constexpr double kCoarsening = 1.25;
constexpr int kMaxAttempts = 64;
// A box fits when each side is at most kSpan (1 - kFitSlack) cells: far
// beyond the double roundings of the map from a coordinate to its cell.
constexpr double kFitSlack = 1e-6;

// A record a grid keeps, and its reach box.
}  // namespace

// A record a grid keeps, and the box it is binned by.
struct ReachGrid::Box {
  float low[3];
  float high[3];
  uint32_t record;
  bool finite;
  double Side(int a) const { return static_cast<double>(high[a]) - low[a]; }
};

uint64_t ReachGrid::Key(float x, float y, float z) const {
  int32_t cell[3];
  if (!QueryCell(x, y, z, cell)) return KeyCount() - 1;  // the oversize alone
  uint64_t key = 0;
  for (int a = 0; a < 3; ++a) key = key * static_cast<uint64_t>(cells_[a] + kSpan[a]) + static_cast<uint64_t>(cell[a]);
  return key;
}

uint64_t ReachGrid::KeyCount() const {
  uint64_t keys = 1;
  for (int a = 0; a < 3; ++a) keys *= static_cast<uint64_t>(cells_[a] + kSpan[a]);
  return keys + 1;
}

namespace {

void MakeRoom(ReachGrid::Gathered& to, size_t room) {
  for (std::vector<float>& axis : to.axis) axis.assign(room + 4, 0.0f);
  to.weight.resize(room);
  to.record.resize(room);
  to.slot.resize(room);
  to.count = 0;
}

}  // namespace

void ReachGrid::Reserve(Gathered& to) const { MakeRoom(to, mostGathered_); }

void ReachGrid::Gather(float x, float y, float z, Gathered& to) const {
  size_t count = 0;
  if (!spheres_.empty()) ForEachRun(x, y, z, [&](uint32_t begin, uint32_t end) { count += end - begin; });
  if (to.slot.size() < count) MakeRoom(to, count);  // only for a Gathered not reserved by this grid
  to.count = count;
  if (count == 0) return;
  float* axis[6];
  for (int a = 0; a < 6; ++a) axis[a] = to.axis[a].data();
  float* weight = to.weight.data();
  uint32_t* record = to.record.data();
  uint32_t* slot = to.slot.data();
  size_t n = 0;
  ForEachRun(x, y, z, [&](uint32_t begin, uint32_t end) {
    for (uint32_t at = begin; at < end; ++at, ++n) {
      const Sphere& s = spheres_[at];
      for (int a = 0; a < 3; ++a) {
        axis[a][n] = s.centre[a];
        axis[3 + a][n] = s.factor[a];
      }
      weight[n] = s.weight;
      record[n] = s.record;
      slot[n] = at;
    }
  });
}

size_t ReachGrid::ReachingIn(const Gathered& from, float x, float y, float z, uint32_t* found, float* measure) {
  const __m128 qx = _mm_set1_ps(x);
  const __m128 qy = _mm_set1_ps(y);
  const __m128 qz = _mm_set1_ps(z);
  const __m128 support = _mm_set1_ps(kPolynomialSupport);
  const float* cx = from.axis[0].data();
  const float* cy = from.axis[1].data();
  const float* cz = from.axis[2].data();
  const float* fx = from.axis[3].data();
  const float* fy = from.axis[4].data();
  const float* fz = from.axis[5].data();
  const size_t end = from.count;
  size_t n = 0;
  for (size_t at = 0; at < end; at += 4) {
    // lx = (centre.x - x) * axisFactor.x, ...; d = ly^2 + lx^2 + lz^2 in that order
    const __m128 lx = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(cx + at), qx), _mm_loadu_ps(fx + at));
    const __m128 ly = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(cy + at), qy), _mm_loadu_ps(fy + at));
    const __m128 lz = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(cz + at), qz), _mm_loadu_ps(fz + at));
    const __m128 d = _mm_add_ps(_mm_add_ps(_mm_mul_ps(ly, ly), _mm_mul_ps(lx, lx)), _mm_mul_ps(lz, lz));
    unsigned mask = static_cast<unsigned>(_mm_movemask_ps(_mm_cmplt_ps(d, support)));
    if (end - at < 4) mask &= (1u << (end - at)) - 1u;
    if (mask == 0) continue;
    alignas(16) float ds[4];
    _mm_store_ps(ds, d);
    for (; mask != 0; mask &= mask - 1) {
      const auto lane = static_cast<uint32_t>(__builtin_ctz(mask));
      found[n] = static_cast<uint32_t>(at + lane);
      measure[n++] = ds[lane];
    }
  }
  return n;
}

bool ReachGrid::BuildBoth(const ElementRecord* records, int32_t count, ReachGrid& spheres, ReachGrid& others) {
  std::vector<Box> boxes[2];
  std::vector<double> sides[2];
  boxes[0].reserve(static_cast<size_t>(count));
  sides[0].reserve(static_cast<size_t>(count));
  for (int32_t m = 0; m < count; ++m) {
    const ElementRecord& r = records[m];
    if (!(r.weight > 0.0f)) continue;
    // Plain spheres: binned by a box around their reach; the others by
    // their reach itself, which their queries test. A record without a
    // reach adds nothing anywhere.
    Box b{{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, static_cast<uint32_t>(m), true};
    const bool sphere = (r.kind & (kShapeMask | kRotatedKind)) == 0;
    const bool plain = sphere && PlainSphereBound(r, b.low, b.high);
    if (!plain) {
      PolynomialReach reach;
      if (!MakePolynomialReach(r, reach)) continue;
      std::copy_n(reach.low, 3, b.low);
      std::copy_n(reach.high, 3, b.high);
    }
    for (int a = 0; a < 3; ++a) b.finite = b.finite && std::isfinite(b.low[a]) && std::isfinite(b.high[a]);
    const int g = plain ? 0 : 1;
    if (b.finite) sides[g].push_back(std::max(std::max(b.Side(0), b.Side(1)), b.Side(2)));
    boxes[g].push_back(b);
  }
  return spheres.Bin(records, count, Kind::PlainSpheres, boxes[0], sides[0]) &&
         others.Bin(records, count, Kind::Others, boxes[1], sides[1]);
}

bool ReachGrid::Bin(const ElementRecord* records, int32_t count, Kind kind, const std::vector<Box>& boxes,
                    std::vector<double>& sides) {
  slotCount_ = 0;
  mostGathered_ = 0;
  slots_.clear();
  copies_.clear();
  spheres_.clear();
  starts_.assign(2, 0);
  for (int a = 0; a < 3; ++a) {
    cells_[a] = 1;
    origin_[a] = 0.0;
    inverse_[a] = 0.0;
  }
  if (boxes.empty()) return true;  // one cell of no slots
  if (sides.empty()) return false;

  // The cells: fractions of the largest side, or, when the largest 1/256 of
  // the sides reach beyond twice the rest, of the rest, so that those few
  // are scanned always rather than every cell growing for them.
  const size_t rank = sides.size() - 1 - sides.size() / 256;
  std::nth_element(sides.begin(), sides.begin() + static_cast<std::ptrdiff_t>(rank), sides.end());
  const double largest = *std::max_element(sides.begin() + static_cast<std::ptrdiff_t>(rank), sides.end());
  double side = (largest <= 2.0 * sides[rank] ? largest : sides[rank]) * (1.0 + 1e-5);
  const uint64_t maxCells = kMaxCellsPerRecord * static_cast<uint64_t>(count) + kCellFloor;
  std::vector<uint8_t> fits(boxes.size());
  uint64_t cells = 0;
  for (int attempt = 0;; ++attempt) {
    if (attempt == kMaxAttempts || !(side > 0.0) || !std::isfinite(side)) return false;
    double cell[3];
    double limit[3];
    for (int a = 0; a < 3; ++a) {
      cell[a] = side / kSpan[a];
      limit[a] = kSpan[a] * cell[a] * (1.0 - kFitSlack);
    }
    int32_t oversize = 0;
    double low[3] = {INFINITY, INFINITY, INFINITY};
    double high[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (size_t n = 0; n < boxes.size(); ++n) {
      const Box& b = boxes[n];
      fits[n] = b.finite && b.Side(0) <= limit[0] && b.Side(1) <= limit[1] && b.Side(2) <= limit[2];
      if (!fits[n]) {
        ++oversize;
        continue;
      }
      for (int a = 0; a < 3; ++a) {
        low[a] = std::min(low[a], static_cast<double>(b.low[a]));
        high[a] = std::max(high[a], static_cast<double>(b.low[a]));
      }
    }
    if (oversize > kMaxOversize + count / 256) return false;
    cells = 1;
    for (int a = 0; a < 3; ++a) {
      const double span = high[a] >= low[a] ? std::floor((high[a] - low[a]) / cell[a]) + 1.0 : 1.0;
      cells_[a] = span < static_cast<double>(maxCells) ? static_cast<int32_t>(span) : 0;
      origin_[a] = high[a] >= low[a] ? low[a] : 0.0;
      inverse_[a] = 1.0 / cell[a];
      cells = cells_[a] > 0 && cells <= maxCells ? cells * static_cast<uint64_t>(cells_[a]) : maxCells + 1;
    }
    if (cells <= maxCells) break;
    side *= kCoarsening;
  }

  // Counting sort of the boxes that fit by the cell of their low corner;
  // the others after the last cell.
  std::vector<uint32_t> cellOf(boxes.size());
  starts_.assign(cells + 2, 0);
  for (size_t n = 0; n < boxes.size(); ++n) {
    const Box& b = boxes[n];
    size_t at = cells;
    if (fits[n]) {
      at = 0;
      for (int a = 0; a < 3; ++a) {
        const double t = (static_cast<double>(b.low[a]) - origin_[a]) * inverse_[a];
        const int32_t c = t < 1.0 ? 0 : t < static_cast<double>(cells_[a]) ? static_cast<int32_t>(t) : cells_[a] - 1;
        at = at * static_cast<size_t>(cells_[a]) + static_cast<size_t>(c);
      }
    }
    cellOf[n] = static_cast<uint32_t>(at);
    ++starts_[at + 1];
  }
  for (uint64_t b = 0; b <= cells; ++b) starts_[b + 1] += starts_[b];
  slotCount_ = boxes.size();
  if (kind == Kind::PlainSpheres) {
    spheres_.resize(boxes.size());
  } else {
    slots_.resize(boxes.size());
    copies_.resize(boxes.size());
  }
  // Each box to the next place of its cell (the order stable within a
  // cell), read in record order so that the reads run and only the writes jump.
  std::vector<uint32_t> cursor(starts_.begin(), starts_.end() - 1);
  for (size_t n = 0; n < boxes.size(); ++n) {
    const Box& b = boxes[n];
    const uint32_t to = cursor[cellOf[n]]++;
    const ElementRecord& r = records[b.record];
    if (kind == Kind::PlainSpheres) {
      spheres_[to] = Sphere{{r.centre.x, r.centre.y, r.centre.z},
                            {r.axisFactor.x, r.axisFactor.y, r.axisFactor.z},
                            r.weight,
                            b.record};
    } else {
      slots_[to] = Slot{{b.low[0], b.low[1], b.low[2]}, {b.high[0], b.high[1], b.high[2]}, b.record, 0};
      copies_[to] = r;
    }
  }
  starts_.pop_back();  // starts_[cells] is where the oversize begin; they end with the slots
  // The most a query's runs hold: the oversize, and in each of its runs at
  // most the largest window of kSpan[2] + 1 cells along z.
  const auto depth = static_cast<size_t>(cells_[2]);
  size_t window = 0;
  for (size_t row = 0; row < cells; row += depth) {
    for (size_t k = 0; k < depth; ++k) {
      const size_t last = std::min(k + static_cast<size_t>(kSpan[2]), depth - 1);
      window = std::max<size_t>(window, starts_[row + last + 1] - starts_[row + k]);
    }
  }
  mostGathered_ = (slotCount_ - starts_[cells]) + static_cast<size_t>((kSpan[0] + 1) * (kSpan[1] + 1)) * window;
  return true;
}
