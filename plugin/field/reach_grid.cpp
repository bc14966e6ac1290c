#include "field/reach_grid.h"

#include <algorithm>
#include <cmath>

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

struct Box {
  float low[3];
  float high[3];
  uint32_t record;
  bool finite;
  double side[3];
};

}  // namespace

bool ReachGrid::Build(const ElementRecord* records, int32_t count) {
  slots_.clear();
  copies_.clear();
  starts_.assign(2, 0);
  for (int a = 0; a < 3; ++a) {
    cells_[a] = 1;
    origin_[a] = 0.0;
    inverse_[a] = 0.0;
  }
  std::vector<Box> boxes;
  boxes.reserve(static_cast<size_t>(count));
  std::vector<double> sides;
  sides.reserve(static_cast<size_t>(count));
  for (int32_t m = 0; m < count; ++m) {
    PolynomialReach reach;
    // A record without a reach adds nothing anywhere.
    if (!(records[m].weight > 0.0f) || !MakePolynomialReach(records[m], reach)) continue;
    Box b{};
    b.record = static_cast<uint32_t>(m);
    b.finite = true;
    for (int a = 0; a < 3; ++a) {
      b.low[a] = reach.low[a];
      b.high[a] = reach.high[a];
      b.finite = b.finite && std::isfinite(reach.low[a]) && std::isfinite(reach.high[a]);
      if (b.finite) b.side[a] = static_cast<double>(reach.high[a]) - reach.low[a];
    }
    if (b.finite) sides.push_back(std::max(std::max(b.side[0], b.side[1]), b.side[2]));
    boxes.push_back(b);
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
      fits[n] = b.finite && b.side[0] <= limit[0] && b.side[1] <= limit[1] && b.side[2] <= limit[2];
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
  slots_.resize(boxes.size());
  copies_.resize(boxes.size());
  std::vector<uint32_t> cursor(starts_.begin(), starts_.end() - 1);
  for (size_t n = 0; n < boxes.size(); ++n) {
    const Box& b = boxes[n];
    const uint32_t to = cursor[cellOf[n]]++;
    slots_[to] = Slot{{b.low[0], b.low[1], b.low[2]}, {b.high[0], b.high[1], b.high[2]}, b.record, 0};
    copies_[to] = records[b.record];
  }
  starts_.pop_back();  // starts_[cells] is where the oversize begin; they end with the slots
  return true;
}
